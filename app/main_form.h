#pragma once
// The program's one window, TMainForm: its pages and controls, the state the handlers share, and
// the start-up and shut-down that open the directory client, the contexts and the settings.
#include <QMainWindow>
#include <QSize>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/clickable_status_bar.h"
#include "app/export_lists.h"
#include "app/export_run.h"
#include "app/form_dialogs.h"
#include "app/profile_file.h"
#include "app/program_version.h"
#include "directory/client/dir_client.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QListWidget;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTabWidget;
class QFrame;
class TItemListModel;
class TStringList;
class TWorkMonitor;
class TWindowPlacement;

class TMainForm : public QMainWindow {
  Q_OBJECT
 public:
  // The caption the window carries until start-up has succeeded.
  static constexpr const char* kResourceCaption = "Export iManager 2.0.x:  Roles, Tasks, Books";
  static constexpr const char* kTitle =
      "Orvane: Export iManager 2.x Roles, Tasks, and Property Books";
  static constexpr const char* kVersion = kOrvaneVersion;

  // `client` is the directory client the window starts, restarts and reads through; `dialogs`
  // shows every box and the save dialog. Both must outlive the window. `programFile`
  // names the info text (its base name, ".txt") and finds it and the user guide (index.html)
  // where ProgramDocument says, and names the settings file (its base name, ".ini", in the
  // configuration folder). Creating the window runs FormCreate.
  TMainForm(DirClient& client, FormDialogs& dialogs, std::filesystem::path programFile,
            QWidget* parent = nullptr);
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Window state shared by the handlers.
  DirContext BrowseCtx = 0;
  DirContext SearchCtx = 0;
  std::string CurrentTree;
  std::string CurrentCtx;
  std::string XmlPath;
  std::optional<ProfileFile> SettingsIni;  // absent when the directory client did not start

  // The file:// address of the user guide the status bar shows.
  [[nodiscard]] QString UserGuideAddress() const;

  // Life-cycle handlers (run by construction, the first show and close).
  void FormCreate();
  void FormShow();
  void FormClose();
  // Showing the window runs FormShow first, so that the window system gets the window where the
  // settings put it.
  void setVisible(bool visible) override;
  // Keeps the right edges of the user and container fields 10 pixels inside Panel4.
  void Panel4Resize();
  void StatusBarClick();

  // Opens the connections dialog; when it has written the connections file, the client is
  // restarted on it (RestartClient) once the dialog closes.
  void ConnectionsClick();
  // Starts the client afresh on the connections file and fills the tree list again, staying on
  // the current tree when it is still there. A failed start shows the start-up error boxes and
  // leaves the tree list empty; the window stays usable.
  void RestartClient();

  // Tree change: both contexts move to the tree chosen in ComboBoxTrees.
  void ChangeTree();
  void SaveTreeAndCtx();
  void ReadTreeAndCtx();
  // Container browsing on the Start tab.
  void GetContainerInfo();
  void ListBoxContainersDblClick();
  void ListBoxObjectsClick();
  // Enter in EditCurrentContainer: the typed container is shown, or refused with an error box
  // when it cannot be listed (the field keeps the text).
  void EditCurrentContainerEnter();
  // Backspace or Alt+Up in the lists, Alt+Up in the container field: the parent of the container
  // shown; nothing at "[Root]".
  void GoToParentContainer();

  // Export pages.
  void TabSheetExpShow();
  void CategoriesLoad();
  void ModulesLoad();
  void RolesLoad();
  void BooksLoad();
  void TasksLoad();
  // Fills the list of `kind` from a search below CurrentCtx.
  void ItemsLoad(RbsKind kind);
  void PopupCheckAllClick();
  void PopupUncheckAllClick();
  void EditMatchChange(QLineEdit* sender);
  void BitBtnCheckDependentBooksClick();
  void BitBtnCheckDependentTasksClick();
  // The lines and marks of one of the five check lists.
  [[nodiscard]] TItemListModel& ItemsOf(QListView* list) const;
  // The check list of one kind of item.
  [[nodiscard]] QListView* ListOf(RbsKind kind) const;

  // XML page.
  void TabSheetXmlShow();
  void BitBtnSaveXmlClick();

