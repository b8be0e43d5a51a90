#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/bitmap.h"
#include "support/exif.h"
#include "support/fake_platform.h"
#include "support/heic_jpeg.h"
#include "support/ipod_writer.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TFakePlatform;
using testing::TTempDir;

constexpr std::int64_t kTaken = 1305012345;  // 2011-05-10 07:25:45, the photo's date
constexpr std::int64_t kFileTime = 1400000000;

std::set<std::string> FilesUnder(const std::string& folder) {
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.insert(entry.path().filename().string());
  return files;
}

std::int64_t FileTime(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtime) : -1;
}

bool Contains(const std::vector<std::uint8_t>& bytes, const std::string& text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

// A HEIC photo made by heif-enc from a picture drawn here, with its EXIF
// date; empty when heif-enc is not there.
std::vector<std::uint8_t> MakeHeic(const std::string& folder, int width, int height, int shade) {
  TBitmap24 picture;
  picture.SetSize(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = picture.Row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x * 4 + shade);
      p[1] = static_cast<std::uint8_t>(y * 4);
      p[2] = static_cast<std::uint8_t>(shade);
    }
  std::vector<std::uint8_t> jpeg, dated;
  TExifFields fields;
  fields.Original = fields.Digitized = kTaken;
  if (!EncodeJpeg(picture, 95, jpeg) || !WriteJpegExif(jpeg, fields, dated)) return {};
  const std::string in = folder + "/drawn" + std::to_string(shade) + ".jpg";
  const std::string out = folder + "/drawn" + std::to_string(shade) + ".heic";
  testing::WriteFile(in, dated);
  const std::string command = "heif-enc -q 60 -o '" + out + "' '" + in + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !fs::exists(out)) return {};
  return testing::ReadFile(out);
}

class HeicCopiesTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!HeicConversionAvailable()) GTEST_SKIP() << "this build has no HEIF decoder";
    fs::create_directories(work_);
    heic_ = MakeHeic(work_, 96, 64, 0);
    other_ = MakeHeic(work_, 64, 48, 120);
    if (heic_.empty() || other_.empty()) GTEST_SKIP() << "heif-enc is missing (libheif-examples)";
  }

  // A disk-mode iPod whose camera folder holds files.
  void Open(const std::vector<testing::TCameraFile>& files, THeicJpeg mode) {
    testing::TLibrarySpec desc;
    desc.CameraFiles = files;
    testing::WriteIpod(desc, root_);
    for (const auto& file : files) {
      fs::last_write_time(root_ + "/DCIM/100APPLE/" + file.Name,
                          std::chrono::file_clock::from_sys(
                              std::chrono::sys_seconds{std::chrono::seconds{kFileTime}}));
    }
    Reconnect(mode);
  }

  void Reconnect(THeicJpeg mode) {
    db_.reset();
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    ASSERT_TRUE(device_->UseFolder(root_, error)) << error;
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    db_->LoadPhotoLibrary();
    db_->LogText.clear();
    db_->HeicJpeg = mode;
    db_->PipelinedExport = pipelined_;
    db_->OnItemResult = [this](const std::string& name, TItemOutcome outcome, const std::string&) {
      results_.push_back(name + (outcome == TItemOutcome::Written        ? " written"
                                 : outcome == TItemOutcome::AlreadyThere ? " there"
                                                                         : " failed"));
    };
    std::string folder = dest_;
    ASSERT_TRUE(db_->CheckOutputFolder(folder));
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i) db_->CamPhotos->Select(i);
  }

  int Run() {
    results_.clear();
    db_->ResetTransferErrors();
    return db_->TransferCameraFiles();
  }

  std::string Out(const std::string& name) const { return dest_ + "/" + name; }

  TTempDir temp_;
  std::string work_ = temp_ / "work";
  std::string root_ = temp_ / "ipod";
  std::string dest_ = temp_ / "out";
  std::vector<std::uint8_t> heic_, other_;
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
  std::vector<std::string> results_;
  bool pipelined_ = true;
};

TEST_F(HeicCopiesTest, EachModeWritesTheJpegBesideOrInsteadOfTheHeicWithItsDatesAndTime) {
  struct TCase {
    THeicJpeg Mode;
    bool Pipelined;
    std::set<std::string> Files;
  };
  const std::vector<TCase> cases = {
      {THeicJpeg::No, true, {"IMG_0001.HEIC", "IMG_0002.heif", "IMG_0003.JPG"}},
      {THeicJpeg::Also, true,
       {"IMG_0001.HEIC", "IMG_0001.JPG", "IMG_0002.heif", "IMG_0002.JPG", "IMG_0003.JPG"}},
      {THeicJpeg::Also, false,
       {"IMG_0001.HEIC", "IMG_0001.JPG", "IMG_0002.heif", "IMG_0002.JPG", "IMG_0003.JPG"}},
      {THeicJpeg::Instead, true, {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"}},
  };
  const std::vector<std::uint8_t> plain = {0xFF, 0xD8, 'p', 'l', 'a', 'i', 'n', 0xFF, 0xD9};
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Mode));
    fs::remove_all(dest_);
    fs::remove_all(root_);
    pipelined_ = c.Pipelined;
    Open({{"IMG_0001.HEIC", heic_}, {"IMG_0002.heif", other_}, {"IMG_0003.JPG", plain}}, c.Mode);
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(FilesUnder(dest_), c.Files);
    std::vector<std::string> inOrder;
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i)
      inOrder.push_back(db_->CamPhotos->Items(i).FileName + " written");
    EXPECT_EQ(results_, inOrder) << "in the order of the items";
    EXPECT_EQ(inOrder.size(), 3u);
    EXPECT_EQ(db_->LogText, "");
    EXPECT_FALSE(db_->TransferHadErrors());
    if (c.Mode == THeicJpeg::Also) {
      EXPECT_EQ(testing::ReadFile(Out("IMG_0001.HEIC")), heic_);
    }
    if (c.Mode == THeicJpeg::No) continue;
    const std::vector<std::uint8_t> jpeg = testing::ReadFile(Out("IMG_0001.JPG"));
    TBitmap24 picture;
    ASSERT_TRUE(DecodeJpeg(jpeg, picture));
    EXPECT_EQ(picture.Width(), 96);
    EXPECT_EQ(picture.Height(), 64);
    EXPECT_TRUE(Contains(jpeg, ExifDateTime(kTaken))) << "the HEIC's EXIF dates are kept";
    EXPECT_EQ(ReadJpegImageUniqueId(jpeg), ContentIdentifier(heic_, kHeicJpegFormat));
    EXPECT_EQ(FileTime(Out("IMG_0001.JPG")), kFileTime);
    EXPECT_EQ(FileTime(Out("IMG_0002.JPG")), kFileTime);
    EXPECT_EQ(testing::ReadFile(Out("IMG_0003.JPG")), plain);
  }
}

