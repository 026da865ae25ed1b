// One engine instance in a room on a Janus VideoRoom, over plain RTP with
// Opus: it joins, publishes its audio and messages, receives every other
// user's audio and messages, keeps the session alive and comes back after
// the server went away. It speaks in user ids, PCM and bytes; the engine's
// room backend wraps it with a thin adapter.
//
// How it sits in the room (see engine/net/README.md for the details):
// * an *observer* handle joins as a publisher that never publishes, with
//   display = the user id: it is the user's presence, and its events tell
//   who else is there;
// * a *remote publisher* with display = user id + kMediaSuffix carries the
//   user's media: stream 0 Opus audio (SSRC 1000), stream 1 data (SSRC
//   1010), both to the one UDP port Janus gives it;
// * each other user's remote publisher is forwarded (rtp_forward) to two
//   local UDP sockets, audio and data, once its "publishers" event came.
// * video (optional): up to three H.264 streams of ours (VideoStream) follow
//   as streams 2, 3, 4 of the remote publisher (SSRC 1020, 1030, 1040),
//   described "high", "low", "aux", each declared disabled while it is not
//   live (SetVideoLive); another user's video stream is
//   forwarded only while we are subscribed to it, to a socket of its own
//   with an RTCP port, through which our key frame requests go back.
// A user is present while one of its observers is in the room. A remote
// publisher without an observer is not a user: it is ignored, and removed
// when its user's last observer was seen to leave (a crashed engine: its
// observer leaves with its session's timeout). A session removes leftovers
// with its own display when it joins. User ids are unique in a room: a
// second session with the same id takes over its media.
//
// Threads (all the session's own; the sink is called from them, never with
// a lock of the session held):
// * control: the join sequence, forwarding, keepalive timer, reconnection,
//   teardown; every request it makes is bounded (request_timeout_ms);
// * poller: keeps exactly one long poll outstanding and hands the events to
//   the control thread; cancelled only at Stop();
// * receive: one poll() over every forwarded socket and our own send
//   socket (RTCP from Janus): OnMessage, OnVideo, OnSei,
//   OnKeyFrameRequested and OnBitrateRequested come from here;
// * playout: every 20 ms pops each user's jitter buffer and decodes (Opus
//   FEC or concealment for a lost packet), then calls OnAudio; OnQuality
//   every quality_interval_ms.
// The send calls run on the caller's thread (one at a time, under a send
// lock; a datagram send does not wait on the network).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace corvel::net {

// The remote publisher's display: user id + this suffix.
inline constexpr const char* kMediaSuffix = "#media";

// Datagrams to Janus stay at most this large (RTP header included); a larger
// message is refused, never split.
inline constexpr size_t kMaxDatagramBytes = 1200;
// 12 bytes of RTP header, 10 of message header (magic, version, cmd_id, seq,
// sender length) and up to 64 bytes of the sender's id.
inline constexpr size_t kMaxSenderBytes = 64;
size_t max_message_bytes(size_t sender_bytes);

enum class ConnectionState { kConnecting, kConnected, kReconnecting, kDisconnected };
const char* connection_state_name(ConnectionState state);

enum class LeaveReason {
  kLeft,       // its observer left: leave, session timeout, handle gone
  kKicked,     // kicked by the room's owner
  kLost,       // not there any more after our own reconnection, or we are gone
  kDestroyed,  // the room was destroyed
};
const char* leave_reason_name(LeaveReason reason);

// Codes the session adds to Janus' own and JanusClient's (janus_client.h).
enum RoomError : int {
  kRoomBadOptions = -100,      // Start() refused the options
  kRoomKicked = -101,          // our observer was kicked
  kRoomDestroyedError = -102,  // the room was destroyed under us
  kRoomGaveUp = -103,          // no server within the reconnection window
  kRoomNotConnected = -104,    // a send while not connected (nothing sent)
  kRoomTooLarge = -105,        // a message over max_message_bytes()
  kRoomBadAudio = -106,        // rate, channels or Opus packet not usable
  kRoomSendFailed = -107,      // the UDP send failed (errno in the text)
  kRoomStopped = -108,         // after Stop(), or before Start()
  kRoomBadVideo = -109,        // a stream we do not publish, or no NAL unit in the access unit
};

