#include "platform/Guard.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace {

void WriteToStderr(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

TErrorDisplay& Display() {
  static TErrorDisplay display = WriteToStderr;
  return display;
}

} // namespace

TErrorDisplay SetErrorDisplay(TErrorDisplay display) {
  if (!display)
    display = WriteToStderr;
  return std::exchange(Display(), std::move(display));
}

void ShowError(const std::string& text) { Display()(text); }

void Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    ShowError("Unknown error");
  }
}
