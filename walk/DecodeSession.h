#pragma once

#include "decode/ArticleScanner.h"
#include "decode/Repair.h"
#include "nntp/NntpCli.h"
#include "platform/Exceptions.h"
#include "walk/HeapTrim.h"
#include "walk/IncompleteFiles.h"
#include "walk/OverviewWalk.h"
#include "walk/PostGrouper.h"
#include "walk/StartValues.h"
#include "walk/SubjectFilter.h"
#include "walk/TransferMeter.h"
#include "walk/WalkLock.h"

#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

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

// How a walk ended by itself; the status says why.
enum TWalkEnd : std::uint8_t {
  weDone = 0,  // it reached the group's end
  weError = 1, // a connect, the group or the connection failed
  weLogIn = 2, // the server wants a log-in it was not given, or refused it
  weBusy = 3   // another walker has the session folder
};

// The commands a walk takes now: X, A, R and S.
struct TCommands {
  bool Stop = true;
  bool After = true;
  bool Restart = false;
  bool Skip = true;
};

using TSessionText = std::function<void(TObject* Sender, const std::string& Text)>;
using TSessionNumber = std::function<void(TObject* Sender, std::int64_t Value)>;

// One automatic download-and-decode session on one server and one group:
// the walk through the group's articles, the scanner and the decode stage
// it builds on, the repair after it and the position it stores. It reads
// its start values from StartValues and says what it does through the
// events below; a decode window shows them, and so can a program without
// a window. It uses Qt's event loop, never a widget.
class TDecodeSession : private THeapTrim, public TArticleScanner, public TObject {
public:
  TDecodeSession();
  ~TDecodeSession() override;

  // Components.
  TNntpCli Nntp;
  QTimer Timer1; // pacing timer (the PACING setting, 500 ms by default), off until the walk needs it

  // The commands. Start reads the start values, makes the session folder,
  // takes its lock, reads the position and connects; a start-up that stops
  // says why in the status and raises the error. Close stores the position
  // and lets the folder go; nothing goes out after it.
  void Start();
  void Close();
  void Stop();               // X: at once; the part of a block being read is thrown away
  void StopAfter();          // A: once the request in hand is answered
  void Restart();            // R
  void Skip(std::int64_t N); // S: N articles from the one in hand; N above 0

  // Events, raised only when set.
  TSessionText OnLog;       // a new line of the log
  TSessionText OnLogAppend; // text added to the log's last line
  TSessionText OnStatus;    // what the walk is doing, or why it stopped
  TSessionText OnCaption;   // "Decoding", "Download Done", ... with the group and the server
  // What the user can do about a start-up that failed, or "" once it is
  // tried again.
  TSessionText OnAdvice;
  TSessionNumber OnCurrentArticle;
  TSessionNumber OnLastArticle;
  TSessionNumber OnGroupProgress; // per mille of the walk's range
  TSessionNumber OnBodyStarted;   // the Lines: of a body whose lines begin to come (BodyLines())
  TSessionText OnFileSaved;       // the name a file was stored under in the session folder
  TSessionNumber OnDecodedCount;  // part files done with so far
  // A file left incomplete: a part file kept undecoded, a yEnc file that
  // misses parts. Name as in the session folder; Why as the log says it.
  std::function<void(TObject* Sender, const std::string& Name, const std::string& Why)> OnIncompleteFile;
  std::function<void(TObject* Sender, const TTransferFigures& Figures)> OnTransfer; // every 250 ms while busy
  std::function<void(TObject* Sender, const TCommands& Commands)> OnCommands;
  // The walk ended by itself: done, stopped for an error, waiting for a
  // log-in, or the folder is another's. Not after A, X or Close, which
  // were asked for.
  std::function<void(TObject* Sender, TWalkEnd How)> OnWalkEnded;
  // Settled() has become true: raised from the event loop once whatever the
  // session had still to say has been said.
  TNotifyEvent OnSettled;

  // What the events said last.
  bool Downloading() const { return FRunning; } // from the start or R to its end, A or X
  // Nothing more happens without a command: no request out or due, no
  // reconnect waited for, no repair running. A walk that ended is over
  // once it is settled (see OnSettled).
  bool Settled() const;
  const std::string& Status() const { return FStatus; }
  const std::string& Advice() const { return FAdvice; }
  const TCommands& Commands() const { return FCommands; }
  std::int32_t DecodedCount() const { return FDecodedCount; }
  // The files the last walk that reached the group's end left incomplete,
  // less those completed since.
  std::int32_t IncompleteCount() const { return std::int32_t(FIncomplete.Count()); }
  std::int64_t ArticleCurrent() const { return FArticleCurrent; }
  std::int64_t ArticleEnd() const { return FArticleEnd; }
  int GroupProgress() const;
  const std::int32_t& BodyLines() const { return FBodyLinesShown; }
  // Of the yEnc file being received, where its size is known; else 0.
  int DecodedPercent() const { return FYEnc.Percent(); }
  const std::string& ServerShown() const { return FServerShown; }
  const std::string& GroupName() const { return FGroup; }
  // The session folder with its "/"; empty until the start-up has made it
  // and taken its lock.
  const std::string& SessionDir() const { return FSessionDir; }
  TTransferMeter& Transfer() { return FTransfer; }

