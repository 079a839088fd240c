#include "walk/BlockPool.h"

#include <bit>

namespace {

// An article's first block is of what the overview says it holds, each
// block after it twice the one before, within these bounds: few blocks for
// a large body, little room unused for a small one.
constexpr std::size_t MinBlock = 4096;
constexpr std::size_t MaxBlock = 1024 * 1024;

} // namespace

// A power of two that holds Need bytes, from the pool when it has one of
// that size.
std::size_t TBlockPool::Take(std::vector<TBlock>& Blocks, std::int64_t Lines, std::size_t Need) {
  const std::size_t guess =
      Blocks.empty()
          ? std::size_t(std::clamp<std::int64_t>(Lines, 0, MaxBlock / LineBytesGuess) * LineBytesGuess)
          : std::size_t(Blocks.back().Size) * 2;
  const std::size_t room = FLimit - std::min(FLimit, FHeld);
  std::size_t size = std::bit_ceil(std::clamp(guess, std::max(MinBlock, Need), std::max(MaxBlock, Need)));
  while (size > room && size / 2 >= Need)
    size /= 2;
  if (size > room)
    return 0;
  std::vector<std::unique_ptr<char[]>>& free = FFree[std::size_t(std::countr_zero(size))];
  std::unique_ptr<char[]> bytes;
  if (!free.empty()) {
    bytes = std::move(free.back());
    free.pop_back();
    FPooled -= size;
  } else {
    // Blocks of other sizes kept free make way, so that what the pool
    // keeps and what the articles hold stay within the limit together.
    MakeWay(size);
    bytes = std::make_unique_for_overwrite<char[]>(size);
    ++FAllocated;
  }
  Blocks.push_back({std::move(bytes), std::uint32_t(size), 0});
  FHeld += size;
  return size;
}

bool TBlockPool::Hold(std::size_t Bytes) {
  if (FHeld + Bytes > FLimit)
    return false;
  MakeWay(Bytes);
  FHeld += Bytes;
  return true;
}

// Blocks kept free go until Bytes more fit beside what is held and kept.
void TBlockPool::MakeWay(std::size_t Bytes) {
  for (std::size_t i = FFree.size(); i-- > 0;)
    while (!FFree[i].empty() && FHeld + FPooled + Bytes > FLimit) {
      FFree[i].pop_back();
      FPooled -= std::size_t(1) << i;
    }
}

// The blocks the pool does not keep go back to the heap.
void TBlockPool::GiveBack(std::vector<TBlock>& Blocks, bool Keep) {
  for (TBlock& b : Blocks)
    if (Keep && std::has_single_bit(b.Size) && FHeld + FPooled + b.Size <= FLimit) {
      FFree[std::size_t(std::countr_zero(b.Size))].push_back(std::move(b.Bytes));
      FPooled += b.Size;
    }
  Blocks.clear();
}

void TBlockPool::Drop() {
  FHeld = 0;
  for (auto& free : FFree)
    free = std::vector<std::unique_ptr<char[]>>();
  FPooled = 0;
}
