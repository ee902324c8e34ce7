// The install document line by line: the two worked examples, the empty document, rights,
// module versions and the lines that used to leave the document malformed.
#include "xmlexport/install_document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "tests/xmlexport/table_source.h"
#include "tests/xmlexport/xml_parse.h"
#include "util/hooks.h"
#include "xmlexport/d_xml.h"
#include "xmlexport/xml_save.h"

namespace {

using Lines = std::vector<std::string>;

Lines Document(const TableAttributeSource& source, const XmlCheckedItems& items) {
  return BuildInstallDocument(source, items);
}

// The lines of the task Reset.Tasks.Cfg's block with the given rbsTaskRights values.
Lines TaskBlock(const std::vector<std::string>& rights) {
  TableAttributeSource source;
  source.Set("T.Cfg", "rbsTaskRights", rights);
  XmlDocumentLines lines;
  XmlInstallWriter(source, lines).SaveTasksXml({"T.Cfg"});
  return lines.Lines();
}

TEST(InstallDocument, EmptyDocumentHasFourLines) {
  const TableAttributeSource source;
  EXPECT_EQ(Document(source, {}), (Lines{"<install>", "", "", "</install>"}));
}

TEST(InstallDocument, RoleExampleIsReproducedExactly) {
  TableAttributeSource source;
  source.Set("Desk.Roles.Cfg", "rbsParameters", {"mode=edit;TC.view=list"});
  source.Set("Desk.Roles.Cfg", "rbsTargetObjectType", {"User"});
  XmlCheckedItems items;
  items.roles = {"Desk.Roles.Cfg"};
  EXPECT_EQ(Document(source, items), (Lines{
                                         "<install>",
                                         "",
                                         "<role>",
                                         "     <id>Desk</id>",
                                         "\t<mode>edit</mode>",
                                         "\t<url-param>",
                                         "\t\t<param-key>TC.view</param-key>",
                                         "\t\t<param-value>list</param-value>",
                                         "\t</url-param>",
                                         "     <object-type-name>User</object-type-name>",
                                         "</role>",
                                         "",
                                         "",
                                         "</install>",
                                     }));
}

TEST(InstallDocument, TaskExampleIsReproducedExactly) {
  TableAttributeSource source;
  source.Set("Reset.Tasks.Cfg", "rbsEntryPoint", {"ResetPage"});
  source.Set("Reset.Tasks.Cfg", "rbsContentMembership", {"Desk.Roles.Cfg", "Help.Roles.Cfg"});
  source.Set("Reset.Tasks.Cfg", "rbsTaskRights", {"Title;5", "Phone"});
  XmlDocumentLines lines;
  XmlInstallWriter(source, lines).SaveTasksXml({"Reset.Tasks.Cfg"});
  EXPECT_EQ(lines.Lines(), (Lines{
                               "<task>",
                               "     <id>Reset</id>",
                               "     <class-name>ResetPage</class-name>",
                               "     <role-assignment>Desk</role-assignment>",
                               "     <role-assignment>Help</role-assignment>",
                               "     <rights-assignment>",
                               "          <attribute-name>Title</attribute-name>",
                               "          <privilege>Browse</privilege>",
                               "          <privilege>Delete</privilege>",
                               "     </rights-assignment>",
                               "</task>",
                               "",
                           }));
}

TEST(InstallDocument, IdsAndRoleAssignmentsKeepEscapedDotsOfTheirLeaf) {
  TableAttributeSource source;
  source.Set("Audit v1\\.2.Extra.Coll", "rbsContentMembership",
             {"Desk v3\\.1.Roles.Coll", "A\\+B.Roles.Coll"});
  XmlDocumentLines lines;
  XmlInstallWriter(source, lines).SaveTasksXml({"Audit v1\\.2.Extra.Coll"});
  EXPECT_EQ(lines.Lines(), (Lines{
                               "<task>",
                               "     <id>Audit v1\\.2</id>",
                               "     <role-assignment>Desk v3\\.1</role-assignment>",
                               "     <role-assignment>A\\+B</role-assignment>",
                               "</task>",
                               "",
                           }));
}

TEST(InstallDocument, KindsFollowEachOtherWithTheirOwnTagsAndReads) {
  TableAttributeSource source;
  source.Set("M.Cfg", "rbsXMLInfo", {"<info><version>1.2</version></info>"});
  source.Set("B.M.Cfg", "rbsPageMembership", {"Page.One", "Page Two"});
  source.Set("C.Cfg", "rbsTargetObjectType", {"User", "Group"});
  XmlCheckedItems items;
  items.modules = {"M.Cfg"};
  items.categories = {"C.Cfg"};
  items.roles = {"R"};
  items.books = {"B.M.Cfg"};
  items.tasks = {"T.M.Cfg"};
  EXPECT_EQ(Document(source, items), (Lines{
                                         "<install>",
                                         "",
                                         "<module>",
                                         "     <id>M</id>",
                                         "     <version>1.2</version>",
                                         "</module>",
                                         "",
                                         "<category>",
                                         "     <id>C</id>",
                                         "     <object-type-name>User</object-type-name>",
                                         "     <object-type-name>Group</object-type-name>",
                                         "</category>",
                                         "",
                                         "<role>",
                                         "     <id>R</id>",
                                         "</role>",
                                         "",
                                         "<book>",
                                         "     <id>B</id>",
                                         "     <page-assignment>Page.One</page-assignment>",
                                         "     <page-assignment>Page Two</page-assignment>",
                                         "</book>",
                                         "",
                                         "<task>",
                                         "     <id>T</id>",
                                         "</task>",
                                         "",
                                         "",
                                         "</install>",
                                     }));
  // Five reads per item, one more for a module's version and a task's rights.
  EXPECT_EQ(source.Reads(), 5 * 5 + 2);
}

TEST(InstallDocument, RightsNumbersGiveBlocksOfTheirLowSevenBits) {
  const std::string open = "     <rights-assignment>";
  const std::string name = "          <attribute-name>A</attribute-name>";
  const std::string close = "     </rights-assignment>";
  auto privilege = [](std::string_view text) {
    return "          <privilege>" + std::string(text) + "</privilege>";
  };
  struct Case {
    std::string value;
    Lines rights;  // the block's lines between <id> and </task>
  };
  const Case cases[] = {
      {"A;0", {open, name, close}},
      {"A;127",
       {open, name, privilege("Browse"), privilege("Create"), privilege("Delete"), privilege("8"),
        privilege("16"), privilege("Supervisor"), privilege("64"), close}},
      {"A;128", {open, name, close}},
      {"A;160", {open, name, privilege("Supervisor"), close}},
      // The number is read as a 32-bit float; this one is exact and the largest below 2^31.
      {"A;2147483520", {open, name, close}},
      {"A;-1", {}},
      {"A;x", {}},
      {"A;", {}},
      {"A", {}},
      {"A;2;3", {}},
      // Beyond 32 bits the number is skipped like a text that is no number.
      {"A;2147483648", {}},
      {"A;99999999999", {}},
  };
  for (const Case& c : cases) {
    Lines expected = {"<task>", "     <id>T</id>"};
    expected.insert(expected.end(), c.rights.begin(), c.rights.end());
    expected.insert(expected.end(), {"</task>", ""});
    EXPECT_EQ(TaskBlock({c.value}), expected) << c.value;
  }
}

TEST(InstallDocument, ModuleVersionComesFromTheXmlInfoText) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"<?xml version=\"1.0\"?>", "<module-info>", "<version>2.6.1</version>", "</module-info>"},
       "     <version>2.6.1</version>"},
      {{"<version>3.0</versionX>"}, "     <version>3.0</version>"},
      {{"1.0</version>"}, "     <version>1.0</version>"},
      {{"no version here"}, "     <version>no version here</version>"},
      {{""}, "     <version></version>"},
  };
  for (const auto& [info, expected] : cases) {
    TableAttributeSource source;
    source.Set("M", "rbsXMLInfo", info);
    XmlDocumentLines lines;
    XmlInstallWriter(source, lines).SaveModulesXml({"M"});
    EXPECT_EQ(lines.Lines(), (Lines{"<module>", "     <id>M</id>", expected, "</module>", ""}))
        << info.front();
  }
  // A module without the attribute used to get an opening tag alone.
  const TableAttributeSource none;
  XmlDocumentLines lines;
  XmlInstallWriter(none, lines).SaveModulesXml({"M"});
  EXPECT_EQ(lines.Lines().at(2), "     <version></version>");
}

