// vostel-walk as a user or a timer runs it: the built program against the
// scripted news server, with a settings file and a password file of the
// test's own.

#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "tests/support/EventLoop.h"
#include "tests/walk/TestSession.h"
#include "walk/ServerAddress.h"
#include "walk/WalkLock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The file holds text and nothing else.
void WriteText(const std::string& path, const std::string& text) {
  DeleteFile(path);
  AppendText(path, text);
}

using Lines = std::vector<std::string>;

class WalkCommand : public ::testing::Test {
protected:
  void SetUp() override {
    Entry = "127.0.0.1:" + Server.PortText();
    Session = Folder + "news/" + Entry + "/alt.test/";
    WriteSettings("");
  }
  void TearDown() override {
    Server.Release();
    if (Walk.state() != QProcess::NotRunning) {
      Walk.kill();
      Walk.waitForFinished();
    }
  }

  // Downloads in news/ of the test's folder, 200 to 300 lines, the server
  // with settings of its own; more is appended as it stands.
  void WriteSettings(const std::string& more) {
    WriteText(Folder + "VOSTEL.INI",
              "[CONFIG]\r\nPATH=" + Folder + "news/\r\nMINLINES=200\r\nMAXLINES=300\r\n" +
                  "\r\n[SERVER]\r\nS=" + Entry + "\r\n\r\n[GROUPS]\r\nG=alt.test\r\n" + "\r\n[SERVER " +
                  Entry + "]\r\nPACING=0\r\nCONNECTIONS=1\r\nINFLIGHT=1\r\n" + more);
  }
  // The password store's file, in the configuration folder the walk is given.
  void KeepPassword(const std::string& entry, const std::string& password) {
    CreateFolder(Folder + "config/Vostel");
    WriteText(Folder + "config/Vostel/passwords", entry + "\t" + password + "\r\n");
  }
  // Starts vostel-walk with the test's settings file, at home in the test's
  // folder and without a desktop's keychain.
  void Start(const Lines& arguments, bool withSettings = true) {
    QStringList list;
    if (withSettings)
      list << "--settings" << QString::fromStdString(Folder + "VOSTEL.INI");
    for (const std::string& argument : arguments)
      list << QString::fromStdString(argument);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", QString::fromStdString(Folder));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(Folder + "config"));
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    Walk.setProcessEnvironment(environment);
    Walk.start(VOSTEL_WALK, list);
    ASSERT_TRUE(Walk.waitForStarted());
  }
  // Its exit status once it has ended; -1 when it did not end by itself.
  int Finish() {
    const bool ended = Walk.waitForFinished(60000);
    Out += Walk.readAllStandardOutput().toStdString();
    Err = Walk.readAllStandardError().toStdString();
    return ended && Walk.exitStatus() == QProcess::NormalExit ? Walk.exitCode() : -1;
  }
  int Run(const Lines& arguments, bool withSettings = true) {
    Start(arguments, withSettings);
    return Finish();
  }
  // Waits until the output has a line holding text.
  bool WaitFor(const std::string& text) {
    return PumpUntil(
        [&] {
          Out += Walk.readAllStandardOutput().toStdString();
          return Out.find(text) != std::string::npos;
        },
        30000);
  }
  // The output's lines, each a JSON object.
  std::vector<QJsonObject> Events() const {
    std::vector<QJsonObject> events;
    for (std::size_t at = 0, end; (end = Out.find('\n', at)) != std::string::npos; at = end + 1) {
      QJsonParseError error{};
      const QJsonDocument line =
          QJsonDocument::fromJson(QByteArray::fromStdString(Out.substr(at, end - at)), &error);
      EXPECT_TRUE(error.error == QJsonParseError::NoError && line.isObject()) << Out.substr(at, end - at);
      events.push_back(line.object());
    }
    return events;
  }
  std::vector<QJsonObject> OfType(const char* type) const {
    std::vector<QJsonObject> found;
    for (const QJsonObject& event : Events())
      if (event["type"].toString() == type)
        found.push_back(event);
    return found;
  }
  // Waits until the server has been asked for article 3, whose reply it holds.
  bool AskedForThree() const {
    return PumpUntil(
        [&] {
          const Lines received = Server.Received();
          return std::find(received.begin(), received.end(), "ARTICLE 3") != received.end();
        },
        30000);
  }
  std::string Stored() const { return IniReadString(Session + "dati.ini", "READED", "LAST", "(none)"); }

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/";
  TScriptedNewsServer Server;
  std::string Entry, Session;
  QProcess Walk;
  std::string Out, Err;
};

