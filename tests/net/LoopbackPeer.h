#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// The far end of a test connection: a plain listening socket on 127.0.0.1
// and the one connection it accepts. Every wait is bounded.
class TLoopbackPeer {
public:
  // RcvBuf > 0 shrinks the receive buffer of accepted connections, so a peer
  // that stops reading soon stalls the sender.
  explicit TLoopbackPeer(int RcvBuf = 0) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (RcvBuf > 0)
      setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &RcvBuf, sizeof RcvBuf);
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    Sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Sin;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&Sin), sizeof Sin) == 0 && ::listen(FListen, 128) == 0 &&
        getsockname(FListen, reinterpret_cast<sockaddr*>(&Sin), &Len) == 0)
      FPort = ntohs(Sin.sin_port);
  }
  ~TLoopbackPeer() {
    Close();
    ::close(FListen);
  }
  TLoopbackPeer(const TLoopbackPeer&) = delete;
  TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

  std::string Port() const { return std::to_string(FPort); }

  bool Accept(int TimeoutMs = 5000) {
    Close();
    if (!Wait(FListen, POLLIN, TimeoutMs))
      return false;
    FConn = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    return FConn >= 0;
  }

  bool Send(const std::string& Data) {
    return ::send(FConn, Data.data(), Data.size(), MSG_NOSIGNAL) == ssize_t(Data.size());
  }

  // Reads what has arrived, waiting up to TimeoutMs for the first byte.
  std::string Read(int TimeoutMs = 2000) {
    std::string Got;
    char Buf[65536];
    while (Wait(FConn, POLLIN, Got.empty() ? TimeoutMs : 0)) {
      const ssize_t N = ::recv(FConn, Buf, sizeof Buf, 0);
      if (N <= 0)
        break;
      Got.append(Buf, std::size_t(N));
    }
    return Got;
  }

  // Orderly close: the other side sees the end of the stream.
  void Close() {
    if (FConn >= 0)
      ::close(FConn);
    FConn = -1;
  }

  // Abortive close: the other side sees a reset.
  void Reset() {
    const linger Linger{1, 0};
    setsockopt(FConn, SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
    Close();
  }

private:
  static bool Wait(int Fd, short Events, int TimeoutMs) {
    pollfd P{Fd, Events, 0};
    return ::poll(&P, 1, TimeoutMs) == 1;
  }

  int FListen = -1;
  int FConn = -1;
  int FPort = 0;
};
