#pragma once
// Directory names: typed RDN sequences, leaf first. Parses the client's dot-separated names
// (typed `CN=Admin.OU=Sales.O=Acme`, typeless `Admin.Sales.Acme`, complete with a leading '.',
// relative with trailing dots, `[Root]`) and LDAP DNs, and writes names relative to a context.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Rdn {
  std::string type;  // the directory's naming type, upper case ("CN", "OU", "O")
  std::string value;
};

// Leaf first; the empty name is the tree root.
using DirName = std::vector<Rdn>;

// One part of a name as a caller wrote it; an empty type is a typeless part.
struct NamePart {
  std::string type;
  std::string value;
};

struct ParsedName {
  bool root = false;            // "[Root]"
  bool complete = false;        // a leading '.'
  int trailingDots = 0;         // each one moves one level up from the name context
  std::vector<NamePart> parts;  // leaf first
};

// Parses a client name. "[Root]" in any letter case, with or without one leading '.', is the root.
// Backslash escapes the next character. Gives nullopt for the empty
// text, an empty part between dots, a typed part with an empty type or value, or a backslash at
// the end.
[[nodiscard]] std::optional<ParsedName> ParseDirName(std::string_view text);

// Parses an LDAP DN (RFC 4514) into a directory name, leaf first; nullopt, with a reason in
// `error` when given, for a DN that cannot be parsed or has a multi-valued RDN.
[[nodiscard]] std::optional<DirName> ParseLdapDn(std::string_view dn, std::string* error = nullptr);
// The RFC 4514 text of a directory name (leaf first), with every value escaped by libldap; the
// directory's naming type S is written st. The root is the empty DN.
[[nodiscard]] std::string LdapDnText(const DirName& name);

// The name written relative to `context` (complete when the context is the root), typed or
// typeless, with '.', '=', '+' and '\' inside values escaped. An entry that is not below the
// context gets one trailing dot per level the context must go up. In a typeless name, the parts
// `typedParts` marks (leaf first) are written typed all the same.
[[nodiscard]] std::string FormatDirName(const DirName& name, const DirName& context, bool typeless,
                                        const std::vector<bool>& typedParts = {});
// How many parts of `name`, from the leaf, FormatDirName writes relative to `context`.
[[nodiscard]] size_t WrittenPartCount(const DirName& name, const DirName& context);

// True when both are the same RDN, ignoring ASCII letter case.
[[nodiscard]] bool SameRdn(const Rdn& a, const Rdn& b);
[[nodiscard]] bool SameName(const DirName& a, const DirName& b);
// A name as one comparable text (types and values folded), for equality of DN values.
[[nodiscard]] std::string FoldedDnKey(const DirName& name);
[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b);
[[nodiscard]] std::string FoldCase(std::string_view text);
