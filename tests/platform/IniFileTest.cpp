#include "platform/IniFile.h"
#include "platform/Exceptions.h"
#include "platform/FileOps.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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

TEST_F(IniFile, CapacitiesCutLongValuesAndLongSections) {
  const std::string longValue(1500, 'v');
  Write("[CONFIG]\r\nPATH=" + longValue + "\r\n[SERVER]\r\n");
  for (int i = 0; i < 4000; ++i)
    Write("S=server" + std::to_string(10000 + i) + "\r\n"); // 14 bytes + NUL each
  EXPECT_EQ(IniReadString(Path, "CONFIG", "PATH", ""), std::string(1023, 'v'));
  const auto entries = IniReadSection(Path, "SERVER");
  std::size_t used = 1;
  for (const auto& e : entries)
    used += e.size() + 1;
  EXPECT_LE(used, IniSectionCapacity);
  EXPECT_GT(used, IniSectionCapacity - 16);
  EXPECT_EQ(entries.front(), "S=server10000");
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
