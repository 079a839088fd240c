#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <QDir>
#include <QProcess>

#include <csignal>
#include <unistd.h>

using Lines = std::vector<std::string>;
using Session = SessionTest;

TEST_F(Session, GroupProgressInPerMilleWithout32BitOverflow) {
  TTestSession& c = *Child;
  c.FArticleStart = c.FArticleEnd = c.FArticleCurrent = 500;
  EXPECT_EQ(c.GroupProgress(), 0);
  c.FArticleEnd = 1500;
  EXPECT_EQ(c.GroupProgress(), 0);
  c.FArticleCurrent = 1500;
  EXPECT_EQ(c.GroupProgress(), 1000);
  c.FArticleCurrent = 999; // truncates
  EXPECT_EQ(c.GroupProgress(), 499);
  // A walk over 3 million articles numbered past 2^31.
  c.FArticleStart = 3'000'000'000;
  c.FArticleEnd = c.FArticleStart + 3'000'000;
  c.FArticleCurrent = c.FArticleStart + 2'500'000;
  EXPECT_EQ(c.GroupProgress(), 833);
  // Numbers near the 64-bit limits from a hostile server: no overflow.
  c.FArticleStart = c.FArticleCurrent = 0;
  c.FArticleEnd = INT64_MAX;
  EXPECT_EQ(c.GroupProgress(), 0);
  c.FArticleCurrent = INT64_MAX / 2;
  EXPECT_EQ(c.GroupProgress(), 500);
  c.FArticleStart = INT64_MIN;
  EXPECT_EQ(c.GroupProgress(), 0);
}

// What a program without a window learns of a walk: how it ended, the files
// it saved and left incomplete, its figures, and that nothing more comes.
class SessionEvents : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    BeforeStart = [this](TTestSession& session) {
      session.OnWalkEnded = [this](TObject*, TWalkEnd how) {
        Said.push_back("ended " + std::to_string(how));
      };
      session.OnSettled = [this, &session](TObject*) { Said.push_back("settled " + session.Status()); };
    };
  }
  bool WaitSettled() {
    return PumpUntil([&] { return !Said.empty() && Said.back().starts_with("settled"); });
  }
  Lines Said;
};

// Done: the walk ends once, settles once its QUIT is answered, and says
// which files it left incomplete and what it moved.
TEST_F(SessionEvents, ADoneWalkEndsAndSettlesOnce) {
  const std::string a = RandomBytes(3000, 1);
  const Lines uu = UU("a.bin", a);
  Server.ServeGroup("alt.test", {Post(1, 250, uu), Post(2, 250, {uu.begin(), uu.begin() + 10})});
  std::vector<TTransferFigures> figures;
  Open();
  Child->OnTransfer = [&](TObject*, const TTransferFigures& f) { figures.push_back(f); };
  ASSERT_TRUE(WaitSettled());
  PumpFor(300);
  EXPECT_EQ(Said, (Lines{"ended 0", "settled Downloading Done"}));
  EXPECT_TRUE(Child->Settled());
  EXPECT_EQ(Child->Saved(), Lines{"a.bin"});
  ASSERT_FALSE(figures.empty());
  EXPECT_EQ(figures.back().File, "a.bin");
  EXPECT_GT(figures.back().Bytes, std::int64_t(a.size()));
  EXPECT_EQ(figures.back().Articles.Total, 2);
  Child->FormClose();
  EXPECT_EQ(Child->Incomplete, Lines{});
  EXPECT_FALSE(FileExists(Folder() + TArticleScanner::LockFileName));
  EXPECT_TRUE(Errors.empty());
}

