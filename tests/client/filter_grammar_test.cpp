// The filter grammar and tree builder on their own: which token may follow which, what a refused
// token leaves behind, when a filter is finished, its size in a buffer, and the tree a sequence
// builds (precedence, parentheses, operands, names as values).
#include "directory/client/filter_grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/client/builtin_schema.h"

namespace {

const FilterToken kOpen{kFilterOpen, {}, 0};
const FilterToken kClose{kFilterClose, {}, 0};
const FilterToken kAnd{kFilterAnd, {}, 0};
const FilterToken kOr{kFilterOr, {}, 0};
const FilterToken kNot{kFilterNot, {}, 0};
const FilterToken kBase{kFilterBaseClass, {}, 0};
const FilterToken kRdn{kFilterRdn, {}, 0};
const FilterToken kPresent{kFilterPresent, {}, 0};
const FilterToken kEqual{kFilterEqual, {}, 0};
const FilterToken kGreater{kFilterGreaterOrEqual, {}, 0};
const FilterToken kEnd{kFilterEnd, {}, 0};

FilterToken Attribute(std::string name, uint32_t syntax = kSyntaxCaseIgnoreString) {
  return FilterToken{kFilterAttribute, std::move(name), syntax};
}
FilterToken Text(std::string value) {
  return FilterToken{kFilterValue, std::move(value), 0};
}
FilterToken Number(int32_t value) {
  return FilterToken{kFilterValue, value, 0};
}
FilterToken Time(uint32_t seconds) {
  return FilterToken{kFilterValue, DirTimeStamp{seconds, 0, 0}, 0};
}

// The filter of `tokens`; the index of the first token refused (tokens.size() when none was).
size_t AddAll(FilterTokens& filter, const std::vector<FilterToken>& tokens) {
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (filter.Add(tokens[i]) != kDirOk)
      return i;
  }
  return tokens.size();
}

TEST(FilterGrammar, TokensFollowOnlyWhereTheGrammarAllows) {
  struct Case {
    const char* label;
    std::vector<FilterToken> tokens;
    size_t refused;
    int32_t finished;  // Finished() after the tokens taken
  };
  const FilterToken cls = Attribute("User", kSyntaxClassName);
  const std::vector<Case> cases = {
      {"nothing", {}, 0, kDirFilterTreeEmpty},
      {"only the end", {kEnd}, 1, kDirFilterTreeEmpty},
      {"a term without end", {kBase, cls}, 2, kDirOk},
      {"a term and its end", {kBase, cls, kEnd}, 3, kDirOk},
      {"nothing after the end", {kBase, cls, kEnd, kAnd}, 3, kDirOk},
      {"an end after an end", {kEnd, kEnd}, 1, kDirFilterTreeEmpty},
      {"a close first", {kClose}, 0, kDirFilterTreeEmpty},
      {"a value first", {Text("x")}, 0, kDirFilterTreeEmpty},
      {"a connective first", {kAnd}, 0, kDirFilterTreeEmpty},
      {"two connectives", {kBase, cls, kAnd, kOr}, 3, kDirBadSyntax},
      {"an unclosed open", {kOpen, kBase, cls, kEnd}, 3, kDirBadSyntax},
      {"a close too many", {kOpen, kBase, cls, kClose, kClose}, 4, kDirOk},
      {"nested, closed",
       {kNot, kOpen, kOpen, kPresent, Attribute("CN"), kClose, kClose},
       7,
       kDirOk},
      {"an operand without attribute", {kRdn, kEqual}, 1, kDirBadSyntax},
      {"an empty attribute name", {Attribute("")}, 0, kDirFilterTreeEmpty},
      {"an attribute name that is no text",
       {FilterToken{kFilterAttribute, int32_t{1}, 3}},
       0,
       kDirFilterTreeEmpty},
      {"an operand's empty attribute", {kPresent, Attribute("")}, 1, kDirBadSyntax},
      {"a comparison", {Attribute("Surname"), kEqual, Text("x")}, 3, kDirOk},
      {"a comparison without operator", {Attribute("Surname"), Text("x")}, 1, kDirBadSyntax},
      {"a comparison without value", {Attribute("Surname"), kEqual, kEnd}, 2, kDirBadSyntax},
      {"a token number out of range", {FilterToken{99, {}, 0}}, 0, kDirFilterTreeEmpty},
      {"an operator between operators", {Attribute("Surname"), kEqual, kGreater}, 2, kDirBadSyntax},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FilterTokens filter;
    EXPECT_EQ(AddAll(filter, c.tokens), c.refused);
    EXPECT_EQ(filter.Tokens().size(), c.refused);  // a refused token is not kept
    EXPECT_EQ(filter.Finished(), c.finished);
  }
}