  // Handlers.
  void NntpSessionConnected(TObject* Sender, std::uint16_t Error);
  void NntpSessionClosed(TObject* Sender, std::uint16_t Error);
  void NntpRequestDone(TObject* Sender, TNntpRequest RqType, std::uint16_t Error);
  void NntpMessageEnd(TObject* Sender);
  void NntpMessageLine(TObject* Sender);
  void Timer1Timer(TObject* Sender);

protected:
  // How the scanner's reports reach the events.
  void Log(const std::string& Text) override;
  void LogAppend(const std::string& Text) override;
  void SetStatus(const std::string& Text) override;
  void FileStarted(std::string_view Name) override;
  void FileSaved(const std::string& Name) override;
  void CountDecodedFile() override;
  void GiveUpBody() override;
  void StartBody() override;
  void SetCaption(const std::string& Text);
  void SetAdvice(const std::string& Text);
  void ShowCurrentArticle();
  void ShowGroupProgress();
  void ShowLastArticle();
  std::string Shown(std::string Text) const;
  // Looks at Settled() once everything posted so far has been handled.
  void PostSettleCheck();
  void Incomplete(const std::string& Name, const std::string& Why) override;

  // The controller's own steps (Controller.cpp).
  void WireController();
  void WireRepair();
  void WireProgress();
  void ReadStartValues();
  static std::vector<TFillSource> FillSources(const IStartValues& Values);
  void StartSession();
  void StartStopped(const std::string& Why, bool CanRetry);
  void WalkedElsewhere();
  void ConnectToServer();
  void ConnectFailed(const std::string& Why);
  void RequestGroup();
  void GroupReply(std::uint16_t Error);
  void GroupRefused(std::uint16_t Error);
  bool LinesInRange() const;
  // Its post is wanted (see TPostGrouper), or, of no post, the Lines: range
  // and the subject filter pass it.
  bool BodyWanted();
  void HeaderDone();
  void Advance();
  void WalkDone();
  void ConnectionEnded();
  void CarryOutAfter();
  void RestartAfterStop();
  void Reconnect();
  void NoteArticleDone(TNntpRequest RqType);
  std::int64_t NextToExamine() const;
  std::int64_t OpenBlockStart() const;
  void GoTo(std::int32_t Step);
  // Tell: the walk ended by itself, which OnWalkEnded says, How.
  void EndWalk(bool Tell, TWalkEnd How = weDone);
  void SetButtons(bool StopOn, bool AfterOn, bool RestartOn, bool SkipOn);
  void EnableRestart();
  std::string ErrorText(std::uint16_t Error) const;
  // NntpMessageLine's work: the scanner reads what the step says.
  void ScanLine(std::string_view Line);
  // Lines came, of LineBytes without their CR LF.
  void CountReceived(std::size_t LineBytes, std::int64_t Lines = 1);
  void CountLink(); // the link's bytes, once compressed, counted now
  static constexpr std::int64_t LinkCountStep = 64 * 1024;
  void TellCompressed();

  // The walk by overview and the reconnect after a lost connection
  // (Reconnect.cpp).
  void ControllerMessageLine(TObject* Sender);
  void OverviewFormatLine(std::string_view Line);
  void OverviewFormatDone(std::uint16_t Error);
  bool WalksByOverview() const;
  void ContinueWithHeaders();
  void ConnectionLost(TNntpRequest RqType, std::uint16_t Error);
  void ConnectionLostWhileWaiting();
  void ScheduleReconnect();
  void ConnectAttemptFailed(const std::string& Why);
  void GoOn();
  void Resume(std::int32_t Step);
  // Log-in when the server answers a request with 480 (Reconnect.cpp).
  void LogInNeeded(TNntpRequest RqType);
  void LogInDone(std::uint16_t Error);
  void StopForLogIn(const std::string& Text);
  void StopWalk(const std::string& Text, TWalkEnd How);

