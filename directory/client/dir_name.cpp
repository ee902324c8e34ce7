#include "directory/client/dir_name.h"

#include <ldap.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "directory/client/builtin_schema.h"
#include "util/text.h"

namespace {

// The bytes a value of a typeless name escapes.
bool Escaped(char c) {
  return c == '.' || c == '=' || c == '+' || c == '\\';
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (Escaped(c))
      out.push_back('\\');
    out.push_back(c);
  }
}

namespace {

struct BerMemFree {
  void operator()(char* text) const { ber_memfree(text); }
};

struct DnDeleter {
  using pointer = LDAPDN;
  void operator()(LDAPDN dn) const { ldap_dnfree(dn); }
};

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || IsAsciiLetter(c);
}

// The bytes that a value of a plain name may hold: printable ASCII without anything that
// escapes, quotes, separates or starts a hex form, and that LDAP readers treat alike. A table,
// since every byte of every name in a value passes through it.
constexpr std::array<bool, 256> kPlainValueBytes = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c <= 0x7E; ++c)
    plain[static_cast<size_t>(c)] = true;
  for (const char c : std::string_view("\\\"+,;<>=#"))
    plain[static_cast<unsigned char>(c)] = false;
  return plain;
}();

// The names inside directory values are nearly all plain: "type=value" parts joined by ',',
// the type a letter and letters or digits, no space at a value's edges, and only plain value
// bytes. Those are read here in one pass, without libldap's allocations for every part; nullopt
// for any other text, which libldap then reads.
// Reads the plain part "type=value" of `dn` that begins at `at`, leaving `at` on the byte after
// it; false when the text there is no plain part.
bool ScanPlainPart(std::string_view dn, size_t& at, std::string_view& type,
                   std::string_view& value) {
  const size_t typeAt = at;
  if (at == dn.size() || !IsAsciiLetter(dn[at]))
    return false;
  while (at < dn.size() && IsAsciiAlnum(dn[at]))
    ++at;
  if (at == dn.size() || dn[at] != '=')
    return false;
  type = dn.substr(typeAt, at - typeAt);
  const size_t valueAt = ++at;
  while (at < dn.size() && kPlainValueBytes[static_cast<unsigned char>(dn[at])])
    ++at;
  value = dn.substr(valueAt, at - valueAt);
  return !value.empty() && value.front() != ' ' && value.back() != ' ';
}

std::optional<DirName> ParsePlainLdapDn(std::string_view dn) {
  DirName name;
  name.reserve(static_cast<size_t>(std::count(dn.begin(), dn.end(), ',')) + 1);
  size_t at = 0;
  while (true) {
    std::string_view type;
    std::string_view value;
    if (!ScanPlainPart(dn, at, type, value))
      return std::nullopt;
    name.emplace_back(RdnTypeFromLdap(type), std::string(value));
    if (at == dn.size())
      return name;
    if (dn[at] != ',')
      return std::nullopt;
    ++at;
  }
}

}  // namespace

std::optional<PlainLeaf> PlainLeafOf(std::string_view dn) {
  PlainLeaf leaf;
  size_t at = 0;
  if (!ScanPlainPart(dn, at, leaf.type, leaf.value) || at == dn.size() || dn[at] != ',')
    return std::nullopt;
  leaf.parentDn = dn.substr(at + 1);
  return leaf;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return SameTextAscii(a, b);
}

std::string FoldCase(std::string_view text) {
  std::string folded(text.size(), '\0');
  LowerAsciiInto(text, folded.data());
  return folded;
}

