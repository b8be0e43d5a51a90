#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/ipod_device.h"
#include "library/cell_area.h"
#include "library/ipod_photo_db.h"
#include "support/picture.h"
#include "support/ipod_writer.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Records the cells the page side builds, and how often the area was
// disabled, as the window's scroll area would show them.
class TRecordingCellArea : public TCellArea {
public:
  std::vector<TCellSpec> Cells;
  int FreeCalls = 0;
  int DisableCalls = 0;
  bool Enabled = true;

  int AddCell(TCellSpec cell) override {
    Cells.push_back(std::move(cell));
    return static_cast<int>(Cells.size()) - 1;
  }
  void FreeAllCells() override {
    Cells.clear();
    ++FreeCalls;
  }
  int CellCount() const override { return static_cast<int>(Cells.size()); }
  std::int32_t CellId(int cell) const override { return Cells[static_cast<std::size_t>(cell)].Id; }
  bool CellSelected(int cell) const override { return Cells[static_cast<std::size_t>(cell)].Selected; }
  void SetCellSelected(int cell, bool selected) override {
    EXPECT_FALSE(Enabled) << "cells are marked while the area is disabled";
    Cells[static_cast<std::size_t>(cell)].Selected = selected;
  }
  void SetEnabled(bool enabled) override {
    if (!enabled) ++DisableCalls;
    Enabled = enabled;
  }
  void SetVisible(bool) override {}

  std::vector<int> Xs() const {
    std::vector<int> xs;
    for (const TCellSpec& c : Cells) xs.push_back(c.X);
    return xs;
  }
  std::vector<std::int32_t> Ids() const {
    std::vector<std::int32_t> ids;
    for (const TCellSpec& c : Cells) ids.push_back(c.Id);
    return ids;
  }
};

// A clicking area: PhotoCellClick marks cells while enabled, unlike MarkPageCells.
class TClickArea : public TRecordingCellArea {
public:
  void SetCellSelected(int cell, bool selected) override { Cells[static_cast<std::size_t>(cell)].Selected = selected; }
};

std::vector<std::uint8_t> SolidRecord(std::size_t pixels, std::uint16_t rgb565) {
  std::vector<std::uint8_t> bytes(pixels * 2);
  for (std::size_t i = 0; i < pixels; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(rgb565);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(rgb565 >> 8);
  }
  return bytes;
}

// A disk-mode iPod folder holding one thumbnail file of `photos` records of
// format 1032 (42 x 37, 16-bit), record k in colour k % 2 ? red : white; the
// controller's model is filled by hand so that each test sets what it needs.
class PhotoBrowserTest : public ::testing::Test {
protected:
  static constexpr int kWidth = 42, kHeight = 37;
  static constexpr int kSlot = kWidth * kHeight * 2;

  void MakeDevice(int records, int formatId = 1032) {
    std::filesystem::create_directories(dir_ / "iPod_Control/iTunes");
    std::filesystem::create_directories(dir_ / "Photos/Thumbs");
    std::filesystem::create_directories(dir_ / "DCIM/100APPLE");
    std::vector<std::uint8_t> file;
    for (int k = 0; k < records; ++k) {
      const auto record = SolidRecord(kWidth * kHeight, k % 2 ? 0xF800 : 0xFFFF);
      file.insert(file.end(), record.begin(), record.end());
    }
    testing::WriteFile(dir_ / ("Photos/Thumbs/F" + std::to_string(formatId) + "_1.ithmb"), file);
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    ASSERT_TRUE(device_->UseFolder(dir_.Path(), error)) << error;
    db_ = std::make_unique<TIpodPhotoDb>(*device_, &area_, true);
    db_->ThumbFormat.FormatId = formatId;
    db_->ThumbFormat.Width = kWidth;
    db_->ThumbFormat.Height = kHeight;
    db_->ThumbFormat.SlotBytes = kSlot;
    db_->SetPageLayout(false);
  }

  // Photos with ids 100, 101, ... whose thumbnails are records 0, 1, ...
  void AddPhotos(int count) {
    for (int k = 0; k < count; ++k) {
      TPhotoItem& p = db_->Photos.Add();
      p.Id = 100 + static_cast<std::uint32_t>(k);
      p.ThumbOffset = static_cast<std::uint32_t>(k * kSlot);
      p.ImageSize = 1000;
    }
  }

