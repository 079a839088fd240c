#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

using Lines = std::vector<std::string>;

namespace {

// A post of the walk's server as a fill server has it: the same Message-ID
// under a number of its own.
TNewsArticle Copy(TNewsArticle post, std::int64_t number) {
  post.Header.push_back("Message-ID: <" + std::to_string(post.Number) + "@vostel.test>");
  post.Number = number;
  return post;
}

} // namespace

// A walk by overview on a server that lacks articles, with fill servers
// (named "localhost" so that the log tells them from the walk's own
// server, 127.0.0.1).
class FillServers : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    ByOverview("500", "2");
  }
  TFillServer Fill(const TScriptedNewsServer& s, const std::string& user = "",
                   const std::string& password = "") {
    return {(user.empty() ? "" : "nntp://" + user + "@") + "localhost:" + s.PortText(),
            password,
            "2",
            "4",
            "0",
            true};
  }
  // Posts 1 to count, each a small file of its own, f1.bin ...
  std::vector<TNewsArticle> Posts(int count) {
    std::vector<TNewsArticle> posts;
    for (int n = 1; n <= count; ++n)
      posts.push_back(Post(n, 69, UU("f" + std::to_string(n) + ".bin", RandomBytes(3000, unsigned(n)))));
    return posts;
  }

  TScriptedNewsServer Fills[2];
};

// Articles 3 and 7 come from the fill in their turn; the fill asked first
// refuses the log-in and is asked for nothing more; the position is the
// walk's end.
TEST_F(FillServers, MissingArticlesComeFromTheFillInTheirTurn) {
  const std::vector<TNewsArticle> posts = Posts(8);
  Server.Lack({3, 7});
  Server.ServeGroup("alt.test", posts);
  Fills[0].RequireLogIn("vuser", "right");
  Fills[0].ServeGroup("alt.fill", {Copy(posts[2], 13), Copy(posts[6], 17)});
  Fills[1].ServeGroup("alt.fill", {Copy(posts[6], 507), Copy(posts[2], 503)});
  Values.fills = {Fill(Fills[0], "vuser", "wrong"), Fill(Fills[1])};
  std::int64_t bytes = 0;
  BeforeStart = [&](TTestSession& s) {
    s.OnTransfer = [&](TObject*, const TTransferFigures& f) { bytes = f.Bytes; };
  };
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->Saved(),
            (Lines{"f1.bin", "f2.bin", "f3.bin", "f4.bin", "f5.bin", "f6.bin", "f7.bin", "f8.bin"}));
  for (int n = 1; n <= 8; ++n) {
    const std::string name = "f" + std::to_string(n) + ".bin";
    EXPECT_TRUE(FileExists(Folder() + name) && ReadFile(Folder() + name) == RandomBytes(3000, unsigned(n)))
        << name;
  }
  EXPECT_EQ(Mentions("Article 3 not on 127.0.0.1, fetched from localhost "), 1);
  EXPECT_EQ(Mentions("Article 7 not on 127.0.0.1, fetched from localhost "), 1);
  EXPECT_EQ(Mentions("Fill server localhost left out: log-in refused "), 1);
  EXPECT_EQ(Mentions("Error #"), 0);
  // The log tells the article's step whole, then where it came from.
  const Lines memo = Child->MemoLines();
  const auto from =
      std::find(memo.begin(), memo.end(), "Article 3 not on 127.0.0.1, fetched from localhost ");
  ASSERT_NE(from, memo.end());
  EXPECT_EQ(*(from - 1), "Request Article 3 Lines: 69 begin 644 f3.bin Request Done ");
  EXPECT_LE(Count(Fills[0].Received(), "AUTHINFO PASS"), 2); // once a connection at most
  EXPECT_EQ(Count(Fills[0].Received(), "ARTICLE <7@vostel.test>"), 0);
  EXPECT_EQ(Count(Fills[1].Received(), "ARTICLE <"), 2);
  EXPECT_EQ(Count(Fills[1].Received(), "GROUP"), 0);
  PumpUntil([&] { return bytes > 8 * 3000; });
  EXPECT_GT(bytes, 8 * 4000); // the fill's articles counted with the others
  CloseExpecting(9);
  EXPECT_TRUE(Errors.empty());
}

