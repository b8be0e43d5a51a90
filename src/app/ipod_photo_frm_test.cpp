#include <QDialog>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/ipod_photo_frm.h"
#include "support/fake_platform.h"
#include "support/picture.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"
#include "ui/log_window.h"

namespace quill {
namespace {

using testing::TAlbumSpec;
using testing::TFormatSpec;
using testing::TLibrarySpec;
using testing::TRecordLayout;

// Remembers every message and answers confirmations with ConfirmAnswer.
class TFakeBoxes : public TMessageBoxes {
public:
  struct TShown {
    QString Kind, Text;
  };
  std::vector<TShown> Shown;
  bool ConfirmAnswer = false;
  void Warning(const QString& text) override { Shown.push_back({QStringLiteral("warning"), text}); }
  void Error(const QString& text) override { Shown.push_back({QStringLiteral("error"), text}); }
  void Information(const QString& text) override { Shown.push_back({QStringLiteral("information"), text}); }
  bool Confirm(const QString& text) override {
    Shown.push_back({QStringLiteral("confirm"), text});
    return ConfirmAnswer;
  }
  QString Last() const { return Shown.empty() ? QString() : Shown.back().Kind + QLatin1Char(':') + Shown.back().Text; }
};

class TFakeShell : public TShell {
public:
  std::vector<QUrl> Opened;
  QString Folder;  // the folder browser's answer
  int Chooses = 0;
  bool OpenUrl(const QUrl& url) override {
    Opened.push_back(url);
    return true;
  }
  QString ChooseFolder(QWidget*, const QString&) override {
    ++Chooses;
    return Folder;
  }
};

const QString kSixteen = QStringLiteral("Sixteen chars ab");
const QString kSeventeen = QStringLiteral("Seventeen chars a");

// 101 photos with thumbnails of format 3113 (100 cells per page). Albums:
// all photos, exactly one page, none, and two whose names test the menu.
TLibrarySpec Library() {
  TLibrarySpec desc;
  desc.Formats = {TFormatSpec{1023, TRecordLayout::SwappedRgb565, 176, 132, 0, 0, 0, 0, true},
                  TFormatSpec{3113, TRecordLayout::Rgb565, 112, 112, 0, 0, 0, 0, true}};
  TAlbumSpec all, page, empty, sixteen, seventeen;
  all.Title = "Photo Library";
  page.Title = "One page";
  empty.Title = "Empty";
  sixteen.Title = kSixteen.toStdString();
  seventeen.Title = kSeventeen.toStdString();
  for (std::uint32_t i = 0; i < 101; ++i) {
    testing::TPhotoSpec photo;
    photo.Id = 500 + i;
    photo.Picture = testing::TestPicture(32, 24, i);
    desc.Photos.push_back(std::move(photo));
    all.PhotoIds.push_back(500 + i);
    if (i < 100) page.PhotoIds.push_back(500 + i);
  }
  sixteen.PhotoIds = {500};
  seventeen.PhotoIds = {501};
  desc.Albums = {all, page, empty, sixteen, seventeen};
  std::vector<std::uint8_t> jpeg;
  EncodeJpeg(testing::TestPicture(64, 48, 7), 80, jpeg);
  desc.CameraFiles = {{"IMG_0001.JPG", jpeg, false}, {"IMG_0002.JPG", jpeg, false}};
  return desc;
}

}  // namespace

class IpodPhotoFrmTest : public QObject {
  Q_OBJECT

private:
  std::unique_ptr<testing::TTempDir> dir_;
  std::unique_ptr<testing::TFakePlatform> platform_;
  TFakeBoxes boxes_;
  TFakeShell shell_;
  QString ipod_;
  std::atomic<bool> gate_open_{true};
  std::thread::id gui_thread_;

  TFrmOptions Options(bool withDevice) {
    TFrmOptions options;
    options.ProgramFolder = QString::fromStdString(dir_->Path());
    options.SettingsFile = QString::fromStdString(*dir_ / "settings.ini");
    options.WatchMounts = false;
    if (withDevice) options.DeviceFolder = ipod_;
    return options;
  }

