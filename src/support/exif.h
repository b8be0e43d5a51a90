#pragma once

// The EXIF block of the JPEG files this program writes: the dates a photo
// manager sorts by, and the identifier by which a later transfer knows the
// photo again whatever program re-saved the file.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quill {

struct TExifFields {
  // Seconds since 1970 of the wall-clock time the date holds (no zone);
  // 0 writes no date.
  std::int64_t Original = 0;
  std::int64_t Digitized = 0;
  // 32 hex digits; empty writes none.
  std::string ImageUniqueId;
  // The pixels were turned upright already: the orientation tag says so.
  bool Upright = false;
};

// Where the EXIF block sits in a written file, so that the file can also be
// compared without it.
struct TExifPlacement {
  std::size_t Offset = 0;
  std::size_t Size = 0;  // 0: no block was written
};

// out = jpeg with fields in its EXIF block (APP1, after SOI and a JFIF APP0).
// An EXIF block the file has is kept with the fields set in it; base, when
// given, is the block to start from (a TIFF header onwards, with or without
// the "Exif\0\0" mark, as HEIF files keep it). false leaves out empty: jpeg
// is no JPEG, or the block would not fit a segment.
bool WriteJpegExif(std::span<const std::uint8_t> jpeg, const TExifFields& fields,
                   std::vector<std::uint8_t>& out, TExifPlacement* placement = nullptr,
                   std::span<const std::uint8_t> base = {});

// The ImageUniqueID of a JPEG file's EXIF block; empty when it has none.
std::string ReadJpegImageUniqueId(std::span<const std::uint8_t> jpeg);

// 32 hex digits naming stored bytes of a format: the same bytes and format
// give the same identifier on every machine and in every version.
std::string ContentIdentifier(std::span<const std::uint8_t> bytes, std::uint64_t format);

// "YYYY:MM:DD HH:MM:SS" of a wall-clock time (seconds since 1970).
std::string ExifDateTime(std::int64_t wallClock);

// The moment (seconds since 1970, UTC) at which the computer's clock shows
// the wall-clock time, taken in the computer's time zone.
std::int64_t WallClockAsLocalTime(std::int64_t wallClock);

}  // namespace quill
