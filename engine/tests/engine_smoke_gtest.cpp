// Smoke test of the engine lifecycle: Create, EnterRoom and its callbacks,
// Destroy waiting for a running callback, Destroy from inside a callback, and
// a delegate that throws.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "corvel_premier.h"
#include "corvel_probe.h"
#include "recording_delegate.h"

using namespace corvel::vora;
using corvel_test::RecordingDelegate;
using namespace std::chrono_literals;

namespace {

EnterRoomParams ValidParams() {
  EnterRoomParams p;
  p.room.sdk_app_id = 1400000001;
  p.room.user_id = "alice";
  p.room.user_sig = "sig";
  p.room.room_id = 42;
  return p;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(EngineSmoke, CreateFailures) {
  const uint64_t creates = corvel_inspect_create_count();
  ASSERT_TRUE(VORACloud::Create(nullptr) == nullptr);
  RecordingDelegate d;
  corvel_inspect_fail_next_create();
  ASSERT_TRUE(VORACloud::Create(&d) == nullptr);
  ASSERT_EQ(corvel_inspect_create_count(), creates + 2);
  VORACloud::Destroy(nullptr);  // no-op
  VORACloud* cloud = VORACloud::Create(&d);
  ASSERT_TRUE(cloud != nullptr);
  VORACloud::Destroy(cloud);
}

TEST(EngineSmoke, EnterAndExit) {
  RecordingDelegate d;
  const uint64_t live_before = corvel_inspect_live_instances();
  VORACloud* cloud = VORACloud::Create(&d);
  ASSERT_TRUE(cloud != nullptr);
  ASSERT_EQ(corvel_inspect_live_instances(), live_before + 1);

  ASSERT_EQ(cloud->ExitRoom(), ERR_INVALID_OPERATION);
  ASSERT_EQ(cloud->EnterRoom(ValidParams()), ERR_OK);
  ASSERT_EQ(cloud->EnterRoom(ValidParams()), ERR_INVALID_OPERATION);
  ASSERT_TRUE(d.WaitFor(3));
  ASSERT_EQ(d.texts(), (std::vector<std::string>{"OnConnectionStateChanged(0,2)",
                                                 "OnConnectionStateChanged(2,3)", "OnEnterRoom"}));
  for (const auto& e : d.events()) ASSERT_TRUE(e.thread != std::this_thread::get_id());

  ASSERT_EQ(cloud->CreateLocalAudioChannel(AudioEncodeParams()), ERR_OK);
  ASSERT_EQ(cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_OK);
  ASSERT_EQ(cloud->ExitRoom(), ERR_OK);
  ASSERT_TRUE(d.WaitFor(9));
  const auto texts = d.texts();
  ASSERT_EQ(
      std::vector<std::string>(texts.begin() + 3, texts.end()),
      (std::vector<std::string>{"OnLocalAudioChannelCreated", "OnLocalVideoChannelCreated(2)",
                                "OnLocalAudioChannelDestroyed", "OnLocalVideoChannelDestroyed(2)",
                                "OnConnectionStateChanged(3,1)", "OnExitRoom"}));
  VORACloud::Destroy(cloud);
  ASSERT_EQ(corvel_inspect_live_instances(), live_before);
}

TEST(EngineSmoke, DestroyWaitsForRunningCallback) {
  RecordingDelegate d;
  std::atomic<bool> in_callback{false};
  std::atomic<bool> finished{false};
  d.hook = [&](const std::string& name) {
    if (name != "OnEnterRoom") return;
    in_callback = true;
    std::this_thread::sleep_for(200ms);
    finished = true;
  };
  VORACloud* cloud = VORACloud::Create(&d);
  ASSERT_EQ(cloud->EnterRoom(ValidParams()), ERR_OK);
  while (!in_callback) std::this_thread::sleep_for(1ms);
  const uint64_t id = corvel_inspect_last_instance();
  // Queued behind the blocked callback: discarded by Destroy, never delivered.
  ASSERT_EQ(corvel_inspect_fire_many(id, 1, "{\"error\": -1}", 10), 10);
  VORACloud::Destroy(cloud);
  ASSERT_TRUE(finished);
  std::this_thread::sleep_for(50ms);
  for (const auto& text : d.texts()) ASSERT_TRUE(text.rfind("OnError", 0) != 0);
  ASSERT_EQ(corvel_inspect_is_live(id), 0);
}

TEST(EngineSmoke, DestroyFromOwnCallback) {
  RecordingDelegate d;
  VORACloud* cloud = VORACloud::Create(&d);
  const uint64_t id = corvel_inspect_last_instance();
  std::atomic<bool> destroyed{false};
  d.hook = [&](const std::string& name) {
    if (name == "OnEnterRoom" && !destroyed.exchange(true)) {
      VORACloud::Destroy(cloud);  // must return without waiting for this callback
      ASSERT_EQ(corvel_inspect_is_live(id), 0);
    }
  };
  ASSERT_EQ(cloud->EnterRoom(ValidParams()), ERR_OK);
  ASSERT_TRUE(d.WaitFor(3));
  // Nothing after the destroying callback.
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(d.count(), 3u);
  ASSERT_TRUE(destroyed);
}

TEST(EngineSmoke, ThrowingDelegate) {
  char dir_template[] = "/tmp/corvel_smoke_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string log_dir = dir_template;
  ASSERT_TRUE(corvel::live::OrbLiveSDK::SetLogPath(log_dir.c_str()));
  RecordingDelegate d;
  d.hook = [](const std::string& name) {
    if (name == "OnError") throw std::runtime_error("boom");
    if (name == "OnRequestKeyFrame") throw 7;
  };
  VORACloud* cloud = VORACloud::Create(&d);
  const uint64_t id = corvel_inspect_last_instance();
  ASSERT_EQ(corvel_inspect_fire(id, 1, "{\"error\": -3}", 5000), 0);
  ASSERT_EQ(corvel_inspect_fire(id, 10, "{\"stream_type\": 2}", 5000), 0);
  // Delivery carries on after both.
  ASSERT_EQ(corvel_inspect_fire(id, 3, nullptr, 5000), 0);
  ASSERT_EQ(d.texts(), std::vector<std::string>{"OnEnterRoom"});
  VORACloud::Destroy(cloud);
  corvel_inspect_flush_log();
  const std::string log = ReadFile(log_dir + "/corvel.log");
  ASSERT_TRUE(log.find("delegate callback OnError threw: boom") != std::string::npos);
  ASSERT_TRUE(log.find("delegate callback OnRequestKeyFrame threw: unknown exception") !=
              std::string::npos);
  corvel_inspect_reset_settings();
}

// Every test leaves no engine instance behind.
class NoInstanceLeft : public ::testing::Environment {
 public:
  void TearDown() override { EXPECT_EQ(corvel_inspect_live_instances(), 0u); }
};
const auto* const kNoInstanceLeft = ::testing::AddGlobalTestEnvironment(new NoInstanceLeft);

}  // namespace
