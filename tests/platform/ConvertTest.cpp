#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

namespace {

std::string ConversionError(const std::string& text) {
  try {
    StrToInt(text);
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "no error";
}

} // namespace

TEST(StrToInt, AcceptsLeadingBlanksAndASign) {
  EXPECT_EQ(StrToInt(" 12"), 12);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("+3"), 3);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToInt, RejectsAnythingElseWithTheTextInTheMessage) {
  EXPECT_EQ(ConversionError("12 "), "'12 ' is not a valid integer value");
  EXPECT_EQ(ConversionError(""), "'' is not a valid integer value");
  EXPECT_EQ(ConversionError("1x"), "'1x' is not a valid integer value");
  EXPECT_EQ(ConversionError("99999999999"), "'99999999999' is not a valid integer value");
  EXPECT_EQ(ConversionError("2147483648"), "'2147483648' is not a valid integer value");
  EXPECT_EQ(ConversionError("-"), "'-' is not a valid integer value");
  EXPECT_EQ(ConversionError("\t5"), "'\t5' is not a valid integer value");
  EXPECT_EQ(StrToIntDef("abc", 42), 42);
}

TEST(Trim, StripsControlCodesAndBlanksAtBothEnds) {
  EXPECT_EQ(Trim(std::string("\0 \t a b \r\n", 10)), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0"); // only codes up to 32
}

TEST(Case, ComparesAsciiWithoutRegardToCase) {
  EXPECT_TRUE(SameText("Lines:", "LINES:"));
  EXPECT_FALSE(SameText("Lines", "Lines:"));
  EXPECT_EQ(UpperCase("begin-base64 ä"), "BEGIN-BASE64 ä");
}

// A run of lines is cut where a news client cuts it, at the first CR LF, and
// stops short of what the client must see line by line.
TEST(NextRunLine, CutsAtCrLfAndStopsShortOfWhatTheClientKeeps) {
  const std::string run = "a\rb\r\r\nc\n\r\n\r\n.x\r\n";
  const char* at = run.data();
  const char* const end = run.data() + run.size();
  std::string_view line;
  ASSERT_TRUE(NextRunLine(at, end, 8, line));
  EXPECT_EQ(line, "a\rb\r"); // a lone CR, and one before the CR LF, belong to the line
  ASSERT_TRUE(NextRunLine(at, end, 8, line));
  EXPECT_EQ(line, "c\n");
  ASSERT_TRUE(NextRunLine(at, end, 8, line));
  EXPECT_EQ(line, "");
  const char* const dot = at;
  EXPECT_FALSE(NextRunLine(at, end, 8, line)); // undone, or the reply's end
  EXPECT_EQ(at, dot);
  for (const std::string rest : {"abcdefghi\r\n", "abc\r", "abc"}) { // too long, not whole
    at = rest.data();
    EXPECT_FALSE(NextRunLine(at, rest.data() + rest.size(), 8, line)) << rest;
    EXPECT_EQ(at, rest.data());
  }
}
