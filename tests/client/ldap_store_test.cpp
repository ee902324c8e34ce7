// The live store beyond the store contract: the same tree served by slapd and loaded in memory
// reads the same; the server's schema mapped to directory syntaxes; names and filter values
// escaped on their way to the server; and the faults of a live connection: a wrong password, a
// password file others may read, a port nobody listens on, a server that stops answering or
// goes away in the middle of a search, and the connection coming back on the next call.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_client.h"
#include "directory/client/dir_name.h"
#include "directory/client/ldap_store.h"
#include "directory/client/memory_store.h"
#include "directory/client/name_resolver.h"
#include "directory/d_nw.h"
#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "tests/client/slapd_server.h"
#include "tests/client/store_test_support.h"
#include "tests/support/delay_relay.h"

namespace {

namespace fs = std::filesystem;

const std::string& kFixture = kClientTree;

SlapdServer& Server() {
  return ClientTreeServer();
}

FilterNode Compare(const std::string& attribute, uint32_t syntax, const std::string& text,
                   FilterNode::Op op = FilterNode::Op::kEqual, int64_t number = 0) {
  FilterNode node;
  node.kind = FilterNode::Kind::kCompare;
  node.text = attribute;
  node.syntax = syntax;
  node.textValue = text;
  node.op = op;
  node.numberValue = number;
  return node;
}

class LdapStoreTest : public ClientFolderTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Server().Running()) << Server().Error();
    ClientFolderTest::SetUp();
  }

  static std::unique_ptr<LdapStore> Connect(const std::string& uri, int32_t& code,
                                            std::string& error, const std::string& bind = "",
                                            const std::string& password = "", int timeout = 10,
                                            int pageSize = 1000) {
    return ConnectLdapStore(uri, code, error, bind, password, timeout, pageSize);
  }

  static std::unique_ptr<LdapStore> Connect() { return ConnectClientTreeStore(); }

  // An anonymous store on `server` that waits 1 s for an answer and pages by two entries, so that
  // a test freezing or stopping the server is quick and meets it in the middle of a search;
  // nullptr, and a failed expectation saying why, when it cannot connect.
  static std::unique_ptr<LdapStore> ConnectImpatient(const SlapdServer& server) {
    int32_t code = 0;
    std::string error;
    auto store = Connect(server.Uri(), code, error, "", "", 1, 2);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
};

// Every entry of a store, keyed by its complete typeless name, with what a reader sees of it.
struct Seen {
  StoreEntry entry;
  std::map<std::string, std::pair<uint32_t, std::vector<std::string>>> attributes;
};

std::map<std::string, Seen> Walk(Store& store) {
  std::map<std::string, Seen> seen;
  std::vector<DirName> todo{DirName()};
  while (!todo.empty()) {
    const DirName parent = todo.back();
    todo.pop_back();
    std::unique_ptr<EntryCursor> cursor;
    EXPECT_EQ(store.ListChildren(parent, cursor), kDirOk) << Typeless(parent);
    if (!cursor)
      continue;
    StoreEntry child;
    while (cursor->Next(child)) {
      Seen& s = seen[Typeless(child.name)];
      EXPECT_EQ(store.GetEntry(child.name, s.entry), kDirOk);
      std::vector<StoreAttribute> attributes;
      EXPECT_EQ(store.ReadAttributes(child.name, {}, attributes), kDirOk);
      for (StoreAttribute& a : attributes) {
        std::sort(a.values.begin(), a.values.end());
        s.attributes[a.name] = {a.syntax, a.values};
      }
      todo.push_back(child.name);
    }
  }
  return seen;
}

TEST_F(LdapStoreTest, TheSampleTreeReadsAlikeServedAndInMemory) {
  const std::string sample = std::string(ORVANE_TEST_DATA) + "/../../samples/sample_tree.ldif";
  SlapdServer server(sample);
  ASSERT_TRUE(server.Running()) << server.Error();
  std::string error;
  const auto memory = MemoryStore::LoadFile(sample, error);
  ASSERT_NE(memory, nullptr) << error;
  int32_t code = 0;
  const auto live = Connect(server.Uri(), code, error);
  ASSERT_NE(live, nullptr) << error;

  const auto expected = Walk(*memory);
  const auto actual = Walk(*live);
  ASSERT_GE(expected.size(), 40u);
  ASSERT_EQ(actual.size(), expected.size());
  for (const auto& [name, want] : expected) {
    SCOPED_TRACE(name);
    const auto found = actual.find(name);
    ASSERT_NE(found, actual.end());
    const Seen& got = found->second;
    EXPECT_EQ(got.entry.baseClass, want.entry.baseClass);
    EXPECT_EQ(got.entry.flags, want.entry.flags);
    EXPECT_EQ(got.entry.subordinateCount, want.entry.subordinateCount);
    EXPECT_EQ(got.entry.modificationTime, want.entry.modificationTime);
    EXPECT_EQ(got.attributes, want.attributes);
  }
  // The RBS searches of the export tab find the same objects.
  for (const char* cls : {"rbsModule2", "rbsCategory2", "rbsRole2", "rbsBook2", "rbsTask2"}) {
    FilterNode filter;
    filter.kind = FilterNode::Kind::kBaseClass;
    filter.text = cls;
    std::vector<std::string> names[2];
    Store* stores[2] = {memory.get(), live.get()};
    for (int i = 0; i < 2; ++i) {
      std::unique_ptr<EntryCursor> cursor;
      ASSERT_EQ(stores[i]->Search({}, 2, filter, cursor), kDirOk);
      StoreEntry entry;
      while (cursor->Next(entry))
        names[i].push_back(Typeless(entry.name));
      std::sort(names[i].begin(), names[i].end());
    }
    EXPECT_EQ(names[1], names[0]) << cls;
    EXPECT_FALSE(names[0].empty()) << cls;
  }
}

// Entries named by multi-valued RDNs, one of them with a namesake of the same values under other
// types, and a name value holding one in another order and letter case: the live store reads,
// finds and resolves them, typeless too, as an LDIF load does.
TEST_F(LdapStoreTest, MultiValuedNamesReadAlikeServedAndInMemory) {
  const std::string ldif =
      Write("multi.ldif",
            "dn: o=Acme\nobjectClass: organization\no: Acme\n\n"
            "dn: ou=Sales+cn=J. Smith,o=Acme\nobjectClass: inetOrgPerson\ncn: J. Smith\nsn: Smith\n"
            "ou: Sales\n\n"
            "dn: cn=Team,cn=J. Smith+ou=Sales,o=Acme\nobjectClass: groupOfNames\ncn: Team\n"
            "member: OU=sales+CN=j. smith,o=Acme\n\n"
            "dn: cn=Sales+ou=J. Smith,o=Acme\nobjectClass: inetOrgPerson\ncn: Sales\nsn: S\n"
            "ou: J. Smith\n");
  SlapdServer server(ldif);
  ASSERT_TRUE(server.Running()) << server.Error();
  std::string error;
  const auto memory = MemoryStore::LoadFile(ldif, error);
  ASSERT_NE(memory, nullptr) << error;
  int32_t code = 0;
  const auto live = Connect(server.Uri(), code, error);
  ASSERT_NE(live, nullptr) << error;
  const DirName smith = *ParseLdapDn("cn=J. Smith+ou=Sales,o=Acme");
  const DirName team = *ParseLdapDn("cn=Team,ou=Sales+cn=J. Smith,o=Acme");
  const DirName namesake = *ParseLdapDn("ou=J. Smith+cn=Sales,o=Acme");
  for (Store* store : {static_cast<Store*>(memory.get()), static_cast<Store*>(live.get())}) {
    std::vector<std::string> names;
    for (const auto& [name, seen] : Walk(*store))
      names.push_back(name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"Acme", "J\\. Smith+Sales.Acme", "Sales+J\\. Smith.Acme",
                                        "Team.J\\. Smith+Sales.Acme"}));
    StoreEntry entry;
    ASSERT_EQ(store->GetEntry(*ParseLdapDn("OU=SALES+cn=j. smith,o=acme"), entry), kDirOk);
    EXPECT_TRUE(SameName(entry.name, smith));
    // An RDN filter matches by any pair of a multi-valued RDN.
    FilterNode byRdn;
    byRdn.kind = FilterNode::Kind::kRdn;
    byRdn.rdnType = "OU";
    byRdn.text = "sal*";
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(store->Search(Dn("o=Acme"), 2, byRdn, cursor), kDirOk);
    ASSERT_TRUE(cursor->Next(entry));
    EXPECT_TRUE(SameName(entry.name, smith));
    EXPECT_FALSE(cursor->Next(entry));
    const auto found =
        OnlyChild(*store, Dn("o=Acme"), NamePart{"OU", "sales", {{"CN", "J. Smith"}}});
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(SameRdn(*found, smith.front()));
    EXPECT_EQ(store->FindChildren(Dn("o=Acme"), NamePart{"", "SALES", {{"", "j. smith"}}}).size(),
              2u);
    // Typeless values in any order; of the namesakes the one tried first, and the other written
    // typed so that it resolves back.
    const struct {
      const char* text;
      DirName name;
      const char* written;
    } cases[] = {
        {".Team.OU=Sales+CN=J\\. Smith.Acme", team, "Team.J\\. Smith+Sales.Acme"},
        {".Team.sales+j\\. smith.Acme", team, "Team.J\\. Smith+Sales.Acme"},
        {".Sales+J\\. Smith.Acme", smith, "J\\. Smith+Sales.Acme"},
        {".CN=Sales+OU=J\\. Smith.Acme", namesake, "CN=Sales+OU=J\\. Smith.Acme"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.text);
      const auto resolved = ResolveName(*store, c.text, {});
      ASSERT_TRUE(resolved.has_value());
      EXPECT_TRUE(SameName(*resolved, c.name)) << FormatDirName(*resolved, {}, false);
      EXPECT_EQ(NameText(*store, c.name, {}, true), c.written);
    }
    std::vector<StoreAttribute> attributes;
    ASSERT_EQ(store->ReadAttributes(team, {"Member"}, attributes), kDirOk);
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_TRUE(SameName(*ParseLdapDn(attributes[0].values.at(0)), smith));
  }
}

