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
  FWalkStarted = FCurrentExamined = FConnecting = false;

  if (!StartValues)
    throw Exception("No main window to take the session's settings from");
  const IStartValues& values = *StartValues;
  FDefExt = values.DefaultExt();
  FMinLines = StrToInt(values.MinLines());
  FMaxLines = StrToInt(values.MaxLines());
  FMaxWaitingLines = StrToInt(values.WaitingLines());
  if (FMaxLines <= FMinLines)
    FMaxLines = FMinLines > std::numeric_limits<std::int32_t>::max() - OpenMaxLines
                    ? std::numeric_limits<std::int32_t>::max()
                    : FMinLines + OpenMaxLines;

  // The folder keeps the server entry as written, port and all.
  const std::string server = values.Server();
  const std::string group = values.Group();
  const std::string folder = values.DownloadPath() + server + "/" + group;
  ForceFolder(folder);
  FSessionDir = folder + "/";
  FArticleCurrent = ParsePosition(IniReadString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, "0"));

  lblGroupName->setText(ToQt(group));
  const TServerAddress address = SplitServerAddress(server);
  Nntp.SetHost(address.Host);
  Nntp.SetPort(address.Port);
  lblHostName->setText(ToQt(server));
  SetStatus("Connecting to " + server);
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
  FConnecting = false;
  Nntp.Abort();
  if (FSessionDir.empty()) // the start-up stopped before it had a folder
    return;
  const std::int64_t next = FCurrentExamined ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent;
  IniWriteString(FSessionDir + "dati.ini", ProgressSection, ProgressKey, IntToStr(next));
}

void TMDIChild::closeEvent(QCloseEvent* event) {
  Guarded([this] { FormClose(this); });
  event->accept();
}

void TMDIChild::NntpSessionConnected(TObject*, std::uint16_t Error) {
  FConnecting = false;
  if (Error != 0) {
    ConnectFailed();
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
  if (Error != 0)
    Log("Error #" + IntToStr(Error));
  LogAppend("Request Done");
  // A single-part article's file ends with its body: decoded when the body
  // came whole, kept undecoded when it was cut short.
  if (RqType == nntpBodyByNumber || (RqType == nntpAbort && FNextStep == stepBody))
    EndOfBody(RqType == nntpBodyByNumber && Error == 0);
  // A connect that failed ends the request before it; it is no step of the walk.
  if (std::exchange(FConnecting, false)) {
    ConnectFailed();
    return;
  }
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
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
  case nntpArticleByNumber:
  case nntpArticleByID:
  case nntpBodyByID:
  case nntpNext:
  case nntpLast:
    Log("ArticleNumber    = " + IntToStr(Nntp.ArticleNumber()));
    Log("ArticleID        = <" + Nntp.ArticleID() + ">");
    break;
  case nntpHelp:
  case nntpNewGroups:
  case nntpNewNews:
  case nntpXOver:
  case nntpListOverViewFmt:
  case nntpAuthenticate:
    break;
  default:
    Log("Unknown request type.");
  }
}

void TMDIChild::Timer1Timer(TObject*) {
  Timer1->stop();
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
  FStopAfter = false;
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
}

void TMDIChild::RestartClick(TObject*) {
  SetButtons(true, true, false, true);
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
  ProgressBar2->setRange(0, std::max(0, FArticleLines));
  ProgressBar2->setValue(0);
}

void TMDIChild::ConnectToServer() {
  FConnecting = true;
  try {
    Nntp.Connect();
  } catch (...) {
    FConnecting = false;
    ConnectFailed();
    throw;
  }
}

// Nothing was examined; R tries again from where the window started.
void TMDIChild::ConnectFailed() {
  SetStatus("Not Connected");
  Log("Error Connecting !");
  Restart->setEnabled(true);
}

void TMDIChild::RequestGroup() { Nntp.Group(FromQt(lblGroupName->text())); }

// Only the first reply sets the walk's range; after a reconnect the walk
// goes on within it, however the group has grown since.
void TMDIChild::GroupReply(std::uint16_t Error) {
  if (FWalkStarted) {
    Advance();
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
  SB1Panels[1]->setText(QString::number(FArticleCurrent));
  SB1Panels[2]->setText(QString::number(FArticleEnd));
  if (FArticleCurrent <= FArticleEnd) {
    SetStatus("Request Header " + IntToStr(FArticleCurrent));
    GoTo(stepHead);
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
  if (FArticleCurrent < FArticleEnd) {
    ++FArticleCurrent;
    FCurrentExamined = false;
    SB1Panels[1]->setText(QString::number(FArticleCurrent));
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
      Advance();
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
