#include "tests/support/ScriptedNewsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// Every wait is cut into slices this long so that Stop() is seen quickly.
const int SliceMs = 20;
// A command line longer than this is a broken client, not a reason to grow.
const std::size_t MaxLine = 64 * 1024;
// Posted text beyond this is counted out, not kept.
const std::size_t MaxPosted = 64 * 1024 * 1024;

void AppendStuffed(std::string& out, const std::string& line) {
  if (!line.empty() && line[0] == '.')
    out += '.';
  out += line;
  out += "\r\n";
}

// The value of a header field, "" when the article has none.
std::string Field(const TNewsArticle& a, const std::string& name) {
  for (const std::string& h : a.Header) {
    if (h.size() > name.size() && h[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), h.begin(), [](char x, char y) {
          return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
        })) {
      std::size_t from = h.find_first_not_of(' ', name.size() + 1);
      return from == std::string::npos ? "" : h.substr(from);
    }
  }
  return "";
}

std::string MessageID(const TNewsArticle& a) {
  std::string id = Field(a, "Message-ID");
  return id.empty() ? std::string("<").append(std::to_string(a.Number)).append("@vostel.test>") : id;
}

} // namespace

TScriptedNewsServer::TScriptedNewsServer(std::uint16_t port) {
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListen < 0)
    throw std::runtime_error("scripted server: socket failed");
  // A fixed port is bound again right after an earlier run, while its closed
  // connections still wait out their time.
  int one = 1;
  if (port != 0)
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int err = errno;
    ::close(FListen);
    throw std::system_error(err, std::generic_category(), "scripted server: bind failed");
  }
  FPort = ntohs(addr.sin_port);
}

bool TScriptedNewsServer::SetCongestionControl(const std::string& name) {
  return ::setsockopt(FListen, IPPROTO_TCP, TCP_CONGESTION, name.data(), socklen_t(name.size())) == 0;
}

TScriptedNewsServer::~TScriptedNewsServer() {
  Stop();
  ::close(FListen);
}

void TScriptedNewsServer::Stop() {
  FStop = true;
  if (FThread.joinable())
    FThread.join();
  EndConnection(FConn, false);
}

