#include "app/Main.h"

#include "app/About.h"
#include "app/Config.h"
#include "app/Messages.h"
#include "app/Passwords.h"
#include "app/Settings.h"
#include "platform/Convert.h"
#include "platform/Guard.h"
#include "session/ChildWin.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>

TMainForm* MainForm = nullptr;

namespace {

constexpr int SpeedPanelHeight = 53;

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

// A control's hint shows as its tool tip and in the status bar.
template <typename Control> Control* Hinted(Control* control, const char* hint) {
  control->setToolTip(hint);
  control->setStatusTip(hint);
  return control;
}

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  // Decode windows and LoadSettings reach this window through these two.
  StartValues = this;
  MainForm = this;

  setWindowTitle("Vostel News Decoder v. beta 0.60");
  resize(549, 371);
  mdiArea = new QMdiArea(this);
  mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(mdiArea);
  connect(mdiArea, &QMdiArea::subWindowActivated, this, Handler(&TMainForm::UpdateMenuItems));

  CreateActions();
  CreateMenus();
  CreateSpeedPanel();
  CreateStatusBar();
  UpdateMenuItems(this);
  LoadSettings(cboHost, cboGroup, lblPath);
  PointToConfig();
  // Read now, so that a decode window finds its password at once.
  Passwords = new TPasswordStore(this);
  Guarded([this] {
    std::vector<std::string> servers;
    for (int i = 0; i < cboHost->count(); ++i)
      servers.push_back(FromQt(cboHost->itemText(i)));
    Passwords->Load(servers);
  });
}

TMainForm::~TMainForm() { FormDestroy(this); }

std::string TMainForm::Server() const { return FromQt(cboHost->currentText()); }
std::string TMainForm::Group() const { return FromQt(cboGroup->currentText()); }
std::string TMainForm::MinLines() const { return FromQt(MinR->text()); }
std::string TMainForm::MaxLines() const { return FromQt(MaxR->text()); }
std::string TMainForm::WaitingLines() const { return FromQt(SkipLine->text()); }
std::string TMainForm::DefaultExt() const { return FromQt(DefE->text()); }
std::string TMainForm::DownloadPath() const { return FromQt(lblPath->text()); }
std::string TMainForm::Password() const { return Passwords->Password(Server()); }
std::string TMainForm::PasswordOf(const std::string& Entry) const { return Passwords->Password(Entry); }

// Every click and menu command enters through the guard.
std::function<void()> TMainForm::Handler(void (TMainForm::*Click)(TObject*)) {
  return [this, Click] { Guarded([this, Click] { (this->*Click)(this); }); };
}

void TMainForm::CreateActions() {
  auto item = [&](const char* text, const char* hint, void (TMainForm::*click)(TObject*)) {
    auto* action = new QAction(text, this);
    action->setStatusTip(hint);
    connect(action, &QAction::triggered, this, Handler(click));
    return action;
  };
  FileOpenItem = item("&Open", "Open an existing file", &TMainForm::FileOpenItemClick);
  FileExitItem = item("E&xit", "Exit the application", &TMainForm::FileExitItemClick);
  WindowCascadeItem = item("&Cascade", "Arrange windows to overlap", &TMainForm::WindowCascadeItemClick);
  WindowTileItem = item("&Tile", "Arrange windows without overlap", &TMainForm::WindowTileItemClick);
  WindowArrangeItem = item("&Arrange Icons", "Arrange window icons at bottom of main window",
                           &TMainForm::WindowArrangeItemClick);
  WindowMinimizeItem = item("&Minimize All", "Minimize all windows", &TMainForm::WindowMinimizeItemClick);
  HelpAboutItem = item("&About", "", &TMainForm::HelpAboutItemClick);
}

void TMainForm::CreateMenus() {
  FileMenu = menuBar()->addMenu("&File");
  FileMenu->menuAction()->setStatusTip("File related commands");
  FileMenu->addAction(FileOpenItem);
  FileMenu->addSeparator();
  FileMenu->addAction(FileExitItem);

  // Rebuilt each time it opens, with the decode windows listed below the
  // commands.
  WindowMenu = menuBar()->addMenu("&Window");
  WindowMenu->menuAction()->setStatusTip("Window related commands such as Tile and Cascade");
  UpdateWindowMenu();
  connect(WindowMenu, &QMenu::aboutToShow, this, &TMainForm::UpdateWindowMenu);

  HelpMenu = menuBar()->addMenu("&Help");
  HelpMenu->menuAction()->setStatusTip("Help topics");
  HelpMenu->addAction(HelpAboutItem);
}

