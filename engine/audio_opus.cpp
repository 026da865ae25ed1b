#include "audio_opus.h"

#include <span>

#include "frames.h"

namespace corvel::engine {

using namespace corvel::vora;
namespace opus = net::opus;

int OpusPacketFrames(const uint8_t* data, size_t size, int rate) {
  if (!IsOpusRate(rate) || size > static_cast<size_t>(opus::kMaxPacketBytes)) return -1;
  return opus::Decoder::packet_samples({data, size}, rate);
}

std::optional<AudioFrame> OpusSendDecoder::Decode(const AudioFrame& in) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!decoder_) decoder_ = opus::Decoder::create(channels_, nullptr, rate_);
  if (!decoder_) return std::nullopt;
  pcm_.resize(static_cast<size_t>(opus::kMaxFrameSamples) * static_cast<size_t>(channels_));
  const int frames = decoder_->decode({in.data(), in.size()}, pcm_);
  if (frames <= 0) return std::nullopt;
  AudioFrame out;
  out.sample_rate = in.sample_rate;
  out.channels = in.channels;
  out.bits_per_sample = 16;
  out.codec = AUDIO_CODEC_TYPE_PCM;
  out.pts = in.pts;
  out.has_voice = in.has_voice;
  SetFramePayload(out, MakePcm(pcm_.data(), static_cast<size_t>(frames) * channels_));
  return out;
}

PayloadPtr OpusFramer::Encode(const int16_t* pcm, size_t samples) {
  if (samples != format_.frame_samples() || failed_) return nullptr;
  if (!encoder_) {
    opus::EncoderConfig config;
    config.sample_rate = format_.rate;
    config.channels = format_.channels;
    config.frame_ms = format_.frame_ms;
    config.bitrate = 32000 * format_.channels;
    encoder_ = opus::Encoder::create(config);
    failed_ = !encoder_;
    if (failed_) return nullptr;
    packet_.resize(opus::kMaxPacketBytes);
  }
  const int size = encoder_->encode({pcm, samples}, packet_);
  if (size <= 0) return nullptr;
  auto payload = std::make_shared<Payload>();
  payload->data.assign(packet_.begin(), packet_.begin() + size);
  return payload;
}

}  // namespace corvel::engine
