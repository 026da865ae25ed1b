// A sender's PCM in the formats its receivers want: one AudioConverter per
// output format (resampling, channel conversion, cutting into the receiver's
// frame length, the sender's voice activity per frame, pts carried across
// the conversion), kept together per sender in AudioConversions so a format
// wanted by several receivers is converted once. Audio already in the output
// format, one whole output frame, passes through as the sender's payload:
// no resampler pass, no copy. Any backend feeds it: the loopback with what a
// member sent, a networked one with what it decoded.
//
// Locking: none; one thread (or one lock of its owner) at a time.
#ifndef CORVEL_ENGINE_AUDIO_CONVERT_H_
#define CORVEL_ENGINE_AUDIO_CONVERT_H_

#include <compare>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "audio_dsp.h"
#include "frames.h"
#include "media_buffers.h"

namespace corvel::engine {

struct AudioFormat {
  int rate;
  int channels;
  int frame_ms;
  auto operator<=>(const AudioFormat&) const = default;
  size_t frame_frames() const { return static_cast<size_t>(rate) * frame_ms / 1000; }
  size_t frame_samples() const { return frame_frames() * static_cast<size_t>(channels); }
};

// The format a member receives audio in.
inline AudioFormat OutputFormat(const vora::AudioObtainParams& obtain) {
  return {obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms};
}

// A new payload holding `count` samples.
PayloadPtr MakePcm(const int16_t* samples, size_t count);

inline const int16_t* Samples(const Payload& p) {
  return reinterpret_cast<const int16_t*>(p.data.data());
}

// One sender's audio converted to one output format, cut into output frames.
class AudioConverter {
 public:
  AudioConverter(int in_rate, int in_channels, AudioFormat out);

  // Converts `frames` sample frames at `in` (pts of the first) and emits each
  // whole output frame as (payload, pts, voice); voice is false unless
  // `detect_voice`. `source`, when given, is a
  // payload `in` may be the whole of: one already in the output format,
  // exactly one output frame long, without extra bytes and with nothing
  // pending, is emitted itself.
  template <typename Emit>
  void Feed(const PayloadPtr& source, const int16_t* in, size_t frames, uint32_t pts,
            bool detect_voice, Emit&& emit) {
    const uint64_t out_start = in_total_ * static_cast<uint64_t>(out_.rate) / in_rate_;
    anchors_.emplace_back(out_start, pts);
    in_total_ += frames;
    const size_t block = out_.frame_samples();
    const auto latency = static_cast<uint64_t>(resampler_.latency_frames());
    auto emit_block = [&](const int16_t* start, PayloadPtr payload) {
      const uint64_t at = out_base_ > latency ? out_base_ - latency : 0;
      const bool voice =
          detect_voice && vad_.Process(start, block_frames_, out_.channels, out_.rate);
      emit(payload ? std::move(payload) : MakePcm(start, block), PtsAt(anchors_, at, out_.rate),
           voice);
      out_base_ += block_frames_;
    };
    if (source && in == Samples(*source) && Forwards(*source, frames)) {
      emit_block(in, source);
    } else {
      resampler_.Process(in, frames, pending_);
      size_t offset = 0;
      for (; pending_.size() - offset >= block; offset += block)
        emit_block(pending_.data() + offset, nullptr);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    const uint64_t keep = out_base_ > latency ? out_base_ - latency : 0;
    while (anchors_.size() > 1 && anchors_[1].first <= keep) anchors_.pop_front();
  }

  int in_rate() const { return in_rate_; }
  int in_channels() const { return in_channels_; }

 private:
  bool Forwards(const Payload& source, size_t frames) const;

  Resampler resampler_;
  const int in_rate_;
  const int in_channels_;
  const AudioFormat out_;
  const size_t block_frames_;
  std::vector<int16_t> pending_;
  uint64_t in_total_ = 0;
  uint64_t out_base_ = 0;
  std::deque<std::pair<uint64_t, uint32_t>> anchors_;
  VoiceActivityDetector vad_;
};

// A sender's converters, one per output format in use. A round of sending:
// Begin, For each format some receiver wants, End (drops the others).
class AudioConversions {
 public:
  void Begin();
  // The converter from (in_rate, in_channels) to `out`, made (or remade when
  // the input format changed) as needed.
  AudioConverter& For(AudioFormat out, int in_rate, int in_channels);
  void End();
  void Clear() { streams_.clear(); }
  size_t size() const { return streams_.size(); }

 private:
  struct Stream {
    std::unique_ptr<AudioConverter> converter;
    bool used = false;
  };
  std::map<AudioFormat, Stream> streams_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_AUDIO_CONVERT_H_