  TPhotoAlbumItem& AddAlbum(const std::string& name, std::vector<std::uint32_t> ids) {
    TPhotoAlbumItem& a = db_->Albums.Add();
    a.Name = name;
    a.PhotoIds = std::move(ids);
    a.Count = static_cast<std::int32_t>(a.PhotoIds.size());
    return a;
  }

  std::vector<std::uint32_t> IdRange(int from, int count) {
    std::vector<std::uint32_t> ids;
    for (int k = 0; k < count; ++k) ids.push_back(100 + static_cast<std::uint32_t>(from + k));
    return ids;
  }

  testing::TTempDir dir_;
  testing::TFakePlatform platform_;
  TClickArea area_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
};

TEST_F(PhotoBrowserTest, RowsOfFormat1032HoldTenCellsAtTheirGaps) {
  MakeDevice(25);
  AddPhotos(25);
  AddAlbum("All", IdRange(0, 25));
  ASSERT_EQ(db_->CellsPerPage, 400);

  std::vector<std::int32_t> progress;
  db_->OnPageProgress = [&](std::int32_t n) { progress.push_back(n); };
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 25);
  ASSERT_EQ(area_.Cells.size(), 25u);
  const std::vector<int> xs = area_.Xs();
  EXPECT_THAT(std::vector<int>(xs.begin(), xs.begin() + 11), ElementsAre(18, 78, 138, 198, 258, 318, 378, 438, 498, 558, 18));
  EXPECT_EQ(area_.Cells[9].Y, 18);
  EXPECT_EQ(area_.Cells[10].Y, 18 + 18 + 37);
  EXPECT_EQ(area_.Cells[20].Y, 18 + 2 * (18 + 37));
  EXPECT_EQ(area_.Cells[0].Width, 42);
  EXPECT_EQ(area_.Cells[0].Height, 37);
  EXPECT_EQ(progress.size(), 25u);
  EXPECT_EQ(progress.back(), 25);

  // The picture is the record decoded as 16-bit pixels: white, then red.
  const TBitmap24& white = area_.Cells[0].Picture;
  const TBitmap24& red = area_.Cells[1].Picture;
  ASSERT_EQ(white.Width(), kWidth);
  ASSERT_EQ(white.Height(), kHeight);
  EXPECT_EQ(white.Row(20)[3 * 20 + 1], 0xFF);
  ASSERT_EQ(red.Width(), kWidth);
  EXPECT_EQ(red.Row(20)[3 * 20 + 2], 0xFF);  // red
  EXPECT_EQ(red.Row(20)[3 * 20 + 1], 0x00);  // no green
}

TEST_F(PhotoBrowserTest, Format1015PlacesFourCellsPerRow) {
  MakeDevice(6, 1015);
  AddPhotos(6);
  AddAlbum("All", IdRange(0, 6));
  ASSERT_EQ(db_->CellColumns, 4);
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 6);
  EXPECT_THAT(area_.Xs(), ElementsAre(22, 163, 304, 445, 22, 163));
  EXPECT_EQ(area_.Cells[4].Y, 22 + 22 + 88);
}

TEST_F(PhotoBrowserTest, PagesSplitAtCellsPerPage) {
  MakeDevice(401);
  AddPhotos(401);
  AddAlbum("All", IdRange(0, 401));
  AddAlbum("Full", IdRange(0, 400));
  AddAlbum("Empty", {});

  EXPECT_EQ(db_->AlbumPageCount(0), 2);
  EXPECT_EQ(db_->AlbumPageCount(1), 1);
  EXPECT_EQ(db_->AlbumPageCount(2), 0);
  EXPECT_EQ(db_->AlbumPageCount(3), 0);   // no such album
  EXPECT_EQ(db_->AlbumPageCount(-1), 0);

  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 400);
  EXPECT_EQ(db_->ShowAlbumPage(0, 2, 1), 1);
  EXPECT_THAT(area_.Ids(), ElementsAre(400));
  EXPECT_EQ(area_.Cells[0].X, 18);
  EXPECT_EQ(db_->ShowAlbumPage(0, 3, 1), 0);
  EXPECT_EQ(db_->ShowAlbumPage(0, 0, 1), 0);
  EXPECT_EQ(db_->ShowAlbumPage(2, 1, 1), 0);
  EXPECT_EQ(db_->ShowAlbumPage(7, 1, 1), 0);
  EXPECT_TRUE(area_.Cells.empty());
}

