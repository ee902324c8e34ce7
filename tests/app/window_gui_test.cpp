// The window as a user sees it: the real TMainForm on an X server of the test's own (Xvfb), with
// the program's message pump installed, driven by mouse and keyboard events, on the built-in
// sample tree browsed at .Services.Larkspur.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStyleOptionViewItem>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/connections_dialog.h"
#include "app/item_list.h"
#include "app/main_form.h"
#include "app/profile_file.h"
#include "app/qt_form_dialogs.h"
#include "app/qt_hooks.h"
#include "app/qt_item_list_model.h"
#include "app/work_monitor.h"
#include "directory/client/sample_tree.h"
#include "tests/client/slapd_server.h"
#include "tests/support/ldif_records.h"
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

// Waits until the dialog's test of a connection has given its answer.
void AwaitTest(const TConnectionsDialog* dialog) {
  for (int waited = 0; dialog->Testing() && waited < 20'000; waited += 10) {
    QTest::qWait(10);
  }
  ASSERT_FALSE(dialog->Testing()) << "the test gave no answer";
}

// A message box the program shows next, as the user saw it; answered with `answer`.
struct SeenBox {
  QString title;
  QString text;
  int width = 0;
};
void AnswerNextBox(QMessageBox::StandardButton answer, SeenBox* seen = nullptr) {
  QTimer::singleShot(0, [answer, seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) {
      AnswerNextBox(answer, seen);
      return;
    }
    if (seen != nullptr) {
      *seen = {box->windowTitle(), box->text(), box->width()};
    }
    box->button(answer)->click();
  });
}

// The title of a message box shows whole: the box is as wide as the title in the window
// manager's bold face and its buttons.
void ExpectTitleFits(const SeenBox& box) {
  EXPECT_EQ(box.title.toStdString(), kApplicationTitle);
  QFont bold = QApplication::font();
  bold.setBold(true);
  EXPECT_GE(box.width, QFontMetrics(bold).horizontalAdvance(box.title) + 100)
      << box.text.toStdString();
}

// Where a check list stands on its page: 2, 56 and as far as 2 pixels inside the page's edges.
std::string ListPlaceOn(const QWidget* page) {
  return Text(QRect(2, 56, page->width() - 4, page->height() - 58));
}

