#include "tests/app/AppTest.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using ConfigDialog = AppTest;

namespace {

Names Items(const QListWidget* list) {
  Names items;
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
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.b", "news.a"})); // file order
  EXPECT_EQ(dlg->EdPath->text(), "/dl/");
  for (const char* name : {"", "  ", "news.b"}) { // empty: nothing added
    dlg->EdNewServer->setText(name);
    dlg->btSAdd->click();
  }
  EXPECT_EQ(dlg->EdNewServer->text(), "");
  dlg->btSDel->click(); // nothing selected
  dlg->lstServers->setCurrentRow(0);
  dlg->btSDel->click();
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.a", "  ", "news.b"}));

  dlg->show();
  QTest::keyClick(dlg->EdPath, Qt::Key_Escape);
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), file);
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.b"}));
  Main->ConfigBtn->click();
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.a", "  ", "news.b"}));
  QTest::keyClick(dlg->EdNewServer, Qt::Key_Return); // Enter means OK
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(Items(Main->cboHost), (Names{"  ", "news.a", "news.b"}));
}

TEST_F(ConfigDialog, AboutBoxSwitchesLanguageAndReopensInTheLastOne) {
  Start();
  auto shown = [] {
    return AboutBox->MemoE->isHidden() == AboutBox->MemoI->isHidden() ? "both or none"
           : AboutBox->MemoE->isHidden() ? "Italian, " + AboutBox->Button1->text()
                                         : "English, " + AboutBox->Button1->text();
  };
  Main->HelpAboutItem->trigger();
  ASSERT_TRUE(AboutBox->isVisible());
  EXPECT_EQ(shown(), "English, Italiano");
  AboutBox->Button1->click();
  AboutBox->OKButton->click();
  EXPECT_FALSE(AboutBox->isVisible());
  Main->HelpAboutItem->trigger();
  EXPECT_EQ(shown(), "Italian, English");
  AboutBox->Button1->click();
  EXPECT_EQ(shown(), "English, Italiano");
}
