#pragma once

// What a fuzz target holds true of every input: a broken one stops the run
// at once, with the input kept as a crasher.

#include <cstdlib>

inline void Check(bool ok) {
  if (!ok)
    std::abort();
}