TEST_F(PhotoBrowserTest, AlbumCountsFollowTheAlbumNotAllPhotos) {
  MakeDevice(3);
  AddPhotos(3);
  AddAlbum("All", IdRange(0, 3));
  db_->CellsPerPage = 2;
  AddAlbum("One", IdRange(2, 1));
  EXPECT_EQ(db_->AlbumPageCount(0), 2);
  EXPECT_EQ(db_->AlbumPageCount(1), 1);
  EXPECT_EQ(db_->ShowAlbumPage(1, 1, 1), 1);
  EXPECT_THAT(area_.Ids(), ElementsAre(2));
}

TEST_F(PhotoBrowserTest, UnreadableThumbnailsAreSkippedAndThePageFillsUp) {
  MakeDevice(4);
  AddPhotos(4);
  db_->Photos.Items(1).ThumbOffset = 1u << 30;  // beyond the file
  AddAlbum("All", IdRange(0, 4));
  db_->CellsPerPage = 2;
  std::vector<std::int32_t> progress;
  db_->OnPageProgress = [&](std::int32_t n) { progress.push_back(n); };

  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 2);
  EXPECT_THAT(area_.Ids(), ElementsAre(0, 2));
  EXPECT_THAT(area_.Xs(), ElementsAre(18, 78));
  EXPECT_THAT(progress, ElementsAre(1, 1, 2));  // a failed read reports too
  // The next page still starts at position 2.
  EXPECT_EQ(db_->ShowAlbumPage(0, 2, 1), 2);
  EXPECT_THAT(area_.Ids(), ElementsAre(2, 3));
}

TEST_F(PhotoBrowserTest, MissingThumbnailFileMakesNoCell) {
  MakeDevice(2);
  AddPhotos(2);
  AddAlbum("All", IdRange(0, 2));
  std::filesystem::remove(dir_ / "Photos/Thumbs/F1032_1.ithmb");
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 0);
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 2), 0);  // no F1032_2 either
  EXPECT_TRUE(area_.Cells.empty());
}

TEST_F(PhotoBrowserTest, DuplicateIdsGetACellEachButSelectionTakesTheFirst) {
  MakeDevice(3);
  AddPhotos(3);
  db_->Photos.Items(2).Id = 100;  // photos 0 and 2 share id 100
  AddAlbum("All", {100, 101});
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 3);
  EXPECT_THAT(area_.Ids(), ElementsAre(0, 2, 1));

  db_->SelectAlbumPhotos(TSelectOp::SelectAll, 0);
  EXPECT_TRUE(db_->Photos.Items(0).Selected);
  EXPECT_TRUE(db_->Photos.Items(1).Selected);
  EXPECT_FALSE(db_->Photos.Items(2).Selected);
  EXPECT_EQ(db_->Photos.SelectedCount, 2);
}

TEST_F(PhotoBrowserTest, IndexFollowsChangesOfPhotos) {
  MakeDevice(3);
  AddPhotos(2);
  AddAlbum("All", {100, 101, 102});
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 2);
  // A reload that adds a photo and renumbers another is seen at once.
  AddPhotos(1);
  db_->Photos.Items(2).Id = 102;
  db_->Photos.Items(2).ThumbOffset = 2 * kSlot;
  db_->Photos.Items(0).Id = 999;
  EXPECT_EQ(db_->ShowAlbumPage(0, 1, 1), 2);
  EXPECT_THAT(area_.Ids(), ElementsAre(1, 2));
}

