// The program entry: the application, the Qt seams, the main window and its message loop.
//
// One option exists for automated checks only: --quit-after-start closes the window as soon as
// the message loop runs, so a test can start the real program, let it start up and shut down
// (settings written) and see it exit. A normal start is unaffected.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/d_ini.h"
#include "app/login_dialog.h"
#include "app/main_form.h"
#include "app/qt_form_dialogs.h"
#include "app/qt_hooks.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kChecksLeaks = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kChecksLeaks = true;
#else
constexpr bool kChecksLeaks = false;
#endif
#else
constexpr bool kChecksLeaks = false;
#endif

// The application and its window, from start-up to the window closed and the settings written;
// the exit status.
int RunWindow(int argc, char** argv) {
  QApplication application(argc, argv);
  // The title the desktop shows for the application. Set as the application name, not the
  // display name: Qt appends a display name to every window caption, which must stay as it is.
  QApplication::setApplicationName(QStringLiteral("iManager: Save Role and Property Book Info"));
  InstallQtHooks();

  bool quitAfterStart = false;
  for (int i = 1; i < argc; ++i) {
    quitAfterStart = quitAfterStart || std::strcmp(argv[i], "--quit-after-start") == 0;
  }

  QtFormDialogs dialogs;
  KeychainVault keyring;
  QtLoginAsker loginDialog;
  WindowLogin login(keyring, loginDialog, dialogs);
  DirClientSetPasswordProvider(
      [&login](const DirPasswordRequest& request) { return login.Provide(request); });
  TMainForm MainForm(dialogs, ProgramFile());
  dialogs.SetOwner(&MainForm);
  MainForm.show();
  if (quitAfterStart) {
    QTimer::singleShot(0, &MainForm, &QWidget::close);
  }
  const int status = QApplication::exec();
  DirClientSetPasswordProvider({});
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = RunWindow(argc, argv);
  // What is left once the window has gone is freeing what the directory client holds: on a tree
  // of a million entries that alone kept the process alive for a tenth of a second or more after
  // its window, and the system takes the memory back whole at exit. A build that checks for leaks
  // frees everything as ever, so that its check sees what the program lost.
  if (!kChecksLeaks) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
