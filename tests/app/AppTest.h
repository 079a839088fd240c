#pragma once

#include "app/About.h"
#include "app/CloseQuestion.h"
#include "app/Config.h"
#include "app/Main.h"
#include "platform/FileOps.h"
#include "tests/support/ScriptedNewsServer.h"
#include "window/ChildWin.h"

#include <QComboBox>
#include <QListWidget>
#include <QMdiArea>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using Names = std::vector<std::string>;
using Said = std::vector<std::pair<std::string, std::string>>; // text, title

// The application in a program folder of its own, with the message boxes and
// the error display recorded instead of shown, and the question before
// downloads stop answered from Answers (Yes when none is left).
class AppTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // The three windows in the order of start-up; the main one shown.
  void Start();
  void WriteSettings(const std::string& text) { AppendText(Folder + "VOSTEL.INI", text); }
  // Downloads go to news/ in the test's folder.
  void WriteLists(const Names& servers, const Names& groups);
  std::string ReadFile(const std::string& name) const {
    return FileExists(Folder + name) ? ::ReadFile(Folder + name) : "(missing)";
  }
  // A news server in group mode; its entry as the settings list it.
  std::string NewsServer(const std::string& group);
  void Select(const std::string& server, const std::string& group);
  int DecodeWindows() const { return int(Main->mdiArea->subWindowList().size()); }

  QTemporaryDir Dir;
  std::string Folder = Dir.path().toStdString() + "/";
  std::unique_ptr<TMainForm> Main;
  Said Messages;
  Names Errors;
  std::deque<TCloseQuestion::TAnswer> Answers;
  Names Asked;
  std::vector<std::unique_ptr<TScriptedNewsServer>> Servers;
};

Names Items(const QComboBox* list);
Names Items(const QListWidget* list);
