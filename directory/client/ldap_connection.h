#pragma once
// Connections to one live server through libldap: opening one (StartTLS, the TLS handshake and
// the bind, each within the time-out), bounded waits for every answer, result codes carrying the
// server's words, paged searches, the spare connections a paged search started beside another
// one needs, and reading entries out of the messages received. Only the live store uses it.
#include <ldap.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/client/dir_codes.h"
#include "directory/client/ldap_store.h"

struct LdapUnbind {
  void operator()(LDAP* ld) const;
};
struct LdapMessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapUnbind>;
using LdapMessage = std::unique_ptr<LDAPMessage, LdapMessageFree>;

// The paged results control (RFC 2696).
inline constexpr const char* kLdapPagedResultsOid = "1.2.840.113556.1.4.319";

// A failure of the live store: its code and the words that go with it (the server's included).
// A store's connections share two: the failure reported last, whose text the client asks for by
// its code; and a reconnect that failed, after which every call that needs a connection fails at
// once with it until the store is told to retry, instead of waiting out a time-out of its own,
// so that an operation on a lost server ends within about two.
struct LdapFailure {
  int32_t code = kDirOk;
  std::string text;
};

// A continuation reference of a search: the LDAP URLs of one part of the tree held elsewhere
// (any of them will do; none when it could not be read), and how many entries came before it,
// where the part's own entries belong.
struct LdapReference {
  size_t at = 0;
  std::vector<std::string> urls;
};

// Every message of one search request (one page when paged).
struct LdapPage {
  std::vector<LdapMessage> entries;
  std::vector<LdapReference> references;
  // The URLs of a referral result (ldapCode LDAP_REFERRAL): the whole request belongs elsewhere.
  std::vector<std::string> referrals;
  std::string cookie;  // the server's paging cookie; empty after the last page
  int ldapCode = LDAP_SUCCESS;
};

// One connection, opened on demand and again after it was lost.
class LdapConnection {
 public:
  LdapConnection(LdapSettings settings, std::shared_ptr<LdapFailure> givenUp,
                 std::shared_ptr<LdapFailure> lastFailure, bool pagedResults);

  // Connects and binds to the first server of the settings' list that takes the connection, in
  // the order listed, each within the time-out; the code, its text noted (every server's reason
  // when the list has several), when none does. A server that refuses the bind ends the turn:
  // replicas share their identities, so the next one would refuse it too.
  [[nodiscard]] int32_t Open();
  // Open in two halves, so that several connections wait for their binds together: connects and
  // sends the bind (StartTLS first when configured), then takes the bind's answer. Nothing else
  // may be sent on the connection in between.
  [[nodiscard]] int32_t SendBind(int& msgid);
  [[nodiscard]] int32_t AwaitBind(int msgid);
  // `code` as Ensure gives a failed open: the reconnect noted as given up.
  int32_t GiveUpUnless(int32_t code);
  // The connection, opened again when it was lost (unless a reconnect already failed).
  [[nodiscard]] int32_t Ensure();
  void Drop();
  [[nodiscard]] bool Connected() const { return ld_ != nullptr; }
  // Grows with every new connection: pages asked for on an older one are lost.
  [[nodiscard]] uint64_t Generation() const { return generation_; }
  // Whether searches are paged (the server supports the paged results control).
  [[nodiscard]] bool PagedResults() const { return pagedResults_; }
  void UsePagedResults(bool paged) { pagedResults_ = paged; }
  // Entries asked for per page: the configured page-size, or the smaller one a server that
  // refused it took.
  [[nodiscard]] int PageSize() const { return pageSize_; }
  void UsePageSize(int entries) { pageSize_ = std::max(1, entries); }
  // A server that holds answers back while further requests wait on the connection is sent its
  // lookups one at a time where that costs less than the holds: where a lookup sent alone came
  // back within kShortRoundTrip. Across a network the round trips would cost more than the holds.
  void HoldAnswersWhileRequestsWait(bool holds) { holdsAnswers_ = holds; }
  // Base lookups LookUpEach keeps on their way at once.
  [[nodiscard]] size_t LookUpWindow() const {
    return holdsAnswers_ && shortestLoneRoundTrip_ < kShortRoundTrip ? 1 : kLookUpWindow;
  }
  // Whether the next lookups begin with one sent alone and timed: the first do, and while none
  // was quick, the next few unless one was far, since a busy machine can slow any of them.
  [[nodiscard]] bool WantsLoneRoundTrip() const {
    return holdsAnswers_ && shortestLoneRoundTrip_ >= kShortRoundTrip &&
           (loneRoundTrips_ == 0 ||
            (loneRoundTrips_ < kLoneRoundTripsTimed && shortestLoneRoundTrip_ < kFarRoundTrip));
  }
  void NoteLoneRoundTrip(std::chrono::steady_clock::duration took) {
    ++loneRoundTrips_;
    shortestLoneRoundTrip_ = std::min(shortestLoneRoundTrip_, took);
  }
  // Lookups paced as `main`'s, a connection to the same server by the same way.
  void PaceLookUpsAs(const LdapConnection& main);

