// Faults injected into whole transfers: for every case the checks are what a
// user relies on, not what the code happens to do. Every file reported written
// is complete (byte-identical, or decodes to the stored pixels); nothing else
// lies in the folder (no partial or temporary file); nothing outside it was
// created or changed; the device's folder is unchanged, bytes and times; each
// failed item has its log line; and a transfer run afterwards completes.
// Each test prints "fault-table <fault> <cases> <cases with a problem>".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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
#include "library/photo_copy_thread.h"
#include "support/call_dispatcher.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/picture.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using testing::TFakePlatform;
using testing::TLibrarySpec;
using testing::TRecordLayout;

using testing::Snapshot;
using testing::TSnapshot;

struct TResult {
  std::string Name;
  TItemOutcome Outcome;
  std::string PcFile;
};

// One connection to the device folder with its own fake platform (whose fault
// counters count from its creation), loaded and with everything selected.
struct TRig {
  TFakePlatform Platform;
  std::unique_ptr<TIpodDevice> Device;
  std::unique_ptr<TIpodPhotoDb> Db;
  std::vector<TResult> Results;
  int Written = 0;
  std::string Exception;
};

// The number of each kind of file operation a transfer makes, counted by
// the fake's hook; "any" counts them all.
using TOpCounts = std::map<std::string, int>;

struct TTally {
  int Cases = 0;
  int Bad = 0;
};

class TransferFaultsTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(parent_);
    testing::WriteFile(parent_ + "/keep.txt", {'k', 'e', 'e', 'p'});
  }

  void TearDown() override {
    if (tally_.Cases > 0) {
      std::printf("fault-table\t%s\t%d\t%d\n",
                  ::testing::UnitTest::GetInstance()->current_test_info()->name(), tally_.Cases,
                  tally_.Bad);
    }
  }

  // A library of decoded photos of one layout in two .ithmb files, and
  // three camera files.
  void OpenDecoded(std::int32_t formatId, TRecordLayout layout, int width, int height,
                   int photos = 4) {
    expected_bytes_.clear();
    expected_pixels_.clear();
    TLibrarySpec desc;
    desc.Formats = {{1032, TRecordLayout::Rgb565, 42, 37},
                    {formatId, layout, width, height, 0, 0, (photos + 1) / 2}};
    testing::TAlbumSpec master{"Library", false, false, {}};
    for (std::uint32_t id = 64; id < 64 + static_cast<std::uint32_t>(photos); ++id) {
      desc.Photos.push_back({id, testing::TestPicture(width, height, id), {}, {}});
      master.PhotoIds.push_back(id);
      expected_pixels_[std::to_string(id) + ".jpg"] =
          testing::ExpectedPicture(layout, desc.Photos.back().Picture, width, height);
    }
    desc.Albums = {master};
    AddCameraFiles(desc, {"IMG_0001.JPG", "IMG_0002.MOV", "IMG_0003.JPG"});
    Open(desc);
  }

  // A library of original files, and camera files.
  void OpenOriginals(const std::vector<std::string>& names,
                     const std::vector<std::string>& cameraNames) {
    expected_bytes_.clear();
    expected_pixels_.clear();
    TLibrarySpec desc;
    desc.Originals = true;
    desc.Formats = {{1015, TRecordLayout::Rgb565, 130, 88}};
    testing::TAlbumSpec master{"Library", false, false, {}};
    std::uint32_t id = 64;
    for (const std::string& name : names) {
      std::vector<std::uint8_t> bytes(1500 + id * 7);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * id);
      const std::size_t slash = name.find_last_of('/');
      expected_bytes_[slash == std::string::npos ? name : name.substr(slash + 1)] = bytes;
      desc.Photos.push_back({id, {}, name, bytes});
      master.PhotoIds.push_back(id++);
    }
    desc.Albums = {master};
    AddCameraFiles(desc, cameraNames);
    Open(desc);
  }

  void AddCameraFiles(TLibrarySpec& desc, const std::vector<std::string>& names) {
    std::uint8_t seed = 1;
    for (const std::string& name : names) {
      std::vector<std::uint8_t> bytes(2000 + seed * 300, seed);
      bytes[0] = 0xFF;
      desc.CameraFiles.push_back({name, bytes});
      expected_bytes_[name] = bytes;
      ++seed;
    }
  }

  void Open(const TLibrarySpec& desc) {
    fs::remove_all(root_);
    testing::WriteIpod(desc, root_);
    device_before_ = Snapshot(root_);
    outside_before_ = Snapshot(parent_, dest_);
  }

  std::unique_ptr<TRig> Connect() {
    auto rig = std::make_unique<TRig>();
    rig->Device = std::make_unique<TIpodDevice>(rig->Platform, nullptr);
    std::string error;
    EXPECT_TRUE(rig->Device->UseFolder(root_, error)) << error;
    rig->Db = std::make_unique<TIpodPhotoDb>(*rig->Device, nullptr, true);
    EXPECT_TRUE(rig->Db->LoadPhotoLibrary()) << rig->Db->LogText;
    for (std::size_t i = 0; i < rig->Db->Photos.Count(); ++i) rig->Db->Photos.Select(i);
    for (std::size_t i = 0; i < rig->Db->CamPhotos->Count(); ++i) rig->Db->CamPhotos->Select(i);
    std::string folder = dest_;
    EXPECT_TRUE(rig->Db->CheckOutputFolder(folder)) << folder;
    rig->Db->LogText.clear();
    rig->Db->OnItemResult = [r = rig.get()](const std::string& name, TItemOutcome outcome,
                                            const std::string& pcFile) {
      r->Results.push_back({name, outcome, pcFile});
    };
    return rig;
  }

  // Both phases on this thread, as the transfer thread runs them.
  void Transfer(TRig& rig) {
    try {
      rig.Written = rig.Db->TransferPhotos();
      rig.Written += rig.Db->TransferCameraFiles();
    } catch (const std::exception& error) {
      rig.Exception = error.what();
    }
  }

  // The file operations of a transfer without faults, by kind.
  TOpCounts CountOps() {
    auto rig = Connect();
    TOpCounts counts;
    rig->Platform.BeforeFileOp = [&](const std::string& op, const std::string&) {
      ++counts[op];
      ++counts["any"];
    };
    Transfer(*rig);
    rig->Platform.BeforeFileOp = nullptr;
    Reset();
    return counts;
  }

  // Empties the destination for the next case (its parent is checked).
  void Reset() {
    std::error_code ec;
    fs::permissions(dest_, fs::perms::owner_all, ec);
    fs::remove_all(dest_, ec);
  }

  bool ContentIsRight(const TResult& result) {
    const auto bytes = expected_bytes_.find(result.Name);
    if (bytes != expected_bytes_.end()) return testing::ReadFile(result.PcFile) == bytes->second;
    const auto pixels = expected_pixels_.find(result.Name);
    if (pixels == expected_pixels_.end()) return false;
    TBitmap24 decoded;
    return DecodeJpeg(testing::ReadFile(result.PcFile), decoded) &&
           testing::Psnr(decoded, pixels->second) > 25.0;
  }

  // Everything a user relies on after a transfer, as a list of what is wrong.
  std::vector<std::string> Problems(TRig& rig) {
    std::vector<std::string> problems;
    if (Snapshot(root_) != device_before_) problems.push_back("the device folder changed");
    if (Snapshot(parent_, dest_) != outside_before_) problems.push_back("a file outside changed");
    for (const std::string& path : rig.Platform.Written()) {
      if (path.rfind(dest_ + "/", 0) != 0) problems.push_back("written outside: " + path);
    }
    std::set<std::string> reported;
    int written = 0;
    for (const TResult& result : rig.Results) {
      if (result.Outcome == TItemOutcome::Failed) {
        // Its line names it, with an error code or the reason in words.
        if (rig.Db->LogText.find(result.Name.substr(0, 40)) == std::string::npos) {
          problems.push_back("failure without its log line: " + result.Name);
        }
        continue;
      }
      written += result.Outcome == TItemOutcome::Written ? 1 : 0;
      reported.insert(result.PcFile);
      if (!fs::is_regular_file(result.PcFile) || !ContentIsRight(result)) {
        problems.push_back("reported but not complete: " + result.PcFile);
      }
    }
    if (rig.Exception.empty() && written != rig.Written) {
      problems.push_back("written count " + std::to_string(rig.Written) + " for " +
                         std::to_string(written) + " reported");
    }
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dest_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (reported.count(it->path().string()) == 0) {
        problems.push_back("left in the folder: " + it->path().string());
      }
    }
    return problems;
  }

  // After a faulty transfer: a clean one completes every item, keeping what
  // the first one wrote.
  std::vector<std::string> NextTransferProblems() {
    auto rig = Connect();
    Transfer(*rig);
    std::vector<std::string> problems = Problems(*rig);
    const std::size_t items = rig->Db->Photos.Count() + rig->Db->CamPhotos->Count();
    if (rig->Results.size() != items) problems.push_back("next transfer missed items");
    for (const TResult& result : rig->Results) {
      if (result.Outcome == TItemOutcome::Failed)
        problems.push_back("next transfer: " + result.Name);
    }
    return problems;
  }

  // Runs one case: arm sets the fault on a connected rig; the checks of the
  // faulty and of the next transfer count it as bad when anything is wrong.
  // Answers the number of items the fault made fail.
  int RunCase(const std::string& label, const std::function<void(TRig&)>& arm,
              const std::function<void(TRig&)>& disarm = nullptr) {
    SCOPED_TRACE(label);
    auto rig = Connect();
    arm(*rig);
    Transfer(*rig);
    rig->Platform.BeforeFileOp = nullptr;
    if (disarm) disarm(*rig);
    std::vector<std::string> problems = Problems(*rig);
    for (const std::string& p : NextTransferProblems()) problems.push_back("then " + p);
    ++tally_.Cases;
    if (!problems.empty()) ++tally_.Bad;
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems)
                                  << "\nlog:" << rig->Db->LogText;
    Reset();
    int failed = 0;
    for (const TResult& result : rig->Results)
      failed += result.Outcome == TItemOutcome::Failed ? 1 : 0;
    return failed;
  }

  // Fails every operation of the kinds in ops from the moment it is called.
  static void FailEvery(TRig& rig, std::set<std::string> ops, int error) {
    rig.Platform.FaultError = error;
    auto calls = std::make_shared<TOpCounts>();
    rig.Platform.BeforeFileOp = [&rig, ops, calls](const std::string& op, const std::string&) {
      if (op == "copy" || op == "write") {
        const int n = ++(*calls)["write"];
        if (ops.count(op)) rig.Platform.FailWriteAtCall = n;
      }
    };
  }

  testing::TTempDir temp_;
  const std::string root_ = temp_ / "ipod";
  const std::string parent_ = temp_ / "home";
  const std::string dest_ = parent_ + "/iPod Photos";
  TSnapshot device_before_;
  TSnapshot outside_before_;
  std::map<std::string, std::vector<std::uint8_t>> expected_bytes_;
  std::map<std::string, TBitmap24> expected_pixels_;
  TTally tally_;
};

