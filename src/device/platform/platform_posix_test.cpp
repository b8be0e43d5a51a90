#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "device/platform/platform.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TTempDir;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

void WriteText(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets an environment variable for the life of the object.
class TScopedEnv {
public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ParseMountInfo, ReadsFieldsAndDecodesEscapes) {
  const std::string text =
      "36 25 8:17 / /media/anna/MY\\040IPOD rw,nosuid shared:1 master:2 - vfat /dev/sdb1 "
      "rw,uid=1000\n"
      "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
      "40 25 8:33 / /mnt/a\\011b\\012c\\134d rw - ext4 /dev/disk\\040x rw\n"
      "garbage line without separator\n"
      "41 25 8:1 / /short rw -\n"
      "42 25 8:2 / /last rw - exfat /dev/sdc1 rw";
  const std::vector<TMountEntry> mounts = ParseMountInfo(text);
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[0], (TMountEntry{"/media/anna/MY IPOD", "/dev/sdb1", "vfat", "8:17"}));
  EXPECT_EQ(mounts[1], (TMountEntry{"/proc", "proc", "proc", "0:20"}));
  EXPECT_EQ(mounts[2].MountPoint, "/mnt/a\tb\nc\\d");
  EXPECT_EQ(mounts[2].Source, "/dev/disk x");
  EXPECT_EQ(mounts[3], (TMountEntry{"/last", "/dev/sdc1", "exfat", "8:2"}));
}

TEST(ParseMountInfo, KeepsIncompleteEscapesAsTheyStand) {
  const auto mounts = ParseMountInfo("1 2 8:1 / /a\\04 rw - vfat /dev/x\\ rw\n");
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].MountPoint, "/a\\04");
  EXPECT_EQ(mounts[0].Source, "/dev/x\\");
}

class PosixPlatformTest : public ::testing::Test {
protected:
  std::unique_ptr<TPlatform> platform_ = CreateNativePlatform();
  TTempDir dir_;
};

TEST_F(PosixPlatformTest, MountTableAndRemovableTest) {
  const auto mounts = platform_->ReadMounts();
  ASSERT_FALSE(mounts.empty());
  bool root = false;
  for (const TMountEntry& mount : mounts) {
    root = root || mount.MountPoint == "/";
    // Pseudo file systems have no block device and are never an iPod.
    if (mount.Source.rfind("/dev/", 0) != 0) {
      EXPECT_FALSE(platform_->IsRemovableMount(mount)) << mount.MountPoint;
    }
  }
  EXPECT_TRUE(root);
  EXPECT_FALSE(platform_->IsRemovableMount({"/mnt/share", "/dev/sdb1", "nfs", "8:17"}));
  EXPECT_FALSE(platform_->IsRemovableMount({"/mnt/cd", "/dev/sr0", "iso9660", "11:0"}));
  EXPECT_FALSE(platform_->IsRemovableMount({"/mnt/x", "/dev/quill-none", "vfat", "999:999"}));
}

TEST_F(PosixPlatformTest, ExistenceSizesAndListing) {
  WriteText(dir_ / "a.jpg", "12345");
  fs::create_directory(dir_ / "sub");
  fs::create_symlink(dir_ / "a.jpg", dir_ / "link.jpg");
  EXPECT_TRUE(platform_->FileExists(dir_ / "a.jpg"));
  EXPECT_FALSE(platform_->FileExists(dir_ / "sub"));
  EXPECT_FALSE(platform_->FileExists(""));
  EXPECT_TRUE(platform_->DirectoryExists(dir_ / "sub"));
  EXPECT_FALSE(platform_->DirectoryExists(dir_ / "a.jpg"));
  EXPECT_EQ(platform_->FileSize(dir_ / "a.jpg"), std::optional<std::uint64_t>(5));
  EXPECT_EQ(platform_->FileSize(dir_ / "sub"), std::nullopt);
  EXPECT_EQ(platform_->FileSize(dir_ / "none"), std::nullopt);

  auto entries = platform_->ListDirectory(dir_.Path());
  std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.Name < b.Name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Name, "a.jpg");
  EXPECT_TRUE(entries[0].IsRegular);
  EXPECT_TRUE(entries[1].IsRegular) << "a link to a file counts as the file";
  EXPECT_TRUE(entries[2].IsDirectory);
  EXPECT_FALSE(entries[2].IsRegular);
  EXPECT_TRUE(platform_->ListDirectory(dir_ / "none").empty());
}

