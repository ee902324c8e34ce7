// The window's start-up and shut-down, offscreen, on directory trees and settings files the tests
// write themselves. Controls are found by their object names.
#include "app/main_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/item_list.h"
#include "app/qt_form_dialogs.h"
#include "app/qt_hooks.h"
#include "app/qt_item_list_model.h"
#include "directory/d_nw.h"
#include "tests/support/window_test_support.h"
#include "util/launcher.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

constexpr const char* kAcmeLdif =
    "dn: o=Acme\nobjectClass: organization\no: Acme\n\n"
    "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Sales\n\n"
    "dn: cn=Admin,ou=Sales,o=Acme\nobjectClass: inetOrgPerson\ncn: Admin\nsn: Admin\n\n"
    "dn: cn=Desk,ou=Sales,o=Acme\nobjectClass: rbsRole2\ncn: Desk\n"
    "rbsContent: cn=Loose,ou=Sales,o=Acme\nrbsContent: cn=Book,cn=Mod,ou=Sales,o=Acme\n\n"
    "dn: cn=Mod,ou=Sales,o=Acme\nobjectClass: rbsModule2\ncn: Mod\n\n"
    "dn: cn=Book,cn=Mod,ou=Sales,o=Acme\nobjectClass: rbsBook2\ncn: Book\n\n"
    "dn: cn=Inner,cn=Mod,ou=Sales,o=Acme\nobjectClass: rbsTask2\ncn: Inner\n\n"
    "dn: cn=Loose,ou=Sales,o=Acme\nobjectClass: rbsTask2\ncn: Loose\n\n"
    "dn: cn=Elsewhere,o=Acme\nobjectClass: rbsRole2\ncn: Elsewhere\n";
constexpr const char* kOtherLdif =
    "dn: o=Other\nobjectClass: organization\no: Other\n\n"
    "dn: ou=Desk,o=Other\nobjectClass: organizationalUnit\nou: Desk\n";

// One program folder (the fake program file, its info text), one configuration folder and one
// client start per test.
class MainFormTest : public WindowTest {
 protected:
  void SetUp() override {
    Write(root_ / "bin" / "orvane.txt", "Info line one\nInfo line two\n");
    Write(root_ / "acme.ldif", kAcmeLdif);
    Write(root_ / "other.ldif", kOtherLdif);
    UseConnections(TwoTrees());
  }
  void TearDown() override {
    form_.reset();
    SetDesktopOpenHook({});
  }

  void Write(const fs::path& path, const std::string& text) const { folder_.Write(path, text); }
  void UseConnections(const std::string& connections) { folder_.UseConnections(connections); }
  [[nodiscard]] std::string TwoTrees() const {
    return "[acme]\ntree = ACME_TREE\nsource = " + (root_ / "acme.ldif").string() +
           "\ncontext = Sales.Acme\nuser = Admin.Sales.Acme\nprimary = yes\n\n"
           "[other]\ntree = OTHER_TREE\nsource = " +
           (root_ / "other.ldif").string() + "\ncontext = Desk.Other\nuser = Desk.Other\n";
  }
  [[nodiscard]] fs::path SettingsPath() const { return folder_.SettingsPath(); }
  void WriteSettings(const std::string& text) const { Write(SettingsPath(), text); }

  TMainForm& Start() {
    ShowForm();
    QApplication::processEvents();
    return *form_;
  }
  [[nodiscard]] std::string Setting(const char* section, const char* key) const {
    return ProfileFile(SettingsPath()).ReadString(section, key, "<missing>");
  }

  const fs::path& root_ = folder_.Root();
  const fs::path programFile_ = folder_.ProgramFile();
};

