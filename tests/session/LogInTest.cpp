#include "tests/session/TestChild.h"

#include "platform/FileOps.h"
#include "platform/Guard.h"
#include "session/StartValues.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "tests/support/TlsFront.h"

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <chrono>

namespace {

using Lines = std::vector<std::string>;

const std::string User = "vuser", Secret = "s3cret-Pw";

struct TValues : IStartValues {
  std::string server, password, path;
  std::string Server() const override { return server; }
  std::string Group() const override { return "alt.test"; }
  std::string MinLines() const override { return "20"; }
  std::string MaxLines() const override { return "5000"; }
  std::string WaitingLines() const override { return "0"; }
  std::string DefaultExt() const override { return "bin"; }
  std::string DownloadPath() const override { return path; }
  std::string Pacing() const override { return "0"; }
  std::string Password() const override { return password; }
};

TNewsArticle Post(std::int64_t n, int lines, Lines body = {}) {
  return {n, {"Subject: post " + std::to_string(n), "Lines: " + std::to_string(lines)}, body};
}

Lines UU(const std::string& name, const std::string& data) {
  return Join({{"begin 644 " + name}, UULines(data), {"end"}});
}

std::string Body(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line + "\r\n";
  return text;
}

} // namespace

class LogIn : public ::testing::Test {
protected:
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Values.path = Dir.path().toStdString() + "/";
    StartValues = &Values;
  }
  void TearDown() override {
    StartValues = nullptr;
    SetErrorDisplay(Previous);
  }
  std::string Folder(const std::string& entryFolder) const {
    return Values.path + entryFolder + "/alt.test/";
  }
  // The server as nntp://vuser@127.0.0.1:port, with the position stored
  // when given; gives the session folder.
  std::string Use(const TScriptedNewsServer& server, const char* stored = nullptr) {
    Values.server = "nntp://" + User + "@127.0.0.1:" + server.PortText();
    const std::string folder = Folder("nntp:__" + User + "@127.0.0.1:" + server.PortText());
    CreateFolder(folder);
    if (stored)
      AppendText(folder + "dati.ini", stored);
    return folder;
  }
  void Open(const std::string& caFile = "") {
    Child = std::make_unique<TTestChild>();
    Child->FReconnectDelay = std::chrono::milliseconds(1);
    // What a test trusts besides the system's authorities; the start-up keeps it.
    Child->Nntp.WSocket().SetTlsCAFile(caFile);
    Child->show();
    Guarded([&] { Child->FormCreate(Child.get()); });
  }
  bool WaitEnd() {
    return PumpUntil([&] { return Child->windowTitle() == "Downloading Interrupted"; });
  }
  std::string Status() const { return Child->SB1Panels[0]->text().toStdString(); }
  // The password is shown and stored nowhere; the user only in the session
  // folder's name, which is the entry as written.
  void ExpectNoCredentials(const std::string& folder) {
    std::string shown = Child->Memo1->toPlainText().toStdString();
    for (std::size_t at; (at = shown.find(folder)) != std::string::npos;)
      shown.erase(at, folder.size());
    shown += Status() + Child->lblHostName->text().toStdString() + Child->windowTitle().toStdString();
    for (const std::string& secret : {User, Secret})
      EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " shown in " << shown;
    Child->close();
    const std::string stored = ReadFile(folder + "dati.ini");
    EXPECT_EQ(stored.find(Secret), std::string::npos);
    EXPECT_EQ(stored.find(User), std::string::npos);
  }

  QTemporaryDir Dir;
  TValues Values;
  std::unique_ptr<TTestChild> Child;
  Lines Errors;
  TErrorDisplay Previous;
};

