#pragma once

#include "settings/StoredSettings.h"

#include <string>
#include <vector>

class QComboBox;
class QLabel;

// Fills the main window: clears the two lists, shows PATH in lblPath and the
// limits and default extension in the main window's fields, then adds the
// servers in the file's order and the groups sorted, bare names, nothing
// selected.
void LoadSettings(QComboBox* cboHost, QComboBox* cboGroup, QLabel* lblPath);

// The exit save: the main window's fields, each as typed, except a limit
// that is no integer or a subject filter that is no wildmat, which keeps the
// value stored; the filter only once it is set. An installed copy's file
// without PATH also gets the path it was shown. Raises EInOutError "Unable
// to write to <path>".
void SaveLimits(const std::string& minLines, const std::string& maxLines, const std::string& defExt,
                const std::string& subjectFilter);

// What the configuration dialog edits.
struct TConfigValues {
  std::vector<std::string> Servers;
  std::vector<std::string> Groups;
  std::string Path;
  TServerSettingsMap ServerSettings;
};

// The dialog's own copy, read once when it is created: the lists in file
// order with their keys stripped, the path as stored.
TConfigValues LoadConfig();

// The path as the dialog save stores it: the default download path when it is
// shorter than two characters, otherwise ending in "/".
std::string CorrectPath(std::string path);

// The dialog save: writes a complete new settings file beside the old one and
// swaps it in with the old one's permissions, keeping the old one as the
// backup. A failed keyed write raises
// EInOutError "Unable to write to <path>"; every other failure shows "Problem
// Writing New Settings, New Settings Not Saved", leaves the settings file as it
// was and returns false.
bool SaveConfig(const TConfigValues& values);
