#include "platform/Guard.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Vostel");
  const QString title = "Vostel v. beta 0.60";
  // An error that leaves a handler is shown in a message box with one OK
  // button; the window that raised it then simply waits.
  SetErrorDisplay([title](const std::string& text) {
    QMessageBox::critical(QApplication::activeWindow(), title,
                          QString::fromLocal8Bit(text.data(), qsizetype(text.size())), QMessageBox::Ok);
  });
  QMainWindow frame;
  frame.setWindowTitle(title);
  frame.resize(800, 600);
  frame.show();
  return QApplication::exec();
}
