#include "cloud.h"

#include <cstring>
#include <type_traits>

#include "fork.h"
#include "frames.h"
#include "hook.h"
#include "log.h"
#include "room_events.h"
#include "status.h"

namespace corvel::engine {
namespace {

using namespace corvel::vora;

constexpr size_t kMaxSeiBytes = 4096;

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// Hands an operation to the hook's observer (`o` not null).
void Report(const corvel_observer* o, uint64_t id, corvel_op_kind kind, corvel_result_type type,
            int result, const void* object = nullptr, const char* text = nullptr, size_t length = 0,
            int64_t a0 = 0, int64_t a1 = 0, int64_t a2 = 0) {
  if (!o->operation) return;
  corvel_operation op{};
  op.instance = id;
  op.kind = kind;
  op.result_type = type;
  op.result = result;
  op.object = object;
  op.text = text;
  op.length = length;
  op.arg[0] = a0;
  op.arg[1] = a1;
  op.arg[2] = a2;
  o->operation(o->context, &op);
}

void ReportAudio(const corvel_observer* o, uint64_t id, corvel_op_kind kind, int result,
                 const AudioFrame& frame, int64_t a0 = 0) {
  if (!o->operation) return;
  corvel_operation op{};
  op.instance = id;
  op.kind = kind;
  op.result_type = CORVEL_RESULT_INT;
  op.result = result;
  op.object = &frame;
  op.arg[0] = a0;
  op.extra = AudioExtraData(frame);
  op.extra_size = AudioExtraSize(frame);
  o->operation(o->context, &op);
}

bool Empty(const char* text) { return !text || !*text; }

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

// PCM must be whole 16-bit samples for every channel. Encoded audio has a
// plausible format but this engine carries no codec. `max_ms` bounds how much
// audio one frame may carry (0: no bound).
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
    case AUDIO_CODEC_TYPE_AAC:
      Refuse(id, "%s refused: codec %u is encoded audio; this engine takes PCM only", op,
             static_cast<unsigned>(f.codec));
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

// How remote audio is handed over: ERR_OK, ERR_INVALID_PARAMETER for an
// unknown method or format, ERR_NOT_SUPPORTED for an encoded output.
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
  if (a.output_audio_codec_type <= AUDIO_CODEC_TYPE_AAC) {
    Refuse(id, "EnterRoom refused: audio output codec %u not supported (PCM only)",
           static_cast<unsigned>(a.output_audio_codec_type));
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

}  // namespace

Cloud::Cloud(uint64_t id, VORACloudDelegate* delegate, size_t queue_capacity,
             std::shared_ptr<InstanceCounters> counters)
    : id_(id),
      generation_(ForkGeneration()),
      counters_(counters),
      dispatcher_(delegate, queue_capacity, std::move(counters)) {}

bool Cloud::Inert(const char* op) const {
  if (generation_ == ForkGeneration()) return false;
  Refuse(id_, "%s refused: the instance belongs to the parent process (made before fork())", op);
  return true;
}

Cloud::~Cloud() {
  // Shutdown has run; stopping twice is harmless.
  StopFirehose();
  while (active_ops_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

void Cloud::Start() { dispatcher_.Start(); }

void Cloud::Shutdown() {
  {
    std::shared_ptr<RoomSession> session;
    {
      std::lock_guard<std::mutex> lock(mu_);
      shutting_down_ = true;
      session = LeaveLocked(kExitReasonLeft, nullptr);
    }
  }
  StopFirehose();
  dispatcher_.Stop();
}

bool Cloud::ShutdownOnEngineThread(std::shared_ptr<Cloud>& self) {
  {
    std::shared_ptr<RoomSession> session;
    {
      std::lock_guard<std::mutex> lock(mu_);
      shutting_down_ = true;
      session = LeaveLocked(kExitReasonLeft, nullptr);
    }
  }
  StopFirehose();
  std::shared_ptr<void> owner = self;
  self.reset();
  const bool detached = dispatcher_.StopOnEngineThread(owner);
  if (!detached) self = std::static_pointer_cast<Cloud>(owner);
  return detached;
}

Dispatcher::PostResult Cloud::PostCallback(Task task) { return dispatcher_.Post(std::move(task)); }

Dispatcher::PostResult Cloud::PostCallbacks(std::vector<Task>& tasks) {
  return dispatcher_.PostAll(tasks);
}

void Cloud::PostLocked(const char* name, DelegateCall call) {
  Task task;
  task.name = name;
  task.call = std::move(call);
  dispatcher_.Post(std::move(task));
}

std::shared_ptr<RoomSession> Cloud::LeaveLocked(int reason, ConnectionState* state) {
  if (!session_) return nullptr;
  std::shared_ptr<RoomSession> session = std::move(session_);
  pacer_.reset();
  pending_sei_.clear();
  pull_->Clear();
  session->Leave(reason, state);
  return session;
}

void Cloud::SyncEvictionLocked() {
  if (!session_ || !session_->Evicted()) return;
  // The room has already told the delegate (OnExitRoom and the rest).
  LOG_INFO("instance %llu: removed from its room", U(id_));
  room_ = RoomState{};
  room_.connection = CONNECTION_STATE_DISCONNECTED;
  session_.reset();
  pacer_.reset();
  pending_sei_.clear();
  pull_->Clear();
}

// ---- room ----

int Cloud::EnterRoom(const EnterRoomParams& params) {
  OpScope scope(*this);
  if (Inert("EnterRoom")) return ERR_INVALID_OPERATION;
  const RoomParams& room = params.room;
  const char* str_room = room.str_room_id.GetValue();
  int result = ERR_OK;
  if (room.sdk_app_id == 0) {
    result = ERR_INVALID_SDK_APP_ID;
    Refuse(id_, "EnterRoom refused: sdk_app_id is 0");
  } else if (Empty(room.user_id.GetValue())) {
    result = ERR_INVALID_USER_ID;
    Refuse(id_, "EnterRoom refused: user_id is empty");
  } else if (Empty(room.user_sig.GetValue())) {
    result = ERR_INVALID_USER_SIG;
    Refuse(id_, "EnterRoom refused: user_sig is empty");
  } else if (room.room_id == 0 && Empty(str_room)) {
    result = ERR_INVALID_ROOM_ID;
    Refuse(id_, "EnterRoom refused: room_id is 0 and str_room_id is empty");
  } else if (params.role > VORA_ROLE_AUDIENCE || params.scene > VORA_SCENE_RECORD) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_, "EnterRoom refused: unknown role %u or scene %u",
           static_cast<unsigned>(params.role), static_cast<unsigned>(params.scene));
  } else if (int obtain = CheckObtainParams(id_, params.audio_obtain_params); obtain != ERR_OK) {
    result = obtain;
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (room_.in_room || shutting_down_) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, room_.in_room ? "EnterRoom refused: already in a room (ExitRoom first)"
                                : "EnterRoom refused: the instance is being destroyed");
    } else {
      const ConnectionState before = room_.connection;
      room_.in_room = true;
      room_.connection = CONNECTION_STATE_CONNECTED;
      room_.user_id = room.user_id.GetValue();
      room_.room_id = room.room_id;
      room_.str_room_id = str_room ? str_room : "";
      room_.role = params.role;
      room_.scene = params.scene;
      room_.audio_obtain = params.audio_obtain_params;
      room_.pixel_input = params.use_pixel_frame_input;
      room_.pixel_output = params.use_pixel_frame_output;
      PostLocked("OnConnectionStateChanged", [before](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(before, CONNECTION_STATE_CONNECTING);
      });
      PostLocked("OnConnectionStateChanged", [](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED);
      });
      PostLocked("OnEnterRoom", [](VORACloudDelegate& d) { d.OnEnterRoom(); });
      cmd_seq_.clear();
      cmd_window_.clear();
      pending_sei_.clear();
      pull_->Clear();
      MemberSpec spec;
      spec.instance_id = id_;
      spec.counters = counters_;
      spec.conditions = conditions_;
      spec.pull = pull_;
      spec.user_id = room_.user_id;
      spec.role = params.role;
      spec.obtain = params.audio_obtain_params;
      spec.pixel_output = params.use_pixel_frame_output;
      spec.vad = vad_.enable;
      spec.encode = video_encode_;
      RoomKey key;
      key.app = room.sdk_app_id;
      key.text = !Empty(str_room);
      key.id = key.text ? std::string(str_room) : std::to_string(room.room_id);
      session_ = SelectedRoomBackend().Enter(key, std::move(spec), *this);
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_ENTER_ROOM, CORVEL_RESULT_INT, result, &params);
  if (result == ERR_OK) {
    LOG_INFO("instance %llu: EnterRoom app %u room %u/%s user %s role %u scene %u", U(id_),
             room.sdk_app_id, room.room_id, LogText(str_room).c_str(),
             LogText(room.user_id.GetValue()).c_str(), params.role, params.scene);
  }
  return result;
}

