#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using testing::TFakePlatform;
using testing::TTempDir;

class CameraPhotosTest : public ::testing::Test {
protected:
  void SetUp() override {
    testing::WriteFile(root_ + "/iPod_Control/iTunes/iTunesDB", {0});
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    ASSERT_TRUE(device_->UseFolder(root_, error)) << error;
  }
  void Put(const std::string& name) { testing::WriteFile(root_ + "/DCIM/100APPLE/" + name, {7}); }

  static std::vector<std::string> Names(const TCamPhotoList& list) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.Count(); ++i) names.push_back(list.Items(i).FileName);
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempDir temp_;
  std::string root_ = temp_ / "ipod";
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
};

TEST_F(CameraPhotosTest, ListsTheCameraFilesWithoutTheirThumbnails) {
  Put("IMG_0001.JPG");
  Put("IMG_0001.THM");
  Put("img_0002.thm");
  Put("IMG_0003.MOV");
  Put("DSC_0004.JPG");  // a disk-mode iPod lists only IMG* files
  testing::WriteFile(root_ + "/DCIM/100APPLE/.MISC/IMG_0003.THM", {1});
  TIpodPhotoDb db(*device_, nullptr, true);

  EXPECT_EQ(db.LoadCameraFiles(), 2);
  EXPECT_EQ(Names(*db.CamPhotos), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0003.MOV"}));
  EXPECT_EQ(db.CamPhotos->Folder, device_->CameraFolder());
  EXPECT_FALSE(db.CamPhotos->Items(0).Selected);
  EXPECT_EQ(db.CamPhotos->SelectedCount, 0);
  EXPECT_EQ(db.CameraCellsPerPage, 30);
}

TEST_F(CameraPhotosTest, MissingCameraFolderGivesAnEmptyList) {
  TIpodPhotoDb db(*device_, nullptr, true);
  EXPECT_EQ(db.LoadCameraFiles(), 0);
  EXPECT_EQ(db.CamPhotos->Count(), 0u);
  // The folder is known even when it holds nothing.
  EXPECT_EQ(db.CamPhotos->Folder, device_->CameraFolder());
}

TEST_F(CameraPhotosTest, ControllerWithoutCameraHasNoCameraList) {
  Put("IMG_0001.JPG");
  TIpodPhotoDb db(*device_, nullptr, false);
  EXPECT_EQ(db.CamPhotos, nullptr);
  EXPECT_EQ(db.LoadCameraFiles(), 0);
}

}  // namespace
}  // namespace quill
