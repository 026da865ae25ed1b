#include "rtp.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvel::net {
namespace {

using Bytes = std::vector<uint8_t>;

struct RoundTripCase {
  const char* name;
  bool marker;
  size_t csrcs;
  size_t extension_words;
  uint8_t padding;
  size_t payload;
};

class RtpRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RtpRoundTrip, ParseGivesBackWhatWasWritten) {
  const RoundTripCase& c = GetParam();
  RtpHeader h;
  h.marker = c.marker;
  h.payload_type = 111;
  h.sequence = 0xFFFE;
  h.timestamp = 0xDEADBEEF;
  h.ssrc = 1000;
  for (size_t i = 0; i < c.csrcs; ++i) h.csrcs.push_back(0x01020304u + static_cast<uint32_t>(i));
  if (c.extension_words) {
    h.has_extension = true;
    h.extension_profile = 0xBEDE;
    for (size_t i = 0; i < 4 * c.extension_words; ++i)
      h.extension.push_back(static_cast<uint8_t>(i + 1));
  }
  Bytes payload(c.payload);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Bytes wire;
  ASSERT_EQ(serialize_rtp(h, payload, wire, c.padding), RtpError::kOk);
  EXPECT_EQ(wire.size(), 12 + 4 * c.csrcs + (c.extension_words ? 4 + 4 * c.extension_words : 0) +
                             c.payload + c.padding);
  RtpPacketView v;
  ASSERT_EQ(parse_rtp(wire, v), RtpError::kOk);
  EXPECT_EQ(v.header.marker, c.marker);
  EXPECT_EQ(v.header.payload_type, 111);
  EXPECT_EQ(v.header.sequence, 0xFFFE);
  EXPECT_EQ(v.header.timestamp, 0xDEADBEEFu);
  EXPECT_EQ(v.header.ssrc, 1000u);
  EXPECT_EQ(v.header.csrcs, h.csrcs);
  EXPECT_EQ(v.header.has_extension, h.has_extension);
  EXPECT_EQ(v.header.extension_profile, h.extension_profile);
  EXPECT_EQ(v.header.extension, h.extension);
  EXPECT_EQ(v.padding, c.padding);
  EXPECT_EQ(Bytes(v.payload.begin(), v.payload.end()), payload);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RtpRoundTrip,
                         testing::Values(RoundTripCase{"plain", false, 0, 0, 0, 60},
                                         RoundTripCase{"marker", true, 0, 0, 0, 1},
                                         RoundTripCase{"csrcs", false, 15, 0, 0, 20},
                                         RoundTripCase{"extension", false, 0, 1, 0, 20},
                                         RoundTripCase{"padding", false, 0, 0, 4, 20},
                                         RoundTripCase{"everything", true, 3, 2, 1, 0},
                                         RoundTripCase{"empty_extension", false, 0, 0, 0, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Rtp, ParsesWhatJanusForwards) {
  // A remote publisher's audio as a forwarder delivers it: one-byte header
  // extension kept, marker set, PT 111, SSRC 1000.
  const Bytes wire = {0x90, 0xEF, 0x13, 0x88, 0x00, 0x00, 0x03, 0xC0, 0x00, 0x00, 0x03, 0xE8,
                      0xBE, 0xDE, 0x00, 0x01, 0x10, 0x85, 0x00, 0x00, 0xF8, 0xFF, 0xFE};
  RtpPacketView v;
  ASSERT_EQ(parse_rtp(wire, v), RtpError::kOk);
  EXPECT_TRUE(v.header.marker);
  EXPECT_EQ(v.header.payload_type, 111);
  EXPECT_EQ(v.header.sequence, 5000);
  EXPECT_EQ(v.header.timestamp, 960u);
  EXPECT_EQ(v.header.ssrc, 1000u);
  EXPECT_EQ(v.header.extension, (Bytes{0x10, 0x85, 0x00, 0x00}));
  EXPECT_EQ(Bytes(v.payload.begin(), v.payload.end()), (Bytes{0xF8, 0xFF, 0xFE}));
}

struct BadCase {
  const char* name;
  Bytes wire;
  RtpError error;
};

class RtpMalformed : public testing::TestWithParam<BadCase> {};

TEST_P(RtpMalformed, IsRejectedWithoutReadingPastTheEnd) {
  const BadCase& c = GetParam();
  // A copy of exactly the given size, so a read past it is caught by ASan.
  Bytes wire = c.wire;
  RtpPacketView v;
  EXPECT_EQ(parse_rtp(wire, v), c.error);
}

const Bytes kHeader = {0x80, 0x6F, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
Bytes with(Bytes b, size_t index, uint8_t value) {
  b[index] = value;
  return b;
}
Bytes plus(Bytes b, const Bytes& tail) {
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtpMalformed,
    testing::Values(
        BadCase{"empty", {}, RtpError::kTooShort},
        BadCase{"eleven_bytes", Bytes(kHeader.begin(), kHeader.end() - 1), RtpError::kTooShort},
        BadCase{"version1", with(kHeader, 0, 0x40), RtpError::kBadVersion},
        BadCase{"version0_stun_like", with(kHeader, 0, 0x00), RtpError::kBadVersion},
        BadCase{"csrcs_missing", with(kHeader, 0, 0x82), RtpError::kTooShort},
        BadCase{"extension_header_missing", with(kHeader, 0, 0x90), RtpError::kTooShort},
        BadCase{"extension_longer_than_packet",
                plus(with(kHeader, 0, 0x90), {0xBE, 0xDE, 0x00, 0x02, 1, 2, 3, 4}),
                RtpError::kTooShort},
        BadCase{"padding_zero", plus(with(kHeader, 0, 0xA0), {1, 2, 0}), RtpError::kBadPadding},
        BadCase{"padding_past_header", plus(with(kHeader, 0, 0xA0), {1, 2, 4}),
                RtpError::kBadPadding},
        BadCase{"padding_without_bytes", with(kHeader, 0, 0xA0), RtpError::kBadPadding}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rtp, SerializeRefusesWhatTheWireCannotCarry) {
  RtpHeader h;
  h.csrcs.assign(16, 1);
  Bytes out;
  EXPECT_EQ(serialize_rtp(h, {}, out), RtpError::kTooManyCsrcs);
  h.csrcs.clear();
  h.has_extension = true;
  h.extension = {1, 2, 3};
  EXPECT_EQ(serialize_rtp(h, {}, out), RtpError::kBadExtension);
}

TEST(Rtp, DemultiplexesRtcpFromRtp) {
  EXPECT_TRUE(is_rtcp(Bytes{0x80, 0xC9, 0x00, 0x01, 0, 0, 0, 1}));  // empty RR
  EXPECT_TRUE(is_rtcp(Bytes{0x81, 0xCE, 0x00, 0x02, 0, 0, 0, 1}));  // PLI
  EXPECT_FALSE(is_rtcp(kHeader));                                   // PT 111
  EXPECT_FALSE(is_rtcp(with(kHeader, 1, 0xEF)));                    // PT 111 with marker
  EXPECT_FALSE(is_rtcp(Bytes{0x80, 0xC9}));
}

struct UnwrapCase {
  const char* name;
  std::vector<uint16_t> in;
  std::vector<int64_t> out;
};

class Unwrap : public testing::TestWithParam<UnwrapCase> {};

TEST_P(Unwrap, ExtendsSequenceNumbers) {
  SequenceUnwrapper u;
  std::vector<int64_t> got;
  for (uint16_t s : GetParam().in) got.push_back(u.unwrap(s));
  EXPECT_EQ(got, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unwrap,
    testing::Values(UnwrapCase{"in_order", {1, 2, 3}, {1, 2, 3}},
                    UnwrapCase{"forward_wrap", {65534, 65535, 0, 1}, {65534, 65535, 65536, 65537}},
                    UnwrapCase{
                        "reorder_across_wrap", {65535, 1, 0, 2}, {65535, 65537, 65536, 65538}},
                    UnwrapCase{"backward_across_zero", {1, 65535}, {1, -1}},
                    UnwrapCase{"two_wraps",
                               {0, 30000, 60000, 24464, 54464, 18928},
                               {0, 30000, 60000, 90000, 120000, 150000}},
                    UnwrapCase{"large_jump_back", {40000, 7233}, {40000, 7233}},
                    UnwrapCase{"duplicate", {7, 7, 8}, {7, 7, 8}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rtcp, ReportsRoundTripThroughCompoundPackets) {
  SenderReport sr;
  sr.sender_ssrc = 1000;
  sr.info = {0x0102030405060708ull, 48000, 50, 4000};
  sr.blocks.push_back({42, 25, -3, 70000, 480, 0x11112222, 0x00018000});
  ReceiverReport rr;
  rr.sender_ssrc = 7;
  rr.blocks.push_back({1000, 255, 0x7FFFFF, 65536, 0, 0, 0});
  rr.blocks.push_back({1010, 0, -0x800000, 1, 1, 1, 1});
  Bytes wire;
  append_sender_report(sr, wire);
  append_receiver_report(rr, wire);
  append_pli(1, 1010, wire);
  RtcpPackets got;
  ASSERT_EQ(parse_rtcp(wire, got), RtpError::kOk);
  ASSERT_EQ(got.sender_reports.size(), 1u);
  EXPECT_EQ(got.sender_reports[0].info.ntp_time, sr.info.ntp_time);
  EXPECT_EQ(got.sender_reports[0].info.rtp_timestamp, 48000u);
  EXPECT_EQ(got.sender_reports[0].info.packet_count, 50u);
  EXPECT_EQ(got.sender_reports[0].info.octet_count, 4000u);
  ASSERT_EQ(got.sender_reports[0].blocks.size(), 1u);
  const ReportBlock& b = got.sender_reports[0].blocks[0];
  EXPECT_EQ(b.ssrc, 42u);
  EXPECT_EQ(b.fraction_lost, 25);
  EXPECT_EQ(b.cumulative_lost, -3);
  EXPECT_EQ(b.extended_highest_sequence, 70000u);
  EXPECT_EQ(b.jitter, 480u);
  EXPECT_EQ(b.last_sr, 0x11112222u);
  EXPECT_EQ(b.delay_since_last_sr, 0x00018000u);
  ASSERT_EQ(got.receiver_reports.size(), 1u);
  EXPECT_EQ(got.receiver_reports[0].sender_ssrc, 7u);
  ASSERT_EQ(got.receiver_reports[0].blocks.size(), 2u);
  EXPECT_EQ(got.receiver_reports[0].blocks[0].cumulative_lost, 0x7FFFFF);
  EXPECT_EQ(got.receiver_reports[0].blocks[1].cumulative_lost, -0x800000);
  EXPECT_EQ(got.pli_media_ssrcs, std::vector<uint32_t>{1010});
}

TEST(Rtcp, ReadsWhatJanusSendsAndSkipsTheRest) {
  // Janus' keyframe request to a remote publisher, and the empty RR that
  // latches its RTCP path, then an SDES chunk we do not read.
  const Bytes pli = {0x81, 0xCE, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0xF2};
  const Bytes empty_rr = {0x80, 0xC9, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  const Bytes sdes = {0x81, 0xCA, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  RtcpPackets got;
  ASSERT_EQ(parse_rtcp(plus(plus(pli, empty_rr), sdes), got), RtpError::kOk);
  EXPECT_EQ(got.pli_media_ssrcs, std::vector<uint32_t>{1010});
  ASSERT_EQ(got.receiver_reports.size(), 1u);
  EXPECT_TRUE(got.receiver_reports[0].blocks.empty());
}

TEST(Rtcp, FirAndRembByteForByteAlongsideAPli) {
  // FIR for source 1020 (command 7), REMB of 1,000,000 bps = 250000 << 2
  // for 1020, a PLI for 1030: one compound datagram, in that order.
  const Bytes fir = {0x84, 0xCE, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x03, 0xFC, 0x07, 0x00, 0x00, 0x00};
  const Bytes remb = {0x8F, 0xCE, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                      'R',  'E',  'M',  'B',  0x01, 0x0B, 0xD0, 0x90, 0x00, 0x00, 0x03, 0xFC};
  Bytes built;
  append_fir(1, {{1020, 7}}, built);
  EXPECT_EQ(built, fir);
  built.clear();
  append_remb({1, 1000000, {1020}}, built);
  EXPECT_EQ(built, remb);
  append_pli(1, 1030, built);
  RtcpPackets got;
  ASSERT_EQ(parse_rtcp(plus(fir, built), got), RtpError::kOk);
  ASSERT_EQ(got.firs.size(), 1u);
  EXPECT_EQ(got.firs[0].ssrc, 1020u);
  EXPECT_EQ(got.firs[0].sequence, 7);
  ASSERT_EQ(got.rembs.size(), 1u);
  EXPECT_EQ(got.rembs[0].bitrate_bps, 1000000u);
  EXPECT_EQ(got.rembs[0].ssrcs, std::vector<uint32_t>{1020});
  EXPECT_EQ(got.pli_media_ssrcs, std::vector<uint32_t>{1030});
  // Another application-layer feedback than REMB is skipped; a REMB
  // listing more SSRCs than it carries is refused.
  Bytes other = remb;
  other[12] = 'X';
  got = {};
  ASSERT_EQ(parse_rtcp(other, got), RtpError::kOk);
  EXPECT_TRUE(got.rembs.empty());
  Bytes lying = remb;
  lying[16] = 2;
  EXPECT_EQ(parse_rtcp(lying, got), RtpError::kBadLength);
}

class RembBitrate : public testing::TestWithParam<uint64_t> {};

TEST_P(RembBitrate, ComesBackRoundedDownWithin18BitsOfPrecision) {
  const uint64_t bps = GetParam();
  Bytes wire;
  append_remb({9, bps, {1020, 1030}}, wire);
  RtcpPackets got;
  ASSERT_EQ(parse_rtcp(wire, got), RtpError::kOk);
  ASSERT_EQ(got.rembs.size(), 1u);
  EXPECT_LE(got.rembs[0].bitrate_bps, bps);
  EXPECT_GE(static_cast<double>(got.rembs[0].bitrate_bps),
            static_cast<double>(bps) * (1 - 1.0 / (1 << 17)));
  EXPECT_EQ(got.rembs[0].sender_ssrc, 9u);
  EXPECT_EQ(got.rembs[0].ssrcs, (std::vector<uint32_t>{1020, 1030}));
}

INSTANTIATE_TEST_SUITE_P(Bitrates, RembBitrate,
                         testing::Values(0, 1, 262143, 262144, 262145, 1000001, 123456789,
                                         5000000000ull));

TEST(Rtcp, RejectsLengthsThatDisagreeWithTheDatagram) {
  Bytes rr;
  append_receiver_report({1, {{2, 0, 0, 0, 0, 0, 0}}}, rr);
  RtcpPackets got;
  EXPECT_EQ(parse_rtcp(Bytes(rr.begin(), rr.end() - 4), got), RtpError::kBadLength);
  Bytes lying = rr;
  lying[0] = 0x82;  // claims two report blocks, carries one
  EXPECT_EQ(parse_rtcp(lying, got), RtpError::kBadLength);
  EXPECT_EQ(parse_rtcp(plus(rr, {0x80, 0xC9}), got), RtpError::kTooShort);
  EXPECT_EQ(parse_rtcp(with(rr, 0, 0x41), got), RtpError::kBadVersion);
}

TEST(Rtcp, RoundTripTimeFromLsrAndDlsr) {
  // Sent our SR at compact time 0x00010000 (1 s); the peer held it 0.25 s;
  // its report arrived at 1.5 s: 250 ms on the wire.
  auto rtt = round_trip_ms(0x00010000, 0x00004000, 0x00018000);
  ASSERT_TRUE(rtt);
  EXPECT_DOUBLE_EQ(*rtt, 250.0);
  // Across the wrap of the compact clock.
  rtt = round_trip_ms(0xFFFF0000, 0x00008000, 0x00000000);
  ASSERT_TRUE(rtt);
  EXPECT_DOUBLE_EQ(*rtt, 500.0);
  EXPECT_FALSE(round_trip_ms(0, 0, 12345));                // no SR seen yet
  EXPECT_FALSE(round_trip_ms(0x00020000, 0, 0x00010000));  // clocks disagree
  EXPECT_EQ(ntp_compact(0x0001234556780000ull), 0x23455678u);
}

TEST(ReceptionStats, LossFractionIsPerReportAndCumulativeLossAccumulates) {
  ReceptionStats s;
  uint32_t now = 0;
  auto feed = [&](uint16_t first, uint16_t count, uint16_t skip_every) {
    for (uint16_t i = 0; i < count; ++i) {
      const uint16_t seq = static_cast<uint16_t>(first + i);
      now += 960;
      if (skip_every && i % skip_every == 1) continue;
      s.on_packet(seq, static_cast<uint32_t>(seq) * 960u, now);
    }
  };
  feed(65500, 100, 0);  // across the wrap, nothing lost
  ReportBlock b = s.make_report_block(1000);
  EXPECT_EQ(b.fraction_lost, 0);
  EXPECT_EQ(b.cumulative_lost, 0);
  EXPECT_EQ(b.extended_highest_sequence, 65599u);
  feed(64, 100, 4);  // every 4th lost: 25 of 100
  b = s.make_report_block(1000);
  EXPECT_EQ(b.fraction_lost, 64);  // 25/100 * 256
  EXPECT_EQ(b.cumulative_lost, 25);
  feed(164, 100, 0);
  b = s.make_report_block(1000, 0xAAAA, 0xBBBB);
  EXPECT_EQ(b.fraction_lost, 0);
  EXPECT_EQ(b.cumulative_lost, 25);
  EXPECT_EQ(b.last_sr, 0xAAAAu);
  EXPECT_EQ(b.delay_since_last_sr, 0xBBBBu);
  // Steady spacing gives no jitter.
  EXPECT_EQ(b.jitter, 0u);
}

TEST(ReceptionStats, JitterFollowsUnevenArrival) {
  ReceptionStats s;
  // Packets every 20 ms of media, arriving alternately 10 ms early and late
  // (480 units at 48 kHz): |D| = 960 each step, so J tends to 960.
  for (uint16_t i = 0; i < 400; ++i) {
    const uint32_t ts = i * 960u;
    const uint32_t arrival = ts + 5000 + (i % 2 ? 480 : -480);
    s.on_packet(i, ts, arrival);
  }
  EXPECT_NEAR(s.jitter(), 960.0, 1.0);
  EXPECT_NEAR(s.make_report_block(1).jitter, 960.0, 1.0);
}

}  // namespace
}  // namespace corvel::net
