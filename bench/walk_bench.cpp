// One decode session, without a window and paced at 0, walks a binaries group of the
// scripted news server by overview: 10,000 small articles outside the Lines:
// range, then yEnc files of 13 parts of 768,000 bytes (lines of 128
// characters), one part an article. It prints how fast the overview passes
// the articles out of range, how fast the window fetches and decodes the
// files (MB/s of files stored), the processor time of the window's thread,
// its peak memory (VmHWM, reset before each walk), and how late a 10 ms
// timer of the window's loop ever came, which is the longest the loop went
// without returning to its events; and the scripted server's processor
// time over the walk, which on loopback carries the sending half of every
// byte's way through the kernel and shares the machine with the window. It
// walks a group of about 100 MB and one of about 200 MB, so the two peaks
// show whether memory grows with the group. A walk ends with the window's
// close: what it stores on the way out counts, and so does the time.
//
// Then it walks a group of uuencoded files of 1 to 120 MB, each posted in
// articles of 5,000 lines (the part file of a file stays open across its
// articles), and a group of one hostile article that says "Lines: 200" and
// carries 400 MiB of uuencode, which is cut off and stores nothing.
//
// Then, for the bound of the buffer that holds the articles ahead of their
// turn, a window of 8 connections with 4 requests in flight each walks
// groups of 40 yEnc parts of 1, 3 and 8 MB (files of 4 parts) whose
// overview's Lines: understates each body 100 times, tells it, or
// overstates it 100 times, WALK_RUNS (3) times each, and prints the median
// (min-max) of the window's peak memory. The true Lines: is the baseline:
// what the buffer was sized for. Understated, each body runs past what the
// window takes for a body and is cut off, storing nothing, but its article
// is fetched whole all the same.
//
// WALK_CONNECTIONS (1) sets the connections of the first three.
//
// Then, for the overview read ahead of the fetching, it walks groups of
// small articles all in range for 20 s each: over 8 connections with 100
// requests in flight a group of 1 million articles, over 50 with 100 one of
// 5 million, each beside a group of 20,000 walked the same way, the
// baseline: peak memory flat in the group's size is the same figure for
// both. It prints the medians (min-max) of 3 runs of the peak memory, the
// articles the fetcher held when the walk was stopped, and the walk's
// position then. The arguments yenc, uu, hostile, buffer and readahead choose the
// walks; none walks them all.
//
// The server runs in a process of its own, so that its copy of the group
// counts neither in the window's memory nor in its processor time. Each
// walk's folder is gone before the next walk starts: with the files of
// earlier walks kept, a walk's writes take pages the system has not used
// yet, which on this virtual machine costs about 5 ms of kernel time a MB,
// and the INN walk took from 0.6 to 1.9 s, with twice the processor time.
// What is left of the spread is the machine's: the server and the window
// share its processors with whatever else runs.
//
// With INN_GROUP=<group> (and INN_SERVER=host:port, 127.0.0.1:119 unless
// given) it then walks that group of a real server the same way, every
// article in range unless INN_MIN_LINES / INN_MAX_LINES say otherwise, 5
// times (INN_RUNS), and prints each run and the median and spread; what the
// group holds decides the figures. bench/inn_post.py posts the same group to
// the INN harness's server:
//
//   /usr/bin/python3 tests/inn/inn_harness.py start --dir /tmp/inn --yenc
//   /usr/bin/python3 bench/inn_post.py --port <its port>
//   export INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test
//   INN_MIN_LINES=5001 INN_MAX_LINES=7000 walk_bench
//   /usr/bin/python3 tests/inn/inn_harness.py stop --dir /tmp/inn
//
// The exit code is 0 when every walk reached the group's end and the scripted
// server's files were all stored whole.

