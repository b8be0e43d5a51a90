#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <thread>

#include "cli/cli.h"

namespace {

// Blocks SIGINT and SIGTERM in every thread and waits for them on one watcher
// thread, so that an interrupt becomes an ordinary call instead of a signal
// handler racing the transfer.
class TSignalWatcher {
public:
  TSignalWatcher() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  ~TSignalWatcher() {
    if (watcher_.joinable()) {
      pthread_kill(watcher_.native_handle(), SIGUSR1);
      watcher_.join();
    }
  }
  void Watch(std::function<void()> onInterrupt) {
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

int main(int argc, char** argv) {
  TSignalWatcher signals;
  auto platform = quill::CreateNativePlatform();
  quill::TCliEnv env;
  env.Out = &std::cout;
  env.Err = &std::cerr;
  env.Platform = platform.get();
  env.OutIsTerminal = isatty(STDOUT_FILENO) == 1;
  env.WatchInterrupts = [&signals](std::function<void()> onInterrupt) {
    signals.Watch(std::move(onInterrupt));
  };
  std::vector<std::string> args(argv + 1, argv + argc);
  const int status = quill::RunCli(args, env);
  std::cout.flush();
  return status;
}
