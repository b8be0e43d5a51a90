#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/mobile_device_binding.h"

namespace quill {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(MobileDeviceLoaderPosixTest, TheInstalledLibraryFolderComesAfterTheProgramsOwn) {
  EXPECT_THAT(MobileDeviceLibraryCandidates("/tmp/sim.so", "/opt/q/bin/", "/opt/q/lib/quillmere-photo"),
              ElementsAre("/tmp/sim.so", "/opt/q/bin/libquillmobiledevice.so",
                          "/opt/q/lib/quillmere-photo/libquillmobiledevice.so",
                          "libquillmobiledevice.so"));
  // Installed under a prefix, the folder lies under that prefix, written
  // without "..", whichever prefix the build was made for.
  const std::string folder = InstalledLibraryFolder("/opt/q/bin/");
  EXPECT_THAT(folder, StartsWith("/opt/q/"));
  EXPECT_THAT(folder, EndsWith("/quillmere-photo/"));
  EXPECT_THAT(folder, Not(HasSubstr("..")));
  EXPECT_EQ(InstalledLibraryFolder(""), "");
}

}  // namespace
}  // namespace quill
