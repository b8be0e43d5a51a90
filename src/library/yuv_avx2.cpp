// The YUV conversions sixteen pixels at a time on processors with AVX2 and
// FMA. This file alone is compiled for them and is called only after the
// processor was asked; it uses raw pointers and intrinsics only, so that no
// inline function of a shared header is compiled here with instructions
// other files may not run. The integer form is that of the eight-pixel SSE2 steps in yuv.cpp; the
// rounding to whole steps takes fewer instructions here.

#include "library/yuv_avx2.h"

#include <immintrin.h>

namespace quill::avx2 {

namespace {

__m256i FactorPair(int a, int b) {
  return _mm256_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(b) << 16) |
                                            (static_cast<std::uint32_t>(a) & 0xFFFF)));
}

// Eight N (1000ths) rounded to whole steps, halves up, the ties marked.
// v = (N + 500.5) / 1000 in one fused multiply-add is off by less than 1e-4
// (|N| < 600000), and (N + 500.5) / 1000 lies at least 0.0005 from a whole
// number, so truncating v rounds N / 1000 half up exactly for v >= 0 (below
// zero it gives 0 or less, which the packing clamps to 0). Truncating
// v - 0.001 gives one less exactly at the ties (N mod 1000 = 500), whose
// rounding the double formulas decide; near zero it marks a few negative
// values as well, which the double path also clamps to 0.
__m256i Steps(__m256i n, __m256i& ties) {
  const __m256 v =
      _mm256_fmadd_ps(_mm256_cvtepi32_ps(n), _mm256_set1_ps(0.001f), _mm256_set1_ps(0.5005f));
  const __m256i q = _mm256_cvttps_epi32(v);
  const __m256i below = _mm256_cvttps_epi32(_mm256_sub_ps(v, _mm256_set1_ps(0.001f)));
  // -1 at a tie, 0 elsewhere.
  ties = _mm256_or_si256(ties, _mm256_sub_epi32(below, q));
  return q;
}

// y, u, v: sixteen pixels as 16-bit Y - 16, U - 128, V - 128. Stores their
// B, G and R bytes and answers a bit per pixel that needs the double path.
inline __attribute__((always_inline)) int SixteenPixels(__m256i y, __m256i u, __m256i v, int gu,
                                                        int bu, std::uint8_t* b, std::uint8_t* g,
                                                        std::uint8_t* r) {
  const __m256i zero = _mm256_setzero_si256();
  // The unpacks work within each 128-bit half; the packs below put the
  // pixels back in order within the halves.
  const __m256i yuLo = _mm256_unpacklo_epi16(y, u);
  const __m256i yuHi = _mm256_unpackhi_epi16(y, u);
  const __m256i yvLo = _mm256_unpacklo_epi16(y, v);
  const __m256i yvHi = _mm256_unpackhi_epi16(y, v);
  const __m256i vLo = _mm256_unpacklo_epi16(v, zero);
  const __m256i vHi = _mm256_unpackhi_epi16(v, zero);
  const __m256i blue = FactorPair(1164, bu);
  const __m256i green = FactorPair(1164, -gu);
  const __m256i greenV = FactorPair(-813, 0);
  const __m256i red = FactorPair(1164, 1596);

  __m256i tiesLo = zero;
  __m256i tiesHi = zero;
  const __m256i bLo = Steps(_mm256_madd_epi16(yuLo, blue), tiesLo);
  const __m256i bHi = Steps(_mm256_madd_epi16(yuHi, blue), tiesHi);
  const __m256i gLo = Steps(
      _mm256_add_epi32(_mm256_madd_epi16(yuLo, green), _mm256_madd_epi16(vLo, greenV)), tiesLo);
  const __m256i gHi = Steps(
      _mm256_add_epi32(_mm256_madd_epi16(yuHi, green), _mm256_madd_epi16(vHi, greenV)), tiesHi);
  const __m256i rLo = Steps(_mm256_madd_epi16(yvLo, red), tiesLo);
  const __m256i rHi = Steps(_mm256_madd_epi16(yvHi, red), tiesHi);

  // Each 128-bit half holds eight pixels in order after the 32 to 16 bit
  // pack; the byte pack then leaves them in bytes 0-7 and 16-23, which the
  // permute brings together.
  auto bytes = [&](__m256i lo, __m256i hi) {
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(lo, hi), zero);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(b), bytes(bLo, bHi));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(g), bytes(gLo, gHi));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(r), bytes(rLo, rHi));
  const __m256i ties16 = _mm256_packs_epi32(tiesLo, tiesHi);
  const __m256i ties8 = _mm256_permute4x64_epi64(_mm256_packs_epi16(ties16, zero), 0x08);
  return _mm_movemask_epi8(_mm256_castsi256_si128(ties8));
}

