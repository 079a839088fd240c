#include "decode/YEncRecord.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
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
  std::optional<std::uint32_t> Crc, PCrc;
};

std::string Hex8(std::uint32_t value) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", unsigned(value));
  return hex;
}

// "part=3 begin=1536001 end=2304000 total=9 crc32=0f1e2d3c pcrc32=6a9d7b2c",
// fields in any order; unknown ones are passed over so a later version may
// add some.
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
    else if (key == "pcrc32" && Hex(value, crc))
      out.PCrc = crc;
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
  std::uint64_t synced = 0, at = 0;
  std::vector<std::uint64_t> ends; // of each entry's line
  // Only whole lines count: the last one may have been cut by a crash.
  for (std::size_t lf; (lf = Text.find('\n')) != Text.npos; Text.remove_prefix(lf + 1), at += lf + 1) {
    std::string_view line = Text.substr(0, lf);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (std::exchange(first, false)) {
      if (line.substr(0, Header.size()) != Header || !Number(line.substr(Header.size()), FSize))
        return false;
      continue;
    }
    TPartLine part;
    std::uint64_t n = 0;
    if (line.substr(0, 5) == "name=") {
      FName = DecodeName(line.substr(5));
    } else if (line.substr(0, 7) == "synced=") {
      // It can only speak for the lines before it.
      if (Number(line.substr(7), n) && n <= at)
        synced = std::max(synced, n);
    } else if (ParsePartLine(line, part) && part.Part > 0 && part.Begin > 0 && part.Begin <= part.End &&
               part.End <= FSize) {
      Add({part.Part, {part.Begin - 1, part.End}, part.Total, part.Crc, part.PCrc});
      ends.push_back(at + lf + 1);
    }
  }
  for (std::size_t i = 0; i < FEntries.size(); ++i)
    FEntries[i].Proven = FEntries[i].PCrc && ends[i] <= synced;
  return !first;
}

bool TYEncRecord::CutHeader(std::string_view Text) {
  if (Text.find('\n') != Text.npos)
    return false;
  if (!Text.empty() && Text.back() == '\r')
    Text.remove_suffix(1);
  if (Text.size() <= Header.size())
    return Header.substr(0, Text.size()) == Text;
  const std::string_view digits = Text.substr(Header.size());
  return Text.substr(0, Header.size()) == Header &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string TYEncRecord::HeaderLine() const {
  return std::string(Header) + std::to_string(FSize) + "\r\n" + "name=" + EncodeName(FName) + "\r\n";
}

std::string TYEncRecord::PartLine(const TYEncEntry& Entry) {
  std::string line = "part=" + std::to_string(Entry.Part) + " begin=" + std::to_string(Entry.Range.From + 1) +
                     " end=" + std::to_string(Entry.Range.To);
  if (Entry.Total)
    line += " total=" + std::to_string(*Entry.Total);
  if (Entry.Crc)
    line += " crc32=" + Hex8(*Entry.Crc);
  if (Entry.PCrc)
    line += " pcrc32=" + Hex8(*Entry.PCrc);
  return line + "\r\n";
}

void TYEncRecord::Add(const TYEncEntry& Entry) {
  TByteRange range = Entry.Range;
  if (range.From >= range.To || range.To > FSize)
    return;
  if (!FTotal)
    FTotal = Entry.Total;
  if (!FCrc)
    FCrc = Entry.Crc;
  FEntries.push_back(Entry);
  const auto part = std::lower_bound(FParts.begin(), FParts.end(), Entry.Part);
  if (part == FParts.end() || *part != Entry.Part)
    FParts.insert(part, Entry.Part);

  // Merge the range with every range it touches.
  auto first = std::lower_bound(FReceived.begin(), FReceived.end(), range.From,
                                [](const TByteRange& r, std::uint64_t at) { return r.To < at; });
  auto last = first;
  while (last != FReceived.end() && last->From <= range.To) {
    range.From = std::min(range.From, last->From);
    range.To = std::max(range.To, last->To);
    ++last;
  }
  first = FReceived.erase(first, last);
  FReceived.insert(first, range);
}

void TYEncRecord::Prove(std::vector<TYEncEntry> Entries) {
  const auto key = [](const TYEncEntry& e) { return std::make_tuple(e.Range.From, e.Range.To, e.PCrc); };
  const auto before = [&](const TYEncEntry& a, const TYEncEntry& b) { return key(a) < key(b); };
  std::sort(Entries.begin(), Entries.end(), before);
  for (TYEncEntry& e : FEntries)
    if (e.PCrc && std::binary_search(Entries.begin(), Entries.end(), e, before))
      e.Proven = true;
}

bool TYEncRecord::Append(int Fd, std::string_view Lines) {
  struct stat st {};
  char last = '\n';
  if (::fstat(Fd, &st) != 0 || (st.st_size > 0 && ::pread(Fd, &last, 1, st.st_size - 1) != 1))
    return false;
  std::string text;
  if (last != '\n') // a line cut short stays a line of its own, passed over
    text = "\r\n";
  text += Lines;
  const ssize_t n = ::write(Fd, text.data(), text.size());
  if (n != ssize_t(text.size())) {
    if (n >= 0)
      errno = ENOSPC;
    return false;
  }
  return true;
}

std::string TYEncRecord::EncodeName(std::string_view Name) {
  std::string text;
  for (const char c : Name) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= ' ' || b == '=' || b == '%' || b == 0x7f) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(b));
      text += escaped;
    } else {
      text += c;
    }
  }
  return text;
}

std::string TYEncRecord::DecodeName(std::string_view Text) {
  std::string name;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    std::uint32_t b = 0;
    if (Text[i] == '%' && i + 2 < Text.size() && Hex(Text.substr(i + 1, 2), b)) {
      name += char(b);
      i += 2;
    } else {
      name += Text[i];
    }
  }
  return name;
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
