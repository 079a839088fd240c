#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <QDir>

#include <algorithm>
#include <chrono>
#include <numeric>

using Lines = std::vector<std::string>;
using namespace std::string_literals;

namespace {

// A file uuencoded over three articles, numbered 1 to 3.
std::vector<TNewsArticle> Thirds(const std::string& name, const std::string& data) {
  const Lines lines = UU(name, data);
  const long third = long(lines.size() / 3);
  return {Post(1, 250, {lines.begin(), lines.begin() + third}),
          Post(2, 250, {lines.begin() + third, lines.begin() + 2 * third}),
          Post(3, 250, {lines.begin() + 2 * third, lines.end()})};
}

} // namespace

class Controller : public WalkTest {
protected:
  void Skip(std::int64_t n) { Child->SkipClick(n); }
  std::string Buttons() const { return Child->Buttons(); }
  long Logged(const std::string& line) const {
    const Lines memo = Child->MemoLines();
    return std::count(memo.begin(), memo.end(), line);
  }
  // Articles of a file each, fN.bin of size random bytes, named in names.
  static std::vector<TNewsArticle> EachAFile(const std::vector<std::int64_t>& numbers, int lines,
                                             std::size_t size, Lines& names) {
    std::vector<TNewsArticle> posts;
    for (const std::int64_t n : numbers) {
      names.push_back("f" + std::to_string(n) + ".bin");
      posts.push_back(Post(n, lines, UU(names.back(), RandomBytes(size, unsigned(n)))));
    }
    return posts;
  }
  QStringList Files(const QStringList& filters = {}) const {
    return QDir(QString::fromStdString(Folder())).entryList(filters, QDir::Files);
  }
};

TEST_F(Controller, SkipCountsFromTheArticleInHandAndStopsAtTheEnd) {
  Store(102);
  Values.min = Values.max = "500"; // Max not above Min: 500 to 50500
  Server.ServeGroup("alt.test", {Post(101, 600), Post(102, 50500, {"text"}), Post(103, 600), Post(104, 600),
                                 Post(105, 50501), Post(106, 600), Post(107, 600), Post(108, 600)});
  Open();
  OnLine("Lines: 50500", [&] { Skip(2); });   // while the HEAD of 102 is out
  OnLine("Lines: 50501", [&] { Skip(100); }); // past the end
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 102", "BODY 102", "HEAD 105", "QUIT"}));
  EXPECT_EQ(Panel(1) + " " + Panel(2), "105 108");
  CloseExpecting(109);
  AppendText(Folder() + "dati.ini", "x"); // a second close stores nothing
  Child->FormClose(Child.get());
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(109) + "x");
}

// A pressed while the second of three articles of a file arrives ends the
// walk without decoding the unfinished block: nothing truncated is saved or
// listed. R goes on with the third article into the same part file, within
// the range of the first GROUP reply though the group has grown since. X in
// a body throws its part away and offers R, which would start again with
// that article; so does the next session.
TEST_F(Controller, StopAfterKeepsAnUnfinishedBlockForRestartAndStopThrowsAPartAway) {
  const std::string kilo = RandomBytes(6000, 3);
  std::vector<TNewsArticle> posts = Thirds("kilo.bin", kilo);
  posts.insert(posts.end(), {Post(4, 250, UU("d.bin", RandomBytes(4000, 4))), Post(5, 250, {}, 2)});
  Server.ServeGroup("alt.test", posts);
  Open();
  OnLine(posts[1].Body[5], [&] { Child->AfterClick(); });
  OnLine("begin 644 d.bin", [&] { Child->StopClick(); });
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
  EXPECT_EQ(Panel(0), "Downloading Interrupted by User");
  EXPECT_EQ(Buttons(), "X-R-");
  EXPECT_EQ(Logged("Unfinished part file kept open 1.UUE "), 1);
  EXPECT_EQ(Files(), QStringList{"1.UUE"});
  EXPECT_EQ(Child->Saved(), Lines{});
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->RestartClick();
  EXPECT_EQ(Buttons(), "XA-S");
  // The status still shows the first stop until the pacer's next update: X
  // is seen by the buttons it leaves.
  ASSERT_TRUE(PumpUntil([&] { return Buttons() == "--R-"; }));
  PumpFor(50);
  EXPECT_EQ(Server.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 1", "BODY 1", "HEAD 2", "BODY 2", "QUIT",
                   "GROUP alt.test", "HEAD 3", "BODY 3", "HEAD 4", "BODY 4"}));
  EXPECT_EQ(ReadFile(Folder() + "kilo.bin"), kilo);
  EXPECT_EQ(Child->Saved(), Lines{"kilo.bin"});
  EXPECT_EQ(Files(), QStringList{"kilo.bin"});
  EXPECT_EQ(Buttons(), "--R-");
  EXPECT_EQ(Panel(2), "4");
  EXPECT_EQ(Child->MemoLines().back(), "Session Closed Request Done ");
  CloseExpecting(4);
  EXPECT_TRUE(Errors.empty());
}