TEST_F(PhotoBrowserTest, ClickFlipsCellAndModelAndReports) {
  MakeDevice(3);
  AddPhotos(3);
  AddAlbum("All", IdRange(0, 3));
  db_->Photos.Select(1);
  db_->ShowAlbumPage(0, 1, 1);
  EXPECT_FALSE(area_.Cells[0].Selected);
  EXPECT_TRUE(area_.Cells[1].Selected);  // the model's flag when made

  std::vector<std::pair<std::int32_t, bool>> changes;
  db_->OnSelectionChange = [&](std::int32_t id, bool selected) { changes.emplace_back(id, selected); };
  db_->PhotoCellClick(2);
  db_->PhotoCellClick(1);
  EXPECT_TRUE(area_.Cells[2].Selected);
  EXPECT_FALSE(area_.Cells[1].Selected);
  EXPECT_TRUE(db_->Photos.Items(2).Selected);
  EXPECT_FALSE(db_->Photos.Items(1).Selected);
  EXPECT_EQ(db_->Photos.SelectedCount, 1);
  EXPECT_EQ(db_->Photos.SelectedBytes, 1000u);
  EXPECT_THAT(changes, ElementsAre(std::pair{2, true}, std::pair{1, false}));
  db_->PhotoCellClick(3);  // no such cell
  db_->PhotoCellClick(-1);
  EXPECT_EQ(changes.size(), 2u);
}

TEST_F(PhotoBrowserTest, InvertReachesPhotosOnOtherPages) {
  MakeDevice(5);
  AddPhotos(5);
  AddAlbum("All", IdRange(0, 5));
  db_->CellsPerPage = 2;
  db_->Photos.Select(0);
  db_->Photos.Select(3);
  db_->ShowAlbumPage(0, 2, 1);  // photos 2 and 3

  db_->SelectAlbumPhotos(TSelectOp::Invert, 0);
  db_->MarkPageCells(TSelectOp::Invert);
  std::vector<bool> selected;
  for (std::size_t i = 0; i < 5; ++i) selected.push_back(db_->Photos.Items(i).Selected);
  EXPECT_THAT(selected, ElementsAre(false, true, true, false, true));
  EXPECT_TRUE(area_.Cells[0].Selected);
  EXPECT_FALSE(area_.Cells[1].Selected);
  EXPECT_EQ(area_.DisableCalls, 1);
  EXPECT_TRUE(area_.Enabled);

  db_->SelectAlbumPhotos(TSelectOp::UnselectAll, 0);
  db_->MarkPageCells(TSelectOp::UnselectAll);
  EXPECT_EQ(db_->Photos.SelectedCount, 0);
  EXPECT_FALSE(area_.Cells[0].Selected);
  db_->SelectAlbumPhotos(TSelectOp::SelectAll, 0);
  db_->MarkPageCells(TSelectOp::SelectAll);
  EXPECT_EQ(db_->Photos.SelectedCount, 5);
  EXPECT_TRUE(area_.Cells[1].Selected);
}

TEST_F(PhotoBrowserTest, MarkingHappensWithTheAreaDisabled) {
  MakeDevice(2);
  AddPhotos(2);
  AddAlbum("All", IdRange(0, 2));
  TRecordingCellArea area;
  db_->CellArea = &area;
  db_->ShowAlbumPage(0, 1, 1);
  db_->MarkPageCells(TSelectOp::Invert);  // the area fails the test when enabled
  EXPECT_TRUE(area.Cells[0].Selected && area.Cells[1].Selected);
  db_->CellArea = &area_;
}

class CameraPageTest : public PhotoBrowserTest {
protected:
  void MakeCamera(const std::vector<std::string>& names) {
    MakeDevice(0);
    db_->SetPageLayout(true);
    for (const std::string& name : names) db_->CamPhotos->Add().FileName = name;
    db_->CamPhotos->Folder = device_->CameraFolder();
  }

  static std::vector<std::uint8_t> Jpeg(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    TBitmap24 b(16, 16);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        b.Row(y)[3 * x] = blue;
        b.Row(y)[3 * x + 1] = green;
        b.Row(y)[3 * x + 2] = red;
      }
    }
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(EncodeJpeg(b, 95, out));
    return out;
  }
};

