#pragma once

#include "platform/Guard.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ScriptedNewsServer.h"
#include "walk/DecodeSession.h"
#include "walk/StartValues.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>
#include <string>
#include <vector>

// Opens the session's state and scanner to the tests, and keeps what its
// events say as a decode window would show it, caught up.
class TTestSession : public TDecodeSession {
public:
  TTestSession();

  using TArticleScanner::DecodePartFile;
  using TArticleScanner::FinishPartFile;
  using TArticleScanner::FPartFileLimit;
  using TArticleScanner::StoreDecodedFile;
  using TDecodeSession::CountDecodedFile;
  using TDecodeSession::FArticleCurrent;
  using TDecodeSession::FArticleEnd;
  using TDecodeSession::FArticleLines;
  using TDecodeSession::FArticleStart;
  using TDecodeSession::FBodyLines;
  using TDecodeSession::FClosed;
  using TDecodeSession::FDataFound;
  using TDecodeSession::FDecodedCount;
  using TDecodeSession::FDefExt;
  using TDecodeSession::FFileMode;
  using TDecodeSession::FInternalAbort;
  using TDecodeSession::FMaxLines;
  using TDecodeSession::FMaxWaitingLines;
  using TDecodeSession::FMimeBase64;
  using TDecodeSession::FNextStep;
  using TDecodeSession::FPartFile;
  using TDecodeSession::FPartFileCount;
  using TDecodeSession::FPartKind;
  using TDecodeSession::FReconnectDelay;
  using TDecodeSession::FRepair;
  using TDecodeSession::FSessionDir;
  using TDecodeSession::FWalk;
  using TDecodeSession::FYEnc;
  using TDecodeSession::Log;
  using TDecodeSession::LogAppend;
  using TDecodeSession::ScanLine;
  using TDecodeSession::SetStatus;

  // One body as the controller starts it, its lines handed over as a
  // connection would: in runs where the session takes them so, as they
  // came in receives of 700 bytes, the others one by one.
  void Body(const std::vector<std::string>& lines) {
    FNextStep = stepBody;
    StartBody();
    std::string wire;
    for (const std::string& line : lines)
      wire += (line.starts_with('.') ? "." : "") + line + "\r\n";
    for (std::size_t at = 0, next = 0; at < wire.size(); at = next) {
      const std::size_t taken = WalkArticleLines(std::string_view(wire).substr(at, 700));
      next = at + taken;
      if (taken == 0) {
        next = wire.find("\r\n", at) + 2;
        const std::string_view line(wire.data() + at, next - 2 - at);
        ScanLine(line.starts_with("..") ? line.substr(1) : line);
      }
    }
  }
  // One header as the controller asks for it.
  void Head(const std::vector<std::string>& lines) {
    FNextStep = stepHead;
    for (const std::string& line : lines)
      ScanLine(line);
  }
  // The commands as a window's buttons give them: an error goes to the
  // application's error display.
  void StopClick() {
    Guarded([this] { Stop(); });
  }
  void AfterClick() {
    Guarded([this] { StopAfter(); });
  }
  void RestartClick() {
    Guarded([this] { Restart(); });
  }
  void SkipClick(std::int64_t n) {
    Guarded([this, n] { Skip(n); });
  }
  void FormClose(TObject* = nullptr) {
    Guarded([this] { Close(); });
  }

  // What a window shows: its log (cut back past 200 lines to 100, the first
  // kept; a line stops growing at 4096 bytes), the saved files, the status
  // bar's panels (status, current article, last article, files done), the
  // group's progress in per mille, the caption and X A R S ("X-R-").
  const std::vector<std::string>& MemoLines() const { return FMemo; }
  const std::vector<std::string>& Saved() const { return FSaved; }
  std::string Panel(int i) const { return FPanels[std::size_t(i)]; }
  int GroupProgressShown = 0;
  std::string Caption = "Decoding";
  std::string Buttons() const;
  // The files the session said it left incomplete, with why.
  std::vector<std::string> Incomplete;

private:
  std::vector<std::string> FMemo;
  std::vector<std::string> FSaved;
  std::array<std::string, 4> FPanels = {"Current Action", "0", "0", "00000"};
};

