// The engine's guards against callers and delegates that push it to its
// limits: instances destroying each other from their callbacks, sizes that
// overflow, full delivery queues, and the reason a refused operation gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvel_probe.h"
#include "recording_delegate.h"
#include "vora/corvel_vora_cloud.h"

extern "C" const char* corvel_last_refusal(void);
extern "C" unsigned long long corvel_dropped_callbacks(void);

using namespace corvel::vora;
using namespace std::chrono_literals;
using corvel_test::RecordingDelegate;

namespace {

constexpr int kSlotOnEnterRoom = 3;
constexpr int kSlotOnRequestKeyFrame = 10;

EnterRoomParams Params(const char* user, uint32_t room) {
  EnterRoomParams p;
  p.room.sdk_app_id = 1400000001;
  p.room.user_id = user;
  p.room.user_sig = "sig";
  p.room.room_id = room;
  return p;
}

// Runs fn on a thread of its own; a hang ends the whole program (a deadlocked
// thread cannot be joined).
template <typename Fn>
void WithinSeconds(int seconds, Fn fn) {
  std::packaged_task<void()> task(fn);
  auto done = task.get_future();
  std::thread thread(std::move(task));
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    std::fprintf(stderr, "still running after %d s: deadlock\n", seconds);
    std::_Exit(1);
  }
  thread.join();
  done.get();
}

TEST(EngineThreads, InstancesDestroyingEachOtherFromTheirCallbacksDoNotDeadlock) {
  WithinSeconds(20, [] {
    for (int round = 0; round < 5; ++round) {
      // The delegates outlive the callbacks that may still be returning.
      static RecordingDelegate delegates[2];
      std::atomic<VORACloud*> clouds[2] = {VORACloud::Create(&delegates[0]), nullptr};
      const uint64_t a = corvel_inspect_last_instance();
      clouds[1] = VORACloud::Create(&delegates[1]);
      const uint64_t b = corvel_inspect_last_instance();
      std::promise<void> b_busy;
      auto b_busy_seen = b_busy.get_future().share();
      std::atomic<int> destroyed{0};
      delegates[0].hook = [&](const std::string&) {
        b_busy_seen.wait_for(5s);
        VORACloud::Destroy(clouds[1].exchange(nullptr));
        ++destroyed;
      };
      delegates[1].hook = [&](const std::string&) {
        b_busy.set_value();
        std::this_thread::sleep_for(50ms);
        VORACloud::Destroy(clouds[0].exchange(nullptr));
        ++destroyed;
      };
      ASSERT_EQ(corvel_inspect_fire_many(a, kSlotOnEnterRoom, "{}", 1), 1);
      ASSERT_EQ(corvel_inspect_fire_many(b, kSlotOnEnterRoom, "{}", 1), 1);
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (destroyed.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
      ASSERT_EQ(destroyed.load(), 2);
      EXPECT_FALSE(corvel_inspect_is_live(a));
      EXPECT_FALSE(corvel_inspect_is_live(b));
      // Each callback records its event once its Destroy returned: waiting for
      // it (under the delegate's lock) orders the end of both callbacks
      // before anything this thread does to the delegates.
      ASSERT_TRUE(delegates[0].WaitFor(round + 1));
      ASSERT_TRUE(delegates[1].WaitFor(round + 1));
      std::this_thread::sleep_for(20ms);  // their threads free the instances
      delegates[0].hook = nullptr;
      delegates[1].hook = nullptr;
    }
  });
}

TEST(Refusals, AReasonIsKeptForTheCallingThreadUntilItsNextOperation) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  EXPECT_FALSE(cloud->SendCustomCmdMsg(11, "x", 1, true, true));
  EXPECT_STREQ(corvel_last_refusal(), "SendCustomCmdMsg refused: cmd_id 11 outside 1..10");
  std::string other;
  std::thread([&] { other = corvel_last_refusal(); }).join();
  EXPECT_EQ(other, "");
  EXPECT_EQ(cloud->EnterRoom(Params("guard", 880001)), ERR_OK);
  EXPECT_STREQ(corvel_last_refusal(), "");
  // Callback mode: polling GetAudioFrame would never get anything.
  AudioFrame frame;
  EXPECT_EQ(cloud->GetAudioFrame(&frame), ERR_INVALID_OPERATION);
  EXPECT_NE(std::string(corvel_last_refusal()).find("AUDIO_OBTAIN_METHOD_GET"), std::string::npos);
  VORACloud::Destroy(cloud);
}

