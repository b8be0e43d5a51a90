// libquillmobiledevice.so end to end: the real libimobiledevice, libusbmuxd
// and libplist talk to a fake usbmuxd that serves a folder as an iPhone, and
// the program loads, browses and transfers through them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
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

}  // namespace
}  // namespace quill
