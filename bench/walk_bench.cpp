// One decode window, offscreen and paced at 0, walks a binaries group of the
// scripted news server by overview: 10,000 small articles outside the Lines:
// range, then yEnc files of 13 parts of 768,000 bytes (lines of 128
// characters), one part an article. It prints how fast the overview passes
// the articles out of range, how fast the window fetches and decodes the
// files (MB/s of files stored), its peak memory (VmHWM, reset before each
// walk), and how late a 10 ms timer of the window's loop ever came, which is
// the longest the loop went without returning to its events. It walks a
// group of about 100 MB and one of about 200 MB, so the two peaks show
// whether memory grows with the group.
//
// The server runs in a process of its own, so that its copy of the group
// counts neither in the window's memory nor in its processor time.
//
// With INN_GROUP=<group> (and INN_SERVER=host:port, 127.0.0.1:119 unless
// given) it then walks that group of a real server the same way, every
// article in range unless INN_MIN_LINES / INN_MAX_LINES say otherwise; what
// the group holds decides the figures. bench/inn_post.py posts the same
// group to the INN harness's server:
//
//   /usr/bin/python3 tests/inn/inn_harness.py start --dir /tmp/inn --yenc
//   /usr/bin/python3 bench/inn_post.py --port <its port>
//   export INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test
//   INN_MIN_LINES=5001 INN_MAX_LINES=7000 walk_bench
//   /usr/bin/python3 tests/inn/inn_harness.py stop --dir /tmp/inn
//
// The exit code is 0 when every walk ended with its QUIT and the scripted
// server's files were all stored whole.

#include "codec/YEnc.h"
#include "platform/Guard.h"
#include "session/ChildWin.h"
#include "session/ServerAddress.h"
#include "session/StartValues.h"
#include "tests/support/ScriptedNewsServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
constexpr int WalkTimeoutMs = 600000;

struct TValues : IStartValues {
  std::string server, group, min, max, path;
  std::string Server() const override { return server; }
  std::string Group() const override { return group; }
  std::string MinLines() const override { return min; }
  std::string MaxLines() const override { return max; }
  std::string WaitingLines() const override { return "0"; }
  std::string DefaultExt() const override { return "bin"; }
  std::string DownloadPath() const override { return path; }
  std::string Pacing() const override { return "0"; }
};

// Opens to the bench which block the overview scan asks for.
class TBenchChild : public TMDIChild {
public:
  using TMDIChild::FArticleEnd;
  using TMDIChild::FArticleStart;
  using TMDIChild::FScanFirst;
  using TMDIChild::FScanLast;
};

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

// The group: the articles out of range first, so that the scan's figure is
// theirs alone, then the parts of each file in order.
std::vector<TNewsArticle> BuildGroup(std::size_t files, std::vector<TExpected>& expected) {
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
      TYEncPartInfo info;
      info.Name = file.Name;
      info.FileSize = data.size();
      info.Offset = p * PartSize;
      info.Part = p + 1;
      info.Total = PartsPerFile;
      info.FileCrc = file.Crc;
      const std::string text = YEncEncodePart(std::string_view(data).substr(info.Offset, PartSize), info);
      std::vector<std::string> body;
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        body.push_back(text.substr(at, end - at));
        at = end + 2;
      }
      group.push_back(Article(number, file.Name + " (" + std::to_string(p + 1) + "/13)", std::move(body)));
    }
    expected.push_back(file);
  }
  return group;
}

