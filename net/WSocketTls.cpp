// TLS under the socket: the session reads and writes the descriptor itself,
// driven by the same readiness reports as plain data.

#include "net/WSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

namespace {

// The reason of the last OpenSSL failure of this thread.
std::string SslReason() {
  const char* Reason = ERR_reason_error_string(ERR_peek_last_error());
  return Reason ? Reason : "unknown error";
}

bool IsAddress(const std::string& Host) {
  in6_addr Addr{};
  return inet_pton(AF_INET, Host.c_str(), &Addr) == 1 || inet_pton(AF_INET6, Host.c_str(), &Addr) == 1;
}

} // namespace

// The session's reads and writes: no SIGPIPE from a peer that has gone, the
// failing errno kept for the error number, and an immediate ACK after every
// send, as for plain writes.
struct TTlsBio {
  static TCustomWSocket& Socket(BIO* Bio) { return *static_cast<TCustomWSocket*>(BIO_get_data(Bio)); }

  static int Write(BIO* Bio, const char* Data, int Len) {
    TCustomWSocket& S = Socket(Bio);
    BIO_clear_retry_flags(Bio);
    const ssize_t Count = ::send(S.FHSocket, Data, std::size_t(Len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (Count < 0) {
      if (errno == EAGAIN || errno == EINTR)
        BIO_set_retry_write(Bio);
      else
        S.FTlsErrno = errno;
      return -1;
    }
    S.AckAtOnce();
    return int(Count);
  }

  static int Read(BIO* Bio, char* Data, int Len) {
    TCustomWSocket& S = Socket(Bio);
    BIO_clear_retry_flags(Bio);
    const ssize_t Count = ::recv(S.FHSocket, Data, std::size_t(Len), MSG_DONTWAIT);
    if (Count < 0) {
      if (errno == EAGAIN || errno == EINTR)
        BIO_set_retry_read(Bio);
      else
        S.FTlsErrno = errno;
      return -1;
    }
    return int(Count);
  }

  static long Ctrl(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

  static BIO_METHOD* Method() {
    static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> Method(
        [] {
          BIO_METHOD* M = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vostel socket");
          if (M) {
            BIO_meth_set_write(M, Write);
            BIO_meth_set_read(M, Read);
            BIO_meth_set_ctrl(M, Ctrl);
          }
          return M;
        }(),
        &BIO_meth_free);
    return Method.get();
  }
};

void TCustomWSocket::TSslFree::operator()(ssl_st* Ssl) const { SSL_free(Ssl); }

void TCustomWSocket::SetTls(bool Value) {
  if (FState != wsClosed) {
    RaiseException("Cannot change Tls if not closed");
    return;
  }
  FTls = Value;
}

// The TCP connection is there: set up the session and start its handshake.
void TCustomWSocket::TlsStart() {
  const std::string& Host = TlsPeerName();
  ERR_clear_error();
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> Ctx(SSL_CTX_new(TLS_client_method()),
                                                              &SSL_CTX_free);
  if (!Ctx)
    return TlsConnectFailed("TLS: cannot set up the connection to " + Host + " (" + SslReason() + ")");
  SSL_CTX_set_min_proto_version(Ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(Ctx.get(), SSL_VERIFY_PEER, nullptr);
  // A server that closes without saying so closes like a plain one: the
  // news protocol tells a whole reply by its own end. Renegotiation is
  // refused, so a write never waits for a read.
  SSL_CTX_set_options(Ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  // A write is retried from the queue block, which grows behind it.
  SSL_CTX_set_mode(Ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Fewer reads of the system: what it holds is taken in one go, and the
  // read loop goes on while the session keeps some of it.
  SSL_CTX_set_read_ahead(Ctx.get(), 1);
  if (SSL_CTX_set_default_verify_paths(Ctx.get()) != 1)
    return TlsConnectFailed("TLS: cannot load the system's trust store (" + SslReason() + ")");
  if (!FTlsCAFile.empty() && SSL_CTX_load_verify_locations(Ctx.get(), FTlsCAFile.c_str(), nullptr) != 1)
    return TlsConnectFailed("TLS: cannot load the CA file '" + FTlsCAFile + "' (" + SslReason() + ")");

  FSsl.reset(SSL_new(Ctx.get()));
  BIO* Bio = FSsl ? BIO_new(TTlsBio::Method()) : nullptr;
  if (!Bio)
    return TlsConnectFailed("TLS: cannot set up the connection to " + Host + " (" + SslReason() + ")");
  BIO_set_data(Bio, this);
  BIO_set_init(Bio, 1);
  SSL_set_bio(FSsl.get(), Bio, Bio);

  // Never a session without the name check: a name that cannot be set
  // ends the connect.
  bool NameSet;
  if (Host.empty() || Host.find('\0') != std::string::npos) {
    NameSet = false;
  } else if (IsAddress(Host)) {
    // An address is matched against the certificate's addresses, and is no
    // server name to send.
    NameSet = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl.get()), Host.c_str()) == 1;
  } else {
    SSL_set_hostflags(FSsl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    NameSet = SSL_set_tlsext_host_name(FSsl.get(), Host.c_str()) == 1 &&
              SSL_set1_host(FSsl.get(), Host.c_str()) == 1;
  }
  if (!NameSet)
    return TlsConnectFailed("TLS: cannot check the certificate against the name '" + Host + "'");
  SSL_set_connect_state(FSsl.get());
  TlsHandshake();
}

// One step of the handshake, run again on each readiness report it asks for.
void TCustomWSocket::TlsHandshake() {
  ERR_clear_error();
  FTlsErrno = 0;
  const int Rc = SSL_do_handshake(FSsl.get());
  if (Rc == 1) {
    const std::uintptr_t Serial = FSocketSerial;
    SetWriteNotice(false);
    SetReadNotice(true);
    RaiseNotice(FD_CONNECT, 0);
    // Bytes behind the handshake's last (the greeting, often) may have been
    // taken from the system with it, and then no readiness report tells of them.
    if (SocketIs(Serial) && FState == wsConnected && TlsPending())
      PostNotice(FD_READ, 0);
    return;
  }
  const int Err = SSL_get_error(FSsl.get(), Rc);
  if (Err == SSL_ERROR_WANT_READ || Err == SSL_ERROR_WANT_WRITE) {
    SetReadNotice(Err == SSL_ERROR_WANT_READ);
    SetWriteNotice(Err == SSL_ERROR_WANT_WRITE);
    return;
  }
  TlsConnectFailed(TlsHandshakeFailure(Err));
}

// Ends the connect the way a refused one ends, with the TLS number.
void TCustomWSocket::TlsConnectFailed(std::string Text) {
  ERR_clear_error();
  FTlsError = std::move(Text);
  FTlsBroken = true;
  SetReadNotice(false);
  SetWriteNotice(false);
  RaiseNotice(FD_CONNECT, WSAETLS);
}

std::string TCustomWSocket::TlsHandshakeFailure(int SslError) const {
  const std::string& Host = TlsPeerName();
  const long Verify = SSL_get_verify_result(FSsl.get());
  if (Verify != X509_V_OK)
    return "TLS: certificate verify failed for " + Host + " (" + X509_verify_cert_error_string(Verify) + ")";
  const bool Eof = SslError == SSL_ERROR_ZERO_RETURN || (SslError == SSL_ERROR_SYSCALL && FTlsErrno == 0) ||
                   (SslError == SSL_ERROR_SSL &&
                    ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
  if (Eof)
    return "TLS: " + Host + " closed the connection during the handshake";
  if (SslError == SSL_ERROR_SYSCALL)
    return "TLS: handshake with " + Host + " failed (" + WSocketErrorDesc(WSocketErrorFromErrno(FTlsErrno)) +
           ")";
  return "TLS: handshake with " + Host + " failed (" + SslReason() + ")";
}

// A read or write of the session failed for good: the error number to end
// the connection with.
std::uint16_t TCustomWSocket::TlsFailed(int SslError) {
  FTlsBroken = true;
  std::uint16_t Error = WSAETLS;
  if (SslError == SSL_ERROR_SYSCALL && FTlsErrno != 0)
    Error = WSocketErrorFromErrno(FTlsErrno);
  else
    FTlsError = "TLS: connection with " + TlsPeerName() + " failed (" + SslReason() + ")";
  ERR_clear_error();
  return Error;
}

int TCustomWSocket::TlsReceive(void* Buffer, int BufferSize) {
  if (FTlsBroken) {
    FLastError = FCloseError != 0 ? FCloseError : WSAETLS;
    return -1;
  }
  if (FState == wsConnected)
    SetReadNotice(true);
  if (BufferSize <= 0)
    return 0;
  ERR_clear_error();
  FTlsErrno = 0;
  const int Count = SSL_read(FSsl.get(), Buffer, BufferSize);
  if (Count > 0) {
    FLinkReadCount += Count;
    // Outside the read loop nobody else would come back for the rest.
    if (!FInReadLoop && TlsPending())
      PostNotice(FD_READ, 0);
    return Count;
  }
  const int Err = SSL_get_error(FSsl.get(), Count);
  switch (Err) {
  case SSL_ERROR_ZERO_RETURN:
    if (FCloseError == 0)
      return 0;
    FLastError = FCloseError;
    return -1;
  case SSL_ERROR_WANT_WRITE:
    // Reading goes on once the socket takes the session's own bytes.
    FTlsReadWantsWrite = true;
    SetReadNotice(false);
    SetWriteNotice(true);
    FLastError = 10035;
    return -1;
  case SSL_ERROR_WANT_READ:
    FLastError = 10035;
    return -1;
  default:
    FLastError = FCloseError = TlsFailed(Err);
    // The close comes from the loop, whether or not the system has more to tell.
    SetReadNotice(false);
    PostNotice(FD_CLOSE, FCloseError);
    return -1;
  }
}

// > 0 bytes taken, 0 when the write waits for the socket, -1 when it closed
// the connection.
int TCustomWSocket::TlsWrite(const char* Data, int Len) {
  ERR_clear_error();
  FTlsErrno = 0;
  const int Count = SSL_write(FSsl.get(), Data, Len);
  if (Count > 0)
    return Count;
  const int Err = SSL_get_error(FSsl.get(), Count);
  if (Err == SSL_ERROR_WANT_WRITE) {
    SetWriteNotice(true);
    return 0;
  }
  if (Err == SSL_ERROR_WANT_READ) {
    FTlsWriteWantsRead = true;
    SetReadNotice(true);
    return 0;
  }
  InternalClose(true, TlsFailed(Err));
  return -1;
}

// Bytes the session has taken from the system and not yet handed out; none
// once the server has ended the session, whatever it sent behind the end.
bool TCustomWSocket::TlsPending() const {
  return FSsl && !FTlsBroken && (SSL_get_shutdown(FSsl.get()) & SSL_RECEIVED_SHUTDOWN) == 0 &&
         SSL_has_pending(FSsl.get()) == 1;
}

// Tells the server we are leaving, without waiting for its answer.
void TCustomWSocket::TlsShutdown() {
  if (!FSsl || FTlsBroken || FState != wsConnected)
    return;
  ERR_clear_error();
  SSL_shutdown(FSsl.get());
  ERR_clear_error();
}
