#include "codec/YEnc.h"

#include "platform/Convert.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) // SSE2 and the CPU feature checks
#include <immintrin.h>
#define VOSTEL_X86 1
#endif

namespace {

// ---- keyword lines ----

std::string_view CutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  return line;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool ParseDecimal(std::string_view s, std::uint64_t& value) {
  if (s.empty())
    return false;
  value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10)
      return false;
    value = value * 10 + std::uint64_t(c - '0');
  }
  return true;
}

bool ParseHex32(std::string_view s, std::uint32_t& value) {
  if (s.empty())
    return false;
  std::uint64_t v = 0;
  for (const char c : s) {
    const int d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (d < 0)
      return false;
    v = v << 4 | std::uint64_t(d);
    if (v > 0xFFFFFFFFu)
      return false;
  }
  value = std::uint32_t(v);
  return true;
}

const char* KeywordText(TYEncKeyword k) {
  return k == ykBegin ? "=ybegin" : k == ykPart ? "=ypart" : "=yend";
}

std::string Hex(std::uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08x", unsigned(v));
  return s;
}

// ---- CRC-32 ----

struct TCrcTables {
  std::uint32_t T[8][256];
};

constexpr TCrcTables MakeCrcTables() {
  TCrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t.T[0][i] = c;
  }
  for (int s = 1; s < 8; ++s)
    for (int i = 0; i < 256; ++i)
      t.T[s][i] = t.T[s - 1][i] >> 8 ^ t.T[0][t.T[s - 1][i] & 0xFF];
  return t;
}

constexpr TCrcTables CrcTables = MakeCrcTables();

// Works on the inverted register, as the folding below does.
std::uint32_t CrcSlice8(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  const auto& T = CrcTables.T;
  if constexpr (std::endian::native == std::endian::little) {
    for (; n >= 8; p += 8, n -= 8) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + 4, 4);
      lo ^= crc;
      crc = T[7][lo & 0xFF] ^ T[6][lo >> 8 & 0xFF] ^ T[5][lo >> 16 & 0xFF] ^ T[4][lo >> 24] ^
            T[3][hi & 0xFF] ^ T[2][hi >> 8 & 0xFF] ^ T[1][hi >> 16 & 0xFF] ^ T[0][hi >> 24];
    }
  }
  for (; n > 0; ++p, --n)
    crc = T[0][(crc ^ *p) & 0xFF] ^ crc >> 8;
  return crc;
}

#ifdef VOSTEL_X86
#define VOSTEL_CLMUL __attribute__((target("pclmul,sse2")))

VOSTEL_CLMUL inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The pairs of constants that fold a register over 512 bits (four registers
// ahead) and over 128 bits (one ahead).
constexpr std::int64_t Fold512Hi = 0x01c6e41596, Fold512Lo = 0x0154442bd4;
constexpr std::int64_t Fold128Hi = 0x00ccaa009e, Fold128Lo = 0x01751997d0;

// x times the two constants of k, one per half, added to next.
VOSTEL_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                       next);
}

// Folds what is left of n (a multiple of 16) into x 16 bytes at a time, then
// reduces the 128 bits to 32 (Barrett). The constants are powers of x modulo
// the polynomial in the bit-reflected domain.
VOSTEL_CLMUL inline std::uint32_t CrcFinish(__m128i x1, const unsigned char* p, std::size_t n) {
  const __m128i k3k4 = _mm_set_epi64x(Fold128Hi, Fold128Lo);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  for (; n >= 16; p += 16, n -= 16)
    x1 = Fold(x1, k3k4, Load(p));

  // 128 bits to 64, then to 32.
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x = _mm_xor_si128(x, t);
  return std::uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

// Folds 64 bytes at a time with carry-less multiplication in four 128-bit
// accumulators. n is at least 64 and a multiple of 16.
VOSTEL_CLMUL std::uint32_t CrcFold(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  const __m128i k1k2 = _mm_set_epi64x(Fold512Hi, Fold512Lo);
  const __m128i k3k4 = _mm_set_epi64x(Fold128Hi, Fold128Lo);

  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(int(crc)));
  __m128i x2 = Load(p + 16), x3 = Load(p + 32), x4 = Load(p + 48);
  for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
    x1 = Fold(x1, k1k2, Load(p));
    x2 = Fold(x2, k1k2, Load(p + 16));
    x3 = Fold(x3, k1k2, Load(p + 32));
    x4 = Fold(x4, k1k2, Load(p + 48));
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  return CrcFinish(x1, p, n);
}

