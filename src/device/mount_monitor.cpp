#include "device/mount_monitor.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace quill {

namespace {

// The same mount point over another block device is another volume: the
// iPod was swapped for a different stick between two readings.
bool SameVolume(const TMountEntry& a, const TMountEntry& b) {
  return a.MountPoint == b.MountPoint && a.Source == b.Source && a.DevNumber == b.DevNumber;
}

bool Holds(const std::vector<TMountEntry>& table, const TMountEntry& entry) {
  return std::any_of(table.begin(), table.end(),
                     [&](const TMountEntry& e) { return SameVolume(e, entry); });
}

}  // namespace

TMountMonitor::TMountMonitor(std::vector<TMountEntry> baseline, TSink sink)
    : previous_(std::move(baseline)), sink_(std::move(sink)) {}

void TMountMonitor::Feed(const std::vector<TMountEntry>& reading) {
  // The sink may feed again (a handler that rescans); work on copies.
  const std::vector<TMountEntry> before = std::exchange(previous_, reading);
  std::vector<TDeviceChangeMessage> messages;
  for (const TMountEntry& entry : before) {
    if (!Holds(reading, entry))
      messages.push_back({TDeviceChangeMessage::TKind::RemoveComplete, entry});
  }
  for (const TMountEntry& entry : reading) {
    if (!Holds(before, entry)) messages.push_back({TDeviceChangeMessage::TKind::Arrival, entry});
  }
  if (!sink_) return;
  for (const TDeviceChangeMessage& message : messages) sink_(message);
}

}  // namespace quill
