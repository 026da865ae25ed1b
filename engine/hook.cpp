// corvel_engine_hook: the observer slot and the driver table (corvel_hook.h).
#include "hook.h"

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "counters.h"
#include "log.h"
#include "registry.h"
#include "room_backend.h"
#include "settings.h"

namespace corvel::engine {

std::atomic<const corvel_observer*> g_observer{nullptr};

void ReportSetting(const corvel_observer* o, const char* function, const char* text0,
                   const char* text1, const char* text2, int64_t number, int has_result,
                   int result) {
  if (!o->setting) return;
  corvel_setting_call call{};
  call.function = function;
  call.text[0] = text0;
  call.text[1] = text1;
  call.text[2] = text2;
  call.number[0] = number;
  call.has_result = has_result;
  call.result = result;
  o->setting(o->context, &call);
}

}  // namespace corvel::engine

// The opaque reference of corvel_hook.h.
struct corvel_counters_ref {
  std::shared_ptr<corvel::engine::InstanceCounters> counters;
};

namespace corvel::engine {

corvel_counters_ref* NewCountersRef(std::shared_ptr<InstanceCounters> counters) {
  return new corvel_counters_ref{std::move(counters)};  // released by release_counters
}

namespace {

// Owns the `arg` of a corvel_callback; every queued copy shares it.
std::shared_ptr<void> Own(const corvel_callback& cb) {
  return std::shared_ptr<void>(cb.arg, [release = cb.release](void* arg) {
    if (release) release(arg);
  });
}

Task MakeTask(const corvel_callback& cb, const std::shared_ptr<void>& arg) {
  Task task;
  task.name = cb.name ? cb.name : "";
  task.call = [invoke = cb.invoke, arg](vora::VORACloudDelegate& delegate) {
    invoke(arg.get(), &delegate);
  };
  return task;
}

void EngineCounts(corvel_engine_counts* out) {
  Registry& r = Registry::Get();
  out->creates = r.create_count();
  out->destroys = r.destroy_count();
  out->live = r.live_count();
  out->last_id = r.last_instance();
  out->dropped = EngineTotals::Get().dropped.load();
  out->callback_errors = EngineTotals::Get().callback_errors.load();
  out->delivery_threads = DeliveryThreads();
}

size_t LiveIds(uint64_t* out, size_t capacity) {
  const std::vector<uint64_t> ids = Registry::Get().LiveIds();
  for (size_t i = 0; i < ids.size() && i < capacity; ++i) out[i] = ids[i];
  return ids.size();
}

int IsLive(uint64_t id) {
  return Registry::Get().WithLive(id, [](Cloud&) {}) ? 1 : 0;
}

void FailNextCreate() { Registry::Get().FailNextCreate(); }

void SetQueueCapacity(uint64_t capacity) {
  Registry::Get().SetQueueCapacity(static_cast<size_t>(capacity));
}

corvel_counters_ref* CountersOf(uint64_t id) {
  std::shared_ptr<InstanceCounters> counters;
  Registry::Get().WithLive(id, [&](Cloud& cloud) { counters = cloud.counters(); });
  return counters ? NewCountersRef(std::move(counters)) : nullptr;
}

void ReadCounters(const corvel_counters_ref* ref, corvel_counters* out) {
  const InstanceCounters& c = *ref->counters;
  const MediaCounters& m = c.media();
  out->delivered = c.delivered();
  out->dropped = c.dropped();
  out->discarded = c.discarded();
  out->callback_errors = c.callback_errors();
  out->audio_sent = m.audio_sent.load();
  out->video_sent = m.video_sent.load();
  out->messages_sent = m.messages_sent.load();
  out->sei_sent = m.sei_sent.load();
  out->audio_received = m.audio_received.load();
  out->mixed_frames = m.mixed_frames.load();
  out->video_received = m.video_received.load();
  out->messages_received = m.messages_received.load();
  out->sei_received = m.sei_received.load();
  out->lost = m.lost.load();
  out->missed_messages = m.missed_messages.load();
  out->disconnected_drops = m.disconnected_drops.load();
  out->room_queue_drops = m.room_queue_drops.load();
  out->pull_drops = m.pull_drops.load();
  out->mixer_drops = m.mixer_drops.load();
  out->pacing_drops = m.pacing_drops.load();
  out->pacing_cleared = m.pacing_cleared.load();
  out->waiting_key_drops = m.waiting_key_drops.load();
  out->undecodable_drops = m.undecodable_drops.load();
}

void ReleaseCounters(corvel_counters_ref* ref) { delete ref; }

int PostAndWait(uint64_t id, const corvel_callback* cb, int timeout_ms) {
  const std::shared_ptr<void> arg = Own(*cb);
  Task task = MakeTask(*cb, arg);
  auto done = std::make_shared<Completion>();
  task.done = done;
  bool own_thread = false;
  bool closed = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    if (cloud.OnDeliveryThread()) {
      own_thread = true;
      return;
    }
    closed = cloud.PostCallback(std::move(task)) == Dispatcher::PostResult::kClosed;
  });
  if (!live || closed) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  if (own_thread) return CORVEL_HOOK_OWN_DELIVERY_THREAD;
  std::optional<std::chrono::milliseconds> timeout;
  if (timeout_ms >= 0) timeout = std::chrono::milliseconds(timeout_ms);
  return done->Wait(timeout);
}