struct TLayoutCase {
  std::int32_t FormatId;
  TRecordLayout Layout;
  int Width, Height;
};
const TLayoutCase kLayouts[] = {
    {1024, TRecordLayout::Rgb565, 320, 240},         {1023, TRecordLayout::SwappedRgb565, 176, 132},
    {1019, TRecordLayout::InterlacedUyvy, 720, 480}, {1067, TRecordLayout::PlanarYuv420, 720, 480},
    {1081, TRecordLayout::Jpeg, 320, 240},
};

TEST_F(TransferFaultsTest, ReadFailsAtEveryCall) {
  for (const TLayoutCase& layout : kLayouts) {
    SCOPED_TRACE(layout.FormatId);
    OpenDecoded(layout.FormatId, layout.Layout, layout.Width, layout.Height);
    const int reads = CountOps()["readat"];
    ASSERT_GE(reads, 4);
    // Each read is one photo's record: the fault costs that photo alone.
    for (int n = 1; n <= reads; ++n) {
      EXPECT_EQ(
          RunCase("read " + std::to_string(n), [n](TRig& rig) { rig.Platform.FailReadAtCall = n; }),
          1);
    }
  }
}

TEST_F(TransferFaultsTest, ShortReadAtEveryCall) {
  for (const TLayoutCase& layout : kLayouts) {
    SCOPED_TRACE(layout.FormatId);
    OpenDecoded(layout.FormatId, layout.Layout, layout.Width, layout.Height);
    const int reads = CountOps()["readat"];
    for (int n = 1; n <= reads; ++n) {
      EXPECT_EQ(RunCase("short " + std::to_string(n),
                        [n](TRig& rig) { rig.Platform.ShortReadAtCall = n; }),
                1);
    }
  }
}

