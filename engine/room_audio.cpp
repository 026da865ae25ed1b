// Audio in a loopback room: each sender's audio converted once per output
// format some receiver wants (the sender's AudioConversions; same format
// passes through as the sender's payload), carried through the simulated
// link, and handed to each receiver's AudioReceiver (per-user callback,
// mixer, pull buffer).
//
// Locking: the router thread, under Room::mu_. Converters and receivers live
// in the members' routes, touched only under that mutex.
#include "room.h"

#include <map>

#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;

void Room::RouteAudioLocked(const std::shared_ptr<Member>& sender, const PayloadPtr& source,
                            const int16_t* samples, size_t frames, int rate, int channels,
                            uint32_t pts, Clock::time_point now) {
  Member& from = *sender;
  AudioConversions& conversions = from.route->audio_out;
  // Receivers grouped by output format: each format is converted once.
  std::map<AudioFormat, std::vector<std::shared_ptr<Member>>> groups;
  for (auto& to : members_)
    if (ReceivesAudio(*to, from)) groups[to->route->audio_in.format()].push_back(to);
  conversions.Begin();
  for (auto& [format, receivers] : groups) {
    conversions.For(format, rate, channels)
        .Feed(source, samples, frames, pts,
              [&](const PayloadPtr& pcm, uint32_t block_pts, bool voice) {
                for (auto& to : receivers)
                  DeliverAudioBlockLocked(to, sender, pcm, block_pts, voice, now);
              });
  }
  conversions.End();
}

void Room::DeliverAudioBlockLocked(const std::shared_ptr<Member>& to_ptr,
                                   const std::shared_ptr<Member>& from_ptr, const PayloadPtr& pcm,
                                   uint32_t pts, bool voice, Clock::time_point now) {
  Clock::time_point due;
  if (!Transit(*from_ptr, *to_ptr, now, &due, false)) return;
  if (due <= now) {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, pts, voice);
    return;
  }
  At(due, now, to_ptr, [this, to_ptr, from_ptr, pcm, pts, voice] {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, pts, voice);
  });
}

void Room::ArriveAudioLocked(Member& t, const Member& from, const PayloadPtr& pcm, uint32_t pts,
                             bool voice) {
  if (!from.present || !t.present) return;
  AudioReceiver& receiver = t.route->audio_in;
  std::vector<Task> out;
  const auto arrival = Clock::now();
  receiver.Arrive(&from, from.user(), pcm, pts, voice, arrival, out);
  if (receiver.mixes()) {
    MixerPumpLocked(t, arrival);
  } else {
    PostAllTo(t, out);
  }
}

void Room::MixerPumpLocked(Member& to, Clock::time_point now) {
  AudioReceiver& receiver = to.route->audio_in;
  // Every sender with an open channel is expected until it misses a frame.
  for (auto& from : members_)
    if (ReceivesAudio(to, *from)) receiver.Expect(from.get());
  std::vector<Task> out;
  receiver.Pump(now, out);
  PostAllTo(to, out);
}

}  // namespace corvel::engine
