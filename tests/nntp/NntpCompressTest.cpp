// Compressed transfers of the news client: what it asks before the session
// is up, what a compressed session delivers, and how refusals, log-ins,
// TLS and broken streams end.

#include "nntp/NntpCli.h"
#include "platform/Guard.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Trace = std::vector<std::string>;

const std::string Greeting = "200 news.test ready - posting allowed";
const std::string Capabilities = "101 Capability list:\r\nVERSION 2\r\nREADER\r\n";

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
    Cli.WSocket().SetTlsCAFile(TTestCertificates::Get().CAFile());
  }
  void TearDown() override {
    SetErrorDisplay(Previous);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
  }

  // Connects and waits until the session is up (or has failed).
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
  Trace Events;
  int Done = 0;
  Trace Errors;
  TErrorDisplay Previous;
};

// Articles whose text compresses as overview and bodies do: fields and
// lines that differ in a few characters.
std::vector<TNewsArticle> Articles(int count) {
  std::vector<TNewsArticle> articles;
  for (int n = 1; n <= count; ++n) {
    TNewsArticle a{n,
                   {"Subject: [" + std::to_string(n) + "/" + std::to_string(count) +
                        "] - \"holiday.pictures.part" + std::to_string(n) + ".rar\" yEnc (1/1)",
                    "From: poster <poster@example.com>", "Date: Mon, 6 May 2024 10:00:00 +0000"},
                   {}};
    for (int i = 0; i < 60; ++i)
      a.Body.push_back((i == 7 ? "." : "") + std::string("line ") + std::to_string(i) + " of article " +
                       std::to_string(n) + std::string(60, char('a' + i % 26)));
    articles.push_back(std::move(a));
  }
  return articles;
}

// A session of GROUP, an overview of every article and every body, all
// pipelined, against the group server: the same events, lines and text
// whether the connection is compressed or not, and far fewer bytes on the
// link when it is. The server heard CAPABILITIES and COMPRESS first, and
// only when asked to compress.
TEST_F(NntpCompress, CompressedSessionDeliversWhatAPlainOneDoes) {
  const int count = 40;
  std::map<bool, Trace> events;
  std::map<bool, std::vector<std::string>> texts;
  for (const bool compress : {false, true}) {
    TScriptedNewsServer server;
    server.OfferOverview();
    server.OfferCompression();
    server.ServeGroup("alt.test", Articles(count));
    Cli.SetCompress(compress);
    Cli.SetPipelineDepth(count + 2);
    const std::int64_t bytes = Cli.BytesReceived(), link = Cli.LinkBytesReceived();
    ASSERT_TRUE(ConnectTo(server.PortText()));
    EXPECT_EQ(Cli.Compressed(), compress);
    EXPECT_EQ(Cli.StatusCode(), 200);
    EXPECT_TRUE(Cli.PostingPermited());
    std::vector<std::ostringstream> dest(count + 1);
    Cli.Group("alt.test");
    Cli.XOver("1-" + std::to_string(count), &dest[0]);
    for (int n = 1; n <= count; ++n)
      Cli.BodyByNumber(n, &dest[std::size_t(n)]);
    ASSERT_TRUE(WaitDone(count + 2));
    Cli.Quit();
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpNotConnected; }));
    // The ends apart from the lines: when an end is told among the lines of
    // later replies depends on how the bytes arrive.
    std::stable_partition(Events.begin(), Events.end(),
                          [](const std::string& e) { return !e.starts_with("done"); });
    events[compress] = Events;
    for (const auto& d : dest)
      texts[compress].push_back(d.str());

    const Trace heard = server.ReceivedBy(1);
    const Trace start =
        compress ? Trace{"CAPABILITIES", "COMPRESS DEFLATE", "GROUP alt.test"} : Trace{"GROUP alt.test"};
    EXPECT_EQ(Trace(heard.begin(), heard.begin() + long(start.size())), start);
    EXPECT_EQ(heard.size(), start.size() + count + 2);
    EXPECT_EQ(server.Failures(), Trace{});
    const std::int64_t got = Cli.BytesReceived() - bytes, carried = Cli.LinkBytesReceived() - link;
    EXPECT_GT(got, count * 60 * 80);
    if (compress)
      EXPECT_LT(carried * 4, got) << carried << " of " << got;
    else
      EXPECT_EQ(carried, got);
  }
  EXPECT_EQ(events[true], events[false]);
  EXPECT_EQ(texts[true], texts[false]);
  EXPECT_EQ(events[true].front(), "connected 0 200 Vostel test server ready - posting allowed");
  EXPECT_EQ(texts[true][7].substr(0, 9), "line 0 of");
  EXPECT_NE(texts[true][7].find("\r\n.line 7 of article 7"), std::string::npos); // dot-stuffing undone
}

