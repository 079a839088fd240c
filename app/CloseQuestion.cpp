#include "app/CloseQuestion.h"

#include "window/ChildWin.h"

#include <QApplication>
#include <QCheckBox>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QScopedValueRollback>

#include <utility>

namespace {

TCloseQuestion::TAnswer MessageBox(const std::string& text) {
  QMessageBox box(QMessageBox::Question, "Vostel",
                  QString::fromLocal8Bit(text.data(), qsizetype(text.size())),
                  QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
  box.setDefaultButton(QMessageBox::No);
  box.setCheckBox(new QCheckBox("Do not ask again"));
  const bool stop = box.exec() == QMessageBox::Yes;
  return {stop, box.checkBox()->isChecked()};
}

TCloseQuestion::TAsker& Asker() {
  static TCloseQuestion::TAsker asker = MessageBox;
  return asker;
}

bool IsDownloading(const QMdiSubWindow* sub) {
  const auto* child = qobject_cast<const TMDIChild*>(sub->widget());
  return child && child->Downloading();
}

} // namespace

TCloseQuestion::TAsker TCloseQuestion::SetAsker(TAsker asker) {
  if (!asker)
    asker = MessageBox;
  return std::exchange(Asker(), std::move(asker));
}

TCloseQuestion::TCloseQuestion(QMdiArea* Area) : QObject(Area), FArea(Area) {}

void TCloseQuestion::Watch(QMdiSubWindow* Sub) { Sub->installEventFilter(this); }

bool TCloseQuestion::CloseAll() {
  int downloading = 0;
  for (const QMdiSubWindow* sub : FArea->subWindowList())
    downloading += IsDownloading(sub) ? 1 : 0;
  const std::string text =
      downloading == 1
          ? "1 decode window is still downloading. Stop it and exit?"
          : std::to_string(downloading) + " decode windows are still downloading. Stop them and exit?";
  if (!MayStop(downloading, text))
    return false;
  const QScopedValueRollback closingAll(FClosingAll, true);
  FArea->closeAllSubWindows();
  return true;
}

bool TCloseQuestion::MayStop(int Downloading, const std::string& Text) {
  if (Downloading == 0 || !Ask)
    return true;
  const TAnswer answer = Asker()(Text);
  // There is no "always keep them": the box shows again next time.
  if (answer.Stop && answer.DoNotAskAgain)
    Ask = false;
  return answer.Stop;
}

bool TCloseQuestion::eventFilter(QObject* Watched, QEvent* Event) {
  auto* sub = qobject_cast<QMdiSubWindow*>(Watched);
  if (Event->type() != QEvent::Close || !sub)
    return false;
  if (!FClosingAll && !MayStop(IsDownloading(sub) ? 1 : 0,
                               "This decode window is still downloading. Stop it and close it?")) {
    Event->ignore();
    return true;
  }
  if (OnClose)
    OnClose(sub);
  return false;
}
