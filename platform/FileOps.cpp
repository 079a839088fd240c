#include "platform/FileOps.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

EInOutError IoError(const std::string& what, const std::string& path, int err) {
  return EInOutError(what + " " + path + ": " + std::strerror(err));
}

struct TDirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Read where the kernel tells it, so the mask is never changed, not even for
// a moment.
mode_t CurrentUmask() {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> status(std::fopen("/proc/self/status", "re"), &std::fclose);
  char line[256];
  while (status && std::fgets(line, sizeof line, status.get()))
    if (std::strncmp(line, "Umask:", 6) == 0)
      return mode_t(std::strtoul(line + 6, nullptr, 8) & 0777);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

} // namespace

void CreateFolder(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool GiveNewFileMode(const std::string& path) {
  const TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return fd.Get() >= 0 && ::fchmod(fd.Get(), 0666 & ~CurrentUmask()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS)
    return false;
  // A file system without no-replace renames: a hard link fails just as
  // atomically when the target exists.
  if (::link(from.c_str(), to.c_str()) != 0)
    return false;
  ::unlink(from.c_str());
  return true;
}

void AppendText(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    throw IoError("Cannot open", path, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      ::close(fd);
      throw IoError("Cannot write to", path, err);
    }
    done += std::size_t(n);
  }
  if (::close(fd) != 0)
    throw IoError("Cannot write to", path, errno);
}

bool LinkOrCopyFile(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0)
    return true;
  if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != ENOTSUP)
    return false;
  // The copy is as open as the file, as a link would be, and no more open
  // while it is written.
  struct stat source {};
  if (::stat(from.c_str(), &source) != 0)
    return false;
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  bool ok = true;
  try {
    const std::string data = ReadFile(from);
    for (std::size_t done = 0; ok && done < data.size();) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR)
        continue;
      ok = n > 0;
      done += ok ? std::size_t(n) : 0;
    }
  } catch (const EInOutError&) {
    ok = false;
  }
  ok = ok && ::fchmod(fd, source.st_mode & 07777) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok)
    ::unlink(to.c_str());
  return ok;
}

namespace {

// A program folder set by SetProgramFolder, and whether it stands for an
// installed copy's.
struct TProgramFolderOverride {
  std::string Folder;
  bool Installed = false;
};

TProgramFolderOverride& ProgramFolderOverride() {
  static TProgramFolderOverride folder;
  return folder;
}

} // namespace

std::string ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec)
    return "./";
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/')
    folder += '/';
  return folder;
}

std::string ProgramFolderFor(const std::string& exeFolder) {
  // An installed program sits in a folder its users cannot write, where every
  // save would fail; and one that root installed or runs must not leave its
  // settings among the system's programs. Its menu entry marks it installed.
  const bool installed = FileExists(exeFolder + "../share/applications/vostel.desktop");
  if (!installed && ::access(exeFolder.c_str(), W_OK | X_OK) == 0)
    return exeFolder;
  std::string folder =
      QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)).toStdString();
  if (folder.empty())
    return exeFolder;
  if (folder.back() != '/')
    folder += '/';
  CreateFolder(folder);
  return folder;
}

std::string ProgramFolder() {
  const std::string& folder = ProgramFolderOverride().Folder;
  return folder.empty() ? ProgramFolderFor(ExecutableFolder()) : folder;
}

bool IsInstalledCopy() {
  const TProgramFolderOverride& folder = ProgramFolderOverride();
  return folder.Folder.empty() ? ProgramFolder() != ExecutableFolder() : folder.Installed;
}

void SetProgramFolder(std::string folder, bool installed) {
  ProgramFolderOverride() = {std::move(folder), installed};
}

std::string FindFileNoCase(const std::string& folder, const std::string& name) {
  if (FileExists(folder + name))
    return folder + name;
  std::unique_ptr<DIR, TDirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
  if (dir) {
    while (const dirent* entry = ::readdir(dir.get()))
      if (SameText(entry->d_name, name))
        return folder + entry->d_name;
  }
  return folder + name;
}

TFd::~TFd() {
  if (FFd >= 0)
    ::close(FFd);
}

TFileWriter::~TFileWriter() {
  if (FFile)
    std::fclose(FFile);
}

void TFileWriter::Create(const std::string& path) { Open(path, "wbe", "Cannot create"); }

void TFileWriter::Append(const std::string& path) { Open(path, "abe", "Cannot open"); }

bool TFileWriter::CreateNew(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST)
    return false;
  if (fd < 0)
    throw IoError("Cannot create", path, errno);
  if (FFile)
    std::fclose(FFile);
  FPath = path;
  FFile = ::fdopen(fd, "wb");
  if (!FFile) {
    const int err = errno;
    ::close(fd);
    throw IoError("Cannot create", path, err);
  }
  std::setvbuf(FFile, nullptr, _IOFBF, 64 * 1024);
  return true;
}

void TFileWriter::Open(const std::string& path, const char* mode, const char* what) {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  FPath = path;
  FFile = std::fopen(path.c_str(), mode);
  if (!FFile)
    throw IoError(what, path, errno);
  std::setvbuf(FFile, nullptr, _IOFBF, 64 * 1024);
}

void TFileWriter::Write(std::string_view data) {
  if (!FFile)
    throw EInOutError("File not open: " + FPath);
  if (std::fwrite(data.data(), 1, data.size(), FFile) != data.size())
    throw IoError("Cannot write to", FPath, errno ? errno : ENOSPC);
}

std::int64_t TFileWriter::Size() const { return FFile ? std::int64_t(::ftello(FFile)) : 0; }

void TFileWriter::Truncate(std::int64_t Size) {
  if (!FFile)
    throw EInOutError("File not open: " + FPath);
  if (std::fflush(FFile) != 0 || ::ftruncate(::fileno(FFile), off_t(Size)) != 0 ||
      ::fseeko(FFile, off_t(Size), SEEK_SET) != 0)
    throw IoError("Cannot write to", FPath, errno);
}

void TFileWriter::Close(bool toDisk) {
  if (!FFile)
    return;
  std::FILE* f = FFile;
  FFile = nullptr;
  bool ok = std::fflush(f) == 0;
  int err = ok ? 0 : errno;
  if (ok && toDisk && ::fsync(::fileno(f)) != 0) {
    ok = false;
    err = errno;
  }
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok)
    throw IoError("Cannot write to", FPath, err);
}

std::string ReadFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rbe"), &std::fclose);
  if (!f)
    throw IoError("Cannot open", path, errno);
  std::string data;
  char chunk[64 * 1024];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
    data.append(chunk, n);
  if (std::ferror(f.get()))
    throw IoError("Cannot read", path, errno);
  return data;
}
