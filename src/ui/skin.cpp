#include "ui/skin.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace quill {
namespace {

// Nearly white: white itself is the cut-out colour of button pictures.
const QColor kPaper(0xFD, 0xFD, 0xFE);

QImage Blank(int width, int height, const QColor& fill) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(fill);
  return image;
}

QImage Clear(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void VerticalGradient(QPainter& p, const QRectF& r, const QColor& top, const QColor& bottom) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.fillRect(r, g);
}

// The title bar: a dark slate caption band that lightens toward the right,
// where the links sit, over a light tool band. `from` and `to` are the
// places (0 to 1) of the picture's left and right edges along the band.
void PaintTitle(QImage& image, double from, double to, bool leftEdge, bool rightEdge) {
  QPainter p(&image);
  const int w = image.width();
  QLinearGradient band(0, 0, w, 0);
  const QColor left(0x2C, 0x34, 0x41), middle(0x4C, 0x58, 0x6B), right(0x8A, 0x96, 0xA8);
  auto at = [&](double t) {
    const double u = t < 0.55 ? t / 0.55 : (t - 0.55) / 0.45;
    const QColor& a = t < 0.55 ? left : middle;
    const QColor& b = t < 0.55 ? middle : right;
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * u),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * u),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * u));
  };
  for (int i = 0; i <= 8; ++i) {
    const double t = i / 8.0;
    band.setColorAt(t, at(from + (to - from) * t));
  }
  p.fillRect(0, 0, w, 23, band);
  // A soft sheen over the upper half and a highlight line on top.
  QLinearGradient sheen(0, 0, 0, 23);
  sheen.setColorAt(0, QColor(255, 255, 255, 60));
  sheen.setColorAt(0.5, QColor(255, 255, 255, 12));
  sheen.setColorAt(1, QColor(0, 0, 0, 30));
  p.fillRect(0, 0, w, 23, sheen);
  p.fillRect(0, 0, w, 1, QColor(255, 255, 255, 70));
  p.fillRect(0, 23, w, 1, QColor(0x1E, 0x24, 0x2E));
  VerticalGradient(p, QRectF(0, 24, w, 32), QColor(0xF1, 0xF3, 0xF6), QColor(0xD8, 0xDD, 0xE4));
  p.fillRect(0, 24, w, 1, QColor(0xFF, 0xFF, 0xFF, 0xC0));
  p.fillRect(0, 56, w, 1, QColor(0x9A, 0xA3, 0xAF));
  if (leftEdge) p.fillRect(0, 0, 1, 57, QColor(0x47, 0x47, 0x47));
  if (rightEdge) p.fillRect(w - 1, 0, 1, 57, QColor(0x47, 0x47, 0x47));
}

void PaintAppMark(QImage& image) {
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(4.5, 4.5, 15, 15);
  p.setPen(QPen(QColor(0x2E, 0x36, 0x44), 1));
  VerticalGradient(p, r, QColor(0xF7, 0xF9, 0xFC), QColor(0xC9, 0xD3, 0xE1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(r, 3, 3);
  QPainterPath hills;
  hills.moveTo(6, 17);
  hills.lineTo(10, 11.5);
  hills.lineTo(13, 15);
  hills.lineTo(15, 13);
  hills.lineTo(18, 17);
  hills.closeSubpath();
  p.fillPath(hills, QColor(0x3F, 0x77, 0xBC));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xF2, 0xA9, 0x2B));
  p.drawEllipse(QPointF(15.5, 8.5), 1.8, 1.8);
}

void PaintBar(QImage& image, const QColor& top, const QColor& bottom, const QColor& line, bool lineAtTop, bool leftEdge,
              bool rightEdge) {
  QPainter p(&image);
  const int w = image.width(), h = image.height();
  VerticalGradient(p, QRectF(0, 0, w, h), top, bottom);
  p.fillRect(0, lineAtTop ? 0 : h - 1, w, 1, line);
  if (leftEdge) p.fillRect(0, 0, 1, h, QColor(0x47, 0x47, 0x47));
  if (rightEdge) p.fillRect(w - 1, 0, 1, h, QColor(0x47, 0x47, 0x47));
}

