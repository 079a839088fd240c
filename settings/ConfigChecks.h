#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the configuration dialog's OK checks before it saves, so that an entry
// that no decode window could use is named at once instead of failing later
// in a window. Each gives what is wrong, in words for the user, or nothing.

// A server entry is `host`, `host:port` (port 1 to 65535) or
// `nntps://[user@]host[:port]` (`nntp://` likewise), the host a name or a
// dotted address.
std::optional<std::string> ServerEntryFault(std::string_view Entry);

// The index of the first entry that repeats an earlier one, compared without
// regard to case as the settings file's sections are; none when all differ.
std::optional<std::size_t> RepeatedEntry(const std::vector<std::string>& Entries);

// Whether the decode windows can make their folders below Path and write
// there: the folder exists and may be written, or the nearest one that
// exists may have folders made in it. Nothing is made to find out.
std::optional<std::string> DownloadPathFault(const std::string& Path);
