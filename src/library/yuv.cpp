#include "library/yuv.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "library/yuv_avx2.h"
#include "library/yuv_avx512.h"

namespace quill {

std::uint8_t ClampByte(double x) {
  // Rounds to the nearest integer with halves to the even neighbour, as
  // std::nearbyint does in the default rounding mode: adding 1.5 x 2^52 leaves
  // no fraction bits, so the addition itself rounds, ties to even. Done here
  // because nearbyint is a library call, and a photo takes a million of these.
  constexpr double kRound = 6755399441055744.0;
  if (!(x > -0.5)) return 0;  // rounds below zero, or NaN
  if (x >= 255.5) return 255;
  const double r = (x + kRound) - kRound;
  return static_cast<std::uint8_t>(r);
}

namespace {

// The chroma terms of one U, V pair, which both pixels of a pair share. The
// products and the order of the additions are those of the formulas, so the
// results are the same to the last bit as computing each pixel on its own.
struct TChroma {
  double B;   // added to the luma for blue
  double GU;  // subtracted for green, then GV
  double GV;
  double R;  // added for red
};

template <bool kPlanar>
TChroma ChromaOf(std::uint8_t u, std::uint8_t v) {
  const double cu = static_cast<double>(u) - 128.0;
  const double cv = static_cast<double>(v) - 128.0;
  return {(kPlanar ? 2.018 : 2.017) * cu, (kPlanar ? 0.391 : 0.392) * cu, 0.813 * cv, 1.596 * cv};
}

double LumaOf(std::uint8_t y) { return 1.164 * (static_cast<double>(y) - 16.0); }

void ToBgr(double l, const TChroma& c, std::uint8_t* bgr) {
  bgr[0] = ClampByte(l + c.B);
  bgr[1] = ClampByte(l - c.GU - c.GV);
  bgr[2] = ClampByte(l + c.R);
}

}  // namespace

void InterlacedYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr) {
  ToBgr(LumaOf(y), ChromaOf<false>(u, v), bgr);
}

void PlanarYuvToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr) {
  ToBgr(LumaOf(y), ChromaOf<true>(u, v), bgr);
}

namespace {

// The widest kernels this processor runs: AVX-512 where it has it, else AVX2
// (whose functions the callers only reach after asking avx2::Usable()).
struct TWideKernels {
  decltype(&avx2::UyvyToPlanes) UyvyToPlanes;
  decltype(&avx2::PlanarToPlanes) PlanarToPlanes;
  decltype(&avx2::ResampleToPlanes) ResampleToPlanes;
  decltype(&avx2::PlanesToYcc) PlanesToYcc;
  decltype(&avx2::Rgb16ToYcc) Rgb16ToYcc;
};

const TWideKernels& Wide() {
  static constexpr TWideKernels kAvx512{avx512::UyvyToPlanes, avx512::PlanarToPlanes,
                                        avx512::ResampleToPlanes, avx512::PlanesToYcc,
                                        avx512::Rgb16ToYcc};
  static constexpr TWideKernels kAvx2{avx2::UyvyToPlanes, avx2::PlanarToPlanes,
                                      avx2::ResampleToPlanes, avx2::PlanesToYcc, avx2::Rgb16ToYcc};
  return avx512::Usable() ? kAvx512 : kAvx2;
}

// The per-pixel path in double precision: the formulas as written. The fast
// path below falls back to it wherever its integer form cannot decide.
template <bool kPlanar>
void PixelToBgr(std::uint8_t y, std::uint8_t u, std::uint8_t v, std::uint8_t* bgr) {
  ToBgr(LumaOf(y), ChromaOf<kPlanar>(u, v), bgr);
}

#if defined(__SSE2__)

// Eight pixels at a time in exact integers. Each channel is N / 1000 with
// N = 1164 (Y - 16) + c_u (U - 128) + c_v (V - 128) over integers, and the
// double formulas miss that rational by far less than 1e-9. So wherever N is
// not a tie (N mod 1000 = 500) both round the same way; at a tie the last
// bit of the double sums decides, and those pixels (about one in a hundred)
// are redone by the double path.
template <bool kPlanar>
struct TSimdConstants {
  static constexpr int kGu = kPlanar ? 391 : 392;
  static constexpr int kBu = kPlanar ? 2018 : 2017;
};

// Pairs of 16-bit factors for _mm_madd_epi16: (a, b) in each 32-bit lane.
inline __m128i FactorPair(int a, int b) {
  return _mm_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(b) << 16) |
                                         (static_cast<std::uint32_t>(a) & 0xFFFF)));
}

