#include "walk/PostGrouper.h"
#include "walk/SubjectFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string Ann = "Ann <ann@example.net>", Bob = "Bob <bob@example.net>";
using Numbers = std::vector<std::int64_t>;

// Feeds articles as the walk would, with the limits 100 to 50,000, and keeps
// what comes out.
struct TGrouped {
  explicit TGrouped(std::size_t readAhead, std::size_t maxPosts, const char* wildmat = "")
      : Grouper(readAhead, maxPosts), Filter(wildmat) {
    Grouper.OnDecided = [this](const TPostDecision& d) {
      Decided.push_back(d.Number);
      (d.Fetch ? Fetched : d.TurnedAway ? TurnedAway : Passed).push_back(d.Number);
    };
  }
  bool Add(std::int64_t n, const std::string& subject, std::int64_t lines, const std::string& poster = Ann) {
    return Grouper.Add({n, subject, poster, lines, 100 <= lines && lines <= 50000, Filter.Passes(subject)});
  }
  TPostGrouper Grouper;
  TSubjectFilter Filter;
  Numbers Decided, Fetched, TurnedAway, Passed;
};

} // namespace

// A post is fetched whole once one article of it is in range and chosen: its
// short last part before or after the parts in range, the few-line PAR2 index
// its set holds, a PAR2 file named after it. Two posters' posts of the same
// subjects, interleaved, stay apart; an article whose poster is not known
// joins the post seen last. Everything else keeps the Lines: range, and the
// filter counts what it alone kept from being fetched.
TEST(PostGrouper, AWantedPostIsFetchedWholeWhateverTheLinesOfItsParts) {
  TGrouped grouped(1000, 10000, "*,!*sample*");
  const std::vector<std::tuple<std::int64_t, std::string, std::string>> articles = {
      {72, "[1/2] - \"holiday.mkv\" yEnc (3/3) 2359296", Ann}, // 1: the short last part first
      {6000, "[1/2] - \"holiday.mkv\" yEnc (1/3) 2359296", Ann},
      {90000, "[1/2] - \"holiday.mkv\" yEnc (1/3) 2359296", Bob},
      {6000, "[1/2] - \"holiday.mkv\" yEnc (2/3) 2359296", Ann},
      {1, "[2/2] - \"holiday.par2\" yEnc (1/1) 96", Bob}, // 5: Bob's post is all out of range
      {1, "[2/2] - \"holiday.par2\" yEnc (1/1) 96", Ann},
      {6000, "\"beach.jpg\" yEnc (1/2) 1000000", Ann},
      {1800, "\"beach.jpg\" yEnc (2/2) 1000000", Ann},
      {3, "\"beach.par2\" yEnc (1/1) 300", Ann}, // 9: named after the file
      {20, "beach.jpg.vol0+1.par2 (1/1)", Bob},  // 10: another poster's
      {3, "\"cliff.par2\" yEnc (1/1) 300", Ann}, // 11: of no file of Ann's
      {20, "\"cliff.mkv\" yEnc (2/2)", Bob},
      {6000, "\"cliff.mkv\" yEnc (1/2)", ""},
      {6000, "\"cliff-sample.mkv\" yEnc (1/2)", Ann}, // 14
      {10, "\"cliff-sample.mkv\" yEnc (2/2)", Ann},
      {900, "vostel.png - the demo picture (uuencoded)", Ann}, // 16: of no post
      {900, "sample.txt", Ann},
      {20, "Re: \"holiday.mkv\" yEnc (1/3)", Ann}, // 18: a reply is no part
  };
  std::int64_t n = 0;
  for (const auto& [lines, subject, poster] : articles)
    EXPECT_TRUE(grouped.Add(++n, subject, lines, poster));
  EXPECT_FALSE(grouped.Grouper.DecidedThrough(1));
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Fetched, (Numbers{1, 2, 4, 6, 7, 8, 9, 12, 13, 16}));
  EXPECT_EQ(grouped.TurnedAway, (Numbers{14, 15, 17}));
}

// An article is decided once ReadAhead articles after it have come, in
// number order: a short part further before the parts in range is passed
// over, but a wanted post is remembered beyond that, until MaxPosts posts
// seen since push it out. However large the group, no more articles wait and
// no more posts are kept. A number that does not follow is refused; after
// Drop() the walk gives the articles waiting again.
TEST(PostGrouper, DecidesAfterTheReadAheadAndKeepsWithinItsBounds) {
  TGrouped grouped(100, 500);
  const auto chat = [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t n = from; n <= to; ++n)
      grouped.Add(n, "chat", 40);
  };
  grouped.Add(1, "holiday.mkv (3/3)", 72);
  chat(2, 100);
  EXPECT_EQ(grouped.Decided, Numbers{});
  chat(101, 151);
  EXPECT_TRUE(grouped.Grouper.DecidedThrough(51) && !grouped.Grouper.DecidedThrough(52));
  grouped.Add(152, "holiday.mkv (1/3)", 6000);
  chat(153, 452);
  grouped.Add(453, "holiday.mkv (2/3)", 40);
  EXPECT_FALSE(grouped.Add(453, "holiday.mkv (2/3)", 40) || grouped.Add(17, "holiday.mkv (2/3)", 40));
  grouped.Grouper.Drop();
  chat(354, 452);
  grouped.Add(453, "holiday.mkv (2/3)", 40);
  std::size_t mostWaiting = 0, mostPosts = 0;
  for (std::int64_t n = 454; n < 50000; ++n) {
    grouped.Add(n, "file" + std::to_string(n) + ".bin (1/2)", n % 3 == 0 ? 40 : 6000);
    mostWaiting = std::max(mostWaiting, grouped.Grouper.Waiting());
    mostPosts = std::max(mostPosts, grouped.Grouper.Posts());
  }
  EXPECT_EQ(mostWaiting, 100u);
  EXPECT_EQ(mostPosts, 500u);
  grouped.Add(50000, "file49999.bin (2/2)", 10); // one of the last 500 posts
  grouped.Add(50001, "holiday.mkv (3/3)", 72);   // pushed out long ago
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Decided.size(), 50001u);
  EXPECT_TRUE(std::is_sorted(grouped.Decided.begin(), grouped.Decided.end()));
  EXPECT_EQ(Numbers(grouped.Fetched.begin(), grouped.Fetched.begin() + 2), (Numbers{152, 453}));
  EXPECT_EQ(grouped.Fetched.back(), 50000);
  EXPECT_EQ(grouped.Passed.back(), 50001);
}
