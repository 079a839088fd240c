#include "walk/OverviewWalk.h"

#include "platform/Convert.h"
#include "walk/PostSubject.h"
#include "walk/WalkNumbers.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

// The overview is asked for this many articles at a time: one reply holds
// the in-range articles of one block, no more.
constexpr std::int64_t OverviewBlock = 1000;
// Blocks asked for, or scanned and not yet reached, beyond the one the walk
// is in: each holds at most a block's worth of articles in range.
constexpr std::size_t BlocksAhead = std::size_t(TOverviewWalk::ReadAhead / OverviewBlock) - 1;
// Growing blocks cross 63 bits of numbers in a few dozen requests.
constexpr std::int64_t MaxSpan = std::int64_t(1) << 62;
constexpr std::int64_t NoEnd = std::numeric_limits<std::int64_t>::max();

// A plain decimal number, nothing else, no sign. Article numbers use all 63
// bits; a number past them is no number at all, never a wrapped one.
bool ReadDigits(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
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
  value = TrimSpaces(value);
  lines = 0;
  return value.empty() || ReadDigits(value, lines);
}

// The last article of the block of Span articles from First, or End.
// Numbers from the server may lie anywhere in 64 bits.
std::int64_t BlockLast(std::int64_t First, std::int64_t End, std::int64_t Span) {
  std::int64_t span = 0;
  return !__builtin_sub_overflow(End, First, &span) && span < Span ? End : First + Span - 1;
}

// Field number field of an overview line (0 is the article number); empty
// when the line has fewer.
std::string_view OverviewField(std::string_view line, std::int32_t field) {
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  for (; field > 0; --field) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
      return {};
    line.remove_prefix(tab + 1);
  }
  return line.substr(0, line.find('\t'));
}

// A Message-ID as a request may carry it: "<...>", no blank or control
// character, at most 250 bytes; otherwise none.
std::string MessageIdOf(std::string_view field) {
  field = TrimSpaces(field);
  if (field.size() < 3 || field.size() > 250 || field.front() != '<' || field.back() != '>' ||
      std::any_of(field.begin(), field.end(), [](char ch) { return std::uint8_t(ch) <= ' ' || ch == 127; }))
    return {};
  return std::string(field);
}

// What a block holds of a subject and a poster: enough for any name and
// part number, however long the line.
constexpr std::size_t MaxHeldField = 1024;

// Whether an article may belong to a post: its subject names a part, or a
// PAR2 file that may repair a file of one.
bool MayBePart(const TPostSubject& parsed) {
  const std::string_view name = parsed.Name;
  return !parsed.Key.empty() || (name.size() > 5 && SameText(name.substr(name.size() - 5), ".par2"));
}

// 420 and 423 to an overview say the block holds no article.
bool IsEmptyBlock(std::uint16_t error) { return error == 420 || error == 423; }

} // namespace

TOverviewWalk::TOverviewWalk() {
  FPosts.SetDecideEarly(true);
  FPosts.OnDecided = [this](const TPostDecision& d) { Decided(d); };
  FFetcher.SetRequest(nntpArticleByNumber); // the header names a single-part file
  FFetcher.OnArticleBegin = [this](TObject*, std::int64_t n, std::int64_t lines) { ArticleBegin(n, lines); };
  FFetcher.OnArticleLine = [this](TObject*, std::int64_t n, std::string_view line) {
    if (OnArticleLine)
      OnArticleLine(this, n, line);
  };
  FFetcher.OnArticleLines = [this](TObject*, std::int64_t n, std::string_view run) {
    return OnArticleLines ? OnArticleLines(this, n, run) : 0;
  };
  FFetcher.OnArticleAhead = [this](TObject*, std::int64_t n) {
    if (OnArticleAhead)
      OnArticleAhead(this, n);
  };
  FFetcher.OnArticleEnd = [this](TObject*, std::int64_t n, std::uint16_t e) { ArticleEnd(n, e); };
  FFetcher.OnLog = [this](TObject*, const std::string& text) { FetcherLog(text); };
  FFetcher.OnStopped = [this](TObject*, const std::string& text) { Stopped(text); };
  FFetcher.OnIdle = [this](TObject*) { Next(); };
  FFetcher.OnScanLine = [this](TObject*, std::int64_t first, std::string_view line) {
    ScanLine(first, line);
  };
  FFetcher.OnScanEnd = [this](TObject*, std::int64_t first, std::uint16_t e) { ScanEnd(first, e); };
  FFetcher.OnSeekEnd = [this](TObject*, std::int64_t after, std::int64_t n, std::uint16_t e) {
    SeekEnd(after, n, e);
  };
}