#define VOSTEL_WIDE_CLMUL __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

VOSTEL_WIDE_CLMUL inline __m512i Load512(const unsigned char* p) {
  return _mm512_loadu_si512(reinterpret_cast<const void*>(p));
}

// The same two constants in each of the four lanes.
VOSTEL_WIDE_CLMUL inline __m512i Lanes4(std::int64_t high, std::int64_t low) {
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

VOSTEL_WIDE_CLMUL inline __m512i Fold512(__m512i x, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11),
                                   next, 0x96);
}

// The same folds four 128-bit lanes to a 512-bit register, and four such
// registers at once: 256 bytes a step. Each 128-bit lane is folded as one
// accumulator of CrcFold is, over a distance of 2048 bits; the four
// registers then over 512 bits into one, and its lanes over 128 bits into
// the one CrcFinish takes. n is at least 256 and a multiple of 16.
// (The extracts are masked: GCC 12 warns of the unmasked ones.)
VOSTEL_WIDE_CLMUL std::uint32_t CrcFoldWide(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  const __m512i k2048 = Lanes4(0x01322d1430, 0x011542778a);
  const __m512i k512 = Lanes4(Fold512Hi, Fold512Lo);
  const __m128i k3k4 = _mm_set_epi64x(Fold128Hi, Fold128Lo);

  __m512i x0 = _mm512_xor_si512(Load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(crc))));
  __m512i x1 = Load512(p + 64), x2 = Load512(p + 128), x3 = Load512(p + 192);
  for (p += 256, n -= 256; n >= 256; p += 256, n -= 256) {
    x0 = Fold512(x0, k2048, Load512(p));
    x1 = Fold512(x1, k2048, Load512(p + 64));
    x2 = Fold512(x2, k2048, Load512(p + 128));
    x3 = Fold512(x3, k2048, Load512(p + 192));
  }
  x0 = Fold512(x0, k512, x1);
  x0 = Fold512(x0, k512, x2);
  x0 = Fold512(x0, k512, x3);
  for (; n >= 64; p += 64, n -= 64)
    x0 = Fold512(x0, k512, Load512(p));
  __m128i x = _mm512_maskz_extracti32x4_epi32(0xF, x0, 0);
  x = Fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 1));
  x = Fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 2));
  x = Fold(x, k3k4, _mm512_maskz_extracti32x4_epi32(0xF, x0, 3));
  return CrcFinish(x, p, n);
}

// Asked once; a static initializer of our own could run before the
// library's, hence the explicit init.
bool HasClmul() {
  static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul"));
  return has;
}

bool HasWideClmul() {
  static const bool has = (__builtin_cpu_init(), HasClmul() && __builtin_cpu_supports("avx512f") &&
                                                     __builtin_cpu_supports("vpclmulqdq"));
  return has;
}
#endif

// ---- combining ----

constexpr std::uint32_t Poly = 0xEDB88320u;

// a times b modulo the polynomial, both bit-reflected (x^0 in the top bit).
constexpr std::uint32_t MultModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m)
      product ^= b;
    b = b & 1 ? b >> 1 ^ Poly : b >> 1;
  }
  return product;
}

// x^(2^k) modulo the polynomial, for every k a byte count of 64 bits needs.
struct TPowers {
  std::uint32_t X2n[72];
};

constexpr TPowers MakePowers() {
  TPowers t{};
  std::uint32_t p = 1u << 30; // x^1
  for (std::uint32_t& power : t.X2n) {
    power = p;
    p = MultModP(p, p);
  }
  return t;
}

constexpr TPowers Powers = MakePowers();

// ---- encoding ----

// Where a character needs escaping: Inside a line (NUL, LF, CR and "=" always),
// at its Edge (blanks and tabs, which servers and editors strip) and at its
// Start (a dot, which a server may take for the end of the article).
constexpr std::uint8_t Inside = 1, Edge = 3, Start = 7;

