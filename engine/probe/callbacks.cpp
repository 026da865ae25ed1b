#include "callbacks.h"

#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "hex.h"

namespace corvel::probe {
namespace {

using namespace corvel::vora;
using Json = nlohmann::json;

std::optional<int64_t> AsInt(const Json& v) {
  if (v.is_number_unsigned()) {
    const auto u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  return std::nullopt;
}

std::optional<uint64_t> AsUint(const Json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>();
  if (v.is_number_integer()) {
    const auto i = v.get<int64_t>();
    if (i < 0) return std::nullopt;
    return static_cast<uint64_t>(i);
  }
  return std::nullopt;
}

constexpr const char* kNames[kCallbackSlots + 1] = {
    nullptr,
    "OnError",
    "OnConnectionStateChanged",
    "OnEnterRoom",
    "OnExitRoom",
    "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed",
    "OnLocalVideoChannelCreated",
    "OnLocalVideoChannelDestroyed",
    "OnRequestChangeVideoEncodeBitrate",
    "OnRequestKeyFrame",
    "OnRemoteUserEnterRoom",
    "OnRemoteUserExitRoom",
    "OnRemoteAudioAvailable",
    "OnRemoteVideoAvailable",
    "OnRemoteVideoReceived",
    "OnRemoteVideoReceived",
    "OnRemoteAudioReceived",
    "OnRemoteMixedAudioReceived",
    "OnSeiMessageReceived",
    "OnReceiveCustomCmdMsg",
    "OnMissCustomCmdMsg",
    "OnNetworkQuality",
    "OnUserVoiceVolume",
    "OnReceiveAsrMessage",
    "OnAsrServiceError",
};

// A text argument as the callee will see it: absent means a null pointer.
// Stored NUL-terminated, so bytes after an embedded NUL are invisible to a
// callee that reads it as C text.
using OptText = std::optional<std::string>;

const char* Ptr(const OptText& text) { return text ? text->c_str() : nullptr; }

// Reads arguments from one JSON object and remembers which keys it used, so
// that a misspelt key is reported instead of silently defaulted.
class ArgReader {
 public:
  ArgReader(const Json& object, std::string* error) : object_(object), error_(error) {
    if (!object.is_object() && !object.is_null()) Fail("arguments must be an object");
  }

  bool ok() const { return ok_; }

  template <typename T>
  T Int(const char* key, T fallback) {
    const Json* v = Take(key);
    if (!v) return fallback;
    if constexpr (std::is_signed_v<T>) {
      auto n = AsInt(*v);
      if (!n || *n < std::numeric_limits<T>::min() || *n > std::numeric_limits<T>::max()) {
        Fail(std::string("bad integer for ") + key);
        return fallback;
      }
      return static_cast<T>(*n);
    } else {
      auto n = AsUint(*v);
      if (!n || *n > std::numeric_limits<T>::max()) {
        Fail(std::string("bad unsigned integer for ") + key);
        return fallback;
      }
      return static_cast<T>(*n);
    }
  }

  bool Bool(const char* key, bool fallback) {
    const Json* v = Take(key);
    if (!v) return fallback;
    if (!v->is_boolean()) {
      Fail(std::string("bad boolean for ") + key);
      return fallback;
    }
    return v->get<bool>();
  }

  // "<key>_hex": hex text, or null for a null pointer; missing -> fallback.
  OptText Bytes(const std::string& key, OptText fallback) {
    const Json* v = Take(key + "_hex");
    if (!v) return fallback;
    if (v->is_null()) return std::nullopt;
    std::optional<std::string> bytes;
    if (v->is_string()) bytes = HexDecode(v->get_ref<const std::string&>());
    if (!bytes) Fail("bad hex for " + key + "_hex");
    return bytes;
  }

  const Json* Sub(const char* key) { return Take(key); }

  bool Finish() {
    if (!ok_ || !object_.is_object()) return ok_;
    for (const auto& item : object_.items()) {
      if (!used_.count(item.key())) Fail("unknown argument " + item.key());
    }
    return ok_;
  }

  void Fail(const std::string& why) {
    if (ok_ && error_) *error_ = why;
    ok_ = false;
  }

 private:
  const Json* Take(const std::string& key) {
    used_.insert(key);
    if (!object_.is_object()) return nullptr;
    const auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

  const Json& object_;
  std::string* error_;
  std::set<std::string> used_;
  bool ok_ = true;
};

// A message argument: the bytes supplied and the length the callee is told.
struct Message {
  OptText bytes;
  size_t length = 0;
};

Message ReadMessage(ArgReader& r) {
  Message m;
  m.bytes = r.Bytes("message", std::string());
  const size_t supplied = m.bytes ? m.bytes->size() : 0;
  m.length = r.Int<uint64_t>("length", supplied);
  if (m.length > supplied) r.Fail("length exceeds the message bytes supplied");
  return m;
}

bool ReadFrame(ArgReader& outer, AudioFrame& frame) {
  const Json* v = outer.Sub("frame");
  if (!v) return true;
  std::string error;
  ArgReader r(*v, &error);
  frame.sample_rate = r.Int<int>("sample_rate", frame.sample_rate);
  frame.channels = r.Int<int>("channels", frame.channels);
  frame.bits_per_sample = r.Int<int>("bits_per_sample", frame.bits_per_sample);
  frame.codec = static_cast<AudioCodecType>(r.Int<uint32_t>("codec", frame.codec));
  frame.pts = r.Int<uint32_t>("pts", frame.pts);
  frame.has_voice = r.Bool("has_voice", frame.has_voice);
  OptText data = r.Bytes("data", std::string());
  OptText extra = r.Bytes("extra", std::string());
  if (!r.Finish()) {
    outer.Fail("frame: " + error);
    return false;
  }
  if (data) frame.SetData(reinterpret_cast<const uint8_t*>(data->data()), data->size());
  if (extra) frame.SetExtraData(reinterpret_cast<const uint8_t*>(extra->data()), extra->size());
  return true;
}

bool ReadFrame(ArgReader& outer, VideoFrame& frame) {
  const Json* v = outer.Sub("frame");
  if (!v) return true;
  std::string error;
  ArgReader r(*v, &error);
  frame.pts = r.Int<uint32_t>("pts", frame.pts);
  frame.dts = r.Int<uint32_t>("dts", frame.dts);
  frame.is_key_frame = r.Bool("is_key_frame", frame.is_key_frame);
  frame.codec = static_cast<VideoCodecType>(r.Int<uint32_t>("codec", frame.codec));
  frame.rotation = static_cast<VideoRotation>(r.Int<uint32_t>("rotation", frame.rotation));
  OptText data = r.Bytes("data", std::string());
  if (!r.Finish()) {
    outer.Fail("frame: " + error);
    return false;
  }
  if (data) frame.SetData(reinterpret_cast<const uint8_t*>(data->data()), data->size());
  return true;
}

bool ReadFrame(ArgReader& outer, PixelFrame& frame) {
  const Json* v = outer.Sub("frame");
  if (!v) return true;
  std::string error;
  ArgReader r(*v, &error);
  frame.pts = r.Int<uint32_t>("pts", frame.pts);
  frame.width = r.Int<uint32_t>("width", frame.width);
  frame.height = r.Int<uint32_t>("height", frame.height);
  frame.format = static_cast<VideoPixelFormat>(r.Int<uint32_t>("format", frame.format));
  frame.rotation = static_cast<VideoRotation>(r.Int<uint32_t>("rotation", frame.rotation));
  OptText data = r.Bytes("data", std::string());
  if (!r.Finish()) {
    outer.Fail("frame: " + error);
    return false;
  }
  if (data) frame.SetData(reinterpret_cast<const uint8_t*>(data->data()), data->size());
  return true;
}

// One NetworkQualityInfo from {"user_id_hex": ..., "quality": n}.
bool ReadQuality(const Json& v, NetworkQualityInfo& info, std::string* error) {
  ArgReader r(v, error);
  OptText user = r.Bytes("user_id", std::string());
  info.user_id.SetValue(Ptr(user));
  info.quality = static_cast<NetworkQuality>(r.Int<uint32_t>("quality", info.quality));
  return r.Finish();
}

bool ReadVolume(const Json& v, VORAVolumeInfo& info, std::string* error) {
  ArgReader r(v, error);
  OptText user = r.Bytes("user_id", std::string());
  info.user_id.SetValue(Ptr(user));
  info.volume = r.Int<uint32_t>("volume", 0);
  return r.Finish();
}

StreamType ReadStream(ArgReader& r, const char* key) {
  return static_cast<StreamType>(r.Int<int32_t>(key, STREAM_TYPE_VIDEO_HIGH));
}

}  // namespace

const char* CallbackName(int slot) {
  return slot >= 1 && slot <= kCallbackSlots ? kNames[slot] : nullptr;
}

std::optional<DelegateCall> BuildInjectedCall(int slot, const Json& args, std::string* error) {
  ArgReader r(args, error);
  DelegateCall call;
  switch (slot) {
    case 1: {
      auto e = static_cast<Error>(r.Int<int32_t>("error", ERR_FAILED));
      call = [e](VORACloudDelegate& d) { d.OnError(e); };
      break;
    }
    case 2: {
      auto from = static_cast<ConnectionState>(r.Int<uint32_t>("old_state", CONNECTION_STATE_INIT));
      auto to =
          static_cast<ConnectionState>(r.Int<uint32_t>("new_state", CONNECTION_STATE_CONNECTING));
      call = [from, to](VORACloudDelegate& d) { d.OnConnectionStateChanged(from, to); };
      break;
    }
    case 3:
      call = [](VORACloudDelegate& d) { d.OnEnterRoom(); };
      break;
    case 4:
      call = [](VORACloudDelegate& d) { d.OnExitRoom(); };
      break;
    case 5:
      call = [](VORACloudDelegate& d) { d.OnLocalAudioChannelCreated(); };
      break;
    case 6:
      call = [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); };
      break;
    case 7: {
      StreamType t = ReadStream(r, "stream_type");
      call = [t](VORACloudDelegate& d) { d.OnLocalVideoChannelCreated(t); };
      break;
    }
    case 8: {
      StreamType t = ReadStream(r, "stream_type");
      call = [t](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(t); };
      break;
    }
    case 9: {
      StreamType t = ReadStream(r, "stream_type");
      int bitrate = r.Int<int32_t>("bitrate_bps", 0);
      call = [t, bitrate](VORACloudDelegate& d) {
        d.OnRequestChangeVideoEncodeBitrate(t, bitrate);
      };
      break;
    }
    case 10: {
      StreamType t = ReadStream(r, "stream_type");
      call = [t](VORACloudDelegate& d) { d.OnRequestKeyFrame(t); };
      break;
    }
    case 11:
    case 12: {
      OptText user = r.Bytes("user_id", std::string());
      UserInfo info;
      info.user_id.SetValue(Ptr(user));
      if (slot == 11) {
        call = [info](VORACloudDelegate& d) { d.OnRemoteUserEnterRoom(info); };
      } else {
        int reason = r.Int<int32_t>("reason", 0);
        call = [info, reason](VORACloudDelegate& d) { d.OnRemoteUserExitRoom(info, reason); };
      }
      break;
    }
    case 13: {
      OptText user = r.Bytes("user_id", std::string());
      bool available = r.Bool("available", true);
      call = [user, available](VORACloudDelegate& d) {
        d.OnRemoteAudioAvailable(Ptr(user), available);
      };
      break;
    }
    case 14: {
      OptText user = r.Bytes("user_id", std::string());
      bool available = r.Bool("available", true);
      StreamType t = ReadStream(r, "type");
      call = [user, available, t](VORACloudDelegate& d) {
        d.OnRemoteVideoAvailable(Ptr(user), available, t);
      };
      break;
    }
    case 15: {
      OptText user = r.Bytes("user_id", std::string());
      StreamType t = ReadStream(r, "type");
      VideoFrame frame;
      ReadFrame(r, frame);
      call = [user, t, frame](VORACloudDelegate& d) {
        d.OnRemoteVideoReceived(Ptr(user), t, frame);
      };
      break;
    }
    case 16: {
      OptText user = r.Bytes("user_id", std::string());
      StreamType t = ReadStream(r, "type");
      PixelFrame frame;
      ReadFrame(r, frame);
      call = [user, t, frame](VORACloudDelegate& d) {
        d.OnRemoteVideoReceived(Ptr(user), t, frame);
      };
      break;
    }
    case 17: {
      OptText user = r.Bytes("user_id", std::string());
      AudioFrame frame;
      ReadFrame(r, frame);
      call = [user, frame](VORACloudDelegate& d) { d.OnRemoteAudioReceived(Ptr(user), frame); };
      break;
    }
    case 18: {
      AudioFrame frame;
      ReadFrame(r, frame);
      call = [frame](VORACloudDelegate& d) { d.OnRemoteMixedAudioReceived(frame); };
      break;
    }
    case 19: {
      OptText user = r.Bytes("user_id", std::string());
      StreamType t = ReadStream(r, "stream_type");
      int message_type = r.Int<int32_t>("message_type", 5);
      Message m = ReadMessage(r);
      call = [user, t, message_type, m](VORACloudDelegate& d) {
        d.OnSeiMessageReceived(Ptr(user), t, message_type, Ptr(m.bytes), m.length);
      };
      break;
    }
    case 20: {
      OptText user = r.Bytes("user_id", std::string());
      int32_t cmd_id = r.Int<int32_t>("cmd_id", 1);
      uint32_t seq = r.Int<uint32_t>("seq", 0);
      Message m = ReadMessage(r);
      call = [user, cmd_id, seq, m](VORACloudDelegate& d) {
        d.OnReceiveCustomCmdMsg(Ptr(user), cmd_id, seq, Ptr(m.bytes), m.length);
      };
      break;
    }
    case 21: {
      OptText user = r.Bytes("user_id", std::string());
      int32_t cmd_id = r.Int<int32_t>("cmd_id", 1);
      uint32_t error_code = r.Int<uint32_t>("error_code", 0);
      uint32_t missed = r.Int<uint32_t>("missed", 0);
      call = [user, cmd_id, error_code, missed](VORACloudDelegate& d) {
        d.OnMissCustomCmdMsg(Ptr(user), cmd_id, error_code, missed);
      };
      break;
    }
    case 22: {
      std::optional<NetworkQualityInfo> local = NetworkQualityInfo();
      if (const Json* v = r.Sub("local")) {
        if (v->is_null()) {
          local.reset();
        } else if (!ReadQuality(*v, *local, error)) {
          r.Fail("local: " + (error ? *error : std::string()));
        }
      }
      std::vector<NetworkQualityInfo> remote;
      bool remote_null = false;
      if (const Json* v = r.Sub("remote")) {
        if (v->is_null()) {
          remote_null = true;
        } else if (!v->is_array()) {
          r.Fail("remote must be a list");
        } else {
          remote.resize(v->size());
          for (size_t i = 0; i < remote.size() && r.ok(); ++i) {
            if (!ReadQuality((*v)[i], remote[i], error)) r.Fail("remote: " + *error);
          }
        }
      }
      size_t count = r.Int<uint64_t>("count", remote.size());
      if (count > remote.size()) r.Fail("count exceeds the records supplied");
      call = [local, remote, remote_null, count](VORACloudDelegate& d) mutable {
        d.OnNetworkQuality(local ? &*local : nullptr,
                           remote_null || remote.empty() ? nullptr : remote.data(), count);
      };
      break;
    }
    case 23: {
      std::vector<VORAVolumeInfo> volumes;
      bool volumes_null = false;
      if (const Json* v = r.Sub("volumes")) {
        if (v->is_null()) {
          volumes_null = true;
        } else if (!v->is_array()) {
          r.Fail("volumes must be a list");
        } else {
          volumes.resize(v->size());
          for (size_t i = 0; i < volumes.size() && r.ok(); ++i) {
            if (!ReadVolume((*v)[i], volumes[i], error)) r.Fail("volumes: " + *error);
          }
        }
      }
      uint32_t count = r.Int<uint32_t>("count", static_cast<uint32_t>(volumes.size()));
      if (count > volumes.size()) r.Fail("count exceeds the records supplied");
      uint32_t total = r.Int<uint32_t>("total", 0);
      call = [volumes, volumes_null, count, total](VORACloudDelegate& d) mutable {
        d.OnUserVoiceVolume(volumes_null || volumes.empty() ? nullptr : volumes.data(), count,
                            total);
      };
      break;
    }
    case 24: {
      OptText speaker = r.Bytes("speaker_user_id", std::string());
      OptText text = r.Bytes("text", std::string());
      call = [speaker, text](VORACloudDelegate& d) {
        AsrMessage message{Ptr(speaker), Ptr(text)};
        d.OnReceiveAsrMessage(message);
      };
      break;
    }
    case 25: {
      int code = r.Int<int32_t>("error", 0);
      OptText info = r.Bytes("error_info", std::string());
      call = [code, info](VORACloudDelegate& d) { d.OnAsrServiceError(code, Ptr(info)); };
      break;
    }
    default:
      r.Fail("unknown callback slot " + std::to_string(slot));
  }
  if (!r.Finish()) return std::nullopt;
  return call;
}

}  // namespace corvel::probe
