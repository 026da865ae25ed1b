// Media buffers between an instance and its room: the pull buffer that mixed
// audio waits in for GetAudioFrame, and the pacer that sends continuous audio
// one frame per frame length.
//
// Locking: each buffer has its own mutex, a leaf (no other lock is taken
// under it; the pull buffer's is its BoundedQueue's). The pacer's PCM is a
// ring (AudioFifo) with the pts of each push beside it, searched by sample
// index: not a queue of items. The instance pushes from operation threads; the room's router
// thread pops.
#ifndef CORVEL_ENGINE_MEDIA_BUFFERS_H_
#define CORVEL_ENGINE_MEDIA_BUFFERS_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "audio_dsp.h"
#include "bounded_queue.h"
#include "counters.h"
#include "frames.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

using Clock = std::chrono::steady_clock;

// The pts of sample frame `index` of a stream, given (first frame index, pts)
// anchors in order.
uint32_t PtsAt(const std::deque<std::pair<uint64_t, uint32_t>>& anchors, uint64_t index, int rate);

// Mixed audio waiting for GetAudioFrame. Bounded; the oldest frame goes when
// full.
class PullBuffer {
 public:
  static constexpr size_t kCapacity = 50;
  // False when a frame had to be dropped to make room.
  bool Push(vora::AudioFrame frame) {
    return frames_.PushDropOldest(std::move(frame)) == QueueResult::kQueued;
  }
  bool Pop(vora::AudioFrame* out);
  void Clear() { frames_.Clear(); }

 private:
  BoundedQueue<vora::AudioFrame> frames_{kCapacity};
};

// Continuous audio of one sender, paced out one frame per frame length.
class Pacer {
 public:
  static constexpr int kCapacityMs = 10000;
  Pacer(int sample_rate, int channels, int frame_ms);
  // Queues PCM; answers true when the queue was idle (the router must be woken).
  bool Push(const int16_t* samples, size_t frames, uint32_t pts, bool clear,
            MediaCounters& counters);
  // Takes the next frame if it is due, as a new payload (null otherwise);
  // fills `pts`.
  PayloadPtr PopDue(Clock::time_point now, uint32_t* pts);
  std::optional<Clock::time_point> NextDue();
  int sample_rate() const { return rate_; }
  int channels() const { return channels_; }
  double QueuedMs();

 private:
  std::mutex mu_;
  const int rate_;
  const int channels_;
  const int frame_ms_;
  std::optional<AudioFifo> fifo_;  // made on first use: a 10 s ring is large
  uint64_t pushed_ = 0;            // sample frames ever pushed (after clears)
  uint64_t popped_ = 0;
  std::deque<std::pair<uint64_t, uint32_t>> anchors_;  // (first frame index, pts) per push
  bool running_ = false;
  Clock::time_point next_due_{};
  Clock::time_point last_push_{};
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_MEDIA_BUFFERS_H_
