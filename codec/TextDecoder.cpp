#include "codec/TextDecoder.h"

#include <algorithm>
#include <cstring>

// Set in a shifted value when the character ends a group (a line end, or
// padding in Base64), so four lookups tell whether a whole group is plain data.
constexpr std::uint32_t Stop = 0x80000000u;

struct TDecodeTable {
  std::uint8_t Value[256];
  std::uint32_t Shifted[4][256]; // value moved to its place in the 24 bits of a group
  bool Padding;
  bool Data[256]; // may follow "end" at the start of a data line
};

namespace {

constexpr char XXAlphabet[] = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char B64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters outside the alphabet take their uuencode value: malformed text
// still decodes to something rather than failing.
constexpr TDecodeTable MakeTable(const char* alphabet, bool padding) {
  TDecodeTable t{};
  t.Padding = padding;
  for (int c = 0; c < 256; ++c)
    t.Value[c] = std::uint8_t((c - 32) & 63);
  for (int i = 0; alphabet && i < 64; ++i) {
    t.Value[std::uint8_t(alphabet[i])] = std::uint8_t(i);
    t.Data[std::uint8_t(alphabet[i])] = true;
  }
  t.Data[std::uint8_t('=')] = padding;
  for (int c = 0; c < 256; ++c) {
    const bool stop = c == '\r' || c == '\n' || (padding && c == '=');
    for (int k = 0; k < 4; ++k)
      t.Shifted[k][c] = std::uint32_t(t.Value[c]) << (18 - 6 * k) | (stop ? Stop : 0);
  }
  return t;
}

// uuencode is the (code - 32) mod 64 of every character, and no line of it
// goes on after "end".
constexpr TDecodeTable UUTable = MakeTable(nullptr, false);
constexpr TDecodeTable XXTable = MakeTable(XXAlphabet, false);
constexpr TDecodeTable B64Table = MakeTable(B64Alphabet, true);

bool IsLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }
bool IsBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

} // namespace

TTextDecoder::TTextDecoder(TAlgorithm Algorithm, bool Headers, std::string Source)
    : FTable(Algorithm == base64decode ? B64Table
             : Algorithm == xxdecode   ? XXTable
                                       : UUTable),
      FPattern(Algorithm == base64decode ? "begin-base64" : "begin"), FCounted(Algorithm != base64decode),
      FSource(std::move(Source)), FPhase(Headers ? phSearch : phLineEnds) {}

void TTextDecoder::Feed(std::string_view Text) {
  const auto* p = reinterpret_cast<const unsigned char*>(Text.data());
  std::size_t n = Text.size();
  if (FHeldSize > 0) {
    // The held characters with enough of the new piece to decide on them.
    const std::size_t held = FHeldSize, taken = std::min(n, sizeof FHeld - held);
    std::memcpy(FHeld + held, p, taken);
    const std::size_t used = Run(FHeld, held + taken, false);
    if (used < held) { // the piece was too short to tell: all of it is held now
      FHeldSize = held + taken - used;
      std::memmove(FHeld, FHeld + used, FHeldSize);
      return;
    }
    FHeldSize = 0;
    p += used - held;
    n -= used - held;
  }
  const std::size_t used = Run(p, n, false);
  FHeldSize = n - used; // a line start of at most three characters
  std::memcpy(FHeld, p + used, FHeldSize);
}

void TTextDecoder::Finish() {
  Run(FHeld, FHeldSize, true);
  FHeldSize = 0;
  if (FPhase == phGroups && FGroupSize > 0)
    EndGroup();
  if (FPhase == phSearch || FPhase == phMode)
    Fail("No begin line");
  else if (FPhase <= phName)
    Fail("Unfinished begin line");
  if (FFailure.empty())
    Flush();
}

void TTextDecoder::Fail(const char* Why, bool InSource) {
  if (FFailure.empty())
    FFailure = InSource ? std::string(Why) + " in " + FSource : Why;
  FPhase = phEnd;
}

