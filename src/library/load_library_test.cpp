#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/sqlite_database.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;

using testing::TFakePlatform;
using testing::TTempDir;

// Records what the controller does to the cell area.
class TRecordingCellArea : public TCellArea {
public:
  std::vector<std::string> Calls;
  int Cells = 0;

  int AddCell(TCellSpec) override {
    Calls.push_back("add");
    return Cells++;
  }
  void FreeAllCells() override {
    Calls.push_back("free");
    Cells = 0;
  }
  int CellCount() const override { return Cells; }
  std::int32_t CellId(int cell) const override { return cell; }
  bool CellSelected(int) const override { return false; }
  void SetCellSelected(int, bool) override {}
  void SetEnabled(bool enabled) override { Calls.push_back(enabled ? "enable" : "disable"); }
  void SetVisible(bool visible) override { Calls.push_back(visible ? "show" : "hide"); }
};

class LoadLibraryTest : public ::testing::Test {
protected:
  TIpodDevice& UseIpod() {
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    EXPECT_TRUE(device_->UseFolder(root_, error)) << error;
    return *device_;
  }
  void MakeBareIpod() { testing::WriteFile(root_ + "/iPod_Control/iTunes/iTunesDB", {0}); }

  TTempDir temp_;
  std::string root_ = temp_ / "ipod";
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
};

TEST_F(LoadLibraryTest, CameraFilesAloneAreSomethingToShow) {
  MakeBareIpod();
  testing::WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", {1, 2, 3});
  TIpodPhotoDb db(UseIpod(), nullptr, true);

  EXPECT_TRUE(db.LoadPhotoLibrary());
  EXPECT_FALSE(db.PhotoDatabaseRead());
  EXPECT_EQ(db.Photos.Count(), 0u);
  EXPECT_EQ(db.Albums.Count(), 0u);
  ASSERT_EQ(db.CamPhotos->Count(), 1u);
  EXPECT_EQ(db.CamPhotos->Items(0).FileName, "IMG_0001.JPG");
  // The reader's complaint stays in the log.
  EXPECT_NE(db.LogText.find("\r\nRead DB fail"), std::string::npos);
}

TEST_F(LoadLibraryTest, APhotosSqliteOfAnUnknownLayoutSaysWhyItWasNotRead) {
  MakeBareIpod();
  fs::create_directories(root_ + "/PhotoData");
  {
    // A modern asset table without the file's folder column.
    TSQLiteDatabase library(root_ + "/PhotoData/Photos.sqlite");
    library.Query("CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZFILENAME VARCHAR)");
  }
  TIpodPhotoDb db(UseIpod(), nullptr, true);
  EXPECT_FALSE(db.LoadPhotoLibrary());
  EXPECT_NE(db.LogText.find("\r\nRead DB fail: "), std::string::npos);
  EXPECT_NE(db.LogText.find("Photos.sqlite not read: the table ZASSET has no column ZDIRECTORY"),
            std::string::npos)
      << db.LogText;
}

TEST_F(LoadLibraryTest, NothingAtAllIsNothingToShow) {
  MakeBareIpod();
  TIpodPhotoDb db(UseIpod(), nullptr, true);
  EXPECT_FALSE(db.LoadPhotoLibrary());
  EXPECT_EQ(db.CamPhotos->Count(), 0u);
}

TEST_F(LoadLibraryTest, WithoutCameraTheCameraFolderIsNotRead) {
  MakeBareIpod();
  testing::WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", {1, 2, 3});
  TIpodPhotoDb db(UseIpod(), nullptr, false);
  EXPECT_FALSE(db.LoadPhotoLibrary());
  EXPECT_EQ(db.CamPhotos, nullptr);
}

TEST_F(LoadLibraryTest, PhotoDatabaseAndCameraFilesLoadTogether) {
  testing::TLibrarySpec desc;
  desc.Formats = {{1015, testing::TRecordLayout::Rgb565, 130, 88},
                  {1024, testing::TRecordLayout::Rgb565, 320, 240}};
  desc.Photos = {{64, {}, {}, {}}, {65, {}, {}, {}}};
  desc.Albums = {{"Library", false, false, {64, 65}}};
  desc.CameraFiles = {{"IMG_0001.JPG", {1, 2}}};
  testing::WriteIpod(desc, root_);
  TIpodPhotoDb db(UseIpod(), nullptr, true);

  EXPECT_TRUE(db.LoadPhotoLibrary());
  EXPECT_TRUE(db.PhotoDatabaseRead());
  EXPECT_EQ(db.Photos.Count(), 2u);
  EXPECT_EQ(db.CamPhotos->Count(), 1u);
  // The album geometry follows the thumbnail format, the camera geometry is fixed.
  EXPECT_EQ(db.CellWidth, 119);
  EXPECT_EQ(db.CameraCellWidth, 75);
}

TEST_F(LoadLibraryTest, AddLogStartsEveryLineWithALineBreak) {
  MakeBareIpod();
  TIpodPhotoDb db(UseIpod(), nullptr, true);
  db.AddLog("one");
  db.AddLog("two");
  EXPECT_EQ(db.LogText, "\r\none\r\ntwo");
}

struct TGeometry {
  std::int32_t FormatId, Width, Height, Gap, Columns, PerPage;
};

TEST_F(LoadLibraryTest, AlbumGeometryFollowsTheThumbnailFormat) {
  MakeBareIpod();
  TIpodPhotoDb db(UseIpod(), nullptr, true);
  const TGeometry table[] = {
      {1015, 119, 88, 22, 4, 200}, {1032, 42, 37, 18, 10, 400},
      {3011, 75, 75, 20, 6, 300},  {1019, 64, 64, 20, 7, 350},  // not a thumbnail format
      {0, 64, 64, 20, 7, 350},
  };
  for (const TGeometry& row : table) {
    db.ThumbFormat.FormatId = row.FormatId;
    db.SetPageLayout(false);
    EXPECT_EQ(db.CellWidth, row.Width) << row.FormatId;
    EXPECT_EQ(db.CellHeight, row.Height) << row.FormatId;
    EXPECT_EQ(db.CellGap, row.Gap) << row.FormatId;
    EXPECT_EQ(db.CellColumns, row.Columns) << row.FormatId;
    EXPECT_EQ(db.CellsPerPage, row.PerPage) << row.FormatId;
  }
  // The camera geometry is a separate set of fields.
  EXPECT_EQ(db.CameraCellWidth, 0);
  db.SetPageLayout(true);
  EXPECT_EQ(db.CameraCellWidth, 75);
  EXPECT_EQ(db.CameraCellHeight, 75);
  EXPECT_EQ(db.CameraCellGap, 20);
  EXPECT_EQ(db.CameraCellColumns, 6);
  EXPECT_EQ(db.CameraCellsPerPage, 30);
  EXPECT_EQ(db.CellWidth, 64);
}

TEST_F(LoadLibraryTest, DestructionClearsTheCellsBehindAHiddenArea) {
  MakeBareIpod();
  TRecordingCellArea area;
  area.Cells = 3;
  { TIpodPhotoDb db(UseIpod(), &area, true); }
  EXPECT_EQ(area.Calls, (std::vector<std::string>{"hide", "free", "show"}));
  EXPECT_EQ(area.Cells, 0);
}

}  // namespace
}  // namespace quill