  // The walk by overview over several connections (OverviewFetch.cpp): the
  // session's own connection selects the group and reads the overview's
  // format, then closes, and FWalk's connections fetch the articles.
  void WireWalk();
  void StartWalk();
  void WalkArticleBegin(std::int64_t Number, std::int64_t Lines);
  void WalkArticleLine(std::string_view Line);
  std::size_t WalkArticleLines(std::string_view Run);
  void WalkArticleAhead(std::int64_t Number);
  void WalkArticleEnd(std::int64_t Number, std::uint16_t Error);
  void WalkStopped(const std::string& Why);
  void WalkHeaders(std::int64_t From, std::int64_t Until);
  void FollowWalk();
  TOverviewWalk FWalk;
  // Verifies the PAR2 sets of the files this session saved once a walk ends.
  TRepair FRepair;
  TTransferMeter FTransfer;
  TWalkLock FLock;

  // The walk's state beyond what it shares with the scanner.
  std::int32_t FNextStep = stepStart;
  std::int64_t FArticleStart = 0;
  std::int64_t FArticleEnd = 0;
  std::int32_t FMinLines = 0;
  std::int32_t FMaxLines = 0;
  std::string FServerEntry; // as the main window lists it
  std::string FServerShown; // without the user
  std::string FGroup;
  std::string FFolderToMake; // the session folder, without its "/"
  bool FStopAfter = false;
  TSubjectFilter FSubjectFilter; // chooses besides the Lines: range
  bool FWalkStarted = false;     // the first GROUP reply has set the walk's range
  bool FWalkDone = false;        // the walk reached the group's end
  // FArticleCurrent is done with: its body came whole and was scanned, or
  // it was out of range, refused by the server or skipped.
  bool FCurrentDone = false;
  // The article whose body began part file number FBlockCount.
  std::int64_t FBlockStart = 0;
  std::int32_t FBlockCount = 0;
  std::int64_t FStoppedBlock = 0; // X: the first article of the block it threw away
  bool FConnecting = false;       // a connect is out; its failure comes as a completion
  bool FClosed = false;           // Close has run: nothing goes out any more
  bool FRunning = false;          // see Downloading()
  std::int64_t FSkipPending = 0;  // articles to skip at the next advance
  std::string FStatus;            // what the status shows
  std::string FAdvice;            // what to do about a failed start-up
  TCommands FCommands;

  // Field of Lines: in an overview line (0 is the article number); 0 while
  // the walk reads every header instead.
  std::int32_t FLinesField = 0;
  bool FLinesFull = false;        // its values carry the field name ("Lines: 250")
  std::int32_t FSubjectField = 1; // field of Subject: in an overview line
  std::int32_t FFormatIndex = 0;  // entries of LIST OVERVIEW.FMT read so far
  std::int32_t FFormatSubjectField = 0;
  std::int32_t FFormatMessageIdField = 0;
  std::int32_t FFormatLinesField = 0;
  bool FFormatLinesFull = false;
  std::int32_t FFormatPosterField = 0; // of From:, 0 when the format has none
  // The posts the walk by headers has met, and what it decided last.
  TPostGrouper FHeadPosts;
  std::int64_t FHeadDecided = std::numeric_limits<std::int64_t>::min();
  std::int64_t FHeadDecidedLines = 0;
  std::string FHeadDecidedSubject;
  bool FHeadFetch = false;
  std::int64_t FHeadPosterOf = std::numeric_limits<std::int64_t>::min(); // the article FHeadPoster is of
  std::string FHeadPoster;
  // Up to this article headers are read, after an overview that could not be.
  std::int64_t FHeadsUntil = std::numeric_limits<std::int64_t>::min();
  std::int32_t FResumeStep = stepStart;            // the step cut short, taken up after the reconnect
  std::int32_t FReconnectTries = 0;                // tries since the connection was lost
  bool FStopped = false;                           // X: nothing reconnects
  QTimer FReconnectTimer;                          // the wait before the next try
  std::chrono::milliseconds FReconnectDelay{1000}; // what "1 s" of the back-off is; tests shorten it
  std::int32_t FLogInRetry = stepStart; // the step the server answered with 480, made again after the log-in
  bool FLoggedIn = false;               // this connection has logged in
  std::string FStopText;                // why the walk stopped, shown once its QUIT is answered
  QObject FSettleChecks;                // the receiver of the posted checks, which go with the session
  bool FSettledShown = false;           // OnSettled has said so
  std::int64_t FLinkSeen = -1;          // link bytes counted so far, once compressed
  std::int64_t FLinesUncounted = 0;     // bytes of lines since the link was last counted
  TIncompleteFiles FIncomplete;
  // The walk reached the group's end: what it leaves incomplete is told.
  void TellIncomplete();
};