// slapd answers who-am-I for its manager as the bind spelt the DN, as other servers answer it in
// their own spelling: the user is named as the entry's DN is spelt.
TEST_F(LdapStoreTest, TheBoundUserIsNamedAsItsEntryIsSpelt) {
  SlapdServer server(
      Write("manager.ldif", "dn: cn=Manager\nobjectClass: person\ncn: Manager\nsn: M\n"));
  ASSERT_TRUE(server.Running()) << server.Error();
  for (const char* bind : {"cn=manager", "CN=MANAGER"}) {
    SCOPED_TRACE(bind);
    int32_t code = 0;
    std::string error;
    const auto store = Connect(server.Uri(), code, error, bind, SlapdServer::kManagerPassword);
    ASSERT_NE(store, nullptr) << error;
    DirName self;
    ASSERT_EQ(store->WhoAmI(self), kDirOk);
    ASSERT_EQ(self.size(), 1u);
    EXPECT_EQ(self.front().value, "Manager");
  }
}

TEST_F(LdapStoreTest, TheServersSchemaGivesDirectorySyntaxes) {
  const auto store = Connect();
  ASSERT_NE(store, nullptr);
  struct Case {
    const char* attribute;
    uint32_t syntax;
    const char* directoryName;
  };
  const Case cases[] = {
      // Vendor syntax OIDs are the syntax number itself.
      {"ACL", kSyntaxObjectAcl, "ACL"},
      {"revision", kSyntaxCounter, "Revision"},
      {"intruderLockoutResetInterval", kSyntaxInterval, "Intruder Lockout Reset Interval"},
      {"ndsNetworkAddress", kSyntaxNetAddress, "Network Address"},
      {"rbsXMLInfo", kSyntaxStream, "rbsXMLInfo"},
      // INTEGER carries Integer, Counter and Interval: the directory's definition decides.
      {"passwordExpirationInterval", kSyntaxInterval, "Password Expiration Interval"},
      {"loginGraceLimit", kSyntaxInteger, "Login Grace Limit"},
      // A text syntax carries any of the text forms.
      {"hostResourceName", kSyntaxCaseExactString, "Host Resource Name"},
      {"language", kSyntaxCaseIgnoreList, "Language"},
      // A definition that says something else than the directory's wins where it is exact.
      {"binderyType", kSyntaxInteger, "Bindery Type"},
      // Inherited from a supertype; slapd's own attributes.
      {"cn", kSyntaxCaseIgnoreString, "CN"},
      {"member", kSyntaxDistinguishedName, "Member"},
      {"modifyTimestamp", kSyntaxTime, "modifyTimestamp"},
      // X-NDS names, in either spelling.
      {"Orvane Raw", kSyntaxUnknown, "Orvane Raw"},
      {"loginDisabled", kSyntaxBoolean, "Login Disabled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attribute);
    EXPECT_EQ(store->SyntaxOf(c.attribute), std::optional<uint32_t>(c.syntax));
    EXPECT_EQ(store->AttributeName(c.attribute), c.directoryName);
  }
  StoreEntry root;
  ASSERT_EQ(store->GetEntry({}, root), kDirOk);
  EXPECT_EQ(root.baseClass, "Tree Root");
  EXPECT_EQ(root.subordinateCount, 2u);
  EXPECT_EQ(root.flags, kDirObjectContainer);
  EXPECT_EQ(store->ClassName("inetOrgPerson"), "User");
  EXPECT_EQ(store->ClassName("rbsRole2"), "rbsRole2");
}

TEST_F(LdapStoreTest, NamesAreEscapedBothWays) {
  const char* values[] = {"a,b", "a+b",   "a=b",   "a\\b",   "a\"b",    "a<b>",
                          "a;b", "#lead", " lead", "trail ", "dot.ted", "\xC3\xA9t\xC3\xA9"};
  for (const char* value : values) {
    SCOPED_TRACE(value);
    const DirName name = {Rdn{"CN", value}, Rdn{"S", "Region"}, Rdn{"O", "Acme"}};
    const std::string dn = LdapDnText(name);
    const auto back = ParseLdapDn(dn);
    ASSERT_TRUE(back.has_value()) << dn;
    EXPECT_TRUE(SameName(*back, name)) << dn;
    EXPECT_NE(dn.find(",st=Region,o=Acme"), std::string::npos) << dn;
  }
  EXPECT_EQ(LdapDnText({}), "");
  EXPECT_EQ(LdapDnText({Rdn{"CN", "a,b"}, Rdn{"O", "Acme"}}), "cn=a\\2Cb,o=Acme");

  const auto store = Connect();
  ASSERT_NE(store, nullptr);
  // Typeless parts take the type and spelling of the entry on the server.
  const auto admin = OnlyChild(*store, Dn("ou=Sales,o=Acme"), NamePart{"", "ADMIN"});
  ASSERT_TRUE(admin.has_value());
  EXPECT_EQ(admin->type, "CN");
  EXPECT_EQ(admin->value, "Admin");
  const auto sales = OnlyChild(*store, Dn("o=acme"), NamePart{"", "sales"});
  ASSERT_TRUE(sales.has_value());
  EXPECT_EQ(sales->type, "OU");
  EXPECT_FALSE(OnlyChild(*store, Dn("o=Acme"), NamePart{"", "a)(cn=*"}).has_value());
}

TEST_F(LdapStoreTest, FilterValuesReachTheServerEscaped) {
  const auto store = Connect();
  ASSERT_NE(store, nullptr);
  struct Case {
    const char* label;
    FilterNode filter;
    std::string text;
  };
  const std::string nul("a\0b", 3);
  const std::vector<Case> cases = {
      {"a name keeps its * literal",
       Compare("Member", kSyntaxDistinguishedName, "cn=a*b(c)\\d,o=acme"),
       "(member=cn=a\\2Ab\\28c\\29\\5Cd,o=acme)"},
      {"NUL in a name", Compare("rbsContent", kSyntaxDistinguishedName, nul),
       "(rbsContent=a\\00b)"},
      {"text keeps * as a wildcard and escapes the rest",
       Compare("Surname", kSyntaxCaseIgnoreString, "x)(cn=*"), "(sn=x\\29\\28cn=*)"},
      {"NUL in text", Compare("Surname", kSyntaxCaseIgnoreString, nul), "(sn=a\\00b)"},
      {"ordering escapes *",
       Compare("Surname", kSyntaxCaseIgnoreString, "a*", FilterNode::Op::kGreaterOrEqual),
       "(sn>=a\\2A)"},
      {"numbers",
       Compare("Login Grace Limit", kSyntaxInteger, "", FilterNode::Op::kLessOrEqual, -6),
       "(loginGraceLimit<=-6)"},
      {"times", Compare("Login Time", kSyntaxTime, "", FilterNode::Op::kGreaterOrEqual, 1086004800),
       "(loginTime>=20040531120000Z)"},
      {"an attribute the server lacks matches nothing",
       Compare("No Such Attribute", kSyntaxCaseIgnoreString, "x"), "(!(objectClass=*))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string text;
    ASSERT_EQ(store->FilterText(c.filter, text), kDirOk);
    EXPECT_EQ(text, c.text);
  }
  FilterNode rdn;
  rdn.kind = FilterNode::Kind::kRdn;
  rdn.text = "T(1)*";
  rdn.rdnType = "CN";
  std::string text;
  ASSERT_EQ(store->FilterText(rdn, text), kDirOk);
  EXPECT_EQ(text, "(cn=T\\281\\29*)");
  EXPECT_EQ(store->FilterText(Compare("Synchronized Up To", kSyntaxTimestamp, "",
                                      FilterNode::Op::kGreaterOrEqual, 5),
                              text),
            kDirInvalidFilter);

  // Live: values that would change the filter's shape find nothing and fail nothing.
  for (const FilterNode& filter :
       {Compare("Surname", kSyntaxCaseIgnoreString, "x)(|(objectClass=*)"),
        Compare("Member", kSyntaxDistinguishedName, "*"),
        Compare("Surname", kSyntaxCaseIgnoreString, nul)}) {
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(store->Search({}, 2, filter, cursor), kDirOk);
    StoreEntry entry;
    EXPECT_FALSE(cursor->Next(entry)) << Typeless(entry.name);
    EXPECT_EQ(cursor->Status(), kDirOk);
  }
}

TEST_F(LdapStoreTest, NamingContextsBelowTheRootAreItsChildren) {
  const std::string ldif = Write("domain.ldif",
                                 "dn: dc=example,dc=com\nobjectClass: domain\ndc: example\n\n"
                                 "dn: ou=Staff,dc=example,dc=com\nobjectClass: organizationalUnit\n"
                                 "ou: Staff\n\n"
                                 "dn: cn=Ann,ou=Staff,dc=example,dc=com\nobjectClass: "
                                 "inetOrgPerson\ncn: Ann\nsn: Lee\n\n"
                                 "dn: cn=Role A,ou=Staff,dc=example,dc=com\nobjectClass: "
                                 "rbsRole2\ncn: Role A\n");
  SlapdServer server(ldif, 3, false, "dc=example,dc=com");
  ASSERT_TRUE(server.Running()) << server.Error();
  int32_t code = 0;
  std::string error;
  const auto store = Connect(server.Uri(), code, error);
  ASSERT_NE(store, nullptr) << error;

  // The part above the context is made as a container, as an LDIF load makes it: the root lists
  // it, and it lists the context.
  std::unique_ptr<EntryCursor> cursor;
  StoreEntry entry;
  for (const auto& [parent, child, baseClass] :
       {std::tuple{"", "com", "domain"}, std::tuple{"dc=com", "example.com", "domain"}}) {
    SCOPED_TRACE(parent);
    ASSERT_EQ(store->ListChildren(Dn(parent), cursor), kDirOk);
    ASSERT_TRUE(cursor->Next(entry));
    EXPECT_EQ(Typeless(entry.name), child);
    EXPECT_EQ(entry.baseClass, baseClass);
    EXPECT_EQ(entry.flags, kDirObjectContainer);
    EXPECT_FALSE(cursor->Next(entry));
    ASSERT_EQ(store->GetEntry(Dn(parent), entry), kDirOk);
    EXPECT_EQ(entry.subordinateCount, 1u);
    EXPECT_EQ(entry.flags, kDirObjectContainer);
  }
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(store->ReadAttributes(Dn("dc=com"), {}, attributes), kDirOk);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].values, std::vector<std::string>{"domain"});
  EXPECT_EQ(store->ReadAttributes(Dn("dc=com"), {"description"}, attributes), kDirNoSuchAttribute);
  EXPECT_EQ(store->GetEntry(Dn("dc=org"), entry), kDirNoSuchEntry);

  // Typeless names resolve through the context's own parts down to the entries below it.
  const auto com = OnlyChild(*store, {}, NamePart{"", "COM"});
  ASSERT_TRUE(com.has_value());
  EXPECT_EQ(com->type, "DC");
  EXPECT_EQ(com->value, "com");
  const auto example = OnlyChild(*store, {*com}, NamePart{"", "example"});
  ASSERT_TRUE(example.has_value());
  const auto staff = OnlyChild(*store, {*example, *com}, NamePart{"", "staff"});
  ASSERT_TRUE(staff.has_value());
  EXPECT_EQ(staff->type, "OU");
  EXPECT_FALSE(OnlyChild(*store, {}, NamePart{"", "example"}).has_value());
  EXPECT_FALSE(OnlyChild(*store, {*com}, NamePart{"", "other"}).has_value());

  FilterNode roles;
  roles.kind = FilterNode::Kind::kBaseClass;
  roles.text = "rbsRole2";
  ASSERT_EQ(store->Search({}, 2, roles, cursor), kDirOk);
  ASSERT_TRUE(cursor->Next(entry));
  EXPECT_EQ(Typeless(entry.name), "Role A.Staff.example.com");
  EXPECT_FALSE(cursor->Next(entry));
  // Below the made part as below the root; the made part matches by its class.
  ASSERT_EQ(store->Search(Dn("dc=com"), 2, roles, cursor), kDirOk);
  ASSERT_TRUE(cursor->Next(entry));
  EXPECT_EQ(Typeless(entry.name), "Role A.Staff.example.com");
  EXPECT_FALSE(cursor->Next(entry));
  roles.text = "domain";
  const struct {
    const char* base;
    int scope;
    std::vector<std::string> found;
  } scopes[] = {
      {"", 0, {}},
      {"", 1, {"com"}},
      {"", 2, {"com", "example.com"}},
      {"dc=com", 0, {"com"}},
      {"dc=com", 1, {"example.com"}},
      {"dc=com", 2, {"com", "example.com"}},
  };
  for (const auto& s : scopes) {
    SCOPED_TRACE(std::string(s.base) + " scope " + std::to_string(s.scope));
    ASSERT_EQ(store->Search(Dn(s.base), s.scope, roles, cursor), kDirOk);
    std::vector<std::string> found;
    while (cursor->Next(entry))
      found.push_back(Typeless(entry.name));
    EXPECT_EQ(found, s.found);
  }
}

