#include "audio_dsp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "no_destroy.h"

namespace corvel::engine {
namespace {

// Filter design. The kernel spans kZeroCrossings zero crossings of the sinc on
// each side (measured at the lower of the two rates), windowed by a Kaiser
// window with kKaiserBeta (~90 dB stopband). The cutoff sits at kRolloff of the
// lower Nyquist frequency; with these values the transition band ends just
// below that Nyquist frequency, so aliasing products are below ~-85 dB.
constexpr int kZeroCrossings = 32;
constexpr double kKaiserBeta = 9.0;
constexpr double kRolloff = 0.9;
// Tap counts are rounded up to a multiple of this so the dot products can run
// on independent accumulators without a tail loop.
constexpr int kTapAlign = 8;
// A rate pair whose reduced ratio needs at most this many coefficients gets one
// exact table row per output phase; others use kInterpPhases rows with linear
// interpolation between neighbouring rows.
constexpr int64_t kMaxExactCoeffs = 64 * 1024;
constexpr int kInterpPhases = 256;

constexpr double kPi = 3.14159265358979323846;

// Modified Bessel function of the first kind, order 0 (power series).
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 200; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

#if defined(__GNUC__) || defined(__clang__)
// Four-lane float vectors (SSE on x86-64, NEON on arm64) through the compiler's
// vector extension: portable across both compilers and needs no -march flag.
typedef float F4 __attribute__((vector_size(16)));

inline F4 Load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof(v));  // unaligned load
  return v;
}

inline float Sum4(F4 v) { return (v[0] + v[2]) + (v[1] + v[3]); }

// Dot product of n floats, n a multiple of kTapAlign (8). Four independent
// accumulators hide the add latency.
inline float Dot(const float* c, const float* x, int n) {
  F4 a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
  int m = 0;
  for (; m + 16 <= n; m += 16) {
    a0 += Load4(c + m) * Load4(x + m);
    a1 += Load4(c + m + 4) * Load4(x + m + 4);
    a2 += Load4(c + m + 8) * Load4(x + m + 8);
    a3 += Load4(c + m + 12) * Load4(x + m + 12);
  }
  if (m < n) {
    a0 += Load4(c + m) * Load4(x + m);
    a1 += Load4(c + m + 4) * Load4(x + m + 4);
  }
  return Sum4((a0 + a2) + (a1 + a3));
}

// Dot products of the same x against two neighbouring table rows, blended:
// (1 - f) * c0.x + f * c1.x.
inline float Dot2(const float* c0, const float* c1, const float* x, int n, float f) {
  F4 a0 = {0, 0, 0, 0}, a1 = a0, b0 = a0, b1 = a0;
  for (int m = 0; m < n; m += 8) {
    const F4 x0 = Load4(x + m), x1 = Load4(x + m + 4);
    a0 += Load4(c0 + m) * x0;
    a1 += Load4(c0 + m + 4) * x1;
    b0 += Load4(c1 + m) * x0;
    b1 += Load4(c1 + m + 4) * x1;
  }
  const float a = Sum4(a0 + a1);
  const float b = Sum4(b0 + b1);
  return a + f * (b - a);
}
#else
inline float Dot(const float* c, const float* x, int n) {
  float a[8] = {};
  for (int m = 0; m < n; m += 8) {
    for (int k = 0; k < 8; ++k) a[k] += c[m + k] * x[m + k];
  }
  return ((a[0] + a[4]) + (a[1] + a[5])) + ((a[2] + a[6]) + (a[3] + a[7]));
}

inline float Dot2(const float* c0, const float* c1, const float* x, int n, float f) {
  float a[4] = {}, b[4] = {};
  for (int m = 0; m < n; m += 4) {
    for (int k = 0; k < 4; ++k) {
      a[k] += c0[m + k] * x[m + k];
      b[k] += c1[m + k] * x[m + k];
    }
  }
  const float sa = (a[0] + a[2]) + (a[1] + a[3]);
  const float sb = (b[0] + b[2]) + (b[1] + b[3]);
  return sa + f * (sb - sa);
}
#endif

inline int16_t RoundToInt16(float v) {
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return static_cast<int16_t>(static_cast<int32_t>(v < 0.0f ? v - 0.5f : v + 0.5f));
}

