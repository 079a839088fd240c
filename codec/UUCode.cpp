#include "codec/UUCode.h"

#include "codec/YEnc.h"
#include "platform/FileName.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char UUAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr char XXAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char B64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Set in a shifted value when the character ends a group (a line end, or
// padding in Base64), so four lookups tell whether a whole group is plain data.
constexpr std::uint32_t Stop = 0x80000000u;

struct TDecodeTable {
  std::uint8_t Value[256];
  std::uint32_t Shifted[4][256]; // value moved to its place in the 24 bits of a group
  bool Padding;
  bool Data[256]; // may follow "end" at the start of a data line
};

// Characters outside the alphabet take their uuencode value: malformed text
// still decodes to something rather than failing.
constexpr TDecodeTable MakeTable(const char* alphabet, bool padding) {
  TDecodeTable t{};
  t.Padding = padding;
  for (int c = 0; c < 256; ++c)
    t.Value[c] = std::uint8_t((c - 32) & 63);
  for (int i = 0; alphabet && i < 64; ++i) {
    t.Value[std::uint8_t(alphabet[i])] = std::uint8_t(i);
    t.Data[std::uint8_t(alphabet[i])] = true;
  }
  t.Data[std::uint8_t('=')] = padding;
  for (int c = 0; c < 256; ++c) {
    const bool stop = c == '\r' || c == '\n' || (padding && c == '=');
    for (int k = 0; k < 4; ++k)
      t.Shifted[k][c] = std::uint32_t(t.Value[c]) << (18 - 6 * k) | (stop ? Stop : 0);
  }
  return t;
}

constexpr TDecodeTable UUTable = MakeTable(nullptr, false);
constexpr TDecodeTable XXTable = MakeTable(XXAlphabet, false);
constexpr TDecodeTable B64Table = MakeTable(B64Alphabet, true);

// The two characters of every 12-bit half of a group, so encoding a group
// takes two lookups instead of four.
struct TPairTable {
  char Pair[4096][2];
};

constexpr TPairTable MakePairs(const char* alphabet) {
  TPairTable t{};
  for (int v = 0; v < 4096; ++v) {
    t.Pair[v][0] = alphabet[v >> 6];
    t.Pair[v][1] = alphabet[v & 63];
  }
  return t;
}

constexpr TPairTable UUPairs = MakePairs(UUAlphabet);
constexpr TPairTable XXPairs = MakePairs(XXAlphabet);
constexpr TPairTable B64Pairs = MakePairs(B64Alphabet);

const TPairTable& PairsOf(const char* alphabet) {
  return alphabet == B64Alphabet ? B64Pairs : alphabet == XXAlphabet ? XXPairs : UUPairs;
}

bool IsLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }

struct TFree {
  void operator()(char* p) const { std::free(p); }
};
using TBuffer = std::unique_ptr<char[], TFree>;

// calloc leaves large buffers to the kernel's zero pages, so only the part a
// run really writes costs memory.
TBuffer Allocate(std::size_t size, const std::string& file) {
  char* p = static_cast<char*>(std::calloc(size, 1));
  if (!p)
    throw EUUCode("Not enough memory to convert " + file);
  // Large pages spare a fault for every 4 KB of a file of many megabytes.
  constexpr std::uintptr_t Huge = 2u << 20;
  if (size >= 2 * Huge) {
    const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(p) + Huge - 1) & ~(Huge - 1);
    const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(Huge - 1);
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  }
  return TBuffer(p);
}

EInOutError IoError(const char* what, const std::string& path, int err) {
  return EInOutError(std::string(what) + " " + path + ": " + std::strerror(err));
}

std::size_t ReadInto(const std::string& path, char* buffer, std::size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw IoError("Cannot open", path, errno);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, std::min<std::size_t>(size - done, 1 << 30));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw IoError("Cannot read", path, err);
    }
    if (n == 0)
      break;
    done += std::size_t(n);
  }
  ::close(fd);
  return done;
}

