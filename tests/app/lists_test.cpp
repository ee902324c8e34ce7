// The export tab's five check lists in the window (offscreen): when they fill, the four ways of
// marking them, and the list model under Qt's own model checker.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/item_list.h"
#include "app/main_form.h"
#include "app/qt_hooks.h"
#include "app/qt_item_list_model.h"
#include "app/work_monitor.h"
#include "directory/client/dir_client.h"
#include "directory/d_nw.h"
#include "directory/d_nw_search.h"
#include "tests/support/window_test_support.h"
#include "util/hooks.h"
#include "util/string_list.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Module A holds module B, so the task below B belongs to both; Role names one task below the
// start container, one outside it and a book.
const std::string kShopTree = std::string(ORVANE_TEST_DATA) + "/shop_tree.ldif";

struct ListNames {
  const char* list;
  const char* edit;
  const char* filter;
};
constexpr ListNames kLists[] = {
    {"CheckListBoxModules", "EditModulesMatch", "(Base Class=rbsModule2)"},
    {"CheckListBoxCat", "Edit1", "(Base Class=rbsCategory2)"},
    {"CheckListBoxRoles", "EditRoleMatch", "(Base Class=rbsRole2)"},
    {"CheckListBoxBooks", "EditBookMatch", "(Base Class=rbsBook2)"},
    {"CheckListBoxTasks", "EditTaskMatch", "(Base Class=rbsTask2)"},
};

// One program folder, one configuration folder and one client start per test; `source` is an
// LDIF path or the built-in sample tree.
class ListsTest : public WindowTest {
 protected:
  TMainForm& Start(const std::string& source, const std::string& context) {
    folder_.UseConnections(OneConnection("T_TREE", source, "context = " + context + "\n"));
    ShowForm();
    QApplication::processEvents();
    return *form_;
  }
  TMainForm& StartShop() { return Start(kShopTree, "Start.Shop"); }
  void OpenTab(QWidget* page) {
    form_->PageControl1->setCurrentWidget(page);
    QApplication::processEvents();
  }
  void OpenExportPage(QWidget* page) {
    form_->PageControlExp->setCurrentWidget(page);
    QApplication::processEvents();
  }

  QListView* List(const char* name) {
    auto* list = form_->findChild<QListView*>(QString::fromLatin1(name));
    EXPECT_NE(list, nullptr) << name;
    return list;
  }
  // "[x] line;" per line, in the list's order.
  std::string Lines(const char* name) {
    const TItemList& items = form_->ItemsOf(List(name)).Items();
    std::string text;
    for (int i = 0; i < items.Count(); ++i) {
      text += (items.Checked(i) ? "[x] " : "[ ] ") + items.Line(i) + ";";
    }
    return text;
  }
  std::string Marks(const char* name) {
    const TItemList& items = form_->ItemsOf(List(name)).Items();
    std::string marks;
    for (int i = 0; i < items.Count(); ++i) {
      marks += items.Checked(i) ? 'x' : '.';
    }
    return marks;
  }
  void Check(const char* name, const std::string& line) {
    TItemListModel& model = form_->ItemsOf(List(name));
    for (int row = 0; row < model.rowCount(); ++row) {
      if (model.Items().Line(row) == line) {
        ASSERT_TRUE(model.setData(model.index(row), Qt::Checked, Qt::CheckStateRole));
        return;
      }
    }
    FAIL() << line << " not in " << name;
  }
  void OnContextMenuOf(const char* name, QAction* action) {
    emit List(name)->customContextMenuRequested(QPoint(4, 4));
    action->trigger();
    form_->PopupMenu1->close();
  }
};

