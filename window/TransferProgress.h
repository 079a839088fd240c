#pragma once

#include "walk/TransferMeter.h"

#include <QFrame>

#include <vector>

class QLabel;

// A decode window's row of the transfer's figures: the file being
// received, the bytes received, the current speed and, for the walk, the
// articles handled of its range and the time left, as the session's
// TTransferMeter works them out at each of its ticks. Each figure keeps its
// caption beside it and room for its longest value; where the row is too
// narrow for all of them the last figures go on to a line of their own, and
// the file's name gives way, cut in the middle, before any figure moves.
class TTransferProgress : public QFrame {
  Q_OBJECT
public:
  explicit TTransferProgress(QWidget* parent = nullptr);

  QLabel* lblFile;
  QLabel* lblReceived;
  QLabel* lblSpeed;
  QLabel* lblArticles;
  QLabel* lblTimeLeft;

  // Shows the figures of a tick.
  void Show(const TTransferFigures& Figures);
  // The speed shown, in bytes per second.
  double Speed() const { return FSpeed; }
  static QString SpeedText(double BytesPerSecond);

  static constexpr std::chrono::milliseconds TickInterval = TTransferMeter::TickInterval;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int Width) const override;

signals:
  // The figures were shown; the speed may have changed.
  void Ticked();

protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  struct TFigure {
    QLabel* Caption;
    QLabel* Value;
    const char* Sample; // the longest value it shows; none for the file
  };
  int ValueWidth(const TFigure& Figure) const;
  int FigureWidth(const TFigure& Figure) const;
  int LineHeight() const;
  // Places the figures in Width, or only counts the lines they take.
  int Place(int Width, bool Move) const;

  std::vector<TFigure> FFigures;
  double FSpeed = 0;
};
