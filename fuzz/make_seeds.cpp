// Writes the seed corpus of every fuzz target from the tests' library writer:
//   make-fuzz-seeds OUT_FOLDER
// makes OUT_FOLDER/<target>/seed-N for photo_database_fuzz, ithmb_export_fuzz,
// picture_fuzz, names_fuzz, photos_sqlite_fuzz, ios_device_fuzz and exif_fuzz.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "support/exif.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/picture.h"

namespace {

using namespace quill;
using namespace quill::testing;

class TSeedFolder {
public:
  TSeedFolder(const std::string& root, const std::string& target) : folder_(root + "/" + target) {
    std::filesystem::create_directories(folder_);
  }
  void Add(const std::vector<std::uint8_t>& bytes) {
    WriteFile(folder_ + "/seed-" + std::to_string(++count_), bytes);
  }
  void Add(const std::string& text) { Add(std::vector<std::uint8_t>(text.begin(), text.end())); }
  int Count() const { return count_; }

private:
  std::string folder_;
  int count_ = 0;
};

TLibrarySpec SmallLibrary(int variant) {
  TLibrarySpec desc;
  desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88},
                  {1019, TRecordLayout::InterlacedUyvy, 720, 480, 0, 0, 2},
                  {1032, TRecordLayout::Rgb565, 42, 37}};
  if (variant % 2 == 1) desc.Formats.push_back({1081, TRecordLayout::Jpeg, 640, 480});
  for (std::uint32_t id = 64; id < 67; ++id) desc.Photos.push_back({id, {}, "", {}});
  desc.Albums = {{"Library", false, false, {64, 65, 66}},
                 {"Été à Paris", variant % 2 == 0, variant >= 2, {65, 66}},
                 {"Garden", false, true, {64}}};
  desc.AlbumListFirst = variant == 1;
  desc.Utf8FileNames = variant == 2;
  desc.UpperCaseTags = variant == 3;
  desc.Padding = variant == 3 ? 8 : 0;
  desc.FileListSection = variant != 2;
  return desc;
}

TLibrarySpec OriginalsLibrary() {
  TLibrarySpec desc;
  desc.Originals = true;
  desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88}};
  desc.Photos = {{64, {}, "2008/IMG_0001.JPG", {1, 2, 3}}, {65, {}, "IMG_0002.JPG", {4, 5}}};
  desc.Albums = {{"Library", false, false, {64, 65}}};
  return desc;
}

void PhotoDatabaseSeeds(TSeedFolder& out) {
  for (int variant = 0; variant < 4; ++variant) out.Add(BuildPhotoDatabase(SmallLibrary(variant)));
  out.Add(BuildPhotoDatabase(OriginalsLibrary()));
  const std::vector<std::uint8_t> base = BuildPhotoDatabase(SmallLibrary(2));
  for (int kind = 0; kind <= static_cast<int>(TBreakage::WrongAlbumStringTag); ++kind) {
    try {
      out.Add(BreakDatabase(base, static_cast<TBreakage>(kind)));
    } catch (const std::invalid_argument&) {
      // This library lacks the chunk that kind of damage needs.
    }
  }
}

void ExportSeeds(TSeedFolder& out) {
  struct TLayoutCase {
    std::int32_t FormatId;
    TRecordLayout Layout;
    int Width, Height;
  };
  const TLayoutCase cases[] = {
      {1015, TRecordLayout::Rgb565, 130, 88},
      {1024, TRecordLayout::Rgb565, 320, 240},
      {1023, TRecordLayout::SwappedRgb565, 176, 132},
      {1019, TRecordLayout::InterlacedUyvy, 720, 480},
      {1067, TRecordLayout::PlanarYuv420, 720, 480},
      {1081, TRecordLayout::Jpeg, 64, 48},
  };
  for (const TLayoutCase& c : cases) {
    // The big YUV records get one photo, the small ones two.
    const int photos = c.Width * c.Height > 100000 ? 1 : 2;
    fuzz::TExportCase item;
    item.FormatId = c.FormatId;
    item.Width = c.Width;
    item.Height = c.Height;
    for (int i = 0; i < photos; ++i) {
      const std::vector<std::uint8_t> record =
          EncodeRecord(c.Layout, TestPicture(c.Width, c.Height, static_cast<std::uint32_t>(i)),
                       c.Width, c.Height);
      item.SlotBytes = static_cast<std::int32_t>(record.size());
      item.Photos.push_back({1, static_cast<std::uint32_t>(item.Ithmb.size()),
                             static_cast<std::uint32_t>(record.size()), true});
      item.Ithmb.insert(item.Ithmb.end(), record.begin(), record.end());
    }
    out.Add(fuzz::EncodeExportCase(item));
  }
}

