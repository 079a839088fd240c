#include "session/PostGrouper.h"
#include "session/SubjectFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t MinLines = 100, MaxLines = 50000;

struct TIn {
  std::int64_t Number;
  std::string Subject;
  std::int64_t Lines;
  std::string Poster = "Ann <ann@example.net>";
};

using Numbers = std::vector<std::int64_t>;

// Feeds the articles as the walk would, and keeps what comes out.
struct TGrouped {
  explicit TGrouped(std::size_t readAhead = 1000, std::size_t maxPosts = 10000, const char* wildmat = "")
      : Grouper(readAhead, maxPosts), Filter(wildmat) {
    Grouper.OnDecided = [this](const TPostDecision& d) {
      Decided.push_back(d.Number);
      if (d.Fetch)
        Fetched.push_back(d.Number);
      if (d.TurnedAway)
        TurnedAway.push_back(d.Number);
    };
  }
  bool Add(const TIn& in) {
    return Grouper.Add({in.Number, in.Subject, in.Poster, in.Lines,
                        MinLines <= in.Lines && in.Lines <= MaxLines, Filter.Passes(in.Subject)});
  }
  void Add(const std::vector<TIn>& articles) {
    for (const TIn& in : articles)
      EXPECT_TRUE(Add(in)) << in.Number;
  }
  TPostGrouper Grouper;
  TSubjectFilter Filter;
  Numbers Decided, Fetched, TurnedAway;
};

// Articles of no post, out of range, from first on.
void AddFillers(TGrouped& grouped, std::int64_t first, std::int64_t count) {
  for (std::int64_t n = first; n < first + count; ++n)
    grouped.Add({n, "chat " + std::to_string(n), 40});
}

} // namespace

