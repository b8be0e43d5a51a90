#include "support/ipod_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "library/ipod_photo_db.h"
#include "support/byte_reader.h"
#include "support/fake_platform.h"
#include "support/picture.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace quill::testing {
namespace {

TBitmap24 Solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  TBitmap24 bitmap(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      bitmap.Row(y)[x * 3] = b;
      bitmap.Row(y)[x * 3 + 1] = g;
      bitmap.Row(y)[x * 3 + 2] = r;
    }
  return bitmap;
}

std::string TagAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at) + 4);
}

// The 66-byte header of a 16-bit bit-mask bitmap, so that the support
// library's bitmap loader decodes a record independently of the writer.
std::vector<std::uint8_t> BitmapOf(const std::vector<std::uint8_t>& record, int w, int h,
                                   bool rgb555) {
  std::vector<std::uint8_t> file{'B', 'M'};
  chunk::PutU32(file, 2, static_cast<std::uint32_t>(66 + record.size()));
  chunk::PutU32(file, 10, 66);
  chunk::PutU32(file, 14, 40);
  chunk::PutU32(file, 18, static_cast<std::uint32_t>(w));
  chunk::PutU32(file, 22, static_cast<std::uint32_t>(-h));
  chunk::PutU16(file, 26, 1);
  chunk::PutU16(file, 28, 16);
  chunk::PutU32(file, 30, 3);
  chunk::PutU32(file, 34, static_cast<std::uint32_t>(record.size()));
  chunk::PutU32(file, 54, rgb555 ? 0x7C00 : 0xF800);
  chunk::PutU32(file, 58, rgb555 ? 0x03E0 : 0x07E0);
  chunk::PutU32(file, 62, 0x001F);
  chunk::Append(file, record);
  return file;
}

TEST(RecordEncoderTest, SixteenBitLayoutsOfPureColours) {
  const TBitmap24 red = Solid(4, 2, 255, 0, 0);
  const auto le = EncodeRecord(TRecordLayout::Rgb565, red, 4, 2);
  ASSERT_EQ(le.size(), 16u);
  EXPECT_EQ(le[0], 0x00);
  EXPECT_EQ(le[1], 0xF8);
  const auto swapped = EncodeRecord(TRecordLayout::SwappedRgb565, red, 4, 2);
  EXPECT_EQ(swapped[0], 0xF8);
  EXPECT_EQ(swapped[1], 0x00);
  const auto rgb555 = EncodeRecord(TRecordLayout::Rgb555, red, 4, 2);
  EXPECT_EQ(rgb555[0], 0x00);
  EXPECT_EQ(rgb555[1], 0x7C);
  const auto green = EncodeRecord(TRecordLayout::Rgb565, Solid(2, 2, 0, 255, 0), 2, 2);
  EXPECT_EQ(green[0], 0xE0);
  EXPECT_EQ(green[1], 0x07);
  const auto green555 = EncodeRecord(TRecordLayout::Rgb555, Solid(2, 2, 0, 255, 0), 2, 2);
  EXPECT_EQ(green555[0], 0xE0);
  EXPECT_EQ(green555[1], 0x03);
}

TEST(RecordEncoderTest, ScalesNearestNeighbourToTheStoredSize) {
  // Left half red, right half blue, scaled from 2x1 to 4x1.
  TBitmap24 picture = Solid(2, 1, 255, 0, 0);
  picture.Row(0)[3] = 255;
  picture.Row(0)[5] = 0;
  const auto record = EncodeRecord(TRecordLayout::Rgb565, picture, 4, 1);
  ASSERT_EQ(record.size(), 8u);
  EXPECT_EQ(record[3], 0xF8);  // pixel 1: red
  EXPECT_EQ(record[4], 0x1F);  // pixel 2: blue
  EXPECT_EQ(record[5], 0x00);
}

