#pragma once

// Takes the yEnc parts out of a decode window's bodies as their lines arrive
// and puts the files they carry together in the session folder.
//
// Data lines are decoded into a buffer that is written out when it fills and
// at =yend, so a part of the usual size (under a megabyte) touches the disk
// once, after its checks. A single-part file goes into a hidden file of its
// own and is handed over whole. A part of a multi-part file is written at its
// offset into "<name>.partial"; "<name>.partial.parts" (TYEncRecord) lists the
// parts that arrived sound, so a later window on the same group goes on with
// the same file. Bytes that already arrived are never written again: a part
// that overlaps them is compared with them instead. Once every byte is there
// and the whole file's CRC-32 (when a part gave one) matches, the .partial is
// handed over. That check reads the file back; a large file is read a piece
// at a time, one piece per turn of the event loop, so the window stays
// responsive while a file of gigabytes is checked.
//
// Nothing here trusts a number from the network: no file is made larger than
// MaxFileSize, nothing is allocated or written ahead of the bytes that
// arrive, and every name is cut to its last part.

#include "codec/YEnc.h"
#include "session/YEncRecord.h"

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
  // Decoded bytes held before they are written out.
  static constexpr std::size_t BufferSize = 1u << 20;
  // What one turn of the event loop reads back of a whole file for its
  // check: a few milliseconds' worth. A smaller file is checked at once.
  static constexpr std::uint64_t CheckPiece = 8u << 20;
  static constexpr std::size_t CheckBufferSize = 256u << 10;

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
  // The part still open has no =yend to come (the body ended, was cut off,
  // or the window stops): it is dropped and nothing of it recorded. Why ends
  // the log line; an empty Why drops it without a word.
  void Drop(std::string_view Why);
  // Logs one line for each multi-part file this receiver wrote into that
  // still misses parts ("holiday.zip: 3 of 9 parts missing"), and forgets them.
  void ReportUnfinished();

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

  // One line for the window's log.
  std::function<void(const std::string& Text)> OnLog;
  // A whole file that checked out, at Path, to be stored under Name (the
  // last part of name=). The handler moves it away or raises; on a raise a
  // single-part file is deleted and a .partial stays for the next try.
  std::function<void(const std::string& Path, const std::string& Name)> OnFile;
  // A whole file waits for its check: CheckSome is to be called from the
  // event loop, not from within this call.
  std::function<void()> OnCheckWaiting;

private:
  enum TState : std::uint8_t { rsIdle, rsPart, rsSkip };

  // What this receiver knows of one .partial and its record.
  struct TAssembly {
    std::string Name;
    TYEncRecord Record;
    // The record file as last read or written: a record another window
    // changed since differs in one of these.
    ino_t Inode = 0;
    off_t Length = -1;
    timespec Modified{};
  };

  // A whole .partial being read back for its CRC-32.
  struct TCheck {
    std::string Partial, Name;
    std::uint64_t Size = 0;
    std::optional<std::uint32_t> Expected; // crc32= of the parts
    std::uint64_t At = 0;                  // read so far
    std::uint32_t Crc = 0;                 // of what was read
  };
  enum TCheckStep : std::uint8_t { csMore, csSound, csFailed };

  void Begin(std::string_view Line);
  void Place(std::string_view Line);
  void Data(std::string_view Line);
  void End(std::string_view Line);
  bool Flush();
  bool FlushSingle();
  bool FlushMulti();
  void FinishSingle();
  void FinishMulti();
  // Opens the current file's .partial for reading and writing, making it and
  // its record when neither is there; FAssembly then holds the record as on
  // disk. -1 after a Fail.
  int OpenPartial();
  bool LoadRecord(TAssembly& File, const std::string& Path, std::string& Error);
  bool StartRecord(TAssembly& File, const std::string& Path, bool Replace);
  bool AppendRecord(TAssembly& File, const std::string& Path, std::string_view Text);
  static bool Unchanged(const TAssembly& File, const struct stat& St);
  static void Remember(TAssembly& File, const struct stat& St);
  // Reads up to Budget more bytes of the file; at its end compares the CRC,
  // logging a file that fails.
  TCheckStep ReadBack(TCheck& Check, std::uint64_t Budget);
  bool Waiting(const std::string& Partial) const; // in FChecks
  void HandOver(const TCheck& Check);
  // Logs Text, drops the part, and passes over its lines up to its =yend
  // (Skip) or not.
  void Fail(const std::string& Text, bool Skip = true);
  void Discard();
  void Log(const std::string& Text) const;

  std::string PartialPath() const { return FFolder + FName + ".partial"; }
  std::string RecordPath() const { return PartialPath() + ".parts"; }

  TState FState = rsIdle;
  std::string FNextFolder, FFolder;
  TYEncPart FPart;
  std::string FName;
  TAssembly* FAssembly = nullptr; // the current multi-part file, once opened
  bool FConflict = false;         // the part differs from bytes that already arrived

  // Decoded bytes not written yet: FFill of them, for file offset FBufferAt.
  std::vector<char> FBuffer;
  std::size_t FFill = 0;
  std::uint64_t FBufferAt = 0;

  // A single-part file while it arrives.
  int FTempFd = -1;
  std::string FTempPath;

  // Multi-part files written into by this receiver, by .partial path.
  std::map<std::string, TAssembly> FFiles;

  // Multi-part files this receiver put together and handed over, by
  // .partial path: a part of one that comes again (a repost, a fill) makes
  // no new file.
  struct TDone {
    std::uint64_t Size = 0;
    std::optional<std::uint32_t> Crc;
  };
  std::map<std::string, TDone> FDone;

  // Whole files waiting for their check, the one being read first.
  std::deque<TCheck> FChecks;
  std::uint64_t FCheckPiece = CheckPiece;
  std::vector<char> FCheckBuffer;
};
