#include "directory/client/dir_client.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/connections.h"
#include "directory/client/dir_name.h"
#include "directory/client/ldap_store.h"
#include "directory/client/memory_store.h"
#include "directory/client/sample_tree.h"
#include "directory/client/store.h"
#include "directory/client/value_codec.h"
#include "directory/client/value_record.h"

namespace {

constexpr uint32_t kContextTag = 0x10000000;
constexpr uint32_t kBufferTag = 0x20000000;
constexpr uint32_t kFilterTag = 0x30000000;
constexpr uint32_t kConnectionTag = 0x40000000;
constexpr uint32_t kHandleCounterMask = 0x0FFFFFFF;
constexpr uint32_t kMinBufferSize = 64;
constexpr uint32_t kMaxBufferSize = 64512;
constexpr size_t kMaxLiveIterations = 1024;
constexpr int kMaxAliasHops = 8;

struct Connection {
  std::string tree;
  std::shared_ptr<Store> store;
  DirName defaultContext;
  std::optional<DirName> user;
};

struct Context {
  size_t connection = 0;
  uint32_t flags = kDirFlagDerefAliases | kDirFlagTranslateStrings | kDirFlagCanonicalize;
  uint32_t confidence = 0;
  DirName nameContext;
};

struct Buffer {
  enum class Content { kEmpty, kRequest, kFilter, kObjects, kAttributes };
  uint32_t capacity = 0;
  int operation = 0;
  Content content = Content::kEmpty;
  // kRequest
  std::vector<std::string> names;
  size_t requestBytes = 0;
  // kFilter
  FilterNode filter;
  // kObjects, kAttributes: the batch as bytes, read front to back.
  std::vector<uint8_t> data;
  size_t cursor = 0;
  uint32_t count = 0;
  uint32_t consumed = 0;
  uint32_t valuesLeft = 0;  // of the attribute last named
};

struct FilterToken {
  int token = 0;
  DirFilterValue value;
  uint32_t syntax = 0;
};

struct Filter {
  enum class Expect { kOperand, kMatchOperand, kOperator, kValue, kConnective, kDone };
  std::vector<FilterToken> tokens;
  Expect expect = Expect::kOperand;
  int depth = 0;
  size_t bytes = 0;
  uint32_t attributeSyntax = 0;  // of the comparison being built
};

struct AttributeRecords {
  std::string name;
  uint32_t syntax = 0;
  std::vector<std::vector<uint8_t>> records;
};

// What the names of one listing or search keep between entries: the parent of the last name,
// when none of its written parts has a namesake tried before it.
struct NameMemo {
  DirName parent;
  size_t written = 0;  // parts of the last name written
  bool valid = false;
};

struct Iteration {
  enum class Kind { kList, kSearch, kRead };
  Kind kind = Kind::kList;
  DirContext context = 0;
  std::unique_ptr<EntryCursor> cursor;
  std::optional<StoreEntry> pending;
  NameMemo names;
  // kRead
  std::vector<AttributeRecords> attributes;
  size_t attribute = 0;
  size_t value = 0;
  int infoType = 1;
};

struct ClientState {
  bool started = false;
  std::vector<Connection> connections;
  std::optional<size_t> primary;
  std::map<DirContext, Context> contexts;
  std::map<DirBuffer, Buffer> buffers;
  std::map<DirFilter, Filter> filters;
  std::map<int32_t, Iteration> iterations;
  std::map<int32_t, std::string> startupErrors;
};

// Recursive, because a password provider runs inside DirClientInit: should it (or a window
// message handled while its dialog is up) call the client, it gets a code instead of a deadlock.
std::recursive_mutex& Lock() {
  static std::recursive_mutex mutex;
  return mutex;
}

ClientState& State() {
  static ClientState state;
  return state;
}

std::string& ConnectionsFileOverride() {
  static std::string path;
  return path;
}

DirPasswordProvider& PasswordProvider() {
  static DirPasswordProvider provider;
  return provider;
}

// Handles are never reused within a run, so a stale one cannot reach a newer object.
uint32_t NextHandle(uint32_t tag) {
  static uint32_t counter = 0;
  counter = (counter + 1) & kHandleCounterMask;
  if (counter == 0)
    counter = 1;
  return tag | counter;
}

int32_t NextIterationHandle() {
  static int32_t counter = 0;
  counter = counter == INT32_MAX ? 1 : counter + 1;
  return counter;
}

// Writing a batch -------------------------------------------------------------------------------

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>((value >> (8 * i)) & 0xFF));
}

void PutText(std::vector<uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

uint32_t GetU32(const Buffer& buffer, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (at + i < buffer.data.size())
      value |= uint32_t{buffer.data[at + i]} << (8 * i);
  }
  return value;
}

std::string GetText(const Buffer& buffer, size_t& at) {
  std::string text;
  while (at < buffer.data.size() && buffer.data[at] != 0) {
    text.push_back(static_cast<char>(buffer.data[at++]));
  }
  ++at;
  return text;
}

void StartBatch(Buffer& buffer, Buffer::Content content) {
  buffer.content = content;
  buffer.data.clear();
  buffer.cursor = 0;
  buffer.count = 0;
  buffer.consumed = 0;
  buffer.valuesLeft = 0;
}

// Lookups ---------------------------------------------------------------------------------------

Context* FindContext(DirContext handle) {
  const auto found = State().contexts.find(handle);
  return found == State().contexts.end() ? nullptr : &found->second;
}

Buffer* FindBuffer(DirBuffer handle) {
  const auto found = State().buffers.find(handle);
  return found == State().buffers.end() ? nullptr : &found->second;
}

// The buffer a reading call through `context` takes, holding `content`; the caller holds the
// client's lock. The code tells an unknown context, an unknown buffer, or one filled by another
// operation.
int32_t FindFilledBuffer(DirContext context, DirBuffer buffer, Buffer::Content content,
                         Buffer*& found) {
  if (FindContext(context) == nullptr)
    return kDirBadContext;
  found = FindBuffer(buffer);
  if (found == nullptr)
    return kDirInvalidHandle;
  if (found->content != content)
    return kDirBadVerb;
  return kDirOk;
}

// The context and the result buffer of a listing, search or read; the caller holds the client's
// lock. The code tells an unknown context or an unknown buffer.
int32_t FindBatchTarget(DirContext context, DirBuffer result, const Context*& found,
                        Buffer*& buffer) {
  found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  buffer = FindBuffer(result);
  if (buffer == nullptr)
    return kDirInvalidHandle;
  return kDirOk;
}

// Runs `read` on the buffer a reading call through `context` takes, holding `content`, under the
// client's lock; the code of FindFilledBuffer when there is no such buffer, else read's code.
template <typename Read>
int32_t ReadFilledBuffer(DirContext context, DirBuffer buffer, Buffer::Content content, Read read) {
  const std::lock_guard lock(Lock());
  Buffer* found = nullptr;
  if (const int32_t code = FindFilledBuffer(context, buffer, content, found); code != kDirOk)
    return code;
  return read(*found);
}

Connection& ConnectionOf(const Context& context) {
  return State().connections[context.connection];
}

bool Typeless(const Context& context) {
  return (context.flags & kDirFlagTypeless) != 0;
}

// Names ------------------------------------------------------------------------------------

// How many children resolving one name may try before it stops looking for a way through
// namesakes, so that no tree can make a lookup take exponential time.
constexpr int kMaxResolveSteps = 256;

