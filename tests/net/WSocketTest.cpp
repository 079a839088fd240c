#include "net/WSocket.h"

#include "platform/Guard.h"
#include "tests/net/LoopbackPeer.h"
#include "tests/support/TlsFront.h"

#include <netinet/tcp.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Events = std::vector<std::string>;

class WSocket : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "net_tests";
      static char* argv[] = {name, nullptr};
      static QCoreApplication app(argc, argv);
    }
  }
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& Text) { Shown.push_back(Text); });
  }
  void TearDown() override { SetErrorDisplay(Previous); }

  template <class TDone> static bool WaitFor(TDone Done, int Ms = 5000) {
    QDeadlineTimer Deadline(Ms);
    while (!Done()) {
      if (Deadline.hasExpired())
        return false;
      QTest::qWait(2);
    }
    return true;
  }

  // Every event of S as a line; bytes read are gathered into "Data:<text>".
  void Record(TWSocket& S) {
    S.OnChangeState = [this](TObject*, TSocketState Old, TSocketState New) {
      Log.push_back("State " + std::to_string(Old) + ">" + std::to_string(New));
    };
    S.OnSessionConnected = [this, &S](TObject* Sender, std::uint16_t Error) {
      EXPECT_EQ(Sender, &S);
      Log.push_back("Connected " + std::to_string(Error) + " in " + std::to_string(S.State()));
    };
    S.OnSessionClosed = [this](TObject*, std::uint16_t Error) {
      Log.push_back("Closed " + std::to_string(Error));
    };
    S.OnDataSent = [this](TObject*, std::uint16_t Error) { Log.push_back("Sent " + std::to_string(Error)); };
    S.OnDataAvailable = [this, &S](TObject*, std::uint16_t) {
      char Buf[8192];
      const int N = S.Receive(Buf, sizeof Buf);
      if (N <= 0)
        Log.push_back("Data " + std::to_string(N));
      else if (!Log.empty() && Log.back().rfind("Data:", 0) == 0)
        Log.back().append(Buf, std::size_t(N));
      else
        Log.push_back("Data:" + std::string(Buf, std::size_t(N)));
    };
  }

  static void ConnectTo(TWSocket& S, const std::string& Port) {
    S.SetAddr("127.0.0.1");
    S.SetPort(Port);
    S.Connect();
  }

  bool Connected(TWSocket& S, TLoopbackPeer& Peer) {
    ConnectTo(S, Peer.Port());
    return WaitFor([&] { return S.State() == wsConnected; }) && Peer.Accept();
  }

  int Count(const std::string& Line) const { return int(std::count(Log.begin(), Log.end(), Line)); }

  template <class TCall> static std::string ErrorOf(TCall Call) {
    try {
      Call();
    } catch (const ESocketException& E) {
      return E.Message();
    }
    return "no exception";
  }

  Events Log;
  std::vector<std::string> Shown;
  TErrorDisplay Previous;
};

std::string FreePort() {
  TLoopbackPeer Gone;
  return Gone.Port();
}

std::size_t OpenDescriptors() {
  return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                   std::filesystem::directory_iterator()));
}

// How often the event loop wakes up in a quiet stretch; a busy notifier
// makes this run into the thousands.
int WakeUpsWhileIdle() {
  int WakeUps = 0;
  auto* Dispatcher = QAbstractEventDispatcher::instance();
  const auto Connection = QObject::connect(Dispatcher, &QAbstractEventDispatcher::awake, [&] { ++WakeUps; });
  QEventLoop Loop;
  QTimer::singleShot(300, &Loop, &QEventLoop::quit);
  Loop.exec();
  QObject::disconnect(Connection);
  return WakeUps;
}

bool AsksQuickAck(TWSocket& S) {
  int On = 0;
  socklen_t Len = sizeof On;
  return getsockopt(S.HSocket(), IPPROTO_TCP, TCP_QUICKACK, &On, &Len) == 0 && On == 1;
}

// To "localhost", the name the test certificates carry.
void UseTls(TWSocket& S) {
  S.SetTls(true);
  S.SetTlsHostName("localhost");
  S.SetTlsCAFile(TTestCertificates::Get().CAFile());
}

} // namespace

