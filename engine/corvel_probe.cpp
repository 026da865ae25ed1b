#include "corvel_probe.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "callbacks.h"
#include "json.h"
#include "log.h"
#include "registry.h"
#include "room.h"
#include "settings.h"

namespace {

using corvel::engine::Cloud;
using corvel::engine::Completion;
using corvel::engine::Dispatcher;
using corvel::engine::Registry;
using corvel::engine::Task;

constexpr int kUnknownInstance = -1;
constexpr int kBadArguments = -2;
constexpr int kOwnDeliveryThread = -6;
constexpr int kFirehoseState = -7;

thread_local std::string last_error;

char* Dup(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

// The one thread of corvel_inspect_side_thread_start, until joined.
struct SideThread {
  std::mutex mu;
  std::condition_variable cv;
  std::thread thread;
  bool called = false;
  bool release = false;
};

SideThread& Side() {
  static SideThread* const side = new SideThread;  // never destroyed
  return *side;
}

std::optional<Task> MakeTask(int slot, const char* args_json) {
  const char* name = corvel::engine::CallbackName(slot);
  if (!name) {
    last_error = "unknown callback slot " + std::to_string(slot);
    return std::nullopt;
  }
  std::optional<corvel::engine::JsonValue> args;
  if (!args_json || !*args_json) {
    args.emplace();
  } else {
    args = corvel::engine::ParseJson(args_json);
    if (!args) {
      last_error = "arguments are not valid JSON";
      return std::nullopt;
    }
  }
  std::string error;
  auto call = corvel::engine::BuildInjectedCall(slot, *args, &error);
  if (!call) {
    last_error = error;
    return std::nullopt;
  }
  Task task;
  task.name = name;
  task.call = std::move(*call);
  return task;
}

std::optional<std::chrono::milliseconds> Timeout(int timeout_ms) {
  if (timeout_ms < 0) return std::nullopt;
  return std::chrono::milliseconds(timeout_ms);
}

}  // namespace

extern "C" {

int corvel_inspect_version(void) { return 2; }

void corvel_inspect_free(char* text) { std::free(text); }

const char* corvel_inspect_last_error(void) { return last_error.c_str(); }

uint64_t corvel_inspect_create_count(void) { return Registry::Get().create_count(); }

uint64_t corvel_inspect_destroy_count(void) { return Registry::Get().destroy_count(); }

uint64_t corvel_inspect_live_instances(void) { return Registry::Get().live_count(); }

uint64_t corvel_inspect_last_instance(void) { return Registry::Get().last_instance(); }

void corvel_inspect_fail_next_create(void) { Registry::Get().FailNextCreate(); }

int corvel_inspect_is_live(uint64_t id) {
  return Registry::Get().WithLive(id, [](Cloud&) {}) ? 1 : 0;
}

char* corvel_inspect_live_ids_json(void) {
  corvel::engine::JsonWriter w;
  w.BeginArray();
  for (uint64_t id : Registry::Get().LiveIds()) w.Uint(id);
  w.EndArray();
  return Dup(w.str());
}

void corvel_inspect_set_queue_capacity(uint64_t capacity) {
  Registry::Get().SetQueueCapacity(static_cast<size_t>(capacity));
}

char* corvel_inspect_settings_json(void) { return Dup(corvel::engine::SettingsJson()); }

void corvel_inspect_reset_settings(void) { corvel::engine::ResetSettings(); }

void corvel_inspect_set_log_rotate_bytes(uint64_t bytes) {
  corvel::engine::Logger::Instance().SetRotateBytes(bytes);
}

void corvel_inspect_flush_log(void) { corvel::engine::Logger::Instance().Flush(); }

void corvel_inspect_log(int level, const char* message) {
  auto& logger = corvel::engine::Logger::Instance();
  if (logger.Enabled(level)) logger.WriteText(level, message ? message : "");
}

char* corvel_inspect_calls_json(uint64_t id) {
  auto record = Registry::Get().FindRecord(id);
  return record ? Dup(record->CallsJson()) : nullptr;
}

int corvel_inspect_clear_calls(uint64_t id) {
  auto record = Registry::Get().FindRecord(id);
  if (!record) return kUnknownInstance;
  record->ClearCalls();
  return 0;
}

int corvel_inspect_fire(uint64_t id, int slot, const char* args_json, int timeout_ms) {
  last_error.clear();
  std::optional<Task> task = MakeTask(slot, args_json);
  if (!task) return kBadArguments;
  auto done = std::make_shared<Completion>();
  task->done = done;
  bool own_thread = false;
  bool closed = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    if (cloud.OnDeliveryThread()) {
      own_thread = true;
      return;
    }
    closed = cloud.PostCallback(std::move(*task)) == Dispatcher::PostResult::kClosed;
  });
  if (!live || closed) return kUnknownInstance;
  if (own_thread) return kOwnDeliveryThread;
  return done->Wait(Timeout(timeout_ms));
}

