#include "tests/app/AppTest.h"

#include "platform/FileOps.h"
#include "settings/Passwords.h"
#include "tests/support/EventLoop.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <iterator>
#include <sys/stat.h>

using Passwords = AppTest;

namespace {

int Mode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

// Set in the dialog and kept at once in a file only the user may read,
// whatever the umask; never in the settings file. Decode windows of that
// entry alone get it.
TEST_F(Passwords, SetInTheDialogKeptInAPrivateFileAndNeverInTheSettings) {
  const std::string entry = "nntps://vuser@news.example", secret = "s3cret\tpw";
  WriteLists({entry, "news.other"}, {"alt.test"});
  Start();
  Main->ConfigBtn->click();
  TOKBottomDlg* dlg = OKBottomDlg;
  dlg->btSetPassword->click();
  EXPECT_EQ(dlg->lblPassword->text(), "Select the server first");

  const std::string path = TPasswordStore::FilePath();
  EXPECT_EQ(path, Folder + "config/" + QCoreApplication::applicationName().toStdString() + "/passwords");
  dlg->lstServers->setCurrentRow(0);
  dlg->EdPassword->setText(QString::fromStdString(secret));
  const mode_t umask = ::umask(0);
  QTest::keyClick(dlg->EdPassword, Qt::Key_Return); // sets it; OK is not pressed
  ::umask(umask);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(dlg->lblPassword->text().toStdString(), "Password kept in " + path + ", readable only by you");
  EXPECT_EQ(dlg->EdPassword->text() + dlg->EdPassword->placeholderText(), "(password kept)");
  EXPECT_EQ(Mode(path), 0600);
  EXPECT_NE(::ReadFile(path).find(entry + "\t" + secret + "\r\n"), std::string::npos);
  EXPECT_THROW(Main->Passwords->SetPassword(entry, "a\nb"), Exception);
  dlg->OKBtn->click();
  for (const char* file : {"VOSTEL.INI", "Vostel.bak"})
    EXPECT_EQ(ReadFile(file).find("s3cret"), std::string::npos) << file;
  Select(entry, "alt.test");
  EXPECT_EQ(Main->Password(), secret);
  Select("news.other", "alt.test");
  EXPECT_EQ(Main->Password(), "");

  // The next start first takes a file that others may read back to the user.
  ::chmod(path.c_str(), 0644);
  Main.reset();
  Start();
  EXPECT_EQ(Mode(path), 0600);
  Select(entry, "alt.test");
  EXPECT_EQ(Main->Password(), secret);

  // An empty field removes the password; the last one takes the file along.
  Main->ConfigBtn->click();
  OKBottomDlg->lstServers->setCurrentRow(0);
  OKBottomDlg->btSetPassword->click();
  EXPECT_EQ(OKBottomDlg->lblPassword->text(), "Password removed");
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(Main->Password(), "");

  // A password typed and left with OK is kept as with Set Password; Cancel
  // drops it from the field.
  auto type = [&](const char* password) {
    Main->ConfigBtn->click();
    OKBottomDlg->lstServers->setCurrentItem(
        OKBottomDlg->lstServers->findItems("news.other", Qt::MatchExactly)[0]);
    OKBottomDlg->EdPassword->setText(password);
  };
  type("dropped");
  OKBottomDlg->CancelBtn->click();
  EXPECT_TRUE(OKBottomDlg->EdPassword->text().isEmpty());
  type("typed");
  OKBottomDlg->OKBtn->click();
  EXPECT_FALSE(OKBottomDlg->isVisible());
  Select("news.other", "alt.test");
  EXPECT_EQ(Main->Password(), "typed");
  EXPECT_EQ(Errors, Names{});
}

// A deleted entry's password goes with the save that drops the entry: Cancel
// and a failed save keep it; an entry still listed (added back, listed twice,
// the same host without the user) keeps its own. A password file that cannot
// be written shows the error, the save stands, the next save removes it.
TEST_F(Passwords, DeletedEntryLosesItsPasswordWithTheSaveThatDropsIt) {
  const Names entries = {"nntps://vuser@news.a:563", "news.a", "news.b", "news.c"};
  WriteLists({entries[0], "news.a", "news.b", "news.b", "news.c"}, {"alt.test"});
  Start();
  for (const std::string& entry : entries)
    Main->Passwords->SetPassword(entry, "pw");
  auto inFile = [&] {
    TPasswordStore fresh;
    fresh.Load({});
    Names kept;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(kept),
                 [&](const std::string& entry) { return !fresh.Password(entry).empty(); });
    return kept;
  };
  TOKBottomDlg* dlg = OKBottomDlg;
  auto remove = [&](const char* entry) {
    dlg->lstServers->setCurrentItem(dlg->lstServers->findItems(entry, Qt::MatchExactly)[0]);
    dlg->btSDel->click();
  };
  Main->ConfigBtn->click();
  remove(entries[0].c_str());
  dlg->CancelBtn->click();
  Main->ConfigBtn->click();
  EXPECT_EQ(Items(dlg->lstServers).front(), entries[0]); // back with Cancel
  remove(entries[0].c_str());
  remove("news.b");                     // listed twice, which OK refuses
  CreateFolder(Folder + "VOSTEL1.INI"); // where the new settings should go
  dlg->OKBtn->click();
  ::rmdir((Folder + "VOSTEL1.INI").c_str());
  EXPECT_EQ(inFile(), entries);
  remove("news.c");
  dlg->EdNewServer->setText("news.c");
  dlg->btSAdd->click();
  dlg->OKBtn->click();
  EXPECT_EQ(inFile(), (Names{"news.a", "news.b", "news.c"}));

  const std::string blocker = TPasswordStore::FilePath() + ".new";
  CreateFolder(blocker);
  Main->ConfigBtn->click();
  remove("news.a");
  dlg->OKBtn->click();
  EXPECT_EQ(ReadFile("VOSTEL.INI").find("S=news.a\r\n"), std::string::npos);
  EXPECT_EQ(Errors.back(), "Password of news.a not removed: Cannot write " + blocker + ": File exists");
  ::rmdir(blocker.c_str());
  Main->ConfigBtn->click();
  dlg->OKBtn->click();
  EXPECT_EQ(inFile(), (Names{"news.b", "news.c"}));
}

// A keychain that does not answer (no session bus here) leaves the password
// to the file, first when it is written, and from a failed read on at once.
TEST_F(Passwords, KeychainThatDoesNotAnswerLeavesThePasswordToTheFile) {
  const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
  qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString("unix:path=" + Folder + "no-bus"));
  TPasswordStore::SetKeychainEnabled(true);
  for (const bool read : {false, true}) {
    TPasswordStore store;
    std::string where;
    store.OnStored = [&](const std::string& text) { where = text; };
    if (read) { // the file's password is there at once
      store.Load({"news.a"});
      EXPECT_EQ(store.Password("news.a"), "first");
    }
    store.SetPassword("news.a", read ? "second" : "first");
    ASSERT_TRUE(PumpUntil([&] { return !where.empty(); }));
    EXPECT_EQ(where, "Password kept in " + TPasswordStore::FilePath() + ", readable only by you");
    EXPECT_EQ(store.Password("news.a"), read ? "second" : "first");
  }
  TPasswordStore::SetKeychainEnabled(false);
  bus.isNull() ? qunsetenv("DBUS_SESSION_BUS_ADDRESS") : qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
}
