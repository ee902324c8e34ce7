#pragma once
// The live directory store: a server reached over LDAP (ldap://, ldaps://, StartTLS), its schema
// mapped to directory syntax numbers and class names, names translated both ways, listings and
// searches paged so that a server size limit does not cut them. libldap stays behind this file.
//
// A connections.ini section whose source is ldap://host:port or ldaps://host:port may add
// `starttls = yes|no` (default no), `bind` (a DN; empty = anonymous), `password-file` (refused
// when its group or others may read or change it), `ca-file` (the authorities to trust), `verify =
// yes|no` (default yes), `timeout` (seconds, default 10, for connecting and for each operation) and
// `page-size` (entries per page of a paged listing or search, default 1000).
// Without `user`, the logged-in object is the bound identity (RFC 4532 who-am-I).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/connections.h"
#include "directory/client/dir_codes.h"
#include "directory/client/store.h"

// How to reach and authenticate to one server.
struct LdapSettings {
  // ldap://host:port or ldaps://host:port; several (replicas of one tree) separated by spaces
  std::string uri;
  bool startTls = ConnectionDefaults::kStartTls;
  std::string bindDn;  // empty = anonymous
  std::string password;
  std::string caFile;
  bool verify = ConnectionDefaults::kVerify;
  int timeoutSeconds = ConnectionDefaults::kTimeoutSeconds;  // for every operation; at least 1
  int pageSize = ConnectionDefaults::kPageSize;  // entries per page of a paged search; at least 1
  int maxMessageMiB = ConnectionDefaults::kMessageMiB;  // what a server may send; at least 1
  // Whether referrals and continuation references are followed to the servers they name; when
  // not, meeting one fails the request, naming it.
  bool followReferrals = ConnectionDefaults::kReferrals;

  // Every copy overwrites its password when it goes.
  ~LdapSettings();
};

// The settings a connections.ini section gives for a live server, the password taken from its
// password file when it names one; nullopt, with the reason in `error`, when the CA file or the
// password file cannot be read.
[[nodiscard]] std::optional<LdapSettings> LdapSettingsFor(const ConnectionConfig& config,
                                                          std::string& error);

class LdapStore final : public Store {
 public:
  // Connects, binds and reads the server's schema. nullptr, with a message naming the server in
  // `error` and the completion code in `code`, when any of that fails.
  [[nodiscard]] static std::unique_ptr<LdapStore> Connect(const LdapSettings& settings,
                                                          std::string& error, int32_t& code);

  [[nodiscard]] int32_t GetEntry(const DirName& name, StoreEntry& entry) override;
  [[nodiscard]] int32_t GetEntryWithoutCount(const DirName& name, StoreEntry& entry) override;
  [[nodiscard]] std::vector<ChildCandidate> FindChildren(const DirName& parent,
                                                         const NamePart& part) override;
  // FindChildren's answer from the names already looked up and the naming contexts.
  [[nodiscard]] std::vector<ChildCandidate> KnownChildren(const DirName& parent,
                                                          const NamePart& part) override;
  // Typeless parts of one value are looked up under every naming type, all pairs at once.
  void LearnChildren(const std::vector<std::pair<DirName, NamePart>>& asked) override;
  [[nodiscard]] int32_t ListChildren(const DirName& parent,
                                     std::unique_ptr<EntryCursor>& cursor) override;
  [[nodiscard]] int32_t Search(const DirName& base, int scope, const FilterNode& filter,
                               std::unique_ptr<EntryCursor>& cursor) override;
  [[nodiscard]] int32_t ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                                       std::vector<StoreAttribute>& attributes) override;
  [[nodiscard]] int32_t ReadStream(const DirName& name, std::string_view attribute,
                                   std::string& bytes) override;
  // Two or more entries are fetched by subtree searches below their common ancestor that name
  // them by RDN (a page of them each, one search on its way at a time), the entries their values
  // of a DN syntax name looked up the same way; without paging, a few dozen reads are sent
  // without waiting for their answers. The lookup or read of the same entry and attributes takes
  // the answer; one that no search brought, or whose search failed, is read as without.
  [[nodiscard]] bool ReadsAhead() const override { return true; }
  void ReadAhead(const std::vector<DirName>& names, const std::vector<std::string>& attributeNames,
                 bool namedEntries, const StoreSearch* within) override;
  // Each paged search on a connection of its own (the store's, or a spare: the server keeps one
  // paging state per connection), the spares' binds sent together, then every first page. A
  // search not taken by the next operation is given up.
  void SearchAhead(const DirName& base, int scope, const std::vector<FilterNode>& filters) override;
  [[nodiscard]] std::optional<uint32_t> SyntaxOf(std::string_view attribute) const override;
  [[nodiscard]] std::string AttributeName(std::string_view attribute) const override;
  // The text of the last failure with a code of the live store's own, or a server's refusal
  // (the server's diagnostic message included).
  [[nodiscard]] std::optional<std::string> FailureText(int32_t code) const override;
  // After a lost connection, the first reconnect that fails makes every later call fail at once
  // with its code; from here on the next call tries to reconnect again. The entries the last
  // operation read (their classes, and the last read's values for a stream read after it) are
  // forgotten.
  void BeginOperation() override;

  // The server of the source's list the store's own connection is open to (or was last).
  [[nodiscard]] std::string ServerInUse() const;
  // The bound identity through the RFC 4532 extended operation; an anonymous connection gives
  // kDirNoSuchEntry. Asked right after Connect, before any operation began, it takes the answers
  // Connect asked for along with the schema.
  [[nodiscard]] int32_t WhoAmI(DirName& name);
  // The RFC 4515 filter the server is sent for a filter tree; kDirInvalidFilter for a comparison
  // the server cannot express (ordering of timestamps or holds, values of binary syntaxes).
  [[nodiscard]] int32_t FilterText(const FilterNode& filter, std::string& text) const;
  // The directory class name of an LDAP class name (or the name itself).
  [[nodiscard]] std::string ClassName(std::string_view ldapClass) const;

  LdapStore(const LdapStore&) = delete;
  LdapStore& operator=(const LdapStore&) = delete;
  ~LdapStore() override;

  struct Impl;
  class Cursor;
  class RootCursor;

 private:
  explicit LdapStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