// Whether resolution tries `a` before `b`, two children of one parent that share a value (a
// typeless part names both): for a part with parts below it containers first, then CN, OU, O
// and the other naming types by name. One order for every store and every operation, so that a
// name means the same entry wherever it is used.
bool TriedBefore(const ChildCandidate& a, const ChildCandidate& b, bool leaf) {
  if (!leaf && a.container != b.container)
    return a.container;
  const auto rank = [](const std::string& type) {
    return EqualsIgnoringCase(type, "CN")   ? 0
           : EqualsIgnoringCase(type, "OU") ? 1
           : EqualsIgnoringCase(type, "O")  ? 2
                                            : 3;
  };
  const int rankA = rank(a.rdn.type);
  const int rankB = rank(b.rdn.type);
  if (rankA != rankB)
    return rankA < rankB;
  return FoldCase(a.rdn.type) < FoldCase(b.rdn.type);
}

// Puts in front of `name` (the entry the parts are below) the RDNs of `parts[0, count)`, leaf
// first: each typeless part takes the first child, in TriedBefore's order, below which the parts
// after it all exist. False, with `name` as it was, when no choice makes every part exist or
// `steps` run out.
bool ResolveExisting(Store& store, const std::vector<NamePart>& parts, size_t count, DirName& name,
                     int& steps) {
  if (count == 0)
    return true;
  const NamePart& part = parts[count - 1];
  const bool leaf = count == 1;
  const auto descend = [&](const Rdn& rdn) {
    if (--steps < 0)
      return false;
    name.insert(name.begin(), rdn);
    if (ResolveExisting(store, parts, count - 1, name, steps))
      return true;
    name.erase(name.begin());
    return false;
  };
  std::optional<Rdn> tried;
  if (part.type.empty() && leaf) {
    // A common name comes first whatever shares its value, so the usual leaf is found without
    // asking for its namesakes.
    const auto common = store.FindChildren(name, NamePart{"CN", part.value});
    if (!common.empty()) {
      if (descend(common.front().rdn))
        return true;
      tried = common.front().rdn;
    }
  }
  auto candidates = store.FindChildren(name, part);
  std::sort(
      candidates.begin(), candidates.end(),
      [&](const ChildCandidate& a, const ChildCandidate& b) { return TriedBefore(a, b, leaf); });
  for (const ChildCandidate& candidate : candidates) {
    if (tried && SameRdn(*tried, candidate.rdn))
      continue;
    if (descend(candidate.rdn))
      return true;
  }
  return false;
}

// Gives every typeless part the type of the entry it names (ResolveExisting). A name of no
// entry keeps the types of the parts that exist, from the root down, and the parts below take
// the usual default types (the top O, the leaf `leafType`, OU between).
DirName TypeParts(Store& store, const std::vector<NamePart>& parts, DirName base,
                  const char* leafType) {
  DirName name = base;
  int steps = kMaxResolveSteps;
  if (ResolveExisting(store, parts, parts.size(), name, steps))
    return name;
  name = std::move(base);
  bool found = true;
  for (size_t i = parts.size(); i-- > 0;) {
    const NamePart& part = parts[i];
    if (found) {
      auto candidates = store.FindChildren(name, part);
      if (!candidates.empty()) {
        const auto first = std::min_element(candidates.begin(), candidates.end(),
                                            [&](const ChildCandidate& a, const ChildCandidate& b) {
                                              return TriedBefore(a, b, i == 0);
                                            });
        name.insert(name.begin(), std::move(first->rdn));
        continue;
      }
    }
    found = false;
    Rdn typed{part.type, part.value};
    if (typed.type.empty())
      typed.type = name.empty() ? "O" : (i == 0 ? leafType : "OU");
    name.insert(name.begin(), std::move(typed));
  }
  return name;
}

// Whether part `at` (leaf first) of the existing entry `name`, written typeless with the parts
// below it written as `typed` says, would resolve to a namesake that resolution tries first.
// `contested` tells whether the part has such a namesake at all, whatever the parts below.
bool TakenByNamesake(Store& store, const DirName& name, size_t at, const std::vector<bool>& typed,
                     bool& contested) {
  contested = false;
  const Rdn& own = name[at];
  // A common name is tried first among its namesakes (every part above the leaf names a
  // container), so the usual name needs no lookup.
  if (EqualsIgnoringCase(own.type, "CN"))
    return false;
  const DirName parent(name.begin() + static_cast<std::ptrdiff_t>(at) + 1, name.end());
  const auto namesakes = store.FindChildren(parent, NamePart{"", own.value});
  if (namesakes.size() < 2)
    return false;
  const bool leaf = at == 0;
  const ChildCandidate self{own, !leaf};
  std::vector<NamePart> below;
  for (size_t i = 0; i < at; ++i) {
    const bool keepsType = i < typed.size() && typed[i];
    below.push_back(NamePart{keepsType ? name[i].type : std::string(), name[i].value});
  }
  for (const ChildCandidate& other : namesakes) {
    if (SameRdn(other.rdn, own) || !TriedBefore(other, self, leaf))
      continue;
    contested = true;
    DirName under = parent;
    under.insert(under.begin(), other.rdn);
    int steps = kMaxResolveSteps;
    if (ResolveExisting(store, below, below.size(), under, steps) || steps < 0)
      return true;
  }
  return false;
}

// `name` written relative to `base`; a typeless name writes typed each part that a namesake
// would take from it, so that the name resolves to `name` again.
std::string NameText(Store& store, const DirName& name, const DirName& base, bool typeless,
                     NameMemo* memo = nullptr) {
  if (!typeless || name.empty())
    return FormatDirName(name, base, typeless);
  const size_t written = WrittenPartCount(name, base);
  std::vector<bool> typed;  // stays empty while no part needs its type
  const auto check = [&](size_t at, bool& contested) {
    if (TakenByNamesake(store, name, at, typed, contested)) {
      typed.resize(written);
      typed[at] = true;
    }
  };
  bool contested = false;
  check(0, contested);
  // Siblings share every part above the leaf, and whether those parts need their types does not
  // depend on the leaf unless one of them has a namesake tried before it.
  const bool sameParent =
      memo != nullptr && memo->valid && memo->written == written &&
      memo->parent.size() + 1 == name.size() &&
      std::equal(memo->parent.begin(), memo->parent.end(), name.begin() + 1,
                 [](const Rdn& a, const Rdn& b) { return a.value == b.value && a.type == b.type; });
  if (written > 1 && !sameParent) {
    bool plain = true;
    for (size_t at = 1; at < written; ++at) {
      check(at, contested);
      plain = plain && !contested;
    }
    if (memo != nullptr) {
      memo->valid = plain;
      memo->written = written;
      memo->parent.assign(name.begin() + 1, name.end());
    }
  }
  return FormatDirName(name, base, true, typed);
}

std::string NameText(const Context& context, const DirName& name, NameMemo* memo = nullptr) {
  return NameText(*ConnectionOf(context).store, name, context.nameContext, Typeless(context), memo);
}

// The complete name a caller's name stands for, relative to the context's name context.
std::optional<DirName> ResolveName(const Context& context, std::string_view text) {
  const auto parsed = ParseDirName(text);
  if (!parsed)
    return std::nullopt;
  if (parsed->root)
    return DirName();
  DirName base;
  if (!parsed->complete) {
    base = context.nameContext;
    if (static_cast<size_t>(parsed->trailingDots) > base.size())
      return std::nullopt;
    base.erase(base.begin(), base.begin() + parsed->trailingDots);
  }
  return TypeParts(*ConnectionOf(context).store, parsed->parts, std::move(base), "CN");
}

// A complete name given without regard to the name context (name contexts, configuration).
std::optional<DirName> ResolveComplete(Store& store, std::string_view text) {
  if (!text.empty() && text[0] == '.')
    text.remove_prefix(1);
  const auto parsed = ParseDirName(text);
  if (!parsed || parsed->trailingDots > 0)
    return std::nullopt;
  if (parsed->root)
    return DirName();
  // Name contexts and configured names are containers more often than not.
  return TypeParts(store, parsed->parts, DirName(), "OU");
}

