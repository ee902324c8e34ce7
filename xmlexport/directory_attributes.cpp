// Attribute reads of the install document through the directory layer.
#include "xmlexport/directory_attributes.h"

#include "directory/client/ldap_store.h"
#include "directory/d_nw_list.h"
#include "directory/d_nw_read.h"

int32_t DirectoryAttributeSource::ReadValues(const std::string& objectName,
                                             const std::string& attributeName,
                                             TStringList& values) const {
  return Note(ReadAttributeValues(context_, objectName, attributeName, values), objectName,
              attributeName);
}

int32_t DirectoryAttributeSource::ReadText(const std::string& objectName,
                                           const std::string& attributeName,
                                           std::string& text) const {
  return Note(ReadAttributeText(context_, objectName, attributeName, text), objectName,
              attributeName);
}

int32_t DirectoryAttributeSource::Note(int32_t code, const std::string& objectName,
                                       const std::string& attributeName) const {
  // Most objects lack most of the attributes a block asks for; only other codes mean lost values.
  const bool absent = code == kDirNoSuchAttribute || code == kDirNoSuchValue;
  if (code != kDirOk && !absent && !firstFailure_) {
    firstFailure_ = ReadFailure{code, objectName, attributeName};
  }
  if ((code == kDirTransportFailure || code == kDirUnreachableServer) && !lostServer_) {
    lostServer_ = ReadFailure{code, objectName, attributeName};
  }
  return code;
}

std::string FailedReadText(const DirectoryAttributeSource::ReadFailure& failure) {
  return "Reading " + failure.attributeName + " of " + MakeFullName(failure.objectName);
}