// The engine's video streams: each is a stream of its own in the room.
enum class VideoStream { kHigh = 0, kLow = 1, kAux = 2 };
inline constexpr int kVideoStreams = 3;
// "high", "low", "aux": the stream's description in the room.
const char* video_stream_name(VideoStream stream);

struct Quality {
  double loss_percent = -1;  // received audio packets lost in the interval; < 0 unknown
  double jitter_ms = -1;     // interarrival jitter (RFC 3550); < 0 unknown
  double rtt_ms = -1;        // < 0 unknown; for ourselves: the last keepalive's round trip
  uint64_t packets = 0;      // audio packets received (users) or sent (ourselves) in the interval
};

class JanusRoomEvents {
 public:
  virtual ~JanusRoomEvents() = default;
  // `code`/`text`: why (0/"" when nothing went wrong).
  virtual void OnConnection(ConnectionState /*state*/, int /*code*/, const std::string& /*text*/) {}
  // Once per Start(), after the first join: the users already there.
  virtual void OnJoined(const std::vector<std::string>& /*users*/) {}
  virtual void OnUserJoined(const std::string& /*user*/) {}
  virtual void OnUserLeft(const std::string& /*user*/, LeaveReason /*reason*/) {}
  // True once the user's audio is forwarded to us, false when it stops
  // (unpublished, left, connection lost).
  virtual void OnUserAudioAvailable(const std::string& /*user*/, bool /*available*/) {}
  // 20 ms of decoded audio, interleaved; rtp_timestamp is the sender's.
  virtual void OnAudio(const std::string& /*user*/, const int16_t* /*pcm*/, size_t /*frames*/,
                       int /*rate*/, int /*channels*/, uint32_t /*rtp_timestamp*/) {}
  virtual void OnMessage(const std::string& /*user*/, uint32_t /*cmd_id*/, uint32_t /*seq*/,
                         std::span<const uint8_t> /*bytes*/) {}
  // `user` empty: ourselves.
  virtual void OnQuality(const std::string& /*user*/, const Quality& /*quality*/) {}

  // ---- video ----
  // True while the user publishes this H.264 stream (Subscribe() to receive
  // it), false when it stops or the user's media goes.
  virtual void OnUserVideoAvailable(const std::string& /*user*/, VideoStream /*stream*/,
                                    bool /*available*/) {}
  // One whole access unit of a subscribed stream: Annex B with 00 00 00 01
  // before every NAL unit, our SEI NAL units taken out; pts90k is the
  // sender's (its RTP timestamp). After a loss nothing comes until a key
  // frame (asked for by us).
  virtual void OnVideo(const std::string& /*user*/, VideoStream /*stream*/,
                       std::span<const uint8_t> /*access_unit*/, uint32_t /*pts90k*/,
                       bool /*key_frame*/) {}
  // A message the sender put in that access unit's SEI, right before its OnVideo.
  virtual void OnSei(const std::string& /*user*/, VideoStream /*stream*/,
                     std::span<const uint8_t> /*message*/) {}
  // Somebody in the room wants a key frame of our stream (Janus relays the
  // PLI or FIR of a subscriber or forward receiver as a PLI).
  virtual void OnKeyFrameRequested(VideoStream /*stream*/) {}
  // A REMB for our stream (Janus 1.1.2 sends none to a remote publisher:
  // see engine/net/README.md).
  virtual void OnBitrateRequested(VideoStream /*stream*/, uint64_t /*bps*/) {}
};

struct JanusRoomOptions {
  std::string url;                    // Janus HTTP API, e.g. "http://127.0.0.1:8088/janus"
  uint64_t room = 0;                  // created when missing
  std::string user_id;                // display name; non-empty, not ending in kMediaSuffix
  std::string secret;                 // the room's secret, if it has one (also used to create it)
  std::string bind_ip = "127.0.0.1";  // local address of the media sockets
  // Address Janus forwards to; empty: bind_ip (127.0.0.1 when that is 0.0.0.0).
  std::string forward_host;
  uint16_t port_min = 0;  // media sockets' UDP ports; 0/0: ephemeral
  uint16_t port_max = 0;
  int send_channels = 1;     // Opus channels sent (1 or 2)
  int receive_channels = 1;  // channels of OnAudio
  int bitrate = 32000;
  bool fec = true;  // in-band FEC in what we send
  long connect_timeout_ms = 1000;
  long request_timeout_ms = 1000;   // every signalling request
  int keepalive_ms = 10000;         // <= Janus' session_timeout / 3
  int join_timeout_ms = 3000;       // the join event after the join request
  int start_window_ms = 3000;       // first connection: retries within this, then disconnected
  int reconnect_window_ms = 30000;  // after a loss: retries within this, then disconnected
  int stop_timeout_ms = 2000;       // teardown budget of Stop()
  int quality_interval_ms = 2000;
  int jitter_min_ms = 20;
  int jitter_max_ms = 200;
  // Video streams we publish (each at most once), H.264 in the room; others
  // see one only while it is live (SetVideoLive), from the start if asked.
  std::vector<VideoStream> video_streams;
  bool video_live_at_start = true;
  int video_payload_type = 107;  // what Janus gives H.264 towards browsers
  size_t video_max_payload = 1200;
  // While a subscribed stream waits for a key frame, our request is
  // repeated this often (Janus passes at most one a second on).
  int key_frame_request_interval_ms = 1000;
};