// A file that could not be written whole is removed rather than left behind
// looking like a decoded file.
void WriteWhole(const std::string& path, const char* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw IoError("Cannot create", path, errno);
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode); // never remove a device
  std::size_t done = 0;
  int err = 0;
  while (done < size && err == 0) {
    const ssize_t n = ::write(fd, data + done, std::min<std::size_t>(size - done, 1 << 30));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      err = n < 0 ? errno : ENOSPC;
    else
      done += std::size_t(n);
  }
  if (::close(fd) != 0 && err == 0)
    err = errno;
  if (err != 0) {
    if (regular)
      ::unlink(path.c_str());
    throw IoError("Cannot write to", path, err);
  }
}

// A uuencode header is "begin", blanks, the mode's digits and a blank; the
// position of that blank, or npos. "begin-base64 0644 x" and "begin the
// upload" are text, which no decoder may take for a header.
std::size_t ModeEnd(std::string_view text, std::size_t at) {
  const std::size_t digits = text.find_first_not_of(" \t", at);
  if (digits == at || digits == text.npos)
    return text.npos;
  const std::size_t end = text.find_first_not_of("0123456789", digits);
  return end == digits || end == text.npos || (text[end] != ' ' && text[end] != '\t') ? text.npos : end;
}

// A name from a begin line never leaves the input's folder: "\" separates
// folders too, and an absolute name, a drive or a ".." part keeps only the
// last part. Empty when nothing usable is left.
std::string SafeName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  bool cut = !name.empty() && name[0] == '/';
  const char drive = name.empty() ? 0 : char(name[0] | 0x20);
  if (name.size() >= 2 && name[1] == ':' && drive >= 'a' && drive <= 'z') {
    name.erase(0, 2);
    cut = true;
  }
  for (std::size_t start = 0; !cut && start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    cut = name.compare(start, end - start, "..") == 0;
    start = end + 1;
  }
  const std::string last = name.substr(name.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..")
    return "";
  return cut ? last : name;
}

} // namespace

TUUCode::TUUCode() : FAbout("TUUCode 1.0") {}

void TUUCode::SetActive(bool value) {
  if (!value || FActive)
    return;
  FActive = true;
  struct TReset {
    bool& Flag;
    ~TReset() { Flag = false; }
  } reset{FActive};
  Execute();
}

void TUUCode::Progress(std::size_t done, std::size_t total) const {
  if (OnProgress)
    OnProgress(std::uint16_t(std::uint64_t(done) * 100 / total));
}

