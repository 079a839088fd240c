#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TIniDocument;

// The settings file, the new one while the configuration dialog writes it, and
// the one before the last dialog save. All three lie in the program folder and
// are matched there without regard to case.
inline constexpr char SettingsFileName[] = "VOSTEL.INI";
inline constexpr char NewSettingsFileName[] = "VOSTEL1.INI";
inline constexpr char BackupFileName[] = "Vostel.bak";

// The full path of one of the three files: the existing file whose name
// matches without regard to case, or the name as given.
std::string SettingsPath(const char* name);

// Where decoded files go until the user chooses: "Vostel/" in the user's
// download folder for an installed copy, else a folder below the program
// folder, which is where we may write.
std::string DefaultDownloadPath();

// What a file without such a key gives; the dialog save stores the same, so a
// first OK keeps what the user was shown.
inline constexpr char DefaultMinLines[] = "100";
inline constexpr char DefaultMaxLines[] = "1000";
inline constexpr char DefaultExtension[] = "mid";

// PATH and MAXLINES of the settings read from file: a file that exists and
// lacks them keeps what it had before their defaults changed.
std::string StoredPath(const std::string& file, const TIniDocument& settings);
std::string StoredMaxLines(const std::string& file, const TIniDocument& settings);

// Milliseconds a decode window waits between two requests to a server
// listed in a settings file written before servers had settings of their
// own, when that file has no PACING either.
inline constexpr char DefaultPacing[] = "500";

// A server's own settings, as texts: the connections a decode window opens
// to it, the requests in flight on each, and the milliseconds between two
// requests on a connection. A server added now runs at full speed. A fill
// server ("1") is asked for the articles another window's server lacks,
// lower priorities first; compression ("1") is used where the server offers
// it. A server becomes a fill server only when the user says so.
struct TServerSettings {
  std::string Connections = "4";
  std::string InFlight = "4";
  std::string Pacing = "0";
  std::string Fill = "0";
  std::string Priority = "0";
  std::string Compression = "1";
};

// Each field's name as the dialog shows it, its key in the settings file and
// its range; a check box stores 1 or 0.
struct TServerField {
  const char* Name;
  const char* Key;
  std::string TServerSettings::*Text;
  long Min, Max;
  bool Check = false;
};
inline constexpr TServerField ServerFields[] = {
    {"Connections", "CONNECTIONS", &TServerSettings::Connections, 1, 50},
    {"Requests in flight", "INFLIGHT", &TServerSettings::InFlight, 1, 100},
    {"Pacing (ms)", "PACING", &TServerSettings::Pacing, 0, 3600000},
    {"Use as fill server", "FILL", &TServerSettings::Fill, 0, 1, true},
    {"Priority", "PRIORITY", &TServerSettings::Priority, 0, 99},
    {"Compression", "COMPRESSION", &TServerSettings::Compression, 0, 1, true}};
inline constexpr const TServerField& ConnectionsField = ServerFields[0];
inline constexpr const TServerField& PriorityField = ServerFields[4];

// The settings of each server listed, by entry. Each lies in a section of
// its own, "[SERVER <entry>]", after the lists, where the lists' readers
// (this program's before servers had settings, and the one it replaces)
// find no entries of theirs. A server listed without one takes the file's
// PACING (DefaultPacing when absent); a value that is missing or out of its
// range takes the default.
using TServerSettingsMap = std::map<std::string, TServerSettings>;
TServerSettingsMap LoadServerSettings(const TIniDocument& file, const std::vector<std::string>& servers);

// The section of a server's own settings; none for an entry that cannot
// name one. Section names compare without regard to case, so entries that
// differ only in case share one.
std::optional<std::string> ServerSection(const std::string& entry);

// The text as stored: a plain whole number within the field's range, or
// nothing when the text is none.
std::optional<std::string> CorrectField(const TServerField& field, std::string_view text);

// The entries of the fill servers a window on own asks, lower priorities
// first and, at the same priority, in the list's order. Entries that differ
// only in case share one section: one server, asked once, and never by a
// window on it.
std::vector<std::string> FillOrder(const std::vector<std::string>& servers,
                                   const TServerSettingsMap& settings, const std::string& own);
// The rule that turns "S=name" entries into bare names: item i becomes the
// value of the first item, counted from the top, whose name is key (compared
// without regard to case), or the empty text when none is left.
std::vector<std::string> StripKeys(std::vector<std::string> items, std::string_view key);

// A name or value without control characters: a line break pasted into a
// name would start a line of its own in the settings file.
std::string WithoutControls(std::string_view text);

// What a settings file holds, read once, each value with the default of a
// file that lacks it: what the main window shows, and what a walk without a
// window starts with.
struct TStoredSettings {
  std::string Path;
  std::string MinLines;
  std::string MaxLines;
  std::string DefExt;
  std::string Subject;
  // The SERVER and GROUPS sections' lines as they stand, keys and all.
  std::vector<std::string> ServerEntries;
  std::vector<std::string> GroupEntries;
  TServerSettingsMap ServerSettings; // of each server listed
  // The bare names, in the file's order.
  std::vector<std::string> Servers() const { return StripKeys(ServerEntries, "S"); }
  std::vector<std::string> Groups() const { return StripKeys(GroupEntries, "G"); }
};
TStoredSettings ReadSettings(const std::string& file);