// Rounds four N + 500 values (the 1000ths shifted by a half) down to whole
// steps, and marks the lanes that sit exactly on a step (the ties).
inline __m128i Steps(__m128i shifted, __m128i& ties) {
  const __m128 scaled =
      _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(shifted), _mm_set1_ps(0.5f)), _mm_set1_ps(0.001f));
  // (x + 0.5) / 1000 lies at least 0.0005 from a whole number and the float
  // product is off by less than 1e-4, so the truncation is exact for x >= 0;
  // negative x truncates to 0 or below, which the packing clamps to 0. What
  // the truncation cut off is 0.0005 (within 1e-4) for a tie and at least
  // 0.0015 otherwise; of the negative x only -1 comes that close, and the
  // double path gives it the same 0.
  const __m128i q = _mm_cvttps_epi32(scaled);
  const __m128 fraction = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(scaled, _mm_cvtepi32_ps(q)));
  ties = _mm_or_si128(ties, _mm_castps_si128(_mm_cmplt_ps(fraction, _mm_set1_ps(0.001f))));
  return q;
}

// y, u, v: eight pixels as 16-bit Y - 16, U - 128, V - 128. Gives the B, G
// and R bytes of the eight pixels in the low halves of b8, g8 and r8 and
// answers a bit per pixel that needs the double path.
template <bool kPlanar>
inline int EightPixels(__m128i y, __m128i u, __m128i v, __m128i& b8, __m128i& g8, __m128i& r8) {
  using K = TSimdConstants<kPlanar>;
  const __m128i half = _mm_set1_epi32(500);
  const __m128i zero = _mm_setzero_si128();
  const __m128i yuLo = _mm_unpacklo_epi16(y, u);
  const __m128i yuHi = _mm_unpackhi_epi16(y, u);
  const __m128i yvLo = _mm_unpacklo_epi16(y, v);
  const __m128i yvHi = _mm_unpackhi_epi16(y, v);
  const __m128i vLo = _mm_unpacklo_epi16(v, zero);
  const __m128i vHi = _mm_unpackhi_epi16(v, zero);
  const __m128i blue = FactorPair(1164, K::kBu);
  const __m128i green = FactorPair(1164, -K::kGu);
  const __m128i greenV = FactorPair(-813, 0);
  const __m128i red = FactorPair(1164, 1596);

  __m128i tiesLo = zero;
  __m128i tiesHi = zero;
  const __m128i bLo = Steps(_mm_add_epi32(_mm_madd_epi16(yuLo, blue), half), tiesLo);
  const __m128i bHi = Steps(_mm_add_epi32(_mm_madd_epi16(yuHi, blue), half), tiesHi);
  const __m128i gLo = Steps(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(yuLo, green), _mm_madd_epi16(vLo, greenV)), half),
      tiesLo);
  const __m128i gHi = Steps(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(yuHi, green), _mm_madd_epi16(vHi, greenV)), half),
      tiesHi);
  const __m128i rLo = Steps(_mm_add_epi32(_mm_madd_epi16(yvLo, red), half), tiesLo);
  const __m128i rHi = Steps(_mm_add_epi32(_mm_madd_epi16(yvHi, red), half), tiesHi);

  // Saturating packs clamp to 0..255.
  b8 = _mm_packus_epi16(_mm_packs_epi32(bLo, bHi), zero);
  g8 = _mm_packus_epi16(_mm_packs_epi32(gLo, gHi), zero);
  r8 = _mm_packus_epi16(_mm_packs_epi32(rLo, rHi), zero);
  const __m128i ties = _mm_packs_epi32(tiesLo, tiesHi);
  return _mm_movemask_epi8(_mm_packs_epi16(ties, zero));
}

