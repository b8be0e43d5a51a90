#include "support/picture.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <cstring>
#include <cstdlib>
#include <cstdio>
#include <cmath>
#include <thread>
#include <vector>

namespace quill {
namespace {

using TPixel = std::array<std::uint8_t, 3>;  // blue, green, red

TPixel At(const TBitmap24& bitmap, int x, int y) {
  const std::uint8_t* p = bitmap.Row(y) + x * 3;
  return {p[0], p[1], p[2]};
}

void Fill(TBitmap24& bitmap, int x0, int y0, int x1, int y1, TPixel colour) {
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) std::copy(colour.begin(), colour.end(), bitmap.Row(y) + x * 3);
  }
}

TBitmap24 Gradient(int width, int height) {
  TBitmap24 bitmap(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = bitmap.Row(y) + x * 3;
      p[0] = static_cast<std::uint8_t>(255 * x / width);
      p[1] = static_cast<std::uint8_t>(255 * y / height);
      p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + y) / 90.0));
    }
  }
  return bitmap;
}

double Psnr(const TBitmap24& a, const TBitmap24& b) {
  double squares = 0;
  for (std::size_t i = 0; i < a.Pixels().size(); ++i) {
    const double d = static_cast<int>(a.Pixels()[i]) - static_cast<int>(b.Pixels()[i]);
    squares += d * d;
  }
  const double mse = squares / static_cast<double>(a.Pixels().size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The luma sampling factors of the first baseline frame header (0x22 is 4:2:0).
int LumaSampling(std::span<const std::uint8_t> jpeg) {
  for (std::size_t i = 2; i + 11 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) return jpeg[i + 11];
  }
  return -1;
}

std::vector<std::uint8_t> Encoded(const TBitmap24& bitmap, int quality) {
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(EncodeJpeg(bitmap, quality, out));
  return out;
}

// 2 x 1 RGBA: opaque red, then fully transparent blue.
const std::vector<std::uint8_t> kPngRgba = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0xF4, 0x22, 0x7F, 0x8A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0x00, 0x46, 0x00, 0x0E, 0xFA, 0x02, 0xFE, 0xF5, 0x1E,
    0x4C, 0xA9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
// 2 x 1 16-bit grey: black, white.
const std::vector<std::uint8_t> kPngGrey16 = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00, 0x00, 0x00,
    0x00, 0x81, 0xD9, 0xFC, 0x15, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x60, 0x60, 0xF8, 0xFF, 0x1F, 0x00, 0x03, 0x02, 0x01, 0xFF, 0xE6, 0x77,
    0x0B, 0xAE, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
// 2 x 1 palette: index 1 (green), index 0 (red).
const std::vector<std::uint8_t> kPngPalette = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44,
    0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x03, 0x00, 0x00, 0x00, 0xC3,
    0xFC, 0x8F, 0xB8, 0x00, 0x00, 0x00, 0x06, 0x50, 0x4C, 0x54, 0x45, 0xFF, 0x00, 0x00, 0x00,
    0xFF, 0x00, 0xD2, 0x87, 0xEF, 0x71, 0x00, 0x00, 0x00, 0x0B, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9C, 0x63, 0x60, 0x64, 0x00, 0x00, 0x00, 0x05, 0x00, 0x02, 0xD1, 0x66, 0x33, 0x78, 0x00,
    0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

const TPixel kRed{0, 0, 255};
const TPixel kGreen{0, 255, 0};
const TPixel kBlue{255, 0, 0};
const TPixel kWhite{255, 255, 255};
const TPixel kBlack{0, 0, 0};

TEST(JpegCodec, RoundTripKeepsSizeAndQuality) {
  const TBitmap24 source = Gradient(640, 480);
  const std::vector<std::uint8_t> jpeg = Encoded(source, 80);
  EXPECT_EQ(LumaSampling(jpeg), 0x22);
  TBitmap24 decoded;
  ASSERT_TRUE(DecodeJpeg(jpeg, decoded));
  ASSERT_EQ(decoded.Width(), 640);
  ASSERT_EQ(decoded.Height(), 480);
  EXPECT_GT(Psnr(source, decoded), 30.0);
}

TEST(JpegCodec, QualityIsHonouredAndNegativeMeansDefault) {
  const TBitmap24 source = Gradient(96, 64);
  const auto low = Encoded(source, 20);
  const auto high = Encoded(source, 95);
  EXPECT_LT(low.size(), high.size());
  EXPECT_EQ(Encoded(source, -1), Encoded(source, 75));
  EXPECT_NE(Encoded(source, 80), Encoded(source, 75));
  // Odd sizes and a single pixel encode and decode whole.
  TBitmap24 decoded;
  ASSERT_TRUE(DecodeJpeg(Encoded(Gradient(13, 7), 80), decoded));
  EXPECT_EQ(decoded.Width(), 13);
  EXPECT_EQ(decoded.Height(), 7);
  TBitmap24 dot(1, 1);
  Fill(dot, 0, 0, 1, 1, kWhite);
  ASSERT_TRUE(DecodeJpeg(Encoded(dot, 80), decoded));
  EXPECT_GE(At(decoded, 0, 0)[0], 250);

  std::vector<std::uint8_t> out = {1, 2, 3};
  EXPECT_FALSE(EncodeJpeg(TBitmap24(), 80, out));
  EXPECT_TRUE(out.empty());
}

TEST(JpegCodec, EachThreadEncodesOnItsOwn) {
  const TBitmap24 source = Gradient(120, 90);
  const auto expected = Encoded(source, 80);
  std::array<bool, 2> same{};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < same.size(); ++t) {
    threads.emplace_back([&, t] {
      bool all = true;
      for (int i = 0; i < 20; ++i) {
        std::vector<std::uint8_t> out;
        all = all && EncodeJpeg(source, 80, out) && out == expected;
      }
      same[t] = all;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(same[0]);
  EXPECT_TRUE(same[1]);
}

// The encoder reads luma planes in whole 2 x 2 groups; planes of an odd size
// would have it read a row or a byte past them.
TEST(JpegCodec, PlanesOfAnOddSizeAreRefused) {
  for (const auto& [width, height] : {std::pair{16, 1}, std::pair{32, 15}, std::pair{15, 2}}) {
    TYccPicture planes;
    planes.SetSize(width, height);
    std::vector<std::uint8_t> out{1, 2, 3};
    EXPECT_FALSE(EncodeJpeg(planes, 80, out)) << width << "x" << height;
    EXPECT_TRUE(out.empty());
  }
  TYccPicture even;
  even.SetSize(18, 2);
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(EncodeJpeg(even, 80, out));
  TBitmap24 decoded;
  ASSERT_TRUE(DecodeJpeg(out, decoded));
  EXPECT_EQ(decoded.Width(), 18);
  EXPECT_EQ(decoded.Height(), 2);
}

TEST(JpegCodec, DamagedInputIsContained) {
  TBitmap24 decoded;
  EXPECT_FALSE(DecodeJpeg({}, decoded));
  const std::vector<std::uint8_t> garbage = {0xFF, 0xD8, 0x00, 0x11, 0x22, 0x33};
  EXPECT_FALSE(DecodeJpeg(garbage, decoded));
  EXPECT_TRUE(decoded.Empty());

  // Data cut short still shows what arrived, at the declared size.
  const TBitmap24 source = Gradient(256, 256);
  std::vector<std::uint8_t> jpeg = Encoded(source, 80);
  std::vector<std::uint8_t> cut(jpeg.begin(),
                                jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
  ASSERT_TRUE(DecodeJpeg(cut, decoded));
  EXPECT_EQ(decoded.Width(), 256);
  EXPECT_EQ(decoded.Height(), 256);
  EXPECT_GT(Psnr(source, decoded), 0.0);

  // A frame header claiming 65535 x 65535 is refused before any allocation.
  for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = jpeg[i + 6] = jpeg[i + 7] = jpeg[i + 8] = 0xFF;
      break;
    }
  }
  EXPECT_FALSE(DecodeJpeg(jpeg, decoded));
  EXPECT_TRUE(decoded.Empty());
}

TEST(PngCodec, RoundTripIsExact) {
  const TBitmap24 source = Gradient(37, 11);
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(EncodePng(source, png));
  TBitmap24 decoded;
  ASSERT_TRUE(DecodePng(png, decoded));
  ASSERT_EQ(decoded.Width(), 37);
  ASSERT_EQ(decoded.Height(), 11);
  EXPECT_TRUE(std::equal(source.Pixels().begin(), source.Pixels().end(), decoded.Pixels().begin()));
}

TEST(PngCodec, ExpandsOtherPixelFormats) {
  TBitmap24 decoded;
  ASSERT_TRUE(DecodePng(kPngRgba, decoded));
  EXPECT_EQ(At(decoded, 0, 0), kRed);
  EXPECT_EQ(At(decoded, 1, 0), kWhite);  // transparent over white
  ASSERT_TRUE(DecodePng(kPngGrey16, decoded));
  EXPECT_EQ(At(decoded, 0, 0), kBlack);
  EXPECT_EQ(At(decoded, 1, 0), kWhite);
  ASSERT_TRUE(DecodePng(kPngPalette, decoded));
  EXPECT_EQ(At(decoded, 0, 0), kGreen);
  EXPECT_EQ(At(decoded, 1, 0), kRed);

  std::vector<std::uint8_t> cut(kPngRgba.begin(), kPngRgba.begin() + 50);
  EXPECT_FALSE(DecodePng(cut, decoded));
  EXPECT_TRUE(decoded.Empty());
  EXPECT_FALSE(DecodePng({}, decoded));
}

TEST(BmpCodec, EncodedBitmapReadsBackExactly) {
  const TBitmap24 source = Gradient(3, 2);  // 9-byte rows need padding
  std::vector<std::uint8_t> bmp;
  ASSERT_TRUE(EncodeBmp(source, bmp));
  EXPECT_EQ(bmp.size(), 54u + 2 * 12);
  TBitmap24 decoded;
  ASSERT_TRUE(LoadBitmapFile(bmp, decoded));
  EXPECT_TRUE(std::equal(source.Pixels().begin(), source.Pixels().end(), decoded.Pixels().begin()));
}

TEST(SynPicture, EmptyOrUndecodableInputLeavesNoImage) {
  TSynPicture picture;
  TMemoryStream empty;
  picture.LoadFromStream(empty);
  EXPECT_FALSE(picture.HasImage());
  EXPECT_EQ(picture.Width(), 0u);
  TMemoryStream out;
  EXPECT_FALSE(picture.SaveToStream(out));
  EXPECT_EQ(out.Size(), 0u);

  const std::vector<std::vector<std::uint8_t>> undecodable = {
      {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0},
      {'I', 'I', 42, 0, 8, 0, 0, 0},
      {'B', 'M', 0, 0},
      {0xFF, 0xD8, 0xFF},
      {'h', 'e', 'l', 'l', 'o'},
  };
  for (const auto& bytes : undecodable) {
    picture.LoadFromBytes(Encoded(Gradient(8, 8), 80));
    ASSERT_TRUE(picture.HasImage());
    picture.LoadFromBytes(bytes);  // a failed load also clears the previous picture
    EXPECT_FALSE(picture.HasImage());
    EXPECT_EQ(picture.Height(), 0u);
  }
}

TEST(SynPicture, LoadedBytesAreSavedUnchanged) {
  const std::vector<std::uint8_t> jpeg = Encoded(Gradient(50, 30), 90);
  TSynPicture picture;
  picture.LoadFromBytes(jpeg);
  ASSERT_TRUE(picture.HasImage());
  EXPECT_EQ(picture.Width(), 50u);
  EXPECT_EQ(picture.Height(), 30u);
  EXPECT_EQ(picture.DetectedFormat(), TPictureFormat::Jpeg);
  TMemoryStream out;
  ASSERT_TRUE(picture.SaveToStream(out));
  EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), out.Bytes().begin(), out.Bytes().end()));

  picture.LoadFromBytes(kPngPalette);
  EXPECT_EQ(picture.DetectedFormat(), TPictureFormat::Png);
  out.Clear();
  ASSERT_TRUE(picture.SaveToStream(out));
  EXPECT_TRUE(
      std::equal(kPngPalette.begin(), kPngPalette.end(), out.Bytes().begin(), out.Bytes().end()));
}

