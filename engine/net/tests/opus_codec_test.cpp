#include "opus_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace corvel::net::opus {
namespace {

// A tone of `frames` frames, interleaved.
std::vector<int16_t> tone(int frame_samples, int channels, int frames, double hz = 440.0) {
  std::vector<int16_t> pcm(static_cast<size_t>(frame_samples) * channels * frames);
  for (size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(i / channels) / kSampleRate;
    pcm[i] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * hz * t));
  }
  return pcm;
}

// Something voice-like, so the encoder's voice activity detector stays on
// (clean periodic signals are soon taken for background, and the encoder
// then sends no FEC): a gliding pitch with harmonics, a syllable envelope
// and some noise.
std::vector<int16_t> voice(int samples) {
  std::vector<int16_t> pcm(static_cast<size_t>(samples));
  double phase = 0;
  uint32_t noise = 12345;
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    phase +=
        2 * std::numbers::pi * (150 + 30 * std::sin(2 * std::numbers::pi * 3 * t)) / kSampleRate;
    double v = 0;
    for (int h = 1; h <= 6; ++h) v += std::sin(h * phase) / h;
    noise = noise * 1664525u + 1013904223u;
    const double n = static_cast<double>(noise >> 16) / 65536.0 - 0.5;
    pcm[static_cast<size_t>(i)] = static_cast<int16_t>(
        6000 * v * (0.6 + 0.4 * std::sin(2 * std::numbers::pi * 4 * t)) + 2000 * n);
  }
  return pcm;
}

double rms(std::span<const int16_t> pcm) {
  double sum = 0;
  for (int16_t s : pcm) sum += static_cast<double>(s) * s;
  return pcm.empty() ? 0 : std::sqrt(sum / pcm.size());
}

struct FormatCase {
  int channels;
  int frame_ms;
};

class OpusFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(OpusFormats, EncodesAndDecodesATone) {
  const auto [channels, frame_ms] = GetParam();
  int error = 1;
  auto encoder =
      Encoder::create({.channels = channels, .frame_ms = frame_ms, .bitrate = 48000}, &error);
  ASSERT_TRUE(encoder) << error_text(error);
  EXPECT_EQ(error, 0);
  auto decoder = Decoder::create(channels);
  ASSERT_TRUE(decoder);
  const int n = frame_samples(frame_ms);
  ASSERT_EQ(encoder->frame_samples(), n);
  const int frames = 600 / frame_ms;  // 0.6 s
  const auto input = tone(n, channels, frames);
  std::vector<uint8_t> packet(kMaxPacketBytes);
  std::vector<int16_t> out(static_cast<size_t>(kMaxFrameSamples) * channels);
  std::vector<int16_t> decoded;
  for (int f = 0; f < frames; ++f) {
    std::span<const int16_t> frame(input.data() + static_cast<size_t>(f) * n * channels,
                                   static_cast<size_t>(n) * channels);
    const int bytes = encoder->encode(frame, packet);
    ASSERT_GT(bytes, 0) << error_text(bytes);
    const std::span<const uint8_t> p(packet.data(), static_cast<size_t>(bytes));
    EXPECT_EQ(Decoder::packet_samples(p), n);
    const int got = decoder->decode(p, out);
    ASSERT_EQ(got, n) << error_text(got);
    decoded.insert(decoded.end(), out.begin(),
                   out.begin() + static_cast<ptrdiff_t>(got) * channels);
  }
  // After the codec's start-up, the tone comes back at about its level
  // (8000 peak: rms 5657).
  const std::span<const int16_t> tail(decoded.data() + decoded.size() / 2, decoded.size() / 2);
  EXPECT_NEAR(rms(tail), 5657, 1200);
}

INSTANTIATE_TEST_SUITE_P(All, OpusFormats,
                         testing::Values(FormatCase{1, 10}, FormatCase{1, 20}, FormatCase{1, 40},
                                         FormatCase{1, 60}, FormatCase{2, 20}, FormatCase{2, 60}),
                         [](const auto& info) {
                           return std::to_string(info.param.channels) + "ch_" +
                                  std::to_string(info.param.frame_ms) + "ms";
                         });

struct BadConfig {
  const char* name;
  EncoderConfig config;
};

class OpusBadConfig : public testing::TestWithParam<BadConfig> {};

