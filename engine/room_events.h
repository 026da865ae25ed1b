// The callbacks an instance receives for what happens to it in a room. Room
// code (a backend) never calls the delegate: it builds these tasks and hands
// them to the instance's delivery queue.
//
// Locking: none; building a task takes no lock and copies what the callback
// needs, so a task may be queued under any engine lock.
#ifndef CORVEL_ENGINE_ROOM_EVENTS_H_
#define CORVEL_ENGINE_ROOM_EVENTS_H_

#include <set>
#include <vector>

#include "dispatcher.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine::room_events {

// The end of a session, the one sequence every path that ends one uses
// (ExitRoom, replacement by the same user elsewhere, removal by the server):
// OnError(error) when error != 0, OnLocalAudioChannelDestroyed when the audio
// channel was open, OnLocalVideoChannelDestroyed per open video channel
// (ascending type), OnConnectionStateChanged(from, DISCONNECTED), OnExitRoom.
std::vector<Task> SessionEnd(int error, bool audio_open, const std::set<int>& video_open,
                             vora::ConnectionState from);

}  // namespace corvel::engine::room_events

#endif  // CORVEL_ENGINE_ROOM_EVENTS_H_
