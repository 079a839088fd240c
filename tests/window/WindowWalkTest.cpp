#include "tests/window/TestChild.h"

#include "platform/FileOps.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <unistd.h>

using Lines = std::vector<std::string>;
using WindowWalk = WindowWalkTest;

// The window as the main window opens it: in a sub-window that follows its
// caption, which names the group and the server, and whose close stores the
// position. The overview names no Lines:, so the walk asks for each header.
// Run to its end, the walk says so in the caption and the status, also once
// its QUIT is answered. The host label has room for the whole name; in a
// frame too narrow the name is cut, and whole in its tooltip.
TEST_F(WindowWalk, WalkFetchesTheBodiesInRangeDecodesThemAndStoresTheNextArticle) {
  const std::string a = RandomBytes(3000, 1), b = RandomBytes(5000, 2), c = RandomBytes(7000, 3);
  Server.OfferOverview({"Subject:", "X-Lines:"});
  Server.ServeGroup("alt.test",
                    {Post(101, 199, UU("no.bin", a)), Post(102, 200, Join({{"Hi"}, UU("a.bin", a)})),
                     Post(104, 300,
                          Join({{"Content-Transfer-Encoding: base64",
                                 "Content-Disposition: inline; filename=\"b.bin\"", ""},
                                Base64Lines(b),
                                {"--b--"}})),
                     Post(105, 301, UU("no.bin", a)), SinglePartPost(106, 250, "c.bin", c)});
  QMdiArea area;
  auto* child = new TTestChild;
  const QPointer<TTestChild> alive = child;
  QMdiSubWindow* sub = area.addSubWindow(child);
  sub->setAttribute(Qt::WA_DeleteOnClose);
  area.show();
  child->Session().Timer1.setInterval(1);
  child->show();
  Guarded([&] { child->FormCreate(child); });
  sub->resize(sub->size().expandedTo(sub->sizeHint()));
  EXPECT_EQ(sub->windowTitle().toStdString(), Captioned("Decoding"));
  const QLabel* host = child->lblHostName;
  const int room = host->fontMetrics().horizontalAdvance(host->text());
  ASSERT_TRUE(PumpUntil([&] { return child->MemoLines().back() == "Session Closed "; }));
  EXPECT_GE(host->width(), room);
  sub->resize(250, sub->height());
  PumpFor(20);
  EXPECT_LT(host->width(), room);
  EXPECT_EQ(host->toolTip().toStdString(), "127.0.0.1:" + Server.PortText());
  EXPECT_EQ(sub->windowTitle().toStdString(), Captioned("Download Done"));
  EXPECT_EQ(child->SB1Panels[0]->text(), "Downloading Done");
  EXPECT_EQ(Server.Received(),
            (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 101", "HEAD 102", "BODY 102", "HEAD 103",
                   "HEAD 104", "BODY 104", "HEAD 105", "HEAD 106", "BODY 106", "QUIT"}));
  const Lines memo = child->MemoLines();
  EXPECT_EQ(memo[5], "No overview, requesting headers ");
  EXPECT_EQ(memo[memo.size() - 3], "Request Body 106 c.bin Mime base64 Request Done ");
  EXPECT_EQ(ReadFile(Folder() + "a.bin"), a);
  EXPECT_EQ(ReadFile(Folder() + "b.bin"), b);
  EXPECT_EQ(ReadFile(Folder() + "c.bin"), c);
  EXPECT_EQ(child->Saved(), (Lines{"a.bin", "b.bin", "c.bin"}));
  EXPECT_EQ(child->ProgressBar3->value(), 1000);
  sub->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(alive.isNull());
  EXPECT_EQ(ReadFile(Folder() + "dati.ini"), Stored(107));
  EXPECT_TRUE(Errors.empty());
}

// S takes its number from the field beside it: a number that is no number
// is an error shown, the field kept for the user to mend; nothing to skip
// clears the field; a number passes that many articles.
TEST_F(WindowWalk, SkipTakesItsNumberFromTheField) {
  Server.ServeGroup("alt.test", {Post(1, 10), Post(2, 10), Post(3, 10), Post(4, 10), Post(5, 10)});
  Open();
  auto skip = [&](const char* n) {
    Child->EdArticlesToSkip->setText(n);
    Child->Skip->click();
  };
  skip("x");
  EXPECT_EQ(Errors, Lines{"'x' is not a valid integer value"});
  EXPECT_EQ(Child->EdArticlesToSkip->text(), "x");
  skip("-3");
  EXPECT_EQ(Child->EdArticlesToSkip->text(), "0");
  skip("3");
  EXPECT_EQ(Child->EdArticlesToSkip->text(), "0");
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Server.Received(), (Lines{"GROUP alt.test", "LIST OVERVIEW.FMT", "HEAD 1", "HEAD 5", "QUIT"}));
  EXPECT_EQ(Panel(1) + " " + Panel(2), "5 5");
}

// A session folder another walker has: the window says whose it is in its
// status, offers R alone and writes nothing there.
TEST_F(WindowWalk, AFolderWalkedElsewhereIsShownWithRestart) {
  TWalkLock other;
  CreateFolder(Folder());
  ASSERT_TRUE(other.Take(Folder(), TArticleScanner::LockFileName));
  Open();
  EXPECT_EQ(Panel(0), "alt.test on 127.0.0.1:" + Server.PortText() +
                          " is being walked by another Vostel (process " + std::to_string(::getpid()) + ")");
  EXPECT_EQ(Child->windowTitle().toStdString(), Captioned("Not Started"));
  for (const QPushButton* button : {Child->Stop, Child->After, Child->Skip})
    EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
  EXPECT_TRUE(Child->Restart->isEnabled());
  Child->close();
  EXPECT_FALSE(FileExists(Folder() + "dati.ini"));
  EXPECT_EQ(Server.Connections(), 0);
  EXPECT_TRUE(Errors.empty());
}

// A refused connect: the caption follows the status, whose tooltip says it
// whole with what to do, as the log does; R clears the advice. X leaves R.
TEST_F(WindowWalk, AFailedStartSaysWhatToDoAndXLeavesRestart) {
  Open(); // nothing listens yet
  ASSERT_TRUE(PumpUntil([&] { return Child->Restart->isEnabled(); }));
  Child->FlushUpdates();
  const std::string advice = "is the port right? plain NNTP is usually 119, TLS 563";
  EXPECT_EQ(Child->windowTitle().toStdString(), Captioned("Not Connected"));
  EXPECT_EQ(Child->SB1Panels[0]->toolTip().toStdString(), Panel(0) + "\n" + advice);
  EXPECT_EQ(Child->MemoLines().back(), advice + " ");

  Server.ServeGroup("alt.test", {Post(1, 10)});
  Child->Restart->click();
  EXPECT_EQ(Child->windowTitle().toStdString(), Captioned("Decoding"));
  EXPECT_EQ(Child->SB1Panels[0]->toolTip().toStdString(), "What the window is doing");
  Child->Stop->click();
  EXPECT_FALSE(Child->Stop->isEnabled());
  ASSERT_TRUE(Child->Restart->isEnabled());
  Child->Restart->click();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ(Child->windowTitle().toStdString(), Captioned("Download Done"));
  EXPECT_TRUE(Errors.empty());
}
