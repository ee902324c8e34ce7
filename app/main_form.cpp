#include "app/main_form.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextDocument>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

#include "app/connections_dialog.h"
#include "app/d_ini.h"
#include "app/item_list.h"
#include "app/qt_item_list_model.h"
#include "app/window_placement.h"
#include "app/work_monitor.h"
#include "app/xml_text.h"
#include "directory/d_nw.h"
#include "directory/d_nw_list.h"
#include "util/hooks.h"
#include "util/launcher.h"
#include "util/string_list.h"
#include "util/text.h"
#include "xmlexport/xml_save.h"

namespace {

// The lines the XML page takes between two looks at the message queue: some 20 ms of work.
constexpr size_t kXmlPieceLines = 65'536;

QString KindCount(RbsKind kind, int count) {
  switch (kind) {
    case RbsKind::kModule:
      return TWorkMonitor::Counted(count, "module", "modules");
    case RbsKind::kCategory:
      return TWorkMonitor::Counted(count, "category", "categories");
    case RbsKind::kRole:
      return TWorkMonitor::Counted(count, "role", "roles");
    case RbsKind::kBook:
      return TWorkMonitor::Counted(count, "book", "books");
    case RbsKind::kTask:
      break;
  }
  return TWorkMonitor::Counted(count, "task", "tasks");
}

// Counts itself in `count` while it lives.
class CountedScope {
 public:
  explicit CountedScope(int& count) : count_(++count) {}
  ~CountedScope() { --count_; }
  CountedScope(const CountedScope&) = delete;
  CountedScope& operator=(const CountedScope&) = delete;

 private:
  int& count_;
};

}  // namespace

TMainForm::TMainForm(DirClient& client, FormDialogs& dialogs, std::filesystem::path programFile,
                     QWidget* parent)
    : QMainWindow(parent),
      client_(client),
      dialogs_(dialogs),
      programFile_(std::move(programFile)) {
  CreateControls();
  FormCreate();
}

TMainForm::~TMainForm() {
  ReleaseContexts();
}

void TMainForm::RunHandler(const std::function<void()>& handler) {
  client_.DirClientBeginOperation();
  // The categories load that follows the handler belongs to its work.
  const TWorkMonitor::Operation operation(*WorkMonitor);
  // A failure a handler lets through reaches the user as an error box; the window stays usable.
  {
    const CountedScope running(runningHandlers_);
    try {
      handler();
    } catch (const std::exception& failure) {
      dialogs_.ShowError(failure.what());
    }
  }
  // After a stop the load stays due for the next handler: run now it would find nothing and
  // leave the list empty until the page's size changes.
  if (runningHandlers_ == 0 && !WorkMonitor->StopRequested()) {
    LoadCategoriesAfterResize();
  }
}

void TMainForm::RunHandler(void (TMainForm::*handler)()) {
  RunHandler([this, handler] { (this->*handler)(); });
}

QString TMainForm::UserGuideAddress() const {
  const std::filesystem::path guide = ProgramDocument(programFile_, "index.html");
  return QUrl::fromLocalFile(QString::fromStdString(guide.string())).toString(QUrl::FullyEncoded);
}

void TMainForm::FormCreate() {
  PanelInfo->setText(windowTitle());

  const std::filesystem::path infoName =
      std::filesystem::path(FileBesideProgram(programFile_, ".txt")).filename();
  const QString infoFile =
      QString::fromStdString(ProgramDocument(programFile_, infoName.string()).string());
  QFile info(infoFile);
  if (info.open(QIODevice::ReadOnly | QIODevice::Text)) {
    Memo1->setPlainText(QTextStream(&info).readAll());
  } else {
    Memo1->appendPlainText(QStringLiteral("Could not find \"%1\"").arg(infoFile));
  }

  PageControl1->setCurrentWidget(TabSheetStart);

  if (!StartClient("")) {
    return;
  }

  StatusBar->SetSimpleText(UserGuideAddress());
  setWindowTitle(
      QStringLiteral("%1 (%2)").arg(QString::fromLatin1(kTitle), QString::fromLatin1(kVersion)));
  PanelInfo->setText(windowTitle());
}