// Stores eight pixels as B, G, R: each as a 4-byte store that the next one
// overwrites, the last as exactly three bytes so nothing past them is touched.
inline void StoreEight(__m128i b8, __m128i g8, __m128i r8, std::uint8_t* out) {
  const __m128i bg = _mm_unpacklo_epi8(b8, g8);
  const __m128i r = _mm_unpacklo_epi8(r8, _mm_setzero_si128());
  alignas(16) std::uint32_t pixels[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(pixels), _mm_unpacklo_epi16(bg, r));
  _mm_store_si128(reinterpret_cast<__m128i*>(pixels + 4), _mm_unpackhi_epi16(bg, r));
  for (int i = 0; i < 7; ++i) std::memcpy(out + 3 * i, pixels + i, 4);
  std::memcpy(out + 21, pixels + 7, 3);
}

// The planes of the AVX2 conversions, with the pixels on a tie redone by the
// double path.
struct TPlanes {
  static constexpr std::size_t kPixels = kUyvyKeptPixels;
  alignas(32) std::uint8_t B[kPixels];
  alignas(32) std::uint8_t G[kPixels];
  alignas(32) std::uint8_t R[kPixels];
  std::uint16_t Ties[kPixels];
  std::size_t TieCount = 0;

  void Set(std::size_t x, const std::uint8_t* bgr) {
    B[x] = bgr[0];
    G[x] = bgr[1];
    R[x] = bgr[2];
  }
};

// The 704 kept pixels of an interlaced line into planes, with the widest
// kernels the processor runs (AVX-512 where it has it, else AVX2).
void UyvyLineToPlanesWide(const std::uint8_t* line, std::uint8_t* b, std::uint8_t* g,
                          std::uint8_t* r) {
  using K = TSimdConstants<false>;
  std::uint16_t ties[kUyvyKeptPixels];
  std::size_t count = 0;
  const std::uint8_t* kept = line + 16;  // pixel 8 of the line
  Wide().UyvyToPlanes(kept, kUyvyKeptPixels, K::kGu, K::kBu, b, g, r, ties, count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t x = ties[i];
    std::uint8_t bgr[3];
    PixelToBgr<false>(kept[2 * x + 1], kept[(x / 2) * 4], kept[(x / 2) * 4 + 2], bgr);
    b[x] = bgr[0];
    g[x] = bgr[1];
    r[x] = bgr[2];
  }
}

#endif

}  // namespace

void UyvyLineToBgr(std::span<const std::uint8_t, kUyvyLineBytes> line, std::uint8_t* bgr) {
  // Pixels 8 to 711 are the pairs 4 to 355, each U, Y (even pixel), V, Y (odd
  // pixel): pixel j has its Y at 2j + 1 and its pair's U and V around it.
  std::size_t pair = 4;
#if defined(__SSE2__)
  if (avx2::Usable()) {
    TPlanes planes;
    UyvyLineToPlanesWide(line.data(), planes.B, planes.G, planes.R);
    avx2::PlanesToBgr(planes.B, planes.G, planes.R, kUyvyKeptPixels, bgr);
    return;
  }
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  const __m128i luma0 = _mm_set1_epi16(16);
  const __m128i chroma0 = _mm_set1_epi16(128);
  for (; pair + 4 <= 356; pair += 4, bgr += 24) {
    const std::uint8_t* g = line.data() + pair * 4;
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g));
    const __m128i y = _mm_sub_epi16(_mm_srli_epi16(in, 8), luma0);
    const __m128i uv = _mm_sub_epi16(_mm_and_si128(in, lowBytes), chroma0);
    const __m128i u = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, 0xA0), 0xA0);
    const __m128i v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, 0xF5), 0xF5);
    __m128i b8, g8, r8;
    int ties = EightPixels<false>(y, u, v, b8, g8, r8);
    StoreEight(b8, g8, r8, bgr);
    while (ties != 0) {
      const int i = std::countr_zero(static_cast<unsigned>(ties));
      ties &= ties - 1;
      PixelToBgr<false>(g[2 * i + 1], g[(i / 2) * 4], g[(i / 2) * 4 + 2], bgr + 3 * i);
    }
  }
