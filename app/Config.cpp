#include "app/Config.h"

#include "app/Main.h"
#include "app/Messages.h"
#include "app/Settings.h"
#include "platform/Guard.h"
#include "settings/ConfigChecks.h"
#include "settings/Passwords.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <optional>

TOKBottomDlg* OKBottomDlg = nullptr;

namespace {

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }
std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

std::vector<std::string> Items(const QListWidget* list) {
  std::vector<std::string> items;
  for (int i = 0; i < list->count(); ++i)
    items.push_back(FromQt(list->item(i)->text()));
  return items;
}

// Add: the edit's text, without control characters, at the end of the list.
// Nothing else is checked; an empty edit gets the focus instead.
void AddFromEdit(QLineEdit* edit, QListWidget* list) {
  const std::string name = WithoutControls(FromQt(edit->text()));
  if (name.empty()) {
    edit->setFocus();
    return;
  }
  list->addItem(ToQt(name));
  edit->clear();
}

// The name of the entry removed, or none when nothing was selected. The list
// moves the selection to the next entry; it goes, so that another click on
// Delete removes nothing the user did not pick.
std::optional<std::string> DeleteSelected(QListWidget* list) {
  const int row = list->currentRow();
  if (row < 0 || !list->item(row)->isSelected())
    return std::nullopt;
  const std::unique_ptr<QListWidgetItem> item(list->takeItem(row));
  list->setCurrentRow(-1);
  return FromQt(item->text());
}

// A server's field as the dialog holds it: a check box stands for 1 or 0.
std::string FieldText(const QWidget* control) {
  if (const auto* box = qobject_cast<const QCheckBox*>(control))
    return box->isChecked() ? "1" : "0";
  return FromQt(static_cast<const QLineEdit*>(control)->text());
}

void ShowField(QWidget* control, const std::string& text) {
  if (auto* box = qobject_cast<QCheckBox*>(control))
    box->setChecked(text == "1");
  else
    static_cast<QLineEdit*>(control)->setText(ToQt(text));
}

} // namespace

TOKBottomDlg::TOKBottomDlg(QWidget* parent) : QDialog(parent) {
  OKBottomDlg = this;
  setWindowTitle("Vostel Configuration Form");

  auto* layout = new QVBoxLayout(this);
  auto* lists = new QHBoxLayout;
  lists->addWidget(ListGroup("Servers", lstServers, btSAdd, btSDel, EdNewServer, "Current Servers",
                             "Add New News Server", "Delete Selected News Server", "New News Server Name"));
  lists->addWidget(ListGroup("Groups", lstGroups, btGAdd, btGDel, EdNewGroup, "Current Groups",
                             "Add New NewsGroup", "Delete Selected NewsGroup", "New NewsGroup Name"));
  layout->addLayout(lists, 1);
  Connect(btSAdd, &TOKBottomDlg::btSAddClick);
  Connect(btGAdd, &TOKBottomDlg::btGAddClick);
  Connect(btSDel, &TOKBottomDlg::btSDelClick);
  Connect(btGDel, &TOKBottomDlg::btGDelClick);
  FFields = new QVBoxLayout;
  layout->addLayout(FFields);
  EdPath = new QLineEdit(this);
  btBrowse = new QPushButton("Browse…", this);
  btBrowse->setToolTip("Choose the Download Folder");
  btBrowse->setStatusTip(btBrowse->toolTip());
  AddField("DownloadPath", EdPath, "Path Where files to be saved")->addWidget(btBrowse);
  Connect(btBrowse, &TOKBottomDlg::btBrowseClick);
  AddServerFields();
  EdPassword = new QLineEdit(this);
  EdPassword->setEchoMode(QLineEdit::Password);
  btSetPassword = new QPushButton("Set Password", this);
  btSetPassword->setToolTip("Keep this Password for the Selected Server");
  btSetPassword->setStatusTip(btSetPassword->toolTip());
  AddField("Password", EdPassword, "Password of the Selected Server")->addWidget(btSetPassword);
  lblPassword = new QLabel(this);
  lblPassword->setWordWrap(true);
  // Room for where the password went, a long path included.
  lblPassword->setMinimumHeight(2 * lblPassword->fontMetrics().lineSpacing());
  FFields->addWidget(lblPassword);
  Connect(btSetPassword, &TOKBottomDlg::btSetPasswordClick);
  for (QLineEdit* edit : {EdPassword, EdNewServer, EdNewGroup})
    edit->installEventFilter(this);
  auto serverChange = [this] { Guarded([this] { lstServersChange(this); }); };
  connect(lstServers, &QListWidget::currentRowChanged, this, serverChange);
  connect(lstServers, &QListWidget::itemSelectionChanged, this, serverChange);
  chkAskBeforeStop = new QCheckBox("Ask before stopping downloads", this);
  chkAskBeforeStop->setToolTip("Ask before a decode window that is still downloading is closed, and before "
                               "Vostel exits while one is");
  chkAskBeforeStop->setStatusTip(chkAskBeforeStop->toolTip());
  FFields->addWidget(chkAskBeforeStop);
  lblOpenWindows = new QLabel("Decode windows already open keep the values they started with; "
                              "what OK saves is for the windows opened next.",
                              this);
  lblOpenWindows->setWordWrap(true);
  lblOpenWindows->setToolTip("A password set here also reaches an open window of that server when it "
                             "connects again (R)");
  lblOpenWindows->hide();
  layout->addWidget(lblOpenWindows);

  OKBtn = new QPushButton("OK", this);
  CancelBtn = new QPushButton("Cancel", this);
  // Enter means OK unless a button has the focus: that one takes it, as
  // every button of the dialog does (Tab to Cancel and Enter cancels).
  OKBtn->setDefault(true);
  Connect(OKBtn, &TOKBottomDlg::OKBtnClick);
  Connect(CancelBtn, &TOKBottomDlg::CancelBtnClick);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  layout->addLayout(buttons);

  // Any size the fields fit in; the lists take what it grows by.
  resize(QSize(466, 229).expandedTo(sizeHint()));
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));

  FormCreate(this);
}

