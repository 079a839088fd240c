#pragma once

#include <QLabel>

// A one-line label that keeps room for its whole text, or for MinimumChars
// characters of a longer one, and shows what does not fit cut in the middle
// ("nntps://news.ex…ple.com:563"), so that both ends stay readable. text()
// is always the whole text.
class TElidedLabel : public QLabel {
public:
  using QLabel::QLabel;
  static constexpr int MinimumChars = 24;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;
};
