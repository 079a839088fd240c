#include "window/SavedFiles.h"

#include "platform/Exceptions.h"
#include "platform/Guard.h"
#include "window/DesktopOpener.h"
#include "window/OpenFailure.h"

#include <QAction>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QUrl>

namespace {

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

} // namespace

TSavedFiles::TSavedFiles(QListWidget* List, const std::string& Folder)
    : QObject(List), FList(List), FFolder(Folder), FOpener(&OpenWithDesktop) {
  OpenItem = new QAction("Open", this);
  OpenFolderItem = new QAction("Open Containing Folder", this);
  connect(OpenItem, &QAction::triggered, this, [this] { Guarded([this] { Open(FList->currentItem()); }); });
  connect(OpenFolderItem, &QAction::triggered, this, [this] { Guarded([this] { OpenFolder(); }); });
  // A double-click, or a single click where the desktop opens with one, and
  // Enter.
  connect(FList, &QListWidget::itemActivated, this,
          [this](const QListWidgetItem* item) { Guarded([this, item] { Open(item); }); });
  FList->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(FList, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { Guarded([this, pos] { ContextMenu(pos); }); });
}

// An incomplete file's line is told by its role; it cannot be opened.
constexpr int IncompleteRole = Qt::UserRole + 1;

QListWidgetItem* TSavedFiles::IncompleteItem(const QString& Name) const {
  for (int row = 0; row < FList->count(); ++row)
    if (QListWidgetItem* item = FList->item(row); item->data(IncompleteRole).toBool() && item->text() == Name)
      return item;
  return nullptr;
}

void TSavedFiles::ShowSaved(const std::string& Name) {
  const QString name = QString::fromLocal8Bit(Name);
  delete IncompleteItem(name);
  FList->addItem(name);
  FList->item(FList->count() - 1)->setToolTip(name); // the whole name, where the list cuts it
}

void TSavedFiles::ShowIncomplete(const std::string& Name, const std::string& Why) {
  const QString name = QString::fromLocal8Bit(Name);
  QListWidgetItem* item = IncompleteItem(name);
  if (!item) {
    item = new QListWidgetItem(name, FList);
    item->setData(IncompleteRole, true);
    item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
  }
  item->setToolTip(QString::fromLocal8Bit(Why));
}

void TSavedFiles::Open(const QListWidgetItem* Item) const {
  if (!Item || Item->data(IncompleteRole).toBool())
    return;
  const QString path = QString::fromLocal8Bit(FFolder) + Item->text();
  if (!QFileInfo(path).isFile())
    throw EInOutError("Cannot open " + FromQt(path) + ": the file is no longer there");
  Launch(path);
}

void TSavedFiles::OpenFolder() const {
  if (FFolder.empty())
    throw EInOutError("This window has no session folder");
  const QString path = QString::fromLocal8Bit(FFolder);
  if (!QFileInfo(path).isDir())
    throw EInOutError("Cannot open " + FFolder + ": the folder is no longer there");
  Launch(path);
}

void TSavedFiles::Launch(const QString& Path) const {
  if (!FOpener(QUrl::fromLocalFile(Path)))
    ShowOpenFailure(FromQt(Path), NoProgramOpensIt);
}

// The menu is for the file under the mouse. It is not run in a loop of its
// own: the window may close while it shows.
void TSavedFiles::ContextMenu(const QPoint& Pos) {
  QListWidgetItem* item = FList->itemAt(Pos);
  if (!item)
    return;
  FList->setCurrentItem(item);
  auto* menu = new QMenu(FList);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addAction(OpenItem);
  menu->addAction(OpenFolderItem);
  menu->popup(FList->viewport()->mapToGlobal(Pos));
}
