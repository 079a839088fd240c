#include "tests/support/TlsFront.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace {

// Every wait is cut into slices this long so that Stop() is seen quickly.
const int SliceMs = 20;
const long Day = 24 * 3600;

std::string SslReason() {
  const char* reason = ERR_reason_error_string(ERR_peek_last_error());
  return reason ? reason : "unknown error";
}

void AddExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext)
    throw std::runtime_error("test certificate: bad extension " + std::string(value));
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for key, valid from..to seconds from now, signed by issuer
// (itself when none); an authority when san is empty.
X509* MakeCert(const char* cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long from, long to,
               const char* san) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(issuer ? issuer : cert));
  if (*san == '\0') {
    AddExt(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExt(cert, issuer, NID_basic_constraints, "CA:FALSE");
    AddExt(cert, issuer, NID_subject_alt_name, san);
    AddExt(cert, issuer, NID_ext_key_usage, "serverAuth");
  }
  if (X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) == 0)
    throw std::runtime_error("test certificate: cannot sign");
  return cert;
}

bool Wait(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) == 1;
}

} // namespace

// ---- certificates ----

void TTestCertificates::TKeyFree::operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
void TTestCertificates::TCertFree::operator()(X509* p) const { X509_free(p); }

const TTestCertificates& TTestCertificates::Get() {
  static const TTestCertificates certs;
  return certs;
}

TTestCertificates::TTestCertificates() : FKey(EVP_EC_gen("P-256")) {
  if (!FKey)
    throw std::runtime_error("test certificate: no key");
  EVP_PKEY* key = FKey.get();
  std::unique_ptr<X509, TCertFree> ca(MakeCert("Vostel Test CA", key, nullptr, nullptr, -Day, 30 * Day, ""));
  std::unique_ptr<X509, TCertFree> other(
      MakeCert("Vostel Other CA", key, nullptr, nullptr, -Day, 30 * Day, ""));
  FCerts.emplace_back(MakeCert("localhost", key, ca.get(), key, -Day, Day, "DNS:localhost"));
  FCerts.emplace_back(MakeCert("news.example.com", key, ca.get(), key, -Day, Day, "DNS:news.example.com"));
  FCerts.emplace_back(MakeCert("localhost", key, other.get(), key, -Day, Day, "DNS:localhost"));
  FCerts.emplace_back(MakeCert("localhost", key, ca.get(), key, -10 * Day, -Day, "DNS:localhost"));

  char folder[] = "/tmp/vostel-tls-XXXXXX";
  if (!mkdtemp(folder))
    throw std::runtime_error("test certificate: no temporary folder");
  FFolder = folder;
  FCAFile = FFolder + "/ca.pem";
  FILE* f = std::fopen(FCAFile.c_str(), "w");
  const bool written = f && PEM_write_X509(f, ca.get()) == 1;
  if (f)
    std::fclose(f);
  if (!written)
    throw std::runtime_error("test certificate: cannot write " + FCAFile);
}

TTestCertificates::~TTestCertificates() {
  std::remove(FCAFile.c_str());
  ::rmdir(FFolder.c_str());
}

X509* TTestCertificates::Cert(TTestCert which) const { return FCerts[std::size_t(which)].get(); }

// ---- the front ----

void TTlsFront::TCtxFree::operator()(SSL_CTX* p) const { SSL_CTX_free(p); }

TTlsFront::TTlsFront(std::uint16_t backendPort, TTestCert cert)
    : FCtx(SSL_CTX_new(TLS_server_method())), FBackendPort(backendPort) {
  const TTestCertificates& certs = TTestCertificates::Get();
  if (!FCtx || SSL_CTX_use_certificate(FCtx.get(), certs.Cert(cert)) != 1 ||
      SSL_CTX_use_PrivateKey(FCtx.get(), certs.Key()) != 1)
    throw std::runtime_error("TLS front: " + SslReason());
  FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("TLS front: bind failed");
  FPort = ntohs(addr.sin_port);
}

TTlsFront::~TTlsFront() {
  Stop();
  ::close(FListen);
}

TTlsFront& TTlsFront::SplitHandshake(std::size_t chunk, int pauseMs) {
  FChunk = chunk;
  FPauseMs = pauseMs;
  return *this;
}

TTlsFront& TTlsFront::CloseInHandshake(std::size_t afterBytes) {
  FCloseAfter = afterBytes;
  return *this;
}

TTlsFront& TTlsFront::SilentInHandshake() {
  FSilent = true;
  return *this;
}

TTlsFront& TTlsFront::GreetingWithFinished() {
  FGreetingWithFinished = true;
  SSL_CTX_set_max_proto_version(FCtx.get(), TLS1_2_VERSION);
  return *this;
}

void TTlsFront::Start() {
  ::listen(FListen, 8);
  FThread = std::thread([this] { Run(); });
}

void TTlsFront::Stop() {
  FStop = true;
  if (FThread.joinable())
    FThread.join();
}

std::vector<std::string> TTlsFront::Failures() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FFailures;
}

void TTlsFront::Fail(const std::string& text) {
  std::lock_guard<std::mutex> hold(FLock);
  FFailures.push_back(text);
}

bool TTlsFront::Sleep(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!FStop && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return !FStop;
}

