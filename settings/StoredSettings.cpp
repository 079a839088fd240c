#include "settings/StoredSettings.h"

#include "platform/Convert.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"

#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <set>

namespace {

// A settings file made now starts with a range that takes the parts posted
// today: 750 KB of yEnc (about 6,000 lines) and 1 MB uuencoded (about
// 23,000). A file that exists keeps the range it had.
constexpr char NewMaxLines[] = "50000";

// The name part of an entry: the text before the first "=". An entry without
// "=" has no name.
bool HasName(const std::string& item, std::string_view key) {
  const std::size_t eq = item.find('=');
  return eq != std::string::npos && SameText(std::string_view(item).substr(0, eq), key);
}

// The value of key among a section's entry lines: the first one's.
std::optional<std::string> EntryValue(const std::vector<std::string>& entries, std::string_view key) {
  for (const std::string& entry : entries)
    if (const std::size_t eq = entry.find('=');
        eq != std::string::npos && SameText(Trim(entry.substr(0, eq)), key))
      return entry.substr(eq + 1);
  return std::nullopt;
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

std::optional<std::string> ServerSection(const std::string& entry) {
  const std::string name = Trim(WithoutControls(entry));
  if (name.empty() || name.find(']') != std::string::npos)
    return std::nullopt;
  return "SERVER " + name;
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

TStoredSettings ReadSettings(const std::string& file) {
  const TIniDocument settings(file);
  TStoredSettings stored;
  stored.Path = StoredPath(file, settings);
  stored.MinLines = settings.ReadString("CONFIG", "MINLINES", DefaultMinLines);
  stored.MaxLines = StoredMaxLines(file, settings);
  stored.DefExt = settings.ReadString("CONFIG", "DEFEXT", DefaultExtension);
  stored.Subject = settings.ReadString("CONFIG", "SUBJECT", "");
  stored.ServerEntries = settings.ReadSection("SERVER");
  stored.GroupEntries = settings.ReadSection("GROUPS");
  stored.ServerSettings = LoadServerSettings(settings, stored.Servers());
  return stored;
}

std::vector<std::string> FillOrder(const std::vector<std::string>& servers,
                                   const TServerSettingsMap& settings, const std::string& own) {
  std::vector<std::pair<long, std::string>> fills;
  for (const std::string& entry : servers) {
    const auto it = settings.find(entry);
    if (it == settings.end() || it->second.Fill != "1" || SameText(entry, own) ||
        std::any_of(fills.begin(), fills.end(),
                    [&](const auto& fill) { return SameText(fill.second, entry); }))
      continue;
    fills.emplace_back(std::stol(CorrectField(PriorityField, it->second.Priority).value_or("0")), entry);
  }
  std::stable_sort(fills.begin(), fills.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> ordered;
  for (auto& fill : fills)
    ordered.push_back(std::move(fill.second));
  return ordered;
}