// Rounded integer mean of n channel samples (ties away from zero).
inline int16_t RoundedMean(int32_t sum, int n) {
  const int32_t half = n / 2;
  return static_cast<int16_t>(sum >= 0 ? (sum + half) / n : -((-sum + half) / n));
}

// Mean square relative to full scale -> dBFS, floored at -120.
double PowerToDbfs(double power) { return power > 1e-12 ? 10.0 * std::log10(power) : -120.0; }

void CheckSameSize(size_t a, size_t b, const char* what) {
  if (a != b) throw std::invalid_argument(std::string(what) + ": span sizes differ");
}

}  // namespace

// ---------------------------------------------------------------------------
// Resampler

// Polyphase table for one reduced rate ratio num/den (input frames advanced per
// output frame = num / den). Row r, tap m holds h(phi_r + half - 1 - m) where h
// is the windowed-sinc kernel in input-sample units and phi_r the fractional
// position of the row; taps m = 0..taps-1 are applied to the input samples
// floor(t) - half + 1 .. floor(t) + half around output time t.
struct Resampler::FilterBank {
  int64_t num = 1;
  int64_t den = 1;
  int64_t step_int = 1;  // num / den
  int64_t step_rem = 0;  // num % den
  int half = 0;          // taps per side
  int taps = 0;          // 2 * half, a multiple of kTapAlign
  bool exact = true;     // rows == den (exact phases) or kInterpPhases + 1
  int rows = 0;
  std::vector<float> coeffs;  // rows * taps

  const float* row(int64_t r) const { return coeffs.data() + r * taps; }
};

std::mutex& Resampler::CacheMutex() {
  static NoDestroy<std::mutex> mutex;
  return mutex.get();
}

std::shared_ptr<const Resampler::FilterBank> Resampler::SharedBank(int in_rate, int out_rate) {
  const int g = std::gcd(in_rate, out_rate);
  const int64_t num = in_rate / g;
  const int64_t den = out_rate / g;

  static NoDestroy<std::map<std::pair<int64_t, int64_t>, std::weak_ptr<const FilterBank>>> cache;
  std::lock_guard<std::mutex> lock(CacheMutex());
  auto& entry = cache.get()[{num, den}];
  if (auto bank = entry.lock()) return bank;

  auto bank = std::make_shared<FilterBank>();
  bank->num = num;
  bank->den = den;
  bank->step_int = num / den;
  bank->step_rem = num % den;
  // Scale < 1 when decimating: the kernel is stretched in input samples so its
  // cutoff lands below the output Nyquist frequency.
  const double scale = std::min(1.0, static_cast<double>(out_rate) / in_rate);
  const double cutoff = 0.5 * kRolloff * scale;  // cycles per input sample
  int half = static_cast<int>(std::ceil(kZeroCrossings / scale - 1e-9));
  half = (half + kTapAlign / 2 - 1) / (kTapAlign / 2) * (kTapAlign / 2);
  bank->half = half;
  bank->taps = 2 * half;
  bank->exact = den * bank->taps <= kMaxExactCoeffs;
  bank->rows = bank->exact ? static_cast<int>(den) : kInterpPhases + 1;
  const double phase_den = bank->exact ? static_cast<double>(den) : kInterpPhases;

  const double i0_beta = BesselI0(kKaiserBeta);
  bank->coeffs.resize(static_cast<size_t>(bank->rows) * bank->taps);
  std::vector<double> row(bank->taps);
  for (int r = 0; r < bank->rows; ++r) {
    const double phi = r / phase_den;
    double sum = 0.0;
    for (int m = 0; m < bank->taps; ++m) {
      const double tau = phi + half - 1 - m;  // distance from output time, input samples
      const double u = tau / half;
      double h = 0.0;
      if (std::fabs(u) <= 1.0) {
        const double x = 2.0 * cutoff * tau;
        const double sinc = std::fabs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x);
        h = 2.0 * cutoff * sinc * BesselI0(kKaiserBeta * std::sqrt(1.0 - u * u)) / i0_beta;
      }
      row[m] = h;
      sum += h;
    }
    // Unity DC gain for every phase (removes the tiny per-phase gain ripple).
    for (int m = 0; m < bank->taps; ++m) {
      bank->coeffs[static_cast<size_t>(r) * bank->taps + m] = static_cast<float>(row[m] / sum);
    }
  }
  entry = bank;
  return bank;
}

