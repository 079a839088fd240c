#include "platform/FileOps.h"
#include "settings/Passwords.h"
#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"
#include "walk/StartValues.h"
#include "window/TransferProgress.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

using MainWindow = AppTest;

namespace {

bool Received(const TScriptedNewsServer& server, const std::string& line) {
  const auto lines = server.Received();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

// Two windows on one folder would number their part files alike. Tile stacks
// full-width windows; minimized, they line up along the bottom. The
// configuration dialog opens meanwhile and says that they keep their values.
TEST_F(MainWindow, OneDecodeWindowPerServerAndGroupArrangedAndConfigurationMeanwhile) {
  const std::string a = NewsServer("alt.a");
  WriteLists({a}, {"alt.a", "alt.b"});
  Start();
  // A long path does not widen it past the screen.
  EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(Main->geometry()));
  QAction* const commands[] = {Main->WindowCascadeItem, Main->WindowTileItem, Main->WindowArrangeItem,
                               Main->WindowMinimizeItem};
  auto enabled = [&] {
    return std::count_if(commands, commands + 4, [](QAction* c) { return c->isEnabled(); });
  };
  EXPECT_EQ(enabled(), 0);
  Main->ConfigBtn->click();
  EXPECT_TRUE(OKBottomDlg->isVisible()); // modeless: Open still works

  Main->cboHost->setCurrentIndex(0);
  Main->OpenBtn->click(); // no group yet
  EXPECT_EQ(DecodeWindows(), 0);
  Select(a, "alt.a");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 1);
  EXPECT_EQ(enabled(), 4);
  Main->FileOpenItem->trigger();
  Select(a, "alt.b");
  Main->FileOpenItem->trigger();
  const auto windows = Main->mdiArea->subWindowList(QMdiArea::CreationOrder);
  ASSERT_EQ(windows.size(), 2);
  Main->resize(800, 600);
  Main->WindowTileItem->trigger();
  const QRect area = Main->mdiArea->viewport()->rect();
  int top = 0;
  for (QMdiSubWindow* sub : windows) {
    EXPECT_EQ(sub->geometry(), QRect(0, top, area.width(), sub->height()));
    top = sub->geometry().bottom() + 1;
  }
  EXPECT_EQ(top, area.height());
  emit Main->WindowMenu->aboutToShow();
  QStringList listed;
  for (QAction* item : Main->WindowMenu->actions())
    listed << item->text();
  const QString server = QString::fromStdString(a);
  EXPECT_EQ(listed.mid(5),
            (QStringList{"&1 Decoding \u2014 alt.a on " + server, "&2 Decoding \u2014 alt.b on " + server}));
  Main->WindowMinimizeItem->trigger();
  Main->WindowArrangeItem->trigger();
  int left = 0;
  for (QMdiSubWindow* sub : windows) {
    EXPECT_TRUE(sub->isMinimized());
    EXPECT_EQ(sub->geometry().bottomLeft(), QPoint(left, area.bottom()));
    left = sub->geometry().right() + 1;
  }

  windows[0]->close();
  Select(a, "alt.a");
  Main->FileOpenItem->trigger();
  EXPECT_EQ(DecodeWindows(), 2);
  OKBottomDlg->hide();
  Main->ConfigBtn->click();
  EXPECT_TRUE(OKBottomDlg->isVisible());
  EXPECT_TRUE(OKBottomDlg->lblOpenWindows->isVisibleTo(OKBottomDlg));
  EXPECT_EQ(Messages, (Said{{"Select a NewsGroup", ""},
                            {"A Download Window for this Server and Group is already open", ""}}));

  Main->mdiArea->closeAllSubWindows();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(enabled(), 0);
  EXPECT_FALSE(OKBottomDlg->lblOpenWindows->isVisibleTo(OKBottomDlg));
}

