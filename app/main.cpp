// The program entry: the application, the Qt seams, the main window and its message loop.
//
// One option exists for automated checks only: --quit-after-start closes the window as soon as
// the message loop runs, so a test can start the real program, let it start up and shut down
// (settings written) and see it exit. A normal start is unaffected.
#include <QApplication>
#include <QTimer>
#include <cstring>

#include "app/d_ini.h"
#include "app/login_dialog.h"
#include "app/main_form.h"
#include "app/qt_form_dialogs.h"
#include "app/qt_hooks.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // The title the desktop shows for the application. Set as the application name, not the
  // display name: Qt appends a display name to every window caption, which must stay as it is.
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
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