Resampler::Resampler(int in_rate, int in_channels, int out_rate, int out_channels)
    : in_rate_(in_rate),
      in_channels_(in_channels),
      out_rate_(out_rate),
      out_channels_(out_channels) {
  auto rate_ok = [](int r) { return r >= kMinSampleRate && r <= kMaxSampleRate; };
  auto channels_ok = [](int c) { return c >= 1 && c <= kMaxChannels; };
  if (!rate_ok(in_rate) || !rate_ok(out_rate)) {
    throw std::invalid_argument("Resampler: sample rate out of range [8000, 96000]");
  }
  if (!channels_ok(in_channels) || !channels_ok(out_channels)) {
    throw std::invalid_argument("Resampler: channel count out of range [1, 8]");
  }
  if (in_channels != out_channels && in_channels != 1 && out_channels != 1) {
    throw std::invalid_argument("Resampler: unsupported channel conversion");
  }
  work_channels_ = std::min(in_channels, out_channels);
  if (in_rate != out_rate) {
    bank_ = SharedBank(in_rate, out_rate);
    history_.resize(work_channels_);
  }
  Reset();
}

Resampler::~Resampler() = default;
Resampler::Resampler(Resampler&&) noexcept = default;
Resampler& Resampler::operator=(Resampler&&) noexcept = default;

void Resampler::Reset() {
  pos_ = 0;
  frac_ = 0;
  if (!bank_) return;
  // taps - 1 zeros before the first input sample: the first output frame can
  // be computed as soon as input arrives, and the output is the input delayed
  // by `half` input frames.
  for (auto& h : history_) h.assign(static_cast<size_t>(bank_->taps - 1), 0.0f);
}

int Resampler::taps() const { return bank_ ? bank_->taps : 0; }

int Resampler::latency_frames() const {
  if (!bank_) return 0;
  return static_cast<int>(std::lround(static_cast<double>(bank_->half) * out_rate_ / in_rate_));
}

size_t Resampler::MaxOutputFrames(size_t in_frames) const {
  if (!bank_) return in_frames;
  return static_cast<size_t>((static_cast<int64_t>(in_frames) * out_rate_) / in_rate_ + 2);
}

void Resampler::Process(std::span<const int16_t> in, std::vector<int16_t>& out_append) {
  Process(in.data(), in.size() / static_cast<size_t>(in_channels_), out_append);
}

void Resampler::ConvertChannelsOnly(const int16_t* in, size_t in_frames,
                                    std::vector<int16_t>& out) {
  const size_t base = out.size();
  if (in_channels_ == out_channels_) {
    out.insert(out.end(), in, in + in_frames * in_channels_);
    return;
  }
  out.resize(base + in_frames * out_channels_);
  int16_t* dst = out.data() + base;
  if (out_channels_ == 1) {
    const int n = in_channels_;
    for (size_t f = 0; f < in_frames; ++f) {
      int32_t sum = 0;
      for (int c = 0; c < n; ++c) sum += in[f * n + c];
      dst[f] = RoundedMean(sum, n);
    }
  } else {
    const int n = out_channels_;
    for (size_t f = 0; f < in_frames; ++f) {
      for (int c = 0; c < n; ++c) dst[f * n + c] = in[f];
    }
  }
}

void Resampler::AppendInput(const int16_t* in, size_t in_frames) {
  const size_t old = history_[0].size();
  for (auto& h : history_) h.resize(old + in_frames);
  if (in_channels_ == work_channels_) {
    const int n = in_channels_;
    for (int c = 0; c < n; ++c) {
      float* dst = history_[c].data() + old;
      for (size_t f = 0; f < in_frames; ++f) dst[f] = in[f * n + c];
    }
  } else {  // down-mix to mono
    const int n = in_channels_;
    const float inv = 1.0f / static_cast<float>(n);
    float* dst = history_[0].data() + old;
    if (n == 2) {
      for (size_t f = 0; f < in_frames; ++f) {
        dst[f] = static_cast<float>(in[2 * f] + in[2 * f + 1]) * 0.5f;
      }
    } else {
      for (size_t f = 0; f < in_frames; ++f) {
        int32_t sum = 0;
        for (int c = 0; c < n; ++c) sum += in[f * n + c];
        dst[f] = static_cast<float>(sum) * inv;
      }
    }
  }
}