int64_t corvel_inspect_fire_many(uint64_t id, int slot, const char* args_json, uint64_t count) {
  last_error.clear();
  std::optional<Task> prototype = MakeTask(slot, args_json);
  if (!prototype) return kBadArguments;
  int64_t queued = 0;
  bool closed = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    for (uint64_t i = 0; i < count; ++i) {
      Task task;
      task.name = prototype->name;
      task.call = prototype->call;
      const auto posted = cloud.PostCallback(std::move(task));
      if (posted == Dispatcher::PostResult::kClosed) {
        closed = true;
        break;
      }
      if (posted == Dispatcher::PostResult::kQueued) ++queued;
    }
  });
  if (!live || (closed && queued == 0)) return kUnknownInstance;
  return queued;
}

int corvel_inspect_firehose_start(uint64_t id, int slot, const char* args_json,
                                  uint32_t interval_us) {
  last_error.clear();
  std::optional<Task> prototype = MakeTask(slot, args_json);
  if (!prototype) return kBadArguments;
  bool started = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    started = cloud.StartFirehose(std::move(*prototype), std::chrono::microseconds(interval_us));
  });
  if (!live) return kUnknownInstance;
  return started ? 0 : kFirehoseState;
}

int64_t corvel_inspect_firehose_stop(uint64_t id) {
  std::optional<uint64_t> count;
  const bool live =
      Registry::Get().WithLive(id, [&](Cloud& cloud) { count = cloud.StopFirehose(); });
  if (!live) return kUnknownInstance;
  if (!count) return kFirehoseState;
  return static_cast<int64_t>(*count);
}