constexpr std::array<std::uint8_t, 256> MakeEscapeAt() {
  std::array<std::uint8_t, 256> t{};
  for (const char c : {'\0', '\n', '\r', '='})
    t[std::uint8_t(c)] = 1;
  t[' '] = t['\t'] = 2;
  t['.'] = 4;
  return t;
}

constexpr std::array<std::uint8_t, 256> EscapeAt = MakeEscapeAt();

char* Put(char* o, std::string_view s) {
  std::memcpy(o, s.data(), s.size());
  return o + s.size();
}

} // namespace

TYEncKeyword YEncKeyword(std::string_view line) {
  if (line.size() < 5 || line[0] != '=' || line[1] != 'y')
    return ykNone;
  auto is = [&](std::string_view word) {
    return line.substr(0, word.size()) == word &&
           (line.size() == word.size() || IsBlank(line[word.size()]) || line[word.size()] == '\r');
  };
  return is("=ybegin") ? ykBegin : is("=ypart") ? ykPart : is("=yend") ? ykEnd : ykNone;
}

std::string ParseYEncLine(std::string_view line, TYEncLine& f) {
  f = TYEncLine{};
  line = CutLineEnd(line);
  f.Keyword = YEncKeyword(line);
  if (f.Keyword == ykNone)
    return "not a yEnc keyword line";
  const std::string keyword = KeywordText(f.Keyword);
  bool named = false;
  std::size_t pos = keyword.size();
  while (pos < line.size()) {
    while (pos < line.size() && IsBlank(line[pos]))
      ++pos;
    std::size_t end = pos;
    while (end < line.size() && !IsBlank(line[end]))
      ++end;
    const std::string_view word = line.substr(pos, end - pos);
    const std::size_t eq = word.find('=');
    const std::string_view key = word.substr(0, eq), value = eq == word.npos ? "" : word.substr(eq + 1);
    if (eq != word.npos && key == "name" && f.Keyword == ykBegin) {
      f.Name = std::string(TrimBlanks(line.substr(pos + 5)));
      named = true;
      break;
    }
    std::optional<std::uint64_t>* number = key == "part"    ? &f.Part
                                           : key == "total" ? &f.Total
                                           : key == "line"  ? &f.Line
                                           : key == "size"  ? &f.Size
                                           : key == "begin" ? &f.Begin
                                           : key == "end"   ? &f.End
                                                            : nullptr;
    std::optional<std::uint32_t>* crc = key == "pcrc32" ? &f.PCrc32 : key == "crc32" ? &f.Crc32 : nullptr;
    if (eq != word.npos && number) {
      std::uint64_t v = 0;
      if (!ParseDecimal(value, v))
        return keyword + " " + std::string(key) + "= is not a number";
      *number = v;
    } else if (eq != word.npos && crc) {
      std::uint32_t v = 0;
      if (!ParseHex32(value, v))
        return keyword + " " + std::string(key) + "= is not a CRC-32";
      *crc = v;
    }
    pos = end;
  }

  switch (f.Keyword) {
  case ykBegin:
    if (!f.Size)
      return "=ybegin without size=";
    if (!named)
      return "=ybegin without name=";
    if (f.Name.empty())
      return "=ybegin with an empty name=";
    if ((f.Part && *f.Part == 0) || (f.Total && *f.Total == 0))
      return "=ybegin part= and total= count from 1";
    if (f.Part && f.Total && *f.Part > *f.Total)
      return "=ybegin part=" + std::to_string(*f.Part) + " is past total=" + std::to_string(*f.Total);
    break;
  case ykPart:
    if (!f.Begin || !f.End)
      return "=ypart without begin= and end=";
    if (*f.Begin == 0 || *f.End < *f.Begin)
      return "=ypart begin=" + std::to_string(*f.Begin) + " end=" + std::to_string(*f.End) + " is no range";
    break;
  case ykEnd:
    if (!f.Size)
      return "=yend without size=";
    break;
  case ykNone:
    break;
  }
  return "";
}