TOKBottomDlg::~TOKBottomDlg() {
  if (OKBottomDlg == this)
    OKBottomDlg = nullptr;
  // A keychain answer still to come tells nobody.
  if (MainForm && MainForm->Passwords)
    MainForm->Passwords->OnStored = nullptr;
}

QGroupBox* TOKBottomDlg::ListGroup(const char* caption, QListWidget*& list, QPushButton*& add,
                                   QPushButton*& del, QLineEdit*& edit, const char* listHint,
                                   const char* addHint, const char* delHint, const char* editHint) {
  auto* group = new QGroupBox(caption, this);
  list = new QListWidget(group);
  add = new QPushButton("Add New", group);
  del = new QPushButton("Delete Selected", group);
  edit = new QLineEdit(group);
  const std::pair<QWidget*, const char*> hints[] = {
      {list, listHint}, {add, addHint}, {del, delHint}, {edit, editHint}};
  for (const auto& [control, hint] : hints) {
    control->setToolTip(hint);
    control->setStatusTip(hint);
  }
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(6, 2, 6, 4);
  grid->setSpacing(3);
  grid->addWidget(list, 0, 0, 1, 2);
  grid->addWidget(edit, 1, 0, 1, 2);
  grid->addWidget(add, 2, 0);
  grid->addWidget(del, 2, 1);
  grid->setRowStretch(0, 1);
  return group;
}

QHBoxLayout* TOKBottomDlg::AddField(const char* caption, QLineEdit* edit, const char* hint) {
  auto* group = new QGroupBox(caption, this);
  auto* box = new QHBoxLayout(group);
  box->setContentsMargins(6, 2, 6, 4);
  box->addWidget(edit);
  edit->setToolTip(hint);
  edit->setStatusTip(hint);
  FFields->addWidget(group);
  return box;
}

