#pragma once

// The JPEG encoder's forward DCT (the accurate integer one) and quantization
// done here, four blocks at a time on processors with AVX-512 (F, BW and VL),
// two with AVX2, where Usable() says so. The results are the encoder's own,
// coefficient for coefficient, so that handing them to its entropy coder
// gives the bytes it writes from the same planes.

#include <cstddef>
#include <cstdint>

#include "support/picture.h"

namespace quill::jpeg_dct {

// The ways of transforming, narrowest first; Library: the encoder's own.
enum class TDctPath { Library, Avx2, Avx512 };

// The widest way the processor runs and the tests allow.
TDctPath Path();
inline bool Usable() { return Path() != TDctPath::Library; }
// Tests allow the narrower ways only, to check them on the same machine.
void AllowUpTo(TDctPath widest);

// The quantization steps of a table as the encoder divides by them: each
// step scaled by 8 (the transform's gain), as a 16-bit reciprocal, a
// correction added first (rounding to the nearest) and a final scale.
struct TDivisors {
  std::uint16_t reciprocal[64];
  std::uint16_t correction[64];
  std::uint16_t scale[64];
};
// steps: the 64 quantization steps in natural order, each 1 to 255.
void PrepareDivisors(const std::uint16_t steps[64], TDivisors& out);

// Transforms and quantizes `blocks` 8 x 8 blocks lying side by side: rows[r]
// is sample row r of all of them (8 * blocks bytes each). out: blocks * 64
// coefficients, each block in natural order.
void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out);

// Encodes the planes (a width that is a multiple of 16, an even height) as
// the encoder does at 4:2:0 and the quality given, with the transform above
// and the encoder's entropy coding, into buffer. Returns the bytes written;
// 0 when the encoder failed, the buffer was too small or no way of
// transforming runs here.
std::size_t EncodePlanes(const TYccPicture& picture, int quality, unsigned char* buffer,
                         std::size_t capacity);

}  // namespace quill::jpeg_dct
