#include "walk/ArticleFetcher.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/HiddenWindow.h"
#include "walk/FetcherConnection.h"

#include <algorithm>
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
constexpr std::int64_t LineBytesGuess = TBlockPool::LineBytesGuess;
// Each record in an article's blocks starts with a length of this many bytes.
constexpr std::size_t LengthBytes = sizeof(std::uint32_t);
// In an article's blocks where a line's length would be: the lines the
// Ahead() decoder took stood here. No line held is that long.
constexpr std::uint32_t AheadMark = UINT32_MAX;
// Set in a length, it holds lines in a row as they came, CR LF ends and
// all; a run is never longer than a receive.
constexpr std::uint32_t RunMark = 1u << 31;

} // namespace

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
    c->Nntp.OnMessageLines = nullptr;
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
  for (auto a = first; a != last; ++a)
    Void(*a);
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
    // Each line is read where the client cut it: one that waits for its
    // turn is copied once, into its block.
    c.Nntp.SetKeepTextLines(false);
    c.Nntp.OnSessionConnected = [this, &c](TObject*, std::uint16_t e) { SessionConnected(c, e); };
    c.Nntp.OnSessionClosed = [this, &c](TObject*, std::uint16_t) { SessionClosed(c); };
    c.Nntp.OnRequestDone = [this, &c](TObject*, TNntpRequest rq, std::uint16_t e) { RequestDone(c, rq, e); };
    c.Nntp.OnMessageBegin = [this, &c](TObject*) { MessageBegin(c); };
    c.Nntp.OnMessageLine = [this, &c](TObject*) { MessageLine(c); };
    c.Nntp.OnMessageLines = [this, &c](TObject*, std::string_view run) { return MessageLines(c, run); };
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
    c->Stood = c->Plain = false;
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
  n.SetCompress(FCompress && &c == FPool.front().get() && !c.Plain);
  c.GoingPlain = c.Weighed = false;
  c.EndBytes = n.BytesReceived();
  c.EndLink = n.LinkBytesReceived();
  c.BodyBytes = c.BodyLink = 0;
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
  FBlocks.Drop();
  if (FAhead)
    FAhead->Clear();
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

// The first request on c has ended: it leaves what c has in flight, and
// what its end tells about c is noted. True when it holds the line too long
// that it ended on: of the requests such a line cuts, the first holds it.
bool TArticleFetcher::TakeEnded(TConnection& c, std::uint16_t Error) {
  const bool alone = c.Sent.front().Alone;
  // What came since the last end is this reply's: a body's is weighed.
  const std::int64_t bytes = c.Nntp.BytesReceived(), link = c.Nntp.LinkBytesReceived();
  if (!c.Sent.front().Scan && !c.Sent.front().Seek) {
    c.BodyBytes += bytes - c.EndBytes;
    c.BodyLink += link - c.EndLink;
  }
  c.EndBytes = bytes;
  c.EndLink = link;
  c.Sent.pop_front();
  const bool longLine = Error == LineTooLong && !std::exchange(c.Cut, true);
  NoteEnd(c, Error, alone, longLine);
  return longLine;
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
  } else if (WeighCompression(c) && c.Sent.empty() && c.Seek == TConnection::NoSeek &&
             c.Phase == TConnection::Ready && !FStopAfter) {
    GoPlain(c);
  }
  PumpAll();
  CheckStopAfter();
}

// A compressed connection weighs what compression saves on the bodies it
// brings, over each stretch (1 MB as read): bodies that save less than a
// tenth, as yEnc bodies do, end it, since they cost the server and us a
// processor for next to nothing. Until a first stretch has been found to
// shrink, every body's end weighs the bodies so far once they fill a
// sixteenth of it, which a yEnc part does alone: a text body that shrinks
// ahead of yEnc parts does not keep them compressed for a stretch. The
// overview, which shrinks a dozen times, is not weighed. True once it is to
// go plain.
bool TArticleFetcher::WeighCompression(TConnection& c) {
  if (!c.Nntp.Compressed() || c.GoingPlain)
    return c.GoingPlain;
  if (c.BodyBytes < (c.Weighed ? FCompressionStretch : FCompressionStretch / 16))
    return false;
  c.GoingPlain = c.BodyLink * 10 > c.BodyBytes * 9;
  if (c.GoingPlain || c.BodyBytes >= FCompressionStretch) {
    c.Weighed = true;
    c.BodyBytes = c.BodyLink = 0;
  }
  return c.GoingPlain;
}

