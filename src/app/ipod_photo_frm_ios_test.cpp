// The window with an iOS device served by the simulated mobile device
// library: its reports come from the library's own thread, the library is a
// Photos.sqlite one with 5-5-5 thumbnails, and removals may land in the
// middle of a transfer or a page build.

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/ipod_photo_frm.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using testing::TSimDevice;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

class TFakeBoxes : public TMessageBoxes {
public:
  QStringList Shown;  // "kind:text"
  void Warning(const QString& text) override { Shown << QStringLiteral("warning:") + text; }
  void Error(const QString& text) override { Shown << QStringLiteral("error:") + text; }
  void Information(const QString& text) override { Shown << QStringLiteral("information:") + text; }
  bool Confirm(const QString& text) override {
    Shown << QStringLiteral("confirm:") + text;
    return false;
  }
};

class TFakeShell : public TShell {
public:
  bool OpenUrl(const QUrl&) override { return true; }
  QString ChooseFolder(QWidget*, const QString&) override { return {}; }
};

struct TColour {
  int Red, Green, Blue;
};

// One solid colour per asset, each channel a whole 5-bit step and far from
// the others' channels, so that a swapped channel, a lost bit or a record
// read at the wrong offset shows.
const std::vector<std::pair<std::uint32_t, TColour>> kAssets = {
    {1, {248, 128, 16}}, {2, {16, 248, 128}}, {3, {128, 16, 248}}, {4, {200, 64, 96}}};

TBitmap24 Solid(int width, int height, TColour colour) {
  TBitmap24 picture(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = picture.Row(y);
    for (int x = 0; x < width; ++x) {
      row[3 * x] = static_cast<std::uint8_t>(colour.Blue);
      row[3 * x + 1] = static_cast<std::uint8_t>(colour.Green);
      row[3 * x + 2] = static_cast<std::uint8_t>(colour.Red);
    }
  }
  return picture;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

void WriteLibrary(const std::string& folder) {
  const auto geometry = testing::IosThumbGeometry("79x79.ithmb");
  testing::TSqliteLibrarySpec desc;
  // Records out of asset order: each thumbnail must come from its own slot.
  const std::int64_t slots[] = {2, 0, 3, 1};
  for (std::size_t i = 0; i < kAssets.size(); ++i) {
    testing::TSqliteAssetSpec asset;
    asset.Id = kAssets[i].first;
    asset.ThumbnailIndex = slots[i];
    asset.FileName = "IMG_000" + std::to_string(asset.Id) + ".JPG";
    asset.OriginalBytes = Bytes("original bytes of " + asset.FileName);
    asset.Thumbnail = Solid(geometry.Width, geometry.Height, kAssets[i].second);
    desc.Assets.push_back(std::move(asset));
  }
  testing::TSqliteAlbumSpec album;
  album.Id = 30;
  album.Title = "Holiday";
  album.AssetIds = {3, 1, 4};
  desc.Albums = {album};
  testing::WritePhotosSqliteLibrary(desc, folder);
}

bool Near(int got, int want) { return std::abs(got - want) <= 8; }

}  // namespace

class IpodPhotoFrmIosTest : public QObject {
  Q_OBJECT

private:
  std::unique_ptr<testing::TTempDir> dir_;
  std::unique_ptr<testing::TFakePlatform> platform_;
  TFakeBoxes boxes_;
  TFakeShell shell_;

  std::unique_ptr<TIpodPhotoFrm> Open(const std::vector<std::string>& lines) {
    TSimDevice::Configure(*dir_ / "sim.conf", *dir_ / "iphone", lines);
    TFrmOptions options;
    options.ProgramFolder = QString::fromStdString(dir_->Path());
    options.SettingsFile = QString::fromStdString(*dir_ / "settings.ini");
    options.WatchMounts = false;
    auto frm = std::make_unique<TIpodPhotoFrm>(*platform_, boxes_, shell_, options);
    frm->show();
    return frm;
  }

