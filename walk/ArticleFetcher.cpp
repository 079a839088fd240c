#include "walk/ArticleFetcher.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/HiddenWindow.h"

#include <QTimer>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <exception>
#include <limits>

namespace {

// Hands the next article waiting in the buffer to the owner.
const unsigned WM_DELIVER = 0x0400 + 1;
// Carries out a stop after the article being handed over, outside the
// connection's own events.
const unsigned WM_STOP_AFTER = 0x0400 + 2;

constexpr int MaxConnections = 50;
constexpr int MaxDepth = 100;
// The back-off of the window's controller: 1, 2, 4, ... 60 s, ten tries.
constexpr int MaxReconnectTries = 10;
constexpr int MaxReconnectSeconds = 60;
constexpr std::uint16_t FirstSocketError = 10000;
constexpr std::uint16_t LineTooLong = 10053;
constexpr std::uint16_t LogInRequired = 480;
constexpr std::uint16_t NoSuchGroup = 411;
// A body that waits its turn gets a first block of what the overview says
// it holds, each block after it twice the one before, within these bounds:
// few blocks for a large body, little room unused for a small one.
constexpr std::int64_t LineBytesGuess = 130;
constexpr std::size_t MinBlock = 4096;
constexpr std::size_t MaxBlock = 1024 * 1024;
// No article has this number.
constexpr std::int64_t NoArticle = std::numeric_limits<std::int64_t>::min();

} // namespace

struct TArticleFetcher::TConnection {
  int Number = 0; // 1 for the first, as the log shows it
  TNntpCli Nntp;
  enum TPhase : std::uint8_t { Down, Connecting, Group, LogIn, Ready, Retired } Phase = Down;
  // A request whose end has not come: an article's, the overview of the
  // block Number..Last, or the STAT or NEXT of a seek after Number.
  struct TSent {
    std::int64_t Number;
    std::int64_t Last;
    bool Scan;
    bool Alone; // went out one request at a time
    bool Seek = false;
    bool Proven = false; // a later reply on the connection fitted its request
  };
  std::deque<TSent> Sent;      // in the order asked
  TArticle* Current = nullptr; // whose reply is being read
  bool Scanning = false;       // the reply being read is the overview's of ScanFirst..ScanLast
  std::int64_t ScanFirst = 0;
  std::int64_t ScanLast = 0;
  bool ScanChecked = false; // a line outside the block is another request's
  bool ScanInBlock = false; // a line of the block has come
  bool ScanStray = false;   // and one outside it
  // The articles refused since the last reply that fitted its request, not
  // handed over.
  std::vector<std::int64_t> Unproven;
  bool Stood = false;      // has had the group selected since the start
  bool NeedsLogIn = false; // answered 480: log in once nothing is in flight
  bool LoggedIn = false;
  bool Selected = false; // the group is selected
  bool Cut = false;      // closed on a line too long: the first request cut is passed over
  // A seek's NEXT goes out behind its STAT, and nothing behind the NEXT: the
  // number it names is read from the client once it has ended.
  enum TSeekStep : std::uint8_t { NoSeek, NextDue, NextOut } Seek = NoSeek;
  std::uint16_t StatError = 0; // of the seek's STAT, once ended
  bool StatAgain = false;      // and whether that means asking again
  int Tries = 0;
  QTimer Reconnect; // the wait before the next try
  QTimer Pace;      // the gap before the next request
};

TArticleFetcher::TArticleFetcher()
    : FWindow(std::make_unique<THiddenWindow>([this](unsigned msg, std::uintptr_t wParam, std::intptr_t) {
        if (msg == WM_DELIVER)
          Deliver(wParam);
        else if (msg == WM_STOP_AFTER)
          StoppedAfter(wParam);
      })) {
  FFill.SetRequest(nntpBodyByID);
  FFill.OnLine = [this](TObject*, std::int64_t n, std::string_view line) { FillLine(n, line); };
  FFill.OnCut = [this](TObject*, std::int64_t n, std::uint16_t e) { FillCut(n, e); };
  FFill.OnEnd = [this](TObject*, std::int64_t n, const std::string& from) { FillEnd(n, from); };
  FFill.OnLog = [this](TObject*, const std::string& text) { Log(text); };
}

void TArticleFetcher::SetRequest(TNntpRequest value) {
  FRequest = value;
  FFill.SetRequest(value == nntpArticleByNumber ? nntpArticleByID : nntpBodyByID);
}

TArticleFetcher::~TArticleFetcher() {
  // Nothing of ours may run while the connections close.
  for (const auto& c : FPool) {
    c->Nntp.OnSessionConnected = nullptr;
    c->Nntp.OnSessionClosed = nullptr;
    c->Nntp.OnRequestDone = nullptr;
    c->Nntp.OnMessageBegin = nullptr;
    c->Nntp.OnMessageLine = nullptr;
    c->Nntp.OnMessageEnd = nullptr;
    c->Nntp.OnDataAvailable = nullptr;
  }
}

void TArticleFetcher::SetConnections(int value) { FConnections = std::clamp(value, 1, MaxConnections); }
void TArticleFetcher::SetDepth(int value) { FDepth = std::clamp(value, 1, MaxDepth); }

int TArticleFetcher::EffectiveDepth() const { return FPacing > 0 || FPipelineBroken ? 1 : FDepth; }

TArticleFetcher::TArticle* TArticleFetcher::Find(std::int64_t Number) {
  const auto it = std::lower_bound(FArticles.begin(), FArticles.end(), Number,
                                   [](const TArticle& a, std::int64_t n) { return a.Number < n; });
  return it != FArticles.end() && it->Number == Number ? &*it : nullptr;
}

std::int64_t TArticleFetcher::Position() const {
  return FArticles.empty() ? FNextFirst : FArticles.front().Number;
}

void TArticleFetcher::Fetch(std::int64_t First, std::int64_t Last,
                            const std::vector<TFetchArticle>& Articles) {
  std::int64_t floor = std::max(First, FNextFirst);
  for (const TFetchArticle& x : Articles) {
    if (x.Number < floor || x.Number > Last || (x.Number >= FPassedFrom && x.Number < FPassedTo))
      continue;
    FArticles.emplace_back(x.Number, x.Lines, x.MessageId);
    floor = x.Number == std::numeric_limits<std::int64_t>::max() ? x.Number : x.Number + 1;
  }
  FNextFirst = std::max(FNextFirst, Last == std::numeric_limits<std::int64_t>::max() ? Last : Last + 1);
  if (FNextFirst >= FPassedFrom)
    FNextFirst = std::max(FNextFirst, FPassedTo);
  PumpAll();
}