TEST(InstallDocument, TextsThatWouldBreakTheDocumentAreMended) {
  TableAttributeSource source;
  source.Set("R&D <x>.Roles", "rbsParameters", {"vendor=Smith & Sons;flag;my key=1"});
  source.Set("R&D <x>.Roles", "rbsEntryPoint", {"a<b", "<b>bold</b>", ""});
  source.Set("R&D <x>.Roles", "rbsContentMembership", {"T&C.Roles"});
  XmlDocumentLines lines;
  XmlInstallWriter writer(source, lines);
  writer.SaveRolesXML({"R&D <x>.Roles", ".Leading.Dot"});
  EXPECT_EQ(lines.Lines(), (Lines{
                               "<role>",
                               "     <id>R&amp;D &lt;x&gt;</id>",
                               "\t<vendor>Smith &amp; Sons</vendor>",
                               "\t<flag></flag>",
                               "\t<url-param>",
                               "\t\t<param-key>my key</param-key>",
                               "\t\t<param-value>1</param-value>",
                               "\t</url-param>",
                               "     <class-name>a&lt;b</class-name>",
                               "     <class-name>&lt;b&gt;bold&lt;/b&gt;</class-name>",
                               "     <class-name></class-name>",
                               "     <role-assignment>T&amp;C</role-assignment>",
                               "</role>",
                               "",
                               "<role>",
                               "     <id></id>",
                               "</role>",
                               "",
                           }));
}

