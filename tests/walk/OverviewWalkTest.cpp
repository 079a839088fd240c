#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <QDir>

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>

using Lines = std::vector<std::string>;
using Numbers = std::vector<std::int64_t>;

namespace {

// A file uuencoded over count articles numbered from first on.
std::vector<TNewsArticle> Spread(const std::string& name, const std::string& data, std::int64_t first,
                                 std::size_t count) {
  const Lines lines = UU(name, data);
  std::vector<TNewsArticle> posts;
  for (std::size_t i = 0; i < count; ++i) {
    const auto from = lines.begin() + long(lines.size() * i / count);
    const auto to = lines.begin() + long(lines.size() * (i + 1) / count);
    posts.push_back(Post(first + std::int64_t(i), int(to - from), {from, to}));
  }
  return posts;
}

} // namespace

// Windows walking by overview over several connections, with requests in
// flight: every line of the group's articles reaches the scanner in article
// order, whatever connection brought it and when.
class OverviewWalk : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    Values.min = "1";
    Values.max = "100000";
    Values.pacing = "0";
    Server.OfferOverview();
  }
  void Serve(std::vector<TNewsArticle> posts) {
    std::sort(posts.begin(), posts.end(), [](const auto& a, const auto& b) { return a.Number < b.Number; });
    Server.ServeGroup("alt.test", posts);
  }

  // The articles whose log line ends with "Request Done", in log order.
  Numbers Done() const {
    Numbers done;
    for (const std::string& line : Child->MemoLines())
      if (line.starts_with("Request Article ") && line.ends_with("Request Done "))
        done.push_back(std::stoll(line.substr(16)));
    return done;
  }
  long Logged(const std::string& prefix) const {
    const Lines memo = Child->MemoLines();
    return std::count_if(memo.begin(), memo.end(),
                         [&](const std::string& l) { return l.starts_with(prefix); });
  }
  // The in-range count of each "Scanned" line, as the walk gives them to
  // the log, which keeps only its last lines.
  void CountInRange(Numbers& counts) {
    Child->FWalk.OnScanned = [&counts, scanned = Child->FWalk.OnScanned](TObject* sender,
                                                                         const std::string& text) {
      counts.push_back(std::atoll(text.c_str() + text.find(": ") + 2));
      scanned(sender, text);
    };
  }
  QStringList PartFiles() const {
    return QDir(QString::fromStdString(Folder())).entryList({"*.UUE", "*.B64"}, QDir::Files);
  }
};

// Four connections with three requests each in flight to a server that
// answers 5 ms late, takes three connections at once and loses one in the
// middle of a yEnc part: a file posted over three articles, yEnc files of
// parts in order and out of order, a single-part MIME file, and a file in
// the overview's second block are all saved whole, in article order; the
// refused connection is logged once; the log keeps one line per article
// handed over, in order.
TEST_F(OverviewWalk, SeveralConnectionsSaveEveryFileWholeInArticleOrder) {
  Values.connections = "4";
  Values.inFlight = "3";
  Values.min = "2";
  std::map<std::string, std::string> files;
  for (const char* name : {"kilo.bin", "w.bin", "c.bin", "v.bin", "z.bin"})
    files[name] = RandomBytes(20000 + files.size() * 3000, unsigned(files.size() + 1));
  std::vector<TNewsArticle> posts = Spread("kilo.bin", files["kilo.bin"], 1, 3);
  posts.push_back(Post(4, 1, {"chatter"})); // out of range
  const auto w = YEncParts(files["w.bin"], "w.bin", 3), v = YEncParts(files["v.bin"], "v.bin", 3);
  for (std::size_t i = 0; i < 3; ++i) {
    posts.push_back(Post(5 + std::int64_t(i), int(w[i].size()), w[i]));
    posts.push_back(Post(9 + std::int64_t(i), int(v[i].size()), v[2 - i])); // 3, 2, 1
  }
  posts.push_back(SinglePartPost(8, 300, "c.bin", files["c.bin"]));
  for (std::int64_t n = 12; n <= 40; ++n) {
    files["f" + std::to_string(n)] = RandomBytes(std::size_t(1000 + n * 150), unsigned(n));
    posts.push_back(Post(n, 100, UU("f" + std::to_string(n), files["f" + std::to_string(n)])));
  }
  posts.push_back(Post(1500, 400, UU("z.bin", files["z.bin"])));
  Server.SetLatency(5);
  Server.LimitConnections(3);
  Server.CutBody(6);
  Serve(posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  Lines saved = {"kilo.bin", "w.bin", "c.bin", "v.bin"};
  for (std::int64_t n = 12; n <= 40; ++n)
    saved.push_back("f" + std::to_string(n));
  saved.push_back("z.bin");
  EXPECT_EQ(Child->Saved(), saved);
  for (const auto& [name, data] : files)
    EXPECT_TRUE(ReadFile(Folder() + name) == data) << name;
  Numbers expected = {1, 2, 3};
  for (std::int64_t n = 5; n <= 40; ++n)
    expected.push_back(n);
  expected.push_back(1500);
  EXPECT_EQ(Done(), expected);
  EXPECT_EQ(Logged("127.0.0.1 refused connection "), 1);
  EXPECT_GE(Logged("Connection "), 1); // the one lost in part 2 of w.bin, reconnected
  EXPECT_EQ(Logged("Scanned 1-1000: 39 in range "), 1);
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->GroupProgressShown, 1000);
  EXPECT_TRUE(PartFiles().isEmpty());
  CloseExpecting(1501);
  EXPECT_TRUE(Errors.empty());
}

