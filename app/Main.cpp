#include "app/Main.h"

#include "app/About.h"
#include "app/CloseQuestion.h"
#include "app/Config.h"
#include "app/Messages.h"
#include "app/Notifier.h"
#include "app/Settings.h"
#include "platform/Convert.h"
#include "platform/Guard.h"
#include "settings/Passwords.h"
#include "walk/SubjectFilter.h"
#include "window/ChildWin.h"
#include "window/TransferProgress.h"

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
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>

#include <algorithm>

TMainForm* MainForm = nullptr;

namespace {

constexpr int SpeedPanelHeight = 53;

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

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
  mdiArea = new QMdiArea(this);
  mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(mdiArea);
  connect(mdiArea, &QMdiArea::subWindowActivated, this, Handler(&TMainForm::UpdateMenuItems));
  FCloseQuestion = new TCloseQuestion(mdiArea);
  FNotifier = new TNotifier(this, mdiArea);

  CreateActions();
  CreateMenus();
  CreateSpeedPanel();
  CreateStatusBar();
  UpdateMenuItems(this);
  LoadSettings(cboHost, cboGroup, lblPath);
  PointToConfig();
  RestoreWindowState();
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
std::string TMainForm::SubjectFilter() const { return FromQt(EdSubject->text()); }

bool TMainForm::ServerInUse(const std::string& Entry) const {
  for (QMdiSubWindow* sub : mdiArea->subWindowList())
    if (const auto it = FOpenedFor.find(sub); it != FOpenedFor.end() && it->second.Server == Entry)
      return true;
  return false;
}

bool TMainForm::AskBeforeStop() const { return FCloseQuestion->Ask; }
void TMainForm::SetAskBeforeStop(bool Ask) { FCloseQuestion->Ask = Ask; }

TServerSettings TMainForm::SelectedServer() const {
  const auto it = FServerSettings.find(Server());
  return it == FServerSettings.end() ? TServerSettings() : it->second;
}

std::vector<TFillServer> TMainForm::FillServers() const {
  std::vector<std::string> servers;
  for (int i = 0; i < cboHost->count(); ++i)
    servers.push_back(FromQt(cboHost->itemText(i)));
  std::vector<TFillServer> fills;
  for (const std::string& entry : FillOrder(servers, FServerSettings, Server())) {
    const TServerSettings& settings = FServerSettings.at(entry);
    fills.push_back({entry, Passwords->Password(entry), settings.Connections, settings.InFlight,
                     settings.Pacing, settings.Compression == "1"});
  }
  return fills;
}

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
  FileOpenItem->setShortcut(QKeySequence::Open);
  FileConfigItem = item("&Configure...", "Open Vostel Configuration Window", &TMainForm::ConfigBtnClick);
  // Where the desktop names no key for preferences, the one most programs
  // take.
  const QList<QKeySequence> preferences = QKeySequence::keyBindings(QKeySequence::Preferences);
  FileConfigItem->setShortcuts(preferences.isEmpty() ? QList{QKeySequence(Qt::CTRL | Qt::Key_Comma)}
                                                     : preferences);
  FileExitItem = item("E&xit", "Exit the application", &TMainForm::FileExitItemClick);
  // Not QKeySequence::Quit, which some platform themes leave without a key.
  FileExitItem->setShortcut(Qt::CTRL | Qt::Key_Q);
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
  FileMenu->addAction(FileConfigItem);
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
  // The lists keep their width whatever their names; their own lists show
  // long names whole.
  cboHost->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cboHost->setMinimumContentsLength(15);
  cboGroup = Hinted(new QComboBox(SpeedPanel), "NewsGroups");
  cboGroup->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cboGroup->setMinimumContentsLength(15);
  EdSubject = Hinted(new QLineEdit(SpeedPanel), "Fetch only Subjects matching, e.g. *.jpg,*.png,!*sample* "
                                                "(empty: all)");
  EdSubject->setPlaceholderText("all");
  // It takes the room the lists leave, as the path does.
  EdSubject->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  EdSubject->setMinimumWidth(48);
  auto* subject = new QLabel("Subject :", SpeedPanel);
  subject->setBuddy(EdSubject);