std::size_t TTextDecoder::Room(std::size_t Bytes) {
  // A buffer as small as the first bytes need; it doubles from there.
  constexpr std::size_t First = 64;
  if (FCapacity - FFill < Bytes && FCapacity < BufferSize) {
    std::size_t capacity = std::max(FCapacity, First);
    while (capacity - FFill < Bytes && capacity < BufferSize)
      capacity *= 2;
    capacity = std::min(capacity, BufferSize);
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
    if (FFill > 0)
      std::memcpy(buffer.get(), FBuffer.get(), FFill);
    FBuffer = std::move(buffer);
    FCapacity = capacity;
  }
  return FCapacity - FFill;
}

void TTextDecoder::Flush() {
  if (FFill > 0 && OnOutput)
    OnOutput(FBuffer.get(), FFill);
  FDecoded += FFill;
  FFill = 0;
}

// Runs through the piece; returns how much of it was used, which is all of
// it except, when it is not the final piece, the first few characters of a
// line that may be "end".
std::size_t TTextDecoder::Run(const unsigned char* p, std::size_t n, bool final) {
  std::size_t i = 0;
  while (i < n) {
    switch (FPhase) {
    case phSearch:
      i = Search(p, n, i);
      break;
    case phMode:
      i = Mode(p, n, i);
      break;
    case phSkipOne:
      ++i;
      FPhase = phBlank;
      break;
    case phBlank: {
      const void* blank = std::memchr(p + i, ' ', n - i);
      i = blank ? std::size_t(static_cast<const unsigned char*>(blank) - p) + 1 : n;
      if (blank)
        FPhase = phName;
      break;
    }
    case phName:
      for (; i < n && p[i] != '\n'; ++i)
        if (p[i] != '\r' && p[i] != '"' && p[i] != '\0' && FName.size() < MaxNameLength)
          FName += char(p[i]);
      if (i < n)
        NameRead();
      break;
    case phLineEnds:
      while (i < n && IsLineEnd(p[i]))
        ++i;
      if (i < n)
        FPhase = phLineStart;
      break;
    case phLineStart:
      // Random Base64 data starts a line with "end" every 2^18 lines; such a
      // line goes on with data, the trailer does not. A uuencode line never
      // holds lowercase letters.
      if (p[i] == 'e') {
        if (n - i < 4 && !final)
          return i;
        if (n - i >= 3 && p[i + 1] == 'n' && p[i + 2] == 'd' && (n - i == 3 || !FTable.Data[p[i + 3]])) {
          FPhase = phEnd;
          return n;
        }
      }
      if (OnLine)
        OnLine();
      FWant = FCounted ? FTable.Value[p[i++]] : UINT64_MAX;
      FPhase = phGroups;
      break;
    case phGroups:
      i = Groups(p, n, i);
      break;
    case phRest:
      while (i < n && !IsLineEnd(p[i]))
        ++i;
      if (i < n)
        FPhase = phLineEnds;
      break;
    case phEnd:
      return n;
    }
  }
  return n;
}

// The pattern anywhere in the text, compared with case; a partial match may
// run on into the next piece.
std::size_t TTextDecoder::Search(const unsigned char* p, std::size_t n, std::size_t i) {
  while (i < n) {
    if (FMatched == 0) {
      const void* b = std::memchr(p + i, FPattern[0], n - i);
      if (!b)
        return n;
      i = std::size_t(static_cast<const unsigned char*>(b) - p) + 1;
      FMatched = 1;
    } else if (p[i] == FPattern[FMatched]) {
      ++i;
      ++FMatched;
    } else {
      // Only "begin-b" ends in a start of the pattern; otherwise the
      // character that broke the match may start one.
      FMatched = FPattern.substr(0, FMatched) == "begin-b" ? 1 : 0;
      continue;
    }
    if (FMatched == FPattern.size()) {
      FMatched = 0;
      FModeStep = 0;
      FPhase = FCounted ? phMode : phSkipOne;
      return i;
    }
  }
  return i;
}

