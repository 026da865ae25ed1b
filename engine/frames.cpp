// Frames. Defaults:
//   AudioFrame: sample_rate 48000, channels 1, bits_per_sample 16, codec PCM,
//               pts 0, has_voice false, empty payload.
//   VideoFrame: pts 0, dts 0, is_key_frame false, codec H264, rotation 0,
//               empty payload.
//   PixelFrame: pts 0, 0x0, format YUV420p, rotation 0, empty payload.
// data() of an empty payload points at a static zero byte, never null.
#include "frames.h"

#include <cstring>
#include <utility>

namespace corvel::engine {
namespace {

using vora::AudioFrame;
using vora::PixelFrame;
using vora::VideoFrame;

const uint8_t kEmptyByte = 0;

// handle_ <-> owned heap slot holding the shared payload pointer.
PayloadPtr* Slot(void* handle) { return static_cast<PayloadPtr*>(handle); }

PayloadPtr Load(const void* handle) {
  return handle ? *static_cast<const PayloadPtr*>(handle) : PayloadPtr();
}

// The payload without taking a reference: valid while the frame holds it.
const Payload* Peek(const void* handle) {
  return handle ? static_cast<const PayloadPtr*>(handle)->get() : nullptr;
}

void* MakeHandle(PayloadPtr payload) {
  if (!payload) return nullptr;
  return std::make_unique<PayloadPtr>(std::move(payload)).release();
}

void FreeHandle(void* handle) { std::unique_ptr<PayloadPtr> owned(Slot(handle)); }

void Store(void*& handle, PayloadPtr payload) {
  if (handle && payload) {
    *Slot(handle) = std::move(payload);
    return;
  }
  FreeHandle(handle);
  handle = MakeHandle(std::move(payload));
}

std::vector<uint8_t> CopyBytes(const uint8_t* data, size_t size) {
  if (!data || size == 0) return {};
  return std::vector<uint8_t>(data, data + size);
}

// The frame's payload when the frame holds the only reference to it, so that
// it may be rewritten in place; null otherwise. Every payload is built
// non-const (make_shared<Payload>), so writing through it is well defined.
Payload* Exclusive(void* handle) {
  if (!handle) return nullptr;
  PayloadPtr& slot = *Slot(handle);
  if (!slot || slot.use_count() != 1) return nullptr;
  // use_count() is a relaxed read. Taking and dropping one more reference is
  // an acquire-release operation on the count, which orders what follows
  // after everything former holders (other frames, deliveries) did with it.
  PayloadPtr(slot).reset();
  return const_cast<Payload*>(slot.get());
}

// Rewrites `bytes` in place when the frame alone holds its payload and the
// size stays the same. False when a new payload must be built.
bool Overwrite(void* handle, std::vector<uint8_t> Payload::*bytes, const uint8_t* data,
               size_t size) {
  if (!data || size == 0) return false;
  Payload* payload = Exclusive(handle);
  if (!payload || (payload->*bytes).size() != size) return false;
  std::memmove((payload->*bytes).data(), data, size);
  return true;
}

PayloadPtr WithData(const void* handle, const uint8_t* data, size_t size) {
  auto next = std::make_shared<Payload>();
  next->data = CopyBytes(data, size);
  if (const Payload* current = Peek(handle)) next->extra = current->extra;
  if (next->data.empty() && next->extra.empty()) return nullptr;
  return next;
}

PayloadPtr WithExtra(const void* handle, const uint8_t* data, size_t size) {
  auto next = std::make_shared<Payload>();
  next->extra = CopyBytes(data, size);
  if (const Payload* current = Peek(handle)) next->data = current->data;
  if (next->data.empty() && next->extra.empty()) return nullptr;
  return next;
}

void SetData(void*& handle, const uint8_t* data, size_t size) {
  if (Overwrite(handle, &Payload::data, data, size)) return;
  Store(handle, WithData(handle, data, size));
}

void SetExtra(void*& handle, const uint8_t* data, size_t size) {
  if (Overwrite(handle, &Payload::extra, data, size)) return;
  Store(handle, WithExtra(handle, data, size));
}

const uint8_t* DataOf(const void* handle) {
  const Payload* payload = Peek(handle);
  return payload && !payload->data.empty() ? payload->data.data() : &kEmptyByte;
}

size_t SizeOf(const void* handle) {
  const Payload* payload = Peek(handle);
  return payload ? payload->data.size() : 0;
}

}  // namespace

PayloadPtr FramePayload(const AudioFrame& frame) { return Load(frame.handle_); }
PayloadPtr FramePayload(const VideoFrame& frame) { return Load(frame.handle_); }
PayloadPtr FramePayload(const PixelFrame& frame) { return Load(frame.handle_); }

void SetFramePayload(AudioFrame& frame, PayloadPtr payload) { Store(frame.handle_, payload); }
void SetFramePayload(VideoFrame& frame, PayloadPtr payload) { Store(frame.handle_, payload); }
void SetFramePayload(PixelFrame& frame, PayloadPtr payload) { Store(frame.handle_, payload); }

// A handle is the address of a PayloadPtr; a borrowed one is the holder's,
// let go (set back to null) before the frame's destructor would free it.
BorrowedAudioFrame::BorrowedAudioFrame(const PayloadPtr& payload) {
  if (payload) frame_.handle_ = const_cast<PayloadPtr*>(&payload);
}

BorrowedAudioFrame::~BorrowedAudioFrame() { frame_.handle_ = nullptr; }

size_t AudioExtraSize(const AudioFrame& frame) {
  const Payload* payload = Peek(frame.handle_);
  return payload ? payload->extra.size() : 0;
}

const uint8_t* AudioExtraData(const AudioFrame& frame) {
  const Payload* payload = Peek(frame.handle_);
  return payload && !payload->extra.empty() ? payload->extra.data() : &kEmptyByte;
}

std::optional<uint64_t> PixelFrameBytes(vora::VideoPixelFormat format, uint64_t width,
                                        uint64_t height) {
  uint64_t luma = 0, chroma = 0, total = 0;
  if (__builtin_mul_overflow(width, height, &luma) ||
      __builtin_mul_overflow((width + 1) / 2, (height + 1) / 2, &chroma))
    return std::nullopt;
  bool overflow = false;
  switch (format) {
    case vora::VIDEO_PIXEL_FORMAT_YUV420p:  // luma + 2 chroma
      overflow =
          __builtin_mul_overflow(chroma, 2, &total) || __builtin_add_overflow(total, luma, &total);
      break;
    case vora::VIDEO_PIXEL_FORMAT_YUVA420p:  // 2 luma + 2 chroma
      overflow =
          __builtin_add_overflow(luma, chroma, &total) || __builtin_mul_overflow(total, 2, &total);
      break;
    case vora::VIDEO_PIXEL_FORMAT_RGBA:
      overflow = __builtin_mul_overflow(luma, 4, &total);
      break;
    default:
      return 0;
  }
  if (overflow) return std::nullopt;
  return total;
}

}  // namespace corvel::engine

