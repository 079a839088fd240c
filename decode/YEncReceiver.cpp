#include "decode/YEncReceiver.h"

#include "decode/YEncFiles.h"
#include "platform/Convert.h"
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

void TYEncReceiver::DataLines(std::string_view Run, std::size_t MaxLine, std::int64_t MaxLines,
                              std::size_t& Taken, std::int64_t& Lines) {
  const char* at = Run.data();
  // The lines gathered so far, decoded together once one does not join
  // them: the buffer holds their text whole, line ends included.
  const char* gathered = at;
  for (std::string_view raw;
       FState == rsPart && Lines < MaxLines && NextRunLine(at, Run.data() + Run.size(), MaxLine, raw);) {
    const std::string_view line = WithoutCR(raw);
    if (YEncKeyword(line) != ykNone)
      break;
    Taken = std::size_t(at - Run.data());
    ++Lines;
    if (FFill + std::size_t(at - gathered) <= FBuffer.size())
      continue;
    DataText(gathered, raw.data());
    gathered = at;
    Data(line);
  }
  DataText(gathered, Run.data() + Taken);
}

void TYEncReceiver::DataText(const char* From, const char* To) {
  if (From >= To || FState != rsPart)
    return;
  const std::uint64_t at = FPart.Position();
  Buffered(at, FPart.DecodeLinesLater(From, std::size_t(To - From), FBuffer.data() + FFill));
}

void TYEncReceiver::Begin(std::string_view Line) {
  if (FState == rsPart)
    Drop("no =yend before the next =ybegin");
  Discard();
  FFolder = FNextFolder;
  FFinished.SetFolder(FFolder);
  FState = rsPart;
  FSized = false;
  const std::string error = FPart.Begin(Line);
  if (!error.empty())
    return Fail(error + "; part skipped");
  // A name the folder refuses is shortened, for a multi-part file so far
  // that its .partial.parts fits too.
  if (FNameMaxOf != FFolder) { // asked of the file system once per folder, not per part
    FNameMaxOf = FFolder;
    FNameMax = NameMax(FFolder);
  }
  FStemRoom = FNameMax - (FPart.MultiPart() ? sizeof ".partial.parts" - 1 : 0);
  FName = FitName(LastPart(FPart.Header().Name), FStemRoom);
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
  FSized = true;
}

int TYEncReceiver::Percent() const {
  if (!FSized)
    return 0;
  const std::uint64_t size = FPart.FileSize();
  return size == 0 ? 100 : int(std::min<std::uint64_t>(100, FPart.Position() * 100 / size));
}

void TYEncReceiver::Place(std::string_view Line) {
  const std::string error = FPart.Part(Line);
  if (!error.empty())
    Fail(error + "; part skipped");
}

void TYEncReceiver::Data(std::string_view Line) {
  const std::size_t needed = FFill + Line.size();
  if (FBuffer.size() < needed) {
    // A part of a file in parts is held whole where it fits, so the copy it
    // goes into is chosen with all its bytes and its crc32=.
    if (FPart.MultiPart() && !FAssembly && needed <= PartBufferSize)
      FBuffer.resize(std::min(PartBufferSize, std::max(needed, 2 * FBuffer.size())));
    else if (!Flush())
      return;
    if (FBuffer.size() < Line.size())
      FBuffer.resize(Line.size());
  }
  const std::uint64_t at = FPart.Position();
  Buffered(at, FPart.DecodeLater(Line.data(), Line.size(), FBuffer.data() + FFill));
}

void TYEncReceiver::Buffered(std::uint64_t At, std::size_t Decoded) {
  if (FFill == 0)
    FBufferAt = At;
  FFill += Decoded;
}

void TYEncReceiver::TakeAhead(TYEncPart& Part, TByteBuffer& Buffer, std::size_t Fill, std::size_t Summed,
                              std::uint64_t At) {
  if (FState != rsPart)
    return;
  // The lines follow this part's =ypart at once, so nothing of it has been
  // decoded here; a part of another shape would be a fault of ours.
  if (!FSized || !FPart.MultiPart() || FAssembly || FFill != 0 || FPart.Decoded() != 0 ||
      FPart.Position() != At || Part.Offset() != FPart.Offset() || Part.RangeEnd() != FPart.RangeEnd() ||
      Fill > Buffer.size() || Summed > Fill)
    return Fail(FPart.Describe() + ": lines decoded ahead of their turn do not fit the part; part skipped");
  FPart = Part;
  std::swap(FBuffer, Buffer);
  FFill = Fill;
  FSummed = Summed;
  FBufferAt = At;
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
  FSized = false;
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

// "holiday.zip (1)": the number after the name, so the copies of a file
// list together, cut with the name to what the folder takes.
std::string TYEncReceiver::Stem(int Copy) const {
  return Copy == 0 ? FName : FitName(FName + " (" + std::to_string(Copy) + ")", FStemRoom);
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
  // Past the copies in use all are free, unless someone else wrote them
  // meanwhile: then the look goes on to the first free one. A name not
  // looked at before has all its copies looked at.
  int& inUseBefore = FCopiesInUse.try_emplace(Path(FName), MaxCopies - 1).first->second;
  const int looked = inUseBefore + 1;
  int inUse = 0, freeCopy = 0;
  for (int k = 0; k < MaxCopies && (k < looked || free.empty()); ++k) {
    TAssembly* file = nullptr;
    const std::string stem = Stem(k);
    const TLook look = LookAt(stem, file);
    if (look != lkFree)
      inUse = k + 1;
    if (look == lkFree && free.empty()) {
      free = stem;
      freeCopy = k;
    } else if (look == lkOurs && file->Name() == FName && file->Record.Size() == size &&
               !Differ(crc, file->Record.Crc()) && !Differ(total, file->Record.Total()))
      copies.push_back(file);
  }
  inUseBefore = inUse;
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
  inUseBefore = std::max(inUse, freeCopy + 1);
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
  if (::lstat(record.c_str(), &st) != 0) // a .partial without a record is not ours
    return errno == ENOENT && !hasPartial ? lkFree : lkTaken;
  TAssembly& file = FFiles[partial];
  file.Stem = Stem;
  std::string error;
  bool cut = false;
  TLook look = lkOurs;
  if (!LoadRecord(file, error, &cut, &st))
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
  if (FCheckBuffer.empty())
    FCheckBuffer.resize(CheckBufferSize);
  for (const TByteRange& r : File.Record.Received()) {
    if (r.From >= end)
      break;
    for (std::uint64_t at = std::max(r.From, FBufferAt), to = std::min(r.To, end); at < to;) {
      const std::size_t n = std::size_t(std::min<std::uint64_t>(to - at, FCheckBuffer.size()));
      if (!ReadAll(Fd, FCheckBuffer.data(), n, at)) {
        Sound = false;
        return false;
      }
      if (std::memcmp(FCheckBuffer.data(), FBuffer.data() + (at - FBufferAt), n) != 0)
        return false;
      at += n;
    }
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

// Reads the record again only when it changed since we last read or wrote
// it (another window on the same group may have added to it). Known is the
// record's lstat when the caller has just made it.
bool TYEncReceiver::LoadRecord(TAssembly& File, std::string& Error, bool* Cut, const struct stat* Known) {
  const std::string path = Path(File.Stem) + ".parts";
  struct stat st {};
  if (!Known && ::lstat(path.c_str(), &st) == 0)
    Known = &st;
  if (Known && S_ISREG(Known->st_mode) && Unchanged(File, *Known))
    return true;
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
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