#include "directory/client/dir_session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <unordered_set>
#include <utility>

#include "directory/client/batch_codec.h"
#include "directory/client/builtin_schema.h"
#include "directory/client/connections.h"
#include "directory/client/filter_grammar.h"
#include "directory/client/name_resolver.h"
#include "directory/client/store_factory.h"
#include "directory/client/value_codec.h"
#include "util/secrets.h"
#include "util/unique_fd.h"

namespace {

constexpr uint32_t kContextTag = 0x10000000;
constexpr uint32_t kBufferTag = 0x20000000;
constexpr uint32_t kFilterTag = 0x30000000;
constexpr uint32_t kConnectionTag = 0x40000000;
constexpr uint32_t kHandleCounterMask = 0x0FFFFFFF;
constexpr uint32_t kMinBufferSize = 64;
constexpr uint32_t kMaxBufferSize = 64512;
constexpr size_t kMaxLiveIterations = 1024;

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
  // kObjects, kAttributes: the batch as bytes (batch_codec.h), read front to back.
  std::vector<uint8_t> data;
  size_t cursor = 0;
  uint32_t count = 0;
  uint32_t consumed = 0;
  uint32_t valuesLeft = 0;  // of the attribute last named
};

struct AttributeRecords {
  std::string name;
  uint32_t syntax = 0;
  std::vector<std::vector<uint8_t>> records;
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

// Handles are never reused within a run, not even by a later session, so a stale one cannot
// reach a newer object.
uint32_t NextHandle(uint32_t tag) {
  static std::atomic<uint32_t> counter = 0;
  uint32_t next = 0;
  uint32_t current = counter.load();
  do {
    next = (current + 1) & kHandleCounterMask;
    if (next == 0)
      next = 1;
  } while (!counter.compare_exchange_weak(current, next));
  return tag | next;
}

int32_t NextIterationHandle() {
  static std::atomic<int32_t> counter = 0;
  int32_t next = 0;
  int32_t current = counter.load();
  do {
    next = current == INT32_MAX ? 1 : current + 1;
  } while (!counter.compare_exchange_weak(current, next));
  return next;
}

void StartBatch(Buffer& buffer, Buffer::Content content) {
  buffer.content = content;
  buffer.data.clear();
  buffer.cursor = 0;
  buffer.count = 0;
  buffer.consumed = 0;
  buffer.valuesLeft = 0;
}

bool Typeless(const Context& context) {
  return (context.flags & kDirFlagTypeless) != 0;
}

// Whether names inside values are written as their entries spell them, which costs a lookup of
// each named entry, rather than as the values spell them.
bool EntriesSpellValueNames(const Context& context) {
  return (context.flags & kDirFlagNamesAsWritten) == 0;
}

// Fills the buffer with attribute values; an attribute cut by the end of the buffer continues
// in the next batch under its name again. `done` is set once the last value is in. A value that
// no batch can hold ends the read with kDirInsufficientBuffer, and `fault` says how large it is.
int32_t FillAttributeBatch(Buffer& buffer, Iteration& iteration, bool& done, std::string& fault) {
  StartBatch(buffer, Buffer::Content::kAttributes);
  while (iteration.attribute < iteration.attributes.size()) {
    const AttributeRecords& attribute = iteration.attributes[iteration.attribute];
    const size_t header = AttributeHeaderSize(attribute.name);
    const bool namesOnly = iteration.infoType == 0;
    const size_t firstValue = namesOnly || attribute.records.empty()
                                  ? 0
                                  : ValueSize(attribute.records[iteration.value].size());
    if (header + firstValue > buffer.capacity) {
      if (buffer.count > 0)
        return kDirOk;
      StartBatch(buffer, Buffer::Content::kAttributes);
      done = true;
      fault = "Insufficient buffer: a value of " + attribute.name + " takes " +
              std::to_string(header + firstValue) + " bytes of a read buffer, which holds " +
              std::to_string(buffer.capacity);
      return kDirInsufficientBuffer;
    }
    if (buffer.data.size() + header + firstValue > buffer.capacity)
      return kDirOk;
    const size_t countAt =
        PutAttributeHeader(buffer.data, AttributeHeader{attribute.name, attribute.syntax, 0});
    ++buffer.count;
    uint32_t written = 0;
    if (!namesOnly) {
      while (iteration.value < attribute.records.size()) {
        const std::vector<uint8_t>& value = attribute.records[iteration.value];
        if (buffer.data.size() + ValueSize(value.size()) > buffer.capacity)
          break;
        PutValue(buffer.data, value);
        ++written;
        ++iteration.value;
      }
    }
    SetU32(buffer.data, countAt, written);
    if (namesOnly || iteration.value >= attribute.records.size()) {
      ++iteration.attribute;
      iteration.value = 0;
    } else {
      return kDirOk;
    }
  }
  done = true;
  return kDirOk;
}

// The records of every value of `attributes`, names inside values written as a search through
// `context` on `store` would give them; `tails` is kept for the operation.
std::vector<AttributeRecords> ValueRecords(Store& store, const Context& context,
                                           const std::vector<StoreAttribute>& attributes,
                                           ValueNameTails& tails) {
  NameMemo memo;
  const auto nameText = [&](const DirName& name) {
    return NameText(store, name, context.nameContext, Typeless(context), &memo);
  };
  ValueNaming naming;
  naming.nameText = [&](std::string_view dn) -> std::optional<std::string> {
    if (!EntriesSpellValueNames(context))
      return DnNameText(store, dn, context.nameContext, Typeless(context), memo, tails);
    const auto parsed = ParseLdapDn(dn);
    if (!parsed)
      return std::nullopt;
    // The entry's own spelling, as a search through this context would give it.
    StoreEntry entry;
    if (store.GetEntryWithoutCount(*parsed, entry) == kDirOk)
      return nameText(entry.name);
    return nameText(*parsed);
  };
  naming.attributeName = [&](std::string_view attribute) { return store.AttributeName(attribute); };
  std::vector<AttributeRecords> all;
  all.reserve(attributes.size());
  std::string error;
  for (const StoreAttribute& attribute : attributes) {
    AttributeRecords records;
    records.name = attribute.name;
    records.syntax = attribute.syntax;
    records.records.reserve(attribute.values.size());
    bool fits = true;
    for (const std::string& value : attribute.values) {
      auto record = EncodeValueRecord(attribute.syntax, attribute.name, value, naming, error);
      if (!record) {
        fits = false;
        break;
      }
      records.records.push_back(std::move(*record));
    }
    if (!fits) {
      // A value that does not have its syntax's form is kept as it was written: the attribute
      // is delivered as text, or as an octet string when a value is no UTF-8 text, since a
      // reader takes every value of an attribute by the one syntax it names.
      const bool text = std::all_of(attribute.values.begin(), attribute.values.end(),
                                    [](const std::string& value) { return IsUtf8(value); });
      records.syntax = text ? kSyntaxCaseIgnoreString : kSyntaxOctetString;
      records.records.clear();
      for (const std::string& value : attribute.values)
        records.records.push_back(
            *EncodeValueRecord(records.syntax, attribute.name, value, naming, error));
    }
    all.push_back(std::move(records));
  }
  return all;
}

// A file descriptor to read `bytes` from once; nullopt when the system gives none.
std::optional<int> ReadOnceDescriptor(const std::string& bytes) {
  UniqueFd fd(memfd_create("orvane-stream", MFD_CLOEXEC));
  if (!fd.IsOpen())
    return std::nullopt;
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd.Get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return std::nullopt;
    written += static_cast<size_t>(n);
  }
  if (lseek(fd.Get(), 0, SEEK_SET) != 0)
    return std::nullopt;
  return fd.Release();
}

