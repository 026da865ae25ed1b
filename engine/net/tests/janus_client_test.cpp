// JanusClient against a real Janus: tests/test_janus_units.py starts one on
// 127.0.0.1 and passes its API URL in CORVEL_JANUS_URL. Without it the
// Janus tests skip; the transport-error tests run anyway (loopback only).
#include "janus_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <functional>
#include <numbers>
#include <random>
#include <set>
#include <thread>

#include "jitter_buffer.h"
#include "opus_codec.h"
#include "rtp.h"
#include "udp_socket.h"

namespace corvel::net {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = RoomEvent::Kind;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A TCP socket on 127.0.0.1 that listens and never answers (the kernel
// completes connections into the backlog).
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~SilentServer() { ::close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(JanusClientErrors, TransportTroubleIsAValueAndBounded) {
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  JanusClient mute("http://127.0.0.1:" + std::to_string(silent.port()) + "/janus",
                   {.connect_timeout_ms = 300, .request_timeout_ms = 300});
  auto start = Clock::now();
  auto r = mute.info();
  EXPECT_EQ(r.error.code, kJanusTimeout) << r.error.text;
  EXPECT_LT(elapsed_ms(start), 2000);
  EXPECT_EQ(mute.create_session().code, kJanusTimeout);
  EXPECT_FALSE(mute.session_id());

  // Nothing listens on the port of a closed socket.
  uint16_t closed_port;
  {
    SilentServer gone;
    closed_port = gone.port();
  }
  JanusClient refused("http://127.0.0.1:" + std::to_string(closed_port) + "/janus");
  EXPECT_EQ(refused.info().error.code, kJanusTransport);

  // Session calls before a session exist fail without the network.
  EXPECT_EQ(refused.keepalive().code, kJanusNoSession);
  EXPECT_EQ(refused.attach().error.code, kJanusNoSession);
  EXPECT_EQ(refused.poll_events(100).error.code, kJanusNoSession);
  EXPECT_EQ(refused.destroy_session().code, kJanusNoSession);
}

TEST(RoomEvents, AreClassified) {
  using nlohmann::json;
  auto event = [](json data) {
    return json{{"janus", "event"},
                {"sender", 77},
                {"transaction", "t1"},
                {"plugindata", {{"plugin", "janus.plugin.videoroom"}, {"data", data}}}};
  };
  struct Case {
    json in;
    Kind kind;
    uint64_t id;
  };
  const std::vector<Case> cases = {
      {event({{"videoroom", "joined"},
              {"room", 5},
              {"id", 501},
              {"private_id", 9},
              {"publishers",
               {{{"id", 777},
                 {"display", "rp"},
                 {"streams",
                  {{{"type", "audio"}, {"mindex", 0}, {"mid", "0"}, {"codec", "opus"}}}}}}},
              {"attendees", {{{"id", 8}, {"display", "obs"}}}}}),
       Kind::kJoined, 501},
      {event({{"videoroom", "event"}, {"room", 5}, {"publishers", json::array()}}),
       Kind::kPublishers, 0},
      {event({{"videoroom", "event"}, {"room", 5}, {"joining", {{"id", 12}, {"display", "x"}}}}),
       Kind::kJoining, 12},
      {event({{"videoroom", "event"}, {"room", 5}, {"unpublished", 13}}), Kind::kUnpublished, 13},
      {event({{"videoroom", "event"}, {"room", 5}, {"leaving", 14}}), Kind::kLeaving, 14},
      {event({{"videoroom", "event"}, {"room", 5}, {"leaving", "ok"}, {"reason", "kicked"}}),
       Kind::kLeaving, 0},
      {event({{"videoroom", "event"}, {"room", 5}, {"kicked", 15}}), Kind::kKicked, 15},
      {event({{"videoroom", "destroyed"}, {"room", 5}}), Kind::kDestroyed, 0},
      {event({{"videoroom", "event"}, {"error_code", 426}, {"error", "No such room (5)"}}),
       Kind::kError, 0},
      {json{{"janus", "webrtcup"}, {"sender", 77}}, Kind::kOther, 0},
      {json{{"janus", "event"},
            {"plugindata", {{"plugin", "janus.plugin.audiobridge"}, {"data", json::object()}}}},
       Kind::kOther, 0},
      {json{{"janus", "event"}, {"plugindata", "garbage"}}, Kind::kOther, 0},
      {json::array(), Kind::kOther, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in.dump());
    const RoomEvent ev = parse_room_event(c.in);
    EXPECT_EQ(ev.kind, c.kind);
    EXPECT_EQ(ev.id, c.id);
  }
  const RoomEvent joined = parse_room_event(cases[0].in);
  EXPECT_EQ(joined.sender, 77u);
  EXPECT_EQ(joined.transaction, "t1");
  EXPECT_EQ(joined.room, 5u);
  EXPECT_EQ(joined.private_id, 9u);
  ASSERT_EQ(joined.publishers.size(), 1u);
  EXPECT_EQ(joined.publishers[0].id, 777u);
  ASSERT_EQ(joined.publishers[0].streams.size(), 1u);
  EXPECT_EQ(joined.publishers[0].streams[0].codec, "opus");
  ASSERT_EQ(joined.attendees.size(), 1u);
  EXPECT_EQ(joined.attendees[0].display, "obs");
  EXPECT_EQ(parse_room_event(cases[8].in).error.code, 426);
}

// ---- against a running Janus ---------------------------------------------------

std::string janus_url() {
  const char* url = std::getenv("CORVEL_JANUS_URL");
  return url ? url : "";
}

// Field by field: GCC 12 warns about designated initializers that leave
// std::string members out.
RoomSettings room_settings(uint64_t room, const std::string& secret = {}) {
  RoomSettings s;
  s.room = room;
  s.description = "corvel test";
  s.secret = secret;
  return s;
}

StreamConfig stream(const std::string& type, const std::string& codec = {}) {
  StreamConfig s;
  s.type = type;
  s.codec = codec;
  return s;
}

ForwardTarget forward(const std::string& mid, uint16_t port) {
  ForwardTarget f;
  f.mid = mid;
  f.port = port;
  return f;
}

uint64_t random_room() {
  static std::mt19937_64 rng(std::random_device{}());
  return 100000 + rng() % 1000000000;
}

// One party: a session with a VideoRoom handle. Destroys the session at
// the end, whatever happened.
struct Party {
  JanusClient client;
  std::optional<VideoRoom> room;
  explicit Party(const std::string& url) : client(url, {.poll_timeout_ms = 2000}) {}
  ~Party() {
    if (client.session_id()) client.destroy_session();
  }
  ::testing::AssertionResult open() {
    if (Error e = client.create_session(); !e.ok())
      return ::testing::AssertionFailure() << "create: " << e.text;
    auto handle = client.attach();
    if (!handle.ok()) return ::testing::AssertionFailure() << "attach: " << handle.error.text;
    room.emplace(client, handle.value);
    return ::testing::AssertionSuccess();
  }
  std::string seen;                    // every event polled, for failure messages
  std::set<uint64_t> publishers_seen;  // from "joined" and "publishers" events

  // Polls until an event matches, within `timeout_ms`. Every event of a
  // poll is recorded, and those after the match wait for the next call. One
  // poll spans the whole wait: a long poll the client gives up on may still
  // be handed the next event by Janus, which is then lost.
  std::optional<RoomEvent> wait_for(const std::function<bool(const RoomEvent&)>& match,
                                    long timeout_ms = 5000) {
    const auto start = Clock::now();
    for (;;) {
      while (!pending.empty()) {
        RoomEvent ev = std::move(pending.front());
        pending.pop_front();
        if (match(ev)) return ev;
      }
      if (elapsed_ms(start) >= timeout_ms) return std::nullopt;
      auto r = client.poll_events(timeout_ms - elapsed_ms(start) + 1);
      if (!r.ok()) {
        seen += "poll error " + std::to_string(r.error.code) + " " + r.error.text + "\n";
        return std::nullopt;
      }
      for (const auto& e : r.value) {
        seen += e.dump() + "\n";
        RoomEvent ev = parse_room_event(e);
        for (const Publisher& p : ev.publishers) publishers_seen.insert(p.id);
        pending.push_back(std::move(ev));
      }
    }
  }
  std::deque<RoomEvent> pending;  // polled, not yet matched
};

// Removes what a test created in Janus, on failure too.
struct Cleanup {
  std::vector<std::function<void()>> steps;
  ~Cleanup() {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) (*it)();
  }
};

class JanusTest : public testing::Test {
 protected:
  void SetUp() override {
    url_ = janus_url();
    if (url_.empty())
      GTEST_SKIP() << "CORVEL_JANUS_URL not set (tests/test_janus_units.py sets it)";
  }
  std::string url_;
};

TEST_F(JanusTest, SessionHandleAndRoomRequests) {
  Party p(url_);
  auto info = p.client.info();
  ASSERT_TRUE(info.ok()) << info.error.text;
  EXPECT_EQ(info.value["janus"], "server_info");
  ASSERT_TRUE(p.open());
  EXPECT_EQ(p.client.keepalive().code, 0);

  const uint64_t room = random_room();
  Cleanup cleanup;
  auto exists = p.room->exists(room);
  ASSERT_TRUE(exists.ok()) << exists.error.text;
  EXPECT_FALSE(exists.value);
  auto created = p.room->create(room_settings(room, "s3"));
  ASSERT_TRUE(created.ok()) << created.error.text;
  cleanup.steps.push_back([&] { p.room->destroy(room, "s3"); });
  EXPECT_EQ(created.value, room);
  EXPECT_TRUE(p.room->exists(room).value);
  // Plugin errors come back as their codes.
  EXPECT_EQ(p.room->create(room_settings(room)).error.code, 427);
  EXPECT_EQ(p.room->destroy(room).code, 429);  // secret missing
  EXPECT_EQ(p.room->destroy(room, "wrong").code, 433);
  EXPECT_EQ(p.room->list_participants(room + 1).error.code, 426);
  EXPECT_EQ(p.room->remove_remote_publisher(room, 12345, "s3").code, 428);
  auto participants = p.room->list_participants(room);
  ASSERT_TRUE(participants.ok());
  EXPECT_TRUE(participants.value.empty());
  // A room Janus numbers itself.
  auto numbered = p.room->create(RoomSettings{});
  ASSERT_TRUE(numbered.ok()) << numbered.error.text;
  EXPECT_NE(numbered.value, 0u);
  EXPECT_TRUE(p.room->destroy(numbered.value).ok());

  // An idle long poll ends at our bound with no events.
  auto start = Clock::now();
  auto events = p.client.poll_events(300);
  EXPECT_TRUE(events.ok()) << events.error.text;
  EXPECT_TRUE(events.value.empty());
  EXPECT_LT(elapsed_ms(start), 1500);
  // cancel_poll ends a poll at once, and the next until reset.
  p.client.cancel_poll();
  EXPECT_EQ(p.client.poll_events(5000).error.code, kJanusCancelled);
  p.client.reset_cancel();

  // Core errors: a handle that does not exist.
  EXPECT_EQ(p.client.plugin_request(p.room->handle() + 1, {{"request", "list"}}).error.code, 459);
  EXPECT_TRUE(p.client.detach(p.room->handle()).ok());
  EXPECT_EQ(p.room->exists(room).error.code, 459);
  auto again = p.client.attach();
  ASSERT_TRUE(again.ok());
  p.room.emplace(p.client, again.value);
}

TEST_F(JanusTest, ObserverSeesRemotePublishersComeAndGo) {
  Party observer(url_), engine(url_);
  ASSERT_TRUE(observer.open());
  ASSERT_TRUE(engine.open());
  const uint64_t room = random_room();
  Cleanup cleanup;
  ASSERT_TRUE(observer.room->create(room_settings(room)).ok());
  cleanup.steps.push_back([&] { observer.room->destroy(room); });

  auto joining = observer.room->join_observer(room, "observer");
  ASSERT_TRUE(joining.ok()) << joining.error.text;
  auto joined =
      observer.wait_for([&](const RoomEvent& e) { return e.transaction == joining.value; });
  ASSERT_TRUE(joined);
  ASSERT_EQ(joined->kind, Kind::kJoined) << joined->raw.dump();
  EXPECT_EQ(joined->sender, observer.room->handle());
  EXPECT_TRUE(joined->publishers.empty());

  auto rp = engine.room->add_remote_publisher(room, {stream("audio", "opus"), stream("data")},
                                              "engine-media");
  ASSERT_TRUE(rp.ok()) << rp.error.text;
  auto published =
      observer.wait_for([](const RoomEvent& e) { return e.kind == Kind::kPublishers; });
  ASSERT_TRUE(published);
  ASSERT_EQ(published->publishers.size(), 1u);
  EXPECT_EQ(published->publishers[0].id, rp.value.id);
  EXPECT_EQ(published->publishers[0].display, "engine-media");
  ASSERT_EQ(published->publishers[0].streams.size(), 2u);
  EXPECT_EQ(published->publishers[0].streams[0].mid, "0");
  EXPECT_EQ(published->publishers[0].streams[1].type, "data");

  auto list = observer.room->list_participants(room);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(list.value.size(), 2u);  // the observer and the remote publisher
  bool remote_seen = false;
  for (const Participant& p : list.value)
    remote_seen |= p.id == rp.value.id && p.remote && p.publisher;
  EXPECT_TRUE(remote_seen);

  ASSERT_TRUE(engine.room->remove_remote_publisher(room, rp.value.id).ok());
  auto left = observer.wait_for([](const RoomEvent& e) { return e.kind == Kind::kLeaving; });
  ASSERT_TRUE(left);
  EXPECT_EQ(left->id, rp.value.id);

  auto leaving = observer.room->leave();
  ASSERT_TRUE(leaving.ok());
  auto gone =
      observer.wait_for([](const RoomEvent& e) { return e.kind == Kind::kLeaving && e.id == 0; });
  EXPECT_TRUE(gone);

  // A handle that left cannot join again (Janus wants a new handle)...
  auto rejoin = observer.room->join_observer(room, "observer-2");
  ASSERT_TRUE(rejoin.ok());
  auto refused =
      observer.wait_for([&](const RoomEvent& e) { return e.transaction == rejoin.value; });
  ASSERT_TRUE(refused) << observer.seen;
  EXPECT_EQ(refused->kind, Kind::kError);
  EXPECT_EQ(refused->error.code, 425);
  // ... which joins, and is told when the room goes away under it.
  auto handle = observer.client.attach();
  ASSERT_TRUE(handle.ok());
  VideoRoom fresh(observer.client, handle.value);
  auto joining_again = fresh.join_observer(room, "observer-2");
  ASSERT_TRUE(joining_again.ok());
  ASSERT_TRUE(observer.wait_for([&](const RoomEvent& e) { return e.kind == Kind::kJoined; }))
      << observer.seen;
  ASSERT_TRUE(engine.room->destroy(room).ok());
  cleanup.steps.clear();
  auto destroyed = observer.wait_for([](const RoomEvent& e) { return e.kind == Kind::kDestroyed; });
  ASSERT_TRUE(destroyed) << observer.seen;
  EXPECT_EQ(destroyed->sender, fresh.handle());
  EXPECT_EQ(destroyed->room, room);
}

// Run against a Janus with a short session_timeout, given in
// CORVEL_JANUS_SESSION_TIMEOUT (seconds). What keeps a session alive is a
// request arriving: a keepalive, or a new long poll. One long poll that
// hangs in Janus does not.
TEST_F(JanusTest, SessionsLiveOnRequestsNotOnAHangingPoll) {
  const char* timeout_env = std::getenv("CORVEL_JANUS_SESSION_TIMEOUT");
  const long timeout_s = timeout_env ? std::atol(timeout_env) : 0;
  if (timeout_s <= 0 || timeout_s > 10)
    GTEST_SKIP() << "needs CORVEL_JANUS_SESSION_TIMEOUT (1..10 s)";
  JanusClient hanging(url_), kept(url_), repolled(url_);
  ASSERT_TRUE(hanging.create_session().ok());
  ASSERT_TRUE(kept.create_session().ok());
  ASSERT_TRUE(repolled.create_session().ok());
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto every = [&](long period_ms, const std::function<bool()>& step) {
    return std::thread([&, period_ms, step] {
      while (!done) {
        if (!step()) ++failures;
        for (long waited = 0; waited < period_ms && !done; waited += 50)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  };
  std::thread keeper = every(timeout_s * 1000 / 3, [&] { return kept.keepalive().ok(); });
  std::thread poller = every(0, [&] { return repolled.poll_events(500).ok(); });
  // Janus' watchdog runs every 2 s or so, so expiry comes up to ~2 s late;
  // the "timeout" event ends the hanging poll.
  const auto start = Clock::now();
  auto r = hanging.poll_events((timeout_s + 5) * 1000);
  const long expired_after = elapsed_ms(start);
  done = true;
  keeper.join();
  poller.join();
  EXPECT_EQ(r.error.code, kJanusNoSuchSession) << r.error.text;
  EXPECT_GE(expired_after, timeout_s * 1000 - 500);
  EXPECT_LT(expired_after, (timeout_s + 4) * 1000);
  EXPECT_FALSE(hanging.session_id());
  EXPECT_EQ(hanging.keepalive().code, kJanusNoSession);
  // The two others outlived it.
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(kept.attach().ok());
  EXPECT_TRUE(repolled.attach().ok());
  EXPECT_TRUE(kept.destroy_session().ok());
  EXPECT_TRUE(repolled.destroy_session().ok());
}

// One side of a call: its remote publisher in the room and the socket its
// forwarders deliver to.
struct Side {
  Party party;
  RemotePublisher publisher;
  UdpSocket socket;
  opus::Encoder encoder;
  std::vector<std::vector<uint8_t>> sent_payloads;
  uint64_t forwarder = 0;  // the other's audio to our socket
  Side(const std::string& url, UdpSocket s, opus::Encoder e)
      : party(url), socket(std::move(s)), encoder(std::move(e)) {}
};

TEST_F(JanusTest, TwoPartiesHearEachOtherThroughTheRoom) {
  constexpr int kPackets = 50;
  const uint64_t room = random_room();
  auto make_side = [&]() {
    auto socket = UdpSocket::bind("127.0.0.1", 0);
    auto encoder = opus::Encoder::create({.channels = 1, .frame_ms = 20, .bitrate = 32000});
    EXPECT_TRUE(socket && encoder);
    return std::make_unique<Side>(url_, std::move(*socket), std::move(*encoder));
  };
  auto a = make_side(), b = make_side();
  ASSERT_TRUE(a->party.open());
  ASSERT_TRUE(b->party.open());
  Cleanup cleanup;
  ASSERT_TRUE(a->party.room->create(room_settings(room, "pw")).ok());
  cleanup.steps.push_back([&] { a->party.room->destroy(room, "pw"); });

  // The engine's sequence: each party joins as an observer, then publishes
  // its audio into the room over plain RTP.
  for (Side* s : {a.get(), b.get()}) {
    auto joining = s->party.room->join_observer(room, "party");
    ASSERT_TRUE(joining.ok()) << joining.error.text;
    ASSERT_TRUE(s->party.wait_for([&](const RoomEvent& e) {
      return e.transaction == joining.value;
    })) << s->party.seen;
    auto rp =
        s->party.room->add_remote_publisher(room, {stream("audio", "opus")}, "party", 0, "pw");
    ASSERT_TRUE(rp.ok()) << rp.error.text;
    ASSERT_NE(rp.value.port, 0);
    s->publisher = rp.value;
  }
  // Each forwards the other's audio (Janus' mid "0") to its socket when the
  // observer hears of it. (add_remote_publisher answers before the
  // publisher is live: an rtp_forward right after it may get 428.)
  for (auto [me, other] : {std::pair{a.get(), b.get()}, std::pair{b.get(), a.get()}}) {
    // A party that joined later saw the other in its "joined" event.
    const uint64_t other_id = other->publisher.id;
    const bool heard =
        me->party.publishers_seen.count(other_id) || me->party.wait_for([&](const RoomEvent&) {
          return me->party.publishers_seen.count(other_id) > 0;
        });
    ASSERT_TRUE(heard) << me->party.seen;
    auto fw = me->party.room->rtp_forward(
        room, other_id, "127.0.0.1", {forward("0", me->socket.port()), forward("zz", 9)}, "pw");
    ASSERT_TRUE(fw.ok()) << fw.error.code << " " << fw.error.text;
    ASSERT_EQ(fw.value.size(), 1u);  // the unknown mid is skipped
    EXPECT_EQ(fw.value[0].type, "audio");
    EXPECT_EQ(fw.value[0].port, me->socket.port());
    EXPECT_NE(fw.value[0].stream_id, 0u);
    me->forwarder = fw.value[0].stream_id;
  }

  // Both talk at once: 50 packets of 20 ms, different tones.
  std::vector<uint8_t> wire, packet(opus::kMaxPacketBytes);
  std::vector<int16_t> pcm(960);
  for (int i = 0; i < kPackets; ++i) {
    for (Side* s : {a.get(), b.get()}) {
      const double hz = s == a.get() ? 440 : 880;
      for (int n = 0; n < 960; ++n)
        pcm[n] = static_cast<int16_t>(8000 *
                                      std::sin(2 * std::numbers::pi * hz * (i * 960 + n) / 48000));
      const int bytes = s->encoder.encode(pcm, packet);
      ASSERT_GT(bytes, 0);
      s->sent_payloads.emplace_back(packet.begin(), packet.begin() + bytes);
      RtpHeader h;
      h.payload_type = 111;
      h.marker = i == 0;
      h.sequence = static_cast<uint16_t>(65530 + i);  // wraps on the way
      h.timestamp = static_cast<uint32_t>(i * 960);
      h.ssrc = remote_publisher_ssrc(0);
      ASSERT_EQ(serialize_rtp(h, s->sent_payloads.back(), wire), RtpError::kOk);
      const std::string host = s->publisher.ip.empty() ? "127.0.0.1" : s->publisher.ip;
      ASSERT_EQ(s->socket.send_to(wire, {host, s->publisher.port}), static_cast<int>(wire.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // Each receives the other's stream: same bytes, in order, decodable.
  for (auto [me, other] : {std::pair{a.get(), b.get()}, std::pair{b.get(), a.get()}}) {
    SCOPED_TRACE(me == a.get() ? "party a" : "party b");
    // Played out after the fact, so no delay is ever shed.
    JitterBuffer jitter({.min_delay_ms = 20,
                         .max_delay_ms = 2000,
                         .initial_delay_ms = 20,
                         .shed_after_pops = 1000});
    ReceptionStats stats;
    auto decoder = opus::Decoder::create(1);
    ASSERT_TRUE(decoder);
    std::vector<uint8_t> buf(1500);
    int received = 0;
    const auto start = Clock::now();
    while (received < kPackets && elapsed_ms(start) < 5000) {
      const Received r = me->socket.receive(buf, 500);
      if (r.status != Received::Status::kData) continue;
      RtpPacketView v;
      ASSERT_EQ(parse_rtp({buf.data(), r.size}, v), RtpError::kOk);
      EXPECT_EQ(v.header.ssrc, remote_publisher_ssrc(0));
      EXPECT_EQ(v.header.payload_type, 111);
      EXPECT_EQ(v.header.sequence, static_cast<uint16_t>(65530 + received));
      ASSERT_LT(received, kPackets);
      EXPECT_EQ(std::vector<uint8_t>(v.payload.begin(), v.payload.end()),
                other->sent_payloads[received]);
      stats.on_packet(v.header.sequence, v.header.timestamp,
                      static_cast<uint32_t>(elapsed_ms(start) * 48));
      EXPECT_EQ(jitter.push(v.header.sequence, v.header.timestamp, v.payload, elapsed_ms(start)),
                PushResult::kAccepted);
      ++received;
    }
    ASSERT_EQ(received, kPackets);
    EXPECT_EQ(stats.cumulative_lost(), 0);
    // Play it out: every slot a packet, each decoding to 20 ms of the tone.
    std::vector<int16_t> out(opus::kMaxFrameSamples);
    double energy = 0;
    int zero_crossings = 0;
    int16_t last = 0;
    for (int i = 0; i < kPackets; ++i) {
      JitterSlot slot = jitter.pop();
      ASSERT_EQ(slot.kind, JitterSlot::Kind::kPacket);
      ASSERT_EQ(decoder->decode(slot.payload, out), 960);
      if (i < kPackets / 2) continue;  // past the codec's start-up
      for (int n = 0; n < 960; ++n) {
        energy += static_cast<double>(out[n]) * out[n];
        zero_crossings += (out[n] >= 0) != (last >= 0);
        last = out[n];
      }
    }
    EXPECT_GT(std::sqrt(energy / (960.0 * kPackets / 2)), 3000);
    // The other party's tone: 880 Hz for a, 440 Hz for b (2 crossings per cycle).
    const double hz = zero_crossings / 2.0 / (0.02 * kPackets / 2);
    EXPECT_NEAR(hz, other == b.get() ? 880 : 440, 40);
  }

  // Stopping a forwarder: once it works, then it is unknown.
  EXPECT_TRUE(a->party.room->stop_rtp_forward(room, b->publisher.id, a->forwarder, "pw").ok());
  EXPECT_NE(a->party.room->stop_rtp_forward(room, b->publisher.id, a->forwarder, "pw").code, 0);
  for (Side* s : {a.get(), b.get()})
    EXPECT_TRUE(s->party.room->remove_remote_publisher(room, s->publisher.id, "pw").ok());
  auto after = a->party.room->list_participants(room);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after.value.size(), 2u);  // the two observers
  for (const Participant& p : after.value) EXPECT_FALSE(p.remote);
}

}  // namespace
}  // namespace corvel::net
