#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <functional>
#include <optional>

namespace quill {

// A picture stretched over the whole control; a left press is reported
// (the title bar starts a window drag with it).
class TImageBox : public QWidget {
public:
  TImageBox(QWidget* parent, const QImage& picture);
  void SetPicture(const QImage& picture);
  std::function<void(QMouseEvent*)> OnMouseDown;

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  QImage picture_;
};

// A rectangle filled with one colour and edged with another (none when empty).
class TShapeBox : public QWidget {
public:
  TShapeBox(QWidget* parent, const QColor& fill, std::optional<QColor> edge);

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QColor fill_;
  std::optional<QColor> edge_;
};

}  // namespace quill
