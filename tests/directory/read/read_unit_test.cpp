// Every way out of the attribute reading: a scripted client standing in for the real one delivers
// chosen batches and fails chosen calls; each run must return the code the caller is
// owed, keep the entries it was entitled to, and leave no context, buffer or stream behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/client/value_record.h"
#include "directory/d_nw_read.h"
#include "tests/support/scripted_client.h"

namespace {

constexpr DirContext kCallerContext = 1;
constexpr uint32_t kCallerFlags = kDirFlagDerefAliases | kDirFlagTypeless;

struct ScriptedValue {
  std::vector<uint8_t> record;
  int32_t sizeCode = kDirOk;
  std::optional<uint32_t> reportedSize;  // the record's own size when not given
  int32_t getCode = kDirOk;
  bool getThrows = false;
};

// What one DirRead call delivers: its code, the iteration handle it leaves, and the attribute.
struct ScriptedBatch {
  int32_t code = kDirOk;
  int32_t nextHandle = -1;
  std::string name = "Description";
  uint32_t syntax = 3;
  std::vector<ScriptedValue> values;
  std::optional<uint32_t> valueCount;  // the number of values when not given
};

ScriptedValue Text(const std::string& text) {
  ScriptedValue value;
  value.record = ValueRecordWriter().Text(text).Take();
  return value;
}

ScriptedBatch Batch(std::vector<ScriptedValue> values, int32_t nextHandle = -1) {
  ScriptedBatch batch;
  batch.values = std::move(values);
  batch.nextHandle = nextHandle;
  return batch;
}

ScriptedBatch Failed(int32_t code, int32_t nextHandle) {
  ScriptedBatch batch;
  batch.code = code;
  batch.nextHandle = nextHandle;
  return batch;
}

ScriptedBatch StreamBatch(const std::string& name, int32_t nextHandle) {
  ScriptedBatch batch;
  batch.name = name;
  batch.syntax = 21;
  batch.nextHandle = nextHandle;
  return batch;
}

struct ReadClient : ScriptedClient {
  ReadClient() : ScriptedClient(kCallerContext) {}
  using ScriptedClient::DirGetContextValue;
  using ScriptedClient::DirSetContextValue;
  // The batches of successive DirRead calls; calls past the last repeat the last one.
  std::vector<ScriptedBatch> batches;
  // The stream DirOpenStream gives: its bytes, or a code, or a descriptor that cannot be read.
  std::string streamBytes;
  int32_t streamOpenCode = kDirOk;
  bool streamUnreadable = false;

  std::map<DirContext, uint32_t> contextFlags{{kCallerContext, kCallerFlags}};
  std::set<DirBuffer> readBuffers;  // prepared for operation 3
  size_t valueAt = 0;
  int reads = 0;
  std::vector<uint32_t> flagsAtRead;
  std::vector<std::string> attributeNamesPut;
  std::vector<std::string> streamsOpened;
  std::vector<DirContext> streamContexts;
  std::vector<int> streamHandles;

  bool LiveReadContext(DirContext context) const {
    return context != kCallerContext && liveContexts.contains(context);
  }
  ScriptedBatch& Current() { return batches[batch]; }

  void ContextDuplicated(DirContext context, DirContext copy) override {
    contextFlags[copy] = contextFlags[context];
  }

  int32_t DirFreeContext(DirContext context) override {
    EXPECT_NE(context, kCallerContext) << "the caller's context must stay";
    return ScriptedClient::DirFreeContext(context);
  }

  int32_t DirGetContextValue(DirContext context, int key, uint32_t& value) override {
    EXPECT_EQ(key, kDirKeyFlags);
    if (const int32_t code = Call("DirGetContextValue")) {
      return code;
    }
    EXPECT_TRUE(liveContexts.contains(context));
    value = contextFlags.at(context);
    return kDirOk;
  }

  int32_t DirSetContextValue(DirContext context, int key, uint32_t value) override {
    EXPECT_EQ(key, kDirKeyFlags);
    EXPECT_TRUE(LiveReadContext(context)) << "only the reading context may change";
    if (const int32_t code = Call("DirSetContextValue")) {
      return code;
    }
    contextFlags[context] = value;
    return kDirOk;
  }

  int32_t DirFreeBuffer(DirBuffer buffer) override {
    readBuffers.erase(buffer);
    return ScriptedClient::DirFreeBuffer(buffer);
  }

