// The compression of a connection: the zlib layer alone, and the socket
// with a peer that compresses as a news server does.

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

// The peer's side: raw DEFLATE as a news server writes and reads it.
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
  std::string Deflate(const std::string& Data, int Flush = Z_SYNC_FLUSH) {
    std::string Out(Data.size() + 1024, '\0');
    FOut.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    FOut.avail_in = uInt(Data.size());
    FOut.next_out = reinterpret_cast<Bytef*>(Out.data());
    FOut.avail_out = uInt(Out.size());
    deflate(&FOut, Flush);
    Out.resize(Out.size() - FOut.avail_out);
    return Out;
  }
  // Everything the bytes stand for, nothing held back.
  std::string Inflate(const std::string& Data) {
    std::string Out(65536, '\0');
    FIn.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    FIn.avail_in = uInt(Data.size());
    FIn.next_out = reinterpret_cast<Bytef*>(Out.data());
    FIn.avail_out = uInt(Out.size());
    inflate(&FIn, Z_SYNC_FLUSH);
    Out.resize(Out.size() - FIn.avail_out);
    return Out;
  }

private:
  z_stream FOut{}, FIn{};
};

// Lines that differ a little, as overview and bodies do.
std::string Lines(int Count) {
  std::string Text;
  for (int I = 0; I < Count; ++I)
    Text += "line " + std::to_string(I) + std::string(100, char('a' + I % 26)) + "\r\n";
  return Text;
}

void Feed(TDeflate& D, const std::string& Compressed) {
  char* Room = D.Room();
  ASSERT_NE(Room, nullptr);
  ASSERT_LE(Compressed.size(), std::size_t(D.RoomSize()));
  std::memcpy(Room, Compressed.data(), Compressed.size());
  D.Added(int(Compressed.size()));
}

// Inflates all there is, in pieces of at most Piece bytes.
std::string Drain(TDeflate& D, int Piece, int* Largest = nullptr) {
  std::string Out;
  std::vector<char> Buf(std::size_t(Piece) + 16, '\0');
  for (int N; (N = D.Inflate(Buf.data(), Piece)) > 0;) {
    Out.append(Buf.data(), std::size_t(N));
    if (Largest)
      *Largest = std::max(*Largest, N);
  }
  return Out;
}

} // namespace

// 8 MB that compress to a few KB come out no faster than the buffer the
// caller gives, and the input is taken anew only once used up; bytes read
// ahead of the switch go first; each write of ours is flushed whole, and
// later writes build on the earlier ones.
TEST(Deflate, InflatesAPieceAtATimeAndFlushesEveryWrite) {
  TPeerZ Peer;
  const std::string Zeros(8 << 20, '\0');
  const std::string Compressed = Peer.Deflate(Zeros);
  ASSERT_LT(Compressed.size(), 64u << 10);
  TDeflate D(Compressed.substr(0, 10));
  EXPECT_EQ(D.Room(), nullptr); // the read-ahead is not used up yet
  char Buf[4096];
  EXPECT_EQ(D.Inflate(Buf, sizeof Buf), 0);
  EXPECT_FALSE(D.Pending());
  Feed(D, Compressed.substr(10));
  int Largest = 0;
  const int Out = D.Inflate(Buf, sizeof Buf);
  EXPECT_EQ(Out, 4096);
  EXPECT_TRUE(D.Pending());
  EXPECT_EQ(D.Room(), nullptr);
  EXPECT_EQ(std::size_t(Out) + Drain(D, 4096, &Largest).size(), Zeros.size());
  EXPECT_EQ(Largest, 4096);
  EXPECT_FALSE(D.Pending());
  EXPECT_NE(D.Room(), nullptr);

  const std::string Text = Lines(2000);
  Feed(D, Peer.Deflate(Text));
  EXPECT_EQ(Drain(D, 65536), Text);

  std::vector<std::size_t> Sizes;
  for (const std::string Command : {"GROUP alt.binaries.test\r\n", "BODY 123456\r\n", "BODY 123456\r\n"}) {
    const std::string_view Sent = D.Deflate(Command.data(), Command.size());
    EXPECT_EQ(Peer.Inflate(std::string(Sent)), Command);
    Sizes.push_back(Sent.size());
  }
  EXPECT_LT(Sizes[2], Sizes[1]);
}

