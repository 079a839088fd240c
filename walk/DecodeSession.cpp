#include "walk/DecodeSession.h"

#include "platform/Convert.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"
#include "walk/SessionSteps.h"
#include "walk/StartValues.h"

#include <algorithm>
#include <limits>
#include <utility>

IStartValues* StartValues = nullptr;

TDecodeSession::TDecodeSession() {
  Timer1.setInterval(500);
  WireRepair();
  WireProgress();
  WireController();
}

// A part file still open when the session goes stays on disk unfinished;
// the writer closes it. The lock goes with the session.
TDecodeSession::~TDecodeSession() = default;

// Every file listed as saved may belong to a PAR2 set. A repaired file is
// stored and listed like a decoded one; when it is the file a .partial was
// being put together for, its parts are no longer waited for, else the
// file still coming keeps the name. A running verify or repair shows in the status; once none is left,
// the status shows what the walk showed last.
void TDecodeSession::WireRepair() {
  FRepair.OnLog = [this](const std::string& Text) { Log(Text); };
  FRepair.OnFile = [this](const std::string& Path, const std::string& Name, bool Completes) {
    const std::string partial = FSessionDir + Name + ".partial";
    StoreYEncFile(Path, Name, !Completes && FileExists(partial) ? 1 : 0);
    if (Completes) {
      FYEnc.Forget(partial);
      FIncomplete.Completed(Name);
    }
  };
  FRepair.OnShort = [this](const std::string& Title, std::int64_t Needed) {
    for (const std::string& name : FIncomplete.Short(Title, Needed)) {
      const std::string line = name + ": " + FIncomplete.Files().at(name);
      Log(line);
      Incomplete(name, line);
    }
  };
  FRepair.OnStatus = [this, walk = std::string(), shown = std::string()](const std::string& Text) mutable {
    if (FStatus != shown)
      walk = FStatus;
    // Once the sets are done the walk's end says what is still incomplete.
    if (Text.empty() && FWalkDone && walk.starts_with("Downloading Done")) {
      walk = "Downloading Done" + TIncompleteFiles::Suffix(FIncomplete.Count());
      SetCaption("Download Done" + TIncompleteFiles::Suffix(FIncomplete.Count()));
    }
    SetStatus(Text.empty() ? walk : Text);
    shown = FStatus;
    if (Text.empty())
      PostSettleCheck();
  };
}

// The walk's articles are counted from its first to the group's last; the
// current one is handled once done with. Numbers come from the server, so
// the count saturates rather than overflow.
void TDecodeSession::WireProgress() {
  FTransfer.Articles = [this]() -> TArticleCount {
    std::int64_t total = 0, handled = 0;
    if (!FWalkStarted || __builtin_sub_overflow(FArticleEnd, FArticleStart, &total) || total < 0)
      return {};
    total = total == std::numeric_limits<std::int64_t>::max() ? total : total + 1;
    if (FWalkDone || __builtin_sub_overflow(FArticleCurrent, FArticleStart, &handled))
      return {total, total};
    // The article in hand counts: the first one's fetch reads "1 of n".
    handled = handled < total ? handled + 1 : total;
    return {std::clamp<std::int64_t>(handled, 0, total), total};
  };
  FTransfer.OnTick = [this](const TTransferFigures& Figures) {
    if (OnTransfer)
      OnTransfer(this, Figures);
  };
  FYEnc.OnUnfinished = [this](const std::string& Name, const std::string& Why) { Incomplete(Name, Why); };
}

void TDecodeSession::Log(const std::string& Text) {
  if (OnLog)
    OnLog(this, Shown(Text));
}

void TDecodeSession::LogAppend(const std::string& Text) {
  if (OnLogAppend)
    OnLogAppend(this, Shown(Text));
}

void TDecodeSession::SetStatus(const std::string& Text) {
  FTransfer.Wake();
  FStatus = Shown(Text);
  if (OnStatus)
    OnStatus(this, FStatus);
}

// Text, then the group and the server of the walk, so that windows can be
// told apart.
void TDecodeSession::SetCaption(const std::string& Text) {
  if (OnCaption)
    OnCaption(this, FGroup.empty() ? Text : Text + " \u2014 " + FGroup + " on " + FServerShown);
}

// The session folder is named after the server entry as written, user and
// all: a path inside it is shown from the folder on ("3.UUE").
// A line of advice goes to the log as well.
void TDecodeSession::SetAdvice(const std::string& Text) {
  if (Text.empty() && FAdvice.empty())
    return;
  FAdvice = Text;
  if (!Text.empty())
    Log(Text);
  if (OnAdvice)
    OnAdvice(this, Text);
}

