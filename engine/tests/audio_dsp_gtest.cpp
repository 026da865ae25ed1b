// Tests for engine/audio_dsp: resampling (pitch, level, purity, delay,
// chunking, anti-aliasing), channel conversion, saturating mixing, FIFO
// framing/overflow and voice activity decisions. Also prints (never asserts)
// the cost of resampling 20 ms of 48 kHz stereo to 16 kHz mono.
#include "audio_dsp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using corvel::engine::AddSaturate;
using corvel::engine::AudioFifo;
using corvel::engine::EstimateFrequencyHz;
using corvel::engine::Mixer;
using corvel::engine::MixInto;
using corvel::engine::Resampler;
using corvel::engine::RmsDbfs;
using corvel::engine::Saturate;
using corvel::engine::SaturateMinus;
using corvel::engine::ToneAmplitude;
using corvel::engine::VoiceActivityDetector;

// printf-style text for a failed expectation.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

constexpr double kPi = 3.14159265358979323846;

int16_t Clamp16(double v) {
  v = std::round(v);
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

// Interleaved sine; every channel carries the same signal. amplitude_db is the
// peak relative to full scale (-6 dB = half scale).
std::vector<int16_t> Sine(int rate, int channels, double freq, double amplitude_db, size_t frames,
                          double phase = 0.0) {
  const double amp = 32767.0 * std::pow(10.0, amplitude_db / 20.0);
  std::vector<int16_t> out(frames * channels);
  for (size_t f = 0; f < frames; ++f) {
    const int16_t v = Clamp16(amp * std::sin(2.0 * kPi * freq * f / rate + phase));
    for (int c = 0; c < channels; ++c) out[f * channels + c] = v;
  }
  return out;
}

std::vector<int16_t> Channel(const std::vector<int16_t>& interleaved, int channels, int c,
                             size_t skip_frames = 0) {
  std::vector<int16_t> out;
  for (size_t f = skip_frames; f < interleaved.size() / channels; ++f) {
    out.push_back(interleaved[f * channels + c]);
  }
  return out;
}

std::vector<int16_t> ResampleAll(Resampler& r, const std::vector<int16_t>& in) {
  std::vector<int16_t> out;
  r.Process(in.data(), in.size() / r.in_channels(), out);
  return out;
}

double DbOf(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-12)); }

// Least-squares fit of a sinusoid at freq; returns the residual level relative
// to the fitted tone, in dB (signal-to-noise-and-distortion, negated).
double ResidualDb(const std::vector<int16_t>& x, int rate, double freq) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double w = 2.0 * kPi * freq * i / rate;
    const double s = std::sin(w), c = std::cos(w);
    ss += s * s;
    sc += s * c;
    cc += c * c;
    xs += x[i] * s;
    xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det;
  const double b = (xc * ss - xs * sc) / det;
  double err = 0, sig = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double w = 2.0 * kPi * freq * i / rate;
    const double fit = a * std::sin(w) + b * std::cos(w);
    err += (x[i] - fit) * (x[i] - fit);
    sig += fit * fit;
  }
  return 10.0 * std::log10(std::max(err, 1e-9) / sig);
}

// --------------------------------------------------------------------------
// Resampler

struct RatePair {
  int in_rate, in_ch, out_rate, out_ch;
};

const RatePair kPairs[] = {
    {48000, 2, 16000, 1}, {44100, 2, 48000, 2}, {16000, 1, 48000, 2}, {48000, 1, 44100, 1},
    {8000, 1, 16000, 1},  {44100, 1, 16000, 1}, {32000, 2, 24000, 2}, {24000, 1, 8000, 1},
    {44101, 1, 48000, 1}, {96000, 2, 8000, 1},  {8000, 1, 96000, 2},  {47999, 2, 16001, 1},
};