const std::map<int32_t, const char*>& ClientTexts() {
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
  return kTexts;
}

}  // namespace

struct DirSessionTables {
  std::vector<DirConnection> connections;
  std::optional<size_t> primary;
  std::map<DirContext, Context> contexts;
  std::map<DirBuffer, Buffer> buffers;
  std::map<DirFilter, FilterTokens> filters;
  std::map<int32_t, Iteration> iterations;
  std::map<int32_t, std::string> errorTexts;
  // By connection; emptied as each operation begins, since a live store's answers may change
  // between operations.
  std::map<size_t, ValueNameTails> valueNameTails;
  // By connection, emptied with valueNameTails: the parents of the names read.
  std::map<size_t, SharedParents> readParents;

  Context* FindContext(DirContext handle) {
    const auto found = contexts.find(handle);
    return found == contexts.end() ? nullptr : &found->second;
  }
  [[nodiscard]] const Context* FindContext(DirContext handle) const {
    const auto found = contexts.find(handle);
    return found == contexts.end() ? nullptr : &found->second;
  }

  Buffer* FindBuffer(DirBuffer handle) {
    const auto found = buffers.find(handle);
    return found == buffers.end() ? nullptr : &found->second;
  }

  // The filter a search filter buffer holds; nullptr for any other handle.
  const FilterNode* FilterIn(DirBuffer handle) {
    const Buffer* buffer = FindBuffer(handle);
    if (buffer == nullptr || buffer->operation != kDirOperationSearchFilter ||
        buffer->content != Buffer::Content::kFilter) {
      return nullptr;
    }
    return &buffer->filter;
  }

  const DirConnection& ConnectionOf(const Context& context) const {
    return connections[context.connection];
  }
  Store& StoreOf(const Context& context) const { return *ConnectionOf(context).store; }

  const DirConnection* ConnectionByReference(DirConnectionRef reference) const {
    if (reference == 0 || reference > connections.size())
      return nullptr;
    return &connections[reference - 1];
  }

  // `code` as the store gave it, its words for the failure kept for ErrorText.
  int32_t Reported(const Store& store, int32_t code) {
    if (code != kDirOk) {
      if (auto text = store.FailureText(code))
        errorTexts[code] = std::move(*text);
    }
    return code;
  }

  std::string NameText(const Context& context, const DirName& name,
                       NameMemo* memo = nullptr) const {
    return ::NameText(StoreOf(context), name, context.nameContext, Typeless(context), memo);
  }

  std::optional<DirName> ResolveName(const Context& context, std::string_view text) const {
    return ::ResolveName(StoreOf(context), text, context.nameContext);
  }

  // Follows aliases when the context asks for it.
  int32_t Dereference(const Context& context, DirName& name) {
    if ((context.flags & kDirFlagDerefAliases) == 0)
      return kDirOk;
    return Reported(StoreOf(context), ::Dereference(StoreOf(context), name));
  }

  // The buffer a reading call through `context` takes, holding `content`. The code tells an
  // unknown context, an unknown buffer, or one filled by another operation.
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

