#pragma once

#include "session/ChildWin.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

// Opens the window's state and scanner to the tests.
class TTestChild : public TMDIChild {
public:
  using TMDIChild::DecodePartFile;
  using TMDIChild::FArticleCurrent;
  using TMDIChild::FArticleEnd;
  using TMDIChild::FArticleLines;
  using TMDIChild::FArticleStart;
  using TMDIChild::FBodyLines;
  using TMDIChild::FDataFound;
  using TMDIChild::FDecodedCount;
  using TMDIChild::FDefExt;
  using TMDIChild::FFileMode;
  using TMDIChild::FinishPartFile;
  using TMDIChild::FInternalAbort;
  using TMDIChild::FMaxLines;
  using TMDIChild::FMaxWaitingLines;
  using TMDIChild::FMimeBase64;
  using TMDIChild::FNextStep;
  using TMDIChild::FPartFile;
  using TMDIChild::FPartFileCount;
  using TMDIChild::FPartKind;
  using TMDIChild::FReconnectDelay;
  using TMDIChild::FSessionDir;
  using TMDIChild::ScanLine;
  using TMDIChild::StoreDecodedFile;

  // One body as the controller starts it.
  void Body(const std::vector<std::string>& lines) {
    FNextStep = stepBody;
    StartBody();
    for (const std::string& line : lines)
      ScanLine(line);
  }
  // One header as the controller asks for it.
  void Head(const std::vector<std::string>& lines) {
    FNextStep = stepHead;
    for (const std::string& line : lines)
      ScanLine(line);
  }
  std::vector<std::string> MemoLines() const;
  std::vector<std::string> Saved() const;
};

// A window in a fresh session folder, with a widget application around it.
class SessionTest : public ::testing::Test {
protected:
  void SetUp() override;

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/session/";
  std::unique_ptr<TTestChild> Child;
};

// Test data: random bytes and their encodings as article lines.
std::string RandomBytes(std::size_t size, unsigned seed);
std::vector<std::string> UULines(const std::string& data);     // without begin and end
std::vector<std::string> Base64Lines(const std::string& data); // 76 characters, padded
std::vector<std::string> Join(std::vector<std::vector<std::string>> parts);

// Bodies written by the usual tools. Outside CI a missing tool skips the test;
// in CI it fails, so the check is never lost.
bool HaveTool(const std::string& tool);
// The lines a shell command prints, without their line ends.
std::vector<std::string> CommandLines(const std::string& command);
// Debian's own Python, whose email package writes the MIME articles.
constexpr const char* Python = "/usr/bin/python3";
