#include "walk/PostSubject.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using Numbers = std::vector<std::int64_t>;

TEST(PostSubject, ReadsTheNameThePartAndTheFileIndexInTheFormsPostersUse) {
  const std::vector<std::tuple<std::string, std::string, Numbers>> subjects = {
      {"\"holiday.mkv\" yEnc (012/140) 104857600", "holiday.mkv", {12, 140, 0, 0}},
      {"holiday.mkv (12/40)", "holiday.mkv", {12, 40, 0, 0}},
      {"holiday.mkv [12/40]", "holiday.mkv", {12, 40, 0, 0}},
      {"holiday.mkv YENC (7/40)", "holiday.mkv", {7, 40, 0, 0}},
      {"[3/7] - \"holiday.mkv\" yEnc (12/40)", "holiday.mkv", {12, 40, 3, 7}},
      {"Trip [03/12] - \"trip.part03.rar\" yEnc (1/103) 78643200", "trip.part03.rar", {1, 103, 3, 12}},
      {"[3/7] holiday.mkv (12/40)", "holiday.mkv", {12, 40, 3, 7}},
      {"[3/7] - holiday.mkv", "holiday.mkv", {0, 0, 3, 7}},
      {"Our holiday - File 3 of 7 - \"holiday.mkv\" yEnc (12/40)", "holiday.mkv", {12, 40, 3, 7}},
      {"\"our holiday [2024] (cut).mkv\" yEnc (1/40)", "our holiday [2024] (cut).mkv", {1, 40, 0, 0}},
      {"our holiday [2024] (cut).mkv (1/40)", "our holiday [2024] (cut).mkv", {1, 40, 0, 0}},
      {"\"holiday.nfo\" yEnc (00/12)", "holiday.nfo", {0, 12, 0, 0}},
      {"[7/7] - \"holiday.par2\" yEnc (1/1)", "holiday.par2", {1, 1, 7, 7}},
      {"vostel.png - the demo picture (uuencoded)", "vostel.png", {0, 0, 0, 0}},
      {"Holiday pictures (1/2)", "Holiday pictures", {1, 2, 0, 0}},
      {"Film \"The Big Day\" 2020 - bigday.mkv (1/30)", "bigday.mkv", {1, 30, 0, 0}},
      {"  holiday-sample.mkv \r", "holiday-sample.mkv", {0, 0, 0, 0}},
      // Look-alikes: a reply is about a post, no part of it; a date or a
      // count whose number exceeds its total is no part number; a number
      // too long for a count is none.
      {"Re: holiday.mkv (1/2)", "", {0, 0, 0, 0}},
      {"Photos (2024/12)", "Photos (2024/12)", {0, 0, 0, 0}},
      {"Photos (12/2024)", "Photos", {12, 2024, 0, 0}}, // may be a part: 2024 parts are 1.5 GB
      {"x.mkv (0/0) (1234567890/9999999999)", "x.mkv (0/0) (1234567890/9999999999)", {0, 0, 0, 0}},
  };
  for (const auto& [subject, name, numbers] : subjects) {
    const TPostSubject post = ParseSubject(subject);
    EXPECT_EQ(post.Name, name) << subject;
    EXPECT_EQ((Numbers{post.Part, post.Parts, post.File, post.Files}), numbers) << subject;
  }
}

// The parts of one file share a key, however their numbers are written; the
// files of one numbered set share one; subjects that differ in anything but
// those numbers do not, nor do subjects without any.
TEST(PostSubject, PartsOfAFileAndFilesOfASetShareAKeyLookAlikesDoNot) {
  const auto key = [](const char* subject) { return ParseSubject(subject).Key; };
  EXPECT_EQ(key("\"holiday.mkv\" yEnc (1/40) 31457280"), key("\"holiday.mkv\" yEnc (40/40) 31457280"));
  EXPECT_EQ(key("holiday.mkv [01/40]"), key("holiday.mkv [12/40]"));
  EXPECT_EQ(key("[1/7] - \"holiday.mkv\" yEnc (1/40) 31457280"),
            key("[7/7] - \"holiday.par2\" yEnc (1/1) 1024"));
  EXPECT_EQ(key("Our holiday - File 1 of 7 - holiday.mkv"),
            key("Our holiday - File 7 of 7 - holiday.par2 (1/1)"));

  EXPECT_NE(key("holiday.mkv (1/40)"), key("holiday.mkv (2/41)"));
  EXPECT_NE(key("[1/7] - \"holiday.mkv\" yEnc (1/40)"), key("[1/8] - \"holiday.mkv\" yEnc (1/40)"));
  EXPECT_NE(key("Summer [1/7] - \"a.rar\" yEnc (1/4)"), key("Winter [1/7] - \"a.rar\" yEnc (1/4)"));
  for (const char* none :
       {"vostel.png - the demo picture (uuencoded)", "Re: holiday.mkv (1/2)", "Photos (2024/12)", ""})
    EXPECT_EQ(key(none), "") << none;

  // A hostile subject of 40,000 counts and dashes is read in one pass.
  std::string hostile;
  while (hostile.size() < 300000)
    hostile += "[1/2] - (1/2) ";
  EXPECT_EQ(ParseSubject(hostile).Part, 1);
}