TEST(RecordEncoderTest, SixteenBitExpectationMatchesAnIndependentDecoder) {
  const TBitmap24 picture = TestPicture(100, 80, 7);
  for (bool rgb555 : {false, true}) {
    const auto layout = rgb555 ? TRecordLayout::Rgb555 : TRecordLayout::Rgb565;
    const auto record = EncodeRecord(layout, picture, 64, 50);
    TBitmap24 decoded;
    ASSERT_TRUE(LoadBitmapFile(BitmapOf(record, 64, 50, rgb555), decoded));
    const TBitmap24 expected = ExpectedPicture(layout, picture, 64, 50);
    EXPECT_EQ(Psnr(decoded, expected), std::numeric_limits<double>::infinity()) << rgb555;
  }
  // The swapped layout holds the same pixels with the bytes of each exchanged.
  auto swapped = EncodeRecord(TRecordLayout::SwappedRgb565, picture, 64, 50);
  for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  EXPECT_EQ(swapped, EncodeRecord(TRecordLayout::Rgb565, picture, 64, 50));
}

TEST(RecordEncoderTest, InterlacedUyvyOfBlackWhiteAndFields) {
  const auto black = EncodeRecord(TRecordLayout::InterlacedUyvy, Solid(8, 8, 0, 0, 0), 720, 480);
  ASSERT_EQ(black.size(), 691200u);
  EXPECT_EQ(black[0], 128);
  EXPECT_EQ(black[1], 16);
  EXPECT_EQ(black[2], 128);
  EXPECT_EQ(black[3], 16);
  const auto white =
      EncodeRecord(TRecordLayout::InterlacedUyvy, Solid(8, 8, 255, 255, 255), 720, 480);
  EXPECT_EQ(white[691196], 128);
  EXPECT_EQ(white[691197], 235);
  EXPECT_EQ(white[691199], 235);

  // Row y of grey level 16 + y % 200: its luma tells where each line went.
  TBitmap24 rows(720, 480);
  auto greyOf = [](int y) { return static_cast<std::uint8_t>(16 + y % 200); };
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 720 * 3; ++x) rows.Row(y)[x] = greyOf(y);
  const auto record = EncodeRecord(TRecordLayout::InterlacedUyvy, rows, 720, 480);
  auto lumaOf = [](std::uint8_t grey) { return static_cast<int>(std::lround(16 + 0.859 * grey)); };
  for (int y : {0, 2, 100, 478})
    EXPECT_EQ(record[static_cast<std::size_t>(y / 2) * 1440 + 1], lumaOf(greyOf(y))) << y;
  for (int y : {1, 3, 101, 479})
    EXPECT_EQ(record[(240 + static_cast<std::size_t>(y / 2)) * 1440 + 1], lumaOf(greyOf(y))) << y;
  // The 8 edge pixels carry the picture too (last pixel of line 0: byte 1439).
  EXPECT_EQ(record[1439], lumaOf(greyOf(0)));
}

TEST(RecordEncoderTest, UyvyChromaIsTheAverageOfThePair) {
  // A red pixel beside a blue one: U and V are those of the mean.
  TBitmap24 pair = Solid(2, 2, 255, 0, 0);
  for (int y = 0; y < 2; ++y) {
    pair.Row(y)[3] = 255;
    pair.Row(y)[5] = 0;
  }
  const auto record = EncodeRecord(TRecordLayout::InterlacedUyvy, pair, 2, 2);
  EXPECT_EQ(record[0], std::lround(128 + (-0.148 * 255 + 0.439 * 255) / 2));
  EXPECT_EQ(record[1], std::lround(16 + 0.257 * 255));
  EXPECT_EQ(record[2], std::lround(128 + (0.439 * 255 - 0.071 * 255) / 2));
  EXPECT_EQ(record[3], std::lround(16 + 0.098 * 255));
}

TEST(RecordEncoderTest, PlanarPlanesAndTwoByTwoChroma) {
  const auto black = EncodeRecord(TRecordLayout::PlanarYuv420, Solid(4, 4, 0, 0, 0), 720, 480);
  ASSERT_EQ(black.size(), 518400u);
  EXPECT_EQ(black[0], 16);
  EXPECT_EQ(black[345599], 16);
  EXPECT_EQ(black[345600], 128);
  EXPECT_EQ(black[518399], 128);

  // A 4x2 picture: left 2x2 block white, right block black.
  TBitmap24 blocks = Solid(4, 2, 0, 0, 0);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 6; ++x) blocks.Row(y)[x] = 255;
  const auto record = EncodeRecord(TRecordLayout::PlanarYuv420, blocks, 4, 2);
  ASSERT_EQ(record.size(), 12u);
  EXPECT_EQ(record[0], 235);
  EXPECT_EQ(record[5], 235);
  EXPECT_EQ(record[2], 16);
  EXPECT_EQ(record[7], 16);
  EXPECT_EQ(record[8], 128);   // U of the white block
  EXPECT_EQ(record[9], 128);   // U of the black block
  EXPECT_EQ(record[10], 128);  // V of the white block
}

