// All rooms of the process by key (RoomHub), process-wide router tunables,
// and the description of a room the hook visits.
//
// Locking: RoomHub::mu_ guards the table and is taken before a room's mutex
// (Enter joins under it); Describe holds the room mutex while it visits.
#include "room.h"

#include "no_destroy.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

RouterTuning& RouterTuning::Get() {
  static RouterTuning tuning;
  return tuning;
}

std::string RoomKey::Describe() const {
  return std::to_string(app) + (text ? ":\"" + id + "\"" : ":" + id);
}

void Room::Describe(void (*visit)(void*, const corvel_room*), void* context) {
  const auto lock = CallerLock();
  std::vector<std::vector<int>> video(members_.size());
  std::vector<corvel_room_member> members(members_.size());
  size_t i = 0;
  for (auto& m : members_) {
    video[i].assign(m->video_open.begin(), m->video_open.end());
    corvel_room_member& out = members[i];
    out.id = m->info.instance_id;
    out.user_id = m->user().data();
    out.user_id_size = m->user().size();
    out.role = m->info.role;
    out.connection = m->connection;
    out.audio = m->audio_open;
    out.video = video[i].data();
    out.video_count = video[i].size();
    out.pacing_ms = static_cast<int64_t>(m->pacer ? m->pacer->QueuedMs() : 0);
    out.conversions = m->route->streams.size();
    ++i;
  }
  corvel_room room{};
  room.sdk_app_id = key_.app;
  room.room_id = key_.id.data();
  room.room_id_size = key_.id.size();
  room.text_id = key_.text;
  room.members = members.data();
  room.member_count = members.size();
  room.delayed = delayed_.size();
  visit(context, &room);
}

// ---- RoomHub ----

RoomHub& RoomHub::Get() {
  static NoDestroy<RoomHub> hub;  // lives for the process
  return hub.get();
}

std::shared_ptr<Member> RoomHub::Enter(const RoomKey& key, JoinInfo info,
                                       std::shared_ptr<Room>* room) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& slot = rooms_[key];
  if (!slot) slot = std::make_shared<Room>(key);
  *room = slot;
  return slot->Join(std::move(info));
}

void RoomHub::Release(const std::shared_ptr<Room>& room) {
  std::shared_ptr<Room> last;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = rooms_.find(room->key());
    if (it == rooms_.end() || it->second != room || !room->Empty()) return;
    last = std::move(it->second);
    rooms_.erase(it);
  }
  // `last` may hold the final reference only if the caller does not; the
  // caller always does, so the router is joined when it lets go.
}

void RoomHub::AbandonAfterFork() {
  // Kept reachable and never destroyed.
  static NoDestroy<std::vector<std::map<RoomKey, std::shared_ptr<Room>>>> abandoned;
  abandoned.get().push_back(std::move(rooms_));
  rooms_.clear();
}

std::vector<std::shared_ptr<Room>> RoomHub::Rooms() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::shared_ptr<Room>> out;
  for (auto& [key, room] : rooms_) out.push_back(room);
  return out;
}

}  // namespace corvel::engine
