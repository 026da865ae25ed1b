// The Janus HTTP API (libcurl + nlohmann-json) and the VideoRoom requests an
// engine needs to join a room over plain RTP: a session, a VideoRoom handle,
// the synchronous room requests, an observer join, the event long poll,
// keepalive and teardown.
//
// Errors are values: every call returns an Error (code 0 = success) or a
// Result<T> carrying one. Codes: negative for transport and protocol
// trouble (JanusError), Janus core codes (458 no such session, ...) and
// VideoRoom codes (426 no such room, 427 room exists, ...) as Janus sends
// them; `text` says what happened. Nothing throws across this interface.
//
// Every HTTP request has a bound (connect and total timeouts; the long poll
// its own). Each call uses its own curl handle and holds no lock while on
// the network, so one thread may sit in poll_events() while others send
// requests on the same client: that is the intended use (one poller thread
// per session, plus a keepalive timer, plus the engine's own calls).
// cancel_poll() ends a waiting poll within about a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace corvel::net {

enum JanusError : int {
  kJanusOk = 0,
  kJanusTransport = -1,  // connection refused, reset, DNS, ... (curl's text)
  kJanusTimeout = -2,    // no complete answer within the bound
  kJanusHttp = -3,       // HTTP status other than 200 (404 = unknown session on GET)
  kJanusBadJson = -4,    // the answer is not JSON
  kJanusProtocol = -5,   // JSON, but not the answer Janus should give
  kJanusNoSession = -6,  // a session call before create_session()
  kJanusCancelled = -7,  // cancel_poll() ended the long poll
  // Janus' own code, named because the client acts on it: the session
  // expired or was destroyed. The client forgets its id on it.
  kJanusNoSuchSession = 458,
};

struct Error {
  int code = kJanusOk;
  std::string text;
  bool ok() const { return code == kJanusOk; }
};

template <class T>
struct Result {
  T value{};
  Error error;
  bool ok() const { return error.ok(); }
};

struct JanusClientOptions {
  long connect_timeout_ms = 2000;
  long request_timeout_ms = 5000;
  // Janus answers a long poll with {"janus":"keepalive"} after 30 s; the
  // default bound lets it do so rather than cutting the GET.
  long poll_timeout_ms = 35000;
  int max_events = 10;  // per long poll
};

class JanusClient {
 public:
  // `base_url` like "http://127.0.0.1:8088/janus".
  explicit JanusClient(std::string base_url, JanusClientOptions options = {});
  JanusClient(const JanusClient&) = delete;
  JanusClient& operator=(const JanusClient&) = delete;
  ~JanusClient();  // no network: the session is left to destroy_session() or its timeout

  const std::string& base_url() const { return base_url_; }
  std::optional<uint64_t> session_id() const;

  // GET <base>/info: {"janus":"server_info", ...}.
  Result<nlohmann::json> info();
  // POSTs `body` to <base><path> with a fresh transaction; a core error
  // ("janus":"error") becomes the Error. The whole answer otherwise.
  Result<nlohmann::json> post(const std::string& path, nlohmann::json body);

  Error create_session();
  Result<uint64_t> attach(const std::string& plugin = "janus.plugin.videoroom");
  Error detach(uint64_t handle);
  Error keepalive();
  // Destroys the session (all its handles go with it). Forgets the id even
  // when Janus cannot be reached.
  Error destroy_session();

  // A synchronous plugin request: the answer's plugindata.data, or the
  // plugin's error_code/error as the Error.
  Result<nlohmann::json> plugin_request(uint64_t handle, const nlohmann::json& body);
  // An asynchronous plugin request: Janus acks it and the result arrives as
  // an event with the returned transaction.
  Result<std::string> plugin_message(uint64_t handle, const nlohmann::json& body);

  // One long poll: up to max_events events, or none when Janus sent its
  // keepalive filler or timeout_ms (default: options) passed. A session
  // that expired gives kJanusNoSuchSession (Janus' "timeout" event, or 404
  // on the poll), with the events that came before it. Janus counts the
  // start of a poll as activity, but not a poll hanging there: keep the
  // session with keepalive() (every <= session_timeout / 3).
  Result<std::vector<nlohmann::json>> poll_events(std::optional<long> timeout_ms = std::nullopt);
  // Ends a poll_events() in progress (and the next one) with
  // kJanusCancelled; reset_cancel() allows polling again.
  void cancel_poll() { cancelled_ = true; }
  void reset_cancel() { cancelled_ = false; }
  // Bound of the requests that start from now on (those on their way keep
  // theirs); a shutdown shortens it to fit what time it has left.
  void set_request_timeout_ms(long ms) { request_timeout_ms_ = ms; }
  long request_timeout_ms() const { return request_timeout_ms_; }

 private:
  struct HttpAnswer {
    Error error;
    long status = 0;
    std::string body;
  };
  HttpAnswer http(const std::string& url, const std::string* post_body, long timeout_ms,
                  bool cancellable);
  Result<nlohmann::json> parse(const HttpAnswer& answer);
  std::string next_transaction();
  Result<std::string> session_path();

  std::string base_url_;
  JanusClientOptions options_;
  std::atomic<uint64_t> session_{0};
  std::atomic<uint64_t> transaction_counter_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<long> request_timeout_ms_;
};

// ---- VideoRoom ---------------------------------------------------------------