TEST(RecordEncoderTest, YuvAndJpegExpectationsAreClose) {
  const TBitmap24 picture = TestPicture(720, 480, 3);
  const TBitmap24 uyvy = ExpectedPicture(TRecordLayout::InterlacedUyvy, picture, 720, 480);
  ASSERT_EQ(uyvy.Width(), 640);
  ASSERT_EQ(uyvy.Height(), 480);
  // Columns 8..711 of the picture, 704 taken to 640 by nearest neighbour.
  TBitmap24 cropped(640, 480);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      std::copy_n(picture.Row(y) + (8 + x * 704 / 640) * 3, 3, cropped.Row(y) + x * 3);
  EXPECT_GT(Psnr(uyvy, cropped), 30.0);
  const TBitmap24 planar = ExpectedPicture(TRecordLayout::PlanarYuv420, picture, 720, 480);
  EXPECT_GT(Psnr(planar, picture), 35.0);

  const auto jpeg = EncodeRecord(TRecordLayout::Jpeg, picture, 640, 480);
  TBitmap24 decoded;
  ASSERT_TRUE(DecodeJpeg(jpeg, decoded));
  EXPECT_GT(Psnr(decoded, ExpectedPicture(TRecordLayout::Jpeg, picture, 640, 480)), 30.0);
}

TEST(RecordEncoderTest, RefusesUnusableSizes) {
  const TBitmap24 picture = TestPicture(10, 10, 1);
  EXPECT_THROW(EncodeRecord(TRecordLayout::InterlacedUyvy, picture, 721, 480),
               std::invalid_argument);
  EXPECT_THROW(EncodeRecord(TRecordLayout::PlanarYuv420, picture, 720, 481), std::invalid_argument);
  EXPECT_THROW(EncodeRecord(TRecordLayout::Rgb565, picture, 0, 10), std::invalid_argument);
}

TEST(TestPictureTest, DiffersPerSeedAndPsnrMeasuresIt) {
  const TBitmap24 a = TestPicture(64, 48, 1);
  EXPECT_EQ(Psnr(a, TestPicture(64, 48, 1)), std::numeric_limits<double>::infinity());
  EXPECT_LT(Psnr(a, TestPicture(64, 48, 2)), 20.0);
  EXPECT_EQ(Psnr(a, TestPicture(32, 48, 1)), 0.0);
  TBitmap24 off = a;
  off.MutablePixels()[0] ^= 0x10;  // one byte off by 16 in 9216
  EXPECT_NEAR(Psnr(a, off), 10 * std::log10(255.0 * 255.0 * 9216 / 256), 1e-9);
}

TLibrarySpec SmallLibrary() {
  TLibrarySpec desc;
  desc.Formats.push_back({1024, TRecordLayout::Rgb565, 320, 240, 0, 0, 2, 0, true});
  desc.Formats.push_back({1036, TRecordLayout::Rgb565, 50, 40, 0, 1, 0, 4200, true});
  for (std::uint32_t i = 0; i < 3; ++i)
    desc.Photos.push_back({100 + i, TestPicture(64, 48, i), {}, {}});
  desc.Albums.push_back({"Library", false, false, {100, 101, 102}, 0});
  desc.Albums.push_back({"Été à Montréal", false, true, {101}, 0});
  desc.Albums.push_back({"Família", true, false, {102, 100}, 0});
  return desc;
}

