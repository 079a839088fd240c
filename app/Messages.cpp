#include "app/Messages.h"

#include <QApplication>
#include <QMessageBox>

#include <utility>

namespace {

void MessageBox(const std::string& text, const std::string& title) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLocal8Bit(title.data(), qsizetype(title.size())),
                  QString::fromLocal8Bit(text.data(), qsizetype(text.size())), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

TMessageDisplay& MessageDisplay() {
  static TMessageDisplay display = MessageBox;
  return display;
}

} // namespace

TMessageDisplay SetMessageDisplay(TMessageDisplay display) {
  if (!display)
    display = MessageBox;
  return std::exchange(MessageDisplay(), std::move(display));
}

void ShowMessage(const std::string& text, const std::string& title) { MessageDisplay()(text, title); }