// Follows aliases when the context asks for it.
int32_t Dereference(const Context& context, DirName& name) {
  if ((context.flags & kDirFlagDerefAliases) == 0)
    return kDirOk;
  Store& store = *ConnectionOf(context).store;
  for (int hop = 0; hop < kMaxAliasHops; ++hop) {
    StoreEntry entry;
    if (const int32_t code = store.GetEntryWithoutCount(name, entry); code != kDirOk)
      return code;
    if (!EqualsIgnoringCase(entry.baseClass, "Alias"))
      return kDirOk;
    std::vector<StoreAttribute> attributes;
    if (store.ReadAttributes(name, {"Aliased Object Name"}, attributes) != kDirOk ||
        attributes.empty() || attributes.front().values.empty()) {
      return kDirOk;
    }
    const auto target = ParseLdapDn(attributes.front().values.front());
    if (!target)
      return kDirNoSuchEntry;
    name = *target;
  }
  return kDirNoSuchEntry;
}

void DropIteration(int32_t& handle) {
  if (handle != -1)
    State().iterations.erase(handle);
  handle = -1;
}

void EndIteration(int32_t& handle) {
  const std::lock_guard lock(Lock());
  DropIteration(handle);
}

int32_t RegisterIteration(Iteration iteration) {
  auto& iterations = State().iterations;
  // A caller that abandons listings must not make the client grow without end.
  while (iterations.size() >= kMaxLiveIterations)
    iterations.erase(iterations.begin());
  const int32_t handle = NextIterationHandle();
  iterations.emplace(handle, std::move(iteration));
  return handle;
}

// The iteration that `handle` continues when it is one of `kind` started through `context`;
// otherwise nullptr, and the handle is spent (-1) so that the caller's loop ends.
Iteration* ContinuedIteration(int32_t& handle, Iteration::Kind kind, DirContext context) {
  const auto found = State().iterations.find(handle);
  if (found == State().iterations.end() || found->second.kind != kind ||
      found->second.context != context) {
    handle = -1;
    return nullptr;
  }
  return &found->second;
}

// Fills the buffer with entries from the iteration's cursor; the handle becomes -1 once the
// cursor is exhausted, or on failure.
int32_t FillObjectBatch(const Context& context, Buffer& buffer, Iteration& iteration,
                        int32_t& handle) {
  StartBatch(buffer, Buffer::Content::kObjects);
  std::vector<uint8_t> record;
  for (;;) {
    if (!iteration.pending) {
      StoreEntry next;
      if (!iteration.cursor->Next(next)) {
        // A store that failed midway hands out what it read first; the code ends the next call.
        const int32_t status = iteration.cursor->Status();
        if (status != kDirOk && buffer.count > 0)
          return kDirOk;
        DropIteration(handle);
        return status;
      }
      iteration.pending = std::move(next);
    }
    const StoreEntry& entry = *iteration.pending;
    record.clear();
    PutU32(record, entry.flags);
    PutU32(record, entry.subordinateCount);
    PutU32(record, entry.modificationTime);
    PutU32(record, 0);
    PutText(record, NameText(context, entry.name, &iteration.names));
    PutText(record, entry.baseClass);
    if (record.size() > buffer.capacity) {
      // The entries before it are handed out; the entry that fits no buffer ends the next call.
      if (buffer.count > 0)
        return kDirOk;
      StartBatch(buffer, Buffer::Content::kObjects);
      DropIteration(handle);
      return kDirInsufficientBuffer;
    }
    if (buffer.data.size() + record.size() > buffer.capacity)
      return kDirOk;
    buffer.data.insert(buffer.data.end(), record.begin(), record.end());
    ++buffer.count;
    iteration.pending.reset();
  }
}

// Fills the buffer with attribute values; an attribute cut by the end of the buffer continues
// in the next batch under its name again.
int32_t FillAttributeBatch(Buffer& buffer, Iteration& iteration, int32_t& handle) {
  StartBatch(buffer, Buffer::Content::kAttributes);
  while (iteration.attribute < iteration.attributes.size()) {
    const AttributeRecords& attribute = iteration.attributes[iteration.attribute];
    const size_t header = attribute.name.size() + 1 + 8;
    const bool namesOnly = iteration.infoType == 0;
    const size_t firstValue =
        namesOnly || attribute.records.empty() ? 0 : 4 + attribute.records[iteration.value].size();
    if (header + firstValue > buffer.capacity) {
      if (buffer.count > 0)
        return kDirOk;
      StartBatch(buffer, Buffer::Content::kAttributes);
      DropIteration(handle);
      return kDirInsufficientBuffer;
    }
    if (buffer.data.size() + header + firstValue > buffer.capacity)
      return kDirOk;
    PutText(buffer.data, attribute.name);
    PutU32(buffer.data, attribute.syntax);
    const size_t countAt = buffer.data.size();
    PutU32(buffer.data, 0);
    ++buffer.count;
    uint32_t written = 0;
    if (!namesOnly) {
      while (iteration.value < attribute.records.size()) {
        const std::vector<uint8_t>& value = attribute.records[iteration.value];
        if (buffer.data.size() + 4 + value.size() > buffer.capacity)
          break;
        PutU32(buffer.data, static_cast<uint32_t>(value.size()));
        buffer.data.insert(buffer.data.end(), value.begin(), value.end());
        ++written;
        ++iteration.value;
      }
    }
    for (int i = 0; i < 4; ++i) {
      buffer.data[countAt + static_cast<size_t>(i)] =
          static_cast<uint8_t>((written >> (8 * i)) & 0xFF);
    }
    if (namesOnly || iteration.value >= attribute.records.size()) {
      ++iteration.attribute;
      iteration.value = 0;
    } else {
      return kDirOk;
    }
  }
  DropIteration(handle);
  return kDirOk;
}

// Filters -----------------------------------------------------------------------------------------

bool IsTextSyntax(uint32_t syntax) {
  return syntax == kSyntaxDistinguishedName || syntax == kSyntaxCaseExactString ||
         syntax == kSyntaxCaseIgnoreString || syntax == kSyntaxPrintableString ||
         syntax == kSyntaxNumericString || syntax == kSyntaxClassName || syntax == kSyntaxTypedName;
}

bool IsNumberSyntax(uint32_t syntax) {
  return syntax == kSyntaxBoolean || syntax == kSyntaxInteger || syntax == kSyntaxCounter ||
         syntax == kSyntaxHold || syntax == kSyntaxInterval;
}

bool IsTimeSyntax(uint32_t syntax) {
  return syntax == kSyntaxTimestamp || syntax == kSyntaxTime;
}

size_t TokenBytes(const FilterToken& token) {
  size_t bytes = 8;
  if (const auto* text = std::get_if<std::string>(&token.value))
    bytes += text->size() + 1;
  if (std::holds_alternative<int32_t>(token.value))
    bytes += 4;
  if (std::holds_alternative<DirTimeStamp>(token.value))
    bytes += 8;
  return bytes;
}

