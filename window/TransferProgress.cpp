#include "window/TransferProgress.h"

#include "platform/Guard.h"
#include "window/ElidedLabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// A name from a post is shown, not used as a path: its last part, and no
// more of it than a file system would take.
constexpr std::size_t MaxShownName = 255;
// Past this the estimate says no more than that it is long.
constexpr double MaxTimeLeft = 100 * 3600;
const QString Unknown = QStringLiteral("\u2014");
constexpr const char* FileTip = "The file being received, or the last one";

QString SizeText(double bytes) {
  return QLocale().formattedDataSize(std::llround(bytes), 1, QLocale::DataSizeSIFormat);
}

QString DurationText(double seconds) {
  if (seconds >= MaxTimeLeft)
    return QStringLiteral("over %1 h").arg(MaxTimeLeft / 3600 - 1);
  const long long s = std::llround(seconds);
  if (s < 60)
    return QStringLiteral("%1 s").arg(s);
  if (s < 3600)
    return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

} // namespace

TTransferProgress::TTransferProgress(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 1, 6, 1);
  // Each figure has its caption; both carry what the figure is. The samples
  // keep the figures' room as they change, so the row does not jitter.
  auto figure = [&](const char* caption, const char* tip, QLabel* value, const char* sample) {
    auto* label = new QLabel(caption, this);
    for (QLabel* l : {label, value}) {
      l->setToolTip(tip);
      l->setTextFormat(Qt::PlainText);
    }
    value->setText(Unknown);
    if (sample)
      value->setMinimumWidth(value->fontMetrics().horizontalAdvance(sample));
    row->addWidget(label);
    row->addWidget(value, sample ? 0 : 1);
    return value;
  };
  lblFile = figure("File:", FileTip, new TElidedLabel(this), nullptr);
  lblReceived =
      figure("Received:", "Bytes received from the server by this window", new QLabel(this), "999.9 MB");
  lblSpeed =
      figure("Speed:", "Download speed, averaged over the last few seconds", new QLabel(this), "999.9 kB/s");
  lblArticles = figure("Articles:", "Articles of the group handled, of those the walk goes through",
                       new QLabel(this), "99,999 of 99,999");
  lblTimeLeft = figure("Left:", "Time until the walk reaches the group's last article, estimated",
                       new QLabel(this), "59 min 59 s");
  // A narrow window squeezes the figures rather than growing for them.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  FTimer = new QTimer(this);
  FTimer->setInterval(TickInterval);
  connect(FTimer, &QTimer::timeout, this, [this] { Guarded([this] { Tick(); }); });
}

void TTransferProgress::FileStarted(std::string_view Name) {
  const std::size_t slash = Name.find_last_of("/\\");
  if (slash != std::string_view::npos)
    Name.remove_prefix(slash + 1);
  if (!Name.empty())
    FFileName.assign(Name.substr(0, MaxShownName));
}

void TTransferProgress::Wake() {
  FQuiet = 0;
  if (FAwake)
    return;
  FAwake = true;
  FLastTick = FClock();
  FTimer->start();
}

// The speed starts as the mean rate since bytes began to come, and becomes
// an exponential average once that covers SpeedAverage: the first figure is
// already the rate, and bursts between the walk's requests even out.
void TTransferProgress::Tick() {
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
  // Nothing came for a while: the window waits for the user or a reconnect.
  if (FQuiet >= IdleAfter) {
    FSpeed = FFlowing = 0;
    FAwake = false;
    FTimer->stop();
  }
  Show(count);
  emit Ticked();
}

QString TTransferProgress::SpeedText(double BytesPerSecond) { return SizeText(BytesPerSecond) + "/s"; }

void TTransferProgress::Show(const TArticleCount& Count) {
  const QString file =
      FFileName.empty() ? Unknown : QString::fromLocal8Bit(FFileName.data(), qsizetype(FFileName.size()));
  if (lblFile->text() != file) {
    lblFile->setText(file);
    lblFile->setToolTip(FileTip + QStringLiteral(":\n") + file);
  }
  lblReceived->setText(SizeText(double(FBytes)));
  lblSpeed->setText(SpeedText(FSpeed));
  lblArticles->setText(Count.Total > 0
                           ? QLocale().toString(Count.Handled) + " of " + QLocale().toString(Count.Total)
                           : Unknown);
  lblTimeLeft->setText(TimeLeftText(Count));
}

// From the mean rate of articles handled over the walking time: the bytes
// an article holds vary far more, and how many the range holds is not known
// before they arrive. Until EstimateAfter of walking and while the window is
// idle there is nothing to go on.
QString TTransferProgress::TimeLeftText(const TArticleCount& Count) const {
  if (Count.Total <= 0)
    return Unknown;
  if (Count.Handled >= Count.Total)
    return DurationText(0);
  if (Count.Handled <= 0 || FWalking <= 0 || FWalking * 1000 < double(FEstimateAfter.count()) ||
      FQuiet >= IdleAfter)
    return Unknown;
  return DurationText(double(Count.Total - Count.Handled) * FWalking / double(Count.Handled));
}