void TOverviewWalk::SetFormat(std::int32_t LinesField, bool LinesFull, std::int32_t SubjectField) {
  FLinesField = LinesField;
  FLinesFull = LinesFull;
  FSubjectField = SubjectField;
}

void TOverviewWalk::SetChoice(std::int64_t MinLines, std::int64_t MaxLines, TSubjectFilter Filter) {
  FMinLines = MinLines;
  FMaxLines = MaxLines;
  FFilter = std::move(Filter);
}

void TOverviewWalk::Start(std::int64_t From, std::int64_t End) {
  FEnd = End;
  FFetcher.Pass(From);
  MoveScanTo(From);
  FState = Walking;
  try {
    FFetcher.Start();
  } catch (...) {
    FState = Idle;
    throw;
  }
  Next();
}

void TOverviewWalk::Stop() {
  FState = Idle;
  FFetcher.Stop();
  DropBlocks();
  FInArticle = false;
  ReleaseLog();
}

void TOverviewWalk::Forget() {
  Stop();
  FFetcher.Forget();
  FNextScan = FHighestListed = FSeekFound = NoArticle;
  FAllScanned = false;
  FSeekable = true;
  FScanned.clear();
}

void TOverviewWalk::StopAfter() {
  if (FState != Walking)
    return;
  FState = StoppingAfter;
  FFetcher.StopAfter();
}

void TOverviewWalk::Pass(std::int64_t To) {
  const std::int64_t inHand = FInArticle ? FInHand : Position();
  FFetcher.Pass(inHand == NoEnd ? inHand : inHand + 1, To);
  // The overview of the article in hand not yet asked for: the blocks go
  // through it, and the fetcher drops what they list of the articles passed.
  if (FNextScan > inHand)
    MoveScanTo(To);
  Next();
}

void TOverviewWalk::MoveScanTo(std::int64_t First) {
  if (First > FEnd)
    FAllScanned = true;
  else
    FNextScan = std::max(FNextScan, First);
}

// Blocks are asked for, as many at once as the connections can have out,
// while the fetcher has fewer articles than four times that: a stretch of
// articles out of range takes a round trip or two, not one a block. What is
// read ahead stays within BlocksAhead blocks of the walk's position, so
// that neither the blocks nor the fetcher hold more than ReadAhead articles,
// however large the group. Growing blocks go one at a time, and none while
// the walk waits to hear where the next article is. Once everything has
// come the connections close.
void TOverviewWalk::Next() {
  if (FState == Walking) {
    const std::size_t out = std::size_t(FFetcher.Connections()) * std::size_t(FFetcher.Depth());
    const auto ahead = [this] {
      const std::int64_t at = Position();
      return FBlocks.size() + FDeciding.size() +
             std::size_t(std::count_if(FScanned.begin(), FScanned.end(),
                                       [at](const TScanned& s) { return s.First > at; }));
    };
    for (int Pass = 0;; ++Pass) {
      while (!FAllScanned && !FSeeking && (FGrowing ? FBlocks.empty() : FBlocks.size() < out) &&
             ahead() < BlocksAhead &&
             (FFetcher.Pending() < 4 * out || (FBlocks.empty() && !FDeciding.empty()))) {
        const std::int64_t first = FNextScan, last = BlockLast(first, FEnd, FGrowing ? FSpan : OverviewBlock);
        FBlocks.emplace_back(first, last);
        if (last >= FEnd)
          FAllScanned = true;
        else
          FNextScan = last + 1;
        if (FFetcher.Pending() == 0 && FBlocks.size() == 1 && OnStatus)
          OnStatus(this, "Scanning " + IntToStr(first) + "-" + IntToStr(last));
        FFetcher.Scan(first, last);
      }
      // With no overview to come the posts decide what waits with what is
      // known: the group's end, or the read-ahead reached. What they decide
      // leaves room ahead, and the scan goes on at once: nothing else would
      // wake it while nothing is out.
      if (!FDeciding.empty() && FBlocks.empty() && !FSeeking) {
        FPosts.Flush();
        GiveDecided();
        if (FDeciding.empty() && !FAllScanned && Pass == 0)
          continue;
      }
      break;
    }
    if (FAllScanned && FBlocks.empty() && FFetcher.Pending() == 0)
      FState = Ending;
  }
  ReportScanned(Position());
  if ((FState == Ending || FState == ToHeaders) && FFetcher.Pending() == 0)
    FFetcher.StopAfter();
}

