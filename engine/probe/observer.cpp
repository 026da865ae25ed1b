#include "observer.h"

#include <malloc.h>
#include <pthread.h>

#include <cstring>

#include "hex.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::probe {
namespace {

using namespace corvel::vora;
using Json = nlohmann::ordered_json;

// Payload bytes up to this size are copied into operation records as hex;
// larger payloads are recorded by size and FNV-1a hash only.
constexpr size_t kRecordPayloadBytes = 1024;
// Messages are recorded whole up to this size.
constexpr size_t kRecordMessageBytes = 64 * 1024;

Json CText(const char* text) {
  if (!text) return nullptr;
  return HexEncode(text, std::strlen(text));
}

void WritePayload(Json& j, const std::string& prefix, const uint8_t* data, size_t size) {
  j[prefix + "size"] = size;
  j[prefix + "fnv1a"] = Fnv1a64(data, size);
  if (size <= kRecordPayloadBytes) {
    j[prefix + "data_hex"] = HexEncode(data, size);
  } else {
    j[prefix + "data_hex"] = nullptr;
  }
}

Json AudioFrameJson(const AudioFrame& f, const uint8_t* extra, size_t extra_size) {
  Json j;
  j["sample_rate"] = f.sample_rate;
  j["channels"] = f.channels;
  j["bits_per_sample"] = f.bits_per_sample;
  j["codec"] = static_cast<uint32_t>(f.codec);
  j["pts"] = f.pts;
  j["has_voice"] = f.has_voice;
  WritePayload(j, "", f.data(), f.size());
  WritePayload(j, "extra_", extra, extra_size);
  return j;
}

Json VideoFrameJson(const VideoFrame& f) {
  Json j;
  j["pts"] = f.pts;
  j["dts"] = f.dts;
  j["is_key_frame"] = f.is_key_frame;
  j["codec"] = static_cast<uint32_t>(f.codec);
  j["rotation"] = static_cast<uint32_t>(f.rotation);
  WritePayload(j, "", f.data(), f.size());
  return j;
}

Json PixelFrameJson(const PixelFrame& f) {
  Json j;
  j["pts"] = f.pts;
  j["width"] = f.width;
  j["height"] = f.height;
  j["format"] = static_cast<uint32_t>(f.format);
  j["rotation"] = static_cast<uint32_t>(f.rotation);
  WritePayload(j, "", f.data(), f.size());
  return j;
}

void WriteMessage(Json& j, const char* message, size_t length) {
  j["length"] = length;
  j["message_null"] = message == nullptr;
  if (message) {
    j["message_fnv1a"] = Fnv1a64(message, length);
  } else {
    j["message_fnv1a"] = nullptr;
  }
  if (message && length <= kRecordMessageBytes) {
    j["message_hex"] = HexEncode(message, length);
  } else {
    j["message_hex"] = nullptr;
  }
}

Json EnterRoomParamsJson(const EnterRoomParams& p) {
  Json room;
  room["sdk_app_id"] = p.room.sdk_app_id;
  room["user_id_hex"] = CText(p.room.user_id.GetValue());
  room["user_sig_hex"] = CText(p.room.user_sig.GetValue());
  room["room_id"] = p.room.room_id;
  room["str_room_id_hex"] = CText(p.room.str_room_id.GetValue());
  room["custom_data"] = reinterpret_cast<uintptr_t>(p.room.custom_data);
  room["decryption_delegate"] = reinterpret_cast<uintptr_t>(p.room.decryption_delegate);
  room["encryption_delegate"] = reinterpret_cast<uintptr_t>(p.room.encryption_delegate);
  const AudioObtainParams& a = p.audio_obtain_params;
  Json obtain;
  obtain["audio_obtain_method"] = static_cast<uint32_t>(a.audio_obtain_method);
  obtain["enable_remote_audio_mix"] = a.enable_remote_audio_mix;
  obtain["output_sample_rate"] = a.output_sample_rate;
  obtain["output_channels"] = a.output_channels;
  obtain["output_frame_length_ms"] = a.output_frame_length_ms;
  obtain["output_audio_codec_type"] = static_cast<uint32_t>(a.output_audio_codec_type);
  Json j;
  j["room"] = std::move(room);
  j["scene"] = static_cast<uint32_t>(p.scene);
  j["role"] = static_cast<uint32_t>(p.role);
  j["private_map_key_hex"] = CText(p.private_map_key.GetValue());
  j["audio_obtain_params"] = std::move(obtain);
  j["use_pixel_frame_input"] = p.use_pixel_frame_input;
  j["use_pixel_frame_output"] = p.use_pixel_frame_output;
  return j;
}

// {"seq", "op", arguments..., "result"} of one operation.
std::string OperationJson(uint64_t seq, const corvel_operation& op) {
  Json j;
  j["seq"] = seq;
  const auto type = op.arg[0];
  switch (op.kind) {
    case CORVEL_OP_ENTER_ROOM:
      j["op"] = "EnterRoom";
      j["params"] = EnterRoomParamsJson(*static_cast<const EnterRoomParams*>(op.object));
      break;
    case CORVEL_OP_EXIT_ROOM:
      j["op"] = "ExitRoom";
      break;
    case CORVEL_OP_SUBSCRIBE:
    case CORVEL_OP_UNSUBSCRIBE:
      j["op"] = op.kind == CORVEL_OP_SUBSCRIBE ? "Subscribe" : "Unsubscribe";
      j["user_id_hex"] = CText(op.text);
      j["type"] = type;
      break;
    case CORVEL_OP_GET_AUDIO_FRAME:
      j["op"] = "GetAudioFrame";
      j["frame_null"] = op.object == nullptr;
      break;
    case CORVEL_OP_CREATE_LOCAL_AUDIO_CHANNEL: {
      const auto& p = *static_cast<const AudioEncodeParams*>(op.object);
      j["op"] = "CreateLocalAudioChannel";
      j["params"] = {{"channels", p.channels},
                     {"sample_rate", p.sample_rate},
                     {"frame_length_ms", p.frame_length_ms},
                     {"bitrate_bps", p.bitrate_bps},
                     {"need_encode", p.need_encode}};
      break;
    }
    case CORVEL_OP_SEND_AUDIO_FRAME:
    case CORVEL_OP_SEND_CONTINUOUS_AUDIO_FRAME:
      j["op"] =
          op.kind == CORVEL_OP_SEND_AUDIO_FRAME ? "SendAudioFrame" : "SendContinuousAudioFrame";
      j["frame"] =
          AudioFrameJson(*static_cast<const AudioFrame*>(op.object), op.extra, op.extra_size);
      if (op.kind == CORVEL_OP_SEND_CONTINUOUS_AUDIO_FRAME) j["clear_send_queue"] = type != 0;
      break;
    case CORVEL_OP_DESTROY_LOCAL_AUDIO_CHANNEL:
      j["op"] = "DestroyLocalAudioChannel";
      break;
    case CORVEL_OP_CREATE_LOCAL_VIDEO_CHANNEL:
    case CORVEL_OP_DESTROY_LOCAL_VIDEO_CHANNEL:
      j["op"] = op.kind == CORVEL_OP_CREATE_LOCAL_VIDEO_CHANNEL ? "CreateLocalVideoChannel"
                                                                : "DestroyLocalVideoChannel";
      j["type"] = type;
      break;
    case CORVEL_OP_SEND_VIDEO_FRAME:
      j["op"] = "SendVideoFrame";
      j["overload"] = "VideoFrame";
      j["type"] = type;
      j["frame"] = VideoFrameJson(*static_cast<const VideoFrame*>(op.object));
      break;
    case CORVEL_OP_SEND_PIXEL_FRAME:
      j["op"] = "SendVideoFrame";
      j["overload"] = "PixelFrame";
      j["type"] = type;
      j["frame"] = PixelFrameJson(*static_cast<const PixelFrame*>(op.object));
      break;
    case CORVEL_OP_SET_VIDEO_ENCODE_PARAM: {
      const auto& p = *static_cast<const VideoEncodeParams*>(op.object);
      j["op"] = "SetVideoEncodeParam";
      j["type"] = type;
      j["param"] = {{"frame_rate", p.frame_rate},
                    {"bitrate_bps", p.bitrate_bps},
                    {"gop_in_seconds", p.gop_in_seconds}};
      break;
    }
    case CORVEL_OP_SEND_SEI_MESSAGE:
      j["op"] = "SendSeiMessage";
      j["message_type"] = type;
      WriteMessage(j, op.text, op.length);
      break;
    case CORVEL_OP_SEND_CUSTOM_CMD_MSG:
      j["op"] = "SendCustomCmdMsg";
      j["cmd_id"] = static_cast<uint32_t>(op.arg[0]);
      WriteMessage(j, op.text, op.length);
      j["reliable"] = op.arg[1] != 0;
      j["ordered"] = op.arg[2] != 0;
      break;
    case CORVEL_OP_ENABLE_VOICE_ACTIVITY_DETECTION:
      j["op"] = "EnableVoiceActivityDetection";
      j["params"] = {{"enable", static_cast<const VADParams*>(op.object)->enable}};
      break;
    case CORVEL_OP_ENABLE_AUDIO_VOLUME_EVALUATION:
      j["op"] = "EnableAudioVolumeEvaluation";
      j["params"] = {
          {"interval", static_cast<const AudioVolumeEvaluateParams*>(op.object)->interval}};
      break;
    case CORVEL_OP_START_ASR_SERVICE:
      j["op"] = "startAsrService";
      j["params"] = {
          {"source_language_hex", CText(static_cast<const AsrParams*>(op.object)->sourceLanguage)}};
      break;
    case CORVEL_OP_STOP_ASR_SERVICE:
      j["op"] = "stopAsrService";
      break;
    case CORVEL_OP_CALL_EXPERIMENTAL_API:
      j["op"] = "CallExperimentalAPI";
      j["json_hex"] = CText(op.text);
      break;
    default:
      j["op"] = "unknown " + std::to_string(op.kind);
  }
  switch (op.result_type) {
    case CORVEL_RESULT_BOOL:
      j["result"] = op.result != 0;
      break;
    case CORVEL_RESULT_NONE:
      j["result"] = nullptr;
      break;
    default:
      j["result"] = op.result;
  }
  return j.dump();
}

Json SettingJson(const corvel_setting_call& c) {
  const std::string function = c.function;
  Json j = Json::object();
  if (function == "SetLogPath") {
    j["path_hex"] = CText(c.text[0]);
  } else if (function == "SetLogLevel") {
    j["level"] = c.number[0];
  } else if (function == "DisableLogCompress" || function == "DisableLogFile") {
    j["disabled"] = c.number[0] != 0;
  } else if (function == "SetSocks5Proxy") {
    j["ip_hex"] = CText(c.text[0]);
    j["port"] = c.number[0];
    j["username_hex"] = CText(c.text[1]);
    j["password_hex"] = CText(c.text[2]);
  } else if (function == "SetEnvironment") {
    j["env_hex"] = CText(c.text[0]);
  } else if (function == "SetWebClientFactory") {
    j["factory"] = static_cast<uint64_t>(c.number[0]);
  }
  if (c.has_result) j["result"] = c.result != 0;
  return j;
}

// ---- the observer ----

void OnCreated(void*, uint64_t id, corvel_counters_ref* counters) {
  Records::Get().Created(id, counters);
}

void OnDestroyed(void*, uint64_t id) { Records::Get().Destroyed(id); }

void OnOperation(void*, const corvel_operation* op) {
  Records& records = Records::Get();
  const uint64_t seq = records.NextSeq();  // omitted operations take one too
  const auto record = records.Find(op->instance);
  if (!record || record->OmitIfFull()) return;
  record->AddCall(OperationJson(seq, *op));
}

void OnSetting(void*, const corvel_setting_call* call) { Records::Get().Setting(*call); }

const corvel_observer kObserver = {nullptr, OnCreated, OnDestroyed, OnOperation, OnSetting};

const corvel_driver* Install() { return corvel_engine_hook(&kObserver); }

// Installed as soon as the library is loaded, before the tests create
// instances.
[[gnu::constructor]] void InstallOnLoad() { Driver(); }

}  // namespace

