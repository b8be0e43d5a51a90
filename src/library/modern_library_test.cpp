// Libraries of today's iPhones (iOS 7 and later), read and copied end to end
// through the simulated device and as a media folder, for several entity
// numberings of both asset tables.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <set>

#include "library/ipod_photo_db.h"
#include "library/cell_area.h"
#include "support/cell_recorder.h"
#include "support/fake_platform.h"
#include "support/picture.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TSimDevice;
using testing::TSqliteAlbumSpec;
using testing::TSqliteAssetSpec;
using testing::TSqliteLayout;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;
constexpr std::int64_t kEpoch2001 = 978307200;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string Text(const std::string& path) {
  const std::vector<std::uint8_t> bytes = testing::ReadFile(path);
  return {bytes.begin(), bytes.end()};
}

TSqliteAssetSpec Asset(std::uint32_t id, const std::string& dir, const std::string& name) {
  TSqliteAssetSpec a;
  a.Id = id;
  a.Directory = dir;
  a.FileName = name;
  a.OriginalBytes = Bytes("bytes of " + name);
  a.Created = 600000000.0 + id * 3600;  // 2020-01-05 and on
  return a;
}

struct TLayoutCase {
  const char* Name;
  TSqliteLayout Layout;
  testing::TModernEntities Entities;
  bool OverAfc;
};

class ModernLibraryTest : public ::testing::TestWithParam<TLayoutCase> {
protected:
  static void SetUpTestSuite() { TSimDevice::UseForProcess(kSimLibrary); }

  void SetUp() override {
    testing::TSqliteLibrarySpec desc;
    desc.Layout = GetParam().Layout;
    desc.Modern = GetParam().Entities;
    desc.ThumbFile.clear();
    TSqliteAssetSpec live = Asset(11, "DCIM/100APPLE", "IMG_0001.HEIC");
    live.Subtype = 2;
    live.LiveClip = Bytes("the clip");
    TSqliteAssetSpec edited = Asset(12, "DCIM/100APPLE", "IMG_0002.JPG");
    edited.Render = Bytes("the render");
    edited.Sidecar = Bytes("the adjustments");
    TSqliteAssetSpec trashed = Asset(13, "DCIM/100APPLE", "IMG_0003.JPG");
    trashed.Trashed = true;
    TSqliteAssetSpec hidden = Asset(14, "DCIM/100APPLE", "IMG_0004.JPG");
    hidden.Hidden = true;
    TSqliteAssetSpec cloud = Asset(15, "PhotoData/CPLAssets/group42", "6F1C2A3B-UUID.JPG");
    cloud.OriginalFileName = "IMG_0005.JPG";
    TSqliteAssetSpec away = Asset(16, "PhotoData/CPLAssets/group42", "9D8E7F-UUID.HEIC");
    away.OriginalFileName = "IMG_0006.HEIC";
    away.OnDevice = false;
    TSqliteAssetSpec video = Asset(17, "DCIM/101APPLE", "IMG_1007.MOV");
    video.Kind = 1;
    video.Created.reset();
    TSqliteAssetSpec folderOnly = Asset(18, "102APPLE", "IMG_2008.PNG");
    folderOnly.Created = 9.3e18;  // beyond any clock: no date
    desc.Assets = {live, edited, trashed, hidden, cloud, away, video, folderOnly};

    TSqliteAlbumSpec beach;
    beach.Id = 40;
    beach.Title = "Plage \xF0\x9F\x8F\x96";
    beach.AssetIds = {17, 11, 13, 12};
    TSqliteAlbumSpec again = beach;  // two albums of one title are two albums
    again.Id = 41;
    again.AssetIds = {14};
    TSqliteAlbumSpec deleted;
    deleted.Id = 42;
    deleted.Title = "Deleted";
    deleted.Trashed = true;
    deleted.AssetIds = {11};
    TSqliteAlbumSpec folder;
    folder.Id = 43;
    folder.Title = "Trips";
    folder.Kind = 4000;
    TSqliteAlbumSpec italy;
    italy.Id = 44;
    italy.Title = "Italy";
    italy.ParentFolder = 43;
    italy.AssetIds = {15, 16};
    TSqliteAlbumSpec shared;
    shared.Id = 45;
    shared.Title = "Shared";
    shared.Kind = 1505;
    shared.AssetIds = {11};
    TSqliteAlbumSpec recent;
    recent.Id = 46;
    recent.Title = "Only in the log";
    recent.AssetIds = {18};
    recent.OnlyInWal = true;
    desc.Albums = {beach, again, deleted, folder, italy, shared, recent};
    testing::WritePhotosSqliteLibrary(desc, folder_);
    // A camera file no library row names.
    testing::WriteFile(folder_ + "/DCIM/100IMPRT/IMG_3000.JPG", Bytes("imported"));

    if (GetParam().OverAfc) {
      TSimDevice::Configure(temp_ / "sim.conf", folder_, {});
      device_ = std::make_unique<TIpodDevice>(platform_, [this](bool connected, bool fromIos) {
        if (fromIos) events_.Add(connected);
      });
      ASSERT_TRUE(events_.WaitFor(1)) << device_->Ios().LastError();
    } else {
      TSimDevice::Configure(temp_ / "sim.conf", folder_, {"arrive=signal"});
      device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
      std::string error;
      ASSERT_TRUE(device_->UseFolder(folder_, error)) << error;
    }
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    ASSERT_TRUE(db_->LoadPhotoLibrary()) << db_->LogText;
  }

