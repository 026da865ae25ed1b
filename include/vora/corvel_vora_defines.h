// Engine value types shared by the engine library and its users: the owned
// string, the byte buffer, the media frames, the room record, and the
// enumerations they carry.
//
// This header is part of the binary interface of libcorvel.so. Field order,
// field types and the order of member declarations are fixed; the
// static_asserts at the end fail the build when a change moves a field.
#ifndef CORVEL_VORA_DEFINES_H_
#define CORVEL_VORA_DEFINES_H_

#include <cstddef>
#include <cstdint>

#if defined(CORVEL_BUILDING_LIBRARY)
#define CORVEL_API __attribute__((visibility("default")))
#else
#define CORVEL_API
#endif

namespace corvel {
namespace vora {

enum Error : int {
  ERR_OK = 0,
  ERR_FAILED = -1,
  ERR_INVALID_PARAMETER = -2,
  ERR_INVALID_OPERATION = -3,
  ERR_NOT_SUPPORTED = -4,
  ERR_REQUEST_SERVER_TIMEOUT = -6,
  ERR_SERVER_PROCESS_FAILED = -7,
  ERR_READ_TRY_AGAIN = -102,
  ERR_NETWORK_UNREACHABLE = -103,
  ERR_ENTER_ROOM_FAILED = -3301,
  ERR_INVALID_SDK_APP_ID = -3317,
  ERR_INVALID_ROOM_ID = -3318,
  ERR_INVALID_USER_ID = -3319,
  ERR_INVALID_USER_SIG = -3320,
  ERR_SERVICE_SUSPENDED = -100013,
  ERR_BANNED_BY_SERVER = -205,
};

enum VideoCodecType : unsigned int {
  VIDEO_CODEC_TYPE_H264 = 0,
  VIDEO_CODEC_TYPE_H265 = 1,
};

enum AudioCodecType : unsigned int {
  AUDIO_CODEC_TYPE_PCM = 0,
  AUDIO_CODEC_TYPE_OPUS = 1,
  AUDIO_CODEC_TYPE_AAC = 2,
};

enum StreamType : int {
  STREAM_TYPE_UNKNOWN = -1,
  STREAM_TYPE_AUDIO = 1,
  STREAM_TYPE_VIDEO_HIGH = 2,
  STREAM_TYPE_VIDEO_LOW = 3,
  STREAM_TYPE_VIDEO_AUX = 7,
};

// Rotation in quarter turns, not degrees.
enum VideoRotation : unsigned int {
  VIDEO_ROTATION_0 = 0,
  VIDEO_ROTATION_90 = 1,
  VIDEO_ROTATION_180 = 2,
  VIDEO_ROTATION_270 = 3,
};

enum VideoPixelFormat : unsigned int {
  VIDEO_PIXEL_FORMAT_YUV420p = 0,
  VIDEO_PIXEL_FORMAT_YUVA420p = 1,
  VIDEO_PIXEL_FORMAT_RGBA = 2,
};

enum WatermarkType {
  kWatermarkImage = 1,
  kWatermarkText = 2,
  kWatermarkTimestamp = 3,
};

// An owned, NUL-terminated text. Every copy owns its own text; a value built
// or set from a null pointer holds no text (GetValue() returns null).
class CORVEL_API VoraString {
 public:
  VoraString();
  ~VoraString();
  VoraString(const char* value);
  VoraString(const VoraString& other);
  VoraString& operator=(const char* value);
  VoraString& operator=(const VoraString& other);
  void SetValue(const char* value);
  const char* GetValue() const;

 private:
  void* str_;
};

// An engine-owned byte buffer, used by the payload crypto delegates.
class CORVEL_API VoraBuffer {
 public:
  VoraBuffer();
  VoraBuffer(const VoraBuffer& other);
  VoraBuffer& operator=(const VoraBuffer& other);
  ~VoraBuffer();
  void SetData(const uint8_t* data, size_t size);
  void SetSize(size_t size);
  uint8_t* data();
  const uint8_t* cdata() const;
  size_t size() const;
  const void* handle() const;

 private:
  void* handle_;
};

// Media frames. The payload lives behind handle_, which only the engine
// touches; SetData copies the bytes it is given, and a copy of a frame owns
// its payload independently of the original.
class CORVEL_API AudioFrame {
 public:
  int sample_rate;
  int channels;
  int bits_per_sample;
  AudioCodecType codec;
  uint32_t pts;
  bool has_voice;
  void* handle_;

  AudioFrame();
  AudioFrame(const AudioFrame& other);
  AudioFrame& operator=(const AudioFrame& other);
  ~AudioFrame();
  void SetData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  void SetExtraData(const uint8_t* data, size_t size);
  const void* handle();
};

class CORVEL_API VideoFrame {
 public:
  uint32_t pts;
  uint32_t dts;
  bool is_key_frame;
  VideoCodecType codec;
  VideoRotation rotation;
  void* handle_;

  VideoFrame();
  VideoFrame(const VideoFrame& other);
  VideoFrame& operator=(const VideoFrame& other);
  ~VideoFrame();
  void SetData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  const void* handle();
};

class CORVEL_API PixelFrame {
 public:
  uint32_t pts;
  uint32_t width;
  uint32_t height;
  VideoPixelFormat format;
  VideoRotation rotation;
  void* handle_;