TEST_F(PosixPlatformTest, ReadWholeFileAndErrors) {
  WriteText(dir_ / "f", "data");
  std::vector<std::uint8_t> out;
  EXPECT_EQ(platform_->ReadWholeFile(dir_ / "f", out), 0);
  EXPECT_EQ(out, Bytes("data"));
  EXPECT_EQ(platform_->ReadWholeFile(dir_ / "none", out), ENOENT);
  EXPECT_EQ(platform_->ReadWholeFile(dir_.Path(), out), EISDIR);
  // /proc files report size 0 and still have content.
  EXPECT_EQ(platform_->ReadWholeFile("/proc/self/mountinfo", out), 0);
  EXPECT_FALSE(out.empty());
}

TEST_F(PosixPlatformTest, ReadAtBeyondFourGibInASparseFile) {
  const std::string path = dir_ / "F1019_1.ithmb";
  const std::uint64_t far = (std::uint64_t{5} << 30) + 3;  // above 4 GiB, not aligned
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "RECORD", 6, static_cast<off_t>(far)), 6);
    ::close(fd);
  }
  int error = 0;
  auto file = platform_->OpenReadOnly(path, error);
  ASSERT_TRUE(file);
  char buffer[16] = {};
  EXPECT_EQ(file->ReadAt(far, buffer, 6), 6);
  EXPECT_EQ(std::string(buffer, 6), "RECORD");
  EXPECT_EQ(file->ReadAt(far + 2, buffer, 10), 4) << "a read at the end is short";
  EXPECT_EQ(file->ReadAt(far + 100, buffer, 10), 0);
  EXPECT_EQ(file->ReadAt(std::uint64_t{1} << 63, buffer, 10), 0);
  EXPECT_EQ(platform_->FileSize(path), std::optional<std::uint64_t>(far + 6));

  EXPECT_FALSE(platform_->OpenReadOnly(dir_ / "none", error));
  EXPECT_EQ(error, ENOENT);
}

TEST_F(PosixPlatformTest, CopyKeepsBytesAndTimeAndLeavesNoTemporaryFile) {
  WriteText(dir_ / "src.jpg", "photo bytes");
  const fs::file_time_type then = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(dir_ / "src.jpg", then);
  fs::create_directory(dir_ / "out");
  ASSERT_EQ(platform_->CopyFileNoOverwrite(dir_ / "src.jpg", dir_ / "out/IMG_0001.JPG"), 0);
  EXPECT_EQ(ReadText(dir_ / "out/IMG_0001.JPG"), "photo bytes");
  EXPECT_EQ(fs::last_write_time(dir_ / "out/IMG_0001.JPG"), then);
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{"IMG_0001.JPG"});
}

