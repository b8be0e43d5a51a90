#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "library/ipod_photo_db.h"
#include "library/yuv_avx2.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/exif.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using testing::TFormatSpec;
using testing::TLibrarySpec;
using testing::TPhotoSpec;
using testing::TRecordLayout;
using TBytes = std::vector<std::uint8_t>;
using TResult = std::tuple<std::string, TItemOutcome, std::string>;

TFormatSpec Format(std::int32_t id, TRecordLayout layout, int width, int height, int perFile = 0) {
  TFormatSpec format;
  format.FormatId = id;
  format.Layout = layout;
  format.Width = width;
  format.Height = height;
  format.PhotosPerFile = perFile;
  return format;
}

// A library of photos 64, 65, ... in a 42 x 30 thumbnail format and the given
// export format.
TLibrarySpec Library(const TFormatSpec& exportFormat, int photos) {
  TLibrarySpec desc;
  desc.Formats = {Format(1009, TRecordLayout::Rgb565, 42, 30), exportFormat};
  for (int i = 0; i < photos; ++i) {
    const auto id = static_cast<std::uint32_t>(64 + i);
    desc.Photos.push_back(TPhotoSpec{id, testing::TestPicture(720, 480, id), {}, {}});
  }
  return desc;
}

// A file as it was before its EXIF block went in (the APP1 after SOI and
// a JFIF APP0).
TBytes WithoutExif(const TBytes& file) {
  std::size_t at = 2;
  if (file.size() > 6 && file[2] == 0xFF && file[3] == 0xE0) at = 4 + ((file[4] << 8) | file[5]);
  if (file.size() < at + 4 || file[at] != 0xFF || file[at + 1] != 0xE1) return file;
  const std::size_t end = at + 2 + ((file[at + 2] << 8) | file[at + 3]);
  TBytes plain(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
  plain.insert(plain.end(), file.begin() + static_cast<std::ptrdiff_t>(end), file.end());
  return plain;
}

bool Holds(const TBytes& file, const std::string& text) {
  return std::search(file.begin(), file.end(), text.begin(), text.end()) != file.end();
}

// An iPod in a folder, its controller, and a destination folder; records the
// notifications and outcomes of the exporters.
class TRig {
public:
  TRig() { WriteFileOnIpod("iPod_Control/iTunes/.keep", {}); }

  void WriteFileOnIpod(const std::string& path, const TBytes& bytes) {
    testing::WriteFile(ipod / path, bytes);
  }

  // Takes the folder as the device and makes a fresh controller on it.
  TIpodPhotoDb& Connect() {
    std::string error;
    EXPECT_TRUE(device.UseFolder(ipod.Path(), error)) << error;
    db = std::make_unique<TIpodPhotoDb>(device, nullptr, false);
    db->DestFolder = dest.Path() + "/";
    db->OnTransferFile = [this](const std::string& name) {
      notified.push_back(name);
      if (stopAfter > 0 && static_cast<int>(notified.size()) == stopAfter) db->StopRequested = true;
    };
    db->OnItemResult = [this](const std::string& name, TItemOutcome outcome,
                              const std::string& pc) { results.emplace_back(name, outcome, pc); };
    return *db;
  }

  // Writes the library, reads it back and selects every photo.
  TIpodPhotoDb& Load(const TLibrarySpec& desc) {
    testing::WriteIpod(desc, ipod.Path());
    Connect();
    EXPECT_TRUE(db->ParsePhotoDatabase()) << db->LogText;
    SelectAll();
    return *db;
  }

  void SelectAll() {
    for (std::size_t i = 0; i < db->Photos.Count(); ++i) db->Photos.Select(i);
  }

  // A photo of a hand-made library.
  void AddPhoto(std::uint32_t id, std::uint32_t offset, std::uint32_t size = 0, int file = 1) {
    TPhotoItem& photo = db->Photos.Add();
    photo.Id = id;
    photo.FileNumber = file;
    photo.ImageOffset = offset;
    photo.ImageSize = size;
    db->Photos.Select(db->Photos.Count() - 1);
  }

  // The exporter the transfer engine picks for the export format.
  int Export() {
    notified.clear();
    results.clear();
    switch (db->ExportFormat.FormatId) {
      case 1019:
        return db->ExportInterlacedUyvy();
      case 1023:
        db->PrepareBitmapHeader(false);
        return db->ExportSwappedRgb();
      case 1067:
        return db->ExportPlanarYuv();
      case 1081:
        return db->ExportJpegRecords();
      default:
        db->PrepareBitmapHeader(false);
        return db->ExportRgb();
    }
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dest.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TBytes Output(const std::string& name) const { return testing::ReadFile(dest / name); }

  TBitmap24 Decoded(const std::string& name) const {
    TBitmap24 bitmap;
    EXPECT_TRUE(DecodeJpeg(Output(name), bitmap)) << name;
    return bitmap;
  }

  testing::TTempDir ipod;
  testing::TTempDir dest;
  testing::TFakePlatform platform;
  TIpodDevice device{platform, nullptr};
  std::unique_ptr<TIpodPhotoDb> db;
  std::vector<std::string> notified;
  std::vector<TResult> results;
  int stopAfter = 0;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Near a colour after JPEG encoding.
void ExpectColour(const TBitmap24& bitmap, int x, int y, int b, int g, int r) {
  const std::uint8_t* p = bitmap.Row(y) + x * 3;
  EXPECT_NEAR(p[0], b, 6) << x << "," << y;
  EXPECT_NEAR(p[1], g, 6) << x << "," << y;
  EXPECT_NEAR(p[2], r, 6) << x << "," << y;
}

TEST(IthmbExportersTest, EveryLayoutRoundTrips) {
  struct TCase {
    TFormatSpec Format;
    double MinPsnr;
  };
  // Quality 80 of these pictures gives 28 to 36 dB; a wrong byte order,
  // channel or sample position gives far less.
  const TCase cases[] = {
      {Format(1024, TRecordLayout::Rgb565, 320, 240), 30},
      {Format(1023, TRecordLayout::SwappedRgb565, 176, 132), 26},
      {Format(1019, TRecordLayout::InterlacedUyvy, 720, 480), 33},
      {Format(1067, TRecordLayout::PlanarYuv420, 720, 480), 33},
      {Format(1081, TRecordLayout::Jpeg, 640, 480), 33},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Format.FormatId);
    TRig rig;
    const TLibrarySpec desc = Library(c.Format, 2);
    TIpodPhotoDb& db = rig.Load(desc);
    ASSERT_EQ(rig.Export(), 2);
    EXPECT_EQ(db.LogText, "");
    EXPECT_EQ(rig.Files(), (std::vector<std::string>{"64.jpg", "65.jpg"}));
    EXPECT_EQ(rig.notified, (std::vector<std::string>{"64.jpg", "65.jpg"}));
    ASSERT_EQ(rig.results.size(), 2u);
    EXPECT_EQ(rig.results[1],
              TResult("65.jpg", TItemOutcome::Written, rig.dest.Path() + "/65.jpg"));
    EXPECT_TRUE(db.WorkStream.Size() == 0);
    for (std::size_t p = 0; p < 2; ++p) {
      const TPhotoSpec& photo = desc.Photos[p];
      const std::string name = std::to_string(photo.Id) + ".jpg";
      const TBitmap24 expected =
          testing::ExpectedPicture(c.Format.Layout, photo.Picture, c.Format.Width, c.Format.Height);
      EXPECT_GE(testing::Psnr(rig.Decoded(name), expected), c.MinPsnr) << name;
      // Every layout's file carries the library's date and the record's
      // identifier; stored JPEG files are otherwise written unchanged.
      const TBytes output = rig.Output(name);
      EXPECT_TRUE(Holds(output, ExifDateTime(testing::DefaultPhotoDate(photo.Id) - 2082844800)));
      EXPECT_EQ(ReadJpegImageUniqueId(output).size(), 32u);
      if (c.Format.Layout == TRecordLayout::Jpeg) {
        EXPECT_EQ(WithoutExif(output), testing::EncodeRecord(TRecordLayout::Jpeg, photo.Picture,
                                                             c.Format.Width, c.Format.Height));
      }
    }
  }
}

// The fast paths (AVX2 conversions straight into the encoder's planes) write
// the very bytes of the plain ones (SSE2 conversions to B, G, R bitmaps that
// the encoder converts itself).
TEST(IthmbExportersTest, FastPathsWriteTheBytesOfThePlainOnes) {
  if (!avx2::Usable()) GTEST_SKIP() << "this processor has no AVX2";
  const TFormatSpec formats[] = {
      Format(1024, TRecordLayout::Rgb565, 320, 240),
      Format(1023, TRecordLayout::SwappedRgb565, 176, 132),
      Format(1019, TRecordLayout::InterlacedUyvy, 720, 480),
      Format(1067, TRecordLayout::PlanarYuv420, 720, 480),
  };
  for (const TFormatSpec& format : formats) {
    SCOPED_TRACE(format.FormatId);
    TRig fast;
    fast.Load(Library(format, 2));
    ASSERT_EQ(fast.Export(), 2);
    TRig plain;
    plain.Load(Library(format, 2));
    avx2::Allow(false);
    const int written = plain.Export();
    avx2::Allow(true);
    ASSERT_EQ(written, 2);
    for (const std::string name : {"64.jpg", "65.jpg"}) {
      EXPECT_EQ(fast.Output(name), plain.Output(name)) << name;
    }
  }
}

TEST(IthmbExportersTest, MissingFileIsLoggedAndTheOthersWritten) {
  TRig rig;
  TIpodPhotoDb& db = rig.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240, 1), 3));
  ASSERT_EQ(db.ExportFormat.FileCount, 3);
  std::filesystem::remove(rig.ipod / "Photos/Thumbs/F1024_2.ithmb");
  EXPECT_EQ(rig.Export(), 2);
  EXPECT_EQ(rig.Files(), (std::vector<std::string>{"64.jpg", "66.jpg"}));
  EXPECT_EQ(rig.notified, (std::vector<std::string>{"64.jpg", "66.jpg"}));
  // The line names the format and file number; the device's message follows.
  const std::size_t at = db.LogText.find("\r\nCannot open RGB DB: 1024_2\r\n");
  ASSERT_NE(at, std::string::npos) << db.LogText;
  EXPECT_TRUE(Contains(db.LogText.substr(at), "File not found: F1024_2")) << db.LogText;

  // Every file that a photo of the library lies in is opened, also one with
  // no selected photo; a file number that no photo has is not tried.
  std::filesystem::remove(rig.ipod / "Photos/Thumbs/F1024_3.ithmb");
  db.Photos.Unselect(2);
  db.ExportFormat.FileCount = 5;
  db.LogText.clear();
  EXPECT_EQ(rig.Export(), 0);
  std::vector<std::string> opens;
  for (std::size_t from = 0; (from = db.LogText.find("Cannot open", from)) != std::string::npos;) {
    const std::size_t end = db.LogText.find("\r\n", from);
    opens.push_back(db.LogText.substr(from, end - from));
    from = end;
  }
  EXPECT_EQ(opens,
            (std::vector<std::string>{"Cannot open RGB DB: 1024_2", "Cannot open RGB DB: 1024_3"}));
}