  const TPhotoItem& Photo(std::uint32_t id) {
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i)
      if (db_->Photos.Items(i).Id == id) return db_->Photos.Items(i);
    ADD_FAILURE() << "no photo " << id;
    static TPhotoItem none;
    return none;
  }

  int Transfer() {
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->SelectIfOnDevice(i);
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i) db_->CamPhotos->Select(i);
    std::string folder = dest_;
    EXPECT_TRUE(db_->CheckOutputFolder(folder)) << folder;
    db_->LogText.clear();
    db_->ResetTransferErrors();
    const int written = db_->TransferPhotos() + db_->TransferCameraFiles();
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->Photos.Unselect(i);
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i) db_->CamPhotos->Unselect(i);
    return written;
  }

  testing::TTempDir temp_;
  std::string folder_ = temp_ / "iphone";
  std::string dest_ = temp_ / "out";
  testing::TFakePlatform platform_;
  testing::TConnectionEvents events_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
};

TEST_P(ModernLibraryTest, AlbumsAssetsAndKindsComeFromTheDatabasesOwnDescription) {
  TIpodPhotoDb& db = *db_;
  EXPECT_TRUE(db.ModernLibrary);
  std::set<std::uint32_t> ids;
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) ids.insert(db.Photos.Items(i).Id);
  EXPECT_EQ(ids, (std::set<std::uint32_t>{11, 12, 14, 15, 16, 17, 18})) << "the trashed asset is out";

  std::vector<std::pair<std::string, std::vector<std::uint32_t>>> albums;
  for (std::size_t a = 1; a < db.Albums.Count(); ++a)
    albums.emplace_back(db.Albums.Items(a).Name, db.Albums.Items(a).PhotoIds);
  const std::vector<std::pair<std::string, std::vector<std::uint32_t>>> expected = {
      {"Plage \xF0\x9F\x8F\x96", {17, 11, 12}},
      {"Plage \xF0\x9F\x8F\x96", {14}},
      {"Trips / Italy", {15, 16}},
      {"Only in the log", {18}},
  };
  EXPECT_EQ(albums, expected);
  EXPECT_EQ(db.Albums.Items(0).PhotoIds.size(), 7u);

  EXPECT_TRUE(Photo(11).Has(kAssetLivePhoto));
  EXPECT_EQ(Photo(11).Created, kEpoch2001 + 600000000 + 11 * 3600);
  EXPECT_EQ(Photo(17).Kind, TAssetKind::Video);
  EXPECT_EQ(Photo(17).Created, 0);
  EXPECT_TRUE(Photo(14).Has(kAssetHidden));
  EXPECT_EQ(db.Photos.OriginalName(Photo(15)), "IMG_0005.JPG");
  EXPECT_EQ(Photo(18).Path, "DCIM/102APPLE/IMG_2008.PNG");
  EXPECT_EQ(Photo(18).Created, 0);
  EXPECT_TRUE(Photo(16).Has(kAssetNotOnDevice));
  EXPECT_FALSE(Photo(15).Has(kAssetNotOnDevice));

  // Every camera folder, in the order of its number.
  std::vector<std::string> folders;
  for (std::size_t i = 0; i < db.CamPhotos->Count(); ++i) {
    const std::string& f = db.CamPhotos->FolderOf(i);
    if (folders.empty() || folders.back() != f) folders.push_back(f);
  }
  ASSERT_EQ(folders.size(), 4u);
  EXPECT_TRUE(folders[0].ends_with("DCIM/100APPLE/"));
  EXPECT_TRUE(folders[1].ends_with("DCIM/100IMPRT/"));
  EXPECT_TRUE(folders[3].ends_with("DCIM/102APPLE/"));
}

