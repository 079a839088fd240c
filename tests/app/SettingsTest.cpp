#include "app/Settings.h"
#include "platform/FileOps.h"
#include "platform/IniFile.h"
#include "settings/Passwords.h"
#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <cstdlib>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Settings = AppTest;
using namespace std::string_literals;

namespace {

int Mode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// OK with a file size limit standing in for a full disk: 2 KiB fit.
void OkOnAFullDisk() {
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 2048;
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  OKBottomDlg->OKBtn->click();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
}

const std::string Listed =
    "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=/tmp/vostel-dl/\r\n\r\n"
    "[SERVER]\r\nS=news.b\r\nS=news.a\r\n\r\n[GROUPS]\r\nG=alt.x\r\n";

// A server's section past its pacing when it fills in for none and compresses.
const std::string Plain = "FILL=0\r\nPRIORITY=0\r\nCOMPRESSION=1\r\n";

// The opens of VOSTEL.INI that an inotify watch on its folder saw since the
// last call, whatever file has the name. The watch takes closes too, or
// opens that follow one another unread would count as one.
int Opens(int watch) {
  int opens = 0;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;)
    for (ssize_t at = 0; at < n;
         at += ssize_t(sizeof(inotify_event) + reinterpret_cast<const inotify_event*>(buffer + at)->len)) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      opens += (event->mask & IN_OPEN) && event->len > 0 && std::string(event->name) == "VOSTEL.INI";
    }
  return opens;
}

} // namespace

// A first OK stores the limits the user was shown, not empty ones: a range
// that takes the parts posted today, whose worth in lines the fields' tool
// tips tell (a file that exists keeps its range, below). A server
// added starts with 4 connections of 4 requests in flight, at full speed;
// a value out of its range is refused at OK, naming the field and the
// server, which is selected again. What the user sets is stored in the
// server's own section and taken by the next decode window on it.
TEST_F(Settings, NoFileShowsTheDefaultsTheFirstOkStoresThemAndServerSettingsReachTheNextWindow) {
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_EQ(Main->MinR->text() + " " + Main->MaxR->text() + " " + Main->DefE->text(), "100 50000 mid");
  for (const QLineEdit* limit : {Main->MinR, Main->MaxR})
    EXPECT_TRUE(limit->toolTip().contains("about 128 bytes of a yEnc file"))
        << limit->toolTip().toStdString();
  EXPECT_EQ(Main->cboHost->count() + Main->cboGroup->count(), 0);
  EXPECT_FALSE(dlg->EdConnections->isEnabled()); // no server selected
  dlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=100\r\nMAXLINES=50000\r\nPATH=" +
                                        Folder + "news/\r\n\r\n[SERVER]\r\n\r\n[GROUPS]\r\n");
  EXPECT_EQ(Main->MinR->text(), "100");

  const std::string server = NewsServer("alt.x");
  Main->ConfigBtn->click();
  for (const std::string& name : {server, "news.other"s}) {
    dlg->EdNewServer->setText(QString::fromStdString(name));
    dlg->btSAdd->click();
  }
  dlg->EdNewGroup->setText("alt.x");
  dlg->btGAdd->click();
  dlg->lstServers->setCurrentRow(0);
  const auto shown = [&] {
    return dlg->EdConnections->text() + " " + dlg->EdInFlight->text() + " " + dlg->EdPacing->text();
  };
  EXPECT_EQ(shown(), "4 4 0");
  const std::pair<QLineEdit*, std::string> refused[] = {
      {dlg->EdConnections, "Connections of " + server + ": '51' is not a whole number from 1 to 50"},
      {dlg->EdInFlight, "Requests in flight of " + server + ": '0' is not a whole number from 1 to 100"},
      {dlg->EdPacing, "Pacing (ms) of " + server + ": '1e3' is not a whole number from 0 to 3600000"}};
  const char* typed[] = {"51", "0", "1e3"};
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    dlg->lstServers->setCurrentRow(0);
    refused[i].first->clear();
    QTest::keyClicks(refused[i].first, typed[i]);
    dlg->lstServers->setCurrentRow(1); // kept for the server it was typed for
    dlg->OKBtn->click();
    EXPECT_EQ(Messages, (Said{{refused[i].second, "Vostel Error"}}));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->lstServers->currentRow(), 0);
    Messages.clear();
    refused[i].first->clear();
    QTest::keyClicks(refused[i].first, i == 0 ? " 8" : i == 1 ? "2" : "0");
  }
  dlg->OKBtn->click();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_NE(ReadFile("VOSTEL.INI")
                .find("[GROUPS]\r\nG=alt.x\r\n\r\n[SERVER " + server +
                      "]\r\nCONNECTIONS=8\r\nINFLIGHT=2\r\nPACING=0\r\n" + Plain +
                      "\r\n[SERVER news.other]\r\nCONNECTIONS=4\r\nINFLIGHT=4\r\nPACING=0\r\n" + Plain),
            std::string::npos);
  Select(server, "alt.x");
  EXPECT_EQ(Main->Connections() + " " + Main->RequestsInFlight() + " " + Main->Pacing(), "8 2 0");
  Main->OpenBtn->click();
  const auto* child = qobject_cast<TMDIChild*>(Main->mdiArea->subWindowList().at(0)->widget());
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->Session().Timer1.interval(), 0);
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}

