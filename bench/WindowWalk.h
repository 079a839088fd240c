#pragma once

// One decode window, offscreen and paced at 0, walks a group of a server to
// its end and is closed at once: what it stored by then is what counts, and
// the walk's time runs from the group's selection to the end of the close.
// Shared by the benchmarks that walk groups.

#include <cstdint>
#include <string>
#include <vector>

struct TWalkPlan {
  std::string Server; // as the settings list it: host:port
  std::string Group;
  std::string MinLines, MaxLines;
  // Connections of the window to its server. The window opens one until
  // its start values carry a count; the plan's goes out through them then.
  int Connections = 1;
  std::string Folder;            // the download path, with its "/"; the caller removes it
  std::int64_t OutOfRangeTo = 0; // overview blocks up to this article count as out of range
};

struct TWalk {
  bool Done = false;
  bool TimedOut = false;
  double Seconds = 0;        // group selected to the close
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
  double CpuSeconds = 0;           // of the window's thread, user and system, over Seconds
  std::vector<std::string> Stored; // paths of the files stored
};

// Needs a QApplication.
TWalk Walk(const TWalkPlan& Plan);
void PrintWalk(const std::string& Title, const TWalk& W);
double MB(std::uint64_t Bytes);