int64_t PostMany(uint64_t id, const corvel_callback* cb, uint64_t count) {
  const std::shared_ptr<void> arg = Own(*cb);
  int64_t queued = 0;
  bool closed = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    for (uint64_t i = 0; i < count; ++i) {
      const auto posted = cloud.PostCallback(MakeTask(*cb, arg));
      if (posted == Dispatcher::PostResult::kClosed) {
        closed = true;
        break;
      }
      if (posted == Dispatcher::PostResult::kQueued) ++queued;
    }
  });
  if (!live || (closed && queued == 0)) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  return queued;
}

int FirehoseStart(uint64_t id, const corvel_callback* cb, uint32_t interval_us) {
  Task prototype = MakeTask(*cb, Own(*cb));
  bool started = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    started = cloud.StartFirehose(std::move(prototype), std::chrono::microseconds(interval_us));
  });
  if (!live) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  return started ? CORVEL_HOOK_OK : CORVEL_HOOK_FIREHOSE_STATE;
}

int64_t FirehoseStop(uint64_t id) {
  std::optional<uint64_t> count;
  const bool live =
      Registry::Get().WithLive(id, [&](Cloud& cloud) { count = cloud.StopFirehose(); });
  if (!live) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  if (!count) return CORVEL_HOOK_FIREHOSE_STATE;
  return static_cast<int64_t>(*count);
}

int WaitIdle(uint64_t id, int timeout_ms) {
  // Only the waiting happens outside the table lock; the instance may be
  // destroyed meanwhile, so it is looked up again each slice.
  const auto deadline =
      std::chrono::steady_clock::now() +
      (timeout_ms < 0 ? std::chrono::hours(24 * 365) : std::chrono::milliseconds(timeout_ms));
  while (true) {
    bool idle = false;
    bool own_thread = false;
    const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
      own_thread = cloud.OnDeliveryThread();
      if (!own_thread) idle = cloud.WaitIdle(std::chrono::milliseconds(0));
    });
    if (!live) return CORVEL_HOOK_UNKNOWN_INSTANCE;
    if (own_thread) return CORVEL_HOOK_OWN_DELIVERY_THREAD;
    if (idle) return CORVEL_HOOK_OK;
    if (std::chrono::steady_clock::now() >= deadline) return CORVEL_HOOK_TIMED_OUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int QueueState(uint64_t id, uint64_t* depth, uint64_t* capacity) {
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    *depth = cloud.QueueDepth();
    *capacity = cloud.QueueCapacity();
  });
  return live ? CORVEL_HOOK_OK : CORVEL_HOOK_UNKNOWN_INSTANCE;
}

