#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sqlite_database.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::TFakePlatform;
using testing::TSqliteAlbumSpec;
using testing::TSqliteAssetSpec;
using testing::TSqliteLibrarySpec;
using testing::TTempDir;

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TSqliteAssetSpec Asset(std::uint32_t id, std::int64_t thumb, const std::string& name,
                       std::int64_t savedType = 0) {
  TSqliteAssetSpec asset;
  asset.Id = id;
  asset.ThumbnailIndex = thumb;
  asset.FileName = name;
  asset.SavedAssetType = savedType;
  asset.OriginalBytes = Bytes("original of " + name);
  return asset;
}

TSqliteAlbumSpec Album(std::uint32_t id, const std::string& title, std::vector<std::uint32_t> ids,
                       bool onlyInWal = false) {
  TSqliteAlbumSpec album;
  album.Id = id;
  album.Title = title;
  album.AssetIds = std::move(ids);
  album.OnlyInWal = onlyInWal;
  return album;
}

// A library of four assets, one of them of saved type 3, and four albums:
// two untitled ones before a titled one, and one present only in the log.
TSqliteLibrarySpec SampleLibrary(testing::TEntityNumbers layout) {
  TSqliteLibrarySpec desc;
  desc.Entities = layout;
  desc.Assets = {Asset(1, 0, "IMG_0001.JPG"), Asset(2, 5, "IMG_0002.JPG"),
                 Asset(3, 1, "IMG_0003.JPG", 3), Asset(4, 2, "IMG_0004.JPG")};
  desc.Albums = {Album(21, "", {4}), Album(22, "", {1, 2}),
                 Album(23, "Sommer \xC3\xA0 la mer", {2, 4}), Album(27, "Nur im Log", {1}, true)};
  return desc;
}

class PhotosSqliteTest : public ::testing::Test {
protected:
  TIpodPhotoDb& Load(const TSqliteLibrarySpec& desc, bool expectLoaded = true) {
    testing::WritePhotosSqliteLibrary(desc, root_);
    return LoadWritten(expectLoaded);
  }
  TIpodPhotoDb& LoadWritten(bool expectLoaded = true) {
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    EXPECT_TRUE(device_->UseFolder(root_, error)) << error;
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    EXPECT_EQ(db_->LoadPhotoLibrary(), expectLoaded);
    return *db_;
  }
  std::vector<std::string> AlbumNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < db_->Albums.Count(); ++i)
      names.push_back(db_->Albums.Items(i).Name);
    return names;
  }
  const TPhotoAlbumItem* AlbumById(std::uint32_t id) const {
    for (std::size_t i = 0; i < db_->Albums.Count(); ++i)
      if (db_->Albums.Items(i).AlbumId == id) return &db_->Albums.Items(i);
    return nullptr;
  }

  TTempDir temp_;
  std::string root_ = temp_ / "media";
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
};

TEST_F(PhotosSqliteTest, ReadsALibraryOfTheSixLayoutWithItsLog) {
  TIpodPhotoDb& db = Load(SampleLibrary(testing::kLayout6));

  EXPECT_TRUE(db.CopyOriginals);
  EXPECT_TRUE(db.ThumbFormat.FromIosLibrary);
  EXPECT_EQ(db.ThumbFormat.FileName, "79x79.ithmb");
  EXPECT_EQ(db.ThumbFormat.FormatId, 3011);
  EXPECT_EQ(db.ThumbFormat.SlotBytes, 12668);
  EXPECT_FALSE(db.PhotoDatabaseRead());

  // Untitled albums are numbered in row order; the log's album is there.
  EXPECT_THAT(AlbumNames(), ElementsAre("Pictures", "Photo Album 1", "Photo Album 2",
                                        "Sommer \xC3\xA0 la mer", "Nur im Log"));
  ASSERT_EQ(db.Photos.Count(), 3u);  // the asset of saved type 3 is left out
  EXPECT_EQ(db.Photos.Items(0).Path, "DCIM/100APPLE/IMG_0001.JPG");
  EXPECT_EQ(db.Photos.Items(1).Id, 2u);
  EXPECT_EQ(db.Photos.Items(1).ThumbOffset, 5u * 12668u);
  EXPECT_EQ(db.Photos.Items(2).Id, 4u);
  EXPECT_EQ(db.Photos.Items(2).ImageSize, 0u);

  const TPhotoAlbumItem& all = db.Albums.Items(0);
  EXPECT_EQ(all.AlbumId, 0u);
  EXPECT_EQ(all.Count, 3);
  EXPECT_THAT(all.PhotoIds, ElementsAre(1u, 2u, 4u));
  ASSERT_NE(AlbumById(22), nullptr);
  EXPECT_EQ(AlbumById(22)->Count, 2);
  EXPECT_THAT(AlbumById(22)->PhotoIds, ElementsAre(1u, 2u));
  EXPECT_THAT(AlbumById(27)->PhotoIds, ElementsAre(1u));
}

