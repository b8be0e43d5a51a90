#include "ui/photo_control.h"

#include <QMouseEvent>
#include <QPainter>

namespace quill {

TPhotoControl::TPhotoControl(QWidget* parent) : QWidget(parent) {}

void TPhotoControl::SetPicture(const QImage& picture) {
  picture_ = picture;
  update();
}

void TPhotoControl::SetSelected(bool selected) {
  if (selected == selected_) return;
  selected_ = selected;
  update();
}

void TPhotoControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!picture_.isNull()) painter.drawImage(0, 0, picture_);
  const int right = width() - 1;
  const int bottom = height() - 1;
  if (selected_) {
    // Two pixels wide, inside the cell on every side.
    const QColor blue(0x34, 0x6C, 0xC9);
    painter.fillRect(0, 0, width(), 2, blue);
    painter.fillRect(right - 1, 0, 2, height(), blue);
    painter.fillRect(0, bottom - 1, width(), 2, blue);
    painter.fillRect(0, 0, 2, height(), blue);
  } else {
    painter.setPen(QColor(0xD1, 0xD1, 0xD1));
    painter.drawRect(0, 0, right, bottom);
  }
}

void TPhotoControl::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
}

void TPhotoControl::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  if (click && OnClick) OnClick();
}

}  // namespace quill
