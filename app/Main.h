#pragma once

#include "app/Settings.h"
#include "app/WindowState.h"
#include "platform/Exceptions.h"
#include "walk/StartValues.h"

#include <QMainWindow>

#include <functional>
#include <map>
#include <string>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QStatusBar;
class QTimer;
class QToolButton;
class TCloseQuestion;
class TNotifier;
class TPasswordStore;

// The application's frame: picks the server, group and limits of the next
// decode window, opens decode windows inside itself and arranges them.
class TMainForm : public QMainWindow, public IStartValues, public TObject {
  Q_OBJECT
public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  QMdiArea* mdiArea;
  QWidget* SpeedPanel;
  QComboBox* cboHost;
  QComboBox* cboGroup;
  QToolButton* OpenBtn;
  QToolButton* ExitBtn;
  QToolButton* ConfigBtn;
  QLineEdit* MinR;
  QLineEdit* MaxR;
  QLineEdit* DefE;
  QLineEdit* EdSubject; // the wildmat of the subjects to fetch
  QLabel* lblPath;
  QLineEdit* SkipLine; // never shown: decode windows read "0" from it
  QStatusBar* StatusBar;
  QLabel* lblTotalSpeed; // the download speed of all decode windows together
  // The passwords of the server entries; the configuration dialog sets them.
  TPasswordStore* Passwords = nullptr;

  QMenu* FileMenu;
  QMenu* WindowMenu;
  QMenu* HelpMenu;
  QAction* FileOpenItem;
  QAction* FileConfigItem;
  QAction* FileExitItem;
  QAction* WindowCascadeItem;
  QAction* WindowTileItem;
  QAction* WindowArrangeItem;
  QAction* WindowMinimizeItem;
  QAction* HelpAboutItem;

  // What a decode window reads while it is created.
  std::string Server() const override;
  std::string Group() const override;
  std::string MinLines() const override;
  std::string MaxLines() const override;
  std::string WaitingLines() const override;
  std::string DefaultExt() const override;
  std::string DownloadPath() const override;
  // Those of the server selected; LoadSettings keeps each server's here,
  // as they have no field of their own.
  std::string Pacing() const override { return SelectedServer().Pacing; }
  std::string Connections() const override { return SelectedServer().Connections; }
  std::string RequestsInFlight() const override { return SelectedServer().InFlight; }
  bool Compression() const override { return SelectedServer().Compression == "1"; }
  std::vector<TFillServer> FillServers() const override;
  void SetServerSettings(TServerSettingsMap value) { FServerSettings = std::move(value); }
  // Whether an open decode window walks with this server entry.
  bool ServerInUse(const std::string& Entry) const;
  // Whether stopping downloads asks first; the configuration dialog sets it.
  bool AskBeforeStop() const;
  void SetAskBeforeStop(bool Ask);
  std::string Password() const override;
  std::string PasswordOf(const std::string& Entry) const override;
  std::string SubjectFilter() const override;

  // Handlers.
  void FileOpenItemClick(TObject* Sender);
  void OpenDecodeWindow();
  // LoadSettings after the configuration dialog's OK: the saved lists and
  // path, with what the user typed in the limit fields and each selection
  // still listed kept.
  void ReloadSettings();
  void FileExitItemClick(TObject* Sender);
  void ConfigBtnClick(TObject* Sender);
  void HelpAboutItemClick(TObject* Sender);
  void WindowCascadeItemClick(TObject* Sender);
  void WindowTileItemClick(TObject* Sender);
  void WindowArrangeItemClick(TObject* Sender);
  void WindowMinimizeItemClick(TObject* Sender);
  void UpdateMenuItems(TObject* Sender);
  void ShowStatusHint(const QString& Hint);
  void ShowTotalSpeed();
  // Closes every decode window, then saves the limit fields; false when the
  // main window has to stay open.
  bool FormClose(TObject* Sender);
  void FormDestroy(TObject* Sender);

protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

private:
  std::function<void()> Handler(void (TMainForm::*Click)(TObject*));
  void CreateActions();
  void CreateMenus();
  void CreateSpeedPanel();
  void CreateStatusBar();
  void UpdateWindowMenu();
  void PointToConfig();
  std::string Missing() const;
  void CheckFields();
  void RestoreWindowState();
  void FirstRunGeometry();
  QMargins FrameMargins();
  void StoreWindowState();
  bool IsOpenFor(const std::string& server, const std::string& group) const;

  // What each open decode window was opened for: one window per server and
  // group, since two would number their part files alike in one folder.
  struct TOpenedFor {
    std::string Server;
    std::string Group;
  };
  std::map<QMdiSubWindow*, TOpenedFor> FOpenedFor;
  TServerSettings SelectedServer() const;
  TServerSettingsMap FServerSettings;
  QTimer* FSpeedTimer; // gathers the windows' figures into one update
  TWindowState FWindowState;
  TCloseQuestion* FCloseQuestion;
  TNotifier* FNotifier;
};

// The one main window; LoadSettings fills its fields through it.
extern TMainForm* MainForm;
