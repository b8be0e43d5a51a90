#pragma once

#include <QAction>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollArea>
#include <QSplitter>
#include <QToolButton>
#include <QTreeWidget>
#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "app/message_boxes.h"
#include "app/mount_watcher.h"
#include "app/settings.h"
#include "device/ipod_device.h"
#include "device/mount_monitor.h"
#include "device/platform/platform.h"
#include "library/ipod_photo_db.h"
#include "library/photo_copy_thread.h"
#include "ui/gui_dispatcher.h"
#include "ui/pic_button.h"
#include "ui/progress_shape.h"
#include "ui/qt_cell_area.h"
#include "ui/toolkit_controls.h"

namespace quill {

struct TFrmOptions {
  // Holds mov.bmp, and help/ unless the pages are installed (HelpFolder).
  QString ProgramFolder;
  // Taken as the connected disk-mode iPod instead of the drive scan.
  QString DeviceFolder;
  // An INI file for the settings; empty: the native store.
  QString SettingsFile;
  // Watch the system's mount table (off in tests, which feed it by hand).
  bool WatchMounts = true;
};

// The main window: start-up, connection handling, the photo browser, the
// transfer panel and shutdown. Everything runs on the GUI thread; the
// transfer thread reaches it only through blocking hand-overs. Platform,
// boxes and shell must outlive the window.
class TIpodPhotoFrm : public QWidget {
public:
  TIpodPhotoFrm(TPlatform& platform, TMessageBoxes& boxes, TShell& shell, TFrmOptions options);
  ~TIpodPhotoFrm() override;

  static const QString kVersionText;  // "Quillmere Photo " and the version, such as 5.3

  // State.
  bool Transferring = false;
  bool Closing = false;
  QString ShownCount = QStringLiteral("0");
  QString TransferLog;

  // Start-up, connection, overlays and settings.
  void FormCreate();
  void DeviceChange(bool connected, bool fromIos);
  void ShowOverlay(QWidget* panel, bool show);
  void EnableBrowsing(bool enabled);
  void LoadSettings();
  void SaveSettings();
  void ClipWindowCorners();
  // Re-reads the mount table and hands its changes to the device object.
  void MountTableChanged();
  void HlpLbClick();
  void WebLbClick();
  void IphoneErrLbClick();
  void StopBtnClick();
  bool FormCloseQuery();
  void FormClose();

  // Photo browser.
  void FillAlbumTree();
  void AlbumLstListChange(QTreeWidgetItem* node);
  void OpenAlbum(int album);
  void OpenCameraPhotos();
  int ShowPage(int page, bool camera);
  void NxtBtnClick();
  void PrvBtnClick();
  void PageProgress(int count);
  void SelectionChanged();
  void UpdateStatus();
  void CheckBtnClick();
  void SongPopPopup();
  void AllMnuClick();
  void UnAllMnuClick();
  void InvertMnuClick();
  void ApplyToAlbum(TSelectOp op, int album);
  void ApplyToCamera(TSelectOp op);
  bool SelectionMenuApplies() const;
  bool SelectedNodeIsCamera() const;
  int AbsoluteIndex(QTreeWidgetItem* node) const;

  // Transfer panel.
  void ExportBtnClick();
  void GoPnlExit();
  void DefaultBtnClick();
  void BrowseBtnClick();
  void ToPcBtnClick();
  void StartTransfer();
  void CopyProgress(const QString& name);
  void CopyFinished();
  void StopTransfer(bool wait);
  void CancelBtnClick();
  void DetailLbClick();

  TIpodDevice* Device() const { return device_.get(); }
  TIpodPhotoDb* Db() const { return db_.get(); }
  TQtCellArea& CellArea() const { return *cell_area_; }
  // Whether a transfer thread exists that has not yet been joined.
  bool CopyThreadAlive() const { return copy_thread_ != nullptr; }
  bool BuildingPage() const { return building_page_ > 0; }

