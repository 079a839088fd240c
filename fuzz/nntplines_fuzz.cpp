// Plays a news server to one client and answers BODY with any bytes, handed
// to the client's line cutter in the pieces the input asks for, as if each
// had been one receive. The client's line cutter must deliver exactly the
// lines the bytes hold, in order, with leading periods undone, up to the
// terminating "." line, and give up on the connection (not cut a line) only
// when a line passes its limit. The client is connected over loopback, so
// its request goes out and a closed connection ends it as in use; the reply
// bytes go straight into its receive buffer, which saves a round trip per
// piece.
//
// With the first byte odd, a handler takes runs of lines too, as many of
// those at a run's start as it likes: the lines taken so and those cut one
// by one together must be the reply's lines, in order.
//
// Input: the first byte seeds the piece sizes (1 to 64 bytes, or all at once
// when it is 0) and the runs taken; the rest is the reply's text, sent after
// "222" and followed by CR LF "." CR LF.
#include "fuzz/FuzzCheck.h"
#include "nntp/NntpCli.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// Puts bytes where a receive would have put them.
class TNntpCliFeeder {
public:
  static void Feed(TNntpCli& client, std::string_view bytes) {
    while (!bytes.empty() && client.State() != nntpNotConnected) {
      char* const into = client.ReceiveRoom();
      const std::size_t n = std::min(bytes.size(), std::size_t(TNntpCli::RcvBufSize - client.FRcvCnt));
      std::memcpy(into, bytes.data(), n);
      bytes.remove_prefix(n);
      client.Received(int(n), 0);
    }
  }
};

namespace {

constexpr std::size_t MaxLine = 4093; // the client's longest line without CR LF

struct TLine {
  std::string Text;     // as delivered
  std::size_t Sent = 0; // as sent, leading period and all
};

// The lines a client should deliver for this reply text: up to the "." line.
std::vector<TLine> Expected(std::string_view text) {
  std::vector<TLine> lines;
  for (std::size_t crlf; (crlf = text.find("\r\n")) != text.npos; text.remove_prefix(crlf + 2)) {
    std::string line(text.substr(0, crlf));
    if (line == ".")
      break;
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
      line.erase(0, 1);
    lines.push_back({std::move(line), crlf});
  }
  return lines;
}

std::unique_ptr<QCoreApplication> MakeApplication() {
  static int argc = 1;
  static char name[] = "nntplines_fuzz";
  static char* argv[] = {name, nullptr};
  return std::make_unique<QCoreApplication>(argc, argv);
}

class TServer {
public:
  TServer() {
    Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    Check(::bind(Listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(Listener, 4) == 0 &&
          ::getsockname(Listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    Client.SetHost("127.0.0.1");
    Client.SetPort(std::to_string(ntohs(addr.sin_port)));
    Client.SetTimeout(0);
    Client.OnMessageLine = [this](TObject*) { Lines.emplace_back(Client.Line()); };
    Client.OnRequestDone = [this](TObject*, TNntpRequest, std::uint16_t) { Done = true; };
  }

  void Serve(std::string_view input) {
    if (Client.State() != nntpReady)
      Connect();
    // A small generator: seeding a Mersenne twister took more time than the cutting.
    std::uint32_t state = input.empty() ? 0 : std::uint8_t(input[0]);
    auto random = [&state] { return (state = state * 1664525u + 1013904223u) >> 16; };
    const bool whole = input.empty() || input[0] == 0;
    const bool runs = !input.empty() && (input[0] & 1) != 0;
    Client.SetKeepTextLines(!runs);
    Client.OnMessageLines = nullptr;
    if (runs)
      Client.OnMessageLines = [this, &random](TObject*, std::string_view run) {
        return TakeRun(run, random());
      };
    if (!input.empty())
      input.remove_prefix(1);
    Lines.clear();
    Done = false;
    Client.BodyByNumber(1);
    ReadCommand();
    TNntpCliFeeder::Feed(Client, "222 1 <a@b> body\r\n");
    const std::string text = std::string(input) + "\r\n.\r\n";
    // Bytes after an early "." line are sent too: the client must not hold
    // half a line into the next reply.
    for (std::size_t at = 0; at < text.size() && Client.State() != nntpNotConnected;) {
      const std::size_t n = whole ? text.size() : std::min<std::size_t>(1 + random() % 64, text.size() - at);
      TNntpCliFeeder::Feed(Client, std::string_view(text).substr(at, n));
      at += n;
    }
    // The request's end is posted. A closed connection leaves its socket
    // notifiers to be deleted later, which no event loop does here.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Check(Done);

    const std::vector<TLine> expected = Expected(text);
    Check(Lines.size() <= expected.size());
    for (std::size_t i = 0; i < Lines.size(); ++i)
      Check(Lines[i] == expected[i].Text && expected[i].Sent <= MaxLine);
    if (Lines.size() < expected.size()) {
      // Only a line past the limit closes the connection before the end.
      Check(expected[Lines.size()].Sent > MaxLine);
      Check(Client.State() == nntpNotConnected);
    }
  }

private:
  // Up to Most % 8 whole lines at the run's start, none that begins with a
  // period or passes the limit, as the handler's contract says.
  std::size_t TakeRun(std::string_view run, std::uint32_t Most) {
    std::size_t taken = 0;
    for (std::uint32_t n = Most % 8; n > 0 && taken < run.size() && run[taken] != '.'; --n) {
      const std::size_t crlf = run.find("\r\n", taken);
      if (crlf == run.npos || crlf - taken > MaxLine)
        break;
      Lines.emplace_back(run.substr(taken, crlf - taken));
      taken = crlf + 2;
    }
    return taken;
  }

  void Connect() {
    if (Server >= 0)
      ::close(Server);
    Server = -1;
    for (int i = 0; i < 1000 && Client.State() == nntpWaitingResponse; ++i)
      Pump();
    Client.Connect();
    pollfd pfd{Listener, POLLIN, 0};
    for (int i = 0; i < 1000 && ::poll(&pfd, 1, 0) == 0; ++i)
      Pump();
    Server = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    Check(Server >= 0);
    SendAll("200 fuzz server ready\r\n");
    for (int i = 0; i < 1000 && Client.State() != nntpReady; ++i)
      Pump();
    Check(Client.State() == nntpReady);
  }

  void ReadCommand() {
    std::string command;
    char buffer[64];
    pollfd pfd{Server, POLLIN, 0};
    while (command.find("\r\n") == std::string::npos) {
      if (::poll(&pfd, 1, 0) == 0) {
        Pump();
        continue;
      }
      const ssize_t n = ::read(Server, buffer, sizeof buffer);
      Check(n > 0);
      command.append(buffer, std::size_t(n));
    }
    Check(command == "BODY 1\r\n");
  }

  void SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(Server, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      Check(n > 0);
      bytes.remove_prefix(std::size_t(n));
    }
  }

  static void Pump() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

  std::unique_ptr<QCoreApplication> App = MakeApplication(); // before the client
  int Listener = -1, Server = -1;
  TNntpCli Client;
  std::vector<std::string> Lines;
  bool Done = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TServer server;
  server.Serve(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
