#pragma once

// Decodes the yEnc parts of articles that arrive ahead of their turn, as
// their lines come in, on whichever connection: their turn then hands the
// receiver the decoded part instead of its lines a second time, and nothing
// of them is copied into a buffer and read back. Only what needs no order is
// decoded here: the data lines of a part of a file in parts, between its
// =ypart and its =yend, as long as the part fits what the receiver holds of
// a part at once. The header, the lines before =ybegin, the keyword lines
// and whatever follows keep their turn, so the log, the names, the copies
// the parts go into and the records come out as in article order.
//
// The decoded bytes are kept in buffers that are reused from part to part
// (those the receiver gives back included), within a limit: a walk of any
// length touches the same pages.

#include "codec/YEnc.h"
#include "decode/YEncFiles.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <string_view>
#include <vector>

class TYEncAhead {
public:
  // What has been decoded of one article.
  struct TPart {
    std::int64_t Number = 0;
    TYEncPart Part;     // as it stands after the last line taken
    TByteBuffer Buffer; // Fill decoded bytes, the first Summed of them in Part's CRC
    std::size_t Fill = 0, Summed = 0;
    std::uint64_t At = 0;              // the file offset of the first
    std::int64_t Lines = 0, Bytes = 0; // lines taken, and their bytes without their ends
    std::size_t Need = 0;              // what its buffer is to hold, once its data lines come
    std::size_t Held = 0;              // the size of the buffer it was given
    enum TStep : std::uint8_t { Header, Body, Begun, Taking, Done } Step = Body;
  };

  TYEncAhead() = default;
  TYEncAhead(const TYEncAhead&) = delete;
  TYEncAhead& operator=(const TYEncAhead&) = delete;

  // Starts on article Number, whose lines are a header, a blank line and
  // the body (WithHeader), or the body alone.
  TPart* Open(std::int64_t Number, bool WithHeader);
  // The article's next line. True when it was decoded here (into a buffer
  // taken at the part's first data line): it is not to be kept, and in its
  // turn the part (Find) stands for it and for every line taken after it,
  // which follow it without a gap. Once a line is not taken, none after it
  // is.
  bool Take(TPart& Part, std::string_view Line);
  // As Take, for the whole lines at Run's start, each ending in CR LF as a
  // news client cuts them: those Take would take once the part has its
  // buffer, short of one that begins with "." (for the client to undo) or
  // is longer than MaxLine. Gives the bytes of the lines taken, ends
  // included: lines in a row cost one call, not one each.
  std::size_t TakeRun(TPart& Part, std::string_view Run, std::size_t MaxLine);
  // The bytes Take is about to take from the pool or the heap for the
  // line: the part's buffer, when the line is its first data line.
  std::size_t Claim(const TPart& Part, std::string_view Line) const;
  // The part of article Number, whose turn has come; null when none was
  // taken. It stays here until dropped.
  TPart* Find(std::int64_t Number);
  // The article's turn has passed, or its lines are void: its buffer goes
  // back to the pool. Null is let be.
  void Drop(TPart* Part);
  // Every part is dropped (the fetching stopped).
  void Clear();

  // Bytes the pool keeps for reuse at most (the fetcher's buffer limit).
  void SetLimit(std::size_t Bytes) { FLimit = Bytes; }
  // Bytes of buffers the parts hold, and those kept for reuse.
  std::size_t Held() const { return FHeld; }
  std::size_t Pooled() const { return FPooled; }
  // Buffers taken from the heap, not from the pool, since it was made.
  std::size_t Allocated() const { return FAllocated; }
  std::size_t Parts() const { return FParts.size(); }

private:
  void Begin(TPart& Part);
  // A data line the part's buffer has room for, taken: Raw is the line as
  // it came, Line the same without a CR at its end.
  static void Decode(TPart& Part, std::string_view Raw, std::string_view Line);
  // Whole data lines From..To, line ends included, that the buffer has room
  // for as they stand, in one pass.
  static void DecodeLines(TPart& Part, const char* From, const char* To);
  // What was decoded is summed once it makes a run long enough.
  static void Summed(TPart& Part);
  // The pool's smallest buffer that holds Need bytes, or none.
  std::vector<TByteBuffer>::const_iterator Fitting(std::size_t Need) const;
  static std::size_t Rounded(std::size_t Need);
  void Recycle(TPart& Part);

  std::list<TPart> FParts;
  std::vector<TByteBuffer> FFree;
  std::size_t FLimit = 32 * 1024 * 1024;
  std::size_t FHeld = 0, FPooled = 0, FAllocated = 0;
};
