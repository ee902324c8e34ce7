#pragma once
// The two questions the install document asks before it inserts directory text: may this key be
// an element name, and may this value stand between two tags as it is. Both lean towards "yes"
// where unsure, because a "no" changes the bytes of the document.
#include <string>
#include <string_view>

// True when `text` is an XML 1.0 Name: a letter, '_' or ':' and then letters, digits, '.', '-',
// '_' or ':'. Every byte of 0x80 and above counts as a letter (UTF-8 text is not decoded), so a
// name in any script passes. The empty text is no name.
[[nodiscard]] bool IsXmlName(std::string_view text);

// True when `text` is well-formed element content on its own: character data without a stray
// '<', '&' or "]]>", references to the five predefined entities or to legal characters, balanced
// elements with well-formed attributes, comments, CDATA sections and processing instructions.
// Control characters and byte encodings are not judged. The empty text is well-formed.
[[nodiscard]] bool IsWellFormedContent(std::string_view text);

// `text` with every '&', '<' and '>' written as "&amp;", "&lt;" and "&gt;".
[[nodiscard]] std::string EscapeXmlText(std::string_view text);
