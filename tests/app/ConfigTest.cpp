#include "tests/app/AppTest.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using ConfigDialog = AppTest;

namespace {

std::vector<std::string> Items(const QListWidget* list) {
  std::vector<std::string> items;
  for (int i = 0; i < list->count(); ++i)
    items.push_back(list->item(i)->text().toStdString());
  return items;
}

} // namespace

TEST_F(ConfigDialog, AddAndDeleteEditTheListsAndCancelKeepsTheEditsUnsaved) {
  const std::string file =
      "[CONFIG]\r\nPATH=/dl/\r\n[SERVER]\r\nS=news.b\r\nS=news.a\r\n[GROUPS]\r\nG=alt.x\r\n";
  WriteSettings(file);
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  EXPECT_EQ(Items(dlg->lstServers), (std::vector<std::string>{"news.b", "news.a"})); // file order
  EXPECT_EQ(dlg->EdPath->text(), "/dl/");
  dlg->btSAdd->click(); // empty: nothing added
  for (const char* name : {"  ", "news.b"}) {
    dlg->EdNewServer->setText(name);
    dlg->btSAdd->click();
  }
  EXPECT_EQ(dlg->EdNewServer->text(), "");
  dlg->btSDel->click(); // nothing selected
  dlg->lstServers->setCurrentRow(0);
  dlg->btSDel->click();
  EXPECT_EQ(Items(dlg->lstServers), (std::vector<std::string>{"news.a", "  ", "news.b"}));

  dlg->show();
  dlg->CancelBtn->click();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), file);
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"news.a", "news.b"}));
  Main->ConfigBtn->click();
  EXPECT_EQ(Items(dlg->lstServers), (std::vector<std::string>{"news.a", "  ", "news.b"}));
  dlg->OKBtn->click();
  EXPECT_EQ(Items(Main->cboHost), (std::vector<std::string>{"  ", "news.a", "news.b"}));
}

TEST_F(ConfigDialog, EnterMeansOkAndEscapeCancel) {
  Start();
  OKBottomDlg->show();
  OKBottomDlg->EdNewGroup->setText("alt.new");
  QTest::keyClick(OKBottomDlg->EdPath, Qt::Key_Escape);
  EXPECT_FALSE(OKBottomDlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "(missing)");
  Main->ConfigBtn->click();
  OKBottomDlg->btGAdd->click();
  QTest::keyClick(OKBottomDlg->EdPath, Qt::Key_Return);
  EXPECT_FALSE(OKBottomDlg->isVisible());
  EXPECT_EQ(Items(Main->cboGroup), std::vector<std::string>{"alt.new"});
}

TEST_F(ConfigDialog, AboutBoxSwitchesLanguageAndReopensInTheLastOne) {
  Start();
  Main->HelpAboutItem->trigger();
  ASSERT_TRUE(AboutBox->isVisible());
  EXPECT_TRUE(AboutBox->MemoI->isHidden());
  AboutBox->Button1->click();
  EXPECT_TRUE(AboutBox->MemoE->isHidden());
  EXPECT_FALSE(AboutBox->MemoI->isHidden());
  EXPECT_EQ(AboutBox->Button1->text(), "English");
  AboutBox->OKButton->click();
  EXPECT_FALSE(AboutBox->isVisible());
  Main->HelpAboutItem->trigger();
  EXPECT_FALSE(AboutBox->MemoI->isHidden());
  EXPECT_EQ(AboutBox->Button1->text(), "English");
  AboutBox->Button1->click();
  EXPECT_FALSE(AboutBox->MemoE->isHidden());
  EXPECT_EQ(AboutBox->Button1->text(), "Italiano");
}