TEST_F(LdapStoreTest, BindsWithThePasswordFileOnly) {
  int32_t code = 0;
  std::string error;
  EXPECT_EQ(Connect(Server().Uri(), code, error, SlapdServer::kManagerDn, "wrong"), nullptr);
  EXPECT_EQ(code, kDirFailedAuthentication);
  EXPECT_NE(error.find("Invalid credentials"), std::string::npos) << error;
  EXPECT_NE(error.find(Server().Uri()), std::string::npos) << error;

  const auto manager =
      Connect(Server().Uri(), code, error, SlapdServer::kManagerDn, SlapdServer::kManagerPassword);
  ASSERT_NE(manager, nullptr) << error;
  DirName self;
  ASSERT_EQ(manager->WhoAmI(self), kDirOk);
  EXPECT_TRUE(SameName(self, Dn(SlapdServer::kManagerDn)));
  EXPECT_EQ(Connect()->WhoAmI(self), kDirNoSuchEntry);  // anonymous

  // Others who may change the file may choose the password the client sends.
  const std::pair<mode_t, const char*> cases[] = {
      {0600, nullptr},
      {0400, nullptr},
      {0640, "readable by others"},
      {0644, "readable by others"},
      {0604, "readable by others"},
      {0620, "writable by others"},
      {0602, "writable by others"},
      {0660, "readable by others"},
  };
  for (const auto& [mode, refusal] : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << mode);
    const std::string path = Write("password", "secret\n", mode);
    const auto password = ReadPasswordFile(path, error);
    EXPECT_EQ(password.has_value(), refusal == nullptr) << error;
    if (password) {
      EXPECT_EQ(*password, "secret");
    } else {
      EXPECT_NE(error.find(path), std::string::npos) << error;
      EXPECT_NE(error.find(refusal), std::string::npos) << error;
    }
  }
  EXPECT_FALSE(ReadPasswordFile(dir_ + "/missing", error).has_value());
  EXPECT_NE(error.find("cannot be read"), std::string::npos);
  // A FIFO nobody writes to is refused at once instead of holding the start-up.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ReadPasswordFile(fifo, error).has_value());
  EXPECT_EQ(error, fifo + ": not a regular file");

  // Through the client: a 0644 file stops the start-up and says why.
  const std::string loose = Write("loose", SlapdServer::kManagerPassword, 0644);
  const std::string ini = Write(
      "connections.ini", "[live]\ntree = LIVE\nsource = " + Server().Uri() +
                             "\nbind = " + SlapdServer::kManagerDn + "\npassword-file = loose\n");
  client_.DirClientUseConnectionsFile(ini);
  const uint16_t start = client_.DirClientInit(0, 0);
  EXPECT_EQ(start, kDirConfigMalformed);
  EXPECT_NE(client_.NWstrerror(start).find("loose: the password file has mode 0644"),
            std::string::npos)
      << client_.NWstrerror(start);
}