// A, X, a refused connect and a log-in wanted: only the walks that ended by
// themselves say how; every one settles, the part file A keeps open is
// named as incomplete.
TEST_F(SessionEvents, EveryEndSettles) {
  const Lines uu = UU("kilo.bin", RandomBytes(6000, 3));
  Server.ServeGroup("alt.test",
                    {Post(1, 250, {uu.begin(), uu.begin() + 40}), Post(2, 250, {uu.begin() + 40, uu.end()})});
  Open();
  OnLine(uu[5], [&] { Child->AfterClick(); });
  ASSERT_TRUE(WaitSettled());
  EXPECT_EQ(Said, Lines{"settled Downloading Interrupted by User"});
  EXPECT_EQ(Child->Incomplete, Lines{"1.UUE: Unfinished part file kept open 1.UUE"});
  Child->FormClose();

  Said.clear();
  Open();
  OnLine(uu[5], [&] { Child->StopClick(); });
  ASSERT_TRUE(WaitSettled());
  EXPECT_EQ(Said, Lines{"settled Downloading Interrupted by User"});
  Child->FormClose();

  Said.clear();
  TScriptedNewsServer refusing, wanting;
  Use(refusing);
  Open();
  ASSERT_TRUE(WaitSettled());
  EXPECT_EQ(Said, (Lines{"ended 1", "settled Not Connected: Error #10061 Connection refused"}));
  Child->FormClose();

  Said.clear();
  wanting.Reply("200 ready").Expect("GROUP alt.test").Reply("480 Authentication required");
  wanting.Expect("QUIT").Reply("205 bye").Close().Start();
  Use(wanting);
  Open();
  ASSERT_TRUE(WaitSettled());
  const std::string wanted = "Log-in needed by 127.0.0.1: set a user and password in Configure";
  EXPECT_EQ(Said, (Lines{"ended 2", "settled " + wanted}));
  EXPECT_EQ(Child->Caption, Captioned("Downloading Interrupted"));
  Child->FormClose();
  EXPECT_TRUE(Errors.empty());
}

// Two walkers on one session folder, in one process: the second says whose
// the folder is, touches nothing in it and waits for R; once the first has
// closed, R walks the group.
TEST_F(SessionEvents, ASecondWalkerOnTheFolderStopsWithoutTouchingIt) {
  Server.ServeGroup("alt.test", {Post(1, 10), Post(2, 10)});
  Store(1);
  Values.pacing = "100000"; // the first stays at its first request
  Open();
  std::unique_ptr<TTestSession> first = std::move(Child);
  Open();
  const std::string busy = "alt.test on 127.0.0.1:" + Server.PortText() +
                           " is being walked by another Vostel (process " + std::to_string(::getpid()) + ")";
  EXPECT_EQ(Child->Panel(0), busy);
  EXPECT_EQ(Child->Buttons(), "--R-");
  EXPECT_FALSE(Child->Downloading());
  EXPECT_EQ(Child->SessionDir(), "");
  ASSERT_TRUE(WaitSettled());
  EXPECT_EQ(Said, (Lines{"ended 3", "settled " + busy}));
  EXPECT_EQ(Child->MemoLines(), Lines{});
  Child->FormClose();
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(1));

  Said.clear();
  Values.pacing = "1";
  Open();
  first->FormClose();
  Child->RestartClick();
  ASSERT_TRUE(WaitEnd());
  CloseExpecting(3);
  EXPECT_TRUE(Errors.empty());
}

// Another process walks the folder; when it dies without a word, the kernel
// lets go of its lock, and R walks the group.
TEST_F(SessionEvents, TheLockOfAProcessThatDiedIsFree) {
  if (!HaveTool(Python))
    GTEST_SKIP() << Python << " is not installed";
  Server.ServeGroup("alt.test", {Post(1, 10)});
  CreateFolder(Folder());
  const std::string lock = Folder() + TArticleScanner::LockFileName;
  QProcess other;
  other.start(Python, {"-c",
                       "import fcntl, os, sys, time\n"
                       "f = open(sys.argv[1], 'a+')\n"
                       "fcntl.flock(f, fcntl.LOCK_EX)\n"
                       "f.truncate(0); f.write('%d\\n' % os.getpid()); f.flush()\n"
                       "print('locked', flush=True)\n"
                       "time.sleep(60)\n",
                       QString::fromStdString(lock)});
  ASSERT_TRUE(other.waitForReadyRead(10000));
  Open();
  EXPECT_EQ(Child->Panel(0), "alt.test on 127.0.0.1:" + Server.PortText() +
                                 " is being walked by another Vostel (process " +
                                 std::to_string(other.processId()) + ")");
  ::kill(pid_t(other.processId()), SIGKILL);
  ASSERT_TRUE(other.waitForFinished(10000));
  Child->RestartClick();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Panel(0), "Downloading Done");
  CloseExpecting(2);
  EXPECT_FALSE(FileExists(lock));
  EXPECT_TRUE(Errors.empty());
}
