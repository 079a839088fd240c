#include "app/Main.h"
#include "app/About.h"
#include "app/Config.h"
#include "platform/Guard.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The name also names the per-user folder of the settings of an installed
  // copy.
  QApplication::setApplicationName("Vostel");
  const QString title = "Vostel v. beta 0.60";
  QApplication::setWindowIcon(ProgramPicture(64));
  // An error that leaves a handler is shown in a message box with one OK
  // button; the window that raised it then simply waits.
  SetErrorDisplay([title](const std::string& text) {
    QMessageBox::critical(QApplication::activeWindow(), title,
                          QString::fromLocal8Bit(text.data(), qsizetype(text.size())), QMessageBox::Ok);
  });
  // The dialogs are windows of their own that the main window owns, so
  // closing it ends the application.
  TMainForm mainForm;
  new TAboutBox(&mainForm);
  new TOKBottomDlg(&mainForm);
  mainForm.show();
  return QApplication::exec();
}
