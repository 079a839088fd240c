#include "session/ChildWin.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/IniFile.h"
#include "session/ServerAddress.h"
#include "session/StartValues.h"

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

// The overview is asked for this many articles at a time: one reply holds
// the in-range articles of one block, no more.
constexpr std::int64_t OverviewBlock = 1000;
// An overview format with Lines: further down than this is no format.
constexpr std::int32_t MaxFormatFields = 64;

constexpr int MaxReconnectTries = 10;
constexpr int MaxReconnectSeconds = 60;

bool IsWalkRequest(TNntpRequest RqType) {
  switch (RqType) {
  case nntpGroup:
  case nntpHeadByNumber:
  case nntpBodyByNumber:
  case nntpArticleByNumber:
  case nntpXOver:
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

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

// A plain decimal number of at most 18 digits: nothing else, no sign.
bool ReadDigits(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.size() > 18)
    return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The article number and the Lines: value of an overview line, whose
// fields are cut at TABs; false when either is missing or no plain number.
// An empty Lines: field counts 0, as an article without the header.
bool ReadOverviewLine(std::string_view line, std::int32_t linesField, bool full, std::int64_t& number,
                      std::int64_t& lines) {
  std::size_t tab = line.find('\t');
  if (!ReadDigits(line.substr(0, tab), number))
    return false;
  for (std::int32_t field = 0; field < linesField; ++field) {
    if (tab == std::string_view::npos)
      return false;
    line.remove_prefix(tab + 1);
    tab = line.find('\t');
  }
  std::string_view value = line.substr(0, tab);
  if (full && value.size() >= 6 && SameText(value.substr(0, 6), "Lines:"))
    value.remove_prefix(6);
  value = TrimBlanks(value);
  lines = 0;
  return value.empty() || ReadDigits(value, lines);
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
  setWindowTitle("Decoding");
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
  FWalkStarted = FCurrentExamined = FConnecting = FStopped = FInArticle = false;
  FLinesField = 0;
  FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  FInRange.clear();
  FResumeStep = FLogInRetry = stepStart;
  FReconnectTries = 0;
  FLoggedIn = false;
  FStopText.clear();

  if (!StartValues)
    throw Exception("No main window to take the session's settings from");
  const IStartValues& values = *StartValues;
  FDefExt = values.DefaultExt();
  FMinLines = StrToInt(values.MinLines());
  FMaxLines = StrToInt(values.MaxLines());
  FMaxWaitingLines = StrToInt(values.WaitingLines());
  Timer1->setInterval(std::max(0, StrToInt(values.Pacing())));
  if (FMaxLines <= FMinLines)
    FMaxLines = FMinLines > std::numeric_limits<std::int32_t>::max() - OpenMaxLines
                    ? std::numeric_limits<std::int32_t>::max()
                    : FMinLines + OpenMaxLines;

  // The folder keeps the server entry as written, port and all.
  const std::string server = values.Server();
  FServerEntry = server;
  const std::string group = values.Group();
  const std::string folder = values.DownloadPath() + ServerFolderName(server) + "/" + group;
  ForceFolder(folder);
  FSessionDir = folder + "/";
  FArticleCurrent = ParsePosition(IniReadString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, "0"));

  lblGroupName->setText(ToQt(group));
  const TServerAddress address = SplitServerAddress(server);
  Nntp.SetHost(address.Host);
  Nntp.SetPort(address.Port);
  // The socket keeps any CA file it was given: tests trust their own.
  Nntp.SetTls(address.Tls);
  Nntp.SetUserName(address.User);
  Nntp.SetPassWord(values.Password());
  // The user stays out of what the window shows, like the password.
  const std::string shown = ServerShownName(server);
  lblHostName->setText(ToQt(shown));
  SetStatus("Connecting to " + shown);
  ConnectToServer();
  Log("CONNECTING....");
  FormResize(this);
}

// Stores where the next session starts. An article counts as done once it
// was asked for or skipped; one the walk never reached is not passed over,
// so a window that examined nothing stores the position it read.
void TMDIChild::FormClose(TObject*) {
  if (std::exchange(FClosed, true))
    return;
  Timer1->stop();
  FReconnectTimer->stop();
  FConnecting = false;
  Nntp.Abort();
  if (FSessionDir.empty()) // the start-up stopped before it had a folder
    return;
  CloseYEncFiles();
  const std::int64_t next = FCurrentExamined ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
}

void TMDIChild::closeEvent(QCloseEvent* event) {
  Guarded([this] { FormClose(this); });
  event->accept();
}

void TMDIChild::NntpSessionConnected(TObject*, std::uint16_t Error) {
  FConnecting = false;
  FLoggedIn = false;
  if (Error != 0) {
    ConnectAttemptFailed();
    return;
  }
  if (!FWalkStarted)
    SetStatus("Request GroupList");
  RequestGroup();
}

void TMDIChild::NntpSessionClosed(TObject*, std::uint16_t Error) {
  Log("Session Closed");
  if (Error != 0)
    Log("Error #" + IntToStr(Error));
}

void TMDIChild::NntpMessageEnd(TObject*) {}

void TMDIChild::NntpRequestDone(TObject*, TNntpRequest RqType, std::uint16_t Error) {
  FInArticle = false;
  if (Error != 0)
    Log("Error #" + IntToStr(Error));
  // The number alone does not say which check of the handshake failed.
  if (Error == WSAETLS)
    Log(Nntp.TlsError().empty() ? std::string("TLS: the secure connection failed") : Nntp.TlsError());
  // A block scan gets one log line of its own when it ends.
  if (RqType != nntpXOver || FNextStep != stepOverview)
    LogAppend("Request Done");
  // A connect that failed ends the request before it; it is no step of the walk.
  if (std::exchange(FConnecting, false)) {
    ConnectAttemptFailed();
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
  if (RqType == nntpBodyByNumber ||
      ((RqType == nntpAbort || RqType == nntpArticleByNumber) && FNextStep == stepBody))
    EndOfBody(RqType != nntpAbort && Error == 0);
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
  case nntpXOver:
    if (FNextStep == stepOverview)
      OverviewDone(Error);
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
    ProgressBar3->setValue(GroupProgress());
    Log("Request Header " + IntToStr(FArticleCurrent));
    // An article without a Lines: header (or a refused HEAD) must not
    // inherit the count of an article before it.
    FArticleLines = 0;
    Nntp.HeadByNumber(FArticleCurrent);
    FCurrentExamined = true;
    break;
  case stepBody:
    Log("Request Body " + IntToStr(FArticleCurrent));
    StartBody();
    Nntp.BodyByNumber(FArticleCurrent);
    FCurrentExamined = true;
    break;
  case stepArticle:
    ProgressBar3->setValue(GroupProgress());
    Log("Request Article " + IntToStr(FArticleCurrent));
    Nntp.ArticleByNumber(FArticleCurrent);
    // The header comes first; its blank line turns the step to the body.
    FNextStep = stepHead;
    FInArticle = true;
    FCurrentExamined = true;
    break;
  case stepOverview:
    ProgressBar3->setValue(GroupProgress());
    FInRange.clear();
    FUnreadable = 0;
    FLastListed = SaturatedAdd(FScanFirst, -1);
    Nntp.XOver(IntToStr(FScanFirst) + "-" + IntToStr(FScanLast));
    break;
  case stepOverviewFmt:
    Log("Request Overview Format");
    FFormatIndex = FFormatLinesField = 0;
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
    // A connection already gone has nothing to say goodbye to.
    if (Nntp.State() != nntpNotConnected)
      Nntp.Quit();
    setWindowTitle("Download Done");
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
  // The unfinished part is thrown away, not decoded.
  if (FPartFile) {
    FPartFile.reset();
    DeleteFile(PartFileName());
    FPartKind = 0;
  }
  SetButtons(false, false, false, false);
}

void TMDIChild::AfterClick(TObject*) {
  FStopAfter = true;
  SetButtons(true, false, true, false);
  // While it waits to reconnect no completion comes to carry A out.
  if (FReconnectTimer->isActive()) {
    FReconnectTimer->stop();
    CarryOutAfter();
  }
}

void TMDIChild::RestartClick(TObject*) {
  SetButtons(true, true, false, true);
  FStopText.clear();
  FReconnectTimer->stop();
  FReconnectTries = 0;
  GoTo(stepReconnect);
}

// The skip waits for the next advance, so it counts from the article in hand
// then: a HEAD still out is followed by the BODY of the same article.
void TMDIChild::SkipClick(TObject*) {
  const int n = StrToInt(FromQt(EdArticlesToSkip->text()));
  if (n > 0)
    FSkipPending = SaturatedAdd(FSkipPending, n);
  else
    EdArticlesToSkip->setFocus();
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
      ConnectFailed();
      throw;
    }
    // A try of the back-off that cannot even start is one more failed try.
    Log(e.what());
    ConnectAttemptFailed();
  }
}

