// Cloud operations on local media: the audio and video channels, audio,
// video, SEI and custom messages sent to the room. Checks and state run
// under mu_; what is sent is handed to the room session after mu_ is let go.
#include "cloud.h"

#include <chrono>
#include <type_traits>

#include "cloud_checks.h"
#include "hook.h"
#include "log.h"
#include "status.h"

namespace corvel::engine {

using namespace corvel::vora;
using namespace cloud_checks;

int Cloud::CreateLocalAudioChannel(const AudioEncodeParams& params) {
  OpScope scope(*this);
  if (Inert("CreateLocalAudioChannel")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (!ValidAudioEncodeParams(params)) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_,
           "CreateLocalAudioChannel refused: %d ch, %d Hz, %d ms, %d bps is not valid (1..2 "
           "channels, rates 8000..48000 listed, 10/20/40/60 ms, 6000..510000 bps)",
           params.channels, params.sample_rate, params.frame_length_ms, params.bitrate_bps);
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room || room_.role == VORA_ROLE_AUDIENCE || room_.audio_channel) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "CreateLocalAudioChannel refused: %s",
             !room_.in_room                     ? "not in a room"
             : room_.role == VORA_ROLE_AUDIENCE ? "an audience member does not send"
                                                : "the audio channel is already open");
    } else {
      room_.audio_channel = true;
      room_.audio_params = params;
      PostLocked("OnLocalAudioChannelCreated",
                 [](VORACloudDelegate& d) { d.OnLocalAudioChannelCreated(); });
      pacer_ = session_->OpenAudio(params);
      opus_in_ = std::make_shared<OpusSendDecoder>(params.sample_rate, params.channels);
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_CREATE_LOCAL_AUDIO_CHANNEL, CORVEL_RESULT_INT, result, &params);
  LOG_INFO("instance %llu: CreateLocalAudioChannel %d ch %d Hz %d ms %d bps -> %d", U(id_),
           params.channels, params.sample_rate, params.frame_length_ms, params.bitrate_bps, result);
  return result;
}

// A frame in the channel's format (rate and channel count; any whole number
// of samples) goes to the room; nothing is sent otherwise.
int Cloud::CheckSendLocked(const char* op, const AudioFrame& frame) {
  SyncEvictionLocked();
  if (!room_.audio_channel) {
    Refuse(id_, "%s refused: no local audio channel (CreateLocalAudioChannel first)", op);
    return ERR_INVALID_OPERATION;
  }
  if (frame.sample_rate != room_.audio_params.sample_rate ||
      frame.channels != room_.audio_params.channels) {
    Refuse(id_, "%s refused: frame is %d Hz %d ch, the channel %d Hz %d ch", op, frame.sample_rate,
           frame.channels, room_.audio_params.sample_rate, room_.audio_params.channels);
    return ERR_INVALID_PARAMETER;
  }
  return ERR_OK;
}

// An Opus frame as the PCM the rooms carry (nullopt for a PCM frame, which
// goes as it is); a packet libopus cannot decode is refused.
std::optional<AudioFrame> Cloud::DecodeIfOpus(const char* op, const AudioFrame& frame,
                                              OpusSendDecoder* opus, int* result) {
  if (frame.codec != AUDIO_CODEC_TYPE_OPUS) return std::nullopt;
  std::optional<AudioFrame> pcm = opus ? opus->Decode(frame) : std::nullopt;
  if (!pcm) {
    Refuse(id_, "%s refused: %zu bytes of Opus that libopus cannot decode", op, frame.size());
    *result = ERR_INVALID_PARAMETER;
  }
  return pcm;
}