TEST_F(TransferFaultsTest, OpenOrCopyFailsAtEveryCall) {
  OpenOriginals({"IMG_0001.JPG", "2008/IMG_0002.JPG", "IMG_0003.JPG"},
                {"IMG_0004.JPG", "IMG_0005.MOV"});
  const TOpCounts ops = CountOps();
  for (int n = 1; n <= ops.at("copy"); ++n) {
    RunCase("copy " + std::to_string(n), [n](TRig& rig) { rig.Platform.FailWriteAtCall = n; });
  }
  OpenDecoded(1024, TRecordLayout::Rgb565, 320, 240);
  const TOpCounts decoded = CountOps();
  for (int n = 1; n <= decoded.at("open"); ++n) {
    RunCase("open " + std::to_string(n), [n](TRig& rig) { rig.Platform.FailOpenAtCall = n; });
  }
}

// The device goes away before the k-th file operation of the transfer: its
// folder disappears and every read of a file still open fails.
class DeviceRemovedTest : public TransferFaultsTest {
protected:
  void Unplug(TRig& rig, int at, const std::string& kind) {
    auto state = std::make_shared<std::pair<int, int>>(0, 0);  // ops of the kind, reads
    rig.Platform.BeforeFileOp = [this, &rig, at, kind, state](const std::string& op,
                                                              const std::string&) {
      if (op == "readat") ++state->second;
      if ((kind == "any" || op == kind) && ++state->first == at) {
        fs::rename(root_, root_ + ".gone");
      }
      if (op == "readat" && fs::exists(root_ + ".gone")) {
        rig.Platform.FailReadAtCall = state->second;
      }
    };
  }
  void Replug() {
    if (fs::exists(root_ + ".gone")) fs::rename(root_ + ".gone", root_);
  }
};

TEST_F(DeviceRemovedTest, DeviceRemovedMidFile) {
  OpenDecoded(1019, TRecordLayout::InterlacedUyvy, 720, 480);
  const int reads = CountOps()["readat"];
  for (int k = 1; k <= reads; ++k) {
    RunCase(
        "unplug at read " + std::to_string(k), [&](TRig& rig) { Unplug(rig, k, "readat"); },
        [&](TRig&) { Replug(); });
  }
}

TEST_F(DeviceRemovedTest, DeviceRemovedMidTransfer) {
  for (const bool originals : {false, true}) {
    if (originals) {
      OpenOriginals({"IMG_0001.JPG", "IMG_0002.JPG"}, {"IMG_0003.JPG", "IMG_0004.JPG"});
    } else {
      OpenDecoded(1024, TRecordLayout::Rgb565, 320, 240);
    }
    const int ops = CountOps()["any"];
    for (int k = 1; k <= ops; ++k) {
      RunCase(
          "unplug at operation " + std::to_string(k), [&](TRig& rig) { Unplug(rig, k, "any"); },
          [&](TRig&) { Replug(); });
    }
  }
}

// The disk fills up: the n-th write fails with ENOSPC before any byte, or
// (with a limit on the file size) a file fails partway through its bytes.
TEST_F(TransferFaultsTest, DiskFullDuringAnExportOrACopy) {
  for (const bool originals : {false, true}) {
    if (originals) {
      OpenOriginals({"IMG_0001.JPG", "IMG_0002.JPG"}, {"IMG_0003.JPG", "IMG_0004.JPG"});
    } else {
      OpenDecoded(1067, TRecordLayout::PlanarYuv420, 720, 480);
    }
    const TOpCounts ops = CountOps();
    const int writes = ops.count("write") ? ops.at("write") : 0;
    const int copies = ops.count("copy") ? ops.at("copy") : 0;
    for (int n = 1; n <= writes + copies; ++n) {
      RunCase("ENOSPC at write " + std::to_string(n), [n](TRig& rig) {
        rig.Platform.FaultError = ENOSPC;
        rig.Platform.FailWriteAtCall = n;
      });
    }
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    int failed = 0;
    for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{1000}, rlim_t{2500}, rlim_t{20000}}) {
      failed += RunCase(
          "file size limit " + std::to_string(limit),
          [&](TRig&) {
            rlimit small = old;
            small.rlim_cur = limit;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
          },
          [&](TRig&) { setrlimit(RLIMIT_FSIZE, &old); });
    }
    signal(SIGXFSZ, previous);
    // The three smallest limits are below the size of every file: each item
    // failed there, so the faults did happen.
    EXPECT_GE(failed, 3 * static_cast<int>(expected_bytes_.size() + expected_pixels_.size()));
  }
}

