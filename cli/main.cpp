// vostel-walk: one walk of a group, as a decode window makes it, from the
// command line; for timers, scripts and machines without a desktop.

#include "cli/SignalPipe.h"
#include "cli/WalkOptions.h"
#include "cli/WalkReport.h"
#include "cli/WalkRunner.h"
#include "platform/Exceptions.h"
#include "platform/Guard.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  // The name also names the per-user folder of an installed copy's settings
  // and passwords, which the walk shares with the program.
  QCoreApplication::setApplicationName("Vostel");

  TWalkOptions options;
  try {
    options = ParseWalkOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const Exception& e) {
    std::fprintf(stderr, "vostel-walk: %s\n%s\nTry 'vostel-walk --help' for more.\n", e.what(), WalkUsage);
    return exitUsage;
  }
  if (options.Help) {
    std::fputs(WalkHelp, stdout);
    return exitDone;
  }
  if (options.Version) {
    std::puts("vostel-walk, Vostel v. beta 0.60");
    return exitDone;
  }

  // Output that nobody reads any more is no reason to leave the position
  // unsaved.
  std::signal(SIGPIPE, SIG_IGN);
  TWalkReport report(stdout, options.Json              ? TWalkReport::Json
                             : ::isatty(STDOUT_FILENO) ? TWalkReport::Terminal
                                                       : TWalkReport::Lines);
  TWalkRunner runner(options, report);
  try {
    runner.Prepare();
  } catch (const Exception& e) {
    std::fprintf(stderr, "vostel-walk: %s\n", e.what());
    return exitUsage;
  }
  SetErrorDisplay([&](const std::string& text) {
    report.Error(text);
    runner.Failed();
  });
  TSignalPipe stops({SIGINT, SIGTERM, SIGHUP});
  stops.OnSignal = [&](int signal) { runner.Interrupt(signal); };
  runner.OnFinished = [](int status) { QCoreApplication::exit(status); };
  QTimer::singleShot(0, [&] { Guarded([&] { runner.Run(); }); });
  return QCoreApplication::exec();
}