TEST_F(MainFormTest, StartsOnTheDefaultTreeAndRemembersItAtClose) {
  TMainForm& form = Start();
  EXPECT_EQ(form.windowTitle().toStdString(),
            "Orvane: Export iManager 2.x Roles, Tasks, and Property Books (v2.01)");
  EXPECT_EQ(Find<QLabel>("PanelInfo")->text(), form.windowTitle());
  EXPECT_EQ(Find<QTabWidget>("PageControl1")->currentWidget(), Find<QWidget>("TabSheetStart"));
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText().toStdString(),
            "Info line one\nInfo line two\n");
  auto* trees = Find<QComboBox>("ComboBoxTrees");
  ASSERT_EQ(trees->count(), 2);
  EXPECT_EQ(trees->itemText(0).toStdString(), "ACME_TREE");
  EXPECT_EQ(trees->itemText(1).toStdString(), "OTHER_TREE");
  EXPECT_EQ(trees->currentText().toStdString(), "ACME_TREE");
  EXPECT_EQ(form.CurrentTree, "ACME_TREE");
  EXPECT_TRUE(dialogs_.errors.empty());

  // Both contexts stand on the tree: browsing at its default container, searching at the root.
  EXPECT_EQ(DSGetTreeName(folder_.Client(), form.BrowseCtx), "ACME_TREE");
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.BrowseCtx), "Sales.Acme");
  EXPECT_EQ(DSGetTreeName(folder_.Client(), form.SearchCtx), "ACME_TREE");
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.SearchCtx), "[Root]");
  uint32_t flags = 0;
  ASSERT_EQ(folder_.Client().DirGetContextValue(form.SearchCtx, kDirKeyFlags, flags), kDirOk);
  EXPECT_EQ(flags & kDirFlagTypeless, kDirFlagTypeless);

  EXPECT_EQ(form.geometry().size(), QSize(868, 691));
  EXPECT_TRUE(Find<QLabel>("LabelCurrentXml")->text().isEmpty());
  const DirContext browse = form.BrowseCtx;
  const DirContext search = form.SearchCtx;
  form.close();

  EXPECT_EQ(Setting("Context", "Default"), "ACME_TREE");
  EXPECT_NE(Setting("Context", "ACME_TREE"), "<missing>");
  EXPECT_EQ(Setting("Settings", "Ini Path"), "");
  EXPECT_EQ(Setting("Settings", "Xml Path"), "");
  EXPECT_EQ(Setting("Settings", "MainForm.Width"), "868");
  EXPECT_EQ(Setting("Settings", "MainForm.Height"), "691");
  // Both contexts are released at close.
  std::string tree;
  EXPECT_EQ(folder_.Client().DirGetContextValue(browse, kDirKeyTreeName, tree), kDirBadContext);
  EXPECT_EQ(folder_.Client().DirGetContextValue(search, kDirKeyTreeName, tree), kDirBadContext);
}

TEST_F(MainFormTest, ClientStartFailureShowsTwoBoxesAndWritesNothing) {
  UseConnections("[broken\n");
  TMainForm& form = Start();
  ASSERT_EQ(dialogs_.errors.size(), 2u);
  // The client's code for the malformed file, as the second box prints it.
  ASSERT_THAT(dialogs_.errors[1], ::testing::MatchesRegex("Error [0-9A-F]{4}: InitNetWare"));
  const int32_t code = std::stoi(dialogs_.errors[1].substr(6, 4), nullptr, 16);
  EXPECT_EQ(dialogs_.errors[0],
            "Could not find server/tree connection. InitNetWare returned error " +
                NWErrorText(folder_.Client(), code));
  EXPECT_THAT(NWErrorText(folder_.Client(), code),
              HasSubstr("connections.ini"));  // the client names the file

  EXPECT_EQ(form.windowTitle().toStdString(), "Export iManager 2.0.x:  Roles, Tasks, Books");
  EXPECT_EQ(Find<QLabel>("PanelInfo")->text(), form.windowTitle());
  EXPECT_TRUE(Find<TClickableStatusBar>("StatusBar")->SimpleText().isEmpty());
  EXPECT_EQ(Find<QTabWidget>("PageControl1")->currentWidget(), Find<QWidget>("TabSheetStart"));
  EXPECT_EQ(Find<QComboBox>("ComboBoxTrees")->count(), 0);
  EXPECT_THAT(Find<QPlainTextEdit>("Memo1")->toPlainText().toStdString(),
              StartsWith("Info line one"));
  EXPECT_FALSE(form.SettingsIni.has_value());
  form.close();
  EXPECT_FALSE(fs::exists(root_ / "config"));
}