  // The server in use, or the one tried last; the first of the list before any was tried.
  [[nodiscard]] const std::string& Where() const { return servers_[current_]; }
  [[nodiscard]] const LdapSettings& Settings() const { return settings_; }
  // Notes `text` as the text of `code` and returns `code`.
  int32_t Fail(int32_t code, const std::string& text) const;
  // The text of the failure noted last, when it had `code`.
  [[nodiscard]] std::optional<std::string> FailureText(int32_t code) const;

  // Sends one search request (one page when `cookie` is given and searches are paged) and gives
  // its message id; `attrs` ends with nullptr.
  [[nodiscard]] int32_t SendSearch(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, const std::string* cookie, int& msgid,
                                   std::string_view what);
  // Gathers every message of the request `msgid` up to its final result.
  [[nodiscard]] int32_t CollectPage(int msgid, LdapPage& page, std::string_view what);
  // The same without waiting: takes into `page` the messages of `msgid` that have arrived; the
  // code once the final result is among them, nullopt while more is to come.
  [[nodiscard]] std::optional<int32_t> GatherArrived(int msgid, LdapPage& page,
                                                     std::string_view what);
  // CollectPage of a page GatherArrived began, waiting up to `deadline`.
  [[nodiscard]] int32_t FinishPage(int msgid, LdapPage& page, std::string_view what,
                                   std::chrono::steady_clock::time_point deadline);
  // The socket the answers arrive on, for a caller waiting on several connections at once; -1
  // when not connected.
  [[nodiscard]] int Descriptor() const;
  // When a request sent now is given up unanswered.
  [[nodiscard]] std::chrono::steady_clock::time_point Deadline() const;
  // SendSearch and CollectPage.
  [[nodiscard]] int32_t SearchPage(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, const std::string* cookie,
                                   LdapPage& page, std::string_view what);
  // A single unpaged request, retried once on a fresh connection when the old one turns out to
  // have been lost since the last call.
  [[nodiscard]] int32_t SearchOnce(const std::string& base, int scope, const std::string& filter,
                                   const char* const* attrs, LdapPage& page, std::string_view what);
  // Servers drop a connection that holds more requests than they let wait (slapd: 100 for an
  // anonymous one), so LookUpEach keeps at most this many on their way (LookUpWindow).
  static constexpr size_t kLookUpWindow = 64;
  // Near enough that a window's worth of lookups one after another costs about what one or two
  // holds of a server that holds answers back do (about 100 ms each).
  static constexpr std::chrono::milliseconds kShortRoundTrip{3};
  // Longer than a busy machine makes a near server's round trip.
  static constexpr std::chrono::milliseconds kFarRoundTrip{10};
  static constexpr int kLoneRoundTripsTimed = 3;
  // Base lookups of every DN of `bases`, all sent before the first answer is awaited, so that
  // together they cost about one round trip: `pages` gets one page per DN, empty for a DN of no
  // entry. The code is the first failure other than a missing entry; the whole batch is retried
  // once on a fresh connection when the old one turns out to have been lost since the last call.
  [[nodiscard]] int32_t LookUpEach(const std::vector<std::string>& bases, const char* const* attrs,
                                   std::vector<LdapPage>& pages, std::string_view what);
  // LookUpEach spread over `connections` (to one server, the first of them the one a single
  // connection would use), each taking a share of `bases` in a window of its own, so that the
  // lookups cost the round trips of one share. A share whose connection is lost is asked again
  // by LookUpEach on that connection.
  [[nodiscard]] static int32_t LookUpEachAcross(const std::vector<LdapConnection*>& connections,
                                                const std::vector<std::string>& bases,
                                                const char* const* attrs,
                                                std::vector<LdapPage>& pages,
                                                std::string_view what);
  // Gives up a request whose answer is no longer wanted.
  void Abandon(int msgid);
  // While one is held, the requests sent on the connection wait in its socket and leave together
  // when the last one ends, in as few packets as they fill. A burst sent piecemeal (by a process
  // slowed or preempted between two requests) costs a round trip per piece the server answers
  // before the next arrives. Nothing may be awaited while one is held.
  class SendsTogether {
   public:
    explicit SendsTogether(LdapConnection& connection) : connection_(connection) {
      ++connection_.sendsHeld_;
    }
    ~SendsTogether();
    SendsTogether(const SendsTogether&) = delete;
    SendsTogether& operator=(const SendsTogether&) = delete;

