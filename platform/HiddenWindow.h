#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

// A window that nobody sees and that only receives posted messages. Posting
// queues the message; the handler runs later from the event loop, through the
// guard. Destroying the window drops the messages still queued for it, so a
// message never reaches freed memory.
class THiddenWindow : public QObject {
  Q_OBJECT
public:
  using TMessageHandler = std::function<void(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam)>;

  explicit THiddenWindow(TMessageHandler handler);
  ~THiddenWindow() override;

  THiddenWindow(const THiddenWindow&) = delete;
  THiddenWindow& operator=(const THiddenWindow&) = delete;

  // Queues (msg, wParam, lParam) behind everything already posted.
  void PostMessage(unsigned msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

protected:
  bool event(QEvent* e) override;

private:
  TMessageHandler FHandler;
};
