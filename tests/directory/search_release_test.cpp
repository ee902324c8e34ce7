// Every way out of DSSearch: a scripted client standing in for the real one fails one chosen
// call, and each run must return the code the caller is owed, keep the lines it was
// entitled to, and leave no buffer or filter behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw_search.h"
#include "tests/support/scripted_client.h"
#include "tests/support/stop_at_pump.h"
#include "util/hooks.h"

namespace {

struct SearchClient : ScriptedClient {
  SearchClient() : ScriptedClient(1) {}
  // The batches the search returns; a name starting with "!" cannot be read.
  std::vector<std::vector<std::string>> batches;
  std::vector<DirTimeStamp> stamps;

  int32_t DirAllocBuffer(uint32_t size, DirBuffer& buffer) override {
    EXPECT_EQ(size, 4096u);
    return ScriptedClient::DirAllocBuffer(size, buffer);
  }

  int32_t DirInitBuffer(DirContext, int operation, DirBuffer buffer) override {
    EXPECT_EQ(operation, kDirOperationSearchFilter);
    EXPECT_TRUE(liveBuffers.contains(buffer));
    return Call("DirInitBuffer");
  }

  int32_t DirAllocFilter(DirFilter& filter) override { return AllocFilter(filter); }

  int32_t DirAddFilterToken(DirFilter filter, int, DirFilterValue, uint32_t) override {
    if (!liveFilters.contains(filter)) {
      return kDirInvalidHandle;
    }
    return Call("DirAddFilterToken");
  }

  int32_t DirFreeFilter(DirFilter filter, std::nullptr_t) override { return FreeFilter(filter); }

  int32_t DirPutFilter(DirContext, DirBuffer, DirFilter filter, std::nullptr_t) override {
    if (const int32_t code = Call("DirPutFilter")) {
      return code;
    }
    liveFilters.erase(filter);
    return kDirOk;
  }

  int32_t DirGetSyntaxId(DirContext, const std::string& name, uint32_t& syntax) override {
    syntax = name == "Login Time" ? 24 : 3;
    return Call("DirGetSyntaxId");
  }

  int32_t DirSearch(DirContext context, const std::string&, int, int, DirBuffer filter,
                    const DirTimeStamp& timeStamp, int, int, std::nullptr_t,
                    int32_t& iterationHandle, int, std::nullptr_t, DirBuffer result) override {
    // The iteration belongs to a context of the search's own, so that it ends with it.
    EXPECT_NE(context, 1u);
    EXPECT_TRUE(liveContexts.contains(context));
    EXPECT_TRUE(liveBuffers.contains(filter));
    EXPECT_TRUE(liveBuffers.contains(result));
    stamps.push_back(timeStamp);
    if (const int32_t code = Call("DirSearch")) {
      return code;
    }
    StartBatch(iterationHandle, batches.size());
    return kDirOk;
  }

  int32_t DirGetObjectCount(DirContext, DirBuffer, uint32_t& count) override {
    if (const int32_t code = Call("DirGetObjectCount")) {
      return code;
    }
    count = batches.empty() ? 0 : static_cast<uint32_t>(batches[batch].size());
    return kDirOk;
  }

  int32_t DirGetObjectName(DirContext, DirBuffer, std::string& name, uint32_t& attributeCount,
                           DirObjectInfo&) override {
    attributeCount = 0;
    const std::vector<std::string>& objects = batches[batch];
    if (object >= objects.size()) {
      return kDirBufferEmpty;
    }
    const std::string& next = objects[object++];
    if (const int32_t code = Call("DirGetObjectName")) {
      return code;
    }
    if (next.starts_with("!")) {
      return kDirInvalidObjectName;
    }
    name = next;
    return kDirOk;
  }
};

struct Case {
  const char* name;
  std::string failOperation;
  int failOnCall;
  int32_t failCode;
  int32_t code;
  std::vector<std::string> lines;
};

class SearchWaysOut : public testing::TestWithParam<Case> {};

TEST_P(SearchWaysOut, CodeLinesAndNothingLeftBehind) {
  const Case& c = GetParam();
  SearchClient scripted;
  scripted.Fail(c.failOperation, c.failOnCall, c.failCode);
  scripted.batches = {{"A.Cfg", "B.Cfg"}, {"!unreadable", "C.Cfg"}, {}, {"D.Cfg"}};

  TStringList results;
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "(Base Class=rbsTask2)#AND#(CN=x)", 2, results), c.code);
  EXPECT_EQ(results.Texts(), c.lines);
  EXPECT_TRUE(scripted.EverythingGivenBack());
}

const std::vector<std::string> kAll = {"A.Cfg", "B.Cfg", "C.Cfg", "D.Cfg"};

