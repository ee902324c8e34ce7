// Attribute reading through the real client: the fixture tree of tests/data/read_tree.ldif and
// the built-in sample tree, read through a context set up as the window's search context
// (names without types, name context "[Root]", aliases followed).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "directory/client/dir_client.h"
#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "tests/support/test_client.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSearchFlags = kDirFlagDerefAliases | kDirFlagTypeless;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A stream's bytes: letters without NUL, so its text is all of what was read.
std::string StreamBytes(size_t length) {
  std::string bytes(length, ' ');
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>('a' + i % 26);
  }
  return bytes;
}

constexpr size_t kStreamLengths[] = {64511, 64512, 64513, 70000};

class ReadTreeTest : public testing::Test {
 protected:
  void TearDown() override {
    if (context_ != 0) {
      EXPECT_EQ(client_.DirFreeContext(context_), kDirOk);
    }
  }

  void Write(const std::string& name, const std::string& text) { folder_.Write(name, text); }

  // Starts the client on one connection whose source is `source`, and opens the context.
  void Start(const std::string& source) {
    connections_.Use(folder_, OneConnection("READ_TREE", source, "context =\nfile-urls = yes\n"));
    ASSERT_EQ(connections_.Start(), kDirConnectionOk);
    ASSERT_EQ(client_.DirCreateContext(context_), kDirOk);
    ASSERT_EQ(client_.DirSetContextValue(context_, kDirKeyFlags, kSearchFlags), kDirOk);
    ASSERT_EQ(client_.DirSetContextValue(context_, kDirKeyNameContext, std::string("[Root]")),
              kDirOk);
  }

  // The fixture tree plus one module per entry of kStreamLengths, whose "rbsXMLInfo" stream
  // holds StreamBytes(length).
  void StartFixture() {
    std::string ldif = ReadFile(fs::path(ORVANE_TEST_DATA) / "read_tree.ldif");
    for (const size_t length : kStreamLengths) {
      const std::string file = "stream" + std::to_string(length);
      Write(file, StreamBytes(length));
      ldif += "\ndn: cn=Big" + std::to_string(length) +
              ",cn=RBS,ou=Roles,o=Acme\nobjectClass: rbsModule2\nrbsXMLInfo:< file://" +
              (folder_.Root() / file).string() + "\n";
    }
    Write("read_tree.ldif", ldif);
    Start("read_tree.ldif");
  }

  // The complete names of the objects of `baseClass` below the root, as the item lists show
  // them: the subtree search the export tab runs, through the same context.
  std::vector<std::string> SearchNames(const std::string& baseClass) {
    TStringList names;
    EXPECT_EQ(DSSearch(client_, context_, "[Root]", "(Base Class=" + baseClass + ")",
                       kDirScopeSubtree, names),
              kDirOk)
        << baseClass;
    return names.Texts();
  }

  // The complete name a search gives for the object whose name ends in `leafFirst`.
  std::string Found(const std::vector<std::string>& names, const std::string& leafFirst) {
    const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
      return name.find(leafFirst) != std::string::npos;
    });
    EXPECT_NE(found, names.end()) << leafFirst;
    return found == names.end() ? std::string() : *found;
  }

  std::vector<std::string> Read(const std::string& object, const std::string& attribute,
                                int32_t expectedCode = kDirOk) {
    TStringList values;
    EXPECT_EQ(DSReadAttribute(client_, context_, object, attribute, values), expectedCode)
        << object << " / " << attribute;
    return values.Texts();
  }

  uint32_t Flags() {
    uint32_t flags = 0;
    EXPECT_EQ(client_.DirGetContextValue(context_, kDirKeyFlags, flags), kDirOk);
    return flags;
  }

  TempFolder folder_{"orvane-read"};
  ClientConnections connections_;
  DirSession& client_ = connections_.Client();
  DirContext context_ = 0;
};

