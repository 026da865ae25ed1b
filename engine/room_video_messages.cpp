// Video frames, SEI and custom messages in a room: fan-out per
// subscription (video) or to every other member (messages), key frame
// gating, the one form of a picture a receiver can take, missed and ordered
// messages.
//
// Locking: the router thread, under Room::mu_.
#include "room.h"

#include <algorithm>

#include "room_events.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

void Room::RouteVideoLocked(Packet& p, Clock::time_point now) {
  Member& from = *p.from;
  const std::string user = from.user();
  const int type = p.stream;
  for (auto& to : members_) {
    if (to.get() == &from || !to->video_subscribed.count({user, type})) continue;
    Clock::time_point due;
    if (!Transit(from, *to, now, &due, false)) continue;
    auto arrive = [this, to, from_ptr = p.from, user, type, encoded = p.encoded, pixel = p.pixel,
                   sei = p.sei] {
      Member& t = *to;
      if (!from_ptr->present) return;
      MediaCounters& counters = t.info.counters->media();
      for (const SeiMessage& s : sei) {
        counters.sei_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, room_events::Sei(user, type, s));
      }
      if (static_cast<bool>(pixel) != t.info.pixel_output) {
        // No codec in this engine: the form sent is the only form available.
        counters.undecodable_drops.fetch_add(1, std::memory_order_relaxed);
        if (t.route->told_undecodable.insert({user, type}).second)
          PostTo(t, room_events::Error(ERR_NOT_SUPPORTED));
        return;
      }
      if (encoded) {
        auto key = std::make_pair(user, type);
        if (t.route->need_key.count(key)) {
          if (!encoded->is_key_frame) {
            counters.waiting_key_drops.fetch_add(1, std::memory_order_relaxed);
            return;
          }
          t.route->need_key.erase(key);
        }
        counters.video_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, room_events::RemoteVideo(user, type, *encoded));
      } else {
        counters.video_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, room_events::RemotePixels(user, type, *pixel));
      }
    };
    At(due, now, to, std::move(arrive));
  }
}

void Room::RouteMessageLocked(Packet& p, Clock::time_point now) {
  Member& from = *p.from;
  const std::string user = from.user();
  const auto key = std::make_pair(user, p.cmd);
  for (auto& to : members_) {
    if (to.get() == &from) continue;
    Clock::time_point due;
    if (!Transit(from, *to, now, &due, p.reliable)) {
      to->route->pending_miss[key]++;
      to->info.counters->media().missed_messages.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (p.ordered) {
      auto& last = to->route->ordered_due[key];
      due = std::max(due, last);
      last = due;
    }
    auto arrive = [this, to, from_ptr = p.from, user, key, cmd = p.cmd, seq = p.seq,
                   bytes = p.bytes] {
      Member& t = *to;
      if (!from_ptr->present) return;
      auto miss = t.route->pending_miss.find(key);
      if (miss != t.route->pending_miss.end()) {
        const uint32_t missed = miss->second;
        t.route->pending_miss.erase(miss);
        PostTo(t, room_events::MissedMessages(user, cmd, missed));
      }
      t.info.counters->media().messages_received.fetch_add(1, std::memory_order_relaxed);
      PostTo(t, room_events::Message(user, cmd, seq, bytes));
    };
    At(due, now, to, std::move(arrive));
  }
}

}  // namespace corvel::engine
