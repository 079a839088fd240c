#include "walk/ArticleFetcher.h"

#include "platform/Guard.h"
#include "tests/support/Allocations.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <QCoreApplication>

#include <algorithm>
#include <map>

using Lines = std::vector<std::string>;
using Numbers = std::vector<std::int64_t>;
using namespace std::chrono_literals;

namespace {

// Articles 1..count whose lines say whose they are, 20 to 260 of them, so
// that replies of different lengths overtake each other.
std::vector<TNewsArticle> Group(std::int64_t count) {
  std::vector<TNewsArticle> group;
  for (std::int64_t n = 1; n <= count; ++n) {
    group.push_back({n, {"Subject: part " + std::to_string(n)}, {".dot"}});
    for (std::int64_t i = 0; i < 20 + n % 7 * 40; ++i)
      group.back().Body.push_back(std::to_string(n) + ":" + std::to_string(i) + std::string(60, 'y'));
  }
  return group;
}

Numbers Range(std::int64_t first, std::int64_t last) {
  Numbers numbers;
  for (std::int64_t n = first; n <= last; ++n)
    numbers.push_back(n);
  return numbers;
}

std::vector<TFetchArticle> Wanted(const Numbers& numbers) {
  std::vector<TFetchArticle> wanted;
  for (const std::int64_t n : numbers)
    wanted.push_back({n, 21 + n % 7 * 40});
  return wanted;
}

long Count(const Lines& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.starts_with(prefix); });
}

// Bytes the heap has handed out, blocks mapped on their own included.
std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

} // namespace

// Records the fetcher's events as texts, in order, and each article's lines
// since its last begin.
class ArticleFetcher : public ::testing::Test {
protected:
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Fetcher.SetReconnectDelay(1ms);
    Fetcher.SetGroup("alt.test");
    Fetcher.OnArticleBegin = [this](TObject*, std::int64_t n, std::int64_t) {
      Events.push_back("begin " + std::to_string(n));
      Bodies[n].clear();
    };
    Fetcher.OnArticleLine = [this](TObject*, std::int64_t n, std::string_view line) {
      Bodies[n].emplace_back(line);
    };
    Fetcher.OnArticleEnd = [this](TObject*, std::int64_t n, std::uint16_t e) {
      Events.push_back("end " + std::to_string(n) + " " + std::to_string(e));
      if (e == 0)
        Ended.push_back(n);
    };
    Fetcher.OnLog = [this](TObject*, const std::string& text) { Log.push_back(text); };
    Fetcher.OnStopped = [this](TObject*, const std::string& text) { Stopped.push_back(text); };
    Fetcher.OnIdle = [this](TObject*) { ++Idle; };
  }
  void TearDown() override {
    SetErrorDisplay(Previous);
    EXPECT_EQ(Errors, Lines{});
  }
  void Use(const TScriptedNewsServer& server, int connections, int depth, const std::string& user = "") {
    Fetcher.SetServer({"127.0.0.1", server.PortText(), false, user});
    Fetcher.SetConnections(connections);
    Fetcher.SetDepth(depth);
  }
  void FetchAll(const Numbers& numbers) {
    Fetcher.Fetch(numbers.front(), numbers.back(), Wanted(numbers));
    const int idle = Idle;
    Fetcher.Start();
    ASSERT_TRUE(PumpUntil([&] { return Idle > idle; }));
  }
  // Starts the pool and waits until every connection has its group, before
  // any article is asked for: the first one up would rightly take them all,
  // and on a loaded machine the last one may come up late. Gives the count
  // of idle events so far.
  int StartEveryConnection(int connections) {
    Fetcher.Start();
    EXPECT_TRUE(PumpUntil([&] { return Fetcher.Standing() == connections; }));
    return Idle;
  }
  // Every article came whole, once, in order.
  void ExpectWhole(const std::vector<TNewsArticle>& group, const Numbers& numbers) {
    EXPECT_EQ(Ended, numbers);
    for (const std::int64_t n : numbers)
      EXPECT_TRUE(Bodies[n] == group[std::size_t(n - 1)].Body) << n << ": " << Bodies[n].size() << " lines";
  }

  TArticleFetcher Fetcher;
  Lines Events, Log, Stopped, Errors;
  std::map<std::int64_t, Lines> Bodies;
  Numbers Ended;
  int Idle = 0;
  TErrorDisplay Previous;
};