std::string FoldedDnKey(const DirName& name) {
  // Every lookup of an entry or a child builds one of these, so the parts are folded as they
  // are written rather than copied folded first; folding leaves the escaped bytes as they are.
  std::string text;
  size_t size = name.size();
  for (const Rdn& rdn : name)
    size += rdn.type.size() + rdn.value.size() + 1;
  text.reserve(size + size / 8);
  const auto add = [&text](std::string_view type, std::string_view value) {
    for (const char c : type)
      text.push_back(LowerAscii(c));
    text.push_back('=');
    for (const char c : value) {
      const char folded = LowerAscii(c);
      if (Escaped(folded))
        text.push_back('\\');
      text.push_back(folded);
    }
  };
  for (size_t i = 0; i < name.size(); ++i) {
    if (i > 0)
      text.push_back(',');
    add(name[i].type, name[i].value);
    for (const Ava& ava : name[i].more) {
      text.push_back('+');
      add(ava.type, ava.value);
    }
  }
  return text;
}

bool SpelledAlike(const Rdn& a, const Rdn& b) {
  return a.value == b.value && a.type == b.type && a.more == b.more;
}

bool NamesSpelledAlike(const DirName& a, const DirName& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SpelledAlike);
}

bool SameRdn(const Rdn& a, const Rdn& b) {
  if (!EqualsIgnoringCase(a.type, b.type) || !EqualsIgnoringCase(a.value, b.value) ||
      a.more.size() != b.more.size()) {
    return false;
  }
  for (size_t i = 0; i < a.more.size(); ++i) {
    if (!EqualsIgnoringCase(a.more[i].type, b.more[i].type) ||
        !EqualsIgnoringCase(a.more[i].value, b.more[i].value)) {
      return false;
    }
  }
  return true;
}

bool SameName(const DirName& a, const DirName& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameRdn(a[i], b[i]))
      return false;
  }
  return true;
}

Rdn CanonicalRdn(Ava first, std::vector<Ava> more) {
  if (more.empty())
    return Rdn{std::move(first.type), std::move(first.value), {}};
  more.insert(more.begin(), std::move(first));
  // By type, then value, letter case ignored: the order does not depend on how the name was
  // written, so equal RDNs compare pair by pair.
  std::stable_sort(more.begin(), more.end(), [](const Ava& a, const Ava& b) {
    const std::string typeA = FoldCase(a.type);
    const std::string typeB = FoldCase(b.type);
    if (typeA != typeB)
      return typeA < typeB;
    return FoldCase(a.value) < FoldCase(b.value);
  });
  Rdn rdn{std::move(more.front().type), std::move(more.front().value), {}};
  rdn.more.assign(std::make_move_iterator(more.begin() + 1), std::make_move_iterator(more.end()));
  return rdn;
}

Rdn RdnOfPart(const NamePart& part) {
  return CanonicalRdn(Ava{part.type, part.value}, part.more);
}

NamePart TypelessPart(const Rdn& rdn) {
  NamePart part{std::string(), rdn.value, {}};
  for (const Ava& ava : rdn.more)
    part.more.push_back(Ava{std::string(), ava.value});
  return part;
}

std::string RdnTypeKey(const Rdn& rdn) {
  std::string key = rdn.type;
  for (const Ava& ava : rdn.more) {
    key.push_back('+');
    key += ava.type;
  }
  return key;
}

std::string RdnValueKey(std::string_view value, const std::vector<Ava>& more) {
  if (more.empty())
    return std::string(value);
  std::string key;
  AppendEscaped(key, value);
  for (const Ava& ava : more) {
    key.push_back('+');
    AppendEscaped(key, ava.value);
  }
  return key;
}

std::string RdnValueSetKey(const Rdn& rdn) {
  // Without their types, the pairs are ordered by value alone.
  const Rdn values = RdnOfPart(TypelessPart(rdn));
  return FoldCase(RdnValueKey(values.value, values.more));
}

Rdn RdnOfKeys(std::string_view typeKey, std::string_view valueKey) {
  if (typeKey.find('+') == std::string_view::npos)
    return Rdn{std::string(typeKey), std::string(valueKey), {}};
  std::vector<Ava> pairs(1);
  for (const char c : typeKey) {
    if (c == '+')
      pairs.emplace_back();
    else
      pairs.back().type.push_back(c);
  }
  size_t at = 0;
  for (size_t i = 0; i < valueKey.size() && at < pairs.size(); ++i) {
    if (valueKey[i] == '\\' && i + 1 < valueKey.size())
      pairs[at].value.push_back(valueKey[++i]);
    else if (valueKey[i] == '+')
      ++at;
    else
      pairs[at].value.push_back(valueKey[i]);
  }
  Rdn rdn{std::move(pairs.front().type), std::move(pairs.front().value), {}};
  rdn.more.assign(std::make_move_iterator(pairs.begin() + 1), std::make_move_iterator(pairs.end()));
  return rdn;
}