TEST_F(CameraPageTest, CellsOfThirtyPerPageWithPictures) {
  std::vector<std::string> names;
  for (int k = 0; k < 31; ++k) {
    names.push_back("IMG_" + std::to_string(1000 + k) + ".JPG");
    testing::WriteFile(dir_ / ("DCIM/100APPLE/" + names.back()), Jpeg(0, 0, 255));
  }
  MakeCamera(names);
  EXPECT_EQ(db_->CameraPageCount(), 2);
  EXPECT_EQ(db_->ShowCameraPage(1, ""), 30);
  const std::vector<int> xs = area_.Xs();
  EXPECT_THAT(std::vector<int>(xs.begin(), xs.begin() + 7),
              ElementsAre(20, 115, 210, 305, 400, 495, 20));
  EXPECT_EQ(area_.Cells[6].Y, 20 + 95);
  const TCellSpec& cell = area_.Cells[0];
  EXPECT_TRUE(cell.Camera);
  ASSERT_EQ(cell.Picture.Width(), 75);
  ASSERT_EQ(cell.Picture.Height(), 75);
  EXPECT_GT(cell.Picture.Row(37)[3 * 37 + 2], 200);  // red, stretched over the cell
  EXPECT_LT(cell.Picture.Row(37)[3 * 37 + 0], 60);

  EXPECT_EQ(db_->ShowCameraPage(2, ""), 1);
  EXPECT_THAT(area_.Ids(), ElementsAre(30));
  EXPECT_EQ(db_->ShowCameraPage(3, ""), 0);
}

TEST_F(CameraPageTest, MovFilesShowThePictureFileOrStayBlank) {
  testing::WriteFile(dir_ / "DCIM/100APPLE/CLIP.mov", {1, 2, 3});
  testing::WriteFile(dir_ / "DCIM/100APPLE/BAD.JPG", {0xFF, 0xD8, 0x00});
  MakeCamera({"CLIP.mov", "BAD.JPG"});
  const std::string mov = dir_ / "mov.jpg";
  testing::WriteFile(mov, Jpeg(255, 0, 0));

  EXPECT_EQ(db_->ShowCameraPage(1, mov), 2);
  EXPECT_GT(area_.Cells[0].Picture.Row(10)[3 * 10], 200);  // blue picture of the .MOV
  // An undecodable thumbnail is a blank (white) cell, without a message.
  EXPECT_EQ(area_.Cells[1].Picture.Row(10)[3 * 10 + 1], 0xFF);

  EXPECT_EQ(db_->ShowCameraPage(1, ""), 2);
  EXPECT_EQ(area_.Cells[0].Picture.Row(10)[3 * 10 + 1], 0xFF);
  EXPECT_EQ(db_->ShowCameraPage(1, dir_ / "absent.bmp"), 2);
}

TEST_F(CameraPageTest, SelectionOfCameraFiles) {
  for (const char* name : {"A.JPG", "B.JPG", "C.JPG"}) {
    testing::WriteFile(dir_ / (std::string("DCIM/100APPLE/") + name), Jpeg(0, 255, 0));
  }
  MakeCamera({"A.JPG", "B.JPG", "C.JPG"});
  db_->CamPhotos->Select(1);
  db_->ShowCameraPage(1, "");
  EXPECT_TRUE(area_.Cells[1].Selected);
  db_->CameraCellClick(0);
  EXPECT_TRUE(db_->CamPhotos->Items(0).Selected);
  EXPECT_EQ(db_->CamPhotos->SelectedCount, 2);

  db_->SelectCameraFiles(TSelectOp::Invert);
  db_->MarkPageCells(TSelectOp::Invert);
  EXPECT_EQ(db_->CamPhotos->SelectedCount, 1);
  EXPECT_TRUE(db_->CamPhotos->Items(2).Selected);
  EXPECT_TRUE(area_.Cells[2].Selected);
  EXPECT_FALSE(area_.Cells[0].Selected);
}

TEST_F(CameraPageTest, NoCameraFilesNoCells) {
  MakeCamera({});
  EXPECT_EQ(db_->CameraPageCount(), 0);
  EXPECT_EQ(db_->ShowCameraPage(1, ""), 0);
}

}  // namespace
}  // namespace quill
