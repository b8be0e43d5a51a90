#include <algorithm>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TFakePlatform;
using testing::TLibrarySpec;
using testing::TRecordLayout;
using testing::TTempDir;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string Text(const std::string& path) {
  const std::vector<std::uint8_t> bytes = testing::ReadFile(path);
  return {bytes.begin(), bytes.end()};
}

// Every regular file under folder, as paths relative to it.
std::set<std::string> FilesUnder(const std::string& folder) {
  std::set<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) files.insert(fs::relative(it->path(), folder).string());
  }
  return files;
}

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < log.size()) {
    EXPECT_EQ(log.compare(pos, 2, "\r\n"), 0) << "every line starts with a line break";
    pos += 2;
    const std::size_t end = log.find("\r\n", pos);
    lines.push_back(log.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? log.size() : end;
  }
  return lines;
}

// A library of original files, one photo per (name, bytes), ids from 64.
TLibrarySpec OriginalsLibrary(const std::vector<std::pair<std::string, std::string>>& files) {
  TLibrarySpec desc;
  desc.Originals = true;
  desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88}};
  testing::TAlbumSpec master{"Library", false, false, {}};
  std::uint32_t id = 64;
  for (const auto& [name, bytes] : files) {
    desc.Photos.push_back({id, {}, name, Bytes(bytes)});
    master.PhotoIds.push_back(id++);
  }
  desc.Albums = {master};
  return desc;
}

TLibrarySpec CameraOnly(const std::vector<std::pair<std::string, std::string>>& files) {
  TLibrarySpec desc;
  for (const auto& [name, bytes] : files) desc.CameraFiles.push_back({name, Bytes(bytes)});
  return desc;
}

struct TResult {
  std::string Name;
  TItemOutcome Outcome;
  std::string PcFile;
  bool operator==(const TResult&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TResult& result) {
  static const char* const kOutcomes[] = {"Written", "AlreadyThere", "Failed"};
  return out << "{" << result.Name << ", " << kOutcomes[static_cast<int>(result.Outcome)] << ", "
             << result.PcFile << "}";
}

// Runs the real engine on an iPod written into a temporary folder, with
// dest_ as the checked output folder.
class TransferTest : public ::testing::Test {
protected:
  void Open(const TLibrarySpec& desc) {
    testing::WriteIpod(desc, root_);
    Connect();
  }

  void Connect() {
    db_.reset();
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    ASSERT_TRUE(device_->UseFolder(root_, error)) << error;
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    db_->LoadPhotoLibrary();
    db_->LogText.clear();
    db_->OnTransferFile = [this](const std::string& name) { notified_.push_back(name); };
    db_->OnItemResult = [this](const std::string& name, TItemOutcome outcome,
                               const std::string& pcFile) {
      results_.push_back({name, outcome, pcFile});
    };
    std::string folder = dest_;
    ASSERT_TRUE(db_->CheckOutputFolder(folder)) << folder;
    ASSERT_EQ(db_->DestFolder, dest_ + "/");
  }

  void SelectAll() {
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->Photos.Select(i);
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i) db_->CamPhotos->Select(i);
  }

  int RunPhotos() {
    notified_.clear();
    results_.clear();
    return db_->TransferPhotos();
  }
  int RunCamera() {
    notified_.clear();
    results_.clear();
    return db_->TransferCameraFiles();
  }

  // Every copy onto the PC fails with error, retries included.
  void FailEveryCopy(int error) {
    platform_.FaultError = error;
    platform_.BeforeFileOp = [this](const std::string& op, const std::string&) {
      if (op == "copy" || op == "write") platform_.FailWriteAtCall = ++copies_;
    };
  }

  std::string Out(const std::string& name) const { return dest_ + "/" + name; }
  std::string Original(const std::string& name) const {
    return root_ + "/Photos/Full Resolution/" + name;
  }

  TTempDir temp_;
  std::string root_ = temp_ / "ipod";
  std::string dest_ = temp_ / "out";
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
  std::vector<std::string> notified_;
  std::vector<TResult> results_;
  int copies_ = 0;
};

// The code an unsafe device name or path is logged with.
std::string Unsafe() { return std::to_string(kErrorUnsafeName); }

