#include "app/mount_watcher.h"

namespace quill {

// Windows delivers volume arrivals and removals as messages to the device
// facade's hidden window; there is no table to watch.
TMountWatcher::TMountWatcher(std::function<void()> onChange) : on_change_(std::move(onChange)) {}

TMountWatcher::~TMountWatcher() = default;

void TMountWatcher::Changed() {
  if (on_change_) on_change_();
}

}  // namespace quill
