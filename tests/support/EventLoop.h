#pragma once

#include <functional>

// Creates the test program's QCoreApplication once (no-op when one exists).
void EnsureApplication();

// Runs the Qt event loop until done() holds or timeoutMs has passed; returns
// done(). Bounded, so a client that never answers fails the test instead of
// hanging it; the bound is wide, since a sanitizer build on a loaded machine
// takes seconds for what a plain build does in milliseconds.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 15000);

// Lets the loop run for a while, to see that nothing more happens.
void PumpFor(int ms);
