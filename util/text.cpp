// Text helpers: choice, searching, cutting, trimming, replacing and byte buffers.
#include "util/text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool InSet(const CharSet& set, char c) {
  return set.test(static_cast<unsigned char>(c));
}

// 1-based position of the exact needle; 0 when absent or empty.
size_t PosExact(std::string_view needle, std::string_view haystack) {
  if (needle.empty()) {
    return 0;
  }
  const size_t at = haystack.find(needle);
  return at == std::string_view::npos ? 0 : at + 1;
}

// The bytes TextFromBytes and LinesFromBytes work on: at most kMaxBytesText from `offset`,
// never past the end of the buffer.
std::string_view TakenBytes(std::span<const uint8_t> buffer, size_t offset, size_t count) {
  if (offset >= buffer.size()) {
    return {};
  }
  const size_t taken = std::min({count, kMaxBytesText, buffer.size() - offset});
  return {reinterpret_cast<const char*>(buffer.data()) + offset, taken};
}

}  // namespace

CharSet MakeCharSet(std::string_view chars) {
  CharSet set;
  for (char c : chars) {
    set.set(static_cast<unsigned char>(c));
  }
  return set;
}

std::string ChooseText(bool flag, std::string_view ifSet, std::string_view ifClear) {
  return std::string(flag ? ifSet : ifClear);
}

std::string BoolText(uint8_t flag) {
  return flag != 0 ? "TRUE" : "FALSE";
}

std::string PickText(int64_t index, TextTable table) {
  if (index < 0 || static_cast<uint64_t>(index) >= table.size()) {
    return "n/a";
  }
  return std::string(table[static_cast<size_t>(index)]);
}

int IndexOfWord(std::string_view text, TextTable table, bool caseSensitive) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (caseSensitive ? table[i] == text : SameTextAscii(table[i], text)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool IsOneOfWords(std::string_view text, TextTable table, bool caseSensitive) {
  return IndexOfWord(text, table, caseSensitive) >= 0;
}

uint16_t MinWord(uint16_t a, uint16_t b) {
  return std::min(a, b);
}

int32_t MinInt(int32_t a, int32_t b) {
  return std::min(a, b);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  // Names are mostly compared with their own spelling, which the byte compare settles at once.
  return a.size() == b.size() &&
         (a == b || std::equal(a.begin(), a.end(), b.begin(),
                               [](char x, char y) { return UpperChar(x) == UpperChar(y); }));
}

void LowerAsciiInto(std::string_view text, char* out) {
  constexpr uint64_t kEveryByte = 0x0101010101010101u;
  size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + at, 8);
    // A byte's top bit, after adding to its low seven bits, tells whether they reach 'A', and
    // whether they pass 'Z'; no sum carries into the next byte. Bytes from 0x80 stay as they are.
    const uint64_t low = word & (0x7Fu * kEveryByte);
    const uint64_t fromA = low + (0x80u - 'A') * kEveryByte;
    const uint64_t pastZ = low + (0x80u - 'Z' - 1) * kEveryByte;
    const uint64_t upper = fromA & ~pastZ & ~word & (0x80u * kEveryByte);
    word |= upper >> 2;
    std::memcpy(out + at, &word, 8);
  }
  for (; at < text.size(); ++at)
    out[at] = LowerAscii(text[at]);
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), UpperChar);
  return upper;
}

size_t PosText(std::string_view needle, std::string_view haystack) {
  // Folded while comparing: the item lists run this once per line on every key press.
  if (needle.empty()) {
    return 0;
  }
  const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                              [](char x, char y) { return UpperChar(x) == UpperChar(y); });
  return at == haystack.end() ? 0 : static_cast<size_t>(at - haystack.begin()) + 1;
}

size_t PosWithCase(std::string_view needle, std::string_view haystack, bool caseSensitive) {
  return caseSensitive ? PosExact(needle, haystack) : PosText(needle, haystack);
}

std::string TextBefore(std::string_view text, std::string_view delimiter, bool dropDelimiter) {
  const size_t p = PosExact(delimiter, text);
  if (p == 0) {
    return std::string(text);
  }
  return std::string(text.substr(0, p - 1 + (dropDelimiter ? 0 : delimiter.size())));
}

std::string TextAfter(std::string_view text, std::string_view delimiter, bool dropDelimiter) {
  const size_t p = PosExact(delimiter, text);
  if (p == 0) {
    return std::string(text);
  }
  return std::string(text.substr(p - 1 + (dropDelimiter ? delimiter.size() : 0)));
}

HeadTail SplitAtFirst(std::string_view text, std::string_view delimiter) {
  const size_t p = PosExact(delimiter, text);
  if (p == 0) {
    return {std::string(text), {}};
  }
  return {std::string(text.substr(0, p - 1)), std::string(text.substr(p - 1 + delimiter.size()))};
}

void SplitAtFirstSafe(std::string text, std::string_view delimiter, std::string& head,
                      std::string& tail) {
  HeadTail parts = SplitAtFirst(text, delimiter);
  head = std::move(parts.head);
  tail = std::move(parts.tail);
}

ThreeParts SplitInThree(std::string_view text, std::string_view delimiter) {
  HeadTail first = SplitAtFirst(text, delimiter);
  HeadTail rest = SplitAtFirst(first.tail, delimiter);
  return {std::move(first.head), std::move(rest.head), std::move(rest.tail)};
}