int Cloud::ExitRoom() {
  OpScope scope(*this);
  if (Inert("ExitRoom")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  std::shared_ptr<RoomSession> left;
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "ExitRoom refused: not in a room");
    } else {
      // Leaving tears down the local channels; the delegate hears about each.
      ConnectionState state = CONNECTION_STATE_CONNECTED;
      left = LeaveLocked(kExitReasonLeft, &state);
      std::vector<Task> end =
          room_events::SessionEnd(0, room_.audio_channel, room_.video_channels, state);
      dispatcher_.PostAll(end);
      room_ = RoomState{};
      room_.connection = CONNECTION_STATE_DISCONNECTED;
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_EXIT_ROOM, CORVEL_RESULT_INT, result);
  if (result == ERR_OK) LOG_INFO("instance %llu: ExitRoom", U(id_));
  return result;
}

int Cloud::Subscribe(const char* user_id, StreamType type) {
  OpScope scope(*this);
  if (Inert("Subscribe")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (Empty(user_id) || !IsSubscribableType(type)) {
    result = ERR_INVALID_PARAMETER;
    if (Empty(user_id)) {
      Refuse(id_, "Subscribe refused: user_id is empty");
    } else {
      Refuse(id_, "Subscribe refused: stream type %d is not AUDIO or VIDEO_*", type);
    }
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "Subscribe refused: not in a room");
    } else {
      room_.subscriptions.emplace(user_id, type);
      session_->SetSubscription(user_id, type, true);
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_SUBSCRIBE, CORVEL_RESULT_INT, result, nullptr, user_id, 0, type);
  LOG_INFO("instance %llu: Subscribe %s stream %d -> %d", U(id_), LogText(user_id).c_str(), type,
           result);
  return result;
}

