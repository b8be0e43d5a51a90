// An iOS device whose file service lies: the simulated library answers reads
// with hostile lengths or failures, file sizes and kinds that are no such
// thing, and folder entries that try to climb out of the folder, as the
// input's bytes say. The load, the camera listing and a transfer of
// everything must end; every file reported written holds bytes the device
// delivered (all of a file when the sizes it states are true), nothing else
// is in the destination, and nothing is left or created outside it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdlib.h>
#include <string>
#include <vector>

#include "device/ipod_device.h"
#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace quill;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * seed + i / 97);
  return bytes;
}

// Every file under root with its size, except under skip.
std::map<std::string, std::uintmax_t> Snapshot(const std::string& root, const std::string& skip) {
  std::map<std::string, std::uintmax_t> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    files[it->path().string()] = it->is_regular_file() ? it->file_size() : 0;
  }
  return files;
}

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "ios_device_fuzz: %s\n", why.c_str());
  std::abort();
}

bool PrefixOfAny(const std::vector<std::uint8_t>& bytes,
                 const std::set<std::vector<std::uint8_t>>& files) {
  return std::any_of(files.begin(), files.end(), [&](const std::vector<std::uint8_t>& file) {
    return bytes.size() <= file.size() && std::equal(bytes.begin(), bytes.end(), file.begin());
  });
}

struct TIosFuzzDevice {
  TIosFuzzDevice() {
    testing::TSqliteLibrarySpec desc;
    const std::size_t sizes[] = {11, 5000, 70001};
    for (std::uint32_t id = 1; id <= 3; ++id) {
      testing::TSqliteAssetSpec asset;
      asset.Id = id;
      asset.ThumbnailIndex = id - 1;
      asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
      asset.OriginalBytes = Pattern(sizes[id - 1], id * 31);
      asset.Thumbnail = testing::TestPicture(80, 79, id);
      Originals.insert(asset.OriginalBytes);
      desc.Assets.push_back(asset);
    }
    testing::TSqliteAlbumSpec album;
    album.Id = 40;
    album.Title = "Trip";
    album.AssetIds = {3, 1};
    desc.Albums = {album};
    testing::WritePhotosSqliteLibrary(desc, Folder());
    const std::vector<std::uint8_t> film = Pattern(3000, 7);
    testing::WriteFile(Folder() + "/DCIM/100APPLE/IMG_0004.MOV", film);
    Originals.insert(film);

    // The library's local copies go to a folder of the run, which the
    // snapshot then covers.
    fs::create_directories(Root / "tmp");
    setenv("TMPDIR", (Root / "tmp").c_str(), 1);
    testing::TSimDevice::UseForProcess(kSimLibrary);
    testing::TSimDevice::Configure(Root / "sim.conf", Folder(), {});
    Device = std::make_unique<TIpodDevice>(Platform, [this](bool connected, bool fromIos) {
      if (fromIos) Events.Add(connected);
    });
    if (!Events.WaitFor(1) || !Device->IsIos) std::abort();
    // Small reads: every file takes several answers of the script.
    Device->Ios().SetBufferSize(4096);
    fs::create_directories(Dest());
    Before = Snapshot(Root.Path(), Dest());
  }
  std::string Folder() const { return Root / "iphone"; }
  std::string Dest() const { return Root / "out"; }

  testing::TTempDir Root;
  testing::TFakePlatform Platform;
  testing::TConnectionEvents Events;
  std::unique_ptr<TIpodDevice> Device;
  std::set<std::vector<std::uint8_t>> Originals;
  std::map<std::string, std::uintmax_t> Before;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TIosFuzzDevice* const device = new TIosFuzzDevice();
  std::error_code ec;
  fs::remove_all(device->Dest(), ec);
  fs::create_directories(device->Dest());
  device->Device->Messages.clear();
  testing::TSimDevice::Hostile(kSimLibrary, {data, data + size});

  std::set<std::string> reported;
  {
    TIpodPhotoDb db(*device->Device, nullptr, true);
    db.LoadPhotoLibrary();
    db.LoadCameraFiles();
    for (std::size_t i = 0; i < db.Photos.Count(); ++i) db.Photos.Select(i);
    db.SelectCameraFiles(TSelectOp::SelectAll);
    std::string folder = device->Dest();
    if (db.CheckOutputFolder(folder)) {
      db.OnItemResult = [&](const std::string&, TItemOutcome outcome, const std::string& pcFile) {
        if (outcome == TItemOutcome::Written) reported.insert(fs::path(pcFile).lexically_normal());
      };
      db.TransferPhotos();
      db.TransferCameraFiles();
    }
  }
  testing::TSimDevice::Hostile(kSimLibrary, {});

  // What is in the destination was reported written, in full. A device that
  // states a wrong size and ends the file there agrees with itself: its
  // copy can only be held to the bytes it did deliver. Odd script bytes are
  // the lies about sizes, kinds and names.
  const bool sizesHonest = std::none_of(data, data + size, [](std::uint8_t b) { return b % 2; });
  std::size_t files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(device->Dest())) {
    const std::string name = entry.path().string();
    if (!entry.is_regular_file()) Fail("not a file: " + name);
    if (!reported.count(entry.path().lexically_normal())) Fail("not reported: " + name);
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (sizesHonest ? !device->Originals.count(bytes) : !PrefixOfAny(bytes, device->Originals))
      Fail("no file of the device: " + name + ", " + std::to_string(bytes.size()) + " bytes");
    ++files;
  }
  if (files != reported.size()) Fail("reported files missing");
  // Nothing beside it was created or changed, the device's folder included.
  if (Snapshot(device->Root.Path(), device->Dest()) != device->Before)
    Fail("files outside the destination changed");
  // Every file the transfer opened on the device was closed again.
  if (testing::TSimDevice::OpenFiles(kSimLibrary) != 0) Fail("files left open");
  return 0;
}