TEST_F(ListsTest, OpeningTheExportTabFillsAllFiveListsInSearchOrder) {
  TMainForm& form = Start("sample", "Services.Larkspur");
  for (const ListNames& names : kLists) {
    EXPECT_EQ(form.ItemsOf(List(names.list)).rowCount(), 0) << names.list;
  }
  OpenTab(form.TabSheetExp);
  EXPECT_EQ(form.PageControlExp->currentWidget(), form.TabSheetExpModules);
  for (const ListNames& names : kLists) {
    SCOPED_TRACE(names.list);
    TStringList expected;
    ASSERT_EQ(DSSearch(folder_.Client(), form.SearchCtx, "Services.Larkspur", names.filter,
                       kDirScopeSubtree, expected),
              kDirOk);
    ASSERT_GT(expected.Count(), 0);
    const TItemList& items = form.ItemsOf(List(names.list)).Items();
    ASSERT_EQ(items.Count(), expected.Count());
    for (int i = 0; i < items.Count(); ++i) {
      EXPECT_EQ(items.Line(i), expected.Text(i));
      EXPECT_FALSE(items.Checked(i));
    }
  }
  EXPECT_THAT(dialogs_.errors, IsEmpty());
}

TEST_F(ListsTest, PatternFieldsMarkTheirOwnListOnly) {
  TMainForm& form = StartShop();
  const std::vector<std::string> lines = {"Star*Gate.Shop", "Why?.Shop", "DESK.Shop",
                                          "my desk.Shop", "Zürich.Shop"};
  for (const ListNames& names : kLists) {
    form.ItemsOf(List(names.list)).Fill([&lines](TItemList& items) {
      for (const std::string& line : lines) {
        items.Add(line);
      }
    });
  }
  struct Case {
    const char* text;
    const char* marks;
  };
  const Case cases[] = {
      {"desk", "..xx."}, {"*", "x...."},      {"?", ".x..."},     {"S", "xxxxx"},
      {"", "....."},     {"ZÜRICH", "....."}, {"ürich", "....x"},
  };
  for (const ListNames& names : kLists) {
    SCOPED_TRACE(names.edit);
    auto* edit = form.findChild<QLineEdit*>(QString::fromLatin1(names.edit));
    ASSERT_NE(edit, nullptr);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.text);
      // Hand marks made before the change are overwritten by it.
      Check(names.list, "Why?.Shop");
      edit->setText(QString::fromUtf8(c.text));
      EXPECT_EQ(Marks(names.list), c.marks);
    }
    edit->setText(QStringLiteral("shop"));
    EXPECT_EQ(Marks(names.list), "xxxxx");
    for (const ListNames& other : kLists) {
      if (&other != &names) {
        EXPECT_EQ(Marks(other.list).find('x'), std::string::npos) << other.list;
      }
    }
    edit->clear();
    EXPECT_EQ(Marks(names.list), ".....");
  }
}

TEST_F(ListsTest, ContextMenuActsOnTheListItWasOpenedOn) {
  TMainForm& form = StartShop();
  OpenTab(form.TabSheetExp);
  form.EditTaskMatch->setText(QStringLiteral("own"));
  form.EditBookMatch->setText(QStringLiteral("book"));
  const std::string tasksAfterPattern = Marks("CheckListBoxTasks");
  ASSERT_EQ(std::count(tasksAfterPattern.begin(), tasksAfterPattern.end(), 'x'), 2);

  OnContextMenuOf("CheckListBoxTasks", form.PopupCheckAll);
  EXPECT_EQ(Marks("CheckListBoxTasks"), std::string(tasksAfterPattern.size(), 'x'));
  EXPECT_EQ(Marks("CheckListBoxBooks"), "x");
  EXPECT_EQ(Marks("CheckListBoxModules"), "...");

  OnContextMenuOf("CheckListBoxModules", form.PopupCheckAll);
  EXPECT_EQ(Marks("CheckListBoxModules"), "xxx");
  OnContextMenuOf("CheckListBoxTasks", form.PopupUncheckAll);
  EXPECT_EQ(Marks("CheckListBoxTasks"), std::string(tasksAfterPattern.size(), '.'));
  EXPECT_EQ(Marks("CheckListBoxModules"), "xxx");
  EXPECT_EQ(Marks("CheckListBoxBooks"), "x");

  OpenExportPage(form.TabSheetExpCat);
  OnContextMenuOf("CheckListBoxCat", form.PopupCheckAll);
  EXPECT_EQ(Marks("CheckListBoxCat"), "xx");
  EXPECT_EQ(Marks("CheckListBoxRoles"), ".");
}