int Cloud::Unsubscribe(const char* user_id, StreamType type) {
  OpScope scope(*this);
  if (Inert("Unsubscribe")) return ERR_INVALID_OPERATION;
  int result = ERR_OK;
  if (Empty(user_id) || !IsSubscribableType(type)) {
    result = ERR_INVALID_PARAMETER;
    if (Empty(user_id)) {
      Refuse(id_, "Unsubscribe refused: user_id is empty");
    } else {
      Refuse(id_, "Unsubscribe refused: stream type %d is not AUDIO or VIDEO_*", type);
    }
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "Unsubscribe refused: not in a room");
    } else {
      room_.subscriptions.erase({user_id, type});
      session_->SetSubscription(user_id, type, false);
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_UNSUBSCRIBE, CORVEL_RESULT_INT, result, nullptr, user_id, 0, type);
  LOG_INFO("instance %llu: Unsubscribe %s stream %d -> %d", U(id_), LogText(user_id).c_str(), type,
           result);
  return result;
}

int Cloud::GetAudioFrame(AudioFrame* frame) {
  OpScope scope(*this);
  if (Inert("GetAudioFrame")) return ERR_INVALID_OPERATION;
  int result = ERR_READ_TRY_AGAIN;
  if (!frame) {
    result = ERR_INVALID_PARAMETER;
    Refuse(id_, "GetAudioFrame refused: frame is null");
  } else if (pull_->Pop(frame)) {
    result = ERR_OK;
  } else {
    // Nothing buffered: worth polling again only while pulling in a room.
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    if (!room_.in_room) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_, "GetAudioFrame refused: not in a room");
    } else if (room_.audio_obtain.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET) {
      result = ERR_INVALID_OPERATION;
      Refuse(id_,
             "GetAudioFrame refused: remote audio comes through callbacks "
             "(audio_obtain_method is not AUDIO_OBTAIN_METHOD_GET)");
    } else {
      NoteRefusal("GetAudioFrame: no audio buffered yet, try again");
    }
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_GET_AUDIO_FRAME, CORVEL_RESULT_INT, result, frame);
  LOG_VERBOSE("instance %llu: GetAudioFrame -> %d", U(id_), result);
  return result;
}