  std::unique_ptr<TIpodPhotoFrm> Open(bool withDevice) {
    auto frm = std::make_unique<TIpodPhotoFrm>(*platform_, boxes_, shell_, Options(withDevice));
    frm->show();
    return frm;
  }

  // The mount of the iPod as a removable drive.
  TMountEntry IpodMount() const { return {ipod_.toStdString(), "/dev/sdz1", "vfat", "8:17"}; }

  void PlugIn() {
    platform_->Mounts.push_back(IpodMount());
    platform_->RemovableMountPoints.insert(ipod_.toStdString());
  }

  // Worker file operations wait while the gate is closed. The gate opens
  // again when the returned guard goes, so that a failed check does not
  // leave the window waiting for a blocked worker: declare it after the window.
  struct TGateGuard {
    std::atomic<bool>& Open;
    ~TGateGuard() { Open = true; }
  };
  [[nodiscard]] TGateGuard CloseGate() {
    gate_open_ = false;
    platform_->BeforeFileOp = [this](const std::string&, const std::string&) {
      if (std::this_thread::get_id() == gui_thread_) return;
      while (!gate_open_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    return TGateGuard{gate_open_};
  }

  QTreeWidgetItem* Node(TIpodPhotoFrm& frm, const QString& text) {
    const auto found = frm.AlbumLstList->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }

  void SelectNode(TIpodPhotoFrm& frm, const QString& text) {
    QTreeWidgetItem* node = Node(frm, text);
    QVERIFY(node != nullptr);
    frm.AlbumLstList->setCurrentItem(node);
  }

  QString Destination() { return QString::fromStdString(*dir_ / "out"); }

  void WaitForTransferEnd(TIpodPhotoFrm& frm) {
    QTRY_VERIFY_WITH_TIMEOUT(!frm.Transferring && !frm.CopyThreadAlive(), 30000);
  }

  // Reads the log window's text when it opens, then closes it.
  QString LogWindowText(TIpodPhotoFrm& frm) {
    QString text;
    QTimer::singleShot(0, &frm, [&text] {
      auto* log = dynamic_cast<TIpodLogFrm*>(QApplication::activeModalWidget());
      if (log == nullptr) return;
      text = log->LogMem->toPlainText();
      log->reject();
    });
    frm.DetailLbClick();
    return text;
  }

private Q_SLOTS:
  void initTestCase() {
    gui_thread_ = std::this_thread::get_id();
  }

  void init() {
    dir_ = std::make_unique<testing::TTempDir>();
    platform_ = std::make_unique<testing::TFakePlatform>();
    platform_->Pictures = *dir_ / "Pictures/";
    ipod_ = QString::fromStdString(*dir_ / "ipod");
    static const TLibrarySpec desc = Library();
    testing::WriteIpod(desc, ipod_.toStdString());
    boxes_ = TFakeBoxes();
    shell_ = TFakeShell();
    gate_open_ = true;
  }

  void cleanup() {
    gate_open_ = true;
    platform_.reset();
    dir_.reset();
  }

  void StartWithNoDevice() {
    auto frm = Open(false);
    QVERIFY(frm->ErrPnl->isVisible());
    QCOMPARE(frm->ErrLb->text(), QStringLiteral("No device found"));
    QCOMPARE(frm->Gdlb->text(), QStringLiteral("Please connect iPod, iPhone or iPad to the computer"));
    QCOMPARE(frm->Caplb->text(), QStringLiteral("Quillmere Photo 5.3"));
    QCOMPARE(frm->CapShLb->text(), frm->Caplb->text());
    QCOMPARE(frm->IphoneErrLb->isVisible(), frm->Device()->IosUnavailable);
    QVERIFY(!frm->AlbumLstList->isEnabled());
    QVERIFY(!frm->CheckBtn->isEnabled());
    QVERIFY(!frm->ExportBtn->isEnabled());
    QCOMPARE(frm->AlbumLstList->topLevelItemCount(), 0);
    // Centred: (557 - 328) div 2 and (800 - 492) div 2.
    QCOMPARE(frm->ErrPnl->pos(), QPoint(154, 114));
    QVERIFY(frm->mask().contains(QPoint(400, 0)));
    QVERIFY(!frm->mask().contains(QPoint(0, 0)));
    // The menu button does nothing without albums.
    frm->CheckBtnClick();
    QVERIFY(!frm->SongPop->isVisible());
    frm->close();
    QVERIFY(boxes_.Shown.empty());  // no device: no eject question
  }

  void DeviceArrivesAndIsLost() {
    auto frm = Open(false);
    PlugIn();
    frm->MountTableChanged();
    QVERIFY(!frm->ErrPnl->isVisible());
    QVERIFY(frm->AlbumLstList->isEnabled());
    QTreeWidgetItem* all = frm->AlbumLstList->topLevelItem(0);
    QCOMPARE(all->text(0), QStringLiteral("All Pictures"));
    QCOMPARE(all->childCount(), 4);
    QCOMPARE(all->child(1)->text(0), QStringLiteral("Empty"));
    QCOMPARE(frm->AlbumLstList->topLevelItem(1)->text(0), QStringLiteral("Camera Photos"));
    QCOMPARE(frm->AlbumLstList->currentItem(), all);
    QVERIFY(all->isExpanded());
    QCOMPARE(frm->CellArea().CellCount(), 100);
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("100 photos  ( Total 103 photos )"));

    platform_->Mounts.clear();
    frm->MountTableChanged();
    QVERIFY(frm->ErrPnl->isVisible());
    QCOMPARE(frm->ErrLb->text(), QStringLiteral("No device found"));
    QCOMPARE(frm->Gdlb->text(),
             QStringLiteral("1. Disconnect your iPod from computer first\n\n2. Then, re-connect iPod to the computer"));
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("Lost connection with iPod, operation abort."));
    QCOMPARE(frm->AlbumLstList->topLevelItemCount(), 0);
    QVERIFY(!frm->AlbumLstList->isEnabled());

    // And back again: a new library, the first page.
    PlugIn();
    frm->MountTableChanged();
    QVERIFY(!frm->ErrPnl->isVisible());
    QCOMPARE(frm->CellArea().CellCount(), 100);
  }

