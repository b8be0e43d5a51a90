// The forward DCT and quantization of jpeg_dct.h on AVX-512. This file alone
// is compiled for these instructions and is called only after the processor
// was asked. Four blocks share a register, one in each 128-bit lane, eight
// 16-bit samples (a row or a column) in each. The products are taken in
// 32 bits by multiply-add pairs whose constants are the encoder's rotations
// multiplied out: the same integers as its 32-bit arithmetic, so every
// coefficient is the one it computes.

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

// The rotations' constants, round(x * 2^13).
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

#define QUILL_INLINE inline __attribute__((always_inline))

// A pair of 16-bit constants for a multiply-add: a times the first word of
// each pair, b times the second.
constexpr int Pair(int a, int b) {
  return static_cast<int>((static_cast<unsigned>(b) << 16) | (static_cast<unsigned>(a) & 0xFFFFu));
}

// The even part's rotation: z1 = (t12 + t13) c(0.541); out2 = z1 + t13 c(0.765),
// out6 = z1 - t12 c(1.848).
constexpr int kOut2 = Pair(kFix0_541196100, kFix0_541196100 + kFix0_765366865);
constexpr int kOut6 = Pair(kFix0_541196100 - kFix1_847759065, kFix0_541196100);
// The odd part: z5 = (t4 + t5 + t6 + t7) c(1.176) and the four rotations,
// each output a sum over t4..t7 with the constants gathered per input.
constexpr int kZ5 = kFix1_175875602;
constexpr int kOut7a = Pair(kFix0_298631336 - kFix0_899976223 - kFix1_961570560 + kZ5, kZ5);
constexpr int kOut7b = Pair(kZ5 - kFix1_961570560, kZ5 - kFix0_899976223);
constexpr int kOut5a = Pair(kZ5, kFix2_053119869 - kFix2_562915447 - kFix0_390180644 + kZ5);
constexpr int kOut5b = Pair(kZ5 - kFix2_562915447, kZ5 - kFix0_390180644);
constexpr int kOut3a = Pair(kZ5 - kFix1_961570560, kZ5 - kFix2_562915447);
constexpr int kOut3b = Pair(kFix3_072711026 - kFix2_562915447 - kFix1_961570560 + kZ5, kZ5);
constexpr int kOut1a = Pair(kZ5 - kFix0_899976223, kZ5 - kFix0_390180644);
constexpr int kOut1b = Pair(kZ5, kFix1_501321110 - kFix0_899976223 - kFix0_390180644 + kZ5);

// (pairs lo and hi of (a, b) times ka, plus those of (c, d) times kb),
// rounded and shifted right by N, packed back to words in their order.
template <int N>
QUILL_INLINE V Rotate(V abLo, V abHi, int ka, V cdLo, V cdHi, int kb) {
  const V round = _mm512_set1_epi32(1 << (N - 1));
  const V fa = _mm512_set1_epi32(ka);
  const V fb = _mm512_set1_epi32(kb);
  const V lo = _mm512_add_epi32(_mm512_madd_epi16(abLo, fa), _mm512_madd_epi16(cdLo, fb));
  const V hi = _mm512_add_epi32(_mm512_madd_epi16(abHi, fa), _mm512_madd_epi16(cdHi, fb));
  return _mm512_packs_epi32(_mm512_srai_epi32(_mm512_add_epi32(lo, round), N),
                            _mm512_srai_epi32(_mm512_add_epi32(hi, round), N));
}

template <int N>
QUILL_INLINE V Rotate(V abLo, V abHi, int k) {
  const V round = _mm512_set1_epi32(1 << (N - 1));
  const V f = _mm512_set1_epi32(k);
  return _mm512_packs_epi32(
      _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(abLo, f), round), N),
      _mm512_srai_epi32(_mm512_add_epi32(_mm512_madd_epi16(abHi, f), round), N));
}

// One pass of the 8-point transform over d[0..7]; each word is a line of its
// own. The first pass (rows) keeps kPass1Bits more bits, the second
// (columns) removes them. Every sum fits 16 bits: the largest, the second
// pass's DC term, is at most 8 x 8 x 128 x 4 = 32768 in magnitude, and only
// the negative end reaches it.
template <bool First>
QUILL_INLINE void Pass(V d[8]) {
  const V tmp0 = _mm512_add_epi16(d[0], d[7]);
  const V tmp7 = _mm512_sub_epi16(d[0], d[7]);
  const V tmp1 = _mm512_add_epi16(d[1], d[6]);
  const V tmp6 = _mm512_sub_epi16(d[1], d[6]);
  const V tmp2 = _mm512_add_epi16(d[2], d[5]);
  const V tmp5 = _mm512_sub_epi16(d[2], d[5]);
  const V tmp3 = _mm512_add_epi16(d[3], d[4]);
  const V tmp4 = _mm512_sub_epi16(d[3], d[4]);

  const V tmp10 = _mm512_add_epi16(tmp0, tmp3);
  const V tmp13 = _mm512_sub_epi16(tmp0, tmp3);
  const V tmp11 = _mm512_add_epi16(tmp1, tmp2);
  const V tmp12 = _mm512_sub_epi16(tmp1, tmp2);
  constexpr int kShift = First ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
  if constexpr (First) {
    d[0] = _mm512_slli_epi16(_mm512_add_epi16(tmp10, tmp11), kPass1Bits);
    d[4] = _mm512_slli_epi16(_mm512_sub_epi16(tmp10, tmp11), kPass1Bits);
  } else {
    const V round = _mm512_set1_epi16(1 << (kPass1Bits - 1));
    d[0] = _mm512_srai_epi16(_mm512_add_epi16(_mm512_add_epi16(tmp10, tmp11), round), kPass1Bits);
    d[4] = _mm512_srai_epi16(_mm512_add_epi16(_mm512_sub_epi16(tmp10, tmp11), round), kPass1Bits);
  }
  const V e_lo = _mm512_unpacklo_epi16(tmp12, tmp13);
  const V e_hi = _mm512_unpackhi_epi16(tmp12, tmp13);
  d[2] = Rotate<kShift>(e_lo, e_hi, kOut2);
  d[6] = Rotate<kShift>(e_lo, e_hi, kOut6);

  const V p45lo = _mm512_unpacklo_epi16(tmp4, tmp5);
  const V p45hi = _mm512_unpackhi_epi16(tmp4, tmp5);
  const V p67lo = _mm512_unpacklo_epi16(tmp6, tmp7);
  const V p67hi = _mm512_unpackhi_epi16(tmp6, tmp7);
  d[7] = Rotate<kShift>(p45lo, p45hi, kOut7a, p67lo, p67hi, kOut7b);
  d[5] = Rotate<kShift>(p45lo, p45hi, kOut5a, p67lo, p67hi, kOut5b);
  d[3] = Rotate<kShift>(p45lo, p45hi, kOut3a, p67lo, p67hi, kOut3b);
  d[1] = Rotate<kShift>(p45lo, p45hi, kOut1a, p67lo, p67hi, kOut1b);
}

