#include "CodecFixture.h"

#include <cstdio>

using RoundTrip = CodecTest;

namespace {

struct TFormat {
  TAlgorithm Encoder, Decoder;
};
const TFormat Formats[] = {
    {uuencode, uudecode}, {xxencode, xxdecode}, {base64encode, base64decode}, {yencode, ydecode}};

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
  std::vector<std::size_t> sizes = Sizes();
  sizes.push_back(3000017); // larger than every buffer of a run
  for (const TFormat& f : Formats)
    for (const bool headers : {true, false})
      for (const TUnixCRLF lineEnd : {CRLF, LF})
        for (const std::size_t size : sizes) {
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
  // Whether a shell check passes, such as "command -v uuencode".
  bool Have(const std::string& check) {
    if (std::system((check + " >/dev/null 2>&1").c_str()) == 0)
      return true;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true")
      ADD_FAILURE() << "not installed: " << check;
    return false;
  }
  int Shell(const std::string& command) { return std::system(("cd '" + Dir + "' && " + command).c_str()); }

  const std::vector<std::size_t> Sizes = {0, 1, 2, 3, 44, 45, 46, 56, 57, 58, 90, 100, 1000, 65537};
};

TEST_F(Interop, DecodesWhatSharutilsAndCoreutilsWrite) {
  if (!Have("command -v uuencode") || !Have("command -v base64"))
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

// Every size from 0 to 200 meets each way a last line can end; the large ones
// cross many lines. All files are written first, then each tool reads them
// all in one run.
TEST_F(Interop, SharutilsCoreutilsAndPythonReadWhatWeWrite) {
  if (!Have("command -v uudecode") || !Have("command -v base64") ||
      !Have("/usr/bin/python3 -c 'import yenc'"))
    GTEST_SKIP() << "uudecode (sharutils), base64 (coreutils) or python3-yenc not installed";
  std::string list;
  for (const std::size_t size : ::Sizes()) {
    const std::string n = std::to_string(size);
    Put(n + ".bin", Random(size, unsigned(size) + 11));
    Run(uuencode, n + ".bin", n + ".uue", true, LF);
    Run(base64encode, n + ".bin", n + ".b64", false, LF);
    Run(base64encode, n + ".bin", n + ".hb64", true, CRLF);
    Run(yencode, n + ".bin", n + ".ync");
    list += n + " ";
  }
  // sharutils writes the file its begin line names; base64 -d reads bare data lines.
  const int tools = Shell("for n in " + list +
                          "; do mv $n.bin $n.orig && uudecode $n.uue && cmp -s $n.bin $n.orig && "
                          "base64 -d $n.b64 > $n.dec && cmp -s $n.dec $n.orig || "
                          "{ echo \"size $n\"; exit 1; }; done");
  EXPECT_EQ(tools, 0) << "sharutils uudecode or coreutils base64 -d refused our text";

  // Python's binascii decodes line by line and insists on whole padded groups;
  // the uuencode data must close with a line of no bytes before "end". Its
  // yenc module (Debian python3-yenc) checks our CRC against its own, and
  // writes the parts of the largest file, last part first, for us to read.
  Put("check.py", R"(import binascii, sys, yenc, zlib
def body(name, head):
    lines = [l.rstrip(b"\r") for l in open(name, "rb").read().split(b"\n")]
    assert lines[0].startswith(head) and lines[-2:] == [b"end", b""], name
    return lines[1:-2]
for n in sys.argv[1:]:
    orig = open(n + ".orig", "rb").read()
    uu = body(n + ".uue", b"begin 0644 ")
    assert uu[-1] == b"`" and b"".join(map(binascii.a2b_uu, uu)) == orig, n + ".uue"
    b64 = b"".join(binascii.a2b_base64(l, strict_mode=True) for l in body(n + ".hb64", b"begin-base64 0644 ") if l)
    assert b64 == orig, n + ".hb64"
    assert binascii.a2b_base64(open(n + ".b64", "rb").read().replace(b"\n", b""), strict_mode=True) == orig, n
    y, d = open(n + ".ync", "rb").read().split(b"\r\n"), yenc.Decoder()
    for line in y[1:-2]:
        d.feed(line)
    assert y[0].startswith(b"=ybegin ") and d.getDecoded() == orig, n + ".ync"
    assert y[-2].startswith(b"=yend ") and y[-2].endswith(b"crc32=" + d.getCrc32().encode()), y[-2]
out = open("py.ync", "wb")
for n, at in reversed(list(enumerate(range(0, len(orig), 400000)))):
    e = yenc.Encoder()
    e.feed(orig[at:at + 400000])
    e.terminate()
    out.write(b"=ybegin part=%d total=3 line=128 size=%d name=py.bin\r\n" % (n + 1, len(orig)))
    out.write(b"=ypart begin=%d end=%d\r\n" % (at + 1, min(at + 400000, len(orig))) + e.getEncoded())
    out.write(b"=yend size=%d part=%d pcrc32=%s crc32=%08x\r\n" % (len(orig[at:at + 400000]), n + 1, e.getCrc32().encode(), zlib.crc32(orig)))
)");
  ASSERT_EQ(Shell("/usr/bin/python3 check.py " + list), 0) << "Python refused our text";
  Run(ydecode, "py.ync", "");
  EXPECT_TRUE(Get("py.bin") == Get("1000003.orig"));
}