// Four connections with three requests each in flight, from a server that
// answers 5 ms late: each connection gets its share, and the articles come
// in order, whole, however their replies overtake each other; one the
// server lacks ends with its refusal in its turn, once asked for again, as
// no later reply on its connection showed that the refusal was its own. The
// position follows the articles handed over, then the end of the range.
TEST_F(ArticleFetcher, SharesArticlesOutAndHandsThemOverInOrder) {
  const auto group = Group(40);
  TScriptedNewsServer server;
  server.SetLatency(5);
  server.ServeGroup("alt.test", {group.begin(), group.end() - 1});
  Use(server, 4, 3);
  const int idle = StartEveryConnection(4);
  Numbers wanted = Range(1, 40);
  wanted.erase(wanted.begin() + 9);
  Fetcher.Fetch(1, 50, Wanted(wanted));
  EXPECT_EQ(Fetcher.Position(), 1);
  ASSERT_TRUE(PumpUntil([&] { return Idle > idle; }));
  wanted.pop_back();
  ExpectWhole(group, wanted);
  EXPECT_EQ(Events.back(), "end 40 423");
  EXPECT_EQ(Fetcher.Position(), 51);
  EXPECT_EQ(server.Connections(), 4);
  long total = 0;
  for (int c = 1; c <= 4; ++c) {
    EXPECT_EQ(server.ReceivedBy(c).front(), "GROUP alt.test");
    EXPECT_GT(Count(server.ReceivedBy(c), "BODY"), 0) << "connection " << c;
    total += Count(server.ReceivedBy(c), "BODY");
  }
  EXPECT_EQ(total, 40);
  EXPECT_EQ(Log, Lines{});
}

// Of a pool, only the first connection compresses, and it takes no body
// while a plain one stands: bodies do not shrink, and the server spends a
// processor compressing them.
TEST_F(ArticleFetcher, BodiesKeepOffTheCompressedConnectionWhileAPlainOneStands) {
  const auto group = Group(20);
  TScriptedNewsServer server;
  server.SetLatency(2);
  server.OfferCompression();
  server.ServeGroup("alt.test", group);
  Use(server, 3, 2);
  Fetcher.SetCompress(true);
  const int idle = StartEveryConnection(3);
  Fetcher.Fetch(1, 20, Wanted(Range(1, 20)));
  ASSERT_TRUE(PumpUntil([&] { return Idle > idle; }));
  ExpectWhole(group, Range(1, 20));
  int compressed = 0;
  for (int c = 1; c <= 3; ++c)
    if (Count(server.ReceivedBy(c), "COMPRESS DEFLATE") > 0) {
      ++compressed;
      EXPECT_EQ(Count(server.ReceivedBy(c), "BODY"), 0) << "connection " << c;
    }
  EXPECT_EQ(compressed, 1);
}

// With the buffer, not the depth, bounding what is out, each request goes
// to the connection with the fewest in flight: were every freed slot to go
// to the first connection, its queue would grow deep and the next in order
// would wait far down it.
TEST_F(ArticleFetcher, ABufferFullOfRequestsIsSharedOutEvenly) {
  const auto group = Group(40);
  TScriptedNewsServer server;
  server.SetLatency(5);
  server.ServeGroup("alt.test", group);
  Use(server, 4, 8);
  Fetcher.SetBufferLimit(40000);
  const int idle = StartEveryConnection(4);
  Fetcher.Fetch(1, 40, Wanted(Range(1, 40)));
  ASSERT_TRUE(PumpUntil([&] { return Idle > idle; }));
  ExpectWhole(group, Range(1, 40));
  for (int c = 1; c <= 4; ++c)
    EXPECT_LE(Count(server.ReceivedBy(c), "BODY"), 20) << "connection " << c;
}

