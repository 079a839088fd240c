#pragma once

#include "walk/ArticleFetcher.h"
#include "walk/PostGrouper.h"
#include "walk/PostSubject.h"
#include "walk/SubjectFilter.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using TWalkHeaders = std::function<void(TObject* Sender, std::int64_t From, std::int64_t Until)>;

// Walks a group by its overview over the fetcher's connections: asks for the
// overview a block at a time, ahead of the fetching so that the connections
// never wait for it, gives the fetcher the articles of the posts it wants
// (see TPostGrouper: whole posts of which an article lies within the limits
// and passes the filter; an article of no post on its own), and passes their
// lines on in article-number order. What was
// asked for, what is done and the walk's position are kept here; the
// decode window scans what it is given.
class TOverviewWalk : public TObject {
public:
  // What the walk holds of the overview and has not handed over, with what
  // the blocks it has asked for may list, is at most this many articles,
  // whatever the group.
  static constexpr std::int64_t ReadAhead = 21000;

  TOverviewWalk();

  // Its server, group, connections, requests in flight and pacing are set
  // there before Start().
  TArticleFetcher& Fetcher() { return FFetcher; }
  // The fields of Lines: and Subject: in an overview line (0 is the article
  // number), and whether the Lines: values carry the field's name
  // ("Lines: 250").
  void SetFormat(std::int32_t LinesField, bool LinesFull, std::int32_t SubjectField);
  // The field of Message-ID:, read for the articles in range while the
  // fetcher has fill servers to ask for them; 4 unless set.
  void SetMessageIdField(std::int32_t Field) { FMessageIdField = Field; }
  void SetChoice(std::int64_t MinLines, std::int64_t MaxLines, TSubjectFilter Filter);
  // The field of From: in an overview line, 0 when it has none: posts by
  // different posters stay apart.
  void SetPosterField(std::int32_t PosterField) { FPosterField = PosterField; }

  // Connects and walks from From (or from where it stood, when further on)
  // to End. A connect that cannot even start raises.
  void Start(std::int64_t From, std::int64_t End);
  // As the fetcher's: nothing more is raised; what was not handed over
  // whole comes again at the next Start().
  void Stop();
  // Lets the article being handed over end and drops the requests behind
  // it, then raises OnStopped(""), or OnDone when that was the last one.
  void StopAfter();
  // Stops and forgets where it stood: the next Start() walks from its From.
  void Forget();
  // Passes over every article from To - 1 down to the one in hand, which is
  // handled: the one being handed over, or else the position, whose
  // request may be out.
  void Pass(std::int64_t To);
  // The first article not yet handled: never past one asked for and not
  // handed over whole.
  std::int64_t Position() const { return FFetcher.Position(); }
  bool Running() const { return FState != Idle && FState != Done; }
  bool InArticle() const { return FInArticle; }

  // The articles in range, in order, as the fetcher raises them.
  TArticleBegin OnArticleBegin;
  TArticleLine OnArticleLine;
  TArticleLines OnArticleLines;
  TArticleAhead OnArticleAhead;
  TArticleEnd OnArticleEnd;
  // "Scanned 1-1000: 3 in range" once the walk has reached the block, so
  // that the log keeps the walk's order; ", 40 turned away by the subject
  // filter" follows when the filter alone kept any from being fetched.
  TFetcherText OnScanned;
  // The fetcher's lines, held back while an article is handed over so that
  // its log line stays whole; the reason the overview is given up.
  TFetcherText OnLog;
  // "Scanning 1-1000" when the walk waits for the overview.
  TFetcherText OnStatus;
  // The fetcher stopped by itself with why, or after StopAfter with "".
  TFetcherText OnStopped;
  // Every article up to End has been handled; the connections are closed.
  TNotifyEvent OnDone;
  // The overview of From.. cannot be used: every article before From has
  // been handled and the connections are closed. The walk goes on by the
  // headers up to Until, the end of a block whose overview holds a line
  // too long to hold, or to the group's end when the server refused it.
  TWalkHeaders OnHeaders;

private:
  enum TState : std::uint8_t { Idle, Walking, StoppingAfter, Ending, ToHeaders, Done };

