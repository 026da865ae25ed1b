// Counters of an instance: delivery outcomes and what the media router did
// for it. Shared with the room's Member and with the hook (corvel_hook.h), so
// they outlive the instance.
#ifndef CORVEL_ENGINE_COUNTERS_H_
#define CORVEL_ENGINE_COUNTERS_H_

#include <atomic>
#include <cstdint>

namespace corvel::engine {

// Process-wide totals over all instances.
struct EngineTotals {
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> callback_errors{0};

  static EngineTotals& Get();
};

// What the media router did for one instance. Senders count what they put
// into their room; receivers count what reached their delivery queue and what
// was dropped on the way, by cause.
struct MediaCounters {
  std::atomic<uint64_t> audio_sent{0};  // frames into the room (paced frames included)
  std::atomic<uint64_t> video_sent{0};
  std::atomic<uint64_t> messages_sent{0};  // custom commands accepted
  std::atomic<uint64_t> sei_sent{0};
  std::atomic<uint64_t> audio_received{0};  // frames queued to the delegate or the pull buffer
  std::atomic<uint64_t> mixed_frames{0};    // of which mixed
  std::atomic<uint64_t> video_received{0};
  std::atomic<uint64_t> messages_received{0};
  std::atomic<uint64_t> sei_received{0};
  std::atomic<uint64_t> lost{0};                // simulated loss on the way to this instance
  std::atomic<uint64_t> missed_messages{0};     // unreliable commands lost on the way here
  std::atomic<uint64_t> disconnected_drops{0};  // sent or due while a side was disconnected
  std::atomic<uint64_t> room_queue_drops{0};    // sends refused by a full room queue
  std::atomic<uint64_t> pull_drops{0};      // oldest pull frames dropped (GetAudioFrame too slow)
  std::atomic<uint64_t> mixer_drops{0};     // blocks dropped by a full mixer input
  std::atomic<uint64_t> pacing_drops{0};    // continuous audio dropped by a full send queue
  std::atomic<uint64_t> pacing_cleared{0};  // continuous audio frames dropped by clear_send_queue
  std::atomic<uint64_t> waiting_key_drops{0};  // delta frames before the first key frame
  std::atomic<uint64_t> undecodable_drops{0};  // encoded/pixel form the receiver cannot take
};

class InstanceCounters {
 public:
  explicit InstanceCounters(uint64_t id) : id_(id) {}
  InstanceCounters(const InstanceCounters&) = delete;
  InstanceCounters& operator=(const InstanceCounters&) = delete;

  uint64_t id() const { return id_; }

  void CountDelivered() { delivered_.fetch_add(1, std::memory_order_relaxed); }
  void CountDropped();
  void CountCallbackError();
  void CountDiscarded(uint64_t n) { discarded_.fetch_add(n, std::memory_order_relaxed); }

  uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t callback_errors() const { return callback_errors_.load(std::memory_order_relaxed); }
  uint64_t discarded() const { return discarded_.load(std::memory_order_relaxed); }

  MediaCounters& media() { return media_; }
  const MediaCounters& media() const { return media_; }

 private:
  const uint64_t id_;
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> callback_errors_{0};
  std::atomic<uint64_t> discarded_{0};
  MediaCounters media_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_COUNTERS_H_
