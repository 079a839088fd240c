#include "window/TransferProgress.h"

#include "window/ElidedLabel.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {

const QString Unknown = QString::fromUtf8(TTransferMeter::Unknown);
constexpr const char* FileTip = "The file being received, or the last one";

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

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
}

QString TTransferProgress::SpeedText(double BytesPerSecond) {
  return FromUtf8(TTransferMeter::SpeedText(BytesPerSecond));
}

void TTransferProgress::Show(const TTransferFigures& Figures) {
  const QString file = Figures.File.empty()
                           ? Unknown
                           : QString::fromLocal8Bit(Figures.File.data(), qsizetype(Figures.File.size()));
  if (lblFile->text() != file) {
    lblFile->setText(file);
    lblFile->setToolTip(FileTip + QStringLiteral(":\n") + file);
  }
  FSpeed = Figures.Speed;
  lblReceived->setText(FromUtf8(TTransferMeter::SizeText(double(Figures.Bytes))));
  lblSpeed->setText(SpeedText(Figures.Speed));
  lblArticles->setText(FromUtf8(TTransferMeter::ArticlesText(Figures.Articles)));
  lblTimeLeft->setText(FromUtf8(TTransferMeter::TimeLeftText(Figures.SecondsLeft)));
  emit Ticked();
}
