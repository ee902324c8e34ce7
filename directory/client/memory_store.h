#pragma once
// The in-memory directory store: an LDIF tree loaded once, with an index by base class and
// pre-order numbers so that a subtree search costs the size of its answer, and values kept in
// their LDAP string forms in one arena.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory/client/schema_catalog.h"
#include "directory/client/store.h"

// What a load does with a URL value (`attr:< URL`): an LDIF from elsewhere must not copy the
// user's files into the tree unless the user allowed it for that source.
enum class LdifUrls {
  kRefuse,     // the record is refused with its line
  kReadFiles,  // file:///path URLs of regular files in the folder of the LDIF's source or below
               // (links followed) are read; other URLs are refused
};

class MemoryStore final : public Store {
 public:
  // Loads LDIF text; `source` names it in errors ("<source> line <n>: <what is wrong>") and is
  // the path whose folder file URLs must lie in. nullptr, with the message in `error`, when the
  // text is malformed, holds no entry, a NUL byte, an `include:` line, an LDIF version other
  // than 1, or a URL value that `urls` does not read; the first fault in the text is the one
  // reported. libldap prints nothing: the message in `error` is the only one.
  [[nodiscard]] static std::unique_ptr<MemoryStore> LoadText(std::string text,
                                                             std::string_view source,
                                                             std::string& error,
                                                             LdifUrls urls = LdifUrls::kRefuse);
  // Loads an LDIF file as LoadText loads its text, reading it a piece at a time as it is
  // checked: the memory a load takes is the tree's, and a fault is reported when it is read. A
  // path that is not a regular file (a directory, a device, a FIFO) or cannot be read gives
  // nullptr and a message naming the file; nothing blocks on it.
  [[nodiscard]] static std::unique_ptr<MemoryStore> LoadFile(const std::string& path,
                                                             std::string& error,
                                                             LdifUrls urls = LdifUrls::kRefuse);

  [[nodiscard]] size_t EntryCount() const { return entries_.size() - 1; }
  // What the load kept although it did not fit (values outside their syntax, with the first few
  // lines), for the user to be told once; empty when nothing was.
  [[nodiscard]] const std::string& LoadWarning() const { return loadWarning_; }
  // The bytes the store holds: tables by their capacity, the value arena by its use.
  [[nodiscard]] size_t MemoryBytes() const;

  [[nodiscard]] int32_t GetEntry(const DirName& name, StoreEntry& entry) override;
  [[nodiscard]] std::vector<ChildCandidate> FindChildren(const DirName& parent,
                                                         const NamePart& part) override;
  [[nodiscard]] int32_t ListChildren(const DirName& parent,
                                     std::unique_ptr<EntryCursor>& cursor) override;
  [[nodiscard]] int32_t Search(const DirName& base, int scope, const FilterNode& filter,
                               std::unique_ptr<EntryCursor>& cursor) override;
  [[nodiscard]] int32_t ReadAttributes(const DirName& name, const std::vector<std::string>& names,
                                       std::vector<StoreAttribute>& attributes) override;
  [[nodiscard]] int32_t ReadStream(const DirName& name, std::string_view attribute,
                                   std::string& bytes) override;
  [[nodiscard]] std::optional<uint32_t> SyntaxOf(std::string_view attribute) const override;
  [[nodiscard]] std::string AttributeName(std::string_view attribute) const override;

  // Only the Load functions make stores; the key keeps the constructor theirs.
  class ConstructionKey {
    friend class MemoryStore;
    ConstructionKey() = default;
  };
  explicit MemoryStore(ConstructionKey key);
  MemoryStore(const MemoryStore&) = delete;
  MemoryStore& operator=(const MemoryStore&) = delete;
  ~MemoryStore() override;

