#include "library/photo_model.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quill {
namespace {

TPhotoList ListOfSizes(std::initializer_list<std::uint32_t> sizes) {
  TPhotoList list;
  std::uint32_t id = 64;
  for (const std::uint32_t size : sizes) {
    TPhotoItem& item = list.Add();
    item.Id = id++;
    item.ImageSize = size;
  }
  return list;
}

TEST(PhotoListTest, SelectCountsEachPhotoOnceAndSumsItsSize) {
  TPhotoList list = ListOfSizes({1000, 250000, 7});
  list.Select(0);
  list.Select(1);
  list.Select(1);
  EXPECT_EQ(list.SelectedCount, 2);
  EXPECT_EQ(list.SelectedBytes, 251000u);
  EXPECT_TRUE(list.Items(1).Selected);
  EXPECT_FALSE(list.Items(2).Selected);
}

TEST(PhotoListTest, UnselectTakesBackOnlyWhatWasSelected) {
  TPhotoList list = ListOfSizes({1000, 250000, 7});
  list.Select(0);
  list.Select(2);
  list.Unselect(1);  // never selected: nothing changes
  EXPECT_EQ(list.SelectedCount, 2);
  EXPECT_EQ(list.SelectedBytes, 1007u);
  list.Unselect(2);
  list.Unselect(2);
  EXPECT_EQ(list.SelectedCount, 1);
  EXPECT_EQ(list.SelectedBytes, 1000u);
  EXPECT_FALSE(list.Items(2).Selected);
}

TEST(PhotoListTest, BytesSumPastFourGigabytes) {
  TPhotoList list = ListOfSizes({0xFFFFFFF0u, 0xFFFFFFF0u, 0x20u});
  for (std::size_t i = 0; i < list.Count(); ++i) list.Select(i);
  EXPECT_EQ(list.SelectedBytes, 2 * std::uint64_t{0xFFFFFFF0u} + 0x20u);
  list.Unselect(0);
  EXPECT_EQ(list.SelectedBytes, std::uint64_t{0xFFFFFFF0u} + 0x20u);
}

TEST(PhotoListTest, PhotosWithoutSizesLeaveTheByteTotalAtZero) {
  TPhotoList list = ListOfSizes({0, 0});
  list.Select(0);
  list.Select(1);
  EXPECT_EQ(list.SelectedCount, 2);
  EXPECT_EQ(list.SelectedBytes, 0u);
}

TEST(PhotoListTest, ClearKeepsTheTotals) {
  TPhotoList list = ListOfSizes({10, 20});
  list.Select(1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.SelectedCount, 1);
  EXPECT_EQ(list.SelectedBytes, 20u);
}

TEST(CamPhotoListTest, SelectAndUnselectKeepTheCount) {
  TCamPhotoList list;
  list.Add().FileName = "IMG_0001.JPG";
  list.Add().FileName = "IMG_0002.MOV";
  list.Select(0);
  list.Select(0);
  list.Unselect(1);
  EXPECT_EQ(list.SelectedCount, 1);
  list.Select(1);
  list.Unselect(0);
  list.Unselect(0);
  EXPECT_EQ(list.SelectedCount, 1);
  EXPECT_FALSE(list.Items(0).Selected);
  EXPECT_TRUE(list.Items(1).Selected);
}

}  // namespace
}  // namespace quill
