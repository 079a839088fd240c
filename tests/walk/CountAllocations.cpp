// A unit of its own, so that no call site sees the replaced operators and
// pairs an inlined free with a new.
#include "CountAllocations.h"

#include <cstdlib>
#include <new>

namespace {

std::size_t Allocations = 0;
bool Counting = false;

} // namespace

std::size_t CountAllocations(bool Count) {
  const std::size_t counted = Allocations;
  Allocations = 0;
  Counting = Count;
  return counted;
}

void* operator new(std::size_t size) {
  Allocations += Counting;
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