void TArticleFetcher::Scan(std::int64_t First, std::int64_t Last) {
  FScans.push_back({First, Last});
  PumpAll();
}

void TArticleFetcher::Seek(std::int64_t After) {
  FSeek = TSeek{After};
  PumpAll();
}

void TArticleFetcher::Pass(std::int64_t To) { Pass(NoArticle, To); }

// What the connections are reading is found again by number after the
// erase: a reply to an article passed over is read and dropped.
void TArticleFetcher::Pass(std::int64_t From, std::int64_t To) {
  if (FNextFirst >= From) {
    FNextFirst = std::max(FNextFirst, To);
  } else {
    FPassedFrom = From;
    FPassedTo = To;
  }
  const bool inHand = !FArticles.empty() && FArticles.front().Streaming;
  const auto first = std::lower_bound(FArticles.begin() + (inHand ? 1 : 0), FArticles.end(), From,
                                      [](const TArticle& a, std::int64_t n) { return a.Number < n; });
  const auto last = std::lower_bound(first, FArticles.end(), To,
                                     [](const TArticle& a, std::int64_t n) { return a.Number < n; });
  if (first == last)
    return;
  std::vector<std::int64_t> reading;
  for (const auto& c : FPool)
    reading.push_back(c->Current ? c->Current->Number : NoArticle);
  for (auto a = first; a != last; ++a) {
    std::vector<TBlock> blocks = Release(*a);
    GiveBack(blocks);
  }
  FArticles.erase(first, last);
  for (std::size_t i = 0; i < FPool.size(); ++i)
    FPool[i]->Current = Find(reading[i]);
  if (inHand)
    PumpAll();
  else
    Advance();
  RethrowPending();
}

// ---- the pool ----

void TArticleFetcher::Start() {
  Stop();
  FRunning = true;
  FRefusalLogged = FEverConnected = false;
  FSpeaker = 0;
  FToldStanding = FConnections;
  while (FPool.size() < std::size_t(FConnections)) {
    auto& c = *FPool.emplace_back(std::make_unique<TConnection>());
    c.Number = int(FPool.size());
    c.Nntp.OnSessionConnected = [this, &c](TObject*, std::uint16_t e) { SessionConnected(c, e); };
    c.Nntp.OnSessionClosed = [this, &c](TObject*, std::uint16_t) { SessionClosed(c); };
    c.Nntp.OnRequestDone = [this, &c](TObject*, TNntpRequest rq, std::uint16_t e) { RequestDone(c, rq, e); };
    c.Nntp.OnMessageBegin = [this, &c](TObject*) { MessageBegin(c); };
    c.Nntp.OnMessageLine = [this, &c](TObject*) { MessageLine(c); };
    c.Nntp.OnMessageEnd = [this, &c](TObject*) { MessageEnd(c); };
    c.Nntp.OnDataAvailable = [this, &c](TObject*, std::uint16_t) { Unasked(c); };
    c.Reconnect.setSingleShot(true);
    QObject::connect(&c.Reconnect, &QTimer::timeout, &c.Reconnect, [this, &c] {
      Guarded([this, &c] {
        try {
          Connect(c);
        } catch (const std::exception& e) { // a try that cannot even start is one more failed try
          Log(e.what());
          ScheduleReconnect(c);
        }
      });
    });
    c.Pace.setSingleShot(true);
    c.Pace.setTimerType(Qt::PreciseTimer); // never a little early
    QObject::connect(&c.Pace, &QTimer::timeout, &c.Pace, [this, &c] { Guarded([this, &c] { Pump(c); }); });
  }
  for (const auto& c : FPool) {
    c->Tries = 0;
    c->Stood = false;
    c->Phase = c->Number <= FConnections ? TConnection::Down : TConnection::Retired;
  }
  try {
    for (const auto& c : FPool)
      if (c->Phase == TConnection::Down)
        Connect(*c);
  } catch (...) {
    Stop();
    throw;
  }
}

// Each connection logs in when asked, over TLS when the entry says so, and
// is used one request at a time until its group is selected.
void TArticleFetcher::Connect(TConnection& c) {
  TNntpCli& n = c.Nntp;
  if (n.State() != nntpNotConnected)
    n.Abort();
  n.SetHost(FServer.Host);
  n.SetPort(FServer.Port);
  n.SetTls(FServer.Tls);
  n.SetUserName(FServer.User);
  n.SetPassWord(FPassWord);
  n.SetTimeout(FTimeout);
  if (!FTlsCAFile.empty())
    n.WSocket().SetTlsCAFile(FTlsCAFile);
  // The overview compresses a dozen times, a yEnc body not at all, and the
  // server spends a processor on every byte it compresses: of a pool of
  // several, the first connection compresses and carries the overview; the
  // others carry the bodies plainly.
  n.SetCompress(FCompress && &c == FPool.front().get());
  n.SetPipelineDepth(1);
  c.Phase = TConnection::Connecting;
  c.Sent.clear();
  c.Unproven.clear();
  c.Current = nullptr;
  c.Scanning = false;
  c.Seek = TConnection::NoSeek;
  c.NeedsLogIn = c.LoggedIn = c.Selected = c.Cut = false;
  n.Connect();
}

void TArticleFetcher::Stop() { Halt(false); }

// Drops everything in flight; the articles wait to be asked for again. With
// Quit, a connection that waits for nothing says goodbye to the server.
void TArticleFetcher::Halt(bool Quit) {
  ++FGeneration;
  FRunning = FStopAfter = FDeliverPosted = false;
  for (const auto& c : FPool) {
    c->Reconnect.stop();
    c->Pace.stop();
    c->Sent.clear();
    c->Unproven.clear();
    c->Current = nullptr;
    c->Scanning = false;
    c->Seek = TConnection::NoSeek;
    if (Quit && c->Phase == TConnection::Ready && c->Nntp.State() == nntpReady)
      c->Nntp.Quit();
    else if (c->Nntp.State() != nntpNotConnected)
      c->Nntp.Abort();
    if (c->Phase != TConnection::Retired)
      c->Phase = TConnection::Down;
  }
  for (TArticle& a : FArticles) {
    Release(a);
    a = Afresh(a);
  }
  FBuffered = 0;
  DropPool();
  FScans.clear();
  FSeek.reset();
  FFill.Stop(Quit);
}

