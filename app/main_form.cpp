#include "app/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>
#include <stdexcept>

#include "app/anchor_layout.h"
#include "app/connections_dialog.h"
#include "app/d_ini.h"
#include "app/item_list.h"
#include "app/qt_item_list_model.h"
#include "app/window_placement.h"
#include "app/work_monitor.h"
#include "directory/d_nw.h"
#include "directory/d_nw_list.h"
#include "directory/d_nw_read.h"
#include "directory/d_nw_search.h"
#include "util/hooks.h"
#include "util/launcher.h"
#include "util/string_list.h"
#include "util/text.h"
#include "xmlexport/directory_attributes.h"
#include "xmlexport/install_document.h"
#include "xmlexport/xml_save.h"

namespace {

// The size the export and XML pages were laid out for; anchored controls keep their distances
// to the edges of this size.
constexpr QSize kDesignedPageSize{846, 580};

// The designed face, Arial, or where it is missing (as on most Linux machines) the face with its
// widths, so that labels keep clear of the fields beside them at the designed positions.
QFont WindowFont(int pixelSize) {
  QFont font;
  font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
  font.setPixelSize(pixelSize);
  return font;
}

int CheckedCount(const TItemList& items) {
  int checked = 0;
  for (int i = 0; i < items.Count(); ++i) {
    checked += items.Checked(i) ? 1 : 0;
  }
  return checked;
}

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

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace

void TClickableStatusBar::SetSimpleText(const QString& text) {
  if (panel_ == nullptr) {
    panel_ = Named(new QLabel(this), "StatusBarPanel");
    addWidget(panel_, 1);
  }
  panel_->setText(text);
}

QString TClickableStatusBar::SimpleText() const {
  return panel_ == nullptr ? QString() : panel_->text();
}

void TClickableStatusBar::mouseReleaseEvent(QMouseEvent* event) {
  QStatusBar::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit Clicked();
  }
}

TMainForm::TMainForm(FormDialogs& dialogs, std::filesystem::path programFile, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), programFile_(std::move(programFile)) {
  CreateControls();
  FormCreate();
}

TMainForm::~TMainForm() {
  ReleaseContexts();
}

void TMainForm::CreateExportPage(QWidget* page, QLabel*& label, const char* labelName,
                                 QLineEdit*& edit, const char* editName, QListView*& list,
                                 const char* listName) {
  auto* anchors = new TAnchorLayout(page, kDesignedPageSize);
  label = Named(new QLabel(QStringLiteral("Mark Pattern"), page), labelName);
  label->move(16, 20);
  label->adjustSize();
  edit = Named(new QLineEdit(page), editName);
  edit->setGeometry(92, 16, 141, edit->sizeHint().height());
  edit->setToolTip(QStringLiteral("Check Items by pattern match"));
  edit->installEventFilter(this);
  list = Named(new QListView(page), listName);
  list->setUniformItemSizes(true);
  // A line is no taller than its check box: without air between lines the boxes of neighbours
  // would touch and read as one.
  list->setSpacing(1);
  list->setModel(new TItemListModel(list));
  connect(edit, &QLineEdit::textChanged, this,
          [this, edit] { RunHandler([this, edit] { EditMatchChange(edit); }); });
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  anchors->Add(list, QRect(2, 56, 842, 522), TAnchorLayout::Anchors::AllSides);
  connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& at) {
    popupList_ = list;
    PopupMenu1->popup(list->viewport()->mapToGlobal(at));
  });
}

