#include "platform/IniFile.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"
#include "tests/platform/NoPermissionOverride.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

class IniFile : public ::testing::Test {
protected:
  void Write(const std::string& text) { AppendText(Path, text); }
  std::string Read() { return ReadFile(Path); }

  QTemporaryDir Dir;
  std::string Path = Dir.path().toStdString() + "/dati.ini";
};

TEST_F(IniFile, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(IniReadString(Path, "READED", "LAST", "0"), "0");
  EXPECT_TRUE(IniReadSection(Path, "SERVER").empty());
  Write("[READED]\r\nLAST=17\r\n");
  EXPECT_EQ(IniReadString(Path, "OTHER", "LAST", "d"), "d");
  EXPECT_EQ(IniReadString(Path, "READED", "FIRST", "d"), "d");
  EXPECT_TRUE(IniReadSection(Path, "SERVER").empty());
}

TEST_F(IniFile, NamesCompareWithoutRegardToCaseAndEmptyValuesStayEmpty) {
  Write("[Config]\r\nminLines=100\r\nDEFEXT=\r\nPATH=C=D\r\n");
  EXPECT_EQ(IniReadString(Path, "CONFIG", "MINLINES", "x"), "100");
  EXPECT_EQ(IniReadString(Path, "config", "defext", "mid"), "");
  EXPECT_EQ(IniReadString(Path, "CONFIG", "PATH", ""), "C=D"); // only the first "=" separates
}

TEST_F(IniFile, ReadsLfOnlyFilesLikeCrLfFiles) {
  Write("[SERVER]\nS=news.a\nS=news.b\n[GROUPS]\nG=alt.x\n");
  EXPECT_EQ(IniReadSection(Path, "server"), (std::vector<std::string>{"S=news.a", "S=news.b"}));
  EXPECT_EQ(IniReadString(Path, "GROUPS", "G", ""), "alt.x");
}

TEST_F(IniFile, SectionReadGivesEveryEntryLineAsWritten) {
  Write("[CONFIG]\r\nPATH=/x/\r\n\r\n[SERVER]\r\nS=one\r\ns=Two = 2 \r\nno key\r\n\r\n; note\r\nS=one\r\n"
        "\r\n[GROUPS]\r\nG=a\r\n");
  EXPECT_EQ(IniReadSection(Path, "SERVER"),
            (std::vector<std::string>{"S=one", "s=Two = 2 ", "no key", "S=one"}));
}

// A long value is cut; a section is read whole, however long it and its
// entries are, so a save of what was read loses nothing.
TEST_F(IniFile, LongValuesAreCutAndLongSectionsReadWhole) {
  const std::string longValue(1500, 'v'), longEntry = "S=" + std::string(40000, 'a');
  Write("[CONFIG]\r\nPATH=" + longValue + "\r\n[SERVER]\r\n" + longEntry + "\r\n");
  for (int i = 0; i < 4000; ++i)
    Write("S=server" + std::to_string(10000 + i) + "\r\n");
  Write("[GROUPS]\r\nG=x\r\n");
  EXPECT_EQ(IniReadString(Path, "CONFIG", "PATH", ""), std::string(1023, 'v'));
  const auto entries = IniReadSection(Path, "SERVER");
  ASSERT_EQ(entries.size(), 4001u);
  EXPECT_EQ(entries.front(), longEntry);
  EXPECT_EQ(entries.back(), "S=server13999");
  EXPECT_EQ(IniReadSection(Path, "GROUPS"), std::vector<std::string>{"G=x"});
}

TEST_F(IniFile, WriteCreatesTheFileWithCrLfLines) {
  IniWriteString(Path, "READED", "LAST", "42");
  EXPECT_EQ(Read(), "[READED]\r\nLAST=42\r\n");
  EXPECT_EQ(IniReadString(Path, "readed", "last", "0"), "42");
}

TEST_F(IniFile, WriteUpdatesInPlaceAndKeepsEveryOtherLineByteForByte) {
  const std::string before =
      "; mine\n[CONFIG]\r\nDEFEXT=mid\r\nminlines=100\nMAXLINES=1000\r\nPATH=/d/\r\n\r\n"
      "[SERVER]\r\nS=a\r\n";
  Write(before);
  IniWriteString(Path, "CONFIG", "MINLINES", "5");
  EXPECT_EQ(Read(), "; mine\n[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=5\nMAXLINES=1000\r\nPATH=/d/\r\n\r\n"
                    "[SERVER]\r\nS=a\r\n");
}

