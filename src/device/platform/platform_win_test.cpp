// The Win32 half against the system's real services (Wine on the build
// machine) where it has them: temporary names, pictures folder, free space,
// copies and their error codes, positional reads, the hidden window and its
// device-change messages. Removable drives and volume locks come from a fake
// volume control.

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <winioctl.h>
// clang-format on
#undef DeleteFile

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/ipod_device.h"
#include "device/platform/platform_win.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

std::string ReadText(const std::string& path) {
  std::ifstream in(fs::path(Widen(path)), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(Widen(path)).parent_path());
  std::ofstream out(fs::path(Widen(path)), std::ios::binary);
  out << text;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::path(Widen(folder))))
    names.insert(Narrow(entry.path().filename().wstring()));
  return names;
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The root of a drive letter that nothing is mapped to.
std::string MissingDrive() {
  const DWORD present = GetLogicalDrives();
  for (char letter = 'Y'; letter > 'C'; --letter)
    if (!(present & (DWORD{1} << (letter - 'A')))) return std::string(1, letter) + ":\\";
  return "A:\\";
}

class PlatformWinTest : public ::testing::Test {
protected:
  std::unique_ptr<TPlatform> platform_ = CreateNativePlatform();
  testing::TTempDir dir_;
  std::string Path(const std::string& name) const { return dir_.Path() + "\\" + name; }
};

TEST_F(PlatformWinTest, TextCrossesToTheSystemAndBack) {
  const std::string text = "Été à Montréal \xF0\x9F\x93\xB7";
  EXPECT_EQ(Narrow(Widen(text)), text);
  EXPECT_EQ(Widen("Été"), L"\u00C9t\u00E9");
  const wchar_t buffer[6] = {L'a', L'b', L'\0', L'c', L'd', L'e'};
  EXPECT_EQ(CutAtNul(buffer, 6), "ab");
  EXPECT_EQ(CutAtNul(buffer + 3, 3), "cde") << "no NUL: the whole buffer";
}

TEST_F(PlatformWinTest, FoldersNamesAndFreeSpace) {
  EXPECT_EQ(platform_->Separator(), '\\');
  const std::string temp = platform_->MakeTempName("~ip");
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(fs::path(Widen(temp)).filename().string().rfind("~ip", 0), 0u) << temp;
  EXPECT_FALSE(platform_->FileExists(temp)) << "the reserved name is free again";
  EXPECT_NE(platform_->MakeTempName("~ip"), temp);

  const std::string pictures = platform_->PicturesFolder();
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures.back(), '\\');

  const std::int64_t free = platform_->FreeSpace(dir_.Path());
  EXPECT_GT(free, 0);
  // A folder still to be made is measured on its nearest existing parent.
  EXPECT_GT(platform_->FreeSpace(Path("not\\yet\\made")), 0);
  EXPECT_EQ(platform_->FreeSpace(MissingDrive() + "no drive"), -1);
  EXPECT_EQ(platform_->MountPointOf(Path("not\\yet")).size(), 3u) << "a drive root such as C:\\";
  EXPECT_TRUE(platform_->IsOnSameVolume(Path("a\\b"), dir_.Path()));
  EXPECT_FALSE(platform_->IsOnSameVolume(Path("a"), MissingDrive()));

  EXPECT_TRUE(platform_->CreateDirectories(Path("x\\y\\z")));
  EXPECT_TRUE(platform_->DirectoryExists(Path("x\\y\\z")));
  EXPECT_FALSE(platform_->FileExists(Path("x\\y\\z")));
}

TEST_F(PlatformWinTest, DriveTestsLeaveTheErrorModeAsItWas) {
  for (const DWORD mode : {DWORD{0}, DWORD{SEM_NOGPFAULTERRORBOX}}) {
    ASSERT_TRUE(SetThreadErrorMode(mode, nullptr));
    EXPECT_FALSE(platform_->DirectoryExists(MissingDrive() + "iPod_Control\\iTunes\\"));
    EXPECT_FALSE(platform_->IsRemovableMount(VolumeEntry(MissingDrive()[0])));
    EXPECT_EQ(GetThreadErrorMode(), mode);
  }
  SetThreadErrorMode(0, nullptr);
}

