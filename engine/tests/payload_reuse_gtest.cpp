// Frame payloads rewritten in place. SetData/SetExtraData with the size a
// frame already has may reuse its buffer, but only when no other frame holds
// the payload: copies keep what they saw, on any thread, and a frame whose
// copies were read and dropped on other threads is rewritten only after those
// reads (ThreadSanitizer, via tools/ci-tsan.sh, checks the hand-off).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "vora/corvel_vora_cloud.h"

using namespace corvel::vora;

namespace {

std::vector<uint8_t> Bytes(uint8_t seed, size_t size) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

bool Holds(const uint8_t* data, size_t size, const std::vector<uint8_t>& expected) {
  return size == expected.size() && std::memcmp(data, expected.data(), size) == 0;
}

template <typename Frame>
void SetBytes(Frame& frame, bool extra, const std::vector<uint8_t>& bytes) {
  if constexpr (std::is_same_v<Frame, AudioFrame>) {
    if (extra) {
      frame.SetExtraData(bytes.data(), bytes.size());
      return;
    }
  }
  frame.SetData(bytes.data(), bytes.size());
}

// AudioFrame has no public accessor for its extra bytes; the data is what
// every frame type exposes, so the extra case checks that data is untouched.
template <typename Frame>
void ExpectCopiesKeepTheirBytes(bool extra) {
  const auto first = Bytes(1, 4096);
  Frame frame;
  frame.SetData(first.data(), first.size());
  SetBytes(frame, extra, Bytes(2, 4096));  // alone: may be rewritten in place
  const auto data = extra ? first : Bytes(2, 4096);
  ASSERT_TRUE(Holds(frame.data(), frame.size(), data));

  Frame copy(frame);
  Frame assigned;
  assigned = frame;
  const uint8_t* shared = copy.data();
  SetBytes(frame, extra, Bytes(3, 4096));  // shared: must not touch the copies' buffer
  EXPECT_TRUE(Holds(copy.data(), copy.size(), data));
  EXPECT_TRUE(Holds(assigned.data(), assigned.size(), data));
  EXPECT_EQ(copy.data(), shared);
  EXPECT_TRUE(Holds(frame.data(), frame.size(), extra ? data : Bytes(3, 4096)));

  // The copies are rewritten independently of each other too.
  SetBytes(copy, false, Bytes(4, 4096));
  EXPECT_TRUE(Holds(assigned.data(), assigned.size(), data));
  EXPECT_TRUE(Holds(copy.data(), copy.size(), Bytes(4, 4096)));

  // Alone again, the frame takes new bytes of the same size and then of
  // another size.
  SetBytes(assigned, false, Bytes(5, 4096));
  EXPECT_TRUE(Holds(assigned.data(), assigned.size(), Bytes(5, 4096)));
  SetBytes(assigned, false, Bytes(6, 100));
  EXPECT_TRUE(Holds(assigned.data(), assigned.size(), Bytes(6, 100)));
  EXPECT_TRUE(Holds(copy.data(), copy.size(), Bytes(4, 4096)));
}

TEST(PayloadReuse, CopiesKeepTheirBytesWhenTheSourceIsRewritten) {
  ExpectCopiesKeepTheirBytes<AudioFrame>(false);
  ExpectCopiesKeepTheirBytes<AudioFrame>(true);
  ExpectCopiesKeepTheirBytes<VideoFrame>(false);
  ExpectCopiesKeepTheirBytes<PixelFrame>(false);
}

TEST(PayloadReuse, SettingAFrameFromItsOwnBytesKeepsThem) {
  const auto bytes = Bytes(9, 1000);
  AudioFrame frame;
  frame.SetData(bytes.data(), bytes.size());
  frame.SetData(frame.data(), frame.size());
  EXPECT_TRUE(Holds(frame.data(), frame.size(), bytes));
}

// Each round a reader thread gets a copy of the owner's frame, checks every
// byte and drops the copy; the owner then rewrites its frame with the same
// size, which it may do in place since it is alone again. The owner learns
// that the copy is gone only through a relaxed flag, so nothing but the
// frame's own hand-off orders the rewrite after the reader's reads: without
// it ThreadSanitizer reports the race.
TEST(PayloadReuse, RewritesAfterCopiesDroppedOnOtherThreadsAreOrdered) {
  constexpr int kRounds = 300;
  constexpr size_t kSize = 8192;
  VideoFrame frame;
  std::atomic<int> handed{-1};   // round whose copy the reader may take
  std::atomic<int> taken{-1};    // the reader holds its copy
  std::atomic<int> dropped{-1};  // the reader let go of it (relaxed on purpose)
  std::atomic<int> mismatches{0};
  VideoFrame* slot = nullptr;  // written before `handed`, read after it
  std::thread reader([&] {
    for (int round = 0; round < kRounds; ++round) {
      while (handed.load(std::memory_order_acquire) < round) std::this_thread::yield();
      {
        VideoFrame copy = *slot;
        taken.store(round, std::memory_order_release);
        if (!Holds(copy.data(), copy.size(), Bytes(static_cast<uint8_t>(round), kSize)))
          mismatches.fetch_add(1);
      }
      dropped.store(round, std::memory_order_relaxed);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    const auto bytes = Bytes(static_cast<uint8_t>(round), kSize);
    frame.SetData(bytes.data(), bytes.size());
    auto* handoff = new VideoFrame(frame);
    slot = handoff;
    handed.store(round, std::memory_order_release);
    while (taken.load(std::memory_order_acquire) < round) std::this_thread::yield();
    delete handoff;
    while (dropped.load(std::memory_order_relaxed) < round) std::this_thread::yield();
  }
  reader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