// A uuencode header is "begin", blanks, the mode's digits and a blank.
// "begin-base64 0644 x" and "begin the upload" are text: the search goes on
// at the character that broke the header.
std::size_t TTextDecoder::Mode(const unsigned char* p, std::size_t n, std::size_t i) {
  for (; i < n; ++i) {
    const unsigned char c = p[i];
    if (IsBlank(c) && FModeStep < 2) {
      FModeStep = 1;
    } else if (IsDigit(c) && FModeStep > 0) {
      FModeStep = 2;
    } else if (IsBlank(c)) {
      FPhase = phName;
      return i + 1;
    } else {
      FPhase = phSearch;
      return i;
    }
  }
  return i;
}

void TTextDecoder::NameRead() {
  if (SafeFileName(FName).empty())
    Fail("OutputFileName is empty", false);
  else
    FPhase = phLineEnds;
}

// Groups of four characters give three bytes; a group ended early by a line
// end, padding or the end of the text gives one byte less than its
// characters. A counted line gives no more than its count.
std::size_t TTextDecoder::Groups(const unsigned char* p, std::size_t n, std::size_t i) {
  const TDecodeTable& t = FTable;
  for (;;) {
    if (FGroupSize == 0) {
      // Room for what the whole piece may give, not just this line: the
      // buffer grows once for a text that comes in one piece.
      std::size_t groups = std::min((n - i) / 4, Room((n - i) / 4 * 3) / 3);
      if (FWant < UINT64_MAX)
        groups = std::min<std::uint64_t>(groups, FWant / 3);
      char* o = FBuffer.get() + FFill;
      for (; groups > 0; --groups) {
        const std::uint32_t bits =
            t.Shifted[0][p[i]] | t.Shifted[1][p[i + 1]] | t.Shifted[2][p[i + 2]] | t.Shifted[3][p[i + 3]];
        if (bits & Stop)
          break;
        o[0] = char(bits >> 16);
        o[1] = char(bits >> 8);
        o[2] = char(bits);
        o += 3;
        i += 4;
      }
      const std::size_t added = std::size_t(o - (FBuffer.get() + FFill));
      FFill += added;
      if (FWant < UINT64_MAX)
        FWant -= added;
      if (i == n)
        return i;
      if (Room(3) < 3)
        Flush();
      if (FWant == 0 || IsLineEnd(p[i])) {
        FPhase = phRest;
        return i;
      }
    }
    const std::uint32_t bits = t.Shifted[FGroupSize][p[i]];
    if ((bits & Stop) == 0) {
      FBits |= bits;
      ++i;
      if (++FGroupSize < 4) {
        if (i == n)
          return i;
        continue;
      }
    }
    EndGroup();
    if (t.Padding)
      while (i < n && p[i] == '=')
        ++i;
    if (i == n)
      return i;
  }
}

void TTextDecoder::EndGroup() {
  const std::size_t bytes = std::min<std::uint64_t>(FGroupSize > 0 ? FGroupSize - 1 : 0, FWant);
  if (Room(3) < 3)
    Flush();
  for (std::size_t b = 0; b < bytes; ++b)
    FBuffer[FFill++] = char(FBits >> (16 - 8 * b));
  if (FWant < UINT64_MAX)
    FWant -= bytes;
  FBits = 0;
  FGroupSize = 0;
}

std::string SafeFileName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  bool cut = !name.empty() && name[0] == '/';
  const char drive = name.empty() ? 0 : char(name[0] | 0x20);
  if (name.size() >= 2 && name[1] == ':' && drive >= 'a' && drive <= 'z') {
    name.erase(0, 2);
    cut = true;
  }
  for (std::size_t start = 0; !cut && start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    cut = name.compare(start, end - start, "..") == 0;
    start = end + 1;
  }
  const std::string last = name.substr(name.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..")
    return "";
  return cut ? last : name;
}