// The server wants a log-in for GROUP; then the connection goes in a body,
// and on the new connection it lets GROUP pass but asks again at that body:
// the window logs in each time and makes the refused request once more.
TEST_F(LogIn, AcceptedAtGroupAndAgainMidWalkAfterAReconnect) {
  const std::string a = RandomBytes(3000, 1);
  TScriptedNewsServer server;
  const std::string logIn = "AUTHINFO USER " + User, pass = "AUTHINFO PASS " + Secret;
  server.Reply("200 ready").Expect("GROUP alt.test").Reply("480 Authentication required");
  server.Expect(logIn).Reply("381 more").Expect(pass).Reply("281 ok");
  server.Expect("GROUP alt.test").Reply("211 2 1 2 alt.test").Expect("LIST OVERVIEW.FMT").Reply("500 what");
  server.Expect("HEAD 1").Send("221 1 <a@b>\r\nLines: 250\r\n.\r\n").Expect("BODY 1");
  server.Send("222 1 <a@b>\r\nbegin 644 a.bin\r\n").Close();
  server.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  server.Expect("BODY 1").Reply("480 Authentication required");
  server.Expect(logIn).Reply("381 more").Expect(pass).Reply("281 ok");
  server.Expect("BODY 1").Send("222 1 <a@b>\r\n" + Body(UU("a.bin", a)) + ".\r\n");
  server.Expect("HEAD 2").Reply("423 gone").Expect("QUIT").Reply("205 bye").Close().Start();
  const std::string folder = Use(server);
  Values.password = Secret;
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(server.Failures(), Lines{});
  EXPECT_EQ(ReadFile(folder + "a.bin"), a);
  const Lines memo = Child->MemoLines();
  EXPECT_EQ(Lines(memo.begin(), memo.begin() + 3),
            (Lines{"CONNECTING.... ", "Error #480 Request Done ", "Logging in Request Done "}));
  EXPECT_EQ(std::count(memo.begin(), memo.end(), "Logging in Request Done "), 2);
  EXPECT_EQ(Child->lblHostName->text().toStdString(), "nntp://127.0.0.1:" + server.PortText());
  EXPECT_TRUE(Errors.empty());
  ExpectNoCredentials(folder);
  EXPECT_EQ(ReadFile(folder + "dati.ini"), "[READED]\r\nLAST=3\r\n");
}

// No password known, then a wrong one, then one that logs in but still
// does not open the article: each stops the walk with its text and leaves
// the stored position before the article that was refused. R tries again.
TEST_F(LogIn, NeededOrRefusedStopsTheWalkAndKeepsThePosition) {
  TScriptedNewsServer group;
  group.RequireLogIn(User, Secret);
  group.ServeGroup("alt.test", {Post(1, 250, {"x"}), Post(2, 250, {"y"})});
  const std::string folder = Use(group, "[READED]\r\nLAST=2\r\n");
  for (const char* password : {"", "wrong"}) {
    Values.password = password;
    Open();
    ASSERT_TRUE(WaitEnd());
    const std::string text = *password ? "Log-in refused by 127.0.0.1"
                                       : "Log-in needed by 127.0.0.1: set a user and password in Configure";
    EXPECT_EQ(Status(), text);
    EXPECT_NE(Child->Memo1->toPlainText().toStdString().find(text), std::string::npos);
    EXPECT_TRUE(Child->Restart->isEnabled());
    ExpectNoCredentials(folder);
    EXPECT_EQ(ReadFile(folder + "dati.ini"), "[READED]\r\nLAST=2\r\n");
  }
  EXPECT_EQ(group.Received(), (Lines{"GROUP alt.test", "QUIT", "GROUP alt.test", "AUTHINFO USER vuser",
                                     "AUTHINFO PASS wrong", "QUIT"}));

  // Logged in, and the HEAD of 2 is still refused: the article stays unexamined.
  TScriptedNewsServer head;
  head.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  head.Expect("LIST OVERVIEW.FMT").Reply("500 what").Expect("HEAD 2").Reply("480 Authentication required");
  head.Expect("AUTHINFO USER vuser").Reply("281 ok").Expect("HEAD 2").Reply("480 Authentication required");
  head.Expect("QUIT").Reply("205 bye").Close();
  head.Reply("200 ready").Expect("GROUP alt.test").Reply("211 2 1 2 alt.test");
  head.Expect("HEAD 2").Send("221 2 <a@b>\r\nLines: 10\r\n.\r\n").Expect("QUIT").Reply("205 bye").Start();
  const std::string again = Use(head, "[READED]\r\nLAST=2\r\n");
  Values.password = Secret;
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Status(), "Log-in refused by 127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return Child->Nntp.State() == nntpNotConnected; }));
  Child->Restart->click();
  ASSERT_TRUE(PumpUntil([&] { return Status() == "Downloading Interrupted by User"; }));
  EXPECT_EQ(head.Failures(), Lines{});
  ExpectNoCredentials(again);
  EXPECT_EQ(ReadFile(again + "dati.ini"), "[READED]\r\nLAST=3\r\n");
}