TEST(SynPicture, AssignedBitmapSavesAsBmp) {
  const TBitmap24 source = Gradient(5, 4);
  TSynPicture picture;
  picture.LoadFromBytes(Encoded(Gradient(50, 30), 90));
  picture.Assign(source);
  EXPECT_TRUE(picture.FromBitmap());
  EXPECT_EQ(picture.DetectedFormat(), TPictureFormat::Bmp);
  TMemoryStream out;
  ASSERT_TRUE(picture.SaveToStream(out));
  TBitmap24 decoded;
  ASSERT_TRUE(LoadBitmapFile(out.Bytes(), decoded));
  EXPECT_TRUE(std::equal(source.Pixels().begin(), source.Pixels().end(), decoded.Pixels().begin(),
                         decoded.Pixels().end()));

  // Its own image assigned back keeps the pixels and now encodes.
  picture.LoadFromBytes(kPngPalette);
  picture.Assign(picture.Image());
  ASSERT_TRUE(picture.HasImage());
  EXPECT_EQ(picture.DetectedFormat(), TPictureFormat::Bmp);
  EXPECT_EQ(At(picture.Image(), 1, 0), kRed);

  picture.Assign(TBitmap24(0, 7));
  EXPECT_FALSE(picture.HasImage());
}

TEST(JpegImage, AlwaysEncodesWithItsQuality) {
  TJpegImage image;
  EXPECT_EQ(image.Quality, 80);
  TMemoryStream out;
  EXPECT_FALSE(image.SaveToStream(out));
  EXPECT_EQ(out.Size(), 0u);

  const TBitmap24 source = Gradient(640, 480);
  image.Assign(source);
  ASSERT_TRUE(image.SaveToStream(out));
  const std::vector<std::uint8_t> expected = Encoded(source, 80);
  EXPECT_TRUE(std::equal(out.Bytes().begin(), out.Bytes().end(), expected.begin(), expected.end()));
  TBitmap24 decoded;
  ASSERT_TRUE(DecodeJpeg(out.Bytes(), decoded));
  EXPECT_EQ(decoded.Width(), 640);
  EXPECT_EQ(decoded.Height(), 480);

  // Loaded from JPEG bytes it still re-encodes, here at a much lower quality.
  const std::vector<std::uint8_t> fine = Encoded(source, 98);
  image.LoadFromBytes(fine);
  image.Quality = 20;
  out.Clear();
  ASSERT_TRUE(image.SaveToStream(out));
  EXPECT_LT(out.Size(), fine.size() / 2);
  ASSERT_TRUE(DecodeJpeg(out.Bytes(), decoded));
  EXPECT_EQ(decoded.Width(), 640);
}

