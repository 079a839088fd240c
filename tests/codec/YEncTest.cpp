#include "CodecFixture.h"

#include "codec/YEnc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t lf; (lf = text.find('\n', pos)) != std::string::npos; pos = lf + 1)
    lines.push_back(text.substr(pos, lf - pos));
  return lines;
}

std::string Hex(std::uint32_t crc) {
  char s[9];
  std::snprintf(s, sizeof s, "%08x", crc);
  return s;
}

// Runs the lines of a text through TYEncPart into a file image, as the
// session does; returns the first error text, or "".
std::string Receive(const std::string& text, std::string& file, TYEncPart& part) {
  for (const std::string& line : Lines(text)) {
    const TYEncKeyword k = YEncKeyword(line);
    const std::string error = k == ykBegin  ? part.Begin(line)
                              : k == ykPart ? part.Part(line)
                              : k == ykEnd  ? part.End(line)
                                            : "";
    if (!error.empty())
      return error;
    if (k == ykBegin)
      file.resize(std::max<std::size_t>(file.size(), part.FileSize()));
    if (k == ykNone && part.Open()) {
      std::vector<char> buffer(
          line.size()); // just the room the contract asks for: the sanitizer sees any overrun
      const std::uint64_t at = part.Position();
      const std::size_t n = part.Decode(line.data(), line.size(), buffer.data());
      EXPECT_LE(at + n, part.RangeEnd());
      std::memcpy(file.data() + at, buffer.data(), n);
    }
  }
  return "";
}

TYEncPartInfo Info(const std::string& name, std::uint64_t size, unsigned line = 128) {
  return {name, size, 0, 0, 0, {}, line, true};
}

// The parts of a file cut every partSize bytes.
std::vector<std::string> Parts(const std::string& bytes, std::size_t partSize, const std::string& name) {
  std::vector<std::string> parts;
  TYEncPartInfo info = Info(name, bytes.size());
  info.Total = (bytes.size() + partSize - 1) / partSize;
  info.FileCrc = Crc32(0, bytes.data(), bytes.size());
  for (info.Part = 1; info.Part <= info.Total; ++info.Part, info.Offset += partSize)
    parts.push_back(YEncEncodePart(std::string_view(bytes).substr(info.Offset, partSize), info));
  return parts;
}

} // namespace

