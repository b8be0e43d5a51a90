#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quill {

// Runs a call on the owner's thread and returns when it has run. The GUI
// supplies one over Qt::BlockingQueuedConnection; the command line and the
// tests use TCallQueue.
using TDispatcher = std::function<void(const std::function<void()>&)>;

// A queue of calls handed over by worker threads to the thread that owns it.
// Post blocks the worker until the owner has run the call in RunPending or
// RunUntil. Must not be posted to from the owner's own thread.
class TCallQueue {
public:
  void Post(const std::function<void()>& call);
  // Runs every queued call; returns how many ran.
  int RunPending();
  // Serves calls until done() is true after a call has run (checked also
  // before waiting).
  void RunUntil(const std::function<bool()>& done);
  TDispatcher Dispatcher() {
    return [this](const std::function<void()>& call) { Post(call); };
  }

private:
  struct TItem {
    const std::function<void()>* call;
    bool done = false;
  };
  std::mutex mutex_;
  std::condition_variable posted_;
  std::condition_variable finished_;
  std::deque<TItem*> queue_;
};

}  // namespace quill
