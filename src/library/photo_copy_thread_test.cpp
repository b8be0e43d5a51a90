#include "library/photo_copy_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TFakePlatform;
using testing::TLibrarySpec;
using testing::TTempDir;

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < log.size()) {
    EXPECT_EQ(log.compare(pos, 2, "\r\n"), 0);
    pos += 2;
    const std::size_t end = log.find("\r\n", pos);
    lines.push_back(log.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? log.size() : end;
  }
  return lines;
}

// photos originals IMG_1001.JPG ... and cameraFiles camera files
// IMG_0001.JPG ... on one iPod.
TLibrarySpec Library(int photos, int cameraFiles) {
  TLibrarySpec desc;
  desc.Originals = true;
  desc.Formats = {{1015, testing::TRecordLayout::Rgb565, 130, 88}};
  testing::TAlbumSpec master{"Library", false, false, {}};
  for (int i = 1; i <= photos; ++i) {
    const auto id = static_cast<std::uint32_t>(63 + i);
    desc.Photos.push_back({id, {}, "IMG_" + std::to_string(1000 + i) + ".JPG", {1, 2, 3}});
    master.PhotoIds.push_back(id);
  }
  desc.Albums = {master};
  for (int i = 1; i <= cameraFiles; ++i) {
    desc.CameraFiles.push_back({"IMG_000" + std::to_string(i) + ".JPG", {4, 5}});
  }
  return desc;
}

// One transfer thread over a written iPod, served by a call queue on the
// test's own thread, with every notification recorded in order.
class PhotoCopyThreadTest : public ::testing::Test {
protected:
  void Open(const TLibrarySpec& desc) {
    testing::WriteIpod(desc, root_);
    device_ = std::make_unique<TIpodDevice>(platform_, nullptr);
    std::string error;
    ASSERT_TRUE(device_->UseFolder(root_, error)) << error;
    db_ = std::make_unique<TIpodPhotoDb>(*device_, nullptr, true);
    ASSERT_TRUE(db_->LoadPhotoLibrary());
    std::string folder = temp_ / "out";
    ASSERT_TRUE(db_->CheckOutputFolder(folder)) << folder;
  }

  void SelectPhotos() {
    for (std::size_t i = 0; i < db_->Photos.Count(); ++i) db_->Photos.Select(i);
  }
  void SelectCamera() {
    for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i) db_->CamPhotos->Select(i);
  }

  // Runs one transfer to its end; onFile runs inside OnFile.
  void Transfer(const std::function<void(TPhotoCopyThread&)>& onFile = {}) {
    events_.clear();
    const std::thread::id owner = std::this_thread::get_id();
    std::atomic<bool> done{false};
    TPhotoCopyThread thread(*db_, queue_.Dispatcher());
    thread.OnFile = [&](const std::string& name) {
      EXPECT_EQ(std::this_thread::get_id(), owner);
      events_.push_back("file " + name);
      if (onFile) onFile(thread);
    };
    thread.OnResult = [&](const std::string& name, TItemOutcome outcome, const std::string&) {
      EXPECT_EQ(std::this_thread::get_id(), owner);
      events_.push_back((outcome == TItemOutcome::Failed ? "failed " : "result ") + name);
    };
    thread.OnDone = [&] {
      EXPECT_EQ(std::this_thread::get_id(), owner);
      events_.push_back("done");
      done = true;
    };
    thread.Start();
    queue_.RunUntil([&] { return done.load(); });
    thread.Wait();
    copied_ = thread.CopiedCount;
    terminated_ = thread.Terminated();
  }

  std::set<std::string> Written() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp_ / "out")) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  TTempDir temp_;
  std::string root_ = temp_ / "ipod";
  TFakePlatform platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::unique_ptr<TIpodPhotoDb> db_;
  TCallQueue queue_;
  std::vector<std::string> events_;
  int copied_ = -1;
  bool terminated_ = false;
};

TEST_F(PhotoCopyThreadTest, NotificationsArriveOnTheOwnerThreadInOrder) {
  Open(Library(2, 1));
  SelectPhotos();
  SelectCamera();
  db_->LogText = "lines of the load";

  Transfer();
  EXPECT_EQ(events_,
            (std::vector<std::string>{"file IMG_1001.JPG", "result IMG_1001.JPG",
                                      "file IMG_1002.JPG", "result IMG_1002.JPG",
                                      "file IMG_0001.JPG", "result IMG_0001.JPG", "done"}));
  EXPECT_EQ(db_->LogText, "\r\nCopy pics: t2, c2\r\nCopy cam pics: t1, c1");
  EXPECT_EQ(copied_, 1);
  EXPECT_EQ(Written(), (std::set<std::string>{"IMG_1001.JPG", "IMG_1002.JPG", "IMG_0001.JPG"}));
  // The controller no longer leads to the finished thread.
  EXPECT_FALSE(db_->OnTransferFile);
  EXPECT_FALSE(db_->OnItemResult);
}

