// Opus at the engine's edges. The rooms carry PCM; a member may send Opus
// frames (one Opus packet each, in its audio channel's rate and channel
// count), which OpusSendDecoder turns into PCM on the way in, and a member
// whose output codec is Opus gets its audio through an OpusFramer, which
// encodes each output frame (per remote user, or the mix) on the way out.
// Opus works at 8, 12, 16, 24 and 48 kHz only: other rates are refused where
// the format is chosen (cloud_checks).
//
// Locking: OpusSendDecoder has its own mutex (sends come from any thread);
// an OpusFramer belongs to one AudioReceiver (its owner's lock).
#ifndef CORVEL_ENGINE_AUDIO_OPUS_H_
#define CORVEL_ENGINE_AUDIO_OPUS_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "audio_convert.h"
#include "frames.h"
#include "net/opus_codec.h"
#include "vora/corvel_vora_defines.h"

namespace corvel::engine {

inline bool IsOpusRate(int rate) { return net::opus::is_opus_rate(rate); }

// Samples per channel in one Opus packet decoded at `rate`; negative when
// the bytes are not an Opus packet.
int OpusPacketFrames(const uint8_t* data, size_t size, int rate);

class OpusSendDecoder {
 public:
  OpusSendDecoder(int rate, int channels) : rate_(rate), channels_(channels) {}
  // The frame's packet as PCM (same pts and voice flag); nullopt when libopus
  // cannot decode it.
  std::optional<vora::AudioFrame> Decode(const vora::AudioFrame& opus);

 private:
  const int rate_;
  const int channels_;
  std::mutex mu_;
  std::optional<net::opus::Decoder> decoder_;
  std::vector<int16_t> pcm_;
};

class OpusFramer {
 public:
  explicit OpusFramer(AudioFormat format) : format_(format) {}
  // One output frame of PCM (format.frame_samples() samples) as one Opus
  // packet; null when it cannot.
  PayloadPtr Encode(const int16_t* pcm, size_t samples);

 private:
  const AudioFormat format_;
  std::optional<net::opus::Encoder> encoder_;
  bool failed_ = false;
  std::vector<uint8_t> packet_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_AUDIO_OPUS_H_
