// Arbitrary bytes as directory text, judged by libxml2 and expat: an element holding them and a
// parameter block made of them are well-formed, add no element of their own, give text without
// references back as it was, and the name check agrees with the parser on which keys can be element
// names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/xmlexport/table_source.h"
#include "tests/xmlexport/xml_parse.h"
#include "xmlexport/d_xml.h"
#include "xmlexport/xml_check.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// What a parser hands on for `text`: every CR LF and every lone CR read as LF.
std::string ReadLineEnds(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      result += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else {
      result += text[i];
    }
  }
  return result;
}

bool IsLeaf(const ParsedElement& element) {
  return element.children.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool clean = !FindBadXmlText(text).has_value();

  const ParsedDocument value = ParseXml("<install>" + XmlElement("value", text) + "</install>");
  Check(value.root.has_value());
  Check(value.root->children.size() == 1);
  Check(value.root->children[0].name == "value" && IsLeaf(value.root->children[0]));
  if (clean && text.find('&') == std::string::npos) {
    Check(value.root->children[0].text == ReadLineEnds(text));
  }

  if (clean && text.find(':') == std::string::npos) {
    const ParsedDocument named = ParseXml("<" + text + "/>");
    Check((named.root.has_value() && named.root->name == text) == IsXmlName(text));
    const ParsedDocument expat = ParseXmlWithExpat("<" + text + "/>");
    Check((named.root.has_value() && named.root->name == text && expat.root.has_value() &&
           expat.root->name == text) == IsPortableXmlName(text));
  }

  TableAttributeSource source;
  source.Set("X", "rbsParameters", {text});
  std::optional<XmlBadText> bad;
  const std::string block = ParametersToXml(source, "X", "rbsParameters", bad);
  const ParsedDocument parameters = ParseXml("<install>\r\n" + block + "\r\n</install>");
  Check(parameters.root.has_value());
  Check(ParseXmlWithExpat("<install>\r\n" + block + "\r\n</install>").root.has_value());
  for (const ParsedElement& entry : parameters.root->children) {
    if (entry.name == "url-param") {
      Check(entry.children.size() == 2 && entry.children[0].name == "param-key" &&
            IsLeaf(entry.children[0]) && entry.children[1].name == "param-value" &&
            IsLeaf(entry.children[1]));
    } else {
      Check(IsLeaf(entry));
    }
  }
  // A reported place is where bad text starts; clean text reports none.
  if (bad) {
    Check(bad->offset < text.size());
    const std::optional<XmlBadText> there =
        FindBadXmlText(std::string_view(text).substr(bad->offset));
    Check(there.has_value() && there->offset == 0);
  } else if (!clean) {
    // Only text in pairs without a key is left out of the block.
    Check(block.find("\xEF\xBF\xBD") == std::string::npos ||
          text.find("\xEF\xBF\xBD") != std::string::npos);
  }
  Check(!clean || !bad);
  return 0;
}
