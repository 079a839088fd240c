#pragma once

#include <cstddef>

// operator new is replaced for the whole test program so that a test can
// count the allocations a piece of code makes: true starts counting from
// zero, false stops and gives the count since the start.
std::size_t CountAllocations(bool Count);