// CAPABILITIES without COMPRESS, a server that knows no CAPABILITIES, a
// refusal (403) or "already active" (502) to COMPRESS: the session goes on
// plain, and its caller sees the greeting as ever. A greeting that refuses
// service asks nothing. A connection lost before compression is settled
// ends as one lost before its greeting.
TEST_F(NntpCompress, RefusedOrMissingCompressionGoesOnPlain) {
  struct TCase {
    const char* Name;
    std::string Greeting;
    std::function<void(TScriptedNewsServer&)> Script;
    Trace Ends;
  };
  const std::function<void(TScriptedNewsServer&)> group = [](TScriptedNewsServer& s) {
    s.Expect("GROUP alt.test").Reply("211 3 1 3 alt.test").Silent();
  };
  const auto refused = [&](const std::string& reply) {
    return [=](TScriptedNewsServer& s) {
      s.Expect("CAPABILITIES").Send(Capabilities + "COMPRESS DEFLATE\r\n.\r\n");
      s.Expect("COMPRESS DEFLATE").Reply(reply);
      group(s);
    };
  };
  const Trace up = {"connected 0 " + Greeting, "done 0 0"};
  const TCase cases[] = {
      {"no capability", Greeting,
       [&](TScriptedNewsServer& s) {
         s.Expect("CAPABILITIES").Send(Capabilities + "COMPRESS GZIP\r\nXCOMPRESS DEFLATE\r\n.\r\n");
         group(s);
       },
       up},
      {"no CAPABILITIES", Greeting,
       [&](TScriptedNewsServer& s) {
         s.Expect("CAPABILITIES").Reply("500 What?");
         group(s);
       },
       up},
      {"403", Greeting, refused("403 Unable to activate compression"), up},
      {"502", Greeting, refused("502 Command unavailable"), up},
      {"refusing service",
       "502 go away",
       [](TScriptedNewsServer& s) { s.Silent(); },
       {"connected 0 502 go away"}},
      // Told with the kind of the request before (here the Abort), as for a
      // greeting that never came.
      {"closed meanwhile",
       Greeting,
       [](TScriptedNewsServer& s) { s.Expect("CAPABILITIES").Close(); },
       {"closed 0", "done 17 10101"}},
  };
  for (const TCase& c : cases) {
    TScriptedNewsServer server;
    server.Reply(c.Greeting);
    c.Script(server);
    server.Start();
    ASSERT_TRUE(ConnectTo(server.PortText())) << c.Name;
    if (Cli.State() == nntpReady) {
      EXPECT_EQ(Cli.LastResponse(), c.Greeting) << c.Name;
      EXPECT_FALSE(Cli.Compressed()) << c.Name;
      if (c.Ends.size() > 1)
        Cli.Group("alt.test");
    }
    PumpUntil([&] { return Events.size() >= c.Ends.size(); });
    PumpFor(30);
    EXPECT_EQ(Events, c.Ends) << c.Name;
    EXPECT_EQ(server.Failures(), Trace{}) << c.Name;
    Cli.Abort();
    ASSERT_TRUE(WaitDone());
  }
}

// The server says 206 and then sends what does not inflate (here a plain
// reply): the connection drops with 10202, every request in flight ends
// with it after the lines that came whole before, and the next connection
// starts afresh.
TEST_F(NntpCompress, BrokenStreamDropsTheConnectionWithItsOwnError) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("CAPABILITIES").Send(Capabilities + "COMPRESS DEFLATE\r\n.\r\n");
  server.Expect("COMPRESS DEFLATE").Reply("206 Compression active").Compress();
  server.Expect("GROUP alt.test").Reply("211 3 1 3 alt.test").Expect("BODY 1").Expect("BODY 2");
  server.Send("222 1 <a@b> body\r\none\r\n").SendUncompressed("two\r\n.\r\n").ExpectClosed();
  // The next connection: nothing of the broken one's compression is left.
  server.Reply(Greeting).Expect("CAPABILITIES").Reply("500 What?").Expect("GROUP alt.test");
  server.Reply("211 3 1 3 alt.test").Silent().Start();

  Cli.SetPipelineDepth(2);
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_TRUE(Cli.Compressed());
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  Events.clear();
  Cli.BodyByNumber(1);
  Cli.BodyByNumber(2);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(Events, (Trace{"line one", "closed 10202", "done 9 10202", "done 9 10202"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  EXPECT_EQ(WSocketErrorDesc(WSAEDEFLATE), "Compressed data error");

  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_FALSE(Cli.Compressed());
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"connected 0 " + Greeting, "done 0 0"}));
  EXPECT_EQ(server.Failures(), Trace{});
}

