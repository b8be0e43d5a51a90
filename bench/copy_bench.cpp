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
#include "device/ipod_device.h"
#include "device/platform/platform.h"
#include "support/sim_device.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using namespace quill::bench;
namespace fs = std::filesystem;

// A phone served by the simulated device library from folder, connected.
std::unique_ptr<TIpodDevice> Phone(TPlatform& platform, const fs::path& folder,
                                   testing::TConnectionEvents& events) {
  testing::TSimDevice::UseForProcess(QUILL_SIMDEVICE_PATH);
  testing::TSimDevice::Configure((folder.parent_path() / "sim.conf").string(), folder.string(), {});
  auto phone = std::make_unique<TIpodDevice>(platform, [&events](bool connected, bool fromIos) {
    if (fromIos) events.Add(connected);
  });
  if (!events.WaitFor(1) || !phone->IsIos) return nullptr;
  return phone;
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

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
  const auto platform = CreateNativePlatform();

  // First, while the process is small: a phone's long video over the
  // device's file service, whose bytes must never be held in memory whole.
  {
    const std::uint64_t videoBytes = std::uint64_t{3} << 29;  // 1.5 GiB
    fs::create_directories(base / "phone/DCIM/100APPLE");
    fs::create_directories(base / "phone/PhotoData");
    fs::create_directories(base / "video");
    {
      // Sparse: the device's side costs no disk.
      std::FILE* file = std::fopen((base / "phone/DCIM/100APPLE/IMG_0001.MOV").c_str(), "w");
      if (!file || ::ftruncate(fileno(file), static_cast<off_t>(videoBytes)) != 0) return 1;
      std::fclose(file);
    }
    testing::TConnectionEvents events;
    auto phone = Phone(*platform, base / "phone", events);
    if (!phone) {
      std::fprintf(stderr, "the simulated device did not connect\n");
      return 1;
    }
    const long before = PeakKiB();
    const double start = WallSeconds();
    const int rc = phone->CopyFileToPc("/DCIM/100APPLE/IMG_0001.MOV", (base / "video/IMG_0001.MOV").string());
    const double seconds = WallSeconds() - start;
    const double peakMiB = static_cast<double>(PeakKiB()) / 1024.0;
    const bool whole = rc == 0 && fs::file_size(base / "video/IMG_0001.MOV") == videoBytes;
    std::fprintf(stderr, "1.5 GiB video: %s in %.1f s, peak %.1f MiB (%.1f MiB before)\n",
                 whole ? "copied" : "NOT copied", seconds, peakMiB, static_cast<double>(before) / 1024.0);
    Row("5. peak memory copying a 1.5 GiB video (simulated device)", Format("%.1f MiB", peakMiB),
        "128 MiB limit", peakMiB / 128.0, whole && peakMiB < 128.0,
        "the process's peak resident size" + Format(", %.0f MB/s", static_cast<double>(videoBytes) / seconds / 1e6));
    fs::remove_all(base / "video");
    fs::remove_all(base / "phone");
  }
  std::mt19937 random(5);
  std::vector<std::uint8_t> bytes(fileBytes);
  std::vector<std::string> names;
  for (int i = 0; i < files; ++i) {
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    names.push_back("IMG_" + std::to_string(1000 + i) + ".JPG");
    testing::WriteFile((base / "src" / names.back()).string(), bytes);
  }
  const double total = static_cast<double>(fileBytes) * files;

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
  // Large files over the simulated device's file service against cp of
  // the same files.
  {
    const int large = 6;
    const std::size_t largeBytes = std::size_t{48} << 20;
    fs::create_directories(base / "phone/DCIM/100APPLE");
    fs::create_directories(base / "phone/PhotoData");
    std::vector<std::uint8_t> video(largeBytes);
    std::vector<std::string> videos;
    for (int i = 0; i < large; ++i) {
      for (auto& b : video) b = static_cast<std::uint8_t>(random());
      videos.push_back("IMG_" + std::to_string(2000 + i) + ".MOV");
      testing::WriteFile((base / "phone/DCIM/100APPLE" / videos.back()).string(), video);
    }
    testing::TConnectionEvents events;
    auto phone = Phone(*platform, base / "phone", events);
    if (!phone) {
      std::fprintf(stderr, "the simulated device did not connect\n");
      return 1;
    }
    const double bytes = static_cast<double>(largeBytes) * large;
    std::vector<double> iosOurs, iosCp, iosRatios;
    for (int r = 0; r <= rounds; ++r) {
      fs::remove_all(base / "ios");
      fs::remove_all(base / "cp");
      fs::create_directories(base / "ios");
      fs::create_directories(base / "cp");
      ::sync();
      double start = WallSeconds();
      for (const std::string& name : videos) {
        if (phone->CopyFileToPc("/DCIM/100APPLE/" + name, (base / "ios" / name).string()) != 0) {
          std::fprintf(stderr, "copy of %s over the device failed\n", name.c_str());
          return 1;
        }
      }
      const double oursSeconds = WallSeconds() - start;
      ::sync();
      std::vector<std::string> args = {"cp", "--preserve=timestamps"};
      for (const std::string& name : videos) args.push_back((base / "phone/DCIM/100APPLE" / name).string());
      args.push_back((base / "cp").string() + "/");
      double cpu = 0, cpWall = 0;
      if (RunTimed(args, cpu, cpWall) != 0) return 1;
      if (r == 0) continue;
      iosOurs.push_back(bytes / oursSeconds / 1e6);
      iosCp.push_back(bytes / cpWall / 1e6);
      iosRatios.push_back(cpWall / oursSeconds);
    }
    Row("5. copy throughput of large files over the simulated device vs cp",
        Format("%.0f MB/s", Median(iosOurs)), Format("%.0f MB/s", Median(iosCp)), Median(iosRatios),
        Median(iosRatios) >= 0.9,
        std::to_string(large) + " files of 48 MB" + Format(", ratio spread %.0f%%", SpreadPercent(iosRatios)));
  }

  fs::remove_all(base);
  std::fprintf(stderr, "copy: ours %.0f MB/s, cp %.0f MB/s, ratio %.2f, spread %.0f%%\n",
               Median(ours), Median(cp), Median(ratios), SpreadPercent(ratios));
  Row("5. copy throughput of originals/camera files vs cp", Format("%.0f MB/s", Median(ours)),
      Format("%.0f MB/s", Median(cp)), Median(ratios), Median(ratios) >= 0.9,
      std::to_string(files) + " files of 3 MB" + Format(", ratio spread %.0f%%", SpreadPercent(ratios)));
  return 0;
}
