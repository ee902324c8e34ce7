// Filter texts into token sequences: the conversion is checked against a recording sink, so each
// case states the exact (token, value, syntax) sequence the client would be handed.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "directory/d_nw_search.h"
#include "util/numbers.h"

bool operator==(const DirTimeStamp& a, const DirTimeStamp& b) {
  return a.seconds == b.seconds && a.replicaNumber == b.replicaNumber && a.event == b.event;
}

namespace {

struct Token {
  int token = 0;
  DirFilterValue value;
  uint32_t syntax = 0;
  bool operator==(const Token&) const = default;
};

void PrintTo(const Token& t, std::ostream* os) {
  *os << "{" << t.token;
  if (const auto* text = std::get_if<std::string>(&t.value)) {
    *os << ", \"" << *text << "\"";
  } else if (const auto* number = std::get_if<int32_t>(&t.value)) {
    *os << ", int " << *number;
  } else if (const auto* time = std::get_if<DirTimeStamp>(&t.value)) {
    *os << ", time " << time->seconds;
  }
  *os << ", syntax " << t.syntax << "}";
}

// Attribute syntaxes of a small schema, in the client's numbering.
const std::map<std::string, uint32_t> kSchema = {
    {"Object Class", 20},
    {"Name", 3},
    {"CN", 3},
    {"Description", 3},
    {"Login Disabled", 7},
    {"Revision", 8},
    {"Login Time", 24},
    {"Last Login Time", 24},
    {"Network Address", 12},
    {"Member", 1},
    {"Unknown Syntax", 31},
    {"Syntax Zero", 0},
    {"ACL", 17},
    {"Received Up To", 19},
};

class RecordingSink final : public FilterTokenSink {
 public:
  int32_t StartFilter() override {
    ++starts;
    return startCode;
  }
  int32_t AddToken(int token, const DirFilterValue& value, uint32_t syntax) override {
    if (refuseAt && tokens.size() == *refuseAt) {
      refused.push_back(token);
      return kDirBadSyntax;
    }
    tokens.push_back({token, value, syntax});
    return kDirOk;
  }
  int32_t GetSyntaxId(const std::string& attributeName, uint32_t& syntax) override {
    lookups.push_back(attributeName);
    const auto found = kSchema.find(attributeName);
    if (found == kSchema.end()) {
      return kDirNoSuchAttribute;
    }
    syntax = found->second;
    return kDirOk;
  }

