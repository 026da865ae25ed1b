// Membership of a loopback room: join, leave and eviction, the announcements
// every member hears about the others, and opening and closing of a member's
// channels and subscriptions.
//
// Locking: every function runs on a caller thread under Room::mu_ (taken with
// CallerLock, so the router lets it in between packets) and queues its
// callbacks there, so all members see membership changes in one order.
#include "room.h"

#include <algorithm>

#include "log.h"
#include "room_events.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

Member::Member(MemberSpec spec, MemberSink& sink)
    : info(std::move(spec)), sink(sink), route(std::make_unique<MemberRoute>(info)) {}
Member::~Member() = default;

std::shared_ptr<Member> Room::FindLocked(const std::string& user) {
  for (auto& m : members_)
    if (m->user() == user) return m;
  return nullptr;
}

bool Room::ReceivesAudio(const Member& to, const Member& from) const {
  return &to != &from && to.present && from.present && from.audio_open &&
         !to.audio_unsubscribed.count(from.user());
}

std::shared_ptr<Member> Room::Join(MemberSpec spec, MemberSink& sink) {
  auto member = std::make_shared<Member>(std::move(spec), sink);
  {
    const auto lock = CallerLock();
    if (auto old = FindLocked(member->user())) {
      LOG_INFO("room %s: user %s entered again from instance %llu; instance %llu leaves",
               key_.Describe().c_str(), member->user().c_str(),
               static_cast<unsigned long long>(member->info.instance_id),
               static_cast<unsigned long long>(old->info.instance_id));
      EndSessionLocked(old, kExitReasonReplaced, 0);
    }
    members_.push_back(member);
    Member& m = *member;
    m.route->next_quality = Clock::now() + milliseconds(RouterTuning::Get().quality_interval_ms);
    for (auto& other : members_) {
      if (other == member) continue;
      if (other->visible()) {
        const std::string user = other->user();
        PostTo(m, room_events::UserEntered(user));
        if (other->audio_open) PostTo(m, room_events::AudioAvailable(user, true));
        for (int type : other->video_open) PostTo(m, room_events::VideoAvailable(user, type, true));
      }
      if (m.visible()) PostTo(*other, room_events::UserEntered(m.user()));
    }
  }
  WakePacer();  // the router's next deadline may be this member's first report
  return member;
}

void Room::AnnounceLeaveLocked(Member& m, int reason) {
  if (!m.visible()) return;
  const std::string user = m.user();
  for (auto& other : members_) {
    if (other.get() == &m) continue;
    if (m.audio_open) PostTo(*other, room_events::AudioAvailable(user, false));
    for (int type : m.video_open) PostTo(*other, room_events::VideoAvailable(user, type, false));
    PostTo(*other, room_events::UserLeft(user, reason));
  }
}

void Room::RemoveLocked(const std::shared_ptr<Member>& m) {
  FlushLocked();  // what was collected for it so far is still delivered
  m->present = false;
  members_.erase(std::remove(members_.begin(), members_.end(), m), members_.end());
  const std::string& user = m->user();
  for (auto& other : members_) {
    MemberRoute& r = *other->route;
    r.audio_in.Forget(m.get());
    std::erase_if(r.pending_miss, [&](const auto& e) { return e.first.first == user; });
    std::erase_if(r.ordered_due, [&](const auto& e) { return e.first.first == user; });
    std::erase_if(r.need_key, [&](const auto& e) { return e.first == user; });
    std::erase_if(r.told_undecodable, [&](const auto& e) { return e.first == user; });
  }
  m->route->audio_out.Clear();
  m->route->audio_in.Clear();
}

bool Room::Leave(const std::shared_ptr<Member>& member, int reason, ConnectionState* state) {
  const auto lock = CallerLock();
  if (!member->present) return false;
  if (state) *state = member->connection;
  AnnounceLeaveLocked(*member, reason);
  RemoveLocked(member);
  return true;
}

void Room::Evict(const std::shared_ptr<Member>& member, int reason, int error) {
  const auto lock = CallerLock();
  if (member->present) EndSessionLocked(member, reason, error);
}