#else
  for (; pair < 356; ++pair, bgr += 6) {
    const std::uint8_t* g = line.data() + pair * 4;
    const TChroma chroma = ChromaOf<false>(g[0], g[2]);
    ToBgr(LumaOf(g[1]), chroma, bgr);
    ToBgr(LumaOf(g[3]), chroma, bgr + 3);
  }
#endif
}

void PlanarRowToBgr(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v,
                    std::size_t pairs, std::uint8_t* bgr) {
  std::size_t c = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i luma0 = _mm_set1_epi16(16);
  const __m128i chroma0 = _mm_set1_epi16(128);
  auto chromaOf = [&](const std::uint8_t* plane) {
    std::int32_t four;
    std::memcpy(&four, plane, 4);
    const __m128i bytes = _mm_cvtsi32_si128(four);
    return _mm_sub_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(bytes, bytes), zero), chroma0);
  };
  if (avx2::Usable()) {
    // In chunks that fit the planes: a row of the record is 360 pairs, but
    // callers may pass any number.
    using K = TSimdConstants<true>;
    TPlanes planes;
    while (c + 8 <= pairs) {
      const std::size_t chunk = std::min<std::size_t>((pairs - c) & ~std::size_t{7}, 256);
      planes.TieCount = 0;
      Wide().PlanarToPlanes(luma + 2 * c, u + c, v + c, chunk, K::kGu, K::kBu, planes.B, planes.G,
                            planes.R, planes.Ties, planes.TieCount);
      for (std::size_t i = 0; i < planes.TieCount; ++i) {
        const std::size_t x = planes.Ties[i];
        std::uint8_t one[3];
        PixelToBgr<true>(luma[2 * c + x], u[c + x / 2], v[c + x / 2], one);
        planes.Set(x, one);
      }
      avx2::PlanesToBgr(planes.B, planes.G, planes.R, 2 * chunk, bgr);
      c += chunk;
      bgr += 6 * chunk;
    }
  }
  for (; c + 4 <= pairs; c += 4, bgr += 24) {
    const __m128i y = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(luma + 2 * c)), zero),
        luma0);
    __m128i b8, g8, r8;
    int ties = EightPixels<true>(y, chromaOf(u + c), chromaOf(v + c), b8, g8, r8);
    StoreEight(b8, g8, r8, bgr);
    while (ties != 0) {
      const int i = std::countr_zero(static_cast<unsigned>(ties));
      ties &= ties - 1;
      PixelToBgr<true>(luma[2 * c + i], u[c + i / 2], v[c + i / 2], bgr + 3 * i);
    }
  }
#endif
  // The pairs the eight-pixel steps left (all of them without SSE2). Bounded
  // by an end pointer: GCC's loop analysis misreads an index bound after the
  // loop above as overflowing.
  for (const std::uint8_t* end = u + pairs; u + c < end; ++c, bgr += 6) {
    const TChroma chroma = ChromaOf<true>(u[c], v[c]);
    ToBgr(LumaOf(luma[2 * c]), chroma, bgr);
    ToBgr(LumaOf(luma[2 * c + 1]), chroma, bgr + 3);
  }
}

bool PlanarYuvToBitmap(std::span<const std::uint8_t> record, TBitmap24& out) {
  constexpr int kWidth = 720;
  constexpr int kHeight = 480;
  if (record.size() < kPlanarRecordBytes) return false;
  if (out.Width() != kWidth || out.Height() != kHeight) out.SetSize(kWidth, kHeight);
  const std::uint8_t* yPlane = record.data();
  const std::uint8_t* uPlane = yPlane + std::size_t{kWidth} * kHeight;
  const std::uint8_t* vPlane = uPlane + std::size_t{kWidth / 2} * (kHeight / 2);
  for (int y = 0; y < kHeight; ++y) {
    // Each U and V serves a 2 x 2 block: the pixel pair here and the one
    // below or above it.
    const std::size_t chromaRow = static_cast<std::size_t>(y / 2) * (kWidth / 2);
    PlanarRowToBgr(yPlane + static_cast<std::size_t>(y) * kWidth, uPlane + chromaRow,
                   vPlane + chromaRow, kWidth / 2, out.Row(y));
  }
  return true;
}

