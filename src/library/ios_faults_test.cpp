// Faults injected into transfers from an iOS device, through the simulated
// device library: answers of its file service that fail, come short or end a
// file early; the device unplugged before each file; the disk filling up;
// names in the library that try to climb out of the folder. The checks are
// the ones a user relies on: every file reported written is byte-identical to
// the device's file; nothing else lies in the folder; nothing outside it, on
// the device or in the temporary folder was created or changed; each failed
// item has its log line; a transfer run afterwards completes.
// Each test prints "fault-table <fault> <cases> <cases with a problem>".
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::Snapshot;
using testing::TConnectionEvents;
using testing::TSimDevice;
using testing::TSnapshot;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;
// The helper's copy buffer in these tests: each original takes several reads.
constexpr std::size_t kBufferBytes = 4096;

struct TResult {
  std::string Name;
  TItemOutcome Outcome;
  std::string PcFile;
};

// One connection to the simulated device with its own fake platform, loaded,
// with every photo and camera file selected.
struct TRig {
  testing::TFakePlatform Platform;
  TConnectionEvents Events;
  std::unique_ptr<TIpodDevice> Device;
  std::unique_ptr<TIpodPhotoDb> Db;
  std::vector<TResult> Results;
  int Written = 0;
};

class IosFaultsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TSimDevice::UseForProcess(kSimLibrary); }

  void SetUp() override {
    // The library's local copies are made in a folder the checks cover.
    old_tmpdir_ = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    setenv("TMPDIR", tmp_.Path().c_str(), 1);
    fs::create_directories(parent_);
    testing::WriteFile(parent_ + "/keep.txt", {'k', 'e', 'e', 'p'});
  }

  void TearDown() override {
    if (old_tmpdir_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    if (cases_ > 0) {
      std::printf("fault-table\t%s\t%d\t%d\n",
                  ::testing::UnitTest::GetInstance()->current_test_info()->name(), cases_, bad_);
    }
  }

  // A library of three originals in the camera folder (so also listed as
  // camera files) and one film that only the camera folder holds.
  void WriteLibrary(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    testing::TSqliteLibrarySpec desc;
    std::uint32_t id = 1;
    auto add = [&](const std::string& directory, const std::string& name, std::size_t size) {
      testing::TSqliteAssetSpec asset;
      asset.Id = id;
      asset.ThumbnailIndex = id - 1;
      asset.Directory = directory;
      asset.FileName = name;
      asset.OriginalBytes.resize(size);
      for (std::size_t i = 0; i < size; ++i)
        asset.OriginalBytes[i] = static_cast<std::uint8_t>(i * (id + 2) + i / 251);
      originals_.insert(asset.OriginalBytes);
      desc.Assets.push_back(asset);
      ++id;
    };
    add("DCIM/100APPLE", "IMG_0001.JPG", 9000);
    add("DCIM/100APPLE", "IMG_0002.JPG", 4096 * 2);
    add("DCIM/100APPLE", "IMG_0003.PNG", 300);
    for (const auto& [directory, name] : extra) {
      // Hostile names are rows of the library only: nothing on the device
      // lies outside its folder.
      testing::TSqliteAssetSpec asset;
      asset.Id = id++;
      asset.Directory = directory;
      asset.FileName = name;
      desc.Assets.push_back(asset);
    }
    testing::WritePhotosSqliteLibrary(desc, folder_);
    std::vector<std::uint8_t> film(5000, 0x3C);
    film[0] = 0;
    testing::WriteFile(folder_ + "/DCIM/100APPLE/IMG_0004.MOV", film);
    originals_.insert(film);
    device_before_ = Snapshot(folder_);
    outside_before_ = Snapshot(parent_, dest_);
  }

  std::unique_ptr<TRig> Connect(const std::vector<std::string>& lines = {}) {
    TSimDevice::Configure(temp_ / "sim.conf", folder_, lines);
    auto rig = std::make_unique<TRig>();
    rig->Device = std::make_unique<TIpodDevice>(
        rig->Platform, [r = rig.get()](bool connected, bool fromIos) {
          if (fromIos) r->Events.Add(connected);
        });
    EXPECT_TRUE(rig->Events.WaitFor(1)) << rig->Device->Ios().LastError();
    rig->Device->Ios().SetBufferSize(kBufferBytes);
    rig->Db = std::make_unique<TIpodPhotoDb>(*rig->Device, nullptr, true);
    EXPECT_TRUE(rig->Db->LoadPhotoLibrary()) << rig->Device->Messages;
    rig->Db->LoadCameraFiles();
    for (std::size_t i = 0; i < rig->Db->Photos.Count(); ++i) rig->Db->Photos.Select(i);
    rig->Db->SelectCameraFiles(TSelectOp::SelectAll);
    std::string folder = dest_;
    EXPECT_TRUE(rig->Db->CheckOutputFolder(folder)) << folder;
    rig->Db->LogText.clear();
    rig->Db->OnItemResult = [r = rig.get()](const std::string& name, TItemOutcome outcome,
                                            const std::string& pcFile) {
      r->Results.push_back({name, outcome, pcFile});
    };
    return rig;
  }

  static void Transfer(TRig& rig) {
    rig.Written = rig.Db->TransferPhotos();
    rig.Written += rig.Db->TransferCameraFiles();
  }

  // earlier: files an earlier transfer reported, which may lie in the folder.
  std::vector<std::string> Problems(TRig& rig, const std::set<std::string>& earlier = {}) {
    std::vector<std::string> problems;
    if (Snapshot(folder_) != device_before_) problems.push_back("the device folder changed");
    if (Snapshot(parent_, dest_) != outside_before_)
      problems.push_back("a file outside the destination changed");
    // The load's local copies of the library go to the temporary folder and
    // are gone after it.
    for (const std::string& path : rig.Platform.Written()) {
      if (path.rfind(dest_ + "/", 0) != 0 && path.rfind(tmp_.Path() + "/", 0) != 0)
        problems.push_back("written outside: " + path);
    }
    if (!fs::is_empty(tmp_.Path())) problems.push_back("left in the temporary folder");
    std::set<std::string> reported = earlier;
    int written = 0;
    for (const TResult& result : rig.Results) {
      if (result.Outcome == TItemOutcome::Failed) {
        if (rig.Db->LogText.find(result.Name.substr(0, 40)) == std::string::npos)
          problems.push_back("failure without its log line: " + result.Name);
        continue;
      }
      written += result.Outcome == TItemOutcome::Written ? 1 : 0;
      reported.insert(result.PcFile);
      if (!fs::is_regular_file(result.PcFile) ||
          !originals_.count(testing::ReadFile(result.PcFile))) {
        problems.push_back("reported but not complete: " + result.PcFile);
      }
    }
    if (written != rig.Written) problems.push_back("written count differs from the reports");
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dest_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!reported.count(it->path().string()))
        problems.push_back("left in the folder: " + it->path().string());
    }
    if (TSimDevice::OpenFiles(kSimLibrary) != 0) problems.push_back("a device file left open");
    return problems;
  }

  // After a faulty transfer: a clean one into the same folder ends with every
  // file of the device there, keeping what the first one wrote.
  std::vector<std::string> NextTransferProblems(const std::set<std::string>& earlier) {
    auto rig = Connect();
    Transfer(*rig);
    std::vector<std::string> problems = Problems(*rig, earlier);
    for (const TResult& result : rig->Results) {
      if (result.Outcome == TItemOutcome::Failed && !unsafe_names_.count(result.Name))
        problems.push_back("next transfer: " + result.Name);
    }
    std::set<std::vector<std::uint8_t>> present;
    for (const auto& entry : fs::directory_iterator(dest_))
      present.insert(testing::ReadFile(entry.path().string()));
    if (present != originals_) problems.push_back("next transfer: files missing");
    return problems;
  }

  // Runs one case: arm sets the fault on the loaded rig. Answers the number
  // of items that failed.
  int RunCase(const std::string& label, const std::vector<std::string>& lines,
              const std::function<void(TRig&)>& arm) {
    SCOPED_TRACE(label);
    auto rig = Connect(lines);
    if (arm) arm(*rig);
    Transfer(*rig);
    TSimDevice::Hostile(kSimLibrary, {});
    std::vector<std::string> problems = Problems(*rig);
    int failed = 0;
    std::set<std::string> reported;
    for (const TResult& result : rig->Results) {
      failed += result.Outcome == TItemOutcome::Failed ? 1 : 0;
      if (result.Outcome != TItemOutcome::Failed) reported.insert(result.PcFile);
    }
    rig.reset();
    for (const std::string& p : NextTransferProblems(reported)) problems.push_back("then " + p);
    ++cases_;
    if (!problems.empty()) ++bad_;
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    std::error_code ec;
    fs::remove_all(dest_, ec);
    return failed;
  }

  // The lie at each answer of a transfer in turn: it fails the item it hits
  // and nothing else.
  void AtEveryAnswer(const std::string& label, std::uint8_t lie) {
    std::vector<std::uint8_t> honest(100000, 0);
    std::size_t answers = 0;
    {
      auto rig = Connect();
      TSimDevice::Hostile(kSimLibrary, honest);
      Transfer(*rig);
      answers = TSimDevice::HostileUsed(kSimLibrary);
      TSimDevice::Hostile(kSimLibrary, {});
      ASSERT_TRUE(Problems(*rig).empty());
      std::error_code ec;
      fs::remove_all(dest_, ec);
    }
    ASSERT_GT(answers, 10u);
    int hit = 0;
    for (std::size_t n = 0; n < answers; ++n) {
      std::vector<std::uint8_t> script(n, 0);
      script.push_back(lie);
      const int failed = RunCase(label + " at answer " + std::to_string(n + 1), {},
                                 [&](TRig&) { TSimDevice::Hostile(kSimLibrary, script); });
      EXPECT_LE(failed, 1) << label << " at answer " << n + 1;
      hit += failed;
    }
    // Every read of a copy is an answer the lie can hit.
    EXPECT_GE(hit, 6) << label;
  }

  testing::TTempDir temp_;
  const std::string folder_ = temp_ / "iphone";
  testing::TTempDir tmp_;
  const std::string parent_ = temp_ / "home";
  const std::string dest_ = parent_ + "/iPhone Photos";
  std::string old_tmpdir_;
  TSnapshot device_before_;
  TSnapshot outside_before_;
  std::set<std::vector<std::uint8_t>> originals_;
  std::set<std::string> unsafe_names_;
  int cases_ = 0;
  int bad_ = 0;
};

