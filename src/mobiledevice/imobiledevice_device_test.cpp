// libquillmobiledevice.so end to end: the real libimobiledevice, libusbmuxd
// and libplist talk to a fake usbmuxd that serves a folder as an iPhone, and
// the program loads, browses and transfers through them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <memory>

#include "device/ios_helper.h"
#include "device/mobile_device_binding.h"
#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/fake_usbmuxd.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Eq;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * seed) >> 3);
  return bytes;
}

TEST(IMobileDeviceLibraryTest, TransfersThroughUsbmuxdLockdownAndAfc) {
  testing::TTempDir temp;
  const std::string phone = temp / "phone";
  testing::TSqliteLibrarySpec desc;
  // Originals larger than one AFC answer and than the copy buffer, one an
  // exact multiple of it.
  const std::size_t sizes[] = {100000, 3u << 20, 20};
  for (std::uint32_t id = 1; id <= 3; ++id) {
    testing::TSqliteAssetSpec asset;
    asset.Id = id;
    asset.ThumbnailIndex = id - 1;
    asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
    asset.OriginalBytes = Pattern(sizes[id - 1], id * 7 + 1);
    asset.Thumbnail = testing::TestPicture(80, 79, id);
    desc.Assets.push_back(asset);
  }
  testing::TSqliteAlbumSpec album;
  album.Id = 9;
  album.Title = "Im Log";
  album.AssetIds = {3};
  album.OnlyInWal = true;
  desc.Albums = {album};
  testing::WritePhotosSqliteLibrary(desc, phone);

  testing::TFakeUsbmuxd usbmuxd(temp / "usbmuxd.sock", phone);
  setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.Address().c_str(), 1);

  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load({QUILL_IMOBILEDEVICE_PATH}));
  EXPECT_TRUE(binding.ModernMode());

  testing::TConnectionEvents events;
  auto helper = std::make_unique<TIosHelper>(
      3, [&events](bool connected) { events.Add(connected); }, binding);
  TIosHelper& ios = *helper;
  testing::TFakePlatform platform;
  TIpodDevice device(platform, nullptr, std::move(helper));
  ASSERT_FALSE(device.IosUnavailable) << device.Messages;
  ASSERT_TRUE(events.WaitFor(1, 20000)) << ios.LastError();
  ASSERT_TRUE(ios.AfcOpen()) << ios.LastError();
  device.IosConnectionChanged(true);

  TIpodPhotoDb db(device, nullptr, true);
  ASSERT_TRUE(db.LoadPhotoLibrary()) << device.Messages;
  EXPECT_TRUE(db.ThumbFormat.FromIosLibrary);
  ASSERT_EQ(db.Albums.Count(), 2u);
  EXPECT_EQ(db.Albums.Items(1).Name, "Im Log");
  ASSERT_EQ(db.Photos.Count(), 3u);
  EXPECT_EQ(db.CamPhotos->Count(), 3u);
  EXPECT_FALSE(fs::exists(device.TempName));
  EXPECT_FALSE(fs::exists(device.TempName + "-wal"));

  // A thumbnail record, read across several AFC answers.
  ASSERT_TRUE(device.OpenThumbFile(db.ThumbFormat.FileName, 12668));
  TMemoryStream record;
  ASSERT_TRUE(device.ReadThumbRecord(12668, record, db.Photos.Items(1).ThumbOffset));
  const auto thumbs = testing::ReadFile(phone + "/PhotoData/Thumbnails/79x79.ithmb");
  EXPECT_TRUE(std::equal(record.Bytes().begin(), record.Bytes().end(), thumbs.begin() + 12668));
  device.CloseThumbFile();

  for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.Photos.Select(i);
  std::string folder = temp / "out";
  ASSERT_TRUE(db.CheckOutputFolder(folder)) << folder;
  EXPECT_EQ(db.TransferPhotos(), 3) << db.LogText;
  for (const auto& asset : desc.Assets)
    EXPECT_EQ(testing::ReadFile(temp / ("out/" + asset.FileName)), asset.OriginalBytes);
  // A second run finds every photo there already.
  EXPECT_EQ(db.TransferPhotos(), 0);
  EXPECT_FALSE(db.TransferHadErrors()) << db.LogText;

  // Read-only opens only, and nothing was asked that would change the device.
  EXPECT_THAT(usbmuxd.OpenModes(), Each(Eq(1u)));
  EXPECT_FALSE(usbmuxd.OpenModes().empty());
  EXPECT_EQ(usbmuxd.WriteRequests(), 0);

  usbmuxd.Detach();
  ASSERT_TRUE(events.WaitFor(2, 20000));
  EXPECT_THAT(events.Events(), ElementsAre(true, false));
  EXPECT_FALSE(ios.AfcOpen());
}

