#include "room_events.h"

#include <utility>

namespace corvel::engine::room_events {

using namespace corvel::vora;

namespace {

Task Make(const char* name, DelegateCall call) {
  Task task;
  task.name = name;
  task.call = std::move(call);
  return task;
}

}  // namespace

std::vector<Task> SessionEnd(int error, bool audio_open, const std::set<int>& video_open,
                             ConnectionState from) {
  std::vector<Task> tasks;
  tasks.reserve(3 + video_open.size());
  if (error != 0) {
    const auto e = static_cast<Error>(error);
    tasks.push_back(Make("OnError", [e](VORACloudDelegate& d) { d.OnError(e); }));
  }
  if (audio_open)
    tasks.push_back(Make("OnLocalAudioChannelDestroyed",
                         [](VORACloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); }));
  for (int type : video_open) {
    const auto t = static_cast<StreamType>(type);
    tasks.push_back(Make("OnLocalVideoChannelDestroyed",
                         [t](VORACloudDelegate& d) { d.OnLocalVideoChannelDestroyed(t); }));
  }
  tasks.push_back(Make("OnConnectionStateChanged", [from](VORACloudDelegate& d) {
    d.OnConnectionStateChanged(from, CONNECTION_STATE_DISCONNECTED);
  }));
  tasks.push_back(Make("OnExitRoom", [](VORACloudDelegate& d) { d.OnExitRoom(); }));
  return tasks;
}

}  // namespace corvel::engine::room_events