TEST_F(IniFile, WriteAddsAMissingKeyAtTheEndOfItsSection) {
  Write("[CONFIG]\r\nPATH=/d/\r\n\r\n[SERVER]\r\nS=a");
  IniWriteString(Path, "CONFIG", "DEFEXT", "jpg");
  IniWriteString(Path, "SERVER", "X", "1");
  EXPECT_EQ(Read(), "[CONFIG]\r\nPATH=/d/\r\nDEFEXT=jpg\r\n\r\n[SERVER]\r\nS=a\r\nX=1\r\n");
}

TEST_F(IniFile, WriteAddsAMissingSectionAtTheEnd) {
  Write("[SERVER]\r\nS=a\r\n");
  IniWriteString(Path, "CONFIG", "MINLINES", "100");
  EXPECT_EQ(Read(), "[SERVER]\r\nS=a\r\n\r\n[CONFIG]\r\nMINLINES=100\r\n");
}

TEST_F(IniFile, AFailedWriteRaisesAndLeavesNoHalfFile) {
  const std::string bad = Dir.path().toStdString() + "/missing/VOSTEL.INI";
  try {
    IniWriteString(bad, "CONFIG", "MINLINES", "1");
    FAIL() << "wrote into a missing folder";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + bad).c_str());
  }
  IniWriteString(Path, "A", "B", "C");
  IniWriteString(Path, "A", "B", "D");
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{"dati.ini"}); // no temporary left over
}

// A keyed write never loses what the file holds: a file it cannot read stays
// as it is, one in a folder it cannot write is updated in place, and a
// replaced file keeps its mode.
TEST_F(IniFile, AKeyedWriteKeepsAFileItCannotReadOrReplace) {
  const std::string folder = Dir.path().toStdString();
  Write("[CONFIG]\r\nMINLINES=100\r\nPATH=/d/\r\n");
  ASSERT_EQ(::chmod(Path.c_str(), 0200), 0);
  {
    TNoPermissionOverride modes;
    if (const int probe = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC); probe >= 0) {
      ::close(probe);
      GTEST_SKIP() << "file modes do not hold for this user";
    }
    try {
      IniWriteString(Path, "CONFIG", "MINLINES", "5");
      ADD_FAILURE() << "replaced a file it could not read";
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path);
    }
    EXPECT_EQ(IniReadString(Path, "CONFIG", "PATH", "none"), "none"); // reads like a missing file
    ASSERT_EQ(::chmod(Path.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    IniWriteString(Path, "CONFIG", "MINLINES", "7");  // shorter: the old tail goes
    IniWriteString(Path, "CONFIG", "DEFEXT", "jpeg"); // longer
    // With no file to update there is nothing to fall back on.
    EXPECT_THROW(IniWriteString(folder + "/new.ini", "A", "B", "C"), EInOutError);
    ::chmod(folder.c_str(), 0700);
  }
  EXPECT_EQ(Read(), "[CONFIG]\r\nMINLINES=7\r\nPATH=/d/\r\nDEFEXT=jpeg\r\n");
  EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files), QStringList{"dati.ini"});
  IniWriteString(Path, "CONFIG", "PASS", "y");
  IniWriteString(folder + "/new.ini", "A", "B", "C");
  struct stat replaced {
  }, created{};
  ASSERT_EQ(::stat(Path.c_str(), &replaced) | ::stat((folder + "/new.ini").c_str(), &created), 0);
  EXPECT_EQ(replaced.st_mode & 07777, 0600u);
  EXPECT_EQ(created.st_mode & 07777, 0644u);
}

// The first section of a name counts, for a read as for a keyed write; a
// file read once does not see what is written later.
TEST_F(IniFile, TheFirstSectionOfANameCountsAndAFileReadOnceStaysAsRead) {
  Write("[S a]\r\nC=8\r\n[ s A ]\r\nC=2\r\nP=9\r\n");
  const TIniDocument file(Path);
  IniWriteString(Path, "S A", "P", "1");
  EXPECT_EQ(IniReadSection(Path, "s a"), (std::vector<std::string>{"C=8", "P=1"}));
  EXPECT_EQ(file.ReadString("S A", "C", "d") + file.ReadString("S A", "P", "d"), "8d");
}