   private:
    LdapConnection& connection_;
  };
  // Sends the who-am-I request (RFC 4532) and gives its message id.
  [[nodiscard]] int32_t SendWhoAmI(int& msgid);
  // The bound identity's authorization id (RFC 4532), "" for an anonymous connection: the answer
  // to `sent` when it is SendWhoAmI's request on the open connection, else asked for now.
  [[nodiscard]] int32_t WhoAmI(std::string& authzId, int sent = -1);
  // The certificate the server showed in the TLS handshake of the open connection, in DER form;
  // empty when there is no such connection.
  [[nodiscard]] std::vector<uint8_t> PeerCertificate() const;

 private:
  [[nodiscard]] int32_t FromResult(int rc, std::string_view what, const char* diagnostic) const;
  [[nodiscard]] struct timeval Timeout() const;
  [[nodiscard]] std::string NoAnswer(std::string_view what) const;
  // The text of a connection libldap gave up on reading a message longer than
  // max-message-size, when `error` (errno right after it gave up) tells that was why.
  [[nodiscard]] std::optional<std::string> TooLarge(int error, std::string_view what) const;
  // `notYet`, when given, is set instead of the request being given up when nothing came.
  int32_t Await(int msgid, std::chrono::steady_clock::time_point deadline, LdapMessage& message,
                std::string_view what, bool* notYet = nullptr);
  // Adds `message` to `page`: the code once it is the final result.
  std::optional<int32_t> TakeIntoPage(LdapMessage message, LdapPage& page, std::string_view what);
  int32_t LookUpEachOnce(const std::vector<std::string>& bases, const char* const* attrs,
                         std::vector<LdapPage>& pages, std::string_view what);
  int32_t ParseResult(LDAPMessage* message, std::string_view what, LDAPControl*** controls,
                      int* ldapCode = nullptr, std::vector<std::string>* referrals = nullptr);
  [[nodiscard]] int32_t OpenServer();
  template <typename Send>
  int FirstRequest(const Send& send, std::chrono::steady_clock::time_point deadline);
  int32_t ConnectFailure(int rc, std::string_view what,
                         std::chrono::steady_clock::time_point deadline);
  // Holds the socket's sends back while a SendsTogether is held; lets them go.
  void HoldSendsIfAsked();
  void LetSendsGo();
  // Sets TCP_CORK on the open connection's socket; false when it could not.
  [[nodiscard]] bool CorkSocket(bool cork) const;

