#include "library/yuv.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
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

}  // namespace
}  // namespace quill