// Connections go in the middle of bodies, by a close and by a reset, with
// requests in flight; one body holds a line too long to keep. Each lost
// connection comes back after the back-off, and what it had in flight goes
// out again while the others go on. An article cut while being handed over
// ends with the socket's error and then comes whole; the one with the long
// line is passed over with 10053 and not asked for again.
TEST_F(ArticleFetcher, LostConnectionsComeBackAndTheirArticlesGoOutAgain) {
  auto group = Group(30);
  group[11].Body[3] = std::string(5000, 'x');
  TScriptedNewsServer server;
  server.CutBody(5);
  server.CutBody(9, true);
  server.ServeGroup("alt.test", group);
  Use(server, 2, 3);
  FetchAll(Range(1, 30));
  Numbers whole = Range(1, 30);
  whole.erase(whole.begin() + 11);
  ExpectWhole(group, whole);
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "end 12 10053"), 1);
  EXPECT_EQ(Count(Events, "end "), 29 + Count(Events, "end 5 10") + Count(Events, "end 9 10") + 1);
  const Lines received = server.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), "BODY 12"), 1);
  EXPECT_GE(std::count(received.begin(), received.end(), "BODY 5"), 2);
  EXPECT_EQ(Log.size(), 3u); // a reconnect for each loss
  EXPECT_EQ(Count(Log, "Connection "), 3) << Log[0];
}

// A server that takes two connections of four: the refusal is logged once,
// the others try again quietly while two fetch, and the log says how many
// the fetching has. One that loses pipelined commands: the
// first reply that answers another article drops its connection, and the
// server gets one request at a time from then on, after a restart too;
// paced, a connection has one request in flight anyway. Every article still
// comes whole and in order. A server that takes no connection stops the
// fetcher once every connection has had its tries; those of the first
// refused are logged.
TEST_F(ArticleFetcher, RefusedConnectionsAndBrokenPipeliningLeaveTheFetchGoing) {
  const auto group = Group(16);
  TScriptedNewsServer limited, broken;
  limited.LimitConnections(2);
  limited.ServeGroup("alt.test", group);
  broken.MishandlePipelining();
  broken.ServeGroup("alt.test", group);
  Use(limited, 4, 2);
  FetchAll(Range(1, 4));
  ASSERT_TRUE(PumpUntil([&] { return Count(Log, "Fetching over ") == 1 && limited.Connections() > 6; }));
  EXPECT_TRUE(Log[0].starts_with("127.0.0.1 refused connection ")) << Log[0];
  EXPECT_TRUE(Log[0].ends_with(" of 4: 502 Too many connections")) << Log[0];
  EXPECT_EQ(Log.back(), "Fetching over 2 of 4 connections");
  // Between them only the tries of the first refused, while none stood yet
  // (on a busy machine the two taken may stand after several).
  const std::string speaker = "Connection " + Log[0].substr(29, 1) + " reconnecting in ";
  for (std::size_t i = 1; i + 1 < Log.size(); ++i)
    EXPECT_TRUE(Log[i].starts_with(speaker)) << Log[i];

  Use(broken, 2, 4);
  Fetcher.SetPacing(1);
  FetchAll(Range(5, 8));
  EXPECT_FALSE(Fetcher.PipelineBroken());
  Fetcher.SetPacing(0);
  FetchAll(Range(9, 12));
  EXPECT_TRUE(Fetcher.PipelineBroken());
  FetchAll(Range(13, 16));
  ExpectWhole(group, Range(1, 16));
  EXPECT_EQ(Count(Log, "127.0.0.1 mishandles pipelined requests: one request at a time from now on"), 1);
  EXPECT_EQ(Count(Log, "Connection "), long(Log.size()) - 3); // and reconnects each dropped connection
  EXPECT_EQ(Stopped, Lines{});

  TScriptedNewsServer closed; // never started: every connect is refused
  Use(closed, 3, 2);
  Fetcher.Fetch(17, 17, Wanted({17}));
  Log.clear();
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{"Not Connected"});
  ASSERT_EQ(Log.size(), 13u);
  EXPECT_TRUE(Log[0].ends_with(" of 3: Error #10061")) << Log[0];
  const std::string first = "Connection " + Log[0].substr(29, 1);
  EXPECT_EQ(Log[1], first + " reconnecting in 1 s (try 1 of 10)");
  EXPECT_EQ(Log[10], first + " reconnecting in 60 s (try 10 of 10)");
  EXPECT_EQ(Log[11], first + " lost");
  EXPECT_EQ(Log[12], "Not Connected");
  EXPECT_EQ(Fetcher.Position(), 17);
  EXPECT_FALSE(Fetcher.Running());
}