#include "BenchSetup.h"
#include "SessionWalk.h"
#include "codec/YEnc.h"
#include "tests/support/ScriptedNewsServer.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t OutOfRange = 10000;
constexpr std::size_t PartSize = 768000;
constexpr std::size_t PartsPerFile = 13;
// About 100 MB and 200 MB of files.
constexpr std::size_t SmallFiles = 10;
constexpr std::size_t BigFiles = 20;
constexpr const char* Group = "alt.binaries.bench";
// A part of 768,000 bytes takes about 6,100 lines; the small articles 10 to 40.
constexpr const char* MinLines = "5000";
constexpr const char* MaxLines = "7000";
// The uuencoded files, in MB, and the lines of one article.
constexpr std::size_t UUFileSizes[] = {1, 5, 10, 20, 40, 80, 120};
constexpr std::size_t UULinesPerArticle = 5000;
constexpr std::size_t HostileBytes = std::size_t(400) << 20;

enum TGroupKind { gkYEnc, gkUU, gkHostile, gkBuffer, gkNumbered };

// The buffer walks: what the overview's Lines: says of each body.
enum TLinesSaid { lsUnder, lsTrue, lsOver };
constexpr const char* LinesSaid[] = {"understated 100x", "true (baseline)", "overstated 100x"};
constexpr std::size_t BufferPartMB[] = {1, 3, 8};
constexpr std::size_t BufferArticles = 40;
constexpr std::size_t BufferPartsPerFile = 4;
constexpr int BufferConnections = 8;

// The read-ahead walks: settings, and the group beside its baseline.
struct TReadAhead {
  int Connections, Depth;
  std::int64_t Articles;
};
constexpr std::int64_t BaselineArticles = 20000;
constexpr TReadAhead ReadAheadWalks[] = {
    {8, 100, BaselineArticles}, {8, 100, 1000000}, {50, 100, BaselineArticles}, {50, 100, 5000000}};
constexpr int ReadAheadRuns = 3;
constexpr int ReadAheadSeconds = 20;

// Cheap random bytes: the files must differ, not be good random numbers.
void FillRandom(std::string& data, std::uint64_t seed) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i < data.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&data[i], &x, std::min<std::size_t>(8, data.size() - i));
  }
}

struct TExpected {
  std::string Name;
  std::uint64_t Size = 0;
  std::uint32_t Crc = 0;
};

TNewsArticle Article(std::int64_t number, const std::string& subject, std::vector<std::string> body) {
  return {number,
          {"From: bench <bench@vostel.test>", "Subject: " + subject,
           "Message-ID: <" + std::to_string(number) + "@bench.vostel.test>",
           "Lines: " + std::to_string(body.size())},
          std::move(body),
          1};
}

// The lines of data as every uuencoder writes them, the zero-length line included.
std::vector<std::string> UULines(const std::string& data) {
  auto put = [](unsigned v) { return char(v == 0 ? '`' : v + 32); };
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < data.size(); at += 45) {
    const std::size_t n = std::min<std::size_t>(45, data.size() - at);
    std::string line(1, put(unsigned(n)));
    for (std::size_t i = 0; i < n; i += 3) {
      auto byte = [&](std::size_t k) {
        return at + i + k < data.size() ? std::uint8_t(data[at + i + k]) : 0u;
      };
      const unsigned b = byte(0) << 16 | byte(1) << 8 | byte(2);
      for (int shift = 18; shift >= 0; shift -= 6)
        line += put(b >> shift & 63);
    }
    lines.push_back(std::move(line));
  }
  lines.push_back("`");
  return lines;
}