// ---- texts and numbers ----

TEST(WSocketErrors, TableTextsAndUnknownNumbers) {
  EXPECT_EQ(WSocketErrorDesc(0), "No Error");
  EXPECT_EQ(WSocketErrorDesc(10057), "Socket is not connected");
  EXPECT_EQ(WSocketErrorDesc(10061), "Connection refused");
  EXPECT_EQ(WSocketErrorDesc(10092), "WinSock DLL cannot support this application");
  EXPECT_EQ(WSocketErrorDesc(10101), "Graceful shutdown in progress"); // an orderly close cut a reply short
  EXPECT_EQ(WSocketErrorDesc(WSAETLS), "TLS error");
  EXPECT_EQ(WSocketErrorDesc(11004), "No Data");
  EXPECT_EQ(WSocketErrorDesc(10000), "Not a WinSock error");
  EXPECT_EQ(WSocketErrorDesc(10072), "Not a WinSock error");
}

TEST(WSocketErrors, ErrnoMapsOntoWinSockNumbers) {
  EXPECT_EQ(WSocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WSocketErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WSocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WSocketErrorFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WSocketErrorFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WSocketErrorFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WSocketErrorFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WSocketErrorFromErrno(EHOSTUNREACH), 10065);
  // An errno without a counterpart must not pose as one that has.
  EXPECT_EQ(WSocketErrorDesc(WSocketErrorFromErrno(ENODATA)), "Not a WinSock error");
}

// ---- the send queue block ----

TEST(TBufferTest, FillsToItsSizeAndRefillsFromTheStartOnceEmptied) {
  TBuffer B(10);
  auto Unsent = [&B] {
    int Len = 0;
    const char* Data = B.Peek(Len);
    return std::string(Data ? Data : "", std::size_t(Len));
  };
  EXPECT_EQ(B.Write("abcdefgh", 8), 8);
  EXPECT_EQ(B.Write("12345", 5), 2); // only what fits
  EXPECT_EQ(B.Write("x", 1), 0);
  EXPECT_EQ(Unsent(), "abcdefgh12");
  EXPECT_EQ(B.Remove(4), 4);
  EXPECT_EQ(Unsent(), "efgh12");
  EXPECT_EQ(B.Write("x", 1), 0); // freed space at the start is not reused yet
  EXPECT_EQ(B.Remove(100), 6);   // clamped to what is unsent
  int Len = -1;
  EXPECT_EQ(B.Peek(Len), nullptr);
  EXPECT_EQ(Len, 0);
  EXPECT_EQ(B.Write("xyz", 3), 3);
  EXPECT_EQ(Unsent(), "xyz");
  EXPECT_EQ(TBuffer(0).BufSize(), 1514);
  EXPECT_EQ(TBuffer(-5).BufSize(), 1514);
}

// ---- address, port, protocol ----

TEST_F(WSocket, PortAndProtoConvertNamesAndNumbers) {
  TWSocket S;
  S.SetPort("nntp");
  EXPECT_EQ(S.PortNum(), 119);
  S.SetPort(" 8119x ");
  EXPECT_EQ(S.PortNum(), 8119);
  S.SetProto("6");
  S.SetProto("tcp");
  EXPECT_EQ(S.Proto(), "tcp");
}

TEST_F(WSocket, BadPortProtoOrAddrIsRefusedAndConnectThenStops) {
  TWSocket S;
  S.SetAddr("127.0.0.1");
  EXPECT_EQ(ErrorOf([&] { S.SetPort("no-such-service"); }), "SetPort: Cannot convert port 'no-such-service'");
  // A number past 16 bits fails instead of wrapping onto another port.
  EXPECT_EQ(ErrorOf([&] { S.SetPort("65536"); }), "SetPort: Cannot convert port '65536'");
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: No Port Specified");
  EXPECT_EQ(ErrorOf([&] { S.SetProto("bogus"); }), "SetProto: Cannot convert protocol 'bogus'");
  S.SetPort("119");
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: No Protocol Specified");
  EXPECT_EQ(ErrorOf([&] { S.SetAddr("no..such.host"); }),
            "SetAddr: Cannot convert host address 'no..such.host'");
  S.SetProto("tcp");
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: No IP Address Specified");
  EXPECT_EQ(S.State(), wsClosed);
}