TEST(IthmbExportersTest, StopAfterTheFirstPhotoEndsTheRun) {
  TRig rig;
  rig.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240, 2), 3));
  rig.stopAfter = 1;
  EXPECT_EQ(rig.Export(), 1);
  EXPECT_EQ(rig.Files(), (std::vector<std::string>{"64.jpg"}));
  EXPECT_EQ(rig.notified.size(), 1u);
  for (const std::string& path : rig.platform.OpenedForRead()) {
    EXPECT_FALSE(Contains(path, "F1024_2")) << path;
  }
}

TEST(IthmbExportersTest, NamesAlreadyTakenAreComparedByContent) {
  TRig first;
  first.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 3));
  ASSERT_EQ(first.Export(), 3);
  const TBytes photo64 = first.Output("64.jpg");

  // A rerun finds its own files: nothing new, nothing counted, all notified.
  EXPECT_EQ(first.Export(), 0);
  EXPECT_EQ(first.Files(), (std::vector<std::string>{"64.jpg", "65.jpg", "66.jpg"}));
  EXPECT_EQ(first.notified.size(), 3u);
  ASSERT_EQ(first.results.size(), 3u);
  EXPECT_EQ(first.results[0],
            TResult("64.jpg", TItemOutcome::AlreadyThere, first.dest.Path() + "/64.jpg"));

  // Another device's photo 64 and 1_64 are there: the series goes on.
  TRig second;
  testing::WriteFile(second.dest / "64.jpg", {1, 2, 3});
  testing::WriteFile(second.dest / "1_64.jpg", {4, 5, 6});
  second.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 3));
  EXPECT_EQ(second.Export(), 3);
  EXPECT_EQ(second.Files(),
            (std::vector<std::string>{"1_64.jpg", "2_1_64.jpg", "64.jpg", "65.jpg", "66.jpg"}));
  EXPECT_EQ(second.Output("2_1_64.jpg"), photo64);
  EXPECT_EQ(second.Output("64.jpg"), (TBytes{1, 2, 3}));
  ASSERT_FALSE(second.results.empty());
  EXPECT_EQ(std::get<2>(second.results[0]), second.dest.Path() + "/2_1_64.jpg");
  EXPECT_EQ(second.Export(), 0);
  EXPECT_EQ(second.Files().size(), 5u);

  // A truncated copy of the photo is not the photo.
  TRig third;
  testing::WriteFile(third.dest / "64.jpg", TBytes(photo64.begin(), photo64.begin() + 100));
  third.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 1));
  EXPECT_EQ(third.Export(), 1);
  EXPECT_EQ(third.Output("1_64.jpg"), photo64);
  EXPECT_EQ(third.Output("64.jpg").size(), 100u);
}

