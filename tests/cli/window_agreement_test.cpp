// orvane-export against the window (offscreen) on the same tree: the window is driven as a user
// would (context menus, pattern fields, the dependency buttons, the XML page and its save
// button) and its marks and saved bytes must be exactly the tool's --list and document; then what
// only the window does with the document it shows.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/export_lists.h"
#include "app/item_list.h"
#include "app/main_form.h"
#include "app/qt_item_list_model.h"
#include "cli/export_command.h"
#include "directory/client/dir_session.h"
#include "directory/d_nw.h"
#include "tests/client/slapd_server.h"
#include "tests/support/window_test_support.h"

namespace {

namespace fs = std::filesystem;

// How one scenario marks the lists: in the window and as the tool's arguments.
struct Scenario {
  const char* name;
  bool checkAll;
  const char* modules;  // pattern field texts; nullptr leaves a field alone
  const char* roles;
  const char* tasks;
  bool dependents;
  std::vector<std::string> arguments;
  int checked;  // lines the scenario checks in the sample tree
};

class WindowAgreement : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(connections_) << "[t]\ntree = LARKSPUR_TREE\nsource = sample\n"
                                   "context = Services.Larkspur\nprimary = yes\n";
  }

  void CheckAll() {
    for (const RbsKind kind : kRbsKinds) {
      QListView* list = form_->ListOf(kind);
      emit list->customContextMenuRequested(QPoint(4, 4));
      form_->PopupCheckAll->trigger();
      form_->PopupMenu1->close();
    }
  }
  void Show(QWidget* page) {
    QTabWidget* tabs = page == form_->TabSheetExp ? form_->PageControl1 : form_->PageControlExp;
    tabs->setCurrentWidget(page);
    QApplication::processEvents();
  }

  // Runs the scenario in the window; returns its lists as --list prints them and the bytes its
  // save button wrote.
  std::pair<std::string, std::string> RunWindow(const Scenario& scenario) {
    folder_.Client().DirClientUseConnectionsFile(connections_);
    form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs_, folder_.ProgramFile());
    form_->show();
    QApplication::processEvents();
    Show(form_->TabSheetExp);
    if (scenario.checkAll) {
      CheckAll();
    }
    const std::pair<QLineEdit*, const char*> fields[] = {
        {form_->EditModulesMatch, scenario.modules},
        {form_->EditRoleMatch, scenario.roles},
        {form_->EditTaskMatch, scenario.tasks}};
    for (const auto& [field, text] : fields) {
      if (text != nullptr) {
        QTest::keyClicks(field, QString::fromUtf8(text));
      }
    }
    if (scenario.dependents) {
      Show(form_->TabSheetExpModules);
      QTest::mouseClick(form_->BitBtnCheckDependentBooks, Qt::LeftButton);
      Show(form_->TabSheetExpRoles);
      QTest::mouseClick(form_->BitBtnCheckDependentTasks, Qt::LeftButton);
    }
    std::string listed;
    for (const RbsKind kind : kRbsKinds) {
      const TItemList& items = form_->ItemsOf(form_->ListOf(kind)).Items();
      for (int i = 0; i < items.Count(); ++i) {
        listed += std::string(RbsKindName(kind)) + (items.Checked(i) ? "\tx\t" : "\t-\t") +
                  items.Line(i) + "\n";
      }
    }
    Show(form_->TabSheetXml);
    const fs::path saved = root_ / "window.xml";
    dialogs_.saveAnswer = saved.string();
    QTest::mouseClick(form_->BitBtnSaveXml, Qt::LeftButton);
    form_->close();
    form_.reset();
    folder_.Client().DirClientShutdown();
    return {listed, folder_.Read(saved)};
  }

  std::string RunTool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--connections", connections_});
    std::ostringstream out;
    std::ostringstream err;
    DirSession tool;
    EXPECT_EQ(RunExport(tool, arguments, out, err), kExportDone) << err.str();
    EXPECT_EQ(err.str(), "");
    return out.str();
  }

  WindowTestFolder folder_;
  const fs::path& root_ = folder_.Root();
  const std::string connections_ = (root_ / "connections.ini").string();
  RecordingDialogs dialogs_;
  std::unique_ptr<TMainForm> form_;
};

class WindowAgreementTest : public WindowAgreement,
                            public ::testing::WithParamInterface<Scenario> {};

TEST_P(WindowAgreementTest, TheToolMarksAndWritesWhatTheWindowSaves) {
  const Scenario& scenario = GetParam();
  const auto [windowList, windowDocument] = RunWindow(scenario);
  EXPECT_TRUE(dialogs_.errors.empty());
  ASSERT_FALSE(windowDocument.empty());
  int checked = 0;
  for (size_t at = windowList.find("\tx\t"); at != std::string::npos;
       at = windowList.find("\tx\t", at + 1)) {
    ++checked;
  }
  EXPECT_EQ(checked, scenario.checked);

  std::vector<std::string> listing = scenario.arguments;
  listing.push_back("--list");
  EXPECT_EQ(RunTool(listing), windowList);
  EXPECT_EQ(RunTool(scenario.arguments), windowDocument);
  // The file the tool writes holds the same bytes.
  std::vector<std::string> toFile = scenario.arguments;
  const fs::path target = root_ / "tool.xml";
  toFile.insert(toFile.end(), {"-o", target.string()});
  EXPECT_EQ(RunTool(toFile), "");
  EXPECT_EQ(folder_.Read(target), windowDocument);
}