TEST_F(WSocket, ConversionFailuresGoToOnErrorExceptForTheAddress) {
  TWSocket S;
  int Errors = 0;
  S.OnError = [&](TObject*) { ++Errors; };
  S.SetPort("no-such-service"); // taken by OnError: no exception
  S.Connect();
  EXPECT_EQ(Errors, 2);
  EXPECT_EQ(ErrorOf([&] { S.SetAddr(""); }), "SetAddr: Cannot convert host address ''");
}

TEST_F(WSocket, SettersAreRefusedWhileNotClosed) {
  TLoopbackPeer Peer;
  TWSocket S;
  ConnectTo(S, Peer.Port());
  EXPECT_EQ(S.State(), wsConnecting);
  EXPECT_EQ(ErrorOf([&] { S.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(ErrorOf([&] { S.SetPort("1"); }), "Cannot change Port if not closed");
  EXPECT_EQ(ErrorOf([&] { S.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: Socket already in use");
  int Errors = 0;
  S.OnError = [&](TObject*) { ++Errors; };
  S.SetPort("1");
  EXPECT_EQ(Errors, 1);
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  EXPECT_EQ(S.PortNum(), std::stoi(Peer.Port())); // the refused change left the port alone
}

// ---- name lookup ----

TEST_F(WSocket, DottedLookupEndsInsideTheCall) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done.push_back(Error); };
  S.DnsLookup("127.1");
  EXPECT_EQ(Done, std::vector<int>{0});
  EXPECT_EQ(S.DnsResult(), "127.0.0.1");
  EXPECT_TRUE(S.DnsResultList().empty());
}

TEST_F(WSocket, NameLookupEndsFromTheLoopWithEveryIPv4Address) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done.push_back(Error); };
  S.DnsLookup("localhost");
  EXPECT_TRUE(Done.empty());
  ASSERT_TRUE(WaitFor([&] { return !Done.empty(); }, 15000));
  EXPECT_EQ(Done, std::vector<int>{0});
  ASSERT_FALSE(S.DnsResultList().empty());
  EXPECT_EQ(S.DnsResult(), S.DnsResultList().front());
  EXPECT_NE(std::find(S.DnsResultList().begin(), S.DnsResultList().end(), "127.0.0.1"),
            S.DnsResultList().end());
  for (const std::string& A : S.DnsResultList())
    EXPECT_EQ(A.find(':'), std::string::npos) << A;
}

TEST_F(WSocket, UnknownNameEndsWithAHostNotFoundNumber) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done.push_back(Error); };
  // An empty label: refused before any query leaves the machine.
  S.DnsLookup("no..such.host");
  ASSERT_TRUE(WaitFor([&] { return !Done.empty(); }, 30000));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_EQ(Done[0], 11001);
  EXPECT_TRUE(S.DnsResult().empty());
}

TEST_F(WSocket, SecondLookupCancelsTheFirstAndCancelReports10004) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done.push_back(Error); };
  S.DnsLookup("localhost");
  S.DnsLookup("localhost");
  ASSERT_TRUE(WaitFor([&] { return !Done.empty(); }, 15000));
  QTest::qWait(100);
  EXPECT_EQ(Done, std::vector<int>{0});

  Done.clear();
  S.DnsLookup("localhost");
  S.CancelDnsLookup();
  EXPECT_EQ(Done, std::vector<int>{10004});
  QTest::qWait(200);
  EXPECT_EQ(Done, std::vector<int>{10004}); // the cancelled answer is dropped
  S.CancelDnsLookup();                      // nothing pending: nothing raised
  EXPECT_EQ(Done.size(), 1u);
}