int Cloud::SendAudioFrame(const AudioFrame& frame) {
  OpScope scope(*this);
  if (Inert("SendAudioFrame")) return ERR_INVALID_OPERATION;
  int result = CheckAudioFrame(id_, "SendAudioFrame", frame, kMaxAudioFrameMs);
  std::shared_ptr<RoomSession> session;
  std::shared_ptr<OpusSendDecoder> opus;
  if (result == ERR_OK) {
    std::lock_guard<std::mutex> lock(mu_);
    result = CheckSendLocked("SendAudioFrame", frame);
    if (result == ERR_OK) {
      session = session_;
      opus = opus_in_;
    }
  }
  const std::optional<AudioFrame> pcm =
      session ? DecodeIfOpus("SendAudioFrame", frame, opus.get(), &result) : std::nullopt;
  if (session && result == ERR_OK && session->SendAudio(pcm ? *pcm : frame))
    counters_->media().audio_sent.fetch_add(1, std::memory_order_relaxed);
  if (const corvel_observer* o = Observer())
    ReportAudio(o, id_, CORVEL_OP_SEND_AUDIO_FRAME, result, frame);
  LOG_VERBOSE("instance %llu: SendAudioFrame %zu bytes -> %d", U(id_), frame.size(), result);
  return result;
}

int Cloud::SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
  OpScope scope(*this);
  if (Inert("SendContinuousAudioFrame")) return ERR_INVALID_OPERATION;
  int result = CheckAudioFrame(id_, "SendContinuousAudioFrame", frame, 0);
  std::shared_ptr<RoomSession> session;
  std::shared_ptr<Pacer> pacer;
  std::shared_ptr<OpusSendDecoder> opus;
  if (result == ERR_OK) {
    std::lock_guard<std::mutex> lock(mu_);
    result = CheckSendLocked("SendContinuousAudioFrame", frame);
    if (result == ERR_OK) {
      session = session_;
      pacer = pacer_;
      opus = opus_in_;
    }
  }
  const std::optional<AudioFrame> decoded =
      session && pacer ? DecodeIfOpus("SendContinuousAudioFrame", frame, opus.get(), &result)
                       : std::nullopt;
  if (session && pacer && result == ERR_OK) {
    const AudioFrame& pcm = decoded ? *decoded : frame;
    const size_t frames = pcm.size() / (2 * static_cast<size_t>(pcm.channels));
    if (pacer->Push(reinterpret_cast<const int16_t*>(pcm.data()), frames, pcm.pts, clear_send_queue,
                    counters_->media()))
      session->PacerStarted();
  }
  if (const corvel_observer* o = Observer())
    ReportAudio(o, id_, CORVEL_OP_SEND_CONTINUOUS_AUDIO_FRAME, result, frame, clear_send_queue);
  LOG_VERBOSE("instance %llu: SendContinuousAudioFrame %zu bytes clear %d -> %d", U(id_),
              frame.size(), clear_send_queue, result);
  return result;
}

int Cloud::DestroyLocalAudioChannel() {
  OpScope scope(*this);
  if (Inert("DestroyLocalAudioChannel")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.audio_channel) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "DestroyLocalAudioChannel refused: no local audio channel");
    } else {
      room_.audio_channel = false;
      session_->CloseAudio();
      pacer_.reset();
      opus_in_.reset();
      PostLocked("OnLocalAudioChannelDestroyed",
                 [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_DESTROY_LOCAL_AUDIO_CHANNEL, CORVEL_RESULT_INT, result);
  LOG_INFO("instance %llu: DestroyLocalAudioChannel -> %d", U(id_), result);
  return result;
}

// ---- local video ----

int Cloud::CreateLocalVideoChannel(StreamType type) {
  OpScope scope(*this);
  if (Inert("CreateLocalVideoChannel")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (!IsLocalVideoType(type)) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_, "CreateLocalVideoChannel refused: stream type %d is not VIDEO_HIGH/LOW/AUX", type);
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room || room_.role == VORA_ROLE_AUDIENCE || room_.video_channels.count(type)) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "CreateLocalVideoChannel refused: %s",
             !room_.in_room                     ? "not in a room"
             : room_.role == VORA_ROLE_AUDIENCE ? "an audience member does not send"
                                                : "this video channel is already open");
    } else {
      room_.video_channels.insert(type);
      PostLocked("OnLocalVideoChannelCreated",
                 [type](VORACloudDelegate& d) { d.OnLocalVideoChannelCreated(type); });
      session_->OpenVideo(type);
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_CREATE_LOCAL_VIDEO_CHANNEL, CORVEL_RESULT_INT, result, nullptr,
           nullptr, 0, type);
  LOG_INFO("instance %llu: CreateLocalVideoChannel %d -> %d", U(id_), type, result);
  return result;
}

