#include "app/Settings.h"
#include "platform/FileOps.h"
#include "tests/app/AppTest.h"
#include "tests/platform/NoPermissionOverride.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

using Settings = AppTest;

namespace {

const std::string Listed = "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=/dl/\r\n\r\n"
                           "[SERVER]\r\nS=news.b\r\nS=news.a\r\n\r\n[GROUPS]\r\nG=alt.x\r\n";

bool CanCreateIn(const std::string& folder) {
  const std::string probe = folder + "probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

} // namespace

TEST_F(Settings, NoFileShowsTheDefaultsAndTheExitSaveWritesTheLimitsOnly) {
  Start();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_EQ(Main->MinR->text(), "100");
  EXPECT_EQ(Main->MaxR->text(), "1000");
  EXPECT_EQ(Main->DefE->text(), "mid");
  EXPECT_EQ(Main->cboHost->count() + Main->cboGroup->count(), 0);
  EXPECT_TRUE(Main->close());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "[CONFIG]\r\nMINLINES=100\r\nMAXLINES=1000\r\nDEFEXT=mid\r\n");
}

TEST_F(Settings, ListsLoadSortedWithoutKeysAndNothingSelected) {
  // Keys of either case, a value holding "=", a duplicate and a hand-written
  // line without the key, which takes the first keyed entry from the top.
  WriteSettings("[config]\r\nminlines=7\r\nDefExt=\r\nPATH=/no/slash\r\n[SERVER]\r\nS=zeta\r\ns=Alpha\r\n"
                "S=mid=dle\r\nS=zeta\r\nhandwritten\r\n[GROUPS]\r\nG=alt.b\r\ng=alt.a\r\n");
  ::rename((Folder + "VOSTEL.INI").c_str(), (Folder + "vostel.ini").c_str());
  Start();
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"Alpha", "Alpha", "mid=dle", "zeta", "zeta"}));
  EXPECT_EQ(Items(Main->cboGroup), (std::vector<std::string>{"alt.a", "alt.b"}));
  EXPECT_EQ(Main->cboHost->currentIndex(), -1);
  EXPECT_EQ(Main->cboGroup->currentIndex(), -1);
  EXPECT_EQ(Main->lblPath->text(), "/no/slash");
  EXPECT_EQ(Main->MinR->text(), "7");
  EXPECT_EQ(Main->MaxR->text(), "1000");
  EXPECT_EQ(Main->DefE->text(), ""); // present but empty: not the default
  // The exit save updates the file of any case in place.
  Main->MaxR->setText("77");
  Main->DefE->setText("bin\r\n[SERVER]"); // a pasted line break adds no line
  EXPECT_TRUE(Main->close());
  EXPECT_EQ(ReadFile("vostel.ini"),
            "[config]\r\nMINLINES=7\r\nDEFEXT=bin[SERVER]\r\nPATH=/no/slash\r\nMAXLINES=77\r\n"
            "[SERVER]\r\nS=zeta\r\ns=Alpha\r\nS=mid=dle\r\nS=zeta\r\nhandwritten\r\n"
            "[GROUPS]\r\nG=alt.b\r\ng=alt.a\r\n");
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "(missing)");
}

TEST_F(Settings, DialogSaveWritesANewFileKeepsTheBackupAndReloadsTheMainWindow) {
  WriteSettings(Listed);
  Start();
  OKBottomDlg->EdNewServer->setText("news.c");
  OKBottomDlg->btSAdd->click();
  OKBottomDlg->lstGroups->setCurrentRow(0);
  OKBottomDlg->btGDel->click();
  OKBottomDlg->EdPath->setText("/downloads");
  Main->MinR->setText("999"); // not saved yet: the reload shows the stored value
  OKBottomDlg->show();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"),
            "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=/downloads/\r\n\r\n"
            "[SERVER]\r\nS=news.b\r\nS=news.a\r\nS=news.c\r\n\r\n[GROUPS]\r\n");
  EXPECT_EQ(ReadFile("Vostel.bak"), Listed);
  EXPECT_EQ(ReadFile("VOSTEL1.INI"), "(missing)");
  EXPECT_EQ(OKBottomDlg->EdPath->text(), "/downloads/");
  EXPECT_FALSE(OKBottomDlg->isVisible());
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"news.a", "news.b", "news.c"}));
  EXPECT_EQ(Main->cboGroup->count(), 0);
  EXPECT_EQ(Main->MinR->text(), "5");
  EXPECT_EQ(Main->lblPath->text(), "/downloads/");
  EXPECT_TRUE(Messages.empty() && Errors.empty());

  // A path of one character is stored as the default download path.
  OKBottomDlg->EdPath->setText("x");
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
}