  // Runs `read` on the buffer a reading call through `context` takes, holding `content`; the
  // code of FindFilledBuffer when there is no such buffer, else read's code.
  template <typename ReadBuffer>
  int32_t ReadFilledBuffer(DirContext context, DirBuffer buffer, Buffer::Content content,
                           ReadBuffer read) {
    Buffer* found = nullptr;
    if (const int32_t code = FindFilledBuffer(context, buffer, content, found); code != kDirOk)
      return code;
    return read(*found);
  }

  // The context and the result buffer of a listing, search or read. The code tells an unknown
  // context or an unknown buffer.
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

  void DropIteration(int32_t& handle) {
    if (handle != -1)
      iterations.erase(handle);
    handle = -1;
  }

  // A failed call always ends its iteration: callers loop while the handle is not -1, whatever
  // the code, so a handle left alive after a failure would keep them reading for ever.
  int32_t EndOnFailure(int32_t code, int32_t& handle) {
    if (code != kDirOk)
      DropIteration(handle);
    return code;
  }

  // How many records the batch in `buffer` holds.
  int32_t BatchCount(DirContext context, DirBuffer buffer, Buffer::Content content,
                     uint32_t& count) {
    return ReadFilledBuffer(context, buffer, content, [&](const Buffer& found) {
      count = found.count;
      return kDirOk;
    });
  }

  int32_t RegisterIteration(Iteration iteration) {
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
    const auto found = iterations.find(handle);
    if (found == iterations.end() || found->second.kind != kind ||
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
          const int32_t status = Reported(StoreOf(context), iteration.cursor->Status());
          if (status != kDirOk && buffer.count > 0)
            return kDirOk;
          DropIteration(handle);
          return status;
        }
        iteration.pending = std::move(next);
      }
      const StoreEntry& entry = *iteration.pending;
      record.clear();
      PutObjectRecord(
          record, ObjectRecord{entry.flags, entry.subordinateCount, entry.modificationTime, 0,
                               NameText(context, entry.name, &iteration.names), entry.baseClass});
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

  // Starts an iteration of `kind` through `context` with `start` (which fills its cursor) when
  // the handle is -1, then fills the next batch of it.
  template <typename StartCursor>
  int32_t ObjectBatch(DirContext context, Iteration::Kind kind, int32_t& iterationHandle,
                      const Context& found, Buffer& buffer, StartCursor start) {
    if (iterationHandle == -1) {
      Iteration iteration;
      iteration.kind = kind;
      iteration.context = context;
      if (const int32_t code = start(iteration.cursor); code != kDirOk)
        return code;
      iterationHandle = RegisterIteration(std::move(iteration));
    }
    Iteration* iteration = ContinuedIteration(iterationHandle, kind, context);
    if (iteration == nullptr)
      return kDirInvalidHandle;
    return FillObjectBatch(found, buffer, *iteration, iterationHandle);
  }

  int32_t ListSubordinates(DirContext context, const std::string& objectName,
                           int32_t& iterationHandle, DirBuffer result) {
    const Context* found = nullptr;
    Buffer* buffer = nullptr;
    if (const int32_t code = FindBatchTarget(context, result, found, buffer); code != kDirOk)
      return code;
    return ObjectBatch(context, Iteration::Kind::kList, iterationHandle, *found, *buffer,
                       [&](std::unique_ptr<EntryCursor>& cursor) {
                         const auto name = ResolveName(*found, objectName);
                         if (!name)
                           return int32_t{kDirInvalidObjectName};
                         Store& store = StoreOf(*found);
                         return Reported(store, store.ListChildren(*name, cursor));
                       });
  }

  int32_t Search(DirContext context, const std::string& baseName, int scope, DirBuffer filter,
                 int32_t& iterationHandle, DirBuffer result) {
    const Context* found = nullptr;
    Buffer* resultBuffer = nullptr;
    if (const int32_t code = FindBatchTarget(context, result, found, resultBuffer); code != kDirOk)
      return code;
    const Buffer* filterBuffer = FindBuffer(filter);
    if (filterBuffer == nullptr)
      return kDirInvalidHandle;
    return ObjectBatch(context, Iteration::Kind::kSearch, iterationHandle, *found, *resultBuffer,
                       [&](std::unique_ptr<EntryCursor>& cursor) {
                         if (filterBuffer->operation != kDirOperationSearchFilter)
                           return int32_t{kDirBadVerb};
                         if (filterBuffer->content != Buffer::Content::kFilter)
                           return int32_t{kDirFilterTreeEmpty};
                         if (scope < kDirScopeEntry || scope > kDirScopeSubtree)
                           return int32_t{kDirInvalidRequest};
                         const auto name = ResolveName(*found, baseName);
                         if (!name)
                           return int32_t{kDirInvalidObjectName};
                         Store& store = StoreOf(*found);
                         return Reported(store,
                                         store.Search(*name, scope, filterBuffer->filter, cursor));
                       });
  }

