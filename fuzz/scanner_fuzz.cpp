// Feeds any bytes to a walk's scanner, line by line, as the headers and
// bodies of articles, in a session folder of its own; part files are
// written and decoded, yEnc parts put together. One scanner serves every
// input: only its state is set back in between. No window, no widget: what
// the scanner says goes nowhere.
//
// Input: lines cut at LF. The first byte picks the waiting limit, and with
// its bit 2 set the body's next lines are first offered as a run, CR LF
// ended, as a connection offers them; what the run does not take goes line
// by line. Lines go to
// the header until an empty line, then to the body; a line of the one byte
// 0x01 ends the body whole, 0x02 cuts it short (X, a lost connection), and
// the next article's header follows. A body the waiting limit gives up on
// ends there, cut short, as the closed connection ends it: its lines up to
// the 0x01 or 0x02 never arrive. At the end the open part file is finished
// with its end line and the yEnc files are closed, as a close does.
//
// Checks: nothing lands outside the session folder, no folder is left in it,
// the disk taken stays within a bound of the input's size (a sparse
// .partial counts by its blocks), and no yEnc part is still open.
#include "decode/ArticleScanner.h"
#include "fuzz/FuzzCheck.h"

#include <QCoreApplication>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TFuzzScanner : public TArticleScanner {
public:
  explicit TFuzzScanner(const std::string& folder) {
    FSessionDir = folder;
    FDefExt = "bin";
  }

  void Run(std::string_view input) {
    const std::uint8_t flags = input.empty() ? 0 : std::uint8_t(input[0]);
    Reset(flags);
    if (!input.empty())
      input.remove_prefix(1);
    Head();
    bool cut = false; // the rest of this body never arrives
    while (!input.empty()) {
      if ((flags & 4) && FInBody && !cut && OfferRun(input))
        continue;
      const std::size_t lf = std::min(input.find('\n'), input.size());
      const std::string_view line = input.substr(0, lf);
      input.remove_prefix(std::min(lf + 1, input.size()));
      if (!FInBody && line.empty()) {
        FInBody = true;
        StartBody();
      } else if (FInBody && (line == "\x01" || line == "\x02")) {
        if (!cut)
          EndOfBody(line == "\x01");
        cut = false;
        Head();
      } else if (!cut) {
        if (FInBody)
          BodyLine(line);
        else
          HeaderLine(line);
        // The waiting limit gave up on the body: the client closes the
        // connection and ends the request cut short, and the walk goes on
        // with the next article on a new one.
        if (FInternalAbort) {
          FInternalAbort = false;
          cut = true;
          EndOfBody(false);
        }
      }
    }
    if (!cut)
      EndOfBody(true);
    if (FPartFile)
      FinishPartFile(true);
    CloseYEncFiles();
    Check(!FYEnc.Receiving());
  }

private:
  // The body's next lines, up to its end mark and about 4 KB, as a run;
  // those it takes are passed. True when it took any.
  bool OfferRun(std::string_view& input) {
    std::string run;
    for (std::size_t at = 0; at < input.size() && run.size() < 4096;) {
      const std::size_t lf = std::min(input.find('\n', at), input.size());
      const std::string_view line = input.substr(at, lf - at);
      if (line == "\x01" || line == "\x02")
        break;
      run.append(line).append("\r\n");
      at = lf + 1;
    }
    std::int64_t lines = 0;
    BodyRun(run, 4093, lines);
    for (std::int64_t n = 0; n < lines; ++n) {
      const std::size_t lf = input.find('\n');
      input.remove_prefix(lf == input.npos ? input.size() : lf + 1);
    }
    return lines > 0;
  }

  void Reset(std::uint8_t flags) {
    static constexpr std::int32_t Waiting[] = {0, 1, 3, 50};
    FPartFile.reset();
    FPartKind = FPartFileCount = FFileMode = FArticleLines = FBodyLines = 0;
    FMimeBase64 = FDataFound = FInternalAbort = false;
    FMimeName.clear();
    FMaxWaitingLines = Waiting[flags & 3];
  }
  // A new article: what its header says belongs to it alone.
  void Head() {
    FInBody = false;
    ++FArticleCurrent;
  }

  bool FInBody = false; // the lines are the body's, else the header's
};

// A folder read again after every input through the same handle, so no
// input costs a directory buffer of its own.
class TListing {
public:
  explicit TListing(const std::string& path) : FDir(::opendir(path.c_str())) { Check(FDir != nullptr); }
  ~TListing() { ::closedir(FDir); }
  TListing(const TListing&) = delete;
  TListing& operator=(const TListing&) = delete;

  // The names in the folder but "." and "..".
  const std::vector<std::string>& Read() {
    FNames.clear();
    ::rewinddir(FDir);
    while (const dirent* entry = ::readdir(FDir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        FNames.emplace_back(entry->d_name);
    }
    return FNames;
  }
  int Fd() const { return ::dirfd(FDir); }

private:
  DIR* FDir;
  std::vector<std::string> FNames;
};

struct TWorld {
  TWorld() {
    static int argc = 1;
    static char name[] = "scanner_fuzz";
    static char* argv[] = {name, nullptr};
    App = std::make_unique<QCoreApplication>(argc, argv);
    // In memory where there is a place for it: every input makes files.
    std::string root =
        fs::is_directory("/dev/shm") ? "/dev/shm/scanner_fuzz-XXXXXX" : "/tmp/scanner_fuzz-XXXXXX";
    Check(::mkdtemp(root.data()) != nullptr);
    Root = std::string(root) + "/";
    Folder = Root + "session/";
    fs::create_directory(Folder);
    Scanner = std::make_unique<TFuzzScanner>(Folder);
    RootListing = std::make_unique<TListing>(Root);
    FolderListing = std::make_unique<TListing>(Folder);
  }
  ~TWorld() {
    RootListing.reset();
    FolderListing.reset();
    Scanner.reset();
    std::error_code ignored;
    fs::remove_all(Root, ignored);
  }
  std::unique_ptr<QCoreApplication> App;
  std::string Root, Folder;
  std::unique_ptr<TFuzzScanner> Scanner;
  std::unique_ptr<TListing> RootListing, FolderListing;
};

TWorld& World() {
  static TWorld world;
  return world;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWorld& w = World();
  w.Scanner->Run(std::string_view(reinterpret_cast<const char*>(data), size));
  QCoreApplication::sendPostedEvents();

  // Only the session folder in the root, only files in the folder.
  const std::vector<std::string>& root = w.RootListing->Read();
  Check(root.size() == 1 && root.front() == "session");
  std::uint64_t blocks = 0, files = 0;
  const int folder = w.FolderListing->Fd();
  for (const std::string& name : w.FolderListing->Read()) {
    ++files;
    struct stat st {};
    Check(::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode));
    blocks += std::uint64_t(st.st_blocks) * 512;
    Check(::unlinkat(folder, name.c_str(), 0) == 0);
  }
  // Part files copy lines with CR LF, decoded files are smaller than their
  // text, and each file takes at most a few blocks more than its bytes.
  Check(blocks <= 4 * size + (files + 1) * 65536);
  return 0;
}
