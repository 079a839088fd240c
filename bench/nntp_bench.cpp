// Receives a large BODY reply of 128-character lines from a loopback server,
// once through TNntpCli (counted in OnMessageLine) and once with plain recv
// calls of the client's receive size, and prints both rates.

#include "nntp/NntpCli.h"
#include "tests/support/ScriptedNewsServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int LineLen = 128;
// What the client asks the socket for at most in one receive.
const int ReceiveSize = 65536;
const int LinesPerBlock = 512;
const std::string Status = "222 1 <body@bench> body follows";

std::string Block() {
  std::string block;
  for (int i = 0; i < LinesPerBlock; ++i)
    block += std::string(LineLen, char('A' + i % 26)) + "\r\n";
  return block;
}

void Script(TScriptedNewsServer& server, std::size_t blocks) {
  server.Reply("200 bench ready")
      .Expect("BODY 1")
      .Reply(Status)
      .SendRepeated(Block(), blocks)
      .Send(".\r\n")
      .Silent()
      .Start();
}

long PeakKB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

struct TResult {
  double Seconds = 0;
  std::int64_t Bytes = 0; // line text for the client, every byte for the drain
  std::int64_t Lines = 0;
  bool Ok = false;
};

TResult ThroughClient(std::size_t blocks) {
  TScriptedNewsServer server;
  Script(server, blocks);
  TNntpCli cli;
  TResult r;
  // The loop sleeps until the socket has bytes, as the plain loop sleeps in
  // recv: processEvents with a time limit never waits and would spin, taking
  // the server's processor on a small machine.
  QEventLoop loop;
  QTimer::singleShot(300000, &loop, &QEventLoop::quit);
  cli.OnSessionConnected = [&](TObject*, std::uint16_t) { loop.quit(); };
  cli.OnMessageLine = [&](TObject*) {
    ++r.Lines;
    r.Bytes += std::int64_t(cli.LastResponse().size());
  };
  cli.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t error) {
    r.Ok = error == 0;
    loop.quit();
  };
  cli.SetHost("127.0.0.1");
  cli.SetPort(server.PortText());
  cli.Connect();
  loop.exec();
  if (cli.State() != nntpReady)
    return r;
  QElapsedTimer clock;
  clock.start();
  cli.BodyByNumber(1);
  loop.exec();
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Ok = r.Ok && r.Lines == std::int64_t(blocks) * LinesPerBlock;
  cli.Abort();
  return r;
}

TResult PlainDrain(std::size_t blocks) {
  TScriptedNewsServer server;
  Script(server, blocks);
  TResult r;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(server.Port());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return r;
  }
  static char buf[ReceiveSize];
  std::string greeting;
  while (greeting.find("\r\n") == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      break;
    greeting.append(buf, std::size_t(n));
  }
  QElapsedTimer clock;
  clock.start();
  ::send(fd, "BODY 1\r\n", 8, MSG_NOSIGNAL);
  const std::int64_t total =
      std::int64_t(blocks) * LinesPerBlock * (LineLen + 2) + std::int64_t(Status.size()) + 2 + 3;
  char tail[5] = {};
  while (r.Bytes < total) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      break;
    r.Bytes += n;
    if (n >= 5)
      std::memcpy(tail, buf + n - 5, 5);
  }
  r.Seconds = double(clock.nsecsElapsed()) / 1e9;
  r.Ok = r.Bytes == total && std::memcmp(tail + 2, ".\r\n", 3) == 0;
  ::close(fd);
  return r;
}

// The faster of two runs; a failed run never counts as the faster.
TResult Faster(const TResult& a, const TResult& b) {
  if (a.Ok != b.Ok)
    return a.Ok ? a : b;
  return a.Seconds <= b.Seconds ? a : b;
}

void Print(const char* what, const TResult& r) {
  std::printf("%-34s %8.1f MB in %6.3f s = %7.1f MB/s%s\n", what, double(r.Bytes) / 1e6, r.Seconds,
              double(r.Bytes) / 1e6 / r.Seconds, r.Ok ? "" : "  (INCOMPLETE)");
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::size_t big = std::size_t(100) * 1024 * 1024 / (LineLen * LinesPerBlock); // 100 MiB of line text

  TResult small = ThroughClient(big / 10);
  const long peakSmall = PeakKB();
  // One run lasts a few tens of milliseconds, so a busy machine decides it:
  // the best of several runs, taken in turns, gives both the same chances.
  const int runs = 5;
  TResult client = ThroughClient(big);
  TResult plain = PlainDrain(big);
  for (int i = 1; i < runs; ++i) {
    client = Faster(client, ThroughClient(big));
    plain = Faster(plain, PlainDrain(big));
  }
  const long peakBig = PeakKB();

  Print("TNntpCli, line text in OnMessageLine", client);
  Print("plain recv of 65536 bytes, all bytes", plain);
  const double wireClient = double(client.Bytes + client.Lines * 2) / client.Seconds;
  std::printf("client / plain (same reply, by time): %.2f\n", plain.Seconds / client.Seconds);
  std::printf("client wire rate %.1f MB/s; lines %lld\n", wireClient / 1e6,
              static_cast<long long>(client.Lines));
  std::printf("peak RSS: %ld KB after a %.0f MB body, %ld KB after a %.0f MB body\n", peakSmall,
              double(small.Bytes) / 1e6, peakBig, double(client.Bytes) / 1e6);
  return client.Ok && plain.Ok && small.Ok ? 0 : 1;
}