std::optional<ParsedName> ParseDirName(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  ParsedName parsed;
  // The root in any letter case, also in the display form with its leading dot, so that no
  // operation reads a spelling of it as an entry's name.
  if (EqualsIgnoringCase(text, "[Root]") || EqualsIgnoringCase(text, ".[Root]")) {
    parsed.root = true;
    return parsed;
  }
  size_t pos = 0;
  if (text[0] == '.') {
    parsed.complete = true;
    pos = 1;
  }
  // Split at unescaped dots, each part made in place: the values keep no escapes, the first
  // unescaped '=' of a pair separates type and value, and an unescaped '+' begins the next pair
  // of the part. An empty part stays empty here; those at the end are the trailing dots, any
  // other fails the name.
  parsed.parts.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1);
  NamePart* part = &parsed.parts.emplace_back();
  std::string* type = &part->type;
  std::string* value = &part->value;
  bool typed = false;      // the pair being read has its '='
  bool partTyped = false;  // the first pair of the part had one
  const auto upper = [](std::string& text) {
    for (char& c : text) {
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    }
  };
  const auto finishPair = [&]() {
    const bool first = type == &part->type;
    if (first)
      partTyped = typed;
    else if (typed != partTyped || value->empty())
      return false;
    if (!typed)
      return true;
    if (type->empty() || value->empty())
      return false;
    upper(*type);
    return true;
  };
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '\\') {
      if (pos + 1 >= text.size())
        return std::nullopt;
      value->push_back(text[++pos]);
    } else if (c == '.') {
      if (!finishPair())
        return std::nullopt;
      part = &parsed.parts.emplace_back();
      type = &part->type;
      value = &part->value;
      typed = false;
    } else if (c == '+') {
      if (!finishPair() || value->empty())
        return std::nullopt;
      Ava& next = part->more.emplace_back();
      type = &next.type;
      value = &next.value;
      typed = false;
    } else if (c == '=' && !typed) {
      typed = true;
      *type = std::move(*value);
      value->clear();
    } else {
      value->push_back(c);
    }
  }
  if (!finishPair())
    return std::nullopt;
  const auto empty = [](const NamePart& p) {
    return p.type.empty() && p.value.empty() && p.more.empty();
  };
  while (parsed.parts.size() > 1 && empty(parsed.parts.back())) {
    parsed.parts.pop_back();
    ++parsed.trailingDots;
  }
  if (parsed.complete && parsed.trailingDots > 0)
    return std::nullopt;
  if (std::any_of(parsed.parts.begin(), parsed.parts.end(), empty))
    return std::nullopt;
  return parsed;
}