void TMainForm::CreateSpeedPanel() {
  SpeedPanel = new QWidget;
  SpeedPanel->setFixedHeight(SpeedPanelHeight);
  auto* grid = new QGridLayout(SpeedPanel);
  grid->setContentsMargins(2, 1, 2, 1);
  grid->setHorizontalSpacing(4);
  grid->setVerticalSpacing(1);

  auto button = [this](QStyle::StandardPixmap glyph, const char* hint, void (TMainForm::*click)(TObject*)) {
    auto* b = Hinted(new QToolButton(SpeedPanel), hint);
    b->setIcon(style()->standardIcon(glyph));
    b->setAutoRaise(true);
    connect(b, &QToolButton::clicked, this, Handler(click));
    return b;
  };
  OpenBtn = button(QStyle::SP_ArrowDown, "Open a Automatic Decode Window", &TMainForm::FileOpenItemClick);
  ExitBtn = button(QStyle::SP_DialogCloseButton, "Exit from Application", &TMainForm::FileExitItemClick);
  ConfigBtn = button(QStyle::SP_FileDialogDetailedView, "Open Vostel Configuration Window",
                     &TMainForm::ConfigBtnClick);
  cboHost = Hinted(new QComboBox(SpeedPanel), "News Server");
  cboHost->setMinimumContentsLength(18);
  cboGroup = Hinted(new QComboBox(SpeedPanel), "NewsGroups");
  QFont small = cboGroup->font();
  small.setPixelSize(7);
  cboGroup->setFont(small);
  cboGroup->setMinimumContentsLength(24);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(0);
  for (QToolButton* b : {OpenBtn, ExitBtn, ConfigBtn})
    buttons->addWidget(b);
  grid->addLayout(buttons, 0, 0, 1, 2);
  grid->addWidget(cboHost, 0, 2, 1, 3);
  grid->addWidget(cboGroup, 0, 5, 1, 3);

  int column = 0;
  auto field = [&](const char* label, const char* text, const char* hint, int width) {
    auto* edit = Hinted(new QLineEdit(text, SpeedPanel), hint);
    edit->setFixedWidth(width);
    auto* caption = new QLabel(label, SpeedPanel);
    caption->setBuddy(edit);
    grid->addWidget(caption, 1, column++);
    grid->addWidget(edit, 1, column++);
    return edit;
  };
  MinR = field("Min Lines :", "200", "Set Minimum Line for Begin Download", 56);
  MaxR = field("Max Lines :", "1000", "Set Maximum Line for Begin Download", 56);
  DefE = field("Def. Ext. :", "mod", "Default Extension for MIME files without filename", 44);
  lblPath = Hinted(new QLabel("Path :", SpeedPanel), "Download Path");
  // A long path is cut at the window's edge rather than widening it.
  lblPath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  grid->addWidget(lblPath, 1, column, 1, 2);
  SkipLine = Hinted(new QLineEdit("0", SpeedPanel), "Skip Download if no Data Found after specified lines");
  SkipLine->hide();
  grid->setColumnStretch(7, 1);

  auto* bar = addToolBar("Speed Panel");
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->toggleViewAction()->setVisible(false);
  bar->addWidget(SpeedPanel);
}

void TMainForm::CreateStatusBar() {
  StatusBar = statusBar();
  StatusBar->setSizeGripEnabled(true);
}

void TMainForm::FileOpenItemClick(TObject*) {
  if (const std::string missing = Missing(); !missing.empty()) {
    ShowMessage(missing, "");
    return;
  }
  CheckNumbers();
  if (IsOpenFor(Server(), Group())) {
    ShowMessage("A Download Window for this Server and Group is already open", "");
    return;
  }
  OpenDecodeWindow();
}