// Whether `token` may follow the filter's tokens so far; moves the filter's state on if so.
int32_t AcceptToken(Filter& filter, const FilterToken& token) {
  using Expect = Filter::Expect;
  const auto* text = std::get_if<std::string>(&token.value);
  switch (filter.expect) {
    case Expect::kOperand:
      switch (token.token) {
        case kFilterNot:
          return kDirOk;
        case kFilterOpen:
          ++filter.depth;
          return kDirOk;
        case kFilterPresent:
        case kFilterRdn:
        case kFilterBaseClass:
          filter.expect = Expect::kMatchOperand;
          return kDirOk;
        case kFilterAttribute:
          if (text == nullptr || text->empty())
            return kDirBadSyntax;
          filter.attributeSyntax = token.syntax;
          filter.expect = Expect::kOperator;
          return kDirOk;
        case kFilterEnd:
          if (!filter.tokens.empty())
            return kDirBadSyntax;
          filter.expect = Expect::kDone;
          return kDirOk;
        default:
          return kDirBadSyntax;
      }
    case Expect::kMatchOperand:
      if (token.token != kFilterAttribute || text == nullptr || text->empty())
        return kDirBadSyntax;
      filter.expect = Expect::kConnective;
      return kDirOk;
    case Expect::kOperator:
      if (token.token < kFilterEqual || token.token > kFilterApprox)
        return kDirBadSyntax;
      filter.expect = Expect::kValue;
      return kDirOk;
    case Expect::kValue: {
      if (token.token != kFilterValue)
        return kDirBadSyntax;
      // The value must be of the kind the compared attribute's syntax takes.
      const uint32_t syntax = filter.attributeSyntax;
      const bool fits = (IsTextSyntax(syntax) && text != nullptr) ||
                        (IsNumberSyntax(syntax) && std::holds_alternative<int32_t>(token.value)) ||
                        (IsTimeSyntax(syntax) && std::holds_alternative<DirTimeStamp>(token.value));
      if (!fits)
        return kDirBadSyntax;
      filter.expect = Expect::kConnective;
      return kDirOk;
    }
    case Expect::kConnective:
      switch (token.token) {
        case kFilterOr:
        case kFilterAnd:
          filter.expect = Expect::kOperand;
          return kDirOk;
        case kFilterClose:
          if (filter.depth == 0)
            return kDirBadSyntax;
          --filter.depth;
          return kDirOk;
        case kFilterEnd:
          if (filter.depth != 0)
            return kDirBadSyntax;
          filter.expect = Expect::kDone;
          return kDirOk;
        default:
          return kDirBadSyntax;
      }
    case Expect::kDone:
      return kDirBadSyntax;
  }
  return kDirBadSyntax;
}

// Builds the expression tree of a token sequence the grammar already accepted: OR binds
// weaker than AND, NOT binds tightest.
class FilterBuilder {
 public:
  FilterBuilder(const std::vector<FilterToken>& tokens, const Context& context)
      : tokens_(tokens), context_(context) {}

  int32_t Build(FilterNode& root) {
    root = Or();
    return code_;
  }

 private:
  [[nodiscard]] const FilterToken* Peek() const {
    return at_ < tokens_.size() && tokens_[at_].token != kFilterEnd ? &tokens_[at_] : nullptr;
  }

  FilterNode Combine(FilterNode::Kind kind, int connective, FilterNode (FilterBuilder::*next)()) {
    FilterNode first = (this->*next)();
    if (Peek() == nullptr || Peek()->token != connective)
      return first;
    FilterNode node;
    node.kind = kind;
    node.children.push_back(std::move(first));
    while (Peek() != nullptr && Peek()->token == connective) {
      ++at_;
      node.children.push_back((this->*next)());
    }
    return node;
  }

  FilterNode Or() { return Combine(FilterNode::Kind::kOr, kFilterOr, &FilterBuilder::And); }
  FilterNode And() { return Combine(FilterNode::Kind::kAnd, kFilterAnd, &FilterBuilder::Unary); }

  FilterNode Unary() {
    const FilterToken* token = Peek();
    FilterNode node;
    if (token == nullptr) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    switch (token->token) {
      case kFilterNot:
        node.kind = FilterNode::Kind::kNot;
        node.children.push_back(Unary());
        return node;
      case kFilterOpen:
        node = Or();
        if (Peek() != nullptr && Peek()->token == kFilterClose)
          ++at_;
        return node;
      case kFilterBaseClass:
        node.kind = FilterNode::Kind::kBaseClass;
        node.text = OperandText();
        return node;
      case kFilterRdn: {
        node.kind = FilterNode::Kind::kRdn;
        const std::string operand = OperandText();
        const auto parsed = ParseDirName(operand);
        if (parsed && parsed->parts.size() == 1 && !parsed->complete && parsed->trailingDots == 0) {
          node.rdnType = parsed->parts.front().type;
          node.text = parsed->parts.front().value;
        } else {
          node.text = operand;
        }
        return node;
      }
      case kFilterPresent:
        node.kind = FilterNode::Kind::kPresent;
        node.text = ConnectionOf(context_).store->AttributeName(OperandText());
        return node;
      case kFilterAttribute:
        return Comparison(*token);
      default:
        code_ = kDirBadSyntax;
        return node;
    }
  }

  std::string OperandText() {
    const FilterToken* token = Peek();
    if (token == nullptr || token->token != kFilterAttribute) {
      code_ = kDirBadSyntax;
      return {};
    }
    ++at_;
    return std::get<std::string>(token->value);
  }

  FilterNode Comparison(const FilterToken& attribute) {
    FilterNode node;
    node.kind = FilterNode::Kind::kCompare;
    node.text = ConnectionOf(context_).store->AttributeName(std::get<std::string>(attribute.value));
    node.syntax = attribute.syntax;
    const FilterToken* op = Peek();
    if (op == nullptr) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    node.op = op->token == kFilterGreaterOrEqual ? FilterNode::Op::kGreaterOrEqual
              : op->token == kFilterLessOrEqual  ? FilterNode::Op::kLessOrEqual
              : op->token == kFilterApprox       ? FilterNode::Op::kApprox
                                                 : FilterNode::Op::kEqual;
    const FilterToken* value = Peek();
    if (value == nullptr || value->token != kFilterValue) {
      code_ = kDirBadSyntax;
      return node;
    }
    ++at_;
    if (const auto* text = std::get_if<std::string>(&value->value)) {
      if (node.syntax == kSyntaxDistinguishedName) {
        // Names compare as names: typeless parts take the types of the entries they name.
        const auto name = ResolveName(context_, *text);
        if (!name) {
          code_ = kDirInvalidObjectName;
          return node;
        }
        node.textValue = LdapDnText(*name);
      } else {
        node.textValue = *text;
      }
    } else if (const auto* number = std::get_if<int32_t>(&value->value)) {
      node.numberValue = *number;
    } else if (const auto* time = std::get_if<DirTimeStamp>(&value->value)) {
      node.numberValue = time->seconds;
    }
    return node;
  }

  const std::vector<FilterToken>& tokens_;
  const Context& context_;
  size_t at_ = 0;
  int32_t code_ = kDirOk;
};

// Start-up -----------------------------------------------------------------------------------

std::string PadTreeName(const std::string& tree) {
  std::string padded = tree;
  if (padded.size() < kTreeNameWidth)
    padded.append(kTreeNameWidth - padded.size(), '_');
  return padded;
}

std::string StripTreePadding(std::string_view tree) {
  while (!tree.empty() && tree.back() == '_')
    tree.remove_suffix(1);
  return std::string(tree);
}

// The values of "# orvane-<key>: value" comment lines at the top of an LDIF text.
std::map<std::string, std::string> HeaderValues(std::string_view text) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start < text.size() && text[start] == '#') {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    constexpr std::string_view kPrefix = "# orvane-";
    if (line.starts_with(kPrefix)) {
      line.remove_prefix(kPrefix.size());
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ')
          value.remove_prefix(1);
        while (!value.empty() && value.back() == ' ')
          value.remove_suffix(1);
        values[FoldCase(line.substr(0, colon))] = std::string(value);
      }
    }
    start = end + 1;
  }
  return values;
}

struct StartupFailure {
  uint16_t code;
  std::string text;
};

