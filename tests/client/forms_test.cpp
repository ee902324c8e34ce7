// The texts the client parses and writes: directory names, LDAP string forms of values,
// generalized times, the connections file, and the LDIF faults the loader names by line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/connections.h"
#include "directory/client/dir_client.h"
#include "directory/client/dir_name.h"
#include "directory/client/memory_store.h"
#include "directory/client/name_resolver.h"
#include "directory/client/value_codec.h"
#include "tests/support/ldif_records.h"

namespace {

using namespace std::string_literals;

DirName Name(std::initializer_list<std::pair<const char*, const char*>> rdns) {
  DirName name;
  for (const auto& [type, value] : rdns)
    name.push_back(Rdn{type, value});
  return name;
}

TEST(DirNameTest, ParsesClientNames) {
  struct Case {
    const char* text;
    bool valid;
    bool complete;
    int trailingDots;
    std::vector<std::pair<std::string, std::string>> parts;
  };
  const Case cases[] = {
      {"Admin.Sales.Acme", true, false, 0, {{"", "Admin"}, {"", "Sales"}, {"", "Acme"}}},
      {".CN=Admin.ou=Sales", true, true, 0, {{"CN", "Admin"}, {"OU", "Sales"}}},
      {"Admin..", true, false, 2, {{"", "Admin"}}},
      {"v1\\.2.Acme", true, false, 0, {{"", "v1.2"}, {"", "Acme"}}},
      {"CN=a\\=b", true, false, 0, {{"CN", "a=b"}}},
      {"x=y=z", true, false, 0, {{"X", "y=z"}}},
      {"", false, false, 0, {}},
      {".", false, false, 0, {}},
      {"a..b", false, false, 0, {}},
      {".a.", false, false, 0, {}},
      {"=a", false, false, 0, {}},
      {"CN=", false, false, 0, {}},
      {"a\\", false, false, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = ParseDirName(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!parsed)
      continue;
    EXPECT_FALSE(parsed->root);
    EXPECT_EQ(parsed->complete, c.complete);
    EXPECT_EQ(parsed->trailingDots, c.trailingDots);
    ASSERT_EQ(parsed->parts.size(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(parsed->parts[i].type, c.parts[i].first);
      EXPECT_EQ(parsed->parts[i].value, c.parts[i].second);
    }
  }
  // An unescaped '+' joins the pairs of one part, all typed or all typeless; an escaped one is
  // part of the value.
  const auto multi = ParseDirName("CN=J\\. Smith+ou=Sales.X");
  ASSERT_TRUE(multi.has_value());
  ASSERT_EQ(multi->parts.size(), 2u);
  EXPECT_EQ(multi->parts[0].type, "CN");
  EXPECT_EQ(multi->parts[0].value, "J. Smith");
  EXPECT_EQ(multi->parts[0].more, (std::vector<Ava>{{"OU", "Sales"}}));
  const auto typeless = ParseDirName("a+b\\+c");
  ASSERT_TRUE(typeless.has_value());
  EXPECT_EQ(typeless->parts[0].value, "a");
  EXPECT_EQ(typeless->parts[0].more, (std::vector<Ava>{{"", "b+c"}}));
  EXPECT_TRUE(ParseDirName("a\\+b")->parts[0].more.empty());
  for (const char* refused : {"CN=a+b", "a+OU=b", "a+", "+a", "a++b", "CN=a+OU="})
    EXPECT_FALSE(ParseDirName(refused).has_value()) << refused;
  EXPECT_TRUE(ParseDirName("[Root]")->root);
  EXPECT_TRUE(ParseDirName("[root]")->root);
  EXPECT_TRUE(ParseDirName(".[ROOT]")->root);
}

TEST(DirNameTest, WritesNamesRelativeToTheContext) {
  const DirName admin = Name({{"CN", "Admin"}, {"OU", "Sales"}, {"O", "Acme"}});
  const DirName sales = Name({{"OU", "Sales"}, {"O", "Acme"}});
  const DirName acme = Name({{"O", "Acme"}});
  const DirName other = Name({{"OU", "Sales"}, {"O", "Other"}});
  struct Case {
    DirName name;
    DirName context;
    bool typeless;
    const char* text;
  };
  const Case cases[] = {
      {admin, {}, true, "Admin.Sales.Acme"},
      {admin, {}, false, "CN=Admin.OU=Sales.O=Acme"},
      {admin, sales, true, "Admin"},
      {admin, Name({{"ou", "SALES"}, {"o", "acme"}}), true, "Admin"},
      {admin, acme, false, "CN=Admin.OU=Sales"},
      {admin, other, true, "Admin.Sales.Acme.."},
      {sales, sales, true, "Sales."},
      {acme, sales, true, "Acme.."},
      {{}, sales, true, "[Root]"},
      {Name({{"CN", "v1.2+x"}, {"O", "A\\B"}}), {}, false, "CN=v1\\.2\\+x.O=A\\\\B"},
      {Name({{"CN", "a=b"}}), {}, true, "a\\=b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatDirName(c.name, c.context, c.typeless), c.text);
  }
}

TEST(DirNameTest, ParsesLdapDistinguishedNames) {
  const auto name = ParseLdapDn("cn=A\\2C B,st=Bavaria,O=Acme");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(FormatDirName(*name, {}, false), "CN=A, B.S=Bavaria.O=Acme");
  std::string error;
  EXPECT_FALSE(ParseLdapDn("no equals sign", &error).has_value());
  EXPECT_FALSE(ParseLdapDn("cn=,o=Acme", &error).has_value());
  EXPECT_TRUE(ParseLdapDn("", &error)->empty());
}

// Plain names are the common case and must read exactly as the general parser reads them; the
// rest sit just outside what a plain name is.
TEST(DirNameTest, LdapNamesReadAlikeWhateverTheirSpelling) {
  const std::pair<const char*, std::optional<DirName>> cases[] = {
      {"cn=Role00001,cn=RBS Collection,ou=Services,o=Genco",
       Name({{"CN", "Role00001"}, {"CN", "RBS Collection"}, {"OU", "Services"}, {"O", "Genco"}})},
      {"CN=a", Name({{"CN", "a"}})},
      {"st=Bavaria,c=DE", Name({{"S", "Bavaria"}, {"C", "DE"}})},
      {"cn=x~y!z(1)", Name({{"CN", "x~y!z(1)"}})},
      {"cn=a  b", Name({{"CN", "a  b"}})},
      {"cn=a ,o=b", Name({{"CN", "a"}, {"O", "b"}})},
      {" cn=a", Name({{"CN", "a"}})},
      {"cn = a", Name({{"CN", "a"}})},
      {"cn= a", Name({{"CN", "a"}})},
      {"cn=a\\20", Name({{"CN", "a "}})},
      {"cn=\\23a", Name({{"CN", "#a"}})},
      {"cn=\\41", Name({{"CN", "A"}})},
      {"cn=\\,", Name({{"CN", ","}})},
      {"cn=\\\\", Name({{"CN", "\\"}})},
      {"cn=\\\\,o=b", Name({{"CN", "\\"}, {"O", "b"}})},
      {"cn=\"a,b\"", std::nullopt},
      {"cn=a;o=b", std::nullopt},
      {"cn=\xC3\xA9", Name({{"CN", "\xC3\xA9"}})},
      {"2.5.4.3=a", Name({{"2.5.4.3", "a"}})},
      {"cn=a=b", Name({{"CN", "a=b"}})},
      {"cn=#41", std::nullopt},
      {"cn=a,", std::nullopt},
      {",cn=a", std::nullopt},
      {"cn=a,,o=b", std::nullopt},
      {"=a", std::nullopt},
      {"cn=", std::nullopt},
      {"cn=a+o=b", DirName{Rdn{"CN", "a", {{"O", "b"}}}}},
      {"c n=a", std::nullopt},
      {"1cn=a", std::nullopt},
      {"cn=a<b", std::nullopt},
  };
  for (const auto& [dn, expected] : cases) {
    SCOPED_TRACE(dn);
    const auto name = ParseLdapDn(dn);
    EXPECT_EQ(name.has_value(), expected.has_value());
    if (name && expected) {
      EXPECT_EQ(FormatDirName(*name, {}, false), FormatDirName(*expected, {}, false));
    }
  }
}

// Multi-valued RDNs between the two forms: the pairs in one order however they were written,
// each value escaped as its form escapes it, and the LDAP text read back to the same name.
TEST(DirNameTest, MultiValuedRdnsConvertBothWays) {
  struct Case {
    const char* ldap;
    const char* typed;
    const char* typeless;
    const char* ldapAgain;
  };
  const Case cases[] = {
      {"OU=Sales+CN=J. Smith,DC=example,DC=net", "CN=J\\. Smith+OU=Sales.DC=example.DC=net",
       "J\\. Smith+Sales.example.net", "cn=J. Smith+ou=Sales,dc=example,dc=net"},
      {"cn=a\\+b+ou=c\\2C d,o=x.y", "CN=a\\+b+OU=c, d.O=x\\.y", "a\\+b+c, d.x\\.y",
       "cn=a\\2Bb+ou=c\\2C d,o=x.y"},
      {"uid=\xE2\x82\xAC+cn=\xC3\xA9+st=B,o=X", "CN=\xC3\xA9+S=B+UID=\xE2\x82\xAC.O=X",
       "\xC3\xA9+B+\xE2\x82\xAC.X", "cn=\\C3\\A9+st=B+uid=\\E2\\82\\AC,o=X"},
      {"cn=b+cn=A,o=X", "CN=A+CN=b.O=X", "A+b.X", "cn=A+cn=b,o=X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ldap);
    const auto name = ParseLdapDn(c.ldap);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(FormatDirName(*name, {}, false), c.typed);
    EXPECT_EQ(FormatDirName(*name, {}, true), c.typeless);
    EXPECT_EQ(LdapDnText(*name), c.ldapAgain);
    const auto again = ParseLdapDn(LdapDnText(*name));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(SameName(*again, *name));
    EXPECT_EQ(FoldedDnKey(*again), FoldedDnKey(*name));
  }
  // The same pairs in another order and letter case are the same RDN; another pair is not.
  EXPECT_TRUE(SameName(*ParseLdapDn("CN=A+OU=b,o=X"), *ParseLdapDn("ou=B+cn=a,O=x")));
  EXPECT_FALSE(SameName(*ParseLdapDn("cn=a+ou=b,o=X"), *ParseLdapDn("cn=a+ou=c,o=X")));
  EXPECT_FALSE(SameName(*ParseLdapDn("cn=a+ou=b,o=X"), *ParseLdapDn("cn=a,o=X")));
  EXPECT_FALSE(ParseLdapDn("cn=a+ou=,o=X").has_value());
}

TEST(ValueCodecTest, RefusesValuesOutsideTheirForm) {
  ValueNaming naming;
  naming.nameText = [](std::string_view dn) -> std::optional<std::string> {
    if (!ParseLdapDn(dn))
      return std::nullopt;
    return std::string(dn);
  };
  naming.attributeName = [](std::string_view name) { return std::string(name); };
  struct Case {
    uint32_t syntax;
    const char* value;
    bool valid;
  };
  const Case cases[] = {
      {kSyntaxBoolean, "TRUE", true},
      {kSyntaxBoolean, "false", true},
      {kSyntaxBoolean, "yes", false},
      {kSyntaxInteger, "2147483647", true},
      {kSyntaxInteger, "2147483648", false},
      {kSyntaxInteger, "-2147483648", true},
      {kSyntaxInteger, "12a", false},
      {kSyntaxInteger, "", false},
      {kSyntaxCounter, "4294967295", true},
      {kSyntaxCounter, "4294967296", false},
      {kSyntaxInterval, "-1", false},
      {kSyntaxInterval, "0x10", true},
      {kSyntaxNetAddress, "9", false},
      {kSyntaxNetAddress, "x#ab", false},
      {kSyntaxNetAddress, "9#", true},
      {kSyntaxEMailAddress, "a@b", false},
      {kSyntaxPath, "SYS#4", false},
      {kSyntaxPath, "SYS#4#A#B", true},
      {kSyntaxPath, "cn=,o=x#4#A", false},
      {kSyntaxReplicaPointer, "cn=S,o=A#0#1", true},
      {kSyntaxReplicaPointer, "cn=S,o=A#0#1#9", false},
      {kSyntaxReplicaPointer, "cn=S,o=A#0#1#9#0G", false},
      {kSyntaxObjectAcl, "1#entry#[Public]#[Entry Rights]", true},
      {kSyntaxObjectAcl, "1#nowhere#[Public]#[Entry Rights]", false},
      {kSyntaxObjectAcl, "1#entry#[Public]", false},
      {kSyntaxObjectAcl, "x#entry#[Public]#cn", false},
      {kSyntaxTimestamp, "1#2#3", true},
      {kSyntaxTimestamp, "1#70000#3", false},
      {kSyntaxBackLink, "1#cn=A", true},
      {kSyntaxBackLink, "cn=A", false},
      {kSyntaxTime, "20040531120000Z", true},
      {kSyntaxTime, "20041331120000Z", false},
      {kSyntaxTypedName, "cn=A,o=B#1#2", true},
      {kSyntaxTypedName, "cn=A#1", false},
      {kSyntaxHold, "cn=A#-5", true},
      {kSyntaxHold, "cn=A", false},
      {kSyntaxDistinguishedName, "cn=A,o=B", true},
      {kSyntaxDistinguishedName, "A.B", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.syntax) + " " + c.value);
    std::string error;
    const auto record = EncodeValueRecord(c.syntax, "attr", c.value, naming, error);
    EXPECT_EQ(record.has_value(), c.valid) << error;
    EXPECT_EQ(error.empty(), c.valid);
  }
}

TEST(ValueCodecTest, ReadsGeneralizedTimes) {
  struct Case {
    const char* text;
    std::optional<uint32_t> seconds;
  };
  const Case cases[] = {
      {"19700101000000Z", 0u},
      {"20040531120000Z", 1086004800u},
      {"200405311200Z", 1086004800u},
      {"2004053112Z", 1086004800u},
      {"20040531120000.123Z", 1086004800u},
      {"20040531140000+0200", 1086004800u},
      {"20040531120000", 1086004800u},
      {"21060207062815Z", 4294967295u},
      {"21060207062816Z", std::nullopt},
      {"19691231235959Z", std::nullopt},
      {"20040532120000Z", std::nullopt},
      {"2004053112000Z", std::nullopt},
      {"20040531120000Zx", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseGeneralizedTime(c.text), c.seconds);
  }
}

TEST(ConnectionsFileTest, ReadsSectionsKeysAndComments) {
  std::string error;
  // An editor's byte-order mark before the first line is skipped.
  const auto connections = ParseConnectionsFile(
      "\xEF\xBB\xBF; connections\n"
      "[acme]\n"
      "tree = ACME_TREE              ; the tree\n"
      "source = dumps/acme.ldif\n"
      "context = Sales.Acme\n"
      "user = Admin.Sales.Acme\n"
      "file-urls = yes\n"
      "PRIMARY = Yes\n"
      "\n"
      "# another\n"
      "[lab]\r\n"
      "tree = LAB\r\n"
      "source = ldaps://lab.example:636\r\n"
      "bind = cn=reader,o=lab\r\n"
      "password-file = /etc/orvane/lab.pw\r\n"
      "max-message-size = 256\r\n",
      "/home/u/.config/orvane/connections.ini", error);
  ASSERT_TRUE(connections.has_value()) << error;
  ASSERT_EQ(connections->size(), 2u);
  const ConnectionConfig& acme = (*connections)[0];
  EXPECT_EQ(acme.tree, "ACME_TREE");
  EXPECT_EQ(acme.source, "/home/u/.config/orvane/dumps/acme.ldif");
  EXPECT_EQ(acme.context, "Sales.Acme");
  EXPECT_EQ(acme.user, "Admin.Sales.Acme");
  EXPECT_TRUE(acme.primary);
  EXPECT_TRUE(acme.fileUrls);
  EXPECT_EQ(acme.line, 2);
  const ConnectionConfig& lab = (*connections)[1];
  EXPECT_EQ(lab.source, "ldaps://lab.example:636");
  EXPECT_EQ(lab.bind, "cn=reader,o=lab");
  EXPECT_EQ(lab.passwordFile, "/etc/orvane/lab.pw");
  EXPECT_FALSE(lab.primary);
  EXPECT_FALSE(lab.hasContext);
  EXPECT_FALSE(lab.fileUrls);
  EXPECT_EQ(acme.maxMessageMiB, 64);
  EXPECT_EQ(lab.maxMessageMiB, 256);

  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"[a\ntree=T\n", "c.ini line 1: malformed section header \"[a\""},
      {"[]\n", "c.ini line 1: empty section name"},
      {"[a]\ntree=T\nsource=x\n[A]\n", "c.ini line 4: section [A] appears twice"},
      {"[a\x1B[2Jb]\n", "c.ini line 1: section name \"a\\x1B[2Jb\" holds a control byte"},
      {"[a]\ntree=T\ntree=U\n", "c.ini line 3: key \"tree\" given twice"},
      {"[a]\nsource=x\n[b]\ntree=T\nsource=y\n", "c.ini line 1: section [a] has no tree"},
      {"[a]\ntree=T\nsource=x\nprimary=maybe\n",
       "c.ini line 4: primary must be yes or no, not \"maybe\""},
      {"[a]\ntree=T\nsource=x\nfile-urls=always\n",
       "c.ini line 4: file-urls must be yes or no, not \"always\""},
      {"[a]\ntree=T\nsource=x\nmax-message-size=4097\n",
       "c.ini line 4: max-message-size must be a number of MiB from 1 to 4096, not \"4097\""},
      {"; only a comment\n", "c.ini line 2: no connection is defined"},
      {"\xEF\xBB\xBF", "c.ini line 1: no connection is defined"},
      // StartTLS inside ldaps:// is TLS twice, which no server answers.
      {"[a]\ntree=T\nsource=ldap://h:389 LDAPS://h:636\nstarttls=yes\n",
       "c.ini line 1: section [a] has starttls = yes for the ldaps:// source LDAPS://h:636; "
       "give one or the other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(ParseConnectionsFile(c.text, "c.ini", error).has_value());
    EXPECT_EQ(error, c.error);
  }
}

TEST(LdifLoadTest, MalformedLdifNamesItsLine) {
  struct Case {
    const char* label;
    std::string ldif;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"an entry twice, after comments", "# head\n\ndn: o=X\no: X\n\n# again\ndn: O=x\no: X\n",
       "t.ldif line 7: \"O=x\" is defined twice (first at line 3)"},
      {"an entry twice, once after its child",
       "dn: cn=A,o=X\n\ndn: o=X\no: X\n\ndn: cn=B,o=X\n\ndn: o=X\n",
       "t.ldif line 8: \"o=X\" is defined twice (first at line 3)"},
      {"a DN that does not parse", "version: 1\n\ndn: o=X\n\ndn: nonsense\ncn: A\n",
       "t.ldif line 5: dn \"nonsense\": not a distinguished name"},
      {"a multi-valued RDN with an empty value", "dn: cn=A+uid=\ncn: A\n",
       "t.ldif line 1: dn \"cn=A+uid=\": empty RDN value"},
      {"a change record", "dn: o=X\nchangetype: delete\n",
       "t.ldif line 1: only entries may appear, not changes"},
      {"a line without colon", "dn: o=X\nbroken line\n",
       "t.ldif line 2: malformed line \"broken line\""},
      {"a line without attribute", "dn:\n:\n", "t.ldif line 2: malformed line \":\""},
      {"a line with a blank in the attribute", "dn: o=X\n\ndn: cn=A,o=X\nLogin Disabled: TRUE\n",
       "t.ldif line 4: malformed line \"Login Disabled: TRUE\""},
      {"bad base64", "dn: o=X\ndescription:: !!!!\n",
       "t.ldif line 2: attribute description: the base64 value cannot be decoded"},
      {"blank lines before a record", "dn: o=X\n\n\n\r\ndn: nonsense\n",
       "t.ldif line 5: dn \"nonsense\""},
      {"a URL value", "dn: o=X\n\ndn: cn=T,o=X\nrbsEntryPoint:< file:///etc/hostname\n",
       "t.ldif line 4: URL values are not read (rbsEntryPoint:< file:///etc/hostname)"},
      {"a folded URL value", "dn: o=X\n\ndn: cn=T,o=X\nrbsEntryPoint:< file:///etc/\n hostname\n",
       "t.ldif line 4: URL values are not read (rbsEntryPoint:< file:///etc/hostname)"},
      {"a URL distinguished name", "# c\ndn:< file:///etc/hostname\n",
       "t.ldif line 2: URL values are not read"},
      {"an include line", "dn: o=X\n\n# c\ninclude: file:///etc/hostname\n",
       "t.ldif line 4: include lines are not read"},
      {"a NUL byte in a value", "dn: o=X\ndescription: a\0b\n\ndn: ou=A,o=X\n"s,
       "t.ldif line 2: a NUL byte"},
      {"a NUL byte in a DN", "dn: o=X\n\ndn: ou=A\0B,o=X\n\ndn: ou=C,o=X\n"s,
       "t.ldif line 3: a NUL byte"},
      {"a carriage return in a value", "dn: o=X\r\ndescription: a\rb\r\n",
       "t.ldif line 2: a carriage return inside a line"},
      {"another LDIF version", "version: 2\ndn: o=X\n",
       "t.ldif line 1: LDIF version \"2\" is not supported"},
      {"a record without dn", "dn: o=X\n\nobjectClass: top\n",
       "t.ldif line 3: a record must begin with dn:"},
      {"two DNs in one record", "dn: o=X\nobjectClass: top\ndn: o=Y\n",
       "t.ldif line 3: a second dn: line"},
      {"two values of a single-valued attribute",
       "dn: o=X\nloginDisabled: TRUE\nloginDisabled: FALSE\n",
       "t.ldif line 1: attribute loginDisabled takes one value, 2 were given"},
      {"a bad schema attribute type", "dn: cn=schema\nattributeTypes: ( nonsense\n",
       "t.ldif line 1: attribute type cannot be parsed: ( nonsense"},
      {"a record's first line starting with a digit", "dn: o=X\n\n# c\n1 dn: ou=A,o=X\r\n",
       "t.ldif line 4: malformed line \"1 dn: ou=A,o=X\""},
      {"a carriage return ending the text", "dn: o=X\ndescription: a\r",
       "t.ldif line 2: a carriage return inside a line"},
      {"no text at all", "", "t.ldif: holds no entries"},
      {"a schema and comments but no entry", "# c\nversion: 1\n\ndn: cn=schema\n\n# end\n",
       "t.ldif: holds no entries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string error;
    EXPECT_EQ(MemoryStore::LoadText(c.ldif, "t.ldif", error), nullptr);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
  }
  std::string error;
  const auto folded =
      MemoryStore::LoadText("dn: o=X\ndescription: folded\n  value\ncn:: QcOk\n", "t.ldif", error);
  ASSERT_NE(folded, nullptr) << error;
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(folded->ReadAttributes(Name({{"O", "X"}}), {"description", "cn"}, attributes), 0);
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].values.front(), "folded value");
  EXPECT_EQ(attributes[1].values.front(), "A\xC3\xA4");
}

TEST(LdifLoadTest, ReadsFileUrlsOnlyWhenAllowed) {
  const std::string dir = ::testing::TempDir();
  const std::string path = dir + "orvane_ldif_stream.bin";
  const std::string fifo = dir + "orvane_ldif_fifo";
  const std::string link = dir + "orvane_ldif_link";
  // The files a URL may name are those in the LDIF's folder or below.
  const std::string source = dir + "t.ldif";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("<version>3</version>", file);
    std::fclose(file);
  }
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink("/etc/hostname", link.c_str()), 0);
  const auto ldif = [](const std::string& url) {
    return "dn: o=X\n\ndn: cn=T,o=X\nrbsXMLInfo:< " + url + "\n";
  };
  std::string error;
  EXPECT_EQ(MemoryStore::LoadText(ldif("file://" + path), source, error), nullptr);
  EXPECT_EQ(error, source + " line 4: URL values are not read (rbsXMLInfo:< file://" + path + ")");
  const auto store =
      MemoryStore::LoadText(ldif("file://" + path), source, error, LdifUrls::kReadFiles);
  ASSERT_NE(store, nullptr) << error;
  std::string bytes;
  ASSERT_EQ(store->ReadStream(Name({{"CN", "T"}, {"O", "X"}}), "rbsXMLInfo", bytes), 0);
  EXPECT_EQ(bytes, "<version>3</version>");

  const std::string where = source + " line 4: attribute rbsXMLInfo: ";
  const std::string outside = ": not in the LDIF file's folder or below";
  const struct {
    std::string url;
    std::string error;
  } refused[] = {
      {"file://" + dir + "orvane_ldif_%73tream.bin%", where + "only file:///path URLs"},
      {"http://localhost/x", where + "only file:///path URLs"},
      {"file:orvane_ldif_stream.bin", where + "only file:///path URLs"},
      {"file://" + dir.substr(0, dir.size() - 1),
       where + dir.substr(0, dir.size() - 1) + ": not a regular file (a directory)"},
      {"file://" + fifo, where + fifo + ": not a regular file (a FIFO)"},
      {"file:///dev/zero", where + "/dev/zero" + outside},
      {"file:///proc/self/environ", where + "/proc/self/environ" + outside},
      {"file://" + link, where + link + outside},
      {"file://" + path + ".gone", where + path + ".gone: cannot be read"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(MemoryStore::LoadText(ldif(c.url), source, error, LdifUrls::kReadFiles), nullptr);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << error;
  }
  // %XX escapes are decoded.
  EXPECT_NE(MemoryStore::LoadText(ldif("file://" + dir + "orvane_ldif_%73tream.bin"), source, error,
                                  LdifUrls::kReadFiles),
            nullptr)
      << error;
  std::remove(path.c_str());
  std::remove(fifo.c_str());
  std::remove(link.c_str());
}

