#pragma once

#include "decode/PartFile.h"
#include "decode/Repair.h"
#include "decode/YEncReceiver.h"
#include "nntp/NntpCli.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "walk/OverviewWalk.h"
#include "walk/SubjectFilter.h"
#include "window/UpdatePacer.h"

#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

class QCloseEvent;
class QLabel;
class QFrame;
class QListWidget;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class TSavedFiles;
class TTransferProgress;

// What the pacing timer does at its next tick; also tells the scanner whether
// a received line belongs to a header or a body. stepOverviewFmt asks for
// the overview's format, whose lines only the controller reads. stepLogIn
// sends AUTHINFO when the server asked for a log-in, and stepGroup selects
// the group again after it. At stepFetch the walk by overview goes over to
// the connections of FWalk, whose articles are read as stepHead and
// stepBody in turn.
enum : std::int32_t {
  stepStart = 0,
  stepHead = 1,
  stepBody = 2,
  stepOverviewFmt = 5,
  stepLogIn = 6,
  stepGroup = 7,
  stepFetch = 8,
  stepReconnect = 1000,
  stepFinished = -1000
};

// One decode window: an automatic download-and-decode session on one server
// and one group. Meant to live in a QMdiSubWindow.
class TMDIChild : public QWidget, public TObject {
  Q_OBJECT
public:
  explicit TMDIChild(QWidget* parent = nullptr);
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
  QTimer* Timer1; // pacing timer (the PACING setting, 500 ms by default), off until the walk needs it

  // Components. Part files are decoded as they are written (TPartFile),
  // so the window runs no codec of its own.
  TNntpCli Nntp;

  // Helpers through which the controller, scanner and decode stage report.
  void Log(const std::string& Text);
  void LogAppend(const std::string& Text);
  void SetStatus(const std::string& Text);
  // The caption: Text, then the group and the server of the walk, so that
  // windows can be told apart.
  void SetCaption(const std::string& Text);
  void CountDecodedFile();
  // What the helpers and the body's progress change shows at most every
  // TUpdatePacer::Interval; this shows it now (the window hides or closes,
  // a test reads it).
  void FlushUpdates() const;
  // Panel 1 shows FArticleCurrent, ProgressBar3 GroupProgress().
  void ShowCurrentArticle();
  void ShowGroupProgress();
  int GroupProgress() const;
  static std::string ExtractName(const std::string& Path);
  // Whether the walk runs: from the start or R to its end, a stop or X.
  bool Downloading() const { return FRunning; }
  std::int32_t DecodedCount() const { return FDecodedCount; }

signals:
  // The walk ended by itself: done, stopped for an error, or waiting for a
  // log-in. Not after A, X or a close, which the user asked for. The status
  // bar says why.
  void WalkEnded();

public:
  // Handlers.
  void FormResize(TObject* Sender);
  void NntpMessageLine(TObject* Sender);

