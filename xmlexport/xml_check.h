#pragma once
// What the install document asks of directory text before it inserts it: may this key be an
// element's name, is every byte a character an XML document can hold, and how the text is
// written as character data so that it can never open, close or break an element.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// True when `text` is a Name by the XML 1.0 (fifth edition) rules, read as UTF-8: a name-start
// character (a letter in the Name ranges, '_' or ':') and then name characters (those, digits,
// '.', '-', U+00B7 and the combining ranges). Text that is not valid UTF-8, and the empty text,
// are no name.
[[nodiscard]] bool IsXmlName(std::string_view text);

// True when `text` is a Name that every common parser reads as one: IsXmlName, and expat, which
// keeps the older Name rules (no character beyond U+FFFF, fewer letters and marks: U+203F, for
// one, is no name character there), accepts it as an element's name. ASCII names read alike
// under both rules.
[[nodiscard]] bool IsPortableXmlName(std::string_view text);

// The first place where `text` holds something no XML document can: `offset` is the byte where
// it starts; `character` is the code point when the bytes are valid UTF-8 but no XML Char (a
// control character other than tab, LF and CR, U+FFFE, U+FFFF), nullopt when they are not UTF-8
// (a stray continuation byte, a truncated or overlong sequence, a surrogate, beyond U+10FFFF);
// `byte` is the byte at `offset`.
struct XmlBadText {
  size_t offset;
  std::optional<char32_t> character;
  unsigned char byte;
};

// nullopt when every byte of `text` is part of valid UTF-8 encoding an XML Char.
[[nodiscard]] std::optional<XmlBadText> FindBadXmlText(std::string_view text);

// `text` with every run that FindBadXmlText would report replaced by U+FFFD: one for each
// character that is no XML Char, and one for each ill-formed sequence, taken as the longest run
// that could have begun a valid one (at least one byte).
[[nodiscard]] std::string ReplaceBadXmlText(std::string_view text);

// `text` as character data: '<' and '>' always as "&lt;" and "&gt;"; '&' kept where it starts a
// reference the document resolves ("&amp;", "&lt;", "&gt;", "&quot;", "&apos;", or "&#N;" /
// "&#xH;" of an XML Char) and written "&amp;" otherwise; bad text replaced as by
// ReplaceBadXmlText. Every other byte is kept, so text without those characters comes out as it
// went in.
[[nodiscard]] std::string XmlCharacterData(std::string_view text);
// Appends XmlCharacterData(text) to `out`.
void AppendXmlCharacterData(std::string& out, std::string_view text);
