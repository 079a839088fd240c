#include "walk/TransferMeter.h"

#include <gtest/gtest.h>

// The texts a terminal shows as a window does; a walk of days says no more
// than that it is long.
TEST(TransferMeter, FiguresAsTexts) {
  EXPECT_EQ(TTransferMeter::TimeLeftText(std::nullopt), "\u2014");
  EXPECT_EQ(TTransferMeter::TimeLeftText(0.4), "0 s");
  EXPECT_EQ(TTransferMeter::TimeLeftText(95), "1 min 35 s");
  EXPECT_EQ(TTransferMeter::TimeLeftText(2 * 3600 + 5 * 60 + 59), "2 h 5 min");
  EXPECT_EQ(TTransferMeter::TimeLeftText(400 * 3600), "over 99 h");
  EXPECT_EQ(TTransferMeter::ArticlesText({}), "\u2014");
  EXPECT_EQ(TTransferMeter::ArticlesText({3, 4}), "3 of 4");
  EXPECT_EQ(TTransferMeter::SpeedText(0), TTransferMeter::SizeText(0) + "/s");
}
