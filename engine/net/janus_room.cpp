#include "janus_room.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "audio_dsp.h"
#include "h264.h"
#include "janus_client.h"
#include "jitter_buffer.h"
#include "opus_codec.h"
#include "rtp.h"
#include "udp_socket.h"

namespace corvel::net {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using json = nlohmann::json;

constexpr int kFrameMs = 20;
constexpr int kFrameSamples = opus::kSampleRate / 1000 * kFrameMs;  // 960
constexpr uint8_t kOpusPt = 111;
constexpr uint8_t kBinaryDataPt = 1;      // Janus: PT 0 is text, anything else binary
constexpr uint8_t kEnvelopeMagic = 0xC7;  // version bits 3: never an RTP packet
constexpr uint8_t kEnvelopeVersion = 1;
constexpr size_t kEnvelopeHeader = 11;
constexpr size_t kRtpHeader = 12;
constexpr int kAudioMindex = 0;
constexpr int kDataMindex = 1;
constexpr int kFirstVideoMindex = 2;  // video streams follow audio and data
constexpr milliseconds kFirstBackoff{250};
constexpr milliseconds kMaxBackoff{4000};
constexpr milliseconds kRetryTick{500};      // forwards refused for now are retried this often
constexpr milliseconds kRefreshEvery{3000};  // the members checked against Janus' list

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The IPv4 address of the URL's host (a literal, or resolved).
std::optional<std::string> url_host_ipv4(const std::string& url) {
  size_t begin = url.find("://");
  begin = begin == std::string::npos ? 0 : begin + 3;
  size_t end = url.find_first_of(":/", begin);
  std::string host = url.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  if (host.empty()) return std::nullopt;
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) return host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return std::string(text);
}

bool is_connection_error(const Error& e) {
  switch (e.code) {
    case kJanusTransport:
    case kJanusTimeout:
    case kJanusHttp:
    case kJanusBadJson:
    case kJanusProtocol:
    case kJanusNoSession:
    case kJanusNoSuchSession:
    case 459:  // no such handle: the session was recreated under us
      return true;
    default:
      return false;
  }
}

Error step_error(const char* step, const Error& e) {
  return {e.code, std::string(step) + ": " + e.text};
}

}  // namespace

size_t max_message_bytes(size_t sender_bytes) {
  const size_t overhead = kRtpHeader + kEnvelopeHeader + sender_bytes;
  return overhead >= kMaxDatagramBytes ? 0 : kMaxDatagramBytes - overhead;
}

const char* connection_state_name(ConnectionState state) {
  switch (state) {
    case ConnectionState::kConnecting:
      return "connecting";
    case ConnectionState::kConnected:
      return "connected";
    case ConnectionState::kReconnecting:
      return "reconnecting";
    case ConnectionState::kDisconnected:
      return "disconnected";
  }
  return "?";
}

const char* video_stream_name(VideoStream stream) {
  switch (stream) {
    case VideoStream::kHigh:
      return "high";
    case VideoStream::kLow:
      return "low";
    case VideoStream::kAux:
      return "aux";
  }
  return "?";
}

const char* leave_reason_name(LeaveReason reason) {
  switch (reason) {
    case LeaveReason::kLeft:
      return "left";
    case LeaveReason::kKicked:
      return "kicked";
    case LeaveReason::kLost:
      return "lost";
    case LeaveReason::kDestroyed:
      return "destroyed";
  }
  return "?";
}