TEST_F(PlatformWinTest, CopiesNeverReplaceAndLeaveNoTemporaryFile) {
  WriteText(Path("src.jpg"), "original");
  WriteText(Path("out\\taken.jpg"), "mine");
  const std::string out = Path("out");

  EXPECT_EQ(platform_->CopyFileNoOverwrite(Path("src.jpg"), out + "\\a.jpg"), 0);
  EXPECT_EQ(ReadText(out + "\\a.jpg"), "original");
  EXPECT_EQ(fs::last_write_time(fs::path(Widen(out + "\\a.jpg"))),
            fs::last_write_time(fs::path(Widen(Path("src.jpg")))))
      << "the copy keeps the file's time";
  EXPECT_EQ(platform_->CopyFileNoOverwrite(Path("src.jpg"), out + "\\taken.jpg"),
            ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadText(out + "\\taken.jpg"), "mine");
  const int missing = platform_->CopyFileNoOverwrite(Path("none.jpg"), out + "\\b.jpg");
  EXPECT_EQ(missing, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform_->CopyFileNoOverwrite(Path("no\\none.jpg"), out + "\\b.jpg"),
            ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(platform_->CopyFileNoOverwrite(Path("src.jpg"), Path("no\\such\\b.jpg")),
            ERROR_PATH_NOT_FOUND);

  EXPECT_EQ(platform_->WriteFileNoOverwrite(out + "\\w.jpg", Bytes("new")), 0);
  EXPECT_EQ(platform_->WriteFileNoOverwrite(out + "\\w.jpg", Bytes("other")), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadText(out + "\\w.jpg"), "new");
  EXPECT_EQ(platform_->WriteFileReplace(out + "\\w.jpg", Bytes("replaced")), 0);
  EXPECT_EQ(ReadText(out + "\\w.jpg"), "replaced");

  EXPECT_EQ(Names(out), (std::set<std::string>{"a.jpg", "taken.jpg", "w.jpg"}))
      << "no temporary file is left behind";
  EXPECT_TRUE(platform_->DeleteFile(out + "\\w.jpg"));
  EXPECT_FALSE(platform_->DeleteFile(out + "\\w.jpg"));
}

TEST_F(PlatformWinTest, ReadsAtOffsetsBeyondFourGibibytes) {
  const std::string path = Path("big.ithmb");
  const std::uint64_t distant = (std::uint64_t{1} << 32) + 10;
  {
    std::ofstream out(fs::path(Widen(path)), std::ios::binary);
    out.seekp(static_cast<std::streamoff>(distant));
    out << "tail";
  }
  EXPECT_EQ(platform_->FileSize(path), distant + 4);
  int error = 0;
  auto file = platform_->OpenReadOnly(path, error);
  ASSERT_TRUE(file) << error;
  char buffer[8] = {};
  EXPECT_EQ(file->ReadAt(distant, buffer, 8), 4) << "a short read at the end of the file";
  EXPECT_EQ(std::string(buffer, 4), "tail");
  EXPECT_EQ(file->ReadAt(distant + 100, buffer, 8), 0);

  EXPECT_FALSE(platform_->OpenReadOnly(Path("none"), error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  std::vector<std::uint8_t> whole;
  EXPECT_EQ(platform_->ReadWholeFile(Path("none"), whole), ERROR_FILE_NOT_FOUND);
}

TEST_F(PlatformWinTest, ListsAFolderWithoutDotEntries) {
  WriteText(Path("IMG_0001.JPG"), "1");
  fs::create_directories(fs::path(Widen(Path(".MISC"))));
  const std::vector<TDirEntry> entries = platform_->ListDirectory(dir_.Path());
  ASSERT_EQ(entries.size(), 2u);
  for (const TDirEntry& entry : entries) {
    if (entry.Name == ".MISC") {
      EXPECT_TRUE(entry.IsDirectory);
      EXPECT_FALSE(entry.IsRegular);
    } else {
      EXPECT_EQ(entry.Name, "IMG_0001.JPG");
      EXPECT_TRUE(entry.IsRegular);
    }
  }
  EXPECT_TRUE(platform_->ListDirectory(Path("none")).empty());
}

TEST_F(PlatformWinTest, TheDriveScanOffersDToZAndNoFixedDrive) {
  for (const TMountEntry& drive : platform_->ReadMounts()) {
    ASSERT_EQ(drive.MountPoint.size(), 3u);
    EXPECT_GE(drive.MountPoint[0], 'D');
    EXPECT_LE(drive.MountPoint[0], 'Z');
    EXPECT_EQ(drive.MountPoint.substr(1), ":\\");
    EXPECT_EQ(drive.Source, "\\\\.\\" + drive.MountPoint.substr(0, 2));
  }
  EXPECT_FALSE(platform_->IsRemovableMount(VolumeEntry('C'))) << "the system disk is fixed";
  EXPECT_FALSE(platform_->IsRemovableMount(TMountEntry{"\\\\server\\share", "", "", ""}));
}

// Codes read after the failing call (the "Exp!" line of an iOS copy) are
// the system's own, not the C library's errno.
TEST(LastSystemErrorTest, IsTheCodeOfTheLastFailedCall) {
  errno = 0;
  const HANDLE file = CreateFileW(L"C:\\no such folder of quill\\file", GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_EQ(file, INVALID_HANDLE_VALUE);
  const DWORD expected = GetLastError();
  ASSERT_NE(expected, 0u);
  EXPECT_EQ(LastSystemError(), static_cast<int>(expected));
}

TEST(DeviceChangeTest, VolumeMessagesAreDecoded) {
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = (1u << 5) | (1u << 7);  // F: and H:: the lowest wins
  TDeviceChangeMessage message = DecodeDeviceChange(DBT_DEVICEARRIVAL, &volume);
  EXPECT_EQ(message.Kind, TDeviceChangeMessage::TKind::Arrival);
  EXPECT_EQ(message.Volume.MountPoint, "F:\\");
  message = DecodeDeviceChange(DBT_DEVICEREMOVECOMPLETE, &volume);
  EXPECT_EQ(message.Kind, TDeviceChangeMessage::TKind::RemoveComplete);
  volume.dbcv_unitmask = 0;
  EXPECT_EQ(DecodeDeviceChange(DBT_DEVICEARRIVAL, &volume).Volume.MountPoint, "D:\\");

  DEV_BROADCAST_HDR port{};
  port.dbch_size = sizeof port;
  port.dbch_devicetype = DBT_DEVTYP_PORT;
  EXPECT_EQ(DecodeDeviceChange(DBT_DEVICEARRIVAL, &port).Kind, TDeviceChangeMessage::TKind::Other);
  EXPECT_EQ(DecodeDeviceChange(DBT_DEVICEARRIVAL, nullptr).Kind,
            TDeviceChangeMessage::TKind::Other);
  EXPECT_EQ(DecodeDeviceChange(DBT_DEVICEQUERYREMOVE, &port).Kind,
            TDeviceChangeMessage::TKind::QueryRemove);
  EXPECT_EQ(DecodeDeviceChange(DBT_DEVNODES_CHANGED, nullptr).Kind,
            TDeviceChangeMessage::TKind::Other);
}

// Volumes made up by the test: which roots are removable, whether the lock
// is granted, and every control asked for.
class TFakeVolumes final : public TVolumeControl {
public:
  struct TState {
    std::set<std::string> Removable;
    int LockRefusals = 0;
    std::vector<unsigned long> Controls;
    std::vector<std::uint8_t> MediaRemovalInput;
    int Open = 0;
  };
  explicit TFakeVolumes(TState& state) : state_(state) {}
  void* Open(const std::string& drive, bool) override {
    if (!state_.Removable.count(drive + "\\")) return nullptr;
    ++state_.Open;
    return &state_;
  }
  bool Control(void*, unsigned long code, const void* input, unsigned long size) override {
    state_.Controls.push_back(code);
    if (code == FSCTL_LOCK_VOLUME && state_.LockRefusals > 0) {
      --state_.LockRefusals;
      return false;
    }
    if (code == IOCTL_STORAGE_MEDIA_REMOVAL) {
      const auto* bytes = static_cast<const std::uint8_t*>(input);
      state_.MediaRemovalInput.assign(bytes, bytes + size);
    }
    return true;
  }
  void Close(void*) override { --state_.Open; }
  unsigned DriveType(const std::string& root) override {
    return state_.Removable.count(root) ? DRIVE_REMOVABLE : DRIVE_FIXED;
  }

private:
  TState& state_;
};

// The facade on the Win32 half with a made-up removable drive. The drive is
// a letter that scripts/test-windows maps to an empty folder of the build
// machine (QUILL_TEST_DRIVE), so the drive's files are real.
class DiskModeWinTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* drive = std::getenv("QUILL_TEST_DRIVE");
    if (!drive || std::strlen(drive) != 2 || drive[1] != ':')
      GTEST_SKIP() << "no test drive mapped (QUILL_TEST_DRIVE=Q:)";
    letter_ = drive[0];
    Clear();
    fs::create_directories(fs::path(Widen(Root() + "iPod_Control\\iTunes")));
    volumes_.Removable = {Root()};
    platform_ = CreateWin32Platform(std::make_unique<TFakeVolumes>(volumes_));
    device_ = std::make_unique<TIpodDevice>(*platform_, [this](bool connected, bool fromIos) {
      changes_.push_back(std::string(connected ? "on" : "off") + (fromIos ? " ios" : ""));
    });
  }
  void TearDown() override {
    device_.reset();
    if (letter_) Clear();
  }
  std::string Root() const { return std::string(1, letter_) + ":\\"; }
  std::string Drive() const { return std::string(1, letter_) + ":"; }
  void Clear() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(Widen(Root())), ec))
      fs::remove_all(entry.path(), ec);
  }
  // Sends a volume message for the letter to the device's hidden window.
  LRESULT Send(WPARAM event, char letter) {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - 'A');
    return SendMessageW(Window(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
  }
  HWND Window() {
    // The only window of its class in this process.
    return FindWindowW(L"QuillmereDeviceWindow", nullptr);
  }
  char Other() const { return letter_ == 'G' ? 'H' : 'G'; }

  char letter_ = 0;
  TFakeVolumes::TState volumes_;
  std::unique_ptr<TPlatform> platform_;
  std::unique_ptr<TIpodDevice> device_;
  std::vector<std::string> changes_;
};

