// The contract every directory store keeps, run against each store on the same fixture tree
// (tests/data/client_tree.ldif): names, children, searches with filters, values, streams and
// the schema. The live store runs it against a slapd started here and loaded with that tree,
// against the same tree split over two servers by a referral, and against a 389 Directory Server.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_client.h"
#include "directory/client/ldap_store.h"
#include "directory/client/memory_store.h"
#include "directory/client/store.h"
#include "tests/client/store_test_support.h"

namespace {

// Each factory names the syntax its server gives the POSIX account's home directory.
struct MemoryStoreFactory {
  static constexpr uint32_t kHomeDirectorySyntax = kSyntaxCaseIgnoreString;
  static std::unique_ptr<Store> Make() {
    std::string error;
    auto store = MemoryStore::LoadFile(kClientTree, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
};

// One server for the whole suite, loaded once.
struct LdapStoreFactory {
  static constexpr uint32_t kHomeDirectorySyntax = kSyntaxCaseIgnoreString;
  static std::unique_ptr<Store> Make() { return ConnectClientTreeStore(); }
};

// The same tree spread over two servers: what lies behind the referral reads as the rest.
struct SplitLdapStoreFactory {
  static constexpr uint32_t kHomeDirectorySyntax = kSyntaxCaseIgnoreString;
  static std::unique_ptr<Store> Make() {
    SplitSlapd& servers = SplitClientTreeServers();
    EXPECT_TRUE(servers.Running()) << servers.Error();
    if (!servers.Running())
      return nullptr;
    int32_t code = 0;
    std::string error;
    auto store = ConnectLdapStore(servers.Top().Uri(), code, error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
};

std::vector<std::string> Drain(EntryCursor& cursor) {
  std::vector<std::string> names;
  StoreEntry entry;
  while (cursor.Next(entry))
    names.push_back(Typeless(entry.name));
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The attributes of a read in the order of their names: servers send them in an order of their
// own, which the store passes on.
std::vector<StoreAttribute> ByName(std::vector<StoreAttribute> attributes) {
  std::sort(attributes.begin(), attributes.end(),
            [](const StoreAttribute& a, const StoreAttribute& b) { return a.name < b.name; });
  return attributes;
}

FilterNode Class(const std::string& name) {
  FilterNode node;
  node.kind = FilterNode::Kind::kBaseClass;
  node.text = name;
  return node;
}

FilterNode RdnMatch(const std::string& value, const std::string& type = "") {
  FilterNode node;
  node.kind = FilterNode::Kind::kRdn;
  node.text = value;
  node.rdnType = type;
  return node;
}

FilterNode Present(const std::string& attribute) {
  FilterNode node;
  node.kind = FilterNode::Kind::kPresent;
  node.text = attribute;
  return node;
}

FilterNode Compare(const std::string& attribute, FilterNode::Op op, uint32_t syntax,
                   const std::string& text, int64_t number = 0) {
  FilterNode node;
  node.kind = FilterNode::Kind::kCompare;
  node.text = attribute;
  node.op = op;
  node.syntax = syntax;
  node.textValue = text;
  node.numberValue = number;
  return node;
}

FilterNode Join(FilterNode::Kind kind, std::vector<FilterNode> children) {
  FilterNode node;
  node.kind = kind;
  node.children = std::move(children);
  return node;
}

template <typename Factory>
class StoreContract : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = Factory::Make();
    ASSERT_NE(store_, nullptr);
  }
  std::unique_ptr<Store> store_;
};

// The same tree on a 389 Directory Server, whose own schema makes the home directory case-exact.
struct Ds389StoreFactory {
  static constexpr uint32_t kHomeDirectorySyntax = kSyntaxCaseExactString;
  static std::unique_ptr<Store> Make() { return ConnectServedStore(ClientTreeDs389()); }
};

using StoreTypes = ::testing::Types<MemoryStoreFactory, LdapStoreFactory, SplitLdapStoreFactory,
                                    Ds389StoreFactory>;
TYPED_TEST_SUITE(StoreContract, StoreTypes);

TYPED_TEST(StoreContract, EntriesCarryClassFlagsAndCounts) {
  struct Case {
    const char* dn;
    const char* baseClass;
    uint32_t flags;
    uint32_t subordinates;
  };
  const Case cases[] = {
      {"o=Acme", "Organization", kDirObjectContainer, 4},
      {"ou=Sales,o=Acme", "Organizational Unit", kDirObjectContainer, 4},
      {"cn=Admin,ou=Sales,o=Acme", "User", 0, 0},
      {"CN=ADMIN,OU=SALES,O=ACME", "User", 0, 0},
      {"cn=Bob Alias,ou=Sales,o=Acme", "Alias", 0, 0},
      {"cn=Module A,cn=Collection,ou=Roles,o=Acme", "rbsModule2", kDirObjectContainer, 3},
      {"cn=Collection,ou=Roles,o=Acme", "rbsCollection2", kDirObjectContainer, 2},
      {"cn=Widget,ou=Roles,o=Acme", "orvaneWidget", 0, 0},
      {"cn=Task 2,cn=Module A,cn=Collection,ou=Roles,o=Acme", "rbsTask2", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dn);
    StoreEntry entry;
    ASSERT_EQ(this->store_->GetEntry(Dn(c.dn), entry), kDirOk);
    EXPECT_EQ(entry.baseClass, c.baseClass);
    EXPECT_EQ(entry.flags, c.flags);
    EXPECT_EQ(entry.subordinateCount, c.subordinates);
    // Without the count, everything else is the same.
    StoreEntry uncounted;
    ASSERT_EQ(this->store_->GetEntryWithoutCount(Dn(c.dn), uncounted), kDirOk);
    EXPECT_EQ(Typeless(uncounted.name), Typeless(entry.name));
    EXPECT_EQ(uncounted.baseClass, c.baseClass);
    EXPECT_EQ(uncounted.flags, c.flags);
  }
  StoreEntry entry;
  EXPECT_EQ(this->store_->GetEntryWithoutCount({}, entry), kDirOk);
  EXPECT_EQ(entry.baseClass, "Tree Root");
  EXPECT_EQ(entry.flags, kDirObjectContainer);
  EXPECT_EQ(this->store_->GetEntryWithoutCount(Dn("cn=Ghost,ou=Sales,o=Acme"), entry),
            kDirNoSuchEntry);
  EXPECT_EQ(this->store_->GetEntry(Dn("cn=Admin,ou=Sales,o=Acme"), entry), kDirOk);
  EXPECT_EQ(entry.modificationTime, 1577836800u);
  EXPECT_EQ(entry.name.front().value, "Admin");
  EXPECT_EQ(this->store_->GetEntry(Dn("cn=Ghost,ou=Sales,o=Acme"), entry), kDirNoSuchEntry);
  EXPECT_EQ(this->store_->GetEntry(Dn("ou=Sales,o=Nowhere"), entry), kDirNoSuchEntry);
  // The same value under another naming type is another entry.
  EXPECT_EQ(this->store_->GetEntry(Dn("ou=Admin,ou=Sales,o=Acme"), entry), kDirNoSuchEntry);
}

TYPED_TEST(StoreContract, FindChildrenGivesEveryChildAPartNames) {
  const auto find = [&](const char* parent, const char* type, const char* value) {
    auto found = this->store_->FindChildren(Dn(parent), NamePart{type, value});
    std::sort(found.begin(), found.end(), [](const ChildCandidate& a, const ChildCandidate& b) {
      return a.rdn.type < b.rdn.type;
    });
    return found;
  };
  const auto admin = find("ou=Sales,o=Acme", "", "admin");
  ASSERT_EQ(admin.size(), 1u);
  EXPECT_EQ(admin[0].rdn.type, "CN");
  EXPECT_EQ(admin[0].rdn.value, "Admin");
  EXPECT_FALSE(admin[0].container);
  const auto acme = find("", "O", "acme");
  ASSERT_EQ(acme.size(), 1u);
  EXPECT_TRUE(acme[0].container);
  EXPECT_TRUE(find("", "OU", "Acme").empty());
  EXPECT_TRUE(find("ou=Sales,o=Acme", "", "Nobody").empty());
  EXPECT_TRUE(find("o=Missing", "", "Admin").empty());
  // Namesakes under different naming types: a typeless part names both, a typed one its own.
  const auto dup = find("ou=Roles,o=Acme", "", "DUP");
  ASSERT_EQ(dup.size(), 2u);
  EXPECT_EQ(dup[0].rdn.type, "CN");
  EXPECT_FALSE(dup[0].container);
  EXPECT_EQ(dup[1].rdn.type, "OU");
  EXPECT_EQ(dup[1].rdn.value, "Dup");
  EXPECT_TRUE(dup[1].container);
  const auto unit = find("ou=Roles,o=Acme", "OU", "dup");
  ASSERT_EQ(unit.size(), 1u);
  EXPECT_EQ(unit[0].rdn.type, "OU");
}

TYPED_TEST(StoreContract, ListsChildrenOnceEach) {
  std::unique_ptr<EntryCursor> cursor;
  ASSERT_EQ(this->store_->ListChildren(Dn("ou=Sales,o=Acme"), cursor), kDirOk);
  EXPECT_EQ(Sorted(Drain(*cursor)), Sorted({"Admin.Sales.Acme", "Printer Group.Sales.Acme",
                                            "Bob.Sales.Acme", "Bob Alias.Sales.Acme"}));
  ASSERT_EQ(this->store_->ListChildren({}, cursor), kDirOk);
  EXPECT_EQ(Sorted(Drain(*cursor)), Sorted({"Acme", "Other"}));
  ASSERT_EQ(this->store_->ListChildren(Dn("cn=Bob,ou=Sales,o=Acme"), cursor), kDirOk);
  EXPECT_TRUE(Drain(*cursor).empty());
  EXPECT_EQ(this->store_->ListChildren(Dn("ou=None,o=Acme"), cursor), kDirNoSuchEntry);
}

TYPED_TEST(StoreContract, SearchesByScopeAndFilter) {
  using Kind = FilterNode::Kind;
  using Op = FilterNode::Op;
  struct Case {
    const char* label;
    const char* base;
    int scope;
    FilterNode filter;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"tasks in the whole tree",
       "",
       2,
       Class("rbsTask2"),
       {"Task 1.Module A.Collection.Roles.Acme", "Task 2.Module A.Collection.Roles.Acme",
        "Task 3.Sales.Other"}},
      {"tasks below one organisation",
       "o=Acme",
       2,
       Class("rbstask2"),
       {"Task 1.Module A.Collection.Roles.Acme", "Task 2.Module A.Collection.Roles.Acme"}},
      {"the LDAP class name means the same class",
       "ou=Sales,o=Acme",
       2,
       Class("inetOrgPerson"),
       {"Admin.Sales.Acme", "Bob.Sales.Acme"}},
      {"the base itself is part of its subtree",
       "cn=Module A,cn=Collection,ou=Roles,o=Acme",
       2,
       Class("rbsModule2"),
       {"Module A.Collection.Roles.Acme"}},
      {"scope 0 is the base alone",
       "ou=Sales,o=Acme",
       0,
       Class("Organizational Unit"),
       {"Sales.Acme"}},
      {"scope 0 with a filter that does not match", "ou=Sales,o=Acme", 0, Class("User"), {}},
      {"scope 1 is the children only",
       "o=Acme",
       1,
       Class("Organizational Unit"),
       {"Sales.Acme", "Roles.Acme"}},
      {"an unknown class matches nothing", "", 2, Class("NoSuchClass"), {}},
      {"OR of classes",
       "o=Acme",
       2,
       Join(Kind::kOr, {Class("rbsBook2"), Class("rbsRole2")}),
       {"Book 1.Module A.Collection.Roles.Acme", "Role 1.Collection.Roles.Acme"}},
      {"AND with an RDN wildcard",
       "",
       2,
       Join(Kind::kAnd, {Class("rbsTask2"), RdnMatch("task *")}),
       {"Task 1.Module A.Collection.Roles.Acme", "Task 2.Module A.Collection.Roles.Acme",
        "Task 3.Sales.Other"}},
      {"typed RDN match", "o=Acme", 2, RdnMatch("Sales", "OU"), {"Sales.Acme"}},
      {"typed RDN match of the wrong type", "o=Acme", 2, RdnMatch("Sales", "CN"), {}},
      {"NOT",
       "ou=Sales,o=Acme",
       1,
       Join(Kind::kNot, {Class("User")}),
       {"Printer Group.Sales.Acme", "Bob Alias.Sales.Acme"}},
      {"present", "o=Acme", 2, Present("rbsXMLInfo"), {"Task 1.Module A.Collection.Roles.Acme"}},
      {"present by LDAP name", "o=Acme", 2, Present("aliasedObjectName"), {"Bob Alias.Sales.Acme"}},
      {"integer at least",
       "o=Acme",
       2,
       Compare("Login Grace Limit", Op::kGreaterOrEqual, kSyntaxInteger, "", 0),
       {"Bob.Sales.Acme"}},
      {"integer at most",
       "o=Acme",
       2,
       Compare("Login Grace Limit", Op::kLessOrEqual, kSyntaxInteger, "", 0),
       {"Admin.Sales.Acme"}},
      {"boolean true",
       "o=Acme",
       2,
       Compare("Login Disabled", Op::kEqual, kSyntaxBoolean, "", 1),
       {"Bob.Sales.Acme"}},
      {"time at least",
       "o=Acme",
       2,
       Compare("Login Time", Op::kGreaterOrEqual, kSyntaxTime, "", 1086004800),
       {"Admin.Sales.Acme"}},
      {"time after the value",
       "o=Acme",
       2,
       Compare("Login Time", Op::kGreaterOrEqual, kSyntaxTime, "", 1086004801),
       {}},
      {"text with a wildcard, any case",
       "o=Acme",
       2,
       Compare("Surname", Op::kEqual, kSyntaxCaseIgnoreString, "BUILD*"),
       {"Bob.Sales.Acme"}},
      {"list item",
       "o=Acme",
       2,
       Compare("Language", Op::kEqual, kSyntaxCaseIgnoreList, "german"),
       {"Admin.Sales.Acme"}},
      {"distinguished name, stored in another case",
       "o=Acme",
       2,
       Compare("Member", Op::kEqual, kSyntaxDistinguishedName, "cn=bob,ou=sales,o=acme"),
       {"Printer Group.Sales.Acme"}},
      {"RBS content naming a task",
       "o=Acme",
       2,
       Join(Kind::kAnd,
            {Class("rbsRole2"), Compare("rbsContent", Op::kEqual, kSyntaxDistinguishedName,
                                        "cn=task 1,cn=module a,cn=collection,ou=roles,o=acme")}),
       {"Role 1.Collection.Roles.Acme"}},
      {"distinguished name with a comma in a value",
       "o=Acme",
       2,
       Compare("rbsContent", Op::kEqual, kSyntaxDistinguishedName,
               "cn=COMMA\\, task,ou=Roles,o=Acme"),
       {"Dup.Roles.Acme"}},
      {"an unknown attribute matches nothing",
       "o=Acme",
       2,
       Compare("No Such Attribute", Op::kEqual, kSyntaxCaseIgnoreString, "*"),
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(this->store_->Search(Dn(c.base), c.scope, c.filter, cursor), kDirOk);
    EXPECT_EQ(Sorted(Drain(*cursor)), Sorted(c.expected));
  }
  std::unique_ptr<EntryCursor> cursor;
  EXPECT_EQ(this->store_->Search(Dn("o=Nowhere"), 2, Class("User"), cursor), kDirNoSuchEntry);
}

TYPED_TEST(StoreContract, ReadsValuesInTheirLdapForms) {
  std::vector<StoreAttribute> attributes;
  ASSERT_EQ(
      this->store_->ReadAttributes(Dn("cn=Printer Group,ou=Sales,o=Acme"), {"member"}, attributes),
      kDirOk);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0].name, "Member");
  EXPECT_EQ(attributes[0].syntax, kSyntaxDistinguishedName);
  EXPECT_EQ(attributes[0].values,
            (std::vector<std::string>{"cn=Admin,ou=Sales,o=Acme", "CN=bob,OU=sales,O=acme",
                                      "cn=Ghost,ou=Sales,o=Acme"}));

  ASSERT_EQ(this->store_->ReadAttributes(Dn("cn=Task 1,cn=Module A,cn=Collection,ou=Roles,o=Acme"),
                                         {"RBSPARAMETERS", "Object Class"}, attributes),
            kDirOk);
  attributes = ByName(std::move(attributes));
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].name, "Object Class");
  EXPECT_EQ(attributes[0].values, (std::vector<std::string>{"Top", "rbsTask2"}));
  EXPECT_EQ(attributes[1].values, (std::vector<std::string>{"a=1", "b=2"}));

