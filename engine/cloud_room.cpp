// Cloud operations on the instance's room: enter, exit, subscriptions and
// pulling mixed audio. Each validates, changes the room state under mu_ and
// queues its callbacks there; the room session is driven under mu_ too.
#include "cloud.h"

#include "cloud_checks.h"
#include "hook.h"
#include "log.h"
#include "room_events.h"
#include "status.h"

namespace corvel::engine {

using namespace corvel::vora;
using namespace cloud_checks;

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
      RoomBackend& backend = SelectedRoomBackend();
      PostLocked("OnConnectionStateChanged", [before](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(before, CONNECTION_STATE_CONNECTING);
      });
      // A networked backend reports these once the server let us in.
      if (!backend.ReportsEntry()) {
        PostLocked("OnConnectionStateChanged", [](VORACloudDelegate& d) {
          d.OnConnectionStateChanged(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED);
        });
        PostLocked("OnEnterRoom", [](VORACloudDelegate& d) { d.OnEnterRoom(); });
      }
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
      session_ = backend.Enter(key, std::move(spec), *this);
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

}  // namespace corvel::engine
