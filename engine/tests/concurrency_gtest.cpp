// The engine driven from several threads at once: instance creation and
// Destroy, operations racing each other, rooms shared between instances with
// media and messages flowing, Destroy from inside callbacks, and delegates that
// throw. Built with ThreadSanitizer by tools/ci-tsan.sh; every test also holds
// without it.
//
// The invariants checked everywhere: no delegate call after Destroy has
// returned (a delegate is freed right after its instance is destroyed, so a
// late call is also a use after free), state callbacks keep the order of the
// state changes, and nothing hangs (each wait is bounded).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "corvel_premier.h"
#include "corvel_probe.h"
#include "vora/corvel_vora_cloud.h"

using namespace corvel::vora;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kApp = 1400000001;

// Slot numbers of the inspection interface.
constexpr int kSlotOnError = 1;
constexpr int kSlotOnRequestKeyFrame = 10;
constexpr int kSlotOnReceiveCustomCmdMsg = 20;

// Counts every callback, records enter/exit order, and flags any call that
// arrives once the owner has declared the instance destroyed.
class CountingDelegate : public VORACloudDelegate {
 public:
  // Runs first in every callback, with its name; may destroy the instance or
  // throw.
  std::function<void(const char*)> hook;

  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> after_destroy{0};
  std::atomic<bool> destroyed{false};
  std::atomic<uint64_t> remote_enters{0};
  std::atomic<uint64_t> remote_exits{0};
  std::atomic<uint64_t> audio_frames{0};
  std::atomic<uint64_t> video_frames{0};
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> key_frame_requests{0};

