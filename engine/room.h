// The loopback backend (room_backend.h): rooms shared by the engine
// instances of one process, each with its media router.
//
// A Room holds its members (one per instance that entered it) and one router
// thread. Membership changes run on the caller's thread under the room mutex
// and queue their callbacks there, so every member sees them in the same
// order. Media and messages are queued by the sender (its inbox, a bounded
// queue: the sender never waits for routing) and routed by the router
// thread: audio is converted once per (sender, receiver format)
// (AudioConversions), handed to each receiver's AudioReceiver, video and
// messages are fanned out per subscription, and the simulated network (loss,
// delay, disconnection) is applied per link. Time-driven work (continuous
// audio pacing, delayed delivery, mixer waits, network quality reports,
// reconnection) runs on the same thread, which waits on the inbox until the
// next deadline.
//
// Lock order: Cloud::mu_ -> LoopbackBackend::mu_ -> Room::mu_ -> leaf queues
// (inbox, mixer inputs, pull buffer) / Pacer::mu -> Dispatcher::mu_ (through
// the member's sink). The router never takes an instance mutex: what it
// needs of an instance lives in its Member. A Member's sink is used only
// under Room::mu_ while the member is present; an instance leaves its room
// (under that mutex) before it is destroyed.
#ifndef CORVEL_ENGINE_ROOM_H_
#define CORVEL_ENGINE_ROOM_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio_convert.h"
#include "bounded_queue.h"
#include "dispatcher.h"
#include "frames.h"
#include "media_buffers.h"
#include "room_backend.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

struct MemberRoute;  // router-private per-member state (room_internal.h)

// An instance in a loopback room (the room side of its LoopbackSession).
struct Member {
  Member(MemberSpec spec, MemberSink& sink);
  ~Member();

  MemberSpec info;  // vad and encode change under Room::mu_
  MemberSink& sink;
  // ---- under Room::mu_ ----
  bool present = true;
  vora::ConnectionState connection = vora::CONNECTION_STATE_CONNECTED;
  Clock::time_point reconnect_at{};
  bool audio_open = false;
  vora::AudioEncodeParams audio_params;
  std::shared_ptr<Pacer> pacer;
  std::set<int> video_open;
  std::set<std::string> audio_unsubscribed;
  std::set<std::pair<std::string, int>> video_subscribed;
  std::map<int, int> requested_bitrate;  // last bitrate asked of this sender per stream
  std::unique_ptr<MemberRoute> route;
  // Set when the room removed the member on its own (replacement, server
  // removal); the instance notices at its next operation.
  std::atomic<bool> evicted{false};

  const std::string& user() const { return info.user_id; }
  bool visible() const { return info.role == vora::VORA_ROLE_ANCHOR; }
  bool connected() const { return connection == vora::CONNECTION_STATE_CONNECTED; }
};

class Room {
 public:
  static constexpr size_t kInboundCapacity = 16384;

  explicit Room(RoomKey key);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  const RoomKey& key() const { return key_; }

  // ---- membership (caller threads) ----
  // Adds a member; one already present with the same user id is evicted
  // first. Queues the newcomer's view of the room and everyone's view of the
  // newcomer.
  std::shared_ptr<Member> Join(MemberSpec spec, MemberSink& sink);
  // Removes a present member; its state (connection) is returned. False when
  // it was no longer present (evicted).
  bool Leave(const std::shared_ptr<Member>& member, int reason,
             vora::ConnectionState* state = nullptr);
  // Removes a member on the server's behalf and tells it (OnError first when
  // error != 0, then channel teardown, disconnection, OnExitRoom).
  void Evict(const std::shared_ptr<Member>& member, int reason, int error);
  bool Empty();

  std::shared_ptr<Pacer> OpenAudio(Member& m, const vora::AudioEncodeParams& params);
  void CloseAudio(Member& m);
  void OpenVideo(Member& m, int type);
  void CloseVideo(Member& m, int type);
  void SetSubscription(Member& m, const std::string& user, int type, bool on);
  void SetVad(Member& m, bool on);
  void SetEncodeParam(Member& m, int type, const vora::VideoEncodeParams& p);
  // The instance's simulated conditions changed (bandwidth may ask for a new
  // video bitrate).
  void ConditionsChanged(Member& m);
  // Simulated loss of connection: the member is told it is disconnected and
  // reconnecting, and reconnects after `duration`.
  bool Disconnect(Member& m, std::chrono::milliseconds duration);
  std::vector<std::string> UserIds();

  // ---- media (caller threads; never blocks on routing) ----
  // False when the room queue is full (counted).
  bool SendAudio(const std::shared_ptr<Member>& m, const vora::AudioFrame& frame);
  void WakePacer();
  bool SendVideo(const std::shared_ptr<Member>& m, int type, const vora::VideoFrame* encoded,
                 const vora::PixelFrame* pixel, std::vector<SeiMessage> sei);
  bool SendMessage(const std::shared_ptr<Member>& m, uint32_t cmd, uint32_t seq, std::string bytes,
                   bool reliable, bool ordered);

  // Calls visit with a description of the room (corvel_hook.h), the room
  // locked against callers meanwhile.
  void Describe(void (*visit)(void*, const corvel_room*), void* context);

