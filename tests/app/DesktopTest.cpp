#include "app/Notifier.h"
#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"
#include "walk/ServerAddress.h"
#include "window/DesktopOpener.h"
#include "window/OpenFailure.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <sys/stat.h>

// The notifications and what the desktop is asked to open, and could not,
// taken by the test.
class Desktop : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    TNotifier::SetSender([this](const QString& summary, const QString& body, const TNotifier::TAct& act) {
      Notified.push_back((summary + " | " + body).toStdString());
      Acts.push_back(act);
    });
    SetOpenFailureDisplay(
        [this](const std::string& path, const std::string& why) { Failed.push_back(path + ": " + why); });
  }
  void TearDown() override {
    TNotifier::SetSender(nullptr);
    SetOpenFailureDisplay(nullptr);
    SetDesktopOpener(nullptr);
    AppTest::TearDown();
  }
  QMdiSubWindow* Open(const std::string& server, const std::string& group) {
    Select(server, group);
    Main->OpenBtn->click();
    return Main->mdiArea->subWindowList(QMdiArea::CreationOrder).back();
  }
  static bool Running(QMdiSubWindow* sub) { return static_cast<TMDIChild*>(sub->widget())->Downloading(); }

  std::string SessionFolder(const std::string& server, const std::string& group) const {
    return Folder + "news/" + ServerFolderName(server) + "/" + group + "/";
  }

  Names Notified;
  std::vector<TNotifier::TAct> Acts;
  Names Failed;
};

// Closing a downloading window and exiting ask first; No keeps them, Yes
// with "Do not ask again" ends the asking, also in the next run. A walk that
// ends in a window in the background is told, one in the window in front is
// not; a click on the notice brings its window forward, its Open Folder opens
// the window's folder. A window whose walk has ended closes without a
// question. The dialog takes "Do not ask again" back.
TEST_F(Desktop, StoppingDownloadsAsksFirstAndWalksEndingBehindAreTold) {
  const std::string a = NewsServer("alt.a"), b = NewsServer("alt.b");
  Servers[1]->RequireLogIn("me", "secret");
  WriteLists({a, b}, {"alt.a", "alt.b"});
  Start();
  Main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Main.get()));
  Main->SetServerSettings({{a, {"4", "4", "0"}}, {b, {"4", "4", "0"}}});
  Main->MinR->setText("10");
  Main->MaxR->setText("100");
  Answers = {{false, true}, {false, false}}; // No does not end the asking
  QMdiSubWindow* first = Open(a, "alt.a");
  EXPECT_TRUE(Running(first));
  EXPECT_FALSE(first->close());
  QMdiSubWindow* second = Open(b, "alt.b");
  EXPECT_FALSE(Main->close());
  EXPECT_EQ(DecodeWindows(), 2);
  EXPECT_EQ(Asked, (Names{"This decode window is still downloading. Stop it and close it?",
                          "2 decode windows are still downloading. Stop them and exit?"}));

  Main->mdiArea->setActiveSubWindow(first);
  EXPECT_TRUE(PumpUntil([&] { return !Running(first) && !Running(second); }, 15000));
  EXPECT_EQ(Notified, (Names{"Log-in needed by 127.0.0.1: set a user and password in Configure | alt.b on " +
                             b + ": 0 files saved"}));
  Acts[0](TNotifier::DefaultAction);
  EXPECT_EQ(Main->mdiArea->activeSubWindow(), second);
  Names opened;
  bool opens = true;
  SetDesktopOpener([&](const QUrl& url) {
    opened.push_back(url.toLocalFile().toStdString());
    return opens;
  });
  Acts[0](TNotifier::OpenFolderAction);
  EXPECT_EQ(opened, Names{SessionFolder(b, "alt.b")});
  opens = false;
  Acts[0](TNotifier::OpenFolderAction);
  EXPECT_EQ(Failed, Names{SessionFolder(b, "alt.b") + ": " + NoProgramOpensIt});
  EXPECT_TRUE(first->close()); // done: no question
  EXPECT_EQ(Asked.size(), 2u);

  // A new walk on the first group, which finds nothing new: Yes with "Do
  // not ask again" closes it, and the next close of a downloading window
  // asks nothing. Its end behind the other window is told.
  Answers = {{true, true}};
  EXPECT_TRUE(Open(a, "alt.a")->close());
  first = Open(a, "alt.a");
  Main->mdiArea->setActiveSubWindow(second);
  EXPECT_TRUE(PumpUntil([&] { return Notified.size() == 2; }, 15000));
  EXPECT_EQ(Notified.back(), "Downloading Done | alt.a on " + a + ": 0 files saved");
  EXPECT_TRUE(first->close());
  EXPECT_TRUE(Open(a, "alt.a")->close());
  EXPECT_EQ(Asked.size(), 3u);
  EXPECT_TRUE(Main->close());
  EXPECT_NE(ReadFile("VOSTEL.INI").find("\r\nASKBEFORESTOP=0\r\n"), std::string::npos);
  EXPECT_TRUE(Errors.empty());

  Start();
  Main->ConfigBtn->click();
  EXPECT_FALSE(OKBottomDlg->chkAskBeforeStop->isChecked());
  OKBottomDlg->chkAskBeforeStop->click();
  OKBottomDlg->OKBtn->click();
  Answers = {{false, false}};
  EXPECT_FALSE(Open(a, "alt.a")->close());
  EXPECT_EQ(Asked.size(), 4u);
}

