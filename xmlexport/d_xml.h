#pragma once
// D_XML: the element writers of the install document. Each returns a new text; the document
// assembly puts the texts into lines. Directory text goes in as character data, so that no
// value can add, close or break an element.
#include <optional>
#include <string>
#include <string_view>

#include "xmlexport/attribute_source.h"
#include "xmlexport/xml_check.h"

// "<name>value</name>": `name` verbatim (a fixed word or a key IsUrlParamKey refused), `value`
// as XmlCharacterData writes it. An empty value gives "<name></name>".
[[nodiscard]] std::string XmlElement(std::string_view name, std::string_view value);
// Appends XmlElement(name, value) to `out`.
void AppendXmlElement(std::string& out, std::string_view name, std::string_view value);

// The url-param entry of one parameter: "<url-param>", CR LF, two tabs, the "param-key" element
// holding `key`, CR LF, two tabs, the "param-value" element holding `value`, CR LF, one tab,
// "</url-param>".
[[nodiscard]] std::string XmlUrlParam(std::string_view key, std::string_view value);
// Appends XmlUrlParam(key, value) to `out`.
void AppendXmlUrlParam(std::string& out, std::string_view key, std::string_view value);

// True when `name` is one of the element names the document itself is made of ("install",
// the five kinds, "id", "url-param" and its two, the attribute lines' and the rights block's),
// matched case-sensitively as XML matches names.
[[nodiscard]] bool IsDocumentElementName(std::string_view name);

// True when a parameter key makes a url-param entry: it begins with "TC.", "objectTypeName" or
// "eDir" (case-sensitive), it is one of the document's own element names, or it cannot be an
// element's name for every common parser: not IsPortableXmlName, or a name with ':'.
[[nodiscard]] bool IsUrlParamKey(std::string_view key);

// The parameter block of one object: the attribute's text (values joined by CR LF) split at
// every ";" into pairs and each pair at its first "=" into key and value; a pair without "="
// has an empty value, a pair with an empty key is skipped. Each pair becomes one tab and its
// element (XmlElement(key, value)) or url-param entry; the entries are joined by CR LF. Empty
// when the attribute cannot be read or holds no pair.
[[nodiscard]] std::string ParametersToXml(const XmlAttributeSource& source,
                                          const std::string& objectName,
                                          const std::string& attributeName);
// The same, and sets `firstBad`, unless it is set already, to the first text written into the
// block that the document cannot hold, its offset counted in the attribute's text.
[[nodiscard]] std::string ParametersToXml(const XmlAttributeSource& source,
                                          const std::string& objectName,
                                          const std::string& attributeName,
                                          std::optional<XmlBadText>& firstBad);
