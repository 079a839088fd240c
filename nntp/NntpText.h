#pragma once

// Reading and writing the small pieces of text that NNTP replies and
// commands carry: numbers, dates, words. Free of the client, so that each
// can be tried alone.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Space, tab, CR or LF.
bool IsBlank(char c);

// A signed decimal number after blanks, 0 when there are no digits. Servers
// number articles far past 2^31, and a hostile one may send any number of
// digits: past 64 bits the value saturates instead of wrapping, and
// Overflow (when given) is set.
std::int64_t ReadNumber(std::string_view s, std::size_t& pos, bool* Overflow = nullptr);

// "yymmdd hhnnss" for NEWGROUPS and NEWNEWS; 0 means the local time now.
std::string FormatWhen(double When);

// YYYYMMDDhhmmss as days since 1899-12-30; false when it is no valid moment.
bool DecodeServerDate(const std::string& t, double& result);

// The blank-separated words of a line.
std::vector<std::string_view> Words(std::string_view Line);
