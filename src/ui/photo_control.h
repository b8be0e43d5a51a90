#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>

namespace quill {

// One thumbnail cell: the picture drawn unscaled from the top left corner in
// a thin grey frame, or a thicker blue one when selected. A click only runs
// OnClick; the handler decides what it means.
class TPhotoControl : public QWidget {
public:
  explicit TPhotoControl(QWidget* parent);

  std::uint32_t Id = 0;
  const QImage& Picture() const { return picture_; }
  void SetPicture(const QImage& picture);
  bool Selected() const { return selected_; }
  void SetSelected(bool selected);
  std::function<void()> OnClick;

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  QImage picture_;
  bool selected_ = false;
  bool pressed_ = false;
};

}  // namespace quill