TEST_F(LdapStoreTest, ABindWithoutPasswordFileAsksUntilThePasswordIsTaken) {
  const std::string sample = "[sample]\ntree = SAMPLE\nsource = sample\n";
  const std::string live = "[live]\ntree = LIVE\nsource = " + Server().Uri() +
                           "\nprimary = yes\nbind = " + SlapdServer::kManagerDn + "\n";
  std::vector<DirPasswordRequest> asked;
  struct Case {
    const char* label;
    std::vector<DirPasswordAnswer> answers;  // one per request, in turn
    size_t connections;                      // opened
    const char* text;                        // why the live one was not, when it says
  };
  const std::string right = SlapdServer::kManagerPassword;
  const Case cases[] = {
      {"right at once", {{right, ""}}, 2, ""},
      {"wrong, then right", {{"wrong", ""}, {"", ""}, {right, ""}}, 2, ""},
      {"declined after a refusal", {{"wrong", ""}, {std::nullopt, ""}}, 1, ""},
      {"none to be had", {{std::nullopt, "no terminal"}}, 1, "no terminal (connection [live] in "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    asked.clear();
    client_.DirClientSetPasswordProvider([&](const DirPasswordRequest& request) {
      asked.push_back(request);
      return asked.size() <= c.answers.size() ? c.answers[asked.size() - 1]
                                              : DirPasswordAnswer{std::nullopt, "asked too often"};
    });
    client_.DirClientUseConnectionsFile(Write("connections.ini", sample + live));
    const uint16_t code = client_.DirClientInit(0, 0);
    ASSERT_EQ(code, kDirConnectionOk) << client_.NWstrerror(code);
    ASSERT_EQ(asked.size(), c.answers.size());
    for (size_t i = 0; i < asked.size(); ++i) {
      EXPECT_EQ(asked[i].tree, "LIVE");
      EXPECT_EQ(asked[i].bindDn, SlapdServer::kManagerDn);
      EXPECT_EQ(asked[i].server, Server().Uri());
      EXPECT_EQ(asked[i].attempt, static_cast<int>(i + 1));
      const bool afterEmpty = i > 0 && c.answers[i - 1].password == "";
      EXPECT_EQ(asked[i].previousError.empty(), i == 0);
      EXPECT_NE(asked[i].previousError.find(afterEmpty ? "empty"
                                            : i == 0   ? ""
                                                       : "Invalid credentials"),
                std::string::npos)
          << asked[i].previousError;
    }
    uint32_t position = 0;
    DirConnectionRef reference = 0;
    size_t opened = 0;
    while (client_.DirScanConnections(position, reference) == kDirConnectionOk)
      ++opened;
    EXPECT_EQ(opened, c.connections);
    const std::vector<DirUnopenedConnection> unopened = client_.DirClientUnopenedConnections();
    ASSERT_EQ(unopened.size(), *c.text == '\0' ? 0u : 1u);
    if (!unopened.empty()) {
      EXPECT_NE(unopened[0].reason.find(c.text), std::string::npos) << unopened[0].reason;
    }
    // The live connection is the primary one; declined, there is none; failed, the sample
    // stands in for it.
    EXPECT_EQ(client_.DirGetPrimaryConnection(reference),
              c.connections == 2 || !unopened.empty() ? kDirConnectionOk : kDirNoConnection);
    client_.DirClientShutdown();
  }

  // A password file is used as it is, never asked about.
  asked.clear();
  Write("password", SlapdServer::kManagerPassword, 0600);
  client_.DirClientUseConnectionsFile(
      Write("connections.ini", live + "password-file = password\n"));
  EXPECT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  EXPECT_TRUE(asked.empty());
  client_.DirClientShutdown();

  // The client called from within the provider answers with codes instead of waiting on itself.
  client_.DirClientSetPasswordProvider([&](const DirPasswordRequest&) {
    DirContext context = 0;
    EXPECT_EQ(client_.DirClientInit(0, 0), kDirClientNotStarted);
    EXPECT_EQ(client_.DirCreateContext(context), kDirNoSuchTree);
    return DirPasswordAnswer{right, ""};
  });
  client_.DirClientUseConnectionsFile(Write("connections.ini", live));
  EXPECT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  client_.DirClientShutdown();

  // Without a provider nothing can ask.
  client_.DirClientSetPasswordProvider({});
  client_.DirClientUseConnectionsFile(Write("connections.ini", live));
  ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  const std::vector<DirUnopenedConnection> unopened = client_.DirClientUnopenedConnections();
  ASSERT_EQ(unopened.size(), 1u);
  EXPECT_NE(unopened[0].reason.find("bind cn=Manager has no password-file"), std::string::npos)
      << unopened[0].reason;
}

// A restart of the client keeps, in memory, the logins of connections whose servers, bind DN and
// TLS settings did not change: they bind again without asking. A changed login, and any start
// after a plain shutdown, asks; a start that failed keeps the logins for the one after it.
TEST_F(LdapStoreTest, ARestartKeepsTheLoginsOfConnectionsWhoseLoginDidNotChange) {
  const std::string live = "[live]\ntree = LIVE\nsource = " + Server().Uri() +
                           "\nbind = " + SlapdServer::kManagerDn + "\n";
  const std::string moved = live + "context = Sales.Acme\ntimeout = 5\n";
  const std::string sample = "[sample]\ntree = SAMPLE\nsource = sample\n";
  int asked = 0;
  client_.DirClientSetPasswordProvider([&asked](const DirPasswordRequest& request) {
    ++asked;
    EXPECT_EQ(request.attempt, 1);
    return DirPasswordAnswer{SlapdServer::kManagerPassword, ""};
  });
  struct Step {
    bool keepLogins;  // the shutdown before the start
    std::string connections;
    const char* result;  // start-up code, connections opened, passwords asked so far
  };
  const std::vector<Step> steps = {
      {false, live, "0 1 asked 1"},
      {true, live, "0 1 asked 1"},
      {true, moved + sample, "0 2 asked 1"},
      {true, moved + "verify = no\n" + sample, "0 2 asked 2"},
      {true, moved + "verify = no\n", "0 1 asked 2"},
      {true, "[broken\n", "34832 0 asked 2"},
      {true, moved + "verify = no\n", "0 1 asked 2"},
      {false, moved + "verify = no\n", "0 1 asked 3"},
      {true, sample, "0 1 asked 3"},
      {true, moved + "verify = no\n", "0 1 asked 4"},
  };
  for (const Step& step : steps) {
    if (step.keepLogins) {
      client_.DirClientShutdownKeepingLogins();
    } else {
      client_.DirClientShutdown();
    }
    client_.DirClientUseConnectionsFile(Write("connections.ini", step.connections));
    const uint16_t code = client_.DirClientInit(0, 0);
    uint32_t position = 0;
    DirConnectionRef reference = 0;
    int opened = 0;
    while (client_.DirScanConnections(position, reference) == kDirConnectionOk) {
      ++opened;
    }
    EXPECT_EQ(
        std::to_string(code) + " " + std::to_string(opened) + " asked " + std::to_string(asked),
        step.result)
        << step.connections;
  }
}

TEST_F(LdapStoreTest, TheClientUsesALiveTreeLikeAnyOther) {
  Write("password", SlapdServer::kManagerPassword, 0600);
  client_.DirClientUseConnectionsFile(
      Write("connections.ini", "[live]\ntree = LIVE_TREE\nsource = " + Server().Uri() +
                                   "\ncontext = Sales.Acme\nbind = " + SlapdServer::kManagerDn +
                                   "\npassword-file = password\n"
                                   "timeout = 5\n"));
  ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  ASSERT_EQ(
      client_.DirSetContextValue(context, kDirKeyFlags, kDirFlagTypeless | kDirFlagCanonicalize),
      kDirOk);
  std::string name;
  ASSERT_EQ(client_.DirWhoAmI(context, name), kDirOk);
  EXPECT_EQ(name, "Manager..");  // the bound identity, relative to Sales.Acme
  ASSERT_EQ(client_.DirGetContextValue(context, kDirKeyNameContext, name), kDirOk);
  EXPECT_EQ(name, "Sales.Acme");
  ASSERT_EQ(client_.DirSetContextValue(context, kDirKeyNameContext, std::string("[Root]")), kDirOk);

  DirBuffer buffer = 0;
  ASSERT_EQ(client_.DirAllocBuffer(4096, buffer), kDirOk);
  int32_t handle = -1;
  std::vector<std::string> listed;
  do {
    ASSERT_EQ(client_.DirListSubordinates(context, "[Root]", handle, buffer), kDirOk);
    uint32_t count = 0;
    ASSERT_EQ(client_.DirGetObjectCount(context, buffer, count), kDirOk);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t attributes = 0;
      DirObjectInfo info;
      ASSERT_EQ(client_.DirGetObjectName(context, buffer, name, attributes, info), kDirOk);
      listed.push_back(name + " " + info.baseClass);
    }
  } while (handle != -1);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"Acme Organization", "Other Organization"}));
  EXPECT_EQ(client_.DirFreeBuffer(buffer), kDirOk);
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
}