  int32_t DirInitBuffer(DirContext context, int operation, DirBuffer buffer) override {
    EXPECT_TRUE(LiveReadContext(context));
    EXPECT_EQ(operation, kDirOperationRead);
    EXPECT_TRUE(liveBuffers.contains(buffer));
    if (const int32_t code = Call("DirInitBuffer")) {
      return code;
    }
    readBuffers.insert(buffer);
    return kDirOk;
  }

  int32_t DirPutAttributeName(DirContext context, DirBuffer buffer,
                              const std::string& name) override {
    EXPECT_TRUE(LiveReadContext(context));
    EXPECT_TRUE(readBuffers.contains(buffer));
    EXPECT_EQ(liveBuffers[buffer], kReadRequestBufferSize);
    if (const int32_t code = Call("DirPutAttributeName")) {
      return code;
    }
    attributeNamesPut.push_back(name);
    return kDirOk;
  }

  int32_t DirRead(DirContext context, const std::string&, int infoType, int allAttributes,
                  DirBuffer request, int32_t& iterationHandle, DirBuffer result) override {
    EXPECT_TRUE(LiveReadContext(context));
    EXPECT_EQ(infoType, 1);
    EXPECT_EQ(allAttributes, 0);
    EXPECT_EQ(liveBuffers[request], kReadRequestBufferSize);
    EXPECT_TRUE(readBuffers.contains(result));
    EXPECT_EQ(liveBuffers[result], kReadResultBufferSize);
    flagsAtRead.push_back(contextFlags[context]);
    batch = std::min(static_cast<size_t>(reads), batches.size() - 1);
    valueAt = 0;
    ++reads;
    iterationHandle = Current().nextHandle;
    return Current().code;
  }

  int32_t DirGetAttributeCount(DirContext, DirBuffer, uint32_t& count) override {
    if (const int32_t code = Call("DirGetAttributeCount")) {
      return code;
    }
    count = 1;
    return kDirOk;
  }

  int32_t DirGetAttributeName(DirContext, DirBuffer, std::string& name, uint32_t& valueCount,
                              uint32_t& syntax) override {
    if (const int32_t code = Call("DirGetAttributeName")) {
      return code;
    }
    const ScriptedBatch& batch = Current();
    name = batch.name;
    syntax = batch.syntax;
    valueCount = batch.valueCount.value_or(static_cast<uint32_t>(batch.values.size()));
    return kDirOk;
  }

  int32_t DirComputeValueSize(DirContext, DirBuffer, uint32_t, uint32_t& size) override {
    ++calls["DirComputeValueSize"];
    const std::vector<ScriptedValue>& values = Current().values;
    if (valueAt >= values.size()) {
      return kDirBufferEmpty;
    }
    const ScriptedValue& value = values[valueAt];
    if (value.sizeCode != kDirOk) {
      ++valueAt;  // the value is passed over
      return value.sizeCode;
    }
    size = value.reportedSize.value_or(static_cast<uint32_t>(value.record.size()));
    if (size == 0) {
      ++valueAt;
    }
    return kDirOk;
  }

  int32_t DirGetValue(DirContext, DirBuffer, uint32_t, std::span<uint8_t> record) override {
    const ScriptedValue& value = Current().values.at(valueAt++);
    if (value.getThrows) {
      throw std::runtime_error("value record unusable");
    }
    if (value.getCode != kDirOk) {
      return value.getCode;
    }
    EXPECT_EQ(record.size(), value.record.size());
    std::copy(value.record.begin(), value.record.end(), record.begin());
    return kDirOk;
  }