// The bytes a process has read from files so far.
size_t BytesRead() {
  std::FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr)
    return 0;
  size_t bytes = 0;
  if (std::fscanf(io, "rchar: %zu", &bytes) != 1)
    bytes = 0;
  std::fclose(io);
  return bytes;
}

// An LDIF is checked as it is read, a piece at a time: a fault near the start of a large file is
// found without reading the rest, and a fault across two pieces is found as in one.
TEST(LdifLoadTest, ChecksTheLdifAsItIsRead) {
  const std::string path = ::testing::TempDir() + "orvane_ldif_sparse.ldif";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("dn: o=X\n", file);
    std::fclose(file);
  }
  // 256 MiB, all but the first line a hole that reads as NUL bytes.
  ASSERT_EQ(::truncate(path.c_str(), off_t{256} << 20), 0);
  std::string error;
  const size_t before = BytesRead();
  EXPECT_EQ(MemoryStore::LoadFile(path, error), nullptr);
  EXPECT_LT(BytesRead() - before, size_t{1} << 20);
  EXPECT_EQ(error, path + " line 2: a NUL byte (a value holding one must be written in base64)");
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  EXPECT_EQ(MemoryStore::LoadFile(path, error), nullptr);
  EXPECT_EQ(error, path + ": holds no entries");
  std::remove(path.c_str());

  // "include:" begins 4 bytes before the first piece ends.
  const std::string text =
      "dn: o=X\n\n#" + std::string(65521, 'c') + "\ninclude: file:///etc/hostname\n";
  ASSERT_EQ(text.find("include:"), 65532u);
  EXPECT_EQ(MemoryStore::LoadText(text, "t.ldif", error), nullptr);
  EXPECT_EQ(error, "t.ldif line 4: include lines are not read");
}

