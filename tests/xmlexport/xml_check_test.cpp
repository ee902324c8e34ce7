// Which keys become element names and which bytes fail an export: a wrong answer either gives a
// document a parser refuses or changes the bytes of one that was fine.
#include "xmlexport/xml_check.h"

#include <gtest/gtest.h>

namespace {

TEST(XmlCheck, NamesFollowTheNameProduction) {
  const std::pair<std::string_view, bool> cases[] = {
      {"a", true},
      {"mode", true},
      {"_x", true},
      {":x", true},
      {"a.b-c_d:e9", true},
      {"tc.x", true},
      {"\xC3\xA9t\xC3\xA9", true},
      {"a\xC2\xB7"
       "b",
       true},  // U+00B7 inside a name
      {"\xC2\xB7"
       "a",
       false},                             // but not at its start
      {"x\xCC\x81", true},                 // a combining mark after the first character
      {"\xE4\xB8\xAD\xE6\x96\x87", true},  // CJK
      {"a\xC3\x97"
       "b",
       false},  // U+00D7 is outside the Name ranges
      {"a\xC3\xB7"
       "b",
       false},  // U+00F7 as well
      {"a\xE2\x80\x8B"
       "b",
       false},  // a zero-width space
      {"a\xFF"
       "b",
       false},  // not UTF-8
      {"\xC3", false},
      {"\xC0\xA1", false},  // an overlong '!'
      {"a\x01", false},
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

TEST(XmlCheck, BadTextIsFoundWhereItStarts) {
  struct Case {
    std::string_view text;
    std::optional<size_t> offset;
    std::optional<char32_t> character;
    std::string_view replaced;
  };
  const Case cases[] = {
      {"", std::nullopt, std::nullopt, ""},
      {"plain\t\r\n", std::nullopt, std::nullopt, "plain\t\r\n"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF", std::nullopt,
       std::nullopt, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF"},
      {std::string_view("a\0b", 3), 1, U'\0',
       "a\xEF\xBF\xBD"
       "b"},
      {"ab\x01", 2, U'\x01', "ab\xEF\xBF\xBD"},
      {"\x1F\x7F", 0, U'\x1F', "\xEF\xBF\xBD\x7F"},  // DEL is a Char
      {"x\xEF\xBF\xBE", 1, U'\uFFFE', "x\xEF\xBF\xBD"},
      {"x\xEF\xBF\xBF", 1, U'\uFFFF', "x\xEF\xBF\xBD"},
      {"a\xFF", 1, std::nullopt, "a\xEF\xBF\xBD"},
      {"\x80", 0, std::nullopt, "\xEF\xBF\xBD"},
      // A truncated sequence is one replacement; the byte that cut it starts anew.
      {"\xE2\x82x", 0, std::nullopt, "\xEF\xBF\xBDx"},
      {"\xE2\x82", 0, std::nullopt, "\xEF\xBF\xBD"},
      {"\xC0\xAF", 0, std::nullopt, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xE0\x80\x80", 0, std::nullopt, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", 0, std::nullopt, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF4\x90\x80\x80", 0, std::nullopt,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
      {"\xF0\x9F\x98", 0, std::nullopt, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    const std::optional<XmlBadText> bad = FindBadXmlText(c.text);
    ASSERT_EQ(bad.has_value(), c.offset.has_value()) << c.text;
    if (bad) {
      EXPECT_EQ(bad->offset, *c.offset) << c.text;
      EXPECT_EQ(bad->character, c.character) << c.text;
      EXPECT_EQ(bad->byte, static_cast<unsigned char>(c.text[*c.offset])) << c.text;
    }
    EXPECT_EQ(ReplaceBadXmlText(c.text), c.replaced) << c.text;
  }
}

}  // namespace