  int32_t Read(DirContext context, const std::string& objectName, int infoType, int allAttributes,
               DirBuffer request, int32_t& iterationHandle, DirBuffer result) {
    const Context* found = nullptr;
    Buffer* resultBuffer = nullptr;
    if (const int32_t code = FindBatchTarget(context, result, found, resultBuffer); code != kDirOk)
      return code;
    // A read whose answer fits one batch, as most do, is never registered: it cannot push out
    // another caller's live iteration, and it costs no table entry.
    Iteration fresh;
    Iteration* iteration = &fresh;
    if (iterationHandle == -1) {
      static const std::vector<std::string> kAllAttributes;
      // The request's own names: no store call changes the handle tables.
      const std::vector<std::string>* names = &kAllAttributes;
      if (allAttributes == 0) {
        const Buffer* requestBuffer = FindBuffer(request);
        if (requestBuffer == nullptr)
          return kDirInvalidHandle;
        if (requestBuffer->operation != kDirOperationRead ||
            requestBuffer->content != Buffer::Content::kRequest) {
          return kDirBadVerb;
        }
        names = &requestBuffer->names;
      }
      if (infoType != 0 && infoType != 1)
        return kDirInvalidRequest;
      Store& store = StoreOf(*found);
      // An operation reads many entries of a few containers.
      auto name =
          ::ResolveName(store, objectName, found->nameContext, readParents[found->connection]);
      if (!name)
        return kDirInvalidObjectName;
      std::vector<StoreAttribute> attributes;
      // Read first: a store that learns the entry's class from the answer checks for an alias
      // without asking again, and only an alias is read a second time, as its object. A read
      // that found no entry, or no server, is the answer; the check would only repeat it.
      const DirName asked = *name;
      int32_t code = store.ReadAttributes(*name, *names, attributes);
      if (code != kDirOk && code != kDirNoSuchAttribute)
        return Reported(store, code);
      if (const int32_t followed = Dereference(*found, *name); followed != kDirOk)
        return followed;
      if (!SameName(asked, *name))
        code = store.ReadAttributes(*name, *names, attributes);
      if (Reported(store, code) != kDirOk)
        return code;
      fresh.kind = Iteration::Kind::kRead;
      fresh.context = context;
      fresh.infoType = infoType;
      fresh.attributes = ValueRecords(store, *found, attributes, valueNameTails[found->connection]);
    } else {
      iteration = ContinuedIteration(iterationHandle, Iteration::Kind::kRead, context);
      if (iteration == nullptr)
        return kDirInvalidHandle;
    }
    bool done = false;
    std::string fault;
    const int32_t code = FillAttributeBatch(*resultBuffer, *iteration, done, fault);
    // The size of the value that did not fit is this failure's only; no other failure with the
    // same code may show it.
    if (code == kDirInsufficientBuffer)
      errorTexts[code] = std::move(fault);
    else
      errorTexts.erase(kDirInsufficientBuffer);
    if (iteration == &fresh) {
      if (!done)
        iterationHandle = RegisterIteration(std::move(fresh));
    } else if (done) {
      DropIteration(iterationHandle);
    }
    return code;
  }
};

// What a client keeps besides its tables: the choices that outlive a shutdown (the connections
// file, the password provider) and what its start-up found.
struct DirSessionStartup {
  DirSessionStartup() = default;
  DirSessionStartup(const DirSessionStartup&) = delete;
  DirSessionStartup& operator=(const DirSessionStartup&) = delete;
  // Kept passwords are overwritten before their memory goes back to the allocator.
  ~DirSessionStartup() {
    ForgetLogins(logins);
    ForgetLogins(keptForNextStart);
  }

  static void ForgetLogins(KeptLogins& kept) {
    for (auto& [login, password] : kept)
      WipeText(password);
    kept.clear();
  }

  [[nodiscard]] std::string ConnectionsFile() const {
    return connectionsFile.empty() ? DefaultConnectionsFile() : connectionsFile;
  }

  bool started = false;
  // Set while DirClientInit runs: the password provider runs inside it, and whatever it calls
  // (a window message handled while its dialog is up) must get a code rather than a start-up
  // within the start-up.
  bool starting = false;
  std::string connectionsFile;  // chosen by the caller; empty = the default
  DirPasswordProvider passwords;
  std::vector<DirUnopenedConnection> unopened;  // by the running start-up
  std::vector<std::string> warnings;            // of the last start-up
  KeptLogins logins;                            // those of the running session
  KeptLogins keptForNextStart;  // those of the session before, for the next DirClientInit
};

DirSession::DirSession()
    : tables_(std::make_unique<DirSessionTables>()),
      startup_(std::make_unique<DirSessionStartup>()) {}

DirSession::DirSession(std::vector<DirConnection> connections, std::optional<size_t> primary)
    : DirSession() {
  Open(std::move(connections), primary);
  startup_->started = true;
}

// The interface is not movable; a session moves its state and leaves nothing behind.
DirSession::DirSession(DirSession&& other) noexcept
    : tables_(std::move(other.tables_)), startup_(std::move(other.startup_)) {}

DirSession& DirSession::operator=(DirSession&& other) noexcept {
  tables_ = std::move(other.tables_);
  startup_ = std::move(other.startup_);
  return *this;
}

DirSession::~DirSession() = default;

void DirSession::Open(std::vector<DirConnection> connections, std::optional<size_t> primary) {
  tables_->connections = std::move(connections);
  tables_->primary = primary;
}

// Start-up and shutdown -----------------------------------------------------------------------

