#include "room.h"

#include <algorithm>
#include <cstring>

#include "cloud.h"
#include "log.h"
#include "no_destroy.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

namespace {

// Blocks a mixer input may hold before its oldest is dropped.
constexpr size_t kMixInputCapacity = 25;
// A pacer that fell this far behind its schedule starts a new one.
constexpr milliseconds kPacerResync{100};
// Extra delay of a reliable message whose first transmission was lost.
constexpr milliseconds kRetransmitTimeout{50};

int DefaultVideoBitrate(int type) { return type == STREAM_TYPE_VIDEO_LOW ? 200000 : 1200000; }

uint32_t PtsAt(const std::deque<std::pair<uint64_t, uint32_t>>& anchors, uint64_t index, int rate) {
  if (anchors.empty()) return 0;
  auto it = anchors.begin();
  for (auto next = it; next != anchors.end() && next->first <= index; ++next) it = next;
  const uint64_t offset = index >= it->first ? index - it->first : 0;
  return it->second + static_cast<uint32_t>(offset * 1000 / static_cast<uint64_t>(rate));
}

std::shared_ptr<const Payload> MakePcm(const int16_t* samples, size_t count) {
  auto payload = std::make_shared<Payload>();
  payload->data.resize(count * sizeof(int16_t));
  std::memcpy(payload->data.data(), samples, payload->data.size());
  return payload;
}

const int16_t* Samples(const Payload& p) { return reinterpret_cast<const int16_t*>(p.data.data()); }

struct FormatKey {
  int rate;
  int channels;
  int frame_ms;
  auto operator<=>(const FormatKey&) const = default;
};

FormatKey OutputFormat(const Member& m) {
  return {m.info.obtain.output_sample_rate, m.info.obtain.output_channels,
          m.info.obtain.output_frame_length_ms};
}

bool PerUserAudio(const Member& m) {
  return m.info.obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_CALLBACK &&
         !m.info.obtain.enable_remote_audio_mix;
}

// One sender's audio converted to one output format, cut into output frames.
struct ConvStream {
  ConvStream(int in_rate, int in_channels, FormatKey out)
      : resampler(in_rate, in_channels, out.rate, out.channels),
        in_rate(in_rate),
        in_channels(in_channels),
        out(out),
        block_frames(static_cast<size_t>(out.rate) * out.frame_ms / 1000) {}

