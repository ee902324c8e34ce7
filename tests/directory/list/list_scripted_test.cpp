// Every way into and out of a listing, against a scripted client standing in for the real one:
// the listing context it prepares, the lists it fills, and the handles it must give back
// whichever call fails.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw_list.h"
#include "tests/support/scripted_client.h"
#include "tests/support/stop_at_pump.h"
#include "util/hooks.h"
#include "util/string_list.h"

namespace {

constexpr DirContext kCallerContext = 7;
constexpr uint32_t kCallerFlags = kDirFlagDerefAliases;
constexpr ScreenCursor kArrowCursor = 41;
constexpr ScreenCursor kHourglassCursor = 42;

struct ScriptedEntry {
  std::string name;
  uint32_t flags = 0;
  std::string baseClass;
};

// The call that fails is named by its operation ("DirSetContextValue:3" names one key).
struct ListClient : ScriptedClient {
  ListClient() : ScriptedClient(kCallerContext, kDirNoSuchEntry) {}
  using ScriptedClient::DirGetContextValue;

  std::vector<std::vector<ScriptedEntry>> batches;
  std::map<uint32_t, uint32_t> flags{{kCallerContext, kCallerFlags}};
  std::map<uint32_t, uint32_t> key2{{kCallerContext, 5}};
  std::map<uint32_t, std::string> nameContext{{kCallerContext, "Elsewhere"}};
  // What the listing context looked like at each DirListSubordinates.
  struct ListCall {
    std::string name;
    uint32_t flags;
    uint32_t key2;
    std::string nameContext;
  };
  std::vector<ListCall> listCalls;

  void ContextDuplicated(DirContext context, DirContext copy) override {
    flags[copy] = flags[context];
    key2[copy] = key2[context];
    nameContext[copy] = nameContext[context];
  }

  int32_t DirGetContextValue(DirContext context, int key, uint32_t& value) override {
    if (!liveContexts.contains(context) || key != kDirKeyFlags) {
      return kDirBadKey;
    }
    if (const int32_t code = Call("DirGetContextValue:1")) {
      return code;
    }
    value = flags[context];
    return kDirOk;
  }

  int32_t DirSetContextValue(DirContext context, int key, uint32_t value) override {
    if (!liveContexts.contains(context) || (key != kDirKeyFlags && key != 2)) {
      return kDirBadKey;
    }
    if (const int32_t code = Call("DirSetContextValue:" + std::to_string(key))) {
      return code;
    }
    (key == kDirKeyFlags ? flags : key2)[context] = value;
    return kDirOk;
  }

  int32_t DirSetContextValue(DirContext context, int key, const std::string& value) override {
    if (!liveContexts.contains(context) || key != kDirKeyNameContext) {
      return kDirBadKey;
    }
    if (const int32_t code = Call("DirSetContextValue:3")) {
      return code;
    }
    nameContext[context] = value;
    return kDirOk;
  }

  int32_t DirListSubordinates(DirContext context, const std::string& objectName,
                              int32_t& iterationHandle, DirBuffer result) override {
    if (!liveContexts.contains(context) || !liveBuffers.contains(result)) {
      return kDirInvalidHandle;
    }
    listCalls.push_back({objectName, flags[context], key2[context], nameContext[context]});
    if (const int32_t code = Call("DirListSubordinates")) {
      return code;
    }
    StartBatch(iterationHandle, batches.size());
    return kDirOk;
  }

  int32_t DirGetObjectCount(DirContext context, DirBuffer buffer, uint32_t& count) override {
    if (!liveContexts.contains(context) || !liveBuffers.contains(buffer)) {
      return kDirInvalidHandle;
    }
    if (const int32_t code = Call("DirGetObjectCount")) {
      return code;
    }
    count = static_cast<uint32_t>(batches.at(batch).size());
    return kDirOk;
  }