void TMainForm::CreateControls() {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QString::fromLatin1(kResourceCaption));
  // Dialogs, menus and message boxes are windows of their own and take the application's font,
  // not this window's: one face for all of them.
  QApplication::setFont(WindowFont(12));
  setFont(WindowFont(12));
  move(299, 118);
  resize(868, 691);
  Placement = new TWindowPlacement(*this);

  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  setCentralWidget(PageControl1);

  // Info page.
  TabSheetInfo = Named(new QWidget(), "TabSheetInfo");
  PageControl1->addTab(TabSheetInfo, QStringLiteral("&Info"));
  auto* infoLayout = new QVBoxLayout(TabSheetInfo);
  infoLayout->setContentsMargins(0, 0, 0, 0);
  infoLayout->setSpacing(0);
  PanelInfo = Named(new QLabel(TabSheetInfo), "PanelInfo");
  PanelInfo->setFixedHeight(41);
  PanelInfo->setAlignment(Qt::AlignCenter);
  QFont infoFont = WindowFont(19);
  infoFont.setBold(true);
  PanelInfo->setFont(infoFont);
  infoLayout->addWidget(PanelInfo);
  Memo1 = Named(new QPlainTextEdit(TabSheetInfo), "Memo1");
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  infoLayout->addWidget(Memo1);

  // Start page: tree, user and container above, the two lists below.
  TabSheetStart = Named(new QWidget(), "TabSheetStart");
  PageControl1->addTab(TabSheetStart, QStringLiteral("Select Start &Container"));
  auto* startLayout = new QVBoxLayout(TabSheetStart);
  startLayout->setContentsMargins(0, 0, 0, 0);
  startLayout->setSpacing(0);
  Panel4 = Named(new QFrame(TabSheetStart), "Panel4");
  Panel4->setFixedHeight(73);
  Panel4->installEventFilter(this);
  startLayout->addWidget(Panel4);
  ComboBoxTrees = Named(new QComboBox(Panel4), "ComboBoxTrees");
  ComboBoxTrees->setEditable(false);
  ComboBoxTrees->setGeometry(8, 8, 273, ComboBoxTrees->sizeHint().height());
  ComboBoxTrees->setToolTip(QStringLiteral("Select Current Tree"));
  EditMyName = Named(new QLineEdit(Panel4), "EditMyName");
  EditMyName->setReadOnly(true);
  EditMyName->setGeometry(288, 8, 257, EditMyName->sizeHint().height());
  EditCurrentContainer = Named(new QLineEdit(Panel4), "EditCurrentContainer");
  EditCurrentContainer->setGeometry(8, 40, 537, EditCurrentContainer->sizeHint().height());
  EditCurrentContainer->installEventFilter(this);
  Panel3 = Named(new QWidget(TabSheetStart), "Panel3");
  startLayout->addWidget(Panel3, 1);
  auto* listsLayout = new QHBoxLayout(Panel3);
  listsLayout->setContentsMargins(0, 0, 0, 0);
  Splitter1 = Named(new QSplitter(Qt::Horizontal, Panel3), "Splitter1");
  Splitter1->setHandleWidth(3);
  Splitter1->setChildrenCollapsible(false);
  listsLayout->addWidget(Splitter1);
  ListBoxContainers = Named(new QListWidget(), "ListBoxContainers");
  ListBoxContainers->setToolTip(QStringLiteral("Containers - Double-click to change"));
  ListBoxObjects = Named(new QListWidget(), "ListBoxObjects");
  ListBoxObjects->setToolTip(QStringLiteral("Objects in selected container"));
  // One-line texts all: the views need not measure each of a large container's lines.
  ListBoxContainers->setUniformItemSizes(true);
  ListBoxObjects->setUniformItemSizes(true);
  Splitter1->addWidget(ListBoxContainers);
  Splitter1->addWidget(ListBoxObjects);
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({248, 600});
  // The client's connections, in the row of the tabs, so that no control of the Start tab moves.
  ButtonConnections =
      Named(new QPushButton(QStringLiteral("C&onnections..."), PageControl1), "ButtonConnections");
  ButtonConnections->setToolTip(
      QStringLiteral("Add, edit, remove and test the directory connections"));
  PageControl1->setCornerWidget(ButtonConnections, Qt::TopRightCorner);

  // Export page with its six inner pages.
  TabSheetExp = Named(new QWidget(), "TabSheetExp");
  PageControl1->addTab(TabSheetExp, QStringLiteral("&Export from RBS"));
  TabSheetExp->installEventFilter(this);
  auto* exportLayout = new QVBoxLayout(TabSheetExp);
  exportLayout->setContentsMargins(0, 0, 0, 0);
  PageControlExp = Named(new QTabWidget(TabSheetExp), "PageControlExp");
  exportLayout->addWidget(PageControlExp);
  TabSheetExpModules = Named(new QWidget(), "TabSheetExpModules");
  TabSheetExpCat = Named(new QWidget(), "TabSheetExpCat");
  TabSheetExpRoles = Named(new QWidget(), "TabSheetExpRoles");
  TabSheetExpBooks = Named(new QWidget(), "TabSheetExpBooks");
  TabSheetExportTasks = Named(new QWidget(), "TabSheetExportTasks");
  TabSheetXml = Named(new QWidget(), "TabSheetXml");
  PageControlExp->addTab(TabSheetExpModules, QStringLiteral("Export &Modules"));
  PageControlExp->addTab(TabSheetExpCat, QStringLiteral("Export &Categories"));
  PageControlExp->addTab(TabSheetExpRoles, QStringLiteral("Export &Roles"));
  PageControlExp->addTab(TabSheetExpBooks, QStringLiteral("Export &Books"));
  PageControlExp->addTab(TabSheetExportTasks, QStringLiteral("Export &Tasks"));
  PageControlExp->addTab(TabSheetXml, QStringLiteral("&XML Data"));
  TabSheetExpCat->installEventFilter(this);
  TabSheetXml->installEventFilter(this);

  CreateExportPage(TabSheetExpModules, Label6, "Label6", EditModulesMatch, "EditModulesMatch",
                   CheckListBoxModules, "CheckListBoxModules");
  CreateExportPage(TabSheetExpCat, Label3, "Label3", Edit1, "Edit1", CheckListBoxCat,
                   "CheckListBoxCat");
  CreateExportPage(TabSheetExpRoles, Label2, "Label2", EditRoleMatch, "EditRoleMatch",
                   CheckListBoxRoles, "CheckListBoxRoles");
  CreateExportPage(TabSheetExpBooks, Label1, "Label1", EditBookMatch, "EditBookMatch",
                   CheckListBoxBooks, "CheckListBoxBooks");
  CreateExportPage(TabSheetExportTasks, Label5, "Label5", EditTaskMatch, "EditTaskMatch",
                   CheckListBoxTasks, "CheckListBoxTasks");
  const QString dependentCaption = QStringLiteral("Check &Dependent Books && Tasks");
  BitBtnCheckDependentBooks =
      Named(new QPushButton(dependentCaption, TabSheetExpModules), "BitBtnCheckDependentBooks");
  BitBtnCheckDependentBooks->setGeometry(280, 16, 213, 25);
  BitBtnCheckDependentTasks =
      Named(new QPushButton(dependentCaption, TabSheetExpRoles), "BitBtnCheckDependentTasks");
  BitBtnCheckDependentTasks->setGeometry(252, 16, 213, 25);

  auto* xmlAnchors = new TAnchorLayout(TabSheetXml, kDesignedPageSize);
  MemoXml = Named(new QPlainTextEdit(TabSheetXml), "MemoXml");
  MemoXml->setLineWrapMode(QPlainTextEdit::NoWrap);
  MemoXml->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoXml->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Parameter lines are indented with tabs, the others with five spaces: a tab of eight
  // characters keeps them in one column instead of Qt's 80 pixels.
  MemoXml->setTabStopDistance(8 * QFontMetricsF(MemoXml->font()).horizontalAdvance(u' '));
  MemoXml->installEventFilter(this);
  xmlAnchors->Add(MemoXml, QRect(1, 4, 843, 529), TAnchorLayout::Anchors::AllSides);
  BitBtnSaveXml =
      Named(new QPushButton(QStringLiteral("Save XML ..."), TabSheetXml), "BitBtnSaveXml");
  BitBtnSaveXml->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  xmlAnchors->Add(BitBtnSaveXml, QRect(8, 545, 121, 25), TAnchorLayout::Anchors::LeftBottom);
  LabelCurrentXml = Named(new QLabel(TabSheetXml), "LabelCurrentXml");
  // A long path runs to the page's right edge, as far as the view above it.
  xmlAnchors->Add(LabelCurrentXml, QRect(204, 547, 640, 21),
                  TAnchorLayout::Anchors::LeftRightBottom);
  // The categories page is the one designed in front: it is laid out (and so loaded) first.
  PageControlExp->setCurrentWidget(TabSheetExpCat);

  StatusBar = Named(new TClickableStatusBar(this), "StatusBar");
  StatusBar->setFixedHeight(19);
  StatusBar->setSizeGripEnabled(false);
  StatusBar->setCursor(Qt::PointingHandCursor);
  setStatusBar(StatusBar);
  WorkMonitor = new TWorkMonitor(*StatusBar);

  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  PopupCheckAll = Named(PopupMenu1->addAction(QStringLiteral("&Check All")), "PopupCheckAll");
  PopupUncheckAll = Named(PopupMenu1->addAction(QStringLiteral("&Uncheck All")), "PopupUncheckAll");

  PageControl1->setCurrentWidget(TabSheetInfo);
  // "Select Start &Container" and "Export &Categories" share Alt+C. Qt hands a shared shortcut
  // to its owners in turn, in the order they took it; the outer tab taking it first would hide
  // the inner one at the first press. Taken again now, the outer tabs come after the inner ones:
  // on the export tab Alt+C goes to the categories page, pressed again to the Start tab.
  for (int i = 0; i < PageControl1->count(); ++i) {
    PageControl1->setTabText(i, PageControl1->tabText(i));
  }

  // Events.
  const auto run = [this](void (TMainForm::*handler)()) {
    return [this, handler] { RunHandler(handler); };
  };
  connect(ComboBoxTrees, &QComboBox::activated, this, run(&TMainForm::ChangeTree));
  connect(ButtonConnections, &QPushButton::clicked, this, run(&TMainForm::ConnectionsClick));
  connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
    ButtonConnections->setVisible(PageControl1->currentWidget() == TabSheetStart);
  });
  connect(ListBoxContainers, &QListWidget::itemDoubleClicked, this,
          run(&TMainForm::ListBoxContainersDblClick));
  connect(ListBoxObjects, &QListWidget::itemClicked, this, run(&TMainForm::ListBoxObjectsClick));
  connect(EditCurrentContainer, &QLineEdit::returnPressed, this,
          run(&TMainForm::EditCurrentContainerEnter));
  ListBoxContainers->installEventFilter(this);
  ListBoxObjects->installEventFilter(this);
  EditCurrentContainer->installEventFilter(this);
  // A line chosen with the keyboard counts as a clicked one. Selection, not the current line:
  // the view makes its first line current, unselected, when it merely receives the focus.
  connect(ListBoxObjects, &QListWidget::itemSelectionChanged, this, [this] {
    if (!ListBoxObjects->selectedItems().isEmpty()) {
      RunHandler(&TMainForm::ListBoxObjectsClick);
    }
  });
  connect(StatusBar, &TClickableStatusBar::Clicked, this, run(&TMainForm::StatusBarClick));
  connect(BitBtnSaveXml, &QPushButton::clicked, this, run(&TMainForm::BitBtnSaveXmlClick));
  connect(BitBtnCheckDependentBooks, &QPushButton::clicked, this,
          run(&TMainForm::BitBtnCheckDependentBooksClick));
  connect(BitBtnCheckDependentTasks, &QPushButton::clicked, this,
          run(&TMainForm::BitBtnCheckDependentTasksClick));
  connect(PopupCheckAll, &QAction::triggered, this, run(&TMainForm::PopupCheckAllClick));
  connect(PopupUncheckAll, &QAction::triggered, this, run(&TMainForm::PopupUncheckAllClick));
}

