#pragma once

#include <gtest/gtest.h>

#include <memory>

// A test binary's Qt application: made before the first test and gone after
// the last, before the statics that its clean-up still needs (font caches).
// A test file registers it once:
//   [[maybe_unused]] auto* const Environment =
//       ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QApplication>);
template <class TApplication> class TApplicationEnvironment : public ::testing::Environment {
public:
  void SetUp() override { App = std::make_unique<TApplication>(Argc, Argv); }
  void TearDown() override { App.reset(); }

private:
  int Argc = 1;
  char Name[13] = "vostel_tests";
  char* Argv[2] = {Name, nullptr};
  std::unique_ptr<TApplication> App;
};
