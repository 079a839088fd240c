#include "decode/YEncRecord.h"
#include "codec/YEnc.h"
#include "decode/YEncTiling.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(YEncRecord, ReadsWhatItWritesAndPassesOverDamage) {
  TYEncRecord record(1000, "a b=%.bin");
  std::string text = record.HeaderLine();
  EXPECT_EQ(text, "vostel yenc 1 size=1000\r\nname=a%20b%3D%25.bin\r\n");
  text += TYEncRecord::PartLine({2, {400, 800}, 3, 0xabcdef01u, 0x1234u});
  text += "part=9 begin=990 end=1001\r\n";                // past the file
  text += "part=x begin=1 end=2\r\n";                     // no number
  text += TYEncRecord::SyncedLine(text.size());           // the lines above are on disk
  text += "part=1 begin=1 end=400 total=4 pcrc32=99\r\n"; // the first total counts
  text += "synced=100000\r\n";                            // past itself: speaks for nothing
  text += "part=3 begin=801 end=10";                      // cut short by a crash
  ASSERT_TRUE(record.Parse(text));
  EXPECT_EQ(record.Size(), 1000u);
  EXPECT_EQ(record.Name(), "a b=%.bin");
  EXPECT_EQ(record.Total(), 3u);
  EXPECT_EQ(record.Crc(), 0xabcdef01u);
  ASSERT_EQ(record.Entries().size(), 2u);
  EXPECT_TRUE(record.Entries()[0].Proven && record.Entries()[0].PCrc == 0x1234u);
  EXPECT_FALSE(record.Entries()[1].Proven);
  ASSERT_EQ(record.Received().size(), 1u);
  EXPECT_EQ(record.Received()[0].From, 0u);
  EXPECT_EQ(record.Received()[0].To, 800u);
  EXPECT_EQ(record.PartsMissing(), 1u);
  record.Add({3, {700, 1000}, 3, std::nullopt, std::nullopt});
  record.Add({3, {700, 1000}, 3, std::nullopt, std::nullopt});
  EXPECT_TRUE(record.Complete());
  EXPECT_EQ(record.PartsReceived(), 3u);

  EXPECT_FALSE(record.Parse("vostel yenc 1 size=1000")); // no whole line
  EXPECT_FALSE(record.Parse("vostel yenc 2 size=1000\r\n"));
  EXPECT_FALSE(record.Parse("vostel yenc 1 size=-5\r\n"));
  EXPECT_FALSE(record.Parse(std::string(TYEncRecord::MaxText + 1, '\n')));
  // What a crash leaves before the header is whole may be made again;
  // anything else is not ours.
  for (const char* cut :
       {"", "vostel y", "vostel yenc 1 size=", "vostel yenc 1 size=10", "vostel yenc 1 size=10\r"})
    EXPECT_TRUE(TYEncRecord::CutHeader(cut)) << cut;
  for (const char* other : {"not a record\r\n", "vostel yenc 1 size=10\r\n", "vostel yenc 1 size=1x"})
    EXPECT_FALSE(TYEncRecord::CutHeader(other)) << other;
}

// Among differing copies of the parts, those that make the file's CRC are
// chosen, meeting end to end, whatever their order and boundaries; nothing
// when no choice makes it.
TEST(YEncTiling, ChoosesThePartsThatMakeTheFile) {
  std::string file, other;
  for (unsigned i = 0; i < 3000; ++i) {
    file += char(i * 7 + i / 251);
    other += char(i * 13 + 1);
  }
  const auto tile = [](const std::string& bytes, std::uint64_t from, std::uint64_t to) {
    return TTile{{from, to}, Crc32(0, bytes.data() + from, to - from)};
  };
  const std::vector<TTile> tiles = {tile(other, 0, 1000),   tile(file, 1000, 3000),  tile(file, 2000, 3000),
                                    tile(file, 0, 1000),    tile(other, 1000, 2000), tile(file, 1000, 2000),
                                    tile(other, 2000, 3000)};
  const std::uint32_t crc = Crc32(0, file.data(), file.size());
  const std::vector<std::size_t> chosen = FindTiling(tiles, 3000, crc);
  ASSERT_FALSE(chosen.empty());
  std::string made;
  for (const std::size_t i : chosen) {
    EXPECT_EQ(tiles[i].Range.From, made.size());
    made += file.substr(tiles[i].Range.From, tiles[i].Range.To - tiles[i].Range.From);
    EXPECT_EQ(tiles[i].Crc, Crc32(0, made.data() + tiles[i].Range.From, made.size() - tiles[i].Range.From));
  }
  EXPECT_EQ(made, file);
  EXPECT_TRUE(FindTiling({tiles[0], tiles[1], tiles[2]}, 3000, crc).empty());
  EXPECT_TRUE(FindTiling(tiles, 3000, crc ^ 1).empty());
}