TEST_F(PosixPlatformTest, OnlyTemporaryFilesOfKilledWritesAreRemoved) {
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
  // Left by a killed write; held by a running one; killed a moment ago; not ours.
  for (const char* name : {".~ipDEADBEEF.tmp", ".~ipRUNNING1.tmp", ".~ipJUSTMADE.tmp",
                           ".~ipSHORT.tmp", "IMG_0001.tmp", ".~ipDEADBEEF.tmpx"}) {
    WriteText(dir_ / name, "x");
    if (std::string(name) != ".~ipJUSTMADE.tmp") fs::last_write_time(dir_ / name, old);
  }
  const int held = ::open((dir_ / ".~ipRUNNING1.tmp").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  // A rerun right after the kill finds nothing that holds the lock: the
  // file's age does not matter.
  EXPECT_EQ(platform_->RemoveStaleTempFiles(dir_.Path()), 2);
  EXPECT_EQ(Names(dir_.Path()), (std::vector<std::string>{".~ipDEADBEEF.tmpx", ".~ipRUNNING1.tmp",
                                                          ".~ipSHORT.tmp", "IMG_0001.tmp"}));
  ::close(held);
  // Once its write has ended, nothing holds it.
  EXPECT_EQ(platform_->RemoveStaleTempFiles(dir_.Path()), 1);
  EXPECT_EQ(platform_->RemoveStaleTempFiles(dir_ / "none"), 0);
}

TEST_F(PosixPlatformTest, NoOverwriteRefusesAnExistingFileWithEexist) {
  WriteText(dir_ / "src", "new");
  WriteText(dir_ / "dst", "old");
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_ / "src", dir_ / "dst"), 17);
  EXPECT_EQ(platform_->WriteFileNoOverwrite(dir_ / "dst", Bytes("new")), 17);
  EXPECT_EQ(ReadText(dir_ / "dst"), "old");
  fs::create_symlink(dir_ / "gone", dir_ / "dangling");
  EXPECT_EQ(platform_->WriteFileNoOverwrite(dir_ / "dangling", Bytes("x")), EEXIST)
      << "a dangling link is a name in use";
  EXPECT_EQ(Names(dir_.Path()), (std::vector<std::string>{"dangling", "dst", "src"}));
}

TEST_F(PosixPlatformTest, ANameInUseWhereNoFileCanBeMadeIsStillANameInUse) {
  // /proc/self takes no new file, even from root, and holds "status": the
  // write fails to create anything, and the answer is the name in use that
  // callers compare against, not the folder's refusal.
  EXPECT_EQ(platform_->WriteFileNoOverwrite("/proc/self/status", Bytes("x")), EEXIST);
  WriteText(dir_ / "src", "x");
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_ / "src", "/proc/self/status"), EEXIST);
  EXPECT_NE(platform_->WriteFileNoOverwrite("/proc/self/no-such-name", Bytes("x")), 0);
}

// Without /proc an unnamed file cannot be given its name, and the copy goes
// the named way. The source must then be read from its start, not from
// where a first attempt left it: that gave an empty file under the final
// name. Runs this test again in a new process whose mount namespace has no
// /proc (root only; skipped where that is not allowed).
TEST_F(PosixPlatformTest, CopiesWithoutProcAreWhole) {
  if (const char* dir = std::getenv("QUILL_NO_PROC_CHILD")) {
    const fs::path folder = dir;
    const auto platform = CreateNativePlatform();
    const int rc = platform->CopyFileNoOverwrite(folder / "src.jpg", folder / "dst.jpg");
    std::_Exit(rc == 0 ? 0 : 1);
  }
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string filter =
      std::string("--gtest_filter=") +
      ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
      ".CopiesWithoutProcAreWhole";
  const std::string content(200000, 'x');
  WriteText(dir_ / "src.jpg", content);
  // Everything the child needs is made before the fork.
  std::vector<std::string> env = {"QUILL_NO_PROC_CHILD=" + dir_.Path(), "TMPDIR=" + dir_.Path()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("QUILL_NO_PROC_CHILD=", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0) {
      env.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()),
                             nullptr};

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::umount2("/proc", MNT_DETACH) != 0) {
      ::_exit(77);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(78);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no process here may drop /proc from its view";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string copied = ReadText(dir_ / "dst.jpg");
  EXPECT_EQ(copied.size(), content.size());
  EXPECT_TRUE(copied == content);
}

TEST_F(PosixPlatformTest, CopyErrorsAreErrnoValues) {
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_ / "none", dir_ / "dst"), ENOENT);
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_.Path(), dir_ / "dst"), EISDIR);
  WriteText(dir_ / "src", "x");
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_ / "src", dir_ / "missing/dst"), ENOENT);
  EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{"src"});
}

