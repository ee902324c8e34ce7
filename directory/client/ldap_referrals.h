#pragma once
// Parts of one tree held by other servers: where a referral or continuation reference sends a
// request, the connections to those servers (made with the first server's identity, password and
// TLS settings), and unpaged requests with what they are referred to followed, so that an answer
// is whole or fails naming the part it lacks. Only the live store uses it.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/ldap_connection.h"

// The most servers one request is referred on to, after the store's own.
inline constexpr size_t kMaxReferralHops = 4;

// Where a referral sends a request.
struct LdapReferralTarget {
  std::string server;  // scheme://host:port, lower case, the scheme's port filled in
  std::string dn;      // the base the request is sent again with
};

// The target of the LDAP URL `url` (ldap:// or ldaps://, host required); nullopt otherwise.
[[nodiscard]] std::optional<LdapReferralTarget> ParseReferral(const std::string& url);
// `uri`'s server as a referral target names one; `uri` itself when it is no LDAP URL.
[[nodiscard]] std::string ServerKey(const std::string& uri);

// The servers one request was sent to on its way, the store's own first.
using ReferralChain = std::vector<std::string>;

// A store's own servers (its replicas) and the servers its referrals lead to.
class LdapServers {
 public:
  explicit LdapServers(const LdapSettings& settings);

  [[nodiscard]] LdapConnectionPool& Own() { return own_; }
  // The chain of a request that starts on `connection`.
  [[nodiscard]] static ReferralChain StartOf(const LdapConnection& connection) {
    return {ServerKey(connection.Where())};
  }

  // Follows one referral: `urls` are its alternatives, tried in order until a server answers;
  // `chain` the servers met so far; `part` the DN named in messages when no URL can be read.
  // `send` is the request again, given the pool of the target's server, its DN and the longer
  // chain. A failure to reach the server (or its refusal of the bind) becomes
  // kDirUnreachableServer, a time-out kDirTransportFailure, both with a text naming the part of
  // the tree and the servers; as does a referral not followed (referrals = no), back to a
  // server of the chain, or past kMaxReferralHops.
  using Send = std::function<int32_t(LdapConnectionPool& pool, const std::string& dn,
                                     const ReferralChain& chain)>;
  [[nodiscard]] int32_t Follow(const std::vector<std::string>& urls, const ReferralChain& chain,
                               std::string_view what, const std::string& part, const Send& send);

  // LdapConnection::SearchOnce on `connection`, a referral result followed with the same scope
  // and each continuation reference with the scope it stands for (the subtree for a subtree,
  // the entry itself for one level), their entries after the server's own in `page`. A
  // reference to an entry its server does not hold fails the request.
  [[nodiscard]] int32_t SearchOnce(LdapConnection& connection, const std::string& base, int scope,
                                   const std::string& filter, const char* const* attrs,
                                   LdapPage& page, std::string_view what,
                                   const ReferralChain& chain = {});
  // LdapConnection::LookUpEach on `connection`, each referral result followed.
  [[nodiscard]] int32_t LookUpEach(LdapConnection& connection,
                                   const std::vector<std::string>& bases, const char* const* attrs,
                                   std::vector<LdapPage>& pages, std::string_view what) {
    return LookUpEach(std::vector<LdapConnection*>{&connection}, bases, attrs, pages, what);
  }
  // The same spread over `connections` to one server (LdapConnection::LookUpEachAcross).
  [[nodiscard]] int32_t LookUpEach(const std::vector<LdapConnection*>& connections,
                                   const std::vector<std::string>& bases, const char* const* attrs,
                                   std::vector<LdapPage>& pages, std::string_view what);

  // Notes `text` as the text of `code` and returns `code`.
  int32_t Fail(int32_t code, const std::string& text) const {
    *lastFailure_ = LdapFailure{code, text};
    return code;
  }
  [[nodiscard]] std::optional<std::string> FailureText(int32_t code) const {
    return own_.FailureText(code);
  }
  // Forgets the failed reconnects of every server: the next call tries each again.
  void RetryServers();
  // Whether a referral has led to another server: the tree is spread over several.
  [[nodiscard]] bool ReferredElsewhere() const { return !referred_.empty(); }

 private:
  // The pool of `server`, made on first use.
  LdapConnectionPool& Referred(const std::string& server, const std::string& url);

  LdapSettings settings_;
  std::shared_ptr<LdapFailure> lastFailure_;
  LdapConnectionPool own_;
  std::map<std::string, std::unique_ptr<LdapConnectionPool>> referred_;
};