// ---- local audio ----

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

int Cloud::SendAudioFrame(const AudioFrame& frame) {
  OpScope scope(*this);
  if (Inert("SendAudioFrame")) return ERR_INVALID_OPERATION;
  int result = CheckAudioFrame(id_, "SendAudioFrame", frame, kMaxAudioFrameMs);
  std::shared_ptr<RoomSession> session;
  if (result == ERR_OK) {
    std::lock_guard<std::mutex> lock(mu_);
    result = CheckSendLocked("SendAudioFrame", frame);
    if (result == ERR_OK) session = session_;
  }
  if (session && session->SendAudio(frame))
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
  if (result == ERR_OK) {
    std::lock_guard<std::mutex> lock(mu_);
    result = CheckSendLocked("SendContinuousAudioFrame", frame);
    if (result == ERR_OK) {
      session = session_;
      pacer = pacer_;
    }
  }
  if (session && pacer) {
    const size_t frames = frame.size() / (2 * static_cast<size_t>(frame.channels));
    if (pacer->Push(reinterpret_cast<const int16_t*>(frame.data()), frames, frame.pts,
                    clear_send_queue, counters_->media()))
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

// ---- analysis and extensions ----

void Cloud::EnableVoiceActivityDetection(const VADParams& params) {
  OpScope scope(*this);
  if (Inert("EnableVoiceActivityDetection")) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    vad_ = params;
    if (session_) session_->SetVad(params.enable);
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_ENABLE_VOICE_ACTIVITY_DETECTION, CORVEL_RESULT_NONE, 0, &params);
  LOG_INFO("instance %llu: voice activity detection %s", U(id_), params.enable ? "on" : "off");
}

int Cloud::EnableAudioVolumeEvaluation(const AudioVolumeEvaluateParams& params) {
  OpScope scope(*this);
  if (Inert("EnableAudioVolumeEvaluation")) return ERR_INVALID_OPERATION;
  {
    std::lock_guard<std::mutex> lock(mu_);
    volume_interval_ms_ = params.interval;
  }
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_ENABLE_AUDIO_VOLUME_EVALUATION, CORVEL_RESULT_INT, ERR_OK, &params);
  LOG_INFO("instance %llu: volume evaluation interval %u ms", U(id_), params.interval);
  return ERR_OK;
}

int Cloud::startAsrService(const AsrParams& params) {
  OpScope scope(*this);
  if (Inert("startAsrService")) return ERR_INVALID_OPERATION;
  // This engine has no speech recognizer.
  const int result = params.sourceLanguage ? ERR_NOT_SUPPORTED : ERR_INVALID_PARAMETER;
  Refuse(id_, params.sourceLanguage
                  ? "startAsrService refused: this engine has no speech recognizer"
                  : "startAsrService refused: sourceLanguage is null");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_START_ASR_SERVICE, CORVEL_RESULT_INT, result, &params);
  LOG_INFO("instance %llu: startAsrService %s -> %d", U(id_),
           LogText(params.sourceLanguage).c_str(), result);
  return result;
}

int Cloud::stopAsrService() {
  OpScope scope(*this);
  if (Inert("stopAsrService")) return ERR_INVALID_OPERATION;
  Refuse(id_, "stopAsrService refused: this engine has no speech recognizer");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_STOP_ASR_SERVICE, CORVEL_RESULT_INT, ERR_NOT_SUPPORTED);
  LOG_INFO("instance %llu: stopAsrService -> %d", U(id_), ERR_NOT_SUPPORTED);
  return ERR_NOT_SUPPORTED;
}

int Cloud::CallExperimentalAPI(const char* json) {
  OpScope scope(*this);
  if (Inert("CallExperimentalAPI")) return ERR_INVALID_OPERATION;
  const int result = json ? ERR_NOT_SUPPORTED : ERR_INVALID_PARAMETER;
  Refuse(id_, json ? "CallExperimentalAPI refused: no experimental API in this engine"
                   : "CallExperimentalAPI refused: json is null");
  if (const corvel_observer* o = Observer())
    Report(o, id_, CORVEL_OP_CALL_EXPERIMENTAL_API, CORVEL_RESULT_INT, result, nullptr, json);
  LOG_INFO("instance %llu: CallExperimentalAPI %s -> %d", U(id_), LogText(json).c_str(), result);
  return result;
}

