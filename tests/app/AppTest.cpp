#include "tests/app/AppTest.h"
#include "tests/support/TestApplication.h"

#include "app/Messages.h"
#include "platform/Guard.h"
#include "settings/Passwords.h"

#include <QApplication>

namespace {

[[maybe_unused]] auto* const Environment =
    ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment<QApplication>);

// Articles of 3, 30 and 3000 lines; the middle one carries a file.
std::vector<TNewsArticle> Articles() {
  return {
      {101, {"Subject: a", "Lines: 3"}, {"text"}},
      {102, {"Subject: b", "Lines: 30"}, {"begin 644 hello.txt", "22&5L;&\\@9G)O;2!6;W-T96P*", "`", "end"}},
      {103, {"Subject: c", "Lines: 3000"}, {"text"}}};
}

} // namespace

void AppTest::SetUp() {
  SetProgramFolder(Folder);
  // Passwords go to a file of the test's own, never to the desktop's keychain.
  TPasswordStore::SetKeychainEnabled(false);
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Folder + "config"));
  SetMessageDisplay(
      [this](const std::string& text, const std::string& title) { Messages.emplace_back(text, title); });
  SetErrorDisplay([this](const std::string& text) { Errors.push_back(text); });
  TCloseQuestion::SetAsker([this](const std::string& text) {
    Asked.push_back(text);
    if (Answers.empty())
      return TCloseQuestion::TAnswer{true, false};
    const TCloseQuestion::TAnswer answer = Answers.front();
    Answers.pop_front();
    return answer;
  });
}

void AppTest::TearDown() {
  Main.reset();
  Servers.clear();
  SetMessageDisplay(nullptr);
  SetErrorDisplay(nullptr);
  TCloseQuestion::SetAsker(nullptr);
  SetProgramFolder("");
  qunsetenv("XDG_CONFIG_HOME");
}

void AppTest::Start() {
  QApplication::setWindowIcon(ProgramPicture(64));
  Main = std::make_unique<TMainForm>();
  new TAboutBox(Main.get());
  new TOKBottomDlg(Main.get());
  Main->show();
}

void AppTest::WriteLists(const Names& servers, const Names& groups) {
  std::string text = "[CONFIG]\r\nPATH=" + Folder + "news/\r\n\r\n[SERVER]\r\n";
  for (const std::string& server : servers)
    text += "S=" + server + "\r\n";
  text += "\r\n[GROUPS]\r\n";
  for (const std::string& group : groups)
    text += "G=" + group + "\r\n";
  WriteSettings(text);
}

std::string AppTest::NewsServer(const std::string& group) {
  Servers.push_back(std::make_unique<TScriptedNewsServer>());
  Servers.back()->ServeGroup(group, Articles());
  return "127.0.0.1:" + Servers.back()->PortText();
}

void AppTest::Select(const std::string& server, const std::string& group) {
  Main->cboHost->setCurrentIndex(Main->cboHost->findText(QString::fromStdString(server)));
  Main->cboGroup->setCurrentIndex(Main->cboGroup->findText(QString::fromStdString(group)));
}

Names Items(const QComboBox* list) {
  Names items;
  for (int i = 0; i < list->count(); ++i)
    items.push_back(list->itemText(i).toStdString());
  return items;
}

Names Items(const QListWidget* list) {
  Names items;
  for (int i = 0; i < list->count(); ++i)
    items.push_back(list->item(i)->text().toStdString());
  return items;
}