  int starts = 0;
  int32_t startCode = kDirOk;
  std::optional<size_t> refuseAt;  // the index of the first token refused
  std::vector<int> refused;
  std::vector<Token> tokens;
  std::vector<std::string> lookups;
};

struct Converted {
  int32_t code;
  std::vector<Token> tokens;
  int starts;
  DirTimeStamp timeStamp;
};

Converted Convert(const std::string& text) {
  RecordingSink sink;
  FilterConversion conversion(sink);
  const int32_t code = ConvertFilter(text, conversion);
  return {code, sink.tokens, sink.starts, conversion.timeStamp};
}

Token T(int token) {
  return {token, std::monostate{}, 0};
}
Token Text(int token, std::string text, uint32_t syntax) {
  return {token, std::move(text), syntax};
}
Token Int(int32_t number, uint32_t syntax) {
  return {kFilterValue, number, syntax};
}
Token Time(uint32_t seconds, uint32_t syntax) {
  return {kFilterValue, DirTimeStamp{seconds, 0, 0}, syntax};
}

struct SequenceCase {
  const char* name;
  std::string filter;
  int32_t code;
  std::vector<Token> tokens;
};

class FilterSequence : public testing::TestWithParam<SequenceCase> {};

TEST_P(FilterSequence, GivesExactTokens) {
  const SequenceCase& c = GetParam();
  const Converted got = Convert(c.filter);
  EXPECT_EQ(got.code, c.code);
  EXPECT_EQ(got.tokens, c.tokens);
}

const SequenceCase kSequences[] = {
    {"BaseClass",
     "(Base Class=rbsModule2)",
     kDirOk,
     {T(4), T(17), Text(14, "rbsModule2", 20), T(5), T(0)}},
    {"ObjectClassAnyOperatorAnyCase",
     "  ( object class #APPROX#  rbsTask2 )  ",
     kDirOk,
     {T(4), T(17), Text(14, "rbsTask2", 20), T(5), T(0)}},
    {"ClassStarRefused", "(Base Class=*)", kDirInvalidFilter, {T(4), T(0)}},
    {"ClassStarInsideValueKept",
     "(Object Class=rbs*)",
     kDirOk,
     {T(4), T(17), Text(14, "rbs*", 20), T(5), T(0)}},
    {"AuxClassIsOrdinaryObjectClass",
     "(Aux Class=*)",
     kDirOk,
     {T(4), Text(14, "Object Class", 20), T(7), Text(6, "*", 20), T(5), T(0)}},
    {"NameEqualsIsRdnMatch",
     "(Name=Admin)",
     kDirOk,
     {T(4), T(16), Text(14, "Admin", 1), T(5), T(0)}},
    {"CnAndRdnAnyCase",
     "cn=A #OR# rdn = B",
     kDirOk,
     {T(16), Text(14, "A", 1), T(1), T(16), Text(14, "B", 1), T(0)}},
    {"NameEqIsOrdinaryAttribute",
     "(Name#EQ#Admin)",
     kDirOk,
     {T(4), Text(14, "Name", 3), T(7), Text(6, "Admin", 3), T(5), T(0)}},
    {"LessOrEqualTriedBeforeEqual",
     "(Description<=a=b)",
     kDirOk,
     {T(4), Text(14, "Description", 3), T(9), Text(6, "a=b", 3), T(5), T(0)}},
    {"SplitAtFirstOccurrenceOfFirstOperatorTried",
     "(Description=x<=y)",
     kDirNoSuchAttribute,
     {T(4), T(0)}},
    {"EveryOperator",
     "Revision#GE#1 #AND# Revision>=2 #AND# Revision#LE#3 #AND# Revision#APPROX#4 #AND# "
     "Revision#EQ#5",
     kDirOk,
     {Text(14, "Revision", 8), T(8),  Int(1, 8), T(2),
      Text(14, "Revision", 8), T(8),  Int(2, 8), T(2),
      Text(14, "Revision", 8), T(9),  Int(3, 8), T(2),
      Text(14, "Revision", 8), T(10), Int(4, 8), T(2),
      Text(14, "Revision", 8), T(7),  Int(5, 8), T(0)}},
    {"LowerCaseConnectivesStayInValue",
     "(Description=this #and# that #or# #not# so)",
     kDirOk,
     {T(4), Text(14, "Description", 3), T(7), Text(6, "this #and# that #or# #not# so", 3), T(5),
      T(0)}},
    {"Connectives",
     "(CN=a)#AND##NOT#(CN=b)#OR#(CN=c)",
     kDirOk,
     {T(4), T(16), Text(14, "a", 1), T(5), T(2), T(3), T(4), T(16), Text(14, "b", 1), T(5), T(1),
      T(4), T(16), Text(14, "c", 1), T(5), T(0)}},
    {"LineBreaksSeparateTokens",
     "(\r\nCN=a\n)\r#AND#\n\n(\tCN=b\t)",
     kDirOk,
     {T(4), T(16), Text(14, "a", 1), T(5), T(2), T(4), T(16), Text(14, "b", 1), T(5), T(0)}},
    {"Present",
     "(Login Disabled#PRESENT#)",
     kDirOk,
     {T(4), T(15), Text(14, "Login Disabled", 7), T(5), T(0)}},
    {"IntegerThroughTextToInt",
     "Revision=2.5",
     kDirOk,
     {Text(14, "Revision", 8), T(7), Int(2, 8), T(0)}},
    {"IntegerNoNumberIsMinusOne",
     "Revision=abc",
     kDirOk,
     {Text(14, "Revision", 8), T(7), Int(-1, 8), T(0)}},
    {"IntegerOutOfRange", "Revision=99999999999", kDirInvalidFilter, {T(0)}},
    {"SyntaxZeroHasNoValue",
     "Syntax Zero=x",
     kDirOk,
     {Text(14, "Syntax Zero", 0), T(7), {kFilterValue, std::monostate{}, 0}, T(0)}},
    {"SyntaxAbove27HasNoValue",
     "Unknown Syntax=x",
     kDirOk,
     {Text(14, "Unknown Syntax", 31), T(7), {kFilterValue, std::monostate{}, 31}, T(0)}},
    {"SyntaxWithoutTextForm", "(Network Address=x)", kDirInvalidFilter, {T(4), T(0)}},
    {"UnknownAttribute", "(Nonesuch=1)", kDirNoSuchAttribute, {T(4), T(0)}},
    {"LineWithoutOperator", "(Base Class)", kDirInvalidFilter, {T(4), T(0)}},
    {"UnbalancedAsksNothing", "((Base Class=rbsRole2)", kDirInvalidFilter, {}},
    {"OnlyBlanksAddNothing", " \t  ", kDirInvalidFilter, {}},
    {"OnlyLineBreaks", "\r\n\n\r", kDirInvalidFilter, {}},
    {"EmptyParentheses", "()", kDirOk, {T(4), T(5), T(0)}},
};

INSTANTIATE_TEST_SUITE_P(Filters, FilterSequence, testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FilterConversion, BooleanSpellings) {
  struct Case {
    const char* value;
    std::optional<int32_t> expected;  // nullopt: refused
  };
  const Case cases[] = {
      {"TRUE", 1},    {"true", 1}, {"#TRUE#", 1}, {"#Yes#", 1}, {"FALSE", 0},
      {"#false#", 0}, {"#NO#", 0}, {"YES", {}},   {"1", {}},    {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const Converted got = Convert(std::string("Login Disabled=") + c.value);
    if (c.expected) {
      EXPECT_EQ(got.code, kDirOk);
      EXPECT_EQ(got.tokens, (std::vector<Token>{Text(14, "Login Disabled", 7), T(7),
                                                Int(*c.expected, 7), T(0)}));
    } else {
      // No comparison without a value reaches the client.
      EXPECT_EQ(got.code, kDirInvalidFilter);
      EXPECT_EQ(got.tokens, std::vector<Token>{T(0)});
    }
  }
}

TEST(FilterConversion, DatesAsDirectoryTimes) {
  struct Case {
    const char* value;
    std::optional<uint32_t> seconds;  // nullopt: refused
  };
  const Case cases[] = {
      {"2004-05-31", 1085961600u},
      {"2004/05/31", 1085961600u},
      {"2004-5-31", 1085961600u},
      {"1970-01-01", 0u},
      {"2000-02-29", 951782400u},
      {"2106-02-07", 4294944000u},  // the last day the 32-bit seconds reach
      {"2106-02-08", {}},
      {"1969-12-31", {}},
      {"2001-02-29", {}},
      {"2004-13-01", {}},
      {"0000-01-01", {}},
      {"2004/05-31", {}},
      {"2004-05-31 12:00", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const Converted got = Convert(std::string("Login Time>=") + c.value);
    if (c.seconds) {
      EXPECT_EQ(got.code, kDirOk);
      EXPECT_EQ(got.tokens,
                (std::vector<Token>{Text(14, "Login Time", 24), T(8), Time(*c.seconds, 24), T(0)}));
      EXPECT_EQ(got.timeStamp, (DirTimeStamp{*c.seconds, 0, 0}));
    } else {
      // A date that cannot be converted fails the search rather than reporting 0 found.
      EXPECT_EQ(got.code, kDirInvalidFilter);
      EXPECT_EQ(got.timeStamp, DirTimeStamp{});
    }
  }
}

TEST(FilterConversion, TimeStampIsTheLastTimeValue) {
  const Converted two =
      Convert("(Login Time>=2004-05-31) #AND# (Received Up To<=2005/01/01) #AND# (Revision=3)");
  EXPECT_EQ(two.code, kDirOk);
  EXPECT_EQ(two.timeStamp, (DirTimeStamp{1104537600u, 0, 0}));

  const Converted none = Convert("(Revision=3)");
  EXPECT_EQ(none.timeStamp, DirTimeStamp{});
}

TEST(FilterConversion, FilterStartedOnceByFirstNonEmptyLine) {
  EXPECT_EQ(Convert("(CN=a)#AND#(CN=b)").starts, 1);
  EXPECT_EQ(Convert(" \t ").starts, 0);
  EXPECT_EQ(Convert("((CN=a)").starts, 0);
  // The line is the first non-empty one even when it then fails.
  EXPECT_EQ(Convert("no operator").starts, 1);

  RecordingSink sink;
  sink.startCode = kDirNotEnoughMemory;
  FilterConversion conversion(sink);
  EXPECT_EQ(ConvertFilter("(CN=a)", conversion), kDirNotEnoughMemory);
  EXPECT_TRUE(sink.tokens.empty());
}

TEST(FilterConversion, RefusedTokenEndsConversion) {
  // The client refuses the third token; nothing after it is added but the end token.
  RecordingSink sink;
  sink.refuseAt = 2;
  FilterConversion conversion(sink);
  EXPECT_EQ(ConvertFilter("(CN=a)#AND#(Revision=1)", conversion), kDirBadSyntax);
  EXPECT_EQ(sink.refused, (std::vector<int>{14, 0}));
  EXPECT_EQ(sink.tokens, (std::vector<Token>{T(4), T(16)}));
  EXPECT_TRUE(sink.lookups.empty());

  // A refused end token is the conversion's failure, not a success.
  RecordingSink endSink;
  endSink.refuseAt = 3;
  FilterConversion endConversion(endSink);
  EXPECT_EQ(ConvertFilter("#NOT# CN=a", endConversion), kDirBadSyntax);
  EXPECT_EQ(endSink.refused, std::vector<int>{0});
}

TEST(FilterToLines, EveryStructuralTokenOnItsOwnLine) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"(a)", {"", "(", "a", ")"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\n\nb", {"a", "", "", "b"}},
      {")(",
       {
           "",
           ")",
           "(",
       }},
      // "#AND#" is split out before "#OR#" is looked for, so the shared "#" belongs to "#AND#".
      {"#OR#AND#", {"#OR", "#AND#"}},
      {"#AND#OR#", {"", "#AND#", "OR#"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FilterToLines(c.text), c.lines);
  }
}

}  // namespace