TEST(AudioDsp, ResamplerPitchLevelAndPurityOfATone) {
  for (const RatePair& p : kPairs) {
    Resampler r(p.in_rate, p.in_ch, p.out_rate, p.out_ch);
    const size_t in_frames = static_cast<size_t>(p.in_rate);  // 1 s
    const auto in = Sine(p.in_rate, p.in_ch, 1000.0, -6.0, in_frames);
    const auto out = ResampleAll(r, in);
    const size_t out_frames = out.size() / p.out_ch;
    const size_t expect_frames =
        (static_cast<uint64_t>(in_frames) * p.out_rate + p.in_rate - 1) / p.in_rate;
    EXPECT_TRUE(out.size() % p.out_ch == 0) << Format("partial frame");
    EXPECT_TRUE(out_frames == expect_frames) << Format(
        "%d->%d: %zu frames, expected %zu", p.in_rate, p.out_rate, out_frames, expect_frames);
    // Skip the filter warm-up (a few times the delay) and analyse the rest.
    const size_t skip = static_cast<size_t>(r.latency_frames()) * 2 + p.out_rate / 100;
    for (int c = 0; c < p.out_ch; ++c) {
      const auto y = Channel(out, p.out_ch, c, skip);
      const double f = EstimateFrequencyHz(y.data(), y.size(), p.out_rate, 100.0, p.out_rate / 2.0);
      const double amp = ToneAmplitude(y.data(), y.size(), p.out_rate, 1000.0);
      const double level_err = DbOf(amp / (32767.0 * std::pow(10.0, -6.0 / 20.0)));
      const double rms_err = RmsDbfs(y) - RmsDbfs(Channel(in, p.in_ch, 0, p.in_rate / 10));
      const double resid = ResidualDb(y, p.out_rate, 1000.0);
      if (c == 0) {
        std::printf(
            "    %5d/%d -> %5d/%d: f=%.2f Hz level %+.3f dB rms %+.3f dB residual %.1f dB "
            "taps %d latency %d\n",
            p.in_rate, p.in_ch, p.out_rate, p.out_ch, f, level_err, rms_err, resid, r.taps(),
            r.latency_frames());
      }
      EXPECT_TRUE(std::fabs(f - 1000.0) <= 10.0)
          << Format("%d->%d: frequency %.2f Hz", p.in_rate, p.out_rate, f);
      EXPECT_TRUE(std::fabs(level_err) <= 0.5)
          << Format("%d->%d: tone level off by %.3f dB", p.in_rate, p.out_rate, level_err);
      EXPECT_TRUE(std::fabs(rms_err) <= 0.5)
          << Format("%d->%d: rms off by %.3f dB", p.in_rate, p.out_rate, rms_err);
      // A correct band-limited interpolator leaves only rounding noise; phase
      // jitter, wrong tap alignment or coarse phase tables show up here.
      EXPECT_TRUE(resid <= -80.0) << Format("%d->%d: residual %.1f dB", p.in_rate, p.out_rate,
                                            resid);
    }
    if (p.out_ch == 2) {
      EXPECT_TRUE(Channel(out, 2, 0) == Channel(out, 2, 1))
          << Format("%d->%d: channels differ", p.in_rate, p.out_rate);
    }
  }
}

TEST(AudioDsp, ResamplerDelayAndDcGain) {
  for (const RatePair& p : kPairs) {
    // An impulse comes out centred latency_frames() later.
    Resampler r(p.in_rate, 1, p.out_rate, 1);
    std::vector<int16_t> in(static_cast<size_t>(p.in_rate) / 10, 0);
    in[0] = 20000;
    const auto out = ResampleAll(r, in);
    const size_t peak = std::max_element(out.begin(), out.end()) - out.begin();
    EXPECT_TRUE(std::abs(static_cast<int>(peak) - r.latency_frames()) <= 1)
        << Format("%d->%d: impulse peak at %zu, latency_frames %d", p.in_rate, p.out_rate, peak,
                  r.latency_frames());

    // DC passes at unity gain once the filter has filled.
    Resampler dc(p.in_rate, 1, p.out_rate, 1);
    const std::vector<int16_t> level(static_cast<size_t>(p.in_rate) / 10, -12345);
    const auto y = ResampleAll(dc, level);
    int worst = 0;
    for (size_t i = static_cast<size_t>(dc.latency_frames()) * 2 + 1; i < y.size(); ++i) {
      worst = std::max(worst, std::abs(y[i] + 12345));
    }
    EXPECT_TRUE(worst <= 1) << Format("%d->%d: DC error %d", p.in_rate, p.out_rate, worst);
  }
}

TEST(AudioDsp, ResamplerChunkedEqualsOneShot) {
  std::mt19937 rng(12345);
  for (const RatePair& p : kPairs) {
    // A rich test signal: three tones plus noise, 1.5 s.
    const size_t frames = static_cast<size_t>(p.in_rate) * 3 / 2;
    std::normal_distribution<double> noise(0.0, 1500.0);
    std::vector<int16_t> in(frames * p.in_ch);
    for (size_t f = 0; f < frames; ++f) {
      for (int c = 0; c < p.in_ch; ++c) {
        const double t = static_cast<double>(f) / p.in_rate;
        in[f * p.in_ch + c] =
            Clamp16(8000 * std::sin(2 * kPi * 440 * t + c) + 6000 * std::sin(2 * kPi * 2900 * t) +
                    4000 * std::sin(2 * kPi * 3700.5 * t) + noise(rng));
      }
    }
    Resampler whole(p.in_rate, p.in_ch, p.out_rate, p.out_ch);
    const auto expect = ResampleAll(whole, in);

    Resampler chunked(p.in_rate, p.in_ch, p.out_rate, p.out_ch);
    std::uniform_int_distribution<size_t> chunk(1, 997);
    std::vector<int16_t> got;
    size_t calls = 0;
    for (size_t f = 0; f < frames;) {
      const size_t n = std::min(chunk(rng), frames - f);
      chunked.Process(in.data() + f * p.in_ch, n, got);
      f += n;
      ++calls;
    }
    EXPECT_TRUE(got.size() == expect.size()) << Format(
        "%d->%d: chunked %zu samples vs %zu", p.in_rate, p.out_rate, got.size(), expect.size());
    int worst = 0;
    for (size_t i = 0; i < std::min(got.size(), expect.size()); ++i) {
      worst = std::max(worst, std::abs(got[i] - expect[i]));
    }
    EXPECT_TRUE(worst <= 1) << Format("%d->%d: chunked differs by %d LSB over %zu calls", p.in_rate,
                                      p.out_rate, worst, calls);

    // Single-frame chunks for the first 0.1 s, too.
    Resampler single(p.in_rate, p.in_ch, p.out_rate, p.out_ch);
    std::vector<int16_t> got1;
    for (size_t f = 0; f < frames / 15; ++f) single.Process(in.data() + f * p.in_ch, 1, got1);
    EXPECT_TRUE(std::equal(got1.begin(), got1.end(), expect.begin()) && !got1.empty())
        << Format("%d->%d: frame-by-frame output differs", p.in_rate, p.out_rate);

    // Reset restores the initial state exactly.
    whole.Reset();
    EXPECT_TRUE(ResampleAll(whole, in) == expect)
        << Format("%d->%d: output after Reset differs", p.in_rate, p.out_rate);
  }
}

