#include "tests/walk/TestSession.h"

#include "platform/FileOps.h"

#include <filesystem>

using Lines = std::vector<std::string>;

namespace {

const std::string Ann = "Ann <ann@example.net>", Bob = "Bob <bob@example.net>";

TNewsArticle Part(std::int64_t n, const std::string& subject, const std::string& poster, int lines,
                  Lines body) {
  return {n, {"Subject: " + subject, "From: " + poster, "Lines: " + std::to_string(lines)}, std::move(body)};
}

Lines Text(int lines) { return Lines(std::size_t(lines), "some words of no file"); }

} // namespace

// Groups posted as binaries are posted today, walked with the Lines: range
// 50 to 200: whole posts are fetched, whatever the Lines: of their parts.
class PostWalk : public WalkTest {
protected:
  void SetUp() override {
    WalkTest::SetUp();
    Values.min = "50";
    Values.max = "200";
    Values.pacing = "0";
  }
  // The log lines that start with prefix; of requests, up to the first
  // blank after it.
  Lines Logged(const std::string& prefix) const {
    Lines lines;
    for (const std::string& line : Child->MemoLines())
      if (line.starts_with(prefix))
        lines.push_back(prefix.starts_with("Request ") ? line.substr(0, line.find(' ', prefix.size()))
                                                       : line);
    return lines;
  }

  const std::string Holiday = RandomBytes(14336, 30), Bobs = RandomBytes(3 * 38400, 31),
                    Sample = RandomBytes(13000, 32);
  // Ann's "holiday.bin" in three parts: the first below the range, the
  // second in it, the last short; Bob's of the same subjects, all above it,
  // interleaved; a sample the filter turns away; an article of no post in
  // range and one the filter turns away. The overview counts the lines.
  std::vector<TNewsArticle> Group() const {
    const std::vector<Lines> ann = YEncParts(Holiday, "holiday.bin", {1280, 12800, 256});
    const std::vector<Lines> bob = YEncParts(Bobs, "holiday.bin", {38400, 38400, 38400});
    const std::vector<Lines> sample = YEncParts(Sample, "holiday-sample.bin", {12800, 200});
    const auto subject = [](const std::string& name, int n) {
      return "[1/1] - \"" + name + "\" yEnc (" + std::to_string(n) + "/3)";
    };
    return {Part(1, subject("holiday.bin", 1), Ann, 13, ann[0]),
            Part(2, subject("holiday.bin", 1), Bob, 303, bob[0]),
            Part(3, subject("holiday.bin", 2), Ann, 103, ann[1]),
            Part(4, subject("holiday.bin", 2), Bob, 303, bob[1]),
            Part(5, "\"holiday-sample.bin\" yEnc (1/2)", Ann, 103, sample[0]),
            Part(6, "\"holiday-sample.bin\" yEnc (2/2)", Ann, 5, sample[1]),
            Part(7, "notes.txt (1/1)", Ann, 100, Text(100)),
            Part(8, "a word about nothing", Ann, 100, Text(100)),
            Part(9, subject("holiday.bin", 3), Ann, 5, ann[2]),
            Part(10, subject("holiday.bin", 3), Bob, 303, bob[2])};
  }
};

// By overview: Ann's post comes whole, its first part before the one in
// range included; Bob's stays apart and is passed over; the filter's turned
// away articles are counted in the block's line.
TEST_F(PostWalk, AWantedPostComesWholeByOverview) {
  Values.filter = "*.bin,!*sample*";
  Server.OfferOverview();
  Server.ServeGroup("alt.test", Group());
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Logged("Scanned"), (Lines{"Scanned 1-10: 3 in range, 4 turned away by the subject filter "}));
  EXPECT_EQ(Logged("Request Article "),
            (Lines{"Request Article 1", "Request Article 3", "Request Article 9"}));
  EXPECT_EQ(ReadFile(Folder() + "holiday.bin"), Holiday);
}

// By headers the walk cannot look ahead: a post is wanted from its part in
// range on, so its short last part comes; the part before was passed.
TEST_F(PostWalk, TheHeadWalkTakesThePartsAfterOneInRange) {
  std::vector<TNewsArticle> group = Group();
  group[0] = Part(1, "[1/1] - \"holiday.bin\" yEnc (1/3)", Ann, 103,
                  YEncParts(Holiday, "holiday.bin", {12800, 1280, 256})[0]);
  group[2] = Part(3, "[1/1] - \"holiday.bin\" yEnc (2/3)", Ann, 13,
                  YEncParts(Holiday, "holiday.bin", {12800, 1280, 256})[1]);
  Server.ServeGroup("alt.test", group);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "holiday.bin"), Holiday);
  EXPECT_EQ(Logged("Request Body "),
            (Lines{"Request Body 1", "Request Body 3", "Request Body 5", "Request Body 6", "Request Body 7",
                   "Request Body 8", "Request Body 9"}));
}

