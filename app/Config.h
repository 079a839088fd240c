#pragma once

#include "app/Settings.h"
#include "platform/Exceptions.h"

#include <QDialog>

#include <set>
#include <string>
#include <vector>

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QVBoxLayout;

// The configuration dialog: the lists of servers and groups and the download
// path. Modeless; created once, its lists read once, kept between showings.
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
  QLineEdit* EdPacing;
  // The password of the server selected in lstServers, kept out of the
  // settings file at once; lblPassword says where it went.
  QLineEdit* EdPassword;
  QPushButton* btSetPassword;
  QLabel* lblPassword;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;

  // Handlers.
  void FormCreate(TObject* Sender);
  void btSAddClick(TObject* Sender);
  void btGAddClick(TObject* Sender);
  void btSDelClick(TObject* Sender);
  void btGDelClick(TObject* Sender);
  void btSetPasswordClick(TObject* Sender);
  void lstServersChange(TObject* Sender);
  void OKBtnClick(TObject* Sender);
  void CancelBtnClick(TObject* Sender);

  // Escape and the close box mean Cancel.
  void reject() override;

protected:
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
  TConfigValues ShownValues() const;
  void ShowValues(const TConfigValues& Values);
  // What OK or Cancel leave is what the next Cancel returns to.
  void Keep();
  std::set<std::string> ForgetPasswords(const std::set<std::string>& Servers,
                                        const std::vector<std::string>& Listed);

  QVBoxLayout* FFields;
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
