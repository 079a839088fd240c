// The demo news server that the run command starts beside Vostel: the group
// vostel.demo on 127.0.0.1:11119, served connection after connection until
// SIGTERM or SIGINT ends it.

#include "tools/demo-server/DemoGroup.h"

#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <string>
#include <system_error>

namespace {

// The exit code that tells the run command to start Vostel alone.
const int ExitPortTaken = 3;

void Usage() {
  std::fprintf(stderr,
               "usage: demo-server [--port N]\n"
               "Serves the news group %s on 127.0.0.1, port %u unless given (0: any free port).\n"
               "Exits with %d when the port is taken.\n",
               DemoGroupName, unsigned(DemoPort), ExitPortTaken);
}

} // namespace

int main(int argc, char* argv[]) {
  // Blocked before any thread starts, so that only the sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  unsigned long port = DemoPort;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc &&
        (port = std::strtoul(argv[i + 1], &end, 10), *argv[i + 1] != '\0' && *end == '\0' && port <= 65535)) {
      ++i;
    } else {
      Usage();
      return 2;
    }
  }

  // The pictures are drawn, never shown: no display is needed.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  TDemoGroup group = MakeDemoGroup();

  std::unique_ptr<TScriptedNewsServer> server;
  try {
    server = std::make_unique<TScriptedNewsServer>(std::uint16_t(port));
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::address_in_use) {
      std::fprintf(stderr, "port %lu is taken\n", port);
      return ExitPortTaken;
    }
    std::fprintf(stderr, "demo-server: cannot listen on 127.0.0.1:%lu: %s\n", port,
                 e.code().message().c_str());
    return 1;
  }
  server->ServeGroup(DemoGroupName, std::move(group.Articles),
                     "201 Vostel demo news server ready - no posting");
  std::printf("Demo news server on 127.0.0.1:%u, group %s\n", unsigned(server->Port()), DemoGroupName);
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  server->Stop();
  return 0;
}
