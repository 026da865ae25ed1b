// Which backend rooms are entered through, and what every backend shares.
#include "room_backend.h"

#include "room.h"
#include "room_janus.h"
#include "settings.h"

namespace corvel::engine {

RouterTuning& RouterTuning::Get() {
  static RouterTuning tuning;
  return tuning;
}

std::string RoomKey::Describe() const {
  return std::to_string(app) + (text ? ":\"" + id + "\"" : ":" + id);
}

RoomBackend& SelectedRoomBackend() {
  // A Janus server named by the environment; in-process rooms otherwise.
  if (CurrentJanusUrl()) return JanusBackend::Get();
  return LoopbackBackend::Get();
}

void VisitAllRooms(void (*visit)(void*, const corvel_room*), void* context) {
  LoopbackBackend::Get().VisitRooms(visit, context);
  JanusBackend::Get().VisitRooms(visit, context);
}

}  // namespace corvel::engine
