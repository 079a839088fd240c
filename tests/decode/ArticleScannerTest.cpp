#include "decode/ArticleScanner.h"
#include "tests/support/TestApplication.h"

#include "platform/FileOps.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

namespace {

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QCoreApplication>);

// The scanner with no walk around it, as the fuzz target and the benchmark
// drive it: what it says goes into Said.
class TScanner : public TArticleScanner {
public:
  explicit TScanner(const std::string& folder) { FSessionDir = folder; }
  using TArticleScanner::FArticleCurrent;
  using TArticleScanner::FArticleLines;
  using TArticleScanner::FDecodedCount;
  using TArticleScanner::FInternalAbort;
  using TArticleScanner::FMaxWaitingLines;
  void Body(const Lines& lines) {
    StartBody();
    for (const std::string& line : lines)
      BodyLine(line);
  }
  Lines Said;

protected:
  void Log(const std::string& text) override { Said.push_back("log " + text); }
  void FileStarted(std::string_view name) override { Said.push_back("started " + std::string(name)); }
  void FileSaved(const std::string& name) override { Said.push_back("saved " + name); }
  void Incomplete(const std::string& name, const std::string&) override {
    Said.push_back("incomplete " + name);
  }
  void GiveUpBody() override { Said.push_back("give up"); }
};

// "xyz" uuencoded.
const Lines XYZ = {"#>'EZ", "`"};

} // namespace

// A header's Lines:, a block decoded, a block its next begin line leaves
// unfinished, the waiting limit: all without a walk. A post that names the
// session folder's lock is stored beside it, the lock untouched.
TEST(ArticleScanner, ScansAndDecodesWithoutAWalk) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString() + "/";
  AppendText(folder + TArticleScanner::LockFileName, "1234\n");
  TScanner scanner(folder);
  scanner.HeaderLine("Lines: 12\r");
  EXPECT_EQ(scanner.FArticleLines, 12);
  scanner.Body({"begin 644 .vostel.lock", XYZ[0], XYZ[1], "end", "begin 644 cut.bin", XYZ[0]});
  scanner.Body({"begin 644 b.bin", XYZ[0], XYZ[1], "end"});
  EXPECT_EQ(ReadFile(folder + TArticleScanner::LockFileName), "1234\n");
  EXPECT_EQ(ReadFile(folder + ".vostel (1).lock"), "xyz");
  EXPECT_EQ(ReadFile(folder + "b.bin"), "xyz");
  EXPECT_EQ(scanner.Said, (Lines{"started .vostel.lock", "saved .vostel (1).lock", "started cut.bin",
                                 "started b.bin", "log Unfinished part file kept " + folder + "2.UUE",
                                 "incomplete " + folder + "2.UUE", "saved b.bin"}));
  EXPECT_EQ(scanner.FDecodedCount, 2);
  scanner.Said.clear();
  scanner.FMaxWaitingLines = 1;
  scanner.Body({"text", "more text"});
  EXPECT_TRUE(scanner.FInternalAbort);
  EXPECT_EQ(scanner.Said, (Lines{"log DOWNLOAD ABORTED, MAX WAITING LINES", "give up"}));
}

TEST(ArticleScanner, ExtractNameTakesTheTextAfterTheLastSlash) {
  EXPECT_EQ(TArticleScanner::ExtractName("/news/a/b.jpg"), "b.jpg");
  EXPECT_EQ(TArticleScanner::ExtractName("b.jpg"), "b.jpg");
  EXPECT_EQ(TArticleScanner::ExtractName("/news/"), "");
}
