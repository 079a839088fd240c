#pragma once

#include <sys/types.h>

#include <string>

// One walker per session folder: a window and a walk from the command line
// (or two of either, in one process or in two) never write the same folder
// at once. The lock is an flock on a file in the folder, which the kernel
// releases when the process holding it dies; the holder writes its process
// id into the file, for the others to name it.
class TWalkLock {
public:
  TWalkLock() = default;
  ~TWalkLock() { Release(); }
  TWalkLock(const TWalkLock&) = delete;
  TWalkLock& operator=(const TWalkLock&) = delete;

  // Takes the lock of Folder (with its "/"). False when another holds it;
  // Holder() then says which process, 0 when it cannot be told. A folder
  // whose file system takes no locks is walked unlocked. Raises EInOutError
  // when the lock file cannot be made.
  bool Take(const std::string& Folder, const std::string& FileName);
  // Removes the lock file and lets go of it.
  void Release();
  // Taken and locked; a folder walked unlocked holds none.
  bool Held() const { return FFd >= 0; }
  pid_t Holder() const { return FHolder; }

private:
  int FFd = -1;
  std::string FPath;
  pid_t FHolder = 0;
};