void TMainForm::RunHandler(const std::function<void()>& handler) {
  DirClientBeginOperation();
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
  if (const uint16_t code = InitNetWare(dialogs_); code != 0) {
    ErrorBox(dialogs_, code, "InitNetWare");
    return false;
  }
  if (const std::string unopened = DSUnopenedConnectionsText(); !unopened.empty()) {
    dialogs_.ShowError(unopened);
  }
  // Told once the window is up, not in the middle of its start.
  QTimer::singleShot(0, this, [this] { ShowClientWarnings(dialogs_); });

  if (!SettingsIni) {
    SettingsIni.emplace(OpenSettingsFile(programFile_));
  }
  static_cast<void>(DirCreateContext(BrowseCtx));
  static_cast<void>(DirCreateContext(SearchCtx));
  contextsCreated_ = true;

  try {
    TStringList trees;
    DSGetTreeNames(trees);
    for (const TStringList::Entry& tree : trees) {
      ComboBoxTrees->addItem(QString::fromStdString(tree.text));
    }
    // The combo box picks its first entry by itself; the window chooses below.
    ComboBoxTrees->setCurrentIndex(-1);
    if (!trees.Empty()) {
      const std::string defaultTree = DSGetDefaultTree();
      CurrentTree = preferredTree.empty()
                        ? SettingsIni->ReadString("Context", "Default", defaultTree)
                        : preferredTree;
      int chosen = -1;
      for (int i = 0; i < trees.Count() && chosen < 0; ++i) {
        if (SameTextAscii(trees.Text(i), CurrentTree)) {
          chosen = i;
        }
      }
      for (int i = 0; i < trees.Count() && chosen < 0; ++i) {
        if (SameTextAscii(trees.Text(i), defaultTree)) {
          chosen = i;
        }
      }
      ComboBoxTrees->setCurrentIndex(chosen);
      ChangeTree();
    }
  } catch (...) {
    // Start-up goes on with whatever the tree list holds.
  }
  return true;
}