// Walks a database as the layout of real iPods has it and checks the
// fields at their offsets; the header lengths grow by pad.
void CheckTree(const std::vector<std::uint8_t>& db, const TLibrarySpec& desc) {
  const std::uint32_t pad = desc.Padding;
  const TByteReader r(db);
  auto tag = [&](std::uint64_t at, const char* expected) {
    ASSERT_TRUE(r.TagAt(at, expected)) << expected << " at " << at;
    EXPECT_EQ(TagAt(db, at), desc.UpperCaseTags ? ToUpperAscii(expected) : std::string(expected));
  };
  tag(0, "mhfd");
  EXPECT_EQ(r.U32At(4), 0x84 + pad);
  EXPECT_EQ(r.U32At(8), db.size());
  EXPECT_EQ(r.U32At(20), 3u);
  std::uint64_t pos = 0x84 + pad;
  const auto places = PlaceRecords(desc);
  for (std::uint32_t expectedType : desc.AlbumListFirst ? std::vector<std::uint32_t>{2, 1, 3}
                                                        : std::vector<std::uint32_t>{1, 2, 3}) {
    tag(pos, "mhsd");
    EXPECT_EQ(r.U32At(pos + 4), 0x60 + pad);
    EXPECT_EQ(r.U32At(pos + 12), expectedType);
    const std::uint64_t list = pos + 0x60 + pad;
    if (expectedType == 1) {
      tag(list, "mhli");
      EXPECT_EQ(r.U32At(list + 4), 0x5C + pad);
      EXPECT_EQ(r.U32At(list + 8), desc.Photos.size());
      std::uint64_t image = list + 0x5C + pad;
      for (std::size_t p = 0; p < desc.Photos.size(); ++p) {
        tag(image, "mhii");
        EXPECT_EQ(r.U32At(image + 4), 0x98 + pad);
        EXPECT_EQ(r.U32At(image + 12), desc.Formats.size());
        EXPECT_EQ(r.U32At(image + 16), desc.Photos[p].Id);
        std::uint64_t child = image + 0x98 + pad;
        for (std::size_t f = 0; f < desc.Formats.size(); ++f) {
          tag(child, "mhod");
          EXPECT_EQ(r.U32At(child + 4), 0x18 + pad);
          EXPECT_EQ(r.U16At(child + 12), 2);
          const std::uint64_t ref = child + 0x18 + pad;
          tag(ref, "mhni");
          EXPECT_EQ(r.U32At(ref + 4), 0x4C + pad);
          EXPECT_EQ(r.U32At(ref + 12), 1u);
          EXPECT_EQ(r.U32At(ref + 16), static_cast<std::uint32_t>(desc.Formats[f].FormatId));
          EXPECT_EQ(r.U32At(ref + 20), places[p][f].Offset);
          EXPECT_EQ(r.U32At(ref + 24), places[p][f].Size);
          EXPECT_EQ(r.U16At(ref + 28), desc.Formats[f].PadV);
          EXPECT_EQ(r.U16At(ref + 32), desc.Formats[f].Height);
          EXPECT_EQ(r.U16At(ref + 34), desc.Formats[f].Width);
          const std::uint64_t name = ref + 0x4C + pad;
          tag(name, "mhod");
          EXPECT_EQ(r.U16At(name + 12), desc.Utf8FileNames ? 1 : 3);
          const std::uint32_t len = *r.U32At(name + 0x18 + pad);
          const auto text = *r.BytesAt(name + 0x18 + pad + 12, len);
          const std::string expectedName =
              ":Thumbs:" + IthmbFileName(desc.Formats[f].FormatId, places[p][f].FileNumber);
          EXPECT_EQ(desc.Utf8FileNames ? BytesToUtf8(text) : Utf16LeToUtf8(text), expectedName);
          const std::uint32_t nameTotal = *r.U32At(name + 8);
          EXPECT_EQ(nameTotal % 4, 0u);
          EXPECT_EQ(r.U32At(ref + 8), 0x4C + pad + nameTotal);
          EXPECT_EQ(r.U32At(child + 8), 0x18 + pad + 0x4C + pad + nameTotal);
          child += *r.U32At(child + 8);
        }
        EXPECT_EQ(child, image + *r.U32At(image + 8));
        image = child;
      }
      EXPECT_EQ(image, pos + *r.U32At(pos + 8));
    } else if (expectedType == 2) {
      tag(list, "mhla");
      EXPECT_EQ(r.U32At(list + 8), desc.Albums.size());
      std::uint64_t album = list + 0x5C + pad;
      for (std::size_t a = 0; a < desc.Albums.size(); ++a) {
        tag(album, "mhba");
        EXPECT_EQ(r.U32At(album + 4), 0x94 + pad);
        EXPECT_EQ(r.U32At(album + 16), desc.Albums[a].PhotoIds.size());
        EXPECT_EQ(r.U32At(album + 20), 0x64 + a);
        std::uint64_t p = album + 0x94 + pad;
        const std::uint32_t len = *r.U32At(p + 0x18 + pad);
        const auto text = *r.BytesAt(p + 0x18 + pad + 12, len);
        EXPECT_EQ(r.U16At(p + 12), desc.Albums[a].Utf16Title ? 3 : 1);
        EXPECT_EQ(desc.Albums[a].Utf16Title ? Utf16LeToUtf8(text) : BytesToUtf8(text),
                  desc.Albums[a].Title);
        for (std::uint32_t s = 0; s < *r.U32At(album + 12); ++s) p += *r.U32At(p + 8);
        for (std::uint32_t id : desc.Albums[a].PhotoIds) {
          tag(p, "mhia");
          EXPECT_EQ(r.U32At(p + 8), 0x28 + pad);
          EXPECT_EQ(r.U32At(p + 16), id);
          p += 0x28 + pad;
        }
        EXPECT_EQ(p, album + *r.U32At(album + 8));
        album = p;
      }
    } else {
      tag(list, "mhlf");
      EXPECT_EQ(r.U32At(list + 8), desc.Formats.size());
      tag(list + 0x5C + pad, "mhif");
      EXPECT_EQ(r.U32At(list + 0x5C + pad + 16),
                static_cast<std::uint32_t>(desc.Formats[0].FormatId));
    }
    pos += *r.U32At(pos + 8);
  }
  EXPECT_EQ(pos, db.size());
}