TEST(SynPictureDraw, StretchesOverTheWholeBitmap) {
  // Four quadrants of distinct colours, drawn 160 x 120 -> 75 x 75.
  TBitmap24 source(160, 120);
  Fill(source, 0, 0, 80, 60, kRed);
  Fill(source, 80, 0, 160, 60, kGreen);
  Fill(source, 0, 60, 80, 120, kBlue);
  Fill(source, 80, 60, 160, 120, kWhite);
  TSynPicture picture;
  picture.Assign(source);
  TBitmap24 cell(75, 75);
  picture.DrawTo(cell);
  EXPECT_EQ(At(cell, 0, 0), kRed);
  EXPECT_EQ(At(cell, 74, 0), kGreen);
  EXPECT_EQ(At(cell, 0, 74), kBlue);
  EXPECT_EQ(At(cell, 74, 74), kWhite);
  // Aspect not kept: no black border anywhere.
  for (int y = 0; y < 75; ++y) {
    for (int x = 0; x < 75; ++x) ASSERT_NE(At(cell, x, y), kBlack) << x << "," << y;
  }
  // Well inside a quadrant the colour is pure.
  EXPECT_EQ(At(cell, 18, 18), kRed);
  EXPECT_EQ(At(cell, 56, 56), kWhite);
}

