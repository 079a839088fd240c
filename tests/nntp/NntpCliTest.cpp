#include "nntp/NntpCli.h"
#include "platform/Guard.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Trace = std::vector<std::string>;

// Records every event of the client as one text, in the order raised.
class NntpCli : public ::testing::Test {
protected:
  static void SetUpTestSuite() { EnsureApplication(); }

  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Cli.OnSessionConnected = [this](TObject*, std::uint16_t e) {
      Events.push_back("connected " + std::to_string(e));
    };
    Cli.OnSessionClosed = [this](TObject*, std::uint16_t e) {
      Events.push_back("closed " + std::to_string(e));
    };
    Cli.OnDataAvailable = [this](TObject*, std::uint16_t) { Events.push_back("data " + Cli.LastResponse()); };
    Cli.OnMessageBegin = [this](TObject*) { Events.push_back("begin"); };
    Cli.OnMessageLine = [this](TObject*) { Events.push_back("line " + Cli.LastResponse()); };
    Cli.OnMessageEnd = [this](TObject*) { Events.push_back("end " + Cli.LastResponse()); };
    Cli.OnRequestDone = [this](TObject*, TNntpRequest rq, std::uint16_t e) {
      Events.push_back("done " + std::to_string(int(rq)) + " " + std::to_string(e));
      ++Done;
    };
  }
  void TearDown() override {
    SetErrorDisplay(Previous);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
  }

  void Dial(const std::string& port, bool tls = false) {
    Cli.SetHost(tls ? "localhost" : "127.0.0.1"); // the name the test certificates carry
    Cli.SetPort(port);
    Cli.SetTls(tls);
    Cli.WSocket().SetTlsCAFile(TTestCertificates::Get().CAFile());
    Events.clear();
    Cli.Connect();
  }
  void ConnectTo(const TScriptedNewsServer& server) {
    Dial(server.PortText());
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpReady; }));
    Events.clear();
  }
  // Waits for the next end of request.
  bool WaitDone() {
    const int want = Done + 1;
    return PumpUntil([&] { return Done >= want; });
  }

  TNntpCli Cli;
  Trace Events;
  int Done = 0;
  Trace Errors;
  TErrorDisplay Previous;
};

const std::string Greeting = "200 news.test ready - posting allowed";

TEST_F(NntpCli, GreetingCodeDecidesPostingButAnyCodeConnects) {
  for (auto [line, posting] :
       {std::pair{"200 ok", true}, {"201 no posting", false}, {"502 go away", false}}) {
    TScriptedNewsServer server;
    server.Reply(line).Silent().Start();
    Events.clear();
    Cli.SetHost("127.0.0.1");
    Cli.SetPort(server.PortText());
    Cli.Connect();
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpReady; }));
    EXPECT_EQ(Events, (Trace{"connected 0"})) << line;
    EXPECT_EQ(Cli.PostingPermited(), posting) << line;
    EXPECT_EQ(Cli.LastResponse(), line);
    EXPECT_EQ(Cli.StatusCode(), std::stoi(line));
    Cli.Abort();
    EXPECT_EQ(Cli.State(), nntpNotConnected);
    ASSERT_TRUE(WaitDone());
  }
}

TEST_F(NntpCli, ConnectIsRefusedWhileConnectedAndCommandsWhileNotReady) {
  try {
    Cli.Group("alt.test");
    FAIL();
  } catch (const NntpException& e) {
    EXPECT_STREQ(e.what(), "Not ready for GROUP");
  }
  EXPECT_THROW(Cli.Authenticate(), NntpException);
  try {
    Cli.ListOverViewFmt();
    FAIL();
  } catch (const NntpException& e) {
    EXPECT_STREQ(e.what(), "Not ready for LIST OVERVIEW.FMT");
  }
  TScriptedNewsServer server;
  server.Reply(Greeting).Silent().Start();
  ConnectTo(server);
  try {
    Cli.Connect();
    FAIL();
  } catch (const NntpException& e) {
    EXPECT_STREQ(e.what(), "Already connected");
  }
  EXPECT_EQ(Cli.State(), nntpReady);
}

TEST_F(NntpCli, GroupReadsCountsAndARefusalReportsItsCode) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("GROUP alt.binaries.test")
      .Reply("211 1234 3000 4233 alt.binaries.test")
      .Expect("GROUP alt.none")
      .Reply("411 No such news group")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.Group(" \talt.binaries.test  ");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 0 0"}));
  EXPECT_EQ(Cli.StatusCode(), 211);
  EXPECT_EQ(Cli.ArticleEstimated(), 1234);
  EXPECT_EQ(Cli.ArticleFirst(), 3000);
  EXPECT_EQ(Cli.ArticleLast(), 4233);

  Cli.Group("alt.none");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 0 411");
  EXPECT_EQ(Cli.ArticleEstimated(), 0);
  EXPECT_EQ(Cli.ArticleFirst(), 0);
  EXPECT_EQ(Cli.ArticleLast(), 0);
  EXPECT_TRUE(server.Failures().empty());
}

// Large binary groups number past 2^31 and up to 2^63 - 1; a number past
// that is refused, never wrapped: a GROUP reply holding one is no reply to
// walk, and a body that names one is not the article asked for.
TEST_F(NntpCli, ArticleNumbersUseAll63BitsAndLargerOnesAreRefused) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("GROUP big")
      .Reply("211 5000000000 1000000000000000000 9223372036854775807 big")
      .Expect("STAT 9223372036854775807")
      .Reply("223 9223372036854775807 <x@y> status")
      .Expect("GROUP big")
      .Reply("211 99999999999999999999999 -99999999999999999999999 1 big")
      .Expect("GROUP big")
      .Reply("211 3 1 9223372036854775808 big")
      .Expect("BODY 1")
      .Send("222 9223372036854775808 <x@y>\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.Group("big");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.ArticleEstimated(), 5000000000);
  EXPECT_EQ(Cli.ArticleFirst(), 1000000000000000000);
  Cli.StatByNumber(Cli.ArticleLast());
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.ArticleNumber(), INT64_MAX);
  Cli.Group("big");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.ArticleEstimated(), INT64_MAX);
  EXPECT_EQ(Cli.ArticleFirst(), INT64_MIN);
  Cli.Group("big");
  ASSERT_TRUE(WaitDone());
  EXPECT_NE(Cli.ArticleLast(), INT64_MIN);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.ArticleNumber(), -1);
  EXPECT_EQ(Events,
            (Trace{"done 0 0", "done 13 0", "done 0 65535", "done 0 65535", "closed 10201", "done 9 10201"}));
  EXPECT_TRUE(server.Failures().empty());
}

