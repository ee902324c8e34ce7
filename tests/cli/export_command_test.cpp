// orvane-export through its streams: the usage faults, the directory and output failures with
// their exit statuses and texts, the marks of the patterns, --all and --dependents, and the exact
// document bytes on standard output and in a file.
#include "cli/export_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/d_ini.h"
#include "directory/client/dir_client.h"
#include "directory/client/dir_session.h"
#include "directory/client/sample_tree.h"
#include "tests/support/ldif_records.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kShopTree = std::string(ORVANE_TEST_DATA) + "/shop_tree.ldif";

struct Result {
  int status;
  std::string out;
  std::string err;
};

class ExportCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shop_ = Write("shop.ini", "[s]\ntree = SHOP_TREE\nsource = " + kShopTree +
                                  "\ncontext = Start.Shop\nprimary = yes\n");
  }

  std::string Write(const std::string& name, const std::string& text) const {
    return folder_.Write(name, text).string();
  }
  std::string Read(const fs::path& path) const { return folder_.Read(path); }
  // A connections file whose one connection, the primary one of `tree`, is the LDIF text `ldif`
  // (written as `name`.ldif) with [Root] as its context.
  std::string WriteTree(const std::string& name, const std::string& tree,
                        const std::string& ldif) const {
    return Write(name + ".ini", "[" + name + "]\ntree = " + tree + "\nsource = " +
                                    Write(name + ".ldif", ldif) + "\ncontext =\nprimary = yes\n");
  }
  static Result Run(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    DirSession client;
    const int status = RunExport(client, arguments, out, err);
    return {status, out.str(), err.str()};
  }
  Result RunShop(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--connections", shop_});
    return Run(arguments);
  }

  // The client must not find a connections file of the user's.
  TempConfigFolder folder_{"orvane-cli"};
  const fs::path& root_ = folder_.Root();
  std::string shop_;
};

constexpr const char* kUsageLines =
    "Usage: orvane-export [--connections FILE] [--tree NAME] [--base CONTAINER]\n"
    "                     [--modules TEXT] [--categories TEXT] [--roles TEXT] [--books TEXT]\n"
    "                     [--tasks TEXT] [--all] [--dependents] [--list] [-o FILE]\n"
    "                     [--password-file FILE]\n";

TEST_F(ExportCommandTest, UsageFaultsExitTwoWithTheFaultAndTheUsage) {
  const struct {
    std::vector<std::string> arguments;
    std::string fault;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"roles.xml"}, "unexpected argument 'roles.xml'"},
      {{"-"}, "unexpected argument '-'"},
      {{"--all", "--tree"}, "option '--tree' needs a value"},
      {{"-o"}, "option '-o' needs a value"},
      {{"--tree="}, "option '--tree' needs a non-empty value"},
      {{"--base", ""}, "option '--base' needs a non-empty value"},
      {{"--connections", ""}, "option '--connections' needs a non-empty value"},
      {{"--list=yes"}, "option '--list' takes no value"},
      {{"--help=me"}, "option '--help' takes no value"},
      // A fault anywhere wins over --help.
      {{"--help", "--nope"}, "unknown option '--nope'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const Result result = Run(c.arguments);
    EXPECT_EQ(result.status, kExportUsageError);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "orvane-export: " + c.fault + "\n" + kUsageLines +
                              "Try 'orvane-export --help' for more information.\n");
  }
}

