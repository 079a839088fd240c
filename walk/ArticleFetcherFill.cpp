#include "platform/Convert.h"
#include "walk/ArticleFetcher.h"
#include "walk/FetcherConnection.h"

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
