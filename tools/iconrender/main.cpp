// kerfline-iconrender SVG PNG SIZE: draws the SVG picture into a SIZE × SIZE
// PNG with a transparent background (the build makes the program's fixed-size
// icons from its one hand-drawn SVG with this). Exit status 1 when the SVG
// cannot be read or the PNG cannot be written, 2 for wrong arguments.
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4 || std::atoi(argv[3]) < 1 || std::atoi(argv[3]) > 4096) {
    std::fprintf(stderr, "usage: kerfline-iconrender SVG PNG SIZE\n");
    return 2;
  }
  const int size = std::atoi(argv[3]);
  QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.isValid()) {
    std::fprintf(stderr, "kerfline-iconrender: cannot read %s\n", argv[1]);
    return 1;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    svg.render(&painter, QRectF(0, 0, size, size));
  }
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "kerfline-iconrender: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