TEST_F(HeicCopiesTest, RerunFindsTheJpegByItsIdentifierAndPassesOverAnotherPhotosName) {
  Open({{"IMG_0001.HEIC", heic_}}, THeicJpeg::Also);
  ASSERT_EQ(Run(), 1);
  // Another program re-saves the JPEG with its EXIF kept: other bytes, same identifier.
  const std::vector<std::uint8_t> first = testing::ReadFile(Out("IMG_0001.JPG"));
  TBitmap24 picture;
  std::vector<std::uint8_t> resaved, stamped;
  ASSERT_TRUE(DecodeJpeg(first, picture));
  ASSERT_TRUE(EncodeJpeg(picture, 70, resaved));
  TExifFields fields;
  fields.ImageUniqueId = ReadJpegImageUniqueId(first);
  ASSERT_TRUE(WriteJpegExif(resaved, fields, stamped));
  fs::remove(Out("IMG_0001.JPG"));
  testing::WriteFile(Out("IMG_0001.JPG"), stamped);

  for (THeicJpeg mode : {THeicJpeg::Also, THeicJpeg::Instead}) {
    Reconnect(mode);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"IMG_0001.HEIC", "IMG_0001.JPG"}));
    EXPECT_EQ(results_, (std::vector<std::string>{"IMG_0001.HEIC there"}));
  }
  EXPECT_EQ(testing::ReadFile(Out("IMG_0001.JPG")), stamped);

  // The name held by another photo: the JPEG goes to the next name.
  fs::remove(Out("IMG_0001.JPG"));
  testing::WriteFile(Out("IMG_0001.JPG"), resaved);
  Reconnect(THeicJpeg::Also);
  Run();
  EXPECT_EQ(FilesUnder(dest_),
            (std::set<std::string>{"IMG_0001.HEIC", "IMG_0001.JPG", "1_IMG_0001.JPG"}));
  EXPECT_EQ(testing::ReadFile(Out("IMG_0001.JPG")), resaved);
  EXPECT_EQ(ReadJpegImageUniqueId(testing::ReadFile(Out("1_IMG_0001.JPG"))), fields.ImageUniqueId);
}

TEST_F(HeicCopiesTest, BrokenHeicFilesAreCopiedAsTheyAreWithAnErrorEach) {
  const std::vector<std::uint8_t> cut(heic_.begin(), heic_.begin() + static_cast<std::ptrdiff_t>(heic_.size() / 2));
  std::vector<std::uint8_t> brand = heic_;
  std::copy_n("abcd", 4, brand.begin() + 8);  // the major brand of the ftyp box
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> broken = {
      {"IMG_0011.HEIC", cut}, {"IMG_0012.HEIC", brand}, {"IMG_0013.HEIC", {}}};
  for (THeicJpeg mode : {THeicJpeg::Also, THeicJpeg::Instead}) {
    SCOPED_TRACE(static_cast<int>(mode));
    fs::remove_all(dest_);
    fs::remove_all(root_);
    std::vector<testing::TCameraFile> files;
    for (const auto& [name, bytes] : broken) files.push_back({name, bytes});
    files.push_back({"IMG_0014.HEIC", heic_});
    Open(files, mode);
    EXPECT_EQ(Run(), 4);
    EXPECT_TRUE(db_->TransferHadErrors());
    std::set<std::string> expected = {"IMG_0011.HEIC", "IMG_0012.HEIC", "IMG_0013.HEIC", "IMG_0014.JPG"};
    if (mode == THeicJpeg::Also) expected.insert("IMG_0014.HEIC");
    EXPECT_EQ(FilesUnder(dest_), expected) << "nothing lost, nothing half-written";
    for (const auto& [name, bytes] : broken) {
      EXPECT_EQ(testing::ReadFile(Out(name)), bytes) << name;
      EXPECT_NE(db_->LogText.find(name + ": not converted to JPEG: "), std::string::npos)
          << name << " in " << db_->LogText;
    }
    EXPECT_NE(db_->LogText.find("IMG_0013.HEIC: not converted to JPEG: empty file"), std::string::npos);
    EXPECT_NE(db_->LogText.find("IMG_0012.HEIC: not converted to JPEG: not a HEIF file"), std::string::npos);
  }
}

}  // namespace
}  // namespace quill
