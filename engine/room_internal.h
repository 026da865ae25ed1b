// Router-private pieces of a loopback room shared by the room_*.cpp files:
// the per-member route (its audio conversions as a sender, its audio
// receiver, message and video state, the outbox of a routing pass).
//
// Locking: everything here is touched only under Room::mu_.
#ifndef CORVEL_ENGINE_ROOM_INTERNAL_H_
#define CORVEL_ENGINE_ROOM_INTERNAL_H_

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audio_convert.h"
#include "audio_receive.h"
#include "dispatcher.h"
#include "room.h"

namespace corvel::engine {

// Extra delay of a reliable message whose first transmission was lost.
inline constexpr std::chrono::milliseconds kRetransmitTimeout{50};

inline int DefaultVideoBitrate(int type) {
  return type == vora::STREAM_TYPE_VIDEO_LOW ? 200000 : 1200000;
}

// Router state of one member, touched only under Room::mu_.
struct MemberRoute {
  explicit MemberRoute(const MemberSpec& spec)
      : audio_in(spec.obtain, spec.vad, spec.counters, spec.pull) {}

  // As a sender: its audio in each output format some receiver wants.
  AudioConversions audio_out;
  // As a receiver of audio: per-user delivery or mixing.
  AudioReceiver audio_in;
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
