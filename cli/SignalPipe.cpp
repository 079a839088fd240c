#include "cli/SignalPipe.h"

#include "platform/Exceptions.h"
#include "platform/Guard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe's ends; the write end is all the handler touches.
int Pipe[2] = {-1, -1};

extern "C" void OnSignalCaught(int Signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(Signal);
  // A full pipe already holds signals enough to act on.
  [[maybe_unused]] const ssize_t written = ::write(Pipe[1], &number, 1);
  errno = saved;
}

} // namespace

TSignalPipe::TSignalPipe(std::initializer_list<int> Signals) : FSignals(Signals) {
  if (::pipe2(Pipe, O_NONBLOCK | O_CLOEXEC) != 0)
    throw Exception(std::string("Cannot make the signal pipe: ") + std::strerror(errno));
  FNotifier = std::make_unique<QSocketNotifier>(Pipe[0], QSocketNotifier::Read);
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Guarded([this] { Read(); }); });
  struct sigaction action {};
  action.sa_handler = OnSignalCaught;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : FSignals)
    ::sigaction(signal, &action, nullptr);
}

// A signal that comes once the walk is over, while the program finishes,
// is ignored: the walk's end is already told and its position stored.
TSignalPipe::~TSignalPipe() {
  for (const int signal : FSignals)
    std::signal(signal, SIG_IGN);
  FNotifier.reset();
  for (int& end : Pipe) {
    ::close(end);
    end = -1;
  }
}

void TSignalPipe::Read() {
  unsigned char numbers[16];
  for (ssize_t n; (n = ::read(Pipe[0], numbers, sizeof numbers)) != 0;) {
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return; // EAGAIN: all read
    for (ssize_t i = 0; i < n; ++i)
      if (OnSignal)
        OnSignal(numbers[i]);
  }
}
