// The window as a user sees it: the real TMainForm on an X server of the test's own (Xvfb), with
// the program's message pump installed, driven by mouse and keyboard events, on the built-in
// sample tree browsed at .Services.Larkspur.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/connections_dialog.h"
#include "app/item_list.h"
#include "app/main_form.h"
#include "app/profile_file.h"
#include "app/qt_hooks.h"
#include "app/qt_item_list_model.h"
#include "app/work_monitor.h"
#include "tests/support/window_test_support.h"
#include "util/atomic_file.h"
#include "util/hooks.h"

namespace {

std::string Text(const QRect& place) {
  return std::to_string(place.x()) + "," + std::to_string(place.y()) + " " +
         std::to_string(place.width()) + "x" + std::to_string(place.height());
}
std::string Text(const QWidget* widget) {
  return widget->objectName().toStdString();
}

// Where a check list stands on its page: 2, 56 and as far as 2 pixels inside the page's edges.
std::string ListPlaceOn(const QWidget* page) {
  return Text(QRect(2, 56, page->width() - 4, page->height() - 58));
}

class WindowGuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    InstallQtHooks();
  }
  // The window, shown and active, browsing `container` of `tree` (the sample tree unless the
  // test has chosen other connections).
  TMainForm& Start(const std::string& container = ".Services.Larkspur",
                   const std::string& tree = "LARKSPUR_TREE") {
    folder_.Write(folder_.SettingsPath(),
                  "[Context]\nDefault=" + tree + "\n" + tree + "=" + container + "\n");
    form_ = std::make_unique<TMainForm>(dialogs_, folder_.ProgramFile());
    form_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    form_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    return *form_;
  }
  void TearDown() override {
    form_.reset();
    EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
  }

  // Lets the X server and the window answer each other.
  static void Settle() { QTest::qWait(150); }
  void ClickTab(QTabWidget* tabs, QWidget* page) {
    const int index = tabs->indexOf(page);
    ASSERT_GE(index, 0);
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(index).center());
    Settle();
    ASSERT_EQ(tabs->currentWidget(), page);
  }
  void OpenExportPage(QWidget* page) {
    ClickTab(form_->PageControl1, form_->TabSheetExp);
    ClickTab(form_->PageControlExp, page);
  }
  std::string Marks(QListView* list) const {
    const TItemList& items = form_->ItemsOf(list).Items();
    std::string marks;
    for (int i = 0; i < items.Count(); ++i) {
      marks += items.Checked(i) ? 'x' : '.';
    }
    return marks;
  }
  void Press(QWidget* widget, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(widget, key, modifiers);
    Settle();
  }

  WindowTestFolder folder_;
  RecordingDialogs dialogs_;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(WindowGuiTest, EveryExportPageShowsItsControlsApartInsideThePage) {
  TMainForm& form = Start();
  // The designed widths hold for Arial and for the face made to its measure.
  EXPECT_THAT(QFontInfo(form.font()).family().toStdString(),
              ::testing::AnyOf("Arial", "Liberation Sans"));
  ClickTab(form.PageControl1, form.TabSheetExp);
  const std::vector<std::pair<QWidget*, QListView*>> pages = {
      {form.TabSheetExpModules, form.CheckListBoxModules},
      {form.TabSheetExpCat, form.CheckListBoxCat},
      {form.TabSheetExpRoles, form.CheckListBoxRoles},
      {form.TabSheetExpBooks, form.CheckListBoxBooks},
      {form.TabSheetExportTasks, form.CheckListBoxTasks},
      {form.TabSheetXml, nullptr}};
  for (const auto& [page, list] : pages) {
    ClickTab(form.PageControlExp, page);
    const QList<QWidget*> controls = page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (int i = 0; i < controls.size(); ++i) {
      const QRect place = controls[i]->geometry();
      EXPECT_TRUE(controls[i]->isVisible()) << Text(controls[i]);
      EXPECT_FALSE(place.isEmpty()) << Text(controls[i]);
      EXPECT_TRUE(page->rect().contains(place)) << Text(controls[i]) << " at " << Text(place);
      for (int j = i + 1; j < controls.size(); ++j) {
        EXPECT_FALSE(place.intersects(controls[j]->geometry()))
            << Text(controls[i]) << " overlaps " << Text(controls[j]);
      }
    }
    if (list != nullptr) {
      EXPECT_EQ(Text(list->geometry()), ListPlaceOn(page)) << Text(page);
      EXPECT_GT(list->model()->rowCount(), 0) << Text(page);
    }
  }
  // The path of the saved document runs as far as the view above it.
  EXPECT_EQ(form.LabelCurrentXml->geometry().right(), form.MemoXml->geometry().right());
}