TEST(PhotoDatabaseBuilderTest, ChunkTreeOfRealIpods) {
  const TLibrarySpec desc = SmallLibrary();
  CheckTree(BuildPhotoDatabase(desc), desc);
}

TEST(PhotoDatabaseBuilderTest, LayoutSwitchesChangeTheBytes) {
  TLibrarySpec desc = SmallLibrary();
  desc.AlbumListFirst = true;
  desc.Padding = 8;
  desc.UpperCaseTags = true;
  desc.Utf8FileNames = true;
  CheckTree(BuildPhotoDatabase(desc), desc);
}

TEST(PhotoDatabaseBuilderTest, RecordsAreSplitIntoNumberedFilesAtTheirSlots) {
  TLibrarySpec desc = SmallLibrary();
  desc.Photos.push_back({103, TestPicture(20, 20, 9), {}, {}});
  desc.Photos.push_back({104, TestPicture(20, 20, 10), {}, {}});
  const auto places = PlaceRecords(desc);
  const std::uint32_t rgb = 320 * 240 * 2;
  const int files[] = {1, 1, 2, 2, 3};
  const std::uint32_t offsets[] = {0, rgb, 0, rgb, 0};
  for (std::size_t p = 0; p < 5; ++p) {
    EXPECT_EQ(places[p][0].FileNumber, files[p]);
    EXPECT_EQ(places[p][0].Offset, offsets[p]);
    EXPECT_EQ(places[p][0].Size, rgb);
    EXPECT_EQ(places[p][1].FileNumber, 1);
    EXPECT_EQ(places[p][1].Offset, 4200 * p);  // the slot, not the record size
    EXPECT_EQ(places[p][1].Size, 50u * 41 * 2);
  }

  TTempDir dir;
  WriteIpod(desc, dir.Path());
  const std::string thumbs = dir / "Photos/Thumbs/";
  EXPECT_EQ(std::filesystem::file_size(thumbs + "F1024_1.ithmb"), 2 * rgb);
  EXPECT_EQ(std::filesystem::file_size(thumbs + "F1024_3.ithmb"), rgb);
  EXPECT_EQ(std::filesystem::file_size(thumbs + "F1036_1.ithmb"), 5u * 4200);
  EXPECT_FALSE(std::filesystem::exists(thumbs + "F1036_2.ithmb"));
  const auto file2 = ReadFile(thumbs + "F1024_2.ithmb");
  const auto photo3 = EncodeRecord(TRecordLayout::Rgb565, desc.Photos[3].Picture, 320, 240);
  EXPECT_TRUE(std::equal(photo3.begin(), photo3.end(), file2.begin() + rgb));
  EXPECT_EQ(ReadFile(dir / "Photos/Photo Database"), BuildPhotoDatabase(desc));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "iPod_Control/iTunes"));
}

