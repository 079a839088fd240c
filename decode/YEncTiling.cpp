#include "decode/YEncTiling.h"

#include "codec/YEnc.h"

#include <algorithm>
#include <map>

std::vector<std::size_t> FindTiling(const std::vector<TTile>& Tiles, std::uint64_t Size, std::uint32_t Crc) {
  constexpr std::size_t None = ~std::size_t(0);
  // One way to reach a byte: the CRC of everything before it, the tile that
  // ends there and the way to that tile's first byte.
  struct TWay {
    std::uint32_t Crc;
    std::size_t Tile, Before;
  };
  std::vector<std::size_t> order(Tiles.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return Tiles[a].Range.From < Tiles[b].Range.From; });
  std::map<std::uint64_t, std::vector<TWay>> ways;
  ways[0].push_back({0, None, None});
  // Tiles only lead forward, so every byte is done before a later one.
  for (auto at = ways.begin(); at != ways.end() && at->first < Size; ++at) {
    auto tile =
        std::lower_bound(order.begin(), order.end(), at->first,
                         [&](std::size_t i, std::uint64_t from) { return Tiles[i].Range.From < from; });
    for (; tile != order.end() && Tiles[*tile].Range.From == at->first; ++tile) {
      const TTile& t = Tiles[*tile];
      if (t.Range.To <= t.Range.From || t.Range.To > Size)
        continue;
      std::vector<TWay>& there = ways[t.Range.To];
      for (std::size_t w = 0; w < at->second.size() && there.size() < MaxWays; ++w) {
        const std::uint32_t crc = Crc32Combine(at->second[w].Crc, t.Crc, t.Range.To - t.Range.From);
        if (std::none_of(there.begin(), there.end(), [&](const TWay& way) { return way.Crc == crc; }))
          there.push_back({crc, *tile, w});
      }
    }
  }
  const auto end = ways.find(Size);
  if (end == ways.end())
    return {};
  const auto way =
      std::find_if(end->second.begin(), end->second.end(), [&](const TWay& w) { return w.Crc == Crc; });
  if (way == end->second.end())
    return {};
  std::vector<std::size_t> chosen;
  for (TWay w = *way; w.Tile != None; w = ways[Tiles[w.Tile].Range.From][w.Before])
    chosen.push_back(w.Tile);
  std::reverse(chosen.begin(), chosen.end());
  return chosen;
}