// Each file from its begin line to its end line, cut into articles.
std::vector<TNewsArticle> BuildUUGroup(std::vector<TExpected>& expected) {
  std::vector<TNewsArticle> group;
  std::int64_t number = 1;
  for (std::size_t f = 0; f < std::size(UUFileSizes); ++f) {
    std::string data(UUFileSizes[f] << 20, '\0');
    FillRandom(data, f + 100);
    expected.push_back(
        {"file" + std::to_string(f) + ".bin", data.size(), Crc32(0, data.data(), data.size())});
    std::vector<std::string> lines = UULines(data);
    lines.insert(lines.begin(), "begin 644 " + expected.back().Name);
    lines.push_back("end");
    for (std::size_t at = 0; at < lines.size(); at += UULinesPerArticle, ++number) {
      const auto from = lines.begin() + long(at);
      const auto to = lines.begin() + long(std::min(lines.size(), at + UULinesPerArticle));
      group.push_back(Article(number, expected.back().Name,
                              {std::make_move_iterator(from), std::make_move_iterator(to)}));
    }
  }
  return group;
}

// One article that says "Lines: 200" and carries 400 MiB of uuencode.
std::vector<TNewsArticle> BuildHostileGroup() {
  std::string data(HostileBytes, '\0');
  FillRandom(data, 99);
  std::vector<std::string> lines = UULines(data);
  lines.insert(lines.begin(), "begin 644 hostile.bin");
  lines.push_back("end");
  TNewsArticle article = Article(1, "hostile.bin", std::move(lines));
  article.Header.back() = "Lines: 200";
  return {article};
}

// Part Index (from 0) of Total of the file, Size bytes of its data each,
// as the lines of an article's body.
std::vector<std::string> YEncPartLines(const TExpected& File, const std::string& Data, std::size_t Index,
                                       std::size_t Size, std::size_t Total) {
  TYEncPartInfo info;
  info.Name = File.Name;
  info.FileSize = Data.size();
  info.Offset = Index * Size;
  info.Part = Index + 1;
  info.Total = Total;
  info.FileCrc = File.Crc;
  const std::string text = YEncEncodePart(std::string_view(Data).substr(info.Offset, Size), info);
  std::vector<std::string> body;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    body.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return body;
}

// The group: the articles out of range first, so that the scan's figure is
// theirs alone, then the parts of each file in order.
std::vector<TNewsArticle> BuildYEncGroup(std::size_t files, std::vector<TExpected>& expected) {
  std::vector<TNewsArticle> group;
  std::int64_t number = 1;
  for (; number <= OutOfRange; ++number) {
    std::vector<std::string> body;
    for (std::int64_t i = 0; i < 10 + number % 31; ++i)
      body.push_back("A few words in article " + std::to_string(number) + ", line " + std::to_string(i) +
                     ".");
    group.push_back(Article(number, "talk " + std::to_string(number), std::move(body)));
  }
  std::string data(PartSize * PartsPerFile, '\0');
  for (std::size_t f = 0; f < files; ++f) {
    FillRandom(data, f + 1);
    TExpected file{"file" + std::to_string(f) + ".rar", data.size(), Crc32(0, data.data(), data.size())};
    for (std::size_t p = 0; p < PartsPerFile; ++p, ++number) {
      group.push_back(Article(number, file.Name + " (" + std::to_string(p + 1) + "/13)",
                              YEncPartLines(file, data, p, PartSize, PartsPerFile)));
    }
    expected.push_back(file);
  }
  return group;
}

// BufferArticles yEnc parts of partMB MB, files of BufferPartsPerFile
// parts, each saying Lines: as told.
std::vector<TNewsArticle> BuildBufferGroup(std::size_t partMB, TLinesSaid said,
                                           std::vector<TExpected>& expected) {
  std::vector<TNewsArticle> group;
  const std::size_t part = partMB << 20;
  std::string data(part * BufferPartsPerFile, '\0');
  for (std::size_t f = 0; f * BufferPartsPerFile < BufferArticles; ++f) {
    FillRandom(data, f + 1000 * partMB + 7);
    TExpected file{"b" + std::to_string(f) + ".bin", data.size(), Crc32(0, data.data(), data.size())};
    for (std::size_t p = 0; p < BufferPartsPerFile; ++p) {
      std::vector<std::string> body = YEncPartLines(file, data, p, part, BufferPartsPerFile);
      const std::size_t lines = said == lsUnder  ? std::max<std::size_t>(1, body.size() / 100)
                                : said == lsTrue ? body.size()
                                                 : body.size() * 100;
      group.push_back(Article(std::int64_t(group.size() + 1), file.Name, std::move(body)));
      group.back().Header.back() = "Lines: " + std::to_string(lines);
    }
    expected.push_back(file);
  }
  return group;
}

