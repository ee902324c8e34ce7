#include "directory/client/schema_catalog.h"

#include <ldap.h>
#include <ldap_schema.h>

#include <algorithm>
#include <array>
#include <memory>

#include "directory/client/dir_name.h"
#include "directory/client/value_codec.h"
#include "util/text.h"

namespace {

struct AttributeTypeFree {
  void operator()(LDAPAttributeType* at) const { ldap_attributetype_free(at); }
};
struct ObjectClassFree {
  void operator()(LDAPObjectClass* oc) const { ldap_objectclass_free(oc); }
};

// The directory syntaxes that one standard LDAP syntax can carry without loss: where the server
// gives one of these, the directory's own definition of the attribute decides among them.
bool Carries(uint32_t serverSyntax, uint32_t directorySyntax, bool weak) {
  if (weak)
    return directorySyntax != kSyntaxDistinguishedName && directorySyntax != kSyntaxBoolean;
  switch (serverSyntax) {
    case kSyntaxInteger:
      return directorySyntax == kSyntaxInteger || directorySyntax == kSyntaxCounter ||
             directorySyntax == kSyntaxInterval;
    case kSyntaxTelephoneNumber:
      return directorySyntax == kSyntaxTelephoneNumber || directorySyntax == kSyntaxFacsimile;
    default:
      return serverSyntax == directorySyntax;
  }
}

// Standard LDAP syntaxes that say little about the value's form (any text or any bytes).
bool IsWeakOid(std::string_view oid) {
  if (const size_t brace = oid.find('{'); brace != std::string_view::npos)
    oid = oid.substr(0, brace);
  return oid == "1.3.6.1.4.1.1466.115.121.1.15" || oid == "1.3.6.1.4.1.1466.115.121.1.26" ||
         oid == "1.3.6.1.4.1.1466.115.121.1.40" || oid == "1.3.6.1.4.1.1466.115.121.1.5" ||
         oid == "1.3.6.1.4.1.1466.115.121.1.44" || oid == "1.3.6.1.4.1.1466.115.121.1.36";
}

// Attributes whose directory syntax no description changes: the values the client reads from
// them have one form whatever the schema calls them.
struct SyntaxOverride {
  std::string_view ldapName;
  uint32_t syntax;
};
constexpr SyntaxOverride kSyntaxOverrides[] = {
    {"modifyTimestamp", kSyntaxTime},
    {"objectClass", kSyntaxClassName},
    {"rbsXMLInfo", kSyntaxStream},
    {"rbsTaskRights", kSyntaxOctetString},
    {"rbsContent", kSyntaxDistinguishedName},
};

const char* Extension(LDAPSchemaExtensionItem** extensions, std::string_view name) {
  for (int i = 0; extensions != nullptr && extensions[i] != nullptr; ++i) {
    if (EqualsIgnoringCase(extensions[i]->lsei_name, name) &&
        extensions[i]->lsei_values != nullptr && extensions[i]->lsei_values[0] != nullptr) {
      return extensions[i]->lsei_values[0];
    }
  }
  return nullptr;
}

// Servers write the name extension with an underscore, LDIF schema records with a hyphen.
const char* NdsNameExtension(LDAPSchemaExtensionItem** extensions) {
  const char* name = Extension(extensions, "X-NDS_NAME");
  return name != nullptr ? name : Extension(extensions, "X-NDS-NAME");
}

std::optional<uint32_t> IdByName(const FoldedNameIds& byName, std::string_view name) {
  // Every read asks for its attributes by name; folding them on the stack spares an allocation
  // per name.
  std::array<char, 64> buffer{};
  std::string longName;
  std::string_view folded;
  if (name.size() <= buffer.size()) {
    std::transform(name.begin(), name.end(), buffer.begin(), LowerAscii);
    folded = std::string_view(buffer.data(), name.size());
  } else {
    longName = FoldCase(name);
    folded = longName;
  }
  const auto found = byName.find(folded);
  if (found == byName.end())
    return std::nullopt;
  return found->second;
}

}  // namespace

SchemaCatalog::SchemaCatalog() {
  for (const BuiltinAttribute& builtin : BuiltinAttributes()) {
    AddAttribute(SchemaAttribute{std::string(builtin.name), std::string(builtin.ldapName),
                                 builtin.syntax, builtin.singleValued, true});
  }
  for (const BuiltinClass& builtin : BuiltinClasses()) {
    const std::string ldapName(builtin.ldapName.empty() ? builtin.name : builtin.ldapName);
    if (const auto same = classByName_.find(FoldCase(builtin.name)); same != classByName_.end()) {
      // A second LDAP name of one directory class: filters name the class by the later one.
      classes_[same->second].ldapName = ldapName;
      classByName_.emplace(FoldCase(ldapName), same->second);
      continue;
    }
    AddClass(
        SchemaClass{std::string(builtin.name), ldapName, builtin.structural, builtin.container});
  }
}

