#include "cli/WalkRunner.h"

#include "cli/WalkReport.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/Guard.h"
#include "settings/ConfigChecks.h"
#include "walk/SubjectFilter.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

// A number the session could not take is named with its field, as the main
// window names it before it opens a window.
void CheckInteger(const char* Field, const std::string& Text) {
  try {
    StrToInt(Text);
  } catch (const EConvertError& error) {
    throw EConvertError(std::string(Field) + ": " + error.what());
  }
}

// The group names a folder of the session folder's: one name, within it.
void CheckGroup(const std::string& Group) {
  const bool controls = WithoutControls(Group) != Group;
  if (Group == "." || Group == ".." || Group.find('/') != std::string::npos || controls)
    throw Exception("GROUP " + Group + " is no newsgroup name");
}

std::string SignalName(int Signal) {
  switch (Signal) {
  case SIGINT:
    return "SIGINT";
  case SIGTERM:
    return "SIGTERM";
  case SIGHUP:
    return "SIGHUP";
  default:
    return "signal " + std::to_string(Signal);
  }
}

} // namespace

TWalkRunner::TWalkRunner(TWalkOptions Options, TWalkReport& Report)
    : FOptions(std::move(Options)), FReport(Report) {
  FKeychainWait.setSingleShot(true);
  FKeychainWait.setInterval(KeychainWait);
  QObject::connect(&FKeychainWait, &QTimer::timeout, [this] { Guarded([this] { StartSession(); }); });
}

TWalkRunner::~TWalkRunner() {
  if (StartValues == this)
    StartValues = nullptr;
}

