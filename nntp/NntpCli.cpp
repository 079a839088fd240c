#include "nntp/NntpCli.h"
#include "nntp/NntpText.h"

#include "platform/Convert.h"
#include "platform/Guard.h"

#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const unsigned WM_NNTP_REQUEST_DONE = 0x0400 + 1;
// Goes on cutting the lines held behind a line whose handler threw.
const unsigned WM_NNTP_CUT_LINES = 0x0400 + 2;

// Error numbers of a request cut short by its connection: the server closed
// in an orderly way mid-reply, we dropped a line too long to hold, or the
// server said nothing for Timeout seconds.
const std::uint16_t ClosedMidReply = 10101;
const std::uint16_t LineTooLong = 10053;
const std::uint16_t TimedOut = 10060;
// A connect that failed without a socket error of its own (a port that is
// no number or service) ends with this one.
const std::uint16_t InvalidArgument = 10022;
} // namespace

TNntpCli::TNntpCli()
    : FWindow(
          std::make_unique<THiddenWindow>([this](unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
            WndProc(msg, wParam, lParam);
          })),
      FWSocket(std::make_unique<TWSocket>()),
      FReceiveBuffer(std::make_unique_for_overwrite<char[]>(RcvBufSize + 1)),
      FTimer(std::make_unique<QTimer>()) {
  FReceiveBuffer[0] = '\0';
  FTimer->setSingleShot(true);
  QObject::connect(FTimer.get(), &QTimer::timeout, FTimer.get(),
                   [this] { Guarded([this] { TimerTimeout(); }); });
  FWSocket->OnSessionConnected = [this](TObject* s, std::uint16_t e) { WSocketSessionConnected(s, e); };
  FWSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { WSocketDataAvailable(s, e); };
  FWSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { WSocketSessionClosed(s, e); };
  FWSocket->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { WSocketDnsLookupDone(s, e); };
}

TNntpCli::~TNntpCli() {
  // Nothing of ours may run while the socket closes its connection.
  FWSocket->OnSessionConnected = nullptr;
  FWSocket->OnDataAvailable = nullptr;
  FWSocket->OnSessionClosed = nullptr;
  FWSocket->OnDnsLookupDone = nullptr;
  FWSocket->OnDataSent = nullptr;
  FWSocket.reset();
  FWindow.reset();
}

void TNntpCli::SetState(TNntpState value) {
  if (FState == value)
    return;
  FState = value;
  // The server's silence is timed only while we wait for it.
  if ((value == nntpWaitingBanner || value == nntpWaitingResponse) && FTimeout > 0) {
    FLastByte = TClock::now();
    StartReplyClock();
    FTimer->start(std::chrono::seconds(std::min(FTimeout, 86400)));
  } else {
    FTimer->stop();
  }
  if (OnStateChange)
    OnStateChange(this);
}

// The next reply is timed from its first byte on.
void TNntpCli::StartReplyClock() {
  FReplyStarted = false;
  FReplyBytes = 0;
}

// A server that stops answering ends the wait Timeout after its last byte.
// One that trickles ends it too: a reply may run for Timeout, and beyond
// that for as long as it has come at MinReplyRate on average.
TNntpCli::TClock::time_point TNntpCli::Deadline() const {
  const auto timeout = std::chrono::seconds(FTimeout);
  const auto silence = FLastByte + timeout;
  if (!FReplyStarted)
    return silence;
  // A year at most, so that the sum stays within the clock's range.
  const auto earned = std::min<std::chrono::milliseconds>(
      std::chrono::milliseconds(FReplyBytes * 1000 / MinReplyRate), std::chrono::hours(24 * 365));
  return std::min(silence, FReplyStart + std::max<TClock::duration>(timeout, earned));
}

void TNntpCli::TimerTimeout() {
  if ((FState != nntpWaitingBanner && FState != nntpWaitingResponse) || FTimeout <= 0)
    return;
  // Bytes came in meanwhile: wait out the rest. A day at most per tick keeps
  // the interval within what the timer takes.
  const auto left = Deadline() - TClock::now();
  if (left > TClock::duration::zero()) {
    FTimer->start(std::min(std::chrono::ceil<std::chrono::milliseconds>(left),
                           std::chrono::milliseconds(std::chrono::hours(24))));
    return;
  }
  if (FWSocket->State() == wsClosed)
    EndAllRequests(TimedOut); // requests whose lines never left: no connection to close
  else
    CloseFor(TimedOut);
}

// Closes the connection for a fault of the server's; the close events and
// the end of the open request carry Reason.
void TNntpCli::CloseFor(std::uint16_t Reason) {
  FRcvStart = FRcvCnt = 0;
  FCloseReason = Reason;
  FWSocket->Close();
  FCloseReason = 0;
}

