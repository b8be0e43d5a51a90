#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "ui/qt_cell_area.h"

namespace quill {

class QtCellAreaTest : public QObject {
  Q_OBJECT

private Q_SLOTS:
  void BitmapBecomesImageOfTheSameColours() {
    TBitmap24 bitmap(2, 1);
    bitmap.Row(0)[0] = 0x10;  // blue
    bitmap.Row(0)[1] = 0x20;  // green
    bitmap.Row(0)[2] = 0x30;  // red
    bitmap.Row(0)[5] = 0xFF;
    const QImage image = ToImage(bitmap);
    QCOMPARE(image.size(), QSize(2, 1));
    QCOMPARE(image.pixelColor(0, 0), QColor(0x30, 0x20, 0x10));
    QCOMPARE(image.pixelColor(1, 0), QColor(0xFF, 0, 0));
    QVERIFY(ToImage(TBitmap24()).isNull());
  }

  void CellsAreChildrenThatReportTheirClicks() {
    QScrollArea scroll;
    scroll.resize(200, 120);
    TQtCellArea area(scroll);
    std::vector<std::pair<int, bool>> clicks;
    area.OnCellClick = [&](int cell, bool camera) { clicks.emplace_back(cell, camera); };

    TCellSpec desc;
    desc.Id = 7;
    desc.X = 20;
    desc.Y = 20;
    desc.Width = 75;
    desc.Height = 75;
    desc.Picture = TBitmap24(75, 75);
    QCOMPARE(area.AddCell(desc), 0);
    desc.Id = 9;
    desc.X = 20;
    desc.Y = 400;
    desc.Camera = true;
    desc.Selected = true;
    QCOMPARE(area.AddCell(desc), 1);
    QCOMPARE(area.CellCount(), 2);
    QCOMPARE(area.CellId(1), 9);
    QVERIFY(area.CellSelected(1));
    QCOMPARE(area.Cell(0)->geometry(), QRect(20, 20, 75, 75));
    QCOMPARE(area.Content()->size(), QSize(95, 475));  // the range follows the cells

    scroll.show();
    QTest::mouseClick(area.Cell(0), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(area.Cell(1), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(clicks, (std::vector<std::pair<int, bool>>{{0, false}, {1, true}}));

    // A disabled area takes no clicks.
    area.SetEnabled(false);
    QTest::mouseClick(area.Cell(0), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(clicks.size(), std::size_t{2});
    area.SetEnabled(true);

    area.SetCellSelected(0, true);
    QVERIFY(area.Cell(0)->Selected());

    QPointer<TPhotoControl> gone = area.Cell(0);
    area.FreeAllCells();
    QCOMPARE(area.CellCount(), 0);
    QVERIFY(gone.isNull());
    QCOMPARE(area.Content()->size(), QSize(0, 0));
  }
};

}  // namespace quill

QTEST_MAIN(quill::QtCellAreaTest)
#include "qt_cell_area_test.moc"
