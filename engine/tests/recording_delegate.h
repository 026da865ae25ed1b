// A test helper shared by the engine's GoogleTest programs: a delegate that
// records every callback as a line of text together with the thread it
// arrived on.
#ifndef CORVEL_ENGINE_TESTS_RECORDING_DELEGATE_H_
#define CORVEL_ENGINE_TESTS_RECORDING_DELEGATE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vora/corvel_vora_cloud.h"

namespace corvel_test {

using namespace corvel::vora;

// Streams every argument into one string.
template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

inline std::string Text(const char* s) { return s ? Cat("\"", s, "\"") : "null"; }

inline std::string Bytes(const char* p, size_t n) {
  return p ? Cat("\"", std::string(p, n), "\"") : "null";
}

class RecordingDelegate : public VORACloudDelegate {
 public:
  struct Event {
    std::string text;
    std::thread::id thread;
  };

  // Runs before each event is recorded, with the callback name; may throw,
  // block, or destroy the instance.
  std::function<void(const std::string& name)> hook;

  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const Event& e : events()) out.push_back(e.text);
    return out;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_.size();
  }
  // Waits until at least n events arrived; false on timeout.
  bool WaitFor(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return events_.size() >= n; });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }

  void OnError(Error error) override { Add("OnError", Cat("(", error, ")")); }
  void OnConnectionStateChanged(ConnectionState a, ConnectionState b) override {
    Add("OnConnectionStateChanged", Cat("(", a, ",", b, ")"));
  }
  void OnEnterRoom() override { Add("OnEnterRoom", ""); }
  void OnExitRoom() override { Add("OnExitRoom", ""); }
  void OnLocalAudioChannelCreated() override { Add("OnLocalAudioChannelCreated", ""); }
  void OnLocalAudioChannelDestroyed() override { Add("OnLocalAudioChannelDestroyed", ""); }
  void OnLocalVideoChannelCreated(StreamType t) override {
    Add("OnLocalVideoChannelCreated", Cat("(", t, ")"));
  }
  void OnLocalVideoChannelDestroyed(StreamType t) override {
    Add("OnLocalVideoChannelDestroyed", Cat("(", t, ")"));
  }
  void OnRequestChangeVideoEncodeBitrate(StreamType t, int bps) override {
    Add("OnRequestChangeVideoEncodeBitrate", Cat("(", t, ",", bps, ")"));
  }
  void OnRequestKeyFrame(StreamType t) override { Add("OnRequestKeyFrame", Cat("(", t, ")")); }
  void OnRemoteUserEnterRoom(const UserInfo& info) override {
    Add("OnRemoteUserEnterRoom", Cat("(", Text(info.user_id.GetValue()), ")"));
  }
  void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
    Add("OnRemoteUserExitRoom", Cat("(", Text(info.user_id.GetValue()), ",", reason, ")"));
  }
  void OnRemoteAudioAvailable(const char* user, bool available) override {
    Add("OnRemoteAudioAvailable", Cat("(", Text(user), ",", available, ")"));
  }
  void OnRemoteVideoAvailable(const char* user, bool available, StreamType t) override {
    Add("OnRemoteVideoAvailable", Cat("(", Text(user), ",", available, ",", t, ")"));
  }
  void OnRemoteVideoReceived(const char* user, StreamType t, const VideoFrame& f) override {
    Add("OnRemoteVideoReceived",
        Cat("(", Text(user), ",", t, ",video pts=", f.pts, " dts=", f.dts, " key=", f.is_key_frame,
            " codec=", f.codec, " rot=", f.rotation, " data=", Payload(f.data(), f.size()), ")"));
  }
  void OnRemoteVideoReceived(const char* user, StreamType t, const PixelFrame& f) override {
    Add("OnRemoteVideoReceived",
        Cat("(", Text(user), ",", t, ",pixel pts=", f.pts, " ", f.width, "x", f.height,
            " fmt=", f.format, " rot=", f.rotation, " data=", Payload(f.data(), f.size()), ")"));
  }
  void OnRemoteAudioReceived(const char* user, const AudioFrame& f) override {
    Add("OnRemoteAudioReceived", Cat("(", Text(user), ",", Audio(f), ")"));
  }
  void OnRemoteMixedAudioReceived(const AudioFrame& f) override {
    Add("OnRemoteMixedAudioReceived", Cat("(", Audio(f), ")"));
  }
  void OnSeiMessageReceived(const char* user, StreamType t, int type, const char* message,
                            size_t length) override {
    Add("OnSeiMessageReceived",
        Cat("(", Text(user), ",", t, ",", type, ",", Bytes(message, length), ",", length, ")"));
  }
  void OnReceiveCustomCmdMsg(const char* user, int32_t cmd, uint32_t seq, const char* message,
                             size_t length) override {
    Add("OnReceiveCustomCmdMsg",
        Cat("(", Text(user), ",", cmd, ",", seq, ",", Bytes(message, length), ",", length, ")"));
  }
  void OnMissCustomCmdMsg(const char* user, int32_t cmd, uint32_t code, uint32_t missed) override {
    Add("OnMissCustomCmdMsg", Cat("(", Text(user), ",", cmd, ",", code, ",", missed, ")"));
  }
  void OnNetworkQuality(NetworkQualityInfo* local, NetworkQualityInfo* remote,
                        size_t count) override {
    std::ostringstream s;
    s << "(";
    if (local) {
      s << Text(local->user_id.GetValue()) << ":" << local->quality;
    } else {
      s << "null";
    }
    s << ",[";
    for (size_t i = 0; i < count; ++i) {
      s << (i ? "," : "") << Text(remote[i].user_id.GetValue()) << ":" << remote[i].quality;
    }
    s << "]," << count << ")";
    Add("OnNetworkQuality", s.str());
  }
  void OnUserVoiceVolume(VORAVolumeInfo* volumes, uint32_t count, uint32_t total) override {
    std::ostringstream s;
    s << "([";
    for (uint32_t i = 0; i < count; ++i) {
      s << (i ? "," : "") << Text(volumes[i].user_id.GetValue()) << ":" << volumes[i].volume;
    }
    s << "]," << total << ")";
    Add("OnUserVoiceVolume", s.str());
  }
  void OnReceiveAsrMessage(const AsrMessage& m) override {
    Add("OnReceiveAsrMessage", Cat("(", Text(m.speakerUserId), ",", Text(m.text), ")"));
  }
  void OnAsrServiceError(int error, const char* info) override {
    Add("OnAsrServiceError", Cat("(", error, ",", Text(info), ")"));
  }

 private:
  static std::string Payload(const uint8_t* p, size_t n) {
    return Cat("\"", std::string(reinterpret_cast<const char*>(p), n), "\"");
  }
  static std::string Audio(const AudioFrame& f) {
    return Cat("audio ", f.sample_rate, "Hz ch=", f.channels, " bits=", f.bits_per_sample,
               " codec=", f.codec, " pts=", f.pts, " voice=", f.has_voice,
               " data=", Payload(f.data(), f.size()));
  }

  void Add(const std::string& name, const std::string& args) {
    if (hook) hook(name);
    // Notify under the lock: a waiter that then destroys the delegate cannot
    // do so while the notification is still in progress.
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back({Cat(name, args), std::this_thread::get_id()});
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

}  // namespace corvel_test

#endif  // CORVEL_ENGINE_TESTS_RECORDING_DELEGATE_H_