  ASSERT_EQ(this->store_->ReadAttributes(Dn("cn=Admin,ou=Sales,o=Acme"),
                                         {"homeDirectory", "Home Directory"}, attributes),
            kDirOk);
  attributes = ByName(std::move(attributes));
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_EQ(attributes[0].name, "Home Directory");
  EXPECT_EQ(attributes[0].values, std::vector<std::string>{"cn=SRV1_SYS,o=Acme#4#USERS\\ADMIN"});
  EXPECT_EQ(attributes[1].name, "homeDirectory");
  EXPECT_EQ(attributes[1].values, std::vector<std::string>{"/"});

  ASSERT_EQ(this->store_->ReadAttributes(Dn("cn=Bob,ou=Sales,o=Acme"), {}, attributes), kDirOk);
  EXPECT_EQ(attributes.size(), 5u);
  EXPECT_EQ(this->store_->ReadAttributes(Dn("cn=Bob,ou=Sales,o=Acme"), {"Language"}, attributes),
            kDirNoSuchAttribute);
  EXPECT_EQ(this->store_->ReadAttributes(Dn("cn=Nobody,o=Acme"), {"CN"}, attributes),
            kDirNoSuchEntry);
}

TYPED_TEST(StoreContract, ReadsStreams) {
  const DirName task = Dn("cn=Task 1,cn=Module A,cn=Collection,ou=Roles,o=Acme");
  std::string bytes;
  ASSERT_EQ(this->store_->ReadStream(task, "rbsXMLInfo", bytes), kDirOk);
  EXPECT_EQ(bytes, "<task><version>2.1</version></task>");
  EXPECT_EQ(this->store_->ReadStream(task, "rbsParameters", bytes), kDirNoSuchAttribute);
  EXPECT_EQ(this->store_->ReadStream(Dn("cn=Task 2,cn=Module A,cn=Collection,ou=Roles,o=Acme"),
                                     "rbsXMLInfo", bytes),
            kDirNoSuchAttribute);
  EXPECT_EQ(this->store_->ReadStream(Dn("cn=None,o=Acme"), "rbsXMLInfo", bytes), kDirNoSuchEntry);
}

