#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The bytes held for articles that wait for their turn, in blocks taken
// within one limit, and the blocks given back kept for reuse within the
// same limit: a long walk keeps touching the same pages rather than fresh
// ones.
class TBlockPool {
public:
  // Lines held for an article, each as four bytes of length and its bytes.
  // A block is never grown or copied: its size, a power of two, is what the
  // buffer counts, and it goes back to the pool whole.
  struct TBlock {
    std::unique_ptr<char[]> Bytes;
    std::uint32_t Size = 0;
    std::uint32_t Used = 0;
  };

  // What a line of a body is guessed to take, from the overview's count.
  static constexpr std::int64_t LineBytesGuess = 130;

  // Bytes the blocks held and kept may take, below 4 GiB.
  std::size_t Limit() const { return FLimit; }
  void SetLimit(std::size_t Bytes) { FLimit = std::min<std::size_t>(Bytes, UINT32_MAX); }
  // Bytes of the blocks taken and not released.
  std::size_t Held() const { return FHeld; }
  // Bytes of the blocks kept for reuse.
  std::size_t Pooled() const { return FPooled; }
  // Blocks taken from the heap, not from the pool, since it was made.
  std::size_t Allocated() const { return FAllocated; }

  // Adds a new last block to Blocks, those of an article of Lines lines as
  // the overview gave them, that holds Need bytes. Its size, or 0 when the
  // limit leaves no room for one.
  std::size_t Take(std::vector<TBlock>& Blocks, std::int64_t Lines, std::size_t Need);
  // Bytes held outside the blocks (lines decoded as they came), where the
  // limit has room for them; blocks kept make way.
  bool Hold(std::size_t Bytes);
  // Blocks of Bytes taken out of what is held, to be handed over or given back.
  void Release(std::size_t Bytes) { FHeld -= Bytes; }
  // Released blocks, kept for reuse when Keep says so and the limit has room.
  void GiveBack(std::vector<TBlock>& Blocks, bool Keep);
  // Nothing is held any more, and the blocks kept go back to the heap.
  void Drop();

private:
  void MakeWay(std::size_t Bytes);

  std::size_t FLimit = 32 * 1024 * 1024;
  std::size_t FHeld = 0;
  // Free blocks by size, each list of blocks of 2^i bytes.
  std::array<std::vector<std::unique_ptr<char[]>>, 32> FFree;
  std::size_t FPooled = 0;
  std::size_t FAllocated = 0;
};
