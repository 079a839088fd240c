#include "tests/app/AppTest.h"

#include <QGuiApplication>
#include <QMdiSubWindow>
#include <QScreen>
#include <QToolButton>

#include <algorithm>

using Geometry = AppTest;

// On the test's screen, and by ctest on one of 1600x1000 pixels at scale 1
// and 2: a first run takes two thirds of the screen, in its middle. Main and
// decode window sizes kept from a screen twice as large come back within
// this one.
TEST_F(Geometry, AFirstRunTakesTwoThirdsOfTheScreenAndAKeptSizeFitsIt) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  Start();
  const QRect first = Main->geometry();
  // Less only by the frame; more where the window needs it.
  const QSize least = Main->minimumSizeHint();
  EXPECT_NEAR(first.width(), std::max(area.width() * 2 / 3, least.width()), 4) << area.width();
  EXPECT_NEAR(first.height(), std::max(area.height() * 2 / 3, least.height()), 4) << area.height();
  EXPECT_LE((Main->frameGeometry().center() - area.center()).manhattanLength(), 2);
  EXPECT_TRUE(Main->close());

  const std::string a = NewsServer("alt.a");
  DeleteFile(Folder + "VOSTEL.INI");
  WriteLists({a}, {"alt.a"});
  WriteSettings("[WINDOWS]\r\nMAIN=40,30,2800,1800\r\nDECODE=2800,1800\r\n");
  Start();
  EXPECT_TRUE(area.contains(Main->frameGeometry()));
  EXPECT_GE(Main->frameGeometry().width(), area.width() - 1);
  Select(a, "alt.a");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 1);
  const QSize room = Main->mdiArea->viewport()->size();
  const QSize decode = Main->mdiArea->subWindowList().at(0)->size();
  EXPECT_TRUE(decode.width() <= room.width() && decode.height() <= room.height())
      << decode.width() << "x" << decode.height();
}
