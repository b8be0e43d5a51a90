// Loading a 100,000-photo Photo Database through LoadPhotoLibrary (the file
// read from a folder iPod, parsed, the model built) and a 50,000-asset
// Photos.sqlite library from the simulated iOS device (copied over its file
// service, queried, the model built), the heap each loaded model holds per
// photo beyond its strings, and the model side of the selection menu (select
// all, invert) on the 100,000-photo album.
#include <malloc.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "device/ipod_device.h"
#include "device/platform/platform.h"
#include "library/ipod_photo_db.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using namespace quill::bench;
using testing::TRecordLayout;

constexpr int kPhotos = 100000;

// The Photo Database of kPhotos photos of a classic iPod (an interlaced export
// format in files of 5,000 records and a thumbnail format, every photo in the master album and each
// tenth in a second album); the .ithmb files are not needed for loading.
void WriteLibrary(const std::string& root) {
  testing::TLibrarySpec desc;
  desc.Formats = {{1019, TRecordLayout::InterlacedUyvy, 720, 480, 0, 0, 5000, 0, true},
                  {1036, TRecordLayout::Rgb565, 50, 41, 0, 0, 0, 0, true}};
  testing::TAlbumSpec all{"Photo Library", false, false, {}, 0};
  testing::TAlbumSpec some{"Holidays", false, false, {}, 0};
  for (int i = 0; i < kPhotos; ++i) {
    testing::TPhotoSpec photo;
    photo.Id = static_cast<std::uint32_t>(64 + i);
    all.PhotoIds.push_back(photo.Id);
    if (i % 10 == 0) some.PhotoIds.push_back(photo.Id);
    desc.Photos.push_back(std::move(photo));
  }
  desc.Albums = {all, some};
  std::filesystem::create_directories(root + "/iPod_Control/iTunes");
  testing::WriteFile(root + "/Photos/Photo Database", testing::BuildPhotoDatabase(desc));
}

constexpr int kAssets = 50000;

// An iPhone's library of kAssets assets in 20 albums (the thumbnail records
// and original files are not needed for loading).
void WriteIosLibrary(const std::string& root) {
  testing::TSqliteLibrarySpec desc;
  desc.ThumbFile = "79x79.ithmb";
  for (int i = 0; i < kAssets; ++i) {
    testing::TSqliteAssetSpec asset;
    asset.Id = static_cast<std::uint32_t>(i + 1);
    asset.ThumbnailIndex = i % 16;
    asset.FileName = "IMG_" + std::to_string(10000 + i) + ".JPG";
    desc.Assets.push_back(std::move(asset));
  }
  for (int a = 0; a < 19; ++a) {
    testing::TSqliteAlbumSpec album;
    album.Id = static_cast<std::uint32_t>(kAssets + 1 + a);
    album.Title = "Album " + std::to_string(a + 1);
    for (int i = a; i < kAssets; i += 19 + a) album.AssetIds.push_back(static_cast<std::uint32_t>(i + 1));
    desc.Albums.push_back(std::move(album));
  }
  testing::WritePhotosSqliteLibrary(desc, root);
}

constexpr int kModernAssets = 100000;
constexpr int kModernAlbums = 200;

// Today's iPhone: kModernAssets assets of the ZASSET layout spread over 100
// camera folders (each file on the device), in kModernAlbums albums.
void WriteModernLibrary(const std::string& root) {
  testing::TSqliteLibrarySpec desc;
  desc.Layout = testing::TSqliteLayout::Asset;
  desc.ThumbFile.clear();
  for (int i = 0; i < kModernAssets; ++i) {
    testing::TSqliteAssetSpec asset;
    asset.Id = static_cast<std::uint32_t>(i + 1);
    asset.Directory = "DCIM/" + std::to_string(100 + i / 1000) + "APPLE";
    asset.FileName = "IMG_" + std::to_string(10000 + i) + (i % 3 ? ".HEIC" : ".JPG");
    asset.OriginalBytes = {1};
    asset.Created = 500000000.0 + i * 60;
    asset.Subtype = i % 7 == 0 ? 2 : 0;
    desc.Assets.push_back(std::move(asset));
  }
  for (int a = 0; a < kModernAlbums; ++a) {
    testing::TSqliteAlbumSpec album;
    album.Id = static_cast<std::uint32_t>(kModernAssets + 1 + a);
    album.Kind = 2;
    album.Title = "Album " + std::to_string(a + 1);
    for (int i = a; i < kModernAssets; i += 97 + a) album.AssetIds.push_back(static_cast<std::uint32_t>(i + 1));
    desc.Albums.push_back(std::move(album));
  }
  testing::WritePhotosSqliteLibrary(desc, root);
}

