#include "session/YEncReceiver.h"

#include "platform/FileName.h"
#include "platform/FileOps.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

// The name a file from the network is kept under: the last part of name=,
// "\" counting as a folder separator, and nothing after a NUL, which a path
// would cut there. "." and ".." are no names.
std::string LastPart(std::string_view name) {
  name = name.substr(0, std::min(name.find('\0'), name.size()));
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != name.npos)
    name.remove_prefix(slash + 1);
  return name == "." || name == ".." ? std::string() : std::string(name);
}

std::string Reason(int error) { return std::strerror(error); }

bool WriteAll(int fd, const char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = ENOSPC;
      return false;
    }
    data += n;
    size -= std::size_t(n);
    at += std::uint64_t(n);
  }
  return true;
}

// False, with errno set, when fewer than size bytes could be read.
bool ReadAll(int fd, char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      if (n == 0)
        errno = EIO; // shorter than its record says
      return false;
    }
    data += n;
    size -= std::size_t(n);
    at += std::uint64_t(n);
  }
  return true;
}

} // namespace

TYEncReceiver::~TYEncReceiver() { Discard(); }

void TYEncReceiver::Log(const std::string& Text) const {
  if (OnLog)
    OnLog(Text);
}

void TYEncReceiver::Line(std::string_view Line) {
  switch (YEncKeyword(Line)) {
  case ykNone:
    if (FState == rsPart)
      Data(Line);
    return;
  case ykBegin:
    Begin(Line);
    return;
  case ykPart:
    if (FState == rsPart)
      Place(Line);
    else if (FState == rsIdle)
      Log("=ypart without =ybegin; line skipped");
    return;
  case ykEnd:
    if (FState == rsPart)
      End(Line);
    else if (FState == rsIdle)
      Log("=yend without =ybegin; line skipped");
    FState = rsIdle;
    return;
  }
}

void TYEncReceiver::Begin(std::string_view Line) {
  if (FState == rsPart)
    Drop("no =yend before the next =ybegin");
  Discard();
  FFolder = FNextFolder;
  FState = rsPart;
  const std::string error = FPart.Begin(Line);
  if (!error.empty())
    return Fail(error + "; part skipped");
  // A name the folder refuses is shortened, for a multi-part file so far
  // that its .partial.parts fits too.
  FName = FitName(LastPart(FPart.Header().Name),
                  NameMax(FFolder) - (FPart.MultiPart() ? sizeof ".partial.parts" - 1 : 0));
  const std::string what = FPart.Describe();
  if (FName.empty())
    return Fail(what + ": name= gives no file name; part skipped");
  if (FPart.FileSize() > MaxFileSize)
    return Fail(what + ": size=" + std::to_string(FPart.FileSize()) + " is past the " +
                std::to_string(MaxFileSize >> 30) + " GiB a file may have here; part skipped");
  const std::optional<std::uint64_t> total = FPart.Header().Total;
  if (FPart.MultiPart() && total && *total > FPart.FileSize())
    return Fail(what + ": total=" + std::to_string(*total) +
                " parts cannot share size=" + std::to_string(FPart.FileSize()) + " bytes; part skipped");
  if (FBuffer.empty())
    FBuffer.resize(BufferSize);
}

void TYEncReceiver::Place(std::string_view Line) {
  const std::string error = FPart.Part(Line);
  if (!error.empty())
    Fail(error + "; part skipped");
}

void TYEncReceiver::Data(std::string_view Line) {
  if (FBuffer.size() - FFill < Line.size()) {
    if (!Flush())
      return;
    if (FBuffer.size() < Line.size())
      FBuffer.resize(Line.size());
  }
  const std::uint64_t at = FPart.Position();
  const std::size_t n = FPart.Decode(Line.data(), Line.size(), FBuffer.data() + FFill);
  if (FFill == 0)
    FBufferAt = at;
  FFill += n;
}