  int32_t DirOpenStream(DirContext context, const std::string&, const std::string& attributeName,
                        int flags, int& handle) override {
    EXPECT_TRUE(liveContexts.contains(context));
    EXPECT_EQ(flags, 1);
    streamsOpened.push_back(attributeName);
    streamContexts.push_back(context);
    if (streamOpenCode != kDirOk) {
      return streamOpenCode;
    }
    if (streamUnreadable) {
      handle = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
      handle = memfd_create("read-test-stream", MFD_CLOEXEC);
      EXPECT_EQ(::write(handle, streamBytes.data(), streamBytes.size()),
                static_cast<ssize_t>(streamBytes.size()));
      EXPECT_EQ(::lseek(handle, 0, SEEK_SET), 0);
    }
    streamHandles.push_back(handle);
    return kDirOk;
  }
};

bool Closed(int handle) {
  return ::fcntl(handle, F_GETFD) == -1 && errno == EBADF;
}

// Checks that a run left nothing open but the caller's context, whose flags are untouched.
void ExpectNothingLeft(const ReadClient& scripted) {
  EXPECT_TRUE(scripted.EverythingGivenBack());
  EXPECT_EQ(scripted.contextFlags.at(kCallerContext), kCallerFlags);
  for (const int handle : scripted.streamHandles) {
    EXPECT_TRUE(Closed(handle)) << "stream handle " << handle;
  }
}

struct ReadCase {
  const char* name;
  std::vector<ScriptedBatch> batches;
  std::string failOperation;
  int failOnCall;
  int32_t failCode;
  int32_t code;
  std::vector<std::string> entries;
  int reads;
};

class ReadWaysOut : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadWaysOut, CodeEntriesAndNothingLeftBehind) {
  const ReadCase& c = GetParam();
  ReadClient scripted;
  scripted.batches = c.batches;
  scripted.Fail(c.failOperation, c.failOnCall, c.failCode);

  TStringList entries;
  entries.Add("kept");
  EXPECT_EQ(DSReadAttribute(scripted, kCallerContext, "Obj.Acme", "description", entries), c.code);
  std::vector<std::string> expected = {"kept"};
  expected.insert(expected.end(), c.entries.begin(), c.entries.end());
  EXPECT_EQ(entries.Texts(), expected);
  EXPECT_EQ(scripted.reads, c.reads);
  ExpectNothingLeft(scripted);
}

const ScriptedBatch kThree = Batch({Text("a"), Text("b"), Text("c")});
const std::vector<std::string> kAbc = {"a", "b", "c"};

// kThree with one value changed by `change`.
template <typename Change>
ScriptedBatch ThreeWith(size_t index, Change change) {
  ScriptedBatch batch = kThree;
  change(batch.values[index]);
  return batch;
}

ScriptedBatch ValueCount(ScriptedBatch batch, uint32_t count) {
  batch.valueCount = count;
  return batch;
}

const ReadCase kReadCases[] = {
    {"Complete", {kThree}, "", 0, 0, kDirOk, kAbc, 1},
    {"ValuesInTwoBatches",
     {Batch({Text("a"), Text("b")}, 7), Batch({Text("c")})},
     "",
     0,
     0,
     kDirOk,
     kAbc,
     2},
    {"DuplicateContext", {kThree}, "DirDuplicateContext", 1, kDirBadContext, kDirBadContext, {}, 0},
    {"RequestBuffer",
     {kThree},
     "DirAllocBuffer",
     1,
     kDirNotEnoughMemory,
     kDirNotEnoughMemory,
     {},
     0},
    {"ResultBuffer",
     {kThree},
     "DirAllocBuffer",
     2,
     kDirNotEnoughMemory,
     kDirNotEnoughMemory,
     {},
     0},
    {"PrepareRequest", {kThree}, "DirInitBuffer", 1, kDirBadVerb, kDirBadVerb, {}, 0},
    {"PrepareResult", {kThree}, "DirInitBuffer", 2, kDirBadVerb, kDirBadVerb, {}, 0},
    {"AttributeName", {kThree}, "DirPutAttributeName", 1, kDirBufferFull, kDirBufferFull, {}, 0},
    {"NoSuchAttribute", {Failed(kDirNoSuchAttribute, -1)}, "", 0, 0, kDirNoSuchAttribute, {}, 1},
    {"AttributeCount", {kThree}, "DirGetAttributeCount", 1, kDirBadVerb, kDirBadVerb, {}, 1},
    {"AttributeNameInBatch",
     {kThree},
     "DirGetAttributeName",
     1,
     kDirBufferEmpty,
     kDirBufferEmpty,
     {},
     1},
    // A value that cannot be had is skipped; the code is that of the last call.
    {"SizeOfMiddleValue",
     {ThreeWith(1, [](ScriptedValue& v) { v.sizeCode = kDirNoSuchValue; })},
     "",
     0,
     0,
     kDirOk,
     {"a", "c"},
     1},
    {"SizeOfLastValue",
     {ThreeWith(2, [](ScriptedValue& v) { v.sizeCode = kDirNoSuchValue; })},
     "",
     0,
     0,
     kDirNoSuchValue,
     {"a", "b"},
     1},
    {"FetchOfFirstValue",
     {ThreeWith(0, [](ScriptedValue& v) { v.getCode = kDirInsufficientBuffer; })},
     "",
     0,
     0,
     kDirOk,
     {"b", "c"},
     1},
    {"EmptyValueRecord",
     {ThreeWith(1, [](ScriptedValue& v) { v.reportedSize = 0; })},
     "",
     0,
     0,
     kDirOk,
     {"a", "c"},
     1},
    {"ValueRecordLargerThanAnyBatch",
     {ThreeWith(2, [](ScriptedValue& v) { v.reportedSize = 0xFFFFFFF0u; })},
     "",
     0,
     0,
     kDirInsufficientBuffer,
     {"a", "b"},
     1},
    // An error raised while a value is handled becomes an entry of its own.
    {"ValueRaisesError",
     {ThreeWith(1, [](ScriptedValue& v) { v.getThrows = true; })},
     "",
     0,
     0,
     kDirOk,
     {"a", "value record unusable", "c"},
     1},
    // A value count the batch does not hold ends at its last value instead of spinning.
    {"ValueCountPastTheBatch",
     {ValueCount(Batch({Text("a")}), 0xFFFFFFFFu)},
     "",
     0,
     0,
     kDirBufferEmpty,
     {"a"},
     1},
    // After a failed batch the reading goes on while the client keeps the iteration open.
    {"FailedBatchInTheMiddle",
     {Batch({Text("a")}, 7), Failed(-635, 7), Batch({Text("c")})},
     "",
     0,
     0,
     kDirOk,
     {"a", "c"},
     3},
    // A client that never ends a failed iteration cannot hold the loop.
    {"IterationNeverEnds",
     {Batch({Text("a")}, 7), Failed(-635, 7)},
     "",
     0,
     0,
     -635,
     {"a"},
     1 + kMaxFailedBatchesInRow},
    // A positive code ends the reading whatever the iteration handle says.
    {"PositiveCode", {Failed(0x8801, 7)}, "", 0, 0, 0x8801, {}, 1},
};

