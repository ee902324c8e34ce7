#include "tests/support/delay_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

#include "tests/support/loopback_listener.h"

namespace {

using Clock = std::chrono::steady_clock;

// The host of scheme://host:port.
std::string UriHost(const std::string& uri) {
  const size_t from = uri.find("://") + 3;
  return uri.substr(from, uri.rfind(':') - from);
}

// What one direction may hold before the relay stops reading from its sender: enough for any
// burst a test or benchmark makes, without letting a reader that never reads grow it unbounded.
constexpr size_t kHeldLimit = 16 << 20;

struct Chunk {
  Clock::time_point release;
  std::string bytes;  // empty: the sender's end of data, passed on as a half close
  size_t written = 0;
};

// One way of a connection: what arrived from `from` and is held for `to`.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<Chunk> held;
  size_t heldBytes = 0;
  bool ended = false;      // `from` has sent its end of data
  bool delivered = false;  // and `to` has been told, after everything held
};

void Prepare(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Chunks go out as they are released; Nagle's wait for an acknowledgement would add latency
  // of its own to every small answer.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ConnectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return -1;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// Sends what of `way` is due; false when its receiver has failed. The last end of data of a
// connection (`back` delivered already) is left to the close that follows, so that the
// connection is counted closed before its client can see it.
bool Release(Direction& way, const Direction& back, Clock::time_point now) {
  while (!way.held.empty() && way.held.front().release <= now) {
    Chunk& chunk = way.held.front();
    if (chunk.bytes.empty()) {
      if (!back.delivered)
        shutdown(way.to, SHUT_WR);
      way.delivered = true;
    } else {
      const ssize_t n = send(way.to, chunk.bytes.data() + chunk.written,
                             chunk.bytes.size() - chunk.written, MSG_NOSIGNAL);
      if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      chunk.written += static_cast<size_t>(n);
      if (chunk.written < chunk.bytes.size())
        return true;
      way.heldBytes -= chunk.bytes.size();
    }
    way.held.pop_front();
  }
  return true;
}

// The events `fd` is watched for as the sender of `out` and the receiver of `in`.
short Events(const Direction& out, const Direction& in, Clock::time_point now) {
  short events = 0;
  if (!out.ended && out.heldBytes < kHeldLimit)
    events |= POLLIN;
  if (!in.held.empty() && in.held.front().release <= now)
    events |= POLLOUT;
  return events;
}

}  // namespace

struct DelayRelay::Link {
  uint64_t id = 0;
  Direction up;    // client to server
  Direction down;  // server to client
  bool lastUp = false;
  bool failed = false;

  [[nodiscard]] bool Finished() const { return failed || (up.delivered && down.delivered); }
};

DelayRelay::DelayRelay(const std::string& serverUri, std::chrono::milliseconds delay)
    : DelayRelay(UriHost(serverUri), std::stoi(serverUri.substr(serverUri.rfind(':') + 1)), delay) {
}

DelayRelay::DelayRelay(std::string targetHost, int targetPort, std::chrono::milliseconds delay)
    : host_(std::move(targetHost)), targetPort_(targetPort), delayMs_(delay.count()) {
  int port = 0;
  listener_ = ListenOnLoopback(64, port);
  if (listener_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    for (int fd : {listener_, wake_[0], wake_[1]}) {
      if (fd >= 0)
        close(fd);
    }
    return;
  }
  port_ = port;
  thread_ = std::thread([this] { Serve(); });
}

DelayRelay::~DelayRelay() {
  if (!thread_.joinable())
    return;
  const char stop = 0;
  static_cast<void>(write(wake_[1], &stop, 1));
  thread_.join();
  for (int fd : {listener_, wake_[0], wake_[1]})
    close(fd);
}

std::string DelayRelay::Uri(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_);
}

size_t DelayRelay::Turns() const {
  const std::lock_guard lock(mutex_);
  size_t turns = 0;
  for (const auto& [id, tally] : tallies_)
    turns += tally.turns;
  return turns;
}

std::vector<size_t> DelayRelay::TurnsPerConnection() const {
  const std::lock_guard lock(mutex_);
  std::vector<size_t> turns;
  for (const auto& [id, tally] : tallies_)
    turns.push_back(tally.turns);
  return turns;
}

size_t DelayRelay::Splits() const {
  const std::lock_guard lock(mutex_);
  return splits_;
}

size_t DelayRelay::Connections() const {
  const std::lock_guard lock(mutex_);
  return accepted_;
}

size_t DelayRelay::Rounds() const {
  const std::lock_guard lock(mutex_);
  return rounds_;
}