// What 64.jpg holds before an export decides whether photo 64 is already
// there: its identifier whatever wrote the picture, its bytes without one.
TEST(IthmbExportersTest, TheSamePhotoWhateverWroteItsBytes) {
  TRig source;
  source.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 2));
  ASSERT_EQ(source.Export(), 2);
  const TBytes photo64 = source.Output("64.jpg");
  const std::string id64 = ReadJpegImageUniqueId(photo64);
  // Another JPEG writer's picture with the EXIF of the original kept.
  TBytes reencoded, resaved;
  ASSERT_TRUE(EncodeJpeg(source.Decoded("64.jpg"), 60, reencoded));
  TExifFields kept;
  kept.ImageUniqueId = id64;
  ASSERT_TRUE(WriteJpegExif(reencoded, kept, resaved));
  TBytes cutAfterBlock(resaved.begin(), resaved.begin() + static_cast<std::ptrdiff_t>(resaved.size() / 2));

  struct TCase {
    const char* Name;
    TBytes There;
    bool Known;
  };
  const TCase cases[] = {
      {"re-saved by another writer, EXIF kept", resaved, true},
      {"written before files had EXIF", WithoutExif(photo64), true},
      {"the photo's own bytes", photo64, true},
      {"another photo of the library", source.Output("65.jpg"), false},
      {"another writer's picture without EXIF", reencoded, false},
      {"a cut copy naming the photo", cutAfterBlock, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig;
    testing::WriteFile(rig.dest / "64.jpg", c.There);
    rig.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 1));
    EXPECT_EQ(rig.Export(), c.Known ? 0 : 1);
    EXPECT_EQ(rig.Output("64.jpg"), c.There);  // never replaced
    ASSERT_EQ(rig.results.size(), 1u);
    EXPECT_EQ(std::get<1>(rig.results[0]), c.Known ? TItemOutcome::AlreadyThere : TItemOutcome::Written);
    if (!c.Known) {
      EXPECT_EQ(rig.Output("1_64.jpg"), photo64);
    }
    // Known also one name further down the series.
    if (c.Known) {
      TRig further;
      testing::WriteFile(further.dest / "64.jpg", source.Output("65.jpg"));
      testing::WriteFile(further.dest / "1_64.jpg", c.There);
      further.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 1));
      EXPECT_EQ(further.Export(), 0);
      EXPECT_EQ(further.Files().size(), 2u);
    }
  }
}