std::string TDecodeSession::Shown(std::string Text) const {
  if (!FSessionDir.empty())
    for (std::size_t at; (at = Text.find(FSessionDir)) != std::string::npos;)
      Text.erase(at, FSessionDir.size());
  return Text;
}

void TDecodeSession::FileStarted(std::string_view Name) { FTransfer.FileStarted(Name); }

void TDecodeSession::FileSaved(const std::string& Name) {
  FRepair.Saved(Name);
  FIncomplete.Completed(Name); // a later walk has made it whole
  if (OnFileSaved)
    OnFileSaved(this, Name);
}

void TDecodeSession::CountDecodedFile() {
  TArticleScanner::CountDecodedFile();
  if (OnDecodedCount)
    OnDecodedCount(this, FDecodedCount);
}

void TDecodeSession::TellIncomplete() {
  for (const auto& [name, why] : FIncomplete.Files()) {
    Log(name + ": " + why);
    Incomplete(name, name + ": " + why);
  }
}

void TDecodeSession::Incomplete(const std::string& Name, const std::string& Why) {
  if (OnIncompleteFile)
    OnIncompleteFile(this, Shown(Name), Shown(Why));
}

void TDecodeSession::ShowCurrentArticle() {
  if (OnCurrentArticle)
    OnCurrentArticle(this, FArticleCurrent);
}

void TDecodeSession::ShowLastArticle() {
  if (OnLastArticle)
    OnLastArticle(this, FArticleEnd);
}

void TDecodeSession::ShowGroupProgress() {
  if (OnGroupProgress)
    OnGroupProgress(this, GroupProgress());
}

// The numbers come from the server: near the 64-bit limits they must give a
// rough per mille (or 0), not an overflow.
int TDecodeSession::GroupProgress() const {
  std::int64_t span = 0, done = 0, scaled = 0;
  if (__builtin_sub_overflow(FArticleEnd, FArticleStart, &span) || span <= 0 ||
      __builtin_sub_overflow(FArticleCurrent, FArticleStart, &done))
    return 0;
  if (__builtin_mul_overflow(done, 1000, &scaled))
    return static_cast<int>(done / std::max<std::int64_t>(span / 1000, 1));
  return static_cast<int>(scaled / span);
}

// After a QUIT is answered the server may keep the connection open a while:
// nothing comes of it.
bool TDecodeSession::Settled() const {
  const TNntpState state = Nntp.State();
  const bool idle = state == nntpNotConnected || (state == nntpReady && FNextStep == stepFinished);
  return idle && !FRunning && !FConnecting && !Timer1.isActive() && !FReconnectTimer.isActive() &&
         !FWalk.Running() && !FRepair.Running();
}

// A completion the client has posted is handled before the check, which is
// posted behind it; so is anything a handler posts before it asks for one.
void TDecodeSession::PostSettleCheck() {
  QTimer::singleShot(0, &FSettleChecks, [this] {
    if (!Settled()) {
      FSettledShown = false;
      return;
    }
    if (!std::exchange(FSettledShown, true) && OnSettled)
      OnSettled(this);
  });
}

void TDecodeSession::StartBody() {
  TArticleScanner::StartBody();
  if (OnBodyStarted)
    OnBodyStarted(this, FArticleLines);
}

void TDecodeSession::NntpMessageLine(TObject*) { ScanLine(Nntp.LastResponse()); }

void TDecodeSession::ScanLine(std::string_view Line) {
  if (FNextStep == stepHead) {
    // The poster keeps posts of the same subjects apart in the walk by
    // headers.
    if (FHeadPosterOf != FArticleCurrent) {
      FHeadPosterOf = FArticleCurrent;
      FHeadPoster.clear();
    }
    if (Line.size() > 5 && SameText(Line.substr(0, 5), "From:"))
      FHeadPoster = TrimSpaces(WithoutCR(Line.substr(5, 1024)));
    HeaderLine(Line);
  } else if (FNextStep == stepBody)
    BodyLine(Line);
}

void TDecodeSession::SetButtons(bool StopOn, bool AfterOn, bool RestartOn, bool SkipOn) {
  FCommands = {StopOn, AfterOn, RestartOn, SkipOn};
  if (OnCommands)
    OnCommands(this, FCommands);
}

void TDecodeSession::EnableRestart() {
  FCommands.Restart = true;
  if (OnCommands)
    OnCommands(this, FCommands);
}

// Another window or walker has the folder: nothing in it is touched, and R
// tries again.
void TDecodeSession::WalkedElsewhere() {
  const pid_t holder = FLock.Holder();
  StartStopped(FGroup + " on " + FServerShown + " is being walked by another Vostel" +
                   (holder > 0 ? " (process " + IntToStr(holder) + ")" : std::string()),
               true);
  if (OnWalkEnded)
    OnWalkEnded(this, weBusy);
}
