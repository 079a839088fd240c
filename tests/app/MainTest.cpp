#include "session/ChildWin.h"
#include "session/StartValues.h"
#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolButton>

#include <algorithm>

using MainWindow = AppTest;

namespace {

// Counts the close events that reach the decode windows themselves, where
// each one's own close handling runs.
class TCloseCounter : public QObject {
public:
  int Closes = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    Closes += event->type() == QEvent::Close;
    return false;
  }
};

bool Received(const TScriptedNewsServer& server, const std::string& line) {
  const auto lines = server.Received();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void DeleteClosedWindows() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

} // namespace

TEST_F(MainWindow, OpensOneDecodeWindowPerServerAndGroupOnceBothAreChosen) {
  const std::string a = NewsServer("alt.a");
  WriteSettings("[CONFIG]\r\nPATH=" + Folder + "news/\r\n[SERVER]\r\nS=" + a +
                "\r\n[GROUPS]\r\nG=alt.a\r\nG=alt.b\r\n");
  Start();
  EXPECT_EQ(StartValues, Main.get());
  EXPECT_EQ(Main->windowTitle(), "Vostel News Decoder v. beta 0.60");
  EXPECT_EQ(Main->size(), QSize(549, 371));
  QAction* const commands[] = {Main->WindowCascadeItem, Main->WindowTileItem, Main->WindowArrangeItem,
                               Main->WindowMinimizeItem};
  for (QAction* item : commands)
    EXPECT_FALSE(item->isEnabled());

  Main->FileOpenItem->trigger();
  Main->cboHost->setCurrentIndex(0);
  Main->OpenBtn->click(); // no group yet
  EXPECT_EQ(DecodeWindows(), 0);
  Select(a, "alt.a");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 1);
  EXPECT_EQ(Main->mdiArea->subWindowList()[0]->windowTitle(), "Decoding");
  for (QAction* item : commands)
    EXPECT_TRUE(item->isEnabled());

  // Two windows on one folder would number their part files alike.
  Main->FileOpenItem->trigger();
  EXPECT_EQ(DecodeWindows(), 1);
  EXPECT_EQ(Messages, (std::vector<std::pair<std::string, std::string>>{
                          {"A Download Window for this Server and Group is already open", ""}}));
  Select(a, "alt.b");
  Main->FileOpenItem->trigger();
  EXPECT_EQ(DecodeWindows(), 2);
  Main->mdiArea->subWindowList(QMdiArea::CreationOrder)[0]->close();
  Select(a, "alt.a");
  Main->FileOpenItem->trigger();
  EXPECT_EQ(DecodeWindows(), 2);
  EXPECT_EQ(Messages.size(), 1u);

  // The commands go off when the last window has gone.
  Main->mdiArea->closeAllSubWindows();
  DeleteClosedWindows();
  for (QAction* item : commands)
    EXPECT_FALSE(item->isEnabled());
}

TEST_F(MainWindow, EachDecodeWindowKeepsWhatWasShownWhenItOpened) {
  const std::string a = NewsServer("alt.a"), b = NewsServer("alt.b");
  WriteSettings("[CONFIG]\r\nPATH=" + Folder + "news/\r\n[SERVER]\r\nS=" + a + "\r\nS=" + b +
                "\r\n[GROUPS]\r\nG=alt.a\r\nG=alt.b\r\n");
  Start();
  Select(a, "alt.a");
  Main->MinR->setText("10");
  Main->MaxR->setText("100");
  EXPECT_EQ(StartValues->Server(), a);
  EXPECT_EQ(StartValues->Group(), "alt.a");
  EXPECT_EQ(StartValues->MinLines() + "-" + StartValues->MaxLines(), "10-100");
  EXPECT_EQ(StartValues->WaitingLines(), "0");
  EXPECT_EQ(StartValues->DefaultExt(), "mid");
  EXPECT_EQ(StartValues->DownloadPath(), Folder + "news/");
  Main->OpenBtn->click();
  Select(b, "alt.b");
  Main->MinR->setText("5000");
  Main->MaxR->setText("6000");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 2);
  if constexpr (DecodeWindowsTalk) {
    // The first walks alt.a and fetches the 30-line article; the second sees
    // only articles below its limits.
    EXPECT_TRUE(PumpUntil([&] { return Received(*Servers[0], "BODY 102"); }, 15000));
    EXPECT_TRUE(PumpUntil([&] { return Received(*Servers[1], "HEAD 103"); }, 15000));
    EXPECT_FALSE(Received(*Servers[0], "GROUP alt.b"));
    for (const std::string& line : Servers[1]->Received())
      EXPECT_NE(line.rfind("BODY", 0), 0u) << line;
  }
}

