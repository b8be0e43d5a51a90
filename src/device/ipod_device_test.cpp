#include "device/ipod_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TFakePlatform;
using testing::TTempDir;
using TEvents = std::vector<std::pair<bool, bool>>;

// Each platform names what is missing in its own words.
#ifdef _WIN32
constexpr const char* kNoLibraryMessages =
    "\r\nCannot load the iTunes Dll, requires iTunes 7.5 or above.\r\nCannot access "
    "iPhone/iTouch/iPad.";
#else
constexpr const char* kNoLibraryMessages =
    "\r\nThe mobile device library could not be loaded (libquillmobiledevice.so): iPhones and "
    "iPads cannot be reached.\r\niOS devices cannot be reached (is usbmuxd running?).";
#endif

void Write(const std::string& path, std::string_view text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Text(const TMemoryStream& stream) {
  return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

void MakeIpod(const std::string& root) { fs::create_directories(root + "/iPod_Control/iTunes"); }

// Writes bytes at a far offset so that the file is sparse.
void WriteAt(const std::string& path, std::uint64_t offset, std::string_view bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file.is_open()) file.open(path, std::ios::out | std::ios::binary);
  ASSERT_TRUE(file.is_open()) << path;
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

// An iOS helper over files held in memory, for the iOS branches.
class TFakeIos : public TIosHelper {
public:
  explicit TFakeIos(std::size_t bufferMiB = 3) : TIosHelper(static_cast<int>(bufferMiB), nullptr) {}
  bool LibraryLoaded() const override { return Loaded; }
  bool Subscribed() const override { return Loaded && !skipped_; }
  void Start(bool skipSubscribe) override {
    skipped_ = skipSubscribe;
    TIosHelper::Start(skipSubscribe);
  }
  bool CopyToStream(const std::string& path, TMemoryStream& stream) override {
    const auto it = Files.find(path);
    if (it == Files.end()) return Fail("No such file: " + path);
    stream.Write(it->second.data(), it->second.size());
    return true;
  }
  bool CopyToSink(const std::string& path, const TSink& sink, TSizeRule, bool* changed,
                  int* sinkError) override {
    if (changed) *changed = ChangingCopies > 0 && ChangingCopies--;
    if (sinkError) *sinkError = 0;
    const auto it = Files.find(path);
    if (it == Files.end()) return Fail("No such file: " + path);
    const int error = sink({reinterpret_cast<const std::uint8_t*>(it->second.data()), it->second.size()});
    if (sinkError) *sinkError = error;
    return error == 0 ? true : Fail("Write error " + std::to_string(error));
  }
  std::optional<std::int64_t> GetFileModified(const std::string&) override { return std::nullopt; }
  bool PathExists(const std::string& path) override { return Files.count(path) != 0; }
  bool OpenFile(const std::string& path) override {
    if (!Files.count(path)) return Fail("Cannot open " + path);
    open_ = path;
    return true;
  }
  bool ReadAt(std::size_t size, std::uint8_t* buffer, std::uint64_t offset) override {
    const std::string& data = Files[open_];
    if (offset > data.size() || size > data.size() - offset) return Fail("Read past the end");
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
    return true;
  }
  void CloseFile() override { open_.clear(); }
  std::uint64_t GetFileSize(const std::string& path) override {
    return Files.count(path) ? Files[path].size() : 0;
  }
  void ListEntries(const std::string& folder, TListKind kind,
                   std::vector<std::string>& names) override {
    std::set<std::string> seen;
    for (const auto& [path, data] : Files) {
      if (path.rfind(folder, 0) != 0) continue;
      const std::size_t slash = path.find('/', folder.size());
      const bool file = slash == std::string::npos;
      if ((kind == TListKind::Folders && file) || (kind == TListKind::RegularFiles && !file)) continue;
      const std::string name = path.substr(folder.size(), file ? std::string::npos : slash - folder.size());
      if (seen.insert(name).second) names.push_back(name);
    }
  }
  void ListFiles(const std::string& folder, std::vector<std::string>& names) override {
    for (const auto& [path, data] : Files) {
      if (path.rfind(folder, 0) == 0 && path.find('/', folder.size()) == std::string::npos)
        names.push_back(path.substr(folder.size()));
    }
  }

  bool Loaded = true;
  std::map<std::string, std::string> Files;
  int ChangingCopies = 0;  // copies during which the file's size moves

private:
  bool Fail(std::string text) {
    SetLastError(std::move(text));
    return false;
  }
  bool skipped_ = false;
  std::string open_;
};

class DeviceTest : public ::testing::Test {
protected:
  DeviceTest() {
    MakeIpod(ipod_.Path());
    volume_ = {ipod_.Path(), "/dev/sdb1", "vfat", "8:17"};
    fixed_ = {fixed_dir_.Path(), "/dev/sda2", "ext4", "8:2"};
  }

  std::unique_ptr<TIpodDevice> MakeDevice(std::unique_ptr<TIosHelper> ios = nullptr) {
    return std::make_unique<TIpodDevice>(
        platform_,
        [this](bool connected, bool fromIos) { events_.emplace_back(connected, fromIos); },
        std::move(ios));
  }

  // A device connected to the removable iPod volume.
  std::unique_ptr<TIpodDevice> Connected() {
    platform_.Mounts = {volume_};
    platform_.RemovableMountPoints = {volume_.MountPoint};
    auto device = MakeDevice();
    EXPECT_TRUE(device->ScanDrives());
    events_.clear();
    return device;
  }

  TFakePlatform platform_;
  TTempDir ipod_;
  TTempDir fixed_dir_;
  TTempDir dest_;
  TMountEntry volume_;
  TMountEntry fixed_;
  TEvents events_;
};

// ---- Construction and detection ---------------------------------------------

TEST_F(DeviceTest, WithoutTheLibraryTheConstructorAddsBothMessages) {
  auto device = MakeDevice();
  EXPECT_EQ(device->Messages, kNoLibraryMessages);
  EXPECT_TRUE(device->IosUnavailable);
  EXPECT_FALSE(device->Connected || device->IsIos || device->DiskFound || device->EjectOnClose);
  EXPECT_EQ(device->Ios().BufferSize(), std::size_t{3} << 20);
  EXPECT_TRUE(events_.empty());
}

TEST_F(DeviceTest, ConstructorReportsAMissingCopyBufferAndSkipsSubscribing) {
  auto ios = std::make_unique<TFakeIos>(0);
  auto device = MakeDevice(std::move(ios));
  EXPECT_EQ(device->Messages, "\r\nInternal - out of Memory");
  EXPECT_FALSE(device->IosUnavailable);

  auto unloaded = std::make_unique<TFakeIos>();
  unloaded->Loaded = false;
  auto second = MakeDevice(std::move(unloaded));
  EXPECT_EQ(second->Messages, kNoLibraryMessages);
}

TEST_F(DeviceTest, ScanTakesTheFirstRemovableIpodInTableOrder) {
  TTempDir empty, second;
  MakeIpod(fixed_dir_.Path());
  MakeIpod(second.Path());
  const TMountEntry emptyStick{empty.Path(), "/dev/sdc1", "vfat", "8:33"};
  const TMountEntry secondIpod{second.Path(), "/dev/sdd1", "vfat", "8:49"};
  platform_.Mounts = {fixed_, emptyStick, volume_, secondIpod};
  platform_.RemovableMountPoints = {emptyStick.MountPoint, volume_.MountPoint,
                                    secondIpod.MountPoint};
  auto device = MakeDevice();
  ASSERT_TRUE(device->ScanDrives());
  EXPECT_EQ(device->Drive, ipod_.Path());
  EXPECT_TRUE(device->Connected && device->DiskFound);
  EXPECT_FALSE(device->IsIos || device->IosMediaFolder);
  EXPECT_EQ(events_, (TEvents{{true, false}}));
}

TEST_F(DeviceTest, AFixedDiskOrAStickWithoutTheMarkerIsNotAnIpod) {
  MakeIpod(fixed_dir_.Path());
  TTempDir stick;
  fs::create_directories(stick.Path() + "/iPod_Control");  // no iTunes folder inside
  platform_.Mounts = {fixed_, {stick.Path(), "/dev/sdc1", "vfat", "8:33"}};
  platform_.RemovableMountPoints = {stick.Path()};
  auto device = MakeDevice();
  EXPECT_FALSE(device->ScanDrives());
  EXPECT_FALSE(device->Connected);
  EXPECT_TRUE(device->Drive.empty());
  EXPECT_TRUE(events_.empty());
}

TEST_F(DeviceTest, ArrivalsQueriesAndRemovals) {
  platform_.RemovableMountPoints = {volume_.MountPoint};
  auto device = MakeDevice();
  using K = TDeviceChangeMessage::TKind;
  EXPECT_EQ(device->WndProc({K::QueryRemove, volume_}), 0) << "nothing connected: nothing to veto";
  EXPECT_EQ(device->WndProc({K::Arrival, fixed_}), 0);
  EXPECT_FALSE(device->Connected);

  EXPECT_EQ(device->WndProc({K::Arrival, volume_}), 0);
  ASSERT_TRUE(device->Connected);
  EXPECT_EQ(device->Drive, ipod_.Path());
  TTempDir other;
  MakeIpod(other.Path());
  platform_.RemovableMountPoints.insert(other.Path());
  device->WndProc({K::Arrival, {other.Path(), "/dev/sdc1", "vfat", "8:33"}});
  EXPECT_EQ(device->Drive, ipod_.Path()) << "a second arrival is ignored";

  EXPECT_EQ(device->WndProc({K::QueryRemove, volume_}), kBroadcastQueryDeny);
  device->EjectOnClose = true;
  EXPECT_EQ(device->WndProc({K::QueryRemove, volume_}), 0);

  const std::string before = device->Messages;
  device->WndProc({K::RemoveComplete, {other.Path(), "/dev/sdc1", "vfat", "8:33"}});
  EXPECT_TRUE(device->Connected);
  EXPECT_EQ(device->Messages, before);

  device->WndProc({K::RemoveComplete, volume_});
  EXPECT_FALSE(device->Connected || device->DiskFound || device->IsIos);
  EXPECT_TRUE(device->Drive.empty());
  EXPECT_EQ(device->Messages, before + "\r\n[!]: Lost iPod, please connect iPod to try again");
  EXPECT_EQ(events_, (TEvents{{true, false}, {false, false}}));
}

TEST_F(DeviceTest, IosEventsAreIgnoredWhileADiskIpodIsInUse) {
  auto device = Connected();
  device->IosConnectionChanged(true);
  device->IosConnectionChanged(false);
  EXPECT_TRUE(device->Connected && device->DiskFound);
  EXPECT_FALSE(device->IsIos);
  EXPECT_TRUE(events_.empty());
}

TEST_F(DeviceTest, IosConnectionSwitchesModesAndMutesVolumeMessages) {
  platform_.RemovableMountPoints = {volume_.MountPoint};
  auto device = MakeDevice();
  device->IosConnectionChanged(true);
  EXPECT_TRUE(device->Connected && device->IsIos);
  EXPECT_FALSE(device->DiskFound);
  using K = TDeviceChangeMessage::TKind;
  EXPECT_EQ(device->WndProc({K::Arrival, volume_}), 0);
  EXPECT_EQ(device->WndProc({K::QueryRemove, volume_}), 0);
  EXPECT_TRUE(device->IsIos);
  EXPECT_TRUE(device->EjectDrive()) << "nothing to eject for an iOS device";
  device->IosConnectionChanged(false);
  EXPECT_FALSE(device->Connected || device->IsIos);
  EXPECT_EQ(events_, (TEvents{{true, true}, {false, true}}));
}

TEST_F(DeviceTest, UseFolderTakesAnIpodOrAMediaFolderAndRefusesTheRest) {
  auto device = MakeDevice();
  std::string error;
  ASSERT_TRUE(device->UseFolder(ipod_.Path() + "/", error)) << error;
  EXPECT_EQ(device->Drive, ipod_.Path());
  EXPECT_TRUE(device->Connected && device->DiskFound);
  EXPECT_FALSE(device->IosMediaFolder || device->HasIosData());
  EXPECT_FALSE(device->EjectDrive()) << "a folder is no volume";
  EXPECT_EQ(platform_.UnmountCalls, 0);

  TTempDir media;
  fs::create_directories(media.Path() + "/PhotoData");
  ASSERT_TRUE(device->UseFolder(media.Path(), error)) << error;
  EXPECT_TRUE(device->IosMediaFolder && device->HasIosData());
  EXPECT_FALSE(device->IsIos);

  TTempDir plain;
  EXPECT_FALSE(device->UseFolder(plain.Path(), error));
  EXPECT_NE(error.find(plain.Path() + " does not hold an iPod: no iPod_Control folder"),
            std::string::npos)
      << error;
  EXPECT_FALSE(device->UseFolder(plain.Path() + "/missing", error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  EXPECT_EQ(events_, (TEvents{{true, false}, {true, false}}));
}

// ---- Device files -------------------------------------------------------------

TEST_F(DeviceTest, DevicePathsJoinTheDriveWithOneSeparator) {
  auto device = MakeDevice();
  EXPECT_EQ(device->DiskPath("/Photos/x"), "") << "no drive, no path";
  device->Drive = "/media/IPOD";
  EXPECT_EQ(device->DiskPath("\\Photos\\Photo Database"), "/media/IPOD/Photos/Photo Database");
  EXPECT_EQ(device->DiskPath("PhotoData/Thumbnails/79x79.ithmb"),
            "/media/IPOD/PhotoData/Thumbnails/79x79.ithmb");
  EXPECT_EQ(device->DiskPath(":Photos:Full Resolution:2009:a.jpg", true),
            "/media/IPOD/Photos/Full Resolution/2009/a.jpg");
  EXPECT_EQ(device->DiskPath("a:b"), "/media/IPOD/a:b");
  EXPECT_EQ(device->CameraFolder(), "/media/IPOD/DCIM/100APPLE/");
}

TEST_F(DeviceTest, WholeFileReads) {
  Write(ipod_ / "Photos/Photo Database", "mhfd...");
  auto device = Connected();
  TMemoryStream stream;
  stream.Write("old", 3);
  ASSERT_TRUE(device->ReadPhotoDatabase(stream));
  EXPECT_EQ(Text(stream), "mhfd...");
  EXPECT_EQ(stream.Position(), 0u);
  EXPECT_TRUE(device->DeviceFileExists("Photos\\Photo Database"));
  EXPECT_FALSE(device->DeviceFileExists("Photos"));

  const std::string before = device->Messages;
  EXPECT_FALSE(device->ReadFileToStream("/Photos/none", stream));
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_EQ(device->Messages, before + "\r\nNot found: /Photos/none");

  platform_.FailOpenAtCall = 2;  // the read after the one above
  EXPECT_FALSE(device->ReadPhotoDatabase(stream));
  EXPECT_EQ(stream.Size(), 0u);
  platform_.BeforeFileOp = [](const std::string& op, const std::string&) {
    if (op == "read") throw std::runtime_error("unplugged");
  };
  EXPECT_FALSE(device->ReadPhotoDatabase(stream));
  EXPECT_EQ(device->Messages, before +
                                  "\r\nNot found: /Photos/none"
                                  "\r\niPod not found, connect iPod to try again."
                                  "\r\niPod not found, connect iPod to try again.");
}

TEST_F(DeviceTest, PhotoDataFilesAreCopiedOnADiskToo) {
  Write(ipod_ / "PhotoData/Photos.sqlite", "SQLite");
  Write(ipod_ / "PhotoData/Photos.sqlite-wal", "log");
  auto device = Connected();
  const std::string database = device->FetchPhotoDataFile("Photos.sqlite", "");
  ASSERT_FALSE(database.empty());
  EXPECT_EQ(database, device->TempName);
  EXPECT_EQ(Read(database), "SQLite");
  EXPECT_EQ(device->FetchPhotoDataFile("Photos.sqlite-wal", "-wal"), database + "-wal");
  EXPECT_EQ(Read(database + "-wal"), "log");
  EXPECT_EQ(device->FetchPhotoDataFile("Photos.sqlite-shm", "-shm"), "");
  std::filesystem::remove(database);
  std::filesystem::remove(database + "-wal");
}

// ---- .ithmb records --------------------------------------------------------------

class ThumbTest : public DeviceTest {
protected:
  void SetUp() override {
    Write(ipod_ / "Photos/Thumbs/F1019_1.ithmb", "0123456789abcdef");
    device_ = Connected();
  }
  std::unique_ptr<TIpodDevice> device_;
};

TEST_F(ThumbTest, RecordsAreAppendedAfterTheHeaderAndTheStreamRewound) {
  ASSERT_TRUE(device_->OpenThumbFile("F1019_1", 4));
  TMemoryStream stream;
  stream.Write("HDR", 3);
  ASSERT_TRUE(device_->ReadThumbRecord(4, stream, 8));
  EXPECT_EQ(Text(stream), "HDR89ab");
  EXPECT_EQ(stream.Position(), 0u);
  // Over bytes the stream holds, at its position.
  stream.Seek(1);
  ASSERT_TRUE(device_->ReadThumbRecord(2, stream, 0));
  EXPECT_EQ(Text(stream), "H0189ab");
  // Longer than the record size given at open: served.
  stream.Clear();
  ASSERT_TRUE(device_->ReadThumbRecord(16, stream, 0));
  EXPECT_EQ(Text(stream), "0123456789abcdef");
  device_->CloseThumbFile();
  EXPECT_FALSE(device_->ReadThumbRecord(4, stream, 0));
}

TEST_F(ThumbTest, AMissingFileIsReportedByName) {
  EXPECT_FALSE(device_->OpenThumbFile("F1020_2", 4));
  EXPECT_TRUE(device_->Messages.ends_with("\r\nFile not found: F1020_2"));
}

TEST_F(ThumbTest, AShortReadFailsQuietlyAndLeavesTheStreamAsItWas) {
  ASSERT_TRUE(device_->OpenThumbFile("F1019_1", 8));
  TMemoryStream stream;
  stream.Write("HDR", 3);
  const std::string messages = device_->Messages;
  EXPECT_FALSE(device_->ReadThumbRecord(8, stream, 12));
  EXPECT_FALSE(device_->ReadThumbRecord(8, stream, 1000));
  EXPECT_FALSE(device_->ReadThumbRecord(std::size_t{3} << 30, stream, 0))
      << "no 3 GiB buffer for a 16-byte file";
  EXPECT_EQ(Text(stream), "HDR");
  EXPECT_EQ(stream.Position(), 3u);
  stream.Seek(0);
  EXPECT_FALSE(device_->ReadThumbRecord(8, stream, 12));
  EXPECT_EQ(Text(stream), "HDR");
  EXPECT_EQ(device_->Messages, messages);
}

TEST_F(ThumbTest, ReadErrorsAndFaultyShortReadsLeaveTheStreamAsItWas) {
  ASSERT_TRUE(device_->OpenThumbFile("F1019_1", 4));
  TMemoryStream stream;
  stream.Write("HDR", 3);
  platform_.FailReadAtCall = 1;
  EXPECT_FALSE(device_->ReadThumbRecord(4, stream, 0));
  EXPECT_TRUE(device_->Messages.ends_with("\r\nRead error " + std::to_string(kErrorRead)));
  platform_.ShortReadAtCall = 2;
  EXPECT_FALSE(device_->ReadThumbRecord(4, stream, 0));
  EXPECT_EQ(Text(stream), "HDR");
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_TRUE(device_->ReadThumbRecord(4, stream, 0)) << "the third read is healthy";
}

TEST_F(ThumbTest, UnpluggedMidReadLeavesTheStreamAsItWas) {
  ASSERT_TRUE(device_->OpenThumbFile("F1019_1", 4));
  platform_.BeforeFileOp = [](const std::string& op, const std::string&) {
    if (op == "readat") throw std::runtime_error("device gone");
  };
  TMemoryStream stream;
  stream.Write("HDR", 3);
  EXPECT_FALSE(device_->ReadThumbRecord(4, stream, 0));
  EXPECT_EQ(Text(stream), "HDR");
  EXPECT_EQ(stream.Position(), 3u);
  EXPECT_TRUE(device_->Messages.ends_with("\r\nRead error: device gone"));
}

TEST_F(ThumbTest, OffsetsAboveTwoAndFourGibRead) {
  const std::uint64_t twoGib = std::uint64_t{2} << 30;
  const std::uint64_t fourGib = std::uint64_t{4} << 30;
  const std::string file = ipod_ / "Photos/Thumbs/F1015_1.ithmb";
  WriteAt(file, twoGib + 16, "two!");
  WriteAt(file, fourGib + 4096, "four");
  ASSERT_TRUE(device_->OpenThumbFile("F1015_1", 4));
  TMemoryStream stream;
  ASSERT_TRUE(device_->ReadThumbRecord(4, stream, twoGib + 16));
  EXPECT_EQ(Text(stream), "two!");
  stream.Clear();
  ASSERT_TRUE(device_->ReadThumbRecord(4, stream, fourGib + 4096));
  EXPECT_EQ(Text(stream), "four");
  EXPECT_EQ(device_->DeviceFileSize(":Photos:Thumbs:F1015_1.ithmb"), fourGib + 4100);
  EXPECT_EQ(device_->LocalFileSize(file), fourGib + 4100);
  EXPECT_EQ(device_->LocalFileSize(ipod_ / "none"), 0u);
}

TEST_F(ThumbTest, AMediaFolderFallsBackToItsThumbnailsFolder) {
  Write(ipod_ / "PhotoData/Thumbnails/79x79.ithmb", "thumbs");
  device_->IosMediaFolder = true;
  ASSERT_TRUE(device_->OpenThumbFile("79x79.ithmb", 2));
  TMemoryStream stream;
  ASSERT_TRUE(device_->ReadThumbRecord(2, stream, 2));
  EXPECT_EQ(Text(stream), "um");
  device_->IosMediaFolder = false;
  EXPECT_FALSE(device_->OpenThumbFile("79x79.ithmb", 2));
}

// ---- Copies to the PC --------------------------------------------------------------

TEST_F(DeviceTest, CopiesNeverReplaceAFileAndRefuseParentPaths) {
  Write(ipod_ / "Photos/Full Resolution/2009/a.jpg", "original");
  Write(dest_ / "taken.jpg", "mine");
  auto device = Connected();
  EXPECT_EQ(device->CopyItemToPc(":Full Resolution:2009:a.jpg", dest_ / "x.jpg"),
            testing::kMissingFolderError);
  EXPECT_EQ(device->CopyItemToPc(":Photos:Full Resolution:2009:a.jpg", dest_ / "a.jpg"), 0);
  EXPECT_EQ(Read(dest_ / "a.jpg"), "original");
  EXPECT_EQ(device->CopyItemToPc(":Photos:Full Resolution:2009:a.jpg", dest_ / "taken.jpg"),
            kErrorNameTaken);
  EXPECT_EQ(Read(dest_ / "taken.jpg"), "mine");

  const std::size_t written = platform_.Written().size();
  EXPECT_EQ(device->CopyItemToPc(":Photos:..:..:etc:passwd", dest_ / "p"), kErrorAccessDenied);
  EXPECT_NE(device->Messages.find(":Photos:..:..:etc:passwd"), std::string::npos);
  EXPECT_EQ(device->CopyFileToPc(device->CameraFolder() + "../../x", dest_ / "q"),
            kErrorAccessDenied);
  EXPECT_EQ(platform_.Written().size(), written) << "nothing is read or written for a refused path";

  platform_.FailWriteAtCall = static_cast<int>(platform_.Written().size()) + 1;
  EXPECT_EQ(device->CopyFileToPc(ipod_ / "Photos/Full Resolution/2009/a.jpg", dest_ / "b.jpg"),
            kErrorRead);
  EXPECT_FALSE(fs::exists(dest_ / "b.jpg"));
}

TEST_F(DeviceTest, AFolderNamedWithDotDotStillCopiesItsCameraFiles) {
  Write(ipod_ / "DCIM/100APPLE/IMG_0001.JPG", "camera");
  auto device = MakeDevice();
  std::string error;
  const fs::path cwd = fs::current_path();
  fs::current_path(dest_.Path());
  ASSERT_TRUE(device->UseFolder("../" + fs::path(ipod_.Path()).filename().string(), error))
      << error;
  const int copied =
      device->CopyFileToPc(device->CameraFolder() + "IMG_0001.JPG", dest_ / "IMG_0001.JPG");
  const int refused =
      device->CopyFileToPc(device->CameraFolder() + "../../IMG_0001.JPG", dest_ / "x.JPG");
  fs::current_path(cwd);
  EXPECT_EQ(copied, 0);
  EXPECT_EQ(refused, kErrorAccessDenied);
  EXPECT_EQ(Read(dest_ / "IMG_0001.JPG"), "camera");
}

TEST_F(DeviceTest, ACopyIntoAReadOnlyFolderLeavesNoFile) {
  Write(ipod_ / "DCIM/100APPLE/IMG_0001.JPG", "camera");
  const std::string ro = dest_ / "ro";
  fs::create_directories(ro);
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
  if (!testing::PermissionBitsHold())
    GTEST_SKIP() << "root ignores permission bits; the platform test fails a copy mid-way";
  auto device = Connected();
  EXPECT_EQ(device->CopyFileToPc(device->CameraFolder() + "IMG_0001.JPG", ro + "/IMG_0001.JPG"),
            EACCES);
  EXPECT_TRUE(fs::is_empty(ro));
}

TEST_F(DeviceTest, IosCopiesGoThroughTheHelperAndNeverReplace) {
  auto ios = std::make_unique<TFakeIos>();
  ios->Files["/Photos/Full Resolution/a.jpg"] = "from the phone";
  auto device = MakeDevice(std::move(ios));
  device->IosConnectionChanged(true);
  Write(dest_ / "taken.jpg", "mine");
  EXPECT_EQ(device->CopyItemToPc(":Photos:Full Resolution:a.jpg", dest_ / "a.jpg"), 0);
  EXPECT_EQ(Read(dest_ / "a.jpg"), "from the phone");
  // A name in use is the platform's own answer, on which the transfer goes
  // on to the next free name.
  EXPECT_EQ(device->CopyItemToPc(":Photos:Full Resolution:a.jpg", dest_ / "taken.jpg"),
            kErrorNameTaken);
  EXPECT_EQ(Read(dest_ / "taken.jpg"), "mine");
  EXPECT_EQ(device->CopyFileToPc("/DCIM/100APPLE/none.jpg", dest_ / "n.jpg"), 2);
  EXPECT_TRUE(device->Messages.ends_with("\r\nCopy fail: No such file: /DCIM/100APPLE/none.jpg"));
  EXPECT_EQ(device->DeviceFileSize(":Photos:Full Resolution:a.jpg"), 14u);
}

TEST_F(DeviceTest, IosRecordReadsLongerThanTheRecordSizeAreServed) {
  auto ios = std::make_unique<TFakeIos>();
  ios->Files["/PhotoData/Thumbnails/79x79.ithmb"] = std::string(100, 'x') + "JPEGDATA";
  auto device = MakeDevice(std::move(ios));
  device->IosConnectionChanged(true);
  ASSERT_TRUE(device->OpenThumbFile("79x79.ithmb", 4));
  TMemoryStream stream;
  ASSERT_TRUE(device->ReadThumbRecord(8, stream, 100));
  EXPECT_EQ(Text(stream), "JPEGDATA");
  EXPECT_FALSE(device->ReadThumbRecord(8, stream, 101));
  EXPECT_EQ(Text(stream), "JPEGDATA");
  EXPECT_TRUE(device->Messages.ends_with("\r\nRead past the end"));
}

TEST_F(DeviceTest, IosDatabaseCopiesGoToTheTemporaryName) {
  auto ios = std::make_unique<TFakeIos>();
  ios->Files["/PhotoData/Photos.sqlite"] = "db";
  ios->Files["/PhotoData/Photos.sqlite-wal"] = "wal";
  std::string temp;
  {
    auto device = MakeDevice(std::move(ios));
    device->IosConnectionChanged(true);
    const std::string db = device->FetchPhotoDataFile("Photos.sqlite", "");
    const std::string wal = device->FetchPhotoDataFile("Photos.sqlite-wal", "-wal");
    temp = device->TempName;
#ifndef _WIN32
    // In a folder of the user's own that nobody else can read (the user's
    // temporary folder is private on Windows).
    EXPECT_EQ(fs::status(fs::path(temp).parent_path()).permissions() & fs::perms::all,
              fs::perms::owner_all);
    EXPECT_EQ(fs::status(db).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(db, temp);
    EXPECT_EQ(wal, temp + "-wal");
    EXPECT_EQ(Read(db), "db");
    EXPECT_EQ(Read(wal), "wal");
    EXPECT_EQ(device->FetchPhotoDataFile("none", ""), "");
    EXPECT_TRUE(
        device->Messages.ends_with("\r\nCopy photodb failed: No such file: /PhotoData/none"));
    fs::remove(wal);
  }
  EXPECT_FALSE(fs::exists(temp)) << "the destructor deletes the temporary file";
}

TEST_F(DeviceTest, ALibraryThatChangesWhileItIsCopiedIsCopiedAgain) {
  // Copies that see a change: none, two (the third copy holds), and more
  // than three (the last copy is taken, and the log says so).
  for (const int changing : {0, 2, 5}) {
    SCOPED_TRACE(changing);
    auto ios = std::make_unique<TFakeIos>();
    ios->Files["/PhotoData/Photos.sqlite-wal"] = "log";
    ios->ChangingCopies = changing;
    TFakeIos& fake = *ios;
    auto device = MakeDevice(std::move(ios));
    device->IosConnectionChanged(true);
    const std::string wal = device->FetchPhotoDataFile("Photos.sqlite-wal", "-wal");
    ASSERT_FALSE(wal.empty()) << device->Messages;
    EXPECT_EQ(Read(wal), "log");
    EXPECT_EQ(fake.ChangingCopies, changing > 3 ? changing - 3 : 0);
    EXPECT_EQ(device->FetchNotes.size(), changing > 3 ? 1u : 0u);
    device->RemovePhotoDataCopies();
    EXPECT_FALSE(fs::exists(wal));
    EXPECT_FALSE(fs::exists(fs::path(wal).parent_path())) << "the private folder goes too";
  }
}

// ---- Camera folder --------------------------------------------------------------

TEST_F(DeviceTest, EveryCameraFolderIsListedInTheOrderOfItsNumber) {
  for (const char* name : {"100APPLE/IMG_0003.JPG", "100APPLE/img_0001.jpg", "100APPLE/IMG_0002.MOV",
                           "100APPLE/IMG_0001.THM", "100APPLE/IMG_0002.thm", "100APPLE/DSC_0001.JPG",
                           "100APPLE/.MISC/IMG_0003.THM", "100APPLE/._IMG_0003.JPG",
                           "101APPLE/IMG_1000.HEIC", "100IMPRT/IMG_5000.JPG",
                           // Not camera folders: no number of three digits from
                           // 100, or not five characters after it.
                           "099APPLE/IMG_1.JPG", "100APPLEX/IMG_2.JPG", "ABCAPPLE/IMG_3.JPG",
                           ".MISC/IMG_4.JPG"}) {
    Write(ipod_ / (std::string("DCIM/") + name), "x");
  }
  fs::create_directories(ipod_ / "DCIM/100APPLE/IMG_FOLDER");
  auto device = Connected();
  const std::string dcim = ipod_.Path() + "/DCIM/";
  EXPECT_EQ(device->CameraFolders(), (std::vector<std::string>{dcim + "100APPLE/", dcim + "100IMPRT/",
                                                               dcim + "101APPLE/"}));
  // Files come in the file system's order; sorted here to compare.
  auto listed = [&](const std::string& folder) {
    std::vector<std::string> names;
    device->ListCameraFilesIn(dcim + folder, names);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(listed("100APPLE/"),
            (std::vector<std::string>{"IMG_0002.MOV", "IMG_0003.JPG", "img_0001.jpg"}));
  std::vector<std::string> all{"kept"};
  EXPECT_EQ(device->ListCameraFiles(all), 6);
  EXPECT_EQ(all.back(), "IMG_1000.HEIC");

  device->IosMediaFolder = true;
  EXPECT_EQ(listed("100APPLE/"), (std::vector<std::string>{"DSC_0001.JPG", "IMG_0002.MOV",
                                                           "IMG_0003.JPG", "img_0001.jpg"}));
}

TEST_F(DeviceTest, IosCameraListingsDropThumbnails) {
  auto ios = std::make_unique<TFakeIos>();
  for (const char* name : {"100APPLE/IMG_2.JPG", "100APPLE/IMG_1.THM", "100APPLE/A.thm",
                           "100APPLE/clip.MOV", "102APPLE/IMG_3.HEIC", "NOTACAMERA/IMG_4.JPG"})
    ios->Files[std::string("/DCIM/") + name] = "x";
  auto device = MakeDevice(std::move(ios));
  device->IosConnectionChanged(true);
  std::vector<std::string> names;
  EXPECT_EQ(device->ListCameraFiles(names), 3);
  EXPECT_EQ(names, (std::vector<std::string>{"IMG_2.JPG", "clip.MOV", "IMG_3.HEIC"}));
  EXPECT_EQ(device->CameraFolders(), (std::vector<std::string>{"/DCIM/100APPLE/", "/DCIM/102APPLE/"}));
}

TEST_F(DeviceTest, CameraThumbnailsComeFromMiscBesideOrTheFile) {
  Write(ipod_ / "DCIM/100APPLE/.MISC/IMG_0001.THM", "misc thumb");
  Write(ipod_ / "DCIM/100APPLE/IMG_0001.THM", "beside 1");
  Write(ipod_ / "DCIM/100APPLE/IMG_0002.THM", "beside 2");
  Write(ipod_ / "DCIM/100APPLE/IMG_0004.PNG", "png itself");
  auto device = Connected();
  const std::string folder = device->CameraFolder();
  TMemoryStream stream;
  std::string ext;
  ASSERT_TRUE(device->ReadCameraThumb(folder, "IMG_0001.JPG", stream, ext));
  EXPECT_EQ(Text(stream), "misc thumb");
  EXPECT_EQ(ext, ".JPG");
  ASSERT_TRUE(device->ReadCameraThumb(folder, "IMG_0002.MOV", stream, ext));
  EXPECT_EQ(Text(stream), "beside 2");
  EXPECT_EQ(ext, ".JPG");
  for (const char* name : {"IMG_0003.MOV", "IMG_0003.Wav", "IMG_0003.aac"}) {
    ASSERT_TRUE(device->ReadCameraThumb(folder, name, stream, ext)) << name;
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(ext, std::string(name).substr(8));
  }
  ASSERT_TRUE(device->ReadCameraThumb(folder, "IMG_0004.PNG", stream, ext));
  EXPECT_EQ(Text(stream), "png itself");
  EXPECT_EQ(ext, ".PNG");
  EXPECT_FALSE(device->ReadCameraThumb(folder, "IMG_0005.JPG", stream, ext));
  EXPECT_TRUE(device->Messages.ends_with("\r\nNot found: " + folder + "IMG_0005.JPG"));
}

// ---- Destination, default folder and eject ---------------------------------------------

TEST_F(DeviceTest, DestinationOnTheIpodIsRefused) {
  auto device = Connected();
  std::string path = ipod_ / "Backup";
  EXPECT_FALSE(device->CheckDestination(path, 1));
  EXPECT_EQ(
      path,
      ipod_.Path() +
          " is your iPod.\nYou cannot transfer the files from iPod to iPod. Please choose another "
          "folder in your computer.");
  EXPECT_FALSE(fs::exists(ipod_ / "Backup"));
}

TEST_F(DeviceTest, DestinationNeedsStrictlyMoreFreeSpaceThanNeeded) {
  auto device = Connected();
  const TMountEntry home{dest_.Path(), "/dev/sda3", "ext4", "8:3"};
  platform_.Mounts.push_back(home);
  platform_.FreeBytes[home.MountPoint] = 1000;
  std::string path = dest_ / "iPod Photos";
  EXPECT_FALSE(device->CheckDestination(path, 1000));
  EXPECT_EQ(path, dest_.Path() +
                      " hasn't enough free disk space to save all the selected items.\nPlease "
                      "choose another place "
                      "to try again.");
  path = dest_ / "iPod Photos";
  ASSERT_TRUE(device->CheckDestination(path, 999));
  EXPECT_EQ(path, dest_ / "iPod Photos/");
  EXPECT_TRUE(fs::is_directory(path));
  ASSERT_TRUE(device->CheckDestination(path, 0)) << "an existing folder with its '/'";
  EXPECT_EQ(path, dest_ / "iPod Photos/");

  platform_.FreeBytes[home.MountPoint] = -1;
  path = dest_ / "x";
  EXPECT_FALSE(device->CheckDestination(path, 0));
}

TEST_F(DeviceTest, DestinationThatCannotBeCreated) {
  auto device = Connected();
  Write(dest_ / "file", "x");
  std::string path = dest_ / "file/sub";
  EXPECT_FALSE(device->CheckDestination(path, 0));
  EXPECT_EQ(path, "Can not create the folder: " + (dest_ / "file/sub") +
                      "\nPlease choose another place.");
}

TEST_F(DeviceTest, DestinationBesideAFolderDeviceAndRelativePaths) {
  auto device = MakeDevice();
  std::string error;
  ASSERT_TRUE(device->UseFolder(ipod_.Path(), error));
  std::string inside = ipod_ / "sub/../out";
  EXPECT_FALSE(device->CheckDestination(inside, 0));
  EXPECT_NE(inside.find("is your iPod."), std::string::npos);

  const fs::path cwd = fs::current_path();
  fs::current_path(dest_.Path());
  std::string relative = "out";
  const bool ok = device->CheckDestination(relative, 0);
  fs::current_path(cwd);
  ASSERT_TRUE(ok) << relative;
  EXPECT_EQ(fs::canonical(relative), fs::canonical(dest_ / "out"));
  EXPECT_TRUE(fs::path(relative).is_absolute()) << relative;
  EXPECT_EQ(relative.back(), '/');
}

TEST_F(DeviceTest, EjectGivesUpAfterFiveBusyUnmounts) {
  auto device = Connected();
  platform_.UnmountResults.assign(5, TUnmountResult::Busy);
  EXPECT_FALSE(device->EjectDrive());
  EXPECT_EQ(platform_.UnmountCalls, 5);
  EXPECT_EQ(platform_.Sleeps, std::vector<unsigned>(5, 500));
  EXPECT_EQ(platform_.PowerOffCalls, 0);
  EXPECT_TRUE(device->Connected) << "a failed eject changes nothing";
}

TEST_F(DeviceTest, EjectUnmountsThenPowersOff) {
  auto device = Connected();
  platform_.UnmountResults = {TUnmountResult::Busy, TUnmountResult::Ok};
  EXPECT_TRUE(device->EjectDrive());
  EXPECT_EQ(platform_.UnmountCalls, 2);
  EXPECT_EQ(platform_.UnmountedSources, (std::vector<std::string>{"/dev/sdb1", "/dev/sdb1"}));
  EXPECT_EQ(platform_.Sleeps, std::vector<unsigned>{500});
  EXPECT_EQ(platform_.PowerOffCalls, 1);

  platform_.PowerOffResult = false;
  EXPECT_FALSE(device->EjectDrive());
  platform_.UnmountResults = {TUnmountResult::Failed};
  platform_.UnmountCalls = 0;
  platform_.PowerOffCalls = 0;
  EXPECT_FALSE(device->EjectDrive());
  EXPECT_EQ(platform_.UnmountCalls, 1);
  EXPECT_EQ(platform_.PowerOffCalls, 0);

  platform_.RemovableMountPoints.clear();
  EXPECT_FALSE(device->EjectDrive());
  EXPECT_EQ(platform_.UnmountCalls, 1) << "a fixed volume is never unmounted";
}

TEST_F(DeviceTest, DestructionEjectsOnlyWhenAskedAndInDiskMode) {
  Connected().reset();
  EXPECT_EQ(platform_.UnmountCalls, 0);
  {
    auto device = Connected();
    device->EjectOnClose = true;
  }
  EXPECT_EQ(platform_.UnmountCalls, 1);
  EXPECT_EQ(platform_.PowerOffCalls, 1);
  {
    auto device = MakeDevice();
    device->IosConnectionChanged(true);
    device->EjectOnClose = true;
  }
  EXPECT_EQ(platform_.UnmountCalls, 1);
}

}  // namespace
}  // namespace quill
