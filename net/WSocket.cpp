#include "net/WSocket.h"

#include "net/Deflate.h"
#include "platform/Convert.h"
#include "platform/Guard.h"
#include "platform/HiddenWindow.h"

#include <QAbstractEventDispatcher>
#include <QHostInfo>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The sockets of the thread share each turn of its event loop: a turn
// reads about TurnBudget bytes, shared among the sockets that read in the
// turn before, and what is left of it after the first, so that with many
// connections busy (several windows) the loop still gets round to its
// timers and the windows within some milliseconds, and one connection
// alone reads as much a turn as before. Each reads MinReadPerNotice at
// least.
constexpr std::int64_t TurnBudget = 2 << 20;
constexpr std::int64_t MinReadPerNotice = 64 << 10;

struct TTurns {
  bool Watching = false;
  int Readers = 0;       // sockets that read in this turn
  int LastReaders = 0;   // and in the one before
  std::int64_t Read = 0; // bytes read in this turn
};
thread_local TTurns Turns;

// What a socket's readable report may read in this turn, at most Most.
std::int64_t ReadPerNotice(std::int64_t Most) {
  if (!Turns.Watching) {
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance()) {
      Turns.Watching = true;
      QObject::connect(loop, &QAbstractEventDispatcher::awake, [] {
        Turns.LastReaders = Turns.Readers;
        Turns.Readers = 0;
        Turns.Read = 0;
      });
    }
  }
  ++Turns.Readers;
  return std::clamp(std::min(TurnBudget / std::max(1, Turns.LastReaders), TurnBudget - Turns.Read),
                    MinReadPerNotice, Most);
}

std::intptr_t MakeNotice(std::uint16_t Event, std::uint16_t Error) {
  return std::intptr_t(Event) | (std::intptr_t(Error) << 16);
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// Dotted IPv4 text (in the forms inet_addr takes) -> address.
bool ParseDotted(const std::string& Text, in_addr& Addr) {
  // inet_aton ignores whatever follows a blank; such text is a name, not an address.
  if (Text.empty() || std::any_of(Text.begin(), Text.end(), [](char C) { return C <= ' '; }))
    return false;
  return inet_aton(Text.c_str(), &Addr) != 0;
}

std::string Dotted(const in_addr& Addr) {
  char Text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &Addr, Text, sizeof Text);
  return Text;
}

// The leading run of digits of Text, or -1 when it exceeds Max.
int LeadingNumber(const std::string& Text, int Max) {
  int Num = 0;
  for (std::size_t I = 0; I < Text.size() && IsDigit(Text[I]); ++I) {
    Num = Num * 10 + (Text[I] - '0');
    if (Num > Max)
      return -1;
  }
  return Num;
}

int ServicePort(const std::string& Name, const std::string& Proto) {
  servent Entry{};
  servent* Found = nullptr;
  char Buf[1024];
  if (getservbyname_r(Name.c_str(), Proto.empty() ? nullptr : Proto.c_str(), &Entry, Buf, sizeof Buf,
                      &Found) != 0 ||
      !Found)
    return -1;
  return ntohs(std::uint16_t(Found->s_port));
}

int ProtocolNumber(const std::string& Name) {
  protoent Entry{};
  protoent* Found = nullptr;
  char Buf[1024];
  if (getprotobyname_r(Name.c_str(), &Entry, Buf, sizeof Buf, &Found) != 0 || !Found)
    return -1;
  return Found->p_proto;
}

} // namespace

// ---- TBuffer ----

TBuffer::TBuffer(int BufSize) : FBufSize(BufSize > 0 ? BufSize : DefaultSize) {
  FBuf = std::make_unique_for_overwrite<char[]>(std::size_t(FBufSize));
}

int TBuffer::Write(const void* Data, int Len) {
  const int Count = std::min(Len, FBufSize - FWrCount);
  if (Count <= 0)
    return 0;
  std::memcpy(FBuf.get() + FWrCount, Data, std::size_t(Count));
  FWrCount += Count;
  return Count;
}

