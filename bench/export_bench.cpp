// Export speed per record layout against the floor: TurboJPEG alone encoding
// the same decoded pixels at quality 80, measured in the same run, in rounds
// that alternate the two so that the load of a shared machine hits both. The
// time is the exporting thread's CPU time (its system calls included), the
// one-core cost. Each round also writes the exported files once more into a
// new folder, with no decoding or encoding: the disk's own part of the
// export, printed beside the ratio. With --tools, the same photos also go through ffmpeg and
// ImageMagick's convert, one process per photo as a script would run them.
// With --peak, a child process exports 5,000 photos and reports its peak
// resident memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "device/ipod_device.h"
#include "device/platform/platform.h"
#include "library/ipod_photo_db.h"
#include "support/ipod_writer.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace {

using namespace quill;
using namespace quill::bench;
using testing::TRecordLayout;

struct TCase {
  const char* Name;
  std::int32_t FormatId;
  TRecordLayout Layout;
  int Width;
  int Height;
  const char* FfmpegPixFmt;  // the record as ffmpeg's raw input, or null (a JPEG record)
  // The exporter keeps to one thread (stored JPEGs, the smallest pictures):
  // its two-thread row shows that this costs nothing rather than a speed-up.
  bool OneThread;
};

const TCase kCases[] = {
    {"RGB565", 1024, TRecordLayout::Rgb565, 320, 240, "rgb565le", false},
    {"nRGB", 1023, TRecordLayout::SwappedRgb565, 176, 132, "rgb565be", true},
    {"uYUV", 1019, TRecordLayout::InterlacedUyvy, 720, 480, "uyvy422", false},
    {"Yuv", 1067, TRecordLayout::PlanarYuv420, 720, 480, "yuv420p", false},
    {"Jpg", 1081, TRecordLayout::Jpeg, 640, 480, nullptr, true},
};

// A generated iPod of `photos` photos of one layout, loaded and all selected.
class TLibraryFixture {
public:
  TLibraryFixture(const TCase& c, int photos) {
    testing::TLibrarySpec desc;
    testing::TFormatSpec exportFormat;
    exportFormat.FormatId = c.FormatId;
    exportFormat.Layout = c.Layout;
    exportFormat.Width = c.Width;
    exportFormat.Height = c.Height;
    desc.Formats.push_back(exportFormat);
    testing::TFormatSpec thumbs;
    thumbs.FormatId = 1036;
    thumbs.Layout = TRecordLayout::Rgb565;
    thumbs.Width = 50;
    thumbs.Height = 41;
    desc.Formats.push_back(thumbs);
    testing::TAlbumSpec all;
    all.Title = "Photo Library";
    for (int i = 0; i < photos; ++i) {
      testing::TPhotoSpec photo;
      photo.Id = static_cast<std::uint32_t>(100 + i);
      photo.Picture = testing::TestPicture(c.Width, c.Height, photo.Id);
      all.PhotoIds.push_back(photo.Id);
      Decoded.push_back(testing::ExpectedPicture(c.Layout, photo.Picture, c.Width, c.Height));
      desc.Photos.push_back(std::move(photo));
    }
    desc.Albums.push_back(all);
    testing::WriteIpod(desc, root_.Path() + "/ipod");
    platform_ = CreateNativePlatform();
    device_ = std::make_unique<TIpodDevice>(*platform_, nullptr);
    std::string error;
    if (!device_->UseFolder(root_.Path() + "/ipod", error)) throw std::runtime_error(error);
    Db = std::make_unique<TIpodPhotoDb>(*device_, nullptr, false);
    if (!Db->LoadPhotoLibrary()) throw std::runtime_error("library did not load");
    for (std::size_t i = 0; i < Db->Photos.Count(); ++i) Db->Photos.Select(i);
  }

  // A new empty output folder for the next export. The folders of earlier
  // rounds stay until the fixture goes: deleting thousands of files just
  // before a timed export would charge it the file system's clean-up.
  void Clean() {
    const std::string out = root_.Path() + "/out" + std::to_string(++folders_);
    std::filesystem::create_directories(out);
    Db->DestFolder = out + "/";
  }
  // Exports every selected photo into the folder; answers the files written.
  int Export() { return Db->TransferDiskPhotos(); }

