#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// Both directions of a compressed connection as news servers speak it: raw
// DEFLATE streams (no header, no trailer, one dictionary for the whole
// connection). Every write is flushed to a byte boundary, so the peer can
// read a command or a reply whole without waiting for more. Inflating hands
// out at most what the caller has room for: a few compressed bytes that
// stand for megabytes come out one buffer at a time, never all at once.
class TDeflate {
public:
  // Compressed input read at most per link read.
  static constexpr std::size_t InputSize = 65536;

  // ReadAhead: compressed bytes received already (behind the reply that
  // switched compression on); they are inflated first. Throws
  // std::bad_alloc when zlib cannot get its memory.
  explicit TDeflate(std::string_view ReadAhead = {});
  ~TDeflate();
  TDeflate(const TDeflate&) = delete;
  TDeflate& operator=(const TDeflate&) = delete;

  // Len bytes compressed and flushed; valid until the next call.
  std::string_view Deflate(const char* Data, std::size_t Len);

  // Where the next compressed bytes go, once the earlier ones are used up
  // (nullptr until then), and how many fit; Added() tells how many came.
  char* Room();
  int RoomSize() const { return int(InputSize); }
  void Added(int Count);

  // Up to Size inflated bytes into Out: the count, 0 when every compressed
  // byte is used up and more must come first, -1 when the stream is broken
  // (Error() says how; every later call gives -1 too). The bytes that came
  // whole before a break come out before the -1.
  int Inflate(char* Out, int Size);
  // Inflate has more to tell without more input: bytes left over, a last
  // call that filled its buffer, or a break not yet told.
  bool Pending() const;
  // Inflate has given -1.
  bool Broken() const { return FBroken; }
  const std::string& Error() const { return FError; }

private:
  struct TStreams;
  std::unique_ptr<TStreams> FZ;
  std::string FOut;
  std::unique_ptr<char[]> FIn; // compressed bytes waiting to be inflated
  std::size_t FInSize;
  bool FOutFull = false; // the last Inflate filled all it was given
  bool FEnded = false;   // the peer sent the final block
  std::string FError;    // why the stream broke; empty while it is whole
  bool FBroken = false;
};