void TYEncReceiver::End(std::string_view Line) {
  const std::string error = FPart.End(Line);
  if (!error.empty())
    return Fail(error + "; part skipped", false);
  if (!Flush())
    return;
  if (FPart.MultiPart())
    FinishMulti();
  else
    FinishSingle();
}

void TYEncReceiver::Drop(std::string_view Why) {
  if (FState == rsPart && !Why.empty())
    Log(FPart.Describe() + ": " + std::string(Why) + "; part skipped");
  Discard();
  FState = rsIdle;
}

void TYEncReceiver::Fail(const std::string& Text, bool Skip) {
  Log(Text);
  Discard();
  FState = Skip ? rsSkip : rsIdle;
}

// Forgets the part: its buffered bytes, and a single-part file begun for it.
// Bytes of a multi-part file already written stay, unrecorded, for a sound
// part to write over.
void TYEncReceiver::Discard() {
  FFill = 0;
  FConflict = false;
  FAssembly = nullptr;
  if (FTempFd >= 0) {
    ::close(FTempFd);
    FTempFd = -1;
    ::unlink(FTempPath.c_str());
  }
}

bool TYEncReceiver::Flush() {
  if (FFill == 0) // nothing to write, no file to make yet
    return true;
  const bool done = FPart.MultiPart() ? FlushMulti() : FlushSingle();
  FFill = 0;
  return done;
}

// A hidden file of its own, made with the first bytes: nothing in the
// folder can be in its way.
bool TYEncReceiver::FlushSingle() {
  if (FTempFd < 0) {
    FTempPath = FFolder + ".yenc-XXXXXX";
    FTempFd = ::mkostemp(FTempPath.data(), O_CLOEXEC);
    if (FTempFd < 0) {
      Fail(FPart.Describe() + ": cannot create a file in " + FFolder + ": " + Reason(errno) +
           "; part skipped");
      return false;
    }
  }
  if (!WriteAll(FTempFd, FBuffer.data(), FFill, FBufferAt)) {
    Fail(FPart.Describe() + ": cannot write " + FTempPath + ": " + Reason(errno) + "; part skipped");
    return false;
  }
  return true;
}

// Writes the bytes that have not arrived before; compares the others with
// what is there.
bool TYEncReceiver::FlushMulti() {
  if (FFill == 0 && FAssembly)
    return true;
  const TFd fd(OpenPartial());
  if (fd.Get() < 0)
    return false;
  const std::uint64_t end = FBufferAt + FFill;
  std::uint64_t at = FBufferAt;
  std::vector<char> there;
  bool done = true;
  for (const TByteRange& r : FAssembly->Record.Received()) {
    if (r.To <= at)
      continue;
    if (at >= end)
      break;
    const std::uint64_t gapEnd = std::min(std::max(r.From, at), end);
    if (gapEnd > at && !(done = WriteAll(fd.Get(), FBuffer.data() + (at - FBufferAt), gapEnd - at, at)))
      break;
    at = gapEnd;
    const std::uint64_t sameEnd = std::min(r.To, end);
    if (sameEnd <= at)
      continue;
    there.resize(sameEnd - at);
    if (!(done = ReadAll(fd.Get(), there.data(), there.size(), at)))
      break;
    if (std::memcmp(there.data(), FBuffer.data() + (at - FBufferAt), there.size()) != 0)
      FConflict = true;
    at = sameEnd;
  }
  if (done && at < end)
    done = WriteAll(fd.Get(), FBuffer.data() + (at - FBufferAt), end - at, at);
  if (!done) {
    Fail(FPart.Describe() + ": cannot write " + PartialPath() + ": " + Reason(errno) + "; part skipped");
    return false;
  }
  return true;
}