// A file written before servers had settings of their own, and without the
// limits, keeps the range it showed. Each server it lists keeps the file's
// PACING, with 4 connections of 4 requests in
// flight; a value out of range in a server's section takes that default.
// OK stores each server's section after the lists, where the lists are
// still read as they were.
TEST_F(Settings, AnOldFileKeepsItsPacingForItsServersAndItsListsAfterOk) {
  WriteSettings("[CONFIG]\r\nPACING=250\r\n[SERVER]\r\nS=news.a\r\nS=news.b\r\n[GROUPS]\r\nG=alt.a\r\n"
                "[server news.b]\r\nconnections = 12\r\nINFLIGHT=500\r\n");
  Start();
  const auto settings = [&](const char* server) {
    Select(server, "alt.a");
    return Main->Connections() + " " + Main->RequestsInFlight() + " " + Main->Pacing();
  };
  EXPECT_EQ(settings("news.a"), "4 4 250");
  EXPECT_EQ(settings("news.b"), "12 4 250");
  EXPECT_EQ(Main->MinR->text() + " " + Main->MaxR->text(), "100 1000");
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI"),
            "[CONFIG]\r\nDEFEXT=mid\r\nMINLINES=100\r\nMAXLINES=1000\r\nPATH=" + Folder +
                "news/\r\nPACING=250\r\n\r\n[SERVER]\r\nS=news.a\r\nS=news.b\r\n\r\n"
                "[GROUPS]\r\nG=alt.a\r\n\r\n[SERVER news.a]\r\nCONNECTIONS=4\r\nINFLIGHT=4\r\n"
                "PACING=250\r\n" +
                Plain + "\r\n[SERVER news.b]\r\nCONNECTIONS=12\r\nINFLIGHT=4\r\nPACING=250\r\n" + Plain);
  EXPECT_EQ(IniReadSection(Folder + "VOSTEL.INI", "SERVER"), (Names{"S=news.a", "S=news.b"}));
  EXPECT_EQ(IniReadSection(Folder + "VOSTEL.INI", "GROUPS"), Names{"G=alt.a"});
  EXPECT_EQ(settings("news.b"), "12 4 250");
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}

