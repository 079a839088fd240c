#include "decode/Repair.h"

#include "codec/YEnc.h"
#include "decode/YEncRecord.h"
#include "platform/Convert.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What par2 is given a file as: the work folder is its working folder, and
// this path holds no ".par2" whatever folder the session lies in.
constexpr const char* WorkPath = "/proc/self/cwd/";

// par2 prints its progress on lines cut by CR; no line of it comes near this.
constexpr std::size_t MaxLine = 4096;

using uchar = unsigned char;

// A PAR2 file is a row of packets: a 64-byte header (magic, length, MD5 of
// the rest, set id, type) and a body. A file description names one file of
// the set after 56 bytes of ids, hashes and length.
constexpr std::string_view Magic("PAR2\0PKT", 8);
constexpr std::string_view FileDescription("PAR 2.0\0FileDesc", 16);
constexpr std::uint64_t HeaderSize = 64;
constexpr std::uint64_t NameAt = 56;
// No real set has more packets in one file (par2 makes at most 32768
// blocks) or more files; a longer name is no name a file can have here.
constexpr int MaxPackets = 1 << 17;
constexpr std::size_t MaxNames = 1 << 15;
constexpr std::uint64_t MaxDescription = HeaderSize + NameAt + 1024;

bool IsPar2Name(std::string_view name) {
  return name.size() > 5 && SameText(name.substr(name.size() - 5), ".par2");
}

// "holiday.vol03+04.par2" and "holiday.par2" belong to the set "holiday".
std::string SetBase(const std::string& name) {
  static const std::regex volume(R"((.*)\.vol\d+[+-]\d+)", std::regex::icase);
  std::smatch match;
  const std::string base = name.substr(0, name.size() - 5);
  return std::regex_match(base, match, volume) ? match[1].str() : base;
}

// A name that is a file right in the folder, and that par2's report shows
// as it is.
bool SafeName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == name.npos &&
         std::none_of(name.begin(), name.end(), [](char c) { return uchar(c) < 0x20; });
}

std::string Shown(std::string name) {
  std::replace_if(
      name.begin(), name.end(), [](char c) { return uchar(c) < 0x20; }, '?');
  return name;
}

std::uint64_t LittleEndian(const char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = value << 8 | uchar(bytes[i]);
  return value;
}

bool ReadAt(int fd, char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, data, size, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n, size -= std::size_t(n), at += std::uint64_t(n);
  }
  return true;
}

// Adds the names of the file descriptions whose MD5 holds. Only packet
// headers are read on the way, so a large recovery file costs a few reads;
// the first packet that is no packet ends the file for us (par2 then looks
// further, and its report of the names is checked too).
void ReadNames(const std::string& path, std::set<std::string>& names) {
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0)
    return;
  const std::uint64_t size = std::uint64_t(st.st_size);
  std::uint64_t at = 0;
  char header[HeaderSize];
  for (int n = 0; n < MaxPackets && size - at >= HeaderSize && names.size() < MaxNames; ++n) {
    if (!ReadAt(fd.Get(), header, HeaderSize, at) || std::string_view(header, 8) != Magic)
      return;
    const std::uint64_t length = LittleEndian(header + 8);
    if (length < HeaderSize || length % 4 != 0 || length > size - at)
      return;
    if (std::string_view(header + 48, 16) == FileDescription && length >= HeaderSize + NameAt &&
        length <= MaxDescription) {
      QByteArray packet(qsizetype(length - 32), '\0');
      if (!ReadAt(fd.Get(), packet.data(), std::size_t(packet.size()), at + 32))
        return;
      if (QCryptographicHash::hash(packet, QCryptographicHash::Md5) == QByteArrayView(header + 16, 16)) {
        const QByteArray name = packet.mid(qsizetype(32 + NameAt));
        names.insert(std::string(name.constData(), std::strlen(name.constData())));
      }
    }
    at += length;
  }
}

std::string Reason(int error) { return std::strerror(error); }

// What the record of a .partial says, when it can be read as one.
std::optional<TYEncRecord> ReadRecord(const std::string& path) {
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      std::uint64_t(st.st_size) > TYEncRecord::MaxText)
    return std::nullopt;
  std::string text(std::size_t(st.st_size), '\0');
  TYEncRecord record;
  if (!ReadAt(fd.Get(), text.data(), text.size(), 0) || !record.Parse(text))
    return std::nullopt;
  return record;
}

QString FromLocal(const std::string& name) { return QFile::decodeName(QByteArray::fromStdString(name)); }

} // namespace