TEST_F(ListsTest, DependentBooksAndTasksOfModules) {
  TMainForm& form = StartShop();
  OpenTab(form.TabSheetExp);
  ASSERT_EQ(Marks("CheckListBoxTasks").size(), 4u);  // Outside is not below the start
  // ModA holds ModB: both find the shared task. A task checked by hand stays checked.
  Check("CheckListBoxModules", "ModA.Start.Shop");
  Check("CheckListBoxModules", "ModB.ModA.Start.Shop");
  Check("CheckListBoxTasks", "Free.Start.Shop");
  form.WorkMonitor->ProgressDelay = std::chrono::milliseconds(0);  // the work counts as long
  form.BitBtnCheckDependentBooks->click();
  EXPECT_EQ(form.StatusBar->SimpleText().toStdString(),
            "Check Dependent Books & Tasks: 1 book and 2 tasks checked for 2 modules");
  EXPECT_EQ(Lines("CheckListBoxBooks"), "[x] BookB.ModB.ModA.Start.Shop;");
  const std::string tasks = Lines("CheckListBoxTasks");
  for (const char* checked : {"[x] Shared.ModB.ModA.Start.Shop;", "[x] OwnA.ModA.Start.Shop;",
                              "[x] Free.Start.Shop;", "[ ] OwnC.ModC.Start.Shop;"}) {
    EXPECT_NE(tasks.find(checked), std::string::npos) << checked << " in " << tasks;
  }
  EXPECT_THAT(form.ItemsOf(form.CheckListBoxRoles).Items().Checked(0), false);

  // Nothing checked: nothing changes, nothing is unchecked.
  OnContextMenuOf("CheckListBoxModules", form.PopupUncheckAll);
  form.BitBtnCheckDependentBooks->click();
  EXPECT_EQ(Lines("CheckListBoxTasks"), tasks);
}

TEST_F(ListsTest, RoleMarksOnlyTheTasksListedBelowTheStart) {
  TMainForm& form = StartShop();
  OpenTab(form.TabSheetExp);
  Check("CheckListBoxRoles", "Role.Start.Shop");
  form.WorkMonitor->ProgressDelay = std::chrono::milliseconds(0);
  form.BitBtnCheckDependentTasks->click();
  EXPECT_EQ(form.StatusBar->SimpleText().toStdString(),
            "Check Dependent Tasks: 1 task checked for 1 role");
  const std::string tasks = Lines("CheckListBoxTasks");
  EXPECT_NE(tasks.find("[x] Free.Start.Shop;"), std::string::npos) << tasks;
  EXPECT_EQ(std::count(tasks.begin(), tasks.end(), 'x'), 1) << tasks;
  // The book the role names is not marked: only the tasks page is.
  EXPECT_EQ(Lines("CheckListBoxBooks"), "[ ] BookB.ModB.ModA.Start.Shop;");

  // Stopped before its first role, the bar tells how many of the checked roles were done.
  SetMessagePump([&form] { form.WorkMonitor->RequestStop(); });
  form.BitBtnCheckDependentTasks->click();
  InstallQtHooks();
  EXPECT_EQ(form.StatusBar->SimpleText().toStdString(),
            "Checking dependent tasks stopped: 0 of 1 roles");
}

TEST_F(ListsTest, SampleRoleWithContentOutsideTheStartMarksTheInsideTasks) {
  TMainForm& form = Start("sample", "Services.Larkspur");
  OpenTab(form.TabSheetExp);
  Check("CheckListBoxRoles", "Help Desk.RBS Collection.Services.Larkspur");
  form.BitBtnCheckDependentTasks->click();
  const TItemList& tasks = form.ItemsOf(form.CheckListBoxTasks).Items();
  std::vector<std::string> checked;
  for (int i = 0; i < tasks.Count(); ++i) {
    if (tasks.Checked(i)) {
      checked.push_back(tasks.Line(i));
    }
  }
  std::sort(checked.begin(), checked.end());
  EXPECT_THAT(checked,
              ElementsAre("Disable Account.User Management.RBS Collection.Services.Larkspur",
                          "Reset Password.User Management.RBS Collection.Services.Larkspur"));
  EXPECT_EQ(Marks("CheckListBoxBooks").find('x'), std::string::npos);
}

