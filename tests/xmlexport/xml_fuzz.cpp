// Arbitrary bytes as directory text: whatever a value or a parameter list holds, the element and
// the parameter block made of it are well-formed content, and nothing reads out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/xmlexport/table_source.h"
#include "xmlexport/d_xml.h"
#include "xmlexport/xml_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (!IsWellFormedContent(XmlElement("value", text))) {
    std::abort();
  }
  static_cast<void>(IsXmlName(text));

  TableAttributeSource source;
  source.Set("X", "rbsParameters", {text});
  const std::string block = ParametersToXml(source, "X", "rbsParameters");
  if (!IsWellFormedContent(block)) {
    std::abort();
  }
  return 0;
}
