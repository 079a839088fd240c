#include "app/Notifier.h"
#include "tests/app/AppTest.h"
#include "tests/support/EventLoop.h"

#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMenu>
#include <QTest>
#include <QToolButton>

// The notifications, taken by the test.
class Desktop : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    TNotifier::SetSender([this](const QString& summary, const QString& body) {
      Notified.push_back((summary + " | " + body).toStdString());
    });
  }
  void TearDown() override {
    TNotifier::SetSender(nullptr);
    AppTest::TearDown();
  }
  QMdiSubWindow* Open(const std::string& server, const std::string& group) {
    Select(server, group);
    Main->OpenBtn->click();
    return Main->mdiArea->subWindowList(QMdiArea::CreationOrder).back();
  }
  static bool Running(QMdiSubWindow* sub) { return static_cast<TMDIChild*>(sub->widget())->Downloading(); }

  Names Notified;
};

// Closing a downloading window and exiting ask first; No keeps them, Yes
// with "Do not ask again" ends the asking, also in the next run. A walk that
// ends in a window in the background is told, one in the window in front is
// not; a window whose walk has ended closes without a question.
TEST_F(Desktop, StoppingDownloadsAsksFirstAndWalksEndingBehindAreTold) {
  const std::string a = NewsServer("alt.a"), b = NewsServer("alt.b");
  Servers[1]->RequireLogIn("me", "secret");
  WriteLists({a, b}, {"alt.a", "alt.b"});
  Start();
  Main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Main.get()));
  Main->SetPacing("0");
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
}
