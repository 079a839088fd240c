#pragma once

#include "app/Settings.h"
#include "platform/Exceptions.h"

#include <QDialog>

#include <array>
#include <set>
#include <string>
#include <vector>

class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QVBoxLayout;

// The configuration dialog: the lists of servers and groups and the download
// path. Modeless; created once, its lists read once, kept between showings.
// It may show while decode windows run: they keep what they started with.
class TOKBottomDlg : public QDialog, public TObject {
  Q_OBJECT
public:
  explicit TOKBottomDlg(QWidget* parent = nullptr);
  ~TOKBottomDlg() override;

  QListWidget* lstServers;
  QPushButton* btSAdd;
  QPushButton* btSDel;
  QLineEdit* EdNewServer;
  QListWidget* lstGroups;
  QPushButton* btGAdd;
  QPushButton* btGDel;
  QLineEdit* EdNewGroup;
  QLineEdit* EdPath;
  QPushButton* btBrowse; // a folder chooser for EdPath
  // The settings of the server selected in lstServers, in the order of
  // ServerFields; off while none is selected, EdPriority also while
  // chkFill is not checked.
  QLineEdit* EdConnections;
  QLineEdit* EdInFlight;
  QLineEdit* EdPacing;
  QCheckBox* chkFill;
  QLineEdit* EdPriority;
  QCheckBox* chkCompression;
  // The password of the server selected in lstServers, kept out of the
  // settings file at once; lblPassword says where it went.
  QLineEdit* EdPassword;
  QPushButton* btSetPassword;
  QLabel* lblPassword;
  // Whether stopping downloads asks first; OK hands it to the main window,
  // so that "Do not ask again" can be taken back.
  QCheckBox* chkAskBeforeStop;
  // Shown while decode windows are open: they keep their values.
  QLabel* lblOpenWindows;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;

  // Handlers.
  void FormCreate(TObject* Sender);
  void btSAddClick(TObject* Sender);
  void btGAddClick(TObject* Sender);
  void btSDelClick(TObject* Sender);
  void btGDelClick(TObject* Sender);
  void btSetPasswordClick(TObject* Sender);
  void btBrowseClick(TObject* Sender);
  void lstServersChange(TObject* Sender);
  void EdServerChange(TObject* Sender);
  void OKBtnClick(TObject* Sender);
  void CancelBtnClick(TObject* Sender);

  // Escape and the close box mean Cancel.
  void reject() override;

  // The main window tells whether decode windows are open.
  void ShowOpenWindows(bool Any);

protected:
  void showEvent(QShowEvent* event) override;
  // Enter in the password field sets the password, and in a new server or
  // group field with text adds the entry, instead of pressing OK.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QGroupBox* ListGroup(const char* caption, QListWidget*& list, QPushButton*& add, QPushButton*& del,
                       QLineEdit*& edit, const char* listHint, const char* addHint, const char* delHint,
                       const char* editHint);
  // One framed group per stored value below the lists.
  QHBoxLayout* AddField(const char* caption, QLineEdit* edit, const char* hint);
  void Connect(QPushButton* button, void (TOKBottomDlg::*click)(TObject*));
  void AddServerFields();
  std::array<QWidget*, std::size(ServerFields)> ServerControls() const;
  void EnableServerFields();
  // The row of the server selected, -1 when none is: the current row alone
  // (the list takes one when it gets the focus) is not a choice.
  int SelectedServer() const;
  // False, with the server and the field shown and the message naming it,
  // when a listed server has a value out of its field's range.
  bool CheckServerSettings();
  // False, with the entry selected and the message naming it and what is
  // wrong, when an entry is no server address or is listed twice.
  bool CheckServerEntries();
  // False, with the message naming the path and what is wrong, when the
  // decode windows could not make their folders there.
  bool CheckDownloadPath();
  TConfigValues ShownValues() const;
  void ShowValues(const TConfigValues& Values);
  // What OK or Cancel leave is what the next Cancel returns to.
  void Keep();
  std::set<std::string> ForgetPasswords(const std::set<std::string>& Servers,
                                        const std::vector<std::string>& Listed);

  QVBoxLayout* FFields;
  TServerSettingsMap FServerSettings; // of the servers listed, and of some deleted
  // Server entries deleted since the last save; their passwords go with the
  // save that drops them.
  std::set<std::string> FDeleted;
  // The dialog as it was opened, and the entries given a password since.
  TConfigValues FOpened;
  std::set<std::string> FOpenedDeleted;
  std::set<std::string> FPasswordsSet;
};

// The one configuration dialog.
extern TOKBottomDlg* OKBottomDlg;
