#include "directory/client/dir_name.h"

#include <ldap.h>

#include <algorithm>
#include <memory>

#include "directory/client/builtin_schema.h"
#include "util/text.h"

namespace {

void AppendEscaped(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (c == '.' || c == '=' || c == '+' || c == '\\')
      out.push_back('\\');
    out.push_back(c);
  }
}

struct BerMemFree {
  void operator()(char* text) const { ber_memfree(text); }
};

struct DnDeleter {
  using pointer = LDAPDN;
  void operator()(LDAPDN dn) const { ldap_dnfree(dn); }
};

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A byte that a value of a plain name may hold: printable ASCII without anything that escapes,
// quotes, separates or starts a hex form, and that LDAP readers treat alike.
bool IsPlainValueByte(char c) {
  if (c < 0x20 || c > 0x7E)
    return false;
  switch (c) {
    case '\\':
    case '"':
    case '+':
    case ',':
    case ';':
    case '<':
    case '>':
    case '=':
    case '#':
      return false;
    default:
      return true;
  }
}

// The names inside directory values are nearly all plain: "type=value" parts joined by ',',
// the type a letter and letters or digits, no space at a value's edges, and only plain value
// bytes. Those are read here, without libldap's allocations for every part; nullopt for any
// other text, which libldap then reads.
std::optional<DirName> ParsePlainLdapDn(std::string_view dn) {
  DirName name;
  name.reserve(static_cast<size_t>(std::count(dn.begin(), dn.end(), ',')) + 1);
  std::string typeStorage;
  while (true) {
    const size_t comma = dn.find(',');
    const std::string_view rdn = dn.substr(0, comma);
    const size_t equals = rdn.find('=');
    if (equals == std::string_view::npos || equals == 0)
      return std::nullopt;
    const std::string_view type = rdn.substr(0, equals);
    const std::string_view value = rdn.substr(equals + 1);
    if (!(type[0] >= 'a' && type[0] <= 'z') && !(type[0] >= 'A' && type[0] <= 'Z'))
      return std::nullopt;
    if (!std::all_of(type.begin(), type.end(), IsAsciiAlnum))
      return std::nullopt;
    if (value.empty() || value.front() == ' ' || value.back() == ' ' ||
        !std::all_of(value.begin(), value.end(), IsPlainValueByte)) {
      return std::nullopt;
    }
    name.push_back(Rdn{std::string(RdnTypeFromLdap(type, typeStorage)), std::string(value)});
    if (comma == std::string_view::npos)
      return name;
    dn.remove_prefix(comma + 1);
  }
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return SameTextAscii(a, b);
}

std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    c = LowerAscii(c);
  return folded;
}

std::string FoldedDnKey(const DirName& name) {
  std::string text;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i > 0)
      text.push_back(',');
    text += FoldCase(name[i].type);
    text.push_back('=');
    AppendEscaped(text, FoldCase(name[i].value));
  }
  return text;
}

bool SameRdn(const Rdn& a, const Rdn& b) {
  return EqualsIgnoringCase(a.type, b.type) && EqualsIgnoringCase(a.value, b.value);
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
  // Split at unescaped dots, each part made in place: the values keep no escapes, and the
  // first unescaped '=' separates type and value. An empty part stays empty here; those at the
  // end are the trailing dots, any other fails the name.
  parsed.parts.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1);
  NamePart* part = &parsed.parts.emplace_back();
  bool typed = false;
  const auto finishPart = [&]() {
    if (!typed)
      return true;
    if (part->type.empty() || part->value.empty())
      return false;
    for (char& c : part->type) {
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    }
    return true;
  };
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '\\') {
      if (pos + 1 >= text.size())
        return std::nullopt;
      part->value.push_back(text[++pos]);
    } else if (c == '.') {
      if (!finishPart())
        return std::nullopt;
      part = &parsed.parts.emplace_back();
      typed = false;
    } else if (c == '=' && !typed) {
      typed = true;
      part->type = std::move(part->value);
      part->value.clear();
    } else {
      part->value.push_back(c);
    }
  }
  if (!finishPart())
    return std::nullopt;
  const auto empty = [](const NamePart& p) { return p.type.empty() && p.value.empty(); };
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
  std::string typeStorage;
  for (int i = 0; parsed[i] != nullptr; ++i) {
    LDAPRDN rdn = parsed[i];
    if (rdn[0] == nullptr)
      return fail("empty RDN");
    if (rdn[1] != nullptr)
      return fail("multi-valued RDNs are not supported");
    const LDAPAVA* ava = rdn[0];
    if ((ava->la_flags & LDAP_AVA_BINARY) != 0)
      return fail("binary RDN values are not supported");
    if (ava->la_value.bv_len == 0)
      return fail("empty RDN value");
    Rdn part;
    part.type =
        RdnTypeFromLdap(std::string_view(ava->la_attr.bv_val, ava->la_attr.bv_len), typeStorage);
    part.value.assign(ava->la_value.bv_val, ava->la_value.bv_len);
    name.push_back(std::move(part));
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
  for (size_t i = 0; i < written; ++i) {
    if (i > 0)
      text.push_back('.');
    if (!typeless || (i < typedParts.size() && typedParts[i])) {
      text += name[i].type;
      text.push_back('=');
    }
    AppendEscaped(text, name[i].value);
  }
  text.append(dots, '.');
  return text;
}

std::string LdapDnText(const DirName& name) {
  if (name.empty())
    return std::string();
  std::vector<std::string> types;
  types.reserve(name.size());
  for (const Rdn& rdn : name) {
    std::string type = FoldCase(rdn.type);
    if (type == "s")
      type = "st";
    types.push_back(std::move(type));
  }
  std::vector<LDAPAVA> avas(name.size());
  std::vector<LDAPAVA*> rdnSlots(name.size() * 2, nullptr);
  std::vector<LDAPRDN> rdns(name.size() + 1, nullptr);
  for (size_t i = 0; i < name.size(); ++i) {
    avas[i].la_attr.bv_val = types[i].data();
    avas[i].la_attr.bv_len = types[i].size();
    avas[i].la_value.bv_val = const_cast<char*>(name[i].value.data());
    avas[i].la_value.bv_len = name[i].value.size();
    avas[i].la_flags = LDAP_AVA_STRING;
    avas[i].la_private = nullptr;
    rdnSlots[i * 2] = &avas[i];
    rdns[i] = &rdnSlots[i * 2];
  }
  struct berval out {};
  if (ldap_dn2bv(rdns.data(), &out, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
    return std::string();
  const std::unique_ptr<char, BerMemFree> owner(out.bv_val);
  return std::string(out.bv_val, out.bv_len);
}
