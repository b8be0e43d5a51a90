#pragma once

// The conversions of the exports thirty-two pixels at a time on processors
// with AVX-512 (F and BW) and FMA, where Usable() says so; the same results
// as their AVX2 twins in yuv_avx2.h, whose contracts they keep. Lengths that
// are not whole groups of 32 pixels end with the AVX2 functions.

#include <cstddef>
#include <cstdint>

namespace quill::avx512 {

bool Usable();
// Tests turn this path off to check the AVX2 one on the same machine.
void Allow(bool allowed);

void UyvyToPlanes(const std::uint8_t* uyvy, std::size_t pixels, int gu, int bu, std::uint8_t* b,
                  std::uint8_t* g, std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount);

void PlanarToPlanes(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, int gu, int bu, std::uint8_t* b, std::uint8_t* g,
                    std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount);

void ResampleToPlanes(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                      const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                      const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                      std::uint8_t* const out[3]);

void PlanesToYcc(const std::uint8_t* const top[3], const std::uint8_t* const bottom[3],
                 std::size_t pixels, std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb,
                 std::uint8_t* cr);

void Rgb16ToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
                bool green6, bool swapped, std::uint8_t* yTop, std::uint8_t* yBottom,
                std::uint8_t* cb, std::uint8_t* cr);

}  // namespace quill::avx512
