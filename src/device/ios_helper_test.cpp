#include "device/ios_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "device/mobile_device_binding.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::TConnectionEvents;
using testing::TSimDevice;
using ::testing::UnorderedElementsAre;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

void Write(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

std::string Text(const TMemoryStream& stream) {
  return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

// Waits until the helper's LastError is set (a failed connection sequence
// fires no event).
std::string WaitForError(const TIosHelper& helper) {
  for (int i = 0; i < 500 && helper.LastError().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return helper.LastError();
}

class IosHelperTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TSimDevice::UseForProcess(kSimLibrary); }

  void SetUp() override {
    Write(folder_ + "/DCIM/100APPLE/IMG_0001.JPG", "first photo");
    Write(folder_ + "/DCIM/100APPLE/IMG_0002.MOV", "a film");
    Write(folder_ + "/DCIM/100APPLE/.MISC/IMG_0001.THM", "thumb");
    fs::create_directories(folder_ + "/DCIM/100APPLE/Sub folder");
  }

  // Starts a helper on the process's binding with the simulation configured.
  TIosHelper& Start(const std::vector<std::string>& lines, bool waitForArrival = true) {
    TSimDevice::Configure(temp_ / "sim.conf", folder_, lines);
    const std::size_t before = events_.Events().size();
    helper_ = std::make_unique<TIosHelper>(3, [this](bool connected) { events_.Add(connected); });
    helper_->Start(false);
    if (waitForArrival) {
      EXPECT_TRUE(events_.WaitFor(before + 1));
      EXPECT_TRUE(helper_->AfcOpen()) << helper_->LastError();
    }
    return *helper_;
  }

  testing::TTempDir temp_;
  std::string folder_ = temp_ / "device";
  TConnectionEvents events_;
  std::unique_ptr<TIosHelper> helper_;
};

TEST_F(IosHelperTest, ArrivalOpensTheFileServiceAndFilesAreServed) {
  TIosHelper& ios = Start({});
  EXPECT_TRUE(ios.LibraryLoaded());
  EXPECT_TRUE(ios.Subscribed());
  EXPECT_EQ(ios.BufferSize(), 3u << 20);
  EXPECT_THAT(events_.Events(), ElementsAre(true));

  TMemoryStream stream;
  EXPECT_TRUE(ios.CopyToStream("/DCIM/100APPLE/IMG_0001.JPG", stream));
  EXPECT_EQ(Text(stream), "first photo");
  // Paths without the leading slash, as the iOS library stores them.
  EXPECT_TRUE(ios.PathExists("DCIM/100APPLE/IMG_0002.MOV"));
  EXPECT_EQ(ios.GetFileSize("DCIM/100APPLE/IMG_0002.MOV"), 6u);
  EXPECT_EQ(ios.GetFileKind("/DCIM/100APPLE/.MISC"), 1);
  EXPECT_EQ(ios.GetFileKind("/DCIM/100APPLE/IMG_0001.JPG"), 0);
  EXPECT_EQ(ios.GetFileKind("/DCIM/none"), 3);
  EXPECT_EQ(TSimDevice::OpenFiles(kSimLibrary), 0u);
}

TEST_F(IosHelperTest, SizesAreSixtyFourBit) {
  {
    std::ofstream big(folder_ + "/big.bin", std::ios::binary);
    big.seekp((std::int64_t{5} << 30) - 1);
    big.put('x');
  }
  TIosHelper& ios = Start({});
  EXPECT_EQ(ios.GetFileSize("/big.bin"), std::uint64_t{5} << 30);
}

TEST_F(IosHelperTest, ListingKeepsRegularFilesOnlyWithTheirUtf8Names) {
  const std::string utf8 = "\xC3\x89t\xC3\xA9 \xE2\x98\x80.JPG";
  Write(folder_ + "/DCIM/100APPLE/" + utf8, "sun");
  TIosHelper& ios = Start({});
  std::vector<std::string> names{"kept"};
  ios.ListFiles("/DCIM/100APPLE/", names);
  EXPECT_THAT(names, UnorderedElementsAre("kept", "IMG_0001.JPG", "IMG_0002.MOV", utf8));
  TMemoryStream stream;
  ASSERT_TRUE(ios.CopyToStream("/DCIM/100APPLE/" + utf8, stream)) << ios.LastError();
  EXPECT_EQ(Text(stream), "sun");
  ios.ListFiles("/DCIM/999APPLE/", names);
  EXPECT_EQ(ios.LastError(), "Path not found: /DCIM/999APPLE/");
}

TEST_F(IosHelperTest, MissingFilesAreReportedAsTheBehaviourWordsThem) {
  TIosHelper& ios = Start({});
  TMemoryStream stream;
  EXPECT_FALSE(ios.CopyToStream("/DCIM/none.jpg", stream));
  EXPECT_EQ(ios.LastError(), "Not found: /DCIM/none.jpg");
  EXPECT_FALSE(ios.OpenFile("/DCIM/none.jpg"));
  EXPECT_EQ(ios.LastError(), "Not found");
}

TEST_F(IosHelperTest, CopiesOfBufferMultiplesAndShortReadsAreWhole) {
  Write(folder_ + "/exact.bin", Pattern(3 * 4096));
  Write(folder_ + "/odd.bin", Pattern(3 * 4096 + 17));
  TIosHelper& ios = Start({"short_read=1000"});
  ios.SetBufferSize(4096);
  for (const char* name : {"/exact.bin", "/odd.bin"}) {
    TMemoryStream stream;
    ASSERT_TRUE(ios.CopyToStream(name, stream)) << ios.LastError();
    EXPECT_EQ(Text(stream), Pattern(fs::file_size(folder_ + name))) << name;
  }
  // Records are read to their last byte across short answers, and a record
  // past the end of the file is a failure, not stale bytes.
  ASSERT_TRUE(ios.OpenFile("/odd.bin"));
  std::vector<std::uint8_t> record(5000);
  ASSERT_TRUE(ios.ReadAt(record.size(), record.data(), 100));
  EXPECT_EQ(std::string(record.begin(), record.end()), Pattern(5100).substr(100));
  EXPECT_FALSE(ios.ReadAt(record.size(), record.data(), 3 * 4096));
  EXPECT_EQ(ios.LastError(), "Read Err: the file ends before the record");
  ios.CloseFile();
  EXPECT_EQ(TSimDevice::OpenFiles(kSimLibrary), 0u);
}

TEST_F(IosHelperTest, FailingReadsAndSeeksNameTheirCode) {
  Write(folder_ + "/data.bin", Pattern(10000));
  TIosHelper& ios = Start({"result.AFCFileRefRead=0x80000010", "result_from.AFCFileRefRead=2",
                           "result.AFCFileRefSeek=7"});
  ios.SetBufferSize(4096);
  TMemoryStream stream;
  EXPECT_FALSE(ios.CopyToStream("/data.bin", stream));
  EXPECT_EQ(ios.LastError(), "Read error: 2147483664");
  ASSERT_TRUE(ios.OpenFile("/data.bin"));
  std::uint8_t byte = 0;
  EXPECT_FALSE(ios.ReadAt(1, &byte, 0));
  EXPECT_EQ(ios.LastError(), "Seek Err: 7");
  ios.CloseFile();
  EXPECT_EQ(TSimDevice::OpenFiles(kSimLibrary), 0u);
}

TEST_F(IosHelperTest, HostileReadLengthsFailInsteadOfCopyingStaleBytes) {
  Write(folder_ + "/data.bin", Pattern(10000));
  TIosHelper& ios = Start({});
  ios.SetBufferSize(4096);
  // Script bytes of the simulation, one per answer (the size of the file
  // comes first): 3 claims one byte more than asked, 4 claims 4 GiB, 5 twice
  // what was read, 6 the end of the file; 1 answers one byte (honest).
  for (const std::uint8_t lie : {3, 4, 5}) {
    SCOPED_TRACE(static_cast<int>(lie));
    TSimDevice::Hostile(kSimLibrary, {0, lie});
    TMemoryStream stream;
    EXPECT_FALSE(ios.CopyToStream("/data.bin", stream));
    EXPECT_EQ(ios.LastError(), "Read error: the device answered more bytes than were asked for");
    TSimDevice::Hostile(kSimLibrary, {lie});
    ASSERT_TRUE(ios.OpenFile("/data.bin"));
    std::vector<std::uint8_t> record(3000);
    EXPECT_FALSE(ios.ReadAt(record.size(), record.data(), 10));
    EXPECT_EQ(ios.LastError(), "Read Err: the device answered more bytes than were asked for");
    ios.CloseFile();
  }
  // Within what was asked, but not what the file holds: the size the device
  // states for the file decides.
  TSimDevice::Hostile(kSimLibrary, {0, 0, 0, 5});
  TMemoryStream stream;
  EXPECT_FALSE(ios.CopyToStream("/data.bin", stream));
  EXPECT_EQ(ios.LastError(), "Read error: 11808 bytes read of a file of 10000");
  TSimDevice::Hostile(kSimLibrary, {0, 0, 6});
  EXPECT_FALSE(ios.CopyToFile("/data.bin", temp_ / "cut.bin"));
  EXPECT_EQ(ios.LastError(), "Read error: 4096 bytes read of a file of 10000");
  EXPECT_FALSE(fs::exists(temp_ / "cut.bin"));
  // A size that is no number holds nothing to check the copy against.
  TSimDevice::Hostile(kSimLibrary, {7});
  EXPECT_FALSE(ios.CopyToStream("/data.bin", stream));
  EXPECT_EQ(ios.LastError(), "Read error: the device states no size for /data.bin");
  // One byte per answer is slow but honest.
  TSimDevice::Hostile(kSimLibrary, {0, 1, 1, 1});
  stream.Clear();
  ASSERT_TRUE(ios.CopyToStream("/data.bin", stream)) << ios.LastError();
  EXPECT_EQ(Text(stream), Pattern(10000));
  TSimDevice::Hostile(kSimLibrary, {});
  EXPECT_EQ(TSimDevice::OpenFiles(kSimLibrary), 0u);
}

TEST_F(IosHelperTest, HostileSizesAndKindsAreNotTakenForFiles) {
  Write(folder_ + "/data.bin", Pattern(10));
  TIosHelper& ios = Start({});
  // Each odd script byte replaces the next st_size (or st_ifmt) value.
  const std::pair<std::uint8_t, std::uint64_t> sizes[] = {
      {1, 0}, {3, 0}, {5, 0}, {7, 0}, {9, 99999999999999u}, {13, 4294967297u}};
  for (const auto& [script, expected] : sizes) {
    TSimDevice::Hostile(kSimLibrary, {script});
    EXPECT_EQ(ios.GetFileSize("/data.bin"), expected) << static_cast<int>(script);
  }
  // st_size, st_blocks, st_nlink, then st_ifmt: "S_IFDIR" and "" for a file.
  TSimDevice::Hostile(kSimLibrary, {0, 0, 0, 3});
  EXPECT_EQ(ios.GetFileKind("/data.bin"), 1);
  TSimDevice::Hostile(kSimLibrary, {0, 0, 0, 7});
  EXPECT_EQ(ios.GetFileKind("/data.bin"), 2);
  TSimDevice::Hostile(kSimLibrary, {});
  EXPECT_EQ(ios.GetFileKind("/data.bin"), 0);
}

TEST_F(IosHelperTest, CopyToFileLeavesNothingWhenItFails) {
  Write(folder_ + "/data.bin", Pattern(10000));
  TIosHelper& ios = Start({"result.AFCFileRefRead=9", "result_from.AFCFileRefRead=2"});
  ios.SetBufferSize(4096);
  const std::string local = temp_ / "copy.bin";
  EXPECT_FALSE(ios.CopyToFile("/data.bin", local));
  EXPECT_EQ(ios.LastError(), "Read error: 9");
  EXPECT_FALSE(fs::exists(local));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_.Path()), fs::directory_iterator()), 2)
      << "only the device folder and the configuration";
}

