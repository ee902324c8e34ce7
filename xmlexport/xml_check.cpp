// Name and content checks of the install document, and the escaping of text that fails them.
#include "xmlexport/xml_check.h"

#include <array>
#include <cstdint>
#include <vector>

#include "util/text.h"

namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : c - 'A' + 10;
}

// The Char production: what a character reference may stand for.
bool IsXmlChar(uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// A document without a document type declaration knows these five entities and no other.
constexpr std::array<std::string_view, 5> kPredefinedEntities = {"amp", "lt", "gt", "quot", "apos"};

// The body of a reference, between '&' and ';'.
bool IsReferenceBody(std::string_view body) {
  if (body.starts_with("#x")) {
    body.remove_prefix(2);
    if (body.empty()) {
      return false;
    }
    uint32_t code = 0;
    for (char c : body) {
      if (!IsHexDigit(c)) {
        return false;
      }
      // Saturate above the largest code point so that long digit runs cannot overflow.
      code = code > 0x10FFFF ? code : code * 16 + static_cast<uint32_t>(HexValue(c));
    }
    return IsXmlChar(code);
  }
  if (body.starts_with('#')) {
    body.remove_prefix(1);
    if (body.empty()) {
      return false;
    }
    uint32_t code = 0;
    for (char c : body) {
      if (c < '0' || c > '9') {
        return false;
      }
      code = code > 0x10FFFF ? code : code * 10 + static_cast<uint32_t>(c - '0');
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

// One pass over a text as element content. Open elements are kept on a list rather than the
// call stack, so deeply nested input cannot exhaust it.
class ContentScanner {
 public:
  explicit ContentScanner(std::string_view text) : text_(text) {}

  [[nodiscard]] bool Scan() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '<') {
        if (!Markup()) {
          return false;
        }
      } else if (c == '&') {
        if (!Reference()) {
          return false;
        }
      } else if (c == ']' && At("]]>")) {
        return false;
      } else {
        ++pos_;
      }
    }
    return open_.empty();
  }

 private:
  [[nodiscard]] bool At(std::string_view s) const { return text_.substr(pos_).starts_with(s); }

  [[nodiscard]] bool AtChar(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  // Skips blanks; true when there was at least one.
  bool SkipBlanks() {
    const size_t start = pos_;
    while (pos_ < text_.size() && IsBlank(text_[pos_])) {
      ++pos_;
    }
    return pos_ > start;
  }

  // The name at the current position, empty when none starts there.
  std::string_view ReadName() {
    const size_t start = pos_;
    if (pos_ < text_.size() && IsNameStart(static_cast<unsigned char>(text_[pos_]))) {
      ++pos_;
      while (pos_ < text_.size() && IsNameChar(static_cast<unsigned char>(text_[pos_]))) {
        ++pos_;
      }
    }
    return text_.substr(start, pos_ - start);
  }

  bool Markup() {
    if (At("<!--")) {
      return Comment();
    }
    if (At("<![CDATA[")) {
      return CharacterSection();
    }
    if (At("<?")) {
      return Instruction();
    }
    if (At("</")) {
      return EndTag();
    }
    return StartTag();
  }

  // At '&': a reference up to the next ';'.
  bool Reference() {
    const size_t semicolon = text_.find(';', pos_ + 1);
    if (semicolon == std::string_view::npos ||
        !IsReferenceBody(text_.substr(pos_ + 1, semicolon - pos_ - 1))) {
      return false;
    }
    pos_ = semicolon + 1;
    return true;
  }

  bool StartTag() {
    ++pos_;
    const std::string_view name = ReadName();
    if (name.empty()) {
      return false;
    }
    std::vector<std::string_view> attributes;
    while (true) {
      const bool blank = SkipBlanks();
      if (At("/>")) {
        pos_ += 2;
        return true;
      }
      if (AtChar('>')) {
        ++pos_;
        open_.push_back(name);
        return true;
      }
      if (!blank || !Attribute(attributes)) {
        return false;
      }
    }
  }

  bool Attribute(std::vector<std::string_view>& seen) {
    const std::string_view name = ReadName();
    if (name.empty()) {
      return false;
    }
    for (std::string_view other : seen) {
      if (other == name) {
        return false;
      }
    }
    seen.push_back(name);
    SkipBlanks();
    if (!AtChar('=')) {
      return false;
    }
    ++pos_;
    SkipBlanks();
    if (!AtChar('"') && !AtChar('\'')) {
      return false;
    }
    const char quote = text_[pos_++];
    while (!AtChar(quote)) {
      if (pos_ >= text_.size() || text_[pos_] == '<') {
        return false;
      }
      if (text_[pos_] == '&') {
        if (!Reference()) {
          return false;
        }
      } else {
        ++pos_;
      }
    }
    ++pos_;
    return true;
  }

  bool EndTag() {
    pos_ += 2;
    const std::string_view name = ReadName();
    SkipBlanks();
    if (name.empty() || !AtChar('>') || open_.empty() || open_.back() != name) {
      return false;
    }
    open_.pop_back();
    ++pos_;
    return true;
  }

  // A comment may not hold "--" and may not end in '-'.
  bool Comment() {
    pos_ += 4;
    const size_t dashes = text_.find("--", pos_);
    if (dashes == std::string_view::npos || !text_.substr(dashes).starts_with("-->")) {
      return false;
    }
    pos_ = dashes + 3;
    return true;
  }

  bool CharacterSection() {
    pos_ += 9;
    const size_t end = text_.find("]]>", pos_);
    if (end == std::string_view::npos) {
      return false;
    }
    pos_ = end + 3;
    return true;
  }

  // A processing instruction; its target may not be "xml" in any case, which only the
  // declaration at the very start of a document may use.
  bool Instruction() {
    pos_ += 2;
    const std::string_view target = ReadName();
    if (target.empty() || SameTextAscii(target, "xml")) {
      return false;
    }
    if (At("?>")) {
      pos_ += 2;
      return true;
    }
    if (!SkipBlanks()) {
      return false;
    }
    const size_t end = text_.find("?>", pos_);
    if (end == std::string_view::npos) {
      return false;
    }
    pos_ = end + 2;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<std::string_view> open_;
};

}  // namespace

bool IsXmlName(std::string_view text) {
  if (text.empty() || !IsNameStart(static_cast<unsigned char>(text.front()))) {
    return false;
  }
  for (char c : text.substr(1)) {
    if (!IsNameChar(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

bool IsWellFormedContent(std::string_view text) {
  return ContentScanner(text).Scan();
}

std::string EscapeXmlText(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        result += "&amp;";
        break;
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      default:
        result += c;
    }
  }
  return result;
}