TEST_F(MainFormTest, RememberedTreeIsChosenWithItsContainer) {
  WriteSettings("[Context]\nDefault=other_tree\nOTHER_TREE=.Other\n");
  TMainForm& form = Start();
  EXPECT_EQ(Find<QComboBox>("ComboBoxTrees")->currentText().toStdString(), "OTHER_TREE");
  EXPECT_EQ(form.CurrentTree, "OTHER_TREE");  // as listed, not as remembered
  EXPECT_EQ(form.CurrentCtx, ".Other");
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.BrowseCtx), "Other");
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.SearchCtx), "[Root]");
}

TEST_F(MainFormTest, UnreachableRememberedTreeFallsBackToTheDefault) {
  WriteSettings("[Context]\nDefault=GONE_TREE\nGONE_TREE=.Far.Away\n");
  TMainForm& form = Start();
  EXPECT_EQ(Find<QComboBox>("ComboBoxTrees")->currentText().toStdString(), "ACME_TREE");
  EXPECT_EQ(form.CurrentTree, "ACME_TREE");
  form.close();
  EXPECT_EQ(Setting("Context", "Default"), "ACME_TREE");
  EXPECT_EQ(Setting("Context", "GONE_TREE"), ".Far.Away");
}

TEST_F(MainFormTest, OfflineStartKeepsTheRememberedTree) {
  // Trees are listed, but neither the remembered nor the client's default tree among them.
  UseConnections("[other]\ntree = OTHER_TREE\nsource = " + (root_ / "other.ldif").string() +
                 "\ncontext = Desk.Other\n");
  WriteSettings("[Context]\nDefault=GONE_TREE\n");
  TMainForm& form = Start();
  auto* trees = Find<QComboBox>("ComboBoxTrees");
  EXPECT_EQ(trees->count(), 1);
  EXPECT_EQ(trees->currentIndex(), -1);
  EXPECT_EQ(form.CurrentTree, "GONE_TREE");
  form.close();
  EXPECT_EQ(Setting("Context", "Default"), "GONE_TREE");
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(MainFormTest, NoReachableTreeKeepsTheRememberedTree) {
  // The client starts, but its one connection has no usable tree name.
  UseConnections("[nameless]\ntree = ______\nsource = " + (root_ / "other.ldif").string() +
                 "\nprimary = yes\n");
  WriteSettings("[Context]\nDefault=ACME_TREE\nACME_TREE=.Sales.Acme\n");
  TMainForm& form = Start();
  EXPECT_EQ(Find<QComboBox>("ComboBoxTrees")->count(), 0);
  EXPECT_EQ(form.CurrentTree, "");
  EXPECT_TRUE(dialogs_.errors.empty());
  form.close();
  EXPECT_EQ(Setting("Context", "Default"), "ACME_TREE");
  EXPECT_EQ(Setting("Context", "ACME_TREE"), ".Sales.Acme");
  EXPECT_EQ(Setting("Settings", "Ini Path"), "");
}

TEST_F(MainFormTest, GeometryAndXmlPathAreRestoredButNeverAZero) {
  WriteSettings(
      "[Settings]\nMainForm.Top=0\nMainForm.Left=50\nMainForm.Width=900\nMainForm.Height=0\n"
      "Xml Path=/srv/export/roles.xml\n");
  TMainForm& form = Start();
  EXPECT_EQ(form.x(), 50);
  EXPECT_EQ(form.y(), 118);
  EXPECT_EQ(form.width(), 900);
  EXPECT_EQ(form.height(), 691);
  EXPECT_EQ(form.XmlPath, "/srv/export/roles.xml");
  EXPECT_EQ(Find<QLabel>("LabelCurrentXml")->text().toStdString(), "/srv/export/roles.xml");
  form.close();
  EXPECT_EQ(Setting("Settings", "MainForm.Top"), "118");
  EXPECT_EQ(Setting("Settings", "MainForm.Height"), "691");
  EXPECT_EQ(Setting("Settings", "Xml Path"), "/srv/export/roles.xml");
}

TEST_F(MainFormTest, MissingInfoFileIsNamedOnTheInfoPage) {
  fs::remove(root_ / "bin" / "orvane.txt");
  Start();
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText().toStdString(),
            "Could not find \"" + (root_ / "bin" / "orvane.txt").string() + "\"");
}

