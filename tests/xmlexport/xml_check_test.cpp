// The content and name checks decide whether directory text is escaped, so a wrong "not
// well-formed" changes the bytes of a document that was fine, and a wrong "well-formed" leaves a
// broken one.
#include "xmlexport/xml_check.h"

#include <gtest/gtest.h>

namespace {

struct ContentCase {
  std::string_view text;
  bool wellFormed;
};

TEST(XmlCheck, ContentIsJudgedAsAWellFormedElementBodyWould) {
  const ContentCase cases[] = {
      {"", true},
      {"plain text", true},
      {"a > b", true},  // '>' alone is allowed in character data
      {"2.6.1\r\n", true},
      {"&amp;&lt;&gt;&quot;&apos;", true},
      {"&#65;&#x41;&#x10FFFF;&#9;", true},
      {"<b>bold</b> and <i/>", true},
      {"<a x='1' y=\"&amp;2\"><b>t</b></a>", true},
      {"<a\r\n  x = '1' >t</a >", true},
      {"<!-- note -->text<![CDATA[<raw> & ]]><?pi data?><?pi?>", true},
      {"<?xml-stylesheet href='a'?>", true},
      {"\xC3\xA9l\xC3\xA8ve <\xC3\xA9t\xC3\xA9>x</\xC3\xA9t\xC3\xA9>", true},
      {"a & b", false},
      {"&nbsp;", false},  // no document type, so no entity beyond the five
      {"&#0;", false},
      {"&#xD800;", false},
      {"&#99999999999999999999;", false},
      {"&;", false},
      {"a < b", false},
      {"<b>", false},
      {"<b></c>", false},
      {"<a><b></a></b>", false},
      {"<1a></1a>", false},
      {"<a x=1></a>", false},
      {"<a x='1' x='2'></a>", false},
      {"<a x='<'></a>", false},
      {"<a x='&'></a>", false},
      {"<a x='1></a>", false},
      {"]]>", false},
      {"<!-- a -- b -->", false},
      {"<!-- a --->", false},
      {"<![CDATA[ open", false},
      {"<?xml version='1.0'?>", false},
      {"<?pi-no-blank?x?>", false},
      {"<!DOCTYPE x>", false},
      {"x</install><install>y", false},
  };
  for (const ContentCase& c : cases) {
    EXPECT_EQ(IsWellFormedContent(c.text), c.wellFormed) << c.text;
  }
}

TEST(XmlCheck, DeepNestingIsCheckedWithoutRecursion) {
  std::string deep;
  for (int i = 0; i < 200'000; ++i) {
    deep += "<a>";
  }
  EXPECT_FALSE(IsWellFormedContent(deep));
  for (int i = 0; i < 200'000; ++i) {
    deep += "</a>";
  }
  EXPECT_TRUE(IsWellFormedContent(deep));
}

TEST(XmlCheck, NamesFollowTheNameProduction) {
  const std::pair<std::string_view, bool> cases[] = {
      {"a", true},
      {"mode", true},
      {"_x", true},
      {":x", true},
      {"a.b-c_d:e9", true},
      {"tc.x", true},
      {"\xC3\xA9t\xC3\xA9", true},
      {"", false},
      {"1a", false},
      {"-a", false},
      {".a", false},
      {"my key", false},
      {"a<b", false},
      {"a&b", false},
      {"a>b", false},
      {"a/b", false},
      {"a\tb", false},
      {"a=b", false},
      {"a\r\nb", false},
  };
  for (const auto& [text, isName] : cases) {
    EXPECT_EQ(IsXmlName(text), isName) << text;
  }
}

TEST(XmlCheck, EscapingCoversExactlyTheThreeMarkupCharacters) {
  EXPECT_EQ(EscapeXmlText("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d\"e'f");
}

}  // namespace