 private:
  struct Packet {
    std::shared_ptr<Member> from;
    enum Kind { kAudio, kVideo, kMessage } kind = kAudio;
    vora::AudioFrame audio;
    int stream = 0;
    std::optional<vora::VideoFrame> encoded;
    std::optional<vora::PixelFrame> pixel;
    std::vector<SeiMessage> sei;
    uint32_t cmd = 0;
    uint32_t seq = 0;
    std::string bytes;
    bool reliable = false;
    bool ordered = false;
  };
  // Receivers of one sender's audio wanting one output format.
  struct AudioGroup {
    AudioFormat format{};
    std::vector<const std::shared_ptr<Member>*> receivers;  // into members_
    bool voice = false;
  };
  struct Delayed {
    Clock::time_point due;
    uint64_t order;
    std::shared_ptr<Member> to;
    std::function<void()> run;  // runs under mu_ if `to` is still present
    bool operator>(const Delayed& o) const { return due != o.due ? due > o.due : order > o.order; }
  };

  // Routing work done in one hold of mu_ while callers wait for it.
  static constexpr std::chrono::milliseconds kRouterSlice{2};
  static constexpr std::chrono::milliseconds kCallerWait{20};
  // The router's wait when nothing is due.
  static constexpr std::chrono::seconds kIdleWait{1};
  // Audio is routed in pieces of this length (a frame may carry up to 10 s).
  static constexpr int kAudioPieceMs = 200;

  bool Enqueue(Packet p);
  // mu_ for a caller thread; the router lets such callers in between packets.
  std::unique_lock<std::mutex> CallerLock();
  void LetCallersInLocked(std::unique_lock<std::mutex>& lock);
  void RouterMain();
  void RouteLocked(Packet& p, Clock::time_point now);
  // `source`: the payload `samples` come from, when known (see AudioConverter).
  void RouteAudioLocked(const std::shared_ptr<Member>& from, const PayloadPtr& source,
                        const int16_t* samples, size_t frames, int rate, int channels, uint32_t pts,
                        Clock::time_point now);
  void RouteVideoLocked(Packet& p, Clock::time_point now);
  void RouteMessageLocked(Packet& p, Clock::time_point now);
  void TimersLocked(Clock::time_point now);
  Clock::time_point NextDeadlineLocked();

  // Link between a sender and a receiver: false when the packet is lost (or a
  // side is disconnected); *due is when it arrives.
  bool Transit(Member& from, Member& to, Clock::time_point now, Clock::time_point* due,
               bool reliable);
  template <typename Run>
  void At(Clock::time_point due, Clock::time_point now, const std::shared_ptr<Member>& to,
          Run&& run);
  std::shared_ptr<Member> FindLocked(const std::string& user);
  bool ReceivesAudio(const Member& to, const Member& from) const;
  // Queues a callback for a present member (collected while routing).
  void PostTo(Member& m, Task task);
  void PostAllTo(Member& m, std::vector<Task>& tasks);
  // Hands the callbacks the router collected to the members' delivery queues,
  // one batch (and one wake-up) per member.
  void FlushLocked();
  void AnnounceLeaveLocked(Member& m, int reason);
  // Ends a present member's session on the room's behalf: its teardown
  // callbacks, the others told, the member removed and flagged evicted.
  void EndSessionLocked(const std::shared_ptr<Member>& member, int reason, int error);
  void RemoveLocked(const std::shared_ptr<Member>& m);
  void RequestBitratesLocked(Member& m);
  // Mixes what `to` has due, every sender with audio open expected.
  void MixerPumpLocked(Member& to, Clock::time_point now);
  void DeliverAudioBlockLocked(const std::shared_ptr<Member>& to,
                               const std::shared_ptr<Member>& from, const PayloadPtr& pcm,
                               uint32_t pts, bool voice, Clock::time_point now);
  void ArriveAudioLocked(Member& to, const Member& from, const PayloadPtr& pcm, uint32_t pts,
                         bool voice, Clock::time_point arrival);
  void QualityTickLocked(Member& m);

  const RoomKey key_;

  std::mutex mu_;
  std::vector<std::shared_ptr<Member>> members_;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<Delayed>> delayed_;
  uint64_t delayed_order_ = 0;
  std::mt19937_64 rng_;
  // While the router works (under mu_), callbacks for members are collected
  // in their routes' outboxes and posted by FlushLocked before mu_ is let go,
  // so each member's delivery thread wakes once per routing pass.
  bool routing_ = false;
  std::vector<Member*> outbox_members_;
  std::vector<Task> arrivals_;            // ArriveAudioLocked's callbacks, reused
  std::vector<AudioGroup> audio_groups_;  // RouteAudioLocked's, reused
  std::atomic<int> callers_{0};           // caller threads waiting for mu_

  // What senders hand the router; closed when the room goes.
  BoundedQueue<Packet> inbox_{kInboundCapacity};
  std::thread router_;
};

template <typename Run>
inline void Room::At(Clock::time_point due, Clock::time_point now,
                     const std::shared_ptr<Member>& to, Run&& run) {
  if (due <= now) {
    run();
    return;
  }
  delayed_.push(Delayed{due, delayed_order_++, to, std::function<void()>(std::forward<Run>(run))});
}

// All rooms of the process, by key.
class LoopbackBackend final : public RoomBackend {
 public:
  static LoopbackBackend& Get();
  const char* name() const override { return "loopback"; }
  std::shared_ptr<RoomSession> Enter(const RoomKey& key, MemberSpec spec,
                                     MemberSink& sink) override;
  void VisitRooms(void (*visit)(void*, const corvel_room*), void* context) override;
  // Drops the room from the table once it is empty.
  void Release(const std::shared_ptr<Room>& room);

  // Taken around fork() (fork.cpp).
  std::mutex& ForkMutex() { return mu_; }
  // In a forked child, with mu_ held: forgets the parent's rooms without
  // destroying them (their router threads do not exist here).
  void AbandonAfterFork();

 private:
  std::mutex mu_;
  std::map<RoomKey, std::shared_ptr<Room>> rooms_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_ROOM_H_
