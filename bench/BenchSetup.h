#pragma once

// What the benchmarks that walk a news server's group share: their settings
// from the environment, the group's articles in range, the processor time
// of the processes beside them, and the spread of a figure over runs.

#include <cstdint>
#include <string>
#include <vector>

// The variable's value; Default when it is unset or empty.
std::string Env(const char* Name, const char* Default);

struct TSpread {
  double Median = 0, Min = 0, Max = 0;
};

// The median, least and most of a figure's runs; zeros when there are none.
TSpread Spread(std::vector<double> Values);

// User and system time of a process so far, with its reaped children's
// when Children is set; 0 when it cannot be read.
double CpuOf(long Pid, bool Children);

// The group a benchmark walks: INN_SERVER (127.0.0.1:119 unless set),
// INN_GROUP, INN_MIN_LINES and INN_MAX_LINES.
struct TInnGroup {
  std::string Server, Group, MinLines, MaxLines;
  // Those whose Lines: lies in range, by the overview.
  std::vector<std::int64_t> Articles;
};

// What the benches that spread a walk over connections want of a group.
inline constexpr const char* SeveralConnections =
    "a yEnc group of a news server that takes several connections; see walk_bench for the INN harness";

// Reads the group's settings, with MinLines and MaxLines as the range's
// defaults, and lists its articles in range. False, with the reason on
// stderr under Bench's name, when INN_GROUP is unset (Wanted says what kind
// of group to set it to) or when nothing lies in range.

bool OpenInnGroup(const char* Bench, const char* Wanted, const char* MinLines, const char* MaxLines,
                  TInnGroup& Group);
