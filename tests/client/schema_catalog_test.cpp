// The schema catalog: what attribute type and object class descriptions make of an attribute's
// name and syntax and of a class, and that an LDIF's schema record reads as a server's does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "directory/client/dir_codes.h"
#include "directory/client/dir_name.h"
#include "directory/client/memory_store.h"
#include "directory/client/schema_catalog.h"

namespace {

constexpr const char* kDirectoryString = "1.3.6.1.4.1.1466.115.121.1.15";
constexpr const char* kOctets = "1.3.6.1.4.1.1466.115.121.1.40";
constexpr const char* kInteger = "1.3.6.1.4.1.1466.115.121.1.27";

std::string Type(const std::string& body) {
  return "( 1.3.6.1.4.1.55555.1." + std::to_string(body.size()) + " " + body + " )";
}

std::vector<SchemaDescription> Types(const std::vector<std::string>& texts) {
  std::vector<SchemaDescription> descriptions;
  for (const std::string& text : texts)
    descriptions.push_back({SchemaDescription::Kind::kAttributeType, text});
  return descriptions;
}

TEST(SchemaCatalogTest, NamesAndSyntaxesOfAttributeTypes) {
  struct Case {
    const char* label;
    std::vector<std::string> types;
    const char* asked;  // any of the attribute's names
    const char* name;
    uint32_t syntax;
    bool singleValued;
  };
  const std::string ds = kDirectoryString;
  const Case cases[] = {
      {"a new type",
       {Type("NAME 'gizmo' SYNTAX " + ds)},
       "GIZMO",
       "gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"single-valued",
       {Type("NAME 'gizmo' SYNTAX " + ds + " SINGLE-VALUE")},
       "gizmo",
       "gizmo",
       kSyntaxCaseIgnoreString,
       true},
      {"name extension, LDIF spelling",
       {Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS-NAME 'Gizmo'")},
       "Gizmo",
       "Gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"name extension, server spelling",
       {Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS_NAME 'Gizmo'")},
       "gizmo",
       "Gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"syntax extension",
       {Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS_SYNTAX '8'")},
       "gizmo",
       "gizmo",
       kSyntaxInteger,
       false},
      {"syntax extension out of range",
       {Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS_SYNTAX '28'")},
       "gizmo",
       "gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"no syntax at all",
       {Type("NAME 'gizmo'")},
       "gizmo",
       "gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"syntax inherited along SUP, described later",
       {Type("NAME 'gizmo' SUP gadget"), Type("NAME 'gadget' SUP part"),
        Type("NAME 'part' SYNTAX " + std::string(kInteger))},
       "gizmo",
       "gizmo",
       kSyntaxInteger,
       false},
      {"SUP of no known type",
       {Type("NAME 'gizmo' SUP nowhere")},
       "gizmo",
       "gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"vendor syntax",
       {Type("NAME 'gizmo' SYNTAX 2.16.840.1.113719.1.1.5.1.21")},
       "gizmo",
       "gizmo",
       kSyntaxStream,
       false},
      {"unknown syntax",
       {Type("NAME 'gizmo' SYNTAX 1.2.3.4")},
       "gizmo",
       "gizmo",
       kSyntaxOctetString,
       false},
      {"aliases",
       {Type("NAME ( 'gizmo' 'gizmoAlias' ) SYNTAX " + ds)},
       "gizmoalias",
       "gizmo",
       kSyntaxCaseIgnoreString,
       false},
      {"built-in, octets carry a stream",
       {Type("NAME 'loginScript' SYNTAX " + std::string(kOctets))},
       "loginScript",
       "Login Script",
       kSyntaxStream,
       false},
      {"built-in, integer carries a counter",
       {Type("NAME 'revision' SYNTAX " + std::string(kInteger))},
       "Revision",
       "Revision",
       kSyntaxCounter,
       false},
      {"built-in, telephone carries facsimile",
       {Type("NAME 'facsimileTelephoneNumber' SYNTAX 1.3.6.1.4.1.1466.115.121.1.50")},
       "facsimileTelephoneNumber",
       "Facsimile Telephone Number",
       kSyntaxFacsimile,
       false},
      {"built-in, a string does not carry a name",
       {Type("NAME 'member' SYNTAX " + ds)},
       "Member",
       "Member",
       kSyntaxCaseIgnoreString,
       false},
      {"built-in, octets do not carry a boolean",
       {Type("NAME 'loginDisabled' SYNTAX " + std::string(kOctets))},
       "loginDisabled",
       "Login Disabled",
       kSyntaxOctetString,
       false},
      {"built-in, a vendor syntax decides",
       {Type("NAME 'revision' SYNTAX 2.16.840.1.113719.1.1.5.1.8")},
       "revision",
       "Revision",
       kSyntaxInteger,
       false},
      {"built-in, found by a later name",
       {Type("NAME ( 'script' 'loginScript' ) SYNTAX " + std::string(kOctets))},
       "script",
       "Login Script",
       kSyntaxStream,
       false},
      {"fixed form",
       {Type("NAME 'objectClass' SYNTAX " + ds)},
       "objectClass",
       "Object Class",
       kSyntaxClassName,
       false},
      {"fixed form over the syntax extension",
       {Type("NAME 'modifyTimestamp' SYNTAX " + ds + " X-NDS_SYNTAX '3'")},
       "modifyTimestamp",
       "modifyTimestamp",
       kSyntaxTime,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SchemaCatalog catalog;
    EXPECT_EQ(catalog.Read(Types(c.types)), std::nullopt);
    const SchemaAttribute* def = catalog.FindAttribute(c.asked);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->name, c.name);
    EXPECT_EQ(def->syntax, c.syntax);
    EXPECT_EQ(def->singleValued, c.singleValued);
    EXPECT_TRUE(def->declared);
    EXPECT_EQ(catalog.AttributeName(c.asked), c.name);
  }
}

TEST(SchemaCatalogTest, ClassesStructureAndContainment) {
  struct Case {
    const char* label;
    std::vector<std::string> classes;
    const char* asked;
    const char* name;
    const char* ldapName;
    bool structural;
    bool container;
  };
  const Case cases[] = {
      {"a new class",
       {"( 1.9.1 NAME 'widget' SUP top STRUCTURAL )"},
       "WIDGET",
       "widget",
       "widget",
       true,
       false},
      {"auxiliary",
       {"( 1.9.1 NAME 'widget' AUXILIARY )"},
       "widget",
       "widget",
       "widget",
       false,
       false},
      {"name extension, server spelling, structural by default",
       {"( 1.9.1 NAME 'widget' X-NDS_NAME 'Widget Box' )"},
       "Widget Box",
       "Widget Box",
       "widget",
       true,
       false},
      {"name extension, LDIF spelling",
       {"( 1.9.1 NAME 'widget' STRUCTURAL X-NDS-NAME 'Widget Box' )"},
       "widget",
       "Widget Box",
       "widget",
       true,
       false},
      {"built-in container",
       {"( 2.5.6.5 NAME 'organizationalUnit' STRUCTURAL )"},
       "organizationalUnit",
       "Organizational Unit",
       "organizationalUnit",
       true,
       true},
      {"built-in container given up",
       {"( 2.5.6.5 NAME 'organizationalUnit' STRUCTURAL X-NDS_NOT_CONTAINER '1' )"},
       "Organizational Unit",
       "Organizational Unit",
       "organizationalUnit",
       true,
       false},
      {"named as a possible superior",
       {"( 1.9.1 NAME 'widget' STRUCTURAL X-NDS_CONTAINMENT ( 'box' 'nothing' ) )",
        "( 1.9.2 NAME 'box' STRUCTURAL )"},
       "box",
       "box",
       "box",
       true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SchemaCatalog catalog;
    std::vector<SchemaDescription> descriptions;
    for (const std::string& text : c.classes)
      descriptions.push_back({SchemaDescription::Kind::kObjectClass, text});
    EXPECT_EQ(catalog.Read(descriptions), std::nullopt);
    const SchemaClass* def = catalog.FindClass(c.asked);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->name, c.name);
    EXPECT_EQ(catalog.ClassLdapName(c.asked), c.ldapName);
    EXPECT_EQ(def->structural, c.structural);
    EXPECT_EQ(def->container, c.container);
  }
}

TEST(SchemaCatalogTest, BuiltinsUndeclaredAndUnparsed) {
  SchemaCatalog catalog;
  // One directory class with two LDAP names: filters use the later.
  EXPECT_EQ(catalog.ClassName("printer"), "Printer");
  EXPECT_EQ(catalog.ClassName("ndsPrinter"), "Printer");
  EXPECT_EQ(catalog.ClassLdapName("Printer"), "ndsPrinter");
  EXPECT_EQ(catalog.ClassLdapName("Tree Root"), "Tree Root");
  EXPECT_EQ(catalog.FindAttribute("nothing"), nullptr);
  EXPECT_EQ(catalog.AttributeName("nothing"), "nothing");

  // An attribute met in an entry first is no definition a description's syntax yields to.
  const uint32_t id = catalog.InternAttribute("gizmo");
  EXPECT_EQ(catalog.InternAttribute("GIZMO"), id);
  EXPECT_FALSE(catalog.Attribute(id).declared);
  // The first description that cannot be parsed is named; the others still apply.
  const std::string octets = Type("NAME 'gizmo' SYNTAX " + std::string(kOctets));
  const SchemaDescription descriptions[] = {
      {SchemaDescription::Kind::kAttributeType, octets},
      {SchemaDescription::Kind::kObjectClass, "( nonsense"},
      {SchemaDescription::Kind::kAttributeType, "( 1.2 )"},  // no name
      {SchemaDescription::Kind::kObjectClass, "( 1.9.1 NAME 'widget' )"},
  };
  EXPECT_EQ(catalog.Read(descriptions), 1u);
  EXPECT_EQ(catalog.AttributeId("gizmo"), id);
  EXPECT_EQ(catalog.Attribute(id).syntax, kSyntaxOctetString);
  EXPECT_TRUE(catalog.Attribute(id).declared);
  EXPECT_NE(catalog.FindClass("widget"), nullptr);
}

// An LDIF's schema record follows the rules a server's schema does; each row is a case where the
// in-memory store read it differently before the two shared one reader.
TEST(MemoryStoreSchemaTest, ReadsTheSchemaRecordAsAServersSchema) {
  struct Case {
    const char* label;
    std::string schema;  // the schema record's description lines
    std::string entry;   // the entry o=X's lines after its dn
    const char* asked;
    const char* name;
    uint32_t syntax;
  };
  const std::string ds = kDirectoryString;
  const Case cases[] = {
      {"name extension, server spelling",
       "attributeTypes: " + Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS_NAME 'Gizmo'"), "gizmo: a",
       "gizmo", "Gizmo", kSyntaxCaseIgnoreString},
      {"syntax extension",
       "attributeTypes: " + Type("NAME 'gizmo' SYNTAX " + ds + " X-NDS_SYNTAX '8'"), "gizmo: 12",
       "gizmo", "gizmo", kSyntaxInteger},
      {"SUP inheritance",
       "attributeTypes: " + Type("NAME 'gizmo' SUP part") +
           "\nattributeTypes: " + Type("NAME 'part' SYNTAX " + std::string(kInteger)),
       "gizmo: 12", "gizmo", "gizmo", kSyntaxInteger},
      {"default syntax", "attributeTypes: " + Type("NAME 'gizmo'"), "gizmo: a", "gizmo", "gizmo",
       kSyntaxCaseIgnoreString},
      {"built-in syntax carried",
       "attributeTypes: " + Type("NAME 'revision' SYNTAX " + std::string(kInteger)), "revision: 3",
       "revision", "Revision", kSyntaxCounter},
      {"fixed form",
       "attributeTypes: " + Type("NAME 'rbsTaskRights' SYNTAX " + std::string(kInteger)), "",
       "rbsTaskRights", "rbsTaskRights", kSyntaxOctetString},
      {"aliases",
       "attributeTypes: " + Type("NAME ( 'gizmo' 'gizmoAlias' ) SYNTAX " + std::string(kInteger)),
       "gizmoAlias: 12", "gizmoalias", "gizmo", kSyntaxInteger},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string ldif = "dn: cn=schema\n" + c.schema +
                             "\n\ndn: o=X\nobjectClass: organization\no: X\n" + c.entry + "\n";
    std::string error;
    auto store = MemoryStore::LoadText(ldif, "t.ldif", error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->AttributeName(c.asked), c.name);
    EXPECT_EQ(store->SyntaxOf(c.asked), c.syntax);
  }

  // Classes: the name extension and containment.
  const std::string ldif =
      "dn: cn=schema\n"
      "objectClasses: ( 1.9.1 NAME 'widget' STRUCTURAL X-NDS-NAME 'Widget' )\n"
      "objectClasses: ( 1.9.2 NAME 'box' STRUCTURAL X-NDS_CONTAINMENT 'shelf' )\n"
      "objectClasses: ( 1.9.3 NAME 'shelf' STRUCTURAL )\n"
      "objectClasses: ( 2.5.6.4 NAME 'organization' STRUCTURAL X-NDS_NOT_CONTAINER '1' )\n\n"
      "dn: o=X\nobjectClass: organization\no: X\n\n"
      "dn: o=Y\nobjectClass: shelf\no: Y\n\n"
      "dn: o=Z\nobjectClass: widget\no: Z\n";
  std::string error;
  auto store = MemoryStore::LoadText(ldif, "t.ldif", error);
  ASSERT_NE(store, nullptr) << error;
  StoreEntry entry;
  ASSERT_EQ(store->GetEntry({Rdn{"o", "X"}}, entry), kDirOk);
  EXPECT_EQ(entry.baseClass, "Organization");
  EXPECT_EQ(entry.flags & kDirObjectContainer, 0u);
  ASSERT_EQ(store->GetEntry({Rdn{"o", "Y"}}, entry), kDirOk);
  EXPECT_EQ(entry.flags & kDirObjectContainer, kDirObjectContainer);
  ASSERT_EQ(store->GetEntry({Rdn{"o", "Z"}}, entry), kDirOk);
  EXPECT_EQ(entry.baseClass, "Widget");
}

// The standard attribute types of the schema files Debian's slapd ships (slapd.conf form:
// objectidentifier macros, definitions continued on indented lines), by folded name: the
// SYNTAX OID, inherited through SUP where a type names none.
std::map<std::string, std::string> StandardSyntaxes(const std::string& folder) {
  std::map<std::string, std::string> macros;
  std::map<std::string, std::pair<std::string, std::string>> types;  // name -> SYNTAX, SUP
  // The types slapd defines itself, which the files name as SUP.
  types["name"] = {"1.3.6.1.4.1.1466.115.121.1.15", ""};
  types["distinguishedname"] = {"1.3.6.1.4.1.1466.115.121.1.12", ""};
  types["objectclass"] = {"1.3.6.1.4.1.1466.115.121.1.38", ""};
  types["modifytimestamp"] = {"1.3.6.1.4.1.1466.115.121.1.24", ""};
  const auto resolve = [&](std::string oid) {
    if (!oid.empty() && oid.front() == '\'')
      oid = oid.substr(1, oid.size() - 2);
    if (const size_t colon = oid.find(':'); colon != std::string::npos) {
      const auto found = macros.find(oid.substr(0, colon));
      if (found != macros.end())
        return found->second + "." + oid.substr(colon + 1);
    }
    const auto found = macros.find(oid);
    return found != macros.end() ? found->second : oid;
  };
  for (const auto& file : std::filesystem::directory_iterator(folder)) {
    if (file.path().extension() != ".schema")
      continue;
    std::ifstream in(file.path());
    std::vector<std::string> statements;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#')
        continue;
      if ((line[0] == ' ' || line[0] == '\t') && !statements.empty())
        statements.back() += " " + line;
      else
        statements.push_back(line);
    }
    for (const std::string& statement : statements) {
      std::istringstream words(statement);
      std::string keyword;
      words >> keyword;
      keyword = FoldCase(keyword);
      if (keyword == "objectidentifier") {
        std::string name, oid;
        words >> name >> oid;
        macros[name] = resolve(oid);
        continue;
      }
      if (keyword != "attributetype")
        continue;
      std::vector<std::string> names;
      std::string syntax, sup, word, key;
      bool inNames = false;
      while (words >> word) {
        if (key == "NAME" && (word == "(" || inNames)) {
          inNames = word != ")";
          if (word != "(" && word != ")")
            names.push_back(FoldCase(word.substr(1, word.size() - 2)));
          continue;
        }
        if (key == "NAME" && word.front() == '\'')
          names.push_back(FoldCase(word.substr(1, word.size() - 2)));
        else if (key == "SYNTAX")
          syntax = resolve(word.substr(0, word.find('{')));
        else if (key == "SUP")
          sup = FoldCase(word);
        key = word;
      }
      for (const std::string& name : names)
        types.try_emplace(name, syntax, sup);
    }
  }
  std::map<std::string, std::string> syntaxes;
  for (const auto& [name, type] : types) {
    std::string syntax = type.first;
    std::string sup = type.second;
    for (int depth = 0; syntax.empty() && !sup.empty() && depth < 10; ++depth) {
      const auto found = types.find(sup);
      if (found == types.end())
        break;
      syntax = found->second.first;
      sup = found->second.second;
    }
    syntaxes[name] = syntax;
  }
  return syntaxes;
}

// The directory syntaxes whose values the client reads alike: texts, decimal numbers, bytes.
int SyntaxFamily(uint32_t syntax) {
  switch (syntax) {
    case kSyntaxCaseExactString:
    case kSyntaxCaseIgnoreString:
    case kSyntaxPrintableString:
    case kSyntaxNumericString:
    case kSyntaxTelephoneNumber:
      return 1;
    case kSyntaxInteger:
    case kSyntaxCounter:
    case kSyntaxInterval:
      return 2;
    case kSyntaxOctetString:
    case kSyntaxOctetList:
      return 3;
    default:
      return 100 + static_cast<int>(syntax);
  }
}

// An LDIF or server written with the standard schemas must find its standard attributes as they
// are: a built-in attribute that takes a standard LDAP name takes its syntax too.
TEST(SchemaCatalogTest, BuiltinNamesKeepTheStandardSyntaxes) {
  const std::string folder = "/etc/ldap/schema";
  ASSERT_TRUE(std::filesystem::exists(folder + "/core.schema")) << "slapd's schema files";
  const auto standard = StandardSyntaxes(folder);
  // Spot checks that the files were read: a type with its own SYNTAX, one inheriting, a macro.
  EXPECT_EQ(standard.at("homedirectory"), "1.3.6.1.4.1.1466.115.121.1.26");
  EXPECT_EQ(standard.at("sn"), "1.3.6.1.4.1.1466.115.121.1.15");
  EXPECT_EQ(standard.at("emailaddress"), "1.3.6.1.4.1.1466.115.121.1.26");
  EXPECT_EQ(standard.at("networkaddress"), "1.3.6.1.4.1.1466.115.121.1.44");
  size_t checked = 0;
  for (const BuiltinAttribute& builtin : BuiltinAttributes()) {
    const auto found = standard.find(FoldCase(builtin.ldapName));
    if (found == standard.end())
      continue;
    ++checked;
    EXPECT_EQ(SyntaxFamily(SyntaxFromOid(found->second)), SyntaxFamily(builtin.syntax))
        << builtin.name << " as " << builtin.ldapName << ", standard syntax " << found->second;
  }
  EXPECT_GE(checked, 20u);
}

}  // namespace
