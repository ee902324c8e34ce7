#pragma once
// A finished filter tree as the RFC 4515 text a server is sent: every value escaped by libldap
// (never pasted in), classes and attributes by their LDAP names, names as LDAP DN text, numbers,
// times and holds in the forms the server's values have.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "directory/client/filter_expr.h"
#include "directory/client/schema_catalog.h"

// `value` with '*', '(', ')', '\' and NUL written as \XX; empty when libldap cannot escape it.
[[nodiscard]] std::string EscapeFilterValue(std::string_view value);

// Writes the RFC 4515 text of `filter` to `text` and returns kDirOk, or kDirInvalidFilter for a
// comparison the server cannot express (ordering of timestamps, holds, typed names or lists;
// values of binary syntaxes). Attributes and classes are looked up in `schema`; an attribute it
// does not know matches nothing. A typeless RDN term may be any of `namingTypes`.
[[nodiscard]] int32_t LdapFilterText(const FilterNode& filter, const SchemaCatalog& schema,
                                     const std::vector<std::string>& namingTypes,
                                     std::string& text);
