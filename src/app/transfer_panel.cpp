#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include "app/ipod_photo_frm.h"
#include "ui/log_window.h"
#include "ui/skin.h"

namespace quill {

void TIpodPhotoFrm::ExportBtnClick() {
  GoPnl->move(TopPnl->x() + ExportBtn->x(), TopPnl->y() + ExportBtn->y() + ExportBtn->height());
  GoPnl->setVisible(GoPnl->isHidden());
  if (!GoPnl->isHidden()) {
    GoPnl->raise();
    GoPnl->setFocus();
  }
}

void TIpodPhotoFrm::GoPnlExit() { GoPnl->hide(); }

void TIpodPhotoFrm::DefaultBtnClick() { DestEdt->setText(DefaultDestination()); }

void TIpodPhotoFrm::BrowseBtnClick() {
  const QString folder = shell_.ChooseFolder(this, QStringLiteral("Select folder to save photos"));
  if (!folder.isEmpty()) DestEdt->setText(folder);
}

void TIpodPhotoFrm::ToPcBtnClick() {
  GoPnl->hide();
  StartTransfer();
}

void TIpodPhotoFrm::StartTransfer() {
  if (Transferring || !db_) return;
  if (cell_area_->CellCount() == 0) {
    boxes_.Warning(QStringLiteral("Nothing to transfer."));
    return;
  }
  const std::int64_t selected =
      std::int64_t{db_->Photos.SelectedCount} + (db_->CamPhotos ? db_->CamPhotos->SelectedCount : 0);
  if (selected == 0) {
    boxes_.Information(QStringLiteral("No photo has been selected to transfer."));
    return;
  }
  DestEdt->setText(DestEdt->text().trimmed());
  if (DestEdt->text().isEmpty()) {
    boxes_.Warning(QStringLiteral("Please choose a traget folder to save the photo files."));
    BrowseBtnClick();
  }
  const QString folder = DestEdt->text().trimmed();
  if (folder.isEmpty()) {
    boxes_.Warning(QStringLiteral("You need to choose a folder in your PC to save the transferred photos."));
    return;
  }
  db_->HeicJpeg = HeicChoice();
  std::string path = QDir::toNativeSeparators(folder).toStdString();
  if (!db_->CheckOutputFolder(path)) {
    boxes_.Warning(QString::fromStdString(path));
    return;
  }

  TransferLog = kVersionText + QStringLiteral("\r\n");
  if (!device_->IsIos) TransferLog += QStringLiteral("[iPod]\r\n");

  CancelBtn->SetCaption(QStringLiteral("Cancel"));
  CancelBtn->LoadPicture(Skin().CancelPicture);
  CancelBtn->setEnabled(true);
  DetailLb->hide();
  PgLb->setText(QStringLiteral("-"));
  CopyPrgs->setRange(0, static_cast<int>(std::min<std::int64_t>(selected, INT32_MAX)));
  CopyPrgs->setValue(0);
  WorkShp->setEnabled(true);
  WorkShp->show();
  ShowOverlay(CopyPnl, true);

  // A thread of an earlier transfer that has not been joined yet goes first.
  WaitForCopyThread();
  copy_thread_ = std::make_unique<TPhotoCopyThread>(*db_, dispatcher_.Dispatcher());
  copy_done_ = false;
  Transferring = true;
  copy_thread_->OnFile = [this](const std::string& name) { CopyProgress(QString::fromStdString(name)); };
  copy_thread_->OnDone = [this] { CopyFinished(); };
  copy_thread_->Start();
}

void TIpodPhotoFrm::CopyProgress(const QString& name) {
  PgLb->setText(name);
  if (CopyPrgs->value() < CopyPrgs->maximum()) CopyPrgs->setValue(CopyPrgs->value() + 1);
}

void TIpodPhotoFrm::CopyFinished() {
  PgLb->setText(QStringLiteral("Done."));
  CopyPrgs->setValue(CopyPrgs->maximum());
  if (db_) TransferLog += QString::fromStdString(db_->LogText);
  WorkShp->setEnabled(false);
  WorkShp->hide();
  DetailLb->show();
  CancelBtn->SetCaption(QStringLiteral("Done"));
  CancelBtn->LoadPicture(Skin().DonePicture);
  CancelBtn->setEnabled(true);
  Transferring = false;
  copy_done_ = true;
  if (copy_wait_loop_ != nullptr) copy_wait_loop_->quit();
  // The worker returns right after this hand-over; join it then.
  QTimer::singleShot(0, this, [this] { ReapCopyThread(); });
}

void TIpodPhotoFrm::ReapCopyThread() {
  if (copy_thread_ && copy_done_ && copy_wait_loop_ == nullptr) {
    copy_thread_->Wait();
    copy_thread_.reset();
  }
}

void TIpodPhotoFrm::WaitForCopyThread() {
  if (!copy_thread_) return;
  if (!copy_done_) {
    QEventLoop* const outer = copy_wait_loop_;
    QEventLoop loop;
    copy_wait_loop_ = &loop;
    loop.exec();
    // A loop ended early (the application quits) must still serve the
    // thread's hand-overs until its end.
    while (!copy_done_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    copy_wait_loop_ = outer;
    // A wait nested in another one: the outer wait is over as well.
    if (outer != nullptr) outer->quit();
  }
  // Joined already by a wait nested in this one.
  if (!copy_thread_) return;
  copy_thread_->Wait();
  copy_thread_.reset();
}

void TIpodPhotoFrm::StopTransfer(bool wait) {
  if (!Transferring) return;
  copy_thread_->Terminate();
  if (wait) {
    WaitForCopyThread();
  } else {
    Transferring = false;
  }
}

void TIpodPhotoFrm::CancelBtnClick() {
  if (CancelBtn->Caption() == QStringLiteral("Cancel")) {
    StopTransfer(false);
    CancelBtn->setEnabled(false);
    return;
  }
  shell_.OpenUrl(QUrl::fromLocalFile(DestEdt->text()));
  ShowOverlay(CopyPnl, false);
}

void TIpodPhotoFrm::DetailLbClick() {
  TIpodLogFrm log(this, TransferLog, [this] { OpenHelpTopic(QStringLiteral("fix.html")); });
  log.exec();
}

}  // namespace quill