// Paced, no request leaves sooner than the pacing after the reply before it
// on its connection: neither the first after the GROUP, nor one that an
// event of the owner's (or of another connection) would send between a
// reply and the handling of its end. An hour's pacing holds back whatever
// would come next.
TEST_F(ArticleFetcher, PacingHoldsAfterTheGroupAndAfterEveryReply) {
  const auto group = Group(4);
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", group);
  Use(server, 2, 4);
  Fetcher.SetPacing(3600000);
  Fetcher.Fetch(1, 3, Wanted(Range(1, 3)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return server.Received().size() == 2; }));
  PumpFor(100);
  EXPECT_EQ(server.Received(), (Lines{"GROUP alt.test", "GROUP alt.test"}));

  Use(server, 1, 4);
  Fetcher.SetPacing(1);
  Fetcher.OnArticleEnd = [&, end = Fetcher.OnArticleEnd](TObject* s, std::int64_t n, std::uint16_t e) {
    end(s, n, e);
    Fetcher.SetPacing(3600000);
    // Runs after the reply has ended, before its end is handled.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { Fetcher.Fetch(4, 4, Wanted({4})); }, Qt::QueuedConnection);
  };
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Ended.size() == 1; }));
  PumpFor(100);
  EXPECT_EQ(server.Received(), (Lines{"GROUP alt.test", "GROUP alt.test", "GROUP alt.test", "BODY 1"}));
  EXPECT_EQ(Fetcher.Pending(), 3u);
}

// A stop after the current article sends nothing more, lets the article
// being handed over end, drops what was in flight behind it and says so;
// the position is the first article not handed over, and a restart goes on
// from there. A stop in the middle of an
// article raises nothing more, and that article comes again whole. ARTICLE
// brings the header first.
TEST_F(ArticleFetcher, StopAfterStopAndRestartKeepThePosition) {
  const auto group = Group(20);
  TScriptedNewsServer server;
  server.SetLatency(10);
  server.ServeGroup("alt.test", group);
  Use(server, 2, 2);
  Fetcher.SetRequest(nntpArticleByNumber);
  Fetcher.Fetch(1, 25, Wanted(Range(1, 20)));
  bool once = false;
  Fetcher.OnArticleLine = [&, line = Fetcher.OnArticleLine](TObject* s, std::int64_t n, std::string_view t) {
    line(s, n, t);
    if (n == 3 && t.empty())
      Fetcher.StopAfter();
    if (n == 12 && t == "12:3" + std::string(60, 'y') && !std::exchange(once, true))
      Fetcher.Stop();
  };
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{""});
  const std::int64_t position = Fetcher.Position();
  EXPECT_EQ(position, 4);
  EXPECT_EQ(Ended, Range(1, position - 1));
  EXPECT_EQ(Bodies[1][0], "Subject: part 1");
  PumpFor(50); // what was on its way has reached the server
  const long asked = Count(server.Received(), "ARTICLE");
  PumpFor(50);
  EXPECT_EQ(Count(server.Received(), "ARTICLE"), asked);
  EXPECT_LE(asked, 3 + 2 * 2); // nothing went out after the stop

  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Fetcher.Running(); }));
  const std::size_t events = Events.size();
  PumpFor(50);
  EXPECT_EQ(Events.size(), events);
  EXPECT_EQ(Events.back(), "begin 12");
  EXPECT_EQ(Fetcher.Position(), 12);
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  EXPECT_EQ(Ended, Range(1, 20));
  EXPECT_EQ(Bodies[12].size(), 2 + group[11].Body.size());
  EXPECT_EQ(Fetcher.Position(), 26);
}