TEST(SynPictureDraw, ExtremeSizesStayInBounds) {
  TBitmap24 dot(1, 1);
  Fill(dot, 0, 0, 1, 1, {10, 20, 30});
  TSynPicture picture;
  picture.Assign(dot);
  TBitmap24 big(7, 5);
  picture.DrawTo(big);
  EXPECT_EQ(At(big, 0, 0), (TPixel{10, 20, 30}));
  EXPECT_EQ(At(big, 6, 4), (TPixel{10, 20, 30}));

  // Enlarging 2 x 1 keeps the end colours and blends between them.
  TBitmap24 pair(2, 1);
  Fill(pair, 0, 0, 1, 1, kBlack);
  Fill(pair, 1, 0, 2, 1, kWhite);
  picture.Assign(pair);
  TBitmap24 wide(8, 3);
  picture.DrawTo(wide);
  EXPECT_EQ(At(wide, 0, 2), kBlack);
  EXPECT_EQ(At(wide, 7, 2), kWhite);
  EXPECT_GT(At(wide, 4, 1)[0], 0);
  EXPECT_LT(At(wide, 4, 1)[0], 255);

  // Shrinking to one pixel gives the average.
  picture.Assign(pair);
  TBitmap24 one(1, 1);
  picture.DrawTo(one);
  EXPECT_NEAR(At(one, 0, 0)[1], 128, 1);

  // Nothing loaded: the bitmap is left alone.
  TSynPicture empty;
  Fill(one, 0, 0, 1, 1, kGreen);
  empty.DrawTo(one);
  EXPECT_EQ(At(one, 0, 0), kGreen);
}

}  // namespace
}  // namespace quill

