#pragma once

// What "<stem>.partial.parts" says about a multi-part yEnc file being put
// together in "<stem>.partial": the file's size and name, and one line for
// each part written into it and checked. The next window on the same group
// reads it back and goes on where this one stopped.
//
//   vostel yenc 1 size=6891520
//   name=holiday%20photos.zip
//   part=3 begin=1536001 end=2304000 total=9 crc32=0f1e2d3c pcrc32=6a9d7b2c
//   part=1 begin=1 end=768000 total=9 crc32=0f1e2d3c pcrc32=11d2e4f0
//   synced=179
//
// Lines end in CR LF and are only ever appended, one write each; a record cut
// short by a crash has at most one unfinished last line, which is passed over
// (and ended before the next line is appended). begin and end count from 1
// and include end, as on the =ypart line; total and crc32 are there when the
// part gave them, pcrc32 is the CRC-32 of the part's own bytes. name= is the
// post's name (blanks, "=", "%" and control characters as %XX); without it
// the name is the stem. synced=N follows a flush of the .partial to disk: the
// bytes of every part line within the record's first N bytes are on disk as
// their pcrc32= says. Records of older versions have neither name=, pcrc32=
// nor synced=, and read as before.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A byte range [From, To) of the file, counted from 0.
struct TByteRange {
  std::uint64_t From = 0, To = 0;
};

// One part line.
struct TYEncEntry {
  std::uint64_t Part = 0;
  TByteRange Range;
  std::optional<std::uint64_t> Total;
  std::optional<std::uint32_t> Crc;  // crc32=: of the whole file
  std::optional<std::uint32_t> PCrc; // pcrc32=: of the part's bytes
  // Its bytes are in the .partial as PCrc says: a synced= line follows it, or
  // the receiver wrote them itself since the system started.
  bool Proven = false;
};

class TYEncRecord {
public:
  // A record longer than this is not one we wrote: no real post has that
  // many parts.
  static constexpr std::size_t MaxText = 16u << 20;

  TYEncRecord() = default;
  TYEncRecord(std::uint64_t Size, std::string Name) : FSize(Size), FName(std::move(Name)) {}

  // Reads a record's text. False when it is not a record (no header line,
  // too long); lines that do not parse, or claim bytes outside the file, are
  // passed over. The first total= and crc32= read count.
  bool Parse(std::string_view Text);
  // Text that a crash cut short before the header line was whole: the record
  // holds nothing yet and may be made again.
  static bool CutHeader(std::string_view Text);

  // The header and name lines.
  std::string HeaderLine() const;
  static std::string PartLine(const TYEncEntry& Entry);
  static std::string SyncedLine(std::uint64_t Length) { return "synced=" + std::to_string(Length) + "\r\n"; }
  // Adds a part as PartLine would, once it lies within the file.
  void Add(const TYEncEntry& Entry);
  // Marks the parts with the range and pcrc32= of one of these as proven.
  void Prove(std::vector<TYEncEntry> Entries);

  // Appends lines to a record (or any file of lines) open for writing, in
  // one write, after ending a last line that a crash left unfinished. False
  // with errno set when not all of it was written.
  static bool Append(int Fd, std::string_view Lines);
  // A name as name= holds it, and back.
  static std::string EncodeName(std::string_view Name);
  static std::string DecodeName(std::string_view Text);

  std::uint64_t Size() const { return FSize; }
  const std::string& Name() const { return FName; } // empty for an older record
  std::optional<std::uint64_t> Total() const { return FTotal; }
  std::optional<std::uint32_t> Crc() const { return FCrc; }
  const std::vector<TYEncEntry>& Entries() const { return FEntries; }
  // The bytes received, sorted and merged.
  const std::vector<TByteRange>& Received() const { return FReceived; }
  std::uint64_t BytesReceived() const;
  std::size_t PartsReceived() const { return FParts.size(); }
  const std::vector<std::uint64_t>& PartsHeld() const { return FParts; } // the part numbers, sorted
  bool Complete() const { return BytesReceived() == FSize; }
  // Parts still to come, when total= is known: at least 1 while bytes are missing.
  std::uint64_t PartsMissing() const;

private:
  std::uint64_t FSize = 0;
  std::string FName;
  std::optional<std::uint64_t> FTotal;
  std::optional<std::uint32_t> FCrc;
  std::vector<TYEncEntry> FEntries; // in the order of their lines
  std::vector<TByteRange> FReceived;
  std::vector<std::uint64_t> FParts; // sorted, each once
};