TEST(InstallDocument, NoValueAddsAnElementAndAParserAcceptsTheDocument) {
  TableAttributeSource source;
  const std::string role = "R<x>&y.Roles";
  source.Set(role, "rbsParameters",
             {"vendor=a</vendor><evil>pwn</evil><vendor>b;a\xC3\x97"
              "b=1;x:y=2;1st=3;ok=R&D;id=Fake;role-assignment=Admin;x\xE2\x80\xBF=2"});
  source.Set(role, "rbsEntryPoint", {"]]><!--&#65;&nbsp;", "</class-name></role><evil/>"});
  source.Set(role, "rbsContentMembership", {"<b>T</b>.Roles"});
  source.Set(role, "rbsTaskRights", {"<i>;1"});
  source.Set("M", "rbsXMLInfo", {"<version><v/>&x</version>"});
  XmlCheckedItems items;
  items.modules = {"M"};
  items.roles = {role};
  items.tasks = {role};
  const std::string document = XmlFileText(Document(source, items));
  // Both common parsers read the same elements and texts.
  for (const auto parse : {&ParseXml, &ParseXmlWithExpat}) {
    const ParsedDocument parsed = parse(document);
    ASSERT_TRUE(parsed.root.has_value()) << parsed.error;
    std::string elements;
    std::vector<std::string> texts;
    const std::function<void(const ParsedElement&)> walk = [&](const ParsedElement& element) {
      elements += element.name + " ";
      EXPECT_TRUE(IsDocumentElementName(element.name) || element.name == "vendor" ||
                  element.name == "ok")
          << element.name;
      if (element.children.empty()) {
        texts.push_back(element.text);
      }
      for (const ParsedElement& child : element.children) {
        walk(child);
      }
    };
    walk(*parsed.root);
    const std::string urlParam = "url-param param-key param-value ";
    const std::string common = "id vendor " + urlParam + urlParam + urlParam + "ok " + urlParam +
                               urlParam + urlParam + "class-name class-name role-assignment ";
    EXPECT_EQ(elements, "install module id version role " + common + "task " + common +
                            "rights-assignment attribute-name privilege ");
    // A reader gets the directory's text back, markup and all.
    EXPECT_EQ(texts.at(1), "<v/>&x");
    EXPECT_EQ(texts.at(2), "R<x>&y");
    EXPECT_EQ(texts.at(3), "a</vendor><evil>pwn</evil><vendor>b");
    EXPECT_EQ(texts.at(10), "R&D");
    EXPECT_EQ(texts.at(11), "id");
    EXPECT_EQ(texts.at(12), "Fake");
    EXPECT_EQ(texts.at(17), "]]><!--A&nbsp;");
    EXPECT_EQ(texts.at(18), "</class-name></role><evil/>");
    EXPECT_EQ(texts.at(19), "<b>T</b>");
  }
}

