#include "window/TransferProgress.h"
#include "tests/window/TestChild.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>

#include <chrono>

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using TransferProgressWalk = WindowWalkTest;

namespace {

QString Size(std::int64_t bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); }

} // namespace

// On a clock of the test's, a tick every 250 ms. The first speed is the rate
// itself and a change of rate shows over seconds; a tick at the same instant
// keeps its bytes for the next. The time left waits for 5 s of walking.
// After 10 s without a byte the speed is 0, the estimate gone and the timer
// off until the next byte. A name from a post shows its last part, as text.
// The row shows the figures of every tick of the session's meter.
TEST(TransferProgress, SmoothedSpeedIdleAfterTenSecondsAndTimeLeftOnceKnown) {
  TTransferMeter m;
  TTransferProgress p;
  m.OnTick = [&](const TTransferFigures& figures) { p.Show(figures); };
  std::chrono::steady_clock::time_point now;
  TArticleCount walk{0, 100};
  m.SetClock([&] { return now; });
  m.Articles = [&] { return walk; };
  m.FileStarted("pics\\..\\<i>holiday photo.jpg");
  m.FileStarted(""); // a begin line without a name
  auto tick = [&](std::int64_t bytes) {
    now += 250ms;
    m.Tick();
    if (bytes > 0)
      m.Received(bytes);
    return p.lblTimeLeft->text().toStdString();
  };
  m.Received(1000);
  m.Tick();
  EXPECT_EQ(p.Speed(), 0);
  EXPECT_EQ(p.lblFile->text(), "<i>holiday photo.jpg");
  EXPECT_EQ(p.lblFile->textFormat(), Qt::PlainText);
  for (int i = 0; i < 12; ++i) {
    tick(i < 11 ? 1000 : 2000);
    EXPECT_DOUBLE_EQ(p.Speed(), 4000) << i;
  }
  walk.Handled = 5;
  EXPECT_EQ(tick(0), "\u2014"); // 3.25 s of walking
  EXPECT_GT(p.Speed(), 4100);
  EXPECT_LT(p.Speed(), 5000);
  EXPECT_EQ(p.lblReceived->text() + " " + p.lblArticles->text(), Size(14000) + " 5 of 100");
  for (int i = 0; i < 6; ++i)
    tick(0);
  EXPECT_EQ(tick(0), "1 min 35 s"); // 95 articles at 1 a second
  const double falling = p.Speed();
  for (int i = 0; i < 32; ++i)
    tick(0);
  EXPECT_TRUE(m.Awake());
  EXPECT_GT(p.Speed(), 0);
  EXPECT_LT(p.Speed(), falling);
  EXPECT_EQ(tick(0), "\u2014"); // 10 s without a byte
  EXPECT_FALSE(m.Awake());
  EXPECT_EQ(p.lblSpeed->text(), TTransferProgress::SpeedText(0));
  m.Received(100);
  EXPECT_TRUE(m.Awake());
}

// Articles that come in bursts at a steady rate of one a second: the raw
// estimate jumps, the time left shown moves by a third at most from tick to
// tick and stays near the truth. The walk's end puts the speed to 0 at
// once, and the timer off.
TEST(TransferProgress, TimeLeftMovesByAThirdAtMostAndTheEndStopsTheSpeed) {
  TTransferMeter m;
  std::chrono::steady_clock::time_point now;
  TArticleCount walk{1, 200};
  m.SetClock([&] { return now; });
  m.SetEstimateAfter(1000ms);
  m.Articles = [&] { return walk; };
  std::vector<double> left;
  m.OnTick = [&](const TTransferFigures& f) {
    if (f.SecondsLeft)
      left.push_back(*f.SecondsLeft);
  };
  m.Received(1000);
  for (int i = 1; i <= 400; ++i) {
    now += 250ms;
    if (i % 12 == 0)
      walk.Handled += 3; // three at once every three seconds
    m.Received(1000);
    m.Tick();
  }
  ASSERT_GT(left.size(), 300u);
  for (std::size_t i = 1; i < left.size(); ++i)
    EXPECT_LE(std::abs(left[i] - left[i - 1]), left[i - 1] / 3 + 0.25) << i;
  const double truth = double(walk.Total - walk.Handled); // at one a second
  EXPECT_NEAR(left.back(), truth, truth / 3);
  EXPECT_GT(m.Speed(), 0);
  TTransferFigures last;
  m.OnTick = [&](const TTransferFigures& f) { last = f; };
  m.Ended();
  EXPECT_EQ(last.Speed, 0);
  EXPECT_EQ(last.Bytes, 401000);
  EXPECT_FALSE(m.Awake());
}

// A walk over a uuencoded, a MIME and a yEnc file and an article out of
// range: each file shows by its name as it arrives, every byte of every line
// counts, and the article in hand shows with the time left once there is
// something to go on. % Decoded follows the yEnc file, whose size is known,
// and stays 0 for the others. The walk's end puts the speed to 0.
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
  TTransferMeter& meter = Child->Session().Transfer();
  meter.SetEstimateAfter(0ms);
  std::int64_t bytes = 0;
  Lines names, shown; // shown: articles and time left as each body began
  std::vector<int> decoded;
  auto figures = [&] {
    return (progress.lblArticles->text() + " | " + progress.lblTimeLeft->text()).toStdString();
  };
  TTestSession& session = Child->Session();
  session.Nntp.OnMessageLine = [&, scan = session.Nntp.OnMessageLine](TObject* sender) {
    scan(sender);
    bytes += std::int64_t(session.Nntp.LastResponse().size()) + 2;
    if (names.empty() || names.back() != meter.FileName())
      names.push_back(meter.FileName());
    if (session.FNextStep == stepBody && session.FBodyLines == 1) {
      meter.Tick();
      shown.push_back(figures());
      Child->FlushUpdates();
      decoded.push_back(Child->ProgressBar1->value());
    }
  };
  ASSERT_TRUE(WaitEnd());
  meter.Tick();
  EXPECT_EQ(names, (Lines{"", "a.bin", "b.bin", "c d.bin"}));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_TRUE(shown[0].starts_with("1 of 4 | ")) << shown[0];
  EXPECT_TRUE(shown[1].starts_with("2 of 4 | ") && shown[1].ends_with(" s")) << shown[1];
  EXPECT_TRUE(shown[2].starts_with("3 of 4 | ")) << shown[2];
  EXPECT_EQ(decoded, (std::vector<int>{0, 0, 0}));
  Child->FlushUpdates();
  EXPECT_EQ(Child->ProgressBar1->value(), 100);
  EXPECT_EQ(figures(), "4 of 4 | 0 s");
  EXPECT_EQ(meter.Bytes(), bytes);
  EXPECT_EQ(progress.lblReceived->text(), Size(bytes));
  EXPECT_EQ(progress.lblFile->text(), "c d.bin");
  EXPECT_EQ(progress.Speed(), 0);
  EXPECT_EQ(Child->Saved(), (Lines{"a.bin", "b.bin", "c d.bin"}));
}
