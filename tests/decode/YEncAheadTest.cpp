#include "decode/YEncAhead.h"

#include "codec/YEnc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t MaxLine = 200;

// The next line of a reply as a news client cuts it: up to the first CR LF,
// a leading ".." undone. Empty when no whole line is left or at the end.
std::optional<std::string> CutLine(std::string_view Wire, std::size_t& At) {
  const std::size_t crlf = Wire.find("\r\n", At);
  if (crlf == Wire.npos)
    return std::nullopt;
  std::string line(Wire.substr(At, crlf - At));
  At = crlf + 2;
  if (line == ".")
    return std::nullopt;
  if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
    line.erase(0, 1);
  return line;
}

} // namespace

// Data lines taken a run at a time leave the part as taking them one by
// one does: the same bytes, CRC and counts. A run stops short of a line that
// begins with a period, one past the limit, a keyword line and an
// unfinished line, and it takes nothing before the part's first data line
// has been taken (with its buffer) one by one.
TEST(YEncAhead, ARunOfLinesIsTakenAsItsLinesOneByOne) {
  std::mt19937 random(7);
  std::string data(60000, '\0');
  for (char& c : data)
    c = char(random());
  TYEncPartInfo info;
  info.Name = "f.bin";
  info.FileSize = 200000;
  info.Offset = 70000;
  info.Part = 2;
  info.Total = 4;
  std::string text = YEncEncodePart(data, info);
  // What a server sends: lines a poster did not plan, among them a dot at a
  // line's start (doubled on the wire), a CR within a line, a CR before the
  // CR LF, an empty line and one past the limit (two lines made one).
  std::vector<std::string> lines;
  for (std::size_t at = 0, crlf; (crlf = text.find("\r\n", at)) != text.npos; at = crlf + 2)
    lines.push_back(text.substr(at, crlf - at));
  ASSERT_GT(lines.size(), 400u);
  lines[10] = ".." + lines[10];
  lines[40].insert(60, "\r");
  lines[41] += "\r";
  lines[80].clear();
  lines[120] += lines[121];
  lines.erase(lines.begin() + 121);
  lines[300] = "..." + lines[300];
  std::string wire;
  std::size_t longAt = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 120)
      longAt = wire.size();
    wire += lines[i] + "\r\n";
  }
  wire += ".\r\n";

  TYEncAhead oneByOne, inRuns;
  TYEncAhead::TPart& a = *oneByOne.Open(2, false);
  TYEncAhead::TPart& b = *inRuns.Open(2, false);
  for (std::size_t at = 0; auto line = CutLine(wire, at);)
    oneByOne.Take(a, *line);

  std::size_t runs = 0, stoppedAtLong = 0;
  for (std::size_t at = 0; at < wire.size();) {
    // A run is what one receive brought: its last line may be unfinished.
    const std::size_t size = 1 + random() % 3000;
    const std::size_t taken = inRuns.TakeRun(b, std::string_view(wire).substr(at, size), MaxLine);
    ASSERT_LE(taken, std::min(size, wire.size() - at));
    if (taken > 0) {
      ASSERT_EQ(wire.substr(at + taken - 2, 2), "\r\n");
      ASSERT_NE(wire[at], '.');
      ASSERT_TRUE(at + taken <= longAt || at > longAt);
      at += taken;
      ++runs;
      continue;
    }
    if (at == longAt)
      ++stoppedAtLong;
    const auto line = CutLine(wire, at);
    if (!line)
      break;
    inRuns.Take(b, *line);
  }
  EXPECT_GT(runs, 10u);
  EXPECT_GT(stoppedAtLong, 0u);
  EXPECT_EQ(b.Step, a.Step);
  EXPECT_EQ(b.Lines, a.Lines);
  EXPECT_EQ(b.Bytes, a.Bytes);
  EXPECT_EQ(b.Summed, a.Summed);
  EXPECT_EQ(b.Part.Crc(), a.Part.Crc());
  ASSERT_EQ(b.Fill, a.Fill);
  EXPECT_GT(a.Fill, 50000u);
  EXPECT_EQ(std::string_view(b.Buffer.data(), b.Fill), std::string_view(a.Buffer.data(), a.Fill));
  // The =yend was left to its turn by both.
  EXPECT_EQ(a.Step, TYEncAhead::TPart::Done);
  EXPECT_EQ(a.Lines, std::int64_t(lines.size()) - 3);
}
