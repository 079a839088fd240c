#include "decode/YEncAhead.h"
#include "decode/YEncReceiver.h"

#include "codec/YEnc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
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

// The lines of a yEnc part as YEncEncodePart writes them, without CR LF.
std::vector<std::string> PartLines(const std::string& Data, const TYEncPartInfo& Info) {
  const std::string text = YEncEncodePart(Data, Info);
  std::vector<std::string> lines;
  for (std::size_t at = 0, crlf; (crlf = text.find("\r\n", at)) != text.npos; at = crlf + 2)
    lines.push_back(text.substr(at, crlf - at));
  return lines;
}

std::string Wire(const std::vector<std::string>& Lines) {
  std::string wire;
  for (const std::string& line : Lines)
    wire += line + "\r\n";
  return wire + ".\r\n";
}

} // namespace

// Data lines taken a run at a time leave the part as taking them one by
// one does: the same bytes, CRC and counts. A run stops short of a line that
// begins with a period, one past the limit, a keyword line and an
// unfinished line, and it takes nothing before the part's first data line
// has been taken (with its buffer) one by one.
TEST(YEncRuns, TheAheadDecoderTakesARunAsItsLinesOneByOne) {
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
  std::vector<std::string> lines = PartLines(data, info);
  // What a server sends: lines a poster did not plan, among them a dot at a
  // line's start (doubled on the wire), a CR within a line, a CR before the
  // CR LF, an empty line and one past the limit (two lines made one).
  ASSERT_GT(lines.size(), 400u);
  lines[10] = ".." + lines[10];
  lines[40].insert(60, "\r");
  lines[41] += "\r";
  lines[80].clear();
  lines[120] += lines[121];
  lines.erase(lines.begin() + 121);
  lines[300] = "..." + lines[300];
  const std::string wire = Wire(lines);
  std::size_t longAt = 0;
  for (std::size_t i = 0; i < 120; ++i)
    longAt += lines[i].size() + 2;

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

// The receiver takes the data lines of an open part in a row as it takes
// them one by one: the file it saves is the same, byte for byte. A run
// ends short of the =yend, of a line past the limit and after as many
// lines as it was allowed; Taken and Lines say what it took.
TEST(YEncRuns, TheReceiverTakesARunAsItsLinesOneByOne) {
  std::mt19937 random(11);
  std::string data(50000, '\0');
  for (char& c : data)
    c = char(random());
  TYEncPartInfo info;
  info.Name = "r.bin";
  info.FileSize = data.size();
  std::vector<std::string> lines = PartLines(data, info);
  ASSERT_GT(lines.size(), 300u);
  lines[30].insert(50, "\r");
  lines[31] += "\r";
  lines.insert(lines.begin() + 70, "");
  lines[100] += lines[101];
  lines.erase(lines.begin() + 101);
  const std::string wire = Wire(lines);

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("vostel-runs-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto receive = [&](bool runs) {
    TYEncReceiver receiver;
    receiver.SetFolder(folder.string() + "/");
    std::string saved;
    std::vector<std::string> log;
    receiver.OnFile = [&](const std::string& path, const std::string&) {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      saved = bytes.str();
    };
    receiver.OnLog = [&](const std::string& text) { log.push_back(text); };
    std::int64_t taken = 0, inRuns = 0;
    for (std::size_t at = 0; at < wire.size();) {
      if (runs) {
        const std::size_t size = 1 + random() % 2000;
        const std::int64_t most = random() % 20;
        std::size_t bytes = 0;
        std::int64_t count = 0;
        receiver.DataLines(std::string_view(wire).substr(at, size), MaxLine, most, bytes, count);
        EXPECT_LE(count, most);
        EXPECT_LE(bytes, size);
        if (count > 0) {
          EXPECT_EQ(wire.substr(at + bytes - 2, 2), "\r\n");
          at += bytes;
          taken += count;
          ++inRuns;
          continue;
        }
        EXPECT_EQ(bytes, 0u);
      }
      const auto line = CutLine(wire, at);
      if (!line)
        break;
      receiver.Line(*line);
    }
    if (runs) {
      EXPECT_GT(inRuns, 10);
      // All but the keyword lines, the first line past the limit and what
      // went one by one where a run had no room.
      EXPECT_GT(taken, std::int64_t(lines.size()) / 2);
    }
    EXPECT_TRUE(log.empty()) << log.front();
    return saved;
  };
  const std::string oneByOne = receive(false), inRuns = receive(true);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(oneByOne.size(), data.size());
  EXPECT_TRUE(oneByOne == data);
  EXPECT_TRUE(inRuns == data);
}
