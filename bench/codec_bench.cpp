// Encodes a 100 MB random file in each format (LF line ends) and decodes it back through
// TUUCode, times sharutils uudecode and coreutils base64 -d on the same text,
// and prints MB/s, the ratios and the peak memory of each TUUCode run.
// Every conversion runs in a process of its own so its peak memory is its own.
//
// yEnc is also posted as parts of 768000 bytes: TUUCode assembles them from
// one file, and the line-level decoder of codec/YEnc.h (what a session runs on
// each body line, CRC-32 included) is timed in memory beside Python's sabyenc3
// on the same parts. Those two figures are CPU time, so a busy machine
// counts as little as possible in their ratio. Before them the ways of the
// CRC-32 and of the line decoder this processor runs are timed one against
// another.
//
//   codec_bench [folder]     (default: a new folder under the temp folder)
//   codec_bench --ways       only the ways of the CRC-32, the line decoder and
//                            the uuencode/XXencode/Base64 text decoder
#include "codec/TextDecoder.h"
#include "codec/UUCode.h"
#include "codec/YEnc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// About 100 MiB.
constexpr std::size_t FileSize = (100u << 20) / 855 * 855;
constexpr std::size_t PartSize = 768000;

struct TRun {
  double Seconds = 0;
  long PeakKB = 0;
  bool Ok = false;
};

// Runs argv in a child and reports its wall time, peak resident memory and success.
TRun Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  TRun run;
  run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.PeakKB = usage.ru_maxrss;
  run.Ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

std::string Self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// The child's side: one Execute, nothing else in the process.
int Convert(char** argv) {
  TUUCode codec;
  codec.SetAlgorithm(TAlgorithm(std::atoi(argv[2])));
  codec.SetHeaders(std::strcmp(argv[3], "1") == 0);
  codec.SetInputFile(argv[4]);
  codec.SetOutputFile(argv[5]);
  codec.SetUnixCRLF(LF); // base64 -d refuses CR
  if (std::strcmp(argv[6], "1") == 0)
    codec.OnProgress = [](std::uint16_t) {};
  try {
    codec.Execute();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

// The fastest of five runs, so write-back of earlier files and a busy
// machine count as little as possible. Each run writes a new file, as
// decoding a post usually does.
TRun Best(const std::vector<std::string>& args, const std::string& out) {
  std::filesystem::remove(out);
  TRun best = Spawn(args);
  for (int i = 0; i < 4; ++i) {
    std::filesystem::remove(out);
    const TRun run = Spawn(args);
    best.Ok = best.Ok && run.Ok;
    best.PeakKB = std::max(best.PeakKB, run.PeakKB);
    best.Seconds = std::min(best.Seconds, run.Seconds);
  }
  return best;
}

// out is the file the run writes: with headers, the name in the text.
TRun RunCodec(TAlgorithm algorithm, bool headers, const std::string& in, const std::string& out,
              bool handler = false) {
  return Best({Self(), "--convert", std::to_string(int(algorithm)), headers ? "1" : "0", in, out,
               handler ? "1" : "0"},
              out);
}

TRun RunShell(const std::string& command, const std::string& out) {
  return Best({"/bin/sh", "-c", command}, out);
}

bool SameFile(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), std::streamsize(ba.size()));
    fb.read(bb.data(), std::streamsize(bb.size()));
    if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), std::size_t(fa.gcount())) != 0)
      return false;
  }
  return !fa && !fb;
}

double MBs(const TRun& run) { return double(FileSize) / 1e6 / run.Seconds; }

void Print(const char* what, const TRun& run) {
  std::printf("%-34s %8.1f MB/s  %7.3f s  peak %6.1f MB%s\n", what, MBs(run), run.Seconds,
              double(run.PeakKB) / 1024, run.Ok ? "" : "  FAILED");
}