  std::vector<std::string> Sequence() {
    std::lock_guard<std::mutex> lock(mu_);
    return sequence_;
  }
  // (sender, cmd) -> sequence numbers in arrival order.
  std::map<std::pair<std::string, int32_t>, std::vector<uint32_t>> MessageSeqs() {
    std::lock_guard<std::mutex> lock(mu_);
    return message_seqs_;
  }
  // Messages received from (sender, cmd) so far; only inside a WaitFor
  // predicate, which runs with the delegate's lock held.
  size_t MessagesFromLocked(const std::string& user, int32_t cmd) {
    auto it = message_seqs_.find({user, cmd});
    return it == message_seqs_.end() ? 0 : it->second.size();
  }
  // Waits for `done`, which is evaluated with the delegate's lock held.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, done);
  }

  void OnError(Error) override { Note("OnError"); }
  void OnConnectionStateChanged(ConnectionState, ConnectionState) override {
    Note("OnConnectionStateChanged");
  }
  void OnEnterRoom() override { Note("OnEnterRoom", true); }
  void OnExitRoom() override { Note("OnExitRoom", true); }
  void OnLocalAudioChannelCreated() override { Note("OnLocalAudioChannelCreated"); }
  void OnLocalAudioChannelDestroyed() override { Note("OnLocalAudioChannelDestroyed"); }
  void OnLocalVideoChannelCreated(StreamType) override { Note("OnLocalVideoChannelCreated"); }
  void OnLocalVideoChannelDestroyed(StreamType) override { Note("OnLocalVideoChannelDestroyed"); }
  void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {
    Note("OnRequestChangeVideoEncodeBitrate");
  }
  void OnRequestKeyFrame(StreamType) override {
    Note("OnRequestKeyFrame");
    key_frame_requests.fetch_add(1);
  }
  void OnRemoteUserEnterRoom(const UserInfo& info) override {
    Note("OnRemoteUserEnterRoom");
    Touch(info.user_id.GetValue());
    remote_enters.fetch_add(1);
  }
  void OnRemoteUserExitRoom(const UserInfo& info, int) override {
    Note("OnRemoteUserExitRoom");
    Touch(info.user_id.GetValue());
    remote_exits.fetch_add(1);
  }
  void OnRemoteAudioAvailable(const char* user, bool) override {
    Note("OnRemoteAudioAvailable");
    Touch(user);
  }
  void OnRemoteVideoAvailable(const char* user, bool, StreamType) override {
    Note("OnRemoteVideoAvailable");
    Touch(user);
  }
  void OnRemoteVideoReceived(const char* user, StreamType, const VideoFrame& f) override {
    Note("OnRemoteVideoReceived");
    Touch(user);
    TouchBytes(f.data(), f.size());
    video_frames.fetch_add(1);
  }
  void OnRemoteVideoReceived(const char* user, StreamType, const PixelFrame& f) override {
    Note("OnRemoteVideoReceived");
    Touch(user);
    TouchBytes(f.data(), f.size());
    video_frames.fetch_add(1);
  }
  void OnRemoteAudioReceived(const char* user, const AudioFrame& f) override {
    Note("OnRemoteAudioReceived");
    Touch(user);
    TouchBytes(f.data(), f.size());
    audio_frames.fetch_add(1);
  }
  void OnRemoteMixedAudioReceived(const AudioFrame& f) override {
    Note("OnRemoteMixedAudioReceived");
    TouchBytes(f.data(), f.size());
    audio_frames.fetch_add(1);
  }
  void OnSeiMessageReceived(const char* user, StreamType, int, const char* m, size_t n) override {
    Note("OnSeiMessageReceived");
    Touch(user);
    TouchBytes(reinterpret_cast<const uint8_t*>(m), m ? n : 0);
  }
  void OnReceiveCustomCmdMsg(const char* user, int32_t cmd, uint32_t seq, const char* m,
                             size_t n) override {
    Note("OnReceiveCustomCmdMsg");
    TouchBytes(reinterpret_cast<const uint8_t*>(m), m ? n : 0);
    {
      std::lock_guard<std::mutex> lock(mu_);
      message_seqs_[{user ? user : "", cmd}].push_back(seq);
    }
    messages.fetch_add(1);
    cv_.notify_all();
  }
  void OnMissCustomCmdMsg(const char* user, int32_t, uint32_t, uint32_t) override {
    Note("OnMissCustomCmdMsg");
    Touch(user);
  }
  void OnNetworkQuality(NetworkQualityInfo* local, NetworkQualityInfo* remote,
                        size_t count) override {
    Note("OnNetworkQuality");
    if (local) Touch(local->user_id.GetValue());
    for (size_t i = 0; i < count; ++i) Touch(remote[i].user_id.GetValue());
  }
  void OnUserVoiceVolume(VORAVolumeInfo* volumes, uint32_t count, uint32_t) override {
    Note("OnUserVoiceVolume");
    for (uint32_t i = 0; i < count; ++i) Touch(volumes[i].user_id.GetValue());
  }

 private:
  void Note(const char* name, bool sequence = false) {
    if (destroyed.load()) after_destroy.fetch_add(1);
    calls.fetch_add(1);
    if (hook) hook(name);
    if (sequence) {
      std::lock_guard<std::mutex> lock(mu_);
      sequence_.push_back(name);
    }
    cv_.notify_all();
  }
  // Reads every byte handed over, so a dangling pointer shows up under a
  // sanitizer.
  void Touch(const char* text) {
    if (text) sink_.fetch_add(std::strlen(text), std::memory_order_relaxed);
  }
  void TouchBytes(const uint8_t* data, size_t size) {
    uint64_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum += data[i];
    sink_.fetch_add(sum, std::memory_order_relaxed);
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> sequence_;
  std::map<std::pair<std::string, int32_t>, std::vector<uint32_t>> message_seqs_;
  std::atomic<uint64_t> sink_{0};
};

EnterRoomParams Params(const std::string& user, uint32_t room) {
  EnterRoomParams p;
  p.room.sdk_app_id = kApp;
  p.room.user_id = user.c_str();
  p.room.user_sig = "sig";
  p.room.room_id = room;
  return p;
}

AudioFrame PcmFrame(int sample_rate, int ms, uint32_t pts) {
  AudioFrame f;
  f.sample_rate = sample_rate;
  f.channels = 1;
  f.bits_per_sample = 16;
  f.codec = AUDIO_CODEC_TYPE_PCM;
  f.pts = pts;
  std::vector<uint8_t> pcm(static_cast<size_t>(sample_rate / 1000 * ms) * 2);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7 + pts);
  f.SetData(pcm.data(), pcm.size());
  return f;
}