namespace {

#if defined(__SSE2__)

// The 704 to 640 columns of the interlaced layout, as ResampleBilinear
// samples them on a row whose FracY is 0: column c reads source pixels
// Sx and Sx + 1 (never clamped: Sx is at most 702) with W00 + W01 = 65535.
struct TColumnPlan {
  std::uint16_t Sx[640];
  alignas(16) std::uint16_t W00[640];
  alignas(16) std::uint16_t W01[640];
  // For the AVX2 gather: per group of eight columns, the offsets of their
  // left and right pixels from the group's first sample as 16-bit lanes.
  std::uint8_t Left[80][16];
  std::uint8_t Right[80][16];
  TColumnPlan() {
    const std::uint32_t xStep = (704u << 16) / 640u;
    for (std::uint32_t c = 0; c < 640; ++c) {
      const std::uint32_t fx = c * xStep;
      const std::uint32_t fracX = fx & 0xFFFF;
      const std::uint32_t w01 = (65535u * fracX) >> 16;
      Sx[c] = static_cast<std::uint16_t>(fx >> 16);
      W01[c] = static_cast<std::uint16_t>(w01);
      W00[c] = static_cast<std::uint16_t>(65535u - w01);
    }
    for (std::uint32_t group = 0; group < 80; ++group) {
      for (std::uint32_t j = 0; j < 8; ++j) {
        // At most 9 bytes from the group's first sample: within the 16.
        const auto offset = static_cast<std::uint8_t>(Sx[8 * group + j] - Sx[8 * group]);
        Left[group][2 * j] = offset;
        Right[group][2 * j] = static_cast<std::uint8_t>(offset + 1);
        Left[group][2 * j + 1] = Right[group][2 * j + 1] = 0x80;  // a zero high byte
      }
    }
  }
};

// One channel of a row: out[c] = (p[Sx] W00 + p[Sx + 1] W01) >> 16 for the
// 640 columns, eight at a time. The products are split into their high and
// low 16 bits, so the sum and its shift are exact without 32-bit lanes.
void ResamplePlane(const std::uint8_t* plane, const TColumnPlan& plan, std::uint8_t* out) {
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  const __m128i sign = _mm_set1_epi16(static_cast<short>(0x8000));
  for (int c = 0; c < 640; c += 8) {
    auto pair = [&](int j) {
      std::uint16_t both;
      std::memcpy(&both, plane + plan.Sx[c + j], 2);
      return static_cast<int>(both);
    };
    // Built as a tree of unpacks rather than a chain of inserts, each of
    // which would wait for the one before.
    auto two = [&](int j) { return _mm_cvtsi32_si128(pair(j) | (pair(j + 1) << 16)); };
    const __m128i pairs =
        _mm_unpacklo_epi64(_mm_unpacklo_epi32(two(0), two(2)), _mm_unpacklo_epi32(two(4), two(6)));
    const __m128i left = _mm_and_si128(pairs, lowByte);
    const __m128i right = _mm_srli_epi16(pairs, 8);
    const __m128i w00 = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.W00 + c));
    const __m128i w01 = _mm_load_si128(reinterpret_cast<const __m128i*>(plan.W01 + c));
    const __m128i high = _mm_add_epi16(_mm_mulhi_epu16(left, w00), _mm_mulhi_epu16(right, w01));
    const __m128i low0 = _mm_mullo_epi16(left, w00);
    const __m128i low = _mm_add_epi16(low0, _mm_mullo_epi16(right, w01));
    // The low halves carried into the high ones when their sum wrapped.
    const __m128i carry = _mm_cmplt_epi16(_mm_xor_si128(low, sign), _mm_xor_si128(low0, sign));
    const __m128i result = _mm_sub_epi16(high, carry);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c),
                     _mm_packus_epi16(result, _mm_setzero_si128()));
  }
}