uint32_t SchemaCatalog::AddAttribute(SchemaAttribute def) {
  const auto id = static_cast<uint32_t>(attributes_.size());
  attributeByName_.emplace(FoldCase(def.ldapName), id);
  attributeByName_.emplace(FoldCase(def.name), id);
  attributes_.push_back(std::move(def));
  return id;
}

uint32_t SchemaCatalog::AddClass(SchemaClass def) {
  const auto id = static_cast<uint32_t>(classes_.size());
  classByName_.emplace(FoldCase(def.ldapName), id);
  classByName_.emplace(FoldCase(def.name), id);
  classes_.push_back(std::move(def));
  return id;
}

std::optional<size_t> SchemaCatalog::Read(std::span<const SchemaDescription> descriptions) {
  std::optional<size_t> unreadable;
  std::vector<std::unique_ptr<LDAPAttributeType, AttributeTypeFree>> types;
  std::vector<std::unique_ptr<LDAPObjectClass, ObjectClassFree>> objectClasses;
  for (size_t i = 0; i < descriptions.size(); ++i) {
    const std::string text(descriptions[i].text);
    int code = 0;
    const char* where = nullptr;
    bool parsed = false;
    if (descriptions[i].kind == SchemaDescription::Kind::kAttributeType) {
      std::unique_ptr<LDAPAttributeType, AttributeTypeFree> at(
          ldap_str2attributetype(text.c_str(), &code, &where, LDAP_SCHEMA_ALLOW_ALL));
      parsed = at && at->at_names != nullptr && at->at_names[0] != nullptr;
      if (parsed)
        types.push_back(std::move(at));
    } else {
      std::unique_ptr<LDAPObjectClass, ObjectClassFree> oc(
          ldap_str2objectclass(text.c_str(), &code, &where, LDAP_SCHEMA_ALLOW_ALL));
      parsed = oc && oc->oc_names != nullptr && oc->oc_names[0] != nullptr;
      if (parsed)
        objectClasses.push_back(std::move(oc));
    }
    if (!parsed && !unreadable)
      unreadable = i;
  }
  std::vector<const LDAPAttributeType*> typeViews;
  for (const auto& at : types)
    typeViews.push_back(at.get());
  std::vector<const LDAPObjectClass*> classViews;
  for (const auto& oc : objectClasses)
    classViews.push_back(oc.get());
  ApplyAttributeTypes(typeViews);
  ApplyObjectClasses(classViews);
  return unreadable;
}

void SchemaCatalog::ApplyAttributeTypes(std::span<const LDAPAttributeType* const> types) {
  std::unordered_map<std::string, const LDAPAttributeType*> byName;
  for (const LDAPAttributeType* at : types) {
    for (int i = 0; at->at_names[i] != nullptr; ++i)
      byName[FoldCase(at->at_names[i])] = at;
  }
  // The syntax OID, inherited from the supertypes when the type has none of its own.
  const auto syntaxOid = [&](const LDAPAttributeType* at) -> const char* {
    for (int hop = 0; at != nullptr && hop < 16; ++hop) {
      if (at->at_syntax_oid != nullptr)
        return at->at_syntax_oid;
      if (at->at_sup_oid == nullptr)
        return nullptr;
      const auto sup = byName.find(FoldCase(at->at_sup_oid));
      at = sup == byName.end() ? nullptr : sup->second;
    }
    return nullptr;
  };
  for (const LDAPAttributeType* at : types) {
    const std::string ldapName = at->at_names[0];
    const char* oid = syntaxOid(at);
    uint32_t syntax = oid != nullptr ? SyntaxFromOid(oid) : kSyntaxCaseIgnoreString;
    const bool vendor = oid != nullptr && std::string_view(oid).starts_with(kVendorSyntaxPrefix);
    const char* ndsSyntax = Extension(at->at_extensions, "X-NDS_SYNTAX");
    const auto declared =
        ndsSyntax != nullptr ? ParseNumber(ndsSyntax, 0, kSyntaxInterval) : std::nullopt;
    std::optional<uint32_t> existing;
    for (int i = 0; at->at_names[i] != nullptr && !existing; ++i)
      existing = AttributeId(at->at_names[i]);
    // Only a definition of its own says what the attribute holds; one met in entries does not.
    const SchemaAttribute* known =
        existing && attributes_[*existing].declared ? &attributes_[*existing] : nullptr;
    if (declared) {
      syntax = static_cast<uint32_t>(*declared);
    } else if (!vendor && known != nullptr &&
               Carries(syntax, known->syntax, oid == nullptr || IsWeakOid(oid))) {
      syntax = known->syntax;
    }
    for (const SyntaxOverride& override : kSyntaxOverrides) {
      if (EqualsIgnoringCase(override.ldapName, ldapName))
        syntax = override.syntax;
    }
    std::string name = known != nullptr ? known->name : ldapName;
    if (const char* ndsName = NdsNameExtension(at->at_extensions))
      name = ndsName;
    SchemaAttribute def{name, ldapName, syntax, at->at_single_value != 0, true};
    uint32_t id = 0;
    if (existing) {
      // Replaced in place, so that every name it had keeps pointing at it.
      id = *existing;
      attributes_[id] = def;
    } else {
      id = AddAttribute(def);
    }
    attributeByName_[FoldCase(def.name)] = id;
    for (int i = 0; at->at_names[i] != nullptr; ++i)
      attributeByName_[FoldCase(at->at_names[i])] = id;
  }
}

