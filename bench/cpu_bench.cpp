// What a decode window's walk costs the processor per byte, beside what a
// plain reader costs that fetches the same articles over the same number of
// connections and writes the replies to a file as they come: the floor the
// kernel sets for receiving and storing them on this machine. Both run in
// this process, one after the other, and each figure is the process's own
// user + system time (getrusage: every thread) over the walk or the read,
// per GB of the replies the plain reader received (the files the window
// stores are about 3% fewer bytes). What the last read or walk stored is
// removed before the next is measured, not within it. For each link (loopback straight to the
// server, then through link_relay with a 30 ms round trip) and each
// connection count it prints the medians (min-max) of CPU_RUNS (5) runs of
// each: processor-seconds per GB for both, their ratio, the MB/s of each, and
// what the relay took per GB meanwhile. With INN_PID set to the news
// server's process, what it and the readers it has reaped took per GB too.
//
// It needs a news server that takes several connections, such as the INN
// harness with the group of bench/inn_post.py (see walk_bench):
//
//   INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test INN_MIN_LINES=5001 INN_MAX_LINES=7000 cpu_bench
//
// CPU_CONNECTIONS (1,4,8) sets the connection counts, CPU_DEPTH (4) the
// requests in flight on each connection of both, LINK_RTT_MS (30) the relay's
// round trip, CPU_LINKS (loopback,relay) the links, CPU_COMPRESSION=0 walks
// with the server entry's compression off (a new entry has it on: through
// the relay a pool of one connection then takes its bodies compressed, the
// first of several connections its overview; straight to a server on this
// machine the connections stay plain, the server being near). The exit
// code is 0 when
// every walk and read came through whole.

#include "BenchSetup.h"
#include "PlainReader.h"
#include "RelayProcess.h"
#include "SessionWalk.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Resident memory of this process now, in KB.
long ResidentKB() { return StatusKB("VmRSS:"); }

// The most this process held once a walk's session had gone.
long AfterCloseKB = 0;

double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string Shown(const TSpread& S, const char* Format) {
  char median[32], min[32], max[32];
  std::snprintf(median, sizeof median, Format, S.Median);
  std::snprintf(min, sizeof min, Format, S.Min);
  std::snprintf(max, sizeof max, Format, S.Max);
  return std::string(median) + " (" + min + "-" + max + ")";
}

struct TSetup : TInnGroup {
  int Runs = 5;
  int Depth = 4;
  bool Compression = true;
  long ServerPid = 0;
};

// Processor-seconds per GB of a run, of this process, the relay's and the server's.
struct TRun {
  double Cpu = 0, Rate = 0, Relay = 0, Server = 0;
  bool Ok = true;
};

struct TColumns {
  std::vector<double> Cpu, Rate, Relay, Server;
  void Add(const TRun& R) {
    Cpu.push_back(R.Cpu);
    Rate.push_back(R.Rate);
    Relay.push_back(R.Relay);
    Server.push_back(R.Server);
  }
};