const char* TBuffer::Peek(int& Len) const {
  Len = FWrCount - FRdCount;
  if (Len <= 0) {
    Len = 0;
    return nullptr;
  }
  return FBuf.get() + FRdCount;
}

int TBuffer::Remove(int N) {
  N = std::clamp(N, 0, FWrCount - FRdCount);
  FRdCount += N;
  if (FRdCount >= FWrCount)
    FRdCount = FWrCount = 0;
  return N;
}

// Lookup answers arrive through a queued slot connection rather than a
// functor: an aborted lookup then leaves nothing behind, where the functor form
// leaks its slot object.
class TDnsReceiver : public QObject {
  Q_OBJECT
public:
  explicit TDnsReceiver(std::function<void(const QHostInfo&)> Done) : FDone(std::move(Done)) {}
public slots:
  void LookedUp(const QHostInfo& Info) {
    Guarded([&] { FDone(Info); });
  }

private:
  std::function<void(const QHostInfo&)> FDone;
};

// ---- TCustomWSocket: life ----

TCustomWSocket::TCustomWSocket()
    : FWindow(
          std::make_unique<THiddenWindow>([this](unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
            if (Msg == WM_ASYNCSELECT)
              WMAsyncSelect(WParam, LParam);
          })),
      FDnsReceiver(std::make_unique<TDnsReceiver>(
          [this](const QHostInfo& Info) { WMAsyncGetHostByName(Info.lookupId(), Info); })) {
  ResetToDefaults();
}

// No events from here: the owner that is destroying us may be half gone.
TCustomWSocket::~TCustomWSocket() {
  FDestroying = true;
  if (FDnsLookupHandle != 0)
    QHostInfo::abortHostLookup(FDnsLookupHandle);
  if (FHSocket >= 0) {
    ShutDown(2);
    DropSocket();
  }
}

void TCustomWSocket::ResetToDefaults() {
  FSin = sockaddr_in{};
  FSin.sin_family = AF_INET;
  FAddrResolved = false;
  FPortAssigned = false;
  FProtoAssigned = true;
  FProtoStr = "tcp";
  FProto = 6;
  FType = SOCK_STREAM;
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FHSocket = -1;
  FState = wsClosed;
  FAllSent = true;
  FCloseInvoked = false;
  FReadCount = 0;
  FLinkReadCount = 0;
  // Unsent bytes of a finished connection must never reach the next one.
  FBufList.clear();
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
  const TSocketState OldState = FState;
  FState = NewState;
  if (OldState != NewState && OnChangeState)
    OnChangeState(this, OldState, NewState);
}

// ---- errors ----

void TCustomWSocket::RaiseException(const std::string& Msg) {
  if (OnError)
    OnError(this);
  else
    throw ESocketException(Msg);
}

void TCustomWSocket::SocketError(const std::string& FuncName, int ErrCode) {
  const std::string Msg =
      "Error " + IntToStr(ErrCode) + " in function " + FuncName + "\r\n" + WSocketErrorDesc(ErrCode);
  if (ErrCode == 10054 || ErrCode == 10057) {
    if (FHSocket >= 0)
      DropSocket();
    ChangeState(wsClosed);
  }
  RaiseException(Msg);
}

// ---- name lookup ----

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  // A new connection begins here: the TLS failure of an earlier one is no
  // reason for a lookup or connect that fails now.
  FTlsError.clear();
  if (HostName.empty()) {
    RaiseException("DNS lookup: invalid host name.");
    if (OnDnsLookupDone)
      OnDnsLookupDone(this, 10022);
    return;
  }
  if (FDnsLookupHandle != 0) {
    QHostInfo::abortHostLookup(FDnsLookupHandle);
    FDnsLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList.clear();

  in_addr Addr{};
  if (ParseDotted(HostName, Addr)) {
    FDnsResult = Dotted(Addr);
    if (OnDnsLookupDone)
      OnDnsLookupDone(this, 0);
    return;
  }
  FDnsLookupHandle =
      QHostInfo::lookupHost(QString::fromStdString(HostName), FDnsReceiver.get(), SLOT(LookedUp(QHostInfo)));
}

