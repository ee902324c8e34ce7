// Browsing the Start tab, offscreen: the tree change with its per-tree memory, the two lists of a
// container and the walk up and down them. Controls are found by their object names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "app/profile_file.h"
#include "directory/d_nw.h"
#include "tests/support/window_test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Names in mixed letter case, so that a case-sensitive order would differ from the wanted one.
constexpr const char* kAcmeLdif =
    "dn: o=Acme\nobjectClass: organization\no: Acme\n\n"
    "dn: ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Sales\n\n"
    "dn: ou=beta,ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: beta\n\n"
    "dn: ou=Alpha,ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Alpha\n\n"
    "dn: ou=Deep,ou=Alpha,ou=Sales,o=Acme\nobjectClass: organizationalUnit\nou: Deep\n\n"
    "dn: cn=admin,ou=Sales,o=Acme\nobjectClass: inetOrgPerson\ncn: admin\nsn: admin\n\n"
    "dn: cn=Zed,ou=Sales,o=Acme\nobjectClass: inetOrgPerson\ncn: Zed\nsn: Zed\n\n"
    "dn: ou=Empty,o=Acme\nobjectClass: organizationalUnit\nou: Empty\n";
constexpr const char* kOtherLdif =
    "dn: o=Other\nobjectClass: organization\no: Other\n\n"
    "dn: ou=Desk,o=Other\nobjectClass: organizationalUnit\nou: Desk\n\n"
    "dn: ou=Shelf,ou=Desk,o=Other\nobjectClass: organizationalUnit\nou: Shelf\n";

std::vector<std::string> Lines(const QListWidget* list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list->count(); ++i) {
    lines.push_back(list->item(i)->text().toStdString());
  }
  return lines;
}

class BrowseTest : public WindowTest {
 protected:
  void SetUp() override {
    folder_.Write("bin/orvane.txt", "Info\n");
    folder_.Write("acme.ldif", kAcmeLdif);
    folder_.Write("other.ldif", kOtherLdif);
    folder_.UseConnections("[acme]\ntree = ACME_TREE\nsource = " + (root_ / "acme.ldif").string() +
                           "\ncontext = Sales.Acme\nuser = admin.Sales.Acme\nprimary = yes\n\n"
                           "[other]\ntree = OTHER_TREE\nsource = " +
                           (root_ / "other.ldif").string() +
                           "\ncontext = Desk.Other\nuser = Desk.Other\n");
  }
  [[nodiscard]] fs::path SettingsPath() const { return folder_.SettingsPath(); }

  TMainForm& Start() {
    ShowForm();
    QApplication::processEvents();
    containers_ = Find<QListWidget>("ListBoxContainers");
    objects_ = Find<QListWidget>("ListBoxObjects");
    container_ = Find<QLineEdit>("EditCurrentContainer");
    trees_ = Find<QComboBox>("ComboBoxTrees");
    return *form_;
  }