// A scripted server in a child process, serving a group of `files` files
// (a buffer group: of parts of `files` MB whose Lines: is as `said`).
// It tells its port and the files it holds through a pipe and serves until
// the bench closes the other pipe.
struct TServerProcess {
  TGroupKind Kind = gkYEnc;
  pid_t Pid = -1;
  int Life = -1; // closing it ends the server
  std::uint16_t Port = 0;
  std::vector<TExpected> Files;
  std::uint64_t WireBytes = 0;

  void End() {
    if (Life >= 0)
      ::close(Life);
    Life = -1;
    if (Pid > 0)
      ::waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
};

// The pipes that keep the servers started so far alive; a later server must
// not hold them open.
std::vector<int> LifeLines;

// Forked before the bench starts any thread. The hostile article's server
// offers no overview: the walk reads its header, which lies about its size.
// A numbered group has `files` articles of two lines, made as asked for.
TServerProcess StartServer(TGroupKind kind, std::size_t files = 0, TLinesSaid said = lsTrue) {
  int report[2], life[2];
  if (::pipe(report) != 0 || ::pipe(life) != 0)
    std::exit(2);
  TServerProcess server;
  server.Kind = kind;
  server.Pid = ::fork();
  if (server.Pid == 0) {
    ::close(report[0]);
    ::close(life[1]);
    for (const int fd : LifeLines)
      ::close(fd);
    std::vector<TExpected> expected;
    std::vector<TNewsArticle> group = kind == gkYEnc      ? BuildYEncGroup(files, expected)
                                      : kind == gkUU      ? BuildUUGroup(expected)
                                      : kind == gkBuffer  ? BuildBufferGroup(files, said, expected)
                                      : kind == gkHostile ? BuildHostileGroup()
                                                          : std::vector<TNewsArticle>{};
    std::uint64_t wire = 0;
    for (const TNewsArticle& a : group)
      for (const std::string& line : a.Body)
        wire += line.size() + 2;
    TScriptedNewsServer news;
    if (kind == gkBuffer)
      news.OfferOverview({"Subject:", "Lines:full"}); // the Lines: header, whatever it says
    else if (kind != gkHostile)
      news.OfferOverview();
    if (kind == gkNumbered)
      news.ServeNumberedGroup(Group, std::int64_t(files), 2);
    else
      news.ServeGroup(Group, std::move(group));
    std::ostringstream text;
    text << news.Port() << " " << wire << "\n";
    for (const TExpected& f : expected)
      text << f.Name << " " << f.Size << " " << f.Crc << "\n";
    const std::string bytes = text.str();
    if (::write(report[1], bytes.data(), bytes.size()) != ssize_t(bytes.size()))
      ::_exit(2);
    ::close(report[1]);
    char c;
    while (::read(life[0], &c, 1) > 0) {
    }
    news.Stop();
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(life[0]);
  server.Life = life[1];
  LifeLines.push_back(life[1]);
  std::string bytes;
  char buf[4096];
  for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;)
    bytes.append(buf, std::size_t(n));
  ::close(report[0]);
  std::istringstream text(bytes);
  text >> server.Port >> server.WireBytes;
  TExpected f;
  while (text >> f.Name >> f.Size >> f.Crc)
    server.Files.push_back(f);
  if (server.Port == 0) {
    std::fprintf(stderr, "walk_bench: the server process did not start\n");
    std::exit(2);
  }
  return server;
}

// Every file the group carries, stored whole. Run after the walks, so that
// reading the files back is no part of them.
bool Check(const TWalk& w, const TServerProcess& server) {
  std::map<std::string, std::string> stored;
  std::vector<char> buffer(1 << 20);
  for (const std::string& path : w.Stored) {
    std::ifstream in(path, std::ios::binary);
    std::uint32_t crc = 0;
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0)
      crc = Crc32(crc, buffer.data(), std::size_t(in.gcount()));
    stored[path.substr(path.rfind('/') + 1)] = std::to_string(crc);
  }
  bool ok = w.Done && stored.size() == server.Files.size();
  for (const TExpected& f : server.Files) {
    const auto it = stored.find(f.Name);
    if (it == stored.end() || it->second != std::to_string(f.Crc)) {
      std::printf("  %s: %s\n", f.Name.c_str(),
                  it == stored.end() ? "not stored" : "stored with another CRC");
      ok = false;
    }
  }
  if (!ok)
    std::printf("  FAILED: %zu of %zu files stored whole\n", stored.size(), server.Files.size());
  return ok;
}

