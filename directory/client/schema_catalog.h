#pragma once
// The schema one store knows: the built-in attributes and classes, refined by the RFC 4512
// descriptions an LDIF's schema record or a server's subschema entry gives, and the attributes
// and classes met in entries that no description covers. Both stores read descriptions here, so
// an attribute means the same in a file as on a server.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory/client/builtin_schema.h"
#include "util/text.h"

struct ldap_attributetype;
struct ldap_objectclass;

// Folded names to ids, looked up by any text without making a string of it.
using FoldedNameIds = std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>>;

struct SchemaAttribute {
  std::string name;      // the directory name
  std::string ldapName;  // the first name its description gives (or the built-in one)
  uint32_t syntax = kSyntaxCaseIgnoreString;
  bool singleValued = false;
  bool declared = false;  // built in or described; otherwise only met in an entry
};

struct SchemaClass {
  std::string name;      // the directory name
  std::string ldapName;  // the name a server filter uses
  bool structural = false;
  bool container = false;
};

// One schema description as a schema record or subschema entry holds it.
struct SchemaDescription {
  enum class Kind { kAttributeType, kObjectClass };
  Kind kind = Kind::kAttributeType;
  std::string_view text;
};

class SchemaCatalog {
 public:
  // The built-in attributes and classes.
  SchemaCatalog();

  // Applies the descriptions libldap can parse, all at once (so that a SUP or containment may
  // name a type described after it), and gives the index of the first it cannot parse, nullopt
  // when it parsed all. The rules:
  // - the directory name is the X-NDS_NAME or X-NDS-NAME extension, else the built-in name of
  //   any of the type's names, else its first name;
  // - the syntax is the X-NDS_SYNTAX extension (0-27), else the SYNTAX OID's, inherited along
  //   SUP when the type has none, else Case Ignore String; a built-in attribute keeps its own
  //   syntax where the server's standard one carries it without loss (Integer carries Counter
  //   and Interval, Telephone Number carries Facsimile, Directory String, IA5 String, Octet
  //   String, Binary, Printable and Numeric String carry anything but distinguished names and
  //   booleans), and the handful whose values have one fixed form keep theirs whatever is said;
  // - a class is structural as its kind says, a container when built in as one (unless
  //   X-NDS_NOT_CONTAINER is 1) or when another class names it in X-NDS_CONTAINMENT.
  std::optional<size_t> Read(std::span<const SchemaDescription> descriptions);

  [[nodiscard]] std::optional<uint32_t> AttributeId(std::string_view name) const;
  [[nodiscard]] const SchemaAttribute& Attribute(uint32_t id) const { return attributes_[id]; }
  // The attribute by either of its names (any case); nullptr when unknown.
  [[nodiscard]] const SchemaAttribute* FindAttribute(std::string_view name) const;
  // The id of the attribute `ldapName` names, added undeclared (Case Ignore String) when unknown.
  uint32_t InternAttribute(std::string_view ldapName);
  // Settles the syntax of an undeclared attribute from the values met.
  void SetSyntax(uint32_t id, uint32_t syntax) { attributes_[id].syntax = syntax; }
  [[nodiscard]] size_t AttributeCount() const { return attributes_.size(); }

  [[nodiscard]] std::optional<uint32_t> ClassId(std::string_view name) const;
  [[nodiscard]] const SchemaClass& Class(uint32_t id) const { return classes_[id]; }
  [[nodiscard]] const SchemaClass* FindClass(std::string_view name) const;
  // The id of the class `name` names, added (neither structural nor a container) when unknown.
  uint32_t InternClass(std::string_view name);
  [[nodiscard]] size_t ClassCount() const { return classes_.size(); }

  // The directory name of an attribute or class given by any of its names; the name itself
  // when unknown.
  [[nodiscard]] std::string AttributeName(std::string_view name) const;
  [[nodiscard]] std::string ClassName(std::string_view name) const;
  // The LDAP name of a class given by any of its names; the name itself when unknown.
  [[nodiscard]] std::string ClassLdapName(std::string_view name) const;

 private:
  uint32_t AddAttribute(SchemaAttribute def);
  uint32_t AddClass(SchemaClass def);
  void ApplyAttributeTypes(std::span<const ldap_attributetype* const> types);
  void ApplyObjectClasses(std::span<const ldap_objectclass* const> objectClasses);

  std::vector<SchemaAttribute> attributes_;
  FoldedNameIds attributeByName_;
  std::vector<SchemaClass> classes_;
  FoldedNameIds classByName_;
};
