#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "device/mount_monitor.h"

namespace quill {

int TMountMonitor::OpenChangeDescriptor() {
  for (;;) {
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace quill