void Room::EndSessionLocked(const std::shared_ptr<Member>& member, int reason, int error) {
  Member& m = *member;
  for (Task& task : room_events::SessionEnd(error, m.audio_open, m.video_open, m.connection))
    PostTo(m, std::move(task));
  AnnounceLeaveLocked(m, reason);
  RemoveLocked(member);
  member->evicted.store(true);
}

bool Room::Empty() {
  const auto lock = CallerLock();
  return members_.empty();
}

std::vector<std::string> Room::UserIds() {
  const auto lock = CallerLock();
  std::vector<std::string> ids;
  for (auto& m : members_) ids.push_back(m->user());
  return ids;
}

std::shared_ptr<Pacer> Room::OpenAudio(Member& m, const AudioEncodeParams& params) {
  const auto lock = CallerLock();
  m.audio_open = true;
  m.audio_params = params;
  m.pacer = std::make_shared<Pacer>(params.sample_rate, params.channels, params.frame_length_ms);
  m.route->audio_out.Clear();
  if (m.visible()) {
    for (auto& other : members_)
      if (other.get() != &m) PostTo(*other, room_events::AudioAvailable(m.user(), true));
  }
  RequestBitratesLocked(m);
  return m.pacer;
}

void Room::CloseAudio(Member& m) {
  const auto lock = CallerLock();
  if (!m.audio_open) return;
  m.audio_open = false;
  m.pacer.reset();
  m.route->audio_out.Clear();
  for (auto& other : members_) {
    if (other.get() == &m) continue;
    other->route->audio_in.Forget(&m);
    if (m.visible()) PostTo(*other, room_events::AudioAvailable(m.user(), false));
  }
  RequestBitratesLocked(m);
}

void Room::OpenVideo(Member& m, int type) {
  const auto lock = CallerLock();
  m.video_open.insert(type);
  const std::string& user = m.user();
  bool wanted = false;
  for (auto& other : members_) {
    if (other.get() == &m) continue;
    if (m.visible()) PostTo(*other, room_events::VideoAvailable(user, type, true));
    if (other->video_subscribed.count({user, type})) {
      other->route->need_key.insert({user, type});
      wanted = true;
    }
  }
  if (wanted) PostTo(m, room_events::KeyFrameRequested(type));
  RequestBitratesLocked(m);
}

void Room::CloseVideo(Member& m, int type) {
  const auto lock = CallerLock();
  if (!m.video_open.erase(type)) return;
  m.requested_bitrate.erase(type);
  if (!m.visible()) return;
  for (auto& other : members_)
    if (other.get() != &m) PostTo(*other, room_events::VideoAvailable(m.user(), type, false));
  RequestBitratesLocked(m);
}

void Room::SetSubscription(Member& m, const std::string& user, int type, bool on) {
  const auto lock = CallerLock();
  if (type == STREAM_TYPE_AUDIO) {
    if (on) {
      m.audio_unsubscribed.erase(user);
    } else if (m.audio_unsubscribed.insert(user).second) {
      if (auto from = FindLocked(user)) m.route->audio_in.Forget(from.get());
    }
    return;
  }
  if (!on) {
    m.video_subscribed.erase({user, type});
    m.route->need_key.erase({user, type});
    return;
  }
  if (!m.video_subscribed.insert({user, type}).second) return;
  m.route->need_key.insert({user, type});
  auto from = FindLocked(user);
  if (from && from.get() != &m && from->video_open.count(type))
    PostTo(*from, room_events::KeyFrameRequested(type));
}

void Room::SetVad(Member& m, bool on) {
  const auto lock = CallerLock();
  m.info.vad = on;
  m.route->audio_in.set_vad(on);
}

void Room::SetEncodeParam(Member& m, int type, const VideoEncodeParams& p) {
  const auto lock = CallerLock();
  m.info.encode[type] = p;
  m.requested_bitrate.erase(type);  // the application chose it: only a limit asks again
  RequestBitratesLocked(m);
}

}  // namespace corvel::engine