TEST_F(ExportCommandTest, HelpAndVersionGoToStandardOutput) {
  const Result help = Run({"--list", "--help"});
  EXPECT_EQ(help.status, kExportDone);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind(kUsageLines, 0), 0u) << help.out;
  for (const char* option : {"--connections FILE", "--dependents", "-o FILE", "Exit status"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(Run({"-h"}).out, help.out);

  const Result version = Run({"--version"});
  EXPECT_EQ(version.status, kExportDone);
  // Both name the user guide where this program finds it.
  const std::string versionLines =
      "orvane-export v2.01\nUser guide: " + ProgramDocument(ProgramFile(), "index.html").string() +
      "\n";
  EXPECT_EQ(version.out, versionLines);
  EXPECT_TRUE(help.out.ends_with("\n\n" + versionLines)) << help.out;
}

TEST_F(ExportCommandTest, DirectoryFailuresExitOneWithTheirTextAndWriteNothing) {
  const std::string empty = Write("empty.ini", "");
  // A tree name that is all "_" is empty once cleaned.
  const std::string noTrees = Write("none.ini", "[s]\ntree = ___\nsource = sample\n");
  const std::string broken = Write("broken.ini", "[s]\ntree = T\nsource = sample\nnonsense\n");
  const std::string target = (root_ / "out.xml").string();
  // The primary connection's file is gone; the shop tree is still there.
  const std::string gone = (root_ / "gone.ldif").string();
  const std::string goneIni =
      Write("gone.ini", "[s]\ntree = SHOP_TREE\nsource = " + kShopTree +
                            "\n[gone]\ntree = GONE_TREE\nsource = " + gone + "\nprimary = yes\n");
  const std::string goneReason =
      gone + ": cannot be read (No such file or directory) (connection [gone] in " + goneIni +
      " line 4)";
  // A value larger than any read's buffer.
  const std::string big = WriteTree("big", "BIG",
                                    "dn: o=Big\nobjectClass: organization\no: Big\n\n"
                                    "dn: cn=Wide,o=Big\nobjectClass: rbsRole2\n"
                                    "cn: Wide\nrbsParameters: " +
                                        std::string(70000, 'x') + "\n");
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } cases[] = {
      {{"--connections", goneIni, "--tree", "gone_tree", "-o", target},
       "Tree \"gone_tree\" cannot be reached: " + goneReason},
      // A script that names no tree gets the primary one or nothing.
      {{"--connections", goneIni, "-o", target},
       "The default tree \"GONE_TREE\" cannot be reached: " + goneReason},
      {{"--connections", big, "--base", "Big", "--all", "-o", target},
       "Reading rbsParameters of .Wide.Big returned error 0xFFFFFD77 (Insufficient buffer: a "
       "value of rbsParameters takes 70027 bytes of a read buffer, which holds 64512)"},
      {{"--connections", shop_, "--tree", "other_tree", "-o", target},
       "Tree \"other_tree\" not found; the directory client knows SHOP_TREE"},
      {{"--connections", shop_, "--base", ".Nowhere.Shop", "--all", "-o", target},
       "Container \".Nowhere.Shop\" not found in tree SHOP_TREE"},
      {{"--connections", shop_, "--base", "Nowhere", "--list"},
       "Container \".Nowhere\" not found in tree SHOP_TREE"},
      {{"--connections", noTrees}, "The directory client is connected to no tree"},
      {{"--connections", empty},
       "Could not find server/tree connection. InitNetWare returned error 0x8810 (" + empty +
           " line 1: no connection is defined)"},
      {{"--connections", (root_ / "missing.ini").string()},
       "Could not find server/tree connection. InitNetWare returned error 0x8810 (" +
           (root_ / "missing.ini").string() + ": cannot be read (No such file or directory))"},
      // A folder is refused as the settings' reader refuses it, never read as an empty file.
      {{"--connections", root_.string()},
       "Could not find server/tree connection. InitNetWare returned error 0x8810 (" +
           root_.string() + ": cannot be read (Is a directory))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const Result result = Run(c.arguments);
    EXPECT_EQ(result.status, kExportFailed);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "orvane-export: " + c.error + "\n");
    EXPECT_FALSE(fs::exists(target));
  }
  EXPECT_EQ(Run({"--connections", goneIni, "--tree", "SHOP_TREE", "--list"}).status, kExportDone);

  // A malformed connections file is named with its line.
  const Result malformed = Run({"--connections", broken});
  EXPECT_EQ(malformed.status, kExportFailed);
  EXPECT_NE(malformed.err.find(broken), std::string::npos) << malformed.err;
  EXPECT_NE(malformed.err.find("line 4"), std::string::npos) << malformed.err;

  // A value libldap cannot decode gives one message line, the program's: libldap adds none.
  const std::string badValue =
      Write("value.ldif", "dn: o=X\nobjectClass: organization\ndescription:: !!!!\n");
  const std::string badSource = Write("value.ini", "[s]\ntree = T\nsource = " + badValue + "\n");
  ::testing::internal::CaptureStderr();
  const Result undecoded = Run({"--connections", badSource});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(undecoded.status, kExportFailed);
  EXPECT_EQ(
      undecoded.err,
      "orvane-export: A connection could not be opened; its tree is left out:\nT: " + badValue +
          " line 3: attribute description: the base64 value cannot be decoded (connection "
          "[s] in " +
          badSource + " line 1)\n");
}

