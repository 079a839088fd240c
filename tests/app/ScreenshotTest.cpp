#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"

#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QToolButton>

#include <algorithm>

using Screenshot = AppTest;

// Run on a virtual X server by screenshot.sh: the main window as a user sees
// it, with two decode windows tiled, saved into the build tree.
TEST_F(Screenshot, MainWindowWithTwoTiledDecodeWindows) {
  const std::string a = NewsServer("alt.binaries.pictures"), b = NewsServer("alt.binaries.sounds");
  WriteLists({a, b, "news.example.net"}, {"alt.binaries.pictures", "alt.binaries.sounds", "alt.test"});
  Start();
  Main->move(0, 0);
  Main->resize(1040, 720);
  Main->MinR->setText("10");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Main.get()));
  Select(a, "alt.binaries.pictures");
  Main->OpenBtn->click();
  Select(b, "alt.binaries.sounds");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 2);
  Main->WindowTileItem->trigger();
  auto quit = [&](int i) {
    const auto lines = Servers[i]->Received();
    return std::find(lines.begin(), lines.end(), "QUIT") != lines.end();
  };
  EXPECT_TRUE(PumpUntil([&] { return quit(0) && quit(1); }, 20000));
  PumpFor(500);

  const QImage shot = QGuiApplication::primaryScreen()->grabWindow(Main->winId()).toImage();
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), Main->size() * Main->devicePixelRatio());
  QSet<QRgb> colours;
  for (int y = 0; y < shot.height(); y += 3)
    for (int x = 0; x < shot.width(); x += 3)
      colours.insert(shot.pixel(x, y));
  EXPECT_GT(colours.size(), 16) << "the picture is empty";
  EXPECT_TRUE(shot.save(VOSTEL_SCREENSHOT));
}
