// Exports with decoding on a second thread must be indistinguishable from the
// one-thread run: the same notifications in the same order, the same item
// results and log lines, the same files with the same bytes, and a stop that
// ends the run after the same photo with nothing written after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TRecordLayout;

// Everything a user or the window can observe of one export run.
struct TRunRecord {
  std::vector<std::string> Notified;
  std::vector<std::tuple<std::string, TItemOutcome, std::string>> Items;
  std::string Log;
  int Written = 0;
  std::map<std::string, std::vector<std::uint8_t>> Files;
  // The .ithmb files opened, in order: reading ahead stops at a file's end.
  std::vector<std::string> Opened;
  bool operator==(const TRunRecord&) const = default;
};

struct TLayoutCase {
  std::int32_t FormatId;
  TRecordLayout Layout;
  int Width, Height;
};

class ExportPipelineTest : public ::testing::TestWithParam<TLayoutCase> {
protected:
  // Nine photos in three .ithmb files; the second file is missing (its
  // photos fail at the open), the last record is cut short (a read error),
  // and a different file already has the name of the first photo.
  void SetUp() override {
    const TLayoutCase& c = GetParam();
    testing::TLibrarySpec desc;
    desc.Formats = {{1032, TRecordLayout::Rgb565, 42, 37},
                    {c.FormatId, c.Layout, c.Width, c.Height, 0, 0, 3}};
    testing::TAlbumSpec master{"Library", false, false, {}};
    for (std::uint32_t id = 64; id < 73; ++id) {
      desc.Photos.push_back({id, testing::TestPicture(c.Width, c.Height, id), {}, {}});
      master.PhotoIds.push_back(id);
    }
    desc.Albums = {master};
    testing::WriteIpod(desc, root_);
    const std::string thumbs = root_ + "/Photos/Thumbs/";
    fs::remove(thumbs + testing::IthmbFileName(c.FormatId, 2));
    const std::string last = thumbs + testing::IthmbFileName(c.FormatId, 3);
    fs::resize_file(last, fs::file_size(last) - 100);
  }

  TRunRecord Run(bool pipelined, int stopAt = 0) {
    const std::string dest = temp_ / ("out-" + std::to_string(pipelined) + "-" +
                                      std::to_string(stopAt));
    fs::create_directories(dest);
    testing::WriteFile(dest + "/64.jpg", {1, 2, 3});
    testing::TFakePlatform platform;
    TIpodDevice device(platform, nullptr);
    std::string error;
    EXPECT_TRUE(device.UseFolder(root_, error)) << error;
    TIpodPhotoDb db(device, nullptr, false);
    EXPECT_TRUE(db.LoadPhotoLibrary());
    for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.Photos.Select(i);
    std::string folder = dest;
    EXPECT_TRUE(db.CheckOutputFolder(folder));
    db.PipelinedExport = pipelined;
    db.LogText.clear();

    TRunRecord record;
    db.OnTransferFile = [&](const std::string& name) {
      record.Notified.push_back(name);
      if (static_cast<int>(record.Notified.size()) == stopAt) db.StopRequested = true;
    };
    db.OnItemResult = [&](const std::string& name, TItemOutcome outcome,
                          const std::string& pcFile) {
      record.Items.emplace_back(name, outcome, fs::path(pcFile).filename().string());
    };
    record.Written = db.TransferDiskPhotos();
    record.Log = db.LogText;
    for (const auto& entry : fs::directory_iterator(dest))
      record.Files[entry.path().filename().string()] = testing::ReadFile(entry.path().string());
    for (const std::string& path : platform.OpenedForRead()) {
      if (path.ends_with(".ithmb")) record.Opened.push_back(fs::path(path).filename().string());
    }
    return record;
  }

  testing::TTempDir temp_;
  const std::string root_ = temp_ / "ipod";
};

TEST_P(ExportPipelineTest, SameRunAsOneThread) {
  const TRunRecord one = Run(false);
  const TRunRecord two = Run(true);
  EXPECT_EQ(one, two);
  // What the library makes of it: the file that is there is kept beside the
  // new one, the missing file and the cut record are logged.
  EXPECT_EQ(one.Written, 5);
  EXPECT_EQ(one.Notified.size(), 6u);
  EXPECT_TRUE(one.Files.count("1_64.jpg"));
  EXPECT_NE(one.Log.find("Cannot open"), std::string::npos);
  EXPECT_NE(one.Log.find("72.jpg: Error"), std::string::npos);
}

TEST_P(ExportPipelineTest, StopEndsAfterTheSamePhotoAtEveryPosition) {
  for (int stopAt = 1; stopAt <= 6; ++stopAt) {
    SCOPED_TRACE(stopAt);
    const TRunRecord one = Run(false, stopAt);
    const TRunRecord two = Run(true, stopAt);
    EXPECT_EQ(one, two);
    EXPECT_EQ(static_cast<int>(two.Notified.size()), stopAt);
    // Stopped in the first file: no later one is opened.
    if (stopAt <= 3) {
      EXPECT_EQ(two.Opened.size(), 1u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExportPipelineTest,
    ::testing::Values(TLayoutCase{1024, TRecordLayout::Rgb565, 320, 240},
                      TLayoutCase{1023, TRecordLayout::SwappedRgb565, 176, 132},
                      TLayoutCase{1019, TRecordLayout::InterlacedUyvy, 720, 480},
                      TLayoutCase{1067, TRecordLayout::PlanarYuv420, 720, 480},
                      TLayoutCase{1081, TRecordLayout::Jpeg, 320, 240}),
    [](const ::testing::TestParamInfo<TLayoutCase>& info) {
      return "Format" + std::to_string(info.param.FormatId);
    });

}  // namespace
}  // namespace quill
