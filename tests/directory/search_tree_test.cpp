// Searches through the real client: a tree generated here, large enough that every answer spans
// many 4096-byte batches, and the built-in sample tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "directory/d_nw_search.h"
#include "tests/support/test_client.h"
#include "util/hooks.h"

namespace {

namespace fs = std::filesystem;

constexpr int kModules = 20;
constexpr int kTasksPerModule = 100;
constexpr int kOutsideTasks = 50;
constexpr const char* kGenTree = "GEN_TREE";
constexpr const char* kSampleTree = "SAMPLE_TREE";

// The generated tree: o=Gen holds ou=Cfg with modules, each with its tasks below it (revision j
// and a last-seen time in the year 2000 + j % 10), one task deeper down, and ou=Other with tasks
// of the same names outside the search base.
std::string GeneratedLdif() {
  std::ostringstream out;
  out << "version: 1\n\n"
      << "dn: cn=schema\nobjectClass: subschema\n"
      << "attributeTypes: ( 1.3.6.1.4.1.55555.1.1 NAME 'gRevision' "
         "SYNTAX 2.16.840.1.113719.1.1.5.1.8 )\n"
      << "attributeTypes: ( 1.3.6.1.4.1.55555.1.2 NAME 'gSeen' "
         "SYNTAX 2.16.840.1.113719.1.1.5.1.24 )\n\n"
      << "dn: o=Gen\nobjectClass: top\nobjectClass: organization\no: Gen\n\n"
      << "dn: cn=Admin,o=Gen\nobjectClass: top\nobjectClass: inetOrgPerson\ncn: Admin\n"
         "sn: Admin\n\n"
      << "dn: ou=Cfg,o=Gen\nobjectClass: top\nobjectClass: organizationalUnit\nou: Cfg\n\n"
      << "dn: ou=Deep,ou=Cfg,o=Gen\nobjectClass: top\nobjectClass: organizationalUnit\n"
         "ou: Deep\n\n"
      << "dn: cn=Deep task,ou=Deep,ou=Cfg,o=Gen\nobjectClass: top\nobjectClass: rbsTask2\n"
         "cn: Deep task\n\n"
      << "dn: ou=Other,o=Gen\nobjectClass: top\nobjectClass: organizationalUnit\nou: Other\n\n";
  for (int m = 0; m < kModules; ++m) {
    out << "dn: cn=M" << m << ",ou=Cfg,o=Gen\nobjectClass: top\nobjectClass: rbsModule2\ncn: M" << m
        << "\n\n";
    for (int t = 0; t < kTasksPerModule; ++t) {
      out << "dn: cn=T" << t << ",cn=M" << m << ",ou=Cfg,o=Gen\nobjectClass: top\n"
          << "objectClass: rbsTask2\ncn: T" << t << "\ngRevision: " << t << "\ngSeen: 200" << t % 10
          << "0101000000Z\n\n";
    }
  }
  for (int t = 0; t < kOutsideTasks; ++t) {
    out << "dn: cn=T" << t << ",ou=Other,o=Gen\nobjectClass: top\nobjectClass: rbsTask2\ncn: T" << t
        << "\n\n";
  }
  return out.str();
}

// Names of the tasks below the modules for which `keep`(module, task) holds.
template <typename Keep>
std::multiset<std::string> Tasks(Keep keep) {
  std::multiset<std::string> names;
  for (int m = 0; m < kModules; ++m) {
    for (int t = 0; t < kTasksPerModule; ++t) {
      if (keep(m, t)) {
        names.insert("T" + std::to_string(t) + ".M" + std::to_string(m) + ".Cfg.Gen");
      }
    }
  }
  return names;
}

std::multiset<std::string> Modules() {
  std::multiset<std::string> names;
  for (int m = 0; m < kModules; ++m) {
    names.insert("M" + std::to_string(m) + ".Cfg.Gen");
  }
  return names;
}

class SearchTree : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_.emplace("orvane-search");
    const fs::path ldif = folder_->Write("gen.ldif", GeneratedLdif());
    tree_.emplace(*folder_, "[gen]\ntree = " + std::string(kGenTree) + "\nsource = " +
                                ldif.string() + "\ncontext =\nuser = Admin.Gen\nprimary = yes\n\n" +
                                "[sample]\ntree = " + kSampleTree + "\nsource = sample\n");
    ASSERT_EQ(tree_->Code(), kDirConnectionOk);
  }

  static DirSession& Client() { return tree_->Client(); }

  static void TearDownTestSuite() {
    tree_.reset();
    folder_.reset();
  }

  // A search context as the window holds it: typeless names, name context [Root].
  DirContext Context(const std::string& tree) {
    DirContext context = 0;
    EXPECT_EQ(Client().DirCreateContext(context), kDirOk);
    contexts_.push_back(context);
    EXPECT_EQ(Client().DirSetContextValue(context, kDirKeyTreeName, tree), kDirOk);
    uint32_t flags = 0;
    EXPECT_EQ(Client().DirGetContextValue(context, kDirKeyFlags, flags), kDirOk);
    EXPECT_EQ(Client().DirSetContextValue(context, kDirKeyFlags, flags | kDirFlagTypeless), kDirOk);
    EXPECT_EQ(Client().DirSetContextValue(context, kDirKeyNameContext, std::string("[Root]")),
              kDirOk);
    return context;
  }

  void TearDown() override {
    SetMessagePump({});
    for (const DirContext context : contexts_) {
      EXPECT_EQ(Client().DirFreeContext(context), kDirOk);
    }
  }

  static std::multiset<std::string> Names(const TStringList& list, int from = 0) {
    std::multiset<std::string> names;
    for (int i = from; i < list.Count(); ++i) {
      names.insert(list.Text(i));
    }
    return names;
  }

  static inline std::optional<TempFolder> folder_;
  static inline std::optional<TestClient> tree_;
  std::vector<DirContext> contexts_;
};