TEST_F(NntpCli, HeadDeliversEachLineThenEndsWithTheStatusLineAgain) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("HEAD 4233")
      .Send("221 4233 <part1of7.abc@news.test> article retrieved - head follows\r\n"
            "Subject: test [1/7]\r\nLines: 3000\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.HeadByNumber(4233);
  EXPECT_EQ(Cli.ArticleNumber(), -1);
  EXPECT_EQ(Cli.State(), nntpWaitingResponse);
  ASSERT_TRUE(WaitDone());
  const std::string status = "221 4233 <part1of7.abc@news.test> article retrieved - head follows";
  EXPECT_EQ(Events,
            (Trace{"begin", "line Subject: test [1/7]", "line Lines: 3000", "end " + status, "done 11 0"}));
  EXPECT_EQ(Cli.ArticleNumber(), 4233);
  EXPECT_EQ(Cli.ArticleID(), "part1of7.abc@news.test");
  EXPECT_EQ(Cli.LastResponse(), status);
  EXPECT_EQ(Cli.State(), nntpReady);
}

TEST_F(NntpCli, DotRulesAndDestStream) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY <id@host>")
      .Send("222 0 <id@host>\r\n..\r\n..x\r\n.x\r\nx.\r\n\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  std::ostringstream dest;
  Cli.BodyByID("id@host", &dest);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line .", "line .x", "line .x", "line x.", "line ", "end 222 0 <id@host>",
                           "done 8 0"}));
  EXPECT_EQ(dest.str(), ".\r\n.x\r\n.x\r\nx.\r\n\r\n");
}

// Whatever way the bytes are cut into receives, the same lines come out.
TEST_F(NntpCli, ReplySplitAtEveryByteGivesTheSameLines) {
  const std::string reply = "222 7 <a@b> body\r\nline one\r\n..two\r\n\r\nthree\r\n.\r\n";
  TScriptedNewsServer server;
  server.Reply(Greeting);
  for (std::size_t cut = 0; cut < reply.size(); ++cut)
    server.Expect("BODY 7").SendSplit(reply, {cut}, 5);
  server.Silent().Start();
  ConnectTo(server);
  const Trace expected{"begin",      "line line one",        "line .two", "line ",
                       "line three", "end 222 7 <a@b> body", "done 9 0"};
  for (std::size_t cut = 0; cut < reply.size(); ++cut) {
    Events.clear();
    Cli.BodyByNumber(7);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, expected) << "cut at " << cut;
  }
}

// Read where they were cut, however the bytes come, the text lines are what
// the copies were; LastResponse() keeps the status line, and the replies
// after the text are copied as ever.
TEST_F(NntpCli, TextLinesReadInPlaceAreTheLinesAndLastResponseKeepsTheStatus) {
  const std::string reply = "222 7 <a@b> body\r\nline one\r\n..two\r\n.x\r\n\r\n.\r\n";
  TScriptedNewsServer server;
  server.Reply(Greeting);
  for (std::size_t cut = 0; cut < reply.size(); ++cut)
    server.Expect("BODY 7").SendSplit(reply, {cut}, 5);
  server.Expect("GROUP alt.test").Send("211 3 1 3 alt.test\r\n").Silent().Start();
  ConnectTo(server);
  Cli.SetKeepTextLines(false);
  Cli.OnMessageLine = [this](TObject*) {
    Events.push_back("line " + std::string(Cli.Line()) + "|" + Cli.LastResponse());
  };
  const std::string status = "222 7 <a@b> body";
  const Trace expected{"begin",
                       "line line one|" + status,
                       "line .two|" + status,
                       "line .x|" + status,
                       "line |" + status,
                       "end " + status,
                       "done 9 0"};
  for (std::size_t cut = 0; cut < reply.size(); ++cut) {
    Events.clear();
    std::ostringstream dest;
    Cli.BodyByNumber(7, &dest);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, expected) << "cut at " << cut;
    EXPECT_EQ(dest.str(), "line one\r\n.two\r\n.x\r\n\r\n") << "cut at " << cut;
  }
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.LastResponse(), "211 3 1 3 alt.test");
  EXPECT_EQ(Cli.ArticleLast(), 3);
}

// The line is cut at CR LF only; a NUL is one more byte of it.
TEST_F(NntpCli, NulByteStaysInItsLineAndTheReplyCompletes) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY 1")
      .Send(std::string("222 1 <n@u>\r\na\0b\r\nc\rd\ne\r\n.\r\n", 29))
      .Silent()
      .Start();
  ConnectTo(server);
  Trace lines;
  Cli.OnMessageLine = [&](TObject*) { lines.push_back(Cli.LastResponse()); };
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(lines, (Trace{std::string("a\0b", 3), "c\rd\ne"}));
  EXPECT_EQ(Cli.State(), nntpReady);
}

TEST_F(NntpCli, CommandWhileAwaitingIsRefusedAndTheOpenRequestGoesOn) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("HEAD 5").Pause(50).Send("221 5 <m@n>\r\nA: b\r\n.\r\n").Silent().Start();
  ConnectTo(server);
  Cli.HeadByNumber(5);
  try {
    Cli.HeadByNumber(6);
    FAIL();
  } catch (const NntpException& e) {
    EXPECT_STREQ(e.what(), "Not ready for HEAD");
  }
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line A: b", "end 221 5 <m@n>", "done 11 0"}));
  EXPECT_EQ(server.Received(), (Trace{"HEAD 5"}));
}

TEST_F(NntpCli, NextWith223EndsWithoutText) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("NEXT").Reply("223 3001 <n@x> article retrieved").Silent().Start();
  ConnectTo(server);
  Cli.Next();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 14 0"}));
  EXPECT_EQ(Cli.ArticleNumber(), 3001);
  EXPECT_EQ(Cli.ArticleID(), "n@x");
}

