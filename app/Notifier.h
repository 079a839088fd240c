#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <string>

class QMainWindow;
class QMdiArea;
class QMdiSubWindow;
class QSystemTrayIcon;

// Tells the desktop when a walk ends by itself in a decode window the user
// is not looking at: one that is not the active one, or any while the main
// window is not active. Through the desktop's notification service over
// D-Bus, else the system tray, else not at all. Clicking the notice brings
// that window forward; its "Open Folder" opens the window's session folder.
class TNotifier : public QObject {
  Q_OBJECT
public:
  // What the notice's actions do, by their keys: DefaultAction (a click on
  // the notice) and OpenFolderAction.
  using TAct = std::function<void(const QString& Key)>;
  static constexpr char DefaultAction[] = "default";
  static constexpr char OpenFolderAction[] = "open-folder";
  // Shows a notification; tests take it in place of the desktop.
  using TSender = std::function<void(const QString& Summary, const QString& Body, const TAct& Act)>;
  static TSender SetSender(TSender Sender);

  TNotifier(QMainWindow* MainWindow, QMdiArea* Area);

  // Sub holds a decode window: the end of its walk is told.
  void Watch(QMdiSubWindow* Sub);

private slots:
  void ActionInvoked(uint Id, const QString& Key);
  void NotificationClosed(uint Id, uint Reason);

private:
  void WalkEnded(QMdiSubWindow* Sub);
  void Perform(QMdiSubWindow* Sub, const std::string& Folder, const QString& Key);
  void SendToDesktop(const QString& Summary, const QString& Body, bool HasFolder, const TAct& Act);
  void ShowInTray(const QString& Summary, const QString& Body, const TAct& Act);

  QMainWindow* FMainWindow;
  QMdiArea* FArea;
  QSystemTrayIcon* FTray = nullptr;
  TAct FTrayAct; // of the last notice in the tray
  bool FListening = false;
  std::map<uint, TAct> FShown; // the desktop's notices by their ids, until closed
};
