#include "audio_convert.h"

#include <cstring>

namespace corvel::engine {

PayloadPtr MakePcm(const int16_t* samples, size_t count) {
  auto payload = std::make_shared<Payload>();
  payload->data.resize(count * sizeof(int16_t));
  std::memcpy(payload->data.data(), samples, payload->data.size());
  return payload;
}

AudioConverter::AudioConverter(int in_rate, int in_channels, AudioFormat out)
    : resampler_(in_rate, in_channels, out.rate, out.channels),
      in_rate_(in_rate),
      in_channels_(in_channels),
      out_(out),
      block_frames_(out.frame_frames()) {}

bool AudioConverter::Forwards(const Payload& source, size_t frames) const {
  return in_rate_ == out_.rate && in_channels_ == out_.channels && pending_.empty() &&
         frames == block_frames_ && source.extra.empty() &&
         source.data.size() == out_.frame_samples() * sizeof(int16_t);
}

void AudioConversions::Begin() {
  for (auto& [format, stream] : streams_) stream.used = false;
}

AudioConverter& AudioConversions::For(AudioFormat out, int in_rate, int in_channels) {
  Stream& stream = streams_[out];
  if (!stream.converter || stream.converter->in_rate() != in_rate ||
      stream.converter->in_channels() != in_channels)
    stream.converter = std::make_unique<AudioConverter>(in_rate, in_channels, out);
  stream.used = true;
  return *stream.converter;
}

void AudioConversions::End() {
  std::erase_if(streams_, [](const auto& e) { return !e.second.used; });
}

}  // namespace corvel::engine