const corvel_driver& Driver() {
  static const corvel_driver* const driver = Install();
  return *driver;
}

// ---- CountersRef ----

CountersRef::~CountersRef() { Driver().release_counters(ref); }

corvel_counters CountersRef::Read() const {
  corvel_counters out{};
  Driver().read_counters(ref, &out);
  return out;
}

// ---- InstanceRecord ----

InstanceRecord::~InstanceRecord() { Records::Get().Release(calls_bytes_); }

bool InstanceRecord::OmitIfFull() {
  std::lock_guard<std::mutex> lock(mu_);
  if (calls_.size() < kMaxCalls) return false;
  ++omitted_;
  return true;
}

void InstanceRecord::AddCall(std::string json_object) {
  // Reserved before mu_ is taken: reclaiming locks other records.
  const uint64_t bytes = json_object.capacity() + sizeof(std::string);
  const bool reserved = Records::Get().Reserve(bytes);
  std::lock_guard<std::mutex> lock(mu_);
  if (!reserved || calls_.size() >= kMaxCalls) {
    if (reserved) Records::Get().Release(bytes);
    ++omitted_;
    return;
  }
  calls_.push_back(std::move(json_object));
  calls_bytes_ += bytes;
}

std::string InstanceRecord::CallsJson() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out = "[";
  for (size_t i = 0; i < calls_.size(); ++i) {
    if (i) out.push_back(',');
    out += calls_[i];
  }
  out.push_back(']');
  return out;
}

