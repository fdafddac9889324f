// Saves an X11 window of another program (or the whole screen) as a PNG: the end-to-end runs
// keep a picture of the desktop program as the user saw it.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: fen-grab-window OUT.png [X11-WINDOW-ID]\n");
    return 2;
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    std::fprintf(stderr, "fen-grab-window: no screen\n");
    return 1;
  }
  const WId window = argc == 3 ? static_cast<WId>(std::stoull(argv[2], nullptr, 0)) : 0;
  const QPixmap picture = screen->grabWindow(window);
  if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "fen-grab-window: cannot grab or save\n");
    return 1;
  }
  return 0;
}
