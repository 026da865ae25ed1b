// Router-private pieces of a room shared by the room_*.cpp files: the
// per-member route (converters, mixer inputs, message and video state, the
// outbox of a routing pass) and the helpers around it.
//
// Locking: everything here is touched only under Room::mu_.
#ifndef CORVEL_ENGINE_ROOM_INTERNAL_H_
#define CORVEL_ENGINE_ROOM_INTERNAL_H_

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bounded_queue.h"
#include "dispatcher.h"
#include "room.h"

namespace corvel::engine {

// Blocks a mixer input may hold before its oldest is dropped.
inline constexpr size_t kMixInputCapacity = 25;
// Extra delay of a reliable message whose first transmission was lost.
inline constexpr std::chrono::milliseconds kRetransmitTimeout{50};

inline int DefaultVideoBitrate(int type) {
  return type == vora::STREAM_TYPE_VIDEO_LOW ? 200000 : 1200000;
}

inline std::shared_ptr<const Payload> MakePcm(const int16_t* samples, size_t count) {
  auto payload = std::make_shared<Payload>();
  payload->data.resize(count * sizeof(int16_t));
  std::memcpy(payload->data.data(), samples, payload->data.size());
  return payload;
}

inline const int16_t* Samples(const Payload& p) {
  return reinterpret_cast<const int16_t*>(p.data.data());
}

struct FormatKey {
  int rate;
  int channels;
  int frame_ms;
  auto operator<=>(const FormatKey&) const = default;
};

inline FormatKey OutputFormat(const Member& m) {
  return {m.info.obtain.output_sample_rate, m.info.obtain.output_channels,
          m.info.obtain.output_frame_length_ms};
}

inline bool PerUserAudio(const Member& m) {
  return m.info.obtain.audio_obtain_method == vora::AUDIO_OBTAIN_METHOD_CALLBACK &&
         !m.info.obtain.enable_remote_audio_mix;
}

struct ConvStream {
  ConvStream(int in_rate, int in_channels, FormatKey out)
      : resampler(in_rate, in_channels, out.rate, out.channels),
        in_rate(in_rate),
        in_channels(in_channels),
        out(out),
        block_frames(static_cast<size_t>(out.rate) * out.frame_ms / 1000) {}

  // Converts `frames` sample frames at `in` (pts of the first) and emits each
  // whole output frame as (payload, pts, voice). `source`, when given, is a
  // payload `in` may be the whole of: a source already in the output format
  // and exactly one output frame long, with nothing pending, is emitted
  // itself, neither resampled nor copied.
  template <typename Emit>
  void Feed(const PayloadPtr& source, const int16_t* in, size_t frames, uint32_t pts, Emit&& emit) {
    const uint64_t out_start = in_total * static_cast<uint64_t>(out.rate) / in_rate;
    anchors.emplace_back(out_start, pts);
    in_total += frames;
    const size_t block = block_frames * static_cast<size_t>(out.channels);
    const uint64_t latency = static_cast<uint64_t>(resampler.latency_frames());
    auto emit_block = [&](const int16_t* start, PayloadPtr payload) {
      const uint64_t at = out_base > latency ? out_base - latency : 0;
      const bool voice = vad.Process(start, block_frames, out.channels, out.rate);
      emit(payload ? std::move(payload) : MakePcm(start, block), PtsAt(anchors, at, out.rate),
           voice);
      out_base += block_frames;
    };
    if (source && in == Samples(*source) && Forwards(*source, frames)) {
      emit_block(in, source);
    } else {
      resampler.Process(in, frames, pending);
      size_t offset = 0;
      for (; pending.size() - offset >= block; offset += block)
        emit_block(pending.data() + offset, nullptr);
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    const uint64_t keep = out_base > latency ? out_base - latency : 0;
    while (anchors.size() > 1 && anchors[1].first <= keep) anchors.pop_front();
  }

  // True when `frames` sample frames of `source` can go out as they are.
  bool Forwards(const Payload& source, size_t frames) const {
    return in_rate == out.rate && in_channels == out.channels && pending.empty() &&
           frames == block_frames && source.extra.empty() &&
           source.data.size() == block_frames * static_cast<size_t>(out.channels) * 2;
  }

  Resampler resampler;
  int in_rate;
  int in_channels;
  FormatKey out;
  size_t block_frames;
  std::vector<int16_t> pending;
  uint64_t in_total = 0;
  uint64_t out_base = 0;
  std::deque<std::pair<uint64_t, uint32_t>> anchors;
  VoiceActivityDetector vad;
  bool used = false;
};

struct MixBlock {
  std::shared_ptr<const Payload> pcm;
  uint32_t pts;
  Clock::time_point arrival;
};

struct MixInput {
  BoundedQueue<MixBlock> blocks{kMixInputCapacity};  // the oldest goes when full
  bool idle = false;  // missed its turn; not waited for until it delivers again
};

// Router state of one member, touched only under Room::mu_.
struct MemberRoute {
  // As a sender: its audio in each output format some receiver wants.
  std::map<FormatKey, std::unique_ptr<ConvStream>> streams;
  // As a receiver of mixed audio.
  std::map<const Member*, MixInput> mix_inputs;
  Mixer mixer;
  std::vector<int16_t> mix_out;
  VoiceActivityDetector mix_vad;
  std::optional<Clock::time_point> mix_deadline;
  // As a receiver of messages and video, by sender user id.
  std::map<std::pair<std::string, uint32_t>, uint32_t> pending_miss;
  std::map<std::pair<std::string, uint32_t>, Clock::time_point> ordered_due;
  std::set<std::pair<std::string, int>> need_key;
  std::set<std::pair<std::string, int>> told_undecodable;
  Clock::time_point next_quality{};
  // Callbacks collected during a routing pass (see Room::FlushLocked).
  std::vector<Task> outbox;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_ROOM_INTERNAL_H_
