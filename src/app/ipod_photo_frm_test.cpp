#include <QAbstractButton>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QSplitterHandle>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "app/ipod_photo_frm.h"
#include "support/heic_jpeg.h"
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

  // A left click as the window system delivers it: to the window, at the
  // control's point, so that the toolkit's own hit-testing picks the target.
  static void Click(TIpodPhotoFrm& frm, QWidget* control, QPoint at = QPoint(-1, -1)) {
    if (at.x() < 0) at = control->rect().center();
    QTest::mouseClick(frm.windowHandle(), Qt::LeftButton, {}, control->mapTo(&frm, at));
  }

  // Points of the control's face (every second pixel, inside its shape)
  // where the toolkit's hit-testing finds something else.
  static int Misses(TIpodPhotoFrm& frm, QWidget* control) {
    const QRegion face = control->mask().isEmpty() ? QRegion(control->rect()) : control->mask();
    int misses = 0;
    for (int y = 0; y < control->height(); y += 2) {
      for (int x = 0; x < control->width(); x += 2) {
        if (!face.contains(QPoint(x, y))) continue;
        QWidget* hit = frm.childAt(control->mapTo(&frm, QPoint(x, y)));
        if (hit != control && !control->isAncestorOf(hit)) ++misses;
      }
    }
    return misses;
  }

  // Whether the menu popped up; it is closed again.
  static bool Shown(QMenu* menu) {
    const bool shown = menu->isVisible();
    menu->hide();
    return shown;
  }

  void WriteHelpPages() {
    std::filesystem::create_directories(*dir_ / "help");
    for (const char* page : {"quillguide.html", "fix.html", "about.html"}) {
      testing::WriteFile(*dir_ / (std::string("help/") + page), {'<', 'p', '>'});
    }
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
    Click(frm, frm.DetailLb);
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
    Click(*frm, frm->CheckBtn);
    QVERIFY(!frm->SongPop->isVisible());
    // The stripe along the panel's bottom, inside its border: edge, fill.
    const QImage panel = frm->ErrPnl->grab().toImage();
    QCOMPARE(QColor(panel.pixel(245, 323)), QColor(0xDD, 0xDD, 0xDD));
    QCOMPARE(QColor(panel.pixel(245, 324)), QColor(0xD1, 0xD1, 0xD1));
    QCOMPARE(QColor(panel.pixel(245, 325)), QColor(0xD1, 0xD1, 0xD1));
    QCOMPARE(QColor(panel.pixel(1, 324)), QColor(0xDD, 0xDD, 0xDD));
    // The overlay's own buttons answer.
    std::filesystem::create_directories(*dir_ / "help");
    testing::WriteFile(*dir_ / "help/quillguide.html", {'<', 'p', '>'});
    Click(*frm, frm->HelpBtn);
    QCOMPARE(shell_.Opened.size(), std::size_t{1});
    Click(*frm, frm->StopBtn);
    QCOMPARE(boxes_.Last(), QStringLiteral("information:Done.\rIt is safe to connect your iPod to computer now."));
    boxes_.Shown.clear();
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
    Click(*frm, frm->CloseBtn);
    QVERIFY(frm->Device() == nullptr);
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
    Click(*frm, frm->NxtBtn);
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("2"));
    QCOMPARE(frm->CellArea().CellCount(), 1);
    QVERIFY(!frm->NxtBtn->isVisible());
    QVERIFY(frm->PrvBtn->isVisible());
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("1 photos  ( Total 103 photos )"));
    QVERIFY(!frm->Readlb->isVisible());
    QVERIFY(frm->AlbumLstList->isEnabled());
    Click(*frm, frm->PrvBtn);
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
    Click(*frm, area.Cell(0), QPoint(5, 5));
    QVERIFY(area.Cell(0)->Selected());
    QVERIFY(frm->Db()->Photos.Items(0).Selected);
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("100 photos  ( Selected 1 photos / Total 103 photos )"));

    // A selection made on page 1 is shown again after paging.
    Click(*frm, frm->NxtBtn);
    Click(*frm, frm->PrvBtn);
    QVERIFY(frm->CellArea().Cell(0)->Selected());

    // Invert from page 2 reaches the photos of page 1.
    Click(*frm, frm->NxtBtn);
    frm->InvertMnuClick();
    QVERIFY(frm->CellArea().Cell(0)->Selected());
    QCOMPARE(frm->Db()->Photos.SelectedCount, 100);
    QVERIFY(!frm->Db()->Photos.Items(0).Selected);
    Click(*frm, frm->PrvBtn);
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
    Click(*frm, frm->CheckBtn);
    QVERIFY(frm->SongPop->isVisible());
    QCOMPARE(frm->SongPop->pos(), frm->CheckBtn->mapToGlobal(QPoint(0, frm->CheckBtn->height())));
    QCOMPARE(frm->AllMnu->text(), QStringLiteral("Select all in \"All Pictures\""));
    frm->SongPop->hide();

    SelectNode(*frm, kSixteen);
    Click(*frm, frm->CheckBtn);
    QCOMPARE(frm->AllMnu->text(), QStringLiteral("Select all in \"Sixteen chars ab\""));
    QCOMPARE(frm->UnAllMnu->text(), QStringLiteral("Unselect all in \"Sixteen chars ab\""));
    QCOMPARE(frm->InvertMnu->text(), QStringLiteral("Invert in \"Sixteen chars ab\""));
    frm->SongPop->hide();

    SelectNode(*frm, kSeventeen);
    Click(*frm, frm->CheckBtn);
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
    Click(*frm, frm->CancelBtn);
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
    Click(*frm, frm->DetailLb);
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
    Click(*frm, frm->CancelBtn);
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
    Click(*frm, frm->CancelBtn);
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
    // "Done" sticks out of the error panel: it closes the progress panel,
    // but nothing of the old library comes back and no transfer can start.
    Click(*frm, frm->CancelBtn);
    QVERIFY(!frm->CopyPnl->isVisible());
    QVERIFY(frm->ErrPnl->isVisible());
    for (QWidget* control : {static_cast<QWidget*>(frm->AlbumLstList), static_cast<QWidget*>(frm->PhotoList),
                             static_cast<QWidget*>(frm->CheckBtn), static_cast<QWidget*>(frm->ExportBtn)}) {
      QVERIFY(!control->isEnabled());
    }
    Click(*frm, frm->ExportBtn);
    QVERIFY(!frm->GoPnl->isVisible());
    QVERIFY(!frm->Transferring);
    // The iPod back: browsing again.
    PlugIn();
    frm->MountTableChanged();
    QVERIFY(!frm->ErrPnl->isVisible());
    QVERIFY(frm->AlbumLstList->isEnabled());
    QVERIFY(frm->close());
  }

  // Found by the soak: the selection menu, left open when the iPod went,
  // selected the old library's photos and enabled its cells again under
  // "No device found".
  void SelectionMenuLeftOpenOverALoss() {
    PlugIn();
    auto frm = Open(false);
    for (const bool rightClick : {false, true}) {
      if (rightClick) {
        PlugIn();
        frm->MountTableChanged();
        QTest::mouseClick(frm->windowHandle(), Qt::RightButton, {},
                          frm->PhotoList->viewport()->mapTo(frm.get(), QPoint(300, 300)));
      } else {
        Click(*frm, frm->CheckBtn);
      }
      QVERIFY(frm->SongPop->isVisible());
      platform_->Mounts.clear();
      frm->MountTableChanged();
      QVERIFY(frm->ErrPnl->isVisible());
      QTest::mouseClick(frm->SongPop->windowHandle(), Qt::LeftButton, {},
                        frm->SongPop->actionGeometry(frm->AllMnu).center());
      QCOMPARE(frm->Db()->Photos.SelectedCount, 0);
      QVERIFY(!frm->PhotoList->isEnabled());
      QCOMPARE(frm->StatusLb->text(), QStringLiteral("Lost connection with iPod, operation abort."));
      frm->SongPop->hide();
    }
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
    Click(*frm, frm->NxtBtn);
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

  // The choice of the "More ..." menu, made with clicks, holds for the next run.
  void HeicChoiceOfTheMoreMenuIsRemembered() {
    const QString file = QString::fromStdString(*dir_ / "settings.ini");
    {
      auto frm = Open(true);
      QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
      QCOMPARE(frm->HeicChoice(), THeicJpeg::No);
      frm->DestEdt->setText(QStringLiteral("/chosen/folder"));
      Click(*frm, frm->ExportBtn);
      Click(*frm, frm->AdBtn);
      QTRY_VERIFY(frm->AdPop->isVisible());
      if (!HeicConversionAvailable()) {
        QVERIFY(!frm->HeicMnu->isEnabled());
        QVERIFY(frm->HeicMnu->title().contains(QStringLiteral("not available in this build")));
        frm->AdPop->hide();
        return;
      }
      QTest::mouseClick(frm->AdPop, Qt::LeftButton, {},
                        frm->AdPop->actionGeometry(frm->HeicMnu->menuAction()).center());
      QTRY_VERIFY(frm->HeicMnu->isVisible());
      QTest::mouseClick(frm->HeicMnu, Qt::LeftButton, {},
                        frm->HeicMnu->actionGeometry(frm->HeicInsteadMnu).center());
      QVERIFY(frm->HeicInsteadMnu->isChecked());
      QVERIFY(!frm->HeicNoMnu->isChecked());
      frm->close();
    }
    QCOMPARE(QSettings(file, QSettings::IniFormat).value(QStringLiteral("HeicJpeg")).toString(),
             QStringLiteral("instead"));
    auto frm = Open(false);
    QVERIFY(frm->HeicInsteadMnu->isChecked());
    QCOMPARE(frm->HeicChoice(), THeicJpeg::Instead);
  }

  void HelpAndLinksOpenTheBundledPages() {
    auto frm = Open(false);
    Click(*frm, frm->HlpLb);
    Click(*frm, frm->WebLb);
    QVERIFY(shell_.Opened.empty());  // no pages beside the program
    std::filesystem::create_directories(*dir_ / "help");
    for (const char* page : {"quillguide.html", "fix.html", "about.html"}) {
      testing::WriteFile(*dir_ / (std::string("help/") + page), {'<', 'p', '>'});
    }
    Click(*frm, frm->HlpLb);
    Click(*frm, frm->WebLb);
    frm->IphoneErrLb->show();
    Click(*frm, frm->IphoneErrLb);
    QCOMPARE(shell_.Opened.size(), std::size_t{3});
    QVERIFY(shell_.Opened[0].toLocalFile().endsWith(QStringLiteral("help/quillguide.html")));
    QVERIFY(shell_.Opened[1].toLocalFile().endsWith(QStringLiteral("help/about.html")));
    QCOMPARE(shell_.Opened[2].fragment(), QStringLiteral("ios"));
  }

  void TransferDropDownOpensBelowItsButton() {
    auto frm = Open(true);
    Click(*frm, frm->ExportBtn);
    QVERIFY(frm->GoPnl->isVisible());
    QCOMPARE(frm->GoPnl->pos(), QPoint(288, 51));
    Click(*frm, frm->ExportBtn);
    QVERIFY(!frm->GoPnl->isVisible());
    Click(*frm, frm->ExportBtn);
    Click(*frm, frm->CheckBtn);  // the selection menu hides it
    QVERIFY(!frm->GoPnl->isVisible());
    frm->SongPop->hide();
  }

  // Each button and link, in the order a user meets them: its whole face
  // takes the pointer (nothing lies over it), and a click does its work.
  void EveryButtonAndLinkAnswersOverItsWholeFace() {
    WriteHelpPages();
    auto frm = Open(true);
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    frm->DestEdt->clear();
    struct TCase {
      const char* Name;
      std::function<QWidget*()> Control;  // asked when its turn comes: pages are rebuilt
      std::function<bool()> Answered;
    };
    TIpodPhotoFrm& w = *frm;
    const auto opened = [this](const char* page) {
      return !shell_.Opened.empty() && shell_.Opened.back().toLocalFile().endsWith(QLatin1String(page));
    };
    const TCase cases[] = {
        {"NxtBtn", [&] { return w.NxtBtn; }, [&] { return w.SelectPage->text() == QStringLiteral("2"); }},
        {"PrvBtn", [&] { return w.PrvBtn; }, [&] { return w.SelectPage->text() == QStringLiteral("1"); }},
        {"CheckBtn", [&] { return w.CheckBtn; }, [&] { return Shown(w.SongPop); }},
        {"WebLb", [&] { return w.WebLb; }, [&] { return opened("help/about.html"); }},
        {"HlpLb", [&] { return w.HlpLb; }, [&] { return opened("help/quillguide.html"); }},
        {"ExportBtn", [&] { return w.ExportBtn; }, [&] { return w.GoPnl->isVisible(); }},
        {"DefaultBtn", [&] { return w.DefaultBtn; }, [&] { return !w.DestEdt->text().isEmpty(); }},
        {"BrowseBtn", [&] { return w.BrowseBtn; }, [&] { return shell_.Chooses == 1; }},
        {"AdBtn", [&] { return w.AdBtn; }, [&] { return Shown(w.AdPop); }},
        {"ToPcBtn", [&] { return w.ToPcBtn; },
         [&] { return boxes_.Last() == QStringLiteral("information:No photo has been selected to transfer."); }},
        {"cell", [&] { return static_cast<QWidget*>(w.CellArea().Cell(3)); }, [&] { return w.Db()->Photos.SelectedCount == 1; }},
        {"CloseBtn", [&] { return w.CloseBtn; }, [&] { return w.Device() == nullptr; }},
    };
    for (const TCase& c : cases) {
      QWidget* control = c.Control();
      QVERIFY2(control != nullptr && control->isVisible(), c.Name);
      QCOMPARE(Misses(w, control), 0);
      Click(w, control);
      QVERIFY2(c.Answered(), c.Name);
    }
  }

  // A removal waits for the transfer thread; "Cancel" and the close button
  // clicked meanwhile must neither crash nor ask to eject the iPod that is
  // gone: the close runs once the wait and the loss are over.
  void RemovalDuringATransferThenCancelAndClose() {
    PlugIn();
    auto frm = Open(false);
    for (std::size_t i = 0; i < 20; ++i) frm->Db()->Photos.Select(i);
    frm->DestEdt->setText(Destination());
    const auto gate = CloseGate();
    Click(*frm, frm->ExportBtn);
    Click(*frm, frm->ToPcBtn);
    QVERIFY(frm->Transferring);
    platform_->Mounts.clear();
    bool clicked = false;
    QTimer::singleShot(20, frm.get(), [&] {
      Click(*frm, frm->CancelBtn);
      Click(*frm, frm->CloseBtn);
      clicked = true;
      gate_open_ = true;
    });
    frm->MountTableChanged();
    QVERIFY(clicked);
    QTRY_VERIFY(frm->Device() == nullptr);
    QVERIFY(!frm->isVisible());
    for (const TFakeBoxes::TShown& shown : boxes_.Shown) QVERIFY2(shown.Kind != QStringLiteral("confirm"), qPrintable(shown.Text));
  }

  // A second report of a connection, with no loss between: the tree, the
  // page and the status are those of the new library alone.
  void ASecondConnectionStartsFromAnEmptyTree() {
    auto frm = Open(true);
    Click(*frm, frm->NxtBtn);
    Click(*frm, frm->CellArea().Cell(0));
    std::string error;
    QVERIFY(frm->Device()->UseFolder(ipod_.toStdString(), error));
    QCOMPARE(frm->AlbumLstList->topLevelItemCount(), 2);
    QCOMPARE(frm->AlbumLstList->currentItem(), frm->AlbumLstList->topLevelItem(0));
    QCOMPARE(frm->SelectPage->text(), QStringLiteral("1"));
    QVERIFY(!frm->PrvBtn->isVisible());
    QVERIFY(frm->NxtBtn->isVisible());
    QCOMPARE(frm->CellArea().CellCount(), 100);
    QCOMPARE(frm->StatusLb->text(), QStringLiteral("100 photos  ( Total 103 photos )"));
  }

  void MessageBoxesHaveTheTitleAndIconOfTheirKind() {
    struct TCase {
      QString Title;
      QMessageBox::Icon Icon;
      std::function<void(TQtMessageBoxes&)> Show;
    };
    const TCase cases[] = {
        {QStringLiteral("Warning"), QMessageBox::Warning, [](TQtMessageBoxes& b) { b.Warning(QStringLiteral("a\rb")); }},
        {QStringLiteral("Error"), QMessageBox::Critical, [](TQtMessageBoxes& b) { b.Error(QStringLiteral("a\rb")); }},
        {QStringLiteral("Information"), QMessageBox::Information,
         [](TQtMessageBoxes& b) { b.Information(QStringLiteral("a\rb")); }},
        {QStringLiteral("Confirmation"), QMessageBox::Question,
         [](TQtMessageBoxes& b) { QVERIFY(b.Confirm(QStringLiteral("a\rb"))); }},
    };
    for (const TCase& c : cases) {
      QString title, text;
      QMessageBox::Icon icon = QMessageBox::NoIcon;
      QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        (yes != nullptr ? yes : box->buttons().first())->click();
      });
      TQtMessageBoxes boxes;
      c.Show(boxes);
      QCOMPARE(title, c.Title);
      QCOMPARE(icon, c.Icon);
      QCOMPARE(text, QStringLiteral("a\nb"));
    }
  }

  // The border between the tree and the cells, dragged as far as it goes
  // either way, leaves each side its minimum.
  void SplitterKeepsBothPanesAtLeast150Wide() {
    auto frm = Open(true);
    QWindow* window = frm->windowHandle();
    for (const int to : {790, 5}) {
      QSplitterHandle* handle = frm->spl->handle(1);
      const QPoint from = handle->mapTo(frm.get(), handle->rect().center());
      QTest::mousePress(window, Qt::LeftButton, {}, from);
      QTest::mouseMove(window, QPoint(to, from.y()));
      QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(to, from.y()));
      QVERIFY2(frm->AlbumLstList->width() >= 150, qPrintable(QString::number(to)));
      QVERIFY2(frm->PhotoPnl->width() >= 150, qPrintable(QString::number(to)));
    }
    QCOMPARE(frm->AlbumLstList->width(), 150);
  }

  // The corner of the status bar shows the diagonal cursor and resizes the
  // window; the cut corners follow the new size.
  void ResizeCornerResizesTheWindow() {
    auto frm = Open(true);
    const QPoint corner = frm->ResizeImg->mapTo(frm.get(), frm->ResizeImg->rect().center());
    QWidget* under = frm->childAt(corner);
    QCOMPARE(under, static_cast<QWidget*>(frm->ResizeImg));
    QCOMPARE(under->cursor().shape(), Qt::SizeFDiagCursor);
    QWindow* window = frm->windowHandle();
    QTest::mousePress(window, Qt::LeftButton, {}, corner);
    QTest::mouseMove(window, corner + QPoint(60, 40));
    QTest::mouseRelease(window, Qt::LeftButton, {}, corner + QPoint(60, 40));
    QCOMPARE(frm->size(), QSize(860, 597));
    QVERIFY(frm->mask().contains(QPoint(850, 590)));
    QVERIFY(frm->mask().contains(QPoint(859, 300)));
    // Not below the minimum size.
    const QPoint moved = frm->ResizeImg->mapTo(frm.get(), frm->ResizeImg->rect().center());
    QTest::mousePress(window, Qt::LeftButton, {}, moved);
    QTest::mouseMove(window, moved - QPoint(300, 300));
    QTest::mouseRelease(window, Qt::LeftButton, {}, moved - QPoint(300, 300));
    QCOMPARE(frm->size(), QSize(800, 520));
  }
};

}  // namespace quill

QTEST_MAIN(quill::IpodPhotoFrmTest)
#include "ipod_photo_frm_test.moc"