  // The user's gestures, through the mouse as far as the offscreen platform allows.
  void DoubleClickContainer(const std::string& line) {
    const QList<QListWidgetItem*> found =
        containers_->findItems(QString::fromStdString(line), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << line;
    containers_->scrollToItem(found.front());
    const QPoint at = containers_->visualItemRect(found.front()).center();
    QTest::mouseClick(containers_->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(containers_->viewport(), Qt::LeftButton, {}, at);
    QApplication::processEvents();
  }
  void ClickObject(int row) {
    ASSERT_LT(row, objects_->count());
    const QPoint at = objects_->visualItemRect(objects_->item(row)).center();
    QTest::mouseClick(objects_->viewport(), Qt::LeftButton, {}, at);
    QApplication::processEvents();
  }
  void ChooseTree(const char* tree) {
    const int index = trees_->findText(QString::fromLatin1(tree));
    ASSERT_GE(index, 0) << tree;
    trees_->setCurrentIndex(index);
    emit trees_->activated(index);
    QApplication::processEvents();
  }
  [[nodiscard]] std::string Shown() const { return container_->text().toStdString(); }

  const fs::path& root_ = folder_.Root();
  const fs::path programFile_ = folder_.ProgramFile();
  QListWidget* containers_ = nullptr;
  QListWidget* objects_ = nullptr;
  QLineEdit* container_ = nullptr;
  QComboBox* trees_ = nullptr;
};

TEST_F(BrowseTest, ShowsTheDefaultContainerWithBothListsSortedIgnoringCase) {
  TMainForm& form = Start();
  EXPECT_EQ(Shown(), ".Sales.Acme");
  EXPECT_EQ(form.CurrentCtx, ".Sales.Acme");
  // The user's complete name in display form, not relative to the container shown.
  EXPECT_EQ(Find<QLineEdit>("EditMyName")->text().toStdString(), ".admin.Sales.Acme");
  // "[ .. ]" leads although it would sort after the names; containers sit in both lists.
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]", "Alpha", "beta"));
  EXPECT_THAT(Lines(objects_),
              ElementsAre("Organizational Unit: Alpha", "Organizational Unit: beta", "User: admin",
                          "User: Zed"));
  EXPECT_THAT(dialogs_.errors, IsEmpty());
}

TEST_F(BrowseTest, WalksDownAndUpToTheRoot) {
  struct Step {
    const char* line;
    const char* shown;
    std::vector<std::string> containers;
  };
  const std::vector<Step> steps = {
      {"Alpha", ".Alpha.Sales.Acme", {"[ .. ]", "Deep"}},
      {"Deep", ".Deep.Alpha.Sales.Acme", {"[ .. ]"}},
      {"[ .. ]", ".Alpha.Sales.Acme", {"[ .. ]", "Deep"}},
      {"[ .. ]", ".Sales.Acme", {"[ .. ]", "Alpha", "beta"}},
      {"[ .. ]", ".Acme", {"[ .. ]", "Empty", "Sales"}},
      // Up from a first-level container is the root, which has no way further up.
      {"[ .. ]", "[Root]", {"Acme"}},
      {"Acme", ".Acme", {"[ .. ]", "Empty", "Sales"}},
      {"Empty", ".Empty.Acme", {"[ .. ]"}},
  };
  TMainForm& form = Start();
  for (const Step& step : steps) {
    DoubleClickContainer(step.line);
    EXPECT_EQ(Shown(), step.shown) << "after " << step.line;
    EXPECT_EQ(form.CurrentCtx, step.shown);
    EXPECT_EQ(Lines(containers_), step.containers) << "after " << step.line;
    EXPECT_EQ(Find<QLineEdit>("EditMyName")->text().toStdString(), ".admin.Sales.Acme");
  }
  EXPECT_THAT(Lines(objects_), IsEmpty());
  // Navigation moves only the browsing context.
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.SearchCtx), "[Root]");
}

TEST_F(BrowseTest, TreeSwitchReopensEachTreeAtItsLastContainer) {
  TMainForm& form = Start();
  DoubleClickContainer("Alpha");
  ASSERT_EQ(Shown(), ".Alpha.Sales.Acme");

  // A tree never visited opens at its default container.
  ChooseTree("OTHER_TREE");
  EXPECT_EQ(form.CurrentTree, "OTHER_TREE");
  EXPECT_EQ(Shown(), ".Desk.Other");
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]", "Shelf"));
  DoubleClickContainer("[ .. ]");
  ASSERT_EQ(Shown(), ".Other");

  ChooseTree("ACME_TREE");
  EXPECT_EQ(Shown(), ".Alpha.Sales.Acme");
  EXPECT_EQ(form.CurrentCtx, ".Alpha.Sales.Acme");
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]", "Deep"));
  ChooseTree("OTHER_TREE");
  EXPECT_EQ(Shown(), ".Other");

  // Each switch remembered the container of the tree left; closing remembers the one shown.
  DoubleClickContainer("Desk");
  ASSERT_EQ(Shown(), ".Desk.Other");
  const ProfileFile settings(SettingsPath());
  EXPECT_EQ(settings.ReadString("Context", "ACME_TREE", ""), ".Alpha.Sales.Acme");
  EXPECT_EQ(settings.ReadString("Context", "OTHER_TREE", ""), ".Other");
  form.close();
  EXPECT_EQ(settings.ReadString("Context", "OTHER_TREE", ""), ".Desk.Other");
  EXPECT_THAT(dialogs_.errors, IsEmpty());
}

