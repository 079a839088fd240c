// The text pieces of replies and commands, read and written without a client.

#include "nntp/NntpText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Every day of five centuries, as a server's DATE gives it, comes back as the
// same day in a NEWGROUPS argument, one day after the one before; the days
// that no calendar has (century leap days included) are refused.
TEST(NntpText, ServerDatesAndCommandDatesAgreeOverCenturies) {
  static const int MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  double previous = 0;
  bool first = true;
  for (int y = 1801; y <= 2300; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= MonthDays[m - 1]; ++d) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%04d%02d%02d235958", y, m, d);
        double when = -1;
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (m == 2 && d == 29 && !leap) {
          ASSERT_FALSE(DecodeServerDate(stamp, when)) << stamp;
          continue;
        }
        ASSERT_TRUE(DecodeServerDate(stamp, when)) << stamp;
        ASSERT_EQ(FormatWhen(when), std::string(stamp + 2, 6) + " 235958") << stamp;
        if (!first) {
          ASSERT_NEAR(when - previous, 1.0, 1e-6) << stamp;
        }
        previous = when, first = false;
      }
  double when = 7;
  for (const char* bad : {"20240230000000", "20241301000000", "20240101240000", "20240101006000",
                          "00000101000000", "2024010100000", "2024010100000x", "+2024010100000"})
    EXPECT_FALSE(DecodeServerDate(bad, when)) << bad;
  EXPECT_EQ(when, 7); // untouched by a refusal
}

TEST(NntpText, NumbersSaturateAndWordsSplitOnBlanks) {
  bool over = true;
  std::size_t pos = 0;
  EXPECT_EQ(ReadNumber(" \r\n-9223372036854775808 x", pos, &over), INT64_MIN);
  EXPECT_FALSE(over);
  EXPECT_EQ(pos, 23u);
  pos = 0;
  EXPECT_EQ(ReadNumber("-9223372036854775809", pos, &over), INT64_MIN);
  EXPECT_TRUE(over);
  pos = 0;
  EXPECT_EQ(ReadNumber("+99999999999999999999999", pos, &over), INT64_MAX);
  EXPECT_TRUE(over);
  pos = 0;
  EXPECT_EQ(ReadNumber("abc", pos, &over), 0);
  EXPECT_FALSE(over);
  EXPECT_EQ(pos, 0u);

  EXPECT_EQ(Words(" COMPRESS\tDEFLATE  GZIP "),
            (std::vector<std::string_view>{"COMPRESS", "DEFLATE", "GZIP"}));
  EXPECT_TRUE(Words(" \t ").empty());
}

} // namespace