TEST_F(IosHelperTest, AWriteThatFailsMidCopyNamesTheSystemsCode) {
  // The copy is written under its temporary name, here the full device: the
  // first large write fails and throws.
  Write(folder_ + "/data.bin", Pattern(1 << 20));
  const std::string local = temp_ / "copy.bin";
  std::error_code ec;
  fs::create_symlink("/dev/full", local + ".~ip-part", ec);
  if (ec || !fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to link to";
  TIosHelper& ios = Start({});
  EXPECT_FALSE(ios.CopyToFile("/data.bin", local));
  EXPECT_EQ(ios.LastError(), "Exp! " + std::to_string(ENOSPC));
  EXPECT_FALSE(fs::exists(local));
}

TEST_F(IosHelperTest, CopyToFileWritesTheWholeFile) {
  Write(folder_ + "/data.bin", Pattern(10000));
  TIosHelper& ios = Start({});
  const std::string local = temp_ / "copy.bin";
  Write(local, "old");
  ASSERT_TRUE(ios.CopyToFile("/data.bin", local)) << ios.LastError();
  std::ifstream in(local, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), Pattern(10000));
}

struct TSequenceCase {
  std::vector<std::string> Lines;
  std::string Error;
};

TEST_F(IosHelperTest, EachFailingStepOfTheConnectionSequenceFiresNothing) {
  const TSequenceCase cases[] = {
      {{"result.AMDeviceConnect=0xE8000015"}, "Connect failed: 3892314133"},
      {{"paired=0", "result.AMDevicePair=0xE800001F"},
       "Pair failed: 3892314143 (Run iTunes to pair the device)"},
      {{"validates=0", "result.AMDevicePair=12"},
       "Invalid pair: 12 (Run iTunes to pair the device)"},
      {{"result.AMDeviceStartSession=0xE800001A"}, "Cannot start session: 3892314138"},
      {{"result.AMDeviceStartService=0xE8000022"}, "Cannot start AFC service: 3892314146"},
      {{"result.AFCConnectionOpen=4294967295"}, "Open AFC error: 4294967295"},
  };
  for (const TSequenceCase& c : cases) {
    TIosHelper& ios = Start(c.Lines, false);
    EXPECT_EQ(WaitForError(ios), c.Error);
    EXPECT_FALSE(ios.AfcOpen());
    helper_.reset();
  }
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(IosHelperTest, PairingThatFailsValidationOrIsMissingIsMadeAgain) {
  for (const char* line : {"validates=0", "paired=0"}) {
    TIosHelper& ios = Start({line});
    EXPECT_TRUE(ios.AfcOpen()) << line;
    EXPECT_EQ(ios.LastError(), "") << line;
    helper_.reset();
  }
}

TEST_F(IosHelperTest, RefusedSubscriptionIsReported) {
  TIosHelper& ios = Start({"result.AMDeviceNotificationSubscribe=0x80000001"}, false);
  EXPECT_FALSE(ios.Subscribed());
  EXPECT_EQ(ios.LastError(), "Subscribes error: 2147483649");
}

TEST_F(IosHelperTest, RemovalClosesTheConnectionAtOnce) {
  TIosHelper& ios = Start({"leave=signal", "arrive=now"});
  ASSERT_TRUE(ios.OpenFile("/DCIM/100APPLE/IMG_0001.JPG"));
  TSimDevice::Signal(kSimLibrary);
  ASSERT_TRUE(events_.WaitFor(2));
  EXPECT_THAT(events_.Events(), ElementsAre(true, false));
  EXPECT_FALSE(ios.AfcOpen());
  EXPECT_EQ(TSimDevice::OpenFiles(kSimLibrary), 0u);
  TMemoryStream stream;
  EXPECT_FALSE(ios.CopyToStream("/DCIM/100APPLE/IMG_0001.JPG", stream));
  EXPECT_EQ(ios.LastError(), "The iOS device is not connected.");
  std::uint8_t byte = 0;
  EXPECT_FALSE(ios.ReadAt(1, &byte, 0));
  ios.CloseFile();
}

TEST_F(IosHelperTest, DeviceThatComesBackIsConnectedAgain) {
  TIosHelper& ios = Start({"arrive=signal", "leave=signal"}, false);
  for (int round = 1; round <= 2; ++round) {
    TSimDevice::Signal(kSimLibrary);
    ASSERT_TRUE(events_.WaitFor(2 * round - 1));
    EXPECT_TRUE(ios.AfcOpen());
    TSimDevice::Signal(kSimLibrary);
    ASSERT_TRUE(events_.WaitFor(2 * round));
    EXPECT_FALSE(ios.AfcOpen());
  }
  EXPECT_THAT(events_.Events(), ElementsAre(true, false, true, false));
}

TEST_F(IosHelperTest, DeviceArrivesAndLeavesAfterItsDelays) {
  TIosHelper& ios = Start({"arrive=300", "leave=100"}, false);
  EXPECT_TRUE(events_.Events().empty());
  ASSERT_TRUE(events_.WaitFor(2));
  EXPECT_THAT(events_.Events(), ElementsAre(true, false));
  EXPECT_FALSE(ios.AfcOpen());
}

TEST_F(IosHelperTest, ModernModeHandsTheServiceNameAsAStringReference) {
  Start({});
  EXPECT_TRUE(MobileDeviceBinding().ModernMode());
  const auto record = TSimDevice::LastServiceRecord(kSimLibrary);
  EXPECT_EQ(std::string(record.begin(), record.end()), "com.apple.afc");
}

TEST_F(IosHelperTest, LegacyModeHandsTheConstantStringRecord) {
  // A copy of the file is a library of its own, loaded with the legacy version.
  const std::string copy = temp_ / "libquillsimdevice-legacy.so";
  fs::copy_file(kSimLibrary, copy);
  TSimDevice::Configure(temp_ / "sim.conf", folder_, {"version=238.8"});
  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load({copy}));
  EXPECT_EQ(binding.Version(), 0xEE0008u);
  EXPECT_FALSE(binding.ModernMode());
  EXPECT_EQ(binding.Api().CFStringMakeConstantString, nullptr);

  TIosHelper ios(
      3, [this](bool connected) { events_.Add(connected); }, binding);
  ios.Start(false);
  ASSERT_TRUE(events_.WaitFor(1)) << ios.LastError();
  EXPECT_TRUE(ios.AfcOpen());
  const std::vector<unsigned char> expected = {0,   0,   0,   0,   0x8C, 7,   1,   0,
                                               13,  'c', 'o', 'm', '.',  'a', 'p', 'p',
                                               'l', 'e', '.', 'a', 'f',  'c', 0};
  EXPECT_EQ(TSimDevice::LastServiceRecord(copy), expected);
  TMemoryStream stream;
  EXPECT_TRUE(ios.CopyToStream("/DCIM/100APPLE/IMG_0001.JPG", stream));
}

