#include "decode/ArticleScanner.h"

#include "platform/Convert.h"
#include "platform/FileName.h"
#include "platform/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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
  if (SameText(name, "dati.ini") || SameText(name, TArticleScanner::LockFileName) ||
      EndsWithNoCase(name, ".partial") || EndsWithNoCase(name, ".partial.parts"))
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

// Text with every occurrence of part left out.
std::string Without(std::string text, const std::string& part) {
  for (std::size_t at = 0; !part.empty() && (at = text.find(part, at)) != text.npos;)
    text.erase(at, part.size());
  return text;
}

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

} // namespace

// Turns the finished part file into the file it carries. Every failure ends
// up in the log; nothing is raised, so the walk goes on.
void TArticleScanner::DecodePartFile() {
  std::unique_ptr<TPartDecoder> decoder = std::move(FPartDecoder);
  try {
    const std::string partFile = PartFileName();
    if (FPartKind >= 1 && FPartKind <= 3) {
      // The part file by its name only: the session folder's path holds the
      // server entry, which may carry a user name.
      const std::string failure = DecodeFinishedPart(partFile, decoder);
      if (!failure.empty()) {
        const std::string text = "Error Decoding file " + ExtractName(partFile) + ": " + failure;
        Log(text);
        Incomplete(ExtractName(partFile), text);
      }
    }
    CountDecodedFile();
  } catch (...) {
    // Only what shows the walk could fail here, and a decode must never
    // stop a walk.
  }
}

// The file was decoded as the part file was written; a part file whose text
// did not all go through the decoder (one cut back when a connection was
// lost, one written by something else) is read now. The part file is
// deleted once its file is stored and kept on any failure. Returns why it
// failed, without the session folder's path; empty once the file is stored.
std::string TArticleScanner::DecodeFinishedPart(const std::string& PartFile,
                                                std::unique_ptr<TPartDecoder>& Decoder) {
  try {
    if (!Decoder) {
      Decoder = std::make_unique<TPartDecoder>(FSessionDir, FPartKind, ExtractName(PartFile));
      Decoder->FeedFile(PartFile);
    }
    Decoder->Finish();
    const std::string failure = DecodeByKind(*Decoder);
    if (failure.empty())
      DeleteFile(PartFile);
    return failure;
  } catch (const std::exception& e) {
    return Without(e.what(), FSessionDir);
  }
}

// The decoder the kind suggests, then the other one, but only when the first
// could not read the text: a file that cannot be written is no reason to
// read the text another way ("begin-base64 0644 x" read as uuencode gives a
// file of garbage). Returns the first decoder's reason when neither could.
std::string TArticleScanner::DecodeByKind(TPartDecoder& Decoder) {
  // The mode of a begin line is only written into encoded headers; a block
  // of mode 0 decodes like any other.
  if (FPartKind == 3)
    FFileMode = 0;
  const bool base64 = FPartKind == 2;
  const std::string failure = DecodeAttempt(base64 ? TryBase64 : TryUUEncode, Decoder.First());
  return failure.empty() || DecodeAttempt(base64 ? TryUUEncode : TryBase64Again, Decoder.Second()).empty()
             ? std::string()
             : failure;
}

// What one decoder made of the text. Returns why it could not read the
// text, empty once the file is stored; a file that could not be written or
// stored raises.
std::string TArticleScanner::DecodeAttempt(const char* Status, TPartDecoder::TResult& Result) {
  SetStatus(Status);
  if (!Result.Unreadable.empty())
    return Result.Unreadable;
  if (!Result.Unwritable.empty())
    throw EInOutError(Result.Unwritable);
  const std::string name = StoreDecodedFile(Result.File, Result.Name);
  Result.File.clear();
  FileSaved(name);
  return "";
}

std::string TArticleScanner::StoreDecodedFile(const std::string& Decoded, std::string Name, int FirstCopy) {
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
  for (int k = FirstCopy; k <= MaxCopies; ++k) {
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

std::string TArticleScanner::ExtractName(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}