void PrintPeak(const TRun& run, const std::string& in, const std::string& out) {
  const double files = double(std::filesystem::file_size(in) + std::filesystem::file_size(out));
  std::printf("%-34s %6.1f MB = %.1f%% of input + output (%.1f MB)\n", "  peak memory",
              double(run.PeakKB) / 1024, 100.0 * double(run.PeakKB) * 1024 / files, files / (1 << 20));
}

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The parts of the file as a poster writes them, one after the other.
std::string YEncParts(const std::string& bytes) {
  std::string text;
  const std::size_t total = (bytes.size() + PartSize - 1) / PartSize;
  for (std::size_t i = 0; i < total; ++i) {
    TYEncPartInfo info;
    info.Name = "orig.bin";
    info.FileSize = bytes.size();
    info.Offset = i * PartSize;
    info.Part = i + 1;
    info.Total = total;
    text += YEncEncodePart(std::string_view(bytes).substr(info.Offset, PartSize), info);
  }
  return text;
}

// What a session does with each body line: cut it, tell keyword lines from
// data, decode into place, check every part. Best CPU time of five. With
// runs, each part is gathered in a buffer and its CRC-32 taken over the
// buffer at once, as the decode window does, instead of line by line.
double YEncLinesSeconds(const std::string& text, std::string& file, bool runs) {
  double best = 1e9;
  std::vector<char> line(1 << 20);
  std::size_t fill = 0;
  for (int run = 0; run < 5; ++run) {
    const double start = CpuSeconds();
    TYEncPart part;
    for (std::size_t pos = 0; pos < text.size();) {
      const char* lf = static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
      const std::size_t end = lf ? std::size_t(lf - text.data()) : text.size();
      const std::string_view l(text.data() + pos, end - pos);
      pos = end + 1;
      std::string error;
      switch (YEncKeyword(l)) {
      case ykBegin:
        error = part.Begin(l);
        file.resize(part.FileSize());
        break;
      case ykPart:
        error = part.Part(l);
        break;
      case ykEnd:
        if (runs) {
          part.Sum(line.data(), fill);
          std::memcpy(file.data() + part.Offset(), line.data(), fill);
          fill = 0;
        }
        error = part.End(l);
        break;
      case ykNone: {
        if (runs) {
          fill += part.DecodeLater(l.data(), l.size(), line.data() + fill);
          break;
        }
        const std::uint64_t at = part.Position();
        const std::size_t n = part.Decode(l.data(), l.size(), line.data());
        std::memcpy(file.data() + at, line.data(), n);
        break;
      }
      }
      if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 0;
      }
    }
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

// sabyenc3 takes an article body as it arrives and checks its CRC too.
const char* SabyencScript = R"(import sabyenc3, sys, time
text = open(sys.argv[1], "rb").read()
parts = [b"=ybegin" + p for p in text.split(b"=ybegin")[1:]]
best, out = 1e9, None
for run in range(5):
    start = time.process_time()
    got = [sabyenc3.decode_usenet_chunks([p]) for p in parts]
    best = min(best, time.process_time() - start)
    out = got
assert all(ok for _, _, ok in out)
open(sys.argv[2], "wb").write(b"".join(d for d, _, _ in out))
print(best)
)";

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const char* PathName(TYEncPath path) {
  return path == TYEncPath::Plain ? "plain"
         : path == TYEncPath::Sse ? "SSE (16 bytes)"
                                  : "AVX-512 (64 bytes)";
}

const char* PathName(TTextPath path) {
  return path == TTextPath::Plain  ? "a group at a time"
         : path == TTextPath::Avx2 ? "AVX2 (8 groups)"
                                   : "AVX-512 VBMI (16 groups)";
}

// A part file's text as the encoder writes it: the begin line, the data
// lines with CRLF (uuencode and XXencode "M" and 60 characters, Base64 76),
// the end.
std::string TextPart(TAlgorithm encoder, const std::string& bytes) {
  const std::string in = std::filesystem::temp_directory_path() / "codec_bench-ways.bin", out = in + ".txt";
  std::ofstream(in, std::ios::binary) << bytes;
  TUUCode codec;
  codec.SetAlgorithm(encoder);
  codec.SetInputFile(in);
  codec.SetOutputFile(out);
  codec.Execute();
  const std::string text = ReadAll(out);
  std::filesystem::remove(in);
  std::filesystem::remove(out);
  return text;
}

