#include "decode/Repair.h"

#include "codec/YEnc.h"
#include "decode/YEncFinished.h"
#include "decode/YEncRecord.h"
#include "platform/FileOps.h"
#include "tests/walk/TestSession.h"

#include <QCryptographicHash>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using Lines = std::vector<std::string>;

// Sets made by par2 itself in a session folder below a group whose name holds
// ".par2", and what TRepair makes of them.
class Repair : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HaveTool("par2"))
      GTEST_SKIP() << "par2 is not installed";
    CreateFolder(Folder);
    R->SetFolder(Folder);
    R->OnLog = [this](const std::string& text) { Logged.push_back(text); };
    R->OnStatus = [this](const std::string& text) { Shown.push_back(text); };
    // As the window stores a file: never over another one.
    R->OnFile = [this](const std::string& path, const std::string& name, bool completes) {
      if (!RenameFile(path, Folder + name))
        throw EInOutError("Cannot create " + Folder + name);
      Completes.push_back(completes);
    };
  }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(Folder + name, std::ios::binary) << data;
  }
  // movie.mkv and its set, blocks of 16 KiB.
  void Create(int recoveryBlocks) {
    Write("movie.mkv", Data);
    const std::string command = "cd '" + Folder + "' && par2 create -q -q -s16384 -c" +
                                std::to_string(recoveryBlocks) + " set.par2 movie.mkv >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  // movie.mkv as a yEnc file that misses the bytes [from, to): a .partial
  // with zeros there, beside the record of its parts, which gives the size
  // and crc32= of the post.
  void Partial(std::size_t from, std::size_t to, std::uint64_t size = 300000,
               std::optional<std::uint32_t> crc = std::nullopt) {
    std::string partial = Data;
    std::fill(partial.begin() + std::ptrdiff_t(from), partial.begin() + std::ptrdiff_t(to), '\0');
    Write("movie.mkv.partial", partial);
    TYEncEntry first;
    first.Part = 1;
    first.Range = {0, 16384};
    first.Crc = crc;
    Write("movie.mkv.partial.parts",
          TYEncRecord(size, "movie.mkv").HeaderLine() + TYEncRecord::PartLine(first));
    DeleteFile(Folder + "movie.mkv");
  }
  Lines Files() const {
    Lines names;
    for (const auto& entry : std::filesystem::directory_iterator(Folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Starts and waits for the last set's result.
  void Run(const std::string& saved) {
    Logged.clear(), Shown.clear();
    R->Saved(saved);
    R->Start();
    EXPECT_TRUE(PumpUntil([&] { return !R->Running() && (Shown.empty() || Shown.back().empty()); }, 30000));
  }
  bool ShownStarting(const std::string& text) const {
    return std::any_of(Shown.begin(), Shown.end(),
                       [&](const std::string& s) { return s.rfind(text, 0) == 0; });
  }

  QTemporaryDir Dir;
  const std::string Folder = Dir.path().toStdString() + "/server/alt.binaries.par2.test/";
  std::unique_ptr<TRepair> R = std::make_unique<TRepair>();
  Lines Logged, Shown;
  std::vector<bool> Completes;
  const std::string Data = RandomBytes(300000, 22);
};

// Only sets that got a file are verified; a whole one is left as it was,
// recovery files and all, with nothing of par2's work folder.
TEST_F(Repair, SetThatGotAFileIsVerifiedAndLeftAsItWas) {
  Create(2);
  const Lines before = Files();
  EXPECT_EQ(before, (Lines{"movie.mkv", "set.par2", "set.vol0+1.par2", "set.vol1+1.par2"}));
  Run("unrelated.jpg");
  EXPECT_EQ(Logged, Lines{});
  EXPECT_EQ(Shown, Lines{});
  for (const char* saved : {"set.vol1+1.par2", "movie.mkv"}) {
    Run(saved);
    EXPECT_EQ(Logged, Lines{"set.par2: all files correct"});
    EXPECT_TRUE(ShownStarting("Verifying set.par2 "));
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(Folder + "movie.mkv"), Data);
  }
}

// A multi-part yEnc file that missed articles is made whole from its
// .partial when the recovery blocks suffice, and its .partial and record
// go; else the set says how many more it needs. Either way nothing else
// changes, and a file that cannot be stored keeps its .partial.
TEST_F(Repair, FileMissingArticlesIsRepairedFromItsPartialWhenTheBlocksSuffice) {
  Create(2);
  Partial(16384, 4 * 16384);
  const Lines before = Files();
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"set.par2: repair needs 1 more recovery blocks"});
  EXPECT_EQ(Files(), before);

  Partial(100000, 120000);
  auto store = std::exchange(R->OnFile, [](const std::string&, const std::string&, bool) {
    throw EInOutError("Cannot create movie.mkv");
  });
  Run("set.par2");
  EXPECT_EQ(Logged, (Lines{"Cannot create movie.mkv", "set.par2: repaired 0 files"}));
  EXPECT_EQ(Files(), before);

  R->OnFile = store;
  const Lines whole{"movie.mkv", "set.par2", "set.vol0+1.par2", "set.vol1+1.par2"};
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"set.par2: repaired 1 files"});
  EXPECT_EQ(ReadFile(Folder + "movie.mkv"), Data);
  EXPECT_TRUE(ShownStarting("Verifying set.par2 "));
  EXPECT_TRUE(ShownStarting("Repairing set.par2 "));
  EXPECT_EQ(Files(), whole);
  // A .partial that holds the whole file already (its check had not ended)
  // needs no block, only its name.
  Partial(0, 0);
  Run("movie.mkv");
  EXPECT_EQ(Logged, Lines{"set.par2: repaired 1 files"});
  EXPECT_EQ(ReadFile(Folder + "movie.mkv"), Data);
  EXPECT_EQ(Files(), whole);
}

