#include "window/UpdatePacer.h"

#include "platform/Guard.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <utility>

namespace {

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

} // namespace

TUpdatePacer::TUpdatePacer(QWidget* Window, QPlainTextEdit* Log) : FWindow(Window), FLog(Log) {
  FTimer.setInterval(Interval);
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Guarded([this] { Flush(); }); });
  FTimer.start();
}

int TUpdatePacer::ShownLines() const {
  const QTextDocument* doc = FLog->document();
  return doc->isEmpty() ? 0 : doc->blockCount();
}

// The lines that a cut would delete go from what the log shows first, then
// from the lines held, after the first line of all.
void TUpdatePacer::AddLine(std::string Text) {
  const int shown = ShownLines();
  if (const int count = shown - FCut + int(FLines.size()); count > LogLimit) {
    int excess = count - LogKeep;
    const int fromShown = std::min(excess, std::max(0, shown - 1 - FCut));
    FCut += fromShown;
    excess -= fromShown;
    const auto from = FLines.begin() + (shown == 0 ? 1 : 0);
    FLines.erase(from, from + excess);
  }
  FLines.push_back(std::move(Text));
  Hold();
}

void TUpdatePacer::AppendToLine(std::string_view Text) {
  if (!FLines.empty()) {
    if (FLines.back().size() < LogLineLimit)
      FLines.back() += Text;
  } else if (ShownLines() == 0) {
    AddLine(std::string(Text));
    return;
  } else if (FLog->document()->lastBlock().length() - 1 + int(FTail.size()) < LogLineLimit) {
    FTail += Text;
  }
  Hold();
}

void TUpdatePacer::SetText(QLabel* Label, const QString& Text) {
  const auto held =
      std::find_if(FTexts.begin(), FTexts.end(), [&](const auto& t) { return t.first == Label; });
  if (held != FTexts.end())
    held->second = Text;
  else
    FTexts.emplace_back(Label, Text);
  Hold();
}

void TUpdatePacer::SetValue(QProgressBar* Bar, int Value) {
  const auto held =
      std::find_if(FValues.begin(), FValues.end(), [&](const auto& v) { return v.first == Bar; });
  if (held != FValues.end())
    held->second = Value;
  else
    FValues.emplace_back(Bar, Value);
  Hold();
}

void TUpdatePacer::Follow(QProgressBar* Bar, const std::int32_t* Value) {
  Follow(Bar, [Value] { return int(*Value); });
}

void TUpdatePacer::Follow(QProgressBar* Bar, std::function<int()> Value) {
  FFollowed.emplace_back(Bar, std::move(Value));
}

void TUpdatePacer::Hold() {
  if (!std::exchange(FHolding, true))
    FWindow->setUpdatesEnabled(false);
}

void TUpdatePacer::Flush() {
  const bool held = std::exchange(FHolding, false);
  if (held) {
    ShowLog();
    for (const auto& [label, text] : std::exchange(FTexts, {}))
      label->setText(text);
    for (const auto& [bar, value] : std::exchange(FValues, {}))
      bar->setValue(value);
  }
  for (const auto& [bar, value] : FFollowed)
    bar->setValue(std::min(value(), bar->maximum()));
  // Painted now: a walk that goes on at once would turn painting off again
  // before a later paint came.
  if (held) {
    FWindow->setUpdatesEnabled(true);
    FWindow->repaint();
  }
}

void TUpdatePacer::ShowLog() {
  QTextDocument* doc = FLog->document();
  if (!FTail.empty()) {
    QTextCursor end(doc);
    // In an edit block the cursor does not lay the line out to find where
    // it stands; only the edit's end lays it out, once.
    end.beginEditBlock();
    end.movePosition(QTextCursor::End);
    end.insertText(ToQt(std::exchange(FTail, {})));
    end.endEditBlock();
  }
  if (FCut > 0) {
    // Lines 1 .. FCut go in one cut; line 0 stays.
    QTextCursor cut(doc->findBlockByNumber(1));
    const QTextBlock after = doc->findBlockByNumber(FCut + 1);
    if (after.isValid()) {
      cut.setPosition(after.position(), QTextCursor::KeepAnchor);
    } else {
      cut.setPosition(doc->firstBlock().position() + doc->firstBlock().length() - 1);
      cut.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    }
    cut.removeSelectedText();
    FCut = 0;
  }
  if (!FLines.empty()) {
    std::string lines;
    for (const std::string& line : FLines)
      (lines += line) += '\n';
    lines.pop_back();
    FLines.clear();
    FLog->appendPlainText(ToQt(lines));
  }
}
