// The session's walk by overview: the overview's format read on its own
// connection, then the articles in range over the connections of FWalk,
// handed to the scanner in article order.

#include "walk/DecodeSession.h"

#include "platform/Convert.h"
#include "walk/ServerAddress.h"
#include "walk/SessionSteps.h"
#include "walk/StartValues.h"

#include <limits>
#include <utility>

void TDecodeSession::WireWalk() {
  FWalk.OnArticleBegin = [this](TObject*, std::int64_t n, std::int64_t lines) { WalkArticleBegin(n, lines); };
  FWalk.OnArticleLine = [this](TObject*, std::int64_t, std::string_view line) { WalkArticleLine(line); };
  FWalk.OnArticleLines = [this](TObject*, std::int64_t, std::string_view run) {
    return WalkArticleLines(run);
  };
  FWalk.OnArticleAhead = [this](TObject*, std::int64_t n) { WalkArticleAhead(n); };
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
void TDecodeSession::StartWalk() {
  TArticleFetcher& fetcher = FWalk.Fetcher();
  fetcher.SetServer(SplitServerAddress(FServerEntry));
  fetcher.SetPassWord(StartValues ? StartValues->PasswordOf(FServerEntry) : Nntp.PassWord());
  fetcher.SetGroup(FGroup);
  fetcher.SetTimeout(Nntp.Timeout());
  fetcher.SetTlsCAFile(Nntp.WSocket().TlsCAFile());
  fetcher.SetReconnectDelay(FReconnectDelay);
  fetcher.SetAhead(&Ahead());
  FWalk.SetFormat(FLinesField, FLinesFull, FSubjectField);
  FWalk.SetPosterField(FFormatPosterField);
  FWalk.SetChoice(FMinLines, FMaxLines, FSubjectFilter);
  FNextStep = stepFetch;
  FWalk.Start(FCurrentDone ? SaturatedAdd(FArticleCurrent, 1) : FArticleCurrent, FArticleEnd);
}

// The article's log line is written as its turn comes, no longer as its
// request goes out: requests go out well ahead of the turn.
void TDecodeSession::WalkArticleBegin(std::int64_t Number, std::int64_t Lines) {
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
void TDecodeSession::WalkArticleLine(std::string_view Line) {
  CountReceived(Line.size());
  if (FNextStep == stepHead && WithoutCR(Line).empty()) {
    FNextStep = stepBody;
    StartBody();
    return;
  }
  ScanLine(Line);
}

// Lines of the body in a row: the data lines of a yEnc part, counted as
// they would have been one by one.
std::size_t TDecodeSession::WalkArticleLines(std::string_view Run) {
  if (FNextStep != stepBody)
    return 0;
  std::int64_t lines = 0;
  const std::size_t taken = BodyRun(Run, TNntpCli::MaxLineLen, lines);
  if (lines > 0)
    CountReceived(taken - 2 * std::size_t(lines), lines);
  return taken;
}

// The lines of the article's yEnc part that were decoded as they came,
// ahead of the article's turn.
void TDecodeSession::WalkArticleAhead(std::int64_t Number) {
  if (const TYEncAhead::TPart* part = Ahead().Find(Number))
    CountReceived(std::size_t(part->Bytes), part->Lines);
  if (FNextStep == stepBody)
    BodyAhead(Number);
}

// An article cut short comes again whole from its first line, so what it
// left goes; one the server refused, or answered with another article,
// comes without a line.
void TDecodeSession::WalkArticleEnd(std::int64_t Number, std::uint16_t Error) {
  CountLink();
  const bool inBody = FNextStep == stepBody;
  const bool begun = inBody || FNextStep == stepHead || FInternalAbort;
  const bool passed = Error == LineTooLong || Error == NntpPipelineError;
  FNextStep = stepFetch;
  if (Error >= FirstSocketError && !passed) {
    Log(ErrorText(Error));
    FInternalAbort = false;
    if (inBody)
      DiscardCutBody(true);
    return;
  }
  if (!begun)
    WalkArticleBegin(Number, 0);
  FNextStep = stepFetch;
  if (Error != 0 && !passed)
    Log(ErrorText(Error));
  LogAppend("Request Done");
  if (Error == LineTooLong) {
    if (inBody)
      DiscardCutBody(false);
    Log("Line too long in article " + IntToStr(Number) + ", passed over");
  } else if (Error == NntpPipelineError) {
    Log("Article " + IntToStr(Number) + " answered with another article, passed over");
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
void TDecodeSession::WalkStopped(const std::string& Why) {
  if (Why.empty()) { // A: the connections have said goodbye, as one does after A
    CarryOutAfter();
    if (!FWalkDone)
      SetStatus("Downloading Interrupted by User");
    return;
  }
  SetStatus(Why);
  FStopText = Why;
  SetButtons(true, false, true, false);
  GoTo(stepFinished);
  // The fetcher's own reasons: a log-in, the group, the connections.
  EndWalk(true, Why.starts_with("Log-in ") ? weLogIn : weError);
}

// The overview could not be read from From on: the window's own connection
// reads the headers, up to Until or to the group's end.
void TDecodeSession::WalkHeaders(std::int64_t From, std::int64_t Until) {
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
void TDecodeSession::FollowWalk() {
  const std::int64_t next = FWalk.Position();
  FCurrentDone = next > FArticleEnd;
  FArticleCurrent = FCurrentDone ? FArticleEnd : next;
  ShowCurrentArticle();
  ShowGroupProgress();
}

// Over the walk's connections the rest of the article is read and passed
// over; the window's own connection is dropped and made again.
void TDecodeSession::GiveUpBody() {
  if (FWalk.InArticle())
    FNextStep = stepFetch;
  else
    Nntp.Abort();
}
