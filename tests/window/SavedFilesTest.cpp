#include "window/SavedFiles.h"
#include "tests/window/TestChild.h"
#include "window/OpenFailure.h"

#include "platform/FileOps.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <cstdio>

using Names = std::vector<std::string>;
using SavedFiles = WindowTest;

// Double-click, Enter and Open hand the file to the desktop, Open Containing
// Folder and the folder button the session folder; the context menu is for
// the file under the mouse. A file deleted since it was listed and a folder
// gone each end in an error, a file nothing opens in the failure message.
TEST_F(SavedFiles, TheDesktopOpensAListedFileOrItsFolderAndWhatIsGoneSaysSo) {
  Names opened, errors;
  bool opens = true;
  Child->SavedFiles->SetOpener([&](const QUrl& url) {
    opened.push_back(url.toLocalFile().toStdString());
    return opens;
  });
  const TErrorDisplay previous = SetErrorDisplay([&](const std::string& text) { errors.push_back(text); });
  const TOpenFailureDisplay previousFailure = SetOpenFailureDisplay(
      [&](const std::string& path, const std::string& why) { errors.push_back(why + ": " + path); });
  AppendText(Folder + "a b.jpg", "x");
  QListWidget* list = Child->LBSaved;
  list->addItems({"a b.jpg", "gone.bin"});
  Child->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Child.get()));
  auto at = [&](int row) { return list->visualItemRect(list->item(row)).center(); };
  // Through the window, as the desktop sends it.
  auto doubleClick = [&](int row) {
    QTest::mouseDClick(Child->windowHandle(), Qt::LeftButton, {},
                       list->viewport()->mapTo(Child.get(), at(row)));
  };
  doubleClick(0);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Return);
  Child->SavedFiles->OpenItem->trigger();
  Child->SavedFiles->OpenFolderItem->trigger();
  Child->btOpenFolder->click();
  const std::string file = Folder + "a b.jpg",
                    gone = "Cannot open " + Folder + "gone.bin: the file is no longer there";
  EXPECT_EQ(opened, (Names{file, file, file, Folder, Folder}));

  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at(1), list->viewport()->mapToGlobal(at(1)));
  QCoreApplication::sendEvent(list->viewport(), &menuEvent);
  auto* menu = list->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->actions().size(), 2);
  menu->actions()[0]->trigger();
  menu->close();
  doubleClick(1);
  opens = false;
  doubleClick(0);
  ASSERT_EQ(std::rename(Folder.c_str(), (Folder.substr(0, Folder.size() - 1) + ".moved").c_str()), 0);
  Child->btOpenFolder->click();
  EXPECT_EQ(opened.size(), 6u);
  EXPECT_EQ(errors, (Names{gone, gone, std::string(NoProgramOpensIt) + ": " + file,
                           "Cannot open " + Folder + ": the folder is no longer there"}));
  SetErrorDisplay(previous);
  SetOpenFailureDisplay(previousFailure);
}

// The session's incomplete files are listed greyed, what they miss as their
// tooltip, once each; they open nothing. A file saved later takes its line.
TEST_F(SavedFiles, AnIncompleteFileIsGreyedUntilItIsSaved) {
  Names opened;
  Child->SavedFiles->SetOpener([&](const QUrl& url) {
    opened.push_back(url.toLocalFile().toStdString());
    return true;
  });
  TDecodeSession& session = Child->Session();
  QListWidget* list = Child->LBSaved;
  session.OnFileSaved(&session, "a.jpg");
  session.OnIncompleteFile(&session, "holiday.mkv", "holiday.mkv: 4 of 5 parts; part 5 is not on the server");
  session.OnIncompleteFile(&session, "holiday.mkv", "holiday.mkv: PAR2 needs 122 more recovery blocks");
  ASSERT_EQ(list->count(), 2);
  QListWidgetItem* item = list->item(1);
  EXPECT_EQ(item->text(), "holiday.mkv");
  EXPECT_FALSE(item->flags() & Qt::ItemIsEnabled);
  EXPECT_EQ(item->toolTip(), "holiday.mkv: PAR2 needs 122 more recovery blocks");
  AppendText(Folder + "holiday.mkv", "x");
  Child->SavedFiles->Open(item);
  EXPECT_TRUE(opened.empty());
  session.OnFileSaved(&session, "holiday.mkv");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(1)->text(), "holiday.mkv");
  EXPECT_TRUE(list->item(1)->flags() & Qt::ItemIsEnabled);
  EXPECT_EQ(list->item(1)->toolTip(), "holiday.mkv"); // what it missed is gone
}