void TArticleFetcher::Forget() {
  Halt(false);
  FArticles.clear();
  FNextFirst = 0;
  FPassedFrom = FPassedTo = std::numeric_limits<std::int64_t>::min();
}

void TArticleFetcher::StopAfter() {
  if (!FRunning)
    return;
  FStopAfter = true;
  for (const auto& c : FPool) {
    c->Reconnect.stop();
    c->Pace.stop();
  }
  CheckStopAfter();
  RethrowPending();
}

// Done once no article is being handed over: the requests behind it are
// dropped as a stop drops them, and wait for the next start.
void TArticleFetcher::CheckStopAfter() {
  if (FRunning && FStopAfter && (FArticles.empty() || !FArticles.front().Streaming))
    FWindow->PostMessage(WM_STOP_AFTER, FGeneration);
}

void TArticleFetcher::StoppedAfter(std::uintptr_t Generation) {
  if (Generation != FGeneration || !FRunning || !FStopAfter ||
      (!FArticles.empty() && FArticles.front().Streaming))
    return;
  Halt(true);
  Raise([this] {
    if (OnStopped)
      OnStopped(this, "");
  });
}

void TArticleFetcher::StopWith(const std::string& Text) {
  Log(Text);
  Stop();
  Raise([this, &Text] {
    if (OnStopped)
      OnStopped(this, Text);
  });
}

void TArticleFetcher::Log(const std::string& Text) {
  Raise([this, &Text] {
    if (OnLog)
      OnLog(this, Text);
  });
}

void TArticleFetcher::RethrowPending() {
  if (FPendingError)
    std::rethrow_exception(std::exchange(FPendingError, nullptr));
}

// ---- connections ----

void TArticleFetcher::SessionConnected(TConnection& c, std::uint16_t Error) {
  if (!FRunning || c.Phase != TConnection::Connecting || Error != 0)
    return; // a failed connect ends with its request
  // 400, 481, 502: this server takes no more connections of ours now.
  if (c.Nntp.StatusCode() >= 400) {
    ConnectFailed(c, c.Nntp.LastResponse());
    RethrowPending();
    return;
  }
  FEverConnected = true;
  c.Phase = TConnection::Group;
  c.Nntp.Group(FGroup);
}

// A refused connection tries again with the back-off like a lost one: a
// server that is restarting, or has no slot free for us now, may have one
// in a moment. The first refusal since the start is logged.
void TArticleFetcher::ConnectFailed(TConnection& c, std::string Reason) {
  if (c.Nntp.State() != nntpNotConnected)
    c.Nntp.Abort();
  c.Phase = TConnection::Down;
  if (!c.Stood && c.Tries == 0 && !std::exchange(FRefusalLogged, true))
    Log(FServer.Host + " refused connection " + IntToStr(c.Number) + " of " + IntToStr(FConnections) + ": " +
        Reason);
  Lost(c);
}

// The requests cut short end first; then the connection goes again. What
// it refused since its last reply that fitted is asked for again.
void TArticleFetcher::SessionClosed(TConnection& c) {
  if (!FRunning || c.Phase == TConnection::Retired || c.Phase == TConnection::Connecting)
    return;
  c.Current = nullptr;
  c.Scanning = false;
  c.Phase = TConnection::Down;
  const bool again = AskUnprovenAgain(c);
  // A seek whose STAT has ended and whose NEXT had yet to go goes again.
  if (c.Seek == TConnection::NextDue && (c.Sent.empty() || !c.Sent.back().Seek)) {
    c.Seek = TConnection::NoSeek;
    if (FSeek)
      FSeek->Sent = false;
  }
  if (c.Sent.empty()) {
    Lost(c);
    // The overview that waited for the connection that compressed goes
    // over the others now.
    if (again || &c == FPool.front().get())
      PumpAll();
  }
  RethrowPending();
}

void TArticleFetcher::Lost(TConnection& c) {
  if (FStopAfter)
    CheckStopAfter();
  else
    ScheduleReconnect(c);
}

// A connection that has not stood yet tries quietly while others fetch,
// and while none does only the first to fail says so: a provider's limit
// must not fill the log with the tries of every connection past it.
void TArticleFetcher::ScheduleReconnect(TConnection& c) {
  c.Phase = TConnection::Down;
  if (!c.Stood && FSpeaker == 0)
    FSpeaker = c.Number;
  const bool quiet = !c.Stood && (Standing() > 0 || c.Number != FSpeaker);
  if (++c.Tries > MaxReconnectTries) {
    c.Phase = TConnection::Retired;
    if (!quiet)
      Log("Connection " + IntToStr(c.Number) + " lost");
    TellStanding();
    CheckAlive();
    return;
  }
  const int seconds = std::min(1 << (c.Tries - 1), MaxReconnectSeconds);
  if (!quiet)
    Log("Connection " + IntToStr(c.Number) + " reconnecting in " + IntToStr(seconds) + " s (try " +
        IntToStr(c.Tries) + " of " + IntToStr(MaxReconnectTries) + ")");
  c.Reconnect.start(FReconnectDelay * seconds);
  TellStanding();
}

// A connection that has just had the group selected or logged in waits the
// pacing like after any other reply.
void TArticleFetcher::PaceOrPump(TConnection& c) {
  if (FPacing > 0)
    c.Pace.start(FPacing);
  else
    Pump(c);
}

// The connections the fetching has: those that have stood since the start
// and are not given up, a lost one waiting for its next try included.
int TArticleFetcher::Standing() const {
  return int(std::count_if(FPool.begin(), FPool.end(),
                           [](const auto& c) { return c->Stood && c->Phase != TConnection::Retired; }));
}

// Once no connection is being made, says how many the fetching has, when
// that differs from what was said last (at the start: all of them). With
// none, the reconnect lines say what goes on.
void TArticleFetcher::TellStanding() {
  for (const auto& c : FPool)
    if (c->Phase == TConnection::Connecting || c->Phase == TConnection::Group ||
        c->Phase == TConnection::LogIn)
      return;
  const int standing = Standing();
  if (standing == 0 || standing == std::exchange(FToldStanding, standing))
    return;
  Log("Fetching over " + IntToStr(standing) + " of " + IntToStr(FConnections) + " connections");
}