class JanusRoomSession {
 public:
  // `events` must outlive the session (or its Stop()).
  JanusRoomSession(JanusRoomOptions options, JanusRoomEvents& events);
  ~JanusRoomSession();  // Stop()
  JanusRoomSession(const JanusRoomSession&) = delete;
  JanusRoomSession& operator=(const JanusRoomSession&) = delete;

  // Starts the threads and returns: the connection is reported through
  // OnConnection. 0, or kRoomBadOptions/kRoomStopped (already started).
  int Start();
  // Leaves the room (remove_remote_publisher, leave, destroy the session)
  // within about max(stop_timeout_ms, request_timeout_ms), whatever the
  // server does; joins the threads. No callback after it returns.
  void Stop();

  // Encodes 20 ms Opus frames at 48 kHz from PCM of any rate (8..96 kHz,
  // resampled) and 1..8 interleaved channels, and sends them. Returns the
  // packets sent (0 while a frame fills up), or a negative RoomError.
  int SendPcm(const int16_t* pcm, size_t frames, int rate, int channels);
  // Sends one Opus packet lasting `duration_samples` at 48 kHz.
  int SendOpus(std::span<const uint8_t> packet, int duration_samples = 960);
  // A message to everyone in the room, in order per sender; at most
  // max_message_bytes(user_id.size()) bytes. 1 when sent, or a RoomError.
  int SendMessage(uint32_t cmd_id, uint32_t seq, std::span<const uint8_t> bytes);

  // One access unit (Annex B) of our stream `stream` at pts90k (90 kHz),
  // with `sei` messages added in SEI NAL units. Returns the RTP packets
  // sent, or kRoomBadVideo / kRoomNotConnected / kRoomSendFailed /
  // kRoomStopped.
  int SendVideo(VideoStream stream, std::span<const uint8_t> access_unit, uint32_t pts90k,
                const std::vector<std::vector<uint8_t>>& sei = {});
  // Shows (or hides) our stream `stream` to the room: others see it
  // published only while it is live. 0, or kRoomBadVideo (not one of
  // options.video_streams) / kRoomStopped.
  int SetVideoLive(VideoStream stream, bool live);
  // Receive (or stop receiving) the user's stream whenever it is published;
  // kept across reconnections until Unsubscribe. 0, or kRoomStopped.
  int Subscribe(const std::string& user, VideoStream stream);
  int Unsubscribe(const std::string& user, VideoStream stream);
  // Asks the sender of a subscribed stream for a key frame now (a PLI
  // through the forward's RTCP port). 1 when sent, 0 when the stream is not
  // being received.
  int RequestKeyFrame(const std::string& user, VideoStream stream);

  ConnectionState state() const;
  // RTP timestamp of the last audio packet sent (to match OnAudio's).
  uint32_t last_rtp_timestamp() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The message envelope inside a data datagram (after Janus took off the
// fake RTP header): exposed for the tests.
struct MessageEnvelope {
  uint32_t cmd_id = 0;
  uint32_t seq = 0;
  std::string sender;
  std::span<const uint8_t> bytes;
};
bool parse_message_envelope(std::span<const uint8_t> data, MessageEnvelope& out);
void append_message_envelope(uint32_t cmd_id, uint32_t seq, const std::string& sender,
                             std::span<const uint8_t> bytes, std::vector<uint8_t>& out);

}  // namespace corvel::net
