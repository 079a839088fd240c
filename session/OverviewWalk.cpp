#include "session/OverviewWalk.h"

#include "platform/Convert.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

// The overview is asked for this many articles at a time: one reply holds
// the in-range articles of one block, no more.
constexpr std::int64_t OverviewBlock = 1000;
constexpr std::uint16_t FirstSocketError = 10000;
constexpr std::uint16_t LineTooLong = 10053;
constexpr std::int64_t NoEnd = std::numeric_limits<std::int64_t>::max();

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

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
  value = TrimBlanks(value);
  lines = 0;
  return value.empty() || ReadDigits(value, lines);
}

// The last article of the block from First: OverviewBlock articles, or to
// End. Numbers from the server may lie anywhere in 64 bits.
std::int64_t BlockLast(std::int64_t First, std::int64_t End) {
  std::int64_t span = 0;
  return !__builtin_sub_overflow(End, First, &span) && span < OverviewBlock ? End : First + OverviewBlock - 1;
}

std::int64_t Before(std::int64_t Number) {
  return Number == std::numeric_limits<std::int64_t>::min() ? Number : Number - 1;
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

// 420 and 423 to an overview say the block holds no article.
bool IsEmptyBlock(std::uint16_t error) { return error == 420 || error == 423; }

} // namespace

TOverviewWalk::TOverviewWalk() {
  FFetcher.SetRequest(nntpArticleByNumber); // the header names a single-part file
  FFetcher.OnArticleBegin = [this](TObject*, std::int64_t n, std::int64_t lines) { ArticleBegin(n, lines); };
  FFetcher.OnArticleLine = [this](TObject*, std::int64_t n, std::string_view line) {
    if (OnArticleLine)
      OnArticleLine(this, n, line);
  };
  FFetcher.OnArticleEnd = [this](TObject*, std::int64_t n, std::uint16_t e) { ArticleEnd(n, e); };
  FFetcher.OnLog = [this](TObject*, const std::string& text) { FetcherLog(text); };
  FFetcher.OnStopped = [this](TObject*, const std::string& text) { Stopped(text); };
  FFetcher.OnIdle = [this](TObject*) { Next(); };
  FFetcher.OnScanLine = [this](TObject*, std::string_view line) { ScanLine(line); };
  FFetcher.OnScanEnd = [this](TObject*, std::uint16_t e) { ScanEnd(e); };
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
  FInArticle = false;
  ReleaseLog();
}

void TOverviewWalk::StopAfter() {
  if (FState != Walking)
    return;
  FState = StoppingAfter;
  FFetcher.StopAfter();
}

void TOverviewWalk::Pass(std::int64_t To) {
  FFetcher.Pass(To);
  MoveScanTo(To);
  Next();
}

void TOverviewWalk::MoveScanTo(std::int64_t First) {
  if (First > FEnd)
    FAllScanned = true;
  else
    FNextScan = std::max(FNextScan, First);
}

// The next block is asked for while the fetcher has fewer articles than
// twice what its connections can have out; once everything has come the
// connections close.
void TOverviewWalk::Next() {
  if (FState == Walking && !FFetcher.Scanning()) {
    const std::size_t ahead = 4 * std::size_t(FFetcher.Connections()) * std::size_t(FFetcher.Depth());
    if (!FAllScanned && FFetcher.Pending() < ahead) {
      FScanFirst = FNextScan;
      FScanLast = BlockLast(FScanFirst, FEnd);
      FLastListed = Before(FScanFirst);
      FUnreadable = 0;
      FInRange.clear();
      if (FFetcher.Pending() == 0 && OnStatus)
        OnStatus(this, "Scanning " + IntToStr(FScanFirst) + "-" + IntToStr(FScanLast));
      FFetcher.Scan(FScanFirst, FScanLast);
    } else if (FAllScanned && FFetcher.Pending() == 0) {
      FState = Ending;
    }
  }
  ReportScanned(Position());
  if ((FState == Ending || FState == ToHeaders) && FFetcher.Pending() == 0)
    FFetcher.StopAfter();
}

// A line that cannot be read, or whose number lies outside the block or
// does not follow the one before, is passed over: the article is not
// fetched, and the block's log line counts it.
void TOverviewWalk::ScanLine(std::string_view Line) {
  std::int64_t number = 0, lines = 0;
  if (!ReadOverviewLine(Line, FLinesField, FLinesFull, number, lines) || number < FScanFirst ||
      number > FScanLast || number <= FLastListed) {
    if (FUnreadable < std::numeric_limits<std::int32_t>::max())
      ++FUnreadable;
    return;
  }
  FLastListed = number;
  if (FMinLines <= lines && lines <= FMaxLines && FFilter.Passes(OverviewField(Line, FSubjectField)))
    FInRange.push_back({number, lines});
}

// A block cut short comes again from its first line. Any refusal but an
// empty block, and a line too long to hold, hand the rest of the walk, or
// that block, to the headers.
void TOverviewWalk::ScanEnd(std::uint16_t Error) {
  if (Error >= FirstSocketError && Error != LineTooLong) {
    FLastListed = Before(FScanFirst);
    FUnreadable = 0;
    FInRange.clear();
    return;
  }
  const std::string block = IntToStr(FScanFirst) + "-" + IntToStr(FScanLast);
  if (Error == LineTooLong) {
    FetcherLog("Line too long in the overview of " + block + ", requesting headers");
    GiveUpOverview(FScanLast);
    return;
  }
  if (Error != 0 && !IsEmptyBlock(Error)) {
    FetcherLog("Error #" + IntToStr(Error));
    FetcherLog("Overview refused, requesting headers");
    GiveUpOverview(NoEnd);
    return;
  }
  std::string text =
      "Scanned " + block + ": " +
      (Error != 0 ? std::string("no articles") : IntToStr(std::int64_t(FInRange.size())) + " in range");
  if (FUnreadable > 0)
    text += ", " + IntToStr(FUnreadable) + " unreadable";
  FScanned.push_back({FScanFirst, text});
  if (FScanLast >= FEnd)
    FAllScanned = true;
  else
    MoveScanTo(FScanLast + 1);
  FFetcher.Fetch(FScanFirst, FScanLast, FInRange);
  FInRange.clear();
  Next();
}

// The articles before the block go on to their end; then the connections
// close and the owner goes on by headers from the block's first article.
void TOverviewWalk::GiveUpOverview(std::int64_t Until) {
  FHeadsFrom = FScanFirst;
  FHeadsUntil = Until;
  FInRange.clear();
  if (FState == Walking)
    FState = ToHeaders;
  Next();
}

void TOverviewWalk::ArticleBegin(std::int64_t Number, std::int64_t Lines) {
  ReportScanned(Number);
  FInArticle = true;
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
  FInArticle = false;
  ReleaseLog();
  const TState state = std::exchange(FState, Idle);
  if (Text.empty() && state == Ending) {
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
