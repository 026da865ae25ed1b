#include "jitter_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvel::net {
namespace {

using Kind = JitterSlot::Kind;

std::vector<uint8_t> payload_of(int64_t seq) { return {static_cast<uint8_t>(seq), 0xAB}; }

// Pushes packet `seq` (timestamp 960 per packet) arriving at `at_ms`.
PushResult push(JitterBuffer& jb, int64_t seq, int64_t at_ms) {
  return jb.push(static_cast<uint16_t>(seq), static_cast<uint32_t>(seq * 960), payload_of(seq),
                 at_ms);
}

// One letter per pop: P packet, L lost, E empty.
std::string pops(JitterBuffer& jb, int n, std::vector<int64_t>* seqs = nullptr) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    JitterSlot slot = jb.pop();
    s += slot.kind == Kind::kPacket ? 'P' : slot.kind == Kind::kLost ? 'L' : 'E';
    if (slot.kind == Kind::kPacket) {
      EXPECT_EQ(slot.payload, payload_of(slot.sequence));
      EXPECT_EQ(slot.timestamp, static_cast<uint32_t>(slot.sequence * 960));
    }
    if (seqs && slot.kind != Kind::kEmpty) seqs->push_back(slot.sequence);
  }
  return s;
}

// A buffer whose target never falls below `delay_ms` (it starts there).
JitterBufferConfig floor_at(int delay_ms) {
  return {.min_delay_ms = delay_ms, .max_delay_ms = 200, .initial_delay_ms = delay_ms};
}

struct OrderCase {
  const char* name;
  std::vector<int64_t> arrivals;  // in arrival order
  std::string slots;              // what 8 pops give, after all arrivals
  std::vector<int64_t> played;
  uint64_t duplicate;
};

class JitterOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(JitterOrder, PlaysInSequenceOrder) {
  const OrderCase& c = GetParam();
  JitterBuffer jb({.min_delay_ms = 20, .max_delay_ms = 400, .initial_delay_ms = 20});
  int64_t t = 0;
  for (int64_t seq : c.arrivals) push(jb, seq, t += 20);
  std::vector<int64_t> seqs;
  EXPECT_EQ(pops(jb, 8, &seqs), c.slots);
  EXPECT_EQ(seqs, c.played);
  EXPECT_EQ(jb.counters().duplicate, c.duplicate);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JitterOrder,
    testing::Values(OrderCase{"in_order", {10, 11, 12, 13}, "PPPPEEEE", {10, 11, 12, 13}, 0},
                    OrderCase{"swapped", {10, 12, 11, 13}, "PPPPEEEE", {10, 11, 12, 13}, 0},
                    OrderCase{
                        "reversed_before_start", {13, 12, 11, 10}, "PPPPEEEE", {10, 11, 12, 13}, 0},
                    OrderCase{"duplicates", {10, 10, 11, 11, 12}, "PPPEEEEE", {10, 11, 12}, 2},
                    OrderCase{"gap_is_lost", {10, 11, 13, 14}, "PPLPPEEE", {10, 11, 12, 13, 14}, 0},
                    OrderCase{"across_wrap",
                              {65534, 65535, 65536, 65537},
                              "PPPPEEEE",
                              {65534, 65535, 65536, 65537},
                              0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JitterBuffer, WaitsForTheTargetDelayBeforePlaying) {
  JitterBuffer jb(floor_at(60));
  EXPECT_EQ(jb.target_delay_ms(), 60);
  EXPECT_EQ(pops(jb, 1), "E");
  push(jb, 0, 0);
  push(jb, 1, 20);
  EXPECT_EQ(pops(jb, 1), "E");
  EXPECT_FALSE(jb.playing());
  push(jb, 2, 40);
  EXPECT_EQ(jb.buffered_ms(), 60);
  EXPECT_EQ(pops(jb, 1), "P");
  EXPECT_TRUE(jb.playing());
}

TEST(JitterBuffer, LateAndDuplicatePacketsAreCountedNotPlayed) {
  JitterBuffer jb(floor_at(20));
  push(jb, 100, 0);
  push(jb, 102, 40);
  EXPECT_EQ(pops(jb, 2), "PL");  // 101 given up
  EXPECT_EQ(push(jb, 101, 45), PushResult::kLate);
  EXPECT_EQ(push(jb, 100, 46), PushResult::kDuplicate);  // already played
  EXPECT_EQ(push(jb, 102, 47), PushResult::kDuplicate);  // still buffered
  EXPECT_EQ(push(jb, 99, 48), PushResult::kLate);        // older than anything played
  EXPECT_EQ(jb.push(103, 0, {}, 50), PushResult::kMalformed);
  EXPECT_EQ(pops(jb, 2), "PE");
  const JitterCounters& c = jb.counters();
  EXPECT_EQ(c.received, 2u);
  EXPECT_EQ(c.late, 2u);
  EXPECT_EQ(c.duplicate, 2u);
  EXPECT_EQ(c.lost, 1u);
  EXPECT_EQ(c.concealed, 1u);
  EXPECT_EQ(c.played, 2u);
  EXPECT_EQ(c.underruns, 1u);
}

TEST(JitterBuffer, LostSlotCarriesTheNextPacketForFec) {
  JitterBuffer jb(floor_at(20));
  push(jb, 0, 0);
  push(jb, 2, 40);
  push(jb, 5, 100);
  ASSERT_EQ(jb.pop().kind, Kind::kPacket);
  JitterSlot lost = jb.pop();  // 1: packet 2 is next, its FEC rebuilds 1
  ASSERT_EQ(lost.kind, Kind::kLost);
  EXPECT_EQ(lost.sequence, 1);
  EXPECT_EQ(lost.timestamp, 960u);
  EXPECT_EQ(lost.next_payload, payload_of(2));
  ASSERT_EQ(jb.pop().kind, Kind::kPacket);
  lost = jb.pop();  // 3: packet 4 is missing too, no FEC source
  ASSERT_EQ(lost.kind, Kind::kLost);
  EXPECT_TRUE(lost.next_payload.empty());
}

TEST(JitterBuffer, DepthIsBoundedByTheMaximumDelay) {
  JitterBuffer jb({.min_delay_ms = 20, .max_delay_ms = 100, .initial_delay_ms = 100});
  for (int64_t seq = 0; seq < 20; ++seq) push(jb, seq, 0);  // a burst, nothing played
  EXPECT_EQ(jb.packet_count(), 5u);
  EXPECT_EQ(jb.buffered_ms(), 100);
  EXPECT_EQ(jb.counters().overflow, 15u);
  std::vector<int64_t> seqs;
  pops(jb, 1, &seqs);
  EXPECT_EQ(seqs, std::vector<int64_t>{15});  // the newest survive
  // A packet far ahead moves the playout point instead of growing the buffer.
  push(jb, 40, 0);
  EXPECT_LE(jb.buffered_ms(), 100);
}

TEST(JitterBuffer, TargetDelayFollowsTheJitter) {
  JitterBuffer jb({.min_delay_ms = 20, .max_delay_ms = 300, .initial_delay_ms = 40});
  EXPECT_EQ(jb.target_delay_ms(), 40);
  int64_t seq = 0;
  // Steady 20 ms arrivals: the target falls to one frame.
  for (; seq < 200; ++seq) push(jb, seq, seq * 20);
  EXPECT_LT(jb.jitter_ms(), 1.0);
  EXPECT_EQ(jb.target_delay_ms(), 20);
  // Packets in pairs every 40 ms (|D| = 20 ms): J -> 20, target -> 80.
  for (; seq < 400; ++seq) push(jb, seq, (seq / 2) * 40);
  EXPECT_NEAR(jb.jitter_ms(), 20.0, 1.0);
  EXPECT_EQ(jb.target_delay_ms(), 80);
  // Bursts of ten every 200 ms: J stays above 30 ms, and the target is
  // capped by the maximum.
  JitterBuffer capped({.min_delay_ms = 20, .max_delay_ms = 100, .initial_delay_ms = 20});
  for (seq = 0; seq < 300; ++seq) push(capped, seq, (seq / 10) * 200);
  EXPECT_GT(capped.jitter_ms(), 30.0);
  EXPECT_EQ(capped.target_delay_ms(), 100);
}

TEST(JitterBuffer, LastingExcessDelayIsShedOneFrameAtATime) {
  // The player stalled for 300 ms while a steady stream kept coming: 15
  // packets wait, against a 20 ms target. Then one packet comes per pop.
  JitterBuffer jb(
      {.min_delay_ms = 20, .max_delay_ms = 400, .initial_delay_ms = 20, .shed_after_pops = 10});
  int64_t seq = 0;
  for (; seq < 15; ++seq) push(jb, seq, seq * 20);
  EXPECT_EQ(jb.buffered_ms(), 300);
  EXPECT_EQ(jb.target_delay_ms(), 20);
  std::string slots;
  for (int i = 0; i < 9; ++i, ++seq) {
    slots += pops(jb, 1);
    push(jb, seq, seq * 20);
  }
  EXPECT_EQ(jb.counters().discarded, 0u);  // not yet a lasting excess
  for (int i = 0; i < 40; ++i, ++seq) {
    slots += pops(jb, 1);
    push(jb, seq, seq * 20);
  }
  EXPECT_EQ(slots, std::string(49, 'P'));
  // Down to less than two frames over the target; nothing was lost.
  EXPECT_LT(jb.buffered_ms(), 20 + 40 + 20);
  EXPECT_EQ(jb.counters().discarded, 13u);
  EXPECT_EQ(jb.counters().lost, 0u);
}

TEST(JitterBuffer, RebuffersAfterRunningDryAndSkipsWhatWasMissed) {
  JitterBuffer jb(floor_at(40));
  push(jb, 0, 0);
  push(jb, 1, 20);
  EXPECT_EQ(pops(jb, 3), "PPE");
  EXPECT_FALSE(jb.playing());
  EXPECT_EQ(jb.counters().underruns, 1u);
  // The source comes back after a pause: 2..4 never arrive. The 100 ms
  // jump in transit time raised the target to 60 ms.
  push(jb, 5, 200);
  EXPECT_EQ(jb.target_delay_ms(), 60);
  EXPECT_EQ(pops(jb, 1), "E");
  push(jb, 6, 220);
  push(jb, 7, 240);
  std::vector<int64_t> seqs;
  EXPECT_EQ(pops(jb, 3, &seqs), "PPP");
  EXPECT_EQ(seqs, (std::vector<int64_t>{5, 6, 7}));
  EXPECT_EQ(jb.counters().lost, 3u);
  EXPECT_EQ(jb.counters().concealed, 0u);
  EXPECT_EQ(push(jb, 3, 230), PushResult::kLate);
}

}  // namespace
}  // namespace corvel::net
