#include "tests/client/slapd_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "tests/client/live_server_tools.h"
#include "tests/support/loopback_listener.h"

namespace {

using live_server::AwaitListening;
using live_server::Convert;
using live_server::Converted;
using live_server::FreePort;
using live_server::Lower;
using live_server::ReadAll;
using live_server::ReplaceAll;
using live_server::Run;
using live_server::Spawn;
using live_server::Started;

constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";

// slapd's own definitions that the directory's schema file must not repeat.
const std::set<std::string> kSlapdBuiltIn = {
    "objectclass",           "cn",  "description", "seealso", "aliasedobjectname",
    "modifytimestamp",       "top", "alias",       "name",    "extensibleobject",
    "structuralobjectclass", "ref", "referral"};

}  // namespace

SlapdServer::SlapdServer(const std::string& ldifPath, int sizeLimit, bool tls,
                         const std::string& suffix, int pagedLimit, int pageLimit,
                         const std::string& hollowSuffix, const std::string& schemaLdif)
    : schemaLdif_(schemaLdif) {
  if (Prepare(ldifPath, sizeLimit, tls, suffix, pagedLimit, pageLimit, hollowSuffix))
    Start();
}

SlapdServer::~SlapdServer() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::string SlapdServer::Uri() const {
  return "ldap://127.0.0.1:" + std::to_string(port_);
}

std::string SlapdServer::LdapsUri() const {
  return "ldaps://127.0.0.1:" + std::to_string(tlsPort_);
}

bool SlapdServer::Prepare(const std::string& ldifPath, int sizeLimit, bool tls,
                          const std::string& suffix, int pagedLimit, int pageLimit,
                          const std::string& hollowSuffix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-slapd-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot create a temporary folder";
    return false;
  }
  folder_ = pattern;
  suffix_ = suffix;
  const std::string data = std::string(ORVANE_TEST_DATA) + "/ldap";
  std::string config = ReadAll(data + "/slapd.conf.in");
  ReplaceAll(config, "@SCHEMA@", folder_ + "/tree.schema");
  ReplaceAll(config, "@DIR@", folder_);
  ReplaceAll(config, "@SIZELIMIT@", std::to_string(sizeLimit));
  ReplaceAll(config, "@SUFFIX@", suffix);
  ReplaceAll(config, "@PRTOTAL@", pagedLimit > 0 ? std::to_string(pagedLimit) : "unlimited");
  ReplaceAll(config, "@PR@", pageLimit > 0 ? std::to_string(pageLimit) : "unlimited");
  ReplaceAll(config, "@ROOTDN@",
             suffix.empty() ? std::string(kManagerDn) : std::string(kManagerDn) + "," + suffix);
  ReplaceAll(config, "@ROOTPW@", kManagerPassword);
  std::string global;
  if (tls) {
    // A self-signed certificate for the loopback address, which is also its own authority.
    const std::string pem = folder_ + "/server.pem";
    const std::string key = folder_ + "/server.key";
    if (Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-addext",
             "basicConstraints=critical,CA:TRUE", "-keyout", key, "-out", pem},
            folder_ + "/openssl.log") != 0) {
      error_ = "openssl could not make a certificate: " + ReadAll(folder_ + "/openssl.log");
      return false;
    }
    global += "TLSCertificateFile " + pem + "\nTLSCertificateKeyFile " + key + "\n";
  }
  // Last of the global part and before the tree's database, which would otherwise hold the
  // suffix too when it is the root.
  if (!hollowSuffix.empty())
    global += "moduleload back_null\ndatabase null\nsuffix \"" + hollowSuffix + "\"\n";
  ReplaceAll(config, "@GLOBAL@", global);
  std::ofstream(folder_ + "/slapd.conf") << config;
  if (!Load(ldifPath))
    return false;
  port_ = FreePort();
  tlsPort_ = tls ? FreePort() : 0;
  if (port_ == 0 || (tls && (tlsPort_ == 0 || tlsPort_ == port_))) {
    error_ = "no free port on 127.0.0.1";
    return false;
  }
  return true;
}

