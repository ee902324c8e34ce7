#pragma once
// The window's dialogs as one seam: error boxes and the file-save dialog. main() passes the Qt
// implementation; tests pass one that records what was shown and answers the save dialog.
#include <optional>
#include <string>

#include "directory/message_sink.h"

// What the window asks of its file-save dialog (the dialog component's properties).
struct TSaveDialog {
  // "Caption|pattern|Caption|pattern...", e.g. "XML Files|*.xml|All Files|*.*".
  std::string Filter = "Ini Files|*.ini|Text Files|*.txt|All Files|*.*";
  // Appended to a chosen name that has no extension of its own.
  std::string DefaultExt = "xml";
  // The folder the dialog opens in; empty for the dialog's own choice.
  std::string InitialDir;
  // The name the dialog's file field starts with; empty for none.
  std::string FileName;
};

class FormDialogs : public ErrorMessageSink {
 public:
  // Asks for a file to save to; the chosen full path, or nothing when the user cancels. An
  // existing file is chosen only once the user has agreed to replace it.
  [[nodiscard]] virtual std::optional<std::string> ExecuteSave(const TSaveDialog& dialog) = 0;
};