INSTANTIATE_TEST_SUITE_P(Read, ReadWaysOut, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) {
                           return info.param.name;
                         });

TEST(ReadAttribute, AliasesAreNotFollowedOnlyForTheAliasAttribute) {
  struct Case {
    const char* attribute;
    uint32_t flagsAtRead;
  };
  const Case cases[] = {
      {"ALIASED OBJECT NAME", kDirFlagTypeless}, {"Aliased Object Name", kDirFlagTypeless},
      {"aliased object name", kDirFlagTypeless}, {"Aliased Object Names", kCallerFlags},
      {"Aliased  Object Name", kCallerFlags},    {"Description", kCallerFlags},
  };
  for (const Case& c : cases) {
    ReadClient scripted;
    scripted.batches = {kThree};
    TStringList entries;
    EXPECT_EQ(DSReadAttribute(scripted, kCallerContext, "Alias.Acme", c.attribute, entries),
              kDirOk);
    EXPECT_EQ(scripted.flagsAtRead, std::vector<uint32_t>{c.flagsAtRead}) << c.attribute;
    EXPECT_EQ(scripted.attributeNamesPut, std::vector<std::string>{c.attribute});
    ExpectNothingLeft(scripted);
  }
}

TEST(ReadAttribute, AliasFlagsThatCannotBeChangedStopTheRead) {
  // Reading on would give the value of the object the alias points to.
  for (const char* operation : {"DirGetContextValue", "DirSetContextValue"}) {
    ReadClient scripted;
    scripted.batches = {kThree};
    scripted.failOperation = operation;
    scripted.failCode = kDirBadKey;
    TStringList entries;
    EXPECT_EQ(
        DSReadAttribute(scripted, kCallerContext, "Alias.Acme", "Aliased Object Name", entries),
        kDirBadKey)
        << operation;
    EXPECT_TRUE(entries.Empty());
    EXPECT_EQ(scripted.reads, 0);
    ExpectNothingLeft(scripted);
  }
}

