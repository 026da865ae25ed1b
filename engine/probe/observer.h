// What the probe keeps about the engine, fed by the hook's observer: the
// operations each instance received (JSON objects in call order, bounded in
// number and memory), its counters, and the last call of each settings
// function. Installed when the library is loaded.
#ifndef CORVEL_PROBE_OBSERVER_H_
#define CORVEL_PROBE_OBSERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvel_hook.h"

namespace corvel::probe {

// The engine's driver table.
const corvel_driver& Driver();

// Owns a counters reference of the engine.
struct CountersRef {
  explicit CountersRef(corvel_counters_ref* ref) : ref(ref) {}
  ~CountersRef();
  CountersRef(const CountersRef&) = delete;
  CountersRef& operator=(const CountersRef&) = delete;
  corvel_counters Read() const;
  corvel_counters_ref* const ref;
};

class InstanceRecord {
 public:
  // Operation records kept per instance; later ones are counted, not stored.
  static constexpr size_t kMaxCalls = 20000;

  InstanceRecord(uint64_t id, std::unique_ptr<CountersRef> counters)
      : id_(id), counters_(std::move(counters)) {}
  ~InstanceRecord();

  uint64_t id() const { return id_; }
  const CountersRef* counters() const { return counters_.get(); }

  // True when full: the operation is counted as omitted and no record built.
  bool OmitIfFull();
  void AddCall(std::string json_object);
  std::string CallsJson() const;
  void ClearCalls();
  // Frees the kept records (counted as omitted from then on); bytes freed.
  uint64_t DropCalls();
  uint64_t omitted_calls() const;
  uint64_t kept_bytes() const;

 private:
  friend class Records;  // takes mu_ around fork()
  const uint64_t id_;
  const std::unique_ptr<CountersRef> counters_;
  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  uint64_t calls_bytes_ = 0;  // reserved from the budget for calls_
  uint64_t omitted_ = 0;
};

class Records {
 public:
  // All kept records together; those of destroyed instances; how many
  // destroyed instances keep theirs.
  static constexpr uint64_t kBytes = 256u << 20;
  static constexpr uint64_t kDestroyedBytes = 16u << 20;
  static constexpr size_t kKeptDestroyed = 256;

  static Records& Get();

  // The record of an instance (made for a live instance not seen yet), or
  // null for an id neither live nor kept.
  std::shared_ptr<InstanceRecord> Find(uint64_t id);
  void Created(uint64_t id, corvel_counters_ref* counters);
  void Destroyed(uint64_t id);

  bool Reserve(uint64_t bytes);
  void Release(uint64_t bytes);

  void Setting(const corvel_setting_call& call);
  nlohmann::ordered_json LastCalls() const;
  nlohmann::json CallCounts() const;
  void ForgetSettings();

  uint64_t NextSeq() { return seq_.fetch_add(1, std::memory_order_relaxed) + 1; }

  // Around fork(): every lock of the records is taken, so that the child
  // finds none held by a thread it does not have.
  void LockForFork();
  void UnlockAfterFork();

 private:
  std::vector<std::shared_ptr<InstanceRecord>> DestroyedOldestFirst();
  void TrimDestroyed();

  mutable std::mutex mu_;
  std::map<uint64_t, std::shared_ptr<InstanceRecord>> records_;
  std::deque<uint64_t> destroyed_;  // oldest first
  std::map<std::string, nlohmann::ordered_json> last_calls_;
  std::map<std::string, uint64_t> call_counts_;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> seq_{0};
};

}  // namespace corvel::probe

#endif  // CORVEL_PROBE_OBSERVER_H_