TEST(InstallDocument, TheFirstBadTextIsNamedByItemAttributeAndOffset) {
  struct Case {
    std::string attribute;
    std::vector<std::string> values;
    std::string message;  // empty: no fault
  };
  const std::string item = "Ok.Cfg";
  const Case cases[] = {
      {"rbsEntryPoint", {"fine", "\xC3\xA9t\xC3\xA9"}, ""},
      {"rbsEntryPoint",
       {"fine", "ab\x01"},
       "rbsEntryPoint of Ok.Cfg, byte offset 8: U+0001 is not a character an XML document can "
       "hold"},
      {"rbsParameters",
       {"a=1;b=x\xFF"},
       "rbsParameters of Ok.Cfg, byte offset 7: byte 0xFF is not valid UTF-8"},
      // Only what goes into the document counts: the part after the cut, the rights number.
      {"rbsContentMembership", {"Desk.\x01"}, ""},
      {"rbsContentMembership",
       {"x", "De\xEF\xBF\xBFsk.Roles"},
       "rbsContentMembership of Ok.Cfg, byte offset 5: U+FFFF is not a character an XML document "
       "can hold"},
      {"rbsTaskRights",
       {"A;1\x02", "Phone\x02", "Ti\xC3;1"},
       "rbsTaskRights of Ok.Cfg, byte offset 16: byte 0xC3 is not valid UTF-8"},
      {"rbsXMLInfo",
       {"\x01<version>2.\xF8</version>\x01"},
       "rbsXMLInfo of Ok.Cfg, byte offset 12: byte 0xF8 is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    TableAttributeSource source;
    source.Set(item, c.attribute, c.values);
    XmlDocumentLines lines;
    XmlInstallWriter writer(source, lines);
    writer.SaveTasksXml({item});
    writer.SaveModulesXml({item});
    const std::optional<XmlTextFault>& fault = writer.FirstTextFault();
    EXPECT_EQ(fault ? XmlTextFaultText(*fault) : "", c.message) << c.values.back();
    // The document still parses, with U+FFFD where the bytes were.
    const ParsedDocument parsed = ParseXml("<x>" + XmlFileText(lines.Lines()) + "</x>");
    EXPECT_TRUE(parsed.root.has_value()) << parsed.error;
  }

  // A name: the fault of the id, and its bad bytes replaced in the message too.
  const TableAttributeSource none;
  XmlDocumentLines lines;
  XmlInstallWriter writer(none, lines);
  writer.SaveRolesXML({"Fine.Cfg", "Bad\xFF\x01.Cfg", "Worse\x02.Cfg"});
  ASSERT_TRUE(writer.FirstTextFault().has_value());
  EXPECT_EQ(
      XmlTextFaultText(*writer.FirstTextFault()),
      "the name Bad\xEF\xBF\xBD\xEF\xBF\xBD.Cfg, byte offset 3: byte 0xFF is not valid UTF-8");
  EXPECT_EQ(lines.Lines().at(5), "     <id>Bad\xEF\xBF\xBD\xEF\xBF\xBD</id>");
}

// Two roles of five reads each; the server is lost at a given read. What was written before
// stays, nothing follows (the closing "</install>" neither), and no further item is read.
TEST(InstallDocument, ALostServerEndsTheDocumentWhereItWasLost) {
  const Lines roleA = {"<role>", "     <id>A</id>",
                       "     <object-type-name>User</object-type-name>", "</role>", ""};
  struct Case {
    int lostAt;
    Lines after;  // the lines after "<install>" and the empty line
    int reads;
  };
  const Case cases[] = {
      {1, {"<role>", "     <id>A</id>"}, 5},
      {3, {"<role>", "     <id>A</id>", "     <object-type-name>User</object-type-name>"}, 5},
      {6, {roleA[0], roleA[1], roleA[2], roleA[3], roleA[4], "<role>", "     <id>B</id>"}, 10},
      {11,
       {roleA[0], roleA[1], roleA[2], roleA[3], roleA[4], "<role>", "     <id>B</id>", "</role>",
        "", "", "</install>"},
       10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lostAt);
    TableAttributeSource source;
    source.Set("A.Cfg", "rbsTargetObjectType", {"User"});
    source.LoseServerAtRead(c.lostAt);
    XmlCheckedItems items;
    items.roles = {"A.Cfg", "B.Cfg"};
    Lines expected = {"<install>", ""};
    expected.insert(expected.end(), c.after.begin(), c.after.end());
    EXPECT_EQ(Document(source, items), expected);
    EXPECT_EQ(source.Reads(), c.reads);
  }
}

// Progress comes as items done of the document's items, one report per block; a stop before
// a block writes no further line, and the writer says it stopped.
TEST(InstallDocument, ReportsItemsDoneAndStopsBeforeABlock) {
  XmlCheckedItems items;
  items.modules = {"M.Cfg"};
  items.roles = {"A.Cfg", "B.Cfg"};
  items.tasks = {"T.Cfg"};
  struct Case {
    int stopAtBlock;  // 0: never
    std::vector<std::pair<int64_t, int64_t>> reports;
    size_t lines;
  };
  const Case cases[] = {
      {0, {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}, 0},
      {1, {{0, 4}}, 2},
      {3, {{0, 4}, {1, 4}, {2, 4}}, 2 + 5 + 4},  // "<install>", "", module M, role A
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAtBlock);
    const TableAttributeSource source;
    int blocks = 0;
    std::vector<std::pair<int64_t, int64_t>> reports;
    SetMessagePump([&] { ++blocks; });
    SetWorkHook(
        {[](int64_t) {},
         [&](int64_t done, int64_t total, std::string_view) { reports.emplace_back(done, total); },
         [&] { return blocks == c.stopAtBlock; }});
    XmlDocumentLines lines;
    XmlInstallWriter writer(source, lines);
    writer.WriteDocument(items);
    SetWorkHook({});
    SetMessagePump({});
    EXPECT_EQ(reports, c.reports);
    EXPECT_EQ(writer.Stopped(), c.stopAtBlock != 0);
    if (c.stopAtBlock == 0) {
      EXPECT_EQ(lines.Lines(), Document(source, items));
    } else {
      EXPECT_EQ(lines.Lines().size(), c.lines);
      const Lines whole = Document(source, items);
      EXPECT_TRUE(std::equal(lines.Lines().begin(), lines.Lines().end(), whole.begin()));
    }
  }
}

// The document kept as its file's bytes, in however many pieces, is the file of the lines kept
// apart.
TEST(InstallDocument, DocumentLinesSplitOnlyAtCrLf) {
  XmlDocumentLines lines;
  XmlDocumentText text;
  for (XmlLineSink* sink : std::initializer_list<XmlLineSink*>{&lines, &text}) {
    sink->AppendLine("");
    sink->AppendLine("a\r\n\r\nb\nc\rd\r\n");
  }
  EXPECT_EQ(lines.Lines(), (Lines{"", "a", "", "b\nc\rd", ""}));
  EXPECT_EQ(text.Pieces(), std::vector<std::string>{XmlFileText(lines.Lines())});
  for (int i = 0; i < 3000; ++i) {
    const std::string line(1000, static_cast<char>('a' + i % 26));
    lines.AppendLine(line);
    text.AppendLine(line);
  }
  lines.AppendLine(std::string(3 << 20, 'z'));  // longer than a piece
  text.AppendLine(std::string(3 << 20, 'z'));
  EXPECT_GT(text.Pieces().size(), 3u);
  std::string joined;
  for (const std::string& piece : text.Pieces())
    joined += piece;
  EXPECT_EQ(joined, XmlFileText(lines.Lines()));
}

}  // namespace