TEST_F(ListsTest, ReenteringTheExportTabReloadsFourListsButNotTheCategories) {
  TMainForm& form = StartShop();
  QSignalSpy categoryResets(&form.ItemsOf(form.CheckListBoxCat), &QAbstractItemModel::modelReset);
  OpenTab(form.TabSheetExp);
  EXPECT_EQ(Lines("CheckListBoxCat"), "[ ] Cat1.Start.Shop;[ ] Cat2.Start.Shop;");
  const int firstFill = static_cast<int>(categoryResets.count());
  EXPECT_GT(firstFill, 0);

  for (const ListNames& names : kLists) {
    OnContextMenuOf(names.list, form.PopupCheckAll);
  }
  OpenTab(form.TabSheetStart);
  OpenTab(form.TabSheetExp);
  EXPECT_EQ(form.PageControlExp->currentWidget(), form.TabSheetExpModules);
  for (const ListNames& names : kLists) {
    const std::string marks = Marks(names.list);
    ASSERT_FALSE(marks.empty()) << names.list;
    const char expected = std::string(names.list) == "CheckListBoxCat" ? 'x' : '.';
    EXPECT_EQ(marks, std::string(marks.size(), expected)) << names.list;
  }
  // Moving between the inner pages, the XML page included, reloads nothing.
  for (QWidget* page :
       {form.TabSheetExpCat, form.TabSheetXml, form.TabSheetExpRoles, form.TabSheetExpCat}) {
    OpenExportPage(page);
  }
  EXPECT_EQ(Marks("CheckListBoxCat"), "xx");
  EXPECT_EQ(Marks("CheckListBoxRoles"), ".");
  EXPECT_EQ(categoryResets.count(), firstFill);
}

TEST_F(ListsTest, RestoringTheMinimizedWindowKeepsTheMarks) {
  TMainForm& form = StartShop();
  OpenTab(form.TabSheetExp);
  OnContextMenuOf("CheckListBoxModules", form.PopupCheckAll);
  ASSERT_EQ(Marks("CheckListBoxModules"), "xxx");
  form.showMinimized();
  QApplication::processEvents();
  form.showNormal();
  QApplication::processEvents();
  EXPECT_EQ(Marks("CheckListBoxModules"), "xxx");
}

TEST_F(ListsTest, ResizingTheCategoriesPageReloadsItAndLosesItsMarks) {
  TMainForm& form = StartShop();
  OpenTab(form.TabSheetExp);
  OpenExportPage(form.TabSheetExpCat);
  OnContextMenuOf("CheckListBoxCat", form.PopupCheckAll);
  OnContextMenuOf("CheckListBoxRoles", form.PopupCheckAll);
  ASSERT_EQ(Marks("CheckListBoxCat"), "xx");

  // While the page is shown.
  form.resize(form.width() + 40, form.height() + 30);
  QApplication::processEvents();
  EXPECT_EQ(Lines("CheckListBoxCat"), "[ ] Cat1.Start.Shop;[ ] Cat2.Start.Shop;");
  EXPECT_EQ(Marks("CheckListBoxRoles"), "x");

  // While another page is shown: the reload waits until the page is shown again.
  OnContextMenuOf("CheckListBoxCat", form.PopupCheckAll);
  OpenExportPage(form.TabSheetExpModules);
  form.resize(form.width() - 60, form.height() - 20);
  QApplication::processEvents();
  EXPECT_EQ(Marks("CheckListBoxCat"), "xx");
  OpenExportPage(form.TabSheetExpCat);
  EXPECT_EQ(Marks("CheckListBoxCat"), "..");
  EXPECT_EQ(Marks("CheckListBoxRoles"), "x");
}