void TUUCode::Execute() {
  if (FInputFile.empty())
    throw EUUCode("InputFileName is empty");
  const bool decoding =
      FAlgorithm == uudecode || FAlgorithm == xxdecode || FAlgorithm == base64decode || FAlgorithm == ydecode;
  if (!decoding && FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");

  struct stat st {};
  const std::size_t size = ::stat(FInputFile.c_str(), &st) == 0 ? std::size_t(st.st_size) : 0;
  TBuffer in = Allocate(size + 3, FInputFile); // the last group of 3 may always be read
  const std::size_t got = ReadInto(FInputFile, in.get(), size);
  Run(in.get(), got, [this](const char* data, std::size_t length) { WriteWhole(FOutputFile, data, length); });
  if (OnProgress)
    OnProgress(100);
}

std::string TUUCode::Convert(std::string_view Input) {
  TBuffer in = Allocate(Input.size() + 3, FInputFile);
  if (!Input.empty())
    std::memcpy(in.get(), Input.data(), Input.size());
  std::string result;
  Run(in.get(), Input.size(),
      [&result](const char* data, std::size_t length) { result.assign(data, length); });
  if (OnProgress)
    OnProgress(100);
  return result;
}

void TUUCode::Run(const char* in, std::size_t size, const TDeliver& deliver) {
  if (FAlgorithm == filecopy) {
    deliver(in, size);
    return;
  }
  if (FAlgorithm == yencode) {
    Progress(0, 1);
    TYEncPartInfo info;
    info.Name = FInputFile.substr(FInputFile.rfind('/') + 1);
    info.FileSize = size;
    info.CRLF = FUnixCRLF == CRLF;
    const std::string text = YEncEncodePart(std::string_view(in, size), info);
    Progress(1, 1);
    deliver(text.data(), text.size());
    return;
  }
  const bool decoding = FAlgorithm != uuencode && FAlgorithm != xxencode && FAlgorithm != base64encode;
  const std::size_t n = size + 3;
  // The usual size leaves no room for a long header on a small input.
  const std::size_t capacity = decoding ? n : std::max(n + n / 3 + n / 15 + 32, EncodedSize(size));
  TBuffer out = Allocate(capacity, FInputFile);
  const std::size_t length = FAlgorithm == ydecode ? YDecode(in, size, out.get())
                             : decoding            ? Decode(in, size, out.get())
                                                   : Encode(in, size, out.get(), capacity);
  deliver(out.get(), length);
}

std::size_t TUUCode::EncodedSize(std::size_t size) const {
  const bool base64 = FAlgorithm == base64encode;
  const std::size_t eol = FUnixCRLF == LF ? 1 : 2;
  const std::size_t lines = size / (base64 ? 57 : 45) + 2; // and the zero-length line
  std::size_t total = (size + 2) / 3 * 4;
  total += lines * (eol + (base64 ? 0 : 1)) + eol;
  if (FHeaders)
    total += HeaderLine().size() + eol + 3;
  return total;
}

std::string TUUCode::HeaderLine() const {
  char mode[16];
  std::snprintf(mode, sizeof mode, "%.4d", int(FFileMode));
  std::string line = FAlgorithm == base64encode ? "begin-base64 " : "begin ";
  line += mode;
  line += ' ';
  line += FInputFile.substr(FInputFile.rfind('/') + 1);
  if (line.size() > 255)
    line.resize(255);
  return line;
}

std::size_t TUUCode::Encode(const char* in, std::size_t size, char* out, std::size_t capacity) const {
  const bool base64 = FAlgorithm == base64encode;
  const char* a = base64 ? B64Alphabet : FAlgorithm == xxencode ? XXAlphabet : UUAlphabet;
  const std::size_t lineBytes = base64 ? 57 : 45;
  const std::string_view eol = FUnixCRLF == LF ? "\n" : "\r\n";
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  char* o = out;
  auto put = [&o](std::string_view s) {
    std::memcpy(o, s.data(), s.size());
    o += s.size();
  };
  // The input buffer holds three zero bytes past the data, so a short last
  // group reads zeros.
  const TPairTable& pairs = PairsOf(a);
  auto groups = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; i += 3) {
      const unsigned bits = unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8 | p[i + 2];
      std::memcpy(o, pairs.Pair[bits >> 12], 2);
      std::memcpy(o + 2, pairs.Pair[bits & 0xFFF], 2);
      o += 4;
    }
  };

  // The handler may change the properties; the buffer was sized for these.
  const bool headers = FHeaders;
  const std::string header = headers ? HeaderLine() : std::string();
  Progress(0, capacity);
  if (headers) {
    put(header);
    put(eol);
  }
  std::size_t i = 0;
  for (; size - i >= lineBytes; i += lineBytes) {
    if (!base64)
      *o++ = a[lineBytes];
    groups(i, i + lineBytes);
    put(eol);
    Progress(std::size_t(o - out), capacity);
  }
  // The last line keeps whole groups of four, as every other decoder expects:
  // the zero bytes past the input give the uuencode and XXencode padding
  // characters, Base64 pads with "=".
  const std::size_t rest = size - i;
  if (!base64)
    *o++ = a[rest];
  groups(i, size);
  if (base64 && rest % 3 != 0)
    std::memset(o - (3 - rest % 3), '=', 3 - rest % 3);
  put(eol);
  // A line of no bytes closes uuencode and XXencode data.
  if (!base64 && rest > 0) {
    *o++ = a[0];
    put(eol);
  }
  if (headers)
    put("end");
  put(eol);
  Progress(std::size_t(o - out), capacity);
  return std::size_t(o - out);
}

// The name from a begin line, in the input's folder.
std::string TUUCode::OutputFileFrom(std::string name) const {
  std::erase_if(name, [](char c) { return c == '\r' || c == '"' || c == '\0'; });
  name = SafeName(name);
  if (FFlatNames)
    name.erase(0, name.rfind('/') + 1);
  if (name.empty())
    throw EUUCode("OutputFileName is empty");
  // A name longer than the folder takes is shortened rather than refused.
  const std::string folder = FInputFile.substr(0, FInputFile.rfind('/') + 1);
  const std::size_t last = name.rfind('/') + 1;
  return folder + name.substr(0, last) + FitName(std::string_view(name).substr(last), NameMax(folder));
}

