// One engine instance.
//
// Operations run on the caller's thread: they validate their arguments, change
// the instance state under mu_ and queue the callbacks they cause. Callbacks
// are delivered only by the delivery pool, through the instance's strand
// (Dispatcher), never on the calling thread, and no lock of the instance is
// held while the delegate runs, so any operation may be called from inside a
// callback.
//
// Entering a room gives the instance a RoomSession of the selected room
// backend (room_backend.h); sends are validated here and handed to the
// session, and what the room delivers arrives through the instance's
// MemberSink side (Deliver) and the pull buffer.
#ifndef CORVEL_ENGINE_CLOUD_H_
#define CORVEL_ENGINE_CLOUD_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "audio_opus.h"
#include "counters.h"
#include "dispatcher.h"
#include "room_backend.h"
#include "status.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

class Cloud final : public vora::VORACloud, public MemberSink {
 public:
  // Custom command limits.
  static constexpr uint32_t kMaxCmdId = 10;
  static constexpr size_t kMaxCmdBytes = 1024;
  static constexpr size_t kMaxCmdPerSecond = 30;
  static constexpr size_t kMaxCmdBytesPerSecond = 8192;
  // Audio one SendAudioFrame may carry (as much as the continuous-audio send
  // queue holds).
  static constexpr int kMaxAudioFrameMs = 10000;
  // SEI messages waiting for the next video frame.
  static constexpr size_t kMaxPendingSei = 32;

  Cloud(uint64_t id, vora::VORACloudDelegate* delegate, size_t queue_capacity,
        std::shared_ptr<InstanceCounters> counters);
  ~Cloud() override;
  Cloud(const Cloud&) = delete;
  Cloud& operator=(const Cloud&) = delete;

  uint64_t id() const { return id_; }
  const std::shared_ptr<InstanceCounters>& counters() const { return counters_; }