bool TMainForm::StartClient(const std::string& preferredTree) {
  if (const uint16_t code = InitNetWare(client_, dialogs_); code != 0) {
    ErrorBox(dialogs_, code, "InitNetWare");
    return false;
  }
  ++clientStarts_;
  if (const std::string unopened = DSUnopenedConnectionsText(client_); !unopened.empty()) {
    dialogs_.ShowError(unopened);
  }
  // Told once the window is up, not in the middle of its start.
  QTimer::singleShot(0, this, [this] { ShowClientWarnings(client_, dialogs_); });

  if (!SettingsIni) {
    SettingsIni.emplace(OpenSettingsFile(programFile_));
  }
  static_cast<void>(client_.DirCreateContext(BrowseCtx));
  static_cast<void>(client_.DirCreateContext(SearchCtx));
  contextsCreated_ = true;

  try {
    TStringList trees;
    DSGetTreeNames(client_, trees);
    for (const TStringList::Entry& tree : trees) {
      ComboBoxTrees->addItem(QString::fromStdString(tree.text));
    }
    // The combo box picks its first entry by itself; the window chooses below.
    ComboBoxTrees->setCurrentIndex(-1);
    if (!trees.Empty()) {
      const std::string defaultTree = DSGetDefaultTree(client_);
      CurrentTree = preferredTree.empty()
                        ? SettingsIni->ReadString("Context", "Default", defaultTree)
                        : preferredTree;
      ComboBoxTrees->setCurrentIndex(TExportRun::TreeIndex(trees, CurrentTree, defaultTree));
      ChangeTree();
    }
  } catch (...) {
    // Start-up goes on with whatever the tree list holds.
  }
  return true;
}

void TMainForm::ConnectionsClick() {
  auto* dialog = new TConnectionsDialog(client_.DirClientConnectionsFile(), this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::finished, this, [this, dialog] {
    if (dialog->Changed()) {
      RunHandler(&TMainForm::RestartClient);
    }
  });
  dialog->open();
}

void TMainForm::RestartClient() {
  SaveTreeAndCtx();
  const std::string shownTree = CurrentTree;
  ReleaseContexts();
  CurrentTree.clear();
  CurrentCtx.clear();
  ComboBoxTrees->clear();
  ListBoxContainers->clear();
  ListBoxObjects->clear();
  EditMyName->clear();
  EditCurrentContainer->clear();
  // A connection the dialog did not change logs in again as before, without asking.
  client_.DirClientShutdownKeepingLogins();
  static_cast<void>(StartClient(shownTree));
}

void TMainForm::FormShow() {
  Placement->Begin();
  if (SettingsIni) {
    RestoreFormGeometry(*SettingsIni, "Settings", *Placement);
    XmlPath = SettingsIni->ReadString("Settings", "Xml Path", "");
  } else {
    XmlPath.clear();
  }
  Placement->Apply();
  LabelCurrentXml->setText(QString::fromStdString(XmlPath));
}

void TMainForm::FormClose() {
  if (!SettingsIni) {
    return;
  }
  try {
    SaveTreeAndCtx();
    // An offline start knows no tree; the one remembered from the last session must survive it.
    if (!CurrentTree.empty()) {
      SettingsIni->WriteString("Context", "Default", CurrentTree);
    }
    SettingsIni->WriteString("Settings", "Ini Path", "");
    SettingsIni->WriteString("Settings", "Xml Path", XmlPath);
    SaveFormGeometry(*SettingsIni, "Settings", *Placement);
  } catch (...) {
    // Closing is never refused, whatever the settings folder says.
  }
  ReleaseContexts();
}

void TMainForm::ReleaseContexts() {
  if (!contextsCreated_) {
    return;
  }
  contextsCreated_ = false;
  static_cast<void>(client_.DirFreeContext(BrowseCtx));
  static_cast<void>(client_.DirFreeContext(SearchCtx));
}

