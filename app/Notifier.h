#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QMainWindow;
class QMdiArea;
class QMdiSubWindow;
class QSystemTrayIcon;

// Tells the desktop when a walk ends by itself in a decode window the user
// is not looking at: one that is not the active one, or any while the main
// window is not active. Through the desktop's notification service over
// D-Bus, else the system tray, else not at all.
class TNotifier : public QObject {
  Q_OBJECT
public:
  // Shows a notification; tests take it in place of the desktop.
  using TSender = std::function<void(const QString& Summary, const QString& Body)>;
  static TSender SetSender(TSender Sender);

  TNotifier(QMainWindow* MainWindow, QMdiArea* Area);

  // Sub holds a decode window: the end of its walk is told.
  void Watch(QMdiSubWindow* Sub);

private:
  void WalkEnded(QMdiSubWindow* Sub);
  void SendToDesktop(const QString& Summary, const QString& Body);
  void ShowInTray(const QString& Summary, const QString& Body);

  QMainWindow* FMainWindow;
  QMdiArea* FArea;
  QSystemTrayIcon* FTray = nullptr;
};
