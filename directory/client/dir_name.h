#pragma once
// Directory names: typed RDN sequences, leaf first. Parses the client's dot-separated names
// (typed `CN=Admin.OU=Sales.O=Acme`, typeless `Admin.Sales.Acme`, complete with a leading '.',
// relative with trailing dots, `[Root]`) and LDAP DNs, and writes names relative to a context.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One naming type and value of an RDN.
struct Ava {
  std::string type;
  std::string value;
  bool operator==(const Ava&) const = default;
};

struct Rdn {
  Rdn() = default;
  Rdn(std::string type, std::string value, std::vector<Ava> more = {})
      : type(std::move(type)), value(std::move(value)), more(std::move(more)) {}
  std::string type;  // the directory's naming type, upper case ("CN", "OU", "O")
  std::string value;
  // The further pairs of a multi-valued RDN (`CN=J. Smith+OU=Sales`). Made by CanonicalRdn, so
  // that the same set of pairs, however written, is one order and compares pair by pair.
  std::vector<Ava> more;
};

// Leaf first; the empty name is the tree root.
using DirName = std::vector<Rdn>;

// One part of a name as a caller wrote it; an empty type is a typeless part. The pairs of a
// multi-valued part are all typed or all typeless, in the order written.
struct NamePart {
  NamePart() = default;
  NamePart(std::string type, std::string value, std::vector<Ava> more = {})
      : type(std::move(type)), value(std::move(value)), more(std::move(more)) {}
  std::string type;
  std::string value;
  std::vector<Ava> more;
};

// The RDN of the pairs `first` and `more` in the one order every name keeps them in.
[[nodiscard]] Rdn CanonicalRdn(Ava first, std::vector<Ava> more = {});
// The RDN a typed part names.
[[nodiscard]] Rdn RdnOfPart(const NamePart& part);
// A typeless part of `rdn`'s values, as a caller would write it.
[[nodiscard]] NamePart TypelessPart(const Rdn& rdn);
// An RDN's types and values each as one text, for stores that keep an RDN as one type and one
// value: the single pair as it is, the pairs of a multi-valued one joined by '+' with every
// value escaped as in a directory name. RdnOfKeys reads them back.
[[nodiscard]] std::string RdnTypeKey(const Rdn& rdn);
[[nodiscard]] std::string RdnValueKey(std::string_view value, const std::vector<Ava>& more);
[[nodiscard]] Rdn RdnOfKeys(std::string_view typeKey, std::string_view valueKey);
// An RDN's values as one folded text that neither their types nor the order they were written in
// change, so that a typeless part finds an RDN whose values are its own as a set.
[[nodiscard]] std::string RdnValueSetKey(const Rdn& rdn);

struct ParsedName {
  bool root = false;            // "[Root]"
  bool complete = false;        // a leading '.'
  int trailingDots = 0;         // each one moves one level up from the name context
  std::vector<NamePart> parts;  // leaf first
};

// Parses a client name. "[Root]" in any letter case, with or without one leading '.', is the root.
// Backslash escapes the next character; an unescaped '+' joins the pairs of a multi-valued part.
// Gives nullopt for the empty
// text, an empty part between dots, a typed part with an empty type or value, or a backslash at
// the end.
[[nodiscard]] std::optional<ParsedName> ParseDirName(std::string_view text);

// Parses an LDAP DN (RFC 4514) into a directory name, leaf first; nullopt, with a reason in
// `error` when given, for a DN that cannot be parsed.
[[nodiscard]] std::optional<DirName> ParseLdapDn(std::string_view dn, std::string* error = nullptr);
// The leaf of an LDAP DN in the plain form nearly every name inside a value has ("type=value"
// of printable ASCII that needs no escape, then ','), with the DN of its parent as the text
// spells it; nullopt for a DN of one part, or whose leaf has any other form.
struct PlainLeaf {
  std::string_view type;  // as the DN spells it
  std::string_view value;
  std::string_view parentDn;
};
[[nodiscard]] std::optional<PlainLeaf> PlainLeafOf(std::string_view dn);
// The RFC 4514 text of a directory name (leaf first), with every value escaped by libldap; the
// directory's naming type S is written st. The root is the empty DN.
[[nodiscard]] std::string LdapDnText(const DirName& name);

// The name written relative to `context` (complete when the context is the root), typed or
// typeless, with '.', '=', '+' and '\' inside values escaped. An entry that is not below the
// context gets one trailing dot per level the context must go up. In a typeless name, the parts
// `typedParts` marks (leaf first) are written typed all the same.
[[nodiscard]] std::string FormatDirName(const DirName& name, const DirName& context, bool typeless,
                                        const std::vector<bool>& typedParts = {});
// Appends `value` as FormatDirName writes a value of a part.
void AppendEscaped(std::string& out, std::string_view value);
// How many parts of `name`, from the leaf, FormatDirName writes relative to `context`.
[[nodiscard]] size_t WrittenPartCount(const DirName& name, const DirName& context);

// True when both are the same RDN (the same set of pairs), ignoring ASCII letter case.
[[nodiscard]] bool SameRdn(const Rdn& a, const Rdn& b);
// Whether `a` and `b` are written alike, letter case included.
[[nodiscard]] bool SpelledAlike(const Rdn& a, const Rdn& b);
// Whether the names have as many parts, each spelled alike: what a name kept for its siblings is
// checked by, where a fold of it would cost more than the work it spares.
[[nodiscard]] bool NamesSpelledAlike(const DirName& a, const DirName& b);
[[nodiscard]] bool SameName(const DirName& a, const DirName& b);
// A name as one comparable text (types and values folded), for equality of DN values.
[[nodiscard]] std::string FoldedDnKey(const DirName& name);
[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b);
[[nodiscard]] std::string FoldCase(std::string_view text);
