#pragma once

// One decode session, without a window and paced at 0, walks a group of a
// server to its end and is closed at once: what it stored by then is what
// counts, and the walk's time runs from the group's selection to the end of
// the close. Shared by the benchmarks that walk groups.

#include "walk/StartValues.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A figure in KB of this process's /proc/self/status, by its field with
// the colon ("VmRSS:", "VmHWM:"); -1 when it is not there.
long StatusKB(const char* Field);

// A 10 ms timer of the event loop that keeps how late it ever came (the
// longest the loop went without returning to its events) and how often it
// came more than Over ms late; Each, when set, runs at every tick.
struct TLateness {
  double WorstMs = 0;
  int Over = 0;
};
class QTimer;
void WatchLateness(QTimer& Tick, TLateness& Late, double OverMs, std::function<void()> Each = {});

struct TWalkPlan {
  std::string Server; // as the settings list it: host:port
  std::string Group;
  std::string MinLines, MaxLines;
  int Connections = 1;     // of the session's walk to the server
  std::string Folder;      // the download path, with its "/"; the caller removes it
  int Depth = 4;           // requests in flight on each connection
  int Seconds = 600;       // the walk is stopped then, ended or not
  bool Compression = true; // COMPRESS DEFLATE where the server offers it
  std::int64_t From = 0;   // the stored position the walk starts from (0: the group's start)
};

// The settings a session starts from, as the plan gives them.
struct TPlanValues : IStartValues {
  const TWalkPlan& Plan;
  explicit TPlanValues(const TWalkPlan& Plan) : Plan(Plan) {}
  std::string Server() const override { return Plan.Server; }
  std::string Group() const override { return Plan.Group; }
  std::string MinLines() const override { return Plan.MinLines; }
  std::string MaxLines() const override { return Plan.MaxLines; }
  std::string WaitingLines() const override { return "0"; }
  std::string DefaultExt() const override { return "bin"; }
  std::string DownloadPath() const override { return Plan.Folder; }
  std::string Pacing() const override { return "0"; }
  std::string Connections() const override { return std::to_string(Plan.Connections); }
  std::string RequestsInFlight() const override { return std::to_string(Plan.Depth); }
  bool Compression() const override { return Plan.Compression; }
};

struct TWalk {
  bool Done = false;
  bool TimedOut = false;
  double Seconds = 0; // group selected to the close
  // The group selected to the first article handed over: the overview's
  // format, the hand-over to the walk's connections and the blocks of the
  // overview before the first article in range.
  double ToFirstSeconds = 0;
  std::int64_t ToFirstArticles = 0; // the articles passed over until then
  double FetchSeconds = 0;          // the first article handed over to the walk's end
  std::int64_t Fetched = 0;
  std::uint64_t Decoded = 0; // bytes of the files stored
  int Files = 0;
  double WorstLateMs = 0; // of the 10 ms timer
  int LateOver100 = 0;
  long PeakKB = 0;
  // When the walk ended or was stopped: the articles its fetcher held, and
  // its position.
  std::int64_t Held = 0;
  std::int64_t Position = 0;
  double CpuSeconds = 0;           // of the session's thread, user and system, over Seconds
  double ProcessCpuSeconds = 0;    // of the whole process (getrusage), over Seconds
  bool Compressed = false;         // the walk said its transfers were compressed
  std::vector<std::string> Stored; // paths of the files stored
};

// Needs a QCoreApplication.
TWalk Walk(const TWalkPlan& Plan);
void PrintWalk(const std::string& Title, const TWalk& W);
double MB(std::uint64_t Bytes);
