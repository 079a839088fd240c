#include "codec/UUCode.h"
#include "nntp/NntpCli.h"
#include "platform/FileOps.h"
#include "tests/support/EventLoop.h"
#include "tests/support/TestApplication.h"
#include "tools/demo-server/DemoGroup.h"

#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>

namespace {

using TLines = std::vector<std::string>;

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QGuiApplication>);

// Starts the program and returns the port its first line names; 0 when it
// printed no such line.
std::uint16_t Start(QProcess& server, std::uint16_t port) {
  server.start(DEMO_SERVER, {"--port", QString::number(port)});
  while (!server.canReadLine() && server.waitForReadyRead(30000)) {
  }
  const std::string line = server.readLine().toStdString(), prefix = "Demo news server on 127.0.0.1:";
  return line.rfind(prefix, 0) == 0 ? std::uint16_t(std::stoul(line.substr(prefix.size()))) : 0;
}

// Every article of the group, header and body, fetched with the program's
// own client on one connection.
std::vector<TLines> Walk(std::uint16_t port) {
  TNntpCli cli;
  TLines lines;
  int done = 0;
  std::uint16_t error = 0;
  cli.OnMessageLine = [&](TObject*) { lines.push_back(cli.LastResponse()); };
  cli.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t e) {
    ++done;
    error = e;
  };
  auto request = [&](const std::function<void()>& send) {
    lines.clear();
    const int want = done + 1;
    send();
    return PumpUntil([&] { return done >= want; }) && error == 0;
  };
  cli.SetHost("127.0.0.1");
  cli.SetPort(std::to_string(port));
  cli.Connect();
  std::vector<TLines> articles;
  if (!PumpUntil([&] { return cli.State() == nntpReady; }) || !request([&] { cli.Group(DemoGroupName); }))
    return articles;
  for (std::int64_t n = cli.ArticleFirst(); n <= cli.ArticleLast(); ++n)
    if (request([&] { cli.ArticleByNumber(n); }))
      articles.push_back(lines);
  request([&] { cli.Quit(); });
  return articles;
}

// Cuts the encoded blocks out of a body the plain way (begin ... end,
// begin-base64 ... ====, a base64 MIME part up to the next boundary) into
// files that TUUCode decodes; the decoded files land in folder.
void DecodeBlocks(const TLines& body, const std::string& folder) {
  std::vector<std::pair<TAlgorithm, std::string>> blocks;
  bool open = false, mimeHeader = false;
  std::string mimeName;
  for (const std::string& l : body) {
    if (open) {
      open = !(l == "end" || l == "====" || l.rfind("--", 0) == 0);
      blocks.back().second += open ? l + "\n" : "end\n";
    } else if (l.rfind("begin-base64 ", 0) == 0 || l.rfind("begin ", 0) == 0) {
      blocks.push_back({l[5] == '-' ? base64decode : uudecode, l + "\n"});
      open = true;
    } else if (l == "Content-Transfer-Encoding: base64") {
      mimeHeader = true;
    } else if (mimeHeader && l.rfind("Content-Disposition: inline; filename=\"", 0) == 0) {
      mimeName = l.substr(39, l.size() - 40);
    } else if (mimeHeader && l.empty()) {
      blocks.push_back({base64decode, "begin-base64 644 " + mimeName + "\n"});
      open = true;
      mimeHeader = false;
    }
  }
  EXPECT_FALSE(open) << "a block runs to the end of the article";
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::string part = folder + "part" + std::to_string(i);
    AppendText(part, blocks[i].second);
    TUUCode codec;
    codec.SetAlgorithm(blocks[i].first);
    codec.SetInputFile(part);
    codec.Execute();
    DeleteFile(part);
  }
}

// A taken port has an exit code of its own, so the run command can start
// Vostel alone; SIGINT and SIGTERM end the program cleanly, and a rerun binds
// the same port at once while the connections it closed wait out their time.
TEST(DemoServer, ArticlesDecodeToTheGeneratedFilesAndOnlyAttachmentsAreInRange) {
  const std::uint16_t port = TScriptedNewsServer().Port(); // a port that was free just now
  QProcess server, second;
  ASSERT_EQ(Start(server, port), port) << server.readAllStandardError().toStdString();
  EXPECT_EQ(Start(second, port), 0);
  ASSERT_TRUE(second.state() == QProcess::NotRunning || second.waitForFinished(30000));
  EXPECT_EQ(second.exitCode(), 3);
  EXPECT_NE(second.readAllStandardError().toStdString().find("port " + std::to_string(port) + " is taken\n"),
            std::string::npos);

  const std::vector<TLines> articles = Walk(port);
  ASSERT_EQ(articles.size(), 5u);
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString() + "/";
  int fetched = 0;
  for (const TLines& article : articles) {
    const auto blank = std::find(article.begin(), article.end(), "");
    ASSERT_NE(blank, article.end());
    const TLines body(blank + 1, article.end());
    const auto lines =
        std::find_if(article.begin(), blank, [](auto& h) { return h.rfind("Lines: ", 0) == 0; });
    ASSERT_NE(lines, blank);
    EXPECT_EQ(*lines, "Lines: " + std::to_string(body.size()));
    const bool attachment = std::any_of(body.begin(), body.end(), [](auto& l) {
      return l.rfind("begin", 0) == 0 || l == "Content-Transfer-Encoding: base64";
    });
    // The usual range 100..1000 takes exactly the articles that carry files.
    EXPECT_EQ(body.size() >= 100 && body.size() <= 1000, attachment) << *lines;
    if (attachment) {
      ++fetched;
      DecodeBlocks(body, folder);
    }
  }
  EXPECT_EQ(fetched, 3);
  const TDemoGroup group = MakeDemoGroup(); // the files the program made too
  ASSERT_EQ(group.Files.size(), 4u);
  for (const TDemoFile& file : group.Files)
    EXPECT_TRUE(FileExists(folder + file.Name) && ReadFile(folder + file.Name) == file.Data) << file.Name;
  EXPECT_EQ(QImage((folder + "vostel.png").c_str()).size(), QSize(480, 270));
  EXPECT_EQ(QImage((folder + "badge.png").c_str()).size(), QSize(240, 150));
  QProcess tar;
  tar.start("tar", {"-tf", QString::fromStdString(folder + "vostel-demo.tar")});
  ASSERT_TRUE(tar.waitForFinished());
  EXPECT_EQ(tar.readAllStandardOutput().toStdString(), "vostel-demo/hello.txt\nvostel-demo/range.txt\n");

  EXPECT_EQ(Walk(port).size(), 5u); // a second connection gets the same group
  ::kill(pid_t(server.processId()), SIGINT);
  ASSERT_TRUE(server.waitForFinished(10000));
  EXPECT_EQ(server.exitStatus() == QProcess::NormalExit ? server.exitCode() : -1, 0);
  ASSERT_EQ(Start(second, port), port);
  second.terminate();
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1, 0);
}

TEST(DemoServer, BadArgumentsAreRefused) {
  for (const QStringList& args : {QStringList{"--port"}, {"--port", "70000"}, {"--port", "12x"}, {"-v"}}) {
    QProcess server;
    server.start(DEMO_SERVER, args);
    ASSERT_TRUE(server.waitForFinished(10000));
    EXPECT_EQ(server.exitCode(), 2) << args.join(' ').toStdString();
  }
}

} // namespace
