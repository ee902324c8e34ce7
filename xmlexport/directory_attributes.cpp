// Attribute reads of the install document through the directory layer.
#include "xmlexport/directory_attributes.h"

#include "directory/d_nw_read.h"

int32_t DirectoryAttributeSource::ReadValues(const std::string& objectName,
                                             const std::string& attributeName,
                                             TStringList& values) const {
  return ReadAttributeValues(context_, objectName, attributeName, values);
}

int32_t DirectoryAttributeSource::ReadText(const std::string& objectName,
                                           const std::string& attributeName,
                                           std::string& text) const {
  return ReadAttributeText(context_, objectName, attributeName, text);
}
