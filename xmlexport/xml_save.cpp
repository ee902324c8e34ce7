// Atomic saving of the install document.
#include "xmlexport/xml_save.h"

#include <algorithm>

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

namespace {

std::optional<std::string> SaveFailure(const std::string& fileName, const FileResult& saved) {
  if (saved.Succeeded()) {
    return std::nullopt;
  }
  return "Cannot create file " + fileName + ": " + saved.reason;
}

}  // namespace

std::optional<std::string> SaveTextFile(const std::string& fileName, std::string_view bytes) {
  return SaveFailure(fileName, ReplaceFileAtomically(fileName, bytes));
}

std::optional<std::string> SaveTextFile(const std::string& fileName,
                                        const std::vector<std::string>& pieces) {
  const auto writeEach = [&pieces](int fd, std::string_view) {
    return std::all_of(pieces.begin(), pieces.end(),
                       [fd](const std::string& piece) { return WriteAll(fd, piece); });
  };
  return SaveFailure(fileName, ReplaceFileAtomically(fileName, {}, writeEach));
}

XmlSaveResult SaveXmlDocument(const std::string& fileName, std::vector<std::string>& lines) {
  XmlSaveResult result;
  result.closingAppended = CloseEditedDocument(lines);
  result.error = SaveTextFile(fileName, XmlFileText(lines));
  return result;
}
