// vostel-walk as a user or a timer runs it: the built program against the
// scripted news server, with a settings file and a password file of the
// test's own.

#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "tests/walk/TestSession.h"
#include "walk/ServerAddress.h"
#include "walk/WalkLock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {

using Lines = std::vector<std::string>;

void WriteText(const std::string& path, const std::string& text) {
  DeleteFile(path);
  AppendText(path, text);
}

std::string Text(const QJsonValue& value) { return value.toString().toStdString(); }

// An article whose Lines: says what its body holds, as the overview does.
TNewsArticle Counted(TNewsArticle post) {
  post.Header[1] = "Lines: " + std::to_string(post.Body.size());
  return post;
}

class WalkCommand : public ::testing::Test {
protected:
  // Downloads in news/ of the test's folder, 200 to 300 lines, the server
  // with a connection of one request at a time.
  void SetUp() override {
    WriteText(Folder + "VOSTEL.INI",
              "[CONFIG]\r\nPATH=" + Folder + "news/\r\nMINLINES=200\r\nMAXLINES=300\r\n" + "[SERVER]\r\nS=" +
                  Entry + "\r\n[SERVER " + Entry + "]\r\nPACING=0\r\nCONNECTIONS=1\r\nINFLIGHT=1\r\n");
  }
  void TearDown() override {
    Server.Release();
    Walk.kill();
    Walk.waitForFinished();
  }
  // Articles 1 to 5: a note, a.bin (202 lines uuencoded), b.bin (229 lines
  // of base64), c.bin (402 lines) and a note.
  void ServeFiles() {
    Server.OfferOverview();
    Server.ServeGroup("alt.test", {Post(1, 10), Counted(Post(2, 0, UU("a.bin", A))),
                                   Counted(SinglePartPost(3, 0, "b.bin", B)),
                                   Counted(Post(4, 0, UU("c.bin", C))), Post(5, 10)});
  }
  // At home in the test's folder, without a desktop's keychain.
  void Start(const Lines& arguments) {
    QStringList list{"--settings", QString::fromStdString(Folder + "VOSTEL.INI")};
    for (const std::string& argument : arguments)
      list << QString::fromStdString(argument);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", QString::fromStdString(Folder));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(Folder + "config"));
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    Walk.setProcessEnvironment(environment);
    Out.clear();
    Walk.start(VOSTEL_WALK, list);
  }
  // The exit status once it has ended by itself; -1 when it did not.
  int Finish() {
    const bool ended = Walk.waitForFinished(60000);
    Out += Walk.readAllStandardOutput().toStdString();
    Err = Walk.readAllStandardError().toStdString();
    return ended && Walk.exitStatus() == QProcess::NormalExit ? Walk.exitCode() : -1;
  }
  int Run(const Lines& arguments) {
    Start(arguments);
    return Finish();
  }
  bool WaitFor(const std::function<bool()>& done) {
    return PumpUntil(
        [&] {
          Out += Walk.readAllStandardOutput().toStdString();
          return done();
        },
        30000);
  }
  bool Said(const std::string& text) const { return Out.find(text) != std::string::npos; }
  bool Asked(const std::string& command) const {
    const Lines received = Server.Received();
    return std::find(received.begin(), received.end(), command) != received.end();
  }
  // The output's lines, each a JSON object with a type.
  std::vector<QJsonObject> Events(const char* type = nullptr) const {
    std::vector<QJsonObject> events;
    for (std::size_t at = 0, end; (end = Out.find('\n', at)) != std::string::npos; at = end + 1) {
      const QJsonObject event =
          QJsonDocument::fromJson(QByteArray::fromStdString(Out.substr(at, end - at))).object();
      EXPECT_FALSE(Text(event["type"]).empty()) << Out.substr(at, end - at);
      if (!type || event["type"].toString() == type)
        events.push_back(event);
    }
    return events;
  }
  std::string Status() const { return Text(Events("end").at(0)["status"]); }
  std::string Stored(const std::string& folder) const {
    return IniReadString(folder + "dati.ini", "READED", "LAST", "(none)");
  }

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/";
  TScriptedNewsServer Server;
  std::string Entry = "127.0.0.1:" + Server.PortText();
  std::string Session = Folder + "news/" + Entry + "/alt.test/";
  std::string A = RandomBytes(9000, 1), B = RandomBytes(13000, 2), C = RandomBytes(18000, 3);
  QProcess Walk;
  std::string Out, Err;
};

} // namespace

