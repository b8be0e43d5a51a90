#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/bitmap.h"
#include "support/memory_stream.h"

namespace quill {

enum class TPictureFormat { Gif = 0, Png = 1, Jpeg = 2, Bmp = 3, Tiff = 4 };

// A picture decoded from a file held in memory (JPEG, PNG or BMP), or made
// from a bitmap. Undecodable bytes leave it empty; nothing here throws. One
// object belongs to one thread.
class TSynPicture {
public:
  virtual ~TSynPicture() = default;

  void Clear();
  // Decodes the whole stream; an empty stream leaves the picture empty
  // without touching any decoder.
  void LoadFromStream(const TMemoryStream& stream) { LoadFromBytes(stream.Bytes()); }
  void LoadFromBytes(std::span<const std::uint8_t> bytes);
  // Makes the picture from a bitmap; it is encoded when saved.
  void Assign(const TBitmap24& bitmap);
  // Writes the loaded bytes unchanged when the picture was loaded from bytes,
  // otherwise the image encoded as the detected format (BMP for a bitmap).
  // False when there is no image or the encoder failed; nothing is written then.
  virtual bool SaveToStream(TMemoryStream& stream) const;
  // Draws the image stretched over the whole bitmap (aspect not kept).
  void DrawTo(TBitmap24& bitmap) const;

  bool HasImage() const { return has_image_; }
  // HEIF files load their own thumbnail where they have one (cells).
  bool PreferThumbnail = false;
  std::uint32_t Width() const {
    return has_image_ ? static_cast<std::uint32_t>(image_.Width()) : 0;
  }
  std::uint32_t Height() const {
    return has_image_ ? static_cast<std::uint32_t>(image_.Height()) : 0;
  }
  bool FromBitmap() const { return from_bitmap_; }
  TPictureFormat DetectedFormat() const;
  const TBitmap24& Image() const { return image_; }

protected:
  bool SaveAs(TMemoryStream& stream, TPictureFormat format, int quality) const;

private:
  TBitmap24 image_;
  std::vector<std::uint8_t> bytes_;
  TPictureFormat loaded_format_ = TPictureFormat::Bmp;
  bool has_image_ = false;
  bool from_bitmap_ = false;
};

// A picture that always saves as JPEG of Quality (80 unless changed; a negative
// value means the encoder's default).
class TJpegImage : public TSynPicture {
public:
  int Quality = 80;
  bool SaveToStream(TMemoryStream& stream) const override;
};

// A picture in the form the JPEG encoder works on at 4:2:0: luma at full
// size, Cb and Cr halved both ways (rounded up). Encoding it skips the
// encoder's own colour conversion and gives the bytes the B, G, R picture
// gives, when the planes hold what that conversion makes of it and the width
// is a multiple of 16 (narrower chroma rows the encoder pads its own way).
class TYccPicture {
public:
  void SetSize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  int ChromaWidth() const { return (width_ + 1) / 2; }
  int ChromaHeight() const { return (height_ + 1) / 2; }
  std::uint8_t* Luma(int row) { return luma_.data() + Offset(row, width_); }
  std::uint8_t* Cb(int row) { return cb_.data() + Offset(row, ChromaWidth()); }
  std::uint8_t* Cr(int row) { return cr_.data() + Offset(row, ChromaWidth()); }
  const std::uint8_t* Plane(int k) const {
    return k == 0 ? luma_.data() : k == 1 ? cb_.data() : cr_.data();
  }

private:
  static std::size_t Offset(int row, int width) {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
  }
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint8_t> luma_, cb_, cr_;
};

// The codecs behind the pictures, usable on their own. Each returns false and
// leaves out empty on failure; no library error escapes. Planes of an odd
// width or height are refused.
bool EncodeJpeg(const TBitmap24& bitmap, int quality, std::vector<std::uint8_t>& out);
bool EncodeJpeg(const TYccPicture& picture, int quality, std::vector<std::uint8_t>& out);
bool DecodeJpeg(std::span<const std::uint8_t> bytes, TBitmap24& out);
bool DecodePng(std::span<const std::uint8_t> bytes, TBitmap24& out);
// HEIF pictures (HEIC photos), oriented as the file says; preferThumbnail
// takes the file's own thumbnail where it has one. False where the build has
// no HEIF decoder.
bool IsHeif(std::span<const std::uint8_t> bytes);
bool DecodeHeif(std::span<const std::uint8_t> bytes, TBitmap24& out, bool preferThumbnail);
bool EncodePng(const TBitmap24& bitmap, std::vector<std::uint8_t>& out);
bool EncodeBmp(const TBitmap24& bitmap, std::vector<std::uint8_t>& out);

}  // namespace quill
