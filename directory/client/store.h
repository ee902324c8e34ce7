#pragma once
// The interface every directory store offers the client: entries by typed name, children, a
// filtered search, attribute values in their LDAP string forms, streams, the schema, and who
// the connection is. Names are complete typed names; the client does the relative forms.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/client/dir_name.h"
#include "directory/client/filter_expr.h"

// What listings and searches tell of one entry.
struct StoreEntry {
  DirName name;  // complete, leaf first
  std::string baseClass;
  uint32_t flags = 0;  // 0x04 for containers
  uint32_t subordinateCount = 0;
  uint32_t modificationTime = 0;
};

// A child that a name part may stand for: its RDN as stored, and whether it is a container.
struct ChildCandidate {
  Rdn rdn;
  bool container = false;
};

// One attribute of an entry: its directory name, syntax and values in their LDAP string forms
// (LDIF_FORMS.md); distinguished names inside values are LDAP DNs.
struct StoreAttribute {
  std::string name;
  uint32_t syntax = 0;
  std::vector<std::string> values;
};

// A subtree search: the entries below `base` (itself included) that match `filter`.
struct StoreSearch {
  DirName base;
  FilterNode filter;
};

// Delivers entries one at a time; the store it came from must outlive it.
class EntryCursor {
 public:
  virtual ~EntryCursor() = default;
  // Fills `entry` and returns true, or returns false when there is no further entry.
  [[nodiscard]] virtual bool Next(StoreEntry& entry) = 0;
  // 0 while the cursor is sound; the completion code that ended it early (a live store losing
  // its server in the middle of a listing) once Next has returned false for that reason.
  [[nodiscard]] virtual int32_t Status() const { return 0; }
};

// The queries that reach the entries are not const: a live store connects, reconnects, pages
// and caches names while it answers them. Only the schema look-ups, which no store changes once
// it is open, are.
class Store {
 public:
  virtual ~Store() = default;

  // kDirOk and the entry's information, or kDirNoSuchEntry.
  [[nodiscard]] virtual int32_t GetEntry(const DirName& name, StoreEntry& entry) = 0;
  // As GetEntry, for callers that need the name, class and flags only (alias checks, names of
  // values, existence): where the store would have to count the subordinates one by one (a live
  // server that keeps no count), subordinateCount is left 0.
  [[nodiscard]] virtual int32_t GetEntryWithoutCount(const DirName& name, StoreEntry& entry) {
    return GetEntry(name, entry);
  }
  // The children of `parent` that `part` names, with their stored spelling: for a typed part the
  // one child of that type and value, for a typeless part every child of that value whatever
  // its naming type, in no particular order; empty when there is none or no such parent.
  [[nodiscard]] virtual std::vector<ChildCandidate> FindChildren(const DirName& parent,
                                                                 const NamePart& part) = 0;
  // FindChildren's answer as far as the store has it without asking anyone: a live store's
  // names it has already looked up, empty for the others.
  [[nodiscard]] virtual std::vector<ChildCandidate> KnownChildren(const DirName& parent,
                                                                  const NamePart& part) {
    return FindChildren(parent, part);
  }
  // FindChildren of each (parent, part) pair is about to be asked: a store that asks a server
  // looks them all up at once, so that those calls cost nothing. Changes no answer.
  virtual void LearnChildren(const std::vector<std::pair<DirName, NamePart>>& /*asked*/) {}
  // The immediate subordinates of an entry, or kDirNoSuchEntry.
  [[nodiscard]] virtual int32_t ListChildren(const DirName& parent,
                                             std::unique_ptr<EntryCursor>& cursor) = 0;
  // Entries matching `filter`: scope 0 the base itself, 1 its subordinates, 2 its subtree
  // (base included).
  [[nodiscard]] virtual int32_t Search(const DirName& base, int scope, const FilterNode& filter,
                                       std::unique_ptr<EntryCursor>& cursor) = 0;
  // The named attributes (directory or LDAP names, any case) of an entry, or all of them when
  // `names` is empty; kDirNoSuchEntry, or kDirNoSuchAttribute when none of the names has a
  // value.
  [[nodiscard]] virtual int32_t ReadAttributes(const DirName& name,
                                               const std::vector<std::string>& names,
                                               std::vector<StoreAttribute>& attributes) = 0;
  // Whether ReadAhead does anything: a store that answers at once has nothing to gain.
  [[nodiscard]] virtual bool ReadsAhead() const { return false; }
  // The named attributes of `names` are about to be read, in this order: a store that waits for
  // its server asks for them now, so that the reads find their answers waiting, and with
  // `namedEntries` the entries their values of a DN syntax name too. `within`, when given, finds
  // every one of `names` and not many more entries: such a store may fetch them by it. Only an
  // identical read takes such an answer; nothing else changes.
  virtual void ReadAhead(const std::vector<DirName>& /*names*/,
                         const std::vector<std::string>& /*attributeNames*/, bool /*namedEntries*/,
                         const StoreSearch* /*within*/) {}
  // The searches of `filters` below `base` with `scope` follow, in this order: a store that waits
  // for its server sends them now, together. Only an identical Search takes such a start; its
  // entries, codes and texts are those of a search started then.
  virtual void SearchAhead(const DirName& /*base*/, int /*scope*/,
                           const std::vector<FilterNode>& /*filters*/) {}
  // The bytes of a stream attribute's value.
  [[nodiscard]] virtual int32_t ReadStream(const DirName& name, std::string_view attribute,
                                           std::string& bytes) = 0;
  // The syntax of an attribute (directory or LDAP name, any case); nullopt when unknown.
  [[nodiscard]] virtual std::optional<uint32_t> SyntaxOf(std::string_view attribute) const = 0;
  // The directory name of an attribute given by either of its names; the name itself when
  // unknown.
  [[nodiscard]] virtual std::string AttributeName(std::string_view attribute) const = 0;
  // The store's own words for the failure it reported last (a server's diagnostic message), when
  // that failure had `code`; nullopt otherwise, and from a store whose codes keep the client's
  // texts.
  [[nodiscard]] virtual std::optional<std::string> FailureText(int32_t /*code*/) const {
    return std::nullopt;
  }
  // One of the program's operations begins: a store that gave up on its server for the rest of
  // the last one tries it again, and one that remembers entries between calls forgets them, so
  // that nothing it learnt outlives the operation that asked.
  virtual void BeginOperation() {}
};
