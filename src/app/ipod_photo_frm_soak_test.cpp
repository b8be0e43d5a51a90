// A soak of the main window: seeded random clicks, right clicks, keys and
// typing sent at window level (the toolkit's hit-testing picks the target),
// transfers started and cancelled, and a disk-mode iPod and an iOS device
// arriving and leaving at random moments, for a set time. After every step
// the window must be in one of its states; at the end every file the
// transfers left must be whole and counted in their logs, no temporary file
// may remain, and a clean transfer must complete.
//
//   QUILL_SOAK_SECONDS  how long to run (default 3)
//   QUILL_SOAK_SEED     the seed of the steps (default: a fresh one, printed)
//   QUILL_SOAK_TRACE    1: print every step as it runs
// A seed replays the same choices; the threads' timing may still differ.
// The last line is "soak-figures", steps, wrong states, transfers ended,
// steps per minute, seconds and seed, tab-separated, for scripts/reliability.

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QSplitterHandle>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItemIterator>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "app/ipod_photo_frm.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/picture.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"
#include "ui/log_window.h"

namespace quill {
namespace {

using testing::TSimDevice;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;
constexpr int kIpodPhotos = 130;  // two pages of "All Pictures"
constexpr int kIosAssets = 6;
const QString kLost = QStringLiteral("Lost connection with iPod, operation abort.");

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtol(text, nullptr, 10);
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

testing::TLibrarySpec IpodLibrary(const std::vector<std::uint8_t>& cameraJpeg) {
  using testing::TFormatSpec;
  using testing::TRecordLayout;
  testing::TLibrarySpec desc;
  desc.Formats = {TFormatSpec{1023, TRecordLayout::SwappedRgb565, 176, 132, 0, 0, 0, 0, true},
                  TFormatSpec{3113, TRecordLayout::Rgb565, 112, 112, 0, 0, 0, 0, true}};
  testing::TAlbumSpec all, some, empty;
  all.Title = "Photo Library";
  some.Title = "Some";
  empty.Title = "Empty";
  for (std::uint32_t i = 0; i < kIpodPhotos; ++i) {
    testing::TPhotoSpec photo;
    photo.Id = 500 + i;
    photo.Picture = testing::TestPicture(32, 24, i);
    desc.Photos.push_back(std::move(photo));
    all.PhotoIds.push_back(500 + i);
    if (i % 7 == 0) some.PhotoIds.push_back(500 + i);
  }
  desc.Albums = {all, some, empty};
  // IMG_0001.JPG is also a name of the iOS library: a second device's file
  // of that name goes to the next free name.
  desc.CameraFiles = {{"IMG_0001.JPG", cameraJpeg, false}, {"IMG_0102.JPG", cameraJpeg, false}};
  return desc;
}

testing::TSqliteLibrarySpec IosLibrary() {
  const auto geometry = testing::IosThumbGeometry("79x79.ithmb");
  testing::TSqliteLibrarySpec desc;
  testing::TSqliteAlbumSpec album;
  album.Id = 30;
  album.Title = "Holiday";
  for (std::uint32_t id = 1; id <= kIosAssets; ++id) {
    testing::TSqliteAssetSpec asset;
    asset.Id = id;
    asset.ThumbnailIndex = id - 1;
    asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
    asset.OriginalBytes = Bytes("original bytes of " + asset.FileName);
    TBitmap24 thumb(geometry.Width, geometry.Height);
    asset.Thumbnail = std::move(thumb);
    desc.Assets.push_back(std::move(asset));
    if (id % 2 == 1) album.AssetIds.push_back(id);
  }
  desc.Albums = {album};
  return desc;
}

class TSoakBoxes : public TMessageBoxes {
public:
  std::function<bool()> Answer;  // the eject question's answer
  int Shown = 0;
  void Warning(const QString&) override { ++Shown; }
  void Error(const QString&) override { ++Shown; }
  void Information(const QString&) override { ++Shown; }
  bool Confirm(const QString&) override {
    ++Shown;
    return Answer && Answer();
  }
};

class TSoakShell : public TShell {
public:
  std::function<QString()> Folder;  // the folder browser's answer
  bool OpenUrl(const QUrl&) override { return true; }
  QString ChooseFolder(QWidget*, const QString&) override { return Folder ? Folder() : QString(); }
};

// The name a transfer started from: the free-name series puts "1_", "2_1_"
// and so on before it.
QString BaseName(QString name) {
  static const QRegularExpression series(QStringLiteral("^[0-9]+_"));
  for (;;) {
    const QRegularExpressionMatch match = series.match(name);
    if (!match.hasMatch() || match.capturedLength() == name.size()) return name;
    name.remove(0, match.capturedLength());
  }
}

// The files written that a transfer's log reports: its summary lines' counts.
int ReportedWritten(const QString& log) {
  static const QRegularExpression summary(QStringLiteral("Copy (?:cam )?pics: t[0-9]+, c([0-9]+)"));
  int written = 0;
  for (auto it = summary.globalMatch(log); it.hasNext();) written += it.next().captured(1).toInt();
  return written;
}

// The offscreen platform's notes on what it cannot do (raise, grab, masks)
// and on drags that leave the window would drown the soak's own lines.
QtMessageHandler standard_handler = nullptr;
void QuietOffscreenNotes(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && (message.startsWith(QStringLiteral("This plugin does not support")) ||
                               message.contains(QStringLiteral("occurs outside target window")))) {
    return;
  }
  if (standard_handler != nullptr) standard_handler(type, context, message);
}

}  // namespace

