// The forward DCT and quantization of jpeg_dct.h on AVX-512. This file alone
// is compiled for these instructions and is called only after the processor
// was asked. Two blocks share a register: lanes 0-7 hold the first, 8-15 the
// second. The arithmetic is the encoder's 32-bit integer arithmetic, so every
// value is the one it computes.

#include "support/jpeg_dct.h"

// GCC 12's AVX-512 headers make their "undefined" registers out of
// themselves, which its uninitialized-value warnings report once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

namespace quill::jpeg_dct {

namespace {

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;

// The butterfly's constants: round(x * 2^13).
constexpr int kFix0_298631336 = 2446;
constexpr int kFix0_390180644 = 3196;
constexpr int kFix0_541196100 = 4433;
constexpr int kFix0_765366865 = 6270;
constexpr int kFix0_899976223 = 7373;
constexpr int kFix1_175875602 = 9633;
constexpr int kFix1_501321110 = 12299;
constexpr int kFix1_847759065 = 15137;
constexpr int kFix1_961570560 = 16069;
constexpr int kFix2_053119869 = 16819;
constexpr int kFix2_562915447 = 20995;
constexpr int kFix3_072711026 = 25172;

using V = __m512i;

inline __attribute__((always_inline)) V Add(V a, V b) { return _mm512_add_epi32(a, b); }
inline __attribute__((always_inline)) V Sub(V a, V b) { return _mm512_sub_epi32(a, b); }
inline __attribute__((always_inline)) V Mul(V a, int c) {
  return _mm512_mullo_epi32(a, _mm512_set1_epi32(c));
}
// Rounds x / 2^n to the nearest, halves up (an arithmetic shift).
template <int N>
inline __attribute__((always_inline)) V Descale(V x) {
  return _mm512_srai_epi32(_mm512_add_epi32(x, _mm512_set1_epi32(1 << (N - 1))), N);
}

// One pass of the 8-point transform over d[0..7]; each lane is a line of its
// own. The first pass (rows) keeps kPass1Bits more bits, the second
// (columns) removes them.
template <bool First>
inline __attribute__((always_inline)) void Pass(V d[8]) {
  const V tmp0 = Add(d[0], d[7]);
  const V tmp7 = Sub(d[0], d[7]);
  const V tmp1 = Add(d[1], d[6]);
  const V tmp6 = Sub(d[1], d[6]);
  const V tmp2 = Add(d[2], d[5]);
  const V tmp5 = Sub(d[2], d[5]);
  const V tmp3 = Add(d[3], d[4]);
  const V tmp4 = Sub(d[3], d[4]);

  // Even part.
  const V tmp10 = Add(tmp0, tmp3);
  const V tmp13 = Sub(tmp0, tmp3);
  const V tmp11 = Add(tmp1, tmp2);
  const V tmp12 = Sub(tmp1, tmp2);
  constexpr int kShift = First ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
  if constexpr (First) {
    d[0] = _mm512_slli_epi32(Add(tmp10, tmp11), kPass1Bits);
    d[4] = _mm512_slli_epi32(Sub(tmp10, tmp11), kPass1Bits);
  } else {
    d[0] = Descale<kPass1Bits>(Add(tmp10, tmp11));
    d[4] = Descale<kPass1Bits>(Sub(tmp10, tmp11));
  }
  const V z1 = Mul(Add(tmp12, tmp13), kFix0_541196100);
  d[2] = Descale<kShift>(Add(z1, Mul(tmp13, kFix0_765366865)));
  d[6] = Descale<kShift>(Sub(z1, Mul(tmp12, kFix1_847759065)));

  // Odd part.
  const V z5 = Mul(Add(Add(tmp4, tmp6), Add(tmp5, tmp7)), kFix1_175875602);
  const V w1 = Mul(Add(tmp4, tmp7), -kFix0_899976223);
  const V w2 = Mul(Add(tmp5, tmp6), -kFix2_562915447);
  const V w3 = Add(Mul(Add(tmp4, tmp6), -kFix1_961570560), z5);
  const V w4 = Add(Mul(Add(tmp5, tmp7), -kFix0_390180644), z5);
  d[7] = Descale<kShift>(Add(Add(Mul(tmp4, kFix0_298631336), w1), w3));
  d[5] = Descale<kShift>(Add(Add(Mul(tmp5, kFix2_053119869), w2), w4));
  d[3] = Descale<kShift>(Add(Add(Mul(tmp6, kFix3_072711026), w2), w3));
  d[1] = Descale<kShift>(Add(Add(Mul(tmp7, kFix1_501321110), w1), w4));
}

// Transposes the 8 x 8 block in each 256-bit half: v[r] lane 8b + c becomes
// v[c] lane 8b + r.
inline __attribute__((always_inline)) void Transpose(V v[8]) {
  const V a0 = _mm512_unpacklo_epi32(v[0], v[1]);
  const V a1 = _mm512_unpackhi_epi32(v[0], v[1]);
  const V a2 = _mm512_unpacklo_epi32(v[2], v[3]);
  const V a3 = _mm512_unpackhi_epi32(v[2], v[3]);
  const V a4 = _mm512_unpacklo_epi32(v[4], v[5]);
  const V a5 = _mm512_unpackhi_epi32(v[4], v[5]);
  const V a6 = _mm512_unpacklo_epi32(v[6], v[7]);
  const V a7 = _mm512_unpackhi_epi32(v[6], v[7]);
  // Per 128-bit lane: columns 0-3 of that lane's four columns, rows 0-3
  // (b0-b3) and rows 4-7 (b4-b7).
  const V b0 = _mm512_unpacklo_epi64(a0, a2);
  const V b1 = _mm512_unpackhi_epi64(a0, a2);
  const V b2 = _mm512_unpacklo_epi64(a1, a3);
  const V b3 = _mm512_unpackhi_epi64(a1, a3);
  const V b4 = _mm512_unpacklo_epi64(a4, a6);
  const V b5 = _mm512_unpackhi_epi64(a4, a6);
  const V b6 = _mm512_unpacklo_epi64(a5, a7);
  const V b7 = _mm512_unpackhi_epi64(a5, a7);
  // Lanes 0 and 2 hold columns 0-3 of the two blocks, lanes 1 and 3 columns
  // 4-7: pair the rows 0-3 half with the rows 4-7 half of each.
  const V low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const V high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  v[0] = _mm512_permutex2var_epi64(b0, low, b4);
  v[1] = _mm512_permutex2var_epi64(b1, low, b5);
  v[2] = _mm512_permutex2var_epi64(b2, low, b6);
  v[3] = _mm512_permutex2var_epi64(b3, low, b7);
  v[4] = _mm512_permutex2var_epi64(b0, high, b4);
  v[5] = _mm512_permutex2var_epi64(b1, high, b5);
  v[6] = _mm512_permutex2var_epi64(b2, high, b6);
  v[7] = _mm512_permutex2var_epi64(b3, high, b7);
}

// The divisors of two rows of coefficients in the order packing puts them:
// each 128-bit lane holds four coefficients of row 2k, then the same four of
// row 2k + 1 (lanes 0 and 1 the first block, 2 and 3 the second).
struct TPairDivisors {
  V reciprocal[4];
  V correction[4];
  V scale[4];
};

V PairOfRows(const std::uint16_t* table, int k) {
  const auto row = [&](int r) {
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + r * 8));
    return _mm512_cvtepu16_epi32(_mm256_inserti128_si256(_mm256_castsi128_si256(words), words, 1));
  };
  return _mm512_packus_epi32(row(2 * k), row(2 * k + 1));
}

