#pragma once

// Verifies the PAR2 sets of a session folder with Debian's par2 (par2cmdline)
// once a walk has ended, and repairs a set when files are damaged or missing
// and its recovery files suffice. par2 runs in the background, one set at a
// time, and never holds up the window.
//
// par2 works in a work folder of hard links inside the session folder: the
// set's PAR2 files and data files under their own names, and the .partial
// of a yEnc file still missing parts under a neutral name, so that par2
// reads it for data blocks (missing ranges read as zeros). par2 is given
// its files as "/proc/self/cwd/<name>": par2 0.8.1 takes any file whose full
// path contains ".par2" for a recovery file and would not read a .partial
// below a group like alt.binaries.par2.test for data. Whatever par2 writes
// (repaired files, renamed damaged ones) stays in the work folder until it
// reports success; a repaired file is then handed over and its .partial
// deleted. Stopping par2 removes the work folder: the session folder is as
// it was before par2 started. The PAR2 files themselves stay.
//
// A set may name a file that a .partial is being put together for and yet
// describe other bytes (another post of that name, or a set made to hide
// it). A repaired file is taken for the .partial's file only when it has the
// size its record gives and, where the posts gave one, its crc32=; the
// CRC-32 is read a piece per turn of the event loop. Any other repaired file
// is stored as a file of its own, and the .partial and its record stay, so
// the post still comes together.
//
// Every name comes from the network: a set that names a file outside the
// folder is refused, from the names read here before par2 runs and from the
// names par2 reports before it repairs anything.
//
// The log gets one line per set: "<set>: all files correct", "<set>:
// repaired n files", "<set>: repair needs k more recovery blocks" or
// "<set>: verify failed: <reason>"; the status "Verifying <set> n%" or
// "Repairing <set> n%" while par2 runs.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class QProcess;
class QTimer;

class TRepair {
public:
  // A verify or repair that takes longer is stopped: something is wrong
  // with the set.
  static constexpr std::chrono::minutes TimeLimit{60};

  TRepair();
  ~TRepair();
  TRepair(const TRepair&) = delete;
  TRepair& operator=(const TRepair&) = delete;

  // The session folder, with its trailing "/".
  void SetFolder(std::string Folder) { FFolder = std::move(Folder); }
  // The par2 program; "par2" on the PATH unless a test says otherwise.
  void SetProgram(std::string Program) { FProgram = std::move(Program); }
  void SetTimeLimit(std::chrono::milliseconds Limit) { FTimeLimit = Limit; }
  // What one turn of the event loop reads of a repaired file for its
  // CRC-32: a few milliseconds' worth (tests make it small).
  static constexpr std::uint64_t CheckPiece = 8u << 20;
  void SetCheckPiece(std::uint64_t Bytes) { FCheckPiece = Bytes; }

  // A file stored in the session folder: its set is verified at the next Start.
  void Saved(const std::string& Name);
  // The walk has ended: verifies every set that got a file since the last
  // Start (a set whose PAR2 file came, or that names a file that came), one
  // after the other. A set already waiting is not added again.
  void Start();
  // Stops par2 at once and removes its work folder; the sets still waiting
  // are forgotten.
  void Stop();
  bool Running() const { return !FSet.Title.empty(); }

  // One line for the window's log.
  std::function<void(const std::string& Text)> OnLog;
  // A set that cannot repair its files, Title as the log names it
  // ("holiday.par2"), with the recovery blocks it lacks.
  std::function<void(const std::string& Title, std::int64_t Needed)> OnShort;
  // Progress of the running verify or repair; empty once no set is left.
  std::function<void(const std::string& Text)> OnStatus;
  // A repaired file at Path, to be stored under Name (a name of the set).
  // Completes: it is the file Name's .partial was being put together for,
  // and that .partial goes once it is stored; otherwise it is another file
  // of that name. The handler moves it away or raises; on a raise a
  // .partial stays.
  std::function<void(const std::string& Path, const std::string& Name, bool Completes)> OnFile;

private:
  struct TSet {
    std::string Title; // "<base>.par2", as the log names it
    std::string Base;
    std::string Par2;               // the PAR2 file par2 is given
    std::vector<std::string> Files; // the set's PAR2 files in the folder
  };
  enum TPhase : std::uint8_t { phVerify, phRepair };
  // A file par2 wrote, waiting to be handed over.
  struct TRepaired {
    std::string Name;
    // It may be the .partial's file: it has the record's size. Then the
    // record's crc32=, when there is one, is still to be compared.
    bool Fits = false;
    std::optional<std::uint32_t> Expected;
    std::uint64_t Size = 0, At = 0; // CRC-32 of [0, At) read so far
    std::uint32_t Crc = 0;
  };

  std::map<std::string, TSet> SetsInFolder() const;
  void Next();
  // Fills the work folder; the reason when the set cannot be verified.
  std::string Prepare();
  bool Link(const std::string& From, const std::string& To);
  void Run(TPhase Phase);
  void Read(bool Errors);
  void Line(std::string_view Line);
  void CheckName(const std::string& Name);
  void Finished(int ExitCode, bool Crashed);
  void FailedToStart();
  void TimedOut();
  // Lists the files par2 repaired, then hands them over.
  void StoreRepaired();
  // Reads a piece of a repaired file's CRC-32, or hands the next file over;
  // ends the set once none is left.
  void StoreSome();
  void Store(const TRepaired& File, bool Completes);
  // Logs the set's result and goes on with the next set (at the next turn
  // of the event loop when Later).
  void EndSet(const std::string& Result, bool Later = true);
  void Cleanup();
  void Log(const std::string& Text) const;
  void Status(const std::string& Text);

  std::string FFolder;
  std::string FProgram = "par2";
  std::chrono::milliseconds FTimeLimit = TimeLimit;
  std::uint64_t FCheckPiece = CheckPiece;
  bool FMissing = false; // par2 could not be started: nothing is verified

  std::set<std::string> FSaved; // names stored since the last Start
  std::deque<TSet> FQueue;
  TSet FSet; // the set par2 works on; no Title when none
  TPhase FPhase = phVerify;
  bool FRepairNext = false; // verify found a repair possible
  std::deque<TRepaired> FRepaired;
  int FStored = 0;

  std::unique_ptr<QProcess> FProcess;
  std::unique_ptr<QTimer> FLimit;
  std::unique_ptr<QTimer> FTurn; // the next piece of StoreSome
  bool FTimedOut = false;
  std::string FWork;                    // the work folder, with its trailing "/"; empty when none
  std::map<std::string, ino_t> FLinked; // the set's files linked, by name
  struct TPartial {
    std::string Link; // its neutral name in the work folder
    ino_t Inode = 0;
  };
  std::map<std::string, TPartial> FPartials; // the .partial linked, by the set's file name

  // What par2 said so far in this run.
  std::string FOut, FErr; // the line being read
  std::string FLastError;
  std::string FUnsafe;          // a name it reported that leaves the folder
  std::set<std::string> FNamed; // the other names it reported
  std::int64_t FNeeded = 0;
  std::string FShown;
};
