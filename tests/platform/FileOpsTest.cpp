#include "platform/FileOps.h"
#include "platform/Exceptions.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

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

// What is still buffered counts, and is dropped with the rest; a writer that
// appends closes to disk.
TEST_F(FileOps, WriterCutsBackToAnEarlierSizeAndAppends) {
  TFileWriter w(Folder + "t");
  w.Write("kept\r\n");
  const std::int64_t size = w.Size();
  w.Write("dropped\r\n");
  EXPECT_EQ(w.Size(), 15);
  w.Truncate(size);
  w.Write("next\r\n");
  w.Close();
  EXPECT_EQ(w.Size(), 0);
  EXPECT_THROW(w.Truncate(0), EInOutError);
  w.Append(Folder + "t");
  w.Write("more\r\n");
  w.Close(true);
  EXPECT_EQ(ReadFile(Folder + "t"), "kept\r\nnext\r\nmore\r\n");
  EXPECT_THROW(w.Append(Folder + "no/such/f"), EInOutError);
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

// An installed copy keeps its settings in the user's folder: one in a folder
// it may not write, and one with its menu entry beside it (installed by root,
// or into ~/.local).
TEST_F(FileOps, SettingsLiveBesideTheProgramUnlessItIsInstalled) {
  EXPECT_EQ(ProgramFolderFor(Folder), Folder);
  QCoreApplication::setApplicationName("Vostel");
  const QByteArray old = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Folder + "config"));
  const std::string missing = ProgramFolderFor(Folder + "usr/bin/");
  CreateFolder(Folder + "prefix/bin"); // writable, and its menu entry beside it
  CreateFolder(Folder + "prefix/share/applications");
  AppendText(Folder + "prefix/share/applications/vostel.desktop", "");
  const std::string installed = ProgramFolderFor(Folder + "prefix/bin/");
  old.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", old);
  EXPECT_EQ(missing, Folder + "config/Vostel/");
  EXPECT_EQ(installed, Folder + "config/Vostel/");
  EXPECT_TRUE(QFileInfo(QString::fromStdString(missing)).isDir()); // made when missing
}

// Replacing the original leaves a backup as it was.
TEST_F(FileOps, ABackupIsALinkOrACopyAndNeverReplacesAFile) {
  AppendText(Folder + "VOSTEL.INI", "old");
  ASSERT_TRUE(LinkOrCopyFile(Folder + "VOSTEL.INI", Folder + "Vostel.bak"));
  AppendText(Folder + "new", "new");
  ASSERT_EQ(std::rename((Folder + "new").c_str(), (Folder + "VOSTEL.INI").c_str()), 0);
  EXPECT_FALSE(LinkOrCopyFile(Folder + "VOSTEL.INI", Folder + "Vostel.bak"));
  EXPECT_EQ(ReadFile(Folder + "Vostel.bak"), "old");
  EXPECT_FALSE(LinkOrCopyFile(Folder + "missing", Folder + "other"));
  EXPECT_FALSE(FileExists(Folder + "other"));
  // From another file system only a copy can be made; it is as private as
  // the file.
  QTemporaryDir elsewhere(QFileInfo("/dev/shm").isDir() ? "/dev/shm/vostel-XXXXXX"
                                                        : QDir::tempPath() + "/x-XXXXXX");
  const std::string secret = elsewhere.path().toStdString() + "/secret";
  AppendText(secret, "private");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  ASSERT_TRUE(LinkOrCopyFile(secret, Folder + "secret.bak"));
  struct stat copy {};
  ASSERT_EQ(::stat((Folder + "secret.bak").c_str(), &copy), 0);
  EXPECT_EQ(copy.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(Folder + "secret.bak"), "private");
}

// The extension stays; the cut never splits a UTF-8 character.
TEST_F(FileOps, FitNameCutsTheStemAtACharacterBoundary) {
  EXPECT_EQ(NameMax(Folder), 255u);
  EXPECT_EQ(FitName("short.jpg", 255), "short.jpg");
  EXPECT_EQ(FitName("short.jpg", 255, " (2)"), "short (2).jpg");
  EXPECT_EQ(FitName(".hidden", 7, " (1)"), ".hi (1)");
  EXPECT_EQ(FitName("abcdef.jpg", 8), "abcd.jpg");
  EXPECT_EQ(FitName("ab\xC3\xA9"
                    "f.jpg",
                    7),
            "ab.jpg");                                            // 2-byte é at the cut
  EXPECT_EQ(FitName("a\xF0\x9F\x98\x80.jpg", 8), "a.jpg");        // 4-byte emoji at the cut
  EXPECT_EQ(FitName("name.verylongextension", 10), "name.veryl"); // no room: cut whole
}