void InstanceRecord::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string>().swap(calls_);
  Records::Get().Release(calls_bytes_);
  calls_bytes_ = 0;
  omitted_ = 0;
}

uint64_t InstanceRecord::DropCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t freed = calls_bytes_;
  omitted_ += calls_.size();
  std::vector<std::string>().swap(calls_);
  Records::Get().Release(calls_bytes_);
  calls_bytes_ = 0;
  return freed;
}

uint64_t InstanceRecord::omitted_calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return omitted_;
}

uint64_t InstanceRecord::kept_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_bytes_;
}

// ---- Records ----

Records& Records::Get() {
  static Records* const records = [] {
    auto* made = new Records;  // engine threads report until exit
    pthread_atfork([] { Get().LockForFork(); }, [] { Get().UnlockAfterFork(); },
                   [] { Get().UnlockAfterFork(); });
    return made;
  }();
  return *records;
}

// Records::mu_ is never held while a record's lock is taken, nor the other
// way round, and no record lock is taken inside another: taking them all in
// turn cannot deadlock.
void Records::LockForFork() {
  mu_.lock();
  for (auto& [id, record] : records_) record->mu_.lock();
}

void Records::UnlockAfterFork() {
  for (auto& [id, record] : records_) record->mu_.unlock();
  mu_.unlock();
}