TEST_F(TransferFaultsTest, ReadOnlyDestination) {
  OpenOriginals({"IMG_0001.JPG", "IMG_0002.JPG"}, {"IMG_0003.JPG"});
  RunCase("writes refused", [](TRig& rig) { FailEvery(rig, {"copy", "write"}, EROFS); });
  OpenDecoded(1024, TRecordLayout::Rgb565, 320, 240);
  RunCase("writes refused", [](TRig& rig) { FailEvery(rig, {"copy", "write"}, EACCES); });
  if (geteuid() != 0) {
    // A folder without write permission (the superuser would write anyway).
    RunCase(
        "folder mode 0555",
        [&](TRig&) { fs::permissions(dest_, fs::perms::owner_read | fs::perms::owner_exec); },
        [&](TRig&) { fs::permissions(dest_, fs::perms::owner_all); });
  }
}

TEST_F(TransferFaultsTest, DestinationPathIsAFile) {
  OpenOriginals({"IMG_0001.JPG"}, {"IMG_0002.JPG"});
  const std::string file = parent_ + "/keep.txt";
  const TSnapshot before = Snapshot(parent_, dest_);
  auto rig = Connect();
  std::string folder = file;
  EXPECT_FALSE(rig->Db->CheckOutputFolder(folder));
  EXPECT_NE(folder.find("Can not create the folder"), std::string::npos) << folder;

  // Should a caller go on anyway, every item fails and the file stays.
  rig->Db->DestFolder = file + "/";
  Transfer(*rig);
  ASSERT_EQ(rig->Results.size(), 2u);
  for (const TResult& result : rig->Results) EXPECT_EQ(result.Outcome, TItemOutcome::Failed);
  EXPECT_NE(rig->Db->LogText.find("IMG_0001.JPG: Error " + std::to_string(ENOTDIR)),
            std::string::npos)
      << rig->Db->LogText;
  EXPECT_EQ(Snapshot(parent_, dest_), before);
  ++tally_.Cases;
  const std::vector<std::string> next = NextTransferProblems();
  if (!next.empty() || Snapshot(parent_, dest_) != before) ++tally_.Bad;
  EXPECT_TRUE(next.empty()) << ::testing::PrintToString(next);
}

// Names from the device that try to leave the folder: the items that can
// be made safe land directly in it, the others fail with a line naming them.
TEST_F(TransferFaultsTest, NamesThatTryToClimbOut) {
  const std::string longName = "IMG_" + std::string(246, 'x') + ".JPG";  // 254 bytes
  OpenOriginals({"../up.jpg", "..\\..\\back.jpg", "a\\..\\b.jpg", "tab\tctl\x01.jpg",
                 "deep/../../x.jpg", longName},
                {"IMG_..\\..\\evil.JPG", "IMG_\x1b[2J.JPG", "IMG_" + std::string(240, 'y') + ".JPG",
                 "IMG_sp ace.JPG"});
  // A file of the long name is there already: its series name cannot be
  // made within the name limit of the file system.
  fs::create_directories(dest_);
  testing::WriteFile(dest_ + "/" + longName, {'o', 't', 'h', 'e', 'r'});
  outside_before_ = Snapshot(parent_, dest_);
  auto rig = Connect();
  Transfer(*rig);
  std::vector<std::string> problems;
  for (const TResult& result : rig->Results) {
    if (result.Outcome == TItemOutcome::Failed) {
      if (rig->Db->LogText.find(": Error ") == std::string::npos) problems.push_back(result.Name);
      continue;
    }
    if (fs::path(result.PcFile).parent_path() != dest_)
      problems.push_back("outside: " + result.PcFile);
  }
  for (const std::string& path : rig->Platform.Written()) {
    if (fs::path(path).parent_path() != dest_) problems.push_back("written outside: " + path);
  }
  for (const auto& entry : fs::recursive_directory_iterator(dest_)) {
    if (!entry.is_regular_file() || entry.path().parent_path() != dest_) {
      problems.push_back("not a file directly in the folder: " + entry.path().string());
    }
  }
  if (Snapshot(root_) != device_before_) problems.push_back("the device folder changed");
  if (Snapshot(parent_, dest_) != outside_before_) problems.push_back("a file outside changed");
  EXPECT_EQ(testing::ReadFile(dest_ + "/" + longName),
            (std::vector<std::uint8_t>{'o', 't', 'h', 'e', 'r'}));
  EXPECT_NE(rig->Db->LogText.find(longName + ": Error "), std::string::npos) << rig->Db->LogText;
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems) << rig->Db->LogText;
  tally_.Cases += static_cast<int>(rig->Results.size());
  tally_.Bad += static_cast<int>(problems.size());
}