void TMainForm::ConnectionsClick() {
  auto* dialog = new TConnectionsDialog(DirClientConnectionsFile(), this);
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
  DirClientShutdownKeepingLogins();
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
  static_cast<void>(DirFreeContext(BrowseCtx));
  static_cast<void>(DirFreeContext(SearchCtx));
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
  static_cast<void>(DSChangeCurrentTree(BrowseCtx, tree));
  ErrorBox(dialogs_, DSChangeCurrentTree(SearchCtx, tree), "DSChangeCurrentTree");
  CurrentTree = tree;
  DSModifyContextFlags(BrowseCtx, '+', kDirFlagTypeless);
  DSModifyContextFlags(SearchCtx, '+', kDirFlagTypeless);
  static_cast<void>(DSSetRootContext(SearchCtx));
  ReadTreeAndCtx();
  GetContainerInfo();
}

void TMainForm::SaveTreeAndCtx() {
  if (SettingsIni && !CurrentTree.empty() && !CurrentCtx.empty()) {
    SettingsIni->WriteString("Context", TreeSettingsKey(CurrentTree), CurrentCtx);
  }
}

void TMainForm::ReadTreeAndCtx() {
  const std::string fallback = DSGetNameContext(BrowseCtx);
  CurrentCtx = SettingsIni
                   ? SettingsIni->ReadString("Context", TreeSettingsKey(CurrentTree), fallback)
                   : fallback;
  static_cast<void>(DSSetNameContext(BrowseCtx, CurrentCtx));
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
  EditCurrentContainer->setText(QString::fromStdString(MakeFullName(DSGetNameContext(BrowseCtx))));
  // The user's complete name, the same wherever the browsing stands: SearchCtx names from the
  // tree root (BrowseCtx would name the user relative to the container shown).
  EditMyName->setText(QString::fromStdString(MakeFullName(DSWhoAmI(SearchCtx))));
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
  DSListContainer(BrowseCtx, container, &containers, &objects, "", true);
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
  const std::string next =
      NavigateContext(MakeFullName(DSGetNameContext(BrowseCtx)), picked->text().toStdString());
  static_cast<void>(DSSetNameContext(BrowseCtx, next));
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
  if (const int32_t code = DSListFirst(BrowseCtx, typed, probe); code != 0 && code != -1) {
    dialogs_.ShowError("Cannot show the container " + typed + ": " + NWErrorText(code));
    return;
  }
  static_cast<void>(DSSetNameContext(BrowseCtx, typed));
  GetContainerInfo();
}