namespace {

// Where a data line's characters end: before the CR of its end.
const unsigned char* DataEnd(const unsigned char* p, std::size_t size) {
  return size > 0 && p[size - 1] == '\r' ? p + size - 1 : p + size;
}

// One character after another: "=" escapes the next one, whatever it is;
// CR and LF that no "=" escapes are no data.
char* DecodeRun(const unsigned char* p, const unsigned char* end, char* o, bool& escape) {
  bool escaped = escape;
  for (; p < end; ++p) {
    const unsigned char c = *p;
    if (escaped) {
      *o++ = char(c - 106);
      escaped = false;
    } else if (c == '=') {
      escaped = true;
    } else if (c != '\r' && c != '\n') {
      *o++ = char(c - 42);
    }
  }
  escape = escaped;
  return o;
}

#ifdef VOSTEL_X86
#define VOSTEL_SSSE3 __attribute__((target("ssse3,popcnt")))

// For each set of 8 bytes to keep (a bit each), the shuffle that moves them
// to the front in their order.
struct TPackTable {
  std::array<std::uint64_t, 256> Shuffle{};
};

constexpr TPackTable MakePackTable() {
  TPackTable t;
  for (unsigned keep = 0; keep < 256; ++keep) {
    std::uint64_t shuffle = 0;
    unsigned at = 0;
    for (unsigned i = 0; i < 8; ++i)
      if (keep >> i & 1)
        shuffle |= std::uint64_t(i) << (8 * at++);
    for (; at < 8; ++at)
      shuffle |= std::uint64_t(0x80) << (8 * at); // a zero byte, written over later
    t.Shuffle[keep] = shuffle;
  }
  return t;
}

constexpr TPackTable PackTable = MakePackTable();

// Decodes the first Valid (bit mask) characters of v, the rest zeros, into
// o, which has room for 16 bytes: escaped characters take 64 more off, and
// the kept bytes are packed to the front by a shuffle, without a branch on
// what the block holds. Returns the bytes decoded, or -1 when an "=" is
// itself escaped ("=="), which the caller decodes a character at a time.
// Carry is whether the first character is escaped, and then whether the
// next block's is.
// With Lines, as DecodeBlock64 has it.
template <bool Lines = false>
VOSTEL_SSSE3 inline int DecodeBlock(__m128i v, unsigned Valid, unsigned& Carry, char* o) {
  const __m128i eqv = _mm_cmpeq_epi8(v, _mm_set1_epi8('='));
  const unsigned eq = unsigned(_mm_movemask_epi8(eqv));
  const unsigned ends = unsigned(_mm_movemask_epi8(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')))));
  const unsigned escaped = (eq << 1 | Carry) & Valid;
  if ((eq | (Lines ? ends : 0)) & escaped)
    return -1;
  const unsigned keep = ~(eq | (ends & ~escaped)) & Valid;
  const __m128i escapedv = _mm_or_si128(_mm_slli_si128(eqv, 1), _mm_cvtsi32_si128(int(-Carry & 0xFF)));
  const __m128i value =
      _mm_sub_epi8(_mm_sub_epi8(v, _mm_set1_epi8(42)), _mm_and_si128(escapedv, _mm_set1_epi8(64)));
  const __m128i shuffle = _mm_add_epi8(_mm_set_epi64x(std::int64_t(PackTable.Shuffle[keep >> 8]),
                                                      std::int64_t(PackTable.Shuffle[keep & 0xFF])),
                                       _mm_set_epi64x(0x0808080808080808, 0));
  const __m128i packed = _mm_shuffle_epi8(value, shuffle);
  const int low = _mm_popcnt_u32(keep & 0xFF);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o), packed);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o + low), _mm_unpackhi_epi64(packed, packed));
  Carry = eq >> (std::bit_width(Valid) - 1) & 1;
  return low + _mm_popcnt_u32(keep >> 8);
}

// Text of whole lines, each ending in CR LF, a line at a time as the lines
// would be decoded one by one: each without its CR LF, a CR before them
// dropped too.
char* DecodeLineByLine(TYEncPath path, const unsigned char* p, const unsigned char* end, char* o,
                       bool& escape);