// Nothing is in flight on c: on the next turn of the loop, out of the
// client's own report, it closes and connects again plain. Its close is no
// loss, and the refusals it read last are asked for again, as after any.
void TArticleFetcher::GoPlain(TConnection& c) {
  c.Plain = true;
  if (!std::exchange(FPlainTold, true))
    Log("Uncompressed transfers with " + FServer.Host + ": the articles do not shrink");
  AskUnprovenAgain(c);
  c.Phase = TConnection::Connecting;
  c.Reconnect.start(0);
}

// The overview goes out again when it was cut short or refused for want of
// a log-in; a line too long would cut it again, and is passed over.
void TArticleFetcher::ScanDone(TConnection& c, std::uint16_t Error) {
  const std::uintptr_t generation = FGeneration;
  const std::int64_t first = c.Sent.front().Number;
  const bool longLine = TakeEnded(c, Error);
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
  const std::int64_t after = c.Sent.front().Number;
  const bool longLine = TakeEnded(c, Error);
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
  const bool longLine = TakeEnded(c, Error);
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
  Void(a);
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

// ---- the buffer ----

// A line of an article that is not yet in order, in the article's last
// block or in a new one, which never takes the buffer past its limit. With
// no room for the line the article gives back what it holds: it is asked
// for again once it is the next, and then comes straight through.
void TArticleFetcher::Buffer(TArticle& a, std::string_view Line) {
  Append(a, std::uint32_t(Line.size()), Line);
}

// Lines in a row, held as they came in one record: the whole lines at Run's
// start that the last block has room for, short of a =ybegin while the
// Ahead() decoder looks for one. The first line takes the first block, and
// one that finds no room the next, one by one.
std::size_t TArticleFetcher::HoldRun(TArticle& a, std::string_view Run) {
  if (a.Blocks.empty() || a.Blocks.back().Size - a.Blocks.back().Used <= LengthBytes)
    return 0;
  const std::size_t room = a.Blocks.back().Size - a.Blocks.back().Used - LengthBytes;
  const bool looking = a.Ahead && a.Ahead->Step == TYEncAhead::TPart::Body;
  const char* at = Run.data();
  for (std::string_view line;
       NextRunLine(at, Run.data() + std::min(Run.size(), room), TNntpCli::MaxLineLen, line);)
    if (looking && YEncKeyword(WithoutCR(line)) == ykBegin) {
      at = line.data();
      break;
    }
  const std::size_t taken = std::size_t(at - Run.data());
  if (taken > 0)
    Append(a, RunMark | std::uint32_t(taken), Run.substr(0, taken));
  return taken;
}

// A record of the article's blocks: a length and its bytes, or the mark of
// the lines the Ahead() decoder took. With no room, the article gives back
// what it holds and is passed over until it is the next.
void TArticleFetcher::Append(TArticle& a, std::uint32_t Length, std::string_view Bytes) {
  static_assert(sizeof Length == LengthBytes);
  const std::size_t need = LengthBytes + Bytes.size();
  if ((a.Blocks.empty() || a.Blocks.back().Size - a.Blocks.back().Used < need) && !TakeBlock(a, need)) {
    Void(a);
    a.Discarding = a.InOrderOnly = true;
    return;
  }
  TBlock& b = a.Blocks.back();
  std::memcpy(b.Bytes.get() + b.Used, &Length, LengthBytes);
  if (!Bytes.empty())
    std::memcpy(b.Bytes.get() + b.Used + LengthBytes, Bytes.data(), Bytes.size());
  b.Used += std::uint32_t(need);
}

// A line the Ahead() decoder takes is not held: the buffer it decodes the
// part into counts against the limit as blocks do, and the first line taken
// leaves a mark in the blocks where its turn is to come. False when the
// line is to be held.
bool TArticleFetcher::TakeAhead(TArticle& a, std::string_view Line) {
  if (!FAhead)
    return false;
  if (!a.Ahead)
    a.Ahead = FAhead->Open(a.Number, FRequest == nntpArticleByNumber);
  const std::size_t claim = FAhead->Claim(*a.Ahead, Line);
  if (claim > 0 && !FBlocks.Hold(claim)) {
    // Held as lines, this one and every one after.
    a.Ahead->Step = TYEncAhead::TPart::Done;
    return false;
  }
  if (!FAhead->Take(*a.Ahead, Line)) {
    FBlocks.Release(claim);
    return false;
  }
  a.Aside += claim;
  if (!std::exchange(a.AheadMarked, true))
    Append(a, AheadMark, {});
  return true;
}

void TArticleFetcher::Void(TArticle& a) {
  std::vector<TBlock> blocks = Release(a);
  GiveBack(blocks);
  if (FAhead)
    FAhead->Drop(std::exchange(a.Ahead, nullptr));
  a.AheadMarked = false;
}

// What the article holds goes over to the owner, once it has begun; what
// the Ahead() decoder made of it goes after, unless a stop has cleared it
// meanwhile. The article may be gone by then.
void TArticleFetcher::HandOverHeld(TArticle& a) {
  const std::uintptr_t generation = FGeneration;
  std::vector<TBlock> blocks = Release(a);
  TYEncAhead::TPart* ahead = std::exchange(a.Ahead, nullptr);
  if (a.Begun)
    Replay(a.Number, a.Lines, blocks);
  GiveBack(blocks);
  if (FAhead && generation == FGeneration)
    FAhead->Drop(ahead);
}

// A new last block for the article. False when the buffer has no room
// for one.
bool TArticleFetcher::TakeBlock(TArticle& a, std::size_t Need) {
  // With the Ahead() decoder, the lines held of a yEnc part are its header
  // and keyword lines only: its first block is a small one, not one the
  // size of the body.
  const std::size_t size = FBlocks.Take(a.Blocks, FAhead ? 0 : a.Lines, Need);
  a.Held += size;
  return size > 0;
}

// Takes the article's blocks out of the buffer: to be handed over, or, left
// to go, given back to the pool at once.
std::vector<TArticleFetcher::TBlock> TArticleFetcher::Release(TArticle& a) {
  FBlocks.Release(a.Held + a.Aside);
  a.Held = a.Aside = 0;
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
    HandOverHeld(a);
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
      std::memcpy(&length, b.Bytes.get() + at, LengthBytes);
      if (length == AheadMark) {
        at += std::uint32_t(LengthBytes);
        Raise([&] {
          if (OnArticleAhead)
            OnArticleAhead(this, Number);
        });
        continue;
      }
      const std::string_view bytes(b.Bytes.get() + at + LengthBytes, length & ~RunMark);
      at += std::uint32_t(LengthBytes + bytes.size());
      if (length & RunMark) {
        ReplayRun(Number, bytes);
        continue;
      }
      Raise([&] {
        if (OnArticleLine)
          OnArticleLine(this, Number, bytes);
      });
    }
}