  void DeviceAttachedBeforeStartLoadsAtOnce() {
    PlugIn();
    auto frm = Open(false);
    QVERIFY(!frm->ErrPnl->isVisible());
    QCOMPARE(frm->MaxPage->text(), QStringLiteral("2"));
    frm->close();
    // The eject question of a disk-mode iPod; Yes ejects it.
    QCOMPARE(boxes_.Shown.size(), std::size_t{1});
    QVERIFY(boxes_.Shown[0].Text.startsWith(QStringLiteral("Do you want to eject your iPod now?\r")));
    QCOMPARE(platform_->UnmountCalls, 0);

    boxes_.Shown.clear();
    boxes_.ConfirmAnswer = true;
    auto again = Open(false);
    again->close();
    QCOMPARE(boxes_.Shown.size(), std::size_t{1});
    QCOMPARE(platform_->UnmountCalls, 1);
  }

  void IosDeviceGetsNoEjectQuestion() {
    auto frm = Open(false);
    frm->Device()->IosConnectionChanged(true);
    // The helper of this build reads nothing: the empty library's message.
    QCOMPARE(boxes_.Last(), QStringLiteral("error:Cannot find photos in this iPod"));
    QVERIFY(!frm->ErrPnl->isVisible());
    boxes_.Shown.clear();
    frm->close();
    QVERIFY(boxes_.Shown.empty());
  }