// Without a number the code reads as 0, which is no status at all: the
// request ends at once, with 65535 and not with the 0 of a success.
TEST_F(NntpCli, StatusLineWithoutNumberEndsTheRequestWithAnError) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("HEAD").Reply("Article follows").Silent().Start();
  ConnectTo(server);
  Cli.HeadByNumber(0);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 11 65535"}));
  EXPECT_EQ(Cli.StatusCode(), 0);
}

// A code past 16 bits ends as the largest Error, never as a wrapped 0.
TEST_F(NntpCli, StatusCodePastSixteenBitsNeverReadsAsSuccess) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("HEAD").Reply("65536 huge").Silent().Start();
  ConnectTo(server);
  Cli.HeadByNumber(0);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 11 65535"}));
}

// Whatever is no status code from 100 to 599 ends as 65535: never a wrapped
// 0 (-65536, 65536), never a number that reads as a socket error (10054).
// A well-formed refusal keeps its code; QUIT takes any code but a bogus one.
TEST_F(NntpCli, StatusCodeOutsideTheNntpRangeNeverReadsAsSuccess) {
  TScriptedNewsServer server;
  server.Reply(Greeting);
  for (const char* code : {"65536", "-65536", "10054", "99", "600", "599"})
    server.Expect("HEAD").Reply(code + std::string(" refused"));
  server.Expect("QUIT").Reply("-65331 bye").Expect("QUIT").Reply("400 bye").Silent().Start();
  ConnectTo(server);
  for (int i = 0; i < 8; ++i) {
    i < 6 ? Cli.HeadByNumber(0) : Cli.Quit();
    ASSERT_TRUE(WaitDone());
  }
  EXPECT_EQ(Events, (Trace{"done 11 65535", "done 11 65535", "done 11 65535", "done 11 65535",
                           "done 11 65535", "done 11 599", "done 16 65535", "done 16 0"}));
}

TEST_F(NntpCli, DateReadsFourteenDigitsOnly) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("DATE")
      .Reply("111 19990131235959")
      .Expect("DATE")
      .Reply("111 1999013123595")
      .Expect("DATE")
      .Reply("111 19991331000000") // month 13: no moment, left at 0
      .Expect("DATE")
      .Reply("500 What?")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.Date();
  ASSERT_TRUE(WaitDone());
  EXPECT_DOUBLE_EQ(Cli.ServerDate(), 36191 + 86399 / 86400.0);
  for (int i = 0; i < 3; ++i) {
    Cli.Date();
    EXPECT_EQ(Cli.ServerDate(), 0);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Cli.ServerDate(), 0);
  }
  EXPECT_EQ(Events, (Trace{"done 20 0", "done 20 0", "done 20 0", "done 20 500"}));
}

TEST_F(NntpCli, AbortDuringBodyClosesAtOnceAndReportsLater) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY 1")
      .Send("222 1 <a@b>\r\none\r\ntwo\r\n")
      .Pause(200)
      .Send("three\r\n.\r\n")
      .Start();
  ConnectTo(server);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() == 3; }));
  Cli.Abort();
  EXPECT_EQ(Events, (Trace{"begin", "line one", "line two", "closed 0"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  EXPECT_EQ(Cli.StatusCode(), 205);
  EXPECT_EQ(Cli.LastResponse(), "205 Closing connection - goodbye");
  ASSERT_TRUE(WaitDone());
  PumpUntil([&] { return server.Finished(); }, 2000);
  PumpFor(50);
  EXPECT_EQ(Events, (Trace{"begin", "line one", "line two", "closed 0", "done 17 0"}));
}

// Lines already received when a line handler aborts are still cut, and go to
// OnDataAvailable because no reply is awaited any more.
TEST_F(NntpCli, AbortInsideALineHandsTheHeldLinesToDataAvailable) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").Send("222 1 <a@b>\r\none\r\ntwo\r\n.\r\n").Silent().Start();
  ConnectTo(server);
  Cli.OnMessageLine = [&](TObject*) {
    Events.push_back("line " + Cli.LastResponse());
    Cli.Abort();
  };
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line one", "closed 0", "data two", "data .", "done 17 0"}));
}

// A body far larger than one receive, sent as fast as the system takes it:
// its lines come in order, the loop gets its turn while they do (a timer set
// at the first line fires before the last), the request ends after its last
// line, and the server's close right behind the body is still seen.
TEST_F(NntpCli, LongFastBodyKeepsItsOrderLetsTheLoopRunAndSeesTheClose) {
  std::string reply = "222 1 <a@b> body\r\n";
  const int count = 40000;
  for (int i = 0; i < count; ++i)
    reply += std::to_string(i) + std::string(100, char('a' + i % 26)) + "\r\n";
  reply += ".\r\n";
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").Send(reply).Close().Start();
  ConnectTo(server);
  int lines = 0, outOfOrder = 0, linesWhenTimerFired = -1;
  std::size_t linesWhenDone = 0;
  Cli.OnMessageLine = [&](TObject*) {
    if (Cli.LastResponse() != std::to_string(lines) + std::string(100, char('a' + lines % 26)))
      ++outOfOrder;
    if (lines++ == 0)
      QTimer::singleShot(0, [&] { linesWhenTimerFired = lines; });
  };
  Cli.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) {
    Events.push_back("done " + std::to_string(int(rq)) + " " + std::to_string(e));
    linesWhenDone = std::size_t(lines);
  };
  Cli.BodyByNumber(1);
  ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpNotConnected; }, 20000));
  EXPECT_EQ(Events, (Trace{"begin", "end 222 1 <a@b> body", "done 9 0", "closed 0"}));
  EXPECT_EQ(lines, count);
  EXPECT_EQ(linesWhenDone, std::size_t(count));
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_GT(linesWhenTimerFired, 0);
  EXPECT_LT(linesWhenTimerFired, count);
}

// The close itself was orderly (0), but the body it cut short is no success.
TEST_F(NntpCli, ServerClosingDuringBodyEndsTheRequestAfterTheClose) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").Send("222 1 <a@b>\r\none\r\n").Close().Start();
  ConnectTo(server);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line one", "closed 0", "done 9 10101"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
}

// The reset reaches the caller as an error number, and the same one in both events.
TEST_F(NntpCli, ServerResetDuringBodyReportsTheSameErrorTwice) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").Send("222 1 <a@b>\r\none\r\n").Pause(50).Reset().Start();
  ConnectTo(server);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  ASSERT_EQ(Events.size(), 4u);
  EXPECT_EQ(Events[2], "closed 10054");
  EXPECT_EQ(Events[3], "done 9 10054");
}