void Resampler::Process(const int16_t* in, size_t in_frames, std::vector<int16_t>& out_append) {
  if (in_frames == 0) return;
  if (!bank_) {
    ConvertChannelsOnly(in, in_frames, out_append);
    return;
  }
  AppendInput(in, in_frames);

  const FilterBank& b = *bank_;
  const int64_t len = static_cast<int64_t>(history_[0].size());
  // Output at time t = pos + frac/den needs history[pos .. pos + taps - 1], so
  // it is computable while pos < avail. Count the outputs up front.
  const int64_t avail = len - b.taps + 1;
  const int64_t room = (avail - pos_) * b.den - frac_;
  const int64_t count = room > 0 ? (room + b.num - 1) / b.num : 0;

  const size_t base = out_append.size();
  out_append.resize(base + static_cast<size_t>(count) * out_channels_);
  int16_t* out = out_append.data() + base;
  const int out_stride = out_channels_;
  const int taps = b.taps;

  const float* x[kMaxChannels];
  for (int c = 0; c < work_channels_; ++c) x[c] = history_[c].data();
  const int channels = work_channels_;
  int64_t pos = pos_;
  int64_t frac = frac_;
  if (b.exact) {
    for (int64_t n = 0; n < count; ++n) {
      const float* row = b.row(frac);
      int16_t* dst = out + n * out_stride;
      for (int c = 0; c < channels; ++c) dst[c] = RoundToInt16(Dot(row, x[c] + pos, taps));
      pos += b.step_int;
      frac += b.step_rem;
      if (frac >= b.den) {
        frac -= b.den;
        ++pos;
      }
    }
  } else {
    const float inv_den = 1.0f / static_cast<float>(b.den);
    for (int64_t n = 0; n < count; ++n) {
      const int64_t scaled = frac * kInterpPhases;
      const int64_t r = scaled / b.den;
      const float f = static_cast<float>(scaled - r * b.den) * inv_den;
      const float* row0 = b.row(r);
      const float* row1 = b.row(r + 1);
      int16_t* dst = out + n * out_stride;
      for (int c = 0; c < channels; ++c) {
        dst[c] = RoundToInt16(Dot2(row0, row1, x[c] + pos, taps, f));
      }
      pos += b.step_int;
      frac += b.step_rem;
      if (frac >= b.den) {
        frac -= b.den;
        ++pos;
      }
    }
  }
  // Up-mix: duplicate the mono result into the other channels.
  if (out_channels_ > work_channels_) {
    for (int64_t n = 0; n < count; ++n) {
      int16_t* frame = out + n * out_stride;
      for (int c = 1; c < out_channels_; ++c) frame[c] = frame[0];
    }
  }

  // Drop history that no future output can reach.
  const int64_t drop = std::min(pos, len);
  if (drop > 0) {
    for (auto& h : history_) h.erase(h.begin(), h.begin() + drop);
  }
  pos_ = pos - drop;
  frac_ = frac;
}

// ---------------------------------------------------------------------------
// Mixing

void MixInto(std::span<int32_t> acc, std::span<const int16_t> in) {
  CheckSameSize(acc.size(), in.size(), "MixInto");
  int32_t* a = acc.data();
  const int16_t* s = in.data();
  const size_t n = acc.size();
  for (size_t i = 0; i < n; ++i) a[i] += s[i];
}

void MixInto(std::span<int32_t> acc, std::span<const int16_t> in, int32_t gain_q15) {
  CheckSameSize(acc.size(), in.size(), "MixInto");
  const size_t n = acc.size();
  for (size_t i = 0; i < n; ++i) {
    const int64_t p = static_cast<int64_t>(in[i]) * gain_q15;
    acc[i] += static_cast<int32_t>((p + 16384) >> 15);
  }
}

void Saturate(std::span<const int32_t> acc, std::span<int16_t> out) {
  CheckSameSize(acc.size(), out.size(), "Saturate");
  const size_t n = acc.size();
  for (size_t i = 0; i < n; ++i) out[i] = SaturateToInt16(acc[i]);
}

void SaturateMinus(std::span<const int32_t> acc, std::span<const int16_t> own,
                   std::span<int16_t> out) {
  CheckSameSize(acc.size(), own.size(), "SaturateMinus");
  CheckSameSize(acc.size(), out.size(), "SaturateMinus");
  const size_t n = acc.size();
  for (size_t i = 0; i < n; ++i) out[i] = SaturateToInt16(acc[i] - own[i]);
}