TEST(AudioDsp, ResamplerAntiAliasingAndAntiImaging) {
  struct Case {
    int in_rate, out_rate;
    double freq;
  };
  // Tones above the output Nyquist frequency must not fold back into the band.
  const Case cases[] = {{48000, 16000, 12000.0}, {48000, 16000, 9000.0},  {44100, 16000, 10000.0},
                        {96000, 8000, 5000.0},   {48000, 44100, 23000.0}, {44101, 8000, 6000.0}};
  for (const Case& k : cases) {
    Resampler r(k.in_rate, 1, k.out_rate, 1);
    const auto in = Sine(k.in_rate, 1, k.freq, -6.0, k.in_rate);
    const auto out = ResampleAll(r, in);
    const std::vector<int16_t> y(out.begin() + r.latency_frames() * 2 + 10, out.end());
    const double atten = RmsDbfs(y) - RmsDbfs(in);
    std::printf("    %d -> %d: %.0f Hz attenuated by %.1f dB\n", k.in_rate, k.out_rate, k.freq,
                -atten);
    EXPECT_TRUE(atten <= -40.0) << Format("%d->%d: %.0f Hz only %.1f dB down", k.in_rate,
                                          k.out_rate, k.freq, atten);
  }
  // Interpolation must not create images: 1 kHz at 16 kHz -> 48 kHz leaves
  // nothing at 15 and 17 kHz.
  {
    Resampler r(16000, 1, 48000, 1);
    const auto out = ResampleAll(r, Sine(16000, 1, 1000.0, -6.0, 16000));
    const std::vector<int16_t> y(out.begin() + 500, out.end());
    const double tone = ToneAmplitude(y.data(), y.size(), 48000, 1000.0);
    for (double image : {15000.0, 17000.0}) {
      const double rel = DbOf(ToneAmplitude(y.data(), y.size(), 48000, image) / tone);
      EXPECT_TRUE(rel <= -40.0) << Format("image at %.0f Hz only %.1f dB down", image, rel);
    }
  }
  // The pass band stays flat well above the voice band: 6 kHz at 48 -> 16 kHz.
  {
    Resampler r(48000, 1, 16000, 1);
    const auto out = ResampleAll(r, Sine(48000, 1, 6000.0, -6.0, 48000));
    const std::vector<int16_t> y(out.begin() + 200, out.end());
    const double level = DbOf(ToneAmplitude(y.data(), y.size(), 16000, 6000.0) /
                              (32767.0 * std::pow(10.0, -6.0 / 20.0)));
    std::printf("    48000 -> 16000: 6 kHz pass-band level %+.2f dB\n", level);
    EXPECT_TRUE(std::fabs(level) <= 1.0) << Format("6 kHz pass-band level %.2f dB", level);
  }
}