void AddTies(int mask, std::size_t first, std::uint16_t* ties, std::size_t& count) {
  while (mask != 0) {
    ties[count++] = static_cast<std::uint16_t>(
        first + static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(mask))));
    mask &= mask - 1;
  }
}

}  // namespace

void UyvyToPlanes(const std::uint8_t* uyvy, std::size_t pixels, int gu, int bu, std::uint8_t* b,
                  std::uint8_t* g, std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount) {
  const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
  const __m256i luma0 = _mm256_set1_epi16(16);
  const __m256i chroma0 = _mm256_set1_epi16(128);
  for (std::size_t x = 0; x + 16 <= pixels; x += 16) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(uyvy + 2 * x));
    const __m256i y = _mm256_sub_epi16(_mm256_srli_epi16(in, 8), luma0);
    const __m256i uv = _mm256_sub_epi16(_mm256_and_si256(in, lowBytes), chroma0);
    const __m256i u = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xA0), 0xA0);
    const __m256i v = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xF5), 0xF5);
    AddTies(SixteenPixels(y, u, v, gu, bu, b + x, g + x, r + x), x, ties, tieCount);
  }
  // The callers go on with SSE2 code, which runs slowly while the upper
  // halves of the registers hold data.
  _mm256_zeroupper();
}

void PlanarToPlanes(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, int gu, int bu, std::uint8_t* b, std::uint8_t* g,
                    std::uint8_t* r, std::uint16_t* ties, std::size_t& tieCount) {
  const __m256i luma0 = _mm256_set1_epi16(16);
  const __m256i chroma0 = _mm256_set1_epi16(128);
  // Eight chroma bytes, each doubled for its two pixels, as 16-bit values.
  auto chromaOf = [&](const std::uint8_t* plane) {
    const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane));
    const __m128i doubled = _mm_unpacklo_epi8(eight, eight);
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(doubled), chroma0);
  };
  for (std::size_t c = 0; c + 8 <= pairs; c += 8) {
    const __m256i y = _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 2 * c))),
        luma0);
    AddTies(
        SixteenPixels(y, chromaOf(u + c), chromaOf(v + c), gu, bu, b + 2 * c, g + 2 * c, r + 2 * c),
        2 * c, ties, tieCount);
  }
  _mm256_zeroupper();
}

namespace {

// Sixteen pixels of three 16-byte channels as 48 bytes of B, G, R.
inline __attribute__((always_inline)) void Interleave(const __m128i (&channel)[3],
                                                      std::uint8_t* bgr) {
  // The bytes of each channel in the three 16-byte thirds of the output.
  const __m128i place[3][3] = {
      {_mm_setr_epi8(0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4, -128, -128, 5),
       _mm_setr_epi8(-128, 0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4, -128,
                     -128),
       _mm_setr_epi8(-128, -128, 0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4,
                     -128)},
      {_mm_setr_epi8(-128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128, -128, 10,
                     -128),
       _mm_setr_epi8(5, -128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128, -128, 10),
       _mm_setr_epi8(-128, 5, -128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128,
                     -128)},
      {_mm_setr_epi8(-128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128, 15, -128,
                     -128),
       _mm_setr_epi8(-128, -128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128, 15,
                     -128),
       _mm_setr_epi8(10, -128, -128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128,
                     15)},
  };
  for (int third = 0; third < 3; ++third) {
    const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(channel[0], place[third][0]),
                                                    _mm_shuffle_epi8(channel[1], place[third][1])),
                                       _mm_shuffle_epi8(channel[2], place[third][2]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bgr + 16 * third), bytes);
  }
}

}  // namespace

void PlanesToBgr(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                 std::size_t pixels, std::uint8_t* bgr) {
  for (std::size_t x = 0; x + 16 <= pixels; x += 16, bgr += 48) {
    const __m128i channel[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x))};
    Interleave(channel, bgr);
  }
  _mm256_zeroupper();
}

