#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

#include <string>

// What the program keeps of its windows from one run to the next, in the
// WINDOWS section of the settings file; a file without it opens the windows
// as at a first start.
struct TWindowState {
  QRect Main; // the main window's normal geometry; empty when none is kept
  bool Maximized = false;
  std::string Server; // the server and group last chosen
  std::string Group;
  QSize Decode; // the size of the last decode window closed
  bool AskBeforeStop = true;
};

TWindowState LoadWindowState();

// Keyed writes into the settings file; raises EInOutError "Unable to write
// to <path>".
void SaveWindowState(const TWindowState& State);

// Whether a screen shows enough of the top of a window with this geometry to
// take it and move it: a screen taken away since must not leave the window
// out of reach.
bool OnSomeScreen(const QRect& Geometry);

// The available area of the screen that shows the most of Geometry, the
// primary screen's when none does.
QRect ScreenArea(const QRect& Geometry);

// Geometry no larger than that area, and moved into it, with room for the
// Frame around it: a window kept from a larger screen, or another scale,
// must fit the one it comes back on.
QRect FitOnScreen(const QRect& Geometry, const QMargins& Frame);
