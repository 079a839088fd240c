#include "tests/walk/TestSession.h"

#include "codec/YEnc.h"
#include "platform/FileOps.h"

#include <algorithm>
#include <filesystem>

using Lines = std::vector<std::string>;

namespace {

const std::string Ann = "Ann <ann@example.net>", Bob = "Bob <bob@example.net>";

TNewsArticle Part(std::int64_t n, const std::string& subject, const std::string& poster, int lines,
                  Lines body) {
  return {n, {"Subject: " + subject, "From: " + poster, "Lines: " + std::to_string(lines)}, std::move(body)};
}

// The yEnc bodies of data cut in parts of the sizes given.
std::vector<Lines> Cut(const std::string& data, const std::string& name,
                       const std::vector<std::size_t>& sizes) {
  std::vector<Lines> parts;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    TYEncPartInfo info;
    info.Name = name;
    info.FileSize = data.size();
    info.Part = i + 1;
    info.Total = sizes.size();
    info.Offset = offset;
    info.FileCrc = Crc32(0, data.data(), data.size());
    parts.push_back(CrLfLines(YEncEncodePart(data.substr(offset, sizes[i]), info)));
    offset += sizes[i];
  }
  return parts;
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
  // The folder's files, but the session's own.
  Lines Files() const {
    Lines names;
    for (const auto& entry : std::filesystem::directory_iterator(Folder()))
      if (const std::string name = entry.path().filename().string();
          name != "dati.ini" && !name.starts_with("."))
        names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
  }
  // The log lines that start with prefix, up to the first blank after it.
  Lines Logged(const std::string& prefix) const {
    Lines lines;
    for (const std::string& line : Child->MemoLines())
      if (line.starts_with(prefix))
        lines.push_back(prefix.ends_with(" ") ? line.substr(0, line.find(' ', prefix.size())) : line);
    return lines;
  }

  const std::string Holiday = RandomBytes(14336, 30), Bobs = RandomBytes(3 * 38400, 31),
                    Sample = RandomBytes(13000, 32);
  // Ann's "holiday.bin" in three parts: the first below the range, the
  // second in it, the last short; Bob's of the same subjects, all above it,
  // interleaved; a sample the filter turns away; an article of no post in
  // range and one the filter turns away. The overview counts the lines.
  std::vector<TNewsArticle> Group() const {
    const std::vector<Lines> ann = Cut(Holiday, "holiday.bin", {1280, 12800, 256});
    const std::vector<Lines> bob = Cut(Bobs, "holiday.bin", {38400, 38400, 38400});
    const std::vector<Lines> sample = Cut(Sample, "holiday-sample.bin", {12800, 200});
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
                  Cut(Holiday, "holiday.bin", {12800, 1280, 256})[0]);
  group[2] = Part(3, "[1/1] - \"holiday.bin\" yEnc (2/3)", Ann, 13,
                  Cut(Holiday, "holiday.bin", {12800, 1280, 256})[1]);
  Server.ServeGroup("alt.test", group);
  Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(ReadFile(Folder() + "holiday.bin"), Holiday);
  EXPECT_EQ(Logged("Request Body "),
            (Lines{"Request Body 1", "Request Body 3", "Request Body 5", "Request Body 6", "Request Body 7",
                   "Request Body 8", "Request Body 9"}));
}
