// The export conversions thirty-two pixels at a time on processors with
// AVX-512 (F and BW) and FMA. Like the AVX2 file, this one alone is compiled
// for these instructions, is called only after the processor was asked, and
// uses raw pointers and intrinsics only. Its arithmetic is that of the AVX2
// file step for step, in registers twice as wide: the unpacks and packs
// work within 128-bit lanes the same way, so pixels come out in the same
// order.

#include "library/yuv_avx512.h"

// GCC 12's AVX-512 headers make their "undefined" registers out of
// themselves (__m512i __Y = __Y;), which its uninitialized-value warnings
// report once the intrinsics are inlined; the values are never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "library/yuv_avx2.h"

namespace quill::avx512 {

namespace {

__m512i FactorPair(int a, int b) {
  return _mm512_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(b) << 16) |
                                            (static_cast<std::uint32_t>(a) & 0xFFFF)));
}

// Sixteen N (1000ths) rounded to whole steps, halves up, the ties marked in
// a mask: the rounding of Steps in the AVX2 file.
inline __attribute__((always_inline)) __m512i Steps(__m512i n, __mmask16& ties) {
  const __m512 v =
      _mm512_fmadd_ps(_mm512_cvtepi32_ps(n), _mm512_set1_ps(0.001f), _mm512_set1_ps(0.5005f));
  const __m512i q = _mm512_cvttps_epi32(v);
  const __m512i below = _mm512_cvttps_epi32(_mm512_sub_ps(v, _mm512_set1_ps(0.001f)));
  ties = static_cast<__mmask16>(ties | _mm512_cmpneq_epi32_mask(q, below));
  return q;
}

// Thirty-two results of a channel (its two halves of 32-bit lanes) clamped
// to bytes and stored in pixel order.
inline __attribute__((always_inline)) void StoreChannel(__m512i lo, __m512i hi, std::uint8_t* out) {
  const __m512i words = _mm512_max_epi16(_mm512_packs_epi32(lo, hi), _mm512_setzero_si512());
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtusepi16_epi8(words));
}

// The tie masks of the low and high halves as pixel indices: each 128-bit
// lane holds eight pixels, the first four in the low half.
void AddTies(__mmask16 lo, __mmask16 hi, std::size_t first, std::uint16_t* ties,
             std::size_t& count) {
  for (unsigned half = 0; half < 2; ++half) {
    unsigned mask = half == 0 ? lo : hi;
    while (mask != 0) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(mask));
      mask &= mask - 1;
      ties[count++] = static_cast<std::uint16_t>(first + (i / 4) * 8 + half * 4 + i % 4);
    }
  }
}

// y, u, v: thirty-two pixels as 16-bit Y - 16, U - 128, V - 128.
inline __attribute__((always_inline)) void ThirtyTwoPixels(__m512i y, __m512i u, __m512i v, int gu,
                                                           int bu, std::uint8_t* b, std::uint8_t* g,
                                                           std::uint8_t* r, std::size_t first,
                                                           std::uint16_t* ties,
                                                           std::size_t& count) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i yuLo = _mm512_unpacklo_epi16(y, u);
  const __m512i yuHi = _mm512_unpackhi_epi16(y, u);
  const __m512i yvLo = _mm512_unpacklo_epi16(y, v);
  const __m512i yvHi = _mm512_unpackhi_epi16(y, v);
  const __m512i vLo = _mm512_unpacklo_epi16(v, zero);
  const __m512i vHi = _mm512_unpackhi_epi16(v, zero);
  const __m512i blue = FactorPair(1164, bu);
  const __m512i green = FactorPair(1164, -gu);
  const __m512i greenV = FactorPair(-813, 0);
  const __m512i red = FactorPair(1164, 1596);

  __mmask16 tiesLo = 0;
  __mmask16 tiesHi = 0;
  const __m512i bLo = Steps(_mm512_madd_epi16(yuLo, blue), tiesLo);
  const __m512i bHi = Steps(_mm512_madd_epi16(yuHi, blue), tiesHi);
  const __m512i gLo = Steps(
      _mm512_add_epi32(_mm512_madd_epi16(yuLo, green), _mm512_madd_epi16(vLo, greenV)), tiesLo);
  const __m512i gHi = Steps(
      _mm512_add_epi32(_mm512_madd_epi16(yuHi, green), _mm512_madd_epi16(vHi, greenV)), tiesHi);
  const __m512i rLo = Steps(_mm512_madd_epi16(yvLo, red), tiesLo);
  const __m512i rHi = Steps(_mm512_madd_epi16(yvHi, red), tiesHi);
  StoreChannel(bLo, bHi, b);
  StoreChannel(gLo, gHi, g);
  StoreChannel(rLo, rHi, r);
  if ((tiesLo | tiesHi) != 0) AddTies(tiesLo, tiesHi, first, ties, count);
}