// With no connection left, or waiting to come back, the fetcher stops.
void TArticleFetcher::CheckAlive() {
  for (const auto& c : FPool)
    if (c->Phase != TConnection::Retired &&
        (c->Phase != TConnection::Down || c->Reconnect.isActive() || !c->Sent.empty()))
      return;
  StopWith(FEverConnected ? "Connection lost" : "Not Connected");
}

void TArticleFetcher::LogIn(TConnection& c) {
  if (FServer.User.empty() || FPassWord.empty()) {
    StopWith("Log-in needed by " + FServer.Host + ": set a user and password in Configure");
    return;
  }
  // Logged in and still asked: the log-in does not open this to us.
  if (c.LoggedIn) {
    StopWith("Log-in refused by " + FServer.Host);
    return;
  }
  c.Phase = TConnection::LogIn;
  c.Nntp.Authenticate();
}

void TArticleFetcher::RequestDone(TConnection& c, TNntpRequest RqType, std::uint16_t Error) {
  if (!FRunning || (RqType == nntpAbort && Error == 0))
    return; // our own abort's report
  if (c.Phase == TConnection::Connecting) {
    // The end of an earlier connection's request may still come while a
    // new one is being made; a failed connect leaves the client closed.
    if (c.Nntp.State() == nntpNotConnected)
      ConnectFailed(c, "Error #" + IntToStr(Error));
  } else if (RqType == nntpXOver && !c.Sent.empty() && c.Sent.front().Scan) {
    ScanDone(c, Error);
  } else if ((RqType == nntpStatByNumber || RqType == nntpNext) && !c.Sent.empty() && c.Sent.front().Seek) {
    SeekDone(c, RqType, Error);
  } else if (RqType == FRequest && !c.Sent.empty()) {
    ArticleDone(c, Error);
  } else if (c.Phase == TConnection::Group && RqType == nntpGroup) {
    GroupDone(c, Error);
  } else if (c.Phase == TConnection::LogIn && RqType == nntpAuthenticate) {
    LogInDone(c, Error);
  }
  RethrowPending();
}

// A connection that closes runs SessionClosed first; a request that ends
// with a socket error here never had a connection to close.
void TArticleFetcher::GroupDone(TConnection& c, std::uint16_t Error) {
  if (Error >= FirstSocketError) {
    Lost(c);
  } else if (Error == 0) {
    c.Selected = c.Stood = true;
    c.Phase = TConnection::Ready;
    c.Nntp.SetPipelineDepth(EffectiveDepth());
    Stands(c);
    TellStanding();
    PaceOrPump(c);
  } else if (Error == LogInRequired) {
    c.NeedsLogIn = true;
    LogIn(c);
  } else {
    StopWith("Group " + FGroup + (Error == NoSuchGroup ? " not found on " : " refused by ") + FServer.Host);
  }
}

void TArticleFetcher::LogInDone(TConnection& c, std::uint16_t Error) {
  if (Error >= FirstSocketError) {
    Lost(c);
    return;
  }
  if (Error != 0) {
    StopWith("Log-in refused by " + FServer.Host);
    return;
  }
  c.LoggedIn = true;
  c.NeedsLogIn = false;
  c.Phase = c.Selected ? TConnection::Ready : TConnection::Group;
  Stands(c);
  if (c.Selected)
    PaceOrPump(c);
  else
    c.Nntp.Group(FGroup);
}

// A connection compresses once it has logged in, if it ever does.
void TArticleFetcher::Stands(TConnection& c) {
  if (c.Nntp.Compressed() && !std::exchange(FCompressionTold, true))
    Log("Compressed transfers with " + FServer.Host);
}

std::int64_t TArticleFetcher::LinkBytesReceived() const {
  std::int64_t bytes = FFill.LinkBytesReceived();
  for (const auto& c : FPool)
    bytes += c->Nntp.LinkBytesReceived();
  return bytes;
}

// ---- articles ----

// What the end of any request on connection c tells about the connection.
// Answered: the server answered it, though the connection went with it.
void TArticleFetcher::NoteEnd(TConnection& c, std::uint16_t Error, bool Alone, bool Answered) {
  if (Answered || (Error < FirstSocketError && Error != LogInRequired))
    c.Tries = 0; // the connection carries requests again: a later loss has all its tries
  if (FPacing > 0 && c.Phase == TConnection::Ready)
    c.Pace.start(FPacing);
  if (Error == LogInRequired)
    c.NeedsLogIn = true;
  // One at a time, a reply that does not fit is the server's answer, not a
  // fault of pipelining.
  if (Error == NntpPipelineError && !Alone && !std::exchange(FPipelineBroken, true))
    Log(FServer.Host + " mishandles pipelined requests: one request at a time from now on");
}

// After a request's end: a lost connection comes back once its requests
// have ended, a log-in goes out once nothing is in flight, and the next
// requests go out.
void TArticleFetcher::GoOnAfter(TConnection& c) {
  if (c.Phase == TConnection::Down) {
    if (c.Sent.empty())
      Lost(c);
  } else if (c.NeedsLogIn) {
    if (c.Sent.empty())
      LogIn(c);
  }
  PumpAll();
  CheckStopAfter();
}

// The overview goes out again when it was cut short or refused for want of
// a log-in; a line too long would cut it again, and is passed over.
void TArticleFetcher::ScanDone(TConnection& c, std::uint16_t Error) {
  const std::uintptr_t generation = FGeneration;
  const TConnection::TSent sent = c.Sent.front();
  const std::int64_t first = sent.Number;
  c.Sent.pop_front();
  // Of the requests a line too long cuts, the first is the one that holds it.
  const bool longLine = Error == LineTooLong && !std::exchange(c.Cut, true);
  NoteEnd(c, Error, sent.Alone, longLine);
  const bool again = Error == LogInRequired || (Error >= FirstSocketError && !longLine);
  const auto scan =
      std::find_if(FScans.begin(), FScans.end(), [first](const TScan& x) { return x.First == first; });
  if (scan != FScans.end() && again)
    scan->Sent = false;
  else if (scan != FScans.end())
    FScans.erase(scan);
  // One cut behind another's line too long never began: it just goes again.
  if (Error != LogInRequired && !(again && Error == LineTooLong))
    Raise([this, first, Error] {
      if (OnScanEnd)
        OnScanEnd(this, first, Error);
    });
  if (generation == FGeneration)
    GoOnAfter(c);
}