void TMainForm::GoToParentContainer() {
  const std::string shown = MakeFullName(DSGetNameContext(BrowseCtx));
  if (shown == kRootName) {
    return;
  }
  static_cast<void>(DSSetNameContext(BrowseCtx, NavigateContext(shown, kParentLine)));
  GetContainerInfo();
}

void TMainForm::ListBoxObjectsClick() {
  CurrentCtx = EditCurrentContainer->text().toStdString();
}

TItemListModel& TMainForm::ItemsOf(QListView* list) const {
  return *static_cast<TItemListModel*>(list->model());
}

void TMainForm::TabSheetExpShow() {
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
  return {CurrentTree, CurrentCtx, DirClientGeneration()};
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
  ItemsLoad(CheckListBoxCat, std::string(RbsKindFilter(RbsKind::kCategory)));
}
void TMainForm::ModulesLoad() {
  ItemsLoad(CheckListBoxModules, std::string(RbsKindFilter(RbsKind::kModule)));
}
void TMainForm::RolesLoad() {
  ItemsLoad(CheckListBoxRoles, std::string(RbsKindFilter(RbsKind::kRole)));
}
void TMainForm::BooksLoad() {
  ItemsLoad(CheckListBoxBooks, std::string(RbsKindFilter(RbsKind::kBook)));
}
void TMainForm::TasksLoad() {
  ItemsLoad(CheckListBoxTasks, std::string(RbsKindFilter(RbsKind::kTask)));
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

void TMainForm::ItemsLoad(QListView* list, const std::string& filter) {
  // The old lines go before the search starts: it lets window messages run, and a handler run
  // meanwhile must not mark names of the previous container.
  ItemsOf(list).Fill([](TItemList& items) { items.Clear(); });
  WorkMonitor->SetActivity(
      QStringLiteral("Searching below %1").arg(QString::fromStdString(CurrentCtx)));
  // A stopped search shows what it found; the searches after it in the same handler find nothing.
  TStringList found;
  static_cast<void>(DSSearch(SearchCtx, CurrentCtx, filter, kDirScopeSubtree, found));
  ItemsOf(list).Fill([&found](TItemList& items) { items.SetLines(found); });
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
    ItemsOf(popupList_).Mark([](TItemList& items) { items.CheckAll(); });
  }
}

