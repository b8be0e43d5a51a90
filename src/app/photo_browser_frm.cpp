#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTreeWidgetItemIterator>

#include "app/ipod_photo_frm.h"
#include "ui/skin.h"

namespace quill {
namespace {

constexpr int kIconRole = Qt::UserRole;
constexpr int kIconCamera = 2;

QTreeWidgetItem* MakeNode(const QString& text, int icon) {
  auto* node = new QTreeWidgetItem(QStringList{text});
  const TSkin& skin = Skin();
  const QImage& picture = icon == 0 ? skin.TreeAll : icon == 1 ? skin.TreeAlbum : skin.TreeCamera;
  node->setIcon(0, QIcon(QPixmap::fromImage(picture)));
  node->setData(0, kIconRole, icon);
  return node;
}

int PageText(const QLabel* label) { return label->text().toInt(); }

// Restores the cursor however the page build ends.
class TWaitCursor {
public:
  TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor&) = delete;
  TWaitCursor& operator=(const TWaitCursor&) = delete;
};

}  // namespace

void TIpodPhotoFrm::FillAlbumTree() {
  if (!db_) return;
  if (db_->Albums.Count() > 0) {
    QTreeWidgetItem* all = MakeNode(QStringLiteral("All Pictures"), 0);
    for (std::size_t a = 1; a < db_->Albums.Count(); ++a) {
      all->addChild(MakeNode(QString::fromStdString(db_->Albums.Items(a).Name), 1));
    }
    AlbumLstList->addTopLevelItem(all);
  }
  const bool camera = db_->CamPhotos && db_->CamPhotos->Count() > 0;
  if (camera) AlbumLstList->addTopLevelItem(MakeNode(QStringLiteral("Camera Photos"), kIconCamera));
  if (db_->Albums.Count() == 0 && !camera) boxes_.Error(QStringLiteral("Cannot find photos in this iPod"));
}

int TIpodPhotoFrm::AbsoluteIndex(QTreeWidgetItem* node) const {
  int index = 0;
  for (QTreeWidgetItemIterator it(AlbumLstList); *it != nullptr; ++it, ++index) {
    if (*it == node) return index;
  }
  return -1;
}

bool TIpodPhotoFrm::SelectedNodeIsCamera() const {
  const QTreeWidgetItem* node = AlbumLstList->currentItem();
  return node != nullptr && node->data(0, kIconRole).toInt() == kIconCamera;
}

void TIpodPhotoFrm::AlbumLstListChange(QTreeWidgetItem* node) {
  if (Closing || node == nullptr) return;
  if (node->data(0, kIconRole).toInt() == kIconCamera) {
    OpenCameraPhotos();
  } else {
    OpenAlbum(AbsoluteIndex(node));
  }
}

void TIpodPhotoFrm::ResetPageBar() {
  SelectPage->setText(QStringLiteral("1"));
  MaxPage->setText(QStringLiteral("1"));
  MaxPage->adjustSize();
  PrvBtn->hide();
  NxtBtn->hide();
  ShownCount = QStringLiteral("0");
}

void TIpodPhotoFrm::OpenAlbum(int album) {
  if (!db_ || album < 0 || static_cast<std::size_t>(album) >= db_->Albums.Count()) return;
  SelectPage->setText(QStringLiteral("1"));
  PrvBtn->hide();
  const int pages = db_->AlbumPageCount(album);
  MaxPage->setText(QString::number(pages));
  MaxPage->adjustSize();
  NxtBtn->setVisible(pages >= 2);
  ShownCount = QString::number(ShowPage(1, false));
  UpdateStatus();
}

void TIpodPhotoFrm::OpenCameraPhotos() {
  if (!db_) return;
  SelectPage->setText(QStringLiteral("1"));
  PrvBtn->hide();
  const int pages = db_->CameraPageCount();
  MaxPage->setText(QString::number(pages));
  MaxPage->adjustSize();
  NxtBtn->setVisible(pages >= 2);
  ShownCount = QString::number(ShowPage(1, true));
  UpdateStatus();
}

int TIpodPhotoFrm::ShowPage(int page, bool camera) {
  if (!db_) return 0;
  Readlb->show();
  EnableBrowsing(false);
  int cells = 0;
  ++building_page_;
  {
    TWaitCursor wait;
    const QString mov = QDir(options_.ProgramFolder).filePath(QStringLiteral("mov.bmp"));
    const std::string movPicture =
        QFileInfo::exists(mov) ? QDir::toNativeSeparators(mov).toStdString() : "";
    if (camera) {
      cells = db_->ShowCameraPage(page, movPicture);
    } else {
      // Video cells of a modern library show the same picture.
      db_->MoviePicture = movPicture;
      cells = db_->ShowAlbumPage(AbsoluteIndex(AlbumLstList->currentItem()), page, 1);
    }
  }
  --building_page_;
  EnableBrowsing(true);
  Readlb->hide();
  // Device changes and a close that came in meanwhile run after this page.
  if (building_page_ == 0 && (!deferred_changes_.empty() || close_pending_)) {
    QMetaObject::invokeMethod(this, [this] { RunDeferredWork(); }, Qt::QueuedConnection);
  }
  return cells;
}