struct RoomSettings {
  uint64_t room = 0;  // 0: Janus picks one
  std::string description;
  std::string secret;  // empty: none
  int publishers = 6;
  std::string audiocodec = "opus";
  // H.264 first: a browser publishes the first of these it can, and the
  // engine receives H.264 only.
  std::string videocodec = "h264,vp8";
  bool notify_joining = true;
  std::string admin_key;  // needed by "create" when the plugin has one
};

struct StreamConfig {
  std::string type;   // "audio", "video" or "data"
  std::string codec;  // "opus", "vp8", ... (not for data)
  std::string description;
  bool fec = false;       // opus
  bool stereo = false;    // opus
  bool disabled = false;  // declared but not live: others see it as not published
};

struct RemotePublisher {
  uint64_t id = 0;
  std::string ip;  // empty when Janus bound all addresses: send to its host
  uint16_t port = 0;
  uint16_t rtcp_port = 0;
};

// SSRC Janus expects for the stream at `mindex` of a remote publisher.
constexpr uint32_t remote_publisher_ssrc(int mindex) {
  return 1000u + 10u * static_cast<uint32_t>(mindex);
}

struct ForwardTarget {
  std::string mid;  // Janus' mid of the publisher's stream ("0", "1", ...)
  uint16_t port = 0;
  uint16_t rtcp_port = 0;  // video: where keyframe requests can be sent back
  std::optional<int> pt;
  std::optional<uint32_t> ssrc;
};

struct Forwarder {
  uint64_t stream_id = 0;
  std::string host;
  uint16_t port = 0;
  std::string type;
  uint16_t local_rtcp_port = 0;
};

struct Participant {
  uint64_t id = 0;
  std::string display;
  bool publisher = false;
  bool remote = false;
  bool talking = false;
};

struct PublishedStream {
  std::string type;
  int mindex = 0;
  std::string mid;
  std::string codec;
  bool disabled = false;
  std::string description;  // as the publisher set it (empty when none)
};

struct Publisher {
  uint64_t id = 0;
  std::string display;
  std::vector<PublishedStream> streams;
};

// A VideoRoom event, from the long poll (by sender handle) or from an
// asynchronous request's answer.
struct RoomEvent {
  enum class Kind {
    kJoined,       // our join completed: id, private_id, publishers, attendees
    kPublishers,   // publishers started or changed (an upsert)
    kJoining,      // someone joined (notify_joining): participant
    kUnpublished,  // id stopped publishing
    kLeaving,      // id left (also a removed remote publisher); id 0 = we left
    kKicked,       // id was kicked
    kDestroyed,    // the room is gone
    kError,        // error_code/error of an asynchronous request
    kOther,
  };
  Kind kind = Kind::kOther;
  uint64_t sender = 0;  // handle id
  std::string transaction;
  uint64_t room = 0;
  uint64_t id = 0;
  uint64_t private_id = 0;
  std::vector<Publisher> publishers;
  std::vector<Participant> attendees;
  Participant participant;
  Error error;
  nlohmann::json raw;
};

// Classifies one event of the long poll; core events (webrtcup, media,
// hangup, detached, timeout, ...) and other plugins give kOther.
RoomEvent parse_room_event(const nlohmann::json& event);

// The VideoRoom requests on one attached handle. Holds a reference to the
// client: keep the client alive longer.
class VideoRoom {
 public:
  VideoRoom(JanusClient& client, uint64_t handle) : client_(client), handle_(handle) {}
  uint64_t handle() const { return handle_; }

  Result<bool> exists(uint64_t room);
  // The room's id (Janus' when settings.room is 0); 427 if it exists.
  Result<uint64_t> create(const RoomSettings& settings);
  Error destroy(uint64_t room, const std::string& secret = {});
  Result<std::vector<Participant>> list_participants(uint64_t room);

  // streams in mindex order; SSRC remote_publisher_ssrc(i) for stream i.
  // id 0: Janus picks one. iface empty: Janus binds all addresses.
  Result<RemotePublisher> add_remote_publisher(uint64_t room,
                                               const std::vector<StreamConfig>& streams,
                                               const std::string& display = {}, uint64_t id = 0,
                                               const std::string& secret = {},
                                               const std::string& iface = {});
  // The same stream list again (mindex order), to change what is disabled
  // (or add streams at the end); everyone gets a "publishers" event.
  Error update_remote_publisher(uint64_t room, uint64_t id,
                                const std::vector<StreamConfig>& streams,
                                const std::string& secret = {});
  Error remove_remote_publisher(uint64_t room, uint64_t id, const std::string& secret = {});

  // Unknown mids are skipped by Janus: the result then has fewer entries.
  Result<std::vector<Forwarder>> rtp_forward(uint64_t room, uint64_t publisher_id,
                                             const std::string& host,
                                             const std::vector<ForwardTarget>& streams,
                                             const std::string& secret = {},
                                             const std::string& admin_key = {});
  Error stop_rtp_forward(uint64_t room, uint64_t publisher_id, uint64_t stream_id,
                         const std::string& secret = {}, const std::string& admin_key = {});

  // Joins as a publisher that never publishes, to follow the room's
  // membership; the "joined" event comes on the long poll with the
  // returned transaction. id 0: Janus picks one.
  Result<std::string> join_observer(uint64_t room, const std::string& display, uint64_t id = 0,
                                    const std::string& pin = {});
  Result<std::string> leave();

 private:
  JanusClient& client_;
  uint64_t handle_;
};

}  // namespace corvel::net
