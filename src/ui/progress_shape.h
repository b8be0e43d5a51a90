#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>

namespace quill {

// The colours of a TProgressShape; an empty colour draws nothing. Every
// change is reported through OnColorChange.
class TBlockAppearance {
public:
  using TColor = std::optional<QColor>;
  TColor BackGroundColor() const { return background_; }
  void SetBackGroundColor(TColor value) { Set(background_, value); }
  TColor BorderColor() const { return border_; }
  void SetBorderColor(TColor value) { Set(border_, value); }
  TColor BlockColor() const { return block_; }
  void SetBlockColor(TColor value) { Set(block_, value); }
  TColor BlockColorActive() const { return block_active_; }
  void SetBlockColorActive(TColor value) { Set(block_active_, value); }

  std::function<void()> OnColorChange;

private:
  void Set(TColor& field, TColor value) {
    if (field == value) return;
    field = value;
    if (OnColorChange) OnColorChange();
  }
  TColor background_;
  TColor border_;
  TColor block_ = QColor(0x00, 0xCF, 0xEE);
  TColor block_active_;
};

// A rectangle in which Right and Bottom lie just outside it.
struct TBlockRect {
  int Left = -1, Top = -1, Right = -1, Bottom = -1;
  bool operator==(const TBlockRect&) const = default;
};

// A grid of BlockCount x BlockCount blocks in which the active block runs
// clockwise around the edge while the control is enabled: a busy sign.
class TProgressShape : public QWidget {
public:
  explicit TProgressShape(QWidget* parent);

  TBlockAppearance& Appearance() { return appearance_; }
  int Padding() const { return padding_; }
  void SetPadding(int value);
  std::uint32_t Interval() const { return static_cast<std::uint32_t>(timer_.interval()); }
  void SetInterval(std::uint32_t value);
  int BlockCount() const { return block_count_; }
  void SetBlockCount(int value);
  // Called once its properties are set: sizes the blocks, puts the active
  // block at the top left and runs the timer when enabled.
  void Loaded();
  bool Animating() const { return timer_.isActive(); }

  TBlockRect InnerRect() const;
  TBlockRect BlockRect(int column, int row) const;
  int BlockWidth() const { return block_width_; }
  int BlockHeight() const { return block_height_; }
  int ActiveColumn() const { return active_column_; }
  int ActiveRow() const { return active_row_; }
  // One move of the active block (a timer tick).
  void Step();

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void UpdateBlockSize();
  void RepaintBlock(int column, int row);

  TBlockAppearance appearance_;
  QTimer timer_;
  int padding_ = 4;
  int block_count_ = 3;
  int block_width_ = 0;
  int block_height_ = 0;
  int active_column_ = 2;
  int active_row_ = 2;
};

}  // namespace quill
