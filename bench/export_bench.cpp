// Export speed per record layout against the floor: TurboJPEG alone encoding
// the same decoded pixels at quality 80, measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/ipod_device.h"
#include "device/platform/platform.h"
#include "library/ipod_photo_db.h"
#include "support/ipod_writer.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using testing::TRecordLayout;

constexpr int kPhotos = 200;

struct TCase {
  const char* Name;
  std::int32_t FormatId;
  TRecordLayout Layout;
  int Width;
  int Height;
};

const TCase kCases[] = {
    {"RGB565", 1024, TRecordLayout::Rgb565, 320, 240},
    {"nRGB", 1023, TRecordLayout::SwappedRgb565, 176, 132},
    {"uYUV", 1019, TRecordLayout::InterlacedUyvy, 720, 480},
    {"Yuv", 1067, TRecordLayout::PlanarYuv420, 720, 480},
    {"Jpg", 1081, TRecordLayout::Jpeg, 640, 480},
};

struct TTiming {
  double Seconds = 0;
  long Photos = 0;
  double MsPerPhoto() const { return Photos ? Seconds * 1000.0 / static_cast<double>(Photos) : 0; }
};
std::map<std::string, TTiming> g_export;
std::map<std::string, TTiming> g_floor;

// A generated iPod of kPhotos photos of one layout, loaded and all selected.
class TLibraryFixture {
public:
  explicit TLibraryFixture(const TCase& c) {
    testing::TLibrarySpec spec;
    testing::TFormatSpec exportFormat;
    exportFormat.FormatId = c.FormatId;
    exportFormat.Layout = c.Layout;
    exportFormat.Width = c.Width;
    exportFormat.Height = c.Height;
    spec.Formats.push_back(exportFormat);
    testing::TFormatSpec thumbs;
    thumbs.FormatId = 1036;
    thumbs.Layout = TRecordLayout::Rgb565;
    thumbs.Width = 50;
    thumbs.Height = 41;
    spec.Formats.push_back(thumbs);
    testing::TAlbumSpec all;
    all.Title = "Photo Library";
    for (int i = 0; i < kPhotos; ++i) {
      testing::TPhotoSpec photo;
      photo.Id = static_cast<std::uint32_t>(100 + i);
      photo.Picture = testing::TestPicture(c.Width, c.Height, photo.Id);
      all.PhotoIds.push_back(photo.Id);
      Decoded.push_back(testing::ExpectedPicture(c.Layout, photo.Picture, c.Width, c.Height));
      spec.Photos.push_back(std::move(photo));
    }
    spec.Albums.push_back(all);
    testing::WriteIpod(spec, root_.Path() + "/ipod");
    platform_ = CreateNativePlatform();
    device_ = std::make_unique<TIpodDevice>(*platform_, nullptr);
    std::string error;
    if (!device_->UseFolder(root_.Path() + "/ipod", error)) throw std::runtime_error(error);
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, false);
    if (!db_->LoadPhotoLibrary()) throw std::runtime_error("library did not load");
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->Photos.Select(i);
  }

  // Exports every photo into a fresh folder; answers the files written.
  int Export() {
    const std::string out = root_.Path() + "/out";
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    db_->DestFolder = out + "/";
    return db_->TransferDiskPhotos();
  }

  std::vector<TBitmap24> Decoded;

private:
  testing::TTempDir root_;
  std::unique_ptr<TPlatform> platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
};

std::map<std::string, std::unique_ptr<TLibraryFixture>> g_fixtures;

TLibraryFixture& Fixture(const TCase& c) {
  auto& slot = g_fixtures[c.Name];
  if (!slot) slot = std::make_unique<TLibraryFixture>(c);
  return *slot;
}

void BM_Export(benchmark::State& state, TCase c) {
  TLibraryFixture& fixture = Fixture(c);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int written = fixture.Export();
    const auto end = std::chrono::steady_clock::now();
    if (written != kPhotos) state.SkipWithError("not every photo was written");
    g_export[c.Name].Seconds += std::chrono::duration<double>(end - start).count();
    g_export[c.Name].Photos += kPhotos;
  }
  state.SetItemsProcessed(state.iterations() * kPhotos);
}

void BM_TurboJpegFloor(benchmark::State& state, TCase c) {
  TLibraryFixture& fixture = Fixture(c);
  std::vector<std::uint8_t> jpeg;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const TBitmap24& picture : fixture.Decoded) {
      EncodeJpeg(picture, 80, jpeg);
      benchmark::DoNotOptimize(jpeg.data());
    }
    const auto end = std::chrono::steady_clock::now();
    g_floor[c.Name].Seconds += std::chrono::duration<double>(end - start).count();
    g_floor[c.Name].Photos += kPhotos;
  }
  state.SetItemsProcessed(state.iterations() * kPhotos);
}

}  // namespace

int main(int argc, char** argv) {
  for (const TCase& c : kCases) {
    benchmark::RegisterBenchmark((std::string("Export/") + c.Name).c_str(), BM_Export, c)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark((std::string("TurboJpegQ80/") + c.Name).c_str(),
                                 BM_TurboJpegFloor, c)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n%-8s %14s %14s %8s\n", "layout", "export ms/ph", "floor ms/ph", "ratio");
  for (const TCase& c : kCases) {
    const double exportMs = g_export[c.Name].MsPerPhoto();
    const double floorMs = g_floor[c.Name].MsPerPhoto();
    if (exportMs == 0 || floorMs == 0) continue;
    std::printf("%-8s %14.3f %14.3f %8.2f\n", c.Name, exportMs, floorMs, exportMs / floorMs);
  }
  g_fixtures.clear();
  return 0;
}
