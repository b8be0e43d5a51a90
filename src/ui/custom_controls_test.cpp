#include <QPainter>
#include <QTest>

#include "ui/photo_control.h"
#include "ui/pic_button.h"
#include "ui/progress_shape.h"

namespace quill {
namespace {

QImage Solid(int width, int height, const QColor& color) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(color);
  return image;
}

// A face of one colour whose four corner pixels are white (cut out).
QImage FaceWithWhiteCorners(int width, int height, const QColor& color) {
  QImage image = Solid(width, height, color);
  for (const QPoint& p : {QPoint(0, 0), QPoint(width - 1, 0), QPoint(0, height - 1), QPoint(width - 1, height - 1)}) {
    image.setPixelColor(p, Qt::white);
  }
  return image;
}

QColor PixelOf(QWidget& widget, int x, int y) { return widget.grab().toImage().pixelColor(x, y); }

}  // namespace

class CustomControlsTest : public QObject {
  Q_OBJECT

private Q_SLOTS:
  void PictureShapesTheButton() {
    QWidget parent;
    TPicButton button(&parent);
    button.SetBitmap(FaceWithWhiteCorners(20, 10, QColor(0x30, 0x60, 0x90)));
    QCOMPARE(button.size(), QSize(20, 10));
    QVERIFY(!button.mask().contains(QPoint(0, 0)));
    QVERIFY(!button.mask().contains(QPoint(19, 9)));
    QVERIFY(button.mask().contains(QPoint(1, 0)));
    QVERIFY(button.mask().contains(QPoint(10, 5)));

    // Another transparent colour reshapes it: now the corners stay.
    button.SetTransparentColor(QColor(0x30, 0x60, 0x90));
    QVERIFY(button.mask().contains(QPoint(0, 0)));
    QVERIFY(!button.mask().contains(QPoint(10, 5)));

    // Nothing but the transparent colour: the whole rectangle stays visible.
    TPicButton white(&parent);
    white.SetBitmap(Solid(8, 8, Qt::white));
    QVERIFY(white.mask().isEmpty());

    // A picture loaded straight into the button changes neither size nor shape.
    TPicButton loaded(&parent);
    loaded.SetBitmap(FaceWithWhiteCorners(20, 10, Qt::red));
    loaded.LoadPicture(Solid(30, 30, Qt::green));
    QCOMPARE(loaded.size(), QSize(20, 10));
    QVERIFY(!loaded.mask().contains(QPoint(0, 0)));
    QCOMPARE(loaded.DisabledBitmap().pixelColor(5, 5), QColor(0x5F, 0x5F, 0x5F));  // grey of the red face
    QCOMPARE(PixelOf(loaded, 5, 5), QColor(Qt::green));
  }

  void GreyCopyAndDisabledButtonIgnoresTheMouse() {
    const QImage grey = TPicButton::MakeGrayBitmap(Solid(2, 1, Qt::white));
    QCOMPARE(grey.pixelColor(0, 0), QColor(223, 223, 223));
    QCOMPARE(TPicButton::MakeGrayBitmap(Solid(1, 1, Qt::black)).pixelColor(0, 0), QColor(32, 32, 32));

    QWidget parent;
    TPicButton button(&parent);
    button.SetBitmap(Solid(30, 20, QColor(0xFE, 0xFE, 0xFE)));
    int clicks = 0;
    button.OnClick = [&] { ++clicks; };
    button.setEnabled(false);
    parent.show();
    QCOMPARE(PixelOf(button, 15, 10), QColor(222, 222, 222));  // (3 * 254 + 128) / 4
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!button.Down());
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(clicks, 0);

