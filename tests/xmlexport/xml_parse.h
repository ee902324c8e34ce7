#pragma once
// A document read by libxml2 or by expat, for tests and the fuzz target: whether an independent
// parser calls it well-formed (libxml2: namespaces included), and the elements it found, so that
// a test can see that a value added none.
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ParsedElement {
  std::string name;
  std::string text;  // the character data directly inside, references resolved
  std::vector<ParsedElement> children;
};

// The root element of `document`, or the first message libxml2 gave (a namespace error counts,
// as a reader with namespaces would refuse the document).
struct ParsedDocument {
  std::optional<ParsedElement> root;
  std::string error;
};

namespace xml_parse_detail {

inline void Collect(void* context, xmlErrorPtr error) {
  auto* first = static_cast<std::string*>(context);
  if (first->empty() && error != nullptr) {
    *first = error->message != nullptr ? error->message : "libxml2 error";
  }
}

// libxml2 nests no deeper than 256 elements without XML_PARSE_HUGE, so this stays shallow.
inline ParsedElement Convert(const xmlNode* node) {
  ParsedElement element{reinterpret_cast<const char*>(node->name), "", {}};
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      element.children.push_back(Convert(child));
    } else if (child->type == XML_TEXT_NODE && child->content != nullptr) {
      element.text += reinterpret_cast<const char*>(child->content);
    }
  }
  return element;
}

}  // namespace xml_parse_detail

inline ParsedDocument ParseXml(std::string_view document) {
  ParsedDocument parsed;
  if (document.size() > INT_MAX) {
    parsed.error = "too large";
    return parsed;
  }
  xmlSetStructuredErrorFunc(&parsed.error, &xml_parse_detail::Collect);
  const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlReadMemory(document.data(), static_cast<int>(document.size()), "document.xml", nullptr,
                    XML_PARSE_NONET),
      &xmlFreeDoc);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  const xmlNode* root = doc != nullptr ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (root != nullptr && parsed.error.empty()) {
    parsed.root = xml_parse_detail::Convert(root);
  } else if (parsed.error.empty()) {
    parsed.error = "not parsed";
  }
  return parsed;
}

namespace xml_parse_detail {

// The elements open while expat reads, innermost last, and the finished root.
struct ExpatState {
  std::vector<ParsedElement> open;
  std::optional<ParsedElement> root;
};

inline void ExpatStart(void* data, const XML_Char* name, const XML_Char**) {
  static_cast<ExpatState*>(data)->open.push_back(ParsedElement{name, "", {}});
}

inline void ExpatEnd(void* data, const XML_Char*) {
  auto* state = static_cast<ExpatState*>(data);
  ParsedElement done = std::move(state->open.back());
  state->open.pop_back();
  if (state->open.empty()) {
    state->root = std::move(done);
  } else {
    state->open.back().children.push_back(std::move(done));
  }
}

inline void ExpatText(void* data, const XML_Char* text, int length) {
  auto* state = static_cast<ExpatState*>(data);
  if (!state->open.empty()) {
    state->open.back().text.append(text, static_cast<size_t>(length));
  }
}

}  // namespace xml_parse_detail

// The same, read by expat (without namespace processing).
inline ParsedDocument ParseXmlWithExpat(std::string_view document) {
  ParsedDocument parsed;
  if (document.size() > INT_MAX) {
    parsed.error = "too large";
    return parsed;
  }
  const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
      XML_ParserCreate("UTF-8"), &XML_ParserFree);
  xml_parse_detail::ExpatState state;
  XML_SetUserData(parser.get(), &state);
  XML_SetElementHandler(parser.get(), &xml_parse_detail::ExpatStart, &xml_parse_detail::ExpatEnd);
  XML_SetCharacterDataHandler(parser.get(), &xml_parse_detail::ExpatText);
  if (XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), 1) !=
      XML_STATUS_OK) {
    parsed.error = XML_ErrorString(XML_GetErrorCode(parser.get()));
  } else {
    parsed.root = std::move(state.root);
  }
  return parsed;
}