TEST(MobileDeviceBindingTest, LegacyRecordCarriesTheLengthAndTheName) {
  const std::vector<std::uint8_t> record = LegacyConstantString("com.apple.afc");
  ASSERT_EQ(record.size(), 23u);
  EXPECT_EQ(record[8], 13);
  EXPECT_EQ(record[4], 0x8C);
  EXPECT_EQ(record[22], 0);
  EXPECT_EQ(LegacyConstantString(std::string(300, 'x')).size(), 265u);
}

TEST(MobileDeviceBindingTest, SearchOrderIsVariableProgramFolderThenSystem) {
  EXPECT_THAT(MobileDeviceLibraryCandidates("/opt/x/libsim.so", "/usr/lib/quill/"),
              ElementsAre("/opt/x/libsim.so", "/usr/lib/quill/libquillmobiledevice.so",
                          "libquillmobiledevice.so"));
  EXPECT_THAT(MobileDeviceLibraryCandidates(nullptr, "/p"),
              ElementsAre("/p/libquillmobiledevice.so", "libquillmobiledevice.so"));
  EXPECT_THAT(MobileDeviceLibraryCandidates("", ""), ElementsAre("libquillmobiledevice.so"));
}

TEST(MobileDeviceBindingTest, LoadTakesTheFirstCandidateThatOpens) {
  TMobileDeviceBinding missing;
  EXPECT_FALSE(missing.Load({"/nonexistent/libquillmobiledevice.so"}));
  EXPECT_FALSE(missing.Loaded());

  TMobileDeviceBinding binding;
  ASSERT_TRUE(binding.Load({"/nonexistent/libquillmobiledevice.so", kSimLibrary}));
  EXPECT_EQ(binding.LibraryPath(), kSimLibrary);
  EXPECT_NE(binding.Api().AFCFileRefRead, nullptr);
  // Loaded once, a second request does not search again.
  EXPECT_TRUE(binding.Load({"/nonexistent"}));
  EXPECT_EQ(binding.LibraryPath(), kSimLibrary);
}

}  // namespace
}  // namespace quill
