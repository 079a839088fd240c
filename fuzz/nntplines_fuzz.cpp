// Plays a news server to one client over a loopback connection and answers
// BODY with any bytes, sent in the pieces the input asks for, each piece
// received by the client before the next is sent. The client's line cutter
// must deliver exactly the lines the bytes hold, in order, with leading
// periods undone, up to the terminating "." line, and give up on the
// connection (not cut a line) only when a line passes its limit.
//
// Input: the first byte seeds the piece sizes (1 to 64 bytes, or all at once
// when it is 0); the rest is the reply's text, sent after "222" and followed
// by CR LF "." CR LF.
#include "nntp/NntpCli.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t MaxLine = 4093; // the client's longest line without CR LF

void Check(bool ok) {
  if (!ok)
    std::abort();
}

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
    Client.OnMessageLine = [this](TObject*) { Lines.push_back(Client.LastResponse()); };
    Client.OnRequestDone = [this](TObject*, TNntpRequest, std::uint16_t) { Done = true; };
  }

  void Serve(std::string_view input) {
    if (Client.State() != nntpReady)
      Connect();
    std::mt19937 random(input.empty() ? 0 : std::uint8_t(input[0]));
    const bool whole = input.empty() || input[0] == 0;
    if (!input.empty())
      input.remove_prefix(1);
    Lines.clear();
    Done = false;
    Client.BodyByNumber(1);
    ReadCommand();
    SendAll("222 1 <a@b> body\r\n");
    const std::string text = std::string(input) + "\r\n.\r\n";
    // Bytes after an early "." line are sent too: the client must not hold
    // half a line into the next reply.
    for (std::size_t at = 0; at < text.size() && Client.State() != nntpNotConnected;) {
      const std::size_t n = whole ? text.size() : std::min<std::size_t>(1 + random() % 64, text.size() - at);
      SendAll(text.substr(at, n));
      at += n;
    }
    for (int i = 0; i < 1000 && !Done; ++i)
      Pump();

    const std::vector<TLine> expected = Expected(text);
    Check(Lines.size() <= expected.size());
    for (std::size_t i = 0; i < Lines.size(); ++i)
      Check(Lines[i] == expected[i].Text);
    if (Lines.size() < expected.size()) {
      // Only a line past the limit closes the connection before the end.
      Check(expected[Lines.size()].Sent > MaxLine);
      Check(Client.State() == nntpNotConnected);
    }
  }

private:
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
    char c = 0;
    pollfd pfd{Server, POLLIN, 0};
    while (command.find("\r\n") == std::string::npos) {
      if (::poll(&pfd, 1, 0) == 0) {
        Pump();
        continue;
      }
      Check(::read(Server, &c, 1) == 1);
      command += c;
    }
    Check(command == "BODY 1\r\n");
  }

  // Sends a piece and lets the client take it before the next one.
  void SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(Server, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0)
        return; // the client has closed the connection
      bytes.remove_prefix(std::size_t(n));
    }
    for (int i = 0; i < 1000 && Unread() > 0; ++i)
      Pump();
    Pump();
  }

  int Unread() {
    int n = 0;
    const int fd = Client.WSocket().HSocket();
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
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