// Two rows of three: how the server is asked, then whether it fills in for
// others and compresses. An edit has its name before it, a check box in it.
void TOKBottomDlg::AddServerFields() {
  auto* group = new QGroupBox("Selected Server", this);
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(6, 2, 6, 4);
  grid->setVerticalSpacing(3);
  const char* const hints[] = {
      "Connections a decode window opens to the selected server, 1 to 50",
      "Requests sent ahead on each connection, 1 to 100; 1 sends one at a time",
      "Milliseconds between two requests on a connection; 0 = at once, above 0 one at a time",
      "Ask this server for the articles that the server of a decode window does not have",
      "Order in which the fill servers are asked, 0 to 99; lower is asked first",
      "Compress the transfers when the server offers it"};
  QCheckBox* TOKBottomDlg::*const boxes[] = {&TOKBottomDlg::chkFill, &TOKBottomDlg::chkCompression};
  QLineEdit* TOKBottomDlg::*const edits[] = {&TOKBottomDlg::EdConnections, &TOKBottomDlg::EdInFlight,
                                             &TOKBottomDlg::EdPacing, &TOKBottomDlg::EdPriority};
  std::size_t box = 0, edit = 0;
  for (std::size_t i = 0; i < std::size(ServerFields); ++i) {
    const int row = int(i / 3), column = int(i % 3) * 2;
    QWidget* control = nullptr;
    if (ServerFields[i].Check) {
      auto* check = this->*boxes[box++] = new QCheckBox(ServerFields[i].Name, group);
      connect(check, &QCheckBox::clicked, this, [this] { Guarded([this] { EdServerChange(this); }); });
      grid->addWidget(control = check, row, column, 1, 2);
    } else {
      auto* line = this->*edits[edit++] = new QLineEdit(group);
      auto* label = new QLabel(ServerFields[i].Name, group);
      label->setBuddy(line);
      connect(line, &QLineEdit::textEdited, this, [this] { Guarded([this] { EdServerChange(this); }); });
      grid->addWidget(label, row, column);
      grid->addWidget(control = line, row, column + 1);
    }
    control->setToolTip(hints[i]);
    control->setStatusTip(hints[i]);
  }
  FFields->addWidget(group);
}

void TOKBottomDlg::Connect(QPushButton* button, void (TOKBottomDlg::*click)(TObject*)) {
  connect(button, &QPushButton::clicked, this,
          [this, click] { Guarded([this, click] { (this->*click)(this); }); });
}

void TOKBottomDlg::FormCreate(TObject*) {
  ShowValues(LoadConfig());
  Keep();
}

TConfigValues TOKBottomDlg::ShownValues() const {
  return {Items(lstServers), Items(lstGroups), FromQt(EdPath->text()), FServerSettings};
}

void TOKBottomDlg::ShowValues(const TConfigValues& Values) {
  EdPath->setText(ToQt(Values.Path));
  FServerSettings = Values.ServerSettings;
  lstServers->clear();
  for (const std::string& server : Values.Servers)
    lstServers->addItem(ToQt(server));
  lstGroups->clear();
  for (const std::string& group : Values.Groups)
    lstGroups->addItem(ToQt(group));
  lstServersChange(this);
}

void TOKBottomDlg::Keep() {
  FOpened = ShownValues();
  FOpenedDeleted = FDeleted;
  FPasswordsSet.clear();
}

// A server added now starts at full speed, whatever an entry of that name
// had before it was deleted.
void TOKBottomDlg::btSAddClick(TObject*) {
  const std::string name = WithoutControls(FromQt(EdNewServer->text()));
  const std::vector<std::string> listed = Items(lstServers);
  AddFromEdit(EdNewServer, lstServers);
  if (!name.empty() && std::find(listed.begin(), listed.end(), name) == listed.end())
    FServerSettings[name] = TServerSettings();
}
void TOKBottomDlg::btGAddClick(TObject*) { AddFromEdit(EdNewGroup, lstGroups); }

void TOKBottomDlg::btSDelClick(TObject*) {
  if (const std::optional<std::string> server = DeleteSelected(lstServers))
    FDeleted.insert(*server);
}

void TOKBottomDlg::btGDelClick(TObject*) { DeleteSelected(lstGroups); }

// The password goes to the store at once, whatever OK or Cancel follow; an
// empty field removes it.
void TOKBottomDlg::btSetPasswordClick(TObject*) {
  const int row = SelectedServer();
  if (row < 0) {
    lblPassword->setText("Select the server first");
    lstServers->setFocus();
    return;
  }
  TPasswordStore& store = *MainForm->Passwords;
  store.OnStored = [this](const std::string& where) { lblPassword->setText(ToQt(where)); };
  const std::string server = FromQt(lstServers->item(row)->text());
  FPasswordsSet.insert(server);
  store.SetPassword(server, FromQt(EdPassword->text()));
  EdPassword->clear();
  lstServersChange(this);
}

