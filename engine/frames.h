// Frame payload storage shared by AudioFrame, VideoFrame and PixelFrame.
//
// A frame's handle_ is null while its payload is empty, or points at a
// heap-held std::shared_ptr<const Payload>. Payloads are immutable once
// built: copying a frame shares the same Payload (one atomic reference count
// increment), and SetData/SetExtraData build a new Payload and swap it in, so
// a copy never sees a later change of the frame it came from.
#ifndef CORVEL_ENGINE_FRAMES_H_
#define CORVEL_ENGINE_FRAMES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "vora/corvel_vora_defines.h"

namespace corvel::engine {

struct Payload {
  std::vector<uint8_t> data;
  std::vector<uint8_t> extra;  // AudioFrame::SetExtraData; empty for video frames
};

using PayloadPtr = std::shared_ptr<const Payload>;

// The payload a frame carries (null when empty). Lets the engine pass a frame's
// bytes between instances without copying them.
PayloadPtr FramePayload(const vora::AudioFrame& frame);
PayloadPtr FramePayload(const vora::VideoFrame& frame);
PayloadPtr FramePayload(const vora::PixelFrame& frame);

void SetFramePayload(vora::AudioFrame& frame, PayloadPtr payload);
void SetFramePayload(vora::VideoFrame& frame, PayloadPtr payload);
void SetFramePayload(vora::PixelFrame& frame, PayloadPtr payload);

// An audio frame showing a payload held elsewhere (a queued callback's own),
// through a handle that borrows the holder's pointer instead of a slot of its
// own: no allocation per frame handed to a delegate. Only ever seen by const
// reference, and gone before the PayloadPtr it borrows; a copy of it is an
// ordinary frame with its own handle.
class BorrowedAudioFrame {
 public:
  explicit BorrowedAudioFrame(const PayloadPtr& payload);
  ~BorrowedAudioFrame();
  BorrowedAudioFrame(const BorrowedAudioFrame&) = delete;
  BorrowedAudioFrame& operator=(const BorrowedAudioFrame&) = delete;

  vora::AudioFrame& frame() { return frame_; }

 private:
  vora::AudioFrame frame_;
};

// Extra data of an audio frame (size 0 when none).
size_t AudioExtraSize(const vora::AudioFrame& frame);
const uint8_t* AudioExtraData(const vora::AudioFrame& frame);

// Bytes a raw picture of this format and size occupies (chroma planes of the
// 4:2:0 formats round odd dimensions up); 0 for an unknown format, nullopt
// when the size does not fit in 64 bits.
std::optional<uint64_t> PixelFrameBytes(vora::VideoPixelFormat format, uint64_t width,
                                        uint64_t height);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_FRAMES_H_
