#pragma once

#include <functional>
#include <string>

// Every entry from the event loop into our code (timer tick, posted message,
// socket notifier, click, menu) runs through Guarded: whatever a handler
// throws is handed to the application's error display instead of crossing
// Qt's event loop. The window that raised it then simply waits.
using TErrorDisplay = std::function<void(const std::string& text)>;

// Installs the error display and returns the previous one. The default writes
// the text to standard error; the application installs a message box, tests
// install a recorder.
TErrorDisplay SetErrorDisplay(TErrorDisplay display);

// Shows a text through the installed error display.
void ShowError(const std::string& text);

void Guarded(const std::function<void()>& handler);
