// The engine's bounded queue: its three push policies, closing, bounded waits.
#include "bounded_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>

using corvel::engine::BoundedQueue;
using corvel::engine::QueueResult;
using namespace std::chrono_literals;

TEST(BoundedQueue, EachPushPolicyKeepsOrderAndCountsWhatItDrops) {
  BoundedQueue<std::unique_ptr<int>> q(2);
  for (int i = 0; i < 2; ++i) {
    auto item = std::make_unique<int>(i);
    EXPECT_EQ(q.TryPush(item), QueueResult::kQueued);
  }
  auto refused = std::make_unique<int>(2);
  EXPECT_EQ(q.TryPush(refused), QueueResult::kFull);
  ASSERT_TRUE(refused);  // a refused item stays with the caller
  EXPECT_EQ(q.Push(std::move(refused)), QueueResult::kQueued);  // past the limit
  EXPECT_EQ(q.PushDropOldest(std::make_unique<int>(3)), QueueResult::kFull);
  EXPECT_EQ(q.dropped(), 2u);
  std::deque<std::unique_ptr<int>> all;
  EXPECT_EQ(q.TakeAll(all), 3u);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(*all[0], 1);
  EXPECT_EQ(*all[1], 2);
  EXPECT_EQ(*all[2], 3);
  EXPECT_TRUE(q.empty());
  EXPECT_FALSE(q.PeekFront([](const auto&) { ADD_FAILURE() << "visited an empty queue"; }));
  q.Push(std::make_unique<int>(4));
  q.Push(std::make_unique<int>(5));
  int seen = 0;
  EXPECT_TRUE(q.PeekFront([&](const std::unique_ptr<int>& item) { seen = *item; }));
  EXPECT_EQ(seen, 4);
  EXPECT_EQ(*q.TryPop().value(), 4);  // peeking left the oldest in place
}

TEST(BoundedQueue, CloseRefusesEveryPushAndHandsBackWhatWasQueued) {
  BoundedQueue<int> q(4);
  q.Push(1);
  q.Push(2);
  const std::deque<int> rest = q.Close();
  EXPECT_EQ(rest, (std::deque<int>{1, 2}));
  int item = 3;
  EXPECT_EQ(q.TryPush(item), QueueResult::kClosed);
  EXPECT_EQ(q.Push(3), QueueResult::kClosed);
  EXPECT_EQ(q.PushDropOldest(3), QueueResult::kClosed);
  EXPECT_EQ(q.dropped(), 0u);
}

TEST(BoundedQueue, WaitsEndAtTheDeadlineOrWhenWokenOrFed) {
  BoundedQueue<int> q(4);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.PopUntil(start + 20ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);

  std::thread waker([&] {
    std::this_thread::sleep_for(10ms);
    q.Wake();
  });
  EXPECT_FALSE(q.PopUntil(std::chrono::steady_clock::now() + 10s));
  waker.join();

  std::thread feeder([&] {
    std::this_thread::sleep_for(10ms);
    q.Push(7);
  });
  EXPECT_EQ(q.PopUntil(std::chrono::steady_clock::now() + 10s), 7);
  feeder.join();

  std::thread closer([&] {
    std::this_thread::sleep_for(10ms);
    q.Close();
  });
  std::deque<int> out;
  EXPECT_EQ(q.TakeAllUntil(out, std::chrono::steady_clock::now() + 10s), 0u);
  closer.join();
}
