#include "nntp/NntpCli.h"

#include "platform/Convert.h"
#include "platform/Guard.h"

#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <istream>
#include <ostream>
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
// The Error of a status line whose code is no NNTP status (not 100 to 599):
// neither success nor any server's code nor a socket error.
const std::uint16_t NotAStatus = 65535;

// The status of a request's accepted reply; with AUTHINFO, the first one.
int SuccessCode(TNntpRequest Kind) {
  static const int Codes[] = {211, 215, 340, 100, 231, 230, 220, 220, 222, 222, 221,
                              221, 223, 223, 223, 223, 205, 205, 224, 215, 111, 381};
  return Kind < std::size(Codes) ? Codes[Kind] : 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A signed decimal number after blanks, 0 when there are no digits. Servers
// number articles far past 2^31, and a hostile one may send any number of
// digits: past 64 bits the value saturates instead of wrapping, and
// Overflow (when given) is set.
std::int64_t ReadNumber(std::string_view s, std::size_t& pos, bool* Overflow = nullptr) {
  while (pos < s.size() && IsBlank(s[pos]))
    ++pos;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '-' || s[pos] == '+'))
    negative = s[pos++] == '-';
  std::int64_t n = 0;
  bool over = false;
  for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
    int d = s[pos] - '0';
    if (negative ? n < (INT64_MIN + d) / 10 : n > (INT64_MAX - d) / 10)
      over = true;
    n = over ? (negative ? INT64_MIN : INT64_MAX) : negative ? n * 10 - d : n * 10 + d;
  }
  if (Overflow)
    *Overflow = over;
  return n;
}

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + std::int64_t(doe) - 719468 + 25569; // 25569: 1899-12-30 to 1970-01-01
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468 - 25569;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yoe + era * 400 + (m <= 2));
}

std::string TwoDigits(int n) { return {char('0' + n / 10 % 10), char('0' + n % 10)}; }

// "yymmdd hhnnss" for NEWGROUPS and NEWNEWS; 0 means the local time now.
std::string FormatWhen(double When) {
  int y, mo, d, h, mi, s;
  if (When == 0) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    y = t.tm_year + 1900, mo = t.tm_mon + 1, d = t.tm_mday, h = t.tm_hour, mi = t.tm_min, s = t.tm_sec;
  } else {
    auto ms = std::int64_t(std::llround(When * 86400000.0));
    std::int64_t days = ms / 86400000, rest = ms % 86400000;
    if (rest < 0)
      --days, rest += 86400000;
    CivilFromDays(days, y, mo, d);
    h = int(rest / 3600000), mi = int(rest / 60000 % 60), s = int(rest / 1000 % 60);
  }
  return TwoDigits(y % 100) + TwoDigits(mo) + TwoDigits(d) + " " + TwoDigits(h) + TwoDigits(mi) +
         TwoDigits(s);
}

// YYYYMMDDhhmmss as days since 1899-12-30; false when it is no valid moment.
bool DecodeServerDate(const std::string& t, double& result) {
  if (t.size() != 14 || t.find_first_not_of("0123456789") != std::string::npos)
    return false;
  auto part = [&](std::size_t at, std::size_t len) { return std::stoi(t.substr(at, len)); };
  int y = part(0, 4), mo = part(4, 2), d = part(6, 2), h = part(8, 2), mi = part(10, 2), s = part(12, 2);
  static const int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > MonthDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
      s > 59)
    return false;
  result = double(DaysFromCivil(y, unsigned(mo), unsigned(d))) + (h * 3600 + mi * 60 + s) / 86400.0;
  return true;
}

} // namespace

void ParseListLine(std::string_view Line, std::string& GroupName, std::int64_t& LastArticle,
                   std::int64_t& FirstArticle, char& PostingFlag) {
  std::size_t pos = 0;
  while (pos < Line.size() && IsBlank(Line[pos]))
    ++pos;
  std::size_t end = pos;
  while (end < Line.size() && Line[end] != ' ' && Line[end] != '\t')
    ++end;
  GroupName.assign(Line.substr(pos, end - pos));
  pos = end;
  LastArticle = ReadNumber(Line, pos);
  FirstArticle = ReadNumber(Line, pos);
  while (pos < Line.size() && IsBlank(Line[pos]))
    ++pos;
  PostingFlag = pos < Line.size() ? Line[pos] : '\0';
}

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
  FCompressAfterLogIn = false;
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
    const char* end = begin + FRcvCnt;
    const char* cr = begin;
    while ((cr = static_cast<const char*>(std::memchr(cr, '\r', std::size_t(end - cr)))) && cr + 1 < end &&
           cr[1] != '\n')
      ++cr;
    const bool whole = cr && cr + 1 < end;
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