void append_message_envelope(uint32_t cmd_id, uint32_t seq, const std::string& sender,
                             std::span<const uint8_t> bytes, std::vector<uint8_t>& out) {
  const size_t sender_size = std::min(sender.size(), kMaxSenderBytes);
  out.push_back(kEnvelopeMagic);
  out.push_back(kEnvelopeVersion);
  put32(out, cmd_id);
  put32(out, seq);
  out.push_back(static_cast<uint8_t>(sender_size));
  out.insert(out.end(), sender.begin(), sender.begin() + static_cast<ptrdiff_t>(sender_size));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

bool parse_message_envelope(std::span<const uint8_t> data, MessageEnvelope& out) {
  if (data.size() < kEnvelopeHeader || data[0] != kEnvelopeMagic || data[1] != kEnvelopeVersion)
    return false;
  const size_t sender_size = data[10];
  if (sender_size > kMaxSenderBytes || data.size() < kEnvelopeHeader + sender_size) return false;
  out.cmd_id = get32(&data[2]);
  out.seq = get32(&data[6]);
  out.sender.assign(reinterpret_cast<const char*>(&data[kEnvelopeHeader]), sender_size);
  out.bytes = data.subspan(kEnvelopeHeader + sender_size);
  return true;
}

// ---- the session ---------------------------------------------------------------

namespace {

// One other user's media forwarded to us: shared by the control thread
// (creates and drops it), the receive thread (pushes) and the playout
// thread (pops and decodes).
struct MediaLink {
  std::string user;
  uint64_t publisher_id = 0;
  std::vector<uint64_t> stream_ids;  // Janus' forwarders, to stop them
  std::optional<UdpSocket> audio;
  std::optional<UdpSocket> data;

  std::mutex mutex;  // jitter buffer and statistics
  JitterBuffer jitter;
  ReceptionStats stats;
  int64_t quality_lost = 0;  // cumulative figures at the last quality report
  uint64_t quality_received = 0;

  std::optional<opus::Decoder> decoder;  // playout thread only

  explicit MediaLink(const JitterBufferConfig& config) : jitter(config) {}
};

// One video stream of another user forwarded to us while we subscribe to
// it. The control thread makes it and drops it; the receive thread owns
// the reassembly state; RequestKeyFrame() only sends on `rtcp`.
struct VideoLink {
  std::string user;
  VideoStream stream = VideoStream::kHigh;
  uint64_t publisher_id = 0;
  std::string mid;
  uint64_t stream_id = 0;  // Janus' forwarder
  std::optional<UdpSocket> rtp;
  std::optional<UdpSocket> rtcp;       // Janus latches its RTCP to this one
  std::optional<Endpoint> janus_rtcp;  // where Janus reads our PLI/FIR for this forward

  // Receive thread only.
  h264::Depacketizer depacketizer;
  std::atomic<uint32_t> media_ssrc{0};
  bool got_packet = false;
  Clock::time_point last_request{};
};

// The mid of the user's H.264 stream `stream`: by our description, else
// (a publisher that describes none) the n-th video stream.
std::optional<std::string> video_mid(const std::vector<PublishedStream>& streams,
                                     VideoStream stream) {
  auto usable = [](const PublishedStream& s) {
    return s.type == "video" && !s.disabled && (s.codec.empty() || s.codec == "h264");
  };
  bool described = false;
  for (const PublishedStream& s : streams) {
    if (s.type != "video") continue;
    for (int i = 0; i < kVideoStreams; ++i)
      described |= s.description == video_stream_name(static_cast<VideoStream>(i));
    if (s.description == video_stream_name(stream))
      return usable(s) ? std::optional(s.mid) : std::nullopt;
  }
  if (described) return std::nullopt;
  int n = 0;
  for (const PublishedStream& s : streams) {
    if (s.type != "video") continue;
    if (n++ == static_cast<int>(stream)) return usable(s) ? std::optional(s.mid) : std::nullopt;
  }
  return std::nullopt;
}

// A participant of the room other than ourselves, as the events tell it.
struct Member {
  std::string user;
  bool media = false;     // carries media: a remote publisher of ours, or a publishing browser
  bool observer = false;  // counts as the user's presence
  bool remote = false;    // a remote publisher (display with kMediaSuffix)
  std::vector<PublishedStream> streams;
  uint64_t order = 0;  // the newest media of a user wins
};

struct PollBatch {
  uint64_t generation = 0;
  std::vector<json> events;
  Error error;
};

}  // namespace

struct JanusRoomSession::Impl {
  Impl(JanusRoomOptions o, JanusRoomEvents& e) : options(std::move(o)), events(e) {}

  JanusRoomOptions options;
  JanusRoomEvents& events;
  std::string media_display;
  std::string forward_host;
  std::string server_ip;
  JitterBufferConfig jitter_config;

  std::atomic<ConnectionState> state{ConnectionState::kDisconnected};
  bool started = false;  // under queue_mutex

  // Control queue: poll results for the control thread; `stopping` wakes it.
  std::mutex queue_mutex;
  std::condition_variable queue_cv;
  std::deque<PollBatch> queue;
  bool stopping = false;
  Clock::time_point stop_deadline;
  // Video subscriptions (under queue_mutex); `control_wake` makes the
  // control thread look at them.
  std::set<std::pair<std::string, VideoStream>> subscriptions;
  std::set<VideoStream> video_live;  // our streams others may see (SetVideoLive)
  bool control_wake = false;

  // Poller target.
  std::mutex poll_mutex;
  std::condition_variable poll_cv;
  std::shared_ptr<JanusClient> poll_client;
  uint64_t poll_generation = 0;  // 0: nothing to poll
  bool poll_stop = false;

  // Media links, for the receive and playout threads.
  std::mutex links_mutex;
  std::vector<std::shared_ptr<MediaLink>> links;
  std::vector<std::shared_ptr<VideoLink>> video_links;
  uint64_t links_generation = 0;
  int wake_fd = -1;  // eventfd: the receive thread rebuilds its poll set
  std::atomic<bool> media_stop{false};
  std::mutex playout_mutex;
  std::condition_variable playout_cv;

  // Send path.
  mutable std::mutex send_mutex;
  std::optional<UdpSocket> send_socket;
  std::optional<Endpoint> media_dest;
  std::optional<opus::Encoder> encoder;
  std::optional<engine::Resampler> resampler;
  std::vector<int16_t> pending;  // 48 kHz samples waiting for a whole frame
  uint16_t audio_seq = 0;
  uint16_t data_seq = 0;
  uint32_t audio_ts = 0;
  std::atomic<uint32_t> last_ts{0};
  std::atomic<uint64_t> packets_sent{0};
  std::atomic<double> rtt_ms{-1};
  std::vector<h264::Packetizer> packetizers;  // one per options.video_streams entry

  // Control thread only.
  std::shared_ptr<JanusClient> client;
  std::optional<VideoRoom> room;
  uint64_t observer_id = 0;
  uint64_t own_publisher_id = 0;
  uint64_t generation = 0;
  std::map<uint64_t, Member> members;
  uint64_t member_order = 0;
  std::set<std::string> reported;  // users reported present to the sink
  std::map<std::string, std::shared_ptr<MediaLink>> user_links;
  std::map<std::pair<std::string, VideoStream>, std::shared_ptr<VideoLink>> user_video;
  std::map<std::string, std::set<VideoStream>> video_reported;  // OnUserVideoAvailable(true) given
  std::map<std::string, LeaveReason> leave_reasons;
  std::set<uint64_t> removed_stale;  // remote publishers we asked Janus to remove
  struct OldForward {
    uint64_t publisher_id, stream_id;
  };
  std::vector<OldForward> old_forwards;  // of a lost session, stopped on the next
  bool suppress_reports = true;
  bool refresh_participants = false;
  Clock::time_point next_refresh;       // of the members from Janus' list
  std::set<VideoStream> video_applied;  // our video streams live on the server

  std::thread control_thread, poller_thread, receive_thread, playout_thread;

  // ---- helpers --------------------------------------------------------------

  bool stop_requested() {
    std::lock_guard lock(queue_mutex);
    return stopping;
  }

  void set_state(ConnectionState s, const Error& why = {}) {
    state = s;
    events.OnConnection(s, why.code, why.text);
  }

  std::optional<UdpSocket> bind_socket(int* error) {
    if (options.port_min == 0 && options.port_max == 0)
      return UdpSocket::bind(options.bind_ip, 0, error);
    static std::atomic<unsigned> rotor{0};
    const unsigned span = static_cast<unsigned>(options.port_max - options.port_min) + 1;
    const unsigned first = rotor++ % span;
    for (unsigned i = 0; i < span; ++i) {
      const auto port = static_cast<uint16_t>(options.port_min + (first + i) % span);
      if (auto s = UdpSocket::bind(options.bind_ip, port, error)) return s;
    }
    return std::nullopt;
  }

  // ---- poller ---------------------------------------------------------------

  // Hands the poller a session to poll (null: none); the generation tags
  // what it reads from this one.
  uint64_t arm_poller(std::shared_ptr<JanusClient> c) {
    std::lock_guard lock(poll_mutex);
    poll_client = std::move(c);
    ++poll_generation;
    if (poll_stop && poll_client) poll_client->cancel_poll();
    poll_cv.notify_all();
    return poll_generation;
  }

  void poller_main() {
    uint64_t done_generation = 0;  // after an error, wait to be armed again
    for (;;) {
      std::shared_ptr<JanusClient> c;
      uint64_t gen = 0;
      {
        std::unique_lock lock(poll_mutex);
        poll_cv.wait(
            lock, [&] { return poll_stop || (poll_client && poll_generation != done_generation); });
        if (poll_stop) return;
        c = poll_client;
        gen = poll_generation;
      }
      auto r = c->poll_events();
      if (r.error.code == kJanusCancelled) {
        std::lock_guard lock(poll_mutex);
        if (poll_stop) return;
      }
      if (!r.ok()) done_generation = gen;
      if (r.value.empty() && r.ok()) continue;
      std::lock_guard lock(queue_mutex);
      queue.push_back({gen, std::move(r.value), std::move(r.error)});
      queue_cv.notify_all();
    }
  }

  // ---- membership -------------------------------------------------------------

  // Splits a display into (user, is the remote publisher's).
  std::pair<std::string, bool> user_of(const std::string& display) const {
    if (ends_with(display, kMediaSuffix))
      return {display.substr(0, display.size() - std::char_traits<char>::length(kMediaSuffix)),
              true};
    return {display, false};
  }

  bool is_self(uint64_t id, const std::string& user) const {
    return id == observer_id || id == own_publisher_id || user == options.user_id;
  }

  void upsert_publisher(const Publisher& p) {
    auto [user, remote] = user_of(p.display);
    if (user.empty() || is_self(p.id, user)) return;
    Member& m = members[p.id];
    m.user = user;
    m.media = true;
    m.remote = remote;
    m.observer = m.observer || !remote;  // a publishing browser is its own presence
    m.streams = p.streams;
    m.order = ++member_order;
    if (remote) {
      bool has_observer = false;
      for (const auto& [id, other] : members) has_observer |= other.user == user && other.observer;
      if (!has_observer) refresh_participants = true;  // a room without notify_joining?
    }
  }

  void add_participant(const Participant& p) {
    auto [user, remote] = user_of(p.display);
    if (user.empty() || is_self(p.id, user)) return;
    Member& m = members[p.id];
    m.user = user;
    m.remote = m.remote || remote || p.remote;
    if (m.remote) {
      if (!m.media) m.order = ++member_order;
      m.media = true;
    } else {
      m.observer = true;
    }
  }

  void remove_member(uint64_t id, LeaveReason reason) {
    auto it = members.find(id);
    if (it == members.end()) return;
    const std::string user = it->second.user;
    const bool was_observer = it->second.observer;
    members.erase(it);
    if (!was_observer) return;
    for (const auto& [other_id, m] : members)
      if (m.user == user && m.observer) return;  // another session of the user is still here
    leave_reasons[user] = reason;
    // The user's last presence went: a remote publisher it left behind
    // (a crashed engine) is removed, so nobody takes it for a user.
    for (const auto& [other_id, m] : members)
      if (m.user == user && m.remote && !removed_stale.count(other_id)) {
        removed_stale.insert(other_id);
        if (room) room->remove_remote_publisher(options.room, other_id, options.secret);
      }
  }

  // Applies one long-poll event. Returns an error that ends the session in
  // the room (kicked, destroyed) or the connection (timeout).
  Error apply(const json& raw) {
    const std::string kind = raw.is_object() && raw.contains("janus") && raw["janus"].is_string()
                                 ? raw["janus"].get<std::string>()
                                 : std::string();
    if (kind == "timeout") return {kJanusNoSuchSession, "session timed out"};
    RoomEvent ev = parse_room_event(raw);
    switch (ev.kind) {
      case RoomEvent::Kind::kPublishers:
        for (const Publisher& p : ev.publishers) upsert_publisher(p);
        break;
      case RoomEvent::Kind::kJoining:
        add_participant(ev.participant);
        break;
      case RoomEvent::Kind::kUnpublished:
        if (auto it = members.find(ev.id); it != members.end()) {
          it->second.media = false;
          it->second.streams.clear();
          if (it->second.remote) members.erase(it);
        }
        break;
      case RoomEvent::Kind::kLeaving:
        if (ev.id == 0) {
          const json& data = raw["plugindata"]["data"];
          if (data.value("reason", std::string()) == "kicked")
            return {kRoomKicked, "kicked from the room"};
          break;
        }
        remove_member(ev.id, LeaveReason::kLeft);
        break;
      case RoomEvent::Kind::kKicked:
        remove_member(ev.id, LeaveReason::kKicked);
        break;
      case RoomEvent::Kind::kDestroyed:
        return {kRoomDestroyedError, "the room was destroyed"};
      default:
        break;
    }
    return {};
  }

  // Brings the members in line with Janus' list: who joined or left while
  // an event of it was lost (a long poll that failed on the way back) is
  // found here. Events applied later are newer than the list, so they win.
  Error refresh_from_participants() {
    refresh_participants = false;
    auto list = room->list_participants(options.room);
    if (!list.ok()) return list.error;
    std::set<uint64_t> listed;
    for (const Participant& p : list.value) {
      listed.insert(p.id);
      add_participant(p);
    }
    std::vector<uint64_t> gone;
    for (const auto& [id, m] : members)
      if (!listed.count(id)) gone.push_back(id);
    for (uint64_t id : gone) remove_member(id, LeaveReason::kLeft);
    return {};
  }

  void publish_links() {
    {
      std::lock_guard lock(links_mutex);
      links.clear();
      for (const auto& [user, link] : user_links) links.push_back(link);
      video_links.clear();
      for (const auto& [key, video] : user_video) video_links.push_back(video);
      ++links_generation;
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd, &one, sizeof one);
  }

  // `user` by value: callers pass the key of the map entry this erases.
  void drop_link(std::string user, bool stop_forwarders) {
    auto it = user_links.find(user);
    if (it == user_links.end()) return;
    std::shared_ptr<MediaLink> link = it->second;
    user_links.erase(it);
    for (auto v = user_video.lower_bound({user, VideoStream::kHigh});
         v != user_video.end() && v->first.first == user;)
      drop_video(v++, stop_forwarders);
    publish_links();
    if (auto r = video_reported.find(user); r != video_reported.end()) {
      const std::set<VideoStream> streams = std::move(r->second);
      video_reported.erase(r);
      for (VideoStream s : streams) events.OnUserVideoAvailable(user, s, false);
    }
    if (stop_forwarders && room && members.count(link->publisher_id) &&
        !removed_stale.count(link->publisher_id))
      for (uint64_t stream : link->stream_ids)
        room->stop_rtp_forward(options.room, link->publisher_id, stream, options.secret);
    events.OnUserAudioAvailable(user, false);
  }

  // Forgets one video forward (the caller publishes the links), stopping
  // Janus' forwarder when asked and the publisher is still there.
  void drop_video(
      std::map<std::pair<std::string, VideoStream>, std::shared_ptr<VideoLink>>::iterator it,
      bool stop_forwarder) {
    const std::shared_ptr<VideoLink> v = it->second;
    user_video.erase(it);
    if (stop_forwarder && room && members.count(v->publisher_id) &&
        !removed_stale.count(v->publisher_id))
      room->stop_rtp_forward(options.room, v->publisher_id, v->stream_id, options.secret);
  }

  // Forwards one video stream of the publisher to a new socket of ours, with
  // a second one as its RTCP port.
  Error forward_video(const std::string& user, VideoStream stream, uint64_t publisher_id,
                      const std::string& mid) {
    auto v = std::make_shared<VideoLink>();
    v->user = user;
    v->stream = stream;
    v->publisher_id = publisher_id;
    v->mid = mid;
    int err = 0;
    v->rtp = bind_socket(&err);
    if (v->rtp) v->rtcp = bind_socket(&err);
    if (!v->rtp || !v->rtcp)
      return {kRoomSendFailed, "binding a video socket: " + std::string(strerror(err))};
    auto r = room->rtp_forward(options.room, publisher_id, forward_host,
                               {{mid, v->rtp->port(), v->rtcp->port(), {}, {}}}, options.secret);
    if (!r.ok()) return r.error;
    if (r.value.empty()) return {428, "no such stream " + mid};
    v->stream_id = r.value.front().stream_id;
    if (r.value.front().local_rtcp_port)
      v->janus_rtcp = Endpoint{server_ip, r.value.front().local_rtcp_port};
    user_video[{user, stream}] = v;
    publish_links();
    // Janus does not ask for one when a forward starts: we do, so the
    // stream begins at the next key frame rather than the next periodic one.
    send_key_frame_request(*v);
    return {};
  }

  // The user's published video streams, as we can receive them.
  std::set<VideoStream> published_video(uint64_t publisher_id) {
    std::set<VideoStream> out;
    auto m = members.find(publisher_id);
    if (m == members.end()) return out;
    for (int i = 0; i < kVideoStreams; ++i)
      if (video_mid(m->second.streams, static_cast<VideoStream>(i)))
        out.insert(static_cast<VideoStream>(i));
    return out;
  }

  // Video forwards and availability in line with the media links and the
  // subscriptions. Returns a connection error met on the way.
  Error reconcile_video() {
    std::set<std::pair<std::string, VideoStream>> wanted;
    {
      std::lock_guard lock(queue_mutex);
      wanted = subscriptions;
      control_wake = false;
    }
    bool changed = false;
    for (auto it = user_video.begin(); it != user_video.end();) {
      const auto link = user_links.find(it->first.first);
      const bool keep =
          wanted.count(it->first) && link != user_links.end() &&
          link->second->publisher_id == it->second->publisher_id &&
          members.count(it->second->publisher_id) &&
          video_mid(members[it->second->publisher_id].streams, it->first.second) == it->second->mid;
      if (keep) {
        ++it;
        continue;
      }
      drop_video(it++, true);
      changed = true;
    }
    if (changed) publish_links();
    for (const auto& [user, link] : user_links) {
      const std::set<VideoStream> now = published_video(link->publisher_id);
      std::set<VideoStream>& before = video_reported[user];
      for (VideoStream s : before)
        if (!now.count(s)) events.OnUserVideoAvailable(user, s, false);
      for (VideoStream s : now)
        if (!before.count(s)) events.OnUserVideoAvailable(user, s, true);
      before = now;
    }
    for (const auto& key : wanted) {
      if (user_video.count(key)) continue;
      const auto link = user_links.find(key.first);
      if (link == user_links.end() || !members.count(link->second->publisher_id)) continue;
      const auto mid = video_mid(members[link->second->publisher_id].streams, key.second);
      if (!mid) continue;
      Error e = forward_video(key.first, key.second, link->second->publisher_id, *mid);
      if (!e.ok() && is_connection_error(e)) return e;
      // Others (428 before the stream is live) are retried on the next tick.
    }
    return {};
  }

  // A subscribed stream that is published but not forwarded yet (under
  // queue_mutex).
  bool missing_video() {
    for (const auto& key : subscriptions) {
      if (user_video.count(key)) continue;
      const auto link = user_links.find(key.first);
      if (link != user_links.end() && published_video(link->second->publisher_id).count(key.second))
        return true;
    }
    return false;
  }

  // Forwards the publisher's audio and data to two new sockets of ours.
  Error forward(const std::string& user, uint64_t publisher_id, const Member& m) {
    std::string audio_mid, data_mid;
    for (const PublishedStream& s : m.streams) {
      if (s.disabled) continue;
      if (s.type == "audio" && audio_mid.empty() && (s.codec.empty() || s.codec == "opus"))
        audio_mid = s.mid;
      if (s.type == "data" && data_mid.empty()) data_mid = s.mid;
    }
    if (m.streams.empty() && m.remote) {  // known only from listparticipants: our layout
      audio_mid = std::to_string(kAudioMindex);
      data_mid = std::to_string(kDataMindex);
    }
    if (audio_mid.empty() && data_mid.empty()) return {};
    auto link = std::make_shared<MediaLink>(jitter_config);
    link->user = user;
    link->publisher_id = publisher_id;
    int err = 0;
    link->audio = bind_socket(&err);
    if (link->audio) link->data = bind_socket(&err);
    if (!link->audio || !link->data)
      return {kRoomSendFailed, "binding a media socket: " + std::string(strerror(err))};
    std::vector<ForwardTarget> targets;
    if (!audio_mid.empty()) targets.push_back({audio_mid, link->audio->port(), 0, {}, {}});
    if (!data_mid.empty()) targets.push_back({data_mid, link->data->port(), 0, {}, {}});
    auto r = room->rtp_forward(options.room, publisher_id, forward_host, targets, options.secret);
    if (!r.ok()) return r.error;
    for (const Forwarder& f : r.value) link->stream_ids.push_back(f.stream_id);
    user_links[user] = link;
    publish_links();
    if (!audio_mid.empty()) events.OnUserAudioAvailable(user, true);
    return {};
  }

  // Our remote publisher's streams: audio, data, then our video streams,
  // those not live declared disabled.
  std::vector<StreamConfig> publisher_streams(const std::set<VideoStream>& live) const {
    std::vector<StreamConfig> streams(2);
    streams[kAudioMindex].type = "audio";
    streams[kAudioMindex].codec = "opus";
    streams[kAudioMindex].fec = options.fec;
    streams[kAudioMindex].stereo = options.send_channels == 2;
    streams[kDataMindex].type = "data";
    for (VideoStream v : options.video_streams) {
      StreamConfig& video = streams.emplace_back();
      video.type = "video";
      video.codec = "h264";
      video.description = video_stream_name(v);
      video.disabled = !live.count(v);
    }
    return streams;
  }

  std::set<VideoStream> wanted_video_live() {
    std::lock_guard lock(queue_mutex);
    return video_live;
  }

  // Our video streams shown or hidden as SetVideoLive asked. A refusal is
  // tried again at the next wake; a connection error is returned.
  Error apply_video_live() {
    const std::set<VideoStream> live = wanted_video_live();
    if (live == video_applied || !room || !own_publisher_id) return {};
    Error e = room->update_remote_publisher(options.room, own_publisher_id, publisher_streams(live),
                                            options.secret);
    if (e.ok()) video_applied = live;
    return is_connection_error(e) ? e : Error{};
  }

  // Brings links and reports in line with the members. Returns a
  // connection error met on the way.
  Error reconcile() {
    if (Error e = apply_video_live(); !e.ok()) return e;
    if (refresh_participants || Clock::now() >= next_refresh) {
      next_refresh = Clock::now() + kRefreshEvery;
      Error e = refresh_from_participants();
      if (!e.ok() && is_connection_error(e)) return e;
    }
    std::map<std::string, uint64_t> media;  // user -> newest media participant
    std::set<std::string> present;
    for (const auto& [id, m] : members)
      if (m.observer) present.insert(m.user);
    for (const auto& [id, m] : members) {
      if (!m.media || !present.count(m.user)) continue;
      auto it = media.find(m.user);
      if (it == media.end() || members[it->second].order < m.order) media[m.user] = id;
    }
    if (suppress_reports) return {};
    // Gone: audio off first, then the departure.
    for (auto it = reported.begin(); it != reported.end();) {
      if (present.count(*it)) {
        ++it;
        continue;
      }
      const std::string user = *it;
      drop_link(user, true);
      it = reported.erase(it);
      auto reason = leave_reasons.find(user);
      events.OnUserLeft(user, reason == leave_reasons.end() ? LeaveReason::kLost : reason->second);
    }
    leave_reasons.clear();
    for (const std::string& user : present)
      if (reported.insert(user).second) events.OnUserJoined(user);
    // Media: stale links off, missing ones on.
    for (auto it = user_links.begin(); it != user_links.end();) {
      auto want = media.find(it->first);
      if (want != media.end() && want->second == it->second->publisher_id) {
        ++it;
        continue;
      }
      const std::string user = (it++)->first;
      drop_link(user, true);
    }
    for (const auto& [user, id] : media) {
      if (user_links.count(user)) continue;
      Error e = forward(user, id, members[id]);
      if (!e.ok() && is_connection_error(e)) return e;
      // Others (428 before the publisher is live) are retried on the next tick.
    }
    return reconcile_video();
  }

  bool missing_links() const {
    std::set<std::string> present;
    for (const auto& [id, m] : members)
      if (m.observer) present.insert(m.user);
    for (const auto& [id, m] : members)
      if (m.media && present.count(m.user) && !user_links.count(m.user)) return true;
    return false;
  }

  // ---- connection -----------------------------------------------------------------

  void forget_session() {
    arm_poller(nullptr);
    for (auto& [user, link] : user_links)
      for (uint64_t s : link->stream_ids) old_forwards.push_back({link->publisher_id, s});
    for (auto& [key, video] : user_video)
      old_forwards.push_back({video->publisher_id, video->stream_id});
    while (!user_links.empty()) drop_link(user_links.begin()->first, false);
    {
      std::lock_guard lock(send_mutex);
      media_dest.reset();
    }
    if (client && client->session_id()) {
      client->set_request_timeout_ms(std::min<long>(300, options.request_timeout_ms));
      client->destroy_session();  // best effort: a half-made session does not linger
    }
    room.reset();
    client.reset();
    members.clear();
    removed_stale.clear();
    observer_id = own_publisher_id = 0;
    {
      std::lock_guard lock(queue_mutex);
      queue.clear();
    }
  }

  // Waits for the event answering `transaction`, keeping the others.
  std::optional<RoomEvent> wait_for_transaction(const std::string& transaction,
                                                std::vector<json>& others, Error& error) {
    const auto deadline = Clock::now() + milliseconds(options.join_timeout_ms);
    for (;;) {
      std::unique_lock lock(queue_mutex);
      queue_cv.wait_until(lock, deadline, [&] { return stopping || !queue.empty(); });
      if (stopping) return std::nullopt;
      if (queue.empty()) {
        error = {kJanusTimeout, "no answer to the join"};
        return std::nullopt;
      }
      PollBatch batch = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      if (batch.generation != generation) continue;
      for (size_t i = 0; i < batch.events.size(); ++i) {
        RoomEvent ev = parse_room_event(batch.events[i]);
        if (ev.transaction == transaction &&
            (ev.kind == RoomEvent::Kind::kJoined || ev.kind == RoomEvent::Kind::kError)) {
          if (ev.kind == RoomEvent::Kind::kError) {
            error = ev.error;
            return std::nullopt;
          }
          // Events after the answer in the same batch are later ones: kept.
          for (size_t rest = i + 1; rest < batch.events.size(); ++rest)
            others.push_back(std::move(batch.events[rest]));
          return ev;
        }
        others.push_back(std::move(batch.events[i]));
      }
      if (!batch.error.ok()) {
        error = batch.error;
        return std::nullopt;
      }
    }
  }

  Error connect_once() {
    JanusClientOptions co;
    co.connect_timeout_ms = options.connect_timeout_ms;
    co.request_timeout_ms = options.request_timeout_ms;
    client = std::make_shared<JanusClient>(options.url, co);
    if (Error e = client->create_session(); !e.ok()) return step_error("create session", e);
    generation = arm_poller(client);
    auto handle = client->attach();
    if (!handle.ok()) return step_error("attach", handle.error);
    room.emplace(*client, handle.value);
    // Forwarders of the session we lost, if the server is the same one.
    for (const OldForward& f : old_forwards)
      room->stop_rtp_forward(options.room, f.publisher_id, f.stream_id, options.secret);
    old_forwards.clear();
    auto exists = room->exists(options.room);
    if (!exists.ok()) return step_error("exists", exists.error);
    if (!exists.value) {
      RoomSettings settings;
      settings.room = options.room;
      settings.description = "corvel";
      settings.secret = options.secret;
      settings.notify_joining = true;
      auto created = room->create(settings);
      if (!created.ok() && created.error.code != 427)
        return step_error("create room", created.error);
    }
    auto join = room->join_observer(options.room, options.user_id);
    if (!join.ok()) return step_error("join", join.error);
    std::vector<json> early;
    Error join_error;
    auto joined = wait_for_transaction(join.value, early, join_error);
    if (!joined)
      return step_error("join", join_error.ok() ? Error{kRoomStopped, "stopped"} : join_error);
    observer_id = joined->id;
    // Our own remote publisher left over by a crash of ours goes first.
    auto list = room->list_participants(options.room);
    if (!list.ok()) return step_error("listparticipants", list.error);
    for (const Participant& p : list.value)
      if (p.remote && p.display == media_display)
        room->remove_remote_publisher(options.room, p.id, options.secret);
    const std::set<VideoStream> live = wanted_video_live();
    auto rp = room->add_remote_publisher(options.room, publisher_streams(live), media_display, 0,
                                         options.secret);
    if (!rp.ok()) return step_error("add_remote_publisher", rp.error);
    own_publisher_id = rp.value.id;
    video_applied = live;
    {
      std::lock_guard lock(send_mutex);
      const std::string ip =
          rp.value.ip.empty() || rp.value.ip == "0.0.0.0" ? server_ip : rp.value.ip;
      media_dest = Endpoint{ip, rp.value.port};
      // Janus sends RTCP (keyframe requests) only where RTCP came from.
      if (rp.value.rtcp_port) {
        std::vector<uint8_t> rr;
        append_receiver_report({0x00000001u, {}}, rr);
        send_socket->send_to(rr, {ip, rp.value.rtcp_port});
      }
    }
    for (const Participant& p : list.value) add_participant(p);
    for (const Publisher& p : joined->publishers) upsert_publisher(p);
    for (const Participant& p : joined->attendees) add_participant(p);
    refresh_participants = false;
    next_refresh = Clock::now() + kRefreshEvery;
    for (const json& e : early)
      if (Error fatal = apply(e); !fatal.ok()) return fatal;
    return {};
  }

  // Until the connection is lost (the error) or Stop() (no error) or the
  // room is gone for us (kicked, destroyed).
  Error run_connected() {
    if (Error e = reconcile(); !e.ok()) return e;
    auto next_keepalive = Clock::now() + milliseconds(options.keepalive_ms);
    for (;;) {
      std::deque<PollBatch> batches;
      {
        std::unique_lock lock(queue_mutex);
        auto until = next_keepalive;
        if (missing_links() || missing_video()) until = std::min(until, Clock::now() + kRetryTick);
        until = std::min(until, next_refresh);
        queue_cv.wait_until(lock, until,
                            [&] { return stopping || !queue.empty() || control_wake; });
        if (stopping) return {};
        batches.swap(queue);
      }
      for (PollBatch& batch : batches) {
        if (batch.generation != generation) continue;
        for (const json& e : batch.events)
          if (Error fatal = apply(e); !fatal.ok()) return fatal;
        if (!batch.error.ok()) {
          // The poll failed: the session may still be there (a passing
          // transport error), which one keepalive tells.
          if (Error e = client->keepalive(); !e.ok()) return step_error("long poll", batch.error);
          generation = arm_poller(client);
        }
      }
      if (Error e = reconcile(); !e.ok()) return e;
      if (Clock::now() >= next_keepalive) {
        const auto sent = Clock::now();
        if (Error e = client->keepalive(); !e.ok()) return step_error("keepalive", e);
        rtt_ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        next_keepalive = Clock::now() + milliseconds(options.keepalive_ms);
      }
    }
  }

  // Changes a wish the control thread acts on (under queue_mutex) and wakes
  // it. 0, or kRoomStopped.
  template <typename Change>
  int ask_control(Change&& change) {
    std::lock_guard lock(queue_mutex);
    if (stopping) return kRoomStopped;
    change();
    control_wake = true;
    queue_cv.notify_all();
    return 0;
  }

  // Waits `d` unless Stop() comes first; true when stopping.
  bool wait_or_stop(Clock::duration d) {
    std::unique_lock lock(queue_mutex);
    return queue_cv.wait_for(lock, d, [&] { return stopping; });
  }

  void report_all_lost() {
    while (!user_links.empty()) drop_link(user_links.begin()->first, false);
    for (const std::string& user : reported) events.OnUserLeft(user, LeaveReason::kLost);
    reported.clear();
  }

  void control_main() {
    set_state(ConnectionState::kConnecting);
    bool first = true;
    auto deadline = Clock::now() + milliseconds(options.start_window_ms);
    auto backoff = kFirstBackoff;
    for (;;) {
      suppress_reports = true;
      Error e = connect_once();
      if (stop_requested()) break;
      if (e.ok()) {
        suppress_reports = false;
        set_state(ConnectionState::kConnected);
        if (first) {
          std::set<std::string> present;
          for (const auto& [id, m] : members)
            if (m.observer) present.insert(m.user);
          reported = present;
          events.OnJoined({present.begin(), present.end()});
          first = false;
        }
        e = run_connected();
        if (stop_requested()) break;
        if (e.code == kRoomKicked || e.code == kRoomDestroyedError) {
          for (const std::string& user : reported)
            if (e.code == kRoomDestroyedError) leave_reasons[user] = LeaveReason::kDestroyed;
          forget_session();
          while (!reported.empty()) {
            const std::string user = *reported.begin();
            reported.erase(reported.begin());
            auto r = leave_reasons.find(user);
            events.OnUserLeft(user, r == leave_reasons.end() ? LeaveReason::kLost : r->second);
          }
          set_state(ConnectionState::kDisconnected, e);
          return;
        }
        forget_session();
        set_state(ConnectionState::kReconnecting, e);
        deadline = Clock::now() + milliseconds(options.reconnect_window_ms);
        backoff = kFirstBackoff;
        continue;  // one attempt at once, then back off
      }
      forget_session();
      if (Clock::now() + backoff > deadline) {
        report_all_lost();
        set_state(ConnectionState::kDisconnected,
                  {e.code, (first ? "no connection: " : "gave up reconnecting: ") + e.text});
        return;
      }
      if (wait_or_stop(backoff)) break;
      backoff = std::min(backoff * 2, kMaxBackoff);
    }
    teardown();
  }

  void teardown() {
    auto remaining = [&] {
      return std::chrono::duration_cast<milliseconds>(stop_deadline - Clock::now()).count();
    };
    auto shorten = [&] {
      const long left = static_cast<long>(remaining());
      if (left <= 0) return false;
      client->set_request_timeout_ms(std::clamp<long>(left, 1, 500));
      return true;
    };
    if (client && client->session_id() && room) {
      bool reachable = true;
      auto check = [&](const Error& e) {
        if (e.code == kJanusTransport || e.code == kJanusTimeout) reachable = false;
      };
      if (own_publisher_id && shorten())
        check(room->remove_remote_publisher(options.room, own_publisher_id, options.secret));
      for (auto& [user, link] : user_links)
        for (uint64_t s : link->stream_ids)
          if (reachable && shorten())
            check(room->stop_rtp_forward(options.room, link->publisher_id, s, options.secret));
      for (auto& [key, video] : user_video)
        if (reachable && shorten())
          check(room->stop_rtp_forward(options.room, video->publisher_id, video->stream_id,
                                       options.secret));
      if (reachable && observer_id && shorten()) check(room->leave().error);
      if (reachable && shorten()) client->destroy_session();
    }
    own_publisher_id = 0;
    {
      std::lock_guard lock(send_mutex);
      media_dest.reset();
    }
    user_links.clear();
    user_video.clear();
    video_reported.clear();
    publish_links();
    if (!reported.empty() || state != ConnectionState::kDisconnected) {
      reported.clear();
      set_state(ConnectionState::kDisconnected, {0, "stopped"});
    }
  }

  // ---- media threads --------------------------------------------------------------

  // Our video stream for the SSRC Janus names in its RTCP.
  std::optional<VideoStream> own_video_stream(uint32_t ssrc) const {
    for (size_t i = 0; i < options.video_streams.size(); ++i)
      if (ssrc == remote_publisher_ssrc(kFirstVideoMindex + static_cast<int>(i)))
        return options.video_streams[i];
    return std::nullopt;
  }

  // Asks the sender of `v` for a key frame: a PLI to the forward's RTCP
  // port, from the socket Janus latched to. Any thread.
  bool send_key_frame_request(VideoLink& v) {
    if (!v.janus_rtcp || !v.rtcp) return false;
    std::vector<uint8_t> pli;
    append_pli(1, v.media_ssrc, pli);
    return v.rtcp->send_to(pli, *v.janus_rtcp) > 0;
  }

  struct VideoDelivery {
    std::shared_ptr<VideoLink> link;
    h264::AccessUnit au;
    std::vector<std::vector<uint8_t>> sei;
  };

  // Drains one video socket into `out`; asks for a key frame when the
  // stream needs one (at most every key_frame_request_interval_ms).
  void receive_video(const std::shared_ptr<VideoLink>& link, std::vector<uint8_t>& buffer,
                     std::vector<VideoDelivery>& out) {
    VideoLink& v = *link;
    std::vector<h264::AccessUnit> done;
    for (int burst = 0; burst < 256; ++burst) {
      Received got = v.rtp->receive(buffer, 0);
      if (got.status != Received::Status::kData) break;
      std::span<const uint8_t> data(buffer.data(), got.size);
      RtpPacketView packet;
      if (got.truncated || is_rtcp(data) || parse_rtp(data, packet) != RtpError::kOk ||
          packet.payload.empty())
        continue;
      v.got_packet = true;
      v.media_ssrc = packet.header.ssrc;
      v.depacketizer.push(packet, done);
    }
    for (h264::AccessUnit& au : done) {
      VideoDelivery d{link, {}, {}};
      d.sei = h264::extract_sei(au.data, &d.au.data);
      d.au.timestamp = au.timestamp;
      d.au.key_frame = au.key_frame;
      out.push_back(std::move(d));
    }
    const auto now = Clock::now();
    if (v.got_packet && v.depacketizer.key_frame_needed() &&
        now - v.last_request >= milliseconds(options.key_frame_request_interval_ms)) {
      v.last_request = now;
      send_key_frame_request(v);
    }
  }

  // RTCP Janus sends to our remote publisher (to the address that latched
  // its RTCP path: our send socket).
  void receive_own_rtcp(std::vector<uint8_t>& buffer,
                        std::vector<std::pair<VideoStream, uint64_t>>& requests) {
    for (int burst = 0; burst < 64; ++burst) {
      Received got = send_socket->receive(buffer, 0);
      if (got.status != Received::Status::kData) break;
      std::span<const uint8_t> data(buffer.data(), got.size);
      RtcpPackets rtcp;
      if (got.truncated || !is_rtcp(data) || parse_rtcp(data, rtcp) != RtpError::kOk) continue;
      // A key frame request is (stream, 0); a bitrate one (stream, bps > 0).
      for (uint32_t ssrc : rtcp.pli_media_ssrcs)
        if (auto s = own_video_stream(ssrc)) requests.emplace_back(*s, 0);
      for (const FirEntry& f : rtcp.firs)
        if (auto s = own_video_stream(f.ssrc)) requests.emplace_back(*s, 0);
      for (const Remb& r : rtcp.rembs)
        for (uint32_t ssrc : r.ssrcs)
          if (auto s = own_video_stream(ssrc))
            requests.emplace_back(*s, std::max<uint64_t>(r.bitrate_bps, 1));
    }
  }

  void receive_main() {
    std::vector<std::shared_ptr<MediaLink>> snapshot;
    std::vector<std::shared_ptr<VideoLink>> video_snapshot;
    std::vector<VideoDelivery> deliveries;
    std::vector<std::pair<VideoStream, uint64_t>> requests;
    const int own_fd = send_socket->fd();
    uint64_t seen_generation = ~uint64_t{0};
    std::vector<pollfd> fds;
    std::vector<uint8_t> buffer(2048);
    struct Message {
      std::string user;
      uint32_t cmd_id, seq;
      std::vector<uint8_t> bytes;
    };
    std::vector<Message> messages;
    while (!media_stop) {
      {
        std::lock_guard lock(links_mutex);
        if (links_generation != seen_generation) {
          snapshot = links;
          video_snapshot = video_links;
          seen_generation = links_generation;
        }
      }
      fds.assign(1, pollfd{wake_fd, POLLIN, 0});
      for (const auto& link : snapshot) {
        fds.push_back({link->audio->fd(), POLLIN, 0});
        fds.push_back({link->data->fd(), POLLIN, 0});
      }
      const size_t video_base = fds.size();
      for (const auto& video : video_snapshot) fds.push_back({video->rtp->fd(), POLLIN, 0});
      fds.push_back({own_fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      if (fds[0].revents) {
        uint64_t count;
        [[maybe_unused]] auto n = ::read(wake_fd, &count, sizeof count);
      }
      for (size_t i = 0; i < snapshot.size(); ++i) {
        MediaLink& link = *snapshot[i];
        if (fds[1 + 2 * i].revents) {
          for (int burst = 0; burst < 64; ++burst) {
            Received got = link.audio->receive(buffer, 0);
            if (got.status != Received::Status::kData) break;
            std::span<const uint8_t> data(buffer.data(), got.size);
            RtpPacketView packet;
            if (got.truncated || is_rtcp(data) || parse_rtp(data, packet) != RtpError::kOk)
              continue;
            const int64_t arrival_us = std::chrono::duration_cast<std::chrono::microseconds>(
                                           Clock::now().time_since_epoch())
                                           .count();
            std::lock_guard lock(link.mutex);
            // Statistics in 48 kHz units at microsecond resolution.
            link.stats.on_packet(packet.header.sequence, packet.header.timestamp,
                                 static_cast<uint32_t>(arrival_us * 48 / 1000));
            link.jitter.push(packet.header.sequence, packet.header.timestamp, packet.payload,
                             arrival_us / 1000);
          }
        }
        if (fds[2 + 2 * i].revents) {
          for (int burst = 0; burst < 64; ++burst) {
            Received got = link.data->receive(buffer, 0);
            if (got.status != Received::Status::kData) break;
            MessageEnvelope envelope;
            if (got.truncated || !parse_message_envelope({buffer.data(), got.size}, envelope))
              continue;
            messages.push_back({link.user,
                                envelope.cmd_id,
                                envelope.seq,
                                {envelope.bytes.begin(), envelope.bytes.end()}});
          }
        }
      }
      for (size_t i = 0; i < video_snapshot.size(); ++i)
        if (fds[video_base + i].revents) receive_video(video_snapshot[i], buffer, deliveries);
      if (fds.back().revents) receive_own_rtcp(buffer, requests);
      for (const Message& m : messages) events.OnMessage(m.user, m.cmd_id, m.seq, m.bytes);
      messages.clear();
      for (const VideoDelivery& d : deliveries) {
        for (const auto& message : d.sei) events.OnSei(d.link->user, d.link->stream, message);
        events.OnVideo(d.link->user, d.link->stream, d.au.data, d.au.timestamp, d.au.key_frame);
      }
      deliveries.clear();
      for (const auto& [stream, bps] : requests) {
        if (bps == 0)
          events.OnKeyFrameRequested(stream);
        else
          events.OnBitrateRequested(stream, bps);
      }
      requests.clear();
    }
  }

  void playout_main() {
    std::vector<int16_t> pcm(static_cast<size_t>(opus::kMaxFrameSamples) *
                             static_cast<size_t>(options.receive_channels));
    auto next = Clock::now();
    auto next_quality = next + milliseconds(options.quality_interval_ms);
    uint64_t sent_at_last_report = 0;
    std::vector<std::shared_ptr<MediaLink>> snapshot;
    for (;;) {
      next += milliseconds(kFrameMs);
      if (next < Clock::now() - milliseconds(5 * kFrameMs)) next = Clock::now();  // fell behind
      {
        std::unique_lock lock(playout_mutex);
        if (playout_cv.wait_until(lock, next, [&] { return media_stop.load(); })) return;
      }
      {
        std::lock_guard lock(links_mutex);
        snapshot = links;
      }
      for (const auto& link : snapshot) {
        JitterSlot slot;
        {
          std::lock_guard lock(link->mutex);
          slot = link->jitter.pop();
        }
        if (slot.kind == JitterSlot::Kind::kEmpty) continue;
        if (!link->decoder) link->decoder = opus::Decoder::create(options.receive_channels);
        if (!link->decoder) continue;
        int n = -1;
        if (slot.kind == JitterSlot::Kind::kPacket) n = link->decoder->decode(slot.payload, pcm);
        if (slot.kind == JitterSlot::Kind::kLost && !slot.next_payload.empty())
          n = link->decoder->decode_fec(slot.next_payload, pcm, kFrameSamples);
        if (n < 0) n = link->decoder->conceal(pcm, kFrameSamples);
        if (n <= 0) continue;
        events.OnAudio(link->user, pcm.data(), static_cast<size_t>(n), opus::kSampleRate,
                       options.receive_channels, slot.timestamp);
      }
      if (Clock::now() < next_quality) continue;
      next_quality += milliseconds(options.quality_interval_ms);
      std::vector<std::pair<std::string, Quality>> report;
      for (const auto& link : snapshot) {
        Quality q;
        std::lock_guard lock(link->mutex);
        const int64_t lost = link->stats.cumulative_lost();
        const uint64_t received = link->stats.received();
        const int64_t d_lost = std::max<int64_t>(0, lost - link->quality_lost);
        const uint64_t d_received = received - link->quality_received;
        link->quality_lost = lost;
        link->quality_received = received;
        const double expected = static_cast<double>(d_received) + static_cast<double>(d_lost);
        q.loss_percent = expected > 0 ? 100.0 * static_cast<double>(d_lost) / expected : 0.0;
        q.jitter_ms = link->stats.jitter() / 48.0;
        q.packets = d_received;
        report.emplace_back(link->user, q);
      }
      Quality self;
      const uint64_t sent = packets_sent;
      self.packets = sent - sent_at_last_report;
      sent_at_last_report = sent;
      self.rtt_ms = rtt_ms;
      report.emplace_back(std::string(), self);
      for (const auto& [user, q] : report) events.OnQuality(user, q);
    }
  }

  // ---- send path (caller's thread, send_mutex held) ----------------------------------

  int send_rtp(uint8_t pt, uint32_t ssrc, uint16_t seq, uint32_t ts,
               std::span<const uint8_t> payload) {
    RtpHeader h;
    h.payload_type = pt;
    h.sequence = seq;
    h.timestamp = ts;
    h.ssrc = ssrc;
    std::vector<uint8_t> datagram;
    serialize_rtp(h, payload, datagram);
    const int sent = send_socket->send_to(datagram, *media_dest);
    if (sent < 0) return kRoomSendFailed;
    return 1;
  }

  int send_audio_packet(std::span<const uint8_t> payload, int duration) {
    const uint32_t ts = audio_ts;
    audio_ts += static_cast<uint32_t>(duration);
    if (!media_dest) return kRoomNotConnected;
    const int r = send_rtp(kOpusPt, remote_publisher_ssrc(kAudioMindex), audio_seq++, ts, payload);
    if (r > 0) {
      last_ts = ts;
      ++packets_sent;
    }
    return r;
  }
};

JanusRoomSession::JanusRoomSession(JanusRoomOptions options, JanusRoomEvents& events)
    : impl_(std::make_unique<Impl>(std::move(options), events)) {}

JanusRoomSession::~JanusRoomSession() { Stop(); }

int JanusRoomSession::Start() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.queue_mutex);
    if (d.started) return kRoomStopped;
  }
  const JanusRoomOptions& o = d.options;
  if (o.user_id.empty() || o.user_id.size() > kMaxSenderBytes ||
      ends_with(o.user_id, kMediaSuffix) || o.url.empty() || o.room == 0 || o.send_channels < 1 ||
      o.send_channels > 2 || o.receive_channels < 1 || o.receive_channels > 2 ||
      o.port_min > o.port_max || o.keepalive_ms <= 0 || o.quality_interval_ms <= 0 ||
      o.video_streams.size() > static_cast<size_t>(kVideoStreams) ||
      std::set<VideoStream>(o.video_streams.begin(), o.video_streams.end()).size() !=
          o.video_streams.size() ||
      o.video_payload_type < 0 || o.video_payload_type > 127 || o.video_max_payload < 3 ||
      o.video_max_payload > h264::kDefaultMaxPayload || o.key_frame_request_interval_ms <= 0)
    return kRoomBadOptions;
  auto server_ip = url_host_ipv4(o.url);
  if (!server_ip) return kRoomBadOptions;
  d.server_ip = *server_ip;
  d.media_display = o.user_id + kMediaSuffix;
  d.forward_host = !o.forward_host.empty()  ? o.forward_host
                   : o.bind_ip == "0.0.0.0" ? std::string("127.0.0.1")
                                            : o.bind_ip;
  d.jitter_config.min_delay_ms = o.jitter_min_ms;
  d.jitter_config.max_delay_ms = o.jitter_max_ms;
  {
    std::lock_guard lock(d.send_mutex);
    d.send_socket = d.bind_socket(nullptr);
    if (!d.send_socket) return kRoomBadOptions;
    opus::EncoderConfig ec;
    ec.channels = o.send_channels;
    ec.bitrate = o.bitrate;
    ec.fec = o.fec;
    ec.expected_loss_percent = o.fec ? 5 : 0;
    d.encoder = opus::Encoder::create(ec);
    if (!d.encoder) return kRoomBadOptions;
    std::random_device rd;
    d.audio_seq = static_cast<uint16_t>(rd());
    d.audio_ts = rd();
    for (size_t i = 0; i < o.video_streams.size(); ++i)
      d.packetizers.emplace_back(remote_publisher_ssrc(kFirstVideoMindex + static_cast<int>(i)),
                                 static_cast<uint8_t>(o.video_payload_type),
                                 static_cast<uint16_t>(rd()), o.video_max_payload);
  }
  d.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.wake_fd < 0) return kRoomBadOptions;
  {
    std::lock_guard lock(d.queue_mutex);
    d.started = true;
    if (o.video_live_at_start) d.video_live.insert(o.video_streams.begin(), o.video_streams.end());
  }
  d.poller_thread = std::thread([&d] { d.poller_main(); });
  d.receive_thread = std::thread([&d] { d.receive_main(); });
  d.playout_thread = std::thread([&d] { d.playout_main(); });
  d.control_thread = std::thread([&d] { d.control_main(); });
  return 0;
}

