// Which backend rooms are entered through, and what every backend shares.
#include "room_backend.h"

#include "room.h"

namespace corvel::engine {

RouterTuning& RouterTuning::Get() {
  static RouterTuning tuning;
  return tuning;
}

std::string RoomKey::Describe() const {
  return std::to_string(app) + (text ? ":\"" + id + "\"" : ":" + id);
}

RoomBackend& SelectedRoomBackend() {
  // Every environment SetEnvironment accepts is served by the loopback
  // backend; a networked backend is chosen here from its setting.
  return LoopbackBackend::Get();
}

void VisitAllRooms(void (*visit)(void*, const corvel_room*), void* context) {
  LoopbackBackend::Get().VisitRooms(visit, context);
}

}  // namespace corvel::engine