TEST(Refusals, PixelSizesThatOverflowAreRefused) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  PixelFrame frame;
  frame.format = VIDEO_PIXEL_FORMAT_RGBA;
  frame.width = 2147418113u;  // 4 * w * h is 4 modulo 2^64
  frame.height = 2147549185u;
  frame.SetData(reinterpret_cast<const uint8_t*>("\0\0\0\0"), 4);
  EXPECT_EQ(cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame), ERR_INVALID_PARAMETER);
  frame.format = VIDEO_PIXEL_FORMAT_YUVA420p;
  frame.width = frame.height = 0xffffffffu;
  EXPECT_EQ(cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, frame), ERR_INVALID_PARAMETER);
  VORACloud::Destroy(cloud);
}

TEST(Delivery, AFullQueueDropsMediaButNotStateCallbacks) {
  corvel_inspect_set_queue_capacity(2);
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  corvel_inspect_set_queue_capacity(0);
  ASSERT_NE(cloud, nullptr);
  const uint64_t id = corvel_inspect_last_instance();
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> held{false};
  delegate.hook = [&](const std::string& name) {
    if (name == "OnRequestKeyFrame" && !held.exchange(true)) released.wait_for(10s);
  };
  const unsigned long long dropped_before = corvel_dropped_callbacks();
  ASSERT_EQ(corvel_inspect_fire_many(id, kSlotOnRequestKeyFrame, "{}", 1), 1);
  while (!held.load()) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(corvel_inspect_fire_many(id, kSlotOnRequestKeyFrame, "{}", 5), 2);
  ASSERT_EQ(cloud->EnterRoom(Params("full-queue", 880002)), ERR_OK);
  ASSERT_EQ(cloud->ExitRoom(), ERR_OK);
  release.set_value();
  ASSERT_EQ(corvel_inspect_wait_idle(id, 5000), 0);
  std::vector<std::string> names;
  for (const std::string& text : delegate.texts()) names.push_back(text.substr(0, text.find('(')));
  const std::vector<std::string> expected = {"OnRequestKeyFrame",        "OnRequestKeyFrame",
                                             "OnRequestKeyFrame",        "OnConnectionStateChanged",
                                             "OnConnectionStateChanged", "OnEnterRoom",
                                             "OnConnectionStateChanged", "OnExitRoom"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(corvel_dropped_callbacks() - dropped_before, 3u);
  VORACloud::Destroy(cloud);
}

// The pool's threads: one instance's callbacks never overlap however many
// threads deliver, and instances whose callbacks block (more of them than the
// pool has threads) hold up no other instance.
TEST(Delivery, BlockedCallbacksHoldUpNoOtherInstanceAndNoneOverlapsItself) {
  constexpr int kBlocked = 6;  // more than the pool's base threads
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> overlaps{0};
  std::vector<std::unique_ptr<RecordingDelegate>> delegates;
  std::vector<std::unique_ptr<std::atomic<int>>> inside;
  std::vector<VORACloud*> clouds;
  std::vector<uint64_t> ids;
  for (int i = 0; i <= kBlocked; ++i) {
    delegates.push_back(std::make_unique<RecordingDelegate>());
    inside.push_back(std::make_unique<std::atomic<int>>(0));
    std::atomic<int>* in = inside.back().get();
    const bool blocks = i < kBlocked;
    delegates.back()->hook = [&, in, blocks](const std::string& name) {
      if (in->fetch_add(1) != 0) overlaps.fetch_add(1);
      if (blocks && name == "OnEnterRoom") released.wait_for(10s);
      in->fetch_sub(1);
    };
    clouds.push_back(VORACloud::Create(delegates.back().get()));
    ASSERT_NE(clouds.back(), nullptr);
    ids.push_back(corvel_inspect_last_instance());
  }
  WithinSeconds(20, [&] {
    for (int i = 0; i < kBlocked; ++i) {
      ASSERT_EQ(corvel_inspect_fire_many(ids[i], kSlotOnEnterRoom, "{}", 1), 1);
      ASSERT_EQ(corvel_inspect_fire_many(ids[i], kSlotOnRequestKeyFrame, "{}", 50), 50);
    }
    // Delivered while every blocked instance still waits.
    for (int round = 0; round < 20; ++round)
      EXPECT_EQ(corvel_inspect_fire(ids[kBlocked], kSlotOnRequestKeyFrame, "{}", 5000), 0);
    release.set_value();
    for (uint64_t id : ids) EXPECT_EQ(corvel_inspect_wait_idle(id, 5000), 0);
  });
  EXPECT_EQ(overlaps.load(), 0);
  for (int i = 0; i < kBlocked; ++i) EXPECT_EQ(delegates[i]->texts().size(), 51u);
  for (VORACloud* cloud : clouds) VORACloud::Destroy(cloud);
}

}  // namespace
