// Converting 12-megapixel HEIC photos to JPEG against libheif's own
// heif-convert, on the same files in the same run (wall time per photo;
// both decode with libheif's threads).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "support/bitmap.h"
#include "support/heic_jpeg.h"
#include "support/ipod_writer.h"
#include "support/picture.h"

namespace {

namespace fs = std::filesystem;
using namespace quill;

// A photo-like picture: smooth gradients with edges and some texture.
TBitmap24 Drawn(int width, int height, int seed) {
  TBitmap24 bitmap;
  bitmap.SetSize(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bitmap.Row(y);
    for (int x = 0; x < width; ++x) {
      const int noise = ((x * 7 + y * 13 + seed) * 2654435761u >> 28) & 15;
      const bool square = ((x / 300 + y / 300 + seed) & 1) != 0;
      row[3 * x] = static_cast<std::uint8_t>(x * 255 / width / 2 + noise + (square ? 60 : 0));
      row[3 * x + 1] = static_cast<std::uint8_t>(y * 255 / height / 2 + noise);
      row[3 * x + 2] = static_cast<std::uint8_t>((x + y) * 255 / (width + height) + (square ? 0 : 40));
    }
  }
  return bitmap;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
  if (!HeicConversionAvailable()) {
    std::fprintf(stderr, "this build has no HEIF decoder\n");
    return 1;
  }
  const fs::path dir = fs::temp_directory_path() / ("quill-heic-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  constexpr int kPhotos = 3;
  std::vector<std::vector<std::uint8_t>> heics;
  for (int k = 0; k < kPhotos; ++k) {
    std::vector<std::uint8_t> jpeg;
    if (!EncodeJpeg(Drawn(4032, 3024, k), 95, jpeg)) return 1;
    const std::string in = (dir / ("drawn" + std::to_string(k) + ".jpg")).string();
    const std::string out = (dir / ("photo" + std::to_string(k) + ".heic")).string();
    testing::WriteFile(in, jpeg);
    if (std::system(("heif-enc -q 50 -o '" + out + "' '" + in + "' >/dev/null").c_str()) != 0) {
      std::fprintf(stderr, "heif-enc failed (libheif-examples)\n");
      return 1;
    }
    heics.push_back(testing::ReadFile(out));
  }

  std::vector<double> ours, theirs;
  for (int r = 0; r < rounds; ++r) {
    double start = bench::WallSeconds();
    for (int k = 0; k < kPhotos; ++k) {
      std::vector<std::uint8_t> jpeg;
      TExifPlacement exif;
      std::string reason;
      if (!ConvertHeicToJpeg(heics[static_cast<std::size_t>(k)], "0123456789abcdef0123456789abcdef",
                             jpeg, exif, reason)) {
        std::fprintf(stderr, "conversion failed: %s\n", reason.c_str());
        return 1;
      }
      testing::WriteFile((dir / ("ours" + std::to_string(k) + ".jpg")).string(), jpeg);
    }
    ours.push_back((bench::WallSeconds() - start) / kPhotos);
    start = bench::WallSeconds();
    for (int k = 0; k < kPhotos; ++k) {
      const std::string command = "heif-convert --quiet -q 92 '" +
                                  (dir / ("photo" + std::to_string(k) + ".heic")).string() + "' '" +
                                  (dir / ("theirs" + std::to_string(k) + ".jpg")).string() +
                                  "' >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "heif-convert failed\n");
        return 1;
      }
    }
    theirs.push_back((bench::WallSeconds() - start) / kPhotos);
  }
  fs::remove_all(dir);
  const double a = bench::Median(ours), b = bench::Median(theirs);
  const double ratio = a / b;
  bench::Row("HEIC to JPEG, 12 MP, per photo (wall) <= 0.9 x heif-convert",
             bench::Format("%.0f ms", a * 1000), bench::Format("%.0f ms", b * 1000), ratio,
             ratio <= 0.9,
             "spread " + bench::Format("%.0f%%", bench::SpreadPercent(ours)) + " / " +
                 bench::Format("%.0f%%", bench::SpreadPercent(theirs)));
  return 0;
}
