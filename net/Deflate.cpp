#define ZLIB_CONST
#include "net/Deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {
// A raw stream: negative window bits leave out zlib's header and trailer.
constexpr int RawWindowBits = -15;
} // namespace

struct TDeflate::TStreams {
  z_stream In{};
  z_stream Out{};
  bool InReady = false;
  bool OutReady = false;
  ~TStreams() {
    if (InReady)
      inflateEnd(&In);
    if (OutReady)
      deflateEnd(&Out);
  }
};

TDeflate::TDeflate(std::string_view ReadAhead)
    : FZ(std::make_unique<TStreams>()), FInSize(std::max(InputSize, ReadAhead.size())) {
  // The other inits can only fail on wrong arguments; these are fixed.
  FZ->OutReady =
      deflateInit2(&FZ->Out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, RawWindowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  FZ->InReady = inflateInit2(&FZ->In, RawWindowBits) == Z_OK;
  if (!FZ->OutReady || !FZ->InReady)
    throw std::bad_alloc();
  FIn = std::make_unique_for_overwrite<char[]>(FInSize);
  if (!ReadAhead.empty()) {
    std::memcpy(FIn.get(), ReadAhead.data(), ReadAhead.size());
    Added(int(ReadAhead.size()));
  }
}

TDeflate::~TDeflate() = default;

// A sync flush after every write: the peer gets all of it now, at the cost
// of a few bytes, instead of when a later write pushes it out.
std::string_view TDeflate::Deflate(const char* Data, std::size_t Len) {
  z_stream& S = FZ->Out;
  FOut.clear();
  S.next_in = reinterpret_cast<const Bytef*>(Data);
  S.avail_in = uInt(Len);
  do {
    const std::size_t Have = FOut.size();
    // Room for the whole write in one pass, the flush marker included.
    const std::size_t Room = deflateBound(&S, S.avail_in) + 16;
    FOut.resize(Have + Room);
    S.next_out = reinterpret_cast<Bytef*>(FOut.data() + Have);
    S.avail_out = uInt(Room);
    deflate(&S, Z_SYNC_FLUSH);
    FOut.resize(Have + Room - S.avail_out);
  } while (S.avail_out == 0);
  return FOut;
}

char* TDeflate::Room() { return FZ->In.avail_in == 0 ? FIn.get() : nullptr; }

void TDeflate::Added(int Count) {
  FZ->In.next_in = reinterpret_cast<const Bytef*>(FIn.get());
  FZ->In.avail_in = uInt(std::clamp<int>(Count, 0, int(FInSize)));
}

int TDeflate::Inflate(char* Out, int Size) {
  if (!FError.empty()) {
    FBroken = true;
    return -1;
  }
  if (Size <= 0)
    return 0;
  z_stream& S = FZ->In;
  int Count = 0;
  if (!FEnded) {
    S.next_out = reinterpret_cast<Bytef*>(Out);
    S.avail_out = uInt(Size);
    const int Rc = inflate(&S, Z_SYNC_FLUSH);
    Count = Size - int(S.avail_out);
    // Z_BUF_ERROR: nothing to do until more input comes. What came whole
    // before a break is handed out first; the break is told next time.
    if (Rc != Z_OK && Rc != Z_STREAM_END && Rc != Z_BUF_ERROR) {
      FError = S.msg ? S.msg : "inflate failed (" + std::to_string(Rc) + ")";
      FBroken = Count == 0;
      return FBroken ? -1 : Count;
    }
    FEnded = Rc == Z_STREAM_END;
    FOutFull = !FEnded && S.avail_out == 0;
  }
  // A 0 must mean that every byte has been used: nothing stays behind that
  // no read would ever come back for.
  if (Count == 0 && S.avail_in > 0) {
    FError = "compressed data after the end of the stream";
    FBroken = true;
    return -1;
  }
  return Count;
}

bool TDeflate::Pending() const { return !FBroken && (!FError.empty() || FZ->In.avail_in > 0 || FOutFull); }
