// The transform of jpeg_dct_kernel.h on AVX2: two blocks a register. This
// file alone is compiled for these instructions and is called only after the
// processor was asked.

#include <immintrin.h>

#include "support/jpeg_dct_kernel.h"
#include "support/jpeg_dct_paths.h"

namespace quill::jpeg_dct::avx2 {

namespace {

struct TOps {
  using V = __m256i;
  static QUILL_DCT_INLINE V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
  static QUILL_DCT_INLINE V Sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
  static QUILL_DCT_INLINE V Set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  template <int N>
  static QUILL_DCT_INLINE V Slli16(V a) {
    return _mm256_slli_epi16(a, N);
  }
  template <int N>
  static QUILL_DCT_INLINE V Srai16(V a) {
    return _mm256_srai_epi16(a, N);
  }
  static QUILL_DCT_INLINE V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
  static QUILL_DCT_INLINE V Set32(int v) { return _mm256_set1_epi32(v); }
  template <int N>
  static QUILL_DCT_INLINE V Srai32(V a) {
    return _mm256_srai_epi32(a, N);
  }
  static QUILL_DCT_INLINE V Madd(V a, int pair) {
    return _mm256_madd_epi16(a, _mm256_set1_epi32(pair));
  }
  static QUILL_DCT_INLINE V Packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static QUILL_DCT_INLINE V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static QUILL_DCT_INLINE V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackHi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackLo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static QUILL_DCT_INLINE V UnpackHi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
  static QUILL_DCT_INLINE V Abs16(V a) { return _mm256_abs_epi16(a); }
  static QUILL_DCT_INLINE V MulhiU16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
  // q, negated where x is negative (q is 0 where x is).
  static QUILL_DCT_INLINE V SignOf(V q, V x) { return _mm256_sign_epi16(q, x); }
  static V EachLane(const std::uint16_t* words) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
  }
};

using TKernel = kernel::TKernel<TOps>;

// One or two blocks (count) from rows at column x into out, block after
// block.
QUILL_DCT_INLINE void TwoBlocks(const std::uint8_t* const rows[8], int x, int count,
                                const TKernel::TRowDivisors& d, std::int16_t* out) {
  const __m256i center = _mm256_set1_epi16(128);
  __m256i v[8];
  for (int r = 0; r < 8; ++r) {
    // A block alone reads its own 8 bytes only.
    const __m128i px = count >= 2 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + x))
                                  : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[r] + x));
    v[r] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(px), center);
  }
  TKernel::TransformAndQuantize(v, d);
  for (int r = 0; r < 8; r += 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r * 8),
                        _mm256_permute2x128_si256(v[r], v[r + 1], 0x20));
    if (count >= 2) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64 + r * 8),
                          _mm256_permute2x128_si256(v[r], v[r + 1], 0x31));
    }
  }
}

}  // namespace

void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out) {
  const TKernel::TRowDivisors d =
      TKernel::Divisors(divisors.reciprocal, divisors.correction, divisors.scale);
  for (int b = 0; b < blocks; b += 2) TwoBlocks(rows, b * 8, blocks - b, d, out + b * 64);
}

}  // namespace quill::jpeg_dct::avx2