TEST_F(PhotoCopyThreadTest, WhatWasWrittenIsOnTheDiskBeforeTheEndAndAFailedFlushFailsIt) {
  Open(Library(2, 2));
  SelectPhotos();
  SelectCamera();
  std::vector<std::string> ops;
  std::mutex mutex;
  platform_.BeforeFileOp = [&](const std::string& op, const std::string&) {
    std::lock_guard lock(mutex);
    if (op == "write" || op == "copy" || op == "flush") ops.push_back(op);
  };
  Transfer();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.back(), "flush") << "after the last file took its name";
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "flush"), 1);
  EXPECT_FALSE(db_->TransferHadErrors()) << db_->LogText;

  // A rerun writes nothing and has nothing to flush; a failing flush after
  // new files is an error of the transfer.
  ops.clear();
  Transfer();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "flush"), 0);
  fs::remove_all(temp_ / "out");
  fs::create_directories(temp_ / "out");
  platform_.FlushError = EIO;
  Transfer();
  EXPECT_TRUE(db_->TransferHadErrors());
  EXPECT_NE(db_->LogText.find("Transfer failed: the files could not be written out to the disk (error " +
                              std::to_string(EIO) + ")"),
            std::string::npos)
      << db_->LogText;
  platform_.BeforeFileOp = nullptr;
}

TEST_F(PhotoCopyThreadTest, PhotoPhaseRunsAlsoWithNothingSelected) {
  Open(Library(2, 2));
  // Camera files come in the file system's order.
  for (std::size_t i = 0; i < db_->CamPhotos->Count(); ++i)
    if (db_->CamPhotos->Items(i).FileName == "IMG_0002.JPG") db_->CamPhotos->Select(i);
  Transfer();
  EXPECT_EQ(LogLines(db_->LogText),
            (std::vector<std::string>{"Copy pics: t0, c0", "Copy cam pics: t1, c1"}));
  EXPECT_EQ(Written(), (std::set<std::string>{"IMG_0002.JPG"}));
}

TEST_F(PhotoCopyThreadTest, NoCameraLineWithoutACameraSelection) {
  Open(Library(1, 2));
  SelectPhotos();
  Transfer();
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{"Copy pics: t1, c1"}));
  EXPECT_EQ(copied_, 1);
}

TEST_F(PhotoCopyThreadTest, StopAskedInANotificationEndsAfterTheNextFile) {
  Open(Library(3, 1));
  SelectPhotos();
  SelectCamera();
  // Asked while the first file is announced: the second file's notification
  // notices it, that file is still copied, the third and the camera are not.
  Transfer([](TPhotoCopyThread& thread) { thread.Terminate(); });

  EXPECT_TRUE(terminated_);
  EXPECT_EQ(events_,
            (std::vector<std::string>{"file IMG_1001.JPG", "result IMG_1001.JPG",
                                      "file IMG_1002.JPG", "result IMG_1002.JPG", "done"}));
  EXPECT_EQ(Written(), (std::set<std::string>{"IMG_1001.JPG", "IMG_1002.JPG"}));
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{"Copy pics: t3, c2"}));
}

TEST_F(PhotoCopyThreadTest, ErrorLimitOfThePhotosLeavesTheCameraPhase) {
  Open(Library(33, 1));
  fs::remove_all(root_ + "/Photos/Full Resolution");
  SelectPhotos();
  SelectCamera();
  Transfer();

  const std::vector<std::string> lines = LogLines(db_->LogText);
  ASSERT_EQ(lines.size(), 34u);
  EXPECT_EQ(lines[30], ":Full Resolution:IMG_1031.JPG: Error " +
                          std::to_string(testing::kMissingFolderError));
  EXPECT_EQ(lines[31], "Too many error, transfer abort.");
  EXPECT_EQ(lines[32], "Copy pics: t33, c0");
  EXPECT_EQ(lines[33], "Copy cam pics: t1, c1");
  EXPECT_EQ(Written(), (std::set<std::string>{"IMG_0001.JPG"}));
}

TEST_F(PhotoCopyThreadTest, FailureOutsideTheLoopsIsNotSilent) {
  Open(Library(2, 1));
  SelectPhotos();
  SelectCamera();
  platform_.BeforeFileOp = [](const std::string& op, const std::string&) {
    if (op == "copy") throw std::runtime_error("device gone");
  };
  Transfer();

  EXPECT_EQ(events_,
            (std::vector<std::string>{"file IMG_1001.JPG", "failed IMG_1001.JPG", "done"}));
  EXPECT_EQ(LogLines(db_->LogText), (std::vector<std::string>{"Transfer failed: device gone"}));
  EXPECT_TRUE(db_->TransferHadErrors());

  // The next transfer starts with a clean slate.
  platform_.BeforeFileOp = nullptr;
  Transfer();
  EXPECT_FALSE(db_->TransferHadErrors());
  EXPECT_EQ(LogLines(db_->LogText),
            (std::vector<std::string>{"Copy pics: t2, c2", "Copy cam pics: t1, c1"}));
}

TEST_F(PhotoCopyThreadTest, ThreadLeavesTheControllerOnlyItsOwnHooks) {
  Open(Library(1, 0));
  {
    TPhotoCopyThread never(*db_, queue_.Dispatcher());
    EXPECT_TRUE(db_->OnTransferFile);
  }
  EXPECT_FALSE(db_->OnTransferFile);
  EXPECT_FALSE(db_->OnItemResult);

  auto earlier = std::make_unique<TPhotoCopyThread>(*db_, queue_.Dispatcher());
  TPhotoCopyThread later(*db_, queue_.Dispatcher());
  earlier.reset();
  EXPECT_TRUE(db_->OnTransferFile);
  EXPECT_TRUE(db_->OnItemResult);
}

}  // namespace
}  // namespace quill