void JanusRoomSession::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.queue_mutex);
    if (!d.started || d.stopping) return;
    d.stopping = true;
    d.stop_deadline = Clock::now() + milliseconds(d.options.stop_timeout_ms);
    d.queue_cv.notify_all();
  }
  auto stop_poller = [&d] {
    std::lock_guard lock(d.poll_mutex);
    d.poll_stop = true;
    if (d.poll_client) d.poll_client->cancel_poll();
    d.poll_cv.notify_all();
  };
  stop_poller();  // the one time a long poll is abandoned: nothing is read after it
  if (d.control_thread.joinable()) d.control_thread.join();
  stop_poller();
  if (d.poller_thread.joinable()) d.poller_thread.join();
  d.media_stop = true;
  {
    std::lock_guard lock(d.playout_mutex);
    d.playout_cv.notify_all();
  }
  const uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(d.wake_fd, &one, sizeof one);
  if (d.receive_thread.joinable()) d.receive_thread.join();
  if (d.playout_thread.joinable()) d.playout_thread.join();
  ::close(d.wake_fd);
  d.wake_fd = -1;
}

int JanusRoomSession::SendPcm(const int16_t* pcm, size_t frames, int rate, int channels) {
  Impl& d = *impl_;
  if (!pcm && frames) return kRoomBadAudio;
  std::lock_guard lock(d.send_mutex);
  if (!d.encoder || !d.send_socket) return kRoomStopped;
  const int out_channels = d.encoder->channels();
  if (!d.resampler || d.resampler->in_rate() != rate || d.resampler->in_channels() != channels) {
    try {
      d.resampler.emplace(rate, channels, opus::kSampleRate, out_channels);
    } catch (const std::invalid_argument&) {
      return kRoomBadAudio;
    }
    d.pending.clear();
  }
  d.resampler->Process(pcm, frames, d.pending);
  const size_t frame = static_cast<size_t>(kFrameSamples) * static_cast<size_t>(out_channels);
  int sent = 0;
  int error = 0;
  size_t used = 0;
  std::vector<uint8_t> packet(1500);
  for (; d.pending.size() - used >= frame; used += frame) {
    if (!d.media_dest) {  // not in a room: time goes on, nothing is encoded
      d.audio_ts += kFrameSamples;
      error = kRoomNotConnected;
      continue;
    }
    const int size = d.encoder->encode({d.pending.data() + used, frame}, packet);
    if (size < 0) {
      error = kRoomBadAudio;
      continue;
    }
    const int r = d.send_audio_packet({packet.data(), static_cast<size_t>(size)}, kFrameSamples);
    if (r > 0)
      sent += r;
    else
      error = r;
  }
  d.pending.erase(d.pending.begin(), d.pending.begin() + static_cast<ptrdiff_t>(used));
  return sent > 0 || error == 0 ? sent : error;
}

