#pragma once

// What the units of TYEncReceiver share: positioned reads and writes that
// see a short transfer as an error, and small helpers.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

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
