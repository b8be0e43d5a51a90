#include "library/yuv.h"

#include <vector>

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

void UyvyLineToBgr(std::span<const std::uint8_t, kUyvyLineBytes> line, std::uint8_t* bgr) {
  // Pixels 8 to 711 are the pairs 4 to 355, each U, Y (even pixel), V, Y (odd
  // pixel): pixel j has its Y at 2j + 1 and its pair's U and V around it.
  for (std::size_t pair = 4; pair < 356; ++pair, bgr += 6) {
    const std::uint8_t* g = line.data() + pair * 4;
    const TChroma chroma = ChromaOf<false>(g[0], g[2]);
    ToBgr(LumaOf(g[1]), chroma, bgr);
    ToBgr(LumaOf(g[3]), chroma, bgr + 3);
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
    std::uint8_t* row = out.Row(y);
    const std::uint8_t* luma = yPlane + static_cast<std::size_t>(y) * kWidth;
    // Each U and V serves a 2 x 2 block: the pixel pair here and the one
    // below or above it.
    const std::size_t chromaRow = static_cast<std::size_t>(y / 2) * (kWidth / 2);
    for (std::size_t c = 0; c < kWidth / 2; ++c, row += 6) {
      const TChroma chroma = ChromaOf<true>(uPlane[chromaRow + c], vPlane[chromaRow + c]);
      ToBgr(LumaOf(luma[2 * c]), chroma, row);
      ToBgr(LumaOf(luma[2 * c + 1]), chroma, row + 3);
    }
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