void TOKBottomDlg::btBrowseClick(TObject*) {
  // From the folder typed, or the nearest one of it that exists.
  QString start = EdPath->text();
  while (!start.isEmpty() && !QFileInfo(start).isDir() && QFileInfo(start).path() != start)
    start = QFileInfo(start).path();
  auto* chooser = new QFileDialog(this, "Download Path", start);
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setOption(QFileDialog::ShowDirsOnly);
  connect(chooser, &QFileDialog::fileSelected, this,
          [this](const QString& folder) { EdPath->setText(folder.endsWith('/') ? folder : folder + "/"); });
  chooser->open();
}

int TOKBottomDlg::SelectedServer() const {
  const int row = lstServers->currentRow();
  return row >= 0 && lstServers->item(row)->isSelected() ? row : -1;
}

// The password field never shows a password, only whether one is kept; no
// server's values show while none is selected.
void TOKBottomDlg::lstServersChange(TObject*) {
  const int row = SelectedServer();
  const std::string server = row >= 0 ? FromQt(lstServers->item(row)->text()) : std::string();
  const bool kept = row >= 0 && !MainForm->Passwords->Password(server).empty();
  EdPassword->setPlaceholderText(kept ? "(password kept)" : "");
  const auto it = FServerSettings.find(server);
  const TServerSettings settings = it == FServerSettings.end() ? TServerSettings() : it->second;
  for (std::size_t i = 0; i < std::size(ServerFields); ++i)
    ShowField(ServerControls()[i], row >= 0 ? settings.*ServerFields[i].Text : std::string());
  EnableServerFields();
}

std::array<QWidget*, std::size(ServerFields)> TOKBottomDlg::ServerControls() const {
  return {EdConnections, EdInFlight, EdPacing, chkFill, EdPriority, chkCompression};
}

// A priority matters only to a fill server.
void TOKBottomDlg::EnableServerFields() {
  const bool selected = SelectedServer() >= 0;
  for (QWidget* control : ServerControls())
    control->setEnabled(selected);
  EdPriority->setEnabled(selected && chkFill->isChecked());
}

// Kept as typed; OK checks them.
void TOKBottomDlg::EdServerChange(TObject*) {
  const int row = SelectedServer();
  if (row < 0)
    return;
  TServerSettings& settings = FServerSettings[FromQt(lstServers->item(row)->text())];
  for (std::size_t i = 0; i < std::size(ServerFields); ++i)
    settings.*ServerFields[i].Text = FieldText(ServerControls()[i]);
  EnableServerFields();
}

bool TOKBottomDlg::CheckServerSettings() {
  const std::vector<std::string> servers = Items(lstServers);
  for (std::size_t row = 0; row < servers.size(); ++row) {
    TServerSettings& settings = FServerSettings[servers[row]];
    for (std::size_t i = 0; i < std::size(ServerFields); ++i) {
      const TServerField& field = ServerFields[i];
      const std::optional<std::string> text = CorrectField(field, settings.*field.Text);
      // A priority typed and then left, by taking the server off the fill
      // servers, is no choice: the field cannot be reached to correct it.
      if (text || (&field == &PriorityField && settings.Fill != "1")) {
        settings.*field.Text = text.value_or(TServerSettings().*field.Text);
        continue;
      }
      lstServers->setCurrentRow(int(row));
      ServerControls()[i]->setFocus();
      ShowMessage(std::string(field.Name) + " of " + servers[row] + ": '" + settings.*field.Text +
                      "' is not a whole number from " + std::to_string(field.Min) + " to " +
                      std::to_string(field.Max),
                  "Vostel Error");
      return false;
    }
  }
  return true;
}

bool TOKBottomDlg::CheckServerEntries() {
  const std::vector<std::string> servers = Items(lstServers);
  std::optional<std::size_t> row = RepeatedEntry(servers);
  std::string fault = row ? "Server '" + servers[*row] + "' is listed twice" : "";
  for (std::size_t i = 0; i < servers.size() && (!row || i < *row); ++i) {
    if (const std::optional<std::string> wrong = ServerEntryFault(servers[i])) {
      row = i;
      fault = "Server '" + servers[i] + "': " + *wrong;
    }
  }
  if (!row)
    return true;
  lstServers->setCurrentRow(int(*row));
  lstServers->setFocus();
  ShowMessage(fault, "Vostel Error");
  return false;
}