TEST_F(TransferFaultsTest, TwoTransfersOfTheSameSelection) {
  for (const bool originals : {false, true}) {
    if (originals) {
      OpenOriginals({"IMG_0001.JPG", "IMG_0002.JPG"}, {"IMG_0003.JPG"});
    } else {
      OpenDecoded(1023, TRecordLayout::SwappedRgb565, 176, 132);
    }
    auto first = Connect();
    Transfer(*first);
    EXPECT_EQ(first->Written, static_cast<int>(first->Results.size()));
    EXPECT_TRUE(Problems(*first).empty()) << ::testing::PrintToString(Problems(*first));
    const TSnapshot written = Snapshot(dest_);
    auto second = Connect();
    Transfer(*second);
    EXPECT_EQ(second->Written, 0);
    for (const TResult& result : second->Results) {
      EXPECT_EQ(result.Outcome, TItemOutcome::AlreadyThere) << result.Name;
    }
    const bool same = Snapshot(dest_) == written;
    EXPECT_TRUE(same) << "the second transfer changed the folder";
    ++tally_.Cases;
    if (!same || !Problems(*second).empty()) ++tally_.Bad;
    Reset();
  }
}

// A stop asked for from the window at each file's notification, on the real
// transfer thread: the next file's notification notices it, that file is
// finished, no later one and no camera phase is started. The only case here
// with two threads, so the thread sanitizer build runs it alone.
class TransferStopTest : public TransferFaultsTest {};

TEST_F(TransferStopTest, StopAtEveryPositionOfATransfer) {
  for (const bool originals : {false, true}) {
    if (originals) {
      OpenOriginals({"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"},
                    {"IMG_0004.JPG", "IMG_0005.JPG"});
    } else {
      OpenDecoded(1081, TRecordLayout::Jpeg, 320, 240);
    }
    const int photos = originals ? 3 : 4;
    const int items = photos + (originals ? 2 : 3);
    for (int stopAt = 1; stopAt <= items; ++stopAt) {
      // The last file of a phase has no next file to notice the stop in.
      const int handled = stopAt == photos || stopAt == items ? stopAt : stopAt + 1;
      SCOPED_TRACE("stop at " + std::to_string(stopAt));
      auto rig = Connect();
      TCallQueue queue;
      bool done = false;
      int notified = 0;
      {
        TPhotoCopyThread thread(*rig->Db, queue.Dispatcher());
        thread.OnFile = [&](const std::string&) {
          if (++notified == stopAt) thread.Terminate();
        };
        thread.OnResult = [&](const std::string& name, TItemOutcome outcome,
                              const std::string& pcFile) {
          rig->Results.push_back({name, outcome, pcFile});
          if (outcome == TItemOutcome::Written) ++rig->Written;
        };
        thread.OnDone = [&] { done = true; };
        thread.Start();
        queue.RunUntil([&] { return done; });
      }
      std::vector<std::string> problems = Problems(*rig);
      if (notified != handled) problems.push_back("files notified: " + std::to_string(notified));
      if (static_cast<int>(rig->Results.size()) != handled) problems.push_back("unfinished item");
      for (const std::string& p : NextTransferProblems()) problems.push_back("then " + p);
      ++tally_.Cases;
      if (!problems.empty()) ++tally_.Bad;
      EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
      Reset();
    }
  }
}

}  // namespace
}  // namespace quill