TEST(AudioDsp, ResamplerChannelsFastPathsClippingArguments) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::vector<int16_t> stereo(2 * 4801);
  for (auto& s : stereo) s = static_cast<int16_t>(any(rng));

  // Same format: a plain copy, appended after existing content.
  Resampler copy(48000, 2, 48000, 2);
  EXPECT_TRUE(copy.latency_frames() == 0 && copy.same_rate()) << Format("identity has latency");
  std::vector<int16_t> out = {1, 2};
  copy.Process(stereo.data(), 4801, out);
  EXPECT_TRUE(out.size() == stereo.size() + 2 && out[0] == 1 && out[1] == 2 &&
              std::equal(stereo.begin(), stereo.end(), out.begin() + 2))
      << Format("identity is not a copy");

  // Same rate, stereo -> mono: rounded average, no delay.
  Resampler down(48000, 2, 48000, 1);
  const auto mono = ResampleAll(down, stereo);
  bool ok = mono.size() == 4801;
  for (size_t f = 0; ok && f < mono.size(); ++f) {
    const double avg = (stereo[2 * f] + stereo[2 * f + 1]) / 2.0;
    ok = std::fabs(mono[f] - avg) <= 0.5;
  }
  EXPECT_TRUE(ok) << Format("stereo -> mono is not the average");
  EXPECT_TRUE(ResampleAll(down, std::vector<int16_t>{32767, 32767, -32768, -32768})[1] == -32768)
      << Format("down-mix overflow at the rails");

  // Same rate, mono -> stereo: duplication.
  Resampler up(16000, 1, 16000, 2);
  const auto dup = ResampleAll(up, mono);
  ok = dup.size() == 2 * mono.size();
  for (size_t f = 0; ok && f < mono.size(); ++f) {
    ok = dup[2 * f] == mono[f] && dup[2 * f + 1] == mono[f];
  }
  EXPECT_TRUE(ok) << Format("mono -> stereo is not duplication");

  // Stereo resampling keeps the channels apart.
  Resampler st(48000, 2, 16000, 2);
  std::vector<int16_t> lr(2 * 48000);
  const auto left = Sine(48000, 1, 500.0, -6.0, 48000);
  const auto right = Sine(48000, 1, 1500.0, -12.0, 48000);
  for (size_t f = 0; f < 48000; ++f) {
    lr[2 * f] = left[f];
    lr[2 * f + 1] = right[f];
  }
  const auto res = ResampleAll(st, lr);
  const auto l = Channel(res, 2, 0, 200), rr = Channel(res, 2, 1, 200);
  EXPECT_TRUE(std::fabs(EstimateFrequencyHz(l.data(), l.size(), 16000, 100, 8000) - 500) < 5)
      << Format("left channel pitch");
  EXPECT_TRUE(std::fabs(EstimateFrequencyHz(rr.data(), rr.size(), 16000, 100, 8000) - 1500) < 15)
      << Format("right channel pitch");
  EXPECT_TRUE(DbOf(ToneAmplitude(l.data(), l.size(), 16000, 1500.0) / 16383.0) < -80)
      << Format("right leaks into left");

  // 48 kHz stereo with different channels -> 16 kHz mono averages them.
  Resampler dm(48000, 2, 16000, 1);
  const auto m = ResampleAll(dm, lr);
  const std::vector<int16_t> mm(m.begin() + 200, m.end());
  const double a500 = ToneAmplitude(mm.data(), mm.size(), 16000, 500.0);
  const double a1500 = ToneAmplitude(mm.data(), mm.size(), 16000, 1500.0);
  // Averaging halves each channel's contribution.
  EXPECT_TRUE(std::fabs(DbOf(a500 / (32767 * 0.5 * std::pow(10.0, -6.0 / 20.0)))) < 0.05 &&
              std::fabs(DbOf(a1500 / (32767 * 0.5 * std::pow(10.0, -12.0 / 20.0)))) < 0.05)
      << Format("down-mix levels %.0f %.0f", a500, a1500);

  // A full-scale square wave overshoots after filtering; the output must clip
  // at the rails, never wrap around (which would add sign changes).
  Resampler sq(48000, 1, 44100, 1);
  std::vector<int16_t> square(48000);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 24) % 2 ? -32768 : 32767;
  const auto y = ResampleAll(sq, square);
  int sign_changes = 0;
  for (size_t i = 101; i < y.size(); ++i) sign_changes += (y[i] < 0) != (y[i - 1] < 0);
  const int expected = static_cast<int>(2 * (y.size() - 101) / 44.1);  // 2 per 1 kHz period
  EXPECT_TRUE(std::abs(sign_changes - expected) <= 2)
      << Format("square wave: %d sign changes, expected ~%d", sign_changes, expected);
  EXPECT_TRUE(*std::max_element(y.begin(), y.end()) == 32767 &&
              *std::min_element(y.begin(), y.end()) == -32768)
      << Format("square wave does not reach the rails");

  // Invalid configurations.
  auto throws = [](int ir, int ic, int orate, int oc) {
    try {
      Resampler bad(ir, ic, orate, oc);
    } catch (const std::invalid_argument&) {
      return true;
    }
    return false;
  };
  EXPECT_TRUE(throws(7999, 1, 16000, 1) && throws(48000, 1, 96001, 1) &&
              throws(48000, 0, 48000, 1) && throws(48000, 2, 48000, 3) &&
              throws(48000, 9, 48000, 9) && !throws(8000, 6, 96000, 1))
      << Format("argument validation");

  // Zero-length input is a no-op; moved-from state is usable.
  Resampler mv(44100, 1, 48000, 1);
  std::vector<int16_t> none;
  mv.Process(nullptr, 0, none);
  EXPECT_TRUE(none.empty()) << Format("empty input produced output");
  Resampler moved = std::move(mv);
  const auto after_move = ResampleAll(moved, Sine(44100, 1, 1000, -6, 441));
  EXPECT_TRUE(after_move.size() == 480)
      << Format("moved resampler produced %zu", after_move.size());
}

// --------------------------------------------------------------------------
// Mixing

