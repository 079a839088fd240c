// Hands any bytes to the inflating half of a compressed connection, in the
// pieces the input asks for, and takes the output in buffers of the sizes
// it asks for, as a hostile server's stream would arrive. Whatever the
// bytes: no call gives more than its buffer holds, a 0 means every byte
// given has been used (so the next read of the link has room), and once
// broken the stream stays broken with a reason.
//
// Input: the first byte seeds the piece and buffer sizes; the rest is the
// stream.
#include "fuzz/FuzzCheck.h"
#include "net/Deflate.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  unsigned seed = data[0];
  const auto next = [&](unsigned max) { return (seed = seed * 1103515245u + 12345u) / 65536 % max + 1; };
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t ahead = std::min(stream.size(), std::size_t(next(16) - 1)); // read with the 206
  TDeflate d(stream.substr(0, ahead));
  stream.remove_prefix(ahead);
  std::vector<char> out(4096 + 8);
  for (int rounds = 0; rounds < 100000; ++rounds) {
    const int room = int(next(4096));
    out[std::size_t(room)] = '\x5a';
    const int n = d.Inflate(out.data(), room);
    Check(n <= room && out[std::size_t(room)] == '\x5a');
    if (n < 0) {
      Check(d.Broken() && !d.Error().empty() && !d.Pending() && d.Inflate(out.data(), room) == -1);
      return 0;
    }
    if (n > 0)
      continue;
    Check(!d.Pending() && d.Room() != nullptr);
    if (stream.empty())
      return 0;
    const std::size_t piece = std::min(stream.size(), std::size_t(next(512)));
    std::memcpy(d.Room(), stream.data(), piece);
    d.Added(int(piece));
    stream.remove_prefix(piece);
  }
  return 0;
}