// After the abort, the refused HEAD of 2 must not inherit the Lines: of 1.
TEST_F(Controller, BodyWithoutDataPastTheWaitingLimitReconnectsAndGoesOn) {
  Values.waiting = "3";
  const std::string e = RandomBytes(2000, 5);
  Server.ServeGroup("alt.test", {Post(1, 250, Lines(10, "chatter")), Post(3, 250, UU("e.bin", e))});
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 1", "BODY 1",
                                      "GROUP alt.test", "HEAD 2", "HEAD 3", "BODY 3", "QUIT"}));
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(
      Lines(memo.begin() + 9, memo.begin() + 14),
      (Lines{"DOWNLOAD ABORTED, MAX WAITING LINES ", "Session Closed Request Done ",
             "Processing Internal Abort Request Done ", "Request Header 2 ", "Error #423 Request Done "}));
  EXPECT_EQ(ReadFile(Folder() + "e.bin"), e);
  EXPECT_EQ(Server.Connections(), 2);
}

// The socket's errors are given in words; a name that does not resolve is
// named. The caption says the window is not connected, and a line of advice
// says what to do. R after a failed connect starts the walk, which runs to
// its end.
TEST_F(Controller, FailedConnectIsReportedInWordsAndRestartStartsTheWalk) {
  Store(5);
  Open(); // nothing listens yet
  const std::string refused = "Error #10061 Connection refused";
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Not Connected: " + refused; }));
  PumpFor(30);
  const std::string portAdvice = "is the port right? plain NNTP is usually 119, TLS 563";
  EXPECT_EQ(Child->MemoLines(), (Lines{"CONNECTING.... ", "Session Closed ", refused + " Request Done ",
                                       "Error Connecting ! ", portAdvice + " "}));
  EXPECT_EQ(Child->Advice(), portAdvice);
  EXPECT_EQ(Buttons(), "XARS");
  EXPECT_EQ(Child->Caption, Captioned("Not Connected"));
  Skip(2); // kept until the walk has started
  Server.ServeGroup("alt.test",
                    {Post(4, 10), Post(5, 10), Post(6, 10), Post(7, 10), Post(8, 10), Post(9, 10)});
  Child->RestartClick();
  EXPECT_EQ(Child->Caption, Captioned("Decoding"));
  EXPECT_EQ(Child->Advice(), "");
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 5", "HEAD 8", "HEAD 9", "QUIT"}));
  EXPECT_EQ(Child->Caption, Captioned("Download Done"));
  EXPECT_EQ(Panel(0), "Downloading Done");
  CloseExpecting(10);

  Values.server = "no..such.host:119"; // refused before any query leaves the machine
  Open();
  ASSERT_TRUE(PumpUntil([&] { return Child->Commands().Restart; }, 30000));
  const std::string notFound = "Error #11001 Host not found (no..such.host)";
  EXPECT_EQ(Logged(notFound + " Request Done "), 1);
  EXPECT_EQ(Panel(0), "Not Connected: " + notFound);
  EXPECT_EQ(Child->Advice(), "check the server's name in Configure");
  EXPECT_EQ(Logged("check the server's name in Configure "), 1);
  EXPECT_EQ(Child->Caption, Captioned("Not Connected"));
  Child->FormClose();

  // A server of plain NNTP written as one of TLS.
  Use(Server, "nntps://");
  Open();
  ASSERT_TRUE(PumpUntil([&] { return Child->Commands().Restart; }));
  EXPECT_EQ(Child->Advice(), "the server did not answer TLS on this port: write the entry without nntps:// "
                             "or with the TLS port")
      << Panel(0);
  EXPECT_EQ(Child->Caption, Captioned("Not Connected"));
  EXPECT_TRUE(Errors.empty());
}

