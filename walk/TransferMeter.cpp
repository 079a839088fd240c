#include "walk/TransferMeter.h"

#include "platform/Guard.h"

#include <QLocale>
#include <QString>

#include <algorithm>
#include <cmath>

namespace {

// A name from a post is shown, not used as a path: its last part, and no
// more of it than a file system would take.
constexpr std::size_t MaxShownName = 255;
// Past this the estimate says no more than that it is long.
constexpr double MaxTimeLeft = 100 * 3600;

std::string DurationText(double seconds) {
  if (seconds >= MaxTimeLeft)
    return QStringLiteral("over %1 h").arg(MaxTimeLeft / 3600 - 1).toStdString();
  const long long s = std::llround(seconds);
  if (s < 60)
    return QStringLiteral("%1 s").arg(s).toStdString();
  if (s < 3600)
    return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60).toStdString();
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60).toStdString();
}

} // namespace

TTransferMeter::TTransferMeter() {
  FTimer.setInterval(TickInterval);
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Guarded([this] { Tick(); }); });
}

void TTransferMeter::FileStarted(std::string_view Name) {
  const std::size_t slash = Name.find_last_of("/\\");
  if (slash != std::string_view::npos)
    Name.remove_prefix(slash + 1);
  if (!Name.empty())
    FFileName.assign(Name.substr(0, MaxShownName));
}

void TTransferMeter::Wake() {
  FQuiet = 0;
  if (FAwake)
    return;
  FAwake = true;
  FLastTick = FClock();
  FTimer.start();
}

void TTransferMeter::Ended() {
  FFresh = 0;
  FSpeed = FFlowing = 0;
  FQuiet = IdleAfter;
  FLeft.reset();
  if (FAwake)
    Tick(); // the last figures, asleep after them
  else if (OnTick)
    OnTick(FFigures = {FFileName, FBytes, 0, FFigures.Articles, FFigures.SecondsLeft});
}

// The speed starts as the mean rate since bytes began to come, and becomes
// an exponential average once that covers SpeedAverage: the first figure is
// already the rate, and bursts between the walk's requests even out.
void TTransferMeter::Tick() {
  const auto now = FClock();
  const double elapsed = std::chrono::duration<double>(now - FLastTick).count();
  if (elapsed > 0) {
    FLastTick = now;
    FFlowing += elapsed;
    const double weight = std::max(1 - std::exp(-elapsed / SpeedAverage), elapsed / FFlowing);
    FSpeed += (double(FFresh) / elapsed - FSpeed) * weight;
    FQuiet = FFresh > 0 ? 0 : FQuiet + elapsed;
    FFresh = 0;
  }
  const TArticleCount count = Articles ? Articles() : TArticleCount{};
  if (count.Total > 0 && count.Handled < count.Total && elapsed > 0)
    FWalking += elapsed;
  // Nothing came for a while: the walk waits for the user or a reconnect.
  if (FQuiet >= IdleAfter) {
    FSpeed = FFlowing = 0;
    FAwake = false;
    FTimer.stop();
  }
  FFigures = {FFileName, FBytes, FSpeed, count, Smoothed(SecondsLeft(count), elapsed)};
  if (OnTick)
    OnTick(FFigures);
}

// From the mean rate of articles handled over the walking time: the bytes
// an article holds vary far more, and how many the range holds is not known
// before they arrive. Until EstimateAfter of walking and while the walk is
// idle there is nothing to go on.
std::optional<double> TTransferMeter::SecondsLeft(const TArticleCount& Count) const {
  if (Count.Total <= 0)
    return std::nullopt;
  if (Count.Handled >= Count.Total)
    return 0.0;
  if (Count.Handled <= 0 || FWalking <= 0 || FWalking * 1000 < double(FEstimateAfter.count()) ||
      FQuiet >= IdleAfter)
    return std::nullopt;
  return double(Count.Total - Count.Handled) * FWalking / double(Count.Handled);
}

// Articles are handled in steps, so the estimate jumps about at a steady
// rate: from one tick to the next it counts down by the time gone and moves
// towards the new estimate by a third of what is left at most.
std::optional<double> TTransferMeter::Smoothed(std::optional<double> Left, double Elapsed) {
  if (!Left || *Left <= 0 || !FLeft || *FLeft <= Elapsed) {
    FLeft = Left;
    return Left;
  }
  const double base = std::max(0.0, *FLeft - Elapsed);
  FLeft = std::clamp(*Left, base * 2 / 3, base * 4 / 3);
  return FLeft;
}

std::string TTransferMeter::SizeText(double Bytes) {
  return QLocale().formattedDataSize(std::llround(Bytes), 1, QLocale::DataSizeSIFormat).toStdString();
}

std::string TTransferMeter::SpeedText(double BytesPerSecond) { return SizeText(BytesPerSecond) + "/s"; }

std::string TTransferMeter::ArticlesText(const TArticleCount& Count) {
  if (Count.Total <= 0)
    return Unknown;
  return (QLocale().toString(Count.Handled) + " of " + QLocale().toString(Count.Total)).toStdString();
}

std::string TTransferMeter::TimeLeftText(const std::optional<double>& Seconds) {
  return Seconds ? DurationText(*Seconds) : Unknown;
}