INSTANTIATE_TEST_SUITE_P(
    SampleTree, WindowAgreementTest,
    ::testing::Values(Scenario{"Everything", true, nullptr, nullptr, nullptr, false, {"--all"}, 20},
                      Scenario{"PatternsThenDependents",
                               false,
                               "user",
                               "HELP",
                               "printer",
                               true,
                               {"--modules", "user", "--roles", "HELP", "--tasks", "printer",
                                "--dependents"},
                               9}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Bytes a text view does not give back as it got them: a no-break space, a lone CR and a lone LF
// in the parameters. The window saves the document it built, not the view's reading of it.
TEST_F(WindowAgreement, BytesTheViewCannotHoldAreSavedAsBuilt) {
  const std::string ldif =
      "dn: o=Odd\nobjectClass: organization\no: Odd\n\n"
      "dn:: Y249Tm/CoEJyZWFrLG89T2Rk\n"  // cn=No<no-break space>Break,o=Odd
      "objectClass: rbsTask2\ncn:: Tm/CoEJyZWFr\n"
      "rbsParameters:: PHA+YQ1iPC9wPg0KPHE+YwpkPC9xPg==\n";  // <p>a\rb</p>\r\n<q>c\nd</q>
  std::ofstream(root_ / "odd.ldif", std::ios::binary) << ldif;
  std::ofstream(connections_) << "[t]\ntree = ODD\nsource = " << (root_ / "odd.ldif").string()
                              << "\ncontext = Odd\nprimary = yes\n";
  const Scenario everything{"", true, nullptr, nullptr, nullptr, false, {"--all"}, 1};
  const std::string saved = RunWindow(everything).second;
  EXPECT_NE(saved.find("<id>No\xC2\xA0"
                       "Break</id>\r\n"),
            std::string::npos)
      << saved;
  // The value's markup is text (escaped); its lone CR and lone LF stay as they are.
  EXPECT_NE(saved.find("&lt;p&gt;a\rb&lt;/p&gt;\r\n&lt;q&gt;c\nd&lt;/q&gt;"), std::string::npos)
      << saved;
  EXPECT_EQ(RunTool({"--all"}), saved);
  EXPECT_TRUE(dialogs_.errors.empty());
}

// The server stops answering once the lists are loaded: the XML page shows the document as far
// as it was read, without its closing lines, and a message naming the server, within about two
// timeouts. Shown again with the server back, the page is whole.
TEST_F(WindowAgreement, AServerLostDuringTheRebuildLeavesTheDocumentOpenAndSaysWhy) {
  SlapdServer server(std::string(ORVANE_TEST_DATA) + "/../../samples/sample_tree.ldif");
  ASSERT_TRUE(server.Running()) << server.Error();
  std::ofstream(connections_) << "[t]\ntree = LARKSPUR_TREE\nsource = " << server.Uri()
                              << "\ncontext = Services.Larkspur\nprimary = yes\ntimeout = 1\n";
  folder_.Client().DirClientUseConnectionsFile(connections_);
  form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs_, folder_.ProgramFile());
  form_->show();
  QApplication::processEvents();
  Show(form_->TabSheetExp);
  CheckAll();
  server.Pause();
  // Stopped for good if the rebuild is still reading after 6 s, which ends it.
  std::promise<void> rebuilt;
  std::thread watchdog([&server, done = rebuilt.get_future()] {
    if (done.wait_for(std::chrono::seconds(6)) != std::future_status::ready) {
      server.Stop();
    }
  });
  const auto started = std::chrono::steady_clock::now();
  Show(form_->TabSheetXml);
  const auto took = std::chrono::steady_clock::now() - started;
  rebuilt.set_value();
  watchdog.join();
  server.Resume();
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  const std::string shown = form_->MemoXml->toPlainText().toStdString();
  EXPECT_EQ(shown.rfind("<install>\n\n<module>\n", 0), 0u) << shown;
  EXPECT_EQ(shown.find("</install>"), std::string::npos) << shown;
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  const std::string error = dialogs_.errors.front();
  EXPECT_EQ(error.rfind("The XML document is incomplete. Reading rbsParameters of .", 0), 0u)
      << error;
  EXPECT_NE(error.find(server.Uri() + ": "), std::string::npos) << error;
  EXPECT_NE(error.find("no answer within 1 s"), std::string::npos) << error;
  // Saved, the cut document would pass for a whole one.
  const fs::path target = root_ / "cut.xml";
  dialogs_.saveAnswer = target.string();
  QTest::mouseClick(form_->BitBtnSaveXml, Qt::LeftButton);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(dialogs_.errors.back(), "Cannot save the document: " + error);

  Show(form_->TabSheetExpModules);
  Show(form_->TabSheetXml);
  const std::string whole = form_->MemoXml->toPlainText().toStdString();
  EXPECT_NE(whole.find("\n</install>"), std::string::npos) << whole;
  EXPECT_EQ(dialogs_.errors.size(), 2u);
  QTest::mouseClick(form_->BitBtnSaveXml, Qt::LeftButton);
  EXPECT_NE(folder_.Read(target).find("\n</install>"), std::string::npos);
}

}  // namespace
