// The transform of jpeg_dct_kernel.h on AVX-512 (F, BW, VL): four blocks a
// register. This file alone is compiled for these instructions and is called
// only after the processor was asked.

// GCC 12's AVX-512 headers make their "undefined" registers out of
// themselves, which its uninitialized-value warnings report once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "support/jpeg_dct_kernel.h"
#include "support/jpeg_dct_paths.h"

namespace quill::jpeg_dct::avx512 {

namespace {

struct TOps {
  using V = __m512i;
  static QUILL_DCT_INLINE V Add16(V a, V b) { return _mm512_add_epi16(a, b); }
  static QUILL_DCT_INLINE V Sub16(V a, V b) { return _mm512_sub_epi16(a, b); }
  static QUILL_DCT_INLINE V Set16(int v) { return _mm512_set1_epi16(static_cast<short>(v)); }
  template <int N>
  static QUILL_DCT_INLINE V Slli16(V a) {
    return _mm512_slli_epi16(a, N);
  }
  template <int N>
  static QUILL_DCT_INLINE V Srai16(V a) {
    return _mm512_srai_epi16(a, N);
  }
  static QUILL_DCT_INLINE V Add32(V a, V b) { return _mm512_add_epi32(a, b); }
  static QUILL_DCT_INLINE V Set32(int v) { return _mm512_set1_epi32(v); }
  template <int N>
  static QUILL_DCT_INLINE V Srai32(V a) {
    return _mm512_srai_epi32(a, N);
  }
  static QUILL_DCT_INLINE V Madd(V a, int pair) {
    return _mm512_madd_epi16(a, _mm512_set1_epi32(pair));
  }
  static QUILL_DCT_INLINE V Packs32(V a, V b) { return _mm512_packs_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackLo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  static QUILL_DCT_INLINE V UnpackHi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  static QUILL_DCT_INLINE V UnpackLo32(V a, V b) { return _mm512_unpacklo_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackHi32(V a, V b) { return _mm512_unpackhi_epi32(a, b); }
  static QUILL_DCT_INLINE V UnpackLo64(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
  static QUILL_DCT_INLINE V UnpackHi64(V a, V b) { return _mm512_unpackhi_epi64(a, b); }
  static QUILL_DCT_INLINE V Abs16(V a) { return _mm512_abs_epi16(a); }
  static QUILL_DCT_INLINE V MulhiU16(V a, V b) { return _mm512_mulhi_epu16(a, b); }
  // q, negated where x is negative.
  static QUILL_DCT_INLINE V SignOf(V q, V x) {
    return _mm512_mask_sub_epi16(q, _mm512_movepi16_mask(x), _mm512_setzero_si512(), q);
  }
  static V EachLane(const std::uint16_t* words) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
  }
};

using TKernel = kernel::TKernel<TOps>;

// Up to four blocks (count) from rows at column x into out, block after
// block.
QUILL_DCT_INLINE void FourBlocks(const std::uint8_t* const rows[8], int x, int count,
                                 const TKernel::TRowDivisors& d, std::int16_t* out) {
  const __mmask32 bytes =
      count >= 4 ? ~__mmask32{0} : static_cast<__mmask32>((1u << (8 * count)) - 1);
  const __m512i center = _mm512_set1_epi16(128);
  __m512i v[8];
  for (int r = 0; r < 8; ++r) {
    // Masked: a short group reads nothing past its last block.
    const __m256i px = _mm256_maskz_loadu_epi8(bytes, rows[r] + x);
    v[r] = _mm512_sub_epi16(_mm512_cvtepu8_epi16(px), center);
  }
  TKernel::TransformAndQuantize(v, d);
  // Rows r and r + 1 of blocks 0 and 1, and of blocks 2 and 3; each pair of
  // rows of a block is one 256-bit store.
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  for (int r = 0; r < 8; r += 2) {
    const __m512i blocks01 = _mm512_permutex2var_epi64(v[r], first, v[r + 1]);
    const __m512i blocks23 = _mm512_permutex2var_epi64(v[r], second, v[r + 1]);
    const __m256i parts[4] = {
        _mm512_castsi512_si256(blocks01), _mm512_extracti64x4_epi64(blocks01, 1),
        _mm512_castsi512_si256(blocks23), _mm512_extracti64x4_epi64(blocks23, 1)};
    for (int j = 0; j < count && j < 4; ++j) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j * 64 + r * 8), parts[j]);
    }
  }
}

}  // namespace

void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out) {
  const TKernel::TRowDivisors d =
      TKernel::Divisors(divisors.reciprocal, divisors.correction, divisors.scale);
  for (int b = 0; b < blocks; b += 4) FourBlocks(rows, b * 8, blocks - b, d, out + b * 64);
}

}  // namespace quill::jpeg_dct::avx512
