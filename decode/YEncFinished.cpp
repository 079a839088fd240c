#include "decode/YEncFinished.h"

#include "decode/YEncRecord.h"
#include "platform/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Number(std::string_view text, std::uint64_t& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool Unchanged(const struct stat& st, ino_t inode, off_t length, const timespec& modified) {
  return st.st_ino == inode && st.st_size == length && st.st_mtim.tv_sec == modified.tv_sec &&
         st.st_mtim.tv_nsec == modified.tv_nsec;
}

} // namespace

void TYEncFinished::SetFolder(const std::string& Folder) {
  if (FPath == Folder + FileName)
    return;
  FPath = Folder + FileName;
  FFiles.clear();
  FLength = -1;
}

void TYEncFinished::Refresh() {
  struct stat st {};
  // Looked at by name first: the list is read again only once it changed.
  if (::lstat(FPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && Unchanged(st, FInode, FLength, FModified))
    return;
  const TFd fd(::open(FPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    FFiles.clear(); // none yet, or gone
    FLength = -1;
    return;
  }
  if (Unchanged(st, FInode, FLength, FModified))
    return;
  // The newest lines, when a folder has stored more files than a record may
  // list.
  const std::size_t size = std::size_t(std::min<off_t>(st.st_size, off_t(TYEncRecord::MaxText)));
  std::string text(size, '\0');
  const ssize_t n = ::pread(fd.Get(), text.data(), size, st.st_size - off_t(size));
  text.resize(n < 0 ? 0 : std::size_t(n));
  FFiles.clear();
  std::string_view rest(text);
  if (off_t(size) < st.st_size) // starts inside a line
    rest.remove_prefix(std::min(rest.find('\n') + 1, rest.size()));
  for (std::size_t lf; (lf = rest.find('\n')) != rest.npos; rest.remove_prefix(lf + 1)) {
    std::string_view line = rest.substr(0, lf);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    std::uint64_t fileSize = 0, crc = 0;
    std::optional<std::uint32_t> fileCrc;
    bool sized = false;
    std::string name;
    while (!line.empty()) {
      const std::size_t blank = std::min(line.find(' '), line.size());
      const std::string_view word = line.substr(0, blank);
      line.remove_prefix(std::min(blank + 1, line.size()));
      if (word.substr(0, 5) == "size=")
        sized = Number(word.substr(5), fileSize);
      else if (word.substr(0, 6) == "crc32=" && word.size() <= 14 && Number(word.substr(6), crc, 16))
        fileCrc = std::uint32_t(crc);
      else if (word.substr(0, 5) == "name=")
        name = TYEncRecord::DecodeName(word.substr(5));
    }
    if (sized && !name.empty())
      FFiles.emplace(name, std::make_pair(fileSize, fileCrc));
  }
  FInode = st.st_ino;
  FLength = st.st_size;
  FModified = st.st_mtim;
}

bool TYEncFinished::Has(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc) {
  Refresh();
  const auto [first, last] = FFiles.equal_range(Name);
  return std::any_of(first, last, [&](const auto& file) {
    const auto& [size, crc] = file.second;
    return size == Size && !(crc && Crc && *crc != *Crc);
  });
}

bool TYEncFinished::Add(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc) {
  const TFd fd(::open(FPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  struct stat before {
  }, after{};
  std::string line = "size=" + std::to_string(Size);
  if (Crc) {
    char hex[16];
    std::snprintf(hex, sizeof hex, " crc32=%08x", unsigned(*Crc));
    line += hex;
  }
  line += " name=" + TYEncRecord::EncodeName(Name) + "\r\n";
  if (fd.Get() < 0 || ::fstat(fd.Get(), &before) != 0 || !TYEncRecord::Append(fd.Get(), line) ||
      ::fstat(fd.Get(), &after) != 0)
    return false;
  FFiles.emplace(Name, std::make_pair(Size, Crc));
  // What another window added meanwhile is read at the next look.
  if (Unchanged(before, FInode, FLength, FModified)) {
    FInode = after.st_ino;
    FLength = after.st_size;
    FModified = after.st_mtim;
  } else {
    FLength = -1;
  }
  return true;
}
