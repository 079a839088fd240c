// Renders the program picture of the about box into a PNG file, so that the
// installed program's icon is the picture its windows show:
//   vostel-icon SIZE FILE
#include "app/About.h"

#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  // No display is needed to paint a pixmap.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const int size = argc == 3 ? std::atoi(argv[1]) : 0;
  if (size < 16 || size > 1024) {
    std::fprintf(stderr, "usage: vostel-icon SIZE FILE (SIZE from 16 to 1024)\n");
    return 2;
  }
  if (!ProgramPicture(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "vostel-icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
