#pragma once

#include "platform/Exceptions.h"
#include "walk/DecodeSession.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class QCloseEvent;
class QLabel;
class QFrame;
class QListWidget;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;
class TSavedFiles;
class TTransferProgress;
class TUpdatePacer;

// One decode window: shows a decode session (TDecodeSession) on one server
// and one group, and gives it the user's commands. Meant to live in a
// QMdiSubWindow.
class TMDIChild : public QWidget, public TObject {
  Q_OBJECT
public:
  explicit TMDIChild(QWidget* parent = nullptr);
  // A window on a session of the caller's (tests open theirs).
  explicit TMDIChild(std::unique_ptr<TDecodeSession> Session, QWidget* parent = nullptr);
  ~TMDIChild() override;

  // Controls, owned by their Qt parents.
  QWidget* SB1;                     // status bar; FormResize places its panels
  std::array<QLabel*, 4> SB1Panels; // status, current article, last article, decoded count
  QFrame* Panel1;
  QLabel* lblHostName;
  QLabel* lblGroupName;
  QPlainTextEdit* Memo1;
  QFrame* PnlInfo;
  QProgressBar* ProgressBar3;
  QProgressBar* ProgressBar2;
  QProgressBar* ProgressBar1;
  QPushButton* Stop;
  QPushButton* After;
  QPushButton* Restart;
  QPushButton* Skip;
  QLineEdit* EdArticlesToSkip;
  QListWidget* LBSaved;
  QToolButton* btOpenFolder;           // opens the session folder
  TTransferProgress* TransferProgress; // file, bytes, speed, articles, time left
  TSavedFiles* SavedFiles;             // opens what LBSaved lists

  // The walk the window shows.
  TDecodeSession& Session() { return *FSession; }
  const TDecodeSession& Session() const { return *FSession; }

  // What the session's events change shows at most every
  // TUpdatePacer::Interval; this shows it now (the window hides or closes,
  // a test reads it).
  void FlushUpdates() const;
  // Whether the walk runs: from the start or R to its end, a stop or X.
  bool Downloading() const { return FSession->Downloading(); }
  std::int32_t DecodedCount() const { return FSession->DecodedCount(); }
  std::int32_t IncompleteCount() const { return FSession->IncompleteCount(); }

signals:
  // The walk ended by itself: done, stopped for an error, waiting for a
  // log-in, or the folder is another walker's. Not after A, X or a close,
  // which the user asked for. The status bar says why.
  void WalkEnded();

public:
  // Handlers. FormCreate runs once the window is shown, never from the
  // constructor, so that a start-up error leaves the window open with its
  // error shown.
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender);
  void FormResize(TObject* Sender);
  void StopClick(TObject* Sender);
  void AfterClick(TObject* Sender);
  void RestartClick(TObject* Sender);
  void SkipClick(TObject* Sender);

protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void WireSession();
  void WireButtons();
  void ShowNames();
  void ShowCommands(const TCommands& Commands);
  void SetCaption(const std::string& Text);

  std::unique_ptr<TDecodeSession> FSession;
  std::unique_ptr<TUpdatePacer> FUpdates;
};