// Each window keeps the values shown when it opened, whatever the dialog
// saves meanwhile: a server deleted keeps its password while a window walks
// with it. Closing the main window closes every decode window first and
// stays open when the save fails.
TEST_F(MainWindow, EachDecodeWindowWalksWithItsOwnValuesAndAllCloseBeforeTheSave) {
  const std::string a = NewsServer("alt.a"), b = NewsServer("alt.b");
  WriteLists({a, b}, {"alt.a", "alt.b"});
  Start();
  Main->Passwords->SetPassword(a, "pw");
  Select(a, "alt.a");
  Main->MinR->setText("10");
  Main->MaxR->setText("100");
  const IStartValues& v = *StartValues;
  EXPECT_EQ(v.Server() + " " + v.Group() + " " + v.MinLines() + " " + v.MaxLines() + " " + v.WaitingLines() +
                " " + v.DefaultExt() + " " + v.DownloadPath(),
            a + " alt.a 10 100 0 mid " + Folder + "news/");
  Main->OpenBtn->click();
  Select(b, "alt.b");
  Main->MinR->setText("5000");
  Main->MaxR->setText("6000");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 2);
  Main->ConfigBtn->click();
  TOKBottomDlg* dlg = OKBottomDlg;
  dlg->lstServers->setCurrentRow(1);
  dlg->EdPacing->clear();
  QTest::keyClicks(dlg->EdPacing, "0");
  dlg->lstServers->setCurrentRow(0);
  dlg->btSDel->click();
  dlg->OKBtn->click();
  EXPECT_EQ(Items(Main->cboHost), Names{b});
  EXPECT_EQ(Main->PasswordOf(a), "pw");
  for (QMdiSubWindow* sub : Main->mdiArea->subWindowList())
    EXPECT_EQ(static_cast<TMDIChild*>(sub->widget())->Session().Timer1.interval(), 500);
  // The first fetches the 30-line article; for the second all are too short.
  EXPECT_TRUE(PumpUntil([&] { return Received(*Servers[0], "BODY 102"); }, 15000));
  EXPECT_TRUE(PumpUntil([&] { return Received(*Servers[1], "HEAD 103"); }, 15000));
  EXPECT_FALSE(Received(*Servers[0], "GROUP alt.b"));
  for (const std::string& line : Servers[1]->Received())
    EXPECT_NE(line.rfind("BODY", 0), 0u) << line;
  // The status bar sums the windows' speeds as they show them, and drops a
  // window's once it is gone.
  const QString none = "Total: " + TTransferProgress::SpeedText(0);
  EXPECT_TRUE(PumpUntil([&] { return Main->lblTotalSpeed->text() != none; }));

  std::vector<QWidget*> children; // still there until the loop deletes them
  for (QMdiSubWindow* sub : Main->mdiArea->subWindowList())
    children.push_back(sub->widget());
  ::rename((Folder + "VOSTEL.INI").c_str(), (Folder + "saved").c_str());
  CreateFolder(Folder + "VOSTEL.INI"); // the exit save cannot write there
  EXPECT_FALSE(Main->close());
  for (QWidget* child : children) // closed itself, so its own close handling ran
    EXPECT_TRUE(child->isHidden());
  EXPECT_EQ(DecodeWindows(), 0);
  EXPECT_TRUE(PumpUntil([&] { return Main->lblTotalSpeed->text() == none; }));
  EXPECT_TRUE(Main->isVisible());
  EXPECT_EQ(Errors, Names{"Unable to write to " + Folder + "VOSTEL.INI"});
  ::rmdir((Folder + "VOSTEL.INI").c_str());
  ::rename((Folder + "saved").c_str(), (Folder + "VOSTEL.INI").c_str());
  Main->ConfigBtn->click();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Main->PasswordOf(a), "");
  EXPECT_TRUE(Main->close());
}

TEST_F(MainWindow, AboutBoxReopensInTheLanguageLastShown) {
  Start();
  Main->HelpAboutItem->trigger();
  EXPECT_TRUE(AboutBox->MemoI->isHidden() && !AboutBox->MemoE->isHidden());
  AboutBox->Button1->click();
  AboutBox->OKButton->click();
  EXPECT_FALSE(AboutBox->isVisible());
  Main->HelpAboutItem->trigger();
  EXPECT_TRUE(AboutBox->MemoE->isHidden() && !AboutBox->MemoI->isHidden());
  EXPECT_EQ(AboutBox->Button1->text(), "English");
}

// Open says what it still needs, from a first start on; a number the window
// could not convert stops it, naming the field, and such a limit is never
// saved. OK in the dialog keeps the typed fields and the selections still
// listed.
TEST_F(MainWindow, OpenSaysWhatIsMissingRefusesABadNumberAndOkKeepsWhatWasTyped) {
  Start();
  EXPECT_EQ(Main->cboHost->placeholderText() + "|" + Main->cboGroup->placeholderText(),
            "Add servers in Configuration|Add groups in Configuration");
  Main->OpenBtn->click();
  OKBottomDlg->lstServers->addItems({"news.a", "news.b"});
  OKBottomDlg->lstGroups->addItems({"alt.a", "alt.b"});
  OKBottomDlg->OKBtn->click();
  Main->cboGroup->setCurrentIndex(1);
  Main->FileOpenItem->trigger();
  EXPECT_EQ(Messages, (Said{{"No News Server configured: add one in the Configuration Window\n"
                             "No NewsGroup configured: add one in the Configuration Window",
                             ""},
                            {"Select a News Server", ""}}));

  Select("news.a", "alt.a");
  for (const auto& [min, max, pacing] : {std::tuple{"abc", "1000", "0"},
                                         {"10", " 1e3", "0"},
                                         {"10", "", "0"},
                                         {"10", "1000", "fast"}}) { // a hand-written PACING
    Main->MinR->setText(min);
    Main->MaxR->setText(max);
    Main->SetServerSettings({{"news.a", {"4", "4", pacing}}});
    Main->OpenBtn->click();
  }
  EXPECT_EQ(Errors, (Names{"Min Lines: 'abc' is not a valid integer value",
                           "Max Lines: ' 1e3' is not a valid integer value",
                           "Max Lines: '' is not a valid integer value",
                           "Pacing (ms): 'fast' is not a valid integer value"}));
  EXPECT_EQ(DecodeWindows(), 0);
  Main->MinR->setText("abc");
  Main->MaxR->setText(" 77");
  delete OKBottomDlg->lstGroups->takeItem(0);
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Main->MinR->text() + Main->MaxR->text() + Main->cboHost->currentText(), "abc 77news.a");
  EXPECT_EQ(Main->cboGroup->currentIndex(), -1);
  EXPECT_TRUE(Main->close());
  const std::string saved = ReadFile("VOSTEL.INI");
  EXPECT_NE(saved.find("\r\nMINLINES=100\r\nMAXLINES= 77\r\n"), std::string::npos) << saved;
}

// A first configuration of one server and one group is ready to open.
TEST_F(MainWindow, AFirstConfigurationOfOneServerAndOneGroupIsReadyToOpen) {
  const std::string a = NewsServer("alt.a");
  Start();
  OKBottomDlg->lstServers->addItem(QString::fromStdString(a));
  OKBottomDlg->lstGroups->addItem("alt.a");
  OKBottomDlg->OKBtn->click();
  Main->OpenBtn->click();
  EXPECT_EQ(DecodeWindows(), 1);
}
