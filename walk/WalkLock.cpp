#include "walk/WalkLock.h"

#include "platform/Exceptions.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each try loses only to a holder that removed the file between our open
// and our lock; a few are plenty.
constexpr int MaxTries = 8;

pid_t ReadHolder(int fd) {
  char text[24] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  pid_t pid = 0;
  if (n <= 0 || std::from_chars(text, text + n, pid).ec != std::errc())
    return 0;
  return pid > 0 ? pid : 0;
}

bool SameFile(int fd, const std::string& path) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

void WriteHolder(int fd) {
  const std::string text = std::to_string(::getpid()) + "\n";
  // Only a name for the others: a file that cannot take it still locks.
  if (::ftruncate(fd, 0) != 0)
    return;
  const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
  static_cast<void>(written);
}

} // namespace

bool TWalkLock::Take(const std::string& Folder, const std::string& FileName) {
  Release();
  FHolder = 0;
  const std::string path = Folder + FileName;
  for (int tries = 0; tries < MaxTries; ++tries) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
      throw EInOutError("Cannot create " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) {
        FHolder = ReadHolder(fd);
        ::close(fd);
        return false;
      }
      ::close(fd);
      if (error == EINTR)
        continue;
      // A file system without locks (some network ones): walked as before
      // there were locks, and the file left alone.
      return true;
    }
    // The holder before us removed the file on its way out: the lock is on
    // a file nobody else opens any more.
    if (!SameFile(fd, path)) {
      ::close(fd);
      continue;
    }
    WriteHolder(fd);
    FFd = fd;
    FPath = path;
    return true;
  }
  throw EInOutError("Cannot lock " + path);
}

// The file goes while still locked, so that whoever opens the name next
// makes a new file rather than locking the old one.
void TWalkLock::Release() {
  if (FFd < 0)
    return;
  ::unlink(FPath.c_str());
  ::close(FFd);
  FFd = -1;
  FPath.clear();
}
