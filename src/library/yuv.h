#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/bitmap.h"
#include "support/picture.h"

namespace quill {

// Rounds to the nearest integer, halves to the even neighbour, and clamps to
// 0..255.
std::uint8_t ClampByte(double x);

// The two YUV to RGB conversions of the stored formats; each keeps its own
// constants (0.392/2.017 interlaced, 0.391/2.018 planar). Output is B, G, R.
void InterlacedYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr);
void PlanarYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr);

// The interlaced 4:2:2 layout: lines of 720 pixels, 1440 bytes as U, Y of
// the left pixel, V, Y of the right pixel. Converts one line into 704 B, G, R
// pixels (bgr holds 704 x 3 bytes), the 8 pixels at each edge dropped.
inline constexpr std::size_t kUyvyLineBytes = 1440;
inline constexpr int kUyvyKeptPixels = 704;
void UyvyLineToBgr(std::span<const std::uint8_t, kUyvyLineBytes> line, std::uint8_t* bgr);

// One row of the planar layout: 2 x pairs pixels from their Y bytes and the
// pairs' U and V bytes, as B, G, R into bgr (pairs x 6 bytes).
void PlanarRowToBgr(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, std::uint8_t* bgr);

// A whole interlaced record (the 240 even lines, then the 240 odd ones) as
// the 640 x 480 picture it is exported as: the same bytes as converting every
// line with UyvyLineToBgr into a 704 x 480 bitmap (line i of field f is row
// 2i + f) and resampling that with ResampleBilinear. Makes out 640 x 480.
inline constexpr std::size_t kInterlacedRecordBytes = 720 * 480 * 2;
void InterlacedRecordToBitmap(std::span<const std::uint8_t, kInterlacedRecordBytes> record,
                              TBitmap24& out);

// The planar 4:2:0 layout of 720 x 480 pixels: the Y plane, then the U and the
// V plane of 360 x 240 each. Fills out (made 720 x 480) from a record of at
// least kPlanarRecordBytes bytes; false, out untouched, for a shorter one.
inline constexpr std::size_t kPlanarRecordBytes = 720 * 480 * 3 / 2;
bool PlanarYuvToBitmap(std::span<const std::uint8_t> record, TBitmap24& out);

// The same pictures made straight in the JPEG encoder's planes, skipping the
// B, G, R bitmap and the encoder's own colour pass: encoded, they give the
// bitmaps' bytes. Each answers false, out untouched, where the path does not
// run (YccConversionUsable(): processors with AVX2 and FMA); the callers then
// encode the bitmaps.
bool YccConversionUsable();
bool InterlacedRecordToYcc(std::span<const std::uint8_t, kInterlacedRecordBytes> record,
                           TYccPicture& out);
// False as well for a record shorter than kPlanarRecordBytes.
bool PlanarYuvToYcc(std::span<const std::uint8_t> record, TYccPicture& out);
// A bitmap of a width that is a multiple of 16 and an even height; false,
// out untouched, for other sizes.
bool BitmapToYcc(const TBitmap24& bitmap, TYccPicture& out);

// A record of 16-bit pixels of 5-6-5 (green6) or 5-5-5 bits, low byte first
// unless swapped, rows top to bottom without padding: the planes of the
// bitmap that LoadBitmapFile makes of it. False, out untouched, unless the
// width is a multiple of 16, the height even and the record holds every row.
bool Rgb16RecordToYcc(std::span<const std::uint8_t> record, int width, int height, bool green6,
                      bool swapped, TYccPicture& out);

// Bilinear resampling in 16.16 fixed point (unsigned 32-bit weights, the row
// weights summing to 65535). The pixel right of each sample is clamped to the
// last source column, so any pair of sizes stays inside the rows. Does nothing
// when either bitmap is empty.
void ResampleBilinear(const TBitmap24& src, TBitmap24& dst);

}  // namespace quill