// Runs an AVX2 conversion over the pixels after the whole groups of 32; its
// tie indices count from where it started, so they are moved up by done.
template <typename TTail>
void Tail(std::size_t done, std::uint16_t* ties, std::size_t& count, TTail&& tail) {
  const std::size_t before = count;
  tail();
  for (std::size_t i = before; i < count; ++i) {
    ties[i] = static_cast<std::uint16_t>(ties[i] + done);
  }
}

}  // namespace

void UyvyToPlanes(const std::uint8_t* uyvy, std::size_t pixels, int gu, int bu, std::uint8_t* b,
                  std::uint8_t* g, std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount) {
  const __m512i lowBytes = _mm512_set1_epi16(0x00FF);
  const __m512i luma0 = _mm512_set1_epi16(16);
  const __m512i chroma0 = _mm512_set1_epi16(128);
  std::size_t x = 0;
  for (; x + 32 <= pixels; x += 32) {
    const __m512i in = _mm512_loadu_si512(uyvy + 2 * x);
    const __m512i y = _mm512_sub_epi16(_mm512_srli_epi16(in, 8), luma0);
    const __m512i uv = _mm512_sub_epi16(_mm512_and_si512(in, lowBytes), chroma0);
    const __m512i u = _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(uv, 0xA0), 0xA0);
    const __m512i v = _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(uv, 0xF5), 0xF5);
    ThirtyTwoPixels(y, u, v, gu, bu, b + x, g + x, r + x, x, ties, tieCount);
  }
  _mm256_zeroupper();
  if (x < pixels) {
    Tail(x, ties, tieCount, [&] {
      avx2::UyvyToPlanes(uyvy + 2 * x, pixels - x, gu, bu, b + x, g + x, r + x, ties, tieCount);
    });
  }
}

void PlanarToPlanes(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, int gu, int bu, std::uint8_t* b, std::uint8_t* g,
                    std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount) {
  const __m512i luma0 = _mm512_set1_epi16(16);
  const __m512i chroma0 = _mm512_set1_epi16(128);
  // Sixteen chroma bytes, each doubled for its two pixels, as 16-bit values.
  auto chromaOf = [&](const std::uint8_t* plane) {
    const __m128i sixteen = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane));
    const __m256i doubled =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi8(sixteen, sixteen)),
                                _mm_unpackhi_epi8(sixteen, sixteen), 1);
    return _mm512_sub_epi16(_mm512_cvtepu8_epi16(doubled), chroma0);
  };
  std::size_t c = 0;
  for (; c + 16 <= pairs; c += 16) {
    const __m512i y = _mm512_sub_epi16(
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + 2 * c))),
        luma0);
    ThirtyTwoPixels(y, chromaOf(u + c), chromaOf(v + c), gu, bu, b + 2 * c, g + 2 * c, r + 2 * c,
                    2 * c, ties, tieCount);
  }
  _mm256_zeroupper();
  if (c < pairs) {
    Tail(2 * c, ties, tieCount, [&] {
      avx2::PlanarToPlanes(luma + 2 * c, u + c, v + c, pairs - c, gu, bu, b + 2 * c, g + 2 * c,
                           r + 2 * c, ties, tieCount);
    });
  }
}

