#pragma once

// Large buffers carved out of chunks of 8 MB that the system backs with huge
// pages where it can. On a virtual machine the first write to a page the
// process has not used before costs far more than the write itself: about
// a millisecond a MB in pages of 4 KB, a tenth of that in pages of 2 MB, and
// every new window's buffers for its parts are such pages. A chunk goes back
// to the system once the last buffer carved from it is freed, so what the
// windows took is given back when they close. Safe from any thread.

#include <cstddef>

class TBufferArena {
public:
  static constexpr std::size_t ChunkSize = 8u << 20;
  static constexpr std::size_t PageSize = 2u << 20; // a huge page, and the chunks' alignment

  // Bytes of writable memory, 64-byte aligned; throws std::bad_alloc when
  // the system has none. More than a chunk gets a mapping of its own.
  static void* Take(std::size_t Bytes);
  // Gives back what Take gave.
  static void Give(void* Buffer) noexcept;
  // Chunks mapped now.
  static std::size_t Chunks();
};