TEST_F(ReadTreeTest, ValuesComeInTheDirectorysOrder) {
  StartFixture();
  EXPECT_EQ(Read(".Help Desk.RBS.Roles.Acme", "rbsParameters"),
            (std::vector<std::string>{"zeta=1", "alpha=2", "mid=3"}));
  // The attribute name may be written in any letter case, the object name with or without
  // its leading dot.
  EXPECT_EQ(Read("Help Desk.RBS.Roles.Acme", "RBSPARAMETERS"),
            (std::vector<std::string>{"zeta=1", "alpha=2", "mid=3"}));
  // The joined text: one line per value, without the line breaks the last value ends in.
  for (const auto& [attribute, expected] :
       {std::pair{"rbsParameters", "zeta=1\r\nalpha=2\r\nmid=3"},
        std::pair{"Description", "Resets a password."}}) {
    std::string text;
    EXPECT_EQ(ReadAttributeText(client_, context_, "Help Desk.RBS.Roles.Acme", attribute, text),
              kDirOk);
    EXPECT_EQ(text, expected) << attribute;
  }
}

// A value outside its syntax reads as what it was written: the attribute as text, or as bytes
// when a value is no UTF-8 text; the attributes beside it keep their syntax. A POSIX entry's
// homeDirectory is the standard text attribute, not the directory's Home Directory.
TEST_F(ReadTreeTest, ValuesOutsideTheirSyntaxReadAsTheyWereWritten) {
  Write("posix.ldif",
        "dn: o=Acme\n\ndn: uid=jdoe,o=Acme\nobjectClass: posixAccount\nhomeDirectory: /\n"
        "loginGraceLimit: many\nnotify: cn=A,o=Acme#1#2\nnotify: junk\n"
        "passwordMinimumLength: 8\nndsHomeDirectory: vol#4#HOME\n\n"
        "dn: uid=other,o=Acme\nobjectClass: posixAccount\nserverHolds:: /w==\n"
        "serverHolds: cn=A,o=Acme#5\n");
  Start("posix.ldif");
  const struct {
    const char* object;
    const char* attribute;
    std::vector<std::string> lines;
  } cases[] = {
      {"jdoe.Acme", "homeDirectory", {"/"}},
      {"jdoe.Acme", "Login Grace Limit", {"many"}},
      {"jdoe.Acme", "Notify", {"cn=A,o=Acme#1#2", "junk"}},
      {"jdoe.Acme", "Password Minimum Length", {"8"}},
      {"jdoe.Acme", "Home Directory", {"(4) vol:HOME"}},
      // One value that is no text: every value of the attribute as bytes, the one that fits too.
      {"other.Acme", "Server Holds", {"FF", "636E3D412C6F3D41636D652335"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.object) + " / " + c.attribute);
    EXPECT_EQ(Read(c.object, c.attribute), c.lines);
  }
}

TEST_F(ReadTreeTest, RoleContentIsInTheFormOfTheTaskList) {
  StartFixture();
  const std::vector<std::string> tasks = SearchNames("rbsTask2");
  ASSERT_EQ(tasks.size(), 3u);
  const std::string role = Found(SearchNames("rbsRole2"), "Help Desk.");
  // A value written in other letter case comes back as the task list spells the task, so the
  // dependency marking can match it line for line.
  EXPECT_EQ(Read(role, "rbsContent"), (std::vector<std::string>{Found(tasks, "Unlock Account."),
                                                                Found(tasks, "Reset Password."),
                                                                Found(tasks, "Create User.")}));
  EXPECT_EQ(Found(tasks, "Unlock Account."), "Unlock Account.Users.RBS.Roles.Acme");
}

TEST_F(ReadTreeTest, MissingObjectOrAttribute) {
  StartFixture();
  struct Case {
    std::string object;
    std::string attribute;
    int32_t code;
  };
  const Case cases[] = {
      {"Nobody.Roles.Acme", "Description", kDirNoSuchEntry},
      {"LaserJet.Roles.Acme", "rbsParameters", kDirNoSuchAttribute},
  };
  for (const Case& c : cases) {
    TStringList values;
    values.Add("kept");
    EXPECT_EQ(DSReadAttribute(client_, context_, c.object, c.attribute, values), c.code)
        << c.object;
    EXPECT_EQ(values.Texts(), std::vector<std::string>{"kept"});
    std::string text = "left over";
    EXPECT_EQ(ReadAttributeText(client_, context_, c.object, c.attribute, text), c.code)
        << c.object;
    EXPECT_EQ(text, "");
  }
}