bool Row(const TSetup& S, const std::string& Host, std::uint16_t Port, long RelayPid, int N) {
  QTemporaryDir folder;
  TPlainReader plain(Host, Port, S.Group);
  const std::string sink = folder.path().toStdString() + "/replies";
  plain.SetSink(sink);
  const std::string server = Host + ":" + std::to_string(Port);
  TColumns reads, walks;
  std::uint64_t bytes = 0;
  bool ok = true;
  const auto measure = [&](auto Once) {
    const double relay = CpuOf(RelayPid, false), news = CpuOf(S.ServerPid, true);
    const double cpu = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    TRun r;
    r.Ok = Once();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double gb = double(bytes) / 1e9;
    r.Cpu = (ProcessCpuSeconds() - cpu) / gb;
    r.Rate = MB(bytes) / wall;
    r.Relay = (CpuOf(RelayPid, false) - relay) / gb;
    r.Server = (CpuOf(S.ServerPid, true) - news) / gb;
    return r;
  };
  // A read not counted: its bytes are the measure of every figure, and the
  // server's cache is warm for all the runs.
  const TPlainRead warm = plain.Read(S.Articles, N, S.Depth);
  if (!warm.Error.empty() || warm.Bytes == 0) {
    std::printf("  %5d | plain reader: %s\n", N, warm.Error.c_str());
    return false;
  }
  bytes = warm.Bytes;
  for (int i = 0; i < S.Runs; ++i) {
    // What the last read and the last walk stored goes before the next one
    // is measured, not within it: giving back the pages of 200 MB of files
    // is no part of receiving them.
    std::filesystem::remove(sink);
    const TRun read = measure([&] {
      const TPlainRead r = plain.Read(S.Articles, N, S.Depth);
      if (!r.Error.empty())
        std::printf("  plain reader: %s\n", r.Error.c_str());
      return r.Error.empty() && r.Bodies == std::int64_t(S.Articles.size());
    });
    reads.Add(read);
    ok = ok && read.Ok;
    std::optional<QTemporaryDir> walkFolder(std::in_place);
    const TRun walk = measure([&] {
      TWalkPlan plan{server, S.Group, S.MinLines, S.MaxLines, N, walkFolder->path().toStdString() + "/",
                     S.Depth};
      plan.Compression = S.Compression;
      const TWalk w = Walk(plan);
      AfterCloseKB = std::max(AfterCloseKB, ResidentKB());
      return w.Done;
    });
    walkFolder.reset();
    walks.Add(walk);
    ok = ok && walk.Ok;
  }
  const TSpread window = Spread(walks.Cpu), floor = Spread(reads.Cpu);
  std::printf("  %5d | %-20s | %-20s | %5.2f | %-20s | %-20s | %-16s | %-16s | %s\n", N,
              Shown(window, "%.2f").c_str(), Shown(floor, "%.2f").c_str(),
              floor.Median > 0 ? window.Median / floor.Median : 0.0,
              Shown(Spread(walks.Rate), "%.0f").c_str(), Shown(Spread(reads.Rate), "%.0f").c_str(),
              RelayPid > 0 ? Shown(Spread(walks.Relay), "%.2f").c_str() : "-",
              S.ServerPid > 0 ? Shown(Spread(walks.Server), "%.2f").c_str() : "-", ok ? "" : "FAILED");
  std::fflush(stdout);
  return ok;
}

bool Link(const TSetup& S, bool Relayed, double RoundTripMs, const std::vector<int>& Counts) {
  const std::size_t colon = S.Server.rfind(':');
  std::string host = S.Server.substr(0, colon);
  std::uint16_t port = std::uint16_t(std::stoi(S.Server.substr(colon + 1)));
  std::unique_ptr<TRelayProcess> relay;
  if (Relayed) {
    relay = std::make_unique<TRelayProcess>(S.Server, RoundTripMs, 0);
    if (relay->Port() == 0) {
      std::printf("link_relay did not start\n");
      return false;
    }
    host = "127.0.0.1";
    port = relay->Port();
    std::printf("\nthrough link_relay, %.0f ms round trip\n", RoundTripMs);
  } else {
    std::printf("\nloopback, straight to the server\n");
  }
  std::printf("  conns | window s/GB          | plain s/GB           | ratio | window MB/s          | plain "
              "MB/s           | relay s/GB (walk) | server s/GB (walk)\n");
  bool ok = true;
  for (const int n : Counts)
    ok = Row(S, host, port, relay ? relay->Pid() : 0, n) && ok;
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  TSetup s;
  if (!OpenInnGroup("cpu_bench", SeveralConnections, "0", "2147483647", s))
    return 2;
  s.Runs = std::max(1, std::stoi(Env("CPU_RUNS", "5")));
  s.Depth = std::max(1, std::stoi(Env("CPU_DEPTH", "4")));
  s.ServerPid = std::stol(Env("INN_PID", "0"));
  s.Compression = Env("CPU_COMPRESSION", "1") != "0";
  const double roundTrip = std::stod(Env("LINK_RTT_MS", "30"));
  std::vector<int> counts;
  std::istringstream list(Env("CPU_CONNECTIONS", "1,4,8"));
  for (std::string n; std::getline(list, n, ',');)
    counts.push_back(std::clamp(std::stoi(n), 1, 50));
  const std::string links = Env("CPU_LINKS", "loopback,relay");
  std::printf("%s %s, Lines: %s to %s: %zu articles in range, %d in flight on each connection, the walk's "
              "compression %s; each figure the median (min-max) of %d runs; processor-seconds of this "
              "process (user + system) per GB of "
              "the replies\n",
              s.Server.c_str(), s.Group.c_str(), s.MinLines.c_str(), s.MaxLines.c_str(), s.Articles.size(),
              s.Depth, s.Compression ? "on" : "off", s.Runs);
  const long startKB = ResidentKB();
  bool ok = true;
  if (links.find("loopback") != std::string::npos)
    ok = Link(s, false, 0, counts) && ok;
  if (links.find("relay") != std::string::npos)
    ok = Link(s, true, roundTrip, counts) && ok;
  std::printf("\nresident memory: %ld MB at the start, at most %ld MB once a walk's session had gone\n",
              startKB / 1024, AfterCloseKB / 1024);
  return ok ? 0 : 1;
}