// Each way of the text decoder this processor runs, taking turns, over the
// part file of a post of four 5000-line articles (20000 uuencode lines, 900
// KB), fed in the scanner's pieces of 256 KiB: median CPU time of 15 turns.
void TextPathSection(const std::string& bytes, bool& ok) {
  std::vector<TTextPath> paths;
  for (const TTextPath path : {TTextPath::Plain, TTextPath::Avx2, TTextPath::Wide})
    if (TextDecoderHasPath(path))
      paths.push_back(path);
  constexpr int Turns = 15, Decodes = 8; // per turn
  constexpr std::size_t Piece = 256u << 10;
  const std::string file = bytes.substr(0, 20000 * 45);
  const std::pair<TAlgorithm, TAlgorithm> formats[] = {
      {uuencode, uudecode}, {xxencode, xxdecode}, {base64encode, base64decode}};
  for (const auto& [encoder, algorithm] : formats) {
    const std::string text = TextPart(encoder, file);
    std::vector<std::vector<double>> seconds(paths.size());
    std::vector<std::string> outs(paths.size());
    for (int turn = 0; turn < Turns; ++turn)
      for (std::size_t i = 0; i < paths.size(); ++i) {
        std::string out;
        const double start = CpuSeconds();
        for (int k = 0; k < Decodes; ++k) {
          out.clear();
          TTextDecoder decoder(algorithm, true, "post.txt");
          decoder.SetPath(paths[i]);
          decoder.OnOutput = [&](const char* data, std::size_t size) { out.append(data, size); };
          for (std::size_t at = 0; at < text.size(); at += Piece)
            decoder.Feed(std::string_view(text).substr(at, Piece));
          decoder.Finish();
        }
        seconds[i].push_back((CpuSeconds() - start) / Decodes);
        outs[i] = std::move(out);
      }
    std::printf("\n%s part file of %zu lines (%.1f MB of text), each way of the text decoder (median of %d "
                "turns)\n",
                algorithm == base64decode ? "Base64"
                : algorithm == xxdecode   ? "XXencode"
                                          : "uuencode",
                std::size_t(std::count(text.begin(), text.end(), '\n')), double(text.size()) / 1e6, Turns);
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const bool same = outs[i] == file;
      ok = ok && same;
      std::printf("  %-32s %8.2f GB/s of text%s\n", PathName(paths[i]),
                  double(text.size()) / 1e9 / Median(seconds[i]), same ? "" : "  DECODED BYTES DIFFER");
    }
    for (std::size_t i = 1; i < paths.size(); ++i)
      std::printf("  %-32s %8.2fx\n", (std::string(PathName(paths[i])) + " / plain").c_str(),
                  Median(seconds[0]) / Median(seconds[i]));
  }
}

