#include "session/YEncReceiver.h"

#include "platform/FileOps.h"
#include "session/YEncTiling.h"

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

// Both known, and not the same.
template <typename T> bool Differ(const std::optional<T>& a, const std::optional<T>& b) {
  return a && b && *a != *b;
}

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
  FFinished.SetFolder(FFolder);
  FState = rsPart;
  const std::string error = FPart.Begin(Line);
  if (!error.empty())
    return Fail(error + "; part skipped");
  FName = LastPart(FPart.Header().Name);
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
  const std::size_t n = FPart.DecodeLater(Line.data(), Line.size(), FBuffer.data() + FFill);
  if (FFill == 0)
    FBufferAt = at;
  FFill += n;
}

void TYEncReceiver::End(std::string_view Line) {
  SumBuffer();
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
  FFill = FSummed = 0;
  FConflict = false;
  FAssembly = nullptr;
  if (FTempFd >= 0) {
    ::close(FTempFd);
    FTempFd = -1;
    ::unlink(FTempPath.c_str());
  }
}

// The CRC-32 over the whole buffer at once: line by line it costs several
// times as much.
void TYEncReceiver::SumBuffer() {
  FPart.Sum(FBuffer.data() + FSummed, FFill - FSummed);
  FSummed = FFill;
}

bool TYEncReceiver::Flush() {
  if (FFill == 0) // nothing to write, no file to make yet
    return true;
  SumBuffer();
  const bool done = FPart.MultiPart() ? FlushMulti() : FlushSingle();
  FFill = FSummed = 0;
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
  const bool placed = FAssembly != nullptr;
  const TFd fd(OpenPartial());
  if (fd.Get() < 0)
    return false;
  // A part longer than the buffer chose its copy with its first bytes: later
  // ones that differ fail it at =yend.
  bool sound = true;
  if (placed && !Agrees(fd.Get(), *FAssembly, sound))
    FConflict = true;
  if (!sound || !WriteNew(fd.Get(), *FAssembly)) {
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
  const TYEncEntry entry{*FPart.Header().Part, {FPart.Offset(), FPart.RangeEnd()},
                         FPart.Header().Total, FPart.CrcOfFile(),
                         FPart.Crc(),          true};
  if (FConflict)
    return Fail(what + ": differs from the bytes " + file.Stem + ".partial already holds; part skipped",
                false);
  if (Differ(entry.Crc, file.Record.Crc()))
    return Fail(what + ": its crc32= differs from the " + file.Stem +
                    ".partial being assembled; part skipped",
                false);
  if (Differ(entry.Total, file.Record.Total()))
    return Fail(what + ": its total= differs from the " + file.Stem +
                    ".partial being assembled; part skipped",
                false);
  if (entry.Range.From < entry.Range.To && !AppendRecord(file, TYEncRecord::PartLine(entry)))
    return Fail(what + ": cannot write " + RecordPath() + ": " + Reason(errno) + "; part skipped", false);
  file.Record.Add(entry);
  file.Own.push_back(entry);
  file.Touched = true;
  FState = rsIdle;
  FAssembly = nullptr;
  Settle(file);
}

std::string TYEncReceiver::Stem(int Copy) const {
  return Copy == 0 ? FName : FName + " (" + std::to_string(Copy) + ")";
}

int TYEncReceiver::OpenPartial() {
  if (!FAssembly)
    return Route();
  std::string error;
  int fd = -1;
  if (LoadRecord(*FAssembly, error) &&
      (fd = ::open(PartialPath().c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)) < 0)
    error = "cannot open " + PartialPath() + ": " + Reason(errno);
  if (fd < 0)
    Fail(FPart.Describe() + ": " + error + "; part skipped");
  else
    Adopt(*FAssembly, fd);
  return fd;
}

// The first part of a file, or a part whose bytes differ from every copy
// of it (a bogus part before the real one, or after it), starts a copy of
// its own; one of another size or crc32= is another file of the same name.
int TYEncReceiver::Route() {
  const std::string what = FPart.Describe();
  const std::uint64_t size = FPart.FileSize();
  const std::optional<std::uint32_t> crc = FPart.CrcOfFile(); // known at =yend
  const std::optional<std::uint64_t> total = FPart.Header().Total;
  if (FFinished.Has(FName, size, crc)) {
    Fail(what + ": " + FName + " is complete already; part skipped");
    return -1;
  }
  std::vector<TAssembly*> copies;
  std::string free;
  for (int k = 0; k < MaxCopies; ++k) {
    TAssembly* file = nullptr;
    const std::string stem = Stem(k);
    const TLook look = LookAt(stem, file);
    if (look == lkFree && free.empty())
      free = stem;
    else if (look == lkOurs && file->Name() == FName && file->Record.Size() == size &&
             !Differ(crc, file->Record.Crc()) && !Differ(total, file->Record.Total()))
      copies.push_back(file);
  }
  // The copy crc32= names goes first.
  std::stable_partition(copies.begin(), copies.end(),
                        [&](const TAssembly* f) { return crc && f->Record.Crc() == crc; });
  for (TAssembly* file : copies) {
    const int fd = ::open(Path(file->Stem).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    bool sound = true;
    if (fd >= 0 && Agrees(fd, *file, sound)) {
      FAssembly = file;
      Adopt(*file, fd);
      return fd;
    }
    if (fd >= 0)
      ::close(fd);
  }
  if (free.empty()) {
    Fail(what + ": " + std::to_string(MaxCopies) + " files named " + FName +
         " are being put together already; part skipped");
    return -1;
  }
  return Create(free);
}

// A new file: the record comes first, so a .partial without one is never
// ours to write into.
int TYEncReceiver::Create(const std::string& Stem) {
  const std::string partial = Path(Stem), record = partial + ".parts";
  struct stat st {};
  // What a crash cut short before its header, or the record of a .partial
  // that has gone.
  const bool replace = ::lstat(record.c_str(), &st) == 0;
  TAssembly& file = FFiles[partial];
  file = TAssembly{};
  file.Stem = Stem;
  file.Record = TYEncRecord(FPart.FileSize(), FName);
  std::string error;
  int fd = -1;
  if (!StartRecord(file, replace))
    error = "cannot create " + record + ": " + Reason(errno);
  else if ((fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644)) < 0) {
    error = "cannot create " + partial + ": " + Reason(errno);
    ::unlink(record.c_str());
  }
  if (fd < 0) {
    FFiles.erase(partial);
    Fail(FPart.Describe() + ": " + error + "; part skipped");
    return -1;
  }
  FAssembly = &file;
  Adopt(file, fd);
  return fd;
}

TYEncReceiver::TLook TYEncReceiver::LookAt(const std::string& Stem, TAssembly*& File) {
  const std::string partial = Path(Stem), record = partial + ".parts";
  struct stat st {};
  const bool hasPartial = ::lstat(partial.c_str(), &st) == 0;
  const bool regular = hasPartial && S_ISREG(st.st_mode);
  if (::lstat(record.c_str(), &st) != 0)
    return hasPartial ? lkTaken : lkFree; // a .partial without a record is not ours
  TAssembly& file = FFiles[partial];
  file.Stem = Stem;
  std::string error;
  bool cut = false;
  TLook look = lkOurs;
  if (!LoadRecord(file, error, &cut))
    // A record a crash cut before its header lists nothing: it is made
    // again. Any other is left as it is, and with it the .partial beside it.
    look = cut && !hasPartial ? lkFree : lkTaken;
  else if (!hasPartial) // its .partial has gone: the file starts again
    look = lkFree;
  else if (!regular)
    look = lkTaken;
  if (look == lkOurs)
    File = &file;
  else if (!file.Touched)
    FFiles.erase(partial);
  return look;
}

// Parts this receiver writes stand proven for the .partial they went into.
void TYEncReceiver::Adopt(TAssembly& File, int Fd) {
  struct stat st {};
  if (::fstat(Fd, &st) == 0 && st.st_ino != File.OwnInode) {
    File.Own.clear();
    File.OwnInode = st.st_ino;
  }
}

bool TYEncReceiver::Agrees(int Fd, const TAssembly& File, bool& Sound) {
  const std::uint64_t end = FBufferAt + FFill;
  std::vector<char> there;
  for (const TByteRange& r : File.Record.Received()) {
    if (r.From >= end)
      break;
    const std::uint64_t from = std::max(r.From, FBufferAt), to = std::min(r.To, end);
    if (from >= to)
      continue;
    there.resize(to - from);
    if (!ReadAll(Fd, there.data(), there.size(), from)) {
      Sound = false;
      return false;
    }
    if (std::memcmp(there.data(), FBuffer.data() + (from - FBufferAt), there.size()) != 0)
      return false;
  }
  return true;
}

// The buffer's bytes that have not arrived before.
bool TYEncReceiver::WriteNew(int Fd, const TAssembly& File) {
  const std::uint64_t end = FBufferAt + FFill;
  std::uint64_t at = FBufferAt;
  for (const TByteRange& r : File.Record.Received()) {
    if (r.To <= at)
      continue;
    if (at >= end)
      break;
    const std::uint64_t gapEnd = std::min(std::max(r.From, at), end);
    if (gapEnd > at && !WriteAll(Fd, FBuffer.data() + (at - FBufferAt), gapEnd - at, at))
      return false;
    at = std::min(r.To, end);
  }
  return at >= end || WriteAll(Fd, FBuffer.data() + (at - FBufferAt), end - at, at);
}

void TYEncReceiver::Settle(TAssembly& File) {
  // A part that came again while its file is being checked adds nothing.
  if (Waiting(File.Stem))
    return;
  if (File.Record.Complete())
    return Check(File, true);
  const std::string name = File.Name();
  const std::uint64_t size = File.Record.Size();
  if (std::count_if(FFiles.begin(), FFiles.end(), [&](const auto& f) {
        return f.second.Name() == name && f.second.Record.Size() == size;
      }) > 1)
    Rescue(name, size);
}

// The file's CRC-32 from the CRCs of its parts where their bytes are
// known to be in place, read back elsewhere.
std::vector<TYEncReceiver::TSegment> TYEncReceiver::Segments(const TYEncRecord& Record) {
  std::vector<const TYEncEntry*> proven;
  for (const TYEncEntry& e : Record.Entries())
    if (e.Proven && e.PCrc)
      proven.push_back(&e);
  std::sort(proven.begin(), proven.end(), [](const TYEncEntry* a, const TYEncEntry* b) {
    return a->Range.From < b->Range.From || (a->Range.From == b->Range.From && a->Range.To > b->Range.To);
  });
  std::vector<TSegment> segments;
  std::size_t i = 0;
  for (std::uint64_t at = 0; at < Record.Size();) {
    while (i < proven.size() && proven[i]->Range.From < at)
      ++i;
    if (i < proven.size() && proven[i]->Range.From == at) {
      segments.push_back({at, proven[i]->Range.To, proven[i]->PCrc});
    } else {
      const std::uint64_t next = i < proven.size() ? proven[i]->Range.From : Record.Size();
      segments.push_back({at, next, std::nullopt});
    }
    at = segments.back().To;
  }
  return segments;
}

void TYEncReceiver::Check(TAssembly& File, bool Rescue) {
  TCheck check{File.Stem, File.Name(), File.Record.Size(), File.Record.Crc(), Segments(File.Record)};
  check.Rescue = Rescue;
  std::uint64_t unread = 0;
  for (const TSegment& s : check.Segments)
    unread += s.Crc ? 0 : s.To - s.From;
  // Without crc32= there is nothing to compare with: no need to read.
  if (!check.Expected && unread > 0)
    return HandOver(check, std::nullopt);
  if (unread <= FCheckPiece) {
    const TCheckStep step = ReadBack(check, unread);
    return step == csSound ? HandOver(check, check.Crc) : Failed(check);
  }
  FChecks.push_back(std::move(check));
  if (FChecks.size() == 1 && !FChecking && OnCheckWaiting)
    OnCheckWaiting();
}

void TYEncReceiver::HandOver(const TCheck& Check, std::optional<std::uint32_t> Crc) {
  const std::string partial = Path(Check.Stem);
  try {
    if (OnFile)
      OnFile(partial, Check.Name);
  } catch (const std::exception& e) {
    Log(e.what());
    return;
  }
  ::unlink((partial + ".parts").c_str());
  FFiles.erase(partial);
  if (!FFinished.Add(Check.Name, Check.Size, Crc))
    Log("cannot write " + FFolder + TYEncFinished::FileName + ": " + Reason(errno));
  // Other copies of the name and size can no longer become a file: their
  // parts are passed over from now on.
  for (auto f = FFiles.begin(); f != FFiles.end();) {
    const TAssembly& copy = f->second;
    if (&copy != FAssembly && !Waiting(copy.Stem) && copy.Name() == Check.Name &&
        copy.Record.Size() == Check.Size && (Crc ? !Differ(copy.Record.Crc(), Crc) : !copy.Record.Crc())) {
      ::unlink((f->first + ".parts").c_str());
      ::unlink(f->first.c_str());
      f = FFiles.erase(f);
    } else {
      ++f;
    }
  }
}

void TYEncReceiver::Failed(const TCheck& Check) {
  if (Check.Rescue)
    Rescue(Check.Name, Check.Size);
}

// Parts of several copies make the file crc32= describes: they are put
// together in a copy that holds nothing else, and that copy is checked.
void TYEncReceiver::Rescue(const std::string& Name, std::uint64_t Size) {
  std::vector<TAssembly*> copies;
  std::vector<std::uint32_t> crcs;
  std::string error;
  for (auto& [partial, file] : FFiles)
    if (&file != FAssembly && file.Name() == Name && file.Record.Size() == Size && !Waiting(file.Stem) &&
        LoadRecord(file, error))
      copies.push_back(&file);
  // Only once every byte is there in one copy or another.
  TYEncRecord all(Size, Name);
  for (const TAssembly* file : copies)
    for (const TByteRange& r : file->Record.Received())
      all.Add({1, r, {}, {}, {}});
  if (copies.size() < 2 || !all.Complete())
    return;
  for (const TAssembly* file : copies)
    for (const TYEncEntry& e : file->Record.Entries())
      if (e.Crc && std::find(crcs.begin(), crcs.end(), *e.Crc) == crcs.end())
        crcs.push_back(*e.Crc);
  struct TSource {
    TAssembly* File;
    const TYEncEntry* Entry;
  };
  for (const std::uint32_t crc : crcs) {
    std::vector<TTile> tiles;
    std::vector<TSource> sources;
    for (const bool named : {true, false}) // the parts that say crc32= first
      for (TAssembly* file : copies)
        for (const TYEncEntry& e : file->Record.Entries())
          if (e.PCrc && (named ? e.Crc == crc : !e.Crc)) {
            tiles.push_back({e.Range, *e.PCrc});
            sources.push_back({file, &e});
          }
    const std::vector<std::size_t> chosen = FindTiling(tiles, Size, crc);
    if (chosen.empty())
      continue;
    const auto isChosen = [&](const TYEncEntry& e) {
      return std::any_of(chosen.begin(), chosen.end(), [&](std::size_t i) {
        return tiles[i].Range.From == e.Range.From && tiles[i].Range.To == e.Range.To &&
               e.PCrc == tiles[i].Crc;
      });
    };
    TAssembly* into = nullptr;
    std::uint64_t most = 0;
    for (TAssembly* file : copies) {
      const std::vector<TYEncEntry>& entries = file->Record.Entries();
      if (!std::all_of(entries.begin(), entries.end(), isChosen))
        continue;
      const std::uint64_t held = file->Record.BytesReceived();
      if (!into || held > most)
        into = file, most = held;
    }
    if (!into || into->Record.Complete()) // a whole copy was checked on its own
      return;
    const std::string target = Path(into->Stem);
    const TFd fd(::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    std::string lines;
    std::vector<TYEncEntry> added;
    for (const std::size_t i : chosen) {
      const TYEncEntry& e = *sources[i].Entry;
      if (sources[i].File == into || std::any_of(added.begin(), added.end(), [&](const TYEncEntry& a) {
            return a.Range.From == e.Range.From && a.Range.To == e.Range.To;
          }))
        continue;
      if (fd.Get() < 0 || !Copy(*sources[i].File, e, fd.Get())) {
        Log(Name + ": cannot copy part " + std::to_string(e.Part) + " from " + sources[i].File->Stem +
            ".partial into " + target + ": " + Reason(errno));
        return;
      }
      lines += TYEncRecord::PartLine(e);
      added.push_back(e);
    }
    if (!AppendRecord(*into, lines)) {
      Log(Name + ": cannot write " + target + ".parts: " + Reason(errno));
      return;
    }
    Adopt(*into, fd.Get());
    for (const TYEncEntry& e : added) {
      into->Record.Add(e);
      if (e.Proven)
        into->Own.push_back(e);
    }
    into->Touched = true;
    if (into->Record.Complete())
      Check(*into, false);
    return;
  }
}

// The bytes of a part from one .partial into another, by the kernel where
// it can.
bool TYEncReceiver::Copy(const TAssembly& From, const TYEncEntry& Entry, int To) {
  const TFd from(::open(Path(From.Stem).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (from.Get() < 0)
    return false;
  loff_t in = loff_t(Entry.Range.From), out = in;
  const loff_t end = loff_t(Entry.Range.To);
  while (in < end) {
    const ssize_t n = ::copy_file_range(from.Get(), &in, To, &out, std::size_t(end - in), 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
  }
  if (FCheckBuffer.empty())
    FCheckBuffer.resize(CheckBufferSize);
  for (std::size_t n; in < end; in += loff_t(n)) {
    n = std::size_t(std::min<loff_t>(end - in, loff_t(FCheckBuffer.size())));
    if (!ReadAll(from.Get(), FCheckBuffer.data(), n, std::uint64_t(in)) ||
        !WriteAll(To, FCheckBuffer.data(), n, std::uint64_t(in)))
      return false;
  }
  return true;
}

// A part of the same file is arriving (it came again) and has begun to be
// compared with the file's bytes: the file stays where it is until that
// part has ended.
bool TYEncReceiver::CheckHeld() const {
  return !FChecks.empty() && FAssembly && FAssembly->Stem == FChecks.front().Stem;
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
  // A check that a failure starts goes on with this one's turns.
  FChecking = true;
  if (step == csSound)
    HandOver(done, done.Crc);
  else
    Failed(done);
  FChecking = false;
  return !FChecks.empty();
}

bool TYEncReceiver::Waiting(const std::string& Stem) const {
  return std::any_of(FChecks.begin(), FChecks.end(), [&](const TCheck& c) { return c.Stem == Stem; });
}

// A part still open is dropped first without a word: the caller says why.
void TYEncReceiver::CheckAll() {
  Drop("");
  const std::uint64_t piece = std::exchange(FCheckPiece, ~std::uint64_t(0));
  while (CheckSome()) {
  }
  FCheckPiece = piece;
}

TYEncReceiver::TCheckStep TYEncReceiver::ReadBack(TCheck& Check, std::uint64_t Budget) {
  const bool reads = std::any_of(Check.Segments.begin() + std::ptrdiff_t(Check.Next), Check.Segments.end(),
                                 [](const TSegment& s) { return !s.Crc; });
  const TFd fd(reads ? ::open(Path(Check.Stem).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1);
  bool read = !reads || fd.Get() >= 0;
  // The part buffer when it holds nothing (it is warm in the cache), else a
  // smaller one of the check's own.
  if (reads && FFill > 0 && FCheckBuffer.empty())
    FCheckBuffer.resize(CheckBufferSize);
  if (reads && FBuffer.empty())
    FBuffer.resize(BufferSize);
  std::vector<char>& chunk = FFill == 0 ? FBuffer : FCheckBuffer;
  while (read && Check.Next < Check.Segments.size()) {
    const TSegment& s = Check.Segments[Check.Next];
    if (s.Crc) {
      Check.Crc = Crc32Combine(Check.Crc, *s.Crc, s.To - s.From);
      ++Check.Next;
      continue;
    }
    if (Budget == 0)
      return csMore;
    const std::size_t n =
        std::size_t(std::min<std::uint64_t>({chunk.size(), s.To - s.From - Check.At, Budget}));
    read = ReadAll(fd.Get(), chunk.data(), n, s.From + Check.At);
    Check.Crc = Crc32(Check.Crc, chunk.data(), n);
    Budget -= n;
    if ((Check.At += n) == s.To - s.From) {
      ++Check.Next;
      Check.At = 0;
    }
  }
  if (!read) {
    Log(Check.Stem + ".partial: cannot read it back: " + Reason(errno));
    return csFailed;
  }
  if (Check.Expected && *Check.Expected != Check.Crc) {
    char text[64];
    std::snprintf(text, sizeof text, "CRC-32 %08x does not match crc32=%08x", unsigned(Check.Crc),
                  unsigned(*Check.Expected));
    Log(Check.Name + ": all parts are here, but " + text + "; kept as " + Check.Stem + ".partial");
    return csFailed;
  }
  return csSound;
}

// Reads the record again only when it changed since we last read or wrote
// it (another window on the same group may have added to it).
bool TYEncReceiver::LoadRecord(TAssembly& File, std::string& Error, bool* Cut) {
  const std::string path = Path(File.Stem) + ".parts";
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
    Error = "cannot read " + path + ": " + Reason(errno);
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
    if (Cut)
      *Cut = !sound && TYEncRecord::CutHeader(text);
  }
  if (!sound) {
    File.Length = -1;
    Error = File.Stem + ".partial.parts is no record of parts";
    return false;
  }
  Remember(File, st);
  // What this receiver wrote stands proven while its .partial is the same file.
  struct stat partial {};
  if (!File.Own.empty() && ::lstat(Path(File.Stem).c_str(), &partial) == 0 && partial.st_ino == File.OwnInode)
    File.Record.Prove(File.Own);
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

bool TYEncReceiver::StartRecord(TAssembly& File, bool Replace) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (Replace ? O_TRUNC : O_EXCL);
  const TFd fd(::open((Path(File.Stem) + ".parts").c_str(), flags, 0644));
  const std::string header = File.Record.HeaderLine();
  struct stat st {};
  if (fd.Get() < 0 || !WriteAll(fd.Get(), header.data(), header.size(), 0) || ::fstat(fd.Get(), &st) != 0)
    return false;
  Remember(File, st);
  return true;
}

// One write, so a crash leaves at most a last line cut short.
bool TYEncReceiver::AppendRecord(TAssembly& File, std::string_view Text) {
  const TFd fd(::open((Path(File.Stem) + ".parts").c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
  struct stat before {
  }, after{};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &before) != 0 || !TYEncRecord::Append(fd.Get(), Text) ||
      ::fstat(fd.Get(), &after) != 0)
    return false;
  // What another window appended meanwhile is read at the next look.
  if (Unchanged(File, before))
    Remember(File, after);
  else
    File.Length = -1;
  return true;
}

// The .partial to disk, and then a line saying so: a later window takes
// the CRCs of the parts recorded so far for their bytes.
bool TYEncReceiver::Sync(TAssembly& File) {
  const std::string partial = Path(File.Stem);
  const TFd fd(::open(partial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  return fd.Get() >= 0 && ::lstat((partial + ".parts").c_str(), &st) == 0 && ::fdatasync(fd.Get()) == 0 &&
         AppendRecord(File, TYEncRecord::SyncedLine(std::uint64_t(st.st_size)));
}

void TYEncReceiver::ReportUnfinished() {
  for (auto& [partial, file] : FFiles) {
    std::string error;
    struct stat st {};
    // Another window may have finished it since.
    if (!file.Touched || ::lstat((partial + ".parts").c_str(), &st) != 0 || !LoadRecord(file, error))
      continue;
    const TYEncRecord& r = file.Record;
    if (r.Complete())
      continue;
    Sync(file);
    if (r.Total())
      Log(file.Name() + ": " + std::to_string(r.PartsMissing()) + " of " + std::to_string(*r.Total()) +
          " parts missing");
    else
      Log(file.Name() + ": " + std::to_string(r.Size() - r.BytesReceived()) + " of " +
          std::to_string(r.Size()) + " bytes missing");
  }
  FFiles.clear();
}
