// The router of a room: the inbox senders append to, the router thread that
// takes it in batches, the timers it runs between batches (pacers, delayed
// arrivals, mixer waits, reconnection, quality reports), fairness towards
// caller threads waiting for the room mutex, and the collection of the
// callbacks of one routing pass into one post per member.
//
// Locking: senders take only the inbox lock. The router holds Room::mu_
// while it routes and lets waiting callers in between packets (and between
// 200 ms pieces of a long audio frame), so a caller never waits long.
#include "room.h"

#include <algorithm>
#include <deque>
#include <thread>

#include "room_events.h"
#include "room_internal.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

Room::Room(RoomKey key) : key_(std::move(key)), rng_(std::hash<std::string>{}(key_.Describe())) {
  router_ = std::thread(&Room::RouterMain, this);
}

Room::~Room() {
  inbox_.Close();  // ends the router's wait; packets still queued are dropped
  router_.join();
}

void Room::PostTo(Member& m, Task task) {
  if (!m.present) return;
  if (routing_) {
    std::vector<Task>& outbox = m.route->outbox;
    if (outbox.empty()) outbox_members_.push_back(&m);
    outbox.push_back(std::move(task));
    return;
  }
  m.sink.Deliver(std::move(task));
}

void Room::PostAllTo(Member& m, std::vector<Task>& tasks) {
  if (tasks.empty() || !m.present) return;
  if (!routing_) {
    m.sink.Deliver(tasks);
    return;
  }
  std::vector<Task>& outbox = m.route->outbox;
  if (outbox.empty()) outbox_members_.push_back(&m);
  for (Task& task : tasks) outbox.push_back(std::move(task));
  tasks.clear();
}

void Room::FlushLocked() {
  // Every member listed is still present: RemoveLocked flushes first.
  for (Member* m : outbox_members_) m->sink.Deliver(m->route->outbox);
  outbox_members_.clear();
}

void Room::WakePacer() { inbox_.Wake(); }

// ---- Room: sending ----

bool Room::Enqueue(Packet p) {
  MediaCounters& counters = p.from->info.counters->media();
  const QueueResult queued = inbox_.TryPush(p);
  if (queued == QueueResult::kFull)
    counters.room_queue_drops.fetch_add(1, std::memory_order_relaxed);
  return queued == QueueResult::kQueued;
}

bool Room::SendAudio(const std::shared_ptr<Member>& m, const AudioFrame& frame) {
  Packet p;
  p.from = m;
  p.kind = Packet::kAudio;
  p.audio = frame;
  return Enqueue(std::move(p));
}

bool Room::SendVideo(const std::shared_ptr<Member>& m, int type, const VideoFrame* encoded,
                     const PixelFrame* pixel, std::vector<SeiMessage> sei) {
  Packet p;
  p.from = m;
  p.kind = Packet::kVideo;
  p.stream = type;
  if (encoded) p.encoded = *encoded;
  if (pixel) p.pixel = *pixel;
  p.sei = std::move(sei);
  return Enqueue(std::move(p));
}

bool Room::SendMessage(const std::shared_ptr<Member>& m, uint32_t cmd, uint32_t seq,
                       std::string bytes, bool reliable, bool ordered) {
  Packet p;
  p.from = m;
  p.kind = Packet::kMessage;
  p.cmd = cmd;
  p.seq = seq;
  p.bytes = std::move(bytes);
  p.reliable = reliable;
  p.ordered = ordered;
  return Enqueue(std::move(p));
}

// ---- Room: router ----

std::unique_lock<std::mutex> Room::CallerLock() {
  callers_.fetch_add(1, std::memory_order_relaxed);
  std::unique_lock<std::mutex> lock(mu_);
  callers_.fetch_sub(1, std::memory_order_relaxed);
  return lock;
}

void Room::LetCallersInLocked(std::unique_lock<std::mutex>& lock) {
  routing_ = false;
  FlushLocked();
  lock.unlock();
  // Until the callers waiting have had the mutex (bounded: a caller that is
  // slow to wake is not waited for long).
  const auto give_up = Clock::now() + kCallerWait;
  while (callers_.load(std::memory_order_relaxed) > 0 && Clock::now() < give_up)
    std::this_thread::yield();
  lock.lock();
  routing_ = true;
}