uint16_t DirSession::DirClientInit(int reserved1, int reserved2) {
  if (reserved1 != 0 || reserved2 != 0)
    return kDirClientNotStarted;
  DirSessionStartup& startup = *startup_;
  if (startup.started)
    return kDirConnectionOk;
  if (startup.starting)
    return kDirClientNotStarted;  // called from within its own start-up
  // Cleared on every way out: a provider that throws must not leave the client unable to start.
  struct StartingFlag {
    explicit StartingFlag(bool& flag) : set(flag) { set = true; }
    ~StartingFlag() { set = false; }
    StartingFlag(const StartingFlag&) = delete;
    StartingFlag& operator=(const StartingFlag&) = delete;
    bool& set;
  };
  OpenedConnections opened;
  std::optional<StartupFailure> failure;
  {
    const StartingFlag starting(startup.starting);
    failure = OpenConnections(startup.ConnectionsFile(), startup.connectionsFile.empty(),
                              startup.passwords, opened, startup.keptForNextStart);
  }
  // Kept for this one start: a login the new connections did not make is forgotten, unless the
  // start failed and the user is to mend the file and start again.
  if (failure)
    opened.logins.merge(startup.keptForNextStart);
  DirSessionStartup::ForgetLogins(startup.keptForNextStart);
  DirSessionStartup::ForgetLogins(startup.logins);
  startup.logins = std::move(opened.logins);
  if (failure) {
    NoteError(failure->code, failure->text);
    return failure->code;
  }
  Open(std::move(opened.connections), opened.primary);
  startup.unopened = std::move(opened.unopened);
  startup.warnings = std::move(opened.warnings);
  startup.started = true;
  return kDirConnectionOk;
}

std::vector<DirUnopenedConnection> DirSession::DirClientUnopenedConnections() {
  return startup_->unopened;
}

void DirSession::DirClientUseConnectionsFile(const std::string& path) {
  startup_->connectionsFile = path;
}

std::string DirSession::DirClientConnectionsFile() {
  return startup_->ConnectionsFile();
}

std::vector<std::string> DirSession::DirClientWarnings() {
  return startup_->warnings;
}

void DirSession::DirClientSetPasswordProvider(DirPasswordProvider provider) {
  startup_->passwords = std::move(provider);
}

void DirSession::DirClientShutdown() {
  tables_ = std::make_unique<DirSessionTables>();
  DirSessionStartup& startup = *startup_;
  startup.unopened.clear();
  startup.warnings.clear();
  startup.started = false;
  DirSessionStartup::ForgetLogins(startup.logins);
  DirSessionStartup::ForgetLogins(startup.keptForNextStart);
}

void DirSession::DirClientShutdownKeepingLogins() {
  KeptLogins logins = std::move(startup_->logins);
  startup_->logins.clear();
  DirClientShutdown();
  startup_->keptForNextStart = std::move(logins);
}

void DirSession::DirClientBeginOperation() {
  tables_->valueNameTails.clear();
  tables_->readParents.clear();
  for (DirConnection& connection : tables_->connections)
    connection.store->BeginOperation();
}

// Connections ---------------------------------------------------------------------------------

uint16_t DirSession::DirGetPrimaryConnection(DirConnectionRef& reference) {
  if (!tables_->primary)
    return kDirNoConnection;
  reference = static_cast<DirConnectionRef>(*tables_->primary + 1);
  return kDirConnectionOk;
}

uint16_t DirSession::DirScanConnections(uint32_t& position, DirConnectionRef& reference) {
  if (position >= tables_->connections.size())
    return kDirNoMoreConnections;
  reference = position + 1;
  ++position;
  return kDirConnectionOk;
}

uint16_t DirSession::DirGetConnectionInfo(DirConnectionRef reference, int item, int bufferSize,
                                          std::string& value) {
  const DirConnection* connection = tables_->ConnectionByReference(reference);
  if (connection == nullptr)
    return kDirNoConnection;
  if (item != 4)
    return kDirInvalidParameter;
  std::string padded = connection->tree;
  if (padded.size() < kTreeNameWidth)
    padded.append(kTreeNameWidth - padded.size(), '_');
  if (bufferSize < 0 || padded.size() + 1 > static_cast<size_t>(bufferSize))
    return kDirInvalidParameter;
  value = padded;
  return kDirConnectionOk;
}

uint16_t DirSession::DirOpenConnection(DirConnectionRef reference, int mode, int reserved,
                                       DirConnectionHandle& handle) {
  if (tables_->ConnectionByReference(reference) == nullptr)
    return kDirNoConnection;
  if (reserved != 0 || mode < 0)
    return kDirInvalidParameter;
  handle = kConnectionTag | reference;
  return kDirConnectionOk;
}

// Contexts ------------------------------------------------------------------------------------

int32_t DirSession::DirCreateContext(DirContext& context) {
  if (tables_->connections.empty())
    return kDirNoSuchTree;
  Context created;
  created.connection = tables_->primary.value_or(0);
  created.nameContext = tables_->connections[created.connection].context;
  context = NextHandle(kContextTag);
  tables_->contexts.emplace(context, std::move(created));
  return kDirOk;
}

int32_t DirSession::DirDuplicateContext(DirContext context, DirContext& copy) {
  const Context* original = tables_->FindContext(context);
  if (original == nullptr)
    return kDirBadContext;
  Context duplicate = *original;
  copy = NextHandle(kContextTag);
  tables_->contexts.emplace(copy, std::move(duplicate));
  return kDirOk;
}

int32_t DirSession::DirFreeContext(DirContext context) {
  if (tables_->contexts.erase(context) == 0)
    return kDirBadContext;
  auto& iterations = tables_->iterations;
  for (auto it = iterations.begin(); it != iterations.end();)
    it = it->second.context == context ? iterations.erase(it) : std::next(it);
  return kDirOk;
}