// A window gets the fill servers lowest priority first, ties in list order,
// never its own; a value out of range in the file takes the default. A
// priority is typed only for a fill server, refused at OK out of range.
TEST_F(Settings, FillServersAndCompressionAreStoredPerServerAndGivenInTheOrderAsked) {
  WriteSettings("[SERVER]\r\nS=news.a\r\nS=fill.z\r\nS=fill.c\r\nS=fill.d\r\n[GROUPS]\r\nG=alt.a\r\n"
                "[SERVER news.a]\r\nFILL=1\r\nPRIORITY=1\r\nCOMPRESSION=2\r\n[SERVER fill.z]\r\nfill=1\r\n"
                "PRIORITY=150\r\nCOMPRESSION=0\r\nCONNECTIONS=2\r\n[SERVER fill.c]\r\nFILL=1\r\n");
  Start();
  Main->Passwords->SetPassword("fill.c", "pw");
  const auto given = [&](const char* server) {
    Select(server, "alt.a");
    std::string text = Main->Compression() ? "z:" : "-:";
    for (const TFillServer& f : Main->FillServers())
      text += " " + f.Entry + " " + f.Password + " " + f.Connections + " " + f.RequestsInFlight + " " +
              f.Pacing + (f.Compression ? " z" : " -");
    return text;
  };
  EXPECT_EQ(given("news.a"), "z: fill.z  2 4 500 - fill.c pw 4 4 500 z");
  EXPECT_EQ(given("fill.z"), "-: fill.c pw 4 4 500 z news.a  4 4 500 z");
  TOKBottomDlg* dlg = OKBottomDlg;
  dlg->lstServers->setCurrentRow(3); // fill.d: no section
  EXPECT_TRUE(dlg->chkFill->isEnabled() && !dlg->chkFill->isChecked() && !dlg->EdPriority->isEnabled() &&
              dlg->chkCompression->isChecked());
  dlg->chkFill->click();
  dlg->EdPriority->clear();
  QTest::keyClicks(dlg->EdPriority, "100");
  dlg->chkCompression->click();
  dlg->lstServers->setCurrentRow(2);
  QTest::keyClicks(dlg->EdPriority, "x");
  dlg->chkFill->click(); // the priority left behind is none
  dlg->OKBtn->click();
  EXPECT_EQ(Messages.at(0).first, "Priority of fill.d: '100' is not a whole number from 0 to 99");
  dlg->EdPriority->clear();
  QTest::keyClicks(dlg->EdPriority, "7");
  dlg->OKBtn->click();
  EXPECT_EQ(IniReadSection(Folder + "VOSTEL.INI", "SERVER fill.d"),
            (Names{"CONNECTIONS=4", "INFLIGHT=4", "PACING=500", "FILL=1", "PRIORITY=7", "COMPRESSION=0"}));
  EXPECT_EQ(given("news.a"), "z: fill.z  2 4 500 - fill.d  4 4 500 -");
  dlg->lstServers->setCurrentRow(-1);
  EXPECT_FALSE(dlg->chkFill->isEnabled() || dlg->chkCompression->isChecked() || dlg->isVisible());
}

// An installed copy downloads into the user's download folder and keeps that
// path at the first exit; a file of an earlier run without PATH keeps the
// folder beside the settings, where its walks stored their positions.
TEST_F(Settings, AnInstalledCopyDownloadsWhereUsersLookAndAnOlderFileKeepsItsFolder) {
  SetProgramFolder(Folder, true);
  CreateFolder(Folder + "config/dl");
  AppendText(Folder + "config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"" + Folder + "config/dl\"\n");
  Start();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "config/dl/Vostel/");
  EXPECT_TRUE(Main->close());
  EXPECT_NE(ReadFile("VOSTEL.INI").find("\r\nPATH=" + Folder + "config/dl/Vostel/\r\n"), std::string::npos);

  DeleteFile(Folder + "VOSTEL.INI");
  WriteSettings("[CONFIG]\r\nMINLINES=7\r\n");
  Start();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_TRUE(Main->close());
  EXPECT_NE(ReadFile("VOSTEL.INI").find("\r\nPATH=" + Folder + "news/\r\n"), std::string::npos);
}

TEST_F(Settings, ListsLoadWithoutKeysServersInFileOrderGroupsSortedAndNothingSelected) {
  // Keys of either case, a value holding "=", a duplicate and a hand-written
  // line without the key, which takes the first keyed entry from the top.
  const std::string lists = "[SERVER]\r\nS=zeta\r\ns=Alpha\r\nS=mid=dle\r\nS=zeta\r\nhandwritten\r\n"
                            "[GROUPS]\r\nG=alt.b\r\ng=alt.a\r\n";
  AppendText(Folder + "vostel.ini", "[config]\r\nminlines=7\r\nDefExt=\r\nPATH=/no/slash\r\n" + lists);
  Start();
  EXPECT_EQ(Items(Main->cboHost), (Names{"zeta", "Alpha", "mid=dle", "zeta", ""}));
  EXPECT_EQ(Items(Main->cboHost), Items(OKBottomDlg->lstServers));
  EXPECT_EQ(Items(Main->cboGroup), (Names{"alt.a", "alt.b"}));
  EXPECT_EQ(Main->cboHost->currentIndex() + Main->cboGroup->currentIndex(), -2);
  EXPECT_EQ(Main->lblPath->text(), "/no/slash");
  EXPECT_EQ(Main->MinR->text() + "|" + Main->MaxR->text() + "|" + Main->DefE->text(), "7|1000|");
  // The exit save updates that file in place; a pasted line break adds no line.
  Main->MaxR->setText("77");
  Main->DefE->setText("bin\r\n[SERVER]");
  EXPECT_TRUE(Main->close());
  const std::string saved = ReadFile("vostel.ini");
  EXPECT_EQ(saved.substr(0, saved.find("\r\n[WINDOWS]\r\n")),
            "[config]\r\nMINLINES=7\r\nDEFEXT=bin[SERVER]\r\nPATH=/no/slash\r\nMAXLINES=77\r\n" + lists);
  EXPECT_EQ(ReadFile("VOSTEL.INI"), "(missing)");
}

