#include "decode/PartFile.h"

TPartFile::~TPartFile() {
  try {
    if (FFile.IsOpen())
      FFile.Write(FHeld);
  } catch (...) {
    // The file keeps what reached it; the failure was not this line's.
  }
}

bool TPartFile::CreateNew(const std::string& Path) {
  if (!FFile.CreateNew(Path))
    return false;
  FDecoder = std::make_unique<TPartDecoder>(FFolder, FKind, Path.substr(Path.rfind('/') + 1));
  FHeld.reserve(PieceSize + 1024);
  return true;
}

void TPartFile::Write(std::string_view Data, bool LineEnd) {
  FHeld.append(Data);
  if (LineEnd)
    FHeld.append("\r\n");
  FSize += std::int64_t(Data.size()) + (LineEnd ? 2 : 0);
  if (FHeld.size() >= PieceSize)
    Flush();
}

// What could not be written is not held for another try.
void TPartFile::Flush() {
  struct TClear {
    std::string& Text;
    ~TClear() { Text.clear(); }
  } clear{FHeld};
  FFile.Write(FHeld);
  if (FDecoder)
    FDecoder->Feed(FHeld);
}

void TPartFile::Truncate(std::int64_t Size) {
  Flush();
  FFile.Truncate(Size);
  if (Size != FSize)
    FDecoder.reset();
  FSize = Size;
}

void TPartFile::Close() {
  Flush();
  FFile.Close();
}
