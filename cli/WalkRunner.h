#pragma once

#include "cli/WalkOptions.h"
#include "settings/Passwords.h"
#include "settings/StoredSettings.h"
#include "walk/DecodeSession.h"
#include "walk/StartValues.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class TWalkReport;

// What vostel-walk's exit status says.
enum TExitStatus : int {
  exitDone = 0,        // the walk reached the group's end
  exitError = 1,       // it stopped for an error, or another walker has the group
  exitUsage = 2,       // bad arguments or settings
  exitLogIn = 3,       // the server wants a log-in it was not given, or refused it
  exitInterrupted = 4, // a signal stopped it
};

// One walk of a group without a window: reads the start values from the
// settings file and the options, as a decode window takes them from the main
// window, runs a decode session to its end and tells its events to the
// report. The session folder, its dati.ini and its lock are a window's, so
// each goes on from where the other stopped.
class TWalkRunner : public IStartValues {
public:
  TWalkRunner(TWalkOptions Options, TWalkReport& Report);
  ~TWalkRunner() override;

  // Reads the settings and checks every value the walk takes, so that a bad
  // one is named before anything is touched. Raises Exception with what is
  // wrong (exitUsage).
  void Prepare();
  // Reads the server's password, then starts the walk; OnFinished says how
  // it ended once it has, the position stored.
  void Run();
  std::function<void(int ExitStatus)> OnFinished;

  // A signal: the first stops the walk as A does, once the article being
  // handed over is done; the next one stops it at once, as X does.
  void Interrupt(int Signal);
  // An error that left a handler: the walk stops at once and ends with
  // exitError.
  void Failed();

  TDecodeSession* Session() { return FSession.get(); }

  // What the walk starts with.
  std::string Server() const override { return FOptions.Server; }
  std::string Group() const override { return FOptions.Group; }
  std::string MinLines() const override { return FMinLines; }
  std::string MaxLines() const override { return FMaxLines; }
  std::string WaitingLines() const override { return "0"; }
  std::string DefaultExt() const override { return FSettings.DefExt; }
  std::string DownloadPath() const override { return FPath; }
  std::string Pacing() const override { return FServerSettings.Pacing; }
  std::string Connections() const override { return FServerSettings.Connections; }
  std::string RequestsInFlight() const override { return FServerSettings.InFlight; }
  std::string SubjectFilter() const override { return FSubject; }
  std::string Password() const override { return FPasswords.Password(FOptions.Server); }
  std::string PasswordOf(const std::string& Entry) const override { return FPasswords.Password(Entry); }
  bool Compression() const override { return FServerSettings.Compression == "1"; }
  std::vector<TFillServer> FillServers() const override;

  // How long the walk waits for the desktop's keychain to give the password
  // before it goes on with what the password file holds.
  static constexpr int KeychainWait = 10000; // ms

private:
  std::string SettingsFile() const;
  void StartSession();
  void WireSession();
  void Finish();
  int ExitStatus() const;
  std::string EndName() const;

  TWalkOptions FOptions;
  TWalkReport& FReport;
  TStoredSettings FSettings;
  TServerSettings FServerSettings;
  std::string FMinLines, FMaxLines, FSubject, FPath;
  TPasswordStore FPasswords;
  QTimer FKeychainWait;
  std::unique_ptr<TDecodeSession> FSession;
  bool FEnded = false; // the walk ended by itself, as FEnd says
  TWalkEnd FEnd = weDone;
  int FSignals = 0;
  bool FFailed = false;
  bool FFinished = false;
};
