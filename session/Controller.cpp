#include "session/ChildWin.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/IniFile.h"
#include "walk/ServerAddress.h"
#include "walk/StartValues.h"
#include "window/TransferProgress.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

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

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }
std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

std::int64_t SaturatedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  return sum;
}

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

// Errors from 10000 on are the socket's: a walk request that ends with one
// lost its connection.
constexpr std::uint16_t FirstSocketError = 10000;
// The client closes on a line too long to hold; the same request would
// meet that line again.
constexpr std::uint16_t LineTooLong = 10053;
// "Authentication required" in answer to a request.
constexpr std::uint16_t LogInRequired = 480;
constexpr std::uint16_t NoSuchGroup = 411;
// The lookup's errors: the name did not resolve.
constexpr std::uint16_t HostNotFound = 11001;
constexpr std::uint16_t NoAddress = 11004;

// An overview format with Lines: further down than this is no format.
constexpr std::int32_t MaxFormatFields = 64;

// How far back the next session goes for the first article of a block
// still open.
constexpr std::int64_t MaxHeldBlock = 1000;
constexpr std::int64_t NoBlock = std::numeric_limits<std::int64_t>::max();

constexpr int MaxReconnectTries = 10;
constexpr int MaxReconnectSeconds = 60;

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

std::string_view WithoutCR(std::string_view line) {
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

std::int32_t ClampToInt32(std::int64_t value) {
  return std::int32_t(std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
}

std::string DateTimeText(double days) {
  const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
  return FromQt(epoch.addMSecs(std::llround(days * 86400000.0)).toString("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

void TMDIChild::WireController() {
  SetCaption("Decoding");
  Nntp.OnSessionConnected = [this](TObject* Sender, std::uint16_t Error) {
    NntpSessionConnected(Sender, Error);
  };
  Nntp.OnSessionClosed = [this](TObject* Sender, std::uint16_t Error) { NntpSessionClosed(Sender, Error); };
  Nntp.OnRequestDone = [this](TObject* Sender, TNntpRequest RqType, std::uint16_t Error) {
    NntpRequestDone(Sender, RqType, Error);
  };
  Nntp.OnMessageEnd = [this](TObject* Sender) { NntpMessageEnd(Sender); };
  // Every line passes the controller on its way to the scanner.
  Nntp.OnMessageLine = [this](TObject* Sender) { ControllerMessageLine(Sender); };
  WireWalk();
  FReconnectTimer = new QTimer(this);
  FReconnectTimer->setSingleShot(true);
  connect(FReconnectTimer, &QTimer::timeout, this, [this] { Guarded([this] { GoTo(stepReconnect); }); });
  connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(this); }); });
  const std::pair<QPushButton*, void (TMDIChild::*)(TObject*)> clicks[] = {
      {Stop, &TMDIChild::StopClick},
      {After, &TMDIChild::AfterClick},
      {Restart, &TMDIChild::RestartClick},
      {Skip, &TMDIChild::SkipClick}};
  for (const auto& [button, handler] : clicks)
    connect(button, &QPushButton::clicked, this,
            [this, handler = handler] { Guarded([this, handler] { (this->*handler)(this); }); });
}

void TMDIChild::FormCreate(TObject*) {
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
void TMDIChild::ReadStartValues() {
  if (!StartValues)
    throw Exception("No main window to take the session's settings from");
  const IStartValues& values = *StartValues;
  // The folder keeps the server entry as written, port and all.
  FServerEntry = values.Server();
  const std::string group = values.Group();
  FFolderToMake = values.DownloadPath() + ServerFolderName(FServerEntry) + "/" + group;
  lblGroupName->setText(ToQt(group));
  // The user stays out of what the window shows, like the password.
  lblHostName->setText(ToQt(ServerShownName(FServerEntry)));
  // A name cut to fit is whole in its tooltip, and the window's size hint
  // makes room for both names at once, for the frame to take.
  for (QLabel* label : {lblHostName, lblGroupName})
    label->setToolTip(label->text());
  Panel1->updateGeometry();
  SetCaption("Decoding");
  const TServerAddress address = SplitServerAddress(FServerEntry);
  Nntp.SetHost(address.Host);
  Nntp.SetPort(address.Port);
  // The socket keeps any CA file it was given: tests trust their own.
  Nntp.SetTls(address.Tls);
  Nntp.SetUserName(address.User);
  Nntp.SetPassWord(values.Password());

  FDefExt = values.DefaultExt();
  FMinLines = StrToInt(values.MinLines());
  FMaxLines = StrToInt(values.MaxLines());
  FMaxWaitingLines = StrToInt(values.WaitingLines());
  FSubjectFilter = TSubjectFilter(values.SubjectFilter());
  Timer1->setInterval(std::max(0, StrToInt(values.Pacing())));
  TArticleFetcher& fetcher = FWalk.Fetcher();
  fetcher.SetConnections(StrToInt(values.Connections()));
  fetcher.SetDepth(StrToInt(values.RequestsInFlight()));
  fetcher.SetPacing(Timer1->interval());
  if (FMaxLines <= FMinLines)
    FMaxLines = FMinLines > std::numeric_limits<std::int32_t>::max() - OpenMaxLines
                    ? std::numeric_limits<std::int32_t>::max()
                    : FMinLines + OpenMaxLines;
}

// From the session folder on. A folder that could not be made may be made
// on a second try, and a connect that could not start may start: R offers
// either.
void TMDIChild::StartSession() {
  try {
    ForceFolder(FFolderToMake);
  } catch (const std::exception& e) {
    StartStopped(e.what(), true);
    throw;
  }
  FSessionDir = FFolderToMake + "/";
  FRepair.SetFolder(FSessionDir);
  FArticleCurrent = ParsePosition(IniReadString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, "0"));
  SetStatus("Connecting to " + FromQt(lblHostName->text()));
  FRunning = true;
  try {
    ConnectToServer();
  } catch (...) {
    SetButtons(false, false, true, false); // the status says why
    throw;
  }
  Log("CONNECTING....");
  FormResize(this);
}

// A start-up that stopped says why and offers nothing that cannot work.
void TMDIChild::StartStopped(const std::string& Why, bool CanRetry) {
  FRunning = false;
  SetStatus(Why);
  SetButtons(false, false, CanRetry, false);
}

// Stores where the next session starts (NextToExamine). A body that the
// close cuts short comes again whole in the next session, so what it left
// in the part files goes, as after a lost connection.
void TMDIChild::FormClose(TObject*) {
  if (std::exchange(FClosed, true))
    return;
  FRunning = false;
  Timer1->stop();
  FReconnectTimer->stop();
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
}

// The first article not done with; one the walk never reached is not passed
// over, so a window that examined nothing keeps the position it read. A
// block still open (or thrown away by X) goes on in articles to come: the
// next session starts at its first article to gather it whole, unless that
// lies more than MaxHeldBlock articles back.
std::int64_t TMDIChild::NextToExamine() const {
  const std::int64_t next = FCurrentDone ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  const std::int64_t block = FStopped ? FStoppedBlock : OpenBlockStart();
  return block < next && block >= SaturatedAdd(next, -MaxHeldBlock) ? block : next;
}

// The article whose body began the block of the open part file.
std::int64_t TMDIChild::OpenBlockStart() const {
  if (!FPartFile)
    return NoBlock;
  return FPartFileCount == FBlockCount ? FBlockStart : FArticleCurrent;
}

// An article is done with once its body came whole and was scanned, or the
// server refused it, or its header put it out of range; the scanner gives
// up on a body of no data itself. A part file this body began goes on from
// here.
void TMDIChild::NoteArticleDone(TNntpRequest RqType) {
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

void TMDIChild::closeEvent(QCloseEvent* event) {
  Guarded([this] { FormClose(this); });
  event->accept();
}

void TMDIChild::NntpSessionConnected(TObject*, std::uint16_t Error) {
  FConnecting = false;
  FLoggedIn = false;
  if (Error != 0) {
    ConnectAttemptFailed(ErrorText(Error));
    return;
  }
  if (!FWalkStarted)
    SetStatus("Request GroupList");
  RequestGroup();
}

void TMDIChild::NntpSessionClosed(TObject*, std::uint16_t Error) {
  Log("Session Closed");
  if (Error != 0)
    Log(ErrorText(Error));
}

void TMDIChild::NntpMessageEnd(TObject*) {}

void TMDIChild::NntpRequestDone(TObject*, TNntpRequest RqType, std::uint16_t Error) {
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

void TMDIChild::Timer1Timer(TObject*) {
  Timer1->stop();
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
    FFormatIndex = FFormatLinesField = FFormatSubjectField = 0;
    FFormatLinesFull = false;
    Nntp.ListOverViewFmt();
    break;
  case stepLogIn:
    Log("Logging in");
    Nntp.Authenticate();
    break;
  case stepGroup:
    Log("Request Group " + FromQt(lblGroupName->text()));
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
      SetCaption("Download Done");
    } else {
      SetCaption(FWalkDone ? "Download Done" : "Downloading Interrupted");
    }
    FRepair.Start();
  }
}

void TMDIChild::StopClick(TObject*) {
  Timer1->stop();
  FReconnectTimer->stop();
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
  SetButtons(false, false, false, false);
  EndWalk(false);
}

void TMDIChild::AfterClick(TObject*) {
  FStopAfter = true;
  SetButtons(true, false, true, false);
  if (FWalk.Running()) {
    FWalk.StopAfter();
    return;
  }
  // While it waits to reconnect no completion comes to carry A out.
  if (FReconnectTimer->isActive()) {
    FReconnectTimer->stop();
    CarryOutAfter();
  }
}

void TMDIChild::RestartClick(TObject*) {
  SetButtons(true, true, false, true);
  FRunning = true;
  FStopText.clear();
  FWalkDone = false;
  FReconnectTimer->stop();
  FReconnectTries = 0;
  if (FSessionDir.empty()) { // the start-up stopped at the folder
    StartSession();
    return;
  }
  GoTo(stepReconnect);
}

// The skip waits for the next advance, so it counts from the article in hand
// then: a HEAD still out is followed by the BODY of the same article.
void TMDIChild::SkipClick(TObject*) {
  const int n = StrToInt(FromQt(EdArticlesToSkip->text()));
  if (n > 0 && FWalk.Running()) {
    // From the article being handed over, or from the last one handled.
    const std::int64_t current = FWalk.InArticle() ? FArticleCurrent : SaturatedAdd(FWalk.Position(), -1);
    FWalk.Pass(SaturatedAdd(std::min(SaturatedAdd(current, n), FArticleEnd), 1));
    if (!FWalk.InArticle())
      FollowWalk();
  } else if (n > 0) {
    FSkipPending = SaturatedAdd(FSkipPending, n);
  } else {
    EdArticlesToSkip->setFocus();
  }
  EdArticlesToSkip->setText("0");
}

void TMDIChild::StartBody() {
  FBodyLines = 0;
  FDataFound = false;
  // What a body cut short must not leave behind (DiscardCutBody).
  FBodyPartCount = FPartFileCount;
  FBodyPartSize = FPartFile ? FPartFile->Size() : 0;
  FBodyMimeBase64 = FMimeBase64;
  FBodyMimeName = FMimeName;
  ProgressBar2->setRange(0, std::max(0, FArticleLines));
  ShowBodyLines();
}

void TMDIChild::ConnectToServer() {
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
void TMDIChild::ConnectFailed(const std::string& Why) {
  SetStatus(Nntp.TlsError().empty() ? "Not Connected: " + Why : Nntp.TlsError());
  Log("Error Connecting !");
  Restart->setEnabled(true);
  EndWalk(true);
}

void TMDIChild::RequestGroup() { Nntp.Group(FromQt(lblGroupName->text())); }

// Only the first reply sets the walk's range; after a reconnect the walk
// goes on within it, however the group has grown since.
void TMDIChild::GroupReply(std::uint16_t Error) {
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
  SB1Panels[2]->setText(QString::number(FArticleEnd));
  if (FArticleCurrent <= FArticleEnd) {
    // The overview's format says whether the walk can do without a HEAD
    // per article.
    SetStatus("Request Overview Format");
    GoTo(stepOverviewFmt);
    return;
  }
  ProgressBar3->setRange(0, 1);
  FUpdates->SetValue(ProgressBar3, 1);
  WalkDone();
}

// A refused group has nothing to walk: every request would be answered "no
// newsgroup selected" and passed over. The walk stops where it is, R offered.
void TMDIChild::GroupRefused(std::uint16_t Error) {
  const std::string group = FromQt(lblGroupName->text());
  StopWalk(Error == NoSuchGroup ? "Group " + group + " not found on " + Nntp.Host()
                                : "Group " + group + " refused by " + Nntp.Host());
}

bool TMDIChild::LinesInRange() const { return FMinLines <= FArticleLines && FArticleLines <= FMaxLines; }

// A refused HEAD leaves the subject of the article before: none counts.
bool TMDIChild::BodyWanted() const {
  return LinesInRange() &&
         FSubjectFilter.Passes(FHeadArticle == FArticleCurrent ? std::string_view(FHeadSubject)
                                                               : std::string_view());
}

void TMDIChild::HeaderDone() {
  if (BodyWanted()) {
    SetStatus("Request Body " + IntToStr(FArticleCurrent));
    GoTo(stepBody);
  } else {
    Advance();
  }
}

void TMDIChild::Advance() {
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

void TMDIChild::WalkDone() {
  FWalkDone = true;
  SetStatus("Downloading Done");
  Log("Downloading Done");
  GoTo(stepFinished);
  EndWalk(true);
}

// A walk that reached the group's end keeps saying so when its QUIT is
// answered; any other end was a stop.
void TMDIChild::ConnectionEnded() {
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
    Log("Downloading Done");
    SetStatus("Downloading Done");
    SetCaption("Download Done");
    FRepair.Start();
    EndWalk(true);
  }
}

// The A command. A part file still open holds a block whose end line has
// not come: decoding it would save a file with data missing. It stays open
// for R to go on with, and the next session gathers the block from its
// first article (NextToExamine).
void TMDIChild::CarryOutAfter() {
  FStopAfter = false;
  FArticleLines = 0;
  if (FPartFile)
    Log("Unfinished part file kept open " + PartFileName());
  SetStatus("Downloading Interrupted");
  Log("Downloading Interrupted");
  GoTo(stepFinished);
  EndWalk(false);
}

void TMDIChild::Reconnect() {
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
void TMDIChild::GoTo(std::int32_t Step) {
  FNextStep = Step;
  if (!FClosed)
    Timer1->start();
}

void TMDIChild::EndWalk(bool Tell) {
  if (std::exchange(FRunning, false) && Tell)
    emit WalkEnded();
}

// "Error #" and the number. The socket's own errors (10000 to 11004, not
// the client's 65535 for a reply of no status) add their text, and a name
// that did not resolve is named.
std::string TMDIChild::ErrorText(std::uint16_t Error) const {
  std::string text = "Error #" + IntToStr(Error);
  if (Error < FirstSocketError || Error > NoAddress)
    return text;
  text += " " + WSocketErrorDesc(Error);
  if (Error >= HostNotFound && Error <= NoAddress)
    text += " (" + Nntp.Host() + ")";
  return text;
}

void TMDIChild::SetButtons(bool StopOn, bool AfterOn, bool RestartOn, bool SkipOn) {
  Stop->setEnabled(StopOn);
  After->setEnabled(AfterOn);
  Restart->setEnabled(RestartOn);
  Skip->setEnabled(SkipOn);
}

// Lines pass here before the scanner: the overview's format is the
// controller's.
void TMDIChild::ControllerMessageLine(TObject* Sender) {
  TransferProgress->Received(std::int64_t(Nntp.LastResponse().size()) + 2);
  if (FNextStep == stepOverviewFmt)
    OverviewFormatLine(Nntp.LastResponse());
  else
    NntpMessageLine(Sender);
}

// "Lines:" and ":lines" name the field; "Lines:full" values carry the name.
void TMDIChild::OverviewFormatLine(std::string_view Line) {
  if (FFormatIndex >= MaxFormatFields)
    return;
  ++FFormatIndex;
  const std::string_view entry = TrimSpaces(WithoutCR(Line));
  if (FFormatSubjectField == 0 && SameText(entry, "Subject:"))
    FFormatSubjectField = FFormatIndex;
  if (FFormatLinesField > 0)
    return;
  FFormatLinesFull = SameText(entry, "Lines:full");
  if (FFormatLinesFull || SameText(entry, "Lines:") || SameText(entry, ":lines"))
    FFormatLinesField = FFormatIndex;
}

void TMDIChild::OverviewFormatDone(std::uint16_t Error) {
  if (Error == 0 && FFormatLinesField > 0) {
    FLinesField = FFormatLinesField;
    FLinesFull = FFormatLinesFull;
    // Subject comes first in the standard format.
    FSubjectField = FFormatSubjectField > 0 ? FFormatSubjectField : 1;
    Advance();
    return;
  }
  Log("No overview, requesting headers");
  ContinueWithHeaders();
}

// From the article the walk stands at, headers are read up to FHeadsUntil,
// or all of them when the overview's format names no Lines:.
bool TMDIChild::WalksByOverview() const { return FLinesField > 0 && FArticleCurrent >= FHeadsUntil; }

// The walk goes on by HEAD from the first article not examined.
void TMDIChild::ContinueWithHeaders() {
  if (FCurrentDone) {
    Advance();
    return;
  }
  SetStatus("Request Header " + IntToStr(FArticleCurrent));
  GoTo(stepHead);
}

// The connection went while a walk request was out. The request is made
// again after the reconnect: the article whose request was cut short is
// examined again, and until then the stored position does not pass it. A
// line too long to hold would cut the same request again, so that article
// is passed over.
void TMDIChild::ConnectionLost(TNntpRequest RqType, std::uint16_t Error) {
  const bool tooLong = Error == LineTooLong;
  const bool inBody = FNextStep == stepBody;
  switch (RqType) {
  case nntpHeadByNumber:
  case nntpBodyByNumber:
    if (inBody)
      DiscardCutBody(!tooLong);
    if (tooLong) {
      Log("Line too long in article " + IntToStr(FArticleCurrent) + ", passed over");
      FArticleLines = 0;
      FCurrentDone = true;
      FResumeStep = stepStart;
    } else {
      FResumeStep = RqType == nntpHeadByNumber ? stepHead : stepBody;
    }
    break;
  case nntpListOverViewFmt:
    if (tooLong)
      Log("Line too long in the overview format, requesting headers");
    FResumeStep = tooLong ? stepHead : stepOverviewFmt;
    break;
  case nntpAuthenticate: // the request that asked for it is made again
    if (FLogInRetry != stepGroup)
      FResumeStep = FLogInRetry;
    break;
  default: // GROUP: the reconnect asks for it anyway
    break;
  }
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  if (FStopped || FClosed)
    return;
  ScheduleReconnect();
}

// The server closed the connection while the walk waited to make its next
// request (an idle server's time limit, a long pacing): nothing was cut
// short, so after the reconnect that request is made as it would have been.
void TMDIChild::ConnectionLostWhileWaiting() {
  const std::int32_t step = FNextStep == stepLogIn ? FLogInRetry : FNextStep;
  FResumeStep = step == stepGroup ? stepStart : step; // the reconnect selects the group anyway
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  ScheduleReconnect();
}

// A body cut short comes again whole after the reconnect, so what it left
// goes: the scanner's MIME state returns to where the body began, a part
// file the body started is deleted, and a part file it continued from
// earlier articles is cut back to where the body began, so that the body
// continues it again and a file posted over several articles still decodes
// whole. A body that will not come again leaves its part file undecoded.
void TMDIChild::DiscardCutBody(bool ComesAgain) {
  FMimeBase64 = FBodyMimeBase64;
  FMimeName = FBodyMimeName;
  if (!FPartFile)
    return;
  const std::string path = PartFileName();
  if (ComesAgain && FPartFileCount == FBodyPartCount) {
    try {
      FPartFile->Truncate(FBodyPartSize);
      Log("Part file rewound " + path);
      return;
    } catch (const std::exception& e) {
      Log(e.what());
    }
  }
  if (!ComesAgain || FPartFileCount == FBodyPartCount) {
    KeepUnfinishedPartFile();
    return;
  }
  DiscardPartFile();
  Log("Unfinished part file discarded " + path);
}

void TMDIChild::DiscardPartFile() {
  const std::string path = PartFileName();
  FPartFile.reset();
  FPartKind = 0;
  DeleteFile(path);
}

// Waits 1, 2, 4, ... 60 s before the next try; after the last one the
// window waits for R.
void TMDIChild::ScheduleReconnect() {
  if (FReconnectTries >= MaxReconnectTries) {
    FReconnectTries = 0;
    SetStatus("Connection lost");
    Log("Connection lost");
    Restart->setEnabled(true);
    EndWalk(true);
    FRepair.Start();
    return;
  }
  ++FReconnectTries;
  const int seconds = std::min(1 << (FReconnectTries - 1), MaxReconnectSeconds);
  const std::string text = "Reconnecting in " + IntToStr(seconds) + " s (try " + IntToStr(FReconnectTries) +
                           " of " + IntToStr(MaxReconnectTries) + ")";
  SetStatus(text);
  Log(text);
  FNextStep = stepReconnect;
  FReconnectTimer->start(FReconnectDelay * seconds);
}

// A try of the back-off that failed leads to the next; any other failed
// connect waits for R.
void TMDIChild::ConnectAttemptFailed(const std::string& Why) {
  if (FReconnectTries == 0) {
    ConnectFailed(Why);
    return;
  }
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  if (!FStopped && !FClosed)
    ScheduleReconnect();
}

// After a reconnect: the request cut short is made again, else the walk
// moves on. A skip asked for meanwhile passes the article cut short too, so
// an article that keeps breaking the connection can be left behind.
void TMDIChild::GoOn() {
  const std::int32_t step = std::exchange(FResumeStep, stepStart);
  const bool article = step == stepHead || step == stepBody;
  if (step == stepStart || (article && FSkipPending > 0)) {
    Advance();
    return;
  }
  Resume(step);
}

// Makes a request of the walk again, with the status it had.
void TMDIChild::Resume(std::int32_t Step) {
  const std::string number = IntToStr(FArticleCurrent);
  switch (Step) {
  case stepHead:
    SetStatus("Request Header " + number);
    break;
  case stepBody:
    SetStatus("Request Body " + number);
    break;
  case stepGroup:
    SetStatus("Request GroupList");
    break;
  default:
    SetStatus("Request Overview Format");
  }
  GoTo(Step);
}

// The server wants to know who we are before it answers the request: log in
// and make the request again, once per connection. An article asked for
// that way is not examined until the request is answered.
void TMDIChild::LogInNeeded(TNntpRequest RqType) {
  switch (RqType) {
  case nntpGroup:
    FLogInRetry = stepGroup;
    break;
  case nntpListOverViewFmt:
    FLogInRetry = stepOverviewFmt;
    break;
  default:
    FLogInRetry = RqType == nntpHeadByNumber ? stepHead : stepBody;
  }
  if (FStopAfter) {
    // R makes the refused request again, after a log-in.
    if (FLogInRetry != stepGroup)
      FResumeStep = FLogInRetry;
    CarryOutAfter();
    return;
  }
  if (Nntp.UserName().empty() || Nntp.PassWord().empty()) {
    StopForLogIn("Log-in needed by " + Nntp.Host() + ": set a user and password in Configure");
    return;
  }
  // Logged in and still asked: the log-in does not open this to us.
  if (FLoggedIn) {
    StopForLogIn("Log-in refused by " + Nntp.Host());
    return;
  }
  SetStatus("Logging in to " + Nntp.Host());
  GoTo(stepLogIn);
}

void TMDIChild::LogInDone(std::uint16_t Error) {
  if (FNextStep != stepLogIn)
    return;
  if (Error != 0) {
    StopForLogIn("Log-in refused by " + Nntp.Host());
    return;
  }
  FLoggedIn = true;
  Resume(FLogInRetry);
}

// The walk ends here with a QUIT and waits for R, which connects again and
// makes the refused request again; the position stays before it.
void TMDIChild::StopForLogIn(const std::string& Text) {
  if (FLogInRetry != stepGroup)
    FResumeStep = FLogInRetry;
  StopWalk(Text);
}

// Ends the walk with QUIT for a reason of its own, shown in the log and the
// status; R connects again and goes on from the position kept.
void TMDIChild::StopWalk(const std::string& Text) {
  Log(Text);
  SetStatus(Text);
  FStopText = Text;
  SetButtons(true, false, true, false);
  GoTo(stepFinished);
  EndWalk(true);
}

// ---- the walk by overview over several connections ----

void TMDIChild::WireWalk() {
  FWalk.OnArticleBegin = [this](TObject*, std::int64_t n, std::int64_t lines) { WalkArticleBegin(n, lines); };
  FWalk.OnArticleLine = [this](TObject*, std::int64_t, std::string_view line) { WalkArticleLine(line); };
  FWalk.OnArticleEnd = [this](TObject*, std::int64_t n, std::uint16_t e) { WalkArticleEnd(n, e); };
  FWalk.OnScanned = [this](TObject*, const std::string& text) {
    Log(text);
    FollowWalk();
  };
  FWalk.OnLog = [this](TObject*, const std::string& text) { Log(text); };
  FWalk.OnStatus = [this](TObject*, const std::string& text) { SetStatus(text); };
  FWalk.OnStopped = [this](TObject*, const std::string& why) { WalkStopped(why); };
  FWalk.OnDone = [this](TObject*) {
    FArticleCurrent = FArticleEnd;
    FCurrentDone = true;
    ShowCurrentArticle();
    ShowGroupProgress();
    FStopAfter = false;
    WalkDone();
  };
  FWalk.OnHeaders = [this](TObject*, std::int64_t from, std::int64_t until) { WalkHeaders(from, until); };
}

// The walk's connections log in with the password kept now.
void TMDIChild::StartWalk() {
  TArticleFetcher& fetcher = FWalk.Fetcher();
  fetcher.SetServer(SplitServerAddress(FServerEntry));
  fetcher.SetPassWord(StartValues ? StartValues->PasswordOf(FServerEntry) : Nntp.PassWord());
  fetcher.SetGroup(FromQt(lblGroupName->text()));
  fetcher.SetTimeout(Nntp.Timeout());
  fetcher.SetTlsCAFile(Nntp.WSocket().TlsCAFile());
  fetcher.SetReconnectDelay(FReconnectDelay);
  FWalk.SetFormat(FLinesField, FLinesFull, FSubjectField);
  FWalk.SetChoice(FMinLines, FMaxLines, FSubjectFilter);
  FNextStep = stepFetch;
  FWalk.Start(FCurrentDone ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent, FArticleEnd);
}

// The article's log line is written as its turn comes, no longer as its
// request goes out: requests go out well ahead of the turn.
void TMDIChild::WalkArticleBegin(std::int64_t Number, std::int64_t Lines) {
  FArticleCurrent = Number;
  FCurrentDone = false;
  FArticleLines = ClampToInt32(Lines); // until its header says otherwise
  ShowCurrentArticle();
  SetStatus("Request Article " + IntToStr(FArticleCurrent));
  ShowGroupProgress();
  Log("Request Article " + IntToStr(FArticleCurrent));
  FNextStep = stepHead;
}

// The blank line ends the header; the scanner reads what follows as a body.
void TMDIChild::WalkArticleLine(std::string_view Line) {
  TransferProgress->Received(std::int64_t(Line.size()) + 2);
  if (FNextStep == stepHead && WithoutCR(Line).empty()) {
    FNextStep = stepBody;
    StartBody();
    return;
  }
  ScanLine(Line);
}

// An article cut short comes again whole from its first line, so what it
// left goes; one the server refused comes without a line.
void TMDIChild::WalkArticleEnd(std::int64_t Number, std::uint16_t Error) {
  const bool inBody = FNextStep == stepBody;
  const bool begun = inBody || FNextStep == stepHead || FInternalAbort;
  FNextStep = stepFetch;
  if (Error >= FirstSocketError && Error != LineTooLong) {
    Log(ErrorText(Error));
    FInternalAbort = false;
    if (inBody)
      DiscardCutBody(true);
    return;
  }
  if (!begun)
    WalkArticleBegin(Number, 0);
  FNextStep = stepFetch;
  if (Error != 0 && Error != LineTooLong)
    Log(ErrorText(Error));
  LogAppend("Request Done");
  if (Error == LineTooLong) {
    if (inBody)
      DiscardCutBody(false);
    Log("Line too long in article " + IntToStr(Number) + ", passed over");
  }
  if (inBody || FInternalAbort)
    EndOfBody(Error == 0 && !FInternalAbort);
  if (std::exchange(FInternalAbort, false))
    Log("Processing Internal Abort");
  NoteArticleDone(nntpArticleByNumber);
  FArticleLines = 0;
  FollowWalk();
}

// The walk stopped by itself (a log-in refused, the group refused, every
// connection lost), or after A.
void TMDIChild::WalkStopped(const std::string& Why) {
  if (Why.empty()) { // A: the connections have said goodbye, as one does after A
    CarryOutAfter();
    SetStatus("Downloading Interrupted by User");
    return;
  }
  SetStatus(Why);
  FStopText = Why;
  SetButtons(true, false, true, false);
  GoTo(stepFinished);
  EndWalk(true);
}

// The overview could not be read from From on: the window's own connection
// reads the headers, up to Until or to the group's end.
void TMDIChild::WalkHeaders(std::int64_t From, std::int64_t Until) {
  FArticleCurrent = From;
  FCurrentDone = false;
  if (Until == std::numeric_limits<std::int64_t>::max())
    FLinesField = 0;
  else
    FHeadsUntil = Until;
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  GoTo(stepReconnect);
}

// The walk's position is the window's: the first article not yet handled.
void TMDIChild::FollowWalk() {
  const std::int64_t next = FWalk.Position();
  FCurrentDone = next > FArticleEnd;
  FArticleCurrent = FCurrentDone ? FArticleEnd : next;
  ShowCurrentArticle();
  ShowGroupProgress();
}

// Over the walk's connections the rest of the article is read and passed
// over; the window's own connection is dropped and made again.
void TMDIChild::GiveUpBody() {
  if (FWalk.InArticle())
    FNextStep = stepFetch;
  else
    Nntp.Abort();
}
