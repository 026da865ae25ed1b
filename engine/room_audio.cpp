// Audio in a loopback room: each sender's audio converted once per output
// format some receiver wants (the sender's AudioConversions; same format
// passes through as the sender's payload), carried through the simulated
// link, and handed to each receiver's AudioReceiver (per-user callback,
// mixer, pull buffer).
//
// Locking: the router thread, under Room::mu_. Converters and receivers live
// in the members' routes, touched only under that mutex.
#include "room.h"

#include <algorithm>

#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;

void Room::RouteAudioLocked(const std::shared_ptr<Member>& sender, const PayloadPtr& source,
                            const int16_t* samples, size_t frames, int rate, int channels,
                            uint32_t pts, Clock::time_point now) {
  Member& from = *sender;
  AudioConversions& conversions = from.route->audio_out;
  // Receivers grouped by output format, in format order: each format is
  // converted once. A format's voice activity is worked out only when a
  // receiver reports it. The groups are the room's, reused from one send to
  // the next; they point into members_, which stays as it is meanwhile.
  std::vector<AudioGroup>& groups = audio_groups_;
  size_t used = 0;
  for (auto& to : members_) {
    if (!ReceivesAudio(*to, from)) continue;
    const AudioFormat format = to->route->audio_in.format();
    size_t at = 0;
    while (at < used && groups[at].format < format) ++at;
    if (at == used || groups[at].format != format) {
      // A new format, in its place; the storage of a group left from an
      // earlier send is reused.
      if (used == groups.size()) groups.emplace_back();
      std::rotate(groups.begin() + static_cast<std::ptrdiff_t>(at),
                  groups.begin() + static_cast<std::ptrdiff_t>(used),
                  groups.begin() + static_cast<std::ptrdiff_t>(used) + 1);
      ++used;
      groups[at].format = format;
      groups[at].receivers.clear();
      groups[at].voice = false;
    }
    AudioGroup* group = &groups[at];
    group->receivers.push_back(&to);
    group->voice |= to->route->audio_in.vad();
  }
  conversions.Begin();
  for (size_t i = 0; i < used; ++i) {
    const AudioGroup& group = groups[i];
    conversions.For(group.format, rate, channels)
        .Feed(source, samples, frames, pts, group.voice,
              [&](const PayloadPtr& pcm, uint32_t block_pts, bool voice) {
                for (const std::shared_ptr<Member>* to : group.receivers)
                  DeliverAudioBlockLocked(*to, sender, pcm, block_pts, voice, now);
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
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, pts, voice, now);
    return;
  }
  At(due, now, to_ptr, [this, to_ptr, from_ptr, pcm, pts, voice] {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, pts, voice, Clock::now());
  });
}

void Room::ArriveAudioLocked(Member& t, const Member& from, const PayloadPtr& pcm, uint32_t pts,
                             bool voice, Clock::time_point arrival) {
  if (!from.present || !t.present) return;
  AudioReceiver& receiver = t.route->audio_in;
  if (routing_ && !receiver.mixes()) {
    // Straight into the member's outbox (PostAllTo's, without the hop).
    std::vector<Task>& outbox = t.route->outbox;
    const bool listed = !outbox.empty();
    receiver.Arrive(&from, from.user(), pcm, pts, voice, arrival, outbox);
    if (!listed && !outbox.empty()) outbox_members_.push_back(&t);
    return;
  }
  receiver.Arrive(&from, from.user(), pcm, pts, voice, arrival, arrivals_);
  if (receiver.mixes()) {
    MixerPumpLocked(t, arrival);
  } else {
    PostAllTo(t, arrivals_);
  }
  arrivals_.clear();
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