void TCustomWSocket::WMAsyncGetHostByName(int LookupHandle, const QHostInfo& Info) {
  // An answer to a lookup we have given up on.
  if (FDnsLookupHandle == 0 || LookupHandle != FDnsLookupHandle)
    return;
  FDnsLookupHandle = 0;
  std::uint16_t Error = 0;
  if (Info.error() == QHostInfo::HostNotFound) {
    Error = 11001;
  } else if (Info.error() != QHostInfo::NoError) {
    Error = 11002;
  } else {
    for (const QHostAddress& Address : Info.addresses())
      if (Address.protocol() == QAbstractSocket::IPv4Protocol)
        FDnsResultList.push_back(Address.toString().toStdString());
    if (FDnsResultList.empty())
      Error = 11004; // the name exists but has no IPv4 address
    else
      FDnsResult = FDnsResultList.front();
  }
  if (OnDnsLookupDone)
    OnDnsLookupDone(this, Error);
}

void TCustomWSocket::CancelDnsLookup() {
  if (FDnsLookupHandle == 0)
    return;
  QHostInfo::abortHostLookup(FDnsLookupHandle);
  FDnsLookupHandle = 0;
  if (!FDestroying && OnDnsLookupDone)
    OnDnsLookupDone(this, 10004);
}

// ---- address, port, protocol ----

void TCustomWSocket::SetAddr(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseException("Cannot change Addr if not closed");
    return;
  }
  if (FAddrResolved && Value == FAddrStr)
    return;
  FAddrStr = Value;
  FAddrResolved = false;
  const std::string Host = Trim(Value);
  in_addr Addr{};
  if (!ParseDotted(Host, Addr)) {
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* Found = nullptr;
    if (Host.empty() || getaddrinfo(Host.c_str(), nullptr, &Hints, &Found) != 0 || !Found)
      throw ESocketException("SetAddr: Cannot convert host address '" + Value + "'");
    Addr = reinterpret_cast<const sockaddr_in*>(Found->ai_addr)->sin_addr;
    freeaddrinfo(Found);
  }
  FSin.sin_addr = Addr;
  FAddrResolved = true;
}

void TCustomWSocket::SetPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseException("Cannot change Port if not closed");
    return;
  }
  if (FPortAssigned && Value == FPortStr)
    return;
  FPortStr = Value;
  FPortAssigned = false;
  const std::string Text = Trim(Value);
  int Num = -1;
  if (!Text.empty())
    Num = IsDigit(Text[0]) ? LeadingNumber(Text, 65535) : ServicePort(Text, Trim(FProtoStr));
  if (Num < 0) {
    RaiseException("SetPort: Cannot convert port '" + Value + "'");
    return;
  }
  FPortNum = Num;
  FPortAssigned = true;
}

void TCustomWSocket::SetProto(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseException("Cannot change Proto if not closed");
    return;
  }
  if (FProtoAssigned && Value == FProtoStr)
    return;
  FProtoStr = Value;
  FProtoAssigned = false;
  const std::string Text = Trim(Value);
  int Num = -1;
  if (!Text.empty())
    Num = IsDigit(Text[0]) ? LeadingNumber(Text, 255) : ProtocolNumber(Text);
  if (Num < 0) {
    RaiseException("SetProto: Cannot convert protocol '" + Value + "'");
    return;
  }
  FProto = Num;
  FType = Num == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
  FProtoAssigned = true;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  if (Value == wsSendNormal)
    FSendFlags = 0;
  else if (Value == wsSendUrgent)
    FSendFlags = MSG_OOB;
  else
    RaiseException("Invalid SendFlags");
}

// ---- connect ----