void TNntpCli::Group(std::string_view GroupName) {
  CheckReady("GROUP", nntpGroup);
  SendRequest({nntpGroup, &TNntpCli::GroupNext}, "GROUP " + Trim(GroupName));
}

// Counts past 63 bits cannot be walked: such a reply is refused as no reply
// at all, rather than walked up to the largest number.
void TNntpCli::GroupNext() {
  std::size_t pos = ReadStatusCode();
  if (Misfits(211))
    return;
  bool over[3];
  FArticleEstimated = ReadNumber(FLastResponse, pos, &over[0]);
  FArticleFirst = ReadNumber(FLastResponse, pos, &over[1]);
  FArticleLast = ReadNumber(FLastResponse, pos, &over[2]);
  if (over[0] || over[1] || over[2])
    TriggerRequestDone(NotAStatus);
  else
    EndRequest(211);
}

void TNntpCli::ArticleRequest(TNntpRequest kind, const std::string& arg, std::ostream* DestStream,
                              std::int64_t Number) {
  const char* verb;
  switch (kind) {
  case nntpArticleByNumber:
  case nntpArticleByID:
    verb = "ARTICLE";
    break;
  case nntpBodyByID:
  case nntpBodyByNumber:
    verb = "BODY";
    break;
  case nntpHeadByID:
  case nntpHeadByNumber:
    verb = "HEAD";
    break;
  case nntpStatByID:
  case nntpStatByNumber:
    verb = "STAT";
    break;
  default:
    throw NntpException("Internal error: Invalid Request Type");
  }
  CheckReady(verb, kind);
  SendRequest({kind, &TNntpCli::ArticleNext, DestStream, Number}, verb + arg);
}

namespace {
std::string NumberArg(std::int64_t Number) {
  std::string arg;
  if (Number > 0)
    arg.append(" ").append(IntToStr(Number));
  return arg;
}
std::string IDArg(std::string_view ID) { return " <" + std::string(ID) + ">"; }
} // namespace

void TNntpCli::ArticleByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpArticleByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::ArticleByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpArticleByID, IDArg(ID), DestStream);
}
void TNntpCli::BodyByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpBodyByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::BodyByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpBodyByID, IDArg(ID), DestStream);
}
void TNntpCli::HeadByNumber(std::int64_t Number, std::ostream* DestStream) {
  ArticleRequest(nntpHeadByNumber, NumberArg(Number), DestStream, Number);
}
void TNntpCli::HeadByID(std::string_view ID, std::ostream* DestStream) {
  ArticleRequest(nntpHeadByID, IDArg(ID), DestStream);
}
// STAT, NEXT and LAST carry no text; no stream, so that a server answering
// with text anyway cannot reach a stream left from an earlier request.
void TNntpCli::StatByNumber(std::int64_t Number) {
  ArticleRequest(nntpStatByNumber, NumberArg(Number), nullptr, Number);
}
void TNntpCli::StatByID(std::string_view ID) { ArticleRequest(nntpStatByID, IDArg(ID), nullptr); }

void TNntpCli::Next() {
  CheckReady("NEXT", nntpNext);
  SendRequest({nntpNext, &TNntpCli::ArticleNext}, "NEXT");
}

void TNntpCli::Last() {
  CheckReady("LAST", nntpLast);
  SendRequest({nntpLast, &TNntpCli::ArticleNext}, "LAST");
}

void TNntpCli::List(std::ostream* DestStream) {
  CheckReady("LIST", nntpList);
  SendRequest({nntpList, &TNntpCli::ArticleNext, DestStream}, "LIST");
}

void TNntpCli::Help(std::ostream* DestStream) {
  CheckReady("HELP", nntpHelp);
  SendRequest({nntpHelp, &TNntpCli::ArticleNext, DestStream}, "HELP");
}