int JanusRoomSession::SendOpus(std::span<const uint8_t> packet, int duration_samples) {
  Impl& d = *impl_;
  if (packet.empty() || packet.size() + kRtpHeader > kMaxDatagramBytes || duration_samples <= 0 ||
      duration_samples > opus::kMaxFrameSamples)
    return kRoomBadAudio;
  std::lock_guard lock(d.send_mutex);
  if (!d.send_socket) return kRoomStopped;
  return d.send_audio_packet(packet, duration_samples);
}

int JanusRoomSession::SendMessage(uint32_t cmd_id, uint32_t seq, std::span<const uint8_t> bytes) {
  Impl& d = *impl_;
  if (bytes.size() > max_message_bytes(d.options.user_id.size())) return kRoomTooLarge;
  std::vector<uint8_t> envelope;
  append_message_envelope(cmd_id, seq, d.options.user_id, bytes, envelope);
  std::lock_guard lock(d.send_mutex);
  if (!d.send_socket) return kRoomStopped;
  if (!d.media_dest) return kRoomNotConnected;
  return d.send_rtp(kBinaryDataPt, remote_publisher_ssrc(kDataMindex), d.data_seq++, 0, envelope);
}

int JanusRoomSession::SendVideo(VideoStream stream, std::span<const uint8_t> access_unit,
                                uint32_t pts90k, const std::vector<std::vector<uint8_t>>& sei) {
  Impl& d = *impl_;
  const auto& streams = d.options.video_streams;
  const auto it = std::find(streams.begin(), streams.end(), stream);
  if (it == streams.end()) return kRoomBadVideo;
  std::vector<uint8_t> with_sei;
  if (!sei.empty()) {
    with_sei = h264::insert_sei(access_unit, sei);
    access_unit = with_sei;
  }
  std::vector<std::vector<uint8_t>> datagrams;
  std::lock_guard lock(d.send_mutex);
  if (!d.send_socket || d.packetizers.empty()) return kRoomStopped;
  if (!d.media_dest) return kRoomNotConnected;
  h264::Packetizer& packetizer = d.packetizers[static_cast<size_t>(it - streams.begin())];
  if (packetizer.packetize(access_unit, pts90k, datagrams) == 0) return kRoomBadVideo;
  for (const auto& datagram : datagrams)
    if (d.send_socket->send_to(datagram, *d.media_dest) < 0) return kRoomSendFailed;
  return static_cast<int>(datagrams.size());
}