TEST_F(MainFormTest, ControlsFollowTheWindowSize) {
  TMainForm& form = Start();
  for (const int width : {1200, 700}) {
    form.resize(width, width - 100);
    form.PageControl1->setCurrentWidget(form.TabSheetStart);
    QApplication::processEvents();
    auto* panel = Find<QWidget>("Panel4");
    for (const char* name : {"EditMyName", "EditCurrentContainer"}) {
      const QRect field = Find<QLineEdit>(name)->geometry();
      EXPECT_EQ(field.x() + field.width(), panel->width() - 10) << name << " at " << width;
    }
    // The check lists keep their distance to every edge of their page, the save button its
    // distance to the bottom.
    form.PageControl1->setCurrentWidget(form.TabSheetExp);
    form.PageControlExp->setCurrentWidget(form.TabSheetExpRoles);
    QApplication::processEvents();
    const QRect list = Find<QListView>("CheckListBoxRoles")->geometry();
    EXPECT_EQ(form.TabSheetExpRoles->width() - list.right() - 1, 2) << width;
    EXPECT_EQ(form.TabSheetExpRoles->height() - list.bottom() - 1, 2) << width;
    form.PageControlExp->setCurrentWidget(form.TabSheetXml);
    QApplication::processEvents();
    const QRect button = Find<QPushButton>("BitBtnSaveXml")->geometry();
    EXPECT_EQ(button.topLeft().x(), 8);
    EXPECT_EQ(form.TabSheetXml->height() - button.bottom() - 1, 10) << width;
  }
}

TEST_F(MainFormTest, StatusBarShowsAndOpensTheUserGuide) {
  std::vector<std::string> opened;
  SetDesktopOpenHook(
      [&opened](const std::string& file, const std::string&, const std::string&, int) {
        opened.push_back(file);
        return kShellOk;
      });
  TMainForm& form = Start();
  auto* statusBar = Find<TClickableStatusBar>("StatusBar");
  const std::string address = "file://" + (root_ / "bin" / "index.html").string();
  EXPECT_EQ(statusBar->SimpleText().toStdString(), address);
  QTest::mouseClick(statusBar, Qt::LeftButton);
  EXPECT_THAT(opened, ElementsAre(address));
  static_cast<void>(form);
}

TEST_F(MainFormTest, InstalledProgramTakesItsDocumentsFromShareDoc) {
  // bin/orvane.txt stays, to show that the installed folder wins.
  Write(root_ / "share" / "doc" / "orvane" / "orvane.txt", "Installed info\n");
  TMainForm& form = Start();
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText().toStdString(), "Installed info\n");
  EXPECT_EQ(Find<TClickableStatusBar>("StatusBar")->SimpleText().toStdString(),
            "file://" + (root_ / "share" / "doc" / "orvane" / "index.html").string());
  static_cast<void>(form);
}

TEST_F(MainFormTest, RefusedSettingsWriteStopsTheTreeChange) {
  // The configuration folder cannot be created: its parent is a file.
  Write(root_ / "blocked", "x");
  ::setenv("XDG_CONFIG_HOME", (root_ / "blocked").c_str(), 1);
  TMainForm& form = Start();
  ASSERT_EQ(form.CurrentTree, "ACME_TREE");
  form.CurrentCtx = ".Sales.Acme";  // something to remember for the tree being left
  auto* trees = Find<QComboBox>("ComboBoxTrees");
  trees->setFocus();
  QTest::keyClick(trees, Qt::Key_Down);
  EXPECT_EQ(trees->currentText().toStdString(), "OTHER_TREE");
  EXPECT_THAT(dialogs_.errors, ElementsAre("Unable to write to orvane.ini: Not a directory"));
  EXPECT_EQ(form.CurrentTree, "ACME_TREE");
  EXPECT_EQ(DSGetTreeName(folder_.Client(), form.SearchCtx), "ACME_TREE");
  form.close();  // the close handler swallows the same failure
  EXPECT_EQ(dialogs_.errors.size(), 1u);
}

