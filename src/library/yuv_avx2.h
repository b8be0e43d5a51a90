#pragma once

// The YUV conversions on processors with AVX2 and FMA (x86-64 builds on GCC or Clang
// outside Windows; elsewhere Usable() is false and nothing else is called).
// Each converts whole groups of sixteen pixels into three planes (B, G, R)
// with the integer form of the formulas, and lists the pixels whose integer
// form sits on a tie: the caller redoes those in double precision. Then the
// step into the planes the JPEG encoder compresses (PlanesToYcc, BgrToYcc).

#include <cstddef>
#include <cstdint>

namespace quill::avx2 {

// Whether this processor runs the functions below (and they are allowed).
bool Usable();
// Tests turn the AVX2 path off to check the SSE2 one on the same machine.
void Allow(bool allowed);

// pixels (a multiple of 16) pixels of the interlaced layout from their UYVY
// bytes; gu and bu are the layout's green-U and blue-U factors in 1000ths.
// The index of every tie pixel is appended to ties (room for pixels).
void UyvyToPlanes(const std::uint8_t* uyvy, std::size_t pixels, int gu, int bu, std::uint8_t* b,
                  std::uint8_t* g, std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount);

// pairs (a multiple of 8) pixel pairs of a planar row: 2 x pairs Y bytes and
// the pairs' U and V bytes.
void PlanarToPlanes(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, int gu, int bu, std::uint8_t* b, std::uint8_t* g,
                    std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount);

// pixels (a multiple of 16) pixels of three planes as B, G, R.
void PlanesToBgr(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                 std::size_t pixels, std::uint8_t* bgr);

// One row of the interlaced layout's 704 to 640 resampling, from three
// planes (each readable 16 bytes past its 704 pixels) into 640 B, G, R
// pixels: column c is (p[sx[c]] w00[c] + p[sx[c] + 1] w01[c]) >> 16. The
// masks pick each group of eight columns' pixel pairs out of the 16 bytes at
// the group's first sample: 16 bytes a group, left then right pixel.
void ResampleToBgr(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                   const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                   const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                   std::uint8_t* bgr);

// The same resampling into three planes of 640 bytes (out: B, G, R).
void ResampleToPlanes(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                      const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                      const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                      std::uint8_t* const out[3]);

// Two rows of pixels (a multiple of 16) into what the JPEG encoder makes of
// them at 4:2:0: both rows' luma and one row of each chroma plane, halved.
// PlanesToYcc reads each row as B, G, R planes, BgrToYcc as packed B, G, R.
void PlanesToYcc(const std::uint8_t* const top[3], const std::uint8_t* const bottom[3],
                 std::size_t pixels, std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb,
                 std::uint8_t* cr);
void BgrToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
              std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb, std::uint8_t* cr);
// The same from 16-bit pixels of 5-6-5 (green6) or 5-5-5 bits, low byte first
// unless swapped, widened as the bitmap reader widens them.
void Rgb16ToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
                bool green6, bool swapped, std::uint8_t* yTop, std::uint8_t* yBottom,
                std::uint8_t* cb, std::uint8_t* cr);

}  // namespace quill::avx2
