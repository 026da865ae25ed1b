// RAII wrappers of libopus for voice: an encoder (8, 12, 16, 24 or 48 kHz
// (48 unless asked), 1 or 2 channels, 10/20/40/60 ms frames, a bitrate,
// optional in-band FEC) and a decoder (at one of those rates)
// (normal decode, recovery of a lost frame from the next packet's FEC, and
// concealment of a lost frame). Errors are returned, never thrown: a
// negative libopus code (opus::error_text names it).
//
// An encoder or decoder keeps state between frames and is not thread safe:
// one per stream, used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

struct OpusEncoder;
struct OpusDecoder;

namespace corvel::net::opus {

constexpr int kSampleRate = 48000;
constexpr int kMaxFrameSamples = kSampleRate * 120 / 1000;  // per channel, longest Opus frame
constexpr int kMaxPacketBytes = 1275 * 3 + 7;               // largest legal Opus packet

const char* error_text(int error);

// Samples per channel of `frame_ms` at `rate` (48 kHz unless given).
constexpr int frame_samples(int frame_ms, int rate = kSampleRate) { return rate / 1000 * frame_ms; }

// The rates libopus encodes from and decodes to.
constexpr bool is_opus_rate(int rate) {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

struct EncoderConfig {
  int sample_rate = kSampleRate;  // of the PCM encoded (is_opus_rate)
  int channels = 1;               // 1 or 2
  int frame_ms = 20;              // 10, 20, 40 or 60
  int bitrate = 32000;            // bits per second (500..512000)
  bool fec = false;               // in-band forward error correction
  int expected_loss_percent = 0;  // tunes FEC strength (0..100)
  bool voip = true;               // OPUS_APPLICATION_VOIP, else AUDIO
};

class Encoder {
 public:
  // Empty on a bad config or a libopus failure; `*error` then says why
  // (OPUS_BAD_ARG for configs libopus would accept but we do not support).
  static std::optional<Encoder> create(const EncoderConfig& config, int* error = nullptr);

  // Encodes exactly one frame: frame_samples()*channels() interleaved
  // samples. Returns the packet size in bytes, or a negative error.
  int encode(std::span<const int16_t> pcm, std::span<uint8_t> packet);
  int set_bitrate(int bitrate);

  int frame_samples() const { return opus::frame_samples(config_.frame_ms, config_.sample_rate); }
  int channels() const { return config_.channels; }
  const EncoderConfig& config() const { return config_; }

 private:
  struct Deleter {
    void operator()(::OpusEncoder* e) const;
  };
  Encoder(std::unique_ptr<::OpusEncoder, Deleter> state, const EncoderConfig& config)
      : state_(std::move(state)), config_(config) {}
  std::unique_ptr<::OpusEncoder, Deleter> state_;
  EncoderConfig config_;
};

class Decoder {
 public:
  // Decodes to `rate` (is_opus_rate), whatever rate the sender encoded.
  static std::optional<Decoder> create(int channels, int* error = nullptr, int rate = kSampleRate);

  // Decodes one packet into `pcm` (interleaved, room for kMaxFrameSamples *
  // channels is always enough). Returns samples per channel or a negative
  // error.
  int decode(std::span<const uint8_t> packet, std::span<int16_t> pcm);
  // The frame *before* `next_packet`, rebuilt from the FEC data carried in
  // it (falls back to concealment inside libopus when it has none).
  // `frame_samples` is the lost frame's length per channel.
  int decode_fec(std::span<const uint8_t> next_packet, std::span<int16_t> pcm, int frame_samples);
  // Packet loss concealment: a plausible continuation for a lost frame.
  int conceal(std::span<int16_t> pcm, int frame_samples);

  int channels() const { return channels_; }
  int rate() const { return rate_; }

  // Samples per channel in a packet at `rate`, or a negative error.
  static int packet_samples(std::span<const uint8_t> packet, int rate = kSampleRate);

 private:
  struct Deleter {
    void operator()(::OpusDecoder* d) const;
  };
  Decoder(std::unique_ptr<::OpusDecoder, Deleter> state, int channels, int rate)
      : state_(std::move(state)), channels_(channels), rate_(rate) {}
  int run(const uint8_t* data, size_t size, std::span<int16_t> pcm, int frame_samples, bool fec);
  std::unique_ptr<::OpusDecoder, Deleter> state_;
  int channels_;
  int rate_;
};

}  // namespace corvel::net::opus
