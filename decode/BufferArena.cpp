#include "decode/BufferArena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct TChunk {
  char* Base;
  std::size_t Size;
  std::size_t Used = 0; // carved from the start, never given back until all is
  std::size_t Live = 0; // buffers carved and not yet given back
};

std::mutex Lock;
std::vector<TChunk> All; // the last is the one carved from

// Size bytes aligned to a huge page: a larger mapping is cut down to them.
char* MapAligned(std::size_t Size) {
  const std::size_t span = Size + TBufferArena::PageSize;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED)
    throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t base =
      (start + TBufferArena::PageSize - 1) & ~std::uintptr_t(TBufferArena::PageSize - 1);
  if (base > start)
    ::munmap(raw, base - start);
  if (const std::size_t tail = start + span - (base + Size); tail > 0)
    ::munmap(reinterpret_cast<void*>(base + Size), tail);
  // Where the system has no huge pages to give, small ones do.
  ::madvise(reinterpret_cast<void*>(base), Size, MADV_HUGEPAGE);
  return reinterpret_cast<char*>(base);
}

} // namespace

void* TBufferArena::Take(std::size_t Bytes) {
  const std::size_t size = std::max<std::size_t>((Bytes + 63) & ~std::size_t(63), 64);
  const std::lock_guard<std::mutex> hold(Lock);
  // Room for one more chunk first, so that no mapping is lost to a failed
  // insertion.
  All.reserve(All.size() + 1);
  if (size > ChunkSize) {
    const std::size_t whole = (size + PageSize - 1) & ~(PageSize - 1);
    TChunk own{MapAligned(whole), whole, whole, 1};
    // Its own chunk goes before the one carved from.
    All.insert(All.empty() ? All.end() : All.end() - 1, own);
    return own.Base;
  }
  if (All.empty() || All.back().Size - All.back().Used < size)
    All.push_back({MapAligned(ChunkSize), ChunkSize});
  TChunk& c = All.back();
  char* p = c.Base + c.Used;
  c.Used += size;
  ++c.Live;
  return p;
}

void TBufferArena::Give(void* Buffer) noexcept {
  if (!Buffer)
    return;
  const std::lock_guard<std::mutex> hold(Lock);
  const auto p = static_cast<char*>(Buffer);
  const auto c = std::find_if(All.begin(), All.end(),
                              [p](const TChunk& k) { return p >= k.Base && p < k.Base + k.Size; });
  if (c == All.end() || --c->Live > 0)
    return;
  ::munmap(c->Base, c->Size);
  All.erase(c);
}

std::size_t TBufferArena::Chunks() {
  const std::lock_guard<std::mutex> hold(Lock);
  return ::All.size();
}