// The library's dates reach the file's EXIF and its time; a date of 0 writes
// no tag and leaves the file its own time.
TEST(IthmbExportersTest, PhotosKeepTheirLibraryDates) {
#ifndef _WIN32
  const char* zone = std::getenv("TZ");
  const std::string keep = zone ? zone : "";
  setenv("TZ", "EST5", 1);  // five hours behind the library's wall clock
  tzset();
#endif
  TLibrarySpec desc = Library(Format(1019, TRecordLayout::InterlacedUyvy, 720, 480), 2);
  const std::int64_t k1904 = 2082844800;
  const std::uint32_t created = static_cast<std::uint32_t>(k1904 + 1262347200);  // 2010-01-01 12:00
  desc.Photos[0].Created = created;
  desc.Photos[0].Digitized = created + 61;
  desc.Photos[1].Created = 0;
  desc.Photos[1].Digitized = 0;
  TRig rig;
  rig.Load(desc);
  ASSERT_EQ(rig.Export(), 2);
  const TBytes dated = rig.Output("64.jpg"), undated = rig.Output("65.jpg");
  EXPECT_TRUE(Holds(dated, "2010:01:01 12:00:00"));
  EXPECT_TRUE(Holds(dated, "2010:01:01 12:01:01"));
  EXPECT_FALSE(Holds(undated, "20"));  // no date at all in its block
  EXPECT_EQ(ReadJpegImageUniqueId(undated).size(), 32u);
  const auto seconds = [&](const std::string& name) {
    const auto t = std::filesystem::last_write_time(rig.dest / name);
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(t).time_since_epoch()).count();
  };
  const std::int64_t now = std::time(nullptr);
  EXPECT_LE(std::abs(now - seconds("65.jpg")), 60);
