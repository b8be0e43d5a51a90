// Walks the window through the states a user meets, on the folder device
// given, and saves a picture of the screen in each into the output folder.
// Run under a display server (scripts/screenshots uses Xvfb).
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/ipod_photo_frm.h"
#include "app/message_boxes.h"

namespace {

// Answers every message on the console, so that the tour never blocks.
class TConsoleBoxes : public quill::TMessageBoxes {
public:
  void Warning(const QString& text) override { Print("warning", text); }
  void Error(const QString& text) override { Print("error", text); }
  void Information(const QString& text) override { Print("information", text); }
  bool Confirm(const QString& text) override {
    Print("confirm (answered No)", text);
    return false;
  }

private:
  static void Print(const char* kind, const QString& text) {
    std::fprintf(stderr, "%s: %s\n", kind, text.toUtf8().constData());
  }
};

class TNoShell : public quill::TShell {
public:
  bool OpenUrl(const QUrl& url) override {
    std::fprintf(stderr, "open %s\n", url.toString().toUtf8().constData());
    return true;
  }
  QString ChooseFolder(QWidget*, const QString&) override { return {}; }
};

void Settle(int ms = 150) {
  QTimer timer;
  timer.setSingleShot(true);
  QEventLoop loop;
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  loop.exec();
}

bool Save(const QString& folder, const QString& name, const QRect& area) {
  Settle();
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  const QString path = QDir(folder).filePath(name);
  const bool ok = shot.save(path);
  std::fprintf(stderr, "%s %s\n", ok ? "saved" : "could not save", path.toUtf8().constData());
  return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() != 4) {
    std::fprintf(stderr, "usage: quillmere-photo-tour DEVICE_FOLDER OUTPUT_FOLDER SETTINGS_FILE\n");
    return 2;
  }
  const QString device = QDir(args[1]).absolutePath();
  const QString out = QDir(args[2]).absolutePath();
  QDir().mkpath(out);

  auto platform = quill::CreateNativePlatform();
  TConsoleBoxes boxes;
  TNoShell shell;
  quill::TFrmOptions options;
  options.ProgramFolder = QApplication::applicationDirPath();
  options.SettingsFile = args[3];
  options.WatchMounts = false;

  int failures = 0;
  auto area = [](QWidget& w, int extraWidth = 0, int extraHeight = 0) {
    return QRect(w.pos(), w.size() + QSize(extraWidth, extraHeight)).adjusted(-10, -10, 10, 10);
  };
  {
    quill::TIpodPhotoFrm empty(*platform, boxes, shell, options);
    empty.move(20, 20);
    empty.show();
    if (!Save(out, QStringLiteral("1-no-device.png"), area(empty))) ++failures;
  }

  options.DeviceFolder = device;
  quill::TIpodPhotoFrm window(*platform, boxes, shell, options);
  window.move(20, 20);
  window.show();
  const QString destination = QDir(out).filePath(QStringLiteral("transferred"));
  window.DestEdt->setText(destination);
  if (!Save(out, QStringLiteral("2-first-album-page.png"), area(window))) ++failures;

  // Select a few cells by click, then open the selection menu.
  for (int c = 0; c < window.CellArea().CellCount() && c < 5; c += 2) window.Db()->PhotoCellClick(c);
  window.CheckBtnClick();
  if (!Save(out, QStringLiteral("3-selection-menu.png"), area(window))) ++failures;
  window.SongPop->hide();

  window.ExportBtnClick();
  if (!Save(out, QStringLiteral("4-transfer-drop-down.png"), area(window))) ++failures;

  // The picture of a running transfer is taken while the worker waits on
  // its second hand-over.
  bool running = false;
  QObject::connect(window.CopyPrgs, &QProgressBar::valueChanged, &window, [&](int value) {
    if (value == 2 && !running) {
      running = true;
      window.PgLb->repaint();
      if (!Save(out, QStringLiteral("5-transfer-running.png"), area(window))) ++failures;
    }
  });
  window.ToPcBtnClick();
  while (window.Transferring) Settle(50);
  if (!running) {
    std::fprintf(stderr, "the transfer ended before its picture was taken\n");
    ++failures;
  }
  if (!Save(out, QStringLiteral("6-transfer-done.png"), area(window))) ++failures;

  QTimer::singleShot(400, &window, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      ++failures;
      return;
    }
    if (!Save(out, QStringLiteral("7-log-window.png"), dialog->frameGeometry())) ++failures;
    dialog->reject();
  });
  window.DetailLbClick();
  window.CancelBtnClick();
  window.close();
  return failures == 0 ? 0 : 1;
}
