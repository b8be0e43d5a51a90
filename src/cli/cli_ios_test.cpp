// The command line with iOS devices: the simulated device library stands for
// a connected iPhone; a folder of its media files stands for a mounted one.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/cli.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/photos_sqlite_writer.h"
#include "support/sim_device.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::TSimDevice;

const std::string kSimLibrary = QUILL_SIMDEVICE_PATH;

class CliIosTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { TSimDevice::UseForProcess(kSimLibrary); }

  void SetUp() override {
    testing::TSqliteLibrarySpec desc;
    for (std::uint32_t id : {1u, 2u}) {
      testing::TSqliteAssetSpec asset;
      asset.Id = id;
      asset.ThumbnailIndex = id - 1;
      asset.FileName = "IMG_000" + std::to_string(id) + ".JPG";
      asset.OriginalBytes = {'p', static_cast<std::uint8_t>('0' + id)};
      desc.Assets.push_back(asset);
    }
    testing::TSqliteAlbumSpec album;
    album.Id = 5;
    album.Title = "Urlaub";
    album.AssetIds = {2};
    desc.Albums = {album};
    testing::WritePhotosSqliteLibrary(desc, phone_);
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    TCliEnv env;
    env.Out = &out_;
    env.Err = &err_;
    env.Platform = &platform_;
    return RunCli(args, env);
  }

  testing::TTempDir temp_;
  std::string phone_ = temp_ / "phone";
  std::string dest_ = temp_ / "out";
  testing::TFakePlatform platform_;
  std::ostringstream out_, err_;
};

TEST_F(CliIosTest, DevicesListsTheConnectedDevice) {
  TSimDevice::Configure(temp_ / "sim.conf", phone_, {});
  ASSERT_EQ(Run({"devices", "--wait", "5"}), kExitOk) << out_.str();
  EXPECT_THAT(out_.str(), HasSubstr("iOS device: connected"));
  EXPECT_THAT(out_.str(), HasSubstr("Photo library: PhotoData/Photos.sqlite"));
  EXPECT_THAT(out_.str(), HasSubstr("Camera files: 2"));
}

TEST_F(CliIosTest, DevicesReportsWhyNoDeviceCouldBeUsed) {
  TSimDevice::Configure(temp_ / "sim.conf", phone_, {"result.AMDeviceConnect=0x80000002"});
  EXPECT_EQ(Run({"devices", "--wait", "1"}), kExitUsage);
  EXPECT_THAT(out_.str(), HasSubstr("No iOS device within 1 second."));
  EXPECT_THAT(out_.str(), HasSubstr("Last error: Connect failed: 2147483650"));
  EXPECT_EQ(Run({"devices", "--wait", "soon"}), kExitUsage);
  EXPECT_EQ(Run({"devices", "--device", phone_}), kExitUsage);
}

TEST_F(CliIosTest, ListAndExportUseTheIosDeviceWithoutADiskModeIpod) {
  TSimDevice::Configure(temp_ / "sim.conf", phone_, {});
  ASSERT_EQ(Run({"list", "--json"}), kExitOk) << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("\"store\":\"photos-sqlite\""));
  EXPECT_THAT(out_.str(), HasSubstr("\"path\":\"DCIM/100APPLE/IMG_0002.JPG\""));

  ASSERT_EQ(Run({"export", "--to", dest_, "--album", "1"}), kExitOk) << out_.str() << err_.str();
  EXPECT_EQ(testing::ReadFile(dest_ + "/IMG_0002.JPG"), (std::vector<std::uint8_t>{'p', '2'}));
  EXPECT_FALSE(fs::exists(dest_ + "/IMG_0001.JPG"));
}

TEST_F(CliIosTest, MediaFolderWithAPhotoLibraryIsReadAsOne) {
  TSimDevice::Configure(temp_ / "sim.conf", phone_, {"arrive=never"});
  ASSERT_EQ(Run({"list", "--device", phone_, "--json"}), kExitOk) << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("\"store\":\"photos-sqlite\""));
  EXPECT_THAT(out_.str(), HasSubstr("\"name\":\"Urlaub\""));
  ASSERT_EQ(Run({"export", "--device", phone_, "--to", dest_, "--all"}), kExitOk) << err_.str();
  EXPECT_EQ(testing::ReadFile(dest_ + "/IMG_0001.JPG"), (std::vector<std::uint8_t>{'p', '1'}));
  // The database was read from copies: nothing new appeared in the folder.
  EXPECT_FALSE(fs::exists(phone_ + "/PhotoData/Photos.sqlite-shm"));
  EXPECT_FALSE(fs::exists(phone_ + "/PhotoData/Photos.sqlite-wal"));
}

}  // namespace
}  // namespace quill