bool TTlsFront::SendAll(int fd, const char* data, std::size_t len) {
  while (len > 0 && !FStop) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      len -= std::size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      Wait(fd, POLLOUT, SliceMs);
    } else {
      return false; // the other side has gone
    }
  }
  return len == 0;
}

void TTlsFront::Run() {
  while (!FStop) {
    if (!Wait(FListen, POLLIN, SliceMs))
      continue;
    const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
      continue;
    ++FConnections;
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Serve(client);
    ::close(client);
  }
}

void TTlsFront::Serve(int client) {
  if (FSilent) { // takes the client's bytes and says nothing, until the client closes
    char buf[4096];
    ssize_t n = 1;
    while (!FStop && n > 0)
      if (Wait(client, POLLIN, SliceMs) && (n = ::recv(client, buf, sizeof buf, 0)) > 0)
        FSilentBytes += std::size_t(n);
    return;
  }
  const int backend = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(FBackendPort);
  if (::connect(backend, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Fail("the server behind is not there");
    ::close(backend);
    return;
  }
  SSL* ssl = SSL_new(FCtx.get());
  SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  SSL_set_accept_state(ssl);
  FHandshakeSent = 0;
  if (Handshake(client, backend, ssl)) {
    ++FHandshakes;
    Relay(client, backend, ssl);
  }
  SSL_free(ssl);
  ::close(backend);
}

// Sends what the session has written for the client; during the handshake
// as the knobs say. False when the connection is to end here.
bool TTlsFront::FlushOut(int client, SSL* ssl, bool handshake) {
  BIO* out = SSL_get_wbio(ssl);
  std::string bytes(BIO_ctrl_pending(out), '\0');
  if (!bytes.empty())
    BIO_read(out, bytes.data(), int(bytes.size()));
  if (!handshake)
    return SendAll(client, bytes.data(), bytes.size());
  for (std::size_t from = 0; from < bytes.size();) {
    std::size_t n = FChunk ? std::min(FChunk, bytes.size() - from) : bytes.size() - from;
    if (FHandshakeSent + n > FCloseAfter)
      n = FCloseAfter - FHandshakeSent;
    if (n > 0 && !SendAll(client, bytes.data() + from, n))
      return false;
    from += n;
    FHandshakeSent += n;
    if (FHandshakeSent >= FCloseAfter)
      return false;
    if (FPauseMs > 0 && from < bytes.size() && !Sleep(FPauseMs))
      return false;
  }
  return true;
}

bool TTlsFront::Handshake(int client, int backend, SSL* ssl) {
  char buf[16384];
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl);
    if (rc == 1 && FGreetingWithFinished && Wait(backend, POLLIN, 2000)) {
      const ssize_t n = ::recv(backend, buf, sizeof buf, 0);
      if (n > 0)
        SSL_write(ssl, buf, int(n));
    }
    const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, rc);
    const std::string reason = err == SSL_ERROR_NONE ? "" : SslReason();
    if (!FlushOut(client, ssl, true))
      return false;
    if (err == SSL_ERROR_NONE)
      return true;
    if (err != SSL_ERROR_WANT_READ) {
      Fail("handshake: " + reason);
      DrainAfterFailure(client, ssl);
      return false;
    }
    while (!Wait(client, POLLIN, SliceMs))
      if (FStop)
        return false;
    const ssize_t n = ::recv(client, buf, sizeof buf, 0);
    if (n <= 0)
      return false; // the client gave up
    BIO_write(SSL_get_rbio(ssl), buf, int(n));
  }
}

// After a failed handshake the client must close, and send nothing more.
void TTlsFront::DrainAfterFailure(int client, SSL* ssl) {
  std::size_t extra = BIO_ctrl_pending(SSL_get_rbio(ssl));
  char buf[4096];
  ssize_t n;
  while (Wait(client, POLLIN, 2000) && (n = ::recv(client, buf, sizeof buf, 0)) > 0)
    extra += std::size_t(n);
  if (extra > 0)
    Fail(std::to_string(extra) + " bytes after the failed handshake");
}

void TTlsFront::Relay(int client, int backend, SSL* ssl) {
  char buf[16384];
  while (!FStop) {
    pollfd p[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
    if (::poll(p, 2, SliceMs) <= 0)
      continue;
    if (p[0].revents) {
      const ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0)
        return;
      BIO_write(SSL_get_rbio(ssl), buf, int(n));
      int got;
      while ((got = SSL_read(ssl, buf, sizeof buf)) > 0)
        if (!SendAll(backend, buf, std::size_t(got)))
          return;
      const int err = SSL_get_error(ssl, got);
      if (err == SSL_ERROR_ZERO_RETURN)
        return;
      if (err != SSL_ERROR_WANT_READ) {
        Fail("relay: " + SslReason());
        return;
      }
      FlushOut(client, ssl, false);
    }
    if (p[1].revents) {
      const ssize_t n = ::recv(backend, buf, sizeof buf, 0);
      if (n < 0) {
        const linger hard{1, 0}; // pass a reset on as a reset
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return;
      }
      if (n == 0) {
        SSL_shutdown(ssl);
        FlushOut(client, ssl, false);
        return;
      }
      SSL_write(ssl, buf, int(n));
      if (!FlushOut(client, ssl, false))
        return;
    }
  }
}
