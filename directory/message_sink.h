#pragma once
// Where the directory layer's error boxes go. The window passes its own (a message box with one
// OK button); tests pass one that records the texts. Keeps the directory layer free of Qt.
#include <string>

class ErrorMessageSink {
 public:
  virtual ~ErrorMessageSink() = default;
  // Shows `text` as an error message with one OK button and returns when it is dismissed.
  virtual void ShowError(const std::string& text) = 0;
};
