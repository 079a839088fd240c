#pragma once

#include "walk/TransferMeter.h"

#include <QFrame>

class QLabel;

// A decode window's row of the transfer's figures: the file being
// received, the bytes received, the current speed and, for the walk, the
// articles handled of its range and the time left, as the session's
// TTransferMeter works them out at each of its ticks.
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

signals:
  // The figures were shown; the speed may have changed.
  void Ticked();

private:
  double FSpeed = 0;
};
