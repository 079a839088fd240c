#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <algorithm>
#include <map>
#include <random>

using Lines = std::vector<std::string>;

namespace {

struct TWalked {
  Lines Log;   // the window's log but the lines about connections and cut articles
  Lines Saved; // the files saved, in the order saved
  std::map<std::string, std::string> Files;
  std::vector<std::string> Incomplete;
};

} // namespace

// Windows walking by overview over many connections, where most articles
// arrive ahead of their turn: the yEnc parts among them are decoded as they
// come and put in place in their turn.
class YEncAhead : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    Values.min = "1";
    Values.max = "100000";
    Values.pacing = "0";
  }
  // Walks the group on server as it is set up with connections of inFlight
  // requests each, and closes the window.
  TWalked Walk(TScriptedNewsServer& server, const std::string& connections, const std::string& inFlight,
               std::int64_t end) {
    Use(server);
    Values.connections = connections;
    Values.inFlight = inFlight;
    Open();
    EXPECT_TRUE(WaitEnd());
    TWalked walked;
    // An article cut short in its turn is logged begun, then the error, then
    // again whole: of it only the whole one is compared.
    const Lines& memo = Child->MemoLines();
    for (std::size_t i = 0; i < memo.size(); ++i)
      if (memo[i].find("onnection") == std::string::npos && !memo[i].starts_with("Error #") &&
          !(i + 1 < memo.size() && memo[i + 1].starts_with("Error #")))
        walked.Log.push_back(memo[i]);
    walked.Saved = Child->Saved();
    for (const std::string& name : walked.Saved)
      walked.Files[name] = ReadFile(Folder() + name);
    walked.Incomplete = Child->Incomplete;
    // Nothing decoded ahead stays behind its turn.
    EXPECT_EQ(Child->Ahead().Parts(), 0u);
    EXPECT_EQ(Child->Ahead().Held(), 0u);
    CloseExpecting(end);
    return walked;
  }
};