TEST_F(MainWindow, ConfigurationIsRefusedWhileADecodeWindowIsOpen) {
  const std::string a = NewsServer("alt.a");
  WriteSettings("[SERVER]\r\nS=" + a + "\r\n[GROUPS]\r\nG=alt.a\r\n");
  Start();
  Main->ConfigBtn->click();
  EXPECT_TRUE(OKBottomDlg->isVisible());
  // The dialog does not block the main window.
  Select(a, "alt.a");
  Main->OpenBtn->click();
  EXPECT_EQ(DecodeWindows(), 1);
  OKBottomDlg->hide();
  Main->ConfigBtn->click();
  EXPECT_FALSE(OKBottomDlg->isVisible());
  EXPECT_EQ(Messages, (std::vector<std::pair<std::string, std::string>>{
                          {"Please Close all Download Window before enter config", ""}}));
  Main->mdiArea->closeAllSubWindows();
  Main->ConfigBtn->click();
  EXPECT_TRUE(OKBottomDlg->isVisible());
}

TEST_F(MainWindow, ClosingClosesEveryDecodeWindowFirstAndStaysOpenWhenTheSaveFails) {
  const std::string a = NewsServer("alt.a"), b = NewsServer("alt.b");
  WriteSettings("[CONFIG]\r\nPATH=" + Folder + "news/\r\n[SERVER]\r\nS=" + a + "\r\nS=" + b +
                "\r\n[GROUPS]\r\nG=alt.a\r\nG=alt.b\r\n");
  Start();
  TCloseCounter counter;
  Select(a, "alt.a");
  Main->OpenBtn->click();
  Select(b, "alt.b");
  Main->OpenBtn->click();
  for (QMdiSubWindow* sub : Main->mdiArea->subWindowList())
    sub->widget()->installEventFilter(&counter);
  ::rename((Folder + "VOSTEL.INI").c_str(), (Folder + "saved").c_str());
  CreateFolder(Folder + "VOSTEL.INI"); // the exit save cannot write there
  EXPECT_FALSE(Main->close());
  EXPECT_EQ(counter.Closes, 2);
  EXPECT_EQ(DecodeWindows(), 0);
  EXPECT_TRUE(Main->isVisible());
  EXPECT_EQ(Errors, std::vector<std::string>{"Unable to write to " + Folder + "VOSTEL.INI"});
  ::rmdir((Folder + "VOSTEL.INI").c_str());
  EXPECT_TRUE(Main->close());
}

TEST_F(MainWindow, TileStacksFullWidthWindowsAndIconsLineUpAlongTheBottom) {
  std::string servers;
  for (int i = 0; i < 3; ++i)
    servers += "S=" + NewsServer("alt.a") + "\r\n";
  WriteSettings("[CONFIG]\r\nPATH=" + Folder + "news/\r\n[SERVER]\r\n" + servers + "[GROUPS]\r\nG=alt.a\r\n");
  Start();
  Main->resize(800, 600);
  for (int i = 0; i < 3; ++i) {
    Main->cboHost->setCurrentIndex(i);
    Main->cboGroup->setCurrentIndex(0);
    Main->OpenBtn->click();
  }
  const auto windows = Main->mdiArea->subWindowList(QMdiArea::CreationOrder);
  ASSERT_EQ(windows.size(), 3);
  Main->WindowTileItem->trigger();
  const QRect area = Main->mdiArea->viewport()->rect();
  int top = 0;
  for (QMdiSubWindow* sub : windows) {
    EXPECT_EQ(sub->geometry().left(), 0);
    EXPECT_EQ(sub->geometry().width(), area.width());
    EXPECT_EQ(sub->geometry().top(), top);
    top = sub->geometry().bottom() + 1;
  }
  EXPECT_EQ(top, area.height());

  emit Main->WindowMenu->aboutToShow();
  QStringList listed;
  for (QAction* item : Main->WindowMenu->actions())
    listed << item->text();
  EXPECT_EQ(listed.mid(5), (QStringList{"&1 Decoding", "&2 Decoding", "&3 Decoding"}));

  Main->WindowMinimizeItem->trigger();
  Main->WindowArrangeItem->trigger();
  int left = 0;
  for (QMdiSubWindow* sub : windows) {
    EXPECT_TRUE(sub->isMinimized());
    EXPECT_EQ(sub->geometry().bottom(), area.bottom());
    EXPECT_EQ(sub->geometry().left(), left);
    left = sub->geometry().right() + 1;
  }
  Main->WindowCascadeItem->trigger();
}

TEST_F(MainWindow, HintsShowInTheStatusBar) {
  Start();
  Main->FileMenu->menuAction()->showStatusText(Main->menuBar());
  EXPECT_EQ(Main->StatusBar->currentMessage(), "File related commands");
  Main->WindowTileItem->showStatusText(Main->menuBar()); // as a menu shows it
  EXPECT_EQ(Main->StatusBar->currentMessage(), "Arrange windows without overlap");
  EXPECT_EQ(Main->OpenBtn->toolTip(), Main->OpenBtn->statusTip());
  EXPECT_EQ(Main->OpenBtn->toolTip(), "Open a Automatic Decode Window");
}