TEST_F(DiskModeWinTest, TheScanFindsTheRemovableIpodAndNamesItsDrive) {
  ASSERT_TRUE(device_->ScanDrives());
  EXPECT_EQ(device_->Drive, Drive());
  EXPECT_TRUE(device_->DiskFound);
  EXPECT_THAT(changes_, ElementsAre("on"));
  WriteText(Root() + "Photos\\Photo Database", "db");
  TMemoryStream stream;
  ASSERT_TRUE(device_->ReadPhotoDatabase(stream));
  EXPECT_EQ(stream.Size(), 2u);
  EXPECT_EQ(device_->CameraFolder(), Root() + "DCIM\\100APPLE\\");

  std::string onIpod = std::string(1, static_cast<char>(std::tolower(letter_))) + ":\\photos";
  EXPECT_FALSE(device_->CheckDestination(onIpod, 0));
  EXPECT_EQ(onIpod.rfind(Root() + " is your iPod.", 0), 0u) << onIpod;
}

TEST_F(DiskModeWinTest, ADriveRootTakenAsTheDeviceFolder) {
  WriteText(Root() + "Photos\\Photo Database", "db");
  std::string error;
  ASSERT_TRUE(device_->UseFolder(Root(), error)) << error;
  EXPECT_EQ(device_->Drive, Root()) << "the root, not the drive's current folder";
  EXPECT_EQ(device_->CameraFolder(), Root() + "DCIM\\100APPLE\\");
  TMemoryStream stream;
  EXPECT_TRUE(device_->ReadPhotoDatabase(stream));
  EXPECT_EQ(stream.Size(), 2u);
  // Its volume leaving is the device's loss.
  EXPECT_EQ(Send(DBT_DEVICEREMOVECOMPLETE, letter_), 0);
  EXPECT_FALSE(device_->Connected);
  EXPECT_THAT(changes_, ElementsAre("on", "off"));
}