TEST_F(PhotosSqliteTest, ReadsALibraryOfTheEightLayout) {
  TIpodPhotoDb& db = Load(SampleLibrary(testing::kLayout8));
  EXPECT_EQ(db.Albums.Count(), 5u);
  EXPECT_THAT(AlbumById(23)->PhotoIds, ElementsAre(2u, 4u));
}

TEST_F(PhotosSqliteTest, MissingEntityNamesFallBackToTheJoinTableTest) {
  for (const auto layout : {testing::kLayout6, testing::kLayout8}) {
    TSqliteLibrarySpec desc = SampleLibrary(layout);
    // Only two of the three names: the scan reads to the end, then the table decides.
    desc.PrimaryKeys = {{layout.Album, "Album"}, {layout.Asset, "Asset"}};
    fs::remove_all(root_);
    TIpodPhotoDb& db = Load(desc);
    EXPECT_EQ(db.Photos.Count(), 3u) << layout.Album;
    EXPECT_THAT(AlbumById(22)->PhotoIds, ElementsAre(1u, 2u)) << layout.Album;
  }
}

TEST_F(PhotosSqliteTest, EntityNumbersComeFromThePrimaryKeyTable) {
  // Numbers of neither fixed layout: only the scan can find them.
  TSqliteLibrarySpec desc = SampleLibrary({9, 17, 18});
  TIpodPhotoDb& db = Load(desc);
  EXPECT_EQ(db.Photos.Count(), 3u);
  EXPECT_THAT(AlbumById(21)->PhotoIds, ElementsAre(4u));

  // The name the behaviour was written with is accepted too.
  desc.PrimaryKeys = {{18, "asset"}, {17, "GenerateAsset"}, {9, "ALBUM"}};
  fs::remove_all(root_);
  Load(desc);
  EXPECT_THAT(AlbumById(23)->PhotoIds, ElementsAre(2u, 4u));
}

TEST_F(PhotosSqliteTest, ThumbnailFileIsChosenInItsOrder) {
  TSqliteLibrarySpec desc = SampleLibrary(testing::kLayout6);
  desc.ThumbFile = "64x64.ithmb";
  TIpodPhotoDb& db = Load(desc);
  EXPECT_EQ(db.ThumbFormat.FileName, "64x64.ithmb");
  EXPECT_EQ(db.ThumbFormat.SlotBytes, 8220);
  EXPECT_EQ(db.Photos.Items(1).ThumbOffset, 5u * 8220u);

  // With the 120 and 64 files both there, 120 wins.
  testing::WriteFile(root_ + "/PhotoData/Thumbnails/120x120.ithmb", std::vector<std::uint8_t>(10));
  EXPECT_EQ(LoadWritten().ThumbFormat.FormatId, 1234);
}

TEST_F(PhotosSqliteTest, WithoutThumbnailFileEveryOffsetIsZero) {
  TSqliteLibrarySpec desc = SampleLibrary(testing::kLayout6);
  desc.ThumbFile.clear();
  TIpodPhotoDb& db = Load(desc);
  EXPECT_EQ(db.ThumbFormat.FileName, "");
  EXPECT_EQ(db.ThumbFormat.SlotBytes, 0);
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) EXPECT_EQ(db.Photos.Items(i).ThumbOffset, 0u);
}

