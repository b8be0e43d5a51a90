#include "support/bitmap.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace quill {
namespace {

using TPixel = std::array<std::uint8_t, 3>;  // blue, green, red

TPixel At(const TBitmap24& bitmap, int x, int y) {
  const std::uint8_t* p = bitmap.Row(y) + x * 3;
  return {p[0], p[1], p[2]};
}

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

// A BMP file with a 40-byte info header; masks (for bit fields) or palette
// entries follow the header, then the pixel bytes as given.
struct TBmpSpec {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t bits = 24;
  std::uint32_t compression = 0;
  std::vector<std::uint32_t> masks;
  std::vector<TPixel> palette;
  std::uint32_t colors_used = 0;
  std::vector<std::uint8_t> pixels;
};

std::vector<std::uint8_t> MakeBmp(const TBmpSpec& desc) {
  const std::size_t extra = desc.masks.size() * 4 + desc.palette.size() * 4;
  const std::size_t offset = 54 + extra;
  std::vector<std::uint8_t> b(offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<std::uint32_t>(offset + desc.pixels.size()));
  Put32(b, 10, static_cast<std::uint32_t>(offset));
  Put32(b, 14, 40);
  Put32(b, 18, static_cast<std::uint32_t>(desc.width));
  Put32(b, 22, static_cast<std::uint32_t>(desc.height));
  Put16(b, 26, 1);
  Put16(b, 28, desc.bits);
  Put32(b, 30, desc.compression);
  Put32(b, 34, static_cast<std::uint32_t>(desc.pixels.size()));
  Put32(b, 46, desc.colors_used);
  std::size_t at = 54;
  for (std::uint32_t m : desc.masks) {
    Put32(b, at, m);
    at += 4;
  }
  for (const TPixel& p : desc.palette) {
    b[at] = p[0];
    b[at + 1] = p[1];
    b[at + 2] = p[2];
    at += 4;
  }
  b.insert(b.end(), desc.pixels.begin(), desc.pixels.end());
  return b;
}

std::vector<std::uint8_t> Words(std::initializer_list<std::uint16_t> words) {
  std::vector<std::uint8_t> out;
  for (std::uint16_t w : words) {
    out.push_back(static_cast<std::uint8_t>(w));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
  }
  return out;
}

TBmpSpec Rgb565(std::int32_t width, std::int32_t height, std::vector<std::uint8_t> pixels) {
  TBmpSpec desc;
  desc.width = width;
  desc.height = height;
  desc.bits = 16;
  desc.compression = 3;
  desc.masks = {0xF800, 0x07E0, 0x001F};
  desc.pixels = std::move(pixels);
  return desc;
}

const TPixel kBlack{0, 0, 0};
const TPixel kRed{0, 0, 255};
const TPixel kGreen{0, 255, 0};
const TPixel kBlue{255, 0, 0};
const TPixel kWhite{255, 255, 255};

TEST(Bitmap16, Rgb565PrimariesWidenToFullRange) {
  TBitmap24 out;
  // Top-down 2 x 1, as the device's records are read.
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, -1, Words({0xF800, 0x07E0}))), out));
  ASSERT_EQ(out.Width(), 2);
  ASSERT_EQ(out.Height(), 1);
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 1, 0), kGreen);

  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, -1, Words({0x001F, 0xFFFF}))), out));
  EXPECT_EQ(At(out, 0, 0), kBlue);
  EXPECT_EQ(At(out, 1, 0), kWhite);

  // Half values: 5-bit 10000 -> 10000100 (132), 6-bit 100000 -> 10000010 (130).
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(1, -1, Words({0x8410, 0}))), out));
  EXPECT_EQ(At(out, 0, 0), (TPixel{132, 130, 132}));
}

TEST(Bitmap16, Rgb555MasksAndPlainSixteenBit) {
  TBmpSpec desc = Rgb565(3, -1, Words({0x7C00, 0x03E0, 0x001F, 0}));
  desc.masks = {0x7C00, 0x03E0, 0x001F};
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 1, 0), kGreen);
  EXPECT_EQ(At(out, 2, 0), kBlue);

  // Without bit fields a 16-bit bitmap is 5-5-5.
  desc.masks.clear();
  desc.compression = 0;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 2, 0), kBlue);
}

