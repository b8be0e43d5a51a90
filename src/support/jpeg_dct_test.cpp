#include "support/jpeg_dct.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/picture.h"

namespace quill {
namespace {

// What the encoder itself writes from the same planes with its accurate DCT:
// the reference the transform of ours must give byte for byte.
std::vector<std::uint8_t> LibraryEncode(const TYccPicture& picture, int quality) {
  const std::unique_ptr<void, int (*)(void*)> handle(tjInitCompress(), tjDestroy);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const unsigned char* planes[3] = {picture.Plane(0), picture.Plane(1), picture.Plane(2)};
  const int strides[3] = {picture.Width(), picture.ChromaWidth(), picture.ChromaWidth()};
  const int result =
      tjCompressFromYUVPlanes(handle.get(), planes, picture.Width(), strides, picture.Height(),
                              TJSAMP_420, &buffer, &size, quality, TJFLAG_ACCURATEDCT);
  std::vector<std::uint8_t> bytes;
  if (result == 0) bytes.assign(buffer, buffer + size);
  tjFree(buffer);
  return bytes;
}

std::vector<std::uint8_t> OwnEncode(const TYccPicture& picture, int quality) {
  std::vector<std::uint8_t> buffer(tjBufSize(picture.Width(), picture.Height(), TJSAMP_420));
  buffer.resize(jpeg_dct::EncodePlanes(picture, quality, buffer.data(), buffer.size()));
  return buffer;
}

// Noise over the whole range, only the extremes (the largest coefficients),
// a flat plane, and smooth ramps, whose small coefficients sit on the
// rounding edges of the quantization.
void Fill(TYccPicture& picture, int kind, std::mt19937& random) {
  auto value = [&](int x, int y, int plane) -> std::uint8_t {
    switch (kind) {
      case 0:
        return static_cast<std::uint8_t>(random());
      case 1:
        return random() & 1 ? 255 : 0;
      case 2:
        return static_cast<std::uint8_t>(plane == 0 ? 0 : 255);
      default:
        return static_cast<std::uint8_t>((x * (plane + 1) + y * 3 + plane * 40) / 2);
    }
  };
  for (int y = 0; y < picture.Height(); ++y) {
    for (int x = 0; x < picture.Width(); ++x) picture.Luma(y)[x] = value(x, y, 0);
  }
  for (int y = 0; y < picture.ChromaHeight(); ++y) {
    for (int x = 0; x < picture.ChromaWidth(); ++x) {
      picture.Cb(y)[x] = value(x, y, 1);
      picture.Cr(y)[x] = value(x, y, 2);
    }
  }
}

// Each way of transforming this processor runs, the others skipped.
class JpegDctTest : public ::testing::TestWithParam<jpeg_dct::TDctPath> {
protected:
  void SetUp() override {
    jpeg_dct::AllowUpTo(GetParam());
    if (jpeg_dct::Path() != GetParam()) GTEST_SKIP() << "not on this processor or build";
  }
  void TearDown() override { jpeg_dct::AllowUpTo(jpeg_dct::TDctPath::Avx512); }
};

INSTANTIATE_TEST_SUITE_P(Paths, JpegDctTest,
                         ::testing::Values(jpeg_dct::TDctPath::Avx512, jpeg_dct::TDctPath::Avx2),
                         [](const auto& info) {
                           return info.param == jpeg_dct::TDctPath::Avx512 ? "Avx512" : "Avx2";
                         });

// Widths whose chroma rows hold an odd number of blocks (16, 48, 176) end
// with a block alone; heights that are no multiple of 16 make the encoder
// pad rows and add blocks of its own.
TEST_P(JpegDctTest, WritesTheEncodersBytes) {
  std::mt19937 random(11);
  const std::pair<int, int> sizes[] = {{16, 2},   {32, 8},  {48, 34},   {176, 132},
                                       {64, 100}, {16, 18}, {320, 240}, {720, 480}};
  for (const auto& [width, height] : sizes) {
    for (int kind = 0; kind < 4; ++kind) {
      for (const int quality : {80, 1, 50, 95, 100}) {
        if (width * height > 100000 && quality != 80) continue;
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " kind " +
                     std::to_string(kind) + " quality " + std::to_string(quality));
        TYccPicture picture;
        picture.SetSize(width, height);
        Fill(picture, kind, random);
        const std::vector<std::uint8_t> expected = LibraryEncode(picture, quality);
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(OwnEncode(picture, quality), expected);
      }
    }
  }
}

// Many small random pictures: every block is a new draw of the rounding
// cases.
TEST_P(JpegDctTest, RandomPicturesAtEveryQuality) {
  std::mt19937 random(12);
  for (int round = 0; round < 60; ++round) {
    const int width = 16 * static_cast<int>(1 + random() % 6);
    const int height = 2 * static_cast<int>(1 + random() % 35);
    const int quality = static_cast<int>(1 + random() % 100);
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " quality " +
                 std::to_string(quality));
    TYccPicture picture;
    picture.SetSize(width, height);
    // Values near one level with some noise: many coefficients near zero.
    const int level = static_cast<int>(random() % 256);
    const int spread = static_cast<int>(1 + random() % 64);
    for (int p = 0; p < 3; ++p) {
      const int rows = p == 0 ? height : picture.ChromaHeight();
      const int columns = p == 0 ? width : picture.ChromaWidth();
      for (int y = 0; y < rows; ++y) {
        std::uint8_t* row = p == 0 ? picture.Luma(y) : p == 1 ? picture.Cb(y) : picture.Cr(y);
        for (int x = 0; x < columns; ++x) {
          const int v =
              level + static_cast<int>(random() % static_cast<unsigned>(spread)) - spread / 2;
          row[x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
      }
    }
    ASSERT_EQ(OwnEncode(picture, quality), LibraryEncode(picture, quality));
  }
}

TEST_P(JpegDctTest, RefusesWhatItCannotWrite) {
  TYccPicture picture;
  picture.SetSize(64, 64);
  std::mt19937 random(13);
  Fill(picture, 0, random);
  // A buffer too small: nothing is claimed as written, and nothing ends the
  // process (the library's own error handler would).
  std::vector<std::uint8_t> small(100);
  EXPECT_EQ(jpeg_dct::EncodePlanes(picture, 80, small.data(), small.size()), 0u);
  // Widths the encoder pads its own way are left to it; odd heights are
  // refused, as EncodeJpeg refuses them.
  TYccPicture narrow;
  narrow.SetSize(40, 16);
  std::vector<std::uint8_t> buffer(100000);
  EXPECT_EQ(jpeg_dct::EncodePlanes(narrow, 80, buffer.data(), buffer.size()), 0u);
  TYccPicture odd;
  odd.SetSize(32, 15);
  EXPECT_EQ(jpeg_dct::EncodePlanes(odd, 80, buffer.data(), buffer.size()), 0u);
  TYccPicture empty;
  EXPECT_EQ(jpeg_dct::EncodePlanes(empty, 80, buffer.data(), buffer.size()), 0u);
}

// Exports encode on two threads: the pooled encoders must not mix their
// tables, arrays or output.
TEST_P(JpegDctTest, ThreadsEncodeAtOnce) {
  constexpr int kThreads = 4;
  std::vector<TYccPicture> pictures(kThreads);
  std::vector<std::vector<std::uint8_t>> expected(kThreads);
  std::mt19937 random(15);
  for (int t = 0; t < kThreads; ++t) {
    pictures[t].SetSize(16 * (2 + t), 18 + 4 * t);
    Fill(pictures[t], t % 4, random);
    expected[t] = LibraryEncode(pictures[t], 60 + 10 * t);
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 25; ++round) {
        std::vector<std::uint8_t> out;
        if (!EncodeJpeg(pictures[t], 60 + 10 * t, out) || out != expected[t]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// EncodeJpeg takes our transform where it runs and the encoder's where it
// is turned off; the files are the same.
TEST_P(JpegDctTest, EncodeJpegWritesTheSameBytesEitherWay) {
  TYccPicture picture;
  picture.SetSize(96, 50);
  std::mt19937 random(14);
  Fill(picture, 0, random);
  std::vector<std::uint8_t> own, library;
  ASSERT_TRUE(EncodeJpeg(picture, 80, own));
  jpeg_dct::AllowUpTo(jpeg_dct::TDctPath::Library);
  const bool encoded = EncodeJpeg(picture, 80, library);
  jpeg_dct::AllowUpTo(GetParam());
  ASSERT_TRUE(encoded);
  EXPECT_EQ(own, library);
  EXPECT_EQ(own, LibraryEncode(picture, 80));
}

}  // namespace
}  // namespace quill
