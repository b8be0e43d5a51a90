#include "library/yuv_avx2.h"
#include "library/yuv_avx512.h"

namespace quill::avx2 {

// Builds without the AVX2 file: the SSE2 or plain paths do all the work.
bool Usable() { return false; }
void Allow(bool) {}

void UyvyToPlanes(const std::uint8_t*, std::size_t, int, int, std::uint8_t*, std::uint8_t*,
                  std::uint8_t*, std::uint16_t*, std::size_t&) {}

void PlanarToPlanes(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::size_t, int,
                    int, std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint16_t*,
                    std::size_t&) {}

void PlanesToBgr(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::size_t,
                 std::uint8_t*) {}

void ResampleToBgr(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                   const std::uint16_t*, const std::uint16_t*, const std::uint16_t*,
                   const std::uint8_t*, const std::uint8_t*, std::uint8_t*) {}

void ResampleToPlanes(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                      const std::uint16_t*, const std::uint16_t*, const std::uint16_t*,
                      const std::uint8_t*, const std::uint8_t*, std::uint8_t* const[3]) {}

void PlanesToYcc(const std::uint8_t* const[3], const std::uint8_t* const[3], std::size_t,
                 std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint8_t*) {}

void BgrToYcc(const std::uint8_t*, const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*,
              std::uint8_t*, std::uint8_t*) {}

void Rgb16ToYcc(const std::uint8_t*, const std::uint8_t*, std::size_t, bool, bool, std::uint8_t*,
                std::uint8_t*, std::uint8_t*, std::uint8_t*) {}

}  // namespace quill::avx2

namespace quill::avx512 {

bool Usable() { return false; }
void Allow(bool) {}

void UyvyToPlanes(const std::uint8_t*, std::size_t, int, int, std::uint8_t*, std::uint8_t*,
                  std::uint8_t*, std::uint16_t*, std::size_t&) {}

void PlanarToPlanes(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::size_t, int,
                    int, std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint16_t*,
                    std::size_t&) {}

void ResampleToPlanes(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                      const std::uint16_t*, const std::uint16_t*, const std::uint16_t*,
                      const std::uint8_t*, const std::uint8_t*, std::uint8_t* const[3]) {}

void PlanesToYcc(const std::uint8_t* const[3], const std::uint8_t* const[3], std::size_t,
                 std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint8_t*) {}

void Rgb16ToYcc(const std::uint8_t*, const std::uint8_t*, std::size_t, bool, bool, std::uint8_t*,
                std::uint8_t*, std::uint8_t*, std::uint8_t*) {}

}  // namespace quill::avx512