// Each way of the CRC-32 and of the line decoder this processor runs, in
// the same run and taking turns, so a busy moment of the machine falls on
// all of them alike: the median CPU time of 15 turns, each over the same
// 768000-byte part (the CRC-32) or the data lines of eight parts, one
// decoder call a line as a session makes them.
void PathSection(const std::string& bytes, const std::string& text, bool& ok) {
  std::vector<TYEncPath> paths;
  for (const TYEncPath path : {TYEncPath::Plain, TYEncPath::Sse, TYEncPath::Wide})
    if (YEncHasPath(path))
      paths.push_back(path);
  constexpr int Turns = 15;

  const std::string_view part = std::string_view(bytes).substr(0, PartSize);
  constexpr int Sums = 40; // per turn
  std::vector<std::vector<double>> crcSeconds(paths.size());
  std::vector<std::uint32_t> crcs(paths.size());
  for (int turn = 0; turn < Turns; ++turn)
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const int sums = paths[i] == TYEncPath::Plain ? Sums / 8 : Sums;
      const double start = CpuSeconds();
      std::uint32_t crc = 0;
      for (int k = 0; k < sums; ++k)
        crc = Crc32On(paths[i], crc, part.data(), part.size());
      crcSeconds[i].push_back((CpuSeconds() - start) / sums);
      crcs[i] = crc == 0 ? 0 : Crc32On(paths[i], 0, part.data(), part.size());
    }
  std::printf("\nCRC-32 of a %zu-byte part, each way (median of %d turns)\n", PartSize, Turns);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const bool same = crcs[i] == crcs[0];
    ok = ok && same;
    std::printf("  %-32s %8.2f GB/s%s\n", PathName(paths[i]), double(PartSize) / 1e9 / Median(crcSeconds[i]),
                same ? "" : "  CRC DIFFERS");
  }
  if (paths.size() > 2)
    std::printf("  AVX-512 / SSE                      %.2fx (target: at least 2x)\n",
                Median(crcSeconds[1]) / Median(crcSeconds[2]));

  // The data lines of the first eight parts, CR included, LF cut.
  std::vector<std::string_view> lines;
  std::vector<std::size_t> partEnds; // lines before each part's =yend
  std::size_t dataBytes = 0;
  for (std::size_t pos = 0; pos < text.size() && partEnds.size() < 8;) {
    const std::size_t lf = std::min(text.find('\n', pos), text.size());
    const std::string_view l(text.data() + pos, lf - pos);
    pos = lf + 1;
    if (YEncKeyword(l) == ykEnd)
      partEnds.push_back(lines.size());
    if (YEncKeyword(l) == ykNone) {
      lines.push_back(l);
      dataBytes += l.size();
    }
  }
  // Alone, then with each part's CRC-32 taken over the part at once, as
  // the session does; then a part's lines decoded together with their line
  // ends, as the session decodes the lines that come in a row.
  std::vector<char> out(dataBytes + lines.size());
  for (const int mode : {0, 1, 2}) {
    const bool sum = mode > 0, together = mode == 2;
    std::vector<std::string> outs(paths.size());
    std::vector<std::uint32_t> sums(paths.size());
    std::vector<std::vector<double>> seconds(paths.size());
    for (int turn = 0; turn < Turns; ++turn)
      for (std::size_t i = 0; i < paths.size(); ++i) {
        const double start = CpuSeconds();
        char* o = out.data();
        std::uint32_t crcs = 0;
        std::size_t line = 0;
        for (const std::size_t end : partEnds) {
          char* const from = o;
          bool escape = false;
          if (together && line < end) {
            // A part's data lines lie in a row in the text, each with its LF.
            const char* const first = lines[line].data();
            const std::size_t size = std::size_t(lines[end - 1].data() + lines[end - 1].size() + 1 - first);
            o += YEncDecodeLinesOn(paths[i], first, size, o, escape);
            line = end;
          }
          for (; line < end; ++line)
            o += YEncDecodeLineOn(paths[i], lines[line].data(), lines[line].size(), o, escape);
          if (sum)
            crcs ^= Crc32On(paths[i], 0, from, std::size_t(o - from));
        }
        seconds[i].push_back(CpuSeconds() - start);
        outs[i].assign(out.data(), std::size_t(o - out.data()));
        sums[i] = crcs;
      }
    std::printf("\nyEnc data lines of %zu parts (%zu lines, %.1f MB of text), %s%s, each way "
                "(median of %d turns)\n",
                partEnds.size(), lines.size(), double(dataBytes) / 1e6,
                together ? "a call a part's lines" : "a call a line", sum ? ", CRC-32 per part" : "", Turns);
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const bool same = outs[i].size() == partEnds.size() * PartSize && outs[i] == outs[0] &&
                        outs[i] == bytes.substr(0, outs[i].size()) && sums[i] == sums[0];
      ok = ok && same;
      std::printf("  %-32s %8.2f GB/s of text%s\n", PathName(paths[i]),
                  double(dataBytes) / 1e9 / Median(seconds[i]), same ? "" : "  DECODED BYTES DIFFER");
    }
    if (paths.size() > 2)
      std::printf("  AVX-512 / SSE                      %.2fx%s\n", Median(seconds[1]) / Median(seconds[2]),
                  sum ? "" : " (target: at least 1.2x)");
  }
}