void AddSaturate(std::span<int16_t> inout, std::span<const int16_t> in) {
  CheckSameSize(inout.size(), in.size(), "AddSaturate");
  const size_t n = inout.size();
  for (size_t i = 0; i < n; ++i) {
    inout[i] = SaturateToInt16(static_cast<int32_t>(inout[i]) + in[i]);
  }
}

void Mixer::Begin(size_t samples) {
  acc_.assign(samples, 0);
  streams_ = 0;
}

void Mixer::Add(std::span<const int16_t> in) {
  MixInto(acc_, in);
  ++streams_;
}

void Mixer::Add(std::span<const int16_t> in, int32_t gain_q15) {
  MixInto(acc_, in, gain_q15);
  ++streams_;
}

void Mixer::Mix(std::span<int16_t> out) const { Saturate(acc_, out); }

void Mixer::MixMinus(std::span<const int16_t> own, std::span<int16_t> out) const {
  SaturateMinus(acc_, own, out);
}

// ---------------------------------------------------------------------------
// AudioFifo

AudioFifo::AudioFifo(int sample_rate, int channels, int frame_ms, int capacity_ms)
    : sample_rate_(sample_rate), channels_(channels) {
  if (sample_rate < 1000 || sample_rate > 384000) {
    throw std::invalid_argument("AudioFifo: sample rate out of range");
  }
  if (channels < 1 || channels > kMaxChannels) {
    throw std::invalid_argument("AudioFifo: channel count out of range");
  }
  if (frame_ms < 1 || frame_ms > 1000 || capacity_ms < 1 || capacity_ms > 60000) {
    throw std::invalid_argument("AudioFifo: duration out of range");
  }
  frame_frames_ = std::max<size_t>(1, static_cast<size_t>(sample_rate) * frame_ms / 1000);
  const size_t wanted = (static_cast<size_t>(sample_rate) * capacity_ms + 999) / 1000;
  const size_t blocks = std::max<size_t>(1, (wanted + frame_frames_ - 1) / frame_frames_);
  capacity_frames_ = blocks * frame_frames_;
  ring_.assign(capacity_frames_ * channels_, 0);
}

void AudioFifo::Push(std::span<const int16_t> interleaved) {
  Push(interleaved.data(), interleaved.size() / static_cast<size_t>(channels_));
}

void AudioFifo::Push(const int16_t* interleaved, size_t frames) {
  if (frames == 0) return;
  const size_t ch = static_cast<size_t>(channels_);
  if (frames >= capacity_frames_) {
    // Everything buffered and the head of this chunk fall out.
    dropped_frames_ += size_frames_ + (frames - capacity_frames_);
    std::memcpy(ring_.data(), interleaved + (frames - capacity_frames_) * ch,
                capacity_frames_ * ch * sizeof(int16_t));
    head_frames_ = 0;
    size_frames_ = capacity_frames_;
    return;
  }
  if (size_frames_ + frames > capacity_frames_) {
    const size_t overflow = size_frames_ + frames - capacity_frames_;
    head_frames_ = (head_frames_ + overflow) % capacity_frames_;
    size_frames_ -= overflow;
    dropped_frames_ += overflow;
  }
  const size_t tail = (head_frames_ + size_frames_) % capacity_frames_;
  const size_t first = std::min(frames, capacity_frames_ - tail);
  std::memcpy(ring_.data() + tail * ch, interleaved, first * ch * sizeof(int16_t));
  if (first < frames) {
    std::memcpy(ring_.data(), interleaved + first * ch, (frames - first) * ch * sizeof(int16_t));
  }
  size_frames_ += frames;
}

bool AudioFifo::PopFrame(std::span<int16_t> out) {
  if (!HasFrame() || out.size() < frame_samples()) return false;
  const size_t ch = static_cast<size_t>(channels_);
  const size_t first = std::min(frame_frames_, capacity_frames_ - head_frames_);
  std::memcpy(out.data(), ring_.data() + head_frames_ * ch, first * ch * sizeof(int16_t));
  if (first < frame_frames_) {
    std::memcpy(out.data() + first * ch, ring_.data(),
                (frame_frames_ - first) * ch * sizeof(int16_t));
  }
  head_frames_ = (head_frames_ + frame_frames_) % capacity_frames_;
  size_frames_ -= frame_frames_;
  return true;
}

bool AudioFifo::PopFrame(std::vector<int16_t>& out) {
  if (!HasFrame()) return false;
  out.resize(frame_samples());
  return PopFrame(std::span<int16_t>(out));
}