int JanusRoomSession::SetVideoLive(VideoStream stream, bool live) {
  Impl& d = *impl_;
  const auto& streams = d.options.video_streams;
  if (std::find(streams.begin(), streams.end(), stream) == streams.end()) return kRoomBadVideo;
  return d.ask_control([&] {
    if (live) {
      d.video_live.insert(stream);
    } else {
      d.video_live.erase(stream);
    }
  });
}

int JanusRoomSession::Subscribe(const std::string& user, VideoStream stream) {
  Impl& d = *impl_;
  return d.ask_control([&] { d.subscriptions.insert({user, stream}); });
}

int JanusRoomSession::Unsubscribe(const std::string& user, VideoStream stream) {
  Impl& d = *impl_;
  return d.ask_control([&] { d.subscriptions.erase({user, stream}); });
}

int JanusRoomSession::RequestKeyFrame(const std::string& user, VideoStream stream) {
  Impl& d = *impl_;
  std::shared_ptr<VideoLink> link;
  {
    std::lock_guard lock(d.links_mutex);
    for (const auto& v : d.video_links)
      if (v->user == user && v->stream == stream) link = v;
  }
  return link && d.send_key_frame_request(*link) ? 1 : 0;
}

ConnectionState JanusRoomSession::state() const { return impl_->state; }

uint32_t JanusRoomSession::last_rtp_timestamp() const { return impl_->last_ts; }

}  // namespace corvel::net
