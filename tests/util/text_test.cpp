// Text helpers: the cases the item lists, the renderers and the XML writers rely on.
#include "util/text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "util/string_list.h"

namespace {

constexpr std::array<std::string_view, 3> kTable = {"Alpha", "beta", "GAMMA"};

TEST(TextTables, PickAndIndex) {
  EXPECT_EQ(PickText(0, kTable), "Alpha");
  EXPECT_EQ(PickText(2, kTable), "GAMMA");
  EXPECT_EQ(PickText(3, kTable), "n/a");
  EXPECT_EQ(PickText(-1, kTable), "n/a");
  EXPECT_EQ(PickText(0, {}), "n/a");
  EXPECT_EQ(IndexOfWord("gamma", kTable, false), 2);
  EXPECT_EQ(IndexOfWord("gamma", kTable, true), -1);
  EXPECT_EQ(IndexOfWord("Alph", kTable, false), -1);
  EXPECT_TRUE(IsOneOfWords("BETA", kTable, false));
  EXPECT_FALSE(IsOneOfWords("", kTable, false));
  EXPECT_EQ(BoolText(0), "FALSE");
  EXPECT_EQ(BoolText(0x80), "TRUE");
  EXPECT_EQ(ChooseText(false, "y", "n"), "n");
}

// The "check items by pattern" test: a plain substring, ASCII case folded, no wildcards.
TEST(TextSearch, PosTextMarksByContainedText) {
  struct Case {
    std::string_view needle, haystack;
    size_t pos;
  };
  const Case cases[] = {
      {"ole", "rbsRole2", 5}, {"ole", "ROLES", 2}, {"r*", "rbsRole2", 0}, {"r*", "ar*b", 2},
      {"?", "a?", 2},         {"", "anything", 0}, {"abc", "ab", 0},      {"\xC4", "\xE4", 0},
      {"x", "", 0},           {"b", "abab", 2},    {"ROLE", "role", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PosText(c.needle, c.haystack), c.pos) << c.needle << " in " << c.haystack;
  }
  EXPECT_EQ(PosWithCase("ROLE", "role", true), 0U);
  EXPECT_EQ(PosWithCase("ROLE", "role", false), 1U);
  EXPECT_TRUE(SameTextAscii("rbsRole2", "RBSROLE2"));
  EXPECT_FALSE(SameTextAscii("\xE4", "\xC4"));
  // Every byte, at every place of a word folded at once and of the bytes after the last word.
  for (const size_t length : {size_t{1}, size_t{8}, size_t{13}}) {
    for (int byte = 0; byte < 256; ++byte) {
      for (size_t at = 0; at < length; ++at) {
        std::string text(length, 'Q');
        text[at] = static_cast<char>(byte);
        std::string folded(length, '\0');
        LowerAsciiInto(text, folded.data());
        std::string expected(length, 'q');
        expected[at] = LowerAscii(static_cast<char>(byte));
        ASSERT_EQ(folded, expected) << "byte " << byte << " at " << at << " of " << length;
      }
    }
  }
}

TEST(TextCutting, BeforeAfterSplitJoin) {
  EXPECT_EQ(TextBefore("a=b", "=", true), "a");
  EXPECT_EQ(TextBefore("a=b", "=", false), "a=");
  EXPECT_EQ(TextAfter("a=b", "=", true), "b");
  EXPECT_EQ(TextAfter("a=b", "=", false), "=b");
  EXPECT_EQ(TextBefore("ab", "=", true), "ab");
  EXPECT_EQ(TextAfter("ab", "=", true), "ab");
  EXPECT_EQ(TextAfter("a::b::c", "::", true), "b::c");

  HeadTail split = SplitAtFirst("a.b.c", ".");
  EXPECT_EQ(split.head, "a");
  EXPECT_EQ(split.tail, "b.c");
  split = SplitAtFirst("abc", "");
  EXPECT_EQ(split.head, "abc");
  EXPECT_EQ(split.tail, "");

  // The launcher walks a command line with the text and the tail in one variable.
  std::string rest = "one two three";
  std::string word;
  SplitAtFirstSafe(rest, " ", word, rest);
  EXPECT_EQ(word, "one");
  EXPECT_EQ(rest, "two three");

  ThreeParts three = SplitInThree("a.b.c", ".");
  EXPECT_EQ(three.first + "|" + three.second + "|" + three.third, "a|b|c");
  three = SplitInThree("a", ".");
  EXPECT_EQ(three.first + "|" + three.second + "|" + three.third, "a||");
  three = SplitInThree("a.b.c.d", ".");
  EXPECT_EQ(three.third, "c.d");

  EXPECT_EQ(JoinWith("", "x", " "), "x");
  EXPECT_EQ(JoinWith("a", "x", " "), "a x");
  EXPECT_EQ(JoinWith("a", "", " "), "a");
  EXPECT_EQ(EnsurePrefix("Acme", "."), ".Acme");
  EXPECT_EQ(EnsurePrefix(".Acme", "."), ".Acme");
}

TEST(TextTrimming, CharsAndSets) {
  EXPECT_EQ(TrimRightChars("1 days, ", ", "), "1 days");
  EXPECT_EQ(TrimRightChars(", , ", ", "), "");
  EXPECT_EQ(TrimLeftChars("__x_", "_"), "x_");
  const CharSet digits = MakeCharSet("0123456789");
  EXPECT_EQ(TrimRightSet("ab12", digits), "ab");
  EXPECT_EQ(TrimLeftSet("12ab3", digits), "ab3");
  EXPECT_EQ(CountCharsInSet("a1b22", digits), 3U);
  EXPECT_EQ(CountCharsInSet("\xFF\xFF", MakeCharSet("\xFF")), 2U);
  EXPECT_EQ(TreeNameText("ACME_TREE_______________________"), "ACME_TREE");
  EXPECT_EQ(TreeNameText("LONG_NAME_TREE_ABCDEFGHIJKLMNOPQRSTU"),
            "LONG_NAME_TREE_ABCDEFGHIJKLMNOPQ");
  EXPECT_EQ(TreeNameText(std::string_view("T__\0junk", 8)), "T");
}

TEST(TextReplacing, LeftToRightWithoutRescanning) {
  struct Case {
    std::string_view text, oldText, newText;
    bool caseSensitive, all;
    std::string_view expected;
  };
  const Case cases[] = {
      {"aaa", "a", "aa", true, true, "aaaaaa"},  // inserted text is not searched again
      {"Abab", "AB", "-", false, true, "--"},
      {"Abab", "AB", "-", true, true, "Abab"},
      {"Abab", "AB", "-", false, false, "-ab"},
      {"aXa", "", "b", true, true, "aXa"},
      {"abc", "b", "b", true, true, "abc"},
      {"aaaa", "aa", "b", true, true, "bb"},  // matches do not overlap
      {"", "a", "b", false, true, ""},
      {"x\ty\t", "\t", "\r\n", true, true, "x\r\ny\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceText(c.text, c.oldText, c.newText, c.caseSensitive, c.all), c.expected)
        << c.text;
  }
  std::string text = "a.b.c";
  ReplaceTextInPlace(text, ".", "\\.", true, true);
  EXPECT_EQ(text, "a\\.b\\.c");
}

TEST(TextBytes, HexAndBufferTexts) {
  const std::vector<uint8_t> bytes = {0x0A, 0xFF};
  EXPECT_EQ(HexOfBytes(bytes, 2), "0AFF");
  EXPECT_EQ(HexOfBytes(bytes, 0), "");
  EXPECT_EQ(HexOfBytes(bytes, 9), "0AFF");  // never past the buffer

  const std::vector<uint8_t> value = {'a', 'b', 0, 'c', '\t', 'd', 0};
  EXPECT_EQ(TextFromBytes(value, 0, value.size()), "ab");
  EXPECT_EQ(TextFromBytes(value, 3, 2), "c\t");
  EXPECT_EQ(TextFromBytes(value, 7, 5), "");
  EXPECT_EQ(TextFromBytes(value, 100, 5), "");
  // A tab in the data also breaks the line; a trailing NUL gives a trailing CR LF.
  EXPECT_EQ(LinesFromBytes(value, 0, value.size()), "ab\r\nc\r\nd\r\n");
  EXPECT_EQ(LinesFromBytes(value, 0, 6), "ab\r\nc\r\nd");
  EXPECT_EQ(LinesFromBytes(value, 0, 100), "ab\r\nc\r\nd\r\n");

  // At most 2303 bytes are taken: one more is cut off, the exact size is kept.
  const std::vector<uint8_t> big(2400, 'x');
  EXPECT_EQ(TextFromBytes(big, 0, big.size()).size(), kMaxBytesText);
  EXPECT_EQ(TextFromBytes(big, 0, kMaxBytesText - 1).size(), kMaxBytesText - 1);
  EXPECT_EQ(LinesFromBytes(big, 200, big.size()).size(), big.size() - 200);

  EXPECT_EQ(CStringText(nullptr), "");
  EXPECT_EQ(CStringText("abc"), "abc");
  std::string name;
  NulTerminated(name);
  EXPECT_EQ(name, std::string(1, '\0'));
  NulTerminated(name);
  EXPECT_EQ(name.size(), 1U);
  name = "Acme";
  NulTerminated(name);
  EXPECT_EQ(name, std::string("Acme\0", 5));
}

TEST(TextEscapes, ControlBytesAreShownNotObeyed) {
  struct Case {
    std::string text;
    std::string shown;
    std::string field;
  };
  const Case cases[] = {
      {"plain \xC3\xA9 C:\\x", "plain \xC3\xA9 C:\\x", "plain \xC3\xA9 C:\\\\x"},
      {"\x1B]0;PWNED\x07\x1B[2J", "\\x1b]0;PWNED\\x07\\x1b[2J", "\\x1b]0;PWNED\\x07\\x1b[2J"},
      {"a\tb\nc\rd", "a\\x09b\\x0ac\\x0dd", "a\\tb\\nc\\rd"},
      {std::string("n\0\x7F", 3), "n\\x00\\x7f", "n\\x00\\x7f"},
      // U+009B is a one-character CSI to some terminals; U+00A0 is text.
      {"\xC2\x9B\xC2\xA0", "\\xc2\\x9b\xC2\xA0", "\\xc2\\x9b\xC2\xA0"},
      // Bytes that begin no UTF-8 sequence, and one cut off at the end.
      {"\xFF\x9B\xE2\x82", "\\xff\\x9b\\xe2\\x82", "\\xff\\x9b\\xe2\\x82"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControlText(c.text), c.shown) << c.shown;
    EXPECT_EQ(EscapeListField(c.text), c.field) << c.shown;
  }
}

TEST(StringList, SortedListsFoldCaseAndKeepDuplicates) {
  TStringList list(true);
  list.Add("beta", 2);
  list.Add("Alpha", 1);
  list.Add("ALPHA", 3);
  list.Add("_under", 4);
  list.Add("gamma", 5);
  EXPECT_EQ(list.Texts(), (std::vector<std::string>{"Alpha", "ALPHA", "beta", "gamma", "_under"}));
  EXPECT_EQ(list.Number(1), 3);
  EXPECT_EQ(list.IndexOf("alpha"), 0);
  EXPECT_EQ(list.IndexOf("delta"), -1);
  list.Delete(0);
  list.Delete(99);
  EXPECT_EQ(list.IndexOf("alpha"), 0);
  EXPECT_EQ(list.Number(0), 3);

  TStringList unsorted;
  unsorted.Add("b");
  unsorted.Add("a", 7);
  EXPECT_EQ(unsorted.IndexOf("A"), 1);
  unsorted.SetSorted(true);
  EXPECT_EQ(unsorted.Text(0), "a");
  EXPECT_EQ(unsorted.Number(0), 7);
  EXPECT_EQ(CompareTextAscii("ab", "AB"), 0);
  EXPECT_LT(CompareTextAscii("a", "ab"), 0);
  EXPECT_GT(CompareTextAscii("\xE4", "z"), 0);
}

}  // namespace
