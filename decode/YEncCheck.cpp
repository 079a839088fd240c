// The whole-file side of TYEncReceiver: once every byte of a multi-part file
// is there, its CRC-32 is worked out and the file handed over; copies of a
// name that differ are combined; files still unfinished are reported.

#include "decode/YEncReceiver.h"

#include "decode/YEncFiles.h"
#include "decode/YEncTiling.h"
#include "platform/FileOps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

// A record read once, for what it says.
bool ReadRecord(const std::string& Path, TYEncRecord& Record) {
  const TFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      std::uint64_t(st.st_size) > TYEncRecord::MaxText)
    return false;
  std::string text(std::size_t(st.st_size), '\0');
  return ReadAll(fd.Get(), text.data(), text.size(), 0) && Record.Parse(text);
}

} // namespace

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
  TByteBuffer& chunk = FFill == 0 ? FBuffer : FCheckBuffer;
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
  Retire(Check.Name, Check.Size, Crc);
}

// Made whole from its PAR2 set: the .partial's record says what the file is,
// and the repair takes the .partial away.
void TYEncReceiver::Forget(const std::string& Partial) {
  const std::size_t start = Partial.rfind('/') + 1; // 0 without a folder
  TAssembly file;
  file.Stem = Partial.substr(start, Partial.size() - start - std::strlen(".partial"));
  std::erase_if(FChecks, [&](const TCheck& c) { return c.Stem == file.Stem; });
  const auto known = FFiles.find(Partial);
  if (known != FFiles.end()) {
    file.Record = known->second.Record;
    if (FAssembly == &known->second)
      Fail(FPart.Describe() + ": " + file.Name() + " is complete already; part skipped");
    FFiles.erase(known);
  } else if (!ReadRecord(Partial + ".parts", file.Record)) {
    return;
  }
  FFinished.SetFolder(Partial.substr(0, start));
  Retire(file.Name(), file.Record.Size(), file.Record.Crc());
}

void TYEncReceiver::Retire(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc) {
  if (!FFinished.Add(Name, Size, Crc))
    Log("cannot write " + FFolder + TYEncFinished::FileName + ": " + Reason(errno));
  // Other copies of the name and size can no longer become a file: their
  // parts are passed over from now on.
  for (auto f = FFiles.begin(); f != FFiles.end();) {
    const TAssembly& copy = f->second;
    if (!Waiting(copy.Stem) && copy.Name() == Name && copy.Record.Size() == Size &&
        (Crc ? !Differ(copy.Record.Crc(), Crc) : !copy.Record.Crc())) {
      if (FAssembly == &copy)
        Fail(FPart.Describe() + ": " + Name + " is complete already; part skipped");
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

// The .partial to disk, and then a line saying so: a later window takes
// the CRCs of the parts recorded so far for their bytes.
bool TYEncReceiver::Sync(TAssembly& File) {
  const std::string partial = Path(File.Stem);
  const TFd fd(::open(partial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  return fd.Get() >= 0 && ::lstat((partial + ".parts").c_str(), &st) == 0 && ::fdatasync(fd.Get()) == 0 &&
         AppendRecord(File, TYEncRecord::SyncedLine(std::uint64_t(st.st_size)));
}

void TYEncReceiver::EachUnfinished(
    const std::function<void(const std::string& Name, const TYEncRecord& Record)>& Each) const {
  for (const auto& [partial, file] : FFiles) {
    struct stat st {};
    if (file.Touched && !file.Record.Complete() && ::lstat((partial + ".parts").c_str(), &st) == 0)
      Each(file.Name(), file.Record);
  }
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
    const std::string text = r.Total() ? file.Name() + ": " + std::to_string(r.PartsMissing()) + " of " +
                                             std::to_string(*r.Total()) + " parts missing"
                                       : file.Name() + ": " + std::to_string(r.Size() - r.BytesReceived()) +
                                             " of " + std::to_string(r.Size()) + " bytes missing";
    Log(text);
    if (OnUnfinished)
      OnUnfinished(file.Name(), text);
  }
  FFiles.clear();
}
