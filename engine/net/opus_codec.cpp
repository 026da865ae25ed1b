#include "opus_codec.h"

#include <opus.h>

#include <algorithm>
#include <climits>

namespace corvel::net::opus {

const char* error_text(int error) { return opus_strerror(error); }

void Encoder::Deleter::operator()(::OpusEncoder* e) const { opus_encoder_destroy(e); }
void Decoder::Deleter::operator()(::OpusDecoder* d) const { opus_decoder_destroy(d); }

std::optional<Encoder> Encoder::create(const EncoderConfig& config, int* error) {
  int status = OPUS_OK;
  const bool frame_ok = config.frame_ms == 10 || config.frame_ms == 20 || config.frame_ms == 40 ||
                        config.frame_ms == 60;
  if (!is_opus_rate(config.sample_rate) || (config.channels != 1 && config.channels != 2) ||
      !frame_ok || config.bitrate < 500 || config.bitrate > 512000 ||
      config.expected_loss_percent < 0 || config.expected_loss_percent > 100) {
    status = OPUS_BAD_ARG;
  }
  std::unique_ptr<::OpusEncoder, Deleter> state;
  if (status == OPUS_OK) {
    state.reset(opus_encoder_create(config.sample_rate, config.channels,
                                    config.voip ? OPUS_APPLICATION_VOIP : OPUS_APPLICATION_AUDIO,
                                    &status));
  }
  if (status == OPUS_OK) status = opus_encoder_ctl(state.get(), OPUS_SET_BITRATE(config.bitrate));
  if (status == OPUS_OK)
    status = opus_encoder_ctl(state.get(), OPUS_SET_INBAND_FEC(config.fec ? 1 : 0));
  if (status == OPUS_OK)
    status = opus_encoder_ctl(state.get(), OPUS_SET_PACKET_LOSS_PERC(config.expected_loss_percent));
  if (error) *error = status;
  if (status != OPUS_OK) return std::nullopt;
  return Encoder(std::move(state), config);
}

int Encoder::encode(std::span<const int16_t> pcm, std::span<uint8_t> packet) {
  const int samples = frame_samples();
  if (pcm.size() != static_cast<size_t>(samples * config_.channels) || packet.empty())
    return OPUS_BAD_ARG;
  const auto room = static_cast<opus_int32>(std::min<size_t>(packet.size(), INT_MAX));
  return opus_encode(state_.get(), pcm.data(), samples, packet.data(), room);
}

int Encoder::set_bitrate(int bitrate) {
  const int status = opus_encoder_ctl(state_.get(), OPUS_SET_BITRATE(bitrate));
  if (status == OPUS_OK) config_.bitrate = bitrate;
  return status;
}

std::optional<Decoder> Decoder::create(int channels, int* error, int rate) {
  int status = OPUS_BAD_ARG;
  std::unique_ptr<::OpusDecoder, Deleter> state;
  if ((channels == 1 || channels == 2) && is_opus_rate(rate))
    state.reset(opus_decoder_create(rate, channels, &status));
  if (error) *error = status;
  if (status != OPUS_OK) return std::nullopt;
  return Decoder(std::move(state), channels, rate);
}

int Decoder::run(const uint8_t* data, size_t size, std::span<int16_t> pcm, int frame_samples,
                 bool fec) {
  if (frame_samples <= 0 || pcm.size() < static_cast<size_t>(frame_samples * channels_))
    return OPUS_BUFFER_TOO_SMALL;
  if (size > INT_MAX) return OPUS_BAD_ARG;
  return opus_decode(state_.get(), data, static_cast<opus_int32>(size), pcm.data(), frame_samples,
                     fec ? 1 : 0);
}

int Decoder::decode(std::span<const uint8_t> packet, std::span<int16_t> pcm) {
  if (packet.empty()) return OPUS_INVALID_PACKET;
  const int samples = packet_samples(packet, rate_);
  if (samples < 0) return samples;
  return run(packet.data(), packet.size(), pcm, samples, false);
}

int Decoder::decode_fec(std::span<const uint8_t> next_packet, std::span<int16_t> pcm,
                        int frame_samples) {
  if (next_packet.empty()) return OPUS_INVALID_PACKET;
  return run(next_packet.data(), next_packet.size(), pcm, frame_samples, true);
}

int Decoder::conceal(std::span<int16_t> pcm, int frame_samples) {
  return run(nullptr, 0, pcm, frame_samples, false);
}

int Decoder::packet_samples(std::span<const uint8_t> packet, int rate) {
  if (packet.empty() || packet.size() > INT_MAX) return OPUS_INVALID_PACKET;
  return opus_packet_get_nb_samples(packet.data(), static_cast<opus_int32>(packet.size()), rate);
}

}  // namespace corvel::net::opus