void TMainForm::Panel4Resize() {
  for (QLineEdit* edit : {EditMyName, EditCurrentContainer}) {
    edit->resize(Panel4->width() - edit->x() - 10, edit->height());
  }
}

void TMainForm::StatusBarClick() {
  const std::string address = UserGuideAddress().toStdString();
  // Without a browser the desktop's opener only writes a line on the terminal, which the user of
  // a window does not see.
  if (OpenDocument(address) <= 32) {
    dialogs_.ShowError("The user guide could not be opened: no program to show " + address +
                       " was found. Install a web browser, or open the address in one.");
  }
}

void TMainForm::ChangeTree() {
  // A refused settings write throws here, before either context moves: the tree being left keeps
  // its contexts and CurrentTree, and the handler's caller reports "Unable to write to ...".
  SaveTreeAndCtx();
  const std::string tree = ComboBoxTrees->currentText().toStdString();
  if (tree.empty()) {
    return;
  }
  static_cast<void>(export_.EnterTree(BrowseCtx, tree));
  ErrorBox(dialogs_, export_.EnterTree(SearchCtx, tree), "DSChangeCurrentTree");
  CurrentTree = tree;
  static_cast<void>(DSSetRootContext(client_, SearchCtx));
  ReadTreeAndCtx();
  GetContainerInfo();
}

void TMainForm::SaveTreeAndCtx() {
  if (SettingsIni && !CurrentTree.empty() && !CurrentCtx.empty()) {
    SettingsIni->WriteString("Context", TreeSettingsKey(CurrentTree), CurrentCtx);
  }
}

void TMainForm::ReadTreeAndCtx() {
  const std::string fallback = DSGetNameContext(client_, BrowseCtx);
  CurrentCtx = SettingsIni
                   ? SettingsIni->ReadString("Context", TreeSettingsKey(CurrentTree), fallback)
                   : fallback;
  static_cast<void>(DSSetNameContext(client_, BrowseCtx, CurrentCtx));
}

namespace {

// Replaces the lines of `list` with `lines` in one pass; a listing of 100,000 entries would
// otherwise relayout the view once per line.
void ShowLines(QListWidget* list, const TStringList& lines, bool parentLineFirst) {
  QStringList texts;
  texts.reserve(lines.Count() + 1);
  if (parentLineFirst) {
    texts.append(QString::fromLatin1(kParentLine.data(), kParentLine.size()));
  }
  for (const TStringList::Entry& line : lines) {
    texts.append(QString::fromStdString(line.text));
  }
  list->setUpdatesEnabled(false);
  list->clear();
  list->addItems(texts);
  list->setUpdatesEnabled(true);
}

}  // namespace

void TMainForm::GetContainerInfo() {
  const BusyCursorScope busy;
  EditCurrentContainer->setText(
      QString::fromStdString(MakeFullName(DSGetNameContext(client_, BrowseCtx))));
  // The user's complete name, the same wherever the browsing stands: SearchCtx names from the
  // tree root (BrowseCtx would name the user relative to the container shown).
  EditMyName->setText(QString::fromStdString(MakeFullName(DSWhoAmI(client_, SearchCtx))));
  const std::string container = EditCurrentContainer->text().toStdString();
  CurrentCtx = container;
  ListBoxContainers->clear();
  ListBoxObjects->clear();
  WorkMonitor->SetActivity(QStringLiteral("Listing %1").arg(EditCurrentContainer->text()));
  // A stopped listing shows the entries read before the stop. The listing lets window messages run,
  // so the lists are filled from its result afterwards; the view's own sorting is not used because
  // it would order by letter case.
  TStringList containers(true);
  TStringList objects(true);
  DSListContainer(client_, BrowseCtx, container, &containers, &objects, "", true);
  ShowLines(ListBoxContainers, containers, container != kRootName);
  ShowLines(ListBoxObjects, objects, false);
  WorkMonitor->SetOutcome(
      QStringLiteral("Listing %1: %2 and %3")
          .arg(EditCurrentContainer->text(),
               TWorkMonitor::Counted(containers.Count(), "container", "containers"),
               TWorkMonitor::Counted(objects.Count(), "object", "objects")));
}