TEST_F(PhotosSqliteTest, TheDeviceFilesAreNeverOpenedByTheDatabaseEngine) {
  Load(SampleLibrary(testing::kLayout6));
  const std::string data = root_ + "/PhotoData/";
  const auto walBefore = testing::ReadFile(data + "Photos.sqlite-wal");
  LoadWritten();
  // The log was read from a copy: the device's log is untouched and no
  // shared-memory file was made beside it.
  EXPECT_EQ(testing::ReadFile(data + "Photos.sqlite-wal"), walBefore);
  EXPECT_FALSE(fs::exists(data + "Photos.sqlite-shm"));
  // Both copies are gone after loading.
  ASSERT_FALSE(device_->TempName.empty());
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_FALSE(fs::exists(device_->TempName + suffix)) << suffix;
}

TEST_F(PhotosSqliteTest, UnreadableDatabaseFallsBackAndLeavesNothingBehind) {
  testing::WriteFile(root_ + "/PhotoData/Photos.sqlite", std::vector<std::uint8_t>(4096, 'x'));
  testing::WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Bytes("jpeg"));
  TIpodPhotoDb& db = LoadWritten();  // the camera file is something to show
  EXPECT_EQ(db.Photos.Count(), 0u);
  EXPECT_EQ(db.Albums.Count(), 0u);
  EXPECT_FALSE(db.CopyOriginals);
  EXPECT_FALSE(db.ThumbFormat.FromIosLibrary);
  EXPECT_FALSE(fs::exists(device_->TempName));
}

TEST_F(PhotosSqliteTest, LibraryOfAnotherLayoutFailsPartWayAndIsDiscarded) {
  TSqliteLibrarySpec desc = SampleLibrary(testing::kLayout6);
  testing::WritePhotosSqliteLibrary(desc, root_);
  {
    TSQLiteDatabase db(root_ + "/PhotoData/Photos.sqlite");
    db.Query("ALTER TABLE ZGENERICASSET RENAME COLUMN ZTHUMBNAILINDEX TO ZOTHER");
  }
  fs::remove(root_ + "/PhotoData/Photos.sqlite-wal");
  TIpodPhotoDb& db = LoadWritten();  // the originals in DCIM/100APPLE are camera files
  EXPECT_EQ(db.Albums.Count(), 0u);
  EXPECT_EQ(db.Photos.Count(), 0u);

  // Called directly, the reader raises with the SQL and keeps what it added.
  TIpodPhotoDb direct(*device_, nullptr, false);
  try {
    direct.ReadPhotosSqlite(root_ + "/PhotoData/Photos.sqlite");
    FAIL() << "no exception";
  } catch (const ESQLiteException& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("\"SELECT Z_PK,ZTHUMBNAILINDEX,ZDIRECTORY"));
  }
  EXPECT_EQ(direct.Albums.Count(), 5u);
}

TEST_F(PhotosSqliteTest, OriginalsAreCopiedFromTheMediaFolder) {
  TIpodPhotoDb& db = Load(SampleLibrary(testing::kLayout6));
  for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.Photos.Select(i);
  const std::string dest = temp_ / "out";
  // A file of the first name and another size is already there; the second
  // original is already there with its own size.
  testing::WriteFile(dest + "/IMG_0001.JPG", Bytes("someone else's"));
  testing::WriteFile(dest + "/IMG_0002.JPG", Bytes("original of IMG_0002.JPG"));
  std::string folder = dest;
  ASSERT_TRUE(db.CheckOutputFolder(folder)) << folder;
  EXPECT_EQ(db.TransferPhotos(), 2);
  EXPECT_EQ(testing::ReadFile(dest + "/1_IMG_0001.JPG"), Bytes("original of IMG_0001.JPG"));
  EXPECT_EQ(testing::ReadFile(dest + "/IMG_0004.JPG"), Bytes("original of IMG_0004.JPG"));
  EXPECT_FALSE(fs::exists(dest + "/1_IMG_0002.JPG"));
  EXPECT_FALSE(db.TransferHadErrors());
}

}  // namespace
}  // namespace quill