// A set that names the file of a .partial is taken for it only when the
// repaired file has the size and crc32= of the .partial's record (the size
// alone where the posts gave no crc32=, its CRC-32 read a piece per turn);
// otherwise it is handed over as another file of the name and the .partial
// and its record stay for the post's parts still to come.
TEST_F(Repair, RepairedFileTakesThePlaceOfAPartialOnlyWhenItMatchesTheRecord) {
  Create(2);
  R->SetCheckPiece(50000);
  const std::uint32_t crc = Crc32(0, Data.data(), Data.size());
  struct TCase {
    std::uint64_t Size;
    std::optional<std::uint32_t> Crc;
    bool Completes;
  };
  for (const TCase& c : {TCase{300001, crc, false}, TCase{300000, crc ^ 1, false}, TCase{300000, {}, true},
                         TCase{300000, crc, true}}) {
    Partial(100000, 120000, c.Size, c.Crc);
    const std::string record = ReadFile(Folder + "movie.mkv.partial.parts");
    Completes.clear();
    Run("set.par2");
    EXPECT_EQ(Logged, Lines{"set.par2: repaired 1 files"});
    EXPECT_EQ(Completes, std::vector<bool>{c.Completes});
    EXPECT_EQ(ReadFile(Folder + "movie.mkv"), Data);
    EXPECT_EQ(FileExists(Folder + "movie.mkv.partial"), !c.Completes);
    if (!c.Completes) {
      EXPECT_EQ(ReadFile(Folder + "movie.mkv.partial.parts"), record);
    }
    EXPECT_EQ(Files().size(), c.Completes ? 4u : 6u); // no work folder left
  }
}

