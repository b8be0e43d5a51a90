// The photo browser's page side on a 50,000-photo library: building the last
// page of 400 cells and selecting (then unselecting) the whole album, each
// against the per-position pass over Photos that the searches by id would
// cost without the index. With the Qt window built, the same page is also
// built as widgets in the window's cell area.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/ipod_device.h"
#include "device/platform/platform.h"
#include "library/cell_area.h"
#include "library/ipod_photo_db.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

#ifdef QUILL_BENCH_QT
#include <QApplication>
#include <QScrollArea>

#include "ui/qt_cell_area.h"
#endif

namespace {

using namespace quill;

constexpr int kPhotos = 50000;
constexpr int kRecords = 400;
constexpr int kSlot = 42 * 37 * 2;  // format 1032

// Keeps only the count: the page side's own work, without any toolkit.
class TCountingArea : public TCellArea {
public:
  int AddCell(TCellSpec) override { return count_++; }
  void FreeAllCells() override { count_ = 0; }
  int CellCount() const override { return count_; }
  std::int32_t CellId(int) const override { return 0; }
  bool CellSelected(int) const override { return false; }
  void SetCellSelected(int, bool) override {}
  void SetEnabled(bool) override {}
  void SetVisible(bool) override {}

private:
  int count_ = 0;
};

// A folder iPod whose thumbnail file holds 400 records; the 50,000 photos
// share them, so that the file stays small while Photos is long.
struct TLibrary {
  testing::TTempDir Dir;
  std::unique_ptr<TPlatform> Platform = CreateNativePlatform();
  std::unique_ptr<TIpodDevice> Device;
  TCountingArea Area;
  std::unique_ptr<TIpodPhotoDb> Db;

  TLibrary() {
    std::filesystem::create_directories(Dir / "iPod_Control/iTunes");
    std::filesystem::create_directories(Dir / "Photos/Thumbs");
    std::vector<std::uint8_t> file(static_cast<std::size_t>(kRecords) * kSlot);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 131 + i / 7);
    testing::WriteFile(Dir / "Photos/Thumbs/F1032_1.ithmb", file);
    Device = std::make_unique<TIpodDevice>(*Platform, nullptr);
    std::string error;
    if (!Device->UseFolder(Dir.Path(), error)) std::fprintf(stderr, "device: %s\n", error.c_str());
    Db = std::make_unique<TIpodPhotoDb>(*Device, &Area, true);
    Db->ThumbFormat.FormatId = 1032;
    Db->ThumbFormat.Width = 42;
    Db->ThumbFormat.Height = 37;
    Db->ThumbFormat.SlotBytes = kSlot;
    Db->SetPageLayout(false);
    TPhotoAlbumItem& all = Db->Albums.Add();
    all.Name = "Photo Library";
    // Ids in an order unlike list order, as libraries edited over years have them.
    for (int i = 0; i < kPhotos; ++i) {
      TPhotoItem& photo = Db->Photos.Add();
      photo.Id = static_cast<std::uint32_t>((static_cast<std::uint64_t>(i) * 7919) % kPhotos) + 64;
      photo.ThumbOffset = static_cast<std::uint32_t>((i % kRecords) * kSlot);
      photo.ImageSize = 100000;
      all.PhotoIds.push_back(photo.Id);
    }
    all.Count = kPhotos;
  }
};

TLibrary& Library() {
  static TLibrary library;
  return library;
}

int LastPage() { return Library().Db->AlbumPageCount(0); }

void BM_ShowAlbumPage(benchmark::State& state) {
  TLibrary& lib = Library();
  const int page = LastPage();
  int cells = 0;
  for (auto _ : state) {
    cells = lib.Db->ShowAlbumPage(0, page, 1);
    benchmark::DoNotOptimize(cells);
  }
  state.counters["cells"] = cells;
}
BENCHMARK(BM_ShowAlbumPage)->Unit(benchmark::kMillisecond);

