#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QScreen>
#include <cstdio>
#include <cstring>

#include "app/ipod_photo_frm.h"
#include "app/message_boxes.h"
#include "support/sqlite_database.h"

int main(int argc, char* argv[]) {
  // Answered before the application connects to a display, so that it works
  // on a console as well.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
      std::printf("quillmere-photo (Quillmere Photo) %s\n", QUILL_VERSION);
      return 0;
    }
  }
  // Made before any window and gone after the last: declared first, it
  // outlives the window and every database connection of its libraries.
  const quill::TSQLiteLibrary sqlite;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmere Photo"));
  QApplication::setApplicationVersion(QStringLiteral(QUILL_VERSION));
  QApplication::setOrganizationName(QStringLiteral("Quillmere"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quillmere Photo"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Copies the photos of an iPod to a folder on this computer."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption device(QStringLiteral("device"),
                                  QStringLiteral("Take the folder DIR as the connected iPod instead of looking for one."),
                                  QStringLiteral("DIR"));
  parser.addOption(device);
  parser.process(app);

  quill::TFrmOptions options;
  options.ProgramFolder = QApplication::applicationDirPath();
  if (parser.isSet(device)) options.DeviceFolder = QDir(parser.value(device)).absolutePath();

  auto platform = quill::CreateNativePlatform();
  quill::TQtMessageBoxes boxes;
  quill::TQtShell shell;
  quill::TIpodPhotoFrm window(*platform, boxes, shell, options);
  boxes.SetParent(&window);
  // Centred on the desktop at start.
  if (const QScreen* screen = window.screen()) {
    window.move(screen->availableGeometry().center() - window.rect().center());
  }
  window.show();
  return app.exec();
}