class WindowGuiTest : public WindowTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    InstallQtHooks();
  }
  // The window, shown and active, browsing `container` of `tree` (the sample tree unless the
  // test has chosen other connections).
  TMainForm& Start(const std::string& container = ".Services.Larkspur",
                   const std::string& tree = "LARKSPUR_TREE", FormDialogs* dialogs = nullptr) {
    folder_.Write(folder_.SettingsPath(),
                  "[Context]\nDefault=" + tree + "\n" + tree + "=" + container + "\n");
    ShowForm(dialogs);
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

// The categories fill on the first opening and again when the page changes size, or when the tree
// or the start container is no longer the one they were filled for.
TEST_F(WindowGuiTest, CategoriesFillOnceAndAgainOnlyWhenThePageSizeOrTheirSourceChanges) {
  folder_.UseConnections(OneConnection("LARKSPUR_TREE", "sample") +
                         "\n[shop]\ntree = SHOP_TREE\nsource = " + ORVANE_TEST_DATA +
                         "/shop_tree.ldif\ncontext = Start.Shop\n");
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

  // Up to .Larkspur: the same two categories lie below it, filled afresh.
  form.Edit1->clear();
  QTest::keyClicks(form.Edit1, QStringLiteral("larkspur"));
  ASSERT_EQ(Marks(form.CheckListBoxCat), "xx");
  ClickTab(form.PageControl1, form.TabSheetStart);
  QListWidget& containers = *form.ListBoxContainers;
  ASSERT_EQ(containers.item(0)->text(), QStringLiteral("[ .. ]"));
  const QPoint parent = containers.visualItemRect(containers.item(0)).center();
  QTest::mouseClick(containers.viewport(), Qt::LeftButton, {}, parent);
  QTest::mouseDClick(containers.viewport(), Qt::LeftButton, {}, parent);
  Settle();
  ASSERT_EQ(form.CurrentCtx, ".Larkspur");
  OpenExportPage(form.TabSheetExpCat);
  EXPECT_EQ(Marks(form.CheckListBoxCat), "..");

  // Another tree: its own categories, none of the sample's.
  ClickTab(form.PageControl1, form.TabSheetStart);
  form.ComboBoxTrees->setFocus();
  Press(form.ComboBoxTrees, Qt::Key_Down);
  ASSERT_EQ(form.CurrentTree, "SHOP_TREE");
  OpenExportPage(form.TabSheetExpCat);
  const TItemList& categories = form.ItemsOf(form.CheckListBoxCat).Items();
  ASSERT_EQ(categories.Count(), 2);
  EXPECT_EQ(categories.Line(0), "Cat1.Start.Shop");
  EXPECT_EQ(categories.Line(1), "Cat2.Start.Shop");
  if (const char* shot = std::getenv("ORVANE_CATEGORIES_SCREENSHOT")) {
    form.grab().save(QString::fromLocal8Bit(shot));
  }
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

// What an administrator exported to work offline: the RBS subtree alone, with a value outside
// its syntax. The containers above it are browsed like any other, and the value is told of once,
// after start-up.
TEST_F(WindowGuiTest, ADumpOfASubtreeBrowsesFromTheRootAndTellsOfItsOddValueOnce) {
  std::string dump(SubtreeLdif(EmbeddedSampleTree(), "cn=RBS Collection,ou=Services,o=Larkspur"));
  dump += "dn: cn=Odd,cn=RBS Collection,ou=Services,o=Larkspur\nloginGraceLimit: many\n";
  const std::string source = folder_.Write("dump.ldif", dump).string();
  folder_.UseConnections(OneConnection("DUMP_TREE", source));
  TMainForm& form = Start("[Root]", "DUMP_TREE");
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  EXPECT_THAT(dialogs_.errors.front(),
              ::testing::StartsWith(source + ": 1 value does not fit its attribute's syntax"));
  dialogs_.errors.clear();
  const auto lines = [](const QListWidget* list) {
    std::vector<std::string> texts;
    for (int i = 0; i < list->count(); ++i)
      texts.push_back(list->item(i)->text().toStdString());
    return texts;
  };
  EXPECT_THAT(lines(form.ListBoxContainers), ::testing::Contains("Larkspur"));
  for (const char* below : {"Larkspur", "Services", "RBS Collection"}) {
    SCOPED_TRACE(below);
    const auto found =
        form.ListBoxContainers->findItems(QString::fromUtf8(below), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << ::testing::PrintToString(lines(form.ListBoxContainers));
    const QRect place = form.ListBoxContainers->visualItemRect(found.front());
    QTest::mouseClick(form.ListBoxContainers->viewport(), Qt::LeftButton, {}, place.center());
    Settle();
    QTest::mouseDClick(form.ListBoxContainers->viewport(), Qt::LeftButton, {}, place.center());
    Settle();
  }
  EXPECT_EQ(form.CurrentCtx, ".RBS Collection.Services.Larkspur");
  EXPECT_THAT(lines(form.ListBoxObjects), ::testing::Contains(::testing::HasSubstr("Odd")));
  EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
}

// A tree spread over two servers: a container behind the referral lists its objects as any
// other; with that part's server gone, the export tab names the part in one message box.
TEST_F(WindowGuiTest, AContainerAcrossAReferralListsAsAnyOther) {
  const std::string tree = folder_.Write("sample.ldif", std::string(EmbeddedSampleTree())).string();
  SplitSlapd servers(tree, "cn=Print Services,cn=RBS Collection,ou=Services,o=Larkspur");
  ASSERT_TRUE(servers.Running()) << servers.Error();
  folder_.UseConnections(OneConnection("SPLIT_TREE", servers.Top().Uri(), "timeout = 2\n"));
  TMainForm& form = Start(".RBS Collection.Services.Larkspur", "SPLIT_TREE");
  const auto found =
      form.ListBoxContainers->findItems(QStringLiteral("Print Services"), Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1);
  const QRect place = form.ListBoxContainers->visualItemRect(found.front());
  QTest::mouseClick(form.ListBoxContainers->viewport(), Qt::LeftButton, {}, place.center());
  Settle();
  QTest::mouseDClick(form.ListBoxContainers->viewport(), Qt::LeftButton, {}, place.center());
  Settle();
  EXPECT_EQ(form.CurrentCtx, ".Print Services.RBS Collection.Services.Larkspur");
  std::vector<std::string> objects;
  for (int i = 0; i < form.ListBoxObjects->count(); ++i)
    objects.push_back(form.ListBoxObjects->item(i)->text().toStdString());
  EXPECT_THAT(objects, ::testing::Contains(::testing::HasSubstr("Create Printer")));
  EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
  servers.Part().Stop();
  form.TabSheetExpShow();
  Settle();
  ASSERT_EQ(dialogs_.errors.size(), 1u) << ::testing::PrintToString(dialogs_.errors);
  EXPECT_THAT(dialogs_.errors.front(), ::testing::HasSubstr(servers.Part().Uri() + ": "));
  dialogs_.errors.clear();
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
        // The button shows whole inside the bar, its text with room above and below.
        const QWidget* stop = form.WorkMonitor->ButtonStop;
        EXPECT_TRUE(form.StatusBar->rect().contains(stop->geometry())) << Text(stop->geometry());
        EXPECT_GE(stop->height(), stop->fontMetrics().height() + 2);
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
  EXPECT_EQ(form.StatusBar->SimpleText(),
            QStringLiteral("Searching below .Big stopped: %1 read")
                .arg(found == 1 ? QStringLiteral("1 entry")
                                : QLocale(QLocale::English).toString(found) + " entries"));

  // Long work that ends by itself says what it did for a while, then the address is back.
  form.WorkMonitor->OutcomeTime = std::chrono::milliseconds(400);
  ClickTab(form.PageControl1, form.TabSheetStart);
  for (const char* line : {"[ .. ]", "Big"}) {
    const auto found = containers.findItems(QString::fromLatin1(line), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << line;
    const QPoint at = containers.visualItemRect(found.front()).center();
    QTest::mouseClick(containers.viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(containers.viewport(), Qt::LeftButton, {}, at);
  }
  EXPECT_EQ(form.StatusBar->SimpleText(),
            QStringLiteral("Listing .Big: 0 containers and 30,000 objects"));
  QTest::qWait(600);
  EXPECT_EQ(form.StatusBar->SimpleText(), address);

  // Without a program to open the guide the click says so in a box, not on a terminal.
  const QByteArray path = qgetenv("PATH");
  const QByteArray browser = qgetenv("BROWSER");
  qputenv("PATH", folder_.Root().string().c_str());
  qunsetenv("BROWSER");
  QTest::mouseClick(form.StatusBar, Qt::LeftButton, {}, QPoint(20, form.StatusBar->height() / 2));
  qputenv("PATH", path);
  if (!browser.isEmpty()) {
    qputenv("BROWSER", browser);
  }
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  EXPECT_THAT(dialogs_.errors.front(),
              ::testing::StartsWith("The user guide could not be opened: no program to show " +
                                    address.toStdString() + " was found."));
  dialogs_.errors.clear();
}

// The XML page of a large selection: while it is built the page keeps painting and Esc ends the
// build well within a second, leaving the page as it was; left alone, it shows the whole
// document, every line its own.
TEST_F(WindowGuiTest, LargeXmlPageRepaintsAndStopsAtOnce) {
  constexpr int kTasks = 40'000;
  std::string ldif = "version: 1\n\ndn: o=Big\nobjectClass: organization\n\n";
  for (int i = 0; i < kTasks; ++i) {
    ldif += "dn: cn=task" + std::to_string(i) +
            ",o=Big\nobjectClass: rbsTask2\nrbsEntryPoint: Page\nrbsTargetObjectType: User\n"
            "rbsParameters: a=1;b=2;c=3\nrbsTaskRights: cn;7\n\n";
  }
  folder_.UseConnections(OneConnection("BIG_TREE", folder_.Write("big.ldif", ldif).string()));
  TMainForm& form = Start("[Root]", "BIG_TREE");
  OpenExportPage(form.TabSheetExportTasks);
  form.ItemsOf(form.CheckListBoxTasks).Mark([](TItemList& items) { items.CheckAll(); });
  form.WorkMonitor->ProgressDelay = std::chrono::milliseconds(0);
  const QString before = form.MemoXml->toPlainText();

  struct PaintCounter : QObject {
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
      painted += event->type() == QEvent::Paint ? 1 : 0;
      return false;
    }
    int painted = 0;
  } counter;
  form.MemoXml->viewport()->installEventFilter(&counter);
  QTimer watch;
  bool asked = false;
  std::optional<std::chrono::steady_clock::time_point> escaped;
  std::optional<std::chrono::steady_clock::time_point> ended;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (escaped && !ended && !form.WorkMonitor->ButtonStop->isVisible()) {
      ended = std::chrono::steady_clock::now();
    }
    if (escaped || !form.WorkMonitor->ButtonStop->isVisible() ||
        !form.StatusBar->SimpleText().contains(QStringLiteral(" of "))) {
      return;
    }
    // Esc once the page has painted what it was asked to while the build runs.
    if (!asked) {
      asked = true;
      counter.painted = 0;
      form.MemoXml->viewport()->update();
      return;
    }
    if (counter.painted == 0) {
      return;
    }
    if (const char* shot = std::getenv("ORVANE_XML_BUILD_SCREENSHOT")) {
      form.grab().save(QString::fromLocal8Bit(shot));
    }
    escaped = std::chrono::steady_clock::now();
    QTest::keyClick(form.MemoXml, Qt::Key_Escape);
  });
  watch.start(0);
  const QTabBar* tabs = form.PageControlExp->tabBar();
  QTest::mouseClick(form.PageControlExp->tabBar(), Qt::LeftButton, {},
                    tabs->tabRect(form.PageControlExp->indexOf(form.TabSheetXml)).center());
  const bool over = QTest::qWaitFor(
      [&] { return ended || form.StatusBar->SimpleText().contains(QStringLiteral(" lines")); },
      30'000);
  watch.stop();
  ASSERT_TRUE(over && escaped && ended) << "the page did not paint while the document was built";
  EXPECT_LT(*ended - *escaped, std::chrono::milliseconds(800));
  EXPECT_THAT(form.StatusBar->SimpleText().toStdString(),
              ::testing::MatchesRegex("(Building|Showing) the XML document stopped: .*"));
  EXPECT_EQ(form.MemoXml->toPlainText(), before);

  ClickTab(form.PageControlExp, form.TabSheetExportTasks);
  ClickTab(form.PageControlExp, form.TabSheetXml);
  const QTextDocument& shown = *form.MemoXml->document();
  const QStringList lines = shown.toPlainText().split(u'\n');
  EXPECT_EQ(lines.count(QStringLiteral("<task>")), kTasks);
  EXPECT_EQ(lines.back(), QStringLiteral("</install>"));
  // Each line is one of the view's lines, laid out or not: the scroll bar spans them all.
  EXPECT_EQ(shown.lineCount(), lines.size());
  form.MemoXml->verticalScrollBar()->setValue(form.MemoXml->verticalScrollBar()->maximum());
  Settle();
  QTextCursor bottom = form.MemoXml->cursorForPosition(
      QPoint(5, form.MemoXml->viewport()->height() - form.MemoXml->fontMetrics().height()));
  bottom.select(QTextCursor::LineUnderCursor);
  EXPECT_EQ(bottom.selectedText(), QStringLiteral("</install>"));
  if (const char* shot = std::getenv("ORVANE_XML_BUILT_SCREENSHOT")) {
    form.grab().save(QString::fromLocal8Bit(shot));
  }
}

// The save dialog on screen opens on the last saved document, asks before replacing a file, keeps
// it and stays open when told No, and replaces it when told Yes.
TEST_F(WindowGuiTest, SavingOverAnExistingFileAsksFirst) {
  const std::filesystem::path old = folder_.Write("out/old.xml", "old");
  QtFormDialogs screenDialogs;
  TMainForm& form = Start(".Services.Larkspur", "LARKSPUR_TREE", &screenDialogs);
  screenDialogs.SetOwner(&form);
  form.XmlPath = old.string();
  OpenExportPage(form.TabSheetXml);

  // Answers the dialogs as they come up, each step queued so that the modal loop it opens does
  // not hold up the next one.
  const auto saveAnswering = [&form](QMessageBox::StandardButton answer) {
    std::vector<std::string> seen;
    int step = 0;
    int ticksAnswered = -1;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* files = qobject_cast<QFileDialog*>(modal);
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (step == 0 && files != nullptr) {
        auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        seen.push_back("open in " + files->directory().absolutePath().toStdString() + " on " +
                       name->text().toStdString());
        ++step;
        QTimer::singleShot(0, name, [name] { QTest::keyClick(name, Qt::Key_Return); });
      } else if (step == 1 && box != nullptr) {
        seen.push_back("asked " + box->text().toStdString());
        if (const char* shot = std::getenv("ORVANE_REPLACE_SCREENSHOT")) {
          QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(shot));
        }
        ++step;
        QAbstractButton* button = box->button(answer);
        ASSERT_NE(button, nullptr);
        // The click returns inside the box's loop, which may run a tick before it ends; what
        // the file dialog does with the answer has happened by the tick after that.
        QTimer::singleShot(0, button, [button, &ticksAnswered] {
          QTest::mouseClick(button, Qt::LeftButton);
          ticksAnswered = 0;
        });
      } else if (step == 2 && ticksAnswered >= 0 && ++ticksAnswered > 1 && files != nullptr) {
        seen.emplace_back("still open");
        ++step;
        files->reject();
      }
    });
    driver.start(50);
    QTest::mouseClick(form.BitBtnSaveXml, Qt::LeftButton);
    return seen;
  };

  const std::string folder = old.parent_path().string();
  EXPECT_THAT(saveAnswering(QMessageBox::No),
              ::testing::ElementsAre("open in " + folder + " on old.xml",
                                     "asked old.xml already exists.\nDo you want to replace it?",
                                     "still open"));
  std::string text;
  ASSERT_TRUE(ReadRegularFile(old, text).Succeeded());
  EXPECT_EQ(text, "old");

  EXPECT_THAT(saveAnswering(QMessageBox::Yes), ::testing::SizeIs(2));
  ASSERT_TRUE(ReadRegularFile(old, text).Succeeded());
  EXPECT_THAT(text, ::testing::StartsWith("<install>"));
  EXPECT_EQ(form.XmlPath, old.string());
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
    ShowForm();
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
    ShowForm();
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
// once the dialog closes, its tree is in the tree list; a server that cannot be reached leaves
// its own tree out, named once with the reason, and the dialog can take the connection out again.
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
  AwaitTest(dialog);
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
  AwaitTest(dialog);
  EXPECT_THAT(dialog->LabelMessage->text().toStdString(),
              ::testing::HasSubstr("127.0.0.1 port 1: Connection refused"));
  QTest::mouseClick(dialog->ButtonSave, Qt::LeftButton);
  dialog->reject();
  Settle();
  EXPECT_EQ(trees(), "LARKSPUR_TREE,SHOP_TREE");
  EXPECT_EQ(form.ComboBoxTrees->currentText(), QStringLiteral("LARKSPUR_TREE"));
  EXPECT_GT(form.ListBoxContainers->count(), 0);
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  EXPECT_THAT(dialogs_.errors[0],
              ::testing::AllOf(::testing::StartsWith("A connection could not be opened; its tree "
                                                     "is left out:\nDOWN_TREE: ldap://127.0.0.1:1"),
                               ::testing::HasSubstr("(127.0.0.1 port 1: Connection refused)"),
                               ::testing::HasSubstr("(connection [down] in ")));
  dialogs_.errors.clear();

  dialog = open();
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(dialog->ListConnections->count(), 3);
  dialog->ListConnections->setCurrentRow(2);
  ASSERT_EQ(dialog->EditName->text(), QStringLiteral("down"));
  AnswerNextBox(QMessageBox::Yes);
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

// What the window draws beside its controls' places: one face in the window, its menu and its
// dialogs; air between the check boxes of neighbouring lines; and an Alt key that is no
// accelerator types nothing.
TEST_F(WindowGuiTest, WindowDrawsOneFaceEdgesAndLinesApartAndAltTypesNothing) {
  TMainForm& form = Start();
  const QFontInfo face(form.font());
  TConnectionsDialog dialog(folder_.Client().DirClientConnectionsFile(), &form);
  QMessageBox box(QMessageBox::Critical, QString(), QStringLiteral("text"), QMessageBox::Ok, &form);
  for (const QWidget* window : std::initializer_list<const QWidget*>{
           form.PopupMenu1, &dialog, dialog.EditName, &box, form.StatusBar}) {
    const QFontInfo seen(window->font());
    EXPECT_EQ(seen.family(), face.family()) << Text(window);
    EXPECT_EQ(seen.pixelSize(), face.pixelSize()) << Text(window);
  }

  OpenExportPage(form.TabSheetExpRoles);
  QListView& roles = *form.CheckListBoxRoles;
  ASSERT_GE(roles.model()->rowCount(), 2);
  const auto checkBox = [&roles](int row) {
    QStyleOptionViewItem item;
    item.initFrom(roles.viewport());
    item.rect = roles.visualRect(roles.model()->index(row, 0));
    item.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    item.font = roles.font();
    item.fontMetrics = roles.fontMetrics();
    return roles.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &item, &roles);
  };
  EXPECT_GT(checkBox(1).top(), checkBox(0).bottom() + 1)
      << Text(checkBox(0)) << " and " << Text(checkBox(1));

  ClickTab(form.PageControlExp, form.TabSheetXml);
  QPlainTextEdit& view = *form.MemoXml;
  view.setFocus();
  const QString shown = view.toPlainText();
  for (const Qt::Key key : {Qt::Key_Q, Qt::Key_J, Qt::Key_Z}) {
    Press(&view, key, Qt::AltModifier);
  }
  EXPECT_EQ(view.toPlainText(), shown);
  Press(&view, Qt::Key_Q);
  EXPECT_EQ(view.toPlainText().size(), shown.size() + 1);

  // The info page tells how to reach another directory.
  std::string info;
  ASSERT_TRUE(
      ReadRegularFile(std::string(ORVANE_TEST_DATA) + "/../../docs/orvane.txt", info).Succeeded());
  EXPECT_THAT(info, ::testing::HasSubstr("\"Connections...\""));
  EXPECT_THAT(info, ::testing::HasSubstr("Logging in"));
}

