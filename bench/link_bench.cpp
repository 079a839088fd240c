// A decode window and plain readers fetch a yEnc group of a news server
// through a simulated link (link_relay, a process of its own): a 30 ms round
// trip without a cap, then with each connection capped at 10 MB/s, each
// with 1, 4 and 8 connections. It prints the MB/s of files the window
// stored, walking the group to its end and closing, beside what plain
// readers fetch through the same link: N connections each asking for one
// BODY at a time, and N connections with 4 BODY requests in flight each.
// What the links can carry: with the cap, N times the cap; without, what
// plain readers with 16 requests in flight on each connection got through
// the relay in the same run. Plain readers count the bytes of the replies;
// the files they carry are about 3% fewer. "fetching" is the window's MB/s
// from its first article to the walk's end: without what a walk pays once
// at its start (the group and the overview's format on the window's own
// connection, its QUIT, the connects and GROUPs of the pool, the first
// overview block), which plain readers do before their clock starts.
//
// It needs a news server that takes several connections, such as the INN
// harness with the group of bench/inn_post.py (see walk_bench):
//
//   INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test INN_MIN_LINES=5001 INN_MAX_LINES=7000 link_bench
//
// LINK_RTT_MS (30) and LINK_RATE (10000000 bytes/s) set the links, LINK_RUNS
// (3) the runs of which each figure is the median; the spread follows it.
// LINK_WINDOW_DEPTH (4, the window's default) sets the window's requests in
// flight on each connection; LINK_CONNECTIONS (1,4,8) the connection counts.
// The exit code is 0 when every walk and read came through whole.

#include "BenchSetup.h"
#include "PlainReader.h"
#include "RelayProcess.h"
#include "SessionWalk.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<int> ConnectionCounts = {1, 4, 8};
const std::vector<int> WindowConnections = {1, 4, 8};
// The requests in flight on each connection of the pipelined plain readers,
// as a window keeps by default, and as many as it takes to fill a link.
constexpr int Depth = 4;
constexpr int FillDepth = 16;

struct TFigure {
  double Rate = 0;     // MB/s
  double Fetching = 0; // the window's MB/s from its first article on
  bool Ok = true;
  double Busy = 0; // the window thread's share of a processor
  long PeakKB = 0; // the window's peak memory (VmHWM)
};

// A measurement run Runs times: its MB/s and the share of a processor the
// relay took meanwhile.
struct TMeasured {
  TSpread Rate{}, Fetching{}, Busy{}, Load{};
  bool Ok = true;
  long PeakKB = 0; // the highest of the runs
};

TMeasured Measure(int Runs, const TRelayProcess& Relay, const std::function<TFigure()>& Once) {
  std::vector<double> rates, fetching, busy, loads;
  TMeasured m;
  for (int i = 0; i < Runs; ++i) {
    const double cpu = Relay.CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    TFigure f = Once();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(f.Rate);
    fetching.push_back(f.Fetching);
    busy.push_back(f.Busy);
    loads.push_back((Relay.CpuSeconds() - cpu) / wall);
    m.Ok = m.Ok && f.Ok;
    m.PeakKB = std::max(m.PeakKB, f.PeakKB);
  }
  m.Rate = Spread(rates);
  m.Fetching = Spread(fetching);
  m.Busy = Spread(busy);
  m.Load = Spread(loads);
  return m;
}

std::string Shown(const TMeasured& M, int Runs) {
  char text[64];
  if (Runs > 1)
    std::snprintf(text, sizeof text, "%6.1f (%.1f-%.1f)", M.Rate.Median, M.Rate.Min, M.Rate.Max);
  else
    std::snprintf(text, sizeof text, "%6.1f", M.Rate.Median);
  return std::string(text) + (M.Ok ? "" : " FAILED");
}

struct TSetup : TInnGroup {
  int Runs = 3;
  int WindowDepth = Depth;
};

// The figures of one connection count on one link.
struct TRow {
  int Connections = 0;
  bool WindowRuns = false;
  TMeasured Window, OneAtATime, Pipelined, Filled;
};

TRow MeasureRow(const TSetup& S, const TRelayProcess& Relay, double Rate, int N) {
  const TPlainReader plain("127.0.0.1", Relay.Port(), S.Group);
  const auto read = [&](int depth) {
    return [&, depth] {
      const TPlainRead r = plain.Read(S.Articles, N, depth);
      if (!r.Error.empty())
        std::printf("  plain reader: %s\n", r.Error.c_str());
      return TFigure{.Rate = r.Seconds > 0 ? MB(r.Bytes) / r.Seconds : 0,
                     .Ok = r.Error.empty() && r.Bodies == std::int64_t(S.Articles.size())};
    };
  };
  TRow row;
  row.Connections = N;
  row.OneAtATime = Measure(S.Runs, Relay, read(1));
  row.Pipelined = Measure(S.Runs, Relay, read(Depth));
  if (Rate > 0)
    row.Filled.Rate = {N * Rate / 1e6, N * Rate / 1e6, N * Rate / 1e6};
  else
    row.Filled = Measure(S.Runs, Relay, read(FillDepth));
  row.WindowRuns = std::count(WindowConnections.begin(), WindowConnections.end(), N) > 0;
  if (row.WindowRuns)
    row.Window = Measure(S.Runs, Relay, [&] {
      QTemporaryDir folder;
      const std::string server = "127.0.0.1:" + std::to_string(Relay.Port());
      const TWalk w = Walk(
          {server, S.Group, S.MinLines, S.MaxLines, N, folder.path().toStdString() + "/", S.WindowDepth});
      return TFigure{.Rate = w.Seconds > 0 ? MB(w.Decoded) / w.Seconds : 0,
                     .Fetching = w.FetchSeconds > 0 ? MB(w.Decoded) / w.FetchSeconds : 0,
                     .Ok = w.Done,
                     .Busy = w.Seconds > 0 ? w.CpuSeconds / w.Seconds : 0,
                     .PeakKB = w.PeakKB};
    });
  return row;
}