std::string Text(const QJsonValue& value) { return value.toString().toStdString(); }

// An article whose Lines: says what its body holds, as the overview does.
TNewsArticle Counted(TNewsArticle post) {
  post.Header[1] = "Lines: " + std::to_string(post.Body.size());
  return post;
}

// Articles 1 to 5 of 200 to 300 lines but the notes and c.bin: a short note,
// a.bin (9,000 bytes, 202 lines uuencoded), b.bin (13,000 bytes, 229 lines
// of base64), c.bin (18,000 bytes, 402 lines) and a second note.
std::vector<TNewsArticle> Group(const std::string& a, const std::string& b, const std::string& c) {
  return {Post(1, 10), Counted(Post(2, 0, UU("a.bin", a))), Counted(SinglePartPost(3, 0, "b.bin", b)),
          Counted(Post(4, 0, UU("c.bin", c))), Post(5, 10)};
}

} // namespace

// A walk to the group's end, going on from the position a window stored:
// each event a JSON object with its type, the files saved byte for byte and
// named in the events, the figures at the end, and the position stored for
// the next walk, which finds nothing new. The folder's lock goes with it.
TEST_F(WalkCommand, WalksToTheEndWithJsonEventsAndGoesOnFromTheStoredPosition) {
  const std::string a = RandomBytes(9000, 1), b = RandomBytes(13000, 2);
  Server.OfferOverview();
  Server.ServeGroup("alt.test", Group(a, b, RandomBytes(18000, 10)));
  CreateFolder(Session);
  WriteText(Session + "dati.ini", ::Stored(3));
  ASSERT_EQ(Run({"--json", Entry, "alt.test"}), 0) << Out << Err;
  const std::vector<QJsonObject> events = Events();
  ASSERT_FALSE(events.empty());
  for (const QJsonObject& event : events)
    EXPECT_FALSE(Text(event["type"]).empty());
  EXPECT_EQ(Text(events.front()["text"]), "Connecting to " + Entry);
  const QJsonObject end = events.back();
  EXPECT_EQ(Text(end["type"]), "end");
  EXPECT_EQ(Text(end["how"]), "done");
  EXPECT_EQ(end["exit"].toInt(), 0);
  EXPECT_EQ(end["saved"].toInt(), 1);
  EXPECT_EQ(Text(end["status"]), "Downloading Done");
  const std::vector<QJsonObject> saved = OfType("saved");
  ASSERT_EQ(saved.size(), 1u) << Out;
  EXPECT_EQ(Text(saved[0]["name"]), "b.bin");
  EXPECT_EQ(Text(saved[0]["path"]), Session + "b.bin");
  EXPECT_EQ(ReadFile(Session + "b.bin"), b);
  EXPECT_FALSE(FileExists(Session + "a.bin")) << "article 2 lies before the stored position";
  const std::vector<QJsonObject> figures = OfType("transfer");
  ASSERT_FALSE(figures.empty());
  EXPECT_EQ(figures.back()["articles"].toInt(), 3);
  EXPECT_EQ(figures.back()["articles_total"].toInt(), 3);
  EXPECT_GT(figures.back()["bytes"].toInt(), 7000);
  EXPECT_EQ(Text(figures.back()["file"]), "b.bin");
  EXPECT_FALSE(OfType("log").empty());
  EXPECT_EQ(Stored(), "6");
  EXPECT_FALSE(FileExists(Session + ".vostel.lock"));

  Out.clear();
  ASSERT_EQ(Run({"--json", Entry, "alt.test"}), 0) << Out << Err;
  EXPECT_TRUE(OfType("saved").empty());
  EXPECT_EQ(Text(Events().back()["status"]), "Downloading Done");
  EXPECT_EQ(Stored(), "6");
}