TEST(PhotoDatabaseBuilderTest, JpegRecordsLieBackToBack) {
  TLibrarySpec desc;
  desc.Formats.push_back({1081, TRecordLayout::Jpeg, 640, 480});
  for (std::uint32_t i = 0; i < 3; ++i)
    desc.Photos.push_back({i + 1, TestPicture(80, 60, i), {}, {}});
  const auto places = PlaceRecords(desc);
  EXPECT_EQ(places[0][0].Offset, 0u);
  EXPECT_EQ(places[1][0].Offset, places[0][0].Size);
  EXPECT_EQ(places[2][0].Offset, places[0][0].Size + places[1][0].Size);
  TTempDir dir;
  WriteIpod(desc, dir.Path());
  const auto file = ReadFile(dir / "Photos/Thumbs/F1081_1.ithmb");
  ASSERT_EQ(file.size(), places[2][0].Offset + places[2][0].Size);
  TBitmap24 decoded;
  const std::span<const std::uint8_t> second(file.data() + places[1][0].Offset, places[1][0].Size);
  ASSERT_TRUE(DecodeJpeg(second, decoded));
  EXPECT_GT(Psnr(decoded, ExpectedPicture(TRecordLayout::Jpeg, desc.Photos[1].Picture, 640, 480)),
            30.0);
}

TEST(PhotoDatabaseBuilderTest, OriginalsAndCameraFiles) {
  TLibrarySpec desc;
  desc.Originals = true;
  desc.Formats.push_back({1036, TRecordLayout::Rgb565, 50, 41});
  desc.Photos.push_back({7, TestPicture(30, 20, 1), "2006/IMG_0007.JPG", {1, 2, 3}});
  desc.CameraFiles.push_back({"IMG_0001.JPG", {9, 9}, false});
  desc.CameraFiles.push_back({"IMG_0001.THM", {8}, true});
  TTempDir dir;
  WriteIpod(desc, dir.Path());
  EXPECT_EQ(ReadFile(dir / "Photos/Full Resolution/2006/IMG_0007.JPG"),
            (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(ReadFile(dir / "DCIM/100APPLE/IMG_0001.JPG").size(), 2u);
  EXPECT_EQ(ReadFile(dir / "DCIM/100APPLE/.MISC/IMG_0001.THM").size(), 1u);

  const auto db = BuildPhotoDatabase(desc);
  const TByteReader r(db);
  const std::uint64_t image = 0x84 + 0x60 + 0x5C;
  ASSERT_TRUE(r.TagAt(image, "mhii"));
  EXPECT_EQ(r.U32At(image + 12), 2u);
  const std::uint64_t child = image + 0x98;
  EXPECT_EQ(r.U16At(child + 12), 5);  // the original comes first
  const std::uint64_t name = child + 0x18 + 0x4C;
  const auto text = *r.BytesAt(name + 0x18 + 12, *r.U32At(name + 0x18));
  EXPECT_EQ(Utf16LeToUtf8(text), ":Full Resolution:2006:IMG_0007.JPG");
  EXPECT_EQ(r.U16At(child + *r.U32At(child + 8) + 12), 2);
}

class BreakDatabaseTest : public ::testing::Test {
protected:
  TLibrarySpec desc_ = SmallLibrary();
  std::vector<std::uint8_t> db_ = BuildPhotoDatabase(desc_);
  // The middle image (1 of 3) starts after the first one.
  std::size_t FirstImage() const { return 0x84 + 0x60 + 0x5C; }
  std::size_t MiddleImage() const {
    return FirstImage() + *TByteReader(db_).U32At(FirstImage() + 8);
  }
};

TEST_F(BreakDatabaseTest, CutsAndCounts) {
  EXPECT_EQ(BreakDatabase(db_, TBreakage::CutInFileHeader).size(), 24u);
  const auto cut = BreakDatabase(db_, TBreakage::CutInImage);
  EXPECT_GT(cut.size(), MiddleImage() + 0x98);
  EXPECT_LT(cut.size(), MiddleImage() + *TByteReader(db_).U32At(MiddleImage() + 8));
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), db_.begin()));
  EXPECT_EQ(TByteReader(BreakDatabase(db_, TBreakage::HugeImageCount)).U32At(0x84 + 0x60 + 8),
            0x7FFFFFFFu);
  EXPECT_EQ(TByteReader(BreakDatabase(db_, TBreakage::ZeroImageLength)).U32At(MiddleImage() + 8),
            0u);
  const auto zero = BreakDatabase(db_, TBreakage::ZeroChildLength);
  EXPECT_EQ(TByteReader(zero).U32At(MiddleImage() + 12), 0xFFFFFFFFu);
  EXPECT_EQ(TByteReader(zero).U32At(MiddleImage() + 0x98 + 8), 0u);
  EXPECT_EQ(TByteReader(BreakDatabase(db_, TBreakage::SectionPastEnd)).U32At(0x84 + 8),
            0x7FFFFFF0u);
}