// However the bytes arrive: the longest line split after its CR waits for its
// LF, and an unfinished line that can no longer fit (4094 characters and its
// CR) closes at once, without waiting for an LF that may never come.
TEST_F(NntpCli, LongestLineIsDeliveredAndALongerOneClosesTheConnection) {
  const std::string longest(4093, 'x');
  for (const bool pieces : {false, true}) {
    TScriptedNewsServer server;
    const std::string body1 = "222 1 <a@b>\r\n" + longest + "\r\n.\r\n";
    server.Reply(Greeting).Expect("BODY 1");
    pieces ? server.SendSplit(body1, {13 + 4094}, 50) : server.Send(body1);
    server.Expect("BODY 2")
        .Send(pieces ? "222 2 <c@d>\r\nbefore\r\n" + longest + "y\r"
                     : "222 2 <c@d>\r\n" + longest + "yz\r\n.\r\n")
        .ExpectClosed()
        .Start();
    ConnectTo(server);
    Cli.BodyByNumber(1);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, (Trace{"begin", "line " + longest, "end 222 1 <a@b>", "done 9 0"}));
    Events.clear();
    Cli.BodyByNumber(2);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, pieces ? (Trace{"begin", "line before", "closed 10053", "done 9 10053"})
                             : (Trace{"begin", "closed 10053", "done 9 10053"}));
    EXPECT_EQ(Cli.State(), nntpNotConnected);
    EXPECT_TRUE(PumpUntil([&] { return server.Finished(); })); // the server saw the close
    EXPECT_TRUE(server.Failures().empty());
  }
}

// A server that closes before or during its greeting ends the connect with
// 10101, never with the 0 of a success; one that says nothing, at the
// greeting or in the TLS handshake, is dropped by the timeout with 10060.
// A body that comes slowly but steadily for longer than the timeout
// completes, a timeout of 0 never fires, and a server that stops answering
// a request is dropped too.
TEST_F(NntpCli, SilentServerTimesOutButASlowReplyDoesNot) {
  EXPECT_EQ(Cli.Timeout(), 120);
  Cli.SetTimeout(1);
  for (int run = 0; run < 4; ++run) {
    TScriptedNewsServer server;
    if (run < 2)
      server.Send(run == 0 ? "" : "200 read").Close();
    else
      run == 2 ? server.ExpectClosed() : server.Silent();
    server.Start();
    Dial(server.PortText(), run == 3);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, (run < 2 ? Trace{"closed 0", "done 0 10101"} : Trace{"closed 10060", "done 0 10060"}))
        << run;
    EXPECT_EQ(Cli.State(), nntpNotConnected);
    EXPECT_EQ(Cli.TlsError(), "");
    if (run == 2) {
      EXPECT_TRUE(PumpUntil([&] { return server.Finished(); })); // the socket is closed, not forgotten
    }
  }
  const std::string line(800, 'x');
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY 1")
      .SendSplit("222 1 <a@b>\r\n" + line + "\r\n" + line + "\r\n" + line + "\r\n.\r\n", {5, 815, 1617, 2419},
                 400)
      .Expect("HEAD 1")
      .Pause(300)
      .Send("221 1 <a@b>\r\n.\r\n")
      .Expect("HEAD 2")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 9 0");
  Cli.SetTimeout(0);
  Cli.HeadByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 11 0");
  Cli.SetTimeout(1);
  Events.clear();
  Cli.HeadByNumber(2);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"closed 10060", "done 11 10060"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
}

// A server that sends a line now and then is not waited for beyond the
// timeout: the reply must average 1 KB a second once it has run that long.
// The connection goes as for silence, with 10060.
TEST_F(NntpCli, TricklingReplyEndsOnceItHasRunForTheTimeout) {
  std::string reply = "222 1 <a@b>\r\n";
  std::vector<std::size_t> cuts;
  for (int i = 0; i < 40; ++i) {
    cuts.push_back(reply.size());
    reply += "line " + std::to_string(i) + "\r\n";
  }
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").SendSplit(reply + ".\r\n", cuts, 100).Start();
  ConnectTo(server);
  Cli.SetTimeout(1);
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.front(), "begin");
  EXPECT_EQ(Trace(Events.end() - 2, Events.end()), (Trace{"closed 10060", "done 9 10060"}));
  EXPECT_LT(Events.size(), 30u); // long before the last line
}

// The handler's failure is shown, and the lines held behind it, the end of
// the reply included, go on without waiting for more bytes.
TEST_F(NntpCli, LineHandlerThatThrowsDoesNotStallTheReply) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY 1")
      .Send("222 1 <a@b>\r\none\r\ntwo\r\nthree\r\nfour\r\n.\r\n")
      .Expect("HEAD 1")
      .Send("221 1 <a@b>\r\nA: b\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  Cli.OnMessageLine = [&](TObject*) {
    Events.push_back("line " + Cli.LastResponse());
    if (Cli.LastResponse() == "two" || Cli.LastResponse() == "three")
      throw Exception("cannot take " + Cli.LastResponse());
  };
  Cli.BodyByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line one", "line two", "line three", "line four", "end 222 1 <a@b>",
                           "done 9 0"}));
  EXPECT_EQ(Errors, (Trace{"cannot take two", "cannot take three"}));
  // A failing end handler still ends its request.
  Errors.clear();
  Events.clear();
  Cli.OnMessageEnd = [&](TObject*) { throw Exception("end failed"); };
  Cli.HeadByNumber(1);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"begin", "line A: b", "done 11 0"}));
  EXPECT_EQ(Cli.State(), nntpReady);
  EXPECT_EQ(Errors, (Trace{"end failed"}));
  Errors.clear();
}

TEST_F(NntpCli, PostSendsTheStreamInBlocksThenTheEndMarker) {
  std::string article = "From: a@b\r\nSubject: big\r\n\r\n";
  while (article.size() < 300000)
    article += std::string(70, char('a' + article.size() % 26)) + "\r\n";
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("POST")
      .Reply("340 send article")
      .ExpectText()
      .Reply("240 article posted")
      .Expect("POST")
      .Reply("440 posting not allowed")
      .Silent()
      .Start();
  ConnectTo(server);
  std::istringstream stream(article);
  Cli.Post(stream);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 2 0"}));
  // The stream ended with CR LF, so the end marker adds one empty line.
  EXPECT_EQ(server.PostedText(), article + "\r\n");

  std::istringstream refused("x\r\n");
  Cli.Post(refused);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 2 440");
  EXPECT_EQ(refused.tellg(), 0); // nothing read, nothing sent
  EXPECT_TRUE(server.Failures().empty());
}