void TMainForm::PopupUncheckAllClick() {
  if (popupList_ != nullptr) {
    ItemsOf(popupList_).Mark([](TItemList& items) { items.UncheckAll(); });
  }
}

void TMainForm::EditMatchChange(QLineEdit* sender) {
  const BusyCursorScope busy;
  QListView* list = sender == EditModulesMatch ? CheckListBoxModules
                    : sender == Edit1          ? CheckListBoxCat
                    : sender == EditRoleMatch  ? CheckListBoxRoles
                    : sender == EditBookMatch  ? CheckListBoxBooks
                                               : CheckListBoxTasks;
  const std::string text = sender->text().toStdString();
  ItemsOf(list).Mark([&text](TItemList& items) { items.MarkByText(text); });
}

void TMainForm::MarkDependents(const TStringList& values, QListView* list) {
  ItemsOf(list).Mark([&values](TItemList& items) { items.MarkDependents(values); });
}

MarkDependentLines TMainForm::MarkInLists() {
  return [this](RbsKind kind, const TStringList& names) { MarkDependents(names, ListOf(kind)); };
}

void TMainForm::BitBtnCheckDependentBooksClick() {
  const BusyCursorScope busy;
  WorkMonitor->SetActivity(QStringLiteral("Checking dependent books and tasks"));
  const TItemList& books = ItemsOf(CheckListBoxBooks).Items();
  const TItemList& tasks = ItemsOf(CheckListBoxTasks).Items();
  const int booksBefore = CheckedCount(books);
  const int tasksBefore = CheckedCount(tasks);
  CheckDependentBooks(SearchCtx, ItemsOf(CheckListBoxModules).Items(), MarkInLists());
  WorkMonitor->SetOutcome(
      QStringLiteral("Check Dependent Books & Tasks: %1 and %2 checked for %3")
          .arg(KindCount(RbsKind::kBook, CheckedCount(books) - booksBefore),
               KindCount(RbsKind::kTask, CheckedCount(tasks) - tasksBefore),
               KindCount(RbsKind::kModule, CheckedCount(ItemsOf(CheckListBoxModules).Items()))));
}