TEST_F(TransferTest, CopiesTheSelectedOriginalsUnderTheirOwnNames) {
  Open(OriginalsLibrary(
      {{"IMG_0001.JPG", "first"}, {"IMG_0002.JPG", "second"}, {"2005/IMG_0003.JPG", "third"}}));
  ASSERT_TRUE(db_->CopyOriginals);
  ASSERT_EQ(db_->Photos.Count(), 3u);
  db_->Photos.Select(0);
  db_->Photos.Select(2);

  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"IMG_0001.JPG", "IMG_0003.JPG"}));
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "first");
  EXPECT_EQ(Text(Out("IMG_0003.JPG")), "third");
  EXPECT_EQ(notified_, (std::vector<std::string>{"IMG_0001.JPG", "IMG_0003.JPG"}));
  EXPECT_EQ(results_, (std::vector<TResult>{
                          {"IMG_0001.JPG", TItemOutcome::Written, Out("IMG_0001.JPG")},
                          {"IMG_0003.JPG", TItemOutcome::Written, Out("IMG_0003.JPG")},
                      }));
  EXPECT_EQ(db_->LogText, "");
  EXPECT_FALSE(db_->TransferHadErrors());
}

TEST_F(TransferTest, OriginalOfTheSameSizeIsPassedOverSilently) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abcd"}}));
  testing::WriteFile(Out("IMG_0001.JPG"), Bytes("wxyz"));
  SelectAll();

  EXPECT_EQ(RunPhotos(), 0);
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "wxyz");
  EXPECT_EQ(FilesUnder(dest_).size(), 1u);
  EXPECT_EQ(notified_, (std::vector<std::string>{"IMG_0001.JPG"}));
  EXPECT_EQ(
      results_,
      (std::vector<TResult>{{"IMG_0001.JPG", TItemOutcome::AlreadyThere, Out("IMG_0001.JPG")}}));
  EXPECT_EQ(db_->LogText, "");
}

TEST_F(TransferTest, DifferentSizesSendTheOriginalDownTheNameSeries) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abcdef"}}));
  testing::WriteFile(Out("IMG_0001.JPG"), Bytes("ab"));
  testing::WriteFile(Out("1_IMG_0001.JPG"), Bytes("abc"));
  SelectAll();

  EXPECT_EQ(RunPhotos(), 1);
  EXPECT_EQ(Text(Out("2_1_IMG_0001.JPG")), "abcdef");
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "ab");
  EXPECT_EQ(Text(Out("1_IMG_0001.JPG")), "abc");
  EXPECT_EQ(notified_, (std::vector<std::string>{"IMG_0001.JPG"}));
  EXPECT_EQ(
      results_,
      (std::vector<TResult>{{"IMG_0001.JPG", TItemOutcome::Written, Out("2_1_IMG_0001.JPG")}}));

  // A rerun finds its own earlier output further down the series.
  EXPECT_EQ(RunPhotos(), 0);
  EXPECT_EQ(FilesUnder(dest_).size(), 3u);
  EXPECT_EQ(results_.at(0).Outcome, TItemOutcome::AlreadyThere);
  EXPECT_EQ(results_.at(0).PcFile, Out("2_1_IMG_0001.JPG"));
}

TEST_F(TransferTest, EmptyFilesNeverCountAsThePhoto) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abc"}, {"IMG_0002.JPG", ""}}));
  testing::WriteFile(Out("IMG_0001.JPG"), {});
  testing::WriteFile(Out("IMG_0002.JPG"), {});
  SelectAll();

  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(Text(Out("1_IMG_0001.JPG")), "abc");
  EXPECT_TRUE(fs::exists(Out("1_IMG_0002.JPG")));
  EXPECT_EQ(db_->LogText, "");
}

TEST_F(TransferTest, IoErrorEarnsOneRetryAfterAPause) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abc"}, {"IMG_0002.JPG", "def"}}));
  SelectAll();
  platform_.FaultError = kErrorRetryOnce;
  platform_.FailWriteAtCall = 1;

  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "abc");
  EXPECT_EQ(platform_.Sleeps, (std::vector<unsigned>{2000}));
  EXPECT_EQ(db_->LogText, "");
  EXPECT_EQ(results_.at(0).Outcome, TItemOutcome::Written);
}