// Median and spread of one figure over the runs.
struct TSpread {
  double Median, Min, Max;
};

TSpread Spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

int WalkConnections() {
  return qEnvironmentVariableIsEmpty("WALK_CONNECTIONS") ? 1
                                                         : qEnvironmentVariableIntValue("WALK_CONNECTIONS");
}

// The INN walk, Runs times, each into a folder of its own that is gone
// before the next starts.
bool WalkInn(int Runs) {
  TWalkPlan plan;
  plan.Connections = WalkConnections();
  plan.Server = qEnvironmentVariableIsEmpty("INN_SERVER") ? "127.0.0.1:119"
                                                          : qEnvironmentVariable("INN_SERVER").toStdString();
  plan.Group = qEnvironmentVariable("INN_GROUP").toStdString();
  plan.MinLines = qEnvironmentVariableIsEmpty("INN_MIN_LINES")
                      ? "0"
                      : qEnvironmentVariable("INN_MIN_LINES").toStdString();
  plan.MaxLines = qEnvironmentVariableIsEmpty("INN_MAX_LINES")
                      ? "2147483647"
                      : qEnvironmentVariable("INN_MAX_LINES").toStdString();
  const std::string title =
      "INN " + plan.Server + " " + plan.Group + ", Lines: " + plan.MinLines + " to " + plan.MaxLines;
  std::vector<TWalk> walks;
  bool ok = true;
  for (int i = 0; i < Runs; ++i) {
    QTemporaryDir folder;
    plan.Folder = folder.path().toStdString() + "/";
    walks.push_back(Walk(plan));
    const TWalk& w = walks.back();
    if (i == 0)
      PrintWalk(title + ", the first of " + std::to_string(Runs) + " runs:", w);
    std::printf("  run %d: %.3f s, %d files, %.1f MB stored = %.1f MB/s; processor %.3f s%s\n", i + 1,
                w.Seconds, w.Files, MB(w.Decoded), MB(w.Decoded) / w.Seconds, w.CpuSeconds,
                w.Done ? "" : " (not to the end)");
    ok = ok && w.Done;
  }
  std::vector<double> seconds, rates, cpu;
  for (const TWalk& w : walks) {
    seconds.push_back(w.Seconds);
    rates.push_back(MB(w.Decoded) / w.Seconds);
    cpu.push_back(w.CpuSeconds);
  }
  const TSpread s = Spread(seconds), r = Spread(rates), c = Spread(cpu);
  std::printf("%s, median (min-max) of %d runs:\n", title.c_str(), Runs);
  std::printf("  whole walk %.3f s (%.3f-%.3f) = %.1f MB/s stored (%.1f-%.1f)\n", s.Median, s.Min, s.Max,
              r.Median, r.Min, r.Max);
  std::printf("  the window thread's processor time %.3f s (%.3f-%.3f)\n", c.Median, c.Min, c.Max);
  return ok;
}

