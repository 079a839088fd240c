#include "decode/BufferArena.h"
#include "decode/YEncFiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

// Buffers of a window's parts, a receiver's and one larger than a chunk:
// each is aligned, writable to its end and apart from the others, a chunk
// holds several, and every chunk goes back to the system once its last
// buffer is given back, in whatever order.
TEST(BufferArena, BuffersAreApartAndTheirChunksGoBackWithTheLast) {
  const std::size_t chunksBefore = TBufferArena::Chunks();
  std::vector<std::pair<char*, std::size_t>> taken;
  for (const std::size_t size : {768000u, 768000u, 300000u, 1u << 20, 20u << 20, 768000u, 5u << 20, 4096u})
    taken.emplace_back(static_cast<char*>(TBufferArena::Take(size)), size);
  for (std::size_t i = 0; i < taken.size(); ++i)
    std::memset(taken[i].first, int(i + 1), taken[i].second);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    auto [p, size] = taken[i];
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
    EXPECT_TRUE(p[0] == char(i + 1) && p[size - 1] == char(i + 1)) << "overwritten by a later buffer";
  }
  // 3.5 MB, then 5 MB that no longer fit beside them, in chunks of 8; and
  // 20 MB on its own.
  EXPECT_EQ(TBufferArena::Chunks() - chunksBefore, 3u);
  for (std::size_t i = 0; i < taken.size(); i += 2)
    TBufferArena::Give(taken[i].first);
  // The one of 20 MB has gone; the chunks of those still taken stay theirs.
  EXPECT_EQ(TBufferArena::Chunks() - chunksBefore, 2u);
  for (std::size_t i = 1; i < taken.size(); i += 2) {
    std::memset(taken[i].first, 0, taken[i].second);
    TBufferArena::Give(taken[i].first);
  }
  EXPECT_EQ(TBufferArena::Chunks(), chunksBefore);
  TByteBuffer part(768000); // the parts' buffers come from it
  EXPECT_GT(TBufferArena::Chunks(), chunksBefore);
}
