#pragma once

#include <cstddef>

// operator new is replaced for the whole test program that links
// Allocations.cpp, so that a test can see what a piece of code allocates.
// true starts from zero, false stops and gives what was seen since the
// start: the number of allocations, or the largest single one.
std::size_t CountAllocations(bool Count);
std::size_t WatchAllocations(bool Watch);
