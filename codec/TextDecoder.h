#pragma once

#include "codec/UUCode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct TDecodeTable;

// The ways the decoder can take through the groups of a data line, for tests
// and benchmarks that set one against another. A way this processor lacks
// goes the next way down; every way gives the same bytes.
enum class TTextPath : std::uint8_t {
  Plain, // a group of four characters at a time
  Avx2,  // 8 groups at a time (AVX2)
  Wide,  // 16 groups at a time (AVX-512 BW and VBMI)
};
// Whether this processor runs the given way.
bool TextDecoderHasPath(TTextPath path);

// Decodes uuencode, XXencode or Base64 text handed over in pieces of any
// size, the way TUUCode's decoders read a whole file: Feed(a) then Feed(b)
// gives what Feed(a + b) gives. With Headers the begin line comes first and
// gives the file's name; without, the whole text is data. Decoded bytes
// collect in one buffer of BufferSize and go to OnOutput whenever it is full
// and at Finish, so memory stays the same whatever the size of the text. The
// buffer grows to that size only as bytes are decoded: a short text costs
// little more than its bytes.
class TTextDecoder {
public:
  static constexpr std::size_t BufferSize = 256u << 10;
  // A longer name from a begin line is cut here; the rest of the line is
  // passed over.
  static constexpr std::size_t MaxNameLength = 64u << 10;

  // Algorithm is uudecode, xxdecode or base64decode. Source names the text
  // in the failures ("No begin line in 7.UUE").
  TTextDecoder(TAlgorithm Algorithm, bool Headers, std::string Source);

  void Feed(std::string_view Text);
  // The way through the groups; the widest this processor has unless set.
  void SetPath(TTextPath path);
  // The text has ended: a group cut short by its end is decoded and the
  // buffer goes out.
  void Finish();

  // The begin line has been read and names a file: Name() holds the name.
  bool HeaderRead() const { return FPhase > phName && FFailure.empty(); }
  // The name as the begin line writes it, without CR, LF, NUL and quotes.
  const std::string& Name() const { return FName; }
  // Why the text cannot be decoded ("No begin line in 7.UUE", "Unfinished
  // begin line in 7.UUE", "OutputFileName is empty"); empty while it can. A
  // name that is no file name shows once its begin line is read, the others
  // at Finish. Whatever comes after a failure is passed over.
  const std::string& Failure() const { return FFailure; }
  // Bytes decoded so far, those still in the buffer included.
  std::uint64_t Decoded() const { return FDecoded + FFill; }

  // Takes each full buffer, and the rest at Finish.
  std::function<void(const char* Data, std::size_t Size)> OnOutput;
  // Raised at the start of each data line, for progress.
  std::function<void()> OnLine;

private:
  enum TPhase : std::uint8_t {
    phSearch,    // for "begin" or "begin-base64"
    phMode,      // uuencode: blanks, digits and a blank after "begin"
    phSkipOne,   // Base64: the character after "begin-base64"
    phBlank,     // Base64: up to the blank before the name
    phName,      // up to the LF
    phLineEnds,  // CRs and LFs before a line
    phLineStart, // a data line, or the "end" line
    phGroups,    // groups of up to four characters
    phRest,      // what follows the counted bytes of a line
    phEnd,       // after the "end" line
  };

  std::size_t Run(const unsigned char* p, std::size_t n, bool final);
  std::size_t Search(const unsigned char* p, std::size_t n, std::size_t i);
  std::size_t Mode(const unsigned char* p, std::size_t n, std::size_t i);
  std::size_t Groups(const unsigned char* p, std::size_t n, std::size_t i);
  void EndGroup();
  void NameRead();
  void Fail(const char* Why, bool InSource = true);
  void Flush();
  // Room for at least Bytes more in the buffer, or for what is left of
  // BufferSize; Flush makes room once it is full.
  std::size_t Room(std::size_t Bytes) {
    if (FCapacity - FFill < Bytes && FCapacity < BufferSize)
      Grow(Bytes);
    return FCapacity - FFill;
  }
  void Grow(std::size_t Bytes);
  void StartLine(const unsigned char* p, std::size_t& i);

  const TDecodeTable& FTable;
  TTextPath FPath;
  const std::string_view FPattern; // "begin" or "begin-base64"
  const bool FCounted;             // uuencode and XXencode lines start with their byte count
  const std::string FSource;
  TPhase FPhase;
  std::size_t FMatched = 0;    // characters of FPattern matched
  std::uint8_t FModeStep = 0;  // 0 after "begin", 1 in the blanks, 2 in the digits
  std::uint64_t FWant = 0;     // bytes the line may still give
  std::uint32_t FBits = 0;     // the group so far
  std::uint8_t FGroupSize = 0; // its characters
  // The first characters of a line held back until the next piece shows
  // whether the line is "end".
  unsigned char FHeld[8] = {};
  std::size_t FHeldSize = 0;
  std::string FName;
  std::string FFailure;
  std::unique_ptr<char[]> FBuffer;
  std::size_t FCapacity = 0; // of FBuffer, up to BufferSize
  std::size_t FFill = 0;
  std::uint64_t FDecoded = 0; // bytes handed to OnOutput
};

// A name from a begin line that never leaves the folder it is decoded in:
// "\" separates folders too, and an absolute name, a drive or a ".." part
// keeps only its last part. Empty when nothing usable is left.
std::string SafeFileName(std::string Name);