// A window that examined nothing leaves the stored position as it was: a
// start-up that stopped early, an idle look at an up-to-date group (a 64-bit
// position read as 0 would walk the whole group again), a failed connect, a
// close before the first GROUP reply.
// A start-up that stops says why in the status and offers only R, and that
// only when a second try may go further: a folder that could not be made.
TEST_F(Controller, WindowThatExaminedNothingKeepsThePosition) {
  const std::string cwd = QDir::currentPath().toStdString();
  Values.min = "abc";
  Open();
  EXPECT_EQ(Panel(0), "'abc' is not a valid integer value");
  EXPECT_EQ(Buttons(), "----");
  EXPECT_EQ(Child->Caption, Captioned("Not Started"));
  EXPECT_EQ(Child->Advice(), "");
  Child->FormClose();
  Values.min = "1";
  Values.pacing = "fast";
  Open();
  EXPECT_EQ(Buttons(), "----");
  Child->FormClose();
  Values.pacing = "1";
  const std::string blocker = Values.path + "file";
  AppendText(blocker, "");
  Values.path += "file/";
  Open();
  const std::string folderError =
      "Cannot create folder " + Folder().substr(0, Folder().size() - 1) + ": Not a directory";
  EXPECT_EQ(Panel(0), folderError);
  EXPECT_EQ(Buttons(), "--R-");
  EXPECT_EQ(Child->Advice(), "choose another download path in Configure");
  EXPECT_EQ(Child->MemoLines(), Lines{"choose another download path in Configure "});
  DeleteFile(blocker);
  Child->RestartClick(); // the folder can be made now; nothing listens yet
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Not Connected: Error #10061 Connection refused"; }));
  EXPECT_TRUE(QDir(QString::fromStdString(Folder())).exists());
  Child->FormClose();
  EXPECT_EQ(Errors, (Lines{"'abc' is not a valid integer value", "'fast' is not a valid integer value",
                           folderError}));
  EXPECT_FALSE(FileExists(cwd + "/dati.ini"));
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"file"});
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(0));

  Values.path = Dir.path().toStdString() + "/";
  Store(3000000000);
  Values.min = "2147483647";
  Values.max = "0";
  Server.ServeGroup("alt.test", {Post(101, 10)});
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->FMaxLines, INT32_MAX);
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "QUIT"}));
  EXPECT_EQ(Child->MemoLines()[4], "Downloading Done Request Done ");
  EXPECT_EQ(Child->GroupProgressShown, 1000);
  CloseExpecting(3000000000);

  TScriptedNewsServer refusing, silent;
  silent.Reply("200 ready").Expect("GROUP alt.test").Silent().Start();
  for (const TScriptedNewsServer* server : {&refusing, &silent}) {
    Use(*server);
    Store(42);
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Child->Commands().Restart || server->Received().size() == 1; }));
    CloseExpecting(42);
  }
}

// A group the server refuses at the start stops the walk with the reason,
// keeps the position and offers R, as on a later connection.
TEST_F(Controller, GroupRefusedAtTheStartStopsTheWalkAndRestartTriesAgain) {
  for (const char* refusal : {"411 no such group", "502 not for you"})
    Server.Reply("200 ready").Expect("GROUP alt.test").Reply(refusal).Expect("QUIT").Reply("205 bye").Close();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 1 7 7 alt.test");
  Server.Expect("LIST OVERVIEW.FMT")
      .Reply("500 what")
      .Expect("HEAD 7")
      .Send("221 7 <a@b>\r\nLines: 5\r\n.\r\n");
  Server.Expect("QUIT").Reply("205 bye").Start();
  Store(6);
  Open();
  for (const std::string why :
       {"Group alt.test not found on 127.0.0.1", "Group alt.test refused by 127.0.0.1"}) {
    ASSERT_TRUE(PumpUntil([&] { return Panel(0) == why && Child->Nntp.State() == nntpNotConnected; }));
    EXPECT_EQ(Logged(why + " Request Done "), 1);
    EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
    EXPECT_EQ(Buttons(), "X-R-");
    Child->RestartClick();
  }
  ASSERT_TRUE(PumpUntil([&] { return Server.Finished(); }));
  PumpFor(30);
  EXPECT_EQ(Server.Failures(), Lines{});
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->Caption, Captioned("Download Done"));
  CloseExpecting(8);
  EXPECT_TRUE(Errors.empty());
}

// Closing before an article is done with stores that article, with the
// headers as with the overview: between its header and its body, and in the
// middle of a body, whose part file goes. A file posted over several
// articles makes the next session start with its first article, so that it
// gathers the file whole.
TEST_F(Controller, CloseBeforeAnArticleIsDoneWithStoresIt) {
  const std::string a = RandomBytes(3000, 1);
  const Lines aLines = UU("a.bin", a);
  Server.ServeGroup("alt.test", {Post(1, 250, aLines), Post(2, 250, {"text"})});
  Open();
  OnLine("Lines: 250", [&] { Child->Timer1.setInterval(60000); });
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Request Body 1"; }));
  CloseExpecting(1);
  Open();
  OnLine(aLines[5], [&] { Child->FormClose(); });
  ASSERT_TRUE(PumpUntil([&] { return Child->FClosed; }));
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(1));
  EXPECT_EQ(Files(), QStringList{"dati.ini"});
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  CloseExpecting(3);

  TScriptedNewsServer overview;
  const std::string kilo = RandomBytes(6000, 3);
  std::vector<TNewsArticle> posts = Thirds("kilo.bin", kilo);
  // A block that never ends holds the position no more than 1000 articles.
  posts.insert(posts.end(), {Post(5, 250, UU("open.bin", a, {})), Post(1200, 1, {"x"})});
  overview.OfferOverview();
  overview.ServeGroup("alt.test", posts);
  Use(overview);
  Values.min = "20"; // the overview counts the body lines
  Open();
  OnLine(posts[1].Body[5], [&] { Child->FormClose(); });
  ASSERT_TRUE(PumpUntil([&] { return Child->FClosed; }));
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(1));
  EXPECT_EQ(Files({"*.UUE"}), QStringList{}); // gathered again
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "kilo.bin"), kilo);
  EXPECT_EQ(Child->Saved(), Lines{"kilo.bin"});
  EXPECT_EQ(overview.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "QUIT", "GROUP alt.test", "XOVER 1-1000",
                   "XOVER 1001-1200", "ARTICLE 1", "ARTICLE 2", "GROUP alt.test", "LIST OVERVIEW.FMT", "QUIT",
                   "GROUP alt.test", "XOVER 1-1000", "XOVER 1001-1200", "ARTICLE 1", "ARTICLE 2", "ARTICLE 3",
                   "ARTICLE 5", "QUIT"}));
  CloseExpecting(1201);
  EXPECT_EQ(Files({"*.UUE"}), QStringList{"2.UUE"});
  EXPECT_TRUE(Errors.empty());
}

