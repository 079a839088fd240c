#pragma once

// What the session's source files (Controller, Reconnect, OverviewFetch)
// share beyond the class.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/Convert.h"
#include "walk/WalkNumbers.h"

// An overview format with Lines: further down than this is no format.
constexpr std::int32_t MaxFormatFields = 64;

inline std::int64_t SaturatedAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  return sum;
}

inline std::int32_t ClampToInt32(std::int64_t value) {
  return std::int32_t(std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
}
