#include "settings/Passwords.h"

#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"

#include <QFile>
#include <QStandardPaths>
#include <qt6keychain/keychain.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool KeychainEnabled = true;

constexpr char Service[] = "Vostel";
// A file larger than this is no file of ours; what lies past it is not read.
constexpr std::size_t MaxFileSize = 1 << 20;
constexpr char FileHeader[] = "# Vostel: server entry, TAB, password. Keep this file to yourself.\r\n";
constexpr char InKeychain[] = "Password kept in the desktop's keychain";
constexpr char Removed[] = "Password removed";

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Closes the descriptor on every path.
struct TDescriptor {
  int Fd;
  ~TDescriptor() {
    if (Fd >= 0)
      ::close(Fd);
  }
};

void WriteAll(int fd, const std::string& text, const std::string& path) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw EInOutError(SystemError("Cannot write", path));
    done += std::size_t(n);
  }
}

} // namespace

TPasswordStore::TPasswordStore(QObject* parent) : QObject(parent), FKeychain(KeychainEnabled) {}

TPasswordStore::~TPasswordStore() = default;

void TPasswordStore::SetKeychainEnabled(bool Enabled) { KeychainEnabled = Enabled; }

std::string TPasswordStore::FilePath() {
  return QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
             .toStdString() +
         "/passwords";
}

void TPasswordStore::Load(const std::vector<std::string>& Servers) {
  ReadFile();
  FPasswords = FInFile;
  if (!FKeychain || Servers.empty()) {
    if (OnLoaded)
      OnLoaded();
    return;
  }
  FReading += int(Servers.size());
  for (const std::string& server : Servers) {
    auto* job = new QKeychain::ReadPasswordJob(Service, this);
    job->setKey(ToQt(server));
    connect(job, &QKeychain::Job::finished, this, [this, server](QKeychain::Job* done) {
      Guarded([&] { ReadDone(server, *done); });
      if (--FReading == 0 && OnLoaded)
        Guarded([this] { OnLoaded(); });
    });
    job->start();
  }
}

std::string TPasswordStore::Password(const std::string& Server) const {
  const auto it = FPasswords.find(Server);
  return it == FPasswords.end() ? std::string() : it->second;
}

void TPasswordStore::SetPassword(const std::string& Server, const std::string& Password) {
  // Either would end the line it is kept on, or the AUTHINFO command.
  if (Server.find_first_of(std::string("\t\r\n\0", 4)) != std::string::npos ||
      Password.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw Exception("A password or server name cannot hold a line break");
  FChanged.insert(Server);
  if (Password.empty())
    FPasswords.erase(Server);
  else
    FPasswords[Server] = Password;
  if (!FKeychain) {
    KeepInFile(Server, Password);
    Stored(Password.empty() ? Removed : "Password kept in " + FilePath() + ", readable only by you");
    return;
  }
  QKeychain::Job* job = nullptr;
  if (Password.empty()) {
    job = new QKeychain::DeletePasswordJob(Service, this);
  } else {
    auto* write = new QKeychain::WritePasswordJob(Service, this);
    write->setBinaryData(QByteArray(Password.data(), qsizetype(Password.size())));
    job = write;
  }
  job->setKey(ToQt(Server));
  connect(job, &QKeychain::Job::finished, this, [this, Server, Password](QKeychain::Job* done) {
    Guarded([&] { WriteDone(Server, Password, *done); });
  });
  job->start();
}

// A keychain that answers with anything but the password or "no such
// entry" is not there (no Secret Service on the session bus, say): from
// now on the file keeps the passwords.
void TPasswordStore::ReadDone(const std::string& Server, QKeychain::Job& Job) {
  if (Job.error() == QKeychain::NoError) {
    if (!FChanged.count(Server)) {
      const QByteArray data = static_cast<QKeychain::ReadPasswordJob&>(Job).binaryData();
      FPasswords[Server] = data.toStdString();
    }
  } else if (Job.error() != QKeychain::EntryNotFound) {
    FKeychain = false;
  }
}

// Once the keychain holds the password the file no longer does; when the
// keychain failed the file takes it instead.
void TPasswordStore::WriteDone(const std::string& Server, const std::string& Password, QKeychain::Job& Job) {
  const bool removing = Password.empty();
  if (Job.error() == QKeychain::NoError || (removing && Job.error() == QKeychain::EntryNotFound)) {
    KeepInFile(Server, "");
    Stored(removing ? Removed : InKeychain);
    return;
  }
  FKeychain = false;
  KeepInFile(Server, Password);
  Stored(removing ? Removed : "Password kept in " + FilePath() + ", readable only by you");
}

void TPasswordStore::Stored(const std::string& Where) {
  if (OnStored)
    OnStored(Where);
}

void TPasswordStore::KeepInFile(const std::string& Server, const std::string& Password) {
  ReadFile(); // another copy of the program may have written it meanwhile
  const auto it = FInFile.find(Server);
  if (Password.empty() ? it == FInFile.end() : it != FInFile.end() && it->second == Password)
    return;
  if (Password.empty())
    FInFile.erase(it);
  else
    FInFile[Server] = Password;
  WriteFile();
}

// A file that others may read (copied in from elsewhere, say) is made the
// user's alone before anything is read from it.
void TPasswordStore::ReadFile() {
  FInFile.clear();
  const std::string path = FilePath();
  const TDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
  if (file.Fd < 0) {
    if (errno == ENOENT)
      return;
    throw EInOutError(SystemError("Cannot read", path));
  }
  struct stat info {};
  if (::fstat(file.Fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw EInOutError("Cannot read " + path + ": not a file");
  if ((info.st_mode & 077) != 0 && ::fchmod(file.Fd, 0600) != 0)
    throw EInOutError(SystemError("Cannot make private", path));
  std::string text;
  char buffer[4096];
  for (ssize_t n; text.size() < MaxFileSize && (n = ::read(file.Fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw EInOutError(SystemError("Cannot read", path));
    text.append(buffer, std::size_t(n));
  }
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    const std::size_t tab = line.find('\t');
    if (line.empty() || line.front() == '#' || tab == std::string::npos || tab + 1 == line.size())
      continue;
    FInFile[line.substr(0, tab)] = line.substr(tab + 1);
  }
}

// The new file is made with mode 0600 under another name and renamed over
// the old one, so that the passwords are never readable by others, not even
// for a moment, and a failed write leaves the old file whole.
void TPasswordStore::WriteFile() {
  const std::string path = FilePath();
  CreateFolder(path.substr(0, path.rfind('/')));
  if (FInFile.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      throw EInOutError(SystemError("Cannot delete", path));
    return;
  }
  std::string text = FileHeader;
  for (const auto& [server, password] : FInFile)
    text += server + "\t" + password + "\r\n";
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  {
    const TDescriptor file{
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR)};
    if (file.Fd < 0)
      throw EInOutError(SystemError("Cannot write", temporary));
    try {
      WriteAll(file.Fd, text, temporary);
      if (::fsync(file.Fd) != 0)
        throw EInOutError(SystemError("Cannot write", temporary));
    } catch (...) {
      ::unlink(temporary.c_str());
      throw;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string error = SystemError("Cannot write", path);
    ::unlink(temporary.c_str());
    throw EInOutError(error);
  }
}