// Every 16-bit value, 5-6-5 and 5-5-5: each channel of n bits widens by
// repeating its top bits (abcde -> abcdeabc), on the eight-at-a-time path
// and the single-pixel tail alike (two rows of 32768 pixels, one of 7).
TEST(Bitmap16, EveryValueWidensByRepeatingItsTopBits) {
  for (const bool six : {true, false}) {
    for (const int width : {32768, 7}) {
      const int height = width == 7 ? 1 : 2;
      std::vector<std::uint8_t> pixels;
      for (int i = 0; i < width * height; ++i) {
        const auto value = static_cast<std::uint16_t>(static_cast<std::uint32_t>(i) * 40503u);
        pixels.push_back(static_cast<std::uint8_t>(value));
        pixels.push_back(static_cast<std::uint8_t>(value >> 8));
      }
      TBmpSpec desc = Rgb565(width, -height, pixels);
      desc.masks = six ? std::vector<std::uint32_t>{0xF800, 0x07E0, 0x001F}
                       : std::vector<std::uint32_t>{0x7C00, 0x03E0, 0x001F};
      TBitmap24 out;
      ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
      for (int i = 0; i < width * height; ++i) {
        const std::uint32_t v = static_cast<std::uint16_t>(static_cast<std::uint32_t>(i) * 40503u);
        const std::uint32_t b = v & 0x1F;
        const std::uint32_t g = six ? (v >> 5) & 0x3F : (v >> 5) & 0x1F;
        const std::uint32_t r = (v >> (six ? 11 : 10)) & 0x1F;
        const TPixel expected{
            static_cast<std::uint8_t>(b << 3 | b >> 2),
            static_cast<std::uint8_t>(six ? (g << 2 | g >> 4) : (g << 3 | g >> 2)),
            static_cast<std::uint8_t>(r << 3 | r >> 2)};
        ASSERT_EQ(At(out, i % width, i / width), expected) << std::hex << v;
      }
    }
  }
}

TEST(Bitmap16, RowsArePaddedToFourBytes) {
  // 3 pixels of 2 bytes take 6 bytes, padded to 8; the padding must be skipped.
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(
      MakeBmp(
          Rgb565(3, -2, Words({0xF800, 0xF800, 0xF800, 0xABCD, 0x001F, 0x07E0, 0xF800, 0xABCD}))),
      out));
  EXPECT_EQ(At(out, 2, 0), kRed);
  EXPECT_EQ(At(out, 0, 1), kBlue);
  EXPECT_EQ(At(out, 1, 1), kGreen);
  EXPECT_EQ(At(out, 2, 1), kRed);
}

TEST(Bitmap16, ExtraBytesAfterThePixelsAreIgnored) {
  // The device's thumbnail headers declare fewer image bytes than follow.
  std::vector<std::uint8_t> pixels = Words({0xF800, 0x001F});
  pixels.insert(pixels.end(), 28, 0xEE);
  std::vector<std::uint8_t> file = MakeBmp(Rgb565(2, -1, pixels));
  Put32(file, 34, 4);
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(file, out));
  EXPECT_EQ(out.Height(), 1);
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 1, 0), kBlue);
}

TEST(Bitmap16, ShortPixelDataLeavesMissingRowsBlack) {
  // 2 x 3, top-down: the first row whole, one pixel of the second, then nothing.
  std::vector<std::uint8_t> pixels = Words({0xF800, 0xF800, 0x001F});
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, -3, pixels)), out));
  ASSERT_EQ(out.Height(), 3);
  EXPECT_EQ(At(out, 1, 0), kRed);
  EXPECT_EQ(At(out, 0, 1), kBlue);
  EXPECT_EQ(At(out, 1, 1), kBlack);
  EXPECT_EQ(At(out, 0, 2), kBlack);

  // Bottom-up, the missing rows are the top ones; a lone odd byte is no pixel.
  pixels = Words({0x001F, 0x001F});
  pixels.push_back(0xFF);
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, 2, pixels)), out));
  EXPECT_EQ(At(out, 0, 1), kBlue);
  EXPECT_EQ(At(out, 1, 1), kBlue);
  EXPECT_EQ(At(out, 0, 0), kBlack);

  // No pixel bytes at all still gives a black picture of the declared size.
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(4, -4, {})), out));
  EXPECT_EQ(out.Width(), 4);
  EXPECT_EQ(At(out, 3, 3), kBlack);

  // A bitmap reused at the same size keeps nothing of the picture before.
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, -3, Words({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
                                                          0xFFFF, 0xFFFF}))),
                             out));
  EXPECT_EQ(At(out, 1, 2), kWhite);
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(Rgb565(2, -3, Words({0xF800, 0xF800, 0x001F}))), out));
  EXPECT_EQ(At(out, 1, 1), kBlack);
  EXPECT_EQ(At(out, 0, 2), kBlack);
  EXPECT_EQ(At(out, 1, 2), kBlack);
}

TEST(Bitmap24, BottomUpAndTopDownRows) {
  // 3 x 2: rows of 9 bytes padded to 12. Stored first: red row, then blue row.
  std::vector<std::uint8_t> pixels = {0,   0, 255, 0,   0, 255, 0,  0,  255, 9, 9, 9,
                                      255, 0, 0,   255, 0, 0,   10, 20, 30,  9, 9, 9};
  TBmpSpec desc;
  desc.width = 3;
  desc.height = 2;
  desc.pixels = pixels;
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
  EXPECT_EQ(At(out, 0, 1), kRed);  // first stored row is the bottom one
  EXPECT_EQ(At(out, 0, 0), kBlue);
  EXPECT_EQ(At(out, 2, 0), (TPixel{10, 20, 30}));

  desc.height = -2;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 2, 1), (TPixel{10, 20, 30}));
}