// A seek ends with its NEXT, or with its STAT when that was refused before
// the NEXT went. It goes out again when either was cut short or refused for
// want of a log-in; the first that failed otherwise says why it failed.
void TArticleFetcher::SeekDone(TConnection& c, TNntpRequest RqType, std::uint16_t Error) {
  const std::uintptr_t generation = FGeneration;
  const TConnection::TSent sent = c.Sent.front();
  const std::int64_t after = sent.Number;
  c.Sent.pop_front();
  const bool longLine = Error == LineTooLong && !std::exchange(c.Cut, true);
  NoteEnd(c, Error, sent.Alone, longLine);
  const bool again = Error == LogInRequired || (Error >= FirstSocketError && !longLine);
  if (RqType == nntpStatByNumber && (Error == 0 || c.Seek == TConnection::NextOut)) {
    c.StatError = Error; // the NEXT goes, or has gone, behind it
    c.StatAgain = again;
  } else {
    const bool fromStat = RqType == nntpNext && c.StatError != 0;
    const std::uint16_t error = fromStat ? c.StatError : Error;
    // NEXT has ended and nothing went behind it: the number is its own.
    const std::int64_t number = error == 0 ? c.Nntp.ArticleNumber() : 0;
    c.Seek = TConnection::NoSeek;
    if (fromStat ? c.StatAgain : again) {
      if (FSeek)
        FSeek->Sent = false;
    } else {
      FSeek.reset();
      Raise([this, after, number, error] {
        if (OnSeekEnd)
          OnSeekEnd(this, after, number, error);
      });
    }
  }
  if (generation == FGeneration)
    GoOnAfter(c);
}

// An article's request has ended on connection c: it is handed over, held
// for its turn, or asked for again.
void TArticleFetcher::ArticleDone(TConnection& c, std::uint16_t Error) {
  const std::uintptr_t generation = FGeneration;
  const TConnection::TSent sent = c.Sent.front();
  c.Sent.pop_front();
  // Of the requests a line too long cuts, the first is the one that holds it.
  const bool longLine = Error == LineTooLong && !std::exchange(c.Cut, true);
  NoteEnd(c, Error, sent.Alone, longLine);
  TArticle* a = Find(sent.Number);
  if (a && a->State == TArticle::Sent) { // one that came whole has been settled as it ended
    // Answered with another article, one request at a time, on two connections.
    const bool misanswered = Error == NntpPipelineError && sent.Alone && ++a->AloneMisfits >= 2;
    if (longLine || misanswered) {
      Settle(*a, Error);
    } else if (Error == LogInRequired || a->Discarding || Error >= FirstSocketError) {
      AskAgain(*a, Error);
    } else if (Error != 0 && !sent.Proven && !a->Refused) {
      // A refusal may be the answer to another request: it waits until the
      // connection shows it is not, and is asked for again if it goes first.
      if (c.Phase == TConnection::Ready) {
        a->State = TArticle::Arrived;
        a->Error = Error;
        a->Unproven = true;
        c.Unproven.push_back(a->Number);
      } else {
        a->Refused = true;
        AskAgain(*a, Error);
      }
    } else {
      Settle(*a, Error);
    }
    if (generation != FGeneration)
      return;
  }
  GoOnAfter(c);
}

// Cut short, refused for want of a log-in, or too big to hold: the article
// waits to go out again. One whose lines were being handed over tells its
// owner they are void.
void TArticleFetcher::AskAgain(TArticle& a, std::uint16_t Error) {
  const bool streamed = a.Streaming;
  std::vector<TBlock> blocks = Release(a);
  GiveBack(blocks);
  const bool inOrderOnly = a.InOrderOnly, refused = a.Refused;
  const std::uint8_t misfits = a.AloneMisfits;
  a = Afresh(a);
  a.InOrderOnly = inOrderOnly;
  a.Refused = refused;
  a.AloneMisfits = misfits;
  if (streamed)
    Raise([this, &a, Error] {
      if (OnArticleEnd)
        OnArticleEnd(this, a.Number, Error);
    });
}

// The article has come (or was refused): the next in order ends now, any
// other waits for its turn.
void TArticleFetcher::Settle(TArticle& a, std::uint16_t Error) {
  if (StartFill(a, Error))
    return;
  a.State = TArticle::Arrived;
  a.Error = Error;
  // After A only the article whose lines were going over ends.
  if (&a != &FArticles.front() || (FStopAfter && !a.Streaming))
    return;
  const std::int64_t number = a.Number;
  FArticles.pop_front();
  Raise([this, number, Error] {
    if (OnArticleEnd)
      OnArticleEnd(this, number, Error);
  });
  Advance();
}

// The article waits to go out again; what it is stays.
TArticleFetcher::TArticle TArticleFetcher::Afresh(TArticle& a) {
  return TArticle(a.Number, a.Lines, std::move(a.MessageId));
}

// ---- the fill servers ----

// A refusal that is final goes to the fill servers, once, when they may be
// asked for the article: it keeps its turn, and is asked for when that
// comes, so that its lines come straight through.
bool TArticleFetcher::StartFill(TArticle& a, std::uint16_t Error) {
  if ((Error != 430 && Error != 423) || a.MessageId.empty() || !FFill.Any() || a.State == TArticle::Filling)
    return false;
  a.State = TArticle::Filling;
  a.Error = Error;
  a.FillAsked = false;
  if (&a == &FArticles.front())
    AskFill(a);
  return true;
}

// May end at once, when every fill server is left out.
void TArticleFetcher::AskFill(TArticle& a) {
  a.FillAsked = true;
  const std::int64_t number = a.Number;
  FFill.Ask(number, a.MessageId);
}

void TArticleFetcher::FillLine(std::int64_t Number, std::string_view Line) {
  TArticle* a = Find(Number);
  if (!FRunning || !a || a->State != TArticle::Filling || a != &FArticles.front())
    return;
  if (!a->Streaming) {
    a->Streaming = a->Begun = true;
    if (OnArticleBegin)
      OnArticleBegin(this, a->Number, a->Lines);
    a = Find(Number); // the owner may have stopped meanwhile
    if (!a || a->State != TArticle::Filling)
      return;
  }
  if (OnArticleLine)
    OnArticleLine(this, Number, Line);
}

