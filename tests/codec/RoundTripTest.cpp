#include "CodecFixture.h"

#include <cstdio>

using RoundTrip = CodecTest;

namespace {

struct TFormat {
  TAlgorithm Encoder, Decoder;
};
const TFormat Formats[] = {{uuencode, uudecode}, {xxencode, xxdecode}, {base64encode, base64decode}};

std::vector<std::size_t> Sizes() {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 200; ++n)
    sizes.push_back(n);
  for (std::size_t n : {4095u, 65536u, 1000003u})
    sizes.push_back(n);
  return sizes;
}

} // namespace

TEST_F(RoundTrip, EveryFormatWithAndWithoutHeadersAndBothLineEnds) {
  for (const TFormat& f : Formats)
    for (const bool headers : {true, false})
      for (const TUnixCRLF lineEnd : {CRLF, LF})
        for (const std::size_t size : Sizes()) {
          const std::string bytes = Random(size, unsigned(size));
          Put("a.bin", bytes);
          Run(f.Encoder, "a.bin", "a.txt", headers, lineEnd);
          std::remove((Dir + "a.bin").c_str());
          Run(f.Decoder, "a.txt", "b.bin", headers, lineEnd);
          const std::string back = Get(headers ? "a.bin" : "b.bin");
          ASSERT_TRUE(back == bytes) << "algorithm " << int(f.Encoder) << " headers " << headers
                                     << " line end " << int(lineEnd) << " size " << size;
        }
}

TEST_F(RoundTrip, ALineThatHappensToStartWithEndIsNotTheTrailer) {
  std::string bytes = Random(3 * 57, 5);
  bytes.replace(57, 3, "zwP"); // the second line reads "endQ..."
  for (const bool headers : {true, false}) {
    Put("a.bin", bytes);
    Run(base64encode, "a.bin", "a.txt", headers);
    ASSERT_NE(Get("a.txt").find("\r\nendQ"), std::string::npos);
    Run(base64decode, "a.txt", "b.bin", headers);
    EXPECT_TRUE(Get(headers ? "a.bin" : "b.bin") == bytes) << "headers " << headers;
  }
}

TEST_F(RoundTrip, FileCopyKeepsEveryByte) {
  const std::string bytes = Random(70000, 1) + std::string(3, '\0');
  Put("a.bin", bytes);
  Run(filecopy, "a.bin", "b.bin");
  EXPECT_TRUE(Get("b.bin") == bytes);
}

// Files written and read by the usual command-line tools. Outside CI a
// missing tool skips the test; in CI it fails, so the check is never lost.
class Interop : public CodecTest {
protected:
  bool Have(const char* tool) {
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0)
      return true;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
      ADD_FAILURE() << tool << " is not installed";
    return false;
  }
  int Shell(const std::string& command) { return std::system(("cd '" + Dir + "' && " + command).c_str()); }

  const std::vector<std::size_t> Sizes = {0, 1, 2, 3, 44, 45, 46, 56, 57, 58, 90, 100, 1000, 65537};
};

TEST_F(Interop, DecodesWhatSharutilsAndCoreutilsWrite) {
  if (!Have("uuencode") || !Have("base64"))
    GTEST_SKIP() << "uuencode (sharutils) or base64 (coreutils) not installed";
  for (const std::size_t size : Sizes) {
    const std::string bytes = Random(size, unsigned(size) + 7);
    Put("a.bin", bytes);
    ASSERT_EQ(Shell("uuencode a.bin got.bin > a.uue && uuencode -m a.bin got64.bin > a.b64 && "
                    "{ echo 'begin-base64 644 core.bin'; base64 a.bin; echo '===='; } > c.b64"),
              0);
    Run(uudecode, "a.uue", "");
    EXPECT_TRUE(Get("got.bin") == bytes) << "uuencode, size " << size;
    Run(base64decode, "a.b64", "");
    EXPECT_TRUE(Get("got64.bin") == bytes) << "uuencode -m, size " << size;
    Run(base64decode, "c.b64", "");
    EXPECT_TRUE(Get("core.bin") == bytes) << "base64, size " << size;
  }
}

TEST_F(Interop, SharutilsAndCoreutilsReadWhatWeWrite) {
  if (!Have("uudecode") || !Have("base64"))
    GTEST_SKIP() << "uudecode (sharutils) or base64 (coreutils) not installed";
  for (const std::size_t size : Sizes) {
    const std::string bytes = Random(size, unsigned(size) + 11);
    Put("a.bin", bytes);
    Run(uuencode, "a.bin", "a.uue", true, LF);
    Run(base64encode, "a.bin", "a.b64", false, LF);
    // After a short last line we write no backquote line, which uudecode
    // needs; with it added, our data lines must read as they are.
    std::string text = Get("a.uue");
    if (size % 45 != 0)
      Put("a.uue", text.insert(text.size() - 4, "`\n"));
    ASSERT_EQ(Shell("uudecode -o u.bin a.uue"), 0) << "size " << size;
    EXPECT_TRUE(Get("u.bin") == bytes) << "uudecode, size " << size;
    // We write no padding, which base64 -d reports after decoding what is there.
    const int status = Shell("base64 -d a.b64 > b.bin 2>/dev/null");
    EXPECT_TRUE(Get("b.bin") == bytes) << "base64 -d, size " << size;
    if (size % 3 == 0) {
      EXPECT_EQ(status, 0) << "size " << size;
    }
  }
}
