#include "directory/client/ldap_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "directory/client/dir_name.h"

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

struct ControlFree {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
struct ControlsFree {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
struct LdapMemFree {
  void operator()(char* text) const { ldap_memfree(text); }
};
struct BerElementFree {
  void operator()(BerElement* ber) const { ber_free(ber, 0); }
};
struct ReferralsFree {
  void operator()(char** referrals) const { ber_memvfree(reinterpret_cast<void**>(referrals)); }
};
struct BervalFree {
  void operator()(struct berval* value) const { ber_bvfree(value); }
};

using LdapText = std::unique_ptr<char, LdapMemFree>;

std::string Describe(int rc) {
  return ldap_err2string(rc);
}

// What to say when the handshake of the ldaps:// address `uri` failed: when its port answers a
// bind in plain LDAP, that it does and what to write instead; otherwise nothing.
std::string PlainLdapHint(const std::string& uri, const struct timeval& timeout) {
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS)
    return {};
  const std::unique_ptr<LDAPURLDesc, decltype(&ldap_free_urldesc)> owner(parsed, ldap_free_urldesc);
  const std::string host = parsed->lud_host != nullptr ? parsed->lud_host : "";
  const std::string hostPort = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                               ":" + std::to_string(parsed->lud_port != 0 ? parsed->lud_port : 636);
  const std::string plain = "ldap://" + hostPort;
  LDAP* raw = nullptr;
  if (ldap_initialize(&raw, plain.c_str()) != LDAP_SUCCESS)
    return {};
  const LdapHandle handle(raw);
  const int version = LDAP_VERSION3;
  ldap_set_option(handle.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(handle.get(), LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  ldap_set_option(handle.get(), LDAP_OPT_TIMEOUT, &timeout);
  struct berval none {};
  const SigPipeHold hold;
  // Any result the server gives, a refusal included, is an answer in plain LDAP; libldap's own
  // codes (no connection, no answer) are negative.
  if (ldap_sasl_bind_s(handle.get(), "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr) < 0)
    return {};
  return "; " + hostPort + " answers plain LDAP, not LDAP over TLS: use " + plain +
         " with StartTLS (starttls = yes)";
}

}  // namespace

void LdapUnbind::operator()(LDAP* ld) const {
  const SigPipeHold hold;
  ldap_unbind_ext_s(ld, nullptr, nullptr);
}

LdapConnection::LdapConnection(LdapSettings settings, std::shared_ptr<LdapFailure> givenUp,
                               std::shared_ptr<LdapFailure> lastFailure, bool pagedResults)
    : settings_(std::move(settings)),
      servers_(SourceServers(settings_.uri)),
      givenUp_(std::move(givenUp)),
      lastFailure_(std::move(lastFailure)),
      pagedResults_(pagedResults),
      pageSize_(std::max(1, settings_.pageSize)) {
  if (servers_.empty())
    servers_.push_back(settings_.uri);
}

int32_t LdapConnection::Fail(int32_t code, const std::string& text) const {
  *lastFailure_ = LdapFailure{code, text};
  return code;
}

std::optional<std::string> LdapConnection::FailureText(int32_t code) const {
  if (code == kDirOk || lastFailure_->code != code)
    return std::nullopt;
  return lastFailure_->text;
}

// The code for an LDAP result, the server's diagnostic message kept as the code's text.
int32_t LdapConnection::FromResult(int rc, std::string_view what, const char* diagnostic) const {
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
    *lastFailure_ = LdapFailure{code, text};
  return code;
}

void LdapConnection::Drop() {
  ld_.reset();
  heldGeneration_.reset();
}

LdapConnection::SendsTogether::~SendsTogether() {
  if (--connection_.sendsHeld_ == 0)
    connection_.LetSendsGo();
}

bool LdapConnection::CorkSocket(bool cork) const {
  int fd = -1;
  const int on = cork ? 1 : 0;
  return ldap_get_option(ld_.get(), LDAP_OPT_DESC, &fd) == LDAP_OPT_SUCCESS && fd >= 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
}

void LdapConnection::HoldSendsIfAsked() {
  // Not every socket can be held back (a local one cannot): its requests then go out one by
  // one, as before.
  if (sendsHeld_ > 0 && ld_ != nullptr && heldGeneration_ != generation_ && CorkSocket(true))
    heldGeneration_ = generation_;
}

void LdapConnection::LetSendsGo() {
  // A connection dropped meanwhile took its socket along; its descriptor may be another's now.
  const bool held = ld_ != nullptr && heldGeneration_ == generation_;
  heldGeneration_.reset();
  if (held)
    static_cast<void>(CorkSocket(false));
}

struct timeval LdapConnection::Timeout() const {
  struct timeval tv {};
  tv.tv_sec = std::max(1, settings_.timeoutSeconds);
  return tv;
}

// Waits for the next message of `msgid` until the operation's time is up. On timeout or a
// lost connection the request is given up and the connection dropped.
int32_t LdapConnection::Await(int msgid, std::chrono::steady_clock::time_point deadline,
                              LdapMessage& message, std::string_view what, bool* notYet) {
  message.reset();
  const auto left = deadline - std::chrono::steady_clock::now();
  const auto micros =
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
  struct timeval tv {};
  tv.tv_sec = static_cast<time_t>(micros / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  LDAPMessage* raw = nullptr;
  errno = 0;
  const int type = ldap_result(ld_.get(), msgid, LDAP_MSG_ONE, &tv, &raw);
  const int readError = errno;
  message.reset(raw);
  if (type == 0 && notYet != nullptr) {
    *notYet = true;
    return kDirOk;
  }
  if (type == 0) {
    const SigPipeHold hold;
    ldap_abandon_ext(ld_.get(), msgid, nullptr, nullptr);
    Drop();
    return Fail(kDirTransportFailure, NoAnswer(what));
  }
  if (type < 0) {
    int rc = LDAP_SERVER_DOWN;
    ldap_get_option(ld_.get(), LDAP_OPT_RESULT_CODE, &rc);
    Drop();
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_SUCCESS) {
      if (auto text = TooLarge(readError, what))
        return Fail(kDirTransportFailure, *text);
    }
    return FromResult(rc == LDAP_SUCCESS ? LDAP_SERVER_DOWN : rc, what, nullptr);
  }
  return kDirOk;
}

std::chrono::steady_clock::time_point LdapConnection::Deadline() const {
  return std::chrono::steady_clock::now() +
         std::chrono::seconds(std::max(1, settings_.timeoutSeconds));
}

// Result code, diagnostic and controls of a final result message.
int32_t LdapConnection::ParseResult(LDAPMessage* message, std::string_view what,
                                    LDAPControl*** controls, int* ldapCode,
                                    std::vector<std::string>* referralUrls) {
  int rc = LDAP_OTHER;
  char* matched = nullptr;
  char* diagnostic = nullptr;
  char** referrals = nullptr;
  const int parsed =
      ldap_parse_result(ld_.get(), message, &rc, &matched, &diagnostic, &referrals, controls, 0);
  const LdapText matchedOwner(matched);
  const LdapText diagnosticOwner(diagnostic);
  const std::unique_ptr<char*, ReferralsFree> referralsOwner(referrals);
  if (parsed != LDAP_SUCCESS)
    rc = parsed;
  if (ldapCode != nullptr)
    *ldapCode = rc;
  for (char** url = referrals; referralUrls != nullptr && url != nullptr && *url != nullptr; ++url)
    referralUrls->emplace_back(*url);
  return FromResult(rc, what, diagnostic);
}

// Runs `send`, a connection's first request, again while libldap is still connecting, each
// time once the socket is ready, until `deadline`; the request's LDAP result code.
template <typename Send>
int LdapConnection::FirstRequest(const Send& send, std::chrono::steady_clock::time_point deadline) {
  short events = POLLOUT;
  for (;;) {
    const SigPipeHold hold;
    const int rc = send();
    if (rc != LDAP_X_CONNECTING)
      return rc;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int fd = -1;
    if (left.count() <= 0 || ldap_get_option(ld_.get(), LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS)
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
int32_t LdapConnection::ConnectFailure(int rc, std::string_view what,
                                       std::chrono::steady_clock::time_point deadline) {
  if (rc == LDAP_SERVER_DOWN) {
    if (auto text = TooLarge(errno, what)) {
      Drop();
      return Fail(kDirTransportFailure, *text);
    }
  }
  char* message = nullptr;
  ldap_get_option(ld_.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &message);
  const LdapText owner(message);
  Drop();
  const bool lost = rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR;
  // libldap's clock for the network timeout starts a moment before or after ours.
  const bool timedOut =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(100) >= deadline;
  if (rc == LDAP_TIMEOUT || (lost && timedOut))
    return Fail(kDirTransportFailure, NoAnswer(what));
  const int32_t code = FromResult(lost ? LDAP_CONNECT_ERROR : rc, what, message);
  if (lost && Where().starts_with("ldaps://"))
    lastFailure_->text += PlainLdapHint(Where(), Timeout());
  return code;
}

std::optional<std::string> LdapConnection::TooLarge(int error, std::string_view what) const {
  // liblber refuses a message whose length exceeds the limit as soon as it reads the length,
  // with ERANGE, before it takes any room for the message.
  if (error != ERANGE)
    return std::nullopt;
  return Where() + ": " + std::string(what) + ": the server sent a message larger than " +
         std::to_string(settings_.maxMessageMiB) + " MiB (max-message-size)";
}

std::string LdapConnection::NoAnswer(std::string_view what) const {
  return Where() + ": " + std::string(what) + ": no answer within " +
         std::to_string(std::max(1, settings_.timeoutSeconds)) + " s";
}

int32_t LdapConnection::Open() {
  // libldap takes a list too, but connecting asynchronously it settles on the first server
  // before knowing whether it answers; each is tried here in turn, with a time-out of its own.
  int32_t code = kDirUnreachableServer;
  std::string reasons;
  for (current_ = 0; current_ < servers_.size(); ++current_) {
    code = OpenServer();
    if (code == kDirOk)
      return kDirOk;
    reasons += (reasons.empty() ? "" : "; ") + FailureText(code).value_or(Where());
    if (code != kDirUnreachableServer && code != kDirTransportFailure)
      break;
  }
  current_ = std::min(current_, servers_.size() - 1);
  return servers_.size() > 1 ? Fail(code, reasons) : code;
}

int32_t LdapConnection::OpenServer() {
  int bind = 0;
  if (const int32_t code = SendBind(bind); code != kDirOk)
    return code;
  return AwaitBind(bind);
}

int32_t LdapConnection::SendBind(int& msgid) {
  LDAP* raw = nullptr;
  if (const int rc = ldap_initialize(&raw, Where().c_str()); rc != LDAP_SUCCESS) {
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
  const int requireCert = settings_.verify ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
  ldap_set_option(handle.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &requireCert);
  if (!settings_.caFile.empty())
    ldap_set_option(handle.get(), LDAP_OPT_X_TLS_CACERTFILE, settings_.caFile.c_str());
  const int newContext = 0;
  ldap_set_option(handle.get(), LDAP_OPT_X_TLS_NEWCTX, &newContext);
  // libldap holds a message whole before it decodes it, and takes room for it as the length
  // announces: without a limit a server that announces a huge one and streams takes all the
  // memory the wait for it leaves it.
  Sockbuf* limited = nullptr;
  if (ldap_get_option(handle.get(), LDAP_OPT_SOCKBUF, &limited) != LDAP_OPT_SUCCESS ||
      limited == nullptr) {
    return Fail(kDirUnreachableServer, Where() + ": the connection cannot be limited");
  }
  ber_len_t limit = static_cast<ber_len_t>(std::max(1, settings_.maxMessageMiB)) << 20;
  if (ber_sockbuf_ctrl(limited, LBER_SB_OPT_SET_MAX_INCOMING, &limit) != 1)
    return Fail(kDirUnreachableServer, Where() + ": the connection cannot be limited");
  ld_ = std::move(handle);
  if (settings_.startTls) {
    const auto deadline = Deadline();
    if (const int rc =
            FirstRequest([&] { return ldap_start_tls_s(ld_.get(), nullptr, nullptr); }, deadline);
        rc != LDAP_SUCCESS) {
      return ConnectFailure(rc, "StartTLS", deadline);
    }
  }
  struct berval credentials {};
  credentials.bv_val = settings_.password.data();
  credentials.bv_len = settings_.password.size();
  msgid = 0;
  const auto connected = Deadline();
  if (const int rc = FirstRequest(
          [&] {
            return ldap_sasl_bind(ld_.get(), settings_.bindDn.c_str(), LDAP_SASL_SIMPLE,
                                  &credentials, nullptr, nullptr, &msgid);
          },
          connected);
      rc != LDAP_SUCCESS) {
    return ConnectFailure(rc, "connect", connected);
  }
  return kDirOk;
}

int32_t LdapConnection::AwaitBind(int msgid) {
  LdapMessage message;
  const std::string what =
      settings_.bindDn.empty() ? std::string("anonymous bind") : "bind as " + settings_.bindDn;
  if (const int32_t code = Await(msgid, Deadline(), message, what); code != kDirOk)
    return code;
  if (const int32_t code = ParseResult(message.get(), what, nullptr); code != kDirOk) {
    Drop();
    return code;
  }
  // Without a read-ahead buffer libldap reads each message in several system calls (tag,
  // length, body), which cost a large search more than all else the client does with it.
  Sockbuf* socket = nullptr;
  if (ldap_get_option(ld_.get(), LDAP_OPT_SOCKBUF, &socket) == LDAP_OPT_SUCCESS &&
      socket != nullptr) {
    ber_sockbuf_add_io(socket, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
  }
  ++generation_;
  return kDirOk;
}

// The connection, opened again when it was lost.
int32_t LdapConnection::Ensure() {
  if (ld_)
    return kDirOk;
  if (givenUp_->code != kDirOk)
    return Fail(givenUp_->code, givenUp_->text);
  return GiveUpUnless(Open());
}

int32_t LdapConnection::GiveUpUnless(int32_t code) {
  if (code == kDirOk)
    return kDirOk;
  std::string why = FailureText(code).value_or("cannot be reached");
  // A connection to a server never reached before (one a referral names) was not lost.
  if (generation_ == 0 && !spare_) {
    *givenUp_ = LdapFailure{code, why};
    return Fail(code, why);
  }
  if (servers_.size() == 1 && why.starts_with(Where() + ": "))
    why.erase(0, Where().size() + 2);
  const std::string& where = servers_.size() == 1 ? Where() : settings_.uri;
  *givenUp_ = LdapFailure{code, where + ": connection lost; reconnecting: " + why};
  return Fail(code, givenUp_->text);
}

// Sends one search request (one page when `cookie` is given) and gives its message id.
int32_t LdapConnection::SendSearch(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, const std::string* cookie, int& msgid,
                                   std::string_view what) {
  if (const int32_t code = Ensure(); code != kDirOk)
    return code;
  std::unique_ptr<LDAPControl, ControlFree> control;
  LDAPControl* controls[2] = {nullptr, nullptr};
  if (cookie != nullptr && pagedResults_) {
    struct berval value {};
    value.bv_val = const_cast<char*>(cookie->data());
    value.bv_len = cookie->size();
    LDAPControl* raw = nullptr;
    if (ldap_create_page_control(ld_.get(), pageSize_, cookie->empty() ? nullptr : &value, 0,
                                 &raw) == LDAP_SUCCESS) {
      control.reset(raw);
      controls[0] = raw;
    }
  }
  struct timeval tv = Timeout();
  msgid = 0;
  HoldSendsIfAsked();
  const SigPipeHold hold;
  const int rc =
      ldap_search_ext(ld_.get(), base.c_str(), scope, filter.c_str(), const_cast<char**>(attrs), 0,
                      controls[0] ? controls : nullptr, nullptr, &tv, LDAP_NO_LIMIT, &msgid);
  if (rc != LDAP_SUCCESS) {
    if (rc == LDAP_SERVER_DOWN)
      Drop();
    return FromResult(rc, what, nullptr);
  }
  return kDirOk;
}

// Gathers every message of the request `msgid` up to its final result.
int32_t LdapConnection::CollectPage(int msgid, LdapPage& page, std::string_view what) {
  page = LdapPage();
  return FinishPage(msgid, page, what, Deadline());
}

int32_t LdapConnection::FinishPage(int msgid, LdapPage& page, std::string_view what,
                                   std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    LdapMessage message;
    if (const int32_t code = Await(msgid, deadline, message, what); code != kDirOk)
      return code;
    if (const auto code = TakeIntoPage(std::move(message), page, what))
      return *code;
  }
}

std::optional<int32_t> LdapConnection::GatherArrived(int msgid, LdapPage& page,
                                                     std::string_view what) {
  const auto now = std::chrono::steady_clock::now();
  for (;;) {
    LdapMessage message;
    bool notYet = false;
    if (const int32_t code = Await(msgid, now, message, what, &notYet); code != kDirOk)
      return code;
    if (notYet)
      return std::nullopt;
    if (const auto code = TakeIntoPage(std::move(message), page, what))
      return code;
  }
}

int LdapConnection::Descriptor() const {
  int descriptor = -1;
  if (ld_ == nullptr || ldap_get_option(ld_.get(), LDAP_OPT_DESC, &descriptor) != LDAP_OPT_SUCCESS)
    return -1;
  return descriptor;
}

std::optional<int32_t> LdapConnection::TakeIntoPage(LdapMessage message, LdapPage& page,
                                                    std::string_view what) {
  const int type = ldap_msgtype(message.get());
  if (type == LDAP_RES_SEARCH_ENTRY) {
    page.entries.push_back(std::move(message));
    return std::nullopt;
  }
  if (type == LDAP_RES_SEARCH_REFERENCE) {
    // Kept even when unreadable: a part of the tree left out without a word would pass the
    // answer off as whole.
    char** urls = nullptr;
    std::vector<std::string>& reference =
        page.references.emplace_back(LdapReference{page.entries.size(), {}}).urls;
    if (ldap_parse_reference(ld_.get(), message.get(), &urls, nullptr, 0) == LDAP_SUCCESS) {
      const std::unique_ptr<char*, ReferralsFree> owner(urls);
      for (char** url = urls; url != nullptr && *url != nullptr; ++url)
        reference.emplace_back(*url);
    }
    return std::nullopt;
  }
  if (type != LDAP_RES_SEARCH_RESULT)
    return std::nullopt;
  LDAPControl** raw = nullptr;
  const int32_t code = ParseResult(message.get(), what, &raw, &page.ldapCode, &page.referrals);
  const std::unique_ptr<LDAPControl*, ControlsFree> owner(raw);
  if (LDAPControl* response = ldap_control_find(kLdapPagedResultsOid, raw, nullptr)) {
    ber_int_t estimate = 0;
    struct berval next {};
    if (ldap_parse_pageresponse_control(ld_.get(), response, &estimate, &next) == LDAP_SUCCESS) {
      page.cookie.assign(next.bv_val != nullptr ? next.bv_val : "", next.bv_len);
      ber_memfree(next.bv_val);
    }
  }
  return code;
}

int32_t LdapConnection::SearchPage(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, const std::string* cookie,
                                   LdapPage& page, std::string_view what) {
  page = LdapPage();
  int msgid = 0;
  if (const int32_t code = SendSearch(base, scope, filter, attrs, cookie, msgid, what);
      code != kDirOk) {
    return code;
  }
  return CollectPage(msgid, page, what);
}

// A single request, retried once on a fresh connection when the old one turns out to have
// been lost since the last call.
int32_t LdapConnection::SearchOnce(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, LdapPage& page,
                                   std::string_view what) {
  const bool hadConnection = ld_ != nullptr;
  const uint64_t before = generation_;
  int32_t code = SearchPage(base, scope, filter, attrs, nullptr, page, what);
  if (code == kDirTransportFailure && hadConnection && ld_ == nullptr && page.entries.empty() &&
      before == generation_) {
    code = SearchPage(base, scope, filter, attrs, nullptr, page, what);
  }
  return code;
}

int32_t LdapConnection::LookUpEach(const std::vector<std::string>& bases, const char* const* attrs,
                                   std::vector<LdapPage>& pages, std::string_view what) {
  const bool hadConnection = ld_ != nullptr;
  const uint64_t before = generation_;
  int32_t code = LookUpEachOnce(bases, attrs, pages, what);
  if (code == kDirTransportFailure && hadConnection && ld_ == nullptr && before == generation_)
    code = LookUpEachOnce(bases, attrs, pages, what);
  return code;
}

namespace {

// The base lookups of bases[from, to) on one connection, in a sliding window of their own.
class LookUpShare {
 public:
  LookUpShare(LdapConnection& connection, const std::vector<std::string>& bases, size_t from,
              size_t to, const char* const* attrs, std::vector<LdapPage>& pages,
              std::string_view what)
      : connection_(connection),
        bases_(bases),
        from_(from),
        to_(to),
        attrs_(attrs),
        pages_(pages),
        what_(what) {}

  void Start() {
    SendUpTo(connection_.WantsLoneRoundTrip() ? 1 : connection_.LookUpWindow());
    generation_ = connection_.Generation();
  }
  [[nodiscard]] bool Done() const { return lost_ || answered_ >= sent_.size(); }
  // Whether the connection the requests went out on is gone, and their answers with it.
  [[nodiscard]] bool Lost() const { return lost_; }
  [[nodiscard]] int32_t Failure() const { return failure_; }
  [[nodiscard]] LdapConnection& Connection() const { return connection_; }
  [[nodiscard]] size_t From() const { return from_; }
  [[nodiscard]] size_t To() const { return to_; }

  // Takes the next answer.
  void TakeNext() {
    if (!connection_.Connected() || connection_.Generation() != generation_) {
      lost_ = true;
      if (failure_ == kDirOk)
        failure_ = kDirTransportFailure;
      return;
    }
    const size_t i = answered_++;
    if (failure_ != kDirOk) {
      connection_.Abandon(sent_[i]);
      return;
    }
    LdapPage& page = pages_[from_ + i];
    const int32_t code = connection_.CollectPage(sent_[i], page, what_);
    if (i == loneRequest_ && connection_.WantsLoneRoundTrip() &&
        (code == kDirOk || code == kDirNoSuchEntry)) {
      connection_.NoteLoneRoundTrip(std::chrono::steady_clock::now() - loneSentAt_);
    }
    // A referral is no failure here: the caller follows it.
    if (code != kDirOk && code != kDirNoSuchEntry && page.ldapCode != LDAP_REFERRAL)
      failure_ = code;
    // The window is topped up once half of it is answered: requests sent one per answer would
    // trickle out between the answers, a turn each when the server is quicker than the reader.
    const size_t window = connection_.LookUpWindow();
    if (sent_.size() - answered_ <= window / 2)
      SendUpTo(answered_ + window);
  }

 private:
  void SendUpTo(size_t count) {
    const LdapConnection::SendsTogether together(connection_);
    const size_t until = std::min(count, to_ - from_);
    const bool alone = sent_.size() == answered_ && until == sent_.size() + 1;
    while (failure_ == kDirOk && sent_.size() < until) {
      int msgid = 0;
      failure_ = connection_.SendSearch(bases_[from_ + sent_.size()], LDAP_SCOPE_BASE,
                                        "(objectClass=*)", attrs_, nullptr, msgid, what_);
      if (failure_ == kDirOk)
        sent_.push_back(msgid);
    }
    // Timed from the send on: a connection opened by it is not part of the round trip.
    if (alone && sent_.size() == until) {
      loneRequest_ = until - 1;
      loneSentAt_ = std::chrono::steady_clock::now();
    }
  }

  LdapConnection& connection_;
  const std::vector<std::string>& bases_;
  size_t from_;
  size_t to_;
  const char* const* attrs_;
  std::vector<LdapPage>& pages_;
  std::string_view what_;
  std::vector<int> sent_;  // the message ids of bases_[from_], bases_[from_ + 1], ...
  size_t answered_ = 0;
  int32_t failure_ = kDirOk;
  uint64_t generation_ = 0;
  bool lost_ = false;
  // The last request sent with no other of the share on its way, and when.
  size_t loneRequest_ = SIZE_MAX;
  std::chrono::steady_clock::time_point loneSentAt_;
};

}  // namespace

int32_t LdapConnection::LookUpEachOnce(const std::vector<std::string>& bases,
                                       const char* const* attrs, std::vector<LdapPage>& pages,
                                       std::string_view what) {
  pages.clear();
  pages.resize(bases.size());
  LookUpShare share(*this, bases, 0, bases.size(), attrs, pages, what);
  share.Start();
  while (!share.Done())
    share.TakeNext();
  return share.Failure();
}

int32_t LdapConnection::LookUpEachAcross(const std::vector<LdapConnection*>& connections,
                                         const std::vector<std::string>& bases,
                                         const char* const* attrs, std::vector<LdapPage>& pages,
                                         std::string_view what) {
  if (connections.size() < 2 || bases.size() <= connections.front()->LookUpWindow())
    return connections.front()->LookUpEach(bases, attrs, pages, what);
  pages.clear();
  pages.resize(bases.size());
  const size_t each = (bases.size() + connections.size() - 1) / connections.size();
  std::vector<LookUpShare> shares;
  for (size_t from = 0, i = 0; from < bases.size(); from += each, ++i) {
    shares.emplace_back(*connections[i], bases, from, std::min(bases.size(), from + each), attrs,
                        pages, what);
  }
  for (LookUpShare& share : shares)
    share.Start();
  // An answer from each in turn, so that every window is topped up while the others are read.
  for (bool open = true; open;) {
    open = false;
    for (LookUpShare& share : shares) {
      if (!share.Done()) {
        share.TakeNext();
        open = true;
      }
    }
  }
  int32_t failure = kDirOk;
  for (const LookUpShare& share : shares) {
    int32_t code = share.Failure();
    if (share.Lost()) {
      // As LookUpEach would: the share asked again on its connection, opened anew.
      const std::vector<std::string> part(bases.begin() + static_cast<std::ptrdiff_t>(share.From()),
                                          bases.begin() + static_cast<std::ptrdiff_t>(share.To()));
      std::vector<LdapPage> answered;
      code = share.Connection().LookUpEach(part, attrs, answered, what);
      std::move(answered.begin(), answered.end(),
                pages.begin() + static_cast<std::ptrdiff_t>(share.From()));
    }
    if (failure == kDirOk)
      failure = code;
  }
  return failure;
}

void LdapConnection::Abandon(int msgid) {
  if (!ld_)
    return;
  const SigPipeHold hold;
  ldap_abandon_ext(ld_.get(), msgid, nullptr, nullptr);
}

int32_t LdapConnection::SendWhoAmI(int& msgid) {
  if (const int32_t code = Ensure(); code != kDirOk)
    return code;
  msgid = 0;
  HoldSendsIfAsked();
  const SigPipeHold hold;
  if (const int rc = ldap_whoami(ld_.get(), nullptr, nullptr, &msgid); rc != LDAP_SUCCESS) {
    if (rc == LDAP_SERVER_DOWN)
      Drop();
    return FromResult(rc, "who am I", nullptr);
  }
  return kDirOk;
}

int32_t LdapConnection::WhoAmI(std::string& authzId, int sent) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool hadConnection = ld_ != nullptr;
    int msgid = std::exchange(sent, -1);
    if (msgid < 0 || !hadConnection) {
      if (const int32_t code = SendWhoAmI(msgid); code != kDirOk) {
        if (code == kDirTransportFailure && hadConnection && ld_ == nullptr)
          continue;
        return code;
      }
    }
    LdapMessage message;
    if (const int32_t code = Await(msgid, Deadline(), message, "who am I"); code != kDirOk) {
      if (code == kDirTransportFailure && hadConnection && attempt == 0)
        continue;
      return code;
    }
    struct berval* raw = nullptr;
    const int rc = ldap_parse_whoami(ld_.get(), message.get(), &raw);
    const std::unique_ptr<struct berval, BervalFree> identity(raw);
    if (rc != LDAP_SUCCESS)
      return FromResult(rc, "who am I", nullptr);
    authzId = identity ? std::string(identity->bv_val, identity->bv_len) : std::string();
    return kDirOk;
  }
  return kDirTransportFailure;
}

std::optional<LdapDecoder> LdapDecoder::ForUri(const std::string& uri) {
  LDAP* raw = nullptr;
  if (ldap_initialize(&raw, uri.c_str()) != LDAP_SUCCESS || raw == nullptr)
    return std::nullopt;
  return LdapDecoder(LdapHandle(raw));
}

namespace {

struct BerValuesFree {
  void operator()(struct berval* values) const { ber_memfree(values); }
};

// Calls `visit(description, values)` for each attribute of `entry` that `wants(description)`,
// in the order the server sent them, `values` ending at a null bv_val (or null itself); the
// values of the others are stepped over unread. Both point into the message: fetching each
// attribute by its name parsed the entry from its start again and copied every value.
template <typename Wants, typename Visit>
void EachAttribute(LDAP* ld, LDAPMessage* entry, const Wants& wants, const Visit& visit) {
  BerElement* rawBer = nullptr;
  struct berval dn {};
  const int rc = ldap_get_dn_ber(ld, entry, &rawBer, &dn);
  const std::unique_ptr<BerElement, BerElementFree> ber(rawBer);
  if (rc != LDAP_SUCCESS)
    return;
  // The element is bounded by the attribute list: its end ends the list.
  ber_len_t length = 0;
  while (ber_peek_tag(ber.get(), &length) != LBER_DEFAULT) {
    struct berval description {};
    if (ber_scanf(ber.get(), "{m" /*}*/, &description) == LBER_ERROR)
      return;
    const std::string_view name(description.bv_val, description.bv_len);
    if (!wants(name)) {
      if (ber_scanf(ber.get(), /*{*/ "x}") == LBER_ERROR)
        return;
      continue;
    }
    struct berval* values = nullptr;
    ber_len_t size = sizeof(struct berval);
    if (ber_scanf(ber.get(), /*{*/ "M}", &values, &size, ber_len_t{0}) == LBER_ERROR)
      return;
    const std::unique_ptr<struct berval, BerValuesFree> owner(values);
    visit(name, values);
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> LdapDecoder::Pairs(
    LDAPMessage* entry, const char* const* names) const {
  // Grouped by name in the order of `names`, as the callers list what they look for.
  size_t count = 0;
  while (names[count] != nullptr)
    ++count;
  std::vector<std::vector<std::string>> found(count);
  size_t at = 0;  // the name `wants` matched, for `visit`
  const auto wants = [&](std::string_view description) {
    for (at = 0; at < count; ++at) {
      if (found[at].empty() && EqualsIgnoringCase(description, names[at]))
        return true;
    }
    return false;
  };
  EachAttribute(ld_.get(), entry, wants, [&](std::string_view, const struct berval* values) {
    for (const struct berval* value = values; value != nullptr && value->bv_val != nullptr;
         ++value) {
      found[at].emplace_back(value->bv_val, value->bv_len);
    }
  });
  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = 0; i < count; ++i) {
    for (std::string& value : found[i])
      pairs.emplace_back(names[i], std::move(value));
  }
  return pairs;
}

std::vector<std::pair<std::string, std::vector<std::string>>> LdapDecoder::Attributes(
    LDAPMessage* entry) const {
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
  const auto all = [](std::string_view) { return true; };
  EachAttribute(ld_.get(), entry, all,
                [&](std::string_view description, const struct berval* values) {
                  std::vector<std::string> texts;
                  for (const struct berval* value = values;
                       value != nullptr && value->bv_val != nullptr; ++value) {
                    texts.emplace_back(value->bv_val, value->bv_len);
                  }
                  attributes.emplace_back(description, std::move(texts));
                });
  return attributes;
}

std::optional<std::string> LdapDecoder::Dn(LDAPMessage* entry) const {
  struct berval dn {};
  if (ldap_get_dn_ber(ld_.get(), entry, nullptr, &dn) != LDAP_SUCCESS)
    return std::nullopt;
  return dn.bv_val == nullptr ? std::string() : std::string(dn.bv_val, dn.bv_len);
}

std::vector<uint8_t> LdapConnection::PeerCertificate() const {
  struct berval der {};
  if (ld_ == nullptr ||
      ldap_get_option(ld_.get(), LDAP_OPT_X_TLS_PEERCERT, &der) != LDAP_OPT_SUCCESS)
    return {};
  const LdapText owner(der.bv_val);
  const auto* bytes = reinterpret_cast<const uint8_t*>(der.bv_val);
  return bytes == nullptr ? std::vector<uint8_t>()
                          : std::vector<uint8_t>(bytes, bytes + der.bv_len);
}

LdapConnectionPool::LdapConnectionPool(const LdapSettings& settings,
                                       std::shared_ptr<LdapFailure> lastFailure)
    : settings_(settings),
      givenUp_(std::make_shared<LdapFailure>()),
      lastFailure_(lastFailure ? std::move(lastFailure) : std::make_shared<LdapFailure>()),
      main_(settings, givenUp_, lastFailure_, false) {}

std::unique_ptr<LdapConnection> LdapConnectionPool::TakeSpare() {
  if (!spares_.empty()) {
    std::unique_ptr<LdapConnection> spare = std::move(spares_.back());
    spares_.pop_back();
    spare->UsePageSize(main_.PageSize());
    spare->PaceLookUpsAs(main_);
    return spare;
  }
  auto spare =
      std::make_unique<LdapConnection>(settings_, givenUp_, lastFailure_, main_.PagedResults());
  spare->UsePageSize(main_.PageSize());
  spare->PaceLookUpsAs(main_);
  spare->spare_ = true;
  return spare;
}

void LdapConnection::PaceLookUpsAs(const LdapConnection& main) {
  holdsAnswers_ = main.holdsAnswers_;
  loneRoundTrips_ = std::max(loneRoundTrips_, main.loneRoundTrips_);
  shortestLoneRoundTrip_ = std::min(shortestLoneRoundTrip_, main.shortestLoneRoundTrip_);
}

void LdapConnectionPool::EnsureTogether(const std::vector<LdapConnection*>& connections) {
  std::vector<std::pair<LdapConnection*, int>> binding;
  for (LdapConnection* connection : connections) {
    if (connection->Connected() || givenUp_->code != kDirOk)
      continue;
    int msgid = 0;
    if (connection->GiveUpUnless(connection->SendBind(msgid)) == kDirOk)
      binding.emplace_back(connection, msgid);
  }
  for (const auto& [connection, msgid] : binding)
    static_cast<void>(connection->GiveUpUnless(connection->AwaitBind(msgid)));
}

void LdapConnectionPool::ReturnSpare(std::unique_ptr<LdapConnection> spare) {
  // As many as the export tab's searches take beside the store's own connection.
  constexpr size_t kSparesKept = 4;
  if (spare->Connected() && spares_.size() < kSparesKept)
    spares_.push_back(std::move(spare));
}