namespace {

std::string Overview(const std::string& number, const std::string& lines, const std::string& subject = "s") {
  return number + "\t" + subject + "\tf\td\t<m@x>\t\t100\t" + lines + "\r\n";
}

const std::string Format =
    "215 fields\r\nSubject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\n:bytes\r\n:lines\r\n"
    "Xref:full\r\n.\r\n";

// The window's own connection selects the group, reads the overview's
// format and quits; the walk's connection selects the group.
void HandOver(TScriptedNewsServer& server, const std::string& group) {
  server.Reply("200 ready").Expect("GROUP alt.test").Reply(group).Expect("LIST OVERVIEW.FMT").Send(Format);
  server.Expect("QUIT").Reply("205 bye").Close();
  server.Reply("200 ready").Expect("GROUP alt.test").Reply(group);
}

} // namespace

// Lines that cannot be read, numbers out of the block or out of order: none
// of those articles is fetched, the block's line counts them. A skip passes
// the in-range articles it covers; the stored position never passes an
// article in range that was not asked for yet.
TEST_F(Controller, HostileOverviewIsPassedOverAndTheStoredPositionWaitsForTheArticlesInRange) {
  HandOver(Server, "211 1500 1 1500 alt.test");
  Server.Expect("XOVER 1-1000");
  Server.Send("224 overview\r\n" + Overview("1", "250") + Overview("2", "many") + "3\ts\r\n" +
              Overview("x4", "250") + Overview("5", "10") + Overview("1200", "250") + Overview("6", " 260 ") +
              Overview("6", "260") + Overview("8", "250", std::string(3000, 's')) + Overview("9", "") +
              ".\r\n");
  Server.Expect("XOVER 1001-1500").Send("224 overview\r\n" + Overview("1200", "300") + ".\r\n");
  Server.Expect("ARTICLE 1").Send("220 1 <a@b>\r\nLines: 250\r\n\r\nhello\r\n.\r\n");
  Server.Expect("ARTICLE 8").Send("220 8 <c@d>\r\nSubject: x\r\n\r\nworld\r\n.\r\n");
  Server.Expect("ARTICLE 1200").Silent().Start();
  Open();
  OnLine("hello", [&] { Skip(5); });
  ASSERT_TRUE(PumpUntil([&] { return Child->MemoLines().back() == "Scanned 1001-1500: 1 in range "; }));
  EXPECT_EQ(Server.Failures(), Lines{});
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(Lines(memo.end() - 4, memo.end()),
            (Lines{"Scanned 1-1000: 3 in range, 5 unreadable ", "Request Article 1 Lines: 250 Request Done ",
                   "Request Article 8 Request Done ", "Scanned 1001-1500: 1 in range "}));
  EXPECT_EQ(Panel(1), "1200");
  CloseExpecting(1200);
  EXPECT_TRUE(Errors.empty());
}

// A server whose replies fall out of step with the overviews and articles
// in flight: one that sends a reply twice, so that the second overview
// gets the first's lines, and one that answers an article with another,
// also when asked alone. The reply that does not fit drops its
// connection, what was in flight on it is asked for again one request at
// a time, and every file is saved once.
TEST_F(Controller, RepliesThatAnswerAnotherRequestAreAskedForAgainOneAtATime) {
  ByOverview();
  Lines names;
  const std::vector<TNewsArticle> posts = EachAFile({1, 2, 3, 1001, 1002, 2001}, 69, 3000, names);
  for (const bool twice : {true, false}) {
    TScriptedNewsServer server;
    server.OfferOverview();
    if (twice)
      server.RepeatReply("XOVER 1-1000");
    else
      server.AnswerWith(1001, 1002, 2);
    server.ServeGroup("alt.test", posts);
    Use(server);
    Store(1);
    Open();
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(Logged("127.0.0.1 mishandles pipelined requests: one request at a time from now on "), 1);
    EXPECT_EQ(Child->Saved(), names);
    EXPECT_EQ(Logged("Scanned 1001-2000: 2 in range "), 1);
    EXPECT_EQ(Panel(0), "Downloading Done");
    CloseExpecting(2002);
  }
  EXPECT_TRUE(Errors.empty());
}