bool TOKBottomDlg::CheckDownloadPath() {
  const std::string path = CorrectPath(FromQt(EdPath->text()));
  const std::optional<std::string> fault = DownloadPathFault(path);
  if (!fault)
    return true;
  EdPath->setFocus();
  ShowMessage("Download path " + path + ": " + *fault, "Vostel Error");
  return false;
}

// Enter in a new server or group field that holds a name adds it, so the
// name typed is not left behind by OK; in an empty one it still means OK.
bool TOKBottomDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress)
    return QDialog::eventFilter(watched, event);
  const int key = static_cast<QKeyEvent*>(event)->key();
  if (key != Qt::Key_Return && key != Qt::Key_Enter)
    return QDialog::eventFilter(watched, event);
  const std::pair<QLineEdit*, QPushButton*> buttons[] = {
      {EdPassword, btSetPassword}, {EdNewServer, btSAdd}, {EdNewGroup, btGAdd}};
  for (const auto& [edit, button] : buttons) {
    if (watched == edit && (edit == EdPassword || !edit->text().isEmpty())) {
      button->click();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TOKBottomDlg::OKBtnClick(TObject*) {
  // A password typed and not kept yet goes with OK, as with Set Password;
  // with no server selected to keep it for, the dialog stays open and says so.
  if (!EdPassword->text().isEmpty()) {
    btSetPasswordClick(this);
    if (!EdPassword->text().isEmpty())
      return;
  }
  if (!CheckServerEntries() || !CheckServerSettings() || !CheckDownloadPath())
    return;
  EdPath->setText(ToQt(CorrectPath(FromQt(EdPath->text()))));
  const TConfigValues values = ShownValues();
  if (SaveConfig(values))
    FDeleted = ForgetPasswords(FDeleted, values.Servers);
  MainForm->SetAskBeforeStop(chkAskBeforeStop->isChecked());
  MainForm->ReloadSettings();
  Keep();
  hide();
}

// Until the save the settings file still lists a deleted entry, and a decode
// window may still log in with its password. The store keys passwords by the
// entry exactly as listed, so an entry still listed (added back, or listed
// twice) keeps its password, and so does one that an open decode window
// walks with, until a save after it has closed. A password the file cannot
// lose now is shown as an error and returned, to be tried again at the next
// save; the save or the Cancel itself stands.
std::set<std::string> TOKBottomDlg::ForgetPasswords(const std::set<std::string>& Servers,
                                                    const std::vector<std::string>& Listed) {
  std::set<std::string> left;
  std::string failed;
  for (const std::string& server : Servers) {
    if (std::find(Listed.begin(), Listed.end(), server) != Listed.end())
      continue;
    if (MainForm->ServerInUse(server)) {
      left.insert(server);
      continue;
    }
    try {
      MainForm->Passwords->SetPassword(server, "");
    } catch (const EInOutError& error) {
      left.insert(server);
      if (failed.empty())
        failed = "Password of " + server + " not removed: " + error.what();
    } catch (const Exception&) {
      // A name the store cannot key never had a password.
    }
  }
  if (!failed.empty())
    ShowError(failed);
  return left;
}

// The lists, path and server settings go back to what they were when the dialog
// opened; an entry added meanwhile takes the password set for it along. A
// password typed is never kept in the field for whichever server is
// selected next time.
void TOKBottomDlg::CancelBtnClick(TObject*) {
  EdPassword->clear();
  ShowValues(FOpened);
  FDeleted = FOpenedDeleted;
  const std::set<std::string> left = ForgetPasswords(FPasswordsSet, FOpened.Servers);
  FDeleted.insert(left.begin(), left.end());
  Keep();
  hide();
}

void TOKBottomDlg::ShowOpenWindows(bool Any) { lblOpenWindows->setVisible(Any); }

// Each showing starts from the main window's choice, which the question
// itself may have changed meanwhile.
void TOKBottomDlg::showEvent(QShowEvent* event) {
  if (!event->spontaneous())
    chkAskBeforeStop->setChecked(MainForm->AskBeforeStop());
  QDialog::showEvent(event);
}

void TOKBottomDlg::reject() {
  Guarded([this] { CancelBtnClick(this); });
}