VideoFrame EncodedFrame(uint32_t pts) {
  VideoFrame f;
  f.pts = pts;
  f.dts = pts;
  f.is_key_frame = pts % 30 == 0;
  const uint8_t bytes[] = {0, 0, 0, 1, 0x65, static_cast<uint8_t>(pts)};
  f.SetData(bytes, sizeof(bytes));
  return f;
}

// Distinct room numbers per test, so tests never share a room.
uint32_t NewRoom() {
  static std::atomic<uint32_t> next{5000};
  return next.fetch_add(1);
}

// Creating an instance and learning its inspection id must not interleave
// with another thread's creation; everything else runs concurrently.
std::mutex& CreateMutex() {
  static std::mutex mu;
  return mu;
}

struct Instance {
  std::unique_ptr<CountingDelegate> delegate = std::make_unique<CountingDelegate>();
  VORACloud* cloud = nullptr;
  uint64_t id = 0;

  Instance() {
    std::lock_guard<std::mutex> lock(CreateMutex());
    cloud = VORACloud::Create(delegate.get());
    id = corvel_inspect_last_instance();
  }
  ~Instance() { Destroy(); }
  // Destroys the instance and frees its delegate at once: any later call is a
  // use after free, and counted before that.
  void Destroy() {
    if (!cloud) return;
    VORACloud::Destroy(cloud);
    cloud = nullptr;
    delegate->destroyed.store(true);
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(delegate->after_destroy.load(), 0u);
  }
};

// Whether two instances entering the same room see each other: the engine
// has rooms shared between instances (tests of room traffic skip otherwise).
bool EngineHasSharedRooms() {
  static const bool shared = [] {
    const uint32_t room = NewRoom();
    Instance a, b;
    EXPECT_EQ(a.cloud->EnterRoom(Params("probe-a", room)), ERR_OK);
    EXPECT_EQ(b.cloud->EnterRoom(Params("probe-b", room)), ERR_OK);
    return a.delegate->WaitFor([&] { return a.delegate->remote_enters.load() > 0; }, 3s);
  }();
  return shared;
}

template <typename Fn>
void RunThreads(int count, Fn fn) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(fn, i);
  for (auto& t : threads) t.join();
}

// ---------------------------------------------------------------------------

TEST(Lifetime, CreateAndDestroyFromManyThreadsKeepsTheTableExact) {
  const uint64_t live = corvel_inspect_live_instances();
  const uint64_t creates = corvel_inspect_create_count();
  const uint64_t destroys = corvel_inspect_destroy_count();
  constexpr int kThreads = 4;
  constexpr int kEach = 60;
  RunThreads(kThreads, [](int t) {
    std::mt19937 rng(t);
    std::vector<std::pair<std::unique_ptr<CountingDelegate>, VORACloud*>> held;
    for (int i = 0; i < kEach; ++i) {
      auto d = std::make_unique<CountingDelegate>();
      VORACloud* c = VORACloud::Create(d.get());
      ASSERT_NE(c, nullptr);
      if (i % 3 == 0) c->EnterRoom(Params("u" + std::to_string(t * 1000 + i), NewRoom()));
      held.emplace_back(std::move(d), c);
      if (rng() % 2 && !held.empty()) {
        auto& victim = held[rng() % held.size()];
        VORACloud::Destroy(victim.second);
        victim.first->destroyed.store(true);
        EXPECT_EQ(victim.first->after_destroy.load(), 0u);
        std::swap(victim, held.back());
        held.pop_back();
      }
    }
    for (auto& [d, c] : held) {
      VORACloud::Destroy(c);
      d->destroyed.store(true);
      EXPECT_EQ(d->after_destroy.load(), 0u);
    }
  });
  EXPECT_EQ(corvel_inspect_live_instances(), live);
  EXPECT_EQ(corvel_inspect_create_count(), creates + kThreads * kEach);
  EXPECT_EQ(corvel_inspect_destroy_count(), destroys + kThreads * kEach);
}

