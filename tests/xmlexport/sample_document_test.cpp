// The install document of the built-in sample tree with every RBS object checked, read through
// the real client: every block is there and the saved file is well-formed for an XML parser.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "directory/client/dir_client.h"
#include "directory/d_nw_read.h"
#include "tests/support/test_client.h"
#include "xmlexport/directory_attributes.h"
#include "xmlexport/install_document.h"
#include "xmlexport/xml_save.h"

namespace {

namespace fs = std::filesystem;

// "cn=A,ou=B,o=C" as the search context names it: "A.B.C".
std::string TypelessName(const std::string& dn) {
  std::string name;
  std::stringstream parts(dn);
  std::string part;
  while (std::getline(parts, part, ',')) {
    name += (name.empty() ? "" : ".") + part.substr(part.find('=') + 1);
  }
  return name;
}

// The RBS objects of the sample tree by object class, in the file's order.
std::map<std::string, std::vector<std::string>> SampleRbsObjects() {
  std::ifstream file(ORVANE_SAMPLE_TREE);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.starts_with(' ') && !lines.empty()) {
      lines.back() += line.substr(1);  // a folded line continues the previous one
    } else {
      lines.push_back(line);
    }
  }
  std::map<std::string, std::vector<std::string>> objects;
  std::string dn;
  for (const std::string& unfolded : lines) {
    if (unfolded.starts_with("dn: ")) {
      dn = unfolded.substr(4);
    } else if (unfolded.starts_with("objectClass: rbs")) {
      objects[unfolded.substr(13)].push_back(TypelessName(dn));
    }
  }
  return objects;
}

class SampleDocument : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tree_.Code(), kDirConnectionOk);
    ASSERT_EQ(client_.DirCreateContext(context_), kDirOk);
    ASSERT_EQ(
        client_.DirSetContextValue(context_, kDirKeyFlags, kDirFlagDerefAliases | kDirFlagTypeless),
        kDirOk);
    ASSERT_EQ(client_.DirSetContextValue(context_, kDirKeyNameContext, std::string("[Root]")),
              kDirOk);
  }

  void TearDown() override {
    if (context_ != 0) {
      EXPECT_EQ(client_.DirFreeContext(context_), kDirOk);
    }
  }

  TempFolder folder_{"orvane-xmldoc"};
  TestClient tree_{folder_, OneConnection("LARKSPUR_TREE", "sample", "context =\n")};
  DirSession& client_ = tree_.Client();
  const fs::path& dir_ = folder_.Root();
  DirContext context_ = 0;
};

TEST_F(SampleDocument, EverythingCheckedGivesAWellFormedDocument) {
  auto objects = SampleRbsObjects();
  XmlCheckedItems items;
  items.modules = objects["rbsModule2"];
  items.categories = objects["rbsCategory2"];
  items.roles = objects["rbsRole2"];
  items.books = objects["rbsBook2"];
  items.tasks = objects["rbsTask2"];
  ASSERT_EQ(items.modules.size(), 3u);
  ASSERT_EQ(items.tasks.size(), 9u);

  const DirectoryAttributeSource source(client_, context_);
  std::vector<std::string> lines = BuildInstallDocument(source, items);
  // Absent attributes are the rule, not failures.
  EXPECT_FALSE(source.FirstFailure().has_value());
  auto count = [&](const std::string& text) { return std::ranges::count(lines, text); };
  EXPECT_EQ(count("<module>"), 3);
  EXPECT_EQ(count("<category>"), 2);
  EXPECT_EQ(count("<role>"), 4);
  EXPECT_EQ(count("<book>"), 3);
  EXPECT_EQ(count("<task>"), 9);
  EXPECT_EQ(count("     <id>User Management</id>"), 1);
  EXPECT_EQ(count("     <version>2.6.1</version>"), 1);
  EXPECT_GE(count("     <rights-assignment>"), 9);
  // A parameter without "=" is closed now.
  EXPECT_EQ(count("\t<confirm></confirm>"), 1);

  const fs::path file = dir_ / "install.xml";
  const XmlSaveResult saved = SaveXmlDocument(file.string(), lines);
  ASSERT_FALSE(saved.error);
  EXPECT_FALSE(saved.closingAppended);
  const std::string command = "xmllint --noout '" + file.string() + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << "xmllint rejected " << file;
}

