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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace {

const int SliceMs = 20; // every wait is cut into slices, so that Stop() is seen soon
const long Day = 24 * 3600;

std::string SslReason() {
  const char* reason = ERR_reason_error_string(ERR_peek_last_error());
  return reason ? reason : "unknown error";
}

// An authority signing itself when there is no issuer, else a certificate for
// the host name; valid from yesterday (or from) until `to` seconds from now.
X509* MakeCert(EVP_PKEY* key, const char* name, X509* issuer, long to, long from = -Day) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(issuer ? issuer : cert));
  const std::string ext = issuer ? "DNS:" + std::string(name) : "critical,CA:TRUE";
  X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, nullptr,
                                          issuer ? NID_subject_alt_name : NID_basic_constraints, ext.c_str());
  if (!e || X509_add_ext(cert, e, -1) != 1 || X509_sign(cert, key, EVP_sha256()) == 0)
    throw std::runtime_error("test certificate: " + SslReason());
  X509_EXTENSION_free(e);
  return cert;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

bool Wait(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) == 1;
}

} // namespace

const TTestCertificates& TTestCertificates::Get() {
  static const TTestCertificates certs;
  return certs;
}

TTestCertificates::TTestCertificates() : FKey(EVP_EC_gen("P-256")) {
  X509* ca = MakeCert(FKey, "Vostel Test CA", nullptr, 30 * Day);
  X509* other = MakeCert(FKey, "Vostel Other CA", nullptr, 30 * Day);
  FCerts = {MakeCert(FKey, "localhost", ca, Day), MakeCert(FKey, "news.example.com", ca, Day),
            MakeCert(FKey, "localhost", other, Day), MakeCert(FKey, "localhost", ca, -Day, -10 * Day)};
  FCAFile = "/tmp/vostel-test-ca-" + std::to_string(::getpid()) + ".pem";
  BIO* f = BIO_new_file(FCAFile.c_str(), "w");
  const bool written = f && PEM_write_bio_X509(f, ca) == 1;
  BIO_free(f);
  X509_free(ca);
  X509_free(other);
  if (!written)
    throw std::runtime_error("test certificate: cannot write " + FCAFile);
}

TTestCertificates::~TTestCertificates() {
  std::remove(FCAFile.c_str());
  for (X509* cert : FCerts)
    X509_free(cert);
  EVP_PKEY_free(FKey);
}

TTlsFront::TTlsFront(std::uint16_t backendPort, TTestCert cert)
    : FCtx(SSL_CTX_new(TLS_server_method())), FListen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      FBackendPort(backendPort) {
  const TTestCertificates& certs = TTestCertificates::Get();
  SSL_CTX_use_certificate(FCtx, certs.Cert(cert));
  SSL_CTX_use_PrivateKey(FCtx, certs.Key());
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::listen(FListen, 8) != 0)
    throw std::runtime_error("TLS front: cannot listen");
  FPort = ntohs(addr.sin_port);
}

TTlsFront::~TTlsFront() {
  Stop();
  ::close(FListen);
  SSL_CTX_free(FCtx);
}

void TTlsFront::Stop() {
  FStop = true;
  if (FThread.joinable())
    FThread.join();
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
    const int backend = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(FBackendPort);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // each piece in its own segment
    if (client < 0 || ::connect(backend, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
      FFailures.push_back("the server behind is not there");
    else
      Serve(client, backend);
    ::close(backend);
    ::close(client);
  }
}

// Sends what the session has written for the client; during the handshake in
// the pieces asked for. False when the connection is to end here.
bool TTlsFront::Flush(int client, bool handshake) {
  BIO* out = SSL_get_wbio(FSsl);
  std::string bytes(BIO_ctrl_pending(out), '\0');
  if (!bytes.empty())
    BIO_read(out, bytes.data(), int(bytes.size()));
  if (!handshake)
    return SendAll(client, bytes.data(), bytes.size());
  for (std::size_t from = 0; from < bytes.size();) {
    const std::size_t n = std::min({Chunk, bytes.size() - from, CloseAfter - FSent});
    if (!SendAll(client, bytes.data() + from, n) || (FSent += n) >= CloseAfter)
      return false;
    from += n;
    if (from < bytes.size())
      std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs));
  }
  return true;
}

// Shakes hands, then relays until either side closes.
void TTlsFront::Serve(int client, int backend) {
  FSsl = SSL_new(FCtx);
  SSL_set_bio(FSsl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  SSL_set_accept_state(FSsl);
  if (GreetingWithFinished)
    SSL_set_max_proto_version(FSsl, TLS1_2_VERSION);
  FSent = 0;
  char buf[16384];
  bool up = false; // the handshake is done
  while (!FStop) {
    if (!up) {
      ERR_clear_error();
      const int rc = SSL_do_handshake(FSsl);
      const int err = SSL_get_error(FSsl, rc);
      const std::string reason = SslReason();
      up = rc == 1;
      if (up && GreetingWithFinished && Wait(backend, POLLIN, 2000)) {
        const ssize_t n = ::recv(backend, buf, sizeof buf, 0);
        if (n > 0)
          SSL_write(FSsl, buf, int(n));
      }
      if (!Flush(client, true))
        break;
      if (up) {
        ++FHandshakes;
      } else if (err != SSL_ERROR_WANT_READ) {
        // The client must close now and send nothing more.
        FFailures.push_back("handshake: " + reason);
        std::size_t extra = BIO_ctrl_pending(SSL_get_rbio(FSsl));
        for (ssize_t n; Wait(client, POLLIN, 2000) && (n = ::recv(client, buf, sizeof buf, 0)) > 0;)
          extra += std::size_t(n);
        if (extra > 0)
          FFailures.push_back(std::to_string(extra) + " bytes after the failed handshake");
        break;
      }
    }
    pollfd p[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
    if (::poll(p, up ? 2 : 1, SliceMs) <= 0)
      continue;
    if (p[0].revents) {
      const ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0)
        break;
      BIO_write(SSL_get_rbio(FSsl), buf, int(n));
      if (!up)
        continue;
      int got;
      while ((got = SSL_read(FSsl, buf, sizeof buf)) > 0 && SendAll(backend, buf, std::size_t(got))) {
      }
      const int err = got > 0 ? SSL_ERROR_NONE : SSL_get_error(FSsl, got);
      if (err == SSL_ERROR_SSL)
        FFailures.push_back("relay: " + SslReason());
      if (err != SSL_ERROR_WANT_READ)
        break; // the server behind has gone, or the client ended the session
      Flush(client, false);
    }
    if (p[1].revents) {
      const ssize_t n = ::recv(backend, buf, sizeof buf, 0);
      if (n <= 0)
        SSL_shutdown(FSsl);
      else
        SSL_write(FSsl, buf, int(n));
      if (!Flush(client, false) || n <= 0)
        break;
    }
  }
  SSL_free(FSsl);
}