TEST(Lifetime, DestroyWhileAnEngineThreadFloodsCallbacksStopsDelivery) {
  RunThreads(4, [](int t) {
    for (int i = 0; i < 8; ++i) {
      Instance inst;
      ASSERT_EQ(
          corvel_inspect_firehose_start(inst.id, kSlotOnRequestKeyFrame, R"({"stream_type":1})", 0),
          0);
      ASSERT_TRUE(inst.delegate->WaitFor(
          [&] { return inst.delegate->key_frame_requests.load() >= uint64_t(10 + t); }));
      inst.Destroy();  // firehose still running: Destroy must stop it
    }
  });
}

TEST(Lifetime, DestroyWhileAnotherThreadWaitsForDeliveryWakesTheWaiter) {
  RunThreads(3, [](int) {
    for (int i = 0; i < 10; ++i) {
      Instance inst;
      std::atomic<bool> in_callback{false};
      std::atomic<bool> release{false};
      inst.delegate->hook = [&](const char* name) {
        if (std::strcmp(name, "OnError") != 0) return;
        in_callback.store(true);
        while (!release.load()) std::this_thread::sleep_for(100us);
      };
      // One callback runs (and blocks) while more wait behind it in the queue.
      ASSERT_EQ(corvel_inspect_fire_many(inst.id, kSlotOnError, R"({"error":-1})", 50), 50);
      int waited = 1;
      std::thread waiter(
          [&] { waited = corvel_inspect_fire(inst.id, kSlotOnError, R"({"error":-1})", 60000); });
      while (!in_callback.load()) std::this_thread::sleep_for(100us);
      const uint64_t id = inst.id;
      std::thread destroyer([&] { inst.Destroy(); });
      // Destroy takes the instance out of the table first, then closes the
      // queue and waits for the running callback; only then let it finish.
      while (corvel_inspect_is_live(id)) std::this_thread::sleep_for(100us);
      release.store(true);
      destroyer.join();
      waiter.join();
      // Delivered before the queue closed, discarded by Destroy, or never
      // queued because the instance had already left the table: never left
      // waiting.
      EXPECT_TRUE(waited == 0 || waited == -4 || waited == -1) << waited;
    }
  });
}

TEST(Lifetime, DestroyFromOwnCallbackWhileTheOperationThatCausedItReturns) {
  // The delivery thread frees an instance destroyed from its own callback
  // after that callback returns, and nothing tells the application when that
  // has happened; so these delegates live until the process ends.
  static std::mutex kept_mu;
  static auto& kept = *new std::vector<std::unique_ptr<CountingDelegate>>();
  const size_t first = kept.size();
  RunThreads(4, [&](int t) {
    for (int i = 0; i < 25; ++i) {
      auto owned = std::make_unique<CountingDelegate>();
      CountingDelegate* d = owned.get();
      {
        std::lock_guard<std::mutex> lock(kept_mu);
        kept.push_back(std::move(owned));
      }
      uint64_t id = 0;
      VORACloud* cloud = nullptr;
      {
        std::lock_guard<std::mutex> lock(CreateMutex());
        cloud = VORACloud::Create(d);
        id = corvel_inspect_last_instance();
      }
      ASSERT_NE(cloud, nullptr);
      std::atomic<bool> gone{false};
      std::mutex gone_mu;
      std::condition_variable gone_cv;
      d->hook = [&, d, id](const char* name) {
        if (std::strcmp(name, "OnLocalAudioChannelCreated") != 0) return;
        // More callbacks wait behind this one; Destroy must discard them.
        EXPECT_EQ(corvel_inspect_fire_many(id, kSlotOnError, R"({"error":-1})", 20), 20);
        VORACloud::Destroy(cloud);  // returns at once; delivery ends after this callback
        d->destroyed.store(true);
        std::lock_guard<std::mutex> lock(gone_mu);
        gone.store(true);
        gone_cv.notify_all();
      };
      ASSERT_EQ(cloud->EnterRoom(
                    Params("self-" + std::to_string(t) + "-" + std::to_string(i), NewRoom())),
                ERR_OK);
      AudioEncodeParams audio;
      // Queues the callback that destroys the instance; this operation may
      // still be returning while it runs. Nothing touches `cloud` afterwards.
      EXPECT_EQ(cloud->CreateLocalAudioChannel(audio), ERR_OK);
      std::unique_lock<std::mutex> lock(gone_mu);
      ASSERT_TRUE(gone_cv.wait_for(lock, 10s, [&] { return gone.load(); }));
      EXPECT_EQ(corvel_inspect_is_live(id), 0);
    }
  });
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> lock(kept_mu);
  for (size_t i = first; i < kept.size(); ++i) EXPECT_EQ(kept[i]->after_destroy.load(), 0u);
}