// A buffer smaller than one article. By the overview's line counts no
// article goes out before it is the next. Articles the overview
// understates go out while the long first one is handed over, are dropped
// as they overflow and asked for again once they are the next, when they
// come straight through. Nothing is lost or doubled.
TEST_F(ArticleFetcher, ArticlesBiggerThanTheBufferComeInTheirTurn) {
  auto group = Group(20);
  group[0].Body.resize(40000, std::string(60, 'z'));
  group[10].Body = group[0].Body;
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", group);
  Use(server, 3, 2);
  Fetcher.SetBufferLimit(2000);
  FetchAll(Range(1, 10));
  EXPECT_EQ(Count(server.Received(), "BODY"), 10);
  std::vector<TFetchArticle> understated;
  for (const std::int64_t n : Range(11, 20))
    understated.push_back({n, 1});
  Fetcher.Fetch(11, 20, understated);
  ASSERT_TRUE(PumpUntil([&] { return Idle == 2; }));
  ExpectWhole(group, Range(1, 20));
  // How many overflow depends on how soon the other connections are up.
  EXPECT_GE(Count(server.Received(), "BODY"), 20);
}

// An overview that understates the bodies a hundred times lets the requests
// out at once, and the articles held ahead of their turn outgrow the
// buffer: each one dropped gives its memory back then, not when its turn
// comes, and what the buffer holds is counted as allocated, reserved and
// grown room included. The heap never takes much more than the limit, and
// every article comes whole and in order.
TEST_F(ArticleFetcher, ArticlesDroppedFromAFullBufferGiveTheirMemoryBack) {
  {
    const std::size_t before = HeapInUse();
    const std::vector<char> probe(std::size_t(8) << 20, 1);
    if (HeapInUse() < before + probe.size())
      GTEST_SKIP() << "this heap does not tell what it has handed out";
  }
  const auto line = [](std::int64_t n) { return std::string(126, char('a' + n)) + std::to_string(n % 10); };
  std::vector<TNewsArticle> group;
  std::vector<TFetchArticle> understated;
  for (std::int64_t n = 1; n <= 20; ++n) {
    group.push_back({n, {}, Lines(8000, line(n))}); // 1 MB
    understated.push_back({n, 80});
  }
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", std::move(group));
  Use(server, 4, 4);
  const std::size_t limit = std::size_t(2) << 20;
  Fetcher.SetBufferLimit(limit);
  std::map<std::int64_t, int> lines;
  bool intact = true;
  std::size_t peak = 0;
  Fetcher.OnArticleBegin = [&](TObject*, std::int64_t n, std::int64_t) { lines[n] = 0; };
  Fetcher.OnArticleLine = [&](TObject*, std::int64_t n, std::string_view text) {
    intact = intact && text == line(n);
    if (++lines[n] % 500 == 0)
      peak = std::max(peak, HeapInUse());
  };
  Fetcher.Fetch(1, 20, understated);
  const std::size_t base = HeapInUse();
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  EXPECT_EQ(Ended, Range(1, 20));
  EXPECT_TRUE(intact);
  for (const auto& [n, count] : lines)
    EXPECT_EQ(count, 8000) << n;
  EXPECT_GT(Count(server.Received(), "BODY"), 20);
  const std::size_t grown = std::max(peak, base) - base;
  EXPECT_LT(grown, 3 * limit) << grown / 1024 << " KB";
}