  int32_t DirGetObjectName(DirContext context, DirBuffer buffer, std::string& name,
                           uint32_t& attributeCount, DirObjectInfo& info) override {
    if (!liveContexts.contains(context) || !liveBuffers.contains(buffer)) {
      return kDirInvalidHandle;
    }
    const std::vector<ScriptedEntry>& entries = batches.at(batch);
    if (object >= entries.size()) {
      return kDirBufferEmpty;
    }
    const ScriptedEntry& entry = entries[object++];
    if (const int32_t code = Call("DirGetObjectName")) {
      name = "garbage the program must not take";
      return code;
    }
    name = entry.name;
    attributeCount = 0;
    info.flags = entry.flags;
    info.baseClass = entry.baseClass;
    return kDirOk;
  }
};

const ScriptedEntry kSales{"Sales", kDirObjectContainer, "Organizational Unit"};
const ScriptedEntry kAdmin{"Admin", 0, "User"};
const ScriptedEntry kIt{"IT", kDirObjectContainer, "Organizational Unit"};
const ScriptedEntry kPrinter{"P1", 0, "Printer"};
// A container of a class that is not one of the usual container classes.
const ScriptedEntry kModule{"Mod", kDirObjectContainer, "rbsModule"};

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetBusyCursorHook({[this] {
                         ++cursorBegins;
                         shown = kHourglassCursor;
                         return kArrowCursor;
                       },
                       [this](ScreenCursor cursor) {
                         ++cursorRestores;
                         shown = cursor;
                       }});
  }
  void TearDown() override {
    SetBusyCursorHook({});
    SetMessagePump({});
  }

  // Lists into a sorted container list and an unsorted object list, with classes.
  void List(std::string_view container = ".Org", std::string_view classFilter = "",
            bool withClass = true) {
    DSListContainer(scripted, kCallerContext, container, &containers, &objects, classFilter,
                    withClass);
  }

  ListClient scripted;
  TStringList containers{true};
  TStringList objects;
  int cursorBegins = 0;
  int cursorRestores = 0;
  ScreenCursor shown = kArrowCursor;
};

TEST_F(ListingTest, PreparesItsOwnContextAndLeavesTheCallersAlone) {
  struct Case {
    const char* container;
    const char* listedName;
    const char* nameContext;
  };
  const Case cases[] = {
      {".Sales.Org", ".Sales.Org", "Sales.Org"},
      {"Sales.Org", ".Sales.Org", "Sales.Org"},
      {"OU=Sales", ".OU=Sales", "OU=Sales"},
      {"[Root]", "[Root]", "[Root]"},
  };
  scripted.batches = {{kAdmin}};
  for (const Case& c : cases) {
    scripted.listCalls.clear();
    scripted.bufferSizes.clear();
    List(c.container);
    ASSERT_EQ(scripted.listCalls.size(), 1u) << c.container;
    const ListClient::ListCall& call = scripted.listCalls[0];
    EXPECT_EQ(call.name, c.listedName);
    EXPECT_EQ(call.nameContext, c.nameContext);
    EXPECT_EQ(call.flags, kCallerFlags | 0x14u);
    EXPECT_EQ(call.key2, 0u);
    EXPECT_EQ(scripted.bufferSizes, std::vector<uint32_t>{4096});
  }
  EXPECT_EQ(scripted.flags[kCallerContext], kCallerFlags);
  EXPECT_EQ(scripted.key2[kCallerContext], 5u);
  EXPECT_EQ(scripted.nameContext[kCallerContext], "Elsewhere");
  EXPECT_TRUE(scripted.EverythingGivenBack());
}

TEST_F(ListingTest, FlagsThatCannotBeReadAreNotWritten) {
  scripted.batches = {{kAdmin}};
  scripted.failOperation = "DirGetContextValue:1";
  List();
  ASSERT_EQ(scripted.listCalls.size(), 1u);
  EXPECT_EQ(scripted.listCalls[0].flags, kCallerFlags);
  EXPECT_EQ(objects.Texts(), std::vector<std::string>{"User: Admin"});
  EXPECT_TRUE(scripted.EverythingGivenBack());
}

