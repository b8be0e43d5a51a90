#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>
#include <functional>

namespace quill {

enum class TCaptionPos { cpLeft, cpCenter, cpRight };

// A button drawn entirely from pictures, its window cut to the shape of its
// picture (pixels of TransparentColor are cut out). Buttons of one parent
// with the same non-zero GroupIndex raise each other. GUI thread only.
class TPicButton : public QWidget {
public:
  explicit TPicButton(QWidget* parent);

  bool AllowAllUp() const { return allow_all_up_; }
  void SetAllowAllUp(bool value);
  int GroupIndex() const { return group_index_; }
  void SetGroupIndex(int value);
  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& value);
  bool Down() const { return down_; }
  void SetDown(bool value);
  bool Checked() const { return checked_; }
  void SetChecked(bool value) { checked_ = value; }
  // Sets the picture: the size, the shape and the grey copy follow it.
  const QImage& Bitmap() const { return bitmap_; }
  void SetBitmap(const QImage& value);
  // Replaces the picture's pixels only: size, shape and grey copy stay.
  void LoadPicture(const QImage& value);
  const QImage& DownBitmap() const { return down_bitmap_; }
  void SetDownBitmap(const QImage& value);
  const QImage& DisabledBitmap() const { return disabled_bitmap_; }
  QColor TransparentColor() const { return transparent_color_; }
  void SetTransparentColor(const QColor& value);
  TCaptionPos CaptionPosition() const { return caption_position_; }
  void SetCaptionPosition(TCaptionPos value);
  int Space() const { return space_; }
  void SetSpace(int value);
  QColor FontColor() const { return font_color_; }
  void SetFontColor(const QColor& value);
  QColor HotFontColor() const { return hot_font_color_; }
  void SetHotFontColor(const QColor& value) { hot_font_color_ = value; }
  QColor DownFontColor() const { return down_font_color_; }
  void SetDownFontColor(const QColor& value) { down_font_color_ = value; }
  bool Hot() const { return hot_; }

  std::function<void()> OnClick;

  // A light, low-contrast grey copy: each channel becomes (B + G + R + 128) / 4.
  static QImage MakeGrayBitmap(const QImage& source);

protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void BuildRegion();
  void NotifyGroup();
  void ButtonPressed(int groupIndex, TPicButton* sender);
  void UpdateDisabledBitmap(bool force);

  bool allow_all_up_ = false;
  int group_index_ = 0;
  QString caption_;
  bool down_ = false;
  bool checked_ = false;
  bool hot_ = false;
  bool pressed_inside_ = false;
  QImage bitmap_;
  QImage down_bitmap_;
  QImage disabled_bitmap_;
  bool disabled_bitmap_valid_ = false;
  QColor transparent_color_{0xFF, 0xFF, 0xFF};
  TCaptionPos caption_position_ = TCaptionPos::cpCenter;
  int space_ = 4;
  QColor font_color_{0, 0, 0};
  QColor hot_font_color_{0, 0, 0};
  QColor down_font_color_{0, 0, 0};
};

}  // namespace quill
