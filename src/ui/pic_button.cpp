#include "ui/pic_button.h"

#include <QBitmap>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace quill {

TPicButton::TPicButton(QWidget* parent) : QWidget(parent) {
  // A click must not pull the keyboard focus away from panels that hide
  // when they lose it.
  setFocusPolicy(Qt::NoFocus);
}

QImage TPicButton::MakeGrayBitmap(const QImage& source) {
  if (source.isNull()) return {};
  QImage target = source.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < target.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(target.scanLine(y));
    for (int x = 0; x < target.width(); ++x) {
      const int v = (qBlue(row[x]) + qGreen(row[x]) + qRed(row[x]) + 128) / 4;
      row[x] = qRgb(v, v, v);
    }
  }
  return target;
}

void TPicButton::UpdateDisabledBitmap(bool force) {
  if (!force && disabled_bitmap_valid_) return;
  disabled_bitmap_ = MakeGrayBitmap(bitmap_);
  disabled_bitmap_valid_ = !disabled_bitmap_.isNull();
}

void TPicButton::BuildRegion() {
  if (bitmap_.isNull()) {
    clearMask();
    return;
  }
  const QImage opaque = bitmap_.convertToFormat(QImage::Format_RGB32);
  // The region of a bitmap covers its 0 bits, so the transparent colour's
  // pixels must be the 1 bits (the "in colour" mask).
  const QImage mask = opaque.createMaskFromColor(transparent_color_.rgb(), Qt::MaskInColor);
  const QRegion region(QBitmap::fromImage(mask));
  // A picture made only of the transparent colour leaves the whole button visible.
  if (region.isEmpty()) {
    clearMask();
  } else {
    setMask(region);
  }
}

void TPicButton::SetBitmap(const QImage& value) {
  if (value.isNull()) return;
  bitmap_ = value.convertToFormat(QImage::Format_RGB32);
  resize(bitmap_.size());
  BuildRegion();
  UpdateDisabledBitmap(true);
  update();
}

void TPicButton::LoadPicture(const QImage& value) {
  bitmap_ = value.convertToFormat(QImage::Format_RGB32);
  update();
}

void TPicButton::SetDownBitmap(const QImage& value) {
  if (value.isNull()) return;
  down_bitmap_ = value.convertToFormat(QImage::Format_RGB32);
}

void TPicButton::SetTransparentColor(const QColor& value) {
  transparent_color_ = value;
  BuildRegion();
  update();
}

void TPicButton::SetCaptionPosition(TCaptionPos value) {
  caption_position_ = value;
  update();
}

void TPicButton::SetSpace(int value) {
  if (value >= 0) space_ = value;
  update();
}

void TPicButton::SetFontColor(const QColor& value) {
  font_color_ = value;
  update();
}

void TPicButton::SetCaption(const QString& value) {
  if (value == caption_) return;
  caption_ = value;
  update();
}

void TPicButton::SetDown(bool value) {
  if (group_index_ == 0) value = false;
  if (value == down_ || (down_ && !allow_all_up_)) return;
  down_ = value;
  NotifyGroup();
  update();
}

void TPicButton::SetGroupIndex(int value) {
  if (value == group_index_) return;
  group_index_ = value;
  if (value == 0) {
    down_ = false;
    update();
  }
  NotifyGroup();
}

void TPicButton::SetAllowAllUp(bool value) {
  if (value == allow_all_up_) return;
  allow_all_up_ = value;
  NotifyGroup();
}

void TPicButton::NotifyGroup() {
  if (group_index_ == 0 || parentWidget() == nullptr) return;
  for (QObject* child : parentWidget()->children()) {
    if (auto* button = dynamic_cast<TPicButton*>(child)) button->ButtonPressed(group_index_, this);
  }
}

void TPicButton::ButtonPressed(int groupIndex, TPicButton* sender) {
  if (groupIndex != group_index_ || sender == this) return;
  if (sender->down_ && down_) {
    down_ = false;
    update();
  }
  allow_all_up_ = sender->allow_all_up_;
}

void TPicButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    if (!isEnabled()) {
      UpdateDisabledBitmap(false);
      hot_ = false;
    }
    update();
  }
  QWidget::changeEvent(event);
}

void TPicButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage* picture = &bitmap_;
  if (!isEnabled()) {
    UpdateDisabledBitmap(false);
    picture = &disabled_bitmap_;
  } else if (down_ && !down_bitmap_.isNull()) {
    picture = &down_bitmap_;
  }
  if (!picture->isNull()) painter.drawImage(0, 0, *picture);
  if (caption_.isEmpty()) return;

  painter.setFont(font());
  const QFontMetrics metrics(font());
  const int textWidth = metrics.horizontalAdvance(caption_);
  int x = 0;
  switch (caption_position_) {
    case TCaptionPos::cpLeft:
      x = space_;
      break;
    case TCaptionPos::cpRight:
      x = width() - textWidth - 3;
      break;
    case TCaptionPos::cpCenter:
      x = (width() - textWidth) / 2;
      break;
  }
  const int y = (height() - metrics.height()) / 2;
  QColor color = font_color_;
  if (!isEnabled()) {
    color = QColor(0x60, 0x60, 0x60);
  } else if (down_) {
    color = down_font_color_;
  } else if (hot_) {
    color = hot_font_color_;
  }
  painter.setPen(color);
  painter.drawText(x, y + metrics.ascent(), caption_);
}

void TPicButton::enterEvent(QEnterEvent* event) {
  if (isEnabled()) {
    hot_ = true;
    update();
  }
  QWidget::enterEvent(event);
}

void TPicButton::leaveEvent(QEvent* event) {
  if (isEnabled()) {
    hot_ = false;
    update();
  }
  QWidget::leaveEvent(event);
}

void TPicButton::mousePressEvent(QMouseEvent* event) {
  if (!isEnabled() || event->button() != Qt::LeftButton) return;
  pressed_inside_ = true;
  if (!down_) {
    down_ = true;
    NotifyGroup();
    update();
  }
}

void TPicButton::mouseReleaseEvent(QMouseEvent* event) {
  if (!isEnabled() || event->button() != Qt::LeftButton) return;
  if (down_ && !checked_) {
    down_ = false;
    update();
  }
  const bool click = pressed_inside_ && rect().contains(event->position().toPoint());
  pressed_inside_ = false;
  if (click && OnClick) OnClick();
}

}  // namespace quill