// Sixteen characters at a time, the last few of the line too (through a
// copy). Every store of whole blocks lies within what the input has passed,
// so out needs no more room than the line's size. With Lines, over text of
// whole lines each ending in CR LF, whose ends the blocks drop as they drop
// any CR and LF: from a block with "==" or an escape before a CR or LF on,
// it goes a line at a time, where a line that ends in "=" escapes the next
// line's first character, not its own end.
template <bool Lines = false>
VOSTEL_SSSE3 char* DecodeBlocks(const unsigned char* p, const unsigned char* end, char* o, bool& escape) {
  unsigned carry = escape ? 1 : 0;
  for (; end - p >= 16; p += 16) {
    const int n = DecodeBlock<Lines>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 0xFFFF, carry, o);
    if (n >= 0) {
      o += n;
      continue;
    }
    if constexpr (Lines) {
      escape = carry != 0;
      return DecodeLineByLine(TYEncPath::Sse, p, end, o, escape);
    }
    bool e = carry != 0;
    o = DecodeRun(p, p + 16, o, e);
    carry = e ? 1 : 0;
  }
  escape = carry != 0;
  if (p == end)
    return o;
  alignas(16) unsigned char in[16] = {};
  char decoded[16];
  const std::size_t rest = std::size_t(end - p);
  std::memcpy(in, p, rest);
  const int n = DecodeBlock<Lines>(_mm_load_si128(reinterpret_cast<const __m128i*>(in)), (1u << rest) - 1,
                                   carry, decoded);
  if (n < 0)
    return Lines ? DecodeLineByLine(TYEncPath::Sse, p, end, o, escape) : DecodeRun(p, end, o, escape);
  std::memcpy(o, decoded, std::size_t(n));
  escape = carry != 0;
  return o + n;
}

bool HasSsse3() {
  static const bool has =
      (__builtin_cpu_init(), __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt"));
  return has;
}

#define VOSTEL_WIDE_DECODE __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,bmi2,popcnt")))

// Output byte j comes from input byte Index[j]. Taking out input byte d
// after t others before it moves every byte from output place d - t on. An
// absent d (64, past the block) gives a place no byte has.
VOSTEL_WIDE_DECODE inline void TakeOut(__m512i& Index, __m512i Iota, std::uint64_t d, std::uint64_t t) {
  const __mmask64 from = _mm512_cmpge_epu8_mask(Iota, _mm512_set1_epi8(char((d - t) | (d & 64))));
  Index = _mm512_mask_add_epi8(Index, from, Index, _mm512_set1_epi8(1));
}

// Decodes the characters of v that Valid (a bit each) marks, the rest
// zeros, into o: 64 at a time. A posted line holds an escape in some 64
// characters, so the bytes to drop are taken out one by one: each moves the
// bytes after it one place to the front, which one byte permutation does
// for all of them at once, up to four without a branch. The permutation is
// made even when nothing is dropped: a branch on it would go wrong for one
// block in two. Returns the bytes decoded, or -1 for "==" as DecodeBlock
// does; Carry as there. Whole blocks store 64 bytes, which is within what
// the input has passed; a block with Valid short of all stores only its
// bytes.
// With Lines, v is text of whole lines whose CR LF it drops as it drops any
// CR and LF, and an escape that would take a CR or LF gives -1 too: a line
// that ends in "=" escapes the next line's first character, not its own end.
template <bool Lines = false>
VOSTEL_WIDE_DECODE inline int DecodeBlock64(__m512i v, std::uint64_t Valid, std::uint64_t& Carry, char* o) {
  const std::uint64_t eq = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('='));
  const std::uint64_t ends =
      _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r')) | _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
  const std::uint64_t escaped = (eq << 1 | Carry) & Valid;
  if ((eq | (Lines ? ends : 0)) & escaped)
    return -1;
  std::uint64_t drop = (eq | (ends & ~escaped)) & Valid;
  __m512i value = _mm512_sub_epi8(v, _mm512_set1_epi8(42));
  value = _mm512_mask_sub_epi8(value, escaped, value, _mm512_set1_epi8(64));
  const int n = int(_mm_popcnt_u64(Valid & ~drop));
  Carry = (eq & (Valid ^ Valid >> 1)) != 0 ? 1 : 0; // at the last valid character

  const __m512i iota =
      _mm512_set_epi64(0x3f3e3d3c3b3a3938, 0x3736353433323130, 0x2f2e2d2c2b2a2928, 0x2726252423222120,
                       0x1f1e1d1c1b1a1918, 0x1716151413121110, 0x0f0e0d0c0b0a0908, 0x0706050403020100);
  __m512i index = iota;
  std::uint64_t t = 0;
  TakeOut(index, iota, _tzcnt_u64(drop), t++);
  drop = _blsr_u64(drop);
  TakeOut(index, iota, _tzcnt_u64(drop), t++);
  drop = _blsr_u64(drop);
  TakeOut(index, iota, _tzcnt_u64(drop), t++);
  drop = _blsr_u64(drop);
  TakeOut(index, iota, _tzcnt_u64(drop), t++);
  drop = _blsr_u64(drop);
  for (; drop != 0; ++t, drop = _blsr_u64(drop))
    TakeOut(index, iota, _tzcnt_u64(drop), t);
  value = _mm512_maskz_permutexvar_epi8(~__mmask64(0), index, value); // (GCC 12 warns of the unmasked one)
  if (~Valid == 0)
    _mm512_storeu_si512(o, value);
  else
    _mm512_mask_storeu_epi8(o, _bzhi_u64(~std::uint64_t(0), unsigned(n)), value);
  return n;
}

