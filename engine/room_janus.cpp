// The Janus backend: one net::JanusRoomSession per member, and the adapter
// that turns its events into the member's callbacks (room_janus.h).
#include "room_janus.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "audio_convert.h"
#include "audio_receive.h"
#include "janus_room.h"
#include "log.h"
#include "no_destroy.h"
#include "room_events.h"
#include "settings.h"

namespace corvel::engine {

using namespace corvel::vora;
using std::chrono::milliseconds;

namespace {

const char* EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// "MIN-MAX" into the options' port range; false (and nothing set) otherwise.
bool ParsePorts(const char* text, net::JanusRoomOptions& options) {
  unsigned lo = 0;
  unsigned hi = 0;
  char extra = 0;
  if (std::sscanf(text, "%u-%u%c", &lo, &hi, &extra) != 2 || lo == 0 || hi < lo || hi > 65535)
    return false;
  options.port_min = static_cast<uint16_t>(lo);
  options.port_max = static_cast<uint16_t>(hi);
  return true;
}

NetworkQuality GradeOf(const net::Quality& q) {
  const double loss = std::max(q.loss_percent, 0.0);
  const double delay = std::max({q.jitter_ms * 3, q.rtt_ms / 2, 0.0});
  if (loss < 1 && delay <= 100) return NETWORK_QUALITY_EXCELLENT;
  if (loss < 3 && delay <= 200) return NETWORK_QUALITY_GOOD;
  if (loss < 8 && delay <= 400) return NETWORK_QUALITY_POOR;
  if (loss < 20 && delay <= 800) return NETWORK_QUALITY_BAD;
  return NETWORK_QUALITY_VERY_BAD;
}

int ExitReason(net::LeaveReason reason) {
  switch (reason) {
    case net::LeaveReason::kLeft:
      return kExitReasonLeft;
    case net::LeaveReason::kLost:
      return kExitReasonDropped;
    case net::LeaveReason::kKicked:
    case net::LeaveReason::kDestroyed:
      return kExitReasonRemoved;
  }
  return kExitReasonLeft;
}

// The engine's video stream types and the session's streams.
std::optional<net::VideoStream> StreamOf(int type) {
  switch (type) {
    case STREAM_TYPE_VIDEO_HIGH:
      return net::VideoStream::kHigh;
    case STREAM_TYPE_VIDEO_LOW:
      return net::VideoStream::kLow;
    case STREAM_TYPE_VIDEO_AUX:
      return net::VideoStream::kAux;
    default:
      return std::nullopt;
  }
}

int TypeOf(net::VideoStream stream) {
  switch (stream) {
    case net::VideoStream::kHigh:
      return STREAM_TYPE_VIDEO_HIGH;
    case net::VideoStream::kLow:
      return STREAM_TYPE_VIDEO_LOW;
    case net::VideoStream::kAux:
      return STREAM_TYPE_VIDEO_AUX;
  }
  return STREAM_TYPE_VIDEO_HIGH;
}

// A SEI message on the wire: its type (4 bytes, little endian), then its
// bytes, in one SEI NAL unit of ours.
std::vector<uint8_t> SeiOnWire(const SeiMessage& sei) {
  std::vector<uint8_t> out(4 + sei.bytes.size());
  const auto type = static_cast<uint32_t>(sei.type);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(type >> (8 * i));
  std::copy(sei.bytes.begin(), sei.bytes.end(), out.begin() + 4);
  return out;
}

// The error a session end is reported with.
int EndError(int code, bool entered) {
  if (code == net::kRoomKicked) return ERR_BANNED_BY_SERVER;
  if (code == net::kRoomDestroyedError) return ERR_SERVER_PROCESS_FAILED;
  if (!entered && code > 0) return ERR_ENTER_ROOM_FAILED;  // the server refused
  return ERR_NETWORK_UNREACHABLE;
}

class JanusSession final : public RoomSession, public net::JanusRoomEvents {
 public:
  JanusSession(const RoomKey& key, MemberSpec spec, MemberSink& sink, net::JanusRoomOptions options)
      : key_(key),
        spec_(std::move(spec)),
        sink_(sink),
        receiver_(spec_.obtain, spec_.vad, spec_.counters, spec_.pull) {
    net_ = std::make_unique<net::JanusRoomSession>(std::move(options), *this);
  }

  ~JanusSession() override {
    Close();
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_clock_ = true;
    }
    clock_cv_.notify_all();
    if (clock_.joinable()) clock_.join();
    net_->Stop();  // bounded (about 2 s against a hung server); nothing once ended
  }