TOverviewWalk::TBlock* TOverviewWalk::FindBlock(std::int64_t First) {
  for (TBlock& b : FBlocks)
    if (b.First == First)
      return &b;
  return nullptr;
}

// A line that cannot be read, or whose number lies outside the block or
// does not follow the one before, is passed over: the article is not
// fetched, and the block's log line counts it. No block holds more in
// range than one of OverviewBlock numbers can: a growing block that lists
// more is cut before the line, the lines after it are dropped.
void TOverviewWalk::ScanLine(std::int64_t First, std::string_view Line) {
  TBlock* b = FindBlock(First);
  if (!b || b->Cut)
    return;
  std::int64_t number = 0, lines = 0;
  if (!ReadOverviewLine(Line, FLinesField, FLinesFull, number, lines) || number < b->First ||
      number > b->Last || number <= b->LastListed) {
    if (b->Unreadable < std::numeric_limits<std::int32_t>::max())
      ++b->Unreadable;
    return;
  }
  FHighestListed = std::max(FHighestListed, number);
  const std::string_view subject = OverviewField(Line, FSubjectField).substr(0, MaxHeldField);
  const bool inRange = FMinLines <= lines && lines <= FMaxLines;
  TPostSubject parsed = ParseSubject(subject);
  const bool held = inRange || MayBePart(parsed);
  if (held && b->Held.size() == std::size_t(OverviewBlock)) {
    b->Cut = true;
    return;
  }
  b->LastListed = number;
  if (held)
    b->Held.push_back(
        {number, lines, inRange, FFilter.Passes(subject), std::move(parsed),
         FPosterField > 0 ? std::string(OverviewField(Line, FPosterField).substr(0, MaxHeldField))
                          : std::string(),
         FFetcher.Fill().Any() ? MessageIdOf(OverviewField(Line, FMessageIdField)) : std::string()});
}

// A block cut short comes again from its first line; any other end waits
// for the blocks before it. A block cut at its last article in range ends
// there, and the rest is asked for as a block of its own.
void TOverviewWalk::ScanEnd(std::int64_t First, std::uint16_t Error) {
  const auto b =
      std::find_if(FBlocks.begin(), FBlocks.end(), [First](const TBlock& x) { return x.First == First; });
  if (b == FBlocks.end())
    return;
  if (Error >= FirstSocketError && Error != LineTooLong) {
    *b = TBlock(b->First, b->Last);
    return;
  }
  b->Ended = true;
  b->Error = Error;
  if (b->Cut && Error == 0) {
    const std::int64_t rest = b->LastListed + 1, last = b->Last;
    b->Last = b->LastListed;
    FBlocks.insert(b + 1, TBlock(rest, last));
    FFetcher.Scan(rest, last);
  }
  GiveScanned();
  Next();
}