void TMainForm::BitBtnCheckDependentTasksClick() {
  const BusyCursorScope busy;
  WorkMonitor->SetActivity(QStringLiteral("Checking dependent tasks"));
  const TItemList& tasks = ItemsOf(CheckListBoxTasks).Items();
  const int tasksBefore = CheckedCount(tasks);
  CheckDependentTasks(SearchCtx, ItemsOf(CheckListBoxRoles).Items(), MarkInLists());
  WorkMonitor->SetOutcome(
      QStringLiteral("Check Dependent Tasks: %1 checked for %2")
          .arg(KindCount(RbsKind::kTask, CheckedCount(tasks) - tasksBefore),
               KindCount(RbsKind::kRole, CheckedCount(ItemsOf(CheckListBoxRoles).Items()))));
}

void TMainForm::TabSheetXmlShow() {
  const BusyCursorScope busy;
  const XmlCheckedItems items = CheckedItemsOf(
      [this](RbsKind kind) -> const TItemList& { return ItemsOf(ListOf(kind)).Items(); });
  const DirectoryAttributeSource source(SearchCtx);
  XmlDocumentLines document;
  XmlInstallWriter writer(source, document);
  WorkMonitor->SetActivity(QStringLiteral("Building the XML document"));
  writer.WriteDocument(items);
  // Stopped, the rebuild is dropped whole: the view keeps the document it showed and whether
  // that one may be saved.
  if (writer.Stopped()) {
    return;
  }
  shownDocument_ = document.TakeLines();
  WorkMonitor->SetOutcome(
      QStringLiteral("Building the XML document: %1, %2")
          .arg(
              TWorkMonitor::Counted(
                  static_cast<int64_t>(items.modules.size() + items.categories.size() +
                                       items.roles.size() + items.books.size() +
                                       items.tasks.size()),
                  "item", "items"),
              TWorkMonitor::Counted(static_cast<int64_t>(shownDocument_.size()), "line", "lines")));
  // The view shows U+FFFD where the value could not go in; that is not the directory's text.
  unsavableBecause_.reset();
  if (const auto& fault = writer.FirstTextFault()) {
    unsavableBecause_ = XmlTextFaultText(*fault);
  }
  // One setPlainText instead of a paragraph per line: a document of ten thousand items would
  // otherwise relayout the view at every line.
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(shownDocument_.size()));
  for (const std::string& line : shownDocument_) {
    lines << QString::fromStdString(line);
  }
  MemoXml->setPlainText(lines.join(u'\n'));
  // The view's own reading of what it was given, so that an unedited view is recognised even
  // where it does not give the text back as it got it.
  shownText_ = MemoXml->toPlainText();
  // The document stops where the server was lost, without its closing lines; saved, it would
  // pass for a whole one.
  if (const auto& lost = source.LostServer()) {
    unsavableBecause_ = "The XML document is incomplete. " + FailedReadText(*lost) +
                        " returned error " + NWErrorText(lost->code);
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
  if (const QString text = MemoXml->toPlainText(); text != shownText_) {
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
    RunHandler(&TMainForm::TabSheetXmlShow);
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