// The pass over Photos per album position that a page would need without
// the index: only the search, none of the reads.
void BM_PageSearchWithoutIndex(benchmark::State& state) {
  TLibrary& lib = Library();
  const TPhotoAlbumItem& album = lib.Db->Albums.Items(0);
  const std::size_t first = static_cast<std::size_t>(LastPage() - 1) * static_cast<std::size_t>(lib.Db->CellsPerPage);
  for (auto _ : state) {
    std::size_t found = 0;
    for (std::size_t k = first; k < album.PhotoIds.size() && k < first + 400; ++k) {
      for (std::size_t i = 0; i < lib.Db->Photos.Count(); ++i) {
        if (lib.Db->Photos.Items(i).Id == album.PhotoIds[k]) ++found;
      }
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_PageSearchWithoutIndex)->Unit(benchmark::kMillisecond);

void BM_SelectWholeAlbum(benchmark::State& state) {
  TLibrary& lib = Library();
  bool select = true;
  for (auto _ : state) {
    lib.Db->SelectAlbumPhotos(select ? TSelectOp::SelectAll : TSelectOp::UnselectAll, 0);
    select = !select;
  }
  state.counters["photos"] = static_cast<double>(lib.Db->Albums.Items(0).PhotoIds.size());
  lib.Db->SelectAlbumPhotos(TSelectOp::UnselectAll, 0);
}
BENCHMARK(BM_SelectWholeAlbum)->Unit(benchmark::kMillisecond);

// Selecting all by a search of Photos from its start for every position.
void BM_SelectWithoutIndex(benchmark::State& state) {
  TLibrary& lib = Library();
  const TPhotoAlbumItem& album = lib.Db->Albums.Items(0);
  for (auto _ : state) {
    for (std::uint32_t id : album.PhotoIds) {
      for (std::size_t i = 0; i < lib.Db->Photos.Count(); ++i) {
        if (lib.Db->Photos.Items(i).Id == id) {
          lib.Db->Photos.Select(i);
          break;
        }
      }
    }
    state.PauseTiming();
    for (std::size_t i = 0; i < lib.Db->Photos.Count(); ++i) lib.Db->Photos.Unselect(i);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SelectWithoutIndex)->Unit(benchmark::kMillisecond)->Iterations(1);

#ifdef QUILL_BENCH_QT
// The same page as widgets in the window's cell area.
void BM_ShowAlbumPageInWindow(benchmark::State& state) {
  TLibrary& lib = Library();
  QScrollArea scroll;
  scroll.resize(630, 447);
  TQtCellArea area(scroll);
  lib.Db->CellArea = &area;
  const int page = LastPage();
  for (auto _ : state) {
    benchmark::DoNotOptimize(lib.Db->ShowAlbumPage(0, page, 1));
    QCoreApplication::processEvents();
  }
  state.counters["cells"] = area.CellCount();
  area.FreeAllCells();
  lib.Db->CellArea = &lib.Area;
}
BENCHMARK(BM_ShowAlbumPageInWindow)->Unit(benchmark::kMillisecond);
#endif

// Prints each indexed operation against its search without the index.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
  TRatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    Ratio("page of 400 cells", "BM_PageSearchWithoutIndex", "BM_ShowAlbumPage");
    Ratio("select all of 50,000", "BM_SelectWithoutIndex/iterations:1", "BM_SelectWholeAlbum");
  }

private:
  void Ratio(const char* what, const std::string& without, const std::string& with) {
    const auto a = times_.find(without), b = times_.find(with);
    if (a == times_.end() || b == times_.end() || b->second <= 0) return;
    std::printf("%-22s %9.2f ms with the index, %9.2f ms searching Photos: %.0fx faster\n", what, b->second,
                a->second, a->second / b->second);
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef QUILL_BENCH_QT
  qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
  QApplication app(argc, argv);
#endif
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
