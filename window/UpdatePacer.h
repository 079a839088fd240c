#pragma once

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QWidget;

// Holds back what a decode window shows and shows it at most every
// Interval. A walk at full speed logs, counts and moves its bars hundreds
// of times a second, and showing each change cost more than the walk
// itself. Whatever is held shows at the next update, in the order it came,
// so that the window is then as if each change had shown at once; the log
// is cut back as it would have been line by line. While anything is held
// the window does not paint, so what its widgets take directly waits for
// the same update, which paints the window once.
class TUpdatePacer {
public:
  static constexpr std::chrono::milliseconds Interval{100};
  // The log keeps its first line and is cut back to LogKeep lines once it
  // holds more than LogLimit.
  static constexpr int LogLimit = 200;
  static constexpr int LogKeep = 100;
  // How often a line is appended to is up to the server (one text per
  // Lines: header or begin line); past this length (in bytes while held) a
  // log line stops growing.
  static constexpr int LogLineLimit = 4096;

  TUpdatePacer(QWidget* Window, QPlainTextEdit* Log);

  // A new last line of the log, in the local 8-bit encoding.
  void AddLine(std::string Text);
  // Text added to the log's last line; to an empty log, its first line.
  void AppendToLine(std::string_view Text);
  // The latest text or value given for a widget is the one it shows.
  void SetText(QLabel* Label, const QString& Text);
  void SetValue(QProgressBar* Bar, int Value);
  // Bar shows *Value (its maximum at most) as it is at each update: a count
  // that changes with every line costs nothing until then.
  void Follow(QProgressBar* Bar, const std::int32_t* Value);
  void Follow(QProgressBar* Bar, std::function<int()> Value);
  // Shows everything held back now.
  void Flush();

private:
  int ShownLines() const;
  void Hold();
  void ShowLog();

  QWidget* FWindow;
  QPlainTextEdit* FLog;
  QTimer FTimer;                  // the next update
  bool FHolding = false;          // something waits for it
  std::string FTail;              // for the last line the log shows
  int FCut = 0;                   // lines the log shows, from the second on, that go
  std::deque<std::string> FLines; // new lines; the last one takes what is appended
  std::vector<std::pair<QLabel*, QString>> FTexts;
  std::vector<std::pair<QProgressBar*, int>> FValues;
  std::vector<std::pair<QProgressBar*, std::function<int()>>> FFollowed;
};