TEST_F(IosFaultsTest, DeviceReadFailsAtEveryAnswer) {
  WriteLibrary();
  AtEveryAnswer("read fails", 2);
}

TEST_F(IosFaultsTest, DeviceEndsAFileEarlyAtEveryAnswer) {
  WriteLibrary();
  AtEveryAnswer("end of file claimed", 6);
}

TEST_F(IosFaultsTest, DeviceClaimsMoreBytesThanAskedAtEveryAnswer) {
  WriteLibrary();
  AtEveryAnswer("more bytes claimed", 3);
}

TEST_F(IosFaultsTest, ShortReads) {
  WriteLibrary();
  for (const char* line : {"short_read=1", "short_read=777", "short_read=4095"})
    EXPECT_EQ(RunCase(line, {line}, nullptr), 0) << line;
}

TEST_F(IosFaultsTest, DeviceUnpluggedBeforeEachFile) {
  WriteLibrary();
  for (int position = 1; position <= 7; ++position) {
    RunCase("unplugged before file " + std::to_string(position), {"leave=signal"},
            [position](TRig& rig) {
              auto files = std::make_shared<int>(0);
              rig.Db->OnTransferFile = [&rig, files, position](const std::string&) {
                if (++*files != position) return;
                TSimDevice::Signal(kSimLibrary);
                EXPECT_TRUE(rig.Events.WaitFor(2));
              };
            });
  }
}

