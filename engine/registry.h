// The table of engine instances: creation and destruction for
// VORACloud::Create/Destroy, process-wide counters, and access by instance id
// for the hook.
#ifndef CORVEL_ENGINE_REGISTRY_H_
#define CORVEL_ENGINE_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "cloud.h"
#include "counters.h"

namespace corvel::engine {

class Registry {
 public:
  static constexpr size_t kDefaultQueueCapacity = 4096;

  static Registry& Get();

  vora::VORACloud* Create(vora::VORACloudDelegate* delegate);
  void Destroy(vora::VORACloud* cloud);

  uint64_t create_count() const { return creates_.load(); }
  uint64_t destroy_count() const { return destroys_.load(); }
  uint64_t last_instance() const { return last_id_.load(); }
  uint64_t live_count() const;
  void FailNextCreate() { fail_next_create_.store(true); }
  // Queue capacity for instances created from now on; 0 restores 4096.
  void SetQueueCapacity(size_t capacity) {
    queue_capacity_.store(capacity == 0 ? kDefaultQueueCapacity : capacity);
  }

  // Runs fn on the live instance `id` with the table locked, so the instance
  // cannot be destroyed meanwhile; fn must not wait for delivery. False when
  // the id is not a live instance.
  bool WithLive(uint64_t id, const std::function<void(Cloud&)>& fn);
  std::vector<uint64_t> LiveIds() const;

  // Taken around fork() (fork.cpp).
  std::mutex& ForkMutex() { return mu_; }
  // In a forked child, with mu_ held: the parent's instances become inert
  // (kept aside, never freed: their threads do not exist here).
  void AbandonAfterFork();

 private:
  mutable std::mutex mu_;
  std::unordered_map<uint64_t, Cloud*> live_;
  std::unordered_map<const vora::VORACloud*, uint64_t> ids_;
  std::unordered_set<const vora::VORACloud*> inert_;  // a parent process's instances (fork)
  uint64_t next_id_ = 1;

  std::atomic<uint64_t> creates_{0};
  std::atomic<uint64_t> destroys_{0};
  std::atomic<uint64_t> last_id_{0};
  std::atomic<bool> fail_next_create_{false};
  std::atomic<size_t> queue_capacity_{kDefaultQueueCapacity};
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_REGISTRY_H_
