#include "CodecFixture.h"

#include "codec/YEnc.h"

#include <algorithm>
#include <cstring>

namespace {

// Bit by bit, as the polynomial is defined.
std::uint32_t SlowCrc(const std::string& s) {
  std::uint32_t c = ~0u;
  for (const char ch : s) {
    c ^= std::uint8_t(ch);
    for (int k = 0; k < 8; ++k)
      c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t lf; (lf = text.find('\n', pos)) != std::string::npos; pos = lf + 1)
    lines.push_back(text.substr(pos, lf - pos));
  return lines;
}

// Runs the lines of a text through TYEncPart into a file image, as the
// session does; returns the first error text, or "" and the bytes.
std::string Receive(const std::string& text, std::string& file, TYEncPart& part) {
  std::vector<char> buffer;
  for (const std::string& line : Lines(text)) {
    std::string error;
    switch (YEncKeyword(line)) {
    case ykBegin:
      error = part.Begin(line);
      if (error.empty())
        file.resize(std::max<std::size_t>(file.size(), part.FileSize()));
      break;
    case ykPart:
      error = part.Part(line);
      break;
    case ykEnd:
      error = part.End(line);
      break;
    case ykNone:
      if (part.Open()) {
        buffer.resize(line.size()); // exactly what the contract asks: the sanitizer sees any overrun
        const std::uint64_t at = part.Position();
        const std::size_t n = part.Decode(line.data(), line.size(), buffer.data());
        EXPECT_LE(at + n, part.RangeEnd());
        std::memcpy(file.data() + at, buffer.data(), n);
      }
      break;
    }
    if (!error.empty())
      return error;
  }
  return "";
}

TYEncPartInfo Info(const std::string& name, std::size_t size, unsigned line = 128) {
  TYEncPartInfo info;
  info.Name = name;
  info.FileSize = size;
  info.LineLength = line;
  return info;
}

// The parts of a file cut every partSize bytes.
std::vector<std::string> Parts(const std::string& bytes, std::size_t partSize, const std::string& name) {
  std::vector<std::string> parts;
  const std::size_t total = (bytes.size() + partSize - 1) / partSize;
  for (std::size_t i = 0; i < total; ++i) {
    TYEncPartInfo info = Info(name, bytes.size());
    info.Offset = i * partSize;
    info.Part = i + 1;
    info.Total = total;
    info.FileCrc = Crc32(0, bytes.data(), bytes.size());
    parts.push_back(YEncEncodePart(std::string_view(bytes).substr(info.Offset, partSize), info));
  }
  return parts;
}

} // namespace

TEST(Crc32, MatchesThePolynomialAtEveryLengthOffsetAndSplit) {
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, "", 0), 0u);
  const std::string data = CodecTest::Random(4096 + 64, 3);
  // Lengths around the 16- and 64-byte steps of the folding, at every alignment.
  for (std::size_t offset = 0; offset < 16; ++offset)
    for (std::size_t size = 0; size < 300; ++size) {
      const std::string s = data.substr(offset, size);
      ASSERT_EQ(Crc32(0, s.data(), s.size()), SlowCrc(s)) << offset << " " << size;
    }
  const std::string big = data.substr(1, 4096 + 33);
  EXPECT_EQ(Crc32(0, big.data(), big.size()), SlowCrc(big));
  const std::uint32_t head = Crc32(0, big.data(), 1000);
  EXPECT_EQ(Crc32(head, big.data() + 1000, big.size() - 1000), SlowCrc(big));
}