TEST(Operations, RacingOperationsOnOneInstanceKeepStateCallbacksInOrder) {
  Instance inst;
  const uint32_t room = NewRoom();
  std::atomic<int> entered{0}, exited{0};
  RunThreads(4, [&](int t) {
    std::mt19937 rng(100 + t);
    AudioEncodeParams audio;
    for (int i = 0; i < 300; ++i) {
      switch (rng() % 9) {
        case 0:
          if (inst.cloud->EnterRoom(Params("racer", room)) == ERR_OK) entered.fetch_add(1);
          break;
        case 1:
          if (inst.cloud->ExitRoom() == ERR_OK) exited.fetch_add(1);
          break;
        case 2:
          inst.cloud->CreateLocalAudioChannel(audio);
          break;
        case 3:
          inst.cloud->DestroyLocalAudioChannel();
          break;
        case 4:
          inst.cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
          break;
        case 5:
          inst.cloud->SendAudioFrame(PcmFrame(48000, 20, i));
          break;
        case 6:
          inst.cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, EncodedFrame(i));
          break;
        case 7:
          inst.cloud->Subscribe("someone", STREAM_TYPE_AUDIO);
          break;
        default: {
          const char msg[] = "hello";
          inst.cloud->SendCustomCmdMsg(1, msg, sizeof(msg), true, true);
          AudioFrame out;
          inst.cloud->GetAudioFrame(&out);
        }
      }
    }
  });
  ASSERT_EQ(corvel_inspect_wait_idle(inst.id, 10000), 0);
  const std::vector<std::string> seq = inst.delegate->Sequence();
  ASSERT_EQ(seq.size(), static_cast<size_t>(entered.load() + exited.load()));
  for (size_t i = 0; i < seq.size(); ++i) {
    EXPECT_EQ(seq[i], i % 2 == 0 ? "OnEnterRoom" : "OnExitRoom") << "at " << i;
  }
}

TEST(Operations, DelegatesThatThrowAreCountedAndDeliveryGoesOn) {
  constexpr int kThreads = 3;
  static constexpr int kCount = 400;
  RunThreads(kThreads, [](int) {
    Instance inst;
    uint64_t thrown = 0;
    inst.delegate->hook = [&thrown](const char* name) {
      if (std::strcmp(name, "OnRequestKeyFrame") != 0) return;
      ++thrown;  // only the delivery thread writes; read after wait_idle
      if (thrown % 2) throw std::runtime_error("delegate failure");
      throw 42;
    };
    ASSERT_EQ(
        corvel_inspect_fire_many(inst.id, kSlotOnRequestKeyFrame, R"({"stream_type":1})", kCount),
        kCount);
    ASSERT_EQ(corvel_inspect_wait_idle(inst.id, 20000), 0);
    EXPECT_EQ(thrown, static_cast<uint64_t>(kCount));
    char* stats = corvel_inspect_stats_json(inst.id);
    ASSERT_NE(stats, nullptr);
    EXPECT_NE(std::strstr(stats, "\"callback_errors\":400"), nullptr) << stats;
    corvel_inspect_free(stats);
  });
}

