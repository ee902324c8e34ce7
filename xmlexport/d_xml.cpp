// Element writers of the install document.
#include "xmlexport/d_xml.h"

#include <algorithm>
#include <array>

#include "xmlexport/xml_check.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

// Keys with these prefixes are the installer's own parameters and go in as key/value pairs.
constexpr std::array<std::string_view, 3> kUrlParamPrefixes = {"TC.", "objectTypeName", "eDir"};

// Every element name the document is built of (install_document.cpp, the url-param entry). A
// key spelt like one would give an item a second id, a membership no directory link made, or an
// entry that readers take for the document's own.
constexpr std::array<std::string_view, 18> kDocumentElementNames = {
    "install",
    "module",
    "category",
    "role",
    "book",
    "task",
    "id",
    "url-param",
    "param-key",
    "param-value",
    "object-type-name",
    "class-name",
    "role-assignment",
    "page-assignment",
    "version",
    "rights-assignment",
    "attribute-name",
    "privilege",
};

}  // namespace

void AppendXmlElement(std::string& out, std::string_view name, std::string_view value) {
  out.reserve(out.size() + 2 * name.size() + value.size() + 5);
  out += '<';
  out += name;
  out += '>';
  AppendXmlCharacterData(out, value);
  out += "</";
  out += name;
  out += '>';
}

std::string XmlElement(std::string_view name, std::string_view value) {
  std::string result;
  AppendXmlElement(result, name, value);
  return result;
}

void AppendXmlUrlParam(std::string& out, std::string_view key, std::string_view value) {
  out += "<url-param>";
  out += kCrLf;
  out += "\t\t";
  AppendXmlElement(out, "param-key", key);
  out += kCrLf;
  out += "\t\t";
  AppendXmlElement(out, "param-value", value);
  out += kCrLf;
  out += "\t</url-param>";
}

std::string XmlUrlParam(std::string_view key, std::string_view value) {
  std::string result;
  AppendXmlUrlParam(result, key, value);
  return result;
}

bool IsDocumentElementName(std::string_view name) {
  return std::find(kDocumentElementNames.begin(), kDocumentElementNames.end(), name) !=
         kDocumentElementNames.end();
}

bool IsUrlParamKey(std::string_view key) {
  for (std::string_view prefix : kUrlParamPrefixes) {
    if (key.starts_with(prefix)) {
      return true;
    }
  }
  // A name with ':' would be read as a namespace prefix that the document never declares.
  return key.find(':') != std::string_view::npos || IsDocumentElementName(key) ||
         !IsPortableXmlName(key);
}

std::string ParametersToXml(const XmlAttributeSource& source, const std::string& objectName,
                            const std::string& attributeName) {
  std::optional<XmlBadText> ignored;
  return ParametersToXml(source, objectName, attributeName, ignored);
}

std::string ParametersToXml(const XmlAttributeSource& source, const std::string& objectName,
                            const std::string& attributeName, std::optional<XmlBadText>& firstBad) {
  std::string result;
  std::string text;
  if (source.ReadText(objectName, attributeName, text) != 0) {
    return result;
  }
  // Positions into the whole text, so that a bad byte is placed where the attribute holds it.
  const auto note = [&firstBad](std::string_view part, size_t offset) {
    if (firstBad) {
      return;
    }
    if (std::optional<XmlBadText> bad = FindBadXmlText(part)) {
      bad->offset += offset;
      firstBad = bad;
    }
  };
  const std::string_view all = text;
  size_t start = 0;
  while (start < all.size()) {
    const size_t semicolon = all.find(';', start);
    const size_t end = semicolon == std::string_view::npos ? all.size() : semicolon;
    const std::string_view segment = all.substr(start, end - start);
    const size_t equals = segment.find('=');
    const std::string_view key = segment.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : segment.substr(equals + 1);
    if (!key.empty()) {
      note(key, start);
      note(value, start + key.size() + 1);
      if (!result.empty()) {
        result += kCrLf;
      }
      result += '\t';
      if (IsUrlParamKey(key)) {
        AppendXmlUrlParam(result, key, value);
      } else {
        AppendXmlElement(result, key, value);
      }
    }
    if (semicolon == std::string_view::npos) {
      break;
    }
    start = semicolon + 1;
  }
  return result;
}