  void Start() {
    clock_ = std::thread([this] { ClockMain(); });
    if (const int e = net_->Start(); e != 0) {
      std::lock_guard<std::mutex> lock(mu_);
      EndLocked(ERR_ENTER_ROOM_FAILED);
    }
  }

  // ---- RoomSession ----
  bool Leave(int /*reason*/, ConnectionState* state) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (state) *state = connection_;
    const bool was = !closed_;
    closed_ = true;
    pacer_.reset();
    return was && !evicted_;
  }
  bool Evicted() const override { return evicted_.load(); }
  void Evict(int /*reason*/, int error) override {
    std::lock_guard<std::mutex> lock(mu_);
    EndLocked(error);
  }

  std::shared_ptr<Pacer> OpenAudio(const AudioEncodeParams& params) override {
    std::lock_guard<std::mutex> lock(mu_);
    audio_open_ = true;
    pacer_ = std::make_shared<Pacer>(params.sample_rate, params.channels, params.frame_length_ms);
    return pacer_;
  }
  void CloseAudio() override {
    std::lock_guard<std::mutex> lock(mu_);
    audio_open_ = false;
    pacer_.reset();
  }
  void OpenVideo(int type) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      video_open_.insert(type);
    }
    if (auto stream = StreamOf(type)) net_->SetVideoLive(*stream, true);
  }
  void CloseVideo(int type) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      video_open_.erase(type);
    }
    if (auto stream = StreamOf(type)) net_->SetVideoLive(*stream, false);
  }
  void SetSubscription(const std::string& user, int type, bool on) override {
    if (auto stream = StreamOf(type)) {
      if (on) {
        net_->Subscribe(user, *stream);
      } else {
        net_->Unsubscribe(user, *stream);
      }
      return;
    }
    if (type != STREAM_TYPE_AUDIO) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (on) {
      audio_off_.erase(user);
    } else {
      audio_off_.insert(user);
      if (auto it = users_.find(user); it != users_.end()) receiver_.Forget(&it->second);
    }
  }
  void SetVad(bool on) override {
    std::lock_guard<std::mutex> lock(mu_);
    receiver_.set_vad(on);
  }
  void SetEncodeParam(int /*type*/, const VideoEncodeParams& /*params*/) override {}

  bool SendAudio(const AudioFrame& frame) override {
    const size_t frames = frame.size() / (2 * static_cast<size_t>(std::max(frame.channels, 1)));
    return net_->SendPcm(reinterpret_cast<const int16_t*>(frame.data()), frames, frame.sample_rate,
                         frame.channels) >= 0;
  }
  void PacerStarted() override { clock_cv_.notify_all(); }
  // H.264 access units go as they are; pixel frames and H.265 cannot
  // (this engine has no video encoder, and the room carries H.264).
  bool SendVideo(int type, const VideoFrame* encoded, const PixelFrame* /*pixel*/,
                 std::vector<SeiMessage> sei) override {
    const auto stream = StreamOf(type);
    if (!stream || !encoded || encoded->codec != VIDEO_CODEC_TYPE_H264) {
      spec_.counters->media().undecodable_drops.fetch_add(1, std::memory_order_relaxed);
      if (!video_warned_.exchange(true))
        LOG_WARNING("janus room %s: only H.264 frames are carried on a Janus server (dropped)",
                    key_.Describe().c_str());
      return false;
    }
    std::vector<std::vector<uint8_t>> wire;
    wire.reserve(sei.size());
    for (const SeiMessage& s : sei) wire.push_back(SeiOnWire(s));
    const uint32_t pts90k = encoded->pts * 90u;
    return net_->SendVideo(*stream, {encoded->data(), encoded->size()}, pts90k, wire) > 0;
  }
  bool SendMessage(uint32_t cmd, uint32_t seq, std::string bytes, bool /*reliable*/,
                   bool /*ordered*/) override {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    return net_->SendMessage(cmd, seq, {data, bytes.size()}) == 1;
  }

  void ConditionsChanged() override {}
  bool Disconnect(milliseconds /*duration*/) override { return false; }
  void Describe(void (*visit)(void*, const corvel_room*), void* context) override {
    corvel_room_member member{};
    std::vector<int> video;
    corvel_room room{};
    {
      std::lock_guard<std::mutex> lock(mu_);
      video.assign(video_open_.begin(), video_open_.end());
      member.id = spec_.instance_id;
      member.user_id = spec_.user_id.data();
      member.user_id_size = spec_.user_id.size();
      member.role = spec_.role;
      member.connection = connection_;
      member.audio = audio_open_;
      member.video = video.data();
      member.video_count = video.size();
      member.pacing_ms = static_cast<int64_t>(pacer_ ? pacer_->QueuedMs() : 0);
    }
    room.sdk_app_id = key_.app;
    room.room_id = key_.id.data();
    room.room_id_size = key_.id.size();
    room.text_id = key_.text;
    room.members = &member;
    room.member_count = 1;
    visit(context, &room);
  }

  // ---- net::JanusRoomEvents (the session's threads) ----
  void OnConnection(net::ConnectionState state, int code, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    switch (state) {
      case net::ConnectionState::kConnecting:
        break;
      case net::ConnectionState::kConnected:
        if (entered_ && connection_ == CONNECTION_STATE_CONNECTING) {
          LOG_INFO("janus room %s: %s reconnected", key_.Describe().c_str(), spec_.user_id.c_str());
          SetConnectionLocked(CONNECTION_STATE_CONNECTED);
        }
        break;  // the first time: OnJoined follows
      case net::ConnectionState::kReconnecting:
        LOG_WARNING("janus room %s: %s reconnecting: %s", key_.Describe().c_str(),
                    spec_.user_id.c_str(), text.c_str());
        // As the loopback rooms report a lost link: down, then trying again.
        if (connection_ == CONNECTION_STATE_CONNECTED) {
          SetConnectionLocked(CONNECTION_STATE_DISCONNECTED);
          SetConnectionLocked(CONNECTION_STATE_CONNECTING);
        }
        break;
      case net::ConnectionState::kDisconnected:
        LOG_WARNING("janus room %s: %s disconnected (%d): %s", key_.Describe().c_str(),
                    spec_.user_id.c_str(), code, text.c_str());
        EndLocked(EndError(code, entered_));
        break;
    }
  }

  void OnJoined(const std::vector<std::string>& users) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    entered_ = true;
    connection_ = CONNECTION_STATE_CONNECTED;
    std::vector<Task> tasks = room_events::Entered();
    for (const std::string& user : users) {
      users_.try_emplace(user);
      tasks.push_back(room_events::UserEntered(user));
    }
    sink_.Deliver(tasks);
  }

  void OnUserJoined(const std::string& user) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    users_.try_emplace(user);
    sink_.Deliver(room_events::UserEntered(user));
  }

  void OnUserLeft(const std::string& user, net::LeaveReason reason) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    if (auto it = users_.find(user); it != users_.end()) {
      receiver_.Forget(&it->second);
      users_.erase(it);
    }
    quality_.erase(user);
    std::erase_if(undecodable_, [&](const auto& told) { return told.first == user; });
    sink_.Deliver(room_events::UserLeft(user, ExitReason(reason)));
  }

  void OnUserAudioAvailable(const std::string& user, bool available) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    User& u = users_[user];
    if (u.audio == available) return;
    u.audio = available;
    if (!available) {
      receiver_.Forget(&u);
      u.conversions.Clear();
    }
    sink_.Deliver(room_events::AudioAvailable(user, available));
  }

  void OnAudio(const std::string& user, const int16_t* pcm, size_t frames, int rate, int channels,
               uint32_t rtp_timestamp) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated() || audio_off_.count(user)) return;
    User& u = users_[user];
    const auto now = Clock::now();
    std::vector<Task> out;
    u.conversions.Begin();
    u.conversions.For(receiver_.format(), rate, channels)
        .Feed(nullptr, pcm, frames, rtp_timestamp / 48, receiver_.vad(),
              [&](const PayloadPtr& block, uint32_t pts, bool voice) {
                receiver_.Arrive(&u, user, block, pts, voice, now, out);
              });
    u.conversions.End();
    if (receiver_.mixes()) PumpLocked(now, out);
    if (!out.empty()) sink_.Deliver(out);
  }

  void OnMessage(const std::string& user, uint32_t cmd, uint32_t seq,
                 std::span<const uint8_t> bytes) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    uint32_t& last = users_[user].last_seq[cmd];
    std::vector<Task> out;
    // A later sequence number than the next one: the datagrams between were
    // lost. A lower one: the sender entered again and counts afresh.
    if (last != 0 && seq > last + 1) {
      const uint32_t missed = seq - last - 1;
      spec_.counters->media().missed_messages.fetch_add(missed, std::memory_order_relaxed);
      out.push_back(room_events::MissedMessages(user, cmd, missed));
    }
    last = seq;
    spec_.counters->media().messages_received.fetch_add(1, std::memory_order_relaxed);
    out.push_back(room_events::Message(
        user, cmd, seq, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    sink_.Deliver(out);
  }

  void OnUserVideoAvailable(const std::string& user, net::VideoStream stream,
                            bool available) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    sink_.Deliver(room_events::VideoAvailable(user, TypeOf(stream), available));
  }

  void OnSei(const std::string& user, net::VideoStream stream,
             std::span<const uint8_t> message) override {
    if (message.size() < 4) return;  // not one of ours
    SeiMessage sei;
    for (int i = 0; i < 4; ++i)
      sei.type |= static_cast<int>(static_cast<uint32_t>(message[i]) << (8 * i));
    sei.bytes.assign(message.begin() + 4, message.end());
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated() || spec_.pixel_output) return;
    spec_.counters->media().sei_received.fetch_add(1, std::memory_order_relaxed);
    sink_.Deliver(room_events::Sei(user, TypeOf(stream), std::move(sei)));
  }

  void OnVideo(const std::string& user, net::VideoStream stream,
               std::span<const uint8_t> access_unit, uint32_t pts90k, bool key_frame) override {
    const int type = TypeOf(stream);
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    if (spec_.pixel_output) {
      // As on loopback: a form the member cannot take, said once per stream.
      spec_.counters->media().undecodable_drops.fetch_add(1, std::memory_order_relaxed);
      if (undecodable_.insert({user, type}).second)
        sink_.Deliver(room_events::Error(ERR_NOT_SUPPORTED));
      return;
    }
    VideoFrame frame;
    frame.pts = pts90k / 90u;
    frame.dts = frame.pts;
    frame.is_key_frame = key_frame;
    frame.codec = VIDEO_CODEC_TYPE_H264;
    frame.SetData(access_unit.data(), access_unit.size());
    spec_.counters->media().video_received.fetch_add(1, std::memory_order_relaxed);
    sink_.Deliver(room_events::RemoteVideo(user, type, std::move(frame)));
  }

  void OnKeyFrameRequested(net::VideoStream stream) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated() || !video_open_.count(TypeOf(stream))) return;
    sink_.Deliver(room_events::KeyFrameRequested(TypeOf(stream)));
  }

  void OnBitrateRequested(net::VideoStream stream, uint64_t bps) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated() || !video_open_.count(TypeOf(stream))) return;
    const int capped = static_cast<int>(std::min<uint64_t>(bps, INT32_MAX));
    sink_.Deliver(room_events::BitrateRequested(TypeOf(stream), capped));
  }

  void OnQuality(const std::string& user, const net::Quality& quality) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (Gated()) return;
    if (!user.empty()) {
      if (users_.count(user)) quality_[user] = GradeOf(quality);
      return;
    }
    // Ourselves come last in a round: report the round.
    const NetworkQuality mine =
        connection_ == CONNECTION_STATE_CONNECTED ? GradeOf(quality) : NETWORK_QUALITY_DOWN;
    std::vector<std::pair<std::string, NetworkQuality>> remotes(quality_.begin(), quality_.end());
    sink_.Deliver(room_events::NetworkQuality(spec_.user_id, mine, std::move(remotes)));
  }

 private:
  struct User {
    bool audio = false;
    AudioConversions conversions;           // its audio in our output format
    std::map<uint32_t, uint32_t> last_seq;  // per cmd_id
  };

  // No callback once the instance left or the session ended.
  bool Gated() const { return closed_ || evicted_; }

  void SetConnectionLocked(ConnectionState to) {
    if (connection_ == to) return;
    sink_.Deliver(room_events::ConnectionChanged(connection_, to));
    connection_ = to;
  }

  // The server ended the session (or never let us in): its teardown
  // callbacks, then the gate closes and the clock thread stops the network
  // session.
  void EndLocked(int error) {
    if (Gated()) return;
    std::vector<Task> end = room_events::SessionEnd(error, audio_open_, video_open_, connection_);
    sink_.Deliver(end);
    connection_ = CONNECTION_STATE_DISCONNECTED;
    evicted_ = true;
    pacer_.reset();
    clock_cv_.notify_all();
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    pacer_.reset();
  }

  void PumpLocked(Clock::time_point now, std::vector<Task>& out) {
    for (auto& [name, u] : users_)
      if (u.audio && !audio_off_.count(name)) receiver_.Expect(&u);
    receiver_.Pump(now, out);
  }

  // Continuous audio out on its frame clock, the mixer's wait for a late
  // sender, and the network teardown once the server ended the session.
  void ClockMain() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_clock_) {
      if (evicted_ && !net_stopped_) {
        net_stopped_ = true;
        lock.unlock();
        net_->Stop();
        lock.lock();
        continue;
      }
      if (Gated()) {
        clock_cv_.wait(lock);
        continue;
      }
      auto wake = Clock::now() + milliseconds(200);
      std::shared_ptr<Pacer> pacer = pacer_;
      if (pacer) {
        const auto now = Clock::now();
        lock.unlock();
        uint32_t pts = 0;
        while (PayloadPtr frame = pacer->PopDue(now, &pts)) {
          const size_t samples = frame->data.size() / 2;
          const size_t frames = samples / static_cast<size_t>(pacer->channels());
          net_->SendPcm(Samples(*frame), frames, pacer->sample_rate(), pacer->channels());
          spec_.counters->media().audio_sent.fetch_add(1, std::memory_order_relaxed);
        }
        if (auto next = pacer->NextDue()) wake = std::min(wake, *next);
        lock.lock();
        if (Gated()) continue;
      }
      if (receiver_.mixes()) {
        if (auto due = receiver_.deadline()) {
          const auto now = Clock::now();
          if (*due <= now) {
            std::vector<Task> out;
            PumpLocked(now, out);
            if (!out.empty()) sink_.Deliver(out);
          } else {
            wake = std::min(wake, *due);
          }
        }
      }
      clock_cv_.wait_until(lock, wake);
    }
  }

  const RoomKey key_;
  const MemberSpec spec_;
  MemberSink& sink_;
  std::unique_ptr<net::JanusRoomSession> net_;

  std::mutex mu_;
  std::condition_variable clock_cv_;
  bool closed_ = false;
  std::atomic<bool> evicted_{false};
  bool entered_ = false;
  bool stop_clock_ = false;
  bool net_stopped_ = false;
  std::atomic<bool> video_warned_{false};
  std::set<std::pair<std::string, int>> undecodable_;  // (user, type) told ERR_NOT_SUPPORTED
  ConnectionState connection_ = CONNECTION_STATE_CONNECTING;
  bool audio_open_ = false;
  std::shared_ptr<Pacer> pacer_;
  std::set<int> video_open_;
  std::set<std::string> audio_off_;
  std::map<std::string, User> users_;
  std::map<std::string, NetworkQuality> quality_;
  AudioReceiver receiver_;
  std::thread clock_;
};

}  // namespace

