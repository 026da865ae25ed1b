#include "corvel_probe.h"

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "callbacks.h"
#include "corvel_hook.h"
#include "hex.h"
#include "observer.h"

namespace {

using corvel::probe::Driver;
using corvel::probe::HexEncode;
using corvel::probe::Records;
using Json = nlohmann::ordered_json;

thread_local std::string last_error;

char* Dup(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

char* Dup(const Json& json) { return Dup(json.dump()); }

Json Bytes(const char* data, size_t size) {
  if (!data) return nullptr;
  return HexEncode(data, size);
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

using corvel::probe::DelegateCall;

std::optional<DelegateCall> MakeCall(int slot, const char* args_json) {
  if (!corvel::probe::CallbackName(slot)) {
    last_error = "unknown callback slot " + std::to_string(slot);
    return std::nullopt;
  }
  nlohmann::json args;  // null: all defaults
  if (args_json && *args_json) {
    args = nlohmann::json::parse(args_json, nullptr, false);
    if (args.is_discarded()) {
      last_error = "arguments are not valid JSON";
      return std::nullopt;
    }
  }
  std::string error;
  auto call = corvel::probe::BuildInjectedCall(slot, args, &error);
  if (!call) last_error = error;
  return call;
}

// A callback for the engine's driver; it owns its DelegateCall.
corvel_callback Callback(int slot, DelegateCall call) {
  corvel_callback cb{};
  cb.name = corvel::probe::CallbackName(slot);
  cb.arg = new DelegateCall(std::move(call));  // released by the engine through cb.release
  cb.invoke = [](void* arg, void* delegate) {
    (*static_cast<DelegateCall*>(arg))(*static_cast<corvel::vora::VORACloudDelegate*>(delegate));
  };
  cb.release = [](void* arg) { delete static_cast<DelegateCall*>(arg); };
  return cb;
}

Json RoomJson(const corvel_room& room) {
  Json members = Json::array();
  for (size_t i = 0; i < room.member_count; ++i) {
    const corvel_room_member& m = room.members[i];
    Json video = Json::array();
    for (size_t v = 0; v < m.video_count; ++v) video.push_back(m.video[v]);
    members.push_back({{"id", m.id},
                       {"user_id_hex", HexEncode(m.user_id, m.user_id_size)},
                       {"role", m.role},
                       {"connection", m.connection},
                       {"audio", m.audio != 0},
                       {"video", std::move(video)},
                       {"pacing_ms", m.pacing_ms},
                       {"conversions", m.conversions}});
  }
  return {{"sdk_app_id", room.sdk_app_id},
          {"room_hex", HexEncode(room.room_id, room.room_id_size)},
          {"text_id", room.text_id != 0},
          {"members", std::move(members)},
          {"delayed", room.delayed}};
}

corvel_engine_counts Counts() {
  corvel_engine_counts counts{};
  Driver().engine_counts(&counts);
  return counts;
}

}  // namespace

extern "C" {

int corvel_inspect_version(void) { return 2; }

void corvel_inspect_free(char* text) { std::free(text); }

const char* corvel_inspect_last_error(void) { return last_error.c_str(); }

uint64_t corvel_inspect_create_count(void) { return Counts().creates; }

uint64_t corvel_inspect_destroy_count(void) { return Counts().destroys; }

uint64_t corvel_inspect_live_instances(void) { return Counts().live; }

uint64_t corvel_inspect_last_instance(void) { return Counts().last_id; }

void corvel_inspect_fail_next_create(void) { Driver().fail_next_create(); }

int corvel_inspect_is_live(uint64_t id) { return Driver().is_live(id); }

char* corvel_inspect_live_ids_json(void) {
  std::vector<uint64_t> ids(64);
  while (true) {
    const size_t n = Driver().live_ids(ids.data(), ids.size());
    if (n <= ids.size()) {
      ids.resize(n);
      break;
    }
    ids.resize(n + 64);
  }
  return Dup(Json(ids));
}

void corvel_inspect_set_queue_capacity(uint64_t capacity) { Driver().set_queue_capacity(capacity); }

char* corvel_inspect_settings_json(void) {
  Json out;
  Driver().visit_settings(
      [](void* context, const corvel_settings* s) {
        Json& j = *static_cast<Json*>(context);
        j["log"] = {{"directory_hex", Bytes(s->log_directory, s->log_directory_size)},
                    {"file_open", s->log_file_open != 0},
                    {"level", s->log_level},
                    {"console", s->log_console != 0},
                    {"file_disabled", s->log_file_disabled != 0},
                    {"compress_disabled", s->log_compress_disabled != 0},
                    {"rotate_bytes", s->log_rotate_bytes},
                    {"file_bytes", s->log_file_bytes},
                    {"rotations", s->log_rotations}};
        if (s->has_proxy) {
          auto text = [](const char* t) { return t ? Bytes(t, std::strlen(t)) : Json(nullptr); };
          j["proxy"] = {{"ip_hex", Bytes(s->proxy_host, s->proxy_host_size)},
                        {"port", s->proxy_port},
                        {"username_hex", text(s->proxy_username)},
                        {"password_hex", text(s->proxy_password)}};
        } else {
          j["proxy"] = nullptr;
        }
        j["environment"] = s->environment;
        j["web_client_factory"] = static_cast<uint64_t>(s->web_client_factory);
      },
      &out);
  out["last_calls"] = Records::Get().LastCalls();
  out["call_counts"] = Records::Get().CallCounts();
  return Dup(out);
}

void corvel_inspect_reset_settings(void) {
  Driver().reset_settings();
  Records::Get().ForgetSettings();
}

void corvel_inspect_set_log_rotate_bytes(uint64_t bytes) { Driver().set_log_rotate_bytes(bytes); }

void corvel_inspect_flush_log(void) { Driver().flush_log(); }

void corvel_inspect_log(int level, const char* message) { Driver().log(level, message); }

char* corvel_inspect_calls_json(uint64_t id) {
  auto record = Records::Get().Find(id);
  return record ? Dup(record->CallsJson()) : nullptr;
}

int corvel_inspect_clear_calls(uint64_t id) {
  auto record = Records::Get().Find(id);
  if (!record) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  record->ClearCalls();
  return 0;
}

int corvel_inspect_fire(uint64_t id, int slot, const char* args_json, int timeout_ms) {
  last_error.clear();
  auto call = MakeCall(slot, args_json);
  if (!call) return CORVEL_HOOK_BAD_ARGUMENTS;
  const corvel_callback cb = Callback(slot, std::move(*call));
  return Driver().post_and_wait(id, &cb, timeout_ms);
}

int64_t corvel_inspect_fire_many(uint64_t id, int slot, const char* args_json, uint64_t count) {
  last_error.clear();
  auto call = MakeCall(slot, args_json);
  if (!call) return CORVEL_HOOK_BAD_ARGUMENTS;
  const corvel_callback cb = Callback(slot, std::move(*call));
  return Driver().post_many(id, &cb, count);
}

int corvel_inspect_firehose_start(uint64_t id, int slot, const char* args_json,
                                  uint32_t interval_us) {
  last_error.clear();
  auto call = MakeCall(slot, args_json);
  if (!call) return CORVEL_HOOK_BAD_ARGUMENTS;
  const corvel_callback cb = Callback(slot, std::move(*call));
  return Driver().firehose_start(id, &cb, interval_us);
}

int64_t corvel_inspect_firehose_stop(uint64_t id) { return Driver().firehose_stop(id); }

int corvel_inspect_wait_idle(uint64_t id, int timeout_ms) {
  return Driver().wait_idle(id, timeout_ms);
}

int64_t corvel_inspect_dropped(uint64_t id) {
  auto record = Records::Get().Find(id);
  if (!record || !record->counters()) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  return static_cast<int64_t>(record->counters()->Read().dropped);
}

uint64_t corvel_inspect_dropped_total(void) { return Counts().dropped; }

char* corvel_inspect_stats_json(uint64_t id) {
  if (id == 0) {
    const corvel_engine_counts c = Counts();
    return Dup(Json{{"creates", c.creates},
                    {"destroys", c.destroys},
                    {"live", c.live},
                    {"dropped", c.dropped},
                    {"callback_errors", c.callback_errors},
                    {"delivery_threads", c.delivery_threads}});
  }
  auto record = Records::Get().Find(id);
  if (!record || !record->counters()) return nullptr;
  uint64_t depth = 0;
  uint64_t capacity = 0;
  const bool live = Driver().queue_state(id, &depth, &capacity) == CORVEL_HOOK_OK;
  const corvel_counters c = record->counters()->Read();
  return Dup(Json{{"id", id},
                  {"live", live},
                  {"delivered", c.delivered},
                  {"dropped", c.dropped},
                  {"discarded", c.discarded},
                  {"callback_errors", c.callback_errors},
                  {"queue_depth", depth},
                  {"queue_capacity", capacity},
                  {"omitted_calls", record->omitted_calls()}});
}

// ---- rooms and the media router ----

int corvel_inspect_set_conditions(uint64_t id, const char* json) {
  last_error.clear();
  const auto parsed = nlohmann::json::parse(json ? json : "", nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    last_error = "conditions must be a JSON object";
    return CORVEL_HOOK_BAD_ARGUMENTS;
  }
  corvel_link link{};
  unsigned mask = 0;
  for (const auto& item : parsed.items()) {
    const std::string& key = item.key();
    if (!item.value().is_number()) {
      last_error = "\"" + key + "\" must be a number";
      return CORVEL_HOOK_BAD_ARGUMENTS;
    }
    const double number = item.value().get<double>();
    if (key == "loss" && number >= 0 && number <= 1) {
      link.loss_ppm = static_cast<uint32_t>(std::lround(number * 1e6));
      mask |= CORVEL_LINK_LOSS;
    } else if (key == "delay_ms" && number >= 0 && number <= 60000) {
      link.delay_ms = static_cast<uint32_t>(number);
      mask |= CORVEL_LINK_DELAY;
    } else if (key == "bandwidth_kbps" && number >= 0 && number <= 10e6) {
      link.bandwidth_kbps = static_cast<uint32_t>(number);
      mask |= CORVEL_LINK_BANDWIDTH;
    } else {
      last_error = "unknown key or value out of range: " + key;
      return CORVEL_HOOK_BAD_ARGUMENTS;
    }
  }
  return Driver().set_link(id, &link, mask);
}

char* corvel_inspect_conditions_json(uint64_t id) {
  corvel_link link{};
  if (Driver().get_link(id, &link) != CORVEL_HOOK_OK) return nullptr;
  return Dup(Json{{"loss", link.loss_ppm / 1e6},
                  {"delay_ms", link.delay_ms},
                  {"bandwidth_kbps", link.bandwidth_kbps}});
}

int corvel_inspect_disconnect(uint64_t id, int duration_ms) {
  last_error.clear();
  if (duration_ms < 1 || duration_ms > 600000) {
    last_error = "duration_ms must be 1..600000";
    return CORVEL_HOOK_BAD_ARGUMENTS;
  }
  const int result = Driver().disconnect(id, duration_ms);
  if (result == CORVEL_HOOK_BAD_ARGUMENTS) last_error = "the instance is not in a room";
  return result;
}

int corvel_inspect_server_error(uint64_t id, int code) { return Driver().server_error(id, code); }

char* corvel_inspect_media_json(uint64_t id) {
  auto record = Records::Get().Find(id);
  if (!record || !record->counters()) return nullptr;
  Json state = nullptr;
  const bool live =
      Driver().visit_media_state(
          id,
          [](void* context, const corvel_media_state* s) {
            *static_cast<Json*>(context) = {{"in_room", s->in_room != 0},
                                            {"room", s->room ? RoomJson(*s->room) : Json(nullptr)},
                                            {"pacing_ms", s->pacing_ms},
                                            {"pending_sei", s->pending_sei}};
          },
          &state) == CORVEL_HOOK_OK;
  const corvel_counters m = record->counters()->Read();
  Json j;
  j["id"] = id;
  j["live"] = live;
  const std::pair<const char*, uint64_t> counters[] = {
      {"audio_sent", m.audio_sent},
      {"video_sent", m.video_sent},
      {"messages_sent", m.messages_sent},
      {"sei_sent", m.sei_sent},
      {"audio_received", m.audio_received},
      {"mixed_frames", m.mixed_frames},
      {"video_received", m.video_received},
      {"messages_received", m.messages_received},
      {"sei_received", m.sei_received},
      {"lost", m.lost},
      {"missed_messages", m.missed_messages},
      {"disconnected_drops", m.disconnected_drops},
      {"room_queue_drops", m.room_queue_drops},
      {"pull_drops", m.pull_drops},
      {"mixer_drops", m.mixer_drops},
      {"pacing_drops", m.pacing_drops},
      {"pacing_cleared", m.pacing_cleared},
      {"waiting_key_drops", m.waiting_key_drops},
      {"undecodable_drops", m.undecodable_drops},
  };
  for (const auto& [name, value] : counters) j[name] = value;
  j["callback_drops"] = m.dropped;
  j["state"] = live ? std::move(state) : Json(nullptr);
  return Dup(j);
}

char* corvel_inspect_rooms_json(void) {
  Json rooms = Json::array();
  Driver().visit_rooms(
      [](void* context, const corvel_room* room) {
        static_cast<Json*>(context)->push_back(RoomJson(*room));
      },
      &rooms);
  return Dup(rooms);
}

void corvel_inspect_set_quality_interval_ms(uint32_t ms) { Driver().set_quality_interval_ms(ms); }

void corvel_inspect_set_mix_wait_ms(uint32_t ms) { Driver().set_mix_wait_ms(ms); }

int corvel_inspect_side_thread_start(uint64_t id, int slot, const char* args_json) {
  last_error.clear();
  auto call = MakeCall(slot, args_json);
  if (!call) return CORVEL_HOOK_BAD_ARGUMENTS;
  auto* delegate = static_cast<corvel::vora::VORACloudDelegate*>(Driver().delegate_of(id));
  if (!delegate) return CORVEL_HOOK_UNKNOWN_INSTANCE;
  SideThread& side = Side();
  std::unique_lock<std::mutex> lock(side.mu);
  if (side.thread.joinable()) {
    last_error = "a side thread is running already";
    return CORVEL_HOOK_BAD_ARGUMENTS;
  }
  side.called = false;
  side.release = false;
  side.thread = std::thread([&side, delegate, call = std::move(*call)] {
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
    if (!side.thread.joinable()) return CORVEL_HOOK_BAD_ARGUMENTS;
    side.release = true;
    side.cv.notify_all();
    thread = std::move(side.thread);
  }
  thread.join();
  return 0;
}

}  // extern "C"