TEST_F(ExportCommandTest, PatternsAllAndDependentsMarkTheLists) {
  const std::string unmarked =
      "module\t-\tModA.Start.Shop\n"
      "module\t-\tModB.ModA.Start.Shop\n"
      "module\t-\tModC.Start.Shop\n"
      "category\t-\tCat1.Start.Shop\n"
      "category\t-\tCat2.Start.Shop\n"
      "role\t-\tRole.Start.Shop\n"
      "book\t-\tBookB.ModB.ModA.Start.Shop\n"
      "task\t-\tShared.ModB.ModA.Start.Shop\n"
      "task\t-\tOwnA.ModA.Start.Shop\n"
      "task\t-\tOwnC.ModC.Start.Shop\n"
      "task\t-\tFree.Start.Shop\n";
  // The marks of each line above, in order.
  const struct {
    std::vector<std::string> arguments;
    std::string marks;
  } cases[] = {
      {{}, "-----------"},
      {{"--all"}, "xxxxxxxxxxx"},
      // ASCII case ignored, per list; an empty text checks nothing.
      {{"--modules", "moda"}, "xx---------"},
      {{"--modules=MOD", "--tasks", "own", "--categories", ""}, "xxx-----xx-"},
      {{"--books", "B.M"}, "------x----"},
      // --all first, then the texts narrow their own lists.
      {{"--tasks", "free", "--all"}, "xxxxxxx---x"},
      // A later repeat wins.
      {{"--roles", "x", "--roles", "role"}, "-----x-----"},
      // Modules mark the books and tasks in their whole subtrees: what lies below ModB belongs
      // to ModA too.
      {{"--modules", "ModB", "--dependents"}, "-x----xx---"},
      {{"--modules", "ModA", "--dependents"}, "xx----xxx--"},
      {{"--modules", "ModC", "--dependents"}, "--x------x-"},
      // The role names Free, BookB (not a task) and a task outside the container.
      {{"--roles", "Role", "--dependents"}, "-----x----x"},
      {{"--dependents"}, "-----------"},
      // The two kinds of dependents together.
      {{"--modules", "ModC", "--roles", "Role", "--dependents"}, "--x--x---xx"},
  };
  for (const auto& c : cases) {
    std::string expected;
    std::istringstream lines(unmarked);
    std::string line;
    for (size_t i = 0; std::getline(lines, line); ++i) {
      const size_t tab = line.find('\t');
      expected += line.substr(0, tab + 1) + c.marks.at(i) + line.substr(tab + 2) + "\n";
    }
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back("--list");
    const Result result = RunShop(arguments);
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    EXPECT_EQ(result.status, kExportDone) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, expected);
  }
}

