#pragma once
// What the window's tests share: dialogs that record instead of showing, a throw-away program and
// configuration folder with the test's own client, the fixture that builds the window over them,
// and (in window_test_main.cpp) the main that owns the QApplication and,
// for QT_QPA_PLATFORM=xcb, starts a virtual X server of its own for the run.
#include <sys/types.h>

#include <gtest/gtest.h>

#include <QString>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/form_dialogs.h"
#include "app/main_form.h"
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

// A TempConfigFolder that also holds bin/orvane (the program file the window is given), the
// client's connections.ini and the client itself, which reads the default connections file of the
// configuration folder until UseConnections points it elsewhere.
class WindowTestFolder : public TempConfigFolder {
 public:
  WindowTestFolder();

  [[nodiscard]] std::filesystem::path ProgramFile() const { return Root() / "bin" / "orvane"; }
  // Shuts the client down and points it at `connections`, written as connections.ini; its path.
  std::string UseConnections(std::string_view connections) {
    return connections_.Use(*this, connections);
  }
  [[nodiscard]] DirSession& Client() { return connections_.Client(); }

 private:
  ClientConnections connections_;
};

// A window test: its folder and client, the recording dialogs, and the window built over them.
class WindowTest : public ::testing::Test {
 protected:
  // Builds the window over the folder's client with `dialogs` (the recording ones when null) and
  // shows it; the window is the client's first start unless the test started it itself.
  TMainForm& ShowForm(FormDialogs* dialogs = nullptr) {
    form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs != nullptr ? *dialogs : dialogs_,
                                        folder_.ProgramFile());
    form_->show();
    return *form_;
  }
  // The window's control of the object name `name` and type Widget; a failure when there is none.
  template <typename Widget>
  Widget* Find(const char* name) {
    auto* widget = form_->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  WindowTestFolder folder_;
  RecordingDialogs dialogs_;
  std::unique_ptr<TMainForm> form_;
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
