#include "device/mount_monitor.h"

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using K = TDeviceChangeMessage::TKind;

const TMountEntry kRoot{"/", "/dev/sda1", "ext4", "8:1"};
const TMountEntry kIpod{"/media/anna/IPOD", "/dev/sdb1", "vfat", "8:17"};
const TMountEntry kStick{"/media/anna/STICK", "/dev/sdc1", "vfat", "8:33"};

std::string Describe(const std::vector<TDeviceChangeMessage>& messages) {
  std::string text;
  for (const auto& m : messages) {
    text += m.Kind == K::Arrival ? "+" : m.Kind == K::RemoveComplete ? "-" : "?";
    text += m.Volume.MountPoint + "(" + m.Volume.Source + ") ";
  }
  return text;
}

class MountMonitorTest : public ::testing::Test {
protected:
  TMountMonitor Monitor(std::vector<TMountEntry> baseline) {
    return TMountMonitor(std::move(baseline),
                         [this](const TDeviceChangeMessage& m) { got_.push_back(m); });
  }
  std::vector<TDeviceChangeMessage> got_;
};

TEST_F(MountMonitorTest, SameTableGivesNothing) {
  auto monitor = Monitor({kRoot, kIpod});
  monitor.Feed({kRoot, kIpod});
  monitor.Feed({kIpod, kRoot});
  EXPECT_TRUE(got_.empty()) << Describe(got_);
}

TEST_F(MountMonitorTest, ArrivalAndRemoval) {
  auto monitor = Monitor({kRoot});
  monitor.Feed({kRoot, kIpod, kStick});
  EXPECT_EQ(Describe(got_), "+/media/anna/IPOD(/dev/sdb1) +/media/anna/STICK(/dev/sdc1) ");
  got_.clear();
  monitor.Feed({kRoot, kStick});
  EXPECT_EQ(Describe(got_), "-/media/anna/IPOD(/dev/sdb1) ");
  ASSERT_EQ(got_.size(), 1u);
  EXPECT_EQ(got_[0].Volume, kIpod);
}

TEST_F(MountMonitorTest, RemovalsComeBeforeArrivals) {
  auto monitor = Monitor({kRoot, kIpod});
  monitor.Feed({kRoot, kStick});
  EXPECT_EQ(Describe(got_), "-/media/anna/IPOD(/dev/sdb1) +/media/anna/STICK(/dev/sdc1) ");
}

TEST_F(MountMonitorTest, AnotherDeviceOnTheSameMountPointIsRemovalThenArrival) {
  auto monitor = Monitor({kRoot, kIpod});
  TMountEntry swapped = kIpod;
  swapped.Source = "/dev/sdd1";
  swapped.DevNumber = "8:49";
  monitor.Feed({kRoot, swapped});
  EXPECT_EQ(Describe(got_), "-/media/anna/IPOD(/dev/sdb1) +/media/anna/IPOD(/dev/sdd1) ");
}

// The monitor feeding the facade: the path the window wires up on Linux.
TEST_F(MountMonitorTest, DrivesTheDeviceThroughPlugAndUnplug) {
  testing::TTempDir ipod;
  std::filesystem::create_directories(ipod.Path() + "/iPod_Control/iTunes");
  const TMountEntry volume{ipod.Path(), "/dev/sdb1", "vfat", "8:17"};
  testing::TFakePlatform platform;
  platform.RemovableMountPoints = {volume.MountPoint};
  std::vector<std::pair<bool, bool>> events;
  TIpodDevice device(
      platform, [&](bool connected, bool fromIos) { events.emplace_back(connected, fromIos); });
  TMountMonitor monitor({kRoot}, [&](const TDeviceChangeMessage& m) { device.WndProc(m); });

  monitor.Feed({kRoot, kStick});
  EXPECT_FALSE(device.Connected);
  monitor.Feed({kRoot, kStick, volume});
  EXPECT_TRUE(device.Connected);
  EXPECT_EQ(device.Drive, ipod.Path());
  monitor.Feed({kRoot, volume});
  EXPECT_TRUE(device.Connected) << "another volume left";
  monitor.Feed({kRoot});
  EXPECT_FALSE(device.Connected);
  EXPECT_TRUE(device.Messages.ends_with("\r\n[!]: Lost iPod, please connect iPod to try again"));
  EXPECT_EQ(events, (std::vector<std::pair<bool, bool>>{{true, false}, {false, false}}));
}

TEST(MountMonitorDescriptor, OpensTheMountTableQuietly) {
  const int fd = TMountMonitor::OpenChangeDescriptor();
  ASSERT_GE(fd, 0);
  pollfd item{fd, POLLPRI, 0};
  // Nothing has changed since it was opened: no exception condition.
  EXPECT_EQ(::poll(&item, 1, 0), 0);
  ::close(fd);
}

}  // namespace
}  // namespace quill