int32_t DirSession::DirGetContextValue(DirContext context, int key, uint32_t& value) {
  const Context* found = tables_->FindContext(context);
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

int32_t DirSession::DirGetContextValue(DirContext context, int key, std::string& value) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyNameContext) {
    value = NameText(tables_->StoreOf(*found), found->nameContext, DirName(), Typeless(*found));
  } else if (key == kDirKeyTreeName) {
    value = tables_->ConnectionOf(*found).tree;
  } else {
    return kDirBadKey;
  }
  return kDirOk;
}

int32_t DirSession::DirSetContextValue(DirContext context, int key, uint32_t value) {
  Context* found = tables_->FindContext(context);
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

int32_t DirSession::DirSetContextValue(DirContext context, int key, const std::string& value) {
  Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (key == kDirKeyNameContext) {
    const auto name = ResolveComplete(tables_->StoreOf(*found), value);
    if (!name)
      return kDirInvalidObjectName;
    found->nameContext = *name;
    return kDirOk;
  }
  if (key == kDirKeyTreeName) {
    const auto unpadded = [](std::string_view tree) {
      while (!tree.empty() && tree.back() == '_')
        tree.remove_suffix(1);
      return tree;
    };
    const std::string_view wanted = unpadded(value);
    const auto& connections = tables_->connections;
    for (size_t i = 0; i < connections.size(); ++i) {
      if (!wanted.empty() && EqualsIgnoringCase(unpadded(connections[i].tree), wanted)) {
        found->connection = i;
        found->nameContext = connections[i].context;
        return kDirOk;
      }
    }
    return kDirNoSuchTree;
  }
  return kDirBadKey;
}

int32_t DirSession::DirGetDefaultNameContext(DirContext context, int bufferSize,
                                             std::string& name) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const DirName& defaultContext = tables_->ConnectionOf(*found).context;
  const std::string text =
      defaultContext.empty()
          ? std::string()
          : NameText(tables_->StoreOf(*found), defaultContext, DirName(), Typeless(*found));
  if (bufferSize < 0 || text.size() + 1 > static_cast<size_t>(bufferSize))
    return kDirInsufficientBuffer;
  name = text;
  return kDirOk;
}

int32_t DirSession::DirWhoAmI(DirContext context, std::string& name) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const auto& user = tables_->ConnectionOf(*found).user;
  if (!user)
    return kDirNoSuchEntry;
  name = tables_->NameText(*found, *user);
  return kDirOk;
}

// Buffers and results -------------------------------------------------------------------------

int32_t DirSession::DirAllocBuffer(uint32_t size, DirBuffer& buffer) {
  if (size < kMinBufferSize)
    return kDirInsufficientBuffer;
  if (size > kMaxBufferSize)
    return kDirNotEnoughMemory;
  Buffer created;
  // The bytes grow with the batch: a read's answer is mostly far below the capacity, and a
  // buffer of the full size allocated and freed for every read costs more than the read.
  created.capacity = size;
  buffer = NextHandle(kBufferTag);
  tables_->buffers.emplace(buffer, std::move(created));
  return kDirOk;
}

int32_t DirSession::DirFreeBuffer(DirBuffer buffer) {
  return tables_->buffers.erase(buffer) == 0 ? kDirInvalidHandle : kDirOk;
}

int32_t DirSession::DirInitBuffer(DirContext context, int operation, DirBuffer buffer) {
  if (tables_->FindContext(context) == nullptr)
    return kDirBadContext;
  Buffer* found = tables_->FindBuffer(buffer);
  if (found == nullptr)
    return kDirInvalidHandle;
  if (operation != kDirOperationRead && operation != kDirOperationSearchFilter)
    return kDirInvalidRequest;
  StartBatch(*found, Buffer::Content::kEmpty);
  found->operation = operation;
  found->names.clear();
  found->requestBytes = 0;
  found->filter = FilterNode();
  return kDirOk;
}

int32_t DirSession::DirListSubordinates(DirContext context, const std::string& objectName,
                                        int32_t& iterationHandle, DirBuffer result) {
  return tables_->EndOnFailure(
      tables_->ListSubordinates(context, objectName, iterationHandle, result), iterationHandle);
}

int32_t DirSession::DirGetObjectCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return tables_->BatchCount(context, buffer, Buffer::Content::kObjects, count);
}

int32_t DirSession::DirGetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                                     uint32_t& attributeCount, DirObjectInfo& info) {
  return tables_->ReadFilledBuffer(context, buffer, Buffer::Content::kObjects, [&](Buffer& found) {
    if (found.consumed >= found.count)
      return kDirBufferEmpty;
    ObjectRecord record = GetObjectRecord(found.data, found.cursor);
    info.flags = record.flags;
    info.subordinateCount = record.subordinateCount;
    info.modificationTime = record.modificationTime;
    attributeCount = record.attributeCount;
    name = std::move(record.name);
    info.baseClass = std::move(record.baseClass);
    ++found.consumed;
    return kDirOk;
  });
}

// Filters and search --------------------------------------------------------------------------

int32_t DirSession::DirAllocFilter(DirFilter& filter) {
  filter = NextHandle(kFilterTag);
  tables_->filters.emplace(filter, FilterTokens());
  return kDirOk;
}

int32_t DirSession::DirAddFilterToken(DirFilter filter, int token, DirFilterValue value,
                                      uint32_t syntax) {
  const auto found = tables_->filters.find(filter);
  if (found == tables_->filters.end())
    return kDirInvalidHandle;
  return found->second.Add(FilterToken{token, std::move(value), syntax});
}

