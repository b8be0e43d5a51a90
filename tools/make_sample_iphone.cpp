// Writes the demo's sample iPhones: the media folder of an iOS device with a
// Photos.sqlite library. The classic one (the layout of iOS 5 and 6: an album
// kept only in the write-ahead log, an untitled album, 5-5-5 thumbnails and
// JPEG originals) by default; with --modern, a phone of today (the ZASSET
// layout, HEIC photos where heif-enc is installed, a Live Photo, an edit, a
// screenshot, a video, iCloud originals, albums in a folder, three camera
// folders). Pictures are drawn by code. Served by the simulated device
// library, or read directly with --device.

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/picture.h"

namespace {

using namespace quill::testing;

std::vector<std::uint8_t> Jpeg(int width, int height, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes;
  if (!quill::EncodeJpeg(TestPicture(width, height, seed), 90, bytes)) throw std::runtime_error("jpeg");
  return bytes;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A HEIC photo made by heif-enc from a drawn picture; a JPEG under the HEIC
// name where heif-enc is not installed (the sample stays usable).
std::vector<std::uint8_t> Heic(const std::filesystem::path& work, std::uint32_t seed) {
  const std::string jpg = (work / ("heic-" + std::to_string(seed) + ".jpg")).string();
  const std::string heic = (work / ("heic-" + std::to_string(seed) + ".heic")).string();
  WriteFile(jpg, Jpeg(1024, 768, seed));
  const std::string command = "heif-enc -q 60 -o '" + heic + "' '" + jpg + "' >/dev/null 2>&1";
  std::vector<std::uint8_t> bytes;
  if (std::system(command.c_str()) == 0 && std::filesystem::exists(heic)) {
    bytes = ReadFile(heic);
  } else {
    std::cerr << "make-sample-iphone: heif-enc not found, HEIC photos hold JPEG bytes\n";
    bytes = ReadFile(jpg);
  }
  std::filesystem::remove(jpg);
  std::filesystem::remove(heic);
  return bytes;
}

TSqliteAssetSpec Asset(std::uint32_t id, const std::string& dir, const std::string& name,
                       std::vector<std::uint8_t> bytes, double created) {
  TSqliteAssetSpec a;
  a.Id = id;
  a.Directory = dir;
  a.FileName = name;
  a.OriginalBytes = std::move(bytes);
  a.Created = created;
  return a;
}

void WriteClassic(const std::string& folder) {
  TSqliteLibrarySpec desc;
  desc.Entities = kLayout8;
  for (std::uint32_t id = 1; id <= 6; ++id) {
    TSqliteAssetSpec asset;
    asset.Id = id;
    asset.ThumbnailIndex = id - 1;
    asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
    const quill::TBitmap24 picture = TestPicture(640, 480, 40 + id);
    if (!quill::EncodeJpeg(picture, 90, asset.OriginalBytes)) throw std::runtime_error("jpeg");
    asset.Thumbnail = picture;
    desc.Assets.push_back(std::move(asset));
  }
  TSqliteAlbumSpec holiday;
  holiday.Id = 20;
  holiday.Title = "Vacances d'\xC3\xA9t\xC3\xA9";
  holiday.AssetIds = {2, 3, 5};
  TSqliteAlbumSpec untitled;
  untitled.Id = 21;
  untitled.AssetIds = {1, 6};
  TSqliteAlbumSpec recent;
  recent.Id = 22;
  recent.Title = "Added just now";
  recent.AssetIds = {4};
  recent.OnlyInWal = true;
  desc.Albums = {holiday, untitled, recent};
  WritePhotosSqliteLibrary(desc, folder);
}

void WriteModern(const std::string& folder) {
  const std::filesystem::path work = std::filesystem::path(folder).parent_path() / ".sample-work";
  std::filesystem::create_directories(work);
  TSqliteLibrarySpec desc;
  desc.Layout = TSqliteLayout::Asset;
  desc.Modern = {28, 29, 3, 0};  // the numbers of iOS 17.6
  desc.ThumbFile.clear();
  const double day = 86400;
  const double start = 700000000;  // 2023-03-07, seconds since 2001
  TSqliteAssetSpec live = Asset(1, "DCIM/100APPLE", "IMG_0001.HEIC", Heic(work, 1), start);
  live.Subtype = 2;
  live.LiveClip = Bytes("the clip of a Live Photo (a stand-in for a movie)");
  TSqliteAssetSpec edited = Asset(2, "DCIM/100APPLE", "IMG_0002.JPG", Jpeg(1024, 768, 2), start + day);
  edited.Render = Jpeg(1024, 768, 102);
  edited.Sidecar = Bytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>\n");
  edited.V2Thumbnail = Jpeg(160, 120, 2);
  std::vector<std::uint8_t> png;
  if (!quill::EncodePng(TestPicture(390, 844, 3), png)) throw std::runtime_error("png");
  TSqliteAssetSpec screenshot = Asset(3, "DCIM/100APPLE", "IMG_0003.PNG", png, start + 2 * day);
  screenshot.Subtype = 10;
  TSqliteAssetSpec video =
      Asset(4, "DCIM/100APPLE", "IMG_0004.MOV", Bytes("a stand-in for a movie"), start + 3 * day);
  video.Kind = 1;
  TSqliteAssetSpec later = Asset(5, "DCIM/101APPLE", "IMG_1001.HEIC", Heic(work, 5), start + 30 * day);
  TSqliteAssetSpec hidden = Asset(6, "DCIM/101APPLE", "IMG_1002.JPG", Jpeg(800, 600, 6), start + 31 * day);
  hidden.Hidden = true;
  TSqliteAssetSpec trashed = Asset(7, "DCIM/101APPLE", "IMG_1003.JPG", Jpeg(800, 600, 7), start + 32 * day);
  trashed.Trashed = true;
  TSqliteAssetSpec imported = Asset(8, "DCIM/100IMPRT", "IMG_5001.JPG", Jpeg(800, 600, 8), start - 300 * day);
  TSqliteAssetSpec cloud = Asset(9, "PhotoData/CPLAssets/group116",
                                 "9A1F3C52-7B0E-4C1D-9E2A-5D6F7A8B9C01.JPG", Jpeg(1024, 768, 9),
                                 start - 400 * day);
  cloud.OriginalFileName = "IMG_0900.JPG";
  TSqliteAssetSpec away = Asset(10, "PhotoData/CPLAssets/group116",
                                "0B2C4D6E-8F10-4A2B-8C3D-4E5F60718293.HEIC", {}, start - 401 * day);
  away.OriginalFileName = "IMG_0901.HEIC";
  away.OnDevice = false;
  desc.Assets = {live, edited, screenshot, video, later, hidden, trashed, imported, cloud, away};

  TSqliteAlbumSpec summer;
  summer.Id = 40;
  summer.Title = "Vacances d'\xC3\xA9t\xC3\xA9 \xF0\x9F\x8F\x96";
  summer.AssetIds = {5, 1, 2, 7};
  TSqliteAlbumSpec trips;
  trips.Id = 41;
  trips.Title = "Trips";
  trips.Kind = 4000;
  TSqliteAlbumSpec italy;
  italy.Id = 42;
  italy.Title = "Italy";
  italy.ParentFolder = 41;
  italy.AssetIds = {9, 10, 8};
  TSqliteAlbumSpec recent;
  recent.Id = 43;
  recent.Title = "Added just now";
  recent.AssetIds = {4, 3};
  recent.OnlyInWal = true;
  desc.Albums = {summer, trips, italy, recent};
  WritePhotosSqliteLibrary(desc, folder);
  std::filesystem::remove_all(work);
}

}  // namespace

int main(int argc, char** argv) {
  const bool modern = argc == 3 && std::string(argv[1]) == "--modern";
  if (argc != 2 && !modern) {
    std::cerr << "usage: make-sample-iphone [--modern] FOLDER\n";
    return 2;
  }
  const std::string folder = argv[argc - 1];
  try {
    if (modern) {
      WriteModern(folder);
    } else {
      WriteClassic(folder);
    }
  } catch (const std::exception& e) {
    std::cerr << "make-sample-iphone: " << e.what() << "\n";
    return 1;
  }
  std::cout << (modern ? "Sample iPhone of today written to " : "Sample iPhone written to ") << folder
            << "\n";
  return 0;
}