std::optional<DirName> ParseLdapDn(std::string_view dn, std::string* error) {
  const auto fail = [&](const char* why) -> std::optional<DirName> {
    if (error != nullptr)
      *error = why;
    return std::nullopt;
  };
  DirName name;
  if (dn.empty())
    return name;
  if (auto plain = ParsePlainLdapDn(dn))
    return plain;
  struct berval text {};
  text.bv_val = const_cast<char*>(dn.data());
  text.bv_len = dn.size();
  LDAPDN parsed = nullptr;
  if (ldap_bv2dn(&text, &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || parsed == nullptr) {
    return fail("not a distinguished name");
  }
  const std::unique_ptr<LDAPRDN*, DnDeleter> owner(parsed);
  for (int i = 0; parsed[i] != nullptr; ++i) {
    LDAPRDN rdn = parsed[i];
    if (rdn[0] == nullptr)
      return fail("empty RDN");
    std::vector<Ava> pairs;
    for (int j = 0; rdn[j] != nullptr; ++j) {
      const LDAPAVA* ava = rdn[j];
      if ((ava->la_flags & LDAP_AVA_BINARY) != 0)
        return fail("binary RDN values are not supported");
      if (ava->la_value.bv_len == 0)
        return fail("empty RDN value");
      pairs.push_back(
          Ava{RdnTypeFromLdap(std::string_view(ava->la_attr.bv_val, ava->la_attr.bv_len)),
              std::string(ava->la_value.bv_val, ava->la_value.bv_len)});
    }
    Ava first = std::move(pairs.front());
    pairs.erase(pairs.begin());
    name.push_back(CanonicalRdn(std::move(first), std::move(pairs)));
  }
  return name;
}

size_t WrittenPartCount(const DirName& name, const DirName& context) {
  // Shared levels, counted from the root.
  size_t shared = 0;
  while (shared < name.size() && shared < context.size() &&
         SameRdn(name[name.size() - 1 - shared], context[context.size() - 1 - shared])) {
    ++shared;
  }
  // At least the leaf is written, so the name of the context itself (or of one of its
  // ancestors) climbs one level further up.
  if (!name.empty() && shared == name.size())
    --shared;
  return name.size() - shared;
}

std::string FormatDirName(const DirName& name, const DirName& context, bool typeless,
                          const std::vector<bool>& typedParts) {
  if (name.empty())
    return "[Root]";
  const size_t written = WrittenPartCount(name, context);
  const size_t dots = context.size() - (name.size() - written);
  std::string text;
  size_t size = dots + written;
  for (size_t i = 0; i < written; ++i)
    size += name[i].type.size() + name[i].value.size() + 1;
  text.reserve(size + size / 8);
  for (size_t i = 0; i < written; ++i) {
    if (i > 0)
      text.push_back('.');
    const bool typed = !typeless || (i < typedParts.size() && typedParts[i]);
    const auto add = [&](const std::string& type, const std::string& value) {
      if (typed) {
        text += type;
        text.push_back('=');
      }
      AppendEscaped(text, value);
    };
    add(name[i].type, name[i].value);
    for (const Ava& ava : name[i].more) {
      text.push_back('+');
      add(ava.type, ava.value);
    }
  }
  text.append(dots, '.');
  return text;
}

std::string LdapDnText(const DirName& name) {
  if (name.empty())
    return std::string();
  size_t pairCount = 0;
  for (const Rdn& rdn : name)
    pairCount += 1 + rdn.more.size();
  std::vector<std::string> types;
  types.reserve(pairCount);
  std::vector<LDAPAVA> avas(pairCount);
  // Each RDN's pairs, each list ended by a null slot.
  std::vector<LDAPAVA*> rdnSlots(pairCount + name.size(), nullptr);
  std::vector<LDAPRDN> rdns(name.size() + 1, nullptr);
  size_t ava = 0;
  size_t slot = 0;
  const auto add = [&](const std::string& type, const std::string& value) {
    std::string ldapType = FoldCase(type);
    if (ldapType == "s")
      ldapType = "st";
    types.push_back(std::move(ldapType));
    avas[ava].la_attr.bv_val = types.back().data();
    avas[ava].la_attr.bv_len = types.back().size();
    avas[ava].la_value.bv_val = const_cast<char*>(value.data());
    avas[ava].la_value.bv_len = value.size();
    avas[ava].la_flags = LDAP_AVA_STRING;
    avas[ava].la_private = nullptr;
    rdnSlots[slot++] = &avas[ava++];
  };
  for (size_t i = 0; i < name.size(); ++i) {
    rdns[i] = &rdnSlots[slot];
    add(name[i].type, name[i].value);
    for (const Ava& more : name[i].more)
      add(more.type, more.value);
    ++slot;
  }
  struct berval out {};
  if (ldap_dn2bv(rdns.data(), &out, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
    return std::string();
  const std::unique_ptr<char, BerMemFree> owner(out.bv_val);
  return std::string(out.bv_val, out.bv_len);
}