void ResampleToPlanes(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                      const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                      const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                      std::uint8_t* const out[3]) {
  const std::uint8_t* planes[3] = {b, g, r};
  const __m512i one = _mm512_set1_epi16(1);
  for (std::size_t c = 0; c < 640; c += 32) {
    const __m512i left = _mm512_loadu_si512(leftMasks + 2 * c);
    const __m512i right = _mm512_loadu_si512(rightMasks + 2 * c);
    const __m512i weight0 = _mm512_loadu_si512(w00 + c);
    const __m512i weight1 = _mm512_loadu_si512(w01 + c);
    for (int k = 0; k < 3; ++k) {
      // Each 128-bit lane gathers its eight columns' pixel pairs from the
      // sixteen bytes at its first column's sample.
      auto at = [&](std::size_t column) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[k] + sx[column]));
      };
      __m512i source = _mm512_castsi128_si512(at(c));
      source = _mm512_inserti32x4(source, at(c + 8), 1);
      source = _mm512_inserti32x4(source, at(c + 16), 2);
      source = _mm512_inserti32x4(source, at(c + 24), 3);
      const __m512i p0 = _mm512_shuffle_epi8(source, left);
      const __m512i p1 = _mm512_shuffle_epi8(source, right);
      const __m512i high =
          _mm512_add_epi16(_mm512_mulhi_epu16(p0, weight0), _mm512_mulhi_epu16(p1, weight1));
      const __m512i low0 = _mm512_mullo_epi16(p0, weight0);
      const __m512i low = _mm512_add_epi16(low0, _mm512_mullo_epi16(p1, weight1));
      // The low halves carried into the high ones where their sum wrapped.
      const __mmask32 carry = _mm512_cmpgt_epu16_mask(low0, low);
      const __m512i result = _mm512_mask_add_epi16(high, carry, high, one);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[k] + c), _mm512_cvtepi16_epi8(result));
    }
  }
  _mm256_zeroupper();
}

namespace {

// The JPEG encoder's colour conversion, as YccOf in the AVX2 file.
struct TYccSums {
  __m512i Y, Cb, Cr;  // 32 pixels' 8-bit results as 16-bit lanes, in order
};

inline __attribute__((always_inline)) TYccSums YccOf(__m512i b, __m512i g, __m512i r) {
  const __m512i rgLo = _mm512_unpacklo_epi16(r, g);
  const __m512i rgHi = _mm512_unpackhi_epi16(r, g);
  const __m512i bgLo = _mm512_unpacklo_epi16(b, g);
  const __m512i bgHi = _mm512_unpackhi_epi16(b, g);
  const __m512i yRg = FactorPair(19595, 22086);
  const __m512i yBg = FactorPair(7471, 16384);
  const __m512i cbRg = FactorPair(-11059, -21709);
  const __m512i crBg = FactorPair(-5329, -27439);
  const __m512i minusHalf = FactorPair(-32768, 0);
  const __m512i yRound = _mm512_set1_epi32(32768);
  const __m512i cRound = _mm512_set1_epi32((128 << 16) + 32767);
  auto luma = [&](__m512i rg, __m512i bg) {
    return _mm512_srli_epi32(
        _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(rg, yRg), _mm512_madd_epi16(bg, yBg)),
                         yRound),
        16);
  };
  auto chroma = [&](__m512i plus, __m512i minus) {
    return _mm512_srli_epi32(_mm512_add_epi32(_mm512_sub_epi32(plus, minus), cRound), 16);
  };
  auto cb = [&](__m512i rg, __m512i bg) {
    return chroma(_mm512_madd_epi16(rg, cbRg), _mm512_madd_epi16(bg, minusHalf));
  };
  auto cr = [&](__m512i rg, __m512i bg) {
    return chroma(_mm512_madd_epi16(bg, crBg), _mm512_madd_epi16(rg, minusHalf));
  };
  return {_mm512_packs_epi32(luma(rgLo, bgLo), luma(rgHi, bgHi)),
          _mm512_packs_epi32(cb(rgLo, bgLo), cb(rgHi, bgHi)),
          _mm512_packs_epi32(cr(rgLo, bgLo), cr(rgHi, bgHi))};
}

// The 2 x 2 averaging of 32 columns of two rows into 16 chroma bytes, the
// bias 1, 2, 1, 2, ... from the first column.
inline __attribute__((always_inline)) void StoreHalved(__m512i top, __m512i bottom,
                                                       std::uint8_t* out) {
  const __m512i sums = _mm512_madd_epi16(_mm512_add_epi16(top, bottom), _mm512_set1_epi16(1));
  const __m512i bias = _mm512_set1_epi64(0x0000000200000001);
  const __m512i halved = _mm512_srli_epi32(_mm512_add_epi32(sums, bias), 2);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(halved));
}

inline __attribute__((always_inline)) void ThirtyTwoYcc(const __m512i (&top)[3],
                                                        const __m512i (&bottom)[3],
                                                        std::uint8_t* yTop, std::uint8_t* yBottom,
                                                        std::uint8_t* cb, std::uint8_t* cr) {
  const TYccSums upper = YccOf(top[0], top[1], top[2]);
  const TYccSums lower = YccOf(bottom[0], bottom[1], bottom[2]);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(yTop), _mm512_cvtepi16_epi8(upper.Y));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(yBottom), _mm512_cvtepi16_epi8(lower.Y));
  StoreHalved(upper.Cb, lower.Cb, cb);
  StoreHalved(upper.Cr, lower.Cr, cr);
}