// The same group over plain NNTP and over TLS with a log-in: the same files.
// A certificate from an authority the window does not trust ends the
// connect with its reason in the log and the status.
TEST_F(LogIn, TlsSessionWithLogInDecodesWhatThePlainOneDoes) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(7000, 2);
  const std::vector<TNewsArticle> articles = {Post(1, 250, UU("a.bin", a)), Post(2, 10),
                                              Post(3, 260, UU("b.bin", b))};
  TScriptedNewsServer plain, behind;
  plain.OfferOverview();
  plain.ServeGroup("alt.test", articles);
  behind.OfferOverview();
  behind.RequireLogIn(User, Secret);
  behind.ServeGroup("alt.test", articles);
  TTlsFront front(behind.Port());
  front.Start();
  const std::string ca = TTestCertificates::Get().CAFile();
  std::vector<Lines> saved;
  for (const std::string& entry :
       {"127.0.0.1:" + plain.PortText(), "nntps://" + User + "@localhost:" + front.PortText()}) {
    Values.server = entry;
    Values.password = Secret;
    Open(ca);
    ASSERT_TRUE(WaitEnd()) << Child->Memo1->toPlainText().toStdString();
    saved.push_back(Child->Saved());
    const std::string folder =
        Folder(entry.substr(0, 5) == "nntps" ? "nntps:__vuser@localhost:" + front.PortText() : entry);
    EXPECT_EQ(ReadFile(folder + "a.bin"), a);
    EXPECT_EQ(ReadFile(folder + "b.bin"), b);
    ExpectNoCredentials(folder);
    EXPECT_EQ(ReadFile(folder + "dati.ini"), "[READED]\r\nLAST=4\r\n");
  }
  EXPECT_EQ(saved[0], (Lines{"a.bin", "b.bin"}));
  EXPECT_EQ(saved[1], saved[0]);
  EXPECT_EQ(front.Handshakes(), 1);
  EXPECT_EQ(behind.Received(),
            (Lines{"GROUP alt.test", "AUTHINFO USER vuser", "AUTHINFO PASS " + Secret, "GROUP alt.test",
                   "LIST OVERVIEW.FMT", "XOVER 1-3", "ARTICLE 1", "ARTICLE 3", "QUIT"}));

  TTlsFront stranger(behind.Port(), TTestCert::UnknownCA);
  stranger.Start();
  Values.server = "nntps://localhost:" + stranger.PortText();
  Open(ca);
  ASSERT_TRUE(PumpUntil([&] { return Child->Restart->isEnabled(); }));
  const std::string why =
      "TLS: certificate verify failed for localhost (unable to get local issuer certificate)";
  EXPECT_EQ(Child->MemoLines(), (Lines{"CONNECTING.... ", "Session Closed ", "Error #10200 ",
                                       why + " Request Done ", "Error Connecting ! "}));
  EXPECT_EQ(Status(), why);
  EXPECT_TRUE(Errors.empty());
}