// One listing of three batches, the middle one empty, with one call failing in each case: the
// lists keep exactly what was read before the failure, and every handle is given back.
TEST_F(ListingTest, EveryWayOutKeepsWhatWasReadAndGivesEverythingBack) {
  struct Case {
    const char* failOperation;
    int failOnCall;
    std::vector<std::string> containers;
    std::vector<std::string> objects;
  };
  const std::vector<std::string> allContainers{"IT", "Mod", "Sales"};
  const std::vector<std::string> allObjects{"Organizational Unit: Sales", "User: Admin",
                                            "Organizational Unit: IT", "Printer: P1",
                                            "rbsModule: Mod"};
  const Case cases[] = {
      {"", 1, allContainers, allObjects},
      {"DirDuplicateContext", 1, {}, {}},
      {"DirSetContextValue:3", 1, {}, {}},
      {"DirAllocBuffer", 1, {}, {}},
      {"DirListSubordinates", 1, {}, {}},
      {"DirGetObjectCount", 1, {}, {}},
      {"DirGetObjectName", 1, {}, {}},
      {"DirGetObjectName", 2, {"Sales"}, {"Organizational Unit: Sales"}},
      {"DirListSubordinates", 2, {"Sales"}, {"Organizational Unit: Sales", "User: Admin"}},
      {"DirGetObjectCount", 2, {"Sales"}, {"Organizational Unit: Sales", "User: Admin"}},
      {"DirListSubordinates", 3, {"Sales"}, {"Organizational Unit: Sales", "User: Admin"}},
      {"DirGetObjectCount", 3, {"Sales"}, {"Organizational Unit: Sales", "User: Admin"}},
      {"DirGetObjectName",
       5,
       {"IT", "Sales"},
       {"Organizational Unit: Sales", "User: Admin", "Organizational Unit: IT", "Printer: P1"}},
      // Settings the client refuses that do not decide which names come back.
      {"DirSetContextValue:1", 1, allContainers, allObjects},
      {"DirSetContextValue:2", 1, allContainers, allObjects},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failOperation) + " #" + std::to_string(c.failOnCall));
    scripted = ListClient{};
    scripted.batches = {{kSales, kAdmin}, {}, {kIt, kPrinter, kModule}};
    scripted.failOperation = c.failOperation;
    scripted.failOnCall = c.failOnCall;
    containers.Clear();
    objects.Clear();
    cursorBegins = cursorRestores = 0;
    List();
    EXPECT_EQ(containers.Texts(), c.containers);
    EXPECT_EQ(objects.Texts(), c.objects);
    EXPECT_TRUE(scripted.EverythingGivenBack());
    EXPECT_EQ(cursorBegins, 1);
    EXPECT_EQ(cursorRestores, 1);
    EXPECT_EQ(shown, kArrowCursor);
  }
}