void SchemaCatalog::ApplyObjectClasses(std::span<const LDAPObjectClass* const> objectClasses) {
  std::vector<std::string> contained;
  for (const LDAPObjectClass* oc : objectClasses) {
    const std::string ldapName = oc->oc_names[0];
    const std::optional<uint32_t> existing = ClassId(ldapName);
    SchemaClass def;
    def.ldapName = ldapName;
    def.name = existing ? classes_[*existing].name : ldapName;
    if (const char* ndsName = NdsNameExtension(oc->oc_extensions))
      def.name = ndsName;
    def.structural = oc->oc_kind == LDAP_SCHEMA_STRUCTURAL;
    def.container = existing && classes_[*existing].container;
    if (const char* notContainer = Extension(oc->oc_extensions, "X-NDS_NOT_CONTAINER"))
      def.container = def.container && std::string_view(notContainer) != "1";
    // Classes that others name as their possible superiors are containers.
    for (int e = 0; oc->oc_extensions != nullptr && oc->oc_extensions[e] != nullptr; ++e) {
      if (!EqualsIgnoringCase(oc->oc_extensions[e]->lsei_name, "X-NDS_CONTAINMENT"))
        continue;
      for (int v = 0; oc->oc_extensions[e]->lsei_values[v] != nullptr; ++v)
        contained.emplace_back(oc->oc_extensions[e]->lsei_values[v]);
    }
    const uint32_t id = existing ? *existing : AddClass(def);
    classes_[id] = def;
    classByName_[FoldCase(def.ldapName)] = id;
    classByName_[FoldCase(def.name)] = id;
  }
  for (const std::string& container : contained) {
    if (const auto id = ClassId(container))
      classes_[*id].container = true;
  }
}

std::optional<uint32_t> SchemaCatalog::AttributeId(std::string_view name) const {
  return IdByName(attributeByName_, name);
}

const SchemaAttribute* SchemaCatalog::FindAttribute(std::string_view name) const {
  const auto id = AttributeId(name);
  return id ? &attributes_[*id] : nullptr;
}

uint32_t SchemaCatalog::InternAttribute(std::string_view ldapName) {
  if (const auto id = AttributeId(ldapName))
    return *id;
  return AddAttribute(SchemaAttribute{std::string(ldapName), std::string(ldapName),
                                      kSyntaxCaseIgnoreString, false, false});
}

std::optional<uint32_t> SchemaCatalog::ClassId(std::string_view name) const {
  return IdByName(classByName_, name);
}

const SchemaClass* SchemaCatalog::FindClass(std::string_view name) const {
  const auto id = ClassId(name);
  return id ? &classes_[*id] : nullptr;
}

uint32_t SchemaCatalog::InternClass(std::string_view name) {
  if (const auto id = ClassId(name))
    return *id;
  return AddClass(SchemaClass{std::string(name), std::string(name), false, false});
}

std::string SchemaCatalog::AttributeName(std::string_view name) const {
  const SchemaAttribute* def = FindAttribute(name);
  return def != nullptr ? def->name : std::string(name);
}

std::string SchemaCatalog::ClassName(std::string_view name) const {
  const SchemaClass* def = FindClass(name);
  return def != nullptr ? def->name : std::string(name);
}

std::string SchemaCatalog::ClassLdapName(std::string_view name) const {
  const SchemaClass* def = FindClass(name);
  return def != nullptr ? def->ldapName : std::string(name);
}