// A scripted server in a child process, serving a group of `files` files.
// It tells its port and the files it holds through a pipe and serves until
// the bench closes the other pipe.
struct TServerProcess {
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

// Forked before the bench starts any thread.
TServerProcess StartServer(std::size_t files) {
  int report[2], life[2];
  if (::pipe(report) != 0 || ::pipe(life) != 0)
    std::exit(2);
  TServerProcess server;
  server.Pid = ::fork();
  if (server.Pid == 0) {
    ::close(report[0]);
    ::close(life[1]);
    for (const int fd : LifeLines)
      ::close(fd);
    std::vector<TExpected> expected;
    std::vector<TNewsArticle> group = BuildGroup(files, expected);
    std::uint64_t wire = 0;
    for (const TNewsArticle& a : group)
      for (const std::string& line : a.Body)
        wire += line.size() + 2;
    TScriptedNewsServer news;
    news.OfferOverview();
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

// Peak resident memory of this process since the last reset, in KB.
long PeakKB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// Starts the peak over from what is resident now (Linux 4.0 on).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct TWalk {
  bool Done = false;
  bool TimedOut = false;
  double Seconds = 0;        // GROUP answered to QUIT answered
  double ScanSeconds = 0;    // in overview requests
  double OutScanSeconds = 0; // in overview blocks wholly out of range
  std::int64_t Scanned = 0;  // articles the overview blocks covered
  std::int64_t OutScanned = 0;
  double FetchSeconds = 0; // in ARTICLE requests
  std::int64_t Fetched = 0;
  std::uint64_t Decoded = 0; // bytes of the files stored
  int Files = 0;
  double WorstLateMs = 0; // of the 10 ms timer
  int LateOver100 = 0;
  long PeakKB = 0;
  double CpuSeconds = 0;           // the window's processor time, user and system, over Seconds
  std::vector<std::string> Stored; // paths of the files stored
};

// Each request's time runs from the end of the one before: at pacing 0 the
// next goes out at once, so the time between is the walk's own.
TWalk Walk(const QTemporaryDir& folder, const std::string& server, const std::string& group,
           const std::string& min, const std::string& max, std::int64_t outOfRangeTo) {
  TValues values;
  values.server = server;
  values.group = group;
  values.min = min;
  values.max = max;
  values.path = folder.path().toStdString() + "/";
  StartValues = &values;

  TWalk walk;
  ResetPeak();
  {
    TBenchChild child;
    child.resize(640, 400);
    child.show();
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 last = -1, groupAt = -1;
    double cpuFrom = 0;
    const TRequestDone done = child.Nntp.OnRequestDone;
    child.Nntp.OnRequestDone = [&](TObject* sender, TNntpRequest type, std::uint16_t error) {
      const qint64 now = clock.nsecsElapsed();
      const double took = last < 0 ? 0 : double(now - last) / 1e9;
      last = now;
      if (type == nntpGroup && groupAt < 0) {
        groupAt = now;
        cpuFrom = CpuSeconds();
      }
      if (type == nntpXOver) {
        const std::int64_t covered = child.FScanLast - child.FScanFirst + 1;
        walk.ScanSeconds += took;
        walk.Scanned += covered;
        if (child.FScanLast <= outOfRangeTo) {
          walk.OutScanSeconds += took;
          walk.OutScanned += covered;
        }
      }
      if (type == nntpArticleByNumber) {
        walk.FetchSeconds += took;
        ++walk.Fetched;
      }
      done(sender, type, error);
      // R lit: the walk waits for the user (no connection, connection lost).
      if (type == nntpQuit || type == nntpAbort || child.Restart->isEnabled()) {
        walk.Done = type == nntpQuit;
        walk.Seconds = groupAt < 0 ? 0 : double(now - groupAt) / 1e9;
        walk.CpuSeconds = groupAt < 0 ? 0 : CpuSeconds() - cpuFrom;
        loop.quit();
      }
    };

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    qint64 lastTick = -1;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const qint64 now = clock.nsecsElapsed();
      if (lastTick >= 0) {
        const double late = double(now - lastTick) / 1e6 - 10;
        walk.WorstLateMs = std::max(walk.WorstLateMs, late);
        walk.LateOver100 += late > 100;
      }
      lastTick = now;
    });
    QTimer::singleShot(WalkTimeoutMs, &loop, [&] {
      walk.TimedOut = true;
      loop.quit();
    });

    clock.start();
    tick.start();
    Guarded([&] { child.FormCreate(&child); });
    loop.exec();
    tick.stop();
    walk.PeakKB = PeakKB();

    const std::string session = values.path + ServerFolderName(server) + "/" + group + "/";
    for (int i = 0; i < child.LBSaved->count(); ++i) {
      const std::string path = session + child.LBSaved->item(i)->text().toLocal8Bit().toStdString();
      std::error_code error;
      const std::uintmax_t size = std::filesystem::file_size(path, error);
      walk.Decoded += error ? 0 : size;
      walk.Stored.push_back(path);
    }
    walk.Files = child.LBSaved->count();
    child.close();
  }
  StartValues = nullptr;
  return walk;
}

double MB(std::uint64_t bytes) { return double(bytes) / 1e6; }