TEST(AudioDsp, MixerSaturationAndMixMinus) {
  const std::vector<int16_t> hi = {30000, -30000, 32767, -32768, 100, 0};
  std::vector<int16_t> out(hi.size());
  std::vector<int32_t> acc(hi.size(), 0);
  MixInto(acc, hi);
  MixInto(acc, hi);
  Saturate(acc, out);
  EXPECT_TRUE(out == (std::vector<int16_t>{32767, -32768, 32767, -32768, 200, 0}))
      << Format("saturation: %d %d %d %d %d %d", out[0], out[1], out[2], out[3], out[4], out[5]);

  // Wide accumulation: intermediate sums beyond int16 still come out exact.
  const std::vector<int16_t> a = {30000, -30000, 20000}, b = {30000, -30000, 20000},
                             c = {-30000, 30000, -25000};
  Mixer mix;
  mix.Begin(3);
  mix.Add(a);
  mix.Add(b);
  mix.Add(c);
  std::vector<int16_t> m(3);
  mix.Mix(m);
  EXPECT_TRUE(m == (std::vector<int16_t>{30000, -30000, 15000}) && mix.streams() == 3)
      << Format("three-way mix %d %d %d", m[0], m[1], m[2]);
  // Mix-minus: everyone but c.
  mix.MixMinus(c, m);
  EXPECT_TRUE(m == (std::vector<int16_t>{32767, -32768, 32767}))
      << Format("mix-minus %d %d %d", m[0], m[1], m[2]);
  mix.MixMinus(a, m);
  EXPECT_TRUE(m == (std::vector<int16_t>{0, 0, -5000}))
      << Format("mix-minus a %d %d %d", m[0], m[1], m[2]);

  // Gain: Q15 half gain.
  std::vector<int32_t> g(3, 0);
  MixInto(g, std::vector<int16_t>{20000, -20000, 3}, 16384);
  EXPECT_TRUE(g == (std::vector<int32_t>{10000, -10000, 2}))
      << Format("half gain %d %d %d", g[0], g[1], g[2]);

  // Two-stream in-place add, exhaustive over a grid of values.
  bool ok = true;
  for (int x = -32768; x <= 32767 && ok; x += 257) {
    for (int y = -32768; y <= 32767 && ok; y += 263) {
      std::vector<int16_t> io = {static_cast<int16_t>(x)};
      AddSaturate(io, std::vector<int16_t>{static_cast<int16_t>(y)});
      ok = io[0] == std::clamp(x + y, -32768, 32767);
    }
  }
  EXPECT_TRUE(ok) << Format("AddSaturate wraps");

  bool threw = false;
  try {
    MixInto(acc, std::vector<int16_t>(3));
  } catch (const std::invalid_argument&) {
    threw = true;
  }
  EXPECT_TRUE(threw) << Format("size mismatch not rejected");
}

// --------------------------------------------------------------------------
// FIFO

TEST(AudioDsp, FifoFramingAndOverflow) {
  // 10 ms blocks of 48 kHz stereo fed in random chunks come out in order.
  // Phases without reading make the FIFO overflow; the frames that come out
  // then must continue exactly after the dropped (oldest) ones.
  {
    AudioFifo fifo(48000, 2, 10, 200);
    EXPECT_TRUE(fifo.frame_frames() == 480 && fifo.frame_samples() == 960)
        << Format("block size %zu", fifo.frame_frames());
    EXPECT_TRUE(fifo.capacity_frames() == 9600) << Format("capacity %zu", fifo.capacity_frames());
    std::mt19937 rng(3);
    std::uniform_int_distribution<size_t> chunk(1, 1500);
    uint32_t next_in = 0, popped = 0;
    bool order_ok = true, overflowed_ok = true;
    std::vector<int16_t> block;
    for (int round = 0; round < 3000; ++round) {
      const size_t n = chunk(rng);
      std::vector<int16_t> in(2 * n);
      for (size_t f = 0; f < n; ++f, ++next_in) {
        in[2 * f] = static_cast<int16_t>(next_in & 0x7fff);
        in[2 * f + 1] = static_cast<int16_t>(-static_cast<int>(next_in & 0x7fff));
      }
      const size_t before = fifo.buffered_frames();
      const uint64_t dropped_before = fifo.dropped_frames();
      fifo.Push(in);
      // Drops happen exactly when the push exceeds the capacity.
      const size_t excess = before + n > 9600 ? before + n - 9600 : 0;
      overflowed_ok &= fifo.dropped_frames() - dropped_before == excess &&
                       fifo.buffered_frames() == std::min<size_t>(before + n, 9600);
      const bool reader_stalled = (round / 50) % 2 == 1;
      while (!reader_stalled && fifo.buffered_frames() > 2400 && fifo.PopFrame(block)) {
        const uint32_t first = popped + static_cast<uint32_t>(fifo.dropped_frames());
        for (uint32_t f = 0; f < 480; ++f) {
          const uint32_t v = first + f;
          order_ok &= block[2 * f] == static_cast<int16_t>(v & 0x7fff) &&
                      block[2 * f + 1] == static_cast<int16_t>(-static_cast<int>(v & 0x7fff));
        }
        popped += 480;
      }
    }
    EXPECT_TRUE(fifo.dropped_frames() > 0) << Format("test never overflowed");
    EXPECT_TRUE(overflowed_ok) << Format("drop accounting on overflow");
    EXPECT_TRUE(order_ok) << Format(
        "samples reordered, corrupted, or newest dropped instead of oldest");
    EXPECT_TRUE(next_in - popped - fifo.dropped_frames() == fifo.buffered_frames())
        << Format("frame accounting");
    EXPECT_TRUE(std::fabs(fifo.buffered_ms() - fifo.buffered_frames() / 48.0) < 1e-9)
        << Format("buffered_ms");
  }
  // Partial blocks are held back; overflow drops the oldest frames.
  {
    AudioFifo fifo(16000, 1, 20, 100);  // 320-frame blocks, 1600 frames
    std::vector<int16_t> seq(2000);
    for (size_t i = 0; i < seq.size(); ++i) seq[i] = static_cast<int16_t>(i);
    fifo.Push(seq.data(), 319);
    std::vector<int16_t> block(320, -1);
    EXPECT_TRUE(!fifo.PopFrame(std::span<int16_t>(block)) && block[0] == -1)
        << Format("popped a partial block");
    fifo.Push(seq.data() + 319, 1000);
    EXPECT_TRUE(fifo.dropped_frames() == 0) << Format("dropped below capacity");
    fifo.Push(seq.data() + 1319, 681);  // 2000 frames pushed, capacity 1600
    EXPECT_TRUE(fifo.dropped_frames() == 400 && fifo.dropped_samples() == 400)
        << Format("dropped %llu", static_cast<unsigned long long>(fifo.dropped_frames()));
    EXPECT_TRUE(fifo.buffered_frames() == 1600 && std::fabs(fifo.buffered_ms() - 100.0) < 1e-9)
        << Format("buffered %zu", fifo.buffered_frames());
    EXPECT_TRUE(fifo.PopFrame(std::span<int16_t>(block)) && block[0] == 400 && block[319] == 719)
        << Format("oldest frames were not the ones dropped (first %d)", block[0]);
    int popped = 1;
    while (fifo.PopFrame(std::span<int16_t>(block))) ++popped;
    EXPECT_TRUE(popped == 5 && block[319] == 1999)
        << Format("popped %d blocks, last sample %d", popped, block[319]);
  }
  // Stereo overflow counts samples, and a chunk larger than the whole buffer
  // keeps only its newest part.
  {
    AudioFifo fifo(8000, 2, 10, 30);  // 80-frame blocks, 240 frames
    std::vector<int16_t> seq(2 * 1000);
    for (size_t f = 0; f < 1000; ++f) seq[2 * f] = seq[2 * f + 1] = static_cast<int16_t>(f);
    fifo.Push(seq.data(), 100);
    fifo.Push(seq.data() + 200, 900);  // frames 100..999
    EXPECT_TRUE(fifo.dropped_frames() == 100 + 900 - 240 && fifo.dropped_samples() == 2 * 760)
        << Format("dropped %llu", static_cast<unsigned long long>(fifo.dropped_frames()));
    std::vector<int16_t> block;
    EXPECT_TRUE(fifo.PopFrame(block) && block.size() == 160 && block[0] == 760 && block[1] == 760)
        << Format("first kept frame %d", block.empty() ? -1 : block[0]);
    fifo.Clear();
    EXPECT_TRUE(fifo.buffered_frames() == 0 && !fifo.HasFrame() && fifo.dropped_frames() == 760)
        << Format("Clear");
  }
  // Odd rates: 44.1 kHz 10 ms = 441 frames; capacity rounds up to whole blocks.
  {
    AudioFifo fifo(44100, 1, 10, 25);
    EXPECT_TRUE(fifo.frame_frames() == 441 && fifo.capacity_frames() == 3 * 441)
        << Format("44.1k sizes %zu %zu", fifo.frame_frames(), fifo.capacity_frames());
    bool threw = false;
    try {
      AudioFifo bad(48000, 0, 10, 100);
    } catch (const std::invalid_argument&) {
      threw = true;
    }
    EXPECT_TRUE(threw) << Format("bad channel count accepted");
  }
}