  template <typename Emit>
  void Feed(const int16_t* in, size_t frames, uint32_t pts, Emit&& emit) {
    const uint64_t out_start = in_total * static_cast<uint64_t>(out.rate) / in_rate;
    anchors.emplace_back(out_start, pts);
    in_total += frames;
    resampler.Process(in, frames, pending);
    const size_t block = block_frames * static_cast<size_t>(out.channels);
    const uint64_t latency = static_cast<uint64_t>(resampler.latency_frames());
    size_t offset = 0;
    while (pending.size() - offset >= block) {
      const int16_t* start = pending.data() + offset;
      const uint64_t at = out_base > latency ? out_base - latency : 0;
      const bool voice = vad.Process(start, block_frames, out.channels, out.rate);
      emit(MakePcm(start, block), PtsAt(anchors, at, out.rate), voice);
      offset += block;
      out_base += block_frames;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
    const uint64_t keep = out_base > latency ? out_base - latency : 0;
    while (anchors.size() > 1 && anchors[1].first <= keep) anchors.pop_front();
  }

  Resampler resampler;
  int in_rate;
  int in_channels;
  FormatKey out;
  size_t block_frames;
  std::vector<int16_t> pending;
  uint64_t in_total = 0;
  uint64_t out_base = 0;
  std::deque<std::pair<uint64_t, uint32_t>> anchors;
  VoiceActivityDetector vad;
  bool used = false;
};

struct MixBlock {
  std::shared_ptr<const Payload> pcm;
  uint32_t pts;
  Clock::time_point arrival;
};

struct MixInput {
  std::deque<MixBlock> blocks;
  bool idle = false;  // missed its turn; not waited for until it delivers again
};

NetworkQuality Grade(const Member& m) {
  if (!m.present || !m.connected()) return NETWORK_QUALITY_DOWN;
  const double loss = m.info.conditions->loss_ppm.load() / 10000.0;  // percent
  const uint32_t delay = m.info.conditions->delay_ms.load();
  int grade = NETWORK_QUALITY_VERY_BAD;
  if (loss < 1 && delay <= 100) {
    grade = NETWORK_QUALITY_EXCELLENT;
  } else if (loss < 3 && delay <= 200) {
    grade = NETWORK_QUALITY_GOOD;
  } else if (loss < 8 && delay <= 400) {
    grade = NETWORK_QUALITY_POOR;
  } else if (loss < 20 && delay <= 800) {
    grade = NETWORK_QUALITY_BAD;
  }
  const uint32_t bandwidth = m.info.conditions->bandwidth_kbps.load();
  if (bandwidth > 0) {
    uint64_t need = m.audio_open ? static_cast<uint64_t>(m.audio_params.bitrate_bps) : 32000;
    for (int type : m.video_open) {
      auto it = m.info.encode.find(type);
      const int configured = it != m.info.encode.end() && it->second.bitrate_bps > 0
                                 ? it->second.bitrate_bps
                                 : DefaultVideoBitrate(type);
      need += static_cast<uint64_t>(configured);
    }
    const uint64_t have = uint64_t{bandwidth} * 1000;
    if (have * 2 < need) {
      grade = std::max(grade, int{NETWORK_QUALITY_BAD});
    } else if (have < need) {
      grade = std::max(grade, int{NETWORK_QUALITY_POOR});
    }
  }
  return static_cast<NetworkQuality>(grade);
}

}  // namespace

// Router state of one member, touched only under Room::mu_.
struct MemberRoute {
  // As a sender: its audio in each output format some receiver wants.
  std::map<FormatKey, std::unique_ptr<ConvStream>> streams;
  // As a receiver of mixed audio.
  std::map<const Member*, MixInput> mix_inputs;
  Mixer mixer;
  std::vector<int16_t> mix_out;
  VoiceActivityDetector mix_vad;
  std::optional<Clock::time_point> mix_deadline;
  // As a receiver of messages and video, by sender user id.
  std::map<std::pair<std::string, uint32_t>, uint32_t> pending_miss;
  std::map<std::pair<std::string, uint32_t>, Clock::time_point> ordered_due;
  std::set<std::pair<std::string, int>> need_key;
  std::set<std::pair<std::string, int>> told_undecodable;
  Clock::time_point next_quality{};
  // Callbacks collected during a routing pass (see Room::FlushLocked).
  std::vector<Task> outbox;
};

Member::Member() : route(std::make_unique<MemberRoute>()) {}
Member::~Member() = default;

RouterTuning& RouterTuning::Get() {
  static RouterTuning tuning;
  return tuning;
}

std::string RoomKey::Describe() const {
  return std::to_string(app) + (text ? ":\"" + id + "\"" : ":" + id);
}

// ---- PullBuffer ----

bool PullBuffer::Push(AudioFrame frame) {
  std::lock_guard<std::mutex> lock(mu_);
  bool kept_all = true;
  if (frames_.size() >= kCapacity) {
    frames_.pop_front();
    kept_all = false;
  }
  frames_.push_back(std::move(frame));
  return kept_all;
}

bool PullBuffer::Pop(AudioFrame* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (frames_.empty()) return false;
  *out = frames_.front();
  frames_.pop_front();
  return true;
}

void PullBuffer::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  frames_.clear();
}

// ---- Pacer ----

Pacer::Pacer(int sample_rate, int channels, int frame_ms)
    : rate_(sample_rate), channels_(channels), frame_ms_(frame_ms) {}

bool Pacer::Push(const int16_t* samples, size_t frames, uint32_t pts, bool clear,
                 MediaCounters& counters) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fifo_) fifo_.emplace(rate_, channels_, frame_ms_, kCapacityMs);
  const size_t block = fifo_->frame_frames();
  if (clear && fifo_->buffered_frames() > 0) {
    counters.pacing_cleared.fetch_add((fifo_->buffered_frames() + block - 1) / block);
    fifo_->Clear();
    anchors_.clear();
    popped_ = pushed_;
  }
  const uint64_t dropped_before = fifo_->dropped_frames();
  anchors_.emplace_back(pushed_, pts);
  fifo_->Push(samples, frames);
  pushed_ += frames;
  const uint64_t dropped = fifo_->dropped_frames() - dropped_before;
  if (dropped > 0) {
    popped_ += dropped;
    counters.pacing_drops.fetch_add((dropped + block - 1) / block);
  }
  const auto now = Clock::now();
  last_push_ = now;
  if (running_) return false;
  running_ = true;
  next_due_ = now;
  return true;
}

bool Pacer::PopDue(Clock::time_point now, std::vector<int16_t>& samples, uint32_t* pts) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!running_ || !fifo_ || now < next_due_) return false;
  const milliseconds frame{frame_ms_};
  if (!fifo_->HasFrame()) {
    const size_t buffered = fifo_->buffered_frames();
    if (buffered == 0) {
      running_ = false;
      anchors_.clear();
      return false;
    }
    if (now - last_push_ < frame) {
      // A partial frame: give the application one frame length to complete it.
      next_due_ = last_push_ + frame;
      return false;
    }
    // The tail of what was sent: completed with silence.
    std::vector<int16_t> silence((fifo_->frame_frames() - buffered) * channels_, 0);
    fifo_->Push(silence.data(), silence.size() / channels_);
    pushed_ += silence.size() / channels_;
  }
  fifo_->PopFrame(samples);
  *pts = PtsAt(anchors_, popped_, rate_);
  popped_ += fifo_->frame_frames();
  while (anchors_.size() > 1 && anchors_[1].first <= popped_) anchors_.pop_front();
  next_due_ += frame;
  if (now - next_due_ > kPacerResync) next_due_ = now;
  return true;
}

