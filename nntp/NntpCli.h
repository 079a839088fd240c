#pragma once

#include "net/WSocket.h"
#include "platform/Exceptions.h"
#include "platform/HiddenWindow.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

enum TNntpState : std::uint8_t {
  nntpNotConnected = 0,
  nntpDnsLookup = 1,
  nntpWaitingBanner = 2,
  nntpReady = 3,
  nntpWaitingResponse = 4
};

// The numbers are reported with every end of request and compared by callers.
enum TNntpRequest : std::uint8_t {
  nntpGroup = 0,
  nntpList = 1,
  nntpPost = 2,
  nntpHelp = 3,
  nntpNewGroups = 4,
  nntpNewNews = 5,
  nntpArticleByNumber = 6,
  nntpArticleByID = 7,
  nntpBodyByID = 8,
  nntpBodyByNumber = 9,
  nntpHeadByID = 10,
  nntpHeadByNumber = 11,
  nntpStatByID = 12,
  nntpStatByNumber = 13,
  nntpNext = 14,
  nntpLast = 15,
  nntpQuit = 16,
  nntpAbort = 17,
  nntpXOver = 18,
  nntpListOverViewFmt = 19,
  nntpDate = 20,
  nntpAuthenticate = 21
};

// A method called in the wrong state ("Not ready for GROUP", "Already connected").
class NntpException : public Exception {
public:
  using Exception::Exception;
};

// The Error of every request in flight when a reply did not fit its
// request (see PipelineDepth and RejectReply): the server mishandles
// pipelined requests, or answers an article with another, and the client
// has dropped the connection. No socket's error; the numbers around it are.
constexpr std::uint16_t NntpPipelineError = 10201;

using TRequestDone = std::function<void(TObject* Sender, TNntpRequest RqType, std::uint16_t Error)>;
using TNntpDisplay = std::function<void(TObject* Sender, const char* Msg, int Len)>;
using TMessageLines = std::function<std::size_t(TObject* Sender, std::string_view Run)>;

// Splits a line of a LIST reply: group name, last and first article, posting flag
// ('\0' when the line ends early).
void ParseListLine(std::string_view Line, std::string& GroupName, std::int64_t& LastArticle,
                   std::int64_t& FirstArticle, char& PostingFlag);

class QTimer;

// A non-blocking news client: each method sends one command and returns; the
// reply comes back through the events, and the end of every request through
// OnRequestDone, always later from the event loop and once per request.
class TNntpCli : public TObject {
public:
  TNntpCli();
  ~TNntpCli() override;

  TNntpCli(const TNntpCli&) = delete;
  TNntpCli& operator=(const TNntpCli&) = delete;

