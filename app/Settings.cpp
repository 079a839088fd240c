#include "app/Settings.h"

#include "app/Main.h"
#include "app/Messages.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "walk/SubjectFilter.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unordered_set>

namespace {

// The dialog save tries to open its new file this many times before it gives
// up: another program may hold it for a moment.
constexpr int OpenAttempts = 101;

// What a keyed read gives for a key that is missing: no value holds a line
// break.
constexpr char Absent[] = "\n";

const char* const NotSaved = "Problem Writing New Settings, New Settings Not Saved";
const char* const ErrorTitle = "Vostel Error";

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

std::string SettingsFile() { return SettingsPath(SettingsFileName); }

// The entries of a sorted list take their places as they are added, keys and
// all; the keys are stripped afterwards, in place. An unsorted one keeps the
// file's order, which is the dialog's.
void FillList(QComboBox* list, std::vector<std::string> entries, std::string_view key, bool sorted) {
  if (sorted)
    std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
      return ToQt(a).compare(ToQt(b), Qt::CaseInsensitive) < 0;
    });
  for (const std::string& name : StripKeys(std::move(entries), key))
    list->addItem(ToQt(name));
  // A combo box selects its first entry by itself: the user picks.
  list->setCurrentIndex(-1);
}

bool IsInteger(const std::string& text) {
  try {
    StrToInt(text);
    return true;
  } catch (const EConvertError&) {
    return false;
  }
}

bool IsWildmat(const std::string& text) {
  try {
    TSubjectFilter{text};
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// Every case variant of name in the program folder goes, so no old file of
// that name can come first at the next load. False when one stays.
bool DeleteAllNamed(const char* name) {
  for (std::string path; FileExists(path = SettingsPath(name));)
    if (!DeleteFile(path))
      return false;
  return true;
}

// After the lists, where a reader of the lists alone finds nothing of theirs.
std::string ServerSections(const TConfigValues& values) {
  std::string text;
  std::unordered_set<std::string> written; // upper case: a section's name has no case
  for (const std::string& server : values.Servers) {
    const std::optional<std::string> section = ServerSection(server);
    if (!section || !written.insert(UpperCase(*section)).second)
      continue;
    const auto it = values.ServerSettings.find(server);
    const TServerSettings settings = it == values.ServerSettings.end() ? TServerSettings() : it->second;
    text += "\r\n[" + *section + "]\r\n";
    for (const TServerField& field : ServerFields)
      text += std::string(field.Key) + "=" +
              CorrectField(field, settings.*field.Text).value_or(TServerSettings().*field.Text) + "\r\n";
  }
  return text;
}

// The lists go after the CONFIG section of the keyed writes, the servers'
// own settings after them, then what the file kept of the windows, as it
// was. The file is opened once it can be, and closed with its data on disk,
// since it is about to become the settings file.
bool AppendLists(const std::string& path, const TConfigValues& values,
                 const std::vector<std::string>& windows) {
  std::string text = "\r\n[SERVER]\r\n";
  for (const std::string& server : values.Servers)
    text += "S=" + WithoutControls(server) + "\r\n";
  text += "\r\n[GROUPS]\r\n";
  for (const std::string& group : values.Groups)
    text += "G=" + WithoutControls(group) + "\r\n";
  text += ServerSections(values);
  if (!windows.empty())
    text += "\r\n[WINDOWS]\r\n";
  for (const std::string& entry : windows)
    text += WithoutControls(entry) + "\r\n";
  TFileWriter file;
  for (int attempt = 0; attempt < OpenAttempts && !file.IsOpen(); ++attempt) {
    try {
      file.Append(path);
    } catch (const EInOutError&) {
    }
  }
  if (!file.IsOpen())
    return false;
  try {
    file.Write(text);
    file.Close(true);
  } catch (const EInOutError&) {
    return false;
  }
  return true;
}

// The permission bits of a settings file, or none when there is none.
std::optional<mode_t> FileMode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  return info.st_mode & 07777;
}

// The new file starts out readable by the user alone: the lists of a settings
// file kept private must not be open to others while they are written (the
// keyed writes keep a file's bits). Fails like a keyed write.
void CreatePrivate(const std::string& path) {
  const TFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  // The umask may have taken the user's own bits too.
  if (file.Get() < 0 || ::fchmod(file.Get(), 0600) != 0)
    throw EInOutError("Unable to write to " + path);
}

// Puts the new file in place of the settings file so that at every moment a
// whole settings file exists: the old one is linked (or copied) to the backup
// first, then the new one is renamed over it in one step. The new one takes
// the old one's permissions before, so the settings are never more open than
// they were. The old backup goes at every save, so that the backup is the
// settings file before this save, or none when there was none. A missing
// backup is no reason to keep the old settings.
bool SwapIn(const std::string& newFile) {
  const std::string settings = SettingsFile();
  if (const std::optional<mode_t> mode = FileMode(settings); mode && ::chmod(newFile.c_str(), *mode) != 0)
    return false;
  if (DeleteAllNamed(BackupFileName) && FileExists(settings))
    LinkOrCopyFile(settings, ProgramFolder() + BackupFileName);
  return std::rename(newFile.c_str(), settings.c_str()) == 0;
}

} // namespace