TEST_F(IosFaultsTest, DiskFullDuringACopy) {
  WriteLibrary();
  for (int call = 1; call <= 7; ++call) {
    RunCase("disk full at write " + std::to_string(call), {}, [call](TRig& rig) {
      rig.Platform.FaultError = ENOSPC;
      rig.Platform.FailWriteAtCall = call;
    });
  }
}

TEST_F(IosFaultsTest, LibraryNamesThatTryToClimbOut) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"DCIM/100APPLE", "../../../home/evil.JPG"},
      {"../../home", "evil.JPG"},
      {"DCIM/100APPLE", "..\\..\\evil.JPG"},
      {"/etc", "passwd"},
      {"DCIM/100APPLE", ".."},
      {"DCIM/100APPLE", "IMG_\x01\x1f.JPG"},
      {"DCIM/100APPLE", std::string(400, 'L') + ".JPG"},
  };
  for (const auto& [directory, name] : names) unsafe_names_.insert(name);
  unsafe_names_.insert("evil.JPG");
  unsafe_names_.insert("passwd");
  unsafe_names_.insert("..\\..\\evil.JPG");
  WriteLibrary(names);
  RunCase("names from the library", {}, nullptr);
}

TEST_F(IosFaultsTest, TwoTransfersOfTheSameSelection) {
  WriteLibrary();
  RunCase("transferred twice", {}, [this](TRig& rig) {
    Transfer(rig);
    rig.Results.clear();
  });
}

}  // namespace
}  // namespace quill
