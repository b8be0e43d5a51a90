#include "ui/progress_shape.h"

#include <QEvent>
#include <QPainter>

namespace quill {

TProgressShape::TProgressShape(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(200);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
  appearance_.OnColorChange = [this] { update(); };
  resize(50, 50);
  active_column_ = block_count_ - 1;
  active_row_ = block_count_ - 1;
}

void TProgressShape::SetPadding(int value) {
  if (value <= 0 || value == padding_) return;
  padding_ = value;
  UpdateBlockSize();
  update();
}

void TProgressShape::SetInterval(std::uint32_t value) {
  if (value != Interval()) timer_.setInterval(static_cast<int>(value));
}

void TProgressShape::SetBlockCount(int value) {
  if (value <= 1 || value == block_count_) return;
  block_count_ = value;
  UpdateBlockSize();
  update();
}

void TProgressShape::Loaded() {
  UpdateBlockSize();
  active_column_ = block_count_ - 1;
  active_row_ = block_count_ - 1;
  if (isEnabled()) {
    timer_.start();
  } else {
    timer_.stop();
  }
}

TBlockRect TProgressShape::InnerRect() const {
  const int shrink = appearance_.BorderColor() ? 3 : 2;
  return {shrink, shrink, width() - shrink, height() - shrink};
}

void TProgressShape::UpdateBlockSize() {
  const TBlockRect inner = InnerRect();
  const int gaps = (block_count_ - 1) * padding_;
  block_width_ = (inner.Right - inner.Left - gaps) / block_count_;
  block_height_ = (inner.Bottom - inner.Top - gaps) / block_count_;
}

TBlockRect TProgressShape::BlockRect(int column, int row) const {
  if (column >= block_count_ || row >= block_count_ || column < 0 || row < 0) return {};
  const TBlockRect inner = InnerRect();
  TBlockRect r;
  r.Left = inner.Right - column * padding_ - (column + 1) * block_width_;
  r.Right = r.Left + block_width_;
  r.Top = inner.Bottom - row * padding_ - (row + 1) * block_height_;
  r.Bottom = r.Top + block_height_;
  return r;
}

void TProgressShape::Step() {
  const int last = block_count_ - 1;
  int& c = active_column_;
  int& r = active_row_;
  const int oldColumn = c, oldRow = r;
  if (r == last) {
    if (c > 0) {
      --c;
    } else {
      --r;
    }
  } else if (c == 0) {
    if (r <= 0) {
      ++c;
    } else {
      --r;
    }
  } else if (r == 0) {
    if (c < last) {
      ++c;
    } else {
      ++r;
    }
  } else if (c == last) {
    if (r >= last) {
      --c;
    } else {
      ++r;
    }
  }
  RepaintBlock(oldColumn, oldRow);
  RepaintBlock(c, r);
}

void TProgressShape::RepaintBlock(int column, int row) {
  const TBlockRect b = BlockRect(column, row);
  if (b.Left < 0 && b.Right < 0) return;
  update(QRect(b.Left, b.Top, b.Right - b.Left, b.Bottom - b.Top));
}

void TProgressShape::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (const auto back = appearance_.BackGroundColor()) painter.fillRect(rect(), *back);
  if (const auto border = appearance_.BorderColor()) {
    painter.setPen(*border);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(0, 0, width() - 1, height() - 1);
  }
  for (int c = 0; c < block_count_; ++c) {
    for (int r = 0; r < block_count_; ++r) {
      const auto color = (c == active_column_ && r == active_row_) ? appearance_.BlockColorActive()
                                                                  : appearance_.BlockColor();
      if (!color) continue;
      const TBlockRect b = BlockRect(c, r);
      painter.fillRect(QRect(b.Left, b.Top, b.Right - b.Left, b.Bottom - b.Top), *color);
    }
  }
}

void TProgressShape::resizeEvent(QResizeEvent* event) {
  UpdateBlockSize();
  QWidget::resizeEvent(event);
}

void TProgressShape::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) {
    if (isEnabled()) {
      timer_.start();
    } else {
      timer_.stop();
    }
  }
  QWidget::changeEvent(event);
}

}  // namespace quill