void AudioFifo::Clear() {
  head_frames_ = 0;
  size_frames_ = 0;
}

double AudioFifo::buffered_ms() const {
  return static_cast<double>(size_frames_) * 1000.0 / sample_rate_;
}

// ---------------------------------------------------------------------------
// VoiceActivityDetector

VoiceActivityDetector::VoiceActivityDetector() : VoiceActivityDetector(Options()) {}

VoiceActivityDetector::VoiceActivityDetector(const Options& options) : options_(options) {
  Reset();
}

void VoiceActivityDetector::Reset() {
  floor_dbfs_ = options_.initial_floor_dbfs;
  hangover_left_ms_ = 0.0;
  active_ = false;
  last_raw_ = false;
  last_level_dbfs_ = -120.0;
  last_zcr_hz_ = 0.0;
  // Until a whole window has been seen, the window minimum is the initial
  // floor, so a signal present from the start is not taken for noise at once.
  std::fill(std::begin(slot_min_), std::end(slot_min_), options_.initial_floor_dbfs);
  slot_index_ = 0;
  slot_elapsed_ms_ = 0.0;
  smoothed_power_ = std::pow(10.0, options_.initial_floor_dbfs / 10.0);
}

void VoiceActivityDetector::UpdateFloor(double power, bool raw, double block_ms) {
  auto smoothing = [&](double tau_ms) {
    return 1.0 - std::exp(-block_ms / std::max(tau_ms, 1e-3));
  };
  smoothed_power_ += (power - smoothed_power_) * smoothing(options_.level_smoothing_ms);
  const double level = PowerToDbfs(smoothed_power_);

  // Stationarity window: minimum smoothed level per sub-window.
  const double slot_ms = options_.stationarity_window_ms / kMinSlots;
  if (slot_elapsed_ms_ == 0.0) {
    slot_min_[slot_index_] = level;
  } else {
    slot_min_[slot_index_] = std::min(slot_min_[slot_index_], level);
  }
  slot_elapsed_ms_ += block_ms;
  if (slot_elapsed_ms_ >= slot_ms) {
    slot_index_ = (slot_index_ + 1) % kMinSlots;
    slot_elapsed_ms_ = 0.0;
  }
  const double window_min = *std::min_element(std::begin(slot_min_), std::end(slot_min_));

  if (level < floor_dbfs_) {
    floor_dbfs_ += (level - floor_dbfs_) * smoothing(options_.floor_fall_tau_ms);
  } else if (!raw) {
    floor_dbfs_ += (level - floor_dbfs_) * smoothing(options_.floor_rise_tau_ms);
  } else if (window_min > floor_dbfs_) {
    floor_dbfs_ += (window_min - floor_dbfs_) * smoothing(options_.floor_rise_tau_ms);
  }
  floor_dbfs_ = std::clamp(floor_dbfs_, options_.floor_min_dbfs, 0.0);
}

bool VoiceActivityDetector::Process(const int16_t* interleaved, size_t frames, int channels,
                                    int sample_rate) {
  if (interleaved == nullptr || frames == 0 || channels < 1 || sample_rate <= 0) return active_;
  const double inv_ch = 1.0 / channels;
  auto mono = [&](size_t f) {
    int32_t sum = 0;
    for (int c = 0; c < channels; ++c) sum += interleaved[f * channels + c];
    return sum * inv_ch;
  };
  double mean = 0.0;
  for (size_t f = 0; f < frames; ++f) mean += mono(f);
  mean /= static_cast<double>(frames);

  double energy = 0.0;
  size_t crossings = 0;
  bool prev_neg = mono(0) - mean < 0.0;
  for (size_t f = 0; f < frames; ++f) {
    const double v = mono(f) - mean;
    energy += v * v;
    const bool neg = v < 0.0;
    crossings += neg != prev_neg;
    prev_neg = neg;
  }
  const double power = energy / static_cast<double>(frames) / (32768.0 * 32768.0);
  const double level = PowerToDbfs(power);
  const double block_ms = 1000.0 * static_cast<double>(frames) / sample_rate;
  const double zcr_hz = static_cast<double>(crossings) * sample_rate / static_cast<double>(frames);

  const bool raw = level >= options_.min_speech_dbfs && level >= floor_dbfs_ + options_.snr_db &&
                   zcr_hz <= options_.max_zcr_hz;
  UpdateFloor(power, raw, block_ms);

  if (raw) {
    hangover_left_ms_ = options_.hangover_ms;
    active_ = true;
  } else {
    hangover_left_ms_ = std::max(0.0, hangover_left_ms_ - block_ms);
    active_ = hangover_left_ms_ > 0.0;
  }
  last_raw_ = raw;
  last_level_dbfs_ = level;
  last_zcr_hz_ = zcr_hz;
  return active_;
}

