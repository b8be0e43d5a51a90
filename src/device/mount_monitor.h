#pragma once

#include <functional>
#include <vector>

#include "device/ipod_device.h"
#include "device/platform/platform.h"

namespace quill {

// Turns successive readings of the mount table into the arrival and removal
// messages of TIpodDevice::WndProc: a mount point that appears is an arrival,
// one that disappears (or whose block device changes) a removal. Feed runs
// on the thread that owns the device (the GUI thread).
class TMountMonitor {
public:
  using TSink = std::function<void(const TDeviceChangeMessage&)>;

  // The first reading is the baseline: it produces no messages.
  TMountMonitor(std::vector<TMountEntry> baseline, TSink sink);

  // Compares a new reading with the previous one and delivers removals first,
  // then arrivals, each in table order.
  void Feed(const std::vector<TMountEntry>& reading);

  // POSIX: a descriptor on /proc/self/mountinfo that polls POLLPRI when the
  // table changes (-1 when it cannot be opened). The caller owns it.
  static int OpenChangeDescriptor();

private:
  std::vector<TMountEntry> previous_;
  TSink sink_;
};

}  // namespace quill
