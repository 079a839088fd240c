#include "tests/support/EventLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

void EnsureApplication() {
  if (QCoreApplication::instance())
    return;
  static int argc = 1;
  static char name[] = "vostel_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  // The ticking timer wakes the blocking wait below, so the deadline is
  // checked even when nothing else happens.
  QTimer tick;
  tick.start(5);
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeoutMs)
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void PumpFor(int ms) {
  QElapsedTimer clock;
  clock.start();
  PumpUntil([&] { return clock.elapsed() >= ms; }, ms + 1000);
}