TEST_F(TransferTest, FailedCopyIsLoggedWithThePhotoPath) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abc"}, {"IMG_0002.JPG", "def"}}));
  SelectAll();
  FailEveryCopy(kErrorRetryOnce);
  const std::string Retry = std::to_string(kErrorRetryOnce);

  EXPECT_EQ(RunPhotos(), 0);
  // One retry per photo, and only for the retry code.
  EXPECT_EQ(platform_.Sleeps, (std::vector<unsigned>{2000, 2000}));
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{
                                        ":Full Resolution:IMG_0001.JPG: Error " + Retry,
                                        ":Full Resolution:IMG_0002.JPG: Error " + Retry,
                                    }));
  EXPECT_EQ(results_, (std::vector<TResult>{{"IMG_0001.JPG", TItemOutcome::Failed, ""},
                                            {"IMG_0002.JPG", TItemOutcome::Failed, ""}}));
  EXPECT_TRUE(FilesUnder(dest_).empty());
  EXPECT_TRUE(db_->TransferHadErrors());

  platform_.BeforeFileOp = nullptr;
  platform_.FaultError = EACCES;
  platform_.FailWriteAtCall = ++copies_;
  platform_.Sleeps.clear();
  EXPECT_EQ(RunPhotos(), 1);
  EXPECT_TRUE(platform_.Sleeps.empty());
  EXPECT_EQ(LogLines(db_->LogText).back(), ":Full Resolution:IMG_0001.JPG: Error 13");
}

TEST_F(TransferTest, ThirtyOneFailuresEndThePhotoRoutine) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 1; i <= 35; ++i) files.push_back({"IMG_" + std::to_string(1000 + i) + ".JPG", "x"});
  Open(OriginalsLibrary(files));
  fs::remove_all(root_ + "/Photos/Full Resolution");
  SelectAll();

  EXPECT_EQ(RunPhotos(), 0);
  const std::vector<std::string> lines = LogLines(db_->LogText);
  ASSERT_EQ(lines.size(), 32u);
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(lines[static_cast<std::size_t>(i)], ":Full Resolution:IMG_" +
                                                      std::to_string(1001 + i) + ".JPG: Error " +
                                                      std::to_string(testing::kMissingFolderError));
  }
  EXPECT_EQ(lines.back(), "Too many error, transfer abort.");
  EXPECT_EQ(notified_.size(), 31u);
  EXPECT_EQ(results_.size(), 31u);
}

TEST_F(TransferTest, NameTakenDuringTheCopyGoesOnWithTheSeries) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "abcdef"}}));
  SelectAll();
  bool planted = false;
  platform_.BeforeFileOp = [&](const std::string& op, const std::string& path) {
    if (op == "copy" && path == Out("IMG_0001.JPG") && !planted) {
      planted = true;
      testing::WriteFile(path, Bytes("other"));
    }
  };

  EXPECT_EQ(RunPhotos(), 1);
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "other");
  EXPECT_EQ(Text(Out("1_IMG_0001.JPG")), "abcdef");
  EXPECT_EQ(db_->LogText, "");
  EXPECT_EQ(results_.at(0).PcFile, Out("1_IMG_0001.JPG"));
}

TEST_F(TransferTest, StopRequestedDuringANotificationEndsTheLoopAfterThatFile) {
  Open(OriginalsLibrary({{"IMG_0001.JPG", "a"}, {"IMG_0002.JPG", "b"}, {"IMG_0003.JPG", "c"}}));
  SelectAll();
  db_->OnTransferFile = [this](const std::string& name) {
    notified_.push_back(name);
    db_->StopRequested = true;
  };

  EXPECT_EQ(RunPhotos(), 1);
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"IMG_0001.JPG"}));
  EXPECT_EQ(notified_.size(), 1u);
  // Each routine starts with the flag cleared.
  db_->OnTransferFile = nullptr;
  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(FilesUnder(dest_).size(), 3u);
}

