#pragma once

#include <functional>

class QUrl;

// Hands a file or a folder to the desktop's opener, xdg-open, without waiting
// for it. False when it cannot even start: the caller says so. When the
// opener answers that it cannot open the file (no program for its type, no
// file manager, the file gone) or there is no opener at all,
// ShowOpenFailure says so, with the path, once the answer is in.
bool OpenWithDesktop(const QUrl& Url);

// What OpenWithDesktop hands the file to; tests put their own here. An empty
// one brings xdg-open back.
using TDesktopOpener = std::function<bool(const QUrl& Url)>;
TDesktopOpener SetDesktopOpener(TDesktopOpener Opener);
