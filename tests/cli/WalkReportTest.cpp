#include "cli/WalkReport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// What a report writes, kept in memory.
class TCaught {
public:
  TCaught() : File(::open_memstream(&Buffer, &Size)) {}
  ~TCaught() {
    std::fclose(File);
    std::free(Buffer);
  }
  std::string Text() {
    std::fflush(File);
    return std::string(Buffer, Size);
  }
  std::FILE* File;

private:
  char* Buffer = nullptr;
  std::size_t Size = 0;
};

TTransferFigures Figures(std::string file) { return {std::move(file), 1536, 2048, {2, 5}, 95.0}; }

} // namespace

// On a terminal the progress line is redrawn in place and never wraps; the
// saved files and the end go on lines of their own above it, and the log
// stays out.
TEST(WalkReport, TerminalRedrawsOneLineAndPutsFilesAboveIt) {
  TCaught out;
  TWalkReport report(out.File, TWalkReport::Terminal);
  report.Status("Request Header 1");
  report.Log("Request Header 1");
  report.LogAppend("Request Done");
  EXPECT_EQ(out.Text(), "\rRequest Header 1\x1b[K");
  report.Transfer(Figures("pic.jpg"));
  const std::string line = "pic.jpg  1.5 kB  2.0 kB/s  2 of 5 articles  1 min 35 s left";
  EXPECT_EQ(out.Text().substr(out.Text().rfind('\r')), "\r" + line + "\x1b[K");
  report.Saved("pic.jpg", "/n/pic.jpg");
  EXPECT_TRUE(out.Text().ends_with("\r\x1b[Ksaved: pic.jpg\n\r" + line + "\x1b[K")) << out.Text();
  // Not wider than the terminal (80 columns when it cannot be asked).
  report.Transfer(Figures(std::string(100, 'x')));
  const std::string last = out.Text().substr(out.Text().rfind('\r') + 1);
  EXPECT_EQ(last, std::string(79, 'x') + "\x1b[K");
  report.Incomplete("3.UUE", "Unfinished part file kept open 3.UUE");
  report.End("done", "Downloading Done", 0);
  EXPECT_TRUE(out.Text().ends_with("\nDownloading Done (1 file saved, 1 incomplete)\n")) << out.Text();
  EXPECT_EQ(out.Text().find("Request Done"), std::string::npos);
}
