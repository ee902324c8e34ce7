#pragma once
// A throw-away OpenLDAP server for the live-store tests and benchmarks: slapd on 127.0.0.1 at a
// free port, in a temporary folder, back_mdb, the directory's schema (tests/data/ldap), loaded
// from an LDIF file of the client's forms with slapadd. Stopped and removed on destruction.
// Beside it, a listener that accepts connections and never answers, and a way to give up on a
// call that does not return.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class SlapdServer {
 public:
  static constexpr const char* kManagerDn = "cn=Manager";
  static constexpr const char* kManagerPassword = "secret";

  // Loads `ldifPath` and starts the server; Error() tells why when Running() is false.
  // `sizeLimit` is the server's limit on one unpaged answer. With `tls`, the server gets a
  // certificate for 127.0.0.1 (CaFile() trusts it), offers StartTLS and listens on LdapsUri().
  // `suffix` is the one naming context (empty: the whole tree below the root); the manager is
  // cn=Manager directly below it. `pagedLimit` bounds all pages of one search together
  // (0: unbounded); `pageLimit` refuses a larger page (adminLimitExceeded; 0: any page).
  // `hollowSuffix` names a second naming context that holds nothing yet answers every search
  // below it with success and no entries.
  // `schemaLdif` is the LDIF whose attributes and classes the schema declares (empty:
  // `ldifPath`), so that servers holding parts of one tree share one schema.
  explicit SlapdServer(const std::string& ldifPath, int sizeLimit = 3, bool tls = false,
                       const std::string& suffix = "", int pagedLimit = 0, int pageLimit = 0,
                       const std::string& hollowSuffix = "", const std::string& schemaLdif = "");
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  [[nodiscard]] bool Running() const { return pid_ > 0; }
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] std::string Uri() const;
  [[nodiscard]] std::string LdapsUri() const;
  [[nodiscard]] std::string CaFile() const { return folder_ + "/server.pem"; }
  [[nodiscard]] const std::string& Folder() const { return folder_; }

  // Starts the server again on the same port and data; false, with Error(), when it fails.
  bool Start();
  // Stops the server, replaces its data by `ldifPath`'s and starts it again on the same port;
  // false, with Error(), when any of that fails.
  bool Reload(const std::string& ldifPath);
  // Applies the LDIF change records `changes` as the manager (ldapmodify) while the server runs;
  // false, with Error(), when they are refused. The entries changed must allow the attributes
  // (extensibleObject), since the server checks the schema here.
  bool Modify(const std::string& changes);
  // Ends the server process (it answers nothing afterwards).
  void Stop();
  // Freezes and thaws the server process: connections stay open but nothing is answered.
  void Pause();
  void Resume();

 private:
  bool Prepare(const std::string& ldifPath, int sizeLimit, bool tls, const std::string& suffix,
               int pagedLimit, int pageLimit, const std::string& hollowSuffix);
  // Converts `ldifPath` and loads it into an empty database with slapadd.
  bool Load(const std::string& ldifPath);

  std::string folder_;
  std::string suffix_;
  std::string schemaLdif_;
  std::string error_;
  int port_ = 0;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
  bool paused_ = false;
};

// One tree spread over two servers, as a partitioned directory is: the entries `partDns` (as the
// LDIF spells them) and their subtrees on Part(), beside copies of the entries above them so that
// the same identities bind there; the rest on Top(), where a referral object to Part() stands for
// each part. Both share the whole tree's schema.
class SplitSlapd {
 public:
  SplitSlapd(const std::string& ldifPath, const std::vector<std::string>& partDns,
             int sizeLimit = 3);
  SplitSlapd(const std::string& ldifPath, const std::string& partDn, int sizeLimit = 3)
      : SplitSlapd(ldifPath, std::vector<std::string>{partDn}, sizeLimit) {}
  ~SplitSlapd();
  SplitSlapd(const SplitSlapd&) = delete;
  SplitSlapd& operator=(const SplitSlapd&) = delete;

  [[nodiscard]] bool Running() const {
    return top_ && part_ && top_->Running() && part_->Running();
  }
  [[nodiscard]] std::string Error() const;
  [[nodiscard]] SlapdServer& Top() { return *top_; }
  [[nodiscard]] SlapdServer& Part() { return *part_; }
  // An LDAP URL of `dn` on `server`, as a referral object's `ref` holds it.
  [[nodiscard]] static std::string ReferralUrl(const SlapdServer& server, const std::string& dn);

 private:
  std::string folder_;
  std::string error_;
  std::unique_ptr<SlapdServer> part_;
  std::unique_ptr<SlapdServer> top_;
};

// A server on 127.0.0.1 that accepts every connection and answers nothing, or only the first
// request of each connection with `reply`. Its connections stay open until Close().
class QuietListener {
 public:
  explicit QuietListener(std::string reply = "");
  ~QuietListener();
  QuietListener(const QuietListener&) = delete;
  QuietListener& operator=(const QuietListener&) = delete;

  // `scheme`://127.0.0.1:port; a port of 0 when the listener could not be made.
  [[nodiscard]] std::string Uri(const std::string& scheme) const;
  // Bytes received on connections after their reply was sent.
  [[nodiscard]] size_t BytesAfterReply() const { return bytesAfterReply_; }
  // Closes the listener and every connection; a client waiting on one then sees it closed.
  void Close();

 private:
  void Serve();

  std::string reply_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<size_t> bytesAfterReply_ = 0;
  std::thread thread_;
};

// Runs `work` on a thread of its own. True when it returns within `limit`; otherwise false,
// after `release`, which must make `work` return, has run and `work` has returned.
bool FinishesWithin(std::chrono::milliseconds limit, const std::function<void()>& work,
                    const std::function<void()>& release);