// --settings names the file, whose folder then stands for the program
// folder: a file without PATH downloads beside it, as a portable copy does.
std::string TWalkRunner::SettingsFile() const {
  if (FOptions.Settings.empty())
    return SettingsPath(SettingsFileName);
  const TFd file(::open(FOptions.Settings.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0 || !FileExists(FOptions.Settings))
    throw Exception("cannot read the settings file " + FOptions.Settings);
  SetProgramFolder(std::filesystem::absolute(FOptions.Settings).parent_path().string() + "/");
  return FOptions.Settings;
}

void TWalkRunner::Prepare() {
  FSettings = ReadSettings(SettingsFile());
  if (const std::optional<std::string> fault = ServerEntryFault(FOptions.Server))
    throw Exception("SERVER " + FOptions.Server + ": " + *fault);
  CheckGroup(FOptions.Group);
  FMinLines = FOptions.MinLines.empty() ? FSettings.MinLines : FOptions.MinLines;
  FMaxLines = FOptions.MaxLines.empty() ? FSettings.MaxLines : FOptions.MaxLines;
  CheckInteger("Min Lines", FMinLines);
  CheckInteger("Max Lines", FMaxLines);
  FSubject = FOptions.Subject.value_or(FSettings.Subject);
  try {
    TSubjectFilter{FSubject};
  } catch (const Exception& error) {
    throw Exception(std::string("Subject: ") + error.what());
  }
  // A server the file does not list walks as one just added would.
  const auto it = FSettings.ServerSettings.find(FOptions.Server);
  FServerSettings = it == FSettings.ServerSettings.end() ? TServerSettings() : it->second;
  if (!FOptions.Connections.empty()) {
    const std::optional<std::string> connections = CorrectField(ConnectionsField, FOptions.Connections);
    if (!connections)
      throw Exception("Connections: '" + FOptions.Connections + "' is no whole number from " +
                      std::to_string(ConnectionsField.Min) + " to " + std::to_string(ConnectionsField.Max));
    FServerSettings.Connections = *connections;
  }
  FPath = FOptions.Folder.empty() ? FSettings.Path : FOptions.Folder;
  if (!FOptions.Folder.empty() && FPath.back() != '/')
    FPath += '/';
  StartValues = this;
}

// The keychain may be slow to answer, or not there at all on a server
// without a desktop: the walk waits for it a while at most.
void TWalkRunner::Run() {
  FPasswords.OnLoaded = [this] { StartSession(); };
  FKeychainWait.start();
  try {
    FPasswords.Load({FOptions.Server});
  } catch (const std::exception& e) {
    FReport.Error(e.what()); // the walk goes on without a password
    StartSession();
  }
}

void TWalkRunner::StartSession() {
  FKeychainWait.stop();
  if (FSession || FFinished)
    return;
  FSession = std::make_unique<TDecodeSession>();
  WireSession();
  try {
    FSession->Start();
  } catch (const std::exception& e) {
    // The status said why; the session settles, and the walk ends with it.
    FFailed = true;
    if (FSession->Status() != e.what())
      FReport.Error(e.what());
  }
}

void TWalkRunner::WireSession() {
  TDecodeSession& session = *FSession;
  session.OnLog = [this](TObject*, const std::string& Text) { FReport.Log(Text); };
  session.OnLogAppend = [this](TObject*, const std::string& Text) { FReport.LogAppend(Text); };
  session.OnStatus = [this](TObject*, const std::string& Text) { FReport.Status(Text); };
  session.OnFileSaved = [this](TObject*, const std::string& Name) {
    FReport.Saved(Name, FSession->SessionDir() + Name);
  };
  session.OnIncompleteFile = [this](TObject*, const std::string& Name, const std::string& Why) {
    FReport.Incomplete(Name, Why);
  };
  session.OnTransfer = [this](TObject*, const TTransferFigures& Figures) { FReport.Transfer(Figures); };
  session.OnWalkEnded = [this](TObject*, TWalkEnd How) {
    FEnded = true;
    FEnd = How;
  };
  session.OnSettled = [this](TObject*) { Finish(); };
}

void TWalkRunner::Interrupt(int Signal) {
  if (FFinished)
    return;
  const bool now = ++FSignals > 1 || FEnded || !FSession;
  FReport.Signal(SignalName(Signal) + (now ? ": stopping now" : ": stopping after the article in hand"));
  if (!FSession) { // still waiting for the password: nothing to stop
    Finish();
    return;
  }
  if (now)
    FSession->Stop();
  else
    FSession->StopAfter();
}

// From the error display, inside the handler that failed: the stop waits
// until that handler is done.
void TWalkRunner::Failed() {
  FFailed = true;
  QTimer::singleShot(0, [this] {
    if (FSession && !FFinished && !FSession->Settled())
      Guarded([this] { FSession->Stop(); });
  });
}

// Once the session has settled: the position is stored and the folder let go
// of, as a window does when it closes.
void TWalkRunner::Finish() {
  if (std::exchange(FFinished, true))
    return;
  FKeychainWait.stop();
  if (FSession) {
    // The last figures, also of a walk too short for the meter's first tick.
    TTransferMeter& meter = FSession->Transfer();
    meter.OnTick = nullptr;
    meter.Tick();
    Guarded([this] { FSession->Close(); });
    FReport.Transfer(meter.Figures(), true);
  }
  const int status = ExitStatus();
  FReport.End(EndName(), FSession ? FSession->Status() : std::string("Interrupted"), status);
  if (OnFinished)
    OnFinished(status);
}

// A walk that reached its end before a signal could stop it is done.
int TWalkRunner::ExitStatus() const {
  if (FEnded && !FFailed) {
    switch (FEnd) {
    case weDone:
      return exitDone;
    case weLogIn:
      return exitLogIn;
    default:
      return exitError;
    }
  }
  return FSignals > 0 ? exitInterrupted : exitError;
}

std::string TWalkRunner::EndName() const {
  if (!FEnded || FFailed)
    return FSignals > 0 ? "interrupted" : "error";
  switch (FEnd) {
  case weDone:
    return "done";
  case weLogIn:
    return "log-in";
  case weBusy:
    return "busy";
  default:
    return "error";
  }
}

// The fill servers of the settings file, as a window on the same server has
// them.
std::vector<TFillServer> TWalkRunner::FillServers() const {
  std::vector<TFillServer> fills;
  for (const std::string& entry : FillOrder(FSettings.Servers(), FSettings.ServerSettings, FOptions.Server)) {
    const TServerSettings& settings = FSettings.ServerSettings.at(entry);
    fills.push_back({entry, FPasswords.Password(entry), settings.Connections, settings.InFlight,
                     settings.Pacing, settings.Compression == "1"});
  }
  return fills;
}