bool SlapdServer::Load(const std::string& ldifPath) {
  const std::string schema = ReadAll(std::string(ORVANE_TEST_DATA) + "/ldap/orvane.schema");
  Converted converted = Convert(ReadAll(ldifPath), schema, kSlapdBuiltIn);
  if (!schemaLdif_.empty())
    converted.schema = Convert(ReadAll(schemaLdif_), schema, kSlapdBuiltIn).schema;
  std::error_code ignored;
  std::filesystem::remove_all(folder_ + "/db", ignored);
  std::filesystem::create_directory(folder_ + "/db");
  std::ofstream(folder_ + "/tree.schema") << converted.schema;
  std::ofstream(folder_ + "/tree.ldif") << converted.ldif;
  const std::string log = folder_ + "/slapadd.log";
  // By its suffix: a hollow naming context's database comes first.
  if (Run({kSlapadd, "-q", "-s", "-f", folder_ + "/slapd.conf", "-b", suffix_, "-l",
           folder_ + "/tree.ldif"},
          log) != 0) {
    error_ = "slapadd failed: " + ReadAll(log);
    return false;
  }
  return true;
}

bool SlapdServer::Reload(const std::string& ldifPath) {
  Stop();
  return Load(ldifPath) && Start();
}

bool SlapdServer::Modify(const std::string& changes) {
  const std::string file = folder_ + "/changes.ldif";
  std::ofstream(file) << changes;
  const std::string log = folder_ + "/ldapmodify.log";
  if (Run({"/usr/bin/ldapmodify", "-x", "-H", Uri(), "-D", kManagerDn, "-w", kManagerPassword, "-f",
           file},
          log) != 0) {
    error_ = "ldapmodify failed: " + ReadAll(log);
    return false;
  }
  return true;
}

bool SlapdServer::Start() {
  if (pid_ > 0)
    return true;
  if (folder_.empty() || port_ == 0)
    return false;
  const std::string log = folder_ + "/slapd.log";
  const std::string uri = Uri() + "/" + (tlsPort_ != 0 ? " " + LdapsUri() + "/" : "");
  const std::string config = folder_ + "/slapd.conf";
  // -d keeps slapd in the foreground, so this process is the server.
  pid_ = Spawn({kSlapd, "-f", config, "-h", uri, "-d", "0"}, log);
  if (pid_ < 0) {
    error_ = "cannot start slapd";
    return false;
  }
  std::vector<int> ports = {port_};
  if (tlsPort_ != 0)
    ports.push_back(tlsPort_);
  const Started started = AwaitListening(pid_, ports, std::chrono::seconds(20));
  if (started == Started::kListening)
    return true;
  if (started == Started::kEnded) {
    pid_ = -1;
    error_ = "slapd ended at start: " + ReadAll(log);
    return false;
  }
  Stop();
  error_ = "slapd did not answer on " + Uri() + ": " + ReadAll(log);
  return false;
}