TEST(Bitmap8, PaletteLookupAndIndicesPastThePalette) {
  TBmpSpec desc;
  desc.width = 3;
  desc.height = -2;
  desc.bits = 8;
  desc.palette = {kRed, {1, 2, 3}};
  desc.colors_used = 2;
  desc.pixels = {0, 1, 0, 0xAA, 1, 7, 255, 0xAA};
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(MakeBmp(desc), out));
  EXPECT_EQ(At(out, 0, 0), kRed);
  EXPECT_EQ(At(out, 1, 0), (TPixel{1, 2, 3}));
  EXPECT_EQ(At(out, 0, 1), (TPixel{1, 2, 3}));
  EXPECT_EQ(At(out, 1, 1), kBlack);
  EXPECT_EQ(At(out, 2, 1), kBlack);
}

TEST(BitmapHostile, RefusedWithoutReadingPastTheData) {
  const std::vector<std::uint8_t> good = MakeBmp(Rgb565(2, -2, Words({1, 2, 3, 4})));
  TBitmap24 out;
  ASSERT_TRUE(LoadBitmapFile(good, out));
  // Every cut inside the headers and masks (66 bytes) is refused.
  for (std::size_t size = 0; size < 66; ++size) {
    EXPECT_FALSE(LoadBitmapFile(std::span(good).first(size), out)) << size;
    EXPECT_TRUE(out.Empty());
  }

  auto refused = [&](std::size_t at, std::uint32_t value, bool wide = true) {
    std::vector<std::uint8_t> file = good;
    if (wide) {
      Put32(file, at, value);
    } else {
      Put16(file, at, value);
    }
    return !LoadBitmapFile(file, out) && out.Empty();
  };
  EXPECT_TRUE(refused(18, static_cast<std::uint32_t>(-2)));      // negative width
  EXPECT_TRUE(refused(18, 0));                                   // zero width
  EXPECT_TRUE(refused(18, 40000));                               // huge width
  EXPECT_TRUE(refused(22, 0));                                   // zero height
  EXPECT_TRUE(refused(22, static_cast<std::uint32_t>(-40000)));  // huge height
  EXPECT_TRUE(refused(22, 0x80000000u));                         // most negative height
  EXPECT_TRUE(refused(18, 0x7FFFFFFF));                          // width * bits overflows int
  EXPECT_TRUE(refused(10, static_cast<std::uint32_t>(good.size() + 1)));  // pixels past the end
  EXPECT_TRUE(refused(10, 0xFFFFFFFF));
  EXPECT_TRUE(refused(10, 20));          // pixels inside the header
  EXPECT_TRUE(refused(14, 0xFFFFFFF0));  // info header size
  EXPECT_TRUE(refused(14, 41 + 4096));
  EXPECT_TRUE(refused(28, 32, false));  // bit count
  EXPECT_TRUE(refused(28, 1, false));
  EXPECT_TRUE(refused(28, 0, false));
  EXPECT_TRUE(refused(30, 1));           // RLE compression
  EXPECT_TRUE(refused(54, 0));           // empty mask
  EXPECT_TRUE(refused(54, 0xF00F));      // mask with a gap
  EXPECT_TRUE(refused(54, 0x1F0000));    // mask beyond 16 bits
  EXPECT_TRUE(refused(0, 0x0000'4D43));  // not "BM"

  // Sides within bounds but too many pixels: refused before allocating.
  std::vector<std::uint8_t> big = good;
  Put32(big, 18, 32768);
  Put32(big, 22, static_cast<std::uint32_t>(-32768));
  EXPECT_FALSE(LoadBitmapFile(big, out));

  // A palette larger than 256 entries, or one that runs past the data.
  TBmpSpec desc;
  desc.bits = 8;
  desc.palette = {kRed};
  desc.pixels = {0, 0, 0, 0};
  desc.colors_used = 257;
  EXPECT_FALSE(LoadBitmapFile(MakeBmp(desc), out));
  desc.colors_used = 200;
  EXPECT_FALSE(LoadBitmapFile(MakeBmp(desc), out));
}

TEST(BitmapSize, SetSizeZeroFillsAndClampsNegative) {
  TBitmap24 bitmap(2, 2);
  bitmap.Row(1)[5] = 7;
  bitmap.SetSize(3, 1);
  EXPECT_EQ(bitmap.Pixels().size(), 9u);
  for (std::uint8_t b : bitmap.Pixels()) EXPECT_EQ(b, 0);
  bitmap.SetSize(-5, 4);
  EXPECT_TRUE(bitmap.Empty());
  EXPECT_EQ(bitmap.Width(), 0);
  EXPECT_TRUE(bitmap.Pixels().empty());
  EXPECT_TRUE(PictureSizeAllowed(32768, 4096));
  EXPECT_FALSE(PictureSizeAllowed(32769, 1));
  EXPECT_FALSE(PictureSizeAllowed(32768, 32768));
  EXPECT_FALSE(PictureSizeAllowed(0, 5));
}

}  // namespace
}  // namespace quill