// The dialog on its own: a test that hangs ends at once by Esc, Cancel or Close, an answered one
// leaves the focus on Test; every accelerator letter is taken once and every placeholder shows
// whole; Remove asks, and Undo brings the connection back until another change is saved.
TEST_F(WindowGuiTest, ConnectionsDialogTestsRemovesAndUndoesAsTheUserExpects) {
  // Takes connections and never answers them: the test waits for its timeout.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string hang = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::string connections =
      "[sample]\ntree = LARKSPUR_TREE\nsource = sample\nprimary = "
      "yes\n\n; waits\n[hang]\ntree = HANG_TREE\nsource = " +
      hang + "\ntimeout = 60\n";
  const std::string path = folder_.UseConnections(connections);
  const auto fileText = [&path] {
    std::string text;
    EXPECT_TRUE(ReadRegularFile(path, text).Succeeded());
    return text;
  };

  enum class End { kEsc, kCancel, kClose };
  for (const End end : {End::kEsc, End::kCancel, End::kClose}) {
    SCOPED_TRACE(static_cast<int>(end));
    TConnectionsDialog dialog(path);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.ListConnections->setCurrentRow(1);
    ASSERT_EQ(dialog.EditName->text(), QStringLiteral("hang"));
    QTest::mouseClick(dialog.ButtonTest, Qt::LeftButton);
    Settle();
    ASSERT_TRUE(dialog.Testing());
    const auto begun = std::chrono::steady_clock::now();
    switch (end) {
      case End::kEsc:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        break;
      case End::kCancel:
        QTest::mouseClick(dialog.ButtonCancelTest, Qt::LeftButton);
        break;
      case End::kClose:
        QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close),
                          Qt::LeftButton);
        break;
    }
    EXPECT_FALSE(dialog.Testing());
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    EXPECT_EQ(dialog.isVisible(), end != End::kClose);
    if (end != End::kClose) {
      EXPECT_EQ(dialog.LabelMessage->text(), QStringLiteral("Test cancelled."));
      EXPECT_EQ(QApplication::focusWidget(), dialog.ButtonTest);
    }
  }
  ::close(silent);

  TConnectionsDialog dialog(path);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));

  std::map<QChar, std::vector<std::string>> letters;
  for (const QWidget* control : dialog.findChildren<QWidget*>()) {
    QString caption;
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
      caption = button->text();
    } else if (const auto* label = qobject_cast<const QLabel*>(control);
               label != nullptr && label->buddy() != nullptr) {
      caption = label->text();
    }
    caption.replace(QStringLiteral("&&"), QString());
    if (const qsizetype at = caption.indexOf(u'&'); at >= 0 && at + 1 < caption.size()) {
      letters[caption.at(at + 1).toUpper()].push_back(caption.toStdString());
    }
  }
  for (const auto& [letter, captions] : letters) {
    EXPECT_EQ(captions.size(), 1u)
        << "Alt+" << letter.toLatin1() << ": " << ::testing::PrintToString(captions);
  }

  // Test by its accelerator; the answer leaves the focus where the test began.
  dialog.ButtonTest->setFocus();
  Press(&dialog, Qt::Key_T, Qt::AltModifier);
  EXPECT_TRUE(dialog.Testing() || dialog.LabelMessage->text().startsWith(QStringLiteral("The ")));
  AwaitTest(&dialog);
  EXPECT_THAT(dialog.LabelMessage->text().toStdString(),
              ::testing::StartsWith("The built-in sample tree holds "));
  EXPECT_EQ(QApplication::focusWidget(), dialog.ButtonTest);

  const auto expectPlaceholdersWhole = [&dialog] {
    for (const QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
      if (edit->placeholderText().isEmpty() || !edit->isVisible()) {
        continue;
      }
      QStyleOptionFrame frame;
      frame.initFrom(edit);
      frame.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, edit);
      const QRect inside = edit->style()->subElementRect(QStyle::SE_LineEditContents, &frame, edit);
      EXPECT_LE(edit->fontMetrics().horizontalAdvance(edit->placeholderText()), inside.width() - 4)
          << edit->placeholderText().toStdString();
    }
  };
  for (const int kind : {TConnectionsDialog::kLdifFile, TConnectionsDialog::kLdap}) {
    dialog.ComboSourceKind->setCurrentIndex(kind);
    Settle();
    expectPlaceholdersWhole();
  }
  Press(&dialog, Qt::Key_D, Qt::AltModifier);  // Undo changes
  ASSERT_EQ(dialog.LabelMessage->text(), QStringLiteral("Changes undone."));

  // Remove asks; answered No, nothing changes.
  const std::string before = fileText();
  dialog.ListConnections->setCurrentRow(1);
  AnswerNextBox(QMessageBox::No);
  QTest::mouseClick(dialog.ButtonRemove, Qt::LeftButton);
  EXPECT_EQ(dialog.ListConnections->count(), 2);
  EXPECT_EQ(fileText(), before);
  SeenBox asked;
  AnswerNextBox(QMessageBox::Yes, &asked);
  QTest::mouseClick(dialog.ButtonRemove, Qt::LeftButton);
  EXPECT_THAT(asked.text.toStdString(), ::testing::StartsWith("Remove the connection [hang] "));
  ExpectTitleFits(asked);
  EXPECT_EQ(dialog.ListConnections->count(), 1);
  EXPECT_THAT(fileText(), ::testing::Not(::testing::HasSubstr("hang")));
  // Undo puts it back as it was written, its comment included.
  QTest::mouseClick(dialog.ButtonUndo, Qt::LeftButton);
  EXPECT_EQ(fileText(), before);
  EXPECT_EQ(dialog.ListConnections->count(), 2);
  EXPECT_EQ(dialog.EditName->text(), QStringLiteral("hang"));
  EXPECT_TRUE(dialog.Changed());
  // Once another change is saved, the removal stays.
  AnswerNextBox(QMessageBox::Yes);
  QTest::mouseClick(dialog.ButtonRemove, Qt::LeftButton);
  QTest::keyClicks(dialog.EditTree, QStringLiteral("X"));
  QTest::mouseClick(dialog.ButtonSave, Qt::LeftButton);
  QTest::mouseClick(dialog.ButtonUndo, Qt::LeftButton);
  EXPECT_EQ(dialog.ListConnections->count(), 1);
  EXPECT_THAT(fileText(), ::testing::Not(::testing::HasSubstr("hang")));

  // The program's own error boxes carry its title, whole above a short text.
  QtFormDialogs boxes(&dialog);
  SeenBox error;
  AnswerNextBox(QMessageBox::Ok, &error);
  boxes.ShowError("No.");
  ExpectTitleFits(error);
}

}  // namespace