// A send error while the text goes out ends the post with 441 at once.
TEST_F(NntpCli, PostSendErrorEndsWith441) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("POST").Reply("340 send article").Silent().Start();
  ConnectTo(server);
  std::istringstream stream(std::string(100000, 'x'));
  Cli.Post(stream);
  ASSERT_TRUE(PumpUntil([&] { return Cli.WSocket().OnDataSent != nullptr; }));
  Cli.WSocket().OnDataSent(&Cli.WSocket(), 10053);
  EXPECT_EQ(Cli.LastResponse(), "441 posting failed");
  EXPECT_EQ(Cli.StatusCode(), 441);
  EXPECT_EQ(Cli.WSocket().OnDataSent, nullptr); // no more blocks from this stream
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 2 441"}));
}

TEST_F(NntpCli, AuthenticateInTwoStepsReportsOnce) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("AUTHINFO USER joe")
      .Reply("381 PASS required")
      .Expect("AUTHINFO PASS secret")
      .Reply("281 Ok")
      .Expect("AUTHINFO USER joe")
      .Reply("481 no such user")
      .Expect("AUTHINFO USER joe")
      .Reply("381 PASS required")
      .Expect("AUTHINFO PASS secret")
      .Reply("502 wrong")
      .Expect("AUTHINFO USER joe") // a server may take the user name alone
      .Reply("281 Ok")
      .ExpectClosed()
      .Start();
  ConnectTo(server);
  Cli.SetUserName("joe");
  Cli.SetPassWord("secret");
  for (int i = 0; i < 4; ++i) {
    Cli.Authenticate();
    ASSERT_TRUE(WaitDone());
  }
  PumpFor(50);
  EXPECT_EQ(Events, (Trace{"done 21 0", "done 21 481", "done 21 502", "done 21 0"}));
  // A line break in the credentials could smuggle in another command.
  Cli.SetPassWord("se\r\nQUIT");
  EXPECT_THROW(Cli.Authenticate(), NntpException);
  EXPECT_EQ(Cli.State(), nntpReady);
  Cli.Abort();
  EXPECT_TRUE(PumpUntil([&] { return server.Finished(); }));
  EXPECT_TRUE(server.Failures().empty());
}

TEST_F(NntpCli, NewGroupsAndNewNewsFormatTheirDate) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("NEWGROUPS 990131 235959 GMT <alt>")
      .Send("231 new groups follow\r\nalt.new 2 1 y\r\n.\r\n")
      .Expect("NEWNEWS * 000102 030405")
      .Send("230 list follows\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  std::ostringstream dest;
  Cli.NewGroups(36191 + 86399 / 86400.0, true, "alt", &dest);
  ASSERT_TRUE(WaitDone());
  Cli.NewNews(36527 + (3 * 3600 + 4 * 60 + 5) / 86400.0, false, "", "");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 5 0");
  EXPECT_EQ(dest.str(), "alt.new 2 1 y\r\n");
  EXPECT_TRUE(server.Failures().empty());
}

TEST_F(NntpCli, FailedLookupAndRefusedConnectReportThePreviousKind) {
  Cli.SetHost("no..such.host"); // refused before any query leaves the machine
  Cli.Connect();
  EXPECT_EQ(Cli.State(), nntpDnsLookup);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 0 11001"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);

  { // one HEAD, so that the kind to report is no longer the initial one
    TScriptedNewsServer server;
    server.Reply(Greeting).Expect("HEAD 1").Reply("423 no such article").Close().Start();
    ConnectTo(server);
    Cli.HeadByNumber(1);
    ASSERT_TRUE(WaitDone());
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpNotConnected; }));
  }
  TScriptedNewsServer refusing; // never started: nothing listens
  Events.clear();
  Trace states;
  Cli.OnStateChange = [&](TObject*) { states.push_back(std::to_string(int(Cli.State()))); };
  Cli.SetHost("127.0.0.1");
  Cli.SetPort(refusing.PortText());
  Cli.Connect();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"closed 0", "done 11 10061"}));
  // The socket still reads connected while the failure is reported.
  EXPECT_EQ(states, (Trace{"1", "2", "3", "0"}));
}

// A connect that cannot even start raises to the caller (or, for a name
// looked up later, ends with an error) and leaves the client not connected,
// ready for another try.
TEST_F(NntpCli, ConnectThatCannotStartRaisesAndLeavesTheClientNotConnected) {
  Cli.SetHost("");
  EXPECT_THROW(Cli.Connect(), ESocketException);
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  Cli.SetHost("127.0.0.1");
  Cli.SetPort("no-such-service");
  EXPECT_THROW(Cli.Connect(), ESocketException);
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  // The system refuses a TCP connect to the broadcast address inside the call:
  // the half-made socket is closed again, quietly.
  Cli.SetHost("255.255.255.255");
  Cli.SetPort("119");
  EXPECT_THROW(Cli.Connect(), ESocketException);
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  EXPECT_EQ(Cli.WSocket().State(), wsClosed);
  PumpFor(20);
  EXPECT_TRUE(Events.empty());
  // A name is looked up after Connect() has returned: the failure ends the
  // connect instead of reaching nobody.
  Cli.SetHost("localhost");
  Cli.SetPort("no-such-service");
  Cli.Connect();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 0 10022"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
  EXPECT_EQ(Cli.WSocket().State(), wsClosed);
  Events.clear();
  Cli.SetHost("127.0.0.1");
  TScriptedNewsServer server;
  server.Reply(Greeting).Silent().Start();
  ConnectTo(server);
}

TEST_F(NntpCli, StateWalksThroughConnectAndARequest) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("QUIT").Reply("205 bye").Close().Start();
  Trace states;
  Cli.OnStateChange = [&](TObject*) { states.push_back(std::to_string(int(Cli.State()))); };
  ConnectTo(server);
  Cli.Quit();
  ASSERT_TRUE(WaitDone());
  ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpNotConnected; }));
  EXPECT_EQ(states, (Trace{"1", "2", "3", "4", "3", "0"}));
}