// The dialog edits its lists; OK writes a whole new file (an old one left by
// a failed save goes first), keeps the backup and reloads the main window,
// whose typed limits stay. Names cannot add lines.
TEST_F(Settings, DialogEditsAndOkWritesANewFileKeepsTheBackupAndReloads) {
  WriteSettings(Listed);
  AppendText(Folder + "vostel1.ini", "[SERVER]\r\nS=stale\r\n\r\n[GROUPS]\r\nG=stale\r\n");
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.b", "news.a"})); // file order
  for (const char* name : {"", "news.c\r\n"}) {                   // empty: nothing added
    dlg->EdNewServer->setText(name);
    dlg->btSAdd->click();
  }
  dlg->btSDel->click(); // nothing selected
  dlg->lstServers->setCurrentRow(0);
  dlg->btSDel->click();
  dlg->lstGroups->setCurrentRow(0);
  dlg->btGDel->click();
  const std::string downloads = Folder + "downloads";
  dlg->EdPath->setText(QString::fromStdString(downloads));
  Main->MinR->setText("999"); // kept as typed, not saved before the exit
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.a", "news.c"}));
  Main->ConfigBtn->click();
  QTest::keyClick(dlg->EdNewServer, Qt::Key_Return); // empty: Enter means OK
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"),
            "[CONFIG]\r\nDEFEXT=jpg\r\nMINLINES=5\r\nMAXLINES=50\r\nPATH=" + downloads +
                "/\r\n\r\n[SERVER]\r\nS=news.a\r\nS=news.c\r\n\r\n[GROUPS]\r\n"
                "\r\n[SERVER news.a]\r\nCONNECTIONS=4\r\nINFLIGHT=4\r\nPACING=500\r\n" +
                Plain + "\r\n[SERVER news.c]\r\nCONNECTIONS=4\r\nINFLIGHT=4\r\nPACING=0\r\n" + Plain);
  EXPECT_EQ(ReadFile("Vostel.bak"), Listed);
  EXPECT_EQ(ReadFile("vostel1.ini") + ReadFile("VOSTEL1.INI"), "(missing)(missing)");
  EXPECT_EQ(dlg->EdPath->text().toStdString() + " " + Main->lblPath->text().toStdString() + " " +
                Main->MinR->text().toStdString(),
            downloads + "/ " + downloads + "/ 999");
  EXPECT_FALSE(FileExists(downloads)); // made by the first window
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.c"}));
  EXPECT_EQ(Main->cboGroup->count(), 0);
  // A path of one character is stored as the default download path.
  dlg->EdPath->setText("x");
  dlg->OKBtn->click();
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}

// Whatever fails in the dialog save, the old settings stay whole.
TEST_F(Settings, ASaveThatFailsKeepsTheOldSettings) {
  WriteSettings(Listed);
  CreateFolder(Folder + "VOSTEL1.INI"); // a folder where the new file should go
  Start();
  Main->ConfigBtn->click();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Errors, Names{"Unable to write to " + Folder + "VOSTEL1.INI"});
  EXPECT_TRUE(OKBottomDlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
  ::rmdir((Folder + "VOSTEL1.INI").c_str());

  // A full disk: the new file's CONFIG section fits, its lists do not.
  for (int i = 0; i < 300; ++i)
    OKBottomDlg->lstServers->addItem(QString("news%1.example.com").arg(i));
  OkOnAFullDisk();
  EXPECT_EQ(Messages, (Said{{"Problem Writing New Settings, New Settings Not Saved", "Vostel Error"}}));
  EXPECT_EQ(ReadFile("VOSTEL.INI"), Listed);
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.b", "news.a"}));
  EXPECT_FALSE(OKBottomDlg->isVisible()); // closed after the message
}

