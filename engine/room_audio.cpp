// Audio in a room: each sender's audio converted once per output format
// some receiver wants (ConvStream), cut into the receiver's frame length,
// carried through the simulated link, and handed to the receiver as a
// per-user callback, into its mixer, or (mixed) into its pull buffer.
//
// Locking: the router thread, under Room::mu_. Mixer inputs and converters
// live in the members' routes, touched only under that mutex.
#include "room.h"

#include <algorithm>

#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

void Room::RouteAudioLocked(const std::shared_ptr<Member>& sender, const PayloadPtr& source,
                            const int16_t* samples, size_t frames, int rate, int channels,
                            uint32_t pts, Clock::time_point now) {
  Member& from = *sender;
  MemberRoute& route = *from.route;
  for (auto& [key, stream] : route.streams) stream->used = false;
  // Receivers grouped by output format: each format is converted once.
  std::map<FormatKey, std::vector<std::shared_ptr<Member>>> groups;
  for (auto& to : members_)
    if (ReceivesAudio(*to, from)) groups[OutputFormat(*to)].push_back(to);
  for (auto& [format, receivers] : groups) {
    auto& stream = route.streams[format];
    if (!stream || stream->in_rate != rate || stream->in_channels != channels)
      stream = std::make_unique<ConvStream>(rate, channels, format);
    stream->used = true;
    stream->Feed(source, samples, frames, pts,
                 [&](const std::shared_ptr<const Payload>& pcm, uint32_t block_pts, bool voice) {
                   for (auto& to : receivers)
                     DeliverAudioBlockLocked(to, sender, pcm, format.rate, format.channels,
                                             block_pts, voice, now);
                 });
  }
  std::erase_if(route.streams, [](const auto& e) { return !e.second->used; });
}

void Room::DeliverAudioBlockLocked(const std::shared_ptr<Member>& to_ptr,
                                   const std::shared_ptr<Member>& from_ptr,
                                   const std::shared_ptr<const Payload>& pcm, int rate,
                                   int channels, uint32_t pts, bool voice, Clock::time_point now) {
  Clock::time_point due;
  if (!Transit(*from_ptr, *to_ptr, now, &due, false)) return;
  if (due <= now) {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, rate, channels, pts, voice);
    return;
  }
  At(due, now, to_ptr, [this, to_ptr, from_ptr, pcm, rate, channels, pts, voice] {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, rate, channels, pts, voice);
  });
}

void Room::ArriveAudioLocked(Member& t, const Member& from,
                             const std::shared_ptr<const Payload>& pcm, int rate, int channels,
                             uint32_t pts, bool voice) {
  if (!from.present || !t.present) return;
  if (PerUserAudio(t)) {
    AudioFrame frame;
    frame.sample_rate = rate;
    frame.channels = channels;
    frame.pts = pts;
    frame.has_voice = t.info.vad && voice;
    SetFramePayload(frame, pcm);
    t.info.counters->media().audio_received.fetch_add(1, std::memory_order_relaxed);
    PostTo(t, "OnRemoteAudioReceived",
           [user = from.user(), frame = std::move(frame)](VORACloudDelegate& d) {
             d.OnRemoteAudioReceived(user.c_str(), frame);
           });
    return;
  }
  MixInput& input = t.route->mix_inputs[&from];
  const auto arrival = Clock::now();
  if (input.blocks.PushDropOldest(MixBlock{pcm, pts, arrival}) == QueueResult::kFull)
    t.info.counters->media().mixer_drops.fetch_add(1, std::memory_order_relaxed);
  input.idle = false;
  MixerPumpLocked(t, arrival);
}

// Emits mixed frames while every sender that is expected has a block, or
// once the oldest waiting block has waited the mixer's wait; senders that
// miss a frame are no longer waited for until they deliver again.
void Room::MixerPumpLocked(Member& to, Clock::time_point now) {
  MemberRoute& r = *to.route;
  r.mix_deadline.reset();
  const FormatKey format = OutputFormat(to);
  const size_t samples = static_cast<size_t>(format.rate) * format.frame_ms / 1000 *
                         static_cast<size_t>(format.channels);
  const milliseconds wait{RouterTuning::Get().mix_wait_ms.load()};
  // Every sender with an open channel is expected until it misses a frame.
  for (auto& from : members_)
    if (ReceivesAudio(to, *from)) r.mix_inputs.try_emplace(from.get());
  while (true) {
    bool any = false;
    bool all = true;
    Clock::time_point oldest = Clock::time_point::max();
    for (auto& [from, input] : r.mix_inputs) {
      if (input.blocks.PeekFront(
              [&](const MixBlock& block) { oldest = std::min(oldest, block.arrival); })) {
        any = true;
      } else if (!input.idle) {
        all = false;
      }
    }
    if (!any) return;
    if (!all && now < oldest + wait) {
      r.mix_deadline = oldest + wait;
      return;
    }
    r.mixer.Begin(samples);
    std::optional<uint32_t> pts;
    for (auto& [from, input] : r.mix_inputs) {
      std::optional<MixBlock> block = input.blocks.TryPop();
      if (!block) {
        input.idle = true;
        continue;
      }
      if (block->pcm->data.size() == samples * 2) {
        r.mixer.Add(std::span<const int16_t>(Samples(*block->pcm), samples));
        if (!pts) pts = block->pts;
      }
    }
    r.mix_out.resize(samples);
    r.mixer.Mix(r.mix_out);
    AudioFrame frame;
    frame.sample_rate = format.rate;
    frame.channels = format.channels;
    frame.pts = pts.value_or(0);
    const bool voice = r.mix_vad.Process(r.mix_out.data(), samples / format.channels,
                                         format.channels, format.rate);
    frame.has_voice = to.info.vad && voice;
    SetFramePayload(frame, MakePcm(r.mix_out.data(), samples));
    MediaCounters& counters = to.info.counters->media();
    counters.audio_received.fetch_add(1, std::memory_order_relaxed);
    counters.mixed_frames.fetch_add(1, std::memory_order_relaxed);
    if (to.info.obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET) {
      if (!to.info.pull->Push(std::move(frame)))
        counters.pull_drops.fetch_add(1, std::memory_order_relaxed);
    } else {
      PostTo(to, "OnRemoteMixedAudioReceived", [frame = std::move(frame)](VORACloudDelegate& d) {
        d.OnRemoteMixedAudioReceived(frame);
      });
    }
  }
}

}  // namespace corvel::engine
