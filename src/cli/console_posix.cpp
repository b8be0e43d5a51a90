#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "cli/console.h"

namespace quill {

namespace {

// Blocks SIGINT and SIGTERM in every thread and waits for them on one watcher
// thread, so that an interrupt becomes an ordinary call instead of a signal
// handler racing the transfer.
class TSignalWatcher final : public TConsole {
public:
  TSignalWatcher() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  ~TSignalWatcher() override {
    if (watcher_.joinable()) {
      pthread_kill(watcher_.native_handle(), SIGUSR1);
      watcher_.join();
    }
  }
  void Watch(std::function<void()> onInterrupt) override {
    watcher_ = std::thread([this, onInterrupt = std::move(onInterrupt)] {
      for (;;) {
        int signal = 0;
        if (sigwait(&set_, &signal) != 0 || signal == SIGUSR1) return;
        onInterrupt();
      }
    });
  }

private:
  sigset_t set_;
  std::thread watcher_;
};

}  // namespace

std::unique_ptr<TConsole> CreateConsole() { return std::make_unique<TSignalWatcher>(); }

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace quill
