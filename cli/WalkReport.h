#pragma once

#include "walk/TransferMeter.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// How vostel-walk tells what its walk does: on a terminal one progress line
// redrawn in place, with the files saved and left incomplete and the end on
// lines of their own above it; otherwise one line for each event, as text
// ("saved: pic.jpg") or as a JSON object with a "type" field.
class TWalkReport {
public:
  enum TForm { Terminal, Lines, Json };
  TWalkReport(std::FILE* Out, TForm Form);

  // A log line, and text added to it: the line goes out whole, once the
  // next begins or the walk ends.
  void Log(const std::string& Text);
  void LogAppend(const std::string& Text);
  void Status(const std::string& Text);
  void Saved(const std::string& Name, const std::string& Path);
  void Incomplete(const std::string& Name, const std::string& Why);
  // Every tick of the walk's meter; between lines, at most one each
  // LinesInterval. Last: the figures at the end, always told.
  void Transfer(const TTransferFigures& Figures, bool Last = false);
  // A failure outside the walk's own events (an error a handler raised).
  void Error(const std::string& Text);
  // A signal came, and what it does.
  void Signal(const std::string& Text);
  // How the walk ended ("done", "error", "log-in", "busy", "interrupted"),
  // its last status and the exit status it gives.
  void End(const std::string& How, const std::string& Status, int ExitStatus);

  const std::vector<std::string>& IncompleteFiles() const { return FIncomplete; }
  int SavedCount() const { return FSaved; }

  static constexpr std::chrono::seconds LinesInterval{10};

private:
  void FlushLog();
  void Put(const std::string& Line); // one line of its own, above the progress line
  void Redraw();
  std::string ProgressText() const;

  std::FILE* FOut;
  TForm FForm;
  std::string FLogLine;
  bool FLogOpen = false;
  std::string FStatus;
  TTransferFigures FFigures;
  bool FFiguresKnown = false;
  bool FProgressShown = false;
  std::chrono::steady_clock::time_point FLastTransfer{};
  bool FTransferTold = false;
  int FSaved = 0;
  std::vector<std::string> FIncomplete;
};
