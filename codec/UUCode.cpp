#include "codec/UUCode.h"

#include "codec/TextDecoder.h"
#include "codec/YEnc.h"
#include "platform/FileName.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char UUAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr char XXAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char B64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What a run reads and writes at a time: memory stays the same whatever
// the size of the files.
constexpr std::size_t Piece = 1u << 20;

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

EInOutError IoError(const char* what, const std::string& path, int err) {
  return EInOutError(std::string(what) + " " + path + ": " + std::strerror(err));
}

} // namespace

// Where a run's text comes from, a piece at a time: a file, or memory.
class TUUCode::TInput {
public:
  // The whole file, or all of the memory, from the start.
  explicit TInput(std::string_view Memory) : FMemory(Memory), FSize(Memory.size()) {}
  explicit TInput(const std::string& Path) : FPath(Path), FFd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (FFd < 0 || ::fstat(FFd, &st) != 0)
      throw IoError("Cannot open", Path, errno);
    FSize = std::size_t(st.st_size);
    FBufferSize = std::clamp<std::size_t>(FSize, 1, Piece);
    FBuffer = std::make_unique_for_overwrite<char[]>(FBufferSize);
  }
  ~TInput() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TInput(const TInput&) = delete;
  TInput& operator=(const TInput&) = delete;

  std::size_t Size() const { return FSize; }
  // The next piece; empty at the end.
  std::string_view Next() {
    if (FFd < 0) {
      const std::string_view piece = FMemory.substr(0, Piece);
      FMemory.remove_prefix(piece.size());
      return piece;
    }
    for (;;) {
      const ssize_t n = ::read(FFd, FBuffer.get(), FBufferSize);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        throw IoError("Cannot read", FPath, errno);
      return std::string_view(FBuffer.get(), std::size_t(n));
    }
  }

private:
  std::string_view FMemory;
  std::string FPath;
  int FFd = -1;
  std::size_t FSize = 0;
  std::unique_ptr<char[]> FBuffer;
  std::size_t FBufferSize = 0;
};

// Where a run's output goes: a file or a string. The file is written under
// a temporary name in its folder and takes its own name only once the run
// has succeeded, so a failed run leaves a file of that name as it was and
// nothing half-written behind. Written at any offset, for yEnc parts.
class TUUCode::TOutput {
public:
  // To a string.
  TOutput() = default;
  // To the file Path names once the first byte is written (a decoder learns
  // it from the header).
  explicit TOutput(const std::string& Path) : FPath(&Path) {}
  ~TOutput() {
    if (FFd >= 0) {
      ::close(FFd);
      if (!FTemp.empty())
        ::unlink(FTemp.c_str());
    }
  }
  TOutput(const TOutput&) = delete;
  TOutput& operator=(const TOutput&) = delete;