TScriptedNewsServer& TScriptedNewsServer::Send(std::string bytes) {
  FScript.push_back({TStepKind::Send, std::move(bytes), {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Reply(std::string line) { return Send(line + "\r\n"); }

TScriptedNewsServer& TScriptedNewsServer::SendSplit(std::string bytes, std::vector<std::size_t> cuts,
                                                    int pauseMs) {
  FScript.push_back({TStepKind::SendSplit, std::move(bytes), std::move(cuts), 0, pauseMs});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::SendRepeated(std::string block, std::size_t times) {
  FScript.push_back({TStepKind::SendRepeated, std::move(block), {}, times, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Expect(std::string line) {
  FScript.push_back({TStepKind::Expect, std::move(line), {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::ExpectText() {
  FScript.push_back({TStepKind::ExpectText, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::ExpectClosed() {
  FScript.push_back({TStepKind::ExpectClosed, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Pause(int ms) {
  FScript.push_back({TStepKind::Pause, {}, {}, 0, ms});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Close() {
  FScript.push_back({TStepKind::Close, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Reset() {
  FScript.push_back({TStepKind::Reset, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Silent() {
  FScript.push_back({TStepKind::Silent, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::Compress() {
  FScript.push_back({TStepKind::Compress, {}, {}, 0, 0});
  return *this;
}

TScriptedNewsServer& TScriptedNewsServer::SendUncompressed(std::string bytes) {
  FScript.push_back({TStepKind::SendUncompressed, std::move(bytes), {}, 0, 0});
  return *this;
}

// Raw DEFLATE both ways, as a news server compresses.
struct TScriptedNewsServer::TZLink {
  z_stream In{}, Out{};
  TZLink() {
    deflateInit2(&Out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    inflateInit2(&In, -15);
  }
  ~TZLink() {
    deflateEnd(&Out);
    inflateEnd(&In);
  }
  TZLink(const TZLink&) = delete;
  TZLink& operator=(const TZLink&) = delete;

  std::string Deflate(const char* data, std::size_t len, bool flush) {
    std::string out;
    Pump(Out, data, len, out, [&] {
      deflate(&Out, flush ? Z_SYNC_FLUSH : Z_NO_FLUSH);
      return true;
    });
    return out;
  }
  bool Inflate(const char* data, std::size_t len, std::string& out) {
    return Pump(In, data, len, out, [&] {
      const int rc = inflate(&In, Z_NO_FLUSH);
      return rc == Z_OK || rc == Z_BUF_ERROR || rc == Z_STREAM_END;
    });
  }

private:
  // Runs Step over the bytes until it leaves room in the output; false as
  // soon as a Step fails.
  template <typename TStep>
  static bool Pump(z_stream& stream, const char* data, std::size_t len, std::string& out, TStep Step) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = uInt(len);
    do {
      char buf[65536];
      stream.next_out = reinterpret_cast<Bytef*>(buf);
      stream.avail_out = sizeof buf;
      if (!Step())
        return false;
      out.append(buf, sizeof buf - stream.avail_out);
    } while (stream.avail_out == 0);
    return true;
  }
};

void TScriptedNewsServer::StartCompression(int fd, std::string& input) {
  auto link = std::make_unique<TZLink>();
  std::string plain;
  if (!link->Inflate(input.data(), input.size(), plain))
    Fail("the client's bytes behind COMPRESS do not inflate");
  input = std::move(plain);
  std::lock_guard<std::mutex> hold(FZLock);
  FZLinks[fd] = std::move(link);
}

bool TScriptedNewsServer::Compressing(int fd) const {
  std::lock_guard<std::mutex> hold(FZLock);
  return FZLinks.count(fd) > 0;
}

bool TScriptedNewsServer::AppendInput(int fd, std::string& input, const char* data, std::size_t len) {
  TZLink* link = nullptr;
  {
    std::lock_guard<std::mutex> hold(FZLock);
    const auto it = FZLinks.find(fd);
    if (it != FZLinks.end())
      link = it->second.get();
  }
  if (!link) {
    input.append(data, len);
    return true;
  }
  if (link->Inflate(data, len, input))
    return true;
  Fail("the client's compressed bytes do not inflate");
  return false;
}

void TScriptedNewsServer::Start() {
  ::listen(FListen, 8);
  FThread = std::thread([this] { RunScript(); });
}

void TScriptedNewsServer::ServeGroup(std::string groupName, std::vector<TNewsArticle> articles,
                                     std::string greeting) {
  FGroupName = std::move(groupName);
  std::stable_sort(articles.begin(), articles.end(),
                   [](const TNewsArticle& a, const TNewsArticle& b) { return a.Number < b.Number; });
  FAllArticles.clear();
  FAllArticles.reserve(articles.size());
  for (TNewsArticle& a : articles) {
    TServed x;
    x.MessageID = MessageID(a);
    for (const std::string& line : a.Header)
      AppendStuffed(x.Head, line);
    std::size_t body = 0;
    for (const std::string& line : a.Body)
      body += line.size() + 3;
    x.Body.reserve(body);
    for (std::size_t i = 0; i < a.Body.size(); ++i) {
      if (i == a.Body.size() / 2)
        x.HalfBody = x.Body.size();
      AppendStuffed(x.Body, a.Body[i]);
      x.BodyBytes += a.Body[i].size() + 2;
    }
    if (a.Body.size() / 2 == a.Body.size())
      x.HalfBody = x.Body.size();
    x.BodyLines = a.Body.size();
    a.Body = {};
    x.Article = std::move(a);
    FAllArticles.push_back(std::move(x));
  }
  FGreeting = std::move(greeting);
  ::listen(FListen, 8);
  FThread = std::thread([this] { RunGroup(); });
}

void TScriptedNewsServer::OfferOverview(std::vector<std::string> format) {
  FOverviewFormat = std::move(format);
}

void TScriptedNewsServer::LimitConnections(int count, std::string refusal) {
  FMaxConnections = count;
  FRefusal = std::move(refusal);
}

void TScriptedNewsServer::CutBody(std::int64_t number, bool reset, int times) {
  FCuts.push_back({number, reset, times});
}

void TScriptedNewsServer::RepeatReply(std::string command, int times, std::string extra) {
  FRepeats.push_back({std::move(command), std::move(extra), 0, times});
}

void TScriptedNewsServer::AnswerWith(std::int64_t asked, std::int64_t given, int times) {
  FAnswers.push_back({std::to_string(asked), {}, given, times});
}

// Takes one of the times of the entry of list for command, if any is left.
bool TScriptedNewsServer::Misanswer(std::vector<TMisanswer>& list, const std::string& command,
                                    TMisanswer* found) {
  std::lock_guard<std::mutex> hold(FLock);
  for (TMisanswer& m : list)
    if (m.Command == command && m.Times > 0) {
      --m.Times;
      if (found)
        *found = m;
      return true;
    }
  return false;
}

std::vector<std::string> TScriptedNewsServer::Received() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FReceived;
}

std::vector<std::string> TScriptedNewsServer::Failures() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FFailures;
}

std::string TScriptedNewsServer::PostedText() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FPosted;
}

void TScriptedNewsServer::Record(int connection, const std::string& line) {
  std::lock_guard<std::mutex> hold(FLock);
  FReceived.push_back(line);
  FReceivedOn.push_back(connection);
}

std::vector<std::string> TScriptedNewsServer::ReceivedBy(int connection) const {
  std::lock_guard<std::mutex> hold(FLock);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < FReceived.size(); ++i)
    if (FReceivedOn[i] == connection)
      lines.push_back(FReceived[i]);
  return lines;
}

void TScriptedNewsServer::Fail(const std::string& text) {
  std::lock_guard<std::mutex> hold(FLock);
  FFailures.push_back(text);
}

void TScriptedNewsServer::RunScript() {
  for (const TStep& step : FScript) {
    if (FStop)
      return;
    RunStep(step);
  }
  FFinished = true;
}

bool TScriptedNewsServer::Accept() {
  if (FConn >= 0)
    return true;
  while (!FStop) {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, SliceMs) <= 0)
      continue;
    FConn = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (FConn < 0)
      continue;
    int one = 1;
    ::setsockopt(FConn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    FInput.clear();
    ++FConnections;
    return true;
  }
  return false;
}

void TScriptedNewsServer::EndConnection(int& fd, bool reset) {
  if (fd < 0)
    return;
  {
    std::lock_guard<std::mutex> hold(FZLock);
    FZLinks.erase(fd);
  }
  if (reset) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  ::close(fd);
  fd = -1;
}

bool TScriptedNewsServer::Sleep(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!FStop && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
  return !FStop;
}

bool TScriptedNewsServer::SendAll(int fd, const char* data, std::size_t len, bool more) {
  TZLink* link = nullptr;
  {
    std::lock_guard<std::mutex> hold(FZLock);
    const auto it = FZLinks.find(fd);
    if (it != FZLinks.end())
      link = it->second.get();
  }
  if (!link)
    return SendRaw(fd, data, len, more);
  const std::string compressed = link->Deflate(data, len, !more);
  return SendRaw(fd, compressed.data(), compressed.size(), more);
}

bool TScriptedNewsServer::SendRaw(int fd, const char* data, std::size_t len, bool more) {
  while (len > 0 && !FStop) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n > 0) {
      data += n;
      len -= std::size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, SliceMs);
    } else {
      return false; // the client has gone
    }
  }
  return len == 0;
}

TScriptedNewsServer::TRead TScriptedNewsServer::ReadLine(std::string& line) {
  for (;;) {
    std::size_t end = FInput.find("\r\n");
    if (end != std::string::npos) {
      line = FInput.substr(0, end);
      FInput.erase(0, end + 2);
      return TRead::Line;
    }
    if (FInput.size() > MaxLine) {
      Fail("command line too long");
      return TRead::Closed;
    }
    if (FStop)
      return TRead::Stopped;
    pollfd p{FConn, POLLIN, 0};
    if (::poll(&p, 1, SliceMs) <= 0)
      continue;
    char buf[65536];
    ssize_t n = ::recv(FConn, buf, sizeof buf, 0);
    if (n > 0 && !AppendInput(FConn, FInput, buf, std::size_t(n)))
      return TRead::Closed;
    if (n > 0)
      continue;
    if (n == 0 || (errno != EAGAIN && errno != EINTR))
      return TRead::Closed;
  }
}

void TScriptedNewsServer::RunStep(const TStep& step) {
  if (step.Kind == TStepKind::Pause) {
    Sleep(step.Ms);
    return;
  }
  if (!Accept())
    return;
  std::string line;
  switch (step.Kind) {
  case TStepKind::Send:
    SendAll(FConn, step.Text);
    break;
  case TStepKind::SendSplit: {
    std::size_t from = 0;
    for (std::size_t cut : step.Cuts) {
      cut = std::min(cut, step.Text.size());
      if (cut <= from)
        continue;
      SendAll(FConn, step.Text.data() + from, cut - from);
      from = cut;
      Sleep(step.Ms);
    }
    SendAll(FConn, step.Text.data() + from, step.Text.size() - from);
    break;
  }
  case TStepKind::SendRepeated:
    for (std::size_t i = 0; i < step.Count && SendAll(FConn, step.Text); ++i) {
    }
    break;
  case TStepKind::Expect: {
    TRead r = ReadLine(line);
    if (r == TRead::Line) {
      Record(FConnections, line);
      if (line != step.Text)
        Fail("expected '" + step.Text + "', got '" + line + "'");
    } else if (r == TRead::Closed) {
      Fail("expected '" + step.Text + "', the client closed");
    }
    break;
  }
  case TStepKind::ExpectText: {
    std::string text;
    std::size_t total = 0;
    TRead r;
    while ((r = ReadLine(line)) == TRead::Line && line != ".") {
      total += line.size() + 2;
      if (total <= MaxPosted)
        text += line + "\r\n";
    }
    if (r == TRead::Closed)
      Fail("posted text ended without '.'");
    std::lock_guard<std::mutex> hold(FLock);
    FPosted = std::move(text);
    break;
  }
  case TStepKind::ExpectClosed:
    if (ReadLine(line) == TRead::Line)
      Fail("expected the client to close, got '" + line + "'");
    EndConnection(FConn, false);
    break;
  case TStepKind::Close:
    EndConnection(FConn, false);
    break;
  case TStepKind::Reset:
    EndConnection(FConn, true);
    break;
  case TStepKind::Silent:
    while (Sleep(SliceMs)) {
    }
    break;
  case TStepKind::Compress:
    StartCompression(FConn, FInput);
    break;
  case TStepKind::SendUncompressed:
    SendRaw(FConn, step.Text.data(), step.Text.size(), false);
    break;
  case TStepKind::Pause:
    break;
  }
}

// Each connection is served on a thread of its own, so that a client may
// hold several at once.
void TScriptedNewsServer::RunGroup() {
  std::vector<std::thread> served;
  while (!FStop) {
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, SliceMs) <= 0)
      continue;
    int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int number = ++FConnections;
    if (FDrop > 0) {
      --FDrop;
      EndConnection(fd, false);
      continue;
    }
    if (FMaxConnections > 0 && FActive >= FMaxConnections) {
      SendAll(fd, FRefusal + "\r\n");
      EndConnection(fd, false);
      continue;
    }
    ++FActive;
    served.emplace_back([this, fd, number] {
      TGroupConnection c;
      c.Fd = fd;
      c.Number = number;
      for (const TServed& x : FAllArticles)
        if (x.Article.FromConnection <= number)
          c.Articles.push_back(&x);
      ServeConnection(c);
      EndConnection(c.Fd, false);
      --FActive;
    });
  }
  for (std::thread& t : served)
    t.join();
}

void TScriptedNewsServer::ServeConnection(TGroupConnection& c) {
  if (!SendAll(c.Fd, FGreeting + "\r\n"))
    return;
  std::string line;
  TMisanswer repeat;
  // The verb, in capitals, and its argument; every group ends alike at QUIT.
  const auto serve = [&] {
    const std::size_t blank = line.find(' ');
    std::string verb = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char ch) { return char(std::toupper(ch)); });
    if (verb == "QUIT") {
      SendAll(c.Fd, "205 closing connection - goodbye\r\n");
      EndConnection(c.Fd, false);
    } else if (FNumbered > 0) {
      ServeNumberedCommand(c, verb, arg);
    } else {
      ServeGroupCommand(c, verb, arg);
    }
  };
  while (c.Fd >= 0 && TakeCommand(c, line)) {
    serve();
    if (c.Fd < 0 || FRepeats.empty() || !Misanswer(FRepeats, line, &repeat))
      continue;
    if (repeat.Extra.empty())
      serve();
    else
      SendAll(c.Fd, repeat.Extra + "\r\n");
  }
}

// Reads what has arrived within ms; each whole line is kept with the time
// it came. False when the connection has ended or the server stops.
bool TScriptedNewsServer::Receive(TGroupConnection& c, int ms) {
  if (FStop)
    return false;
  pollfd p{c.Fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0)
    return true;
  char buf[65536];
  const ssize_t n = ::recv(c.Fd, buf, sizeof buf, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
    return false;
  if (n < 0)
    return true;
  if (!AppendInput(c.Fd, c.Input, buf, std::size_t(n)))
    return false;
  const auto now = std::chrono::steady_clock::now();
  for (std::size_t end; (end = c.Input.find("\r\n")) != std::string::npos; c.Input.erase(0, end + 2))
    c.Lines.push_back({c.Input.substr(0, end), now});
  if (c.Input.size() > MaxLine) {
    Fail("command line too long");
    return false;
  }
  return true;
}

// The next command, once the latency has passed since it came. A server
// that mishandles pipelining answers only the last of the commands that
// wait at once.
bool TScriptedNewsServer::TakeCommand(TGroupConnection& c, std::string& line) {
  while (c.Lines.empty())
    if (!Receive(c, SliceMs))
      return false;
  if (FMishandlePipelining) {
    // Whatever the client sent together with this command is here by now.
    const auto settled = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    while (std::chrono::steady_clock::now() < settled)
      if (!Receive(c, 5))
        return false;
    while (c.Lines.size() > 1) {
      Record(c.Number, c.Lines.front().Text);
      c.Lines.pop_front();
    }
  }
  const auto due = c.Lines.front().At + std::chrono::milliseconds(FLatency);
  for (auto now = std::chrono::steady_clock::now(); now < due; now = std::chrono::steady_clock::now())
    if (!Receive(c, int(std::chrono::ceil<std::chrono::milliseconds>(due - now).count())))
      return false;
  line = std::move(c.Lines.front().Text);
  c.Lines.pop_front();
  Record(c.Number, line);
  return true;
}

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

// One field of an overview line, as the entry of the overview format names it.
std::string OverviewField(const TNewsArticle& a, const std::string& entry, std::size_t bytes,
                          std::size_t lines) {
  const std::string name = Lower(entry);
  if (name == "bytes:" || name == ":bytes")
    return std::to_string(bytes);
  if (name == "lines:" || name == ":lines")
    return std::to_string(lines);
  if (name == "message-id:")
    return MessageID(a);
  const std::size_t colon = entry.find(':');
  const std::string field = entry.substr(0, colon);
  const std::string value = Field(a, field);
  return name.size() > 5 && name.compare(name.size() - 5, 5, ":full") == 0 ? field + ": " + value : value;
}

// Any article number of 63 bits; nothing past them.
bool ParseNumber(const std::string& text, std::int64_t& n) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  return error == std::errc() && end == text.data() + text.size();
}

} // namespace

void TScriptedNewsServer::RequireLogIn(std::string user, std::string password) {
  FUser = std::move(user);
  FPassword = std::move(password);
}

void TScriptedNewsServer::ServeGroupCommand(TGroupConnection& c, const std::string& verb,
                                            const std::string& arg) {
  if (verb == "CAPABILITIES" && !FCompressReply.empty()) {
    const bool compressing = Compressing(c.Fd);
    std::string reply = "101 Capability list:\r\nVERSION 2\r\nREADER\r\n";
    if (!FUser.empty() && !c.LoggedIn && !compressing)
      reply += "AUTHINFO USER\r\n";
    if (!compressing)
      reply += "COMPRESS DEFLATE\r\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    SendAll(c.Fd, reply + ".\r\n");
    return;
  }
  if (verb == "COMPRESS" && !FCompressReply.empty()) {
    if (Compressing(c.Fd))
      return (void)SendAll(c.Fd, "502 Compression already active\r\n");
    if (Lower(arg) != "deflate")
      return (void)SendAll(c.Fd, "501 Unknown compression algorithm\r\n");
    SendAll(c.Fd, FCompressReply + "\r\n");
    if (FCompressReply.compare(0, 3, "206") == 0)
      StartCompression(c.Fd, c.Input);
    return;
  }
  if (verb == "AUTHINFO" && Compressing(c.Fd))
    return (void)SendAll(c.Fd, "502 Already using a compression layer\r\n");
  if (verb == "AUTHINFO" && !FUser.empty()) {
    const std::size_t space = arg.find(' ');
    const std::string what = Lower(arg.substr(0, space)),
                      value = arg.substr(space == arg.npos ? arg.size() : space + 1);
    if (what == "user") {
      c.UserGiven = value;
      SendAll(c.Fd, "381 Password required\r\n");
    } else if (what == "pass" && c.UserGiven == FUser && value == FPassword) {
      c.LoggedIn = true;
      SendAll(c.Fd, "281 Authentication accepted\r\n");
    } else {
      SendAll(c.Fd, "481 Authentication failed\r\n");
    }
    return;
  }
  if (!FUser.empty() && !c.LoggedIn) {
    SendAll(c.Fd, "480 Authentication required\r\n");
    return;
  }
  if (verb == "LIST" && Lower(arg) == "overview.fmt" && !FOverviewFormat.empty())
    return SendOverviewFormat(c);
  if (verb == "GROUP") {
    if (arg != FGroupName) {
      SendAll(c.Fd, "411 No such news group\r\n");
      return;
    }
    c.GroupSelected = true;
    c.Current = 0;
    std::int64_t first = c.Articles.empty() ? 0 : c.Articles.front()->Article.Number;
    std::int64_t last = c.Articles.empty() ? 0 : c.Articles.back()->Article.Number;
    SendAll(c.Fd, "211 " + std::to_string(c.Articles.size()) + " " + std::to_string(first) + " " +
                      std::to_string(last) + " " + FGroupName + "\r\n");
    return;
  }
  if (verb == "NEXT" && !FRefuseNext) {
    if (!c.GroupSelected)
      return (void)SendAll(c.Fd, "412 No newsgroup has been selected\r\n");
    if (c.Current + 1 >= c.Articles.size())
      return (void)SendAll(c.Fd, "421 No next article in this group\r\n");
    const TServed& x = *c.Articles[++c.Current];
    SendAll(c.Fd, "223 " + std::to_string(x.Article.Number) + " " + x.MessageID +
                      " article retrieved - request text separately\r\n");
    return;
  }
  const bool article = verb == "ARTICLE", head = verb == "HEAD", body = verb == "BODY", stat = verb == "STAT";
  const bool xover = verb == "XOVER";
  if (!article && !head && !body && !stat && !xover) {
    SendAll(c.Fd, "500 Command not recognized\r\n");
    return;
  }
  if (!arg.empty() && arg[0] == '<') { // by message identifier, group not needed
    auto it = std::find_if(c.Articles.begin(), c.Articles.end(),
                           [&](const TServed* x) { return x->MessageID == arg; });
    if (xover || it == c.Articles.end()) {
      SendAll(c.Fd, "430 No article with that message-id\r\n");
      return;
    }
    c.Current = std::size_t(it - c.Articles.begin());
  } else if (!c.GroupSelected) {
    SendAll(c.Fd, "412 No newsgroup has been selected\r\n");
    return;
  }

  // The articles numbered from `from` on.
  const auto numbered = [&](std::int64_t from) {
    return std::lower_bound(c.Articles.begin(), c.Articles.end(), from,
                            [](const TServed* x, std::int64_t n) { return x->Article.Number < n; });
  };
  std::string reply;
  if (xover) {
    std::int64_t from = 0, to = 0;
    std::size_t dash = arg.find('-');
    std::string a = arg.substr(0, dash), b = dash == std::string::npos ? a : arg.substr(dash + 1);
    if (arg.empty() && c.Current < c.Articles.size())
      from = to = c.Articles[c.Current]->Article.Number;
    else if (!ParseNumber(a, from) || (!b.empty() && !ParseNumber(b, to)))
      return (void)SendAll(c.Fd, "501 Syntax error\r\n");
    else if (b.empty())
      to = INT64_MAX;
    for (auto it = numbered(from); it != c.Articles.end() && (*it)->Article.Number <= to; ++it) {
      const TServed& x = **it;
      const TNewsArticle& h = x.Article;
      if (!FOverviewFormat.empty()) {
        reply += std::to_string(h.Number);
        for (const std::string& entry : FOverviewFormat) {
          reply += '\t';
          reply += OverviewField(h, entry, x.BodyBytes, x.BodyLines);
        }
        reply += "\r\n";
        continue;
      }
      reply += std::to_string(h.Number) + "\t" + Field(h, "Subject") + "\t" + Field(h, "From") + "\t" +
               Field(h, "Date") + "\t" + x.MessageID + "\t" + Field(h, "References") + "\t" +
               std::to_string(x.BodyBytes) + "\t" + std::to_string(x.BodyLines) + "\r\n";
    }
    if (reply.empty())
      return (void)SendAll(c.Fd, "420 No article(s) selected\r\n");
    SendAll(c.Fd, "224 Overview information follows\r\n" + reply + ".\r\n");
    return;
  }

  if (!arg.empty() && arg[0] != '<') {
    std::int64_t n = 0;
    if (!ParseNumber(arg, n))
      return (void)SendAll(c.Fd, "501 Syntax error\r\n");
    TMisanswer other;
    if (!stat && !FAnswers.empty() && Misanswer(FAnswers, arg, &other))
      n = other.Given;
    auto it = numbered(n);
    if (it == c.Articles.end() || (*it)->Article.Number != n)
      return (void)SendAll(c.Fd, "423 No such article number in this group\r\n");
    c.Current = std::size_t(it - c.Articles.begin());
  }
  if (c.Current >= c.Articles.size())
    return (void)SendAll(c.Fd, "420 No current article has been selected\r\n");

  const TServed& x = *c.Articles[c.Current];
  if (std::find(FLacking.begin(), FLacking.end(), x.Article.Number) != FLacking.end())
    return (void)SendAll(c.Fd, arg.starts_with("<") ? "430 No article with that message-id\r\n"
                                                    : "423 No article with that number\r\n");
  std::string ids = std::to_string(x.Article.Number) + " " + x.MessageID;
  if (stat)
    return (void)SendAll(c.Fd, "223 " + ids + " article retrieved - request text separately\r\n");
  reply = article ? "220 " + ids + " article retrieved - head and body follow\r\n"
          : head  ? "221 " + ids + " article retrieved - head follows\r\n"
                  : "222 " + ids + " article retrieved - body follows\r\n";
  if (article || head)
    reply += x.Head;
  if (article)
    reply += "\r\n";
  if (!article && !body) {
    SendAll(c.Fd, reply + ".\r\n");
    return;
  }
  while (FHeld == x.Article.Number && Sleep(5)) {
  }
  bool cut = false, reset = false;
  {
    std::lock_guard<std::mutex> hold(FLock);
    auto it = std::find_if(FCuts.begin(), FCuts.end(),
                           [&](const TCut& k) { return k.Number == x.Article.Number && k.Times > 0; });
    if (it != FCuts.end()) {
      --it->Times;
      cut = true;
      reset = it->Reset;
    }
  }
  if (cut) {
    SendAll(c.Fd, reply, true);
    SendAll(c.Fd, x.Body.data(), x.HalfBody);
    EndConnection(c.Fd, reset);
    return;
  }
  SendAll(c.Fd, reply, true);
  SendAll(c.Fd, x.Body, true);
  SendAll(c.Fd, ".\r\n");
}

void TScriptedNewsServer::SendOverviewFormat(TGroupConnection& c) {
  std::string reply = "215 Order of fields in overview database.\r\n";
  for (const std::string& entry : FOverviewFormat)
    reply += entry + "\r\n";
  SendAll(c.Fd, reply + ".\r\n");
}

void TScriptedNewsServer::ServeNumberedGroup(std::string groupName, std::int64_t count, int bodyLines) {
  FNumbered = count;
  FNumberedLines = bodyLines;
  ServeGroup(std::move(groupName), {});
}

namespace {

// Article n of a numbered group: its header, and its body with CR LF.
TNewsArticle NumberedArticle(std::int64_t n, int lines) {
  const std::string number = std::to_string(n);
  return {n,
          {"From: vostel <test@vostel.test>", "Subject: article " + number,
           "Message-ID: <" + number + "@vostel.test>", "Lines: " + std::to_string(lines)},
          {},
          1};
}

std::string NumberedBody(std::int64_t n, int lines) {
  std::string body;
  for (int i = 0; i < lines; ++i)
    body += "Line " + std::to_string(i) + " of article " + std::to_string(n) + "\r\n";
  return body;
}

} // namespace

// The numbered group's articles are made for each reply; an overview of
// any range goes out in pieces, so that its size costs nothing.
void TScriptedNewsServer::ServeNumberedCommand(TGroupConnection& c, const std::string& verb,
                                               const std::string& arg) {
  if (verb == "LIST" && Lower(arg) == "overview.fmt" && !FOverviewFormat.empty())
    return SendOverviewFormat(c);
  if (verb == "GROUP") {
    if (arg != FGroupName)
      return (void)SendAll(c.Fd, "411 No such news group\r\n");
    c.GroupSelected = true;
    c.Current = 1;
    SendAll(c.Fd, "211 " + std::to_string(FNumbered) + " 1 " + std::to_string(FNumbered) + " " + FGroupName +
                      "\r\n");
    return;
  }
  if (!c.GroupSelected)
    return (void)SendAll(c.Fd, "412 No newsgroup has been selected\r\n");
  if (verb == "XOVER") {
    std::int64_t from = 0, to = 0;
    const std::size_t dash = arg.find('-');
    const std::string a = arg.substr(0, dash), b = dash == std::string::npos ? a : arg.substr(dash + 1);
    if (!ParseNumber(a, from) || (!b.empty() && !ParseNumber(b, to)))
      return (void)SendAll(c.Fd, "501 Syntax error\r\n");
    if (b.empty() || to > FNumbered)
      to = FNumbered;
    if (from < 1)
      from = 1;
    if (from > to)
      return (void)SendAll(c.Fd, "420 No article(s) selected\r\n");
    const std::size_t lines = std::size_t(FNumberedLines);
    std::string reply = "224 Overview information follows\r\n";
    for (std::int64_t n = from; n <= to && !FStop; ++n) {
      const TNewsArticle h = NumberedArticle(n, FNumberedLines);
      const std::size_t bytes = NumberedBody(n, FNumberedLines).size();
      reply += std::to_string(n);
      for (const std::string& entry : FOverviewFormat) {
        reply += '\t';
        reply += OverviewField(h, entry, bytes, lines);
      }
      reply += "\r\n";
      if (reply.size() >= 65536 && !SendAll(c.Fd, std::exchange(reply, {}), true))
        return;
    }
    SendAll(c.Fd, reply + ".\r\n");
    return;
  }
  std::int64_t n = std::int64_t(c.Current);
  if (verb == "NEXT" && !FRefuseNext) {
    if (n >= FNumbered)
      return (void)SendAll(c.Fd, "421 No next article in this group\r\n");
    c.Current = std::size_t(++n);
    SendAll(c.Fd, "223 " + std::to_string(n) + " <" + std::to_string(n) + "@vostel.test>\r\n");
    return;
  }
  const bool article = verb == "ARTICLE", head = verb == "HEAD", bodyOnly = verb == "BODY",
             stat = verb == "STAT";
  if (!article && !head && !bodyOnly && !stat)
    return (void)SendAll(c.Fd, "500 Command not recognized\r\n");
  if (!arg.empty() && !ParseNumber(arg, n))
    return (void)SendAll(c.Fd, "501 Syntax error\r\n");
  if (n < 1 || n > FNumbered)
    return (void)SendAll(c.Fd, "423 No such article number in this group\r\n");
  c.Current = std::size_t(n);
  const std::string ids = std::to_string(n) + " <" + std::to_string(n) + "@vostel.test>";
  if (stat)
    return (void)SendAll(c.Fd, "223 " + ids + " article retrieved - request text separately\r\n");
  std::string reply = (article ? "220 " : head ? "221 " : "222 ") + ids + " article follows\r\n";
  if (!bodyOnly)
    for (const std::string& h : NumberedArticle(n, FNumberedLines).Header)
      reply += h + "\r\n";
  if (article)
    reply += "\r\n";
  if (!head)
    reply += NumberedBody(n, FNumberedLines);
  SendAll(c.Fd, reply + ".\r\n");
}