void Print(const char* what, const TWalk& w) {
  std::printf("%s\n", what);
  if (w.TimedOut)
    std::printf("  (stopped after %d s: the walk did not end)\n", WalkTimeoutMs / 1000);
  else if (!w.Done)
    std::printf("  (the walk ended without its QUIT)\n");
  if (w.OutScanned > 0)
    std::printf("  out of range: %lld articles scanned in %.3f s = %.0f articles/s\n",
                static_cast<long long>(w.OutScanned), w.OutScanSeconds,
                double(w.OutScanned) / w.OutScanSeconds);
  std::printf("  overview: %lld articles scanned in %.3f s = %.0f articles/s\n",
              static_cast<long long>(w.Scanned), w.ScanSeconds,
              w.ScanSeconds > 0 ? double(w.Scanned) / w.ScanSeconds : 0.0);
  std::printf("  fetched: %lld articles in %.3f s; %d files, %.1f MB decoded = %.1f MB/s\n",
              static_cast<long long>(w.Fetched), w.FetchSeconds, w.Files, MB(w.Decoded),
              w.FetchSeconds > 0 ? MB(w.Decoded) / w.FetchSeconds : 0.0);
  std::printf("  whole walk: %.3f s = %.1f MB/s decoded\n", w.Seconds,
              w.Seconds > 0 ? MB(w.Decoded) / w.Seconds : 0.0);
  std::printf("  the window's processor time: %.3f s, %.0f%% of the walk\n", w.CpuSeconds,
              w.Seconds > 0 ? 100 * w.CpuSeconds / w.Seconds : 0.0);
  std::printf("  peak memory (VmHWM): %ld KB\n", w.PeakKB);
  std::printf("  event loop: worst lateness of a 10 ms timer %.1f ms; %d stretches over 100 ms\n",
              w.WorstLateMs, w.LateOver100);
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

} // namespace

int main(int argc, char** argv) {
  // The window is never shown on a screen; run without a display unless told otherwise.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // A server process that is gone must not end the bench with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  TServerProcess small = StartServer(SmallFiles);
  TServerProcess big = StartServer(BigFiles);

  QApplication app(argc, argv);
  QTemporaryDir smallFolder, bigFolder;
  const TWalk walkSmall =
      Walk(smallFolder, "127.0.0.1:" + std::to_string(small.Port), Group, MinLines, MaxLines, OutOfRange);
  small.End();
  const TWalk walkBig =
      Walk(bigFolder, "127.0.0.1:" + std::to_string(big.Port), Group, MinLines, MaxLines, OutOfRange);
  big.End();

  bool ok = true;
  for (const auto& [walk, server] : {std::pair{&walkSmall, &small}, std::pair{&walkBig, &big}}) {
    char title[160];
    std::snprintf(title, sizeof title, "scripted server, %.1f MB group (%.1f MB of body text):",
                  MB(server->Files.size() * PartSize * PartsPerFile), MB(server->WireBytes));
    Print(title, *walk);
    ok = Check(*walk, *server) && ok;
  }
  std::printf("peak memory: %ld KB walking %.0f MB, %ld KB walking %.0f MB\n", walkSmall.PeakKB,
              MB(small.Files.size() * PartSize * PartsPerFile), walkBig.PeakKB,
              MB(big.Files.size() * PartSize * PartsPerFile));

  const std::string innGroup = qEnvironmentVariable("INN_GROUP").toStdString();
  if (!innGroup.empty()) {
    const std::string innServer = qEnvironmentVariableIsEmpty("INN_SERVER")
                                      ? "127.0.0.1:119"
                                      : qEnvironmentVariable("INN_SERVER").toStdString();
    const std::string min = qEnvironmentVariableIsEmpty("INN_MIN_LINES")
                                ? "0"
                                : qEnvironmentVariable("INN_MIN_LINES").toStdString();
    const std::string max = qEnvironmentVariableIsEmpty("INN_MAX_LINES")
                                ? "2147483647"
                                : qEnvironmentVariable("INN_MAX_LINES").toStdString();
    QTemporaryDir innFolder;
    const TWalk inn = Walk(innFolder, innServer, innGroup, min, max, 0);
    Print(("INN " + innServer + " " + innGroup + ", Lines: " + min + " to " + max + ":").c_str(), inn);
    ok = ok && inn.Done;
  }
  return ok ? 0 : 1;
}