namespace corvel::vora {

using engine::FreeHandle;
using engine::Load;
using engine::MakeHandle;
using engine::Store;

// ---- AudioFrame ----

AudioFrame::AudioFrame()
    : sample_rate(48000),
      channels(1),
      bits_per_sample(16),
      codec(AUDIO_CODEC_TYPE_PCM),
      pts(0),
      has_voice(false),
      handle_(nullptr) {}

AudioFrame::AudioFrame(const AudioFrame& other)
    : sample_rate(other.sample_rate),
      channels(other.channels),
      bits_per_sample(other.bits_per_sample),
      codec(other.codec),
      pts(other.pts),
      has_voice(other.has_voice),
      handle_(MakeHandle(Load(other.handle_))) {}

AudioFrame& AudioFrame::operator=(const AudioFrame& other) {
  if (this == &other) return *this;
  sample_rate = other.sample_rate;
  channels = other.channels;
  bits_per_sample = other.bits_per_sample;
  codec = other.codec;
  pts = other.pts;
  has_voice = other.has_voice;
  Store(handle_, Load(other.handle_));
  return *this;
}

AudioFrame::~AudioFrame() { FreeHandle(handle_); }

void AudioFrame::SetData(const uint8_t* data, size_t size) { engine::SetData(handle_, data, size); }

const uint8_t* AudioFrame::data() const { return engine::DataOf(handle_); }

size_t AudioFrame::size() const { return engine::SizeOf(handle_); }

void AudioFrame::SetExtraData(const uint8_t* data, size_t size) {
  engine::SetExtra(handle_, data, size);
}

const void* AudioFrame::handle() { return handle_; }

// ---- VideoFrame ----

VideoFrame::VideoFrame()
    : pts(0),
      dts(0),
      is_key_frame(false),
      codec(VIDEO_CODEC_TYPE_H264),
      rotation(VIDEO_ROTATION_0),
      handle_(nullptr) {}

VideoFrame::VideoFrame(const VideoFrame& other)
    : pts(other.pts),
      dts(other.dts),
      is_key_frame(other.is_key_frame),
      codec(other.codec),
      rotation(other.rotation),
      handle_(MakeHandle(Load(other.handle_))) {}

VideoFrame& VideoFrame::operator=(const VideoFrame& other) {
  if (this == &other) return *this;
  pts = other.pts;
  dts = other.dts;
  is_key_frame = other.is_key_frame;
  codec = other.codec;
  rotation = other.rotation;
  Store(handle_, Load(other.handle_));
  return *this;
}

VideoFrame::~VideoFrame() { FreeHandle(handle_); }

void VideoFrame::SetData(const uint8_t* data, size_t size) { engine::SetData(handle_, data, size); }

const uint8_t* VideoFrame::data() const { return engine::DataOf(handle_); }

size_t VideoFrame::size() const { return engine::SizeOf(handle_); }

const void* VideoFrame::handle() { return handle_; }

// ---- PixelFrame ----

PixelFrame::PixelFrame()
    : pts(0),
      width(0),
      height(0),
      format(VIDEO_PIXEL_FORMAT_YUV420p),
      rotation(VIDEO_ROTATION_0),
      handle_(nullptr) {}

PixelFrame::PixelFrame(const PixelFrame& other)
    : pts(other.pts),
      width(other.width),
      height(other.height),
      format(other.format),
      rotation(other.rotation),
      handle_(MakeHandle(Load(other.handle_))) {}

PixelFrame& PixelFrame::operator=(const PixelFrame& other) {
  if (this == &other) return *this;
  pts = other.pts;
  width = other.width;
  height = other.height;
  format = other.format;
  rotation = other.rotation;
  Store(handle_, Load(other.handle_));
  return *this;
}

PixelFrame::~PixelFrame() { FreeHandle(handle_); }

void PixelFrame::SetData(const uint8_t* data, size_t size) { engine::SetData(handle_, data, size); }

const uint8_t* PixelFrame::data() const { return engine::DataOf(handle_); }

size_t PixelFrame::size() const { return engine::SizeOf(handle_); }

const void* PixelFrame::handle() { return handle_; }

}  // namespace corvel::vora