TEST_F(TransferTest, UnsafeOriginalPathsNeverLeaveTheFolder) {
  Open(OriginalsLibrary({{"a.JPG", "1"}, {"b.JPG", "2"}, {"c.JPG", "3"}, {"d.JPG", "4"}}));
  const std::string controlName = "IMG\x01\x1b[2J.JPG";
  try {
    testing::WriteFile(Original(controlName), Bytes("ctl"));
  } catch (const std::exception& e) {
    GTEST_SKIP() << "this file system takes no control characters in names: " << e.what();
  }
  db_->Photos.Items(0).Path = ":Full Resolution:..:..:iPod_Control:iTunes:iTunesDB";
  db_->Photos.Items(1).Path = ":Full Resolution:..";
  db_->Photos.Items(2).Path = ":Full Resolution:";
  db_->Photos.Items(3).Path = ":Full Resolution:" + controlName;
  SelectAll();
  const std::set<std::string> before = FilesUnder(temp_.Path());

  EXPECT_EQ(RunPhotos(), 1);
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"IMG[2J.JPG"}));
  EXPECT_EQ(FilesUnder(temp_.Path()).size(), before.size() + 1);
  EXPECT_EQ(Text(Out("IMG[2J.JPG")), "ctl");
  EXPECT_EQ(LogLines(db_->LogText),
            (std::vector<std::string>{
                ":Full Resolution:..:..:iPod_Control:iTunes:iTunesDB: Error " + Unsafe(),
                ":Full Resolution:..: Error " + Unsafe(),
                ":Full Resolution:: Error " + Unsafe(),
            }));
  ASSERT_EQ(results_.size(), 4u);
  EXPECT_EQ(results_[0], (TResult{"iTunesDB", TItemOutcome::Failed, ""}));
  EXPECT_EQ(results_[1], (TResult{"..", TItemOutcome::Failed, ""}));
  EXPECT_EQ(results_[2], (TResult{"", TItemOutcome::Failed, ""}));
  EXPECT_EQ(results_[3], (TResult{controlName, TItemOutcome::Written, Out("IMG[2J.JPG")}));
}

TEST_F(TransferTest, IosLibraryCopiesByTheNameAfterTheLastSlash) {
  Open(CameraOnly({}));
  testing::WriteFile(root_ + "/DCIM/100APPLE/IMG_0001.JPG", Bytes("one"));
  testing::WriteFile(root_ + "/DCIM/100APPLE/a/b.JPG", Bytes("two"));
  db_->ThumbFormat.FromIosLibrary = true;
  for (const char* path : {"DCIM/100APPLE/IMG_0001.JPG", "DCIM/100APPLE/a\\b.JPG",
                           "DCIM/../../out/IMG_0001.JPG", "DCIM/100APPLE/.."}) {
    db_->Photos.Add().Path = path;
  }
  SelectAll();

  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"IMG_0001.JPG", "ab.JPG"}));
  EXPECT_EQ(Text(Out("ab.JPG")), "two");
  EXPECT_EQ(notified_,
            (std::vector<std::string>{"IMG_0001.JPG", "a\\b.JPG", "IMG_0001.JPG", ".."}));
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{
                                        "DCIM/../../out/IMG_0001.JPG: Error " + Unsafe(),
                                        "DCIM/100APPLE/..: Error " + Unsafe(),
                                    }));
  EXPECT_EQ(TIpodPhotoDb::NameAfterSlash("no slash"), "no slash");
  EXPECT_EQ(TIpodPhotoDb::NameAfterSlash("dir/"), "");
}

TEST_F(TransferTest, CameraFileOfTheSameNameAndSizeIsPassedOver) {
  Open(CameraOnly({{"IMG_0001.JPG", "abcd"}, {"IMG_0002.JPG", "new picture"}}));
  testing::WriteFile(Out("IMG_0001.JPG"), Bytes("ABCD"));
  testing::WriteFile(Out("IMG_0002.JPG"), Bytes("another device's"));
  SelectAll();

  EXPECT_EQ(RunCamera(), 1);
  EXPECT_EQ(Text(Out("IMG_0001.JPG")), "ABCD");
  EXPECT_EQ(Text(Out("IMG_0002.JPG")), "another device's");
  EXPECT_EQ(Text(Out("1_IMG_0002.JPG")), "new picture");
  // Camera files come in the file system's order.
  std::sort(notified_.begin(), notified_.end());
  std::sort(results_.begin(), results_.end(),
            [](const TResult& a, const TResult& b) { return a.Name < b.Name; });
  EXPECT_EQ(notified_, (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));
  EXPECT_EQ(results_, (std::vector<TResult>{
                          {"IMG_0001.JPG", TItemOutcome::AlreadyThere, Out("IMG_0001.JPG")},
                          {"IMG_0002.JPG", TItemOutcome::Written, Out("1_IMG_0002.JPG")},
                      }));
  EXPECT_EQ(db_->LogText, "");
}