class IpodPhotoFrmSoakTest : public QObject {
  Q_OBJECT

private:
  struct TStep {
    const char* Name;
    int Weight;
    std::function<void()> Run;
  };

  std::unique_ptr<testing::TTempDir> dir_;
  std::unique_ptr<testing::TFakePlatform> platform_;
  TSoakBoxes boxes_;
  TSoakShell shell_;
  std::unique_ptr<TIpodPhotoFrm> frm_;
  std::mt19937_64 rng_;
  std::thread::id gui_thread_;
  QString ipod_, dest_, clean_;
  QStringList folders_;  // what the folder field is given
  QSet<QString> fixtures_;  // files of the soak's folder that no transfer wrote
  bool disk_plugged_ = false;
  bool ios_present_ = false;
  bool stopping_ = false;
  bool trace_ = false;
  QPointer<QWidget> seen_popup_;
  QElapsedTimer popup_clock_;
  std::deque<QString> recent_;  // the last steps, shown with a wrong state
  long steps_ = 0;
  int wrong_states_ = 0;
  int transfers_ended_ = 0;
  int reported_written_ = 0;
  std::atomic<int> escaped_writes_{0};
  std::map<QString, int> reported_by_folder_;  // shown when the count is off
  std::vector<TStep> clicks_;
  std::vector<TStep> steps_table_;

  int Pick(int n) { return n <= 1 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int percent) { return Pick(100) < percent; }
  QPoint Inside(const QRect& rect) {
    return QPoint(rect.left() + Pick(std::max(1, rect.width())), rect.top() + Pick(std::max(1, rect.height())));
  }

  void Note(const QString& what) {
    recent_.push_back(what);
    if (recent_.size() > 40) recent_.pop_front();
    if (trace_) std::fprintf(stderr, "soak: %s\n", qPrintable(what));
  }

  // The window is there to be clicked: open and not closed.
  bool Live() const { return frm_ && frm_->Device() != nullptr && frm_->isVisible(); }

  // ---- Input at window level --------------------------------------------

  void ClickIn(QWidget* widget, Qt::MouseButton button, QPoint at) {
    QWidget* top = widget->window();
    QWindow* window = top->windowHandle();
    if (window == nullptr) return;
    QTest::mouseClick(window, button, {}, widget->mapTo(top, at));
  }

  void ClickControl(QWidget* control, Qt::MouseButton button = Qt::LeftButton) {
    if (!Live()) return;
    // Hidden or covered controls are clicked where they would be: the click
    // lands on whatever lies there.
    ClickIn(control, button, Inside(control->rect().adjusted(1, 1, -1, -1)));
  }

  void ClickTreeNode() {
    if (!Live()) return;
    std::vector<QTreeWidgetItem*> nodes;
    for (QTreeWidgetItemIterator it(frm_->AlbumLstList); *it != nullptr; ++it) nodes.push_back(*it);
    QWidget* viewport = frm_->AlbumLstList->viewport();
    QRect rect = viewport->rect();
    if (!nodes.empty()) {
      const QRect item = frm_->AlbumLstList->visualItemRect(nodes[static_cast<std::size_t>(Pick(static_cast<int>(nodes.size())))]);
      if (!item.isEmpty()) rect = item;
    }
    ClickIn(viewport, Chance(85) ? Qt::LeftButton : Qt::RightButton, Inside(rect));
  }

  void ClickCell() {
    if (!Live()) return;
    TQtCellArea& area = frm_->CellArea();
    if (area.CellCount() == 0) {
      ClickIn(frm_->PhotoList->viewport(), Qt::LeftButton, Inside(frm_->PhotoList->viewport()->rect()));
      return;
    }
    TPhotoControl* cell = area.Cell(Pick(area.CellCount()));
    // What the wheel or the scroll bar would do to bring it into view.
    frm_->PhotoList->ensureWidgetVisible(cell, 0, 0);
    ClickIn(cell, Chance(90) ? Qt::LeftButton : Qt::RightButton, Inside(cell->rect()));
  }

  void ClickAnywhere() {
    if (!Live()) return;
    ClickIn(frm_.get(), Chance(80) ? Qt::LeftButton : Qt::RightButton, Inside(frm_->rect()));
  }

  void RightClickCells() {
    if (!Live()) return;
    ClickIn(frm_->PhotoList->viewport(), Qt::RightButton, Inside(frm_->PhotoList->viewport()->rect()));
  }