    button.setEnabled(true);
    QCOMPARE(PixelOf(button, 15, 10), QColor(0xFE, 0xFE, 0xFE));
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(clicks, 1);
  }

  void PlainButtonIsDownOnlyWhileHeld() {
    QWidget parent;
    TPicButton button(&parent);
    button.SetBitmap(Solid(30, 20, Qt::red));
    button.SetDownBitmap(Solid(30, 20, Qt::blue));
    parent.show();
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(button.Down());
    QCOMPARE(PixelOf(button, 10, 10), QColor(Qt::blue));
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!button.Down());
    QCOMPARE(PixelOf(button, 10, 10), QColor(Qt::red));
    // The right button does nothing.
    QTest::mousePress(&button, Qt::RightButton, {}, QPoint(5, 5));
    QVERIFY(!button.Down());
    // Down cannot be set without a group.
    button.SetDown(true);
    QVERIFY(!button.Down());
  }

  void CheckedButtonsOfAGroupRaiseEachOther() {
    QWidget parent;
    TPicButton first(&parent), second(&parent), other(&parent);
    for (TPicButton* b : {&first, &second, &other}) {
      b->SetBitmap(Solid(10, 10, Qt::red));
      b->SetChecked(true);
    }
    first.SetGroupIndex(1);
    second.SetGroupIndex(1);
    other.SetGroupIndex(2);
    parent.show();
    QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(2, 2));
    QTest::mouseClick(&first, Qt::LeftButton, {}, QPoint(2, 2));
    QVERIFY(first.Down());
    QTest::mouseClick(&second, Qt::LeftButton, {}, QPoint(2, 2));
    QVERIFY(second.Down());
    QVERIFY(!first.Down());
    QVERIFY(other.Down());  // another group is left alone

    // Without AllowAllUp the down button cannot be raised by its setter.
    second.SetDown(false);
    QVERIFY(second.Down());
    second.SetAllowAllUp(true);
    QVERIFY(first.AllowAllUp());  // the group takes the sender's setting
    second.SetDown(false);
    QVERIFY(!second.Down());
  }

  void CaptionWithLeftPositionStartsAtSpace() {
    QWidget parent;
    TPicButton button(&parent);
    button.SetBitmap(Solid(120, 22, QColor(0xFE, 0xFE, 0xFE)));
    button.SetCaptionPosition(TCaptionPos::cpLeft);
    button.SetSpace(32);
    button.SetSpace(-5);  // ignored
    QCOMPARE(button.Space(), 32);
    button.SetCaption(QStringLiteral("Cancel"));
    const QImage image = button.grab().toImage();
    int left = image.width(), top = image.height(), bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (image.pixelColor(x, y) != QColor(0xFE, 0xFE, 0xFE)) {
          left = std::min(left, x);
          top = std::min(top, y);
          bottom = std::max(bottom, y);
        }
      }
    }
    QVERIFY2(left >= 32 && left <= 34, qPrintable(QString::number(left)));
    // Centred vertically: the ink sits about as far from the top as from the bottom.
    QVERIFY(std::abs(top - (image.height() - 1 - bottom)) <= 4);
  }

  void ProgressShapeGeometry() {
    QWidget parent;
    TProgressShape shape(&parent);
    QCOMPARE(shape.size(), QSize(50, 50));
    shape.resize(25, 25);
    shape.SetPadding(4);
    shape.Loaded();
    QCOMPARE(shape.InnerRect(), (TBlockRect{2, 2, 23, 23}));
    QCOMPARE(shape.BlockWidth(), 4);
    QCOMPARE(shape.BlockHeight(), 4);
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(shape.BlockRect(0, r).Left, 19);
      QCOMPARE(shape.BlockRect(0, r).Right, 23);
    }
    QCOMPARE(shape.BlockRect(2, 2), (TBlockRect{3, 3, 7, 7}));
    QCOMPARE(shape.BlockRect(3, 0), TBlockRect{});

    shape.SetBlockCount(1);
    shape.SetPadding(0);
    QCOMPARE(shape.BlockCount(), 3);
    QCOMPARE(shape.Padding(), 4);
    // A border takes one more pixel on each side.
    shape.Appearance().SetBorderColor(QColor(Qt::black));
    QCOMPARE(shape.InnerRect(), (TBlockRect{3, 3, 22, 22}));
  }

  void ActiveBlockRunsClockwiseAroundTheEdge() {
    QWidget parent;
    TProgressShape shape(&parent);
    shape.resize(25, 25);
    shape.Loaded();
    QList<QPoint> visited{QPoint(shape.ActiveColumn(), shape.ActiveRow())};
    for (int i = 0; i < 8; ++i) {
      shape.Step();
      visited.append(QPoint(shape.ActiveColumn(), shape.ActiveRow()));
    }
    const QList<QPoint> expected{QPoint(2, 2), QPoint(1, 2), QPoint(0, 2), QPoint(0, 1), QPoint(0, 0),
                                 QPoint(1, 0), QPoint(2, 0), QPoint(2, 1), QPoint(2, 2)};
    QCOMPARE(visited, expected);
  }

  void TimerRunsExactlyWhileEnabled() {
    QWidget parent;
    TProgressShape shape(&parent);
    shape.setEnabled(false);
    shape.SetInterval(500);
    shape.Loaded();
    QVERIFY(!shape.Animating());
    QCOMPARE(shape.Interval(), 500u);
    shape.setEnabled(true);
    QVERIFY(shape.Animating());
    shape.setEnabled(false);
    QVERIFY(!shape.Animating());
  }

  void ProgressShapePaintsBlocksAndLeavesTheActiveGap() {
    QWidget parent;
    parent.setAutoFillBackground(true);
    parent.setPalette(QPalette(QColor(0x8F, 0x8F, 0x8F)));
    TProgressShape shape(&parent);
    shape.resize(25, 25);
    shape.Appearance().SetBlockColor(QColor(0xF7, 0xF7, 0xF7));
    shape.Loaded();
    parent.resize(40, 40);
    parent.show();
    const QImage image = parent.grab().toImage();
    // (2,2) is active and has no colour: the top left block is not drawn.
    QCOMPARE(image.pixelColor(4, 4), QColor(0x8F, 0x8F, 0x8F));
    QCOMPARE(image.pixelColor(20, 20), QColor(0xF7, 0xF7, 0xF7));  // block (0,0)
    QCOMPARE(image.pixelColor(12, 12), QColor(0xF7, 0xF7, 0xF7));  // the centre
    QCOMPARE(image.pixelColor(9, 9), QColor(0x8F, 0x8F, 0x8F));    // padding
  }

  void PhotoCellFrames() {
    QWidget parent;
    TPhotoControl cell(&parent);
    cell.resize(75, 75);
    cell.SetPicture(Solid(130, 130, QColor(0x20, 0x80, 0x20)));  // larger than the cell: cut
    const QColor blue(0x34, 0x6C, 0xC9), grey(0xD1, 0xD1, 0xD1), green(0x20, 0x80, 0x20);
    QImage image = cell.grab().toImage();
    QCOMPARE(image.pixelColor(0, 0), grey);
    QCOMPARE(image.pixelColor(74, 74), grey);
    QCOMPARE(image.pixelColor(74, 40), grey);
    QCOMPARE(image.pixelColor(1, 1), green);
    QCOMPARE(image.pixelColor(73, 40), green);

    cell.SetSelected(true);
    image = cell.grab().toImage();
    for (const QPoint& p : {QPoint(74, 1), QPoint(74, 40), QPoint(73, 40), QPoint(40, 74), QPoint(40, 73),
                            QPoint(1, 74), QPoint(0, 40), QPoint(1, 40), QPoint(40, 0), QPoint(40, 1)}) {
      QCOMPARE(image.pixelColor(p), blue);
    }
    QCOMPARE(image.pixelColor(2, 2), green);
    QCOMPARE(image.pixelColor(72, 72), green);
  }

  void PhotoCellClickRunsOnlyTheHandler() {
    QWidget parent;
    TPhotoControl cell(&parent);
    cell.resize(40, 40);
    parent.show();
    int clicks = 0;
    cell.OnClick = [&] { ++clicks; };
    QTest::mouseClick(&cell, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(clicks, 1);
    QVERIFY(!cell.Selected());
    QTest::mouseClick(&cell, Qt::RightButton, {}, QPoint(10, 10));
    QCOMPARE(clicks, 1);
  }
};

}  // namespace quill

QTEST_MAIN(quill::CustomControlsTest)
#include "custom_controls_test.moc"