TEST_F(TransferTest, CameraFolderExportedTwiceAddsNothingTheSecondTime) {
  Open(CameraOnly({{"IMG_0001.JPG", "one"}, {"IMG_0002.MOV", "clip"}, {"IMG_0003.JPG", "three"}}));
  db_->CamPhotos->Select(0);
  db_->CamPhotos->Select(2);

  EXPECT_EQ(RunCamera(), 2);
  const std::set<std::string> first = FilesUnder(dest_);
  EXPECT_EQ(first, (std::set<std::string>{"IMG_0001.JPG", "IMG_0003.JPG"}));
  EXPECT_EQ(RunCamera(), 0);
  EXPECT_EQ(FilesUnder(dest_), first);
  EXPECT_EQ(results_.size(), 2u);
  for (const TResult& result : results_) EXPECT_EQ(result.Outcome, TItemOutcome::AlreadyThere);
}

TEST_F(TransferTest, ThirtyOneFailuresEndTheCameraRoutine) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 1; i <= 33; ++i) files.push_back({"IMG_" + std::to_string(1000 + i) + ".JPG", "x"});
  Open(CameraOnly(files));
  SelectAll();
  fs::remove_all(root_ + "/DCIM");

  EXPECT_EQ(RunCamera(), 0);
  const std::vector<std::string> lines = LogLines(db_->LogText);
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines.back(), "Too many error, camera photos transfer abort.");
  std::multiset<std::string> errors(lines.begin(), lines.end() - 1);
  EXPECT_EQ(errors.size(), 31u);
  for (const std::string& line : errors) {
    EXPECT_TRUE(line.starts_with("IMG_10") &&
                line.ends_with(".JPG: Error " + std::to_string(testing::kMissingFolderError)))
        << line;
  }
  EXPECT_EQ(results_.size(), 31u);
}

TEST_F(TransferTest, UnsafeCameraNamesNeverLeaveTheFolder) {
  Open(CameraOnly({}));
  testing::WriteFile(root_ + "/DCIM/100APPLE/a/b.JPG", Bytes("sub"));
  try {
    testing::WriteFile(root_ + "/DCIM/100APPLE/IMG_\x07.JPG", Bytes("bell"));
  } catch (const std::exception& e) {
    GTEST_SKIP() << "this file system takes no control characters in names: " << e.what();
  }
  testing::WriteFile(root_ + "/DCIM/IMG_9999.JPG", Bytes("outside the camera folder"));
  for (const char* name : {"..", "../IMG_9999.JPG", "a/b.JPG", "IMG_\x07.JPG"}) {
    db_->CamPhotos->Add().FileName = name;
  }
  SelectAll();
  const std::set<std::string> before = FilesUnder(temp_.Path());

  EXPECT_EQ(RunCamera(), 2);
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"ab.JPG", "IMG_.JPG"}));
  EXPECT_EQ(FilesUnder(temp_.Path()).size(), before.size() + 2);
  EXPECT_EQ(Text(Out("IMG_.JPG")), "bell");
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{
                                        "..: Error " + Unsafe(),
                                        "../IMG_9999.JPG: Error " + Unsafe(),
                                    }));
  EXPECT_EQ(results_.at(1), (TResult{"../IMG_9999.JPG", TItemOutcome::Failed, ""}));
  EXPECT_TRUE(db_->TransferHadErrors());
}

// A FAT destination: files beyond its limit fail before anything is written
// (or at the write where it does not tell), names it refuses are mapped.
TEST_F(TransferTest, FatDestinationRefusesLargeFilesAndMapsNames) {
  TLibrarySpec desc = OriginalsLibrary(
      {{"limit.JPG", "0123456789"}, {"over.JPG", "0123456789A"}, {"dot.JPG. ", "dot"}});
#ifdef _WIN32
  // The device's folder lies on NTFS here, which holds no such names.
  const char* star = "IMG_1.JPG";
  const char* angle = "IMG_2_.JPG";
#else
  const char* star = "IMG*1.JPG";
  const char* angle = "IMG<2?.JPG";
#endif
  desc.CameraFiles =
      CameraOnly({{star, "star"}, {angle, "angle"}, {"IMG_0003.MOV", "0123456789AB"}}).CameraFiles;
  Open(desc);

  FailEveryCopy(kErrorFileTooLarge);
  db_->Photos.Select(0);
  EXPECT_EQ(RunPhotos(), 0);
  EXPECT_EQ(LogLines(db_->LogText),
            (std::vector<std::string>{
                ":Full Resolution:limit.JPG: too large for the destination's file system"}));
  EXPECT_TRUE(FilesUnder(dest_).empty());
  platform_.BeforeFileOp = nullptr;
  platform_.FailWriteAtCall = 0;

  db_->LogText.clear();
  platform_.Limits = TFileSystemLimits{"vfat", 10, true};
  SelectAll();
  EXPECT_EQ(RunPhotos(), 2);
  EXPECT_EQ(RunCamera(), 2);
  EXPECT_EQ(FilesUnder(dest_),
            (std::set<std::string>{"limit.JPG", "dot.JPG", "IMG_1.JPG", "IMG_2_.JPG"}));
  EXPECT_EQ(Text(Out("IMG_2_.JPG")), "angle");
  EXPECT_EQ(LogLines(db_->LogText),
            (std::vector<std::string>{
                ":Full Resolution:over.JPG: too large for the destination's file system",
                "IMG_0003.MOV: too large for the destination's file system"}));
  const std::vector<std::string> written = platform_.Written();
  EXPECT_TRUE(std::none_of(written.begin(), written.end(), [](const std::string& path) {
    return path.ends_with("over.JPG") || path.ends_with(".MOV");
  }));
}