void TMainForm::ListBoxContainersDblClick() {
  const QListWidgetItem* picked = ListBoxContainers->currentItem();
  if (picked == nullptr || !picked->isSelected()) {
    return;
  }
  // The line is one of the container the lists show, whatever has been typed into the field
  // meanwhile: composed with a typed name, it would lead to a container that does not exist.
  const std::string next = NavigateContext(MakeFullName(DSGetNameContext(client_, BrowseCtx)),
                                           picked->text().toStdString());
  static_cast<void>(DSSetNameContext(client_, BrowseCtx, next));
  GetContainerInfo();
}

void TMainForm::EditCurrentContainerEnter() {
  const std::string typed = EditCurrentContainer->text().trimmed().toStdString();
  if (typed.empty()) {
    return;
  }
  // Only a name that can be listed is gone to: any other would show empty lists under a name
  // that stands for nothing.
  TNDSObj probe;
  if (const int32_t code = DSListFirst(client_, BrowseCtx, typed, probe); code != 0 && code != -1) {
    dialogs_.ShowError("Cannot show the container " + typed + ": " + NWErrorText(client_, code));
    return;
  }
  static_cast<void>(DSSetNameContext(client_, BrowseCtx, typed));
  GetContainerInfo();
}

void TMainForm::GoToParentContainer() {
  const std::string shown = MakeFullName(DSGetNameContext(client_, BrowseCtx));
  if (shown == kRootName) {
    return;
  }
  static_cast<void>(DSSetNameContext(client_, BrowseCtx, NavigateContext(shown, kParentLine)));
  GetContainerInfo();
}

void TMainForm::ListBoxObjectsClick() {
  CurrentCtx = EditCurrentContainer->text().toStdString();
}

TItemListModel& TMainForm::ItemsOf(QListView* list) const {
  return *static_cast<TItemListModel*>(list->model());
}

void TMainForm::TabSheetExpShow() {
  // The categories follow in a handler of their own, an operation that would not take theirs.
  static constexpr RbsKind kShownKinds[] = {RbsKind::kModule, RbsKind::kRole, RbsKind::kBook,
                                            RbsKind::kTask};
  export_.LoadAhead(SearchCtx, CurrentCtx, kShownKinds);
  ModulesLoad();
  RolesLoad();
  BooksLoad();
  TasksLoad();
  PageControlExp->setCurrentWidget(TabSheetExpModules);
  // Loaded after this handler like a resize's load, so that a first opening, which resizes the
  // page too, searches once.
  if (categoriesLoadedFor_ != CurrentCategoriesSource()) {
    categoriesLoadDue_ = true;
  }
}

TMainForm::CategoriesSource TMainForm::CurrentCategoriesSource() const {
  return {CurrentTree, CurrentCtx, clientStarts_};
}

void TMainForm::CategoriesPageResized() {
  // Not loaded inside the resize event: the search lets window messages run, the page's real
  // layout would then happen nested in its own first resize, and the anchored list would keep
  // the 0x0 it was given for the page's size before it was laid out.
  categoriesLoadDue_ = true;
  if (runningHandlers_ == 0) {
    QTimer::singleShot(0, this, [this] {
      if (runningHandlers_ == 0) {
        LoadCategoriesAfterResize();
      }
    });
  }
  // Inside a handler (a resize while another list fills) the load follows that handler.
}

void TMainForm::LoadCategoriesAfterResize() {
  if (!categoriesLoadDue_) {
    return;
  }
  categoriesLoadDue_ = false;
  // A page resized and back again before the load could run keeps its list and marks.
  if (TabSheetExpCat->size() == categoriesLoadedSize_ &&
      categoriesLoadedFor_ == CurrentCategoriesSource()) {
    return;
  }
  categoriesLoadedSize_ = TabSheetExpCat->size();
  RunHandler(&TMainForm::CategoriesLoad);
}

