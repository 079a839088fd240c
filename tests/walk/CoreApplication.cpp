#include "tests/support/TestApplication.h"

#include <QCoreApplication>

namespace {

// The walk's tests need an event loop, never a widget.
[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QCoreApplication>);

} // namespace