// One line of the record as three planes of 704 bytes (B, G, R).
void UyvyLineToPlanes(const std::uint8_t* line, std::uint8_t* b, std::uint8_t* g, std::uint8_t* r) {
  if (avx2::Usable()) {
    UyvyLineToPlanesWide(line, b, g, r);
    return;
  }
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  const __m128i luma0 = _mm_set1_epi16(16);
  const __m128i chroma0 = _mm_set1_epi16(128);
  for (std::size_t pair = 4, x = 0; pair < 356; pair += 4, x += 8) {
    const std::uint8_t* q = line + pair * 4;
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i y = _mm_sub_epi16(_mm_srli_epi16(in, 8), luma0);
    const __m128i uv = _mm_sub_epi16(_mm_and_si128(in, lowBytes), chroma0);
    const __m128i u = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, 0xA0), 0xA0);
    const __m128i v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, 0xF5), 0xF5);
    __m128i b8, g8, r8;
    int ties = EightPixels<false>(y, u, v, b8, g8, r8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(b + x), b8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(g + x), g8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(r + x), r8);
    while (ties != 0) {
      const int i = std::countr_zero(static_cast<unsigned>(ties));
      ties &= ties - 1;
      std::uint8_t bgr[3];
      PixelToBgr<false>(q[2 * i + 1], q[(i / 2) * 4], q[(i / 2) * 4 + 2], bgr);
      b[x + static_cast<std::size_t>(i)] = bgr[0];
      g[x + static_cast<std::size_t>(i)] = bgr[1];
      r[x + static_cast<std::size_t>(i)] = bgr[2];
    }
  }
}

#endif

}  // namespace

void InterlacedRecordToBitmap(std::span<const std::uint8_t, kInterlacedRecordBytes> record,
                              TBitmap24& out) {
  if (out.Width() != 640 || out.Height() != 480) out.SetSize(640, 480);
#if defined(__SSE2__)
  // From 480 rows to 480 every row's FracY is 0, so output row r is the
  // horizontal resampling of source row r alone: each line is converted and
  // resampled channel by channel without the 704-pixel bitmap.
  static const TColumnPlan plan;
  // 16 bytes beyond the pixels: the AVX2 gather reads whole 16-byte groups.
  alignas(16) std::uint8_t wide[3][kUyvyKeptPixels + 16] = {};
  alignas(16) std::uint8_t narrow[3][640];
  if (avx2::Usable()) {
    for (int row = 0; row < 480; ++row) {
      const std::size_t line = static_cast<std::size_t>((row % 2) * 240 + row / 2) * kUyvyLineBytes;
      UyvyLineToPlanesWide(record.data() + line, wide[0], wide[1], wide[2]);
      avx2::ResampleToBgr(wide[0], wide[1], wide[2], plan.Sx, plan.W00, plan.W01, &plan.Left[0][0],
                          &plan.Right[0][0], out.Row(row));
    }
    return;
  }
  for (int row = 0; row < 480; ++row) {
    // Even rows are the first field's lines, odd rows the second's.
    const std::size_t line = static_cast<std::size_t>((row % 2) * 240 + row / 2) * kUyvyLineBytes;
    UyvyLineToPlanes(record.data() + line, wide[0], wide[1], wide[2]);
    for (int k = 0; k < 3; ++k) ResamplePlane(wide[k], plan, narrow[k]);
    std::uint8_t* bgr = out.Row(row);
    for (int x = 0; x < 640; x += 8, bgr += 24) {
      StoreEight(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(narrow[0] + x)),
                 _mm_loadl_epi64(reinterpret_cast<const __m128i*>(narrow[1] + x)),
                 _mm_loadl_epi64(reinterpret_cast<const __m128i*>(narrow[2] + x)), bgr);
    }
  }
#else
  TBitmap24 wide(kUyvyKeptPixels, 480);
  for (int row = 0; row < 480; ++row) {
    const std::size_t line = static_cast<std::size_t>((row % 2) * 240 + row / 2) * kUyvyLineBytes;
    UyvyLineToBgr(
        std::span<const std::uint8_t, kUyvyLineBytes>(record.data() + line, kUyvyLineBytes),
        wide.Row(row));
  }
  ResampleBilinear(wide, out);
#endif
}

bool YccConversionUsable() { return avx2::Usable(); }

