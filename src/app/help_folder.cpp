#include "app/help_folder.h"

#include <QDir>
#include <QFileInfo>

namespace quill {

QString HelpFolder(const QString& programFolder) {
  const QDir program(programFolder);
  const QString beside = program.filePath(QStringLiteral("help"));
  if (QFileInfo(beside).isDir()) return beside;
  const QString installed =
      QDir::cleanPath(program.filePath(QStringLiteral(QUILL_HELP_FROM_PROGRAM)));
  return QFileInfo(installed).isDir() ? installed : beside;
}

}  // namespace quill
