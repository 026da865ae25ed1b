// The simulated network of a loopback room: link conditions per member,
// transit of each packet (loss, delay, retransmission of reliable messages,
// disconnection and reconnection), the video bitrate a limited uplink asks
// of a sender, and network quality grading and reports.
//
// Locking: everything here runs under Room::mu_ (the router, or a caller
// through CallerLock); LinkConditions are atomics written through the hook
// and read here without a lock.
#include "room.h"

#include <algorithm>
#include <random>

#include "room_events.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

namespace {

NetworkQuality Grade(const Member& m) {
  if (!m.present || !m.connected()) return NETWORK_QUALITY_DOWN;
  const double loss = m.info.conditions->loss_ppm.load() / 10000.0;  // percent
  const uint32_t delay = m.info.conditions->delay_ms.load();
  int grade = NETWORK_QUALITY_VERY_BAD;
  if (loss < 1 && delay <= 100) {
    grade = NETWORK_QUALITY_EXCELLENT;
  } else if (loss < 3 && delay <= 200) {
    grade = NETWORK_QUALITY_GOOD;
  } else if (loss < 8 && delay <= 400) {
    grade = NETWORK_QUALITY_POOR;
  } else if (loss < 20 && delay <= 800) {
    grade = NETWORK_QUALITY_BAD;
  }
  const uint32_t bandwidth = m.info.conditions->bandwidth_kbps.load();
  if (bandwidth > 0) {
    uint64_t need = m.audio_open ? static_cast<uint64_t>(m.audio_params.bitrate_bps) : 32000;
    for (int type : m.video_open) {
      auto it = m.info.encode.find(type);
      const int configured = it != m.info.encode.end() && it->second.bitrate_bps > 0
                                 ? it->second.bitrate_bps
                                 : DefaultVideoBitrate(type);
      need += static_cast<uint64_t>(configured);
    }
    const uint64_t have = uint64_t{bandwidth} * 1000;
    if (have * 2 < need) {
      grade = std::max(grade, int{NETWORK_QUALITY_BAD});
    } else if (have < need) {
      grade = std::max(grade, int{NETWORK_QUALITY_POOR});
    }
  }
  return static_cast<NetworkQuality>(grade);
}

}  // namespace

void Room::ConditionsChanged(Member& m) {
  const auto lock = CallerLock();
  RequestBitratesLocked(m);
}

// Shares the simulated uplink (90 % of it, less the audio) among the open
// video streams in proportion to their configured bitrates, and asks the
// sender for a new bitrate whenever a stream's share changes.
void Room::RequestBitratesLocked(Member& m) {
  if (!m.present || m.video_open.empty()) return;
  const uint32_t bandwidth = m.info.conditions->bandwidth_kbps.load();
  std::map<int, int64_t> configured;
  int64_t total = 0;
  for (int type : m.video_open) {
    auto it = m.info.encode.find(type);
    const int64_t bps = it != m.info.encode.end() && it->second.bitrate_bps > 0
                            ? it->second.bitrate_bps
                            : DefaultVideoBitrate(type);
    configured[type] = bps;
    total += bps;
  }
  int64_t available = int64_t{bandwidth} * 900;
  if (m.audio_open) available -= m.audio_params.bitrate_bps;
  for (auto [type, bps] : configured) {
    int64_t target = bps;
    if (bandwidth > 0 && available < total) {
      target = std::max<int64_t>(30000, std::max<int64_t>(0, available) * bps / total);
    }
    auto it = m.requested_bitrate.find(type);
    const int64_t previous = it == m.requested_bitrate.end() ? bps : it->second;
    m.requested_bitrate[type] = static_cast<int>(target);
    if (target == previous) continue;
    PostTo(m, room_events::BitrateRequested(type, static_cast<int>(target)));
  }
}

bool Room::Disconnect(Member& m, milliseconds duration) {
  {
    const auto lock = CallerLock();
    if (!m.present) return false;
    const auto now = Clock::now();
    if (m.connection == CONNECTION_STATE_CONNECTED) {
      PostTo(m, room_events::ConnectionChanged(CONNECTION_STATE_CONNECTED,
                                               CONNECTION_STATE_DISCONNECTED));
      PostTo(m, room_events::ConnectionChanged(CONNECTION_STATE_DISCONNECTED,
                                               CONNECTION_STATE_CONNECTING));
      m.connection = CONNECTION_STATE_CONNECTING;
      m.reconnect_at = now + duration;
    } else {
      m.reconnect_at = std::max(m.reconnect_at, now + duration);
    }
  }
  WakePacer();
  return true;
}

bool Room::Transit(Member& from, Member& to, Clock::time_point now, Clock::time_point* due,
                   bool reliable) {
  const LinkConditions& a = *from.info.conditions;
  const LinkConditions& b = *to.info.conditions;
  const milliseconds delay{a.delay_ms.load() + b.delay_ms.load()};
  if (!from.connected() || !to.connected()) {
    if (!reliable) {
      to.info.counters->media().disconnected_drops.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    Clock::time_point back = now;
    if (!from.connected()) back = std::max(back, from.reconnect_at);
    if (!to.connected()) back = std::max(back, to.reconnect_at);
    *due = back + delay;
    return true;
  }
  *due = now + delay;
  const double keep = (1.0 - a.loss_ppm.load() / 1e6) * (1.0 - b.loss_ppm.load() / 1e6);
  if (keep >= 1.0) return true;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  if (uniform(rng_) < keep) return true;
  if (!reliable) {
    to.info.counters->media().lost.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  *due += 2 * delay + kRetransmitTimeout;  // resent after the loss is noticed
  return true;
}

void Room::QualityTickLocked(Member& m) {
  std::vector<std::pair<std::string, NetworkQuality>> remotes;
  for (auto& other : members_)
    if (other.get() != &m && other->visible()) remotes.emplace_back(other->user(), Grade(*other));
  PostTo(m, room_events::NetworkQuality(m.user(), Grade(m), std::move(remotes)));
}

}  // namespace corvel::engine