void TYEncReceiver::FinishSingle() {
  // Makes the file of a part of no bytes, which nothing has written to.
  if (!FlushSingle())
    return;
  const int fd = std::exchange(FTempFd, -1);
  if (::close(fd) != 0) {
    Log(FPart.Describe() + ": cannot write " + FTempPath + ": " + Reason(errno) + "; part skipped");
    ::unlink(FTempPath.c_str());
  } else {
    try {
      if (OnFile)
        OnFile(FTempPath, FName);
    } catch (const std::exception& e) {
      Log(e.what());
    }
    ::unlink(FTempPath.c_str()); // nothing when the handler moved it away
  }
  FState = rsIdle;
}

void TYEncReceiver::FinishMulti() {
  // A part without data bytes still needs its file opened and its record read.
  if (!FAssembly && !FlushMulti())
    return;
  TAssembly& file = *FAssembly;
  const std::string what = FPart.Describe();
  const std::optional<std::uint32_t> crc = FPart.CrcOfFile();
  const std::optional<std::uint64_t> total = FPart.Header().Total;
  if (FConflict)
    return Fail(what + ": differs from the bytes " + FName + ".partial already holds; part skipped", false);
  if (crc && file.Record.Crc() && *crc != *file.Record.Crc())
    return Fail(what + ": its crc32= differs from the " + FName + ".partial being assembled; part skipped",
                false);
  if (total && file.Record.Total() && *total != *file.Record.Total())
    return Fail(what + ": its total= differs from the " + FName + ".partial being assembled; part skipped",
                false);
  const TByteRange range{FPart.Offset(), FPart.RangeEnd()};
  const std::uint64_t part = *FPart.Header().Part;
  if (range.From < range.To &&
      !AppendRecord(file, RecordPath(), TYEncRecord::PartLine(part, range, total, crc)))
    return Fail(what + ": cannot write " + RecordPath() + ": " + Reason(errno) + "; part skipped", false);
  file.Record.Add(part, range, total, crc);
  FState = rsIdle;
  FAssembly = nullptr;
  // A part that came again while its file is being checked adds nothing.
  if (!file.Record.Complete() || Waiting(PartialPath()))
    return;
  TCheck check{PartialPath(), FName, file.Record.Size(), file.Record.Crc()};
  if (check.Size <= FCheckPiece) {
    if (ReadBack(check, check.Size) == csSound)
      HandOver(check);
    return;
  }
  FChecks.push_back(std::move(check));
  if (FChecks.size() == 1 && OnCheckWaiting)
    OnCheckWaiting();
}

void TYEncReceiver::HandOver(const TCheck& Check) {
  try {
    if (OnFile)
      OnFile(Check.Partial, Check.Name);
    ::unlink((Check.Partial + ".parts").c_str());
    FFiles.erase(Check.Partial);
    FDone[Check.Partial] = {Check.Size, Check.Expected};
  } catch (const std::exception& e) {
    Log(e.what());
  }
}

// A part of the same file is arriving (it came again) and has begun to be
// compared with the file's bytes: the file stays where it is until that
// part has ended.
bool TYEncReceiver::CheckHeld() const {
  if (FChecks.empty() || !FAssembly)
    return false;
  const auto file = FFiles.find(FChecks.front().Partial);
  return file != FFiles.end() && FAssembly == &file->second;
}

bool TYEncReceiver::CheckSome() {
  if (FChecks.empty())
    return false;
  if (CheckHeld())
    return true;
  TCheck& check = FChecks.front();
  const TCheckStep step = ReadBack(check, FCheckPiece);
  if (step == csMore)
    return true;
  const TCheck done = std::move(check);
  FChecks.pop_front();
  if (step == csSound)
    HandOver(done);
  return !FChecks.empty();
}

bool TYEncReceiver::Waiting(const std::string& Partial) const {
  return std::any_of(FChecks.begin(), FChecks.end(), [&](const TCheck& c) { return c.Partial == Partial; });
}

// A part still open is dropped first without a word: the caller says why.
void TYEncReceiver::CheckAll() {
  Drop("");
  const std::uint64_t piece = std::exchange(FCheckPiece, ~std::uint64_t(0));
  while (CheckSome()) {
  }
  FCheckPiece = piece;
}

