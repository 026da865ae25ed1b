#include "room_events.h"

#include <utility>

#include "room_backend.h"

namespace corvel::engine::room_events {

using namespace corvel::vora;

namespace {

// The task is built in place: the call is stored once, never moved.
template <typename Call>
Task Make(const char* name, Call&& call) {
  return Task{name, DelegateCall(std::forward<Call>(call)), nullptr};
}

}  // namespace

std::vector<Task> Entered() {
  std::vector<Task> tasks;
  tasks.push_back(ConnectionChanged(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED));
  tasks.push_back(Make("OnEnterRoom", [](VORACloudDelegate& d) { d.OnEnterRoom(); }));
  return tasks;
}

Task UserEntered(std::string user) {
  return Make("OnRemoteUserEnterRoom", [user = std::move(user)](VORACloudDelegate& d) {
    UserInfo info;
    info.user_id = user.c_str();
    d.OnRemoteUserEnterRoom(info);
  });
}

Task UserLeft(std::string user, int reason) {
  return Make("OnRemoteUserExitRoom", [user = std::move(user), reason](VORACloudDelegate& d) {
    UserInfo info;
    info.user_id = user.c_str();
    d.OnRemoteUserExitRoom(info, reason);
  });
}

Task AudioAvailable(std::string user, bool available) {
  return Make("OnRemoteAudioAvailable", [user = std::move(user), available](VORACloudDelegate& d) {
    d.OnRemoteAudioAvailable(user.c_str(), available);
  });
}

Task VideoAvailable(std::string user, int type, bool available) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnRemoteVideoAvailable",
              [user = std::move(user), t, available](VORACloudDelegate& d) {
                d.OnRemoteVideoAvailable(user.c_str(), available, t);
              });
}

Task ConnectionChanged(ConnectionState from, ConnectionState to) {
  return Make("OnConnectionStateChanged",
              [from, to](VORACloudDelegate& d) { d.OnConnectionStateChanged(from, to); });
}

Task Error(int code) {
  const auto e = static_cast<vora::Error>(code);
  return Make("OnError", [e](VORACloudDelegate& d) { d.OnError(e); });
}

std::vector<Task> SessionEnd(int error, bool audio_open, const std::set<int>& video_open,
                             ConnectionState from) {
  std::vector<Task> tasks;
  tasks.reserve(3 + video_open.size());
  if (error != 0) tasks.push_back(Error(error));
  if (audio_open)
    tasks.push_back(Make("OnLocalAudioChannelDestroyed",
                         [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); }));
  for (int type : video_open) {
    const auto t = static_cast<StreamType>(type);
    tasks.push_back(Make("OnLocalVideoChannelDestroyed",
                         [t](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(t); }));
  }
  tasks.push_back(ConnectionChanged(from, CONNECTION_STATE_DISCONNECTED));
  tasks.push_back(Make("OnExitRoom", [](VORACloudDelegate& d) { d.OnExitRoom(); }));
  return tasks;
}

Task KeyFrameRequested(int type) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnRequestKeyFrame", [t](VORACloudDelegate& d) { d.OnRequestKeyFrame(t); });
}

Task BitrateRequested(int type, int bps) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnRequestChangeVideoEncodeBitrate",
              [t, bps](VORACloudDelegate& d) { d.OnRequestChangeVideoEncodeBitrate(t, bps); });
}

Task NetworkQuality(std::string user, vora::NetworkQuality grade,
                    std::vector<std::pair<std::string, vora::NetworkQuality>> remotes) {
  return Make("OnNetworkQuality",
              [user = std::move(user), grade, remotes = std::move(remotes)](VORACloudDelegate& d) {
                NetworkQualityInfo mine;
                mine.user_id = user.c_str();
                mine.quality = grade;
                std::vector<NetworkQualityInfo> infos(remotes.size());
                for (size_t i = 0; i < remotes.size(); ++i) {
                  infos[i].user_id = remotes[i].first.c_str();
                  infos[i].quality = remotes[i].second;
                }
                d.OnNetworkQuality(&mine, infos.data(), infos.size());
              });
}

AudioFrame AudioBlock::Frame() const {
  AudioFrame frame;
  Fill(frame);
  SetFramePayload(frame, payload);
  return frame;
}

void AudioBlock::Fill(AudioFrame& frame) const {
  frame.sample_rate = rate;
  frame.channels = channels;
  frame.codec = codec;
  frame.pts = pts;
  frame.has_voice = voice;
}

// A remote user's audio is queued without an allocation of its own.
static_assert(sizeof(std::string) + sizeof(AudioBlock) <= DelegateCall::kInline);

Task RemoteAudio(std::string user, AudioBlock block) {
  return Make("OnRemoteAudioReceived", [user = std::move(user),
                                        block = std::move(block)](VORACloudDelegate& d) {
    block.Show([&](const AudioFrame& frame) { d.OnRemoteAudioReceived(user.c_str(), frame); });
  });
}

Task MixedAudio(AudioBlock block) {
  return Make("OnRemoteMixedAudioReceived", [block = std::move(block)](VORACloudDelegate& d) {
    block.Show([&](const AudioFrame& frame) { d.OnRemoteMixedAudioReceived(frame); });
  });
}

Task RemoteVideo(std::string user, int type, VideoFrame frame) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnRemoteVideoFrameReceived",
              [user = std::move(user), t, frame = std::move(frame)](VORACloudDelegate& d) {
                d.OnRemoteVideoReceived(user.c_str(), t, frame);
              });
}

Task RemotePixels(std::string user, int type, PixelFrame frame) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnRemotePixelFrameReceived",
              [user = std::move(user), t, frame = std::move(frame)](VORACloudDelegate& d) {
                d.OnRemoteVideoReceived(user.c_str(), t, frame);
              });
}

Task Sei(std::string user, int type, SeiMessage message) {
  const auto t = static_cast<StreamType>(type);
  return Make("OnSeiMessageReceived",
              [user = std::move(user), t, s = std::move(message)](VORACloudDelegate& d) {
                d.OnSeiMessageReceived(user.c_str(), t, s.type, s.bytes.data(), s.bytes.size());
              });
}

Task Message(std::string user, uint32_t cmd, uint32_t seq, std::string bytes) {
  return Make("OnReceiveCustomCmdMsg",
              [user = std::move(user), cmd, seq, bytes = std::move(bytes)](VORACloudDelegate& d) {
                d.OnReceiveCustomCmdMsg(user.c_str(), static_cast<int32_t>(cmd), seq, bytes.data(),
                                        bytes.size());
              });
}

Task MissedMessages(std::string user, uint32_t cmd, uint32_t missed) {
  return Make("OnMissCustomCmdMsg", [user = std::move(user), cmd, missed](VORACloudDelegate& d) {
    d.OnMissCustomCmdMsg(user.c_str(), static_cast<int32_t>(cmd), 0, missed);
  });
}

}  // namespace corvel::engine::room_events