// --------------------------------------------------------------------------
// VAD

// Runs a signal through a VAD in 10 ms blocks; returns the per-block decisions.
std::vector<bool> RunVad(VoiceActivityDetector& vad, const std::vector<int16_t>& x, int rate,
                         int channels) {
  std::vector<bool> d;
  const size_t block = static_cast<size_t>(rate) / 100;
  for (size_t f = 0; f + block <= x.size() / channels; f += block) {
    d.push_back(vad.Process(x.data() + f * channels, block, channels, rate));
  }
  return d;
}

int CountTrue(const std::vector<bool>& d, size_t from, size_t to) {
  int n = 0;
  for (size_t i = from; i < std::min(to, d.size()); ++i) n += d[i];
  return n;
}

std::vector<double> WhiteNoise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> v(n);
  for (auto& s : v) s = g(rng);
  return v;
}

// Scales a real signal to the given RMS level (dBFS) and converts it.
std::vector<int16_t> AtLevel(const std::vector<double>& v, double dbfs) {
  double e = 0;
  for (double s : v) e += s * s;
  const double gain = 32768.0 * std::pow(10.0, dbfs / 20.0) / std::sqrt(e / v.size());
  std::vector<int16_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = Clamp16(v[i] * gain);
  return out;
}

// Harmonic-rich 200 Hz voice-like tone (harmonics up to 3 kHz, 1/k roll-off)
// with a syllable-rate (4 Hz) envelope: 125 ms syllables, 125 ms gaps.
std::vector<double> SyllableSpeech(int rate, double seconds) {
  const size_t n = static_cast<size_t>(rate * seconds);
  std::vector<double> v(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    double s = 0;
    for (int k = 1; k * 200 <= 3000; ++k) s += std::sin(2 * kPi * 200 * k * t + 0.3 * k) / k;
    const double env = std::max(0.0, std::sin(2 * kPi * 4 * t));
    v[i] = s * env;
  }
  return v;
}

