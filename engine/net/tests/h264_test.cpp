#include "h264.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace corvel::net::h264 {
namespace {

using Bytes = std::vector<uint8_t>;

// A NAL unit of `type` and `size` bytes (header included) whose body has no
// zero byte, so no start code can appear in it.
Bytes nal(uint8_t type, size_t size, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  Bytes n{static_cast<uint8_t>(0x60 | type)};
  while (n.size() < size) n.push_back(static_cast<uint8_t>(1 + rng() % 255));
  return n;
}

Bytes annexb(const std::vector<Bytes>& nals) {
  Bytes out;
  for (const Bytes& n : nals) append_annexb(n, out);
  return out;
}

Bytes key_frame(size_t idr_size, uint32_t seed = 1) {
  return annexb({nal(kNalSps, 12, seed), nal(kNalPps, 5, seed), nal(kNalIdr, idr_size, seed)});
}

Bytes delta_frame(size_t size, uint32_t seed = 2) { return annexb({nal(kNalSlice, size, seed)}); }

std::vector<RtpPacketView> views(const std::vector<Bytes>& datagrams) {
  std::vector<RtpPacketView> out(datagrams.size());
  for (size_t i = 0; i < datagrams.size(); ++i) {
    EXPECT_EQ(parse_rtp(datagrams[i], out[i]), RtpError::kOk);
  }
  return out;
}

// ---- packetize -> depacketize ----------------------------------------------------------

struct ShapeCase {
  const char* name;
  std::vector<std::pair<uint8_t, size_t>> nals;  // type, size
  size_t max_payload;
  size_t packets;  // expected RTP packets
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class H264RoundTrip : public testing::TestWithParam<ShapeCase> {};

TEST_P(H264RoundTrip, TheAccessUnitComesBackWholeFromPacketsWithinTheLimit) {
  const ShapeCase& c = GetParam();
  std::vector<Bytes> nals;
  uint32_t seed = 10;
  for (auto [type, size] : c.nals) nals.push_back(nal(type, size, seed++));
  const Bytes au = annexb(nals);
  Packetizer packetizer(1020, 107, 0xFFF0, c.max_payload);
  std::vector<Bytes> datagrams;
  ASSERT_EQ(packetizer.packetize(au, 0x12345678, datagrams), c.packets);
  ASSERT_EQ(datagrams.size(), c.packets);
  Depacketizer depacketizer;
  std::vector<AccessUnit> out;
  const auto packets = views(datagrams);
  for (size_t i = 0; i < packets.size(); ++i) {
    const RtpPacketView& p = packets[i];
    EXPECT_LE(p.payload.size(), c.max_payload);
    EXPECT_EQ(p.header.marker, i + 1 == packets.size()) << i;
    EXPECT_EQ(p.header.timestamp, 0x12345678u);
    EXPECT_EQ(p.header.ssrc, 1020u);
    EXPECT_EQ(p.header.payload_type, 107);
    EXPECT_EQ(p.header.sequence, static_cast<uint16_t>(0xFFF0 + i));  // across the wrap
    depacketizer.push(p, out);
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, au);
  EXPECT_EQ(out[0].timestamp, 0x12345678u);
  EXPECT_TRUE(out[0].key_frame);
  EXPECT_FALSE(depacketizer.key_frame_needed());
  EXPECT_EQ(packetizer.next_sequence(), static_cast<uint16_t>(0xFFF0 + c.packets));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, H264RoundTrip,
    testing::Values(
        ShapeCase{"all_single", {{kNalSps, 12}, {kNalPps, 5}, {kNalIdr, 900}}, 1200, 3},
        // 5000 bytes: a header byte and 4999 in fragments of 1198.
        ShapeCase{"fragmented", {{kNalSps, 12}, {kNalPps, 5}, {kNalIdr, 5000}}, 1200, 2 + 5},
        ShapeCase{"exactly_the_limit", {{kNalSps, 12}, {kNalPps, 5}, {kNalIdr, 1200}}, 1200, 3},
        // One byte over: two fragments (1198 + 2 bytes of the body).
        ShapeCase{"one_over", {{kNalSps, 12}, {kNalPps, 5}, {kNalIdr, 1201}}, 1200, 4},
        ShapeCase{
            "last_fragment_one_byte", {{kNalSps, 12}, {kNalPps, 5}, {kNalIdr, 2398}}, 1200, 5},
        ShapeCase{"several_slices",
                  {{kNalAud, 2},
                   {kNalSps, 12},
                   {kNalPps, 5},
                   {kNalSei, 30},
                   {kNalIdr, 3000},
                   {kNalIdr, 1},
                   {kNalIdr, 2500}},
                  1200,
                  4 + 3 + 1 + 3},
        ShapeCase{"smallest_fragments", {{kNalSps, 4}, {kNalPps, 3}, {kNalIdr, 6}}, 3, 3 + 1 + 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(H264, AnnexBSplitsOnBothStartCodesAndKeyFramesAreThoseWithAnIdr) {
  const Bytes stream = {0xAA, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x41, 0, 0};
  const auto nals = split_annexb(stream);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(Bytes(nals[0].begin(), nals[0].end()), (Bytes{0x67, 1, 2}));
  EXPECT_EQ(Bytes(nals[1].begin(), nals[1].end()), (Bytes{0x68, 3}));
  EXPECT_EQ(Bytes(nals[2].begin(), nals[2].end()), (Bytes{0x41}));  // trailing zeros dropped
  EXPECT_FALSE(is_key_frame(stream));
  EXPECT_TRUE(is_key_frame(key_frame(10)));
  EXPECT_TRUE(payloads_for(Bytes{0, 0, 0, 1}).empty());
}

TEST(H264, StapAPacketsAreUnpacked) {
  // A sender that aggregates SPS and PPS and fragments the IDR.
  const Bytes sps = nal(kNalSps, 12), pps = nal(kNalPps, 5), idr = nal(kNalIdr, 3000);
  Bytes stap{0x78};  // NRI 3, type 24
  for (const Bytes* n : {&sps, &pps}) {
    stap.push_back(static_cast<uint8_t>(n->size() >> 8));
    stap.push_back(static_cast<uint8_t>(n->size()));
    stap.insert(stap.end(), n->begin(), n->end());
  }
  std::vector<Bytes> payloads{stap};
  for (auto& p : payloads_for(annexb({idr}))) payloads.push_back(p);
  ASSERT_EQ(payloads.size(), 4u);
  std::vector<Bytes> datagrams;
  RtpHeader h;
  h.timestamp = 3000;
  for (size_t i = 0; i < payloads.size(); ++i) {
    h.sequence = static_cast<uint16_t>(i);
    h.marker = i + 1 == payloads.size();
    serialize_rtp(h, payloads[i], datagrams.emplace_back());
  }
  // Then the same STAP-A cut short: its second NAL unit claims more than is there.
  Bytes bad = stap;
  bad.resize(bad.size() - 1);
  h.sequence = 4;
  h.timestamp = 6000;
  h.marker = true;
  serialize_rtp(h, bad, datagrams.emplace_back());
  Depacketizer d;
  std::vector<AccessUnit> out;
  for (const auto& p : views(datagrams)) d.push(p, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, annexb({sps, pps, idr}));
  EXPECT_TRUE(out[0].key_frame);
  EXPECT_TRUE(d.key_frame_needed());
  EXPECT_EQ(d.counters().frames_dropped, 1u);
}

// ---- loss ---------------------------------------------------------------------------

// Six access units of three packets each: K0 P1 P2 I3 K4 P5, K = SPS, PPS
// and a small IDR (three single NAL unit packets), P and I one NAL unit in
// three FU-A fragments (start, middle, end), I3 an IDR without parameter
// sets of its own. Which frames come out when the packets arrive in
// `order` (indexes in the stream of 18: some lost, repeated or late).
struct LossCase {
  const char* name;
  std::vector<size_t> order;      // packet indexes as they arrive
  std::vector<size_t> delivered;  // frames handed over
  bool key_needed_after_frame2;   // key_frame_needed() once frame 2's packets were pushed
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class H264Loss : public testing::TestWithParam<LossCase> {};

std::vector<size_t> all_but(std::set<size_t> lost, size_t n = 18) {
  std::vector<size_t> order;
  for (size_t i = 0; i < n; ++i)
    if (!lost.count(i)) order.push_back(i);
  return order;
}

TEST_P(H264Loss, NothingBrokenIsHandedOverAndAKeyFrameEndsTheDrought) {
  const LossCase& c = GetParam();
  std::vector<Bytes> frames;
  for (uint32_t f = 0; f < 6; ++f) {
    if (f == 0 || f == 4) {
      frames.push_back(annexb({nal(kNalSps, 12, f), nal(kNalPps, 5, f), nal(kNalIdr, 1000, f)}));
    } else if (f == 3) {
      frames.push_back(annexb({nal(kNalIdr, 3500, f)}));
    } else {
      frames.push_back(delta_frame(3500, f));
    }
  }
  Packetizer packetizer(1020, 107, 100);
  std::vector<Bytes> datagrams;
  std::vector<size_t> frame_of;
  for (size_t f = 0; f < frames.size(); ++f) {
    const size_t n = packetizer.packetize(frames[f], static_cast<uint32_t>(f * 3000), datagrams);
    frame_of.insert(frame_of.end(), n, f);
  }
  ASSERT_EQ(datagrams.size(), 18u) << "every frame three packets";
  const auto packets = views(datagrams);
  Depacketizer d;
  std::vector<AccessUnit> out;
  bool key_needed_after_frame2 = false;
  for (size_t i : c.order) {
    d.push(packets[i], out);
    if (frame_of[i] == 2 && i % 3 == 2) key_needed_after_frame2 = d.key_frame_needed();
  }
  std::vector<size_t> delivered;
  for (const AccessUnit& au : out) {
    const size_t f = au.timestamp / 3000;
    delivered.push_back(f);
    EXPECT_EQ(au.data, frames[f]) << "frame " << f;
    EXPECT_EQ(au.key_frame, f == 0 || f == 3 || f == 4) << "frame " << f;
  }
  EXPECT_EQ(delivered, c.delivered);
  EXPECT_EQ(key_needed_after_frame2, c.key_needed_after_frame2);
  EXPECT_FALSE(d.key_frame_needed());  // K4 came through in every case
}

INSTANTIATE_TEST_SUITE_P(
    Cases, H264Loss,
    testing::Values(LossCase{"nothing_lost", all_but({}), {0, 1, 2, 3, 4, 5}, false},
                    // The middle fragment of P1: P1 and P2 dropped; I3 is a key frame
                    // (parameter sets seen with K0).
                    LossCase{"fu_middle", all_but({4}), {0, 3, 4, 5}, true},
                    LossCase{"fu_start", all_but({3}), {0, 3, 4, 5}, true},
                    // P1's last packet (with the marker): P1 never ends, P2 follows a gap.
                    LossCase{"fu_end_and_marker", all_but({5}), {0, 3, 4, 5}, true},
                    // A whole frame: P2 follows the gap and is dropped.
                    LossCase{"whole_frame", all_but({3, 4, 5}), {0, 3, 4, 5}, true},
                    // K0's SPS: K0 is not a key frame we can start from, and I3 has
                    // no parameter sets with none seen before: only K4 restarts.
                    LossCase{"start_of_first_key", all_but({0}), {4, 5}, true},
                    // Joining mid-stream: the first packets are P1's.
                    LossCase{"joined_late", all_but({0, 1, 2}), {4, 5}, true},
                    LossCase{"duplicates_and_late",
                             {0, 1, 1, 2, 3, 4, 5, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
                             {0, 1, 2, 3, 4, 5},
                             false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(H264, AnAccessUnitWithoutMarkerEndsWithTheNextTimestamp) {
  Packetizer packetizer(1020, 107, 0);
  std::vector<Bytes> datagrams;
  packetizer.packetize(key_frame(100), 0, datagrams);
  packetizer.packetize(delta_frame(100), 3000, datagrams);
  RtpPacketView v;
  std::vector<AccessUnit> out;
  Depacketizer d;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    ASSERT_EQ(parse_rtp(datagrams[i], v), RtpError::kOk);
    v.header.marker = false;  // a sender that never sets it
    d.push(v, out);
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, key_frame(100));
}

// ---- SEI ----------------------------------------------------------------------------------

TEST(H264Sei, BuildsTheNalUnitByteForByte) {
  // 00 00 01 in the message must not look like a start code: 00 00 03 01.
  const Bytes nal_unit = build_sei(Bytes{0, 0, 1});
  Bytes expected = {0x06, 0x05, 16 + 3};
  expected.insert(expected.end(), std::begin(kSeiUuid), std::end(kSeiUuid));
  for (uint8_t b : {0x00, 0x00, 0x03, 0x01, 0x80}) expected.push_back(b);
  EXPECT_EQ(nal_unit, expected);
  // Size 16 + 300 = 316 = 255 + 61: one 0xFF byte, then 61.
  const Bytes big = build_sei(Bytes(300, 0x11));
  EXPECT_EQ(big[2], 0xFF);
  EXPECT_EQ(big[3], 61);
  EXPECT_EQ(escape_rbsp(Bytes{0, 0, 0, 0, 0, 0}), (Bytes{0, 0, 3, 0, 0, 3, 0, 0}));
  EXPECT_EQ(unescape_rbsp(Bytes{0, 0, 3, 0, 0, 3, 0, 0}), (Bytes{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(unescape_rbsp(Bytes{0, 0, 3, 3}), (Bytes{0, 0, 3}));  // an escaped 03 stays
}

class H264SeiRoundTrip : public testing::TestWithParam<std::pair<const char*, Bytes>> {};

TEST_P(H264SeiRoundTrip, MessagesCrossThePacketsAndTheAccessUnitComesBackAsItWas) {
  const Bytes& message = GetParam().second;
  // An access unit that already has an SEI of someone else's (payload type
  // 1, and an unregistered one under another UUID): kept as it is.
  Bytes foreign = {0x06, 0x01, 0x02, 0xAA, 0xBB, 0x05, 0x11};
  for (int i = 0; i < 16; ++i) foreign.push_back(static_cast<uint8_t>(0x40 + i));
  foreign.push_back(0x01);
  foreign.push_back(0x80);
  const Bytes au =
      annexb({nal(kNalAud, 2), nal(kNalSps, 12), nal(kNalPps, 5), foreign, nal(kNalIdr, 4000)});
  const std::vector<Bytes> messages = {message, Bytes{'t', 'w', 'o'}};
  const Bytes with_sei = insert_sei(au, messages);
  // Ours come right before the first slice.
  const auto nals = split_annexb(with_sei);
  ASSERT_EQ(nals.size(), 7u);
  EXPECT_EQ(nals[4][0], kNalSei);
  EXPECT_EQ(nals[5][0], kNalSei);
  EXPECT_EQ(nal_type(nals[6][0]), kNalIdr);
  for (auto n : nals)  // no start code or emulation hazard inside a NAL unit
    for (size_t i = 0; i + 2 < n.size(); ++i)
      EXPECT_FALSE(n[i] == 0 && n[i + 1] == 0 && n[i + 2] < 3) << i;

  Packetizer packetizer(1020, 107, 7);
  std::vector<Bytes> datagrams;
  packetizer.packetize(with_sei, 90000, datagrams);
  Depacketizer d;
  std::vector<AccessUnit> out;
  for (const auto& p : views(datagrams)) d.push(p, out);
  ASSERT_EQ(out.size(), 1u);
  Bytes stripped;
  EXPECT_EQ(extract_sei(out[0].data, &stripped), messages);
  EXPECT_EQ(stripped, au);
  EXPECT_TRUE(extract_sei(au).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, H264SeiRoundTrip,
    testing::Values(std::pair{"empty", Bytes{}}, std::pair{"text", Bytes{'h', 'i', '!'}},
                    // Every hazard: runs of zeros followed by 0..3, and a
                    // trailing zero before the stop bit.
                    std::pair{"emulation", Bytes{0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 0}},
                    std::pair{"size_239", Bytes(239, 0x5A)},  // 16 + 239 = 255: two size bytes
                    std::pair{"zeros_2000", Bytes(2000, 0)}),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace
}  // namespace corvel::net::h264
