// What the engine keeps about an instance for inspection: the operations it
// received (as JSON objects, in call order) and its delivery counters. The
// record outlives the instance so tests can read it after Destroy.
#ifndef CORVEL_ENGINE_INSTANCE_RECORD_H_
#define CORVEL_ENGINE_INSTANCE_RECORD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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
  std::atomic<uint64_t> audio_sent{0};        // frames into the room (paced frames included)
  std::atomic<uint64_t> video_sent{0};
  std::atomic<uint64_t> messages_sent{0};     // custom commands accepted
  std::atomic<uint64_t> sei_sent{0};
  std::atomic<uint64_t> audio_received{0};    // frames queued to the delegate or the pull buffer
  std::atomic<uint64_t> mixed_frames{0};      // of which mixed
  std::atomic<uint64_t> video_received{0};
  std::atomic<uint64_t> messages_received{0};
  std::atomic<uint64_t> sei_received{0};
  std::atomic<uint64_t> lost{0};              // simulated loss on the way to this instance
  std::atomic<uint64_t> missed_messages{0};   // unreliable commands lost on the way here
  std::atomic<uint64_t> disconnected_drops{0};  // sent or due while a side was disconnected
  std::atomic<uint64_t> room_queue_drops{0};  // sends refused by a full room queue
  std::atomic<uint64_t> pull_drops{0};        // oldest pull frames dropped (GetAudioFrame too slow)
  std::atomic<uint64_t> mixer_drops{0};       // blocks dropped by a full mixer input
  std::atomic<uint64_t> pacing_drops{0};      // continuous audio dropped by a full send queue
  std::atomic<uint64_t> pacing_cleared{0};    // continuous audio frames dropped by clear_send_queue
  std::atomic<uint64_t> waiting_key_drops{0};   // delta frames before the first key frame
  std::atomic<uint64_t> undecodable_drops{0};   // encoded/pixel form the receiver cannot take
};

// Memory of the operation records kept by all instances together. When a
// new record does not fit, the reclaimer (installed by the registry) frees
// records of destroyed instances, oldest first; if that is not enough the new
// record is counted as omitted instead of kept. Records of destroyed
// instances are further held to kDestroyedBytes in all (Registry::Destroy).
class RecordBudget {
 public:
  static constexpr uint64_t kBytes = 256u << 20;
  static constexpr uint64_t kDestroyedBytes = 16u << 20;
  // Frees at least `bytes` if it can; answers whether it freed anything.
  using Reclaimer = bool (*)(uint64_t bytes);

  static void SetReclaimer(Reclaimer reclaimer);
  static bool Reserve(uint64_t bytes);
  static void Release(uint64_t bytes);
  static uint64_t used();
};

class InstanceRecord {
 public:
  // Operation records kept per instance; later ones are counted, not stored.
  static constexpr size_t kMaxCalls = 20000;

  explicit InstanceRecord(uint64_t id) : id_(id) {}
  ~InstanceRecord();
  InstanceRecord(const InstanceRecord&) = delete;
  InstanceRecord& operator=(const InstanceRecord&) = delete;

  uint64_t id() const { return id_; }

  void AddCall(std::string json_object);
  // True when the record is full: the operation is counted as omitted and
  // its record need not be built. False leaves it to AddCall (which still
  // counts it if the record filled up in the meantime).
  bool OmitIfFull();
  // JSON array of the recorded operations.
  std::string CallsJson() const;
  void ClearCalls();
  // Frees the kept records (counted as omitted from then on); the bytes freed.
  uint64_t DropCalls();
  uint64_t omitted_calls() const;
  uint64_t kept_bytes() const;

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
  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  uint64_t calls_bytes_ = 0;  // reserved from RecordBudget for calls_
  uint64_t omitted_ = 0;
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> callback_errors_{0};
  std::atomic<uint64_t> discarded_{0};
  MediaCounters media_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_INSTANCE_RECORD_H_