TEST(YEncLines, KeywordLinesGiveTheirFields) {
  EXPECT_EQ(YEncKeyword("=ybegin part=1 line=128 size=5 name=a"), ykBegin);
  EXPECT_EQ(YEncKeyword("=ypart begin=1 end=5\r"), ykPart);
  EXPECT_EQ(YEncKeyword("=yend"), ykEnd);
  EXPECT_EQ(YEncKeyword("=yend\r"), ykEnd);
  for (const char* other : {"=ybeginner size=1", "=yen", "=y", "", "ybegin ", "==ybegin "})
    EXPECT_EQ(YEncKeyword(other), ykNone) << other;

  TYEncLine f;
  // Keywords in any order, a name with blanks and "=" that runs to the end.
  EXPECT_EQ(ParseYEncLine("=ybegin size=6891520 line=128 total=9 part=2 name=  holiday  = photos.zip \r", f),
            "");
  EXPECT_EQ(f.Keyword, ykBegin);
  EXPECT_EQ(f.Part, 2u);
  EXPECT_EQ(f.Total, 9u);
  EXPECT_EQ(f.Line, 128u);
  EXPECT_EQ(f.Size, 6891520u);
  EXPECT_EQ(f.Name, "holiday  = photos.zip");
  EXPECT_FALSE(f.Begin.has_value());
  // pcrc32= is not crc32=; hexadecimal of either case; unknown keywords pass.
  EXPECT_EQ(ParseYEncLine("=yend size=10 part=3 pcrc32=ABCDEF01 crc32=0000ff extra=7", f), "");
  EXPECT_EQ(f.PCrc32, 0xABCDEF01u);
  EXPECT_EQ(f.Crc32, 0xFFu);
  EXPECT_EQ(f.Part, 3u);
  EXPECT_EQ(ParseYEncLine("=ypart begin=768001 end=1536000", f), "");
  EXPECT_EQ(f.Begin, 768001u);
  EXPECT_EQ(f.End, 1536000u);
  EXPECT_EQ(ParseYEncLine("=ybegin size=1000000000000000 total=1000000000 part=1 name=x", f), "");
  EXPECT_EQ(f.Size, 1000000000000000u) << "a huge size is the caller's to refuse";

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"=ybegin line=128 name=a", "=ybegin without size="},
      {"=ybegin size=5", "=ybegin without name="},
      {"=ybegin size=5 name=   ", "=ybegin with an empty name="},
      {"=ybegin part=4 total=3 size=5 name=a", "=ybegin part=4 is past total=3"},
      {"=ybegin part=0 size=5 name=a", "=ybegin part= and total= count from 1"},
      {"=ybegin size=-5 name=a", "=ybegin size= is not a number"},
      {"=ybegin size=18446744073709551616 name=a", "=ybegin size= is not a number"},
      {"=ypart begin=9 end=3", "=ypart begin=9 end=3 is no range"},
      {"=ypart begin=0 end=3", "=ypart begin=0 end=3 is no range"},
      {"=ypart begin=1", "=ypart without begin= and end="},
      {"=yend part=1", "=yend without size="},
      {"=yend size=1 pcrc32=123456789", "=yend pcrc32= is not a CRC-32"},
      {"=yend size=1 crc32=xyz", "=yend crc32= is not a CRC-32"},
      {"some text", "not a yEnc keyword line"}};
  for (const auto& [line, error] : bad)
    EXPECT_EQ(ParseYEncLine(line, f), error) << line;
}

TEST(YEncLines, DecodingHandlesEscapesLineEndsAndASplitEscape) {
  char out[64];
  bool escape = false;
  // "=" escapes: "=}" is "=" + 64, giving "=" - 42 after the offset.
  EXPECT_EQ(YEncDecodeLine("klm=}=@\r", 8, out, escape), 5u);
  EXPECT_EQ(std::string(out, 5), std::string("ABC\x13\xd6", 5));
  EXPECT_FALSE(escape);
  // A lone "=" at the end escapes the first character of the next line.
  EXPECT_EQ(YEncDecodeLine("k=\r", 3, out, escape), 1u);
  EXPECT_TRUE(escape);
  EXPECT_EQ(YEncDecodeLine("", 0, out, escape), 0u);
  EXPECT_TRUE(escape) << "an empty line keeps the escape for the next";
  EXPECT_EQ(YEncDecodeLine("}k", 2, out, escape), 2u);
  EXPECT_EQ(std::string(out, 2), "\x13"
                                 "A");
  EXPECT_FALSE(escape);
  // Stray CRs and LFs inside a line are no data.
  EXPECT_EQ(YEncDecodeLine("k\rl\nm", 5, out, escape), 3u);
  EXPECT_EQ(std::string(out, 3), "ABC");

  // Every byte value at every position of long lines, against the encoder:
  // the fast path meets escapes at each place in its blocks.
  std::string all;
  for (int rep = 0; rep < 3; ++rep)
    for (int b = 0; b < 256; ++b)
      all += char(b);
  for (const unsigned line : {1u, 2u, 15u, 16u, 17u, 63u, 128u, 997u}) {
    const std::string text = YEncEncodePart(all, Info("x", all.size(), line));
    std::string back;
    escape = false;
    for (const std::string& l : Lines(text)) {
      if (YEncKeyword(l) != ykNone)
        continue;
      std::vector<char> buffer(l.size());
      back.append(buffer.data(), YEncDecodeLine(l.data(), l.size(), buffer.data(), escape));
    }
    EXPECT_TRUE(back == all) << "line " << line;
  }
}

