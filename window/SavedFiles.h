#pragma once

#include <QObject>

#include <functional>
#include <string>

class QAction;
class QListWidget;
class QListWidgetItem;
class QPoint;
class QUrl;

// The decode window's list of saved files, at hand: a double-click or Enter
// opens a file with the desktop's program for it, its context menu offers
// Open and Open Containing Folder, and OpenFolder opens the session folder.
// A file or folder that is no longer there raises an error that says so;
// one that nothing on the desktop opens is told by ShowOpenFailure.
class TSavedFiles : public QObject {
  Q_OBJECT
public:
  // Folder is the session folder as the window holds it, with its "/";
  // empty while the window has none.
  TSavedFiles(QListWidget* List, const std::string& Folder);

  QAction* OpenItem;       // "Open", the current file
  QAction* OpenFolderItem; // "Open Containing Folder"

  // A file saved: listed, in place of its line as an incomplete file.
  void ShowSaved(const std::string& Name);
  // A file left incomplete: listed greyed, with Why as its tooltip, once.
  void ShowIncomplete(const std::string& Name, const std::string& Why);

  void Open(const QListWidgetItem* Item) const;
  void OpenFolder() const;

  // The session folder, with its "/"; empty while the window has none.
  const std::string& Folder() const { return FFolder; }

  // What hands a file or folder to the desktop (OpenWithDesktop); false when
  // it cannot. Tests put a recorder here.
  using TOpener = std::function<bool(const QUrl&)>;
  void SetOpener(TOpener Opener) { FOpener = std::move(Opener); }

private:
  QListWidgetItem* IncompleteItem(const QString& Name) const;
  void ContextMenu(const QPoint& Pos);
  void Launch(const QString& Path) const;

  QListWidget* FList;
  const std::string& FFolder;
  TOpener FOpener;
};