// Articles with a line too long to hold, twelve in a row, each closing the
// connection with requests in flight behind it, among them the overview of
// the fifth block, asked for once the articles ahead have gone down: only
// those articles are passed over, the requests behind them go out again,
// and each close is the first try of the back-off, as the long line came
// in answer to a request. The walk saves every other file.
TEST_F(Controller, ArticlesWithALineTooLongArePassedOverAndTheWalkGoesOn) {
  ByOverview();
  std::vector<std::int64_t> numbers(30);
  std::iota(numbers.begin(), numbers.end(), 1);
  numbers.insert(numbers.end(), {1001, 2001, 3001, 4001, 4002});
  Lines names;
  std::vector<TNewsArticle> posts = EachAFile(numbers, 30, 1000, names);
  for (std::size_t i = 18; i < 30; ++i) {
    posts[i].Header.push_back("X-Long: " + std::string(5000, 'x'));
    posts[i].Body = Lines(30, "text");
  }
  names.erase(names.begin() + 18, names.begin() + 30);
  Server.ServeGroup("alt.test", posts);
  Store(1);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->Saved(), names);
  EXPECT_EQ(Mentions("Line too long in article "), 12);
  EXPECT_EQ(Mentions("Line too long in the overview"), 0);
  EXPECT_EQ(Mentions(" reconnecting in "), Mentions(" reconnecting in 1 s (try 1 of 10)"));
  CloseExpecting(4003);
  EXPECT_TRUE(Errors.empty());
}

// Numbers of 19 digits are read from the overview like shorter ones, up to
// the largest a server may give.
TEST_F(Controller, OverviewNumbersOfNineteenDigitsAreFetched) {
  Values.min = "20";
  Values.max = "500";
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(3000, 2);
  const std::int64_t first = 999999999999999999;
  Server.OfferOverview();
  Server.ServeGroup("alt.test", {Post(first, 69, UU("a.bin", a)), Post(first + 1, 69, UU("b.bin", b)),
                                 Post(first + 2, 1, {"x"})});
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "QUIT", "GROUP alt.test",
                                      "XOVER 999999999999999999-1000000000000000001",
                                      "ARTICLE 999999999999999999", "ARTICLE 1000000000000000000", "QUIT"}));
  EXPECT_EQ(Logged("Scanned 999999999999999999-1000000000000000001: 2 in range "), 1);
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin"}));
  CloseExpecting(first + 3);
  EXPECT_TRUE(Errors.empty());
}

// A refused XOVER hands the rest of the walk to the headers; 420 is a block
// without articles, no error.
TEST_F(Controller, RefusedOverviewLeavesTheWalkToHeaders) {
  HandOver(Server, "211 2 1 1002 alt.test");
  Server.Expect("XOVER 1-1000").Reply("420 no articles");
  Server.Expect("XOVER 1001-1002").Reply("502 not for you").Expect("QUIT").Reply("205 bye").Close();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 1002 alt.test");
  Server.Expect("HEAD 1001").Reply("423 gone");
  Server.Expect("HEAD 1002").Reply("423 gone").Expect("QUIT").Reply("205 bye").Start();
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Failures(), Lines{});
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(
      Lines(memo.begin() + 5, memo.begin() + 11),
      (Lines{"Fetching over 1 connection Request Done ", "Session Closed ", "Scanned 1-1000: no articles ",
             "Error #502 ", "Overview refused, requesting headers Request Done ", "Request Header 1001 "}));
  CloseExpecting(1003);
}

// A line too long to hold closes the connection, and would again: the
// block's overview is replaced by its headers, an article is passed over.
TEST_F(Controller, LineTooLongIsNotAskedForAgainAfterTheReconnect) {
  const std::string tooLong(5000, 'x');
  HandOver(Server, "211 3 1 3 alt.test");
  Server.Expect("XOVER 1-3").Send("224 overview\r\n" + Overview("1", "250", tooLong)).ExpectClosed();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  Server.Expect("HEAD 1").Send("221 1 <a@b>\r\nLines: 5\r\n.\r\n");
  Server.Expect("HEAD 2").Send("221 2 <c@d>\r\nSubject: " + tooLong + "\r\n").ExpectClosed();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  Server.Expect("HEAD 3").Send("221 3 <e@f>\r\nLines: 5\r\n.\r\n").Expect("QUIT").Reply("205 bye").Start();
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Failures(), Lines{});
  EXPECT_EQ(Logged("Line too long in the overview of 1-3, requesting headers Request Done "), 1);
  EXPECT_EQ(Logged("Line too long in article 2, passed over "), 1);
  EXPECT_EQ(Logged("Reconnecting in 1 s (try 1 of 10) Request Done "), 1);
  CloseExpecting(4);
}