void LoadSettings(QComboBox* cboHost, QComboBox* cboGroup, QLabel* lblPath) {
  cboHost->clear();
  cboGroup->clear();
  const TStoredSettings settings = ReadSettings(SettingsFile());
  lblPath->setText(ToQt(settings.Path));
  MainForm->MinR->setText(ToQt(settings.MinLines));
  MainForm->MaxR->setText(ToQt(settings.MaxLines));
  MainForm->DefE->setText(ToQt(settings.DefExt));
  MainForm->EdSubject->setText(ToQt(settings.Subject));
  MainForm->SetServerSettings(settings.ServerSettings);
  // Servers are few and put in the order the user wants them; groups may be
  // many, and are found by name.
  FillList(cboHost, settings.ServerEntries, "S", false);
  FillList(cboGroup, settings.GroupEntries, "G", true);
}

void SaveLimits(const std::string& minLines, const std::string& maxLines, const std::string& defExt,
                const std::string& subjectFilter) {
  const std::string file = SettingsFile();
  const TIniDocument settings(file);
  const std::string path = StoredPath(file, settings);
  const bool pathStored = settings.ReadString("CONFIG", "PATH", Absent) != Absent;
  // A limit that is no number is not stored: it would fail every Open of the
  // next run, so the file keeps the one it had.
  for (const auto& [key, text] : {std::pair{"MINLINES", &minLines}, std::pair{"MAXLINES", &maxLines}})
    if (const std::string value = WithoutControls(*text); IsInteger(value))
      IniWriteString(file, "CONFIG", key, value);
  IniWriteString(file, "CONFIG", "DEFEXT", WithoutControls(defExt));
  // Nor is a filter that would fail them; a file that never had one keeps
  // without.
  const std::string subject = WithoutControls(subjectFilter);
  if ((!subject.empty() || settings.ReadString("CONFIG", "SUBJECT", Absent) != Absent) && IsWildmat(subject))
    IniWriteString(file, "CONFIG", "SUBJECT", subject);
  // An installed copy's file keeps the path it was first shown with, so a
  // later default cannot move its downloads.
  if (IsInstalledCopy() && !pathStored)
    IniWriteString(file, "CONFIG", "PATH", path);
}

TConfigValues LoadConfig() {
  const std::string file = SettingsFile();
  const TIniDocument settings(file);
  TConfigValues values;
  values.Path = StoredPath(file, settings);
  values.Servers = StripKeys(settings.ReadSection("SERVER"), "S");
  values.ServerSettings = LoadServerSettings(settings, values.Servers);
  values.Groups = StripKeys(settings.ReadSection("GROUPS"), "G");
  return values;
}

std::string CorrectPath(std::string path) {
  path = WithoutControls(path);
  if (path.size() < 2)
    return DefaultDownloadPath();
  if (path.back() != '/')
    path += '/';
  return path;
}

bool SaveConfig(const TConfigValues& values) {
  const std::string file = SettingsFile();
  const TIniDocument settings(file);
  const std::string defExt = settings.ReadString("CONFIG", "DEFEXT", DefaultExtension);
  const std::string minLines = settings.ReadString("CONFIG", "MINLINES", DefaultMinLines);
  const std::string maxLines = StoredMaxLines(file, settings);
  const std::string subject = settings.ReadString("CONFIG", "SUBJECT", Absent);
  const std::vector<std::string> windows = settings.ReadSection("WINDOWS");
  // Kept for the servers listed without settings of their own, and for this
  // program before servers had them.
  const std::string pacing = settings.ReadString("CONFIG", "PACING", Absent);
  // A new file left by an earlier failed save would put its old lists first.
  if (!DeleteAllNamed(NewSettingsFileName)) {
    ShowMessage(NotSaved, ErrorTitle);
    return false;
  }
  const std::string newFile = ProgramFolder() + NewSettingsFileName;
  if (FileMode(file))
    CreatePrivate(newFile);
  IniWriteString(newFile, "CONFIG", "DEFEXT", defExt);
  IniWriteString(newFile, "CONFIG", "MINLINES", minLines);
  IniWriteString(newFile, "CONFIG", "MAXLINES", maxLines);
  IniWriteString(newFile, "CONFIG", "PATH", CorrectPath(values.Path));
  if (pacing != Absent)
    IniWriteString(newFile, "CONFIG", "PACING", pacing);
  if (subject != Absent)
    IniWriteString(newFile, "CONFIG", "SUBJECT", subject);
  if (!AppendLists(newFile, values, windows) || !SwapIn(newFile)) {
    ShowMessage(NotSaved, ErrorTitle);
    return false;
  }
  return true;
}
