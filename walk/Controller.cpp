#include "walk/DecodeSession.h"

#include "decode/YEncRecord.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/IniFile.h"
#include "walk/ServerAddress.h"
#include "walk/SessionSteps.h"
#include "walk/StartValues.h"

#include <QDateTime>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <utility>

namespace {

// Max Lines not above Min Lines means "no upper limit worth typing".
constexpr std::int32_t OpenMaxLines = 50000;

constexpr const char* ProgressSection = "READED";
constexpr const char* ProgressKey = "LAST";

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

// The stored position: article numbers pass 2^31 on big servers, so it is
// read as a 64-bit number; anything that is no whole number reads as 0.
std::int64_t ParsePosition(std::string_view text) {
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

// Without its folder a session would fetch every body and save nothing, so a
// folder that cannot be made stops the start-up.
void ForceFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  std::error_code ignored;
  if (!std::filesystem::is_directory(path, ignored))
    throw EInOutError("Cannot create folder " + path + ": " + (error ? error.message() : "Not a directory"));
}

// "Authentication required" in answer to a request.
constexpr std::uint16_t LogInRequired = 480;
constexpr std::uint16_t NoSuchGroup = 411;
// The lookup's errors: the name did not resolve.
constexpr std::uint16_t HostNotFound = 11001;
constexpr std::uint16_t NoAddress = 11004;

// How far back the next session goes for the first article of a block
// still open.
constexpr std::int64_t MaxHeldBlock = 1000;
constexpr std::int64_t NoBlock = std::numeric_limits<std::int64_t>::max();

bool IsWalkRequest(TNntpRequest RqType) {
  switch (RqType) {
  case nntpGroup:
  case nntpHeadByNumber:
  case nntpBodyByNumber:
  case nntpListOverViewFmt:
    return true;
  default:
    return false;
  }
}

// What the user can do about a connect that failed, when the error says.
std::string ConnectAdvice(const std::string& Why, const std::string& TlsError) {
  const auto says = [](const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
  };
  if (Why.starts_with("Error #1100"))
    return "check the server's name in Configure";
  if (Why.starts_with("Error #10061"))
    return "is the port right? plain NNTP is usually 119, TLS 563";
  // A server that speaks plain NNTP greets in text where a TLS record
  // should come.
  if (says(TlsError, "wrong version number") || says(TlsError, "packet length too long") ||
      says(TlsError, "unknown protocol"))
    return "the server did not answer TLS on this port: write the entry without nntps:// or with the TLS "
           "port";
  return {};
}

std::string DateTimeText(double days) {
  const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
  return FromQt(epoch.addMSecs(std::llround(days * 86400000.0)).toString("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

void TDecodeSession::WireController() {
  Nntp.OnSessionConnected = [this](TObject* Sender, std::uint16_t Error) {
    NntpSessionConnected(Sender, Error);
  };
  Nntp.OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) { NntpSessionClosed(Sender, Error); };
  Nntp.OnRequestDone = [this](TObject* Sender, TNntpRequest RqType, std::uint16_t Error) {
    NntpRequestDone(Sender, RqType, Error);
    PostSettleCheck();
  };
  Nntp.OnMessageEnd = [this](TObject* Sender) { NntpMessageEnd(Sender); };
  // Every line passes the controller on its way to the scanner.
  Nntp.OnMessageLine = [this](TObject* Sender) { ControllerMessageLine(Sender); };
  WireWalk();
  FReconnectTimer.setSingleShot(true);
  QObject::connect(&FReconnectTimer, &QTimer::timeout, [this] { Guarded([this] { GoTo(stepReconnect); }); });
  QObject::connect(&Timer1, &QTimer::timeout, [this] {
    Guarded([this] { Timer1Timer(this); });
    PostSettleCheck();
  });
}

void TDecodeSession::Start() {
  FArticleLines = FPartFileCount = FPartKind = FBodyLines = FFileMode = FDecodedCount = 0;
  FNextStep = stepStart;
  FArticleCurrent = FArticleStart = FArticleEnd = FSkipPending = 0;
  FMimeName.clear();
  FMimeBase64 = FInternalAbort = FDataFound = FStopAfter = false;
  FWalkStarted = FWalkDone = FCurrentDone = FConnecting = FStopped = false;
  FLinesField = 0;
  FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  FResumeStep = FLogInRetry = stepStart;
  FReconnectTries = 0;
  FLoggedIn = false;
  FStopText.clear();

  try {
    ReadStartValues();
  } catch (const std::exception& e) {
    StartStopped(e.what(), false); // R would read the same values again
    throw;
  }
  StartSession();
}

// The seven values, once. The server and the group are shown first, so that
// a start-up that stops still says which session it was.
void TDecodeSession::ReadStartValues() {
  if (!StartValues)
    throw Exception("No main window to take the session's settings from");
  const IStartValues& values = *StartValues;
  // The folder keeps the server entry as written, port and all.
  FServerEntry = values.Server();
  const std::string group = values.Group();
  FFolderToMake = values.DownloadPath() + ServerFolderName(FServerEntry) + "/" + group;
  FGroup = group;
  // The user stays out of what is shown, like the password.
  FServerShown = ServerShownName(FServerEntry);
  SetCaption("Decoding");
  const TServerAddress address = SplitServerAddress(FServerEntry);
  Nntp.SetHost(address.Host);
  Nntp.SetPort(address.Port);
  // The socket keeps any CA file it was given: tests trust their own.
  Nntp.SetTls(address.Tls);
  Nntp.SetUserName(address.User);
  Nntp.SetPassWord(values.Password());
  Nntp.SetCompress(values.Compression());

  FDefExt = values.DefaultExt();
  FMinLines = StrToInt(values.MinLines());
  FMaxLines = StrToInt(values.MaxLines());
  FMaxWaitingLines = StrToInt(values.WaitingLines());
  FSubjectFilter = TSubjectFilter(values.SubjectFilter());
  Timer1.setInterval(std::max(0, StrToInt(values.Pacing())));
  TArticleFetcher& fetcher = FWalk.Fetcher();
  fetcher.SetConnections(StrToInt(values.Connections()));
  fetcher.SetDepth(StrToInt(values.RequestsInFlight()));
  fetcher.SetPacing(Timer1.interval());
  fetcher.SetCompress(values.Compression());
  fetcher.SetCompressionTold(false);
  fetcher.Fill().SetServers(FillSources(values));
  FLinkSeen = -1;
  if (FMaxLines <= FMinLines)
    FMaxLines = FMinLines > std::numeric_limits<std::int32_t>::max() - OpenMaxLines
                    ? std::numeric_limits<std::int32_t>::max()
                    : FMinLines + OpenMaxLines;
}

// The fill servers as their entries say, with the passwords kept for them.
// A number that is no number falls back to one connection, one request.
std::vector<TFillSource> TDecodeSession::FillSources(const IStartValues& Values) {
  const auto number = [](const std::string& text, int fallback) {
    try {
      return StrToInt(text);
    } catch (const std::exception&) {
      return fallback;
    }
  };
  std::vector<TFillSource> sources;
  for (const TFillServer& fill : Values.FillServers()) {
    TFillSource& s = sources.emplace_back();
    s.Server = SplitServerAddress(fill.Entry);
    s.PassWord = Values.PasswordOf(fill.Entry);
    if (s.PassWord.empty())
      s.PassWord = fill.Password;
    s.Connections = number(fill.Connections, 1);
    // Paced, a server gets one request at a time.
    s.Depth = number(fill.Pacing, 0) > 0 ? 1 : number(fill.RequestsInFlight, 1);
    s.Compress = fill.Compression;
  }
  return sources;
}

// From the session folder on. A folder that could not be made may be made
// on a second try, and a connect that could not start may start: R offers
// either.
void TDecodeSession::StartSession() {
  try {
    ForceFolder(FFolderToMake);
  } catch (const std::exception& e) {
    StartStopped(e.what(), true);
    SetAdvice("choose another download path in Configure");
    throw;
  }
  try {
    if (!FLock.Take(FFolderToMake + "/", LockFileName)) {
      WalkedElsewhere();
      return;
    }
  } catch (const std::exception& e) {
    StartStopped(e.what(), true);
    throw;
  }
  FSessionDir = FFolderToMake + "/";
  FRepair.SetFolder(FSessionDir);
  FArticleCurrent = ParsePosition(IniReadString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, "0"));
  SetStatus("Connecting to " + FServerShown);
  FRunning = true;
  try {
    ConnectToServer();
  } catch (...) {
    SetButtons(false, false, true, false); // the status says why
    throw;
  }
  Log("CONNECTING....");
}

// A start-up that stopped says why and offers nothing that cannot work.
void TDecodeSession::StartStopped(const std::string& Why, bool CanRetry) {
  FRunning = false;
  SetStatus(Why);
  SetCaption("Not Started");
  SetButtons(false, false, CanRetry, false);
  PostSettleCheck();
}

// Stores where the next session starts (NextToExamine). A body that the
// close cuts short comes again whole in the next session, so what it left
// in the part files goes, as after a lost connection.
void TDecodeSession::Close() {
  if (std::exchange(FClosed, true))
    return;
  FRunning = false;
  Timer1.stop();
  FReconnectTimer.stop();
  FConnecting = false;
  const bool bodyCut = FNextStep == stepBody && (Nntp.State() == nntpWaitingResponse || FWalk.InArticle());
  Nntp.Abort();
  FWalk.Stop();
  // A verify or repair is not started now; one running stops, and the
  // folder stays as it was before it.
  FRepair.Stop();
  if (FSessionDir.empty()) // the start-up stopped before it had a folder
    return;
  if (bodyCut)
    DiscardCutBody(true);
  CloseYEncFiles();
  const std::int64_t next = NextToExamine();
  // The next session gathers the open block again from its first article.
  if (FPartFile && next == OpenBlockStart())
    DiscardPartFile();
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
  FLock.Release();
}

// The first article not done with; one the walk never reached is not passed
// over, so a window that examined nothing keeps the position it read. A
// block still open (or thrown away by X) goes on in articles to come: the
// next session starts at its first article to gather it whole, unless that
// lies more than MaxHeldBlock articles back.
std::int64_t TDecodeSession::NextToExamine() const {
  const std::int64_t next = FCurrentDone ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  const std::int64_t block = FStopped ? FStoppedBlock : OpenBlockStart();
  return block < next && block >= SaturatedAdd(next, -MaxHeldBlock) ? block : next;
}

// The article whose body began the block of the open part file.
std::int64_t TDecodeSession::OpenBlockStart() const {
  if (!FPartFile)
    return NoBlock;
  return FPartFileCount == FBlockCount ? FBlockStart : FArticleCurrent;
}

// An article is done with once its body came whole and was scanned, or the
// server refused it, or its header put it out of range; the scanner gives
// up on a body of no data itself. A part file this body began goes on from
// here.
void TDecodeSession::NoteArticleDone(TNntpRequest RqType) {
  switch (RqType) {
  case nntpHeadByNumber:
    FCurrentDone = !BodyWanted();
    break;
  case nntpBodyByNumber:
  case nntpArticleByNumber:
    FCurrentDone = true;
    if (FPartFile && FPartFileCount != FBlockCount) {
      FBlockStart = FArticleCurrent;
      FBlockCount = FPartFileCount;
    }
    break;
  case nntpAbort:
    FCurrentDone = FCurrentDone || FInternalAbort;
    break;
  default:
    break;
  }
}

void TDecodeSession::NntpSessionConnected(TObject*, std::uint16_t Error) {
  FConnecting = false;
  FLoggedIn = false;
  if (Error != 0) {
    ConnectAttemptFailed(ErrorText(Error));
    return;
  }
  TellCompressed();
  if (!FWalkStarted)
    SetStatus("Request GroupList");
  RequestGroup();
}

void TDecodeSession::NntpSessionClosed(TObject*, std::uint16_t Error) {
  Log("Session Closed");
  if (Error != 0)
    Log(ErrorText(Error));
}

void TDecodeSession::NntpMessageEnd(TObject*) {}

void TDecodeSession::NntpRequestDone(TObject*, TNntpRequest RqType, std::uint16_t Error) {
  if (Error != 0)
    Log(ErrorText(Error));
  // The number alone does not say which check of the handshake failed.
  if (Error == WSAETLS)
    Log(Nntp.TlsError().empty() ? std::string("TLS: the secure connection failed") : Nntp.TlsError());
  LogAppend("Request Done");
  // A connect that failed ends the request before it; it is no step of the walk.
  if (std::exchange(FConnecting, false)) {
    ConnectAttemptFailed(ErrorText(Error));
    return;
  }
  if (Error >= FirstSocketError && (IsWalkRequest(RqType) || RqType == nntpAuthenticate) &&
      Nntp.State() == nntpNotConnected) {
    ConnectionLost(RqType, Error);
    return;
  }
  if (Error == LogInRequired && IsWalkRequest(RqType)) {
    LogInNeeded(RqType);
    return;
  }
  // A single-part article's file ends with its body: decoded when the body
  // came whole, kept undecoded when it was cut short.
  if (RqType == nntpBodyByNumber || (RqType == nntpAbort && FNextStep == stepBody))
    EndOfBody(RqType == nntpBodyByNumber && Error == 0);
  NoteArticleDone(RqType);
  if (FStopAfter) {
    // R asks again for the overview's format that A cut off before the first article.
    if (RqType == nntpListOverViewFmt && FNextStep == stepOverviewFmt)
      FResumeStep = stepOverviewFmt;
    // And the request a log-in was for, which A left unanswered.
    if (RqType == nntpAuthenticate && FLogInRetry != stepGroup)
      FResumeStep = FLogInRetry;
    CarryOutAfter();
    return;
  }
  // The connection carries the walk again: a later loss has all its tries.
  if (IsWalkRequest(RqType) && RqType != nntpGroup)
    FReconnectTries = 0;
  switch (RqType) {
  case nntpGroup:
    GroupReply(Error);
    break;
  case nntpHeadByNumber:
  case nntpStatByID:
  case nntpStatByNumber:
    HeaderDone();
    break;
  case nntpBodyByNumber:
  case nntpHeadByID:
  case nntpArticleByNumber:
    FArticleLines = 0;
    Advance();
    break;
  case nntpQuit:
  case nntpAbort:
  case nntpPost:
    ConnectionEnded();
    break;
  case nntpDate:
    Log("Server Date is " + DateTimeText(Nntp.ServerDate()));
    break;
  case nntpListOverViewFmt:
    if (FNextStep == stepOverviewFmt)
      OverviewFormatDone(Error);
    break;
  case nntpArticleByID:
  case nntpBodyByID:
  case nntpNext:
  case nntpLast:
    Log("ArticleNumber    = " + IntToStr(Nntp.ArticleNumber()));
    Log("ArticleID        = <" + Nntp.ArticleID() + ">");
    break;
  case nntpAuthenticate:
    LogInDone(Error);
    break;
  case nntpHelp:
  case nntpNewGroups:
  case nntpNewNews:
  case nntpXOver:
    break;
  default:
    Log("Unknown request type.");
  }
}

void TDecodeSession::Timer1Timer(TObject*) {
  Timer1.stop();
  if (FNextStep >= stepHead && FNextStep <= stepGroup && Nntp.State() == nntpNotConnected) {
    ConnectionLostWhileWaiting();
    return;
  }
  switch (FNextStep) {
  case stepHead:
    ShowGroupProgress();
    Log("Request Header " + IntToStr(FArticleCurrent));
    // An article without a Lines: header (or a refused HEAD) must not
    // inherit the count of an article before it.
    FArticleLines = 0;
    Nntp.HeadByNumber(FArticleCurrent);
    break;
  case stepBody:
    Log("Request Body " + IntToStr(FArticleCurrent));
    StartBody();
    Nntp.BodyByNumber(FArticleCurrent);
    break;
  case stepFetch:
    // The window's own connection goes first, so that the server counts no
    // more connections of ours than it was given; its QUIT's answer starts
    // the walk's connections.
    if (Nntp.State() != nntpNotConnected) {
      const int connections = FWalk.Fetcher().Connections();
      Log("Fetching over " + IntToStr(connections) + (connections == 1 ? " connection" : " connections"));
      Nntp.Quit();
    } else {
      StartWalk();
    }
    break;
  case stepOverviewFmt:
    Log("Request Overview Format");
    FFormatIndex = FFormatLinesField = FFormatSubjectField = FFormatPosterField = FFormatMessageIdField = 0;
    FFormatLinesFull = false;
    Nntp.ListOverViewFmt();
    break;
  case stepLogIn:
    Log("Logging in");
    Nntp.Authenticate();
    break;
  case stepGroup:
    Log("Request Group " + FGroup);
    RequestGroup();
    break;
  case stepReconnect:
    Reconnect();
    break;
  default:
    // A connection already gone has nothing to say goodbye to, and no answer
    // will come to end the walk: it ends here.
    if (Nntp.State() != nntpNotConnected) {
      Nntp.Quit();
      SetCaption("Download Done" + TIncompleteFiles::Suffix(FWalkDone ? FIncomplete.Count() : 0));
    } else {
      SetCaption(FWalkDone ? "Download Done" + TIncompleteFiles::Suffix(FIncomplete.Count())
                           : "Downloading Interrupted");
    }
    FRepair.Start();
  }
}

void TDecodeSession::Stop() {
  Timer1.stop();
  FReconnectTimer.stop();
  FStopped = true;
  FStopAfter = false;
  FStopText.clear();
  FConnecting = false;
  Nntp.Abort();
  FWalk.Stop();
  FRepair.Stop();
  // The unfinished part is thrown away, not decoded; the next session
  // gathers its block again.
  FStoppedBlock = OpenBlockStart();
  if (FPartFile)
    DiscardPartFile();
  // R starts again from where the next session would.
  SetButtons(false, false, !FSessionDir.empty(), false);
  EndWalk(false);
  PostSettleCheck();
}

void TDecodeSession::StopAfter() {
  FStopAfter = true;
  SetButtons(true, false, true, false);
  if (FWalk.Running()) {
    FWalk.StopAfter();
    return;
  }
  // While it waits to reconnect no completion comes to carry A out.
  if (FReconnectTimer.isActive()) {
    FReconnectTimer.stop();
    CarryOutAfter();
  }
}

void TDecodeSession::Restart() {
  SetButtons(true, true, false, true);
  SetCaption("Decoding");
  SetAdvice({});
  FRunning = true;
  FStopText.clear();
  FWalkDone = false;
  FReconnectTimer.stop();
  FReconnectTries = 0;
  if (FSessionDir.empty()) { // the start-up stopped at the folder or its lock
    StartSession();
    return;
  }
  if (FStopped) {
    RestartAfterStop();
    return;
  }
  GoTo(stepReconnect);
}

// After X the walk starts anew, with the values the window started with,
// from the position a close would store now: a block X threw away is
// gathered again from its first article.
void TDecodeSession::RestartAfterStop() {
  const std::int64_t next = NextToExamine();
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
  FArticleCurrent = next;
  FArticleLines = 0;
  FNextStep = stepStart;
  FSkipPending = 0;
  FInternalAbort = FCurrentDone = FWalkStarted = FStopped = FLoggedIn = false;
  FLinesField = 0;
  FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  FResumeStep = FLogInRetry = stepStart;
  FWalk.Forget();
  SetStatus("Connecting to " + FServerShown);
  ConnectToServer();
  Log("CONNECTING....");
}

// The skip waits for the next advance, so it counts from the article in hand
// then: a HEAD still out is followed by the BODY of the same article.
void TDecodeSession::Skip(std::int64_t N) {
  if (N > 0 && FWalk.Running()) {
    // From the article in hand, which the walk still handles: the one being
    // handed over, or the first not yet handled, whose request may be out.
    const std::int64_t current = FWalk.InArticle() ? FArticleCurrent : FWalk.Position();
    FWalk.Pass(SaturatedAdd(std::min(SaturatedAdd(current, N), FArticleEnd), 1));
    if (!FWalk.InArticle())
      FollowWalk();
  } else if (N > 0) {
    FSkipPending = SaturatedAdd(FSkipPending, N);
  }
}

void TDecodeSession::ConnectToServer() {
  // A password set or changed since the last connect (the stop for a log-in
  // says to set one) goes out with this one.
  if (StartValues && !FServerEntry.empty())
    Nntp.SetPassWord(StartValues->PasswordOf(FServerEntry));
  FConnecting = true;
  try {
    Nntp.Connect();
  } catch (const std::exception& e) {
    FConnecting = false;
    if (FReconnectTries == 0) {
      ConnectFailed(e.what());
      throw;
    }
    // A try of the back-off that cannot even start is one more failed try.
    Log(e.what());
    ConnectAttemptFailed(e.what());
  }
}

// Nothing was examined; R tries again from where the window started. The
// status says why; a failed TLS check says which.
void TDecodeSession::ConnectFailed(const std::string& Why) {
  SetStatus(Nntp.TlsError().empty() ? "Not Connected: " + Why : Nntp.TlsError());
  SetCaption("Not Connected");
  Log("Error Connecting !");
  SetAdvice(ConnectAdvice(Why, Nntp.TlsError()));
  EnableRestart();
  EndWalk(true, weError);
}

void TDecodeSession::RequestGroup() { Nntp.Group(FGroup); }

// Only the first reply sets the walk's range; after a reconnect the walk
// goes on within it, however the group has grown since.
void TDecodeSession::GroupReply(std::uint16_t Error) {
  if (FWalkStarted) {
    if (Error != 0)
      GroupRefused(Error);
    else
      GoOn();
    return;
  }
  Log("ArticleEstimated = " + IntToStr(Nntp.ArticleEstimated()));
  Log("ArticleFirst     = " + IntToStr(Nntp.ArticleFirst()));
  Log("ArticleLast      = " + IntToStr(Nntp.ArticleLast()));
  if (Error != 0) {
    GroupRefused(Error);
    return;
  }
  FWalkStarted = true;
  if (Nntp.ArticleFirst() >= FArticleCurrent)
    FArticleCurrent = Nntp.ArticleFirst();
  FArticleStart = FArticleCurrent;
  FArticleEnd = Nntp.ArticleLast();
  ShowCurrentArticle();
  ShowLastArticle();
  if (FArticleCurrent <= FArticleEnd) {
    // The overview's format says whether the walk can do without a HEAD
    // per article.
    SetStatus("Request Overview Format");
    GoTo(stepOverviewFmt);
    return;
  }
  // Nothing to walk: the whole of it is done.
  if (OnGroupProgress)
    OnGroupProgress(this, 1000);
  WalkDone();
}

// A refused group has nothing to walk: every request would be answered "no
// newsgroup selected" and passed over. The walk stops where it is, R offered.
void TDecodeSession::GroupRefused(std::uint16_t Error) {
  const std::string& group = FGroup;
  StopWalk(Error == NoSuchGroup ? "Group " + group + " not found on " + Nntp.Host()
                                : "Group " + group + " refused by " + Nntp.Host(),
           weError);
}

bool TDecodeSession::LinesInRange() const { return FMinLines <= FArticleLines && FArticleLines <= FMaxLines; }

// A refused HEAD leaves the subject of the article before: none counts.
// The headers are read one at a time, so a post is wanted from its first
// article within the limits on: the parts after it come whatever their
// Lines:, those before it are passed.
bool TDecodeSession::BodyWanted() {
  const std::string_view subject =
      FHeadArticle == FArticleCurrent ? std::string_view(FHeadSubject) : std::string_view();
  if (FHeadDecided == FArticleCurrent && FHeadDecidedLines == FArticleLines && FHeadDecidedSubject == subject)
    return FHeadFetch;
  FHeadDecided = FArticleCurrent;
  FHeadDecidedLines = FArticleLines;
  FHeadDecidedSubject = subject;
  FHeadFetch = false;
  FHeadPosts.OnDecided = [this](const TPostDecision& d) { FHeadFetch = d.Fetch; };
  const TPostArticle article{FArticleCurrent,
                             subject,
                             FHeadPosterOf == FArticleCurrent ? std::string_view(FHeadPoster)
                                                              : std::string_view(),
                             FArticleLines,
                             LinesInRange(),
                             FSubjectFilter.Passes(subject)};
  if (!FHeadPosts.Add(article)) { // the walk went back: R, or the same article again
    FHeadPosts.Drop();
    FHeadPosts.Add(article);
  }
  FHeadPosts.Flush();
  return FHeadFetch;
}

void TDecodeSession::HeaderDone() {
  if (BodyWanted()) {
    SetStatus("Request Body " + IntToStr(FArticleCurrent));
    GoTo(stepBody);
  } else {
    Advance();
  }
}

void TDecodeSession::Advance() {
  if (FSkipPending > 0 && FArticleCurrent < FArticleEnd) {
    // The skipped articles count as done, up to the group's end at most.
    FArticleCurrent = std::min(SaturatedAdd(FArticleCurrent, FSkipPending), FArticleEnd);
    FCurrentDone = true;
  }
  FSkipPending = 0;
  if (WalksByOverview()) {
    if (FCurrentDone && FArticleCurrent >= FArticleEnd) {
      ShowGroupProgress();
      WalkDone();
    } else {
      GoTo(stepFetch);
    }
    return;
  }
  // An article not done with (the walk stopped before its body came, or a
  // log-in refused it) is asked for now, not passed.
  if (!FCurrentDone && FArticleCurrent <= FArticleEnd) {
    ShowCurrentArticle();
    SetStatus("Request Header " + IntToStr(FArticleCurrent));
    GoTo(stepHead);
    return;
  }
  if (FArticleCurrent < FArticleEnd) {
    ++FArticleCurrent;
    FCurrentDone = false;
    ShowCurrentArticle();
    SetStatus("Request Header " + IntToStr(FArticleCurrent));
    GoTo(stepHead);
  } else {
    WalkDone();
  }
}

void TDecodeSession::WalkDone() {
  FWalkDone = true;
  FIncomplete.Clear();
  FYEnc.EachUnfinished([this](const std::string& Name, const TYEncRecord& Record) {
    FIncomplete.Add(Name, TIncompleteFiles::PartsText(Record));
  });
  SetStatus("Downloading Done" + TIncompleteFiles::Suffix(FIncomplete.Count()));
  TellIncomplete();
  Log("Downloading Done");
  GoTo(stepFinished);
  EndWalk(true, weDone);
}

// A walk that reached the group's end keeps saying so when its QUIT is
// answered; any other end was a stop.
void TDecodeSession::ConnectionEnded() {
  // The window's own connection has handed the walk over.
  if (FNextStep == stepFetch && !FStopped && !FClosed) {
    StartWalk();
    return;
  }
  if (!FStopText.empty()) { // the walk stopped for a reason of its own
    SetStatus(FStopText);
    SetCaption("Downloading Interrupted");
    return;
  }
  if (!FInternalAbort) {
    if (FWalkDone)
      return;
    SetStatus("Downloading Interrupted by User");
    SetCaption("Downloading Interrupted");
    return;
  }
  // The scanner gave up on a body: go on with a fresh connection.
  Log("Processing Internal Abort");
  FInternalAbort = false;
  if (FArticleCurrent < FArticleEnd) {
    GoTo(stepReconnect);
  } else {
    FWalkDone = true;
    FIncomplete.Clear();
    FYEnc.EachUnfinished([this](const std::string& Name, const TYEncRecord& Record) {
      FIncomplete.Add(Name, TIncompleteFiles::PartsText(Record));
    });
    TellIncomplete();
    Log("Downloading Done");
    SetStatus("Downloading Done" + TIncompleteFiles::Suffix(FIncomplete.Count()));
    SetCaption("Download Done" + TIncompleteFiles::Suffix(FIncomplete.Count()));
    FRepair.Start();
    EndWalk(true, weDone);
  }
}

// The A command. A part file still open holds a block whose end line has
// not come: decoding it would save a file with data missing. It stays open
// for R to go on with, and the next session gathers the block from its
// first article (NextToExamine).
void TDecodeSession::CarryOutAfter() {
  FStopAfter = false;
  FArticleLines = 0;
  // The request in hand was the group's last: the walk has reached its end.
  if (FWalkStarted && FCurrentDone && FArticleCurrent >= FArticleEnd) {
    WalkDone();
    return;
  }
  if (FPartFile) {
    Log("Unfinished part file kept open " + PartFileName());
    Incomplete(PartFileName(), "Unfinished part file kept open " + PartFileName());
  }
  SetStatus("Downloading Interrupted");
  Log("Downloading Interrupted");
  GoTo(stepFinished);
  EndWalk(false);
}

void TDecodeSession::Reconnect() {
  switch (Nntp.State()) {
  case nntpNotConnected:
    // The walk by overview goes on over the fetcher's connections.
    if (FWalkStarted && FResumeStep == stepStart && WalksByOverview())
      Advance();
    else
      ConnectToServer();
    break;
  case nntpReady:
    if (FWalkStarted)
      GoOn();
    else
      RequestGroup();
    break;
  default:
    Log("Error Reconnecting ....");
  }
}

// Completions only set the next step; the tick sends it. A closed window
// sends nothing more.
void TDecodeSession::GoTo(std::int32_t Step) {
  FNextStep = Step;
  if (!FClosed)
    Timer1.start();
}

void TDecodeSession::EndWalk(bool Tell, TWalkEnd How) {
  FTransfer.Ended();
  if (std::exchange(FRunning, false) && Tell && OnWalkEnded)
    OnWalkEnded(this, How);
  PostSettleCheck();
}

// "Error #" and the number. The socket's own errors (10000 to 11004, not
// the client's 65535 for a reply of no status) add their text, and a name
// that did not resolve is named.
std::string TDecodeSession::ErrorText(std::uint16_t Error) const {
  std::string text = "Error #" + IntToStr(Error);
  if (Error < FirstSocketError || Error > NoAddress)
    return text;
  text += " " + WSocketErrorDesc(Error);
  if (Error >= HostNotFound && Error <= NoAddress)
    text += " (" + Nntp.Host() + ")";
  return text;
}

// Lines pass here before the scanner: the overview's format is the
// controller's.
void TDecodeSession::ControllerMessageLine(TObject* Sender) {
  CountReceived(Nntp.LastResponse().size());
  if (FNextStep == stepOverviewFmt)
    OverviewFormatLine(Nntp.LastResponse());
  else
    NntpMessageLine(Sender);
}

// Once a connection of the walk compresses, the row counts what came over
// the link, over every connection; until then the lines with their ends.
void TDecodeSession::CountReceived(std::size_t LineBytes) {
  if (!FWalk.Fetcher().CompressionTold()) {
    FTransfer.Received(std::int64_t(LineBytes) + 2);
    return;
  }
  const std::int64_t link = Nntp.LinkBytesReceived() + FWalk.Fetcher().LinkBytesReceived();
  if (FLinkSeen >= 0 && link > FLinkSeen)
    FTransfer.Received(link - FLinkSeen);
  FLinkSeen = link;
}

// The window's own connection says so once per walk, like the fetcher's.
void TDecodeSession::TellCompressed() {
  TArticleFetcher& fetcher = FWalk.Fetcher();
  if (Nntp.Compressed() && !fetcher.CompressionTold()) {
    fetcher.SetCompressionTold(true);
    Log("Compressed transfers with " + Nntp.Host());
  }
}

// "Lines:" and ":lines" name the field; "Lines:full" values carry the name.
void TDecodeSession::OverviewFormatLine(std::string_view Line) {
  if (FFormatIndex >= MaxFormatFields)
    return;
  ++FFormatIndex;
  const std::string_view entry = TrimSpaces(WithoutCR(Line));
  if (FFormatSubjectField == 0 && SameText(entry, "Subject:"))
    FFormatSubjectField = FFormatIndex;
  if (FFormatPosterField == 0 && SameText(entry, "From:"))
    FFormatPosterField = FFormatIndex;
  if (FFormatMessageIdField == 0 && SameText(entry, "Message-ID:"))
    FFormatMessageIdField = FFormatIndex;
  if (FFormatLinesField > 0)
    return;
  FFormatLinesFull = SameText(entry, "Lines:full");
  if (FFormatLinesFull || SameText(entry, "Lines:") || SameText(entry, ":lines"))
    FFormatLinesField = FFormatIndex;
}

void TDecodeSession::OverviewFormatDone(std::uint16_t Error) {
  if (Error == 0 && FFormatLinesField > 0) {
    FLinesField = FFormatLinesField;
    FLinesFull = FFormatLinesFull;
    // Subject comes first in the standard format.
    FSubjectField = FFormatSubjectField > 0 ? FFormatSubjectField : 1;
    FWalk.SetMessageIdField(FFormatMessageIdField > 0 ? FFormatMessageIdField : 4);
    Advance();
    return;
  }
  Log("No overview, requesting headers");
  ContinueWithHeaders();
}

// From the article the walk stands at, headers are read up to FHeadsUntil,
// or all of them when the overview's format names no Lines:.
bool TDecodeSession::WalksByOverview() const { return FLinesField > 0 && FArticleCurrent >= FHeadsUntil; }

// The walk goes on by HEAD from the first article not examined.
void TDecodeSession::ContinueWithHeaders() {
  if (FCurrentDone) {
    Advance();
    return;
  }
  SetStatus("Request Header " + IntToStr(FArticleCurrent));
  GoTo(stepHead);
}
