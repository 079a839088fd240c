#include "platform/FileOps.h"
#include "tests/app/AppTest.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <sys/resource.h>

using Settings = AppTest;

namespace {

const std::string Listed = "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=/dl/\r\n\r\n"
                           "[SERVER]\r\nS=news.b\r\nS=news.a\r\n\r\n[GROUPS]\r\nG=alt.x\r\n";
const Said NotSaved = {{"Problem Writing New Settings, New Settings Not Saved", "Vostel Error"}};

} // namespace

TEST_F(Settings, NoFileShowsTheDefaultsAndTheExitSaveWritesTheLimitsOnly) {
  Start();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_EQ(Main->MinR->text() + Main->MaxR->text() + Main->DefE->text(), "1001000mid");
  EXPECT_EQ(Main->cboHost->count() + Main->cboGroup->count(), 0);
  EXPECT_TRUE(Main->close());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "[CONFIG]\r\nMINLINES=100\r\nMAXLINES=1000\r\nDEFEXT=mid\r\n");
}

TEST_F(Settings, ListsLoadSortedWithoutKeysAndNothingSelected) {
  // Keys of either case, a value holding "=", a duplicate and a hand-written
  // line without the key, which takes the first keyed entry from the top.
  const std::string lists = "[SERVER]\r\nS=zeta\r\ns=Alpha\r\nS=mid=dle\r\nS=zeta\r\nhandwritten\r\n"
                            "[GROUPS]\r\nG=alt.b\r\ng=alt.a\r\n";
  AppendText(Folder + "vostel.ini", "[config]\r\nminlines=7\r\nDefExt=\r\nPATH=/no/slash\r\n" + lists);
  Start();
  EXPECT_EQ(Items(Main->cboHost), (Names{"Alpha", "Alpha", "mid=dle", "zeta", "zeta"}));
  EXPECT_EQ(Items(Main->cboGroup), (Names{"alt.a", "alt.b"}));
  EXPECT_EQ(Main->cboHost->currentIndex() + Main->cboGroup->currentIndex(), -2);
  EXPECT_EQ(Main->lblPath->text(), "/no/slash");
  EXPECT_EQ(Main->MinR->text() + "|" + Main->MaxR->text() + "|" + Main->DefE->text(),
            "7|1000|"); // empty stays
  // The exit save updates that file in place; a pasted line break adds no line.
  Main->MaxR->setText("77");
  Main->DefE->setText("bin\r\n[SERVER]");
  EXPECT_TRUE(Main->close());
  EXPECT_EQ(ReadFile("vostel.ini"),
            "[config]\r\nMINLINES=7\r\nDEFEXT=bin[SERVER]\r\nPATH=/no/slash\r\nMAXLINES=77\r\n" + lists);
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
  Main->MinR->setText("999"); // not saved: the reload shows the stored value
  OKBottomDlg->show();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"),
            "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=/downloads/\r\n\r\n"
            "[SERVER]\r\nS=news.b\r\nS=news.a\r\nS=news.c\r\n\r\n[GROUPS]\r\n");
  EXPECT_EQ(ReadFile("Vostel.bak"), Listed);
  EXPECT_EQ(OKBottomDlg->EdPath->text() + " " + Main->lblPath->text() + " " + Main->MinR->text(),
            "/downloads/ /downloads/ 5");
  EXPECT_FALSE(OKBottomDlg->isVisible());
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.b", "news.c"}));
  EXPECT_EQ(Main->cboGroup->count(), 0);
  // A path of one character is stored as the default download path.
  OKBottomDlg->EdPath->setText("x");
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}

TEST_F(Settings, TheFirstOkKeepsTheLimitsTheUserWasShown) {
  Start();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=100\r\nMAXLINES=1000\r\nPATH=" +
                                        Folder + "news/\r\n\r\n[SERVER]\r\n\r\n[GROUPS]\r\n");
  EXPECT_EQ(Main->MinR->text(), "100");
}

TEST_F(Settings, AnOldNewFileGoesFirstAndNamesCannotAddLines) {
  WriteSettings(Listed);
  AppendText(Folder + "vostel1.ini", "[SERVER]\r\nS=stale\r\n\r\n[GROUPS]\r\nG=stale\r\n");
  Start();
  OKBottomDlg->EdNewServer->setText("news.evil\r\n[GROUPS]\r\nG=alt.evil");
  OKBottomDlg->btSAdd->click();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.b", "news.evil[GROUPS]G=alt.evil"}));
  EXPECT_EQ(Items(Main->cboGroup), Names{"alt.x"});
  EXPECT_EQ(ReadFile("vostel1.ini"), "(missing)");
}

TEST_F(Settings, AWriteFailingPartWayKeepsTheOldSettings) {
  WriteSettings(Listed);
  Start();
  for (int i = 0; i < 300; ++i)
    OKBottomDlg->lstServers->addItem(QString("news%1.example.com").arg(i));
  // A file size limit stands in for a full disk: the new file's CONFIG
  // section fits, its lists do not.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 2048;
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  OKBottomDlg->OKBtn->click();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_EQ(Messages, NotSaved);
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.b"}));
  EXPECT_FALSE(OKBottomDlg->isVisible()); // closed after the message
}

TEST_F(Settings, AFailedKeyedWriteEndsOkWithItsErrorAndTheDialogStaysOpen) {
  WriteSettings(Listed);
  CreateFolder(Folder + "VOSTEL1.INI"); // a folder where the new file should go
  Start();
  OKBottomDlg->show();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Errors, Names{"Unable to write to " + Folder + "VOSTEL1.INI"});
  EXPECT_TRUE(OKBottomDlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
}

// A file without PACING paces as before and is saved without one; a pacing
// the user sets is stored, shown again, and taken by the next decode window.
TEST_F(Settings, PacingIsStoredOnlyWhenSetAndReachesTheNextDecodeWindow) {
  const std::string server = NewsServer("alt.x");
  WriteSettings("[CONFIG]\r\nPATH=" + Folder + "\r\n[SERVER]\r\nS=" + server + "\r\n[GROUPS]\r\nG=alt.x\r\n");
  Start();
  EXPECT_EQ(Main->Pacing() + " " + OKBottomDlg->EdPacing->text().toStdString(), "500 500");
  OKBottomDlg->EdPacing->setText(" 12x");
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(OKBottomDlg->EdPacing->text(), "500");
  EXPECT_EQ(ReadFile("VOSTEL.INI").find("PACING"), std::string::npos);
  OKBottomDlg->EdPacing->setText("0");
  OKBottomDlg->OKBtn->click();
  EXPECT_NE(ReadFile("VOSTEL.INI").find("\r\nPATH=" + Folder + "\r\nPACING=0\r\n"), std::string::npos);
  EXPECT_EQ(Main->Pacing(), "0");
  Select(server, "alt.x");
  Main->OpenBtn->click();
  const auto* child = qobject_cast<TMDIChild*>(Main->mdiArea->subWindowList().at(0)->widget());
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->Timer1->interval(), 0);
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}