// Abort while the name is still being looked up: the late result is dropped
// and no connection is made.
TEST_F(NntpCli, AbortDuringLookupDropsTheLookup) {
  Cli.SetHost("localhost");
  Cli.Connect();
  ASSERT_EQ(Cli.State(), nntpDnsLookup);
  Cli.Abort();
  ASSERT_TRUE(WaitDone());
  PumpFor(200);
  EXPECT_EQ(Events, (Trace{"done 17 0"}));
  EXPECT_EQ(Cli.State(), nntpNotConnected);
}

// A server answering NEXT with text anyway must not reach the stream of an
// earlier request, which its owner has freed by now.
TEST_F(NntpCli, TextAfterNextNeverReachesAnEarlierStream) {
  TScriptedNewsServer server;
  server.Reply(Greeting)
      .Expect("BODY 1")
      .Send("222 1 <a@b>\r\nold\r\n.\r\n")
      .Expect("NEXT")
      .Send("220 2 <c@d>\r\nnew\r\n.\r\n")
      .Silent()
      .Start();
  ConnectTo(server);
  {
    std::ostringstream gone;
    Cli.BodyByNumber(1, &gone);
    ASSERT_TRUE(WaitDone());
  }
  Cli.Next();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 14 0");
  EXPECT_EQ(Events[Events.size() - 3], "line new");
}

// After Abort the bytes of the old connection are ignored, but a new
// connection must be served again (the walk reconnects after giving up).
TEST_F(NntpCli, ConnectAfterAbortServesTheNewConnection) {
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", {{1, {"Subject: one"}, {"body"}}});
  ConnectTo(server);
  Cli.Abort();
  ASSERT_TRUE(WaitDone());
  ConnectTo(server);
  Cli.Group("alt.test");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"done 0 0"}));
}

// A window may free its client from the handler of the client's last end.
TEST_F(NntpCli, RequestDoneHandlerMayFreeTheClient) {
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("QUIT").Reply("205 bye").Silent().Start();
  auto cli = std::make_unique<TNntpCli>();
  cli->SetHost("127.0.0.1");
  cli->SetPort(server.PortText());
  cli->Connect();
  ASSERT_TRUE(PumpUntil([&] { return cli->State() == nntpReady; }));
  cli->OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t) { cli.reset(); };
  cli->Quit();
  EXPECT_TRUE(PumpUntil([&] { return !cli; }));
}

// The walk of a decode window: each request started from the end of the last.
TEST_F(NntpCli, GroupWalkAgainstTheGroupServer) {
  TScriptedNewsServer server;
  server.ServeGroup("alt.test", {{10, {"Subject: a", "Lines: 2"}, {".hidden", "x"}},
                                 {12, {"Subject: b", "Lines: 1"}, {"y"}}});
  ConnectTo(server);
  Trace lines;
  Cli.OnMessageLine = [&](TObject*) { lines.push_back(Cli.LastResponse()); };
  const std::vector<std::function<void()>> steps{[&] { Cli.HeadByNumber(10); }, [&] { Cli.BodyByNumber(10); },
                                                 [&] { Cli.HeadByNumber(11); }, [&] { Cli.HeadByNumber(12); },
                                                 [&] { Cli.BodyByNumber(12); }, [&] { Cli.Quit(); }};
  std::size_t next = 0;
  Cli.OnSessionClosed = nullptr; // may come before or after the end of QUIT
  Cli.OnMessageBegin = Cli.OnMessageEnd = nullptr;
  Cli.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) {
    Events.push_back(std::to_string(int(rq)) + " " + std::to_string(e));
    if (next < steps.size()) {
      EXPECT_EQ(Cli.State(), nntpReady);
      steps[next++]();
    }
  };
  Cli.Group("alt.test");
  ASSERT_TRUE(PumpUntil([&] { return Events.size() == 7 && Cli.State() == nntpNotConnected; }));
  EXPECT_EQ(Events, (Trace{"0 0", "11 0", "9 0", "11 423", "11 0", "9 0", "16 0"}));
  EXPECT_EQ(lines, (Trace{"Subject: a", "Lines: 2", ".hidden", "x", "Subject: b", "Lines: 1", "y"}));
}

TEST_F(NntpCli, XOverAndStatAgainstTheGroupServer) {
  TScriptedNewsServer server;
  server.ServeGroup(
      "g", {{1, {"Subject: s1", "From: f", "Message-ID: <one@x>"}, {"a", "b"}}, {2, {"Subject: s2"}, {"c"}}});
  ConnectTo(server);
  Cli.Group("g");
  ASSERT_TRUE(WaitDone());
  std::ostringstream dest;
  Cli.XOver("1-2", &dest);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(dest.str(), "1\ts1\tf\t\t<one@x>\t\t6\t2\r\n2\ts2\t\t\t<2@vostel.test>\t\t3\t1\r\n");
  Cli.StatByID("one@x");
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.ArticleNumber(), 1);
  Cli.StatByNumber(3);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events.back(), "done 13 423");
}

// ---- pipelining ----

// The ends of requests, which are posted, or the events raised as the
// replies are read.
Trace Ends(const Trace& events, bool ends = true) {
  Trace picked;
  std::copy_if(events.begin(), events.end(), std::back_inserter(picked),
               [&](const std::string& e) { return e.starts_with("done") == ends; });
  return picked;
}

