// The command line onto the file systems USB disks come with: an exFAT image
// on a loop device mounted with exfat-fuse, and a FAT32 image mounted with
// fusefat (which tells no size). Needs root and /dev/fuse; skips elsewhere.
// Each test prints a "fs-table" line for scripts/reliability; the number of
// killed exports is QUILL_KILL_ROUNDS (default 6).

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "device/platform/platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kCli = QUILL_CLI_PATH;
const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

int Shell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file system image mounted for the whole suite; Why() says what failed.
class TMountedImage {
public:
  TMountedImage(const std::string& kind, const std::string& dir) : mount_(dir + "/mnt") {
    const std::string image = dir + "/" + kind + ".img";
    fs::create_directories(mount_);
    if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = "needs root and /dev/fuse";
      return;
    }
    if (kind == "exfat") {
      if (Shell("truncate -s 96M " + image) != 0 || Shell("mkfs.exfat " + image) != 0) {
        why_ = "mkfs.exfat failed";
        return;
      }
      FILE* out = ::popen(("losetup -f --show " + image + " 2>/dev/null").c_str(), "r");
      char line[256] = {};
      if (out && std::fgets(line, sizeof line, out)) loop_ = line;
      if (out) ::pclose(out);
      while (!loop_.empty() && loop_.back() == '\n') loop_.pop_back();
      if (loop_.empty() || Shell("mount.exfat-fuse " + loop_ + " " + mount_) != 0) {
        why_ = "no loop device or mount.exfat-fuse failed";
        return;
      }
    } else {
      if (Shell("truncate -s 96M " + image) != 0 || Shell("mkfs.vfat -F 32 " + image) != 0) {
        why_ = "mkfs.vfat failed";
        return;
      }
      if (Shell("fusefat -o rw+ " + image + " " + mount_) != 0) {
        why_ = "fusefat failed";
        return;
      }
    }
    mounted_ = true;
  }
  ~TMountedImage() {
    if (mounted_) Shell("umount " + mount_ + " || fusermount -u " + mount_);
    if (!loop_.empty()) Shell("losetup -d " + loop_);
  }
  const std::string& Why() const { return why_; }
  std::string Folder(const std::string& name) const { return mount_ + "/" + name; }

private:
  std::string mount_;
  std::string loop_;
  std::string why_;
  bool mounted_ = false;
};

// Name -> bytes of every file in a folder.
std::map<std::string, std::vector<std::uint8_t>> Contents(const std::string& folder) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename().string()] = testing::ReadFile(entry.path().string());
  return files;
}

int TemporaryFiles(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    n += entry.path().filename().string().starts_with(".~ip");
  return n;
}

// Files missing, extra or with other bytes than in the reference.
int Differences(const std::map<std::string, std::vector<std::uint8_t>>& reference,
                const std::map<std::string, std::vector<std::uint8_t>>& found) {
  int n = 0;
  for (const auto& [name, bytes] : reference) {
    const auto it = found.find(name);
    n += it == found.end() || it->second != bytes;
  }
  for (const auto& [name, bytes] : found) n += !name.starts_with(".~ip") && !reference.contains(name);
  return n;
}