  LdapSettings settings_;
  std::vector<std::string> servers_;  // the settings' list, never empty
  size_t current_ = 0;
  std::shared_ptr<LdapFailure> givenUp_;
  std::shared_ptr<LdapFailure> lastFailure_;
  bool pagedResults_ = false;
  int pageSize_ = 1;
  bool holdsAnswers_ = false;
  int loneRoundTrips_ = 0;
  std::chrono::steady_clock::duration shortestLoneRoundTrip_ =
      std::chrono::steady_clock::duration::max();
  LdapHandle ld_;
  uint64_t generation_ = 0;
  bool spare_ = false;  // one beside the pool's own, which was open before it
  int sendsHeld_ = 0;
  std::optional<uint64_t> heldGeneration_;  // the connection whose socket holds sends back
  friend class LdapConnectionPool;
};

// Reads entries out of received messages. It is never connected, so it outlives every
// connection the messages came over.
class LdapDecoder {
 public:
  // nullopt unless `uri` is an LDAP address.
  [[nodiscard]] static std::optional<LdapDecoder> ForUri(const std::string& uri);

  // The (attribute, value) pairs of an entry for the named attributes (`names` ends with
  // nullptr), values as text.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> Pairs(
      LDAPMessage* entry, const char* const* names) const;
  // Every attribute description of an entry with its values, in the order the server sent them.
  [[nodiscard]] std::vector<std::pair<std::string, std::vector<std::string>>> Attributes(
      LDAPMessage* entry) const;
  // The entry's DN text; nullopt when the message holds none.
  [[nodiscard]] std::optional<std::string> Dn(LDAPMessage* entry) const;

 private:
  explicit LdapDecoder(LdapHandle ld) : ld_(std::move(ld)) {}
  LdapHandle ld_;
};

// A store's own connection and its spares. The server keeps one paging state per connection, so
// a paged search started while another is unfinished on the store's own connection would cut
// that one short: it takes a spare connection instead.
class LdapConnectionPool {
 public:
  // `lastFailure`: the failure noted last, shared with the pools of the other servers a store
  // reaches (none: the pool's own).
  explicit LdapConnectionPool(const LdapSettings& settings,
                              std::shared_ptr<LdapFailure> lastFailure = nullptr);

  [[nodiscard]] LdapConnection& Main() { return main_; }
  // A connection to the same server with the same credentials: a kept one, or a new one that its
  // first request opens.
  [[nodiscard]] std::unique_ptr<LdapConnection> TakeSpare();
  // Keeps a spare that is still connected for the next search, up to a few.
  void ReturnSpare(std::unique_ptr<LdapConnection> spare);
  // Ensure for each of `connections`, their binds sent before the first answer is awaited.
  void EnsureTogether(const std::vector<LdapConnection*>& connections);
  // Paged searches on the store's own connection not past their last page.
  void CountUnfinished(int change) { unfinished_ += change; }
  [[nodiscard]] bool HasUnfinished() const { return unfinished_ > 0; }
  // Forgets a failed reconnect: the next call tries the server again.
  void RetryServer() { *givenUp_ = LdapFailure(); }
  [[nodiscard]] std::optional<std::string> FailureText(int32_t code) const {
    return main_.FailureText(code);
  }

 private:
  LdapSettings settings_;
  std::shared_ptr<LdapFailure> givenUp_;
  std::shared_ptr<LdapFailure> lastFailure_;
  LdapConnection main_;
  std::vector<std::unique_ptr<LdapConnection>> spares_;
  int unfinished_ = 0;
};