std::shared_ptr<InstanceRecord> Records::Find(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = records_.find(id);
    if (it != records_.end()) return it->second;
  }
  // Live from before the probe was loaded.
  corvel_counters_ref* counters = Driver().counters_of(id);
  if (!counters) return nullptr;
  auto fresh = std::make_shared<InstanceRecord>(id, std::make_unique<CountersRef>(counters));
  std::lock_guard<std::mutex> lock(mu_);
  return records_.emplace(id, std::move(fresh)).first->second;
}

void Records::Created(uint64_t id, corvel_counters_ref* counters) {
  auto record = std::make_shared<InstanceRecord>(id, std::make_unique<CountersRef>(counters));
  std::lock_guard<std::mutex> lock(mu_);
  records_[id] = std::move(record);
}

void Records::Destroyed(uint64_t id) {
  std::vector<std::shared_ptr<InstanceRecord>> forgotten;  // freed with no lock held
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!records_.count(id)) return;
    destroyed_.push_back(id);
    while (destroyed_.size() > kKeptDestroyed) {
      auto it = records_.find(destroyed_.front());
      if (it != records_.end()) {
        forgotten.push_back(std::move(it->second));
        records_.erase(it);
      }
      destroyed_.pop_front();
    }
  }
  forgotten.clear();
  TrimDestroyed();
}

std::vector<std::shared_ptr<InstanceRecord>> Records::DestroyedOldestFirst() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::shared_ptr<InstanceRecord>> out;
  for (uint64_t id : destroyed_) {
    auto it = records_.find(id);
    if (it != records_.end()) out.push_back(it->second);
  }
  return out;
}

void Records::TrimDestroyed() {
  const auto records = DestroyedOldestFirst();
  uint64_t kept = 0;
  uint64_t freed = 0;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const uint64_t bytes = (*it)->kept_bytes();
    if (kept + bytes <= kDestroyedBytes) {
      kept += bytes;
    } else {
      freed += (*it)->DropCalls();
    }
  }
  // Many small blocks freed at once: give the pages back to the system.
  if (freed >= (1u << 20)) malloc_trim(0);
}

bool Records::Reserve(uint64_t bytes) {
  while (true) {
    uint64_t used = bytes_.load(std::memory_order_relaxed);
    while (used + bytes <= kBytes) {
      if (bytes_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed)) return true;
    }
    // Frees records of destroyed instances, oldest first.
    uint64_t freed = 0;
    for (const auto& record : DestroyedOldestFirst()) {
      freed += record->DropCalls();
      if (freed >= bytes) break;
    }
    if (freed == 0) return false;
  }
}

void Records::Release(uint64_t bytes) { bytes_.fetch_sub(bytes, std::memory_order_relaxed); }

void Records::Setting(const corvel_setting_call& call) {
  Json arguments = SettingJson(call);
  std::lock_guard<std::mutex> lock(mu_);
  last_calls_[call.function] = std::move(arguments);
  ++call_counts_[call.function];
}

nlohmann::ordered_json Records::LastCalls() const {
  std::lock_guard<std::mutex> lock(mu_);
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  for (const auto& [function, arguments] : last_calls_) out[function] = arguments;
  return out;
}

nlohmann::json Records::CallCounts() const {
  std::lock_guard<std::mutex> lock(mu_);
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [function, count] : call_counts_) out[function] = count;
  return out;
}

void Records::ForgetSettings() {
  std::lock_guard<std::mutex> lock(mu_);
  last_calls_.clear();
  call_counts_.clear();
}

}  // namespace corvel::probe
