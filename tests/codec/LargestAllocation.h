#pragma once

#include <cstddef>

// operator new is replaced for the whole test program so that a test can
// see the largest single allocation a piece of code makes: true starts
// watching, false stops and gives the largest size since the start.
std::size_t WatchAllocations(bool Watch);