// Eight connections with four requests each in flight bring articles of one
// size well ahead of their turn, over two ranges. The blocks that hold them
// come from a pool that, with what the articles hold, never passes the
// buffer's limit: a walk of any length takes no more blocks from the heap
// than the limit has room for, and no line, handed over straight or from a
// block, costs an allocation. A stop gives the pool back.
TEST_F(ArticleFetcher, ArticlesAheadReuseABoundedPoolAndLinesCostNoAllocation) {
  std::vector<TNewsArticle> group;
  std::vector<TFetchArticle> wanted;
  for (std::int64_t n = 1; n <= 160; ++n) {
    group.push_back({n, {}, {}});
    for (int i = 0; i < 200; ++i)
      group.back().Body.push_back(std::to_string(n) + ":" + std::to_string(i) + std::string(60, 'y'));
    wanted.push_back({n, 200}); // a block of 32 KB each
  }
  TScriptedNewsServer server;
  server.SetLatency(2);
  server.ServeGroup("alt.test", group);
  Use(server, 8, 4);
  const std::size_t limit = 256 * 1024;
  Fetcher.SetBufferLimit(limit);
  std::vector<std::size_t> at(group.size() + 1, 0);
  bool intact = true;
  std::size_t pooled = 0, lines = 0;
  Fetcher.OnArticleBegin = [&](TObject*, std::int64_t n, std::int64_t) { at[std::size_t(n)] = 0; };
  Fetcher.OnArticleLine = [&](TObject*, std::int64_t n, std::string_view line) {
    const Lines& body = group[std::size_t(n - 1)].Body;
    std::size_t& i = at[std::size_t(n)];
    intact = intact && i < body.size() && line == body[i];
    ++i;
    ++lines;
    pooled = std::max(pooled, Fetcher.Pooled());
  };
  const auto half = [&](std::size_t from) {
    return std::vector<TFetchArticle>(wanted.begin() + long(from), wanted.begin() + long(from + 80));
  };
  Fetcher.Fetch(1, 80, half(0));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  const std::size_t first = Fetcher.BlocksAllocated();
  CountAllocations(true);
  Fetcher.Fetch(81, 160, half(80));
  ASSERT_TRUE(PumpUntil([&] { return Idle == 2; }));
  const std::size_t allocations = CountAllocations(false);
  EXPECT_EQ(Ended, Range(1, 160));
  EXPECT_TRUE(intact);
  EXPECT_EQ(lines, 160u * 200u);
  EXPECT_GT(first, 0u) << "no article came ahead of its turn";
  EXPECT_LE(Fetcher.BlocksAllocated(), limit / (32 * 1024));
  EXPECT_LE(pooled, limit);
  // The requests, their replies' status lines and each article's events
  // take a few allocations an article; 16,000 lines came meanwhile.
  EXPECT_LT(allocations, 80u * 40u);
  Fetcher.Stop();
  EXPECT_EQ(Fetcher.Pooled(), 0u);
}

// Over TLS to a server that wants a log-in for the group: the connection
// logs in, selects the group again and fetches with requests in flight.
// Without a password, or with a group the server lacks, the fetcher stops
// and says why.
TEST_F(ArticleFetcher, LogsInOverTlsAndStopsWhenItCannot) {
  const auto group = Group(6);
  TScriptedNewsServer server;
  server.RequireLogIn("joe", "secret");
  server.ServeGroup("alt.test", group);
  TTlsFront front(server.Port());
  front.Start();
  Fetcher.SetServer({"localhost", front.PortText(), true, "joe"});
  Fetcher.SetPassWord("secret");
  Fetcher.SetTlsCAFile(TTestCertificates::Get().CAFile());
  Fetcher.SetConnections(1);
  FetchAll(Range(1, 6));
  ExpectWhole(group, Range(1, 6));
  const Lines received = server.Received();
  EXPECT_EQ(Lines(received.begin(), received.begin() + 4),
            (Lines{"GROUP alt.test", "AUTHINFO USER joe", "AUTHINFO PASS secret", "GROUP alt.test"}));
  Fetcher.Stop();
  EXPECT_EQ(front.Failures(), Lines{});

  Use(server, 2, 2, "joe");
  Fetcher.SetPassWord("");
  Fetcher.Fetch(7, 7, Wanted({7}));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{"Log-in needed by 127.0.0.1: set a user and password in Configure"});
  Fetcher.SetPassWord("secret");
  Fetcher.SetGroup("alt.none");
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Stopped.size() == 2; }));
  EXPECT_EQ(Stopped.back(), "Group alt.none not found on 127.0.0.1");
  EXPECT_EQ(Fetcher.Position(), 7);
}

