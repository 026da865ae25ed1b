// What one member receives of the others' audio, already in its output
// format (audio_convert.h): per sender as OnRemoteAudioReceived, or mixed,
// as OnRemoteMixedAudioReceived or into its pull buffer for GetAudioFrame.
// Voice activity is reported when the member enabled it. A member whose
// output codec is Opus gets each output frame Opus-encoded (audio_opus.h),
// one encoder per remote user and one for the mix. The mixer emits a
// frame once every sender it expects has a block, or once the oldest block
// has waited RouterTuning::mix_wait_ms; a sender that misses a frame is not
// waited for until it delivers again. Any backend uses it: Arrive with each
// block, Expect the senders that have audio open, Pump when blocks arrived
// or deadline() passed; the callbacks come back in `out`, for the sink.
//
// Locking: none of its own beyond its queues (leaves); one thread (or one
// lock of its owner, Room::mu_ for the loopback) at a time.
#ifndef CORVEL_ENGINE_AUDIO_RECEIVE_H_
#define CORVEL_ENGINE_AUDIO_RECEIVE_H_

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_convert.h"
#include "audio_dsp.h"
#include "audio_opus.h"
#include "bounded_queue.h"
#include "counters.h"
#include "dispatcher.h"
#include "media_buffers.h"
#include "room_events.h"

namespace corvel::engine {

class AudioReceiver {
 public:
  // Blocks a mixer input may hold before its oldest is dropped.
  static constexpr size_t kMixInputCapacity = 25;

  AudioReceiver(const vora::AudioObtainParams& obtain, bool vad,
                std::shared_ptr<InstanceCounters> counters, std::shared_ptr<PullBuffer> pull);

  AudioFormat format() const { return format_; }
  // False: every sender's audio is delivered on its own (no mixing).
  bool mixes() const { return mixes_; }
  void set_vad(bool on) { vad_ = on; }
  // True: the member gets voice activity flags (senders must work them out).
  bool vad() const { return vad_; }

  // A frame of `sender`'s audio (`voice`: the sender's voice activity on it).
  // Delivered at once per user; queued for the mixer otherwise.
  void Arrive(const void* sender, const std::string& user, const PayloadPtr& pcm, uint32_t pts,
              bool voice, Clock::time_point arrival, std::vector<Task>& out);
  // The mixer waits for `sender` (until it misses a frame).
  void Expect(const void* sender) { inputs_.try_emplace(sender); }
  void Forget(const void* sender) {
    inputs_.erase(sender);
    framers_.erase(sender);
  }
  void Clear() {
    inputs_.clear();
    framers_.clear();
  }
  // Mixes what is due at `now`.
  void Pump(Clock::time_point now, std::vector<Task>& out);
  // When the mixer's wait for a late sender ends.
  std::optional<Clock::time_point> deadline() const { return deadline_; }

 private:
  struct Block {
    PayloadPtr pcm;
    uint32_t pts;
    Clock::time_point arrival;
  };
  struct Input {
    BoundedQueue<Block> blocks{kMixInputCapacity};  // the oldest goes when full
    bool idle = false;  // missed its turn; not waited for until it delivers again
  };

  // An output frame's fields (the payload left to the caller).
  room_events::AudioBlock Output(uint32_t pts, bool voice) const;

  const AudioFormat format_;
  const bool mixes_;
  const bool pulls_;
  const bool opus_;
  bool vad_;
  const std::shared_ptr<InstanceCounters> counters_;
  const std::shared_ptr<PullBuffer> pull_;
  std::map<const void*, Input> inputs_;
  std::map<const void*, OpusFramer> framers_;  // per sender, unmixed Opus output
  std::optional<OpusFramer> mix_framer_;
  Mixer mixer_;
  std::vector<int16_t> mixed_;
  VoiceActivityDetector mix_vad_;
  std::optional<Clock::time_point> deadline_;
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_AUDIO_RECEIVE_H_
