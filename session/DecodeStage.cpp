#include "session/ChildWin.h"

#include "platform/Convert.h"
#include "platform/FileName.h"
#include "platform/FileOps.h"

#include <QListWidget>
#include <QProgressBar>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Both spellings are what the user has always seen.
constexpr const char* TryBase64 = "Decoding File try Base64";
constexpr const char* TryBase64Again = "Decoding File try Base 64";
constexpr const char* TryUUEncode = "Decoding File try UUEncode";

// Beyond this many copies of one name something is wrong with the folder.
constexpr int MaxCopies = 9999;

bool EndsWithNoCase(std::string_view name, std::string_view end) {
  return name.size() >= end.size() && SameText(name.substr(name.size() - end.size()), end);
}

// The session's own files: its progress file, the part files "<n>.UUE" and
// "<n>.B64", whatever their case, which a later part file would truncate,
// and the files in which yEnc parts are put together.
bool IsSessionFileName(std::string_view name) {
  if (SameText(name, "dati.ini") || EndsWithNoCase(name, ".partial") ||
      EndsWithNoCase(name, ".partial.parts"))
    return true;
  const std::size_t dot = name.find('.');
  if (dot == 0 || dot == name.npos)
    return false;
  const std::string_view digits = name.substr(0, dot), extension = name.substr(dot);
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         (SameText(extension, ".UUE") || SameText(extension, ".B64"));
}

// Copy k of Name as the folder takes it: "name (k).ext", or "name (k)" for a
// name without an extension, cut to limit bytes. A session file's name keeps
// its session extension that way ("clip.avi (1).partial"), so it gets the
// number at its end instead.
std::string CandidateName(const std::string& name, int k, std::size_t limit) {
  if (k == 0)
    return FitName(name, limit);
  const std::string tag = " (" + std::to_string(k) + ")";
  const std::string numbered = FitName(name, limit, tag);
  return IsSessionFileName(numbered) ? FitName(name + tag, limit) : numbered;
}

// Text with every occurrence of from replaced by to.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; !from.empty() && (at = text.find(from, at)) != text.npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string Without(const std::string& text, const std::string& part) { return Replaced(text, part, ""); }

// What lies at path, not following a link: 0 nothing, S_IFREG, S_IFDIR, ...
mode_t KindAt(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Reads until size bytes or the end of the file; -1 on an error.
ssize_t ReadUpTo(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    done += std::size_t(n);
  }
  return ssize_t(done);
}

// Compared in pieces of at most 64 KiB, and no larger than the files: the
// same small file decoded again costs no large buffers.
bool SameContent(const std::string& a, const std::string& b) {
  const TFd fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC)), fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat sa {
  }, sb{};
  if (fa.Get() < 0 || fb.Get() < 0 || ::fstat(fa.Get(), &sa) != 0 || ::fstat(fb.Get(), &sb) != 0 ||
      sa.st_size != sb.st_size)
    return false;
  // One byte more than the files hold, so that the end shows in one read.
  const std::size_t piece = std::size_t(std::min<off_t>(sa.st_size + 1, 1 << 16));
  const auto pa = std::make_unique_for_overwrite<char[]>(piece);
  const auto pb = std::make_unique_for_overwrite<char[]>(piece);
  for (;;) {
    const ssize_t na = ReadUpTo(fa.Get(), pa.get(), piece), nb = ReadUpTo(fb.Get(), pb.get(), piece);
    if (na < 0 || na != nb || std::memcmp(pa.get(), pb.get(), std::size_t(na)) != 0)
      return false;
    if (std::size_t(na) < piece)
      return true;
  }
}

// A private folder inside the session folder where the codec writes under
// whatever name a begin line gives, so nothing of the session is
// overwritten and nothing half-written ever carries a final name. It goes
// away with everything still in it: the files it is told of by name, the
// rest, if any, by a look through the folder.
class TWorkFolder {
public:
  explicit TWorkFolder(const std::string& sessionDir) : FPath(sessionDir + ".decoding-XXXXXX") {
    if (!::mkdtemp(FPath.data()))
      throw EInOutError("Cannot create folder " + FPath + ": " + std::strerror(errno));
    FPath += '/';
  }
  ~TWorkFolder() {
    if (FKeep)
      return;
    for (const std::string& file : FFiles)
      ::unlink(file.c_str());
    std::error_code ignored;
    if (::rmdir(FPath.c_str()) != 0)
      std::filesystem::remove_all(FPath, ignored);
  }
  TWorkFolder(const TWorkFolder&) = delete;
  TWorkFolder& operator=(const TWorkFolder&) = delete;

  const std::string& Path() const { return FPath; }
  void Keep() { FKeep = true; }
  // A file that may be in the folder when it goes; only a name right in it counts.
  void Holds(const std::string& path) {
    if (path.size() > FPath.size() && path.compare(0, FPath.size(), FPath) == 0 &&
        path.find('/', FPath.size()) == path.npos)
      FFiles.push_back(path);
  }

private:
  std::string FPath;
  bool FKeep = false;
  std::vector<std::string> FFiles;
};

} // namespace

