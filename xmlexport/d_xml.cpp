// Element writers of the install document.
#include "xmlexport/d_xml.h"

#include <array>

#include "util/text.h"
#include "xmlexport/xml_check.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

// Keys with these prefixes are the installer's own parameters and go in as key/value pairs.
constexpr std::array<std::string_view, 3> kUrlParamPrefixes = {"TC.", "objectTypeName", "eDir"};

}  // namespace

std::string XmlElement(std::string_view name, std::string_view value) {
  std::string result;
  result.reserve(2 * name.size() + value.size() + 5);
  result += '<';
  result += name;
  result += '>';
  const size_t valueStart = result.size();
  result += value;
  result += "</";
  result += name;
  result += '>';
  // The whole element is judged, not the value alone: a value that closes its element and opens
  // a sibling of the same name ("x</id><id>y") gave well-formed text before and still does.
  if (IsWellFormedContent(result)) {
    return result;
  }
  result.replace(valueStart, value.size(), EscapeXmlText(value));
  return result;
}

std::string XmlUrlParam(std::string_view key, std::string_view value) {
  std::string inner;
  inner += kCrLf;
  inner += "\t\t";
  inner += XmlElement("param-key", key);
  inner += kCrLf;
  inner += "\t\t";
  inner += XmlElement("param-value", value);
  inner += kCrLf;
  inner += '\t';
  return XmlElement("url-param", inner);
}

bool IsUrlParamKey(std::string_view key) {
  for (std::string_view prefix : kUrlParamPrefixes) {
    if (key.starts_with(prefix)) {
      return true;
    }
  }
  return !IsXmlName(key);
}

std::string ParametersToXml(const XmlAttributeSource& source, const std::string& objectName,
                            const std::string& attributeName) {
  std::string result;
  std::string remaining;
  if (source.ReadText(objectName, attributeName, remaining) != 0) {
    return result;
  }
  while (!remaining.empty()) {
    std::string segment;
    bool last = false;
    if (remaining.find(';') != std::string::npos) {
      SplitAtFirstSafe(remaining, ";", segment, remaining);
    } else {
      segment = std::move(remaining);
      last = true;
    }
    const HeadTail pair = SplitAtFirst(segment, "=");
    if (!pair.head.empty()) {
      if (!result.empty()) {
        result += kCrLf;
      }
      result += '\t';
      result += IsUrlParamKey(pair.head) ? XmlUrlParam(pair.head, pair.tail)
                                         : XmlElement(pair.head, pair.tail);
    }
    if (last) {
      break;
    }
  }
  return result;
}