TRepair::TRepair()
    : FProcess(std::make_unique<QProcess>()), FLimit(std::make_unique<QTimer>()),
      FTurn(std::make_unique<QTimer>()) {
  FLimit->setSingleShot(true);
  QObject::connect(FLimit.get(), &QTimer::timeout, [this] { Guarded([this] { TimedOut(); }); });
  FTurn->setSingleShot(true);
  QObject::connect(FTurn.get(), &QTimer::timeout, [this] { Guarded([this] { StoreSome(); }); });
  QProcess* p = FProcess.get();
  QObject::connect(p, &QProcess::readyReadStandardOutput, [this] { Guarded([this] { Read(false); }); });
  QObject::connect(p, &QProcess::readyReadStandardError, [this] { Guarded([this] { Read(true); }); });
  QObject::connect(p, &QProcess::finished, [this](int code, QProcess::ExitStatus status) {
    Guarded([&] { Finished(code, status == QProcess::CrashExit); });
  });
  QObject::connect(p, &QProcess::errorOccurred, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart)
      Guarded([this] { FailedToStart(); });
  });
}

TRepair::~TRepair() { Stop(); }

void TRepair::Log(const std::string& Text) const {
  if (OnLog)
    OnLog(Text);
}

void TRepair::Status(const std::string& Text) {
  if (Text == FShown)
    return;
  FShown = Text;
  if (OnStatus)
    OnStatus(Text);
}

void TRepair::Saved(const std::string& Name) {
  if (!FMissing)
    FSaved.insert(Name);
}

std::map<std::string, TRepair::TSet> TRepair::SetsInFolder() const {
  std::map<std::string, TSet> sets;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(FFolder, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!IsPar2Name(name) || !entry->is_regular_file(error) || entry->is_symlink(error))
      continue;
    sets[SetBase(name)].Files.push_back(name);
  }
  for (auto& [base, set] : sets) {
    set.Base = base;
    set.Title = base + ".par2";
    std::sort(set.Files.begin(), set.Files.end());
    // The index file when there is one; any recovery file holds the same.
    set.Par2 = set.Files.front();
    for (const std::string& file : set.Files)
      if (file.size() == base.size() + 5)
        set.Par2 = file;
  }
  return sets;
}

void TRepair::Start() {
  if (FMissing || FSaved.empty())
    return;
  const bool dataSaved =
      std::any_of(FSaved.begin(), FSaved.end(), [](const std::string& n) { return !IsPar2Name(n); });
  // Not a structured binding: the lambdas below refer to the set.
  for (auto& entry : SetsInFolder()) {
    const TSet& set = entry.second;
    bool touched = std::any_of(set.Files.begin(), set.Files.end(),
                               [&](const std::string& f) { return FSaved.count(f); });
    if (!touched && dataSaved) {
      std::set<std::string> names;
      ReadNames(FFolder + set.Par2, names);
      touched =
          std::any_of(names.begin(), names.end(), [&](const std::string& n) { return FSaved.count(n); });
    }
    if (touched &&
        std::none_of(FQueue.begin(), FQueue.end(), [&](const TSet& s) { return s.Base == set.Base; }))
      FQueue.push_back(set);
  }
  FSaved.clear();
  if (!Running())
    Next();
}

void TRepair::Next() {
  if (FRepairNext) {
    FRepairNext = false;
    return Run(phRepair);
  }
  if (Running())
    return;
  while (!FQueue.empty()) {
    FSet = std::move(FQueue.front());
    FQueue.pop_front();
    const std::string why = Prepare();
    if (why.empty())
      return Run(phVerify);
    EndSet("verify failed: " + why, false);
  }
  Status("");
}