TEST(FilterGrammar, ValuesMustBeOfTheKindTheirSyntaxTakes) {
  struct Case {
    uint32_t syntax;
    FilterToken value;
    bool taken;
  };
  const Case cases[] = {
      {kSyntaxCaseIgnoreString, Text("x"), true},
      {kSyntaxCaseIgnoreString, Number(1), false},
      {kSyntaxDistinguishedName, Text("Admin"), true},
      {kSyntaxClassName, Text("User"), true},
      {kSyntaxTypedName, Text("x"), true},
      {kSyntaxNumericString, Text("12"), true},
      {kSyntaxInteger, Number(-5), true},
      {kSyntaxInteger, Text("5"), false},
      {kSyntaxBoolean, Number(1), true},
      {kSyntaxInterval, Number(60), true},
      {kSyntaxTimestamp, Time(10), true},
      {kSyntaxTimestamp, Number(10), false},
      {kSyntaxTime, Time(10), true},
      {kSyntaxOctetString, Text("x"), false},  // binary syntaxes take no value at all
      {kSyntaxStream, Number(1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.syntax);
    FilterTokens filter;
    ASSERT_EQ(filter.Add(Attribute("A", c.syntax)), kDirOk);
    ASSERT_EQ(filter.Add(kEqual), kDirOk);
    EXPECT_EQ(filter.Add(c.value), c.taken ? kDirOk : kDirBadSyntax);
    // After a refusal the filter still waits for a value.
    EXPECT_EQ(filter.Finished(), c.taken ? kDirOk : kDirBadSyntax);
  }
}

TEST(FilterGrammar, BytesCountEveryTokenAndItsValue) {
  FilterTokens filter;
  EXPECT_EQ(filter.Bytes(), 0u);
  ASSERT_EQ(AddAll(filter, {kOpen, Attribute("Surname"), kEqual, Text("Smith"), kClose}), 5u);
  // 8 a token; the texts with their NUL.
  EXPECT_EQ(filter.Bytes(), 5 * 8 + 8u + 6u);
  ASSERT_EQ(AddAll(filter, {kAnd, Attribute("Age", kSyntaxInteger), kGreater, Number(3)}), 4u);
  EXPECT_EQ(filter.Bytes(), 9 * 8 + 8u + 6u + 4u + 4u);
  ASSERT_EQ(AddAll(filter, {kAnd, Attribute("T", kSyntaxTime), kEqual, Time(1)}), 4u);
  EXPECT_EQ(filter.Bytes(), 13 * 8 + 8u + 6u + 4u + 4u + 2u + 8u);
  EXPECT_NE(filter.Add(kClose), kDirOk);  // a refused token adds nothing
  EXPECT_EQ(filter.Bytes(), 13 * 8 + 8u + 6u + 4u + 4u + 2u + 8u);
}

// The tree as one line: AND(...), OR(...), NOT(...), class:X, rdn:TYPE=X, has:X, X=Y, X>=Y ...
std::string Shape(const FilterNode& node) {
  const auto children = [&](const char* name) {
    std::string text = std::string(name) + "(";
    for (size_t i = 0; i < node.children.size(); ++i)
      text += (i > 0 ? "," : "") + Shape(node.children[i]);
    return text + ")";
  };
  switch (node.kind) {
    case FilterNode::Kind::kAnd:
      return children("AND");
    case FilterNode::Kind::kOr:
      return children("OR");
    case FilterNode::Kind::kNot:
      return children("NOT");
    case FilterNode::Kind::kBaseClass:
      return "class:" + node.text;
    case FilterNode::Kind::kRdn:
      return "rdn:" + node.rdnType + "=" + node.text;
    case FilterNode::Kind::kPresent:
      return "has:" + node.text;
    case FilterNode::Kind::kCompare: {
      const char* op = node.op == FilterNode::Op::kGreaterOrEqual ? ">="
                       : node.op == FilterNode::Op::kLessOrEqual  ? "<="
                       : node.op == FilterNode::Op::kApprox       ? "~="
                                                                  : "=";
      const bool text =
          node.syntax == kSyntaxDistinguishedName || node.syntax == kSyntaxCaseIgnoreString;
      return node.text + op + (text ? node.textValue : std::to_string(node.numberValue));
    }
  }
  return "?";
}

TEST(FilterGrammar, FinishedFiltersBuildTheirTree) {
  // Attribute names in their directory form, names as values resolved (or refused).
  FilterNaming naming;
  naming.attributeName = [](std::string_view name) { return "<" + std::string(name) + ">"; };
  naming.nameValue = [](std::string_view name) -> std::optional<std::string> {
    if (name == "nobody")
      return std::nullopt;
    return "dn:" + std::string(name);
  };
  const FilterToken cls = Attribute("User", kSyntaxClassName);
  const FilterToken surname = Attribute("Surname");
  const FilterToken member = Attribute("Member", kSyntaxDistinguishedName);
  const FilterToken approx{kFilterApprox, {}, 0};
  const FilterToken less{kFilterLessOrEqual, {}, 0};
  struct Case {
    const char* label;
    std::vector<FilterToken> tokens;
    int32_t code;
    std::string shape;
  };
  const std::vector<Case> cases = {
      {"one term", {kBase, cls, kEnd}, kDirOk, "class:User"},
      {"AND binds tighter than OR",
       {kBase, cls, kOr, kPresent, surname, kAnd, kNot, kRdn, Attribute("CN=x*")},
       kDirOk,
       "OR(class:User,AND(has:<Surname>,NOT(rdn:CN=x*)))"},
      {"parentheses group",
       {kOpen, kBase, cls, kOr, kPresent, surname, kClose, kAnd, kNot, kNot, kPresent, surname},
       kDirOk,
       "AND(OR(class:User,has:<Surname>),NOT(NOT(has:<Surname>)))"},
      {"runs of one connective are one node",
       {kBase, cls, kAnd, kBase, cls, kAnd, kBase, cls},
       kDirOk,
       "AND(class:User,class:User,class:User)"},
      {"comparisons and their operators",
       {surname, approx, Text("Sm*th"), kOr, Attribute("Age", kSyntaxInteger), less, Number(-2),
        kOr, Attribute("T", kSyntaxTime), kGreater, Time(7)},
       kDirOk,
       "OR(<Surname>~=Sm*th,<Age><=-2,<T>>=7)"},
      {"a typeless RDN keeps no type", {kRdn, Attribute("Admin")}, kDirOk, "rdn:=Admin"},
      {"an RDN that is a longer name stays as written",
       {kRdn, Attribute("Admin.Sales")},
       kDirOk,
       "rdn:=Admin.Sales"},
      {"names as values are resolved",
       {member, kEqual, Text("Admin")},
       kDirOk,
       "<Member>=dn:Admin"},
      {"a name that resolves to nothing",
       {member, kEqual, Text("nobody")},
       kDirInvalidObjectName,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FilterTokens filter;
    ASSERT_EQ(AddAll(filter, c.tokens), c.tokens.size());
    ASSERT_EQ(filter.Finished(), kDirOk);
    FilterNode root;
    EXPECT_EQ(BuildFilterTree(filter, naming, root), c.code);
    if (c.code == kDirOk) {
      EXPECT_EQ(Shape(root), c.shape);
    }
  }
}

}  // namespace