std::optional<Clock::time_point> Pacer::NextDue() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!running_) return std::nullopt;
  return next_due_;
}

double Pacer::QueuedMs() {
  std::lock_guard<std::mutex> lock(mu_);
  return fifo_ ? fifo_->buffered_ms() : 0.0;
}

// ---- Room: membership ----

Room::Room(RoomKey key) : key_(std::move(key)), rng_(std::hash<std::string>{}(key_.Describe())) {
  router_ = std::thread(&Room::RouterMain, this);
}

Room::~Room() {
  {
    std::lock_guard<std::mutex> lock(in_mu_);
    stop_ = true;
  }
  in_cv_.notify_all();
  router_.join();
}

void Room::PostTo(Member& m, const char* name, std::function<void(VORACloudDelegate&)> call) {
  if (!m.present) return;
  Task task;
  task.name = name;
  task.call = std::move(call);
  if (routing_) {
    std::vector<Task>& outbox = m.route->outbox;
    if (outbox.empty()) outbox_members_.push_back(&m);
    outbox.push_back(std::move(task));
    return;
  }
  m.info.cloud->PostCallback(std::move(task));
}

void Room::FlushLocked() {
  // Every member listed is still present: RemoveLocked flushes first.
  for (Member* m : outbox_members_) m->info.cloud->PostCallbacks(m->route->outbox);
  outbox_members_.clear();
}

std::shared_ptr<Member> Room::FindLocked(const std::string& user) {
  for (auto& m : members_)
    if (m->user() == user) return m;
  return nullptr;
}

bool Room::ReceivesAudio(const Member& to, const Member& from) const {
  return &to != &from && to.present && from.present && from.audio_open &&
         !to.audio_unsubscribed.count(from.user());
}

void Room::WakePacer() {
  {
    std::lock_guard<std::mutex> lock(in_mu_);
    kick_ = true;
  }
  in_cv_.notify_one();
}