inline __m512i Widen(const std::uint8_t* bytes) {
  return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)));
}

// Thirty-two 16-bit pixels widened by repeating their top bits.
template <bool kGreen6, bool kSwapped>
inline __attribute__((always_inline)) void WidenRgb16(const std::uint8_t* src, __m512i (&bgr)[3]) {
  __m512i p = _mm512_loadu_si512(src);
  if constexpr (kSwapped) {
    p = _mm512_shuffle_epi8(p, _mm512_broadcast_i32x4(_mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8,
                                                                    11, 10, 13, 12, 15, 14)));
  }
  const __m512i five = _mm512_set1_epi16(0x1F);
  const __m512i b5 = _mm512_and_si512(p, five);
  const __m512i r5 = _mm512_and_si512(_mm512_srli_epi16(p, kGreen6 ? 11 : 10), five);
  bgr[0] = _mm512_or_si512(_mm512_slli_epi16(b5, 3), _mm512_srli_epi16(b5, 2));
  bgr[2] = _mm512_or_si512(_mm512_slli_epi16(r5, 3), _mm512_srli_epi16(r5, 2));
  if constexpr (kGreen6) {
    const __m512i g6 = _mm512_and_si512(_mm512_srli_epi16(p, 5), _mm512_set1_epi16(0x3F));
    bgr[1] = _mm512_or_si512(_mm512_slli_epi16(g6, 2), _mm512_srli_epi16(g6, 4));
  } else {
    const __m512i g5 = _mm512_and_si512(_mm512_srli_epi16(p, 5), five);
    bgr[1] = _mm512_or_si512(_mm512_slli_epi16(g5, 3), _mm512_srli_epi16(g5, 2));
  }
}

template <bool kGreen6, bool kSwapped>
std::size_t Rgb16Rows(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
                      std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb,
                      std::uint8_t* cr) {
  std::size_t x = 0;
  for (; x + 32 <= pixels; x += 32) {
    __m512i upper[3];
    __m512i lower[3];
    WidenRgb16<kGreen6, kSwapped>(top + 2 * x, upper);
    WidenRgb16<kGreen6, kSwapped>(bottom + 2 * x, lower);
    ThirtyTwoYcc(upper, lower, yTop + x, yBottom + x, cb + x / 2, cr + x / 2);
  }
  return x;
}

}  // namespace

void PlanesToYcc(const std::uint8_t* const top[3], const std::uint8_t* const bottom[3],
                 std::size_t pixels, std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb,
                 std::uint8_t* cr) {
  std::size_t x = 0;
  for (; x + 32 <= pixels; x += 32) {
    const __m512i upper[3] = {Widen(top[0] + x), Widen(top[1] + x), Widen(top[2] + x)};
    const __m512i lower[3] = {Widen(bottom[0] + x), Widen(bottom[1] + x), Widen(bottom[2] + x)};
    ThirtyTwoYcc(upper, lower, yTop + x, yBottom + x, cb + x / 2, cr + x / 2);
  }
  _mm256_zeroupper();
  if (x < pixels) {
    const std::uint8_t* const restTop[3] = {top[0] + x, top[1] + x, top[2] + x};
    const std::uint8_t* const restBottom[3] = {bottom[0] + x, bottom[1] + x, bottom[2] + x};
    avx2::PlanesToYcc(restTop, restBottom, pixels - x, yTop + x, yBottom + x, cb + x / 2,
                      cr + x / 2);
  }
}

void Rgb16ToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
                bool green6, bool swapped, std::uint8_t* yTop, std::uint8_t* yBottom,
                std::uint8_t* cb, std::uint8_t* cr) {
  const std::size_t x =
      green6 ? (swapped ? Rgb16Rows<true, true>(top, bottom, pixels, yTop, yBottom, cb, cr)
                        : Rgb16Rows<true, false>(top, bottom, pixels, yTop, yBottom, cb, cr))
             : (swapped ? Rgb16Rows<false, true>(top, bottom, pixels, yTop, yBottom, cb, cr)
                        : Rgb16Rows<false, false>(top, bottom, pixels, yTop, yBottom, cb, cr));
  _mm256_zeroupper();
  if (x < pixels) {
    avx2::Rgb16ToYcc(top + 2 * x, bottom + 2 * x, pixels - x, green6, swapped, yTop + x,
                     yBottom + x, cb + x / 2, cr + x / 2);
  }
}

}  // namespace quill::avx512
