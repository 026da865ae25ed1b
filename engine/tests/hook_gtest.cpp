// The engine's hook (corvel_hook.h) on its own, without the test library: what
// an observer is told, and what the driver does with callbacks it is handed.
// Not linked with libcorvel_probe.so, whose observer would be replaced here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvel_hook.h"
#include "corvel_premier.h"
#include "recording_delegate.h"
#include "vora/corvel_vora_cloud.h"

namespace {

using namespace corvel::vora;
using corvel_test::RecordingDelegate;

// What one observer saw, as text.
struct Seen {
  std::mutex mu;
  std::vector<std::string> events;
  std::vector<corvel_counters_ref*> counters;

  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back(std::move(event));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::move(events);
  }
};

std::string Text(const char* text) { return text ? std::string("\"") + text + "\"" : "null"; }

corvel_observer MakeObserver(Seen& seen) {
  corvel_observer o{};
  o.context = &seen;
  o.instance_created = [](void* c, uint64_t id, corvel_counters_ref* counters) {
    auto& s = *static_cast<Seen*>(c);
    s.Add("created " + std::to_string(id));
    std::lock_guard<std::mutex> lock(s.mu);
    s.counters.push_back(counters);
  };
  o.instance_destroyed = [](void* c, uint64_t id) {
    static_cast<Seen*>(c)->Add("destroyed " + std::to_string(id));
  };
  o.operation = [](void* c, const corvel_operation* op) {
    std::string e = "op " + std::to_string(op->kind) + " result " + std::to_string(op->result) +
                    "/" + std::to_string(op->result_type) + " text " + Text(op->text) + " length " +
                    std::to_string(op->length) + " args " + std::to_string(op->arg[0]) + "," +
                    std::to_string(op->arg[1]) + "," + std::to_string(op->arg[2]);
    if (op->kind == CORVEL_OP_SEND_AUDIO_FRAME) {
      const auto* frame = static_cast<const AudioFrame*>(op->object);
      e += " frame " + std::to_string(frame->size()) + " extra " +
           std::string(reinterpret_cast<const char*>(op->extra), op->extra_size);
    }
    static_cast<Seen*>(c)->Add(e);
  };
  o.setting = [](void* c, const corvel_setting_call* call) {
    static_cast<Seen*>(c)->Add(std::string("setting ") + call->function + " " +
                               Text(call->text[0]) + " result " + std::to_string(call->has_result) +
                               "/" + std::to_string(call->result));
  };
  return o;
}

EnterRoomParams Params(const char* user, uint32_t room) {
  EnterRoomParams p;
  p.room.sdk_app_id = 1400000001;
  p.room.room_id = room;
  p.room.user_id.SetValue(user);
  p.room.user_sig.SetValue("sig");
  return p;
}

// The observer is installed for the life of one test; every instance a test
// makes is destroyed before it ends, so nothing reports afterwards.
class Hook : public ::testing::Test {
 protected:
  void SetUp() override {
    observer_ = MakeObserver(*seen_);
    driver_ = corvel_engine_hook(&observer_);
  }
  void TearDown() override {
    corvel_engine_hook(nullptr);
    for (corvel_counters_ref* ref : seen_->counters) driver_->release_counters(ref);
  }

  uint64_t LastId() const {
    corvel_engine_counts counts{};
    driver_->engine_counts(&counts);
    return counts.last_id;
  }

  const std::unique_ptr<Seen> seen_ = std::make_unique<Seen>();
  corvel_observer observer_{};
  const corvel_driver* driver_ = nullptr;
};

TEST_F(Hook, TheDriverIsOneTableWhateverIsInstalled) {
  EXPECT_EQ(driver_->version, static_cast<uint32_t>(CORVEL_HOOK_VERSION));
  EXPECT_EQ(corvel_engine_hook(&observer_), driver_);
  EXPECT_EQ(corvel_engine_hook(nullptr), driver_);
}

TEST_F(Hook, InstancesAreReportedAndTheirCountersOutliveThem) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  const uint64_t id = LastId();
  VORACloud::Destroy(cloud);
  EXPECT_EQ(seen_->Take(), (std::vector<std::string>{"created " + std::to_string(id),
                                                     "destroyed " + std::to_string(id)}));
  ASSERT_EQ(seen_->counters.size(), 1u);
  corvel_counters counters{};
  driver_->read_counters(seen_->counters[0], &counters);  // after Destroy
  EXPECT_EQ(counters.delivered, 0u);
  EXPECT_EQ(driver_->is_live(id), 0);
  EXPECT_EQ(driver_->counters_of(id), nullptr);
}