TEST_F(PosixPlatformTest, AReadErrorMidCopyRemovesTheTemporaryFile) {
  // Reading /proc/self/mem at offset 0 fails with EIO after the open has
  // succeeded: a device failing in the middle of a copy.
  EXPECT_EQ(platform_->CopyFileNoOverwrite("/proc/self/mem", dir_ / "IMG_0002.JPG"), EIO);
  EXPECT_TRUE(Names(dir_.Path()).empty());
}

TEST_F(PosixPlatformTest, WritingIntoAReadOnlyFolderLeavesNothing) {
  fs::create_directory(dir_ / "ro");
  fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() == 0)
    GTEST_SKIP() << "root writes into read-only folders; the fault tests cover this as root";
  WriteText(dir_ / "src", "x");
  EXPECT_EQ(platform_->CopyFileNoOverwrite(dir_ / "src", dir_ / "ro/dst"), EACCES);
  EXPECT_EQ(platform_->WriteFileNoOverwrite(dir_ / "ro/dst", Bytes("x")), EACCES);
  EXPECT_TRUE(Names(dir_ / "ro").empty());
}

TEST_F(PosixPlatformTest, ReplaceWritesOverAnExistingFile) {
  WriteText(dir_ / "copy.sqlite", "stale");
  EXPECT_EQ(platform_->WriteFileReplace(dir_ / "copy.sqlite", Bytes("fresh")), 0);
  EXPECT_EQ(ReadText(dir_ / "copy.sqlite"), "fresh");
  EXPECT_EQ(platform_->WriteFileNoOverwrite(dir_ / "new.jpg", Bytes("")), 0);
  EXPECT_EQ(fs::file_size(dir_ / "new.jpg"), 0u);
  EXPECT_EQ(Names(dir_.Path()), (std::vector<std::string>{"copy.sqlite", "new.jpg"}));
}

TEST_F(PosixPlatformTest, FoldersTempNamesAndDeletion) {
  EXPECT_TRUE(platform_->CreateDirectories(dir_ / "a/b/c/"));
  EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c"));
  EXPECT_TRUE(platform_->CreateDirectories(dir_ / "a/b"));
  WriteText(dir_ / "file", "x");
  EXPECT_FALSE(platform_->CreateDirectories(dir_ / "file/sub"));
  EXPECT_TRUE(platform_->DeleteFile(dir_ / "file"));
  EXPECT_FALSE(platform_->DeleteFile(dir_ / "file"));

  TScopedEnv tmp("TMPDIR", dir_.Path().c_str());
  const std::string a = platform_->MakeTempName("~ip");
  const std::string b = platform_->MakeTempName("~ip");
  EXPECT_EQ(a.rfind(dir_ / "~ip", 0), 0u) << a;
  EXPECT_NE(a, b);
  EXPECT_FALSE(fs::exists(a)) << "the name is reserved and the file deleted again";
}