// xdg-open's answer, from a stand-in on PATH: no program for the folder (3).
// It is told with the whole path; the message's Copy Path puts the path on
// the clipboard.
TEST_F(Desktop, WhatTheDesktopCannotOpenIsToldWithItsPath) {
  const std::string a = NewsServer("alt.a"), bin = Folder + "bin/";
  WriteLists({a}, {"alt.a"});
  CreateFolder(bin);
  AppendText(bin + "xdg-open", "#!/bin/sh\nexit 3\n");
  ::chmod((bin + "xdg-open").c_str(), 0755);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString(bin) + ":" + path);
  Start();
  auto* child = static_cast<TMDIChild*>(Open(a, "alt.a")->widget());
  const std::string folder = SessionFolder(a, "alt.a");
  child->btOpenFolder->click();
  EXPECT_TRUE(PumpUntil([&] { return !Failed.empty(); }, 15000));
  qputenv("PATH", path);
  EXPECT_EQ(Failed, Names{folder + ": " + NoProgramOpensIt});

  SetOpenFailureDisplay(nullptr);
  ShowOpenFailure(folder, NoProgramOpensIt);
  QPointer<QMessageBox> box;
  for (QWidget* window : QApplication::topLevelWidgets())
    if (auto* shown = qobject_cast<QMessageBox*>(window); shown && shown->isVisible())
      box = shown;
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text().toStdString(), "Cannot open " + folder + ": " + NoProgramOpensIt);
  for (QAbstractButton* button : box->buttons())
    if (button->text() == "Copy Path")
      button->click();
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), folder);
  EXPECT_TRUE(PumpUntil([&] { return !box; }));
}

// Ctrl+, configures, Ctrl+O opens, Ctrl+Q exits, asking about the one
// download. The next run finds the main window where it was, the server,
// group and subject filter chosen, and a decode window of the size the last
// one had. A subject filter that is no wildmat stops Open, naming its field,
// and is not kept; a place off every screen is not taken.
TEST_F(Desktop, KeysAndWhatTheWindowsWereAreKeptForTheNextRun) {
  const std::string a = NewsServer("alt.a");
  WriteLists({a, "news.b"}, {"alt.a", "alt.b"});
  Start();
  EXPECT_EQ(Main->cboGroup->font(), Main->cboHost->font());
  QString subjectLabel;
  for (const QLabel* label : Main->SpeedPanel->findChildren<QLabel*>())
    subjectLabel += label->buddy() == Main->EdSubject ? label->text() : "";
  EXPECT_EQ(subjectLabel, "Subject :");
  for (const char* format :
       {"uuencode", "XXencode", "base64", "MIME base64", "yEnc", "several parts", "PAR2"})
    EXPECT_TRUE(AboutBox->MemoE->toPlainText().contains(format)) << format;
  Main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Main.get()));
  QTest::keyClick(Main.get(), Qt::Key_Comma, Qt::ControlModifier);
  EXPECT_TRUE(OKBottomDlg->isVisible());
  OKBottomDlg->hide();
  Select(a, "alt.a");
  Main->EdSubject->setText("*.jpg,[x");
  QTest::keyClick(Main.get(), Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(Errors, Names{"Subject: '*.jpg,[x' is not a valid wildmat: a [ is not closed by ]"});
  Main->EdSubject->setText("*.JPG");
  QTest::keyClick(Main.get(), Qt::Key_O, Qt::ControlModifier);
  ASSERT_EQ(DecodeWindows(), 1);
  Main->mdiArea->subWindowList().at(0)->resize(480, 330);
  Main->setGeometry(30, 40, 700, 500);
  QTest::keyClick(Main.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(Main->isVisible());
  EXPECT_EQ(Asked, Names{"1 decode window is still downloading. Stop it and exit?"});
  const std::string saved = ReadFile("VOSTEL.INI");
  EXPECT_NE(saved.find("\r\nSUBJECT=*.JPG\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\r\n[WINDOWS]\r\nMAIN=30,40,700,500\r\nMAXIMIZED=0\r\nSERVER=" + a +
                       "\r\nGROUP=alt.a\r\nDECODE=480,330\r\nASKBEFORESTOP=1\r\n"),
            std::string::npos)
      << saved;

  Start();
  EXPECT_EQ(Main->geometry(), QRect(30, 40, 700, 500));
  EXPECT_EQ(Main->cboHost->currentText().toStdString() + " " + Main->cboGroup->currentText().toStdString() +
                " " + Main->EdSubject->text().toStdString(),
            a + " alt.a *.JPG");
  Main->OpenBtn->click();
  ASSERT_EQ(DecodeWindows(), 1);
  EXPECT_EQ(Main->mdiArea->subWindowList().at(0)->size(), QSize(480, 330));
  Main->EdSubject->setText("[");
  EXPECT_TRUE(Main->close());
  std::string moved = ReadFile("VOSTEL.INI");
  EXPECT_NE(moved.find("\r\nSUBJECT=*.JPG\r\n"), std::string::npos);
  moved.replace(moved.find("MAIN=30,40,"), 11, "MAIN=5000,5000,");
  DeleteFile(Folder + "VOSTEL.INI");
  WriteSettings(moved);
  Start();
  EXPECT_EQ(Main->size(), QSize(700, 500));
  EXPECT_NE(Main->pos(), QPoint(5000, 5000));
}
