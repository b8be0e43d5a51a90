#pragma once

// The YUV conversions on processors with AVX2 (x86-64 builds on GCC or Clang
// outside Windows; elsewhere Usable() is false and nothing else is called).
// Each converts whole groups of sixteen pixels into three planes (B, G, R)
// with the integer form of the formulas, and lists the pixels whose integer
// form sits on a tie: the caller redoes those in double precision.

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

}  // namespace quill::avx2