// JPEG files with and without an EXIF block, as the exporters meet them.
void ExifSeeds(TSeedFolder& out) {
  std::vector<std::uint8_t> plain, stamped;
  if (!EncodeJpeg(TestPicture(16, 8, 3), 80, plain)) return;
  out.Add(plain);
  TExifFields fields;
  fields.Original = fields.Digitized = 1262347200;
  fields.ImageUniqueId = ContentIdentifier(plain, 1081);
  if (WriteJpegExif(plain, fields, stamped)) out.Add(stamped);
}

void PictureSeeds(TSeedFolder& out) {
  const TBitmap24 picture = TestPicture(24, 16, 7);
  std::vector<std::uint8_t> bytes;
  if (EncodeBmp(picture, bytes)) out.Add(bytes);
  if (EncodeJpeg(picture, 80, bytes)) out.Add(bytes);
  if (EncodePng(picture, bytes)) out.Add(bytes);
  // A 16-bit bit-mask file as the exporters build it: header, masks, pixels.
  const std::vector<std::uint8_t> pixels = EncodeRecord(TRecordLayout::Rgb565, picture, 24, 16);
  std::vector<std::uint8_t> bmp = chunk::Header("BM\0\0", 0, 0, 66);
  bmp[0] = 'B';
  bmp[1] = 'M';
  chunk::PutU32(bmp, 2, static_cast<std::uint32_t>(66 + pixels.size()));
  chunk::PutU32(bmp, 10, 66);
  chunk::PutU32(bmp, 14, 40);
  chunk::PutU32(bmp, 18, 24);
  chunk::PutU32(bmp, 22, static_cast<std::uint32_t>(-16));
  chunk::PutU16(bmp, 26, 1);
  chunk::PutU16(bmp, 28, 16);
  chunk::PutU32(bmp, 30, 3);
  chunk::PutU32(bmp, 34, static_cast<std::uint32_t>(pixels.size()));
  chunk::PutU32(bmp, 54, 0xF800);
  chunk::PutU32(bmp, 58, 0x07E0);
  chunk::PutU32(bmp, 62, 0x001F);
  chunk::Append(bmp, pixels);
  out.Add(bmp);
}

void NameSeeds(TSeedFolder& out) {
  for (const char* name :
       {"IMG_0001.JPG", ":Full Resolution:2008:IMG_0002.JPG", "../../.bashrc", "..", ".", "a/b\\c",
        "/etc/passwd", "C:\\Windows\\win.ini", "tab\tand\nnewline", "..\\..\\x", ":Photos:..:..:x",
        "Été.jpg", "dir/./x"}) {
    out.Add(std::string(name));
  }
  out.Add(std::string(300, 'n') + ".jpg");
}