TEST_F(SampleDocument, TheFirstFailedReadIsRemembered) {
  const std::string task = "Create User.User Management.RBS Collection.Services.Larkspur";
  const std::string gone = "Gone.RBS Collection.Services.Larkspur";
  const DirectoryAttributeSource source(client_, context_);
  TStringList values;
  std::string text;
  EXPECT_EQ(source.ReadValues(task, "rbsEntryPoint", values), kDirOk);
  EXPECT_NE(source.ReadText(task, "noSuchThing", text), kDirOk);
  EXPECT_FALSE(source.FirstFailure().has_value());
  EXPECT_EQ(source.ReadValues(gone, "rbsEntryPoint", values), kDirNoSuchEntry);
  EXPECT_NE(source.ReadText(task, "rbsParameters", text), kDirNoSuchEntry);
  ASSERT_TRUE(source.FirstFailure().has_value());
  EXPECT_EQ(source.FirstFailure()->code, kDirNoSuchEntry);
  EXPECT_EQ(source.FirstFailure()->objectName, gone);
  EXPECT_EQ(source.FirstFailure()->attributeName, "rbsEntryPoint");

  const DirectoryAttributeSource freed(client_, 123456789);  // a context the client never made
  EXPECT_EQ(freed.ReadText(task, "rbsEntryPoint", text), kDirBadContext);
  ASSERT_TRUE(freed.FirstFailure().has_value());
  EXPECT_EQ(freed.FirstFailure()->code, kDirBadContext);
}

// The source answers most reads from one read of the object's attributes; each answer must be
// the one a read of that attribute alone gives, whatever the order of the reads, and an object
// read again after another one must not get the other's values.
TEST_F(SampleDocument, EachReadGivesWhatAReadOfThatAttributeAloneGives) {
  const std::vector<std::string> attributes = {
      "rbsXMLInfo",      "RBSPARAMETERS",     "rbsTaskRights", "rbsContentMembership",
      "rbsEntryPoint",   "rbsPageMembership", "description",   "rbsTargetObjectType",
      "noSuchAttribute", "rbsXMLInfo"};
  std::vector<std::string> objects = {"Gone.RBS Collection.Services.Larkspur"};
  for (const auto& [objectClass, names] : SampleRbsObjects()) {
    objects.insert(objects.end(), names.begin(), names.end());
  }
  ASSERT_GT(objects.size(), 20u);
  const DirectoryAttributeSource source(client_, context_);
  // Forwards, then backwards with values and text swapped, so that every object's answer is
  // asked for again after another object's.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t index = 0; index < objects.size(); ++index) {
      const std::string& object = pass == 0 ? objects[index] : objects[objects.size() - 1 - index];
      for (size_t at = 0; at < attributes.size(); ++at) {
        const std::string& attribute = attributes[at];
        SCOPED_TRACE(object + " / " + attribute);
        if ((at + pass) % 2 == 0) {
          TStringList alone;
          TStringList answered;
          alone.Add("kept");
          answered.Add("kept");
          const int32_t code = ReadAttributeValues(client_, context_, object, attribute, alone);
          EXPECT_EQ(source.ReadValues(object, attribute, answered), code);
          ASSERT_EQ(answered.Count(), alone.Count());
          for (int value = 0; value < alone.Count(); ++value) {
            EXPECT_EQ(answered.Text(value), alone.Text(value));
            EXPECT_EQ(answered.Number(value), alone.Number(value));
          }
        } else {
          std::string alone = "before";
          std::string answered = "before";
          const int32_t code = ReadAttributeText(client_, context_, object, attribute, alone);
          EXPECT_EQ(source.ReadText(object, attribute, answered), code);
          EXPECT_EQ(answered, alone);
        }
      }
    }
  }
}

}  // namespace
