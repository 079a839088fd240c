// A unit of its own, so that no call site sees the replaced operators and
// pairs an inlined free with a new. Every form of new that the deletes below
// free is replaced, the nothrow ones too (a stable sort's buffer takes one):
// a new of the sanitizer's freed by ours is a mismatch.
#include "Allocations.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

std::size_t Allocations = 0, Largest = 0;
bool Counting = false, Watching = false;

} // namespace

std::size_t CountAllocations(bool Count) {
  Counting = Count;
  return std::exchange(Allocations, 0);
}

std::size_t WatchAllocations(bool Watch) {
  Watching = Watch;
  return std::exchange(Largest, 0);
}

void* operator new(std::size_t size) {
  Allocations += Counting;
  if (Watching)
    Largest = std::max(Largest, size);
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