// The lines given are void; the fill asks again, from the same server.
void TArticleFetcher::FillCut(std::int64_t Number, std::uint16_t Error) {
  TArticle* a = Find(Number);
  if (!FRunning || !a || a->State != TArticle::Filling || !a->Streaming)
    return;
  a->Streaming = a->Begun = false;
  // Never a code the owner reads as an article passed over.
  const std::uint16_t error = Error < FirstSocketError || Error == LineTooLong || Error == NntpPipelineError
                                  ? std::uint16_t(10054)
                                  : Error;
  Raise([this, Number, error] {
    if (OnArticleEnd)
      OnArticleEnd(this, Number, error);
  });
  RethrowPending();
}

// The fill servers have answered: the article ends in its turn, whole or
// with this server's refusal, and the log says where it came from.
void TArticleFetcher::FillEnd(std::int64_t Number, const std::string& From) {
  TArticle* a = Find(Number);
  if (!FRunning || !a || a->State != TArticle::Filling || a != &FArticles.front())
    return;
  const std::uint16_t error = From.empty() ? a->Error : 0;
  FArticles.pop_front();
  Raise([this, Number, error] {
    if (OnArticleEnd)
      OnArticleEnd(this, Number, error);
  });
  const std::string number = IntToStr(Number);
  if (!From.empty()) {
    Log("Article " + number + " not on " + FServer.Host + ", fetched from " + From);
  } else {
    std::string hosts = FServer.Host;
    for (const std::string& host : FFill.Hosts())
      hosts += ", " + host;
    Log("Article " + number + " is on no server (" + hosts + ")");
  }
  if (FRunning)
    Advance();
  RethrowPending();
}

// Replies fit their requests: the refusals read for the requests before
// request Before on c were theirs, and are handed over in their turn.
void TArticleFetcher::Fitted(TConnection& c, std::size_t Before) {
  for (std::size_t i = 0; i < Before && i < c.Sent.size(); ++i)
    c.Sent[i].Proven = true;
  for (const std::int64_t number : std::exchange(c.Unproven, {}))
    if (TArticle* a = Find(number))
      a->Unproven = false;
  if (!FArticles.empty() && FArticles.front().State == TArticle::Arrived && !FArticles.front().Unproven)
    Advance();
}

// The refusals read on c since its last reply that fitted may have been
// other requests' answers: each goes out again, and is final when refused
// again. True when any goes out again.
bool TArticleFetcher::AskUnprovenAgain(TConnection& c) {
  bool any = false;
  for (const std::int64_t number : std::exchange(c.Unproven, {}))
    if (TArticle* a = Find(number); a && a->Unproven) {
      a->Refused = any = true;
      AskAgain(*a, a->Error);
    }
  return any;
}

// A line came while nothing was asked for on c: a reply out of step with
// the requests, perhaps the one meant for an article whose refusal came in
// its place. With such refusals waiting, the connection goes and they go
// out again; otherwise the line is a server's farewell or the like.
void TArticleFetcher::Unasked(TConnection& c) {
  if (FRunning && c.Phase == TConnection::Ready && c.Nntp.State() == nntpReady && !c.Unproven.empty())
    c.Nntp.Abort();
  RethrowPending();
}

void TArticleFetcher::MessageBegin(TConnection& c) {
  if (!FRunning || c.Phase != TConnection::Ready)
    return;
  // The first of the requests whose replies have not ended yet.
  const std::size_t ended = c.Sent.size() - std::size_t(c.Nntp.InFlight());
  const bool any = ended < c.Sent.size();
  c.Scanning = any && c.Sent[ended].Scan;
  c.ScanFirst = any ? c.Sent[ended].Number : 0;
  c.ScanLast = any ? c.Sent[ended].Last : 0;
  c.ScanChecked = c.Scanning && !c.Sent[ended].Alone;
  c.ScanInBlock = c.ScanStray = false;
  c.Current = nullptr;
  if (!any)
    return;
  // An article that names the number asked for shows that the replies
  // before it were theirs.
  const std::int64_t number = c.Sent[ended].Number;
  const bool article = !c.Scanning && !c.Sent[ended].Seek;
  if (article && c.Nntp.ArticleNumber() == number) {
    const std::uintptr_t generation = FGeneration;
    Fitted(c, ended);
    if (generation != FGeneration || c.Phase != TConnection::Ready)
      return;
  }
  c.Current = article ? Find(number) : nullptr;
  TArticle* a = c.Current;
  if (!a)
    return;
  a->Begun = true;
  if (a == &FArticles.front() && !FStopAfter) {
    a->Streaming = true;
    if (OnArticleBegin)
      OnArticleBegin(this, a->Number, a->Lines);
  }
}

// The number of an overview line, before its first TAB, lies in the block
// asked for; a line without a plain number is for the walk to count.
bool TArticleFetcher::ScanLineFits(TConnection& c) {
  const std::string& line = c.Nntp.LastResponse();
  const std::string_view field = std::string_view(line).substr(0, line.find('\t'));
  std::int64_t number = 0;
  if (field.empty() || field.find_first_not_of("0123456789") != std::string_view::npos ||
      std::from_chars(field.data(), field.data() + field.size(), number).ec != std::errc())
    return true;
  if (number >= c.ScanFirst && number <= c.ScanLast) {
    c.ScanInBlock = true;
    return true;
  }
  c.ScanStray = true;
  return !c.ScanChecked;
}

void TArticleFetcher::MessageLine(TConnection& c) {
  if (c.Scanning) {
    // With other requests in flight, a line of another block is another
    // request's reply: nothing more on this connection can be trusted.
    if (!ScanLineFits(c)) {
      c.Scanning = false;
      c.Nntp.RejectReply();
      RethrowPending();
      return;
    }
    if (OnScanLine)
      OnScanLine(this, c.ScanFirst, c.Nntp.LastResponse());
  }
  TArticle* a = c.Current;
  if (!a)
    return;
  if (a->Streaming) {
    if (OnArticleLine)
      OnArticleLine(this, a->Number, c.Nntp.LastResponse());
  } else if (!a->Discarding) {
    Buffer(*a, c.Nntp.LastResponse());
  }
}

// The reply has come whole: the article is handed over, or waits for its
// turn, now, not when its request's end comes round the event loop, so
// that the next reply on the connection comes straight through when it is
// the next in order.
void TArticleFetcher::MessageEnd(TConnection& c) {
  // An overview whose lines all lie in its block fits its request.
  if (std::exchange(c.Scanning, false) && c.ScanInBlock && !c.ScanStray && c.Phase == TConnection::Ready)
    Fitted(c, c.Sent.size() - std::size_t(c.Nntp.InFlight()));
  TArticle* a = std::exchange(c.Current, nullptr);
  if (a && !a->Discarding)
    Settle(*a, 0);
  RethrowPending();
}

