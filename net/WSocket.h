#pragma once

#include "platform/Exceptions.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QHostInfo;
class TDeflate;
class QSocketNotifier;
class QObject;
class THiddenWindow;
struct ssl_st;

// An event-driven TCP client socket on the Qt event loop. Readiness of the
// descriptor becomes the notifications connect complete, readable, writable
// and peer closed, each handled from the loop; error numbers everywhere are
// the Windows Sockets numbers (see WSocketErrorDesc).

enum TSocketState : std::uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;

class ESocketException : public Exception {
public:
  using Exception::Exception;
};

// Error number -> text; numbers outside the table give "Not a WinSock error".
std::string WSocketErrorDesc(int ErrCode);

// errno of a failed socket call -> the Windows Sockets number for it.
std::uint16_t WSocketErrorFromErrno(int ErrNo);

// The error number of every TLS failure: a handshake that fails, a server
// certificate that does not verify, a record that cannot be read. It is no
// Windows Sockets number; TlsError() of the socket holds the details.
constexpr std::uint16_t WSAETLS = 10200;

// The error number of a compressed connection whose incoming stream cannot
// be inflated: the connection is dropped, as for a reset. No Windows Sockets
// number either.
constexpr std::uint16_t WSAEDEFLATE = 10202;

// One fixed-size block of the send queue.
class TBuffer {
public:
  static constexpr int DefaultSize = 1514;

  explicit TBuffer(int BufSize = DefaultSize);

  // Copies what fits behind the bytes already written; 0 when full.
  int Write(const void* Data, int Len);
  // The bytes written but not yet sent (nullptr and 0 when none).
  const char* Peek(int& Len) const;
  // Marks up to N bytes as sent; an emptied block starts again from its start.
  int Remove(int N);

  int BufSize() const { return FBufSize; }
  int WrCount() const { return FWrCount; }
  int RdCount() const { return FRdCount; }

private:
  std::unique_ptr<char[]> FBuf;
  int FBufSize;
  int FWrCount = 0;
  int FRdCount = 0;
};

class TCustomWSocket : public TObject {
public:
  // Notice message of the hidden window: wParam the socket handle, low word
  // of lParam the event bits, high word the error number.
  static constexpr unsigned WM_ASYNCSELECT = 0x0400 + 1;
  enum : std::uint16_t { FD_READ = 1, FD_WRITE = 2, FD_ACCEPT = 8, FD_CONNECT = 16, FD_CLOSE = 32 };

  TCustomWSocket();
  ~TCustomWSocket() override;
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // A dotted address ends inside the call; a name is looked up in the
  // background and OnDnsLookupDone follows from the event loop.
  void DnsLookup(const std::string& HostName);
  void CancelDnsLookup();

  void Connect();
  void Close();
  // Close without the shutdown step.
  void Abort();
  void ShutDown(int How);

  // Queue bytes for the peer; returns the count accepted (-1 after an error
  // taken by OnError).
  int Send(const void* Data, int Len);
  int SendStr(const std::string& Str);
  // >0 bytes read, 0 the peer closed (or BufferSize 0), -1 nothing read
  // (LastError tells why).
  int Receive(void* Buffer, int BufferSize);

  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& Value);
  const std::string& Port() const { return FPortStr; }
  void SetPort(const std::string& Value);
  // The port the text converted to, in host order.
  int PortNum() const { return FPortNum; }
  const std::string& Proto() const { return FProtoStr; }
  void SetProto(const std::string& Value);

  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  // The descriptor of the connection, -1 while there is none.
  int HSocket() const { return FHSocket; }
  std::int64_t ReadCount() const { return FReadCount; }
  // Bytes read from the connection as they came, before inflating; the
  // same as ReadCount until compression starts.
  std::int64_t LinkReadCount() const { return FLinkReadCount; }
  // Bytes waiting in the system; -1 when the query fails.
  int RcvdCount();
  int LastError() const { return FLastError; }
  // The blocks waiting to go out, oldest first.
  const std::list<TBuffer>& SendQueue() const { return FBufList; }

  TSocketSendFlags SendFlags() const { return FSendFlags == 0 ? wsSendNormal : wsSendUrgent; }
  void SetSendFlags(TSocketSendFlags Value);
  // TLS (off by default, kept across connections): the connect is reported
  // only once the handshake is over and the server's certificate has been
  // verified against the system's trust store for TlsHostName; a failure
  // reports the connect with WSAETLS, and TlsError() says why. Reads, writes
  // and events stay those of a plain connection.
  bool Tls() const { return FTls; }
  void SetTls(bool Value);
  // The name the certificate must carry, also sent to the server (SNI);
  // empty = the text of Addr.
  const std::string& TlsHostName() const { return FTlsHostName; }
  void SetTlsHostName(std::string Value) { FTlsHostName = std::move(Value); }
  // A PEM file of certificate authorities trusted besides the system's;
  // empty = the system's only.
  const std::string& TlsCAFile() const { return FTlsCAFile; }
  void SetTlsCAFile(std::string Value) { FTlsCAFile = std::move(Value); }
  // The last TLS failure, e.g. "TLS: certificate verify failed for
  // news.example.com (certificate has expired)"; cleared by Connect.
  const std::string& TlsError() const { return FTlsError; }

  // From now on both directions of the connection go through raw DEFLATE
  // (inside TLS when TLS is on), until it closes: Send compresses and
  // flushes each call's bytes, Receive hands out inflated bytes, at most
  // its buffer's worth per call. ReadAhead holds bytes the caller has
  // received already behind the reply that switched compression on; they
  // are the first compressed ones. A stream that cannot be inflated closes
  // the connection with WSAEDEFLATE.
  void StartCompression(std::string_view ReadAhead = {});
  bool Compressed() const { return FDeflate != nullptr; }

  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int Value) { FLingerTimeout = Value; }

  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSessionClosed OnSessionClosed;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;

