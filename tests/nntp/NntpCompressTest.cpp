// Compressed transfers of the news client: what a compressed session
// delivers, and how refusals, log-ins and broken streams end.

#include "nntp/NntpCli.h"
#include "platform/Guard.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Trace = std::vector<std::string>;

const std::string Greeting = "200 news.test ready - posting allowed";
const std::string Offer = "101 Capability list:\r\nVERSION 2\r\nCOMPRESS DEFLATE\r\n.\r\n";

class NntpCompress : public ::testing::Test {
protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Cli.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      Events.push_back("connected " + std::to_string(e) + " " + Cli.LastResponse());
    };
    Cli.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      Events.push_back("closed " + std::to_string(e));
    };
    Cli.OnMessageLine = [this](TObject*) { Events.push_back("line " + Cli.LastResponse()); };
    Cli.OnRequestDone = [this](TObject*, TNntpRequest rq, std::uint16_t e) {
      Events.push_back("done " + std::to_string(int(rq)) + " " + std::to_string(e));
      ++Done;
    };
    Cli.SetCompress(true);
    Cli.SetNearRoundTrip({}); // these servers answer at once, yet compress
    Cli.SetPipelineDepth(2);
    Cli.WSocket().SetTlsCAFile(TTestCertificates::Get().CAFile());
  }
  void TearDown() override {
    SetErrorDisplay(Previous);
    EXPECT_EQ(Errors, Trace{});
  }
  // Until the session is up or has failed.
  bool ConnectTo(const std::string& port, bool tls = false) {
    Cli.SetHost(tls ? "localhost" : "127.0.0.1");
    Cli.SetPort(port);
    Cli.SetTls(tls);
    Events.clear();
    Cli.Connect();
    return PumpUntil([&] { return Cli.State() == nntpReady || Cli.State() == nntpNotConnected; });
  }
  bool WaitDone(int count = 1) {
    const int want = Done + count;
    return PumpUntil([&] { return Done >= want; });
  }

  TNntpCli Cli;
  Trace Events, Errors;
  int Done = 0;
  TErrorDisplay Previous;
};

// Overview fields and body lines that differ in a few characters.
std::vector<TNewsArticle> Articles(int count) {
  std::vector<TNewsArticle> articles;
  for (int n = 1; n <= count; ++n) {
    TNewsArticle a{
        n, {"Subject: [" + std::to_string(n) + "/40] - \"pictures.part" + std::to_string(n) + ".rar\""}, {}};
    for (int i = 0; i < 60; ++i)
      a.Body.push_back((i == 7 ? ".line " : "line ") + std::to_string(i) + " of " + std::to_string(n) +
                       std::string(60, char('a' + i % 26)));
    articles.push_back(std::move(a));
  }
  return articles;
}

// GROUP, an overview and every body, pipelined, plain, compressed and
// compressed inside TLS: the same lines, text and ends each time (when an
// end is told among later replies' lines depends on the bytes' arrival),
// far fewer bytes on the link when compressed, and CAPABILITIES and
// COMPRESS before anything else only when asked to compress.
TEST_F(NntpCompress, CompressedSessionDeliversWhatAPlainOneDoes) {
  const int count = 40;
  std::vector<Trace> runs;
  for (const int run : {0, 1, 2}) {
    TScriptedNewsServer server;
    server.OfferOverview();
    server.OfferCompression();
    server.ServeGroup("alt.test", Articles(count));
    TTlsFront front(server.Port());
    front.Start();
    Cli.SetCompress(run > 0);
    Cli.SetPipelineDepth(count + 2);
    const std::int64_t bytes = Cli.BytesReceived(), link = Cli.LinkBytesReceived();
    ASSERT_TRUE(ConnectTo(run == 2 ? front.PortText() : server.PortText(), run == 2));
    EXPECT_EQ(Cli.Compressed(), run > 0);
    std::ostringstream text;
    Cli.Group("alt.test");
    Cli.XOver("1-" + std::to_string(count), &text);
    for (int n = 1; n <= count; ++n)
      Cli.BodyByNumber(n, &text);
    ASSERT_TRUE(WaitDone(count + 2));
    std::stable_partition(Events.begin(), Events.end(),
                          [](const std::string& e) { return !e.starts_with("done"); });
    Events.push_back(text.str());
    runs.push_back(Events);
    const Trace heard = server.ReceivedBy(1);
    EXPECT_EQ(heard.size(), count + (run > 0 ? 4u : 2u));
    EXPECT_EQ(heard.front(), run > 0 ? "CAPABILITIES" : "GROUP alt.test");
    const std::int64_t got = Cli.BytesReceived() - bytes, carried = Cli.LinkBytesReceived() - link;
    EXPECT_GT(got, count * 60 * 70);
    EXPECT_TRUE(run > 0 ? carried * 4 < got : carried == got) << carried << " of " << got;
    Cli.Abort();
    ASSERT_TRUE(WaitDone());
  }
  EXPECT_EQ(runs[1], runs[0]);
  EXPECT_EQ(runs[2], runs[0]);
  EXPECT_EQ(runs[0].front(), "connected 0 200 Vostel test server ready - posting allowed");
  EXPECT_NE(runs[0].back().find("\r\n.line 7 of 7"), std::string::npos); // dot-stuffing undone
}