TYPED_TEST(StoreContract, KnowsSyntaxesByEitherName) {
  struct Case {
    const char* name;
    std::optional<uint32_t> syntax;
    const char* directoryName;
  };
  const Case cases[] = {
      {"loginDisabled", kSyntaxBoolean, "Login Disabled"},
      {"LOGIN DISABLED", kSyntaxBoolean, "Login Disabled"},
      {"rbsXMLInfo", kSyntaxStream, "rbsXMLInfo"},
      {"rbsContent", kSyntaxDistinguishedName, "rbsContent"},
      {"rbsTaskRights", kSyntaxOctetString, "rbsTaskRights"},
      {"orvaneRaw", kSyntaxUnknown, "Orvane Raw"},
      {"Orvane Raw", kSyntaxUnknown, "Orvane Raw"},
      {"binderyType", kSyntaxInteger, "Bindery Type"},  // the schema record overrides
      {"customText", kSyntaxCaseIgnoreString, "customText"},
      // A POSIX account's home is the standard text attribute, the directory's is a path.
      {"homeDirectory", TypeParam::kHomeDirectorySyntax, "homeDirectory"},
      {"Home Directory", kSyntaxPath, "Home Directory"},
      {"ndsHomeDirectory", kSyntaxPath, "Home Directory"},
      {"binaryThing", kSyntaxOctetString, "binaryThing"},
      {"never used", std::nullopt, "never used"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(this->store_->SyntaxOf(c.name), c.syntax);
    EXPECT_EQ(this->store_->AttributeName(c.name), c.directoryName);
  }
}

}  // namespace