TEST_F(ReadTreeTest, AliasReadWithAndWithoutFollowing) {
  StartFixture();
  const std::string printer = Found(SearchNames("Organizational Role"), "LaserJet.");
  // The alias's own attribute, whatever the letter case of its name; the context the caller
  // holds still follows aliases afterwards.
  for (const char* attribute :
       {"ALIASED OBJECT NAME", "Aliased Object Name", "aliased object name"}) {
    std::string text;
    EXPECT_EQ(ReadAttributeText(client_, context_, "Printer Alias.Roles.Acme", attribute, text),
              kDirOk)
        << attribute;
    EXPECT_EQ(text, printer) << attribute;
    EXPECT_EQ(Flags(), kSearchFlags);
  }
  // Every other attribute of an alias is read from the object it points to...
  EXPECT_EQ(Read("Printer Alias.Roles.Acme", "CN"), std::vector<std::string>{"LaserJet"});
  EXPECT_EQ(Read("Printer Alias.Roles.Acme", "Description"),
            std::vector<std::string>{"the printer itself"});
  // ...unless the caller's context does not follow aliases.
  ASSERT_EQ(client_.DirSetContextValue(context_, kDirKeyFlags, kDirFlagTypeless), kDirOk);
  EXPECT_EQ(Read("Printer Alias.Roles.Acme", "CN"), std::vector<std::string>{"Printer Alias"});
  EXPECT_EQ(Read("Printer Alias.Roles.Acme", "Description", kDirNoSuchAttribute),
            std::vector<std::string>{});
  EXPECT_EQ(Read("Printer Alias.Roles.Acme", "Aliased Object Name"),
            std::vector<std::string>{printer});
}

TEST_F(ReadTreeTest, StreamsAreCutAtTheBufferAndSaySo) {
  StartFixture();
  EXPECT_EQ(Read("Users.RBS.Roles.Acme", "rbsXMLInfo"),
            std::vector<std::string>{"Stream (21 bytes):\r\n<module id=\"users\"/>\n"});
  for (const size_t length : kStreamLengths) {
    const std::string module = "Big" + std::to_string(length) + ".RBS.Roles.Acme";
    const size_t shown = std::min<size_t>(length, kReadResultBufferSize);
    const std::string expected =
        "Stream (" + std::to_string(shown) + " bytes):\r\n" + StreamBytes(length).substr(0, shown);
    std::string text;
    EXPECT_EQ(DSReadStreamText(client_, context_, module, "rbsXMLInfo", text), kDirOk) << length;
    EXPECT_EQ(text, expected) << length;
    EXPECT_EQ(Read(module, "rbsxmlinfo"), std::vector<std::string>{expected}) << length;
  }
}

TEST_F(ReadTreeTest, StreamThatCannotBeOpened) {
  StartFixture();
  struct Case {
    std::string object;
    int32_t code;
  };
  const Case cases[] = {
      {"Help Desk.RBS.Roles.Acme", kDirNoSuchAttribute},
      {"Nobody.RBS.Roles.Acme", kDirNoSuchEntry},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(DSReadStreamText(client_, context_, c.object, "rbsXMLInfo", text), c.code)
        << c.object;
    EXPECT_EQ(text, "Cannot read Stream");
    std::vector<uint8_t> buffer(16, 0xEE);
    size_t size = buffer.size();
    EXPECT_EQ(DSReadStream(client_, context_, c.object, "rbsXMLInfo", buffer, size), c.code);
    EXPECT_EQ(size, 0u);
  }
}

TEST_F(ReadTreeTest, SampleTreeRoleContentAndAlias) {
  Start("sample");
  // A role names tasks and property books; each value is the line of its item list.
  const std::vector<std::string> tasks = SearchNames("rbsTask2");
  const std::string role = Found(SearchNames("rbsRole2"), "Help Desk.");
  EXPECT_EQ(
      Read(role, "rbsContent"),
      (std::vector<std::string>{Found(tasks, "Reset Password."), Found(tasks, "Disable Account."),
                                Found(tasks, "Legacy Password Reset."),
                                Found(SearchNames("rbsBook2"), "User Properties.")}));

  std::string text;
  EXPECT_EQ(ReadAttributeText(client_, context_, "Sales Printer.Sales.Larkspur",
                              "ALIASED OBJECT NAME", text),
            kDirOk);
  EXPECT_NE(text.find("LaserJet-2F.IT.Larkspur"), std::string::npos) << text;
  EXPECT_EQ(Flags(), kSearchFlags);
}

}  // namespace
