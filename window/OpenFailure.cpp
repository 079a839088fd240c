#include "window/OpenFailure.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>

#include <utility>

namespace {

QString ToQt(const std::string& text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }

// Not modal: the answer of the desktop comes while the user may be doing
// anything, and the decode windows go on meanwhile.
void MessageBox(const std::string& Path, const std::string& Why) {
  auto* box = new QMessageBox(QMessageBox::Warning, "Vostel", ToQt("Cannot open " + Path + ": " + Why),
                              QMessageBox::Ok, QApplication::activeWindow());
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPushButton* copy = box->addButton("Copy Path", QMessageBox::ActionRole);
  copy->setToolTip("Put the path on the clipboard, to open it some other way");
  const QString path = ToQt(Path);
  QObject::connect(copy, &QPushButton::clicked, box, [path] { QGuiApplication::clipboard()->setText(path); });
  box->setModal(false);
  box->show();
}

TOpenFailureDisplay& CurrentDisplay() {
  static TOpenFailureDisplay display = MessageBox;
  return display;
}

} // namespace

TOpenFailureDisplay SetOpenFailureDisplay(TOpenFailureDisplay display) {
  if (!display)
    display = MessageBox;
  return std::exchange(CurrentDisplay(), std::move(display));
}

void ShowOpenFailure(const std::string& Path, const std::string& Why) { CurrentDisplay()(Path, Why); }