// One connection with two requests in flight. A in the first article of a
// file posted over six: that article ends, the one in flight behind it is
// dropped, and nothing more is asked for; the block stays open for R, which
// goes on with it. S in an article passes the two after it, though they are asked for
// already. X with requests in flight throws the part away; the close stores
// the article whose lines were being handed over.
TEST_F(OverviewWalk, StopAfterSkipAndStopWithRequestsInFlight) {
  Values.connections = "1";
  Values.inFlight = "2";
  const std::string six = RandomBytes(30000, 6);
  std::vector<TNewsArticle> posts = Spread("six.bin", six, 1, 6);
  std::map<std::int64_t, std::string> singles;
  for (std::int64_t n = 7; n <= 14; ++n) {
    singles[n] = RandomBytes(5000, unsigned(n));
    posts.push_back(Post(n, 100, UU("g" + std::to_string(n), singles[n])));
  }
  Server.SetLatency(10);
  Serve(posts);
  Open();
  OnLine(posts[0].Body[5], [&] { Child->AfterClick(); });
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Panel(0), "Downloading Interrupted by User");
  EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
  EXPECT_EQ(Child->FWalk.Position(), 2);
  EXPECT_EQ(Done(), (Numbers{1}));
  EXPECT_EQ(Logged("Unfinished part file kept open 1.UUE"), 1);
  // The connection says goodbye once nothing is in flight; when the
  // article behind is still coming as the walk stops (a busy machine), it
  // is closed instead. Either way nothing more is asked for.
  if (!PumpUntil([&] { return Server.Received().back() == "QUIT"; }, 1000)) {
    EXPECT_EQ(Server.Received().back(), "ARTICLE 2");
  }
  const Lines asked = Server.Received();
  PumpFor(50);
  EXPECT_EQ(Server.Received(), asked);

  Ended = false;
  Child->RestartClick();
  OnLine(posts[7].Body[3], [&] { Child->SkipClick(2); }); // in article 8
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "six.bin"), six);
  EXPECT_EQ(Child->Saved(), (Lines{"six.bin", "g7", "g8", "g11", "g12", "g13", "g14"}));
  EXPECT_EQ(Done(), (Numbers{1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14}));
  CloseExpecting(15);

  DeleteFile(Folder() + "dati.ini");
  Store(7);
  Open();
  OnLine(posts[8].Body[3], [&] { Child->StopClick(); }); // in article 9, 10 in flight behind it
  ASSERT_TRUE(WaitEnd());
  EXPECT_TRUE(PartFiles().isEmpty());
  CloseExpecting(9);
  EXPECT_TRUE(Errors.empty());
}

