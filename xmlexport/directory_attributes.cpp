// Attribute reads of the install document through the directory layer.
#include "xmlexport/directory_attributes.h"

#include <algorithm>

#include "directory/client/dir_codes.h"
#include "directory/client/dir_name.h"
#include "directory/d_nw_list.h"
#include "directory/d_nw_read.h"

namespace {

// The attributes a block of the document reads of its object.
const std::vector<std::string>& RbsAttributeNames() {
  static const std::vector<std::string> names{
      "rbsParameters",     "rbsTargetObjectType", "rbsEntryPoint", "rbsContentMembership",
      "rbsPageMembership", "rbsXMLInfo",          "rbsTaskRights"};
  return names;
}

// An absent attribute reads as this, alone as well as among others.
const AttributeAnswer kAbsentAttribute{"", kDirNoSuchAttribute, {}};

}  // namespace

const AttributeAnswer* DirectoryAttributeSource::Answered(const std::string& objectName,
                                                          const std::string& attributeName) const {
  const std::vector<std::string>& rbs = RbsAttributeNames();
  if (std::none_of(rbs.begin(), rbs.end(), [&](const std::string& name) {
        return EqualsIgnoringCase(name, attributeName);
      })) {
    return nullptr;
  }
  if (!lastObject_ || lastObject_->objectName != objectName) {
    lastObject_ = ObjectAnswer{objectName, 0, {}};
    lastObject_->code =
        DSReadAttributes(client_, context_, objectName, rbs, lastObject_->attributes);
  }
  if (lastObject_->code == kDirNoSuchAttribute) {
    // The object holds none of them.
    return &kAbsentAttribute;
  }
  if (lastObject_->code == kDirTransportFailure || lastObject_->code == kDirUnreachableServer) {
    // Asking a lost server again would only wait for its time-out once more.
    lostAnswer_ = AttributeAnswer{"", lastObject_->code, {}};
    return &*lostAnswer_;
  }
  if (lastObject_->code != kDirOk) {
    return nullptr;
  }
  for (const AttributeAnswer& answer : lastObject_->attributes) {
    if (EqualsIgnoringCase(answer.name, attributeName)) {
      return &answer;
    }
  }
  return &kAbsentAttribute;
}

void DirectoryAttributeSource::Expect(const std::vector<std::string>& objectNames) const {
  // All at once: the store then fetches them in as few requests as it can, which it cannot
  // when told of a few at a time.
  if (within_) {
    DSReadAheadWithin(client_, context_, objectNames, RbsAttributeNames(), within_->baseName,
                      within_->filterText);
  } else {
    static_cast<void>(client_.DirReadAhead(context_, objectNames, RbsAttributeNames()));
  }
}

int32_t DirectoryAttributeSource::ReadValues(const std::string& objectName,
                                             const std::string& attributeName,
                                             TStringList& values) const {
  if (const AttributeAnswer* answer = Answered(objectName, attributeName)) {
    for (const TStringList::Entry& entry : answer->values) {
      values.Add(entry.text, entry.number);
    }
    return Note(answer->code, objectName, attributeName);
  }
  return Note(ReadAttributeValues(client_, context_, objectName, attributeName, values), objectName,
              attributeName);
}

int32_t DirectoryAttributeSource::ReadText(const std::string& objectName,
                                           const std::string& attributeName,
                                           std::string& text) const {
  if (const AttributeAnswer* answer = Answered(objectName, attributeName)) {
    text = ReadValuesText(answer->values);
    return Note(answer->code, objectName, attributeName);
  }
  return Note(ReadAttributeText(client_, context_, objectName, attributeName, text), objectName,
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