  class Loader;
  struct CompiledFilter;
  class ChildCursor;
  class SearchCursor;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Entry {
    uint32_t parent = kNone;
    uint32_t firstChild = kNone;
    uint32_t lastChild = kNone;
    uint32_t nextSibling = kNone;
    uint32_t childCount = 0;
    uint32_t pre = 0;         // pre-order number
    uint32_t subtreeEnd = 0;  // pre-order number one past the last entry of the subtree
    uint32_t modificationTime = 0;
    uint32_t baseClass = 0;
    uint32_t rdnLength = 0;
    uint64_t rdnOffset = 0;         // the RDN value in names_
    uint64_t attrOffset = 0;        // the attribute block in values_, its attribute count first
    uint32_t rdnType = 0;           // in rdnTypes_
    uint32_t nextNamesake = kNone;  // a later sibling with the same RDN value, another type
  };

  // One value of an attribute block, as decoded.
  struct RawAttribute {
    uint32_t id = 0;
    std::vector<std::string_view> values;
  };

  [[nodiscard]] std::string_view RdnValue(const Entry& entry) const;
  [[nodiscard]] std::optional<uint32_t> Lookup(const DirName& name) const;
  // The child named `rdn`; a multi-valued RDN is kept as its RdnTypeKey and RdnValueKey.
  [[nodiscard]] uint32_t FindChild(uint32_t parent, const Rdn& rdn) const;
  [[nodiscard]] uint32_t FindTypedChild(uint32_t parent, std::string_view type,
                                        std::string_view value) const;
  // The first-defined child of `parent` whose RDN value is `value`; 0 when there is none.
  [[nodiscard]] uint32_t FirstNamesake(uint32_t parent, std::string_view value) const;
  [[nodiscard]] static std::string ValueSetKey(uint32_t parent, const Rdn& rdn);
  [[nodiscard]] uint64_t ValueHash(uint32_t id) const;
  [[nodiscard]] uint64_t TypedHash(uint32_t id) const;
  // Puts `id` in `table`, which holds `entries` ids, doubling it first when it would be half full.
  void AddToTable(std::vector<uint32_t>& table, size_t entries, uint32_t id,
                  uint64_t (MemoryStore::*hashOf)(uint32_t) const);
  void IndexChild(uint32_t child);
  // The attributes of entry `id`, or of them those whose ids `only` holds when it holds any.
  [[nodiscard]] std::vector<RawAttribute> DecodeAttributes(
      uint32_t id, std::span<const uint32_t> only = {}) const;
  void FillEntry(uint32_t id, StoreEntry& entry) const;
  [[nodiscard]] bool IsContainer(const Entry& entry) const;
  [[nodiscard]] bool Matches(uint32_t id, const CompiledFilter& filter) const;
  [[nodiscard]] CompiledFilter Compile(const FilterNode& node) const;

  std::vector<Entry> entries_;                     // entry 0 is [Root]
  std::vector<uint32_t> preOrder_;                 // entry id by pre-order number
  std::vector<std::vector<uint32_t>> preByClass_;  // pre-order numbers, ascending, per class
  // Open addressing, 0 = free. Siblings that share a value under many types would make one
  // long probe run in a table by (parent, value) that every insert and look-up walks; so that
  // table holds the first of them, the rest are chained to it and found by type in a table of
  // their own, which stays small in the usual tree where namesakes are rare.
  std::vector<uint32_t> childTable_;      // by (parent, folded RDN value): first namesakes
  std::vector<uint32_t> laterNamesakes_;  // by (parent, folded RDN type and value)
  size_t laterNamesakeCount_ = 0;
  // The children named by multi-valued RDNs, by parent id and RdnValueSetKey: a typeless part
  // names them with its values in any order, and the tables above know one order only.
  std::unordered_map<std::string, std::vector<uint32_t>> valueSets_;
  std::string names_;            // RDN values
  std::vector<uint8_t> values_;  // attribute blocks
  std::vector<std::string> rdnTypes_;
  SchemaCatalog schema_;
  std::string loadWarning_;
};