TEST_F(SearchTree, SubtreeFindsEachObjectOnceAcrossBatches) {
  const DirContext context = Context(kGenTree);
  int pumped = 0;
  SetMessagePump([&pumped] { ++pumped; });

  TStringList results;
  results.Add("kept", 7);
  ASSERT_EQ(
      DSSearch(Client(), context, "Cfg.Gen", "(Base Class=rbsTask2)", kDirScopeSubtree, results),
      kDirOk);

  // The list is appended to, not cleared; every line carries 1, where its name begins.
  ASSERT_GE(results.Count(), 1);
  EXPECT_EQ(results.Text(0), "kept");
  EXPECT_EQ(results.Number(0), 7);
  std::multiset<std::string> expected = Tasks([](int, int) { return true; });
  expected.insert("Deep task.Deep.Cfg.Gen");
  EXPECT_EQ(Names(results, 1), expected);
  for (int i = 1; i < results.Count(); ++i) {
    EXPECT_EQ(results.Number(i), 1) << results.Text(i);
  }

  // Window messages ran once before every object and once before every batch, and the answer
  // needed many batches.
  const int objects = results.Count() - 1;
  EXPECT_GE(pumped - objects, 5);
}

TEST_F(SearchTree, FiltersSelectExactlyTheirObjects) {
  struct Case {
    const char* base;
    const char* filter;
    int scope;
    std::multiset<std::string> expected;
  };
  std::multiset<std::string> outside;
  for (int t = 0; t < kOutsideTasks; ++t) {
    outside.insert("T" + std::to_string(t) + ".Other.Gen");
  }
  const Case cases[] = {
      {"Cfg.Gen", "(Base Class=rbsModule2)", kDirScopeSubtree, Modules()},
      {".Cfg.Gen", "(Base Class=rbsModule2)", kDirScopeSubtree, Modules()},
      {"Cfg.Gen", "(Object Class=rbsModule2)", kDirScopeSubordinates, Modules()},
      {"Cfg.Gen", "(Base Class=rbsTask2)", kDirScopeSubordinates, {}},
      {"M3.Cfg.Gen", "(Base Class=rbsModule2)", kDirScopeEntry, {"M3.Cfg.Gen"}},
      {"Other.Gen", "(Base Class=rbsTask2)", kDirScopeSubtree, outside},
      {"Cfg.Gen", "(Base Class=rbsTask2) #AND# (CN=T7)", kDirScopeSubtree,
       Tasks([](int, int t) { return t == 7; })},
      {"Cfg.Gen", "(Base Class=rbsTask2)\n#AND#\n(gRevision<=9)", kDirScopeSubtree,
       Tasks([](int, int t) { return t <= 9; })},
      {"Cfg.Gen", "(Base Class=rbsTask2) #AND# (gRevision#GE#95)", kDirScopeSubtree,
       Tasks([](int, int t) { return t >= 95; })},
      {"Cfg.Gen", "(gSeen>=2005-01-01)", kDirScopeSubtree,
       Tasks([](int, int t) { return t % 10 >= 5; })},
      {"Cfg.Gen", "(gSeen<=2000/01/01)", kDirScopeSubtree,
       Tasks([](int, int t) { return t % 10 == 0; })},
      {"Cfg.Gen", "(CN=T1) #OR# (CN=M1)", kDirScopeSubtree,
       [] {
         auto names = Tasks([](int, int t) { return t == 1; });
         names.insert("M1.Cfg.Gen");
         return names;
       }()},
      {"Gen", "(Base Class=rbsModule2) #AND# #NOT# (CN=M1)", kDirScopeSubtree,
       [] {
         auto names = Modules();
         names.erase("M1.Cfg.Gen");
         return names;
       }()},
  };
  const DirContext context = Context(kGenTree);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " " + c.filter);
    TStringList results;
    EXPECT_EQ(DSSearch(Client(), context, c.base, c.filter, c.scope, results), kDirOk);
    EXPECT_EQ(Names(results), c.expected);
  }
}