// Four requests go out at once; their replies come back in one stream cut
// at every byte, and each request's lines and its end come in order, each
// end after the lines of its own reply. A fifth request and AUTHINFO wait.
// Refused for want of a log-in, two requests in flight end with 480 each;
// then AUTHINFO goes alone, and QUIT may follow a request, nothing QUIT.
TEST_F(NntpCli, PipelinedRepliesComeBackInOrderHoweverTheBytesArrive) {
  const std::string replies = "222 1 <a@b>\r\none\r\n..two\r\n.\r\n"
                              "221 2 <c@d>\r\nSubject: s\r\n.\r\n"
                              "223 3 <e@f> status\r\n"
                              "423 no such article\r\n";
  std::vector<std::size_t> everyByte(replies.size());
  std::iota(everyByte.begin(), everyByte.end(), std::size_t(1));
  TScriptedNewsServer server;
  server.Reply(Greeting).Expect("BODY 1").Expect("HEAD 2").Expect("STAT 3").Expect("BODY 4");
  server.SendSplit(replies, everyByte, 1)
      .Expect("BODY 5")
      .Expect("BODY 6")
      .Send("480 log in\r\n480 log in\r\n");
  server.Expect("AUTHINFO USER joe").Reply("281 Ok").Expect("BODY 5").Expect("QUIT");
  server.Send("222 5 <g@h>\r\n.\r\n205 bye\r\n").Close().Start();
  ConnectTo(server);
  EXPECT_EQ(Cli.PipelineDepth(), 1);
  Cli.SetPipelineDepth(4);
  Cli.SetUserName("joe");
  Cli.BodyByNumber(1);
  Cli.HeadByNumber(2);
  Cli.StatByNumber(3);
  Cli.BodyByNumber(4);
  EXPECT_EQ(Cli.InFlight(), 4);
  EXPECT_THROW(Cli.BodyByNumber(5), NntpException);
  ASSERT_TRUE(PumpUntil([&] { return Done == 4; }));
  EXPECT_EQ(Ends(Events, false), (Trace{"begin", "line one", "line .two", "end 222 1 <a@b>", "begin",
                                        "line Subject: s", "end 221 2 <c@d>"}));
  EXPECT_EQ(Ends(Events), (Trace{"done 9 0", "done 11 0", "done 13 0", "done 9 423"}));
  const auto at = [&](const std::string& e) { return std::find(Events.begin(), Events.end(), e); };
  EXPECT_GT(at("done 9 0"), at("end 222 1 <a@b>"));
  EXPECT_GT(at("done 11 0"), at("end 221 2 <c@d>"));
  EXPECT_EQ(Cli.State(), nntpReady);

  Events.clear();
  Cli.BodyByNumber(5);
  Cli.BodyByNumber(6);
  EXPECT_THROW(Cli.Authenticate(), NntpException);
  ASSERT_TRUE(PumpUntil([&] { return Done == 6; }));
  Cli.Authenticate();
  EXPECT_THROW(Cli.BodyByNumber(5), NntpException);
  ASSERT_TRUE(WaitDone());
  Cli.BodyByNumber(5);
  Cli.Quit();
  EXPECT_THROW(Cli.BodyByNumber(6), NntpException);
  ASSERT_TRUE(PumpUntil([&] { return Done == 9; }));
  EXPECT_EQ(Ends(Events), (Trace{"done 9 480", "done 9 480", "done 21 0", "done 9 0", "done 16 0"}));
  EXPECT_EQ(server.Failures(), Trace{});
}

// However the connection ends with requests in flight, each of them ends
// once, in order, with the reason: the server's orderly close or reset, a
// line too long, a server gone silent. A request whose reply came whole
// before keeps its success. Abort ends them all with its one report.
TEST_F(NntpCli, EveryRequestInFlightEndsWhenTheConnectionGoes) {
  const std::string first = "222 1 <a@b>\r\none\r\n.\r\n", half = "222 2 <c@d>\r\ntwo\r\n";
  struct TCase {
    const char* Name;
    std::function<void(TScriptedNewsServer&)> Script;
    Trace Ends;
  };
  const TCase cases[] = {
      {"close",
       [&](TScriptedNewsServer& s) { s.Send(first + half).Close(); },
       {"done 9 0", "done 9 10101", "done 9 10101"}},
      {"reset",
       [&](TScriptedNewsServer& s) { s.Send(first + half).Pause(50).Reset(); },
       {"done 9 0", "done 9 10054", "done 9 10054"}},
      {"too long",
       [&](TScriptedNewsServer& s) { s.Send(first + half + std::string(5000, 'x')).Silent(); },
       {"done 9 0", "done 9 10053", "done 9 10053"}},
      {"silent",
       [&](TScriptedNewsServer& s) { s.Send(first + half).Silent(); },
       {"done 9 0", "done 9 10060", "done 9 10060"}},
      {"abort",
       [&](TScriptedNewsServer& s) { s.Send(first + half).Pause(100).Send("three\r\n.\r\n").Silent(); },
       {"done 9 0", "done 17 0"}}};
  Cli.SetTimeout(1);
  Cli.SetPipelineDepth(3);
  for (const TCase& c : cases) {
    TScriptedNewsServer server;
    server.Reply(Greeting).Expect("BODY 1").Expect("BODY 2").Expect("BODY 3");
    c.Script(server);
    server.Start();
    ConnectTo(server);
    Done = 0;
    for (int n = 1; n <= 3; ++n)
      Cli.BodyByNumber(n);
    if (c.Ends.size() == 2) {
      ASSERT_TRUE(PumpUntil([&] { return !Events.empty() && Events.back() == "line two"; }));
      Cli.Abort();
    }
    ASSERT_TRUE(PumpUntil([&] { return Done == int(c.Ends.size()); }, 4000)) << c.Name;
    PumpFor(150);
    EXPECT_EQ(Ends(Events), c.Ends) << c.Name;
    EXPECT_EQ(Ends(Events, false).back().substr(0, 6), "closed") << c.Name;
    EXPECT_EQ(Cli.State(), nntpNotConnected) << c.Name;
    EXPECT_EQ(Cli.InFlight(), 0) << c.Name;
  }
}

// A reply that cannot be the one its request waits for: another command's
// status, another article's number, text where a status was due. The
// connection goes, and every request not yet answered ends with 10201, so
// that the caller knows the server mishandles pipelining. Another article's
// number is as wrong with one request at a time, before any of its text.
TEST_F(NntpCli, ServerThatAnswersPipelinedRequestsWronglyIsDropped) {
  const std::string first = "222 1 <a@b>\r\none\r\n.\r\n";
  for (const std::string wrong :
       {"221 2 <c@d>\r\nSubject: s\r\n.\r\n", "222 3 <e@f>\r\nthree\r\n.\r\n", "423 gone\r\ntwo\r\n.\r\n"}) {
    TScriptedNewsServer server;
    server.Reply(Greeting)
        .Expect("BODY 1")
        .Expect("BODY 2")
        .Expect("BODY 3")
        .Send(first + wrong)
        .Silent()
        .Start();
    ConnectTo(server);
    Cli.SetPipelineDepth(3);
    Done = 0;
    for (int n = 1; n <= 3; ++n)
      Cli.BodyByNumber(n);
    ASSERT_TRUE(PumpUntil([&] { return Done == 3; })) << wrong;
    const bool refused = wrong.starts_with("423");
    EXPECT_EQ(Ends(Events), (Trace{"done 9 0", refused ? "done 9 423" : "done 9 10201", "done 9 10201"}))
        << wrong;
    EXPECT_EQ(Ends(Events, false).back(), "closed 10201") << wrong;
    EXPECT_EQ(Cli.State(), nntpNotConnected);
  }
  TScriptedNewsServer alone;
  alone.Reply(Greeting).Expect("ARTICLE 5").Send("220 6 <g@h>\r\nsix\r\n.\r\n").Silent().Start();
  ConnectTo(alone);
  Cli.SetPipelineDepth(1);
  Cli.ArticleByNumber(5);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"closed 10201", "done 6 10201"}));
}

