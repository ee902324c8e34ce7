#pragma once
// The install document's attribute source in the program: reads through a directory context
// (the window's search context, whose names are complete).
#include "directory/client/dir_client.h"
#include "xmlexport/attribute_source.h"

class DirectoryAttributeSource : public XmlAttributeSource {
 public:
  // `context` stays the caller's; every read works on a duplicate of it.
  explicit DirectoryAttributeSource(DirContext context) : context_(context) {}

  [[nodiscard]] int32_t ReadValues(const std::string& objectName, const std::string& attributeName,
                                   TStringList& values) const override;
  [[nodiscard]] int32_t ReadText(const std::string& objectName, const std::string& attributeName,
                                 std::string& text) const override;

 private:
  DirContext context_;
};
