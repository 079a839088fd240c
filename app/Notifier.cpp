#include "app/Notifier.h"

#include "window/ChildWin.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSystemTrayIcon>

#include <utility>

namespace {

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

// The status bar of the window says why the walk ended.
void TNotifier::WalkEnded(QMdiSubWindow* Sub) {
  if (FMainWindow->isActiveWindow() && FArea->activeSubWindow() == Sub)
    return;
  const auto* child = qobject_cast<TMDIChild*>(Sub->widget());
  const QString summary = child->SB1Panels[0]->text();
  const QString body = child->lblGroupName->text() + " on " + child->lblHostName->text() + ": " +
                       FilesSaved(child->DecodedCount());
  if (Sender())
    Sender()(summary, body);
  else
    SendToDesktop(summary, body);
}

// The call goes out without waiting for its answer; an error answer (no
// service on the bus) turns to the tray.
void TNotifier::SendToDesktop(const QString& Summary, const QString& Body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    ShowInTray(Summary, Body);
    return;
  }
  QDBusMessage notify =
      QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", "Notify");
  const QVariantMap hints{{"desktop-entry", QString("vostel")}};
  notify << QString("Vostel") << 0u << QString("vostel") << Summary << Body << QStringList() << hints << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, Summary, Body](QDBusPendingCallWatcher* call) {
            if (call->isError())
              ShowInTray(Summary, Body);
            call->deleteLater();
          });
}

void TNotifier::ShowInTray(const QString& Summary, const QString& Body) {
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return;
  if (!FTray) {
    FTray = new QSystemTrayIcon(QApplication::windowIcon(), this);
    FTray->setToolTip("Vostel");
    // A click on the icon brings the program forward.
    connect(FTray, &QSystemTrayIcon::activated, FMainWindow, [this] {
      FMainWindow->showNormal();
      FMainWindow->activateWindow();
    });
  }
  FTray->show();
  FTray->showMessage(Summary, Body);
}
