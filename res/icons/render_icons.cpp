// Renders fenupdator.svg into the 16, 32 and 48 pixel PNGs committed next to it. Not part of the
// build (it needs Qt SVG, which the program does not): see README.md in this folder.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 3) return 2;
  QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.isValid()) return 1;
  for (int size : {16, 32, 48, 128}) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    const QString out = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/fenupdator-%1.png").arg(size);
    if (!image.save(out)) return 1;
  }
  return 0;
}
