#include "ui/log_window.h"

#include <QWidget>

#include "ui/skin.h"

namespace quill {

const QString TIpodLogFrm::kFirstLine = QStringLiteral("Please include this log when contacting us.");

TIpodLogFrm::TIpodLogFrm(QWidget* owner, const QString& log, std::function<void()> onHelp) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Detail log"));
  setFont(WindowFont());
  setFixedSize(428, 345);
  setSizeGripEnabled(false);

  LogMem = new QPlainTextEdit(this);
  LogMem->setReadOnly(true);
  LogMem->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogMem->setGeometry(0, 0, 428, 345 - 53);
  QString text = kFirstLine + QLatin1Char('\n') + log;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  LogMem->setPlainText(text);

  auto* actPnl = new QWidget(this);
  actPnl->setGeometry(0, 345 - 53, 428, 53);
  HelpBtn = new QPushButton(QStringLiteral("How to fix this issue (click here)"), actPnl);
  HelpBtn->setGeometry(8, 16, 225, 25);
  CloseBtn = new QPushButton(QStringLiteral("Close"), actPnl);
  CloseBtn->setGeometry(336, 16, 83, 25);
  CloseBtn->setDefault(true);

  QObject::connect(HelpBtn, &QPushButton::clicked, this, [onHelp = std::move(onHelp)] {
    if (onHelp) onHelp();
  });
  QObject::connect(CloseBtn, &QPushButton::clicked, this, &QDialog::reject);
}

}  // namespace quill