TEST_F(Settings, TheFirstOkKeepsTheLimitsTheUserWasShown) {
  Start();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=100\r\nMAXLINES=1000\r\nPATH=" +
                                        Folder + "news/\r\n\r\n[SERVER]\r\n\r\n[GROUPS]\r\n");
  EXPECT_EQ(Main->MinR->text(), "100");
  EXPECT_EQ(ReadFile("Vostel.bak"), "(missing)");
}

TEST_F(Settings, ANewFileLeftByAnEarlierSaveIsDeletedFirst) {
  WriteSettings(Listed);
  AppendText(Folder + "vostel1.ini", "[SERVER]\r\nS=stale\r\n\r\n[GROUPS]\r\nG=stale\r\n");
  Start();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"news.a", "news.b"}));
  EXPECT_EQ(Items(Main->cboGroup), std::vector<std::string>{"alt.x"});
  EXPECT_EQ(ReadFile("vostel1.ini"), "(missing)");
}

TEST_F(Settings, NamesCannotAddLinesToTheFile) {
  WriteSettings(Listed);
  Start();
  OKBottomDlg->EdNewServer->setText("news.evil\r\n[GROUPS]\r\nG=alt.evil");
  OKBottomDlg->btSAdd->click();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Items(Main->cboHost),
            (std::vector<std::string>{"news.a", "news.b", "news.evil[GROUPS]G=alt.evil"}));
  EXPECT_EQ(Items(Main->cboGroup), std::vector<std::string>{"alt.x"});
}

TEST_F(Settings, AWriteFailingPartWayKeepsTheOldSettings) {
  WriteSettings(Listed);
  Start();
  for (int i = 0; i < 300; ++i)
    OKBottomDlg->lstServers->addItem(QString("news%1.example.com").arg(i));
  // A file size limit stands in for a full disk: the new file's CONFIG section
  // fits, its lists do not.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 2048;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  OKBottomDlg->OKBtn->click();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_EQ(Messages, (std::vector<std::pair<std::string, std::string>>{
                          {"Problem Writing New Settings, New Settings Not Saved", "Vostel Error"}}));
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"news.a", "news.b"}));
  EXPECT_FALSE(OKBottomDlg->isVisible()); // the dialog closes after the message
}

TEST_F(Settings, ANewFileThatCannotBeReplacedMakesTheSaveFailWithTheMessage) {
  WriteSettings(Listed);
  AppendText(Folder + "VOSTEL1.INI", "[SERVER]\r\nS=stale\r\n");
  Start();
  OKBottomDlg->EdNewServer->setText("news.c");
  OKBottomDlg->btSAdd->click();
  ASSERT_EQ(::chmod(Folder.c_str(), 0555), 0);
  {
    TNoPermissionOverride modes;
    if (!modes.Active() || CanCreateIn(Folder)) {
      ::chmod(Folder.c_str(), 0700);
      GTEST_SKIP() << "folder modes do not hold for this user";
    }
    OKBottomDlg->OKBtn->click();
  }
  ::chmod(Folder.c_str(), 0700);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].first, "Problem Writing New Settings, New Settings Not Saved");
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"news.a", "news.b"}));
}

TEST_F(Settings, AFailedKeyedWriteEndsOkWithItsErrorAndTheDialogStaysOpen) {
  WriteSettings(Listed);
  CreateFolder(Folder + "VOSTEL1.INI"); // a folder where the new file should go
  Start();
  OKBottomDlg->show();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Errors, std::vector<std::string>{"Unable to write to " + Folder + "VOSTEL1.INI"});
  EXPECT_TRUE(OKBottomDlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
}