// A rounded button face on white (the cut-out colour).
QImage ButtonFace(int width, int height, bool pressed) {
  QImage image = Blank(width, height, Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(0.5, 0.5, width - 1, height - 1);
  QPainterPath path;
  path.addRoundedRect(r, 4, 4);
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  if (pressed) {
    g.setColorAt(0, QColor(0xC3, 0xCC, 0xD8));
    g.setColorAt(1, QColor(0xE4, 0xE9, 0xEF));
  } else {
    g.setColorAt(0, kPaper);
    g.setColorAt(0.5, QColor(0xEE, 0xF1, 0xF5));
    g.setColorAt(1, QColor(0xD6, 0xDC, 0xE4));
  }
  p.fillPath(path, g);
  p.setPen(QPen(QColor(0x7D, 0x87, 0x96), 1));
  p.drawPath(path);
  return image;
}

void PaintCheckIcon(QImage& image) {
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x3A, 0x5A, 0x8F), 1));
  p.setBrush(kPaper);
  p.drawRoundedRect(QRectF(5.5, 7.5, 11, 11), 2, 2);
  p.setPen(QPen(QColor(0x2F, 0x6F, 0xD0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(8, 12.5), QPointF(10.5, 15.5), QPointF(16.5, 7)}));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3B, 0x3B, 0x3B));
  p.drawPolygon(QPolygonF({QPointF(19.5, 12), QPointF(24.5, 12), QPointF(22, 15)}));
}

void PaintExportIcon(QImage& image) {
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // A tray with an arrow dropping into it.
  p.setPen(QPen(QColor(0x2E, 0x4E, 0x7E), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(6, 14), QPointF(6, 19.5), QPointF(19, 19.5), QPointF(19, 14)}));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2F, 0x6F, 0xD0));
  p.drawRect(QRectF(11, 5, 3, 7));
  p.drawPolygon(QPolygonF({QPointF(8, 11), QPointF(17, 11), QPointF(12.5, 16)}));
  // The largest bold size at which the word fits between icon and arrow.
  const QRectF text(22, 0, 42, 26);
  QFont font = BoldFont(11);
  for (int size = 11; size > 7; --size) {
    font = BoldFont(size);
    if (QFontMetrics(font).horizontalAdvance(QStringLiteral("Transfer")) <= text.width()) break;
  }
  p.setFont(font);
  p.setPen(QColor(0x22, 0x2B, 0x38));
  p.drawText(text, Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Transfer"));
  p.setBrush(QColor(0x3B, 0x3B, 0x3B));
  p.setPen(Qt::NoPen);
  p.drawPolygon(QPolygonF({QPointF(66, 12), QPointF(71, 12), QPointF(68.5, 15)}));
}

QImage CloseFace() {
  QImage image = Blank(14, 15, Qt::white);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(0.5, 0.5, 13, 14), 3, 3);
  QLinearGradient g(0, 0, 0, 15);
  g.setColorAt(0, QColor(0xE0, 0x7A, 0x6E));
  g.setColorAt(1, QColor(0xB0, 0x3A, 0x2E));
  p.fillPath(path, g);
  p.setPen(QPen(QColor(0x6E, 0x24, 0x1D), 1));
  p.drawPath(path);
  p.setPen(QPen(kPaper, 1.8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(4.2, 4.7), QPointF(9.8, 10.3));
  p.drawLine(QPointF(9.8, 4.7), QPointF(4.2, 10.3));
  return image;
}