std::string EnsurePrefix(std::string_view text, std::string_view prefix) {
  if (text.starts_with(prefix)) {
    return std::string(text);
  }
  return std::string(prefix) + std::string(text);
}

std::string JoinWith(std::string_view first, std::string_view second, std::string_view separator) {
  std::string joined(first);
  if (!first.empty() && !second.empty()) {
    joined += separator;
  }
  joined += second;
  return joined;
}

std::string TrimRightChars(std::string_view text, std::string_view chars) {
  return TrimRightSet(text, MakeCharSet(chars));
}

std::string TrimLeftChars(std::string_view text, std::string_view chars) {
  return TrimLeftSet(text, MakeCharSet(chars));
}

std::string TrimRightSet(std::string_view text, CharSet set) {
  size_t end = text.size();
  while (end > 0 && InSet(set, text[end - 1])) {
    --end;
  }
  return std::string(text.substr(0, end));
}

std::string TrimLeftSet(std::string_view text, CharSet set) {
  size_t start = 0;
  while (start < text.size() && InSet(set, text[start])) {
    ++start;
  }
  return std::string(text.substr(start));
}

size_t CountCharsInSet(std::string_view text, CharSet set) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [&set](char c) { return InSet(set, c); }));
}

std::string ReplaceText(std::string_view text, std::string_view oldText, std::string_view newText,
                        bool caseSensitive, bool all) {
  if (oldText.empty() || oldText == newText) {
    return std::string(text);
  }
  // Iterative form of "head + new + replace(tail)": the search resumes after each match, so the
  // inserted text is never searched and long inputs do not recurse.
  std::string result;
  std::string_view rest = text;
  while (true) {
    const size_t p = PosWithCase(oldText, rest, caseSensitive);
    if (p == 0) {
      break;
    }
    result.append(rest.substr(0, p - 1));
    result.append(newText);
    rest.remove_prefix(p - 1 + oldText.size());
    if (!all) {
      break;
    }
  }
  result.append(rest);
  return result;
}

void ReplaceTextInPlace(std::string& text, std::string_view oldText, std::string_view newText,
                        bool caseSensitive, bool all) {
  text = ReplaceText(text, oldText, newText, caseSensitive, all);
}

std::string HexOfBytes(std::span<const uint8_t> buffer, uint16_t count) {
  static constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                   '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  const size_t taken = std::min<size_t>(count, buffer.size());
  std::string hex;
  hex.reserve(taken * 2);
  for (size_t i = 0; i < taken; ++i) {
    hex += kDigits[buffer[i] >> 4];
    hex += kDigits[buffer[i] & 0x0F];
  }
  return hex;
}

std::string TextFromBytes(std::span<const uint8_t> buffer, size_t offset, size_t count) {
  const std::string_view taken = TakenBytes(buffer, offset, count);
  return std::string(taken.substr(0, taken.find('\0')));
}

std::string LinesFromBytes(std::span<const uint8_t> buffer, size_t offset, size_t count) {
  std::string text(TakenBytes(buffer, offset, count));
  std::replace(text.begin(), text.end(), '\0', '\t');
  return ReplaceText(text, "\t", "\r\n", true, true);
}

std::string CStringText(const char* buffer) {
  return buffer == nullptr ? std::string() : buffer;
}

void NulTerminated(std::string& text) {
  if (text.empty() || text.back() != '\0') {
    text.push_back('\0');
  }
}

std::string TreeNameText(std::string_view field) {
  // A field copied out of a fixed buffer may stop early at a NUL.
  std::string_view name = field.substr(0, std::min<size_t>(field.size(), 32));
  name = name.substr(0, name.find('\0'));
  return TrimRightChars(name, "_");
}

namespace {

// The length of the valid UTF-8 sequence at `pos`, 0 when none starts there.
size_t Utf8SequenceLength(std::string_view text, size_t pos) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(pos);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size() || byte(pos + i) < (i == 1 ? low : 0x80) ||
        byte(pos + i) > (i == 1 ? high : 0xBF)) {
      return 0;
    }
  }
  return length;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

// `text` with each control character or stray byte as hex escapes, and each byte
// that `named` gives a text for as that text.
template <typename Named>
std::string Escaped(std::string_view text, Named named) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (const std::string_view name = named(byte); !name.empty()) {
      out += name;
      ++pos;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, pos);
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[pos + 1]) < 0xA0;
    if (length == 0 || byte < 0x20 || byte == 0x7F || c1) {
      const size_t count = length == 0 ? 1 : length;
      for (size_t i = 0; i < count; ++i) {
        AppendHexEscape(out, static_cast<unsigned char>(text[pos + i]));
      }
      pos += count;
      continue;
    }
    out.append(text.substr(pos, length));
    pos += length;
  }
  return out;
}

}  // namespace

std::string EscapeControlText(std::string_view text) {
  return Escaped(text, [](unsigned char) { return std::string_view(); });
}

std::string EscapeListField(std::string_view text) {
  return Escaped(text, [](unsigned char byte) {
    switch (byte) {
      case '\\':
        return std::string_view("\\\\");
      case '\t':
        return std::string_view("\\t");
      case '\n':
        return std::string_view("\\n");
      case '\r':
        return std::string_view("\\r");
      default:
        return std::string_view();
    }
  });
}
