// Writes the program's icons for the hicolor theme: the overlay's device
// picture as SVG and as PNGs of the theme's sizes, into
// OUT/<size>x<size>/apps/NAME.png and OUT/scalable/apps/NAME.svg.
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "ui/skin.h"

namespace {

// The picture is 101 x 108; the icon is square and centres it.
constexpr double kSide = 108;

void PaintIcon(QPainter& painter, double side) {
  painter.scale(side / kSide, side / kSide);
  painter.translate((kSide - 101) / 2, 0);
  quill::PaintDevice(painter);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-icons OUT NAME\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString name = QString::fromLocal8Bit(argv[2]);
  for (const int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(out).arg(side);
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      PaintIcon(painter, side);
    }
    if (!QDir().mkpath(folder) || !image.save(folder + QStringLiteral("/") + name + QStringLiteral(".png"))) {
      std::fprintf(stderr, "make-icons: cannot write into %s\n", qPrintable(folder));
      return 1;
    }
  }
  const QString folder = out + QStringLiteral("/scalable/apps");
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "make-icons: cannot make %s\n", qPrintable(folder));
    return 1;
  }
  QSvgGenerator svg;
  svg.setFileName(folder + QStringLiteral("/") + name + QStringLiteral(".svg"));
  svg.setSize(QSize(static_cast<int>(kSide), static_cast<int>(kSide)));
  svg.setViewBox(QRectF(0, 0, kSide, kSide));
  svg.setTitle(QStringLiteral("Quillmere Photo"));
  svg.setDescription(QStringLiteral("A pocket player beside its cable"));
  QPainter painter;
  if (!painter.begin(&svg)) {
    std::fprintf(stderr, "make-icons: cannot write %s\n", qPrintable(svg.fileName()));
    return 1;
  }
  PaintIcon(painter, kSide);
  return painter.end() ? 0 : 1;
}