// Lines held in a row go over in runs where the owner takes them so, the
// others one by one, as they came.
void TArticleFetcher::ReplayRun(std::int64_t Number, std::string_view Run) {
  const std::uintptr_t generation = FGeneration;
  while (!Run.empty() && generation == FGeneration) {
    std::size_t taken = 0;
    Raise([&] {
      if (OnArticleLines)
        taken = OnArticleLines(this, Number, Run);
    });
    if (taken == 0) {
      const char* const crlf = FindCrLf(Run.data(), Run.data() + Run.size()); // runs hold whole lines
      const std::string_view line(Run.data(), std::size_t(crlf - Run.data()));
      taken = line.size() + 2;
      Raise([&] {
        if (OnArticleLine)
          OnArticleLine(this, Number, line);
      });
    }
    Run.remove_prefix(std::min(taken, Run.size()));
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
  const std::int64_t number = a.Number;
  const std::uint16_t error = a.Error;
  HandOverHeld(a);
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
  // A seek's NEXT still goes out on a connection going plain; nothing else.
  if (c.Seek != TConnection::NoSeek || c.GoingPlain)
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
  // Nor do bodies go over it while a plain connection stands: a binary body
  // does not shrink, and compressing it costs the server a processor and us
  // the inflating, so that one connection held up the walk's order.
  const bool fetches = !c.Nntp.Compressed() || !PlainStands();
  // Until a stretch of its bodies has been found to shrink, one at a time:
  // what is in flight when the weighing ends it still comes compressed, and
  // a server compresses a yEnc body at some 40 MB/s.
  const int bodyRoom = c.Nntp.Compressed() && !c.Weighed ? 1 : room;
  for (; fetches && sent < Most && c.Phase == TConnection::Ready && c.Nntp.InFlight() < bodyRoom; ++sent) {
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

bool TArticleFetcher::PlainStands() const {
  return std::any_of(FPool.begin(), FPool.end(), [](const std::unique_ptr<TConnection>& c) {
    return c->Phase == TConnection::Ready && !c->Nntp.Compressed();
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
  std::size_t coming = FBlocks.Held();
  for (std::size_t i = 0; i < FArticles.size() && i < window; ++i) {
    TArticle& a = FArticles[i];
    if (i > 0 && a.State == TArticle::Sent && !a.Streaming && !a.Discarding)
      coming += expected(a) - std::min(expected(a), a.Held + a.Aside);
    if (a.State != TArticle::Waiting)
      continue;
    if (i == 0)
      return &a;
    if (coming + expected(a) > FBlocks.Limit())
      return nullptr;
    if (!a.InOrderOnly)
      return &a;
  }
  return nullptr;
}