TEST(ItemListModel, PassesTheModelCheckerThroughFillsAndMarks) {
  TItemListModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  model.Mark([](TItemList& items) { items.CheckAll(); });  // empty: nothing to report
  EXPECT_EQ(changed.count(), 0);
  model.Fill([](TItemList& items) {
    for (const char* line : {"A.X", "B.X", "C.X"}) {
      items.Add(line);
    }
  });
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.rowCount(model.index(0)), 0);
  EXPECT_EQ(model.data(model.index(1), Qt::DisplayRole).toString(), QStringLiteral("B.X"));
  EXPECT_EQ(model.data(model.index(1), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_TRUE(model.flags(model.index(1)).testFlag(Qt::ItemIsUserCheckable));

  EXPECT_TRUE(model.setData(model.index(2), Qt::Checked, Qt::CheckStateRole));
  EXPECT_FALSE(model.setData(model.index(2), QStringLiteral("renamed"), Qt::EditRole));
  EXPECT_FALSE(model.setData(QModelIndex(), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(model.data(model.index(2), Qt::DisplayRole).toString(), QStringLiteral("C.X"));
  EXPECT_EQ(model.data(model.index(2), Qt::CheckStateRole).toInt(), Qt::Checked);

  model.Mark([](TItemList& items) { items.MarkByText("b"); });
  EXPECT_EQ(model.data(model.index(1), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(model.data(model.index(2), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(changed.count(), 2);

  // Only the lines it checked are reported, a run of adjacent ones at a time.
  model.Fill([](TItemList& items) {
    items.Clear();
    for (const char* line : {"A.X", "B.X", "C.X", "D.X", "E.X"}) {
      items.Add(line);
    }
  });
  model.setData(model.index(3), Qt::Checked, Qt::CheckStateRole);  // checked before: not reported
  changed.clear();
  TStringList values;
  for (const char* value : {"e.x", "A.X", "b.x", "C.x", "Z.X"}) {
    values.Add(value);
  }
  model.MarkDependents(values);
  ASSERT_EQ(changed.count(), 2);
  const auto rows = [&changed](int signal) {
    const QList<QVariant> arguments = changed.at(signal);
    return std::pair(arguments.at(0).toModelIndex().row(), arguments.at(1).toModelIndex().row());
  };
  EXPECT_EQ(rows(0), std::pair(0, 2));
  EXPECT_EQ(rows(1), std::pair(4, 4));

  model.Fill([](TItemList& items) { items.Clear(); });
  EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace

TEST_F(ListsTest, XmlPageRebuildsFromTheCheckedItemsAndDiscardsEdits) {
  TMainForm& form = Start("sample", "Services.Larkspur");
  OpenTab(form.TabSheetExp);
  OnContextMenuOf("CheckListBoxModules", form.PopupCheckAll);
  Check("CheckListBoxTasks", form.ItemsOf(List("CheckListBoxTasks")).Items().Line(0));
  OpenExportPage(form.TabSheetXml);

  const QString built = form.MemoXml->toPlainText();
  const QStringList lines = built.split(u'\n');
  ASSERT_GE(lines.size(), 4);
  EXPECT_EQ(lines.front(), QStringLiteral("<install>"));
  EXPECT_EQ(lines.back(), QStringLiteral("</install>"));
  EXPECT_EQ(lines.count(QStringLiteral("<module>")), 3);
  EXPECT_EQ(lines.count(QStringLiteral("<task>")), 1);
  EXPECT_EQ(lines.count(QStringLiteral("<role>")), 0);
  EXPECT_EQ(built.count(QStringLiteral("     <version>2.6.1</version>")), 1);

  // An edit lasts until the page is shown again; then the document is built anew.
  form.MemoXml->setPlainText(QStringLiteral("edited"));
  OpenExportPage(form.TabSheetExpModules);
  OpenExportPage(form.TabSheetXml);
  EXPECT_EQ(form.MemoXml->toPlainText(), built);

  // Unchecking everything leaves the empty document.
  OpenExportPage(form.TabSheetExpModules);
  OnContextMenuOf("CheckListBoxModules", form.PopupUncheckAll);
  OnContextMenuOf("CheckListBoxTasks", form.PopupUncheckAll);
  OpenExportPage(form.TabSheetXml);
  EXPECT_EQ(form.MemoXml->toPlainText(), QStringLiteral("<install>\n\n\n</install>"));
  EXPECT_THAT(dialogs_.errors, IsEmpty());
}
