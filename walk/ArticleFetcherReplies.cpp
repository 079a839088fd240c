#include "walk/ArticleFetcher.h"
#include "walk/FetcherConnection.h"

#include <charconv>

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
  const std::string_view line = c.Nntp.Line();
  const std::string_view field = line.substr(0, line.find('\t'));
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
      OnScanLine(this, c.ScanFirst, c.Nntp.Line());
  }
  TArticle* a = c.Current;
  if (!a)
    return;
  if (a->Streaming) {
    if (OnArticleLine)
      OnArticleLine(this, a->Number, c.Nntp.Line());
  } else if (!a->Discarding && !TakeAhead(*a, c.Nntp.Line())) {
    Buffer(*a, c.Nntp.Line());
  }
}

// Lines in a row: those of an article in its turn go to the owner, who may
// take many at once; the data lines of a yEnc part being decoded ahead of
// its turn, once its first has been taken line by line, are decoded in one
// call; those of any other article ahead of its turn are held in one
// record. Lines the Ahead() decoder is to see one by one (a header, a
// part's keyword lines) come one by one.
std::size_t TArticleFetcher::MessageLines(TConnection& c, std::string_view Run) {
  TArticle* a = c.Current;
  if (c.Scanning || !a || a->Discarding)
    return 0;
  if (a->Streaming)
    return OnArticleLines ? OnArticleLines(this, a->Number, Run) : 0;
  if (!FAhead)
    return HoldRun(*a, Run);
  if (!a->Ahead)
    return 0;
  switch (a->Ahead->Step) {
  case TYEncAhead::TPart::Taking:
    return FAhead->TakeRun(*a->Ahead, Run, TNntpCli::MaxLineLen);
  case TYEncAhead::TPart::Body:
  case TYEncAhead::TPart::Done:
    return HoldRun(*a, Run);
  default:
    return 0;
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