// A file in 48 yEnc parts posted in shuffled order, with stray line ends, with a file uuencoded
// over three articles among them, a file in two parts that each come in
// several receives, a file whose second part fails its CRC, a part whose
// connection is lost in the middle of its body, and one whose body runs far
// past its Lines:. Over
// eight connections, parts arrive ahead of their turn and are decoded as
// they come; the window saves what one connection, everything in its turn,
// saves, byte for byte, and logs the same lines in the same order. The
// buffers for the parts are reused: far fewer come from the heap than
// parts were decoded ahead.
TEST_F(YEncAhead, PartsDecodedAsTheyComeGiveWhatTheirTurnGives) {
  const std::string movie = RandomBytes(48 * 3000, 1), notes = RandomBytes(9000, 2),
                    broken = RandomBytes(7000, 3);
  std::vector<Lines> bodies = YEncParts(movie, "movie.bin", 48);
  std::shuffle(bodies.begin(), bodies.end(), std::mt19937(7));
  // Line ends a poster did not plan, which decode to nothing: a lone CR,
  // one before the CR LF and an empty line among the data lines.
  for (Lines& body : bodies) {
    body[5].insert(40, "\r");
    body[6] += '\r';
    body.insert(body.begin() + 8, "");
  }
  const Lines uu = UU("notes.txt", notes);
  std::vector<Lines> bad = YEncParts(broken, "broken.bin", 3);
  std::string& line = bad[1][4]; // a data line of part 2: another byte, the same length
  line[20] = line[19] == '=' || line[20] == 'x' ? line[20] : 'x';
  line[21] = line[20] == '=' || line[21] == 'y' ? line[21] : 'y';
  // A file in two parts larger than a receive: their lines come in several runs each.
  const std::string large = RandomBytes(2 * 400000, 5);
  std::vector<TNewsArticle> posts;
  std::int64_t n = 1;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    for (const Lines& body : i == 10 ? YEncParts(large, "large.bin", 2) : std::vector<Lines>())
      posts.push_back(Post(n++, int(body.size()), body));
    for (std::size_t third = 0; i == 20 && third < 3; ++third) { // in the middle, in three articles
      const Lines piece(uu.begin() + long(uu.size() * third / 3),
                        uu.begin() + long(uu.size() * (third + 1) / 3));
      posts.push_back(Post(n++, int(piece.size()), piece));
    }
    posts.push_back(Post(n++, int(bodies[i].size()), bodies[i]));
  }
  for (const Lines& body : bad)
    posts.push_back(Post(n++, int(body.size()), body));
  // A part whose header says "Lines: 10": the body runs past what the
  // window takes for it and is cut off there, decoded ahead or not.
  const std::vector<Lines> big = YEncParts(RandomBytes(300000, 4), "big.bin", 2);
  posts.push_back(Post(n++, 10, big[0]));
  const std::int64_t end = n;

  Server.OfferOverview();
  Server.SetLatency(3);
  Server.CutBody(30);
  Server.ServeGroup("alt.test", posts);
  // One request in flight on each: at most 16 articles are ahead at once,
  // far fewer than the parts.
  const TWalked ahead = Walk(Server, "8", "1", end);
  EXPECT_GT(Child->Ahead().Allocated(), 0u);
  EXPECT_LE(Child->Ahead().Allocated(), 8u * 1u * 2u + 2u);

  TScriptedNewsServer alone;
  alone.OfferOverview();
  alone.ServeGroup("alt.test", posts);
  const TWalked inTurn = Walk(alone, "1", "1", end);
  EXPECT_EQ(Child->Ahead().Allocated(), 0u);

  EXPECT_EQ(ahead.Saved, (Lines{"large.bin", "notes.txt", "movie.bin"}));
  EXPECT_TRUE(ahead.Files.at("large.bin") == large);
  EXPECT_TRUE(ahead.Files.at("movie.bin") == movie);
  EXPECT_TRUE(ahead.Files.at("notes.txt") == notes);
  EXPECT_EQ(ahead.Saved, inTurn.Saved);
  EXPECT_TRUE(ahead.Files == inTurn.Files);
  EXPECT_EQ(ahead.Log, inTurn.Log);
  EXPECT_EQ(ahead.Incomplete, inTurn.Incomplete);

  // Within a buffer limit of two parts' buffers, the parts decoded ahead
  // and the lines held never take more, and what does not fit is fetched
  // again in its turn: the same files and log.
  constexpr std::size_t limit = 64 * 1024;
  std::size_t most = 0;
  BeforeStart = [&](TTestSession& child) {
    child.FWalk.Fetcher().SetBufferLimit(limit);
    child.FWalk.OnArticleAhead = [&, ahead = child.FWalk.OnArticleAhead](TObject* sender, std::int64_t n) {
      most = std::max(most, Child->Ahead().Held());
      EXPECT_LE(Child->Ahead().Pooled(), limit);
      ahead(sender, n);
    };
  };
  TScriptedNewsServer tight;
  tight.OfferOverview();
  tight.SetLatency(1);
  tight.ServeGroup("alt.test", posts);
  const TWalked within = Walk(tight, "8", "4", end);
  EXPECT_GT(most, 0u);
  EXPECT_LE(most, limit);
  EXPECT_TRUE(within.Files == inTurn.Files);
  EXPECT_EQ(within.Log, inTurn.Log);
  ASSERT_EQ(ahead.Incomplete.size(), 1u);
  EXPECT_TRUE(ahead.Incomplete[0].starts_with("broken.bin")) << ahead.Incomplete[0];
  const auto mentions = [&](const std::string& text) {
    return std::count_if(ahead.Log.begin(), ahead.Log.end(),
                         [&](const std::string& l) { return l.find(text) != l.npos; });
  };
  EXPECT_EQ(mentions("part 2 of \"broken.bin\""), 1);
  EXPECT_EQ(mentions("Body cut off past 1040 lines (Lines: 10)"), 1);
  EXPECT_TRUE(Errors.empty());
}
