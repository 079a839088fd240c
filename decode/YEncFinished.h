#pragma once

// The multi-part yEnc files a session folder has put together and stored,
// kept in ".yenc-finished.partial.parts" (a session file, so no decoded file
// ever takes its name), one line each:
//
//   size=90000 crc32=0f1e2d3c name=cd1.rar
//
// A part of one of them that comes again in a later window (a repost, a
// fill) is then passed over instead of starting a file that never completes.
// crc32 is the CRC-32 of the stored file, when it was known; the name is
// written as a record's name= is. Lines are only appended, one write each;
// lines that do not parse are passed over.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>

class TYEncFinished {
public:
  static constexpr const char* FileName = ".yenc-finished.partial.parts";

  // The session folder, with its trailing "/".
  void SetFolder(const std::string& Folder);
  // A file of this name and size is stored here, with this CRC-32 when both
  // are known.
  bool Has(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc);
  // Adds a stored file. False, with errno set, when it could not be written.
  bool Add(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc);

private:
  // Reads the file again when another window has added to it.
  void Refresh();

  std::string FPath;
  std::multimap<std::string, std::pair<std::uint64_t, std::optional<std::uint32_t>>> FFiles;
  // The file as last read.
  ino_t FInode = 0;
  off_t FLength = -1;
  timespec FModified{};
};