// As DecodeBlocks, 64 characters at a time; the last few through a masked
// load, which reads nothing past the line.
template <bool Lines = false>
VOSTEL_WIDE_DECODE char* DecodeWide(const unsigned char* p, const unsigned char* end, char* o, bool& escape) {
  std::uint64_t carry = escape ? 1 : 0;
  for (; end - p >= 64; p += 64) {
    const int n = DecodeBlock64<Lines>(_mm512_loadu_si512(p), ~std::uint64_t(0), carry, o);
    if (n >= 0) {
      o += n;
      continue;
    }
    if constexpr (Lines) {
      escape = carry != 0;
      return DecodeLineByLine(TYEncPath::Wide, p, end, o, escape);
    }
    bool e = carry != 0;
    o = DecodeRun(p, p + 64, o, e);
    carry = e ? 1 : 0;
  }
  escape = carry != 0;
  if (p == end)
    return o;
  const std::uint64_t valid = _bzhi_u64(~std::uint64_t(0), unsigned(end - p));
  const int n = DecodeBlock64<Lines>(_mm512_maskz_loadu_epi8(valid, p), valid, carry, o);
  if (n < 0)
    return Lines ? DecodeLineByLine(TYEncPath::Wide, p, end, o, escape) : DecodeRun(p, end, o, escape);
  escape = carry != 0;
  return o + n;
}

bool HasWideDecode() {
  static const bool has =
      (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                 __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi") &&
                                 __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt"));
  return has;
}
#endif

} // namespace

std::size_t YEncDecodeLine(const char* line, std::size_t size, char* out, bool& escape) {
  return YEncDecodeLineOn(TYEncPath::Wide, line, size, out, escape);
}

std::size_t YEncDecodeLineOn(TYEncPath path, const char* line, std::size_t size, char* out, bool& escape) {
#ifdef VOSTEL_X86
  const auto* p = reinterpret_cast<const unsigned char*>(line);
  if (path == TYEncPath::Wide && HasWideDecode())
    return std::size_t(DecodeWide(p, DataEnd(p, size), out, escape) - out);
  if (path != TYEncPath::Plain && HasSsse3())
    return std::size_t(DecodeBlocks(p, DataEnd(p, size), out, escape) - out);
#endif
  return YEncDecodeLinePlain(line, size, out, escape);
}

namespace {

char* DecodeLineByLine(TYEncPath path, const unsigned char* p, const unsigned char* end, char* o,
                       bool& escape) {
  const char* at = reinterpret_cast<const char*>(p);
  const char* const stop = reinterpret_cast<const char*>(end);
  while (at < stop) {
    const char* const crlf = FindCrLf(at, stop);
    const std::string_view line = WithoutCR(std::string_view(at, std::size_t((crlf ? crlf : stop) - at)));
    o += YEncDecodeLineOn(path, line.data(), line.size(), o, escape);
    at = crlf ? crlf + 2 : stop;
  }
  return o;
}

} // namespace

