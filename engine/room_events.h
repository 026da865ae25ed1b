// The callbacks an instance receives for what happens to it in a room, the
// vocabulary a room backend reports in. A backend never calls the delegate:
// it builds these tasks and hands them to the member's sink (room_backend.h),
// which queues them on the instance's delivery thread.
//
// Locking: none; a task copies what its callback needs (user ids, frames
// share their payloads), so it may be built and queued under any engine lock.
#ifndef CORVEL_ENGINE_ROOM_EVENTS_H_
#define CORVEL_ENGINE_ROOM_EVENTS_H_

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dispatcher.h"
#include "frames.h"
#include "vora/corvel_vora_cloud.h"

namespace corvel::engine {

struct SeiMessage;

namespace room_events {

// ---- membership ----
// (CONNECTING, CONNECTED) and OnEnterRoom, from a backend that reports entry
// (RoomBackend::ReportsEntry).
std::vector<Task> Entered();
Task UserEntered(std::string user);
Task UserLeft(std::string user, int reason);
Task AudioAvailable(std::string user, bool available);
Task VideoAvailable(std::string user, int type, bool available);
Task ConnectionChanged(vora::ConnectionState from, vora::ConnectionState to);
Task Error(int code);

// The end of a session, the one sequence every path that ends one uses
// (ExitRoom, replacement by the same user elsewhere, removal by the server):
// OnError(error) when error != 0, OnLocalAudioChannelDestroyed when the audio
// channel was open, OnLocalVideoChannelDestroyed per open video channel
// (ascending type), OnConnectionStateChanged(from, DISCONNECTED), OnExitRoom.
std::vector<Task> SessionEnd(int error, bool audio_open, const std::set<int>& video_open,
                             vora::ConnectionState from);

// ---- asked of a sender ----
Task KeyFrameRequested(int type);
Task BitrateRequested(int type, int bps);

// ---- network ----
// The member's own grade first, then the visible others'.
Task NetworkQuality(std::string user, vora::NetworkQuality grade,
                    std::vector<std::pair<std::string, vora::NetworkQuality>> remotes);

// ---- media and messages ----

// Received audio as it waits for delivery. The frame is built on the thread
// that delivers it: routing allocates no frame handle and copies no frame.
struct AudioBlock {
  int rate = 0;
  int channels = 0;
  vora::AudioCodecType codec = vora::AUDIO_CODEC_TYPE_PCM;
  uint32_t pts = 0;
  bool voice = false;
  PayloadPtr payload;
  vora::AudioFrame Frame() const;
  // Calls `call` with the block as a frame that borrows `payload`.
  template <typename Call>
  void Show(Call&& call) const {
    BorrowedAudioFrame shown(payload);
    Fill(shown.frame());
    call(static_cast<const vora::AudioFrame&>(shown.frame()));
  }

 private:
  void Fill(vora::AudioFrame& frame) const;
};

Task RemoteAudio(std::string user, AudioBlock block);
Task MixedAudio(AudioBlock block);
Task RemoteVideo(std::string user, int type, vora::VideoFrame frame);
Task RemotePixels(std::string user, int type, vora::PixelFrame frame);
Task Sei(std::string user, int type, SeiMessage message);
Task Message(std::string user, uint32_t cmd, uint32_t seq, std::string bytes);
Task MissedMessages(std::string user, uint32_t cmd, uint32_t missed);

}  // namespace room_events
}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_ROOM_EVENTS_H_
