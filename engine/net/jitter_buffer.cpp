#include "jitter_buffer.h"

#include <algorithm>
#include <cmath>

namespace corvel::net {

JitterBuffer::JitterBuffer(const JitterBufferConfig& config) : config_(config) {
  config_.frame_ms = std::max(1, config_.frame_ms);
  config_.clock_rate = std::max(1, config_.clock_rate);
  config_.max_delay_ms = std::max(config_.frame_ms, config_.max_delay_ms);
  config_.min_delay_ms = std::clamp(config_.min_delay_ms, config_.frame_ms, config_.max_delay_ms);
  config_.initial_delay_ms =
      std::clamp(config_.initial_delay_ms, config_.min_delay_ms, config_.max_delay_ms);
  jitter_ms_ = std::max(0.0, (config_.initial_delay_ms - config_.frame_ms) / 3.0);
  target_ms_ = frames_for(config_.initial_delay_ms) * config_.frame_ms;
}

int64_t JitterBuffer::start() const {
  // While buffering, playback will begin at the oldest packet; while
  // playing, at the next slot, gap or not.
  return playing_ ? *next_ : packets_.begin()->first;
}

int JitterBuffer::buffered_ms() const {
  if (packets_.empty()) return 0;
  const int64_t span = packets_.rbegin()->first - start() + 1;
  return static_cast<int>(std::max<int64_t>(0, span)) * config_.frame_ms;
}

bool JitterBuffer::was_played(int64_t seq) const {
  if (!next_ || seq >= *next_) return false;
  const int64_t back = *next_ - 1 - seq;
  return back < 64 && (played_mask_ >> back & 1u);
}

void JitterBuffer::update_jitter(uint32_t timestamp, int64_t arrival_ms) {
  if (have_last_) {
    // Difference of relative transit times of consecutive arrivals; the
    // timestamp step is taken modulo 2^32 so the 24-hour wrap is harmless.
    const double media_ms =
        static_cast<int32_t>(timestamp - last_timestamp_) * 1000.0 / config_.clock_rate;
    const double d = std::abs(static_cast<double>(arrival_ms - last_arrival_ms_) - media_ms);
    jitter_ms_ += (d - jitter_ms_) / 16.0;
    // Whole milliseconds first, so a vanishing J does not cost a frame.
    const int wanted = frames_for(static_cast<int>(config_.frame_ms + 3 * jitter_ms_));
    target_ms_ = std::clamp(wanted * config_.frame_ms, config_.min_delay_ms, config_.max_delay_ms);
  }
  have_last_ = true;
  last_timestamp_ = timestamp;
  last_arrival_ms_ = arrival_ms;
}

void JitterBuffer::advance(int64_t to) {
  // Moves the playout point forward over slots that are not played; the
  // caller has already erased or counted what they held.
  const int64_t steps = to - *next_;
  played_mask_ = steps >= 64 ? 0 : played_mask_ << steps;
  next_ = to;
}

void JitterBuffer::drop_oldest() {
  if (!playing_) {
    packets_.erase(packets_.begin());
    ++counters_.overflow;
    ++counters_.lost;
    return;
  }
  auto it = packets_.find(*next_);
  if (it != packets_.end()) {
    packets_.erase(it);
    ++counters_.overflow;
  }
  ++counters_.lost;
  advance(*next_ + 1);
}

PushResult JitterBuffer::push(uint16_t sequence, uint32_t timestamp,
                              std::span<const uint8_t> payload, int64_t arrival_ms) {
  if (payload.empty()) return PushResult::kMalformed;
  const int64_t seq = unwrapper_.unwrap(sequence);
  if (packets_.count(seq) || was_played(seq)) {
    ++counters_.duplicate;
    return PushResult::kDuplicate;
  }
  update_jitter(timestamp, arrival_ms);
  if (next_ && seq < *next_) {
    ++counters_.late;
    return PushResult::kLate;
  }
  packets_.emplace(seq, Packet{timestamp, {payload.begin(), payload.end()}});
  ++counters_.received;
  const int64_t max_frames = config_.max_delay_ms / config_.frame_ms;
  while (!packets_.empty() && packets_.rbegin()->first - start() + 1 > max_frames) drop_oldest();
  return PushResult::kAccepted;
}

JitterSlot JitterBuffer::pop() {
  JitterSlot slot;
  if (!playing_) {
    if (packets_.empty() || buffered_ms() < target_ms_) return slot;
    playing_ = true;
    const int64_t first = packets_.begin()->first;
    if (!next_) {
      next_ = first;
    } else if (first > *next_) {
      // Back from a dry spell: what was missing then is not waited for.
      counters_.lost += static_cast<uint64_t>(first - *next_);
      advance(first);
    }
  }
  if (packets_.empty()) {
    playing_ = false;
    ++counters_.underruns;
    return slot;
  }
  // Lasting excess delay for the current target: drop one slot per call.
  if (buffered_ms() >= target_ms_ + 2 * config_.frame_ms) {
    ++excess_pops_;
  } else {
    excess_pops_ = 0;
  }
  if (excess_pops_ >= std::max(1, config_.shed_after_pops)) {
    auto it = packets_.find(*next_);
    if (it != packets_.end()) {
      packets_.erase(it);
      ++counters_.discarded;
    } else {
      ++counters_.lost;
    }
    advance(*next_ + 1);
  }
  const int64_t seq = *next_;
  const auto it = packets_.begin();
  slot.sequence = seq;
  if (it->first == seq) {
    slot.kind = JitterSlot::Kind::kPacket;
    slot.timestamp = it->second.timestamp;
    slot.payload = std::move(it->second.payload);
    packets_.erase(it);
    ++counters_.played;
    played_mask_ = played_mask_ << 1 | 1u;
    next_ = seq + 1;
    return slot;
  }
  // A gap: the oldest buffered packet is later than this slot.
  slot.kind = JitterSlot::Kind::kLost;
  const auto samples_per_frame = static_cast<int64_t>(config_.clock_rate) * config_.frame_ms / 1000;
  slot.timestamp =
      static_cast<uint32_t>(it->second.timestamp - (it->first - seq) * samples_per_frame);
  if (it->first == seq + 1) slot.next_payload = it->second.payload;
  ++counters_.lost;
  ++counters_.concealed;
  played_mask_ <<= 1;
  next_ = seq + 1;
  return slot;
}

}  // namespace corvel::net