std::vector<int16_t> Concat(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(AudioDsp, VadSilenceNoiseHissAndSpeech) {
  // Digital silence and low-level noise are never speech.
  {
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, std::vector<int16_t>(32000, 0), 16000, 1);
    EXPECT_TRUE(CountTrue(d, 0, d.size()) == 0) << Format("silence detected as speech");
  }
  {
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, AtLevel(WhiteNoise(48000, 1), -60.0), 16000, 1);
    EXPECT_TRUE(CountTrue(d, 0, d.size()) == 0)
        << Format("-60 dBFS noise detected as speech (%d blocks)", CountTrue(d, 0, d.size()));
  }
  {
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, AtLevel(WhiteNoise(48000, 2), -40.0), 16000, 1);
    EXPECT_TRUE(CountTrue(d, 0, d.size()) == 0)
        << Format("-40 dBFS white noise detected as speech (%d blocks)", CountTrue(d, 0, d.size()));
  }
  // High-frequency hiss at -30 dBFS (differentiated white noise, 48 kHz stereo).
  {
    auto w = WhiteNoise(2 * 48000 * 3 + 2, 3);
    std::vector<double> hiss(w.size() - 2);
    for (size_t i = 0; i < hiss.size(); ++i) hiss[i] = w[i + 2] - w[i];  // per channel diff
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, AtLevel(hiss, -30.0), 48000, 2);
    std::printf("    hiss: zcr %.0f/s, floor %.1f dBFS, %d/%zu blocks speech\n", vad.last_zcr_hz(),
                vad.noise_floor_dbfs(), CountTrue(d, 0, d.size()), d.size());
    EXPECT_TRUE(CountTrue(d, 100, d.size()) == 0) << Format("hiss detected as speech after 1 s");
    // (The channels are independent, so the mono mix is ~3 dB below -30 dBFS.)
    EXPECT_TRUE(vad.noise_floor_dbfs() > vad.last_level_dbfs() - 3.0)
        << Format("floor did not adapt to hiss: %.1f vs level %.1f", vad.noise_floor_dbfs(),
                  vad.last_level_dbfs());
  }
  // Stationary low-frequency rumble (low zero-crossing rate) is learned by the
  // floor within a few seconds.
  {
    auto w = WhiteNoise(16000 * 6, 4);
    std::vector<double> rumble(w.size());
    double y1 = 0, y2 = 0;
    for (size_t i = 0; i < w.size(); ++i) {  // two one-pole low-passes at ~300 Hz
      y1 += 0.11 * (w[i] - y1);
      y2 += 0.11 * (y1 - y2);
      rumble[i] = y2;
    }
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, AtLevel(rumble, -35.0), 16000, 1);
    std::printf("    rumble: zcr %.0f/s, floor %.1f dBFS, speech blocks in 0-1 s %d, 4-6 s %d\n",
                vad.last_zcr_hz(), vad.noise_floor_dbfs(), CountTrue(d, 0, 100),
                CountTrue(d, 400, d.size()));
    EXPECT_TRUE(CountTrue(d, 400, d.size()) == 0)
        << Format("stationary rumble still speech after 4 s");
  }
  // Syllable-modulated voiced sound after silence, then silence again.
  {
    const int rate = 16000;
    const auto x =
        Concat({std::vector<int16_t>(rate / 2, 0), AtLevel(SyllableSpeech(rate, 3.0), -20.0),
                std::vector<int16_t>(rate, 0)});
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, x, rate, 1);
    // Blocks 50..350 are speech (with gaps bridged by the hangover).
    const int in_speech = CountTrue(d, 50, 350);
    std::printf("    syllables: %d/300 speech blocks, floor %.1f dBFS\n", in_speech,
                vad.noise_floor_dbfs());
    EXPECT_TRUE(CountTrue(d, 0, 50) == 0) << Format("leading silence detected");
    EXPECT_TRUE(in_speech >= 285) << Format("speech detected in only %d/300 blocks", in_speech);
    // The last syllable ends at 3.375 s (block 337); its tail is held for the
    // hangover, then the silence is reported.
    EXPECT_TRUE(d[340] && d[345]) << Format("hangover missing");
    EXPECT_TRUE(CountTrue(d, 370, d.size()) == 0) << Format("silence after speech still active");
  }
  // Speech over background noise, 48 kHz stereo input.
  {
    const int rate = 48000;
    const auto speech = SyllableSpeech(rate, 4.0);
    auto noise = WhiteNoise(speech.size(), 5);
    std::vector<double> mix(speech.size());
    // Speech at about -15 dBFS (syllables), white noise at -45 dBFS.
    double es = 0;
    for (double s : speech) es += s * s;
    const double gs = 32768.0 * std::pow(10.0, -15.0 / 20.0) / std::sqrt(es / speech.size());
    const double gn = 32768.0 * std::pow(10.0, -45.0 / 20.0);
    std::vector<int16_t> st(2 * speech.size());
    for (size_t i = 0; i < speech.size(); ++i) {
      const double t = static_cast<double>(i) / rate;
      const double s = t < 1.0 || t >= 3.0 ? 0.0 : speech[i] * gs;  // speech from 1 s to 3 s
      st[2 * i] = Clamp16(s + gn * noise[i]);
      st[2 * i + 1] = Clamp16(s * 0.8 + gn * noise[i]);
    }
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, st, rate, 2);
    std::printf("    speech in noise: %d/200 speech blocks, noise-only %d/150\n",
                CountTrue(d, 100, 300), CountTrue(d, 0, 100) + CountTrue(d, 325, 375));
    EXPECT_TRUE(CountTrue(d, 100, 300) >= 190) << Format("speech in noise missed");
    EXPECT_TRUE(CountTrue(d, 0, 100) == 0 && CountTrue(d, 330, 400) == 0)
        << Format("noise-only detected");
  }
  // A steady sum of sines between 150 Hz and 3 kHz at -20 dBFS after silence.
  {
    const int rate = 16000;
    std::vector<double> v(rate);
    const double freqs[] = {150, 310, 620, 1100, 1900, 3000};
    for (size_t i = 0; i < v.size(); ++i) {
      for (double f : freqs) v[i] += std::sin(2 * kPi * f * i / rate + f);
    }
    const auto x = Concat({std::vector<int16_t>(rate / 2, 0), AtLevel(v, -20.0)});
    VoiceActivityDetector vad;
    const auto d = RunVad(vad, x, rate, 1);
    std::printf("    sum of sines: zcr %.0f/s, %d/100 speech blocks\n", vad.last_zcr_hz(),
                CountTrue(d, 50, 150));
    EXPECT_TRUE(CountTrue(d, 50, 150) >= 98)
        << Format("sum of sines detected in %d/100 blocks", CountTrue(d, 50, 150));
  }
  // Reset returns to the initial state.
  {
    VoiceActivityDetector vad;
    RunVad(vad, AtLevel(SyllableSpeech(16000, 0.1), -20.0), 16000, 1);
    EXPECT_TRUE(vad.active()) << Format("not active after a syllable");
    vad.Reset();
    EXPECT_TRUE(!vad.active() && vad.noise_floor_dbfs() == vad.options().initial_floor_dbfs)
        << Format("Reset");
  }
}

