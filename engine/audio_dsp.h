// Audio signal processing used by the loopback media router: sample-rate and
// channel conversion, saturating mixing, fixed-size framing and voice activity
// detection. Everything works on signed 16-bit PCM; multi-channel audio is
// interleaved (L R L R ... for stereo). A "frame" means one sample per channel
// (one sample instant), as in "in_frames". The fixed-duration units AudioFifo
// hands out (e.g. 10 ms) are called blocks below; its API calls one block a
// frame of audio (PopFrame, frame_frames = frames per block).
//
// Level convention: dBFS values are 20*log10(rms / 32768), so a full-scale
// square wave is 0 dBFS and a full-scale sine reads -3.01 dBFS.
#ifndef CORVEL_ENGINE_AUDIO_DSP_H_
#define CORVEL_ENGINE_AUDIO_DSP_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace corvel::engine {

inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 96000;
inline constexpr int kMaxChannels = 8;

// Clamps a 32-bit value to the int16 range.
constexpr int16_t SaturateToInt16(int32_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

// ---------------------------------------------------------------------------
// Resampler
//
// Streaming converter between sample rates in [8000, 96000] and channel
// layouts. Supported layouts: equal channel counts (1..8), down-mix N -> 1
// (average of the channels) and up-mix 1 -> N (duplication). Down-mixing is
// done before rate conversion and up-mixing after it, so the filter runs on as
// few channels as possible.
//
// Rate conversion is band-limited interpolation with a Kaiser-windowed sinc
// whose cutoff is 0.9 * min(in_rate, out_rate) / 2 (anti-aliasing when
// decimating, anti-imaging when interpolating). Output frame n is the input
// signal evaluated at time n * in_rate / out_rate (exact rational arithmetic,
// no drift), delayed by the filter's half length. The object keeps its input
// history between calls, so splitting the input into chunks of any size yields
// exactly the same output as one call with the whole input.
//
// Output pacing: after a total of N input frames the total number of output
// frames is ceil(N * out_rate / in_rate), independent of how the input was
// chunked; e.g. 20 ms in always yields 20 ms out when the rates divide evenly.
//
// Same rate and channel count: Process is a plain copy. Same rate, different
// channel count: only the channel conversion runs (no filtering, no delay).
//
// Filter tables are shared by all resamplers with the same rate pair. Not
// thread-safe: one resampler belongs to one stream.
class Resampler {
 public:
  // Throws std::invalid_argument for unsupported rates or channel layouts.
  Resampler(int in_rate, int in_channels, int out_rate, int out_channels);
  ~Resampler();
  Resampler(Resampler&&) noexcept;
  Resampler& operator=(Resampler&&) noexcept;
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Converts in_frames interleaved input frames and appends the converted
  // interleaved frames to out_append. Does not allocate once the internal
  // buffers and out_append have grown to the steady-state chunk size.
  void Process(const int16_t* in, size_t in_frames, std::vector<int16_t>& out_append);
  // Same, with the input given as interleaved samples (size must be a multiple
  // of in_channels(); a trailing partial frame is ignored).
  void Process(std::span<const int16_t> in, std::vector<int16_t>& out_append);

  // Forgets all history, as if newly constructed.
  void Reset();

  // Delay the filter adds, in output frames (rounded). 0 for a same-rate
  // conversion.
  int latency_frames() const;
  // Upper bound on the output frames one Process call with in_frames input
  // frames can produce (for pre-sizing buffers).
  size_t MaxOutputFrames(size_t in_frames) const;

  int in_rate() const { return in_rate_; }
  int out_rate() const { return out_rate_; }
  int in_channels() const { return in_channels_; }
  int out_channels() const { return out_channels_; }
  // True when no rate conversion happens (copy or channel conversion only).
  bool same_rate() const { return in_rate_ == out_rate_; }
  // Filter taps evaluated per output sample and channel (0 for same rate).
  int taps() const;

  // Guards the process-wide filter bank cache (taken around fork()).
  static std::mutex& CacheMutex();

 private:
  struct FilterBank;
  static std::shared_ptr<const FilterBank> SharedBank(int in_rate, int out_rate);
  void AppendInput(const int16_t* in, size_t in_frames);
  void ConvertChannelsOnly(const int16_t* in, size_t in_frames, std::vector<int16_t>& out);

  int in_rate_;
  int in_channels_;
  int out_rate_;
  int out_channels_;
  int work_channels_;  // channels the filter runs on
  std::shared_ptr<const FilterBank> bank_;
  // Per filtered channel: input history as float. Index 0 is the oldest
  // sample still needed; pos_ and frac_ locate the next output relative to it.
  std::vector<std::vector<float>> history_;
  int64_t pos_ = 0;   // index of the first history sample under the filter
  int64_t frac_ = 0;  // fractional position, in units of 1/bank_->den
};

// ---------------------------------------------------------------------------
// Mixing
//
// Streams of equal format are summed in a 32-bit accumulator (exact for up to
// 65536 full-scale streams) and converted back with saturation, so loud sums
// clip at the rails and never wrap around.
//
//   std::vector<int32_t> acc(samples, 0);
//   MixInto(acc, a); MixInto(acc, b);
//   Saturate(acc, out);              // out = clamp(a + b)
//   SaturateMinus(acc, a, out_for_a);  // out = clamp(b): everyone but a
//
// All spans of one call must have the same size (std::invalid_argument
// otherwise).

// acc[i] += in[i].
void MixInto(std::span<int32_t> acc, std::span<const int16_t> in);
// acc[i] += in[i] * gain_q15 / 32768 (gain in Q15: 32768 = unity, 16384 = -6 dB).
void MixInto(std::span<int32_t> acc, std::span<const int16_t> in, int32_t gain_q15);
// out[i] = clamp(acc[i]).
void Saturate(std::span<const int32_t> acc, std::span<int16_t> out);
// out[i] = clamp(acc[i] - own[i]): the mix without one participant's own
// contribution (own must have been added with unity gain).
void SaturateMinus(std::span<const int32_t> acc, std::span<const int16_t> own,
                   std::span<int16_t> out);
// inout[i] = clamp(inout[i] + in[i]): two-stream saturating add in place.
void AddSaturate(std::span<int16_t> inout, std::span<const int16_t> in);

// Convenience holder of a reusable accumulator for one mixing round.
class Mixer {
 public:
  // Starts a round of `samples` interleaved samples (zeroes the accumulator).
  void Begin(size_t samples);
  // Adds a stream; in.size() must equal the round's size.
  void Add(std::span<const int16_t> in);
  void Add(std::span<const int16_t> in, int32_t gain_q15);
  // Writes the saturated mix; out.size() must equal the round's size.
  void Mix(std::span<int16_t> out) const;
  // Writes the saturated mix minus one added stream (mix-minus).
  void MixMinus(std::span<const int16_t> own, std::span<int16_t> out) const;
  size_t samples() const { return acc_.size(); }
  size_t streams() const { return streams_; }

 private:
  std::vector<int32_t> acc_;
  size_t streams_ = 0;
};

// ---------------------------------------------------------------------------
// AudioFifo
//
// Bounded FIFO of interleaved samples. Push accepts any number of frames;
// PopFrame hands out fixed blocks of frame_ms milliseconds
// (frame_frames() = sample_rate * frame_ms / 1000, rounded down, at least 1).
// When a push would exceed the capacity, the OLDEST buffered frames are dropped
// to make room (and counted); the newest audio is always kept.
class AudioFifo {
 public:
  // capacity_ms is rounded up to a whole number of blocks, at least one block.
  // Throws std::invalid_argument for out-of-range arguments.
  AudioFifo(int sample_rate, int channels, int frame_ms = 10, int capacity_ms = 200);

  void Push(const int16_t* interleaved, size_t frames);
  void Push(std::span<const int16_t> interleaved);  // size must be a multiple of channels
  // Copies the oldest block into out (size frame_samples()) and removes it.
  // Returns false, leaving out untouched, when less than a block is buffered.
  bool PopFrame(std::span<int16_t> out);
  // Same, resizing out to frame_samples().
  bool PopFrame(std::vector<int16_t>& out);
  void Clear();  // drops buffered audio without counting it as dropped

  int sample_rate() const { return sample_rate_; }
  int channels() const { return channels_; }
  size_t frame_frames() const { return frame_frames_; }
  size_t frame_samples() const { return frame_frames_ * static_cast<size_t>(channels_); }
  size_t capacity_frames() const { return capacity_frames_; }
  size_t buffered_frames() const { return size_frames_; }
  double buffered_ms() const;
  bool HasFrame() const { return size_frames_ >= frame_frames_; }
  // Frames (sample instants) and samples (frames * channels) dropped so far.
  uint64_t dropped_frames() const { return dropped_frames_; }
  uint64_t dropped_samples() const { return dropped_frames_ * static_cast<uint64_t>(channels_); }

 private:
  int sample_rate_;
  int channels_;
  size_t frame_frames_;
  size_t capacity_frames_;
  std::vector<int16_t> ring_;  // capacity_frames_ * channels_ samples
  size_t head_frames_ = 0;     // oldest frame
  size_t size_frames_ = 0;
  uint64_t dropped_frames_ = 0;
};

// ---------------------------------------------------------------------------
// VoiceActivityDetector
//
// Per-block speech decision. For each block the channels are averaged, the DC
// offset removed, and two features computed: the RMS level (dBFS) and the
// zero-crossing rate (crossings per second). A block is speech when
//   level >= min_speech_dbfs, level >= noise floor + snr_db, and
//   zero-crossing rate <= max_zcr_hz (hiss crosses zero far more often than
//   voiced speech; a 5000/s limit is a 2.5 kHz tone).
// The noise floor is adaptive and follows the block level smoothed over
// level_smoothing_ms: it falls quickly to quieter levels; it rises towards
// blocks judged non-speech with a ~1 s time constant; and during speech it
// rises only towards the quietest smoothed level of the last
// stationarity_window_ms. Speech has pauses between syllables and words, so
// that minimum stays low while someone talks, but stationary noise (fan, hum,
// hiss) is learned within a few seconds. After speech the decision stays true
// for hangover_ms so word tails are kept.
class VoiceActivityDetector {
 public:
  struct Options {
    double min_speech_dbfs = -50.0;
    double snr_db = 9.0;
    double max_zcr_hz = 5000.0;
    double hangover_ms = 200.0;
    double initial_floor_dbfs = -60.0;
    double floor_min_dbfs = -90.0;
    double level_smoothing_ms = 20.0;
    double floor_fall_tau_ms = 40.0;
    double floor_rise_tau_ms = 1000.0;
    double stationarity_window_ms = 2000.0;
  };

  VoiceActivityDetector();
  explicit VoiceActivityDetector(const Options& options);

  // Decides one block (typically 10-30 ms). Returns the decision including
  // hangover. Empty blocks or invalid arguments return the previous decision.
  bool Process(const int16_t* interleaved, size_t frames, int channels, int sample_rate);
  void Reset();

  bool active() const { return active_; }
  // Features of the last block, before hangover.
  bool last_raw_decision() const { return last_raw_; }
  double last_level_dbfs() const { return last_level_dbfs_; }
  double last_zcr_hz() const { return last_zcr_hz_; }
  double noise_floor_dbfs() const { return floor_dbfs_; }
  const Options& options() const { return options_; }

 private:
  static constexpr int kMinSlots = 8;  // sub-windows of the stationarity window

  void UpdateFloor(double power, bool raw, double block_ms);

  Options options_;
  double floor_dbfs_;
  double hangover_left_ms_ = 0.0;
  bool active_ = false;
  bool last_raw_ = false;
  double last_level_dbfs_ = -120.0;
  double last_zcr_hz_ = 0.0;
  double smoothed_power_ = 0.0;  // mean square / 32768^2, smoothed
  // Minimum block level per sub-window of the stationarity window (ring).
  double slot_min_[kMinSlots];
  int slot_index_ = 0;
  double slot_elapsed_ms_ = 0.0;
};

// ---------------------------------------------------------------------------
// Measurement helpers

// Level of n samples (any layout) in dBFS; -120 for silence or n == 0.
double RmsDbfs(const int16_t* samples, size_t n);
double RmsDbfs(std::span<const int16_t> samples);

// Amplitude (peak, in sample units) of the component at freq_hz of a mono
// signal, by a Hann-windowed Goertzel filter. A sine of amplitude A at freq_hz
// gives ~A.
double ToneAmplitude(const int16_t* mono, size_t n, int sample_rate, double freq_hz);

// Frequency of the strongest DFT magnitude peak of a mono signal between
// min_hz and max_hz (Hann-windowed scan, refined to 1/64 of a DFT bin of the
// whole signal). Returns 0 when n < 16.
double EstimateFrequencyHz(const int16_t* mono, size_t n, int sample_rate, double min_hz,
                           double max_hz);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_AUDIO_DSP_H_
