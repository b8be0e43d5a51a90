#include <unistd.h>

#include <array>

#include "app/mount_watcher.h"
#include "device/mount_monitor.h"

namespace quill {

TMountWatcher::TMountWatcher(std::function<void()> onChange) : on_change_(std::move(onChange)) {
  fd_ = TMountMonitor::OpenChangeDescriptor();
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(fd_), QSocketNotifier::Exception);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Changed(); });
}

TMountWatcher::~TMountWatcher() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void TMountWatcher::Changed() {
  // The kernel keeps signalling until the table has been read again.
  std::array<char, 4096> buffer{};
  ::lseek(fd_, 0, SEEK_SET);
  while (::read(fd_, buffer.data(), buffer.size()) > 0) {
  }
  if (on_change_) on_change_();
}

}  // namespace quill
