#include "ui/toolkit_controls.h"

#include <QMouseEvent>
#include <QPainter>

namespace quill {

TImageBox::TImageBox(QWidget* parent, const QImage& picture) : QWidget(parent), picture_(picture) {}

void TImageBox::SetPicture(const QImage& picture) {
  picture_ = picture;
  update();
}

void TImageBox::paintEvent(QPaintEvent*) {
  if (picture_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(rect(), picture_);
}

void TImageBox::mousePressEvent(QMouseEvent* event) {
  if (OnMouseDown) {
    OnMouseDown(event);
  } else {
    QWidget::mousePressEvent(event);
  }
}

TShapeBox::TShapeBox(QWidget* parent, const QColor& fill, std::optional<QColor> edge)
    : QWidget(parent), fill_(fill), edge_(edge) {}

void TShapeBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), fill_);
  if (edge_) {
    painter.setPen(*edge_);
    painter.drawRect(0, 0, width() - 1, height() - 1);
  }
}

}  // namespace quill