void TMainForm::CategoriesLoad() {
  categoriesLoadedFor_ = CurrentCategoriesSource();
  ItemsLoad(RbsKind::kCategory);
}
void TMainForm::ModulesLoad() {
  ItemsLoad(RbsKind::kModule);
}
void TMainForm::RolesLoad() {
  ItemsLoad(RbsKind::kRole);
}
void TMainForm::BooksLoad() {
  ItemsLoad(RbsKind::kBook);
}
void TMainForm::TasksLoad() {
  ItemsLoad(RbsKind::kTask);
}

QListView* TMainForm::ListOf(RbsKind kind) const {
  switch (kind) {
    case RbsKind::kModule:
      return CheckListBoxModules;
    case RbsKind::kCategory:
      return CheckListBoxCat;
    case RbsKind::kRole:
      return CheckListBoxRoles;
    case RbsKind::kBook:
      return CheckListBoxBooks;
    case RbsKind::kTask:
      break;
  }
  return CheckListBoxTasks;
}

RbsKind TMainForm::KindOf(const QListView* list) const {
  for (const RbsKind kind : kRbsKinds) {
    if (ListOf(kind) == list) {
      return kind;
    }
  }
  return RbsKind::kTask;
}

const TItemList& TMainForm::ModelLists::Of(RbsKind kind) const {
  return form_.ItemsOf(form_.ListOf(kind)).Items();
}

void TMainForm::ModelLists::Fill(RbsKind kind, const std::function<void(TItemList&)>& edit) {
  form_.ItemsOf(form_.ListOf(kind)).Fill(edit);
}

void TMainForm::ModelLists::Mark(RbsKind kind, const std::function<void(TItemList&)>& mark) {
  form_.ItemsOf(form_.ListOf(kind)).Mark(mark);
}

std::vector<int> TMainForm::ModelLists::MarkDependents(RbsKind kind, const TStringList& values) {
  return form_.ItemsOf(form_.ListOf(kind)).MarkDependents(values);
}

void TMainForm::ItemsLoad(RbsKind kind) {
  WorkMonitor->SetActivity(
      QStringLiteral("Searching below %1").arg(QString::fromStdString(CurrentCtx)));
  // A stopped search shows what it found; the searches after it in the same handler find nothing.
  static_cast<void>(export_.Load(SearchCtx, CurrentCtx, kind));
  if (const std::optional<std::string> failure = export_.TakeUnreportedListFailure()) {
    dialogs_.ShowError(*failure + ". The lists show what could be read.");
  }
  // Every list, so that the searches of one handler end in one text whichever ran last.
  QStringList counts;
  for (const RbsKind kind : kRbsKinds) {
    counts << KindCount(kind, ItemsOf(ListOf(kind)).Items().Count());
  }
  WorkMonitor->SetOutcome(QStringLiteral("Searching below %1: %2")
                              .arg(QString::fromStdString(CurrentCtx), counts.join(u", ")));
}

void TMainForm::PopupCheckAllClick() {
  if (popupList_ != nullptr) {
    export_.CheckAll(KindOf(popupList_));
  }
}

void TMainForm::PopupUncheckAllClick() {
  if (popupList_ != nullptr) {
    export_.UncheckAll(KindOf(popupList_));
  }
}

void TMainForm::EditMatchChange(QLineEdit* sender) {
  const BusyCursorScope busy;
  const RbsKind kind = sender == EditModulesMatch ? RbsKind::kModule
                       : sender == Edit1          ? RbsKind::kCategory
                       : sender == EditRoleMatch  ? RbsKind::kRole
                       : sender == EditBookMatch  ? RbsKind::kBook
                                                  : RbsKind::kTask;
  export_.MarkByText(kind, sender->text().toStdString());
}

