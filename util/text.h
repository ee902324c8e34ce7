#pragma once
// Text helpers every layer uses: choice and tables, searching, cutting, trimming, replacing, and
// turning byte buffers into texts. A text is a std::string of bytes; positions are 1-based with
// 0 for not found; wherever case is ignored only the ASCII letters a-z/A-Z are folded.
#include <bitset>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

// A set of byte values; build one with MakeCharSet.
using CharSet = std::bitset<256>;

// A text table: index 0 is the first entry, its highest index is size() - 1.
using TextTable = std::span<const std::string_view>;

// The hash of a map keyed by texts that is looked up by any text (with std::equal_to<>) without
// making a string of it: such lookups come by the hundred thousand.
struct TextHash {
  using is_transparent = void;
  [[nodiscard]] size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

// The set holding every byte of `chars`.
[[nodiscard]] CharSet MakeCharSet(std::string_view chars);

// Choice and tables.

// `ifSet` when `flag` is true, else `ifClear`.
[[nodiscard]] std::string ChooseText(bool flag, std::string_view ifSet, std::string_view ifClear);
// "TRUE" for any non-zero byte, "FALSE" for 0.
[[nodiscard]] std::string BoolText(uint8_t flag);
// The entry at `index`; "n/a" when `index` is negative or past the last entry.
[[nodiscard]] std::string PickText(int64_t index, TextTable table);
// Zero-based index of the first entry equal to `text` (exactly, or ignoring ASCII case when
// `caseSensitive` is false); -1 when no entry matches.
[[nodiscard]] int IndexOfWord(std::string_view text, TextTable table, bool caseSensitive);
// IndexOfWord(...) >= 0.
[[nodiscard]] bool IsOneOfWords(std::string_view text, TextTable table, bool caseSensitive);
[[nodiscard]] uint16_t MinWord(uint16_t a, uint16_t b);
[[nodiscard]] int32_t MinInt(int32_t a, int32_t b);

// Comparing and searching.

// `a` equals `b` when ASCII letter case is ignored; other bytes compare exactly.
[[nodiscard]] bool SameTextAscii(std::string_view a, std::string_view b);
// `text` with a-z folded to A-Z; every other byte unchanged.
[[nodiscard]] std::string UpperAscii(std::string_view text);
// `c` with A-Z folded to a-z; every other byte unchanged.
[[nodiscard]] constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
// Writes `text` with A-Z folded to a-z to `out`, which holds at least text.size() bytes. Keys of
// names are folded by the hundred thousand; this takes eight bytes a step.
void LowerAsciiInto(std::string_view text, char* out);
// 1-based position of the first `needle` in `haystack`, ASCII case ignored; 0 when absent or
// when `needle` is empty. This is the whole "contains the pattern" test of the item lists:
// no wildcards, `*` and `?` stand for themselves.
[[nodiscard]] size_t PosText(std::string_view needle, std::string_view haystack);
// Exact 1-based position when `caseSensitive`, else PosText; 0 when absent or `needle` empty.
[[nodiscard]] size_t PosWithCase(std::string_view needle, std::string_view haystack,
                                 bool caseSensitive);

// Cutting, splitting and joining; every search here is exact and finds the first occurrence.

// The text up to the first `delimiter` (without it when `dropDelimiter`, with it otherwise);
// the whole text when `delimiter` does not occur or is empty.
[[nodiscard]] std::string TextBefore(std::string_view text, std::string_view delimiter,
                                     bool dropDelimiter);
// The text from the first `delimiter` on (after it when `dropDelimiter`, starting with it
// otherwise); the whole text when `delimiter` does not occur or is empty.
[[nodiscard]] std::string TextAfter(std::string_view text, std::string_view delimiter,
                                    bool dropDelimiter);

struct HeadTail {
  std::string head;
  std::string tail;
};
// Head before the first `delimiter` and tail after it; head = `text`, tail = "" when the
// delimiter does not occur or is empty.
[[nodiscard]] HeadTail SplitAtFirst(std::string_view text, std::string_view delimiter);
// SplitAtFirst written to `head` and `tail`; `text` is taken by value, so the caller may pass
// the same variable as `text` and as `tail` (or `head`).
void SplitAtFirstSafe(std::string text, std::string_view delimiter, std::string& head,
                      std::string& tail);

struct ThreeParts {
  std::string first;
  std::string second;
  std::string third;
};
// Before the first `delimiter`, between the first and the second, after the second; missing
// parts are empty ('a' gives 'a', '', '').
[[nodiscard]] ThreeParts SplitInThree(std::string_view text, std::string_view delimiter);
// `text` when it starts with `prefix`, else prefix + text.
[[nodiscard]] std::string EnsurePrefix(std::string_view text, std::string_view prefix);
// first + separator + second when both are non-empty, else first + second.
[[nodiscard]] std::string JoinWith(std::string_view first, std::string_view second,
                                   std::string_view separator);

// Trimming and counting.

// `text` without its trailing bytes that occur anywhere in `chars`.
[[nodiscard]] std::string TrimRightChars(std::string_view text, std::string_view chars);
// `text` without its leading bytes that occur anywhere in `chars`.
[[nodiscard]] std::string TrimLeftChars(std::string_view text, std::string_view chars);
[[nodiscard]] std::string TrimRightSet(std::string_view text, CharSet set);
[[nodiscard]] std::string TrimLeftSet(std::string_view text, CharSet set);
// How many bytes of `text` belong to `set`.
[[nodiscard]] size_t CountCharsInSet(std::string_view text, CharSet set);

// Replacing.

// `text` with the first (or, with `all`, every) occurrence of `oldText` replaced by `newText`,
// left to right without overlap; text brought in by `newText` is never searched again
// ('aaa', 'a' -> 'aa', all: 'aaaaaa'). Unchanged when `oldText` is empty or equals `newText`.
[[nodiscard]] std::string ReplaceText(std::string_view text, std::string_view oldText,
                                      std::string_view newText, bool caseSensitive, bool all);
// ReplaceText written back to `text`.
void ReplaceTextInPlace(std::string& text, std::string_view oldText, std::string_view newText,
                        bool caseSensitive, bool all);

// The byte-order mark some editors put at the start of a UTF-8 file.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Text for a terminal or a line-based listing.

// `text` with every control character written as "\x" and two lower-case hex digits per byte:
// C0 (0x00-0x1F, tab and line ends included), DEL (0x7F), and U+0080-U+009F in their UTF-8
// form ("\xc2\x9b"); a byte that begins no valid UTF-8 sequence is written so too. Every other
// byte, a backslash included, is kept, so plain text comes out as it went in.
[[nodiscard]] std::string EscapeControlText(std::string_view text);
// `text` as one field of a tab-separated line that reads back unambiguously: backslash, tab,
// LF and CR as "\\", "\t", "\n" and "\r", every other byte as EscapeControlText writes it.
[[nodiscard]] std::string EscapeListField(std::string_view text);

// Bytes and character buffers. No function reads past the end of the span it is given.

// Capacity of the work area of TextFromBytes / LinesFromBytes: at most 2303 bytes are taken.
inline constexpr size_t kMaxBytesText = 2303;

// Two upper-case hex digits per byte of the first `count` bytes, no separators ('0AFF');
// `count` is limited to the bytes the buffer holds.
[[nodiscard]] std::string HexOfBytes(std::span<const uint8_t> buffer, uint16_t count);
// The bytes from `offset`, at most min(count, 2303) of them, cut at the first NUL; bytes past
// the end of `buffer` are not there (an offset past the end gives "").
[[nodiscard]] std::string TextFromBytes(std::span<const uint8_t> buffer, size_t offset,
                                        size_t count);
// The NUL-separated texts of the same bytes as lines joined by CR LF: every NUL within the
// taken bytes and every tab already in them becomes a line break; a value ending in NUL gives
// a text ending in CR LF.
[[nodiscard]] std::string LinesFromBytes(std::span<const uint8_t> buffer, size_t offset,
                                         size_t count);
// The text of a NUL-terminated buffer; "" for nullptr.
[[nodiscard]] std::string CStringText(const char* buffer);
// Appends one NUL byte unless `text` already ends with one ("" becomes a single NUL).
void NulTerminated(std::string& text);
// The first 32 bytes of a tree name field with the trailing '_' padding removed.
[[nodiscard]] std::string TreeNameText(std::string_view field);
