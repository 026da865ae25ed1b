// The engine class, its callback interface, and the room records.
//
// Part of the binary interface of libcorvel.so: the order of the virtual
// operations of VORACloud and VORACloudDelegate is the order of their slots in
// the virtual tables the library calls through, and the record layouts are
// checked below.
#ifndef CORVEL_VORA_CLOUD_H_
#define CORVEL_VORA_CLOUD_H_

#include <cstddef>
#include <cstdint>

#include "corvel_vora_defines.h"

namespace corvel {
namespace vora {

enum VORARole : unsigned int {
  VORA_ROLE_ANCHOR = 0,
  VORA_ROLE_AUDIENCE = 1,
};

enum VORAScene : unsigned int {
  VORA_SCENE_VIDEO_CALL = 0,
  VORA_SCENE_AUDIO_CALL = 1,
  VORA_SCENE_LIVE = 2,
  VORA_SCENE_VOICE_CHAT = 3,
  VORA_SCENE_RECORD = 4,
};

enum AudioObtainMethod : unsigned int {
  AUDIO_OBTAIN_METHOD_GET = 0,
  AUDIO_OBTAIN_METHOD_CALLBACK = 1,
};

enum NetworkQuality : unsigned int {
  NETWORK_QUALITY_UNKNOWN = 0,
  NETWORK_QUALITY_EXCELLENT = 1,
  NETWORK_QUALITY_GOOD = 2,
  NETWORK_QUALITY_POOR = 3,
  NETWORK_QUALITY_BAD = 4,
  NETWORK_QUALITY_VERY_BAD = 5,
  NETWORK_QUALITY_DOWN = 6,
};

enum ConnectionState : unsigned int {
  CONNECTION_STATE_INIT = 0,
  CONNECTION_STATE_DISCONNECTED = 1,
  CONNECTION_STATE_CONNECTING = 2,
  CONNECTION_STATE_CONNECTED = 3,
};

// How remote audio reaches the application: pulled with GetAudioFrame or
// delivered by callbacks, mixed or per user, and in which output format.
struct AudioObtainParams {
  AudioObtainMethod audio_obtain_method;
  bool enable_remote_audio_mix;
  int output_sample_rate;
  int output_channels;
  int output_frame_length_ms;
  AudioCodecType output_audio_codec_type;

  AudioObtainParams()
      : audio_obtain_method(AUDIO_OBTAIN_METHOD_CALLBACK),
        enable_remote_audio_mix(false),
        output_sample_rate(16000),
        output_channels(1),
        output_frame_length_ms(20),
        output_audio_codec_type(AUDIO_CODEC_TYPE_PCM) {}
};

struct CORVEL_API EnterRoomParams {
  RoomParams room;
  VORAScene scene;
  VORARole role;
  VoraString private_map_key;
  AudioObtainParams audio_obtain_params;
  bool use_pixel_frame_input;
  bool use_pixel_frame_output;

  EnterRoomParams();
  ~EnterRoomParams();
};

struct AudioEncodeParams {
  int channels;
  int sample_rate;
  int frame_length_ms;
  int bitrate_bps;
  bool need_encode;

  AudioEncodeParams()
      : channels(1),
        sample_rate(48000),
        frame_length_ms(20),
        bitrate_bps(51200),
        need_encode(true) {}
};

struct VideoEncodeParams {
  int frame_rate = 15;
  int bitrate_bps = 0;
  int gop_in_seconds = 3;
};

struct NetworkQualityInfo {
  VoraString user_id;
  NetworkQuality quality;

  NetworkQualityInfo() : user_id(""), quality(NETWORK_QUALITY_DOWN) {}
};

struct UserInfo {
  VoraString user_id;
};

struct VADParams {
  bool enable = false;
};

struct AudioVolumeEvaluateParams {
  uint32_t interval;
};

struct AsrParams {
  const char* sourceLanguage;
};

struct VORAVolumeInfo {
  VoraString user_id;
  uint32_t volume;
};

struct AsrMessage {
  const char* speakerUserId;
  const char* text;
};

// Receives everything the engine reports. The engine calls it from its own
// threads until VORACloud::Destroy has returned for the instance it was given
// to, and never afterwards.
class VORACloudDelegate {
 public:
  virtual void OnError(Error error) = 0;
  virtual void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) = 0;
  virtual void OnEnterRoom() = 0;
  virtual void OnExitRoom() = 0;
  virtual void OnLocalAudioChannelCreated() = 0;
  virtual void OnLocalAudioChannelDestroyed() = 0;
  virtual void OnLocalVideoChannelCreated(StreamType stream_type) = 0;
  virtual void OnLocalVideoChannelDestroyed(StreamType stream_type) = 0;
  virtual void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) = 0;
  virtual void OnRequestKeyFrame(StreamType stream_type) = 0;
  virtual void OnRemoteUserEnterRoom(const UserInfo& info) = 0;
  virtual void OnRemoteUserExitRoom(const UserInfo& info, int reason) = 0;
  virtual void OnRemoteAudioAvailable(const char* user_id, bool available) = 0;
  virtual void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) = 0;
  virtual void OnRemoteVideoReceived(const char* user_id, StreamType type,
                                     const VideoFrame& frame) = 0;
  virtual void OnRemoteVideoReceived(const char* user_id, StreamType type,
                                     const PixelFrame& frame) = 0;
  virtual void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) = 0;
  virtual void OnRemoteMixedAudioReceived(const AudioFrame& frame) = 0;
  virtual void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                    const char* message, size_t length) {
    (void)user_id, (void)stream_type, (void)message_type, (void)message, (void)length;
  }
  virtual void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                                     const char* message, size_t length) {
    (void)user_id, (void)cmd_id, (void)seq, (void)message, (void)length;
  }
  virtual void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                  uint32_t missed) {
    (void)user_id, (void)cmd_id, (void)error_code, (void)missed;
  }
  virtual void OnNetworkQuality(NetworkQualityInfo* local_quality,
                                NetworkQualityInfo* remote_qualities, size_t remote_quality_count) {
    (void)local_quality, (void)remote_qualities, (void)remote_quality_count;
  }
  virtual void OnUserVoiceVolume(VORAVolumeInfo* userVolumes, uint32_t userVolumesCount,
                                 uint32_t totalVolume) {
    (void)userVolumes, (void)userVolumesCount, (void)totalVolume;
  }
  virtual void OnReceiveAsrMessage(const AsrMessage& message) { (void)message; }
  virtual void OnAsrServiceError(int error, const char* errorInfo) { (void)error, (void)errorInfo; }
  virtual ~VORACloudDelegate() {}
};