pid_t SpawnExport(const std::string& ipod, const std::string& dest,
                  const std::string& output = "/dev/null") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen(output.c_str(), "w", stdout);
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    ::execl(kCli.c_str(), kCli.c_str(), "export", "--device", ipod.c_str(), "--to", dest.c_str(),
            "--all", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

// The exit code, or 128 + the signal that ended it.
int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class MountedExfatTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TTempDir;
    image_ = new TMountedImage("exfat", dir_->Path());
    if (!image_->Why().empty()) return;
    // Decoded photos and camera files large enough that kills land in copies.
    testing::TLibrarySpec desc;
    desc.Formats.push_back({1024, testing::TRecordLayout::Rgb565, 320, 240});
    desc.Formats.push_back({1036, testing::TRecordLayout::Rgb565, 50, 41});
    testing::TAlbumSpec master{"Photo Library", false, false, {}};
    for (std::uint32_t id = 64; id < 104; ++id) {
      desc.Photos.push_back({id, testing::TestPicture(320, 240, id), {}, {}});
      master.PhotoIds.push_back(id);
    }
    desc.Albums = {master};
    std::mt19937 random(17);
    for (int i = 1; i <= 6; ++i) {
      std::vector<std::uint8_t> clip(768 * 1024);
      for (std::uint8_t& byte : clip) byte = static_cast<std::uint8_t>(random());
      desc.CameraFiles.push_back({"IMG_000" + std::to_string(i) + ".MOV", clip, false});
    }
    testing::WriteIpod(desc, Ipod());
    if (WaitFor(SpawnExport(Ipod(), Reference())) != 0) image_ = nullptr;
  }
  static void TearDownTestSuite() {
    delete image_;
    delete dir_;
  }
  void SetUp() override {
    if (!image_) GTEST_FAIL() << "the reference export failed";
    if (!image_->Why().empty()) GTEST_SKIP() << "no exFAT mount: " << image_->Why();
  }
  static std::string Ipod() { return dir_->Path() + "/ipod"; }
  static std::string Reference() { return dir_->Path() + "/reference"; }

  static testing::TTempDir* dir_;
  static TMountedImage* image_;
};
testing::TTempDir* MountedExfatTest::dir_ = nullptr;
TMountedImage* MountedExfatTest::image_ = nullptr;

TEST_F(MountedExfatTest, KilledExportsThenARerunLeaveWholePhotosAndNoTemporaryFile) {
  const std::string dest = image_->Folder("killed");
  const auto reference = Contents(Reference());
  EXPECT_EQ(CreateNativePlatform()->FileSystemLimits(image_->Folder("")),
            (TFileSystemLimits{"exfat", std::nullopt, true}));

  // The length of one export onto this file system bounds the kill times.
  const std::string timed = image_->Folder("timed");
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(WaitFor(SpawnExport(Ipod(), timed)), 0);
  const auto length = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  EXPECT_EQ(Differences(reference, Contents(timed)), 0);

  const char* rounds = std::getenv("QUILL_KILL_ROUNDS");
  const int kills = rounds ? std::atoi(rounds) : 6;
  std::mt19937 random(std::random_device{}());
  int killed = 0;
  int found = 0;  // temporary files the kills left
  int left = 0;
  int differ = 0;
  for (int round = 0; round < kills; ++round) {
    const pid_t pid = SpawnExport(Ipod(), dest);
    if (round % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::uniform_int_distribution<std::int64_t>(0, length.count())(random)));
    } else {
      // Half of the kills land while a file is being written.
      const Clock::time_point end = Clock::now() + 2 * length;
      while (TemporaryFiles(dest) == 0 && Clock::now() < end) std::this_thread::yield();
    }
    ::kill(pid, SIGKILL);
    killed += WaitFor(pid) == 128 + SIGKILL;
    found += TemporaryFiles(dest);
    // The next export cleans up after this one and completes what it left.
    if (round % 2 == 1 || round == kills - 1) {
      EXPECT_EQ(WaitFor(SpawnExport(Ipod(), dest)), 0);
      left += TemporaryFiles(dest);
      differ += Differences(reference, Contents(dest));
    }
  }
  EXPECT_EQ(left, 0);
  EXPECT_EQ(differ, 0);
  std::cout << "fs-table\tkilled exports on exFAT: " << killed << " of " << kills
            << " killed, " << found
            << " temporary files found; left after the rerun, files that differ\t" << left << "\t" << differ
            << "\n";
}