  // Components, named as in the window's layout.
  QWidget* TopPnl;
  TImageBox *SImg, *TiImg, *RImg;
  QLabel *Caplb, *CapShLb, *WebLb, *HlpLb;
  TPicButton *CloseBtn, *CheckBtn, *ExportBtn;
  QWidget* LowPnl;
  TImageBox *LImg, *BtImg, *ResizeImg;
  QLabel* StatusLb;
  TShapeBox *Lshp, *Rshp;
  QSplitter* spl;
  QTreeWidget* AlbumLstList;
  QWidget* PhotoPnl;
  TImageBox* PagePnl;
  QLabel *Readlb, *PageLb, *SelectPage, *Pgseplb, *MaxPage;
  QToolButton *PrvBtn, *NxtBtn;
  QScrollArea* PhotoList;
  QMenu* SongPop;
  QAction *AllMnu, *UnAllMnu, *InvertMnu;

  QWidget* ErrPnl;
  QLabel *ErrLb, *Gdlb, *IphoneErrLb;
  QToolButton *HelpBtn, *StopBtn;
  TShapeBox *Tshp, *Bshp;
  TImageBox* Tip2Img;

  QWidget* CopyPnl;
  QLabel *PgLb, *DetailLb;
  TProgressShape* WorkShp;
  QProgressBar* CopyPrgs;
  TPicButton* CancelBtn;

  QWidget* GoPnl;
  TShapeBox* SetShp;
  QToolButton *DefaultBtn, *AdBtn, *BrowseBtn, *ToPcBtn;
  QLabel* DestLb;
  QLineEdit* DestEdt;
  QMenu* AdPop;
  QAction *TransMusicMnu, *TransMoreMnu;
  // "Save HEIC photos also as JPEG": no, beside the HEIC, or instead of it.
  QMenu* HeicMnu;
  QAction *HeicNoMnu, *HeicAlsoMnu, *HeicInsteadMnu;
  THeicJpeg HeicChoice() const;

protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildTitleBar();
  void BuildStatusBar();
  void BuildBrowser();
  void BuildErrPnl();
  void BuildCopyPnl();
  void BuildGoPnl();
  void LayoutWindow();
  void LayoutPhotoPnl();
  void StartWindowDrag(QMouseEvent* event);
  // Mouse events of ResizeImg; true when taken.
  bool ResizeFromCorner(QEvent* event);
  // Page 1 of 1, both page buttons hidden, no cells counted.
  void ResetPageBar();
  void OpenHelpTopic(const QString& topic);
  void OpenLink(const QUrl& url);
  QString DefaultDestination();
  // Waits, serving the thread's hand-overs, until a running transfer thread
  // has ended, then joins it.
  void WaitForCopyThread();
  void ReapCopyThread();
  // Device changes that arrive while a page is built or a change is handled
  // run once that work is over.
  void RunDeferredWork();
  void ScrollCells(int delta);
  bool IsDeviceVolume(const TMountEntry& volume) const;

  TPlatform& platform_;
  TMessageBoxes& boxes_;
  TShell& shell_;
  TFrmOptions options_;
  std::unique_ptr<QSettings> settings_;
  TLinks links_;
  TGuiDispatcher dispatcher_;
  // The library's thread waits until its report has run on the GUI thread,
  // or until the window closes: the device's teardown joins that thread, so
  // it must not be left waiting for a GUI thread that is joining it.
  void EndIosHandOvers();
  std::mutex handover_mutex_;
  std::condition_variable handover_served_;
  std::uint64_t handovers_posted_ = 0;
  std::uint64_t handovers_done_ = 0;
  bool handovers_ended_ = false;
  std::unique_ptr<TQtCellArea> cell_area_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TMountMonitor> monitor_;
  std::unique_ptr<TMountWatcher> watcher_;
  std::unique_ptr<TIpodPhotoDb> db_;
  std::unique_ptr<TPhotoCopyThread> copy_thread_;
  bool copy_done_ = false;
  QEventLoop* copy_wait_loop_ = nullptr;
  int building_page_ = 0;
  bool changing_device_ = false;
  std::deque<bool> deferred_changes_;
  bool close_pending_ = false;
  QMetaObject::Connection focus_connection_;
  bool closed_ = false;
  QPoint drag_offset_;
  bool dragging_ = false;
  QPoint resize_offset_;
  bool resizing_ = false;
};

}  // namespace quill
