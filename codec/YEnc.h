#pragma once

// yEnc 1.3, one line at a time.
//
// A yEnc part is framed by keyword lines:
//
//   =ybegin part=2 total=9 line=128 size=6891520 name=holiday photos.zip
//   =ypart begin=768001 end=1536000
//   ...data lines...
//   =yend size=768000 part=2 pcrc32=6a9d7b2c crc32=0f1e2d3c
//
// A single-part file has no part=, total= or =ypart line, and its =yend
// carries crc32= (the whole file is the part). Every data byte b is written as
// b + 42 (mod 256); the results NUL, LF, CR and "=" are escaped as "=" followed
// by the value + 64 (mod 256), and encoders also escape blanks and tabs at the
// ends of a line and a dot at its start.
//
// The usual way through an article body, which TUUCode's ydecode also takes:
//
//   TYEncPart part;                       // one per file being received
//   for each body line:
//     switch (YEncKeyword(line)) {
//     case ykBegin: err = part.Begin(line); break;   // name, size, part, total
//     case ykPart:  err = part.Part(line);  break;   // where the part's bytes go
//     case ykEnd:   err = part.End(line);   break;   // byte count and CRC checked
//     case ykNone:
//       if (part.Open()) {
//         const std::uint64_t at = part.Position();
//         const std::size_t n = part.Decode(line.data(), line.size(), buffer);
//         write n bytes of buffer at file offset `at`;
//       }
//     }
//   a non-empty err names what is wrong with the part in one sentence.
//
// buffer needs room for line.size() bytes. After a sound =yend the bytes
// [Offset(), RangeEnd()) of the file have arrived; once all FileSize() bytes
// have, Crc32 over the whole file is checked against CrcOfFile(). Every
// number comes from the network: bound FileSize() before making room for it
// (size= may say 10^15). Part() and Decode() already keep a part's bytes
// inside [0, FileSize()).
//
// The free functions below are the building blocks, for a caller that keeps
// its own state. Nothing here allocates per data line or throws.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What kind of keyword line a line is.
enum TYEncKeyword : std::uint8_t { ykNone = 0, ykBegin = 1, ykPart = 2, ykEnd = 3 };

// "=ybegin", "=ypart" or "=yend" at the very start of the line, followed by a
// blank or the end of the line; ykNone for anything else (data lines included).
// Costs two compares for a data line.
TYEncKeyword YEncKeyword(std::string_view line);

// The fields of one keyword line. A field the line does not carry stays empty;
// unknown keywords are passed over.
struct TYEncLine {
  TYEncKeyword Keyword = ykNone;
  std::optional<std::uint64_t> Part;   // =ybegin, =yend: number of this part, from 1
  std::optional<std::uint64_t> Total;  // =ybegin: number of parts of the file
  std::optional<std::uint64_t> Line;   // =ybegin: the poster's line length
  std::optional<std::uint64_t> Size;   // =ybegin: bytes of the whole file; =yend: of this part
  std::optional<std::uint64_t> Begin;  // =ypart: file offset of the part's first byte, from 1
  std::optional<std::uint64_t> End;    // =ypart: file offset of its last byte, from 1
  std::optional<std::uint32_t> PCrc32; // =yend: CRC-32 of this part's bytes
  std::optional<std::uint32_t> Crc32;  // =yend: CRC-32 of the whole file
  // =ybegin: everything after "name=" up to the end of the line (a trailing CR
  // excluded), blanks inside kept, blanks at either end cut. The name is as
  // the poster wrote it: it may hold folder separators or "..".
  std::string Name;
};

// Parses a keyword line (its LF already cut; a trailing CR is allowed).
// Numbers are decimal, CRCs hexadecimal of any case. Returns an empty text
// when the line is sound, otherwise the reason in a few words, e.g.
// "=ybegin without size=" or "=ypart begin=9 end=3 is no range". Checks each
// line on its own: whether a range lies inside the file is TYEncPart's check.
// Required: =ybegin size= and a non-empty name= (part= and total= at least 1,
// part= not above total=); =ypart begin= and end= with 1 <= begin <= end;
// =yend size=.
std::string ParseYEncLine(std::string_view line, TYEncLine& fields);

// Decodes one data line (its LF already cut; a trailing CR is dropped, other
// CRs and LFs are passed over) into out, which must have room for size bytes:
// whole blocks are stored before their escapes are known. Returns the number
// of bytes decoded. Escape carries an escape across lines: a line ending in a
// lone "=" sets it, and the first character of the next line is then taken as
// escaped. Start each part with false. 64 characters at a time where the
// processor has AVX-512 BW and VBMI, sixteen where it has SSSE3, escapes and
// line ends included.
std::size_t YEncDecodeLine(const char* line, std::size_t size, char* out, bool& escape);
// The same, a character at a time: what the fast one must come to.
std::size_t YEncDecodeLinePlain(const char* line, std::size_t size, char* out, bool& escape);
// Decodes text of whole data lines, each ending in CR LF, as YEncDecodeLine
// would one line after another (each without its CR LF), into out, which
// must have room for size bytes. Where the processor decodes 16 or 64
// characters at a time the line ends go in the blocks, which run on across
// them: the lines cost one call and its set-up, not one each, and a line an
// escape makes longer than its blocks no short block of its own. An escape
// before a CR or LF (no encoder writes one) sends the rest a line at a time.
std::size_t YEncDecodeLines(const char* text, std::size_t size, char* out, bool& escape);