  TWSocket& WSocket() { return *FWSocket; }
  TNntpState State() const { return FState; }
  const std::string& Host() const { return FHost; }
  void SetHost(std::string value) { FHost = std::move(value); }
  // Service name or number handed to the socket at connect.
  const std::string& Port() const { return FPort; }
  void SetPort(std::string value) { FPort = std::move(value); }
  // The last line received, without CR LF; a text line during a multi-line reply.
  const std::string& LastResponse() const { return FLastResponse; }
  // The line being handled where it was cut from what came, without CR LF;
  // during OnMessageLine the text line, the leading period of ".." undone.
  // Valid during the event that handles the line only.
  std::string_view Line() const { return FLine; }
  // Whether the text lines of a reply are copied into LastResponse() (on
  // unless set). Off, LastResponse() holds the reply's status line until its
  // end, and a handler that reads the lines from Line() saves a copy of each.
  void SetKeepTextLines(bool value) { FKeepTextLines = value; }
  int StatusCode() const { return FStatusCode; }
  bool PostingPermited() const { return FPostingPermited; }
  std::int64_t ArticleEstimated() const { return FArticleEstimated; }
  std::int64_t ArticleFirst() const { return FArticleFirst; }
  std::int64_t ArticleLast() const { return FArticleLast; }
  std::int64_t ArticleNumber() const { return FArticleNumber; }
  const std::string& ArticleID() const { return FArticleID; }
  double ServerDate() const { return FServerDate; } // days since 1899-12-30
  // TLS to the server (off by default), handed to the socket at Connect; the
  // certificate must carry Host. A failed handshake or certificate ends the
  // connect with WSAETLS (10200) and TlsError() says why.
  bool Tls() const { return FTls; }
  void SetTls(bool value) { FTls = value; }
  // The last TLS failure of the connection, e.g. "TLS: certificate verify
  // failed for news.example.com (certificate has expired)"; empty when none.
  const std::string& TlsError() const { return FWSocket->TlsError(); }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string value) { FUserName = std::move(value); }
  const std::string& PassWord() const { return FPassWord; }
  void SetPassWord(std::string value) { FPassWord = std::move(value); }
  // Seconds a request (the greeting included) may wait without a single byte
  // from the server before the connection is closed and the request ends
  // with 10060; 0 waits for ever. Taken up by the next wait. A reply that
  // has run for Timeout seconds must also have come at 1024 bytes a second
  // on average since its first byte, or it ends the same way: a trickling
  // server cannot hold a request for ever.
  int Timeout() const { return FTimeout; }
  void SetTimeout(int Seconds) { FTimeout = Seconds; }
  // Requests that may be in flight at once (RFC 3977 pipelining), 1 to 100;
  // 1, the default, sends one at a time. Replies come in the order of the
  // requests, so each request's events come in that order too, and each
  // ends with its own OnRequestDone. POST and AUTHINFO go out only alone,
  // and nothing goes out behind QUIT. Above 1 every reply is checked against
  // its request: a status that no reply to it can have (a text line where a
  // status was due included) drops the connection, and every request in
  // flight ends with NntpPipelineError. So does, at any depth, an article
  // asked for by number that comes with another one. LastResponse() and the
  // properties read from replies then belong to the reply being read, which
  // may be a later request's by the time an OnRequestDone runs.
  int PipelineDepth() const { return FPipelineDepth; }
  void SetPipelineDepth(int value);
  // Requests sent whose replies have not ended; the first of them is the
  // one whose reply is being read.
  int InFlight() const;
  // Compressed transfers (off by default; taken up by the next greeting or
  // log-in). On, the client asks for the server's CAPABILITIES once it has
  // greeted (200, 201) and, when COMPRESS DEFLATE is among them, sends
  // COMPRESS DEFLATE; from the server's 206 on, both directions of the
  // connection go through DEFLATE. OnSessionConnected comes once that is
  // settled, with the greeting in LastResponse() as without it. Any other
  // answer, or a server without the capability, leaves the connection
  // plain; a connection lost meanwhile ends as before its greeting.
  // A compressed connection can no longer log in, and this client logs in
  // when the server asks (480): with a user name set and AUTHINFO among
  // the capabilities, or a 480 to COMPRESS, compression waits for the
  // log-in. An Authenticate that succeeds then asks for the capabilities
  // again (they may change with it) and compresses before it ends with 0.
  // A server that offers log-in but never asks for it stays plain.
  bool Compress() const { return FCompress; }
  void SetCompress(bool value) { FCompress = value; }
  // A server that answers CAPABILITIES within NearRoundTrip is near: on
  // the same machine or network, where the link carries bytes faster than
  // the server compresses them (a server deflates some 20-40 MB a second),
  // and a link's bytes cost nothing. Its connection stays plain, and
  // KeptPlainNear() says so until the next connect. 0: compress however
  // near the server is.
  std::chrono::microseconds NearRoundTrip() const { return FNearRoundTrip; }
  void SetNearRoundTrip(std::chrono::microseconds value) { FNearRoundTrip = value; }
  bool KeptPlainNear() const { return FKeptPlainNear; }
  static constexpr std::chrono::microseconds DefaultNearRoundTrip{2000};
  // The connection goes through DEFLATE now.
  bool Compressed() const { return FWSocket->Compressed(); }
  // Bytes received over all connections of this client: as the lines
  // carry them (line ends included), and as they came over the link,
  // compressed where the connection is (without TLS's own bytes).
  std::int64_t BytesReceived() const { return FBytesReceived; }
  std::int64_t LinkBytesReceived() const { return FLinkBytesReceived; }

  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TDataAvailable OnDataAvailable; // a line arrived while no reply was awaited
  TRequestDone OnRequestDone;
  TNntpDisplay OnDisplay; // raw bytes of every receive
  TNotifyEvent OnMessageBegin;
  TNotifyEvent OnMessageEnd;
  TNotifyEvent OnMessageLine; // the line is in LastResponse()
  // With text lines not kept and no DestStream, a handler that takes many
  // lines of a reply at once: Run holds what came from the next line on, CR
  // LF ends included, the last line perhaps unfinished. It takes whole lines
  // from Run's start and gives the bytes they fill, ends included, or 0 for
  // the next line to come to OnMessageLine as ever. It takes none that
  // begins with "." (undone, or the reply's end) and none longer than
  // MaxLineLen (the connection's end), and calls nothing of this client.
  TMessageLines OnMessageLines;
  TNotifyEvent OnStateChange;

  void Connect();
  void Group(std::string_view GroupName);
  // Number <= 0 asks for the current article. DestStream, when given, also
  // receives every text line with CR LF; it must outlive the request.
  void ArticleByNumber(std::int64_t Number, std::ostream* DestStream = nullptr);
  void ArticleByID(std::string_view ID, std::ostream* DestStream = nullptr);
  void BodyByNumber(std::int64_t Number, std::ostream* DestStream = nullptr);
  void BodyByID(std::string_view ID, std::ostream* DestStream = nullptr);
  void HeadByNumber(std::int64_t Number, std::ostream* DestStream = nullptr);
  void HeadByID(std::string_view ID, std::ostream* DestStream = nullptr);
  void StatByNumber(std::int64_t Number);
  void StatByID(std::string_view ID);
  void Next();
  void Last();
  void List(std::ostream* DestStream = nullptr);
  void Help(std::ostream* DestStream = nullptr);
  // When = 0 means now (local time).
  void NewGroups(double When, bool GMTFlag, std::string_view Distributions,
                 std::ostream* DestStream = nullptr);
  void NewNews(double When, bool GMTFlag, std::string_view NewsGroupName, std::string_view Distributions,
               std::ostream* DestStream = nullptr);
  void XOver(std::string_view Articles, std::ostream* DestStream = nullptr);
  void ListOverViewFmt(std::ostream* DestStream = nullptr);
  void Date();
  void Quit();
  // Stream holds the article with CR LF line ends and leading periods doubled;
  // it must outlive the request.
  void Post(std::istream& Stream);
  // AUTHINFO USER, then PASS when the server asks for it (381). Ends with 0
  // when the server accepts (281 to either), else with its code (481, 482,
  // 502, ...). A user name or password holding a line break is refused.
  void Authenticate();
  // Closes the connection at once; OnRequestDone(nntpAbort, 0) follows.
  void Abort();
  // The reply being read answers another request, as only the caller can
  // tell (an overview line outside the range asked for): the connection is
  // dropped as for a reply that the client finds does not fit.
  void RejectReply();

  // A line and its CR LF fit into 4095 bytes, whatever size the receives
  // are; a longer line closes the connection (LineTooLong).
  static constexpr int MaxLineLen = 4096 - 3;