bool InterlacedRecordToYcc(std::span<const std::uint8_t, kInterlacedRecordBytes> record,
                           TYccPicture& out) {
  if (!YccConversionUsable()) return false;
  if (out.Width() != 640 || out.Height() != 480) out.SetSize(640, 480);
#if defined(__SSE2__)
  static const TColumnPlan plan;
  alignas(16) std::uint8_t wide[3][kUyvyKeptPixels + 16] = {};
  alignas(16) std::uint8_t narrow[2][3][640];
  std::uint8_t* const rows[2][3] = {{narrow[0][0], narrow[0][1], narrow[0][2]},
                                    {narrow[1][0], narrow[1][1], narrow[1][2]}};
  // Rows 2k and 2k + 1 are line k of the first and of the second field.
  for (int k = 0; k < 240; ++k) {
    for (int field = 0; field < 2; ++field) {
      const std::size_t line = static_cast<std::size_t>(field * 240 + k) * kUyvyLineBytes;
      UyvyLineToPlanesWide(record.data() + line, wide[0], wide[1], wide[2]);
      Wide().ResampleToPlanes(wide[0], wide[1], wide[2], plan.Sx, plan.W00, plan.W01,
                              &plan.Left[0][0], &plan.Right[0][0], rows[field]);
    }
    Wide().PlanesToYcc(rows[0], rows[1], 640, out.Luma(2 * k), out.Luma(2 * k + 1), out.Cb(k),
                       out.Cr(k));
  }
#else
  (void)record;
#endif
  return true;
}

bool PlanarYuvToYcc(std::span<const std::uint8_t> record, TYccPicture& out) {
  constexpr int kWidth = 720;
  constexpr int kHeight = 480;
  if (!YccConversionUsable() || record.size() < kPlanarRecordBytes) return false;
  if (out.Width() != kWidth || out.Height() != kHeight) out.SetSize(kWidth, kHeight);
#if defined(__SSE2__)
  using K = TSimdConstants<true>;
  const std::uint8_t* yPlane = record.data();
  const std::uint8_t* uPlane = yPlane + std::size_t{kWidth} * kHeight;
  const std::uint8_t* vPlane = uPlane + std::size_t{kWidth / 2} * (kHeight / 2);
  alignas(32) std::uint8_t planes[2][3][kWidth];
  std::uint16_t ties[kWidth];
  std::uint8_t* const rows[2][3] = {{planes[0][0], planes[0][1], planes[0][2]},
                                    {planes[1][0], planes[1][1], planes[1][2]}};
  for (int k = 0; k < kHeight / 2; ++k) {
    // Rows 2k and 2k + 1 share the chroma row k.
    const std::uint8_t* u = uPlane + static_cast<std::size_t>(k) * (kWidth / 2);
    const std::uint8_t* v = vPlane + static_cast<std::size_t>(k) * (kWidth / 2);
    for (int half = 0; half < 2; ++half) {
      const std::uint8_t* luma = yPlane + static_cast<std::size_t>(2 * k + half) * kWidth;
      std::size_t count = 0;
      Wide().PlanarToPlanes(luma, u, v, kWidth / 2, K::kGu, K::kBu, rows[half][0], rows[half][1],
                            rows[half][2], ties, count);
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t x = ties[i];
        std::uint8_t bgr[3];
        PixelToBgr<true>(luma[x], u[x / 2], v[x / 2], bgr);
        for (int c = 0; c < 3; ++c) rows[half][c][x] = bgr[c];
      }
    }
    Wide().PlanesToYcc(rows[0], rows[1], kWidth, out.Luma(2 * k), out.Luma(2 * k + 1), out.Cb(k),
                       out.Cr(k));
  }
#endif
  return true;
}

bool BitmapToYcc(const TBitmap24& bitmap, TYccPicture& out) {
  const int width = bitmap.Width();
  const int height = bitmap.Height();
  if (!YccConversionUsable() || width <= 0 || height <= 0 || width % 16 != 0 || height % 2 != 0) {
    return false;
  }
  if (out.Width() != width || out.Height() != height) out.SetSize(width, height);
  for (int y = 0; y < height; y += 2) {
    avx2::BgrToYcc(bitmap.Row(y), bitmap.Row(y + 1), static_cast<std::size_t>(width), out.Luma(y),
                   out.Luma(y + 1), out.Cb(y / 2), out.Cr(y / 2));
  }
  return true;
}

