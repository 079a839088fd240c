#include "walk/DecodeSession.h"

#include "decode/YEncRecord.h"

#include "platform/Convert.h"
#include "platform/Guard.h"
#include "walk/ServerAddress.h"
#include "walk/SessionSteps.h"
#include "walk/StartValues.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

// The lookup's errors: the name did not resolve.
constexpr std::uint16_t HostNotFound = 11001;
constexpr std::uint16_t NoAddress = 11004;

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
  CountLink();
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
// The link's count is the sum over the connections: it is taken once
// LinkCountStep bytes of lines have come, and at each article's end, not
// for every line.
void TDecodeSession::CountReceived(std::size_t LineBytes, std::int64_t Lines) {
  if (!FWalk.Fetcher().CompressionTold()) {
    FTransfer.Received(std::int64_t(LineBytes) + 2 * Lines);
    return;
  }
  FLinesUncounted += std::int64_t(LineBytes) + 2 * Lines;
  if (FLinkSeen < 0 || FLinesUncounted >= LinkCountStep)
    CountLink();
}

void TDecodeSession::CountLink() {
  if (!FWalk.Fetcher().CompressionTold())
    return;
  FLinesUncounted = 0;
  const std::int64_t link = Nntp.LinkBytesReceived() + FWalk.Fetcher().LinkBytesReceived();
  if (FLinkSeen >= 0 && link > FLinkSeen)
    FTransfer.Received(link - FLinkSeen);
  FLinkSeen = link;
}

// The window's own connection says so once per walk, like the fetcher's.
// A server it found near is near for the pool too: its connections go
// plain from the start, without asking for the capabilities again.
void TDecodeSession::TellCompressed() {
  TArticleFetcher& fetcher = FWalk.Fetcher();
  if (Nntp.Compressed() && !fetcher.CompressionTold()) {
    fetcher.SetCompressionTold(true);
    Log("Compressed transfers with " + Nntp.Host());
  } else if (Nntp.KeptPlainNear() && !fetcher.PlainTold()) {
    fetcher.SetPlainTold(true);
    fetcher.SetCompress(false);
    Log(NearText(Nntp.Host()));
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
