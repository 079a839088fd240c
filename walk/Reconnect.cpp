// The session when its connection goes: the reconnect with its back-off,
// the request cut short made again, and the log-in a server asks for.

#include "walk/DecodeSession.h"

#include "platform/Convert.h"
#include "walk/SessionSteps.h"

#include <algorithm>
#include <utility>

// The connection went while a walk request was out. The request is made
// again after the reconnect: the article whose request was cut short is
// examined again, and until then the stored position does not pass it. A
// line too long to hold would cut the same request again, so that article
// is passed over.
void TDecodeSession::ConnectionLost(TNntpRequest RqType, std::uint16_t Error) {
  const bool tooLong = Error == LineTooLong;
  const bool inBody = FNextStep == stepBody;
  switch (RqType) {
  case nntpHeadByNumber:
  case nntpBodyByNumber:
    if (inBody)
      DiscardCutBody(!tooLong);
    if (tooLong) {
      Log("Line too long in article " + IntToStr(FArticleCurrent) + ", passed over");
      FArticleLines = 0;
      FCurrentDone = true;
      FResumeStep = stepStart;
    } else {
      FResumeStep = RqType == nntpHeadByNumber ? stepHead : stepBody;
    }
    break;
  case nntpListOverViewFmt:
    if (tooLong)
      Log("Line too long in the overview format, requesting headers");
    FResumeStep = tooLong ? stepHead : stepOverviewFmt;
    break;
  case nntpAuthenticate: // the request that asked for it is made again
    if (FLogInRetry != stepGroup)
      FResumeStep = FLogInRetry;
    break;
  default: // GROUP: the reconnect asks for it anyway
    break;
  }
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  if (FStopped || FClosed)
    return;
  ScheduleReconnect();
}

// The server closed the connection while the walk waited to make its next
// request (an idle server's time limit, a long pacing): nothing was cut
// short, so after the reconnect that request is made as it would have been.
void TDecodeSession::ConnectionLostWhileWaiting() {
  const std::int32_t step = FNextStep == stepLogIn ? FLogInRetry : FNextStep;
  FResumeStep = step == stepGroup ? stepStart : step; // the reconnect selects the group anyway
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  ScheduleReconnect();
}

// Waits 1, 2, 4, ... 60 s before the next try; after the last one the
// window waits for R.
void TDecodeSession::ScheduleReconnect() {
  if (FReconnectTries >= MaxReconnectTries) {
    FReconnectTries = 0;
    SetStatus("Connection lost");
    Log("Connection lost");
    EnableRestart();
    EndWalk(true, weError);
    FRepair.Start();
    return;
  }
  ++FReconnectTries;
  const int seconds = std::min(1 << (FReconnectTries - 1), MaxReconnectSeconds);
  const std::string text = "Reconnecting in " + IntToStr(seconds) + " s (try " + IntToStr(FReconnectTries) +
                           " of " + IntToStr(MaxReconnectTries) + ")";
  SetStatus(text);
  Log(text);
  FNextStep = stepReconnect;
  FReconnectTimer.start(FReconnectDelay * seconds);
}

// A try of the back-off that failed leads to the next; any other failed
// connect waits for R.
void TDecodeSession::ConnectAttemptFailed(const std::string& Why) {
  if (FReconnectTries == 0) {
    ConnectFailed(Why);
    return;
  }
  if (FStopAfter) {
    CarryOutAfter();
    return;
  }
  if (!FStopped && !FClosed)
    ScheduleReconnect();
}

// After a reconnect: the request cut short is made again, else the walk
// moves on. A skip asked for meanwhile passes the article cut short too, so
// an article that keeps breaking the connection can be left behind.
void TDecodeSession::GoOn() {
  const std::int32_t step = std::exchange(FResumeStep, stepStart);
  const bool article = step == stepHead || step == stepBody;
  if (step == stepStart || (article && FSkipPending > 0)) {
    Advance();
    return;
  }
  Resume(step);
}

// Makes a request of the walk again, with the status it had.
void TDecodeSession::Resume(std::int32_t Step) {
  const std::string number = IntToStr(FArticleCurrent);
  switch (Step) {
  case stepHead:
    SetStatus("Request Header " + number);
    break;
  case stepBody:
    SetStatus("Request Body " + number);
    break;
  case stepGroup:
    SetStatus("Request GroupList");
    break;
  default:
    SetStatus("Request Overview Format");
  }
  GoTo(Step);
}

// The server wants to know who we are before it answers the request: log in
// and make the request again, once per connection. An article asked for
// that way is not examined until the request is answered.
void TDecodeSession::LogInNeeded(TNntpRequest RqType) {
  switch (RqType) {
  case nntpGroup:
    FLogInRetry = stepGroup;
    break;
  case nntpListOverViewFmt:
    FLogInRetry = stepOverviewFmt;
    break;
  default:
    FLogInRetry = RqType == nntpHeadByNumber ? stepHead : stepBody;
  }
  if (FStopAfter) {
    // R makes the refused request again, after a log-in.
    if (FLogInRetry != stepGroup)
      FResumeStep = FLogInRetry;
    CarryOutAfter();
    return;
  }
  if (Nntp.UserName().empty() || Nntp.PassWord().empty()) {
    StopForLogIn("Log-in needed by " + Nntp.Host() + ": set a user and password in Configure");
    return;
  }
  // Logged in and still asked: the log-in does not open this to us.
  if (FLoggedIn) {
    StopForLogIn("Log-in refused by " + Nntp.Host());
    return;
  }
  SetStatus("Logging in to " + Nntp.Host());
  GoTo(stepLogIn);
}

void TDecodeSession::LogInDone(std::uint16_t Error) {
  if (FNextStep != stepLogIn)
    return;
  if (Error != 0) {
    StopForLogIn("Log-in refused by " + Nntp.Host());
    return;
  }
  FLoggedIn = true;
  TellCompressed();
  Resume(FLogInRetry);
}

// The walk ends here with a QUIT and waits for R, which connects again and
// makes the refused request again; the position stays before it.
void TDecodeSession::StopForLogIn(const std::string& Text) {
  if (FLogInRetry != stepGroup)
    FResumeStep = FLogInRetry;
  StopWalk(Text, weLogIn);
}

// Ends the walk with QUIT for a reason of its own, shown in the log and the
// status; R connects again and goes on from the position kept.
void TDecodeSession::StopWalk(const std::string& Text, TWalkEnd How) {
  Log(Text);
  SetStatus(Text);
  FStopText = Text;
  SetButtons(true, false, true, false);
  GoTo(stepFinished);
  EndWalk(true, How);
}
