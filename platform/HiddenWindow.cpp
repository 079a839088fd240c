#include "platform/HiddenWindow.h"

#include "platform/Guard.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type PostedMessageType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TPostedMessage : public QEvent {
public:
  TPostedMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam)
      : QEvent(PostedMessageType), Msg(msg), WParam(wParam), LParam(lParam) {}
  unsigned Msg;
  std::uintptr_t WParam;
  std::intptr_t LParam;
};

} // namespace

THiddenWindow::THiddenWindow(TMessageHandler handler) : FHandler(std::move(handler)) {}

THiddenWindow::~THiddenWindow() { QCoreApplication::removePostedEvents(this, PostedMessageType); }

void THiddenWindow::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  QCoreApplication::postEvent(this, new TPostedMessage(msg, wParam, lParam));
}

bool THiddenWindow::event(QEvent* e) {
  if (e->type() != PostedMessageType)
    return QObject::event(e);
  const auto* m = static_cast<TPostedMessage*>(e);
  // A handler may destroy this window; run a copy so nothing of ours is
  // touched after it returns.
  if (auto handler = FHandler)
    Guarded([&] { handler(m->Msg, m->WParam, m->LParam); });
  return true;
}