// The options take the place of the settings: the range and the subject
// filter, the download folder. Without a terminal and --json each event is a
// line of text.
TEST_F(WalkCommand, OptionsOverrideTheSettingsAndLinesAreTextWithoutJson) {
  const std::string a = RandomBytes(9000, 3), b = RandomBytes(13000, 4), c = RandomBytes(18000, 11);
  Server.ServeGroup("alt.test", Group(a, b, c));
  const std::string elsewhere = Folder + "elsewhere";
  ASSERT_EQ(Run({"--min-lines", "5", "--max-lines", "1000", "--subject", "post 4,post 1", "--folder",
                 elsewhere, "--connections", "2", Entry, "alt.test"}),
            0)
      << Out << Err;
  const std::string session = elsewhere + "/" + Entry + "/alt.test/";
  EXPECT_EQ(ReadFile(session + "c.bin"), c);
  EXPECT_FALSE(FileExists(session + "a.bin"));
  EXPECT_FALSE(FileExists(Session)) << "the settings' path is not used";
  EXPECT_NE(Out.find("\nsaved: c.bin\n"), std::string::npos) << Out;
  EXPECT_NE(Out.find("\nlog: Request Body 1"), std::string::npos) << Out;
  EXPECT_TRUE(Out.ends_with("\nend: done: Downloading Done (1 file saved)\n")) << Out;
  EXPECT_EQ(IniReadString(session + "dati.ini", "READED", "LAST", ""), "6");
}

// Bad arguments and bad settings are named, end with 2 and touch nothing:
// no folder is made, the server is never asked.
TEST_F(WalkCommand, BadArgumentsAndSettingsEndWithTwoBeforeAnythingIsTouched) {
  Server.ServeGroup("alt.test", {Post(1, 250)});
  const std::vector<std::pair<Lines, std::string>> cases = {
      {{"--bogus", Entry, "alt.test"}, "unknown option --bogus"},
      {{Entry}, "SERVER and GROUP are needed"},
      {{Entry, "alt.test", "more"}, "too many arguments"},
      {{"--min-lines"}, "option --min-lines needs a value"},
      {{"--min-lines", "x", Entry, "alt.test"}, "Min Lines: 'x' is not a valid integer value"},
      {{"--max-lines=9y", Entry, "alt.test"}, "Max Lines: '9y' is not a valid integer value"},
      {{"--connections", "51", Entry, "alt.test"}, "Connections: '51' is no whole number from 1 to 50"},
      {{"--subject", "[abc", Entry, "alt.test"}, "Subject: '[abc' is not a valid wildmat"},
      {{Entry, "../../etc"}, "GROUP ../../etc is no newsgroup name"},
      {{"nntps://", "alt.test"}, "SERVER nntps://: "},
      {{"--settings", Folder + "missing.ini", Entry, "alt.test"}, "cannot read the settings file"}};
  for (const auto& [arguments, said] : cases) {
    EXPECT_EQ(Run(arguments), 2) << arguments.front();
    EXPECT_NE(Err.find("vostel-walk: " + said), std::string::npos) << Err;
  }
  WriteSettings("");
  IniWriteString(Folder + "VOSTEL.INI", "CONFIG", "MINLINES", "lots");
  EXPECT_EQ(Run({Entry, "alt.test"}), 2);
  EXPECT_NE(Err.find("Min Lines: 'lots' is not a valid integer value"), std::string::npos) << Err;
  EXPECT_FALSE(FileExists(Folder + "news"));
  EXPECT_EQ(Server.Connections(), 0);
  EXPECT_EQ(Run({"--help"}, false), 0);
  EXPECT_NE(Out.find("Exit status:"), std::string::npos);
}

// A log-in the server wants and was not given, or refused, ends with 3; the
// password kept in the store's file logs in.
TEST_F(WalkCommand, LogInNeededOrRefusedEndsWithThreeAndTheStoredPasswordLogsIn) {
  const std::string b = RandomBytes(13000, 5);
  Server.RequireLogIn("me", "s3cret");
  Server.OfferOverview();
  Server.ServeGroup("alt.test", {SinglePartPost(1, 250, "b.bin", b)});
  const std::string entry = "nntp://me@" + Entry;
  const std::string session = Folder + "news/" + ServerFolderName(entry) + "/alt.test/";
  EXPECT_EQ(Run({"--json", entry, "alt.test"}), 3) << Out << Err;
  EXPECT_EQ(Text(Events().back()["status"]),
            "Log-in needed by 127.0.0.1: set a user and password in Configure");
  EXPECT_EQ(Text(Events().back()["how"]), "log-in");
  KeepPassword(entry, "wrong");
  Out.clear();
  EXPECT_EQ(Run({"--json", entry, "alt.test"}), 3) << Out << Err;
  EXPECT_EQ(Text(Events().back()["status"]), "Log-in refused by 127.0.0.1");
  KeepPassword(entry, "s3cret");
  Out.clear();
  EXPECT_EQ(Run({"--json", entry, "alt.test"}), 0) << Out << Err;
  EXPECT_EQ(ReadFile(session + "b.bin"), b);
  EXPECT_EQ(Out.find("s3cret"), std::string::npos);
}