// A library of today's iPhones (ZASSET, several camera folders, a Live Photo,
// an iCloud original, one left on iCloud) through the real client. Run in a
// process of its own (see CMakeLists.txt): the client library serves one
// device arrival per process.
TEST(IMobileDeviceLibraryTest, AModernLibraryThroughTheRealClient) {
  testing::TTempDir temp;
  const std::string phone = temp / "phone";
  testing::TSqliteLibrarySpec desc;
  desc.Layout = testing::TSqliteLayout::Asset;
  desc.Modern = {29, 30, 3, 0};
  desc.ThumbFile.clear();
  const char* const dirs[] = {"DCIM/100APPLE", "DCIM/101APPLE", "PhotoData/CPLAssets/group7",
                              "PhotoData/CPLAssets/group7"};
  for (std::uint32_t id = 1; id <= 4; ++id) {
    testing::TSqliteAssetSpec asset;
    asset.Id = id;
    asset.Directory = dirs[id - 1];
    asset.FileName = id >= 3 ? "UUID-" + std::to_string(id) + ".HEIC" : "IMG_000" + std::to_string(id) + ".HEIC";
    asset.OriginalBytes = Pattern(id == 1 ? (3u << 20) + 5 : 4000, id * 5 + 3);
    asset.Created = 700000000.0 + id;
    asset.Subtype = id == 1 ? 2 : 0;
    asset.LiveClip = id == 1 ? Pattern(70000, 9) : std::vector<std::uint8_t>{};
    asset.OriginalFileName = id >= 3 ? "IMG_090" + std::to_string(id) + ".HEIC" : "";
    asset.OnDevice = id != 4;
    desc.Assets.push_back(asset);
  }
  testing::TSqliteAlbumSpec album;
  album.Id = 50;
  album.Title = "Ordered";
  album.AssetIds = {3, 1, 2};
  desc.Albums = {album};
  testing::WritePhotosSqliteLibrary(desc, phone);

  testing::TFakeUsbmuxd usbmuxd(temp / "usbmuxd.sock", phone);
  setenv("USBMUXD_SOCKET_ADDRESS", usbmuxd.Address().c_str(), 1);
  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load({QUILL_IMOBILEDEVICE_PATH}));
  testing::TConnectionEvents events;
  auto helper = std::make_unique<TIosHelper>(
      3, [&events](bool connected) { events.Add(connected); }, binding);
  testing::TFakePlatform platform;
  TIpodDevice device(platform, nullptr, std::move(helper));
  ASSERT_TRUE(events.WaitFor(1, 20000)) << device.Ios().LastError();
  device.IosConnectionChanged(true);

  TIpodPhotoDb db(device, nullptr, true);
  ASSERT_TRUE(db.LoadPhotoLibrary()) << device.Messages;
  ASSERT_EQ(db.Albums.Count(), 2u);
  EXPECT_EQ(db.Albums.Items(1).PhotoIds, (std::vector<std::uint32_t>{3, 1, 2}));
  ASSERT_EQ(db.Photos.Count(), 4u);
  EXPECT_EQ(db.CamPhotos->Count(), 3u) << "both camera folders, the clip included";

  for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.SelectIfOnDevice(i);
  EXPECT_EQ(db.Photos.SelectedCount, 3);
  std::string folder = temp / "out";
  ASSERT_TRUE(db.CheckOutputFolder(folder)) << folder;
  EXPECT_EQ(db.TransferPhotos(), 3) << db.LogText;
  EXPECT_FALSE(db.TransferHadErrors()) << db.LogText;
  EXPECT_EQ(testing::ReadFile(temp / "out/IMG_0001.HEIC"), desc.Assets[0].OriginalBytes);
  EXPECT_EQ(testing::ReadFile(temp / "out/IMG_0001.MOV"), desc.Assets[0].LiveClip);
  EXPECT_EQ(testing::ReadFile(temp / "out/IMG_0903.HEIC"), desc.Assets[2].OriginalBytes);
  EXPECT_FALSE(fs::exists(temp / "out/IMG_0904.HEIC"));
  const auto time = fs::last_write_time(temp / "out/IMG_0001.HEIC");
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::file_clock::to_sys(time).time_since_epoch())
                .count(),
            978307200 + 700000001);
  EXPECT_THAT(usbmuxd.OpenModes(), Each(Eq(1u)));
  EXPECT_EQ(usbmuxd.WriteRequests(), 0);
}

}  // namespace
}  // namespace quill