void TCustomWSocket::Connect() {
  FLastError = 0; // what an earlier connection ended with is no news now
  if (FHSocket >= 0 && FState != wsClosed) {
    RaiseException("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    RaiseException("Connect: No Port Specified");
    return;
  }
  if (!FAddrResolved) {
    RaiseException("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    RaiseException("Connect: No Protocol Specified");
    return;
  }

  const int Handle = ::socket(AF_INET, FType | SOCK_NONBLOCK | SOCK_CLOEXEC, FProto);
  if (Handle < 0) {
    FLastError = WSocketErrorFromErrno(errno);
    SocketError("Connect (socket)", FLastError);
    return;
  }
  FHSocket = Handle;
  ++FSocketSerial;
  FCloseError = 0;
  FTlsError.clear();
  FTlsBroken = false;
  // Cleared here too: a connect from inside OnSessionClosed skips the reset
  // that would clear it, and the new connection's close must still be told.
  FCloseInvoked = false;
  ChangeState(wsOpened);

  if (FType == SOCK_STREAM) {
    if (FLingerOnOff != wsLingerNoSet) {
      const linger Linger{FLingerOnOff == wsLingerOn ? 1 : 0, FLingerTimeout};
      if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger) != 0) {
        SocketError("setsockopt(SO_LINGER)", WSocketErrorFromErrno(errno));
        return;
      }
    }
    const int On = 1;
    if (setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &On, sizeof On) != 0) {
      SocketError("setsockopt(SO_KEEPALIVE)", WSocketErrorFromErrno(errno));
      return;
    }
    if (setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On) != 0) {
      SocketError("setsockopt(SO_REUSEADDR)", WSocketErrorFromErrno(errno));
      return;
    }
  }

  // Readiness reports: the write side tells the end of the connect, the read
  // side is switched on once connected (a refused connect also reads as
  // readable, and peeking at it would swallow the error).
  FReadNotifier = new QSocketNotifier(FHSocket, QSocketNotifier::Read, FWindow.get());
  FReadNotifier->setEnabled(false);
  QObject::connect(FReadNotifier, &QSocketNotifier::activated, FWindow.get(),
                   [this] { Guarded([this] { ReadReady(); }); });
  FWriteNotifier = new QSocketNotifier(FHSocket, QSocketNotifier::Write, FWindow.get());
  FWriteNotifier->setEnabled(false);
  QObject::connect(FWriteNotifier, &QSocketNotifier::activated, FWindow.get(),
                   [this] { Guarded([this] { WriteReady(); }); });

  FSin.sin_family = AF_INET;
  FSin.sin_port = htons(std::uint16_t(FPortNum));
  if (::connect(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin) != 0 &&
      errno != EINPROGRESS && errno != EAGAIN) {
    FLastError = WSocketErrorFromErrno(errno);
    SocketError("Connect", FLastError);
    return;
  }
  ChangeState(wsConnecting);
  SetWriteNotice(true);
}

// ---- readiness -> notices ----

void TCustomWSocket::SetReadNotice(bool On) {
  if (FReadNotifier)
    FReadNotifier->setEnabled(On);
}

void TCustomWSocket::SetWriteNotice(bool On) {
  if (FWriteNotifier)
    FWriteNotifier->setEnabled(On);
}

void TCustomWSocket::PostNotice(std::uint16_t Event, std::uint16_t Error) {
  FWindow->PostMessage(WM_ASYNCSELECT, FSocketSerial, MakeNotice(Event, Error));
}

void TCustomWSocket::RaiseNotice(std::uint16_t Event, std::uint16_t Error) {
  WMAsyncSelect(FSocketSerial, MakeNotice(Event, Error));
}

