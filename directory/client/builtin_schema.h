#pragma once
// The schema the client knows without being told: directory attribute names with their LDAP
// names and syntaxes, LDAP class names with their directory names, which classes are structural
// or containers, and how RFC 4512 syntax OIDs map to directory syntax numbers.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "directory/client/dir_syntax.h"

struct BuiltinAttribute {
  std::string_view name;      // the directory name, as the program asks for it
  std::string_view ldapName;  // the name in LDIF and on an LDAP server
  uint32_t syntax;
  bool singleValued;
};

struct BuiltinClass {
  std::string_view name;      // the directory name
  std::string_view ldapName;  // empty when LDIF writes the directory name itself
  bool structural;
  bool container;
};

[[nodiscard]] std::span<const BuiltinAttribute> BuiltinAttributes();
[[nodiscard]] std::span<const BuiltinClass> BuiltinClasses();

// The OID family whose last arc is the directory syntax number itself.
inline constexpr std::string_view kVendorSyntaxPrefix = "2.16.840.1.113719.1.1.5.1.";

// The directory syntax number of an RFC 4512 SYNTAX OID (with or without a "{length}" bound):
// the standard LDAP syntaxes the client knows and the vendor family 2.16.840.1.113719.1.1.5.1.N;
// any other OID is Octet String.
[[nodiscard]] uint32_t SyntaxFromOid(std::string_view oid);

// The class of a container made for a part of a name that no entry defines (above a dump of a
// subtree, above a server's naming context): the one its naming type stands for (DC domain, O
// Organization, OU Organizational Unit, C Country, L Locality, any other Container).
[[nodiscard]] std::string_view MadeContainerClass(std::string_view rdnType);

// The directory name of an RDN attribute type (`cn` -> "CN", `st` -> "S"): ASCII letters
// upper-cased whatever the locale, since a type is an ASCII keyword or OID.
[[nodiscard]] std::string RdnTypeFromLdap(std::string_view ldapType);
