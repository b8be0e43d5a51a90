#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace quill {

// Calls OnChange on the GUI thread whenever the system's mount table changes
// (on POSIX: /proc/self/mountinfo polled for POLLPRI). Does nothing where the
// table cannot be watched.
class TMountWatcher {
public:
  explicit TMountWatcher(std::function<void()> onChange);
  ~TMountWatcher();
  TMountWatcher(const TMountWatcher&) = delete;
  TMountWatcher& operator=(const TMountWatcher&) = delete;
  bool Watching() const { return notifier_ != nullptr; }

private:
  void Changed();
  std::function<void()> on_change_;
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quill
