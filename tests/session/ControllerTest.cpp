#include "tests/session/TestChild.h"

#include "platform/FileOps.h"
#include "platform/Guard.h"
#include "session/ServerAddress.h"
#include "session/StartValues.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

using Lines = std::vector<std::string>;

struct TValues : IStartValues {
  std::string server, group = "alt.test", min = "200", max = "300", waiting = "0", path;
  std::string Server() const override { return server; }
  std::string Group() const override { return group; }
  std::string MinLines() const override { return min; }
  std::string MaxLines() const override { return max; }
  std::string WaitingLines() const override { return waiting; }
  std::string DefaultExt() const override { return "bin"; }
  std::string DownloadPath() const override { return path; }
};

TNewsArticle Post(std::int64_t n, int lines, Lines body = {}, int fromConnection = 1) {
  return {n, {"Subject: post " + std::to_string(n), "Lines: " + std::to_string(lines)}, body, fromConnection};
}

Lines UU(const std::string& name, const std::string& data, Lines end = {"end"}) {
  return Join({{"begin 644 " + name}, UULines(data), end});
}

std::string Stored(std::int64_t n) { return "[READED]\r\nLAST=" + std::to_string(n) + "\r\n"; }

} // namespace

class Controller : public ::testing::Test {
protected:
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Values.path = Dir.path().toStdString() + "/";
    Values.server = "127.0.0.1:" + Server.PortText();
    StartValues = &Values;
  }
  void TearDown() override {
    StartValues = nullptr;
    SetErrorDisplay(Previous);
  }
  std::string Folder() const { return Values.path + Values.server + "/" + Values.group + "/"; }
  void Store(std::int64_t n) {
    CreateFolder(Folder());
    AppendText(Folder() + "dati.ini", Stored(n));
  }
  void Open() {
    Child = std::make_unique<TTestChild>();
    Child->Timer1->setInterval(1);
    Child->show();
    Guarded([&] { Child->FormCreate(Child.get()); });
  }
  // A walk ends with its QUIT answered (or an abort): the caption says so.
  bool WaitEnd() {
    return PumpUntil([&] { return Child->windowTitle() == "Downloading Interrupted"; });
  }
  void CloseExpecting(std::int64_t stored) {
    Child->close();
    EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(stored));
  }
  // Runs action once line has reached the scanner, as if clicked right then.
  void OnLine(const std::string& line, std::function<void()> action) {
    Child->Nntp.OnMessageLine = [this, scan = Child->Nntp.OnMessageLine, line, action](TObject* sender) {
      scan(sender);
      if (Child->Nntp.LastResponse() == line)
        action();
    };
  }
  void Skip(const char* n) {
    Child->EdArticlesToSkip->setText(n);
    Child->Skip->click();
  }
  std::string Panel(int i) const { return Child->SB1Panels[std::size_t(i)]->text().toStdString(); }
  std::string Buttons() const {
    std::string s;
    for (QPushButton* b : {Child->Stop, Child->After, Child->Restart, Child->Skip})
      s += b->isEnabled() ? b->text().toStdString() : "-";
    return s;
  }

  QTemporaryDir Dir;
  TValues Values;
  TScriptedNewsServer Server;
  std::unique_ptr<TTestChild> Child;
  Lines Errors;
  TErrorDisplay Previous;
};