void TMainForm::BitBtnCheckDependentBooksClick() {
  const BusyCursorScope busy;
  WorkMonitor->SetActivity(QStringLiteral("Checking dependent books and tasks"));
  const TItemList& books = ItemsOf(CheckListBoxBooks).Items();
  const TItemList& tasks = ItemsOf(CheckListBoxTasks).Items();
  const int booksBefore = books.CheckedCount();
  const int tasksBefore = tasks.CheckedCount();
  export_.CheckDependentBooks(SearchCtx);
  WorkMonitor->SetOutcome(
      QStringLiteral("Check Dependent Books & Tasks: %1 and %2 checked for %3")
          .arg(KindCount(RbsKind::kBook, books.CheckedCount() - booksBefore),
               KindCount(RbsKind::kTask, tasks.CheckedCount() - tasksBefore),
               KindCount(RbsKind::kModule, ItemsOf(CheckListBoxModules).Items().CheckedCount())));
}

void TMainForm::BitBtnCheckDependentTasksClick() {
  const BusyCursorScope busy;
  WorkMonitor->SetActivity(QStringLiteral("Checking dependent tasks"));
  const TItemList& tasks = ItemsOf(CheckListBoxTasks).Items();
  const int tasksBefore = tasks.CheckedCount();
  export_.CheckDependentTasks(SearchCtx);
  WorkMonitor->SetOutcome(
      QStringLiteral("Check Dependent Tasks: %1 checked for %2")
          .arg(KindCount(RbsKind::kTask, tasks.CheckedCount() - tasksBefore),
               KindCount(RbsKind::kRole, ItemsOf(CheckListBoxRoles).Items().CheckedCount())));
}

void TMainForm::TabSheetXmlShow() {
  const BusyCursorScope busy;
  WorkMonitor->SetActivity(QStringLiteral("Building the XML document"));
  TExportDocument document = export_.BuildDocument(SearchCtx);
  // Stopped, the rebuild is dropped whole: the view keeps the document it showed and whether
  // that one may be saved.
  if (document.stopped) {
    return;
  }
  // The view takes the text in pieces with messages let run between them, out of sight until it
  // is whole: a stop meanwhile leaves the page as it was.
  WorkMonitor->SetActivity(QStringLiteral("Showing the XML document"));
  const std::vector<std::string>& lines = document.lines;
  const auto lineCount = static_cast<int64_t>(lines.size());
  std::unique_ptr<QTextDocument> text(NewXmlText(*MemoXml));
  for (size_t from = 0; from < lines.size(); from += kXmlPieceLines) {
    ReportItemsDone(static_cast<int64_t>(from), lineCount, "lines");
    AppendXmlLines(*text, lines, from, std::min(lines.size(), from + kXmlPieceLines));
    if (!ContinueAfterMessages()) {
      return;
    }
  }
  text->setUndoRedoEnabled(true);
  QTextDocument* const shown = MemoXml->document();
  const bool shownIsOurs = shown->parent() == MemoXml;  // else the view deletes it
  MemoXml->setDocument(text.release());
  if (shownIsOurs) {
    delete shown;
  }
  shownTextChanged_ = false;
  shownDocument_ = std::move(document.lines);
  WorkMonitor->SetOutcome(
      QStringLiteral("Building the XML document: %1, %2")
          .arg(
              TWorkMonitor::Counted(document.items, "item", "items"),
              TWorkMonitor::Counted(static_cast<int64_t>(shownDocument_.size()), "line", "lines")));
  unsavableBecause_ = export_.UnsavableBecause(document);
  if (document.lostServer || (unsavableBecause_ && !document.textFault)) {
    dialogs_.ShowError(*unsavableBecause_);
  } else if (unsavableBecause_) {
    dialogs_.ShowError("The document cannot be exported: " + *unsavableBecause_ +
                       ". It shows U+FFFD there and cannot be saved until it is rebuilt.");
  }
}

