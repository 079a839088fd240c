#include "codec/TextDecoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define VOSTEL_X86 1
#endif

// Set in a shifted value when the character ends a group (a line end, or
// padding in Base64), so four lookups tell whether a whole group is plain data.
constexpr std::uint32_t Stop = 0x80000000u;

struct TDecodeTable {
  std::uint8_t Value[256];
  std::uint32_t Shifted[4][256]; // value moved to its place in the 24 bits of a group
  bool Padding;
  bool Data[256]; // may follow "end" at the start of a data line
  // The value of each ASCII character, or 0x80 for one that ends a group:
  // one 128-byte permute gives 64 values at once.
  std::uint8_t Wide[128];
  // The value is the character plus an amount set by its high nibble, but
  // for one character of its own; a character whose value that misses (or
  // that ends a group) is marked in Plain: bit h of PlainLo[lo] stands for
  // the character h * 16 + lo. Such characters are rare in data and go a
  // group at a time.
  std::uint8_t Offset[16];
  std::uint8_t Special;
  std::uint8_t SpecialOffset;
  std::uint8_t PlainLo[16];
  std::uint8_t PlainHi[16];
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
  bool stop[256] = {};
  for (int c = 0; c < 256; ++c) {
    stop[c] = c == '\r' || c == '\n' || (padding && c == '=');
    for (int k = 0; k < 4; ++k)
      t.Shifted[k][c] = std::uint32_t(t.Value[c]) << (18 - 6 * k) | (stop[c] ? Stop : 0);
  }
  for (int c = 0; c < 128; ++c)
    t.Wide[c] = stop[c] ? 0x80 : t.Value[c];
  // Each nibble's amount is that of its first letter of the alphabet (of
  // its first character that is data when there is none); the first letter
  // that misses it is the special one. Base64 and XXencode have one such
  // letter each ("/" and "-"), uuencode none.
  const auto inAlphabet = [&](int c) { return !stop[c] && (alphabet ? t.Data[c] : true); };
  for (int h = 0; h < 8; ++h) {
    int first = -1;
    for (int c = h * 16; c < h * 16 + 16 && first < 0; ++c)
      if (inAlphabet(c))
        first = c;
    for (int c = h * 16; c < h * 16 + 16 && first < 0; ++c)
      if (!stop[c])
        first = c;
    t.Offset[h] = first < 0 ? 0 : std::uint8_t(t.Value[first] - first);
    t.PlainHi[h] = std::uint8_t(1u << h);
  }
  t.Special = 0;
  t.SpecialOffset = t.Offset[0];
  for (int c = 127; c >= 0; --c)
    if (inAlphabet(c) && std::uint8_t(c + t.Offset[c >> 4]) != t.Value[c]) {
      t.Special = std::uint8_t(c);
      t.SpecialOffset = std::uint8_t(t.Value[c] - c);
    }
  for (int c = 0; c < 128; ++c) {
    const std::uint8_t offset = c == t.Special ? t.SpecialOffset : t.Offset[c >> 4];
    if (!stop[c] && std::uint8_t(c + offset) == t.Value[c])
      t.PlainLo[c & 15] = std::uint8_t(t.PlainLo[c & 15] | 1u << (c >> 4));
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

// ---- many groups at a time ----
//
// Each kernel decodes up to `groups` whole groups from p to o and returns
// how many it decoded: it stops before the first group holding a character
// that ends a group, one of 0x80 and above, or one it has no value for, and
// leaves that group to the loop of a group at a time. It reads nothing at
// or past pEnd, the end of the piece, and writes nothing at or past oEnd,
// the end of the buffer; where there is room it reads and writes a whole
// register beyond the groups rather than masking it (the bytes written past
// the decoded ones are written over later).

#ifdef VOSTEL_X86
#define VOSTEL_AVX2 __attribute__((target("avx2,bmi")))
#define VOSTEL_WIDE __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi")))

VOSTEL_AVX2 std::size_t GroupsAvx2(const TDecodeTable& t, const unsigned char* p, const unsigned char* pEnd,
                                   std::size_t groups, char* o, const char* oEnd) {
#define VOSTEL_TABLE(bytes)                                                                                  \
  _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)))
  const __m256i plainLo = VOSTEL_TABLE(t.PlainLo), plainHi = VOSTEL_TABLE(t.PlainHi),
                offsets = VOSTEL_TABLE(t.Offset);
