#include "platform/Convert.h"
#include "walk/ArticleFetcher.h"
#include "walk/FetcherConnection.h"

#include <algorithm>

void TArticleFetcher::SessionConnected(TConnection& c, std::uint16_t Error) {
  if (!FRunning || c.Phase != TConnection::Connecting || Error != 0)
    return; // a failed connect ends with its request
  // 400, 481, 502: this server takes no more connections of ours now.
  if (c.Nntp.StatusCode() >= 400) {
    ConnectFailed(c, c.Nntp.LastResponse());
    RethrowPending();
    return;
  }
  FEverConnected = true;
  c.Phase = TConnection::Group;
  c.Nntp.Group(FGroup);
}

// A refused connection tries again with the back-off like a lost one: a
// server that is restarting, or has no slot free for us now, may have one
// in a moment. The first refusal since the start is logged.
void TArticleFetcher::ConnectFailed(TConnection& c, std::string Reason) {
  if (c.Nntp.State() != nntpNotConnected)
    c.Nntp.Abort();
  c.Phase = TConnection::Down;
  if (!c.Stood && c.Tries == 0 && !std::exchange(FRefusalLogged, true))
    Log(FServer.Host + " refused connection " + IntToStr(c.Number) + " of " + IntToStr(FConnections) + ": " +
        Reason);
  Lost(c);
}

// The requests cut short end first; then the connection goes again. What
// it refused since its last reply that fitted is asked for again.
void TArticleFetcher::SessionClosed(TConnection& c) {
  if (!FRunning || c.Phase == TConnection::Retired || c.Phase == TConnection::Connecting)
    return;
  c.Current = nullptr;
  c.Scanning = false;
  c.Phase = TConnection::Down;
  const bool again = AskUnprovenAgain(c);
  // A seek whose STAT has ended and whose NEXT had yet to go goes again.
  if (c.Seek == TConnection::NextDue && (c.Sent.empty() || !c.Sent.back().Seek)) {
    c.Seek = TConnection::NoSeek;
    if (FSeek)
      FSeek->Sent = false;
  }
  if (c.Sent.empty()) {
    Lost(c);
    // The overview that waited for the connection that compressed goes
    // over the others now; the bodies that kept off the compressed one go
    // over it when no plain connection is left.
    if (again || &c == FPool.front().get() || !PlainStands())
      PumpAll();
  }
  RethrowPending();
}

void TArticleFetcher::Lost(TConnection& c) {
  if (FStopAfter)
    CheckStopAfter();
  else
    ScheduleReconnect(c);
}

// A connection that has not stood yet tries quietly while others fetch,
// and while none does only the first to fail says so: a provider's limit
// must not fill the log with the tries of every connection past it.
void TArticleFetcher::ScheduleReconnect(TConnection& c) {
  c.Phase = TConnection::Down;
  if (!c.Stood && FSpeaker == 0)
    FSpeaker = c.Number;
  const bool quiet = !c.Stood && (Standing() > 0 || c.Number != FSpeaker);
  if (++c.Tries > MaxReconnectTries) {
    c.Phase = TConnection::Retired;
    if (!quiet)
      Log("Connection " + IntToStr(c.Number) + " lost");
    TellStanding();
    CheckAlive();
    return;
  }
  const int seconds = std::min(1 << (c.Tries - 1), MaxReconnectSeconds);
  if (!quiet)
    Log("Connection " + IntToStr(c.Number) + " reconnecting in " + IntToStr(seconds) + " s (try " +
        IntToStr(c.Tries) + " of " + IntToStr(MaxReconnectTries) + ")");
  c.Reconnect.start(FReconnectDelay * seconds);
  TellStanding();
}

// A connection that has just had the group selected or logged in waits the
// pacing like after any other reply.
void TArticleFetcher::PaceOrPump(TConnection& c) {
  if (FPacing > 0)
    c.Pace.start(FPacing);
  else
    Pump(c);
}

// The connections the fetching has: those that have stood since the start
// and are not given up, a lost one waiting for its next try included.
int TArticleFetcher::Standing() const {
  return int(std::count_if(FPool.begin(), FPool.end(),
                           [](const auto& c) { return c->Stood && c->Phase != TConnection::Retired; }));
}

