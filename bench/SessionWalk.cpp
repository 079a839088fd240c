#include "SessionWalk.h"

#include "platform/Guard.h"
#include "walk/DecodeSession.h"
#include "walk/ServerAddress.h"
#include "walk/StartValues.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

// Opens to the bench the walk's articles and how the walk ended.
class TBenchSession : public TDecodeSession {
public:
  using TDecodeSession::FArticleStart;
  using TDecodeSession::FWalk;
  using TDecodeSession::FWalkDone;
};

// Peak resident memory of this process since the last reset, in KB.
long PeakKB() { return StatusKB("VmHWM:"); }

// Starts the peak over from what is resident now (Linux 4.0 on), once the
// heap has given back what earlier walks freed: their peak is not this one's.
void ResetPeak() {
  ::malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The session's thread alone: Qt's helper threads are not the walk's work.
double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Every thread of the process, user and system.
double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

long StatusKB(const char* Field) {
  const std::size_t length = std::strlen(Field);
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, length, Field) == 0)
      return std::atol(line.c_str() + length);
  return -1;
}

double MB(std::uint64_t Bytes) { return double(Bytes) / 1e6; }

void WatchLateness(QTimer& Tick, TLateness& Late, double OverMs, std::function<void()> Each) {
  Tick.setTimerType(Qt::PreciseTimer);
  Tick.setInterval(10);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(&Tick, &QTimer::timeout,
                   [&Late, OverMs, Each = std::move(Each), clock, last = qint64(-1)]() mutable {
                     const qint64 now = clock->nsecsElapsed();
                     if (last >= 0) {
                       const double late = double(now - last) / 1e6 - 10;
                       Late.WorstMs = std::max(Late.WorstMs, late);
                       Late.Over += late > OverMs;
                     }
                     last = now;
                     if (Each)
                       Each();
                   });
}

// The walk's time runs from the group's selection, when the walk's range
// is known; it ends by itself (done, or stopped for a reason the status
// gives), and the close follows at once.
TWalk Walk(const TWalkPlan& Plan) {
  TPlanValues values(Plan);
  StartValues = &values;
  TWalk walk;
  const std::string session = Plan.Folder + ServerFolderName(Plan.Server) + "/" + Plan.Group + "/";
  if (Plan.From > 0) {
    std::filesystem::create_directories(session);
    std::ofstream(session + "dati.ini") << "[READED]\r\nLAST=" << Plan.From << "\r\n";
  }
  ResetPeak();
  TBenchSession child;
  std::vector<std::string> saved;
  child.OnFileSaved = [&](TObject*, const std::string& name) { saved.push_back(name); };
  child.OnLog = [&](TObject*, const std::string& line) {
    walk.Compressed = walk.Compressed || line.rfind("Compressed transfers with ", 0) == 0;
  };
  QEventLoop loop;
  QElapsedTimer clock;
  qint64 groupAt = -1, firstAt = -1;
  double cpuFrom = 0, processFrom = 0;
  const TRequestDone done = child.Nntp.OnRequestDone;
  child.Nntp.OnRequestDone = [&](TObject* sender, TNntpRequest type, std::uint16_t error) {
    if (type == nntpGroup && groupAt < 0) {
      groupAt = clock.nsecsElapsed();
      cpuFrom = ThreadCpuSeconds();
      processFrom = ProcessCpuSeconds();
    }
    done(sender, type, error);
  };
  const TArticleBegin begin = child.FWalk.OnArticleBegin;
  child.FWalk.OnArticleBegin = [&](TObject* sender, std::int64_t number, std::int64_t lines) {
    if (firstAt < 0) {
      firstAt = clock.nsecsElapsed();
      walk.ToFirstSeconds = double(firstAt - groupAt) / 1e9;
      walk.ToFirstArticles = number - child.FArticleStart;
    }
    begin(sender, number, lines);
  };
  const TArticleEnd end = child.FWalk.OnArticleEnd;
  child.FWalk.OnArticleEnd = [&](TObject* sender, std::int64_t number, std::uint16_t error) {
    walk.Fetched += error == 0;
    end(sender, number, error);
  };
  child.OnWalkEnded = [&](TObject*, TWalkEnd) {
    walk.Done = child.FWalkDone;
    if (firstAt >= 0)
      walk.FetchSeconds = double(clock.nsecsElapsed() - firstAt) / 1e9;
    loop.quit();
  };

  QTimer tick;
  TLateness late;
  WatchLateness(tick, late, 100);
  QTimer::singleShot(Plan.Seconds * 1000, &loop, [&] {
    walk.TimedOut = true;
    loop.quit();
  });

  clock.start();
  tick.start();
  Guarded([&] { child.Start(); });
  loop.exec();
  tick.stop();
  walk.WorstLateMs = late.WorstMs;
  walk.LateOver100 = late.Over;
  walk.Held = std::int64_t(child.FWalk.Fetcher().Pending());
  walk.Position = child.FWalk.Position();
  // A file whose last part came with the walk's end may be stored only now,
  // as the session finishes its checks on the way out: it counts, and so
  // does the time it takes.
  child.Close();
  if (groupAt >= 0) {
    walk.Seconds = double(clock.nsecsElapsed() - groupAt) / 1e9;
    walk.CpuSeconds = ThreadCpuSeconds() - cpuFrom;
    walk.ProcessCpuSeconds = ProcessCpuSeconds() - processFrom;
  }
  walk.PeakKB = PeakKB();

  for (const std::string& name : saved) {
    const std::string path = session + name;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    walk.Decoded += error ? 0 : size;
    walk.Stored.push_back(path);
  }
  walk.Files = int(saved.size());
  StartValues = nullptr;
  return walk;
}

void PrintWalk(const std::string& Title, const TWalk& W) {
  std::printf("%s\n", Title.c_str());
  if (W.TimedOut)
    std::printf("  (stopped at its time limit: the walk did not end)\n");
  else if (!W.Done)
    std::printf("  (the walk did not reach the group's end)\n");
  std::printf("  to the first article in range: %.3f s, %lld articles passed over by the overview\n",
              W.ToFirstSeconds, static_cast<long long>(W.ToFirstArticles));
  std::printf("  fetched: %lld articles in %.3f s; %d files, %.1f MB stored = %.1f MB/s\n",
              static_cast<long long>(W.Fetched), W.FetchSeconds, W.Files, MB(W.Decoded),
              W.FetchSeconds > 0 ? MB(W.Decoded) / W.FetchSeconds : 0.0);
  std::printf("  whole walk, to the close: %.3f s = %.1f MB/s stored\n", W.Seconds,
              W.Seconds > 0 ? MB(W.Decoded) / W.Seconds : 0.0);
  std::printf("  the session thread's processor time: %.3f s, %.0f%% of the walk\n", W.CpuSeconds,
              W.Seconds > 0 ? 100 * W.CpuSeconds / W.Seconds : 0.0);
  std::printf("  peak memory (VmHWM): %ld KB\n", W.PeakKB);
  std::printf("  event loop: worst lateness of a 10 ms timer %.1f ms; %d stretches over 100 ms\n",
              W.WorstLateMs, W.LateOver100);
}
