// Compression under the caller and above TLS: Send compresses, Receive
// inflates, and the readiness reports stay those of the connection.

#include "net/Deflate.h"
#include "net/WSocket.h"

void TCustomWSocket::StartCompression(std::string_view ReadAhead) {
  if (FState != wsConnected || FHSocket < 0) {
    RaiseException("Cannot start compression if not connected");
    return;
  }
  if (FDeflate) {
    RaiseException("Compression already started");
    return;
  }
  FDeflate = std::make_unique<TDeflate>(ReadAhead);
  // The system holds nothing of these, so no readiness report would come.
  if (!ReadAhead.empty() && !FInReadLoop)
    PostNotice(FD_READ, 0);
}

// Inflated bytes first, while there are any; compressed ones are read from
// the link only once the earlier ones are used up, a buffer's worth at a
// time, so memory stays bounded whatever the ratio.
int TCustomWSocket::InflateReceive(char* Buffer, int BufferSize) {
  if (FDeflate->Broken()) {
    FLastError = FCloseError != 0 ? FCloseError : WSAEDEFLATE;
    return -1;
  }
  // Like a plain read, this one asks for the next readiness report, even
  // when it reads nothing from the system.
  if (FState == wsConnected)
    SetReadNotice(true);
  if (BufferSize <= 0)
    return 0;
  for (;;) {
    const int Count = FDeflate->Inflate(Buffer, BufferSize);
    if (Count > 0) {
      FReadCount += Count;
      // Outside the read loop nobody else would come back for the rest.
      if (!FInReadLoop && FDeflate->Pending())
        PostNotice(FD_READ, 0);
      return Count;
    }
    if (Count < 0) {
      // Nothing more from this connection can be read: it closes from the
      // loop, as after a reset.
      FLastError = FCloseError = WSAEDEFLATE;
      SetReadNotice(false);
      PostNotice(FD_CLOSE, FCloseError);
      return -1;
    }
    const int Read = LinkReceive(FDeflate->Room(), FDeflate->RoomSize());
    if (Read <= 0)
      return Read; // the peer closed, or nothing waits (LastError says which)
    FDeflate->Added(Read);
  }
}

bool TCustomWSocket::InflatePending() const { return FDeflate && FDeflate->Pending(); }