void TYEncReceiver::Forget(const std::string& Partial) {
  std::erase_if(FChecks, [&](const TCheck& c) { return c.Partial == Partial; });
  const auto file = FFiles.find(Partial);
  if (file == FFiles.end())
    return;
  if (FAssembly == &file->second)
    Fail(FPart.Describe() + ": " + FName + " is complete already; part skipped");
  FDone[Partial] = {file->second.Record.Size(), file->second.Record.Crc()};
  FFiles.erase(file);
}

// The whole file, read back once its last byte has arrived.
TYEncReceiver::TCheckStep TYEncReceiver::ReadBack(TCheck& Check, std::uint64_t Budget) {
  const TFd fd(::open(Check.Partial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  bool read = fd.Get() >= 0;
  // The part buffer when it holds nothing (it is warm in the cache), else a
  // smaller one of the check's own.
  if (read && Check.At < Check.Size && FFill > 0 && FCheckBuffer.empty())
    FCheckBuffer.resize(CheckBufferSize);
  if (FBuffer.empty())
    FBuffer.resize(BufferSize);
  std::vector<char>& chunk = FFill == 0 ? FBuffer : FCheckBuffer;
  for (std::uint64_t end = Check.At + std::min(Budget, Check.Size - Check.At); read && Check.At < end;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(chunk.size(), end - Check.At));
    read = ReadAll(fd.Get(), chunk.data(), n, Check.At);
    Check.Crc = Crc32(Check.Crc, chunk.data(), n);
    Check.At += n;
  }
  if (!read) {
    Log(Check.Name + ".partial: cannot read it back: " + Reason(errno));
    return csFailed;
  }
  if (Check.At < Check.Size)
    return csMore;
  if (Check.Expected && *Check.Expected != Check.Crc) {
    char text[64];
    std::snprintf(text, sizeof text, "CRC-32 %08x does not match crc32=%08x", unsigned(Check.Crc),
                  unsigned(*Check.Expected));
    Log(Check.Name + ": all parts are here, but " + text + "; kept as " + Check.Name + ".partial");
    return csFailed;
  }
  return csSound;
}

int TYEncReceiver::OpenPartial() {
  const std::string partial = PartialPath(), record = RecordPath();
  const std::string what = FPart.Describe();
  TAssembly& file = FFiles[partial];
  file.Name = FName;
  std::string error;
  int fd = -1;
  struct stat st {};
  const bool noRecord = ::lstat(record.c_str(), &st) != 0 && errno == ENOENT;
  const auto done = FDone.find(partial);
  const std::optional<std::uint32_t> crc = FPart.CrcOfFile(); // known at =yend
  if (noRecord && done != FDone.end() && done->second.Size == FPart.FileSize() &&
      !(done->second.Crc && crc && *done->second.Crc != *crc)) {
    FFiles.erase(partial);
    Fail(what + ": " + FName + " is complete already; part skipped");
    return -1;
  }
  if (noRecord) {
    // A new file: the record comes first, so a .partial without one is
    // never ours to write into.
    file = TAssembly{FName, TYEncRecord(FPart.FileSize())};
    if (!StartRecord(file, record, false))
      error = "cannot create " + record + ": " + Reason(errno);
    else if ((fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644)) < 0) {
      error = errno == EEXIST ? FName + ".partial is in the way"
                              : "cannot create " + partial + ": " + Reason(errno);
      ::unlink(record.c_str());
    }
  } else if (LoadRecord(file, record, error)) {
    if (file.Record.Size() != FPart.FileSize())
      error = "size=" + std::to_string(FPart.FileSize()) + " differs from the " + FName +
              ".partial being assembled (size=" + std::to_string(file.Record.Size()) + ")";
    else if ((fd = ::open(partial.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)) < 0 && errno == ENOENT) {
      // The record of a .partial that has gone: start the file again.
      file = TAssembly{FName, TYEncRecord(FPart.FileSize())};
      if (!StartRecord(file, record, true) ||
          (fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644)) < 0)
        error = "cannot create " + partial + ": " + Reason(errno);
    } else if (fd < 0) {
      error = "cannot open " + partial + ": " + Reason(errno);
    }
  }
  if (!error.empty()) {
    if (fd >= 0)
      ::close(fd);
    if (file.Length < 0)
      FFiles.erase(partial);
    Fail(what + ": " + error + "; part skipped");
    return -1;
  }
  FAssembly = &file;
  return fd;
}

