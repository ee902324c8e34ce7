#include "directory/client/ldap_filter.h"

#include <ldap.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "directory/client/dir_codes.h"
#include "directory/client/dir_name.h"

namespace {

struct BerMemFree {
  void operator()(char* text) const { ber_memfree(text); }
};
using BerText = std::unique_ptr<char, BerMemFree>;

}  // namespace

// One filter value escaped by libldap (RFC 4515: '*', '(', ')', '\' and NUL become \XX).
std::string EscapeFilterValue(std::string_view value) {
  struct berval in {};
  in.bv_val = const_cast<char*>(value.data());
  in.bv_len = value.size();
  struct berval out {};
  if (ldap_bv2escaped_filter_value(&in, &out) != LDAP_SUCCESS)
    return std::string();
  const BerText owner(out.bv_val);
  return std::string(out.bv_val, out.bv_len);
}

namespace {

// A pattern whose '*' stay wildcards and whose other characters are escaped.
std::string EscapePattern(std::string_view pattern) {
  std::string text;
  size_t start = 0;
  for (;;) {
    const size_t star = pattern.find('*', start);
    text += EscapeFilterValue(pattern.substr(start, star - start));
    if (star == std::string_view::npos)
      break;
    text.push_back('*');
    start = star + 1;
  }
  return text;
}

std::string GeneralizedTime(int64_t seconds) {
  const auto clamped = static_cast<time_t>(std::clamp<int64_t>(seconds, 0, UINT32_MAX));
  struct tm utc {};
  gmtime_r(&clamped, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
  return text;
}

// The translation of one filter tree against one schema.
class Translator {
 public:
  Translator(const SchemaCatalog& schema, const std::vector<std::string>& namingTypes)
      : schema_(schema), namingTypes_(namingTypes) {}

  int32_t Translate(const FilterNode& node, std::string& out) const {
    using Kind = FilterNode::Kind;
    static constexpr std::string_view kNever = "(!(objectClass=*))";
    switch (node.kind) {
      case Kind::kAnd:
      case Kind::kOr:
      case Kind::kNot: {
        out += node.kind == Kind::kAnd ? "(&" : (node.kind == Kind::kOr ? "(|" : "(!");
        for (const FilterNode& child : node.children) {
          if (const int32_t code = Translate(child, out); code != kDirOk)
            return code;
        }
        out += ")";
        return kDirOk;
      }
      case Kind::kBaseClass:
        out += "(objectClass=" + EscapeFilterValue(schema_.ClassLdapName(node.text)) + ")";
        return kDirOk;
      case Kind::kRdn: {
        const std::string pattern = EscapePattern(node.text);
        if (!node.rdnType.empty()) {
          std::string type = FoldCase(node.rdnType);
          if (type == "s")
            type = "st";
          out += "(" + type + "=" + pattern + ")";
          return kDirOk;
        }
        out += "(|";
        for (const std::string& type : namingTypes_)
          out += "(" + type + "=" + pattern + ")";
        out += ")";
        return kDirOk;
      }
      case Kind::kPresent: {
        const SchemaAttribute* def = schema_.FindAttribute(node.text);
        out += def != nullptr ? "(" + def->ldapName + "=*)" : std::string(kNever);
        return kDirOk;
      }
      case Kind::kCompare:
        return TranslateCompare(node, out);
    }
    return kDirInvalidFilter;
  }

  int32_t TranslateCompare(const FilterNode& node, std::string& out) const {
    const SchemaAttribute* def = schema_.FindAttribute(node.text);
    if (def == nullptr) {
      out += "(!(objectClass=*))";
      return kDirOk;
    }
    const std::string& a = def->ldapName;
    using Op = FilterNode::Op;
    const char* op =
        node.op == Op::kGreaterOrEqual ? ">=" : (node.op == Op::kLessOrEqual ? "<=" : "=");
    const bool equality = node.op == Op::kEqual || node.op == Op::kApprox;
    const uint32_t syntax = def->syntax;
    if (IsLdapStringSyntax(syntax) || syntax == kSyntaxClassName) {
      std::string value = node.textValue;
      if (syntax == kSyntaxClassName)
        value = schema_.ClassLdapName(value);
      out += "(" + a + op + (equality ? EscapePattern(value) : EscapeFilterValue(value)) + ")";
      return kDirOk;
    }
    switch (syntax) {
      case kSyntaxDistinguishedName:
        out += "(" + a + op + EscapeFilterValue(node.textValue) + ")";
        return kDirOk;
      case kSyntaxCaseIgnoreList: {
        if (!equality)
          return kDirInvalidFilter;
        const std::string v = EscapePattern(node.textValue);
        out += "(|(" + a + "=" + v + ")(" + a + "=" + v + "$*)(" + a + "=*$" + v + ")(" + a +
               "=*$" + v + "$*))";
        return kDirOk;
      }
      case kSyntaxTypedName:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=" + EscapePattern(node.textValue) + "#*)";
        return kDirOk;
      case kSyntaxBoolean:
        out += "(" + a + op + (node.numberValue != 0 ? "TRUE" : "FALSE") + ")";
        return kDirOk;
      case kSyntaxInteger:
      case kSyntaxCounter:
      case kSyntaxInterval: {
        int64_t number = node.numberValue;
        if (syntax != kSyntaxInteger && number < 0)
          number = static_cast<uint32_t>(number);
        out += "(" + a + op + std::to_string(number) + ")";
        return kDirOk;
      }
      case kSyntaxTime:
        out += "(" + a + op + GeneralizedTime(node.numberValue) + ")";
        return kDirOk;
      case kSyntaxTimestamp:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=" + std::to_string(node.numberValue) + "#*)";
        return kDirOk;
      case kSyntaxHold:
        if (!equality)
          return kDirInvalidFilter;
        out += "(" + a + "=*#" + std::to_string(node.numberValue) + ")";
        return kDirOk;
      default:
        return kDirInvalidFilter;
    }
  }

 private:
  const SchemaCatalog& schema_;
  const std::vector<std::string>& namingTypes_;
};

}  // namespace

int32_t LdapFilterText(const FilterNode& filter, const SchemaCatalog& schema,
                       const std::vector<std::string>& namingTypes, std::string& text) {
  text.clear();
  return Translator(schema, namingTypes).Translate(filter, text);
}
