#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Creates a folder and any missing parents. An existing or impossible folder
// is not an error: the file operations that follow report what went wrong.
void CreateFolder(const std::string& path);

bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);

// Gives the file at path the mode a file created now gets: 0666 less the
// user's umask. A link is not followed. False when it did not happen.
bool GiveNewFileMode(const std::string& path);

// Renames from to to, never replacing an existing file (done atomically by the
// kernel, not by a check followed by a rename). False when it did not happen.
bool RenameFile(const std::string& from, const std::string& to);

// Appends text to a file, creating it when missing. Raises EInOutError.
void AppendText(const std::string& path, std::string_view text);

// Makes a hard link to from named to, or when the file system cannot link,
// a copy. Never replaces an existing file. False when it did not happen.
bool LinkOrCopyFile(const std::string& from, const std::string& to);

// The folder of the running executable, with a trailing "/".
std::string ExecutableFolder();

// Where the program keeps its settings: the executable's folder when we may
// write there (a build tree, a portable copy), otherwise the per-user
// configuration folder, created when missing. With a trailing "/".
std::string ProgramFolder();
// The same choice for a given executable folder.
std::string ProgramFolderFor(const std::string& exeFolder);
// Whether the settings live in the per-user folder rather than beside the
// program: an installed copy's do.
bool IsInstalledCopy();
// Makes ProgramFolder() answer folder from now on, as the folder of an
// installed copy or of one beside its program (tests run each in a folder of
// their own); an empty folder brings the rule back.
void SetProgramFolder(std::string folder, bool installed = false);

// The full path of the entry of folder whose name equals name without regard
// to case; folder + name when there is none. folder ends in "/".
std::string FindFileNoCase(const std::string& folder, const std::string& name);

// A file descriptor (or -1), closed when the object goes away.
class TFd {
public:
  explicit TFd(int fd) : FFd(fd) {}
  ~TFd();
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }

private:
  int FFd;
};

// A file open for writing, created or truncated on open, closed when the
// object goes away. Every failure raises EInOutError naming the file.
class TFileWriter {
public:
  TFileWriter() = default;
  explicit TFileWriter(const std::string& path) { Create(path); }
  ~TFileWriter();
  TFileWriter(const TFileWriter&) = delete;
  TFileWriter& operator=(const TFileWriter&) = delete;

  void Create(const std::string& path);
  // Creates the file only when nothing holds its name (not even a link);
  // false when something does. Other failures raise.
  bool CreateNew(const std::string& path);
  // Opens for appending, creating the file when missing.
  void Append(const std::string& path);
  void Write(std::string_view data);
  // Bytes written so far, those still buffered included.
  std::int64_t Size() const;
  // Drops what was written past Size bytes; later writes follow them.
  void Truncate(std::int64_t Size);
  // Flushes and closes; raises when the data could not be written out. With
  // toDisk the data has reached the disk when it returns.
  void Close(bool toDisk = false);
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& Path() const { return FPath; }

private:
  void Open(const std::string& path, const char* mode, const char* what);

  std::FILE* FFile = nullptr;
  std::string FPath;
};

// Reads a whole file; raises EInOutError when it cannot be read.
std::string ReadFile(const std::string& path);