std::size_t YEncDecodeLines(const char* text, std::size_t size, char* out, bool& escape) {
  return YEncDecodeLinesOn(TYEncPath::Wide, text, size, out, escape);
}

std::size_t YEncDecodeLinesOn(TYEncPath path, const char* text, std::size_t size, char* out, bool& escape) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
#ifdef VOSTEL_X86
  if (path == TYEncPath::Wide && HasWideDecode())
    return std::size_t(DecodeWide<true>(p, p + size, out, escape) - out);
  if (path != TYEncPath::Plain && HasSsse3())
    return std::size_t(DecodeBlocks<true>(p, p + size, out, escape) - out);
#endif
  return std::size_t(DecodeLineByLine(path, p, p + size, out, escape) - out);
}

std::size_t YEncDecodeLinePlain(const char* line, std::size_t size, char* out, bool& escape) {
  const auto* p = reinterpret_cast<const unsigned char*>(line);
  return std::size_t(DecodeRun(p, DataEnd(p, size), out, escape) - out);
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
  return Crc32On(TYEncPath::Wide, crc, data, size);
}

std::uint32_t Crc32On(TYEncPath path, std::uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
#ifdef VOSTEL_X86
  const std::size_t whole = size & ~std::size_t(15);
  if (path == TYEncPath::Wide && size >= 256 && HasWideClmul()) {
    crc = CrcFoldWide(crc, p, whole);
    p += whole;
    size -= whole;
  } else if (path != TYEncPath::Plain && size >= 64 && HasClmul()) {
    crc = CrcFold(crc, p, whole);
    p += whole;
    size -= whole;
  }
#endif
  return ~CrcSlice8(crc, p, size);
}

bool YEncHasPath(TYEncPath path) {
#ifdef VOSTEL_X86
  switch (path) {
  case TYEncPath::Plain:
    return true;
  case TYEncPath::Sse:
    return HasClmul() && HasSsse3();
  case TYEncPath::Wide:
    return HasWideClmul() && HasWideDecode();
  }
  return false;
#else
  return path == TYEncPath::Plain;
#endif
}

std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t sizeB) {
  // crcA moved past sizeB zero bytes: times x^(8 sizeB).
  std::uint32_t shift = 1u << 31; // x^0
  for (int k = 3; sizeB != 0; sizeB >>= 1, ++k)
    if (sizeB & 1)
      shift = MultModP(Powers.X2n[k], shift);
  return MultModP(shift, crcA) ^ crcB;
}

// ---- TYEncPart ----

std::string TYEncPart::Describe() const {
  const std::string name = "\"" + FBegin.Name + "\"";
  return MultiPart() ? "part " + std::to_string(*FBegin.Part) + " of " + name : name;
}

std::string TYEncPart::Begin(std::string_view line) {
  *this = TYEncPart{};
  std::string error = ParseYEncLine(line, FBegin);
  if (!error.empty())
    return error;
  FOpen = true;
  // A single-part file, or a first part whose poster left out =ypart, starts
  // at the file's first byte.
  FPlaced = !MultiPart() || *FBegin.Part == 1;
  FTo = *FBegin.Size;
  return "";
}

std::string TYEncPart::Part(std::string_view line) {
  if (!FOpen)
    return "=ypart without =ybegin";
  TYEncLine fields;
  std::string error = ParseYEncLine(line, fields);
  if (!error.empty())
    return Describe() + ": " + error;
  if (FDecoded > 0)
    return Describe() + ": =ypart after the data began";
  if (*fields.End > FileSize())
    return Describe() + ": =ypart begin=" + std::to_string(*fields.Begin) +
           " end=" + std::to_string(*fields.End) + " lies past size=" + std::to_string(FileSize());
  FFrom = *fields.Begin - 1;
  FTo = *fields.End;
  FPlaced = true;
  return "";
}

std::size_t TYEncPart::Decode(const char* line, std::size_t size, char* out) {
  if (!FOpen)
    return 0;
  const std::size_t n = YEncDecodeLine(line, size, out, FEscape);
  FCrc = Crc32(FCrc, out, n);
  return Keep(n);
}

