// The filter text a live server is sent, for every kind of term and syntax, against the
// built-in schema: what is escaped, what stays a wildcard, and what the server cannot express.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/client/dir_codes.h"
#include "directory/client/ldap_filter.h"
#include "directory/client/schema_catalog.h"

namespace {

using Op = FilterNode::Op;

FilterNode Compare(const char* attribute, const std::string& text, Op op = Op::kEqual,
                   int64_t number = 0) {
  FilterNode node;
  node.kind = FilterNode::Kind::kCompare;
  node.text = attribute;
  node.textValue = text;
  node.op = op;
  node.numberValue = number;
  return node;
}

FilterNode Term(FilterNode::Kind kind, const char* text, const char* rdnType = "") {
  FilterNode node;
  node.kind = kind;
  node.text = text;
  node.rdnType = rdnType;
  return node;
}

FilterNode Node(FilterNode::Kind kind, std::vector<FilterNode> children) {
  FilterNode node;
  node.kind = kind;
  node.children = std::move(children);
  return node;
}

TEST(LdapFilterTest, TranslatesEveryTerm) {
  using Kind = FilterNode::Kind;
  struct Case {
    const char* label;
    FilterNode filter;
    const char* text;  // nullptr: kDirInvalidFilter
  };
  const std::string nul("a\0b", 3);
  const Case cases[] = {
      {"and, or, not",
       Node(Kind::kAnd, {Term(Kind::kBaseClass, "User"),
                         Node(Kind::kOr, {Term(Kind::kPresent, "Surname"),
                                          Node(Kind::kNot, {Term(Kind::kPresent, "CN")})})}),
       "(&(objectClass=inetOrgPerson)(|(sn=*)(!(cn=*))))"},
      {"a class by its LDAP name, escaped", Term(Kind::kBaseClass, "a(b"), "(objectClass=a\\28b)"},
      {"typed RDN, S written st", Term(Kind::kRdn, "x(1)*", "S"), "(st=x\\281\\29*)"},
      {"typeless RDN, every naming type", Term(Kind::kRdn, "Ad*"), "(|(cn=Ad*)(ou=Ad*))"},
      {"present, unknown", Term(Kind::kPresent, "No Such"), "(!(objectClass=*))"},
      {"compare, unknown", Compare("No Such", "x"), "(!(objectClass=*))"},
      {"text, wildcards kept", Compare("Surname", "x)(cn=*"), "(sn=x\\29\\28cn=*)"},
      {"text, NUL", Compare("Surname", nul), "(sn=a\\00b)"},
      {"text, approximate", Compare("Surname", "a*"), "(sn=a*)"},
      {"text, ordering escapes *", Compare("Surname", "a*", Op::kGreaterOrEqual), "(sn>=a\\2A)"},
      {"class name value", Compare("Object Class", "Organizational Unit"),
       "(objectClass=organizationalUnit)"},
      {"name, * literal", Compare("Member", "cn=a*b(c)\\d,o=acme"),
       "(member=cn=a\\2Ab\\28c\\29\\5Cd,o=acme)"},
      {"name, ordering", Compare("Member", "cn=a", Op::kLessOrEqual), "(member<=cn=a)"},
      {"list", Compare("Language", "EN*"),
       "(|(language=EN*)(language=EN*$*)(language=*$EN*)(language=*$EN*$*))"},
      {"list, ordering", Compare("Language", "EN", Op::kGreaterOrEqual), nullptr},
      {"typed name", Compare("Notify", "cn=a(b)"), "(notify=cn=a\\28b\\29#*)"},
      {"typed name, ordering", Compare("Notify", "cn=a", Op::kLessOrEqual), nullptr},
      {"boolean", Compare("Login Disabled", "", Op::kEqual, 1), "(loginDisabled=TRUE)"},
      {"integer", Compare("Login Grace Limit", "", Op::kLessOrEqual, -6), "(loginGraceLimit<=-6)"},
      {"counter, negative read unsigned", Compare("Revision", "", Op::kEqual, -1),
       "(revision=4294967295)"},
      {"interval", Compare("Password Expiration Interval", "", Op::kGreaterOrEqual, 60),
       "(passwordExpirationInterval>=60)"},
      {"time", Compare("Login Time", "", Op::kGreaterOrEqual, 1086004800),
       "(loginTime>=20040531120000Z)"},
      {"time before the epoch", Compare("Login Time", "", Op::kEqual, -5),
       "(loginTime=19700101000000Z)"},
      {"timestamp", Compare("Synchronized Up To", "", Op::kEqual, 5), "(synchronizedUpTo=5#*)"},
      {"timestamp, ordering", Compare("Synchronized Up To", "", Op::kGreaterOrEqual, 5), nullptr},
      {"hold", Compare("Server Holds", "", Op::kApprox, 7), "(serverHolds=*#7)"},
      {"hold, ordering", Compare("Server Holds", "", Op::kLessOrEqual, 7), nullptr},
      {"octets", Compare("Public Key", "ab"), nullptr},
      {"a failing term fails the whole filter",
       Node(Kind::kAnd, {Term(Kind::kPresent, "CN"), Compare("Public Key", "ab")}), nullptr},
  };
  const SchemaCatalog schema;
  const std::vector<std::string> namingTypes = {"cn", "ou"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string text = "left over";
    const int32_t code = LdapFilterText(c.filter, schema, namingTypes, text);
    if (c.text == nullptr) {
      EXPECT_EQ(code, kDirInvalidFilter);
      continue;
    }
    ASSERT_EQ(code, kDirOk);
    EXPECT_EQ(text, c.text);
  }
}

TEST(LdapFilterTest, EscapesValues) {
  EXPECT_EQ(EscapeFilterValue(""), "");
  EXPECT_EQ(EscapeFilterValue("plain text"), "plain text");
  EXPECT_EQ(EscapeFilterValue(std::string("*()\\\0", 5)), "\\2A\\28\\29\\5C\\00");
  // Bytes past ASCII are escaped too, which every server reads back as the same UTF-8.
  EXPECT_EQ(EscapeFilterValue("\xC3\xA9"), "\\C3\\A9");
}

}  // namespace