// Bytes that are no DEFLATE stream, or come after its final block: -1 from
// then on, with zlib's reason, and nothing waits to be read; what came
// whole before the break comes out first.
TEST(Deflate, BrokenStreamStaysBroken) {
  TDeflate Garbage;
  Feed(Garbage, "\xff\xfe not deflate");
  char Buf[256];
  EXPECT_EQ(Garbage.Inflate(Buf, sizeof Buf), -1);
  EXPECT_EQ(Garbage.Error(), "invalid block type");
  EXPECT_EQ(Garbage.Inflate(Buf, sizeof Buf), -1);
  EXPECT_TRUE(Garbage.Broken());
  EXPECT_FALSE(Garbage.Pending());

  // What came whole before the break comes first, and the break is still
  // to be told.
  TPeerZ Peer;
  TDeflate Cut;
  Feed(Cut, Peer.Deflate("222 1 <a@b> body\r\none\r\n") + "two\r\n.\r\n");
  EXPECT_EQ(Cut.Inflate(Buf, sizeof Buf), 23);
  EXPECT_EQ(std::string(Buf, 23), "222 1 <a@b> body\r\none\r\n");
  EXPECT_TRUE(Cut.Pending());
  EXPECT_FALSE(Cut.Broken());
  EXPECT_EQ(Cut.Inflate(Buf, sizeof Buf), -1);
  EXPECT_TRUE(Cut.Broken());
  EXPECT_FALSE(Cut.Pending());

  TPeerZ Finisher;
  TDeflate Ended;
  Feed(Ended, Finisher.Deflate("last words\r\n", Z_FINISH) + "x");
  EXPECT_EQ(Ended.Inflate(Buf, sizeof Buf), 12);
  EXPECT_EQ(Ended.Inflate(Buf, sizeof Buf), -1);
  EXPECT_EQ(Ended.Error(), "compressed data after the end of the stream");
}

namespace {

class DeflateSocket : public ::testing::Test {
protected:
  static void SetUpTestSuite() { EnsureApplication(); }
  void SetUp() override {
    Previous = SetErrorDisplay([this](const std::string& Text) { Shown.push_back(Text); });
  }
  void TearDown() override {
    SetErrorDisplay(Previous);
    EXPECT_EQ(Shown, std::vector<std::string>{});
  }
  std::vector<std::string> Shown;
  TErrorDisplay Previous;
};

} // namespace

// The peer answers "206" and, in the same segment, 8 MB compressed to a few
// KB: the first line comes plain, the rest inflated, 8 KB per receive at
// most, all of it although the system has nothing more to report, and the
// loop gets its turns meanwhile. What we send reaches the peer compressed.
// Then the peer sends plain text: the connection closes with 10202, once.
TEST_F(DeflateSocket, ReadAheadInflatesInBoundedReadsAndABrokenStreamCloses) {
  TLoopbackPeer Peer;
  TWSocket S;
  std::string Got;
  int Largest = 0, Closes = 0, AtTimer = -1;
  std::uint16_t CloseError = 0;
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buf[8192];
    const int N = S.Receive(Buf, sizeof Buf);
    if (N <= 0)
      return;
    Largest = std::max(Largest, N);
    Got.append(Buf, std::size_t(N));
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
  const std::string Text = std::string(8 << 20, 'x') + "\r\n";
  const std::string Compressed = Z.Deflate(Text);
  ASSERT_TRUE(Peer.Send("206 Compression active\r\n" + Compressed));
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= 24 + Text.size(); }));
  EXPECT_EQ(Got, "206 Compression active\r\n" + Text);
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
}
