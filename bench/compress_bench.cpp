// A decode session walks a big group of a news server through a simulated
// link (link_relay: a 30 ms round trip, each connection capped at 10 MB/s,
// as a provider's), once with compressed transfers (COMPRESS DEFLATE, where
// the server offers it) and once without, in turns, in the same run:
//
// - the overview scan: the whole group with a Lines: range that no article
//   lies in, so the walk reads the overview to the group's end and fetches
//   nothing: the scan's time, and the bytes the link carried;
// - the yEnc files: from the first article in the range the group's files
//   are built around (INN_MIN_LINES to INN_MAX_LINES) to the group's end:
//   the walk's time, the MB/s of the files stored, and the bytes the link
//   carried.
//
// Beside them, the time the server took to give a plain reader on
// loopback the group's whole overview at the start: the floor no scan goes
// below, whatever the link. The link's bytes are what the relay read from both sides of every
// connection, so they count what crossed the link whichever way it was
// sent. It needs a news server that offers COMPRESS DEFLATE, such as the
// INN harness, with a group of 200,000 small articles and the 200 MB of
// yEnc files of bench/inn_post.py:
//
//   /usr/bin/python3 tests/inn/inn_harness.py start --dir /tmp/inn --yenc
//   /usr/bin/python3 bench/inn_post.py --port <its port> --small 200000
//   INN_SERVER=127.0.0.1:<port> INN_GROUP=vostel.test compress_bench
//
// COMPRESS_RUNS (3) sets the runs of which each figure is the median (the
// spread follows it), COMPRESS_CONNECTIONS (4) the walk's connections,
// LINK_RTT_MS (30) and LINK_RATE (10000000 bytes/s) the link, and
// INN_MIN_LINES / INN_MAX_LINES (5001 / 7000) the yEnc parts' range. The exit
// code is 0 when every walk reached the group's end, each compressed when
// asked to be and plain when not, and the yEnc walks stored the same bytes.

#include "BenchSetup.h"
#include "RelayProcess.h"
#include "SessionWalk.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// One way of walking, over its runs.
struct TWay {
  std::vector<double> Seconds, LinkMB, StoredMB, Cpu;
  bool Ok = true;
};

// Walks Plan through the relay, compressed or not; the figures go to Way.
void WalkOnce(TWalkPlan Plan, const TRelayProcess& Relay, bool Compressed, TWay& Way) {
  QTemporaryDir folder;
  Plan.Folder = folder.path().toStdString() + "/";
  Plan.Compression = Compressed;
  const std::uint64_t before = Relay.BytesCarried();
  const TWalk w = Walk(Plan);
  Way.Seconds.push_back(w.Seconds);
  Way.LinkMB.push_back(MB(Relay.BytesCarried() - before));
  Way.StoredMB.push_back(MB(w.Decoded));
  Way.Cpu.push_back(w.CpuSeconds);
  if (!w.Done || w.Compressed != Compressed) {
    std::printf("  (a %s walk %s)\n", Compressed ? "compressed" : "plain",
                !w.Done ? "did not reach the group's end" : "was not what it was asked to be");
    Way.Ok = false;
  }
}

