// Logging in from the window: the keyring and the dialog behind WindowLogin (stand-ins for both),
// then the real dialog on the X server over a live slapd, a wrong password asked again and a
// cancelled login leaving the rest of the start-up to go on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/login_dialog.h"
#include "app/main_form.h"
#include "tests/client/slapd_server.h"
#include "tests/support/window_test_support.h"

namespace {

// A keyring in memory; `failure` makes every call fail with it.
class MemoryVault : public PasswordVault {
 public:
  Lookup Read(const std::string& key) override {
    if (!failure.empty()) {
      return {std::nullopt, failure};
    }
    const auto found = entries.find(key);
    return found == entries.end() ? Lookup{} : Lookup{found->second, ""};
  }
  std::string Write(const std::string& key, const std::string& password) override {
    if (failure.empty()) {
      entries[key] = password;
    }
    return failure;
  }
  std::string Remove(const std::string& key) override {
    if (failure.empty()) {
      entries.erase(key);
    }
    return failure;
  }
  std::map<std::string, std::string> entries;
  std::string failure;
};

// Answers in turn what it was given (nullopt = cancel) and records what the dialog was shown.
class ScriptedAsker : public LoginAsker {
 public:
  struct Shown {
    int attempt;
    bool remember;
    std::string note;
  };
  std::optional<LoginAnswer> Ask(const DirPasswordRequest& request, bool remember,
                                 const std::string& note) override {
    shown.push_back({request.attempt, remember, note});
    if (answers.empty()) {
      return std::nullopt;
    }
    std::optional<LoginAnswer> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<LoginAnswer>> answers;
  std::vector<Shown> shown;
};

DirPasswordRequest Request(int attempt) {
  return {"LIVE", "cn=Manager", "ldap://127.0.0.1:389", attempt,
          attempt == 1 ? "" : "Invalid credentials"};
}

TEST(WindowLoginTest, TheKeyringIsAskedFirstAndKeepsOnlyWhatWasNotRefused) {
  const std::string key = WindowLogin::KeyringKey(Request(1));
  EXPECT_EQ(key, "ldap://127.0.0.1:389 cn=Manager");
  MemoryVault vault;
  ScriptedAsker asker;
  RecordingDialogs messages;
  WindowLogin login(vault, asker, messages);

  // Nothing remembered: the dialog asks, "remember" unticked; ticked, the password is stored.
  asker.answers = {LoginAnswer{"first", true}};
  EXPECT_EQ(login.Provide(Request(1)).password, "first");
  EXPECT_EQ(vault.entries[key], "first");
  // Remembered: given without a dialog.
  EXPECT_EQ(login.Provide(Request(1)).password, "first");
  // Refused: forgotten before the dialog asks again, "remember" ticked as the user had chosen;
  // unticked this time, nothing is stored.
  asker.answers = {LoginAnswer{"second", false}};
  EXPECT_EQ(login.Provide(Request(2)).password, "second");
  EXPECT_THAT(vault.entries, ::testing::IsEmpty());
  // A refusal of what the keyring never held removes nothing of another login.
  vault.entries["other"] = "kept";
  asker.answers = {std::nullopt};
  const DirPasswordAnswer cancelled = login.Provide(Request(3));
  EXPECT_FALSE(cancelled.password.has_value());
  EXPECT_EQ(cancelled.failure, "");  // declined, not failed: start-up goes on
  EXPECT_EQ(vault.entries.size(), 1u);
  ASSERT_EQ(asker.shown.size(), 3u);
  EXPECT_FALSE(asker.shown[0].remember);
  EXPECT_TRUE(asker.shown[1].remember);
  EXPECT_FALSE(asker.shown[2].remember);
  EXPECT_THAT(messages.errors, ::testing::IsEmpty());

  // A keyring that cannot be reached still lets the user log in, and says so.
  vault.failure = "No such interface";
  asker.shown.clear();
  asker.answers = {LoginAnswer{"third", true}};
  EXPECT_EQ(login.Provide(Request(1)).password, "third");
  ASSERT_EQ(asker.shown.size(), 1u);
  EXPECT_EQ(asker.shown[0].note, "The keyring cannot be read: No such interface");
  EXPECT_THAT(
      messages.errors,
      ::testing::ElementsAre("The password could not be stored in the keyring: No such interface. "
                             "It is kept only until Orvane ends."));
}

// The login dialogs a test still waits for, and the test they belong to.
int awaitedDialogs = 0;
int testGeneration = 0;

// Calls `answer` with the login dialog once it is up; a test that ends before it showed fails.
void WhenTheDialogShows(std::function<void(TLoginDialog&)> answer) {
  ++awaitedDialogs;
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [answer = std::move(answer), generation = testGeneration, poll] {
    if (generation != testGeneration) {
      *poll = nullptr;
      return;
    }
    auto* dialog = qobject_cast<TLoginDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) {
      QTimer::singleShot(25, *poll);
      return;
    }
    --awaitedDialogs;
    answer(*dialog);
    *poll = nullptr;
  };
  QTimer::singleShot(0, *poll);
}

SlapdServer& Server() {
  static SlapdServer server(std::string(ORVANE_TEST_DATA) + "/client_tree.ldif");
  return server;
}

class LoginWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    ASSERT_TRUE(Server().Running()) << Server().Error();
    folder_.Write(folder_.Root() / "config" / "orvane" / "connections.ini",
                  "[sample]\ntree = SAMPLE\nsource = sample\n"
                  "[live]\ntree = LIVE\nprimary = yes\nsource = " +
                      Server().Uri() + "\nbind = " + SlapdServer::kManagerDn + "\n");
    folder_.Client().DirClientSetPasswordProvider(
        [this](const DirPasswordRequest& request) { return login_.Provide(request); });
  }
  void TearDown() override {
    folder_.Client().DirClientSetPasswordProvider({});
    EXPECT_EQ(awaitedDialogs, 0) << "a login dialog the test answers never showed";
    awaitedDialogs = 0;
    ++testGeneration;
  }

  std::vector<std::string> Trees() const {
    std::vector<std::string> trees;
    for (int i = 0; i < form_->ComboBoxTrees->count(); ++i) {
      trees.push_back(form_->ComboBoxTrees->itemText(i).toStdString());
    }
    return trees;
  }

  MemoryVault vault_;
  QtLoginAsker asker_;
  WindowLogin login_{vault_, asker_, dialogs_};
};