namespace {

// The 704 to 640 resampling of a row, sixteen columns at a time, each group
// handed to sink as its three channels.
template <typename TSink>
inline __attribute__((always_inline)) void Resample(const std::uint8_t* b, const std::uint8_t* g,
                                                    const std::uint8_t* r, const std::uint16_t* sx,
                                                    const std::uint16_t* w00,
                                                    const std::uint16_t* w01,
                                                    const std::uint8_t* leftMasks,
                                                    const std::uint8_t* rightMasks, TSink&& sink) {
  const __m256i sign = _mm256_set1_epi16(static_cast<short>(0x8000));
  const std::uint8_t* planes[3] = {b, g, r};
  for (std::size_t c = 0; c < 640; c += 16) {
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(leftMasks + 2 * c));
    const __m256i right = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rightMasks + 2 * c));
    const __m256i weight0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w00 + c));
    const __m256i weight1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w01 + c));
    __m128i channel[3];
    for (int k = 0; k < 3; ++k) {
      // Each 128-bit half gathers its eight columns' pixel pairs from the
      // sixteen bytes at its first column's sample.
      const __m256i source = _mm256_inserti128_si256(
          _mm256_castsi128_si256(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[k] + sx[c]))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[k] + sx[c + 8])), 1);
      const __m256i p0 = _mm256_shuffle_epi8(source, left);
      const __m256i p1 = _mm256_shuffle_epi8(source, right);
      // (p0 w00 + p1 w01) >> 16 from the high and low 16 bits of the
      // products, the low halves' carry added to the high ones.
      const __m256i high =
          _mm256_add_epi16(_mm256_mulhi_epu16(p0, weight0), _mm256_mulhi_epu16(p1, weight1));
      const __m256i low0 = _mm256_mullo_epi16(p0, weight0);
      const __m256i low = _mm256_add_epi16(low0, _mm256_mullo_epi16(p1, weight1));
      const __m256i carry =
          _mm256_cmpgt_epi16(_mm256_xor_si256(low0, sign), _mm256_xor_si256(low, sign));
      const __m256i result = _mm256_sub_epi16(high, carry);
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(result, result), 0x08);
      channel[k] = _mm256_castsi256_si128(packed);
    }
    sink(c, channel);
  }
}

}  // namespace

void ResampleToBgr(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                   const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                   const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                   std::uint8_t* bgr) {
  Resample(b, g, r, sx, w00, w01, leftMasks, rightMasks,
           [&](std::size_t c, const __m128i(&channel)[3]) { Interleave(channel, bgr + 3 * c); });
  _mm256_zeroupper();
}

void ResampleToPlanes(const std::uint8_t* b, const std::uint8_t* g, const std::uint8_t* r,
                      const std::uint16_t* sx, const std::uint16_t* w00, const std::uint16_t* w01,
                      const std::uint8_t* leftMasks, const std::uint8_t* rightMasks,
                      std::uint8_t* const out[3]) {
  Resample(b, g, r, sx, w00, w01, leftMasks, rightMasks,
           [&](std::size_t c, const __m128i(&channel)[3]) {
             for (int k = 0; k < 3; ++k) {
               _mm_storeu_si128(reinterpret_cast<__m128i*>(out[k] + c), channel[k]);
             }
           });
  _mm256_zeroupper();
}

