// TMainForm's controls: their pages, names, positions and anchors, and the signals that run the
// handlers. Kept apart from the handlers, which it only connects.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QFontMetricsF>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/anchor_layout.h"
#include "app/clickable_status_bar.h"
#include "app/main_form.h"
#include "app/qt_item_list_model.h"
#include "app/window_placement.h"
#include "app/work_monitor.h"

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

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace

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
  connect(MemoXml, &QPlainTextEdit::textChanged, this, [this] { shownTextChanged_ = true; });
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
