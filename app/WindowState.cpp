#include "app/WindowState.h"

#include "app/Settings.h"
#include "platform/IniFile.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

constexpr char Section[] = "WINDOWS";

// A top strip this high and this wide on a screen is enough to take hold of.
constexpr int GripHeight = 20;
constexpr int GripWidth = 100;

std::string SettingsFile() { return SettingsPath(SettingsFileName); }

// "x,y,w,h" or "w,h": as many whole numbers as asked for, else none.
std::vector<int> Numbers(const std::string& text, qsizetype count) {
  const QStringList parts = QString::fromStdString(text).split(',');
  std::vector<int> numbers;
  for (const QString& part : parts) {
    bool ok = false;
    numbers.push_back(part.trimmed().toInt(&ok));
    if (!ok)
      return {};
  }
  return parts.size() == count ? numbers : std::vector<int>();
}

std::string Text(std::initializer_list<int> numbers) {
  std::string text;
  for (const int n : numbers)
    text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

} // namespace

TWindowState LoadWindowState() {
  const std::string file = SettingsFile();
  auto read = [&](const char* key, const char* def = "") { return IniReadString(file, Section, key, def); };
  TWindowState state;
  if (const std::vector<int> n = Numbers(read("MAIN"), 4); !n.empty() && n[2] > 0 && n[3] > 0)
    state.Main = QRect(n[0], n[1], n[2], n[3]);
  state.Maximized = read("MAXIMIZED", "0") == "1";
  state.Server = read("SERVER");
  state.Group = read("GROUP");
  if (const std::vector<int> n = Numbers(read("DECODE"), 2); !n.empty() && n[0] > 0 && n[1] > 0)
    state.Decode = QSize(n[0], n[1]);
  state.AskBeforeStop = read("ASKBEFORESTOP", "1") != "0";
  return state;
}

void SaveWindowState(const TWindowState& State) {
  const std::string file = SettingsFile();
  auto write = [&](const char* key, const std::string& value) {
    IniWriteString(file, Section, key, WithoutControls(value));
  };
  const QRect& main = State.Main;
  write("MAIN", Text({main.x(), main.y(), main.width(), main.height()}));
  write("MAXIMIZED", State.Maximized ? "1" : "0");
  write("SERVER", State.Server);
  write("GROUP", State.Group);
  if (State.Decode.isValid())
    write("DECODE", Text({State.Decode.width(), State.Decode.height()}));
  write("ASKBEFORESTOP", State.AskBeforeStop ? "1" : "0");
}

bool OnSomeScreen(const QRect& Geometry) {
  const QRect grip(Geometry.topLeft(), QSize(Geometry.width(), GripHeight));
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect shown = screen->availableGeometry().intersected(grip);
    if (shown.height() >= GripHeight / 2 && shown.width() >= std::min(GripWidth, Geometry.width()))
      return true;
  }
  return false;
}

QRect ScreenArea(const QRect& Geometry) {
  QRect best;
  int shown = 0;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect part = screen->availableGeometry().intersected(Geometry);
    if (part.width() * part.height() > shown) {
      shown = part.width() * part.height();
      best = screen->availableGeometry();
    }
  }
  if (best.isValid())
    return best;
  const QScreen* primary = QGuiApplication::primaryScreen();
  return primary ? primary->availableGeometry() : QRect(0, 0, 800, 600);
}

QRect FitOnScreen(const QRect& Geometry, const QMargins& Frame) {
  const QRect area = ScreenArea(Geometry).marginsRemoved(Frame);
  QRect fitted(Geometry.topLeft(), Geometry.size().boundedTo(area.size()));
  fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() - fitted.width() + 1));
  fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() - fitted.height() + 1));
  return fitted;
}