// A post is fetched whole once one article of it is in range: its short last
// part before or after the parts in range, the PAR2 index of a few lines its
// set holds, a PAR2 file named after it. Everything else keeps the Lines:
// range: a post all out of range, a PAR2 file of another poster or another
// file, an article of no post.
TEST(PostGrouper, AWantedPostIsFetchedWholeWhateverTheLinesOfItsParts) {
  TGrouped grouped;
  grouped.Add({
      {1, "[1/2] - \"holiday.mkv\" yEnc (3/3) 2359296", 72}, // the short last part first
      {2, "[1/2] - \"holiday.mkv\" yEnc (1/3) 2359296", 6000},
      {3, "\"beach.jpg\" yEnc (1/2) 1000000", 6000},
      {4, "[1/2] - \"holiday.mkv\" yEnc (2/3) 2359296", 6000},
      {5, "\"beach.jpg\" yEnc (2/2) 1000000", 1800},
      {6, "[2/2] - \"holiday.par2\" yEnc (1/1) 96", 1},                // the set's PAR2 index
      {7, "\"beach.par2\" yEnc (1/1) 300", 3},                         // named after the file
      {8, "beach.jpg.vol0+1.par2 (1/1)", 20, "Bob <bob@example.net>"}, // another poster's
      {9, "\"cliff.par2\" yEnc (1/1) 300", 3},                         // of no file here
      {10, "\"tiny.gif\" yEnc (1/2)", 40},                             // a post all out of range
      {11, "\"tiny.gif\" yEnc (2/2)", 12},
      {12, "vostel.png - the demo picture (uuencoded)", 900}, // no post, in range
      {13, "hello", 3},                                       // no post, out of range
      {14, "Re: \"holiday.mkv\" yEnc (1/3)", 20},             // a reply is no part
  });
  EXPECT_TRUE(grouped.Decided.empty());
  EXPECT_FALSE(grouped.Grouper.DecidedThrough(1));
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Decided, (Numbers{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(grouped.Fetched, (Numbers{1, 2, 3, 4, 5, 6, 7, 12}));
  EXPECT_TRUE(grouped.TurnedAway.empty());
  EXPECT_TRUE(grouped.Grouper.DecidedThrough(14));
}

// Two posters post files of the same names, interleaved: one post each.
// Ann's parts are in range, Bob's are too long, so Bob's short last part is
// not fetched for Ann's. An article whose poster is not known joins the post
// seen last. The filter turns away what it does not pass and counts what it
// kept from being fetched, the out-of-range parts of such a post among them.
TEST(PostGrouper, InterleavedPostersWithTheSameSubjectsAreTwoPostsAndTheFilterCountsWhatItTurnsAway) {
  TGrouped grouped(1000, 10000, "*.mkv,!*sample*");
  const std::string bob = "Bob <bob@example.net>";
  grouped.Add({
      {1, "\"holiday.mkv\" yEnc (1/3)", 6000},
      {2, "\"holiday.mkv\" yEnc (1/3)", 90000, bob},
      {3, "\"holiday.mkv\" yEnc (2/3)", 6000},
      {4, "\"holiday.mkv\" yEnc (2/3)", 90000, bob},
      {5, "\"holiday.mkv\" yEnc (3/3)", 50},
      {6, "\"holiday.mkv\" yEnc (3/3)", 50, bob},
      {7, "\"holiday-sample.mkv\" yEnc (1/2)", 6000},
      {8, "\"holiday-sample.mkv\" yEnc (2/2)", 10},
      {9, "\"beach.jpg\" yEnc (1/1)", 900},
      {10, "notes.txt", 900},
      {11, "\"cliff.mkv\" yEnc (2/2)", 20, bob},
      {12, "\"cliff.mkv\" yEnc (1/2)", 6000, ""},
  });
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Fetched, (Numbers{1, 3, 5, 11, 12}));
  EXPECT_EQ(grouped.TurnedAway, (Numbers{7, 8, 9, 10}));
}

// An article waits for ReadAhead articles after it, then is decided, in
// number order. A wanted post is remembered beyond that, so its short last
// part far behind is fetched; a short part that comes more than ReadAhead
// articles before the parts in range is decided before them. A number that
// does not follow is refused; Drop() lets the walk give the articles
// waiting again.
TEST(PostGrouper, DecidesReadAheadArticlesLaterAndRemembersWantedPosts) {
  TGrouped grouped(1000);
  grouped.Add({1, "holiday.mkv (3/3)", 72});
  AddFillers(grouped, 2, 999);
  EXPECT_EQ(grouped.Decided, Numbers{});
  AddFillers(grouped, 1001, 501);
  EXPECT_EQ(grouped.Decided.size(), 501u);
  EXPECT_TRUE(grouped.Grouper.DecidedThrough(501));
  EXPECT_FALSE(grouped.Grouper.DecidedThrough(502));
  grouped.Add({1502, "holiday.mkv (1/3)", 6000});
  AddFillers(grouped, 1503, 3000);
  grouped.Add({4503, "holiday.mkv (2/3)", 40});
  EXPECT_EQ(grouped.Grouper.Waiting(), 1000u);
  EXPECT_FALSE(grouped.Add({4503, "holiday.mkv (2/3)", 40}));
  EXPECT_FALSE(grouped.Add({17, "holiday.mkv (2/3)", 40}));

  grouped.Grouper.Drop(); // and the walk gives the articles waiting again
  EXPECT_EQ(grouped.Grouper.Waiting(), 0u);
  AddFillers(grouped, 3504, 999);
  grouped.Add({4503, "holiday.mkv (2/3)", 40});
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Fetched, (Numbers{1502, 4503}));
  EXPECT_TRUE(std::is_sorted(grouped.Decided.begin(), grouped.Decided.end()));
  EXPECT_EQ(grouped.Decided.size(), 4503u);

  // By headers each article is decided as it comes (Add, then Flush).
  grouped.Add({4504, "beach.jpg (2/2)", 20});
  grouped.Grouper.Flush();
  grouped.Add({4505, "beach.jpg (1/2)", 6000});
  grouped.Grouper.Flush();
  grouped.Add({4506, "holiday.par2 (1/1)", 2});
  grouped.Grouper.Flush();
  EXPECT_EQ(grouped.Fetched, (Numbers{1502, 4503, 4505, 4506}));
}

// However many posts a group holds, the grouper keeps no more than its
// bounds: ReadAhead articles waiting and MaxPosts posts (or as many as the
// articles waiting name). The wanted post seen longest ago is forgotten
// first, so its short last part long after is no longer fetched, while one
// seen lately still takes its own.
TEST(PostGrouper, MemoryStaysWithinItsBoundsOverALargeGroup) {
  TGrouped grouped(100, 500);
  std::size_t mostWaiting = 0, mostPosts = 0;
  for (std::int64_t n = 1; n <= 50000; ++n) {
    grouped.Add({n, "file" + std::to_string(n) + ".bin (1/2)", n % 3 == 0 ? 40 : 6000});
    mostWaiting = std::max(mostWaiting, grouped.Grouper.Waiting());
    mostPosts = std::max(mostPosts, grouped.Grouper.Posts());
  }
  EXPECT_EQ(mostWaiting, 100u);
  EXPECT_EQ(mostPosts, 500u);
  grouped.Add({50001, "file49999.bin (2/2)", 10}); // one of the last 500 posts
  grouped.Add({50002, "file1.bin (2/2)", 10});     // seen 50000 articles ago
  grouped.Grouper.Flush();
  EXPECT_EQ(std::count(grouped.Fetched.begin(), grouped.Fetched.end(), 50001), 1);
  EXPECT_EQ(std::count(grouped.Fetched.begin(), grouped.Fetched.end(), 50002), 0);
}
