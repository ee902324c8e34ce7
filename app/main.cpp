// The program entry: the application, the Qt seams, the main window and its message loop.
//
// --help and --version answer before the application starts, so they need no display.
// One option exists for automated checks only: --quit-after-start closes the window as soon as
// the message loop runs and then prints the Info page's first line and the status bar's text, so
// a check can start the real program, let it start up and shut down (settings written), see it
// exit and see where it found its documents. A normal start is unaffected.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>

#include "app/d_ini.h"
#include "app/login_dialog.h"
#include "app/main_form.h"
#include "app/program_version.h"
#include "app/qt_form_dialogs.h"
#include "app/qt_hooks.h"
#include "directory/client/dir_session.h"
#include "util/secrets.h"

namespace {

constexpr std::string_view kHelp =
    "Usage: orvane [--help] [--version] [Qt options]\n"
    "Lists the role-based-services objects of a directory tree in a window, lets you mark them\n"
    "and shows and saves the marked ones as one install XML document.\n"
    "\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "  --quit-after-start  close the window once it has started (for automated checks)\n"
    "\n"
    "Qt options that matter:\n"
    "  -platform NAME      the window system: xcb (X11), wayland, or offscreen (no display)\n"
    "  -display NAME       the X display to open instead of $DISPLAY (xcb only)\n"
    "Every other option of a Qt program is taken as well; see the Qt documentation.\n"
    "\n"
    "orvane-export(1) exports without the window.\n";

void PrintVersion() {
  std::cout << "orvane " << kOrvaneVersion
            << "\nUser guide: " << ProgramDocument(ProgramFile(), "index.html").string() << '\n';
}

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

// The application and its window over `client`, from start-up to the window closed and the
// settings written; the exit status.
int RunWindow(DirClient& client, int argc, char** argv) {
  QApplication application(argc, argv);
  // The title the desktop shows for the application. Set as the application name, not the
  // display name: Qt appends a display name to every window caption, which must stay as it is.
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  // The desktop entry's name: Wayland desktops match the window to its entry (and icon) by it.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.orvane.Orvane"));
  InstallQtHooks();

  bool quitAfterStart = false;
  for (int i = 1; i < argc; ++i) {
    quitAfterStart = quitAfterStart || std::strcmp(argv[i], "--quit-after-start") == 0;
  }

  QtFormDialogs dialogs;
  KeychainVault keyring;
  QtLoginAsker loginDialog;
  WindowLogin login(keyring, loginDialog, dialogs);
  client.DirClientSetPasswordProvider(
      [&login](const DirPasswordRequest& request) { return login.Provide(request); });
  TMainForm MainForm(client, dialogs, ProgramFile());
  dialogs.SetOwner(&MainForm);
  MainForm.show();
  if (quitAfterStart) {
    QTimer::singleShot(0, &MainForm, &QWidget::close);
  }
  const int status = QApplication::exec();
  if (quitAfterStart) {
    std::cout << "Info: " << MainForm.Memo1->toPlainText().section(u'\n', 0, 0).toStdString()
              << "\nStatus bar: " << MainForm.StatusBar->SimpleText().toStdString() << '\n';
  }
  client.DirClientSetPasswordProvider({});
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kHelp << '\n';
      PrintVersion();
      return std::cout ? 0 : 1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      PrintVersion();
      return std::cout ? 0 : 1;
    }
  }

  // A core file would hold a password typed into the login dialog.
  static_cast<void>(DisableCoreFiles());
  // Made here, not in RunWindow, so that the exit below can leave it unfreed.
  DirSession client;
  const int status = RunWindow(client, argc, argv);
  // What is left once the window has gone is freeing what the directory client holds: on a tree
  // of a million entries that alone kept the process alive for a tenth of a second or more after
  // its window, and the system takes the memory back whole at exit. A build that checks for leaks
  // frees everything as ever, so that its check sees what the program lost.
  if (!kChecksLeaks) {
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
