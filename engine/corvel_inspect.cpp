#include "corvel_inspect.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "callbacks.h"
#include "json.h"
#include "log.h"
#include "registry.h"
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

int corvel_inspect_version(void) { return 1; }

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

}  // extern "C"