#undef VOSTEL_TABLE
  // Four 6-bit values in each 32-bit lane to their 24 bits, the first value
  // highest: v0 << 6 | v1 in each 16-bit half, then the halves together.
  const __m256i pack = _mm256_set1_epi32(0x01400140), join = _mm256_set1_epi32(0x00011000);
  const __m256i special = _mm256_set1_epi8(char(t.Special)),
                specialOffset = _mm256_set1_epi8(char(t.SpecialOffset));
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  // The three bytes of each group, highest first, to the front of each lane,
  // then the two lanes' twelve bytes together.
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                         5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  std::size_t done = 0;
  while (groups > 0) {
    const std::size_t g = std::min<std::size_t>(groups, 8);
    __m256i in;
    if (pEnd - p >= 32) {
      in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    } else {
      const __m256i take =
          _mm256_cmpgt_epi32(_mm256_set1_epi32(int(g)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      in = _mm256_maskload_epi32(reinterpret_cast<const int*>(p), take);
    }
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble);
    const __m256i plain = _mm256_and_si256(_mm256_shuffle_epi8(plainLo, _mm256_and_si256(in, nibble)),
                                           _mm256_shuffle_epi8(plainHi, hi));
    const std::uint32_t bad =
        std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(plain, _mm256_setzero_si256()))) &
        std::uint32_t(~std::uint64_t(0) >> (64 - 4 * g));
    const std::size_t clean = bad ? std::size_t(std::countr_zero(bad)) / 4 : g;
    const __m256i offset =
        _mm256_blendv_epi8(_mm256_shuffle_epi8(offsets, hi), specialOffset, _mm256_cmpeq_epi8(in, special));
    const __m256i out = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(_mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_add_epi8(in, offset), pack), join),
                            order),
        lanes);
    if (oEnd - o >= 32) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), out);
    } else {
      alignas(32) char bytes[32];
      _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), out);
      std::memcpy(o, bytes, 3 * clean);
    }
    done += clean;
    if (clean < g)
      break;
    p += 32;
    o += 24;
    groups -= g;
  }
  return done;
}