void PrintRow(const TRow& R, int Runs, bool Capped) {
  char share[16] = "     -", busy[16] = "  -", peak[24] = "   -", fetching[16] = "     -";
  if (R.WindowRuns) {
    std::snprintf(fetching, sizeof fetching, "%6.1f", R.Window.Fetching.Median);
    std::snprintf(share, sizeof share, "%6.2f", R.Window.Rate.Median / R.Filled.Rate.Median);
    std::snprintf(busy, sizeof busy, "%3.0f%%", 100 * R.Window.Busy.Median);
    std::snprintf(peak, sizeof peak, "%4ld", R.Window.PeakKB / 1024);
  }
  const double load = std::max(
      {R.Window.Load.Median, R.OneAtATime.Load.Median, R.Pipelined.Load.Median, R.Filled.Load.Median});
  std::printf("  %5d | %-20s | %8s | %-20s | %-20s | %-20s | %14s | %s, %.0f%% at most | %s\n", R.Connections,
              R.WindowRuns ? Shown(R.Window, Runs).c_str() : "     -", fetching,
              Shown(R.OneAtATime, Runs).c_str(), Shown(R.Pipelined, Runs).c_str(),
              Shown(R.Filled, Capped ? 1 : Runs).c_str(), share, busy, 100 * load, peak);
  std::fflush(stdout); // a row comes every minute or so: show it
}

// One link: every connection count, the window and the plain readers.
bool Link(const TSetup& S, double RoundTripMs, double Rate) {
  TRelayProcess relay(S.Server, RoundTripMs, Rate);
  if (relay.Port() == 0) {
    std::printf("link_relay did not start\n");
    return false;
  }
  const double measured = TPlainReader("127.0.0.1", relay.Port(), S.Group).RoundTripMs();
  if (Rate > 0)
    std::printf("\n%.0f ms round trip (%.1f ms measured), %.1f MB/s per connection; the links carry N times "
                "that\n",
                RoundTripMs, measured, Rate / 1e6);
  else
    std::printf(
        "\n%.0f ms round trip (%.1f ms measured), no cap; the links carry what plain readers with %d in "
        "flight got\n",
        RoundTripMs, measured, FillDepth);
  std::printf("  conns | window, files        | fetching | plain, 1 at a time   | plain, %d in flight   | "
              "links carry "
              "         | window / links | processor: window, relay | window VmHWM MiB\n",
              Depth);
  bool ok = true;
  for (const int n : ConnectionCounts) {
    const TRow row = MeasureRow(S, relay, Rate, n);
    PrintRow(row, S.Runs, Rate > 0);
    ok = ok && row.OneAtATime.Ok && row.Pipelined.Ok && row.Filled.Ok && (!row.WindowRuns || row.Window.Ok);
  }
  std::printf("  the relay's peak memory: %ld KB\n", relay.PeakKB());
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TSetup s;
  if (!OpenInnGroup("link_bench", SeveralConnections, "0", "2147483647", s))
    return 2;
  s.Runs = std::max(1, std::stoi(Env("LINK_RUNS", "3")));
  s.WindowDepth = std::max(1, std::stoi(Env("LINK_WINDOW_DEPTH", "4")));
  const double roundTrip = std::stod(Env("LINK_RTT_MS", "30"));
  const double rate = std::stod(Env("LINK_RATE", "10000000"));
  std::istringstream counts(Env("LINK_CONNECTIONS", "1,4,8"));
  ConnectionCounts.clear();
  for (std::string n; std::getline(counts, n, ',');)
    ConnectionCounts.push_back(std::clamp(std::stoi(n), 1, 50));
  std::printf("%s %s, Lines: %s to %s: %zu articles in range; each figure the median (min-max) of %d runs\n",
              s.Server.c_str(), s.Group.c_str(), s.MinLines.c_str(), s.MaxLines.c_str(), s.Articles.size(),
              s.Runs);
  std::printf("window (%d in flight on each connection): the group walked to its end and the window closed, "
              "MB/s of the files stored; plain readers: MB/s of the replies\n",
              s.WindowDepth);
  bool ok = Link(s, roundTrip, 0);
  ok = Link(s, roundTrip, rate) && ok;
  return ok ? 0 : 1;
}
