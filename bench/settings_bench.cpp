// Loads a settings file listing 1,000 and then 10,000 servers, each with a
// section of its own, as the main window does at start-up and after OK
// (LoadSettings, lists filled and sorted), as the configuration dialog does
// when it is made (LoadConfig), and, in the same run, as settings were
// loaded before: the whole file read again for each server's section. Prints
// the median seconds of each.
//
// The file read again per server takes minutes at 10,000 servers, so there
// that way is timed on the first Sample servers and scaled to all of them
// (each server costs the same: one read of the whole file); --full times it
// on every server, once.
//
//   settings_bench [--full]
#include "app/Main.h"
#include "app/Settings.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"

#include <QApplication>
#include <QComboBox>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 3;
constexpr std::size_t Sample = 200;

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(int runs, const std::function<double()>& run) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i)
    times.push_back(run());
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A settings file as the dialog writes it for this many servers.
std::string Write(const std::string& folder, std::size_t servers) {
  std::string text =
      "[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=100\r\nMAXLINES=1000\r\nPATH=/dl/\r\n\r\n[SERVER]\r\n";
  for (std::size_t i = 0; i < servers; ++i)
    text += "S=news" + std::to_string(i) + ".example.com\r\n";
  text += "\r\n[GROUPS]\r\nG=alt.binaries.test\r\n";
  for (std::size_t i = 0; i < servers; ++i)
    text += "\r\n[SERVER news" + std::to_string(i) +
            ".example.com]\r\nCONNECTIONS=8\r\nINFLIGHT=4\r\nPACING=" + std::to_string(i % 500) + "\r\n";
  const std::string file = folder + SettingsFileName;
  std::filesystem::remove(file);
  AppendText(file, text);
  return file;
}

// Each server's section found by reading the whole file again, for the
// first count servers listed.
std::size_t LoadEachFromFile(const std::string& file, std::size_t count) {
  const std::vector<std::string> servers = StripKeys(IniReadSection(file, "SERVER"), "S");
  std::size_t entries = 0;
  for (std::size_t i = 0; i < std::min(count, servers.size()); ++i)
    entries += IniReadSection(file, "SERVER " + servers[i]).size();
  return entries;
}

} // namespace

int main(int argc, char** argv) {
  const bool full = argc > 1 && std::strcmp(argv[1], "--full") == 0;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("settings_bench-" + std::to_string(::getpid()))).string() +
      "/";
  std::filesystem::create_directories(folder);
  SetProgramFolder(folder);
  // A window of no servers: the loads below fill it.
  TMainForm main;
  std::printf("%-8s %16s %14s %22s %8s\n", "servers", "main window (s)", "dialog (s)",
              "a read per server (s)", "ratio");
  bool ok = true;
  for (const std::size_t servers : {std::size_t(1000), std::size_t(10000)}) {
    const std::string file = Write(folder, servers);
    const double now = Median(Runs, [&] {
      TConfigValues values;
      const double s = Seconds([&] { values = LoadConfig(); });
      ok = ok && values.ServerSettings.size() == servers &&
           values.ServerSettings.begin()->second.Connections == "8";
      return s;
    });
    const double window = Median(Runs, [&] {
      const double s = Seconds([&] { LoadSettings(main.cboHost, main.cboGroup, main.lblPath); });
      ok = ok && std::size_t(main.cboHost->count()) == servers;
      return s;
    });
    const std::size_t timed = servers <= 1000 || full ? servers : Sample;
    const double before =
        Median(timed == servers && servers > 1000 ? 1 : Runs,
               [&] { return Seconds([&] { ok = ok && LoadEachFromFile(file, timed) == 3 * timed; }); }) *
        double(servers) / double(timed);
    const std::string note =
        timed < servers ? "   (a read per server: timed on " + std::to_string(timed) + ", scaled)" : "";
    std::printf("%-8zu %16.4f %14.4f %22.2f %8.0f%s\n", servers, window, now, before, before / now,
                note.c_str());
  }
  std::filesystem::remove_all(folder);
  if (!ok)
    std::fprintf(stderr, "the settings did not load as written\n");
  return ok ? 0 : 1;
}