// The blocks scanned go to the posts in order, and to the fetcher once
// every article of them is decided. Any refusal but an empty block, and a
// line too long to hold, hand the rest of the walk, or that block, to the
// headers, once the articles before it have come: what waits is decided
// with what is known.
void TOverviewWalk::GiveScanned() {
  while (!FBlocks.empty() && FBlocks.front().Ended) {
    TBlock& b = FBlocks.front();
    const std::string block = IntToStr(b.First) + "-" + IntToStr(b.Last);
    if (b.Error == LineTooLong || (b.Error != 0 && !IsEmptyBlock(b.Error))) {
      FPosts.Flush();
      GiveDecided();
      if (b.Error == LineTooLong) {
        FetcherLog("Line too long in the overview of " + block + ", requesting headers");
      } else {
        FetcherLog("Error #" + IntToStr(b.Error));
        FetcherLog("Overview refused, requesting headers");
      }
      FHeadsFrom = b.First;
      FHeadsUntil = b.Error == LineTooLong ? b.Last : NoEnd;
      if (FState == Walking)
        FState = ToHeaders;
      DropBlocks();
      return;
    }
    const TBlock given = std::move(b);
    FBlocks.pop_front();
    FDeciding.push_back({given.First, given.Last, given.Unreadable, given.Error, {}, 0, {}});
    for (const TBlock::THeld& held : given.Held) {
      if (!held.MessageId.empty())
        FDeciding.back().MessageIds.emplace_back(held.Number, held.MessageId);
      if (!FPosts.Add({held.Number, {}, held.Poster, held.Lines, held.InRange, held.Chosen, &held.Subject})) {
        // Numbers that do not follow (never from blocks in order) keep
        // the rule of an article on its own.
        if (held.InRange && held.Chosen)
          FDeciding.back().Fetch.push_back({held.Number, held.Lines, held.MessageId});
        else if (held.InRange)
          ++FDeciding.back().TurnedAway;
      }
    }
    GiveDecided();
    AfterBlock(given);
  }
}

// Decisions come in number order, so each belongs to the first block
// waiting that reaches it.
void TOverviewWalk::Decided(const TPostDecision& Decision) {
  for (TDeciding& d : FDeciding)
    if (Decision.Number <= d.Last) {
      if (Decision.Fetch) {
        const auto id = std::lower_bound(d.MessageIds.begin(), d.MessageIds.end(), Decision.Number,
                                         [](const auto& held, std::int64_t n) { return held.first < n; });
        d.Fetch.push_back(
            {Decision.Number, Decision.Lines,
             id != d.MessageIds.end() && id->first == Decision.Number ? id->second : std::string()});
      } else if (Decision.TurnedAway)
        ++d.TurnedAway;
      return;
    }
}

void TOverviewWalk::GiveDecided() {
  while (!FDeciding.empty() && FPosts.DecidedThrough(FDeciding.front().Last)) {
    const TDeciding given = std::move(FDeciding.front());
    FDeciding.pop_front();
    std::string text = "Scanned " + IntToStr(given.First) + "-" + IntToStr(given.Last) + ": " +
                       (given.Error != 0 ? std::string("no articles")
                                         : IntToStr(std::int64_t(given.Fetch.size())) + " in range");
    if (given.TurnedAway > 0)
      text += ", " + IntToStr(given.TurnedAway) + " turned away by the subject filter";
    if (given.Unreadable > 0)
      text += ", " + IntToStr(given.Unreadable) + " unreadable";
    FScanned.push_back({given.First, text});
    FFetcher.Fetch(given.First, given.Last, given.Fetch);
  }
}

// A block that listed nothing, with nothing listed beyond it, may lie in a
// gap of the numbering: the walk asks which article follows the last one
// listed, once, and asks for no block until it knows. With none listed to
// go on from, from a server that cannot say, or when what it said proved
// wrong, the blocks grow instead, each twice the last, until one lists
// something.
void TOverviewWalk::AfterBlock(const TBlock& Given) {
  if (Given.LastListed >= Given.First || Given.Unreadable > 0) {
    FGrowing = false;
    return;
  }
  if (FState != Walking || FAllScanned || FSeeking || FHighestListed >= Given.First)
    return;
  if (FGrowing) {
    FSpan = FSpan > MaxSpan / 2 ? MaxSpan : 2 * FSpan;
    return;
  }
  if (FHighestListed == FSeed && FSeekFound > Given.Last)
    return; // what the server said lies beyond this block
  if (FHighestListed == NoArticle || !FSeekable || FHighestListed == FSeed) {
    FGrowing = true;
    FSpan = 2 * OverviewBlock;
    return;
  }
  FSeed = FHighestListed;
  FSeeking = true;
  FFetcher.Seek(FSeed);
}

