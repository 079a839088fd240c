#include "window/ElidedLabel.h"

#include <QPainter>
#include <QStyle>

// The whole text up to MinimumChars average characters; a longer text may
// give way down to that.
QSize TElidedLabel::minimumSizeHint() const {
  const QSize whole = sizeHint();
  return {std::min(whole.width(), fontMetrics().averageCharWidth() * MinimumChars), whole.height()};
}

void TElidedLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect room = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width());
  style()->drawItemText(&painter, room, int(alignment()), palette(), isEnabled(), shown, foregroundRole());
}
