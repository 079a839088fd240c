#pragma once

#include <QFrame>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class QLabel;
class QTimer;

// Where the walk stands: articles of its range handled, of Total. A Total of
// 0 means the walk has no range yet.
struct TArticleCount {
  std::int64_t Handled = 0;
  std::int64_t Total = 0;
};

// A decode window's figures of the transfer: the file being received, the
// bytes received, the current speed and, for the walk, the articles handled
// of its range and the time left. Counting costs a few adds per line; the
// figures are worked out and shown by a timer of their own, every
// TickInterval while anything happens, which stops once nothing has come
// for IdleAfter.
class TTransferProgress : public QFrame {
  Q_OBJECT
public:
  explicit TTransferProgress(QWidget* parent = nullptr);

  QLabel* lblFile;
  QLabel* lblReceived;
  QLabel* lblSpeed;
  QLabel* lblArticles;
  QLabel* lblTimeLeft;

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
  // Read at every tick.
  std::function<TArticleCount()> Articles;

  std::int64_t Bytes() const { return FBytes; }
  // Bytes per second, averaged exponentially with a time constant of
  // SpeedAverage, and over the time since bytes began to come while that
  // is shorter.
  double Speed() const { return FSpeed; }
  const std::string& FileName() const { return FFileName; }
  static QString SpeedText(double BytesPerSecond);

  // The timer's: works the figures out and shows them.
  void Tick();
  void SetClock(std::function<std::chrono::steady_clock::time_point()> Clock) { FClock = std::move(Clock); }
  // Walking time before the time left is estimated.
  void SetEstimateAfter(std::chrono::milliseconds Time) { FEstimateAfter = Time; }
  bool Awake() const { return FAwake; }

  static constexpr std::chrono::milliseconds TickInterval{250};
  static constexpr double SpeedAverage = 3.0; // seconds
  static constexpr double IdleAfter = 10.0;   // seconds

signals:
  // The figures were shown; the speed may have changed.
  void Ticked();

private:
  void Show(const TArticleCount& Count);
  QString TimeLeftText(const TArticleCount& Count) const;

  QTimer* FTimer;
  std::function<std::chrono::steady_clock::time_point()> FClock = std::chrono::steady_clock::now;
  std::chrono::milliseconds FEstimateAfter{5000};
  std::chrono::steady_clock::time_point FLastTick;
  bool FAwake = false;
  std::int64_t FBytes = 0;
  std::int64_t FFresh = 0; // since the last tick
  double FSpeed = 0;
  double FFlowing = 0; // seconds the speed is averaged over so far
  double FQuiet = 0;   // seconds since bytes last came
  double FWalking = 0; // seconds the walk has had articles left
  std::string FFileName;
};