// One engine instance. Made by Create, ended by Destroy; never deleted
// directly.
class CORVEL_API VORACloud {
 public:
  static VORACloud* Create(VORACloudDelegate* delegate);
  static void Destroy(VORACloud* cloud);

  virtual int EnterRoom(const EnterRoomParams& params) = 0;
  virtual int ExitRoom() = 0;
  virtual int Subscribe(const char* user_id, StreamType type) = 0;
  virtual int Unsubscribe(const char* user_id, StreamType type) = 0;
  virtual int GetAudioFrame(AudioFrame* frame) = 0;
  virtual int CreateLocalAudioChannel(const AudioEncodeParams& params) = 0;
  virtual int SendAudioFrame(const AudioFrame& frame) = 0;
  virtual int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) = 0;
  virtual int DestroyLocalAudioChannel() = 0;
  virtual int CreateLocalVideoChannel(StreamType type) = 0;
  virtual int SendVideoFrame(StreamType type, const VideoFrame& frame) = 0;
  virtual int SendVideoFrame(StreamType type, const PixelFrame& frame) = 0;
  virtual void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) = 0;
  virtual int SendSeiMessage(int message_type, const char* message, size_t length) = 0;
  virtual bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                bool ordered) = 0;
  virtual int DestroyLocalVideoChannel(StreamType type) = 0;
  virtual void EnableVoiceActivityDetection(const VADParams& params) = 0;
  virtual int EnableAudioVolumeEvaluation(const AudioVolumeEvaluateParams& params) = 0;
  virtual int startAsrService(const AsrParams& params) = 0;
  virtual int stopAsrService() = 0;
  virtual int CallExperimentalAPI(const char* json) = 0;

 protected:
  virtual ~VORACloud() {}
};

static_assert(sizeof(VORAScene) == 4 && sizeof(VORARole) == 4 && sizeof(AudioObtainMethod) == 4 &&
              sizeof(NetworkQuality) == 4 && sizeof(ConnectionState) == 4);

static_assert(offsetof(AudioObtainParams, audio_obtain_method) == 0);
static_assert(offsetof(AudioObtainParams, enable_remote_audio_mix) == 4);
static_assert(offsetof(AudioObtainParams, output_sample_rate) == 8);
static_assert(offsetof(AudioObtainParams, output_channels) == 12);
static_assert(offsetof(AudioObtainParams, output_frame_length_ms) == 16);
static_assert(offsetof(AudioObtainParams, output_audio_codec_type) == 20);
static_assert(sizeof(AudioObtainParams) == 24);

static_assert(offsetof(EnterRoomParams, room) == 0);
static_assert(offsetof(EnterRoomParams, scene) == 64);
static_assert(offsetof(EnterRoomParams, role) == 68);
static_assert(offsetof(EnterRoomParams, private_map_key) == 72);
static_assert(offsetof(EnterRoomParams, audio_obtain_params) == 80);
static_assert(offsetof(EnterRoomParams, use_pixel_frame_input) == 104);
static_assert(offsetof(EnterRoomParams, use_pixel_frame_output) == 105);
static_assert(sizeof(EnterRoomParams) == 112);

static_assert(offsetof(AudioEncodeParams, channels) == 0);
static_assert(offsetof(AudioEncodeParams, sample_rate) == 4);
static_assert(offsetof(AudioEncodeParams, frame_length_ms) == 8);
static_assert(offsetof(AudioEncodeParams, bitrate_bps) == 12);
static_assert(offsetof(AudioEncodeParams, need_encode) == 16);
static_assert(sizeof(AudioEncodeParams) == 20);

static_assert(offsetof(VideoEncodeParams, frame_rate) == 0);
static_assert(offsetof(VideoEncodeParams, bitrate_bps) == 4);
static_assert(offsetof(VideoEncodeParams, gop_in_seconds) == 8);
static_assert(sizeof(VideoEncodeParams) == 12);

static_assert(offsetof(NetworkQualityInfo, user_id) == 0);
static_assert(offsetof(NetworkQualityInfo, quality) == 8);
static_assert(sizeof(NetworkQualityInfo) == 16);
static_assert(sizeof(UserInfo) == 8);
static_assert(sizeof(VADParams) == 1);

static_assert(offsetof(VORAVolumeInfo, volume) == 8);
static_assert(sizeof(VORAVolumeInfo) == 16);
static_assert(offsetof(AsrMessage, text) == 8);
static_assert(sizeof(AsrMessage) == 16);

}  // namespace vora
}  // namespace corvel

#endif  // CORVEL_VORA_CLOUD_H_
