// The compression of a connection. The fuzz target checks the inflating
// half's bounds.

#include "net/Deflate.h"
#include "net/WSocket.h"

#include "platform/Guard.h"
#include "tests/net/LoopbackPeer.h"
#include "tests/support/EventLoop.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The peer's side, by another instance: the scripted news server's tests
// check the stream against zlib's own.
std::string Inflated(TDeflate& Peer, std::string_view Bytes) {
  std::memcpy(Peer.Room(), Bytes.data(), Bytes.size());
  Peer.Added(int(Bytes.size()));
  std::string Out(65536, '\0');
  Out.resize(std::size_t(std::max(Peer.Inflate(Out.data(), int(Out.size())), 0)));
  return Out;
}

} // namespace

// Each write is flushed whole and builds on the ones before; what came
// whole before a break comes out first, then -1 for good, with the reason.
TEST(Deflate, FlushesEveryWriteAndTellsABreakAfterTheBytesBeforeIt) {
  TDeflate Peer, D;
  std::vector<std::size_t> Sizes;
  for (const std::string Command : {"BODY 123456\r\n", "BODY 123456\r\n"}) {
    const std::string_view Sent = D.Deflate(Command.data(), Command.size());
    EXPECT_EQ(Inflated(Peer, Sent), Command);
    Sizes.push_back(Sent.size());
  }
  EXPECT_LT(Sizes[1], Sizes[0]);

  const std::string Reply = "222 1 <a@b>\r\none\r\n";
  const std::string Stream = std::string(Peer.Deflate(Reply.data(), Reply.size())) + "\xff\xfe not deflate";
  std::memcpy(D.Room(), Stream.data(), Stream.size());
  D.Added(int(Stream.size()));
  char Buf[256];
  EXPECT_EQ(D.Inflate(Buf, sizeof Buf), 18);
  EXPECT_EQ(std::string(Buf, 18), "222 1 <a@b>\r\none\r\n");
  EXPECT_TRUE(D.Pending());
  EXPECT_EQ(D.Inflate(Buf, sizeof Buf), -1);
  EXPECT_EQ(D.Error(), "invalid block type");
  EXPECT_EQ(D.Inflate(Buf, sizeof Buf), -1);
  EXPECT_FALSE(D.Pending());
}

// The peer answers "206" and, in the same segment, 8 MB compressed to a few
// KB: the first line comes plain, the rest inflated, 8 KB per receive at
// most, all of it although the system has nothing more to report, and the
// loop gets its turns meanwhile. What we send reaches the peer compressed.
// Then the peer goes on plain: the connection closes with 10202, once.
TEST(DeflateSocket, ReadAheadInflatesInBoundedReadsAndABrokenStreamCloses) {
  EnsureApplication();
  std::vector<std::string> Shown;
  const TErrorDisplay Previous = SetErrorDisplay([&](const std::string& Text) { Shown.push_back(Text); });
  TLoopbackPeer Peer;
  TWSocket S;
  std::string Got;
  int Largest = 0, Closes = 0, AtTimer = -1;
  std::uint16_t CloseError = 0;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[8192];
    const int N = S.Receive(Buf, sizeof Buf);
    Largest = std::max(Largest, N);
    Got.append(Buf, std::size_t(std::max(N, 0)));
    const std::size_t End = Got.find("\r\n");
    if (!S.Compressed() && End != std::string::npos) {
      S.StartCompression(std::string_view(Got).substr(End + 2));
      Got.resize(End + 2);
      QTimer::singleShot(0, [&] { AtTimer = int(Got.size()); });
    }
  };
  S.OnSessionClosed = [&](TObject*, std::uint16_t Error) {
    ++Closes;
    CloseError = Error;
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(Peer.Port());
  S.Connect();
  ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }) && Peer.Accept());

  TDeflate Z;
  const std::string Text = std::string(8 << 20, 'x') + "\r\n";
  const std::string Compressed(Z.Deflate(Text.data(), Text.size()));
  ASSERT_TRUE(Peer.Send("206 Compression active\r\n" + Compressed));
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 24 + Text.size(); }));
  EXPECT_TRUE(Got == "206 Compression active\r\n" + Text);
  EXPECT_EQ(Largest, 8192);
  EXPECT_EQ(S.LinkReadCount(), std::int64_t(24 + Compressed.size()));
  EXPECT_GT(AtTimer, 0);
  EXPECT_LT(AtTimer, int(Got.size()));

  S.SendStr("BODY 1\r\n");
  EXPECT_EQ(Inflated(Z, Peer.Read()), "BODY 1\r\n");

  ASSERT_TRUE(Peer.Send("222 1 <a@b> body\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed; }));
  PumpFor(30);
  EXPECT_EQ(Closes, 1);
  EXPECT_EQ(CloseError, WSAEDEFLATE);
  EXPECT_FALSE(S.Compressed());
  EXPECT_THROW(S.StartCompression(), ESocketException);
  EXPECT_EQ(WSocketErrorDesc(WSAEDEFLATE), "Compressed data error");
  SetErrorDisplay(Previous);
  EXPECT_EQ(Shown, std::vector<std::string>{});
}