TEST(LdifLoadTest, OnlyRegularFilesAreLoaded) {
  const std::string dir = ::testing::TempDir();
  const std::string fifo = dir + "orvane_ldif_source_fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir.substr(0, dir.size() - 1);
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {folder, folder + ": not a regular file (a directory)"},
      {"/dev/zero", "/dev/zero: not a regular file (a device)"},
      {fifo, fifo + ": not a regular file (a FIFO)"},
      {fifo + ".gone", fifo + ".gone: cannot be read (No such file or directory)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(MemoryStore::LoadFile(c.path, error), nullptr);
    EXPECT_EQ(error, c.error);
  }
  std::remove(fifo.c_str());
}

TEST(LdifLoadTest, KeepsManyRdnTypesApart) {
  // With [Root]'s and O's, 65,538 types: the last ones would wrap a 16-bit index.
  std::string ldif = "dn: o=X\n\n";
  for (int i = 0; i < 65536; ++i)
    ldif += "dn: t" + std::to_string(i) + "=v" + std::to_string(i) + ",o=X\n\n";
  std::string error;
  const auto store = MemoryStore::LoadText(std::move(ldif), "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  StoreEntry entry;
  ASSERT_EQ(store->GetEntry(Name({{"T65535", "v65535"}, {"O", "X"}}), entry), 0);
  EXPECT_EQ(entry.name.front().type, "T65535");
  EXPECT_EQ(store->GetEntry(Name({{"O", "v65535"}, {"O", "X"}}), entry), kDirNoSuchEntry);

  // Siblings sharing one value under many types: each is found under its own type, all are
  // namesakes, and one named twice is refused.
  std::string same = "dn: o=X\n\n";
  for (int i = 0; i < 1000; ++i)
    same += "dn: t" + std::to_string(i) + "=same,o=X\n\n";
  const auto namesakes = MemoryStore::LoadText(std::string(same), "t.ldif", error);
  ASSERT_NE(namesakes, nullptr) << error;
  for (const char* type : {"T0", "t1", "T500", "T999"}) {
    ASSERT_EQ(namesakes->GetEntry(Name({{type, "SAME"}, {"O", "X"}}), entry), 0) << type;
    EXPECT_TRUE(EqualsIgnoringCase(entry.name.front().type, type)) << entry.name.front().type;
  }
  EXPECT_EQ(namesakes->GetEntry(Name({{"T1000", "same"}, {"O", "X"}}), entry), kDirNoSuchEntry);
  EXPECT_EQ(namesakes->FindChildren(Name({{"O", "X"}}), NamePart{"", "Same"}).size(), 1000u);
  EXPECT_EQ(MemoryStore::LoadText(same + "dn: T500=SAME,o=X\n", "t.ldif", error), nullptr);
  EXPECT_NE(error.find("is defined twice"), std::string::npos) << error;
}

// Entries named by multi-valued RDNs, and names holding them as values: found by their pairs in
// any order and letter case, listed, resolved typeless and written so that they resolve back,
// apart from a namesake whose value holds an escaped '+'.
TEST(LdifLoadTest, LoadsMultiValuedNames) {
  const std::string ldif =
      "dn: dc=example,dc=net\n\n"
      "dn: cn=Task,ou=Sales+cn=J. Smith,dc=example,dc=net\nobjectClass: rbsTask2\n"
      "member: CN=j. smith+OU=sales,dc=example,dc=net\n\n"
      "dn: ou=Sales+cn=J. Smith,dc=example,dc=net\nobjectClass: organizationalUnit\n\n"
      "dn: cn=a\\+b,dc=example,dc=net\nobjectClass: person\n\n"
      "dn: cn=a+ou=b,dc=example,dc=net\nobjectClass: person\n\n";
  std::string error;
  const auto store = MemoryStore::LoadText(ldif, "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_EQ(store->ListChildren(*ParseLdapDn("dc=example,dc=net"), cursor), kDirOk);
  std::vector<std::string> listed;
  StoreEntry entry;
  while (cursor->Next(entry))
    listed.push_back(FormatDirName(entry.name, {}, false));
  EXPECT_EQ(listed, (std::vector<std::string>{"CN=J\\. Smith+OU=Sales.DC=example.DC=net",
                                              "CN=a\\+b.DC=example.DC=net",
                                              "CN=a+OU=b.DC=example.DC=net"}));
  const DirName smith = *ParseLdapDn("cn=J. Smith+ou=Sales,dc=example,dc=net");
  ASSERT_EQ(store->GetEntry(*ParseLdapDn("OU=SALES+cn=j. smith,DC=Example,dc=net"), entry), 0);
  EXPECT_EQ(entry.baseClass, "Organizational Unit");
  EXPECT_EQ(store->GetEntry(*ParseLdapDn("cn=J. Smith,dc=example,dc=net"), entry), kDirNoSuchEntry);

  DirName task = smith;
  task.insert(task.begin(), Rdn{"CN", "Task"});
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(store->ReadAttributes(task, {"Member"}, attributes), kDirOk);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_TRUE(SameName(*ParseLdapDn(attributes[0].values.at(0)), smith));

  struct Case {
    const char* text;
    std::optional<DirName> name;
  };
  const Case cases[] = {
      {".Task.J\\. Smith+Sales.example.net", task},
      {".CN=Task.OU=Sales+CN=J\\. Smith.example.net", task},
      {".a\\+b.example.net", *ParseLdapDn("cn=a\\+b,dc=example,dc=net")},
      {".a+b.example.net", *ParseLdapDn("cn=a+ou=b,dc=example,dc=net")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto resolved = ResolveName(*store, c.text, {});
    ASSERT_TRUE(resolved.has_value());
    EXPECT_TRUE(SameName(*resolved, *c.name)) << FormatDirName(*resolved, {}, false);
    const std::string written = NameText(*store, *c.name, {}, true);
    EXPECT_TRUE(SameName(*ResolveName(*store, "." + written, {}), *c.name)) << written;
  }
}

// A parent with a namesake of another naming type, each holding leaves of its own.
constexpr std::string_view kNamesakeParentsLdif =
    "dn: o=X\n\n"
    "dn: ou=P,o=X\nobjectClass: organizationalUnit\n\n"
    "dn: cn=T1,ou=P,o=X\nobjectClass: person\n\n"
    "dn: ou=Dup,o=X\nobjectClass: organizationalUnit\n\n"
    "dn: l=Dup,o=X\nobjectClass: locality\n\n"
    "dn: cn=A,ou=Dup,o=X\nobjectClass: person\n\n"
    "dn: cn=A,l=Dup,o=X\nobjectClass: person\n\n"
    "dn: cn=B,l=Dup,o=X\nobjectClass: person\n\n";

// Names inside values, written through tails kept from one value to the next: each as NameText
// writes it, whatever the names before it were, their spelling and the base they were written for.
TEST(LdifLoadTest, WritesNamesInValuesAsNameTextDoes) {
  std::string error;
  const auto store = MemoryStore::LoadText(std::string(kNamesakeParentsLdif), "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  const DirName top = *ParseLdapDn("o=X");
  const DirName p = *ParseLdapDn("ou=P,o=X");
  struct Case {
    DirName base;
    bool typeless;
    const char* dn;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {{}, true, "cn=T1,ou=P,o=X", "T1.P.X"},
      {{}, true, "cn=a.b,ou=P,o=X", "a\\.b.P.X"},
      {{}, true, "cn=T1,OU=p,o=x", "T1.p.x"},
      // Each leaf below a parent whose namesake is tried first decides how the parent is written.
      {{}, true, "cn=B,l=Dup,o=X", "B.Dup.X"},
      {{}, true, "cn=A,l=Dup,o=X", "A.L=Dup.X"},
      {{}, true, "cn=B,l=Dup,o=X", "B.Dup.X"},
      {{}, false, "cn=T1,ou=P,o=X", "CN=T1.OU=P.O=X"},
      {top, true, "cn=T1,ou=P,o=X", "T1.P"},
      {top, true, "ou=P,o=X", "P"},
      {p, true, "cn=T1,ou=P,o=X", "T1"},
      {p, true, "cn=a.b,ou=P,o=X", "a\\.b"},
      {p, true, "cn=T9,ou=Dup,o=X", "T9.Dup."},
      {p, true, "cn=T9,ou=Dup,o=X", "T9.Dup."},
      {p, true, "o=X", "X.."},
      {p, true, "cn=T1,", std::nullopt},
  };
  ValueNameTails tails;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dn);
    NameMemo memo;
    EXPECT_EQ(DnNameText(*store, c.dn, c.base, c.typeless, memo, tails), c.text);
  }
}

// Names resolved one after another through the parents they share: each as it resolves alone,
// whatever was resolved before it and relative to what.
TEST(LdifLoadTest, ResolvesNamesThroughSharedParentsAsAlone) {
  std::string error;
  const auto store = MemoryStore::LoadText(std::string(kNamesakeParentsLdif), "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  const DirName top = *ParseLdapDn("o=X");
  const DirName p = *ParseLdapDn("ou=P,o=X");
  const std::pair<DirName, const char*> cases[] = {
      {{}, "T1.P.X"},  {{}, "T2.P.X"},   {{}, "OU=T1.P.X"}, {{}, "[Root].P.X"}, {{}, "a\\.b.P.X"},
      {{}, "=T1.P.X"}, {{}, "A.Dup.X"},  {{}, "B.Dup.X"},   {{}, "A.Dup.X"},    {top, "T1.P"},
      {top, "T1.P.X"}, {p, "T1.P."},     {p, "T1.P.."},     {p, "Dup.X.."},     {{}, "T1.P.X"},
      {{}, "T1..X"},   {{}, "T1.P.X.."}, {{}, "P.X"},       {{}, "T1.P.X"},
  };
  SharedParents parents;
  for (const auto& [context, text] : cases) {
    SCOPED_TRACE(text);
    const auto alone = ResolveName(*store, text, context);
    const auto shared = ResolveName(*store, text, context, parents);
    ASSERT_EQ(shared.has_value(), alone.has_value());
    if (alone) {
      EXPECT_EQ(FormatDirName(*shared, {}, false), FormatDirName(*alone, {}, false));
    }
  }
}

// Everything a store tells of its tree, entry by entry, children in the order of their names:
// two loads that give the same text hold the same tree.
std::string TreeText(Store& store, const DirName& parent = {}) {
  std::unique_ptr<EntryCursor> cursor;
  if (store.ListChildren(parent, cursor) != kDirOk)
    return "no such entry\n";
  std::vector<std::pair<std::string, DirName>> children;
  StoreEntry entry;
  while (cursor->Next(entry)) {
    std::string line = FormatDirName(entry.name, {}, false) + " " + entry.baseClass + " flags " +
                       std::to_string(entry.flags) + " below " +
                       std::to_string(entry.subordinateCount) + "\n";
    std::vector<StoreAttribute> attributes;
    if (store.ReadAttributes(entry.name, {}, attributes) == kDirOk) {
      for (const StoreAttribute& attribute : attributes) {
        for (const std::string& value : attribute.values)
          line +=
              "  " + attribute.name + " " + std::to_string(attribute.syntax) + ": " + value + "\n";
      }
    }
    children.emplace_back(line, entry.name);
  }
  std::sort(children.begin(), children.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string text;
  for (const auto& [line, name] : children)
    text += line + TreeText(store, name);
  return text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A dump of a subtree, a naming context of several parts, a child before its parent: the parts of
// names that no entry defines are made as containers of the class their naming type stands for,
// and an entry defined after its subordinates takes the place made for it.
TEST(LdifLoadTest, MakesTheContainersThatNoEntryDefines) {
  struct Made {
    DirName name;
    std::string baseClass;
    std::vector<std::string> classes;  // the objectClass values
  };
  struct Case {
    const char* label;
    std::string ldif;
    std::vector<Made> made;
  };
  const Case cases[] = {
      {"a dump of a subtree",
       "dn: cn=RBS Collection,ou=Services,o=Genco\nobjectClass: rbsCollection2\n\n"
       "dn: cn=Mod,cn=RBS Collection,ou=Services,o=Genco\nobjectClass: rbsModule2\n",
       {{Name({{"O", "Genco"}}), "Organization", {"Organization"}},
        {Name({{"OU", "Services"}, {"O", "Genco"}}),
         "Organizational Unit",
         {"Organizational Unit"}},
        {Name({{"CN", "RBS Collection"}, {"OU", "Services"}, {"O", "Genco"}}),
         "rbsCollection2",
         {"rbsCollection2"}}}},
      {"a naming context of two parts",
       "dn: dc=example,dc=com\nobjectClass: domain\ndc: example\n",
       {{Name({{"DC", "com"}}), "domain", {"domain"}},
        {Name({{"DC", "example"}, {"DC", "com"}}), "domain", {"domain"}}}},
      {"countries, localities and other types",
       "dn: cn=Printer,x=Floor 2,l=Berlin,c=DE\nobjectClass: printer\n",
       {{Name({{"C", "DE"}}), "Country", {"Country"}},
        {Name({{"L", "Berlin"}, {"C", "DE"}}), "Locality", {"Locality"}},
        {Name({{"X", "Floor 2"}, {"L", "Berlin"}, {"C", "DE"}}), "Container", {"Container"}}}},
      {"children before their parent, which spells itself",
       "dn: cn=B,ou=sales,o=Acme\n\ndn: cn=A,ou=SALES,o=Acme\n\n"
       "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Sales\n"
       "modifyTimestamp: 20240102030405Z\n",
       {{Name({{"O", "Acme"}}), "Organization", {"Organization"}},
        {Name({{"OU", "Sales"}, {"O", "Acme"}}), "Organizational Unit", {"Organizational Unit"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string error;
    const auto store = MemoryStore::LoadText(c.ldif, "t.ldif", error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->LoadWarning(), "");
    for (const Made& made : c.made) {
      SCOPED_TRACE(FormatDirName(made.name, {}, false));
      StoreEntry entry;
      ASSERT_EQ(store->GetEntry(made.name, entry), kDirOk);
      EXPECT_EQ(entry.name.front().value, made.name.front().value);  // the spelling
      EXPECT_EQ(entry.baseClass, made.baseClass);
      EXPECT_EQ(entry.flags, kDirObjectContainer);
      std::vector<StoreAttribute> classes;
      ASSERT_EQ(store->ReadAttributes(made.name, {"objectClass"}, classes), kDirOk);
      EXPECT_EQ(classes.front().values, made.classes);
    }
  }
  // The parent defined last keeps its children in the order they came and takes its own
  // attributes, none of the made container's.
  std::string error;
  const auto store = MemoryStore::LoadText(cases[3].ldif, "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_EQ(TreeText(*store),
            "O=Acme Organization flags 4 below 1\n"
            "  Object Class 20: Organization\n"
            "OU=Sales.O=Acme Organizational Unit flags 4 below 2\n"
            "  Object Class 20: Organizational Unit\n"
            "  OU 3: Sales\n"
            "  modifyTimestamp 24: 20240102030405Z\n"
            "CN=A.OU=Sales.O=Acme Unknown flags 0 below 0\n"
            "CN=B.OU=Sales.O=Acme Unknown flags 0 below 0\n");
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_EQ(store->ListChildren(Name({{"OU", "Sales"}, {"O", "Acme"}}), cursor), kDirOk);
  StoreEntry entry;
  ASSERT_TRUE(cursor->Next(entry));
  EXPECT_EQ(entry.name.front().value, "B");
  ASSERT_TRUE(store->GetEntry(Name({{"OU", "Sales"}, {"O", "Acme"}}), entry) == kDirOk);
  EXPECT_EQ(entry.modificationTime, 1704164645u);
}

// A server's export, files merged by hand: whatever the order of its entries, a file loads as
// the same tree.
TEST(LdifLoadTest, LoadsTheSameTreeInAnyOrder) {
  for (const char* file : {"/client_tree.ldif", "/shop_tree.ldif"}) {
    SCOPED_TRACE(file);
    const std::string ldif = ReadText(std::string(ORVANE_TEST_DATA) + file);
    std::string error;
    const auto inOrder = MemoryStore::LoadText(ldif, "t.ldif", error);
    ASSERT_NE(inOrder, nullptr) << error;
    const auto reversed = MemoryStore::LoadText(ReversedLdif(ldif), "t.ldif", error);
    ASSERT_NE(reversed, nullptr) << error;
    EXPECT_EQ(reversed->EntryCount(), inOrder->EntryCount());
    const std::string text = TreeText(*inOrder);
    EXPECT_GT(text.size(), 1000u);
    EXPECT_EQ(TreeText(*reversed), text);
  }
}

// A value outside its attribute's syntax is kept as written; one warning tells how many there
// are and where the first few stand.
TEST(LdifLoadTest, KeepsValuesOutsideTheirSyntaxAndTellsOfThem) {
  std::string error;
  const auto one = MemoryStore::LoadText(
      "dn: o=X\n\ndn: cn=A,o=X\nloginGraceLimit: many\nmodifyTimestamp: yesterday\n", "t.ldif",
      error);
  ASSERT_NE(one, nullptr) << error;
  EXPECT_EQ(one->LoadWarning(),
            "t.ldif: 2 values do not fit their attribute's syntax; they are kept as written and "
            "shown as text (as bytes when not UTF-8): line 3 loginGraceLimit \"many\" (not a "
            "32-bit integer); line 3 modifyTimestamp \"yesterday\" (not a generalized time)");
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(one->ReadAttributes(Name({{"CN", "A"}, {"O", "X"}}), {"Login Grace Limit"}, attributes),
            kDirOk);
  EXPECT_EQ(attributes.front().values, std::vector<std::string>{"many"});
  std::string many = "dn: o=X\n\n";
  for (int i = 0; i < 5; ++i)
    many += "dn: cn=U" + std::to_string(i) + ",o=X\nloginDisabled: maybe\n\n";
  const auto five = MemoryStore::LoadText(many, "t.ldif", error);
  ASSERT_NE(five, nullptr) << error;
  EXPECT_EQ(five->LoadWarning(),
            "t.ldif: 5 values do not fit their attribute's syntax; they are kept as written and "
            "shown as text (as bytes when not UTF-8): line 3 loginDisabled \"maybe\" (not "
            "TRUE or FALSE); line 6 loginDisabled \"maybe\" (not TRUE or FALSE); line 9 "
            "loginDisabled \"maybe\" (not TRUE or FALSE); ...");
}

// A read that names attributes gets those the entry holds, in the entry's order, whatever the
// other names are; names the schema does not know hold nothing.
TEST(LdifLoadTest, ReadsOnlyTheNamedAttributes) {
  std::string error;
  const auto store = MemoryStore::LoadText(
      "dn: o=X\nobjectClass: organization\no: X\ndescription: one\ndescription: two\n"
      "telephoneNumber: 1\n",
      "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  const DirName entry = Name({{"O", "X"}});
  struct Case {
    std::vector<std::string> names;
    int32_t code;
    std::vector<std::string> found;
  };
  const Case cases[] = {
      {{"Telephone Number", "No Such Thing", "DESCRIPTION"},
       kDirOk,
       {"Description", "Telephone Number"}},
      {{"No Such Thing"}, kDirNoSuchAttribute, {}},
      {{"No Such Thing", "Surname"}, kDirNoSuchAttribute, {}},
      {{}, kDirOk, {"Object Class", "O", "Description", "Telephone Number"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.empty() ? "all" : c.names.front());
    std::vector<StoreAttribute> attributes(1);
    EXPECT_EQ(store->ReadAttributes(entry, c.names, attributes), c.code);
    std::vector<std::string> found;
    for (const StoreAttribute& attribute : attributes)
      found.push_back(attribute.name);
    EXPECT_EQ(found, c.found);
  }
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(store->ReadAttributes(entry, {"Description"}, attributes), kDirOk);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].values, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