int corvel_inspect_wait_idle(uint64_t id, int timeout_ms) {
  // Only the waiting itself happens outside the table lock; the instance must
  // not be destroyed meanwhile, so look it up again each slice.
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
    if (!live) return kUnknownInstance;
    if (own_thread) return kOwnDeliveryThread;
    if (idle) return 0;
    if (std::chrono::steady_clock::now() >= deadline) return Completion::kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int64_t corvel_inspect_dropped(uint64_t id) {
  auto record = Registry::Get().FindRecord(id);
  return record ? static_cast<int64_t>(record->dropped()) : kUnknownInstance;
}

uint64_t corvel_inspect_dropped_total(void) {
  return corvel::engine::EngineTotals::Get().dropped.load();
}

char* corvel_inspect_stats_json(uint64_t id) {
  corvel::engine::JsonWriter w;
  Registry& registry = Registry::Get();
  if (id == 0) {
    auto& totals = corvel::engine::EngineTotals::Get();
    w.BeginObject();
    w.Key("creates").Uint(registry.create_count());
    w.Key("destroys").Uint(registry.destroy_count());
    w.Key("live").Uint(registry.live_count());
    w.Key("dropped").Uint(totals.dropped.load());
    w.Key("callback_errors").Uint(totals.callback_errors.load());
    w.EndObject();
    return Dup(w.str());
  }
  auto record = registry.FindRecord(id);
  if (!record) return nullptr;
  size_t depth = 0;
  size_t capacity = 0;
  const bool live = registry.WithLive(id, [&](Cloud& cloud) {
    depth = cloud.QueueDepth();
    capacity = cloud.QueueCapacity();
  });
  w.BeginObject();
  w.Key("id").Uint(id);
  w.Key("live").Bool(live);
  w.Key("delivered").Uint(record->delivered());
  w.Key("dropped").Uint(record->dropped());
  w.Key("discarded").Uint(record->discarded());
  w.Key("callback_errors").Uint(record->callback_errors());
  w.Key("queue_depth").Uint(depth);
  w.Key("queue_capacity").Uint(capacity);
  w.Key("omitted_calls").Uint(record->omitted_calls());
  w.EndObject();
  return Dup(w.str());
}

// ---- rooms and the media router ----

int corvel_inspect_set_conditions(uint64_t id, const char* json) {
  last_error.clear();
  auto parsed = corvel::engine::ParseJson(json ? json : "");
  if (!parsed || parsed->type != corvel::engine::JsonValue::Type::kObject) {
    last_error = "conditions must be a JSON object";
    return kBadArguments;
  }
  std::optional<uint32_t> loss_ppm, delay, bandwidth;
  for (const auto& [key, value] : parsed->members) {
    if (value.type != corvel::engine::JsonValue::Type::kNumber) {
      last_error = "\"" + key + "\" must be a number";
      return kBadArguments;
    }
    const double number = std::strtod(value.text.c_str(), nullptr);
    if (key == "loss" && number >= 0 && number <= 1) {
      loss_ppm = static_cast<uint32_t>(std::lround(number * 1e6));
    } else if (key == "delay_ms" && number >= 0 && number <= 60000) {
      delay = static_cast<uint32_t>(number);
    } else if (key == "bandwidth_kbps" && number >= 0 && number <= 10e6) {
      bandwidth = static_cast<uint32_t>(number);
    } else {
      last_error = "unknown key or value out of range: " + key;
      return kBadArguments;
    }
  }
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    auto& c = cloud.conditions();
    if (loss_ppm) c.loss_ppm.store(*loss_ppm);
    if (delay) c.delay_ms.store(*delay);
    if (bandwidth) c.bandwidth_kbps.store(*bandwidth);
    cloud.ConditionsChanged();
  });
  return live ? 0 : kUnknownInstance;
}

char* corvel_inspect_conditions_json(uint64_t id) {
  corvel::engine::JsonWriter w;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    auto& c = cloud.conditions();
    w.BeginObject();
    w.Key("loss").Raw(std::to_string(c.loss_ppm.load() / 1e6));
    w.Key("delay_ms").Uint(c.delay_ms.load());
    w.Key("bandwidth_kbps").Uint(c.bandwidth_kbps.load());
    w.EndObject();
  });
  return live ? Dup(w.str()) : nullptr;
}

int corvel_inspect_disconnect(uint64_t id, int duration_ms) {
  last_error.clear();
  if (duration_ms < 1 || duration_ms > 600000) {
    last_error = "duration_ms must be 1..600000";
    return kBadArguments;
  }
  bool in_room = false;
  const bool live = Registry::Get().WithLive(id, [&](Cloud& cloud) {
    in_room = cloud.SimulateDisconnect(std::chrono::milliseconds(duration_ms));
  });
  if (!live) return kUnknownInstance;
  if (!in_room) {
    last_error = "the instance is not in a room";
    return kBadArguments;
  }
  return 0;
}

int corvel_inspect_server_error(uint64_t id, int code) {
  const bool live =
      Registry::Get().WithLive(id, [&](Cloud& cloud) { cloud.SimulateServerError(code); });
  return live ? 0 : kUnknownInstance;
}