  // Controls, named as their objectName.
  QTabWidget* PageControl1;
  QWidget* TabSheetInfo;
  QLabel* PanelInfo;
  QPlainTextEdit* Memo1;
  QWidget* TabSheetStart;
  QFrame* Panel4;
  QComboBox* ComboBoxTrees;
  QLineEdit* EditMyName;
  QLineEdit* EditCurrentContainer;
  QPushButton* ButtonConnections;  // in the tab row, shown with the Start tab
  QWidget* Panel3;
  QSplitter* Splitter1;
  QListWidget* ListBoxContainers;
  QListWidget* ListBoxObjects;
  QWidget* TabSheetExp;
  QTabWidget* PageControlExp;
  QWidget* TabSheetExpModules;
  QWidget* TabSheetExpCat;
  QWidget* TabSheetExpRoles;
  QWidget* TabSheetExpBooks;
  QWidget* TabSheetExportTasks;
  QWidget* TabSheetXml;
  QLabel* Label6;
  QLabel* Label3;
  QLabel* Label2;
  QLabel* Label1;
  QLabel* Label5;
  QLineEdit* EditModulesMatch;
  QLineEdit* Edit1;
  QLineEdit* EditRoleMatch;
  QLineEdit* EditBookMatch;
  QLineEdit* EditTaskMatch;
  QListView* CheckListBoxModules;
  QListView* CheckListBoxCat;
  QListView* CheckListBoxRoles;
  QListView* CheckListBoxBooks;
  QListView* CheckListBoxTasks;
  QPushButton* BitBtnCheckDependentBooks;
  QPushButton* BitBtnCheckDependentTasks;
  QPlainTextEdit* MemoXml;
  QPushButton* BitBtnSaveXml;
  QLabel* LabelCurrentXml;
  TClickableStatusBar* StatusBar;
  // The progress of long work in StatusBar, with its Stop button.
  TWorkMonitor* WorkMonitor;
  // Where the window stands between runs: what the settings keep of its geometry.
  TWindowPlacement* Placement;
  QMenu* PopupMenu1;
  QAction* PopupCheckAll;
  QAction* PopupUncheckAll;
  TSaveDialog SaveDialog1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void CreateExportPage(QWidget* page, QLabel*& label, const char* labelName, QLineEdit*& edit,
                        const char* editName, QListView*& list, const char* listName);
  void ReleaseContexts();
  // Starts the client, opens the settings and the contexts and fills the tree list, choosing
  // `preferredTree`, else the remembered tree, else the default one; false when the client did
  // not start (its error boxes shown).
  bool StartClient(const std::string& preferredTree);
  // The categories page changed size: its list is reloaded once the event and every running
  // handler have finished, and only when the page's size then differs from the loaded one.
  void CategoriesPageResized();
  void LoadCategoriesAfterResize();
  void RunHandler(const std::function<void()>& handler);
  void RunHandler(void (TMainForm::*handler)());
  // The kind of item `list` holds.
  [[nodiscard]] RbsKind KindOf(const QListView* list) const;

  // The export's lists as the list models hold them, changed through the models so that the
  // views follow.
  class ModelLists : public TExportListSet {
   public:
    explicit ModelLists(const TMainForm& form) : form_(form) {}
    [[nodiscard]] const TItemList& Of(RbsKind kind) const override;
    void Fill(RbsKind kind, const std::function<void(TItemList&)>& edit) override;
    void Mark(RbsKind kind, const std::function<void(TItemList&)>& mark) override;
    std::vector<int> MarkDependents(RbsKind kind, const TStringList& values) override;

   private:
    const TMainForm& form_;
  };

  DirClient& client_;
  FormDialogs& dialogs_;
  std::filesystem::path programFile_;
  ModelLists lists_{*this};
  TExportRun export_{client_, lists_};
  QListView* popupList_ = nullptr;  // the check list PopupMenu1 was opened on
  // The document the XML page last showed, line for line: saved as it is unless the user has
  // edited the view, because the view's plain text does not keep every byte (a lone CR or LF in
  // a value starts a paragraph, a no-break space comes back as a space).
  std::vector<std::string> shownDocument_;
  // Whether the view's text has changed since the document was shown.
  bool shownTextChanged_ = false;
  // Why the document last built lost bytes and may not be saved; cleared by the next rebuild.
  std::optional<std::string> unsavableBecause_;
  bool contextsCreated_ = false;
  uint64_t clientStarts_ = 0;  // the client's starts by this window
  int runningHandlers_ = 0;
  bool categoriesLoadDue_ = false;
  QSize categoriesLoadedSize_;  // the categories page's size at its list's last load
  // What the categories list was last filled for: another tree, start container or client start
  // makes it stale, whatever the page's size.
  struct CategoriesSource {
    std::string tree;
    std::string container;
    uint64_t clientStart = 0;
    bool operator==(const CategoriesSource&) const = default;
  };
  [[nodiscard]] CategoriesSource CurrentCategoriesSource() const;
  std::optional<CategoriesSource> categoriesLoadedFor_;
};