// The window as the main window opens it: in a sub-window that follows its
// caption and whose close stores the position.
TEST_F(Controller, WalkFetchesTheBodiesInRangeDecodesThemAndStoresTheNextArticle) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(5000, 2), c = RandomBytes(7000, 3);
  // 106 is a single-part article: its header names the file its body carries.
  TNewsArticle single = Post(106, 250, Base64Lines(c));
  single.Header.insert(single.Header.end(), {"Content-Type: application/octet-stream; name=\"c.bin\"",
                                             "Content-Transfer-Encoding: base64"});
  Server.ServeGroup("alt.test",
                    {Post(101, 199, UU("no.bin", a)), Post(102, 200, Join({{"Hi"}, UU("a.bin", a)})),
                     Post(104, 300,
                          Join({{"Content-Transfer-Encoding: base64",
                                 "Content-Disposition: inline; filename=\"b.bin\"", ""},
                                Base64Lines(b),
                                {"--b--"}})),
                     Post(105, 301, UU("no.bin", a)), single});
  QMdiArea area;
  auto* child = new TTestChild;
  const QPointer<TTestChild> alive = child;
  QMdiSubWindow* sub = area.addSubWindow(child);
  sub->setAttribute(Qt::WA_DeleteOnClose);
  area.show();
  child->Timer1->setInterval(1);
  child->show();
  Guarded([&] { child->FormCreate(child); });
  sub->setWindowTitle("Decoding");
  ASSERT_TRUE(PumpUntil(
      [&] { return sub->windowTitle() == "Downloading Interrupted" && Server.Connections() == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return child->MemoLines().back() == "Session Closed "; }));

  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 101", "HEAD 102", "BODY 102", "HEAD 103",
                                      "HEAD 104", "BODY 104", "HEAD 105", "HEAD 106", "BODY 106", "QUIT"}));
  EXPECT_EQ(
      child->MemoLines(),
      (Lines{"CONNECTING.... Request Done ", "ArticleEstimated = 5 ", "ArticleFirst     = 101 ",
             "ArticleLast      = 106 ", "Request Header 101 Lines: 199 Request Done ",
             "Request Header 102 Lines: 200 Request Done ", "Request Body 102 begin 644 a.bin Request Done ",
             "Request Header 103 ", "Error #423 Request Done ", "Request Header 104 Lines: 300 Request Done ",
             "Request Body 104 b.bin Mime base64 Request Done ",
             "Request Header 105 Lines: 301 Request Done ", "Request Header 106 Lines: 250 Request Done ",
             "Request Body 106 c.bin Mime base64 Request Done ", "Downloading Done Request Done ",
             "Session Closed "}));
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
  EXPECT_EQ(ReadFile(Folder() + "c.bin"), c);
  EXPECT_EQ(child->Saved(), (Lines{"a.bin", "b.bin", "c.bin"}));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(child->SB1Panels[std::size_t(i)]->text(),
              (QStringList{"Downloading Interrupted by User", "106", "106", "3"}[i]));
  EXPECT_EQ(child->ProgressBar3->value(), 1000);

  sub->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(alive.isNull());
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(107));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(Controller, SkipCountsFromTheArticleInHandAndStopsAtTheEnd) {
  Store(102);
  Values.min = Values.max = "500"; // Max not above Min: 500 to 50500
  Server.ServeGroup("alt.test", {Post(101, 600), Post(102, 50500, {"text"}), Post(103, 600), Post(104, 600),
                                 Post(105, 50501), Post(106, 600), Post(107, 600), Post(108, 600)});
  Open();
  Skip("-3");
  Skip("x");
  EXPECT_EQ(Errors, (Lines{"'x' is not a valid integer value"}));
  EXPECT_EQ(Child->EdArticlesToSkip->text(), "x");
  OnLine("Lines: 50500", [&] { Skip("2"); });   // while the HEAD of 102 is out
  OnLine("Lines: 50501", [&] { Skip("100"); }); // past the end
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 102", "BODY 102", "HEAD 105", "QUIT"}));
  EXPECT_EQ(Child->EdArticlesToSkip->text(), "0");
  EXPECT_EQ(Panel(1) + " " + Panel(2), "105 108");
  CloseExpecting(109);
  AppendText(Folder() + "dati.ini", "x"); // a second close stores nothing
  Child->FormClose(Child.get());
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(109) + "x");
}

// The group grows between the two connections; the walk keeps the range of
// its first GROUP reply, and the new article is where the next window starts.
TEST_F(Controller, StopAfterFinishesTheOpenPartAndRestartGoesOnWithTheNextArticle) {
  const std::string c = RandomBytes(4000, 3);
  Server.ServeGroup("alt.test", {Post(1, 250, UU("c.bin", c, {})), Post(2, 250, {"text"}), Post(3, 10),
                                 Post(4, 250, {}, 2)});
  Open();
  OnLine("begin 644 c.bin", [&] { Child->After->click(); });
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Buttons(), "X-R-");
  EXPECT_EQ(ReadFile(Folder() + "c.bin"), c);
  EXPECT_FALSE(FileExists(Folder() + "1.UUE"));
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 1", "BODY 1", "QUIT"}));
  EXPECT_EQ(Child->MemoLines().at(6), "Downloading Interrupted Request Done ");

  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->Restart->click();
  EXPECT_EQ(Buttons(), "XA-S");
  ASSERT_TRUE(
      PumpUntil([&] { return Server.Received().size() == 9 && Child->Nntp.State() == nntpNotConnected; }));
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 1", "BODY 1", "QUIT", "GROUP alt.test",
                                      "HEAD 2", "BODY 2", "HEAD 3", "QUIT"}));
  EXPECT_EQ(Panel(2), "3");
  CloseExpecting(4);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(Controller, StopDuringABodyThrowsThePartAwayAndLeavesTheWindowIdle) {
  Server.ServeGroup("alt.test", {Post(7, 250, UU("d.bin", RandomBytes(4000, 4))), Post(8, 250)});
  Open();
  OnLine("begin 644 d.bin", [&] { Child->Stop->click(); });
  ASSERT_TRUE(WaitEnd());
  PumpFor(50);
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 7", "BODY 7"}));
  EXPECT_EQ(QDir(QString::fromStdString(Folder())).entryList(QDir::Files), QStringList{});
  EXPECT_EQ(Buttons(), "----");
  EXPECT_EQ(Panel(0), "Downloading Interrupted by User");
  EXPECT_EQ(Panel(3), "00000");
  EXPECT_EQ(Child->MemoLines().back(), "Session Closed Request Done ");
  CloseExpecting(8);
}

