#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <algorithm>

using Lines = std::vector<std::string>;

namespace {

long Count(const Lines& lines, const std::string& text) {
  return std::count(lines.begin(), lines.end(), text);
}

} // namespace

// A walk by overview whose servers offer COMPRESS DEFLATE, or refuse it.
class CompressedWalk : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    Values.min = "20";
    Values.max = "5000";
    Values.connections = "2";
    Values.pacing = "0";
    Values.compression = true;
    Server.OfferOverview();
  }
  long Logged(const std::string& text) const {
    const Lines& memo = Child->MemoLines();
    return std::count_if(memo.begin(), memo.end(),
                         [&](const std::string& l) { return l.find(text) != l.npos; });
  }
  // Files of zeros, whose lines compress well, and the bytes their lines take.
  std::vector<TNewsArticle> Posts(std::int64_t& lineBytes) {
    std::vector<TNewsArticle> posts;
    lineBytes = 0;
    for (int n = 1; n <= 4; ++n) {
      posts.push_back(Post(n, 700, UU("z" + std::to_string(n) + ".bin", std::string(30000, '\0'))));
      for (const std::string& line : posts.back().Body)
        lineBytes += std::int64_t(line.size()) + 2;
    }
    return posts;
  }
  std::int64_t Bytes = 0;
};

// The window's own connection and a pool of one compress; the log says so
// once, and the row counts what crossed the link. A fill server that
// refuses COMPRESS goes on plain.
TEST_F(CompressedWalk, EveryConnectionCompressesAndTheRowCountsTheLink) {
  Values.connections = "1";
  std::int64_t lineBytes = 0;
  std::vector<TNewsArticle> posts = Posts(lineBytes);
  Server.OfferCompression();
  Server.Lack({3});
  Server.ServeGroup("alt.test", posts);
  TScriptedNewsServer fill;
  fill.OfferCompression("403 Not now");
  posts[2].Header.push_back("Message-ID: <3@vostel.test>");
  fill.ServeGroup("alt.fill", {posts[2]});
  Values.fills = {{"localhost:" + fill.PortText(), "", "1", "2", "0", true}};
  BeforeStart = [&](TTestSession& s) {
    s.OnTransfer = [&](TObject*, const TTransferFigures& f) { Bytes = f.Bytes; };
  };
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"z1.bin", "z2.bin", "z3.bin", "z4.bin"}));
  EXPECT_EQ(Logged("Compressed transfers with 127.0.0.1 "), 1);
  EXPECT_EQ(Logged("Compressed transfers with localhost "), 0);
  EXPECT_EQ(Logged("Article 3 not on 127.0.0.1, fetched from localhost "), 1);
  const Lines received = Server.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), "COMPRESS DEFLATE"), 2);
  EXPECT_EQ(Count(fill.Received(), "COMPRESS DEFLATE"), 1);
  PumpFor(300); // the row's last tick
  // The fill's article came plain, a quarter of the lines; the rest shrank.
  EXPECT_GT(Bytes, lineBytes / 4);
  EXPECT_LT(Bytes, lineBytes / 2);
  CloseExpecting(5);
  EXPECT_TRUE(Errors.empty());
}

// Of a pool of three only the first connection compresses: the server
// would spend a processor compressing bodies that do not shrink, so the
// others stay plain; the files come whole however the articles are shared
// out between them.
TEST_F(CompressedWalk, OfAPoolOnlyTheFirstConnectionCompresses) {
  Values.connections = "3";
  std::int64_t lineBytes = 0;
  std::vector<TNewsArticle> posts = Posts(lineBytes);
  Server.OfferCompression();
  Server.ServeGroup("alt.test", posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"z1.bin", "z2.bin", "z3.bin", "z4.bin"}));
  EXPECT_EQ(Logged("Compressed transfers with 127.0.0.1 "), 1);
  long compressing = 0;
  for (int c = 0; c < Server.Connections(); ++c)
    compressing += Count(Server.ReceivedBy(c), "COMPRESS DEFLATE");
  EXPECT_EQ(compressing, 2); // the window's own and the pool's first
  CloseExpecting(5);
  EXPECT_TRUE(Errors.empty());
}