void TCustomWSocket::ReadReady() {
  if (TlsHandshaking()) {
    TlsHandshake();
    return;
  }
  if (FTlsWriteWantsRead) {
    FTlsWriteWantsRead = false;
    const std::uintptr_t Serial = FSocketSerial;
    RaiseNotice(FD_WRITE, 0);
    if (!SocketIs(Serial))
      return;
  }
  char Byte;
  const ssize_t Count = ::recv(FHSocket, &Byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (Count > 0) {
    // Like FD_READ, the next report waits for a Receive; a handler that
    // leaves the data unread must not keep the loop busy.
    SetReadNotice(false);
    WMAsyncSelect(FSocketSerial, MakeNotice(FD_READ, 0));
  } else if (Count == 0) {
    WMAsyncSelect(FSocketSerial, MakeNotice(FD_CLOSE, FCloseError));
  } else if (errno != EAGAIN && errno != EINTR) {
    FCloseError = WSocketErrorFromErrno(errno);
    WMAsyncSelect(FSocketSerial, MakeNotice(FD_CLOSE, FCloseError));
  }
}

void TCustomWSocket::WriteReady() {
  SetWriteNotice(false);
  if (TlsHandshaking()) {
    TlsHandshake();
    return;
  }
  if (FState != wsConnecting) {
    // A TLS read that waited for room goes first; data sent is told only
    // when some was waiting.
    std::uint16_t Events = FD_WRITE;
    if (std::exchange(FTlsReadWantsWrite, false))
      Events = FAllSent ? FD_READ : FD_READ | FD_WRITE;
    RaiseNotice(Events, 0);
    return;
  }
  int Err = 0;
  socklen_t Len = sizeof Err;
  if (getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &Err, &Len) != 0)
    Err = errno;
  // With TLS the connect is reported once the handshake is over.
  if (Err == 0 && FTls) {
    TlsStart();
    return;
  }
  if (Err == 0)
    SetReadNotice(true);
  WMAsyncSelect(FSocketSerial, MakeNotice(FD_CONNECT, WSocketErrorFromErrno(Err)));
}

void TCustomWSocket::WMAsyncSelect(std::uintptr_t Handle, std::intptr_t Notice) {
  // A notice of a socket closed since then.
  if (!SocketIs(Handle))
    return;
  const auto Event = std::uint16_t(Notice & 0xFFFF);
  const auto Error = std::uint16_t((Notice >> 16) & 0xFFFF);

  if (Event & FD_CONNECT) {
    ChangeState(wsConnected);
    if (OnSessionConnected)
      OnSessionConnected(this, Error);
    if (Error != 0 && SocketIs(Handle) && FState != wsClosed)
      Close();
  }
  if ((Event & FD_READ) && SocketIs(Handle)) {
    const std::int64_t before = FReadCount;
    ReadLoop(Handle, Error, ReadPerNotice(MaxReadPerNotice));
    Turns.Read += std::max<std::int64_t>(0, FReadCount - before); // a reconnect inside starts it over
  }
  if ((Event & FD_WRITE) && SocketIs(Handle)) {
    TryToSend();
    if (SocketIs(Handle) && FAllSent && OnDataSent)
      OnDataSent(this, Error);
  }
  // A close notice while connecting is dropped: a refused connect arrives as
  // FD_CONNECT with its error.
  if ((Event & FD_CLOSE) && SocketIs(Handle) && FState != wsConnecting) {
    // What arrived before the close comes first, all of it: nothing more
    // can follow, and the close would drop what is left.
    ReadLoop(Handle, Error, INT64_MAX);
    if (SocketIs(Handle) && OnSessionClosed && !FCloseInvoked) {
      FCloseInvoked = true;
      OnSessionClosed(this, Error);
    }
    if (SocketIs(Handle) && FState != wsClosed)
      Close();
  }
}

// ---- receiving ----