TEST_F(Hook, OperationsAreReportedWithArgumentsAndResults) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  seen_->Take();
  EXPECT_EQ(cloud->Subscribe("peer", STREAM_TYPE_AUDIO), ERR_INVALID_OPERATION);  // no room
  ASSERT_EQ(cloud->EnterRoom(Params("hooked", 870001)), ERR_OK);
  AudioEncodeParams audio;
  audio.channels = 1;
  ASSERT_EQ(cloud->CreateLocalAudioChannel(audio), ERR_OK);
  AudioFrame frame;
  std::vector<uint8_t> pcm(960 * 2, 1);
  frame.SetData(pcm.data(), pcm.size());
  frame.SetExtraData(reinterpret_cast<const uint8_t*>("xy"), 2);
  EXPECT_EQ(cloud->SendAudioFrame(frame), ERR_OK);
  EXPECT_TRUE(cloud->SendCustomCmdMsg(3, "hello", 4, true, false));
  cloud->SetVideoEncodeParam(STREAM_TYPE_VIDEO_HIGH, VideoEncodeParams());
  VORACloud::Destroy(cloud);
  const auto seen = seen_->Take();
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0], "op 3 result " + std::to_string(ERR_INVALID_OPERATION) +
                         "/0 text \"peer\" length 0 args " + std::to_string(STREAM_TYPE_AUDIO) +
                         ",0,0");
  EXPECT_EQ(seen[1].rfind("op 1 result 0/0", 0), 0u) << seen[1];
  EXPECT_EQ(seen[2].rfind("op 6 result 0/0", 0), 0u) << seen[2];
  EXPECT_EQ(seen[3], "op 7 result 0/0 text null length 0 args 0,0,0 frame 1920 extra xy");
  // The message is taken by its length, not as C text.
  EXPECT_EQ(seen[4], "op 15 result 1/1 text \"hello\" length 4 args 3,1,0");
  EXPECT_EQ(seen[5].rfind("op 13 result 0/2", 0), 0u) << seen[5];
  EXPECT_EQ(seen[6].rfind("destroyed ", 0), 0u);
}

TEST_F(Hook, SettingsCallsAreReportedWithTheirResult) {
  EXPECT_FALSE(corvel::live::OrbLiveSDK::SetEnvironment("nowhere"));
  EXPECT_TRUE(corvel::live::OrbLiveSDK::SetEnvironment("production"));
  EXPECT_EQ(seen_->Take(),
            (std::vector<std::string>{"setting SetEnvironment \"nowhere\" result 1/0",
                                      "setting SetEnvironment \"production\" result 1/1"}));
}

TEST_F(Hook, NothingIsReportedOnceTheObserverIsRemoved) {
  corvel_engine_hook(nullptr);
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  cloud->ExitRoom();
  corvel::live::OrbLiveSDK::SetLogLevel(2);
  VORACloud::Destroy(cloud);
  EXPECT_TRUE(seen_->Take().empty());
  EXPECT_TRUE(seen_->counters.empty());
}

// A corvel_callback that counts its calls and its release.
struct Probe {
  std::atomic<int> invoked{0};
  std::atomic<int> released{0};
  std::atomic<void*> delegate{nullptr};
  std::atomic<bool> on_caller{false};
  std::thread::id caller = std::this_thread::get_id();
  // Set by the callback: what posting from the delivery thread answered.
  std::atomic<int> nested{1};
  const corvel_driver* driver = nullptr;
  uint64_t id = 0;
};

corvel_callback Callback(Probe& probe, const char* name = "OnExitRoom") {
  corvel_callback cb{};
  cb.name = name;
  cb.arg = &probe;
  cb.invoke = [](void* arg, void* delegate) {
    auto& p = *static_cast<Probe*>(arg);
    p.delegate.store(delegate);
    if (std::this_thread::get_id() == p.caller) p.on_caller.store(true);
    p.invoked.fetch_add(1);
  };
  cb.release = [](void* arg) { static_cast<Probe*>(arg)->released.fetch_add(1); };
  return cb;
}

