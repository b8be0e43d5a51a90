// The iOS side end to end: the simulated device library serves a folder
// holding a Photos.sqlite library; the facade, the load sequence, the
// thumbnail reads and the transfer thread work through it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "library/cell_area.h"
#include "library/ipod_photo_db.h"
#include "library/photo_copy_thread.h"
#include "support/call_dispatcher.h"
#include "support/cell_recorder.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TConnectionEvents;
using testing::TSimDevice;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

testing::TSqliteAssetSpec Asset(std::uint32_t id, std::int64_t thumb, const std::string& name) {
  testing::TSqliteAssetSpec asset;
  asset.Id = id;
  asset.ThumbnailIndex = thumb;
  asset.FileName = name;
  asset.OriginalBytes = Bytes("original bytes of " + name);
  asset.Thumbnail = testing::TestPicture(80, 79, id);
  return asset;
}

class IosLibraryTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TSimDevice::UseForProcess(kSimLibrary); }

  void SetUp() override {
    testing::TSqliteLibrarySpec desc;
    desc.Entities = testing::kLayout8;
    desc.Assets = {Asset(1, 0, "IMG_0001.JPG"), Asset(2, 3, "IMG_0002.JPG"),
                   Asset(3, 1, "IMG_0003.JPG")};
    testing::TSqliteAlbumSpec album;
    album.Id = 30;
    album.Title = "Nur im Log";
    album.AssetIds = {3, 1};
    album.OnlyInWal = true;
    desc.Albums = {album};
    testing::WritePhotosSqliteLibrary(desc, folder_);
  }

  // Connects the facade to the simulated device.
  TIpodDevice& Connect(const std::vector<std::string>& lines) {
    TSimDevice::Configure(temp_ / "sim.conf", folder_, lines);
    device_ = std::make_unique<TIpodDevice>(platform_, [this](bool connected, bool fromIos) {
      if (fromIos) events_.Add(connected);
    });
    EXPECT_TRUE(events_.WaitFor(1)) << device_->Ios().LastError();
    EXPECT_TRUE(device_->IsIos);
    EXPECT_FALSE(device_->IosUnavailable);
    return *device_;
  }

  TIpodPhotoDb& Load() {
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    EXPECT_TRUE(db_->LoadPhotoLibrary());
    return *db_;
  }

  void SelectAll() {
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->Photos.Select(i);
    std::string folder = dest_;
    ASSERT_TRUE(db_->CheckOutputFolder(folder)) << folder;
  }

  testing::TTempDir temp_;
  std::string folder_ = temp_ / "iphone";
  std::string dest_ = temp_ / "out";
  testing::TFakePlatform platform_;
  TConnectionEvents events_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
};

TEST_F(IosLibraryTest, LibraryIsReadFromCopiesThatAreGoneAfterwards) {
  Connect({});
  TIpodPhotoDb& db = Load();
  EXPECT_TRUE(db.ThumbFormat.FromIosLibrary);
  ASSERT_EQ(db.Albums.Count(), 2u);
  EXPECT_EQ(db.Albums.Items(1).Name, "Nur im Log");
  EXPECT_THAT(db.Albums.Items(1).PhotoIds, ElementsAre(3u, 1u));
  ASSERT_EQ(db.Photos.Count(), 3u);
  EXPECT_EQ(db.Photos.Items(1).ThumbOffset, 3u * 12668u);
  ASSERT_FALSE(device_->TempName.empty());
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_FALSE(fs::exists(device_->TempName + suffix)) << suffix;
  // Camera files are listed over the file service.
  ASSERT_TRUE(db.CamPhotos);
  EXPECT_EQ(db.CamPhotos->Count(), 3u);
}

TEST_F(IosLibraryTest, ThumbnailRecordsAreReadOverTheFileService) {
  Connect({"short_read=4000"});
  TIpodPhotoDb& db = Load();
  const auto file = testing::ReadFile(folder_ + "/PhotoData/Thumbnails/79x79.ithmb");
  ASSERT_TRUE(device_->OpenThumbFile(db.ThumbFormat.FileName, 12668));
  TMemoryStream stream;
  // Longer than the record size given at opening: the buffer grows.
  ASSERT_TRUE(device_->ReadThumbRecord(2 * 12668, stream, db.Photos.Items(2).ThumbOffset));
  const std::vector<std::uint8_t> expected(file.begin() + 12668, file.begin() + 3 * 12668);
  EXPECT_EQ(std::vector<std::uint8_t>(stream.Bytes().begin(), stream.Bytes().end()), expected);
  device_->CloseThumbFile();
}