// A walk that ends with a post missing a part says so in its status,
// caption and log, with the blocks its PAR2 set lacks once the set proved
// short; the .partial and its record stay until the part comes later. A
// set that suffices completes the file instead. A file made whole is saved
// and leaves nothing of its assembly behind.
TEST_F(PostWalk, AnIncompleteFileIsToldUntilItIsWhole) {
  if (!HaveTool("par2"))
    GTEST_SKIP() << "par2 is not installed";
  const std::string made = Dir.path().toStdString() + "/made/", redundancy[] = {"5", "60"};
  const std::vector<Lines> parts = YEncParts(Holiday, "holiday.bin", {6400, 6400, 1536});
  for (const std::string& r : redundancy) {
    SCOPED_TRACE(r);
    Values.group = "alt.test" + r;
    CreateFolder(made + r);
    AppendText(made + r + "/holiday.bin", Holiday);
    ASSERT_EQ(std::system(("cd '" + made + r + "' && par2 create -q -q -s1024 -r" + r +
                           " holiday.par2 holiday.bin >/dev/null && rm holiday.bin")
                              .c_str()),
              0);
    std::vector<TNewsArticle> posts{Part(1, "\"holiday.bin\" yEnc (1/3)", Ann, 53, parts[0]),
                                    Part(2, "\"holiday.bin\" yEnc (2/3)", Ann, 53, parts[1])};
    for (const auto& entry : std::filesystem::directory_iterator(made + r))
      posts.push_back(Part(std::int64_t(posts.size()) + 1, entry.path().filename().string() + " (1/1)", Ann,
                           60, YEncParts(ReadFile(entry.path()), entry.path().filename().string(), 1)[0]));
    TScriptedNewsServer server;
    const std::shared_ptr<void> closed(nullptr, [this](void*) { Child.reset(); }); // before its server goes
    Use(server);
    server.ServeGroup(Values.group, posts);
    Open();
    ASSERT_TRUE(WaitEnd());
    ASSERT_TRUE(
        PumpUntil([&] { return Child->Settled() && Panel(0).starts_with("Downloading Done"); }, 30000));
    if (r == "5") {
      const std::string line = "holiday.bin: 2 of 3 parts; part 3 is not on the server";
      const std::string needs = Logged("holiday.par2: repair needs ").at(0).substr(27);
      const std::string short_ =
          "holiday.bin: PAR2 needs " + needs.substr(0, needs.find(' ')) + " more recovery blocks";
      EXPECT_EQ(Logged("holiday.bin"), (Lines{line + " ", short_ + " "}));
      EXPECT_EQ(Child->Incomplete, (Lines{"holiday.bin: " + line, "holiday.bin: " + short_}));
      EXPECT_EQ(Panel(0), "Downloading Done: 1 file incomplete");
      EXPECT_EQ(Child->Caption, Captioned("Download Done: 1 file incomplete"));
      EXPECT_EQ(Child->IncompleteCount(), 1);
      EXPECT_TRUE(FileExists(Folder() + "holiday.bin.partial.parts"));
      Child->Body(parts[2]);
      Child->EndOfBody(true);
      ASSERT_TRUE(PumpUntil([&] { return FileExists(Folder() + "holiday.bin"); }));
    } else {
      EXPECT_EQ(Panel(0), "Downloading Done");
      EXPECT_EQ(Child->Caption, Captioned("Download Done"));
    }
    EXPECT_EQ(ReadFile(Folder() + "holiday.bin"), Holiday);
    EXPECT_EQ(Child->Saved().back(), "holiday.bin");
    EXPECT_EQ(Child->IncompleteCount(), 0);
    EXPECT_FALSE(FileExists(Folder() + "holiday.bin.partial") ||
                 FileExists(Folder() + "holiday.bin.partial.parts"));
  }
}

// A part of a post that nothing wants, then more articles of no post than
// the walk reads ahead: the part waits for a decision until the read-ahead
// is full, is then decided with what is known, and the scan goes on to the
// group's end instead of waiting for a wake-up that never comes.
TEST_F(PostWalk, APartThatWaitsDoesNotHoldTheScan) {
  std::vector<TNewsArticle> posts{Part(1, "\"lonely.bin\" yEnc (1/2)", Ann, 10, Text(10))};
  for (std::int64_t n = 2; n <= 23000; ++n)
    posts.push_back(Part(n, "talk " + std::to_string(n), Bob, 10, Text(1)));
  Server.OfferOverview();
  Server.ServeGroup("alt.test", posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Panel(0), "Downloading Done");
  EXPECT_EQ(Child->Saved(), Lines{});
  CloseExpecting(23001);
  EXPECT_TRUE(Errors.empty());
}
