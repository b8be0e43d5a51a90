#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace quill {

// The window's modal messages; tests answer them instead of a person. In
// texts, "\r" is a line break.
class TMessageBoxes {
public:
  virtual ~TMessageBoxes() = default;
  virtual void Warning(const QString& text) = 0;
  virtual void Error(const QString& text) = 0;
  virtual void Information(const QString& text) = 0;
  // Yes and No; true for Yes.
  virtual bool Confirm(const QString& text) = 0;
};

// Standard modal message boxes over a parent window.
class TQtMessageBoxes : public TMessageBoxes {
public:
  explicit TQtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  void Warning(const QString& text) override;
  void Error(const QString& text) override;
  void Information(const QString& text) override;
  bool Confirm(const QString& text) override;

private:
  QWidget* parent_;
};

// What the window asks of the desktop: open a document, folder or web page,
// and let the user pick a folder.
class TShell {
public:
  virtual ~TShell() = default;
  virtual bool OpenUrl(const QUrl& url) = 0;
  // The chosen folder without a trailing separator, or empty on cancel.
  virtual QString ChooseFolder(QWidget* parent, const QString& title) = 0;
};

class TQtShell : public TShell {
public:
  bool OpenUrl(const QUrl& url) override;
  QString ChooseFolder(QWidget* parent, const QString& title) override;
};

}  // namespace quill