private:
  // Hands the line cutter bytes in pieces of its choosing, without a socket
  // in between, as the fuzzing of the cutter does.
  friend class TNntpCliFeeder;

  using TNextStep = void (TNntpCli::*)();
  using TClock = std::chrono::steady_clock;
  static constexpr int BufSize = 4096;
  // Each receive takes what the socket holds, up to this much. Fewer, larger
  // receives cost the system less per byte than 64 KB ones, and the buffer
  // still sits in the processor's cache while its lines are cut.
  static constexpr int RcvBufSize = 262144;
  // Bytes a second a reply must average once it has run for Timeout.
  static constexpr std::int64_t MinReplyRate = 1024;
  // The Error of a status line whose code is no NNTP status (not 100 to 599):
  // neither success nor any server's code nor a socket error.
  static constexpr std::uint16_t NotAStatus = 65535;

  // A request sent: what reads its reply and where the reply's text goes.
  struct TRequest {
    TNntpRequest Kind;
    TNextStep Next;
    std::ostream* DestStream = nullptr;
    std::int64_t Number = 0; // the article asked for by number, else 0
  };
  static constexpr int MaxPipelineDepth = 100;

  void CheckReady(const char* verb, TNntpRequest Kind) const;
  void SendRequest(const TRequest& Request, std::string Line);
  void BeginRequest(const TRequest& Request);
  void EndAllRequests(std::uint16_t Error);
  void SendAtOnce();
  void ArticleRequest(TNntpRequest kind, const std::string& arg, std::ostream* DestStream,
                      std::int64_t Number = 0);
  void SetState(TNntpState value);
  void TriggerRequestDone(std::uint16_t Error);
  void WndProc(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
  char* ReceiveRoom();
  void Received(int Length, std::uint16_t Error);
  void CutHeldLines(std::uint16_t Error);
  void CutLines(std::uint16_t Error);
  void CloseFor(std::uint16_t Reason);
  bool RequestCutShort() const;
  void StartReplyClock();
  TClock::time_point Deadline() const;
  void TimerTimeout();
  std::size_t ReadStatusCode();
  std::uint16_t StatusError() const;
  void EndRequest(int SuccessCode);
  bool StatusIs(int Expected);
  bool Misfits(int SuccessCode);
  bool NumberMisfits();
  void Greeting(std::uint16_t Error);
  void SessionUp(std::uint16_t Error);
  // Compression: requests of the client's own, whose replies raise no
  // events, while the connect or the log-in that started them waits.
  void AskCapabilities();
  void SendOwn(const char* Command, TNextStep Next);
  void CapabilitiesNext();
  void CapabilityLineNext();
  void CompressNext();
  void CompressionSettled();
  void LogInAccepted();
  void SendPostBlock();

  void WSocketDnsLookupDone(TObject* Sender, std::uint16_t Error);
  void WSocketSessionConnected(TObject* Sender, std::uint16_t Error);
  void WSocketDataAvailable(TObject* Sender, std::uint16_t Error);
  void WSocketSessionClosed(TObject* Sender, std::uint16_t Error);
  void WSocketDataSent(TObject* Sender, std::uint16_t Error);

  // Reply handlers, run by the line cutter for each line while a reply is awaited.
  void GroupNext();
  void ArticleNext();
  void TextLineNext();
  void DateNext();
  void QuitNext();
  void PostNext();
  void PostDone();
  void AuthenticateNext1();
  void AuthenticateNext2();

  std::unique_ptr<THiddenWindow> FWindow;
  std::unique_ptr<TWSocket> FWSocket;
  TNntpState FState = nntpNotConnected;
  std::string FHost;
  std::string FPort = "nntp";
  std::string FLastResponse;
  std::string_view FLine;
  bool FKeepTextLines = true;
  int FStatusCode = 503;
  bool FPostingPermited = false;
  std::int64_t FArticleEstimated = -1;
  std::int64_t FArticleFirst = -1;
  std::int64_t FArticleLast = -1;
  std::int64_t FArticleNumber = -1;
  std::string FArticleID;
  double FServerDate = 0;
  std::string FUserName;
  std::string FPassWord;
  bool FTls = false;
  int FTimeout = 120;

  std::string FRequest; // the command line being sent, without CR LF
  TNntpRequest FRequestType = nntpGroup;
  bool FRequestDoneFlag = false;
  // Set by Abort until the next Connect: bytes and closes of the aborted
  // connection are ignored, but a new connection is served again.
  bool FAborted = false;
  bool FInConnect = false; // within Connect(): a failure reaches its caller
  TNextStep FNext = nullptr;
  std::int64_t FRequestNumber = 0; // of the request whose reply is read
  // The requests sent behind the one whose reply is read, in order.
  std::deque<TRequest> FQueue;
  int FPipelineDepth = 1;
  std::string FStatusLine; // the status line of the multi-line reply in progress
  std::ostream* FDestStream = nullptr;
  std::istream* FPostStream = nullptr;
  bool FPostEndSent = false;
  // Held bytes are FReceiveBuffer[FRcvStart, FRcvStart + FRcvCnt), followed by a NUL.
  std::unique_ptr<char[]> FReceiveBuffer;
  int FRcvStart = 0;
  int FRcvCnt = 0;
  char FPostBuffer[BufSize];
  // Why we closed the connection ourselves (an over-long line, a silent
  // server); handed to the close events instead of the orderly 0.
  std::uint16_t FCloseReason = 0;
  // Runs while a reply or the greeting is awaited; fires at Deadline().
  std::unique_ptr<QTimer> FTimer;
  TClock::time_point FLastByte;
  // The reply being read: when its first byte came and how many have come.
  bool FReplyStarted = false;
  TClock::time_point FReplyStart;
  std::int64_t FReplyBytes = 0;

  bool FCompress = false;
  std::chrono::microseconds FNearRoundTrip = DefaultNearRoundTrip;
  bool FKeptPlainNear = false;
  // When the client's own request went out, and whether the capabilities
  // being read came within NearRoundTrip.
  TClock::time_point FOwnSent;
  bool FNearAnswer = false;
  // Ask for compression again once a log-in has succeeded.
  bool FCompressAfterLogIn = false;
  // What the capabilities being read offer.
  bool FOfferedCompress = false;
  bool FOfferedLogIn = false;
  // The greeting or the log-in's reply, handed to the caller once
  // compression is settled, and the greeting's Error.
  std::string FHeldReply;
  std::uint16_t FGreetingError = 0;
  std::int64_t FBytesReceived = 0;
  std::int64_t FLinkBytesReceived = 0;
};
