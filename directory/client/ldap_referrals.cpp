#include "directory/client/ldap_referrals.h"

#include <ldap.h>

#include <algorithm>
#include <utility>

#include "directory/client/dir_codes.h"
#include "directory/client/dir_name.h"

namespace {

std::string Joined(const ReferralChain& chain) {
  std::string text;
  for (const std::string& server : chain)
    text += (text.empty() ? "" : " -> ") + server;
  return text;
}

// What a server that cannot be reached, or does not answer in time, gives the request that was
// referred to it: the part of the tree is out of reach either way.
bool OutOfReach(int32_t code) {
  return code == kDirUnreachableServer || code == kDirTransportFailure ||
         code == kDirFailedAuthentication;
}

}  // namespace

std::optional<LdapReferralTarget> ParseReferral(const std::string& url) {
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(url.c_str(), &parsed) != LDAP_URL_SUCCESS)
    return std::nullopt;
  const std::unique_ptr<LDAPURLDesc, decltype(&ldap_free_urldesc)> owner(parsed, ldap_free_urldesc);
  const std::string scheme = FoldCase(parsed->lud_scheme != nullptr ? parsed->lud_scheme : "");
  if ((scheme != "ldap" && scheme != "ldaps") || parsed->lud_host == nullptr ||
      *parsed->lud_host == '\0') {
    return std::nullopt;
  }
  const std::string host = FoldCase(parsed->lud_host);
  const int port = parsed->lud_port != 0 ? parsed->lud_port
                   : scheme == "ldaps"   ? ConnectionDefaults::kLdapsPort
                                         : ConnectionDefaults::kLdapPort;
  LdapReferralTarget target;
  target.server = scheme + "://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                  ":" + std::to_string(port);
  target.dn = parsed->lud_dn != nullptr ? parsed->lud_dn : "";
  return target;
}

std::string ServerKey(const std::string& uri) {
  const auto target = ParseReferral(uri);
  return target ? target->server : uri;
}

LdapServers::LdapServers(const LdapSettings& settings)
    : settings_(settings),
      lastFailure_(std::make_shared<LdapFailure>()),
      own_(settings, lastFailure_) {}

LdapConnectionPool& LdapServers::Referred(const std::string& server, const std::string& url) {
  auto& pool = referred_[server];
  if (!pool) {
    LdapSettings settings = settings_;
    settings.uri = server;
    // The same protection as the store's own connection, never less: a plain address from an
    // encrypted server is asked for StartTLS, so the password never crosses in the clear.
    const bool encrypted = settings_.startTls || SourceKindOf(settings_.uri) == SourceKind::kLdaps;
    settings.startTls = SourceKindOf(url) != SourceKind::kLdaps && encrypted;
    pool = std::make_unique<LdapConnectionPool>(settings, lastFailure_);
  }
  LdapConnection& main = own_.Main();
  pool->Main().UsePagedResults(main.PagedResults());
  pool->Main().UsePageSize(main.PageSize());
  return *pool;
}

void LdapServers::RetryServers() {
  own_.RetryServer();
  for (auto& [server, pool] : referred_)
    pool->RetryServer();
}

int32_t LdapServers::Follow(const std::vector<std::string>& urls, const ReferralChain& chain,
                            std::string_view what, const std::string& part, const Send& send) {
  const std::string where = (chain.empty() ? ServerKey(own_.Main().Where()) : chain.back()) + ": " +
                            std::string(what) + ": ";
  int32_t code = kDirUnreachableServer;
  std::string text = where + "the part of the tree at " + part + " is held elsewhere, by a " +
                     "referral that names no server";
  for (const std::string& url : urls) {
    const auto target = ParseReferral(url);
    if (!target) {
      code = kDirUnreachableServer;
      text = where + "the part of the tree at " + part + " is held elsewhere, by a referral " +
             "that names no LDAP server (" + url + ")";
      continue;
    }
    const std::string at = where + "the part of the tree at " + target->dn;
    if (!settings_.followReferrals) {
      return Fail(kDirUnreachableServer,
                  at + " is held by another server (" + url +
                      "), and this connection does not follow referrals (referrals = no)");
    }
    ReferralChain longer = chain;
    longer.push_back(target->server);
    if (std::find(chain.begin(), chain.end(), target->server) != chain.end()) {
      code = kDirUnreachableServer;
      text = at + " is referred back to " + target->server +
             ", which the request met on its way (" + Joined(longer) + ")";
      continue;
    }
    if (chain.size() > kMaxReferralHops) {
      code = kDirUnreachableServer;
      text = at + " is referred on more than " + std::to_string(kMaxReferralHops) + " times (" +
             Joined(longer) + ")";
      continue;
    }
    const int32_t sent = send(Referred(target->server, url), target->dn, longer);
    if (!OutOfReach(sent))
      return sent;
    code = sent == kDirTransportFailure ? kDirTransportFailure : kDirUnreachableServer;
    text = at + " is held by " + target->server + ": " +
           FailureText(sent).value_or(target->server + ": cannot be reached");
  }
  return Fail(code, text);
}