void TMainForm::BitBtnSaveXmlClick() {
  if (unsavableBecause_) {
    dialogs_.ShowError("Cannot save the document: " + *unsavableBecause_);
    return;
  }
  SaveDialog1.Filter = "XML Files|*.xml|Text Files|*.txt|All Files|*.*";
  SaveDialog1.InitialDir =
      XmlPath.empty() ? std::string() : std::filesystem::path(XmlPath).parent_path().string() + "/";
  SaveDialog1.FileName = std::filesystem::path(XmlPath).filename().string();
  const std::optional<std::string> chosen = dialogs_.ExecuteSave(SaveDialog1);
  if (!chosen) {
    return;
  }
  std::vector<std::string> lines;
  // Changed since it was built, the view may still read as the document it was given; only
  // another reading is an edit.
  QString text;
  if (shownTextChanged_) {
    text = MemoXml->toPlainText();
  }
  if (shownTextChanged_ && text != XmlTextReading(shownDocument_)) {
    if (!text.isEmpty()) {
      for (const QString& line : text.split(u'\n')) {
        lines.push_back(line.toStdString());
      }
    }
  } else {
    lines = shownDocument_;
  }
  XmlPath = *chosen;
  LabelCurrentXml->setText(QString::fromStdString(XmlPath));
  const XmlSaveResult saved = SaveXmlDocument(XmlPath, lines);
  if (saved.closingAppended) {
    MemoXml->appendPlainText(QString());
    MemoXml->appendPlainText(QStringLiteral("</install>"));
  }
  if (saved.error) {
    throw std::runtime_error(*saved.error);
  }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      (watched == ListBoxContainers || watched == ListBoxObjects ||
       watched == EditCurrentContainer)) {
    // Containers from the keyboard: Enter on a container line enters it, as a double-click
    // does; Backspace (not in the field, where it deletes) or Alt+Up goes to the parent.
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const bool up = (key->key() == Qt::Key_Up && key->modifiers() == Qt::AltModifier) ||
                    (key->key() == Qt::Key_Backspace && key->modifiers() == Qt::NoModifier &&
                     watched != EditCurrentContainer);
    if (enter && watched == ListBoxContainers) {
      RunHandler(&TMainForm::ListBoxContainersDblClick);
      return true;
    }
    if (up) {
      RunHandler(&TMainForm::GoToParentContainer);
      return true;
    }
  }
  if (event->type() == QEvent::KeyPress &&
      (watched == MemoXml || qobject_cast<QLineEdit*>(watched) != nullptr)) {
    // Alt with a letter that is no accelerator reaches the text field as a key press, which Qt
    // would type: a mistyped accelerator must not change the text.
    const auto* key = static_cast<const QKeyEvent*>(event);
    if ((key->modifiers() & Qt::AltModifier) != 0 && !key->text().isEmpty()) {
      return true;
    }
  }
  if (watched == Panel4 && event->type() == QEvent::Resize) {
    RunHandler(&TMainForm::Panel4Resize);
  } else if (watched == TabSheetExp && event->type() == QEvent::Show && !event->spontaneous()) {
    // A spontaneous show is the window coming back from minimized, not the tab being chosen:
    // reloading then would throw away the user's marks.
    RunHandler(&TMainForm::TabSheetExpShow);
  } else if (watched == TabSheetExpCat && event->type() == QEvent::Resize) {
    CategoriesPageResized();
  } else if (watched == TabSheetXml && event->type() == QEvent::Show && !event->spontaneous()) {
    // As for the export tab: a restored window must not rebuild the document and lose edits.
    // Built once the page is shown: the tabs do not paint until their switch is over, and the
    // page would stand unpainted for the whole build.
    QTimer::singleShot(0, this, [this] { RunHandler(&TMainForm::TabSheetXmlShow); });
  }
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::setVisible(bool visible) {
  // Before the window system has the window, its position is taken as the frame's corner, which
  // is what the settings keep; a window already shown could only be placed by the window inside
  // a frame whose size the window manager may not have told yet.
  if (visible && !isVisible()) {
    FormShow();
  }
  QMainWindow::setVisible(visible);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}
