#pragma once

#include "tests/walk/TestSession.h"
#include "window/ChildWin.h"
#include "window/TransferProgress.h"

#include <string>
#include <vector>

// A decode window on a session open to the tests.
class TTestChild : public TMDIChild {
public:
  TTestChild() : TMDIChild(std::make_unique<TTestSession>()) {}

  TTestSession& Session() { return static_cast<TTestSession&>(TMDIChild::Session()); }
  // What the window shows once it has caught up.
  std::vector<std::string> MemoLines() const;
  std::vector<std::string> Saved() const;
};

// A window on a fresh session folder, with a widget application around it.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override;

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/session/";
  std::unique_ptr<TTestChild> Child;
};

// A window opened as the main window opens it on a group of a scripted
// server, with what the user would have typed, and the errors it shows.
class WindowWalkTest : public ServerTest {
protected:
  void TearDown() override {
    Child.reset();
    ServerTest::TearDown();
  }
  // Opens the window; true once its walk has ended, its caption saying how.
  void Open();
  bool WaitEnd();
  std::string Panel(int i) const;

  std::unique_ptr<TTestChild> Child;
};

// Every caption and value of the row lies within it and on no other, and
// each figure's value has room for what it shows.
void ExpectReadable(const TTransferProgress& row);
