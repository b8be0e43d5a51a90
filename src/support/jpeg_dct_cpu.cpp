#include <algorithm>
#include <atomic>

#include "support/jpeg_dct.h"
#include "support/jpeg_dct_paths.h"

// Asked once; compiled without AVX so that the question itself runs
// anywhere.

namespace quill::jpeg_dct {

namespace {

std::atomic<TDctPath> g_widestAllowed = TDctPath::Avx512;

TDctPath Supported() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl")) {
    return TDctPath::Avx512;
  }
  return __builtin_cpu_supports("avx2") ? TDctPath::Avx2 : TDctPath::Library;
}

}  // namespace

TDctPath Path() {
  static const TDctPath supported = Supported();
  return std::min(supported, g_widestAllowed.load(std::memory_order_relaxed));
}

void AllowUpTo(TDctPath widest) { g_widestAllowed = widest; }

void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out) {
  switch (Path()) {
    case TDctPath::Avx512:
      avx512::QuantizeBlocks(rows, blocks, divisors, out);
      break;
    case TDctPath::Avx2:
      avx2::QuantizeBlocks(rows, blocks, divisors, out);
      break;
    case TDctPath::Library:
      break;
  }
}

// The quotient of a value x (at most 2^15) by a divisor d, rounded to the
// nearest, is taken as (x + c) * f / 2^r: f is 2^r / d rounded down or up,
// whichever error the correction c can make up, with 2^15 <= f < 2^16. The
// division by 2^r is two high halves of 16-bit products: by f, then by
// 2^(32 - r).
void PrepareDivisors(const std::uint16_t steps[64], TDivisors& out) {
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t d = std::uint32_t{steps[i] == 0 ? 1u : steps[i]} * 8;
    const int b = 31 - __builtin_clz(d);
    int r = 16 + b;
    std::uint32_t f = (1u << r) / d;
    const std::uint32_t rest = (1u << r) % d;
    std::uint32_t c = d / 2;
    if (rest == 0) {
      f >>= 1;  // a power of two: 2^r / d would need a 17th bit
      --r;
    } else if (rest <= d / 2) {
      ++c;
    } else {
      ++f;
    }
    out.reciprocal[i] = static_cast<std::uint16_t>(f);
    out.correction[i] = static_cast<std::uint16_t>(c);
    out.scale[i] = static_cast<std::uint16_t>(1u << (32 - r));
  }
}

}  // namespace quill::jpeg_dct
