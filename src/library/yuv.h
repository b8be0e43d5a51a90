#pragma once

#include <cstdint>

#include "support/bitmap.h"

namespace quill {

// Rounds to the nearest integer, halves to the even neighbour, and clamps to
// 0..255.
std::uint8_t ClampByte(double x);

// The two YUV to RGB conversions of the stored formats; each keeps its own
// constants (0.392/2.017 interlaced, 0.391/2.018 planar). Output is B, G, R.
void InterlacedYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr);
void PlanarYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr);

// Bilinear resampling in 16.16 fixed point; both bitmaps must be non-empty.
// Reads the source pixel right of each sample; the source must be wider than
// the destination's last sample column + 1 (true for 704 to 640).
void ResampleBilinear(const TBitmap24& src, TBitmap24& dst);

}  // namespace quill
