#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace QKeychain {
class Job;
}

// The passwords of the server entries, kept out of the settings file: in the
// desktop's keychain (Secret Service or KWallet) when one answers, else in a
// file of the per-user configuration folder that only the user may read. The
// passwords are read into memory at start-up, so that a decode window takes
// its password without waiting for the keychain.
class TPasswordStore : public QObject {
  Q_OBJECT
public:
  explicit TPasswordStore(QObject* parent = nullptr);
  ~TPasswordStore() override;

  // Off: the file only, the keychain is never asked (tests; set before the
  // store is made).
  static void SetKeychainEnabled(bool Enabled);
  // The file: "passwords" in the per-user configuration folder.
  static std::string FilePath();

  // Reads the file, then asks the keychain for each entry; the keychain's
  // answers come later and take the place of the file's. OnLoaded says
  // when the last has come (at once when the keychain is not asked).
  void Load(const std::vector<std::string>& Servers);
  bool Loading() const { return FReading > 0; }
  std::function<void()> OnLoaded;
  // The password known for the entry; empty when none.
  std::string Password(const std::string& Server) const;
  // Keeps the entry's password; an empty one removes it. OnStored tells
  // where it went: at once when it went to the file, later from the
  // keychain. Raises Exception for a password or entry holding a line break,
  // EInOutError when the file cannot be written.
  void SetPassword(const std::string& Server, const std::string& Password);

  // "Password kept in <file>, readable only by you", "Password kept in the
  // desktop's keychain" or "Password removed".
  std::function<void(const std::string& Where)> OnStored;

private:
  void ReadFile();
  void WriteFile();
  void KeepInFile(const std::string& Server, const std::string& Password);
  void ReadDone(const std::string& Server, QKeychain::Job& Job);
  void WriteDone(const std::string& Server, const std::string& Password, QKeychain::Job& Job);
  void Stored(const std::string& Where);

  std::map<std::string, std::string> FPasswords; // all that is known
  std::map<std::string, std::string> FInFile;    // what the file holds
  std::set<std::string> FChanged;                // set this run: an older keychain answer does not count
  bool FKeychain;                                // the keychain has not failed yet
  int FReading = 0;                              // keychain answers still to come
};
