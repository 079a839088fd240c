#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Creates a folder and any missing parents. An existing or impossible folder
// is not an error: the file operations that follow report what went wrong.
void CreateFolder(const std::string& path);

bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);

// Renames from to to, never replacing an existing file (done atomically by the
// kernel, not by a check followed by a rename). False when it did not happen.
bool RenameFile(const std::string& from, const std::string& to);

// Appends text to a file, creating it when missing. Raises EInOutError.
void AppendText(const std::string& path, std::string_view text);

// The folder of the running executable, with a trailing "/".
std::string ProgramFolder();

// The full path of the entry of folder whose name equals name without regard
// to case; folder + name when there is none. folder ends in "/".
std::string FindFileNoCase(const std::string& folder, const std::string& name);

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
  void Write(std::string_view data);
  // Flushes and closes; raises when the data could not be written out.
  void Close();
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& Path() const { return FPath; }

private:
  std::FILE* FFile = nullptr;
  std::string FPath;
};

// Reads a whole file; raises EInOutError when it cannot be read.
std::string ReadFile(const std::string& path);
