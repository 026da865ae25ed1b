#include "cloud_checks.h"

#include "audio_opus.h"
#include "frames.h"
#include "status.h"

namespace corvel::engine::cloud_checks {

using namespace corvel::vora;

namespace {

corvel_operation Operation(uint64_t id, corvel_op_kind kind, corvel_result_type type, int result,
                           const void* object) {
  corvel_operation op{};
  op.instance = id;
  op.kind = kind;
  op.result_type = type;
  op.result = result;
  op.object = object;
  return op;
}

}  // namespace

void Report(const corvel_observer* o, uint64_t id, corvel_op_kind kind, corvel_result_type type,
            int result, const void* object, const char* text, size_t length, int64_t a0, int64_t a1,
            int64_t a2) {
  if (!o->operation) return;
  corvel_operation op = Operation(id, kind, type, result, object);
  op.text = text;
  op.length = length;
  op.arg[0] = a0;
  op.arg[1] = a1;
  op.arg[2] = a2;
  o->operation(o->context, &op);
}

void ReportAudio(const corvel_observer* o, uint64_t id, corvel_op_kind kind, int result,
                 const AudioFrame& frame, int64_t a0) {
  if (!o->operation) return;
  corvel_operation op = Operation(id, kind, CORVEL_RESULT_INT, result, &frame);
  op.arg[0] = a0;
  op.extra = AudioExtraData(frame);
  op.extra_size = AudioExtraSize(frame);
  o->operation(o->context, &op);
}

bool IsSampleRate(int rate) {
  switch (rate) {
    case 8000:
    case 16000:
    case 24000:
    case 32000:
    case 44100:
    case 48000:
      return true;
    default:
      return false;
  }
}

bool IsLocalVideoType(StreamType type) {
  return type == STREAM_TYPE_VIDEO_HIGH || type == STREAM_TYPE_VIDEO_LOW ||
         type == STREAM_TYPE_VIDEO_AUX;
}

bool IsSubscribableType(StreamType type) {
  return type == STREAM_TYPE_AUDIO || IsLocalVideoType(type);
}

bool ValidAudioEncodeParams(const AudioEncodeParams& p) {
  const bool frame_ok = p.frame_length_ms == 10 || p.frame_length_ms == 20 ||
                        p.frame_length_ms == 40 || p.frame_length_ms == 60;
  return p.channels >= 1 && p.channels <= 2 && IsSampleRate(p.sample_rate) && frame_ok &&
         p.bitrate_bps >= 6000 && p.bitrate_bps <= 510000;
}

namespace {

// One Opus packet, decoded in the frame's rate and channel count.
int CheckOpusFrame(uint64_t id, const char* op, const AudioFrame& f, int max_ms) {
  if (!IsOpusRate(f.sample_rate)) {
    Refuse(id, "%s refused: Opus at %d Hz is not supported (8000, 16000, 24000 or 48000)", op,
           f.sample_rate);
    return ERR_NOT_SUPPORTED;
  }
  const int frames = OpusPacketFrames(f.data(), f.size(), f.sample_rate);
  if (frames <= 0) {
    Refuse(id, "%s refused: %zu bytes is not one Opus packet", op, f.size());
    return ERR_INVALID_PARAMETER;
  }
  if (max_ms > 0 &&
      static_cast<int64_t>(frames) * 1000 > static_cast<int64_t>(max_ms) * f.sample_rate) {
    Refuse(id, "%s refused: an Opus packet of %d samples is more than %d ms", op, frames, max_ms);
    return ERR_INVALID_PARAMETER;
  }
  return ERR_OK;
}

}  // namespace

int CheckAudioFrame(uint64_t id, const char* op, const AudioFrame& f, int max_ms) {
  if (f.size() == 0) {
    Refuse(id, "%s refused: empty payload", op);
    return ERR_INVALID_PARAMETER;
  }
  if (f.channels < 1 || f.channels > 2) {
    Refuse(id, "%s refused: channels %d outside 1..2", op, f.channels);
    return ERR_INVALID_PARAMETER;
  }
  if (!IsSampleRate(f.sample_rate)) {
    Refuse(id, "%s refused: sample_rate %d not one of 8000, 16000, 24000, 32000, 44100, 48000", op,
           f.sample_rate);
    return ERR_INVALID_PARAMETER;
  }
  switch (f.codec) {
    case AUDIO_CODEC_TYPE_PCM:
      break;
    case AUDIO_CODEC_TYPE_OPUS:
      return CheckOpusFrame(id, op, f, max_ms);
    case AUDIO_CODEC_TYPE_AAC:
      Refuse(id, "%s refused: AAC is not supported (PCM or Opus)", op);
      return ERR_NOT_SUPPORTED;
    default:
      Refuse(id, "%s refused: unknown codec %u", op, static_cast<unsigned>(f.codec));
      return ERR_INVALID_PARAMETER;
  }
  if (f.bits_per_sample != 16) {
    Refuse(id, "%s refused: PCM must be 16 bits per sample, not %d", op, f.bits_per_sample);
    return ERR_INVALID_PARAMETER;
  }
  const size_t frame_bytes = static_cast<size_t>(f.channels) * 2;
  if (f.size() % frame_bytes != 0) {
    Refuse(id, "%s refused: %zu bytes is not a whole number of %d-channel 16-bit samples", op,
           f.size(), f.channels);
    return ERR_INVALID_PARAMETER;
  }
  // Small factors (rate <= 48000, channels <= 2): no overflow.
  const uint64_t max_bytes =
      static_cast<uint64_t>(f.sample_rate) * frame_bytes * static_cast<uint64_t>(max_ms) / 1000;
  if (max_ms > 0 && f.size() > max_bytes) {
    Refuse(id, "%s refused: %zu bytes is more than %d ms of audio (%llu bytes at %d Hz, %d ch)", op,
           f.size(), max_ms, static_cast<unsigned long long>(max_bytes), f.sample_rate, f.channels);
    return ERR_INVALID_PARAMETER;
  }
  return ERR_OK;
}

int CheckObtainParams(uint64_t id, const AudioObtainParams& a) {
  const int ms = a.output_frame_length_ms;
  if (a.audio_obtain_method > AUDIO_OBTAIN_METHOD_CALLBACK) {
    Refuse(id, "EnterRoom refused: unknown audio_obtain_method %u",
           static_cast<unsigned>(a.audio_obtain_method));
    return ERR_INVALID_PARAMETER;
  }
  if (!IsSampleRate(a.output_sample_rate) || a.output_channels < 1 || a.output_channels > 2 ||
      (ms != 10 && ms != 20 && ms != 40 && ms != 60)) {
    Refuse(id,
           "EnterRoom refused: audio output %d Hz, %d ch, %d ms is not a valid format (rates "
           "8000..48000 listed, 1..2 channels, 10/20/40/60 ms)",
           a.output_sample_rate, a.output_channels, ms);
    return ERR_INVALID_PARAMETER;
  }
  if (a.output_audio_codec_type == AUDIO_CODEC_TYPE_PCM) return ERR_OK;
  if (a.output_audio_codec_type == AUDIO_CODEC_TYPE_OPUS) {
    if (IsOpusRate(a.output_sample_rate)) return ERR_OK;
    Refuse(id,
           "EnterRoom refused: Opus output at %d Hz is not supported (8000, 16000, 24000 or "
           "48000)",
           a.output_sample_rate);
    return ERR_NOT_SUPPORTED;
  }
  if (a.output_audio_codec_type == AUDIO_CODEC_TYPE_AAC) {
    Refuse(id, "EnterRoom refused: audio output codec AAC is not supported (PCM or Opus)");
    return ERR_NOT_SUPPORTED;
  }
  Refuse(id, "EnterRoom refused: unknown audio output codec %u",
         static_cast<unsigned>(a.output_audio_codec_type));
  return ERR_INVALID_PARAMETER;
}

bool ValidVideoFrame(uint64_t id, const VideoFrame& f) {
  if (f.size() == 0) {
    Refuse(id, "SendVideoFrame refused: empty payload");
  } else if (f.codec > VIDEO_CODEC_TYPE_H265) {
    Refuse(id, "SendVideoFrame refused: unknown codec %u", static_cast<unsigned>(f.codec));
  } else if (f.rotation > VIDEO_ROTATION_270) {
    Refuse(id, "SendVideoFrame refused: unknown rotation %u", static_cast<unsigned>(f.rotation));
  } else {
    return true;
  }
  return false;
}

bool ValidPixelFrame(uint64_t id, const PixelFrame& f) {
  if (f.width == 0 || f.height == 0) {
    Refuse(id, "SendVideoFrame refused: picture %ux%u is empty", f.width, f.height);
    return false;
  }
  if (f.rotation > VIDEO_ROTATION_270) {
    Refuse(id, "SendVideoFrame refused: unknown rotation %u", static_cast<unsigned>(f.rotation));
    return false;
  }
  const std::optional<uint64_t> expected = PixelFrameBytes(f.format, f.width, f.height);
  if (!expected) {
    Refuse(id, "SendVideoFrame refused: picture %ux%u of format %u has no representable size",
           f.width, f.height, static_cast<unsigned>(f.format));
    return false;
  }
  if (*expected == 0) {
    Refuse(id, "SendVideoFrame refused: unknown pixel format %u", static_cast<unsigned>(f.format));
    return false;
  }
  if (f.size() != *expected) {
    Refuse(id,
           "SendVideoFrame refused: payload of %zu bytes, a %ux%u picture of format %u takes %llu",
           f.size(), f.width, f.height, static_cast<unsigned>(f.format),
           static_cast<unsigned long long>(*expected));
    return false;
  }
  return true;
}

}  // namespace corvel::engine::cloud_checks
