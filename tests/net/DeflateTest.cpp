// The compression of a connection, with a peer that compresses as a news
// server does. The fuzz target checks the inflating half's bounds.

#include "net/Deflate.h"
#include "net/WSocket.h"

#include "platform/Guard.h"
#include "tests/net/LoopbackPeer.h"
#include "tests/support/EventLoop.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The peer's side: raw DEFLATE both ways.
class TPeerZ {
public:
  TPeerZ() {
    deflateInit2(&FOut, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    inflateInit2(&FIn, -15);
  }
  ~TPeerZ() {
    deflateEnd(&FOut);
    inflateEnd(&FIn);
  }
  std::string Deflate(const std::string& Data) { return Run(FOut, Data, Data.size() + 1024); }
  // Everything the bytes stand for, nothing held back.
  std::string Inflate(const std::string& Data) { return Run(FIn, Data, 65536); }

private:
  std::string Run(z_stream& S, const std::string& Data, std::size_t Room) {
    std::string Out(Room, '\0');
    S.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    S.avail_in = uInt(Data.size());
    S.next_out = reinterpret_cast<Bytef*>(Out.data());
    S.avail_out = uInt(Out.size());
    (&S == &FOut ? deflate : inflate)(&S, Z_SYNC_FLUSH);
    Out.resize(Out.size() - S.avail_out);
    return Out;
  }
  z_stream FOut{}, FIn{};
};

} // namespace

// Each write is flushed whole and builds on the ones before; what came
// whole before a break comes out first, then -1 for good, with the reason.
TEST(Deflate, FlushesEveryWriteAndTellsABreakAfterTheBytesBeforeIt) {
  TPeerZ Peer;
  TDeflate D;
  std::vector<std::size_t> Sizes;
  for (const std::string Command : {"BODY 123456\r\n", "BODY 123456\r\n"}) {
    const std::string_view Sent = D.Deflate(Command.data(), Command.size());
    EXPECT_EQ(Peer.Inflate(std::string(Sent)), Command);
    Sizes.push_back(Sent.size());
  }
  EXPECT_LT(Sizes[1], Sizes[0]);

  const std::string Stream = Peer.Deflate("222 1 <a@b>\r\none\r\n") + "\xff\xfe not deflate";
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

  TPeerZ Z;
  const std::string Text = std::string(8 << 20, 'x') + "\r\n", Compressed = Z.Deflate(Text);
  ASSERT_TRUE(Peer.Send("206 Compression active\r\n" + Compressed));
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 24 + Text.size(); }));
  EXPECT_TRUE(Got == "206 Compression active\r\n" + Text);
  EXPECT_EQ(Largest, 8192);
  EXPECT_EQ(S.LinkReadCount(), std::int64_t(24 + Compressed.size()));
  EXPECT_GT(AtTimer, 0);
  EXPECT_LT(AtTimer, int(Got.size()));

  S.SendStr("BODY 1\r\n");
  EXPECT_EQ(Z.Inflate(Peer.Read()), "BODY 1\r\n");

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
