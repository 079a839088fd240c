#include "codec/TextDecoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

// Every way through the groups gives what a group at a time gives, whatever
// stops a block of them and wherever the pieces are cut. A way this
// processor lacks goes a group at a time and is checked all the same.

namespace {

constexpr char UUAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr char XXAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char B64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const char* Alphabet(TAlgorithm algorithm) {
  return algorithm == base64decode ? B64Alphabet : algorithm == xxdecode ? XXAlphabet : UUAlphabet;
}

// The groups of the bytes, the last one cut short as an encoder leaves it
// (padded with "=" in Base64).
std::string Groups(TAlgorithm algorithm, const std::string& bytes) {
  const char* a = Alphabet(algorithm);
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    std::uint32_t bits = 0;
    const std::size_t have = std::min<std::size_t>(3, bytes.size() - at);
    for (std::size_t b = 0; b < 3; ++b)
      bits = bits << 8 | (b < have ? std::uint8_t(bytes[at + b]) : 0);
    for (std::size_t k = 0; k < 4; ++k)
      text += k <= have || algorithm != base64decode ? a[bits >> (18 - 6 * k) & 63] : '=';
  }
  return text;
}

struct TOut {
  std::string Bytes, Name, Failure;
  std::uint64_t Decoded = 0;
  std::size_t Lines = 0;
};

// Each piece in a buffer of its own size, so a read past its end shows
// under the address sanitizer.
TOut Decode(TTextPath path, TAlgorithm algorithm, bool headers, const std::string& text,
            const std::vector<std::size_t>& cuts) {
  TTextDecoder decoder(algorithm, headers, "9.UUE");
  decoder.SetPath(path);
  TOut out;
  decoder.OnOutput = [&](const char* data, std::size_t size) { out.Bytes.append(data, size); };
  decoder.OnLine = [&] { ++out.Lines; };
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t to = k < cuts.size() ? cuts[k] : text.size();
    const auto piece = std::make_unique<char[]>(to - from);
    std::copy(text.begin() + std::ptrdiff_t(from), text.begin() + std::ptrdiff_t(to), piece.get());
    decoder.Feed(std::string_view(piece.get(), to - from));
    from = to;
  }
  decoder.Finish();
  out.Name = decoder.Name();
  out.Failure = decoder.Failure();
  out.Decoded = decoder.Decoded();
  return out;
}

// Lines of random data, whole ones and short ones, some with their count
// or their data spoiled at a random place by a character that stops a
// block: a line end, padding, a character of 0x80 and above, one outside
// the alphabet. A run of lines has such a character at each place of two
// blocks, and for uuencode a count that ends the line at each group.
std::string Text(TAlgorithm algorithm, std::mt19937& gen, std::size_t lines) {
  static const std::string strays = std::string("\r\n=\x80\xff !@-/`~\t") + '\0';
  const char* a = Alphabet(algorithm);
  const bool counted = algorithm != base64decode;
  std::string text = algorithm == base64decode ? "begin-base64 644 w.bin\r\n" : "begin 644 w.bin\r\n";
  const auto bytes = [&](std::size_t size) {
    std::string b(size, '\0');
    for (char& c : b)
      c = char(gen());
    return b;
  };
  for (std::size_t l = 0; l < lines; ++l) {
    const std::size_t size = gen() % 8 == 0 ? gen() % 60 : counted ? 45 : 57;
    std::string data = Groups(algorithm, bytes(size));
    std::string count = counted ? std::string(1, a[size]) : "";
    if (!data.empty() && gen() % 4 == 0)
      data[gen() % data.size()] = strays[gen() % strays.size()];
    if (gen() % 8 == 0)
      data += Groups(algorithm, bytes(gen() % 48)); // longer than its count
    if (counted && gen() % 8 == 0)
      count = a[gen() % 64];
    text += count + data + (gen() % 2 ? "\r\n" : "\n");
  }
  const std::string full = Groups(algorithm, bytes(96));
  for (std::size_t at = 0; at < 128; ++at)
    for (const char stray : {'\r', '=', '\x90', '!'}) {
      std::string data = full;
      data[at] = stray;
      text += (counted ? "M" : "") + data + "\r\n";
    }
  for (std::size_t size = 0; counted && size < 64; ++size)
    text += a[size] + full + "\r\n";
  return text + "end\r\n";
}

std::vector<std::size_t> Cuts(std::mt19937& gen, std::size_t size, std::size_t most) {
  std::vector<std::size_t> cuts;
  for (std::size_t at = 1 + gen() % most; at < size; at += 1 + gen() % most)
    cuts.push_back(at);
  return cuts;
}

} // namespace

// Pieces of a few bytes up to the whole text, a text without its begin
// line, and one of more than a buffer of output (which then goes out in the
// middle of a block) that ends without "end", in a group, padding or count.
TEST(TextDecoderWays, EveryWayGivesWhatAGroupAtATimeGives) {
  std::mt19937 gen(7);
  for (const TAlgorithm algorithm : {uudecode, xxdecode, base64decode})
    for (int round = 0; round < 6; ++round) {
      std::string text = Text(algorithm, gen, round == 4 ? 8000 : 300);
      if (round == 4)
        text.resize(text.size() - 5 - gen() % 70);
      const bool headers = round != 5 || algorithm != base64decode;
      if (!headers)
        text.erase(0, text.find('\n') + 1);
      const TOut plain = Decode(TTextPath::Plain, algorithm, headers, text, {});
      ASSERT_EQ(plain.Failure, "");
      ASSERT_GT(plain.Bytes.size(), round == 4 ? TTextDecoder::BufferSize : 20000u);
      ASSERT_EQ(plain.Decoded, plain.Bytes.size());
      const std::size_t most = round == 0 ? 3 : round == 1 ? 70 : round == 2 ? 200 : text.size();
      const std::vector<std::size_t> cuts = Cuts(gen, text.size(), most);
      for (const TTextPath path : {TTextPath::Avx2, TTextPath::Wide})
        for (const auto& at : {std::vector<std::size_t>{}, cuts}) {
          SCOPED_TRACE("way " + std::to_string(int(path)) + ", algorithm " + std::to_string(int(algorithm)) +
                       ", round " + std::to_string(round) + ", pieces " + std::to_string(at.size() + 1));
          const TOut out = Decode(path, algorithm, headers, text, at);
          EXPECT_EQ(out.Bytes, plain.Bytes);
          EXPECT_EQ(out.Decoded, plain.Decoded);
          EXPECT_EQ(out.Failure, plain.Failure);
          EXPECT_EQ(out.Name, plain.Name);
          EXPECT_EQ(out.Lines, plain.Lines);
        }
    }
}
