#include "directory/client/ldap_store.h"

#include <fcntl.h>
#include <ldap.h>
#include <ldap_schema.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_codes.h"
#include "directory/client/filter_expr.h"
#include "directory/client/value_codec.h"
#include "util/atomic_file.h"

namespace {

// Holds SIGPIPE back from this thread while libldap writes: a request or unbind written to a
// connection the server refused or dropped must fail with EPIPE, not end the program. A
// SIGPIPE raised meanwhile is taken back; one already pending is left.
class SigPipeHold {
 public:
  SigPipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
  }
  ~SigPipeHold() {
    sigset_t pending;
    if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const struct timespec none {};
      sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  SigPipeHold(const SigPipeHold&) = delete;
  SigPipeHold& operator=(const SigPipeHold&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t saved_{};
  bool wasPending_ = false;
};

// libldap resources, each released by its own free function.
struct LdapUnbind {
  void operator()(LDAP* ld) const {
    const SigPipeHold hold;
    ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};
struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
struct ControlFree {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
struct ControlsFree {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
struct LdapMemFree {
  void operator()(char* text) const { ldap_memfree(text); }
};
struct BerMemFree {
  void operator()(char* text) const { ber_memfree(text); }
};
struct BerElementFree {
  void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
struct ValuesFree {
  void operator()(struct berval** values) const { ldap_value_free_len(values); }
};
struct ReferralsFree {
  void operator()(char** referrals) const { ber_memvfree(reinterpret_cast<void**>(referrals)); }
};
struct BervalFree {
  void operator()(struct berval* value) const { ber_bvfree(value); }
};
struct AttributeTypeFree {
  void operator()(LDAPAttributeType* at) const { ldap_attributetype_free(at); }
};
struct ObjectClassFree {
  void operator()(LDAPObjectClass* oc) const { ldap_objectclass_free(oc); }
};

using LdapHandle = std::unique_ptr<LDAP, LdapUnbind>;
using Message = std::unique_ptr<LDAPMessage, MessageFree>;
using LdapText = std::unique_ptr<char, LdapMemFree>;
using BerText = std::unique_ptr<char, BerMemFree>;
using Values = std::unique_ptr<struct berval*, ValuesFree>;

constexpr const char* kPagedResultsOid = "1.2.840.113556.1.4.319";
constexpr size_t kMaxCachedNames = 100'000;

// What one entry of a listing or search is asked for.
constexpr const char* kEntryAttributes[] = {"objectClass",      "modifyTimestamp",
                                            "hasSubordinates",  "numSubordinates",
                                            "subordinateCount", nullptr};

// The naming types a typeless name part may stand for.
constexpr std::string_view kNamingTypes[] = {"cn", "ou", "o", "l", "c", "st", "dc", "uid"};

// One filter value escaped by libldap (RFC 4515: '*', '(', ')', '\' and NUL become \XX).
std::string EscapeFilterValue(std::string_view value) {
  struct berval in {};
  in.bv_val = const_cast<char*>(value.data());
  in.bv_len = value.size();
  struct berval out {};
  if (ldap_bv2escaped_filter_value(&in, &out) != LDAP_SUCCESS)
    return std::string();
  const BerText owner(out.bv_val);
  return std::string(out.bv_val, out.bv_len);
}

// A pattern whose '*' stay wildcards and whose other characters are escaped.
std::string EscapePattern(std::string_view pattern) {
  std::string text;
  size_t start = 0;
  for (;;) {
    const size_t star = pattern.find('*', start);
    text += EscapeFilterValue(pattern.substr(start, star - start));
    if (star == std::string_view::npos)
      break;
    text.push_back('*');
    start = star + 1;
  }
  return text;
}

std::string GeneralizedTime(int64_t seconds) {
  const auto clamped = static_cast<time_t>(std::clamp<int64_t>(seconds, 0, UINT32_MAX));
  struct tm utc {};
  gmtime_r(&clamped, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
  return text;
}

bool IsTextSyntax(uint32_t syntax) {
  switch (syntax) {
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
    case kSyntaxFacsimile:
    case kSyntaxEMailAddress:
    case kSyntaxPostalAddress:
      return true;
    default:
      return false;
  }
}

// The directory syntaxes that one standard LDAP syntax can carry without loss: where the server
// gives one of these, the directory's own definition of the attribute decides among them.
bool Carries(uint32_t serverSyntax, uint32_t directorySyntax, bool weak) {
  if (weak)
    return directorySyntax != kSyntaxDistinguishedName && directorySyntax != kSyntaxBoolean;
  switch (serverSyntax) {
    case kSyntaxInteger:
      return directorySyntax == kSyntaxInteger || directorySyntax == kSyntaxCounter ||
             directorySyntax == kSyntaxInterval;
    case kSyntaxTelephoneNumber:
      return directorySyntax == kSyntaxTelephoneNumber || directorySyntax == kSyntaxFacsimile;
    default:
      return serverSyntax == directorySyntax;
  }
}

// Standard LDAP syntaxes that say little about the value's form (any text or any bytes).
bool IsWeakOid(std::string_view oid) {
  if (const size_t brace = oid.find('{'); brace != std::string_view::npos)
    oid = oid.substr(0, brace);
  return oid == "1.3.6.1.4.1.1466.115.121.1.15" || oid == "1.3.6.1.4.1.1466.115.121.1.26" ||
         oid == "1.3.6.1.4.1.1466.115.121.1.40" || oid == "1.3.6.1.4.1.1466.115.121.1.5" ||
         oid == "1.3.6.1.4.1.1466.115.121.1.44" || oid == "1.3.6.1.4.1.1466.115.121.1.36";
}

// Attributes whose directory syntax no server definition changes: the values the client reads
// from them have one form whatever the server calls them.
struct SyntaxOverride {
  std::string_view ldapName;
  uint32_t syntax;
};
constexpr SyntaxOverride kSyntaxOverrides[] = {
    {"modifyTimestamp", kSyntaxTime},
    {"objectClass", kSyntaxClassName},
    {"rbsXMLInfo", kSyntaxStream},
    {"rbsTaskRights", kSyntaxOctetString},
    {"rbsContent", kSyntaxDistinguishedName},
};

const char* Extension(LDAPSchemaExtensionItem** extensions, std::string_view name) {
  for (int i = 0; extensions != nullptr && extensions[i] != nullptr; ++i) {
    if (EqualsIgnoringCase(extensions[i]->lsei_name, name) &&
        extensions[i]->lsei_values != nullptr && extensions[i]->lsei_values[0] != nullptr) {
      return extensions[i]->lsei_values[0];
    }
  }
  return nullptr;
}

const char* NdsNameExtension(LDAPSchemaExtensionItem** extensions) {
  const char* name = Extension(extensions, "X-NDS_NAME");
  return name != nullptr ? name : Extension(extensions, "X-NDS-NAME");
}

std::string Describe(int rc) {
  return ldap_err2string(rc);
}

// True when `name` is `ancestor` or below it.
bool IsWithin(const DirName& name, const DirName& ancestor) {
  return name.size() >= ancestor.size() &&
         SameName(DirName(name.end() - static_cast<std::ptrdiff_t>(ancestor.size()), name.end()),
                  ancestor);
}

}  // namespace

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
  // The mode is checked before anything is opened; the read itself refuses a FIFO or device
  // without waiting on it, and the identity check catches a file swapped in meanwhile.
  struct stat before {};
  if (stat(path.c_str(), &before) != 0) {
    error = path + ": cannot be read (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  if (!S_ISREG(before.st_mode)) {
    error = path + ": not a regular file";
    return std::nullopt;
  }
  // Whoever may change the file chooses the password the client sends.
  if ((before.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(before.st_mode & 07777));
    const bool readable = (before.st_mode & (S_IRGRP | S_IROTH)) != 0;
    error = path + ": the password file has mode " + mode + " and is " +
            (readable ? "readable" : "writable") +
            " by others; allow only its owner to read or change it (chmod 600)";
    return std::nullopt;
  }
  std::string password;
  if (const FileResult read = ReadRegularFile(path, password); !read.Succeeded()) {
    error = path + ": cannot be read (" + read.reason + ")";
    return std::nullopt;
  }
  struct stat after {};
  if (stat(path.c_str(), &after) != 0 || after.st_ino != before.st_ino ||
      after.st_dev != before.st_dev || after.st_mode != before.st_mode) {
    error = path + ": changed while it was read";
    return std::nullopt;
  }
  if (!password.empty() && password.back() == '\n')
    password.pop_back();
  if (!password.empty() && password.back() == '\r')
    password.pop_back();
  return password;
}

// The connection, the schema and the caches; every call of the store goes through here.
struct LdapStore::Impl {
  struct AttributeDef {
    std::string name;  // directory name
    std::string ldapName;
    uint32_t syntax = kSyntaxCaseIgnoreString;
  };
  struct ClassDef {
    std::string name;  // directory name
    std::string ldapName;
    bool structural = false;
    bool container = false;
  };

  LdapSettings settings;
  LdapHandle ld;
  // Reads entries out of received messages; never connected, so it outlives every connection
  // the messages came over.
  LdapHandle decoder;
  uint64_t generation = 0;  // grows with every new connection
  bool pagedResults = false;
  std::vector<AttributeDef> attributes;
  std::unordered_map<std::string, size_t> attributeByName;  // folded directory and LDAP names
  std::vector<ClassDef> classes;
  std::unordered_map<std::string, size_t> classByName;  // folded directory and LDAP names
  std::vector<std::string> namingTypes;                 // those the server's schema knows
  // Children by folded parent DN + '\n' + folded part ("type=value", "=value" when typeless).
  mutable std::map<std::string, std::vector<ChildCandidate>> childCache;
  // The server's naming contexts; unless one of them is the root itself, the root's children
  // are these contexts and the root's subtree is theirs.
  std::vector<DirName> namingContexts;
  bool rootIsEntry = false;
  // Paged searches on `ld` not past their last page. The server keeps one paging state per
  // connection, so a paged search started beside one of them would cut it short: it goes to a
  // connection of its own, taken from the spares.
  int unfinishedPagers = 0;
  std::vector<std::unique_ptr<Impl>> spareConnections;
  // A reconnect that failed (code and text), shared with the spare connections: until
  // RetryServer, every call that needs a connection fails at once with it instead of waiting
  // out a timeout of its own, so that an operation on a lost server ends within about two.
  struct GiveUp {
    int32_t code = kDirOk;
    std::string text;
  };
  std::shared_ptr<GiveUp> givenUp = std::make_shared<GiveUp>();
  // The failure reported last (code and text), shared with the spare connections: the caller
  // of the store asks for its text by the code it was given.
  std::shared_ptr<GiveUp> lastFailure = std::make_shared<GiveUp>();

  [[nodiscard]] std::string Where() const { return settings.uri; }

  void NoteError(int32_t code, const std::string& text) const { *lastFailure = {code, text}; }

  int32_t Fail(int32_t code, const std::string& text) const {
    NoteError(code, text);
    return code;
  }

  [[nodiscard]] std::optional<std::string> FailureText(int32_t code) const {
    if (lastFailure->code != code || code == kDirOk)
      return std::nullopt;
    return lastFailure->text;
  }

  // The code for an LDAP result, the server's diagnostic message kept as the code's text.
  int32_t FromResult(int rc, std::string_view what, const char* diagnostic) const {
    int32_t code = kDirRemoteFailure;
    switch (rc) {
      case LDAP_SUCCESS:
        return kDirOk;
      case LDAP_NO_SUCH_OBJECT:
        code = kDirNoSuchEntry;
        break;
      case LDAP_NO_SUCH_ATTRIBUTE:
      case LDAP_UNDEFINED_TYPE:
        code = kDirNoSuchAttribute;
        break;
      case LDAP_INVALID_DN_SYNTAX:
        code = kDirInvalidObjectName;
        break;
      case LDAP_FILTER_ERROR:
        code = kDirInvalidFilter;
        break;
      case LDAP_INVALID_CREDENTIALS:
      case LDAP_INAPPROPRIATE_AUTH:
      case LDAP_STRONG_AUTH_REQUIRED:
      case LDAP_CONFIDENTIALITY_REQUIRED:
        code = kDirFailedAuthentication;
        break;
      case LDAP_INSUFFICIENT_ACCESS:
        code = kDirNoAccess;
        break;
      case LDAP_SERVER_DOWN:
      case LDAP_TIMEOUT:
      case LDAP_UNAVAILABLE:  // a server shutting down answers what it had still been asked
        code = kDirTransportFailure;
        break;
      case LDAP_CONNECT_ERROR:
        code = kDirUnreachableServer;
        break;
      default:
        break;
    }
    std::string text = Where() + ": " + std::string(what) + ": " + Describe(rc);
    if (diagnostic != nullptr && *diagnostic != '\0')
      text += " (" + std::string(diagnostic) + ")";
    // The common codes keep the client's own texts; the server's words go with the live
    // store's own codes.
    if (code != kDirNoSuchEntry && code != kDirNoSuchAttribute)
      NoteError(code, text);
    return code;
  }

  void Drop() { ld.reset(); }

  [[nodiscard]] struct timeval Timeout() const {
    struct timeval tv {};
    tv.tv_sec = std::max(1, settings.timeoutSeconds);
    return tv;
  }

  // Waits for the next message of `msgid` until the operation's time is up. On timeout or a
  // lost connection the request is given up and the connection dropped.
  int32_t Await(int msgid, std::chrono::steady_clock::time_point deadline, Message& message,
                std::string_view what) {
    message.reset();
    const auto left = deadline - std::chrono::steady_clock::now();
    const auto micros =
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(micros / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    LDAPMessage* raw = nullptr;
    const int type = ldap_result(ld.get(), msgid, LDAP_MSG_ONE, &tv, &raw);
    message.reset(raw);
    if (type == 0) {
      const SigPipeHold hold;
      ldap_abandon_ext(ld.get(), msgid, nullptr, nullptr);
      Drop();
      return Fail(kDirTransportFailure, NoAnswer(what));
    }
    if (type < 0) {
      int rc = LDAP_SERVER_DOWN;
      ldap_get_option(ld.get(), LDAP_OPT_RESULT_CODE, &rc);
      Drop();
      return FromResult(rc == LDAP_SUCCESS ? LDAP_SERVER_DOWN : rc, what, nullptr);
    }
    return kDirOk;
  }

  [[nodiscard]] std::chrono::steady_clock::time_point Deadline() const {
    return std::chrono::steady_clock::now() +
           std::chrono::seconds(std::max(1, settings.timeoutSeconds));
  }

  // Result code, diagnostic and controls of a final result message.
  int32_t ParseResult(LDAPMessage* message, std::string_view what, LDAPControl*** controls,
                      int* ldapCode = nullptr) {
    int rc = LDAP_OTHER;
    char* matched = nullptr;
    char* diagnostic = nullptr;
    char** referrals = nullptr;
    const int parsed =
        ldap_parse_result(ld.get(), message, &rc, &matched, &diagnostic, &referrals, controls, 0);
    const LdapText matchedOwner(matched);
    const LdapText diagnosticOwner(diagnostic);
    const std::unique_ptr<char*, ReferralsFree> referralsOwner(referrals);
    if (parsed != LDAP_SUCCESS)
      rc = parsed;
    if (ldapCode != nullptr)
      *ldapCode = rc;
    return FromResult(rc, what, diagnostic);
  }

  // Runs `send`, a connection's first request, again while libldap is still connecting, each
  // time once the socket is ready, until `deadline`; the request's LDAP result code.
  template <typename Send>
  int FirstRequest(const Send& send, std::chrono::steady_clock::time_point deadline) {
    short events = POLLOUT;
    for (;;) {
      const SigPipeHold hold;
      const int rc = send();
      if (rc != LDAP_X_CONNECTING)
        return rc;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      int fd = -1;
      if (left.count() <= 0 || ldap_get_option(ld.get(), LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS)
        return LDAP_TIMEOUT;
      struct pollfd ready {};
      ready.fd = fd;
      ready.events = events;
      const int polled = poll(&ready, 1, static_cast<int>(left.count()));
      if (polled == 0)
        return LDAP_TIMEOUT;
      // A socket that is writable and still connecting waits for the server's part of the
      // handshake.
      if (polled > 0 && (ready.revents & POLLOUT) != 0)
        events = POLLIN;
    }
  }

  // The code of a connection's failed first request, the connection dropped: no answer by
  // `deadline`, or the server not reachable (the TLS library's reason given).
  int32_t ConnectFailure(int rc, std::string_view what,
                         std::chrono::steady_clock::time_point deadline) {
    char* message = nullptr;
    ldap_get_option(ld.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &message);
    const LdapText owner(message);
    Drop();
    const bool lost = rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR;
    // libldap's clock for the network timeout starts a moment before or after ours.
    const bool timedOut =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(100) >= deadline;
    if (rc == LDAP_TIMEOUT || (lost && timedOut))
      return Fail(kDirTransportFailure, NoAnswer(what));
    return FromResult(lost ? LDAP_CONNECT_ERROR : rc, what, message);
  }

  [[nodiscard]] std::string NoAnswer(std::string_view what) const {
    return Where() + ": " + std::string(what) + ": no answer within " +
           std::to_string(std::max(1, settings.timeoutSeconds)) + " s";
  }

  int32_t Open() {
    LDAP* raw = nullptr;
    if (!decoder) {
      if (ldap_initialize(&raw, settings.uri.c_str()) != LDAP_SUCCESS || raw == nullptr)
        return Fail(kDirUnreachableServer, Where() + ": not an LDAP address");
      decoder.reset(raw);
      raw = nullptr;
    }
    if (const int rc = ldap_initialize(&raw, settings.uri.c_str()); rc != LDAP_SUCCESS) {
      return Fail(kDirUnreachableServer, Where() + ": not an LDAP address (" + Describe(rc) + ")");
    }
    LdapHandle handle(raw);
    const int version = LDAP_VERSION3;
    ldap_set_option(handle.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(handle.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    const struct timeval tv = Timeout();
    ldap_set_option(handle.get(), LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(handle.get(), LDAP_OPT_TIMEOUT, &tv);
    // Synchronously, libldap makes the socket non-blocking for the TLS handshake of ldaps and
    // StartTLS and then retries the handshake without waiting for the server or for the network
    // timeout: a server that never answers kept the client busy forever. Asynchronously it waits
    // for each step of the handshake, the network timeout at most.
    ldap_set_option(handle.get(), LDAP_OPT_CONNECT_ASYNC, LDAP_OPT_ON);
    const int requireCert = settings.verify ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
    ldap_set_option(handle.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &requireCert);
    if (!settings.caFile.empty())
      ldap_set_option(handle.get(), LDAP_OPT_X_TLS_CACERTFILE, settings.caFile.c_str());
    const int newContext = 0;
    ldap_set_option(handle.get(), LDAP_OPT_X_TLS_NEWCTX, &newContext);
    ld = std::move(handle);
    if (settings.startTls) {
      const auto deadline = Deadline();
      if (const int rc =
              FirstRequest([&] { return ldap_start_tls_s(ld.get(), nullptr, nullptr); }, deadline);
          rc != LDAP_SUCCESS) {
        return ConnectFailure(rc, "StartTLS", deadline);
      }
    }
    struct berval credentials {};
    credentials.bv_val = settings.password.data();
    credentials.bv_len = settings.password.size();
    int msgid = 0;
    const auto connected = Deadline();
    if (const int rc = FirstRequest(
            [&] {
              return ldap_sasl_bind(ld.get(), settings.bindDn.c_str(), LDAP_SASL_SIMPLE,
                                    &credentials, nullptr, nullptr, &msgid);
            },
            connected);
        rc != LDAP_SUCCESS) {
      return ConnectFailure(rc, "connect", connected);
    }
    Message message;
    const std::string what =
        settings.bindDn.empty() ? std::string("anonymous bind") : "bind as " + settings.bindDn;
    if (const int32_t code = Await(msgid, Deadline(), message, what); code != kDirOk)
      return code;
    if (const int32_t code = ParseResult(message.get(), what, nullptr); code != kDirOk) {
      Drop();
      return code;
    }
    // Without a read-ahead buffer libldap reads each message in several system calls (tag,
    // length, body), which cost a large search more than all else the client does with it.
    Sockbuf* socket = nullptr;
    if (ldap_get_option(ld.get(), LDAP_OPT_SOCKBUF, &socket) == LDAP_OPT_SUCCESS &&
        socket != nullptr) {
      ber_sockbuf_add_io(socket, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
    }
    ++generation;
    return kDirOk;
  }

  // The connection, opened again when it was lost.
  int32_t Ensure() {
    if (ld)
      return kDirOk;
    if (givenUp->code != kDirOk)
      return Fail(givenUp->code, givenUp->text);
    const int32_t code = Open();
    if (code == kDirOk)
      return kDirOk;
    std::string why = FailureText(code).value_or("cannot be reached");
    if (why.starts_with(Where() + ": "))
      why.erase(0, Where().size() + 2);
    *givenUp = GiveUp{code, Where() + ": connection lost; reconnecting: " + why};
    return Fail(code, givenUp->text);
  }

  // A connection to the same server with the same credentials, opened by its first request.
  std::unique_ptr<Impl> TakeSpareConnection() {
    if (!spareConnections.empty()) {
      std::unique_ptr<Impl> spare = std::move(spareConnections.back());
      spareConnections.pop_back();
      return spare;
    }
    auto spare = std::make_unique<Impl>();
    spare->settings = settings;
    spare->pagedResults = pagedResults;
    spare->givenUp = givenUp;
    spare->lastFailure = lastFailure;
    return spare;
  }

  void ReturnSpareConnection(std::unique_ptr<Impl> spare) {
    constexpr size_t kSparesKept = 2;
    if (spare->ld != nullptr && spareConnections.size() < kSparesKept)
      spareConnections.push_back(std::move(spare));
  }

  // A search that gathers every message of one request (one page when `cookie` is given).
  struct Page {
    std::vector<Message> entries;
    std::string cookie;
    int ldapCode = LDAP_SUCCESS;
  };

  // Sends one search request (one page when `cookie` is given) and gives its message id.
  int32_t SendSearch(const std::string& base, int scope, const std::string& filter,
                     const char* const* attrs, const std::string* cookie, int& msgid,
                     std::string_view what) {
    if (const int32_t code = Ensure(); code != kDirOk)
      return code;
    std::unique_ptr<LDAPControl, ControlFree> control;
    LDAPControl* controls[2] = {nullptr, nullptr};
    if (cookie != nullptr && pagedResults) {
      struct berval value {};
      value.bv_val = const_cast<char*>(cookie->data());
      value.bv_len = cookie->size();
      LDAPControl* raw = nullptr;
      if (ldap_create_page_control(ld.get(), std::max(1, settings.pageSize),
                                   cookie->empty() ? nullptr : &value, 0, &raw) == LDAP_SUCCESS) {
        control.reset(raw);
        controls[0] = raw;
      }
    }
    struct timeval tv = Timeout();
    msgid = 0;
    const SigPipeHold hold;
    const int rc =
        ldap_search_ext(ld.get(), base.c_str(), scope, filter.c_str(), const_cast<char**>(attrs), 0,
                        controls[0] ? controls : nullptr, nullptr, &tv, LDAP_NO_LIMIT, &msgid);
    if (rc != LDAP_SUCCESS) {
      if (rc == LDAP_SERVER_DOWN)
        Drop();
      return FromResult(rc, what, nullptr);
    }
    return kDirOk;
  }

  // Gathers every message of the request `msgid` up to its final result.
  int32_t CollectPage(int msgid, Page& page, std::string_view what) {
    page = Page();
    const auto deadline = Deadline();
    for (;;) {
      Message message;
      if (const int32_t code = Await(msgid, deadline, message, what); code != kDirOk)
        return code;
      const int type = ldap_msgtype(message.get());
      if (type == LDAP_RES_SEARCH_ENTRY) {
        page.entries.push_back(std::move(message));
        continue;
      }
      if (type != LDAP_RES_SEARCH_RESULT)
        continue;
      LDAPControl** raw = nullptr;
      const int32_t code = ParseResult(message.get(), what, &raw, &page.ldapCode);
      const std::unique_ptr<LDAPControl*, ControlsFree> owner(raw);
      if (LDAPControl* response = ldap_control_find(kPagedResultsOid, raw, nullptr)) {
        ber_int_t estimate = 0;
        struct berval next {};
        if (ldap_parse_pageresponse_control(ld.get(), response, &estimate, &next) == LDAP_SUCCESS) {
          page.cookie.assign(next.bv_val != nullptr ? next.bv_val : "", next.bv_len);
          ber_memfree(next.bv_val);
        }
      }
      return code;
    }
  }

  int32_t SearchPage(const std::string& base, int scope, const std::string& filter,
                     const char* const* attrs, const std::string* cookie, Page& page,
                     std::string_view what) {
    page = Page();
    int msgid = 0;
    if (const int32_t code = SendSearch(base, scope, filter, attrs, cookie, msgid, what);
        code != kDirOk) {
      return code;
    }
    return CollectPage(msgid, page, what);
  }

  // A single request, retried once on a fresh connection when the old one turns out to have
  // been lost since the last call.
  int32_t SearchOnce(const std::string& base, int scope, const std::string& filter,
                     const char* const* attrs, Page& page, std::string_view what) {
    const bool hadConnection = ld != nullptr;
    const uint64_t before = generation;
    int32_t code = SearchPage(base, scope, filter, attrs, nullptr, page, what);
    if (code == kDirTransportFailure && hadConnection && ld == nullptr && page.entries.empty() &&
        before == generation) {
      code = SearchPage(base, scope, filter, attrs, nullptr, page, what);
    }
    return code;
  }

  // Schema ----------------------------------------------------------------------------------

  void AddAttribute(AttributeDef def) {
    const size_t id = attributes.size();
    attributeByName[FoldCase(def.ldapName)] = id;
    attributeByName[FoldCase(def.name)] = id;
    attributes.push_back(std::move(def));
  }

  void AddClass(ClassDef def) {
    const size_t id = classes.size();
    classByName[FoldCase(def.ldapName)] = id;
    classByName[FoldCase(def.name)] = id;
    classes.push_back(std::move(def));
  }

  void LoadBuiltins() {
    for (const BuiltinAttribute& builtin : BuiltinAttributes()) {
      AddAttribute(
          AttributeDef{std::string(builtin.name), std::string(builtin.ldapName), builtin.syntax});
    }
    for (const BuiltinClass& builtin : BuiltinClasses()) {
      const std::string ldapName(builtin.ldapName.empty() ? builtin.name : builtin.ldapName);
      if (classByName.contains(FoldCase(ldapName)))
        continue;
      AddClass(
          ClassDef{std::string(builtin.name), ldapName, builtin.structural, builtin.container});
    }
  }

  const AttributeDef* FindAttribute(std::string_view name) const {
    const auto found = attributeByName.find(FoldCase(name));
    return found == attributeByName.end() ? nullptr : &attributes[found->second];
  }

  const ClassDef* FindClass(std::string_view name) const {
    const auto found = classByName.find(FoldCase(name));
    return found == classByName.end() ? nullptr : &classes[found->second];
  }

  int32_t ReadSchema() {
    LoadBuiltins();
    static const char* const kRootAttributes[] = {"subschemaSubentry", "supportedControl",
                                                  "namingContexts", nullptr};
    Page page;
    if (const int32_t code =
            SearchOnce("", LDAP_SCOPE_BASE, "(objectClass=*)", kRootAttributes, page, "root DSE");
        code != kDirOk) {
      return code;
    }
    std::string subschema = "cn=Subschema";
    for (const Message& entry : page.entries) {
      for (const auto& [attribute, value] : Pairs(entry.get(), kRootAttributes)) {
        if (EqualsIgnoringCase(attribute, "subschemaSubentry"))
          subschema = value;
        if (EqualsIgnoringCase(attribute, "supportedControl") && value == kPagedResultsOid)
          pagedResults = true;
        if (EqualsIgnoringCase(attribute, "namingContexts")) {
          if (value.empty()) {
            rootIsEntry = true;
          } else if (auto context = ParseLdapDn(value)) {
            namingContexts.push_back(std::move(*context));
          }
        }
      }
    }
    static const char* const kSchemaAttributes[] = {"attributeTypes", "objectClasses", nullptr};
    if (const int32_t code = SearchOnce(subschema, LDAP_SCOPE_BASE, "(objectClass=*)",
                                        kSchemaAttributes, page, "schema");
        code != kDirOk) {
      return code;
    }
    std::vector<std::unique_ptr<LDAPAttributeType, AttributeTypeFree>> types;
    std::vector<std::unique_ptr<LDAPObjectClass, ObjectClassFree>> objectClasses;
    for (const Message& entry : page.entries) {
      for (const auto& [attribute, value] : Pairs(entry.get(), kSchemaAttributes)) {
        int code = 0;
        const char* where = nullptr;
        if (EqualsIgnoringCase(attribute, "attributeTypes")) {
          LDAPAttributeType* at =
              ldap_str2attributetype(value.c_str(), &code, &where, LDAP_SCHEMA_ALLOW_ALL);
          if (at != nullptr && at->at_names != nullptr && at->at_names[0] != nullptr)
            types.emplace_back(at);
          else if (at != nullptr)
            ldap_attributetype_free(at);
        } else {
          LDAPObjectClass* oc =
              ldap_str2objectclass(value.c_str(), &code, &where, LDAP_SCHEMA_ALLOW_ALL);
          if (oc != nullptr && oc->oc_names != nullptr && oc->oc_names[0] != nullptr)
            objectClasses.emplace_back(oc);
          else if (oc != nullptr)
            ldap_objectclass_free(oc);
        }
      }
    }
    // A server that names no context is asked about the root itself.
    if (namingContexts.empty())
      rootIsEntry = true;
    ApplyAttributeTypes(types);
    ApplyObjectClasses(objectClasses);
    for (const std::string_view type : kNamingTypes) {
      if (FindAttribute(type) != nullptr || type == "cn")
        namingTypes.emplace_back(type);
    }
    return kDirOk;
  }

  void ApplyAttributeTypes(
      const std::vector<std::unique_ptr<LDAPAttributeType, AttributeTypeFree>>& types) {
    std::unordered_map<std::string, const LDAPAttributeType*> byName;
    for (const auto& at : types) {
      for (int i = 0; at->at_names[i] != nullptr; ++i)
        byName[FoldCase(at->at_names[i])] = at.get();
    }
    // The syntax OID, inherited from the supertypes when the type has none of its own.
    const auto syntaxOid = [&](const LDAPAttributeType* at) -> const char* {
      for (int hop = 0; at != nullptr && hop < 16; ++hop) {
        if (at->at_syntax_oid != nullptr)
          return at->at_syntax_oid;
        if (at->at_sup_oid == nullptr)
          return nullptr;
        const auto sup = byName.find(FoldCase(at->at_sup_oid));
        at = sup == byName.end() ? nullptr : sup->second;
      }
      return nullptr;
    };
    for (const auto& at : types) {
      const std::string ldapName = at->at_names[0];
      const char* oid = syntaxOid(at.get());
      uint32_t syntax = oid != nullptr ? SyntaxFromOid(oid) : kSyntaxCaseIgnoreString;
      const bool vendor = oid != nullptr && std::string_view(oid).starts_with(kVendorSyntaxPrefix);
      const char* ndsSyntax = Extension(at->at_extensions, "X-NDS_SYNTAX");
      const auto declared =
          ndsSyntax != nullptr ? ParseNumber(ndsSyntax, 0, kSyntaxInterval) : std::nullopt;
      const AttributeDef* builtin = nullptr;
      for (int i = 0; at->at_names[i] != nullptr && builtin == nullptr; ++i)
        builtin = FindAttribute(at->at_names[i]);
      if (declared) {
        syntax = static_cast<uint32_t>(*declared);
      } else if (!vendor && builtin != nullptr &&
                 Carries(syntax, builtin->syntax, oid == nullptr || IsWeakOid(oid))) {
        syntax = builtin->syntax;
      }
      for (const SyntaxOverride& override : kSyntaxOverrides) {
        if (EqualsIgnoringCase(override.ldapName, ldapName))
          syntax = override.syntax;
      }
      std::string name = builtin != nullptr ? builtin->name : ldapName;
      if (const char* ndsName = NdsNameExtension(at->at_extensions))
        name = ndsName;
      AttributeDef def{name, ldapName, syntax};
      if (builtin != nullptr) {
        // Replaced in place, so both of its names keep pointing at it.
        const size_t id = static_cast<size_t>(builtin - attributes.data());
        attributes[id] = def;
        attributeByName[FoldCase(def.name)] = id;
        for (int i = 0; at->at_names[i] != nullptr; ++i)
          attributeByName[FoldCase(at->at_names[i])] = id;
      } else {
        AddAttribute(def);
        for (int i = 1; at->at_names[i] != nullptr; ++i)
          attributeByName[FoldCase(at->at_names[i])] = attributes.size() - 1;
      }
    }
  }

  void ApplyObjectClasses(
      const std::vector<std::unique_ptr<LDAPObjectClass, ObjectClassFree>>& objectClasses) {
    std::vector<std::string> contained;
    for (const auto& oc : objectClasses) {
      const std::string ldapName = oc->oc_names[0];
      const ClassDef* builtin = FindClass(ldapName);
      ClassDef def;
      def.ldapName = ldapName;
      def.name = builtin != nullptr ? builtin->name : ldapName;
      if (const char* ndsName = NdsNameExtension(oc->oc_extensions))
        def.name = ndsName;
      def.structural = oc->oc_kind == LDAP_SCHEMA_STRUCTURAL;
      def.container = builtin != nullptr && builtin->container;
      if (const char* notContainer = Extension(oc->oc_extensions, "X-NDS_NOT_CONTAINER"))
        def.container = def.container && std::string_view(notContainer) != "1";
      // Classes that others name as their possible superiors are containers.
      for (int e = 0; oc->oc_extensions != nullptr && oc->oc_extensions[e] != nullptr; ++e) {
        if (!EqualsIgnoringCase(oc->oc_extensions[e]->lsei_name, "X-NDS_CONTAINMENT"))
          continue;
        for (int v = 0; oc->oc_extensions[e]->lsei_values[v] != nullptr; ++v)
          contained.emplace_back(oc->oc_extensions[e]->lsei_values[v]);
      }
      if (builtin != nullptr) {
        const size_t id = static_cast<size_t>(builtin - classes.data());
        classes[id] = def;
        classByName[FoldCase(def.name)] = id;
      } else {
        AddClass(def);
      }
    }
    for (const std::string& container : contained) {
      if (const auto found = classByName.find(FoldCase(container)); found != classByName.end())
        classes[found->second].container = true;
    }
  }

  // Entries --------------------------------------------------------------------------------

  // The (attribute, value) pairs of an entry for the named attributes, values as text.
  std::vector<std::pair<std::string, std::string>> Pairs(LDAPMessage* entry,
                                                         const char* const* names) const {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; names[i] != nullptr; ++i) {
      const Values values(ldap_get_values_len(decoder.get(), entry, names[i]));
      for (int v = 0; values && values.get()[v] != nullptr; ++v) {
        pairs.emplace_back(names[i], std::string(values.get()[v]->bv_val, values.get()[v]->bv_len));
      }
    }
    return pairs;
  }

  std::optional<DirName> EntryName(LDAPMessage* entry) const {
    char* raw = ldap_get_dn(decoder.get(), entry);
    const LdapText owner(raw);
    if (raw == nullptr)
      return std::nullopt;
    return ParseLdapDn(raw);
  }

  // The base class: the last class value the schema marks structural, else the last one.
  std::string BaseClass(const std::vector<std::string>& objectClasses) const {
    const ClassDef* structural = nullptr;
    std::string last;
    for (const std::string& value : objectClasses) {
      const ClassDef* def = FindClass(value);
      last = def != nullptr ? def->name : value;
      if (def != nullptr && def->structural)
        structural = def;
    }
    if (structural != nullptr)
      return structural->name;
    return last.empty() ? std::string("Unknown") : last;
  }

  bool FillEntry(LDAPMessage* message, StoreEntry& entry) const {
    auto name = EntryName(message);
    if (!name)
      return false;
    entry = StoreEntry();
    entry.name = std::move(*name);
    std::vector<std::string> objectClasses;
    bool hasChildren = false;
    for (const auto& [attribute, value] : Pairs(message, kEntryAttributes)) {
      if (attribute == std::string_view("objectClass")) {
        objectClasses.push_back(value);
      } else if (attribute == std::string_view("modifyTimestamp")) {
        entry.modificationTime = ParseGeneralizedTime(value).value_or(0);
      } else if (attribute == std::string_view("hasSubordinates")) {
        hasChildren = EqualsIgnoringCase(value, "TRUE");
      } else {
        entry.subordinateCount =
            static_cast<uint32_t>(ParseNumber(value, 0, UINT32_MAX).value_or(0));
        hasChildren = hasChildren || entry.subordinateCount > 0;
      }
    }
    entry.baseClass = BaseClass(objectClasses);
    const ClassDef* def = FindClass(entry.baseClass);
    entry.flags = (def != nullptr && def->container) || hasChildren ? kDirObjectContainer : 0;
    return true;
  }

  // Filters --------------------------------------------------------------------------------

  std::string ClassLdapName(std::string_view name) const {
    const ClassDef* def = FindClass(name);
    return def != nullptr ? def->ldapName : std::string(name);
  }

  int32_t Translate(const FilterNode& node, std::string& out) const {
    using Kind = FilterNode::Kind;
    static constexpr std::string_view kNever = "(!(objectClass=*))";
    switch (node.kind) {
      case Kind::kAnd:
      case Kind::kOr:
      case Kind::kNot: {
        out += node.kind == Kind::kAnd ? "(&" : (node.kind == Kind::kOr ? "(|" : "(!");
        for (const FilterNode& child : node.children) {
          if (const int32_t code = Translate(child, out); code != kDirOk)
            return code;
        }
        out += ")";
        return kDirOk;
      }
      case Kind::kBaseClass:
        out += "(objectClass=" + EscapeFilterValue(ClassLdapName(node.text)) + ")";
        return kDirOk;
      case Kind::kRdn: {
        const std::string pattern = EscapePattern(node.text);
        if (!node.rdnType.empty()) {
          std::string type = FoldCase(node.rdnType);
          if (type == "s")
            type = "st";
          out += "(" + type + "=" + pattern + ")";
          return kDirOk;
        }
        out += "(|";
        for (const std::string& type : namingTypes)
          out += "(" + type + "=" + pattern + ")";
        out += ")";
        return kDirOk;
      }
      case Kind::kPresent: {
        const AttributeDef* def = FindAttribute(node.text);
        out += def != nullptr ? "(" + def->ldapName + "=*)" : std::string(kNever);
        return kDirOk;
      }
      case Kind::kCompare:
        return TranslateCompare(node, out);
    }
    return kDirInvalidFilter;
  }

  int32_t TranslateCompare(const FilterNode& node, std::string& out) const {
    const AttributeDef* def = FindAttribute(node.text);
    if (def == nullptr) {
      out += "(!(objectClass=*))";
      return kDirOk;
    }
    const std::string& a = def->ldapName;
    using Op = FilterNode::Op;
    const char* op =
        node.op == Op::kGreaterOrEqual ? ">=" : (node.op == Op::kLessOrEqual ? "<=" : "=");
    const bool equality = node.op == Op::kEqual || node.op == Op::kApprox;
    const uint32_t syntax = def->syntax;
    if (IsTextSyntax(syntax) || syntax == kSyntaxClassName) {
      std::string value = node.textValue;
      if (syntax == kSyntaxClassName)
        value = ClassLdapName(value);
      out += "(" + a + op + (equality ? EscapePattern(value) : EscapeFilterValue(value)) + ")";
      return kDirOk;
    }
    switch (syntax) {
      case kSyntaxDistinguishedName:
        out += "(" + a + op + EscapeFilterValue(node.textValue) + ")";
        return kDirOk;
      case kSyntaxCaseIgnoreList: {
        if (!equality)
          return kDirInvalidFilter;
        const std::string v = EscapePattern(node.textValue);
        out += "(|(" + a + "=" + v + ")(" + a + "=" + v + "$*)(" + a + "=*$" + v + ")(" + a +
               "=*$" + v + "$*))";
        return kDirOk;
      }
      case kSyntaxTypedName:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=" + EscapePattern(node.textValue) + "#*)";
        return kDirOk;
      case kSyntaxBoolean:
        out += "(" + a + op + (node.numberValue != 0 ? "TRUE" : "FALSE") + ")";
        return kDirOk;
      case kSyntaxInteger:
      case kSyntaxCounter:
      case kSyntaxInterval: {
        int64_t number = node.numberValue;
        if (syntax != kSyntaxInteger && number < 0)
          number = static_cast<uint32_t>(number);
        out += "(" + a + op + std::to_string(number) + ")";
        return kDirOk;
      }
      case kSyntaxTime:
        out += "(" + a + op + GeneralizedTime(node.numberValue) + ")";
        return kDirOk;
      case kSyntaxTimestamp:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=" + std::to_string(node.numberValue) + "#*)";
        return kDirOk;
      case kSyntaxHold:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=*#" + std::to_string(node.numberValue) + ")";
        return kDirOk;
      default:
        return kDirInvalidFilter;
    }
  }

  // Names ----------------------------------------------------------------------------------

  std::vector<ChildCandidate> FindChildren(const DirName& parent, const NamePart& part) {
    const std::string parentKey = FoldedDnKey(parent) + "\n";
    const std::string value = FoldCase(part.value);
    const std::string key = parentKey + FoldCase(part.type) + "=" + value;
    if (const auto cached = childCache.find(key); cached != childCache.end())
      return cached->second;
    std::vector<ChildCandidate> found;
    if (!part.type.empty()) {
      // A typeless lookup of the same value already knows every child of that value.
      if (const auto all = childCache.find(parentKey + "=" + value); all != childCache.end()) {
        for (const ChildCandidate& candidate : all->second) {
          if (EqualsIgnoringCase(candidate.rdn.type, part.type))
            found.push_back(candidate);
        }
        return found;
      }
    }
    if (!rootIsEntry) {
      // Above and at the naming contexts, the names are the contexts' own parts.
      for (const DirName& context : namingContexts) {
        if (context.size() <= parent.size() || !IsWithin(context, parent))
          continue;
        const Rdn& rdn = context[context.size() - parent.size() - 1];
        const bool known = std::any_of(found.begin(), found.end(), [&](const ChildCandidate& c) {
          return SameRdn(c.rdn, rdn);
        });
        if (!known && EqualsIgnoringCase(rdn.value, part.value) &&
            (part.type.empty() || EqualsIgnoringCase(rdn.type, part.type))) {
          found.push_back({rdn, true});
        }
      }
      if (parent.size() < 1 ||
          std::none_of(namingContexts.begin(), namingContexts.end(),
                       [&](const DirName& context) { return IsWithin(parent, context); })) {
        return found;
      }
    }
    Page page;
    const auto collect = [&] {
      for (const Message& message : page.entries) {
        StoreEntry entry;
        if (FillEntry(message.get(), entry) && !entry.name.empty() &&
            EqualsIgnoringCase(entry.name.front().value, part.value)) {
          found.push_back({entry.name.front(), (entry.flags & kDirObjectContainer) != 0});
        }
      }
    };
    if (!part.type.empty()) {
      // The child of this naming type, by a lookup of its exact name.
      DirName child = parent;
      child.insert(child.begin(), Rdn{part.type, part.value});
      if (SearchOnce(LdapDnText(child), LDAP_SCOPE_BASE, "(objectClass=*)", kEntryAttributes, page,
                     "name lookup") == kDirOk) {
        collect();
      }
    } else {
      std::string filter = "(|";
      const std::string escaped = EscapeFilterValue(part.value);
      for (const std::string& type : namingTypes)
        filter += "(" + type + "=" + escaped + ")";
      filter += ")";
      if (SearchOnce(LdapDnText(parent), LDAP_SCOPE_ONELEVEL, filter, kEntryAttributes, page,
                     "name lookup") == kDirOk) {
        collect();
      }
    }
    if (!found.empty()) {
      // A long session names many entries once each; the cache keeps to a bounded size.
      if (childCache.size() >= kMaxCachedNames)
        childCache.clear();
      childCache.emplace(key, found);
    }
    return found;
  }
};

// Entries of one listing or search, fetched a page at a time; a failure ends the cursor with a
// code, the entries read before it having been delivered.
class LdapStore::Cursor final : public EntryCursor {
 public:
  struct Check {
    std::vector<std::string> classes;  // directory names; empty = any
    std::string rdnPattern;            // empty = any
    std::string rdnType;
  };

  Cursor(LdapStore::Impl& impl, std::string base, int scope, std::string filter, Check check)
      : impl_(impl),
        base_(std::move(base)),
        scope_(scope),
        filter_(std::move(filter)),
        check_(std::move(check)) {}

  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // A page asked for ahead and no longer wanted is given up, so that its entries do not
  // travel for nothing.
  ~Cursor() override {
    LdapStore::Impl& connection = Connection();
    if (nextPage_ >= 0 && connection.ld != nullptr && connection.generation == generation_) {
      const SigPipeHold hold;
      ldap_abandon_ext(connection.ld.get(), nextPage_, nullptr, nullptr);
    }
    CountAsUnfinished(false);
    if (spare_)
      impl_.ReturnSpareConnection(std::move(spare_));
  }

  // Fetches the first page; its code is the listing's or search's code.
  int32_t Start() {
    if (impl_.pagedResults && impl_.unfinishedPagers > 0)
      spare_ = impl_.TakeSpareConnection();
    LdapStore::Impl& connection = Connection();
    generation_ = connection.generation;
    const bool hadConnection = connection.ld != nullptr;
    int32_t code = Fetch();
    if (code == kDirTransportFailure && hadConnection && connection.ld == nullptr &&
        pending_.empty()) {
      code = Fetch();
    }
    // A first page cut short (a server that does not page stopping at its size limit) still
    // delivers its entries; the code ends the cursor after them.
    if (code != kDirOk && code != kDirNoSuchEntry && !pending_.empty()) {
      status_ = code;
      done_ = true;
      return kDirOk;
    }
    return code;
  }

  bool Next(StoreEntry& entry) override {
    for (;;) {
      if (!pending_.empty()) {
        entry = std::move(pending_.front());
        pending_.pop_front();
        return true;
      }
      if (done_ || status_ != kDirOk)
        return false;
      LdapStore::Impl& connection = Connection();
      if (connection.generation != generation_ || connection.ld == nullptr) {
        // The connection the pages belong to is gone; its paging state went with it.
        status_ = impl_.Fail(kDirTransportFailure,
                             impl_.Where() + ": the connection was lost during a search");
        CountAsUnfinished(false);
        return false;
      }
      // Entries that arrived before a failure are still handed out; the code follows them.
      status_ = Fetch();
      if (status_ != kDirOk && pending_.empty())
        return false;
    }
  }

  [[nodiscard]] int32_t Status() const override { return status_; }

 private:
  LdapStore::Impl& Connection() { return spare_ ? *spare_ : impl_; }

  void CountAsUnfinished(bool unfinished) {
    if (spare_ || unfinished == countedAsUnfinished_)
      return;
    impl_.unfinishedPagers += unfinished ? 1 : -1;
    countedAsUnfinished_ = unfinished;
  }

  int32_t Fetch() {
    LdapStore::Impl& connection = Connection();
    LdapStore::Impl::Page page;
    const std::string_view what = scope_ == LDAP_SCOPE_ONELEVEL ? "listing" : "search";
    const std::string* cookie = impl_.pagedResults ? &cookie_ : nullptr;
    int32_t code = kDirOk;
    if (nextPage_ >= 0) {
      code = connection.CollectPage(std::exchange(nextPage_, -1), page, what);
    } else {
      code = connection.SearchPage(base_, scope_, filter_, kEntryAttributes, cookie, page, what);
    }
    generation_ = connection.generation;
    cookie_ = page.cookie;
    if (code == kDirOk && (!impl_.pagedResults || cookie_.empty())) {
      done_ = true;
    } else if (code == kDirOk) {
      // The next page is asked for before this one is converted and handed out, so that the
      // server prepares it meanwhile; on one connection, waiting for every page in turn left
      // the server idle for half of a large search. A request that cannot be sent is sent again
      // by the next fetch, which reports its failure.
      int msgid = 0;
      if (connection.SendSearch(base_, scope_, filter_, kEntryAttributes, cookie, msgid, what) ==
              kDirOk &&
          connection.generation == generation_) {
        nextPage_ = msgid;
      }
    }
    CountAsUnfinished(code == kDirOk && !done_);
    for (const Message& message : page.entries) {
      StoreEntry entry;
      if (impl_.FillEntry(message.get(), entry) && Passes(entry))
        pending_.push_back(std::move(entry));
    }
    return code;
  }

  bool Passes(const StoreEntry& entry) const {
    // A base search of the root reaches the server's DSE, which is no entry of the tree.
    if (entry.name.empty())
      return false;
    if (!check_.classes.empty() &&
        std::none_of(check_.classes.begin(), check_.classes.end(), [&](const std::string& c) {
          return EqualsIgnoringCase(c, entry.baseClass);
        })) {
      return false;
    }
    if (!check_.rdnPattern.empty()) {
      if (entry.name.empty())
        return false;
      if (!check_.rdnType.empty() && !EqualsIgnoringCase(check_.rdnType, entry.name.front().type))
        return false;
      return WildcardMatch(check_.rdnPattern, entry.name.front().value);
    }
    return true;
  }

  LdapStore::Impl& impl_;
  std::string base_;
  int scope_;
  std::string filter_;
  Check check_;
  std::string cookie_;
  std::deque<StoreEntry> pending_;
  std::unique_ptr<LdapStore::Impl> spare_;  // the pages' connection when not the store's own
  bool countedAsUnfinished_ = false;
  int nextPage_ = -1;  // message id of the page asked for ahead
  uint64_t generation_ = 0;
  bool done_ = false;
  int32_t status_ = kDirOk;
};

// The root's listing or search on a server whose naming contexts sit below the root: one
// search per context, one after the other; a context the server does not hold is passed over.
class LdapStore::RootCursor final : public EntryCursor {
 public:
  RootCursor(LdapStore::Impl& impl, int scope, std::string filter, Cursor::Check check)
      : impl_(impl), scope_(scope), filter_(std::move(filter)), check_(std::move(check)) {}

  // Starts the first context's search; its failure (but a missing context) is the code.
  int32_t Start() { return Advance(); }

  bool Next(StoreEntry& entry) override {
    while (current_) {
      if (current_->Next(entry))
        return true;
      if (current_->Status() != kDirOk) {
        status_ = current_->Status();
        current_.reset();
        return false;
      }
      if (Advance() != kDirOk) {
        current_.reset();
        return false;
      }
    }
    return false;
  }

  [[nodiscard]] int32_t Status() const override { return status_; }

 private:
  int32_t Advance() {
    current_.reset();
    while (next_ < impl_.namingContexts.size()) {
      auto cursor = std::make_unique<Cursor>(impl_, LdapDnText(impl_.namingContexts[next_++]),
                                             scope_, filter_, check_);
      const int32_t code = cursor->Start();
      if (code == kDirNoSuchEntry)
        continue;
      if (code != kDirOk) {
        status_ = code;
        return code;
      }
      current_ = std::move(cursor);
      return kDirOk;
    }
    return kDirOk;
  }

  LdapStore::Impl& impl_;
  int scope_;
  std::string filter_;
  Cursor::Check check_;
  size_t next_ = 0;
  std::unique_ptr<Cursor> current_;
  int32_t status_ = kDirOk;
};

namespace {

class NoEntries final : public EntryCursor {
 public:
  bool Next(StoreEntry& /*entry*/) override { return false; }
};

// Hands `started` out as `cursor` once its first page has come; otherwise the code of that page.
template <typename PagedCursor>
int32_t StartCursor(std::unique_ptr<PagedCursor> started, std::unique_ptr<EntryCursor>& cursor) {
  if (const int32_t code = started->Start(); code != kDirOk)
    return code;
  cursor = std::move(started);
  return kDirOk;
}

// Counts what `cursor` delivers into `count`; the code that ended it early, if any.
int32_t CountEntries(EntryCursor& cursor, uint32_t& count) {
  StoreEntry entry;
  while (cursor.Next(entry))
    ++count;
  return cursor.Status();
}

// The RDN term every match must satisfy, if any: the server matches attribute values, the
// client the entry's own relative name.
const FilterNode* RequiredRdn(const FilterNode& node) {
  if (node.kind == FilterNode::Kind::kRdn)
    return &node;
  if (node.kind == FilterNode::Kind::kAnd) {
    for (const FilterNode& child : node.children) {
      if (const FilterNode* rdn = RequiredRdn(child))
        return rdn;
    }
  }
  return nullptr;
}

}  // namespace

LdapStore::LdapStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LdapStore::~LdapStore() = default;

std::unique_ptr<LdapStore> LdapStore::Connect(const LdapSettings& settings, std::string& error,
                                              int32_t& code) {
  auto impl = std::make_unique<Impl>();
  impl->settings = settings;
  code = impl->Open();
  if (code == kDirOk)
    code = impl->ReadSchema();
  if (code != kDirOk) {
    const auto text = impl->FailureText(code);
    error = text ? *text : settings.uri + ": cannot be reached";
    return nullptr;
  }
  return std::unique_ptr<LdapStore>(new LdapStore(std::move(impl)));
}

int32_t LdapStore::GetEntry(const DirName& name, StoreEntry& entry) const {
  if (name.empty()) {
    // The root is no entry on the server (its DSE describes the server instead).
    static_cast<void>(GetEntryWithoutCount(name, entry));
    std::unique_ptr<EntryCursor> children;
    if (const int32_t code = ListChildren(name, children); code != kDirOk)
      return code;
    return CountEntries(*children, entry.subordinateCount);
  }
  if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
    return code;
  if (entry.subordinateCount == 0 && (entry.flags & kDirObjectContainer) != 0) {
    // The server does not count subordinates: they are counted by name.
    std::unique_ptr<EntryCursor> children;
    if (ListChildren(name, children) == kDirOk) {
      uint32_t count = 0;
      static_cast<void>(CountEntries(*children, count));
      entry.subordinateCount = count;
    }
  }
  return kDirOk;
}

// A server without a subordinate count pays for a listing with a scan of its whole tree (a
// one-level search by an unindexed filter), which no reader that skips the count should wait for.
int32_t LdapStore::GetEntryWithoutCount(const DirName& name, StoreEntry& entry) const {
  if (name.empty()) {
    entry = StoreEntry();
    entry.baseClass = "Tree Root";
    entry.flags = kDirObjectContainer;
    return kDirOk;
  }
  Impl::Page page;
  if (const int32_t code = impl_->SearchOnce(LdapDnText(name), LDAP_SCOPE_BASE, "(objectClass=*)",
                                             kEntryAttributes, page, "read entry");
      code != kDirOk) {
    return code;
  }
  if (page.entries.empty() || !impl_->FillEntry(page.entries.front().get(), entry))
    return kDirNoSuchEntry;
  return kDirOk;
}

std::vector<ChildCandidate> LdapStore::FindChildren(const DirName& parent,
                                                    const NamePart& part) const {
  return impl_->FindChildren(parent, part);
}

int32_t LdapStore::ListChildren(const DirName& parent, std::unique_ptr<EntryCursor>& cursor) const {
  if (parent.empty() && !impl_->rootIsEntry) {
    return StartCursor(
        std::make_unique<RootCursor>(*impl_, LDAP_SCOPE_BASE, "(objectClass=*)", Cursor::Check()),
        cursor);
  }
  return StartCursor(std::make_unique<Cursor>(*impl_, LdapDnText(parent), LDAP_SCOPE_ONELEVEL,
                                              "(objectClass=*)", Cursor::Check()),
                     cursor);
}

int32_t LdapStore::Search(const DirName& base, int scope, const FilterNode& filter,
                          std::unique_ptr<EntryCursor>& cursor) const {
  int ldapScope = LDAP_SCOPE_BASE;
  if (scope == 1) {
    ldapScope = LDAP_SCOPE_ONELEVEL;
  } else if (scope == 2) {
    ldapScope = LDAP_SCOPE_SUBTREE;
  } else if (scope != 0) {
    return kDirInvalidFilter;
  }
  std::string text;
  if (const int32_t code = FilterText(filter, text); code != kDirOk)
    return code;
  // The server matches any class value, the client the base class alone: the entries the server
  // returns are checked again here.
  Cursor::Check check;
  if (const auto classes = RequiredClasses(filter)) {
    for (const std::string& name : *classes) {
      const Impl::ClassDef* def = impl_->FindClass(name);
      check.classes.push_back(def != nullptr ? def->name : name);
    }
  }
  if (const FilterNode* rdn = RequiredRdn(filter)) {
    check.rdnPattern = rdn->text;
    check.rdnType = rdn->rdnType;
  }
  if (base.empty() && !impl_->rootIsEntry) {
    // The root's subordinates are the contexts, its subtree theirs; itself it is no entry.
    if (scope == 0) {
      cursor = std::make_unique<NoEntries>();
      return kDirOk;
    }
    return StartCursor(
        std::make_unique<RootCursor>(*impl_, scope == 1 ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE,
                                     std::move(text), std::move(check)),
        cursor);
  }
  return StartCursor(std::make_unique<Cursor>(*impl_, LdapDnText(base), ldapScope, std::move(text),
                                              std::move(check)),
                     cursor);
}

int32_t LdapStore::ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                                  std::vector<StoreAttribute>& attributes) const {
  std::vector<std::string> wanted;
  for (const std::string& requested : names) {
    const Impl::AttributeDef* def = impl_->FindAttribute(requested);
    if (def != nullptr)
      wanted.push_back(def->ldapName);
  }
  if (names.empty()) {
    wanted = {"*", "modifyTimestamp"};
  } else if (wanted.empty()) {
    // Nothing the server knows was asked for; the entry must still exist.
    StoreEntry entry;
    if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    return kDirNoSuchAttribute;
  }
  std::vector<const char*> list;
  for (const std::string& w : wanted)
    list.push_back(w.c_str());
  list.push_back(nullptr);
  Impl::Page page;
  if (const int32_t code = impl_->SearchOnce(LdapDnText(name), LDAP_SCOPE_BASE, "(objectClass=*)",
                                             list.data(), page, "read");
      code != kDirOk) {
    return code;
  }
  if (page.entries.empty())
    return kDirNoSuchEntry;
  LDAPMessage* entry = page.entries.front().get();
  attributes.clear();
  BerElement* rawBer = nullptr;
  for (char* raw = ldap_first_attribute(impl_->decoder.get(), entry, &rawBer); raw != nullptr;
       raw = ldap_next_attribute(impl_->decoder.get(), entry, rawBer)) {
    const LdapText attributeName(raw);
    std::string ldapName(raw);
    if (const size_t semicolon = ldapName.find(';'); semicolon != std::string::npos)
      ldapName.resize(semicolon);
    const Values values(ldap_get_values_len(impl_->decoder.get(), entry, raw));
    StoreAttribute attribute;
    const Impl::AttributeDef* def = impl_->FindAttribute(ldapName);
    attribute.name = def != nullptr ? def->name : ldapName;
    attribute.syntax = def != nullptr ? def->syntax : kSyntaxOctetString;
    const bool isClass = EqualsIgnoringCase(ldapName, "objectClass");
    for (int v = 0; values && values.get()[v] != nullptr; ++v) {
      std::string value(values.get()[v]->bv_val, values.get()[v]->bv_len);
      attribute.values.push_back(isClass ? ClassName(value) : std::move(value));
    }
    attributes.push_back(std::move(attribute));
  }
  const std::unique_ptr<BerElement, BerElementFree> ber(rawBer);
  if (!names.empty() && attributes.empty())
    return kDirNoSuchAttribute;
  return kDirOk;
}

int32_t LdapStore::ReadStream(const DirName& name, std::string_view attribute,
                              std::string& bytes) const {
  const Impl::AttributeDef* def = impl_->FindAttribute(attribute);
  if (def == nullptr || def->syntax != kSyntaxStream) {
    StoreEntry entry;
    if (const int32_t code = GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    return kDirNoSuchAttribute;
  }
  std::vector<StoreAttribute> attributes;
  if (const int32_t code = ReadAttributes(name, {def->ldapName}, attributes); code != kDirOk)
    return code;
  if (attributes.empty() || attributes.front().values.empty())
    return kDirNoSuchAttribute;
  bytes = attributes.front().values.front();
  return kDirOk;
}

std::optional<std::string> LdapStore::FailureText(int32_t code) const {
  return impl_->FailureText(code);
}

void LdapStore::RetryServer() {
  *impl_->givenUp = Impl::GiveUp();
}

std::optional<uint32_t> LdapStore::SyntaxOf(std::string_view attribute) const {
  const Impl::AttributeDef* def = impl_->FindAttribute(attribute);
  if (def == nullptr)
    return std::nullopt;
  return def->syntax;
}

std::string LdapStore::AttributeName(std::string_view attribute) const {
  const Impl::AttributeDef* def = impl_->FindAttribute(attribute);
  return def != nullptr ? def->name : std::string(attribute);
}

std::string LdapStore::ClassName(std::string_view ldapClass) const {
  const Impl::ClassDef* def = impl_->FindClass(ldapClass);
  return def != nullptr ? def->name : std::string(ldapClass);
}

int32_t LdapStore::FilterText(const FilterNode& filter, std::string& text) const {
  text.clear();
  return impl_->Translate(filter, text);
}

int32_t LdapStore::WhoAmI(DirName& name) const {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool hadConnection = impl_->ld != nullptr;
    if (const int32_t code = impl_->Ensure(); code != kDirOk)
      return code;
    int msgid = 0;
    const SigPipeHold hold;
    if (const int rc = ldap_whoami(impl_->ld.get(), nullptr, nullptr, &msgid); rc != LDAP_SUCCESS) {
      if (rc == LDAP_SERVER_DOWN)
        impl_->Drop();
      if (rc == LDAP_SERVER_DOWN && hadConnection)
        continue;
      return impl_->FromResult(rc, "who am I", nullptr);
    }
    Message message;
    if (const int32_t code = impl_->Await(msgid, impl_->Deadline(), message, "who am I");
        code != kDirOk) {
      if (code == kDirTransportFailure && hadConnection && attempt == 0)
        continue;
      return code;
    }
    struct berval* raw = nullptr;
    const int rc = ldap_parse_whoami(impl_->ld.get(), message.get(), &raw);
    const std::unique_ptr<struct berval, BervalFree> identity(raw);
    if (rc != LDAP_SUCCESS)
      return impl_->FromResult(rc, "who am I", nullptr);
    std::string_view text =
        identity ? std::string_view(identity->bv_val, identity->bv_len) : std::string_view();
    if (!text.starts_with("dn:") || text.size() == 3)
      return kDirNoSuchEntry;
    const auto parsed = ParseLdapDn(text.substr(3));
    if (!parsed)
      return kDirInvalidObjectName;
    name = *parsed;
    return kDirOk;
  }
  return kDirTransportFailure;
}