// Photos.sqlite files of both layouts, with the primary key table missing or
// naming other entities, untitled and camera-roll albums, and assets that
// are no photos of the library.
void PhotosSqliteSeeds(const std::string& work, TSeedFolder& out) {
  for (int variant = 0; variant < 4; ++variant) {
    TSqliteLibrarySpec desc;
    desc.Entities = variant % 2 ? kLayout8 : kLayout6;
    desc.NoPrimaryKeyTable = variant == 2;
    if (variant == 3) desc.PrimaryKeys = {{8, "Album"}, {15, "Asset"}};
    desc.ThumbFile.clear();
    for (std::uint32_t id = 1; id <= 4; ++id) {
      TSqliteAssetSpec asset;
      asset.Id = id;
      asset.ThumbnailIndex = id * 3;
      asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
      asset.SavedAssetType = id == 4 ? 3 : 0;
      desc.Assets.push_back(asset);
    }
    TSqliteAlbumSpec titled;
    titled.Id = 20;
    titled.Title = "Été";
    titled.AssetIds = {1, 3, 9};
    TSqliteAlbumSpec untitled;
    untitled.Id = 21;
    untitled.AssetIds = {2};
    TSqliteAlbumSpec roll;
    roll.Id = 22;
    roll.Kind = 2;
    roll.AssetIds = {1, 2, 3};
    desc.Albums = {titled, untitled, roll};
    const std::string root = work + "/sqlite-" + std::to_string(variant);
    WritePhotosSqliteLibrary(desc, root);
    std::ifstream in(root + "/PhotoData/Photos.sqlite", std::ios::binary);
    out.Add(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
  }
  // The libraries of iOS 7 and later, both asset tables, with folders,
  // trashed albums and assets and iCloud originals.
  for (int variant = 0; variant < 2; ++variant) {
    TSqliteLibrarySpec desc;
    desc.Layout = variant ? TSqliteLayout::Asset : TSqliteLayout::GenericAsset;
    desc.Modern = variant ? TModernEntities{27, 28, 3, 0} : TModernEntities{22, 23, 31, 30};
    desc.ThumbFile.clear();
    for (std::uint32_t id = 1; id <= 4; ++id) {
      TSqliteAssetSpec asset;
      asset.Id = id;
      asset.Directory = id == 4 ? "PhotoData/CPLAssets/group1" : "DCIM/100APPLE";
      asset.FileName = "IMG_000" + std::to_string(id) + ".HEIC";
      asset.Created = 1000.5 * id;
      asset.Trashed = id == 2;
      asset.Subtype = id == 1 ? 2 : 0;
      asset.OriginalFileName = id == 4 ? "IMG_0040.JPG" : "";
      desc.Assets.push_back(asset);
    }
    TSqliteAlbumSpec folder;
    folder.Id = 30;
    folder.Kind = 4000;
    folder.Title = "Trips";
    TSqliteAlbumSpec inside;
    inside.Id = 31;
    inside.Title = "Italy";
    inside.ParentFolder = 30;
    inside.AssetIds = {4, 1, 2};
    TSqliteAlbumSpec trashed;
    trashed.Id = 32;
    trashed.Trashed = true;
    trashed.AssetIds = {3};
    desc.Albums = {folder, inside, trashed};
    const std::string root = work + "/sqlite-modern-" + std::to_string(variant);
    WritePhotosSqliteLibrary(desc, root);
    std::ifstream in(root + "/PhotoData/Photos.sqlite", std::ios::binary);
    out.Add(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
  }
}

// Scripts of the simulated library's lies: honest, each kind of lie on its
// own, and a mixture.
void IosDeviceSeeds(TSeedFolder& out) {
  out.Add(std::vector<std::uint8_t>{});
  for (std::uint8_t lie = 1; lie < 8; ++lie) out.Add(std::vector<std::uint8_t>(64, lie));
  std::vector<std::uint8_t> mixed;
  for (int i = 0; i < 256; ++i) mixed.push_back(static_cast<std::uint8_t>((i * 37) % 23));
  out.Add(mixed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-fuzz-seeds OUT_FOLDER\n");
    return 2;
  }
  const std::string root = argv[1];
  TSeedFolder database(root, "photo_database_fuzz");
  TSeedFolder exporter(root, "ithmb_export_fuzz");
  TSeedFolder pictures(root, "picture_fuzz");
  TSeedFolder names(root, "names_fuzz");
  TSeedFolder sqlite(root, "photos_sqlite_fuzz");
  TSeedFolder ios(root, "ios_device_fuzz");
  TSeedFolder exif(root, "exif_fuzz");
  PhotoDatabaseSeeds(database);
  ExportSeeds(exporter);
  PictureSeeds(pictures);
  NameSeeds(names);
  PhotosSqliteSeeds(root + "/work", sqlite);
  IosDeviceSeeds(ios);
  ExifSeeds(exif);
  std::filesystem::remove_all(root + "/work");
  std::printf("seeds: %d photo database, %d export, %d picture, %d name, %d Photos.sqlite, %d ios, "
              "%d exif\n",
              database.Count(), exporter.Count(), pictures.Count(), names.Count(), sqlite.Count(),
              ios.Count(), exif.Count());
  return 0;
}