// A group the server does not carry and a server that refuses the connection
// stop the walk for an error: 1, the status saying why.
TEST_F(WalkCommand, RefusedGroupAndRefusedConnectionEndWithOne) {
  Server.ServeGroup("alt.other", {Post(1, 250)});
  EXPECT_EQ(Run({"--json", Entry, "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Text(Events().back()["status"]), "Group alt.test not found on 127.0.0.1");
  EXPECT_EQ(Text(Events().back()["how"]), "error");

  TScriptedNewsServer closed; // bound, never listening
  const std::string entry = "127.0.0.1:" + closed.PortText();
  Out.clear();
  EXPECT_EQ(Run({"--json", entry, "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Text(Events().back()["status"]).rfind("Not Connected: Error #10061", 0), 0u) << Out;
}

// SIGTERM stops the walk as A does: the article whose reply is coming is
// taken whole, then the walk says goodbye and stores the position after it;
// the next article in range is left for the next walk.
TEST_F(WalkCommand, SigtermStopsAfterTheArticleInHandAndStoresThePosition) {
  const std::string a = RandomBytes(9000, 6), b = RandomBytes(13000, 7);
  Server.OfferOverview();
  Server.HoldArticle(3);
  Server.ServeGroup("alt.test", Group(a, b, RandomBytes(18000, 10)));
  Start({"--json", "--max-lines", "1000", Entry, "alt.test"});
  ASSERT_TRUE(AskedForThree()) << Out;
  Walk.terminate();
  ASSERT_TRUE(WaitFor("\"type\":\"signal\"")) << Out;
  EXPECT_FALSE(Walk.waitForFinished(300)) << "the article in hand is waited for";
  Server.Release();
  EXPECT_EQ(Finish(), 4) << Out << Err;
  EXPECT_EQ(Text(Events().back()["how"]), "interrupted");
  EXPECT_EQ(ReadFile(Session + "b.bin"), b);
  EXPECT_FALSE(FileExists(Session + "c.bin"));
  EXPECT_EQ(Stored(), "4");
  EXPECT_FALSE(FileExists(Session + ".vostel.lock"));
}

// A second signal stops at once, as X does: the article still coming is not
// waited for, and the next walk begins with it.
TEST_F(WalkCommand, ASecondSignalStopsAtOnce) {
  const std::string a = RandomBytes(9000, 8), b = RandomBytes(13000, 9);
  Server.OfferOverview();
  Server.HoldArticle(3);
  Server.ServeGroup("alt.test", Group(a, b, RandomBytes(18000, 10)));
  Start({"--json", Entry, "alt.test"});
  ASSERT_TRUE(AskedForThree()) << Out;
  ::kill(pid_t(Walk.processId()), SIGINT);
  ASSERT_TRUE(WaitFor("SIGINT: stopping after the article in hand")) << Out;
  Walk.terminate();
  EXPECT_EQ(Finish(), 4) << Out << Err;
  EXPECT_NE(Out.find("SIGTERM: stopping now"), std::string::npos) << Out;
  EXPECT_FALSE(FileExists(Session + "b.bin"));
  EXPECT_EQ(Stored(), "3");
}

// Another walker has the session folder: the walk says which process and
// ends with 1, without connecting or writing a thing.
TEST_F(WalkCommand, AFolderWalkedByAnotherProcessIsLeftAlone) {
  Server.ServeGroup("alt.test", {Post(1, 250)});
  CreateFolder(Session);
  TWalkLock lock;
  ASSERT_TRUE(lock.Take(Session, ".vostel.lock"));
  EXPECT_EQ(Run({"--json", Entry, "alt.test"}), 1) << Out << Err;
  EXPECT_EQ(Text(Events().back()["status"]), "alt.test on " + Entry +
                                                 " is being walked by another Vostel (process " +
                                                 std::to_string(::getpid()) + ")");
  EXPECT_EQ(Text(Events().back()["how"]), "busy");
  EXPECT_EQ(Server.Connections(), 0);
  EXPECT_FALSE(FileExists(Session + "dati.ini"));
}