TEST_F(ExportCommandTest, BaseContainerFormsAndTheDefaultNameContext) {
  const Result byDefault = RunShop({"--list"});
  ASSERT_EQ(byDefault.status, kExportDone) << byDefault.err;
  for (const char* base : {".Start.Shop", "Start.Shop", "start.shop"}) {
    EXPECT_EQ(RunShop({"--base", base, "--list"}).out, byDefault.out) << base;
  }
  // Only what lies below the base, and the whole tree from the root in either spelling.
  EXPECT_EQ(RunShop({"--base", "ModC.Start.Shop", "--list"}).out,
            "module\t-\tModC.Start.Shop\ntask\t-\tOwnC.ModC.Start.Shop\n");
  const Result root = RunShop({"--base", "[Root]", "--list"});
  EXPECT_EQ(root.status, kExportDone) << root.err;
  EXPECT_NE(root.out.find("task\t-\tOutside.Shop\n"), std::string::npos) << root.out;
  EXPECT_NE(root.out.find("category\t-\tOutCat.Shop\n"), std::string::npos) << root.out;
  EXPECT_EQ(RunShop({"--base", "[ROOT]", "--list"}).out, root.out);
  // The tree is chosen ignoring case.
  EXPECT_EQ(RunShop({"--tree", "shop_tree", "--list"}).out, byDefault.out);
}

TEST_F(ExportCommandTest, TheDocumentGoesToStandardOutputOrReplacesTheFile) {
  const std::string document =
      "<install>\r\n\r\n"
      "<module>\r\n     <id>ModC</id>\r\n     <version></version>\r\n</module>\r\n\r\n"
      "<role>\r\n     <id>Role</id>\r\n</role>\r\n\r\n"
      "<task>\r\n     <id>Free</id>\r\n</task>\r\n\r\n"
      "\r\n</install>\r\n";
  const std::vector<std::string> marks = {"--modules", "ModC",    "--roles",
                                          "Role",      "--tasks", "Free"};
  const Result shown = RunShop(marks);
  EXPECT_EQ(shown.status, kExportDone) << shown.err;
  EXPECT_EQ(shown.out, document);
  EXPECT_EQ(RunShop({"--tasks", "none"}).out, "<install>\r\n\r\n\r\n</install>\r\n");

  const fs::path target = root_ / "roles.xml";
  std::ofstream(target) << "old";
  std::vector<std::string> toFile = marks;
  toFile.insert(toFile.end(), {"-o", target.string()});
  const Result saved = RunShop(toFile);
  EXPECT_EQ(saved.status, kExportDone) << saved.err;
  EXPECT_EQ(saved.out, "");
  EXPECT_EQ(Read(target), document);
  // The list goes to the file as well.
  EXPECT_EQ(RunShop({"--base", "ModC.Start.Shop", "--list", "-o", target.string()}).status,
            kExportDone);
  EXPECT_EQ(Read(target), "module\t-\tModC.Start.Shop\ntask\t-\tOwnC.ModC.Start.Shop\n");

  // A file that cannot be written: the message, exit 1, the old file as it was.
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  if (::access(target.c_str(), W_OK) != 0) {  // root may write anyway
    const Result refused = RunShop({"--all", "-o", target.string()});
    EXPECT_EQ(refused.status, kExportFailed);
    EXPECT_EQ(refused.err,
              "orvane-export: Cannot create file " + target.string() + ": Permission denied\n");
    EXPECT_EQ(Read(target), "module\t-\tModC.Start.Shop\ntask\t-\tOwnC.ModC.Start.Shop\n");
  }
  // Only a regular file is replaced: a FIFO (or a device) named by -o stays what it was.
  const fs::path fifo = root_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<fs::path, std::string> unwritables[] = {
      {root_ / "no" / "such.xml", "No such file or directory"},
      {root_, "Is a directory"},
      {fifo, "Not a regular file"},
  };
  for (const auto& [unwritable, reason] : unwritables) {
    const Result refused = RunShop({"--all", "-o", unwritable.string()});
    EXPECT_EQ(refused.status, kExportFailed);
    EXPECT_EQ(refused.err,
              "orvane-export: Cannot create file " + unwritable.string() + ": " + reason + "\n");
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  // Standard output that refuses the bytes is a failure, not a success.
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  std::ostringstream err;
  DirSession client;
  EXPECT_EQ(RunExport(client, {"--connections", shop_, "--all"}, out, err), kExportFailed);
  EXPECT_EQ(err.str(), "orvane-export: Cannot write to standard output\n");
  // A full device: every kind of output fails with the system's reason, --help included.
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--help"}, {"--version"}, {"--connections", shop_, "--list"}}) {
    std::ofstream full("/dev/full");
    std::ostringstream refused;
    EXPECT_EQ(RunExport(client, arguments, full, refused), kExportFailed) << arguments.front();
    EXPECT_EQ(refused.str(),
              "orvane-export: Cannot write to standard output: No space left on "
              "device\n");
  }
}