// ---- TLS ----

// A certificate that does not verify, a server that closes in the handshake
// (before or within its first message) or speaks no TLS at all: the connect
// ends with 10200 and the reason, and nothing follows the client's alert.
TEST_F(NntpCli, TlsConnectFailsWithTheReasonAndSendsNothing) {
  const std::string verify = "TLS: certificate verify failed for localhost (";
  const std::string closed = "TLS: localhost closed the connection during the handshake";
  const std::tuple<TTestCert, std::size_t, std::string> cases[] = {
      {TTestCert::WrongHost, SIZE_MAX, verify + "hostname mismatch)"},
      {TTestCert::UnknownCA, SIZE_MAX, verify + "unable to get local issuer certificate)"},
      {TTestCert::Expired, SIZE_MAX, verify + "certificate has expired)"},
      {TTestCert::Good, 0, closed},
      {TTestCert::Good, 100, closed}};
  for (const auto& [cert, closeAfter, text] : cases) {
    TScriptedNewsServer server;
    server.Reply(Greeting).ExpectClosed().Start();
    TTlsFront front(server.Port(), cert);
    front.CloseAfter = closeAfter;
    front.Start();
    Dial(front.PortText(), true);
    ASSERT_TRUE(WaitDone());
    EXPECT_EQ(Events, (Trace{"closed 0", "done 0 10200"})) << text;
    EXPECT_EQ(Cli.TlsError(), text);
    for (const std::string& failure : front.Failures())
      EXPECT_EQ(failure.rfind("handshake: ", 0), 0u) << failure;
  }
  TScriptedNewsServer plain;
  plain.Reply(Greeting).Silent().Start();
  Dial(plain.PortText(), true);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Events, (Trace{"closed 0", "done 0 10200"}));
  EXPECT_EQ(Cli.TlsError().rfind("TLS: handshake with localhost failed (", 0), 0u) << Cli.TlsError();
  Events.clear();
  Cli.SetHost("no..such.host"); // the next failure is none of TLS's
  Cli.Connect();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(Cli.TlsError(), "");
}

// A body of many lines, the ones the dot rule and the line limit touch among
// them and CRs without LF kept in their lines, arrives line by line over
// plain TCP, where a receive takes what the socket holds, far more than one
// line; over TLS with the handshake a byte at a time; and over TLS with the
// handshake's end in the greeting's send.
TEST_F(NntpCli, ABodyArrivesLineByLinePlainOrOverTlsHoweverTheHandshakeGoes) {
  std::vector<std::string> body{".", "..x", std::string(4093, 'L'), ""};
  for (int i = 0; i < 2000; ++i) {
    body.emplace_back(std::size_t(i * 37 % 4094), char('a' + i % 26));
    if (!body.back().empty())
      body.back().back() = '\r';
  }
  Trace lines;
  int largest = 0;
  Cli.OnMessageLine = [&](TObject*) { lines.push_back(Cli.LastResponse()); };
  Cli.OnDisplay = [&](TObject*, const char*, int len) { largest = std::max(largest, len); };
  for (int run = 0; run < 3; ++run) {
    TScriptedNewsServer server;
    server.ServeGroup("alt.test", {{7, {"Subject: big"}, body}}, Greeting);
    TTlsFront front(server.Port());
    front.Chunk = run == 1 ? 1 : SIZE_MAX;
    front.PauseMs = 1;
    front.GreetingWithFinished = run == 2;
    front.Start();
    lines.clear();
    largest = 0;
    Dial(run == 0 ? server.PortText() : front.PortText(), run > 0);
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpReady; })) << run;
    EXPECT_EQ(Events, (Trace{"connected 0"}));
    EXPECT_EQ(Cli.LastResponse(), Greeting);
    // Over TLS with its end in the greeting, twice and pipelined.
    Cli.SetPipelineDepth(run == 2 ? 2 : 1);
    Done = 0;
    Cli.BodyByID("7@vostel.test");
    if (run == 2)
      Cli.BodyByID("7@vostel.test");
    ASSERT_TRUE(PumpUntil([&] { return Done == (run == 2 ? 2 : 1); }));
    EXPECT_EQ(Events.back(), "done 8 0");
    std::vector<std::string> all = body;
    if (run == 2)
      all.insert(all.end(), body.begin(), body.end());
    EXPECT_TRUE(lines == all) << lines.size() << " lines";
    if (run == 0) {
      EXPECT_GT(largest, 4096);
      EXPECT_LE(largest, 262144);
    }
    Cli.Quit();
    ASSERT_TRUE(WaitDone());
    ASSERT_TRUE(PumpUntil([&] { return Cli.State() == nntpNotConnected; }));
    EXPECT_EQ(server.Received().size(), run == 2 ? 3u : 2u);
    EXPECT_EQ(Cli.TlsError(), "");
    EXPECT_EQ(front.Failures(), Trace{});
  }
}

TEST(ParseListLine, SplitsNameNumbersAndFlag) {
  std::string name;
  std::int64_t last = -1, first = -1;
  char flag = '?';
  ParseListLine(" \talt.binaries.x\t0000012345 0000000100 y", name, last, first, flag);
  EXPECT_EQ(name, "alt.binaries.x");
  EXPECT_EQ(last, 12345);
  EXPECT_EQ(first, 100);
  EXPECT_EQ(flag, 'y');
  ParseListLine("short", name, last, first, flag); // ends early: zeros and NUL
  EXPECT_EQ(name, "short");
  EXPECT_EQ(last, 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(flag, '\0');
}

} // namespace