  // The top row has columns of its own: the fields below do not widen it.
  auto* top = new QHBoxLayout;
  top->setSpacing(4);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(0);
  for (QToolButton* b : {OpenBtn, ExitBtn, ConfigBtn})
    buttons->addWidget(b);
  top->addLayout(buttons);
  top->addWidget(cboHost, 1);
  top->addWidget(cboGroup, 1);
  top->addWidget(subject);
  top->addWidget(EdSubject, 1);
  grid->addLayout(top, 0, 0, 1, 8);

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
  // What a line is worth, so that a range can be set for parts of a size.
  for (QLineEdit* limit : {MinR, MaxR})
    limit->setToolTip(limit->toolTip() + "\nA line is about 128 bytes of a yEnc file, 45 of a uuencoded one: "
                                         "a 750 KB yEnc part has about 6,000 lines");
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

// Hints take the bar's left; the total speed stays at its right. Each decode
// window shows its figures every quarter second or so; the total follows them
// at most as often, however many windows there are.
void TMainForm::CreateStatusBar() {
  StatusBar = statusBar();
  StatusBar->setSizeGripEnabled(true);
  lblTotalSpeed = Hinted(new QLabel(StatusBar), "Download speed of all decode windows together");
  StatusBar->addPermanentWidget(lblTotalSpeed);
  FSpeedTimer = new QTimer(this);
  FSpeedTimer->setSingleShot(true);
  FSpeedTimer->setInterval(TTransferProgress::TickInterval);
  connect(FSpeedTimer, &QTimer::timeout, this, [this] { Guarded([this] { ShowTotalSpeed(); }); });
  ShowTotalSpeed();
}

void TMainForm::FileOpenItemClick(TObject*) {
  if (const std::string missing = Missing(); !missing.empty()) {
    ShowMessage(missing, "");
    return;
  }
  CheckFields();
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
  if (FWindowState.Decode.isValid())
    sub->resize(FWindowState.Decode.boundedTo(mdiArea->viewport()->size()));
  FCloseQuestion->Watch(sub);
  FNotifier->Watch(sub);
  Guarded([&] { child->FormCreate(child); });
  // The frame follows the window's caption, and makes room for the server
  // and group names it now shows, within the area. A first window asks for
  // room for its whole row of figures too; a size kept from the last one
  // stays as the user left it, the row wrapping within it.
  const QSize room = FWindowState.Decode.isValid() ? sub->minimumSizeHint() : sub->sizeHint();
  sub->resize(sub->size().expandedTo(room).boundedTo(mdiArea->viewport()->size()));
  FOpenedFor[sub] = openedFor;
  auto showSpeed = [this] {
    if (!FSpeedTimer->isActive())
      FSpeedTimer->start();
  };
  connect(child->TransferProgress, &TTransferProgress::Ticked, this, showSpeed);
  connect(sub, &QObject::destroyed, this, [this, sub, showSpeed] {
    FOpenedFor.erase(sub);
    showSpeed();
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

// A number or a filter the decode window could not take stops the Open
// here, naming its field, rather than leaving a window that cannot start.
void TMainForm::CheckFields() {
  const std::pair<const char*, std::string> numbers[] = {
      {"Min Lines", MinLines()}, {"Max Lines", MaxLines()}, {"Pacing (ms)", Pacing()}};
  for (const auto& [name, text] : numbers) {
    try {
      StrToInt(text);
    } catch (const EConvertError& error) {
      throw EConvertError(std::string(name) + ": " + error.what());
    }
  }
  try {
    TSubjectFilter{SubjectFilter()};
  } catch (const Exception& error) {
    throw Exception(std::string("Subject: ") + error.what());
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
  const QString minLines = MinR->text(), maxLines = MaxR->text(), defExt = DefE->text(),
                subject = EdSubject->text();
  const QString server = cboHost->currentText(), group = cboGroup->currentText();
  const bool serverChosen = cboHost->currentIndex() >= 0, groupChosen = cboGroup->currentIndex() >= 0;
  const bool hadServers = cboHost->count() > 0, hadGroups = cboGroup->count() > 0;
  LoadSettings(cboHost, cboGroup, lblPath);
  MinR->setText(minLines);
  MaxR->setText(maxLines);
  DefE->setText(defExt);
  EdSubject->setText(subject);
  if (serverChosen)
    cboHost->setCurrentIndex(cboHost->findText(server));
  if (groupChosen)
    cboGroup->setCurrentIndex(cboGroup->findText(group));
  // A list given its first and only entry has nothing else to pick: a first
  // configuration of one server and one group is ready to open.
  for (const auto& [list, had] : {std::pair{cboHost, hadServers}, std::pair{cboGroup, hadGroups}})
    if (!had && list->count() == 1)
      list->setCurrentIndex(0);
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

// Decode windows read their values once, when they open, so the dialog may
// change the settings under them; it says that they keep theirs.
void TMainForm::ConfigBtnClick(TObject*) {
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
  if (OKBottomDlg)
    OKBottomDlg->ShowOpenWindows(any);
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

void TMainForm::ShowTotalSpeed() {
  double total = 0;
  for (QMdiSubWindow* sub : mdiArea->subWindowList())
    if (const auto* child = qobject_cast<const TMDIChild*>(sub->widget()))
      total += child->TransferProgress->Speed();
  lblTotalSpeed->setText("Total: " + TTransferProgress::SpeedText(total));
}

bool TMainForm::FormClose(TObject*) {
  // Each decode window stores where its walk stopped as it closes; one that
  // refuses, or downloads the user keeps, keep the application open.
  if (!FCloseQuestion->CloseAll() || !mdiArea->subWindowList().isEmpty())
    return false;
  SaveLimits(FromQt(MinR->text()), FromQt(MaxR->text()), FromQt(DefE->text()), SubjectFilter());
  StoreWindowState();
  return true;
}

// The windows as the last run left them, the server and group chosen if
// still listed, no larger than the screen now. A place that no screen shows
// any more is left to the desktop.
void TMainForm::RestoreWindowState() {
  FWindowState = LoadWindowState();
  if (const QRect main = FWindowState.Main; !main.isValid())
    FirstRunGeometry();
  else if (OnSomeScreen(main))
    setGeometry(FitOnScreen(main, FrameMargins()));
  else
    resize(FitOnScreen(main, FrameMargins()).size());
  if (FWindowState.Maximized)
    setWindowState(windowState() | Qt::WindowMaximized);
  for (const auto& [list, name] :
       {std::pair{cboHost, FWindowState.Server}, std::pair{cboGroup, FWindowState.Group}})
    if (!name.empty())
      list->setCurrentIndex(list->findText(ToQt(name)));
  FCloseQuestion->Ask = FWindowState.AskBeforeStop;
  // A decode window's size is the one it had when it closed, unless it lay
  // minimized or filled the area.
  FCloseQuestion->OnClose = [this](QMdiSubWindow* sub) {
    if (!sub->isMinimized() && !sub->isMaximized())
      FWindowState.Decode = sub->size();
  };
}

// The frame the desktop puts around the window, where it is known before
// the window shows (an X11 window manager tells it only later, and keeps
// the frame on the screen itself).
QMargins TMainForm::FrameMargins() {
  create();
  return windowHandle() ? windowHandle()->frameMargins() : QMargins();
}

// Two thirds of the screen, in its middle: room for a few decode windows
// side by side.
void TMainForm::FirstRunGeometry() {
  const QRect area = ScreenArea(QRect()).marginsRemoved(FrameMargins());
  const QSize size = (area.size() * 2 / 3).expandedTo(minimumSizeHint()).boundedTo(area.size());
  setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, area));
}

void TMainForm::StoreWindowState() {
  FWindowState.Main = normalGeometry();
  FWindowState.Maximized = isMaximized();
  FWindowState.Server = cboHost->currentIndex() >= 0 ? Server() : "";
  FWindowState.Group = cboGroup->currentIndex() >= 0 ? Group() : "";
  FWindowState.AskBeforeStop = FCloseQuestion->Ask;
  SaveWindowState(FWindowState);
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