  // ---- engine operations ----
  int EnterRoom(const vora::EnterRoomParams& params) override;
  int ExitRoom() override;
  int Subscribe(const char* user_id, vora::StreamType type) override;
  int Unsubscribe(const char* user_id, vora::StreamType type) override;
  int GetAudioFrame(vora::AudioFrame* frame) override;
  int CreateLocalAudioChannel(const vora::AudioEncodeParams& params) override;
  int SendAudioFrame(const vora::AudioFrame& frame) override;
  int SendContinuousAudioFrame(const vora::AudioFrame& frame, bool clear_send_queue) override;
  int DestroyLocalAudioChannel() override;
  int CreateLocalVideoChannel(vora::StreamType type) override;
  int SendVideoFrame(vora::StreamType type, const vora::VideoFrame& frame) override;
  int SendVideoFrame(vora::StreamType type, const vora::PixelFrame& frame) override;
  void SetVideoEncodeParam(vora::StreamType type, const vora::VideoEncodeParams& param) override;
  int SendSeiMessage(int message_type, const char* message, size_t length) override;
  bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                        bool ordered) override;
  int DestroyLocalVideoChannel(vora::StreamType type) override;
  void EnableVoiceActivityDetection(const vora::VADParams& params) override;
  int EnableAudioVolumeEvaluation(const vora::AudioVolumeEvaluateParams& params) override;
  int startAsrService(const vora::AsrParams& params) override;
  int stopAsrService() override;
  int CallExperimentalAPI(const char* json) override;

  // ---- lifetime (used by VORACloud::Create/Destroy) ----
  void Start();
  bool OnDeliveryThread() const { return dispatcher_.OnDeliveryThread(); }
  // For the hook only: the delegate, to be called outside delivery.
  vora::VORACloudDelegate* delegate() const { return dispatcher_.delegate(); }
  // Stops the firehose and delivery and waits for both; not on the delivery
  // thread.
  void Shutdown();
  // Same without waiting for a callback, from an engine thread (this
  // instance's delivery thread or another's): with a callback in progress,
  // delivery ends after it and the delivery thread then releases `self`
  // (true); otherwise delivery has ended and `self` is left to the caller.
  bool ShutdownOnEngineThread(std::shared_ptr<Cloud>& self);

  // ---- delivery ----
  Dispatcher::PostResult PostCallback(Task task);
  // Posts in order with one wake-up of the delivery thread; empties `tasks`.
  Dispatcher::PostResult PostCallbacks(std::vector<Task>& tasks);
  // MemberSink: what the room backend delivers.
  void Deliver(std::vector<Task>& tasks) override { PostCallbacks(tasks); }
  void Deliver(Task task) override { PostCallback(std::move(task)); }

  // ---- simulated conditions (driven through the hook) ----
  LinkConditions& conditions() { return *conditions_; }
  // Re-evaluates what the conditions imply (video bitrate requests).
  void ConditionsChanged();
  // False when not in a room.
  bool SimulateDisconnect(std::chrono::milliseconds duration);
  // Delivers OnError(code); codes that end a session (banned, service
  // suspended) also remove the instance from its room.
  void SimulateServerError(int code);
  // Calls visit with the instance's room state (corvel_hook.h).
  void VisitMediaState(void (*visit)(void*, const corvel_media_state*), void* context);
  bool WaitIdle(std::chrono::milliseconds timeout) { return dispatcher_.WaitIdle(timeout); }
  size_t QueueDepth() const { return dispatcher_.QueueDepth(); }
  size_t QueueCapacity() const { return dispatcher_.capacity(); }

  // ---- firehose: an engine thread that keeps queueing one callback ----
  // False when one is already running.
  bool StartFirehose(Task prototype, std::chrono::microseconds interval);
  // Number of tasks it queued; nullopt when none was running.
  std::optional<uint64_t> StopFirehose();

 private:
  struct RoomState {
    bool in_room = false;
    vora::ConnectionState connection = vora::CONNECTION_STATE_INIT;
    std::string user_id;
    uint32_t room_id = 0;
    std::string str_room_id;
    vora::VORARole role = vora::VORA_ROLE_ANCHOR;
    vora::VORAScene scene = vora::VORA_SCENE_VIDEO_CALL;
    vora::AudioObtainParams audio_obtain;
    bool pixel_input = false;
    bool pixel_output = false;
    bool audio_channel = false;
    vora::AudioEncodeParams audio_params;
    std::set<int> video_channels;  // StreamType values
    std::set<std::pair<std::string, int>> subscriptions;
  };

  // Queues a callback; call with mu_ held so callbacks keep the order of the
  // state changes that caused them.
  void PostLocked(const char* name, DelegateCall call);
  int CheckSendLocked(const char* op, const vora::AudioFrame& frame);
  std::optional<vora::AudioFrame> DecodeIfOpus(const char* op, const vora::AudioFrame& frame,
                                               OpusSendDecoder* opus, int* result);
  template <typename Frame>
  int SendVideoFrameOf(vora::StreamType type, const Frame& frame);
  void SendVideoToRoom(RoomSession& session, int type, const vora::VideoFrame* encoded,
                       const vora::PixelFrame* pixel, std::vector<SeiMessage> sei);
  // Takes note of an eviction by the room (replacement, server removal).
  void SyncEvictionLocked();
  void DropSendStateLocked();
  // Leaves the room, if any (mu_ held); answers the session, for the caller
  // to let go of after mu_.
  std::shared_ptr<RoomSession> LeaveLocked(int reason, vora::ConnectionState* state);
  // True (with the reason kept) in a forked child for an instance of the
  // parent: its threads are gone and its locks may be held forever.
  bool Inert(const char* op) const;
  void FirehoseLoop(Task prototype, std::chrono::microseconds interval);

  // Counts operations running on this instance. The instance may be destroyed
  // from one of its callbacks while the operation that queued the callback is
  // still returning on another thread; the destructor waits for them.
  class OpScope {
   public:
    explicit OpScope(Cloud& cloud) : cloud_(cloud) {
      cloud_.active_ops_.fetch_add(1, std::memory_order_acq_rel);
      BeginOperation();
    }
    ~OpScope() { cloud_.active_ops_.fetch_sub(1, std::memory_order_acq_rel); }
    OpScope(const OpScope&) = delete;
    OpScope& operator=(const OpScope&) = delete;

   private:
    Cloud& cloud_;
  };

  const uint64_t id_;
  const uint64_t generation_;  // ForkGeneration() when made
  const std::shared_ptr<InstanceCounters> counters_;
  Dispatcher dispatcher_;

  std::mutex mu_;
  RoomState room_;
  std::map<int, vora::VideoEncodeParams> video_encode_;
  vora::VADParams vad_;
  uint32_t volume_interval_ms_ = 0;
  bool shutting_down_ = false;
  std::shared_ptr<RoomSession> session_;
  std::shared_ptr<Pacer> pacer_;
  std::shared_ptr<OpusSendDecoder> opus_in_;  // Opus frames sent into the audio channel
  const std::shared_ptr<PullBuffer> pull_ = std::make_shared<PullBuffer>();
  const std::shared_ptr<LinkConditions> conditions_ = std::make_shared<LinkConditions>();
  std::map<uint32_t, uint32_t> cmd_seq_;  // last sequence per command id
  std::deque<std::pair<std::chrono::steady_clock::time_point, size_t>> cmd_window_;  // last second
  std::vector<SeiMessage> pending_sei_;

  std::atomic<int> active_ops_{0};

  std::mutex firehose_mu_;
  std::thread firehose_;
  std::atomic<bool> firehose_stop_{false};
  std::atomic<uint64_t> firehose_count_{0};
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_CLOUD_H_