const Case kCases[] = {
    {"Complete", "", 0, 0, kDirOk, kAll},
    {"FirstBuffer", "DirAllocBuffer", 1, kDirNotEnoughMemory, kDirNotEnoughMemory, {}},
    {"SecondBuffer", "DirAllocBuffer", 2, kDirNotEnoughMemory, kDirNotEnoughMemory, {}},
    {"InitBuffer", "DirInitBuffer", 1, kDirBadVerb, kDirBadVerb, {}},
    {"AllocFilter", "DirAllocFilter", 1, kDirNotEnoughMemory, kDirNotEnoughMemory, {}},
    {"TokenRefused", "DirAddFilterToken", 3, kDirBadSyntax, kDirBadSyntax, {}},
    {"EndTokenRefused", "DirAddFilterToken", 10, kDirBadSyntax, kDirBadSyntax, {}},
    {"PutFilter", "DirPutFilter", 1, kDirBufferFull, kDirBufferFull, {}},
    {"DuplicateContext", "DirDuplicateContext", 1, kDirNotEnoughMemory, kDirNotEnoughMemory, {}},
    {"FirstBatch", "DirSearch", 1, kDirNoSuchEntry, kDirNoSuchEntry, {}},
    {"ThirdBatchKeepsEarlierLines", "DirSearch", 3, -635, -635, {"A.Cfg", "B.Cfg", "C.Cfg"}},
    {"ObjectCount", "DirGetObjectCount", 2, kDirBufferEmpty, kDirBufferEmpty, {"A.Cfg", "B.Cfg"}},
    // An unreadable name is skipped; the search goes on and the last read decides the code.
    {"UnreadableObjectSkipped",
     "DirGetObjectName",
     2,
     kDirInvalidObjectName,
     kDirOk,
     {"A.Cfg", "C.Cfg", "D.Cfg"}},
    {"LastObjectUnreadable",
     "DirGetObjectName",
     5,
     kDirInvalidObjectName,
     kDirInvalidObjectName,
     {"A.Cfg", "B.Cfg", "C.Cfg"}},
};

INSTANTIATE_TEST_SUITE_P(DSSearch, SearchWaysOut, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DSSearchRun, AsksTheClientNothingForFiltersRefusedUpFront) {
  SearchClient scripted;
  TStringList results;
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "((CN=x)", 2, results), kDirInvalidFilter);
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "(CN=x)", -1, results), kDirInvalidRequest);
  EXPECT_TRUE(scripted.log.empty());

  // A filter without a term, or one whose date cannot be read, is refused before any search.
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "  ", 2, results), kDirInvalidFilter);
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "(Login Time>=1969-12-31)", 2, results),
            kDirInvalidFilter);
  EXPECT_EQ(std::count(scripted.log.begin(), scripted.log.end(), "DirSearch"), 0);
  EXPECT_TRUE(scripted.EverythingGivenBack());
  EXPECT_EQ(results.Count(), 0);
}

TEST(DSSearchRun, MessagesRunBeforeEveryBatchAndObject) {
  SearchClient scripted;
  scripted.batches = {{"A", "B"}, {"C"}};
  std::vector<size_t> pumpedAt;  // the client calls made before each pump
  SetMessagePump([&] { pumpedAt.push_back(scripted.log.size()); });

  TStringList results;
  EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "(Login Time>=2004-05-31) #AND# (CN=x)", 2, results),
            kDirOk);
  SetMessagePump({});

  std::vector<std::string> before;
  for (const size_t at : pumpedAt) {
    before.push_back(at < scripted.log.size() ? scripted.log[at] : "end");
  }
  EXPECT_EQ(before, (std::vector<std::string>{"DirSearch", "DirGetObjectName", "DirGetObjectName",
                                              "DirSearch", "DirGetObjectName"}));
  // Every batch is asked for with the time stamp of the filter's time value.
  ASSERT_EQ(scripted.stamps.size(), 2u);
  for (const DirTimeStamp& stamp : scripted.stamps) {
    EXPECT_EQ(stamp.seconds, 1085961600u);
    EXPECT_EQ(stamp.replicaNumber, 0);
    EXPECT_EQ(stamp.event, 0);
  }
  for (const auto& entry : results) {
    EXPECT_EQ(entry.number, 1);
  }
}

// The user stops the search after the n-th pump (pumps come before each batch and each object):
// the search gives kWorkStopped at once, keeps and reports what it found, and frees its buffers
// and its context, the client's iteration with it.
TEST(DSSearchRun, AStopKeepsWhatWasFoundAndLeavesNothingBehind) {
  struct Case {
    int stopAtPump;
    std::vector<std::string> lines;
    int searches;
  };
  const Case cases[] = {
      {1, {}, 0},
      {3, {"A.Cfg"}, 1},
      {4, {"A.Cfg", "B.Cfg"}, 1},
      {5, {"A.Cfg", "B.Cfg"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAtPump);
    SearchClient scripted;
    scripted.batches = {{"A.Cfg", "B.Cfg"}, {"C.Cfg"}};
    TStringList results;
    {
      const StopAtPump stop(c.stopAtPump);
      EXPECT_EQ(DSSearch(scripted, 1, "Cfg", "(CN=x)", 2, results), kWorkStopped);
      EXPECT_EQ(stop.EntriesRead(), static_cast<int64_t>(c.lines.size()));
    }
    EXPECT_EQ(results.Texts(), c.lines);
    EXPECT_EQ(std::count(scripted.log.begin(), scripted.log.end(), "DirSearch"), c.searches);
    EXPECT_TRUE(scripted.EverythingGivenBack());
  }
}

}  // namespace