bool HasAvx2() {
  static const bool has =
      (__builtin_cpu_init(), __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi"));
  return has;
}

VOSTEL_WIDE std::size_t GroupsWide(const TDecodeTable& t, const unsigned char* p, const unsigned char* pEnd,
                                   std::size_t groups, char* o, const char* oEnd) {
  const __m512i low = _mm512_loadu_si512(t.Wide), high = _mm512_loadu_si512(t.Wide + 64);
  const __m512i pack = _mm512_set1_epi32(0x01400140), join = _mm512_set1_epi32(0x00011000);
  // Byte 3j + b of the 48 comes from byte 4j + 2 - b of the packed lanes.
  alignas(64) static constexpr auto Order = [] {
    std::array<std::uint8_t, 64> order{};
    for (int j = 0; j < 16; ++j)
      for (int b = 0; b < 3; ++b)
        order[std::size_t(3 * j + b)] = std::uint8_t(4 * j + 2 - b);
    return order;
  }();
  const __m512i order = _mm512_load_si512(Order.data());
  std::size_t done = 0;
  while (groups > 0) {
    const std::size_t g = std::min<std::size_t>(groups, 16);
    const __mmask64 take = ~std::uint64_t(0) >> (64 - 4 * g);
    const __m512i in = pEnd - p >= 64 ? _mm512_loadu_si512(p) : _mm512_maskz_loadu_epi8(take, p);
    // The permute reads the low 7 bits; the character's own high bit marks
    // 0x80 and above.
    const __m512i values = _mm512_permutex2var_epi8(low, in, high);
    const std::uint64_t bad = _mm512_movepi8_mask(_mm512_or_si512(values, in)) & take;
    const std::size_t clean = bad ? std::size_t(std::countr_zero(bad)) / 4 : g;
    const __m512i bits = _mm512_madd_epi16(_mm512_maddubs_epi16(values, pack), join);
    const __m512i out =
        _mm512_maskz_permutexvar_epi8(~__mmask64(0), order, bits); // (GCC 12 warns of the unmasked one)
    if (oEnd - o >= 64)
      _mm512_storeu_si512(o, out);
    else if (clean > 0)
      _mm512_mask_storeu_epi8(o, ~std::uint64_t(0) >> (64 - 3 * clean), out);
    done += clean;
    if (clean < g)
      break;
    p += 64;
    o += 48;
    groups -= g;
  }
  return done;
}

bool HasWide() {
  static const bool has =
      (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                 __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi"));
  return has;
}
#endif

TTextPath Widest(TTextPath path) {
  while (path != TTextPath::Plain && !TextDecoderHasPath(path))
    path = TTextPath(std::uint8_t(path) - 1);
  return path;
}

} // namespace

bool TextDecoderHasPath(TTextPath path) {
#ifdef VOSTEL_X86
  switch (path) {
  case TTextPath::Plain:
    return true;
  case TTextPath::Avx2:
    return HasAvx2();
  case TTextPath::Wide:
    return HasWide();
  }
  return false;
#else
  return path == TTextPath::Plain;
#endif
}

TTextDecoder::TTextDecoder(TAlgorithm Algorithm, bool Headers, std::string Source)
    : FTable(Algorithm == base64decode ? B64Table
             : Algorithm == xxdecode   ? XXTable
                                       : UUTable),
      FPath(Widest(TTextPath::Wide)), FPattern(Algorithm == base64decode ? "begin-base64" : "begin"),
      FCounted(Algorithm != base64decode), FSource(std::move(Source)),
      FPhase(Headers ? phSearch : phLineEnds) {}

void TTextDecoder::SetPath(TTextPath path) { FPath = Widest(path); }

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

void TTextDecoder::Grow(std::size_t Bytes) {
  // A buffer as small as the first bytes need; it doubles from there.
  constexpr std::size_t First = 64;
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
      StartLine(p, i);
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

// A data line begins at p[i], with its count where lines have one.
void TTextDecoder::StartLine(const unsigned char* p, std::size_t& i) {
  if (OnLine)
    OnLine();
  FWant = FCounted ? FTable.Value[p[i++]] : UINT64_MAX;
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
      [[maybe_unused]] const char* const end = FBuffer.get() + FCapacity;
      for (; groups > 0; --groups) {
#ifdef VOSTEL_X86
        // Whole blocks of groups go at once; the group that stops a block
        // goes the way below.
        std::size_t done = 0;
        if (FPath == TTextPath::Wide)
          done = GroupsWide(t, p + i, p + n, groups, o, end);
        else if (FPath == TTextPath::Avx2 && groups >= 8)
          done = GroupsAvx2(t, p + i, p + n, groups, o, end);
        i += 4 * done;
        o += 3 * done;
        groups -= done;
        if (groups == 0)
          break;
#endif
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
        if (!IsLineEnd(p[i])) {
          FPhase = phRest;
          return i;
        }
        // The line ends here: the next one starts at once, without a turn
        // through Run for each line, unless the piece ends first or the
        // line may be "end".
        while (i < n && IsLineEnd(p[i]))
          ++i;
        if (i == n || p[i] == 'e') {
          FPhase = i == n ? phLineEnds : phLineStart;
          return i;
        }
        StartLine(p, i);
        if (i == n)
          return i;
        continue;
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