// Each buffer server's group walked Runs times; the peaks by part size and
// by what Lines: says. Servers holds them by part size, then as LinesSaid.
bool WalkBuffers(std::vector<TServerProcess>& Servers, int Runs) {
  std::printf(
      "the buffer of articles ahead of their turn: %d connections, 4 requests in flight each, %zu yEnc "
      "parts a group; the window's peak memory (VmHWM), median (min-max) of %d runs, MB\n",
      BufferConnections, BufferArticles, Runs);
  std::printf("  part  | Lines: %-18s | Lines: %-18s | Lines: %-18s\n", LinesSaid[0], LinesSaid[1],
              LinesSaid[2]);
  bool ok = true;
  std::string row;
  for (std::size_t i = 0; i < Servers.size(); ++i) {
    TServerProcess& server = Servers[i];
    std::vector<double> peaks;
    for (int run = 0; run < Runs; ++run) {
      QTemporaryDir folder;
      const TWalk walk = Walk({"127.0.0.1:" + std::to_string(server.Port), Group, "0", "2147483647",
                               BufferConnections, folder.path().toStdString() + "/"});
      peaks.push_back(double(walk.PeakKB) / 1024);
      // The window cuts off a body that runs far past its Lines: and stores
      // nothing of it; the fetching goes on to the group's end all the same.
      if (i % 3 == lsUnder && (!walk.Done || walk.Fetched != std::int64_t(BufferArticles))) {
        std::printf("  FAILED: %lld of %zu articles fetched\n", static_cast<long long>(walk.Fetched),
                    BufferArticles);
        ok = false;
      } else if (i % 3 != lsUnder) {
        ok = Check(walk, server) && ok;
      }
    }
    server.End();
    const TSpread p = Spread(peaks);
    char cell[64];
    std::snprintf(cell, sizeof cell, "%6.1f (%.1f-%.1f)", p.Median, p.Min, p.Max);
    row += " | " + std::string(cell) + std::string(25 - std::min<std::size_t>(25, std::strlen(cell)), ' ');
    if (i % 3 == 2) {
      std::printf("  %2zu MB%s\n", BufferPartMB[i / 3], row.c_str());
      std::fflush(stdout); // a row comes every minute or so: show it
      row.clear();
    }
  }
  return ok;
}

// Each read-ahead walk, ReadAheadRuns times, on the server of its group's size.
void WalkReadAhead(const std::map<std::int64_t, TServerProcess>& servers) {
  std::printf("the overview read ahead: groups of articles in range walked for %d s, median (min-max) of %d "
              "runs\n",
              ReadAheadSeconds, ReadAheadRuns);
  for (const TReadAhead& r : ReadAheadWalks) {
    std::vector<double> peaks, held, at;
    for (int i = 0; i < ReadAheadRuns; ++i) {
      QTemporaryDir folder;
      TWalkPlan plan{"127.0.0.1:" + std::to_string(servers.at(r.Articles).Port),
                     Group,
                     "1",
                     "100",
                     r.Connections,
                     folder.path().toStdString() + "/",
                     r.Depth};
      plan.Seconds = ReadAheadSeconds;
      const TWalk w = Walk(plan);
      peaks.push_back(double(w.PeakKB));
      held.push_back(double(w.Held));
      at.push_back(double(w.Position));
    }
    const TSpread p = Spread(peaks), h = Spread(held), a = Spread(at);
    std::printf(
        "  %2d x %3d, %7lld articles: peak %.0f KB (%.0f-%.0f); held %.0f (%.0f-%.0f) at article %.0f "
        "(%.0f-%.0f)\n",
        r.Connections, r.Depth, static_cast<long long>(r.Articles), p.Median, p.Min, p.Max, h.Median, h.Min,
        h.Max, a.Median, a.Min, a.Max);
  }
}

} // namespace