// Once no connection is being made, says how many the fetching has, when
// that differs from what was said last (at the start: all of them). With
// none, the reconnect lines say what goes on.
void TArticleFetcher::TellStanding() {
  for (const auto& c : FPool)
    if (c->Phase == TConnection::Connecting || c->Phase == TConnection::Group ||
        c->Phase == TConnection::LogIn)
      return;
  const int standing = Standing();
  if (standing == 0 || standing == std::exchange(FToldStanding, standing))
    return;
  Log("Fetching over " + IntToStr(standing) + " of " + IntToStr(FConnections) + " connections");
}

// With no connection left, or waiting to come back, the fetcher stops.
void TArticleFetcher::CheckAlive() {
  for (const auto& c : FPool)
    if (c->Phase != TConnection::Retired &&
        (c->Phase != TConnection::Down || c->Reconnect.isActive() || !c->Sent.empty()))
      return;
  StopWith(FEverConnected ? "Connection lost" : "Not Connected");
}

void TArticleFetcher::LogIn(TConnection& c) {
  if (FServer.User.empty() || FPassWord.empty()) {
    StopWith("Log-in needed by " + FServer.Host + ": set a user and password in Configure");
    return;
  }
  // Logged in and still asked: the log-in does not open this to us.
  if (c.LoggedIn) {
    StopWith("Log-in refused by " + FServer.Host);
    return;
  }
  c.Phase = TConnection::LogIn;
  c.Nntp.Authenticate();
}

void TArticleFetcher::RequestDone(TConnection& c, TNntpRequest RqType, std::uint16_t Error) {
  if (!FRunning || (RqType == nntpAbort && Error == 0))
    return; // our own abort's report
  if (c.Phase == TConnection::Connecting) {
    // The end of an earlier connection's request may still come while a
    // new one is being made; a failed connect leaves the client closed.
    if (c.Nntp.State() == nntpNotConnected)
      ConnectFailed(c, "Error #" + IntToStr(Error));
  } else if (RqType == nntpXOver && !c.Sent.empty() && c.Sent.front().Scan) {
    ScanDone(c, Error);
  } else if ((RqType == nntpStatByNumber || RqType == nntpNext) && !c.Sent.empty() && c.Sent.front().Seek) {
    SeekDone(c, RqType, Error);
  } else if (RqType == FRequest && !c.Sent.empty()) {
    ArticleDone(c, Error);
  } else if (c.Phase == TConnection::Group && RqType == nntpGroup) {
    GroupDone(c, Error);
  } else if (c.Phase == TConnection::LogIn && RqType == nntpAuthenticate) {
    LogInDone(c, Error);
  }
  RethrowPending();
}

// A connection that closes runs SessionClosed first; a request that ends
// with a socket error here never had a connection to close.
void TArticleFetcher::GroupDone(TConnection& c, std::uint16_t Error) {
  if (Error >= FirstSocketError) {
    Lost(c);
  } else if (Error == 0) {
    c.Selected = c.Stood = true;
    c.Phase = TConnection::Ready;
    c.Nntp.SetPipelineDepth(EffectiveDepth());
    Stands(c);
    TellStanding();
    PaceOrPump(c);
  } else if (Error == LogInRequired) {
    c.NeedsLogIn = true;
    LogIn(c);
  } else {
    StopWith("Group " + FGroup + (Error == NoSuchGroup ? " not found on " : " refused by ") + FServer.Host);
  }
}

void TArticleFetcher::LogInDone(TConnection& c, std::uint16_t Error) {
  if (Error >= FirstSocketError) {
    Lost(c);
    return;
  }
  if (Error != 0) {
    StopWith("Log-in refused by " + FServer.Host);
    return;
  }
  c.LoggedIn = true;
  c.NeedsLogIn = false;
  c.Phase = c.Selected ? TConnection::Ready : TConnection::Group;
  Stands(c);
  if (c.Selected)
    PaceOrPump(c);
  else
    c.Nntp.Group(FGroup);
}

// A connection compresses once it has logged in, if it ever does.
void TArticleFetcher::Stands(TConnection& c) {
  if (c.Nntp.Compressed() && !std::exchange(FCompressionTold, true))
    Log("Compressed transfers with " + FServer.Host);
  else if (c.Nntp.KeptPlainNear() && !std::exchange(FPlainTold, true))
    Log(NearText(FServer.Host));
}

std::int64_t TArticleFetcher::LinkBytesReceived() const {
  std::int64_t bytes = FFill.LinkBytesReceived();
  for (const auto& c : FPool)
    bytes += c->Nntp.LinkBytesReceived();
  return bytes;
}