void Print(const char* Title, const TWay& Plain, const TWay& Compressed, bool Files) {
  const auto row = [Files](const char* How, const TWay& W) {
    const TSpread s = Spread(W.Seconds), link = Spread(W.LinkMB), stored = Spread(W.StoredMB);
    std::printf("  %-10s | %7.2f s (%.2f-%.2f) | %9.1f MB (%.1f-%.1f)", How, s.Median, s.Min, s.Max,
                link.Median, link.Min, link.Max);
    if (Files)
      std::printf(" | %6.1f MB stored, %5.1f MB/s", stored.Median,
                  s.Median > 0 ? stored.Median / s.Median : 0);
    std::printf(" | %5.2f s\n", Spread(W.Cpu).Median);
  };
  std::printf("%s\n  %-10s | %-22s | %-24s%s | session thread's processor time\n", Title, "", "time",
              "the link carried", Files ? " | files                       " : "");
  row("plain", Plain);
  row("compressed", Compressed);
  const double t = Spread(Compressed.Seconds).Median, l = Spread(Compressed.LinkMB).Median;
  std::printf("  compressed: %.2fx as fast, %.2fx fewer bytes on the link\n",
              t > 0 ? Spread(Plain.Seconds).Median / t : 0, l > 0 ? Spread(Plain.LinkMB).Median / l : 0);
  std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int runs = std::max(1, std::stoi(Env("COMPRESS_RUNS", "3")));
  const int connections = std::clamp(std::stoi(Env("COMPRESS_CONNECTIONS", "4")), 1, 50);
  const double roundTrip = std::stod(Env("LINK_RTT_MS", "30"));
  const double rate = std::stod(Env("LINK_RATE", "10000000"));

  // The time the overview takes a plain reader, without the link.
  const auto asked = std::chrono::steady_clock::now();
  TInnGroup inn;
  if (!OpenInnGroup(
          "compress_bench",
          "a big group of a news server that offers COMPRESS DEFLATE; see the comment at the top of "
          "bench/compress_bench.cpp",
          "5001", "7000", inn))
    return 2;
  const std::string &server = inn.Server, &group = inn.Group, &minLines = inn.MinLines,
                    &maxLines = inn.MaxLines;
  const std::vector<std::int64_t>& parts = inn.Articles;
  const double floor = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  TRelayProcess relay(server, roundTrip, rate);
  if (relay.Port() == 0) {
    std::printf("link_relay did not start\n");
    return 1;
  }
  const std::string linked = "127.0.0.1:" + std::to_string(relay.Port());
  std::printf("%s %s through a %.0f ms link capped at %.1f MB/s per connection, %d connections; each figure "
              "the median (min-max) of %d runs, plain and compressed in turns\n",
              server.c_str(), group.c_str(), roundTrip, rate / 1e6, connections, runs);

  // Nothing lies in this range: the overview is read to the group's end.
  TWalkPlan scan;
  scan.Server = linked;
  scan.Group = group;
  scan.MinLines = "2000000000";
  scan.MaxLines = "2100000000";
  scan.Connections = connections;
  TWay scanPlain, scanCompressed;
  for (int i = 0; i < runs; ++i) {
    WalkOnce(scan, relay, false, scanPlain);
    WalkOnce(scan, relay, true, scanCompressed);
  }
  Print("the overview scan of the whole group, nothing in range:", scanPlain, scanCompressed, false);
  std::printf(
      "  the server gave a plain reader the group's whole overview in %.2f s on loopback, without the "
      "link: what no scan goes below\n",
      floor);

  TWalkPlan files = scan;
  files.MinLines = minLines;
  files.MaxLines = maxLines;
  // The files are the run of articles in range at the group's end; what
  // lies in range before them (the harness's own corpus) is not walked.
  std::size_t first = parts.size() - 1;
  while (first > 0 && parts[first - 1] == parts[first] - 1)
    --first;
  files.From = parts[first];
  TWay filesPlain, filesCompressed;
  for (int i = 0; i < runs; ++i) {
    WalkOnce(files, relay, false, filesPlain);
    WalkOnce(files, relay, true, filesCompressed);
  }
  std::printf("\n");
  Print(("the yEnc files, from article " + std::to_string(parts[first]) + " on (" +
         std::to_string(parts.size() - first) + " articles in range):")
            .c_str(),
        filesPlain, filesCompressed, true);

  const bool same = Spread(filesPlain.StoredMB).Min == Spread(filesCompressed.StoredMB).Max &&
                    Spread(filesPlain.StoredMB).Max == Spread(filesCompressed.StoredMB).Min;
  if (!same)
    std::printf("  (the walks stored different amounts)\n");
  return scanPlain.Ok && scanCompressed.Ok && filesPlain.Ok && filesCompressed.Ok && same ? 0 : 1;
}