TEST_F(SearchTree, FailuresAddNothingAndGiveTheirCode) {
  struct Case {
    const char* base;
    std::string filter;
    int scope;
    int32_t code;
  };
  std::string tooLong = "(CN=T0)";
  while (tooLong.size() < 5000) {
    tooLong += "#OR#(CN=Task number " + std::to_string(tooLong.size()) + ")";
  }
  const Case cases[] = {
      {"Cfg.Gen", "(Base Class=rbsTask2)", -1, kDirInvalidRequest},
      // A date that cannot be converted refuses the search instead of reporting nothing found.
      {"Cfg.Gen", "(gSeen>=1969-12-31)", kDirScopeSubtree, kDirInvalidFilter},
      {"Cfg.Gen", "(gRevision=4294967296)", kDirScopeSubtree, kDirInvalidFilter},
      {"Cfg.Gen", "(Nonesuch=1)", kDirScopeSubtree, kDirNoSuchAttribute},
      {"Cfg.Gen", "(Base Class=rbsTask2) #AND#", kDirScopeSubtree, kDirBadSyntax},
      {"Cfg.Gen", "#NOT#", kDirScopeSubtree, kDirBadSyntax},
      {"Cfg.Gen", tooLong, kDirScopeSubtree, kDirBufferFull},
      {"Nowhere.Gen", "(Base Class=rbsTask2)", kDirScopeSubtree, kDirNoSuchEntry},
  };
  const DirContext context = Context(kGenTree);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " " + c.filter.substr(0, 60));
    TStringList results;
    results.Add("kept", 1);
    EXPECT_EQ(DSSearch(Client(), context, c.base, c.filter, c.scope, results), c.code);
    EXPECT_EQ(Names(results), std::multiset<std::string>{"kept"});
  }
}

TEST_F(SearchTree, SampleTreeHoldsEveryRbsKind) {
  struct Kind {
    const char* filter;
    int atLeast;
  };
  const Kind kinds[] = {
      {"(Base Class=rbsModule2)", 3}, {"(Base Class=rbsCategory2)", 2},
      {"(Base Class=rbsRole2)", 4},   {"(Base Class=rbsBook2)", 3},
      {"(Base Class=rbsTask2)", 8},
  };
  const DirContext context = Context(kSampleTree);
  std::set<std::string> all;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.filter);
    TStringList results;
    EXPECT_EQ(DSSearch(Client(), context, "[Root]", kind.filter, kDirScopeSubtree, results),
              kDirOk);
    EXPECT_GE(results.Count(), kind.atLeast);
    for (const auto& entry : results) {
      // Complete names, first part first, never twice and never of two kinds.
      EXPECT_FALSE(entry.text.empty());
      EXPECT_NE(entry.text.front(), '.') << entry.text;
      EXPECT_EQ(entry.text.find('='), std::string::npos) << entry.text;
      EXPECT_TRUE(all.insert(entry.text).second) << entry.text;
    }
  }
}

}  // namespace