TEST_F(WindowGuiTest, CategoriesFillOnceAndAgainOnlyWhenThePageChangesSize) {
  TMainForm& form = Start();
  QSignalSpy resets(&form.ItemsOf(form.CheckListBoxCat), &QAbstractItemModel::modelReset);
  OpenExportPage(form.TabSheetExpCat);
  const auto firstFill = resets.count();
  ASSERT_GT(firstFill, 0);
  form.Edit1->setFocus();
  QTest::keyClicks(form.Edit1, QStringLiteral("larkspur"));
  ASSERT_EQ(Marks(form.CheckListBoxCat), "xx");

  ClickTab(form.PageControl1, form.TabSheetStart);
  OpenExportPage(form.TabSheetExpCat);
  EXPECT_EQ(Marks(form.CheckListBoxCat), "xx");
  EXPECT_EQ(resets.count(), firstFill);

  form.resize(form.width() + 40, form.height() + 30);
  Settle();
  EXPECT_EQ(Marks(form.CheckListBoxCat), "..");
  const QWidget* page = form.TabSheetExpCat;
  EXPECT_EQ(Text(form.CheckListBoxCat->geometry()), ListPlaceOn(page));
}

TEST_F(WindowGuiTest, XmlPageKeepsTheUsersEditsAcrossMinimiseAndRestore) {
  TMainForm& form = Start();
  ClickTab(form.PageControl1, form.TabSheetExp);
  form.EditModulesMatch->setFocus();
  QTest::keyClicks(form.EditModulesMatch, QStringLiteral("user"));
  ClickTab(form.PageControlExp, form.TabSheetXml);
  ASSERT_THAT(form.MemoXml->toPlainText().toStdString(), ::testing::HasSubstr("<module>"));
  form.MemoXml->setFocus();
  Press(form.MemoXml, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClicks(form.MemoXml, QStringLiteral("<!-- mine -->"));
  const std::string edited = form.MemoXml->toPlainText().toStdString();
  ASSERT_THAT(edited, ::testing::StartsWith("<!-- mine --><install>"));

  form.showMinimized();
  Settle();
  form.showNormal();
  Settle();
  EXPECT_EQ(form.MemoXml->toPlainText().toStdString(), edited);
}

TEST_F(WindowGuiTest, ObjectLineChosenByKeyboardMakesTheTypedContainerTheSearchBase) {
  TMainForm& form = Start(".IT.Larkspur");
  ASSERT_GT(form.ListBoxObjects->count(), 2);
  form.EditCurrentContainer->setFocus();
  form.EditCurrentContainer->selectAll();
  QTest::keyClicks(form.EditCurrentContainer, QStringLiteral(".Larkspur"));
  // Receiving the focus alone chooses nothing.
  form.ListBoxObjects->setFocus();
  Settle();
  ASSERT_EQ(form.CurrentCtx, ".IT.Larkspur");
  Press(form.ListBoxObjects, Qt::Key_Down);
  EXPECT_EQ(form.CurrentCtx, ".Larkspur");
  // Each further line chosen takes the field as it stands then.
  form.EditCurrentContainer->setText(QStringLiteral(".Services.Larkspur"));
  Press(form.ListBoxObjects, Qt::Key_Up);
  EXPECT_EQ(form.CurrentCtx, ".Services.Larkspur");
}

TEST_F(WindowGuiTest, SharedAcceleratorCyclesBetweenItsTabs) {
  TMainForm& form = Start();
  struct Step {
    Qt::Key key;
    QWidget* outer;
    QWidget* inner;
  };
  const std::vector<Step> steps = {
      {Qt::Key_E, form.TabSheetExp, form.TabSheetExpModules},
      {Qt::Key_C, form.TabSheetExp, form.TabSheetExpCat},
      {Qt::Key_C, form.TabSheetStart, form.TabSheetExpCat},
      {Qt::Key_C, form.TabSheetStart, form.TabSheetExpCat},  // the one control left to reach
      {Qt::Key_E, form.TabSheetExp, form.TabSheetExpModules},
      {Qt::Key_X, form.TabSheetExp, form.TabSheetXml},
      {Qt::Key_C, form.TabSheetExp, form.TabSheetExpCat},
  };
  for (const Step& step : steps) {
    Press(&form, step.key, Qt::AltModifier);
    EXPECT_EQ(Text(form.PageControl1->currentWidget()), Text(step.outer));
    EXPECT_EQ(Text(form.PageControlExp->currentWidget()), Text(step.inner));
  }
}

// Containers from the keyboard: Enter on a container line enters it, Backspace and Alt+Up go to
// the parent, and a container typed into the field is gone to with Enter; a line double-clicked
// after typing is one of the container the lists show. A name that cannot be listed is refused
// and stays in the field.
TEST_F(WindowGuiTest, ContainersAreEnteredAndLeftFromTheKeyboard) {
  TMainForm& form = Start(".Larkspur");
  QListWidget& containers = *form.ListBoxContainers;
  QLineEdit& field = *form.EditCurrentContainer;
  const auto choose = [&containers](const char* line) {
    const QList<QListWidgetItem*> found =
        containers.findItems(QString::fromLatin1(line), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << line;
    containers.setFocus();
    containers.setCurrentItem(found.front());
  };
  const auto type = [this, &field](const char* text) {
    field.setFocus();
    field.selectAll();
    QTest::keyClicks(&field, QString::fromLatin1(text));
    Press(&field, Qt::Key_Return);
  };
  const auto lines = [&containers] {
    QStringList texts;
    for (int i = 0; i < containers.count(); ++i)
      texts << containers.item(i)->text();
    return texts.join(u',').toStdString();
  };

  choose("Services");
  Press(&containers, Qt::Key_Return);
  EXPECT_EQ(field.text().toStdString(), ".Services.Larkspur");
  EXPECT_EQ(lines(), "[ .. ],RBS Collection");
  Press(&containers, Qt::Key_Backspace);
  EXPECT_EQ(field.text().toStdString(), ".Larkspur");
  Press(form.ListBoxObjects, Qt::Key_Up, Qt::AltModifier);
  EXPECT_EQ(field.text().toStdString(), "[Root]");
  Press(&containers, Qt::Key_Backspace);
  EXPECT_EQ(field.text().toStdString(), "[Root]");
  choose("Larkspur");
  Press(&containers, Qt::Key_Enter);
  EXPECT_EQ(field.text().toStdString(), ".Larkspur");

  type(".Services.Larkspur");
  EXPECT_EQ(field.text().toStdString(), ".Services.Larkspur");
  EXPECT_EQ(form.CurrentCtx, ".Services.Larkspur");
  EXPECT_EQ(lines(), "[ .. ],RBS Collection");
  Press(&field, Qt::Key_Up, Qt::AltModifier);
  EXPECT_EQ(field.text().toStdString(), ".Larkspur");

  // Typed without Enter, then a line of .Larkspur double-clicked.
  field.setFocus();
  field.selectAll();
  QTest::keyClicks(&field, QStringLiteral(".Services.Larkspur"));
  choose("Services");
  const QPoint at = containers.visualItemRect(containers.currentItem()).center();
  QTest::mouseClick(containers.viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(containers.viewport(), Qt::LeftButton, {}, at);
  Settle();
  EXPECT_EQ(field.text().toStdString(), ".Services.Larkspur");
  EXPECT_EQ(lines(), "[ .. ],RBS Collection");

  type(".Nowhere.Larkspur");
  EXPECT_EQ(field.text().toStdString(), ".Nowhere.Larkspur");
  EXPECT_EQ(lines(), "[ .. ],RBS Collection");
  ASSERT_EQ(dialogs_.errors.size(), 1U);
  EXPECT_THAT(dialogs_.errors.front(),
              ::testing::StartsWith("Cannot show the container .Nowhere.Larkspur: 0xFFFFFDA7"));
  dialogs_.errors.clear();
}

// Long work on a big container: while it runs, the status bar counts the entries read beside a
// Stop button under the busy cursor, and a click on another tab or a key for the list change
// nothing; Esc stops the listing, the Stop button the export's searches. Each keeps what it had
// read and says "stopped" until the next handler puts the guide's address back.
TEST_F(WindowGuiTest, LongWorkShowsProgressIgnoresOtherInputAndStops) {
  constexpr int kTasks = 30'000;
  std::string ldif = "version: 1\n\ndn: o=Big\nobjectClass: organization\n\n";
  for (int i = 0; i < kTasks; ++i) {
    ldif += "dn: cn=task" + std::to_string(i) + ",o=Big\nobjectClass: rbsTask2\n\n";
  }
  folder_.UseConnections(OneConnection("BIG_TREE", folder_.Write("big.ldif", ldif).string()));
  TMainForm& form = Start("[Root]", "BIG_TREE");
  ASSERT_EQ(form.ListBoxContainers->count(), 1);
  const QString address = form.StatusBar->SimpleText();
  // Shown from the first entry on, so that the check below does not depend on the machine.
  form.WorkMonitor->ProgressDelay = std::chrono::milliseconds(0);
  // Messages run at every check, not at most every 15 ms: a machine that reads a whole search
  // between two runs would otherwise see the stop land only in the search after it. SetUp puts
  // the usual pump back for the next test.
  SetMessagePump(ThrottledMessagePump(std::chrono::milliseconds(0)));

  // Runs `during` once, inside the work started by `start`, as soon as the bar shows progress.
  const auto whileWorking = [&form](const std::function<void()>& start,
                                    const std::function<void()>& during) {
    QTimer watch;
    bool done = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!done && form.StatusBar->SimpleText().contains(QStringLiteral(" read"))) {
        done = true;
        EXPECT_TRUE(form.WorkMonitor->ButtonStop->isVisible());
        if (const char* shot = std::getenv("ORVANE_PROGRESS_SCREENSHOT")) {
          form.StatusBar->grab().save(QString::fromLocal8Bit(shot));
        }
        during();
      }
    });
    watch.start(0);
    start();
    EXPECT_TRUE(done) << "the work ended before it showed progress";
    EXPECT_FALSE(form.WorkMonitor->ButtonStop->isVisible());
  };

  QListWidget& containers = *form.ListBoxContainers;
  const QPoint big = containers.visualItemRect(containers.item(0)).center();
  QTest::mouseClick(containers.viewport(), Qt::LeftButton, {}, big);
  Settle();
  whileWorking([&] { QTest::mouseDClick(containers.viewport(), Qt::LeftButton, {}, big); },
               [&] {
                 // The listing keeps the hourglass it has always shown.
                 ASSERT_NE(QApplication::overrideCursor(), nullptr);
                 EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
                 const QTabBar* tabs = form.PageControl1->tabBar();
                 QTest::mouseClick(
                     form.PageControl1->tabBar(), Qt::LeftButton, {},
                     tabs->tabRect(form.PageControl1->indexOf(form.TabSheetInfo)).center());
                 QTest::keyClick(&containers, Qt::Key_Down);
                 QTest::keyClick(&containers, Qt::Key_Escape);
               });
  EXPECT_EQ(form.EditCurrentContainer->text(), QStringLiteral(".Big"));
  EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheetStart);
  EXPECT_GT(form.ListBoxObjects->count(), 0);
  EXPECT_LT(form.ListBoxObjects->count(), kTasks);
  EXPECT_THAT(form.StatusBar->SimpleText().toStdString(),
              ::testing::StartsWith("Listing .Big stopped: "));

  form.ListBoxObjects->setCurrentRow(0);
  EXPECT_EQ(form.StatusBar->SimpleText(), address);

  whileWorking([&] { ClickTab(form.PageControl1, form.TabSheetExp); },
               [&] { QTest::mouseClick(form.WorkMonitor->ButtonStop, Qt::LeftButton); });
  const int found = form.ItemsOf(form.CheckListBoxTasks).Items().Count();
  EXPECT_GT(found, 0);
  EXPECT_LT(found, kTasks);
  EXPECT_EQ(form.StatusBar->SimpleText().toStdString(),
            "Searching below .Big stopped: " +
                (found == 1 ? std::string("1 entry") : std::to_string(found) + " entries") +
                " read");
}