// CRC-32 of zlib, gzip and yEnc (polynomial 0xEDB88320), chained like zlib's
// crc32(): start with 0 and pass the previous result to go on,
// Crc32(Crc32(0, a), b) == Crc32(0, a + b). Carry-less multiplication where
// the processor has it (12 GB/s in 128-bit registers, some 50 in 512-bit
// ones with VPCLMULQDQ), slicing by 8 elsewhere.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The ways the functions above can go, for tests and benchmarks that set one
// against another. Each of them may use the ways below it; a way this
// processor lacks, or an input too short for it, goes the next way down.
enum class TYEncPath : std::uint8_t {
  Plain, // a character at a time; the CRC-32 by tables, 8 bytes at a time
  Sse,   // 16 characters at a time (SSSE3), CRC-32 by 128-bit folds (PCLMUL)
  Wide,  // 64 characters at a time (AVX-512 BW and VBMI), CRC-32 by 512-bit folds
};
// Whether this processor runs the given way for both the decoder and the CRC.
bool YEncHasPath(TYEncPath path);
std::uint32_t Crc32On(TYEncPath path, std::uint32_t crc, const void* data, std::size_t size);
std::size_t YEncDecodeLineOn(TYEncPath path, const char* line, std::size_t size, char* out, bool& escape);
std::size_t YEncDecodeLinesOn(TYEncPath path, const char* text, std::size_t size, char* out, bool& escape);

// The CRC-32 of a + b from Crc32(0, a), Crc32(0, b) and the size of b, without
// the bytes: a file's CRC from the CRCs of its parts. Some hundred
// operations, whatever the sizes.
std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t sizeB);

// Follows one part from its =ybegin line through its data lines to its =yend
// line, and checks it there. Every method that takes a keyword line returns an
// empty text when all is well, otherwise one sentence naming the part and what
// is wrong ("part 2 of \"a.zip\": 767990 bytes decoded, =yend says
// size=768000"); the caller logs it or raises it and drops the part.
class TYEncPart {
public:
  // Starts a new part, forgetting any part still open.
  std::string Begin(std::string_view line);
  // Places a part of a multi-part file: checks begin=/end= against the file's
  // size=. A part 1 without =ypart starts at offset 0; any other part without
  // one decodes to nothing and fails at =yend.
  std::string Part(std::string_view line);
  // Decodes a data line of the open part into out (room for size bytes, see
  // YEncDecodeLine) and returns how many of the bytes belong at Position() as
  // it was before the call. Bytes past the part's range are counted for the
  // check at =yend but not returned, so a hostile part never writes outside
  // its range.
  std::size_t Decode(const char* line, std::size_t size, char* out);
  // As Decode, but the CRC-32 waits for Sum: a caller that gathers many lines
  // in one buffer sums them as one run, several times faster than a sum per
  // line. Sum must be given every byte DecodeLater returned, in order, before
  // End. Bytes it did not return need no sum: such a part fails at End.
  std::size_t DecodeLater(const char* line, std::size_t size, char* out);
  // As DecodeLater, for text of whole data lines each ending in CR LF (see
  // YEncDecodeLines), out with room for size bytes.
  std::size_t DecodeLinesLater(const char* text, std::size_t size, char* out);
  void Sum(const char* data, std::size_t size) { FCrc = Crc32(FCrc, data, size); }
  // Closes the part and checks it: =yend part= against =ybegin part=, the
  // bytes decoded against size= and the =ypart range, their CRC-32 against
  // pcrc32= (and against crc32= for a single-part file). CrcOfFile() then
  // holds crc32= of a multi-part file, to be checked once the file is whole.
  std::string End(std::string_view line);

  bool Open() const { return FOpen; }                // between Begin and End
  const TYEncLine& Header() const { return FBegin; } // the =ybegin fields
  bool MultiPart() const { return FBegin.Part.has_value(); }
  std::uint64_t FileSize() const { return *FBegin.Size; } // after a sound Begin
  bool Placed() const { return FPlaced; }                 // its byte range is known
  std::uint64_t Offset() const { return FFrom; }          // file offset of the part's first byte
  std::uint64_t RangeEnd() const { return FTo; }          // one past its last byte
  std::uint64_t Decoded() const { return FDecoded; }      // bytes decoded so far, overrun included
  std::uint64_t Position() const { return FFrom + std::min(FDecoded, FTo - FFrom); }
  std::uint32_t Crc() const { return FCrc; } // CRC-32 of the bytes decoded so far
  std::optional<std::uint32_t> CrcOfFile() const { return FFileCrc; }
  // part 2 of "a.zip", or "a.zip" for a single part: how the texts above begin.
  std::string Describe() const;

private:
  std::size_t Keep(std::size_t decoded); // of decoded bytes, those that lie in the range

  TYEncLine FBegin;
  bool FOpen = false;
  bool FPlaced = false; // the part's range is known
  bool FEscape = false;
  std::uint64_t FFrom = 0, FTo = 0;
  std::uint64_t FDecoded = 0;
  std::uint32_t FCrc = 0;
  std::optional<std::uint32_t> FFileCrc;
};

// What YEncEncodePart writes around the data.
struct TYEncPartInfo {
  std::string Name;
  std::uint64_t FileSize = 0;           // of the whole file
  std::uint64_t Offset = 0;             // file offset of the part's first byte, from 0
  std::uint64_t Part = 0, Total = 0;    // Part 0: a single-part file, no =ypart line
  std::optional<std::uint32_t> FileCrc; // crc32= on the =yend line of a multi-part file
  unsigned LineLength = 128;            // characters of a data line, an escape may add one
  bool CRLF = true;                     // line ends CR LF, else LF
};

// Encodes data as one part, keyword lines included, as a yEnc 1.3 poster
// would: NUL, LF, CR and "=" always escaped, a blank or tab at either end of a
// line and a dot at its start too. A single part's =yend carries size= and
// crc32=, a part of several carries size=, part=, pcrc32= and FileCrc; such
// a part holds at least one byte.
std::string YEncEncodePart(std::string_view data, const TYEncPartInfo& info);
