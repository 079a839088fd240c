#include "session/ArticleFetcher.h"

#include "platform/Guard.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Article n of the test group: lines that say whose they are, n % 7 * 40 of
// them and more, so that replies of different lengths overtake each other.
TNewsArticle Numbered(std::int64_t n, std::size_t lineLength = 60) {
  TNewsArticle a{n, {"Subject: part " + std::to_string(n)}, {}};
  for (std::int64_t i = 0; i < 20 + n % 7 * 40; ++i)
    a.Body.push_back(std::to_string(n) + ":" + std::to_string(i) + std::string(lineLength, 'y'));
  a.Body.push_back(".dot");
  return a;
}

std::vector<TNewsArticle> Group(std::int64_t count) {
  std::vector<TNewsArticle> group;
  for (std::int64_t n = 1; n <= count; ++n)
    group.push_back(Numbered(n));
  return group;
}

std::vector<TFetchArticle> Wanted(const std::vector<std::int64_t>& numbers) {
  std::vector<TFetchArticle> wanted;
  for (const std::int64_t n : numbers)
    wanted.push_back({n, 20 + n % 7 * 40 + 1});
  return wanted;
}

std::vector<std::int64_t> Range(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> numbers;
  for (std::int64_t n = first; n <= last; ++n)
    numbers.push_back(n);
  return numbers;
}

} // namespace

// Records what the fetcher hands over: its events as texts, in order, and
// each article's lines since its last begin.
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
  void Use(const TScriptedNewsServer& server, int connections, int depth) {
    Fetcher.SetServer({"127.0.0.1", server.PortText(), false, ""});
    Fetcher.SetConnections(connections);
    Fetcher.SetDepth(depth);
  }
  // Every article of the list came whole, once, in order, with its lines.
  void ExpectWhole(const std::vector<TNewsArticle>& group, const std::vector<std::int64_t>& numbers) {
    EXPECT_EQ(Ended, numbers);
    for (const std::int64_t n : numbers)
      EXPECT_TRUE(Bodies[n] == group[std::size_t(n - 1)].Body)
          << "article " << n << ": " << Bodies[n].size() << " lines";
  }
  // The BODY commands a connection received.
  static long Bodies_(const TScriptedNewsServer& server, int connection) {
    const Lines got = server.ReceivedBy(connection);
    return std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.starts_with("BODY"); });
  }

  TArticleFetcher Fetcher;
  Lines Events, Log, Stopped, Errors;
  std::map<std::int64_t, Lines> Bodies;
  std::vector<std::int64_t> Ended;
  int Idle = 0;
  TErrorDisplay Previous;
};

// Four connections with three requests each in flight, from a server that
// answers 5 ms late: every connection gets its share, and the articles come
// in number order, whole, however their replies overtake each other. An
// article the server does not have ends with its refusal, in its turn; the
// position follows the articles handed over, then the end of the range.
TEST_F(ArticleFetcher, SharesArticlesOverConnectionsAndHandsThemOverInOrder) {
  const auto group = Group(40);
  TScriptedNewsServer server;
  server.SetLatency(5);
  server.ServeGroup("alt.test", {group.begin(), group.end() - 1});
  Use(server, 4, 3);
  std::vector<std::int64_t> wanted = Range(1, 40);
  wanted.erase(wanted.begin() + 9); // 10 is out of range
  Fetcher.Fetch(1, 50, Wanted(wanted));
  EXPECT_EQ(Fetcher.Position(), 1);
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  wanted.pop_back(); // 40 is not on the server
  ExpectWhole(group, wanted);
  EXPECT_EQ(Events.back(), "end 40 423");
  EXPECT_EQ(Fetcher.Position(), 51);
  EXPECT_EQ(server.Connections(), 4);
  long total = 0;
  for (int c = 1; c <= 4; ++c) {
    EXPECT_EQ(server.ReceivedBy(c).front(), "GROUP alt.test");
    EXPECT_GT(Bodies_(server, c), 0) << "connection " << c;
    total += Bodies_(server, c);
  }
  EXPECT_EQ(total, 39);
  EXPECT_EQ(Log, Lines{});
  EXPECT_EQ(Stopped, Lines{});
}

