#include "platform/HiddenWindow.h"
#include "platform/Exceptions.h"
#include "platform/Guard.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class HiddenWindow : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "platform_tests";
      static char* argv[] = {name, nullptr};
      static QCoreApplication app(argc, argv);
    }
  }
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
  }
  void TearDown() override { SetErrorDisplay(Previous); }
  static void Pump() {
    for (int i = 0; i < 10; ++i)
      QCoreApplication::processEvents();
  }

  std::vector<std::string> Errors;
  TErrorDisplay Previous;
};

} // namespace

TEST_F(HiddenWindow, DeliversInPostingOrderAndNeverInsidePost) {
  std::vector<int> seen;
  THiddenWindow w([&](unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    seen.push_back(int(msg));
    EXPECT_EQ(wParam, msg * 10);
    EXPECT_EQ(lParam, -std::intptr_t(msg));
  });
  for (unsigned m = 1; m <= 5; ++m)
    w.PostMessage(m, m * 10, -std::intptr_t(m));
  EXPECT_TRUE(seen.empty());
  Pump();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(HiddenWindow, AMessagePostedInsideAHandlerRunsAfterItReturns) {
  std::vector<std::string> trace;
  std::unique_ptr<THiddenWindow> w;
  w = std::make_unique<THiddenWindow>([&](unsigned msg, std::uintptr_t, std::intptr_t) {
    trace.push_back("enter " + std::to_string(msg));
    if (msg == 1)
      w->PostMessage(3);
    trace.push_back("leave " + std::to_string(msg));
  });
  w->PostMessage(1);
  w->PostMessage(2);
  Pump();
  EXPECT_EQ(trace,
            (std::vector<std::string>{"enter 1", "leave 1", "enter 2", "leave 2", "enter 3", "leave 3"}));
}

TEST_F(HiddenWindow, MessagesToADestroyedWindowAreDropped) {
  int delivered = 0;
  auto w = std::make_unique<THiddenWindow>([&](unsigned, std::uintptr_t, std::intptr_t) { ++delivered; });
  THiddenWindow other([&](unsigned, std::uintptr_t, std::intptr_t) { delivered += 100; });
  w->PostMessage(1);
  other.PostMessage(1);
  w.reset();
  Pump();
  EXPECT_EQ(delivered, 100);
}

TEST_F(HiddenWindow, AnErrorInAHandlerGoesToTheDisplayAndTheLoopGoesOn) {
  int after = 0;
  THiddenWindow w([&](unsigned msg, std::uintptr_t, std::intptr_t) {
    if (msg == 1)
      throw EConvertError("'x' is not a valid integer value");
    ++after;
  });
  w.PostMessage(1);
  w.PostMessage(2);
  Pump();
  EXPECT_EQ(Errors, (std::vector<std::string>{"'x' is not a valid integer value"}));
  EXPECT_EQ(after, 1);
}

TEST_F(HiddenWindow, AHandlerMayDestroyItsOwnWindow) {
  std::unique_ptr<THiddenWindow> w;
  int calls = 0;
  w = std::make_unique<THiddenWindow>([&](unsigned, std::uintptr_t, std::intptr_t) {
    ++calls;
    w.reset();
  });
  w->PostMessage(1);
  w->PostMessage(2); // dropped with the window
  Pump();
  EXPECT_EQ(calls, 1);
}