TEST_F(LoginWindowTest, AWrongPasswordIsAskedForAgainThenTheTreeOpens) {
  WhenTheDialogShows([](TLoginDialog& dialog) {
    EXPECT_EQ(dialog.EditPassword->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(dialog.LabelRefused->isVisible());
    EXPECT_FALSE(dialog.CheckRemember->isChecked());
    EXPECT_EQ(dialog.LabelTree->text().toStdString(), "LIVE");
    EXPECT_EQ(dialog.LabelServer->text().toStdString(), Server().Uri());
    EXPECT_EQ(dialog.LabelBindDn->text().toStdString(), SlapdServer::kManagerDn);
    QTest::keyClicks(dialog.EditPassword, QStringLiteral("wrong"));
    WhenTheDialogShows([](TLoginDialog& again) {
      EXPECT_TRUE(again.LabelRefused->isVisible());
      EXPECT_THAT(again.LabelRefused->text().toStdString(),
                  ::testing::HasSubstr("Invalid credentials"));
      EXPECT_EQ(again.EditPassword->text(), QString());
      QTest::keyClicks(again.EditPassword, QString::fromLatin1(SlapdServer::kManagerPassword));
      QTest::mouseClick(again.CheckRemember, Qt::LeftButton);
      QTest::keyClick(again.EditPassword, Qt::Key_Return);
    });
    QTest::mouseClick(dialog.ButtonLogin, Qt::LeftButton);
  });
  form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs_, folder_.ProgramFile());
  EXPECT_THAT(Trees(), ::testing::UnorderedElementsAre("SAMPLE", "LIVE"));
  EXPECT_EQ(form_->CurrentTree, "LIVE");
  EXPECT_EQ(
      vault_.entries[WindowLogin::KeyringKey({"", SlapdServer::kManagerDn, Server().Uri(), 1, ""})],
      SlapdServer::kManagerPassword);
  EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
}

TEST_F(LoginWindowTest, ACancelledLoginLeavesThatTreeOutAndTheWindowStarts) {
  WhenTheDialogShows(
      [](TLoginDialog& dialog) { QTest::mouseClick(dialog.ButtonCancel, Qt::LeftButton); });
  form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs_, folder_.ProgramFile());
  EXPECT_THAT(Trees(), ::testing::ElementsAre("SAMPLE"));
  EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
  EXPECT_THAT(vault_.entries, ::testing::IsEmpty());
}

// The connections dialog saved a change that leaves the live connection as it was: the client's
// restart logs it in again without the login dialog.
TEST_F(LoginWindowTest, ARestartAfterOtherConnectionsChangedKeepsTheLogin) {
  WhenTheDialogShows([](TLoginDialog& dialog) {
    QTest::keyClicks(dialog.EditPassword, QString::fromLatin1(SlapdServer::kManagerPassword));
    QTest::mouseClick(dialog.ButtonLogin, Qt::LeftButton);
  });
  form_ = std::make_unique<TMainForm>(folder_.Client(), dialogs_, folder_.ProgramFile());
  ASSERT_THAT(Trees(), ::testing::UnorderedElementsAre("SAMPLE", "LIVE"));
  const std::filesystem::path file = folder_.Root() / "config" / "orvane" / "connections.ini";
  folder_.Write(file, folder_.Read(file) + "[shop]\ntree = SHOP\nsource = " +
                          std::string(ORVANE_TEST_DATA) + "/shop_tree.ldif\n");
  int dialogsShown = 0;
  QTimer cancelAny;
  QObject::connect(&cancelAny, &QTimer::timeout, [&dialogsShown] {
    if (auto* dialog = qobject_cast<TLoginDialog*>(QApplication::activeModalWidget())) {
      ++dialogsShown;
      dialog->reject();
    }
  });
  cancelAny.start(25);
  form_->RestartClient();
  EXPECT_EQ(dialogsShown, 0);
  EXPECT_THAT(Trees(), ::testing::UnorderedElementsAre("SAMPLE", "LIVE", "SHOP"));
  EXPECT_EQ(form_->CurrentTree, "LIVE");
  EXPECT_THAT(dialogs_.errors, ::testing::IsEmpty());
}

}  // namespace
