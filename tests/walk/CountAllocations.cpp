// A unit of its own, so that no call site sees the replaced operators and
// pairs an inlined free with a new. Every form of new that the deletes below
// free is replaced, the nothrow ones too (a stable sort's buffer takes one):
// a new of the sanitizer's freed by ours is a mismatch.
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