// Enter presses the button that has the focus; from anywhere else (an edit, a
// list) it presses OK. The about box works alike. A delete leaves nothing
// selected, so pressing Delete again removes nothing more.
TEST_F(Settings, EnterPressesTheFocusedButtonOtherwiseOkAndDeleteLeavesNoSelection) {
  WriteLists({"news.a", "news.b"}, {"alt.a", "alt.b"});
  const std::string before = ReadFile("VOSTEL.INI");
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  // The offscreen platform leaves the focus on a window that hides, so the
  // main window takes it before another window can.
  auto activate = [&](QWidget* window) {
    for (QWidget* w : {static_cast<QWidget*>(Main.get()), window}) {
      w->activateWindow();
      ASSERT_TRUE(PumpUntil([&] { return w->isActiveWindow(); }));
    }
  };
  auto enter = [](QWidget* control) {
    control->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(control->hasFocus());
    QTest::keyClick(control, Qt::Key_Return);
  };
  Main->ConfigBtn->click();
  activate(dlg);
  dlg->EdNewServer->setText("news.c");
  enter(dlg->btSAdd);
  dlg->lstServers->setCurrentRow(0);
  dlg->EdPassword->setText("pw");
  enter(dlg->btSetPassword);
  EXPECT_EQ(Main->Passwords->Password("news.a"), "pw");
  dlg->lstServers->setCurrentRow(1);
  enter(dlg->btSDel);
  enter(dlg->btSDel);
  EXPECT_EQ(Items(dlg->lstServers), (Names{"news.a", "news.c"}));
  dlg->lstGroups->setCurrentRow(0);
  dlg->btGDel->click();
  dlg->btGDel->click();
  EXPECT_EQ(Items(dlg->lstGroups), Names{"alt.b"});
  for (const QListWidget* list : {dlg->lstServers, dlg->lstGroups})
    EXPECT_TRUE(list->currentRow() == -1 && list->selectedItems().isEmpty());
  EXPECT_TRUE(dlg->isVisible());
  enter(dlg->CancelBtn);
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(ReadFile("VOSTEL.INI"), before);

  Main->ConfigBtn->click();
  activate(dlg);
  enter(dlg->lstServers);
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(Items(Main->cboHost), (Names{"news.a", "news.b"})); // as before the Cancel

  Main->HelpAboutItem->trigger();
  activate(AboutBox);
  enter(AboutBox->Button1);
  EXPECT_TRUE(AboutBox->isVisible());
  EXPECT_EQ(AboutBox->Button1->text(), "English");
  enter(AboutBox->OKButton);
  EXPECT_FALSE(AboutBox->isVisible());
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}

// The new settings file takes the permissions of the one it replaces, and is
// readable by the user alone while it is written; a first save gives the
// usual ones. The backup is always the file before the save: none when there
// was none.
TEST_F(Settings, ASaveKeepsThePermissionsOfTheSettingsFileAndNoStaleBackup) {
  AppendText(Folder + "VOSTEL.BAK", "stale");
  Start();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Mode(Folder + "VOSTEL.INI"), 0644);
  EXPECT_EQ(ReadFile("VOSTEL.BAK") + ReadFile("Vostel.bak"), "(missing)(missing)");
  const std::string first = ReadFile("VOSTEL.INI");
  ::chmod((Folder + "VOSTEL.INI").c_str(), 0640);
  OKBottomDlg->EdPath->setText(QString::fromStdString(Folder + "dl/"));
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Mode(Folder + "VOSTEL.INI"), 0640);
  EXPECT_EQ(ReadFile("Vostel.bak"), first);

  // A full disk stops the save after the CONFIG section; what was written
  // stays private.
  for (int i = 0; i < 300; ++i)
    OKBottomDlg->lstServers->addItem(QString("news%1.example.com").arg(i));
  OkOnAFullDisk();
  EXPECT_EQ(Messages, (Said{{"Problem Writing New Settings, New Settings Not Saved", "Vostel Error"}}));
  EXPECT_EQ(Mode(Folder + "VOSTEL1.INI"), 0600);
  EXPECT_EQ(Mode(Folder + "VOSTEL.INI"), 0640);
  EXPECT_EQ(ReadFile("VOSTEL.INI").find("news0"), std::string::npos);
}