QImage CancelDoneFace(bool done) {
  QImage image = ButtonFace(76, 22, false);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient g(QPointF(14, 8), 9);
  if (done) {
    g.setColorAt(0, QColor(0x7C, 0xCB, 0x6E));
    g.setColorAt(1, QColor(0x2E, 0x8B, 0x3E));
  } else {
    g.setColorAt(0, QColor(0xF0, 0x82, 0x76));
    g.setColorAt(1, QColor(0xC0, 0x39, 0x2B));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawEllipse(QPointF(16, 11), 7, 7);
  p.setPen(QPen(kPaper, 1.9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  if (done) {
    p.drawPolyline(QPolygonF({QPointF(12.5, 11.2), QPointF(15, 13.8), QPointF(19.5, 8.2)}));
  } else {
    p.drawLine(QPointF(13.3, 8.3), QPointF(18.7, 13.7));
    p.drawLine(QPointF(18.7, 8.3), QPointF(13.3, 13.7));
  }
  return image;
}

QImage PhotoIcon(bool stack) {
  QImage image = Clear(18, 18);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  auto frame = [&p](const QRectF& r, bool front) {
    p.setPen(QPen(QColor(0x4A, 0x55, 0x66), 1));
    p.setBrush(front ? QColor(0xFF, 0xFF, 0xFF) : QColor(0xE6, 0xEA, 0xF0));
    p.drawRect(r);
    if (!front) return;
    const QRectF in = r.adjusted(2, 2, -2, -2);
    VerticalGradient(p, in, QColor(0x8E, 0xC5, 0xF0), QColor(0xD8, 0xEE, 0xFB));
    QPainterPath hills;
    hills.moveTo(in.left(), in.bottom());
    hills.lineTo(in.left() + in.width() * 0.35, in.top() + in.height() * 0.45);
    hills.lineTo(in.left() + in.width() * 0.6, in.top() + in.height() * 0.75);
    hills.lineTo(in.left() + in.width() * 0.78, in.top() + in.height() * 0.55);
    hills.lineTo(in.right(), in.bottom());
    hills.closeSubpath();
    p.fillPath(hills, QColor(0x3C, 0x8C, 0x4A));
  };
  if (stack) {
    frame(QRectF(5.5, 1.5, 11, 9), false);
    frame(QRectF(1.5, 5.5, 12, 10), true);
  } else {
    frame(QRectF(1.5, 3.5, 15, 11), true);
  }
  return image;
}

QImage CameraIcon() {
  QImage image = Clear(18, 18);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x2B, 0x31, 0x3B), 1));
  QLinearGradient g(0, 4, 0, 16);
  g.setColorAt(0, QColor(0x7A, 0x84, 0x93));
  g.setColorAt(1, QColor(0x3E, 0x46, 0x53));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(1.5, 5.5, 15, 10), 2, 2);
  p.drawRect(QRectF(5.5, 3.5, 6, 2));
  p.setBrush(QColor(0xDD, 0xE8, 0xF5));
  p.drawEllipse(QPointF(9, 10.5), 3.4, 3.4);
  p.setBrush(QColor(0x23, 0x4E, 0x86));
  p.drawEllipse(QPointF(9, 10.5), 1.8, 1.8);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xF2, 0xC1, 0x4E));
  p.drawRect(QRectF(13, 7, 2, 1.5));
  return image;
}

QImage Arrow(bool next) {
  QImage image = Clear(16, 16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x31, 0x31, 0x31));
  if (next) {
    p.drawPolygon(QPolygonF({QPointF(6, 4), QPointF(11, 8), QPointF(6, 12)}));
  } else {
    p.drawPolygon(QPolygonF({QPointF(10, 4), QPointF(5, 8), QPointF(10, 12)}));
  }
  return image;
}

QImage FolderIcon() {
  QImage image = Clear(16, 16);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x9A, 0x6B, 0x10), 1));
  p.setBrush(QColor(0xE8, 0xB0, 0x3C));
  QPainterPath back;
  back.moveTo(1.5, 3.5);
  back.lineTo(6, 3.5);
  back.lineTo(7.5, 5);
  back.lineTo(14.5, 5);
  back.lineTo(14.5, 13.5);
  back.lineTo(1.5, 13.5);
  back.closeSubpath();
  p.drawPath(back);
  QLinearGradient g(0, 6, 0, 14);
  g.setColorAt(0, QColor(0xFC, 0xD9, 0x7A));
  g.setColorAt(1, QColor(0xF0, 0xB8, 0x45));
  p.setBrush(g);
  p.drawRect(QRectF(1.5, 7, 13, 6.5));
  return image;
}

QImage ToPcIcon() {
  QImage image = Clear(22, 22);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // A screen with an arrow coming down into it.
  p.setPen(QPen(QColor(0xEE, 0xF3, 0xFA), 1.4));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(2.5, 8.5, 17, 10), 1.5, 1.5);
  p.drawLine(QPointF(8, 21), QPointF(14, 21));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xEE, 0xF3, 0xFA));
  p.drawRect(QRectF(9.5, 1, 3, 6));
  p.drawPolygon(QPolygonF({QPointF(6.5, 6), QPointF(15.5, 6), QPointF(11, 11.5)}));
  return image;
}

