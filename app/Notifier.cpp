#include "app/Notifier.h"

#include "platform/Guard.h"
#include "window/ChildWin.h"
#include "window/DesktopOpener.h"
#include "window/OpenFailure.h"
#include "window/SavedFiles.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QUrl>

#include <utility>

namespace {

constexpr char Service[] = "org.freedesktop.Notifications";
constexpr char Path[] = "/org/freedesktop/Notifications";

TNotifier::TSender& Sender() {
  static TNotifier::TSender sender;
  return sender;
}

QString FilesSaved(int count) { return count == 1 ? "1 file saved" : QString("%1 files saved").arg(count); }

} // namespace

TNotifier::TSender TNotifier::SetSender(TSender sender) { return std::exchange(Sender(), std::move(sender)); }

TNotifier::TNotifier(QMainWindow* MainWindow, QMdiArea* Area)
    : QObject(MainWindow), FMainWindow(MainWindow), FArea(Area) {}

void TNotifier::Watch(QMdiSubWindow* Sub) {
  if (auto* child = qobject_cast<TMDIChild*>(Sub->widget()))
    connect(child, &TMDIChild::WalkEnded, this, [this, Sub] { WalkEnded(Sub); });
}

// The status bar of the window says why the walk ended. The notice may be
// clicked after the window has gone: its folder is kept with it.
void TNotifier::WalkEnded(QMdiSubWindow* Sub) {
  if (FMainWindow->isActiveWindow() && FArea->activeSubWindow() == Sub)
    return;
  const auto* child = qobject_cast<TMDIChild*>(Sub->widget());
  const QString summary = child->SB1Panels[0]->text();
  const QString body =
      child->lblGroupName->text() + " on " + child->lblHostName->text() + ": " +
      FilesSaved(child->DecodedCount()) +
      (child->IncompleteCount() > 0 ? QString(", %1 incomplete").arg(child->IncompleteCount()) : "");
  const std::string folder = child->SavedFiles->Folder();
  const TAct act = [this, sub = QPointer<QMdiSubWindow>(Sub), folder](const QString& key) {
    Guarded([&] { Perform(sub, folder, key); });
  };
  if (Sender())
    Sender()(summary, body, act);
  else
    SendToDesktop(summary, body, !folder.empty(), act);
}

// A click brings the main window forward with the decode window active, as
// the user left it otherwise; Open Folder opens the session folder.
void TNotifier::Perform(QMdiSubWindow* Sub, const std::string& Folder, const QString& Key) {
  if (Key == OpenFolderAction) {
    const QString path = QString::fromLocal8Bit(Folder.data(), qsizetype(Folder.size()));
    if (Folder.empty() || !QFileInfo(path).isDir())
      ShowOpenFailure(Folder, "the folder is no longer there");
    else if (!OpenWithDesktop(QUrl::fromLocalFile(path)))
      ShowOpenFailure(Folder, NoProgramOpensIt);
    return;
  }
  if (Key != DefaultAction)
    return;
  if (FMainWindow->isMinimized())
    FMainWindow->setWindowState(FMainWindow->windowState() & ~Qt::WindowMinimized);
  FMainWindow->show();
  FMainWindow->raise();
  FMainWindow->activateWindow();
  if (Sub) {
    if (Sub->isMinimized())
      Sub->showNormal();
    FArea->setActiveSubWindow(Sub);
  }
}

// The call goes out without waiting for its answer; an error answer (no
// service on the bus) turns to the tray. The answer's id ties the actions the
// desktop reports to this notice.
void TNotifier::SendToDesktop(const QString& Summary, const QString& Body, bool HasFolder, const TAct& Act) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    ShowInTray(Summary, Body, Act);
    return;
  }
  if (!FListening) {
    bus.connect(Service, Path, Service, "ActionInvoked", this, SLOT(ActionInvoked(uint, QString)));
    bus.connect(Service, Path, Service, "NotificationClosed", this, SLOT(NotificationClosed(uint, uint)));
    FListening = true;
  }
  QDBusMessage notify = QDBusMessage::createMethodCall(Service, Path, Service, "Notify");
  QStringList actions{DefaultAction, "Show"};
  if (HasFolder)
    actions << OpenFolderAction << "Open Folder";
  const QVariantMap hints{{"desktop-entry", QString("vostel")}};
  notify << QString("Vostel") << 0u << QString("vostel") << Summary << Body << actions << hints << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, Summary, Body, Act](QDBusPendingCallWatcher* call) {
            const QDBusPendingReply<uint> reply = *call;
            if (reply.isError())
              ShowInTray(Summary, Body, Act);
            else
              FShown[reply.value()] = Act;
            call->deleteLater();
          });
}

void TNotifier::ActionInvoked(uint Id, const QString& Key) {
  if (const auto it = FShown.find(Id); it != FShown.end())
    it->second(Key);
}

void TNotifier::NotificationClosed(uint Id, uint) { FShown.erase(Id); }

void TNotifier::ShowInTray(const QString& Summary, const QString& Body, const TAct& Act) {
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return;
  if (!FTray) {
    FTray = new QSystemTrayIcon(QApplication::windowIcon(), this);
    FTray->setToolTip("Vostel");
    // A click on the icon brings the program forward, one on the message
    // its window too.
    connect(FTray, &QSystemTrayIcon::activated, FMainWindow, [this] {
      FMainWindow->showNormal();
      FMainWindow->activateWindow();
    });
    connect(FTray, &QSystemTrayIcon::messageClicked, this, [this] {
      if (FTrayAct)
        FTrayAct(DefaultAction);
    });
  }
  FTrayAct = Act;
  FTray->show();
  FTray->showMessage(Summary, Body);
}