// A server that offers log-in, like INN, takes COMPRESS before it and then
// refuses AUTHINFO (502). With a user name the client waits: the GROUP
// answered 480 goes plain, the log-in too, and once it succeeds (and not
// before: a refused log-in asks nothing) the client compresses before the
// log-in ends. Without a user name it compresses at once.
TEST_F(NntpCompress, WithAUserNameCompressionWaitsForTheLogIn) {
  TScriptedNewsServer server;
  server.OfferCompression();
  server.RequireLogIn("joe", "secret");
  server.ServeGroup("alt.test", Articles(3));

  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_TRUE(Cli.Compressed());
  Cli.Abort();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(server.ReceivedBy(1), (Trace{"CAPABILITIES", "COMPRESS DEFLATE"}));

  Cli.SetUserName("joe");
  Cli.SetPassWord("wrong");
  Cli.SetPipelineDepth(2);
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_FALSE(Cli.Compressed());
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  Cli.Authenticate();
  ASSERT_TRUE(WaitDone());
  EXPECT_FALSE(Cli.Compressed());
  Cli.SetPassWord("secret");
  Cli.Authenticate();
  ASSERT_TRUE(WaitDone());
  EXPECT_TRUE(Cli.Compressed());
  EXPECT_EQ(Cli.LastResponse(), "281 Authentication accepted");
  Cli.Group("alt.test");
  Cli.BodyByNumber(2);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(Events.front(), "connected 0 200 Vostel test server ready - posting allowed");
  EXPECT_EQ(Trace(Events.begin() + 1, Events.begin() + 4), (Trace{"done 0 480", "done 21 481", "done 21 0"}));
  EXPECT_EQ(Events.back(), "done 9 0");
  EXPECT_EQ(server.ReceivedBy(2), (Trace{"CAPABILITIES", "GROUP alt.test", "AUTHINFO USER joe",
                                         "AUTHINFO PASS wrong", "AUTHINFO USER joe", "AUTHINFO PASS secret",
                                         "CAPABILITIES", "COMPRESS DEFLATE", "GROUP alt.test", "BODY 2"}));
  EXPECT_EQ(server.Failures(), Trace{});
}

// A server that answers COMPRESS with 480 gets it again after the log-in.
TEST_F(NntpCompress, CompressRefusedUntilLogInIsAskedAgainAfterIt) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("CAPABILITIES").Send(Capabilities + "COMPRESS DEFLATE\r\n.\r\n");
  server.Expect("COMPRESS DEFLATE").Reply("480 Log in first");
  server.Expect("AUTHINFO USER joe").Reply("281 Welcome");
  server.Expect("CAPABILITIES").Send(Capabilities + "COMPRESS DEFLATE\r\n.\r\n");
  server.Expect("COMPRESS DEFLATE").Reply("206 Compression active").Compress();
  server.Expect("GROUP alt.test").Reply("211 3 1 3 alt.test").Silent().Start();
  Cli.SetUserName("joe");
  ASSERT_TRUE(ConnectTo(server.PortText()));
  EXPECT_FALSE(Cli.Compressed());
  Cli.Authenticate();
  ASSERT_TRUE(WaitDone());
  EXPECT_TRUE(Cli.Compressed());
  EXPECT_EQ(Cli.LastResponse(), "281 Welcome");
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"connected 0 " + Greeting, "done 21 0", "done 0 0"}));
  EXPECT_EQ(server.Failures(), Trace{});
}

// Over TLS the compressed stream runs inside the TLS session.
TEST_F(NntpCompress, CompressedInsideTls) {
  TScriptedNewsServer server;
  server.OfferCompression();
  server.ServeGroup("alt.test", Articles(5));
  TTlsFront front(server.Port());
  front.Start();
  Cli.SetPipelineDepth(2);
  ASSERT_TRUE(ConnectTo(front.PortText(), true));
  EXPECT_TRUE(Cli.Compressed());
  std::ostringstream body;
  Cli.Group("alt.test");
  Cli.BodyByNumber(5, &body);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(Events.back(), "done 9 0");
  EXPECT_EQ(body.str().substr(0, 21), "line 0 of article 5aa");
  EXPECT_LT(Cli.LinkBytesReceived() * 2, Cli.BytesReceived());
  EXPECT_EQ(front.Failures(), Trace{});
  EXPECT_EQ(server.ReceivedBy(1), (Trace{"CAPABILITIES", "COMPRESS DEFLATE", "GROUP alt.test", "BODY 5"}));
}

} // namespace