#ifndef _WIN32
  EXPECT_EQ(seconds("64.jpg"), 1262347200 + 5 * 3600);
  if (zone) setenv("TZ", keep.c_str(), 1); else unsetenv("TZ");
  tzset();
#endif
  // The same photo and program write the same bytes.
  TRig again;
  again.Load(desc);
  ASSERT_EQ(again.Export(), 2);
  EXPECT_EQ(again.Output("64.jpg"), dated);
}

TEST(IthmbExportersTest, FailedWriteIsAnErrorOfItsItem) {
  TRig rig;
  TIpodPhotoDb& db = rig.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 2));
  // A read-only folder (root ignores permission bits, so the fault is made up).
  rig.platform.FaultError = 30;
  rig.platform.FailWriteAtCall = 1;
  EXPECT_EQ(rig.Export(), 1);
  EXPECT_EQ(db.LogText, "\r\n64.jpg: Error 30");
  EXPECT_EQ(rig.Files(), (std::vector<std::string>{"65.jpg"}));
  EXPECT_EQ(rig.notified, (std::vector<std::string>{"64.jpg", "65.jpg"}));
  ASSERT_EQ(rig.results.size(), 2u);
  EXPECT_EQ(rig.results[0], TResult("64.jpg", TItemOutcome::Failed, ""));
  EXPECT_TRUE(db.TransferHadErrors());
}

TEST(IthmbExportersTest, UnreadableRecordsEndTheRunAfter30Errors) {
  TRig rig;
  rig.WriteFileOnIpod("Photos/Thumbs/F1024_1.ithmb", TBytes(320 * 240 * 2, 0));
  TIpodPhotoDb& db = rig.Connect();
  db.ExportFormat = TPhotoInfo{1024, 320 * 240 * 2, 320, 240, 1, false, ""};
  for (std::uint32_t id = 1; id <= 35; ++id) rig.AddPhoto(id, 320 * 240 * 2 * id);
  EXPECT_EQ(rig.Export(), 0);
  std::string expected;
  for (int id = 1; id <= 31; ++id)
    expected += "\r\n" + std::to_string(id) + ".jpg: Error " + std::to_string(kErrorRead);
  EXPECT_EQ(db.LogText, expected + "\r\nToo many error, transfer abort.");
  EXPECT_EQ(rig.notified.size(), 31u);
  EXPECT_TRUE(rig.Files().empty());
}

// Mend: only the files that photos lie in are opened, so a hostile file
// number costs one failed open, not billions.
TEST(IthmbExportersTest, HostileFileNumberCostsOneOpen) {
  TRig rig;
  TIpodPhotoDb& db = rig.Load(Library(Format(1024, TRecordLayout::Rgb565, 320, 240), 3));
  db.Photos.Items(1).FileNumber = 2000000000;
  db.ExportFormat.FileCount = 2000000000;
  db.Photos.Unselect(2);
  db.Photos.Items(2).FileNumber = 7;
  EXPECT_EQ(rig.Export(), 1);
  EXPECT_EQ(rig.Files(), (std::vector<std::string>{"64.jpg"}));
  EXPECT_TRUE(Contains(db.LogText, "\r\nCannot open RGB DB: 1024_2000000000\r\n"));
  EXPECT_TRUE(Contains(db.LogText, "\r\nCannot open RGB DB: 1024_7\r\n"))
      << "an unselected photo's file";
  EXPECT_FALSE(Contains(db.LogText, "1024_3"));
}

TBytes Repeated(std::initializer_list<std::uint8_t> unit, std::size_t bytes) {
  TBytes out;
  out.reserve(bytes);
  while (out.size() < bytes) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(bytes);
  return out;
}

