#pragma once

// Takes the yEnc parts out of a decode window's bodies as their lines arrive
// and puts the files they carry together in the session folder.
//
// Data lines are decoded into a buffer that is written out when it fills and
// at =yend, so a part of the usual size (a part of a file in parts up to
// PartBufferSize) touches the disk once, after its checks. A single-part file goes into a hidden file of its
// own and is handed over whole. A part of a multi-part file is written at its
// offset into "<stem>.partial"; "<stem>.partial.parts" (TYEncRecord) lists
// the parts that arrived sound, so a later window on the same group goes on
// with the same file. The stem is the file's name, or "<name> (1)" and so on
// for another file of the same name (another size, another crc32=), for a
// copy that differs from the first (a bogus part among the real ones), and
// where something not ours holds the name. Bytes that already arrived are
// never written again: a part that overlaps them is compared with them
// instead, and goes to another copy when it differs.
//
// Once every byte is there, the whole file's CRC-32 (when a part gave one)
// is worked out from the parts' own CRCs; only bytes no record line vouches
// for (written by an older version, or by a window that did not close) are
// read back, a piece per turn of the event loop, so the window stays
// responsive while a file of gigabytes is checked. When the check fails, or
// copies of one name differ, the parts of all copies are combined into the
// file that crc32= describes. Files put together are listed in the folder
// (TYEncFinished), so their parts are passed over when they come again.
//
// Nothing here trusts a number from the network: no file is made larger than
// MaxFileSize, nothing is allocated or written ahead of the bytes that
// arrive, and every name is cut to its last part.

#include "codec/YEnc.h"
#include "decode/YEncFiles.h"
#include "decode/YEncFinished.h"
#include "decode/YEncRecord.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TYEncReceiver {
public:
  // size= is the poster's word; no file grows past this.
  static constexpr std::uint64_t MaxFileSize = 64ull << 30;
  // Decoded bytes held before they are written out; a part of a file in
  // parts, up to PartBufferSize, is held whole.
  static constexpr std::size_t BufferSize = 1u << 20;
  static constexpr std::size_t PartBufferSize = 4u << 20;
  // What one turn of the event loop reads back of a whole file for its
  // check: a few milliseconds' worth. Less is read at once.
  static constexpr std::uint64_t CheckPiece = 8u << 20;
  static constexpr std::size_t CheckBufferSize = 256u << 10;
  // Files of one name put together side by side at most.
  static constexpr int MaxCopies = 16;

  TYEncReceiver() = default;
  ~TYEncReceiver();
  TYEncReceiver(const TYEncReceiver&) = delete;
  TYEncReceiver& operator=(const TYEncReceiver&) = delete;

  // The session folder, with its trailing "/"; taken up by the next =ybegin.
  void SetFolder(std::string Folder) { FNextFolder = std::move(Folder); }
  // Between a =ybegin and its =yend: every line belongs to the part (or to
  // a broken part being passed over).
  bool Receiving() const { return FState != rsIdle; }

  // A line that is a yEnc keyword line, or any line while Receiving(). A
  // =ybegin drops a part still open; =ypart and =yend outside a part are
  // reported and passed over.
  void Line(std::string_view Line);
  // Lines of an open part in a row from Run's start, with their CR LF ends,
  // as Line takes them: its data lines, at most MaxLines of them, up to one
  // that is a keyword line, begins with "." or is longer than MaxLine. Taken
  // and Lines count what was taken so far, also when a line raises.
  void DataLines(std::string_view Run, std::size_t MaxLine, std::int64_t MaxLines, std::size_t& Taken,
                 std::int64_t& Lines);
  // The data lines of the open part that came ahead of their turn, decoded
  // (TYEncAhead): taken up as if they had come now. Part, Buffer and its
  // first Fill bytes (Summed of them in Part's CRC) stand for the part as
  // those lines leave it, from file offset At; Buffer gets the receiver's
  // own buffer in exchange. A part being passed over drops them, as it
  // would the lines.
  void TakeAhead(TYEncPart& Part, TByteBuffer& Buffer, std::size_t Fill, std::size_t Summed,
                 std::uint64_t At);
  // The part still open has no =yend to come (the body ended, was cut off,
  // or the window stops): it is dropped and nothing of it recorded. Why ends
  // the log line; an empty Why drops it without a word.
  void Drop(std::string_view Why);
  // Logs one line for each multi-part file this receiver wrote into that
  // still misses parts ("holiday.zip: 3 of 9 parts missing"), and forgets
  // them, once their bytes are on disk and their records say so.
  void ReportUnfinished();
  // Each multi-part file this receiver wrote into that still misses parts,
  // by its name, as its record stood when last read or written.
  void
  EachUnfinished(const std::function<void(const std::string& Name, const TYEncRecord& Record)>& Each) const;

  // Reads the next piece of a whole file waiting for its check, and hands the
  // file over (or logs why not) once it has been read. True while files are
  // still waiting: call again at a later turn of the event loop.
  bool CheckSome();
  // The check waits for a part of its own file that is arriving: there is
  // no hurry to call CheckSome again.
  bool CheckHeld() const;
  // Checks every file still waiting, to the end (the window closes).
  void CheckAll();
  // The file of this .partial was made whole without it (repaired from its
  // PAR2 set): a part of it still arriving is passed over, and one that
  // comes again makes no new .partial.
  void Forget(const std::string& Partial);
  // The bytes CheckSome reads at most (tests make it small).
  void SetCheckPiece(std::uint64_t Bytes) { FCheckPiece = Bytes; }

  // How much of the file whose part came last is decoded, in percent, as
  // far as that part has come: 0 before any part and after one skipped.
  int Percent() const;

  // One line for the window's log.
  std::function<void(const std::string& Text)> OnLog;
  // A whole file that checked out, at Path, to be stored under Name (the
  // last part of name=). The handler moves it away or raises; on a raise a
  // single-part file is deleted and a .partial stays for the next try.
  std::function<void(const std::string& Path, const std::string& Name)> OnFile;
  // A whole file waits for its check: CheckSome is to be called from the
  // event loop, not from within this call.
  std::function<void()> OnCheckWaiting;
  // A file that still misses parts, as ReportUnfinished logs it: the name
  // of the file and the log line.
  std::function<void(const std::string& Name, const std::string& Text)> OnUnfinished;