void DelayRelay::ResetTurns() {
  const std::lock_guard lock(mutex_);
  std::erase_if(tallies_, [](const auto& entry) { return !entry.second.open; });
  for (auto& [id, tally] : tallies_)
    tally.turns = 0;
  accepted_ = 0;
  rounds_ = 0;
  splits_ = 0;
}

void DelayRelay::OpenTurn() {
  if (openTurns_++ == 0) {
    const std::lock_guard lock(mutex_);
    ++rounds_;
  }
}

void DelayRelay::CloseTurn() {
  if (openTurns_ > 0)
    --openTurns_;
}

void DelayRelay::CountTurn(uint64_t id) {
  const std::lock_guard lock(mutex_);
  if (auto found = tallies_.find(id); found != tallies_.end())
    ++found->second.turns;
}

void DelayRelay::CountSplit() {
  const std::lock_guard lock(mutex_);
  ++splits_;
}

void DelayRelay::Closed(uint64_t id) {
  const std::lock_guard lock(mutex_);
  if (auto found = tallies_.find(id); found != tallies_.end())
    found->second.open = false;
}

void DelayRelay::Accept(std::vector<Link>& links) {
  const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0)
    return;
  // A connect to the target blocks the other connections for its duration; the targets are on
  // this machine or a near one, where it is immediate.
  const int server = ConnectTo(host_, targetPort_);
  if (server < 0) {
    close(client);
    return;
  }
  Prepare(client);
  Prepare(server);
  Link link;
  link.id = nextId_++;
  link.up.from = link.down.to = client;
  link.up.to = link.down.from = server;
  links.push_back(std::move(link));
  const std::lock_guard lock(mutex_);
  tallies_[links.back().id] = Tally{};
  ++accepted_;
}

void DelayRelay::Serve() {
  std::vector<Link> links;
  std::vector<pollfd> watched;
  char buffer[64 * 1024];
  for (;;) {
    Clock::time_point now = Clock::now();
    int timeout = -1;
    for (Link& link : links) {
      if (!Release(link.up, link.down, now) || !Release(link.down, link.up, now))
        link.failed = true;
      for (const Direction* way : {&link.up, &link.down}) {
        if (way->held.empty() || way->held.front().release <= now)
          continue;
        // Rounded up, so that a wait never ends just short of a release and spins.
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(way->held.front().release - now);
        const int ms = static_cast<int>(std::max<int64_t>(wait.count(), 1));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
      }
    }
    std::erase_if(links, [this](const Link& link) {
      if (!link.Finished())
        return false;
      // A request never answered (an unbind) waits no longer once its connection is gone.
      if (link.lastUp)
        CloseTurn();
      Closed(link.id);
      close(link.up.from);
      close(link.up.to);
      return true;
    });

    watched.assign({{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}});
    for (const Link& link : links) {
      // A socket watched for nothing is left out (a negative descriptor): one whose peer has
      // hung up would otherwise wake the poll at once, again and again, until its data is due.
      const short client = Events(link.up, link.down, now);
      const short server = Events(link.down, link.up, now);
      watched.push_back({client != 0 ? link.up.from : -1, client, 0});
      watched.push_back({server != 0 ? link.up.to : -1, server, 0});
    }
    if (poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR)
      break;
    if (watched[0].revents != 0)
      break;

    now = Clock::now();
    const auto delay = std::chrono::milliseconds(delayMs_.load());
    for (size_t i = 0; i < links.size(); ++i) {
      Link& link = links[i];
      for (Direction* way : {&link.up, &link.down}) {
        const pollfd& polled = watched[2 + 2 * i + (way == &link.up ? 0 : 1)];
        if ((polled.revents & (POLLIN | POLLHUP | POLLERR)) == 0 || way->ended)
          continue;
        const ssize_t n = read(way->from, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
          continue;
        if (n < 0) {
          link.failed = true;
          continue;
        }
        if (n == 0) {
          way->ended = true;
          way->held.push_back({now + delay, std::string(), 0});
          continue;
        }
        const bool up = way == &link.up;
        if (!up && link.lastUp) {
          CountTurn(link.id);
          CloseTurn();
        } else if (up && !link.lastUp) {
          OpenTurn();
        } else if (up) {
          CountSplit();
        }
        link.lastUp = up;
        way->held.push_back({now + delay, std::string(buffer, static_cast<size_t>(n)), 0});
        way->heldBytes += static_cast<size_t>(n);
      }
    }
    if ((watched[1].revents & POLLIN) != 0)
      Accept(links);
  }
  for (const Link& link : links) {
    close(link.up.from);
    close(link.up.to);
    Closed(link.id);
  }
}