TEST_F(Hook, CallbacksRunOnTheDeliveryThreadAndAreReleasedOnce) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  const uint64_t id = LastId();
  Probe one;
  const corvel_callback cb = Callback(one);
  EXPECT_EQ(driver_->post_and_wait(id, &cb, 5000), CORVEL_HOOK_OK);
  EXPECT_EQ(one.invoked.load(), 1);
  EXPECT_EQ(one.delegate.load(), static_cast<void*>(&delegate));
  EXPECT_FALSE(one.on_caller.load());
  EXPECT_EQ(one.released.load(), 1);

  Probe many;
  const corvel_callback copies = Callback(many);
  EXPECT_EQ(driver_->post_many(id, &copies, 50), 50);
  EXPECT_EQ(driver_->wait_idle(id, 5000), CORVEL_HOOK_OK);
  EXPECT_EQ(many.invoked.load(), 50);
  EXPECT_EQ(many.released.load(), 1);  // shared by the copies

  corvel_counters counters{};
  corvel_counters_ref* ref = driver_->counters_of(id);
  ASSERT_NE(ref, nullptr);
  driver_->read_counters(ref, &counters);
  driver_->release_counters(ref);
  EXPECT_EQ(counters.delivered, 51u);
  VORACloud::Destroy(cloud);
}

TEST_F(Hook, ACallbackHandedOverForAnUnknownInstanceIsStillReleased) {
  Probe probe;
  const corvel_callback cb = Callback(probe);
  EXPECT_EQ(driver_->post_and_wait(~0ull, &cb, 100), CORVEL_HOOK_UNKNOWN_INSTANCE);
  EXPECT_EQ(driver_->post_many(~0ull, &cb, 3), CORVEL_HOOK_UNKNOWN_INSTANCE);
  EXPECT_EQ(driver_->firehose_start(~0ull, &cb, 0), CORVEL_HOOK_UNKNOWN_INSTANCE);
  EXPECT_EQ(probe.invoked.load(), 0);
  EXPECT_EQ(probe.released.load(), 3);
}

TEST_F(Hook, WaitingOnTheInstancesOwnDeliveryThreadIsRefused) {
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  ASSERT_NE(cloud, nullptr);
  Probe outer;
  outer.driver = driver_;
  outer.id = LastId();
  corvel_callback cb{};
  cb.name = "OnExitRoom";
  cb.arg = &outer;
  cb.invoke = [](void* arg, void*) {
    auto& p = *static_cast<Probe*>(arg);
    Probe inner;
    const corvel_callback nested = Callback(inner);
    p.nested.store(p.driver->post_and_wait(p.id, &nested, 1000));
    p.invoked.fetch_add(1);
  };
  EXPECT_EQ(driver_->post_and_wait(outer.id, &cb, 5000), CORVEL_HOOK_OK);
  EXPECT_EQ(outer.nested.load(), CORVEL_HOOK_OWN_DELIVERY_THREAD);
  EXPECT_EQ(driver_->wait_idle(outer.id, 5000), CORVEL_HOOK_OK);
  VORACloud::Destroy(cloud);
}

TEST_F(Hook, AFullQueueDropsMediaCallbacksByName) {
  driver_->set_queue_capacity(4);
  RecordingDelegate delegate;
  VORACloud* cloud = VORACloud::Create(&delegate);
  driver_->set_queue_capacity(0);
  ASSERT_NE(cloud, nullptr);
  const uint64_t id = LastId();
  // Holds the delivery thread so that the queue fills.
  struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
  } gate;
  corvel_callback blocker{};
  blocker.name = "OnEnterRoom";
  blocker.arg = &gate;
  blocker.invoke = [](void* arg, void*) {
    auto& g = *static_cast<Gate*>(arg);
    g.entered.store(true);
    while (!g.release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_EQ(driver_->post_many(id, &blocker, 1), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!gate.entered.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(gate.entered.load());
  Probe media;
  Probe state;
  const corvel_callback frames = Callback(media, "OnRequestKeyFrame");
  const corvel_callback states = Callback(state, "OnExitRoom");
  const int64_t queued_media = driver_->post_many(id, &frames, 20);
  const int64_t queued_state = driver_->post_many(id, &states, 20);
  gate.release.store(true);
  EXPECT_EQ(driver_->wait_idle(id, 5000), CORVEL_HOOK_OK);
  EXPECT_EQ(queued_media, 4);   // what the queue holds
  EXPECT_EQ(queued_state, 20);  // never dropped
  EXPECT_EQ(media.invoked.load(), queued_media);
  VORACloud::Destroy(cloud);
}

}  // namespace
