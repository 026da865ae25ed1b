// A per-source jitter buffer for fixed-duration audio packets (20 ms Opus
// by default), driven by the playout clock.
//
// The receive side push()es packets as they arrive; the mixer pop()s one
// slot every frame. A slot is the next packet in sequence order, or "lost"
// (the packet did not come in time: the caller conceals it, from the next
// packet's FEC when `next_payload` is set, else with PLC), or "empty"
// (nothing buffered at all: the source is silent or gone; play silence).
//
// Delay: the buffer starts playing once `target_delay_ms` of audio is
// buffered, and again after running dry. The target adapts to the observed
// interarrival jitter J (RFC 3550 style, gain 1/16, in ms):
//     target = clamp(whole frames covering int(frame_ms + 3 * J), min_delay_ms, max_delay_ms)
// so a steady stream settles at one or two frames and a jittery one buffers
// more. J starts at the value that gives initial_delay_ms and moves from
// there with every packet. When the buffered audio has exceeded the target
// by two frames or more for `shed_after_pops` pops in a row (a lasting
// excess, not a passing burst), one frame is dropped per pop() (counted as
// `discarded`) until it is back, so the delay follows a falling target.
// The depth is bounded by max_delay_ms: a packet that would make it deeper
// pushes the oldest ones out (`overflow`).
//
// Not thread safe: one owner (or the caller's lock) per buffer. Times are
// the caller's monotonic milliseconds, so tests drive the clock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "rtp.h"

namespace corvel::net {

struct JitterBufferConfig {
  int frame_ms = 20;
  int clock_rate = 48000;  // RTP timestamp units per second
  int min_delay_ms = 20;
  int max_delay_ms = 200;
  int initial_delay_ms = 40;
  int shed_after_pops = 10;  // pops in excess before frames are dropped
};

struct JitterCounters {
  uint64_t received = 0;   // packets accepted into the buffer
  uint64_t late = 0;       // arrived after their slot was played or given up
  uint64_t duplicate = 0;  // a copy of a buffered or already played packet
  uint64_t lost = 0;       // sequence numbers never played (gaps, overflow, skips)
  uint64_t concealed = 0;  // "lost" slots handed to the caller to conceal
  uint64_t overflow = 0;   // packets pushed out because the buffer was full
  uint64_t discarded = 0;  // played-out packets dropped to shrink the delay
  uint64_t played = 0;     // "packet" slots returned
  uint64_t underruns = 0;  // times the buffer ran dry while playing
};

enum class PushResult { kAccepted, kDuplicate, kLate, kMalformed };

struct JitterSlot {
  enum class Kind { kPacket, kLost, kEmpty };
  Kind kind = Kind::kEmpty;
  int64_t sequence = 0;  // extended sequence number (kPacket, kLost)
  uint32_t timestamp = 0;
  std::vector<uint8_t> payload;       // kPacket
  std::vector<uint8_t> next_payload;  // kLost: the following packet, if already here (for FEC)
};

class JitterBuffer {
 public:
  explicit JitterBuffer(const JitterBufferConfig& config = {});

  PushResult push(uint16_t sequence, uint32_t timestamp, std::span<const uint8_t> payload,
                  int64_t arrival_ms);
  JitterSlot pop();

  bool playing() const { return playing_; }
  int target_delay_ms() const { return target_ms_; }
  double jitter_ms() const { return jitter_ms_; }
  // Audio buffered ahead of the playout point, in ms (from the next slot to
  // the newest packet, gaps included).
  int buffered_ms() const;
  size_t packet_count() const { return packets_.size(); }
  const JitterCounters& counters() const { return counters_; }

 private:
  struct Packet {
    uint32_t timestamp;
    std::vector<uint8_t> payload;
  };
  void update_jitter(uint32_t timestamp, int64_t arrival_ms);
  void drop_oldest();
  void advance(int64_t to);
  int64_t start() const;
  int frames_for(int ms) const { return (ms + config_.frame_ms - 1) / config_.frame_ms; }
  bool was_played(int64_t seq) const;

  JitterBufferConfig config_;
  SequenceUnwrapper unwrapper_;
  std::map<int64_t, Packet> packets_;
  bool playing_ = false;
  std::optional<int64_t> next_;  // the next slot's sequence, once played from
  uint64_t played_mask_ = 0;     // bit i: next_-1-i was played as a packet
  int target_ms_;
  int excess_pops_ = 0;
  double jitter_ms_ = 0;
  bool have_last_ = false;
  uint32_t last_timestamp_ = 0;
  int64_t last_arrival_ms_ = 0;
  JitterCounters counters_;
};

}  // namespace corvel::net