std::optional<StartupFailure> OpenSample(std::shared_ptr<Store>& sampleStore,
                                         Connection& connection, const ConnectionConfig* config) {
  const std::string_view text = EmbeddedSampleTree();
  if (!sampleStore) {
    std::string error;
    auto store = MemoryStore::LoadText(std::string(text), "built-in sample tree", error);
    if (!store)
      return StartupFailure{kDirSourceUnreadable, error};
    sampleStore = std::move(store);
  }
  const auto header = HeaderValues(text);
  const auto value = [&](const char* key) {
    const auto found = header.find(key);
    return found == header.end() ? std::string() : found->second;
  };
  connection.store = sampleStore;
  connection.tree = value("tree").empty() ? "SAMPLE_TREE" : value("tree");
  if (const auto context = ParseLdapDn(value("context")))
    connection.defaultContext = *context;
  if (!value("user").empty()) {
    if (const auto user = ParseLdapDn(value("user")))
      connection.user = *user;
  }
  if (config != nullptr) {
    connection.tree = config->tree;
    if (config->hasContext) {
      const auto context = ResolveComplete(*connection.store, config->context);
      connection.defaultContext = context.value_or(DirName());
    }
    if (config->hasUser) {
      connection.user = ResolveComplete(*connection.store, config->user);
    }
  }
  return std::nullopt;
}

std::optional<StartupFailure> OpenLdap(const ConnectionConfig& config, Connection& connection) {
  LdapSettings settings;
  settings.uri = config.source;
  settings.startTls = config.startTls;
  settings.bindDn = config.bind;
  settings.caFile = config.caFile;
  settings.verify = config.verify;
  settings.timeoutSeconds = config.timeout;
  settings.pageSize = config.pageSize;
  std::string error;
  if (!config.caFile.empty() && access(config.caFile.c_str(), R_OK) != 0) {
    return StartupFailure{kDirConfigMalformed,
                          config.caFile + ": cannot be read (" + std::strerror(errno) + ")"};
  }
  if (!config.passwordFile.empty()) {
    auto password = ReadPasswordFile(config.passwordFile, error);
    if (!password)
      return StartupFailure{kDirConfigMalformed, error};
    settings.password = std::move(*password);
  }
  // Without a password file a bind asks for the password, again for as long as it is refused.
  const bool asks = config.passwordFile.empty() && !config.bind.empty();
  DirPasswordRequest request{config.tree, config.bind, config.source, 1, ""};
  int32_t code = kDirOk;
  std::unique_ptr<LdapStore> store;
  for (;;) {
    if (asks) {
      DirPasswordAnswer answer;
      if (PasswordProvider())
        answer = PasswordProvider()(request);
      else
        answer.failure = "bind " + config.bind + " has no password-file to take its password from";
      if (!answer.password && answer.failure.empty())
        return std::nullopt;  // declined: this connection stays closed, start-up goes on
      if (!answer.password)
        return StartupFailure{kDirSourceUnreadable, answer.failure};
      if (answer.password->empty()) {
        // A DN with an empty password would be an unauthenticated bind, never a login.
        ++request.attempt;
        request.previousError = "The password is empty.";
        continue;
      }
      settings.password = std::move(*answer.password);
    }
    store = LdapStore::Connect(settings, error, code);
    if (store || !asks || code != kDirFailedAuthentication)
      break;
    ++request.attempt;
    request.previousError = error;
  }
  if (!store)
    return StartupFailure{kDirSourceUnreadable, error};
  connection.tree = config.tree;
  connection.defaultContext = ResolveComplete(*store, config.context).value_or(DirName());
  if (config.hasUser) {
    if (!config.user.empty())
      connection.user = ResolveComplete(*store, config.user);
  } else if (DirName self; store->WhoAmI(self) == kDirOk) {
    connection.user = std::move(self);
  }
  connection.store = std::move(store);
  return std::nullopt;
}

std::optional<StartupFailure> StartFromFile(const std::string& path, const std::string& text) {
  std::string error;
  const auto configs = ParseConnectionsFile(text, path, error);
  if (!configs)
    return StartupFailure{kDirConfigMalformed, error};
  std::shared_ptr<Store> sampleStore;
  // A file read with its URL values is not handed to a connection that does not read them.
  std::map<std::pair<std::string, bool>, std::shared_ptr<Store>> loaded;
  ClientState& state = State();
  for (const ConnectionConfig& config : *configs) {
    Connection connection;
    const std::string where = " (connection [" + config.section + "] in " + path + " line " +
                              std::to_string(config.line) + ")";
    if (config.source == "sample") {
      if (auto failure = OpenSample(sampleStore, connection, &config)) {
        failure->text += where;
        return failure;
      }
    } else if (config.source.starts_with("ldap://") || config.source.starts_with("ldaps://")) {
      if (auto failure = OpenLdap(config, connection)) {
        failure->text += where;
        return failure;
      }
      if (!connection.store)
        continue;
    } else if (config.source.find("://") != std::string::npos) {
      return StartupFailure{kDirSourceUnknown, path + " line " + std::to_string(config.line) +
                                                   ": source " + config.source +
                                                   " is of an unknown kind"};
    } else {
      auto& store = loaded[{config.source, config.fileUrls}];
      if (!store) {
        auto memory = MemoryStore::LoadFile(
            config.source, error, config.fileUrls ? LdifUrls::kReadFiles : LdifUrls::kRefuse);
        if (!memory)
          return StartupFailure{kDirSourceUnreadable, error + where};
        store = std::move(memory);
      }
      connection.store = store;
      connection.tree = config.tree;
      connection.defaultContext = ResolveComplete(*store, config.context).value_or(DirName());
      if (config.hasUser && !config.user.empty())
        connection.user = ResolveComplete(*store, config.user);
    }
    if (config.primary)
      state.primary = state.connections.size();
    state.connections.push_back(std::move(connection));
  }
  return std::nullopt;
}

std::optional<StartupFailure> Start() {
  const std::string& override = ConnectionsFileOverride();
  const std::string path = override.empty() ? ConfigFolder() + "/connections.ini" : override;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT && override.empty()) {
      std::shared_ptr<Store> sampleStore;
      Connection connection;
      if (auto failure = OpenSample(sampleStore, connection, nullptr))
        return failure;
      State().connections.push_back(std::move(connection));
      State().primary = 0;
      return std::nullopt;
    }
    return StartupFailure{kDirConfigMalformed,
                          path + ": cannot be read (" + std::strerror(errno) + ")"};
  }
  std::stringstream text;
  text << in.rdbuf();
  return StartFromFile(path, text.str());
}

const Connection* ConnectionByReference(DirConnectionRef reference) {
  const auto& connections = State().connections;
  if (!State().started || reference == 0 || reference > connections.size())
    return nullptr;
  return &connections[reference - 1];
}

}  // namespace

// Connections ---------------------------------------------------------------------------------

uint16_t DirClientInit(int reserved1, int reserved2) {
  const std::lock_guard lock(Lock());
  if (reserved1 != 0 || reserved2 != 0)
    return kDirClientNotStarted;
  ClientState& state = State();
  if (state.started)
    return kDirConnectionOk;
  static bool starting = false;
  if (starting)
    return kDirClientNotStarted;  // called from within its own start-up
  state.connections.clear();
  state.primary.reset();
  starting = true;
  auto failure = Start();
  starting = false;
  if (failure) {
    state.connections.clear();
    state.primary.reset();
    state.startupErrors[failure->code] = failure->text;
    return failure->code;
  }
  state.started = true;
  return kDirConnectionOk;
}

uint16_t DirGetPrimaryConnection(DirConnectionRef& reference) {
  const std::lock_guard lock(Lock());
  if (!State().started || !State().primary)
    return kDirNoConnection;
  reference = static_cast<DirConnectionRef>(*State().primary + 1);
  return kDirConnectionOk;
}

uint16_t DirScanConnections(uint32_t& position, DirConnectionRef& reference) {
  const std::lock_guard lock(Lock());
  if (!State().started || position >= State().connections.size())
    return kDirNoMoreConnections;
  reference = position + 1;
  ++position;
  return kDirConnectionOk;
}

