// The load test: a disk-mode library of 100,000 photos in 20 albums is
// loaded, paged and a 1,000-photo selection transferred on the transfer
// thread. Prints the figures and one tab-separated line starting with
// "load-figures" for scripts/reliability; exits 1 when anything went wrong.
//   quill-load-test [PHOTOS]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
#include "support/picture.h"
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

}  // namespace

int main(int argc, char** argv) {
  const int photos = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (photos < kSelected) {
    std::fprintf(stderr, "at least %d photos\n", kSelected);
    return 2;
  }
  TTempDir temp;
  const std::string root = temp / "ipod";
  const std::string dest = temp / "out";

  // The library is written by a child process so that its memory does not
  // count in the peak of the load.
  auto start = TClock::now();
  const pid_t child = fork();
  if (child == 0) {
    WriteLibrary(photos, root);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  const double writeMs = MsSince(start);
  const auto databaseBytes = std::filesystem::file_size(root + "/Photos/Photo Database");

  TFakePlatform platform;
  TIpodDevice device(platform, nullptr);
  std::string error;
  if (!device.UseFolder(root, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  TCountingCellArea cells;
  TIpodPhotoDb db(device, &cells, true);
  start = TClock::now();
  const bool loaded = db.LoadPhotoLibrary();
  const double loadMs = MsSince(start);
  bool ok = loaded && db.Photos.Count() == static_cast<std::size_t>(photos) &&
            db.Albums.Count() == kAlbums && db.ExportFormat.FormatId == 1015;
  if (!ok)
    std::printf("load: %zu photos, %zu albums, export format %d\n", db.Photos.Count(),
                db.Albums.Count(), db.ExportFormat.FormatId);

  // Every album's first and last page, and the first 100 pages of the library.
  db.SetPageLayout(false);
  start = TClock::now();
  int pages = 0;
  long cellsShown = 0;
  for (int album = 0; album < kAlbums; ++album) {
    const int count = db.AlbumPageCount(album);
    for (int page = 1; page <= count; ++page) {
      if (!(page == 1 || page == count || (album == 0 && page <= 100))) continue;
      const int made = db.ShowAlbumPage(album, page, 1);
      if (made <= 0) {
        std::printf("page %d of album %d is empty\n", page, album);
        ok = false;
      }
      cellsShown += made;
      ++pages;
    }
  }
  const double pageMs = MsSince(start);

  for (std::size_t i = 0; i < db.Photos.Count(); ++i) {
    if (Selected(static_cast<int>(i), photos)) db.Photos.Select(i);
  }
  std::string folder = dest;
  ok = ok && db.CheckOutputFolder(folder);
  TCallQueue queue;
  bool done = false;
  int notified = 0;
  start = TClock::now();
  {
    TPhotoCopyThread thread(db, queue.Dispatcher());
    thread.OnFile = [&](const std::string&) { ++notified; };
    thread.OnDone = [&] { done = true; };
    thread.Start();
    queue.RunUntil([&] { return done; });
    thread.Wait();
  }
  const double transferMs = MsSince(start);
  int written = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dest)) {
    written += entry.path().extension() == ".jpg" ? 1 : 0;
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
      ok = false;
    }
  }
  ok = ok && written == kSelected && notified == kSelected && !db.TransferHadErrors();
  const double peakMiB = static_cast<double>(PeakRssKiB()) / 1024.0;

  std::printf("library: %d photos, %d albums, Photo Database %.1f MiB (written in %.0f ms)\n",
              photos, kAlbums, static_cast<double>(databaseBytes) / 1048576.0, writeMs);
  std::printf("load: %.0f ms; pages: %d (%ld cells) in %.0f ms; transfer: %d of %d in %.0f ms\n",
              loadMs, pages, cellsShown, pageMs, written, kSelected, transferMs);
  std::printf("peak memory: %.1f MiB; result: %s\n", peakMiB, ok ? "ok" : "FAILED");
  if (!ok) std::printf("log:%s\n", db.LogText.c_str());
  std::printf("load-figures\t%d\t%d\t%.0f\t%d\t%.0f\t%d\t%.0f\t%.1f\t%s\n", photos, kAlbums, loadMs,
              pages, pageMs, written, transferMs, peakMiB, ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