  // The library's thread hands the arrival over and waits for it: the event
  // loop must run for the window to fill.
  static void WaitForLibrary(TIpodPhotoFrm& frm) {
    QTRY_VERIFY_WITH_TIMEOUT(!frm.ErrPnl->isVisible() && frm.AlbumLstList->topLevelItemCount() > 0, 10000);
  }

  QString Destination() { return QString::fromStdString(*dir_ / "out"); }

  QTreeWidgetItem* Node(TIpodPhotoFrm& frm, const QString& text) {
    const auto found = frm.AlbumLstList->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }

  static bool WaitUntilDisconnected(TIpodPhotoFrm& frm) {
    for (int i = 0; i < 500; ++i) {
      if (!frm.Device()->Connected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void CheckLostAndUsable(TIpodPhotoFrm& frm) {
    QTRY_VERIFY_WITH_TIMEOUT(frm.ErrPnl->isVisible(), 10000);
    QCOMPARE(frm.ErrLb->text(), QStringLiteral("No device found"));
    QCOMPARE(frm.StatusLb->text(), QStringLiteral("Lost connection with iPod, operation abort."));
    QCOMPARE(frm.AlbumLstList->topLevelItemCount(), 0);
    QVERIFY(!frm.AlbumLstList->isEnabled());
    QVERIFY(!frm.BuildingPage());
    QVERIFY(!frm.Transferring);
    QVERIFY(!frm.CopyThreadAlive());
    QVERIFY(!frm.Device()->IsIos);
    // Still answers: the overlay's own button and a close.
    frm.StopBtnClick();
    QVERIFY(frm.close());
    QVERIFY(frm.Device() == nullptr);
  }

private Q_SLOTS:
  void initTestCase() { TSimDevice::UseForProcess(kSimLibrary); }

  void init() {
    dir_ = std::make_unique<testing::TTempDir>();
    platform_ = std::make_unique<testing::TFakePlatform>();
    platform_->Pictures = *dir_ / "Pictures/";
    WriteLibrary(*dir_ / "iphone");
    boxes_ = TFakeBoxes();
  }

  void cleanup() {
    platform_.reset();
    dir_.reset();
  }

  void ArrivalFromTheLibraryThreadFillsTheWindowOnTheGuiThread() {
    auto frm = Open({"arrive=signal"});
    QVERIFY(frm->ErrPnl->isVisible());
    QVERIFY(!frm->Device()->IosUnavailable);
    QVERIFY(!frm->IphoneErrLb->isVisible());

    // The library's thread waits for the signal: nothing reads OnChange yet.
    std::atomic<bool> reportedOnGui{true};
    std::atomic<int> reports{0};
    auto inner = frm->Device()->OnChange;
    frm->Device()->OnChange = [&, inner](bool connected, bool fromIos) {
      reportedOnGui = QThread::currentThread() == QCoreApplication::instance()->thread();
      ++reports;
      inner(connected, fromIos);
    };
    int inserts = 0, insertsOffGui = 0;
    QObject::connect(
        frm->AlbumLstList->model(), &QAbstractItemModel::rowsInserted, frm.get(),
        [&] {
          ++inserts;
          if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++insertsOffGui;
        },
        Qt::DirectConnection);

    TSimDevice::Signal(kSimLibrary);
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(reports.load(), 1);
    QVERIFY(!reportedOnGui);  // the report itself came from the library's thread
    QVERIFY(inserts > 0);
    QCOMPARE(insertsOffGui, 0);
    QVERIFY(frm->Device()->IsIos);
    QVERIFY(frm->AlbumLstList->isEnabled());
    QVERIFY(Node(*frm, QStringLiteral("Holiday")) != nullptr);
    QCOMPARE(frm->Db()->Photos.Count(), kAssets.size());

    // Every cell shows the colour written into its own 5-5-5 record.
    TQtCellArea& area = frm->CellArea();
    QCOMPARE(area.CellCount(), static_cast<int>(kAssets.size()));
    for (int cell = 0; cell < area.CellCount(); ++cell) {
      const std::uint32_t id = frm->Db()->Photos.Items(static_cast<std::size_t>(area.CellId(cell))).Id;
      TColour want{};
      for (const auto& [assetId, colour] : kAssets) {
        if (assetId == id) want = colour;
      }
      const QImage& picture = area.Cell(cell)->Picture();
      QVERIFY(!picture.isNull());
      for (const QPoint at : {QPoint(0, 0), QPoint(picture.width() - 1, picture.height() - 1),
                              QPoint(picture.width() / 2, picture.height() / 2)}) {
        const QRgb got = picture.pixel(at);
        QVERIFY2(Near(qRed(got), want.Red) && Near(qGreen(got), want.Green) && Near(qBlue(got), want.Blue),
                 qPrintable(QStringLiteral("photo %1 at (%2,%3): %4 %5 %6")
                                .arg(id)
                                .arg(at.x())
                                .arg(at.y())
                                .arg(qRed(got))
                                .arg(qGreen(got))
                                .arg(qBlue(got))));
      }
    }
    QVERIFY(frm->close());
  }

  void TransferLogHasNoIpodLineAndCloseAsksNothing() {
    auto frm = Open({});
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    for (std::size_t i = 0; i < frm->Db()->Photos.Count(); ++i) frm->Db()->Photos.Select(i);
    frm->DestEdt->setText(Destination());
    frm->StartTransfer();
    QTRY_VERIFY_WITH_TIMEOUT(!frm->Transferring && !frm->CopyThreadAlive(), 30000);
    QCOMPARE(frm->PgLb->text(), QStringLiteral("Done."));
    QVERIFY(frm->TransferLog.startsWith(TIpodPhotoFrm::kVersionText + QStringLiteral("\r\n")));
    QVERIFY(!frm->TransferLog.contains(QStringLiteral("[iPod]")));
    QFile original(Destination() + QStringLiteral("/IMG_0003.JPG"));
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(original.readAll(), QByteArray("original bytes of IMG_0003.JPG"));
    frm->CancelBtnClick();

    boxes_.Shown.clear();
    QVERIFY(frm->close());
    QVERIFY2(boxes_.Shown.isEmpty(), qPrintable(boxes_.Shown.join(QLatin1Char('\n'))));
    QVERIFY(frm->Device() == nullptr);
  }

  void RemovalDuringATransferLeavesTheWindowUsable() {
    auto frm = Open({"leave=signal"});
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    for (std::size_t i = 0; i < frm->Db()->Photos.Count(); ++i) frm->Db()->Photos.Select(i);
    frm->DestEdt->setText(Destination());
    // Unplugged at the transfer thread's first file operation on the
    // computer; the thread goes on once the device has noted the loss.
    const std::thread::id gui = std::this_thread::get_id();
    std::atomic<bool> fired{false}, noted{false};
    TIpodPhotoFrm* window = frm.get();
    platform_->BeforeFileOp = [&, window](const std::string&, const std::string&) {
      if (std::this_thread::get_id() == gui || fired.exchange(true)) return;
      TSimDevice::Signal(kSimLibrary);
      noted = WaitUntilDisconnected(*window);
    };
    frm->StartTransfer();
    QVERIFY(frm->Transferring);
    QTRY_VERIFY_WITH_TIMEOUT(fired && !frm->CopyThreadAlive(), 30000);
    QVERIFY(noted);
    QCOMPARE(frm->CancelBtn->Caption(), QStringLiteral("Done"));
    QVERIFY(QDir(Destination()).entryList(QDir::Files).size() < static_cast<qsizetype>(kAssets.size()));
    CheckLostAndUsable(*frm);
    QVERIFY(!boxes_.Shown.join(QLatin1Char('\n')).contains(QStringLiteral("confirm:")));
  }

  void RemovalDuringAPageBuildLeavesTheWindowUsable() {
    auto frm = Open({"leave=signal"});
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    TIpodPhotoDb* db = frm->Db();
    const auto progress = db->OnPageProgress;
    bool fired = false, noted = false;
    db->OnPageProgress = [&](std::int32_t count) {
      if (count == 1 && !fired) {
        fired = true;
        TSimDevice::Signal(kSimLibrary);
        // The device notes the loss before handing it over; the window
        // hears of it while the page still builds.
        noted = WaitUntilDisconnected(*frm);
      }
      progress(count);
    };
    QTreeWidgetItem* holiday = Node(*frm, QStringLiteral("Holiday"));
    QVERIFY(holiday != nullptr);
    frm->AlbumLstList->setCurrentItem(holiday);
    QVERIFY(fired);
    QVERIFY(noted);
    CheckLostAndUsable(*frm);
  }

  // Found by the soak: an iPod in disk mode taken while the iPhone's loss
  // waited for the GUI thread was hidden by that loss, served after it:
  // "No device found" over a connected iPod until it was plugged in again.
  void IpodTakenWhileTheIphoneLossWaits() {
    testing::TLibrarySpec ipod;
    ipod.Formats = {testing::TFormatSpec{1023, testing::TRecordLayout::SwappedRgb565, 176, 132, 0, 0, 0, 0, true},
                    testing::TFormatSpec{3113, testing::TRecordLayout::Rgb565, 112, 112, 0, 0, 0, 0, true}};
    testing::TAlbumSpec all;
    all.Title = "Photo Library";
    for (std::uint32_t id : {500u, 501u}) {
      testing::TPhotoSpec photo;
      photo.Id = id;
      photo.Picture = Solid(32, 24, {200, 64, 96});
      ipod.Photos.push_back(std::move(photo));
      all.PhotoIds.push_back(id);
    }
    ipod.Albums = {all};
    const std::string folder = *dir_ / "ipod";
    testing::WriteIpod(ipod, folder);

    auto frm = Open({"leave=signal"});
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    TSimDevice::Signal(kSimLibrary);
    QVERIFY(WaitUntilDisconnected(*frm));  // the loss now waits for this thread
    platform_->Mounts.push_back({folder, "/dev/sdz1", "vfat", "8:17"});
    platform_->RemovableMountPoints.insert(folder);
    frm->MountTableChanged();
    QTest::qWait(50);  // the loss's hand-over is served
    QVERIFY(frm->Device()->Connected);
    QVERIFY(!frm->Device()->IsIos);
    QVERIFY(!frm->ErrPnl->isVisible());
    QCOMPARE(frm->AlbumLstList->topLevelItemCount(), 1);
    QCOMPARE(frm->CellArea().CellCount(), 2);
    QVERIFY(frm->AlbumLstList->isEnabled());
  }

  // The library's thread may be waiting for the GUI thread to take a report
  // when the window closes; the close must neither hang nor run the report
  // on a window that is gone.
  void CloseWhileARemovalWaitsForTheGuiThread() {
    auto frm = Open({"leave=signal"});
    WaitForLibrary(*frm);
    if (QTest::currentTestFailed()) return;
    TSimDevice::Signal(kSimLibrary);
    QVERIFY(WaitUntilDisconnected(*frm));
    boxes_.Shown.clear();
    QVERIFY(frm->close());
    QVERIFY(frm->Device() == nullptr);
    QVERIFY2(boxes_.Shown.isEmpty(), qPrintable(boxes_.Shown.join(QLatin1Char('\n'))));
    frm.reset();
    QTest::qWait(50);  // a report still queued would run here
  }
};

}  // namespace quill

QTEST_MAIN(quill::IpodPhotoFrmIosTest)
#include "ipod_photo_frm_ios_test.moc"