TEST_F(DiskModeWinTest, AFixedDriveIsNeverTheIpod) {
  volumes_.Removable.clear();
  EXPECT_FALSE(device_->ScanDrives());
  EXPECT_EQ(Send(DBT_DEVICEARRIVAL, letter_), 0);
  EXPECT_FALSE(device_->Connected);
  EXPECT_TRUE(changes_.empty());
}

TEST_F(DiskModeWinTest, TheHiddenWindowFollowsTheVolume) {
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Send(DBT_DEVICEARRIVAL, letter_), 0);
  EXPECT_TRUE(device_->Connected);
  EXPECT_EQ(device_->Drive, Drive());
  EXPECT_EQ(Send(DBT_DEVICEARRIVAL, letter_), 0) << "a second arrival is ignored";
  EXPECT_THAT(changes_, ElementsAre("on"));

  EXPECT_EQ(Send(DBT_DEVICEQUERYREMOVE, letter_), BROADCAST_QUERY_DENY);
  device_->EjectOnClose = true;
  EXPECT_EQ(Send(DBT_DEVICEQUERYREMOVE, letter_), 0);
  device_->EjectOnClose = false;

  EXPECT_EQ(Send(DBT_DEVICEREMOVECOMPLETE, Other()), 0);
  EXPECT_TRUE(device_->Connected) << "another volume left";
  EXPECT_EQ(Send(DBT_DEVICEREMOVECOMPLETE, letter_), 0);
  EXPECT_FALSE(device_->Connected);
  EXPECT_EQ(device_->Drive, "");
  EXPECT_TRUE(device_->Messages.ends_with("\r\n[!]: Lost iPod, please connect iPod to try again"));
  EXPECT_THAT(changes_, ElementsAre("on", "off"));

  // Other messages get the system's default processing.
  EXPECT_EQ(SendMessageW(Window(), WM_USER + 1, 0, 0), 0);
}