// Turns the finished part file into the file it carries. Every failure ends
// up in the log; nothing is raised, so the walk goes on.
void TMDIChild::DecodePartFile() {
  try {
    ProgressBar1->setValue(0);
    const std::string partFile = PartFileName();
    if (FPartKind >= 1 && FPartKind <= 3) {
      // The part file by its name only: the session folder's path holds the
      // server entry, which may carry a user name.
      const std::string failure = DecodeInWorkFolder(partFile);
      if (!failure.empty())
        Log("Error Decoding file " + ExtractName(partFile) + ": " + failure);
    }
    ProgressBar1->setValue(0);
    CountDecodedFile();
  } catch (...) {
    // Only the widgets could fail here, and a decode must never stop a walk.
  }
}

// The part file moves into a work folder and is decoded there; it is
// deleted with the folder once its file is stored, and put back on any
// failure. Returns why it failed, without the session folder's path;
// empty once the file is stored.
std::string TMDIChild::DecodeInWorkFolder(const std::string& PartFile) {
  try {
    TWorkFolder work(FSessionDir);
    // The codec drops quotes from the names it reads, so no begin line can
    // name this file and decode over it.
    const std::string input = work.Path() + "\"" + ExtractName(PartFile);
    if (!RenameFile(PartFile, input))
      throw EInOutError("Cannot move " + PartFile + ": " + std::strerror(errno));
    work.Holds(input);
    UUCode.SetInputFile(input);
    UUCode.SetOutputFile(work.Path() + IntToStr(FPartFileCount) + ".dec");

    std::string failure;
    try {
      failure = DecodeByKind();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    // What the last attempt wrote and could not store.
    work.Holds(UUCode.OutputFile());
    if (!failure.empty() && !RenameFile(input, PartFile))
      work.Keep(); // its name was taken meanwhile: the folder keeps it
    return Without(Without(Replaced(failure, input, ExtractName(PartFile)), work.Path()), FSessionDir);
  } catch (const std::exception& e) {
    return Without(e.what(), FSessionDir);
  }
}

// The decoder the kind suggests, then the other one, but only when the first
// could not read the text: a file that cannot be written is no reason to
// read the text another way ("begin-base64 0644 x" read as uuencode gives a
// file of garbage). Returns the first decoder's reason when neither could.
std::string TMDIChild::DecodeByKind() {
  if (FPartKind == 2) {
    UUCode.SetFileMode(644);
    const std::string failure = DecodeAttempt(TryBase64, base64decode);
    return failure.empty() || DecodeAttempt(TryUUEncode, uudecode).empty() ? std::string() : failure;
  }
  // The mode of a begin line is only written into encoded headers; a block
  // of mode 0 decodes like any other.
  UUCode.SetFileMode(FPartKind == 1 ? 644 : static_cast<std::uint16_t>(FFileMode));
  if (FPartKind == 3)
    FFileMode = 0;
  const std::string failure = DecodeAttempt(TryUUEncode, uudecode);
  return failure.empty() || DecodeAttempt(TryBase64Again, base64decode).empty() ? std::string() : failure;
}

// One run of the codec; the second attempt keeps the output path the first
// one left behind. Returns why the text could not be decoded, empty once the
// file is stored; a file that cannot be read, written or stored raises.
std::string TMDIChild::DecodeAttempt(const char* Status, TAlgorithm Algorithm) {
  SetStatus(Status);
  UUCode.SetAlgorithm(Algorithm);
  try {
    UUCode.Execute();
  } catch (const EUUCode& e) {
    return e.what();
  }
  const std::string name = StoreDecodedFile(UUCode.OutputFile(), ExtractName(UUCode.OutputFile()));
  LBSaved->addItem(QString::fromLocal8Bit(name));
  return "";
}

std::string TMDIChild::StoreDecodedFile(const std::string& Decoded, std::string Name) {
  // A name from the network never leaves the session folder, and a path
  // ends at a NUL.
  Name.resize(std::min(Name.find('\0'), Name.size()));
  std::replace(Name.begin(), Name.end(), '\\', '/');
  Name = ExtractName(Name);
  if (Name.empty() || Name == "." || Name == "..")
    throw EInOutError("No file name for " + Decoded);
  // Every decoded file is as open as any new file of the user's, whatever
  // the temporary file it was written to had.
  GiveNewFileMode(Decoded);

  const std::size_t limit = NameMax(FSessionDir);
  for (int k = 0; k <= MaxCopies; ++k) {
    const std::string candidate = CandidateName(Name, k, limit);
    if (IsSessionFileName(candidate))
      continue;
    const std::string path = FSessionDir + candidate;
    if (RenameFile(Decoded, path))
      return candidate;
    const int error = errno;
    const mode_t there = KindAt(path);
    if (there == 0)
      throw EInOutError("Cannot create " + path + ": " + std::strerror(error));
    // The same file again (the same articles walked twice): nothing to add.
    if (there == S_IFREG && SameContent(Decoded, path)) {
      if (!SameFile(Decoded, path)) // a file already in its place stays
        DeleteFile(Decoded);
      return candidate;
    }
  }
  throw EInOutError("No free name for " + Name + " in " + FSessionDir);
}