// Enter in a new server or group field adds the name. Cancel puts back the
// lists, path and pacing the dialog opened with, and removes the password set
// for an entry it takes away; a password file that cannot lose it now shows
// the error, and the next save removes it.
TEST_F(Settings, EnterAddsTheNameTypedAndCancelPutsTheDialogBack) {
  WriteLists({"news.a"}, {"alt.a"});
  const std::string before = ReadFile("VOSTEL.INI"), blocker = TPasswordStore::FilePath() + ".new";
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  Main->Passwords->SetPassword("news.a", "a");
  for (const char* server : {"news.new", "news.other"}) {
    Main->ConfigBtn->click();
    for (const auto& [edit, name] : {std::pair{dlg->EdNewServer, server}, {dlg->EdNewGroup, "alt.new"}}) {
      edit->setText(name);
      QTest::keyClick(edit, Qt::Key_Return);
    }
    dlg->lstServers->setCurrentRow(1);
    dlg->EdPassword->setText("pw");
    dlg->btSetPassword->click();
    dlg->lstServers->setCurrentRow(0);
    QTest::keyClicks(dlg->EdPacing, "0");
    dlg->btSDel->click();
    dlg->EdPath->setText("/elsewhere/");
    EXPECT_EQ(Items(dlg->lstServers), Names{server});
    EXPECT_EQ(Items(dlg->lstGroups), (Names{"alt.a", "alt.new"}));
    if (server == std::string("news.other"))
      CreateFolder(blocker);
    QTest::keyClick(dlg->EdPath, Qt::Key_Escape);
    EXPECT_EQ(Items(dlg->lstServers), Names{"news.a"});
    EXPECT_EQ(Items(dlg->lstGroups), Names{"alt.a"});
    dlg->lstServers->setCurrentRow(0);
    EXPECT_EQ(dlg->EdPath->text().toStdString() + dlg->EdPacing->text().toStdString(), Folder + "news/500");
    EXPECT_EQ(ReadFile("VOSTEL.INI"), before);
  }
  EXPECT_EQ(Errors, Names{"Password of news.other not removed: Cannot write " + blocker + ": File exists"});
  ::rmdir(blocker.c_str());
  Main->ConfigBtn->click();
  dlg->OKBtn->click();
  TPasswordStore saved;
  saved.Load({});
  EXPECT_EQ(saved.Password("news.new") + saved.Password("news.other") + "|" + saved.Password("news.a"), "|a");
  EXPECT_EQ(Items(Main->cboHost), Names{"news.a"});
}

// A settings file of 1,500 groups (54 KB) loads whole, and OK saves them all.
TEST_F(Settings, ManyGroupsLoadWholeAndOkKeepsThemAll) {
  Names groups;
  for (int i = 0; i < 1500; ++i)
    groups.push_back("alt.binaries.pictures.group" + std::to_string(10000 + i));
  WriteLists({"news.a"}, groups);
  const std::string lists = ReadFile("VOSTEL.INI").substr(ReadFile("VOSTEL.INI").find("[SERVER]"));
  Start();
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI").substr(ReadFile("VOSTEL.INI").find("[SERVER]")),
            lists + "\r\n[SERVER news.a]\r\nCONNECTIONS=4\r\nINFLIGHT=4\r\nPACING=500\r\n" + Plain);
  EXPECT_EQ(Items(Main->cboGroup), groups);
}