  std::string Root() const { return root_.Path(); }
  std::string Folder() const { return Db->DestFolder; }
  TPlatform& Platform() { return *platform_; }
  std::string IthmbPath(int fileNumber) const {
    return root_.Path() + "/ipod/Photos/Thumbs/" +
           testing::IthmbFileName(Db->ExportFormat.FormatId, fileNumber);
  }

  std::vector<TBitmap24> Decoded;
  std::unique_ptr<TIpodPhotoDb> Db;

private:
  testing::TTempDir root_;
  int folders_ = 0;
  std::unique_ptr<TPlatform> platform_;
  std::unique_ptr<TIpodDevice> device_;
};

struct TLayoutResult {
  std::vector<double> ExportCpu, FloorCpu, ExportWall, FloorWall, Ratios, PipelinedWall, WriteCpu;
  std::vector<double> PlainCpu, StampRatios, RerunCpu, RerunRatios;
};

// The exported files of a folder, to be written again.
std::vector<std::vector<std::uint8_t>> ReadOutputs(TPlatform& platform, const std::string& folder) {
  std::vector<std::vector<std::uint8_t>> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::vector<std::uint8_t> bytes;
    if (platform.ReadWholeFile(entry.path().string(), bytes) == 0) files.push_back(std::move(bytes));
  }
  return files;
}

// The disk's own part of an export: CPU seconds to write the same files
// into a new folder the way the exporters do (a file that is never seen
// half-written under its name), with no decoding or encoding.
double WriteCost(TPlatform& platform, const std::string& folder,
                 const std::vector<std::vector<std::uint8_t>>& files) {
  const double start = ThreadCpuSeconds();
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string name = folder;
    name += std::to_string(i);
    name += ".jpg";
    platform.WriteFileNoOverwrite(name, files[i]);
  }
  return ThreadCpuSeconds() - start;
}

double FloorEncode(const std::vector<TBitmap24>& pictures, double& wall) {
  std::vector<std::uint8_t> jpeg;
  const double wallStart = WallSeconds();
  const double start = ThreadCpuSeconds();
  for (const TBitmap24& picture : pictures) {
    EncodeJpeg(picture, 80, jpeg);
    benchmark::DoNotOptimize(jpeg.data());
  }
  const double cpu = ThreadCpuSeconds() - start;
  wall = WallSeconds() - wallStart;
  return cpu;
}

// The raw records of the first photos, each in a file of its own, as a
// script would cut them out for ffmpeg; and the decoded pixels as BGR for
// convert, which reads no 16-bit or interlaced layouts.
struct TToolInputs {
  std::vector<std::string> Records, Bgr;
};

TToolInputs CutRecords(TLibraryFixture& fixture, const TCase& c, int count) {
  TToolInputs inputs;
  std::ifstream ithmb(fixture.IthmbPath(1), std::ios::binary);
  const std::filesystem::path folder = fixture.Root() + "/tools";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < count; ++i) {
    const TPhotoItem& photo = fixture.Db->Photos.Items(static_cast<std::size_t>(i));
    const std::size_t size = c.FfmpegPixFmt == nullptr
                                 ? photo.ImageSize
                                 : static_cast<std::size_t>(fixture.Db->ExportFormat.SlotBytes);
    std::vector<char> bytes(size);
    ithmb.seekg(photo.ImageOffset);
    ithmb.read(bytes.data(), static_cast<std::streamsize>(size));
    // Names built piece by piece: GCC 12 warns falsely (-Wrestrict) on the
    // chained form at -O3.
    std::string recordName = "r";
    recordName += std::to_string(i);
    recordName += c.FfmpegPixFmt ? ".raw" : ".jpg";
    const std::string record = (folder / recordName).string();
    std::ofstream(record, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    inputs.Records.push_back(record);
    const TBitmap24& picture = fixture.Decoded[static_cast<std::size_t>(i)];
    std::string bgrName = "p";
    bgrName += std::to_string(i);
    bgrName += ".bgr";
    const std::string bgr = (folder / bgrName).string();
    std::ofstream(bgr, std::ios::binary)
        .write(reinterpret_cast<const char*>(picture.Pixels().data()),
               static_cast<std::streamsize>(picture.Pixels().size()));
    inputs.Bgr.push_back(bgr);
  }
  return inputs;
}