// Overviews go out ahead of the articles, several at once; one cut short
// comes again, its lines void, and a refusal ends it. Passing over drops
// the articles in flight and held behind the one being handed over, which
// goes on to its end.
TEST_F(ArticleFetcher, OverviewsComeAgainWhenCutAndPassingOverDropsWhatIsBehind) {
  TScriptedNewsServer script;
  script.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  script.Expect("XOVER 1-3").Expect("XOVER 4-5").Send("224 overview\r\n1\tx\r\n").Close();
  script.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  script.Expect("XOVER 1-3").Expect("XOVER 4-5");
  script.Send("224 overview\r\n1\tx\r\n2\ty\r\n.\r\n224 overview\r\n4\tz\r\n")
      .Pause(30)
      .Send("5\tw\r\n.\r\n");
  script.Expect("XOVER 6-9").Reply("420 none").Silent().Start();
  Use(script, 1, 2);
  Fetcher.OnScanLine = [this](TObject*, std::int64_t first, std::string_view line) {
    Events.push_back(std::to_string(first) + ": " + std::string(line));
  };
  Fetcher.OnScanEnd = [this](TObject*, std::int64_t first, std::uint16_t e) {
    Events.push_back("scanned " + std::to_string(first) +
                     (e == 0 || e == 420 ? " " + std::to_string(e) : " cut"));
  };
  Fetcher.Start();
  Fetcher.Scan(1, 3);
  Fetcher.Scan(4, 5);
  ASSERT_TRUE(PumpUntil([&] { return Fetcher.Scans() == 0; }));
  Fetcher.Scan(6, 9);
  ASSERT_TRUE(PumpUntil([&] { return Fetcher.Scans() == 0; }));
  // The second reply began with the first, before the first's end was handled.
  EXPECT_EQ(Events, (Lines{"1: 1\tx", "scanned 1 cut", "scanned 4 cut", "1: 1\tx", "1: 2\ty", "4: 4\tz",
                           "scanned 1 0", "4: 5\tw", "scanned 4 0", "scanned 6 420"}));
  EXPECT_EQ(script.Failures(), Lines{});
  Fetcher.Stop();

  const auto group = Group(20);
  TScriptedNewsServer server;
  server.SetLatency(5);
  server.ServeGroup("alt.test", group);
  Use(server, 2, 3);
  Fetcher.OnArticleBegin = [this, begin = Fetcher.OnArticleBegin](TObject* s, std::int64_t n,
                                                                  std::int64_t l) {
    begin(s, n, l);
    if (n == 3)
      Fetcher.Pass(10);
  };
  FetchAll(Range(1, 20));
  Numbers handed = Range(1, 20);
  handed.erase(handed.begin() + 3, handed.begin() + 9);
  ExpectWhole(group, handed);
  EXPECT_EQ(Fetcher.Position(), 21);
}