// Under a window manager the window reopens where it was closed, its frame at the same corner and
// its size the same, run after run; also closed filling the screen from 0,0. A stored place that
// does not fit the screen, or fits only without the frame, is moved and shrunk onto it.
TEST_F(WindowGuiTest, WindowReopensWhereItWasClosedAndOnTheScreen) {
  const WindowManager manager;
  ASSERT_EQ(manager.Error(), "");
  Start();
  const QRect screen = form_->screen()->availableGeometry();
  // Framed and, once the frame is known, fitted onto the screen.
  const auto framed = [this] {
    EXPECT_TRUE(QTest::qWaitFor([this] { return !form_->windowHandle()->frameMargins().isNull(); }))
        << "the window manager framed no window";
    Settle();
  };
  framed();
  const QMargins frame = form_->windowHandle()->frameMargins();
  const auto reopen = [&] {
    form_->close();
    form_ = std::make_unique<TMainForm>(dialogs_, folder_.ProgramFile());
    form_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    framed();
    return Text(form_->frameGeometry()) + " inner " + Text(form_->geometry());
  };
  const auto placed = [&](const QRect& outer) {
    return Text(outer) + " inner " + Text(outer - frame);
  };

  form_->move(200, 300);
  Settle();
  const std::string moved = placed(
      QRect(200, 300, 868 + frame.left() + frame.right(), 691 + frame.top() + frame.bottom()));
  ASSERT_EQ(Text(form_->frameGeometry()) + " inner " + Text(form_->geometry()), moved);
  for (int run = 1; run <= 3; ++run) {
    EXPECT_EQ(reopen(), moved) << "run " << run;
  }

  form_->resize(screen.size().shrunkBy(frame));
  form_->move(screen.topLeft());
  Settle();
  ASSERT_EQ(Text(form_->frameGeometry()), Text(screen));
  EXPECT_EQ(reopen(), placed(screen));

  struct Stored {
    int left, top, width, height;
    QRect outer;  // where the frame is to stand
  };
  const std::vector<Stored> stored = {
      // Larger than the screen and beyond it: the whole screen.
      {3000, -50, 2000, 1500, screen},
      // Beyond the right and bottom edges: moved back, size kept.
      {screen.right() - 100, screen.bottom() - 100, 700, 500,
       QRect(0, 0, 700 + frame.left() + frame.right(), 500 + frame.top() + frame.bottom())
           .translated(screen.right() + 1 - 700 - frame.left() - frame.right(),
                       screen.bottom() + 1 - 500 - frame.top() - frame.bottom())},
      // The screen's size without the frame fits; with it, the frame is shrunk onto the screen.
      {0, 0, screen.width(), screen.height(), screen},
  };
  for (const Stored& place : stored) {
    form_->close();
    ProfileFile settings(folder_.SettingsPath());
    settings.WriteInteger("Settings", "MainForm.Left", place.left);
    settings.WriteInteger("Settings", "MainForm.Top", place.top);
    settings.WriteInteger("Settings", "MainForm.Width", place.width);
    settings.WriteInteger("Settings", "MainForm.Height", place.height);
    form_ = std::make_unique<TMainForm>(dialogs_, folder_.ProgramFile());
    form_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    framed();
    EXPECT_EQ(Text(form_->frameGeometry()) + " inner " + Text(form_->geometry()),
              placed(place.outer))
        << place.left << "," << place.top << " " << place.width << "x" << place.height;
  }
  form_.reset();
}

