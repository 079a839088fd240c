// Several decode windows walking at once, as a user opens them on one
// group (each into a folder of its own): how late a 10 ms timer of the
// program's one event loop ever came while they walked (the longest the
// loop went without returning to its events), how many of its turns came
// more than 50 ms late, the MB/s they stored together, and the process's
// resident memory before they opened, at its peak and once every window had
// closed. WINDOWS (8) windows of WINDOW_CONNECTIONS (4) connections with
// WINDOW_DEPTH (4) requests in flight each, WINDOW_RUNS (3) times; it
// prints each run and the medians (min-max).
//
// It needs a yEnc group of a news server that takes that many connections,
// such as the INN harness with the group of bench/inn_post.py (see
// walk_bench), whose limit of connections a client may open must allow
// them:
//
//   INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test INN_MIN_LINES=5001 INN_MAX_LINES=7000 windows_bench
//
// The exit code is 0 when every window walked the group to its end.

#include "BenchSetup.h"
#include "SessionWalk.h"

#include "platform/Guard.h"
#include "walk/DecodeSession.h"
#include "walk/ServerAddress.h"
#include "walk/StartValues.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

// A window's plan, and its settings as they read it.
struct TWindowPlan {
  TWalkPlan Plan;
  TPlanValues Values{Plan};
};

class TBenchSession : public TDecodeSession {
public:
  using TDecodeSession::FWalkDone;
};

struct TRun {
  double WorstLateMs = 0;
  int LateOver50 = 0;
  double MBs = 0;
  long StartKB = 0, PeakKB = 0, AfterKB = 0;
  bool AllDone = true;
};

TRun Run(const TInnGroup& Group, int Windows, int Connections, int Depth) {
  TRun run;
  ::malloc_trim(0);
  run.StartKB = StatusKB("VmRSS:");
  QTemporaryDir dir;
  std::vector<std::unique_ptr<TWindowPlan>> plans;
  std::vector<std::unique_ptr<TBenchSession>> windows;
  std::vector<std::string> saved;
  int ended = 0;
  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  for (int w = 0; w < Windows; ++w) {
    TWindowPlan& plan = *plans.emplace_back(std::make_unique<TWindowPlan>());
    plan.Plan = {Group.Server,   Group.Group, Group.MinLines,
                 Group.MaxLines, Connections, dir.path().toStdString() + "/w" + std::to_string(w) + "/",
                 Depth};
    plan.Plan.Compression = false;
    windows.push_back(std::make_unique<TBenchSession>());
    TBenchSession& child = *windows.back();
    const std::string folder = plan.Plan.Folder + ServerFolderName(Group.Server) + "/" + Group.Group + "/";
    child.OnFileSaved = [&saved, folder](TObject*, const std::string& name) {
      saved.push_back(folder + name);
    };
    child.OnWalkEnded = [&, w](TObject*, TWalkEnd) {
      run.AllDone = run.AllDone && windows[std::size_t(w)]->FWalkDone;
      if (++ended == Windows)
        loop.quit();
    };
    // The settings are read as the window starts.
    StartValues = &plan.Values;
    Guarded([&] { child.Start(); });
  }
  StartValues = nullptr;

  QTimer tick;
  TLateness late;
  WatchLateness(tick, late, 50, [&] { run.PeakKB = std::max(run.PeakKB, StatusKB("VmRSS:")); });
  QTimer::singleShot(600 * 1000, &loop, [&] {
    run.AllDone = false;
    loop.quit();
  });
  tick.start();
  if (ended < Windows)
    loop.exec();
  tick.stop();
  run.WorstLateMs = late.WorstMs;
  run.LateOver50 = late.Over;
  for (auto& child : windows)
    child->Close();
  const double seconds = double(clock.nsecsElapsed()) / 1e9;
  std::uintmax_t bytes = 0;
  for (const std::string& path : saved) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    bytes += error ? 0 : size;
  }
  run.MBs = MB(bytes) / seconds;
  windows.clear();
  run.AfterKB = StatusKB("VmRSS:");
  return run;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TInnGroup group;
  if (!OpenInnGroup("windows_bench", SeveralConnections, "0", "2147483647", group))
    return 2;
  const int windows = std::max(1, std::stoi(Env("WINDOWS", "8")));
  const int connections = std::max(1, std::stoi(Env("WINDOW_CONNECTIONS", "4")));
  const int depth = std::max(1, std::stoi(Env("WINDOW_DEPTH", "4")));
  const int runs = std::max(1, std::stoi(Env("WINDOW_RUNS", "3")));
  std::printf("%s %s, Lines: %s to %s: %zu articles in range; %d windows of %d connections, %d in flight on "
              "each, at once\n",
              group.Server.c_str(), group.Group.c_str(), group.MinLines.c_str(), group.MaxLines.c_str(),
              group.Articles.size(), windows, connections, depth);
  std::vector<double> late, over, rate, start, peak, after;
  bool done = true;
  for (int r = 0; r < runs; ++r) {
    const TRun run = Run(group, windows, connections, depth);
    std::printf(
        "  run %d: loop late by at most %.1f ms, %d turns over 50 ms late; %.0f MB/s stored; resident "
        "%ld MB before, %ld MB at most, %ld MB after every window closed%s\n",
        r + 1, run.WorstLateMs, run.LateOver50, run.MBs, run.StartKB / 1024, run.PeakKB / 1024,
        run.AfterKB / 1024, run.AllDone ? "" : " (not every window walked to the end)");
    std::fflush(stdout);
    done = done && run.AllDone;
    late.push_back(run.WorstLateMs);
    over.push_back(run.LateOver50);
    rate.push_back(run.MBs);
    start.push_back(double(run.StartKB) / 1024);
    peak.push_back(double(run.PeakKB) / 1024);
    after.push_back(double(run.AfterKB) / 1024);
  }
  const auto show = [](const char* what, const std::vector<double>& v, const char* unit) {
    const TSpread s = Spread(v);
    std::printf("  %s: %.1f%s (%.1f-%.1f)\n", what, s.Median, unit, s.Min, s.Max);
  };
  std::printf("medians of %d runs:\n", runs);
  show("loop late by at most", late, " ms");
  show("turns over 50 ms late", over, "");
  show("stored together", rate, " MB/s");
  show("resident before", start, " MB");
  show("resident at most", peak, " MB");
  show("resident after every window closed", after, " MB");
  return done ? 0 : 1;
}