  PixelFrame();
  PixelFrame(const PixelFrame& other);
  PixelFrame& operator=(const PixelFrame& other);
  ~PixelFrame();
  void SetData(const uint8_t* data, size_t size);
  const uint8_t* data() const;
  size_t size() const;
  const void* handle();
};

// Payload crypto: the engine hands each outgoing payload to the encryption
// delegate and each incoming one to the decryption delegate of the room.
struct CORVEL_API EncryptionData {
  int32_t room_id;
  VoraString str_room_id;
  VoraString user_id;
  StreamType stream_type;
  const VoraBuffer* decrypted;  // input
  VoraBuffer* encrypted;        // output

  EncryptionData();
  ~EncryptionData();
};

struct CORVEL_API DecryptionData {
  int32_t room_id;
  VoraString str_room_id;
  VoraString user_id;
  StreamType stream_type;
  const VoraBuffer* encrypted;  // input
  VoraBuffer* decrypted;        // output

  DecryptionData();
  ~DecryptionData();
};

class EncryptionDelegate {
 public:
  virtual bool OnDataEncrypt(EncryptionData& data) = 0;
  virtual ~EncryptionDelegate() {}
};

class DecryptionDelegate {
 public:
  virtual bool OnDataDecrypt(DecryptionData& data) = 0;
  virtual ~DecryptionDelegate() {}
};

struct CORVEL_API RoomParams {
  uint32_t sdk_app_id;
  VoraString user_id;
  VoraString user_sig;
  uint32_t room_id;
  VoraString str_room_id;
  void* custom_data;
  DecryptionDelegate* decryption_delegate;
  EncryptionDelegate* encryption_delegate;

  RoomParams();
  RoomParams(const RoomParams& other);
  ~RoomParams();
  RoomParams& operator=(const RoomParams& other) = default;
};

// Layout checks for x86-64: these fields are read by code compiled
// separately from the engine, so none may move.
static_assert(sizeof(void*) == 8, "the engine interface is defined for 64-bit targets");
static_assert(sizeof(Error) == 4 && sizeof(StreamType) == 4 && sizeof(AudioCodecType) == 4 &&
              sizeof(VideoCodecType) == 4 && sizeof(VideoRotation) == 4 &&
              sizeof(VideoPixelFormat) == 4);
static_assert(sizeof(VoraString) == sizeof(void*));
static_assert(sizeof(VoraBuffer) == sizeof(void*));

static_assert(offsetof(AudioFrame, sample_rate) == 0);
static_assert(offsetof(AudioFrame, channels) == 4);
static_assert(offsetof(AudioFrame, bits_per_sample) == 8);
static_assert(offsetof(AudioFrame, codec) == 12);
static_assert(offsetof(AudioFrame, pts) == 16);
static_assert(offsetof(AudioFrame, has_voice) == 20);
static_assert(offsetof(AudioFrame, handle_) == 24);
static_assert(sizeof(AudioFrame) == 32);

static_assert(offsetof(VideoFrame, pts) == 0);
static_assert(offsetof(VideoFrame, dts) == 4);
static_assert(offsetof(VideoFrame, is_key_frame) == 8);
static_assert(offsetof(VideoFrame, codec) == 12);
static_assert(offsetof(VideoFrame, rotation) == 16);
static_assert(offsetof(VideoFrame, handle_) == 24);
static_assert(sizeof(VideoFrame) == 32);

static_assert(offsetof(PixelFrame, pts) == 0);
static_assert(offsetof(PixelFrame, width) == 4);
static_assert(offsetof(PixelFrame, height) == 8);
static_assert(offsetof(PixelFrame, format) == 12);
static_assert(offsetof(PixelFrame, rotation) == 16);
static_assert(offsetof(PixelFrame, handle_) == 24);
static_assert(sizeof(PixelFrame) == 32);

static_assert(offsetof(EncryptionData, room_id) == 0);
static_assert(offsetof(EncryptionData, str_room_id) == 8);
static_assert(offsetof(EncryptionData, user_id) == 16);
static_assert(offsetof(EncryptionData, stream_type) == 24);
static_assert(offsetof(EncryptionData, decrypted) == 32);
static_assert(offsetof(EncryptionData, encrypted) == 40);
static_assert(sizeof(EncryptionData) == 48);
static_assert(offsetof(DecryptionData, encrypted) == 32);
static_assert(offsetof(DecryptionData, decrypted) == 40);
static_assert(sizeof(DecryptionData) == 48);

static_assert(offsetof(RoomParams, sdk_app_id) == 0);
static_assert(offsetof(RoomParams, user_id) == 8);
static_assert(offsetof(RoomParams, user_sig) == 16);
static_assert(offsetof(RoomParams, room_id) == 24);
static_assert(offsetof(RoomParams, str_room_id) == 32);
static_assert(offsetof(RoomParams, custom_data) == 40);
static_assert(offsetof(RoomParams, decryption_delegate) == 48);
static_assert(offsetof(RoomParams, encryption_delegate) == 56);
static_assert(sizeof(RoomParams) == 64);

}  // namespace vora
}  // namespace corvel

#endif  // CORVEL_VORA_DEFINES_H_
