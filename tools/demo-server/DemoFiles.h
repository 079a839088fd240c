#pragma once

#include <string>
#include <vector>

// One file of the demo group, as a decoder should get it back.
struct TDemoFile {
  std::string Name;
  std::string Data;
};

// An evening landscape with the program's name and a caption, as PNG. The
// text needs a QGuiApplication.
std::string DemoPicture(int width, int height, const std::string& caption);

// A ustar archive of the files, padded to whole 10240-byte records as tar
// writes them. The same files give the same bytes on every run.
std::string TarArchive(const std::vector<TDemoFile>& files);