// A server that closes the connection while the walk waits for its next
// tick: the window reconnects and makes that request then. A pressed
// while the overview's format is asked for, then R: the format is asked for
// again and the first article is fetched, not passed.
TEST_F(Controller, ConnectionClosedBetweenRequestsAndStopAfterBeforeTheFirstArticle) {
  Values.pacing = "200";
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  Server.Expect("LIST OVERVIEW.FMT").Reply("503 no overview");
  Server.Expect("HEAD 1").Send("221 1 <a@b>\r\nLines: 5\r\n.\r\n").Pause(50).Close();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 3 1 3 alt.test");
  Server.Expect("HEAD 2").Send("221 2 <c@d>\r\nLines: 5\r\n.\r\n");
  Server.Expect("HEAD 3").Send("221 3 <e@f>\r\nLines: 5\r\n.\r\n").Expect("QUIT").Reply("205 bye").Start();
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Failures(), Lines{});
  EXPECT_EQ(Logged("Reconnecting in 1 s (try 1 of 10) Request Done "), 1);
  EXPECT_TRUE(Errors.empty());
  CloseExpecting(4);

  TScriptedNewsServer second;
  second.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 5 6 alt.test");
  second.Expect("LIST OVERVIEW.FMT").Send(Format).Expect("QUIT").Reply("205 bye").Close();
  HandOver(second, "211 2 5 6 alt.test");
  second.Expect("XOVER 5-6");
  second.Send("224 overview\r\n" + Overview("5", "250") + Overview("6", "10") + ".\r\n");
  second.Expect("ARTICLE 5").Send("220 5 <g@h>\r\nLines: 250\r\n\r\nhello\r\n.\r\n");
  second.Expect("QUIT").Reply("205 bye").Start();
  Use(second);
  Store(5);
  Open();
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Request Overview Format"; }));
  Child->AfterClick();
  ASSERT_TRUE(WaitEnd());
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->RestartClick();
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Downloading Done"; }));
  PumpFor(50);
  EXPECT_EQ(second.Failures(), Lines{});
  CloseExpecting(7);

  // The group refused on the new connection: the walk stops there, R
  // offered, and the article cut short is still to come.
  TScriptedNewsServer third;
  third.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  third.Expect("LIST OVERVIEW.FMT").Reply("503 no overview");
  third.Expect("HEAD 1").Send("221 1 <a@b>\r\nLines:").Close();
  third.Reply("200 ready").Expect("GROUP alt.test").Reply("411 no such group");
  third.Expect("QUIT").Reply("205 bye").Close().Start();
  Use(third);
  Store(1);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Panel(0), "Group alt.test not found on 127.0.0.1");
  EXPECT_EQ(Buttons(), "X-R-");
  EXPECT_EQ(third.Failures(), Lines{});
  CloseExpecting(1);
}

// Lines: comes from the overview in blocks of 1,000, each asked for ahead of
// the articles; only the articles in range are fetched, with ARTICLE: a
// file posted over two articles in two blocks, a single-part MIME article.
// The connection is lost in three bodies: one that started its own part
// file (deleted, and fetched again), the second part of b.bin (its part
// file goes back to where the body began and takes it again), and the
// single-part article, by a reset. Two failed tries wait longer each time.
// Every file decodes once; the log keeps one line per article, in order.
TEST_F(Controller, OverviewWalkFetchesTheArticlesInRangeAndResumesEachCutBody) {
  Values.pacing = "0";
  Values.inFlight = "1"; // a server closing with commands unread would reset: the log would vary
  Values.min = "20";
  Values.max = "500";
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(9000, 2), c = RandomBytes(4000, 3);
  const Lines bLines = UU("b.bin", b);
  const auto half = bLines.begin() + long(bLines.size() / 2);
  Server.OfferOverview();
  Server.CutBody(1);
  Server.CutBody(1500);
  Server.CutBody(2003, true);
  Server.ServeGroup("alt.test",
                    {Post(1, 69, UU("a.bin", a)), Post(2, 1, {"short"}), Post(5, 600, Lines(600, "x")),
                     Post(998, 102, {bLines.begin(), half}), Post(1000, 1, {"x"}),
                     Post(1500, 102, {half, bLines.end()}), SinglePartPost(2003, 53, "c.bin", c)});
  Open();
  EXPECT_EQ(Child->Timer1.interval(), 0);
  bool dropped = false; // the first time only, not when the body comes again
  OnLine("begin 644 a.bin", [&] { Server.DropConnections(std::exchange(dropped, true) ? 0 : 2); });
  ASSERT_TRUE(WaitEnd());
  ASSERT_TRUE(PumpUntil([&] { return Server.Received().back() == "QUIT"; }));
  EXPECT_EQ(Server.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "QUIT", "GROUP alt.test", "XOVER 1-1000",
                   "ARTICLE 1", "GROUP alt.test", "XOVER 1001-2000", "ARTICLE 1", "XOVER 2001-2003",
                   "ARTICLE 998", "ARTICLE 1500", "GROUP alt.test", "ARTICLE 1500", "ARTICLE 2003",
                   "GROUP alt.test", "ARTICLE 2003", "QUIT"}));
  EXPECT_EQ(Server.Connections(), 7);
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(Lines(memo.begin() + 4, memo.end()),
            (Lines{"Request Overview Format Request Done ",
                   "Fetching over 1 connection Request Done ",
                   "Session Closed ",
                   "Scanned 1-1000: 2 in range ",
                   "Request Article 1 Lines: 69 begin 644 a.bin ",
                   "Error #10101 Graceful shutdown in progress ",
                   "Unfinished part file discarded 1.UUE ",
                   "Connection 1 reconnecting in 1 s (try 1 of 10) ",
                   "Connection 1 reconnecting in 2 s (try 2 of 10) ",
                   "Connection 1 reconnecting in 4 s (try 3 of 10) ",
                   "Request Article 1 Lines: 69 begin 644 a.bin Request Done ",
                   "Request Article 998 Lines: 102 begin 644 b.bin Request Done ",
                   "Scanned 1001-2000: 1 in range ",
                   "Request Article 1500 Lines: 102 ",
                   "Error #10101 Graceful shutdown in progress ",
                   "Part file rewound 3.UUE ",
                   "Connection 1 reconnecting in 1 s (try 1 of 10) ",
                   "Request Article 1500 Lines: 102 Request Done ",
                   "Scanned 2001-2003: 1 in range ",
                   "Request Article 2003 Lines: 53 c.bin Mime base64 ",
                   "Error #10054 Connection reset by peer ",
                   "Unfinished part file discarded 4.B64 ",
                   "Connection 1 reconnecting in 1 s (try 1 of 10) ",
                   "Request Article 2003 Lines: 53 c.bin Mime base64 Request Done ",
                   "Downloading Done "}));
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
  EXPECT_EQ(ReadFile(Folder() + "c.bin"), c);
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(Files(), (QStringList{"a.bin", "b.bin", "c.bin"}));
  CloseExpecting(2004);
  EXPECT_TRUE(Errors.empty());
}