// Reads the record again only when it changed since we last read or wrote
// it (another window on the same group may have added to it).
bool TYEncReceiver::LoadRecord(TAssembly& File, const std::string& Path, std::string& Error) {
  const TFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
    Error = "cannot read " + Path + ": " + Reason(errno);
    return false;
  }
  if (Unchanged(File, st))
    return true;
  std::string text;
  bool sound = S_ISREG(st.st_mode) && std::uint64_t(st.st_size) <= TYEncRecord::MaxText;
  if (sound) {
    text.resize(std::size_t(st.st_size));
    const ssize_t n = ::pread(fd.Get(), text.data(), text.size(), 0);
    text.resize(n < 0 ? 0 : std::size_t(n));
    sound = File.Record.Parse(text);
  }
  if (!sound) {
    File.Length = -1;
    Error = File.Name + ".partial.parts is no record of parts";
    return false;
  }
  Remember(File, st);
  return true;
}

bool TYEncReceiver::Unchanged(const TAssembly& File, const struct stat& St) {
  return File.Length == St.st_size && File.Inode == St.st_ino && File.Modified.tv_sec == St.st_mtim.tv_sec &&
         File.Modified.tv_nsec == St.st_mtim.tv_nsec;
}

void TYEncReceiver::Remember(TAssembly& File, const struct stat& St) {
  File.Inode = St.st_ino;
  File.Length = St.st_size;
  File.Modified = St.st_mtim;
}

bool TYEncReceiver::StartRecord(TAssembly& File, const std::string& Path, bool Replace) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (Replace ? O_TRUNC : O_EXCL);
  const TFd fd(::open(Path.c_str(), flags, 0644));
  const std::string header = File.Record.HeaderLine();
  struct stat st {};
  if (fd.Get() < 0 || !WriteAll(fd.Get(), header.data(), header.size(), 0) || ::fstat(fd.Get(), &st) != 0)
    return false;
  Remember(File, st);
  return true;
}

// One write, so a crash leaves at most a last line cut short.
bool TYEncReceiver::AppendRecord(TAssembly& File, const std::string& Path, std::string_view Text) {
  const TFd fd(::open(Path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
  struct stat before {
  }, after{};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &before) != 0)
    return false;
  const ssize_t n = ::write(fd.Get(), Text.data(), Text.size());
  if (n != ssize_t(Text.size())) {
    if (n >= 0)
      errno = ENOSPC;
    return false;
  }
  if (::fstat(fd.Get(), &after) != 0)
    return false;
  // What another window appended meanwhile is read at the next look.
  if (Unchanged(File, before))
    Remember(File, after);
  else
    File.Length = -1;
  return true;
}

void TYEncReceiver::ReportUnfinished() {
  for (auto& [partial, file] : FFiles) {
    std::string error;
    struct stat st {};
    // Another window may have finished it since.
    if (::lstat((partial + ".parts").c_str(), &st) != 0 || !LoadRecord(file, partial + ".parts", error))
      continue;
    const TYEncRecord& r = file.Record;
    if (r.Complete())
      continue;
    if (r.Total())
      Log(file.Name + ": " + std::to_string(r.PartsMissing()) + " of " + std::to_string(*r.Total()) +
          " parts missing");
    else
      Log(file.Name + ": " + std::to_string(r.Size() - r.BytesReceived()) + " of " +
          std::to_string(r.Size()) + " bytes missing");
  }
  FFiles.clear();
}