// CPU seconds per photo of a tool over the inputs; negative when it failed.
double ToolPerPhoto(const TCase& c, const TToolInputs& inputs, const std::string& outFolder,
                    bool ffmpeg) {
  double cpu = 0, wall = 0;
  for (std::size_t i = 0; i < inputs.Records.size(); ++i) {
    const std::string out = outFolder + "/t" + std::to_string(i) + ".jpg";
    std::filesystem::remove(out);
    std::vector<std::string> args;
    if (ffmpeg) {
      // -q:v 4 gives files of about the size quality 80 gives.
      args = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-threads", "1"};
      if (c.FfmpegPixFmt) {
        const std::string size = std::to_string(c.Width) + "x" + std::to_string(c.Height);
        args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", c.FfmpegPixFmt, "-s", size});
      }
      args.insert(args.end(), {"-i", inputs.Records[i]});
      if (c.Layout == TRecordLayout::InterlacedUyvy) args.insert(args.end(), {"-vf", "scale=640:480"});
      if (c.FfmpegPixFmt) {
        args.insert(args.end(), {"-q:v", "4", "-frames:v", "1", out});
      } else {
        args.insert(args.end(), {"-c", "copy", "-frames:v", "1", out});
      }
    } else {
      if (c.FfmpegPixFmt) {
        const int width = c.Layout == TRecordLayout::InterlacedUyvy ? 640 : c.Width;
        args = {"convert", "-size", std::to_string(width) + "x" + std::to_string(c.Height),
                "-depth", "8", "bgr:" + inputs.Bgr[i], "-quality", "80", out};
      } else {
        args = {"convert", inputs.Records[i], "-quality", "80", out};
      }
    }
    if (RunTimed(args, cpu, wall) != 0) return -1;
  }
  return cpu / static_cast<double>(inputs.Records.size());
}

// The child of --peak: 5,000 photos of the widest layout exported, the peak
// resident memory of the export alone (the high-water mark is reset first).
long VmKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

int PeakChild() {
  constexpr int kRecords = 40;
  constexpr int kPhotos = 5000;
  TLibraryFixture fixture(kCases[2], kRecords);
  fixture.Decoded.clear();
  fixture.Decoded.shrink_to_fit();
  // The photos share the records: the export reads and writes 5,000 photos
  // while the generated device stays small.
  TPhotoList& photos = fixture.Db->Photos;
  for (int i = kRecords; i < kPhotos; ++i) {
    const TPhotoItem model = photos.Items(static_cast<std::size_t>(i % kRecords));
    TPhotoItem& photo = photos.Add();
    photo = model;
    photo.Selected = false;
    photo.Id = static_cast<std::uint32_t>(100 + i);
    photos.Select(photos.Count() - 1);
  }
  std::ofstream("/proc/self/clear_refs") << "5";
  fixture.Clean();
  const long before = VmKb("VmRSS:");
  const int written = fixture.Export();
  const long peak = VmKb("VmHWM:");
  std::printf("PEAK\t%d\t%ld\t%ld\n", written, peak, before);
  return written == kPhotos ? 0 : 1;
}

void RunPeak(const char* self) {
  const std::string command = std::string(self) + " --peak-child";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return;
  char line[256];
  int written = 0;
  long peak = -1, before = -1;
  while (std::fgets(line, sizeof line, pipe)) {
    std::sscanf(line, "PEAK\t%d\t%ld\t%ld", &written, &peak, &before);
  }
  pclose(pipe);
  if (peak < 0) {
    Row("6. peak memory, 5,000-photo export (uYUV)", "failed", "64 MB", 0, false);
    return;
  }
  const double mb = static_cast<double>(peak) / 1024.0;
  Row("6. peak memory, 5,000-photo export (uYUV)", Format("%.1f MB", mb), "64 MB limit", mb / 64.0,
      mb < 64.0 && written == 5000,
      Format("RSS before export %.1f MB", static_cast<double>(before) / 1024.0));
}

