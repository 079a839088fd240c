#include "session/TransferProgress.h"
#include "tests/session/TestChild.h"

#include <QLabel>
#include <QLocale>
#include <QRegularExpression>

#include <chrono>

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using TransferProgressWalk = WalkTest;

namespace {

QString Size(std::int64_t bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); }

} // namespace

// The first figure is the rate itself; later ones follow a change of rate
// over seconds, not at once. A tick at the same instant divides by nothing,
// and keeps its bytes for the next. After 10 s without a byte the window is
// idle: the speed shows 0, the estimate nothing, and the timer stops until
// the next byte.
TEST(TransferProgress, SpeedIsASmoothedRateAndFallsToNothingWhenIdle) {
  TTransferProgress p;
  std::chrono::steady_clock::time_point now;
  p.SetClock([&] { return now; });
  p.Tick();
  for (const QLabel* figure : {p.lblFile, p.lblArticles, p.lblTimeLeft})
    EXPECT_EQ(figure->text(), "\u2014");
  EXPECT_EQ(p.lblSpeed->text(), TTransferProgress::SpeedText(0));

  p.Received(1000);
  EXPECT_TRUE(p.Awake());
  p.Tick();
  EXPECT_EQ(p.Speed(), 0);
  for (int i = 0; i < 12; ++i) {
    now += 250ms;
    p.Tick();
    EXPECT_DOUBLE_EQ(p.Speed(), 4000) << i;
    p.Received(1000);
  }
  p.Received(1000); // twice the rate for one tick
  now += 250ms;
  p.Tick();
  EXPECT_GT(p.Speed(), 4100);
  EXPECT_LT(p.Speed(), 5000);
  EXPECT_EQ(p.Bytes(), 14000);
  EXPECT_EQ(p.lblReceived->text(), Size(14000));
  EXPECT_EQ(p.lblSpeed->text(), TTransferProgress::SpeedText(p.Speed()));

  double before = p.Speed();
  for (int i = 0; i < 39; ++i) { // 9.75 s without a byte
    now += 250ms;
    p.Tick();
    EXPECT_LT(p.Speed(), before);
    before = p.Speed();
  }
  EXPECT_TRUE(p.Awake());
  EXPECT_GT(p.Speed(), 0);
  now += 250ms;
  p.Tick();
  EXPECT_FALSE(p.Awake());
  EXPECT_EQ(p.Speed(), 0);
  EXPECT_EQ(p.lblSpeed->text(), TTransferProgress::SpeedText(0));
  p.Received(100);
  EXPECT_TRUE(p.Awake());
}

// The time left comes from the articles handled over the walking time, once
// there are 5 s of it to go on; it needs no estimate once all are handled.
// A name from a post shows its last part, as plain text.
TEST(TransferProgress, TimeLeftFromTheWalkOnceKnownAndTheFileByItsName) {
  TTransferProgress p;
  std::chrono::steady_clock::time_point now;
  TArticleCount walk;
  p.SetClock([&] { return now; });
  p.Articles = [&] { return walk; };
  p.Wake();
  auto at = [&](std::chrono::milliseconds time, std::int64_t handled, std::int64_t total) {
    now = std::chrono::steady_clock::time_point() + time;
    walk = {handled, total};
    p.Wake();
    p.Tick();
    return (p.lblArticles->text() + " | " + p.lblTimeLeft->text()).toStdString();
  };
  EXPECT_EQ(at(1000ms, 0, 0), "\u2014 | \u2014"); // no GROUP reply yet
  EXPECT_EQ(at(2000ms, 0, 100), "0 of 100 | \u2014");
  EXPECT_EQ(at(5000ms, 8, 100), "8 of 100 | \u2014"); // 4 s of walking
  EXPECT_EQ(at(6000ms, 10, 100), "10 of 100 | 45 s");
  EXPECT_EQ(at(7000ms, 12, 132), "12 of 132 | 1 min 0 s");
  EXPECT_EQ(at(8000ms, 1, 1'000'000), "1 of 1,000,000 | over 99 h");
  EXPECT_EQ(at(9000ms, 100, 100), "100 of 100 | 0 s");

  p.FileStarted("pics\\..\\<i>holiday photo.jpg");
  p.FileStarted(""); // a begin line without a name
  p.Tick();
  EXPECT_EQ(p.lblFile->text(), "<i>holiday photo.jpg");
  EXPECT_EQ(p.lblFile->textFormat(), Qt::PlainText);
}

// A walk over a uuencoded, a MIME and a yEnc file and an article out of
// range, as the window shows it: each file by its name as it arrives, every
// byte of every line, and the articles handled, with the time left once
// there is something to go on.
TEST_F(TransferProgressWalk, ShowsTheFileTheBytesAndTheArticlesOfTheWalk) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(4000, 2), c = RandomBytes(5000, 3);
  Server.ServeGroup("alt.test", {Post(101, 250, UU("a.bin", a)),
                                 Post(102, 250,
                                      Join({{"Content-Transfer-Encoding: base64",
                                             "Content-Disposition: attachment; filename=\"b.bin\"", ""},
                                            Base64Lines(b),
                                            {"--b--"}})),
                                 Post(103, 250, YEncParts(c, "c d.bin", 1)[0]), Post(104, 10, {"text"})});
  Open();
  TTransferProgress& progress = *Child->TransferProgress;
  progress.SetEstimateAfter(0ms);
  std::int64_t bytes = 0;
  Lines names;
  std::vector<std::string> shown; // articles and time left as a body began
  Child->Nntp.OnMessageLine = [&, scan = Child->Nntp.OnMessageLine](TObject* sender) {
    scan(sender);
    bytes += std::int64_t(Child->Nntp.LastResponse().size()) + 2;
    if (names.empty() || names.back() != progress.FileName())
      names.push_back(progress.FileName());
    if (Child->FNextStep == stepBody && Child->FBodyLines == 1) {
      progress.Tick();
      shown.push_back((progress.lblArticles->text() + " | " + progress.lblTimeLeft->text()).toStdString());
    }
  };
  ASSERT_TRUE(WaitEnd());
  progress.Tick();
  EXPECT_EQ(names, (Lines{"", "a.bin", "b.bin", "c d.bin"}));
  EXPECT_EQ(shown[0], "0 of 4 | \u2014");
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_TRUE(QString::fromStdString(shown[1]).contains(QRegularExpression("^1 of 4 \\| \\d+ s$")))
      << shown[1];
  EXPECT_EQ(progress.Bytes(), bytes);
  EXPECT_EQ(progress.lblReceived->text(), Size(bytes));
  EXPECT_EQ(progress.lblFile->text(), "c d.bin");
  EXPECT_EQ((progress.lblArticles->text() + " | " + progress.lblTimeLeft->text()).toStdString(),
            "4 of 4 | 0 s");
  EXPECT_GT(progress.Speed(), 0);
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin", "c d.bin"}));
  EXPECT_TRUE(Errors.empty());
}