TEST(YEncLines, TheEncoderEscapesWhatServersAndDecodersTripOver) {
  std::string bytes;
  for (int b = 0; b < 256; ++b)
    bytes += std::string(40, char(b)); // runs, so every byte starts and ends lines
  for (const unsigned line : {8u, 128u}) {
    const std::string text = YEncEncodePart(bytes, Info("x", bytes.size(), line));
    for (const std::string& l : Lines(text)) {
      ASSERT_FALSE(l.empty());
      ASSERT_EQ(l.back(), '\r');
      const std::string s = l.substr(0, l.size() - 1);
      if (YEncKeyword(s) != ykNone)
        continue;
      EXPECT_LE(s.size(), line + 1);
      EXPECT_TRUE(s.find_first_of(std::string("\0\r\n", 3)) == std::string::npos);
      EXPECT_NE(s.front(), '.');
      EXPECT_TRUE(s.front() != ' ' && s.front() != '\t' && s.back() != ' ' && s.back() != '\t') << s;
      for (std::size_t i = 0; i < s.size(); ++i)
        if (s[i] == '=')
          ++i; // an escape takes the next character
        else
          EXPECT_NE(s[i], '=');
    }
  }
}

TEST(YEncPart, PartsArriveInAnyOrderAndLandInTheirRanges) {
  const std::string bytes = CodecTest::Random(10000, 9);
  std::vector<std::string> parts = Parts(bytes, 3000, "f.bin");
  ASSERT_EQ(parts.size(), 4u);
  std::reverse(parts.begin(), parts.end());
  std::string file;
  TYEncPart part;
  for (const std::string& p : parts) {
    ASSERT_EQ(Receive(p, file, part), "");
    EXPECT_TRUE(part.MultiPart());
    EXPECT_EQ(part.CrcOfFile(), Crc32(0, bytes.data(), bytes.size()));
  }
  EXPECT_TRUE(file == bytes);
  EXPECT_EQ(part.Offset(), 0u);
  EXPECT_EQ(part.Crc(), Crc32(0, bytes.data(), 3000));
  EXPECT_EQ(part.Describe(), "part 1 of \"f.bin\"");

  // A single part's =yend carries crc32=, checked at once.
  file.clear();
  ASSERT_EQ(Receive(YEncEncodePart(bytes, Info("g.bin", bytes.size())), file, part), "");
  EXPECT_TRUE(file == bytes);
  EXPECT_FALSE(part.CrcOfFile().has_value());
}

TEST(YEncPart, APartThatDoesNotMatchItsEndLineIsRefusedWithAClearText) {
  const std::string bytes = CodecTest::Random(1000, 4);
  const std::string part2 = Parts(bytes, 400, "f.bin")[1]; // bytes 401 to 800
  auto replace = [](std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
  };
  const std::string begin = "=ybegin part=2 total=3 line=128 size=1000 name=f.bin\r\n";
  const std::string ypart = "=ypart begin=401 end=800\r\n";
  const std::string crc = [&] {
    char s[9];
    std::snprintf(s, sizeof s, "%08x", Crc32(0, bytes.data() + 400, 400));
    return std::string(s);
  }();
  ASSERT_EQ(part2.substr(0, begin.size() + ypart.size()), begin + ypart);
  const std::vector<std::pair<std::string, std::string>> cases = {
      // A data line lost on the way: fewer bytes than size=.
      {replace(part2, part2.substr(begin.size() + ypart.size(), 130), ""),
       "part 2 of \"f.bin\": "}, // "2xx bytes decoded, =yend says size=400"
      {replace(part2, "pcrc32=" + crc, "pcrc32=" + std::string(crc.rbegin(), crc.rend())),
       "part 2 of \"f.bin\": CRC-32 " + crc + " does not match pcrc32="},
      {replace(part2, "size=400", "size=401"), "part 2 of \"f.bin\": 400 bytes decoded, =yend says size=401"},
      {replace(part2, "end=800", "end=810"),
       "part 2 of \"f.bin\": 400 bytes decoded, its =ypart range holds 410"},
      {replace(part2, "end=800", "end=1001"),
       "part 2 of \"f.bin\": =ypart begin=401 end=1001 lies past size=1000"},
      {replace(part2, "=yend size=400 part=2", "=yend size=400 part=3"),
       "part 2 of \"f.bin\" closes with =yend part=3"},
      {replace(part2, ypart, ""), "part 2 of \"f.bin\" has no =ypart line"},
      {replace(part2, begin + ypart, ""), "=yend without =ybegin"},
      {replace(part2, begin, ""), "=ypart without =ybegin"}};
  for (const auto& [text, error] : cases) {
    std::string file;
    TYEncPart part;
    const std::string got = Receive(text, file, part);
    EXPECT_EQ(got.substr(0, error.size()), error) << got;
    // Nothing lands outside the part's range, whatever the part claims.
    EXPECT_TRUE(file.empty() ||
                (file.substr(0, 400) == std::string(400, '\0') && file.substr(800) == std::string(200, '\0')))
        << error;
  }

  // A part with more data than its range: the extra bytes are counted, never returned.
  std::string file;
  TYEncPart part;
  const std::string longer = replace(part2, "=yend", "klmnop\r\n=yend");
  EXPECT_EQ(Receive(longer, file, part), "part 2 of \"f.bin\": 406 bytes decoded, =yend says size=400");
  EXPECT_TRUE(file.substr(400, 400) == bytes.substr(400, 400));
  EXPECT_TRUE(file.substr(800) == std::string(200, '\0'));
}

