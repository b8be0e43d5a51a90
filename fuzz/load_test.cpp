// The load test: a disk-mode library of 100,000 photos in 20 albums (or, with
// --ios, a Photos.sqlite library of 50,000 assets in 20 albums served by the
// simulated device) is loaded, paged and a 1,000-photo selection transferred
// on the transfer thread. Prints the figures and one tab-separated line
// starting with "load-figures" for scripts/reliability; exits 1 when anything
// went wrong.
//   quill-load-test [PHOTOS]
//   quill-load-test --ios [ASSETS]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "library/cell_area.h"
#include "library/ipod_photo_db.h"
#include "library/photo_copy_thread.h"
#include "support/call_dispatcher.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/picture.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using namespace quill::testing;
using TClock = std::chrono::steady_clock;

constexpr int kAlbums = 20;
constexpr int kSelected = 1000;
constexpr std::uint32_t kFirstId = 64;

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class TCountingCellArea : public TCellArea {
public:
  int Cells = 0;
  int AddCell(TCellSpec) override { return Cells++; }
  void FreeAllCells() override { Cells = 0; }
  int CellCount() const override { return Cells; }
  std::int32_t CellId(int) const override { return 0; }
  bool CellSelected(int) const override { return false; }
  void SetCellSelected(int, bool) override {}
  void SetEnabled(bool) override {}
  void SetVisible(bool) override {}
};

TLibrarySpec Library(int photos) {
  TLibrarySpec desc;
  desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88}, {1032, TRecordLayout::Rgb565, 42, 37}};
  TAlbumSpec master{"Library", false, false, {}};
  for (int i = 0; i < photos; ++i) {
    const std::uint32_t id = kFirstId + static_cast<std::uint32_t>(i);
    desc.Photos.push_back({id, {}, "", {}});
    master.PhotoIds.push_back(id);
  }
  desc.Albums.push_back(master);
  const int perAlbum = photos / (kAlbums - 1);
  for (int a = 1; a < kAlbums; ++a) {
    TAlbumSpec album{"Album " + std::to_string(a), a % 2 == 0, false, {}};
    for (int i = 0; i < perAlbum; ++i) {
      album.PhotoIds.push_back(kFirstId + static_cast<std::uint32_t>((a - 1) * perAlbum + i));
    }
    desc.Albums.push_back(album);
  }
  return desc;
}

// Every selected photo is the 100th of the list: the ones whose records are
// written; the rest of the .ithmb files is left sparse (zeros, black cells).
bool Selected(int index, int photos) { return index % (photos / kSelected) == 0; }

void WriteLibrary(int photos, const std::string& root) {
  const TLibrarySpec desc = Library(photos);
  WriteFile(root + "/iPod_Control/iTunes/iTunesDB", {0});
  WriteFile(root + "/Photos/Photo Database", BuildPhotoDatabase(desc));
  const auto places = PlaceRecords(desc);
  std::filesystem::create_directories(root + "/Photos/Thumbs");
  for (std::size_t f = 0; f < desc.Formats.size(); ++f) {
    const TFormatSpec& format = desc.Formats[f];
    const std::string path = root + "/Photos/Thumbs/" + IthmbFileName(format.FormatId, 1);
    std::uint64_t end = 0;
    {
      std::ofstream out(path, std::ios::binary);
      for (int i = 0; i < photos; ++i) {
        const TRecordPlace& place = places[static_cast<std::size_t>(i)][f];
        end = std::max<std::uint64_t>(end, std::uint64_t{place.Offset} + place.Size);
        if (f != 0 || !Selected(i, photos)) continue;
        const std::vector<std::uint8_t> record =
            EncodeRecord(format.Layout, TestPicture(format.Width, format.Height, i), format.Width,
                         format.Height);
        out.seekp(static_cast<std::streamoff>(place.Offset));
        out.write(reinterpret_cast<const char*>(record.data()),
                  static_cast<std::streamsize>(record.size()));
      }
    }
    std::filesystem::resize_file(path, end);
  }
}