// The two forms of SendVideoFrame differ only in the frame they carry.
template <typename Frame>
int Cloud::SendVideoFrameOf(StreamType type, const Frame& frame) {
  constexpr bool kEncoded = std::is_same_v<Frame, VideoFrame>;
  OpScope scope(*this);
  if (Inert("SendVideoFrame")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  bool valid = IsLocalVideoType(type);
  if (!valid) {
    Refuse(id_, "SendVideoFrame refused: stream type %d is not VIDEO_HIGH/LOW/AUX", type);
  } else if constexpr (kEncoded) {
    valid = ValidVideoFrame(id_, frame);
  } else {
    valid = ValidPixelFrame(id_, frame);
  }
  if (!valid) {
    result = ERR_INVALID_PARAMETER;
  } else {
    std::shared_ptr<RoomSession> session;
    std::vector<SeiMessage> sei;
    {
      std::lock_guard<std::mutex> lock(mu_);
      SyncEvictionLocked();
      if (!room_.video_channels.count(type)) {
        result = ERR_INVALID_OPERATION;
        Refuse(id_, "SendVideoFrame refused: video channel %d is not open", type);
      } else {
        session = session_;
        sei.swap(pending_sei_);
      }
    }
    if (session) {
      if constexpr (kEncoded) {
        SendVideoToRoom(*session, type, &frame, nullptr, std::move(sei));
      } else {
        SendVideoToRoom(*session, type, nullptr, &frame, std::move(sei));
      }
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, kEncoded ? CORVEL_OP_SEND_VIDEO_FRAME : CORVEL_OP_SEND_PIXEL_FRAME,
           CORVEL_RESULT_INT, result, &frame, nullptr, 0, type);
  if constexpr (kEncoded) {
    LOG_VERBOSE("instance %llu: SendVideoFrame(VideoFrame) stream %d %zu bytes -> %d", U(id_), type,
                frame.size(), result);
  } else {
    LOG_VERBOSE("instance %llu: SendVideoFrame(PixelFrame) stream %d %ux%u -> %d", U(id_), type,
                frame.width, frame.height, result);
  }
  return result;
}

int Cloud::SendVideoFrame(StreamType type, const VideoFrame& frame) {
  return SendVideoFrameOf(type, frame);
}

int Cloud::SendVideoFrame(StreamType type, const PixelFrame& frame) {
  return SendVideoFrameOf(type, frame);
}

void Cloud::SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
  OpScope scope(*this);
  if (Inert("SetVideoEncodeParam")) return;
  const bool valid = IsLocalVideoType(type) && param.frame_rate > 0 && param.bitrate_bps >= 0 &&
                     param.gop_in_seconds > 0;
  if (valid) {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    video_encode_[type] = param;
    if (session_) session_->SetEncodeParam(type, param);
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_SET_VIDEO_ENCODE_PARAM, CORVEL_RESULT_NONE, 0, &param, nullptr, 0,
           type);
  if (valid) {
    LOG_INFO("instance %llu: SetVideoEncodeParam stream %d %d fps %d bps gop %d s", U(id_), type,
             param.frame_rate, param.bitrate_bps, param.gop_in_seconds);
  } else {
    Refuse(id_,
           "SetVideoEncodeParam ignored: stream %d, %d fps, %d bps, gop %d s (needs a VIDEO_* "
           "stream, frame_rate > 0, bitrate_bps >= 0, gop_in_seconds > 0)",
           type, param.frame_rate, param.bitrate_bps, param.gop_in_seconds);
  }
}

int Cloud::SendSeiMessage(int message_type, const char* message, size_t length) {
  OpScope scope(*this);
  if (Inert("SendSeiMessage")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (!message || length == 0 || length > kMaxSeiBytes) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_, "SendSeiMessage refused: message of %zu bytes%s is not 1..%zu bytes", length,
           message ? "" : " (null)", kMaxSeiBytes);
  } else {
    // SEI rides on the next frame of the local video stream.
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (room_.video_channels.empty()) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "SendSeiMessage refused: no local video channel");
    } else if (pending_sei_.size() >= kMaxPendingSei) {
      result = ERR_FAILED;
      Refuse(id_, "SendSeiMessage refused: %zu messages already wait for the next video frame",
             kMaxPendingSei);
    } else {
      pending_sei_.push_back(SeiMessage{message_type, std::string(message, length)});
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_SEND_SEI_MESSAGE, CORVEL_RESULT_INT, result, nullptr, message, length,
           message_type);
  LOG_DEBUG("instance %llu: SendSeiMessage type %d %zu bytes -> %d", U(id_), message_type, length,
            result);
  return result;
}