// Names and texts from the directory or the command line may hold bytes that a terminal obeys
// or that make a line of the list: messages show control bytes as escapes, the list escapes
// what would end a field or a line.
TEST_F(ExportCommandTest, HostileTextIsEscapedInMessagesAndInTheList) {
  // cn "R<LF>task<TAB>x<TAB>Forged", as base64.
  const std::string connections =
      WriteTree("hostile", "H",
                "dn: o=Shop\nobjectClass: organization\no: Shop\n\n"
                "dn:: Y249Ugp0YXNrCXgJRm9yZ2VkLG89U2hvcA==\n"
                "objectClass: rbsRole2\ncn:: Ugp0YXNrCXgJRm9yZ2Vk\n\n"
                "dn: cn=C:\\5Cx,o=Shop\nobjectClass: rbsRole2\ncn: C:\\x\n");
  const Result list = Run({"--connections", connections, "--base", "Shop", "--list"});
  EXPECT_EQ(list.status, kExportDone) << list.err;
  // The name's own backslash is the client's escape of the one in the cn.
  EXPECT_EQ(list.out, "role\t-\tR\\ntask\\tx\\tForged.Shop\nrole\t-\tC:\\\\\\\\x.Shop\n");

  const Result base = Run({"--connections", connections, "--base", "\x1B]0;PWNED\x07\x1B[2J"});
  EXPECT_EQ(base.status, kExportFailed);
  EXPECT_EQ(base.err,
            "orvane-export: Container \".\\x1b]0;PWNED\\x07\\x1b[2J\" not found in tree H\n");
  const Result usage = Run({"--\x1B[2J"});
  EXPECT_EQ(usage.status, kExportUsageError);
  EXPECT_EQ(usage.err.substr(0, usage.err.find('\n') + 1),
            "orvane-export: unknown option '--\\x1b[2J'\n");
}

// What an administrator exports to work offline: a dump of the RBS subtree alone, whose first
// entry has no parent in the file, gives the document that subtree of the whole tree gives.
TEST_F(ExportCommandTest, ADumpOfASubtreeExportsAsThatSubtreeOfTheWholeTree) {
  const std::string whole(EmbeddedSampleTree());
  const std::string base = "cn=RBS Collection,ou=Services,o=Larkspur";
  const auto connections = [&](const std::string& ldif) {
    return Write("tree.ini",
                 "[t]\ntree = T\nsource = " + Write("tree.ldif", ldif) + "\nprimary = yes\n");
  };
  const std::vector<std::string> all = {"--base", "RBS Collection.Services.Larkspur", "--all"};
  std::vector<std::string> arguments = {"--connections", connections(whole)};
  arguments.insert(arguments.end(), all.begin(), all.end());
  const Result fromWhole = Run(arguments);
  ASSERT_EQ(fromWhole.status, kExportDone) << fromWhole.err;
  EXPECT_NE(fromWhole.out.find("<role>"), std::string::npos);
  const std::string dump = SubtreeLdif(whole, base);
  ASSERT_NE(dump.find("dn: " + base + "\n"), std::string::npos);
  ASSERT_EQ(dump.find("dn: ou=Services,o=Larkspur\n"), std::string::npos);
  arguments[1] = connections(dump);
  const Result fromDump = Run(arguments);
  EXPECT_EQ(fromDump.status, kExportDone) << fromDump.err;
  EXPECT_EQ(fromDump.err, "");
  EXPECT_EQ(fromDump.out, fromWhole.out);
}