namespace {
// POST and AUTHINFO talk to the server in turns, and nothing may follow
// QUIT: none of them goes out behind another request, nor one behind them.
bool Pipelinable(TNntpRequest Kind) {
  return Kind != nntpPost && Kind != nntpAuthenticate && Kind != nntpQuit;
}
} // namespace

// A request goes out when the client is ready, or with pipelining behind
// the requests in flight while there is room.
void TNntpCli::CheckReady(const char* verb, TNntpRequest Kind) const {
  const bool behind = FState == nntpWaitingResponse && InFlight() < FPipelineDepth &&
                      (Pipelinable(Kind) || Kind == nntpQuit) &&
                      Pipelinable(FQueue.empty() ? FRequestType : FQueue.back().Kind);
  if (FState != nntpReady && !behind)
    throw NntpException(std::string("Not ready for ") + verb);
}

void TNntpCli::SendRequest(const TRequest& Request, std::string Line) {
  if (FState == nntpReady) {
    BeginRequest(Request);
    SetState(nntpWaitingResponse);
  } else {
    FQueue.push_back(Request);
  }
  FRequest = std::move(Line);
  FWSocket->SendStr(FRequest + "\r\n");
}

// The request whose reply comes next: its lines are read from here on.
void TNntpCli::BeginRequest(const TRequest& Request) {
  FRequestDoneFlag = false;
  FRequestType = Request.Kind;
  FNext = Request.Next;
  FDestStream = Request.DestStream;
  FRequestNumber = Request.Number;
  if ((Request.Kind >= nntpArticleByNumber && Request.Kind <= nntpStatByNumber) || Request.Kind == nntpNext ||
      Request.Kind == nntpLast) {
    FArticleNumber = -1;
    FArticleID.clear();
  } else if (Request.Kind == nntpDate) {
    FServerDate = 0;
  }
}

int TNntpCli::InFlight() const { return FState == nntpWaitingResponse ? int(FQueue.size()) + 1 : 0; }

void TNntpCli::SetPipelineDepth(int value) {
  FPipelineDepth = std::clamp(value, 1, MaxPipelineDepth);
  SendAtOnce();
}