bool Cloud::SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                             bool ordered) {
  OpScope scope(*this);
  if (Inert("SendCustomCmdMsg")) return false;
  bool result = false;
  if (cmd_id < 1 || cmd_id > kMaxCmdId) {
    Refuse(id_, "SendCustomCmdMsg refused: cmd_id %u outside 1..%u", cmd_id, kMaxCmdId);
  } else if (!message || length == 0 || length > kMaxCmdBytes) {
    Refuse(id_, "SendCustomCmdMsg refused: message of %zu bytes%s is not 1..%zu bytes", length,
           message ? "" : " (null)", kMaxCmdBytes);
  } else {
    result = true;
  }
  std::shared_ptr<RoomSession> session;
  uint32_t seq = 0;
  if (result) {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    result = room_.in_room && room_.role == VORA_ROLE_ANCHOR;
    if (!result) {
      Refuse(id_, "SendCustomCmdMsg refused: %s",
             room_.in_room ? "an audience member does not send" : "not in a room");
    } else {
      // At most kMaxCmdPerSecond messages and kMaxCmdBytesPerSecond bytes in
      // any one-second window.
      const auto now = std::chrono::steady_clock::now();
      while (!cmd_window_.empty() && now - cmd_window_.front().first >= std::chrono::seconds(1))
        cmd_window_.pop_front();
      size_t bytes = length;
      for (const auto& sent : cmd_window_) bytes += sent.second;
      result = cmd_window_.size() < kMaxCmdPerSecond && bytes <= kMaxCmdBytesPerSecond;
      if (!result) {
        Refuse(id_,
               "SendCustomCmdMsg refused: over the rate limit of %zu messages / %zu bytes per "
               "second",
               kMaxCmdPerSecond, kMaxCmdBytesPerSecond);
      } else {
        cmd_window_.emplace_back(now, length);
        seq = ++cmd_seq_[cmd_id];
        session = session_;
      }
    }
  }
  if (session && session->SendMessage(cmd_id, seq, std::string(message, length), reliable, ordered))
    counters_->media().messages_sent.fetch_add(1, std::memory_order_relaxed);
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_SEND_CUSTOM_CMD_MSG, CORVEL_RESULT_BOOL, result, nullptr, message,
           length, cmd_id, reliable, ordered);
  LOG_DEBUG("instance %llu: SendCustomCmdMsg cmd %u %zu bytes reliable %d ordered %d -> %d", U(id_),
            cmd_id, length, reliable, ordered, result);
  return result;
}

int Cloud::DestroyLocalVideoChannel(StreamType type) {
  OpScope scope(*this);
  if (Inert("DestroyLocalVideoChannel")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (!IsLocalVideoType(type)) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_, "DestroyLocalVideoChannel refused: stream type %d is not VIDEO_HIGH/LOW/AUX", type);
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.video_channels.erase(type)) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "DestroyLocalVideoChannel refused: video channel %d is not open", type);
    } else {
      session_->CloseVideo(type);
      PostLocked("OnLocalVideoChannelDestroyed",
                 [type](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(type); });
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_DESTROY_LOCAL_VIDEO_CHANNEL, CORVEL_RESULT_INT, result, nullptr,
           nullptr, 0, type);
  LOG_INFO("instance %llu: DestroyLocalVideoChannel %d -> %d", U(id_), type, result);
  return result;
}

void Cloud::SendVideoToRoom(RoomSession& session, int type, const VideoFrame* encoded,
                            const PixelFrame* pixel, std::vector<SeiMessage> sei) {
  const size_t sei_count = sei.size();
  if (session.SendVideo(type, encoded, pixel, std::move(sei))) {
    counters_->media().video_sent.fetch_add(1, std::memory_order_relaxed);
    counters_->media().sei_sent.fetch_add(sei_count, std::memory_order_relaxed);
  }
}

}  // namespace corvel::engine