// A tree name with "=" used to be refused as a key: the tree could not be left, and the close
// wrote nothing after it.
TEST_F(MainFormTest, ATreeNameTheFileCannotHoldAsAKeyIsRememberedAllTheSame) {
  std::string connections = TwoTrees();
  connections.replace(connections.find("ACME_TREE"), 9, "A=B");
  UseConnections(connections);
  WriteSettings("[Context]\nA%3DB=.Acme\n");
  TMainForm& form = Start();
  ASSERT_EQ(form.CurrentTree, "A=B");
  EXPECT_EQ(form.CurrentCtx, ".Acme");
  form.CurrentCtx = ".Sales.Acme";
  auto* trees = Find<QComboBox>("ComboBoxTrees");
  trees->setFocus();
  QTest::keyClick(trees, Qt::Key_Down);
  EXPECT_EQ(form.CurrentTree, "OTHER_TREE");
  form.close();
  EXPECT_TRUE(dialogs_.errors.empty());
  EXPECT_EQ(Setting("Context", "A%3DB"), ".Sales.Acme");
  EXPECT_EQ(Setting("Context", "Default"), "OTHER_TREE");
  EXPECT_EQ(Setting("Settings", "MainForm.Width"), "868");
}

TEST_F(MainFormTest, CheckListsMarkByPatternAndContextMenu) {
  TMainForm& form = Start();
  auto* roles = Find<QListView>("CheckListBoxRoles");
  TItemListModel& model = form.ItemsOf(roles);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.Fill([](TItemList& items) {
    items.Add("Desk.Roles.Cfg");
    items.Add("Help.Roles.Cfg");
  });
  const auto marks = [&model] {
    std::string text;
    for (int row = 0; row < model.rowCount(); ++row) {
      text += model.data(model.index(row), Qt::CheckStateRole).toInt() == Qt::Checked ? 'x' : '.';
    }
    return text;
  };
  QTest::keyClicks(Find<QLineEdit>("EditRoleMatch"), "DESK");
  EXPECT_EQ(marks(), "x.");
  EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole).toString().toStdString(), "Desk.Roles.Cfg");

  emit roles->customContextMenuRequested(QPoint(4, 4));
  form.PopupCheckAll->trigger();
  EXPECT_EQ(marks(), "xx");
  ASSERT_TRUE(model.setData(model.index(0), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(marks(), ".x");
  form.PopupUncheckAll->trigger();
  EXPECT_EQ(marks(), "..");
  form.PopupMenu1->close();

  // Opening the export tab reloads the lists from below the current container, marks cleared,
  // and shows the modules page.
  EXPECT_EQ(form.CurrentCtx, ".Sales.Acme");
  form.PageControl1->setCurrentWidget(form.TabSheetExp);
  QApplication::processEvents();
  EXPECT_EQ(form.PageControlExp->currentWidget(), Find<QWidget>("TabSheetExpModules"));
  ASSERT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole).toString().toStdString(),
            "Desk.Sales.Acme");
  EXPECT_EQ(marks(), ".");
  EXPECT_EQ(form.ItemsOf(Find<QListView>("CheckListBoxModules")).rowCount(), 1);
}

TEST_F(MainFormTest, DependencyButtonsMarkBooksAndTasks) {
  TMainForm& form = Start();
  form.PageControl1->setCurrentWidget(form.TabSheetExp);
  QApplication::processEvents();
  const auto lines = [&form](const char* list) {
    std::string text;
    const TItemList& items = form.ItemsOf(form.findChild<QListView*>(list)).Items();
    for (int i = 0; i < items.Count(); ++i) {
      text += (items.Checked(i) ? "[x] " : "[ ] ") + items.Line(i) + ";";
    }
    return text;
  };
  ASSERT_EQ(lines("CheckListBoxModules"), "[ ] Mod.Sales.Acme;");
  ASSERT_EQ(lines("CheckListBoxBooks"), "[ ] Book.Mod.Sales.Acme;");
  ASSERT_EQ(lines("CheckListBoxRoles"), "[ ] Desk.Sales.Acme;");
  ASSERT_THAT(lines("CheckListBoxTasks"), ::testing::AllOf(HasSubstr("[ ] Inner.Mod.Sales.Acme;"),
                                                           HasSubstr("[ ] Loose.Sales.Acme;")));

  form.ItemsOf(form.CheckListBoxModules).Mark([](TItemList& items) { items.CheckAll(); });
  Find<QPushButton>("BitBtnCheckDependentBooks")->click();
  EXPECT_EQ(lines("CheckListBoxBooks"), "[x] Book.Mod.Sales.Acme;");
  EXPECT_THAT(lines("CheckListBoxTasks"), HasSubstr("[x] Inner.Mod.Sales.Acme;"));
  EXPECT_THAT(lines("CheckListBoxTasks"), HasSubstr("[ ] Loose.Sales.Acme;"));

  // A role marks the tasks its rbsContent names, and nothing on the other pages.
  form.ItemsOf(form.CheckListBoxTasks).Mark([](TItemList& items) { items.UncheckAll(); });
  form.ItemsOf(form.CheckListBoxBooks).Mark([](TItemList& items) { items.UncheckAll(); });
  form.ItemsOf(form.CheckListBoxRoles).Mark([](TItemList& items) { items.CheckAll(); });
  Find<QPushButton>("BitBtnCheckDependentTasks")->click();
  EXPECT_THAT(lines("CheckListBoxTasks"), HasSubstr("[x] Loose.Sales.Acme;"));
  EXPECT_THAT(lines("CheckListBoxTasks"), HasSubstr("[ ] Inner.Mod.Sales.Acme;"));
  EXPECT_EQ(lines("CheckListBoxBooks"), "[ ] Book.Mod.Sales.Acme;");
  EXPECT_TRUE(dialogs_.errors.empty());
}