// A file over three articles whose middle one only the fill has is saved
// whole; an article no server has says so and leaves its file incomplete,
// as without fill servers.
TEST_F(FillServers, FileSpreadOverTwoServersIsSavedWhole) {
  const std::string data = RandomBytes(9000, 7), lone = RandomBytes(2000, 8);
  const Lines uu = UU("big.bin", data);
  const std::size_t third = uu.size() / 3;
  const Lines l = UU("lone.bin", lone);
  std::vector<TNewsArticle> posts = {
      Post(1, 69, {uu.begin(), uu.begin() + std::ptrdiff_t(third)}),
      Post(2, 69, {uu.begin() + std::ptrdiff_t(third), uu.begin() + std::ptrdiff_t(2 * third)}),
      Post(3, 69, {uu.begin() + std::ptrdiff_t(2 * third), uu.end()}),
      Post(4, 69, {l.begin(), l.begin() + 10}), Post(5, 69, {l.begin() + 10, l.end()})};
  Server.Lack({2, 5});
  Server.ServeGroup("alt.test", posts);
  Fills[0].ServeGroup("alt.fill", {Copy(posts[1], 40)});
  Values.fills = {Fill(Fills[0])};
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), Lines{"big.bin"});
  EXPECT_TRUE(FileExists(Folder() + "big.bin") && ReadFile(Folder() + "big.bin") == data);
  EXPECT_EQ(Mentions("Article 2 not on 127.0.0.1, fetched from localhost "), 1);
  EXPECT_EQ(Mentions("Article 5 is on no server (127.0.0.1, localhost) "), 1);
  EXPECT_EQ(Mentions("Error #423 "), 1);
  CloseExpecting(6);
  EXPECT_TRUE(Errors.empty());
}

// A fill that refuses the connection is left out at once, and the walk goes
// on as without it.
TEST_F(FillServers, RefusedConnectionLeavesTheFillOut) {
  const std::vector<TNewsArticle> posts = Posts(4);
  Server.Lack({2, 3});
  Server.ServeGroup("alt.test", posts);
  TScriptedNewsServer closed; // never started: refuses every connect
  Values.fills = {Fill(closed)};
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->Saved(), (Lines{"f1.bin", "f4.bin"}));
  EXPECT_EQ(Mentions("Fill server localhost left out: connection refused "), 1);
  EXPECT_EQ(Mentions("Article 2 is on no server (127.0.0.1, localhost) "), 1);
  EXPECT_EQ(Mentions("Article 3 is on no server (127.0.0.1, localhost) "), 1);
  CloseExpecting(5);
}

// With the fill's answer to article 3 out, nothing of it come: X drops
// it unexamined; A stops at once, as the article is not being handed over
// yet, its fill dropped with the requests behind it; closing stores its
// number; after each the next session asks for it again. S passes over
// the articles after it, and its answer still comes.
TEST_F(FillServers, StopAfterSkipAndCloseWithAFillOut) {
  const struct {
    char Command;
    Lines Saved;
    std::int64_t Stored;
  } cases[] = {{'X', {"f1.bin", "f2.bin"}, 3},
               {'A', {"f1.bin", "f2.bin"}, 3},
               {'S', {"f1.bin", "f2.bin", "f3.bin", "f6.bin"}, 7},
               {'C', {"f1.bin", "f2.bin"}, 3}};
  const std::vector<TNewsArticle> posts = Posts(6);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Command);
    TScriptedNewsServer server, fill;
    server.OfferOverview();
    server.Lack({3});
    server.ServeGroup("alt.test", posts);
    Use(server);
    fill.HoldArticle(103);
    fill.ServeGroup("alt.fill", {Copy(posts[2], 103)});
    Values.fills = {Fill(fill)};
    Open();
    ASSERT_TRUE(PumpUntil([&] { return Count(fill.Received(), "ARTICLE <3@vostel.test>") == 1; }));
    PumpFor(100); // the walk waits for the fill, and nothing comes
    EXPECT_EQ(Child->Saved(), (Lines{"f1.bin", "f2.bin"}));
    EXPECT_EQ(Child->ArticleCurrent(), 3);
    if (c.Command == 'X')
      Child->StopClick();
    else if (c.Command == 'A') {
      Child->AfterClick();
      ASSERT_TRUE(PumpUntil([&] { return Child->Status() == "Downloading Interrupted by User"; }));
    } else if (c.Command == 'S')
      Child->SkipClick(2);
    else {
      Child->FormClose();
      EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(c.Stored)); // at once
    }
    fill.Release();
    ASSERT_TRUE(c.Command != 'S' || WaitEnd());
    PumpFor(100);
    EXPECT_EQ(Child->Saved(), c.Saved);
    EXPECT_EQ(Mentions("Article 3 not on 127.0.0.1, fetched from localhost "), c.Command == 'S' ? 1 : 0);
    if (c.Command != 'C')
      Child->FormClose();
    EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(c.Stored));
    Child.reset(); // before its servers go
    DeleteFile(Folder() + "dati.ini");
    for (const std::string& name : c.Saved)
      DeleteFile(Folder() + name);
  }
  EXPECT_TRUE(Errors.empty());
}