std::size_t TUUCode::ReadHeader(const char* in, std::size_t size) {
  const std::string_view text(in, size);
  const bool base64 = FAlgorithm == base64decode;
  const std::string_view begin = base64 ? "begin-base64" : "begin";
  std::size_t match = text.find(begin), blank = text.npos;
  if (base64) {
    // One character at least, then the mode up to the blank; the mode is not read.
    if (match != text.npos)
      blank = text.find(' ', match + begin.size() + 1);
  } else {
    for (; match != text.npos; match = text.find(begin, match + 1))
      if ((blank = ModeEnd(text, match + begin.size())) != text.npos)
        break;
  }
  if (match == text.npos)
    throw EUUCode("No begin line in " + FInputFile);
  const std::size_t lineEnd = blank == text.npos ? blank : text.find('\n', blank);
  if (lineEnd == text.npos)
    throw EUUCode("Unfinished begin line in " + FInputFile);

  FOutputFile = OutputFileFrom(std::string(text.substr(blank + 1, lineEnd - blank - 1)));

  std::size_t pos = lineEnd;
  while (pos < size && IsLineEnd(static_cast<unsigned char>(in[pos])))
    ++pos;
  return pos;
}

std::size_t TUUCode::Decode(const char* in, std::size_t size, char* out) {
  const TDecodeTable& t = FAlgorithm == base64decode ? B64Table : FAlgorithm == xxdecode ? XXTable : UUTable;
  const bool counted = !t.Padding; // uuencode and XXencode lines start with their byte count
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  const std::size_t total = size + 3;
  std::size_t pos = 0;
  char* o = out;

  // A group of up to 4 characters, ended early by a line end, padding or the
  // end of the data; k characters give k - 1 bytes, at most limit.
  auto shortGroup = [&](std::size_t limit) {
    std::uint32_t bits = 0;
    int k = 0;
    for (; k < 4 && pos < size && (t.Shifted[k][p[pos]] & Stop) == 0; ++k)
      bits |= t.Shifted[k][p[pos++]];
    const std::size_t bytes = std::min<std::size_t>(k > 0 ? k - 1 : 0, limit);
    for (std::size_t b = 0; b < bytes; ++b)
      *o++ = char(bits >> (16 - 8 * b));
    if (t.Padding)
      while (pos < size && p[pos] == '=')
        ++pos;
    return bytes;
  };

  Progress(0, total);
  if (FHeaders)
    pos = ReadHeader(in, size);
  if (FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");
  while (pos < size && IsLineEnd(p[pos]))
    ++pos;

  while (pos < size) {
    // Random Base64 data starts a line with "end" every 2^18 lines; such a
    // line goes on with data, the trailer does not. A uuencode line never
    // holds lowercase letters.
    if (size - pos >= 3 && p[pos] == 'e' && p[pos + 1] == 'n' && p[pos + 2] == 'd' &&
        (size - pos == 3 || !t.Data[p[pos + 3]]))
      break;
    Progress(std::size_t(o - out), total);
    std::size_t want = counted ? t.Value[p[pos++]] : SIZE_MAX;
    for (;;) {
      while (want >= 3 && size - pos >= 4) {
        const std::uint32_t bits = t.Shifted[0][p[pos]] | t.Shifted[1][p[pos + 1]] |
                                   t.Shifted[2][p[pos + 2]] | t.Shifted[3][p[pos + 3]];
        if (bits & Stop)
          break;
        o[0] = char(bits >> 16);
        o[1] = char(bits >> 8);
        o[2] = char(bits);
        o += 3;
        pos += 4;
        want -= 3;
      }
      if (want == 0 || pos >= size || IsLineEnd(p[pos]))
        break;
      want -= shortGroup(want);
    }
    // Whatever follows the counted bytes (padding, a checksum) gives nothing.
    while (pos < size && !IsLineEnd(p[pos]))
      ++pos;
    while (pos < size && IsLineEnd(p[pos]))
      ++pos;
  }
  Progress(std::size_t(o - out), total);
  return std::size_t(o - out);
}

// The parts of one yEnc file, in any order and with any text around them, are
// put together in out (size + 3 bytes: a part decodes to fewer bytes than its
// text, so a sound file fits). The caller writes out only when this returns,
// that is when every part has passed its check and every byte is there.
std::size_t TUUCode::YDecode(const char* in, std::size_t size, char* out) {
  const std::size_t total = size + 3;
  auto fail = [this](const std::string& why) { throw EUUCode("yEnc " + why + " in " + FInputFile); };
  Progress(0, total);
  if (!FHeaders && FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");

  TYEncPart part;
  bool started = false;
  std::string name;
  std::uint64_t fileSize = 0, decoded = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> received; // byte ranges of sound parts
  std::optional<std::uint32_t> fileCrc;
  std::vector<char> spare; // for a line that may run past its part's range
  for (std::size_t pos = 0; pos < size;) {
    const void* lf = std::memchr(in + pos, '\n', size - pos);
    const std::size_t end = lf ? std::size_t(static_cast<const char*>(lf) - in) : size;
    const std::string_view line(in + pos, end - pos);
    pos = end + 1;
    std::string error;
    switch (YEncKeyword(line)) {
    case ykBegin:
      if (part.Open())
        fail(part.Describe() + " ends without =yend");
      error = part.Begin(line);
      if (!error.empty())
        break;
      if (!started) {
        started = true;
        name = part.Header().Name;
        fileSize = part.FileSize();
        if (fileSize > size)
          fail("\"" + name + "\" of " + std::to_string(fileSize) + " bytes cannot come from " +
               std::to_string(size) + " bytes of text: parts are missing");
        if (FHeaders)
          FOutputFile = OutputFileFrom(name);
      } else if (part.Header().Name != name || part.FileSize() != fileSize) {
        error = "=ybegin of \"" + part.Header().Name + "\" among the parts of \"" + name + "\"";
      }
      break;
    case ykPart:
      error = part.Part(line);
      break;
    case ykEnd:
      error = part.End(line);
      if (error.empty()) {
        received.emplace_back(part.Offset(), part.RangeEnd());
        fileCrc = part.CrcOfFile() ? part.CrcOfFile() : fileCrc;
        if (!part.MultiPart())
          pos = size; // a whole file: what follows is not ours
      }
      break;
    case ykNone:
      if (!part.Open())
        break;
      // Straight into place, unless the line could reach past its part.
      const std::uint64_t at = part.Position();
      std::size_t n = 0;
      if (part.Placed() && at + line.size() <= part.RangeEnd()) {
        n = part.Decode(line.data(), line.size(), out + at);
      } else {
        spare.resize(std::max(spare.size(), line.size()));
        n = part.Decode(line.data(), line.size(), spare.data());
        if (n > 0) // an empty line leaves spare without a buffer
          std::memcpy(out + at, spare.data(), n);
      }
      decoded += n;
      Progress(decoded, total);
      break;
    }
    if (!error.empty())
      fail(error);
  }
  if (!started)
    throw EUUCode("No =ybegin line in " + FInputFile);
  if (part.Open())
    fail(part.Describe() + " ends without =yend");

  std::sort(received.begin(), received.end());
  std::uint64_t whole = 0; // bytes from the start that have arrived
  for (const auto& [from, to] : received) {
    if (from > whole)
      break;
    whole = std::max(whole, to);
  }
  if (whole < fileSize) {
    std::uint64_t next = fileSize;
    for (const auto& range : received)
      if (range.first > whole)
        next = std::min(next, range.first);
    fail("\"" + name + "\" lacks bytes " + std::to_string(whole + 1) + " to " + std::to_string(next) + " (" +
         std::to_string(received.size()) + " parts decoded)");
  }
  if (fileCrc && part.MultiPart()) {
    const std::uint32_t crc = Crc32(0, out, fileSize);
    if (crc != *fileCrc)
      fail("\"" + name + "\" fails its check: CRC-32 of the whole file does not match crc32=");
  }
  Progress(decoded, total);
  return fileSize;
}