// What putting an export on the disk before "Done" costs: the flush's wall
// time against the export's, in the same rounds. Whatever earlier rounds (or
// other programs) left dirty is written out before each round, so that the
// flush pays for this export's files only.
void FlushRow(TLibraryFixture& fixture, int rounds, int photos) {
  std::vector<double> ratios, exports, flushes;
  for (int r = 0; r < rounds; ++r) {
    fixture.Db->PipelinedExport = false;
    fixture.Clean();
    fixture.Platform().FlushWritten(fixture.Folder(), {});
    const double start = WallSeconds();
    if (fixture.Export() != photos) std::fprintf(stderr, "flush row: export short\n");
    const double exported = WallSeconds();
    fixture.Db->FlushTransfer();
    const double flushed = WallSeconds();
    exports.push_back((exported - start) * 1000);
    flushes.push_back((flushed - exported) * 1000);
    ratios.push_back((flushed - exported) / (exported - start));
  }
  const double ratio = Median(ratios);
  Row("1. flush before \"Done\" vs the export (wall, ext4 or the build's file system)",
      Format("%.2f ms", Median(flushes)), Format("%.2f ms", Median(exports)), ratio,
      ratio <= 0.05,
      std::to_string(photos) + " photos; limit 0.05; " +
          Format("ratio spread %.0f%%", SpreadPercent(ratios)));
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  int photos = 100;
  bool tools = false;
  bool peak = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--peak-child") return PeakChild();
    if (arg == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--photos" && i + 1 < argc) photos = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--tools") tools = true;
    else if (arg == "--peak") peak = true;
    else if (arg == "--only" && i + 1 < argc) only = argv[++i];
  }

  // Every fixture stays until the end: deleting one's files just before the
  // next layout's rounds would make the file system's inode search pass
  // over them (ext4 without a journal skips inodes freed in the last minute).
  std::vector<std::unique_ptr<TLibraryFixture>> fixtures;
  for (const TCase& c : kCases) {
    if (!only.empty() && only != c.Name) continue;
    TLibraryFixture& fixture = *fixtures.emplace_back(std::make_unique<TLibraryFixture>(c, photos));
    TLayoutResult result;
    fixture.Clean();
    fixture.Export();  // warms the page cache and the encoder
    const auto outputs = ReadOutputs(fixture.Platform(), fixture.Folder());
    const bool twoCores = std::thread::hardware_concurrency() > 1;
    for (int r = 0; r < rounds; ++r) {
      // The one-core cost: decoding on the exporting thread.
      fixture.Db->PipelinedExport = false;
      // The same export without EXIF blocks, identifiers and file times,
      // before the full one in every other round: whichever export follows
      // a round's writing pays for some of its write-back.
      double plain = 0;
      const auto exportPlain = [&] {
        fixture.Db->StampExports = false;
        fixture.Clean();
        const double plainStart = ThreadCpuSeconds();
        fixture.Export();
        plain = ThreadCpuSeconds() - plainStart;
        fixture.Db->StampExports = true;
      };
      const bool plainFirst = r % 2 == 1;
      if (plainFirst) exportPlain();
      fixture.Clean();
      const double wallStart = WallSeconds();
      const double start = ThreadCpuSeconds();
      const int written = fixture.Export();
      const double cpu = ThreadCpuSeconds() - start;
      const double wall = WallSeconds() - wallStart;
      if (written != photos) std::fprintf(stderr, "%s: %d of %d written\n", c.Name, written, photos);
      // A rerun over the files just written finds every photo there.
      const double rerunStart = ThreadCpuSeconds();
      if (fixture.Export() != 0) std::fprintf(stderr, "%s: rerun wrote files\n", c.Name);
      const double rerun = ThreadCpuSeconds() - rerunStart;
      result.RerunCpu.push_back(rerun * 1000 / photos);
      result.RerunRatios.push_back(rerun / cpu);
      if (!plainFirst) exportPlain();
      result.PlainCpu.push_back(plain * 1000 / photos);
      result.StampRatios.push_back(cpu / plain);
      double floorWall = 0;
      const double floorCpu = FloorEncode(fixture.Decoded, floorWall);
      result.ExportCpu.push_back(cpu * 1000 / photos);
      result.FloorCpu.push_back(floorCpu * 1000 / photos);
      result.ExportWall.push_back(wall * 1000 / photos);
      result.FloorWall.push_back(floorWall * 1000 / photos);
      result.Ratios.push_back(cpu / floorCpu);
      fixture.Clean();
      result.WriteCpu.push_back(WriteCost(fixture.Platform(), fixture.Folder(), outputs) * 1000 /
                                static_cast<double>(std::max<std::size_t>(outputs.size(), 1)));
      if (twoCores) {
        // Decoding on a second thread, ahead of the writing: wall time.
        fixture.Db->PipelinedExport = true;
        fixture.Clean();
        const double twoStart = WallSeconds();
        if (fixture.Export() != photos) std::fprintf(stderr, "%s: pipelined export short\n", c.Name);
        result.PipelinedWall.push_back((WallSeconds() - twoStart) * 1000 / photos);
      }
    }
    const double ratio = Median(result.Ratios);
    const double write = Median(result.WriteCpu);
    // What the export costs beyond writing its files, against the floor.
    const double withoutWrite = (Median(result.ExportCpu) - write) / Median(result.FloorCpu);
    std::fprintf(stderr,
                 "%-7s export %.3f ms/photo (wall %.3f), floor %.3f ms/photo (wall %.3f), "
                 "ratio %.2f, spread of ratios %.0f%%, writing the files alone %.3f ms/photo\n",
                 c.Name, Median(result.ExportCpu), Median(result.ExportWall),
                 Median(result.FloorCpu), Median(result.FloorWall), ratio,
                 SpreadPercent(result.Ratios), write);
    Row(std::string("1. export ") + c.Name + " vs TurboJPEG q80 alone",
        Format("%.3f ms/photo", Median(result.ExportCpu)),
        Format("%.3f ms/photo", Median(result.FloorCpu)), ratio, ratio <= 1.2,
        Format("ratio spread %.0f%%; ", SpreadPercent(result.Ratios)) +
            Format("writing the same files alone %.3f ms/photo, ", write) +
            Format("the rest %.2f of the floor", withoutWrite));

    const double stamp = Median(result.StampRatios);
    Row(std::string("1. export ") + c.Name + " with EXIF and file times vs without",
        Format("%.3f ms/photo", Median(result.ExportCpu)),
        Format("%.3f ms/photo", Median(result.PlainCpu)), stamp, stamp <= 1.03,
        Format("ratio spread %.0f%%", SpreadPercent(result.StampRatios)));
    const double rerun = Median(result.RerunRatios);
    Row(std::string("1. rerun ") + c.Name + " over every photo there vs the first export",
        Format("%.3f ms/photo", Median(result.RerunCpu)),
        Format("%.3f ms/photo", Median(result.ExportCpu)), rerun, rerun <= 1.0,
        Format("ratio spread %.0f%%", SpreadPercent(result.RerunRatios)));

    if (twoCores) {
      const double one = Median(result.ExportWall);
      const double two = Median(result.PipelinedWall);
      // A one-thread exporter meets its row when the second core costs it
      // nothing beyond the rounds' noise.
      const bool met = c.OneThread ? two <= one * 1.05 : two < one;
      Row(std::string("1. export ") + c.Name + " on 2 threads vs 1 (wall)",
          Format("%.3f ms/photo", two), Format("%.3f ms/photo", one), two / one, met,
          (c.OneThread ? std::string("one thread by design; ") : std::string()) +
              Format("speed-up %.2fx; ", one / two) +
              Format("vs TurboJPEG alone (wall) %.2f", two / Median(result.FloorWall)));
    }

    if (tools) {
      constexpr int kToolPhotos = 10;
      const TToolInputs inputs = CutRecords(fixture, c, std::min(kToolPhotos, photos));
      const std::string out = fixture.Root() + "/tools-out";
      std::filesystem::create_directories(out);
      const double ours = Median(result.ExportCpu);
      for (const bool ffmpeg : {true, false}) {
        const char* tool = ffmpeg ? "ffmpeg" : "convert";
        const std::string target =
            std::string("2. export ") + c.Name + " vs " + (ffmpeg ? "ffmpeg" : "ImageMagick convert");
        if (!OnPath(tool)) {
          Row(target, "-", std::string(tool) + " missing", 0, false);
          continue;
        }
        const double perPhoto = ToolPerPhoto(c, inputs, out, ffmpeg);
        if (perPhoto <= 0) {
          Row(target, Format("%.3f ms/photo", ours), std::string(tool) + " failed", 0, false);
          continue;
        }
        Row(target, Format("%.3f ms/photo", ours), Format("%.3f ms/photo", perPhoto * 1000),
            ours / (perPhoto * 1000), ours < perPhoto * 1000, "per process, CPU time");
      }
    }
  }
  if (!fixtures.empty()) FlushRow(*fixtures.front(), rounds, photos);
  if (peak) RunPeak(argv[0]);
  return 0;
}