// Two blocks already in v (row r of both in v[r]), transformed and
// quantized into out (the first block) and out + 64 (the second; only when
// both is set). The quotient is the encoder's: |x| plus the correction,
// times the reciprocal, scaled, the sign put back.
inline __attribute__((always_inline)) void TransformAndQuantize(V v[8], const TPairDivisors& d,
                                                                std::int16_t* out, bool both) {
  Transpose(v);
  Pass<true>(v);
  Transpose(v);
  Pass<false>(v);
  // Words of a packed pair back into block order: within each block, row 2k
  // (coefficients 0-7), then row 2k + 1.
  const V order =
      _mm512_setr_epi32(0x00010000, 0x00030002, 0x00090008, 0x000B000A, 0x00050004, 0x00070006,
                        0x000D000C, 0x000F000E, 0x00110010, 0x00130012, 0x00190018, 0x001B001A,
                        0x00150014, 0x00170016, 0x001D001C, 0x001F001E);
  const V zero = _mm512_setzero_si512();
  for (int k = 0; k < 4; ++k) {
    // The coefficients fit 16 bits: at most 8 x 8 x 128 in magnitude.
    const V x = _mm512_packs_epi32(v[2 * k], v[2 * k + 1]);
    const V a = _mm512_add_epi16(_mm512_abs_epi16(x), d.correction[k]);
    V q = _mm512_mulhi_epu16(_mm512_mulhi_epu16(a, d.reciprocal[k]), d.scale[k]);
    q = _mm512_mask_sub_epi16(q, _mm512_movepi16_mask(x), zero, q);
    q = _mm512_permutexvar_epi16(order, q);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * k), _mm512_castsi512_si256(q));
    if (both) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64 + 16 * k),
                          _mm512_extracti64x4_epi64(q, 1));
    }
  }
}

}  // namespace

void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out) {
  TPairDivisors d;
  for (int k = 0; k < 4; ++k) {
    d.reciprocal[k] = PairOfRows(divisors.reciprocal, k);
    d.correction[k] = PairOfRows(divisors.correction, k);
    d.scale[k] = PairOfRows(divisors.scale, k);
  }
  const V center = _mm512_set1_epi32(128);
  V v[8];
  int b = 0;
  for (; b + 2 <= blocks; b += 2) {
    for (int r = 0; r < 8; ++r) {
      const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + b * 8));
      v[r] = Sub(_mm512_cvtepu8_epi32(px), center);
    }
    TransformAndQuantize(v, d, out + b * 64, true);
  }
  if (b < blocks) {
    // A last block alone: only its own 8 bytes of each row are read.
    for (int r = 0; r < 8; ++r) {
      const __m128i px = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[r] + b * 8));
      v[r] = Sub(_mm512_cvtepu8_epi32(px), center);
    }
    TransformAndQuantize(v, d, out + b * 64, false);
  }
}

}  // namespace quill::jpeg_dct
