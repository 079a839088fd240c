// Feeds any bytes to the yEnc keyword-line parser, to TYEncPart line by line as
// a session does (its CRC-32 taken line by line and over whole parts), and to
// TUUCode's ydecode; then encodes them as one to three parts and decodes them
// back. Under AddressSanitizer a data line is decoded
// into a buffer of exactly its size, so a write past the promised room shows;
// the checks below catch bytes placed outside a part's range or the file,
// names that leave the input's folder, and round trips that lose bytes.
#include "codec/UUCode.h"
#include "codec/YEnc.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* Folder = "/news/host/group/";

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = std::min(text.find('\n'), text.size());
    lines.push_back(text.substr(0, lf));
    text.remove_prefix(std::min(lf + 1, text.size()));
  }
  return lines;
}

// A second part follows the same lines with its CRC-32 summed over each
// part's bytes at once, as the session does: it must come to the same end.
// The data lines between keyword lines are decoded together too.
void ParseAndFollow(std::string_view input) {
  TYEncPart part, later;
  std::string run; // what later decoded since its =ybegin
  // The data lines in a row, each given its CR LF, decoded together each
  // way into exactly their room: what decoding them one by one gave.
  std::string text, want;
  bool from = false, carried = false;
  const auto together = [&] {
    const std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
    for (const TYEncPath path : {TYEncPath::Plain, TYEncPath::Sse, TYEncPath::Wide}) {
      bool escape = from;
      const std::size_t n = YEncDecodeLinesOn(path, text.data(), text.size(), buffer.get(), escape);
      Check(std::string_view(buffer.get(), n) == want && escape == carried);
    }
    text.clear(), want.clear(), from = carried;
  };
  for (const std::string_view line : Lines(input)) {
    if (YEncKeyword(line) != ykNone) {
      together();
    } else {
      text.append(line).append("\r\n");
      const std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
      const std::size_t size = line.size() - (!line.empty() && line.back() == '\r');
      want.append(buffer.get(), YEncDecodeLinePlain(line.data(), size, buffer.get(), carried));
    }
    TYEncLine fields;
    if (YEncKeyword(line) != ykNone && ParseYEncLine(line, fields).empty()) {
      Check(fields.Keyword != ykNone && fields.Keyword == YEncKeyword(line));
      Check(fields.Keyword != ykBegin || (fields.Size && !fields.Name.empty()));
      Check(fields.Keyword != ykPart || (*fields.Begin >= 1 && *fields.Begin <= *fields.End));
    }
    switch (YEncKeyword(line)) {
    case ykBegin:
      Check(part.Begin(line) == later.Begin(line));
      run.clear();
      break;
    case ykPart:
      Check(part.Part(line) == later.Part(line));
      break;
    case ykEnd:
      later.Sum(run.data(), run.size());
      run.clear();
      Check(part.End(line) == later.End(line));
      break;
    case ykNone:
      if (part.Open()) {
        const std::unique_ptr<char[]> buffer(new char[line.size()]);
        const std::uint64_t at = part.Position();
        const std::size_t n = part.Decode(line.data(), line.size(), buffer.get());
        Check(n <= line.size());
        Check(part.Placed() ? at + n <= part.RangeEnd() && part.RangeEnd() <= part.FileSize() : n == 0);
        Check(later.DecodeLater(line.data(), line.size(), buffer.get()) == n);
        run.append(buffer.get(), n);
        // The line's characters decoded by blocks, each way this processor
        // has, and one at a time agree, the escape carried out of the line too.
        bool plain = false;
        const std::size_t m = YEncDecodeLinePlain(line.data(), line.size(), buffer.get(), plain);
        const std::string once(buffer.get(), m);
        for (const TYEncPath path : {TYEncPath::Sse, TYEncPath::Wide}) {
          bool fast = false;
          Check(YEncDecodeLineOn(path, line.data(), line.size(), buffer.get(), fast) == m);
          Check(once == std::string_view(buffer.get(), m) && fast == plain);
        }
      }
      break;
    }
  }
  together();
}

void DecodeWhole(std::string_view input, bool headers) {
  TUUCode codec;
  codec.SetAlgorithm(ydecode);
  codec.SetHeaders(headers);
  codec.SetInputFile(std::string(Folder) + "7.YNC");
  codec.SetOutputFile(std::string(Folder) + "7.dec");
  try {
    Check(codec.Convert(input).size() <= input.size());
  } catch (const Exception&) {
    // Broken or incomplete parts end here.
  }
  const std::string& out = codec.OutputFile();
  const std::string_view folder(Folder);
  Check(out.compare(0, folder.size(), folder) == 0);
  const std::string name = "/" + out.substr(folder.size()) + "/";
  Check(name.find("/../") == std::string::npos && name != "//");
}

// In pieces too short to fold: the folded CRC of the whole must agree, and
// so must every way of folding this processor has.
std::uint32_t TableCrc(std::string_view s) {
  std::uint32_t c = 0;
  for (std::size_t at = 0; at < s.size(); at += 63)
    c = Crc32(c, s.data() + at, std::min<std::size_t>(63, s.size() - at));
  return c;
}

void RoundTrip(std::string_view bytes) {
  const std::uint8_t shape = bytes.empty() ? 0 : std::uint8_t(bytes[0]);
  const std::uint32_t crc = TableCrc(bytes);
  for (const TYEncPath path : {TYEncPath::Plain, TYEncPath::Sse, TYEncPath::Wide})
    Check(Crc32On(path, shape, bytes.data(), bytes.size()) == Crc32(shape, bytes.data(), bytes.size()));
  const std::size_t cut = bytes.size() / 3 + shape % 7;
  Check(Crc32(Crc32(0, bytes.data(), std::min(cut, bytes.size())), bytes.data() + std::min(cut, bytes.size()),
              bytes.size() - std::min(cut, bytes.size())) == crc);

  // One part, or up to three posted in reverse order.
  // Every part holds at least one byte.
  const std::size_t step = std::max<std::size_t>((bytes.size() + shape % 3) / (1 + shape % 3), 1);
  const std::size_t count = std::max<std::size_t>((bytes.size() + step - 1) / step, 1);
  std::string text;
  for (std::size_t i = count; i-- > 0;) {
    TYEncPartInfo info;
    info.Name = shape & 8 ? "a b.bin" : "a.bin";
    info.FileSize = bytes.size();
    info.LineLength = 2 + shape % 127; // lines of one byte would only be slow
    info.CRLF = (shape & 16) != 0;
    if (count > 1) {
      info.Part = i + 1;
      info.Total = count;
      info.Offset = i * step;
      info.FileCrc = crc;
    }
    text += YEncEncodePart(bytes.substr(std::min(i * step, bytes.size()), step), info);
  }
  TUUCode codec;
  codec.SetAlgorithm(ydecode);
  codec.SetInputFile(std::string(Folder) + "7.YNC");
  Check(codec.Convert(text) == bytes);
  Check(codec.OutputFile() == std::string(Folder) + (shape & 8 ? "a b.bin" : "a.bin"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ParseAndFollow(input);
  DecodeWhole(input, size > 0 && (data[0] & 1) != 0);
  // The round trip costs as much as the rest together and depends only on
  // the bytes and the shape they pick, so one input in four takes it; long
  // inputs find nothing there that short ones miss.
  if (size <= 2048 && (size == 0 || data[size - 1] % 4 == 0))
    RoundTrip(input);
  return 0;
}
