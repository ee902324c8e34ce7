// Name and character checks of the install document, and the writing of character data.
#include "xmlexport/xml_check.h"

#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One step of reading UTF-8: the code point and its length, or, for an ill-formed sequence, the
// length of its longest valid beginning (at least 1) and no code point.
struct Utf8Step {
  std::optional<char32_t> code;
  size_t length;
};

Utf8Step DecodeUtf8(std::string_view text, size_t pos) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    return {lead, 1};
  }
  // The well-formed sequences: the number of bytes and the range of the second byte by lead
  // byte, which keeps out overlong forms, surrogates and code points beyond U+10FFFF.
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {std::nullopt, 1};
  }
  for (size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size()) {
      return {std::nullopt, i};
    }
    const unsigned char next = byte(pos + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
      return {std::nullopt, i};
    }
    code = (code << 6) | (next & 0x3Fu);
  }
  return {code, length};
}

// The Char production.
bool IsXmlChar(char32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

struct CodeRange {
  char32_t first;
  char32_t last;
};

constexpr std::array<CodeRange, 16> kNameStartRanges = {{
    {':', ':'},
    {'A', 'Z'},
    {'_', '_'},
    {'a', 'z'},
    {0xC0, 0xD6},
    {0xD8, 0xF6},
    {0xF8, 0x2FF},
    {0x370, 0x37D},
    {0x37F, 0x1FFF},
    {0x200C, 0x200D},
    {0x2070, 0x218F},
    {0x2C00, 0x2FEF},
    {0x3001, 0xD7FF},
    {0xF900, 0xFDCF},
    {0xFDF0, 0xFFFD},
    {0x10000, 0xEFFFF},
}};

constexpr std::array<CodeRange, 6> kNameOnlyRanges = {{
    {'-', '-'},
    {'.', '.'},
    {'0', '9'},
    {0xB7, 0xB7},
    {0x300, 0x36F},
    {0x203F, 0x2040},
}};

template <size_t N>
bool InRanges(char32_t code, const std::array<CodeRange, N>& ranges) {
  for (const CodeRange& range : ranges) {
    if (code >= range.first && code <= range.last) {
      return true;
    }
  }
  return false;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsAsciiAlnum(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

uint32_t HexValue(char c) {
  if (IsDigit(c)) {
    return static_cast<uint32_t>(c - '0');
  }
  return static_cast<uint32_t>((c >= 'a' ? c - 'a' : c - 'A') + 10);
}

// A document without a document type declaration knows these five entities and no other.
constexpr std::array<std::string_view, 5> kPredefinedEntities = {"amp", "lt", "gt", "quot", "apos"};

// The body of a reference, between '&' and ';', that the document resolves.
bool IsReferenceBody(std::string_view body) {
  const bool hex = body.starts_with("#x");
  if (hex || body.starts_with('#')) {
    body.remove_prefix(hex ? 2 : 1);
    if (body.empty()) {
      return false;
    }
    uint32_t code = 0;
    for (char c : body) {
      if (hex ? !IsHexDigit(c) : !IsDigit(c)) {
        return false;
      }
      // Saturate above the largest code point so that long digit runs cannot overflow.
      code = code > 0x10FFFF ? code : code * (hex ? 16 : 10) + HexValue(c);
    }
    return IsXmlChar(code);
  }
  for (std::string_view entity : kPredefinedEntities) {
    if (body == entity) {
      return true;
    }
  }
  return false;
}

// The length of the reference that starts at the '&' at `pos`, 0 when none does. A body holds
// only ASCII letters, digits and '#', so the look-ahead stops at the next '&' and the whole text
// is read once.
size_t ReferenceLength(std::string_view text, size_t pos) {
  size_t end = pos + 1;
  while (end < text.size() && (IsAsciiAlnum(text[end]) || text[end] == '#')) {
    ++end;
  }
  if (end == text.size() || text[end] != ';' ||
      !IsReferenceBody(text.substr(pos + 1, end - pos - 1))) {
    return 0;
  }
  return end + 1 - pos;
}

// A byte that is a whole XML Char by itself; every other byte needs decoding.
bool IsPlainByte(unsigned char byte) {
  return (byte >= 0x20 && byte < 0x80) || byte == '\t' || byte == '\n' || byte == '\r';
}

constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// The eight bytes of `text` at `pos`, which must exist.
uint64_t WordAt(std::string_view text, size_t pos) {
  uint64_t word = 0;
  std::memcpy(&word, text.data() + pos, sizeof word);
  return word;
}

// True when some byte of `word` is zero.
bool HasZeroByte(uint64_t word) {
  return ((word - kEveryByte) & ~word & kHighBits) != 0;
}

// The end of the run of bytes 0x20 to 0x7F from `pos`, eight at a time while they last. A byte
// below 0x20 borrows into its own high bit before it can borrow into a later byte's, so the test
// misses none.
size_t PrintableAsciiEnd(std::string_view text, size_t pos) {
  while (pos + sizeof(uint64_t) <= text.size()) {
    const uint64_t word = WordAt(text, pos);
    if (((word | (word - kEveryByte * 0x20)) & kHighBits) != 0) {
      break;
    }
    pos += sizeof(uint64_t);
  }
  while (pos < text.size() && static_cast<unsigned char>(text[pos]) >= 0x20 &&
         static_cast<unsigned char>(text[pos]) < 0x80) {
    ++pos;
  }
  return pos;
}

// Calls `good(pos, length)` for each longest run of valid text and `bad(pos, step)` for each
// character or ill-formed sequence the document cannot hold, in order; a callback that returns
// false ends the walk. Directory text is nearly all ASCII, so plain bytes are passed over
// without decoding.
template <typename Good, typename Bad>
void WalkText(std::string_view text, Good&& good, Bad&& bad) {
  size_t runStart = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    pos = PrintableAsciiEnd(text, pos);
    if (pos == text.size()) {
      break;
    }
    if (IsPlainByte(static_cast<unsigned char>(text[pos]))) {
      ++pos;
      continue;
    }
    const Utf8Step step = DecodeUtf8(text, pos);
    if (step.code && IsXmlChar(*step.code)) {
      pos += step.length;
      continue;
    }
    if (pos > runStart && !good(runStart, pos - runStart)) {
      return;
    }
    if (!bad(pos, step)) {
      return;
    }
    pos += step.length;
    runStart = pos;
  }
  if (pos > runStart) {
    good(runStart, pos - runStart);
  }
}

// Appends `text` rewritten to `out`: `write(out, run)` appends what each run of valid text
// becomes, and each run of bad text becomes U+FFFD.
template <typename Write>
void RewriteText(std::string& out, std::string_view text, Write&& write) {
  out.reserve(out.size() + text.size());
  WalkText(
      text,
      [&](size_t pos, size_t length) {
        write(out, pos, length);
        return true;
      },
      [&out](size_t, const Utf8Step&) {
        out += kReplacement;
        return true;
      });
}

bool IsMarkupByte(char c) {
  return c == '<' || c == '>' || c == '&';
}

// The first '<', '>' or '&' of text[pos, end), or `end`; eight bytes at a time while none is
// among them.
size_t MarkupAt(std::string_view text, size_t pos, size_t end) {
  while (pos + sizeof(uint64_t) <= end) {
    const uint64_t word = WordAt(text, pos);
    if (HasZeroByte(word ^ (kEveryByte * '<')) || HasZeroByte(word ^ (kEveryByte * '>')) ||
        HasZeroByte(word ^ (kEveryByte * '&'))) {
      break;
    }
    pos += sizeof(uint64_t);
  }
  while (pos < end && !IsMarkupByte(text[pos])) {
    ++pos;
  }
  return pos;
}

}  // namespace

bool IsXmlName(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Step step = DecodeUtf8(text, pos);
    if (!step.code) {
      return false;
    }
    const bool start = InRanges(*step.code, kNameStartRanges);
    if (!start && (pos == 0 || !InRanges(*step.code, kNameOnlyRanges))) {
      return false;
    }
    pos += step.length;
  }
  return true;
}

