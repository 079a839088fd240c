#include "nntp/NntpText.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::int64_t ReadNumber(std::string_view s, std::size_t& pos, bool* Overflow) {
  while (pos < s.size() && IsBlank(s[pos]))
    ++pos;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '-' || s[pos] == '+'))
    negative = s[pos++] == '-';
  std::int64_t n = 0;
  bool over = false;
  for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos) {
    int d = s[pos] - '0';
    if (negative ? n < (INT64_MIN + d) / 10 : n > (INT64_MAX - d) / 10)
      over = true;
    n = over ? (negative ? INT64_MIN : INT64_MAX) : negative ? n * 10 - d : n * 10 + d;
  }
  if (Overflow)
    *Overflow = over;
  return n;
}

namespace {

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + std::int64_t(doe) - 719468 + 25569; // 25569: 1899-12-30 to 1970-01-01
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468 - 25569;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yoe + era * 400 + (m <= 2));
}

std::string TwoDigits(int n) { return {char('0' + n / 10 % 10), char('0' + n % 10)}; }

} // namespace

std::string FormatWhen(double When) {
  int y, mo, d, h, mi, s;
  if (When == 0) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    y = t.tm_year + 1900, mo = t.tm_mon + 1, d = t.tm_mday, h = t.tm_hour, mi = t.tm_min, s = t.tm_sec;
  } else {
    auto ms = std::int64_t(std::llround(When * 86400000.0));
    std::int64_t days = ms / 86400000, rest = ms % 86400000;
    if (rest < 0)
      --days, rest += 86400000;
    CivilFromDays(days, y, mo, d);
    h = int(rest / 3600000), mi = int(rest / 60000 % 60), s = int(rest / 1000 % 60);
  }
  return TwoDigits(y % 100) + TwoDigits(mo) + TwoDigits(d) + " " + TwoDigits(h) + TwoDigits(mi) +
         TwoDigits(s);
}

bool DecodeServerDate(const std::string& t, double& result) {
  if (t.size() != 14 || t.find_first_not_of("0123456789") != std::string::npos)
    return false;
  auto part = [&](std::size_t at, std::size_t len) { return std::stoi(t.substr(at, len)); };
  int y = part(0, 4), mo = part(4, 2), d = part(6, 2), h = part(8, 2), mi = part(10, 2), s = part(12, 2);
  static const int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > MonthDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
      s > 59)
    return false;
  result = double(DaysFromCivil(y, unsigned(mo), unsigned(d))) + (h * 3600 + mi * 60 + s) / 86400.0;
  return true;
}

std::vector<std::string_view> Words(std::string_view Line) {
  std::vector<std::string_view> words;
  for (std::size_t pos = 0;;) {
    pos = Line.find_first_not_of(" \t", pos);
    if (pos == std::string_view::npos)
      return words;
    const std::size_t end = std::min(Line.find_first_of(" \t", pos), Line.size());
    words.push_back(Line.substr(pos, end - pos));
    pos = end;
  }
}