QImage MoreArrow() {
  QImage image = Clear(9, 9);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2B, 0x3E, 0x55));
  p.drawPolygon(QPolygonF({QPointF(1, 3), QPointF(8, 3), QPointF(4.5, 7)}));
  return image;
}

}  // namespace

void PaintDevice(QPainter& p) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  // Shadow.
  QRadialGradient shadow(QPointF(44, 98), 34);
  shadow.setColorAt(0, QColor(0, 0, 0, 50));
  shadow.setColorAt(1, QColor(0, 0, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shadow);
  p.drawEllipse(QPointF(44, 98), 34, 5);
  // Cable from the dock connector to a plug.
  QPainterPath cable;
  cable.moveTo(44, 88);
  cable.cubicTo(44, 104, 78, 104, 84, 84);
  cable.lineTo(86, 58);
  p.setPen(QPen(QColor(0x55, 0x5B, 0x66), 3, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawPath(cable);
  p.setPen(QPen(QColor(0x5C, 0x63, 0x6E), 1));
  VerticalGradient(p, QRectF(80, 40, 12, 18), QColor(0xE9, 0xEC, 0xF0), QColor(0xB5, 0xBC, 0xC6));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(QRectF(80.5, 40.5, 11, 18), 2, 2);
  p.fillRect(QRectF(82.5, 30, 7, 11), QColor(0xC8, 0xCD, 0xD4));
  p.drawRect(QRectF(82.5, 30.5, 7, 10));
  p.fillRect(QRectF(84, 33, 1.5, 2), QColor(0x5C, 0x63, 0x6E));
  p.fillRect(QRectF(86.5, 33, 1.5, 2), QColor(0x5C, 0x63, 0x6E));
  // Body.
  const QRectF body(18.5, 4.5, 52, 84);
  QLinearGradient metal(body.topLeft(), body.topRight());
  metal.setColorAt(0, QColor(0xE4, 0xE7, 0xEB));
  metal.setColorAt(0.45, QColor(0xFF, 0xFF, 0xFF));
  metal.setColorAt(1, QColor(0xCC, 0xD1, 0xD8));
  p.setPen(QPen(QColor(0x6B, 0x72, 0x7D), 1));
  p.setBrush(metal);
  p.drawRoundedRect(body, 8, 8);
  // Screen with a small photo.
  const QRectF screen(24.5, 10.5, 40, 31);
  p.setPen(QPen(QColor(0x33, 0x39, 0x44), 1));
  p.setBrush(QColor(0x1E, 0x24, 0x2E));
  p.drawRoundedRect(screen, 2, 2);
  const QRectF photo = screen.adjusted(3, 3, -3, -3);
  VerticalGradient(p, photo, QColor(0x6F, 0xB3, 0xEA), QColor(0xCB, 0xE7, 0xFA));
  QPainterPath hills;
  hills.moveTo(photo.left(), photo.bottom());
  hills.lineTo(photo.left() + 10, photo.top() + 11);
  hills.lineTo(photo.left() + 19, photo.top() + 19);
  hills.lineTo(photo.left() + 26, photo.top() + 13);
  hills.lineTo(photo.right(), photo.bottom());
  hills.closeSubpath();
  p.fillPath(hills, QColor(0x3C, 0x8C, 0x4A));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xF6, 0xC2, 0x3E));
  p.drawEllipse(QPointF(photo.right() - 6, photo.top() + 6), 2.6, 2.6);
  // Click wheel.
  const QPointF centre(44.5, 64.5);
  QRadialGradient wheel(centre, 17);
  wheel.setColorAt(0, QColor(0xF4, 0xF5, 0xF7));
  wheel.setColorAt(1, QColor(0xD3, 0xD7, 0xDD));
  p.setPen(QPen(QColor(0x8A, 0x91, 0x9B), 1));
  p.setBrush(wheel);
  p.drawEllipse(centre, 16, 16);
  p.setBrush(QColor(0xF7, 0xF8, 0xFA));
  p.drawEllipse(centre, 6, 6);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x8A, 0x91, 0x9B));
  p.drawRect(QRectF(42, 50.5, 5, 1.4));
  p.drawPolygon(QPolygonF({QPointF(58, 62), QPointF(61, 64.5), QPointF(58, 67)}));
  p.drawPolygon(QPolygonF({QPointF(31, 62), QPointF(28, 64.5), QPointF(31, 67)}));
  p.restore();
}

