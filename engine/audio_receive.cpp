#include "audio_receive.h"

#include <algorithm>
#include <span>
#include <utility>

#include "room_backend.h"
#include "room_events.h"

namespace corvel::engine {

using namespace corvel::vora;

AudioReceiver::AudioReceiver(const AudioObtainParams& obtain, bool vad,
                             std::shared_ptr<InstanceCounters> counters,
                             std::shared_ptr<PullBuffer> pull)
    : format_(OutputFormat(obtain)),
      mixes_(obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_CALLBACK ||
             obtain.enable_remote_audio_mix),
      pulls_(obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET),
      opus_(obtain.output_audio_codec_type == AUDIO_CODEC_TYPE_OPUS),
      vad_(vad),
      counters_(std::move(counters)),
      pull_(std::move(pull)) {}

room_events::AudioBlock AudioReceiver::Output(uint32_t pts, bool voice) const {
  room_events::AudioBlock block;
  block.rate = format_.rate;
  block.channels = format_.channels;
  block.codec = opus_ ? AUDIO_CODEC_TYPE_OPUS : AUDIO_CODEC_TYPE_PCM;
  block.pts = pts;
  block.voice = voice;
  return block;
}

void AudioReceiver::Arrive(const void* sender, const std::string& user, const PayloadPtr& pcm,
                           uint32_t pts, bool voice, Clock::time_point arrival,
                           std::vector<Task>& out) {
  MediaCounters& counters = counters_->media();
  if (!mixes_) {
    room_events::AudioBlock block = Output(pts, vad_ && voice);
    if (opus_) {
      OpusFramer& framer = framers_.try_emplace(sender, format_).first->second;
      block.payload = framer.Encode(Samples(*pcm), pcm->data.size() / sizeof(int16_t));
      if (!block.payload) {
        counters.undecodable_drops.fetch_add(1, std::memory_order_relaxed);
        return;
      }
    } else {
      block.payload = pcm;
    }
    counters.audio_received.fetch_add(1, std::memory_order_relaxed);
    out.push_back(room_events::RemoteAudio(user, std::move(block)));
    return;
  }
  Input& input = inputs_[sender];
  if (input.blocks.PushDropOldest(Block{pcm, pts, arrival}) == QueueResult::kFull)
    counters.mixer_drops.fetch_add(1, std::memory_order_relaxed);
  input.idle = false;
}

void AudioReceiver::Pump(Clock::time_point now, std::vector<Task>& out) {
  deadline_.reset();
  const size_t samples = format_.frame_samples();
  const std::chrono::milliseconds wait{RouterTuning::Get().mix_wait_ms.load()};
  while (true) {
    bool any = false;
    bool all = true;
    Clock::time_point oldest = Clock::time_point::max();
    for (auto& [sender, input] : inputs_) {
      if (input.blocks.PeekFront(
              [&](const Block& block) { oldest = std::min(oldest, block.arrival); })) {
        any = true;
      } else if (!input.idle) {
        all = false;
      }
    }
    if (!any) return;
    if (!all && now < oldest + wait) {
      deadline_ = oldest + wait;
      return;
    }
    mixer_.Begin(samples);
    std::optional<uint32_t> pts;
    for (auto& [sender, input] : inputs_) {
      std::optional<Block> block = input.blocks.TryPop();
      if (!block) {
        input.idle = true;
        continue;
      }
      if (block->pcm->data.size() == samples * sizeof(int16_t)) {
        mixer_.Add(std::span<const int16_t>(Samples(*block->pcm), samples));
        if (!pts) pts = block->pts;
      }
    }
    mixed_.resize(samples);
    mixer_.Mix(mixed_);
    room_events::AudioBlock block =
        Output(pts.value_or(0), vad_ && mix_vad_.Process(mixed_.data(), samples / format_.channels,
                                                         format_.channels, format_.rate));
    MediaCounters& counters = counters_->media();
    if (opus_) {
      if (!mix_framer_) mix_framer_.emplace(format_);
      block.payload = mix_framer_->Encode(mixed_.data(), samples);
      if (!block.payload) {
        counters.undecodable_drops.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
    } else {
      block.payload = MakePcm(mixed_.data(), samples);
    }
    counters.audio_received.fetch_add(1, std::memory_order_relaxed);
    counters.mixed_frames.fetch_add(1, std::memory_order_relaxed);
    if (pulls_) {
      if (!pull_->Push(block.Frame())) counters.pull_drops.fetch_add(1, std::memory_order_relaxed);
    } else {
      out.push_back(room_events::MixedAudio(std::move(block)));
    }
  }
}

}  // namespace corvel::engine