TEST_P(ModernLibraryTest, EverythingOnTheDeviceIsCopiedWithItsCompanionsAndDatesOnce) {
  const testing::TSnapshot device = testing::Snapshot(folder_);
  const int written = Transfer();
  EXPECT_FALSE(db_->TransferHadErrors()) << db_->LogText;
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(dest_)) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"IMG_0001.HEIC", "IMG_0001.MOV", "IMG_0002.JPG",
                                          "IMG_E0002.JPG", "IMG_0002.AAE", "IMG_0003.JPG",
                                          "IMG_0004.JPG", "IMG_0005.JPG", "IMG_1007.MOV",
                                          "IMG_2008.PNG", "IMG_3000.JPG"}))
      << db_->LogText;
  EXPECT_EQ(Text(dest_ + "/IMG_E0002.JPG"), "the render");
  EXPECT_EQ(Text(dest_ + "/IMG_0005.JPG"), "bytes of 6F1C2A3B-UUID.JPG");
  EXPECT_NE(db_->LogText.find("Not on the device (left on iCloud, or missing): 1 photo"),
            std::string::npos)
      << db_->LogText;
  struct stat st {};
  ASSERT_EQ(::stat((dest_ + "/IMG_0001.HEIC").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kEpoch2001 + 600000000 + 11 * 3600);
  ASSERT_EQ(::stat((dest_ + "/IMG_0001.MOV").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kEpoch2001 + 600000000 + 11 * 3600) << "a companion takes its photo's date";
  // The camera files of the library's folders are the same files: a rerun
  // and the camera pass add nothing.
  EXPECT_GT(written, 0);
  EXPECT_EQ(Transfer(), 0);
  EXPECT_FALSE(db_->TransferHadErrors()) << db_->LogText;

  // A photo left on iCloud chosen by itself is an error of that item.
  for (std::size_t i = 0; i < db_->Photos.Count(); ++i)
    if (db_->Photos.Items(i).Id == 16) db_->Photos.Select(i);
  db_->LogText.clear();
  db_->ResetTransferErrors();
  EXPECT_EQ(db_->TransferPhotos(), 0);
  EXPECT_TRUE(db_->TransferHadErrors());
  EXPECT_NE(db_->LogText.find("9D8E7F-UUID.HEIC: not on the device"), std::string::npos);
  EXPECT_TRUE(testing::Snapshot(folder_) == device) << "nothing on the device changes";
}


TEST_P(ModernLibraryTest, PagesShowTheDevicesThumbnailsOrThePicturesAndSelectOnlyWhatIsThere) {
  // The device's own small JPEG of the live photo, and the PNG itself.
  std::vector<std::uint8_t> jpeg, png;
  ASSERT_TRUE(EncodeJpeg(testing::TestPicture(64, 48, 3), 90, jpeg));
  testing::WriteFile(folder_ + "/PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0001.HEIC/5005.JPG", jpeg);
  TBitmap24 red;
  red.SetSize(8, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) red.Row(y)[3 * x + 2] = 255;
  ASSERT_TRUE(EncodePng(red, png));
  testing::WriteFile(folder_ + "/DCIM/102APPLE/IMG_2008.PNG", png);
  testing::TCellRecorder cells;
  TIpodPhotoDb db(*device_, &cells, true);
  ASSERT_TRUE(db.LoadPhotoLibrary());
  ASSERT_EQ(db.ShowAlbumPage(0, 1, 1), 7) << "every photo gets a cell, shown or blank";
  auto cellOf = [&](std::uint32_t id) -> const TCellSpec& {
    for (const TCellSpec& cell : cells.Cells)
      if (db.Photos.Items(static_cast<std::size_t>(cell.Id)).Id == id) return cell;
    ADD_FAILURE() << "no cell of " << id;
    return cells.Cells.front();
  };
  auto blank = [](const TCellSpec& cell) {
    for (std::uint8_t b : cell.Picture.Pixels())
      if (b != 0xFF) return false;
    return true;
  };
  EXPECT_FALSE(blank(cellOf(11))) << "the device's thumbnail";
  const std::uint8_t* pixel = cellOf(18).Picture.Row(10) + 30;
  EXPECT_EQ(pixel[2], 255) << "the PNG itself";
  EXPECT_EQ(pixel[0], 0);
  EXPECT_TRUE(blank(cellOf(16))) << "left on iCloud";
  EXPECT_TRUE(blank(cellOf(17))) << "a video without the movie picture";

  db.SelectAlbumPhotos(TSelectOp::SelectAll, 0);
  db.MarkPageCells(TSelectOp::SelectAll);
  EXPECT_EQ(db.Photos.SelectedCount, 6);
  EXPECT_FALSE(cellOf(16).Selected) << "a cell shows what the model holds";
  EXPECT_TRUE(cellOf(11).Selected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ModernLibraryTest,
    ::testing::Values(
        TLayoutCase{"Ios12Afc", TSqliteLayout::GenericAsset, {22, 23, 31, 30}, true},
        TLayoutCase{"Ios13Folder", TSqliteLayout::GenericAsset, {25, 26, 35, 34}, false},
        TLayoutCase{"Ios15Afc", TSqliteLayout::Asset, {26, 27, 3, 0}, true},
        TLayoutCase{"Ios18Folder", TSqliteLayout::Asset, {29, 30, 3, 0}, false}),
    [](const ::testing::TestParamInfo<TLayoutCase>& info) { return info.param.Name; });

}  // namespace
}  // namespace quill