// Every way this processor runs, against the polynomial bit by bit with a
// running CRC carried in, at every length past four steps of the widest
// fold (256 bytes) and at every alignment within its register: lengths that
// stop inside a step, in the 16-byte tail or in the last bytes the tables
// take. Chaining is what every part's pcrc32= check walks.
TEST(Crc32, MatchesThePolynomialAtEveryLengthAndAlignment) {
  const auto slow = [](std::uint32_t c, std::string_view s) {
    c = ~c;
    for (const char ch : s) {
      c ^= std::uint8_t(ch);
      for (int k = 0; k < 8; ++k)
        c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
  };
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
  const std::string data = CodecTest::Random(1100 + 64, 3);
  for (const TYEncPath path : {TYEncPath::Plain, TYEncPath::Sse, TYEncPath::Wide}) {
    if (!YEncHasPath(path)) {
      std::printf("this processor lacks path %d: not compared\n", int(path));
      continue;
    }
    for (std::size_t offset = 0; offset < 64; offset += offset < 17 ? 1 : 9)
      for (std::size_t size = 0; size <= 1100; ++size) {
        const std::uint32_t in = std::uint32_t(size * 0x9E3779B9u + offset);
        ASSERT_EQ(Crc32On(path, in, data.data() + offset, size),
                  slow(in, std::string_view(data).substr(offset, size)))
            << int(path) << " " << offset << " " << size;
      }
  }
  // The default way is the widest there is.
  const std::string big = CodecTest::Random(768000, 12);
  EXPECT_EQ(Crc32(5, big.data(), big.size()), Crc32On(TYEncPath::Plain, 5, big.data(), big.size()));
}

// A file's CRC from its parts' CRCs, at every cut of a buffer; past 4 GiB
// joining three parts either way round gives the same.
TEST(Crc32, CombinedFromThePartsAsOverTheWhole) {
  const std::string data = CodecTest::Random(3000, 6);
  for (std::size_t cut = 0; cut <= data.size(); cut += cut < 70 ? 1 : 331)
    ASSERT_EQ(Crc32Combine(Crc32(0, data.data(), cut), Crc32(0, data.data() + cut, data.size() - cut),
                           data.size() - cut),
              Crc32(0, data.data(), data.size()))
        << cut;
  const std::uint64_t b = 3ull << 32, c = (5ull << 33) + 7;
  EXPECT_EQ(Crc32Combine(Crc32Combine(0x1234567u, 0x89abcdefu, b), 0xdeadbeefu, c),
            Crc32Combine(0x1234567u, Crc32Combine(0x89abcdefu, 0xdeadbeefu, c), b + c));
}

TEST(YEncLines, KeywordLinesGiveTheirFieldsAndHostileOnesAreRefused) {
  EXPECT_EQ(YEncKeyword("=yend\r"), ykEnd);
  for (const char* other : {"=ybeginner size=1", "=yen", "", "==ybegin "})
    EXPECT_EQ(YEncKeyword(other), ykNone) << other;

  TYEncLine f;
  // Keywords in any order, a name with blanks and "=" that runs to the end.
  EXPECT_EQ(ParseYEncLine("=ybegin size=6891520 line=128 total=9 part=2 name=  holiday  = photos.zip \r", f),
            "");
  EXPECT_EQ(f.Keyword, ykBegin);
  EXPECT_TRUE(f.Part == 2u && f.Total == 9u && f.Line == 128u && f.Size == 6891520u && !f.Begin);
  EXPECT_EQ(f.Name, "holiday  = photos.zip");
  // pcrc32= is not crc32=; hexadecimal of either case; unknown keywords pass.
  EXPECT_EQ(ParseYEncLine("=yend size=10 part=3 pcrc32=ABCDEF01 crc32=0000ff extra=7", f), "");
  EXPECT_TRUE(f.PCrc32 == 0xABCDEF01u && f.Crc32 == 0xFFu && f.Part == 3u);
  EXPECT_EQ(ParseYEncLine("=ypart begin=768001 end=1536000", f), "");
  EXPECT_TRUE(f.Begin == 768001u && f.End == 1536000u);

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
  // "=}" is "=" + 64, giving "=" - 42 after the offset.
  EXPECT_EQ(std::string(out, YEncDecodeLine("klm=}=@\r", 8, out, escape)), std::string("ABC\x13\xd6", 5));
  // A lone "=" at the end escapes the first character of the next line, past empty lines.
  EXPECT_EQ(YEncDecodeLine("k=\r", 3, out, escape), 1u);
  EXPECT_EQ(YEncDecodeLine("", 0, out, escape), 0u);
  EXPECT_EQ(std::string(out, YEncDecodeLine("}k", 2, out, escape)), std::string("\x13") + "A");
  EXPECT_FALSE(escape);
  // Stray CRs and LFs inside a line are no data.
  EXPECT_EQ(std::string(out, YEncDecodeLine("k\rl\nm", 5, out, escape)), "ABC");
}

// Lines thick with escapes, stray line ends and "==" at every length and
// place, an escape carried in and out: each way this processor decodes by
// blocks (sixteen characters, and 64 with up to four or many taken out of
// a block) agrees with decoding one at a time, into exactly the line's room.
// Some lines are as a poster writes them, a few escapes in 128 characters,
// so blocks with none to take out and lines ending in a short block show;
// and an escape, "==", a stray CR and an escaped CR sit at every place of
// lines around one and two blocks long, clean or with an escape in every
// fourth character: what a block carries into the next and where the last
// one ends.
TEST(YEncLines, DecodingByBlocksAgreesWithDecodingByCharacters) {
  std::vector<TYEncPath> paths;
  for (const TYEncPath path : {TYEncPath::Sse, TYEncPath::Wide})
    if (YEncHasPath(path))
      paths.push_back(path);
  const auto agree = [&](const std::string& line, bool carried) {
    bool plain = carried;
    std::vector<char> want(line.size()), got(line.size());
    const std::size_t n = YEncDecodeLinePlain(line.data(), line.size(), want.data(), plain);
    for (const TYEncPath path : paths) {
      bool fast = carried;
      ASSERT_EQ(YEncDecodeLineOn(path, line.data(), line.size(), got.data(), fast), n) << int(path) << line;
      ASSERT_EQ(std::string(got.data(), n), std::string(want.data(), n)) << int(path) << " " << line;
      ASSERT_EQ(fast, plain) << int(path) << " " << line;
    }
  };
  std::uint32_t seed = 7;
  const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
  const char special[] = {'=', '=', '\r', '\n', 'a', '\0', char(0xFF), '}'};
  for (int round = 0; round < 6000; ++round) {
    std::string line(round % 4 == 3 ? 126 + next() % 6 : next() % 300, 'x');
    const unsigned thick = round % 4 == 0 ? 3 : round % 4 == 1 ? 16 : 64;
    for (char& c : line)
      c = next() % thick == 0 ? special[next() % 8] : char(next());
    ASSERT_NO_FATAL_FAILURE(agree(line, round % 2 != 0)) << round;
  }
  for (const std::size_t size : {15, 16, 17, 63, 64, 65, 127, 128, 129, 130, 192})
    for (const std::string_view piece : {"=}", "==", "\r", "=\r", "="})
      for (const bool busy : {false, true})
        for (std::size_t at = 0; at + piece.size() <= size; ++at) {
          std::string line(size, 'k');
          for (std::size_t i = 3; busy && i < size; i += 4)
            line[i] = '=';
          line.replace(at, piece.size(), piece);
          for (const bool carried : {false, true})
            ASSERT_NO_FATAL_FAILURE(agree(line, carried));
        }
}

// Two lines of 129 characters decoded together, their CR LF ends in the
// blocks, come to what decoding them one by one gives (each without its CR
// LF and a CR before it), each way, into exactly the text's room, with an
// escape, "==", a stray CR or LF or an escaped CR at every place: a line
// that ends in "=" escapes the next line's first character, one that ends
// in CR is a CR CR LF end, and blocks straddle the line ends.
TEST(YEncLines, LinesDecodedTogetherAgreeWithLinesDecodedOneByOne) {
  for (const std::string_view piece : {"=}", "==", "\r", "=\r", "=", "\n"})
    for (std::size_t at = 0; at + piece.size() <= 2 * 129; ++at)
      for (const bool carried : {false, true}) {
        std::string lines[2] = {std::string(129, 'k'), std::string(129, 'k')};
        lines[at / 129].replace(at % 129, piece.size(), piece.substr(0, 129 - at % 129));
        const std::string text = lines[0] + "\r\n" + lines[1] + "\r\n";
        std::vector<char> want(text.size()), got(text.size());
        bool plain = carried;
        std::size_t n = 0;
        for (const std::string& l : lines)
          n += YEncDecodeLinePlain(l.data(), l.size() - (l.back() == '\r'), want.data() + n, plain);
        for (const TYEncPath path : {TYEncPath::Plain, TYEncPath::Sse, TYEncPath::Wide}) {
          bool escape = carried;
          ASSERT_EQ(YEncDecodeLinesOn(path, text.data(), text.size(), got.data(), escape), n) << at << text;
          ASSERT_EQ(std::string(got.data(), n), std::string(want.data(), n)) << int(path) << " " << at;
          ASSERT_EQ(escape, plain) << int(path) << " " << at;
        }
      }
}

// Every byte value at every place of lines of many lengths, alone and in
// runs: it comes back as it went in, through the fast path's blocks, and no
// line holds what servers and decoders trip over.
TEST(YEncLines, EveryByteAtEveryPlaceOfALineEncodesSafelyAndComesBack) {
  std::string bytes;
  for (int b = 0; b < 3 * 256; ++b)
    bytes += char(b);
  for (int b = 0; b < 256; ++b)
    bytes += std::string(40, char(b)); // every byte starts and ends lines
  for (const unsigned line : {1u, 2u, 8u, 15u, 16u, 17u, 63u, 128u, 997u}) {
    std::string back;
    bool escape = false;
    for (const std::string& l : Lines(YEncEncodePart(bytes, Info("x", bytes.size(), line)))) {
      ASSERT_TRUE(!l.empty() && l.back() == '\r');
      const std::string s = l.substr(0, l.size() - 1);
      if (YEncKeyword(s) != ykNone)
        continue;
      ASSERT_LE(s.size(), line + 1);
      EXPECT_EQ(s.find_first_of(std::string("\0\r\n", 3)), std::string::npos);
      EXPECT_TRUE(s.front() != '.' && s.front() != ' ' && s.front() != '\t' && s.back() != ' ' &&
                  s.back() != '\t')
          << s;
      std::size_t i = 0; // an escape takes the next character, never the next line's
      while (i < s.size())
        i += s[i] == '=' ? 2 : 1;
      EXPECT_EQ(i, s.size()) << s;
      std::vector<char> buffer(l.size());
      back.append(buffer.data(), YEncDecodeLine(l.data(), l.size(), buffer.data(), escape));
    }
    EXPECT_TRUE(back == bytes) << "line " << line;
  }
}

// A part is checked against its own keyword lines, and whatever it claims,
// its bytes land only inside its range: more data than the range is counted,
// never returned.
TEST(YEncPart, APartIsCheckedAgainstItsLinesAndStaysInsideItsRange) {
  const std::string bytes = CodecTest::Random(1000, 4);
  const std::string part2 = Parts(bytes, 400, "f.bin")[1]; // bytes 401 to 800
  const auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = part2;
    return s.replace(s.find(from), from.size(), to);
  };
  const std::string begin = "=ybegin part=2 total=3 line=128 size=1000 name=f.bin\r\n";
  const std::string ypart = "=ypart begin=401 end=800\r\n";
  const std::string crc = Hex(Crc32(0, bytes.data() + 400, 400)), head = "part 2 of \"f.bin\"";
  ASSERT_EQ(part2.substr(0, begin.size() + ypart.size()), begin + ypart);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {part2, ""},
      {replace(part2.substr(begin.size() + ypart.size(), 130), ""), head + ": "}, // a data line lost
      {replace("pcrc32=" + crc, "pcrc32=" + std::string(crc.rbegin(), crc.rend())),
       head + ": CRC-32 " + crc + " does not match pcrc32="},
      {replace("size=400", "size=401"), head + ": 400 bytes decoded, =yend says size=401"},
      {replace("end=800", "end=810"), head + ": 400 bytes decoded, its =ypart range holds 410"},
      {replace("end=800", "end=1001"), head + ": =ypart begin=401 end=1001 lies past size=1000"},
      {replace("=yend size=400 part=2", "=yend size=400 part=3"), head + " closes with =yend part=3"},
      {replace(ypart, ""), head + " has no =ypart line"},
      {replace(begin + ypart, ""), "=yend without =ybegin"},
      {replace(begin, ""), "=ypart without =ybegin"},
      {replace("=yend", "klmnop\r\n=yend"), head + ": 406 bytes decoded, =yend says size=400"}};
  for (const auto& [text, error] : cases) {
    std::string file;
    TYEncPart part;
    const std::string got = Receive(text, file, part);
    EXPECT_EQ(error.empty() ? got : got.substr(0, error.size()), error) << got;
    EXPECT_TRUE(file.empty() ||
                (file.substr(0, 400) == std::string(400, '\0') && file.substr(800) == std::string(200, '\0')))
        << error;
    if (error.empty() || error.find("406") != std::string::npos) {
      EXPECT_TRUE(file.substr(400, 400) == bytes.substr(400, 400)) << error;
    }
  }
}

