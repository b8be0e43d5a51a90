#include "library/yuv.h"

#include <gtest/gtest.h>

#include "library/yuv_avx2.h"
#include "library/yuv_avx512.h"
#include "support/picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quill {
namespace {

using TBgr = std::array<std::uint8_t, 3>;

TBgr Interlaced(std::uint8_t y, std::uint8_t u, std::uint8_t v) {
  TBgr bgr{};
  InterlacedYuvToBgr(y, u, v, bgr.data());
  return bgr;
}

TBgr Planar(std::uint8_t y, std::uint8_t u, std::uint8_t v) {
  TBgr bgr{};
  PlanarYuvToBgr(y, u, v, bgr.data());
  return bgr;
}

TEST(ClampByteTest, RoundsHalvesToEvenAndClamps) {
  EXPECT_EQ(ClampByte(2.5), 2);
  EXPECT_EQ(ClampByte(3.5), 4);
  EXPECT_EQ(ClampByte(0.5), 0);
  EXPECT_EQ(ClampByte(2.4999), 2);
  EXPECT_EQ(ClampByte(254.916), 255);
  // 255.5 rounds to 256, which is clamped.
  EXPECT_EQ(ClampByte(255.5), 255);
  EXPECT_EQ(ClampByte(1e9), 255);
  EXPECT_EQ(ClampByte(-0.4), 0);
  EXPECT_EQ(ClampByte(-200.0), 0);
  EXPECT_EQ(ClampByte(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(ClampByteTest, AgreesWithNearbyint) {
  auto reference = [](double x) {
    const double r = std::nearbyint(x);
    return static_cast<std::uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
  };
  for (int i = -4000; i <= 4200; ++i) {
    const double x = i / 16.0;
    ASSERT_EQ(ClampByte(x), reference(x)) << x;
    ASSERT_EQ(ClampByte(std::nextafter(x, -1e9)), reference(std::nextafter(x, -1e9))) << x;
    ASSERT_EQ(ClampByte(std::nextafter(x, 1e9)), reference(std::nextafter(x, 1e9))) << x;
  }
}

TEST(YuvToBgrTest, BlackAndWhiteInBothForms) {
  EXPECT_EQ(Interlaced(16, 128, 128), (TBgr{0, 0, 0}));
  EXPECT_EQ(Planar(16, 128, 128), (TBgr{0, 0, 0}));
  // 1.164 x 219 = 254.916, rounded to 255.
  EXPECT_EQ(Interlaced(235, 128, 128), (TBgr{255, 255, 255}));
  EXPECT_EQ(Planar(235, 128, 128), (TBgr{255, 255, 255}));
}

TEST(YuvToBgrTest, EachFormKeepsItsOwnConstants) {
  // Y 33: 1.164 x 17 = 19.788. U 228: blue gains 2.017 x 100 = 201.7
  // (221.488 -> 221) interlaced, 2.018 x 100 = 201.8 (221.588 -> 222) planar.
  EXPECT_EQ(Interlaced(33, 228, 128), (TBgr{221, 0, 20}));
  EXPECT_EQ(Planar(33, 228, 128), (TBgr{222, 0, 20}));
  // Y 24: 9.312. U 28: green gains 0.392 x 100 (48.512 -> 49) interlaced,
  // 0.391 x 100 (48.412 -> 48) planar.
  EXPECT_EQ(Interlaced(24, 28, 128), (TBgr{0, 49, 9}));
  EXPECT_EQ(Planar(24, 28, 128), (TBgr{0, 48, 9}));
  // V 240: red 1.164 x 65 + 1.596 x 112 = 254.412; green 75.66 - 0.813 x 112
  // + 0.392 x 38 = -0.5 -> 0.
  EXPECT_EQ(Interlaced(81, 90, 240), (TBgr{0, 0, 254}));
}

TEST(UyvyLineTest, SamplePositions) {
  // Neutral grey everywhere but the pair of pixels 8 and 9: bytes 16 (U 90),
  // 17 (Y 100), 18 (V 240), 19 (Y 81).
  std::array<std::uint8_t, kUyvyLineBytes> line{};
  for (std::size_t i = 0; i < line.size(); ++i) line[i] = i % 2 == 0 ? 128 : 16;
  line[16] = 90;
  line[17] = 100;
  line[18] = 240;
  line[19] = 81;
  std::array<std::uint8_t, kUyvyKeptPixels * 3> bgr{};
  UyvyLineToBgr(line, bgr.data());
  // Pixel 8 is column 0: 1.164 x 84 = 97.776; R 276.528 -> 255,
  // G 97.776 + 14.896 - 91.056 = 21.616 -> 22, B 97.776 - 76.646 -> 21.
  EXPECT_EQ((TBgr{bgr[0], bgr[1], bgr[2]}), (TBgr{21, 22, 255}));
  // Pixel 9 (Y byte 19, U byte 16, V byte 18) is column 1.
  EXPECT_EQ((TBgr{bgr[3], bgr[4], bgr[5]}), Interlaced(81, 90, 240));
  EXPECT_EQ((TBgr{bgr[3], bgr[4], bgr[5]}), (TBgr{0, 0, 254}));
  // Pixel 10 takes the next pair's chroma; the last kept pixel is 711.
  EXPECT_EQ((TBgr{bgr[6], bgr[7], bgr[8]}), (TBgr{0, 0, 0}));
  line[1423] = 235;
  UyvyLineToBgr(line, bgr.data());
  EXPECT_EQ(bgr[703 * 3], 255);
}

TEST(PlanarYuvTest, TwoByTwoBlocksShareTheirChroma) {
  std::vector<std::uint8_t> record(kPlanarRecordBytes, 128);
  std::fill(record.begin(), record.begin() + 720 * 480, 16);
  const std::size_t u = 720 * 480;
  const std::size_t v = u + 360 * 240;
  record[u] = 90;
  record[v] = 240;
  record[720 + 1] = 81;  // (1, 1)
  record[2] = 81;        // (2, 0)
  TBitmap24 out;
  ASSERT_TRUE(PlanarYuvToBitmap(record, out));
  ASSERT_EQ(out.Width(), 720);
  ASSERT_EQ(out.Height(), 480);
  // (1, 1) uses the U and V of (0, 0): 75.66 + 178.752 = 254.412 red,
  // green 75.66 + 14.858 - 91.056 < 0, blue 75.66 - 76.684 < 0.
  EXPECT_EQ((TBgr{out.Row(1)[3], out.Row(1)[4], out.Row(1)[5]}), (TBgr{0, 0, 254}));
  // (2, 0) takes the next U and V: grey 75.66 -> 76.
  EXPECT_EQ((TBgr{out.Row(0)[6], out.Row(0)[7], out.Row(0)[8]}), (TBgr{76, 76, 76}));
  EXPECT_EQ(out.Row(479)[719 * 3], 0);

  record.resize(kPlanarRecordBytes - 1);
  EXPECT_FALSE(PlanarYuvToBitmap(record, out));
}

// The formulas as written, in double precision, rounded by nearbyint (ties
// to even): the reference the converters must match to the last bit.
std::uint8_t PlainClamp(double x) {
  const double r = std::nearbyint(x);
  return static_cast<std::uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

TBgr PlainYuv(int y, int u, int v, bool planar) {
  const double l = 1.164 * (y - 16.0);
  const double r = l + 1.596 * (v - 128.0);
  const double g = l - (planar ? 0.391 : 0.392) * (u - 128.0) - 0.813 * (v - 128.0);
  const double b = l + (planar ? 2.018 : 2.017) * (u - 128.0);
  return {PlainClamp(b), PlainClamp(g), PlainClamp(r)};
}

// Every (Y, U, V) triple goes through the line converters, 128 pairs of Y
// values per (U, V); the pixels are compared with the plain formulas.
// The fast conversions run the AVX2 way where the processor has it, else the
// SSE2 way; each test of them runs both ways on this machine.
enum class TSimdPath { Avx512, Avx2, Sse2 };

class YuvPathTest : public ::testing::TestWithParam<TSimdPath> {
protected:
  void SetUp() override {
    avx512::Allow(GetParam() == TSimdPath::Avx512);
    avx2::Allow(GetParam() != TSimdPath::Sse2);
    if (GetParam() == TSimdPath::Avx512 && !avx512::Usable()) {
      GTEST_SKIP() << "this processor has no AVX-512";
    }
    if (GetParam() == TSimdPath::Avx2 && !avx2::Usable()) {
      GTEST_SKIP() << "this processor has no AVX2";
    }
  }
  void TearDown() override {
    avx512::Allow(true);
    avx2::Allow(true);
  }
};

using YuvExactnessTest = YuvPathTest;
using InterlacedRecordTest = YuvPathTest;

TEST_P(YuvExactnessTest, EveryTripleOfTheInterlacedLayout) {
  std::array<std::uint8_t, kUyvyLineBytes> line{};
  std::array<std::uint8_t, kUyvyKeptPixels * 3> bgr{};
  constexpr std::uint32_t kPairs = 65536u * 128u;
  constexpr std::uint32_t kPairsPerLine = 352;  // pairs 4 to 355
  std::uint32_t mismatches = 0;
  for (std::uint32_t first = 0; first < kPairs; first += kPairsPerLine) {
    const std::uint32_t count = std::min(kPairsPerLine, kPairs - first);
    for (std::uint32_t k = 0; k < kPairsPerLine; ++k) {
      const std::uint32_t pair = first + (k < count ? k : 0);
      std::uint8_t* g = line.data() + (4 + k) * 4;
      g[0] = static_cast<std::uint8_t>(pair >> 15);        // U
      g[2] = static_cast<std::uint8_t>(pair >> 7);         // V
      g[1] = static_cast<std::uint8_t>((pair & 127) * 2);  // Y of the even pixel
      g[3] = static_cast<std::uint8_t>((pair & 127) * 2 + 1);
    }
    UyvyLineToBgr(line, bgr.data());
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint8_t* g = line.data() + (4 + k) * 4;
      for (int half = 0; half < 2; ++half) {
        const std::uint8_t* px = bgr.data() + (2 * k + half) * 3;
        const TBgr expected = PlainYuv(g[1 + 2 * half], g[0], g[2], false);
        if (TBgr{px[0], px[1], px[2]} != expected && ++mismatches <= 5) {
          ADD_FAILURE() << "Y " << int{g[1 + 2 * half]} << " U " << int{g[0]} << " V " << int{g[2]};
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST_P(YuvExactnessTest, EveryTripleOfThePlanarLayout) {
  // One row per (U, V) block of 64: 64 chroma pairs, 128 Y values each, so
  // the pairs run odd lengths too and the tail path is covered.
  constexpr std::size_t kPairs = 64 * 128 + 3;
  std::vector<std::uint8_t> luma(2 * kPairs), u(kPairs), v(kPairs), bgr(6 * kPairs);
  std::uint32_t mismatches = 0;
  for (std::uint32_t block = 0; block < 65536; block += 64) {
    for (std::size_t c = 0; c < kPairs; ++c) {
      const std::uint32_t uv = block + static_cast<std::uint32_t>(c / 128 % 64);
      u[c] = static_cast<std::uint8_t>(uv >> 8);
      v[c] = static_cast<std::uint8_t>(uv);
      luma[2 * c] = static_cast<std::uint8_t>(c % 128 * 2);
      luma[2 * c + 1] = static_cast<std::uint8_t>(c % 128 * 2 + 1);
    }
    PlanarRowToBgr(luma.data(), u.data(), v.data(), kPairs, bgr.data());
    for (std::size_t p = 0; p < 2 * kPairs; ++p) {
      const TBgr expected = PlainYuv(luma[p], u[p / 2], v[p / 2], true);
      if (TBgr{bgr[3 * p], bgr[3 * p + 1], bgr[3 * p + 2]} != expected && ++mismatches <= 5) {
        ADD_FAILURE() << "Y " << int{luma[p]} << " U " << int{u[p / 2]} << " V " << int{v[p / 2]};
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TBitmap24 Filled(int width, int height, std::uint8_t value) {
  TBitmap24 bitmap(width, height);
  for (std::uint8_t& byte : bitmap.MutablePixels()) byte = value;
  return bitmap;
}

void SetGrey(TBitmap24& bitmap, int x, int y, std::uint8_t value) {
  for (int k = 0; k < 3; ++k) bitmap.Row(y)[x * 3 + k] = value;
}

TEST(ResampleBilinearTest, Column639Reads702And703) {
  // XStep = 704 x 65536 div 640 = 72089; 639 x 72089 = 702 x 65536 + 58599.
  // With equal rows FracY is 0, InvY 65535: W01 = 65535 x 58599 >> 16 = 58598,
  // W00 = 6937, and (100 x 6937 + 200 x 58598) >> 16 = 189.
  TBitmap24 src(704, 480);
  for (int y = 0; y < 480; ++y) {
    SetGrey(src, 701, y, 50);
    SetGrey(src, 702, y, 100);
    SetGrey(src, 703, y, 200);
  }
  TBitmap24 dst(640, 480);
  ResampleBilinear(src, dst);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(dst.Row(0)[639 * 3 + k], 189);
    EXPECT_EQ(dst.Row(479)[639 * 3 + k], 189);
  }
  // Column 638: source 701 with FracX 52046, so W01 = 52045, W00 = 13490 and
  // (50 x 13490 + 100 x 52045) >> 16 = 89.
  EXPECT_EQ(dst.Row(0)[638 * 3], 89);
  EXPECT_EQ(dst.Row(0)[0], 0);
}

TEST(ResampleBilinearTest, WeightsSumTo65535) {
  // A flat 255 loses one step: 255 x 65535 >> 16 = 254.
  const TBitmap24 src = Filled(704, 480, 255);
  TBitmap24 dst(640, 480);
  ResampleBilinear(src, dst);
  for (const std::uint8_t byte : dst.Pixels()) ASSERT_EQ(byte, 254);
}

TEST(ResampleBilinearTest, RowWeightsAndLastRow) {
  // 2 rows to 3: YStep 43690. Row 1: Sy 0, FracY 43690, 240 x 43690 >> 16 = 159.
  // Row 2: Sy 1 is the last row, so it is both rows: 240 x 65535 >> 16 = 239.
  TBitmap24 src(1, 2);
  SetGrey(src, 0, 1, 240);
  TBitmap24 dst(1, 3);
  ResampleBilinear(src, dst);
  EXPECT_EQ(dst.Row(0)[0], 0);
  EXPECT_EQ(dst.Row(1)[0], 159);
  EXPECT_EQ(dst.Row(2)[0], 239);
}

TEST(ResampleBilinearTest, RightNeighbourStaysInsideTheRow) {
  // 3 columns to 4: column 3 samples source column 2, the last one; its right
  // neighbour is clamped to it instead of the next row's first pixel.
  TBitmap24 src(3, 2);
  SetGrey(src, 2, 0, 200);
  SetGrey(src, 2, 1, 200);
  TBitmap24 dst(4, 2);
  ResampleBilinear(src, dst);
  EXPECT_EQ(dst.Row(0)[3 * 3], 199);
  EXPECT_EQ(dst.Row(1)[3 * 3], 199);
}

TEST(ResampleBilinearTest, EmptyBitmapsAreLeftAlone) {
  TBitmap24 empty;
  TBitmap24 dst = Filled(2, 2, 7);
  ResampleBilinear(empty, dst);
  EXPECT_EQ(dst.Row(1)[3], 7);
  ResampleBilinear(Filled(2, 2, 9), empty);
  EXPECT_TRUE(empty.Empty());
}

// The formula of the resampling as written, pixel by pixel.
TBitmap24 PlainResample(const TBitmap24& src, int width, int height) {
  TBitmap24 dst(width, height);
  const std::uint32_t xStep = (static_cast<std::uint32_t>(src.Width()) << 16) / width;
  const std::uint32_t yStep = (static_cast<std::uint32_t>(src.Height()) << 16) / height;
  for (int r = 0; r < height; ++r) {
    const std::uint32_t fy = static_cast<std::uint32_t>(r) * yStep;
    const std::uint32_t sy = fy >> 16, fracY = fy & 0xFFFF, invY = 65535 - fracY;
    const std::uint8_t* row0 = src.Row(static_cast<int>(sy));
    const std::uint8_t* row1 = sy < static_cast<std::uint32_t>(src.Height()) - 1
                                   ? src.Row(static_cast<int>(sy + 1))
                                   : row0;
    for (int c = 0; c < width; ++c) {
      const std::uint32_t fx = static_cast<std::uint32_t>(c) * xStep;
      const std::uint32_t sx = fx >> 16, fracX = fx & 0xFFFF;
      const std::uint32_t sx1 =
          std::min<std::uint32_t>(sx + 1, static_cast<std::uint32_t>(src.Width()) - 1);
      const std::uint32_t w01 = (invY * fracX) >> 16, w00 = invY - w01;
      const std::uint32_t w11 = (fracY * fracX) >> 16, w10 = fracY - w11;
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t sum = row0[sx * 3 + k] * w00 + row0[sx1 * 3 + k] * w01 +
                                  row1[sx * 3 + k] * w10 + row1[sx1 * 3 + k] * w11;
        dst.Row(r)[c * 3 + k] = static_cast<std::uint8_t>(sum >> 16);
      }
    }
  }
  return dst;
}

TEST(ResampleExactnessTest, RandomPicturesOfRandomSizesMatchTheFormula) {
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    const int width = 1 + static_cast<int>(random() % 300);
    const int height = 1 + static_cast<int>(random() % 60);
    const int toWidth = 1 + static_cast<int>(random() % 300);
    const int toHeight = 1 + static_cast<int>(random() % 60);
    TBitmap24 src(width, height);
    for (std::uint8_t& byte : src.MutablePixels()) byte = static_cast<std::uint8_t>(random());
    TBitmap24 dst(toWidth, toHeight);
    ResampleBilinear(src, dst);
    ASSERT_TRUE(std::equal(dst.Pixels().begin(), dst.Pixels().end(),
                           PlainResample(src, toWidth, toHeight).Pixels().begin()))
        << width << "x" << height << " to " << toWidth << "x" << toHeight;
  }
}

// A record's bytes for round: noise in the first rounds, then only the
// extremes 0 and 255 (saturated chroma and the luma limits).
void FillRecord(std::vector<std::uint8_t>& record, int round, int noisyRounds,
                std::mt19937& random) {
  for (std::uint8_t& byte : record) {
    const auto noise = static_cast<std::uint8_t>(random());
    byte = round < noisyRounds ? noise : static_cast<std::uint8_t>(noise & 1 ? 255 : 0);
  }
}

// The whole-record path of the interlaced exporter against its definition:
// every line through UyvyLineToBgr into 704 x 480, then ResampleBilinear.
TEST_P(InterlacedRecordTest, RandomRecordsMatchLineByLineConversionAndResampling) {
  std::mt19937 random(3);
  std::vector<std::uint8_t> record(kInterlacedRecordBytes);
  for (int round = 0; round < 6; ++round) {
    FillRecord(record, round, 4, random);
    TBitmap24 wide(704, 480);
    for (int row = 0; row < 480; ++row) {
      const std::size_t line = static_cast<std::size_t>((row % 2) * 240 + row / 2) * kUyvyLineBytes;
      UyvyLineToBgr(
          std::span<const std::uint8_t, kUyvyLineBytes>(record.data() + line, kUyvyLineBytes),
          wide.Row(row));
    }
    TBitmap24 expected(640, 480);
    ResampleBilinear(wide, expected);
    TBitmap24 out;
    InterlacedRecordToBitmap(
        std::span<const std::uint8_t, kInterlacedRecordBytes>(record.data(), record.size()), out);
    ASSERT_EQ(out.Width(), 640);
    ASSERT_EQ(out.Height(), 480);
    ASSERT_TRUE(std::equal(out.Pixels().begin(), out.Pixels().end(), expected.Pixels().begin()))
        << "round " << round;
  }
}

// ---- The encoder's planes ----

// The JPEG encoder's colour conversion and 2 x 2 averaging written out plainly
// (16.16 fixed point, the averaging bias 1, 2, 1, 2, ... along each row).
TYccPicture PlainYcc(const TBitmap24& bgr) {
  TYccPicture ycc;
  ycc.SetSize(bgr.Width(), bgr.Height());
  const int chromaWidth = ycc.ChromaWidth();
  std::vector<int> cbSum(static_cast<std::size_t>(chromaWidth));
  std::vector<int> crSum(cbSum.size());
  for (int y = 0; y < bgr.Height(); y += 2) {
    std::fill(cbSum.begin(), cbSum.end(), 0);
    std::fill(crSum.begin(), crSum.end(), 0);
    for (int dy = 0; dy < 2; ++dy) {
      for (int x = 0; x < bgr.Width(); ++x) {
        const std::uint8_t* p = bgr.Row(y + dy) + 3 * x;
        const int b = p[0], g = p[1], r = p[2];
        ycc.Luma(y + dy)[x] =
            static_cast<std::uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
        cbSum[static_cast<std::size_t>(x / 2)] +=
            (-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32767) >> 16;
        crSum[static_cast<std::size_t>(x / 2)] +=
            (32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32767) >> 16;
      }
    }
    for (int c = 0; c < chromaWidth; ++c) {
      const int bias = c % 2 == 0 ? 1 : 2;
      ycc.Cb(y / 2)[c] =
          static_cast<std::uint8_t>((cbSum[static_cast<std::size_t>(c)] + bias) >> 2);
      ycc.Cr(y / 2)[c] =
          static_cast<std::uint8_t>((crSum[static_cast<std::size_t>(c)] + bias) >> 2);
    }
  }
  return ycc;
}

void ExpectSamePlanes(TYccPicture& actual, TYccPicture& expected) {
  ASSERT_EQ(actual.Width(), expected.Width());
  ASSERT_EQ(actual.Height(), expected.Height());
  for (int y = 0; y < actual.Height(); ++y) {
    ASSERT_TRUE(std::equal(actual.Luma(y), actual.Luma(y) + actual.Width(), expected.Luma(y)))
        << "luma row " << y;
  }
  for (int y = 0; y < actual.ChromaHeight(); ++y) {
    const int w = actual.ChromaWidth();
    ASSERT_TRUE(std::equal(actual.Cb(y), actual.Cb(y) + w, expected.Cb(y))) << "Cb row " << y;
    ASSERT_TRUE(std::equal(actual.Cr(y), actual.Cr(y) + w, expected.Cr(y))) << "Cr row " << y;
  }
}

// The planes must be what the encoder would have made of the bitmap: the
// encoded bytes are compared, not only the planes.
void ExpectSameJpeg(const TYccPicture& planes, const TBitmap24& bitmap) {
  std::vector<std::uint8_t> fromPlanes, fromBitmap;
  ASSERT_TRUE(EncodeJpeg(planes, 80, fromPlanes));
  ASSERT_TRUE(EncodeJpeg(bitmap, 80, fromBitmap));
  EXPECT_EQ(fromPlanes, fromBitmap);
}

// The planes path runs the AVX-512 way or the AVX2 way.
using YccPlanesTest = YuvPathTest;

// Noise, the channel extremes (the largest chroma must not round past 255)
// and a smooth picture, which the encoder compresses differently.
void Fill(TBitmap24& bitmap, int kind, std::mt19937& random) {
  std::vector<std::uint8_t>& bytes = bitmap.MutablePixels();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto noise = static_cast<std::uint8_t>(random());
    const std::size_t pixel = i / 3;
    bytes[i] = kind == 0   ? noise
               : kind == 1 ? static_cast<std::uint8_t>(noise & 1 ? 255 : 0)
                           : static_cast<std::uint8_t>(pixel * (i % 3 + 1) / 7);
  }
}

TEST_P(YccPlanesTest, BitmapsGiveTheEncodersOwnPlanesAndBytes) {
  std::mt19937 random(5);
  const std::pair<int, int> sizes[] = {{16, 2}, {32, 6}, {176, 132}, {320, 240}, {48, 34}};
  for (const auto& [width, height] : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " kind " +
                   std::to_string(kind));
      TBitmap24 bitmap(width, height);
      Fill(bitmap, kind, random);
      TYccPicture ycc;
      ASSERT_TRUE(BitmapToYcc(bitmap, ycc));
      TYccPicture plain = PlainYcc(bitmap);
      ExpectSamePlanes(ycc, plain);
      ExpectSameJpeg(ycc, bitmap);
    }
  }
}

TEST_P(YccPlanesTest, OtherSizesAreLeftToTheBitmap) {
  // A width of no multiple of 16 pads chroma differently in the encoder; an
  // odd height has no row to pair with the last.
  TYccPicture ycc;
  ycc.SetSize(16, 2);
  for (const auto& [width, height] : {std::pair{100, 10}, {32, 3}, {8, 2}, {0, 0}}) {
    TBitmap24 bitmap(width, height);
    EXPECT_FALSE(BitmapToYcc(bitmap, ycc)) << width << "x" << height;
    EXPECT_EQ(ycc.Width(), 16);
    EXPECT_EQ(ycc.Height(), 2);
  }
}

TEST_P(YccPlanesTest, InterlacedRecordsEncodeAsTheirBitmaps) {
  std::mt19937 random(9);
  std::vector<std::uint8_t> record(kInterlacedRecordBytes);
  for (int round = 0; round < 3; ++round) {
    FillRecord(record, round, 2, random);
    const std::span<const std::uint8_t, kInterlacedRecordBytes> span(record.data(), record.size());
    TBitmap24 bitmap;
    InterlacedRecordToBitmap(span, bitmap);
    TYccPicture ycc;
    ASSERT_TRUE(InterlacedRecordToYcc(span, ycc));
    TYccPicture plain = PlainYcc(bitmap);
    ExpectSamePlanes(ycc, plain);
    if (round != 1) ExpectSameJpeg(ycc, bitmap);
  }
}

TEST_P(YccPlanesTest, PlanarRecordsEncodeAsTheirBitmaps) {
  std::mt19937 random(13);
  std::vector<std::uint8_t> record(kPlanarRecordBytes);
  for (int round = 0; round < 3; ++round) {
    FillRecord(record, round, 2, random);
    TBitmap24 bitmap;
    ASSERT_TRUE(PlanarYuvToBitmap(record, bitmap));
    TYccPicture ycc;
    ASSERT_TRUE(PlanarYuvToYcc(record, ycc));
    TYccPicture plain = PlainYcc(bitmap);
    ExpectSamePlanes(ycc, plain);
    if (round != 1) ExpectSameJpeg(ycc, bitmap);
  }
  TYccPicture untouched;
  EXPECT_FALSE(PlanarYuvToYcc(std::span(record).first(kPlanarRecordBytes - 1), untouched));
  EXPECT_EQ(untouched.Width(), 0);
}

// A top-down 16-bit bitmap file with the given masks around a record.
std::vector<std::uint8_t> Rgb16File(const std::vector<std::uint8_t>& record, int width, int height,
                                    bool green6) {
  std::vector<std::uint8_t> file(66, 0);
  auto put = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
      file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put(2, static_cast<std::uint32_t>(66 + record.size()));
  put(10, 66);
  put(14, 40);
  put(18, static_cast<std::uint32_t>(width));
  put(22, static_cast<std::uint32_t>(-height));
  file[26] = 1;
  file[28] = 16;
  put(30, 3);
  put(54, green6 ? 0xF800 : 0x7C00);
  put(58, green6 ? 0x07E0 : 0x03E0);
  put(62, 0x001F);
  file.insert(file.end(), record.begin(), record.end());
  return file;
}

TEST_P(YccPlanesTest, Rgb16RecordsGiveTheBitmapReadersPlanes) {
  std::mt19937 random(17);
  const std::pair<int, int> sizes[] = {{16, 2}, {176, 132}, {48, 10}};
  for (const auto& [width, height] : sizes) {
    for (const bool green6 : {true, false}) {
      for (const bool swapped : {false, true}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) +
                     (green6 ? " 565" : " 555") + (swapped ? " swapped" : ""));
        // One spare byte: only whole rows are read.
        std::vector<std::uint8_t> record(static_cast<std::size_t>(width * height * 2) + 1);
        for (std::uint8_t& byte : record) byte = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> lowFirst = record;
        if (swapped) {
          for (std::size_t i = 0; i + 1 < lowFirst.size(); i += 2)
            std::swap(lowFirst[i], lowFirst[i + 1]);
        }
        TBitmap24 bitmap;
        ASSERT_TRUE(LoadBitmapFile(Rgb16File(lowFirst, width, height, green6), bitmap));
        TYccPicture ycc;
        ASSERT_TRUE(Rgb16RecordToYcc(record, width, height, green6, swapped, ycc));
        TYccPicture plain = PlainYcc(bitmap);
        ExpectSamePlanes(ycc, plain);
      }
    }
  }
  // Rows the record does not hold, and sizes the planes path leaves alone.
  TYccPicture untouched;
  const std::vector<std::uint8_t> shortRecord(16 * 2 * 2 - 1);
  EXPECT_FALSE(Rgb16RecordToYcc(shortRecord, 16, 2, true, false, untouched));
  const std::vector<std::uint8_t> record(40 * 4 * 2);
  EXPECT_FALSE(Rgb16RecordToYcc(record, 20, 4, true, false, untouched));
  EXPECT_FALSE(Rgb16RecordToYcc(record, 16, 3, true, false, untouched));
  EXPECT_FALSE(Rgb16RecordToYcc(record, 0, 0, true, false, untouched));
  EXPECT_EQ(untouched.Width(), 0);
}

TEST(YccPlanesOffTest, WithoutTheWidePathsEveryConversionDeclines) {
  // The callers then encode the bitmaps; nothing may run instructions the
  // processor lacks.
  avx2::Allow(false);
  TYccPicture ycc;
  const std::vector<std::uint8_t> interlaced(kInterlacedRecordBytes);
  const std::vector<std::uint8_t> planar(kPlanarRecordBytes);
  EXPECT_FALSE(YccConversionUsable());
  EXPECT_FALSE(InterlacedRecordToYcc(
      std::span<const std::uint8_t, kInterlacedRecordBytes>(interlaced.data(), interlaced.size()),
      ycc));
  EXPECT_FALSE(PlanarYuvToYcc(planar, ycc));
  EXPECT_FALSE(BitmapToYcc(TBitmap24(32, 2), ycc));
  EXPECT_FALSE(Rgb16RecordToYcc(std::vector<std::uint8_t>(32 * 2 * 2), 32, 2, true, false, ycc));
  EXPECT_EQ(ycc.Width(), 0);
  avx2::Allow(true);
}

std::string PathName(const ::testing::TestParamInfo<TSimdPath>& info) {
  switch (info.param) {
    case TSimdPath::Avx512:
      return "Avx512";
    case TSimdPath::Avx2:
      return "Avx2";
    case TSimdPath::Sse2:
      break;
  }
  return "Sse2";
}
const auto kPaths = ::testing::Values(TSimdPath::Avx512, TSimdPath::Avx2, TSimdPath::Sse2);
INSTANTIATE_TEST_SUITE_P(Paths, YuvExactnessTest, kPaths, PathName);
INSTANTIATE_TEST_SUITE_P(Paths, InterlacedRecordTest, kPaths, PathName);
INSTANTIATE_TEST_SUITE_P(Paths, YccPlanesTest,
                         ::testing::Values(TSimdPath::Avx512, TSimdPath::Avx2), PathName);

}  // namespace
}  // namespace quill