// A line of an article that is not yet in order, in the article's last
// block or in a new one, which never takes the buffer past its limit. With
// no room for the line the article gives back what it holds: it is asked
// for again once it is the next, and then comes straight through.
void TArticleFetcher::Buffer(TArticle& a, std::string_view Line) {
  const std::uint32_t length = std::uint32_t(Line.size());
  const std::size_t need = sizeof length + Line.size();
  if ((a.Blocks.empty() || a.Blocks.back().Size - a.Blocks.back().Used < need) && !TakeBlock(a, need)) {
    std::vector<TBlock> blocks = Release(a);
    GiveBack(blocks);
    a.Discarding = a.InOrderOnly = true;
    return;
  }
  TBlock& b = a.Blocks.back();
  std::memcpy(b.Bytes.get() + b.Used, &length, sizeof length);
  std::memcpy(b.Bytes.get() + b.Used + sizeof length, Line.data(), Line.size());
  b.Used += std::uint32_t(need);
}

// A new last block for the article, of a power of two that holds Need
// bytes, from the pool when it has one of that size. False when the buffer
// has no room for one.
bool TArticleFetcher::TakeBlock(TArticle& a, std::size_t Need) {
  const std::size_t guess =
      a.Blocks.empty()
          ? std::size_t(std::clamp<std::int64_t>(a.Lines, 0, MaxBlock / LineBytesGuess) * LineBytesGuess)
          : std::size_t(a.Blocks.back().Size) * 2;
  const std::size_t room = FBufferLimit - std::min(FBufferLimit, FBuffered);
  std::size_t size = std::bit_ceil(std::clamp(guess, std::max(MinBlock, Need), std::max(MaxBlock, Need)));
  while (size > room && size / 2 >= Need)
    size /= 2;
  if (size > room)
    return false;
  std::vector<std::unique_ptr<char[]>>& free = FFreeBlocks[std::size_t(std::countr_zero(size))];
  std::unique_ptr<char[]> bytes;
  if (!free.empty()) {
    bytes = std::move(free.back());
    free.pop_back();
    FPooled -= size;
  } else {
    // Blocks of other sizes kept free make way, so that what the pool
    // keeps and what the articles hold stay within the limit together.
    for (std::size_t i = FFreeBlocks.size(); i-- > 0;)
      while (!FFreeBlocks[i].empty() && FBuffered + FPooled + size > FBufferLimit) {
        FFreeBlocks[i].pop_back();
        FPooled -= std::size_t(1) << i;
      }
    bytes = std::make_unique_for_overwrite<char[]>(size);
    ++FBlocksAllocated;
  }
  a.Blocks.push_back({std::move(bytes), std::uint32_t(size), 0});
  a.Held += size;
  FBuffered += size;
  return true;
}

// Blocks released from an article go to the pool while it and the articles
// held stay within the limit; the rest, and all of them once stopped, go
// back to the heap.
void TArticleFetcher::GiveBack(std::vector<TBlock>& Blocks) {
  for (TBlock& b : Blocks)
    if (FRunning && std::has_single_bit(b.Size) && FBuffered + FPooled + b.Size <= FBufferLimit) {
      FFreeBlocks[std::size_t(std::countr_zero(b.Size))].push_back(std::move(b.Bytes));
      FPooled += b.Size;
    }
  Blocks.clear();
}

void TArticleFetcher::DropPool() {
  for (auto& free : FFreeBlocks)
    free = std::vector<std::unique_ptr<char[]>>();
  FPooled = 0;
}

// Takes the article's blocks out of the buffer: to be handed over, or, left
// to go, given back to the pool at once.
std::vector<TArticleFetcher::TBlock> TArticleFetcher::Release(TArticle& a) {
  FBuffered -= a.Held;
  a.Held = 0;
  return std::exchange(a.Blocks, {});
}

// The article before the front has been handed over: the front's turn.
void TArticleFetcher::Advance() {
  const std::uintptr_t generation = FGeneration;
  if (FArticles.empty()) {
    if (FRunning && !FStopAfter)
      Raise([this] {
        if (OnIdle)
          OnIdle(this);
      });
  } else if (FStopAfter) {
    // Nothing more goes over after a stop asked for.
  } else if (TArticle& a = FArticles.front(); a.State == TArticle::Filling) {
    if (!a.FillAsked)
      AskFill(a);
  } else if (a.State == TArticle::Arrived) {
    // One article a turn of the event loop: a full buffer is handed over
    // without holding the loop for long. A refusal not shown to be this
    // article's waits; a final one may go to the fill servers.
    if (!a.Unproven && !StartFill(a, a.Error) && !std::exchange(FDeliverPosted, true))
      FWindow->PostMessage(WM_DELIVER, FGeneration);
  } else if (a.State == TArticle::Sent && a.Begun && !a.Discarding) {
    // Arriving: what has come goes over now, the rest straight through.
    a.Streaming = true;
    std::vector<TBlock> blocks = Release(a);
    Replay(a.Number, a.Lines, blocks);
    GiveBack(blocks);
  }
  if (generation == FGeneration) {
    PumpAll();
    CheckStopAfter();
  }
}

// Hands over lines held for an article: its begin and each line, as long
// as the fetcher is not stopped meanwhile.
void TArticleFetcher::Replay(std::int64_t Number, std::int64_t Lines, const std::vector<TBlock>& Blocks) {
  const std::uintptr_t generation = FGeneration;
  Raise([&] {
    if (OnArticleBegin)
      OnArticleBegin(this, Number, Lines);
  });
  for (const TBlock& b : Blocks)
    for (std::uint32_t at = 0; at < b.Used;) {
      if (generation != FGeneration)
        return;
      std::uint32_t length = 0;
      std::memcpy(&length, b.Bytes.get() + at, sizeof length);
      const std::string_view line(b.Bytes.get() + at + sizeof length, length);
      at += std::uint32_t(sizeof length) + length;
      Raise([&] {
        if (OnArticleLine)
          OnArticleLine(this, Number, line);
      });
    }
}

