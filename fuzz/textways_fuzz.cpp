// Feeds any bytes to the text decoder in every way this processor runs, cut
// into pieces as the first bytes say, and holds each way to the bytes, the
// count and the failure of a group at a time. Under AddressSanitizer this
// also shows a block read past the end of a piece.
#include "FuzzCheck.h"
#include "codec/TextDecoder.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct TOut {
  std::string Bytes, Failure;
  std::uint64_t Decoded = 0;
};

TOut Decode(TTextPath path, TAlgorithm algorithm, bool headers, std::string_view text, std::size_t piece) {
  TTextDecoder decoder(algorithm, headers, "5.UUE");
  decoder.SetPath(path);
  TOut out;
  decoder.OnOutput = [&](const char* data, std::size_t size) { out.Bytes.append(data, size); };
  for (std::size_t at = 0; at < text.size(); at += piece) {
    const std::size_t size = std::min(piece, text.size() - at);
    // A buffer of the piece's own size, so a read past it shows.
    const auto copy = std::make_unique<char[]>(size);
    std::copy_n(text.data() + at, size, copy.get());
    decoder.Feed(std::string_view(copy.get(), size));
  }
  decoder.Finish();
  out.Failure = decoder.Failure();
  out.Decoded = decoder.Decoded();
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const TAlgorithm algorithms[] = {uudecode, xxdecode, base64decode};
  const TAlgorithm algorithm = algorithms[data[0] % 3];
  const bool headers = data[0] & 4;
  const std::size_t piece = data[1] == 0 ? size : data[1];
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const TOut plain = Decode(TTextPath::Plain, algorithm, headers, text, piece);
  Check(plain.Decoded == plain.Bytes.size());
  for (const TTextPath path : {TTextPath::Avx2, TTextPath::Wide}) {
    if (!TextDecoderHasPath(path))
      continue;
    const TOut out = Decode(path, algorithm, headers, text, piece);
    Check(out.Bytes == plain.Bytes && out.Decoded == plain.Decoded && out.Failure == plain.Failure);
  }
  return 0;
}
