#pragma once
// A TCP relay on 127.0.0.1 that puts a network's latency between a client and a server on the
// same machine: every chunk is held a set time in each direction, and the request/answer turns
// of each connection are counted, so tests and benchmarks see what a distant directory costs.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DelayRelay {
 public:
  // Listens on an ephemeral port of 127.0.0.1 and forwards each connection accepted there to
  // `targetHost`:`targetPort`, each chunk released `delay` after it arrived, in either
  // direction; Port() is 0 when the listener could not be made. A connection whose target
  // refuses it is closed at once.
  DelayRelay(std::string targetHost, int targetPort, std::chrono::milliseconds delay);
  // The same to the host and port of `serverUri` (scheme://host:port).
  DelayRelay(const std::string& serverUri, std::chrono::milliseconds delay);
  // Stops the relay's thread and closes every connection, whatever is still held.
  ~DelayRelay();
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  [[nodiscard]] int Port() const { return port_; }
  // `scheme`://127.0.0.1:Port().
  [[nodiscard]] std::string Uri(const std::string& scheme = "ldap") const;
  // The hold of chunks arriving from now on; those already held keep theirs.
  void SetDelay(std::chrono::milliseconds delay) { delayMs_ = delay.count(); }

  // Turns since the last reset: a turn is server-to-client data arriving after client-to-server
  // data on the same connection, so one request and its answer (of any number of chunks) are
  // one turn, and a server speaking first is none.
  [[nodiscard]] size_t Turns() const;
  // The same per connection, in the order they were accepted: those open now and those closed
  // since the last reset.
  [[nodiscard]] std::vector<size_t> TurnsPerConnection() const;
  // Requests of one turn that reached the relay in more than one piece since the last reset, a
  // count per piece beyond the first: those sent together that arrive together reach the server
  // before its first answer however slowly their sender made them.
  [[nodiscard]] size_t Splits() const;
  // Connections accepted since the last reset.
  [[nodiscard]] size_t Connections() const;
  // Round trips since the last reset, as a client across the network waits for them: turns of
  // any connections that overlap in time make one round, so requests sent on several
  // connections before the first answer comes back cost one, as on a single connection.
  [[nodiscard]] size_t Rounds() const;
  // Zeroes the counts and forgets the connections already closed.
  void ResetTurns();

 private:
  struct Link;
  struct Tally {
    size_t turns = 0;
    bool open = true;
  };

  void Serve();
  void Accept(std::vector<Link>& links);
  void CountTurn(uint64_t id);
  void CountSplit();
  void Closed(uint64_t id);
  void OpenTurn();
  void CloseTurn();

  std::string host_;
  int targetPort_;
  std::atomic<int64_t> delayMs_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  uint64_t nextId_ = 0;   // the relay thread's alone
  size_t openTurns_ = 0;  // the relay thread's alone: connections waiting for their answer

  mutable std::mutex mutex_;
  std::map<uint64_t, Tally> tallies_;  // by accept order
  size_t accepted_ = 0;
  size_t rounds_ = 0;
  size_t splits_ = 0;

  std::thread thread_;
};