using YDecode = CodecTest;

TEST_F(YDecode, TUUCodeEncodesAndDecodesWholeFilesAndAssemblesParts) {
  for (const std::size_t size : {0u, 1u, 127u, 128u, 129u, 5000u, 300001u}) {
    const std::string bytes = Random(size, unsigned(size) + 1);
    Put("a.bin", bytes);
    Run(yencode, "a.bin", "a.yenc", true, LF);
    std::remove((Dir + "a.bin").c_str());
    Run(ydecode, "a.yenc", "");
    EXPECT_EQ(Codec.OutputFile(), Dir + "a.bin");
    ASSERT_TRUE(Get("a.bin") == bytes) << size;
    // Without Headers the output keeps its given name.
    Run(ydecode, "a.yenc", "b.bin", false);
    EXPECT_TRUE(Get("b.bin") == bytes) << size;
  }
  EXPECT_EQ(Lines(Get("a.yenc"))[0], "=ybegin line=128 size=300001 name=a.bin");

  // The parts of one file in shuffled order, with article text around them.
  const std::string bytes = Random(100000, 2);
  std::vector<std::string> parts = Parts(bytes, 7000, "../../p.bin");
  std::shuffle(parts.begin(), parts.end(), std::mt19937(5));
  std::string text = "From: someone\r\n\r\n";
  for (const std::string& p : parts)
    text += "part follows\r\n" + p + "-- \r\nsignature\r\n";
  EXPECT_TRUE(Decoded(ydecode, text) == bytes);
  EXPECT_EQ(Codec.OutputFile(), Dir + "p.bin") << "the name stays in the input's folder";

  // A single-part file ends the decoding; a second file after it is not read.
  text = YEncEncodePart("abc", Info("one.txt", 3)) + YEncEncodePart("defg", Info("two.txt", 4));
  EXPECT_EQ(Decoded(ydecode, text), "abc");
}

TEST_F(YDecode, AMissingOrBrokenPartFailsAndWritesNothing) {
  const std::string bytes = Random(20000, 3);
  const std::vector<std::string> parts = Parts(bytes, 6000, "p.bin");
  std::string corrupted = parts[2];
  corrupted[corrupted.size() / 2] ^= 1;
  // Enough other text that the file could fit in it.
  const std::string ok = parts[0] + parts[1] + parts[3] + std::string(8000, '>') + "\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {ok, "yEnc \"p.bin\" lacks bytes 12001 to 18000 (3 parts decoded) in "},
      {ok + corrupted, "yEnc part 3 of \"p.bin\": "},
      {ok + parts[2].substr(0, parts[2].size() - 60), "yEnc part 3 of \"p.bin\" ends without =yend in "},
      {ok + YEncEncodePart("x", Info("q.bin", 1)), "yEnc =ybegin of \"q.bin\" among the parts of \"p.bin\""},
      {"=ybegin size=1000000000000000 name=p.bin\r\n=yend size=0\r\n",
       "yEnc \"p.bin\" of 1000000000000000 bytes cannot come from 56 bytes of text: parts are missing in "},
      {parts[1], "yEnc \"p.bin\" of 20000 bytes cannot come from "},
      {"text\r\n=yend size=0\r\n", "yEnc =yend without =ybegin in "},
      // No =ypart: its lines, the empty one too, decode to nothing.
      {"=ybegin part=2 total=2 size=3 name=p.bin\r\n\r\nklm\r\n=yend size=3 part=2\r\n",
       "yEnc part 2 of \"p.bin\" has no =ypart line in "},
      {"=ybegin size=3 name=p.bin\r\n=ybegin size=3 name=p.bin\r\n", "yEnc \"p.bin\" ends without =yend in "},
      {"no yEnc here\r\n", "No =ybegin line in "}};
  for (const auto& [text, error] : cases) {
    Put("1.ync", text);
    try {
      Run(ydecode, "1.ync", "");
      ADD_FAILURE() << error;
    } catch (const EUUCode& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, error.size()), error);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 1)
        << "nothing but 1.ync: " << error;
  }
  // The whole file's crc32= is checked once every part is there.
  std::string wrongCrc = parts[0] + parts[1] + parts[2] + parts[3];
  const std::string good = "crc32=" + [&] {
    char s[9];
    std::snprintf(s, sizeof s, "%08x", Crc32(0, bytes.data(), bytes.size()));
    return std::string(s);
  }();
  for (std::size_t at; (at = wrongCrc.find(good)) != std::string::npos;)
    wrongCrc.replace(at, good.size(), "crc32=12345678");
  Put("1.ync", wrongCrc);
  EXPECT_THROW(Run(ydecode, "1.ync", ""), EUUCode);
  EXPECT_FALSE(Exists("p.bin"));
}