std::size_t TYEncPart::DecodeLater(const char* line, std::size_t size, char* out) {
  return FOpen ? Keep(YEncDecodeLine(line, size, out, FEscape)) : 0;
}

std::size_t TYEncPart::DecodeLinesLater(const char* text, std::size_t size, char* out) {
  return FOpen ? Keep(YEncDecodeLines(text, size, out, FEscape)) : 0;
}

std::size_t TYEncPart::Keep(std::size_t decoded) {
  const std::uint64_t room = FPlaced ? FTo - FFrom - std::min(FDecoded, FTo - FFrom) : 0;
  FDecoded += decoded;
  return std::size_t(std::min<std::uint64_t>(decoded, room));
}

std::string TYEncPart::End(std::string_view line) {
  if (!FOpen)
    return "=yend without =ybegin";
  FOpen = false;
  TYEncLine e;
  std::string error = ParseYEncLine(line, e);
  const std::string part = Describe();
  if (!error.empty())
    return part + ": " + error;
  if (!FPlaced)
    return part + " has no =ypart line";
  if (MultiPart() && e.Part && *e.Part != *FBegin.Part)
    return part + " closes with =yend part=" + std::to_string(*e.Part);
  if (FDecoded != *e.Size)
    return part + ": " + std::to_string(FDecoded) +
           " bytes decoded, =yend says size=" + std::to_string(*e.Size);
  if (FDecoded != FTo - FFrom)
    return part + ": " + std::to_string(FDecoded) + " bytes decoded, " +
           (MultiPart() ? "its =ypart range holds " : "=ybegin says size=") + std::to_string(FTo - FFrom);
  if (e.PCrc32 && *e.PCrc32 != FCrc)
    return part + ": CRC-32 " + Hex(FCrc) + " does not match pcrc32=" + Hex(*e.PCrc32);
  if (!MultiPart() && e.Crc32 && *e.Crc32 != FCrc)
    return part + ": CRC-32 " + Hex(FCrc) + " does not match crc32=" + Hex(*e.Crc32);
  if (MultiPart())
    FFileCrc = e.Crc32;
  return "";
}

// ---- encoding ----

std::string YEncEncodePart(std::string_view data, const TYEncPartInfo& info) {
  const std::string_view eol = info.CRLF ? "\r\n" : "\n";
  const std::size_t line = std::max(1u, info.LineLength);
  const std::uint32_t crc = Crc32(0, data.data(), data.size());
  std::string head = "=ybegin ";
  if (info.Part > 0)
    head += "part=" + std::to_string(info.Part) + " total=" + std::to_string(info.Total) + " ";
  head += "line=" + std::to_string(line) + " size=" + std::to_string(info.FileSize) + " name=" + info.Name;
  head += eol;
  if (info.Part > 0)
    head += "=ypart begin=" + std::to_string(info.Offset + 1) +
            " end=" + std::to_string(info.Offset + data.size()) + std::string(eol);
  std::string tail = "=yend size=" + std::to_string(data.size());
  if (info.Part > 0) {
    tail += " part=" + std::to_string(info.Part) + " pcrc32=" + Hex(crc);
    if (info.FileCrc)
      tail += " crc32=" + Hex(*info.FileCrc);
  } else {
    tail += " crc32=" + Hex(crc);
  }
  tail += eol;

  // Every byte escaped at worst, and a line end after every line characters.
  std::string text(head.size() + 2 * data.size() + (2 * data.size() / line + 1) * eol.size() + tail.size(),
                   '\0');
  char* o = Put(text.data(), head);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  auto put = [&o](unsigned char b, std::uint8_t where) {
    const unsigned char c = std::uint8_t(b + 42);
    const bool escape = (EscapeAt[c] & where) != 0;
    if (escape)
      *o++ = '=';
    *o++ = char(escape ? c + 64 : c);
    return escape ? 2u : 1u;
  };
  for (std::size_t i = 0; i < n;) {
    std::size_t column = put(p[i++], Start);
    while (column + 1 < line && i + 1 < n)
      column += put(p[i++], Inside);
    if (column < line && i < n)
      put(p[i++], Edge); // the line's last character
    o = Put(o, eol);
  }
  o = Put(o, tail);
  text.resize(std::size_t(o - text.data()));
  return text;
}