// The options take the place of the settings; without a terminal and
// --json each event is a line of text. A walk to the group's end from the
// position a window stored: the files saved byte for byte and named in the
// events, the figures at the end, the position stored and the lock gone;
// the next walk finds nothing new.
TEST_F(WalkCommand, OptionsOverrideTheSettingsAndAWalkGoesOnFromTheStoredPosition) {
  ServeFiles();
  const std::string session = Folder + "elsewhere/" + Entry + "/alt.test/";
  ASSERT_EQ(Run({"--min-lines", "5", "--max-lines", "1000", "--subject", "post 4,post 1", "--folder",
                 Folder + "elsewhere", "--connections", "2", Entry, "alt.test"}),
            0)
      << Out << Err;
  EXPECT_EQ(ReadFile(session + "c.bin"), C);
  EXPECT_FALSE(FileExists(session + "a.bin") || FileExists(Session));
  EXPECT_TRUE(Said("\nsaved: c.bin\n") && Said("\ntransfer: c.bin  ")) << Out;
  EXPECT_TRUE(Out.ends_with("\nend: done: Downloading Done (1 file saved)\n")) << Out;
  EXPECT_EQ(Stored(session), "6");

  CreateFolder(Session);
  WriteText(Session + "dati.ini", ::Stored(3));
  ASSERT_EQ(Run({"--json", Entry, "alt.test"}), 0) << Out << Err;
  EXPECT_EQ(Text(Events().front()["text"]), "Connecting to " + Entry);
  const QJsonObject end = Events().back();
  EXPECT_EQ(Text(end["type"]) + " " + Text(end["how"]) + " " + Text(end["status"]),
            "end done Downloading Done");
  EXPECT_EQ(end["saved"].toInt(), 1);
  ASSERT_EQ(Events("saved").size(), 1u) << Out;
  EXPECT_EQ(Text(Events("saved")[0]["path"]), Session + "b.bin");
  EXPECT_EQ(ReadFile(Session + "b.bin"), B);
  EXPECT_FALSE(FileExists(Session + "a.bin")) << "article 2 lies before the stored position";
  const QJsonObject figures = Events("transfer").back();
  EXPECT_EQ(figures["articles"].toInt() * 10 + figures["articles_total"].toInt(), 33);
  EXPECT_GT(figures["bytes"].toInt(), 13000);
  EXPECT_EQ(Text(figures["file"]), "b.bin");
  EXPECT_FALSE(Events("log").empty());
  EXPECT_EQ(Stored(Session), "6");
  EXPECT_FALSE(FileExists(Session + ".vostel.lock"));
  ASSERT_EQ(Run({"--json", Entry, "alt.test"}), 0) << Out << Err;
  EXPECT_TRUE(Events("saved").empty());
  EXPECT_EQ(Stored(Session), "6");
}

// Bad arguments and settings are named and end with 2 before anything is
// touched: no folder made, the server never asked.
TEST_F(WalkCommand, BadArgumentsAndSettingsEndWithTwoBeforeAnythingIsTouched) {
  ServeFiles();
  const std::pair<Lines, std::string> cases[] = {
      {{"--bogus", Entry, "alt.test"}, "unknown option --bogus"},
      {{Entry}, "SERVER and GROUP are needed"},
      {{"--min-lines"}, "option --min-lines needs a value"},
      {{"--max-lines=9y", Entry, "alt.test"}, "Max Lines: '9y' is not a valid integer value"},
      {{"--connections", "51", Entry, "alt.test"}, "Connections: '51' is no whole number from 1 to 50"},
      {{"--subject", "[abc", Entry, "alt.test"}, "Subject: '[abc' is not a valid wildmat"},
      {{Entry, "../../etc"}, "GROUP ../../etc is no newsgroup name"},
      {{"nntps://", "alt.test"}, "SERVER nntps://: "},
      {{"--settings", Folder + "none.ini", Entry, "alt.test"}, "cannot read the settings file"}};
  for (const auto& [arguments, said] : cases) {
    EXPECT_EQ(Run(arguments), 2) << arguments.front();
    EXPECT_NE(Err.find("vostel-walk: " + said), std::string::npos) << Err;
  }
  IniWriteString(Folder + "VOSTEL.INI", "CONFIG", "MINLINES", "lots");
  EXPECT_EQ(Run({Entry, "alt.test"}), 2);
  EXPECT_NE(Err.find("Min Lines: 'lots' is not a valid integer value"), std::string::npos) << Err;
  EXPECT_FALSE(FileExists(Folder + "news"));
  EXPECT_EQ(Server.Connections(), 0);
}