TEST(Operations, SettingsAndLogFromManyThreadsWhileInstancesLog) {
  char dir_template[] = "/tmp/corvel-gtest-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  corvel_inspect_set_log_rotate_bytes(16 * 1024);
  std::atomic<bool> stop{false};
  std::thread loggers([&] {
    while (!stop.load()) {
      Instance inst;
      inst.cloud->EnterRoom(Params("logger", NewRoom()));
      inst.cloud->ExitRoom();
    }
  });
  RunThreads(3, [&](int t) {
    using corvel::live::OrbLiveSDK;
    for (int i = 0; i < 200; ++i) {
      switch ((i + t) % 6) {
        case 0:
          OrbLiveSDK::SetLogPath(dir.c_str());
          break;
        case 1:
          OrbLiveSDK::SetLogLevel(i % 3);
          break;
        case 2:
          OrbLiveSDK::DisableLogFile(i % 2 == 0);
          break;
        case 3:
          OrbLiveSDK::DisableLogCompress(i % 2 == 0);
          break;
        case 4:
          OrbLiveSDK::SetEnvironment(i % 2 ? "test" : "production");
          break;
        default: {
          OrbLiveSDK::SetSocks5Proxy("127.0.0.1", 1080, nullptr, nullptr);
          corvel_inspect_log(2, "a line from a settings thread");
          char* settings = corvel_inspect_settings_json();
          corvel_inspect_free(settings);
        }
      }
    }
  });
  stop.store(true);
  loggers.join();
  corvel_inspect_reset_settings();
  corvel_inspect_set_log_rotate_bytes(0);
  std::string rm = "rm -rf '" + dir + "'";
  EXPECT_EQ(std::system(rm.c_str()), 0);
}

TEST(Frames, CopiesOfOneFrameAreReadAndDroppedOnManyThreads) {
  const AudioFrame source = PcmFrame(48000, 20, 7);
  const size_t size = source.size();
  RunThreads(4, [&](int t) {
    for (int i = 0; i < 2000; ++i) {
      AudioFrame copy = source;  // shares the payload
      ASSERT_EQ(copy.size(), size);
      ASSERT_EQ(copy.data()[1], source.data()[1]);
      if (i % 3 == t % 3) {
        const uint8_t mine[] = {1, 2, 3, 4};
        copy.SetData(mine, sizeof(mine));  // replaces this copy's payload only
        ASSERT_EQ(copy.size(), sizeof(mine));
      }
      AudioFrame assigned;
      assigned = copy;
      ASSERT_EQ(assigned.size(), copy.size());
    }
  });
  EXPECT_EQ(source.size(), size);
}

// ---------------------------------------------------------------------------
// Rooms shared between instances.

