#include "app/message_boxes.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>

namespace quill {
namespace {

QString Lines(const QString& text) {
  QString lines = text;
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return lines;
}

}  // namespace

// Each box has the title of its kind.
void TQtMessageBoxes::Warning(const QString& text) {
  QMessageBox::warning(parent_, QStringLiteral("Warning"), Lines(text));
}

void TQtMessageBoxes::Error(const QString& text) {
  QMessageBox::critical(parent_, QStringLiteral("Error"), Lines(text));
}

void TQtMessageBoxes::Information(const QString& text) {
  QMessageBox::information(parent_, QStringLiteral("Information"), Lines(text));
}

bool TQtMessageBoxes::Confirm(const QString& text) {
  return QMessageBox::question(parent_, QStringLiteral("Confirmation"), Lines(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool TQtShell::OpenUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

QString TQtShell::ChooseFolder(QWidget* parent, const QString& title) {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  const QString folder = QFileDialog::getExistingDirectory(parent, title, desktop, QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return {};
  QString native = QDir::toNativeSeparators(folder);
  while (native.size() > 1 && native.endsWith(QDir::separator())) native.chop(1);
  return native;
}

}  // namespace quill
