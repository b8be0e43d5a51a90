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
  std::uint32_t Width() const { return has_image_ ? static_cast<std::uint32_t>(image_.Width()) : 0; }
  std::uint32_t Height() const { return has_image_ ? static_cast<std::uint32_t>(image_.Height()) : 0; }
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

// The codecs behind the pictures, usable on their own. Each returns false and
// leaves out empty on failure; no library error escapes.
bool EncodeJpeg(const TBitmap24& bitmap, int quality, std::vector<std::uint8_t>& out);
bool DecodeJpeg(std::span<const std::uint8_t> bytes, TBitmap24& out);
bool DecodePng(std::span<const std::uint8_t> bytes, TBitmap24& out);
bool EncodePng(const TBitmap24& bitmap, std::vector<std::uint8_t>& out);
bool EncodeBmp(const TBitmap24& bitmap, std::vector<std::uint8_t>& out);

}  // namespace quill