TEST(Rooms, MembersOnManyThreadsSeeEachOtherAndMediaFlowsUntilDestroy) {
  if (!EngineHasSharedRooms()) GTEST_SKIP() << "the engine keeps rooms local to each instance";
  const uint32_t room = NewRoom();
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<Instance>> members(kThreads);
  for (auto& m : members) m = std::make_unique<Instance>();
  std::atomic<int> ready{0};
  RunThreads(kThreads, [&](int t) {
    Instance& me = *members[t];
    ASSERT_EQ(me.cloud->EnterRoom(Params("member-" + std::to_string(t), room)), ERR_OK);
    AudioEncodeParams audio;
    audio.sample_rate = 16000;
    ASSERT_EQ(me.cloud->CreateLocalAudioChannel(audio), ERR_OK);
    ASSERT_EQ(me.cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_OK);
    ready.fetch_add(1);
    while (ready.load() < kThreads) std::this_thread::sleep_for(1ms);
    for (int i = 0; i < kThreads; ++i) {
      if (i != t)
        me.cloud->Subscribe(("member-" + std::to_string(i)).c_str(), STREAM_TYPE_VIDEO_HIGH);
    }
    for (uint32_t i = 0; i < 40; ++i) {
      me.cloud->SendAudioFrame(PcmFrame(16000, 20, i * 20));
      me.cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, EncodedFrame(i));
      if (i % 8 == 0) {
        const char sei[] = "sei";
        me.cloud->SendSeiMessage(5, sei, sizeof(sei));
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  for (auto& m : members) {
    EXPECT_TRUE(m->delegate->WaitFor([&] {
      return m->delegate->remote_enters.load() >= kThreads - 1;
    })) << "saw "
        << m->delegate->remote_enters.load() << " others";
    EXPECT_TRUE(m->delegate->WaitFor([&] {
      return m->delegate->audio_frames.load() > 0 && m->delegate->video_frames.load() > 0;
    }));
  }
  // Everyone leaves at once, half by ExitRoom then Destroy, half by Destroy
  // alone, while the others' media is still being routed.
  RunThreads(kThreads, [&](int t) {
    if (t % 2) members[t]->cloud->ExitRoom();
    members[t]->Destroy();
  });
}

TEST(Rooms, CustomMessagesArriveInOrderPerSenderWhileSendersComeAndGo) {
  if (!EngineHasSharedRooms()) GTEST_SKIP() << "the engine keeps rooms local to each instance";
  const uint32_t room = NewRoom();
  Instance receiver;
  ASSERT_EQ(receiver.cloud->EnterRoom(Params("receiver", room)), ERR_OK);
  constexpr int kSenders = 3;
  constexpr int kMessages = 20;  // below the per-second limit of one sender
  std::atomic<int> sent{0};
  RunThreads(kSenders, [&](int t) {
    Instance sender;
    ASSERT_EQ(sender.cloud->EnterRoom(Params("sender-" + std::to_string(t), room)), ERR_OK);
    ASSERT_TRUE(
        sender.delegate->WaitFor([&] { return sender.delegate->remote_enters.load() >= 1; }));
    for (int i = 0; i < kMessages; ++i) {
      const std::string text = "message " + std::to_string(i);
      if (sender.cloud->SendCustomCmdMsg(1 + t, text.data(), text.size(), true, true)) {
        sent.fetch_add(1);
      }
    }
    // Stay until this sender's messages have arrived, then leave by Destroy.
    EXPECT_TRUE(receiver.delegate->WaitFor([&] {
      return receiver.delegate->MessagesFromLocked("sender-" + std::to_string(t), 1 + t) >=
             static_cast<size_t>(kMessages);
    }));
  });
  EXPECT_EQ(sent.load(), kSenders * kMessages);
  const auto seqs = receiver.delegate->MessageSeqs();
  ASSERT_EQ(seqs.size(), static_cast<size_t>(kSenders));
  for (const auto& [key, list] : seqs) {
    EXPECT_EQ(list.size(), static_cast<size_t>(kMessages)) << key.first;
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end())) << key.first;
    EXPECT_EQ(std::adjacent_find(list.begin(), list.end()), list.end()) << key.first;
  }
}

TEST(Rooms, JoinLeaveAndDestroyChurnInOneRoomWithTrafficFlowing) {
  if (!EngineHasSharedRooms()) GTEST_SKIP() << "the engine keeps rooms local to each instance";
  const uint32_t room = NewRoom();
  // A resident that keeps sending while the others churn.
  Instance resident;
  ASSERT_EQ(resident.cloud->EnterRoom(Params("resident", room)), ERR_OK);
  AudioEncodeParams audio;
  audio.sample_rate = 16000;
  ASSERT_EQ(resident.cloud->CreateLocalAudioChannel(audio), ERR_OK);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (uint32_t i = 0; !stop.load(); ++i) {
      resident.cloud->SendAudioFrame(PcmFrame(16000, 20, i * 20));
      const char msg[] = "ping";
      resident.cloud->SendCustomCmdMsg(2, msg, sizeof(msg), false, false);
      std::this_thread::sleep_for(3ms);
    }
  });
  RunThreads(4, [&](int t) {
    std::mt19937 rng(t);
    for (int i = 0; i < 12; ++i) {
      Instance churner;
      // Two threads reuse user ids, so the room also replaces members.
      const std::string user =
          "churn-" + std::to_string(t % 2 ? t : 0) + "-" + std::to_string(i % 3);
      if (churner.cloud->EnterRoom(Params(user, room)) != ERR_OK) continue;
      churner.cloud->CreateLocalAudioChannel(audio);
      churner.cloud->SendAudioFrame(PcmFrame(16000, 20, i));
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
      if (rng() % 2) churner.cloud->ExitRoom();
      // ~Instance destroys, with or without having left first.
    }
  });
  stop.store(true);
  sender.join();
  EXPECT_GT(resident.delegate->remote_enters.load(), 0u);
  ASSERT_TRUE(resident.delegate->WaitFor([&] {
    return resident.delegate->remote_exits.load() >= resident.delegate->remote_enters.load();
  })) << resident.delegate->remote_enters.load()
      << " entered, " << resident.delegate->remote_exits.load() << " left";
}

