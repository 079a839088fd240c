#pragma once

#include "codec/TextDecoder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Decodes the text of one part file while it is written, so that finishing
// the part file costs no reading back: the decoder the part file's kind
// tries first takes every piece, and so does the other one until the first
// has read its begin line, for the rare text only the other can read.
// Decoded bytes go into hidden files of their own in the session folder,
// which go away with the decoder unless the decode stage moves them.
class TPartDecoder {
public:
  // What one decoder made of the text, once finished.
  struct TResult {
    std::string Unreadable; // why it could not read the text ("No begin line in 7.UUE")
    std::string Unwritable; // why it could not write the file it decoded
    std::string File;       // the decoded file; cleared once it is moved away
    std::string Name;       // and the name its begin line gives
  };

  // Kind 2 tries Base64 first, the others uuencode. Folder is the session
  // folder with its "/"; PartName names the part file in the failures.
  TPartDecoder(std::string Folder, std::int32_t Kind, const std::string& PartName);
  ~TPartDecoder();
  TPartDecoder(const TPartDecoder&) = delete;
  TPartDecoder& operator=(const TPartDecoder&) = delete;

  void Feed(std::string_view Text);
  // Reads the text from the part file itself, a piece at a time, for a part
  // file whose text did not all come through Feed. Raises EInOutError.
  void FeedFile(const std::string& Path);
  // The text has ended.
  void Finish();

  TResult& First() { return FFirst->Result; }
  // Only when the first could not read the text.
  TResult& Second() { return FSecond->Result; }

private:
  struct TDecoding {
    TDecoding(TAlgorithm Algorithm, const std::string& PartName) : Text(Algorithm, true, PartName) {}
    TTextDecoder Text;
    int Fd = -1;
    TResult Result;
  };
  void Open(TDecoding& Decoding);
  void Write(TDecoding& Decoding, const char* Data, std::size_t Size);
  void Close(TDecoding& Decoding);
  void Drop(std::unique_ptr<TDecoding>& Decoding);

  std::string FFolder;
  std::unique_ptr<TDecoding> FFirst, FSecond;
};