// Names every PAR2 file of the set gives its file anew: to ../x, or, with
// junk before the index's own description, only where par2 finds it.
void Rename(const std::string& path, const std::string& name, bool hidden) {
  std::string d = ReadFile(path);
  for (std::size_t at = 0; at + 64 <= d.size();) {
    std::uint64_t length = 0;
    std::memcpy(&length, d.data() + at + 8, 8);
    if (d.compare(at + 48, 16, std::string("PAR 2.0\0FileDesc", 16)) == 0) {
      std::fill(d.begin() + std::ptrdiff_t(at + 120), d.begin() + std::ptrdiff_t(at + length), '\0');
      d.replace(at + 120, name.size(), name);
      const QByteArray md5 = QCryptographicHash::hash(
          QByteArrayView(d.data() + at + 32, qsizetype(length - 32)), QCryptographicHash::Md5);
      d.replace(at + 16, 16, md5.constData(), 16);
      if (hidden) {
        d.insert(at, "junk");
        break;
      }
    }
    at += length;
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << d;
}

// A set that names a file outside the session folder is refused: before par2
// runs when the name can be read, else from par2's report before it repairs.
TEST_F(Repair, SetNamingAFileOutsideTheFolderIsRefused) {
  Create(4);
  DeleteFile(Folder + "movie.mkv");
  for (const std::string& file : Files())
    Rename(Folder + file, "../x", false);
  const Lines before = Files();
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"set.par2: verify failed: the set names a file outside the folder: ../x"});
  EXPECT_EQ(Shown, Lines{});
  EXPECT_EQ(Files(), before);

  Rename(Folder + "set.par2", "../x", true);
  for (const char* file : {"set.vol0+1.par2", "set.vol1+2.par2", "set.vol3+1.par2"})
    Rename(Folder + file, "movie.mkv", false);
  Write("movie.mkv.partial", Data);
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"set.par2: verify failed: the set names a file outside the folder: %2E%2E/x"});
  EXPECT_EQ(Files(), (Lines{"movie.mkv.partial", "set.par2", "set.vol0+1.par2", "set.vol1+2.par2",
                            "set.vol3+1.par2"}));
  EXPECT_FALSE(std::filesystem::exists(Dir.path().toStdString() + "/server/x"));
}

// Without par2 the window says once that sets are not verified.
TEST_F(Repair, MissingPar2IsLoggedOnce) {
  Create(2);
  const Lines before = Files();
  R->SetProgram(Folder + "no-par2-here");
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"PAR2 sets are not verified: par2 is not installed"});
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{});
  EXPECT_EQ(Files(), before);
}

// X, closing the window and the time limit stop par2 at once; what it wrote
// goes with its work folder and the session folder is as before.
TEST_F(Repair, StoppedPar2LeavesTheFolderAsItWas) {
  Create(2);
  Partial(0, 16384);
  const Lines before = Files();
  // A par2 half way through writing the repaired file.
  const std::string slow = Dir.path().toStdString() + "/slow-par2";
  std::ofstream(slow) << "#!/bin/sh\necho half > movie.mkv\nexec sleep 30\n";
  std::filesystem::permissions(slow, std::filesystem::perms::owner_all);
  R->SetProgram(slow);
  const auto started = [&] {
    R->Saved("set.par2");
    R->Start();
    return PumpUntil([&] {
      for (const auto& entry : std::filesystem::directory_iterator(Folder))
        if (std::filesystem::exists(entry.path() / "movie.mkv"))
          return true;
      return false;
    });
  };

  ASSERT_TRUE(started());
  R->Stop();
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(R->Running());
  R->SetTimeLimit(std::chrono::milliseconds(100));
  Run("set.par2");
  EXPECT_EQ(Logged, Lines{"set.par2: verify failed: par2 took longer than 0 minutes"});
  EXPECT_EQ(Files(), before);
  ASSERT_TRUE(started());
  R.reset();
  EXPECT_EQ(Files(), before);
}

// A walk that missed an article of a multi-part yEnc file repairs it from
// the PAR2 files posted beside it once the walk has ended, below a group
// whose name holds ".par2": the file is listed and counted, its .partial
// gone, and the status back to the walk's.
class RepairWalk : public WalkTest {};

