#pragma once

#include "decode/PartDecoder.h"
#include "platform/FileOps.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// A part file being written. Its text goes to disk, where it stays until
// its file is decoded and stored (and is kept when that fails), and through
// a TPartDecoder, so the file is decoded by the time the part file is
// finished. Both take the text a piece at a time: a line costs a copy.
class TPartFile {
public:
  static constexpr std::size_t PieceSize = 256u << 10;

  // Kind as the part file's kind: 2 Base64, 1 and 3 uuencode.
  TPartFile(std::string Folder, std::int32_t Kind) : FFolder(std::move(Folder)), FKind(Kind) {}
  // What is still held goes to the file: a part file left open stays on
  // disk with every line it was given.
  ~TPartFile();
  TPartFile(const TPartFile&) = delete;
  TPartFile& operator=(const TPartFile&) = delete;

  // Creates the file at Path only when nothing holds that name (not even a
  // link); false when something does. Other failures raise.
  bool CreateNew(const std::string& Path);
  // Raises EInOutError when the text cannot be written. LineEnd: a CRLF
  // follows Data.
  void Write(std::string_view Data, bool LineEnd = false);
  // Bytes written so far, those still held included.
  std::int64_t Size() const { return FSize; }
  // Drops what was written past Size bytes. The decode then starts over
  // from the part file on disk once it is finished.
  void Truncate(std::int64_t Size);
  void Close();
  bool IsOpen() const { return FFile.IsOpen(); }
  const std::string& Path() const { return FFile.Path(); }
  // The decode of all of the text, once closed; none when it no longer
  // follows the file.
  std::unique_ptr<TPartDecoder> TakeDecoder() { return std::move(FDecoder); }

private:
  void Flush();

  std::string FFolder;
  std::int32_t FKind;
  TFileWriter FFile;
  std::string FHeld; // text not written out yet
  std::int64_t FSize = 0;
  std::unique_ptr<TPartDecoder> FDecoder;
};