// Camera folders of a phone that has taken many pictures: 20 folders of 999.
void WriteCameraFolders(const std::string& root) {
  for (int f = 0; f < 20; ++f) {
    const std::string folder = root + "/DCIM/" + std::to_string(100 + f) + "APPLE/";
    std::filesystem::create_directories(folder);
    for (int i = 0; i < 999; ++i) {
      std::FILE* file = std::fopen((folder + "IMG_" + std::to_string(f * 1000 + i) + ".HEIC").c_str(), "w");
      if (file) std::fclose(file);
    }
  }
  std::filesystem::create_directories(root + "/PhotoData");
}

// A phone served by the simulated device library from dir/iphone, connected.
std::unique_ptr<TIpodDevice> ConnectPhone(TPlatform& platform, const std::string& dir,
                                          testing::TConnectionEvents& events) {
  testing::TSimDevice::UseForProcess(QUILL_SIMDEVICE_PATH);
  testing::TSimDevice::Configure(dir + "/sim.conf", dir + "/iphone", {});
  auto phone = std::make_unique<TIpodDevice>(platform, [&events](bool connected, bool fromIos) {
    if (fromIos) events.Add(connected);
  });
  if (!events.WaitFor(1) || !phone->IsIos) {
    std::fprintf(stderr, "the simulated device did not connect\n");
    return nullptr;
  }
  return phone;
}

std::size_t HeapInUse() { return mallinfo2().uordblks; }