// Connections go in the middle of bodies, by a close and by a reset, with
// requests in flight; one holds a line too long to keep. Each lost
// connection comes back after the back-off and what it had in flight goes
// out again while the others go on. An article cut while being handed over
// ends with the error and comes again whole; the one with the long line is
// passed over with 10053 and not asked for again.
TEST_F(ArticleFetcher, LostConnectionsComeBackAndTheirArticlesGoOutAgain) {
  auto group = Group(30);
  group[11].Body[3] = std::string(5000, 'x');
  TScriptedNewsServer server;
  server.CutBody(5);
  server.CutBody(9, true);
  server.ServeGroup("alt.test", group);
  Use(server, 2, 3);
  Fetcher.Fetch(1, 30, Wanted(Range(1, 30)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  std::vector<std::int64_t> whole = Range(1, 30);
  whole.erase(whole.begin() + 11);
  ExpectWhole(group, whole);
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "end 12 10053"), 1);
  for (const std::string& e : Events) { // a cut article ends with its reason before it comes again
    if (e.starts_with("end") && !e.ends_with(" 0")) {
      EXPECT_TRUE(e.starts_with("end 5 10") || e.starts_with("end 9 10") || e == "end 12 10053") << e;
    }
  }
  const Lines received = server.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), "BODY 12"), 1);
  EXPECT_GE(std::count(received.begin(), received.end(), "BODY 5"), 2);
  EXPECT_GE(server.Connections(), 4); // the last may come back after the others have finished
  EXPECT_LE(server.Connections(), 5);
  ASSERT_EQ(Log.size(), 3u); // one lost connection each
  for (const std::string& line : Log)
    EXPECT_TRUE(line == "Connection 1 reconnecting in 1 s (try 1 of 10)" ||
                line == "Connection 2 reconnecting in 1 s (try 1 of 10)" ||
                line == "Connection 1 reconnecting in 2 s (try 2 of 10)" ||
                line == "Connection 2 reconnecting in 2 s (try 2 of 10)")
        << line;
  EXPECT_EQ(Stopped, Lines{});
}

// A server that takes two connections of the four: the others are refused
// at the greeting, reported once, never tried again, and the fetch goes on
// over the two. A server that takes none stops the fetcher.
TEST_F(ArticleFetcher, RefusedConnectionsAreGivenUpOnceAndTheOthersGoOn) {
  const auto group = Group(12);
  TScriptedNewsServer server;
  server.LimitConnections(2);
  server.ServeGroup("alt.test", group);
  Use(server, 4, 2);
  Fetcher.Fetch(1, 12, Wanted(Range(1, 12)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  ExpectWhole(group, Range(1, 12));
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_TRUE(Log[0].starts_with("127.0.0.1 refused connection ")) << Log[0];
  EXPECT_TRUE(Log[0].ends_with(" of 4: 502 Too many connections")) << Log[0];
  PumpFor(50);
  EXPECT_EQ(server.Connections(), 4);

  TScriptedNewsServer closed; // never started: every connect is refused
  Use(closed, 3, 2);
  Log.clear();
  Fetcher.Fetch(13, 13, Wanted({13}));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{"Not Connected"});
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_TRUE(Log[0].starts_with("127.0.0.1 refused connection ")) << Log[0];
  EXPECT_TRUE(Log[0].ends_with(" of 3: Error #10061")) << Log[0];
  EXPECT_EQ(Log[1], "Not Connected");
  EXPECT_EQ(Fetcher.Position(), 13);
  EXPECT_FALSE(Fetcher.Running());
}

// A server that loses pipelined commands answers the first request with
// another article: the connection goes, the server gets one request at a
// time from then on, on every connection and after a restart, and every
// article still comes whole and in order. Paced, there is never more than
// one in flight, so the same server is no trouble.
TEST_F(ArticleFetcher, ServerThatMishandlesPipeliningGetsOneRequestAtATime) {
  const auto group = Group(16);
  TScriptedNewsServer server;
  server.MishandlePipelining();
  server.ServeGroup("alt.test", group);
  Use(server, 2, 4);
  Fetcher.SetPacing(1);
  Fetcher.Fetch(1, 4, Wanted(Range(1, 4)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  EXPECT_FALSE(Fetcher.PipelineBroken());
  EXPECT_EQ(Log, Lines{});

  Fetcher.SetPacing(0);
  Fetcher.Fetch(5, 12, Wanted(Range(5, 12)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 2; }));
  EXPECT_TRUE(Fetcher.PipelineBroken());
  EXPECT_EQ(std::count(Log.begin(), Log.end(),
                       "127.0.0.1 mishandles pipelined requests: one request at a time from now on"),
            1);
  Fetcher.Fetch(13, 16, Wanted(Range(13, 16)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 3; }));
  ExpectWhole(group, Range(1, 16));
  EXPECT_EQ(Stopped, Lines{});
}

// A stop after the current requests sends nothing more, hands over in order
// what was in flight and reports the stop; the position is the first
// article not handed over, and a restart goes on from there. A stop in the
// middle of an article raises nothing more; that article comes again whole.
// ARTICLE brings each article's header first.
TEST_F(ArticleFetcher, StopAfterStopAndRestartKeepThePosition) {
  const auto group = Group(20);
  TScriptedNewsServer server;
  server.SetLatency(10);
  server.ServeGroup("alt.test", group);
  Use(server, 2, 2);
  Fetcher.SetRequest(nntpArticleByNumber);
  Fetcher.Fetch(1, 25, Wanted(Range(1, 20)));
  Fetcher.OnArticleBegin = [&, begin = Fetcher.OnArticleBegin](TObject* s, std::int64_t n, std::int64_t l) {
    begin(s, n, l);
    if (n == 3)
      Fetcher.StopAfter();
  };
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{""});
  const auto asked = [&] {
    const Lines got = server.Received();
    return std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.starts_with("ARTICLE"); });
  };
  const long sent = asked();
  const std::int64_t position = Fetcher.Position();
  EXPECT_GE(position, 4);
  EXPECT_LE(position, 11); // at most the window of 2 x 2 x 2 articles from 3 on was asked for
  EXPECT_EQ(Ended, Range(1, position - 1));
  EXPECT_EQ(Bodies[1].front(), "Subject: part 1");
  EXPECT_EQ(Bodies[1][1], "");
  PumpFor(50);
  EXPECT_EQ(asked(), sent);
  EXPECT_EQ(server.Received().back(), "QUIT");

  Fetcher.OnArticleBegin = [&, begin = Fetcher.OnArticleBegin](TObject* s, std::int64_t n, std::int64_t l) {
    begin(s, n, l);
    if (n == 12)
      Fetcher.OnArticleLine = [&, line = Fetcher.OnArticleLine](TObject* s2, std::int64_t n2,
                                                                std::string_view t) {
        line(s2, n2, t);
        if (n2 == 12 && t == "12:3" + std::string(60, 'y'))
          Fetcher.Stop();
      };
  };
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Fetcher.Running(); }));
  const std::size_t events = Events.size();
  PumpFor(50);
  EXPECT_EQ(Events.size(), events); // nothing after the stop
  EXPECT_EQ(Events.back(), "begin 12");
  EXPECT_EQ(Fetcher.Position(), 12);
  Fetcher.OnArticleBegin = [&](TObject*, std::int64_t n, std::int64_t) {
    Events.push_back("begin " + std::to_string(n));
    Bodies[n].clear();
  };
  Fetcher.OnArticleLine = [&](TObject*, std::int64_t n, std::string_view line) {
    Bodies[n].emplace_back(line);
  };
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  EXPECT_EQ(Ended, Range(1, 20));
  EXPECT_EQ(Bodies[12].size(), group[11].Header.size() + 1 + group[11].Body.size());
  EXPECT_EQ(Fetcher.Position(), 26);
}