TEST_F(MainFormTest, SavingTheXmlViewReplacesTheFileAndRemembersIt) {
  const fs::path out = root_ / "out";
  WriteSettings("[Settings]\nXml Path=" + (out / "old.xml").string() + "\n");
  TMainForm& form = Start();
  form.PageControl1->setCurrentWidget(form.TabSheetExp);
  form.PageControlExp->setCurrentWidget(form.TabSheetXml);
  QApplication::processEvents();
  EXPECT_EQ(form.MemoXml->toPlainText().toStdString(), "<install>\n\n\n</install>");

  auto* save = Find<QPushButton>("BitBtnSaveXml");
  QTest::mouseClick(save, Qt::LeftButton);  // cancelled
  ASSERT_EQ(dialogs_.saveRequests.size(), 1u);
  EXPECT_EQ(dialogs_.saveRequests[0].Filter, "XML Files|*.xml|Text Files|*.txt|All Files|*.*");
  EXPECT_EQ(dialogs_.saveRequests[0].DefaultExt, "xml");
  EXPECT_EQ(dialogs_.saveRequests[0].InitialDir, out.string() + "/");
  EXPECT_EQ(dialogs_.saveRequests[0].FileName, "old.xml");
  EXPECT_EQ(form.XmlPath, (out / "old.xml").string());
  EXPECT_FALSE(fs::exists(out));

  fs::create_directories(out);  // the dialog only offers folders that exist
  const fs::path target = out / "roles.xml";
  dialogs_.saveAnswer = target.string();
  QTest::mouseClick(save, Qt::LeftButton);
  EXPECT_EQ(ReadFile(target), "<install>\r\n\r\n\r\n</install>\r\n");
  EXPECT_EQ(form.XmlPath, target.string());
  EXPECT_EQ(Find<QLabel>("LabelCurrentXml")->text().toStdString(), target.string());

  // A view whose first line was edited gets its end appended before it is written.
  form.MemoXml->setPlainText(QStringLiteral("edited\n<role>"));
  QTest::mouseClick(save, Qt::LeftButton);
  EXPECT_EQ(ReadFile(target), "edited\r\n<role>\r\n\r\n</install>\r\n");
  EXPECT_EQ(form.MemoXml->toPlainText().toStdString(), "edited\n<role>\n\n</install>");
  form.MemoXml->clear();
  QTest::mouseClick(save, Qt::LeftButton);
  EXPECT_EQ(ReadFile(target), "\r\n</install>\r\n");

  // A file that cannot be created: the message, the new name remembered, the old file intact.
  Write(root_ / "blocker", "x");
  const std::string refused = (root_ / "blocker" / "x.xml").string();
  dialogs_.saveAnswer = refused;
  QTest::mouseClick(save, Qt::LeftButton);
  EXPECT_THAT(dialogs_.errors, ElementsAre("Cannot create file " + refused + ": Not a directory"));
  EXPECT_EQ(form.XmlPath, refused);
  EXPECT_EQ(ReadFile(target), "\r\n</install>\r\n");
  form.close();
  EXPECT_EQ(Setting("Settings", "Xml Path"), refused);
}