namespace quill {
namespace {

// Real HEIC files, made by heif-enc from a drawn picture; cut, mislabelled
// and empty ones fail without harm.
TEST(HeifCodec, PhotosOfTodaysPhonesDecodeAndBrokenOnesFail) {
#if !QUILL_HAVE_HEIF
  GTEST_SKIP() << "built without libheif";
#else
  if (std::system("command -v heif-enc >/dev/null 2>&1") != 0) GTEST_SKIP() << "heif-enc is not installed";
  const std::string dir = ::testing::TempDir();
  const std::string png = dir + "/quill-heif.png", heic = dir + "/quill-heif.heic";
  TBitmap24 drawn;
  drawn.SetSize(96, 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96; ++x) {
      std::uint8_t* p = drawn.Row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x * 2);
      p[1] = static_cast<std::uint8_t>(y * 3);
      p[2] = 200;
    }
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(EncodePng(drawn, bytes));
  {
    std::FILE* f = std::fopen(png.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  ASSERT_EQ(std::system(("heif-enc -q 90 -o '" + heic + "' '" + png + "' >/dev/null 2>&1").c_str()), 0);
  std::vector<std::uint8_t> file;
  {
    std::FILE* f = std::fopen(heic.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) file.insert(file.end(), chunk, chunk + n);
    std::fclose(f);
  }
  std::remove(png.c_str());
  std::remove(heic.c_str());

  TSynPicture picture;
  picture.LoadFromBytes(file);
  ASSERT_TRUE(picture.HasImage());
  EXPECT_EQ(picture.Width(), 96u);
  EXPECT_EQ(picture.Height(), 64u);
  // Lossy, but the colours are where they were drawn.
  const std::uint8_t* corner = picture.Image().Row(60) + 3 * 90;
  EXPECT_NEAR(corner[0], 180, 24);
  EXPECT_NEAR(corner[1], 180, 24);
  EXPECT_NEAR(corner[2], 200, 24);

  std::vector<std::uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2));
  std::vector<std::uint8_t> brand = file;
  std::memcpy(brand.data() + 8, "qt  ", 4);
  std::vector<std::uint8_t> header(file.begin(), file.begin() + 12);
  for (const auto* broken : {&cut, &brand, &header}) {
    TBitmap24 out;
    EXPECT_FALSE(DecodeHeif(*broken, out, true));
    EXPECT_TRUE(out.Empty());
    picture.LoadFromBytes(*broken);
    EXPECT_FALSE(picture.HasImage());
  }
  TBitmap24 out;
  EXPECT_FALSE(DecodeHeif({}, out, false));
#endif
}

}  // namespace
}  // namespace quill