void YEncSection(const std::string& folder, const std::string& orig, bool& ok) {
  const std::string bytes = ReadAll(orig);
  const std::string text = YEncParts(bytes);
  PathSection(bytes, text, ok);
  const std::string parts = folder + "parts.ync";
  std::ofstream(parts, std::ios::binary) << text;
  std::printf("\nyEnc, %zu parts of %zu bytes (%.1f MB of text)\n", (bytes.size() + PartSize - 1) / PartSize,
              PartSize, double(text.size()) / 1e6);

  // TUUCode names the file after =ybegin: orig.bin, so the original steps aside.
  std::filesystem::rename(orig, folder + "keep.bin");
  const TRun dec = RunCodec(ydecode, true, parts, orig);
  const bool same = SameFile(folder + "keep.bin", orig);
  std::filesystem::rename(folder + "keep.bin", orig);
  Print("  TUUCode ydecode of all parts", dec);
  ok = ok && dec.Ok && same;
  if (!same)
    std::printf("  DECODED FILE DIFFERS\n");

  std::string file;
  const double perLine = YEncLinesSeconds(text, file, false);
  bool sameLines = perLine > 0 && file == bytes;
  file.clear();
  const double ours = YEncLinesSeconds(text, file, true);
  sameLines = sameLines && ours > 0 && file == bytes;
  ok = ok && sameLines;
  const double oursMBs = double(bytes.size()) / 1e6 / ours;
  std::printf("%-34s %8.1f MB/s  %7.3f s CPU\n", "  YEnc.h lines, CRC-32 per line",
              double(bytes.size()) / 1e6 / perLine, perLine);
  std::printf("%-34s %8.1f MB/s  %7.3f s CPU%s\n", "  YEnc.h lines, CRC-32 per part", oursMBs, ours,
              sameLines ? "" : "  DECODED BYTES DIFFER");

  const std::string script = folder + "sabyenc.py", out = folder + "sabyenc.bin",
                    seconds = folder + "sabyenc.txt";
  std::ofstream(script) << SabyencScript;
  if (std::system("/usr/bin/python3 -c 'import sabyenc3' 2>/dev/null") != 0) {
    std::printf("  python3-sabyenc not installed: no comparison\n");
    return;
  }
  const int status = std::system(
      ("/usr/bin/python3 '" + script + "' '" + parts + "' '" + out + "' > '" + seconds + "'").c_str());
  const double theirs = std::atof(ReadAll(seconds).c_str());
  const bool sameTheirs = status == 0 && theirs > 0 && SameFile(orig, out);
  const double theirsMBs = double(bytes.size()) / 1e6 / theirs;
  std::printf("%-34s %8.1f MB/s  %7.3f s CPU%s\n", "  Python sabyenc3", theirsMBs, theirs,
              sameTheirs ? "" : "  FAILED OR DIFFERS");
  std::printf("  YEnc.h lines / sabyenc3            %.2fx (target: at least 1000 MB/s)\n",
              oursMBs / theirsMBs);
  for (const std::string& f : {parts, script, out, seconds})
    std::filesystem::remove(f);
}
} // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--convert") == 0)
    return Convert(argv);
  if (argc == 2 && std::strcmp(argv[1], "--ways") == 0) {
    std::mt19937_64 gen(42);
    std::string bytes(8 * PartSize, '\0');
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
      const std::uint64_t w = gen();
      std::memcpy(bytes.data() + at, &w, 8);
    }
    bool ok = true;
    PathSection(bytes, YEncParts(bytes), ok);
    TextPathSection(bytes, ok);
    return ok ? 0 : 1;
  }

  std::string folder;
  if (argc > 1) {
    folder = std::string(argv[1]) + "/";
  } else {
    folder = (std::filesystem::temp_directory_path() / "vostel-bench-XXXXXX").string();
    if (!::mkdtemp(folder.data()))
      return 1;
    folder += "/";
  }
  const std::string orig = folder + "orig.bin";
  {
    std::ofstream f(orig, std::ios::binary);
    std::mt19937_64 gen(42);
    std::vector<std::uint64_t> chunk(1 << 17);
    for (std::size_t done = 0; done < FileSize; done += chunk.size() * 8) {
      for (auto& w : chunk)
        w = gen();
      f.write(reinterpret_cast<const char*>(chunk.data()),
              std::streamsize(std::min(FileSize - done, chunk.size() * 8)));
    }
  }
  std::printf("codec_bench: %zu random bytes (%.1f MB) in %s\n", FileSize, double(FileSize) / 1e6,
              folder.c_str());

  struct TFormat {
    const char* Name;
    TAlgorithm Encoder, Decoder;
    bool Headers; // Base64 without, so base64 -d reads the same text
  };
  const TFormat formats[] = {{"uuencode", uuencode, uudecode, true},
                             {"xxencode", xxencode, xxdecode, true},
                             {"base64", base64encode, base64decode, false},
                             {"yEnc, one part", yencode, ydecode, true}};
  // One unmeasured run first: the first process to touch this much memory
  // pays for it.
  RunCodec(uuencode, true, orig, folder + "warm.txt");
  std::filesystem::remove(folder + "warm.txt");

  bool ok = true;
  for (const TFormat& f : formats) {
    const std::string text = folder + f.Name + ".txt", back = folder + "orig.bin.back";
    const TRun enc = RunCodec(f.Encoder, f.Headers, orig, text);
    // With headers the decoded file is named after the encoder's input.
    const std::string decoded = f.Headers ? orig : back;
    if (f.Headers)
      std::filesystem::rename(orig, folder + "keep.bin");
    const TRun dec = RunCodec(f.Decoder, f.Headers, text, decoded);
    const TRun decProgress = RunCodec(f.Decoder, f.Headers, text, decoded, true);
    const std::string source = f.Headers ? folder + "keep.bin" : orig;
    const bool same = SameFile(source, decoded);
    ok = ok && enc.Ok && dec.Ok && decProgress.Ok && same;
    std::printf("\n%s (%.1f MB of text)%s\n", f.Name, double(std::filesystem::file_size(text)) / 1e6,
                same ? "" : "  DECODED FILE DIFFERS");
    Print("  TUUCode encode", enc);
    Print("  TUUCode decode", dec);
    PrintPeak(dec, text, decoded);
    Print("  TUUCode decode, progress handler", decProgress);
    std::printf("  encode / decode speed              %.2f\n", MBs(enc) / MBs(dec));

    const char* tool = f.Encoder == uuencode ? "uudecode" : f.Encoder == base64encode ? "base64" : nullptr;
    if (tool && Have(tool)) {
      const std::string out = folder + "tool.bin";
      const TRun other = RunShell(f.Encoder == uuencode ? "uudecode -o '" + out + "' '" + text + "'"
                                                        : "base64 -d '" + text + "' > '" + out + "'",
                                  out);
      const bool sameOther = other.Ok && SameFile(source, out);
      Print(f.Encoder == uuencode ? "  sharutils uudecode" : "  coreutils base64 -d", other);
      std::printf("  TUUCode decode / %-16s %.2fx (target %dx)%s\n", tool, MBs(dec) / MBs(other),
                  f.Encoder == uuencode ? 2 : 3, sameOther ? "" : "  OTHER OUTPUT DIFFERS");
      std::filesystem::remove(out);
    } else if (tool) {
      std::printf("  %s not installed: no comparison\n", tool);
    }
    if (f.Headers)
      std::filesystem::rename(folder + "keep.bin", orig);
    std::filesystem::remove(back);
    std::filesystem::remove(text);
  }
  YEncSection(folder, orig, ok);
  if (argc <= 1)
    std::filesystem::remove_all(folder);
  else
    std::filesystem::remove(orig);
  return ok ? 0 : 1;
}