// OK names an entry that no window could use, or one listed twice, and what
// is wrong, with the entry selected; and a download path where no folder can
// be made. Browse… chooses the folder. No server's values show while none is
// selected, and the lists take what the dialog grows by.
TEST_F(Settings, OkNamesTheEntryAndItsFaultAndTheListsGrowWithTheDialog) {
  WriteLists({"news.a"}, {"alt.a"});
  Start();
  TOKBottomDlg* dlg = OKBottomDlg;
  Main->ConfigBtn->click();
  const std::pair<const char*, const char*> refused[] = {
      {"news.a:0", "the port must be a number from 1 to 65535, not '0'"},
      {"me@news.a", "a user name goes with nntps://, as in nntps://user@host"},
      {"https://news.a",
       "'https://' is no news server's scheme: write host, host:port or nntps://[user@]host[:port]"},
      {"nntps://me:pw@news.a", "the password does not go into the entry: select the server and set it below"},
      {"nntps://news.a/alt.a", "nothing may follow the host and port ('/alt.a')"},
      {"  ", "a space cannot be part of a host name"},
      {"NEWS.A", nullptr}};
  for (const auto& [entry, fault] : refused) {
    dlg->lstServers->addItem(entry);
    dlg->lstServers->setCurrentRow(-1);
    dlg->OKBtn->click();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].first,
              "Server '" + std::string(entry) + (fault ? "': " + std::string(fault) : "' is listed twice"));
    EXPECT_EQ(dlg->lstServers->currentRow(), 1);
    Messages.clear();
    delete dlg->lstServers->takeItem(1);
  }
  dlg->lstServers->addItems({"news.b:119", "nntps://me@news.c:563", "NNTP://news.d", "10.0.0.1"});
  AppendText(Folder + "file", "x");
  dlg->EdPath->setText(QString::fromStdString(Folder + "file/dl"));
  dlg->OKBtn->click();
  EXPECT_EQ(Messages, (Said{{"Download path " + Folder + "file/dl/: " + Folder + "file is not a folder",
                             "Vostel Error"}}));
  EXPECT_TRUE(dlg->isVisible());
  CreateFolder(Folder + "picked");
  dlg->btBrowse->click();
  auto* chooser = dlg->findChild<QFileDialog*>();
  ASSERT_NE(chooser, nullptr);
  chooser->selectFile(QString::fromStdString(Folder + "picked"));
  static_cast<QDialog*>(chooser)->accept(); // QFileDialog hides its accept()
  EXPECT_EQ(dlg->EdPath->text().toStdString(), Folder + "picked/");

  // The list takes a current row with the focus, which is no choice.
  dlg->lstServers->setCurrentRow(-1);
  dlg->lstServers->selectionModel()->setCurrentIndex(dlg->lstServers->model()->index(0, 0),
                                                     QItemSelectionModel::NoUpdate);
  EXPECT_EQ(dlg->EdConnections->text() + dlg->EdPacing->text(), "");
  EXPECT_FALSE(dlg->EdPacing->isEnabled());
  dlg->lstServers->item(0)->setSelected(true);
  EXPECT_EQ(dlg->EdConnections->text() + " " + dlg->EdPacing->text(), "4 500");
  const QSize servers = dlg->lstServers->size();
  dlg->resize(dlg->size() + QSize(200, 150));
  EXPECT_TRUE(PumpUntil([&] { return dlg->lstServers->size().height() > servers.height(); }));
  EXPECT_GT(dlg->lstServers->width(), servers.width() + 50);
  dlg->OKBtn->click();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Errors.empty());
}

// The run command's first settings file lists the demo server, fetched at
// full speed.
TEST_F(Settings, TheDemoOfAFirstRunIsFetchedAtFullSpeed) {
  const std::string run =
      std::string("bash '") + VOSTEL_DEMO_SETTINGS + "' '" + Folder + "' 11119 >/dev/null";
  ASSERT_EQ(std::system(run.c_str()), 0);
  Start();
  Select("127.0.0.1:11119", "vostel.demo");
  EXPECT_EQ(Main->Connections() + " " + Main->RequestsInFlight() + " " + Main->Pacing(), "4 4 0");
  EXPECT_EQ(Main->lblPath->text().toStdString(), Folder + "news/");
}

// A file of 300 servers, each with its own section, is read once wherever it
// is loaded: at start-up, when the dialog reads its copy, and after OK (the
// save reads it once too); each server gets its own settings.
TEST_F(Settings, ManyServersLoadWithOneReadOfTheFile) {
  Names servers;
  std::string sections;
  for (int i = 0; i < 300; ++i) {
    servers.push_back("news" + std::to_string(i) + ".example.com");
    sections += "\r\n[SERVER " + servers.back() + "]\r\nCONNECTIONS=" + std::to_string(1 + i % 50) + "\r\n";
  }
  WriteLists(servers, {"alt.a"});
  WriteSettings(sections);
  Start();
  const TFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(::inotify_add_watch(watch.Get(), Folder.c_str(), IN_OPEN | IN_CLOSE), 0);
  LoadSettings(Main->cboHost, Main->cboGroup, Main->lblPath);
  EXPECT_EQ(Opens(watch.Get()), 1);
  const TConfigValues values = LoadConfig();
  EXPECT_EQ(Opens(watch.Get()), 1);
  ASSERT_EQ(values.ServerSettings.size(), 300u);
  EXPECT_EQ(values.ServerSettings.at("news299.example.com").Connections, "50");
  OKBottomDlg->OKBtn->click();
  EXPECT_EQ(Opens(watch.Get()), 2);
  Select("news149.example.com", "alt.a");
  EXPECT_EQ(Main->Connections(), "50");
  EXPECT_TRUE(Messages.empty() && Errors.empty());
}