namespace {

// The device on the overlay's background.
QImage DevicePicture() {
  QImage image = Blank(101, 108, QColor(0xFA, 0xFA, 0xFA));
  QPainter p(&image);
  PaintDevice(p);
  return image;
}

TSkin Draw() {
  TSkin s;
  s.TitleLeft = Blank(22, 57, Qt::black);
  PaintTitle(s.TitleLeft, 0, 0, true, false);
  PaintAppMark(s.TitleLeft);
  s.TitleFill = Blank(256, 57, Qt::black);
  PaintTitle(s.TitleFill, 0, 1, false, false);
  s.TitleRight = Blank(5, 57, Qt::black);
  PaintTitle(s.TitleRight, 1, 1, false, true);

  const QColor statusTop(0xEC, 0xEF, 0xF3), statusBottom(0xD2, 0xD8, 0xDF), statusLine(0xA3, 0xAB, 0xB6);
  s.StatusLeft = Blank(4, 29, Qt::black);
  PaintBar(s.StatusLeft, statusTop, statusBottom, statusLine, true, true, false);
  s.StatusFill = Blank(8, 29, Qt::black);
  PaintBar(s.StatusFill, statusTop, statusBottom, statusLine, true, false, false);
  s.StatusRight = Blank(4, 29, Qt::black);
  PaintBar(s.StatusRight, statusTop, statusBottom, statusLine, true, false, true);
  {
    QPainter p(&s.StatusRight);
    p.fillRect(0, 28, 4, 1, QColor(0x47, 0x47, 0x47));
  }
  {
    QPainter p(&s.StatusLeft);
    p.fillRect(0, 28, 4, 1, QColor(0x47, 0x47, 0x47));
  }
  {
    QPainter p(&s.StatusFill);
    p.fillRect(0, 28, 8, 1, QColor(0x47, 0x47, 0x47));
  }
  s.PageBar = Blank(8, 24, Qt::black);
  PaintBar(s.PageBar, QColor(0xF8, 0xF9, 0xFB), QColor(0xE2, 0xE6, 0xEB), QColor(0xC6, 0xCD, 0xD6), false, false,
           false);

  s.Device = DevicePicture();
  s.CloseButton = CloseFace();
  s.CheckButton = ButtonFace(28, 26, false);
  PaintCheckIcon(s.CheckButton);
  s.CheckButtonDown = ButtonFace(28, 26, true);
  PaintCheckIcon(s.CheckButtonDown);
  s.ExportButton = ButtonFace(76, 26, false);
  PaintExportIcon(s.ExportButton);
  s.ExportButtonDown = ButtonFace(76, 26, true);
  PaintExportIcon(s.ExportButtonDown);
  s.CancelPicture = CancelDoneFace(false);
  s.DonePicture = CancelDoneFace(true);
  s.CancelButtonDown = ButtonFace(76, 22, true);
  s.TreeAll = PhotoIcon(true);
  s.TreeAlbum = PhotoIcon(false);
  s.TreeCamera = CameraIcon();
  s.PrevArrow = Arrow(false);
  s.NextArrow = Arrow(true);
  s.Folder = FolderIcon();
  s.ToPc = ToPcIcon();
  s.MoreArrow = MoreArrow();
  return s;
}

}  // namespace

QFont WindowFont() {
  QFont font(QStringLiteral("Tahoma"));
  font.setPointSize(8);
  if (!QFontInfo(font).exactMatch()) {
    font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
  }
  return font;
}

QFont BoldFont(int pixelHeight) {
  QFont font = WindowFont();
  font.setPixelSize(pixelHeight);
  font.setBold(true);
  return font;
}

const TSkin& Skin() {
  static const TSkin skin = Draw();
  return skin;
}

}  // namespace quill
