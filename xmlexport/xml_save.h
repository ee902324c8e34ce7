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

// Replaces `fileName` with `bytes` atomically; "Cannot create file <fileName>: <reason>" when it
// was not written (the reason as ReplaceFileAtomically gives it), the old file then intact.
[[nodiscard]] std::optional<std::string> SaveTextFile(const std::string& fileName,
                                                      std::string_view bytes);
// The same of the bytes of `pieces`, one after another.
[[nodiscard]] std::optional<std::string> SaveTextFile(const std::string& fileName,
                                                      const std::vector<std::string>& pieces);

struct XmlSaveResult {
  // CloseEditedDocument appended the two closing lines.
  bool closingAppended = false;
  // "Cannot create file <fileName>: <reason>" when the file was not written.
  std::optional<std::string> error;
};

// Saves the document held in `lines` to `fileName`: CloseEditedDocument, then the bytes of
// XmlFileText, replacing any existing file atomically.
[[nodiscard]] XmlSaveResult SaveXmlDocument(const std::string& fileName,
                                            std::vector<std::string>& lines);