// --------------------------------------------------------------------------
// Helpers

TEST(AudioDsp, HelpersLevelsAndFrequencyEstimates) {
  const std::vector<int16_t> square = {32767, -32767, 32767, -32767};
  EXPECT_TRUE(std::fabs(RmsDbfs(square) - 20 * std::log10(32767.0 / 32768.0)) < 1e-9)
      << Format("square level");
  const auto s = Sine(48000, 1, 1000.0, 0.0, 48000);
  EXPECT_TRUE(std::fabs(RmsDbfs(s) + 3.0103) < 0.01) << Format("sine level %.3f", RmsDbfs(s));
  EXPECT_TRUE(RmsDbfs(std::vector<int16_t>(100, 0)) == -120.0 && RmsDbfs(nullptr, 0) == -120.0)
      << Format("silence level");
  for (double f : {123.4, 997.0, 3456.7, 7000.0}) {
    const auto x = Sine(16000, 1, f, -10.0, 8000);
    const double est = EstimateFrequencyHz(x.data(), x.size(), 16000, 50, 8000);
    EXPECT_TRUE(std::fabs(est - f) < f * 0.001) << Format("estimate %.2f for %.2f", est, f);
    const double amp = ToneAmplitude(x.data(), x.size(), 16000, f);
    EXPECT_TRUE(std::fabs(DbOf(amp / (32767 * std::pow(10.0, -0.5)))) < 0.05)
        << Format("amplitude %.1f", amp);
  }
}

// --------------------------------------------------------------------------
// Cost (printed only)

// Microseconds per Process call converting 20 ms; the best of several batches,
// so that other load on the machine disturbs the figure less.
double MicrosPer20Ms(int in_rate, int in_ch, int out_rate, int out_ch, int* taps) {
  Resampler r(in_rate, in_ch, out_rate, out_ch);
  *taps = r.taps();
  const size_t frames = static_cast<size_t>(in_rate) / 50;
  const auto in = Sine(in_rate, in_ch, 1000.0, -6.0, frames);
  std::vector<int16_t> out;
  out.reserve(r.MaxOutputFrames(frames) * out_ch);
  double best = 1e9;
  for (int batch = 0; batch < 15; ++batch) {
    const int calls = 500;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
      out.clear();
      r.Process(in.data(), frames, out);
    }
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / calls);
  }
  return best;
}

// Prints, never asserts: the cost of resampling 20 ms of audio.
TEST(AudioDsp, ResamplingCost) {
  int taps = 0;
  const double us = MicrosPer20Ms(48000, 2, 16000, 1, &taps);
  std::printf(
      "cost: 20 ms of 48 kHz stereo -> 16 kHz mono: %.2f us per call (%d taps); "
      "32 parties: %.2f%% of one core\n",
      us, taps, 32 * us / 20000.0 * 100.0);
  struct Pair {
    int ir, ic, orate, oc;
  };
  for (const Pair& p :
       {Pair{44100, 2, 48000, 2}, Pair{48000, 2, 44100, 2}, Pair{16000, 1, 48000, 2},
        Pair{48000, 1, 8000, 1}, Pair{44101, 1, 48000, 1}, Pair{48000, 2, 48000, 2}}) {
    const double u = MicrosPer20Ms(p.ir, p.ic, p.orate, p.oc, &taps);
    std::printf("cost: 20 ms %d/%d -> %d/%d: %.2f us per call (%d taps)\n", p.ir, p.ic, p.orate,
                p.oc, u, taps);
  }
}

}  // namespace