bool IsPortableXmlName(std::string_view text) {
  if (!IsXmlName(text)) {
    return false;
  }
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return true;
  }
  if (text.size() > INT_MAX - 3) {
    return false;
  }
  // An empty element of that name is a whole document; expat takes it or names the fault.
  const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
      XML_ParserCreate("UTF-8"), &XML_ParserFree);
  if (parser == nullptr) {
    return false;
  }
  std::string document = "<";
  document += text;
  document += "/>";
  return XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), 1) ==
         XML_STATUS_OK;
}

std::optional<XmlBadText> FindBadXmlText(std::string_view text) {
  std::optional<XmlBadText> found;
  WalkText(
      text, [](size_t, size_t) { return true; },
      [&](size_t pos, const Utf8Step& step) {
        found = XmlBadText{pos, step.code, static_cast<unsigned char>(text[pos])};
        return false;
      });
  return found;
}

std::string ReplaceBadXmlText(std::string_view text) {
  std::string result;
  RewriteText(result, text, [text](std::string& out, size_t pos, size_t length) {
    out.append(text.substr(pos, length));
  });
  return result;
}

void AppendXmlCharacterData(std::string& out, std::string_view text) {
  // A reference is ASCII up to its ';', so it never reaches past the run it starts in.
  RewriteText(out, text, [text](std::string& result, size_t pos, size_t length) {
    const size_t end = pos + length;
    while (pos < end) {
      const size_t markup = MarkupAt(text, pos, end);
      result.append(text.substr(pos, markup - pos));
      if (markup == end) {
        return;
      }
      pos = markup + 1;
      if (text[markup] == '<') {
        result += "&lt;";
      } else if (text[markup] == '>') {
        result += "&gt;";
      } else if (const size_t reference = ReferenceLength(text, markup); reference == 0) {
        result += "&amp;";
      } else {
        result.append(text.substr(markup, reference));
        pos = markup + reference;
      }
    }
  });
}

std::string XmlCharacterData(std::string_view text) {
  std::string result;
  AppendXmlCharacterData(result, text);
  return result;
}