// After the abort, the refused HEAD of 2 must not inherit the Lines: of 1.
TEST_F(Controller, BodyWithoutDataPastTheWaitingLimitReconnectsAndGoesOn) {
  Values.waiting = "3";
  const std::string e = RandomBytes(2000, 5);
  Server.ServeGroup("alt.test", {Post(1, 250, Lines(10, "chatter")), Post(3, 250, UU("e.bin", e))});
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 1", "BODY 1", "GROUP alt.test", "HEAD 2",
                                      "HEAD 3", "BODY 3", "QUIT"}));
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(
      Lines(memo.begin() + 6, memo.begin() + 11),
      (Lines{"DOWNLOAD ABORTED, MAX WAITING LINES ", "Session Closed Request Done ",
             "Processing Internal Abort Request Done ", "Request Header 2 ", "Error #423 Request Done "}));
  EXPECT_EQ(ReadFile(Folder() + "e.bin"), e);
  EXPECT_EQ(Server.Connections(), 2);
}

TEST_F(Controller, FailedConnectIsReportedAndRestartStartsTheWalk) {
  Store(5);
  Open(); // nothing listens yet
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Not Connected"; }));
  PumpFor(30);
  EXPECT_EQ(Child->MemoLines(), (Lines{"CONNECTING.... ", "Session Closed ", "Error #10061 Request Done ",
                                       "Error Connecting ! "}));
  EXPECT_EQ(Buttons(), "XARS");
  EXPECT_EQ(Child->windowTitle(), "Decoding");
  Skip("2"); // kept until the walk has started
  Server.ServeGroup("alt.test",
                    {Post(4, 10), Post(5, 10), Post(6, 10), Post(7, 10), Post(8, 10), Post(9, 10)});
  Child->Restart->click();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "HEAD 5", "HEAD 8", "HEAD 9", "QUIT"}));
  CloseExpecting(10);
  EXPECT_TRUE(Errors.empty());
}

// A window that examined nothing leaves the stored position as it was: a
// start-up that stopped early, a failed connect, a close before the first
// GROUP reply, an idle
// look at an up-to-date group (a 64-bit position read as 0 would walk the
// whole group again).
TEST_F(Controller, WindowThatExaminedNothingKeepsThePosition) {
  const std::string cwd = QDir::currentPath().toStdString();
  Values.min = "abc";
  Open();
  Child->close();
  AppendText(Values.path + "file", "");
  Values.min = "1";
  Values.path += "file/";
  Open();
  EXPECT_TRUE(Child->MemoLines().empty()); // no connect
  Child->close();
  EXPECT_EQ(Errors,
            (Lines{"'abc' is not a valid integer value",
                   "Cannot create folder " + Folder().substr(0, Folder().size() - 1) + ": Not a directory"}));
  EXPECT_FALSE(FileExists(cwd + "/dati.ini"));
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"file"});

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
  EXPECT_EQ(Child->ProgressBar3->value(), Child->ProgressBar3->maximum());
  CloseExpecting(3000000000);

  TScriptedNewsServer refusing, silent;
  Values.server = "127.0.0.1:" + refusing.PortText();
  Store(7);
  Open();
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Not Connected"; }));
  CloseExpecting(7);

  silent.Reply("200 ready").Expect("GROUP alt.test").Silent().Start();
  Values.server = "127.0.0.1:" + silent.PortText();
  Store(42);
  Open();
  ASSERT_TRUE(PumpUntil([&] { return silent.Received().size() == 1; }));
  CloseExpecting(42);
}

TEST_F(Controller, ServerClosingMidBodyLeavesTheSessionIdleWithTheRefusalShown) {
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test").Expect("HEAD 1");
  Server.Send("221 1 <a@b> head\r\nLines: 250\r\n.\r\n").Expect("BODY 1");
  Server.Send("222 1 <a@b> body\r\nbegin 644 f.bin\r\n").Close().Start();
  Open();
  ASSERT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
  EXPECT_EQ(Errors, Lines{"Not ready for HEAD"});
  const Lines memo = Child->MemoLines();
  EXPECT_TRUE(std::any_of(memo.begin(), memo.end(),
                          [](const std::string& l) { return l.rfind("Session Closed", 0) == 0; }));
  EXPECT_EQ(memo.back(), "Request Header 2 ");
  CloseExpecting(2);
}

TEST(ServerAddress, PortFollowsTheLastColon) {
  EXPECT_EQ(SplitServerAddress("news.example").Port, "nntp");
  EXPECT_EQ(SplitServerAddress("news.example:1119").Host + " " + SplitServerAddress("h:1119").Port,
            "news.example 1119");
  for (const char* kept : {"news.example:", "news.example:0", "news.example:65536", "news.example:x1"})
    EXPECT_EQ(SplitServerAddress(kept).Host, kept);
}