// Four connections with four requests each in flight, a file an article.
// A in article 5 lets it end and drops the requests behind it: 6 is stored,
// nothing past 5 is saved. X in article 8 leaves R, which starts again from
// the position stored then; A in the last article finds the walk at its
// end and says so.
TEST_F(OverviewWalk, StopAfterEndsTheArticleInHandAndRestartFollowsStop) {
  Values.connections = "4";
  Values.inFlight = "4";
  std::vector<TNewsArticle> posts;
  Lines names;
  for (std::int64_t n = 1; n <= 19; ++n) {
    names.push_back("f" + std::to_string(n));
    posts.push_back(Post(n, 100, UU(names.back(), RandomBytes(3000, unsigned(n)))));
  }
  Server.SetLatency(5);
  Serve(posts);
  Open();
  OnLine("begin 644 f5", [&] { Child->AfterClick(); });
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
  EXPECT_EQ(Panel(0), "Downloading Interrupted by User");
  EXPECT_EQ(Done(), (Numbers{1, 2, 3, 4, 5}));
  EXPECT_EQ(Child->Saved(), Lines(names.begin(), names.begin() + 5));
  CloseExpecting(6);

  Open();
  OnLine("begin 644 f8", [&, once = false]() mutable {
    if (!std::exchange(once, true))
      Child->StopClick();
  });
  ASSERT_TRUE(PumpUntil([&] { return Child->Commands().Restart; }));
  EXPECT_EQ(Child->Buttons(), "--R-");
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  OnLine("begin 644 f19", [&] { Child->AfterClick(); });
  Child->RestartClick();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(8));
  ASSERT_TRUE(PumpUntil([&] { return !Child->Downloading() && Child->Settled(); }));
  EXPECT_EQ(Child->Caption, Captioned("Download Done"));
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->Saved(), Lines(names.begin() + 5, names.end()));
  CloseExpecting(20);
  EXPECT_TRUE(Errors.empty());
}

// A group refused on the walk's connection stops the walk with the reason,
// R offered, the position kept.
TEST_F(OverviewWalk, GroupRefusedToTheWalkStopsIt) {
  TScriptedNewsServer refusing;
  refusing.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 5 6 alt.test");
  refusing.Expect("LIST OVERVIEW.FMT")
      .Send("215 fields\r\n:lines\r\n.\r\n")
      .Expect("QUIT")
      .Reply("205 bye")
      .Close();
  refusing.Reply("200 ready").Expect("GROUP alt.test").Reply("502 not for you").ExpectClosed().Start();
  Use(refusing);
  Store(5);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(refusing.Failures(), Lines{});
  EXPECT_EQ(Panel(0), "Group alt.test refused by 127.0.0.1");
  EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
  EXPECT_TRUE(Child->Commands().Restart);
  EXPECT_FALSE(Child->Commands().After);
  CloseExpecting(5);
  EXPECT_TRUE(Errors.empty());
}

