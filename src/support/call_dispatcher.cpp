#include "support/call_dispatcher.h"

namespace quill {

void TCallQueue::Post(const std::function<void()>& call) {
  TItem item{&call};
  std::unique_lock lock(mutex_);
  queue_.push_back(&item);
  posted_.notify_all();
  finished_.wait(lock, [&] { return item.done; });
}

int TCallQueue::RunPending() {
  int ran = 0;
  std::unique_lock lock(mutex_);
  while (!queue_.empty()) {
    TItem* item = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*item->call)();
    lock.lock();
    item->done = true;
    finished_.notify_all();
    ++ran;
  }
  return ran;
}

void TCallQueue::RunUntil(const std::function<bool()>& done) {
  for (;;) {
    RunPending();
    if (done()) return;
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [&] { return !queue_.empty(); });
  }
}

}  // namespace quill
