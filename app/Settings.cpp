#include "app/Settings.h"

#include "app/Main.h"
#include "app/Messages.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "walk/SubjectFilter.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unordered_set>

namespace {

// What LoadSettings shows when the file has no such key; the dialog save
// stores the same, so a first OK keeps what the user was shown.
constexpr char DefaultMinLines[] = "100";
constexpr char DefaultMaxLines[] = "1000";
// A settings file made now starts with a range that takes the parts posted
// today: 750 KB of yEnc (about 6,000 lines) and 1 MB uuencoded (about
// 23,000). A file that exists keeps the range it had.
constexpr char NewMaxLines[] = "50000";
constexpr char DefaultExtension[] = "mid";

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

// Downloads went below the program folder before an installed copy sent
// them to the user's download folder. A settings file of that time without
// PATH keeps that folder: elsewhere each walk would start over, without the
// dati.ini of its group.
std::string StoredPath(const std::string& file, const TIniDocument& settings) {
  return settings.ReadString("CONFIG", "PATH",
                             FileExists(file) ? ProgramFolder() + "news/" : DefaultDownloadPath());
}

std::string StoredMaxLines(const std::string& file, const TIniDocument& settings) {
  return settings.ReadString("CONFIG", "MAXLINES", FileExists(file) ? DefaultMaxLines : NewMaxLines);
}

// The name part of an entry: the text before the first "=". An entry without
// "=" has no name.
bool HasName(const std::string& item, std::string_view key) {
  const std::size_t eq = item.find('=');
  return eq != std::string::npos && SameText(std::string_view(item).substr(0, eq), key);
}

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

// The section of a server's own settings; none for an entry that cannot
// name one. Section names compare without regard to case, so entries that
// differ only in case share one.
std::optional<std::string> ServerSection(const std::string& entry) {
  const std::string name = Trim(WithoutControls(entry));
  if (name.empty() || name.find(']') != std::string::npos)
    return std::nullopt;
  return "SERVER " + name;
}

// The value of key among a section's entry lines: the first one's.
std::optional<std::string> EntryValue(const std::vector<std::string>& entries, std::string_view key) {
  for (const std::string& entry : entries)
    if (const std::size_t eq = entry.find('=');
        eq != std::string::npos && SameText(Trim(entry.substr(0, eq)), key))
      return entry.substr(eq + 1);
  return std::nullopt;
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

std::string SettingsPath(const char* name) { return FindFileNoCase(ProgramFolder(), name); }

std::string DefaultDownloadPath() {
  // An installed copy's program folder is a hidden settings folder, where
  // nobody looks for downloads.
  if (IsInstalledCopy()) {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty())
      return QFile::encodeName(downloads).toStdString() + "/Vostel/";
  }
  return ProgramFolder() + "news/";
}

std::vector<std::string> StripKeys(std::vector<std::string> items, std::string_view key) {
  // The items that have the name, kept as they change, so that the first
  // is found at once in a list of thousands.
  std::set<std::size_t> keyed;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (HasName(items[i], key))
      keyed.insert(i);
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::string value;
    if (!keyed.empty())
      value = items[*keyed.begin()].substr(items[*keyed.begin()].find('=') + 1);
    items[i] = std::move(value);
    keyed.erase(i);
    if (HasName(items[i], key))
      keyed.insert(i);
  }
  return items;
}

std::string WithoutControls(std::string_view text) {
  std::string clean;
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 32 && c != 127)
      clean += c;
  return clean;
}

void LoadSettings(QComboBox* cboHost, QComboBox* cboGroup, QLabel* lblPath) {
  cboHost->clear();
  cboGroup->clear();
  const std::string file = SettingsFile();
  const TIniDocument settings(file);
  lblPath->setText(ToQt(StoredPath(file, settings)));
  MainForm->MinR->setText(ToQt(settings.ReadString("CONFIG", "MINLINES", DefaultMinLines)));
  MainForm->MaxR->setText(ToQt(StoredMaxLines(file, settings)));
  MainForm->DefE->setText(ToQt(settings.ReadString("CONFIG", "DEFEXT", DefaultExtension)));
  MainForm->EdSubject->setText(ToQt(settings.ReadString("CONFIG", "SUBJECT", "")));
  const std::vector<std::string> servers = settings.ReadSection("SERVER");
  MainForm->SetServerSettings(LoadServerSettings(settings, StripKeys(servers, "S")));
  // Servers are few and put in the order the user wants them; groups may be
  // many, and are found by name.
  FillList(cboHost, servers, "S", false);
  FillList(cboGroup, settings.ReadSection("GROUPS"), "G", true);
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

std::optional<std::string> CorrectField(const TServerField& field, std::string_view text) {
  const std::string trimmed = Trim(WithoutControls(text));
  if (trimmed.empty() || trimmed.size() > 7 ||
      !std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const long value = std::stol(trimmed);
  if (value < field.Min || value > field.Max)
    return std::nullopt;
  return std::to_string(value);
}

TServerSettingsMap LoadServerSettings(const TIniDocument& file, const std::vector<std::string>& servers) {
  TServerSettings before; // a server listed before servers had settings of their own
  before.Pacing = CorrectField(ServerFields[2], file.ReadString("CONFIG", "PACING", DefaultPacing))
                      .value_or(DefaultPacing);
  TServerSettingsMap settings;
  for (const std::string& server : servers) {
    TServerSettings values = before;
    const std::optional<std::string> section = ServerSection(server);
    const std::vector<std::string> entries =
        section ? file.ReadSection(*section) : std::vector<std::string>();
    for (const TServerField& field : ServerFields)
      if (const std::optional<std::string> text = EntryValue(entries, field.Key))
        values.*field.Text = CorrectField(field, *text).value_or(values.*field.Text);
    settings[server] = values;
  }
  return settings;
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
