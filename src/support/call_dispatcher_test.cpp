#include "support/call_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quill {
namespace {

TEST(CallQueue, WorkerCallsRunOnTheOwnerInOrder) {
  TCallQueue queue;
  const std::thread::id owner = std::this_thread::get_id();
  std::vector<int> order;
  bool all_on_owner = true;
  bool done = false;
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) {
      queue.Post([&, i] {
        order.push_back(i);
        all_on_owner = all_on_owner && std::this_thread::get_id() == owner;
        if (i == 999) done = true;
      });
    }
  });
  queue.RunUntil([&] { return done; });
  worker.join();
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(all_on_owner);
  EXPECT_EQ(queue.RunPending(), 0);
}

TEST(CallQueue, PostReturnsOnlyAfterTheCallRan) {
  TCallQueue queue;
  std::atomic<bool> post_returned{false};
  bool returned_before_run = true;
  bool ran_before_return = false;
  int value = 0;
  std::thread worker([&] {
    queue.Dispatcher()([&] {
      returned_before_run = post_returned.load();
      value = 42;
    });
    ran_before_return = value == 42;
    post_returned = true;
  });
  // Give a Post that does not wait the chance to return before the owner runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(post_returned.load());
  int ran = 0;
  while (ran == 0) ran = queue.RunPending();
  worker.join();
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(returned_before_run);
  EXPECT_TRUE(ran_before_return);
}

TEST(CallQueue, SeveralWorkersKeepTheirOwnOrder) {
  TCallQueue queue;
  constexpr int kWorkers = 4;
  constexpr int kCalls = 200;
  std::vector<std::vector<int>> seen(kWorkers);
  int finished = 0;
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kCalls; ++i) {
        queue.Post([&, w, i] { seen[static_cast<std::size_t>(w)].push_back(i); });
      }
      queue.Post([&] { ++finished; });
    });
  }
  queue.RunUntil([&] { return finished == kWorkers; });
  for (auto& worker : workers) worker.join();
  for (const auto& calls : seen) {
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(calls[static_cast<std::size_t>(i)], i);
  }
}

TEST(CallQueue, RunUntilReturnsAtOnceWhenAlreadyDone) {
  TCallQueue queue;
  int checks = 0;
  queue.RunUntil([&] {
    ++checks;
    return true;
  });
  EXPECT_EQ(checks, 1);
}

}  // namespace
}  // namespace quill