char* corvel_inspect_media_json(uint64_t id) {
  Registry& registry = Registry::Get();
  auto record = registry.FindRecord(id);
  if (!record) return nullptr;
  std::string state;
  const bool live = registry.WithLive(id, [&](Cloud& cloud) { state = cloud.MediaStateJson(); });
  const corvel::engine::MediaCounters& m = record->media();
  corvel::engine::JsonWriter w;
  w.BeginObject();
  w.Key("id").Uint(id);
  w.Key("live").Bool(live);
  const std::pair<const char*, const std::atomic<uint64_t>*> counters[] = {
      {"audio_sent", &m.audio_sent},
      {"video_sent", &m.video_sent},
      {"messages_sent", &m.messages_sent},
      {"sei_sent", &m.sei_sent},
      {"audio_received", &m.audio_received},
      {"mixed_frames", &m.mixed_frames},
      {"video_received", &m.video_received},
      {"messages_received", &m.messages_received},
      {"sei_received", &m.sei_received},
      {"lost", &m.lost},
      {"missed_messages", &m.missed_messages},
      {"disconnected_drops", &m.disconnected_drops},
      {"room_queue_drops", &m.room_queue_drops},
      {"pull_drops", &m.pull_drops},
      {"mixer_drops", &m.mixer_drops},
      {"pacing_drops", &m.pacing_drops},
      {"pacing_cleared", &m.pacing_cleared},
      {"waiting_key_drops", &m.waiting_key_drops},
      {"undecodable_drops", &m.undecodable_drops},
  };
  for (const auto& [name, value] : counters) w.Key(name).Uint(value->load());
  w.Key("callback_drops").Uint(record->dropped());
  w.Key("state");
  if (live) {
    w.Raw(state);
  } else {
    w.Null();
  }
  w.EndObject();
  return Dup(w.str());
}

char* corvel_inspect_rooms_json(void) {
  corvel::engine::JsonWriter w;
  w.BeginArray();
  for (const auto& room : corvel::engine::RoomHub::Get().Rooms()) w.Raw(room->DescribeJson());
  w.EndArray();
  return Dup(w.str());
}

void corvel_inspect_set_quality_interval_ms(uint32_t ms) {
  corvel::engine::RouterTuning::Get().quality_interval_ms.store(ms == 0 ? 2000 : ms);
}

void corvel_inspect_set_mix_wait_ms(uint32_t ms) {
  corvel::engine::RouterTuning::Get().mix_wait_ms.store(ms == 0 ? 60 : ms);
}

int corvel_inspect_side_thread_start(uint64_t id, int slot, const char* args_json) {
  last_error.clear();
  std::optional<Task> task = MakeTask(slot, args_json);
  if (!task) return kBadArguments;
  corvel::vora::VORACloudDelegate* delegate = nullptr;
  if (!Registry::Get().WithLive(id, [&](Cloud& cloud) { delegate = cloud.delegate(); })) {
    return kUnknownInstance;
  }
  SideThread& side = Side();
  std::unique_lock<std::mutex> lock(side.mu);
  if (side.thread.joinable()) {
    last_error = "a side thread is running already";
    return kBadArguments;
  }
  side.called = false;
  side.release = false;
  side.thread = std::thread([&side, delegate, call = std::move(task->call)] {
    try {
      call(*delegate);
    } catch (...) {
      // As on a delivery thread: nothing leaves an engine thread.
    }
    std::unique_lock<std::mutex> lock(side.mu);
    side.called = true;
    side.cv.notify_all();
    side.cv.wait(lock, [&] { return side.release; });
  });
  side.cv.wait(lock, [&] { return side.called; });
  return 0;
}

int corvel_inspect_side_thread_join(void) {
  SideThread& side = Side();
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(side.mu);
    if (!side.thread.joinable()) return kBadArguments;
    side.release = true;
    side.cv.notify_all();
    thread = std::move(side.thread);
  }
  thread.join();
  return 0;
}

}  // extern "C"