// Transposes the 8 x 8 words in each 128-bit lane: word c of v[r] becomes
// word r of v[c].
QUILL_INLINE void Transpose(V v[8]) {
  const V a0 = _mm512_unpacklo_epi16(v[0], v[1]);
  const V a1 = _mm512_unpackhi_epi16(v[0], v[1]);
  const V a2 = _mm512_unpacklo_epi16(v[2], v[3]);
  const V a3 = _mm512_unpackhi_epi16(v[2], v[3]);
  const V a4 = _mm512_unpacklo_epi16(v[4], v[5]);
  const V a5 = _mm512_unpackhi_epi16(v[4], v[5]);
  const V a6 = _mm512_unpacklo_epi16(v[6], v[7]);
  const V a7 = _mm512_unpackhi_epi16(v[6], v[7]);
  const V b0 = _mm512_unpacklo_epi32(a0, a2);
  const V b1 = _mm512_unpackhi_epi32(a0, a2);
  const V b2 = _mm512_unpacklo_epi32(a1, a3);
  const V b3 = _mm512_unpackhi_epi32(a1, a3);
  const V b4 = _mm512_unpacklo_epi32(a4, a6);
  const V b5 = _mm512_unpackhi_epi32(a4, a6);
  const V b6 = _mm512_unpacklo_epi32(a5, a7);
  const V b7 = _mm512_unpackhi_epi32(a5, a7);
  v[0] = _mm512_unpacklo_epi64(b0, b4);
  v[1] = _mm512_unpackhi_epi64(b0, b4);
  v[2] = _mm512_unpacklo_epi64(b1, b5);
  v[3] = _mm512_unpackhi_epi64(b1, b5);
  v[4] = _mm512_unpacklo_epi64(b2, b6);
  v[5] = _mm512_unpackhi_epi64(b2, b6);
  v[6] = _mm512_unpacklo_epi64(b3, b7);
  v[7] = _mm512_unpackhi_epi64(b3, b7);
}

// The divisors of coefficient row r, the same in each block's lane.
struct TRowDivisors {
  V reciprocal[8];
  V correction[8];
  V scale[8];
};

V EachLane(const std::uint16_t* table, int r) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table + r * 8)));
}

// Up to four blocks (count) from rows at column x, transformed and
// quantized into out, block after block. The quotient is the encoder's:
// |x| plus the correction, times the reciprocal, scaled, the sign put back.
QUILL_INLINE void FourBlocks(const std::uint8_t* const rows[8], int x, int count,
                             const TRowDivisors& d, std::int16_t* out) {
  const __mmask32 bytes =
      count >= 4 ? ~__mmask32{0} : static_cast<__mmask32>((1u << (8 * count)) - 1);
  const V center = _mm512_set1_epi16(128);
  V v[8];
  for (int r = 0; r < 8; ++r) {
    // Masked: a short group reads nothing past its last block.
    const __m256i px = _mm256_maskz_loadu_epi8(bytes, rows[r] + x);
    v[r] = _mm512_sub_epi16(_mm512_cvtepu8_epi16(px), center);
  }
  Transpose(v);
  Pass<true>(v);
  Transpose(v);
  Pass<false>(v);
  const V zero = _mm512_setzero_si512();
  for (int r = 0; r < 8; ++r) {
    const V a = _mm512_add_epi16(_mm512_abs_epi16(v[r]), d.correction[r]);
    const V q = _mm512_mulhi_epu16(_mm512_mulhi_epu16(a, d.reciprocal[r]), d.scale[r]);
    v[r] = _mm512_mask_sub_epi16(q, _mm512_movepi16_mask(v[r]), zero, q);
  }
  // Rows r and r + 1 of blocks 0 and 1, and of blocks 2 and 3, each pair of
  // rows one 256-bit store.
  const V first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const V second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  for (int r = 0; r < 8; r += 2) {
    const V blocks01 = _mm512_permutex2var_epi64(v[r], first, v[r + 1]);
    const V blocks23 = _mm512_permutex2var_epi64(v[r], second, v[r + 1]);
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
  TRowDivisors d;
  for (int r = 0; r < 8; ++r) {
    d.reciprocal[r] = EachLane(divisors.reciprocal, r);
    d.correction[r] = EachLane(divisors.correction, r);
    d.scale[r] = EachLane(divisors.scale, r);
  }
  for (int b = 0; b < blocks; b += 4) FourBlocks(rows, b * 8, blocks - b, d, out + b * 64);
}

}  // namespace quill::jpeg_dct