TEST_F(WSocket, EmptyLookupNameRaisesOrWithOnErrorEndsWith10022) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done.push_back(Error); };
  EXPECT_EQ(ErrorOf([&] { S.DnsLookup(""); }), "DNS lookup: invalid host name.");
  EXPECT_TRUE(Done.empty());
  int Errors = 0;
  S.OnError = [&](TObject*) { ++Errors; };
  S.DnsLookup("");
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(Done, std::vector<int>{10022});
}

// ---- connecting ----

TEST_F(WSocket, ConnectGoesThroughItsStatesAndReportsSuccessFromTheLoop) {
  TLoopbackPeer Peer;
  TWSocket S;
  Record(S);
  ConnectTo(S, Peer.Port());
  EXPECT_EQ(Log, (Events{"State 7>1", "State 1>3"}));
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  EXPECT_EQ(Log, (Events{"State 7>1", "State 1>3", "State 3>4", "Connected 0 in 4"}));
}

TEST_F(WSocket, RefusedConnectReportsWhileConnectedThenCloses) {
  TWSocket S;
  Record(S);
  ConnectTo(S, FreePort());
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  EXPECT_EQ(Log,
            (Events{"State 7>1", "State 1>3", "State 3>4", "Connected 10061 in 4", "State 4>7", "Closed 0"}));
  EXPECT_TRUE(Shown.empty());
}

TEST_F(WSocket, RefusedConnectClosedByItsOwnHandlerClosesOnce) {
  TWSocket S;
  Record(S);
  S.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    Log.push_back("Connected " + std::to_string(Error));
    S.Close();
  };
  ConnectTo(S, FreePort());
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  QTest::qWait(50);
  EXPECT_EQ(Count("Closed 0"), 1);
  EXPECT_EQ(Count("State 4>7"), 1);
}

// ---- receiving and the peer's close ----

TEST_F(WSocket, PeerCloseAfterDataDeliversTheDataFirstAndClosesOnce) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  ASSERT_TRUE(Peer.Send("200 hello\r\n"));
  Peer.Close();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  EXPECT_EQ(Log, (Events{"Data:200 hello\r\n", "Data 0", "Closed 0", "State 4>7"}));
  EXPECT_EQ(S.ReadCount(), 0); // reset by the close
}

TEST_F(WSocket, PeerCloseSeenByAHandlerThatClosesOnZeroBytesClosesOnce) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  std::string Got;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[4];
    const int N = S.Receive(Buf, sizeof Buf); // small reads: the loop must come back for the rest
    if (N > 0)
      Got.append(Buf, std::size_t(N));
    if (N == 0)
      S.Close();
  };
  ASSERT_TRUE(Peer.Send("abcdefghij"));
  Peer.Close();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  QTest::qWait(50);
  EXPECT_EQ(Got, "abcdefghij");
  EXPECT_EQ(Log, (Events{"State 4>7", "Closed 0"}));
}

TEST_F(WSocket, PeerResetIsToldApartFromAnOrderlyClose) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  ASSERT_TRUE(Peer.Send("bye"));
  QTest::qWait(50);
  Peer.Reset();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  // The read after the reset fails rather than reading as an orderly end.
  EXPECT_EQ(Log, (Events{"Data:bye", "Data -1", "Closed 10054", "State 4>7"}));
}

TEST_F(WSocket, ResetTakenByTheHandlersOwnReadStillClosesWith10054) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  std::string Got;
  std::vector<int> Failures;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[64];
    int N;
    while ((N = S.Receive(Buf, sizeof Buf)) > 0) // reads on until the system has nothing
      Got.append(Buf, std::size_t(N));
    Failures.push_back(N < 0 ? S.LastError() : 0);
  };
  ASSERT_TRUE(Peer.Send("bye"));
  Peer.Reset();
  QThread::msleep(20); // the reset is in before the socket looks at its data
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  EXPECT_EQ(Got, "bye");
  EXPECT_EQ(std::count(Failures.begin(), Failures.end(), 0), 0);
  EXPECT_EQ(Log, (Events{"Closed 10054", "State 4>7"}));
}

