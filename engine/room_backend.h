// The seam between what an instance does and where its rooms live.
//
// An instance (Cloud) validates operations, keeps its state, turns what
// happens into callbacks and runs them on its delivery thread. A room
// backend keeps rooms: membership, channels, subscriptions, carrying media
// and messages between members, network conditions. The instance enters a
// room through RoomBackend::Enter and gets a RoomSession, the member it
// drives; the backend reports back through the instance's MemberSink, with
// the callbacks of room_events.h. Work on audio that does not depend on where
// the room lives is in components any backend uses: AudioConversions
// (audio_convert.h: a sender's PCM in each receiver format, converted once,
// same format forwarded as it is), AudioReceiver (audio_receive.h: per-user
// delivery, mixing, the pull buffer, voice activity), Pacer (media_buffers.h:
// continuous audio, which the backend drains on its own clock).
//
// Threads: RoomSession functions are called on operation threads under the
// instance mutex (Cloud::mu_), never on a delivery thread's behalf of the
// delegate. A backend calls MemberSink::Deliver from any of its threads,
// under its own locks if it likes: Deliver only queues. A backend must
//   * report only through the sink (never call the delegate, never take an
//     instance mutex);
//   * never hold an engine lock while it waits on the network, and bound
//     every wait;
//   * return from Leave, Evict and the session's destructor in bounded time:
//     after Leave returns (or once Evicted() is true) the sink is not called
//     again for this session;
//   * never block a sender: media calls queue or drop (and count).
// Lock order: Cloud::mu_ -> the backend's locks -> leaf queues (BoundedQueue,
// Pacer) -> Dispatcher::mu_ (inside Deliver).
#ifndef CORVEL_ENGINE_ROOM_BACKEND_H_
#define CORVEL_ENGINE_ROOM_BACKEND_H_

#include <atomic>
#include <chrono>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corvel_hook.h"
#include "counters.h"
#include "dispatcher.h"
#include "media_buffers.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

// Reasons given with OnRemoteUserExitRoom.
inline constexpr int kExitReasonLeft = 0;      // ExitRoom or Destroy
inline constexpr int kExitReasonDropped = 1;   // its connection was lost (a networked backend)
inline constexpr int kExitReasonRemoved = 2;   // removed by the server (banned, suspended)
inline constexpr int kExitReasonReplaced = 3;  // the same user id entered from another instance

// Simulated network of one instance (its link to the server). Written through
// the hook (corvel_hook.h), read by a backend without locks.
struct LinkConditions {
  std::atomic<uint32_t> loss_ppm{0};        // packets lost per million
  std::atomic<uint32_t> delay_ms{0};        // one-way delay
  std::atomic<uint32_t> bandwidth_kbps{0};  // 0: unlimited
};

// Process-wide room tunables (the hook may change them).
struct RouterTuning {
  std::atomic<uint32_t> quality_interval_ms{2000};
  std::atomic<uint32_t> mix_wait_ms{60};
  static RouterTuning& Get();
};

struct SeiMessage {
  int type = 0;
  std::string bytes;
};

struct RoomKey {
  uint32_t app = 0;
  bool text = false;
  std::string id;
  auto operator<=>(const RoomKey&) const = default;
  std::string Describe() const;
};

// What an instance brings into a room.
struct MemberSpec {
  uint64_t instance_id = 0;
  std::shared_ptr<InstanceCounters> counters;
  std::shared_ptr<LinkConditions> conditions;
  std::shared_ptr<PullBuffer> pull;
  std::string user_id;
  vora::VORARole role = vora::VORA_ROLE_ANCHOR;
  vora::AudioObtainParams obtain;
  bool pixel_output = false;
  bool vad = false;
  std::map<int, vora::VideoEncodeParams> encode;
};

// The instance side of a membership: where its backend delivers.
class MemberSink {
 public:
  // Queues callbacks (room_events.h) on the instance's delivery queue in
  // order, waking its thread once; empties `tasks`. Never blocks.
  virtual void Deliver(std::vector<Task>& tasks) = 0;
  virtual void Deliver(Task task) = 0;

 protected:
  ~MemberSink() = default;
};

// One instance's membership of one room.
class RoomSession {
 public:
  virtual ~RoomSession() = default;

  // Leaves the room (the others are told); `state` receives the member's
  // connection state. False when the room had already ended the session.
  virtual bool Leave(int reason, vora::ConnectionState* state) = 0;
  // True once the room ended the session on its own (same user elsewhere,
  // removal by the server): its teardown callbacks are already delivered.
  virtual bool Evicted() const = 0;
  // The server ends the session (room_events::SessionEnd with `error`).
  virtual void Evict(int reason, int error) = 0;

  // ---- channels and subscriptions ----
  // The pacer continuous audio goes into; the backend drains it.
  virtual std::shared_ptr<Pacer> OpenAudio(const vora::AudioEncodeParams& params) = 0;
  virtual void CloseAudio() = 0;
  virtual void OpenVideo(int type) = 0;
  virtual void CloseVideo(int type) = 0;
  virtual void SetSubscription(const std::string& user, int type, bool on) = 0;
  virtual void SetVad(bool on) = 0;
  virtual void SetEncodeParam(int type, const vora::VideoEncodeParams& params) = 0;

  // ---- sending (queue or drop; false when dropped, counted) ----
  // PCM in the audio channel's format, any whole number of samples.
  virtual bool SendAudio(const vora::AudioFrame& frame) = 0;
  // The pacer went from idle to holding audio.
  virtual void PacerStarted() = 0;
  virtual bool SendVideo(int type, const vora::VideoFrame* encoded, const vora::PixelFrame* pixel,
                         std::vector<SeiMessage> sei) = 0;
  virtual bool SendMessage(uint32_t cmd, uint32_t seq, std::string bytes, bool reliable,
                           bool ordered) = 0;

  // ---- network ----
  // The instance's LinkConditions changed.
  virtual void ConditionsChanged() = 0;
  // Loss of connection for `duration` (simulated); false when not present.
  virtual bool Disconnect(std::chrono::milliseconds duration) = 0;

  // The hook's description of the member's room (corvel_hook.h).
  virtual void Describe(void (*visit)(void*, const corvel_room*), void* context) = 0;
};

class RoomBackend {
 public:
  virtual const char* name() const = 0;
  // True when the backend reports (CONNECTING, CONNECTED) and OnEnterRoom
  // itself (room_events::Entered), once the server let the member in; the
  // instance then reports only (before, CONNECTING) at EnterRoom.
  virtual bool ReportsEntry() const { return false; }
  // Enters room `key`. The entry's callbacks (who is there) go to `sink`,
  // which stays valid until the session has left or been evicted.
  virtual std::shared_ptr<RoomSession> Enter(const RoomKey& key, MemberSpec spec,
                                             MemberSink& sink) = 0;
  // Calls visit for each room (the hook's room list).
  virtual void VisitRooms(void (*visit)(void*, const corvel_room*), void* context) = 0;

 protected:
  ~RoomBackend() = default;
};

// The backend EnterRoom uses, chosen process-wide from the engine settings:
// the Janus backend (room_janus.h) when the environment is
// "janus+http://HOST:PORT/PATH", the loopback backend (rooms inside this
// process) for every other environment.
RoomBackend& SelectedRoomBackend();
// Calls visit for the rooms of every backend.
void VisitAllRooms(void (*visit)(void*, const corvel_room*), void* context);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_ROOM_BACKEND_H_