// The numbers before the article found hold none: they are scanned, as one
// block that lists nothing, and the overview goes on from that article.
// None found ends the scan. A server that does not know the commands, or an
// article gone since it was listed, leaves the walk to growing blocks.
void TOverviewWalk::SeekEnd(std::int64_t After, std::int64_t Number, std::uint16_t Error) {
  if (!FSeeking || After != FSeed)
    return;
  FSeeking = false;
  FSeekFound = Error == 0 && Number > After ? Number : Error == NoNextArticle ? NoEnd : NoArticle;
  if (Error == UnknownCommand || Error == SyntaxError)
    FSeekable = false;
  if (FSeekFound == NoArticle) {
    if (FHighestListed == After) {
      FGrowing = true;
      FSpan = 2 * OverviewBlock;
    }
  } else if (FState == Walking && !FAllScanned && FSeekFound > FNextScan) {
    const std::int64_t last = FSeekFound > FEnd ? FEnd : FSeekFound - 1;
    TBlock& gap = FBlocks.emplace_back(FNextScan, last);
    gap.Ended = true;
    gap.Error = NoArticles;
    if (last >= FEnd)
      FAllScanned = true;
    else
      FNextScan = FSeekFound;
    GiveScanned();
  }
  Next();
}

// The blocks not given are asked for again, from the first of them, and
// whatever the walk learnt of gaps from them is learnt again.
void TOverviewWalk::DropBlocks() {
  FSeeking = FGrowing = false;
  FSeed = NoArticle;
  FPosts.Drop();
  if (FBlocks.empty() && FDeciding.empty())
    return;
  FNextScan = FDeciding.empty() ? FBlocks.front().First : FDeciding.front().First;
  FAllScanned = false;
  FBlocks.clear();
  FDeciding.clear();
}

void TOverviewWalk::ArticleBegin(std::int64_t Number, std::int64_t Lines) {
  ReportScanned(Number);
  FInArticle = true;
  FInHand = Number;
  if (OnArticleBegin)
    OnArticleBegin(this, Number, Lines);
}

void TOverviewWalk::ArticleEnd(std::int64_t Number, std::uint16_t Error) {
  ReportScanned(Number); // a refused article comes without its lines
  FInArticle = false;
  if (OnArticleEnd)
    OnArticleEnd(this, Number, Error);
  ReleaseLog();
  Next();
}

void TOverviewWalk::FetcherLog(const std::string& Text) {
  if (FInArticle)
    FHeldLog.push_back(Text);
  else if (OnLog)
    OnLog(this, Text);
}

void TOverviewWalk::Stopped(const std::string& Text) {
  // A stop after the last article in range was handed over finds the walk
  // at its end.
  const bool atEnd = FAllScanned && FBlocks.empty() && FFetcher.Pending() == 0;
  DropBlocks();
  FInArticle = false;
  ReleaseLog();
  const TState state = std::exchange(FState, Idle);
  if (Text.empty() && (state == Ending || (state == StoppingAfter && atEnd))) {
    FState = Done;
    ReportScanned(NoEnd);
    if (OnDone)
      OnDone(this);
  } else if (Text.empty() && state == ToHeaders) {
    ReportScanned(FHeadsFrom);
    if (OnHeaders)
      OnHeaders(this, FHeadsFrom, FHeadsUntil);
  } else if (OnStopped) {
    OnStopped(this, Text);
  }
}

void TOverviewWalk::ReportScanned(std::int64_t UpTo) {
  while (!FScanned.empty() && FScanned.front().First <= UpTo) {
    const std::string text = std::move(FScanned.front().Text);
    FScanned.pop_front();
    if (OnScanned)
      OnScanned(this, text);
  }
}

void TOverviewWalk::ReleaseLog() {
  for (const std::string& text : std::exchange(FHeldLog, {}))
    if (OnLog)
      OnLog(this, text);
}