namespace {
std::string WhenArgs(double When, bool GMTFlag, std::string_view Distributions) {
  std::string s = FormatWhen(When);
  if (GMTFlag)
    s += " GMT";
  if (!Distributions.empty())
    s += " <" + std::string(Distributions) + ">";
  return s;
}
} // namespace

void TNntpCli::NewGroups(double When, bool GMTFlag, std::string_view Distributions,
                         std::ostream* DestStream) {
  CheckReady("NEWGROUPS", nntpNewGroups);
  SendRequest({nntpNewGroups, &TNntpCli::ArticleNext, DestStream},
              "NEWGROUPS " + WhenArgs(When, GMTFlag, Distributions));
}

void TNntpCli::NewNews(double When, bool GMTFlag, std::string_view NewsGroupName,
                       std::string_view Distributions, std::ostream* DestStream) {
  CheckReady("NEWNEWS", nntpNewNews);
  const std::string group = NewsGroupName.empty() ? "*" : std::string(NewsGroupName);
  SendRequest({nntpNewNews, &TNntpCli::ArticleNext, DestStream},
              "NEWNEWS " + group + " " + WhenArgs(When, GMTFlag, Distributions));
}

void TNntpCli::XOver(std::string_view Articles, std::ostream* DestStream) {
  CheckReady("XOVER", nntpXOver);
  SendRequest({nntpXOver, &TNntpCli::ArticleNext, DestStream}, "XOVER " + std::string(Articles));
}

void TNntpCli::ListOverViewFmt(std::ostream* DestStream) {
  CheckReady("LIST OVERVIEW.FMT", nntpListOverViewFmt);
  SendRequest({nntpListOverViewFmt, &TNntpCli::ArticleNext, DestStream}, "LIST OVERVIEW.FMT");
}

void TNntpCli::ArticleNext() {
  std::size_t pos = ReadStatusCode();
  if (Misfits(SuccessCode(FRequestType)))
    return;
  switch (FStatusCode) {
  case 100:
  case 215:
  case 220:
  case 221:
  case 222:
  case 223:
  case 224:
  case 230:
  case 231:
    break;
  default:
    TriggerRequestDone(StatusError());
    return;
  }
  bool over = false;
  FArticleNumber = ReadNumber(FLastResponse, pos, &over);
  if (over) // no article has that number
    FArticleNumber = -1;
  if (NumberMisfits())
    return;
  const std::size_t open = FLastResponse.find('<', pos);
  if (open != std::string::npos) {
    const std::size_t close = FLastResponse.find('>', open + 1);
    FArticleID = FLastResponse.substr(open + 1, close == std::string::npos ? close : close - open - 1);
  }
  if (FStatusCode == 223) {
    TriggerRequestDone(0);
    return;
  }
  FStatusLine = FLastResponse;
  FNext = &TNntpCli::TextLineNext;
  if (OnMessageBegin)
    OnMessageBegin(this);
}

void TNntpCli::TextLineNext() {
  if (FLine.size() == 1 && FLine[0] == '.') {
    FLastResponse = std::move(FStatusLine);
    FStatusLine.clear();
    // The reply is complete: it ends even when the handler throws.
    try {
      if (OnMessageEnd)
        OnMessageEnd(this);
    } catch (...) {
      TriggerRequestDone(0);
      throw;
    }
    TriggerRequestDone(0);
    return;
  }
  if (FLine.size() >= 2 && FLine[0] == '.' && FLine[1] == '.') {
    FLine.remove_prefix(1);
    if (FKeepTextLines)
      FLastResponse.erase(0, 1);
  }
  if (FDestStream) {
    FDestStream->write(FLine.data(), std::streamsize(FLine.size()));
    FDestStream->write("\r\n", 2);
  }
  if (OnMessageLine)
    OnMessageLine(this);
}

void TNntpCli::Date() {
  CheckReady("DATE", nntpDate);
  SendRequest({nntpDate, &TNntpCli::DateNext}, "DATE");
}

void TNntpCli::DateNext() {
  const std::size_t pos = ReadStatusCode();
  if (Misfits(111) || !StatusIs(111))
    return;
  // A rest of another length, or digits that are no real moment, leave 0.
  double when = 0;
  if (DecodeServerDate(Trim(std::string_view(FLastResponse).substr(pos)), when))
    FServerDate = when;
  TriggerRequestDone(0);
}

