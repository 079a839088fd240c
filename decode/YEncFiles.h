#pragma once

// What the units of TYEncReceiver share: positioned reads and writes that
// see a short transfer as an error, and small helpers.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

#include "decode/BufferArena.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

// Bytes that are always written before they are read: a buffer grows
// without zeroing what it adds, so a fresh one costs no pass over its pages.
// A large one comes from chunks of huge pages mapped from the system
// (TBufferArena), which go back to it when their buffers are freed, so what
// a window's parts took is given back when the window closes, whatever else
// the heap holds by then.
template <typename T> struct TUninitializedAllocator : std::allocator<T> {
  static constexpr std::size_t MapFrom = 256 * 1024;
  template <typename U> struct rebind { using other = TUninitializedAllocator<U>; };
  TUninitializedAllocator() = default;
  template <typename U> TUninitializedAllocator(const TUninitializedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < MapFrom)
      return std::allocator<T>::allocate(n);
    return static_cast<T*>(TBufferArena::Take(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < MapFrom)
      std::allocator<T>::deallocate(p, n);
    else
      TBufferArena::Give(p);
  }
  template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
  template <typename U, typename... A> void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};
using TByteBuffer = std::vector<char, TUninitializedAllocator<char>>;

inline std::string Reason(int error) { return std::strerror(error); }

// Both known, and not the same.
template <typename T> bool Differ(const std::optional<T>& a, const std::optional<T>& b) {
  return a && b && *a != *b;
}

inline bool WriteAll(int fd, const char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = ENOSPC;
      return false;
    }
    data += n;
    size -= std::size_t(n);
    at += std::uint64_t(n);
  }
  return true;
}

// False, with errno set, when fewer than size bytes could be read.
inline bool ReadAll(int fd, char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = EIO; // shorter than its record says
      return false;
    }
    data += n;
    size -= std::size_t(n);
    at += std::uint64_t(n);
  }
  return true;
}