TEST_F(WSocket, HandlerExceptionEndsTheReadLoopIsShownAndTheCloseStillComes) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[64];
    if (S.Receive(Buf, sizeof Buf) > 0)
      throw Exception("line handler failed");
  };
  ASSERT_TRUE(Peer.Send("x"));
  Peer.Close();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  EXPECT_EQ(Shown, std::vector<std::string>{"line handler failed"});
  EXPECT_EQ(Count("Closed 0"), 1);
}

// A peer that sends faster than we read keeps the socket readable for the
// whole reply; one report still reads on only so far before the loop gets its
// turn again (a timer set at the first byte fires long before the last), and
// the reply arrives whole, in order, with its close told once at the end.
TEST_F(WSocket, LongReplyLeavesTheLoopItsTurnsAndArrivesWholeBeforeTheClose) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  std::string Sent(std::size_t(16) << 20, '\0');
  for (std::size_t I = 0; I < Sent.size(); ++I)
    Sent[I] = char(I * 7 / 251);
  std::string Got;
  std::size_t GotWhenTimerFired = 0;
  bool TimerSet = false;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    static char Buf[65536];
    const int N = S.Receive(Buf, sizeof Buf);
    if (N > 0)
      Got.append(Buf, std::size_t(N));
    if (!std::exchange(TimerSet, true))
      QTimer::singleShot(0, [&] { GotWhenTimerFired = Got.size(); });
  };
  std::thread Sender([&] {
    Peer.Send(Sent);
    Peer.Close();
  });
  const bool Closed = WaitFor([&] { return S.State() == wsClosed; }, 20000);
  Sender.join();
  ASSERT_TRUE(Closed);
  EXPECT_GT(GotWhenTimerFired, 0u);
  EXPECT_LT(GotWhenTimerFired, Sent.size());
  EXPECT_TRUE(Got == Sent) << Got.size() << " of " << Sent.size() << " bytes";
  EXPECT_EQ(Log, (Events{"Closed 0", "State 4>7"}));
}

// Thirty-two connections whose peers each send 512 KB at once share each
// turn of the loop: a turn reads about 2 MB in all (and 64 KB from each
// socket past it), not a MB from each nor a whole receive buffer of 256 KB
// as the news client's, so the loop's timers and windows get their turn
// between; every byte arrives.
TEST_F(WSocket, ManyReadingSocketsShareEachTurnOfTheLoop) {
  constexpr int Count = 32;
  constexpr std::size_t Each = 512 * 1024;
  std::vector<std::unique_ptr<TLoopbackPeer>> Peers;
  std::vector<std::unique_ptr<TWSocket>> Sockets;
  std::size_t Got = 0, ThisTurn = 0, MostInATurn = 0;
  for (int I = 0; I < Count; ++I) {
    Peers.push_back(std::make_unique<TLoopbackPeer>());
    Sockets.push_back(std::make_unique<TWSocket>());
    TWSocket& S = *Sockets.back();
    ASSERT_TRUE(Connected(S, *Peers.back()));
    S.OnDataAvailable = [&, &S = S](TObject*, std::uint16_t) {
      static char Buf[256 * 1024];
      const int N = S.Receive(Buf, sizeof Buf);
      if (N > 0) {
        Got += std::size_t(N);
        ThisTurn += std::size_t(N);
      }
    };
  }
  const auto Turns =
      QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] {
        MostInATurn = std::max(MostInATurn, ThisTurn);
        ThisTurn = 0;
      });
  // All of it waits in the system before the loop reads any.
  for (auto& Peer : Peers)
    ASSERT_TRUE(Peer->Send(std::string(Each, 'x')));
  const bool All = WaitFor([&] { return Got == Count * Each; }, 20000);
  QObject::disconnect(Turns);
  MostInATurn = std::max(MostInATurn, ThisTurn);
  ASSERT_TRUE(All) << Got;
  EXPECT_GT(MostInATurn, 0u);
  EXPECT_LE(MostInATurn, std::size_t(4) << 20);
}

// ---- sending ----

