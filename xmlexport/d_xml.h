#pragma once
// D_XML: the element writers of the install document. Each returns a new text; the document
// assembly puts the texts into lines. Directory text goes in verbatim where it keeps the
// document well-formed and escaped where it would not.
#include <string>
#include <string_view>

#include "xmlexport/attribute_source.h"

// "<name>value</name>", with name and value verbatim, when that is well-formed content (the
// value may carry markup of its own); else the same with '&', '<' and '>' of the value escaped,
// so that a reader gets its bytes back. An empty value gives "<name></name>".
[[nodiscard]] std::string XmlElement(std::string_view name, std::string_view value);

// The url-param entry of one parameter: "<url-param>", CR LF, two tabs, the "param-key" element
// holding `key`, CR LF, two tabs, the "param-value" element holding `value`, CR LF, one tab,
// "</url-param>".
[[nodiscard]] std::string XmlUrlParam(std::string_view key, std::string_view value);

// True when a parameter key makes a url-param entry: it begins with "TC.", "objectTypeName" or
// "eDir" (case-sensitive), or it is no XML name and so cannot be an element's name.
[[nodiscard]] bool IsUrlParamKey(std::string_view key);

// The parameter block of one object: the attribute's text (values joined by CR LF) split at
// every ";" into pairs and each pair at its first "=" into key and value; a pair without "="
// has an empty value, a pair with an empty key is skipped. Each pair becomes one tab and its
// element (XmlElement(key, value)) or url-param entry; the entries are joined by CR LF. Empty
// when the attribute cannot be read or holds no pair.
[[nodiscard]] std::string ParametersToXml(const XmlAttributeSource& source,
                                          const std::string& objectName,
                                          const std::string& attributeName);