std::string TRepair::Prepare() {
  std::set<std::string> names;
  for (const std::string& file : FSet.Files)
    ReadNames(FFolder + file, names);
  for (const std::string& name : names)
    if (!SafeName(name))
      return "the set names a file outside the folder: " + Shown(name);

  std::string work = FFolder + ".repair-XXXXXX";
  if (!::mkdtemp(work.data()))
    return "cannot create a folder in " + FFolder + ": " + Reason(errno);
  FWork = work + "/";
  for (const std::string& file : FSet.Files)
    if (!Link(file, file))
      return "cannot link " + file + ": " + Reason(errno);
  int extra = 0;
  for (const std::string& name : names) {
    struct stat st {};
    if (std::find(FSet.Files.begin(), FSet.Files.end(), name) != FSet.Files.end())
      continue;
    if (::lstat((FFolder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (!Link(name, name))
        return "cannot link " + Shown(name) + ": " + Reason(errno);
      FLinked[name] = st.st_ino;
    }
    // A yEnc file still missing parts, under a name of no meaning to par2.
    const std::string partial = name + ".partial";
    if (::lstat((FFolder + partial).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    std::string neutral;
    do
      neutral = std::to_string(++extra) + ".data";
    while (names.count(neutral));
    if (!Link(partial, neutral))
      return "cannot link " + Shown(partial) + ": " + Reason(errno);
    FPartials[name] = {neutral, st.st_ino};
  }
  return "";
}

bool TRepair::Link(const std::string& From, const std::string& To) {
  return ::link((FFolder + From).c_str(), (FWork + To).c_str()) == 0;
}

void TRepair::Run(TPhase Phase) {
  FPhase = Phase;
  FOut.clear(), FErr.clear(), FLastError.clear(), FUnsafe.clear();
  FNeeded = 0;
  FNamed.clear();
  FTimedOut = false;
  QStringList arguments{Phase == phVerify ? "verify" : "repair", WorkPath + FromLocal(FSet.Par2)};
  for (const auto& [name, partial] : FPartials)
    arguments << WorkPath + FromLocal(partial.Link);
  Status((Phase == phVerify ? "Verifying " : "Repairing ") + FSet.Title);
  FProcess->setWorkingDirectory(FromLocal(FWork));
  FLimit->start(FTimeLimit);
  FProcess->start(FromLocal(FProgram), arguments, QIODevice::ReadOnly);
}

void TRepair::Read(bool Errors) {
  std::string& rest = Errors ? FErr : FOut;
  const QByteArray data = Errors ? FProcess->readAllStandardError() : FProcess->readAllStandardOutput();
  rest.append(data.constData(), std::size_t(data.size()));
  std::size_t from = 0;
  for (std::size_t end; (end = rest.find_first_of("\r\n", from)) != rest.npos; from = end + 1) {
    const std::string_view line(rest.data() + from, end - from);
    if (!Errors)
      Line(line);
    else if (!line.empty())
      FLastError = line;
  }
  rest.erase(0, from);
  if (rest.size() > MaxLine)
    rest.clear();
}

void TRepair::Line(std::string_view Line) {
  if (Line.substr(0, 9) == "Target: \"") {
    // The name stands between the first quote and the last one before " - ".
    const std::size_t dash = Line.rfind("\" - ");
    CheckName(dash == Line.npos || dash < 9 ? std::string() : std::string(Line.substr(9, dash - 9)));
  } else if (const std::size_t match = Line.find("\" - is a match for \""); match != Line.npos) {
    // File: "1.data" - is a match for "holiday.zip".
    const std::size_t end = Line.rfind('"');
    CheckName(end > match + 20 ? std::string(Line.substr(match + 20, end - match - 20)) : std::string());
  } else if (Line.substr(0, 9) == "You need ") {
    std::from_chars(Line.data() + 9, Line.data() + Line.size(), FNeeded);
  } else if (Line.size() > 1 && Line.back() == '%') {
    // "Scanning: 42.3%"
    const std::size_t colon = Line.rfind(": ");
    int percent = 0;
    if (colon != Line.npos &&
        std::from_chars(Line.data() + colon + 2, Line.data() + Line.size(), percent).ec == std::errc())
      Status((FPhase == phVerify ? "Verifying " : "Repairing ") + FSet.Title + " " + std::to_string(percent) +
             "%");
  }
}

// par2 reports the names as it takes them from the packets it loaded, which
// may be more than those read here. It writes nothing before the repair, so
// a name leaving the folder in its report stops it in time.
void TRepair::CheckName(const std::string& Name) {
  if (SafeName(Name)) {
    if (FNamed.size() < MaxNames)
      FNamed.insert(Name);
    return;
  }
  if (!FUnsafe.empty())
    return;
  FUnsafe = Name.empty() ? "(no name)" : Shown(Name);
  if (FPhase == phRepair)
    FProcess->kill();
}

void TRepair::Finished(int ExitCode, bool Crashed) {
  FLimit->stop();
  Read(false);
  Read(true);
  Line(FOut);
  if (!FErr.empty())
    FLastError = FErr;
  if (!FUnsafe.empty())
    return EndSet("verify failed: the set names a file outside the folder: " + FUnsafe);
  if (FTimedOut)
    return EndSet("verify failed: par2 took longer than " +
                  std::to_string(std::chrono::duration_cast<std::chrono::minutes>(FTimeLimit).count()) +
                  " minutes");
  if (!Crashed && FPhase == phVerify && ExitCode == 1) {
    // Damaged or missing files, and enough blocks to repair them.
    FRepairNext = true;
    QTimer::singleShot(0, FProcess.get(), [this] { Guarded([this] { Next(); }); });
    return;
  }
  if (!Crashed && FPhase == phVerify && ExitCode == 0)
    return EndSet("all files correct");
  if (!Crashed && FPhase == phVerify && ExitCode == 2) {
    const std::string title = FSet.Title;
    const std::int64_t needed = FNeeded;
    EndSet("repair needs " + std::to_string(needed) + " more recovery blocks");
    if (OnShort)
      OnShort(title, needed);
    return;
  }
  if (!Crashed && FPhase == phRepair && ExitCode == 0)
    return StoreRepaired();
  std::string why = Crashed              ? "par2 stopped unexpectedly"
                    : FLastError.empty() ? "par2 ended with exit code " + std::to_string(ExitCode)
                                         : FLastError;
  if (why.size() > 1 && why.back() == '.')
    why.pop_back();
  EndSet("verify failed: " + why);
}

void TRepair::FailedToStart() {
  FLimit->stop();
  if (!FMissing)
    Log("PAR2 sets are not verified: par2 is not installed");
  FMissing = true;
  FQueue.clear();
  FSaved.clear();
  Cleanup();
  Status("");
}

void TRepair::TimedOut() {
  FTimedOut = true;
  FProcess->kill();
}

// par2 has made every file of the set whole. Those in the work folder that
// are not the files linked there under their names are repaired (written
// anew, or a .partial that held the whole file, renamed).
void TRepair::StoreRepaired() {
  FStored = 0;
  for (const std::string& name : FNamed) {
    struct stat st {};
    const auto linked = FLinked.find(name);
    if (::lstat((FWork + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (linked != FLinked.end() && linked->second == st.st_ino))
      continue;
    TRepaired file;
    file.Name = name;
    file.Size = std::uint64_t(st.st_size);
    if (FPartials.count(name)) {
      const std::optional<TYEncRecord> record = ReadRecord(FFolder + name + ".partial.parts");
      file.Fits = record && record->Size() == file.Size;
      file.Expected = file.Fits ? record->Crc() : std::nullopt;
    }
    FRepaired.push_back(std::move(file));
  }
  StoreSome();
}

void TRepair::StoreSome() {
  while (!FRepaired.empty()) {
    TRepaired& file = FRepaired.front();
    if (file.Expected && file.At < file.Size) {
      const TFd fd(::open((FWork + file.Name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      std::vector<char> buffer(std::size_t(std::min<std::uint64_t>(256u << 10, file.Size - file.At)));
      for (const std::uint64_t end = std::min(file.Size, file.At + FCheckPiece); file.At < end;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), end - file.At));
        // A file that cannot be read is no file whose CRC-32 is known.
        if (fd.Get() < 0 || !ReadAt(fd.Get(), buffer.data(), n, file.At)) {
          file.Fits = false;
          break;
        }
        file.Crc = Crc32(file.Crc, buffer.data(), n);
        file.At += n;
      }
      if (file.Fits && file.At < file.Size)
        return FTurn->start(0);
    }
    const TRepaired done = std::move(file);
    FRepaired.pop_front();
    Store(done, done.Fits && (!done.Expected || *done.Expected == done.Crc));
  }
  EndSet("repaired " + std::to_string(FStored) + " files");
}

// The .partial has served, and goes with its record, unless another window
// has begun a new one meanwhile.
void TRepair::Store(const TRepaired& File, bool Completes) {
  struct stat st {};
  const auto partial = FPartials.find(File.Name);
  // par2 took the .partial whole for another file of the name: it stays
  // the .partial, as no other name may share its bytes.
  if (!Completes && partial != FPartials.end() && ::lstat((FWork + File.Name).c_str(), &st) == 0 &&
      st.st_ino == partial->second.Inode)
    return;
  try {
    if (OnFile)
      OnFile(FWork + File.Name, File.Name, Completes);
    ++FStored;
    FSaved.erase(File.Name); // no new file of the set
  } catch (const std::exception& e) {
    Log(e.what());
    return;
  }
  const std::string path = FFolder + File.Name + ".partial";
  if (Completes && partial != FPartials.end() && ::lstat(path.c_str(), &st) == 0 &&
      st.st_ino == partial->second.Inode) {
    ::unlink(path.c_str());
    ::unlink((path + ".parts").c_str());
  }
}

void TRepair::EndSet(const std::string& Result, bool Later) {
  Log(FSet.Title + ": " + Result);
  Cleanup();
  if (Later)
    QTimer::singleShot(0, FProcess.get(), [this] { Guarded([this] { Next(); }); });
}

// The work folder goes with everything par2 left in it; the files it links
// to stay.
void TRepair::Cleanup() {
  if (!FWork.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(FWork, ignored);
  }
  FWork.clear();
  FSet = TSet{};
  FLinked.clear();
  FPartials.clear();
  FRepairNext = false;
  FRepaired.clear();
  FTurn->stop();
}

void TRepair::Stop() {
  FQueue.clear();
  if (FProcess->state() != QProcess::NotRunning) {
    // A killed par2 ends at once; its report is not wanted any more.
    const QSignalBlocker quiet(FProcess.get());
    FProcess->kill();
    FProcess->waitForFinished();
  }
  FLimit->stop();
  Cleanup();
  Status("");
}