TEST(IthmbExportersTest, SwappedPixelsAndTheirBuffer) {
  TRig rig;
  // 0xF8 0x00, high byte first, is pure red. Slots of 50000 bytes: the
  // record is cut to the 46464-byte buffer and the slot's tail never read.
  TBytes file = Repeated({0xF8, 0x00}, 46464);
  file.resize(50000, 0x55);
  const TBytes second = Repeated({0xF8, 0x00}, 50000);
  file.insert(file.end(), second.begin(), second.end());
  rig.WriteFileOnIpod("Photos/Thumbs/F1023_1.ithmb", file);
  rig.WriteFileOnIpod("Photos/Thumbs/F1023_2.ithmb", Repeated({0xFF, 0xFF}, 23232));
  TIpodPhotoDb& db = rig.Connect();
  db.ExportFormat = TPhotoInfo{1023, 50000, 176, 132, 1, false, ""};
  rig.AddPhoto(1, 0);
  rig.AddPhoto(2, 50000);
  ASSERT_EQ(rig.Export(), 2);
  for (const char* name : {"1.jpg", "2.jpg"}) {
    const TBitmap24 red = rig.Decoded(name);
    ASSERT_EQ(red.Width(), 176);
    ASSERT_EQ(red.Height(), 132);
    ExpectColour(red, 88, 66, 0, 0, 255);
    ExpectColour(red, 175, 131, 0, 0, 255);
  }

  // A slot of half a picture leaves the other half black.
  db.ExportFormat = TPhotoInfo{1023, 23232, 176, 132, 2, false, ""};
  db.Photos.Clear();
  rig.AddPhoto(3, 0, 0, 2);
  ASSERT_EQ(rig.Export(), 1);
  const TBitmap24 half = rig.Decoded("3.jpg");
  ExpectColour(half, 88, 10, 255, 255, 255);
  ExpectColour(half, 88, 120, 0, 0, 0);
}

TEST(IthmbExportersTest, YuvRecordSizes) {
  TRig rig;
  // Planar slots larger than the 691200-byte buffer: white Y and neutral
  // chroma, then a tail that is never read.
  TBytes planar = Repeated({235}, 720 * 480);
  planar.resize(720 * 480 * 3 / 2, 128);
  planar.resize(700000, 0);
  TBytes two = planar;
  two.insert(two.end(), planar.begin(), planar.end());
  rig.WriteFileOnIpod("Photos/Thumbs/F1067_1.ithmb", two);
  // The interlaced exporter reads its 691200 bytes whatever the slot says.
  rig.WriteFileOnIpod("Photos/Thumbs/F1019_1.ithmb", Repeated({128, 235, 128, 235}, 691200));
  TIpodPhotoDb& db = rig.Connect();

  db.ExportFormat = TPhotoInfo{1067, 700000, 720, 480, 1, false, ""};
  rig.AddPhoto(1, 0);
  rig.AddPhoto(2, 700000);
  ASSERT_EQ(rig.Export(), 2);
  for (const char* name : {"1.jpg", "2.jpg"}) {
    const TBitmap24 white = rig.Decoded(name);
    ASSERT_EQ(white.Width(), 720);
    ExpectColour(white, 719, 479, 255, 255, 255);
  }

  db.ExportFormat = TPhotoInfo{1019, 1000, 720, 480, 1, false, ""};
  db.Photos.Clear();
  rig.AddPhoto(3, 0);
  ASSERT_EQ(rig.Export(), 1);
  const TBitmap24 wide = rig.Decoded("3.jpg");
  ASSERT_EQ(wide.Width(), 640);
  ASSERT_EQ(wide.Height(), 480);
  // 255 x 65535 >> 16 = 254 after resampling.
  ExpectColour(wide, 320, 240, 254, 254, 254);
}

TEST(IthmbExportersTest, JpegRecordSizesAreChecked) {
  TRig rig;
  TBytes jpeg;
  ASSERT_TRUE(EncodeJpeg(testing::TestPicture(64, 48, 1), 90, jpeg));
  rig.WriteFileOnIpod("Photos/Thumbs/F1081_1.ithmb", jpeg);
  TIpodPhotoDb& db = rig.Connect();
  db.ExportFormat = TPhotoInfo{1081, 0, 640, 480, 1, false, ""};
  rig.AddPhoto(1, 0, 0);
  rig.AddPhoto(2, 0, 0xF0000000u);
  rig.AddPhoto(3, 0, static_cast<std::uint32_t>(jpeg.size()));
  rig.AddPhoto(4, 10, static_cast<std::uint32_t>(jpeg.size()));
  EXPECT_EQ(rig.Export(), 1);
  const std::string bad = std::to_string(kErrorBadData);
  EXPECT_EQ(db.LogText, "\r\n1.jpg: Error " + bad + "\r\n2.jpg: Error " + bad +
                            "\r\n4.jpg: Error " + std::to_string(kErrorRead));
  EXPECT_EQ(rig.Files(), (std::vector<std::string>{"3.jpg"}));
  EXPECT_EQ(WithoutExif(rig.Output("3.jpg")), jpeg);
  EXPECT_EQ(rig.notified.size(), 4u);
}

