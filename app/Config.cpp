#include "app/Config.h"

#include "app/Main.h"
#include "app/Passwords.h"
#include "app/Settings.h"
#include "platform/Guard.h"

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
  AddField("DownloadPath", EdPath, "Path Where files to be saved");
  EdPacing = new QLineEdit(this);
  AddField("Pacing (ms)", EdPacing, "Milliseconds between the end of one request and the next; 0 = at once");
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
  connect(lstServers, &QListWidget::currentRowChanged, this,
          [this] { Guarded([this] { lstServersChange(this); }); });

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

  // A fixed size, grown only when the fields need more.
  setFixedSize(QSize(466, 229).expandedTo(minimumSizeHint()));
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

void TOKBottomDlg::Connect(QPushButton* button, void (TOKBottomDlg::*click)(TObject*)) {
  connect(button, &QPushButton::clicked, this,
          [this, click] { Guarded([this, click] { (this->*click)(this); }); });
}

void TOKBottomDlg::FormCreate(TObject*) {
  ShowValues(LoadConfig());
  Keep();
}

TConfigValues TOKBottomDlg::ShownValues() const {
  return {Items(lstServers), Items(lstGroups), FromQt(EdPath->text()), FromQt(EdPacing->text())};
}

void TOKBottomDlg::ShowValues(const TConfigValues& Values) {
  EdPath->setText(ToQt(Values.Path));
  EdPacing->setText(ToQt(Values.Pacing));
  lstServers->clear();
  for (const std::string& server : Values.Servers)
    lstServers->addItem(ToQt(server));
  lstGroups->clear();
  for (const std::string& group : Values.Groups)
    lstGroups->addItem(ToQt(group));
}

void TOKBottomDlg::Keep() {
  FOpened = ShownValues();
  FOpenedDeleted = FDeleted;
  FPasswordsSet.clear();
}

void TOKBottomDlg::btSAddClick(TObject*) { AddFromEdit(EdNewServer, lstServers); }
void TOKBottomDlg::btGAddClick(TObject*) { AddFromEdit(EdNewGroup, lstGroups); }

void TOKBottomDlg::btSDelClick(TObject*) {
  if (const std::optional<std::string> server = DeleteSelected(lstServers))
    FDeleted.insert(*server);
}

void TOKBottomDlg::btGDelClick(TObject*) { DeleteSelected(lstGroups); }

// The password goes to the store at once, whatever OK or Cancel follow; an
// empty field removes it.
void TOKBottomDlg::btSetPasswordClick(TObject*) {
  const int row = lstServers->currentRow();
  if (row < 0 || !lstServers->item(row)->isSelected()) {
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

// The field never shows a password, only whether one is kept.
void TOKBottomDlg::lstServersChange(TObject*) {
  const int row = lstServers->currentRow();
  const bool kept = row >= 0 && !MainForm->Passwords->Password(FromQt(lstServers->item(row)->text())).empty();
  EdPassword->setPlaceholderText(kept ? "(password kept)" : "");
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
  EdPath->setText(ToQt(CorrectPath(FromQt(EdPath->text()))));
  EdPacing->setText(ToQt(CorrectPacing(FromQt(EdPacing->text()))));
  const TConfigValues values = ShownValues();
  if (SaveConfig(values))
    FDeleted = ForgetPasswords(FDeleted, values.Servers);
  MainForm->ReloadSettings();
  Keep();
  hide();
}

// Until the save the settings file still lists a deleted entry, and a decode
// window may still log in with its password. The store keys passwords by the
// entry exactly as listed, so an entry still listed (added back, or listed
// twice) keeps its password. A password the file cannot lose now is shown as
// an error and returned, to be tried again at the next save; the save or
// the Cancel itself stands.
std::set<std::string> TOKBottomDlg::ForgetPasswords(const std::set<std::string>& Servers,
                                                    const std::vector<std::string>& Listed) {
  std::set<std::string> left;
  std::string failed;
  for (const std::string& server : Servers) {
    if (std::find(Listed.begin(), Listed.end(), server) != Listed.end())
      continue;
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

// The lists, path and pacing go back to what they were when the dialog
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

void TOKBottomDlg::reject() {
  Guarded([this] { CancelBtnClick(this); });
}