TEST_F(RepairWalk, MissedArticleIsRepairedAfterTheWalk) {
  if (!HaveTool("par2"))
    GTEST_SKIP() << "par2 is not installed";
  const std::string data = RandomBytes(300000, 24), made = Dir.path().toStdString() + "/made/";
  CreateFolder(made);
  std::ofstream(made + "movie.mkv", std::ios::binary) << data;
  ASSERT_EQ(std::system(("cd '" + made + "' && par2 create -q -q -s16384 -c8 set.par2 movie.mkv").c_str()),
            0);
  const std::vector<Lines> parts = YEncParts(data, "movie.mkv", 3);
  std::vector<TNewsArticle> posts{Post(1, 250, parts[0]), Post(2, 250, parts[2])};
  for (const char* file :
       {"set.par2", "set.vol0+1.par2", "set.vol1+2.par2", "set.vol3+4.par2", "set.vol7+1.par2"})
    posts.push_back(Post(std::int64_t(posts.size()) + 1, 250, YEncParts(ReadFile(made + file), file, 1)[0]));
  Values.group = "alt.binaries.par2.test";
  Server.ServeGroup(Values.group, posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  ASSERT_TRUE(PumpUntil([&] { return !Child->FRepair.Running() && Panel(0) == "Downloading Done"; }, 30000));
  EXPECT_EQ(Child->MemoLines().back(), "set.par2: repaired 1 files ");
  EXPECT_EQ(ReadFile(Folder() + "movie.mkv"), data);
  EXPECT_FALSE(FileExists(Folder() + "movie.mkv.partial"));
  EXPECT_FALSE(FileExists(Folder() + "movie.mkv.partial.parts"));
  EXPECT_EQ(Child->Saved().back(), "movie.mkv");
  EXPECT_EQ(Panel(3), "6");
  // The yEnc receiver is done with it: the missed part, coming late, makes no new .partial.
  Child->Body(parts[1]);
  Child->EndOfBody(true);
  EXPECT_FALSE(FileExists(Folder() + "movie.mkv.partial"));
  CloseExpecting(8);
  EXPECT_EQ(Child->MemoLines().back(),
            "part 2 of \"movie.mkv\": movie.mkv is complete already; part skipped ");
  EXPECT_TRUE(Errors.empty());
}

// A set made of other bytes under the name of a file still being put
// together repairs a file of its own: it is stored as "movie (1).mkv" and
// the .partial, its record and the list of finished files stay as they
// were, so the post's last part, coming late, makes the real movie.mkv.
TEST_F(RepairWalk, SetOfOtherBytesUnderTheNameOfAPartialLeavesItToThePost) {
  if (!HaveTool("par2"))
    GTEST_SKIP() << "par2 is not installed";
  const std::string real = RandomBytes(300000, 25), other = RandomBytes(300000, 26),
                    made = Dir.path().toStdString() + "/made/";
  CreateFolder(made);
  std::ofstream(made + "movie.mkv", std::ios::binary) << other;
  ASSERT_EQ(
      std::system(
          ("cd '" + made + "' && par2 create -q -q -s16384 -c20 evil.par2 movie.mkv >/dev/null").c_str()),
      0);
  DeleteFile(made + "movie.mkv");
  const std::vector<Lines> parts = YEncParts(real, "movie.mkv", 3);
  std::vector<TNewsArticle> posts{Post(1, 250, parts[0]), Post(2, 250, parts[1])};
  for (const auto& entry : std::filesystem::directory_iterator(made)) {
    const std::string file = entry.path().filename().string();
    posts.push_back(Post(std::int64_t(posts.size()) + 1, 250, YEncParts(ReadFile(made + file), file, 1)[0]));
  }
  Values.group = "alt.binaries.par2.test";
  Server.ServeGroup(Values.group, posts);
  Open();
  ASSERT_TRUE(WaitEnd());
  // The post still misses its last part, and the end says so.
  ASSERT_TRUE(PumpUntil(
      [&] { return !Child->FRepair.Running() && Panel(0) == "Downloading Done: 1 file incomplete"; }, 30000));
  EXPECT_EQ(Child->MemoLines().back(), "evil.par2: repaired 1 files ");
  EXPECT_EQ(ReadFile(Folder() + "movie (1).mkv"), other);
  EXPECT_EQ(Child->Saved().back(), "movie (1).mkv");
  EXPECT_FALSE(FileExists(Folder() + "movie.mkv"));
  EXPECT_TRUE(FileExists(Folder() + "movie.mkv.partial.parts"));
  EXPECT_FALSE(FileExists(Folder() + TYEncFinished::FileName));
  Child->Body(parts[2]);
  Child->EndOfBody(true);
  ASSERT_TRUE(PumpUntil([&] { return FileExists(Folder() + "movie.mkv"); }));
  EXPECT_EQ(ReadFile(Folder() + "movie.mkv"), real);
  EXPECT_FALSE(FileExists(Folder() + "movie.mkv.partial"));
  EXPECT_EQ(Child->Saved().back(), "movie.mkv");
  EXPECT_TRUE(Errors.empty());
}
