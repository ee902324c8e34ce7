// Listing real trees through the client: a container that needs many buffers, an empty one,
// class filters, the walk over a whole tree by the lines the window shows, a listing whose
// client goes away half way, and a second listing started while the first pumps messages.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw_list.h"
#include "tests/support/test_client.h"
#include "util/hooks.h"
#include "util/string_list.h"

namespace {

constexpr int kBigChildren = 1000;

std::string BigChild(int i) {
  std::string digits = std::to_string(i);
  return "user" + std::string(5 - digits.size(), '0') + digits;
}

// The tree: Org with a large container, an empty one, one of every kind of entry, and a
// container whose name holds a dot; each directory name (typeless, leaf first) with its parent.
std::string TreeLdif() {
  std::string ldif = "version: 1\n\n";
  const auto entry = [&ldif](const std::string& dn, const std::string& objectClass) {
    ldif += "dn: " + dn + "\nobjectClass: " + objectClass + "\n\n";
  };
  entry("o=Org", "organization");
  entry("ou=Big,o=Org", "organizationalUnit");
  for (int i = 0; i < kBigChildren; ++i) {
    entry("cn=" + BigChild(i) + ",ou=Big,o=Org", "inetOrgPerson");
  }
  entry("ou=Empty,o=Org", "organizationalUnit");
  entry("ou=Mixed,o=Org", "organizationalUnit");
  entry("cn=Admin,ou=Mixed,o=Org", "inetOrgPerson");
  entry("cn=P1,ou=Mixed,o=Org", "printer");
  entry("cn=Role,ou=Mixed,o=Org", "rbsRole2");
  entry("cn=Mod,ou=Mixed,o=Org", "rbsModule2");
  entry("cn=Task,cn=Mod,ou=Mixed,o=Org", "rbsTask2");
  entry("ou=Sub,ou=Mixed,o=Org", "organizationalUnit");
  entry("cn=Staff,ou=Mixed,o=Org", "groupOfNames");
  entry("cn=Member,cn=Staff,ou=Mixed,o=Org", "inetOrgPerson");
  entry("ou=v1.2,o=Org", "organizationalUnit");
  entry("cn=Deep,ou=v1.2,o=Org", "inetOrgPerson");
  return ldif;
}

// Every entry of the tree but the root.
constexpr int kTreeEntries = 1 + 1 + kBigChildren + 1 + 1 + 8 + 1 + 1;

class ListTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tree_.Code(), kDirConnectionOk) << client_.NWstrerror(tree_.Code());
    ASSERT_EQ(client_.DirCreateContext(context_), kDirOk);
    SetBusyCursorHook({[this] {
                         ++busy_;
                         return ScreenCursor{1};
                       },
                       [this](ScreenCursor) { --busy_; }});
  }

  void TearDown() override {
    SetMessagePump({});
    SetBusyCursorHook({});
    static_cast<void>(client_.DirFreeContext(context_));
  }

  // Lists `container` into a sorted container list and a sorted object list, with classes.
  void List(std::string_view container, std::string_view classFilter = "", bool withClass = false) {
    containers_.Clear();
    objects_.Clear();
    DSListContainer(client_, context_, container, &containers_, &objects_, classFilter, withClass);
    EXPECT_EQ(busy_, 0) << "busy cursor left on after listing " << container;
  }

  // How many entries of `container` the client puts in the first batch of a listing buffer.
  uint32_t FirstBatchCount(const std::string& container) {
    DirContext probe = 0;
    DirBuffer buffer = 0;
    uint32_t count = 0;
    int32_t iteration = -1;
    EXPECT_EQ(client_.DirDuplicateContext(context_, probe), kDirOk);
    EXPECT_EQ(client_.DirSetContextValue(probe, kDirKeyFlags, kDirFlagTypeless), kDirOk);
    EXPECT_EQ(client_.DirAllocBuffer(kListBufferSize, buffer), kDirOk);
    EXPECT_EQ(client_.DirListSubordinates(probe, container, iteration, buffer), kDirOk);
    EXPECT_EQ(client_.DirGetObjectCount(probe, buffer, count), kDirOk);
    static_cast<void>(client_.DirFreeBuffer(buffer));
    static_cast<void>(client_.DirFreeContext(probe));
    return count;
  }

  TempFolder folder_{"orvane-list"};
  LdifClient tree_{folder_, TreeLdif(), "LIST_TREE", "context = Org\nuser = Admin.Mixed.Org\n"};
  DirSession& client_ = tree_.Client();
  DirContext context_ = 0;
  TStringList containers_{true};
  TStringList objects_{true};
  int busy_ = 0;
};

TEST_F(ListTreeTest, AContainerLargerThanOneBufferIsListedWholeAndOnce) {
  const uint32_t firstBatch = FirstBatchCount(".Big.Org");
  EXPECT_LT(firstBatch * 3, static_cast<uint32_t>(kBigChildren));
  // The container field's text may come with or without its leading dot.
  for (const char* container : {".Big.Org", "Big.Org", ".OU=Big.O=Org"}) {
    SCOPED_TRACE(container);
    List(container);
    EXPECT_TRUE(containers_.Empty());
    ASSERT_EQ(objects_.Count(), kBigChildren);
    for (int i = 0; i < kBigChildren; ++i) {
      EXPECT_EQ(objects_.Text(i), BigChild(i));
    }
  }
}