// A log-in the server wants and was not given, or refused, ends with 3; the
// password kept in the store's file logs in, and is shown nowhere.
TEST_F(WalkCommand, LogInNeededOrRefusedEndsWithThreeAndTheStoredPasswordLogsIn) {
  Server.RequireLogIn("me", "s3cret");
  ServeFiles();
  const std::string entry = "nntp://me@" + Entry;
  EXPECT_EQ(Run({"--json", entry, "alt.test"}), 3) << Out << Err;
  EXPECT_EQ(Status(), "Log-in needed by 127.0.0.1: set a user and password in Configure");
  for (const char* password : {"wrong", "s3cret"}) {
    CreateFolder(Folder + "config/Vostel");
    WriteText(Folder + "config/Vostel/passwords", entry + "\t" + password + "\r\n");
    EXPECT_EQ(Run({"--json", entry, "alt.test"}), password[0] == 'w' ? 3 : 0) << Out << Err;
  }
  EXPECT_EQ(ReadFile(Folder + "news/" + ServerFolderName(entry) + "/alt.test/a.bin"), A);
  EXPECT_FALSE(Said("s3cret"));
}

// An error stops the walk with 1, the status saying why: the group refused,
// the connection refused, and the folder walked by another process, which
// is left alone.
TEST_F(WalkCommand, ErrorsAndAFolderWalkedElsewhereEndWithOne) {
  Server.ServeGroup("alt.other", {Post(1, 250)});
  EXPECT_EQ(Run({"--json", Entry, "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Status(), "Group alt.test not found on 127.0.0.1");
  TScriptedNewsServer closed; // bound, never listening
  EXPECT_EQ(Run({"--json", "127.0.0.1:" + closed.PortText(), "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Status().rfind("Not Connected: Error #10061", 0), 0u) << Out;

  TWalkLock lock;
  ASSERT_TRUE(lock.Take(Session, ".vostel.lock"));
  const int connections = Server.Connections();
  const std::string stored = ReadFile(Session + "dati.ini");
  EXPECT_EQ(Run({"--json", Entry, "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Status(), "alt.test on " + Entry + " is being walked by another Vostel (process " +
                          std::to_string(::getpid()) + ")");
  EXPECT_EQ(Text(Events("end")[0]["how"]), "busy");
  EXPECT_EQ(Server.Connections(), connections);
  EXPECT_EQ(ReadFile(Session + "dati.ini"), stored);
}

// SIGTERM stops the walk as A does: the requests behind the article in
// hand are dropped, and as nothing of the held article 3 has come, the walk
// stops at once with the position on it and the lock gone. Two signals at
// once stop it the same way; the next walk takes article 3 whole.
TEST_F(WalkCommand, ASignalStopsAfterTheArticleInHandAndASecondOneAtOnce) {
  ServeFiles();
  for (const bool twice : {false, true}) {
    Server.HoldArticle(3);
    const Lines before = Server.Received();
    const auto asked = [&] {
      const Lines now = Server.Received();
      return std::count(now.begin(), now.end(), "ARTICLE 3") >
             std::count(before.begin(), before.end(), "ARTICLE 3");
    };
    Start({"--json", "--max-lines", "1000", Entry, "alt.test"});
    ASSERT_TRUE(WaitFor(asked)) << Out;
    ::kill(pid_t(Walk.processId()), twice ? SIGINT : SIGTERM);
    if (twice)
      Walk.terminate();
    EXPECT_EQ(Finish(), 4) << Out << Err;
    EXPECT_TRUE(Said(twice ? ": stopping" : "SIGTERM: stopping after the article in hand"));
    EXPECT_EQ(Text(Events("end")[0]["how"]), "interrupted");
    EXPECT_EQ(ReadFile(Session + "a.bin"), A);
    EXPECT_FALSE(FileExists(Session + "b.bin") || FileExists(Session + ".vostel.lock"));
    EXPECT_EQ(Stored(Session), "3");
    Server.Release();
  }
  EXPECT_EQ(Run({"--json", "--max-lines", "1000", Entry, "alt.test"}), 0) << Out << Err;
  EXPECT_EQ(ReadFile(Session + "b.bin"), B);
  EXPECT_EQ(ReadFile(Session + "c.bin"), C);
}