// A pipelined command must leave at once: the system would hold it back
// until the one before it has been acknowledged, a round trip later.
void TNntpCli::SendAtOnce() {
  const int on = FPipelineDepth > 1;
  if (FWSocket->HSocket() >= 0)
    ::setsockopt(FWSocket->HSocket(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void TNntpCli::TriggerRequestDone(std::uint16_t Error) {
  if (!FRequestDoneFlag)
    FWindow->PostMessage(WM_NNTP_REQUEST_DONE, FRequestType, Error);
  FRequestDoneFlag = true;
  FNext = nullptr;
  // The streams belong to the caller and may go once the request has ended.
  FDestStream = nullptr;
  if (FPostStream) {
    FPostStream = nullptr;
    FWSocket->OnDataSent = nullptr;
  }
  if (!FQueue.empty()) { // the reply of the next request in flight follows
    BeginRequest(FQueue.front());
    FQueue.pop_front();
    StartReplyClock();
    return;
  }
  SetState(FWSocket->State() == wsConnected ? nntpReady : nntpNotConnected);
}

// The connection has gone: the request being answered and every one sent
// behind it end, in order, each once. A request cut short never ends with
// the 0 of a success; QUIT asked for the close.
void TNntpCli::EndAllRequests(std::uint16_t Error) {
  const std::deque<TRequest> queued = std::exchange(FQueue, {});
  TriggerRequestDone(Error == 0 && RequestCutShort() ? ClosedMidReply : Error);
  for (const TRequest& request : queued) {
    BeginRequest(request);
    TriggerRequestDone(Error == 0 && request.Kind != nntpQuit ? ClosedMidReply : Error);
  }
}

void TNntpCli::WndProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
  if (msg == WM_NNTP_CUT_LINES) {
    CutHeldLines(std::uint16_t(wParam));
    return;
  }
  if (msg != WM_NNTP_REQUEST_DONE)
    return;
  // The handler may free this client; call a copy.
  if (auto handler = OnRequestDone)
    handler(this, TNntpRequest(wParam & 0xFF), std::uint16_t(lParam & 0xFFFF));
}

void TNntpCli::Connect() {
  if (FState != nntpNotConnected)
    throw NntpException("Already connected");
  FRequestDoneFlag = false;
  FAborted = false;
  FCloseReason = 0;
  FRcvStart = FRcvCnt = 0;
  FReceiveBuffer[0] = '\0';
  FRequest.clear();
  FArticleNumber = FArticleFirst = FArticleLast = FArticleEstimated = -1;
  FArticleID.clear();
  FNext = nullptr;
  FCompressAfterLogIn = FKeptPlainNear = false;
  SetState(nntpDnsLookup);
  FInConnect = true;
  try {
    FWSocket->DnsLookup(FHost);
  } catch (...) {
    FInConnect = false;
    // The lookup or the connect never started; leave the client able to try again.
    if (FWSocket->State() == wsClosed)
      SetState(nntpNotConnected);
    throw;
  }
  FInConnect = false;
}

void TNntpCli::WSocketDnsLookupDone(TObject*, std::uint16_t Error) {
  if (FAborted) // a lookup that was running when Abort came
    return;
  if (Error != 0) {
    TriggerRequestDone(Error);
    return;
  }
  bool connecting = false; // past the settings, in the socket's Connect
  try {
    FWSocket->SetAddr(FWSocket->DnsResult());
    FWSocket->SetProto("tcp");
    FWSocket->SetPort(FPort);
    FWSocket->SetTls(FTls);
    FWSocket->SetTlsHostName(FHost);
    SetState(nntpWaitingBanner);
    connecting = true;
    FWSocket->Connect();
  } catch (...) {
    // A connect refused inside the call leaves the socket opened: close it
    // without a close event, as no connection ever existed.
    if (FWSocket->State() != wsClosed) {
      const TSessionClosed closed = std::exchange(FWSocket->OnSessionClosed, nullptr);
      try {
        FWSocket->Close();
      } catch (...) { // the first failure is the one to report
      }
      FWSocket->OnSessionClosed = closed;
    }
    SetState(nntpNotConnected);
    // An address is looked up within Connect(), whose caller hears of the
    // failure. A name's lookup ends later, from the event loop, where no
    // caller is left: the connect ends with the socket's error instead, as a
    // refused one does.
    if (FInConnect)
      throw;
    const int error = connecting ? FWSocket->LastError() : 0;
    TriggerRequestDone(error >= 10000 && error <= 65535 ? std::uint16_t(error) : InvalidArgument);
  }
}

void TNntpCli::WSocketSessionConnected(TObject*, std::uint16_t Error) {
  if (Error == 0)
    return; // the greeting will tell
  TriggerRequestDone(Error);
  FWSocket->Close();
}

// A request still waiting for its reply (or a connect for its greeting)
// when the connection ends was cut short. QUIT asked for the close.
bool TNntpCli::RequestCutShort() const {
  return FState == nntpWaitingBanner || (FState == nntpWaitingResponse && FRequestType != nntpQuit);
}

void TNntpCli::WSocketSessionClosed(TObject*, std::uint16_t Error) {
  if (Error == 0)
    Error = std::exchange(FCloseReason, 0);
  if (!FAborted)
    EndAllRequests(Error);
  if (OnSessionClosed)
    OnSessionClosed(this, Error);
  SetState(nntpNotConnected);
}

// The one place where bytes are read from the socket.
void TNntpCli::WSocketDataAvailable(TObject*, std::uint16_t Error) {
  char* const into = ReceiveRoom();
  const std::int64_t link = FWSocket->LinkReadCount();
  const int len = FWSocket->Receive(into, RcvBufSize - FRcvCnt);
  FLinkBytesReceived += FWSocket->LinkReadCount() - link;
  if (FAborted)
    return;
  if (len == 0) {
    // Read while the socket reports a reset: the close reason comes with the
    // close notice that follows, so do not close here as if it were orderly.
    if (Error == 0)
      FWSocket->Close();
    return;
  }
  if (len < 0)
    return;
  FBytesReceived += len;
  Received(len, Error);
}

// What is held is at most one unfinished line; move it down so the next
// receive has the rest of the buffer, which starts where this points.
char* TNntpCli::ReceiveRoom() {
  if (FRcvStart > 0) {
    std::memmove(FReceiveBuffer.get(), FReceiveBuffer.get() + FRcvStart, std::size_t(FRcvCnt) + 1);
    FRcvStart = 0;
  }
  return FReceiveBuffer.get() + FRcvCnt;
}

// Length bytes have just been put at ReceiveRoom(): hold them and cut lines.
void TNntpCli::Received(int Length, std::uint16_t Error) {
  char* const into = FReceiveBuffer.get() + FRcvCnt;
  into[Length] = '\0';
  FLastByte = TClock::now();
  if (!FReplyStarted) {
    FReplyStarted = true;
    FReplyStart = FLastByte;
  }
  FReplyBytes += Length;
  if (OnDisplay)
    OnDisplay(this, into, Length);
  FRcvCnt += Length;
  CutHeldLines(Error);
}

// A handler that throws ends the socket's read loop, which shows the error.
// The lines held behind it must not wait for bytes that may never come: they
// are cut from the event loop right after.
void TNntpCli::CutHeldLines(std::uint16_t Error) {
  try {
    CutLines(Error);
  } catch (...) {
    FWindow->PostMessage(WM_NNTP_CUT_LINES, Error);
    throw;
  }
}

// Cuts the held bytes at CR LF only; any other byte, NUL included, belongs to
// its line. Lines are cut in place and moved down once per receive, not once
// per line. Handlers may call back (Abort, Connect), so every step reads the
// members afresh.
void TNntpCli::CutLines(std::uint16_t Error) {
  while (FRcvCnt > 0) {
    const char* begin = FReceiveBuffer.get() + FRcvStart;
    // Lines a handler takes many at a time are not cut one by one.
    if (OnMessageLines && FState == nntpWaitingResponse && FNext == &TNntpCli::TextLineNext &&
        !FKeepTextLines && !FDestStream) {
      const std::size_t taken =
          std::min(OnMessageLines(this, std::string_view(begin, std::size_t(FRcvCnt))), std::size_t(FRcvCnt));
      if (taken > 0) {
        FRcvStart += int(taken);
        FRcvCnt -= int(taken);
        continue;
      }
    }
    const char* cr = FindCrLf(begin, begin + FRcvCnt);
    const bool whole = cr != nullptr;
    // A line past the limit can never be held whole, however the bytes
    // arrive: give up on the connection rather than cut it anywhere.
    // Unfinished, the longest line may still lack its LF.
    if (whole ? cr - begin > MaxLineLen : FRcvCnt > MaxLineLen + 1) {
      CloseFor(LineTooLong);
      return;
    }
    if (!whole)
      break;
    const int lineLen = int(cr - begin);
    FLine = std::string_view(begin, std::size_t(lineLen));
    const bool textLine =
        (FState == nntpWaitingBanner || FState == nntpWaitingResponse) && FNext == &TNntpCli::TextLineNext;
    if (FKeepTextLines || !textLine)
      FLastResponse.assign(FLine);
    FRcvStart += lineLen + 2;
    FRcvCnt -= lineLen + 2;
    switch (FState) {
    case nntpWaitingBanner:
      if (FNext) // a reply to a request of our own, before the session is up
        (this->*FNext)();
      else
        Greeting(Error);
      break;
    case nntpWaitingResponse:
      if (FNext)
        (this->*FNext)();
      else
        SetState(nntpReady);
      break;
    default:
      if (OnDataAvailable)
        OnDataAvailable(this, Error);
    }
  }
}

// Reads StatusCode from the start of LastResponse; gives where the rest begins.
std::size_t TNntpCli::ReadStatusCode() {
  std::size_t pos = 0;
  const std::int64_t code = ReadNumber(FLastResponse, pos);
  FStatusCode = int(code < INT_MIN ? INT_MIN : code > INT_MAX ? INT_MAX : code);
  return pos;
}

// The code as the Error of a request end. Anything that is no status code
// (none at all, negative, past 16 bits) must never end up as 0, which would
// report a refusal as success, nor as a socket error number.
std::uint16_t TNntpCli::StatusError() const {
  return FStatusCode >= 100 && FStatusCode <= 599 ? std::uint16_t(FStatusCode) : NotAStatus;
}

// Ends the request: Error 0 when StatusCode is the success code, else the code.
void TNntpCli::EndRequest(int SuccessCode) {
  TriggerRequestDone(FStatusCode == SuccessCode ? 0 : StatusError());
}

// True when StatusCode is the one the request goes on with; otherwise the
// request ends with the code as its Error.
bool TNntpCli::StatusIs(int Expected) {
  if (FStatusCode == Expected)
    return true;
  TriggerRequestDone(StatusError());
  return false;
}

// With pipelining, a status line must be one its request can have: its own
// success code or a refusal (4xx, 5xx). Anything else, a text line where a
// status was due included, means the server has lost the order of the
// requests: nothing more it sends on this connection can be trusted, so the
// connection goes and every request in flight ends with NntpPipelineError.
bool TNntpCli::Misfits(int SuccessCode) {
  if (FPipelineDepth == 1 || FStatusCode == SuccessCode || (FStatusCode >= 400 && FStatusCode <= 599))
    return false;
  CloseFor(NntpPipelineError);
  return true;
}

// An article asked for by number comes with that number, or with none: one
// with another number answers another request, or is the wrong article,
// whatever the depth; taken as the one asked for, it would be saved twice
// and the one asked for never.
bool TNntpCli::NumberMisfits() {
  if (FRequestNumber <= 0 || FArticleNumber == 0 || FArticleNumber == FRequestNumber)
    return false;
  CloseFor(NntpPipelineError);
  return true;
}

void TNntpCli::Greeting(std::uint16_t Error) {
  SendAtOnce();
  if (FCompress) {
    ReadStatusCode();
    if (FStatusCode == 200 || FStatusCode == 201) {
      FGreetingError = Error;
      AskCapabilities();
      return;
    }
  }
  SessionUp(Error);
}

void TNntpCli::SessionUp(std::uint16_t Error) {
  SetState(nntpReady);
  ReadStatusCode();
  FPostingPermited = FStatusCode == 200;
  if (OnSessionConnected)
    OnSessionConnected(this, Error);
}

// ---- compression ----

// The reply that started it waits until compression is settled.
void TNntpCli::AskCapabilities() {
  FHeldReply = FLastResponse;
  FOfferedCompress = FOfferedLogIn = false;
  SendOwn("CAPABILITIES", &TNntpCli::CapabilitiesNext);
}

// One at a time: nothing may go out behind COMPRESS.
void TNntpCli::SendOwn(const char* Command, TNextStep Next) {
  FNext = Next;
  StartReplyClock();
  FOwnSent = TClock::now();
  FWSocket->SendStr(std::string(Command) + "\r\n");
}

// A server that knows no CAPABILITIES offers no compression either.
void TNntpCli::CapabilitiesNext() {
  FNearAnswer = TClock::now() - FOwnSent < FNearRoundTrip;
  ReadStatusCode();
  if (FStatusCode == 101)
    FNext = &TNntpCli::CapabilityLineNext;
  else
    CompressionSettled();
}

void TNntpCli::CapabilityLineNext() {
  if (FLastResponse != ".") {
    const std::vector<std::string_view> words = Words(FLastResponse);
    if (!words.empty() && SameText(words[0], "COMPRESS") &&
        std::any_of(words.begin() + 1, words.end(),
                    [](std::string_view w) { return SameText(w, "DEFLATE"); }))
      FOfferedCompress = true;
    if (!words.empty() && SameText(words[0], "AUTHINFO"))
      FOfferedLogIn = true;
    return;
  }
  // Before the log-in a server that offers it may still ask for it, and a
  // compressed connection could not answer.
  if (FState == nntpWaitingBanner && FOfferedLogIn && !FUserName.empty()) {
    FCompressAfterLogIn = true;
    CompressionSettled();
  } else if (FOfferedCompress && FNearAnswer) {
    FKeptPlainNear = true;
    CompressionSettled();
  } else if (FOfferedCompress) {
    SendOwn("COMPRESS DEFLATE", &TNntpCli::CompressNext);
  } else {
    CompressionSettled();
  }
}

void TNntpCli::CompressNext() {
  ReadStatusCode();
  if (FStatusCode == 206 && FWSocket->State() == wsConnected) {
    // Whatever came behind the 206 is compressed already.
    FBytesReceived -= FRcvCnt;
    FWSocket->StartCompression(std::string_view(FReceiveBuffer.get() + FRcvStart, std::size_t(FRcvCnt)));
    FRcvStart = FRcvCnt = 0;
    FReceiveBuffer[0] = '\0';
  } else if (FStatusCode == 480 && FState == nntpWaitingBanner && !FUserName.empty()) {
    FCompressAfterLogIn = true; // the server wants the log-in first
  }
  // 403, 502 or anything else: the connection goes on plain.
  CompressionSettled();
}

// The connect or the log-in ends as it would have without compression.
void TNntpCli::CompressionSettled() {
  FNext = nullptr;
  FLastResponse = std::exchange(FHeldReply, {});
  if (FState == nntpWaitingBanner) {
    SessionUp(FGreetingError);
    return;
  }
  ReadStatusCode();
  TriggerRequestDone(0);
}

void TNntpCli::RejectReply() {
  if (FState == nntpWaitingResponse)
    CloseFor(NntpPipelineError);
}

// Every request in flight ends with the one report of the abort.
void TNntpCli::Abort() {
  FQueue.clear();
  FRequestType = nntpAbort;
  FAborted = true;
  FWSocket->Close();
  FLastResponse = "205 Closing connection - goodbye";
  FStatusCode = 205;
  FRequestDoneFlag = false;
  TriggerRequestDone(0);
}
