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

class InstanceRecord {
 public:
  // Operation records kept per instance; later ones are counted, not stored.
  static constexpr size_t kMaxCalls = 20000;

  explicit InstanceRecord(uint64_t id) : id_(id) {}

  uint64_t id() const { return id_; }

  void AddCall(std::string json_object);
  // JSON array of the recorded operations.
  std::string CallsJson() const;
  void ClearCalls();
  uint64_t omitted_calls() const;

  void CountDelivered() { delivered_.fetch_add(1, std::memory_order_relaxed); }
  void CountDropped();
  void CountCallbackError();
  void CountDiscarded(uint64_t n) { discarded_.fetch_add(n, std::memory_order_relaxed); }

  uint64_t delivered() const { return delivered_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t callback_errors() const { return callback_errors_.load(std::memory_order_relaxed); }
  uint64_t discarded() const { return discarded_.load(std::memory_order_relaxed); }

 private:
  const uint64_t id_;
  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  uint64_t omitted_ = 0;
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> callback_errors_{0};
  std::atomic<uint64_t> discarded_{0};
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_INSTANCE_RECORD_H_