TEST_F(MainFormTest, ADocumentThatLostBytesIsShownButNotSavedUntilRebuilt) {
  Write(root_ / "bad.ldif",
        "dn: o=Bad\nobjectClass: organization\no: Bad\n\n"
        "dn: cn=Desk,o=Bad\nobjectClass: rbsRole2\ncn: Desk\nrbsEntryPoint:: UGFnZQE=\n\n"
        "dn: cn=Fine,o=Bad\nobjectClass: rbsRole2\ncn: Fine\nrbsEntryPoint: Page\n");
  UseConnections("[bad]\ntree = BAD_TREE\nsource = " + (root_ / "bad.ldif").string() +
                 "\ncontext = Bad\nprimary = yes\n");
  TMainForm& form = Start();
  form.PageControl1->setCurrentWidget(form.TabSheetExp);
  QApplication::processEvents();
  TItemListModel& roles = form.ItemsOf(form.CheckListBoxRoles);
  ASSERT_EQ(roles.rowCount(), 2);
  roles.Mark([](TItemList& items) { items.CheckAll(); });
  form.PageControlExp->setCurrentWidget(form.TabSheetXml);
  QApplication::processEvents();
  const std::string fault =
      "rbsEntryPoint of Desk.Bad, byte offset 4: U+0001 is not a character an XML document can "
      "hold";
  EXPECT_THAT(dialogs_.errors,
              ElementsAre("The document cannot be exported: " + fault +
                          ". It shows U+FFFD there and cannot be saved until it is rebuilt."));
  EXPECT_THAT(form.MemoXml->toPlainText().toStdString(),
              HasSubstr("<class-name>Page\xEF\xBF\xBD</class-name>"));

  const fs::path target = root_ / "roles.xml";
  dialogs_.saveAnswer = target.string();
  QTest::mouseClick(Find<QPushButton>("BitBtnSaveXml"), Qt::LeftButton);
  EXPECT_TRUE(dialogs_.saveRequests.empty());
  EXPECT_EQ(dialogs_.errors.back(), "Cannot save the document: " + fault);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(form.XmlPath, "");

  // Rebuilt without the item, the document saves.
  roles.Mark([](TItemList& items) { items.MarkByText("Fine"); });
  form.PageControlExp->setCurrentIndex(0);
  form.PageControlExp->setCurrentWidget(form.TabSheetXml);
  QApplication::processEvents();
  dialogs_.errors.clear();
  QTest::mouseClick(Find<QPushButton>("BitBtnSaveXml"), Qt::LeftButton);
  EXPECT_TRUE(dialogs_.errors.empty());
  EXPECT_EQ(ReadFile(target),
            "<install>\r\n\r\n<role>\r\n     <id>Fine</id>\r\n"
            "     <class-name>Page</class-name>\r\n</role>\r\n\r\n\r\n</install>\r\n");
}

TEST(QtSeams, SaveDialogFiltersAndTheThrottledPump) {
  const std::pair<std::string, QStringList> cases[] = {
      {"XML Files|*.xml|Text Files|*.txt|All Files|*.*",
       {"XML Files (*.xml)", "Text Files (*.txt)", "All Files (*.*)"}},
      {"Pages|*.htm;*.html", {"Pages (*.htm *.html)"}},
      {"Dangling", {}},
      {"", {}},
  };
  for (const auto& [filter, expected] : cases) {
    EXPECT_EQ(QtNameFilters(filter), expected) << filter;
  }

  // Within the interval a pump call returns without running anything queued.
  ThrottledMessagePump pump(std::chrono::hours(1));
  int ran = 0;
  QMetaObject::invokeMethod(
      qApp, [&ran] { ++ran; }, Qt::QueuedConnection);
  pump();
  EXPECT_EQ(ran, 1);
  QMetaObject::invokeMethod(
      qApp, [&ran] { ++ran; }, Qt::QueuedConnection);
  pump();
  EXPECT_EQ(ran, 1);
  QApplication::processEvents();
  EXPECT_EQ(ran, 2);
}

}  // namespace