TEST_F(BreakDatabaseTest, AlbumStringLoopPointsBackToTheTitle) {
  const auto broken = BreakDatabase(db_, TBreakage::AlbumStringLoop);
  const TByteReader r(broken);
  // Album 1 (with extra string chunks): follow two steps of 32-bit positions.
  const std::uint64_t albums = 0x84 + *r.U32At(0x84 + 8) + 0x60;
  std::uint64_t album = albums + 0x5C;
  album += *r.U32At(album + 8);
  const auto title = static_cast<std::uint32_t>(album + 0x94);
  const std::uint32_t second = title + *r.U32At(title + 8);
  EXPECT_EQ(static_cast<std::uint32_t>(second + *r.U32At(second + 8)), title);
  desc_.Albums[1].ExtraStringChunks = false;
  EXPECT_THROW(BreakDatabase(BuildPhotoDatabase(desc_), TBreakage::AlbumStringLoop),
               std::invalid_argument);
}

TEST_F(BreakDatabaseTest, TagsAtEachLevel) {
  EXPECT_FALSE(TByteReader(BreakDatabase(db_, TBreakage::WrongFileTag)).TagAt(0, "mhfd"));
  EXPECT_FALSE(
      TByteReader(BreakDatabase(db_, TBreakage::WrongImageListTag)).TagAt(0x84 + 0x60, "mhli"));
  EXPECT_FALSE(
      TByteReader(BreakDatabase(db_, TBreakage::WrongFirstImageTag)).TagAt(FirstImage(), "mhii"));
  const auto image = BreakDatabase(db_, TBreakage::WrongImageTag);
  EXPECT_FALSE(TByteReader(image).TagAt(MiddleImage(), "mhii"));
  EXPECT_TRUE(TByteReader(image).TagAt(FirstImage(), "mhii"));
  EXPECT_FALSE(TByteReader(BreakDatabase(db_, TBreakage::WrongFirstChildTag))
                   .TagAt(FirstImage() + 0x98, "mhod"));
  EXPECT_FALSE(TByteReader(BreakDatabase(db_, TBreakage::WrongChildTag))
                   .TagAt(MiddleImage() + 0x98, "mhod"));
  EXPECT_FALSE(TByteReader(BreakDatabase(db_, TBreakage::WrongReferenceTag))
                   .TagAt(MiddleImage() + 0x98 + 0x18, "mhni"));
  // The album damages hit the album list, the master album's first item and
  // the last album's title, and nothing else.
  const TByteReader r(db_);
  const std::uint64_t mhla = 0x84 + *r.U32At(0x84 + 8) + 0x60;
  const std::uint64_t master = mhla + 0x5C;
  const std::uint64_t firstItem = master + 0x94 + *r.U32At(master + 0x94 + 8);
  std::uint64_t last = master + *r.U32At(master + 8);
  last += *r.U32At(last + 8);
  const std::pair<TBreakage, std::uint64_t> albumDamages[] = {
      {TBreakage::WrongAlbumListTag, mhla},
      {TBreakage::WrongAlbumItemTag, firstItem},
      {TBreakage::WrongAlbumStringTag, last + 0x94}};
  for (const auto& [kind, at] : albumDamages) {
    const auto broken = BreakDatabase(db_, kind);
    ASSERT_EQ(broken.size(), db_.size());
    int changed = 0;
    for (std::size_t i = 0; i < db_.size(); ++i) changed += broken[i] != db_[i];
    EXPECT_EQ(changed, 1);
    EXPECT_TRUE(TByteReader(db_).TagAt(at, kind == TBreakage::WrongAlbumListTag   ? "mhla"
                                           : kind == TBreakage::WrongAlbumItemTag ? "mhia"
                                                                                  : "mhod"));
    EXPECT_NE(TagAt(broken, at), TagAt(db_, at));
  }
  const auto mixed = BreakDatabase(db_, TBreakage::MixedCaseTags);
  EXPECT_EQ(TagAt(mixed, 0), "MhFd");
  EXPECT_EQ(TagAt(mixed, FirstImage()), "MhIi");
  EXPECT_EQ(TagAt(mixed, FirstImage() + 0x98 + 0x18), "MhNi");
}