private:
  friend struct TTlsBio;
  struct TSslFree {
    void operator()(ssl_st* Ssl) const;
  };

  void WMAsyncSelect(std::uintptr_t Handle, std::intptr_t Notice);
  void WMAsyncGetHostByName(int LookupHandle, const QHostInfo& Info);
  void ReadReady();
  void WriteReady();
  void ReadLoop(std::uintptr_t Handle, std::uint16_t Error, std::int64_t Limit);
  void TryToSend();
  void AckAtOnce();
  void InternalClose(bool Shutdown, std::uint16_t Error);
  int DropSocket();
  void ResetToDefaults();
  void ChangeState(TSocketState NewState);
  void RaiseException(const std::string& Msg);
  void SocketError(const std::string& FuncName, int ErrCode);
  void SetWriteNotice(bool On);
  void SetReadNotice(bool On);
  void PostNotice(std::uint16_t Event, std::uint16_t Error);
  bool SocketIs(std::uintptr_t Handle) const { return FHSocket >= 0 && Handle == FSocketSerial; }
  void RaiseNotice(std::uint16_t Event, std::uint16_t Error);
  // The TLS members (WSocketTls.cpp).
  void TlsStart();
  void TlsHandshake();
  bool TlsHandshaking() const { return FState == wsConnecting && FSsl; }
  void TlsConnectFailed(std::string Text);
  std::string TlsHandshakeFailure(int SslError) const;
  std::uint16_t TlsFailed(int SslError);
  int TlsReceive(void* Buffer, int BufferSize);
  int TlsWrite(const char* Data, int Len);
  bool TlsPending() const;
  void TlsShutdown();
  const std::string& TlsPeerName() const { return FTlsHostName.empty() ? FAddrStr : FTlsHostName; }
  int LinkReceive(void* Buffer, int BufferSize);
  void Queue(const char* Data, int Len);
  // The compression members (WSocketDeflate.cpp).
  int InflateReceive(char* Buffer, int BufferSize);
  bool InflatePending() const;

  std::unique_ptr<THiddenWindow> FWindow;
  // Receives the answers of name lookups (a QObject with one slot).
  std::unique_ptr<QObject> FDnsReceiver;
  QSocketNotifier* FReadNotifier = nullptr;
  QSocketNotifier* FWriteNotifier = nullptr;

  int FHSocket = -1;
  // Notices name the socket by a serial number, not by the descriptor: a
  // closed descriptor number is handed out again at once.
  std::uintptr_t FSocketSerial = 0;
  TSocketState FState = wsClosed;

  sockaddr_in FSin{};
  bool FAddrResolved = false;
  bool FPortAssigned = false;
  bool FProtoAssigned = true;
  int FProto = 6;
  int FType = SOCK_STREAM;
  std::string FAddrStr;
  std::string FPortStr;
  std::string FProtoStr = "tcp";
  int FPortNum = 0;

  std::list<TBuffer> FBufList;
  bool FAllSent = true;
  bool FCloseInvoked = false;
  bool FDestroying = false;
  bool FReceiveCalled = false;
  // The error that ended the connection, kept once a read has taken it from
  // the system, so the close notice and later reads still tell it.
  std::uint16_t FCloseError = 0;
  int FDnsLookupHandle = 0;
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;

  bool FTls = false;
  std::string FTlsHostName;
  std::string FTlsCAFile;
  std::string FTlsError;
  // The TLS session of the connection, from the end of the TCP connect on.
  std::unique_ptr<ssl_st, TSslFree> FSsl;
  // errno of the last failed read or write of the TLS session; 0 when the
  // peer closed instead.
  int FTlsErrno = 0;
  // A fatal TLS failure: the session must not be used again.
  bool FTlsBroken = false;
  // A read that must wait until the socket is writable, or a write until it
  // is readable (the TLS session's own traffic going the other way).
  bool FTlsReadWantsWrite = false;
  bool FTlsWriteWantsRead = false;
  // Inside the read loop, which itself goes on while the TLS session holds
  // bytes taken from the system already.
  bool FInReadLoop = false;

  // The compression of the connection once it has started; none before.
  std::unique_ptr<TDeflate> FDeflate;

  // What one readable report reads at most before the loop gets its turn
  // again; less where many sockets of the thread are reading. A receive
  // inside the read loop takes no more than FReadRoom of it, so that thirty
  // sockets with buffers of 256 KB do not read 8 MB in one turn.
  static constexpr std::int64_t MaxReadPerNotice = 1 << 20;
  std::int64_t FReadRoom = INT64_MAX;
  std::int64_t FReadCount = 0;
  std::int64_t FLinkReadCount = 0;
  int FLastError = 0;
  int FSendFlags = 0;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
};

// The component as the rest of the program uses it.
class TWSocket : public TCustomWSocket {
public:
  using TCustomWSocket::TCustomWSocket;
};