TEST_F(BrowseTest, FailedTreeChangeIsReportedAndTheTabRefreshedAnyway) {
  TMainForm& form = Start();
  // A tree that vanished from the network after the list was read.
  trees_->addItem(QStringLiteral("GONE_TREE"));
  ChooseTree("GONE_TREE");
  ASSERT_EQ(dialogs_.errors.size(), 1U);
  EXPECT_THAT(dialogs_.errors.front(),
              ::testing::MatchesRegex("Error [0-9A-F]{4,8}: DSChangeCurrentTree"));
  EXPECT_EQ(form.CurrentTree, "GONE_TREE");
  EXPECT_EQ(form.CurrentCtx, Shown());
}

TEST_F(BrowseTest, TypedContainerBecomesTheSearchBaseOnAnObjectClick) {
  TMainForm& form = Start();
  const std::vector<std::string> containersBefore = Lines(containers_);
  const std::vector<std::string> objectsBefore = Lines(objects_);
  container_->setText(QStringLiteral(".Empty.Acme"));
  EXPECT_EQ(form.CurrentCtx, ".Sales.Acme") << "typing alone changes nothing";
  ClickObject(1);
  EXPECT_EQ(form.CurrentCtx, ".Empty.Acme");
  EXPECT_EQ(Lines(containers_), containersBefore);
  EXPECT_EQ(Lines(objects_), objectsBefore);
  EXPECT_EQ(DSGetNameContext(folder_.Client(), form.BrowseCtx), "Sales.Acme");
  form.close();
  EXPECT_EQ(ProfileFile(SettingsPath()).ReadString("Context", "ACME_TREE", ""), ".Empty.Acme");
}

TEST_F(BrowseTest, DoubleClickedLineIsOneOfTheListedContainerWhateverTheFieldSays) {
  struct Case {
    const char* typed;
    const char* line;
    const char* shown;
  };
  // Each line belongs to the container listed before it, never to the typed name, which would
  // compose names that do not exist (.Alpha.Acme, .Deep.Alpha.Sales.Acme below .Sales.Acme).
  const std::vector<Case> cases = {
      {".Acme", "Alpha", ".Alpha.Sales.Acme"},
      {"Deep.Alpha.Sales.Acme", "[ .. ]", ".Sales.Acme"},
      {"Alpha.Sales.Acme", "beta", ".beta.Sales.Acme"},
      {".Deep.Alpha.Sales.Acme", "[ .. ]", ".Sales.Acme"},
  };
  Start();
  for (const Case& step : cases) {
    container_->setText(QString::fromLatin1(step.typed));
    DoubleClickContainer(step.line);
    EXPECT_EQ(Shown(), step.shown) << step.typed << " + " << step.line;
  }
}

TEST_F(BrowseTest, DoubleClickWithoutASelectedLineDoesNothing) {
  TMainForm& form = Start();
  containers_->clearSelection();
  containers_->setCurrentItem(nullptr);
  form.ListBoxContainersDblClick();
  EXPECT_EQ(Shown(), ".Sales.Acme");
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]", "Alpha", "beta"));
}

TEST_F(BrowseTest, RememberedContainerThatNoLongerExistsIsShownEmptyAndCanBeLeft) {
  folder_.Write(SettingsPath(), "[Context]\nDefault=ACME_TREE\nACME_TREE=.Gone.Acme\n");
  TMainForm& form = Start();
  EXPECT_EQ(Shown(), ".Gone.Acme");
  EXPECT_EQ(form.CurrentCtx, ".Gone.Acme");
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]"));
  EXPECT_THAT(Lines(objects_), IsEmpty());
  DoubleClickContainer("[ .. ]");
  EXPECT_EQ(Shown(), ".Acme");
  EXPECT_THAT(Lines(containers_), ElementsAre("[ .. ]", "Empty", "Sales"));
}

}  // namespace
