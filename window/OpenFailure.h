#pragma once

#include <functional>
#include <string>

// Says that the desktop could not open a file or a folder: a message with
// the whole path, why, and a Copy Path button, so that the user can open it
// some other way. It does not wait for an answer. Tests install a recorder
// in place of the message.
using TOpenFailureDisplay = std::function<void(const std::string& Path, const std::string& Why)>;

// Installs the display and returns the previous one; an empty one brings the
// message back.
TOpenFailureDisplay SetOpenFailureDisplay(TOpenFailureDisplay Display);

void ShowOpenFailure(const std::string& Path, const std::string& Why);

// What the failure says when nothing on the desktop takes the file.
inline constexpr char NoProgramOpensIt[] = "no program on this desktop opens it";