// A command sent right after a reply arrived puts the system into delayed-ACK
// mode, which would hold back the server's next piece of the reply: every
// send asks for an immediate ACK again.
TEST_F(WSocket, SendReturnsTheLengthAndOnDataSentFollowsFromTheLoop) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  for (int Round = 0; Round < 3; ++Round) {
    ASSERT_TRUE(Peer.Send("211 1 1 1 alt.test\r\n"));
    ASSERT_TRUE(WaitFor([&] { return Count("Data:211 1 1 1 alt.test\r\n") == 1; }));
    Log.clear();
    EXPECT_EQ(S.SendStr("GROUP alt.test\r\n"), 16);
    EXPECT_TRUE(AsksQuickAck(S)) << "round " << Round;
    EXPECT_TRUE(Log.empty()); // never from inside Send
    ASSERT_TRUE(WaitFor([&] { return !Log.empty(); }));
    EXPECT_EQ(Log, (Events{"Sent 0"}));
    EXPECT_EQ(Peer.Read(), "GROUP alt.test\r\n");
  }
}

TEST_F(WSocket, SendWhenNotConnectedRaisesTheExactTextOrReturnsMinusOne) {
  TWSocket S;
  EXPECT_EQ(ErrorOf([&] { S.SendStr("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
  int Errors = 0;
  S.OnError = [&](TObject*) { ++Errors; };
  EXPECT_EQ(S.SendStr("x"), -1);
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(S.State(), wsClosed);
  // Reading without a socket fails the same way, with the same number.
  char Buf[4];
  EXPECT_EQ(S.Receive(Buf, sizeof Buf), -1);
  EXPECT_EQ(S.LastError(), 10038);
  S.OnError = nullptr;
  EXPECT_EQ(ErrorOf([&] { S.RcvdCount(); }),
            "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket");
}

TEST_F(WSocket, StalledPeerQueuesFullBlocksAndTheRestGoesOutOnWritability) {
  TLoopbackPeer Peer(4096);
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  // Fill the path until the system takes no more; every chunk is numbered so
  // order and completeness can be checked at the far end.
  std::string Expected;
  auto Chunk = [&](int Len) {
    std::string C;
    while (int(C.size()) < Len)
      C += std::to_string(Expected.size() + C.size()) + ",";
    C.resize(std::size_t(Len));
    Expected += C;
    return C;
  };
  for (int I = 0; I < 50000; ++I) {
    ASSERT_EQ(S.SendStr(Chunk(1514)), 1514);
    int Unsent = 0;
    S.SendQueue().front().Peek(Unsent);
    if (Unsent > 0)
      break;
  }
  ASSERT_EQ(S.SendQueue().size(), 1u);
  ASSERT_EQ(S.SendStr(Chunk(4000)), 4000);
  ASSERT_EQ(S.SendQueue().size(), 4u);
  std::vector<int> Sizes;
  for (auto B = std::next(S.SendQueue().begin()); B != S.SendQueue().end(); ++B)
    Sizes.push_back(B->WrCount());
  EXPECT_EQ(Sizes, (std::vector<int>{1514, 1514, 972}));

  Log.clear();
  std::string Got;
  ASSERT_TRUE(WaitFor(
      [&] {
        Got += Peer.Read(0);
        return Got.size() >= Expected.size();
      },
      20000));
  EXPECT_TRUE(Got == Expected) << "stream differs; got " << Got.size() << " of " << Expected.size();
  ASSERT_TRUE(WaitFor([&] { return std::find(Log.begin(), Log.end(), "Sent 0") != Log.end(); }));
  EXPECT_EQ(S.SendQueue().size(), 1u); // only surplus blocks are freed
}

TEST_F(WSocket, UnsentDataOfAClosedConnectionNeverReachesTheNextOne) {
  TLoopbackPeer Peer(4096);
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  const std::string Block(1514, 'q');
  int Unsent = 0;
  for (int I = 0; I < 50000 && Unsent == 0; ++I) {
    S.SendStr(Block);
    S.SendQueue().front().Peek(Unsent);
  }
  ASSERT_GT(Unsent, 0);
  S.Close();
  TLoopbackPeer Next;
  ASSERT_TRUE(Connected(S, Next));
  S.SendStr("MODE READER\r\n");
  EXPECT_EQ(Next.Read(), "MODE READER\r\n");
}

TEST_F(WSocket, SendThatFindsAResetClosesWith10054AndAnnouncesNothing) {
  TLoopbackPeer Peer;
  TLoopbackPeer Next;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  const TSessionClosed Logged = S.OnSessionClosed;
  S.OnSessionClosed = [&](TObject* Sender, std::uint16_t Error) {
    Logged(Sender, Error);
    S.SetPort(Next.Port()); // straight on to another server
    S.Connect();
  };
  Peer.Reset();
  QThread::msleep(20); // the reset is in before the send
  EXPECT_EQ(S.SendStr("QUIT\r\n"), 6);
  EXPECT_EQ(Log, (Events{"State 4>7", "Closed 10054", "State 7>1", "State 1>3"}));
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  QTest::qWait(50);
  EXPECT_EQ(Count("Sent 0"), 0); // the new connection has sent nothing
}

// ---- closing ----

TEST_F(WSocket, CloseReportsOnceAndDropsNoticesOfTheOldSocket) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  S.SendStr("QUIT\r\n"); // its FD_WRITE notice is still queued
  S.Close();
  EXPECT_EQ(Log, (Events{"State 4>7", "Closed 0"}));
  S.Close();
  // A new socket at once, most likely on the same descriptor number.
  TLoopbackPeer Next;
  ConnectTo(S, Next.Port());
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  Peer.Close();
  QTest::qWait(100);
  EXPECT_EQ(Count("Sent 0"), 0);
  EXPECT_EQ(Count("Closed 0"), 1);
  EXPECT_EQ(S.State(), wsConnected);
}

TEST_F(WSocket, ConnectionOpenedByTheCloseHandlerReportsItsOwnClose) {
  TLoopbackPeer Peer;
  TLoopbackPeer Next;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  Record(S);
  const TSessionClosed Logged = S.OnSessionClosed;
  S.OnSessionClosed = [&](TObject* Sender, std::uint16_t Error) {
    Logged(Sender, Error);
    if (Count("Closed 0") == 1) {
      S.SetPort(Next.Port());
      S.Connect();
    }
  };
  S.Close();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  ASSERT_TRUE(Next.Accept());
  Next.Close();
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsClosed; }));
  EXPECT_EQ(Count("Closed 0"), 2);
}