namespace {

// The JPEG encoder's colour conversion in 16.16 fixed point, to the bit:
//   Y  = (19595 R + 38470 G + 7471 B + 32768) >> 16
//   Cb = (-11059 R - 21709 G + 32768 B + (128 << 16) + 32767) >> 16
//   Cr = (32768 R - 27439 G - 5329 B + (128 << 16) + 32767) >> 16
// as pairs for _mm256_madd_epi16: 38470 and 32768 do not fit a signed
// 16-bit factor, so green's luma weight is split in two and the 32768 terms
// are subtracted as -32768.
struct TYccSums {
  __m256i Y, Cb, Cr;  // sixteen pixels' 8-bit results as 16-bit lanes, in order
};

inline __attribute__((always_inline)) TYccSums YccOf(__m256i b, __m256i g, __m256i r) {
  const __m256i rgLo = _mm256_unpacklo_epi16(r, g);
  const __m256i rgHi = _mm256_unpackhi_epi16(r, g);
  const __m256i bgLo = _mm256_unpacklo_epi16(b, g);
  const __m256i bgHi = _mm256_unpackhi_epi16(b, g);
  const __m256i yRg = FactorPair(19595, 22086);
  const __m256i yBg = FactorPair(7471, 16384);
  const __m256i cbRg = FactorPair(-11059, -21709);
  const __m256i crBg = FactorPair(-5329, -27439);
  const __m256i minusHalf = FactorPair(-32768, 0);
  const __m256i yRound = _mm256_set1_epi32(32768);
  const __m256i cRound = _mm256_set1_epi32((128 << 16) + 32767);
  auto luma = [&](__m256i rg, __m256i bg) {
    return _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(rg, yRg), _mm256_madd_epi16(bg, yBg)),
                         yRound),
        16);
  };
  auto cb = [&](__m256i rg, __m256i bg) {
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_sub_epi32(_mm256_madd_epi16(rg, cbRg),
                                                               _mm256_madd_epi16(bg, minusHalf)),
                                              cRound),
                             16);
  };
  auto cr = [&](__m256i rg, __m256i bg) {
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_sub_epi32(_mm256_madd_epi16(bg, crBg),
                                                               _mm256_madd_epi16(rg, minusHalf)),
                                              cRound),
                             16);
  };
  return {_mm256_packs_epi32(luma(rgLo, bgLo), luma(rgHi, bgHi)),
          _mm256_packs_epi32(cb(rgLo, bgLo), cb(rgHi, bgHi)),
          _mm256_packs_epi32(cr(rgLo, bgLo), cr(rgHi, bgHi))};
}

// Sixteen 16-bit lanes of bytes as sixteen bytes.
inline __attribute__((always_inline)) void StoreBytes(__m256i lanes, std::uint8_t* out) {
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(lanes, lanes), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

// The encoder's 2 x 2 averaging of sixteen columns of two rows into eight
// chroma bytes: (four samples + bias) >> 2, the bias 1, 2, 1, 2, ... from
// the row's first column.
inline __attribute__((always_inline)) void StoreHalved(__m256i top, __m256i bottom,
                                                       std::uint8_t* out) {
  const __m256i sums = _mm256_madd_epi16(_mm256_add_epi16(top, bottom), _mm256_set1_epi16(1));
  const __m256i bias = _mm256_setr_epi32(1, 2, 1, 2, 1, 2, 1, 2);
  const __m256i halved = _mm256_srli_epi32(_mm256_add_epi32(sums, bias), 2);
  // Four bytes in each 128-bit half, brought together.
  const __m256i words = _mm256_packs_epi32(halved, halved);
  const __m256i bytes = _mm256_packus_epi16(words, words);
  const __m128i both =
      _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), both);
}

inline __attribute__((always_inline)) void SixteenYcc(const __m256i (&top)[3],
                                                      const __m256i (&bottom)[3],
                                                      std::uint8_t* yTop, std::uint8_t* yBottom,
                                                      std::uint8_t* cb, std::uint8_t* cr) {
  const TYccSums upper = YccOf(top[0], top[1], top[2]);
  const TYccSums lower = YccOf(bottom[0], bottom[1], bottom[2]);
  StoreBytes(upper.Y, yTop);
  StoreBytes(lower.Y, yBottom);
  StoreHalved(upper.Cb, lower.Cb, cb);
  StoreHalved(upper.Cr, lower.Cr, cr);
}

inline __m256i Widen(const std::uint8_t* bytes) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// The bytes of channel k of sixteen B, G, R pixels from the three 16-byte
// thirds they lie in.
struct TDeinterleave {
  __m128i Pick[3][3];
  TDeinterleave() {
    alignas(16) std::int8_t masks[3][3][16];
    for (int k = 0; k < 3; ++k) {
      for (int third = 0; third < 3; ++third) {
        for (int j = 0; j < 16; ++j) {
          const int at = 3 * j + k;
          masks[k][third][j] = static_cast<std::int8_t>(at / 16 == third ? at % 16 : -128);
        }
        Pick[k][third] = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[k][third]));
      }
    }
  }
};

inline __attribute__((always_inline)) void Deinterleave(const TDeinterleave& d,
                                                        const std::uint8_t* bgr,
                                                        __m256i (&channel)[3]) {
  const __m128i thirds[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 16)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 32))};
  for (int k = 0; k < 3; ++k) {
    const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(thirds[0], d.Pick[k][0]),
                                                    _mm_shuffle_epi8(thirds[1], d.Pick[k][1])),
                                       _mm_shuffle_epi8(thirds[2], d.Pick[k][2]));
    channel[k] = _mm256_cvtepu8_epi16(bytes);
  }
}

}  // namespace