void TMainForm::OpenDecodeWindow() {
  const TOpenedFor openedFor{Server(), Group()};
  auto* child = new TMDIChild;
  auto* sub = mdiArea->addSubWindow(child);
  sub->setAttribute(Qt::WA_DeleteOnClose);
  child->show();
  Guarded([&] { child->FormCreate(child); });
  // The frame follows the window's caption, and makes room for the server
  // and group names it now shows.
  sub->resize(sub->size().expandedTo(sub->sizeHint()));
  FOpenedFor[sub] = openedFor;
  connect(sub, &QObject::destroyed, this, [this, sub] {
    FOpenedFor.erase(sub);
    Guarded([this] { UpdateMenuItems(this); });
  });
}

// What Open still needs, one line for each list; an empty list points to
// where entries are added.
std::string TMainForm::Missing() const {
  std::string missing;
  auto need = [&](const QComboBox* list, const char* none, const char* select) {
    if (!list->currentText().isEmpty())
      return;
    missing += missing.empty() ? "" : "\n";
    missing += list->count() == 0 ? none : select;
  };
  need(cboHost, "No News Server configured: add one in the Configuration Window", "Select a News Server");
  need(cboGroup, "No NewsGroup configured: add one in the Configuration Window", "Select a NewsGroup");
  return missing;
}

// A number the decode window could not convert stops the Open here, naming
// its field, rather than leaving a window that cannot start.
void TMainForm::CheckNumbers() {
  const std::pair<const char*, std::string> numbers[] = {
      {"Min Lines", MinLines()}, {"Max Lines", MaxLines()}, {"Pacing (ms)", Pacing()}};
  for (const auto& [name, text] : numbers) {
    try {
      StrToInt(text);
    } catch (const EConvertError& error) {
      throw EConvertError(std::string(name) + ": " + error.what());
    }
  }
}

bool TMainForm::IsOpenFor(const std::string& server, const std::string& group) const {
  // A closed window leaves the area's list at once, before it is destroyed.
  for (QMdiSubWindow* sub : mdiArea->subWindowList()) {
    const auto it = FOpenedFor.find(sub);
    if (it != FOpenedFor.end() && it->second.Server == server && it->second.Group == group)
      return true;
  }
  return false;
}

void TMainForm::ReloadSettings() {
  const QString minLines = MinR->text(), maxLines = MaxR->text(), defExt = DefE->text();
  const QString server = cboHost->currentText(), group = cboGroup->currentText();
  const bool serverChosen = cboHost->currentIndex() >= 0, groupChosen = cboGroup->currentIndex() >= 0;
  LoadSettings(cboHost, cboGroup, lblPath);
  MinR->setText(minLines);
  MaxR->setText(maxLines);
  DefE->setText(defExt);
  if (serverChosen)
    cboHost->setCurrentIndex(cboHost->findText(server));
  if (groupChosen)
    cboGroup->setCurrentIndex(cboGroup->findText(group));
  PointToConfig();
}

// An empty list says where its entries come from, so a first start does not
// leave the user looking for them.
void TMainForm::PointToConfig() {
  for (const auto& [list, hint] : {std::pair{cboHost, "Add servers in Configuration"},
                                   std::pair{cboGroup, "Add groups in Configuration"}}) {
    // Taking the hint away selects the first entry; the user picks.
    const int index = list->currentIndex();
    list->setPlaceholderText(list->count() == 0 ? hint : "");
    list->setCurrentIndex(index);
  }
}

void TMainForm::FileExitItemClick(TObject*) { close(); }

void TMainForm::ConfigBtnClick(TObject*) {
  if (!mdiArea->subWindowList().isEmpty()) {
    ShowMessage("Please Close all Download Window before enter config", "");
    return;
  }
  OKBottomDlg->show();
  OKBottomDlg->raise();
  OKBottomDlg->activateWindow();
}