TEST_F(YDecode, ConvertRunsEveryAlgorithmInMemory) {
  Codec.SetInputFile("/news/host/group/5.UUE");
  Codec.SetOutputFile("/news/host/group/out");
  Codec.SetAlgorithm(uuencode);
  EXPECT_EQ(Codec.Convert("abc"), "begin 0644 5.UUE\r\n#86)C\r\n`\r\nend\r\n");
  Codec.SetAlgorithm(uudecode);
  EXPECT_EQ(Codec.Convert("begin 644 ../x.jpg\n#86)C\nend\n"), "abc");
  EXPECT_EQ(Codec.OutputFile(), "/news/host/group/x.jpg");
  Codec.SetAlgorithm(ydecode);
  EXPECT_EQ(Codec.Convert(YEncEncodePart("hello", Info("h.txt", 5))), "hello");
  EXPECT_EQ(Codec.OutputFile(), "/news/host/group/h.txt");
  EXPECT_THROW(Codec.Convert("=ybegin size=5 name=h.txt\n"), EUUCode);
  EXPECT_FALSE(std::filesystem::exists("/news/host/group/h.txt"));
}

// Python's yenc module (Debian python3-yenc) writes what we decode and reads
// what we write. Outside CI a missing module skips the test; in CI it fails.
TEST_F(YDecode, InteropWithPythonsYencModule) {
  const bool have = std::system("/usr/bin/python3 -c 'import yenc' >/dev/null 2>&1") == 0;
  if (!have) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
      ADD_FAILURE() << "python3-yenc is not installed";
    GTEST_SKIP() << "python3-yenc not installed";
  }
  const std::string bytes = Random(250000, 8);
  Put("orig.bin", bytes);
  // Python encodes three parts, reversed, around its own data lines.
  Put("enc.py", R"(import yenc, zlib, sys
data = open("orig.bin", "rb").read()
out = open("py.ync", "wb")
step = 100000
parts = [(i, data[i:i + step]) for i in range(0, len(data), step)]
for n, (at, chunk) in reversed(list(enumerate(parts))):
    e = yenc.Encoder()
    e.feed(chunk)
    e.terminate()
    out.write(b"=ybegin part=%d total=%d line=128 size=%d name=py.bin\r\n" % (n + 1, len(parts), len(data)))
    out.write(b"=ypart begin=%d end=%d\r\n" % (at + 1, at + len(chunk)))
    out.write(e.getEncoded())
    out.write(b"=yend size=%d part=%d pcrc32=%s crc32=%08x\r\n" % (len(chunk), n + 1, e.getCrc32().encode(), zlib.crc32(data)))
)");
  // And decodes our data lines, checking our CRC against its own.
  Put("dec.py", R"(import yenc, sys
lines = open("our.ync", "rb").read().split(b"\r\n")
assert lines[0].startswith(b"=ybegin ") and lines[-2].startswith(b"=yend ")
d = yenc.Decoder()
for line in lines[1:-2]:
    d.feed(line)
assert d.getDecoded() == open("orig.bin", "rb").read()
assert lines[-2].endswith(b"crc32=" + d.getCrc32().encode()), lines[-2]
)");
  ASSERT_EQ(std::system(("cd '" + Dir + "' && /usr/bin/python3 enc.py").c_str()), 0);
  Run(ydecode, "py.ync", "");
  EXPECT_TRUE(Get("py.bin") == bytes);
  Run(yencode, "orig.bin", "our.ync");
  EXPECT_EQ(std::system(("cd '" + Dir + "' && /usr/bin/python3 dec.py").c_str()), 0);
}