// ---- simulated conditions ----

void Cloud::SendVideoToRoom(RoomSession& session, int type, const VideoFrame* encoded,
                            const PixelFrame* pixel, std::vector<SeiMessage> sei) {
  const size_t sei_count = sei.size();
  if (session.SendVideo(type, encoded, pixel, std::move(sei))) {
    counters_->media().video_sent.fetch_add(1, std::memory_order_relaxed);
    counters_->media().sei_sent.fetch_add(sei_count, std::memory_order_relaxed);
  }
}

void Cloud::ConditionsChanged() {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  if (session_) session_->ConditionsChanged();
}

bool Cloud::SimulateDisconnect(std::chrono::milliseconds duration) {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  if (!session_) return false;
  LOG_INFO("instance %llu: simulated disconnection for %lld ms", U(id_),
           static_cast<long long>(duration.count()));
  return session_->Disconnect(duration);
}

void Cloud::SimulateServerError(int code) {
  std::lock_guard<std::mutex> lock(mu_);
  SyncEvictionLocked();
  LOG_WARNING("instance %llu: simulated server error %d", U(id_), code);
  if (session_ && (code == ERR_BANNED_BY_SERVER || code == ERR_SERVICE_SUSPENDED)) {
    session_->Evict(kExitReasonRemoved, code);
    SyncEvictionLocked();
    return;
  }
  const auto error = static_cast<Error>(code);
  PostLocked("OnError", [error](VORACloudDelegate& d) { d.OnError(error); });
}

void Cloud::VisitMediaState(void (*visit)(void*, const corvel_media_state*), void* context) {
  std::shared_ptr<RoomSession> session;
  corvel_media_state state{};
  {
    std::lock_guard<std::mutex> lock(mu_);
    SyncEvictionLocked();
    state.in_room = room_.in_room;
    state.pacing_ms = pacer_ ? static_cast<int64_t>(pacer_->QueuedMs()) : 0;
    state.pending_sei = pending_sei_.size();
    session = session_;
  }
  if (!session) {
    visit(context, &state);
    return;
  }
  struct Both {
    corvel_media_state* state;
    void (*visit)(void*, const corvel_media_state*);
    void* context;
  } both{&state, visit, context};
  session->Describe(
      [](void* c, const corvel_room* described) {
        auto* b = static_cast<Both*>(c);
        b->state->room = described;
        b->visit(b->context, b->state);
      },
      &both);
}

// ---- firehose ----

bool Cloud::StartFirehose(Task prototype, std::chrono::microseconds interval) {
  std::lock_guard<std::mutex> lock(firehose_mu_);
  if (firehose_.joinable()) return false;
  firehose_stop_.store(false);
  firehose_count_.store(0);
  LOG_DEBUG("instance %llu: firehose of %s started", U(id_), prototype.name);
  firehose_ = std::thread(&Cloud::FirehoseLoop, this, std::move(prototype), interval);
  return true;
}

std::optional<uint64_t> Cloud::StopFirehose() {
  std::lock_guard<std::mutex> lock(firehose_mu_);
  if (!firehose_.joinable()) return std::nullopt;
  firehose_stop_.store(true);
  firehose_.join();
  LOG_DEBUG("instance %llu: firehose stopped after %llu callbacks", U(id_),
            U(firehose_count_.load()));
  return firehose_count_.load();
}

void Cloud::FirehoseLoop(Task prototype, std::chrono::microseconds interval) {
  MarkEngineThread();
  while (!firehose_stop_.load(std::memory_order_relaxed)) {
    Task task;
    task.name = prototype.name;
    task.call = prototype.call;
    const Dispatcher::PostResult posted = dispatcher_.Post(std::move(task));
    if (posted == Dispatcher::PostResult::kClosed) break;
    if (posted == Dispatcher::PostResult::kQueued) {
      firehose_count_.fetch_add(1, std::memory_order_relaxed);
    }
    if (interval.count() > 0) {
      std::this_thread::sleep_for(interval);
    } else {
      std::this_thread::yield();
    }
  }
}

}  // namespace corvel::engine