void Room::RouterMain() {
  MarkEngineThread();
  std::deque<Packet> batch;
  Clock::time_point next = Clock::time_point::max();
  while (true) {
    // Packets, a wake-up (a pacer started, a member joined or reconnects) or
    // the next deadline; with none, a bounded idle wait.
    inbox_.TakeAllUntil(batch, std::min(next, Clock::now() + kIdleWait));
    if (inbox_.closed()) break;
    {
      std::unique_lock<std::mutex> lock(mu_);
      auto now = Clock::now();
      routing_ = true;
      // Long batches do not keep membership changes (callers that may hold
      // the GIL) waiting: they get the mutex between packets, and between
      // the pieces of a long audio packet.
      auto let_callers_in = [&] {
        if (callers_.load(std::memory_order_relaxed) > 0 && Clock::now() - now > kRouterSlice) {
          LetCallersInLocked(lock);
          now = Clock::now();
        }
      };
      for (Packet& p : batch) {
        if (p.kind == Packet::kAudio && p.from->present) {
          const AudioFrame& f = p.audio;
          const PayloadPtr source = FramePayload(f);
          const auto* samples = reinterpret_cast<const int16_t*>(f.data());
          const size_t frames = f.size() / (2 * static_cast<size_t>(f.channels));
          const size_t piece = static_cast<size_t>(f.sample_rate) * kAudioPieceMs / 1000;
          for (size_t at = 0; at < frames && p.from->present; at += piece) {
            // Whole milliseconds per piece: the pts of each piece is exact.
            const auto pts = static_cast<uint32_t>(f.pts + at / piece * kAudioPieceMs);
            RouteAudioLocked(p.from, source, samples + at * f.channels,
                             std::min(piece, frames - at), f.sample_rate, f.channels, pts, now);
            let_callers_in();
          }
          continue;
        }
        RouteLocked(p, now);
        let_callers_in();
      }
      TimersLocked(Clock::now());
      routing_ = false;
      FlushLocked();
      next = NextDeadlineLocked();
    }
    batch.clear();
  }
}

void Room::RouteLocked(Packet& p, Clock::time_point now) {
  if (!p.from->present) return;  // left while its packet was queued
  switch (p.kind) {
    case Packet::kAudio: {
      const AudioFrame& f = p.audio;
      RouteAudioLocked(p.from, FramePayload(f), reinterpret_cast<const int16_t*>(f.data()),
                       f.size() / (2 * static_cast<size_t>(f.channels)), f.sample_rate, f.channels,
                       f.pts, now);
      break;
    }
    case Packet::kVideo:
      RouteVideoLocked(p, now);
      break;
    case Packet::kMessage:
      RouteMessageLocked(p, now);
      break;
  }
}

void Room::TimersLocked(Clock::time_point now) {
  // Reconnections first: what was held back for a member arrives after it is
  // connected again.
  for (auto& m : members_) {
    if (m->connection == CONNECTION_STATE_CONNECTING && m->reconnect_at <= now) {
      m->connection = CONNECTION_STATE_CONNECTED;
      PostTo(*m, room_events::ConnectionChanged(CONNECTION_STATE_CONNECTING,
                                                CONNECTION_STATE_CONNECTED));
    }
  }
  // Continuous audio due now.
  for (size_t i = 0; i < members_.size(); ++i) {
    std::shared_ptr<Member> m = members_[i];
    if (!m->audio_open || !m->pacer) continue;
    uint32_t pts = 0;
    std::shared_ptr<Pacer> pacer = m->pacer;
    while (m->present && m->audio_open) {
      const PayloadPtr pcm = pacer->PopDue(now, &pts);
      if (!pcm) break;
      m->info.counters->media().audio_sent.fetch_add(1, std::memory_order_relaxed);
      RouteAudioLocked(m, pcm, Samples(*pcm), pcm->data.size() / 2 / pacer->channels(),
                       pacer->sample_rate(), pacer->channels(), pts, now);
    }
  }
  // Delayed arrivals.
  while (!delayed_.empty() && delayed_.top().due <= now) {
    Delayed d = delayed_.top();
    delayed_.pop();
    if (d.to->present) d.run();
  }
  for (auto& m : members_) {
    // Mixers whose wait has passed.
    if (auto due = m->route->audio_in.deadline(); due && *due <= now) MixerPumpLocked(*m, now);
    // Network quality reports.
    if (m->route->next_quality <= now) {
      QualityTickLocked(*m);
      const milliseconds interval{std::max<uint32_t>(10, RouterTuning::Get().quality_interval_ms)};
      m->route->next_quality += interval;
      if (m->route->next_quality <= now) m->route->next_quality = now + interval;
    }
  }
}

Clock::time_point Room::NextDeadlineLocked() {
  Clock::time_point next = Clock::time_point::max();
  if (!delayed_.empty()) next = std::min(next, delayed_.top().due);
  for (auto& m : members_) {
    if (m->audio_open && m->pacer)
      if (auto due = m->pacer->NextDue()) next = std::min(next, *due);
    if (auto due = m->route->audio_in.deadline()) next = std::min(next, *due);
    if (m->connection == CONNECTION_STATE_CONNECTING) next = std::min(next, m->reconnect_at);
    next = std::min(next, m->route->next_quality);
  }
  return next;
}

}  // namespace corvel::engine