// No COMPRESS DEFLATE among the capabilities, no CAPABILITIES at all, a
// refusal (403), a 480 without a user name: the session goes on plain,
// and the caller sees the greeting as ever. A connection lost before
// compression is settled ends as one lost before its greeting.
TEST_F(NntpCompress, RefusedOrMissingCompressionGoesOnPlain) {
  const Trace up = {"connected 0 " + Greeting, "done 0 0"};
  const auto compress = [](std::string reply) {
    return [=](TScriptedNewsServer& s) {
      s.Expect("CAPABILITIES").Send(Offer).Expect("COMPRESS DEFLATE").Reply(reply);
    };
  };
  const struct {
    std::function<void(TScriptedNewsServer&)> Script;
    Trace Ends;
  } cases[] = {
      {[](TScriptedNewsServer& s) {
         s.Expect("CAPABILITIES").Send("101 list\r\nCOMPRESS GZIP\r\nX DEFLATE\r\n.\r\n");
       },
       up},
      {[](TScriptedNewsServer& s) { s.Expect("CAPABILITIES").Reply("500 What?"); }, up},
      {compress("403 Unable to activate compression"), up},
      {compress("480 Log in first"), up},
      // Told with the kind of the request before (the Abort), as for a
      // greeting that never came.
      {[](TScriptedNewsServer& s) { s.Expect("CAPABILITIES").Close(); }, {"closed 0", "done 17 10101"}},
  };
  for (const auto& c : cases) {
    TScriptedNewsServer server;
    server.Reply(Greeting);
    c.Script(server);
    server.Expect("GROUP alt.test").Reply("211 3 1 3 alt.test").Silent().Start();
    ASSERT_TRUE(ConnectTo(server.PortText()));
    if (Cli.State() == nntpReady) {
      EXPECT_FALSE(Cli.Compressed());
      Cli.Group("alt.test");
    }
    EXPECT_TRUE(PumpUntil([&] { return Events.size() >= c.Ends.size(); }));
    EXPECT_EQ(Events, c.Ends);
    Cli.Abort();
    ASSERT_TRUE(WaitDone());
  }
}

// The server says 206 and goes on plain: the connection drops with 10202,
// every request in flight ends with it after the lines that came whole
// before, and the next connection starts afresh.
TEST_F(NntpCompress, BrokenStreamDropsTheConnectionWithItsOwnError) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("CAPABILITIES")
      .Send(Offer)
      .Expect("COMPRESS DEFLATE")
      .Reply("206 On")
      .Compress();
  server.Expect("BODY 1")
      .Expect("BODY 2")
      .Send("222 1 <a@b> body\r\none\r\n")
      .SendUncompressed("two\r\n.\r\n");
  server.ExpectClosed().Reply(Greeting).Expect("CAPABILITIES").Reply("500 What?").Silent().Start();
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_TRUE(Cli.Compressed());
  Cli.BodyByNumber(1);
  Cli.BodyByNumber(2);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(Events,
            (Trace{"connected 0 " + Greeting, "line one", "closed 10202", "done 9 10202", "done 9 10202"}));
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_EQ(Events, Trace{"connected 0 " + Greeting});
  EXPECT_FALSE(Cli.Compressed());
  EXPECT_EQ(server.Failures(), Trace{});
}

// Like INN, the group server takes COMPRESS before a log-in and then
// refuses AUTHINFO. Without a user name the client compresses at once;
// with one it waits until a log-in has succeeded, and compresses before
// the log-in ends. A 480 to COMPRESS is asked again after the log-in too.
TEST_F(NntpCompress, WithAUserNameCompressionWaitsForTheLogIn) {
  TScriptedNewsServer server;
  server.OfferCompression();
  server.RequireLogIn("joe", "secret");
  server.ServeGroup("alt.test", Articles(3));
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_TRUE(Cli.Compressed());
  Cli.Abort();
  ASSERT_TRUE(WaitDone());

  Cli.SetUserName("joe");
  Cli.SetPassWord("secret");
  ASSERT_TRUE(ConnectTo(server.PortText()));
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_FALSE(Cli.Compressed());
  Cli.Authenticate();
  ASSERT_TRUE(WaitDone());
  EXPECT_TRUE(Cli.Compressed());
  EXPECT_EQ(Cli.LastResponse(), "281 Authentication accepted");
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"connected 0 200 Vostel test server ready - posting allowed", "done 0 480",
                           "done 21 0", "done 0 0"}));
  EXPECT_EQ(server.ReceivedBy(1), (Trace{"CAPABILITIES", "COMPRESS DEFLATE"}));
  EXPECT_EQ(server.ReceivedBy(2),
            (Trace{"CAPABILITIES", "GROUP alt.test", "AUTHINFO USER joe", "AUTHINFO PASS secret",
                   "CAPABILITIES", "COMPRESS DEFLATE", "GROUP alt.test"}));
  Cli.Abort();
  ASSERT_TRUE(WaitDone());

  TScriptedNewsServer later;
  later.Reply(Greeting)
      .Expect("CAPABILITIES")
      .Send(Offer)
      .Expect("COMPRESS DEFLATE")
      .Reply("480 Log in first");
  later.Expect("AUTHINFO USER joe").Reply("281 Welcome").Expect("CAPABILITIES").Send(Offer);
  later.Expect("COMPRESS DEFLATE").Reply("206 On").Compress().Silent().Start();
  ASSERT_TRUE(ConnectTo(later.PortText()));
  EXPECT_FALSE(Cli.Compressed());
  Cli.Authenticate();
  ASSERT_TRUE(WaitDone());
  EXPECT_TRUE(Cli.Compressed());
  EXPECT_EQ(Events, (Trace{"connected 0 " + Greeting, "done 21 0"}));
  EXPECT_EQ(later.Failures(), Trace{});
}

} // namespace