TEST_F(IosLibraryTest, OriginalsAreCopiedWithTheSameSizeSkipAndTheNameSeries) {
  Connect({});
  Load();
  testing::WriteFile(dest_ + "/IMG_0001.JPG", Bytes("original bytes of IMG_0001.JPG"));
  testing::WriteFile(dest_ + "/IMG_0002.JPG", Bytes("another picture"));
  testing::WriteFile(dest_ + "/1_IMG_0002.JPG", Bytes("and another one"));
  SelectAll();

  TCallQueue queue;
  TPhotoCopyThread thread(*db_, queue.Dispatcher());
  std::vector<std::pair<std::string, TItemOutcome>> results;
  bool done = false;
  thread.OnResult = [&](const std::string& name, TItemOutcome outcome, const std::string&) {
    results.emplace_back(name, outcome);
  };
  thread.OnDone = [&] { done = true; };
  thread.Start();
  queue.RunUntil([&] { return done; });
  thread.Wait();

  EXPECT_THAT(results,
              ElementsAre(std::pair{std::string("IMG_0001.JPG"), TItemOutcome::AlreadyThere},
                          std::pair{std::string("IMG_0002.JPG"), TItemOutcome::Written},
                          std::pair{std::string("IMG_0003.JPG"), TItemOutcome::Written}));
  EXPECT_EQ(testing::ReadFile(dest_ + "/2_1_IMG_0002.JPG"),
            Bytes("original bytes of IMG_0002.JPG"));
  EXPECT_EQ(testing::ReadFile(dest_ + "/IMG_0003.JPG"), Bytes("original bytes of IMG_0003.JPG"));
  EXPECT_FALSE(db_->TransferHadErrors()) << db_->LogText;
}

TEST_F(IosLibraryTest, RemovalDuringATransferFailsTheRestAndLeavesNoPartialFile) {
  Connect({"leave=signal"});
  Load();
  SelectAll();
  TCallQueue queue;
  TPhotoCopyThread thread(*db_, queue.Dispatcher());
  int files = 0;
  bool done = false;
  thread.OnFile = [&](const std::string&) {
    // Unplugged while the second photo is about to be copied.
    if (++files == 2) {
      TSimDevice::Signal(kSimLibrary);
      ASSERT_TRUE(events_.WaitFor(2));
    }
  };
  thread.OnDone = [&] { done = true; };
  thread.Start();
  queue.RunUntil([&] { return done; });
  thread.Wait();

  EXPECT_THAT(events_.Events(), ElementsAre(true, false));
  EXPECT_FALSE(device_->Connected);
  EXPECT_TRUE(db_->TransferHadErrors());
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(dest_))
    written.push_back(entry.path().filename());
  EXPECT_THAT(written, ElementsAre("IMG_0001.JPG"));
  EXPECT_THAT(db_->LogText, HasSubstr("IMG_0002.JPG"));
}


TEST_F(IosLibraryTest, ThumbnailsShowInFiveFiveFiveAndARemovalEndsThePage) {
  Connect({"leave=signal"});
  testing::TCellRecorder cells;
  TIpodPhotoDb db(*device_, &cells, true);
  ASSERT_TRUE(db.LoadPhotoLibrary());
  db.OnPageProgress = [&](std::int32_t count) {
    if (count != 1 || events_.Events().size() != 1) return;
    TSimDevice::Signal(kSimLibrary);
    ASSERT_TRUE(events_.WaitFor(2));
  };
  EXPECT_EQ(db.ShowAlbumPage(0, 1, 0), 1);
  ASSERT_EQ(cells.Cells.size(), 1u);
  const TBitmap24 expected = testing::ExpectedPicture(testing::TRecordLayout::Rgb555,
                                                      testing::TestPicture(80, 79, 1), 80, 79);
  EXPECT_GT(testing::Psnr(cells.Cells[0].Picture, expected), 40.0);
  EXPECT_FALSE(device_->Connected);
}

TEST_F(IosLibraryTest, FailedConnectionLeavesTheFacadeWithoutADevice) {
  TSimDevice::Configure(temp_ / "sim.conf", folder_,
                        {"paired=0", "result.AMDevicePair=0xE8000001"});
  TIpodDevice device(platform_, [this](bool connected, bool) { events_.Add(connected); });
  for (int i = 0; i < 500 && device.Ios().LastError().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(device.Ios().LastError(), "Pair failed: 3892314113 (Run iTunes to pair the device)");
  EXPECT_FALSE(device.Connected);
  EXPECT_TRUE(events_.Events().empty());
}

}  // namespace
}  // namespace quill
