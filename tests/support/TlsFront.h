#pragma once

// TLS for the test servers: a throw-away certificate authority with server
// certificates made at test time, and a front that speaks TLS to the client
// and relays the plain bytes to a server behind it (the scripted news
// server, or any listening socket), on its own thread.
//
//   TScriptedNewsServer server;
//   server.Reply("200 ready").Expect("GROUP alt.test")...;
//   server.Start();
//   TTlsFront front(server.Port());
//   front.SplitHandshake(1, 1).Start();
//   client.SetHost("localhost");
//   client.SetPort(front.PortText());
//   client.SetTls(true);
//   client.WSocket().SetTlsCAFile(TTestCertificates::Get().CAFile());
//
// Each connection is served on its own, one after another: the front
// connects to the server behind it as soon as it has accepted, shakes hands,
// then relays until either side closes.

#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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
  // Made once per test program; the folder of CAFile() goes at exit.
  static const TTestCertificates& Get();
  ~TTestCertificates();

  // The test authority as a PEM file, for TlsCAFile.
  const std::string& CAFile() const { return FCAFile; }
  X509* Cert(TTestCert which) const;
  EVP_PKEY* Key() const { return FKey.get(); }

private:
  TTestCertificates();
  struct TKeyFree {
    void operator()(EVP_PKEY* p) const;
  };
  struct TCertFree {
    void operator()(X509* p) const;
  };
  std::unique_ptr<EVP_PKEY, TKeyFree> FKey;
  std::vector<std::unique_ptr<X509, TCertFree>> FCerts; // in the order of TTestCert
  std::string FFolder;
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

  // How the handshake goes (call before Start()).
  // Sends the handshake's bytes in pieces of `chunk`, pausing between them.
  TTlsFront& SplitHandshake(std::size_t chunk, int pauseMs);
  // Closes the connection once this many handshake bytes have gone out.
  TTlsFront& CloseInHandshake(std::size_t afterBytes);
  // Accepts, reads what comes and says nothing, until the client closes.
  TTlsFront& SilentInHandshake();
  // TLS 1.2, where the server's Finished is the handshake's last message:
  // the server's first bytes go out in the same send as it.
  TTlsFront& GreetingWithFinished();

  void Start();
  void Stop();

  int Connections() const { return FConnections; }
  int Handshakes() const { return FHandshakes; }
  // Bytes a silent front has read (the client's hello, say).
  std::size_t SilentBytes() const { return FSilentBytes; }
  // What went wrong on the server side: a failed handshake ("handshake:
  // <reason>"), bytes from the client after it, a broken relay.
  std::vector<std::string> Failures() const;

private:
  void Run();
  void Serve(int client);
  bool Handshake(int client, int backend, SSL* ssl);
  void Relay(int client, int backend, SSL* ssl);
  bool FlushOut(int client, SSL* ssl, bool handshake);
  void DrainAfterFailure(int client, SSL* ssl);
  bool SendAll(int fd, const char* data, std::size_t len);
  bool Sleep(int ms);
  void Fail(const std::string& text);

  struct TCtxFree {
    void operator()(SSL_CTX* p) const;
  };
  std::unique_ptr<SSL_CTX, TCtxFree> FCtx;
  int FListen = -1;
  std::uint16_t FPort = 0;
  std::uint16_t FBackendPort = 0;
  std::size_t FChunk = 0; // 0: each flight whole
  int FPauseMs = 0;
  std::size_t FCloseAfter = SIZE_MAX;
  bool FSilent = false;
  bool FGreetingWithFinished = false;
  std::size_t FHandshakeSent = 0; // of the current connection

  std::thread FThread;
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::atomic<int> FHandshakes{0};
  std::atomic<std::size_t> FSilentBytes{0};
  mutable std::mutex FLock;
  std::vector<std::string> FFailures;
};