// The user stops the listing after the n-th pump: before an entry or before a batch (the empty
// middle batch and the one after it). What was read stays, everything is given back, each entry
// read was reported, and the state reports the stop once and the end after it.
TEST_F(ListingTest, AStopKeepsWhatWasReadAndGivesEverythingBack) {
  struct Case {
    int stopAtPump;
    std::vector<std::string> objects;
  };
  const Case cases[] = {
      {1, {"Organizational Unit: Sales"}},
      {2, {"Organizational Unit: Sales", "User: Admin"}},
      {3, {"Organizational Unit: Sales", "User: Admin"}},
      {5, {"Organizational Unit: Sales", "User: Admin", "Organizational Unit: IT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAtPump);
    scripted = ListClient{};
    scripted.batches = {{kSales, kAdmin}, {}, {kIt, kPrinter, kModule}};
    StopAtPump stop(c.stopAtPump);
    TNDSObj state;
    int32_t code = DSListFirst(scripted, kCallerContext, ".Org", state);
    std::vector<std::string> read;
    for (; code == kDirOk; code = DSListNext(state)) {
      read.push_back(state.Info().baseClass + ": " + state.Name());
    }
    EXPECT_EQ(code, kWorkStopped);
    EXPECT_FALSE(state.Active());
    EXPECT_EQ(DSListNext(state), -1);
    EXPECT_EQ(read, c.objects);
    EXPECT_TRUE(scripted.EverythingGivenBack());

    scripted = ListClient{};
    scripted.batches = {{kSales, kAdmin}, {}, {kIt, kPrinter, kModule}};
    stop.Restart();
    containers.Clear();
    objects.Clear();
    List();
    EXPECT_EQ(objects.Texts(), c.objects);
    EXPECT_EQ(stop.EntriesRead(), static_cast<int64_t>(c.objects.size()));
    EXPECT_TRUE(scripted.EverythingGivenBack());
  }
}

TEST_F(ListingTest, ReturnsTheFailingCodeAndEndsForGood) {
  scripted.batches = {{kSales, kAdmin}, {kIt}};
  scripted.failOperation = "DirListSubordinates";
  scripted.failOnCall = 2;
  scripted.failCode = kDirInsufficientBuffer;
  TNDSObj state;
  ASSERT_EQ(DSListFirst(scripted, kCallerContext, ".Org", state), kDirOk);
  EXPECT_EQ(state.Name(), "Sales");
  EXPECT_TRUE(state.IsContainer());
  EXPECT_EQ(DSListNext(state), kDirOk);
  EXPECT_EQ(state.Name(), "Admin");
  EXPECT_EQ(DSListNext(state), kDirInsufficientBuffer);
  EXPECT_FALSE(state.Active());
  EXPECT_TRUE(scripted.EverythingGivenBack());
  const size_t listCalls = scripted.listCalls.size();
  EXPECT_EQ(DSListNext(state), -1);
  EXPECT_EQ(scripted.listCalls.size(), listCalls);
  EXPECT_TRUE(scripted.EverythingGivenBack());
}

TEST_F(ListingTest, EmptyContainersAndEmptyBatches) {
  const std::vector<std::vector<std::vector<ScriptedEntry>>> emptyListings = {
      {{}}, {{}, {}}, {{}, {}, {}}};
  for (const auto& batches : emptyListings) {
    scripted = ListClient{};
    scripted.batches = batches;
    TNDSObj state;
    EXPECT_EQ(DSListFirst(scripted, kCallerContext, ".Org", state), -1);
    EXPECT_FALSE(state.Active());
    EXPECT_EQ(scripted.listCalls.size(), batches.size());
    EXPECT_TRUE(scripted.EverythingGivenBack());
  }
  scripted = ListClient{};
  scripted.batches = {{}, {kAdmin}, {}, {}, {kPrinter}, {}};
  List();
  EXPECT_TRUE(containers.Empty());
  EXPECT_EQ(objects.Texts(), (std::vector<std::string>{"User: Admin", "Printer: P1"}));
  EXPECT_TRUE(scripted.EverythingGivenBack());
}

TEST_F(ListingTest, ANewStartOrTheEndOfTheStateGivesTheOpenListingBack) {
  scripted.batches = {{kSales, kAdmin}, {kIt}};
  {
    TNDSObj state;
    ASSERT_EQ(DSListFirst(scripted, kCallerContext, ".Org", state), kDirOk);
    EXPECT_TRUE(state.Active());
    ASSERT_EQ(DSListFirst(scripted, kCallerContext, ".IT.Org", state), kDirOk);
    EXPECT_EQ(state.BaseName(), ".IT.Org");
    EXPECT_EQ(scripted.liveContexts.size(), 2u);
    EXPECT_EQ(scripted.liveBuffers.size(), 1u);
  }
  EXPECT_TRUE(scripted.EverythingGivenBack());
  TNDSObj unused;
  EXPECT_EQ(DSListNext(unused), -1);
}

TEST_F(ListingTest, SortedListsEndAsIfEveryEntryHadBeenInsertedInPlace) {
  const std::vector<std::vector<ScriptedEntry>> batches = {
      {{"b", 0, "User"}, {"Sales", kDirObjectContainer, "X"}, {"a", 0, "User"}},
      {{"sales", kDirObjectContainer, "Y"}, {"B", 0, "User"}, {"A", 0, "User"}}};
  // With and without a failure part way, into lists that already hold equal texts.
  for (const int failOnCall : {0, 5}) {
    SCOPED_TRACE(failOnCall);
    scripted = ListClient{};
    scripted.batches = batches;
    scripted.failOperation = failOnCall != 0 ? "DirGetObjectName" : "";
    scripted.failOnCall = failOnCall;
    TStringList sorted(true);
    sorted.Add("SALES", 7);
    sorted.Add("a", 8);
    TStringList expected = sorted;
    int read = 0;
    for (const auto& batch : batches) {
      for (const ScriptedEntry& entry : batch) {
        if (failOnCall == 0 || ++read < failOnCall) {
          if ((entry.flags & kDirObjectContainer) != 0) {
            expected.Add(entry.name);
          }
          expected.Add(entry.name);
        }
      }
    }
    // One list for both: each entry once as an object, containers a second time.
    DSListContainer(scripted, kCallerContext, ".Org", &sorted, &sorted, "", false);
    EXPECT_TRUE(sorted.Sorted());
    ASSERT_EQ(sorted.Count(), expected.Count());
    for (int i = 0; i < expected.Count(); ++i) {
      EXPECT_EQ(sorted.Text(i), expected.Text(i)) << i;
      EXPECT_EQ(sorted.Number(i), expected.Number(i)) << i;
    }
    EXPECT_TRUE(scripted.EverythingGivenBack());
  }
}

}  // namespace