int32_t DirSession::DirFreeFilter(DirFilter filter, std::nullptr_t /*freeValue*/) {
  return tables_->filters.erase(filter) == 0 ? kDirInvalidHandle : kDirOk;
}

int32_t DirSession::DirPutFilter(DirContext context, DirBuffer buffer, DirFilter filter,
                                 std::nullptr_t /*freeValue*/) {
  const Context* foundContext = tables_->FindContext(context);
  if (foundContext == nullptr)
    return kDirBadContext;
  Buffer* foundBuffer = tables_->FindBuffer(buffer);
  if (foundBuffer == nullptr)
    return kDirInvalidHandle;
  const auto foundFilter = tables_->filters.find(filter);
  if (foundFilter == tables_->filters.end())
    return kDirInvalidHandle;
  if (foundBuffer->operation != kDirOperationSearchFilter)
    return kDirBadVerb;
  const FilterTokens& tokens = foundFilter->second;
  if (const int32_t code = tokens.Finished(); code != kDirOk)
    return code;
  if (tokens.Bytes() > foundBuffer->capacity)
    return kDirBufferFull;
  Store& store = tables_->StoreOf(*foundContext);
  FilterNaming naming;
  naming.attributeName = [&](std::string_view attribute) { return store.AttributeName(attribute); };
  naming.nameValue = [&](std::string_view text) -> std::optional<std::string> {
    const auto name = tables_->ResolveName(*foundContext, text);
    if (!name)
      return std::nullopt;
    return LdapDnText(*name);
  };
  FilterNode root;
  if (const int32_t code = BuildFilterTree(tokens, naming, root); code != kDirOk)
    return code;
  StartBatch(*foundBuffer, Buffer::Content::kFilter);
  foundBuffer->filter = std::move(root);
  tables_->filters.erase(foundFilter);
  return kDirOk;
}

int32_t DirSession::DirGetSyntaxId(DirContext context, const std::string& attributeName,
                                   uint32_t& syntax) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  const auto known = tables_->StoreOf(*found).SyntaxOf(attributeName);
  if (!known)
    return kDirNoSuchAttribute;
  syntax = *known;
  return kDirOk;
}

int32_t DirSession::DirSearch(DirContext context, const std::string& baseName, int scope,
                              int /*searchAliases*/, DirBuffer filter,
                              const DirTimeStamp& /*timeStamp*/, int /*infoType*/,
                              int /*allAttributes*/, std::nullptr_t /*attributeNames*/,
                              int32_t& iterationHandle, int /*countObjectsToSearch*/,
                              std::nullptr_t /*countObjectsSearched*/, DirBuffer result) {
  return tables_->EndOnFailure(
      tables_->Search(context, baseName, scope, filter, iterationHandle, result), iterationHandle);
}

// Attributes ----------------------------------------------------------------------------------

int32_t DirSession::DirPutAttributeName(DirContext context, DirBuffer buffer,
                                        const std::string& attributeName) {
  if (tables_->FindContext(context) == nullptr)
    return kDirBadContext;
  Buffer* found = tables_->FindBuffer(buffer);
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
  // A request names a handful of attributes; room for them from the first spares regrowing.
  constexpr size_t kUsualRequestNames = 8;
  if (found->names.empty())
    found->names.reserve(kUsualRequestNames);
  found->names.push_back(attributeName);
  found->requestBytes += attributeName.size() + 1 + 4;
  return kDirOk;
}

int32_t DirSession::DirRead(DirContext context, const std::string& objectName, int infoType,
                            int allAttributes, DirBuffer request, int32_t& iterationHandle,
                            DirBuffer result) {
  return tables_->EndOnFailure(
      tables_->Read(context, objectName, infoType, allAttributes, request, iterationHandle, result),
      iterationHandle);
}

int32_t DirSession::DirGetAttributeCount(DirContext context, DirBuffer buffer, uint32_t& count) {
  return tables_->BatchCount(context, buffer, Buffer::Content::kAttributes, count);
}

int32_t DirSession::DirGetAttributeName(DirContext context, DirBuffer buffer, std::string& name,
                                        uint32_t& valueCount, uint32_t& syntax) {
  return tables_->ReadFilledBuffer(
      context, buffer, Buffer::Content::kAttributes, [&](Buffer& found) {
        // Values of the previous attribute that were not read are passed over.
        for (; found.valuesLeft > 0; --found.valuesLeft)
          SkipValue(found.data, found.cursor);
        if (found.consumed >= found.count)
          return kDirBufferEmpty;
        AttributeHeader header = GetAttributeHeader(found.data, found.cursor);
        name = std::move(header.name);
        syntax = header.syntax;
        valueCount = header.valueCount;
        found.valuesLeft = valueCount;
        ++found.consumed;
        return kDirOk;
      });
}

int32_t DirSession::DirComputeValueSize(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                                        uint32_t& size) {
  return tables_->ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes,
                                   [&](Buffer& found) {
                                     if (found.valuesLeft == 0)
                                       return kDirBufferEmpty;
                                     size = GetU32(found.data, found.cursor);
                                     return kDirOk;
                                   });
}