TEST(ReadAttribute, StreamAttributeGivesOneEntry) {
  struct Case {
    const char* name;
    std::string bytes;
    int32_t openCode;
    bool unreadable;
    int32_t code;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"Readable",
       "line 1\r\nline 2\r\n",
       kDirOk,
       false,
       kDirOk,
       {"Stream (16 bytes):\r\nline 1\r\nline 2\r\n"}},
      {"Empty", "", kDirOk, false, kDirOk, {"Stream (0 bytes):\r\n"}},
      {"CannotOpen", "x", kDirNoSuchAttribute, false, kDirNoSuchAttribute, {}},
      {"CannotRead", "x", kDirOk, true, kStreamReadFailed, {}},
  };
  for (const Case& c : cases) {
    ReadClient scripted;
    // The stream's own name, as the client returns it, selects its form; the read ends even
    // though the client claims more batches, since a failed stream is a positive code.
    scripted.batches = {StreamBatch("Login Script", c.code == kStreamReadFailed ? 7 : -1)};
    scripted.streamBytes = c.bytes;
    scripted.streamOpenCode = c.openCode;
    scripted.streamUnreadable = c.unreadable;
    TStringList entries;
    EXPECT_EQ(DSReadAttribute(scripted, kCallerContext, "Obj.Acme", "login script", entries),
              c.code)
        << c.name;
    EXPECT_EQ(entries.Texts(), c.entries) << c.name;
    EXPECT_EQ(scripted.streamsOpened, std::vector<std::string>{"Login Script"}) << c.name;
    ASSERT_EQ(scripted.streamContexts.size(), 1u);
    EXPECT_NE(scripted.streamContexts[0], kCallerContext) << "streams open in the reading context";
    EXPECT_EQ(scripted.reads, 1) << c.name;
    ExpectNothingLeft(scripted);
  }
}

TEST(ReadAttributeText, JoinsEntriesAndDropsTrailingLineBreaks) {
  struct Case {
    const char* name;
    std::vector<ScriptedBatch> batches;
    int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {"ThreeValues", {kThree}, kDirOk, "a\r\nb\r\nc"},
      {"TrailingBreaksOfTheLastValue", {Batch({Text("a"), Text("b\r\n\n\r")})}, kDirOk, "a\r\nb"},
      {"BreaksInsideAndEmptyValuesInside",
       {Batch({Text("a\r\nb"), Text(""), Text("c")})},
       kDirOk,
       "a\r\nb\r\n\r\nc"},
      {"NoSuchAttribute", {Failed(kDirNoSuchAttribute, -1)}, kDirNoSuchAttribute, ""},
      {"PartialReadKeepsItsText",
       {Batch({Text("a")}, 7), Failed(kDirNoSuchEntry, -1)},
       kDirNoSuchEntry,
       "a"},
  };
  for (const Case& c : cases) {
    ReadClient scripted;
    scripted.batches = c.batches;
    std::string text = "left over";
    EXPECT_EQ(ReadAttributeText(scripted, kCallerContext, "Obj.Acme", "Description", text), c.code)
        << c.name;
    EXPECT_EQ(text, c.text) << c.name;
    ExpectNothingLeft(scripted);
  }
}

TEST(ReadStream, ReadsAtMostTheSizeAskedAndTheBuffer) {
  struct Case {
    size_t streamLength;
    size_t bufferLength;
    size_t sizeAsked;
    size_t sizeRead;
  };
  const Case cases[] = {
      {0, 10, 10, 0}, {9, 10, 10, 9},    {10, 10, 10, 10}, {11, 10, 10, 10},
      {11, 10, 5, 5}, {20, 10, 100, 10}, {20, 10, 0, 0},   {70000, 64512, 64512, 64512},
  };
  for (const Case& c : cases) {
    ReadClient scripted;
    scripted.streamBytes.resize(c.streamLength);
    for (size_t i = 0; i < c.streamLength; ++i) {
      scripted.streamBytes[i] = static_cast<char>('a' + i % 26);
    }
    // One guard byte past the buffer must never be written.
    std::vector<uint8_t> buffer(c.bufferLength + 1, 0xEE);
    size_t size = c.sizeAsked;
    EXPECT_EQ(DSReadStream(scripted, kCallerContext, "Obj.Acme", "Login Script",
                           std::span(buffer).first(c.bufferLength), size),
              kDirOk);
    EXPECT_EQ(size, c.sizeRead) << c.streamLength << "/" << c.sizeAsked;
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(size)),
              scripted.streamBytes.substr(0, size));
    EXPECT_EQ(buffer.back(), 0xEE);
    ASSERT_EQ(scripted.streamHandles.size(), 1u);
    EXPECT_TRUE(Closed(scripted.streamHandles[0]));
  }
}

}  // namespace