void TArticleFetcher::Deliver(std::uintptr_t Generation) {
  if (Generation != FGeneration)
    return;
  FDeliverPosted = false;
  if (FStopAfter || FArticles.empty() || FArticles.front().State != TArticle::Arrived ||
      FArticles.front().Unproven)
    return;
  TArticle& a = FArticles.front();
  const std::int64_t number = a.Number, lines = a.Lines;
  const std::uint16_t error = a.Error;
  std::vector<TBlock> blocks = Release(a);
  if (a.Begun)
    Replay(number, lines, blocks);
  GiveBack(blocks);
  if (Generation == FGeneration) {
    FArticles.pop_front();
    Raise([this, number, error] {
      if (OnArticleEnd)
        OnArticleEnd(this, number, error);
    });
    if (Generation == FGeneration)
      Advance();
  }
  RethrowPending();
}

// ---- sending ----

// Each request goes to the connection with the fewest in flight, so that
// articles next to each other go out on different connections and come
// back nearly in order. With the buffer rather than the depth bounding what
// is out, a slot freed by the next in order would otherwise go to the first
// connection every time: its queue grew deep, and the next in order waited
// far down it while the buffer held the others' articles.
void TArticleFetcher::PumpAll() {
  std::vector<TConnection*> open;
  for (const auto& c : FPool)
    open.push_back(c.get());
  while (!open.empty()) {
    const auto least = std::min_element(open.begin(), open.end(), [](TConnection* a, TConnection* b) {
      return a->Nntp.InFlight() < b->Nntp.InFlight();
    });
    if (Pump(**least, 1) == 0)
      open.erase(least);
  }
}

// Paced, a connection whose reply has come but whose request's end has not
// been handled yet sends nothing: the pacing starts from that end.
int TArticleFetcher::Pump(TConnection& c, int Most) {
  if (!FRunning || FStopAfter || c.Phase != TConnection::Ready || c.NeedsLogIn || c.Pace.isActive() ||
      (FPacing > 0 && !c.Sent.empty()))
    return 0;
  const int depth = EffectiveDepth();
  // Once the server has shown it mishandles pipelining, each connection goes
  // down to one request when its own in flight have ended, never before:
  // their replies are checked until then.
  if (c.Nntp.PipelineDepth() > depth && c.Nntp.InFlight() == 0)
    c.Nntp.SetPipelineDepth(depth);
  const int room = std::min(depth, c.Nntp.PipelineDepth());
  if (c.Seek == TConnection::NextDue && c.Nntp.InFlight() < room)
    SendNext(c);
  if (c.Seek != TConnection::NoSeek)
    return 0;
  int sent = 0;
  // The overview waits for the connection that compresses, while it stands.
  const bool scans = c.Nntp.Compressed() || !CompressedStands();
  // A send may find the connection gone, and the close then runs at once.
  for (std::size_t i = 0;
       scans && i < FScans.size() && sent < Most && c.Phase == TConnection::Ready && c.Nntp.InFlight() < room;
       ++i) {
    if (std::exchange(FScans[i].Sent, true))
      continue;
    c.Sent.push_back({FScans[i].First, FScans[i].Last, true, c.Nntp.PipelineDepth() == 1});
    c.Nntp.XOver(IntToStr(FScans[i].First) + "-" + IntToStr(FScans[i].Last));
    ++sent;
  }
  if (scans && FSeek && !FSeek->Sent && sent < Most && c.Phase == TConnection::Ready &&
      c.Nntp.InFlight() < room) {
    FSeek->Sent = true;
    c.Seek = TConnection::NextDue;
    c.StatError = 0;
    c.StatAgain = false;
    c.Sent.push_back({FSeek->After, FSeek->After, false, c.Nntp.PipelineDepth() == 1, true});
    c.Nntp.StatByNumber(FSeek->After);
    if (c.Nntp.InFlight() < room)
      SendNext(c);
    return sent + 1;
  }
  for (; sent < Most && c.Phase == TConnection::Ready && c.Nntp.InFlight() < room; ++sent) {
    TArticle* a = NextToSend();
    if (!a)
      break;
    a->State = TArticle::Sent;
    c.Sent.push_back({a->Number, a->Number, false, c.Nntp.PipelineDepth() == 1});
    if (FRequest == nntpArticleByNumber)
      c.Nntp.ArticleByNumber(a->Number);
    else
      c.Nntp.BodyByNumber(a->Number);
  }
  // Nothing goes out on c that could show the refusals it read last were
  // its own: they are asked for again, once.
  if (sent == 0 && c.Sent.empty() && !c.Unproven.empty() && c.Phase == TConnection::Ready) {
    AskUnprovenAgain(c);
    return Pump(c, Most);
  }
  return sent;
}

bool TArticleFetcher::CompressedStands() const {
  return std::any_of(FPool.begin(), FPool.end(), [](const std::unique_ptr<TConnection>& c) {
    return c->Phase == TConnection::Ready && c->Nntp.Compressed();
  });
}

// With the connection gone meanwhile, the STAT's end says so.
void TArticleFetcher::SendNext(TConnection& c) {
  if (c.Phase != TConnection::Ready || !FSeek)
    return;
  c.Seek = TConnection::NextOut;
  c.Sent.push_back({FSeek->After, FSeek->After, false, c.Nntp.PipelineDepth() == 1, true});
  c.Nntp.Next();
}

// The first article waiting, within the window ahead of the next in order,
// when the buffer has room for it beside what the articles asked for before
// it will bring, as far as the overview's line counts tell: an article that
// overflows the buffer is dropped and asked for again. The next in order
// goes out whatever the buffer holds, as it comes straight through.
TArticleFetcher::TArticle* TArticleFetcher::NextToSend() {
  const std::size_t window = std::size_t(FConnections) * std::size_t(EffectiveDepth()) * 2;
  const auto expected = [](const TArticle& a) {
    return std::size_t(std::clamp<std::int64_t>(a.Lines, 1, UINT32_MAX / LineBytesGuess) * LineBytesGuess);
  };
  std::size_t coming = FBuffered;
  for (std::size_t i = 0; i < FArticles.size() && i < window; ++i) {
    TArticle& a = FArticles[i];
    if (i > 0 && a.State == TArticle::Sent && !a.Streaming && !a.Discarding)
      coming += expected(a) - std::min(expected(a), a.Held);
    if (a.State != TArticle::Waiting)
      continue;
    if (i == 0)
      return &a;
    if (coming + expected(a) > FBufferLimit)
      return nullptr;
    if (!a.InOrderOnly)
      return &a;
  }
  return nullptr;
}