// Nothing was examined; R tries again from where the window started. A
// failed TLS check says which.
void TMDIChild::ConnectFailed() {
  SetStatus(Nntp.TlsError().empty() ? std::string("Not Connected") : Nntp.TlsError());
  Log("Error Connecting !");
  Restart->setEnabled(true);
}

void TMDIChild::RequestGroup() { Nntp.Group(FromQt(lblGroupName->text())); }

// Only the first reply sets the walk's range; after a reconnect the walk
// goes on within it, however the group has grown since.
void TMDIChild::GroupReply(std::uint16_t Error) {
  if (FWalkStarted) {
    // Refused on a new connection, the group has nothing to walk there: every
    // request would be answered "no newsgroup selected" and passed over.
    if (Error != 0)
      StopWalk("Group " + FromQt(lblGroupName->text()) + " refused by " + Nntp.Host());
    else
      GoOn();
    return;
  }
  Log("ArticleEstimated = " + IntToStr(Nntp.ArticleEstimated()));
  Log("ArticleFirst     = " + IntToStr(Nntp.ArticleFirst()));
  Log("ArticleLast      = " + IntToStr(Nntp.ArticleLast()));
  if (Error != 0) { // a group the server does not carry has nothing to walk
    WalkDone();
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
  ProgressBar3->setValue(1);
  WalkDone();
}

void TMDIChild::HeaderDone() {
  if (FMinLines <= FArticleLines && FArticleLines <= FMaxLines) {
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
    FCurrentExamined = true;
  }
  FSkipPending = 0;
  if (FLinesField > 0 && FArticleCurrent >= FHeadsUntil) {
    AdvanceByOverview();
    return;
  }
  // An article never asked for (the walk stopped before its request went
  // out, or a log-in refused it) is asked for now, not passed.
  if (!FCurrentExamined && FArticleCurrent <= FArticleEnd) {
    ShowCurrentArticle();
    SetStatus("Request Header " + IntToStr(FArticleCurrent));
    GoTo(stepHead);
    return;
  }
  if (FArticleCurrent < FArticleEnd) {
    ++FArticleCurrent;
    FCurrentExamined = false;
    ShowCurrentArticle();
    SetStatus("Request Header " + IntToStr(FArticleCurrent));
    GoTo(stepHead);
  } else {
    WalkDone();
  }
}

void TMDIChild::WalkDone() {
  SetStatus("Downloading Done");
  Log("Downloading Done");
  GoTo(stepFinished);
}

void TMDIChild::ConnectionEnded() {
  if (!FStopText.empty()) { // the walk stopped for a reason of its own
    SetStatus(FStopText);
    setWindowTitle("Downloading Interrupted");
    return;
  }
  if (!FInternalAbort) {
    SetStatus("Downloading Interrupted by User");
    setWindowTitle("Downloading Interrupted");
    return;
  }
  // The scanner gave up on a body: go on with a fresh connection.
  Log("Processing Internal Abort");
  FInternalAbort = false;
  if (FArticleCurrent < FArticleEnd) {
    GoTo(stepReconnect);
  } else {
    Log("Downloading Done");
    SetStatus("Downloading Done");
  }
}

// The A command: a part file still open is ended and decoded before QUIT.
void TMDIChild::CarryOutAfter() {
  FStopAfter = false;
  FArticleLines = 0;
  SetStatus("Downloading Interrupted");
  Log("Downloading Interrupted");
  if (FPartFile) {
    try {
      FinishPartFile(true);
    } catch (const std::exception& e) {
      Log(e.what()); // the walk still ends with its QUIT
    }
  }
  GoTo(stepFinished);
}

void TMDIChild::Reconnect() {
  switch (Nntp.State()) {
  case nntpNotConnected:
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

void TMDIChild::SetButtons(bool StopOn, bool AfterOn, bool RestartOn, bool SkipOn) {
  Stop->setEnabled(StopOn);
  After->setEnabled(AfterOn);
  Restart->setEnabled(RestartOn);
  Skip->setEnabled(SkipOn);
}

// Lines pass here before the scanner: overview lines are the controller's,
// and the blank line of an ARTICLE ends its header, so the scanner reads
// what follows as a body, as after HEAD and BODY.
void TMDIChild::ControllerMessageLine(TObject* Sender) {
  switch (FNextStep) {
  case stepOverviewFmt:
    OverviewFormatLine(Nntp.LastResponse());
    return;
  case stepOverview:
    OverviewLine(Nntp.LastResponse());
    return;
  case stepHead:
    if (FInArticle && WithoutCR(Nntp.LastResponse()).empty()) {
      FNextStep = stepBody;
      StartBody();
      return;
    }
    break;
  default:
    break;
  }
  NntpMessageLine(Sender);
}

// "Lines:" and ":lines" name the field; "Lines:full" values carry the name.
void TMDIChild::OverviewFormatLine(std::string_view Line) {
  if (FFormatLinesField > 0 || FFormatIndex >= MaxFormatFields)
    return;
  ++FFormatIndex;
  const std::string_view entry = TrimBlanks(WithoutCR(Line));
  FFormatLinesFull = SameText(entry, "Lines:full");
  if (FFormatLinesFull || SameText(entry, "Lines:") || SameText(entry, ":lines"))
    FFormatLinesField = FFormatIndex;
}

// A line that cannot be read, or whose number lies outside the block or
// does not follow the one before, is passed over: the article is not
// fetched, and the block's log line counts it.
void TMDIChild::OverviewLine(std::string_view Line) {
  std::int64_t number = 0, lines = 0;
  if (!ReadOverviewLine(Line, FLinesField, FLinesFull, number, lines) || number < FScanFirst ||
      number > FScanLast || number <= FLastListed) {
    if (FUnreadable < std::numeric_limits<std::int32_t>::max())
      ++FUnreadable;
    return;
  }
  FLastListed = number;
  if (FMinLines <= lines && lines <= FMaxLines)
    FInRange.push_back({number, lines});
}

void TMDIChild::OverviewFormatDone(std::uint16_t Error) {
  if (Error == 0 && FFormatLinesField > 0) {
    FLinesField = FFormatLinesField;
    FLinesFull = FFormatLinesFull;
    FScannedTo = SaturatedAdd(FArticleCurrent, -1);
    FInRange.clear();
    Advance();
    return;
  }
  Log("No overview, requesting headers");
  ContinueWithHeaders();
}

// 420 and 423 say the block holds no article. Any other refusal leaves the
// rest of the walk to the headers.
void TMDIChild::OverviewDone(std::uint16_t Error) {
  if (Error != 0 && Error != 420 && Error != 423) {
    Log("Overview refused, requesting headers");
    FLinesField = 0;
    FInRange.clear();
    ContinueWithHeaders();
    return;
  }
  FScannedTo = FScanLast;
  std::string text = "Scanned " + IntToStr(FScanFirst) + "-" + IntToStr(FScanLast) + ": " +
                     IntToStr(std::int64_t(FInRange.size())) + " in range";
  if (FUnreadable > 0)
    text += ", " + IntToStr(FUnreadable) + " unreadable";
  Log(text);
  Advance();
}

// The next in-range article of the scanned block, else the next block. The
// articles passed on the way count as examined: their overview was out of
// range, unreadable or missing.
void TMDIChild::AdvanceByOverview() {
  const std::int64_t next = FCurrentExamined ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  while (!FInRange.empty() && FInRange.front().Number < next)
    FInRange.pop_front();
  if (!FInRange.empty()) {
    const TInRange article = FInRange.front();
    FInRange.pop_front();
    FArticleCurrent = article.Number;
    FCurrentExamined = false;
    FArticleLines = ClampToInt32(article.Lines); // until its header says otherwise
    ShowCurrentArticle();
    SetStatus("Request Article " + IntToStr(FArticleCurrent));
    GoTo(stepArticle);
    return;
  }
  if (FScannedTo >= next) {
    FArticleCurrent = FScannedTo;
    FCurrentExamined = true;
    ShowCurrentArticle();
  }
  if (FCurrentExamined && FArticleCurrent >= FArticleEnd) {
    ProgressBar3->setValue(GroupProgress());
    WalkDone();
    return;
  }
  ScanFrom(FCurrentExamined ? FArticleCurrent + 1 : FArticleCurrent);
}

void TMDIChild::ScanFrom(std::int64_t First) {
  FScanFirst = First;
  FScanLast = std::min(FArticleEnd, SaturatedAdd(First, OverviewBlock - 1));
  SetStatus("Scanning " + IntToStr(FScanFirst) + "-" + IntToStr(FScanLast));
  GoTo(stepOverview);
}

// The walk goes on by HEAD from the first article not examined.
void TMDIChild::ContinueWithHeaders() {
  if (FCurrentExamined) {
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
// is passed over, and that block's overview is replaced by its headers.
void TMDIChild::ConnectionLost(TNntpRequest RqType, std::uint16_t Error) {
  const bool tooLong = Error == LineTooLong;
  const bool inBody = FNextStep == stepBody;
  switch (RqType) {
  case nntpHeadByNumber:
  case nntpBodyByNumber:
  case nntpArticleByNumber:
    if (inBody)
      DiscardCutBody(!tooLong);
    if (tooLong) {
      Log("Line too long in article " + IntToStr(FArticleCurrent) + ", passed over");
      FArticleLines = 0;
      FCurrentExamined = true;
      FResumeStep = stepStart;
    } else {
      FCurrentExamined = false;
      FResumeStep = RqType == nntpHeadByNumber   ? stepHead
                    : RqType == nntpBodyByNumber ? stepBody
                                                 : stepArticle;
    }
    break;
  case nntpXOver:
    FInRange.clear();
    if (tooLong) {
      Log("Line too long in the overview of " + IntToStr(FScanFirst) + "-" + IntToStr(FScanLast) +
          ", requesting headers");
      FHeadsUntil = FScanLast;
      FResumeStep = FCurrentExamined ? stepStart : stepHead;
    } else {
      FResumeStep = stepOverview;
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
  FPartFile.reset();
  FPartKind = 0;
  DeleteFile(path);
  Log("Unfinished part file discarded " + path);
}

// Waits 1, 2, 4, ... 60 s before the next try; after the last one the
// window waits for R.
void TMDIChild::ScheduleReconnect() {
  if (FReconnectTries >= MaxReconnectTries) {
    FReconnectTries = 0;
    SetStatus("Connection lost");
    Log("Connection lost");
    Restart->setEnabled(true);
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
void TMDIChild::ConnectAttemptFailed() {
  if (FReconnectTries == 0) {
    ConnectFailed();
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
  const bool article = step == stepHead || step == stepBody || step == stepArticle;
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
  case stepArticle:
    SetStatus("Request Article " + number);
    break;
  case stepOverview:
    SetStatus("Scanning " + IntToStr(FScanFirst) + "-" + IntToStr(FScanLast));
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
  case nntpXOver:
    FLogInRetry = stepOverview;
    break;
  case nntpListOverViewFmt:
    FLogInRetry = stepOverviewFmt;
    break;
  default:
    FCurrentExamined = false;
    FLogInRetry = RqType == nntpHeadByNumber ? stepHead : RqType == nntpBodyByNumber ? stepBody : stepArticle;
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
}
