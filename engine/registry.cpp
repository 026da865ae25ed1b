#include "registry.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "hook.h"
#include "log.h"
#include "no_destroy.h"
#include "status.h"

namespace corvel::engine {

Registry& Registry::Get() {
  static NoDestroy<Registry> registry;
  return registry.get();
}

vora::VORACloud* Registry::Create(vora::VORACloudDelegate* delegate) {
  BeginOperation();
  creates_.fetch_add(1);
  if (fail_next_create_.exchange(false)) {
    Refuse(0, "Create refused: failure requested through the hook");
    return nullptr;
  }
  if (!delegate) {
    Refuse(0, "Create refused: null delegate");
    return nullptr;
  }
  try {
    uint64_t id = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      id = next_id_++;
    }
    auto counters = std::make_shared<InstanceCounters>(id);
    auto cloud = std::make_unique<Cloud>(id, delegate, queue_capacity_.load(), counters);
    cloud->Start();
    {
      std::lock_guard<std::mutex> lock(mu_);
      live_[id] = cloud.get();
      ids_[cloud.get()] = id;
      last_id_.store(id);
    }
    LOG_INFO("instance %llu created (delegate %p, queue %zu)", static_cast<unsigned long long>(id),
             static_cast<void*>(delegate), cloud->QueueCapacity());
    if (const corvel_observer* o = Observer(); o && o->instance_created)
      o->instance_created(o->context, id, NewCountersRef(std::move(counters)));
    return cloud.release();
  } catch (const std::exception& e) {
    Refuse(0, "Create failed: %s", e.what());
    return nullptr;
  }
}

void Registry::Destroy(vora::VORACloud* cloud) {
  // Leaves the calling thread's last refusal alone: a garbage collector may
  // destroy an instance between an operation and the read of its reason.
  if (!cloud) return;
  destroys_.fetch_add(1);
  Cloud* instance = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ids_.find(cloud);
    if (it != ids_.end()) {
      const uint64_t id = it->second;
      instance = live_[id];
      live_.erase(id);
      ids_.erase(it);
    }
  }
  if (!instance) {
    bool inert = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      inert = inert_.erase(cloud) != 0;
    }
    if (inert) {
      LOG_INFO("instance %p of the parent process released (left allocated after fork)",
               static_cast<void*>(cloud));
    } else {
      LOG_ERROR("Destroy of unknown instance %p ignored", static_cast<void*>(cloud));
    }
    return;
  }
  const auto id = static_cast<unsigned long long>(instance->id());
  // Told once Destroy has done its part, on every path out.
  struct Announce {
    uint64_t id;
    ~Announce() {
      if (const corvel_observer* o = Observer(); o && o->instance_destroyed)
        o->instance_destroyed(o->context, id);
    }
  } announce{id};
  if (instance->OnDeliveryThread() || OnEngineThread()) {
    // An engine thread must not wait for a callback: it may be inside one of
    // this instance's callbacks, or that callback may be destroying this
    // thread's own instance (two instances dropping each other from their
    // callbacks would wait for each other forever).
    auto self = std::shared_ptr<Cloud>(instance);
    if (instance->ShutdownOnEngineThread(self)) {
      LOG_INFO(
          "instance %llu destroyed on an engine thread; delivery ends after the callback "
          "in progress",
          id);
      return;
    }
    self.reset();
    LOG_INFO("instance %llu destroyed", id);
    return;
  }
  instance->Shutdown();
  std::unique_ptr<Cloud> owned(instance);
  owned.reset();
  LOG_INFO("instance %llu destroyed", id);
}

void Registry::AbandonAfterFork() {
  for (const auto& [cloud, id] : ids_) inert_.insert(cloud);
  // The instances stay allocated (never freed: freeing joins threads that do
  // not exist here).
  live_.clear();
  ids_.clear();
}

uint64_t Registry::live_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return live_.size();
}

bool Registry::WithLive(uint64_t id, const std::function<void(Cloud&)>& fn) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(id);
  if (it == live_.end()) return false;
  fn(*it->second);
  return true;
}

std::vector<uint64_t> Registry::LiveIds() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint64_t> ids;
  for (const auto& [id, cloud] : live_) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace corvel::engine

namespace corvel::vora {

VORACloud* VORACloud::Create(VORACloudDelegate* delegate) {
  return engine::Registry::Get().Create(delegate);
}

void VORACloud::Destroy(VORACloud* cloud) { engine::Registry::Get().Destroy(cloud); }

}  // namespace corvel::vora
