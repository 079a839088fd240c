#pragma once

#include "platform/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// What Execute does with InputFile.
enum TAlgorithm : std::uint8_t {
  filecopy = 0,
  uuencode = 1,
  uudecode = 2,
  xxencode = 3,
  xxdecode = 4,
  base64encode = 5,
  base64decode = 6,
  ydecode = 7,
  yencode = 8
};

// Line end of encoded output.
enum TUnixCRLF : std::uint8_t { CRLF = 0, LF = 1 };

using TProgressEvent = std::function<void(std::uint16_t Percent)>;

class EUUCode : public Exception {
public:
  using Exception::Exception;
};

// Converts one whole file into another: uuencode, XXencode or Base64 text with
// optional begin/end lines, yEnc text, back again, or a plain copy. Reads and
// writes a piece at a time through buffers of a few MiB at most, whatever the
// size of the file (yencode alone takes its input whole); the output file
// takes its name only once the conversion has succeeded.
//
// yEnc: the keyword lines are the format itself, so yencode always writes
// them (one part, lines of 128 characters) and ydecode always reads them;
// Headers only says whether ydecode takes OutputFile from name=. The input of
// ydecode may hold the parts of one file in any order, with other text
// between them; it fails with EUUCode, writing nothing, when a part does not
// match its =yend line or bytes are missing. Built on codec/YEnc.h.
// uudecode, xxdecode and base64decode are codec/TextDecoder.h's.
class TUUCode : public TObject {
public:
  TUUCode();

  const std::string& About() const { return FAbout; }
  void SetAbout(const std::string&) {} // read only in effect

  bool Active() const { return FActive; }
  // Setting true runs Execute; Active is false again afterwards, also when it failed.
  void SetActive(bool value);

  TAlgorithm Algorithm() const { return FAlgorithm; }
  void SetAlgorithm(TAlgorithm value) { FAlgorithm = value; }

  // Mode number written into the header line; decoding does not read it.
  std::uint16_t FileMode() const { return FFileMode; }
  void SetFileMode(std::uint16_t value) { FFileMode = value; }

  bool Headers() const { return FHeaders; }
  void SetHeaders(bool value) { FHeaders = value; }

  // A name from a header line keeps only its last part, so the file always
  // lands right in InputFile's folder ("dir\pic.jpg" gives pic.jpg there).
  // Off, a relative name with folders goes into those folders below it.
  bool FlatNames() const { return FFlatNames; }
  void SetFlatNames(bool value) { FFlatNames = value; }

  const std::string& InputFile() const { return FInputFile; }
  void SetInputFile(const std::string& value) { FInputFile = value; }

  // Replaced from the header line when a decoder runs with Headers.
  const std::string& OutputFile() const { return FOutputFile; }
  void SetOutputFile(const std::string& value) { FOutputFile = value; }

  TUnixCRLF UnixCRLF() const { return FUnixCRLF; }
  void SetUnixCRLF(TUnixCRLF value) { FUnixCRLF = value; }

  // Raised at the start, once per line and at the end of a conversion, then
  // with 100 once the output file is written.
  TProgressEvent OnProgress;

  // Runs Algorithm on InputFile into OutputFile. Raises EUUCode for missing
  // names or undecodable input and EInOutError for files that cannot be read
  // or written.
  void Execute();

  // Runs Algorithm on Input in memory, as Execute would on a file holding it,
  // and returns what Execute would write; reads and writes no file. A decoder
  // with Headers sets OutputFile from the header line (in InputFile's folder)
  // as Execute does, so the caller sees the name that would be written.
  std::string Convert(std::string_view Input);

private:
  class TInput;
  class TOutput;
  void Run(TInput& in, TOutput& out);
  void Encode(TInput& in, TOutput& out) const;
  void Decode(TInput& in, TOutput& out);
  void YEncode(TInput& in, TOutput& out) const;
  void YDecode(TInput& in, TOutput& out);
  std::string OutputFileFrom(std::string name) const;
  void Progress(std::uint64_t done, std::uint64_t total) const;
  std::string HeaderLine() const;
  std::size_t EncodedSize(std::size_t size) const;

  std::string FAbout;
  bool FActive = false;
  TAlgorithm FAlgorithm = filecopy;
  std::uint16_t FFileMode = 644;
  bool FHeaders = true;
  bool FFlatNames = false;
  std::string FInputFile;
  std::string FOutputFile;
  TUnixCRLF FUnixCRLF = CRLF;
};