void SlapdServer::Stop() {
  if (pid_ <= 0)
    return;
  Resume();
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void SlapdServer::Pause() {
  if (pid_ > 0 && !paused_) {
    kill(pid_, SIGSTOP);
    paused_ = true;
    // The signal lands asynchronously; wait until the process is really stopped.
    const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string text = ReadAll(stat);
      const size_t close = text.rfind(')');
      if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T')
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

void SlapdServer::Resume() {
  if (pid_ > 0 && paused_) {
    kill(pid_, SIGCONT);
    paused_ = false;
  }
}

QuietListener::QuietListener(std::string reply) : reply_(std::move(reply)) {
  int port = 0;
  listener_ = ListenOnLoopback(16, port);
  if (listener_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    Close();
    return;
  }
  port_ = port;
  thread_ = std::thread([this] { Serve(); });
}

QuietListener::~QuietListener() {
  Close();
}

std::string QuietListener::Uri(const std::string& scheme) const {
  return scheme + "://127.0.0.1:" + std::to_string(port_);
}

void QuietListener::Close() {
  if (thread_.joinable()) {
    const char stop = 0;
    static_cast<void>(write(wake_[1], &stop, 1));
    thread_.join();
  }
  for (int& fd : {std::ref(listener_), std::ref(wake_[0]), std::ref(wake_[1])}) {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
}

void QuietListener::Serve() {
  struct Peer {
    int fd;
    bool replied;
  };
  std::vector<Peer> peers;
  for (;;) {
    std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Peer& peer : peers)
      watched.push_back({peer.fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
      break;
    if (watched[0].revents != 0)
      break;
    if (watched[1].revents != 0) {
      if (const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0)
        peers.push_back({fd, reply_.empty()});
    }
    std::vector<Peer> open;
    for (size_t i = 0; i + 2 < watched.size(); ++i) {
      Peer peer = peers[i];
      if (watched[i + 2].revents != 0) {
        char chunk[4096];
        const ssize_t n = read(peer.fd, chunk, sizeof chunk);
        if (n <= 0) {
          close(peer.fd);  // the client has gone
          continue;
        }
        if (peer.replied) {
          bytesAfterReply_ += static_cast<size_t>(n);
        } else {
          static_cast<void>(write(peer.fd, reply_.data(), reply_.size()));
          peer.replied = true;
        }
      }
      open.push_back(peer);
    }
    // Accepted after `watched` was made.
    open.insert(open.end(), peers.begin() + static_cast<std::ptrdiff_t>(watched.size() - 2),
                peers.end());
    peers = std::move(open);
  }
  for (const Peer& peer : peers)
    close(peer.fd);
}

bool FinishesWithin(std::chrono::milliseconds limit, const std::function<void()>& work,
                    const std::function<void()>& release) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread worker([&] {
    work();
    done.set_value();
  });
  const bool inTime = finished.wait_for(limit) == std::future_status::ready;
  if (!inTime)
    release();
  worker.join();
  return inTime;
}

namespace {

// The records of an LDIF text, continuation lines joined.
std::vector<std::string> Records(const std::string& text) {
  std::vector<std::string> records(1);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::string& record = records.back();
    if (line.empty()) {
      if (!record.empty())
        records.emplace_back();
    } else if (line[0] == ' ' && !record.empty()) {
      record.pop_back();  // the line end
      record += line.substr(1) + "\n";
    } else {
      record += line + "\n";
    }
  }
  if (records.back().empty())
    records.pop_back();
  return records;
}

// A record's DN, folded; empty for one without a plain "dn:" line.
std::string RecordDn(const std::string& record) {
  std::istringstream in(record);
  for (std::string line; std::getline(in, line);) {
    if (Lower(line).starts_with("dn: "))
      return Lower(line.substr(4));
  }
  return std::string();
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string SplitSlapd::ReferralUrl(const SlapdServer& server, const std::string& dn) {
  std::string url = server.Uri() + "/";
  for (const char c : dn) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '=' || c == ',' || c == '-' || c == '.' || c == '_') {
      url += c;
    } else {
      constexpr char kHex[] = "0123456789ABCDEF";
      url += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  return url;
}

SplitSlapd::SplitSlapd(const std::string& ldifPath, const std::vector<std::string>& partDns,
                       int sizeLimit) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvane-split-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot create a temporary folder";
    return;
  }
  folder_ = pattern;
  std::vector<std::string> parts;
  for (const std::string& partDn : partDns)
    parts.push_back(Lower(partDn));
  std::string top;
  std::string below;
  for (const std::string& record : Records(ReadAll(ldifPath))) {
    const std::string dn = RecordDn(record);
    const auto part = std::find_if(parts.begin(), parts.end(), [&](const std::string& p) {
      return !dn.empty() && (dn == p || EndsWith(dn, "," + p));
    });
    const bool inPart = part != parts.end();
    const bool above = !dn.empty() && std::any_of(parts.begin(), parts.end(), [&](const auto& p) {
      return EndsWith(p, "," + dn);
    });
    const bool shared = dn.empty() || dn == "cn=schema" || dn == "cn=subschema";
    if (inPart && dn == *part)  // where the part stood, so that the tree keeps its order
      top += "@REFERRAL " + std::to_string(part - parts.begin()) + "@";
    if (!inPart)
      top += record + "\n";
    if (inPart || above || shared)
      below += record + "\n";
  }
  std::ofstream(folder_ + "/part.ldif") << below;
  part_ = std::make_unique<SlapdServer>(folder_ + "/part.ldif", sizeLimit, false, "", 0, 0, "",
                                        ldifPath);
  if (!part_->Running()) {
    error_ = "the part's server: " + part_->Error();
    return;
  }
  for (size_t i = 0; i < partDns.size(); ++i) {
    const std::string& partDn = partDns[i];
    const size_t equals = partDn.find('=');
    const size_t comma = partDn.find(',');
    ReplaceAll(top, "@REFERRAL " + std::to_string(i) + "@",
               "dn: " + partDn + "\nobjectClass: referral\nobjectClass: extensibleObject\n" +
                   partDn.substr(0, equals) + ": " + partDn.substr(equals + 1, comma - equals - 1) +
                   "\nref: " + ReferralUrl(*part_, partDn) + "\n\n");
  }
  std::ofstream(folder_ + "/top.ldif") << top;
  top_ = std::make_unique<SlapdServer>(folder_ + "/top.ldif", sizeLimit, false, "", 0, 0, "",
                                       ldifPath);
  if (!top_->Running())
    error_ = "the top's server: " + top_->Error();
}

SplitSlapd::~SplitSlapd() {
  top_.reset();
  part_.reset();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

std::string SplitSlapd::Error() const {
  return error_;
}
