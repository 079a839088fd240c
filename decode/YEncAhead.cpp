#include "decode/YEncAhead.h"

#include "decode/YEncReceiver.h"
#include "platform/Convert.h"

#include <algorithm>
#include <utility>

namespace {

// Room past the part's size= for the last line: a line is taken only where
// its undecoded length fits, as the receiver holds it.
constexpr std::size_t LineRoom = 16 * 1024;
// A part's decoded bytes are summed in runs of this much, while they are
// still in the cache.
constexpr std::size_t SumRun = 64 * 1024;
// Buffers are made in steps of this, so that parts of one post share them.
constexpr std::size_t Step = 16 * 1024;

} // namespace

TYEncAhead::TPart* TYEncAhead::Open(std::int64_t Number, bool WithHeader) {
  TPart& part = FParts.emplace_back();
  part.Number = Number;
  part.Step = WithHeader ? TPart::Header : TPart::Body;
  return &part;
}

bool TYEncAhead::Take(TPart& Part, std::string_view Line) {
  const std::string_view line = WithoutCR(Line);
  switch (Part.Step) {
  case TPart::Header:
    if (line.empty())
      Part.Step = TPart::Body;
    return false;
  case TPart::Body:
    // The first =ybegin of the body starts a part, as it does when the
    // article is read in its turn.
    if (YEncKeyword(line) == ykBegin)
      Part.Step = Part.Part.Begin(line).empty() && Part.Part.MultiPart() ? TPart::Begun : TPart::Done;
    return false;
  case TPart::Begun:
    Part.Step = TPart::Done;
    if (YEncKeyword(line) == ykPart && Part.Part.Part(line).empty() &&
        Part.Part.RangeEnd() - Part.Part.Offset() <= TYEncReceiver::PartBufferSize) {
      Part.Need = std::min<std::size_t>(TYEncReceiver::PartBufferSize,
                                        Part.Part.RangeEnd() - Part.Part.Offset() + LineRoom);
      Part.At = Part.Part.Position();
      Part.Step = TPart::Taking;
    }
    return false;
  case TPart::Taking:
    break;
  case TPart::Done:
    return false;
  }
  // The part's own lines up to its =yend, as long as the receiver would
  // hold them without writing any out.
  if (YEncKeyword(line) != ykNone ||
      Part.Fill + line.size() > (Part.Buffer.empty() ? Part.Need : Part.Buffer.size())) {
    Part.Step = TPart::Done;
    return false;
  }
  if (Part.Buffer.empty())
    Begin(Part);
  Decode(Part, Line, line);
  return true;
}

std::size_t TYEncAhead::TakeRun(TPart& Part, std::string_view Run, std::size_t MaxLine) {
  if (Part.Step != TPart::Taking || Part.Buffer.empty())
    return 0;
  const char* const begin = Run.data();
  const char* at = begin;
  // The lines gathered so far, decoded together once one does not join
  // them: the buffer holds their text whole, line ends included.
  const char* gathered = begin;
  for (std::string_view raw; NextRunLine(at, begin + Run.size(), MaxLine, raw);) {
    const std::string_view line = WithoutCR(raw);
    const bool data = YEncKeyword(line) == ykNone;
    if (data && Part.Fill + std::size_t(at - gathered) <= Part.Buffer.size()) {
      ++Part.Lines;
      Part.Bytes += std::int64_t(raw.size());
      continue;
    }
    DecodeLines(Part, gathered, raw.data());
    // Near the buffer's end a line may still fit alone.
    if (!data || Part.Fill + line.size() > Part.Buffer.size()) {
      gathered = at = raw.data();
      break;
    }
    Decode(Part, raw, line);
    gathered = at;
  }
  DecodeLines(Part, gathered, at);
  return std::size_t(at - begin);
}

void TYEncAhead::Decode(TPart& Part, std::string_view Raw, std::string_view Line) {
  Part.Fill += Part.Part.DecodeLater(Line.data(), Line.size(), Part.Buffer.data() + Part.Fill);
  Summed(Part);
  ++Part.Lines;
  Part.Bytes += std::int64_t(Raw.size());
}

void TYEncAhead::DecodeLines(TPart& Part, const char* From, const char* To) {
  if (From == To)
    return;
  Part.Fill += Part.Part.DecodeLinesLater(From, std::size_t(To - From), Part.Buffer.data() + Part.Fill);
  Summed(Part);
}

void TYEncAhead::Summed(TPart& Part) {
  if (Part.Fill - Part.Summed >= SumRun) {
    Part.Part.Sum(Part.Buffer.data() + Part.Summed, Part.Fill - Part.Summed);
    Part.Summed = Part.Fill;
  }
}

std::size_t TYEncAhead::Claim(const TPart& Part, std::string_view Line) const {
  if (Part.Step != TPart::Taking || !Part.Buffer.empty())
    return 0;
  const std::string_view line = WithoutCR(Line);
  if (YEncKeyword(line) != ykNone || line.size() > Part.Need)
    return 0;
  const auto fitting = Fitting(Part.Need);
  return fitting != FFree.end() ? fitting->size() : Rounded(Part.Need);
}

std::vector<TByteBuffer>::const_iterator TYEncAhead::Fitting(std::size_t Need) const {
  // Of those of one size the last given back, whose pages the cache may
  // still hold.
  auto best = FFree.end();
  for (auto b = FFree.begin(); b != FFree.end(); ++b)
    if (b->size() >= Need && (best == FFree.end() || b->size() <= best->size()))
      best = b;
  return best;
}

std::size_t TYEncAhead::Rounded(std::size_t Need) {
  return std::max(Need, std::min(TYEncReceiver::PartBufferSize, (Need + Step - 1) / Step * Step));
}

// The part's first data line has come: a buffer for all of them, the
// smallest the pool has that is large enough, as Claim said.
void TYEncAhead::Begin(TPart& Part) {
  if (const auto fitting = Fitting(Part.Need); fitting != FFree.end()) {
    Part.Buffer = std::move(FFree[std::size_t(fitting - FFree.cbegin())]);
    FPooled -= Part.Buffer.size();
    FFree.erase(fitting);
  } else {
    Part.Buffer.resize(Rounded(Part.Need));
    ++FAllocated;
  }
  Part.Held = Part.Buffer.size();
  FHeld += Part.Held;
}

TYEncAhead::TPart* TYEncAhead::Find(std::int64_t Number) {
  for (TPart& part : FParts)
    if (part.Number == Number)
      return &part;
  return nullptr;
}

void TYEncAhead::Drop(TPart* Part) {
  if (!Part)
    return;
  for (auto p = FParts.begin(); p != FParts.end(); ++p)
    if (&*p == Part) {
      Recycle(*p);
      FParts.erase(p);
      return;
    }
}

void TYEncAhead::Clear() {
  for (TPart& part : FParts)
    Recycle(part);
  FParts.clear();
}

// The buffer a part held, or the one the receiver gave for it: kept where
// the pool has room, else given back.
void TYEncAhead::Recycle(TPart& Part) {
  FHeld -= std::exchange(Part.Held, 0);
  TByteBuffer& buffer = Part.Buffer;
  if (!buffer.empty() && FPooled + buffer.size() <= FLimit) {
    FPooled += buffer.size();
    FFree.push_back(std::move(buffer));
  }
  buffer = TByteBuffer();
}