// Values outside their syntax are told of on standard error; the export goes on as ever.
TEST_F(ExportCommandTest, ValuesOutsideTheirSyntaxAreToldOfAndTheExportGoesOn) {
  const Result before = RunShop({"--all"});
  ASSERT_EQ(before.status, kExportDone) << before.err;
  std::string ldif = Read(kShopTree);
  ldif += "\ndn: cn=Odd,o=Shop\nloginGraceLimit: many\n";
  const std::string source = Write("odd.ldif", ldif);
  const std::string ini =
      Write("odd.ini", "[s]\ntree = SHOP_TREE\nsource = " + source + "\ncontext = Start.Shop\n");
  const Result after = Run({"--connections", ini, "--all"});
  EXPECT_EQ(after.status, kExportDone);
  EXPECT_EQ(after.out, before.out);
  EXPECT_EQ(after.err, "orvane-export: " + source +
                           ": 1 value does not fit its attribute's syntax; it is kept as written "
                           "and shown as text (as bytes when not UTF-8): line " +
                           std::to_string(std::count(ldif.begin(), ldif.end(), '\n') - 1) +
                           " loginGraceLimit \"many\" (not a 32-bit integer)\n");
}

TEST_F(ExportCommandTest, ValuesAreTextAndBytesNoDocumentCanHoldFailTheExport) {
  // The values are base64 in the LDIF: markup that would add an element, a key that is no XML
  // Name, a control character and a byte that is not UTF-8.
  const std::string connections =
      WriteTree("values", "V",
                "dn: o=Shop\nobjectClass: organization\no: Shop\n\n"
                "dn: cn=Evil,o=Shop\nobjectClass: rbsRole2\ncn: Evil\n"
                "rbsParameters:: dmVuZG9yPWE8L3ZlbmRvcj48ZXZpbD5wd248L2V2aWw+"
                "PHZlbmRvcj5iO2HDl2I9MQ==\n\n"
                "dn: cn=Bad,o=Shop\nobjectClass: rbsTask2\ncn: Bad\n"
                "rbsPageMembership: Fine\nrbsPageMembership:: T2sB\n\n"
                // "k=a\0b;role=Admin": the NUL used to end the value.
                "dn: cn=Nul,o=Shop\nobjectClass: rbsTask2\ncn: Nul\n"
                "rbsParameters:: az1hAGI7cm9sZT1BZG1pbg==\n");
  const Result evil = Run({"--connections", connections, "--roles", "Evil"});
  EXPECT_EQ(evil.status, kExportDone) << evil.err;
  EXPECT_EQ(
      evil.out,
      "<install>\r\n\r\n<role>\r\n     <id>Evil</id>\r\n"
      "\t<vendor>a&lt;/vendor&gt;&lt;evil&gt;pwn&lt;/evil&gt;&lt;vendor&gt;b</vendor>\r\n"
      "\t<url-param>\r\n\t\t<param-key>a\xC3\x97"
      "b</param-key>\r\n"
      "\t\t<param-value>1</param-value>\r\n\t</url-param>\r\n</role>\r\n\r\n\r\n</install>\r\n");

  const fs::path target = root_ / "all.xml";
  const Result bad = Run({"--connections", connections, "--all", "-o", target.string()});
  EXPECT_EQ(bad.status, kExportFailed);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "orvane-export: Cannot export rbsPageMembership of Bad.Shop, byte offset 8: U+0001 is "
            "not a character an XML document can hold\n");
  EXPECT_FALSE(fs::exists(target));
  const Result nul = Run({"--connections", connections, "--tasks", "Nul"});
  EXPECT_EQ(nul.status, kExportFailed);
  EXPECT_EQ(nul.out, "");
  EXPECT_EQ(nul.err,
            "orvane-export: Cannot export rbsParameters of Nul.Shop, byte offset 3: U+0000 is not "
            "a character an XML document can hold\n");
}

}  // namespace