  void Write(const char* Data, std::size_t Size) { WriteAt(FEnd, Data, Size); }
  void WriteAt(std::uint64_t At, const char* Data, std::size_t Size) {
    FEnd = std::max<std::uint64_t>(FEnd, At + Size);
    if (!FPath) {
      if (FText.size() < FEnd)
        FText.resize(std::size_t(FEnd));
      std::memcpy(FText.data() + At, Data, Size);
      return;
    }
    Open();
    for (std::size_t done = 0; done < Size;) {
      const ssize_t n = ::pwrite(FFd, Data + done, Size - done, off_t(At + done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        throw IoError("Cannot write to", *FPath, n < 0 ? errno : ENOSPC);
      done += std::size_t(n);
    }
  }
  // Reads back what was written; fewer bytes at the end.
  std::size_t ReadAt(std::uint64_t At, char* Data, std::size_t Size) {
    if (!FPath) {
      const std::size_t n = At < FText.size() ? std::min(Size, FText.size() - std::size_t(At)) : 0;
      std::memcpy(Data, FText.data() + At, n);
      return n;
    }
    Open();
    const ssize_t n = ::pread(FFd, Data, Size, off_t(At));
    if (n < 0)
      throw IoError("Cannot read", *FPath, errno);
    return std::size_t(n);
  }
  // The run succeeded: the file takes its name (an empty output makes an
  // empty file).
  void Commit() {
    if (!FPath)
      return;
    Open();
    const int fd = std::exchange(FFd, -1);
    if (::close(fd) != 0) {
      const int err = errno;
      ::unlink(FTemp.c_str());
      throw IoError("Cannot write to", *FPath, err);
    }
    if (!FTemp.empty() && ::rename(FTemp.c_str(), FPath->c_str()) != 0) {
      const int err = errno;
      ::unlink(FTemp.c_str());
      throw IoError("Cannot create", *FPath, err);
    }
  }
  std::string& Text() { return FText; }

private:
  // Something other than a file at the path (a device) is written to as it
  // is and never replaced.
  void Open() {
    if (FFd >= 0)
      return;
    struct stat st {};
    if (::stat(FPath->c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      FFd = ::open(FPath->c_str(), O_RDWR | O_CLOEXEC);
    } else {
      const std::string folder = FPath->substr(0, FPath->rfind('/') + 1);
      for (int k = 0; FFd < 0 && k < 100; ++k) {
        FTemp = folder + ".uucode-" + std::to_string(::getpid()) + "-" + std::to_string(k);
        FFd = ::open(FTemp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (FFd < 0 && errno != EEXIST)
          break;
      }
    }
    if (FFd < 0) {
      FTemp.clear();
      throw IoError("Cannot create", *FPath, errno);
    }
  }

  const std::string* FPath = nullptr;
  std::string FTemp;
  int FFd = -1;
  std::uint64_t FEnd = 0;
  std::string FText;
};

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

void TUUCode::Progress(std::uint64_t done, std::uint64_t total) const {
  if (OnProgress)
    OnProgress(std::uint16_t(done * 100 / total));
}

void TUUCode::Execute() {
  if (FInputFile.empty())
    throw EUUCode("InputFileName is empty");
  const bool decoding =
      FAlgorithm == uudecode || FAlgorithm == xxdecode || FAlgorithm == base64decode || FAlgorithm == ydecode;
  if (!decoding && FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");

  TInput in(FInputFile);
  TOutput out(FOutputFile);
  Run(in, out);
  out.Commit();
  if (OnProgress)
    OnProgress(100);
}

std::string TUUCode::Convert(std::string_view Input) {
  TInput in(Input);
  TOutput out;
  Run(in, out);
  if (OnProgress)
    OnProgress(100);
  return std::move(out.Text());
}

void TUUCode::Run(TInput& in, TOutput& out) {
  switch (FAlgorithm) {
  case filecopy:
    for (std::string_view piece; !(piece = in.Next()).empty();)
      out.Write(piece.data(), piece.size());
    break;
  case uuencode:
  case xxencode:
  case base64encode:
    Encode(in, out);
    break;
  case uudecode:
  case xxdecode:
  case base64decode:
    Decode(in, out);
    break;
  case ydecode:
    YDecode(in, out);
    break;
  case yencode:
    YEncode(in, out);
    break;
  }
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

// Reads whole lines' worth of input at a time and writes the text in pieces.
void TUUCode::Encode(TInput& in, TOutput& out) const {
  const bool base64 = FAlgorithm == base64encode;
  const char* a = base64 ? B64Alphabet : FAlgorithm == xxencode ? XXAlphabet : UUAlphabet;
  const TPairTable& pairs = base64 ? B64Pairs : FAlgorithm == xxencode ? XXPairs : UUPairs;
  const std::size_t lineBytes = base64 ? 57 : 45;
  const std::string_view eol = FUnixCRLF == LF ? "\n" : "\r\n";
  // The percent is of the size the text would take in one buffer.
  const std::size_t n = in.Size() + 3;
  const std::uint64_t capacity = std::max(n + n / 3 + n / 15 + 32, EncodedSize(in.Size()));

  // Three zero bytes past the input, so a short last group reads zeros.
  const std::size_t held = std::min(lineBytes * 16384, in.Size() + lineBytes);
  const auto input = std::make_unique_for_overwrite<unsigned char[]>(held + 3);
  std::size_t filled = 0;
  // A piece of text at a time, or the whole text when it is shorter; the
  // margin takes a header line, or the last lines after the last flush.
  const std::size_t room = std::min<std::uint64_t>(Piece, EncodedSize(in.Size())) + 512;
  const auto text = std::make_unique_for_overwrite<char[]>(room);
  char* o = text.get();
  std::uint64_t written = 0;
  auto flush = [&] {
    out.Write(text.get(), std::size_t(o - text.get()));
    written += std::size_t(o - text.get());
    o = text.get();
  };
  auto put = [&o](std::string_view s) {
    std::memcpy(o, s.data(), s.size());
    o += s.size();
  };
  auto groups = [&](const unsigned char* p, std::size_t count) {
    for (std::size_t i = 0; i < count; i += 3) {
      const unsigned bits = unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8 | p[i + 2];
      std::memcpy(o, pairs.Pair[bits >> 12], 2);
      std::memcpy(o + 2, pairs.Pair[bits & 0xFFF], 2);
      o += 4;
    }
  };
  auto done = [&] { return written + std::uint64_t(o - text.get()); };
  // Every full line of the input held, the rest moved to the front.
  auto lines = [&] {
    std::size_t i = 0;
    for (; filled - i >= lineBytes; i += lineBytes) {
      if (std::size_t(text.get() + room - o) < 128)
        flush();
      if (!base64)
        *o++ = a[lineBytes];
      groups(input.get() + i, lineBytes);
      put(eol);
      Progress(done(), capacity);
    }
    std::memmove(input.get(), input.get() + i, filled - i);
    filled -= i;
  };

  // The handler may change the properties; the run goes on with these.
  const bool headers = FHeaders;
  const std::string header = headers ? HeaderLine() : std::string();
  Progress(0, capacity);
  if (headers) {
    put(header);
    put(eol);
  }
  for (std::string_view piece; !(piece = in.Next()).empty();)
    while (!piece.empty()) {
      const std::size_t take = std::min(piece.size(), held - filled);
      std::memcpy(input.get() + filled, piece.data(), take);
      filled += take;
      piece.remove_prefix(take);
      lines();
    }
  flush();
  // The last line keeps whole groups of four, as every other decoder
  // expects: the zero bytes past the input give the uuencode and XXencode
  // padding characters, Base64 pads with "=".
  std::memset(input.get() + filled, 0, 3);
  const std::size_t rest = filled;
  if (!base64)
    *o++ = a[rest];
  groups(input.get(), rest);
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
  Progress(done(), capacity);
  flush();
}

// The name from a begin line, in the input's folder.
std::string TUUCode::OutputFileFrom(std::string name) const {
  std::erase_if(name, [](char c) { return c == '\r' || c == '"' || c == '\0'; });
  name = SafeFileName(name);
  if (FFlatNames)
    name.erase(0, name.rfind('/') + 1);
  if (name.empty())
    throw EUUCode("OutputFileName is empty");
  // A name longer than the folder takes is shortened rather than refused.
  const std::string folder = FInputFile.substr(0, FInputFile.rfind('/') + 1);
  const std::size_t last = name.rfind('/') + 1;
  return folder + name.substr(0, last) + FitName(std::string_view(name).substr(last), NameMax(folder));
}

void TUUCode::Decode(TInput& in, TOutput& out) {
  TTextDecoder decoder(FAlgorithm, FHeaders, FInputFile);
  const std::uint64_t total = std::uint64_t(in.Size()) + 3;
  // OutputFile follows the begin line as soon as it is read.
  bool named = !FHeaders;
  auto name = [&] {
    if (!named && decoder.HeaderRead()) {
      FOutputFile = OutputFileFrom(decoder.Name());
      named = true;
    }
  };
  decoder.OnLine = [&] { Progress(decoder.Decoded(), total); };
  decoder.OnOutput = [&](const char* data, std::size_t size) {
    name();
    out.Write(data, size);
  };

  Progress(0, total);
  if (!FHeaders && FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");
  for (std::string_view piece; decoder.Failure().empty() && !(piece = in.Next()).empty();) {
    decoder.Feed(piece);
    name();
  }
  decoder.Finish();
  if (!decoder.Failure().empty())
    throw EUUCode(decoder.Failure());
  name();
  Progress(decoder.Decoded(), total);
}

// The yEnc encoder takes the file in one piece: it is for tests and tools,
// never for what comes from the network.
void TUUCode::YEncode(TInput& in, TOutput& out) const {
  std::string data;
  for (std::string_view piece; !(piece = in.Next()).empty();)
    data.append(piece);
  Progress(0, 1);
  TYEncPartInfo info;
  info.Name = FInputFile.substr(FInputFile.rfind('/') + 1);
  info.FileSize = data.size();
  info.CRLF = FUnixCRLF == CRLF;
  const std::string text = YEncEncodePart(data, info);
  Progress(1, 1);
  out.Write(text.data(), text.size());
}

// The parts of one yEnc file, in any order and with any text around them,
// are put together in the output file, each at its offset. The file takes
// its name only when this returns, that is when every part has passed its
// check and every byte is there.
void TUUCode::YDecode(TInput& in, TOutput& out) {
  // Lines are read whole up to this length; a longer one is taken in pieces,
  // only its first looked at for a keyword.
  constexpr std::size_t LineMax = 64u << 10;
  // Beyond this many separate runs of bytes the parts make no file.
  constexpr std::size_t MaxRuns = 1u << 16;
  const std::uint64_t size = in.Size(), total = size + 3;
  auto fail = [this](const std::string& why) { throw EUUCode("yEnc " + why + " in " + FInputFile); };
  Progress(0, total);
  if (!FHeaders && FOutputFile.empty())
    throw EUUCode("OutputFileName is empty");

  TYEncPart part;
  bool started = false, whole = false;
  std::string name;
  std::uint64_t fileSize = 0, decoded = 0, parts = 0;
  std::map<std::uint64_t, std::uint64_t> received; // the sound parts' bytes, as runs [from, to)
  std::optional<std::uint32_t> fileCrc;

  // Decoded bytes for the offsets [at, at + fill): a piece's worth, or the
  // text's when it is shorter, as a line never decodes to more bytes than
  // it has.
  std::size_t room = std::clamp<std::uint64_t>(size, 1, Piece);
  auto buffer = std::make_unique_for_overwrite<char[]>(room);
  std::uint64_t at = 0;
  std::size_t fill = 0;
  auto flush = [&] {
    out.WriteAt(at, buffer.get(), fill);
    at += fill;
    fill = 0;
  };
  auto data = [&](std::string_view text) {
    if (!part.Open())
      return;
    const std::uint64_t to = part.Position();
    if (fill > 0 && (at + fill != to || room - fill < text.size()))
      flush();
    // A file that grew while it was read has longer lines than its size.
    if (room < text.size()) {
      room = text.size();
      buffer = std::make_unique_for_overwrite<char[]>(room);
    }
    if (fill == 0)
      at = to;
    const std::size_t n = part.Decode(text.data(), text.size(), buffer.get() + fill);
    fill += n;
    decoded += n;
    Progress(decoded, total);
  };
  auto receive = [&](std::uint64_t from, std::uint64_t to) {
    auto it = received.upper_bound(from);
    if (it != received.begin() && std::prev(it)->second >= from) {
      --it;
      from = it->first;
      to = std::max(to, it->second);
      it = received.erase(it);
    }
    for (; it != received.end() && it->first <= to; it = received.erase(it))
      to = std::max(to, it->second);
    received[from] = to;
    if (received.size() > MaxRuns)
      fail("\"" + name + "\" comes in more than " + std::to_string(MaxRuns) + " separate pieces");
  };
  // A whole line, or the first piece of a long one; true when it is data.
  auto line = [&](std::string_view text) {
    std::string error;
    switch (YEncKeyword(text)) {
    case ykBegin:
      if (part.Open())
        fail(part.Describe() + " ends without =yend");
      error = part.Begin(text);
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
      error = part.Part(text);
      break;
    case ykEnd:
      error = part.End(text);
      if (error.empty()) {
        ++parts;
        receive(part.Offset(), part.RangeEnd());
        fileCrc = part.CrcOfFile() ? part.CrcOfFile() : fileCrc;
        whole = !part.MultiPart(); // a whole file: what follows is not ours
      }
      break;
    case ykNone:
      data(text);
      return true;
    }
    if (!error.empty())
      fail(error);
    return false;
  };

  std::string held;         // a line not ended yet
  bool passing = false;     // in the rest of a line longer than LineMax
  bool passingData = false; // which is data
  for (std::string_view piece; !whole && !(piece = in.Next()).empty();)
    while (!piece.empty() && !whole) {
      const std::size_t lf = piece.find('\n');
      const bool ends = lf != std::string_view::npos;
      const std::string_view text = piece.substr(0, lf);
      piece.remove_prefix(ends ? lf + 1 : piece.size());
      if (passing) {
        if (passingData)
          data(text);
      } else if (held.empty() && ends) {
        line(text);
      } else if (held.size() + text.size() <= LineMax) {
        held.append(text);
        if (ends) {
          line(held);
          held.clear();
        }
      } else {
        const std::size_t room = LineMax - held.size();
        held.append(text.substr(0, room));
        passingData = line(held);
        if (passingData)
          data(text.substr(room));
        passing = true;
        held.clear();
      }
      if (ends)
        passing = false;
    }
  if (!whole && !held.empty())
    line(held);
  if (!started)
    throw EUUCode("No =ybegin line in " + FInputFile);
  if (part.Open())
    fail(part.Describe() + " ends without =yend");
  flush();

  const std::uint64_t sound =
      !received.empty() && received.begin()->first == 0 ? received.begin()->second : 0;
  if (sound < fileSize) {
    const auto next = received.upper_bound(sound);
    fail("\"" + name + "\" lacks bytes " + std::to_string(sound + 1) + " to " +
         std::to_string(next == received.end() ? fileSize : next->first) + " (" + std::to_string(parts) +
         " parts decoded)");
  }
  if (fileCrc && part.MultiPart()) {
    std::uint32_t crc = 0;
    for (std::uint64_t from = 0; from < fileSize;) {
      const std::size_t n =
          out.ReadAt(from, buffer.get(), std::size_t(std::min<std::uint64_t>(room, fileSize - from)));
      if (n == 0)
        break;
      crc = Crc32(crc, buffer.get(), n);
      from += n;
    }
    if (crc != *fileCrc)
      fail("\"" + name + "\" fails its check: CRC-32 of the whole file does not match crc32=");
  }
  Progress(decoded, total);
}