bool Rgb16RecordToYcc(std::span<const std::uint8_t> record, int width, int height, bool green6,
                      bool swapped, TYccPicture& out) {
  if (!YccConversionUsable() || !PictureSizeAllowed(width, height) || width % 16 != 0 ||
      height % 2 != 0) {
    return false;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 2;
  if (record.size() / rowBytes < static_cast<std::size_t>(height)) return false;
  if (out.Width() != width || out.Height() != height) out.SetSize(width, height);
  for (int y = 0; y < height; y += 2) {
    const std::uint8_t* top = record.data() + static_cast<std::size_t>(y) * rowBytes;
    Wide().Rgb16ToYcc(top, top + rowBytes, static_cast<std::size_t>(width), green6, swapped,
                      out.Luma(y), out.Luma(y + 1), out.Cb(y / 2), out.Cr(y / 2));
  }
  return true;
}

void ResampleBilinear(const TBitmap24& src, TBitmap24& dst) {
  if (src.Empty() || dst.Empty()) return;
  const auto srcW = static_cast<std::uint64_t>(src.Width());
  const auto srcH = static_cast<std::uint64_t>(src.Height());
  const auto lastCol = static_cast<std::uint32_t>(srcW - 1);
  // The steps are computed in 64 bits so that wide pictures cannot wrap; for
  // every size below 65536 pixels they equal the 32-bit values.
  const std::uint64_t xStep = (srcW << 16) / static_cast<std::uint64_t>(dst.Width());
  const std::uint64_t yStep = (srcH << 16) / static_cast<std::uint64_t>(dst.Height());

  // The columns' samples are the same on every row; kept per thread so that
  // resampling photo after photo does not allocate.
  struct TColumn {
    std::size_t Left;   // byte offset of the sample in a row
    std::size_t Right;  // of its right neighbour, clamped to the last column
    std::uint32_t FracX;
  };
  thread_local std::vector<TColumn> columns;
  columns.resize(static_cast<std::size_t>(dst.Width()));
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::uint64_t fx = c * xStep;
    const auto sx = static_cast<std::uint32_t>(fx >> 16);
    const std::uint32_t sx1 = sx < lastCol ? sx + 1 : lastCol;
    columns[c] = {std::size_t{sx} * 3, std::size_t{sx1} * 3,
                  static_cast<std::uint32_t>(fx & 0xFFFF)};
  }

  for (int r = 0; r < dst.Height(); ++r) {
    const std::uint64_t fy = static_cast<std::uint64_t>(r) * yStep;
    const auto sy = static_cast<std::uint32_t>(fy >> 16);
    const auto fracY = static_cast<std::uint32_t>(fy & 0xFFFF);
    // 65535, not 65536: the weights of a row pair sum to 65535, which keeps
    // every sum below 2^32 and darkens by at most one step.
    const std::uint32_t invY = 65535 - fracY;
    const std::uint8_t* row0 = src.Row(static_cast<int>(sy));
    const std::uint8_t* row1 = sy + 1 < srcH ? src.Row(static_cast<int>(sy + 1)) : row0;
    std::uint8_t* out = dst.Row(r);

    for (const TColumn& column : columns) {
      const std::uint32_t w01 = (invY * column.FracX) >> 16;
      const std::uint32_t w00 = invY - w01;
      const std::uint32_t w11 = (fracY * column.FracX) >> 16;
      const std::uint32_t w10 = fracY - w11;
      const std::uint8_t* p00 = row0 + column.Left;
      const std::uint8_t* p01 = row0 + column.Right;
      std::uint32_t sum[3];
      if (fracY == 0) {
        // The lower row weighs nothing (W10 = W11 = 0): same sums, half the work.
        for (int k = 0; k < 3; ++k) sum[k] = p00[k] * w00 + p01[k] * w01;
      } else {
        const std::uint8_t* p10 = row1 + column.Left;
        const std::uint8_t* p11 = row1 + column.Right;
        for (int k = 0; k < 3; ++k) {
          sum[k] = p00[k] * w00 + p01[k] * w01 + p10[k] * w10 + p11[k] * w11;
        }
      }
      // Stores after the sums: byte stores may alias the source rows.
      for (int k = 0; k < 3; ++k) out[k] = static_cast<std::uint8_t>(sum[k] >> 16);
      out += 3;
    }
  }
}

}  // namespace quill