void TMainForm::HelpAboutItemClick(TObject*) {
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void TMainForm::WindowCascadeItemClick(TObject*) { mdiArea->cascadeSubWindows(); }

// Tiled horizontally: one above another, each as wide as the area. Icons keep
// their row at the bottom.
void TMainForm::WindowTileItemClick(TObject*) {
  QList<QMdiSubWindow*> tiled;
  int iconRow = 0;
  for (QMdiSubWindow* sub : mdiArea->subWindowList(QMdiArea::CreationOrder)) {
    if (sub->isMinimized())
      iconRow = std::max(iconRow, sub->height());
    else if (!sub->isHidden())
      tiled << sub;
  }
  if (tiled.isEmpty())
    return;
  const QRect area = mdiArea->viewport()->rect().adjusted(0, 0, 0, -iconRow);
  int top = area.top();
  for (int i = 0; i < tiled.size(); ++i) {
    const int bottom = area.top() + area.height() * (i + 1) / int(tiled.size());
    tiled[i]->showNormal();
    tiled[i]->setGeometry(area.left(), top, area.width(), bottom - top);
    top = bottom;
  }
}

// Minimized windows in rows along the bottom, left to right, from the bottom
// row up.
void TMainForm::WindowArrangeItemClick(TObject*) {
  const QRect area = mdiArea->viewport()->rect();
  int x = 0, y = area.bottom() + 1, rowHeight = 0;
  for (QMdiSubWindow* sub : mdiArea->subWindowList(QMdiArea::CreationOrder)) {
    if (!sub->isMinimized())
      continue;
    if (rowHeight == 0 || (x > 0 && x + sub->width() > area.width())) {
      y -= rowHeight == 0 ? sub->height() : rowHeight;
      x = 0;
      rowHeight = sub->height();
    }
    sub->move(x, y);
    x += sub->width();
  }
}

void TMainForm::WindowMinimizeItemClick(TObject*) {
  const auto windows = mdiArea->subWindowList(QMdiArea::CreationOrder);
  for (auto it = windows.rbegin(); it != windows.rend(); ++it)
    (*it)->showMinimized();
}

void TMainForm::UpdateMenuItems(TObject*) {
  const bool any = !mdiArea->subWindowList().isEmpty();
  for (QAction* item : {WindowCascadeItem, WindowTileItem, WindowArrangeItem, WindowMinimizeItem})
    item->setEnabled(any);
}

void TMainForm::UpdateWindowMenu() {
  WindowMenu->clear();
  WindowMenu->addAction(WindowCascadeItem);
  WindowMenu->addAction(WindowTileItem);
  WindowMenu->addAction(WindowArrangeItem);
  WindowMenu->addAction(WindowMinimizeItem);
  const auto windows = mdiArea->subWindowList(QMdiArea::CreationOrder);
  if (!windows.isEmpty())
    WindowMenu->addSeparator();
  for (int i = 0; i < windows.size(); ++i) {
    QMdiSubWindow* sub = windows[i];
    QAction* item = WindowMenu->addAction(QString("&%1 %2").arg(i + 1).arg(sub->windowTitle()));
    item->setCheckable(true);
    item->setChecked(sub == mdiArea->activeSubWindow());
    connect(item, &QAction::triggered, sub, [this, sub] { mdiArea->setActiveSubWindow(sub); });
  }
}

void TMainForm::ShowStatusHint(const QString& Hint) { StatusBar->showMessage(Hint); }

bool TMainForm::FormClose(TObject*) {
  // Each decode window stores where its walk stopped as it closes; one that
  // refuses keeps the application open.
  mdiArea->closeAllSubWindows();
  if (!mdiArea->subWindowList().isEmpty())
    return false;
  SaveLimits(FromQt(MinR->text()), FromQt(MaxR->text()), FromQt(DefE->text()));
  return true;
}

void TMainForm::FormDestroy(TObject*) {
  // Decode windows still to be deleted report their end to nobody.
  mdiArea->disconnect(this);
  for (QMdiSubWindow* sub : mdiArea->findChildren<QMdiSubWindow*>())
    sub->disconnect(this);
  if (StartValues == this)
    StartValues = nullptr;
  if (MainForm == this)
    MainForm = nullptr;
}

void TMainForm::closeEvent(QCloseEvent* event) {
  bool close = false;
  Guarded([&] { close = FormClose(this); });
  event->setAccepted(close);
}

bool TMainForm::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    ShowStatusHint(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}