// Across a network each round trip costs the delay twice; the relay counts them. The start-up
// sends what it asks after the bind together, and the export tab's five searches go out at
// once, each on a connection of its own, their lists as one after another would give them; the
// later pages of each travel beside those of the list being read.
TEST_F(LdapStoreTest, TheStartTheExportSearchesAndTheReadsAheadTakeFewRoundTrips) {
  const std::string uri = Server().Uri();
  DelayRelay relay(uri, std::chrono::milliseconds(10));
  ASSERT_NE(relay.Port(), 0);
  Write("password", SlapdServer::kManagerPassword, 0600);
  const std::string bound =
      "bind = " + std::string(SlapdServer::kManagerDn) + "\npassword-file = password\n";
  // Bind; then root DSE, schema, who-am-I and the bound entry together; then the name context's
  // own lookup (this server's root is an entry, so even its top part is asked for).
  const std::pair<std::string, size_t> starts[] = {
      {"", 2}, {bound, 2}, {bound + "context = O=Acme\n", 3}};
  const std::vector<std::string> filters = {"(Base Class=rbsModule2)", "(Base Class=rbsCategory2)",
                                            "(Base Class=rbsRole2)", "(Base Class=rbsBook2)",
                                            "(Base Class=rbsTask2)"};
  for (const auto& [keys, turns] : starts) {
    SCOPED_TRACE(keys);
    client_.DirClientUseConnectionsFile(Write(
        "connections.ini", "[live]\ntree = LIVE_TREE\nsource = " + relay.Uri() + "\n" + keys));
    relay.ResetTurns();
    ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
    EXPECT_EQ(relay.Turns(), turns);
    DirContext context = 0;
    ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
    DSModifyContextFlags(client_, context, '+', kDirFlagTypeless);
    ASSERT_EQ(DSSetRootContext(client_, context), kDirOk);
    TStringList names;
    ASSERT_EQ(DSSearch(client_, context, "Roles.Acme", filters[0], kDirScopeSubtree, names),
              kDirOk);
    // With the base's name known: the spares' binds together, then the five first pages; once
    // the spares are kept, the pages alone.
    for (const size_t rounds : {2u, 1u}) {
      relay.ResetTurns();
      DSSearchAhead(client_, context, "Roles.Acme", filters, kDirScopeSubtree);
      std::vector<int> found;
      for (const std::string& filter : filters) {
        names.Clear();
        EXPECT_EQ(DSSearch(client_, context, "Roles.Acme", filter, kDirScopeSubtree, names),
                  kDirOk);
        found.push_back(names.Count());
      }
      EXPECT_EQ(found, (std::vector<int>{1, 0, 1, 1, 2}));
      EXPECT_EQ(relay.Rounds(), rounds);
    }
    EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
    client_.DirClientShutdown();
  }
  // Pages of one entry: the first pages together, then a round per page of the longest list.
  client_.DirClientUseConnectionsFile(Write(
      "connections.ini",
      "[live]\ntree = LIVE_TREE\nsource = " + relay.Uri() + "\n" + bound + "page-size = 1\n"));
  ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  DSModifyContextFlags(client_, context, '+', kDirFlagTypeless);
  ASSERT_EQ(DSSetRootContext(client_, context), kDirOk);
  const std::vector<std::string> longer = {"(Base Class=Organizational Unit)",
                                           "(Base Class=rbsScope2)", "(Base Class=rbsTask2)"};
  TStringList names;
  ASSERT_EQ(DSSearch(client_, context, "Acme", longer[0], kDirScopeSubtree, names), kDirOk);
  relay.ResetTurns();
  DSSearchAhead(client_, context, "Acme", longer, kDirScopeSubtree);
  std::vector<int> found;
  for (const std::string& filter : longer) {
    names.Clear();
    EXPECT_EQ(DSSearch(client_, context, "Acme", filter, kDirScopeSubtree, names), kDirOk);
    found.push_back(names.Count());
  }
  EXPECT_EQ(found, (std::vector<int>{3, 3, 2}));
  EXPECT_EQ(relay.Rounds(), 4u);
  // Reads asked for ahead by their names, a search of one name each: four searches together,
  // the fifth once the first is in. The first time types the names' containers.
  const std::vector<std::string> read = {
      "Task 1.Module A.Collection.Roles.Acme", "Task 2.Module A.Collection.Roles.Acme",
      "Book 1.Module A.Collection.Roles.Acme", "Role 1.Collection.Roles.Acme",
      "Module A.Collection.Roles.Acme"};
  for (int time = 0; time < 2; ++time) {
    client_.DirClientBeginOperation();
    relay.ResetTurns();
    ASSERT_EQ(client_.DirReadAhead(context, read, {"CN"}), kDirOk);
    for (const std::string& item : read) {
      TStringList values;
      EXPECT_EQ(ReadAttributeValues(client_, context, item, "CN", values), kDirOk) << item;
    }
  }
  EXPECT_EQ(relay.Rounds(), 2u);
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
  client_.DirClientShutdown();
}

// 389 Directory Server holds answers back at times while further requests wait on the
// connection. Near it, a typeless part's lookups under each naming type go one at a time, a turn
// each; across a network, after the first, alone, the others go together; another server has
// them all go together. Turns measured slow by a busy machine keep them together on that
// connection, so the near server is given a few connections to show it.
TEST_F(LdapStoreTest, LookUpsGoOneAtATimeOnlyToANearServerThatHoldsAnswers) {
  struct Case {
    std::string server;
    std::string uri;
    int delayMs;
    size_t turns;
  };
  const Case cases[] = {{"slapd", Server().Uri(), 0, 1},
                        {"389", ClientTreeDs389().Uri(), 0, 8},
                        {"389", ClientTreeDs389().Uri(), 10, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server + " at " + std::to_string(c.delayMs) + " ms");
    DelayRelay relay(c.uri, std::chrono::milliseconds(c.delayMs));
    ASSERT_NE(relay.Port(), 0);
    size_t turns = 0;
    for (int connection = 0; connection < 3 && turns != c.turns; ++connection) {
      int32_t code = 0;
      std::string error;
      const auto store = ConnectLdapStore(relay.Uri(), code, error);
      ASSERT_NE(store, nullptr) << error;
      relay.ResetTurns();
      const auto sales = OnlyChild(*store, Dn("o=Acme"), NamePart{"", "sales"});
      ASSERT_TRUE(sales.has_value());
      EXPECT_EQ(sales->type, "OU");
      turns = relay.Turns();
    }
    EXPECT_EQ(turns, c.turns);
  }
}

// Reads asked for ahead by a paged search wait for the page bringing their entry only: the later
// pages travel while the reads before them are answered, however the read meets the entry first
// (resolving its name, following aliases or reading it).
TEST_F(LdapStoreTest, AReadAskedForAheadWaitsOnlyForItsOwnPage) {
  const std::string uri = Server().Uri();
  DelayRelay relay(uri, std::chrono::milliseconds(0));
  ASSERT_NE(relay.Port(), 0);
  client_.DirClientUseConnectionsFile(
      Write("connections.ini",
            "[live]\ntree = LIVE_TREE\nsource = " + relay.Uri() + "\npage-size = 1\n"));
  ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  DSModifyContextFlags(client_, context, '+', kDirFlagTypeless | kDirFlagDerefAliases);
  ASSERT_EQ(DSSetRootContext(client_, context), kDirOk);
  // In the server's order, a page each: the module, Task 1, Task 2, Book 1.
  const std::vector<std::string> items = {"Task 1.Module A.Collection.Roles.Acme",
                                          "Book 1.Module A.Collection.Roles.Acme"};
  DSReadAheadWithin(client_, context, items, {"rbsParameters"}, "Module A.Collection.Roles.Acme",
                    "(Base Class=rbsTask2)#OR#(Base Class=rbsBook2)#OR#(Base Class=rbsModule2)");
  std::vector<size_t> turns;
  for (const std::string& item : items) {
    TStringList values;
    static_cast<void>(ReadAttributeValues(client_, context, item, "rbsParameters", values));
    turns.push_back(relay.Turns());
  }
  // Task 1's read asked for the third page at most; the last ones came for Book 1's.
  EXPECT_LT(turns[0], turns[1]);
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
  client_.DirClientShutdown();
}

