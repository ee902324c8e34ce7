#pragma once
// What the window's tests share: dialogs that record instead of showing, a throw-away program and
// configuration folder, and (in window_test_main.cpp) the main that owns the QApplication and,
// for QT_QPA_PLATFORM=xcb, starts a virtual X server of its own for the run.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form_dialogs.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_client.h"

// Records every error box and save request; the save dialog answers `saveAnswer` (cancelled
// when empty).
class RecordingDialogs : public FormDialogs {
 public:
  void ShowError(const std::string& text) override { errors.push_back(text); }
  std::optional<std::string> ExecuteSave(const TSaveDialog& dialog) override {
    saveRequests.push_back(dialog);
    return saveAnswer;
  }
  std::vector<std::string> errors;
  std::vector<TSaveDialog> saveRequests;
  std::optional<std::string> saveAnswer;
};

// A TempConfigFolder that also holds bin/orvane (the program file the window is given) and the
// client's connections.ini; the directory client is shut down and pointed back at its default
// when it goes.
class WindowTestFolder : public TempConfigFolder {
 public:
  WindowTestFolder();

  [[nodiscard]] std::filesystem::path ProgramFile() const { return Root() / "bin" / "orvane"; }
  // Shuts the client down and points it at `connections`, written as connections.ini; its path.
  std::string UseConnections(std::string_view connections) {
    return connections_.Use(*this, connections);
  }

 private:
  ClientConnections connections_;
};

// An Xvfb server on a display number it picks itself (so that test binaries may run side by
// side), with DISPLAY pointing at it while this lives; ended when it goes.
class VirtualDisplay {
 public:
  VirtualDisplay();
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // Empty once the server accepts clients; otherwise why it does not.
  [[nodiscard]] const std::string& Error() const { return error_; }

 private:
  pid_t server_ = -1;
  std::string error_;
};

// A window manager (openbox) on the display DISPLAY names, framing every window shown from the
// moment it is ready until this goes; ended then. Windows shown before it keep no frame.
class WindowManager {
 public:
  WindowManager();
  ~WindowManager();
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  // Empty once the window manager runs; otherwise why it does not.
  [[nodiscard]] const std::string& Error() const { return error_; }

 private:
  TempFolder folder_{"orvane-wm"};
  pid_t manager_ = -1;
  std::string error_;
};