TEST_F(PosixPlatformTest, PicturesFolderFollowsUserDirs) {
  const std::string home = dir_ / "home";
  fs::create_directories(home + "/.config");
  TScopedEnv homeEnv("HOME", home.c_str());
  TScopedEnv configEnv("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(platform_->PicturesFolder(), home + "/Pictures/");

  WriteText(home + "/.config/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
            "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(platform_->PicturesFolder(), home + "/Bilder/");

  const std::string config = dir_ / "config";
  fs::create_directories(config);
  WriteText(config + "/user-dirs.dirs", "  XDG_PICTURES_DIR=\"/srv/photos/my \\\"pics\\\"/\"\n");
  TScopedEnv configSet("XDG_CONFIG_HOME", config.c_str());
  EXPECT_EQ(platform_->PicturesFolder(), "/srv/photos/my \"pics\"/");

  WriteText(config + "/user-dirs.dirs", "XDG_PICTURES_DIR=\"relative/path\"\n");
  EXPECT_EQ(platform_->PicturesFolder(), home + "/Pictures/");

  TScopedEnv noHome("HOME", nullptr);
  EXPECT_EQ(platform_->PicturesFolder(), "");
}

TEST_F(PosixPlatformTest, VolumeQueriesUseTheNearestExistingFolder) {
  const std::string missing = dir_ / "not/yet/made";
  const std::int64_t free = platform_->FreeSpace(missing);
  EXPECT_GT(free, 0);
  EXPECT_EQ(platform_->MountPointOf(missing), platform_->MountPointOf(dir_.Path()));
  const std::string mount = platform_->MountPointOf(dir_.Path());
  ASSERT_FALSE(mount.empty());
  const std::string real = fs::canonical(dir_.Path()).string();
  EXPECT_TRUE(mount == "/" || real.rfind(mount + "/", 0) == 0) << mount << " " << real;
  EXPECT_EQ(platform_->MountPointOf("/proc/self/status"), "/proc");

  EXPECT_TRUE(platform_->IsOnSameVolume(missing, dir_.Path()));
  EXPECT_FALSE(platform_->IsOnSameVolume("/proc/self", dir_.Path()));
  EXPECT_TRUE(platform_->IsOnSameVolume("relative/path", "."));
}

// A stand-in for udisksctl on PATH that records its arguments and answers
// as told by the file "answer": "busy", "ok" or anything else.
class UdisksctlTest : public PosixPlatformTest {
protected:
  void SetUp() override {
    WriteText(dir_ / "udisksctl",
              "#!/bin/sh\n"
              "echo \"$@\" >> \"$(dirname \"$0\")/calls\"\n"
              "answer=$(cat \"$(dirname \"$0\")/answer\")\n"
              "case \"$answer\" in\n"
              "  ok) exit 0 ;;\n"
              "  busy) echo 'Error unmounting /dev/sdb1: "
              "GDBus.Error:org.freedesktop.UDisks2.Error.DeviceBusy: "
              "target is busy' >&2; exit 1 ;;\n"
              "  *) echo 'Error: not authorized' >&2; exit 1 ;;\n"
              "esac\n");
    fs::permissions(dir_ / "udisksctl", fs::perms::owner_all);
    path_.emplace("PATH", (dir_.Path() + ":/usr/bin:/bin").c_str());
  }
  void Answer(std::string_view text) { WriteText(dir_ / "answer", text); }

  std::optional<TScopedEnv> path_;
  TMountEntry volume_{"/media/IPOD", "/dev/quill-nodisk1", "vfat", "8:17"};
};

TEST_F(UdisksctlTest, UnmountAnswersOkBusyOrFailed) {
  Answer("ok");
  EXPECT_EQ(platform_->Unmount(volume_), TUnmountResult::Ok);
  Answer("busy");
  EXPECT_EQ(platform_->Unmount(volume_), TUnmountResult::Busy);
  Answer("denied");
  EXPECT_EQ(platform_->Unmount(volume_), TUnmountResult::Failed);
  EXPECT_EQ(ReadText(dir_ / "calls"),
            "unmount -b /dev/quill-nodisk1\nunmount -b /dev/quill-nodisk1\nunmount -b "
            "/dev/quill-nodisk1\n");
}

TEST_F(UdisksctlTest, PowerOffNamesTheDeviceWithoutASysfsParent) {
  Answer("ok");
  EXPECT_TRUE(platform_->PowerOff(volume_));
  Answer("denied");
  EXPECT_FALSE(platform_->PowerOff(volume_));
  EXPECT_EQ(ReadText(dir_ / "calls"),
            "power-off -b /dev/quill-nodisk1\npower-off -b /dev/quill-nodisk1\n");
}

TEST_F(UdisksctlTest, AMissingUdisksctlFails) {
  fs::remove(dir_ / "udisksctl");
  TScopedEnv onlyHere("PATH", dir_.Path().c_str());
  EXPECT_EQ(platform_->Unmount(volume_), TUnmountResult::Failed);
  EXPECT_FALSE(platform_->PowerOff(volume_));
}

}  // namespace
}  // namespace quill
