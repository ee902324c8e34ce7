// Atomic saving of the install document.
#include "xmlexport/xml_save.h"

#include "util/atomic_file.h"

std::string XmlFileText(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) {
    size += line.size() + 2;
  }
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool CloseEditedDocument(std::vector<std::string>& lines) {
  if (!lines.empty() && lines.front() == "<install>") {
    return false;
  }
  lines.emplace_back();
  lines.emplace_back("</install>");
  return true;
}

std::optional<std::string> SaveTextFile(const std::string& fileName, std::string_view bytes) {
  if (const FileResult saved = ReplaceFileAtomically(fileName, bytes); !saved.Succeeded()) {
    return "Cannot create file " + fileName + ": " + saved.reason;
  }
  return std::nullopt;
}

XmlSaveResult SaveXmlDocument(const std::string& fileName, std::vector<std::string>& lines) {
  XmlSaveResult result;
  result.closingAppended = CloseEditedDocument(lines);
  result.error = SaveTextFile(fileName, XmlFileText(lines));
  return result;
}