void TNntpCli::Quit() {
  CheckReady("QUIT", nntpQuit);
  SendRequest({nntpQuit, &TNntpCli::QuitNext}, "QUIT");
}

// Any answer to QUIT will do, as long as it is one.
void TNntpCli::QuitNext() {
  ReadStatusCode();
  if (Misfits(205))
    return;
  TriggerRequestDone(StatusError() == NotAStatus ? NotAStatus : 0);
}

void TNntpCli::Post(std::istream& Stream) {
  CheckReady("POST", nntpPost);
  FPostStream = &Stream;
  FPostEndSent = false;
  SendRequest({nntpPost, &TNntpCli::PostNext}, "POST");
}

void TNntpCli::PostNext() {
  ReadStatusCode();
  if (!StatusIs(340))
    return;
  FNext = &TNntpCli::PostDone;
  StartReplyClock(); // the result comes once the text is out, however long that takes
  FWSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { WSocketDataSent(s, e); };
  SendPostBlock();
}

// One block at a time, the next only when the socket has sent the last one,
// so a large article never sits in memory whole.
void TNntpCli::SendPostBlock() {
  if (FPostEndSent || !FPostStream)
    return;
  FPostStream->read(FPostBuffer, BufSize);
  const auto n = int(FPostStream->gcount());
  if (n > 0) {
    FWSocket->Send(FPostBuffer, n);
    return;
  }
  FPostEndSent = true;
  FWSocket->Send("\r\n.\r\n", 5);
}

void TNntpCli::WSocketDataSent(TObject*, std::uint16_t Error) {
  if (Error == 0) {
    FLastByte = TClock::now(); // a long post is no silent server
    SendPostBlock();
    return;
  }
  FLastResponse = "441 posting failed";
  PostDone();
}

void TNntpCli::PostDone() {
  FWSocket->OnDataSent = nullptr;
  FPostStream = nullptr;
  ReadStatusCode();
  EndRequest(240);
}

void TNntpCli::Authenticate() {
  CheckReady("AUTHINFO USER", nntpAuthenticate);
  // A line break would end the command early and send the rest as another.
  if ((FUserName + FPassWord).find_first_of("\r\n") != std::string::npos)
    throw NntpException("AUTHINFO: user name or password holds a line break");
  SendRequest({nntpAuthenticate, &TNntpCli::AuthenticateNext1}, "AUTHINFO USER " + FUserName);
}

// A server that knows the user by the connection takes the name alone (281).
void TNntpCli::AuthenticateNext1() {
  ReadStatusCode();
  if (FStatusCode == 281) {
    LogInAccepted();
    return;
  }
  if (!StatusIs(381))
    return;
  FRequestDoneFlag = false;
  FNext = &TNntpCli::AuthenticateNext2;
  StartReplyClock();
  // The password goes out and is kept nowhere else.
  FRequest = "AUTHINFO PASS";
  FWSocket->SendStr(FRequest + " " + FPassWord + "\r\n");
}

void TNntpCli::AuthenticateNext2() {
  ReadStatusCode();
  if (FStatusCode == 281)
    LogInAccepted();
  else
    EndRequest(281);
}

void TNntpCli::LogInAccepted() {
  if (FCompress && FCompressAfterLogIn && !FWSocket->Compressed()) {
    FCompressAfterLogIn = false;
    AskCapabilities();
    return;
  }
  TriggerRequestDone(0);
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
  FWSocket->SendStr(std::string(Command) + "\r\n");
}

// A server that knows no CAPABILITIES offers no compression either.
void TNntpCli::CapabilitiesNext() {
  ReadStatusCode();
  if (FStatusCode == 101)
    FNext = &TNntpCli::CapabilityLineNext;
  else
    CompressionSettled();
}

namespace {
// The blank-separated words of a line.
std::vector<std::string_view> Words(std::string_view Line) {
  std::vector<std::string_view> words;
  for (std::size_t pos = 0;;) {
    pos = Line.find_first_not_of(" \t", pos);
    if (pos == std::string_view::npos)
      return words;
    const std::size_t end = std::min(Line.find_first_of(" \t", pos), Line.size());
    words.push_back(Line.substr(pos, end - pos));
    pos = end;
  }
}
} // namespace

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