TEST_F(ListTreeTest, EmptyContainersAndLeavesListNothing) {
  for (const char* container : {".Empty.Org", ".Admin.Mixed.Org", ".Sub.Mixed.Org"}) {
    List(container, "", true);
    EXPECT_TRUE(containers_.Empty()) << container;
    EXPECT_TRUE(objects_.Empty()) << container;
  }
  // Names that do not exist, or that the client cannot parse, list nothing either.
  for (const char* container : {".Nowhere.Org", "", ".", "a..b", "Org\\"}) {
    List(container, "", true);
    EXPECT_TRUE(containers_.Empty()) << container;
    EXPECT_TRUE(objects_.Empty()) << container;
  }
}

TEST_F(ListTreeTest, ClassFilterAndClassPrefixes) {
  struct Case {
    const char* classFilter;
    bool withClass;
    std::vector<std::string> objects;
  };
  const Case cases[] = {
      {"", false, {"Admin", "Mod", "P1", "Role", "Staff", "Sub"}},
      {"",
       true,
       // Sorted as the window sorts them: by the whole line, class first.
       {"Group: Staff", "Organizational Unit: Sub", "Printer: P1", "rbsModule2: Mod",
        "rbsRole2: Role", "User: Admin"}},
      {"User", true, {"User: Admin"}},
      {"rbsRole2", false, {"Role"}},
      {"RBSROLE2", false, {}},
      {"Organizational Unit", false, {"Sub"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("filter '") + c.classFilter + "'");
    List(".Mixed.Org", c.classFilter, c.withClass);
    // Containers by what the client flags, never filtered: a module and a group with a member
    // are containers as much as the unit is.
    EXPECT_EQ(containers_.Texts(), (std::vector<std::string>{"Mod", "Staff", "Sub"}));
    EXPECT_EQ(objects_.Texts(), c.objects);
    for (const TStringList::Entry& line : objects_) {
      const size_t colon = line.text.find(": ");
      EXPECT_EQ(line.number, c.withClass ? static_cast<int64_t>(colon + 2) : 0) << line.text;
    }
  }
}

// Walks the whole tree as a user would, by the lines of the container list: down into every
// container and back up through "[ .. ]". Every entry is met exactly once, and going up always
// lands on the container the walk came from.
TEST_F(ListTreeTest, WalkingDownAndUpReachesEveryEntryOnce) {
  std::map<std::string, int> met;
  const std::function<void(const std::string&)> walk = [&](const std::string& current) {
    List(current);
    const std::vector<std::string> children = containers_.Texts();
    for (const std::string& object : objects_.Texts()) {
      ++met[NavigateContext(current, object)];
    }
    for (const std::string& child : children) {
      const std::string down = NavigateContext(current, child);
      EXPECT_EQ(MakeFullName(NavigateContext(down, "[ .. ]")), current) << down;
      walk(down);
    }
  };
  walk(std::string(kRootName));
  EXPECT_EQ(met.size(), static_cast<size_t>(kTreeEntries));
  for (const auto& [name, times] : met) {
    EXPECT_EQ(times, 1) << name;
  }
  EXPECT_TRUE(met.contains(".Deep.v1\\.2.Org"));
  EXPECT_TRUE(met.contains(".Task.Mod.Mixed.Org"));
  EXPECT_TRUE(met.contains(".Member.Staff.Mixed.Org"));
}

TEST_F(ListTreeTest, AFailingListingKeepsWhatWasRead) {
  const uint32_t firstBatch = FirstBatchCount(".Big.Org");
  ASSERT_GT(firstBatch, 1u);
  ASSERT_LT(firstBatch * 2, static_cast<uint32_t>(kBigChildren));
  const int readBeforeFailure = static_cast<int>(firstBatch + firstBatch / 2);
  TStringList unsorted;
  DSListContainer(client_, context_, ".Big.Org", nullptr, &unsorted, "", false);
  ASSERT_EQ(unsorted.Count(), kBigChildren);
  const std::vector<std::string> full = unsorted.Texts();

  // The client goes away while the window's messages run, in the middle of the second batch.
  unsorted.Clear();
  bool shutDown = false;
  SetMessagePump([&] {
    if (!shutDown && unsorted.Count() == readBeforeFailure) {
      shutDown = true;
      client_.DirClientShutdown();
    }
  });
  DSListContainer(client_, context_, ".Big.Org", nullptr, &unsorted, "", false);
  EXPECT_TRUE(shutDown);
  EXPECT_EQ(busy_, 0);
  EXPECT_EQ(unsorted.Texts(),
            std::vector<std::string>(full.begin(), full.begin() + readBeforeFailure));
}

TEST_F(ListTreeTest, AListingStartedWhileAnotherPumpsMessagesHasItsOwnState) {
  TStringList innerContainers{true};
  TStringList innerObjects{true};
  int pumps = 0;
  SetMessagePump([&] {
    if (++pumps == 200) {
      DSListContainer(client_, context_, ".Mixed.Org", &innerContainers, &innerObjects, "", false);
    }
  });
  List(".Big.Org");
  EXPECT_GE(pumps, 200);
  EXPECT_EQ(objects_.Count(), kBigChildren);
  const std::vector<std::string> outer = objects_.Texts();
  EXPECT_EQ(std::set<std::string>(outer.begin(), outer.end()).size(),
            static_cast<size_t>(kBigChildren));
  EXPECT_EQ(innerContainers.Texts(), (std::vector<std::string>{"Mod", "Staff", "Sub"}));
  EXPECT_EQ(innerObjects.Count(), 6);
}

}  // namespace
