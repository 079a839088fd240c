// A unit of its own, so that no call site sees the replaced operators and
// pairs an inlined free with a new.
#include "LargestAllocation.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

std::size_t Largest = 0;
bool Watching = false;

} // namespace

std::size_t WatchAllocations(bool Watch) {
  const std::size_t largest = Largest;
  Largest = 0;
  Watching = Watch;
  return largest;
}

void* operator new(std::size_t size) {
  if (Watching)
    Largest = std::max(Largest, size);
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