private:
  enum TState : std::uint8_t { rsIdle, rsPart, rsSkip };

  // What this receiver knows of one .partial and its record.
  struct TAssembly {
    std::string Stem;
    TYEncRecord Record;
    // The record file as last read or written: a record another window
    // changed since differs in one of these.
    ino_t Inode = 0;
    off_t Length = -1;
    timespec Modified{};
    // Parts this receiver wrote, or found in place, since the program
    // started, and the .partial they are in: their CRCs stand for their
    // bytes without a flush to disk.
    std::vector<TYEncEntry> Own;
    ino_t OwnInode = 0;
    bool Touched = false; // written into by this receiver
    const std::string& Name() const { return Record.Name().empty() ? Stem : Record.Name(); }
  };
  enum TLook : std::uint8_t { lkFree, lkOurs, lkTaken };

  // Bytes [From, To) of a file being checked, whose CRC-32 is known or
  // is to be read.
  struct TSegment {
    std::uint64_t From = 0, To = 0;
    std::optional<std::uint32_t> Crc;
  };
  // A whole .partial whose CRC-32 is being worked out.
  struct TCheck {
    std::string Stem, Name;
    std::uint64_t Size = 0;
    std::optional<std::uint32_t> Expected; // crc32= of the parts
    std::vector<TSegment> Segments;
    std::size_t Next = 0;  // segment
    std::uint64_t At = 0;  // read of it so far
    std::uint32_t Crc = 0; // of the segments before
    bool Rescue = true;    // a failure looks for other copies' parts
  };
  enum TCheckStep : std::uint8_t { csMore, csSound, csFailed };

  void Begin(std::string_view Line);
  void Place(std::string_view Line);
  void Data(std::string_view Line);
  // Whole data lines From..To, line ends included, that the buffer has
  // room for as they stand, in one pass.
  void DataText(const char* From, const char* To);
  // Decoded bytes the buffer took from the part's position At on.
  void Buffered(std::uint64_t At, std::size_t Decoded);
  void End(std::string_view Line);
  void SumBuffer();
  bool Flush();
  bool FlushSingle();
  bool FlushMulti();
  void FinishSingle();
  void FinishMulti();

  // Opens the .partial the part goes into, choosing it with the part's first
  // bytes: a copy of the file whose bytes agree with them, or a new one.
  // FAssembly then holds the record as on disk. -1 after a Fail.
  int OpenPartial();
  int Route();
  int Create(const std::string& Stem);
  // What lies under a stem's names; a record of ours is loaded into FFiles.
  TLook LookAt(const std::string& Stem, TAssembly*& File);
  void Adopt(TAssembly& File, int Fd);
  // The part's bytes in the buffer agree with those File already holds;
  // Sound false when they could not be read.
  bool Agrees(int Fd, const TAssembly& File, bool& Sound);
  bool WriteNew(int Fd, const TAssembly& File);
  // Cut tells a record a crash cut short before its header line.
  bool LoadRecord(TAssembly& File, std::string& Error, bool* Cut = nullptr,
                  const struct stat* Known = nullptr);
  bool StartRecord(TAssembly& File, bool Replace);
  bool AppendRecord(TAssembly& File, std::string_view Text);
  static bool Unchanged(const TAssembly& File, const struct stat& St);
  static void Remember(TAssembly& File, const struct stat& St);

  // After a part was recorded: checks a whole file, or combines copies.
  void Settle(TAssembly& File);
  void Check(TAssembly& File, bool Rescue);
  static std::vector<TSegment> Segments(const TYEncRecord& Record);
  // Works out the file's CRC-32 with up to Budget bytes read; at its end
  // compares it, logging a file that fails.
  TCheckStep ReadBack(TCheck& Check, std::uint64_t Budget);
  bool Waiting(const std::string& Stem) const; // in FChecks
  void HandOver(const TCheck& Check, std::optional<std::uint32_t> Crc);
  // A file of this name and size is made: it is listed as finished, and its
  // other copies that cannot become another file go.
  void Retire(const std::string& Name, std::uint64_t Size, std::optional<std::uint32_t> Crc);
  void Failed(const TCheck& Check);
  // Looks among the copies of a name and size for parts that make the file
  // crc32= describes, and puts them together in one copy.
  void Rescue(const std::string& Name, std::uint64_t Size);
  bool Copy(const TAssembly& From, const TYEncEntry& Entry, int To);
  bool Sync(TAssembly& File);

  // Logs Text, drops the part, and passes over its lines up to its =yend
  // (Skip) or not.
  void Fail(const std::string& Text, bool Skip = true);
  void Discard();
  void Log(const std::string& Text) const;

  std::string Stem(int Copy) const;
  std::string Path(const std::string& Stem) const { return FFolder + Stem + ".partial"; }
  std::string PartialPath() const { return Path(FAssembly->Stem); }
  std::string RecordPath() const { return PartialPath() + ".parts"; }

  TState FState = rsIdle;
  std::string FNextFolder, FFolder;
  TYEncPart FPart;
  bool FSized = false; // FPart began soundly: its file's size is known
  std::string FName;
  std::size_t FStemRoom = 0; // the longest stem the folder takes
  std::string FNameMaxOf;    // the folder whose longest name FNameMax is
  std::size_t FNameMax = 0;
  TAssembly* FAssembly = nullptr; // the current multi-part file, once opened
  bool FConflict = false;         // the part differs from bytes that already arrived

  // Decoded bytes not written yet: FFill of them, for file offset FBufferAt,
  // the first FSummed of them in the part's CRC-32 already.
  TByteBuffer FBuffer;
  std::size_t FFill = 0, FSummed = 0;
  std::uint64_t FBufferAt = 0;

  // A single-part file while it arrives.
  int FTempFd = -1;
  std::string FTempPath;

  // Multi-part files this receiver looked at, by .partial path.
  std::map<std::string, TAssembly> FFiles;
  // By the .partial path of a name's first copy: the copies of the name in
  // use when this receiver last looked at them all, the last one counting.
  // One walker writes a folder at a time (the walk's lock), so past them
  // lie only the copies this receiver begins itself, and a name's later
  // parts look at these and one more instead of at MaxCopies each time.
  std::map<std::string, int> FCopiesInUse;
  // Those put together in the folder before: a part of one that comes again
  // (a repost, a fill) makes no new file.
  TYEncFinished FFinished;

  // Whole files waiting for their check, the one being read first.
  std::deque<TCheck> FChecks;
  std::uint64_t FCheckPiece = CheckPiece;
  bool FChecking = false; // within CheckSome
  TByteBuffer FCheckBuffer;
};
