#pragma once

#include "platform/Guard.h"
#include "session/ChildWin.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "walk/StartValues.h"

#include <QApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
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
  using TMDIChild::FPartFileLimit;
  using TMDIChild::FPartKind;
  using TMDIChild::FReconnectDelay;
  using TMDIChild::FRepair;
  using TMDIChild::FSessionDir;
  using TMDIChild::FWalk;
  using TMDIChild::FYEnc;
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
  // What the window shows once it has caught up.
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
std::vector<std::string> CrLfLines(const std::string& text);
// The yEnc bodies of data cut in count parts, =ybegin to =yend each.
std::vector<std::vector<std::string>> YEncParts(const std::string& data, const std::string& name,
                                                std::size_t count);

// Bodies written by the usual tools. Outside CI a missing tool skips the test;
// in CI it fails, so the check is never lost.
bool HaveTool(const std::string& tool);
// Debian's own Python, whose email package writes the MIME articles.
constexpr const char* Python = "/usr/bin/python3";

// A window opened as the main window opens it on a group of a scripted
// server, with what the user would have typed, and the errors it shows.
class WalkTest : public ::testing::Test {
protected:
  struct TValues : IStartValues {
    std::string server, group = "alt.test", min = "200", max = "300", waiting = "0", path, pacing = "1",
                        password, filter, connections = "1", inFlight = "4";
    std::string Server() const override { return server; }
    std::string Group() const override { return group; }
    std::string MinLines() const override { return min; }
    std::string MaxLines() const override { return max; }
    std::string WaitingLines() const override { return waiting; }
    std::string DefaultExt() const override { return "bin"; }
    std::string DownloadPath() const override { return path; }
    std::string Pacing() const override { return pacing; }
    std::string Password() const override { return password; }
    std::string Connections() const override { return connections; }
    std::string RequestsInFlight() const override { return inFlight; }
    std::string SubjectFilter() const override { return filter; }
  };

  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
    Values.path = Dir.path().toStdString() + "/";
    Use(Server);
    StartValues = &Values;
  }
  void TearDown() override {
    StartValues = nullptr;
    SetErrorDisplay(Previous);
  }
  void Use(const TScriptedNewsServer& server, const std::string& scheme = "") {
    Values.server = scheme + "127.0.0.1:" + server.PortText();
  }
  // The session folder of the server entry and group.
  std::string Folder() const;
  void Store(std::int64_t position);
  // Opens the window with a CA file trusted besides the system's ones.
  void Open(const std::string& caFile = "");
  // A walk ends with its QUIT answered (or an abort), or with its last
  // connection closed, its caption saying how.
  bool WaitEnd() {
    return PumpUntil([&] { return Ended; });
  }
  // The caption a window on the group and server shows with Text.
  std::string Captioned(const std::string& Text) const;
  void CloseExpecting(std::int64_t stored);
  std::string Panel(int i) const {
    Child->FlushUpdates();
    return Child->SB1Panels[std::size_t(i)]->text().toStdString();
  }
  // Runs action once line has reached the scanner, as if clicked right then,
  // from the window's own connection or from the walk's.
  void OnLine(const std::string& line, std::function<void()> action);

  QTemporaryDir Dir;
  TValues Values;
  TScriptedNewsServer Server;
  std::unique_ptr<TTestChild> Child;
  bool Ended = false; // the last answer, to QUIT or an abort, ended the walk
  std::vector<std::string> Errors;
  TErrorDisplay Previous;
};

TNewsArticle Post(std::int64_t n, int lines, std::vector<std::string> body = {}, int fromConnection = 1);
// An article whose header names the file its base64 body is.
TNewsArticle SinglePartPost(std::int64_t n, int lines, const std::string& name, const std::string& data);
std::vector<std::string> UU(const std::string& name, const std::string& data,
                            std::vector<std::string> end = {"end"});
std::string Stored(std::int64_t position);
