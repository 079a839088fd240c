#pragma once

// What "<name>.partial.parts" says about a multi-part yEnc file being put
// together in "<name>.partial": the file's size, and one line for each part
// written into it and checked. The next window on the same group reads it
// back and goes on where this one stopped.
//
//   vostel yenc 1 size=6891520
//   part=3 begin=1536001 end=2304000 total=9 crc32=0f1e2d3c
//   part=1 begin=1 end=768000 total=9 crc32=0f1e2d3c
//
// Lines end in CR LF and are only ever appended, one write each, so a record
// cut short by a crash has at most one unfinished last line, which is passed
// over. begin and end count from 1 and include end, as on the =ypart line;
// total and crc32 are there when the part gave them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A byte range [From, To) of the file, counted from 0.
struct TByteRange {
  std::uint64_t From = 0, To = 0;
};

class TYEncRecord {
public:
  // A record longer than this is not one we wrote: no real post has that
  // many parts.
  static constexpr std::size_t MaxText = 16u << 20;

  TYEncRecord() = default;
  explicit TYEncRecord(std::uint64_t Size) : FSize(Size) {}

  // Reads a record's text. False when it is not a record (no header line,
  // too long); lines that do not parse, or claim bytes outside the file, are
  // passed over. The first total= and crc32= read count.
  bool Parse(std::string_view Text);

  std::string HeaderLine() const;
  static std::string PartLine(std::uint64_t Part, TByteRange Range, std::optional<std::uint64_t> Total,
                              std::optional<std::uint32_t> Crc);
  // Adds a part as PartLine would, once it lies within the file.
  void Add(std::uint64_t Part, TByteRange Range, std::optional<std::uint64_t> Total,
           std::optional<std::uint32_t> Crc);

  std::uint64_t Size() const { return FSize; }
  std::optional<std::uint64_t> Total() const { return FTotal; }
  std::optional<std::uint32_t> Crc() const { return FCrc; }
  // The bytes received, sorted and merged.
  const std::vector<TByteRange>& Received() const { return FReceived; }
  std::uint64_t BytesReceived() const;
  std::size_t PartsReceived() const { return FParts.size(); }
  bool Complete() const { return BytesReceived() == FSize; }
  // Parts still to come, when total= is known: at least 1 while bytes are missing.
  std::uint64_t PartsMissing() const;

private:
  std::uint64_t FSize = 0;
  std::optional<std::uint64_t> FTotal;
  std::optional<std::uint32_t> FCrc;
  std::vector<TByteRange> FReceived;
  std::vector<std::uint64_t> FParts; // sorted, each once
};