TEST_F(DiskModeWinTest, EjectLocksDismountsAllowsRemovalAndEjects) {
  ASSERT_TRUE(device_->ScanDrives());
  EXPECT_TRUE(device_->EjectDrive());
  EXPECT_THAT(volumes_.Controls,
              ElementsAre(FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME, IOCTL_STORAGE_MEDIA_REMOVAL,
                          IOCTL_STORAGE_EJECT_MEDIA));
  EXPECT_THAT(volumes_.MediaRemovalInput, ElementsAre(0)) << "PreventMediaRemoval = FALSE";
  EXPECT_EQ(volumes_.Open, 0) << "the volume is closed again";
}

TEST_F(DiskModeWinTest, AVolumeThatStaysLockedIsTriedFiveTimes) {
  ASSERT_TRUE(device_->ScanDrives());
  volumes_.LockRefusals = 5;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(device_->EjectDrive());
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(volumes_.Controls, std::vector<unsigned long>(5, FSCTL_LOCK_VOLUME));
  EXPECT_GE(waited, std::chrono::milliseconds(2400)) << "500 ms after each refusal";
  EXPECT_EQ(volumes_.Open, 0);

  volumes_.Controls.clear();
  volumes_.LockRefusals = 2;
  EXPECT_TRUE(device_->EjectDrive());
  EXPECT_EQ(volumes_.Controls.size(), 6u) << "two refusals, then the four steps";
}

TEST(ItunesWindowsTest, FoundByClassAndTheHelperIsAskedToQuit) {
  const std::unique_ptr<TPlatform> platform = CreateNativePlatform();
  EXPECT_FALSE(platform->IsItunesRunning());
  platform->CloseItunesHelper();  // none there: nothing happens

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"iTunes";
  RegisterClassExW(&windowClass);
  windowClass.lpszClassName = L"HelperMsgListenerWndCls";
  RegisterClassExW(&windowClass);

  HWND player = CreateWindowExW(0, L"iTunes", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(player, nullptr);
  EXPECT_TRUE(platform->IsItunesRunning());
  DestroyWindow(player);
  EXPECT_FALSE(platform->IsItunesRunning());

  // The helper runs its own message loop, which a posted WM_QUIT ends.
  std::atomic<bool> ready = false;
  std::atomic<bool> quit = false;
  std::thread helper([&] {
    HWND window = CreateWindowExW(0, L"HelperMsgListenerWndCls", L"HelperMsgListenerWnd", WS_POPUP,
                                  0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ready = true;
    if (!window) return;
    MSG message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          quit = true;
          break;
        }
        DispatchMessageW(&message);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    DestroyWindow(window);
  });
  while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  platform->CloseItunesHelper();
  helper.join();
  EXPECT_TRUE(quit);
}

}  // namespace
}  // namespace quill
