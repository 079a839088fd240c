#pragma once

#include <QObject>

#include <functional>
#include <string>

class QMdiArea;
class QMdiSubWindow;

// Asks before downloads are stopped: once at exit for every decode window
// still downloading, and when such a window is closed. Yes with "Do not ask
// again" checked turns the question off.
class TCloseQuestion : public QObject {
  Q_OBJECT
public:
  struct TAnswer {
    bool Stop = false;
    bool DoNotAskAgain = false;
  };
  // Shows the question; tests answer it in place of the message box.
  using TAsker = std::function<TAnswer(const std::string& Text)>;
  static TAsker SetAsker(TAsker Asker);

  explicit TCloseQuestion(QMdiArea* Area);

  bool Ask = true;
  // Called for a decode window that is about to close, asked or not.
  std::function<void(QMdiSubWindow* Sub)> OnClose;

  // Closing Sub, whose widget is a decode window, asks while it downloads.
  void Watch(QMdiSubWindow* Sub);
  // Closes every decode window after one question for those downloading;
  // false when the user keeps them, and then none is closed.
  bool CloseAll();

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  bool MayStop(int Downloading, const std::string& Text);

  QMdiArea* FArea;
  bool FClosingAll = false;
};