JanusBackend& JanusBackend::Get() {
  static NoDestroy<JanusBackend> backend;  // lives for the process
  return backend.get();
}

uint64_t JanusBackend::RoomNumber(const RoomKey& key) {
  if (!key.text) return std::strtoull(key.id.c_str(), nullptr, 10);
  uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (unsigned char c : key.id) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  constexpr uint64_t kFirst = uint64_t{1} << 32;
  constexpr uint64_t kEnd = uint64_t{1} << 53;
  return kFirst + hash % (kEnd - kFirst);
}

std::shared_ptr<RoomSession> JanusBackend::Enter(const RoomKey& key, MemberSpec spec,
                                                 MemberSink& sink) {
  net::JanusRoomOptions options;
  options.url = CurrentJanusUrl().value_or("http://127.0.0.1:8088/janus");
  options.room = RoomNumber(key);
  options.user_id = spec.user_id;
  options.bind_ip = EnvOr("CORVEL_JANUS_BIND_IP", "127.0.0.1");
  options.forward_host = EnvOr("CORVEL_JANUS_FORWARD_HOST", "");
  if (const char* ports = std::getenv("CORVEL_JANUS_PORTS"); ports && !ParsePorts(ports, options))
    LOG_WARNING("CORVEL_JANUS_PORTS=%s is not MIN-MAX: ephemeral ports", ports);
  options.receive_channels = std::clamp(spec.obtain.output_channels, 1, 2);
  // Every video stream is declared, shown to the room while its channel is open.
  options.video_streams = {net::VideoStream::kHigh, net::VideoStream::kLow, net::VideoStream::kAux};
  options.video_live_at_start = false;
  const uint32_t interval = RouterTuning::Get().quality_interval_ms.load();
  options.quality_interval_ms = interval ? static_cast<int>(interval) : 2000;
  LOG_INFO("janus room %s (VideoRoom %llu on %s): %s enters from %s", key.Describe().c_str(),
           static_cast<unsigned long long>(options.room), options.url.c_str(), spec.user_id.c_str(),
           options.bind_ip.c_str());
  auto session = std::make_shared<JanusSession>(key, std::move(spec), sink, std::move(options));
  session->Start();
  return session;
}

void JanusBackend::VisitRooms(void (*)(void*, const corvel_room*), void*) {}

}  // namespace corvel::engine
