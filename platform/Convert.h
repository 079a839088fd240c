#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// Text to a 32-bit integer: leading blanks skipped, an optional sign, decimal
// digits and nothing else. Anything else raises EConvertError
// "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);

// As StrToInt, but a failure gives the default instead of raising.
int StrToIntDef(std::string_view text, int def);

std::string IntToStr(std::int64_t value);

// Strips characters with codes 0 to 32 from both ends.
std::string Trim(std::string_view text);
// Strips spaces from both ends.
std::string_view TrimSpaces(std::string_view text);
// The line without a CR at its end: a post with CR CR LF line ends reaches
// us with one left on every line, which belongs to the line end.
inline std::string_view WithoutCR(std::string_view line) {
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

// The first CR LF in [From, End), where a news client cuts a line; null
// when there is none. A lone CR or LF belongs to its line.
inline const char* FindCrLf(const char* From, const char* End) {
  const char* cr = From;
  while ((cr = static_cast<const char*>(std::memchr(cr, '\r', std::size_t(End - cr)))) && cr + 1 < End &&
         cr[1] != '\n')
    ++cr;
  return cr && cr + 1 < End ? cr : nullptr;
}

// The whole line at At of a run of text lines that a handler may take at
// once: Line without its CR LF, At moved past them. False, At unmoved, for
// a line not yet whole, one that begins with "." (for the client to undo,
// or the reply's end) and one longer than MaxLine.
inline bool NextRunLine(const char*& At, const char* End, std::size_t MaxLine, std::string_view& Line) {
  if (At == End || *At == '.')
    return false;
  const char* const crlf = FindCrLf(At, End);
  if (!crlf || std::size_t(crlf - At) > MaxLine)
    return false;
  Line = std::string_view(At, std::size_t(crlf - At));
  At = crlf + 2;
  return true;
}

// ASCII upper / lower case of a byte string; other bytes stay as they are.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);
// A TCP port as a server entry writes it: 1 to 65535, digits only, no
// leading zero.
bool IsPortNumber(std::string_view text);
