#include "platform/Convert.h"

#include "platform/Exceptions.h"

#include <limits>

namespace {

bool Parse(std::string_view text, int& out) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  if (i == text.size())
    return false;
  // Accumulate as a negative number so that INT_MIN fits.
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
    if (value > std::int64_t(std::numeric_limits<int>::max()) + 1)
      return false;
  }
  if (negative)
    value = -value;
  if (value > std::numeric_limits<int>::max())
    return false;
  out = static_cast<int>(value);
  return true;
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

} // namespace

int StrToInt(std::string_view text) {
  int value = 0;
  if (!Parse(text, value))
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

int StrToIntDef(std::string_view text, int def) {
  int value = 0;
  return Parse(text, value) ? value : def;
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string Trim(std::string_view text) {
  std::size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first]))
    ++first;
  while (last > first && IsBlank(text[last - 1]))
    --last;
  return std::string(text.substr(first, last - first));
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = Upper(c);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z')
      c = char(c + 32);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i]))
      return false;
  return true;
}

bool IsPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0')
    return false;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  return value <= 65535;
}