// The iOS library: every 50th asset has an original file (the ones that are
// selected); the thumbnail file holds 256 records that the assets share.
void WriteIosLibrary(int assets, const std::string& root) {
  TSqliteLibrarySpec desc;
  desc.Assets.reserve(static_cast<std::size_t>(assets));
  for (int i = 0; i < assets; ++i) {
    TSqliteAssetSpec asset;
    asset.Id = static_cast<std::uint32_t>(i + 1);
    asset.ThumbnailIndex = i % 256;
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%05d.JPG", i + 1);
    asset.FileName = name;
    if (Selected(i, assets)) {
      asset.OriginalBytes.resize(20000 + static_cast<std::size_t>(i % 97));
      for (std::size_t b = 0; b < asset.OriginalBytes.size(); ++b)
        asset.OriginalBytes[b] = static_cast<std::uint8_t>(b * 31 + static_cast<std::size_t>(i));
    }
    if (i < 256) asset.Thumbnail = TestPicture(80, 79, static_cast<std::uint32_t>(i));
    desc.Assets.push_back(std::move(asset));
  }
  const int perAlbum = assets / (kAlbums - 1);
  for (int a = 1; a < kAlbums; ++a) {
    TSqliteAlbumSpec album;
    album.Id = static_cast<std::uint32_t>(assets + a);
    album.Title = "Album " + std::to_string(a);
    for (int i = 0; i < perAlbum; ++i)
      album.AssetIds.push_back(static_cast<std::uint32_t>((a - 1) * perAlbum + i + 1));
    desc.Albums.push_back(std::move(album));
  }
  WritePhotosSqliteLibrary(desc, root);
}

// The figures of one run, printed alike for both kinds of library.
struct TFigures {
  int Photos = 0;
  double WriteMs = 0, LoadMs = 0, PageMs = 0, TransferMs = 0;
  int Pages = 0, Written = 0;
  long Cells = 0;
  bool Ok = true;
};

int Report(const char* kind, const TFigures& f, const TIpodPhotoDb& db) {
  const double peakMiB = static_cast<double>(PeakRssKiB()) / 1024.0;
  std::printf("library: %s, %d photos, %d albums (written in %.0f ms)\n", kind, f.Photos,
              kAlbums, f.WriteMs);
  std::printf("load: %.0f ms; pages: %d (%ld cells) in %.0f ms; transfer: %d of %d in %.0f ms\n",
              f.LoadMs, f.Pages, f.Cells, f.PageMs, f.Written, kSelected, f.TransferMs);
  std::printf("peak memory: %.1f MiB; result: %s\n", peakMiB, f.Ok ? "ok" : "FAILED");
  if (!f.Ok) std::printf("log:%s\n", db.LogText.c_str());
  std::printf("load-figures\t%s\t%d\t%d\t%.0f\t%d\t%.0f\t%d\t%.0f\t%.1f\t%s\n", kind, f.Photos,
              kAlbums, f.LoadMs, f.Pages, f.PageMs, f.Written, f.TransferMs, peakMiB,
              f.Ok ? "ok" : "FAILED");
  return f.Ok ? 0 : 1;
}

// Writes the library in a child process, so that its memory does not count
// in the peak of the load; answers the milliseconds taken, or -1.
template <typename TWrite>
double WriteInChild(TWrite write) {
  const auto start = TClock::now();
  const pid_t child = fork();
  if (child == 0) {
    write();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return MsSince(start);
}

// Every album's first and last page, and the first 100 pages of the library.
void ShowPages(TIpodPhotoDb& db, TFigures& f) {
  db.SetPageLayout(false);
  const auto start = TClock::now();
  for (int album = 0; album < static_cast<int>(db.Albums.Count()); ++album) {
    const int count = db.AlbumPageCount(album);
    for (int page = 1; page <= count; ++page) {
      if (!(page == 1 || page == count || (album == 0 && page <= 100))) continue;
      const int made = db.ShowAlbumPage(album, page, 1);
      if (made <= 0) {
        std::printf("page %d of album %d is empty\n", page, album);
        f.Ok = false;
      }
      f.Cells += made;
      ++f.Pages;
    }
  }
  f.PageMs = MsSince(start);
}

// The selection on the transfer thread, as the window runs it.
void TransferSelection(TIpodPhotoDb& db, const std::string& dest, TFigures& f) {
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) {
    if (Selected(static_cast<int>(i), f.Photos)) db.Photos.Select(i);
  }
  std::string folder = dest;
  f.Ok = db.CheckOutputFolder(folder) && f.Ok;
  TCallQueue queue;
  bool done = false;
  int notified = 0;
  const auto start = TClock::now();
  {
    TPhotoCopyThread thread(db, queue.Dispatcher());
    thread.OnFile = [&](const std::string&) { ++notified; };
    thread.OnDone = [&] { done = true; };
    thread.Start();
    queue.RunUntil([&] { return done; });
    thread.Wait();
  }
  f.TransferMs = MsSince(start);
  if (notified != kSelected || db.TransferHadErrors()) f.Ok = false;
}

