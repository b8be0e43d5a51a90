#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <functional>

namespace quill {

// The modal "Detail log" window: the stored first line, then the log of the
// last transfer. Made anew each time it is opened.
class TIpodLogFrm : public QDialog {
public:
  // log: lines separated by CR LF; onHelp opens the help topic on fixes.
  TIpodLogFrm(QWidget* owner, const QString& log, std::function<void()> onHelp);

  QPlainTextEdit* LogMem;
  QPushButton* HelpBtn;
  QPushButton* CloseBtn;

  static const QString kFirstLine;
};

}  // namespace quill
