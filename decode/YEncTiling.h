#pragma once

// Chooses, among the parts of one file held in several assemblies (a bogus
// part beside the real one), parts that meet end to end from the file's
// first byte to its last and together have the file's CRC-32. Only the
// parts' own CRCs are used: nothing is read.

#include "decode/YEncRecord.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct TTile {
  TByteRange Range;
  std::uint32_t Crc = 0; // of the part's bytes
};

// At most this many different CRCs are followed to any one byte, so a
// flood of differing copies costs little; likelier tiles go first.
constexpr std::size_t MaxWays = 16;

// Indices into Tiles of such a choice, in file order; empty when there is
// none. Tiles that begin at the same byte are tried in their order.
std::vector<std::size_t> FindTiling(const std::vector<TTile>& Tiles, std::uint64_t Size, std::uint32_t Crc);
