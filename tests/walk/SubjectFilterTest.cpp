#include "walk/SubjectFilter.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The subjects of list that the wildmat passes.
std::vector<std::string> Passed(const char* wildmat, const std::vector<std::string>& list) {
  const TSubjectFilter filter(wildmat);
  std::vector<std::string> passed;
  for (const std::string& subject : list)
    if (filter.Passes(subject))
      passed.push_back(subject);
  return passed;
}

using Subjects = std::vector<std::string>;

} // namespace

// The last pattern that matches decides; none matching turns the subject
// away, so negations alone pass nothing. Blanks around patterns do not count.
TEST(SubjectFilter, TheLastMatchingPatternDecidesWithoutRegardToCase) {
  const Subjects subjects = {"Holiday.JPG", "beach.png", "Holiday SAMPLE.jpg", "notes.txt", ""};
  EXPECT_EQ(Passed("*.jpg, *.png ,!*sample*", subjects), (Subjects{"Holiday.JPG", "beach.png"}));
  EXPECT_EQ(Passed("!*sample*,*.jpg", subjects), (Subjects{"Holiday.JPG", "Holiday SAMPLE.jpg"}));
  EXPECT_EQ(Passed("!*sample*", subjects), Subjects{});
  EXPECT_EQ(Passed("*,!*.txt", subjects), (Subjects{"Holiday.JPG", "beach.png", "Holiday SAMPLE.jpg", ""}));
  EXPECT_EQ(Passed("", subjects), subjects);
  EXPECT_EQ(Passed("  ", subjects), subjects);
  EXPECT_EQ(Passed("notes.txt", subjects), Subjects{"notes.txt"}); // the whole subject, not a part
}

// "?" is one character, also of UTF-8; case folds beyond ASCII; classes take
// ranges, "^" and a leading "]"; "\" takes a wildcard, a comma or a blank as
// it is.
TEST(SubjectFilter, WildcardsClassesAndEscapes) {
  EXPECT_EQ(Passed("caf?", {"café", "cafe", "caf", "cafés"}), (Subjects{"café", "cafe"}));
  EXPECT_EQ(Passed("ÉTÉ*", {"été 2023", "ete"}), Subjects{"été 2023"});
  EXPECT_EQ(Passed("part[1-3]", {"part1", "PART3", "part4", "part"}), (Subjects{"part1", "PART3"}));
  EXPECT_EQ(Passed("x[^0-9]", {"x1", "xa", "x"}), Subjects{"xa"});
  EXPECT_EQ(Passed("[]a-]", {"]", "a", "-", "b"}), (Subjects{"]", "a", "-"}));
  EXPECT_EQ(Passed("\\*x\\?", {"*x?", "ax?", "*xy"}), Subjects{"*x?"});
  EXPECT_EQ(Passed("a\\,b", {"a,b", "a", "b"}), Subjects{"a,b"});
  EXPECT_EQ(Passed("a\\ ", {"a ", "a"}), Subjects{"a "});
  EXPECT_EQ(Passed("[\\]]", {"]", "\\"}), Subjects{"]"});
  EXPECT_EQ(Passed("*a*b*", {"xaxxbx", "ba", "ab"}), (Subjects{"xaxxbx", "ab"}));
  // A hostile subject against many stars ends in steps of its length, not
  // of its powers.
  EXPECT_EQ(Passed("*a*a*a*a*a*a*b", {std::string(20000, 'a')}), Subjects{});
}

TEST(SubjectFilter, MalformedWildmatsAreRefusedSayingWhy) {
  for (const auto& [wildmat, why] :
       std::vector<std::pair<std::string, std::string>>{{"*.jpg,[abc", "a [ is not closed by ]"},
                                                        {"[]", "a [ is not closed by ]"},
                                                        {"x\\", "it ends in \\"},
                                                        {"*.jpg,", "a pattern is empty"},
                                                        {"a,,b", "a pattern is empty"},
                                                        {"!", "a pattern is empty"},
                                                        {" , x", "a pattern is empty"}}) {
    try {
      TSubjectFilter filter(wildmat);
      ADD_FAILURE() << wildmat << " was taken";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "'" + wildmat + "' is not a valid wildmat: " + why);
    }
  }
}

// A pattern matches the whole subject or the name of the file it carries,
// and the last one that matches either decides. A reply carries no file.
TEST(SubjectFilter, APatternMatchesTheFileNameASubjectCarries) {
  const Subjects subjects = {"vostel.png - the demo picture (uuencoded)",
                             "[3/7] - \"holiday.mkv\" yEnc (12/40)", "[4/7] - \"holiday.png\" yEnc (1/2)",
                             "holiday-sample.mkv [1/2]", "Re: holiday.png (1/2)"};
  EXPECT_EQ(Passed("*.png", subjects), (Subjects{subjects[0], subjects[2]}));
  EXPECT_EQ(Passed("*.mkv,!*sample*", subjects), Subjects{subjects[1]});
  EXPECT_EQ(Passed("*,!*.png", subjects), (Subjects{subjects[1], subjects[3], subjects[4]}));
}