TEST_F(TransferTest, DefaultOutputFolderIsUnderThePicturesFolder) {
  Open(CameraOnly({}));
  std::string path = "left over";
  platform_.Pictures = "/home/anna/Pictures/";
  db_->GetDefaultOutputFolder(path);
  EXPECT_EQ(path, "/home/anna/Pictures/iPod Photos/");
  platform_.Pictures = "";
  db_->GetDefaultOutputFolder(path);
  EXPECT_EQ(path, "");
}

struct TEstimateCase {
  const char* Label;
  std::vector<std::uint32_t> SelectedSizes;
  std::int32_t SlotBytes;
  int CameraFiles;
  std::int64_t Needed;
};

TEST_F(TransferTest, OutputFolderNeedsMoreFreeSpaceThanTheEstimate) {
  Open(CameraOnly({}));
  const std::string volume = temp_ / "volume";
  platform_.Mounts = {{volume, "/dev/sdz1", "ext4", "8:1"}};
  const TEstimateCase cases[] = {
      {"sizes and camera", {1000, 2000}, 9999, 2, 3000 + 2 * 600000},
      {"slot bytes", {0, 0, 0}, 5000, 0, 15000},
      {"neither", {0, 0}, 0, 0, 2 * 819200},
      {"hostile slot", {0}, -4, 0, 819200},
      {"camera only", {}, 0, 1, 600000},
  };
  int n = 0;
  for (const TEstimateCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TIpodPhotoDb db(*device_, nullptr, true);
    db.ExportFormat.SlotBytes = c.SlotBytes;
    for (const std::uint32_t size : c.SelectedSizes) {
      db.Photos.Add().ImageSize = size;
      db.Photos.Select(db.Photos.Count() - 1);
    }
    for (int i = 0; i < c.CameraFiles; ++i) {
      db.CamPhotos->Add();
      db.CamPhotos->Select(db.CamPhotos->Count() - 1);
    }
    const std::string folder = volume + "/photos" + std::to_string(++n);

    platform_.FreeBytes[volume] = c.Needed;
    std::string path = folder;
    EXPECT_FALSE(db.CheckOutputFolder(path));
    EXPECT_NE(path.find("enough free disk space"), std::string::npos) << path;
    EXPECT_EQ(db.DestFolder, "");

    platform_.FreeBytes[volume] = c.Needed + 1;
    path = folder;
    EXPECT_TRUE(db.CheckOutputFolder(path)) << path;
    EXPECT_EQ(path, folder + "/");
    EXPECT_EQ(db.DestFolder, folder + "/");
    EXPECT_TRUE(fs::is_directory(folder));
  }
  // A file system that tells no size (some FUSE ones) is not taken for full.
  platform_.FreeBytes[volume] = kFreeSpaceUnknown;
  std::string path = volume + "/unsized";
  EXPECT_TRUE(db_->CheckOutputFolder(path)) << path;
}

TEST_F(TransferTest, OutputFolderOnTheIpodIsRefused) {
  Open(CameraOnly({{"IMG_0001.JPG", "x"}}));
  SelectAll();
  std::string path = root_ + "/Copies";
  const std::string before = db_->DestFolder;
  EXPECT_FALSE(db_->CheckOutputFolder(path));
  EXPECT_NE(path.find("is your iPod"), std::string::npos) << path;
  EXPECT_EQ(db_->DestFolder, before);
  EXPECT_FALSE(fs::exists(root_ + "/Copies"));
}