uint16_t DirGetConnectionInfo(DirConnectionRef reference, int item, int bufferSize,
                              std::string& value) {
  const std::lock_guard lock(Lock());
  const Connection* connection = ConnectionByReference(reference);
  if (connection == nullptr)
    return kDirNoConnection;
  if (item != 4)
    return kDirInvalidParameter;
  const std::string padded = PadTreeName(connection->tree);
  if (bufferSize < 0 || padded.size() + 1 > static_cast<size_t>(bufferSize)) {
    return kDirInvalidParameter;
  }
  value = padded;
  return kDirConnectionOk;
}

uint16_t DirOpenConnection(DirConnectionRef reference, int mode, int reserved,
                           DirConnectionHandle& handle) {
  const std::lock_guard lock(Lock());
  if (ConnectionByReference(reference) == nullptr)
    return kDirNoConnection;
  if (reserved != 0 || mode < 0)
    return kDirInvalidParameter;
  handle = kConnectionTag | reference;
  return kDirConnectionOk;
}

void DirClientUseConnectionsFile(const std::string& path) {
  const std::lock_guard lock(Lock());
  ConnectionsFileOverride() = path;
}

std::string DirClientConnectionsFile() {
  const std::lock_guard lock(Lock());
  const std::string& override = ConnectionsFileOverride();
  return override.empty() ? ConfigFolder() + "/connections.ini" : override;
}

void DirClientSetPasswordProvider(DirPasswordProvider provider) {
  const std::lock_guard lock(Lock());
  PasswordProvider() = std::move(provider);
}

void DirClientShutdown() {
  const std::lock_guard lock(Lock());
  State() = ClientState();
}

void DirClientBeginOperation() {
  const std::lock_guard lock(Lock());
  for (Connection& connection : State().connections)
    connection.store->RetryServer();
}

// Contexts ------------------------------------------------------------------------------------

int32_t DirCreateContext(DirContext& context) {
  const std::lock_guard lock(Lock());
  ClientState& state = State();
  if (!state.started || state.connections.empty())
    return kDirNoSuchTree;
  Context created;
  created.connection = state.primary.value_or(0);
  created.nameContext = state.connections[created.connection].defaultContext;
  context = NextHandle(kContextTag);
  state.contexts.emplace(context, std::move(created));
  return kDirOk;
}

int32_t DirDuplicateContext(DirContext context, DirContext& copy) {
  const std::lock_guard lock(Lock());
  const Context* original = FindContext(context);
  if (original == nullptr)
    return kDirBadContext;
  Context duplicate = *original;
  copy = NextHandle(kContextTag);
  State().contexts.emplace(copy, std::move(duplicate));
  return kDirOk;
}

int32_t DirFreeContext(DirContext context) {
  const std::lock_guard lock(Lock());
  if (State().contexts.erase(context) == 0)
    return kDirBadContext;
  auto& iterations = State().iterations;
  for (auto it = iterations.begin(); it != iterations.end();) {
    it = it->second.context == context ? iterations.erase(it) : std::next(it);
  }
  return kDirOk;
}

int32_t DirGetContextValue(DirContext context, int key, uint32_t& value) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyFlags) {
    value = found->flags;
  } else if (key == kDirKeyConfidence) {
    value = found->confidence;
  } else {
    return kDirBadKey;
  }
  return kDirOk;
}

int32_t DirGetContextValue(DirContext context, int key, std::string& value) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyNameContext) {
    value = NameText(*ConnectionOf(*found).store, found->nameContext, DirName(), Typeless(*found));
  } else if (key == kDirKeyTreeName) {
    value = ConnectionOf(*found).tree;
  } else {
    return kDirBadKey;
  }
  return kDirOk;
}

int32_t DirSetContextValue(DirContext context, int key, uint32_t value) {
  const std::lock_guard lock(Lock());
  Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyFlags) {
    found->flags = value;
  } else if (key == kDirKeyConfidence) {
    found->confidence = value;
  } else {
    return kDirBadKey;
  }
  return kDirOk;
}

int32_t DirSetContextValue(DirContext context, int key, const std::string& value) {
  const std::lock_guard lock(Lock());
  Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyNameContext) {
    const auto name = ResolveComplete(*ConnectionOf(*found).store, value);
    if (!name)
      return kDirInvalidObjectName;
    found->nameContext = *name;
    return kDirOk;
  }
  if (key == kDirKeyTreeName) {
    const std::string wanted = StripTreePadding(value);
    const auto& connections = State().connections;
    for (size_t i = 0; i < connections.size(); ++i) {
      if (!wanted.empty() && EqualsIgnoringCase(StripTreePadding(connections[i].tree), wanted)) {
        found->connection = i;
        found->nameContext = connections[i].defaultContext;
        return kDirOk;
      }
    }
    return kDirNoSuchTree;
  }
  return kDirBadKey;
}

int32_t DirGetDefaultNameContext(DirContext context, int bufferSize, std::string& name) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const DirName& defaultContext = ConnectionOf(*found).defaultContext;
  const std::string text =
      defaultContext.empty()
          ? std::string()
          : NameText(*ConnectionOf(*found).store, defaultContext, DirName(), Typeless(*found));
  if (bufferSize < 0 || text.size() + 1 > static_cast<size_t>(bufferSize)) {
    return kDirInsufficientBuffer;
  }
  name = text;
  return kDirOk;
}

int32_t DirWhoAmI(DirContext context, std::string& name) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const auto& user = ConnectionOf(*found).user;
  if (!user)
    return kDirNoSuchEntry;
  name = NameText(*found, *user);
  return kDirOk;
}

// Buffers and results -------------------------------------------------------------------------

int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) {
  const std::lock_guard lock(Lock());
  if (size < kMinBufferSize)
    return kDirInsufficientBuffer;
  if (size > kMaxBufferSize)
    return kDirNotEnoughMemory;
  Buffer created;
  created.capacity = size;
  created.data.reserve(size);
  buffer = NextHandle(kBufferTag);
  State().buffers.emplace(buffer, std::move(created));
  return kDirOk;
}

int32_t DirFreeBuffer(DirBuffer buffer) {
  const std::lock_guard lock(Lock());
  return State().buffers.erase(buffer) == 0 ? kDirInvalidHandle : kDirOk;
}

int32_t DirInitBuffer(DirContext context, int operation, DirBuffer buffer) {
  const std::lock_guard lock(Lock());
  if (FindContext(context) == nullptr)
    return kDirBadContext;
  Buffer* found = FindBuffer(buffer);
  if (found == nullptr)
    return kDirInvalidHandle;
  if (operation != kDirOperationRead && operation != kDirOperationSearchFilter) {
    return kDirInvalidRequest;
  }
  StartBatch(*found, Buffer::Content::kEmpty);
  found->operation = operation;
  found->names.clear();
  found->requestBytes = 0;
  found->filter = FilterNode();
  return kDirOk;
}

namespace {
int32_t DirListSubordinatesImpl(DirContext context, const std::string& objectName,
                                int32_t& iterationHandle, DirBuffer result) {
  const std::lock_guard lock(Lock());
  const Context* found = nullptr;
  Buffer* buffer = nullptr;
  if (const int32_t code = FindBatchTarget(context, result, found, buffer); code != kDirOk)
    return code;
  if (iterationHandle == -1) {
    const auto name = ResolveName(*found, objectName);
    if (!name)
      return kDirInvalidObjectName;
    Iteration iteration;
    iteration.kind = Iteration::Kind::kList;
    iteration.context = context;
    if (const int32_t code = ConnectionOf(*found).store->ListChildren(*name, iteration.cursor);
        code != kDirOk) {
      return code;
    }
    iterationHandle = RegisterIteration(std::move(iteration));
  }
  Iteration* iteration = ContinuedIteration(iterationHandle, Iteration::Kind::kList, context);
  if (iteration == nullptr)
    return kDirInvalidHandle;
  return FillObjectBatch(*found, *buffer, *iteration, iterationHandle);
}
}  // namespace

