#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace quill {

// Objects that are dear to set up (encoders with their tables and buffers)
// wait here between uses rather than in thread-local slots: an object
// destroyed at a thread's exit crashes the MinGW runtime, and a pool keeps
// nothing per finished thread. At most kMaxIdle wait; more are dropped.
template <typename T>
class TObjectPool {
public:
  std::unique_ptr<T> Take() {
    std::lock_guard lock(mutex_);
    if (idle_.empty()) return std::make_unique<T>();
    auto object = std::move(idle_.back());
    idle_.pop_back();
    return object;
  }
  void Give(std::unique_ptr<T> object) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(object));
  }

private:
  static constexpr std::size_t kMaxIdle = 8;
  std::mutex mutex_;
  std::vector<std::unique_ptr<T>> idle_;
};

// An object of a pool for the length of one use.
template <typename T>
class TPooled {
public:
  explicit TPooled(TObjectPool<T>& pool) : pool_(pool), object_(pool.Take()) {}
  ~TPooled() { pool_.Give(std::move(object_)); }
  TPooled(const TPooled&) = delete;
  TPooled& operator=(const TPooled&) = delete;
  T& operator*() { return *object_; }

private:
  TObjectPool<T>& pool_;
  std::unique_ptr<T> object_;
};

}  // namespace quill