TEST_F(LdapStoreTest, EncryptedConnectionsTrustOnlyTheGivenAuthority) {
  SlapdServer server(kFixture, 3, true);
  ASSERT_TRUE(server.Running()) << server.Error();
  struct Case {
    const char* label;
    std::string uri;
    bool startTls;
    bool withCa;
    bool verify;
    bool connects;
  };
  const Case cases[] = {
      {"StartTLS, trusted", server.Uri(), true, true, true, true},
      {"StartTLS, certificate not trusted", server.Uri(), true, false, true, false},
      {"StartTLS, not verified", server.Uri(), true, false, false, true},
      {"ldaps, trusted", server.LdapsUri(), false, true, true, true},
      {"ldaps, certificate not trusted", server.LdapsUri(), false, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LdapSettings settings;
    settings.uri = c.uri;
    settings.startTls = c.startTls;
    settings.caFile = c.withCa ? server.CaFile() : "";
    settings.verify = c.verify;
    settings.timeoutSeconds = 5;
    settings.bindDn = SlapdServer::kManagerDn;
    settings.password = SlapdServer::kManagerPassword;
    std::string error;
    int32_t code = 0;
    const auto store = LdapStore::Connect(settings, error, code);
    EXPECT_EQ(store != nullptr, c.connects) << error;
    if (store) {
      StoreEntry entry;
      EXPECT_EQ(store->GetEntry(Dn("cn=Bob,ou=Sales,o=Acme"), entry), kDirOk);
    } else {
      EXPECT_NE(code, kDirOk);
      EXPECT_NE(error.find(c.uri), std::string::npos) << error;
      // The TLS library's reason, which libldap leaves out.
      EXPECT_NE(error.find("; the server's certificate was refused: The certificate is NOT "
                           "trusted. The certificate issuer is unknown"),
                std::string::npos)
          << error;
    }
  }
}

TEST_F(LdapStoreTest, TheConnectionsFileChecksTheLiveKeys) {
  struct Case {
    const char* keys;
    uint16_t code;
    const char* text;
  };
  const Case cases[] = {
      {"starttls = maybe\n", kDirConfigMalformed, "line 4: starttls must be yes or no"},
      {"verify = 2\n", kDirConfigMalformed, "line 4: verify must be yes or no"},
      {"timeout = 0\n", kDirConfigMalformed, "line 4: timeout must be a number of seconds"},
      {"timeout = 10s\n", kDirConfigMalformed, "line 4: timeout must be a number of seconds"},
      {"page-size = 0\n", kDirConfigMalformed, "line 4: page-size must be a number of entries"},
      {"referrals = maybe\n", kDirConfigMalformed, "line 4: referrals must be yes or no"},
      {"ca-file = missing.pem\n", kDirConfigMalformed, "missing.pem: cannot be read"},
      {"ca-file = pw\n", kDirConfigMalformed, "pw: holds no certificate in PEM form"},
      {"password-file = none\n", kDirConfigMalformed, "none: cannot be read"},
      // Refused, the connection is left out with the server's words; start-up goes on.
      {"bind = cn=Manager\npassword-file = pw\n", kDirConnectionOk, "Invalid credentials"},
      {"starttls = no\nverify = no\ntimeout = 3\nreferrals = no\n", kDirConnectionOk, ""},
  };
  Write("pw", "not the password", 0600);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    client_.DirClientUseConnectionsFile(Write(
        "connections.ini", "[live]\ntree = LIVE\nsource = " + Server().Uri() + "\n" + c.keys));
    const uint16_t code = client_.DirClientInit(0, 0);
    EXPECT_EQ(code, c.code);
    std::string why = code != kDirConnectionOk ? client_.NWstrerror(code) : std::string();
    for (const DirUnopenedConnection& unopened : client_.DirClientUnopenedConnections())
      why += unopened.reason;
    EXPECT_EQ(why.empty(), *c.text == '\0') << why;
    EXPECT_NE(why.find(c.text), std::string::npos) << why;
    client_.DirClientShutdown();
  }
}

TEST_F(LdapStoreTest, APortNobodyListensOnFailsAtOnce) {
  // A port that was free a moment ago.
  SlapdServer gone(kFixture);
  ASSERT_TRUE(gone.Running()) << gone.Error();
  const std::string uri = gone.Uri();
  gone.Stop();
  int32_t code = 0;
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Connect(uri, code, error, "", "", 2), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  EXPECT_TRUE(code == kDirUnreachableServer || code == kDirTransportFailure) << code;
  EXPECT_NE(error.find(uri), std::string::npos) << error;
}