int32_t DirGetObjectCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kObjects, [&](const Buffer& found) {
    count = found.count;
    return kDirOk;
  });
}

int32_t DirGetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                         uint32_t& attributeCount, DirObjectInfo& info) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kObjects, [&](Buffer& found) {
    if (found.consumed >= found.count)
      return kDirBufferEmpty;
    size_t at = found.cursor;
    info.flags = GetU32(found, at);
    info.subordinateCount = GetU32(found, at + 4);
    info.modificationTime = GetU32(found, at + 8);
    attributeCount = GetU32(found, at + 12);
    at += 16;
    name = GetText(found, at);
    info.baseClass = GetText(found, at);
    found.cursor = at;
    ++found.consumed;
    return kDirOk;
  });
}

// Filters and search --------------------------------------------------------------------------

int32_t DirAllocFilter(DirFilter& filter) {
  const std::lock_guard lock(Lock());
  filter = NextHandle(kFilterTag);
  State().filters.emplace(filter, Filter());
  return kDirOk;
}

int32_t DirAddFilterToken(DirFilter filter, int token, DirFilterValue value, uint32_t syntax) {
  const std::lock_guard lock(Lock());
  const auto found = State().filters.find(filter);
  if (found == State().filters.end())
    return kDirInvalidHandle;
  Filter& state = found->second;
  FilterToken added{token, std::move(value), syntax};
  const Filter::Expect before = state.expect;
  const int depthBefore = state.depth;
  if (const int32_t code = AcceptToken(state, added); code != kDirOk) {
    state.expect = before;
    state.depth = depthBefore;
    return code;
  }
  state.bytes += TokenBytes(added);
  state.tokens.push_back(std::move(added));
  return kDirOk;
}

int32_t DirFreeFilter(DirFilter filter, std::nullptr_t /*freeValue*/) {
  const std::lock_guard lock(Lock());
  return State().filters.erase(filter) == 0 ? kDirInvalidHandle : kDirOk;
}

int32_t DirPutFilter(DirContext context, DirBuffer buffer, DirFilter filter,
                     std::nullptr_t /*freeValue*/) {
  const std::lock_guard lock(Lock());
  const Context* foundContext = FindContext(context);
  if (foundContext == nullptr)
    return kDirBadContext;
  Buffer* foundBuffer = FindBuffer(buffer);
  if (foundBuffer == nullptr)
    return kDirInvalidHandle;
  const auto foundFilter = State().filters.find(filter);
  if (foundFilter == State().filters.end())
    return kDirInvalidHandle;
  if (foundBuffer->operation != kDirOperationSearchFilter)
    return kDirBadVerb;
  const Filter& state = foundFilter->second;
  const bool complete = state.expect == Filter::Expect::kDone ||
                        (state.expect == Filter::Expect::kConnective && state.depth == 0);
  if (state.tokens.empty() ||
      (state.tokens.size() == 1 && state.tokens.front().token == kFilterEnd)) {
    return kDirFilterTreeEmpty;
  }
  if (!complete)
    return kDirBadSyntax;
  if (state.bytes > foundBuffer->capacity)
    return kDirBufferFull;
  FilterNode root;
  if (const int32_t code = FilterBuilder(state.tokens, *foundContext).Build(root); code != kDirOk) {
    return code;
  }
  StartBatch(*foundBuffer, Buffer::Content::kFilter);
  foundBuffer->filter = std::move(root);
  State().filters.erase(foundFilter);
  return kDirOk;
}

int32_t DirGetSyntaxId(DirContext context, const std::string& attributeName, uint32_t& syntax) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const auto known = ConnectionOf(*found).store->SyntaxOf(attributeName);
  if (!known)
    return kDirNoSuchAttribute;
  syntax = *known;
  return kDirOk;
}

namespace {
int32_t DirSearchImpl(DirContext context, const std::string& baseName, int scope,
                      int /*searchAliases*/, DirBuffer filter, const DirTimeStamp& /*timeStamp*/,
                      int /*infoType*/, int /*allAttributes*/, std::nullptr_t /*attributeNames*/,
                      int32_t& iterationHandle, int /*countObjectsToSearch*/,
                      std::nullptr_t /*countObjectsSearched*/, DirBuffer result) {
  const std::lock_guard lock(Lock());
  const Context* found = nullptr;
  Buffer* resultBuffer = nullptr;
  if (const int32_t code = FindBatchTarget(context, result, found, resultBuffer); code != kDirOk)
    return code;
  const Buffer* filterBuffer = FindBuffer(filter);
  if (filterBuffer == nullptr)
    return kDirInvalidHandle;
  if (iterationHandle == -1) {
    if (filterBuffer->operation != kDirOperationSearchFilter)
      return kDirBadVerb;
    if (filterBuffer->content != Buffer::Content::kFilter)
      return kDirFilterTreeEmpty;
    if (scope < kDirScopeEntry || scope > kDirScopeSubtree)
      return kDirInvalidRequest;
    const auto name = ResolveName(*found, baseName);
    if (!name)
      return kDirInvalidObjectName;
    Iteration iteration;
    iteration.kind = Iteration::Kind::kSearch;
    iteration.context = context;
    if (const int32_t code = ConnectionOf(*found).store->Search(*name, scope, filterBuffer->filter,
                                                                iteration.cursor);
        code != kDirOk) {
      return code;
    }
    iterationHandle = RegisterIteration(std::move(iteration));
  }
  Iteration* iteration = ContinuedIteration(iterationHandle, Iteration::Kind::kSearch, context);
  if (iteration == nullptr)
    return kDirInvalidHandle;
  return FillObjectBatch(*found, *resultBuffer, *iteration, iterationHandle);
}
}  // namespace

// Attributes ----------------------------------------------------------------------------------

int32_t DirPutAttributeName(DirContext context, DirBuffer buffer,
                            const std::string& attributeName) {
  const std::lock_guard lock(Lock());
  if (FindContext(context) == nullptr)
    return kDirBadContext;
  Buffer* found = FindBuffer(buffer);
  if (found == nullptr)
    return kDirInvalidHandle;
  if (found->operation != kDirOperationRead ||
      (found->content != Buffer::Content::kEmpty && found->content != Buffer::Content::kRequest)) {
    return kDirBadVerb;
  }
  if (attributeName.empty())
    return kDirNoSuchAttribute;
  if (found->requestBytes + attributeName.size() + 1 + 4 > found->capacity)
    return kDirBufferFull;
  found->content = Buffer::Content::kRequest;
  found->names.push_back(attributeName);
  found->requestBytes += attributeName.size() + 1 + 4;
  return kDirOk;
}