// One report reads on while the system holds bytes, so a fast reply costs
// one pass through the event loop per Limit bytes rather than per receive;
// past Limit the rest waits for the next report, which comes at once, and
// timers, posted messages and the window get their turn in between. No
// receive takes more than is left of Limit (MinReadPerNotice at least).
void TCustomWSocket::ReadLoop(std::uintptr_t Handle, std::uint16_t Error, std::int64_t Limit) {
  struct TReading {
    bool& Flag;
    bool Was;
    std::int64_t& Room;
    std::int64_t RoomWas;
    ~TReading() {
      Flag = Was;
      Room = RoomWas;
    }
  } Reading{FInReadLoop, std::exchange(FInReadLoop, true), FReadRoom, FReadRoom};
  const std::int64_t Start = FReadCount;
  for (;;) {
    FLastError = 0;
    // What the TLS session holds is read past Limit: at least a receive's worth.
    FReadRoom = Limit == INT64_MAX ? INT64_MAX : std::max(Limit - (FReadCount - Start), MinReadPerNotice);
    if (!OnDataAvailable)
      return; // the data stays in the system
    FReceiveCalled = false;
    try {
      OnDataAvailable(this, Error);
    } catch (const std::exception& E) {
      // Ends the loop; the close handling that may follow still runs, and
      // the failure is shown rather than lost.
      ShowError(E.what());
      return;
    }
    if (FLastError != 0 || !SocketIs(Handle) || !FReceiveCalled)
      return;
    // What the TLS session has taken from the system already waits there
    // no more, and no report would come for it: it is read whatever Limit says.
    if (TlsPending())
      continue;
    // Inflated bytes wait in the compression as well; they keep to Limit,
    // since a few compressed bytes may stand for any number of them.
    if (InflatePending()) {
      if (FReadCount - Start < Limit)
        continue;
      PostNotice(FD_READ, 0);
      return;
    }
    int Waiting = 0;
    if (ioctl(FHSocket, FIONREAD, &Waiting) != 0) {
      FLastError = WSocketErrorFromErrno(errno);
      return;
    }
    if (Waiting <= 0 || FReadCount - Start >= Limit)
      return;
  }
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  FReceiveCalled = true;
  if (BufferSize > FReadRoom) // INT64_MAX outside the read loop
    BufferSize = int(FReadRoom);
  if (FHSocket < 0) {
    FLastError = 10038;
    return -1;
  }
  if (FDeflate)
    return InflateReceive(static_cast<char*>(Buffer), BufferSize);
  const int Count = LinkReceive(Buffer, BufferSize);
  if (Count > 0)
    FReadCount += Count;
  return Count;
}

// One read of the connection's bytes as they come, from the system or from
// the TLS session.
int TCustomWSocket::LinkReceive(void* Buffer, int BufferSize) {
  if (FSsl)
    return TlsReceive(Buffer, BufferSize);
  const ssize_t Count = ::recv(FHSocket, Buffer, std::size_t(std::max(BufferSize, 0)), MSG_DONTWAIT);
  const int Err = errno;
  if (FState == wsConnected)
    SetReadNotice(true);
  if (Count < 0) {
    FLastError = WSocketErrorFromErrno(Err);
    if (FState == wsConnected && Err != EAGAIN && Err != EINTR)
      FCloseError = std::uint16_t(FLastError);
    return -1;
  }
  // The system reports a reset to one read only and then reads 0 bytes; the
  // reads after it must not pass for an orderly close.
  if (Count == 0 && BufferSize > 0 && FCloseError != 0) {
    FLastError = FCloseError;
    return -1;
  }
  FLinkReadCount += Count;
  return int(Count);
}

int TCustomWSocket::RcvdCount() {
  int Waiting = 0;
  if (ioctl(FHSocket, FIONREAD, &Waiting) != 0) {
    // No socket is "not a socket", as for Receive, not a bad file number.
    SocketError("ioctlSocket", FHSocket < 0 ? 10038 : WSocketErrorFromErrno(errno));
    return -1;
  }
  return Waiting;
}

// ---- sending ----

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FState != wsConnected) {
    SocketError("Send", 10057);
    return -1;
  }
  FAllSent = false;
  if (Len <= 0)
    return 0;
  if (FDeflate) {
    const std::string_view Compressed = FDeflate->Deflate(static_cast<const char*>(Data), std::size_t(Len));
    Queue(Compressed.data(), int(Compressed.size()));
  } else {
    Queue(static_cast<const char*>(Data), Len);
  }

  // A send that fails closes the socket, and the close handler may already
  // have opened the next connection: that one has sent nothing.
  const std::uintptr_t Serial = FSocketSerial;
  TryToSend();
  // Everything left at once: OnDataSent still comes from the loop, so the
  // caller is never re-entered from inside Send.
  if (FAllSent && SocketIs(Serial))
    PostNotice(FD_WRITE, 0);
  return Len;
}