std::shared_ptr<Member> Room::Join(JoinInfo info) {
  auto member = std::make_shared<Member>();
  member->info = std::move(info);
  {
    const auto lock = CallerLock();
    if (auto old = FindLocked(member->user())) {
      LOG_INFO("room %s: user %s entered again from instance %llu; instance %llu leaves",
               key_.Describe().c_str(), member->user().c_str(),
               static_cast<unsigned long long>(member->info.instance_id),
               static_cast<unsigned long long>(old->info.instance_id));
      // Evict inline (mu_ is held).
      if (old->audio_open)
        PostTo(*old, "OnLocalAudioChannelDestroyed",
               [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
      for (int type : old->video_open) {
        auto t = static_cast<StreamType>(type);
        PostTo(*old, "OnLocalVideoChannelDestroyed",
               [t](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(t); });
      }
      const ConnectionState state = old->connection;
      PostTo(*old, "OnConnectionStateChanged", [state](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(state, CONNECTION_STATE_DISCONNECTED);
      });
      PostTo(*old, "OnExitRoom", [](VORACloudDelegate& d) { d.OnExitRoom(); });
      AnnounceLeaveLocked(*old, kExitReasonReplaced);
      RemoveLocked(old);
      old->evicted.store(true);
    }
    members_.push_back(member);
    Member& m = *member;
    m.route->next_quality = Clock::now() + milliseconds(RouterTuning::Get().quality_interval_ms);
    for (auto& other : members_) {
      if (other == member) continue;
      if (other->visible()) {
        const std::string user = other->user();
        PostTo(m, "OnRemoteUserEnterRoom", [user](VORACloudDelegate& d) {
          UserInfo info;
          info.user_id = user.c_str();
          d.OnRemoteUserEnterRoom(info);
        });
        if (other->audio_open)
          PostTo(m, "OnRemoteAudioAvailable",
                 [user](VORACloudDelegate& d) { d.OnRemoteAudioAvailable(user.c_str(), true); });
        for (int type : other->video_open) {
          auto t = static_cast<StreamType>(type);
          PostTo(m, "OnRemoteVideoAvailable", [user, t](VORACloudDelegate& d) {
            d.OnRemoteVideoAvailable(user.c_str(), true, t);
          });
        }
      }
      if (m.visible()) {
        const std::string user = m.user();
        PostTo(*other, "OnRemoteUserEnterRoom", [user](VORACloudDelegate& d) {
          UserInfo info;
          info.user_id = user.c_str();
          d.OnRemoteUserEnterRoom(info);
        });
      }
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
    if (m.audio_open)
      PostTo(*other, "OnRemoteAudioAvailable",
             [user](VORACloudDelegate& d) { d.OnRemoteAudioAvailable(user.c_str(), false); });
    for (int type : m.video_open) {
      auto t = static_cast<StreamType>(type);
      PostTo(*other, "OnRemoteVideoAvailable",
             [user, t](VORACloudDelegate& d) { d.OnRemoteVideoAvailable(user.c_str(), false, t); });
    }
    PostTo(*other, "OnRemoteUserExitRoom", [user, reason](VORACloudDelegate& d) {
      UserInfo info;
      info.user_id = user.c_str();
      d.OnRemoteUserExitRoom(info, reason);
    });
  }
}

void Room::RemoveLocked(const std::shared_ptr<Member>& m) {
  FlushLocked();  // what was collected for it so far is still delivered
  m->present = false;
  members_.erase(std::remove(members_.begin(), members_.end(), m), members_.end());
  const std::string& user = m->user();
  for (auto& other : members_) {
    MemberRoute& r = *other->route;
    r.mix_inputs.erase(m.get());
    std::erase_if(r.pending_miss, [&](const auto& e) { return e.first.first == user; });
    std::erase_if(r.ordered_due, [&](const auto& e) { return e.first.first == user; });
    std::erase_if(r.need_key, [&](const auto& e) { return e.first == user; });
    std::erase_if(r.told_undecodable, [&](const auto& e) { return e.first == user; });
  }
  m->route->streams.clear();
  m->route->mix_inputs.clear();
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
  if (!member->present) return;
  Member& m = *member;
  if (error != 0) {
    auto e = static_cast<Error>(error);
    PostTo(m, "OnError", [e](VORACloudDelegate& d) { d.OnError(e); });
  }
  if (m.audio_open)
    PostTo(m, "OnLocalAudioChannelDestroyed",
           [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); });
  for (int type : m.video_open) {
    auto t = static_cast<StreamType>(type);
    PostTo(m, "OnLocalVideoChannelDestroyed",
           [t](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(t); });
  }
  const ConnectionState state = m.connection;
  PostTo(m, "OnConnectionStateChanged", [state](VORACloudDelegate& d) {
    d.OnConnectionStateChanged(state, CONNECTION_STATE_DISCONNECTED);
  });
  PostTo(m, "OnExitRoom", [](VORACloudDelegate& d) { d.OnExitRoom(); });
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
  m.route->streams.clear();
  if (m.visible()) {
    const std::string user = m.user();
    for (auto& other : members_)
      if (other.get() != &m)
        PostTo(*other, "OnRemoteAudioAvailable",
               [user](VORACloudDelegate& d) { d.OnRemoteAudioAvailable(user.c_str(), true); });
  }
  RequestBitratesLocked(m);
  return m.pacer;
}

void Room::CloseAudio(Member& m) {
  const auto lock = CallerLock();
  if (!m.audio_open) return;
  m.audio_open = false;
  m.pacer.reset();
  m.route->streams.clear();
  const std::string user = m.user();
  for (auto& other : members_) {
    if (other.get() == &m) continue;
    other->route->mix_inputs.erase(&m);
    if (m.visible())
      PostTo(*other, "OnRemoteAudioAvailable",
             [user](VORACloudDelegate& d) { d.OnRemoteAudioAvailable(user.c_str(), false); });
  }
  RequestBitratesLocked(m);
}

void Room::OpenVideo(Member& m, int type) {
  const auto lock = CallerLock();
  m.video_open.insert(type);
  const std::string user = m.user();
  const auto t = static_cast<StreamType>(type);
  bool wanted = false;
  for (auto& other : members_) {
    if (other.get() == &m) continue;
    if (m.visible())
      PostTo(*other, "OnRemoteVideoAvailable",
             [user, t](VORACloudDelegate& d) { d.OnRemoteVideoAvailable(user.c_str(), true, t); });
    if (other->video_subscribed.count({user, type})) {
      other->route->need_key.insert({user, type});
      wanted = true;
    }
  }
  if (wanted) PostTo(m, "OnRequestKeyFrame", [t](VORACloudDelegate& d) { d.OnRequestKeyFrame(t); });
  RequestBitratesLocked(m);
}

void Room::CloseVideo(Member& m, int type) {
  const auto lock = CallerLock();
  if (!m.video_open.erase(type)) return;
  m.requested_bitrate.erase(type);
  if (!m.visible()) return;
  const std::string user = m.user();
  const auto t = static_cast<StreamType>(type);
  for (auto& other : members_)
    if (other.get() != &m)
      PostTo(*other, "OnRemoteVideoAvailable",
             [user, t](VORACloudDelegate& d) { d.OnRemoteVideoAvailable(user.c_str(), false, t); });
  RequestBitratesLocked(m);
}

void Room::SetSubscription(Member& m, const std::string& user, int type, bool on) {
  const auto lock = CallerLock();
  if (type == STREAM_TYPE_AUDIO) {
    if (on) {
      m.audio_unsubscribed.erase(user);
    } else if (m.audio_unsubscribed.insert(user).second) {
      if (auto from = FindLocked(user)) m.route->mix_inputs.erase(from.get());
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
  if (from && from.get() != &m && from->video_open.count(type)) {
    const auto t = static_cast<StreamType>(type);
    PostTo(*from, "OnRequestKeyFrame", [t](VORACloudDelegate& d) { d.OnRequestKeyFrame(t); });
  }
}

void Room::SetVad(Member& m, bool on) {
  const auto lock = CallerLock();
  m.info.vad = on;
}

void Room::SetEncodeParam(Member& m, int type, const VideoEncodeParams& p) {
  const auto lock = CallerLock();
  m.info.encode[type] = p;
  m.requested_bitrate.erase(type);  // the application chose it: only a limit asks again
  RequestBitratesLocked(m);
}

void Room::ConditionsChanged(Member& m) {
  const auto lock = CallerLock();
  RequestBitratesLocked(m);
}

// Shares the simulated uplink (90 % of it, less the audio) among the open
// video streams in proportion to their configured bitrates, and asks the
// sender for a new bitrate whenever a stream's share changes.
void Room::RequestBitratesLocked(Member& m) {
  if (!m.present || m.video_open.empty()) return;
  const uint32_t bandwidth = m.info.conditions->bandwidth_kbps.load();
  std::map<int, int64_t> configured;
  int64_t total = 0;
  for (int type : m.video_open) {
    auto it = m.info.encode.find(type);
    const int64_t bps = it != m.info.encode.end() && it->second.bitrate_bps > 0
                            ? it->second.bitrate_bps
                            : DefaultVideoBitrate(type);
    configured[type] = bps;
    total += bps;
  }
  int64_t available = int64_t{bandwidth} * 900;
  if (m.audio_open) available -= m.audio_params.bitrate_bps;
  for (auto [type, bps] : configured) {
    int64_t target = bps;
    if (bandwidth > 0 && available < total) {
      target = std::max<int64_t>(30000, std::max<int64_t>(0, available) * bps / total);
    }
    auto it = m.requested_bitrate.find(type);
    const int64_t previous = it == m.requested_bitrate.end() ? bps : it->second;
    m.requested_bitrate[type] = static_cast<int>(target);
    if (target == previous) continue;
    const auto t = static_cast<StreamType>(type);
    const int value = static_cast<int>(target);
    PostTo(m, "OnRequestChangeVideoEncodeBitrate",
           [t, value](VORACloudDelegate& d) { d.OnRequestChangeVideoEncodeBitrate(t, value); });
  }
}

bool Room::Disconnect(Member& m, milliseconds duration) {
  {
    const auto lock = CallerLock();
    if (!m.present) return false;
    const auto now = Clock::now();
    if (m.connection == CONNECTION_STATE_CONNECTED) {
      PostTo(m, "OnConnectionStateChanged", [](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(CONNECTION_STATE_CONNECTED, CONNECTION_STATE_DISCONNECTED);
      });
      PostTo(m, "OnConnectionStateChanged", [](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(CONNECTION_STATE_DISCONNECTED, CONNECTION_STATE_CONNECTING);
      });
      m.connection = CONNECTION_STATE_CONNECTING;
      m.reconnect_at = now + duration;
    } else {
      m.reconnect_at = std::max(m.reconnect_at, now + duration);
    }
  }
  WakePacer();
  return true;
}

// ---- Room: sending ----

bool Room::Enqueue(Packet p) {
  MediaCounters& counters = p.from->info.counters->media();
  {
    std::lock_guard<std::mutex> lock(in_mu_);
    if (inbound_.size() >= kInboundCapacity) {
      counters.room_queue_drops.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    inbound_.push_back(std::move(p));
  }
  in_cv_.notify_one();
  return true;
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
  std::vector<Packet> batch;
  std::unique_lock<std::mutex> in(in_mu_);
  while (true) {
    const auto deadline = next_deadline_;
    auto ready = [&] { return stop_ || kick_ || !inbound_.empty(); };
    if (deadline == Clock::time_point::max()) {
      in_cv_.wait(in, ready);
    } else {
      in_cv_.wait_until(in, deadline, ready);
    }
    if (stop_) break;
    batch.swap(inbound_);
    kick_ = false;
    in.unlock();
    Clock::time_point next;
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
          const auto* samples = reinterpret_cast<const int16_t*>(f.data());
          const size_t frames = f.size() / (2 * static_cast<size_t>(f.channels));
          const size_t piece = static_cast<size_t>(f.sample_rate) * kAudioPieceMs / 1000;
          for (size_t at = 0; at < frames && p.from->present; at += piece) {
            // Whole milliseconds per piece: the pts of each piece is exact.
            const auto pts = static_cast<uint32_t>(f.pts + at / piece * kAudioPieceMs);
            RouteAudioLocked(p.from, samples + at * f.channels, std::min(piece, frames - at),
                             f.sample_rate, f.channels, pts, now);
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
    in.lock();
    next_deadline_ = next;
  }
}

void Room::RouteLocked(Packet& p, Clock::time_point now) {
  if (!p.from->present) return;  // left while its packet was queued
  switch (p.kind) {
    case Packet::kAudio: {
      const AudioFrame& f = p.audio;
      RouteAudioLocked(p.from, reinterpret_cast<const int16_t*>(f.data()),
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

bool Room::Transit(Member& from, Member& to, Clock::time_point now, Clock::time_point* due,
                   bool reliable) {
  const LinkConditions& a = *from.info.conditions;
  const LinkConditions& b = *to.info.conditions;
  const milliseconds delay{a.delay_ms.load() + b.delay_ms.load()};
  if (!from.connected() || !to.connected()) {
    if (!reliable) {
      to.info.counters->media().disconnected_drops.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    Clock::time_point back = now;
    if (!from.connected()) back = std::max(back, from.reconnect_at);
    if (!to.connected()) back = std::max(back, to.reconnect_at);
    *due = back + delay;
    return true;
  }
  *due = now + delay;
  const double keep = (1.0 - a.loss_ppm.load() / 1e6) * (1.0 - b.loss_ppm.load() / 1e6);
  if (keep >= 1.0) return true;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  if (uniform(rng_) < keep) return true;
  if (!reliable) {
    to.info.counters->media().lost.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  *due += 2 * delay + kRetransmitTimeout;  // resent after the loss is noticed
  return true;
}

template <typename Run>
void Room::At(Clock::time_point due, Clock::time_point now, const std::shared_ptr<Member>& to,
              Run&& run) {
  if (due <= now) {
    run();
    return;
  }
  delayed_.push(Delayed{due, delayed_order_++, to, std::function<void()>(std::forward<Run>(run))});
}

void Room::RouteAudioLocked(const std::shared_ptr<Member>& sender, const int16_t* samples,
                            size_t frames, int rate, int channels, uint32_t pts,
                            Clock::time_point now) {
  Member& from = *sender;
  MemberRoute& route = *from.route;
  for (auto& [key, stream] : route.streams) stream->used = false;
  // Receivers grouped by output format: each format is converted once.
  std::map<FormatKey, std::vector<std::shared_ptr<Member>>> groups;
  for (auto& to : members_)
    if (ReceivesAudio(*to, from)) groups[OutputFormat(*to)].push_back(to);
  for (auto& [format, receivers] : groups) {
    auto& stream = route.streams[format];
    if (!stream || stream->in_rate != rate || stream->in_channels != channels)
      stream = std::make_unique<ConvStream>(rate, channels, format);
    stream->used = true;
    stream->Feed(samples, frames, pts,
                 [&](const std::shared_ptr<const Payload>& pcm, uint32_t block_pts, bool voice) {
                   for (auto& to : receivers)
                     DeliverAudioBlockLocked(to, sender, pcm, format.rate, format.channels,
                                             block_pts, voice, now);
                 });
  }
  std::erase_if(route.streams, [](const auto& e) { return !e.second->used; });
}

void Room::DeliverAudioBlockLocked(const std::shared_ptr<Member>& to_ptr,
                                   const std::shared_ptr<Member>& from_ptr,
                                   const std::shared_ptr<const Payload>& pcm, int rate,
                                   int channels, uint32_t pts, bool voice, Clock::time_point now) {
  Clock::time_point due;
  if (!Transit(*from_ptr, *to_ptr, now, &due, false)) return;
  if (due <= now) {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, rate, channels, pts, voice);
    return;
  }
  At(due, now, to_ptr, [this, to_ptr, from_ptr, pcm, rate, channels, pts, voice] {
    ArriveAudioLocked(*to_ptr, *from_ptr, pcm, rate, channels, pts, voice);
  });
}

void Room::ArriveAudioLocked(Member& t, const Member& from,
                             const std::shared_ptr<const Payload>& pcm, int rate, int channels,
                             uint32_t pts, bool voice) {
  if (!from.present || !t.present) return;
  if (PerUserAudio(t)) {
    AudioFrame frame;
    frame.sample_rate = rate;
    frame.channels = channels;
    frame.pts = pts;
    frame.has_voice = t.info.vad && voice;
    SetFramePayload(frame, pcm);
    t.info.counters->media().audio_received.fetch_add(1, std::memory_order_relaxed);
    PostTo(t, "OnRemoteAudioReceived",
           [user = from.user(), frame = std::move(frame)](VORACloudDelegate& d) {
             d.OnRemoteAudioReceived(user.c_str(), frame);
           });
    return;
  }
  MixInput& input = t.route->mix_inputs[&from];
  if (input.blocks.size() >= kMixInputCapacity) {
    input.blocks.pop_front();
    t.info.counters->media().mixer_drops.fetch_add(1, std::memory_order_relaxed);
  }
  const auto arrival = Clock::now();
  input.blocks.push_back(MixBlock{pcm, pts, arrival});
  input.idle = false;
  MixerPumpLocked(t, arrival);
}

// Emits mixed frames while every sender that is expected has a block, or
// once the oldest waiting block has waited the mixer's wait; senders that
// miss a frame are no longer waited for until they deliver again.
void Room::MixerPumpLocked(Member& to, Clock::time_point now) {
  MemberRoute& r = *to.route;
  r.mix_deadline.reset();
  const FormatKey format = OutputFormat(to);
  const size_t samples = static_cast<size_t>(format.rate) * format.frame_ms / 1000 *
                         static_cast<size_t>(format.channels);
  const milliseconds wait{RouterTuning::Get().mix_wait_ms.load()};
  // Every sender with an open channel is expected until it misses a frame.
  for (auto& from : members_)
    if (ReceivesAudio(to, *from)) r.mix_inputs.try_emplace(from.get());
  while (true) {
    bool any = false;
    bool all = true;
    Clock::time_point oldest = Clock::time_point::max();
    for (auto& [from, input] : r.mix_inputs) {
      if (!input.blocks.empty()) {
        any = true;
        oldest = std::min(oldest, input.blocks.front().arrival);
      } else if (!input.idle) {
        all = false;
      }
    }
    if (!any) return;
    if (!all && now < oldest + wait) {
      r.mix_deadline = oldest + wait;
      return;
    }
    r.mixer.Begin(samples);
    std::optional<uint32_t> pts;
    for (auto& [from, input] : r.mix_inputs) {
      if (input.blocks.empty()) {
        input.idle = true;
        continue;
      }
      const MixBlock& block = input.blocks.front();
      if (block.pcm->data.size() == samples * 2) {
        r.mixer.Add(std::span<const int16_t>(Samples(*block.pcm), samples));
        if (!pts) pts = block.pts;
      }
      input.blocks.pop_front();
    }
    r.mix_out.resize(samples);
    r.mixer.Mix(r.mix_out);
    AudioFrame frame;
    frame.sample_rate = format.rate;
    frame.channels = format.channels;
    frame.pts = pts.value_or(0);
    const bool voice = r.mix_vad.Process(r.mix_out.data(), samples / format.channels,
                                         format.channels, format.rate);
    frame.has_voice = to.info.vad && voice;
    SetFramePayload(frame, MakePcm(r.mix_out.data(), samples));
    MediaCounters& counters = to.info.counters->media();
    counters.audio_received.fetch_add(1, std::memory_order_relaxed);
    counters.mixed_frames.fetch_add(1, std::memory_order_relaxed);
    if (to.info.obtain.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET) {
      if (!to.info.pull->Push(std::move(frame)))
        counters.pull_drops.fetch_add(1, std::memory_order_relaxed);
    } else {
      PostTo(to, "OnRemoteMixedAudioReceived", [frame = std::move(frame)](VORACloudDelegate& d) {
        d.OnRemoteMixedAudioReceived(frame);
      });
    }
  }
}

void Room::RouteVideoLocked(Packet& p, Clock::time_point now) {
  Member& from = *p.from;
  const std::string user = from.user();
  const int type = p.stream;
  for (auto& to : members_) {
    if (to.get() == &from || !to->video_subscribed.count({user, type})) continue;
    Clock::time_point due;
    if (!Transit(from, *to, now, &due, false)) continue;
    auto arrive = [this, to, from_ptr = p.from, user, type, encoded = p.encoded, pixel = p.pixel,
                   sei = p.sei] {
      Member& t = *to;
      if (!from_ptr->present) return;
      MediaCounters& counters = t.info.counters->media();
      const auto st = static_cast<StreamType>(type);
      for (const SeiMessage& s : sei) {
        counters.sei_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, "OnSeiMessageReceived", [user, st, s](VORACloudDelegate& d) {
          d.OnSeiMessageReceived(user.c_str(), st, s.type, s.bytes.data(), s.bytes.size());
        });
      }
      if (static_cast<bool>(pixel) != t.info.pixel_output) {
        // No codec in this engine: the form sent is the only form available.
        counters.undecodable_drops.fetch_add(1, std::memory_order_relaxed);
        if (t.route->told_undecodable.insert({user, type}).second)
          PostTo(t, "OnError", [](VORACloudDelegate& d) { d.OnError(ERR_NOT_SUPPORTED); });
        return;
      }
      if (encoded) {
        auto key = std::make_pair(user, type);
        if (t.route->need_key.count(key)) {
          if (!encoded->is_key_frame) {
            counters.waiting_key_drops.fetch_add(1, std::memory_order_relaxed);
            return;
          }
          t.route->need_key.erase(key);
        }
        counters.video_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, "OnRemoteVideoFrameReceived", [user, st, f = *encoded](VORACloudDelegate& d) {
          d.OnRemoteVideoReceived(user.c_str(), st, f);
        });
      } else {
        counters.video_received.fetch_add(1, std::memory_order_relaxed);
        PostTo(t, "OnRemotePixelFrameReceived", [user, st, f = *pixel](VORACloudDelegate& d) {
          d.OnRemoteVideoReceived(user.c_str(), st, f);
        });
      }
    };
    At(due, now, to, std::move(arrive));
  }
}

void Room::RouteMessageLocked(Packet& p, Clock::time_point now) {
  Member& from = *p.from;
  const std::string user = from.user();
  const auto key = std::make_pair(user, p.cmd);
  for (auto& to : members_) {
    if (to.get() == &from) continue;
    Clock::time_point due;
    if (!Transit(from, *to, now, &due, p.reliable)) {
      to->route->pending_miss[key]++;
      to->info.counters->media().missed_messages.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (p.ordered) {
      auto& last = to->route->ordered_due[key];
      due = std::max(due, last);
      last = due;
    }
    auto arrive = [this, to, from_ptr = p.from, user, key, cmd = p.cmd, seq = p.seq,
                   bytes = p.bytes] {
      Member& t = *to;
      if (!from_ptr->present) return;
      auto miss = t.route->pending_miss.find(key);
      if (miss != t.route->pending_miss.end()) {
        const uint32_t missed = miss->second;
        t.route->pending_miss.erase(miss);
        PostTo(t, "OnMissCustomCmdMsg", [user, cmd, missed](VORACloudDelegate& d) {
          d.OnMissCustomCmdMsg(user.c_str(), static_cast<int32_t>(cmd), 0, missed);
        });
      }
      t.info.counters->media().messages_received.fetch_add(1, std::memory_order_relaxed);
      PostTo(t, "OnReceiveCustomCmdMsg", [user, cmd, seq, bytes](VORACloudDelegate& d) {
        d.OnReceiveCustomCmdMsg(user.c_str(), static_cast<int32_t>(cmd), seq, bytes.data(),
                                bytes.size());
      });
    };
    At(due, now, to, std::move(arrive));
  }
}

void Room::QualityTickLocked(Member& m) {
  NetworkQualityInfo local;
  local.user_id = m.user().c_str();
  local.quality = Grade(m);
  std::vector<std::pair<std::string, NetworkQuality>> remotes;
  for (auto& other : members_)
    if (other.get() != &m && other->visible()) remotes.emplace_back(other->user(), Grade(*other));
  PostTo(m, "OnNetworkQuality",
         [user = m.user(), grade = local.quality, remotes](VORACloudDelegate& d) {
           NetworkQualityInfo mine;
           mine.user_id = user.c_str();
           mine.quality = grade;
           std::vector<NetworkQualityInfo> infos(remotes.size());
           for (size_t i = 0; i < remotes.size(); ++i) {
             infos[i].user_id = remotes[i].first.c_str();
             infos[i].quality = remotes[i].second;
           }
           d.OnNetworkQuality(&mine, infos.data(), infos.size());
         });
}

void Room::TimersLocked(Clock::time_point now) {
  // Reconnections first: what was held back for a member arrives after it is
  // connected again.
  for (auto& m : members_) {
    if (m->connection == CONNECTION_STATE_CONNECTING && m->reconnect_at <= now) {
      m->connection = CONNECTION_STATE_CONNECTED;
      PostTo(*m, "OnConnectionStateChanged", [](VORACloudDelegate& d) {
        d.OnConnectionStateChanged(CONNECTION_STATE_CONNECTING, CONNECTION_STATE_CONNECTED);
      });
    }
  }
  // Continuous audio due now.
  for (size_t i = 0; i < members_.size(); ++i) {
    std::shared_ptr<Member> m = members_[i];
    if (!m->audio_open || !m->pacer) continue;
    uint32_t pts = 0;
    std::shared_ptr<Pacer> pacer = m->pacer;
    while (m->present && m->audio_open && pacer->PopDue(now, scratch_, &pts)) {
      m->info.counters->media().audio_sent.fetch_add(1, std::memory_order_relaxed);
      RouteAudioLocked(m, scratch_.data(), scratch_.size() / pacer->channels(),
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
    if (m->route->mix_deadline && *m->route->mix_deadline <= now) MixerPumpLocked(*m, now);
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
    if (m->route->mix_deadline) next = std::min(next, *m->route->mix_deadline);
    if (m->connection == CONNECTION_STATE_CONNECTING) next = std::min(next, m->reconnect_at);
    next = std::min(next, m->route->next_quality);
  }
  return next;
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