// Heap bytes of a string's own buffer (none while it fits in the object).
std::size_t StringHeap(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

// The medians of loading a device's library rounds times: CPU and wall
// seconds, and heap bytes held per photo beyond its strings.
struct TLoadFigures {
  bool Loaded = false;
  std::size_t Photos = 0;
  std::vector<double> Cpu, Wall, PerPhoto;
};

TLoadFigures MeasureLoad(TIpodDevice& device, int rounds) {
  TLoadFigures f;
  for (int r = 0; r < rounds; ++r) {
    const std::size_t heapBefore = HeapInUse();
    auto db = std::make_unique<TIpodPhotoDb>(device, nullptr, false);
    const double wallStart = WallSeconds();
    const double start = ThreadCpuSeconds();
    f.Loaded = db->LoadPhotoLibrary();
    f.Cpu.push_back(ThreadCpuSeconds() - start);
    f.Wall.push_back(WallSeconds() - wallStart);
    if (!f.Loaded) return f;
    f.Photos = db->Photos.Count();
    std::size_t strings = StringHeap(db->LogText);
    for (std::size_t i = 0; i < f.Photos; ++i)
      strings += StringHeap(db->Photos.Items(i).Path);
    for (const std::string& name : db->Photos.OriginalNames()) strings += StringHeap(name);
    for (std::size_t i = 0; i < db->Albums.Count(); ++i)
      strings += StringHeap(db->Albums.Items(i).Name);
    const std::size_t held = HeapInUse() - heapBefore - strings;
    f.PerPhoto.push_back(static_cast<double>(held) / static_cast<double>(f.Photos));
  }
  return f;
}

// The two rows of one load: its time against limitSeconds, and the memory it
// holds per photo against 100 bytes.
void ReportLoad(const std::string& what, const std::string& memoryWhat, const TLoadFigures& f,
                double limitSeconds, std::size_t expectedPhotos, double limitBytes = 100) {
  const double cpu = Median(f.Cpu);
  const double perPhoto = Median(f.PerPhoto);
  std::fprintf(stderr, "%s: %zu photos, %.3f s CPU (wall %.3f s), spread %.0f%%, %.1f bytes/photo\n",
               what.c_str(), f.Photos, cpu, Median(f.Wall), SpreadPercent(f.Cpu), perPhoto);
  Row("3. LoadPhotoLibrary, " + what, Format("%.3f s", cpu), Format("%.1f s limit", limitSeconds),
      cpu / limitSeconds, cpu < limitSeconds && f.Photos == expectedPhotos,
      Format("wall %.3f s", Median(f.Wall)) + Format(", spread %.0f%%", SpreadPercent(f.Cpu)));
  Row("3. memory held after loading" + memoryWhat + ", per photo beyond strings",
      Format("%.1f bytes", perPhoto), Format("%.0f bytes limit", limitBytes), perPhoto / limitBytes,
      perPhoto < limitBytes);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 7;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
  }
  testing::TTempDir dir;
  WriteLibrary(dir.Path());
  const auto platform = CreateNativePlatform();
  TIpodDevice device(*platform, nullptr);
  std::string error;
  if (!device.UseFolder(dir.Path(), error)) {
    std::fprintf(stderr, "device: %s\n", error.c_str());
    return 1;
  }

  const TLoadFigures disk = MeasureLoad(device, rounds);
  if (!disk.Loaded) {
    std::fprintf(stderr, "the library did not load\n");
    return 1;
  }
  ReportLoad("100,000-photo Photo Database", "", disk, 0.3, kPhotos);

  // The iOS library, served by the simulated device on this thread's calls.
  {
    testing::TTempDir iosDir;
    WriteIosLibrary(iosDir / "iphone");
    testing::TConnectionEvents events;
    auto connected = ConnectPhone(*platform, iosDir.Path(), events);
    if (!connected) return 1;
    TIpodDevice& phone = *connected;
    const TLoadFigures ios = MeasureLoad(phone, rounds);
    if (!ios.Loaded) {
      std::fprintf(stderr, "the iOS library did not load\n");
      return 1;
    }
    ReportLoad("50,000-asset Photos.sqlite (simulated device)", " Photos.sqlite", ios, 0.5,
               kAssets);
  }

  // A library of today's iPhones, and the camera listing of many folders,
  // both through the simulated device.
  {
    testing::TTempDir iosDir;
    WriteModernLibrary(iosDir / "iphone");
    testing::TConnectionEvents events;
    auto connected = ConnectPhone(*platform, iosDir.Path(), events);
    if (!connected) return 1;
    TIpodDevice& phone = *connected;
    const TLoadFigures modern = MeasureLoad(phone, rounds);
    if (!modern.Loaded) {
      std::fprintf(stderr, "the modern library did not load\n");
      return 1;
    }
    ReportLoad("100,000-asset ZASSET library, 200 albums (simulated device)", " ZASSET library",
               modern, 0.3, kModernAssets, 120);
  }
  {
    testing::TTempDir iosDir;
    WriteCameraFolders(iosDir / "iphone");
    testing::TConnectionEvents events;
    auto connected = ConnectPhone(*platform, iosDir.Path(), events);
    if (!connected) return 1;
    TIpodDevice& phone = *connected;
    std::vector<double> wall;
    std::size_t listed = 0;
    for (int r = 0; r < rounds; ++r) {
      auto db = std::make_unique<TIpodPhotoDb>(phone, nullptr, true);
      const double start = WallSeconds();
      db->LoadCameraFiles();
      wall.push_back(WallSeconds() - start);
      listed = db->CamPhotos->Count();
    }
    Row("3. camera listing, 20 folders of 999 files (simulated device)", Format("%.3f s", Median(wall)),
        "0.5 s limit", Median(wall) / 0.5, Median(wall) < 0.5 && listed == 19980,
        "wall time, the device's side included" + Format(", spread %.0f%%", SpreadPercent(wall)));
  }

  // The selection menu's model side on the 100,000-photo album.
  TIpodPhotoDb db(device, nullptr, false);
  db.LoadPhotoLibrary();
  std::vector<double> selectAll, invert;
  for (int r = 0; r < rounds; ++r) {
    db.SelectAlbumPhotos(TSelectOp::UnselectAll, 0);
    double start = ThreadCpuSeconds();
    db.SelectAlbumPhotos(TSelectOp::SelectAll, 0);
    selectAll.push_back(ThreadCpuSeconds() - start);
    start = ThreadCpuSeconds();
    db.SelectAlbumPhotos(TSelectOp::Invert, 0);
    invert.push_back(ThreadCpuSeconds() - start);
  }
  const bool consistent = db.Photos.SelectedCount == 0;
  Row("4. select all, 100,000-photo album (model side)", Format("%.2f ms", Median(selectAll) * 1000),
      "20 ms limit", Median(selectAll) * 1000 / 20, Median(selectAll) * 1000 < 20,
      "the page's cells are the window's");
  Row("4. invert, 100,000-photo album (model side)", Format("%.2f ms", Median(invert) * 1000),
      "20 ms limit", Median(invert) * 1000 / 20, Median(invert) * 1000 < 20 && consistent);
  return 0;
}
