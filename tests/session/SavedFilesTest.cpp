#include "session/SavedFiles.h"
#include "tests/session/TestChild.h"

#include "platform/FileOps.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <cstdio>

using Names = std::vector<std::string>;
using SavedFiles = SessionTest;

// Double-click, Enter and Open hand the file to the desktop, Open Containing
// Folder and the window's folder button the session folder; the context menu
// is the file's under the mouse. A file deleted since it was listed, a file
// nothing opens and a folder gone each end in a message, and nothing is
// handed over for what is not there.
TEST_F(SavedFiles, TheDesktopOpensAListedFileOrItsFolderAndWhatIsGoneSaysSo) {
  Names opened, errors;
  bool opens = true;
  Child->SavedFiles->SetOpener([&](const QUrl& url) {
    opened.push_back(url.toLocalFile().toStdString());
    return opens;
  });
  const TErrorDisplay previous = SetErrorDisplay([&](const std::string& text) { errors.push_back(text); });
  AppendText(Folder + "a b.jpg", "x");
  QListWidget* list = Child->LBSaved;
  list->addItems({"a b.jpg", "gone.bin"});
  Child->resize(600, 400);
  Child->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Child.get()));
  auto centre = [&](int row) { return list->visualItemRect(list->item(row)).center(); };
  // Through the window, as the desktop delivers it: press, release, press
  // and double-click.
  auto doubleClick = [&](int row) {
    QTest::mouseDClick(Child->windowHandle(), Qt::LeftButton, {},
                       list->viewport()->mapTo(Child.get(), centre(row)));
  };

  doubleClick(0);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Return);
  Child->SavedFiles->OpenItem->trigger();
  Child->SavedFiles->OpenFolderItem->trigger();
  Child->btOpenFolder->click();
  const std::string file = Folder + "a b.jpg";
  EXPECT_EQ(opened, (Names{file, file, file, Folder, Folder}));
  EXPECT_TRUE(errors.empty());

  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, centre(1), list->viewport()->mapToGlobal(centre(1)));
  QCoreApplication::sendEvent(list->viewport(), &menuEvent);
  auto* menu = list->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  QStringList entries;
  for (const QAction* entry : menu->actions())
    entries << entry->text();
  EXPECT_EQ(entries, (QStringList{"Open", "Open Containing Folder"}));
  menu->actions()[0]->trigger();
  menu->close();
  doubleClick(1);
  opens = false;
  doubleClick(0);
  ASSERT_EQ(std::rename(Folder.c_str(), (Folder.substr(0, Folder.size() - 1) + ".moved").c_str()), 0);
  Child->btOpenFolder->click();
  EXPECT_EQ(opened.size(), 6u);
  EXPECT_EQ(errors, (Names{"Cannot open " + Folder + "gone.bin: the file is no longer there",
                           "Cannot open " + Folder + "gone.bin: the file is no longer there",
                           "No program on this desktop opens " + file,
                           "Cannot open " + Folder + ": the folder is no longer there"}));
  SetErrorDisplay(previous);
}
