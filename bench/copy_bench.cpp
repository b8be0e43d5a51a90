// Copies of originals and camera files: CopyFileNoOverwrite of the native
// platform (the path every original and camera file takes) against cp of the
// same files into another folder of the same disk, in alternating rounds.
// Throughput is bytes over wall time; both read the sources from the page
// cache after a first pass.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "device/platform/platform.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using namespace quill::bench;
namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  int files = 60;
  std::size_t fileBytes = 3u << 20;  // a camera photo of some 3 MB
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--files" && i + 1 < argc) files = std::max(1, std::atoi(argv[++i]));
  }
  // The temporary folder may be a RAM disk; the copies go to the disk where
  // the program's output would (the working folder's disk) unless told.
  const char* where = std::getenv("QUILL_BENCH_DIR");
  const fs::path base = fs::absolute(where && *where ? where : "bench-copy.tmp");
  fs::remove_all(base);
  fs::create_directories(base / "src");
  std::mt19937 random(5);
  std::vector<std::uint8_t> bytes(fileBytes);
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    names.push_back("IMG_" + std::to_string(1000 + i) + ".JPG");
    testing::WriteFile((base / "src" / names.back()).string(), bytes);
  }
  const double total = static_cast<double>(fileBytes) * files;
  const auto platform = CreateNativePlatform();

  std::vector<double> ours, cp, ratios;
  for (int r = 0; r <= rounds; ++r) {
    fs::remove_all(base / "ours");
    fs::remove_all(base / "cp");
    fs::create_directories(base / "ours");
    fs::create_directories(base / "cp");
    ::sync();
    double start = WallSeconds();
    for (const std::string& name : names) {
      if (platform->CopyFileNoOverwrite((base / "src" / name).string(),
                                        (base / "ours" / name).string()) != 0) {
        std::fprintf(stderr, "copy of %s failed\n", name.c_str());
        return 1;
      }
    }
    const double oursSeconds = WallSeconds() - start;
    ::sync();
    std::vector<std::string> args = {"cp", "--preserve=timestamps"};
    for (const std::string& name : names) args.push_back((base / "src" / name).string());
    args.push_back((base / "cp").string() + "/");
    double cpu = 0, cpWall = 0;
    if (RunTimed(args, cpu, cpWall) != 0) {
      std::fprintf(stderr, "cp failed\n");
      return 1;
    }
    if (r == 0) continue;  // the first round fills the page cache
    ours.push_back(total / oursSeconds / 1e6);
    cp.push_back(total / cpWall / 1e6);
    ratios.push_back((total / oursSeconds) / (total / cpWall));
  }
  fs::remove_all(base);
  std::fprintf(stderr, "copy: ours %.0f MB/s, cp %.0f MB/s, ratio %.2f, spread %.0f%%\n",
               Median(ours), Median(cp), Median(ratios), SpreadPercent(ratios));
  Row("5. copy throughput of originals/camera files vs cp", Format("%.0f MB/s", Median(ours)),
      Format("%.0f MB/s", Median(cp)), Median(ratios), Median(ratios) >= 0.9,
      std::to_string(files) + " files of 3 MB" + Format(", ratio spread %.0f%%", SpreadPercent(ratios)));
  return 0;
}