// With four in flight, an extra refusal after a reply shifts the later
// replies by one: the refusal, taken for the next article, waits for a
// later reply on its connection to show it fitted, and goes out again, one
// request at a time, once the reply after it names another article. A
// refusal that a fitting reply follows is asked for once; one that nothing
// after it vouches for, twice. An article that the server answers with
// another even asked alone is passed over with 10201 after a second try.
TEST_F(ArticleFetcher, RefusalsWaitUntilTheirConnectionShowsTheyFitted) {
  const auto group = Group(16);
  std::vector<TNewsArticle> lacking = group;
  lacking.erase(lacking.begin() + 11);
  lacking.erase(lacking.begin() + 9); // asked for only once the connection is in step
  TScriptedNewsServer shifted, misanswering;
  shifted.RepeatReply("BODY 3", 1, "430 No such article");
  shifted.ServeGroup("alt.test", lacking);
  Use(shifted, 1, 4);
  FetchAll(Range(1, 12));
  EXPECT_EQ(Events.back(), "end 12 423");
  const Lines received = shifted.Received();
  EXPECT_GE(Count(received, "BODY 4"), 2);
  EXPECT_EQ(Count(received, "BODY 10"), 1);
  EXPECT_EQ(Count(received, "BODY 12"), 2);
  EXPECT_EQ(Count(Log, "127.0.0.1 mishandles pipelined requests: one request at a time from now on"), 1);

  misanswering.AnswerWith(14, 15, 100);
  misanswering.ServeGroup("alt.test", group);
  Use(misanswering, 2, 4);
  FetchAll(Range(13, 16));
  ExpectWhole(group, {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 13, 15, 16});
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "end 14 10201"), 1);
  EXPECT_EQ(Count(misanswering.Received(), "BODY 14"), 2);
}

// A server that says 206 and then sends what does not inflate: the
// connection drops like any other lost one and comes back with the
// back-off, here to a server that no longer offers compression.
TEST_F(ArticleFetcher, BrokenCompressedStreamReconnectsWithTheBackOff) {
  const std::string offer = "101 Capability list:\r\nVERSION 2\r\nREADER\r\nCOMPRESS DEFLATE\r\n.\r\n";
  TScriptedNewsServer server;
  server.Reply("200 ready").Expect("CAPABILITIES").Pause(5).Send(offer); // not near
  server.Expect("COMPRESS DEFLATE").Reply("206 On");
  server.Compress().Expect("GROUP alt.test").SendUncompressed("211 1 1 1 alt.test\r\n");
  server.ExpectClosed().Reply("200 ready").Expect("CAPABILITIES").Reply("500 What?");
  server.Expect("GROUP alt.test").Reply("211 1 1 1 alt.test").Expect("BODY 1");
  server.Send("222 1 <a@b> body\r\nhello\r\n.\r\n").Silent().Start();
  Use(server, 1, 1);
  Fetcher.SetCompress(true);
  FetchAll({1});
  EXPECT_EQ(Bodies[1], Lines{"hello"});
  EXPECT_EQ(Log, Lines{"Connection 1 reconnecting in 1 s (try 1 of 10)"});
  EXPECT_FALSE(Fetcher.CompressionTold());
  EXPECT_EQ(server.Failures(), Lines{});
}

// A fill whose connection is lost in the middle of an article: the lines
// handed over are void, and the article comes again whole from the same
// fill, in its turn; the fill's pool closes with the fetcher.
TEST_F(ArticleFetcher, FillCutShortIsAskedAgain) {
  auto group = Group(3);
  TScriptedNewsServer server, fill;
  server.Lack({2});
  server.ServeGroup("alt.test", group);
  TNewsArticle copy = group[1];
  copy.Header.push_back("Message-ID: <two@fill>");
  copy.Number = 77;
  fill.CutBody(77);
  fill.ServeGroup("alt.fill", {copy});
  Use(server, 2, 2);
  Fetcher.Fill().SetServers({{{"127.0.0.1", fill.PortText(), false, ""}, "", 1, 2, true}});
  std::vector<TFetchArticle> wanted = Wanted({1, 2, 3});
  wanted[1].MessageId = "<two@fill>";
  Fetcher.Fetch(1, 3, wanted);
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  EXPECT_EQ(Events, (Lines{"begin 1", "end 1 0", "begin 2", "end 2 10101", "begin 2", "end 2 0", "begin 3",
                           "end 3 0"}));
  ExpectWhole(group, {1, 2, 3});
  EXPECT_EQ(Log, Lines{"Article 2 not on 127.0.0.1, fetched from 127.0.0.1"});
  EXPECT_EQ(Count(fill.Received(), "BODY <two@fill>"), 2);
  Fetcher.StopAfter();
  ASSERT_TRUE(PumpUntil([&] { return Stopped.size() == 1; }));
  EXPECT_EQ(Fetcher.Fill().Asked(), 0u);
}