// Decoded photos: a library whose export format has the layout, every photo
// selected, exported into dest.
struct TExportCase {
  std::int32_t FormatId;
  TRecordLayout Layout;
  int Width, Height;
};

TLibrarySpec DecodedLibrary(const TExportCase& format, const std::vector<std::uint32_t>& ids,
                            std::uint32_t seed) {
  TLibrarySpec desc;
  desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88},
                  {format.FormatId, format.Layout, format.Width, format.Height}};
  testing::TAlbumSpec master{"Library", false, false, ids};
  for (const std::uint32_t id : ids) {
    desc.Photos.push_back(
        {id, testing::TestPicture(format.Width, format.Height, seed + id), {}, {}});
  }
  desc.Albums = {master};
  return desc;
}

// The PSNR of a written .jpg against what its record holds. A photo decoded
// by the wrong decoder scores far below the threshold used here.
double Fidelity(const std::string& jpg, const TExportCase& format, const TBitmap24& picture) {
  TBitmap24 decoded;
  if (!DecodeJpeg(testing::ReadFile(jpg), decoded)) return 0;
  return testing::Psnr(
      decoded, testing::ExpectedPicture(format.Layout, picture, format.Width, format.Height));
}

TEST_F(TransferTest, EachExportFormatGoesToItsDecoder) {
  const TExportCase cases[] = {
      {1019, TRecordLayout::InterlacedUyvy, 720, 480},
      {1023, TRecordLayout::SwappedRgb565, 176, 132},
      {1067, TRecordLayout::PlanarYuv420, 720, 480},
      {1081, TRecordLayout::Jpeg, 640, 480},
      {1024, TRecordLayout::Rgb565, 320, 240},
  };
  for (const TExportCase& format : cases) {
    SCOPED_TRACE(format.FormatId);
    root_ = temp_ / ("ipod" + std::to_string(format.FormatId));
    dest_ = temp_ / ("out" + std::to_string(format.FormatId));
    const TLibrarySpec desc = DecodedLibrary(format, {64, 65}, 1);
    Open(desc);
    ASSERT_EQ(db_->ExportFormat.FormatId, format.FormatId);
    SelectAll();

    EXPECT_EQ(RunPhotos(), 2);
    EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"64.jpg", "65.jpg"}));
    for (const auto& photo : desc.Photos) {
      EXPECT_GT(Fidelity(Out(std::to_string(photo.Id) + ".jpg"), format, photo.Picture), 25.0);
    }
    EXPECT_EQ(notified_, (std::vector<std::string>{"64.jpg", "65.jpg"}));
  }
}

TEST_F(TransferTest, TwoLibrariesWithTheSameIdsKeepEveryPhoto) {
  const TExportCase format{1024, TRecordLayout::Rgb565, 320, 240};
  const TLibrarySpec first = DecodedLibrary(format, {64, 65}, 100);
  const TLibrarySpec second = DecodedLibrary(format, {64, 66}, 200);
  const std::string firstRoot = temp_ / "first";
  const std::string secondRoot = temp_ / "second";
  testing::WriteIpod(first, firstRoot);
  testing::WriteIpod(second, secondRoot);
  auto exportAll = [&](const std::string& root) {
    root_ = root;
    Connect();
    SelectAll();
    return RunPhotos();
  };

  EXPECT_EQ(exportAll(firstRoot), 2);
  EXPECT_EQ(exportAll(secondRoot), 2);
  EXPECT_EQ(results_.at(0), (TResult{"64.jpg", TItemOutcome::Written, Out("1_64.jpg")}));
  EXPECT_EQ(FilesUnder(dest_), (std::set<std::string>{"64.jpg", "65.jpg", "1_64.jpg", "66.jpg"}));
  EXPECT_GT(Fidelity(Out("64.jpg"), format, first.Photos[0].Picture), 25.0);
  EXPECT_GT(Fidelity(Out("1_64.jpg"), format, second.Photos[0].Picture), 25.0);
  EXPECT_GT(Fidelity(Out("66.jpg"), format, second.Photos[1].Picture), 25.0);

  EXPECT_EQ(exportAll(firstRoot), 0);
  EXPECT_EQ(exportAll(secondRoot), 0);
  EXPECT_EQ(FilesUnder(dest_).size(), 4u);
  EXPECT_EQ(db_->LogText, "");
}

}  // namespace
}  // namespace quill
