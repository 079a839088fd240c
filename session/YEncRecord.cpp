#include "session/YEncRecord.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

namespace {

constexpr std::string_view Header = "vostel yenc 1 size=";

bool Number(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() && text.front() != '+';
}

bool Hex(std::string_view text, std::uint32_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() && text.size() <= 8;
}

struct TPartLine {
  std::uint64_t Part = 0, Begin = 0, End = 0;
  std::optional<std::uint64_t> Total;
  std::optional<std::uint32_t> Crc;
};

// "part=3 begin=1536001 end=2304000 total=9 crc32=0f1e2d3c", fields in any
// order; unknown ones are passed over so a later version may add some.
bool ParsePartLine(std::string_view line, TPartLine& out) {
  bool part = false, begin = false, end = false;
  while (!line.empty()) {
    const std::size_t blank = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, blank);
    line.remove_prefix(std::min(blank + 1, line.size()));
    const std::size_t eq = word.find('=');
    if (eq == word.npos)
      continue;
    const std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
    std::uint64_t n = 0;
    std::uint32_t crc = 0;
    if (key == "part" && Number(value, n))
      out.Part = n, part = true;
    else if (key == "begin" && Number(value, n))
      out.Begin = n, begin = true;
    else if (key == "end" && Number(value, n))
      out.End = n, end = true;
    else if (key == "total" && Number(value, n))
      out.Total = n;
    else if (key == "crc32" && Hex(value, crc))
      out.Crc = crc;
    else if (key == "part" || key == "begin" || key == "end")
      return false;
  }
  return part && begin && end;
}

} // namespace

bool TYEncRecord::Parse(std::string_view Text) {
  *this = TYEncRecord{};
  if (Text.size() > MaxText)
    return false;
  bool first = true;
  // Only whole lines count: the last one may have been cut by a crash.
  for (std::size_t lf; (lf = Text.find('\n')) != Text.npos; Text.remove_prefix(lf + 1)) {
    std::string_view line = Text.substr(0, lf);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (std::exchange(first, false)) {
      if (line.substr(0, Header.size()) != Header || !Number(line.substr(Header.size()), FSize))
        return false;
      continue;
    }
    TPartLine part;
    if (ParsePartLine(line, part) && part.Part > 0 && part.Begin > 0 && part.Begin <= part.End &&
        part.End <= FSize)
      Add(part.Part, {part.Begin - 1, part.End}, part.Total, part.Crc);
  }
  return !first;
}

std::string TYEncRecord::HeaderLine() const { return std::string(Header) + std::to_string(FSize) + "\r\n"; }

std::string TYEncRecord::PartLine(std::uint64_t Part, TByteRange Range, std::optional<std::uint64_t> Total,
                                  std::optional<std::uint32_t> Crc) {
  std::string line = "part=" + std::to_string(Part) + " begin=" + std::to_string(Range.From + 1) +
                     " end=" + std::to_string(Range.To);
  if (Total)
    line += " total=" + std::to_string(*Total);
  if (Crc) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", unsigned(*Crc));
    line += std::string(" crc32=") + hex;
  }
  return line + "\r\n";
}

void TYEncRecord::Add(std::uint64_t Part, TByteRange Range, std::optional<std::uint64_t> Total,
                      std::optional<std::uint32_t> Crc) {
  if (Range.From >= Range.To || Range.To > FSize)
    return;
  if (!FTotal)
    FTotal = Total;
  if (!FCrc)
    FCrc = Crc;
  const auto part = std::lower_bound(FParts.begin(), FParts.end(), Part);
  if (part == FParts.end() || *part != Part)
    FParts.insert(part, Part);

  // Merge the range with every range it touches.
  auto first = std::lower_bound(FReceived.begin(), FReceived.end(), Range.From,
                                [](const TByteRange& r, std::uint64_t at) { return r.To < at; });
  auto last = first;
  while (last != FReceived.end() && last->From <= Range.To) {
    Range.From = std::min(Range.From, last->From);
    Range.To = std::max(Range.To, last->To);
    ++last;
  }
  first = FReceived.erase(first, last);
  FReceived.insert(first, Range);
}

std::uint64_t TYEncRecord::BytesReceived() const {
  std::uint64_t bytes = 0;
  for (const TByteRange& r : FReceived)
    bytes += r.To - r.From;
  return bytes;
}

std::uint64_t TYEncRecord::PartsMissing() const {
  if (Complete())
    return 0;
  const std::uint64_t total = FTotal.value_or(0);
  return std::max<std::uint64_t>(total > FParts.size() ? total - FParts.size() : 0, 1);
}