void* DelegateOf(uint64_t id) {
  void* delegate = nullptr;
  Registry::Get().WithLive(id, [&](Cloud& cloud) { delegate = cloud.delegate(); });
  return delegate;
}

int SetLink(uint64_t id, const corvel_link* link, unsigned mask) {
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    LinkConditions& c = cloud.conditions();
    if (mask & CORVEL_LINK_LOSS) c.loss_ppm.store(link->loss_ppm);
    if (mask & CORVEL_LINK_DELAY) c.delay_ms.store(link->delay_ms);
    if (mask & CORVEL_LINK_BANDWIDTH) c.bandwidth_kbps.store(link->bandwidth_kbps);
    cloud.ConditionsChanged();
  });
  return live ? CORVEL_HOOK_OK : CORVEL_HOOK_UNKNOWN_INSTANCE;
}

int GetLink(uint64_t id, corvel_link* out) {
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    LinkConditions& c = cloud.conditions();
    out->loss_ppm = c.loss_ppm.load();
    out->delay_ms = c.delay_ms.load();
    out->bandwidth_kbps = c.bandwidth_kbps.load();
  });
  return live ? CORVEL_HOOK_OK : CORVEL_HOOK_UNKNOWN_INSTANCE;
}

int Disconnect(uint64_t id, int duration_ms) {
  if (duration_ms < 1 || duration_ms > 600000) return CORVEL_HOOK_BAD_ARGUMENTS;
  bool in_room = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    in_room = cloud.SimulateDisconnect(std::chrono::milliseconds(duration_ms));
  });
  if (!live) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  return in_room ? CORVEL_HOOK_OK : CORVEL_HOOK_BAD_ARGUMENTS;
}

int ServerError(uint64_t id, int code) {
  const bool live =
      Registry::Get().WithLive(id, [&](Cloud& cloud) { cloud.SimulateServerError(code); });
  return live ? CORVEL_HOOK_OK : CORVEL_HOOK_UNKNOWN_INSTANCE;
}

int VisitMediaState(uint64_t id, void (*visit)(void*, const corvel_media_state*), void* context) {
  const bool live =
      Registry::Get().WithLive(id, [&](Cloud& cloud) { cloud.VisitMediaState(visit, context); });
  return live ? CORVEL_HOOK_OK : CORVEL_HOOK_UNKNOWN_INSTANCE;
}

void VisitRooms(void (*visit)(void*, const corvel_room*), void* context) {
  VisitAllRooms(visit, context);
}

void SetQualityInterval(uint32_t ms) {
  RouterTuning::Get().quality_interval_ms.store(ms == 0 ? 2000 : ms);
}

void SetMixWait(uint32_t ms) { RouterTuning::Get().mix_wait_ms.store(ms == 0 ? 60 : ms); }

void SetLogRotateBytes(uint64_t bytes) { Logger::Instance().SetRotateBytes(bytes); }

void FlushLog() { Logger::Instance().Flush(); }

void Log(int level, const char* message) {
  Logger& logger = Logger::Instance();
  if (logger.Enabled(level)) logger.WriteText(level, message ? message : "");
}

constexpr corvel_driver kDriver = {
    CORVEL_HOOK_VERSION,
    EngineCounts,
    LiveIds,
    IsLive,
    FailNextCreate,
    SetQueueCapacity,
    CountersOf,
    ReadCounters,
    ReleaseCounters,
    PostAndWait,
    PostMany,
    FirehoseStart,
    FirehoseStop,
    WaitIdle,
    QueueState,
    DelegateOf,
    SetLink,
    GetLink,
    Disconnect,
    ServerError,
    VisitMediaState,
    VisitRooms,
    SetQualityInterval,
    SetMixWait,
    VisitSettings,
    ResetSettings,
    SetLogRotateBytes,
    FlushLog,
    Log,
};

}  // namespace
}  // namespace corvel::engine

extern "C" CORVEL_HOOK_API const corvel_driver* corvel_engine_hook(
    const corvel_observer* observer) {
  corvel::engine::g_observer.store(observer, std::memory_order_release);
  return &corvel::engine::kDriver;
}