// A session in a fresh session folder, with an event loop around it.
class SessionTest : public ::testing::Test {
protected:
  void SetUp() override;

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/session/";
  std::unique_ptr<TTestSession> Child;
};

// Test data: random bytes and their encodings as article lines.
std::string RandomBytes(std::size_t size, unsigned seed);
std::vector<std::string> UULines(const std::string& data);     // without begin and end
std::vector<std::string> Base64Lines(const std::string& data); // 76 characters, padded
std::vector<std::string> Join(std::vector<std::vector<std::string>> parts);
std::vector<std::string> CrLfLines(const std::string& text);
// How many of lines hold text.
long Count(const std::vector<std::string>& lines, const std::string& text);
// The yEnc bodies of data cut in count parts, =ybegin to =yend each; one
// part is a single-part post.
std::vector<std::vector<std::string>> YEncParts(const std::string& data, const std::string& name,
                                                std::size_t count);
// The same cut in parts of the sizes given.
std::vector<std::vector<std::string>> YEncParts(const std::string& data, const std::string& name,
                                                const std::vector<std::size_t>& sizes);

// Bodies written by the usual tools. Outside CI a missing tool skips the test;
// in CI it fails, so the check is never lost.
bool HaveTool(const std::string& tool);
// Debian's own Python, whose email package writes the MIME articles.
constexpr const char* Python = "/usr/bin/python3";

// What the user would have typed in the main window.
struct TTestValues : IStartValues {
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
  // Off unless a test turns it on: the scripts expect no CAPABILITIES.
  bool compression = false;
  std::vector<TFillServer> fills;
  bool Compression() const override { return compression; }
  std::vector<TFillServer> FillServers() const override { return fills; }
  std::string PasswordOf(const std::string& Entry) const override {
    for (const TFillServer& f : fills)
      if (f.Entry == Entry)
        return f.Password;
    return Entry == Server() ? Password() : std::string();
  }
};

// What the user would have typed for a group of a scripted server, and the
// errors the application shows.
class ServerTest : public ::testing::Test {
protected:
  using TValues = TTestValues;

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
  // The caption a window on the group and server shows with Text.
  std::string Captioned(const std::string& Text) const;

  QTemporaryDir Dir;
  TValues Values;
  TScriptedNewsServer Server;
  std::vector<std::string> Errors;
  TErrorDisplay Previous;
};

// A session started as a window starts it, without the window.
class WalkTest : public ServerTest {
protected:
  // Starts the session with a CA file trusted besides the system's ones;
  // BeforeStart is given the session first.
  void Open(const std::string& caFile = "");
  std::function<void(TTestSession&)> BeforeStart;
  // A walk ends with its QUIT answered (or an abort), or with its last
  // connection closed, its caption saying how.
  bool WaitEnd() {
    return PumpUntil([&] { return Ended; });
  }
  void CloseExpecting(std::int64_t stored);
  std::string Panel(int i) const { return Child->Panel(i); }
  // How many lines of the window's log hold text.
  long Mentions(const std::string& text) const;
  // A walk by overview, without pacing, of the articles of 20 to max lines
  // over connections.
  void ByOverview(const std::string& max = "500", const std::string& connections = "1");
  // Runs action once line has reached the scanner, as if clicked right then,
  // from the session's own connection or from the walk's.
  void OnLine(const std::string& line, std::function<void()> action);

  std::unique_ptr<TTestSession> Child;
  bool Ended = false; // the last answer, to QUIT or an abort, ended the walk
};

TNewsArticle Post(std::int64_t n, int lines, std::vector<std::string> body = {}, int fromConnection = 1);
// An article whose header names the file its base64 body is.
TNewsArticle SinglePartPost(std::int64_t n, int lines, const std::string& name, const std::string& data);
std::vector<std::string> UU(const std::string& name, const std::string& data,
                            std::vector<std::string> end = {"end"});
std::string Stored(std::int64_t position);