void PlanesToYcc(const std::uint8_t* const top[3], const std::uint8_t* const bottom[3],
                 std::size_t pixels, std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb,
                 std::uint8_t* cr) {
  for (std::size_t x = 0; x + 16 <= pixels; x += 16) {
    const __m256i upper[3] = {Widen(top[0] + x), Widen(top[1] + x), Widen(top[2] + x)};
    const __m256i lower[3] = {Widen(bottom[0] + x), Widen(bottom[1] + x), Widen(bottom[2] + x)};
    SixteenYcc(upper, lower, yTop + x, yBottom + x, cb + x / 2, cr + x / 2);
  }
  _mm256_zeroupper();
}

void BgrToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
              std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb, std::uint8_t* cr) {
  static const TDeinterleave d;
  for (std::size_t x = 0; x + 16 <= pixels; x += 16) {
    __m256i upper[3];
    __m256i lower[3];
    Deinterleave(d, top + 3 * x, upper);
    Deinterleave(d, bottom + 3 * x, lower);
    SixteenYcc(upper, lower, yTop + x, yBottom + x, cb + x / 2, cr + x / 2);
  }
  _mm256_zeroupper();
}

namespace {

// Sixteen 16-bit pixels widened to 8 bits per channel by repeating their top
// bits (5 bits abcde give abcdeabc), as the bitmap reader widens them.
template <bool kGreen6, bool kSwapped>
inline __attribute__((always_inline)) void WidenRgb16(const std::uint8_t* src, __m256i (&bgr)[3]) {
  __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  if constexpr (kSwapped) {
    p = _mm256_shuffle_epi8(
        p, _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5, 4,
                            7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
  }
  const __m256i five = _mm256_set1_epi16(0x1F);
  const __m256i b5 = _mm256_and_si256(p, five);
  const __m256i r5 = _mm256_and_si256(_mm256_srli_epi16(p, kGreen6 ? 11 : 10), five);
  bgr[0] = _mm256_or_si256(_mm256_slli_epi16(b5, 3), _mm256_srli_epi16(b5, 2));
  bgr[2] = _mm256_or_si256(_mm256_slli_epi16(r5, 3), _mm256_srli_epi16(r5, 2));
  if constexpr (kGreen6) {
    const __m256i g6 = _mm256_and_si256(_mm256_srli_epi16(p, 5), _mm256_set1_epi16(0x3F));
    bgr[1] = _mm256_or_si256(_mm256_slli_epi16(g6, 2), _mm256_srli_epi16(g6, 4));
  } else {
    const __m256i g5 = _mm256_and_si256(_mm256_srli_epi16(p, 5), five);
    bgr[1] = _mm256_or_si256(_mm256_slli_epi16(g5, 3), _mm256_srli_epi16(g5, 2));
  }
}

template <bool kGreen6, bool kSwapped>
void Rgb16Rows(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
               std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* cb, std::uint8_t* cr) {
  for (std::size_t x = 0; x + 16 <= pixels; x += 16) {
    __m256i upper[3];
    __m256i lower[3];
    WidenRgb16<kGreen6, kSwapped>(top + 2 * x, upper);
    WidenRgb16<kGreen6, kSwapped>(bottom + 2 * x, lower);
    SixteenYcc(upper, lower, yTop + x, yBottom + x, cb + x / 2, cr + x / 2);
  }
}

}  // namespace

void Rgb16ToYcc(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t pixels,
                bool green6, bool swapped, std::uint8_t* yTop, std::uint8_t* yBottom,
                std::uint8_t* cb, std::uint8_t* cr) {
  if (green6) {
    if (swapped) {
      Rgb16Rows<true, true>(top, bottom, pixels, yTop, yBottom, cb, cr);
    } else {
      Rgb16Rows<true, false>(top, bottom, pixels, yTop, yBottom, cb, cr);
    }
  } else if (swapped) {
    Rgb16Rows<false, true>(top, bottom, pixels, yTop, yBottom, cb, cr);
  } else {
    Rgb16Rows<false, false>(top, bottom, pixels, yTop, yBottom, cb, cr);
  }
  _mm256_zeroupper();
}

}  // namespace quill::avx2