TEST_F(WSocket, AfterACloseConnectNeedsThePortAndAddressAgain) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  S.Abort();
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.Port(), Peer.Port()); // the text stays
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: No Port Specified");
  S.SetPort(Peer.Port()); // the same text converts again
  EXPECT_EQ(ErrorOf([&] { S.Connect(); }), "Connect: No IP Address Specified");
  S.SetAddr("127.0.0.1");
  S.Connect();
  EXPECT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
}

TEST_F(WSocket, DestroyingAnOpenSocketRaisesNothing) {
  TLoopbackPeer Peer;
  Events Seen;
  {
    TWSocket S;
    ASSERT_TRUE(Connected(S, Peer));
    S.OnSessionClosed = [&](TObject*, std::uint16_t) { Seen.push_back("Closed"); };
    S.OnChangeState = [&](TObject*, TSocketState, TSocketState) { Seen.push_back("State"); };
    S.DnsLookup("localhost");
    S.SendStr("x");
  }
  QTest::qWait(100);
  EXPECT_TRUE(Seen.empty());
  EXPECT_TRUE(Shown.empty());
}

// ---- resources ----

TEST_F(WSocket, HundredConnectCloseCyclesLeaveNoDescriptorBehind) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  S.Close();
  Peer.Close();
  QTest::qWait(10);
  const std::size_t Before = OpenDescriptors();
  for (int I = 0; I < 100; ++I) {
    ASSERT_TRUE(Connected(S, Peer)) << I;
    S.SendStr("x");
    S.Close();
    Peer.Close();
  }
  QTest::qWait(10);
  EXPECT_EQ(OpenDescriptors(), Before);
}