// Articles 1, 2 and the largest number but one. The block after the first
// holds nothing: the walk asks the server for the article after 2 (STAT 2,
// then NEXT, one request at a time with pacing) and the overview from there
// on in one request, and saves the three files after a handful of requests.
// A server without NEXT (asked both at once) gets blocks that grow while
// they hold nothing; one that lists more than a block's worth of articles
// in range is cut there, the rest asked again, so that no block holds more.
TEST_F(OverviewWalk, GroupWhoseNumbersJumpEndsInAFewRequests) {
  constexpr std::int64_t far = std::numeric_limits<std::int64_t>::max() - 1;
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(4000, 2), c = RandomBytes(5000, 3);
  const std::vector<TNewsArticle> ends = {Post(1, 50, UU("a.bin", a)), Post(2, 50, UU("b.bin", b)),
                                          Post(far, 50, UU("c.bin", c))};
  Values.connections = "2";
  Values.pacing = "1";
  Serve(ends);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(ReadFile(Folder() + "c.bin"), c);
  EXPECT_LE(Count(Server.Received(), "XOVER "), 12);
  EXPECT_EQ(Count(Server.Received(), "NEXT"), 1);
  EXPECT_EQ(Logged("Scanned 1-1000: 2 in range "), 1);
  EXPECT_EQ(Logged("Scanned 9223372036854775806-9223372036854775806: 1 in range "), 1);
  EXPECT_EQ(Panel(0), "Downloading Done");
  CloseExpecting(std::numeric_limits<std::int64_t>::max());

  TScriptedNewsServer noNext;
  noNext.OfferOverview();
  noNext.RefuseNext();
  std::vector<TNewsArticle> posts = ends;
  for (std::int64_t n = 3000000; n < 3001200; ++n)
    posts.push_back(Post(n, 1, {"chatter"}));
  std::sort(posts.begin(), posts.end(), [](const auto& x, const auto& y) { return x.Number < y.Number; });
  noNext.ServeGroup("alt.test", posts);
  Use(noNext);
  Values.pacing = "0";
  Open();
  Numbers inRange;
  CountInRange(inRange);
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(Count(noNext.Received(), "ARTICLE "), 1203);
  EXPECT_EQ(std::accumulate(inRange.begin(), inRange.end(), std::int64_t(0)), 1203);
  EXPECT_EQ(*std::max_element(inRange.begin(), inRange.end()), 1000);
  EXPECT_LE(Count(noNext.Received(), "XOVER "), 100);
  EXPECT_EQ(Panel(0), "Downloading Done");
  CloseExpecting(std::numeric_limits<std::int64_t>::max());
  EXPECT_TRUE(Errors.empty());
}

// S while the article in hand is on its way, nothing of it come yet (panel
// 1 shows it): it is handled whole, and the three after it are passed over,
// as with one connection.
TEST_F(OverviewWalk, SkipHandlesTheArticleInHandWhoseRequestIsOut) {
  std::vector<TNewsArticle> posts;
  Lines names;
  for (std::int64_t n = 101; n <= 110; ++n) {
    names.push_back("g" + std::to_string(n));
    posts.push_back(Post(n, 60, UU(names.back(), RandomBytes(2000, unsigned(n)))));
  }
  Store(101);
  Server.HoldArticle(102);
  Serve(posts);
  Open();
  ASSERT_TRUE(PumpUntil([&] {
    const Lines asked = Server.Received();
    return Panel(1) == "102" && std::find(asked.begin(), asked.end(), "ARTICLE 102") != asked.end();
  }));
  Child->SkipClick(3);
  Server.Release();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Done(), (Numbers{101, 102, 106, 107, 108, 109, 110}));
  EXPECT_EQ(Child->Saved(), (Lines{"g101", "g102", "g106", "g107", "g108", "g109", "g110"}));
  CloseExpecting(111);
  EXPECT_TRUE(Errors.empty());
}

// One connection with 100 requests in flight on a group of 50,000 articles
// in range: what the walk has read of the overview and not yet handed over
// stays within its bound, not the group, from the first article on.
TEST_F(OverviewWalk, ReadAheadIsBoundedNotByTheGroup) {
  TScriptedNewsServer numbered;
  numbered.OfferOverview();
  numbered.ServeNumberedGroup("alt.test", 50000, 2);
  Use(numbered);
  Values.inFlight = "100";
  Open();
  std::size_t most = 0;
  int handed = 0;
  Child->FWalk.OnArticleBegin = [&, begin = Child->FWalk.OnArticleBegin](TObject* sender, std::int64_t n,
                                                                         std::int64_t lines) {
    most = std::max(most, Child->FWalk.Fetcher().Pending());
    ++handed;
    begin(sender, n, lines);
  };
  ASSERT_TRUE(PumpUntil([&] { return handed >= 2000; }, 30000));
  EXPECT_LE(most, std::size_t(TOverviewWalk::ReadAhead));
  Child->StopClick();
  EXPECT_TRUE(Errors.empty());
}
