#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"
#include "tests/support/TlsFront.h"

using Lines = std::vector<std::string>;

namespace {
const std::string User = "vuser", Secret = "s3cret-Pw";
}

class LogIn : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    Values.password = Secret;
    Values.min = "20"; // the overview counts the body lines
    Values.max = "5000";
  }
  // The log as one text.
  std::string Memo() const {
    std::string memo;
    for (const std::string& line : Child->MemoLines())
      memo += line + "\n";
    return memo;
  }
  // The password is shown and stored nowhere; the user only in the session
  // folder's name, which is the entry as written and which the session never
  // shows: part files go by their names in it.
  void ExpectNoCredentials() {
    std::string shown = Memo() + Panel(0) + Child->ServerShown() + Child->Caption;
    for (const std::string& line : Child->Incomplete)
      shown += line;
    for (const std::string& secret : {User, Secret})
      EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " shown in " << shown;
    Child->FormClose();
    const std::string stored = ReadFile(Folder() + "dati.ini");
    EXPECT_EQ(stored.find(Secret), std::string::npos);
    EXPECT_EQ(stored.find(User), std::string::npos);
  }
};

// The server wants a log-in for GROUP; then the connection goes in a body,
// and on the new connection it lets GROUP pass but asks again at that body:
// the window logs in each time and makes the refused request once more.
// Logged in, the HEAD of 2 is still refused: the walk stops before it, and R
// tries again.
TEST_F(LogIn, AcceptedAtGroupAndAgainMidWalkAfterAReconnect) {
  const std::string a = RandomBytes(3000, 1);
  const std::string logIn = "AUTHINFO USER " + User, pass = "AUTHINFO PASS " + Secret;
  std::string body = "222 1 <a@b>\r\n";
  for (const std::string& line : UU("a.bin", a))
    body += line + "\r\n";
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("480 Authentication required");
  Server.Expect(logIn).Reply("381 more").Expect(pass).Reply("281 ok");
  Server.Expect("GROUP alt.test").Reply("211 2 1 2 alt.test").Expect("LIST OVERVIEW.FMT").Reply("500 what");
  Server.Expect("HEAD 1").Send("221 1 <a@b>\r\nLines: 250\r\n.\r\n").Expect("BODY 1");
  Server.Send("222 1 <a@b>\r\nbegin 644 a.bin\r\n").Close();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  Server.Expect("BODY 1").Reply("480 Authentication required");
  Server.Expect(logIn).Reply("381 more").Expect(pass).Reply("281 ok");
  Server.Expect("BODY 1").Send(body + ".\r\n").Expect("HEAD 2").Reply("480 Authentication required");
  Server.Expect("QUIT").Reply("205 bye").Close();
  Server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  Server.Expect("HEAD 2").Send("221 2 <a@b>\r\nLines: 10\r\n.\r\n").Expect("QUIT").Reply("205 bye").Start();
  Use(Server, "nntp://" + User + "@");
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(Lines(memo.begin(), memo.begin() + 3),
            (Lines{"CONNECTING.... ", "Error #480 Request Done ", "Logging in Request Done "}));
  EXPECT_EQ(std::count(memo.begin(), memo.end(), "Logging in Request Done "), 2);
  EXPECT_EQ(Panel(0), "Log-in refused by 127.0.0.1");
  EXPECT_EQ(Child->ServerShown(), "nntp://127.0.0.1:" + Server.PortText());
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->RestartClick();
  ASSERT_TRUE(PumpUntil([&] { return Server.Finished(); }));
  PumpFor(30);
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(std::count(memo.begin(), memo.end(), "Unfinished part file discarded 1.UUE "), 1);
  EXPECT_EQ(Server.Failures(), Lines{});
  EXPECT_TRUE(Errors.empty());
  ExpectNoCredentials();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(3));
}

// No password known, then a wrong one: each stops the walk with its text and
// leaves the stored position before the article that was refused.
TEST_F(LogIn, NeededOrRefusedStopsTheWalkAndKeepsThePosition) {
  Server.RequireLogIn(User, Secret);
  Server.ServeGroup("alt.test", {Post(1, 250, {"x"}), Post(2, 250, {"y"})});
  Use(Server, "nntp://" + User + "@");
  Store(2);
  for (const char* password : {"", "wrong"}) {
    Values.password = password;
    Open();
    ASSERT_TRUE(WaitEnd());
    const std::string text = *password ? "Log-in refused by 127.0.0.1"
                                       : "Log-in needed by 127.0.0.1: set a user and password in Configure";
    EXPECT_EQ(Panel(0), text);
    EXPECT_NE(Memo().find(text), std::string::npos);
    EXPECT_TRUE(Child->Commands().Restart);
    ExpectNoCredentials();
    EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(2));
  }
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "QUIT", "GROUP alt.test", "AUTHINFO USER vuser",
                                      "AUTHINFO PASS wrong", "QUIT"}));
  // A password set while the window waits goes out with R.
  Values.password = "";
  Open();
  ASSERT_TRUE(WaitEnd());
  Values.password = Secret;
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->RestartClick();
  ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Downloading Done"; }));
  ExpectNoCredentials();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(3));
}

// A group over TLS with a log-in decodes as over plain NNTP. A certificate
// from an authority the window does not trust ends the connect with its
// reason in the log and the status.
TEST_F(LogIn, TlsSessionWithLogInDecodesTheGroupAndAnUnknownAuthorityIsRefused) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(7000, 2);
  Server.OfferOverview();
  Server.RequireLogIn(User, Secret);
  Server.ServeGroup("alt.test", {Post(1, 250, UU("a.bin", a)), Post(2, 10), Post(3, 260, UU("b.bin", b))});
  TTlsFront front(Server.Port());
  front.Start();
  const std::string ca = TTestCertificates::Get().CAFile();
  Values.server = "nntps://" + User + "@localhost:" + front.PortText();
  Open(ca);
  ASSERT_TRUE(WaitEnd()) << Memo();
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
  EXPECT_EQ(front.Handshakes(), 2); // the window's own connection, then the walk's
  ExpectNoCredentials();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(4));

  TTlsFront stranger(Server.Port(), TTestCert::UnknownCA);
  stranger.Start();
  Values.server = "nntps://localhost:" + stranger.PortText();
  Open(ca);
  ASSERT_TRUE(PumpUntil([&] { return Child->Commands().Restart; }));
  const std::string why =
      "TLS: certificate verify failed for localhost (unable to get local issuer certificate)";
  EXPECT_EQ(Child->MemoLines(), (Lines{"CONNECTING.... ", "Session Closed ", "Error #10200 TLS error ",
                                       why + " Request Done ", "Error Connecting ! "}));
  EXPECT_EQ(Panel(0), why);
  EXPECT_TRUE(Errors.empty());
}