// A server that accepts the connection and then never answers: connecting ends at the timeout
// with a code, waiting (not spinning), at whatever step it stopped, the TLS handshake included.
TEST_F(LdapStoreTest, ConnectingToAServerThatNeverAnswersEndsAtTheTimeout) {
  SlapdServer server(kFixture, 3, true);
  ASSERT_TRUE(server.Running()) << server.Error();
  QuietListener silent;
  // The StartTLS request's success (message 1), after which the TLS handshake gets no answer.
  QuietListener startTlsOnly(std::string("\x30\x24\x02\x01\x01\x78\x1f\x0a\x01\x00\x04\x00\x04\x00"
                                         "\x8a\x16",
                                         16) +
                             "1.3.6.1.4.1.1466.20037");
  struct Case {
    const char* label;
    std::string uri;
    bool startTls;
    bool paused;  // the slapd process stopped
  };
  const Case cases[] = {
      {"ldaps, handshake unanswered", silent.Uri("ldaps"), false, false},
      {"ldaps, server stopped", server.LdapsUri(), false, true},
      {"StartTLS unanswered", server.Uri(), true, true},
      {"StartTLS accepted, handshake unanswered", startTlsOnly.Uri("ldap"), true, false},
      {"bind unanswered", silent.Uri("ldap"), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    LdapSettings settings;
    settings.uri = c.uri;
    settings.startTls = c.startTls;
    settings.verify = false;
    settings.timeoutSeconds = 1;
    if (c.paused)
      server.Pause();
    std::unique_ptr<LdapStore> store;
    std::string error;
    int32_t code = 0;
    double busySeconds = 0;
    const auto started = std::chrono::steady_clock::now();
    const bool inTime = FinishesWithin(
        std::chrono::seconds(5),
        [&] {
          store = LdapStore::Connect(settings, error, code);
          timespec used{};
          clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
          busySeconds = static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
        },
        [&] {
          silent.Close();
          startTlsOnly.Close();
          server.Resume();
        });
    const auto waited = std::chrono::steady_clock::now() - started;
    server.Resume();
    ASSERT_TRUE(inTime) << "still connecting after 5 s";
    EXPECT_EQ(store, nullptr);
    EXPECT_EQ(code, kDirTransportFailure);
    EXPECT_NE(error.find(c.uri + ": "), std::string::npos) << error;
    EXPECT_NE(error.find("no answer within 1 s"), std::string::npos) << error;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(busySeconds, 0.5);
  }
  EXPECT_GT(startTlsOnly.BytesAfterReply(), 0u) << "the handshake was never tried";
}

// A server that answers with a message announced larger than max-message-size is given up as
// soon as the length is read, naming the limit: whether it answers the bind or StartTLS so.
TEST_F(LdapStoreTest, AMessageLargerThanTheLimitEndsTheConnection) {
  // A message of 2 GiB announced, and the first 256 KiB of it.
  QuietListener flooding(std::string("\x30\x84\x7f\xff\xff\xff", 6) + std::string(256 << 10, '\0'));
  for (const bool startTls : {false, true}) {
    SCOPED_TRACE(startTls ? "StartTLS" : "bind");
    LdapSettings settings;
    settings.uri = flooding.Uri("ldap");
    settings.startTls = startTls;
    settings.timeoutSeconds = 3;
    settings.maxMessageMiB = 1;
    std::string error;
    int32_t code = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(LdapStore::Connect(settings, error, code), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(code, kDirTransportFailure);
    EXPECT_NE(error.find(settings.uri + ": "), std::string::npos) << error;
    EXPECT_NE(error.find(": the server sent a message larger than 1 MiB (max-message-size)"),
              std::string::npos)
        << error;
  }
}

// Pages of two entries, so that a search of the fixture tree needs many requests.
TEST_F(LdapStoreTest, AServerThatStopsAnsweringEndsTheSearchWithACode) {
  SlapdServer server(kFixture);
  ASSERT_TRUE(server.Running()) << server.Error();
  const auto store = ConnectImpatient(server);
  ASSERT_NE(store, nullptr);
  FilterNode any;
  any.kind = FilterNode::Kind::kPresent;
  any.text = "Object Class";

  // Frozen: nothing is answered, the search ends within the timeout with what it had read.
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_EQ(store->Search({}, 2, any, cursor), kDirOk);
  StoreEntry entry;
  ASSERT_TRUE(cursor->Next(entry));
  server.Pause();
  int read = 1;
  const auto started = std::chrono::steady_clock::now();
  while (cursor->Next(entry))
    ++read;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // The first page, and what reached the client of the page asked for ahead before the freeze.
  EXPECT_TRUE(read >= 2 && read <= 4) << read;
  EXPECT_EQ(cursor->Status(), kDirTransportFailure);
  EXPECT_NE(store->FailureText(kDirTransportFailure).value_or("").find("no answer within 1 s"),
            std::string::npos);
  EXPECT_FALSE(cursor->Next(entry));
  server.Resume();

  // The next call opens a new connection.
  ASSERT_EQ(store->GetEntry(Dn("cn=Admin,ou=Sales,o=Acme"), entry), kDirOk);
  EXPECT_EQ(entry.baseClass, "User");

  // Another call losing the connection leaves a listing with what it had received. Its
  // reconnect fails as well: from then on every call fails at once, until the store is told to
  // try the server again (the next operation).
  ASSERT_EQ(store->ListChildren(Dn("ou=Sales,o=Acme"), cursor), kDirOk);
  server.Pause();
  EXPECT_EQ(store->GetEntry(Dn("o=Acme"), entry), kDirTransportFailure);
  const auto givenUp = std::chrono::steady_clock::now();
  std::vector<StoreAttribute> attributes;
  EXPECT_EQ(store->ReadAttributes(Dn("cn=Bob,ou=Sales,o=Acme"), {"sn"}, attributes),
            kDirTransportFailure);
  std::unique_ptr<EntryCursor> search;
  EXPECT_EQ(store->Search({}, 2, any, search), kDirTransportFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - givenUp, std::chrono::milliseconds(500));
  EXPECT_NE(
      store->FailureText(kDirTransportFailure).value_or("").find("bind: no answer within 1 s"),
      std::string::npos)
      << store->FailureText(kDirTransportFailure).value_or("");
  server.Resume();
  read = 0;
  while (cursor->Next(entry))
    ++read;
  EXPECT_EQ(read, 2);
  EXPECT_EQ(cursor->Status(), kDirTransportFailure);
  EXPECT_EQ(store->GetEntry(Dn("o=Acme"), entry), kDirTransportFailure);
  store->BeginOperation();

  // Gone: the search ends with a code at once; the server back, the next operation works again.
  ASSERT_EQ(store->Search({}, 2, any, cursor), kDirOk);
  ASSERT_TRUE(cursor->Next(entry));
  server.Stop();
  read = 1;
  while (cursor->Next(entry))
    ++read;
  EXPECT_TRUE(read >= 2 && read <= 4) << read;
  EXPECT_EQ(cursor->Status(), kDirTransportFailure)
      << store->FailureText(cursor->Status()).value_or("");
  EXPECT_EQ(store->GetEntry(Dn("o=Acme"), entry), kDirUnreachableServer);
  ASSERT_TRUE(server.Start()) << server.Error();
  store->BeginOperation();
  EXPECT_EQ(store->GetEntry(Dn("o=Acme"), entry), kDirOk);

  // A connection the server dropped between calls is replaced without a failure.
  server.Stop();
  ASSERT_TRUE(server.Start()) << server.Error();
  EXPECT_EQ(store->GetEntry(Dn("ou=Sales,o=Acme"), entry), kDirOk);
  server.Stop();
  ASSERT_TRUE(server.Start()) << server.Error();
  EXPECT_EQ(store->ReadAttributes(Dn("cn=Bob,ou=Sales,o=Acme"), {"sn"}, attributes), kDirOk);
  server.Stop();
  ASSERT_TRUE(server.Start()) << server.Error();
  ASSERT_EQ(store->Search(Dn("o=Acme"), 2, any, cursor), kDirOk);
  read = 0;
  while (cursor->Next(entry))
    ++read;
  EXPECT_EQ(cursor->Status(), kDirOk);
  EXPECT_EQ(read, 20);
}

// A typeless name part is looked up under each naming type at once: a server that stops
// answering costs the lookup about one timeout, not one per type, and a connection the server
// dropped between calls is replaced for the whole lookup.
TEST_F(LdapStoreTest, TypelessNameLookupsWaitOneTimeoutAndSurviveADroppedConnection) {
  SlapdServer server(kFixture);
  ASSERT_TRUE(server.Running()) << server.Error();
  const auto store = ConnectImpatient(server);
  ASSERT_NE(store, nullptr);

  StoreEntry entry;
  ASSERT_EQ(store->GetEntry(Dn("o=Acme"), entry), kDirOk);
  server.Stop();
  ASSERT_TRUE(server.Start()) << server.Error();
  auto namesakes = store->FindChildren(Dn("ou=Roles,o=Acme"), NamePart{"", "dup"});
  std::sort(
      namesakes.begin(), namesakes.end(),
      [](const ChildCandidate& a, const ChildCandidate& b) { return a.rdn.type < b.rdn.type; });
  ASSERT_EQ(namesakes.size(), 2u);
  EXPECT_EQ(namesakes[0].rdn.type, "CN");
  EXPECT_EQ(namesakes[1].rdn.type, "OU");

  server.Pause();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(store->FindChildren(Dn("ou=Sales,o=Acme"), NamePart{"", "Bob"}).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_NE(store->FailureText(kDirTransportFailure).value_or("").find("no answer within 1 s"),
            std::string::npos);
  server.Resume();
}

// Pages of two entries: a search given up between pages leaves the server a paging state,
// which must not disturb what follows on the same connection.
TEST_F(LdapStoreTest, SearchesGivenUpEarlyOrInTurnsLeaveTheConnectionSound) {
  int32_t code = 0;
  std::string error;
  const auto store = Connect(Server().Uri(), code, error, "", "", 10, 2);
  ASSERT_NE(store, nullptr) << error;
  FilterNode any;
  any.kind = FilterNode::Kind::kPresent;
  any.text = "Object Class";
  const auto all = [&] {
    std::unique_ptr<EntryCursor> cursor;
    EXPECT_EQ(store->Search({}, 2, any, cursor), kDirOk);
    std::vector<std::string> names;
    StoreEntry entry;
    while (cursor != nullptr && cursor->Next(entry))
      names.push_back(Typeless(entry.name));
    EXPECT_EQ(cursor->Status(), kDirOk) << store->FailureText(cursor->Status()).value_or("-");
    return names;
  };
  const std::vector<std::string> expected = all();
  ASSERT_GT(expected.size(), 6u);
  for (int given = 0; given < 5; ++given) {
    SCOPED_TRACE(given);
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(store->Search({}, 2, any, cursor), kDirOk);
    StoreEntry entry;
    for (int i = 0; i < given; ++i)
      ASSERT_TRUE(cursor->Next(entry));
    cursor.reset();
    ASSERT_EQ(store->GetEntry(Dn("cn=Admin,ou=Sales,o=Acme"), entry), kDirOk);
    EXPECT_EQ(Typeless(entry.name), "Admin.Sales.Acme");
    EXPECT_EQ(all(), expected);
  }
  // Two paged searches in turns, and reads that count a container's children (a paged listing
  // of their own) between their pages: the server keeps one paging state per connection, yet
  // each search delivers the whole tree.
  std::unique_ptr<EntryCursor> first;
  std::unique_ptr<EntryCursor> second;
  ASSERT_EQ(store->Search({}, 2, any, first), kDirOk);
  ASSERT_EQ(store->Search({}, 2, any, second), kDirOk);
  std::vector<std::string> fromFirst;
  std::vector<std::string> fromSecond;
  StoreEntry entry;
  bool more = true;
  while (more) {
    more = false;
    if (first->Next(entry)) {
      fromFirst.push_back(Typeless(entry.name));
      more = true;
    }
    if (second->Next(entry)) {
      fromSecond.push_back(Typeless(entry.name));
      more = true;
    }
    StoreEntry sales;
    ASSERT_EQ(store->GetEntry(Dn("ou=Sales,o=Acme"), sales), kDirOk);
    EXPECT_EQ(sales.subordinateCount, 4u);
  }
  EXPECT_EQ(first->Status(), kDirOk);
  EXPECT_EQ(second->Status(), kDirOk);
  EXPECT_EQ(fromFirst, expected);
  EXPECT_EQ(fromSecond, expected);
}

TEST_F(LdapStoreTest, AnAnswerCutByTheServerDeliversWhatCameBeforeTheCode) {
  // One server stops every search after 3 entries, however they are paged; the other refuses a
  // page of more than 60, and a search asking for larger ones reads everything with smaller ones.
  SlapdServer total(kFixture, 3, false, "", 3);
  SlapdServer perPage(kFixture, 3, false, "", 0, 60);
  ASSERT_TRUE(total.Running()) << total.Error();
  ASSERT_TRUE(perPage.Running()) << perPage.Error();
  FilterNode any;
  any.kind = FilterNode::Kind::kPresent;
  any.text = "Object Class";
  const struct {
    SlapdServer& server;
    int pageSize;
    int read;
    int32_t status;
    bool pageSizeAdvised;  // smaller pages were tried and the failure says how to set them
  } cases[] = {
      {total, 2, 3, kDirRemoteFailure, false},
      {total, 5, 3, kDirRemoteFailure, false},
      {total, 100, 3, kDirRemoteFailure, true},
      {perPage, 1000, 20, kDirOk, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pageSize);
    int32_t code = 0;
    std::string error;
    const auto store = Connect(c.server.Uri(), code, error, "", "", 5, c.pageSize);
    ASSERT_NE(store, nullptr) << error;
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(store->Search(Dn("o=Acme"), 2, any, cursor), kDirOk);
    StoreEntry entry;
    int read = 0;
    while (cursor->Next(entry))
      ++read;
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(cursor->Status(), c.status);
    if (c.status == kDirOk)
      continue;
    const std::string text = store->FailureText(kDirRemoteFailure).value_or("");
    EXPECT_NE(text.find("Size limit exceeded"), std::string::npos) << text;
    EXPECT_EQ(text.find("set page-size") != std::string::npos, c.pageSizeAdvised) << text;
  }
}

TEST_F(LdapStoreTest, AListingCutByTheServerKeepsWhatTheClientDelivered) {
  SlapdServer server(kFixture);
  ASSERT_TRUE(server.Running()) << server.Error();
  client_.DirClientUseConnectionsFile(
      Write("connections.ini",
            "[live]\ntree = LIVE\nsource = " + server.Uri() + "\ntimeout = 1\npage-size = 1\n"));
  ASSERT_EQ(client_.DirClientInit(0, 0), kDirConnectionOk);
  DirContext context = 0;
  ASSERT_EQ(client_.DirCreateContext(context), kDirOk);
  DirBuffer buffer = 0;
  ASSERT_EQ(client_.DirAllocBuffer(64, buffer), kDirOk);  // one entry per batch
  const std::string sales = ".OU=Sales.O=Acme";
  int32_t handle = -1;
  uint32_t count = 0;
  ASSERT_EQ(client_.DirListSubordinates(context, sales, handle, buffer), kDirOk);
  ASSERT_EQ(client_.DirGetObjectCount(context, buffer, count), kDirOk);
  EXPECT_EQ(count, 1u);
  // The server freezes with a page asked for ahead: what came before the freeze is delivered,
  // and the call that needs a page the server never answered ends the listing with the code.
  server.Pause();
  int32_t code = kDirOk;
  uint32_t delivered = 1;
  while ((code = client_.DirListSubordinates(context, sales, handle, buffer)) == kDirOk) {
    ASSERT_EQ(client_.DirGetObjectCount(context, buffer, count), kDirOk);
    delivered += count;
    ASSERT_NE(handle, -1) << "the listing of four entries ended after " << delivered;
  }
  EXPECT_EQ(code, kDirTransportFailure);
  EXPECT_LT(delivered, 4u);
  EXPECT_EQ(handle, -1);
  EXPECT_NE(client_.NWstrerror(kDirTransportFailure).find(server.Uri()), std::string::npos)
      << client_.NWstrerror(kDirTransportFailure);
  server.Resume();

  // A listing received whole outlives the server; a new one then fails with a code.
  ASSERT_EQ(client_.DirListSubordinates(context, ".O=Other", handle, buffer), kDirOk);
  server.Stop();
  while (handle != -1)
    ASSERT_EQ(client_.DirListSubordinates(context, ".O=Other", handle, buffer), kDirOk);
  EXPECT_EQ(client_.DirListSubordinates(context, sales, handle, buffer), kDirUnreachableServer);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(client_.DirFreeContext(context), kDirOk);
}

// A tree spread over two servers (the store contract runs on it too). What cannot be followed
// (that server gone, or referrals = no) fails the call naming the part and the server, never an
// answer that passes for whole; yet a name through the part still resolves, so that the call
// after it says why.
TEST_F(LdapStoreTest, APartOfTheTreeOutOfReachFailsNamingIt) {
  SplitSlapd& servers = SplitClientTreeServers();
  ASSERT_TRUE(servers.Running()) << servers.Error();
  FilterNode tasks;
  tasks.kind = FilterNode::Kind::kBaseClass;
  tasks.text = "rbsTask2";
  const auto drained = [](int32_t code, const std::unique_ptr<EntryCursor>& cursor) {
    for (StoreEntry entry; code == kDirOk && cursor->Next(entry);) {
    }
    return code == kDirOk ? cursor->Status() : code;
  };
  std::unique_ptr<EntryCursor> cursor;
  StoreEntry entry;
  std::vector<StoreAttribute> attributes;
  const std::function<int32_t(LdapStore&)> calls[] = {
      [&](LdapStore& store) {
        return store.GetEntry(Dn("cn=Module A,cn=Collection,ou=Roles,o=Acme"), entry);
      },
      [&](LdapStore& store) {
        return drained(store.ListChildren(Dn("cn=Collection,ou=Roles,o=Acme"), cursor), cursor);
      },
      [&](LdapStore& store) {
        return drained(store.ListChildren(Dn("ou=Roles,o=Acme"), cursor), cursor);
      },
      [&](LdapStore& store) { return drained(store.Search({}, 2, tasks, cursor), cursor); },
      [&](LdapStore& store) {
        return store.ReadAttributes(Dn("cn=Task 1,cn=Module A,cn=Collection,ou=Roles,o=Acme"),
                                    {"rbsParameters"}, attributes);
      },
  };
  const std::string part = servers.Part().Uri();
  const std::pair<bool, std::string> setups[] = {
      {false, "does not follow referrals (referrals = no)"},
      {true, part + ": "},  // the part's server gone
  };
  for (const auto& [follow, why] : setups) {
    SCOPED_TRACE(why);
    if (follow)
      servers.Part().Stop();
    LdapSettings settings;
    settings.uri = servers.Top().Uri();
    settings.timeoutSeconds = 2;
    settings.followReferrals = follow;
    int32_t code = 0;
    std::string error;
    auto store = LdapStore::Connect(settings, error, code);
    ASSERT_NE(store, nullptr) << error;
    for (size_t i = 0; i < std::size(calls); ++i) {
      SCOPED_TRACE(i);
      store->BeginOperation();
      code = calls[i](*store);
      EXPECT_EQ(code, kDirUnreachableServer);
      const std::string text = store->FailureText(code).value_or("");
      EXPECT_NE(text.find(why), std::string::npos) << text;
      EXPECT_NE(text.find("the part of the tree at "), std::string::npos) << text;
      EXPECT_NE(text.find("cn=Collection,ou=Roles,o=Acme"), std::string::npos) << text;
    }
    store->BeginOperation();
    const auto child = OnlyChild(*store, Dn("ou=Roles,o=Acme"), NamePart{"", "collection"});
    ASSERT_TRUE(child.has_value());
    EXPECT_TRUE(EqualsIgnoringCase(child->type, "cn")) << child->type;
  }
  ASSERT_TRUE(servers.Part().Start()) << servers.Part().Error();
}

// A referral back to a server the request met on its way fails, naming both, instead of going
// round.
TEST_F(LdapStoreTest, AReferralBackIntoTheChainFailsNamingBothServers) {
  SplitSlapd servers(kFixture, "cn=Collection,ou=Roles,o=Acme");
  ASSERT_TRUE(servers.Running()) << servers.Error();
  ASSERT_TRUE(servers.Part().Modify(
      "dn: cn=Back,cn=Collection,ou=Roles,o=Acme\nchangetype: add\nobjectClass: referral\n"
      "objectClass: extensibleObject\ncn: Back\nref: " +
      SplitSlapd::ReferralUrl(servers.Top(), "ou=Sales,o=Acme") + "\n"))
      << servers.Part().Error();
  int32_t code = 0;
  std::string error;
  auto store = ConnectLdapStore(servers.Top().Uri(), code, error);
  ASSERT_NE(store, nullptr) << error;
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_EQ(store->ListChildren(Dn("cn=Collection,ou=Roles,o=Acme"), cursor), kDirOk);
  StoreEntry entry;
  while (cursor->Next(entry)) {
  }
  EXPECT_EQ(cursor->Status(), kDirUnreachableServer);
  const std::string text = store->FailureText(cursor->Status()).value_or("");
  EXPECT_NE(text.find("ou=Sales,o=Acme is referred back to " + servers.Top().Uri()),
            std::string::npos)
      << text;
  EXPECT_NE(
      text.find(servers.Top().Uri() + " -> " + servers.Part().Uri() + " -> " + servers.Top().Uri()),
      std::string::npos)
      << text;
}

// A source of several servers: each is tried in the order listed, with a time-out of its own,
// at start-up and again when the one in use is lost.
TEST_F(LdapStoreTest, ReplicasAreTriedInTurn) {
  QuietListener silent;
  QuietListener silentToo;
  const std::string dead = "ldap://127.0.0.1:9";
  struct Case {
    const char* label;
    std::string source;
    bool opens;
  };
  const Case cases[] = {
      {"the first refuses", dead + " " + Server().Uri(), true},
      {"two answer nothing",
       silent.Uri("ldap") + " " + silentToo.Uri("ldap") + " " + Server().Uri(), true},
      {"none answers", dead + " " + silent.Uri("ldap"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    int32_t code = 0;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    const auto store = Connect(c.source, code, error, "", "", 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
    if (!c.opens) {
      EXPECT_EQ(store, nullptr);
      EXPECT_NE(error.find(dead + ": "), std::string::npos) << error;
      EXPECT_NE(error.find("; " + silent.Uri("ldap") + ": "), std::string::npos) << error;
      continue;
    }
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->ServerInUse(), Server().Uri());
  }
  SlapdServer first(kFixture);
  ASSERT_TRUE(first.Running()) << first.Error();
  int32_t code = 0;
  std::string error;
  const auto store = Connect(first.Uri() + " " + Server().Uri(), code, error, "", "", 2);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_EQ(store->ServerInUse(), first.Uri());
  first.Stop();
  store->BeginOperation();
  StoreEntry entry;
  EXPECT_EQ(store->GetEntry(Dn("ou=Sales,o=Acme"), entry), kDirOk)
      << store->FailureText(kDirTransportFailure).value_or("");
  EXPECT_EQ(store->ServerInUse(), Server().Uri());
}

}  // namespace
