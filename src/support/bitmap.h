#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quill {

// A 24-bit picture: rows top to bottom, three bytes per pixel in the order
// blue, green, red, rows packed without padding.
class TBitmap24 {
public:
  TBitmap24() = default;
  TBitmap24(int width, int height) { SetSize(width, height); }

  // Resizes and zero-fills; negative sizes count as 0.
  void SetSize(int width, int height);
  // Resizes keeping whatever bytes the buffer holds (zero where it grows),
  // for a decoder that writes every pixel itself.
  void Reshape(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Empty() const { return width_ == 0 || height_ == 0; }
  std::uint8_t* Row(int y) { return pixels_.data() + RowOffset(y); }
  const std::uint8_t* Row(int y) const { return pixels_.data() + RowOffset(y); }
  std::span<const std::uint8_t> Pixels() const { return pixels_; }
  std::vector<std::uint8_t>& MutablePixels() { return pixels_; }

private:
  std::size_t RowOffset(int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) * 3;
  }
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> pixels_;
};

// The largest picture any decoder here allocates: hostile headers must not
// ask for gigabytes. True when width x height lies within these bounds.
inline constexpr std::int64_t kMaxPictureSide = 32768;
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 27;
bool PictureSizeAllowed(std::int64_t width, std::int64_t height);

// Decodes a BMP file held in memory: 16-bit with bit masks (BI_BITFIELDS) or
// plain 5-5-5, 24-bit, and 8-bit with a palette; rows stored top-down or
// bottom-up. A 16-bit channel of n bits widens to 8 bits by repeating its top
// bits. Pixel data shorter than the header declares leaves the missing rows
// black; false for any other kind of file or an unusable header.
bool LoadBitmapFile(std::span<const std::uint8_t> file, TBitmap24& out);

}  // namespace quill