TEST_F(WindowGuiTest, TabIndentedXmlLinesStandWhereEightSpacesWould) {
  TMainForm& form = Start();
  OpenExportPage(form.TabSheetXml);
  QPlainTextEdit& view = *form.MemoXml;
  view.setPlainText(QStringLiteral("\t<a>\n        <a>"));
  QTextCursor afterTab(view.document()->findBlockByNumber(0));
  afterTab.setPosition(afterTab.position() + 1);
  QTextCursor afterSpaces(view.document()->findBlockByNumber(1));
  afterSpaces.setPosition(afterSpaces.position() + 8);
  EXPECT_EQ(view.cursorRect(afterTab).x(), view.cursorRect(afterSpaces).x());
}

// The connections dialog from the Start tab: a connection added there is written to the file and,
// once the dialog closes, its tree is in the tree list; a server that cannot be reached fails the
// restart with the server named and leaves a window that can take the connection out again.
TEST_F(WindowGuiTest, ConnectionsAddedInTheDialogReachTheTreeList) {
  TMainForm& form = Start();
  const auto trees = [&form] {
    QStringList names;
    for (int i = 0; i < form.ComboBoxTrees->count(); ++i)
      names << form.ComboBoxTrees->itemText(i);
    return names.join(u',').toStdString();
  };
  ASSERT_EQ(trees(), "LARKSPUR_TREE");
  const auto open = [&form]() -> TConnectionsDialog* {
    EXPECT_TRUE(form.ButtonConnections->isVisible());
    QTest::mouseClick(form.ButtonConnections, Qt::LeftButton);
    Settle();
    auto* dialog = form.findChild<TConnectionsDialog*>(QStringLiteral("ConnectionsDialog"));
    EXPECT_TRUE(dialog != nullptr && dialog->isVisible());
    return dialog;
  };
  const auto add = [](TConnectionsDialog* dialog, const char* name, const char* tree, int kind,
                      const std::string& source) {
    QTest::mouseClick(dialog->ButtonNew, Qt::LeftButton);
    dialog->EditName->clear();
    QTest::keyClicks(dialog->EditName, QString::fromLatin1(name));
    QTest::keyClicks(dialog->EditTree, QString::fromLatin1(tree));
    dialog->ComboSourceKind->setCurrentIndex(kind);
    QTest::keyClicks(dialog->EditSource, QString::fromStdString(source));
  };
  const std::string shop = std::string(ORVANE_TEST_DATA) + "/shop_tree.ldif";

  TConnectionsDialog* dialog = open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->ListConnections->count(), 1);  // the sample the client opens without a file
  // A typed change is neither left behind by New nor closed away; Undo takes it back.
  QTest::keyClicks(dialog->EditTree, QStringLiteral("X"));
  QTest::mouseClick(dialog->ButtonNew, Qt::LeftButton);
  dialog->reject();
  Settle();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->EditTree->text(), QStringLiteral("LARKSPUR_TREEX"));
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(),
              ::testing::HasSubstr("The changes to [sample] are not saved"));
  QTest::mouseClick(dialog->ButtonUndo, Qt::LeftButton);
  EXPECT_EQ(dialog->EditTree->text(), QStringLiteral("LARKSPUR_TREE"));
  add(dialog, "shop", "SHOP_TREE", TConnectionsDialog::kLdifFile, shop);
  QTest::mouseClick(dialog->ButtonTest, Qt::LeftButton);
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(), ::testing::StartsWith("Read "));
  QTest::mouseClick(dialog->ButtonSave, Qt::LeftButton);
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(), ::testing::StartsWith("Saved to "));
  EXPECT_EQ(dialog->ListConnections->count(), 2);
  dialog->reject();
  Settle();
  EXPECT_EQ(trees(), "LARKSPUR_TREE,SHOP_TREE");
  EXPECT_EQ(form.ComboBoxTrees->currentText(), QStringLiteral("LARKSPUR_TREE"));
  EXPECT_GT(form.ListBoxContainers->count(), 0);

  dialog = open();
  ASSERT_NE(dialog, nullptr);
  add(dialog, "down", "DOWN_TREE", TConnectionsDialog::kLdap, "127.0.0.1:1");
  QTest::mouseClick(dialog->ButtonTest, Qt::LeftButton);
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(),
              ::testing::HasSubstr("127.0.0.1 port 1: Connection refused"));
  QTest::mouseClick(dialog->ButtonSave, Qt::LeftButton);
  dialog->reject();
  Settle();
  EXPECT_EQ(trees(), "");
  ASSERT_FALSE(dialogs_.errors.empty());
  EXPECT_THAT(dialogs_.errors.front(), ::testing::HasSubstr("ldap://127.0.0.1:1"));
  dialogs_.errors.clear();

  dialog = open();
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(dialog->ListConnections->count(), 3);
  dialog->ListConnections->setCurrentRow(2);
  ASSERT_EQ(dialog->EditName->text(), QStringLiteral("down"));
  QTest::mouseClick(dialog->ButtonRemove, Qt::LeftButton);
  dialog->reject();
  Settle();
  EXPECT_EQ(trees(), "LARKSPUR_TREE,SHOP_TREE");

  // A file the dialog cannot read is shown with its error and never written.
  const std::filesystem::path file = folder_.Root() / "config" / "orvane" / "connections.ini";
  folder_.Write(file, "[a]\ntree = T\n");
  dialog = open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(),
              ::testing::HasSubstr("line 1: section [a] has no source"));
  EXPECT_FALSE(dialog->ButtonSave->isEnabled());
  dialog->reject();
  Settle();
  std::string text;
  ASSERT_TRUE(ReadRegularFile(file, text).Succeeded());
  EXPECT_EQ(text, "[a]\ntree = T\n");
}

}  // namespace