  // An item of the menu that is up, or a click beside it.
  void ClickMenuItem() {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) {
      if (!Live()) return;
      // Opens one first: the selection menu by its button or a right click.
      if (Chance(50)) {
        ClickControl(frm_->CheckBtn);
      } else {
        RightClickCells();
      }
      menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
    }
    const QList<QAction*> actions = menu->actions();
    if (actions.isEmpty() || Chance(10)) {
      QTest::keyClick(menu->windowHandle(), Qt::Key_Escape);
      return;
    }
    const QRect rect = menu->actionGeometry(actions[Pick(static_cast<int>(actions.size()))]);
    ClickIn(menu, Qt::LeftButton, Inside(rect.adjusted(2, 1, -2, -1)));
  }

  void PressKey() {
    if (!Live()) return;
    static const Qt::Key keys[] = {Qt::Key_Up,     Qt::Key_Down,   Qt::Key_Left,     Qt::Key_Right,
                                   Qt::Key_Home,   Qt::Key_End,    Qt::Key_PageUp,   Qt::Key_PageDown,
                                   Qt::Key_Tab,    Qt::Key_Return, Qt::Key_Escape,   Qt::Key_Space,
                                   Qt::Key_Delete, Qt::Key_A,      Qt::Key_Backspace};
    const Qt::Key key = keys[Pick(static_cast<int>(std::size(keys)))];
    QWidget* popup = QApplication::activePopupWidget();
    QWindow* window = popup != nullptr ? popup->windowHandle() : frm_->windowHandle();
    QTest::keyClick(window, key, Chance(15) ? Qt::ControlModifier : Qt::NoModifier);
  }

  // The transfer drop-down's folder field: clicked, emptied and typed into.
  void TypeFolder() {
    if (!Live()) return;
    if (frm_->GoPnl->isHidden() && Chance(80)) ClickControl(frm_->ExportBtn);
    if (!Live()) return;
    ClickControl(frm_->DestEdt);
    QWindow* window = frm_->windowHandle();
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(window, Qt::Key_Backspace);
    for (const QChar c : folders_[Pick(static_cast<int>(folders_.size()))]) {
      if (!Live()) return;
      QTest::keyClick(window, c.toLatin1());
    }
    if (Chance(30) && Live()) QTest::keyClick(window, Qt::Key_Return);
  }

  void DragSomething() {
    if (!Live()) return;
    QWindow* window = frm_->windowHandle();
    QWidget* handle = Chance(50) ? static_cast<QWidget*>(frm_->spl->handle(1)) : static_cast<QWidget*>(frm_->ResizeImg);
    const QPoint from = handle->mapTo(frm_.get(), handle->rect().center());
    const QPoint to = from + QPoint(Pick(201) - 100, Pick(81) - 40);
    QTest::mousePress(window, Qt::LeftButton, {}, from);
    QTest::mouseMove(window, to);
    QTest::mouseRelease(window, Qt::LeftButton, {}, to);
  }

  // ---- The devices ------------------------------------------------------

  TMountEntry IpodMount() const { return {ipod_.toStdString(), "/dev/sdz1", "vfat", "8:17"}; }

  void SetDiskPlugged(bool plugged) {
    if (plugged == disk_plugged_) return;
    disk_plugged_ = plugged;
    if (plugged) {
      platform_->Mounts.push_back(IpodMount());
    } else {
      platform_->Mounts.clear();
    }
    Note(plugged ? QStringLiteral("  iPod plugged in") : QStringLiteral("  iPod pulled out"));
    // The mount watcher's report, as the event loop delivers it.
    if (frm_ && frm_->Device() != nullptr) frm_->MountTableChanged();
  }

  void ToggleIos() {
    // The simulated library serves a window's device only; with none it
    // starts again without a device at the next window.
    if (!frm_ || frm_->Device() == nullptr) return;
    ios_present_ = !ios_present_;
    Note(ios_present_ ? QStringLiteral("  iPhone plugged in") : QStringLiteral("  iPhone pulled out"));
    TSimDevice::Signal(kSimLibrary);
  }

  // Now, or at a random moment of a later step (inside a page build, a
  // transfer or a wait for its thread).
  void Sometime(const char* name, std::function<void()> run) {
    if (Chance(50)) {
      run();
      return;
    }
    const int delay = Pick(400);
    Note(QStringLiteral("  (%1 in %2 ms)").arg(QLatin1String(name)).arg(delay));
    QTimer::singleShot(delay, this, [this, run = std::move(run)] {
      if (!stopping_) run();
    });
  }

  // ---- The windows --------------------------------------------------------

  void OpenWindow() {
    TSimDevice::Configure(*dir_ / "sim.conf", *dir_ / "iphone", {"arrive=signal", "leave=signal"});
    ios_present_ = false;
    TFrmOptions options;
    options.ProgramFolder = QString::fromStdString(dir_->Path());
    options.SettingsFile = QString::fromStdString(*dir_ / "settings.ini");
    options.WatchMounts = false;
    frm_ = std::make_unique<TIpodPhotoFrm>(*platform_, boxes_, shell_, options);
    frm_->WorkShp->installEventFilter(this);
    frm_->show();
    frm_->activateWindow();
    // A removal timed inside the start (the load serves events) reached no
    // window: the mount watcher reports it now.
    frm_->MountTableChanged();
    Note(QStringLiteral("window opened"));
  }

  // A close the window refused (a transfer runs) leaves it; one it took is
  // followed by the program's next start.
  void ReopenIfClosed() {
    if (!frm_ || frm_->Device() != nullptr) return;
    // An eject the user agreed to takes the iPod off the computer.
    if (platform_->UnmountCalls > 0) {
      platform_->UnmountCalls = 0;
      disk_plugged_ = false;
      platform_->Mounts.clear();
      Note(QStringLiteral("  iPod ejected"));
    }
    frm_.reset();
    OpenWindow();
  }

  // The end of each transfer: the progress shape stops just after the log
  // has taken the transfer's lines.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange) {
      auto* shape = qobject_cast<QWidget*>(watched);
      auto* window = shape != nullptr ? dynamic_cast<TIpodPhotoFrm*>(shape->window()) : nullptr;
      if (window != nullptr && shape == window->WorkShp && !shape->isEnabled()) {
        ++transfers_ended_;
        const int written = ReportedWritten(window->TransferLog);
        reported_written_ += written;
        reported_by_folder_[QDir(QDir::cleanPath(window->DestEdt->text().trimmed())).absolutePath()] += written;
      }
    }
    return QObject::eventFilter(watched, event);
  }

  // Closes the log window some time after it opened, now and then through
  // its help button first.
  void CloseModalWindows() {
    // A menu run by its own loop (the scroll bar's, on a right click) holds
    // the step until a user closes it: one that stays up a second goes.
    QWidget* popup = QApplication::activePopupWidget();
    if (popup != seen_popup_) {
      seen_popup_ = popup;
      popup_clock_.start();
    } else if (popup != nullptr && popup_clock_.elapsed() > 1000) {
      popup->close();
    }
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || Chance(40)) return;
    if (auto* log = dynamic_cast<TIpodLogFrm*>(dialog); log != nullptr && Chance(30)) {
      ClickIn(log->HelpBtn, Qt::LeftButton, log->HelpBtn->rect().center());
    }
    if (QApplication::activeModalWidget() == dialog) dialog->reject();
  }

  // ---- The state table ----------------------------------------------------

  // What is wrong with the window as it shows now, or empty when it is in
  // one of its states: no device, browsing, or the progress panel running,
  // cancelling or finished (loading lasts only inside a step).
  QString StateProblem() {
    TIpodPhotoFrm& w = *frm_;
    if (w.BuildingPage() || !w.Readlb->isHidden()) return QStringLiteral("a page build outlived its step");
    const bool err = !w.ErrPnl->isHidden();
    const bool copy = !w.CopyPnl->isHidden();
    const std::initializer_list<QWidget*> browsing = {w.AlbumLstList, w.PhotoList, w.CheckBtn, w.ExportBtn,
                                                      w.NxtBtn, w.PrvBtn};
    bool anyEnabled = false, allEnabled = true;
    for (QWidget* control : browsing) {
      anyEnabled = anyEnabled || control->isEnabled();
      allEnabled = allEnabled && control->isEnabled();
    }
    if (w.Transferring && !copy) return QStringLiteral("transferring without the progress panel");

    if (copy) {
      if (anyEnabled) return QStringLiteral("browsing enabled under the progress panel");
      if (!w.GoPnl->isHidden()) return QStringLiteral("the drop-down open under the progress panel");
      const QString caption = w.CancelBtn->Caption();
      const bool shape = !w.WorkShp->isHidden() && w.WorkShp->isEnabled() && w.WorkShp->Animating();
      const bool running = w.Transferring && caption == QStringLiteral("Cancel") && w.CancelBtn->isEnabled() &&
                           shape && w.DetailLb->isHidden() && w.CopyThreadAlive();
      const bool cancelling = !w.Transferring && caption == QStringLiteral("Cancel") && !w.CancelBtn->isEnabled() &&
                              shape && w.DetailLb->isHidden() && w.CopyThreadAlive();
      const bool finished = !w.Transferring && caption == QStringLiteral("Done") && w.CancelBtn->isEnabled() &&
                            w.WorkShp->isHidden() && !w.WorkShp->Animating() && !w.DetailLb->isHidden() &&
                            w.PgLb->text() == QStringLiteral("Done.") && w.CopyPrgs->value() == w.CopyPrgs->maximum();
      if (!running && !cancelling && !finished) {
        return QStringLiteral("progress panel in no state: caption %1, enabled %2, transferring %3, thread %4, "
                              "shape %5, detail %6, label %7")
            .arg(caption)
            .arg(w.CancelBtn->isEnabled())
            .arg(w.Transferring)
            .arg(w.CopyThreadAlive())
            .arg(shape)
            .arg(!w.DetailLb->isHidden())
            .arg(w.PgLb->text());
      }
      // After a loss the transfer has been stopped and waited for.
      if (err && running) return QStringLiteral("a transfer runs under \"No device found\"");
    }

    if (err) {
      if (w.ErrLb->text() != QStringLiteral("No device found")) return QStringLiteral("overlay says ") + w.ErrLb->text();
      if (w.AlbumLstList->topLevelItemCount() != 0) return QStringLiteral("tree not empty under \"No device found\"");
      if (anyEnabled) return QStringLiteral("browsing enabled under \"No device found\"");
      if (!w.GoPnl->isHidden()) return QStringLiteral("the drop-down open under \"No device found\"");
      if (!w.StatusLb->text().isEmpty() && w.StatusLb->text() != kLost) {
        return QStringLiteral("status under \"No device found\": ") + w.StatusLb->text();
      }
      return {};
    }
    if (copy) return {};

    // Browsing.
    if (!allEnabled) return QStringLiteral("browsing controls disabled with no overlay up");
    if (w.CopyThreadAlive()) return QStringLiteral("a transfer thread alive while browsing");
    TIpodPhotoDb* db = w.Db();
    if (db == nullptr || w.AlbumLstList->topLevelItemCount() == 0 || w.AlbumLstList->currentItem() == nullptr) {
      return QStringLiteral("browsing with no library, tree or album chosen");
    }
    const int page = w.SelectPage->text().toInt(), pages = w.MaxPage->text().toInt();
    if (page < 1 || page > std::max(1, pages)) return QStringLiteral("page %1 of %2").arg(page).arg(pages);
    if (w.PrvBtn->isVisible() != (page > 1) || w.NxtBtn->isVisible() != (page < pages)) {
      return QStringLiteral("page buttons on page %1 of %2: back %3, next %4")
          .arg(page)
          .arg(pages)
          .arg(w.PrvBtn->isVisible())
          .arg(w.NxtBtn->isVisible());
    }
    TQtCellArea& area = w.CellArea();
    if (w.ShownCount != QString::number(area.CellCount())) {
      return QStringLiteral("%1 cells shown, %2 counted").arg(area.CellCount()).arg(w.ShownCount);
    }
    const bool camera = w.SelectedNodeIsCamera();
    for (int c = 0; c < area.CellCount(); ++c) {
      const auto id = static_cast<std::size_t>(area.CellId(c));
      const bool model = camera ? db->CamPhotos && id < db->CamPhotos->Count() && db->CamPhotos->Items(id).Selected
                                : id < db->Photos.Count() && db->Photos.Items(id).Selected;
      if (area.Cell(c)->Selected() != model) return QStringLiteral("cell %1 shows a selection the library lacks").arg(c);
    }
    std::int64_t selected = db->Photos.SelectedCount, total = static_cast<std::int64_t>(db->Photos.Count());
    if (db->CamPhotos) {
      selected += db->CamPhotos->SelectedCount;
      total += static_cast<std::int64_t>(db->CamPhotos->Count());
    }
    const QString status = selected > 0 ? QStringLiteral("%1 photos  ( Selected %2 photos / Total %3 photos )")
                                              .arg(w.ShownCount)
                                              .arg(selected)
                                              .arg(total)
                                        : QStringLiteral("%1 photos  ( Total %2 photos )").arg(w.ShownCount).arg(total);
    if (w.StatusLb->text() != status) return QStringLiteral("status \"%1\", not \"%2\"").arg(w.StatusLb->text(), status);
    return {};
  }

  // Whether the window shows what the device object holds, and nothing of
  // a device when none is attached.
  QString DeviceProblem() {
    TIpodPhotoFrm& w = *frm_;
    const bool shown = w.ErrPnl->isHidden();
    if (shown != w.Device()->Connected.load()) {
      return QStringLiteral("the window shows %1 while the device object is %2")
          .arg(shown ? QStringLiteral("a device") : QStringLiteral("none"))
          .arg(w.Device()->Connected ? QStringLiteral("connected") : QStringLiteral("not connected"));
    }
    if (!disk_plugged_ && !ios_present_ && w.Device()->Connected) return QStringLiteral("connected to no device");
    return {};
  }

  QString DeviceText() {
    TIpodDevice& d = *frm_->Device();
    return QStringLiteral("(device: connected %1, iOS %2, disk %3, drive \"%4\"; world: iPod %5, iPhone %6)")
        .arg(d.Connected.load())
        .arg(d.IsIos.load())
        .arg(d.DiskFound.load())
        .arg(QString::fromStdString(d.Drive))
        .arg(disk_plugged_)
        .arg(ios_present_);
  }

  // Waits for what the step set going (hand-overs of the library's thread,
  // the join of a transfer thread) before the check: a state may pass
  // through others, but must settle in one of the table's.
  void CheckState() {
    if (!Live()) return;
    QElapsedTimer clock;
    clock.start();
    QString problem;
    for (;;) {
      QCoreApplication::processEvents();
      if (!Live()) return;
      problem = StateProblem();
      if (problem.isEmpty()) problem = DeviceProblem();
      if (problem.isEmpty()) return;
      if (clock.elapsed() > 5000) break;
      QTest::qWait(2);
    }
    ++wrong_states_;
    std::fprintf(stderr, "soak: WRONG STATE after step %ld: %s %s\nsoak: the steps before it:\n", steps_,
                 qPrintable(problem), qPrintable(DeviceText()));
    for (const QString& step : recent_) std::fprintf(stderr, "soak:   %s\n", qPrintable(step));
    // Goes on from a fresh start rather than counting the same fault again.
    EndTransfer();
    frm_->close();
    ReopenIfClosed();
  }

  // Stops a running transfer through the window and waits for its end.
  void EndTransfer() {
    if (!frm_ || frm_->Device() == nullptr) return;
    if (frm_->Transferring) ClickControl(frm_->CancelBtn);
    QTRY_VERIFY_WITH_TIMEOUT(!frm_->Transferring && !frm_->CopyThreadAlive(), 60000);
  }

  // ---- The steps ----------------------------------------------------------

  void BuildSteps() {
    auto add = [this](const char* name, int weight, std::function<QWidget*(TIpodPhotoFrm&)> pick) {
      clicks_.push_back({name, weight, [this, pick] {
                           if (Live()) ClickControl(pick(*frm_));
                         }});
    };
    add("CloseBtn", 1, [](TIpodPhotoFrm& w) { return w.CloseBtn; });
    add("CheckBtn", 4, [](TIpodPhotoFrm& w) { return w.CheckBtn; });
    add("ExportBtn", 6, [](TIpodPhotoFrm& w) { return w.ExportBtn; });
    add("NxtBtn", 5, [](TIpodPhotoFrm& w) { return w.NxtBtn; });
    add("PrvBtn", 3, [](TIpodPhotoFrm& w) { return w.PrvBtn; });
    add("HelpBtn", 1, [](TIpodPhotoFrm& w) { return w.HelpBtn; });
    add("StopBtn", 1, [](TIpodPhotoFrm& w) { return w.StopBtn; });
    add("CancelBtn", 7, [](TIpodPhotoFrm& w) { return w.CancelBtn; });
    add("DefaultBtn", 2, [](TIpodPhotoFrm& w) { return w.DefaultBtn; });
    add("BrowseBtn", 2, [](TIpodPhotoFrm& w) { return w.BrowseBtn; });
    add("AdBtn", 1, [](TIpodPhotoFrm& w) { return w.AdBtn; });
    add("ToPcBtn", 9, [](TIpodPhotoFrm& w) { return w.ToPcBtn; });
    add("WebLb", 1, [](TIpodPhotoFrm& w) { return w.WebLb; });
    add("HlpLb", 1, [](TIpodPhotoFrm& w) { return w.HlpLb; });
    add("DetailLb", 2, [](TIpodPhotoFrm& w) { return w.DetailLb; });
    add("IphoneErrLb", 1, [](TIpodPhotoFrm& w) { return w.IphoneErrLb; });
    clicks_.push_back({"tree node", 7, [this] { ClickTreeNode(); }});
    clicks_.push_back({"cell", 9, [this] { ClickCell(); }});
    clicks_.push_back({"anywhere", 4, [this] { ClickAnywhere(); }});
    clicks_.push_back({"right click on the cells", 3, [this] { RightClickCells(); }});
    clicks_.push_back({"menu item", 6, [this] { ClickMenuItem(); }});
    clicks_.push_back({"key", 5, [this] { PressKey(); }});

    steps_table_ = clicks_;
    steps_table_.push_back({"type a folder", 4, [this] { TypeFolder(); }});
    steps_table_.push_back({"drag", 1, [this] { DragSomething(); }});
    steps_table_.push_back({"iPod in or out", 4, [this] {
                              const bool plug = !disk_plugged_;
                              Sometime(plug ? "iPod in" : "iPod out", [this, plug] { SetDiskPlugged(plug); });
                            }});
    steps_table_.push_back({"iPhone in or out", 4, [this] { Sometime("iPhone in or out", [this] { ToggleIos(); }); }});
    steps_table_.push_back({"a click later", 4, [this] {
                              const TStep& click = Weighted(clicks_);
                              const int delay = 1 + Pick(300);
                              Note(QStringLiteral("  (%1 in %2 ms)").arg(QLatin1String(click.Name)).arg(delay));
                              QTimer::singleShot(delay, this, [this, run = click.Run] {
                                if (!stopping_) run();
                              });
                            }});
    steps_table_.push_back({"wait", 4, [this] { QTest::qWait(5 + Pick(200)); }});
  }

  const TStep& Weighted(const std::vector<TStep>& table) {
    int total = 0;
    for (const TStep& step : table) total += step.Weight;
    int at = Pick(total);
    for (const TStep& step : table) {
      if (at < step.Weight) return step;
      at -= step.Weight;
    }
    return table.back();
  }

  // ---- The end --------------------------------------------------------------

  void ClickMenuAction(QMenu* menu, QAction* action) {
    QTRY_VERIFY(menu->isVisible());
    ClickIn(menu, Qt::LeftButton, menu->actionGeometry(action).center());
  }

  void SelectAllIn(const QString& node) {
    const auto found = frm_->AlbumLstList->findItems(node, Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(node));
    ClickIn(frm_->AlbumLstList->viewport(), Qt::LeftButton,
            frm_->AlbumLstList->visualItemRect(found.first()).center());
    QCOMPARE(frm_->AlbumLstList->currentItem(), found.first());
    ClickControl(frm_->CheckBtn);
    ClickMenuAction(frm_->SongPop, frm_->AllMnu);
  }

  // From whatever the soak left: no transfer, the iPhone out, the iPod in
  // and shown; then everything of the iPod into a fresh folder.
  void CleanTransfer() {
    ReopenIfClosed();
    EndTransfer();
    if (QTest::currentTestFailed()) return;
    if (!frm_->CopyPnl->isHidden()) ClickControl(frm_->CancelBtn);
    if (ios_present_) ToggleIos();
    QTRY_VERIFY_WITH_TIMEOUT(!frm_->Device()->IsIos, 10000);
    SetDiskPlugged(false);
    SetDiskPlugged(true);
    QTRY_VERIFY2_WITH_TIMEOUT(frm_->ErrPnl->isHidden() && frm_->AlbumLstList->topLevelItemCount() > 0,
                              qPrintable(StateProblem() + QLatin1Char(' ') + DeviceText()), 10000);
    QVERIFY2(StateProblem().isEmpty(), qPrintable(StateProblem()));

    SelectAllIn(QStringLiteral("All Pictures"));
    SelectAllIn(QStringLiteral("Camera Photos"));
    QCOMPARE(frm_->Db()->Photos.SelectedCount, kIpodPhotos);
    ClickControl(frm_->ExportBtn);
    QVERIFY(frm_->GoPnl->isVisible());
    ClickControl(frm_->DestEdt);
    QTest::keyClick(frm_->windowHandle(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(frm_->DestEdt, clean_);
    QCOMPARE(frm_->DestEdt->text(), clean_);
    const int ended = transfers_ended_;
    ClickControl(frm_->ToPcBtn);
    QVERIFY(frm_->Transferring);
    QTRY_VERIFY_WITH_TIMEOUT(transfers_ended_ > ended && !frm_->CopyThreadAlive(), 120000);
    QVERIFY2(StateProblem().isEmpty(), qPrintable(StateProblem()));
    QCOMPARE(frm_->CancelBtn->Caption(), QStringLiteral("Done"));
    QCOMPARE(ReportedWritten(frm_->TransferLog), kIpodPhotos + 2);
    QCOMPARE(QDir(clean_).entryList(QDir::Files | QDir::Hidden).size(), kIpodPhotos + 2);
    ClickControl(frm_->CancelBtn);
    QVERIFY(frm_->CopyPnl->isHidden());
    QVERIFY2(StateProblem().isEmpty(), qPrintable(StateProblem()));
    QVERIFY(frm_->close());
  }

  // Every file the soak's transfers left is whole (the bytes a clean
  // transfer or the device gives under its name), none is temporary, and
  // their number is what the logs reported written.
  void CheckDestinations() {
    std::multimap<QString, QByteArray> whole;
    for (const QString& name : QDir(clean_).entryList(QDir::Files)) {
      QFile file(clean_ + QLatin1Char('/') + name);
      QVERIFY(file.open(QIODevice::ReadOnly));
      whole.emplace(name, file.readAll());
    }
    for (int id = 1; id <= kIosAssets; ++id) {
      const QString name = QStringLiteral("IMG_000%1.JPG").arg(id);
      whole.emplace(name, QByteArray("original bytes of ") + name.toLatin1());
    }
    int files = 0;
    // A folder typed and then shortened by a key may lie anywhere in the
    // soak's folder, even on the iPod while the iPhone is the device.
    QDirIterator it(QString::fromStdString(dir_->Path()), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      if (fixtures_.contains(path) || path.startsWith(clean_ + QLatin1Char('/'))) continue;
      ++files;
      const QString name = it.fileName();
      QVERIFY2(!name.startsWith(QStringLiteral(".~ip")), qPrintable(QStringLiteral("temporary file left: ") + path));
      QFile file(path);
      QVERIFY(file.open(QIODevice::ReadOnly));
      const QByteArray bytes = file.readAll();
      bool matched = false;
      const auto [from, to] = whole.equal_range(BaseName(name));
      for (auto match = from; match != to; ++match) matched = matched || match->second == bytes;
      QVERIFY2(matched, qPrintable(QStringLiteral("not whole: ") + path));
    }
    std::fprintf(stderr, "soak: %d files in the destinations, %d reported written\n", files, reported_written_);
    if (files != reported_written_ - (kIpodPhotos + 2)) {
      for (const auto& [folder, written] : reported_by_folder_) {
        std::fprintf(stderr, "soak:   %s: %d reported, %d there\n", qPrintable(folder), written,
                     static_cast<int>(QDir(folder).entryList(QDir::Files | QDir::Hidden).size()));
      }
    }
    // The clean transfer's files are reported too, in their own folder.
    QCOMPARE(files, reported_written_ - (kIpodPhotos + 2));
  }

private Q_SLOTS:
  void initTestCase() {
    gui_thread_ = std::this_thread::get_id();
    standard_handler = qInstallMessageHandler(QuietOffscreenNotes);
    TSimDevice::UseForProcess(kSimLibrary);
  }

  void Soak() {
    const long seconds = EnvNumber("QUILL_SOAK_SECONDS", 3);
    const auto seed = static_cast<std::uint64_t>(EnvNumber("QUILL_SOAK_SEED", static_cast<long>(std::random_device{}() & 0x7fffffff)));
    trace_ = EnvNumber("QUILL_SOAK_TRACE", 0) != 0;
    rng_.seed(seed);
    std::printf("soak: seed %llu, %ld s (QUILL_SOAK_SEED=%llu replays it)\n", static_cast<unsigned long long>(seed),
                seconds, static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    dir_ = std::make_unique<testing::TTempDir>();
    platform_ = std::make_unique<testing::TFakePlatform>();
    ipod_ = QString::fromStdString(*dir_ / "ipod");
    dest_ = QString::fromStdString(*dir_ / "dest");
    clean_ = QString::fromStdString(*dir_ / "clean");
    platform_->Pictures = dest_.toStdString() + "/Pictures/";
    platform_->RemovableMountPoints.insert(ipod_.toStdString());
    std::vector<std::uint8_t> cameraJpeg;
    EncodeJpeg(testing::TestPicture(64, 48, 7), 80, cameraJpeg);
    testing::WriteIpod(IpodLibrary(cameraJpeg), ipod_.toStdString());
    testing::WritePhotosSqliteLibrary(IosLibrary(), *dir_ / "iphone");
    std::filesystem::create_directories(dest_.toStdString());
    testing::WriteFile(dest_.toStdString() + "/blocker", {'x'});
    for (QDirIterator it(QString::fromStdString(dir_->Path()), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
      fixtures_ << it.next();
    }
    fixtures_ << QString::fromStdString(*dir_ / "settings.ini") << QString::fromStdString(*dir_ / "sim.conf");
    // A typed folder that is relative lands in the soak's own folder.
    QVERIFY(QDir::setCurrent(dest_));
    // Typed folders are relative: typing cut short by a click elsewhere
    // leaves a part of one, which must still lie in the soak's folder. The
    // folder browser and "Default" give whole paths.
    folders_ = {QStringLiteral("a"),        QStringLiteral("b/"),        QStringLiteral("  a  "),
                QString(),                  QStringLiteral("   "),       QStringLiteral("../ipod/out"),
                QStringLiteral("blocker/sub"), QStringLiteral("with space"), QStringLiteral("c/deeper")};
    shell_.Folder = [this] {
      return Chance(30) ? QString() : dest_ + (Chance(50) ? QStringLiteral("/a") : QStringLiteral("/browsed/"));
    };
    boxes_.Answer = [this] { return Chance(50); };
    // The transfer thread's file operations take a little time, so that
    // clicks and removals land inside transfers.
    const std::string root = dir_->Path() + "/";
    platform_->BeforeFileOp = [this, root](const std::string& op, const std::string& path) {
      if ((op == "write" || op == "copy" || op == "mkdir" || op == "replace") &&
          std::filesystem::absolute(path).string().rfind(root, 0) != 0 &&
          path.find("/quillmere-") == std::string::npos) {  // the library's private copies
        ++escaped_writes_;
        std::fprintf(stderr, "soak: %s outside the soak's folder: %s\n", op.c_str(), path.c_str());
      }
      if (std::this_thread::get_id() != gui_thread_) std::this_thread::sleep_for(std::chrono::microseconds(300));
    };
    BuildSteps();

    QTimer modal;
    QObject::connect(&modal, &QTimer::timeout, this, [this] { CloseModalWindows(); });
    modal.start(40);

    if (Chance(50)) SetDiskPlugged(true);
    OpenWindow();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000 && !QTest::currentTestFailed()) {
      ReopenIfClosed();
      const TStep& step = Weighted(steps_table_);
      ++steps_;
      Note(QStringLiteral("%1 %2").arg(steps_).arg(QLatin1String(step.Name)));
      step.Run();
      CheckState();
    }
    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;
    stopping_ = true;
    while (QApplication::activePopupWidget() != nullptr) QApplication::activePopupWidget()->close();

    CleanTransfer();
    modal.stop();
    if (!QTest::currentTestFailed()) CheckDestinations();
    frm_.reset();
    std::printf("soak-figures\t%ld\t%d\t%d\t%.0f\t%.1f\t%llu\n", steps_, wrong_states_, transfers_ended_,
                static_cast<double>(steps_) * 60.0 / std::max(elapsed, 0.001), elapsed,
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    QCOMPARE(wrong_states_, 0);
    QCOMPARE(escaped_writes_.load(), 0);
  }

  void cleanupTestCase() {
    frm_.reset();
    platform_.reset();
    QDir::setCurrent(QDir::tempPath());
    dir_.reset();
  }
};

}  // namespace quill

QTEST_MAIN(quill::IpodPhotoFrmSoakTest)
#include "ipod_photo_frm_soak_test.moc"