namespace {
int32_t DirReadImpl(DirContext context, const std::string& objectName, int infoType,
                    int allAttributes, DirBuffer request, int32_t& iterationHandle,
                    DirBuffer result) {
  const std::lock_guard lock(Lock());
  const Context* found = nullptr;
  Buffer* resultBuffer = nullptr;
  if (const int32_t code = FindBatchTarget(context, result, found, resultBuffer); code != kDirOk)
    return code;
  if (iterationHandle == -1) {
    std::vector<std::string> names;
    if (allAttributes == 0) {
      const Buffer* requestBuffer = FindBuffer(request);
      if (requestBuffer == nullptr)
        return kDirInvalidHandle;
      if (requestBuffer->operation != kDirOperationRead ||
          requestBuffer->content != Buffer::Content::kRequest) {
        return kDirBadVerb;
      }
      names = requestBuffer->names;
    }
    if (infoType != 0 && infoType != 1)
      return kDirInvalidRequest;
    auto name = ResolveName(*found, objectName);
    if (!name)
      return kDirInvalidObjectName;
    if (const int32_t code = Dereference(*found, *name); code != kDirOk)
      return code;
    Store& store = *ConnectionOf(*found).store;
    std::vector<StoreAttribute> attributes;
    if (const int32_t code = store.ReadAttributes(*name, names, attributes); code != kDirOk) {
      return code;
    }
    Iteration iteration;
    iteration.kind = Iteration::Kind::kRead;
    iteration.context = context;
    iteration.infoType = infoType;
    ValueNaming naming;
    naming.nameText = [&](std::string_view dn) -> std::optional<std::string> {
      const auto parsed = ParseLdapDn(dn);
      if (!parsed)
        return std::nullopt;
      // The entry's own spelling, as a search through this context would give it.
      StoreEntry entry;
      if (store.GetEntryWithoutCount(*parsed, entry) == kDirOk)
        return NameText(*found, entry.name);
      return NameText(*found, *parsed);
    };
    naming.attributeName = [&](std::string_view attribute) {
      return store.AttributeName(attribute);
    };
    std::string error;
    for (const StoreAttribute& attribute : attributes) {
      AttributeRecords records;
      records.name = attribute.name;
      records.syntax = attribute.syntax;
      for (const std::string& value : attribute.values) {
        // A value that does not have its syntax's form is delivered as its bytes.
        auto record = EncodeValueRecord(attribute.syntax, attribute.name, value, naming, error);
        if (!record) {
          record = EncodeValueRecord(kSyntaxUnknown, attribute.name, value, naming, error);
        }
        records.records.push_back(std::move(*record));
      }
      iteration.attributes.push_back(std::move(records));
    }
    iterationHandle = RegisterIteration(std::move(iteration));
  }
  Iteration* iteration = ContinuedIteration(iterationHandle, Iteration::Kind::kRead, context);
  if (iteration == nullptr)
    return kDirInvalidHandle;
  return FillAttributeBatch(*resultBuffer, *iteration, iterationHandle);
}
}  // namespace

int32_t DirGetAttributeCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes, [&](const Buffer& found) {
    count = found.count;
    return kDirOk;
  });
}

int32_t DirGetAttributeName(DirContext context, DirBuffer buffer, std::string& name,
                            uint32_t& valueCount, uint32_t& syntax) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes, [&](Buffer& found) {
    // Values of the previous attribute that were not read are passed over.
    for (; found.valuesLeft > 0; --found.valuesLeft) {
      found.cursor += 4 + size_t{GetU32(found, found.cursor)};
    }
    if (found.consumed >= found.count)
      return kDirBufferEmpty;
    size_t at = found.cursor;
    name = GetText(found, at);
    syntax = GetU32(found, at);
    valueCount = GetU32(found, at + 4);
    found.cursor = at + 8;
    found.valuesLeft = valueCount;
    ++found.consumed;
    return kDirOk;
  });
}

int32_t DirComputeValueSize(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                            uint32_t& size) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes, [&](Buffer& found) {
    if (found.valuesLeft == 0)
      return kDirBufferEmpty;
    size = GetU32(found, found.cursor);
    return kDirOk;
  });
}

int32_t DirGetValue(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                    std::span<uint8_t> record) {
  return ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes, [&](Buffer& found) {
    if (found.valuesLeft == 0)
      return kDirBufferEmpty;
    const size_t size = GetU32(found, found.cursor);
    if (record.size() < size)
      return kDirInsufficientBuffer;
    const size_t start = found.cursor + 4;
    if (start + size > found.data.size())
      return kDirBufferEmpty;
    std::copy_n(found.data.begin() + static_cast<std::ptrdiff_t>(start), size, record.begin());
    found.cursor = start + size;
    --found.valuesLeft;
    return kDirOk;
  });
}

int32_t DirOpenStream(DirContext context, const std::string& objectName,
                      const std::string& attributeName, int /*flags*/, int& handle) {
  const std::lock_guard lock(Lock());
  const Context* found = FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  auto name = ResolveName(*found, objectName);
  if (!name)
    return kDirInvalidObjectName;
  if (const int32_t code = Dereference(*found, *name); code != kDirOk)
    return code;
  std::string bytes;
  if (const int32_t code = ConnectionOf(*found).store->ReadStream(*name, attributeName, bytes);
      code != kDirOk) {
    return code;
  }
  const int fd = memfd_create("orvane-stream", MFD_CLOEXEC);
  if (fd < 0)
    return kDirNotEnoughMemory;
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      close(fd);
      return kDirNotEnoughMemory;
    }
    written += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return kDirNotEnoughMemory;
  }
  handle = fd;
  return kDirOk;
}

// A failed call always ends its iteration: callers loop while the handle is not -1, whatever
// the code, so a handle left alive after a failure would keep them reading for ever.
int32_t DirListSubordinates(DirContext context, const std::string& objectName,
                            int32_t& iterationHandle, DirBuffer result) {
  const int32_t code = DirListSubordinatesImpl(context, objectName, iterationHandle, result);
  if (code != kDirOk)
    EndIteration(iterationHandle);
  return code;
}

int32_t DirSearch(DirContext context, const std::string& baseName, int scope, int searchAliases,
                  DirBuffer filter, const DirTimeStamp& timeStamp, int infoType, int allAttributes,
                  std::nullptr_t attributeNames, int32_t& iterationHandle, int countObjectsToSearch,
                  std::nullptr_t countObjectsSearched, DirBuffer result) {
  const int32_t code = DirSearchImpl(context, baseName, scope, searchAliases, filter, timeStamp,
                                     infoType, allAttributes, attributeNames, iterationHandle,
                                     countObjectsToSearch, countObjectsSearched, result);
  if (code != kDirOk)
    EndIteration(iterationHandle);
  return code;
}

int32_t DirRead(DirContext context, const std::string& objectName, int infoType, int allAttributes,
                DirBuffer request, int32_t& iterationHandle, DirBuffer result) {
  const int32_t code =
      DirReadImpl(context, objectName, infoType, allAttributes, request, iterationHandle, result);
  if (code != kDirOk)
    EndIteration(iterationHandle);
  return code;
}

// Error texts ---------------------------------------------------------------------------------

std::string NWstrerror(int32_t code) {
  const std::lock_guard lock(Lock());
  if (const auto stored = State().startupErrors.find(code); stored != State().startupErrors.end()) {
    return stored->second;
  }
  if (auto text = LdapErrorText(code))
    return *text;
  static const std::map<int32_t, const char*> kTexts = {
      {kDirNotEnoughMemory, "Not enough memory"},
      {kDirBadKey, "Unknown context key or a value of the wrong kind"},
      {kDirBadContext, "Unknown or freed context"},
      {kDirBufferFull, "The request does not fit its buffer"},
      {kDirBadSyntax, "Filter token out of place"},
      {kDirBufferEmpty, "No further entries in the buffer"},
      {kDirBadVerb, "Buffer prepared for another operation"},
      {kDirFilterTreeEmpty, "Empty filter"},
      {kDirInvalidObjectName, "Invalid object name"},
      {kDirInvalidHandle, "Unknown or freed handle"},
      {kDirInvalidFilter, "Invalid filter"},
      {kDirNoSuchTree, "No connection to that tree"},
      {kDirNoSuchEntry, "No such entry"},
      {kDirNoSuchValue, "No such value"},
      {kDirNoSuchAttribute, "No such attribute"},
      {kDirInvalidRequest, "Invalid request"},
      {kDirInsufficientBuffer, "Insufficient buffer"},
      {kDirClientNotStarted, "The directory client could not be started"},
      {kDirNoConnection, "No such connection"},
      {kDirNoMoreConnections, "No more connections"},
      {kDirConfigMalformed, "The connections file cannot be read"},
      {kDirSourceUnreadable, "A connection's source cannot be read"},
      {kDirSourceUnknown, "A connection's source is of an unknown kind"},
      {kDirInvalidParameter, "Invalid parameter"},
  };
  const auto found = kTexts.find(code);
  return found == kTexts.end() ? "Unknown error" : found->second;
}