// A buffer smaller than one article: every article that comes before its
// turn is dropped as it overflows and asked for again once it is the next,
// when it comes straight through. Nothing is lost or doubled.
TEST_F(ArticleFetcher, ArticlesBiggerThanTheBufferComeWhenItIsTheirTurn) {
  const auto group = Group(10);
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", group);
  Use(server, 3, 2);
  Fetcher.SetBufferLimit(2000);
  Fetcher.Fetch(1, 10, Wanted(Range(1, 10)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  ExpectWhole(group, Range(1, 10));
  const Lines received = server.Received();
  EXPECT_GT(std::count_if(received.begin(), received.end(),
                          [](const std::string& l) { return l.starts_with("BODY"); }),
            10);
}

// Over TLS to a server that wants a log-in for the group: the connection
// logs in, selects the group again and fetches with requests in flight.
// Without a password, or with a group the server does not carry, the
// fetcher stops and says why.
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
  Fetcher.SetDepth(3);
  Fetcher.Fetch(1, 6, Wanted(Range(1, 6)));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Idle == 1; }));
  ExpectWhole(group, Range(1, 6));
  const Lines received = server.Received();
  EXPECT_EQ(Lines(received.begin(), received.begin() + 4),
            (Lines{"GROUP alt.test", "AUTHINFO USER joe", "AUTHINFO PASS secret", "GROUP alt.test"}));
  Fetcher.Stop();
  EXPECT_EQ(front.Failures(), Lines{});

  TScriptedNewsServer plain;
  plain.RequireLogIn("joe", "secret");
  plain.ServeGroup("alt.test", group);
  Fetcher.SetServer({"127.0.0.1", plain.PortText(), false, "joe"});
  Fetcher.SetConnections(2);
  Fetcher.SetPassWord("");
  Fetcher.Fetch(7, 7, Wanted({7}));
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return !Stopped.empty(); }));
  EXPECT_EQ(Stopped, Lines{"Log-in needed by 127.0.0.1: set a user and password in Configure"});
  Fetcher.SetPassWord("secret");
  Fetcher.SetGroup("alt.none");
  Fetcher.Start();
  ASSERT_TRUE(PumpUntil([&] { return Stopped.size() == 2; }));
  EXPECT_EQ(Stopped.back(), "Group alt.none refused by 127.0.0.1");
  EXPECT_EQ(Fetcher.Position(), 7);
}