  void PagesOfAlbums() {
    auto frm = Open(true);
    // All photos: 101 = one full page and one more.
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("1"));
    QCOMPARE(frm->MaxPage->text(), QStringLiteral("2"));
    QVERIFY(frm->NxtBtn->isVisible());
    QVERIFY(!frm->PrvBtn->isVisible());
    frm->NxtBtnClick();
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("2"));
    QCOMPARE(frm->CellArea().CellCount(), 1);
    QVERIFY(!frm->NxtBtn->isVisible());
    QVERIFY(frm->PrvBtn->isVisible());
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("1 photos  ( Total 103 photos )"));
    QVERIFY(!frm->Readlb->isVisible());
    QVERIFY(frm->AlbumLstList->isEnabled());
    frm->PrvBtnClick();
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("1"));
    QVERIFY(!frm->PrvBtn->isVisible());
    QVERIFY(frm->NxtBtn->isVisible());
    QCOMPARE(frm->CellArea().CellCount(), 100);

    // Exactly one page.
    SelectNode(*frm, QStringLiteral("One page"));
    QCOMPARE(frm->MaxPage->text(), QStringLiteral("1"));
    QVERIFY(!frm->NxtBtn->isVisible());
    QCOMPARE(frm->CellArea().CellCount(), 100);

    // No photos.
    SelectNode(*frm, QStringLiteral("Empty"));
    QCOMPARE(frm->MaxPage->text(), QStringLiteral("0"));
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("1"));
    QVERIFY(!frm->NxtBtn->isVisible());
    QVERIFY(!frm->PrvBtn->isVisible());
    QCOMPARE(frm->CellArea().CellCount(), 0);
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("0 photos  ( Total 103 photos )"));
    // The menu's operations do nothing on an empty page.
    frm->ApplyToAlbum(TSelectOp::SelectAll, 0);
    QCOMPARE(frm->Db()->Photos.SelectedCount, 0);

    // The camera files, found by their icon.
    SelectNode(*frm, QStringLiteral("Camera Photos"));
    QVERIFY(frm->SelectedNodeIsCamera());
    QCOMPARE(frm->CellArea().CellCount(), 2);
    QCOMPARE(frm->MaxPage->text(), QStringLiteral("1"));
  }

  void SelectionByClickMenuAndInvert() {
    auto frm = Open(true);
    TQtCellArea& area = frm->CellArea();
    QTest::mouseClick(area.Cell(0), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(area.Cell(0)->Selected());
    QVERIFY(frm->Db()->Photos.Items(0).Selected);
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("100 photos  ( Selected 1 photos / Total 103 photos )"));

    // A selection made on page 1 is shown again after paging.
    frm->NxtBtnClick();
    frm->PrvBtnClick();
    QVERIFY(frm->CellArea().Cell(0)->Selected());

    // Invert from page 2 reaches the photos of page 1.
    frm->NxtBtnClick();
    frm->InvertMnuClick();
    QVERIFY(frm->CellArea().Cell(0)->Selected());
    QCOMPARE(frm->Db()->Photos.SelectedCount, 100);
    QVERIFY(!frm->Db()->Photos.Items(0).Selected);
    frm->PrvBtnClick();
    QVERIFY(!frm->CellArea().Cell(0)->Selected());
    QVERIFY(frm->CellArea().Cell(1)->Selected());
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("100 photos  ( Selected 100 photos / Total 103 photos )"));

    frm->UnAllMnuClick();
    QCOMPARE(frm->Db()->Photos.SelectedCount, 0);
    frm->AllMnuClick();
    QCOMPARE(frm->Db()->Photos.SelectedCount, 101);

    // Camera files have their own selection.
    SelectNode(*frm, QStringLiteral("Camera Photos"));
    frm->AllMnuClick();
    QCOMPARE(frm->Db()->CamPhotos->SelectedCount, 2);
    QVERIFY(frm->CellArea().Cell(1)->Selected());
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("2 photos  ( Selected 103 photos / Total 103 photos )"));
  }

  void MenuCaptionsCutLongNames() {
    auto frm = Open(true);
    frm->CheckBtnClick();
    QVERIFY(frm->SongPop->isVisible());
    QCOMPARE(frm->SongPop->pos(), frm->CheckBtn->mapToGlobal(QPoint(0, frm->CheckBtn->height())));
    QCOMPARE(frm->AllMnu->text(), QStringLiteral("Select all in \"All Pictures\""));
    frm->SongPop->hide();

    SelectNode(*frm, kSixteen);
    frm->CheckBtnClick();
    QCOMPARE(frm->AllMnu->text(), QStringLiteral("Select all in \"Sixteen chars ab\""));
    QCOMPARE(frm->UnAllMnu->text(), QStringLiteral("Unselect all in \"Sixteen chars ab\""));
    QCOMPARE(frm->InvertMnu->text(), QStringLiteral("Invert in \"Sixteen chars ab\""));
    frm->SongPop->hide();

    SelectNode(*frm, kSeventeen);
    frm->CheckBtnClick();
    QCOMPARE(frm->AllMnu->text(), QStringLiteral("Select all in \"Seventeen chars ..\""));
    frm->SongPop->hide();
    // The album's own photo only, not the whole library.
    frm->AllMnuClick();
    QCOMPARE(frm->Db()->Photos.SelectedCount, 1);
    QVERIFY(frm->Db()->Photos.Items(1).Selected);
  }

  void EveryCheckOfStartTransfer() {
    auto frm = Open(true);
    // An empty page, although photos of another album are selected.
    frm->Db()->Photos.Select(3);
    SelectNode(*frm, QStringLiteral("Empty"));
    frm->StartTransfer();
    QCOMPARE(boxes_.Last(), QStringLiteral("warning:Nothing to transfer."));
    frm->Db()->Photos.Unselect(3);

    SelectNode(*frm, QStringLiteral("All Pictures"));
    frm->StartTransfer();
    QCOMPARE(boxes_.Last(), QStringLiteral("information:No photo has been selected to transfer."));

    frm->Db()->Photos.Select(0);
    frm->DestEdt->setText(QStringLiteral("   "));
    frm->StartTransfer();
    QCOMPARE(shell_.Chooses, 1);
    QCOMPARE(boxes_.Shown.size(), std::size_t{4});
    QCOMPARE(boxes_.Shown[2].Text, QStringLiteral("Please choose a traget folder to save the photo files."));
    QCOMPARE(boxes_.Last(),
             QStringLiteral("warning:You need to choose a folder in your PC to save the transferred photos."));
    QCOMPARE(frm->DestEdt->text(), QString());
    QVERIFY(!frm->Transferring);
    QVERIFY(!frm->CopyPnl->isVisible());

    // A folder on the iPod itself is refused with the check's own message.
    frm->DestEdt->setText(ipod_ + QStringLiteral("/out"));
    frm->StartTransfer();
    QCOMPARE(boxes_.Shown.size(), std::size_t{5});
    QCOMPARE(boxes_.Shown.back().Kind, QStringLiteral("warning"));
    QVERIFY(!boxes_.Shown.back().Text.isEmpty());
    QVERIFY(!frm->Transferring);

    // The folder browser's answer is taken and the transfer runs.
    frm->DestEdt->clear();
    shell_.Folder = Destination();
    frm->StartTransfer();
    QCOMPARE(frm->DestEdt->text(), Destination());
    QVERIFY(frm->CopyPnl->isVisible());
    QVERIFY(!frm->AlbumLstList->isEnabled());
    WaitForTransferEnd(*frm);
    QVERIFY(QFile::exists(Destination() + QStringLiteral("/500.jpg")));
    QCOMPARE(frm->PgLb->text(), QStringLiteral("Done."));
    QCOMPARE(frm->CopyPrgs->value(), frm->CopyPrgs->maximum());
    QCOMPARE(frm->CopyPrgs->maximum(), 1);
    QVERIFY(frm->DetailLb->isVisible());
    QVERIFY(!frm->WorkShp->isVisible());
    QVERIFY(!frm->WorkShp->Animating());
    QCOMPARE(frm->CancelBtn->Caption(), QStringLiteral("Done"));
    QVERIFY(frm->CancelBtn->isEnabled());
    QVERIFY(frm->TransferLog.startsWith(QStringLiteral("Quillmere Photo 5.3\r\n[iPod]\r\n")));

    // "Done" opens the folder and closes the overlay.
    frm->CancelBtnClick();
    QCOMPARE(shell_.Opened.size(), std::size_t{1});
    QCOMPARE(shell_.Opened[0], QUrl::fromLocalFile(Destination()));
    QVERIFY(!frm->CopyPnl->isVisible());
    QVERIFY(frm->AlbumLstList->isEnabled());
  }

  void LogWindowShowsTheSameTextTwice() {
    auto frm = Open(true);
    frm->Db()->Photos.Select(0);
    frm->Db()->Photos.Select(1);
    frm->DestEdt->setText(Destination());
    frm->StartTransfer();
    WaitForTransferEnd(*frm);
    const QString first = LogWindowText(*frm);
    const QString second = LogWindowText(*frm);
    QVERIFY(first.startsWith(QStringLiteral("Please include this log when contacting us.\nQuillmere Photo 5.3\n[iPod]\n")));
    QVERIFY(first.size() > 70);  // the transfer's own lines follow
    QCOMPARE(second, first);

    // Its help button opens the topic on fixes, when the page is there.
    std::filesystem::create_directories(*dir_ / "help");
    testing::WriteFile(*dir_ / "help/fix.html", {'<', 'p', '>'});
    QTimer::singleShot(0, frm.get(), [] {
      if (auto* log = dynamic_cast<TIpodLogFrm*>(QApplication::activeModalWidget())) {
        log->HelpBtn->click();
        log->CloseBtn->click();
      }
    });
    frm->DetailLbClick();
    QCOMPARE(shell_.Opened.size(), std::size_t{1});
    QVERIFY(shell_.Opened[0].toLocalFile().endsWith(QStringLiteral("help/fix.html")));
  }

  void CancelGreysTheButtonUntilTheThreadEnds() {
    auto frm = Open(true);
    for (std::size_t i = 0; i < 5; ++i) frm->Db()->Photos.Select(i);
    frm->DestEdt->setText(Destination());
    const auto gate = CloseGate();
    frm->StartTransfer();
    QVERIFY(frm->Transferring);
    QVERIFY(frm->WorkShp->Animating());
    QCOMPARE(frm->CancelBtn->Caption(), QStringLiteral("Cancel"));
    frm->CancelBtnClick();
    QVERIFY(!frm->CancelBtn->isEnabled());
    QVERIFY(!frm->Transferring);
    QVERIFY(frm->CopyThreadAlive());
    QCOMPARE(frm->CancelBtn->Caption(), QStringLiteral("Cancel"));
    QTest::qWait(50);
    QVERIFY(!frm->CancelBtn->isEnabled());  // still grey while the thread runs
    gate_open_ = true;
    QTRY_COMPARE_WITH_TIMEOUT(frm->CancelBtn->Caption(), QStringLiteral("Done"), 30000);
    QVERIFY(frm->CancelBtn->isEnabled());
    QCOMPARE(frm->PgLb->text(), QStringLiteral("Done."));
    WaitForTransferEnd(*frm);
    QVERIFY(QDir(Destination()).entryList(QDir::Files).size() < 5);
  }

  void CloseIsRefusedDuringATransfer() {
    auto frm = Open(true);
    frm->Db()->Photos.Select(0);
    frm->DestEdt->setText(Destination());
    const auto gate = CloseGate();
    frm->StartTransfer();
    QVERIFY(!frm->close());
    QCOMPARE(boxes_.Last(), QStringLiteral("warning:Transfer is in progress.\rPlease cancel the transfer before "
                                           "closing the program."));
    QVERIFY(frm->Device() != nullptr);
    gate_open_ = true;
    WaitForTransferEnd(*frm);
    QVERIFY(frm->close());
    QVERIFY(frm->Device() == nullptr);
  }

  void ClosingAfterCancelWaitsForTheThread() {
    auto frm = Open(true);
    frm->Db()->Photos.Select(0);
    frm->DestEdt->setText(Destination());
    const auto gate = CloseGate();
    frm->StartTransfer();
    frm->CancelBtnClick();
    QTimer::singleShot(50, [this] { gate_open_ = true; });
    QVERIFY(frm->close());  // waits for the thread before the library goes
    QVERIFY(!frm->CopyThreadAlive());
    QCOMPARE(frm->PgLb->text(), QStringLiteral("Done."));
  }

  void DeviceLostDuringATransfer() {
    PlugIn();
    auto frm = Open(false);
    for (std::size_t i = 0; i < 20; ++i) frm->Db()->Photos.Select(i);
    frm->DestEdt->setText(Destination());
    const auto gate = CloseGate();
    frm->StartTransfer();
    QVERIFY(frm->Transferring);
    platform_->Mounts.clear();
    QTimer::singleShot(50, [this] { gate_open_ = true; });
    frm->MountTableChanged();
    // The thread has ended and its end was shown before the overlay came back.
    QVERIFY(!frm->Transferring);
    QVERIFY(!frm->CopyThreadAlive());
    QCOMPARE(frm->CancelBtn->Caption(), QStringLiteral("Done"));
    QCOMPARE(frm->PgLb->text(), QStringLiteral("Done."));
    QVERIFY(frm->ErrPnl->isVisible());
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("Lost connection with iPod, operation abort."));
    QCOMPARE(frm->AlbumLstList->topLevelItemCount(), 0);
    QVERIFY(frm->close());
  }

  void CloseDuringAPageBuildWaitsForThePage() {
    auto frm = Open(true);
    TIpodPhotoDb* db = frm->Db();
    const auto progress = db->OnPageProgress;
    bool asked = false;
    db->OnPageProgress = [&](std::int32_t count) {
      progress(count);
      if (count == 1 && !asked) {
        asked = true;
        QVERIFY(!frm->close());  // held until the page is built
      }
    };
    frm->NxtBtnClick();
    QVERIFY(asked);
    QCOMPARE(frm->ShownCount, QStringLiteral("1"));
    QTRY_VERIFY(frm->Device() == nullptr);  // then the close goes on
  }

  void SettingsAreWrittenAndReadBack() {
    const QString file = QString::fromStdString(*dir_ / "settings.ini");
    {
      auto frm = Open(false);
      // Nothing stored yet: the default folder.
      QCOMPARE(frm->DestEdt->text(), QString::fromStdString(*dir_ / "Pictures/iPod Photos/"));
      frm->DestEdt->setText(QStringLiteral("  /chosen/folder "));
      frm->close();
    }
    QCOMPARE(QSettings(file, QSettings::IniFormat).value(QStringLiteral("POutpath")).toString(),
             QStringLiteral("  /chosen/folder "));
    {
      auto frm = Open(false);
      QCOMPARE(frm->DestEdt->text(), QStringLiteral("/chosen/folder"));
      frm->close();
    }
    {
      QSettings settings(file, QSettings::IniFormat);
      settings.setValue(QStringLiteral("POutpath"), QStringLiteral("  "));
      settings.setValue(QStringLiteral("Outpath"), QStringLiteral("/older/folder"));
    }
    auto frm = Open(false);
    QCOMPARE(frm->DestEdt->text(), QStringLiteral("/older/folder"));
    frm->DefaultBtnClick();
    QCOMPARE(frm->DestEdt->text(), QString::fromStdString(*dir_ / "Pictures/iPod Photos/"));
  }

  void HelpAndLinksOpenTheBundledPages() {
    auto frm = Open(false);
    frm->HlpLbClick();
    frm->WebLbClick();
    QVERIFY(shell_.Opened.empty());  // no pages beside the program
    std::filesystem::create_directories(*dir_ / "help");
    for (const char* page : {"quillguide.html", "fix.html", "about.html"}) {
      testing::WriteFile(*dir_ / (std::string("help/") + page), {'<', 'p', '>'});
    }
    frm->HlpLbClick();
    frm->WebLbClick();
    frm->IphoneErrLbClick();
    QCOMPARE(shell_.Opened.size(), std::size_t{3});
    QVERIFY(shell_.Opened[0].toLocalFile().endsWith(QStringLiteral("help/quillguide.html")));
    QVERIFY(shell_.Opened[1].toLocalFile().endsWith(QStringLiteral("help/about.html")));
    QCOMPARE(shell_.Opened[2].fragment(), QStringLiteral("ios"));
  }

  void TransferDropDownOpensBelowItsButton() {
    auto frm = Open(true);
    frm->ExportBtnClick();
    QVERIFY(frm->GoPnl->isVisible());
    QCOMPARE(frm->GoPnl->pos(), QPoint(288, 51));
    frm->ExportBtnClick();
    QVERIFY(!frm->GoPnl->isVisible());
    frm->ExportBtnClick();
    frm->CheckBtnClick();  // the selection menu hides it
    QVERIFY(!frm->GoPnl->isVisible());
    frm->SongPop->hide();
  }

  void StopButtonMessage() {
    auto frm = Open(false);
    frm->StopBtnClick();
    QCOMPARE(boxes_.Last(), QStringLiteral("information:Done.\rIt is safe to connect your iPod to computer now."));
  }
};

}  // namespace quill

QTEST_MAIN(quill::IpodPhotoFrmTest)
#include "ipod_photo_frm_test.moc"