int32_t DirSession::DirGetValue(DirContext context, DirBuffer buffer, uint32_t /*syntax*/,
                                std::span<uint8_t> record) {
  return tables_->ReadFilledBuffer(context, buffer, Buffer::Content::kAttributes,
                                   [&](Buffer& found) {
                                     if (found.valuesLeft == 0)
                                       return kDirBufferEmpty;
                                     if (record.size() < GetU32(found.data, found.cursor))
                                       return kDirInsufficientBuffer;
                                     const auto value = ::GetValue(found.data, found.cursor);
                                     if (!value)
                                       return kDirBufferEmpty;
                                     std::copy(value->begin(), value->end(), record.begin());
                                     --found.valuesLeft;
                                     return kDirOk;
                                   });
}

int32_t DirSession::DirReadAhead(DirContext context, const std::vector<std::string>& objectNames,
                                 const std::vector<std::string>& attributeNames) {
  return ReadAhead(context, objectNames, attributeNames, nullptr, 0);
}

int32_t DirSession::DirReadAheadWithin(DirContext context,
                                       const std::vector<std::string>& objectNames,
                                       const std::vector<std::string>& attributeNames,
                                       const std::string& baseName, DirBuffer filter) {
  return ReadAhead(context, objectNames, attributeNames, &baseName, filter);
}

int32_t DirSession::ReadAhead(DirContext context, const std::vector<std::string>& objectNames,
                              const std::vector<std::string>& attributeNames,
                              const std::string* baseName, DirBuffer filter) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  Store& store = tables_->StoreOf(*found);
  if (!store.ReadsAhead())
    return kDirOk;
  // The names' containers are looked up together, level by level from the top, so that the
  // guesses below find their parts known instead of taking the defaults of names of no entry.
  constexpr int kMostLevels = 16;
  std::unordered_set<std::string> asked;
  for (int level = 0; level < kMostLevels; ++level) {
    std::vector<std::pair<DirName, NamePart>> unknown;
    std::string lastParent;
    for (const std::string& objectName : objectNames) {
      // Siblings come together and share their containers.
      size_t separator = 0;
      while (separator < objectName.size() && objectName[separator] != '.')
        separator += objectName[separator] == '\\' ? 2 : 1;
      const std::string_view parent =
          std::string_view(objectName).substr(std::min(separator, objectName.size()));
      if (parent == lastParent)
        continue;
      lastParent = parent;
      auto container = FirstUnknownContainer(store, objectName, found->nameContext);
      if (container &&
          asked.insert(FoldedDnKey(container->first) + "\n" + FoldCase(container->second.value))
              .second) {
        unknown.push_back(std::move(*container));
      }
    }
    if (unknown.empty())
      break;
    store.LearnChildren(unknown);
  }
  std::vector<DirName> names;
  names.reserve(objectNames.size());
  // Nothing is asked while the names are guessed: what the store knows stays as it is.
  SharedParents parents;
  for (const std::string& objectName : objectNames) {
    if (auto name = GuessName(store, objectName, found->nameContext, parents))
      names.push_back(std::move(*name));
  }
  // Resolved once the containers are known: the base holds the names, so its parts are among
  // them, and no lookup of its own goes out.
  std::optional<StoreSearch> within;
  if (baseName != nullptr) {
    const FilterNode* node = tables_->FilterIn(filter);
    auto base = tables_->ResolveName(*found, *baseName);
    if (base && node != nullptr)
      within = StoreSearch{std::move(*base), *node};
  }
  store.ReadAhead(names, attributeNames, EntriesSpellValueNames(*found),
                  within ? &*within : nullptr);
  return kDirOk;
}

int32_t DirSession::DirSearchAhead(DirContext context, const std::string& baseName, int scope,
                                   const std::vector<DirBuffer>& filters) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  if (scope < kDirScopeEntry || scope > kDirScopeSubtree)
    return kDirOk;
  std::vector<FilterNode> nodes;
  nodes.reserve(filters.size());
  for (const DirBuffer filter : filters) {
    const FilterNode* node = tables_->FilterIn(filter);
    if (node == nullptr)
      return kDirOk;
    nodes.push_back(*node);
  }
  if (const auto name = tables_->ResolveName(*found, baseName))
    tables_->StoreOf(*found).SearchAhead(*name, scope, nodes);
  return kDirOk;
}

int32_t DirSession::DirOpenStream(DirContext context, const std::string& objectName,
                                  const std::string& attributeName, int /*flags*/, int& handle) {
  const Context* found = tables_->FindContext(context);
  if (found == nullptr)
    return kDirBadContext;
  auto name = tables_->ResolveName(*found, objectName);
  if (!name)
    return kDirInvalidObjectName;
  if (const int32_t code = tables_->Dereference(*found, *name); code != kDirOk)
    return code;
  Store& store = tables_->StoreOf(*found);
  std::string bytes;
  if (const int32_t code = tables_->Reported(store, store.ReadStream(*name, attributeName, bytes));
      code != kDirOk) {
    return code;
  }
  const auto fd = ReadOnceDescriptor(bytes);
  if (!fd)
    return kDirNotEnoughMemory;
  handle = *fd;
  return kDirOk;
}

// Error texts ---------------------------------------------------------------------------------

void DirSession::NoteError(int32_t code, std::string text) {
  tables_->errorTexts[code] = std::move(text);
}

std::string DirSession::NWstrerror(int32_t code) {
  if (const auto noted = tables_->errorTexts.find(code); noted != tables_->errorTexts.end())
    return noted->second;
  const auto found = ClientTexts().find(code);
  return found == ClientTexts().end() ? "Unknown error" : found->second;
}
