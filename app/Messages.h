#pragma once

#include <functional>
#include <string>

// The shell reports its own failures and refusals in message boxes with a
// single OK button. Tests install a recorder in place of the box.
using TMessageDisplay = std::function<void(const std::string& text, const std::string& title)>;

// Installs the display and returns the previous one; an empty one brings the
// message box back.
TMessageDisplay SetMessageDisplay(TMessageDisplay display);

void ShowMessage(const std::string& text, const std::string& title);