using YDecode = CodecTest;

// The parts of one file in any order, with article text around them, make
// the file, under its name in the input's folder; a single-part file ends the
// decoding. The encoder writes one part with lines of 128.
TEST_F(YDecode, TUUCodePutsThePartsTogetherInTheInputsFolder) {
  EXPECT_EQ(Lines(Encoded(yencode, "abc"))[0], "=ybegin line=128 size=3 name=a.bin\r");
  const std::string bytes = Random(100000, 2);
  std::vector<std::string> parts = Parts(bytes, 7000, "../../p.bin");
  std::shuffle(parts.begin(), parts.end(), std::mt19937(5));
  std::string text = "From: someone\r\n\r\n";
  for (const std::string& p : parts)
    text += "part follows\r\n" + p + "-- \r\nsignature\r\n";
  EXPECT_TRUE(Decoded(ydecode, text) == bytes);
  EXPECT_EQ(Codec.OutputFile(), Dir + "p.bin");
  text = YEncEncodePart("abc", Info("one.txt", 3)) + YEncEncodePart("defg", Info("two.txt", 4));
  EXPECT_EQ(Decoded(ydecode, text), "abc");
}

TEST_F(YDecode, AMissingOrBrokenPartFailsAndWritesNothing) {
  const std::string bytes = Random(20000, 3);
  const std::vector<std::string> parts = Parts(bytes, 6000, "p.bin");
  std::string wrongCrc = parts[0] + parts[1] + parts[2] + parts[3];
  const std::string good = "crc32=" + Hex(Crc32(0, bytes.data(), bytes.size()));
  for (std::size_t at; (at = wrongCrc.find(good)) != std::string::npos;)
    wrongCrc.replace(at, good.size(), "crc32=12345678");
  // Enough other text that the file could fit in it.
  const std::string ok = parts[0] + parts[1] + parts[3] + std::string(8000, '>') + "\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {ok, "yEnc \"p.bin\" lacks bytes 12001 to 18000 (3 parts decoded) in "},
      {ok + parts[2].substr(0, parts[2].size() - 60), "yEnc part 3 of \"p.bin\" ends without =yend in "},
      {ok + YEncEncodePart("x", Info("q.bin", 1)), "yEnc =ybegin of \"q.bin\" among the parts of \"p.bin\""},
      {wrongCrc, "yEnc \"p.bin\" fails its check: CRC-32 of the whole file does not match crc32="},
      {"=ybegin size=1000000000000000 name=p.bin\r\n=yend size=0\r\n",
       "yEnc \"p.bin\" of 1000000000000000 bytes cannot come from 56 bytes of text: parts are missing in "},
      {parts[1], "yEnc \"p.bin\" of 20000 bytes cannot come from "},
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