TEST_F(WSocket, IdleOrUnreadSocketKeepsTheLoopQuiet) {
  TLoopbackPeer Peer;
  TWSocket S;
  ASSERT_TRUE(Connected(S, Peer));
  QTest::qWait(20);
  EXPECT_LT(WakeUpsWhileIdle(), 50);
  // Data nobody asks for stays in the system without waking the loop again.
  ASSERT_TRUE(Peer.Send("unread"));
  EXPECT_LT(WakeUpsWhileIdle(), 50);
  EXPECT_EQ(S.RcvdCount(), 6);
}

// ---- TLS ----

// The connect is told once, after the handshake. Reads far smaller than a
// record get every byte in order: the read loop comes back for what the
// session holds. A large send to a peer that does not read waits for room,
// asks for an immediate ACK as plain sends do, and arrives whole.
TEST_F(WSocket, TlsSmallReadsAndASendThatWaitsForRoom) {
  TLoopbackPeer Peer(4096);
  TTlsFront Front(std::uint16_t(std::stoi(Peer.Port())));
  Front.Start();
  TWSocket S;
  UseTls(S);
  Record(S);
  std::string Got;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[100];
    const int N = S.Receive(Buf, sizeof Buf);
    Got.append(Buf, std::size_t(std::max(N, 0)));
  };
  ConnectTo(S, Front.PortText());
  ASSERT_TRUE(Peer.Accept());
  ASSERT_TRUE(WaitFor([&] { return S.State() == wsConnected; }));
  EXPECT_EQ(Log, (Events{"State 7>1", "State 1>3", "State 3>4", "Connected 0 in 4"}));

  std::string Up(16 << 20, '\0');
  for (std::size_t I = 0; I < Up.size(); ++I)
    Up[I] = char(I % 251);
  ASSERT_TRUE(Peer.Send(Up.substr(0, 100000)));
  ASSERT_TRUE(WaitFor([&] { return Got.size() >= 100000; }));
  EXPECT_TRUE(Got == Up.substr(0, 100000));

  S.SendStr("HEAD 1\r\n");
  EXPECT_TRUE(AsksQuickAck(S));
  EXPECT_EQ(Peer.Read(), "HEAD 1\r\n");
  ASSERT_TRUE(WaitFor([&] { return Count("Sent 0") == 1; }));
  Log.clear();
  EXPECT_EQ(S.Send(Up.data(), int(Up.size())), int(Up.size()));
  EXPECT_GT(S.SendQueue().size(), 1u); // the rest waits for room
  std::string Arrived;
  ASSERT_TRUE(WaitFor([&] { return (Arrived += Peer.Read(1)).size() >= Up.size(); }, 30000));
  EXPECT_TRUE(Arrived == Up);
  ASSERT_TRUE(WaitFor([&] { return !Log.empty(); }));
  EXPECT_EQ(Log, (Events{"Sent 0"}));
  EXPECT_EQ(Shown, Events());
}

// Closing, aborting or destroying in the middle of the handshake frees the
// session (the sanitizer run checks) and tells no connect.
TEST_F(WSocket, TlsCloseAbortOrDestroyInTheHandshake) {
  TLoopbackPeer Mute; // takes the hello and answers nothing
  for (int How = 0; How < 3; ++How) {
    auto S = std::make_unique<TWSocket>();
    UseTls(*S);
    Record(*S);
    ConnectTo(*S, Mute.Port());
    ASSERT_TRUE(Mute.Accept());
    std::string Hello;
    ASSERT_TRUE(WaitFor([&] { return !(Hello += Mute.Read(0)).empty(); }));
    EXPECT_EQ(S->State(), wsConnecting);
    EXPECT_EQ(ErrorOf([&] { S->SetTls(false); }), "Cannot change Tls if not closed");
    Log.clear();
    if (How == 0)
      S->Close();
    else if (How == 1)
      S->Abort();
    else
      S.reset();
    QTest::qWait(20);
    EXPECT_EQ(Log, How < 2 ? (Events{"State 3>7", "Closed 0"}) : Events()) << How;
  }
}