TEST_P(OpusBadConfig, IsRefusedWithAnError) {
  int error = 0;
  EXPECT_FALSE(Encoder::create(GetParam().config, &error));
  EXPECT_LT(error, 0);
  EXPECT_STRNE(error_text(error), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, OpusBadConfig,
                         testing::Values(BadConfig{"zero_channels", {.channels = 0}},
                                         BadConfig{"three_channels", {.channels = 3}},
                                         BadConfig{"frame_15ms", {.frame_ms = 15}},
                                         BadConfig{"frame_120ms", {.frame_ms = 120}},
                                         BadConfig{"bitrate_too_low", {.bitrate = 100}},
                                         BadConfig{"bitrate_too_high", {.bitrate = 600000}},
                                         BadConfig{"loss_over_100",
                                                   {.expected_loss_percent = 101}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Opus, WrongInputSizesAreErrorsNotCrashes) {
  auto encoder = Encoder::create({});
  ASSERT_TRUE(encoder);
  std::vector<int16_t> short_frame(959);
  std::vector<uint8_t> packet(kMaxPacketBytes);
  EXPECT_LT(encoder->encode(short_frame, packet), 0);
  std::vector<int16_t> frame(960);
  EXPECT_LT(encoder->encode(frame, {}), 0);
  int error = 0;
  EXPECT_FALSE(Decoder::create(3, &error));
  EXPECT_LT(error, 0);
  auto decoder = Decoder::create(1);
  ASSERT_TRUE(decoder);
  std::vector<int16_t> out(kMaxFrameSamples);
  EXPECT_LT(decoder->decode({}, out), 0);
  const std::vector<uint8_t> garbage = {0xFF, 0xFF, 0xFF};  // code 3, no frame count
  EXPECT_LT(decoder->decode(garbage, out), 0);
  std::vector<int16_t> tiny(100);
  const int bytes = encoder->encode(frame, packet);
  ASSERT_GT(bytes, 0);
  EXPECT_LT(decoder->decode({packet.data(), static_cast<size_t>(bytes)}, tiny), 0);
  EXPECT_LT(decoder->conceal(tiny, 960), 0);
  EXPECT_EQ(encoder->set_bitrate(16000), 0);
  EXPECT_EQ(encoder->config().bitrate, 16000);
}

TEST(Opus, LostFrameIsRebuiltFromFecOrConcealed) {
  // 20 ms frames with FEC on; each frame k in turn is lost, and frame k+1,
  // which carries a low-rate copy of it, is the next to arrive.
  auto encoder =
      Encoder::create({.frame_ms = 20, .bitrate = 32000, .fec = true, .expected_loss_percent = 20});
  ASSERT_TRUE(encoder);
  const auto input = voice(960 * 40);
  std::vector<std::vector<uint8_t>> packets;
  for (int f = 0; f < 40; ++f) {
    std::vector<uint8_t> packet(kMaxPacketBytes);
    const int bytes = encoder->encode({input.data() + f * 960, 960}, packet);
    ASSERT_GT(bytes, 0);
    packet.resize(static_cast<size_t>(bytes));
    packets.push_back(std::move(packet));
  }
  double fec_distance = 0, plc_distance = 0;
  int rebuilt_frames = 0;
  std::vector<int16_t> out(kMaxFrameSamples), lost(kMaxFrameSamples);
  std::vector<int16_t> rebuilt(kMaxFrameSamples), concealed(kMaxFrameSamples);
  for (int k = 10; k < 39; ++k) {
    auto with_fec = Decoder::create(1), with_plc = Decoder::create(1),
         reference = Decoder::create(1);
    ASSERT_TRUE(with_fec && with_plc && reference);
    for (int f = 0; f < k; ++f) {
      ASSERT_EQ(with_fec->decode(packets[f], out), 960);
      ASSERT_EQ(with_plc->decode(packets[f], out), 960);
      ASSERT_EQ(reference->decode(packets[f], out), 960);
    }
    ASSERT_EQ(reference->decode(packets[k], lost), 960);  // what frame k decodes to
    ASSERT_EQ(with_fec->decode_fec(packets[k + 1], rebuilt, 960), 960);
    ASSERT_EQ(with_plc->conceal(concealed, 960), 960);
    // Both carry on with the next frame.
    ASSERT_EQ(with_fec->decode(packets[k + 1], out), 960);
    ASSERT_EQ(with_plc->decode(packets[k + 1], out), 960);
    bool differs = false;
    for (int i = 0; i < 960; ++i) {
      fec_distance += std::pow(rebuilt[i] - lost[i], 2);
      plc_distance += std::pow(concealed[i] - lost[i], 2);
      differs |= rebuilt[i] != concealed[i];
    }
    rebuilt_frames += differs;
    EXPECT_GT(rms({concealed.data(), 960}), 300);
  }
  // Most lost frames had a FEC copy, and the copies are closer to the lost
  // audio than guesses.
  EXPECT_GT(rebuilt_frames, 29 / 2);
  EXPECT_LT(fec_distance, plc_distance);
  auto decoder = Decoder::create(1);
  EXPECT_LT(decoder->decode_fec({}, out, 960), 0);
}

}  // namespace
}  // namespace corvel::net::opus
