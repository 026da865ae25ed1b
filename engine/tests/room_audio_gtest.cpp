// Audio across a room. A receiver whose output format is the sender's gets
// the sender's payload itself, shared, neither resampled nor copied (the
// received frame's data() is the sent frame's); any other case gets a
// converted copy with the same samples where the format allows.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "recording_delegate.h"

using namespace corvel::vora;
using corvel_test::RecordingDelegate;

namespace {

class AudioSink : public RecordingDelegate {
 public:
  void OnRemoteAudioReceived(const char* user, const AudioFrame& frame) override {
    {
      std::lock_guard<std::mutex> lock(frames_mu_);
      frames_.push_back(frame);  // shares the payload
    }
    frames_cv_.notify_all();
    RecordingDelegate::OnRemoteAudioReceived(user, frame);
  }
  std::vector<AudioFrame> WaitFrames(size_t n) {
    std::unique_lock<std::mutex> lock(frames_mu_);
    frames_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return frames_.size() >= n; });
    return frames_;
  }

 private:
  std::mutex frames_mu_;
  std::condition_variable frames_cv_;
  std::vector<AudioFrame> frames_;
};

EnterRoomParams Params(const char* user, uint32_t room, int out_rate) {
  EnterRoomParams p;
  p.room.sdk_app_id = 7;
  p.room.user_id = user;
  p.room.user_sig = "sig";
  p.room.room_id = room;
  p.audio_obtain_params.output_sample_rate = out_rate;
  p.audio_obtain_params.output_channels = 1;
  p.audio_obtain_params.output_frame_length_ms = 20;
  return p;
}

struct Case {
  const char* name;
  int out_rate;    // the receiver's
  int sent_ms;     // one SendAudioFrame of this much 48 kHz mono
  bool extra;      // the sent frame carries extra bytes
  bool forwarded;  // the receiver sees the sent payload itself
};

class RoomAudio : public testing::TestWithParam<Case> {};

TEST_P(RoomAudio, SameFormatIsForwardedWithoutACopy) {
  const Case& c = GetParam();
  static uint32_t next_room = 9100;
  const uint32_t room = next_room++;
  AudioSink sink;
  RecordingDelegate quiet;
  VORACloud* rx = VORACloud::Create(&sink);
  VORACloud* tx = VORACloud::Create(&quiet);
  ASSERT_EQ(rx->EnterRoom(Params("rx", room, c.out_rate)), ERR_OK);
  ASSERT_EQ(tx->EnterRoom(Params("tx", room, 48000)), ERR_OK);
  ASSERT_EQ(tx->CreateLocalAudioChannel(AudioEncodeParams()), ERR_OK);

  const size_t samples = 48 * static_cast<size_t>(c.sent_ms);
  std::vector<int16_t> pcm(samples);
  for (size_t i = 0; i < samples; ++i) pcm[i] = static_cast<int16_t>((i * 37) % 2000 - 1000);
  AudioFrame sent;
  sent.SetData(reinterpret_cast<const uint8_t*>(pcm.data()), samples * 2);
  const uint8_t extra[4] = {1, 2, 3, 4};
  if (c.extra) sent.SetExtraData(extra, sizeof extra);
  ASSERT_EQ(tx->SendAudioFrame(sent), ERR_OK);

  const size_t expected = static_cast<size_t>(c.sent_ms) / 20;
  const std::vector<AudioFrame> got = sink.WaitFrames(expected);
  ASSERT_EQ(got.size(), expected) << c.name;
  EXPECT_EQ(got[0].data() == sent.data(), c.forwarded) << c.name;
  EXPECT_EQ(got[0].size(), static_cast<size_t>(c.out_rate) / 50 * 2) << c.name;
  if (c.out_rate == 48000) {
    EXPECT_EQ(std::vector<uint8_t>(got[0].data(), got[0].data() + got[0].size()),
              std::vector<uint8_t>(sent.data(), sent.data() + got[0].size()))
        << c.name;
  }
  VORACloud::Destroy(tx);
  VORACloud::Destroy(rx);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RoomAudio,
    testing::Values(Case{"same format, one frame", 48000, 20, false, true},
                    Case{"another rate", 16000, 20, false, false},
                    Case{"extra bytes stay with the sender", 48000, 20, true, false},
                    Case{"two frames in one send", 48000, 40, false, false}),
    [](const testing::TestParamInfo<Case>& info) { return std::to_string(info.index); });

}  // namespace
