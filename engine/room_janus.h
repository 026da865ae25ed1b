// The Janus backend (room_backend.h): rooms on a Janus media server (1.1.x
// VideoRoom), chosen by SetEnvironment("janus+http://HOST:PORT/PATH"). Each
// member is one net::JanusRoomSession (engine/net/janus_room.h): it joins,
// publishes Opus audio and messages over plain RTP, and receives the others'
// through RTP forwarders to its own UDP sockets.
//
// Rooms: a numeric room_id is the VideoRoom of that number; a text
// str_room_id is the VideoRoom RoomNumber() gives (a 64-bit FNV-1a hash of
// the text's bytes folded into [2^32, 2^53): never a numeric id, and exact in
// a JSON number). sdk_app_id is not part of the server's room: one server is
// one application. The room is created when missing. The user id is the
// display name.
//
// What the session reports, through the member's sink only: (CONNECTING,
// CONNECTED) and OnEnterRoom once joined (ReportsEntry), the users present
// and those entering and leaving (reasons: 0 left, 1 connection lost, 2
// removed by the server or the room destroyed), OnRemoteAudioAvailable when
// a user's audio is forwarded to us, (CONNECTED, DISCONNECTED),
// (DISCONNECTED, CONNECTING) on a loss of the server and (CONNECTING,
// CONNECTED) once back (as the loopback rooms report a lost link), and the session end (OnError,
// channel teardown, DISCONNECTED, OnExitRoom) when the server cannot be reached at entry, is lost
// for longer than the reconnection window (30 s), or removes us. Audio decoded by the session goes
// through AudioConversions and AudioReceiver as in the loopback rooms. Video: H.264 access units
// per stream (HIGH, LOW, AUX), forwarded to a member once it subscribes; pixel frames and H.265
// are dropped and counted.
//
// Environment (read at each EnterRoom): CORVEL_JANUS_BIND_IP, the local
// address of the media sockets (127.0.0.1 by default; 0.0.0.0 for all);
// CORVEL_JANUS_FORWARD_HOST, the address the server sends our media to (the
// bind address by default: set it when the server is on another host);
// CORVEL_JANUS_PORTS=MIN-MAX, the UDP ports of the media sockets (ephemeral
// by default).
//
// Threads and locks: the session's threads call the JanusRoomEvents of a
// member's adapter, which takes the adapter's mutex (after Cloud::mu_ in the
// lock order; leaf queues and the sink under it) and never waits on the
// network under it. Leave only closes the gate (no callback after it); the
// network teardown (JanusRoomSession::Stop, bounded by about 2 s) runs in
// the session's destructor, which the instance runs after letting go of its
// mutex (ExitRoom, Destroy), or on the member's own clock thread once the
// server ended the session.
#ifndef CORVEL_ENGINE_ROOM_JANUS_H_
#define CORVEL_ENGINE_ROOM_JANUS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "room_backend.h"

namespace corvel::engine {

class JanusBackend final : public RoomBackend {
 public:
  static JanusBackend& Get();
  const char* name() const override { return "janus"; }
  bool ReportsEntry() const override { return true; }
  std::shared_ptr<RoomSession> Enter(const RoomKey& key, MemberSpec spec,
                                     MemberSink& sink) override;
  // The rooms live on the server: nothing to describe here.
  void VisitRooms(void (*visit)(void*, const corvel_room*), void* context) override;

  // The VideoRoom number of a room (see above).
  static uint64_t RoomNumber(const RoomKey& key);
};

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_ROOM_JANUS_H_