int32_t LdapServers::SearchOnce(LdapConnection& connection, const std::string& base, int scope,
                                const std::string& filter, const char* const* attrs, LdapPage& page,
                                std::string_view what, const ReferralChain& given) {
  const ReferralChain chain = given.empty() ? StartOf(connection) : given;
  int32_t code = connection.SearchOnce(base, scope, filter, attrs, page, what);
  if (page.ldapCode == LDAP_REFERRAL) {
    const std::vector<std::string> urls = std::move(page.referrals);
    code =
        Follow(urls, chain, what, base,
               [&](LdapConnectionPool& pool, const std::string& dn, const ReferralChain& longer) {
                 return SearchOnce(pool.Main(), dn, scope, filter, attrs, page, what, longer);
               });
    if (code != kDirOk && code != kDirNoSuchEntry) {
      // Marked for the callers that name what they looked for: something is there, out of reach.
      page = LdapPage();
      page.ldapCode = LDAP_REFERRAL;
    }
    return code;
  }
  if (code != kDirOk)
    return code;
  const std::vector<LdapReference> references = std::move(page.references);
  page.references.clear();
  if (references.empty())
    return kDirOk;
  const int referredScope = scope == LDAP_SCOPE_SUBTREE ? LDAP_SCOPE_SUBTREE : LDAP_SCOPE_BASE;
  // Each part's entries stand where its reference stood among the server's own.
  std::vector<LdapMessage> own = std::move(page.entries);
  page.entries.clear();
  size_t taken = 0;
  for (const LdapReference& reference : references) {
    for (; taken < own.size() && taken < reference.at; ++taken)
      page.entries.push_back(std::move(own[taken]));
    const std::vector<std::string>& urls = reference.urls;
    const auto first = urls.empty() ? std::nullopt : ParseReferral(urls.front());
    LdapPage referred;
    code =
        Follow(urls, chain, what, first ? first->dn : base,
               [&](LdapConnectionPool& pool, const std::string& dn, const ReferralChain& longer) {
                 const int32_t sent = SearchOnce(pool.Main(), dn, referredScope, filter, attrs,
                                                 referred, what, longer);
                 if (sent != kDirNoSuchEntry)
                   return sent;
                 return Fail(kDirUnreachableServer,
                             longer.back() + ": " + std::string(what) + ": holds no entry " + dn);
               });
    if (code != kDirOk)
      return code;
    for (LdapMessage& entry : referred.entries)
      page.entries.push_back(std::move(entry));
  }
  for (; taken < own.size(); ++taken)
    page.entries.push_back(std::move(own[taken]));
  return kDirOk;
}

int32_t LdapServers::LookUpEach(const std::vector<LdapConnection*>& connections,
                                const std::vector<std::string>& bases, const char* const* attrs,
                                std::vector<LdapPage>& pages, std::string_view what) {
  int32_t code = LdapConnection::LookUpEachAcross(connections, bases, attrs, pages, what);
  const ReferralChain chain = StartOf(*connections.front());
  for (size_t i = 0; i < pages.size() && i < bases.size(); ++i) {
    if (pages[i].ldapCode != LDAP_REFERRAL)
      continue;
    const std::vector<std::string> urls = std::move(pages[i].referrals);
    const int32_t followed =
        Follow(urls, chain, what, bases[i],
               [&](LdapConnectionPool& pool, const std::string& dn, const ReferralChain& longer) {
                 return SearchOnce(pool.Main(), dn, LDAP_SCOPE_BASE, "(objectClass=*)", attrs,
                                   pages[i], what, longer);
               });
    if (followed != kDirOk && followed != kDirNoSuchEntry) {
      pages[i] = LdapPage();
      pages[i].ldapCode = LDAP_REFERRAL;
      if (code == kDirOk)
        code = followed;
    }
  }
  return code;
}