  // The controller's handlers (Controller.cpp): they drive the session.
  // FormCreate runs once the window is shown, never from the constructor, so
  // that a start-up error leaves the window open with its error shown.
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender);
  void NntpSessionConnected(TObject* Sender, std::uint16_t Error);
  void NntpSessionClosed(TObject* Sender, std::uint16_t Error);
  void NntpRequestDone(TObject* Sender, TNntpRequest RqType, std::uint16_t Error);
  void NntpMessageEnd(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void StopClick(TObject* Sender);
  void AfterClick(TObject* Sender);
  void RestartClick(TObject* Sender);
  void SkipClick(TObject* Sender);

protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

  // The controller's own steps (Controller.cpp).
  void WireController();
  void ReadStartValues();
  void StartSession();
  void StartStopped(const std::string& Why, bool CanRetry);
  // Resets what the scanner counts per body, as every body request does.
  void StartBody();
  void ConnectToServer();
  void ConnectFailed(const std::string& Why);
  void RequestGroup();
  void GroupReply(std::uint16_t Error);
  void GroupRefused(std::uint16_t Error);
  bool LinesInRange() const;
  bool BodyWanted() const; // the Lines: range and the subject filter pass it
  void HeaderDone();
  void Advance();
  void WalkDone();
  void ConnectionEnded();
  void CarryOutAfter();
  void Reconnect();
  void NoteArticleDone(TNntpRequest RqType);
  std::int64_t NextToExamine() const;
  std::int64_t OpenBlockStart() const;
  void GoTo(std::int32_t Step);
  // Tell: the walk ended by itself, which WalkEnded says.
  void EndWalk(bool Tell);
  void SetButtons(bool StopOn, bool AfterOn, bool RestartOn, bool SkipOn);
  std::string ErrorText(std::uint16_t Error) const;

  // The scanner's work on one line; NntpMessageLine hands it LastResponse.
  void ScanLine(std::string_view Line);
  void ScanHeaderLine(std::string_view Line);
  void ScanBodyLine(std::string_view Line);
  void ShowBodyLines() { FBodyLinesShown = FBodyLines; }
  void StartMimePart();
  void StartBlock(std::string_view Line, std::int32_t Kind);
  void StartPartFile(std::int32_t Kind);
  bool EndsBlock(std::string_view Line) const;
  void WritePart(std::string_view Data);
  // Closes the open part file (after the trailer when EndLine), decodes it
  // and leaves no part file open.
  void FinishPartFile(bool EndLine);
  void DecodePartFile();
  std::string DecodeFinishedPart(const std::string& PartFile, std::unique_ptr<TPartDecoder>& Decoder);
  std::string DecodeByKind(TPartDecoder& Decoder);
  std::string DecodeAttempt(const char* Status, TPartDecoder::TResult& Result);
  std::string PartFileName() const;

  // Scanner and decode stage: single-part articles, unfinished blocks, and
  // the names decoded files are stored under.
public:
  // To be called when a body request has ended, Complete when the whole body
  // arrived. A part file that holds the body of a single-part MIME article
  // ends with that body: it is decoded when complete, else kept undecoded.
  // Any other part file stays open for the next article. Never raises.
  void EndOfBody(bool Complete);

protected:
  bool StartsBlock(std::string_view Line);
  void CopyToPartFile(std::string_view Line);
  void ReadFileName(std::string_view Line, std::string& Name);
  void StartBodyPart();
  void KeepUnfinishedPartFile();
  // Closes the open part file and leaves it on disk undecoded.
  void ClosePartFile();
  // What one article may write: a body far past its Lines: is cut off, and
  // so is a part file that would grow past FPartFileLimit; either is kept
  // undecoded, with one line in the log.
  static constexpr std::int64_t BodyLineFactor = 4;
  static constexpr std::int64_t BodyLineMargin = 1000;
  std::int64_t BodyLineLimit() const;
  void CutOffBody();
  std::int64_t FPartFileLimit = std::int64_t(8) << 30; // tests lower it
  bool FBodyCut = false;                               // the rest of this body is passed over
  // Moves the finished file Decoded into the session folder under Name, or
  // under "Name (1).ext", "Name (2).ext", ... when a different file holds
  // that name or Name is one of the session's own files (dati.ini, a part
  // file name), without regard to case. A file with the same content is
  // replaced. Only the last part of Name counts, cut to what the folder
  // takes (the extension kept). The file gets the mode of a new file.
  // Returns the name written; raises EInOutError and leaves Decoded where it
  // is when it cannot store.
  std::string StoreDecodedFile(const std::string& Decoded, std::string Name);

  // yEnc: parts are decoded as their lines arrive; the files of several
  // parts are put together in the session folder, across windows.
public:
  // For FormClose: drops a part still arriving, finishes the checks of whole
  // files, and logs, one line per file, what the files this window wrote
  // into still miss.
  void CloseYEncFiles();

protected:
  // Reads a piece of a whole file being checked at the next turn of the
  // event loop, and so on to its end.
  void CheckYEncFiles();
  void WireRepair();
  void WireProgress();
  bool StartsYEncPart(std::string_view Line);
  void StoreYEncFile(const std::string& Path, const std::string& Name);
  TYEncReceiver FYEnc;
  // Verifies the PAR2 sets of the files this window saved once a walk ends.
  TRepair FRepair;

  // Session state shared by the controller, the scanner and the decode stage.
  std::int32_t FArticleLines = 0;
  std::int32_t FPartFileCount = 0;
  std::int32_t FNextStep = stepStart;
  std::int32_t FPartKind = 0; // 0 none, 1 and 3 uuencode (".UUE"), 2 base64 (".B64")
  // Article numbers are 64-bit like the client's: big servers pass 2^31.
  std::int64_t FArticleCurrent = 0;
  std::int64_t FArticleStart = 0;
  std::int64_t FArticleEnd = 0;
  std::int32_t FMinLines = 0;
  std::int32_t FMaxLines = 0;
  bool FMimeBase64 = false;
  std::int32_t FBodyLines = 0;
  std::int32_t FBodyLinesShown = 0;  // what ProgressBar2 shows: a line the waiting limit turns away is not
  std::int32_t FMaxWaitingLines = 0; // 0 = never give up on a body
  bool FInternalAbort = false;
  std::int32_t FFileMode = 0;
  bool FDataFound = false;
  std::int32_t FDecodedCount = 0;
  std::unique_ptr<TPartFile> FPartFile;
  // The decode of the part file just finished, for DecodePartFile.
  std::unique_ptr<TPartDecoder> FPartDecoder;
  std::string FSessionDir;
  std::string FServerEntry;  // as the main window lists it
  std::string FFolderToMake; // the session folder, without its "/"
  std::string FMimeName;
  std::string FDefExt;
  bool FStopAfter = false;
  TSubjectFilter FSubjectFilter; // chooses besides the Lines: range

  // Controller state beyond the shared fields.
  bool FWalkStarted = false; // the first GROUP reply has set the walk's range
  bool FWalkDone = false;    // the walk reached the group's end
  // FArticleCurrent is done with: its body came whole and was scanned, or
  // it was out of range, refused by the server or skipped.
  bool FCurrentDone = false;
  // The article whose body began part file number FBlockCount.
  std::int64_t FBlockStart = 0;
  std::int32_t FBlockCount = 0;
  std::int64_t FStoppedBlock = 0; // X: the first article of the block it threw away
  bool FConnecting = false;       // a connect is out; its failure comes as a completion
  bool FClosed = false;           // FormClose has run: nothing goes out any more
  bool FRunning = false;          // see Downloading()
  std::int64_t FSkipPending = 0;  // articles to skip at the next advance

  // The walk by overview and the reconnect after a lost connection
  // (Controller.cpp).
  void ControllerMessageLine(TObject* Sender);
  void OverviewFormatLine(std::string_view Line);
  void OverviewFormatDone(std::uint16_t Error);
  bool WalksByOverview() const;
  void ContinueWithHeaders();
  void ConnectionLost(TNntpRequest RqType, std::uint16_t Error);
  void ConnectionLostWhileWaiting();
  void DiscardCutBody(bool ComesAgain);
  void DiscardPartFile();
  void ScheduleReconnect();
  void ConnectAttemptFailed(const std::string& Why);
  void GoOn();
  void Resume(std::int32_t Step);
  // Log-in when the server answers a request with 480 (Controller.cpp).
  void LogInNeeded(TNntpRequest RqType);
  void LogInDone(std::uint16_t Error);
  void StopForLogIn(const std::string& Text);
  void StopWalk(const std::string& Text);

  // Field of Lines: in an overview line (0 is the article number); 0 while
  // the walk reads every header instead.
  std::int32_t FLinesField = 0;
  bool FLinesFull = false;        // its values carry the field name ("Lines: 250")
  std::int32_t FSubjectField = 1; // field of Subject: in an overview line
  std::int32_t FFormatIndex = 0;  // entries of LIST OVERVIEW.FMT read so far
  std::int32_t FFormatSubjectField = 0;
  std::int32_t FFormatLinesField = 0;
  bool FFormatLinesFull = false;
  // Up to this article headers are read, after an overview that could not be.
  std::int64_t FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  std::int32_t FBodyPartCount = 0; // FPartFileCount when the body started
  std::int64_t FBodyPartSize = 0;  // and the size of the part file open then
  bool FBodyMimeBase64 = false;    // the scanner's MIME state when the body started
  std::string FBodyMimeName;
  std::int32_t FResumeStep = stepStart;            // the step cut short, taken up after the reconnect
  std::int32_t FReconnectTries = 0;                // tries since the connection was lost
  bool FStopped = false;                           // X: nothing reconnects
  QTimer* FReconnectTimer = nullptr;               // the wait before the next try
  std::chrono::milliseconds FReconnectDelay{1000}; // what "1 s" of the back-off is; tests shorten it
  std::int32_t FLogInRetry = stepStart; // the step the server answered with 480, made again after the log-in
  bool FLoggedIn = false;               // this connection has logged in
  std::string FStopText;                // why the walk stopped, shown once its QUIT is answered

  // The walk by overview over several connections (Controller.cpp): the
  // window's own connection selects the group and reads the overview's
  // format, then closes, and FWalk's connections fetch the articles.
  void WireWalk();
  void StartWalk();
  void WalkArticleBegin(std::int64_t Number, std::int64_t Lines);
  void WalkArticleLine(std::string_view Line);
  void WalkArticleEnd(std::int64_t Number, std::uint16_t Error);
  void WalkStopped(const std::string& Why);
  void WalkHeaders(std::int64_t From, std::int64_t Until);
  void FollowWalk();
  // The scanner's waiting limit: the rest of the body is not read.
  void GiveUpBody();
  TOverviewWalk FWalk;

private:
  std::string Shown(std::string Text) const;
  std::unique_ptr<TUpdatePacer> FUpdates;
  std::string FStatus; // what panel 0 shows once the window has caught up

  // What the header of article FHeadArticle says about its body.
  std::int64_t FHeadArticle = 0;
  bool FHeadBase64 = false;
  std::string FHeadName;
  std::string FHeadSubject;
  bool FInSubject = false;       // a folded line continues the Subject
  std::uint8_t FHeaderField = 0; // the name-bearing field a folded line continues
  bool FBodyPart = false;        // the open part file ends with the body
};
