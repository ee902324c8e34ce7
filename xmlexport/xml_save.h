#pragma once
// Saving the install document as the view holds it: the closing lines an edited document gets,
// CR LF after every line, and a write that replaces the target only once every byte is on disk.
// The window's save button and the command-line export both save through here.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The file's bytes for `lines`: each line followed by CR LF, nothing converted.
[[nodiscard]] std::string XmlFileText(const std::vector<std::string>& lines);

// When the first line is not exactly "<install>" (or there is none), appends an empty line and
// "</install>" and returns true; the view shows the appended lines too.
bool CloseEditedDocument(std::vector<std::string>& lines);

// Writes `bytes` to a temporary file beside `fileName`, flushes it to disk and renames it over
// `fileName`. A new file gets the permissions the umask allows, a replaced one keeps its own; a
// symbolic link is followed and its target replaced. A target that is a folder or that the user
// may not write is refused. On any failure the temporary file is removed, `fileName` is left as
// it was, and false is returned.
[[nodiscard]] bool ReplaceFileAtomically(const std::string& fileName, std::string_view bytes);

struct XmlSaveResult {
  // CloseEditedDocument appended the two closing lines.
  bool closingAppended = false;
  // "Cannot create file <fileName>" when the file was not written.
  std::optional<std::string> error;
};

// Saves the document held in `lines` to `fileName`: CloseEditedDocument, then the bytes of
// XmlFileText, replacing any existing file atomically.
[[nodiscard]] XmlSaveResult SaveXmlDocument(const std::string& fileName,
                                            std::vector<std::string>& lines);