int main(int argc, char** argv) {
  // A server process that is gone must not end the bench with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  auto chosen = [&](const char* walk) {
    return argc == 1 ||
           std::any_of(argv + 1, argv + argc, [&](const char* a) { return std::strcmp(a, walk) == 0; });
  };
  std::vector<TServerProcess> servers;
  if (chosen("yenc")) {
    servers.push_back(StartServer(gkYEnc, SmallFiles));
    servers.push_back(StartServer(gkYEnc, BigFiles));
  }
  if (chosen("uu"))
    servers.push_back(StartServer(gkUU));
  if (chosen("hostile"))
    servers.push_back(StartServer(gkHostile));
  std::vector<TServerProcess> buffers;
  if (chosen("buffer"))
    for (const std::size_t mb : BufferPartMB)
      for (const TLinesSaid said : {lsUnder, lsTrue, lsOver})
        buffers.push_back(StartServer(gkBuffer, mb, said));
  std::map<std::int64_t, TServerProcess> numbered;
  if (chosen("readahead"))
    for (const TReadAhead& r : ReadAheadWalks)
      if (!numbered.count(r.Articles))
        numbered[r.Articles] = StartServer(gkNumbered, std::size_t(r.Articles));

  QCoreApplication app(argc, argv);
  const int connections = WalkConnections();
  std::printf("the session walks over %d connection(s), 4 requests in flight on each\n", connections);
  bool ok = true;
  std::vector<long> peaks;
  for (TServerProcess& server : servers) {
    QTemporaryDir folder;
    std::uint64_t size = 0;
    for (const TExpected& f : server.Files)
      size += f.Size;
    const bool yenc = server.Kind == gkYEnc;
    const TWalkPlan plan{"127.0.0.1:" + std::to_string(server.Port),
                         Group,
                         yenc                  ? MinLines
                         : server.Kind == gkUU ? "1"
                                               : "100",
                         yenc                  ? MaxLines
                         : server.Kind == gkUU ? "10000"
                                               : "300",
                         connections,
                         folder.path().toStdString() + "/"};
    const double serverFrom = CpuOf(server.Pid, false);
    const TWalk walk = Walk(plan);
    const double serverCpu = CpuOf(server.Pid, false) - serverFrom;
    server.End();
    char title[200];
    if (server.Kind == gkHostile)
      std::snprintf(
          title, sizeof title,
          "scripted server, one article of Lines: 200 and %.1f MB of body text:", MB(server.WireBytes));
    else
      std::snprintf(title, sizeof title, "scripted server, %s group of %.1f MB (%.1f MB of body text):",
                    yenc ? "yEnc" : "uuencode", MB(size), MB(server.WireBytes));
    PrintWalk(title, walk);
    std::printf("  the server's processor time: %.3f s, %.0f%% of the walk\n", serverCpu,
                walk.Seconds > 0 ? 100 * serverCpu / walk.Seconds : 0.0);
    ok = Check(walk, server) && ok;
    if (yenc)
      peaks.push_back(walk.PeakKB);
  }
  if (peaks.size() == 2)
    std::printf("peak memory: %ld KB walking %.0f MB, %ld KB walking %.0f MB\n", peaks[0],
                MB(SmallFiles * PartSize * PartsPerFile), peaks[1], MB(BigFiles * PartSize * PartsPerFile));

  if (!buffers.empty())
    ok = WalkBuffers(buffers, std::max(1, qEnvironmentVariableIsEmpty("WALK_RUNS")
                                              ? 3
                                              : qEnvironmentVariableIntValue("WALK_RUNS"))) &&
         ok;
  if (!numbered.empty()) {
    WalkReadAhead(numbered);
    for (auto& entry : numbered)
      entry.second.End();
  }

  if (!qEnvironmentVariableIsEmpty("INN_GROUP"))
    ok =
        WalkInn(qEnvironmentVariableIsEmpty("INN_RUNS") ? 5 : qEnvironmentVariableIntValue("INN_RUNS")) && ok;
  return ok ? 0 : 1;
}