  struct TBlock;

  void Next();
  void MoveScanTo(std::int64_t First);
  TBlock* FindBlock(std::int64_t First);
  void ScanLine(std::int64_t First, std::string_view Line);
  void ScanEnd(std::int64_t First, std::uint16_t Error);
  void GiveScanned();
  void Decided(const TPostDecision& Decision);
  void GiveDecided();
  void AfterBlock(const TBlock& Given);
  void SeekEnd(std::int64_t After, std::int64_t Number, std::uint16_t Error);
  void DropBlocks();
  void ArticleBegin(std::int64_t Number, std::int64_t Lines);
  void ArticleEnd(std::int64_t Number, std::uint16_t Error);
  void FetcherLog(const std::string& Text);
  void Stopped(const std::string& Text);
  void ReportScanned(std::int64_t UpTo);
  void ReleaseLog();

  TArticleFetcher FFetcher;
  TState FState = Idle;
  std::int32_t FLinesField = 0;
  bool FLinesFull = false;
  std::int32_t FSubjectField = 0;
  std::int32_t FPosterField = 0;
  std::int32_t FMessageIdField = 4;
  std::int64_t FMinLines = 0;
  std::int64_t FMaxLines = 0;
  TSubjectFilter FFilter;
  std::int64_t FEnd = 0;
  // The first article of the next block to ask for.
  std::int64_t FNextScan = std::numeric_limits<std::int64_t>::min();
  bool FAllScanned = false; // every block up to FEnd is asked for
  // Past a block that listed nothing the walk asks the server for the next
  // article after the last one listed; with none listed, or from a server
  // that cannot say, its blocks grow until one lists something.
  std::int64_t FHighestListed = std::numeric_limits<std::int64_t>::min();
  std::int64_t FSeed = std::numeric_limits<std::int64_t>::min();      // the last asked after
  std::int64_t FSeekFound = std::numeric_limits<std::int64_t>::min(); // its answer; the minimum when none
  bool FSeeking = false;
  bool FSeekable = true; // the server knows STAT and NEXT
  bool FGrowing = false;
  std::int64_t FSpan = 0; // of the next block, while growing
  // A block whose overview is asked for, and what it has shown so far.
  struct TBlock {
    TBlock(std::int64_t first, std::int64_t last)
        : First(first), Last(last),
          LastListed(first == std::numeric_limits<std::int64_t>::min() ? first : first - 1) {}
    std::int64_t First;
    std::int64_t Last;
    std::int64_t LastListed; // the last article listed
    std::int32_t Unreadable = 0;
    // The articles the posts may want: those within the limits and those
    // whose subjects make them part of a post.
    struct THeld {
      std::int64_t Number;
      std::int64_t Lines;
      bool InRange;
      bool Chosen;
      TPostSubject Subject; // read once, for the block and for the posts
      std::string Poster;
      std::string MessageId; // while there are fill servers to ask
    };
    std::vector<THeld> Held;
    bool Cut = false; // held a block's worth: it ends at LastListed
    bool Ended = false;
    std::uint16_t Error = 0;
  };
  std::deque<TBlock> FBlocks; // asked for and not given to the fetcher, in order
  // Blocks scanned whose articles the posts have not all decided yet, in
  // order, with what is decided of them so far.
  struct TDeciding {
    std::int64_t First;
    std::int64_t Last;
    std::int32_t Unreadable;
    std::uint16_t Error;
    std::vector<TFetchArticle> Fetch;
    std::int64_t TurnedAway = 0;
    // The Message-IDs of its articles held for the posts, in number order.
    std::vector<std::pair<std::int64_t, std::string>> MessageIds;
  };
  std::deque<TDeciding> FDeciding;
  TPostGrouper FPosts;
  struct TScanned {
    std::int64_t First;
    std::string Text;
  };
  std::deque<TScanned> FScanned; // blocks scanned that the walk has not reached yet
  bool FInArticle = false;       // an article's lines are being handed over
  std::int64_t FInHand = 0;      // and its number
  std::vector<std::string> FHeldLog;
  std::int64_t FHeadsFrom = 0;
  std::int64_t FHeadsUntil = 0;
};