// Copies the bytes behind those waiting, into new blocks where the last is full.
void TCustomWSocket::Queue(const char* Data, int Len) {
  if (FBufList.empty())
    FBufList.emplace_back();
  const char* Next = Data;
  int Left = Len;
  for (;;) {
    const int Count = FBufList.back().Write(Next, Left);
    Next += Count;
    Left -= Count;
    if (Left <= 0)
      break;
    FBufList.emplace_back();
  }
}

int TCustomWSocket::SendStr(const std::string& Str) { return Send(Str.data(), int(Str.size())); }

void TCustomWSocket::TryToSend() {
  if (FHSocket < 0 || FBufList.empty())
    return;
  for (;;) {
    TBuffer& First = FBufList.front();
    int Len = 0;
    const char* Data = First.Peek(Len);
    if (Len == 0) {
      if (FBufList.size() == 1) {
        FAllSent = true;
        SetWriteNotice(false);
        return;
      }
      FBufList.pop_front();
      continue;
    }
    if (FSsl) {
      // One record at a time; the session sends, and acknowledges at once.
      const int Count = TlsWrite(Data, Len);
      if (Count <= 0)
        return;
      First.Remove(Count);
      continue;
    }
    const ssize_t Count = ::send(FHSocket, Data, std::size_t(Len), FSendFlags | MSG_NOSIGNAL);
    if (Count < 0) {
      const std::uint16_t Err = WSocketErrorFromErrno(errno);
      if (Err == 10035) {
        SetWriteNotice(true); // go on when the system has room again
      } else if (Err == 10054 || Err == 10038 || Err == 10057 || Err == 10022 || Err == 10058) {
        InternalClose(true, Err);
      } else {
        SocketError("TryToSend failed", Err);
      }
      return;
    }
    AckAtOnce();
    First.Remove(int(Count));
    if (Count < Len) {
      SetWriteNotice(true);
      return;
    }
  }
}

// Every command is answered at once, and a delayed ACK of ours would hold
// the answer back for tens of milliseconds when the server writes it in two
// pieces. The system drops the setting again by itself, so it is set anew
// after each send.
void TCustomWSocket::AckAtOnce() {
#ifdef TCP_QUICKACK
  const int On = 1;
  if (FType == SOCK_STREAM)
    setsockopt(FHSocket, IPPROTO_TCP, TCP_QUICKACK, &On, sizeof On);
#endif
}

// ---- closing ----

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::Abort() { InternalClose(false, 0); }

void TCustomWSocket::ShutDown(int How) {
  if (FHSocket >= 0)
    ::shutdown(FHSocket, How);
}

int TCustomWSocket::DropSocket() {
  // The notifiers may be the very senders whose signal is running now.
  for (QSocketNotifier** Notifier : {&FReadNotifier, &FWriteNotifier}) {
    if (*Notifier) {
      (*Notifier)->setEnabled(false);
      (*Notifier)->deleteLater();
      *Notifier = nullptr;
    }
  }
  FBufList.clear();
  FAllSent = true;
  FSsl.reset();
  FDeflate.reset();
  FTlsReadWantsWrite = FTlsWriteWantsRead = false;
  return ::close(std::exchange(FHSocket, -1)) == 0 ? 0 : errno;
}

void TCustomWSocket::InternalClose(bool Shutdown, std::uint16_t Error) {
  if (FHSocket < 0) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (Shutdown) {
    TlsShutdown();
    ShutDown(2);
  }
  const int Err = DropSocket();
  if (Err != 0 && Err != EINTR) {
    FLastError = WSocketErrorFromErrno(Err);
    SocketError("Disconnect (closesocket)", FLastError);
    return;
  }
  ChangeState(wsClosed);
  if (!FDestroying && !FCloseInvoked && OnSessionClosed) {
    FCloseInvoked = true;
    OnSessionClosed(this, Error);
  }
  // A handler that connected again keeps its new connection.
  if (FHSocket < 0)
    ResetToDefaults();
}

#include "WSocket.moc"