// ---------------------------------------------------------------------------
// Measurement helpers

double RmsDbfs(const int16_t* samples, size_t n) {
  if (samples == nullptr || n == 0) return -120.0;
  double energy = 0.0;
  for (size_t i = 0; i < n; ++i) energy += static_cast<double>(samples[i]) * samples[i];
  const double rms = std::sqrt(energy / static_cast<double>(n));
  return rms > 0.0 ? std::max(-120.0, 20.0 * std::log10(rms / 32768.0)) : -120.0;
}

double RmsDbfs(std::span<const int16_t> samples) { return RmsDbfs(samples.data(), samples.size()); }

namespace {

// |X(freq)| of the Hann-windowed signal, normalised so a sine of amplitude A
// gives A.
double HannGoertzel(const int16_t* x, size_t n, int sample_rate, double freq_hz,
                    const std::vector<double>& window, double window_sum) {
  const double w = 2.0 * kPi * freq_hz / sample_rate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double s = x[i] * window[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2);
  return 2.0 * std::sqrt(power) / window_sum;
}

std::vector<double> HannWindow(size_t n, double* sum) {
  std::vector<double> w(n);
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) {
    w[i] =
        0.5 - 0.5 * std::cos(2.0 * kPi * (static_cast<double>(i) + 0.5) / static_cast<double>(n));
    s += w[i];
  }
  *sum = s;
  return w;
}

}  // namespace

double ToneAmplitude(const int16_t* mono, size_t n, int sample_rate, double freq_hz) {
  if (mono == nullptr || n == 0 || sample_rate <= 0) return 0.0;
  double sum = 0.0;
  const std::vector<double> w = HannWindow(n, &sum);
  return HannGoertzel(mono, n, sample_rate, freq_hz, w, sum);
}

double EstimateFrequencyHz(const int16_t* mono, size_t n, int sample_rate, double min_hz,
                           double max_hz) {
  if (mono == nullptr || n < 16 || sample_rate <= 0) return 0.0;
  min_hz = std::max(min_hz, 0.0);
  max_hz = std::min(max_hz, sample_rate / 2.0);
  if (max_hz <= min_hz) return 0.0;
  // Coarse scan at half-bin steps over a short prefix (cheap, and its wide
  // main lobe cannot be stepped over) ...
  const size_t coarse_n = std::min<size_t>(n, 4096);
  double coarse_sum = 0.0;
  const std::vector<double> coarse_w = HannWindow(coarse_n, &coarse_sum);
  const double coarse_bin = static_cast<double>(sample_rate) / static_cast<double>(coarse_n);
  double best_f = min_hz;
  double best = -1.0;
  for (double f = min_hz; f <= max_hz; f += coarse_bin / 2) {
    const double m = HannGoertzel(mono, coarse_n, sample_rate, f, coarse_w, coarse_sum);
    if (m > best) {
      best = m;
      best_f = f;
    }
  }
  // ... then zoom in on the whole signal: scan +-span in 32 steps, shrink the
  // span 8x around the best point, until the step is 1/64 of a full bin.
  double sum = 0.0;
  const std::vector<double> w = HannWindow(n, &sum);
  const double final_step = static_cast<double>(sample_rate) / static_cast<double>(n) / 64;
  double span = coarse_bin;
  for (;;) {
    const double step = span / 16;
    const double lo = std::max(min_hz, best_f - span);
    const double hi = std::min(max_hz, best_f + span);
    double zoom_best = -1.0;
    double zoom_f = best_f;
    for (double f = lo; f <= hi + step * 1e-6; f += step) {
      const double m = HannGoertzel(mono, n, sample_rate, f, w, sum);
      if (m > zoom_best) {
        zoom_best = m;
        zoom_f = f;
      }
    }
    best_f = zoom_f;
    if (step <= final_step) break;
    span = std::max(span / 8, final_step * 2);
  }
  return best_f;
}

}  // namespace corvel::engine
