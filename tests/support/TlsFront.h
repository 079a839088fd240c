#pragma once

// TLS for the test servers: certificates from a throw-away authority, made at
// test time, and a front on its own thread that speaks TLS to the client and
// relays the plain bytes to a server behind it, one connection after another.
//
//   TTlsFront front(server.Port());
//   front.Chunk = 1;
//   front.Start();
//   // the client: host "localhost", front.PortText(), TLS on and
//   // TTestCertificates::Get().CAFile() among its authorities

#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

enum class TTestCert {
  Good,      // for "localhost", from the test authority
  WrongHost, // for "news.example.com", from the test authority
  UnknownCA, // for "localhost", from an authority the client does not know
  Expired    // for "localhost", from the test authority, ended yesterday
};

class TTestCertificates {
public:
  static const TTestCertificates& Get(); // made once per test program
  ~TTestCertificates();
  const std::string& CAFile() const { return FCAFile; } // the test authority as PEM
  X509* Cert(TTestCert which) const { return FCerts[std::size_t(which)]; }
  EVP_PKEY* Key() const { return FKey; }

private:
  TTestCertificates();
  EVP_PKEY* FKey;
  std::vector<X509*> FCerts; // in the order of TTestCert
  std::string FCAFile;
};

class TTlsFront {
public:
  // Listens on 127.0.0.1, on an ephemeral port.
  explicit TTlsFront(std::uint16_t backendPort, TTestCert cert = TTestCert::Good);
  ~TTlsFront();
  TTlsFront(const TTlsFront&) = delete;
  TTlsFront& operator=(const TTlsFront&) = delete;

  std::string PortText() const { return std::to_string(FPort); }

  // How the handshake goes, set before Start(): its bytes go out in pieces
  // of Chunk bytes, PauseMs apart, and the connection closes once CloseAfter
  // of them are out. GreetingWithFinished: TLS 1.2, whose handshake ends with
  // the server's Finished, and the server's first bytes go out with it.
  std::size_t Chunk = SIZE_MAX, CloseAfter = SIZE_MAX;
  int PauseMs = 0;
  bool GreetingWithFinished = false;

  void Start() {
    FThread = std::thread([this] { Run(); });
  }
  void Stop();

  int Handshakes() const { return FHandshakes; }
  // Stops the front, then tells what went wrong on its side: a failed
  // handshake ("handshake: <reason>"), bytes the client sent after it, a
  // broken relay.
  std::vector<std::string> Failures() {
    Stop();
    return FFailures;
  }

private:
  void Run();
  void Serve(int client, int backend);
  bool Flush(int client, bool handshake);
  bool SendAll(int fd, const char* data, std::size_t len);

  SSL_CTX* FCtx;
  SSL* FSsl = nullptr; // of the connection being served
  int FListen;
  std::uint16_t FPort = 0, FBackendPort;
  std::size_t FSent = 0; // handshake bytes out on this connection
  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<int> FHandshakes{0};
  std::vector<std::string> FFailures;
};