TEST_F(MountedExfatTest, TwoExportsIntoOneFolderAtOnceBothSucceedWithEveryFileOnce) {
  const std::string dest = image_->Folder("together");
  const std::string outputs[] = {dir_->Path() + "/first.txt", dir_->Path() + "/second.txt"};
  const pid_t first = SpawnExport(Ipod(), dest, outputs[0]);
  const pid_t second = SpawnExport(Ipod(), dest, outputs[1]);
  const int firstExit = WaitFor(first);
  const int secondExit = WaitFor(second);
  auto said = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(firstExit, 0) << said(outputs[0]);
  EXPECT_EQ(secondExit, 0) << said(outputs[1]);
  const int differ = Differences(Contents(Reference()), Contents(dest));
  EXPECT_EQ(differ, 0);
  EXPECT_EQ(TemporaryFiles(dest), 0);
  std::cout << "fs-table\ttwo exports into one exFAT folder at once: exits " << firstExit << " "
            << secondExit << "; temporary files left, files that differ\t"
            << TemporaryFiles(dest) << "\t" << differ << "\n";
}

// FAT32 through fusefat, from the simulated iPhone: a video of 4 GiB (sparse
// on the phone's side) fails before its copy, names FAT refuses are mapped,
// and the size fusefat does not tell is no reason to refuse the folder.
TEST(MountedFat32Test, LargeFilesFailBeforeTheirCopyAndRefusedNamesAreMapped) {
  testing::TTempDir dir;
  TMountedImage image("fat32", dir.Path());
  if (!image.Why().empty()) GTEST_SKIP() << "no FAT32 mount: " << image.Why();
  const std::unique_ptr<TPlatform> platform = CreateNativePlatform();
  EXPECT_EQ(platform->FileSystemLimits(image.Folder("")),
            (TFileSystemLimits{"fusefat", 0xFFFFFFFFull, true}));
  EXPECT_EQ(platform->FreeSpace(image.Folder("")), kFreeSpaceUnknown);

  testing::TSimDevice::UseForProcess(kSimLibrary);
  const std::string phone = dir.Path() + "/phone";
  testing::TSqliteLibrarySpec desc;
  const char* names[] = {"IMG_0001.JPG", "IMG:0002?.JPG", "IMG_0003.JPG. ", "IMG_0004.MOV"};
  for (std::uint32_t id = 1; id <= 4; ++id) {
    testing::TSqliteAssetSpec asset;
    asset.Id = id;
    asset.ThumbnailIndex = id - 1;
    asset.FileName = names[id - 1];
    asset.OriginalBytes = {'p', static_cast<std::uint8_t>('0' + id)};
    desc.Assets.push_back(asset);
  }
  testing::WritePhotosSqliteLibrary(desc, phone);
  fs::resize_file(phone + "/DCIM/100APPLE/IMG_0004.MOV", std::uint64_t{4} << 30);
  testing::TSimDevice::Configure(dir.Path() + "/sim.conf", phone, {});

  std::ostringstream out, err;
  TCliEnv env;
  env.Out = &out;
  env.Err = &err;
  env.Platform = platform.get();
  const std::string dest = image.Folder("photos");
  EXPECT_EQ(RunCli({"export", "--to", dest, "--all"}, env), kExitItemsFailed) << err.str();
  std::map<std::string, std::vector<std::uint8_t>> expected = {
      {"IMG_0001.JPG", {'p', '1'}}, {"IMG_0002_.JPG", {'p', '2'}}, {"IMG_0003.JPG", {'p', '3'}}};
  const int differ = Differences(expected, Contents(dest));
  EXPECT_EQ(differ, 0);
  EXPECT_EQ(TemporaryFiles(dest), 0);
  const bool said = (out.str() + err.str()).find("IMG_0004.MOV: too large for the destination's "
                                                 "file system") != std::string::npos;
  EXPECT_TRUE(said) << out.str() << err.str();
  std::cout << "fs-table\tFAT32: a 4 GiB video refused before its copy, 2 refused names mapped; "
               "files that differ, unreported\t"
            << differ << "\t" << !said << "\n";
}

}  // namespace
}  // namespace quill
