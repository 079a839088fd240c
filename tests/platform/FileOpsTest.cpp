#include "platform/FileOps.h"
#include "platform/Exceptions.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

class FileOps : public ::testing::Test {
protected:
  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/";
};

TEST_F(FileOps, RenameNeverReplacesAnExistingFile) {
  AppendText(Folder + "a", "new");
  AppendText(Folder + "b", "old");
  EXPECT_FALSE(RenameFile(Folder + "a", Folder + "b"));
  EXPECT_EQ(ReadFile(Folder + "b"), "old");
  EXPECT_TRUE(RenameFile(Folder + "a", Folder + "c"));
  EXPECT_FALSE(FileExists(Folder + "a"));
  EXPECT_EQ(ReadFile(Folder + "c"), "new");
  EXPECT_FALSE(RenameFile(Folder + "missing", Folder + "d"));
}

TEST_F(FileOps, WriterTruncatesAndAppendAdds) {
  AppendText(Folder + "f", "first\r\n");
  AppendText(Folder + "f", "second\r\n");
  EXPECT_EQ(ReadFile(Folder + "f"), "first\r\nsecond\r\n");
  TFileWriter w(Folder + "f");
  w.Write("x");
  w.Close();
  EXPECT_FALSE(w.IsOpen());
  EXPECT_EQ(ReadFile(Folder + "f"), "x");
  EXPECT_TRUE(DeleteFile(Folder + "f"));
  EXPECT_FALSE(DeleteFile(Folder + "f"));
}

TEST_F(FileOps, FailuresRaiseInOutErrorsNamingTheFile) {
  const std::string bad = Folder + "no/such/folder/file";
  EXPECT_THROW(ReadFile(bad), EInOutError);
  EXPECT_THROW(AppendText(bad, "x"), EInOutError);
  try {
    TFileWriter w(bad);
    FAIL() << "created a file in a missing folder";
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos);
  }
}

TEST_F(FileOps, FoldersAreCreatedQuietly) {
  CreateFolder(Folder + "x/y/");
  CreateFolder(Folder + "x/y/"); // existing: no error
  AppendText(Folder + "x/y/z", "");
  EXPECT_TRUE(FileExists(Folder + "x/y/z"));
  AppendText(Folder + "file", "");
  CreateFolder(Folder + "file/sub"); // impossible: no error either
}

TEST_F(FileOps, FindsAFileWithoutRegardToCase) {
  AppendText(Folder + "vostel.ini", "");
  EXPECT_EQ(FindFileNoCase(Folder, "VOSTEL.INI"), Folder + "vostel.ini");
  EXPECT_EQ(FindFileNoCase(Folder, "Vostel.bak"), Folder + "Vostel.bak");
  const std::string program = ProgramFolder();
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(program.back(), '/');
  EXPECT_EQ(program.front(), '/');
}