// The subject filter chooses with the Lines: range: from the overview, whose
// format places the Subject field, and from the Subject header, folded lines
// and all, when the walk reads headers. What it passes over counts as
// examined.
TEST_F(Controller, SubjectFilterChoosesFromTheOverviewAndFromTheHeaders) {
  Values.filter = "*.jpg, *.png ,!*sample*";
  Values.min = "1";
  Values.max = "30";
  auto post = [](std::int64_t n, const std::string& subject, std::size_t size = 100) {
    const Lines body = UU("f" + std::to_string(n) + ".bin", RandomBytes(size, unsigned(n)));
    return TNewsArticle{n, {"Subject: " + subject, "Lines: " + std::to_string(body.size())}, body};
  };
  const std::vector<TNewsArticle> posts = {post(1, "Holiday.JPG"), post(2, "holiday SAMPLE.jpg"),
                                           post(3, "notes.txt"), post(4, "x.png", 2000), post(5, "x.png")};
  Server.OfferOverview({"From:", "Subject:", "Lines:"});
  Server.ServeGroup("alt.test", posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  ASSERT_TRUE(PumpUntil([&] { return Server.Received().back() == "QUIT"; }));
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "QUIT", "GROUP alt.test",
                                      "XOVER 1-5", "ARTICLE 1", "ARTICLE 5", "QUIT"}));
  EXPECT_EQ(Child->Saved(), (Lines{"f1.bin", "f5.bin"}));
  CloseExpecting(6);

  TScriptedNewsServer heads;
  heads.OfferOverview({"Subject:", "X-Lines:"}); // no Lines: every header is read
  TNewsArticle folded = post(3, "a long subject");
  folded.Header.insert(folded.Header.begin() + 1, "\tthat goes on: x.png");
  heads.ServeGroup("alt.test", {posts[0], posts[1], folded, post(4, "y.gif")});
  Use(heads);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(heads.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 1", "BODY 1", "HEAD 2",
                                     "HEAD 3", "BODY 3", "HEAD 4", "QUIT"}));
  EXPECT_EQ(Child->Saved(), (Lines{"f1.bin", "f3.bin"}));
  CloseExpecting(5);
  EXPECT_TRUE(Errors.empty());
}

// Ten tries, 1 to 60 s apart; then the window waits for R, which takes up
// the body that was cut short.
TEST_F(Controller, BackOffGivesUpAfterTenTriesAndRestartTakesUpTheCutBody) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(5000, 2);
  Server.CutBody(2);
  Server.ServeGroup("alt.test", {Post(1, 250, UU("a.bin", a)), Post(2, 250, UU("b.bin", b)), Post(3, 10)});
  Open();
  OnLine("begin 644 b.bin", [&] { Server.DropConnections(1000); });
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Connection lost"; }));
  PumpFor(30);
  Lines tries, expected;
  for (const std::string& line : Child->MemoLines())
    if (line.rfind("Reconnecting", 0) == 0)
      tries.push_back(line);
  for (const int i : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})
    expected.push_back("Reconnecting in " + std::to_string(std::min(1 << (i - 1), 60)) + " s (try " +
                       std::to_string(i) + " of 10) ");
  EXPECT_EQ(tries, expected);
  EXPECT_EQ(Child->MemoLines().back(), "Connection lost ");
  EXPECT_EQ(Server.Connections(), 11);
  EXPECT_EQ(Buttons(), "XARS");

  Server.DropConnections(0);
  Child->RestartClick();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 1", "BODY 1", "HEAD 2",
                                      "BODY 2", "GROUP alt.test", "BODY 2", "HEAD 3", "QUIT"}));
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
  CloseExpecting(4);
  EXPECT_TRUE(Errors.empty());
}

