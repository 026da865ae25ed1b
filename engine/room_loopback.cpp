// The loopback backend: all rooms of the process by key, the session an
// instance drives its member through, and the description of a room the hook
// visits.
//
// Locking: LoopbackBackend::mu_ guards the table and is taken before a
// room's mutex (Enter joins under it, Release checks emptiness under it);
// Describe holds the room mutex while it visits. A session leaves and
// releases its room from the table in bounded time (no network here).
#include "room.h"

#include "no_destroy.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

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
    out.conversions = m->route->audio_out.size();
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

// ---- the session: an instance's member of a loopback room ----

namespace {

class LoopbackSession final : public RoomSession {
 public:
  LoopbackSession(std::shared_ptr<Room> room, std::shared_ptr<Member> member)
      : room_(std::move(room)), member_(std::move(member)) {}
  ~LoopbackSession() override {
    room_->Leave(member_, kExitReasonLeft);  // nothing when it has left already
    LoopbackBackend::Get().Release(room_);
  }

  bool Leave(int reason, ConnectionState* state) override {
    const bool left = room_->Leave(member_, reason, state);
    LoopbackBackend::Get().Release(room_);
    return left;
  }
  bool Evicted() const override { return member_->evicted.load(); }
  void Evict(int reason, int error) override { room_->Evict(member_, reason, error); }

  std::shared_ptr<Pacer> OpenAudio(const AudioEncodeParams& params) override {
    return room_->OpenAudio(*member_, params);
  }
  void CloseAudio() override { room_->CloseAudio(*member_); }
  void OpenVideo(int type) override { room_->OpenVideo(*member_, type); }
  void CloseVideo(int type) override { room_->CloseVideo(*member_, type); }
  void SetSubscription(const std::string& user, int type, bool on) override {
    room_->SetSubscription(*member_, user, type, on);
  }
  void SetVad(bool on) override { room_->SetVad(*member_, on); }
  void SetEncodeParam(int type, const VideoEncodeParams& params) override {
    room_->SetEncodeParam(*member_, type, params);
  }

  bool SendAudio(const AudioFrame& frame) override { return room_->SendAudio(member_, frame); }
  void PacerStarted() override { room_->WakePacer(); }
  bool SendVideo(int type, const VideoFrame* encoded, const PixelFrame* pixel,
                 std::vector<SeiMessage> sei) override {
    return room_->SendVideo(member_, type, encoded, pixel, std::move(sei));
  }
  bool SendMessage(uint32_t cmd, uint32_t seq, std::string bytes, bool reliable,
                   bool ordered) override {
    return room_->SendMessage(member_, cmd, seq, std::move(bytes), reliable, ordered);
  }

  void ConditionsChanged() override { room_->ConditionsChanged(*member_); }
  bool Disconnect(std::chrono::milliseconds duration) override {
    return room_->Disconnect(*member_, duration);
  }
  void Describe(void (*visit)(void*, const corvel_room*), void* context) override {
    room_->Describe(visit, context);
  }

 private:
  const std::shared_ptr<Room> room_;
  const std::shared_ptr<Member> member_;
};

}  // namespace

// ---- the backend ----

LoopbackBackend& LoopbackBackend::Get() {
  static NoDestroy<LoopbackBackend> backend;  // lives for the process
  return backend.get();
}

std::shared_ptr<RoomSession> LoopbackBackend::Enter(const RoomKey& key, MemberSpec spec,
                                                    MemberSink& sink) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& slot = rooms_[key];
  if (!slot) slot = std::make_shared<Room>(key);
  std::shared_ptr<Member> member = slot->Join(std::move(spec), sink);
  return std::make_shared<LoopbackSession>(slot, std::move(member));
}

void LoopbackBackend::Release(const std::shared_ptr<Room>& room) {
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

void LoopbackBackend::AbandonAfterFork() {
  // Kept reachable and never destroyed.
  static NoDestroy<std::vector<std::map<RoomKey, std::shared_ptr<Room>>>> abandoned;
  abandoned.get().push_back(std::move(rooms_));
  rooms_.clear();
}

void LoopbackBackend::VisitRooms(void (*visit)(void*, const corvel_room*), void* context) {
  std::vector<std::shared_ptr<Room>> rooms;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, room] : rooms_) rooms.push_back(room);
  }
  for (const auto& room : rooms) room->Describe(visit, context);
}

}  // namespace corvel::engine