TEST(IthmbExportersTest, LookupFormat) {
  TRig rig;
  TIpodPhotoDb& db = rig.Connect();
  TPhotoInfo info{3004, 5, 1, 1, 1, false, ""};
  db.LookupFormat(info);
  EXPECT_EQ(info.Width, 56);
  EXPECT_EQ(info.Height, 73);
  info = TPhotoInfo{1067, 5, 1, 2, 1, false, ""};
  db.LookupFormat(info);
  EXPECT_EQ(std::make_pair(info.Width, info.Height), std::make_pair(720, 480));
  info = TPhotoInfo{4242, 5, 11, 12, 1, false, ""};
  db.LookupFormat(info);
  EXPECT_EQ(std::make_pair(info.Width, info.Height), std::make_pair(11, 12));

  info = TPhotoInfo{0, 0, 0, 0, 9, true, "120X120.ITHMB"};
  db.LookupFormat(info);
  EXPECT_EQ(info.FormatId, 1234);
  EXPECT_EQ(info.SlotBytes, 28828);
  EXPECT_EQ(info.Width, 120);
  EXPECT_EQ(info.FileCount, 0);
  info = TPhotoInfo{7, 7, 7, 7, 7, true, ""};
  db.LookupFormat(info);
  EXPECT_EQ(info.FormatId, 3011);
  EXPECT_EQ(info.SlotBytes, 0);
  EXPECT_EQ(info.Width, 7);
  EXPECT_EQ(info.FileCount, 7);
  info = TPhotoInfo{7, 7, 7, 7, 7, true, "other.ithmb"};
  db.LookupFormat(info);
  EXPECT_EQ(info.FormatId, 7);
}

TEST(IthmbExportersTest, BitmapHeader) {
  TRig rig;
  TIpodPhotoDb& db = rig.Connect();
  db.ExportFormat = TPhotoInfo{1024, 153600, 320, 240, 1, false, ""};
  db.PrepareBitmapHeader(false);
  const TBytes expected = {
      'B',  'M',  0x42, 0x58, 0x02, 0x00, 0,    0,    0,    0,    66,   0,    0, 0,  // file header
      40,   0,    0,    0,    0x40, 0x01, 0,    0,    0x10, 0xFF, 0xFF, 0xFF, 1, 0,
      16,   0,                                         // size, planes, bits
      3,    0,    0,    0,    0x00, 0x58, 0x02, 0x00,  // bit masks, image bytes
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0,
      0,    0,                                                               // unused
      0x00, 0xF8, 0,    0,    0xE0, 0x07, 0,    0,    0x1F, 0,    0,    0};  // 5-6-5
  EXPECT_EQ(TBytes(db.BitmapHeader.begin(), db.BitmapHeader.end()), expected);

  // iOS thumbnails: 28 bytes of each record are no pixels; 5-5-5 masks.
  db.ThumbFormat = TPhotoInfo{3011, 12668, 80, 79, 0, true, "79x79.ithmb"};
  rig.device.IsIos = true;
  db.PrepareBitmapHeader(true);
  rig.device.IsIos = false;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(db.BitmapHeader[at] | db.BitmapHeader[at + 1] << 8 |
                                      db.BitmapHeader[at + 2] << 16 |
                                      db.BitmapHeader[at + 3] << 24);
  };
  EXPECT_EQ(u32(34), 12640u);
  EXPECT_EQ(u32(2), 66u + 12640u);
  EXPECT_EQ(u32(18), 80u);
  EXPECT_EQ(u32(22), static_cast<std::uint32_t>(-79));
  EXPECT_EQ(u32(54), 0x7C00u);
  EXPECT_EQ(u32(58), 0x03E0u);
  EXPECT_EQ(u32(62), 0x001Fu);
}

}  // namespace
}  // namespace quill