TEST(Rooms, ReconfiguringMembersWhileTheRouterDeliversAndOthersPull) {
  if (!EngineHasSharedRooms()) GTEST_SKIP() << "the engine keeps rooms local to each instance";
  const uint32_t room = NewRoom();
  Instance talker, puller, watcher;
  EnterRoomParams pull_params = Params("puller", room);
  pull_params.audio_obtain_params.audio_obtain_method = AUDIO_OBTAIN_METHOD_GET;
  pull_params.audio_obtain_params.enable_remote_audio_mix = true;
  EnterRoomParams watch_params = Params("watcher", room);
  watch_params.audio_obtain_params.enable_remote_audio_mix = true;
  ASSERT_EQ(talker.cloud->EnterRoom(Params("talker", room)), ERR_OK);
  ASSERT_EQ(puller.cloud->EnterRoom(pull_params), ERR_OK);
  ASSERT_EQ(watcher.cloud->EnterRoom(watch_params), ERR_OK);
  AudioEncodeParams audio;
  audio.sample_rate = 16000;
  ASSERT_EQ(talker.cloud->CreateLocalAudioChannel(audio), ERR_OK);
  ASSERT_EQ(talker.cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), ERR_OK);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> pulled{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // media, paced and unpaced
    for (uint32_t i = 0; !stop.load(); ++i) {
      talker.cloud->SendAudioFrame(PcmFrame(16000, 20, i * 20));
      talker.cloud->SendContinuousAudioFrame(PcmFrame(16000, 20, i * 20), i % 50 == 0);
      talker.cloud->SendVideoFrame(STREAM_TYPE_VIDEO_HIGH, EncodedFrame(i));
      const char sei[] = "sei";
      talker.cloud->SendSeiMessage(5, sei, sizeof(sei));
      std::this_thread::sleep_for(2ms);
    }
  });
  std::atomic<bool> stop_pull{false};
  std::thread pull_thread([&] {  // the puller drains its mix
    AudioFrame frame;
    while (!stop_pull.load()) {
      if (puller.cloud->GetAudioFrame(&frame) == ERR_OK) pulled.fetch_add(1);
      std::this_thread::sleep_for(1ms);
    }
  });
  threads.emplace_back([&] {  // the watcher and the talker change their minds
    VideoEncodeParams encode;
    VADParams vad;
    AudioVolumeEvaluateParams volume{100};
    for (int i = 0; !stop.load(); ++i) {
      watcher.cloud->Subscribe("talker", STREAM_TYPE_VIDEO_HIGH);
      watcher.cloud->Unsubscribe("talker", i % 2 ? STREAM_TYPE_AUDIO : STREAM_TYPE_VIDEO_HIGH);
      watcher.cloud->Subscribe("talker", STREAM_TYPE_AUDIO);
      encode.bitrate_bps = 100000 + i;
      talker.cloud->SetVideoEncodeParam(STREAM_TYPE_VIDEO_HIGH, encode);
      vad.enable = i % 2;
      talker.cloud->EnableVoiceActivityDetection(vad);
      watcher.cloud->EnableAudioVolumeEvaluation(volume);
      if (i % 10 == 5) {
        talker.cloud->DestroyLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
        talker.cloud->CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  std::this_thread::sleep_for(400ms);
  // The puller stops pulling and is destroyed while audio is still routed to
  // it.
  stop_pull.store(true);
  pull_thread.join();
  puller.Destroy();
  std::this_thread::sleep_for(100ms);
  stop.store(true);
  for (auto& t : threads) t.join();
  EXPECT_GT(watcher.delegate->audio_frames.load(), 0u);
}

}  // namespace
