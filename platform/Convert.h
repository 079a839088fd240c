#pragma once

#include <cstdint>
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

// ASCII upper / lower case of a byte string; other bytes stay as they are.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);
// A TCP port as a server entry writes it: 1 to 65535, digits only, no
// leading zero.
bool IsPortNumber(std::string_view text);
