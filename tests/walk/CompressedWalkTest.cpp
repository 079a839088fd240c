#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

using Lines = std::vector<std::string>;

// A walk by overview whose servers offer COMPRESS DEFLATE, or refuse it.
class CompressedWalk : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    ByOverview("5000", "2");
    Values.compression = true;
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

// The window's own connection and the pool's first compress, and the log
// says so once; the other connections of a pool stay plain, as the server
// would spend a processor compressing bodies that do not shrink. The files
// come whole however the articles are shared out. With a pool of one, the
// row counts what crossed the link, and a fill server that refuses
// COMPRESS goes on plain.
TEST_F(CompressedWalk, TheFirstConnectionsCompressAndTheRowCountsTheLink) {
  for (const std::string connections : {"1", "3"}) {
    SCOPED_TRACE(connections);
    Values.connections = connections;
    std::int64_t lineBytes = 0;
    std::vector<TNewsArticle> posts = Posts(lineBytes);
    TScriptedNewsServer server, fill;
    server.OfferOverview();
    server.OfferCompression();
    if (connections == "1") {
      server.Lack({3});
      fill.OfferCompression("403 Not now");
      posts[2].Header.push_back("Message-ID: <3@vostel.test>");
      fill.ServeGroup("alt.fill", {posts[2]});
      Values.fills = {{"localhost:" + fill.PortText(), "", "1", "2", "0", true}};
    } else
      Values.fills.clear();
    server.ServeGroup("alt.test", posts);
    Use(server);
    BeforeStart = [&](TTestSession& s) {
      s.OnTransfer = [&](TObject*, const TTransferFigures& f) { Bytes = f.Bytes; };
      s.FWalk.Fetcher().SetCompressionStretch(16 * 1024); // lines of zeros shrink: they stay compressed
    };
    Open();
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(Child->Saved(), (Lines{"z1.bin", "z2.bin", "z3.bin", "z4.bin"}));
    EXPECT_EQ(Mentions("Compressed transfers with 127.0.0.1 "), 1);
    long compressing = 0;
    for (int c = 1; c <= server.Connections(); ++c)
      compressing += Count(server.ReceivedBy(c), "COMPRESS DEFLATE");
    // The window's own and the pool's first: of a pool of three the first
    // may still be setting up when the others have fetched everything.
    EXPECT_TRUE(connections == "1" ? compressing == 2 : compressing == 1 || compressing == 2) << compressing;
    EXPECT_EQ(Mentions("Uncompressed transfers"), 0);
    if (connections == "1") {
      EXPECT_EQ(Mentions("Compressed transfers with localhost "), 0);
      EXPECT_EQ(Mentions("Article 3 not on 127.0.0.1, fetched from localhost "), 1);
      EXPECT_EQ(Count(fill.Received(), "COMPRESS DEFLATE"), 1);
      PumpFor(300); // the row's last tick
      // The fill's article came plain, a quarter of the lines; the rest shrank.
      EXPECT_GT(Bytes, lineBytes / 4);
      EXPECT_LT(Bytes, lineBytes / 2);
    }
    CloseExpecting(5);
    Child.reset(); // before its servers go
  }
  EXPECT_TRUE(Errors.empty());
}

// A server the window's own connection finds near (here: any that answers
// within a second) keeps the walk plain: the pool's connections do not even
// ask for the capabilities, and the log says once why.
TEST_F(CompressedWalk, ANearServersConnectionsStayPlain) {
  std::int64_t lineBytes = 0;
  TScriptedNewsServer server;
  server.OfferOverview();
  server.OfferCompression();
  server.ServeGroup("alt.test", Posts(lineBytes));
  Values.connections = "2";
  Values.fills.clear();
  Use(server);
  BeforeStart = [](TTestSession& s) { s.Nntp.SetNearRoundTrip(std::chrono::seconds(1)); };
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"z1.bin", "z2.bin", "z3.bin", "z4.bin"}));
  EXPECT_EQ(Count(server.Received(), "CAPABILITIES"), 1);
  EXPECT_EQ(Count(server.Received(), "COMPRESS DEFLATE"), 0);
  EXPECT_EQ(Mentions("Uncompressed transfers with 127.0.0.1: the server is near"), 1);
  EXPECT_EQ(Mentions("Compressed transfers"), 0);
  CloseExpecting(5);
  Child.reset(); // before its server goes
}

// A pool of one whose bodies are yEnc, which does not shrink: once the
// bodies it brought saved less than a tenth, its connection closes between
// two requests and comes again plain for the rest of the walk, and the log
// says so once, with no reconnecting. The files come whole. A uuencoded
// body ahead of the parts, which shrinks a little, keeps no more than the
// first part compressed.
TEST_F(CompressedWalk, APoolOfOneGoesPlainWhenTheBodiesDoNotShrink) {
  for (const bool uuFirst : {false, true}) {
    SCOPED_TRACE(uuFirst);
    const std::string data = RandomBytes(240000, 9), text = RandomBytes(6000, 4);
    const std::vector<Lines> parts = YEncParts(data, "r.bin", 12);
    std::vector<TNewsArticle> posts;
    if (uuFirst)
      posts.push_back(Post(1, 120, UU("u.bin", text)));
    for (const Lines& part : parts)
      posts.push_back(Post(std::int64_t(posts.size()) + 1, int(part.size()), part));
    Values.connections = "1";
    Values.inFlight = "4"; // but one at a time until a stretch shrank
    TScriptedNewsServer server;
    server.OfferOverview();
    server.OfferCompression();
    server.ServeGroup("alt.test", posts);
    Use(server);
    BeforeStart = [](TTestSession& s) { s.FWalk.Fetcher().SetCompressionStretch(64 * 1024); };
    Open();
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(Child->Saved(), uuFirst ? (Lines{"u.bin", "r.bin"}) : Lines{"r.bin"});
    EXPECT_EQ(ReadFile(Folder() + "r.bin"), data);
    EXPECT_EQ(Mentions("Compressed transfers with 127.0.0.1"), 1);
    EXPECT_EQ(Mentions("Uncompressed transfers with 127.0.0.1: the articles do not shrink"), 1);
    EXPECT_EQ(Mentions("reconnecting"), 0);
    // The window's own connection, the pool's compressed, the pool's again plain.
    ASSERT_EQ(server.Connections(), 3);
    EXPECT_EQ(Count(server.ReceivedBy(2), "COMPRESS DEFLATE"), 1);
    EXPECT_EQ(Count(server.ReceivedBy(3), "COMPRESS DEFLATE"), 0);
    // The first weighing takes 4 KB of bodies, which the first part of 21
    // KB fills; asked for one at a time, no other came compressed, however
    // fast or slow the machine. The uuencoded 8 KB shrank, but not enough
    // to carry a part of yEnc: the two of them end it.
    const long before = Count(server.ReceivedBy(2), "ARTICLE"),
               after = Count(server.ReceivedBy(3), "ARTICLE");
    EXPECT_EQ(before, uuFirst ? 2 : 1);
    EXPECT_EQ(after, 11);
    CloseExpecting(uuFirst ? 14 : 13);
    Child.reset(); // before its server goes
  }
  EXPECT_TRUE(Errors.empty());
}