// The reader of the library finds in the written bytes what the description
// holds, whatever layout switches are set.
class WriterRoundTripTest : public ::testing::Test {
protected:
  TFakePlatform platform_;
  TIpodDevice device_{platform_, nullptr};
};

TEST_F(WriterRoundTripTest, TheReaderFindsWhatWasWritten) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    TLibrarySpec desc = SmallLibrary();
    desc.AlbumListFirst = variant == 1;
    desc.UpperCaseTags = variant == 1;
    desc.Padding = variant == 1 ? 12 : 0;
    desc.Utf8FileNames = variant == 2;
    desc.FileListSection = variant != 2;
    TIpodPhotoDb db(device_, nullptr, false);
    ASSERT_TRUE(db.ParsePhotoDatabaseBytes(BuildPhotoDatabase(desc))) << db.LogText;
    EXPECT_EQ(db.ExportFormat.FormatId, 1024);
    EXPECT_EQ(db.ExportFormat.SlotBytes, 320 * 240 * 2);
    EXPECT_EQ(db.ExportFormat.FileCount, 2);
    EXPECT_EQ(db.ThumbFormat.FormatId, 1036);
    EXPECT_EQ(db.ThumbFormat.SlotBytes, 50 * 41 * 2);
    const auto places = PlaceRecords(desc);
    ASSERT_EQ(db.Photos.Count(), desc.Photos.size());
    for (std::size_t p = 0; p < desc.Photos.size(); ++p) {
      const TPhotoItem& item = db.Photos.Items(p);
      EXPECT_EQ(item.Id, desc.Photos[p].Id);
      EXPECT_EQ(item.FileNumber, places[p][0].FileNumber);
      EXPECT_EQ(item.ImageOffset, places[p][0].Offset);
      EXPECT_EQ(item.ImageSize, places[p][0].Size);
      EXPECT_EQ(item.ThumbOffset, places[p][1].Offset);
    }
    ASSERT_EQ(db.Albums.Count(), desc.Albums.size());
    for (std::size_t a = 0; a < desc.Albums.size(); ++a) {
      EXPECT_EQ(db.Albums.Items(a).Name, desc.Albums[a].Title);
      EXPECT_EQ(db.Albums.Items(a).PhotoIds, desc.Albums[a].PhotoIds);
    }
  }
}

TEST_F(WriterRoundTripTest, OriginalsAreNamedByTheirDevicePath) {
  TLibrarySpec desc;
  desc.Originals = true;
  desc.Formats.push_back({1036, TRecordLayout::Rgb565, 50, 41});
  desc.Photos.push_back({7, TestPicture(30, 20, 1), "2006/IMG_0007.JPG", {1, 2, 3}});
  desc.Photos.push_back({8, TestPicture(30, 20, 2), "IMG_0008.JPG", {4}});
  TIpodPhotoDb db(device_, nullptr, false);
  ASSERT_TRUE(db.ParsePhotoDatabaseBytes(BuildPhotoDatabase(desc))) << db.LogText;
  EXPECT_TRUE(db.CopyOriginals);
  ASSERT_EQ(db.Photos.Count(), 2u);
  EXPECT_EQ(db.Photos.Items(0).Path, ":Full Resolution:2006:IMG_0007.JPG");
  EXPECT_EQ(db.Photos.Items(1).Path, ":Full Resolution:IMG_0008.JPG");
  EXPECT_EQ(db.Photos.Items(1).ThumbOffset, 50u * 41 * 2);
}

}  // namespace
}  // namespace quill::testing
