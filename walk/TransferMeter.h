#pragma once

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Where the walk stands: articles of its range handled, of Total. A Total of
// 0 means the walk has no range yet.
struct TArticleCount {
  std::int64_t Handled = 0;
  std::int64_t Total = 0;
};

// What a walk has transferred so far, as shown in a window's progress row
// or on a terminal.
struct TTransferFigures {
  std::string File;       // the file being received, or the last one; empty before the first
  std::int64_t Bytes = 0; // received from the server
  double Speed = 0;       // bytes per second
  TArticleCount Articles;
  // Seconds until the walk reaches the group's last article: 0 once it has,
  // none while there is nothing to go on.
  std::optional<double> SecondsLeft;
};

// A walk's figures of the transfer: the file being received, the bytes
// received, the current speed and, for the walk, the articles handled of
// its range and the time left. Counting costs a few adds per line; the
// figures are worked out by a timer of their own, every TickInterval while
// anything happens, which stops once nothing has come for IdleAfter.
class TTransferMeter {
public:
  TTransferMeter();

  // Bytes came from the server: a line's length with its line end.
  void Received(std::int64_t Bytes) {
    FBytes += Bytes;
    FFresh += Bytes;
    if (!FAwake)
      Wake();
  }
  // A file began to arrive under Name, as the post names it.
  void FileStarted(std::string_view Name);
  // The walk moved: the figures follow it again.
  void Wake();
  // The walk has ended: the speed is 0 and the figures say so at once.
  void Ended();
  // Read at every tick.
  std::function<TArticleCount()> Articles;
  // After every tick, with the figures worked out.
  std::function<void(const TTransferFigures& Figures)> OnTick;

  std::int64_t Bytes() const { return FBytes; }
  // Bytes per second, averaged exponentially with a time constant of
  // SpeedAverage, and over the time since bytes began to come while that
  // is shorter.
  double Speed() const { return FSpeed; }
  const std::string& FileName() const { return FFileName; }
  // The figures as the last tick worked them out.
  const TTransferFigures& Figures() const { return FFigures; }

  // The timer's: works the figures out and raises OnTick.
  void Tick();
  void SetClock(std::function<std::chrono::steady_clock::time_point()> Clock) { FClock = std::move(Clock); }
  // Walking time before the time left is estimated.
  void SetEstimateAfter(std::chrono::milliseconds Time) { FEstimateAfter = Time; }
  bool Awake() const { return FAwake; }

  // The figures as texts: "12.3 MB", "1.2 MB/s", "1,234 of 5,678",
  // "1 min 35 s"; a figure not known yet is a dash.
  static std::string SizeText(double Bytes);
  static std::string SpeedText(double BytesPerSecond);
  static std::string ArticlesText(const TArticleCount& Count);
  static std::string TimeLeftText(const std::optional<double>& Seconds);
  static constexpr const char* Unknown = "\u2014";

  static constexpr std::chrono::milliseconds TickInterval{250};
  static constexpr double SpeedAverage = 3.0; // seconds
  static constexpr double IdleAfter = 10.0;   // seconds

private:
  std::optional<double> SecondsLeft(const TArticleCount& Count) const;
  std::optional<double> Smoothed(std::optional<double> Left, double Elapsed);

  QTimer FTimer;
  std::function<std::chrono::steady_clock::time_point()> FClock = std::chrono::steady_clock::now;
  std::chrono::milliseconds FEstimateAfter{5000};
  std::chrono::steady_clock::time_point FLastTick;
  bool FAwake = false;
  std::int64_t FBytes = 0;
  std::int64_t FFresh = 0; // since the last tick
  double FSpeed = 0;
  double FFlowing = 0;         // seconds the speed is averaged over so far
  double FQuiet = 0;           // seconds since bytes last came
  double FWalking = 0;         // seconds the walk has had articles left
  std::optional<double> FLeft; // the time left shown last
  std::string FFileName;
  TTransferFigures FFigures;
};