int RunIos(int assets) {
  TTempDir temp;
  const std::string root = temp / "iphone";
  const std::string dest = temp / "out";
  TFigures f;
  f.Photos = assets;
  f.WriteMs = WriteInChild([&] { WriteIosLibrary(assets, root); });
  if (f.WriteMs < 0) return 1;

  TSimDevice::UseForProcess(QUILL_SIMDEVICE_PATH);
  TSimDevice::Configure(temp / "sim.conf", root, {});
  TFakePlatform platform;
  TConnectionEvents events;
  TIpodDevice device(platform, [&](bool connected, bool fromIos) {
    if (fromIos) events.Add(connected);
  });
  if (!events.WaitFor(1) || !device.IsIos) {
    std::fprintf(stderr, "the simulated device did not connect: %s\n",
                 device.Ios().LastError().c_str());
    return 1;
  }
  TCountingCellArea cells;
  TIpodPhotoDb db(device, &cells, true);
  auto start = TClock::now();
  const bool loaded = db.LoadPhotoLibrary();
  f.LoadMs = MsSince(start);
  f.Ok = loaded && db.Photos.Count() == static_cast<std::size_t>(assets) &&
         db.Albums.Count() == kAlbums;
  if (!f.Ok)
    std::printf("load: %zu assets, %zu albums\n", db.Photos.Count(), db.Albums.Count());
  ShowPages(db, f);
  TransferSelection(db, dest, f);
  // Every original arrived whole.
  for (const auto& entry : std::filesystem::directory_iterator(dest)) {
    const std::string name = entry.path().filename().string();
    const int index = std::atoi(name.c_str() + 4) - 1;
    const std::vector<std::uint8_t> bytes = ReadFile(entry.path().string());
    bool same = bytes.size() == 20000 + static_cast<std::size_t>(index % 97);
    for (std::size_t b = 0; same && b < bytes.size(); ++b)
      same = bytes[b] == static_cast<std::uint8_t>(b * 31 + static_cast<std::size_t>(index));
    if (!same) {
      std::printf("%s does not hold its original\n", name.c_str());
      f.Ok = false;
    }
    ++f.Written;
  }
  f.Ok = f.Ok && f.Written == kSelected;
  return Report("Photos.sqlite", f, db);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--ios") == 0)
    return RunIos(argc > 2 ? std::atoi(argv[2]) : 50000);
  const int photos = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (photos < kSelected) {
    std::fprintf(stderr, "at least %d photos\n", kSelected);
    return 2;
  }
  TTempDir temp;
  const std::string root = temp / "ipod";
  const std::string dest = temp / "out";
  TFigures f;
  f.Photos = photos;
  f.WriteMs = WriteInChild([&] { WriteLibrary(photos, root); });
  if (f.WriteMs < 0) return 1;

  TFakePlatform platform;
  TIpodDevice device(platform, nullptr);
  std::string error;
  if (!device.UseFolder(root, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  TCountingCellArea cells;
  TIpodPhotoDb db(device, &cells, true);
  const auto start = TClock::now();
  const bool loaded = db.LoadPhotoLibrary();
  f.LoadMs = MsSince(start);
  f.Ok = loaded && db.Photos.Count() == static_cast<std::size_t>(photos) &&
         db.Albums.Count() == kAlbums && db.ExportFormat.FormatId == 1015;
  if (!f.Ok)
    std::printf("load: %zu photos, %zu albums, export format %d\n", db.Photos.Count(),
                db.Albums.Count(), db.ExportFormat.FormatId);
  ShowPages(db, f);
  TransferSelection(db, dest, f);
  for (const auto& entry : std::filesystem::directory_iterator(dest)) {
    f.Written += entry.path().extension() == ".jpg" ? 1 : 0;
  }
  // Spot checks: the first and the last selected photo decode to their pixels
  // (JPEG of quality 80 of a small picture with sharp edges: above 25 dB).
  for (const int index : {0, photos - photos / kSelected}) {
    TBitmap24 decoded;
    const std::string file = dest + "/" + std::to_string(kFirstId + index) + ".jpg";
    const bool same = DecodeJpeg(ReadFile(file), decoded) &&
                      Psnr(decoded, ExpectedPicture(TRecordLayout::Rgb565,
                                                    TestPicture(130, 88, index), 130, 88)) > 25;
    if (!same) {
      std::printf("%s does not hold its photo\n", file.c_str());
      f.Ok = false;
    }
  }
  f.Ok = f.Ok && f.Written == kSelected;
  return Report("Photo Database", f, db);
}