void TIpodPhotoFrm::NxtBtnClick() {
  const int page = PageText(SelectPage) + 1;
  SelectPage->setText(QString::number(page));
  if (page == PageText(MaxPage)) NxtBtn->hide();
  PrvBtn->show();
  ShownCount = QString::number(ShowPage(page, SelectedNodeIsCamera()));
  UpdateStatus();
}

void TIpodPhotoFrm::PrvBtnClick() {
  const int old = PageText(SelectPage);
  SelectPage->setText(QString::number(old - 1));
  if (old == 2) PrvBtn->hide();
  NxtBtn->show();
  ShownCount = QString::number(ShowPage(old - 1, SelectedNodeIsCamera()));
  UpdateStatus();
}

void TIpodPhotoFrm::PageProgress(int count) {
  Readlb->setText(QString::number(count));
  // Browsing is disabled meanwhile; a close or device change that comes in
  // is held until the page is done.
  QApplication::processEvents();
}

void TIpodPhotoFrm::SelectionChanged() { UpdateStatus(); }

void TIpodPhotoFrm::UpdateStatus() {
  std::int64_t selected = 0, total = 0;
  if (db_) {
    selected = db_->Photos.SelectedCount;
    total = static_cast<std::int64_t>(db_->Photos.Count());
    if (db_->CamPhotos) {
      selected += db_->CamPhotos->SelectedCount;
      total += static_cast<std::int64_t>(db_->CamPhotos->Count());
    }
  }
  if (selected > 0) {
    StatusLb->setText(ShownCount + QStringLiteral(" photos  ( Selected ") + QString::number(selected) +
                      QStringLiteral(" photos / Total ") + QString::number(total) + QStringLiteral(" photos )"));
  } else {
    StatusLb->setText(ShownCount + QStringLiteral(" photos  ( Total ") + QString::number(total) +
                      QStringLiteral(" photos )"));
  }
}

void TIpodPhotoFrm::CheckBtnClick() {
  if (!GoPnl->isHidden()) GoPnl->hide();
  if (AlbumLstList->topLevelItemCount() == 0) return;
  SongPop->popup(CheckBtn->mapToGlobal(QPoint(0, CheckBtn->height())));
}

void TIpodPhotoFrm::SongPopPopup() {
  const QTreeWidgetItem* node = AlbumLstList->currentItem();
  QString label = (node != nullptr ? node->text(0) : QString()) + QLatin1Char('"');
  if (label.size() > 17) label = label.left(16) + QStringLiteral("..\"");
  const QString quote(QLatin1Char('"'));
  AllMnu->setText(QStringLiteral("Select all in ") + quote + label);
  UnAllMnu->setText(QStringLiteral("Unselect all in ") + quote + label);
  InvertMnu->setText(QStringLiteral("Invert in ") + quote + label);
}

void TIpodPhotoFrm::AllMnuClick() {
  if (SelectedNodeIsCamera()) {
    ApplyToCamera(TSelectOp::SelectAll);
  } else {
    ApplyToAlbum(TSelectOp::SelectAll, AbsoluteIndex(AlbumLstList->currentItem()));
  }
}

void TIpodPhotoFrm::UnAllMnuClick() {
  if (SelectedNodeIsCamera()) {
    ApplyToCamera(TSelectOp::UnselectAll);
  } else {
    ApplyToAlbum(TSelectOp::UnselectAll, AbsoluteIndex(AlbumLstList->currentItem()));
  }
}

void TIpodPhotoFrm::InvertMnuClick() {
  if (SelectedNodeIsCamera()) {
    ApplyToCamera(TSelectOp::Invert);
  } else {
    ApplyToAlbum(TSelectOp::Invert, AbsoluteIndex(AlbumLstList->currentItem()));
  }
}

bool TIpodPhotoFrm::SelectionMenuApplies() const {
  // Nothing while a transfer reads the selection, nor under an overlay: a
  // menu left open when the device went must not change the old library
  // or bring its cells back under "No device found".
  return db_ && !Transferring && ErrPnl->isHidden() && CopyPnl->isHidden() && cell_area_->CellCount() > 0;
}

void TIpodPhotoFrm::ApplyToAlbum(TSelectOp op, int album) {
  if (!SelectionMenuApplies()) return;
  {
    TWaitCursor wait;
    db_->SelectAlbumPhotos(op, album);
    db_->MarkPageCells(op);
  }
  UpdateStatus();
}

void TIpodPhotoFrm::ApplyToCamera(TSelectOp op) {
  if (!SelectionMenuApplies()) return;
  {
    TWaitCursor wait;
    db_->SelectCameraFiles(op);
    db_->MarkPageCells(op);
  }
  UpdateStatus();
}

}  // namespace quill
