#include "window/TransferProgress.h"

#include "window/ElidedLabel.h"

#include <QEvent>
#include <QLabel>

#include <algorithm>

namespace {

const QString Unknown = QString::fromUtf8(TTransferMeter::Unknown);
constexpr const char* FileTip = "The file being received, or the last one";

// Room around the row, between a caption and its value, between figures.
constexpr int MarginX = 6;
constexpr int MarginY = 1;
constexpr int CaptionGap = 4;
constexpr int FigureGap = 14;
// A name keeps this many characters beside the figures before they wrap.
constexpr int FileChars = 16;
// A file's name as a window that opens on its own shows it whole.
constexpr const char* FileSample = "holiday-photos.vol000+128.par2";

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

} // namespace

TTransferProgress::TTransferProgress(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  // Each figure has its caption; both carry what the figure is.
  auto figure = [&](const char* caption, const char* tip, QLabel* value, const char* sample) {
    auto* label = new QLabel(caption, this);
    for (QLabel* l : {label, value}) {
      l->setToolTip(tip);
      l->setTextFormat(Qt::PlainText);
    }
    value->setText(Unknown);
    FFigures.push_back({label, value, sample});
    return value;
  };
  lblFile = figure("File:", FileTip, new TElidedLabel(this), nullptr);
  lblReceived =
      figure("Received:", "Bytes received from the server by this window", new QLabel(this), "999.9 MB");
  lblSpeed =
      figure("Speed:", "Download speed, averaged over the last few seconds", new QLabel(this), "999.9 kB/s");
  lblArticles = figure("Articles:", "The article in hand of those the walk goes through", new QLabel(this),
                       "99,999 of 99,999");
  lblTimeLeft = figure("Left:", "Time until the walk reaches the group's last article, estimated",
                       new QLabel(this), "59 min 59 s");
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

// The samples keep the figures' room as they change, so the row does not
// jitter.
int TTransferProgress::ValueWidth(const TFigure& Figure) const {
  const QFontMetrics metrics = Figure.Value->fontMetrics();
  return Figure.Sample ? metrics.horizontalAdvance(Figure.Sample) + 2
                       : metrics.averageCharWidth() * FileChars;
}

int TTransferProgress::FigureWidth(const TFigure& Figure) const {
  return Figure.Caption->sizeHint().width() + CaptionGap + ValueWidth(Figure);
}

int TTransferProgress::LineHeight() const {
  int height = 0;
  for (const TFigure& f : FFigures)
    height = std::max({height, f.Caption->sizeHint().height(), f.Value->sizeHint().height()});
  return height;
}

// The figures in order, each whole on its line; what a line has to spare
// goes to the file's name, on the first.
int TTransferProgress::Place(int Width, bool Move) const {
  const int room = std::max(0, Width - 2 * frameWidth() - 2 * MarginX);
  const int height = LineHeight();
  int lines = 1, x = 0;
  std::vector<int> lineOf(FFigures.size()), left(FFigures.size());
  for (std::size_t i = 0; i < FFigures.size(); ++i) {
    const int width = FigureWidth(FFigures[i]);
    if (x > 0 && x + FigureGap + width > room) {
      ++lines;
      x = 0;
    }
    left[i] = x == 0 ? 0 : x + FigureGap;
    lineOf[i] = lines - 1;
    x = left[i] + width;
  }
  if (!Move)
    return lines;
  // The first line's spare room widens the name and moves the figures
  // beside it along.
  int lastOnFirst = 0;
  for (std::size_t i = 0; i < FFigures.size() && lineOf[i] == 0; ++i)
    lastOnFirst = left[i] + FigureWidth(FFigures[i]);
  const int spare = std::max(0, room - lastOnFirst);
  const int top0 = frameWidth() + MarginY;
  for (std::size_t i = 0; i < FFigures.size(); ++i) {
    const TFigure& f = FFigures[i];
    const int shift = lineOf[i] == 0 && i > 0 ? spare : 0;
    const int top = top0 + lineOf[i] * height;
    const int captionWidth = f.Caption->sizeHint().width();
    const int x0 = frameWidth() + MarginX + left[i] + shift;
    f.Caption->setGeometry(x0, top, captionWidth, height);
    const int valueWidth = ValueWidth(f) + (i == 0 ? spare : 0);
    f.Value->setGeometry(x0 + captionWidth + CaptionGap, top, valueWidth, height);
  }
  return lines;
}

// Room for every figure on one line, and for a name of some length.
QSize TTransferProgress::sizeHint() const {
  int width = 0;
  for (const TFigure& f : FFigures)
    width += FigureWidth(f) + FigureGap;
  width += lblFile->fontMetrics().horizontalAdvance(FileSample) - ValueWidth(FFigures[0]) - FigureGap;
  return {width + 2 * frameWidth() + 2 * MarginX, LineHeight() + 2 * (frameWidth() + MarginY)};
}

// One figure a line at the narrowest.
QSize TTransferProgress::minimumSizeHint() const {
  int width = 0;
  for (const TFigure& f : FFigures)
    width = std::max(width, FigureWidth(f));
  return {width + 2 * frameWidth() + 2 * MarginX, heightForWidth(0)};
}

int TTransferProgress::heightForWidth(int Width) const {
  const int lines = Place(Width, false);
  return lines * LineHeight() + 2 * (frameWidth() + MarginY);
}

void TTransferProgress::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  Place(width(), true);
}

// A new font or style changes every width.
void TTransferProgress::changeEvent(QEvent* event) {
  QFrame::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    updateGeometry();
    Place(width(), true);
  }
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