// Every connection of the walk is dropped before its greeting, between the
// window's own QUIT and the walk's start, as by a restarting server: each
// tries again with the back-off, and the walk goes on once they are back
// and saves every file. A server that drops them for good stops the walk
// "Not Connected" once each has had its tries. The refusal is logged once,
// the tries of the first connection to fail for all.
TEST_F(Controller, WalkConnectionsRefusedAtTheStartTryAgain) {
  ByOverview("500", "4");
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(4000, 2);
  Server.ServeGroup("alt.test", {Post(1, 69, UU("a.bin", a)), Post(2, 69, UU("b.bin", b))});
  for (const int drops : {1000, 4}) {
    Open();
    OnLine("Lines:", [&, drops] { Server.DropConnections(drops); }); // the overview's format comes
    ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Downloading Done" || Panel(0) == "Not Connected"; }));
    EXPECT_EQ(Mentions("127.0.0.1 refused connection "), 1);
    if (drops == 4) {
      EXPECT_EQ(Panel(0), "Downloading Done");
      EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin"}));
      EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
      EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
      EXPECT_EQ(Mentions("Connection "), 1);
      EXPECT_EQ(Server.Connections(), 45 + 1 + 4 + 4);
      CloseExpecting(3);
    } else {
      EXPECT_EQ(Panel(0), "Not Connected");
      EXPECT_EQ(Child->Saved(), Lines{});
      EXPECT_EQ(Mentions("Connection "), 11); // ten tries, then given up
      EXPECT_EQ(Child->MemoLines().back(), "Not Connected ");
      EXPECT_EQ(Server.Connections(), 1 + 4 * 11);
      CloseExpecting(1);
      Server.DropConnections(0);
    }
  }
  EXPECT_TRUE(Errors.empty());
}

// While the window waits to reconnect after the second of three articles
// of a file was cut, A ends the walk there and X stops it: neither
// connects again or saves a truncated file, the caption and the status say
// the walk was interrupted, and the next session starts with the file's
// first article and gathers it whole.
TEST_F(Controller, StopAfterOrStopWhileWaitingToReconnectLosesNothing) {
  const std::string kilo = RandomBytes(6000, 3);
  Server.CutBody(2, false, 2);
  Server.ServeGroup("alt.test", Thirds("kilo.bin", kilo));
  for (const bool after : {true, false}) {
    Open();
    Child->FReconnectDelay = std::chrono::hours(1);
    ASSERT_TRUE(PumpUntil([&] { return Child->MemoLines().back() == "Reconnecting in 1 s (try 1 of 10) "; }));
    EXPECT_EQ(Logged("Part file rewound 1.UUE "), 1);
    after ? Child->AfterClick() : Child->StopClick();
    ASSERT_TRUE(PumpUntil([&] { return Child->Caption == Captioned("Downloading Interrupted"); }));
    PumpFor(30);
    EXPECT_EQ(Buttons(), after ? "X-R-" : "--R-");
    EXPECT_EQ(Panel(0), after ? "Downloading Interrupted" : "Downloading Interrupted by User");
    EXPECT_EQ(Server.Connections(), after ? 1 : 2);
    EXPECT_EQ(Files({"*.UUE"}), after ? QStringList{"1.UUE"} : QStringList{});
    EXPECT_EQ(Child->Saved(), Lines{});
    CloseExpecting(1);
  }
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "kilo.bin"), kilo);
  EXPECT_EQ(Files(), (QStringList{"dati.ini", "kilo.bin"}));
  CloseExpecting(4);
  EXPECT_TRUE(Errors.empty());
}

// X in the middle of a yEnc part records nothing of it; the close says what
// the file still misses.
TEST_F(Controller, StopDuringAYEncPartAndCloseReportTheMissingParts) {
  const auto parts = YEncParts(RandomBytes(30000, 9), "w.bin", 3);
  Server.ServeGroup("alt.test", {Post(7, 250, parts[0]), Post(8, 250, parts[2]), Post(9, 250, parts[1])});
  Open();
  OnLine(parts[1][5], [&] { Child->StopClick(); });
  ASSERT_TRUE(WaitEnd());
  PumpFor(50);
  EXPECT_EQ(Files(), (QStringList{"w.bin.partial", "w.bin.partial.parts"}));
  const std::string record = ReadFile(Folder() + "w.bin.partial.parts");
  EXPECT_NE(record.find("part=3 begin=20001 end=30000"), std::string::npos) << record;
  EXPECT_EQ(record.find("part=2"), std::string::npos) << record;
  Child->FormClose();
  EXPECT_EQ(Logged("part 2 of \"w.bin\": the article was cut short; part skipped "), 1);
  EXPECT_EQ(Child->MemoLines().back(), "w.bin: 1 of 3 parts missing ");
}
