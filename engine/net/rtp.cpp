#include "rtp.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace corvel::net {
namespace {

constexpr size_t kFixedHeader = 12;
constexpr uint8_t kRtcpSr = 200;
constexpr uint8_t kRtcpRr = 201;
constexpr uint8_t kRtcpPsfb = 206;
constexpr size_t kReportBlockSize = 24;
constexpr uint8_t kFmtPli = 1;
constexpr uint8_t kFmtFir = 4;
constexpr uint8_t kFmtAfb = 15;  // application layer feedback
constexpr uint8_t kRembId[4] = {'R', 'E', 'M', 'B'};

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v >> 16));
  put16(out, static_cast<uint16_t>(v));
}

ReportBlock read_block(const uint8_t* p) {
  ReportBlock b;
  b.ssrc = get32(p);
  b.fraction_lost = p[4];
  uint32_t lost = static_cast<uint32_t>(p[5]) << 16 | static_cast<uint32_t>(p[6]) << 8 | p[7];
  // Sign-extend the 24-bit field.
  b.cumulative_lost =
      (lost & 0x800000u) ? static_cast<int32_t>(lost | 0xFF000000u) : static_cast<int32_t>(lost);
  b.extended_highest_sequence = get32(p + 8);
  b.jitter = get32(p + 12);
  b.last_sr = get32(p + 16);
  b.delay_since_last_sr = get32(p + 20);
  return b;
}

void write_block(const ReportBlock& b, std::vector<uint8_t>& out) {
  put32(out, b.ssrc);
  out.push_back(b.fraction_lost);
  // Clamp to the 24-bit signed range, as RFC 3550 asks.
  int32_t lost = std::clamp<int32_t>(b.cumulative_lost, -0x800000, 0x7FFFFF);
  uint32_t wire = static_cast<uint32_t>(lost) & 0xFFFFFFu;
  out.push_back(static_cast<uint8_t>(wire >> 16));
  out.push_back(static_cast<uint8_t>(wire >> 8));
  out.push_back(static_cast<uint8_t>(wire));
  put32(out, b.extended_highest_sequence);
  put32(out, b.jitter);
  put32(out, b.last_sr);
  put32(out, b.delay_since_last_sr);
}

void write_rtcp_header(uint8_t count, uint8_t type, size_t body_bytes, std::vector<uint8_t>& out) {
  out.push_back(static_cast<uint8_t>(0x80 | (count & 0x1F)));
  out.push_back(type);
  // Length in 32-bit words minus one, counting the 4-byte header.
  put16(out, static_cast<uint16_t>((body_bytes + 4) / 4 - 1));
}

}  // namespace

const char* rtp_error_text(RtpError error) {
  switch (error) {
    case RtpError::kOk:
      return "ok";
    case RtpError::kTooShort:
      return "packet too short";
    case RtpError::kBadVersion:
      return "not RTP version 2";
    case RtpError::kBadPadding:
      return "bad padding";
    case RtpError::kBadLength:
      return "bad RTCP length";
    case RtpError::kTooManyCsrcs:
      return "more than 15 CSRCs";
    case RtpError::kBadExtension:
      return "extension not a multiple of 4 bytes";
  }
  return "unknown";
}

RtpError parse_rtp(std::span<const uint8_t> data, RtpPacketView& out) {
  if (data.size() < kFixedHeader) return RtpError::kTooShort;
  const uint8_t* p = data.data();
  if ((p[0] >> 6) != 2) return RtpError::kBadVersion;
  const bool padding = p[0] & 0x20;
  const bool extension = p[0] & 0x10;
  const size_t csrc_count = p[0] & 0x0F;
  RtpHeader h;
  h.marker = p[1] & 0x80;
  h.payload_type = p[1] & 0x7F;
  h.sequence = get16(p + 2);
  h.timestamp = get32(p + 4);
  h.ssrc = get32(p + 8);
  size_t offset = kFixedHeader;
  if (data.size() < offset + 4 * csrc_count) return RtpError::kTooShort;
  h.csrcs.reserve(csrc_count);
  for (size_t i = 0; i < csrc_count; ++i, offset += 4) h.csrcs.push_back(get32(p + offset));
  if (extension) {
    if (data.size() < offset + 4) return RtpError::kTooShort;
    h.has_extension = true;
    h.extension_profile = get16(p + offset);
    const size_t words = get16(p + offset + 2);
    offset += 4;
    if (data.size() < offset + 4 * words) return RtpError::kTooShort;
    h.extension.assign(p + offset, p + offset + 4 * words);
    offset += 4 * words;
  }
  size_t pad = 0;
  if (padding) {
    pad = data.back();
    if (pad == 0 || pad > data.size() - offset) return RtpError::kBadPadding;
  }
  out.header = std::move(h);
  out.payload = data.subspan(offset, data.size() - offset - pad);
  out.padding = pad;
  return RtpError::kOk;
}

RtpError serialize_rtp(const RtpHeader& h, std::span<const uint8_t> payload,
                       std::vector<uint8_t>& out, uint8_t padding) {
  if (h.csrcs.size() > 15) return RtpError::kTooManyCsrcs;
  if (h.has_extension && (h.extension.size() % 4 != 0 || h.extension.size() / 4 > 0xFFFF))
    return RtpError::kBadExtension;
  out.clear();
  out.reserve(kFixedHeader + 4 * h.csrcs.size() + (h.has_extension ? 4 + h.extension.size() : 0) +
              payload.size() + padding);
  out.push_back(static_cast<uint8_t>(0x80 | (padding ? 0x20 : 0) | (h.has_extension ? 0x10 : 0) |
                                     h.csrcs.size()));
  out.push_back(static_cast<uint8_t>((h.marker ? 0x80 : 0) | (h.payload_type & 0x7F)));
  put16(out, h.sequence);
  put32(out, h.timestamp);
  put32(out, h.ssrc);
  for (uint32_t c : h.csrcs) put32(out, c);
  if (h.has_extension) {
    put16(out, h.extension_profile);
    put16(out, static_cast<uint16_t>(h.extension.size() / 4));
    out.insert(out.end(), h.extension.begin(), h.extension.end());
  }
  out.insert(out.end(), payload.begin(), payload.end());
  if (padding) {
    out.insert(out.end(), padding - 1, 0);
    out.push_back(padding);
  }
  return RtpError::kOk;
}

bool is_rtcp(std::span<const uint8_t> data) {
  return data.size() >= 8 && (data[0] >> 6) == 2 && data[1] >= 192 && data[1] <= 223;
}

int64_t SequenceUnwrapper::unwrap(uint16_t sequence) {
  if (!last_) {
    last_ = sequence;
    return sequence;
  }
  const uint16_t last16 = static_cast<uint16_t>(*last_);
  // The step from the previous value taken modulo 2^16 into -32768..32767.
  const auto step = static_cast<int16_t>(static_cast<uint16_t>(sequence - last16));
  *last_ += step;
  return *last_;
}

RtpError parse_rtcp(std::span<const uint8_t> data, RtcpPackets& out) {
  size_t offset = 0;
  if (data.size() < 4) return RtpError::kTooShort;
  while (offset < data.size()) {
    if (data.size() - offset < 4) return RtpError::kTooShort;
    const uint8_t* p = data.data() + offset;
    if ((p[0] >> 6) != 2) return RtpError::kBadVersion;
    const uint8_t count = p[0] & 0x1F;
    const uint8_t type = p[1];
    const size_t length = (static_cast<size_t>(get16(p + 2)) + 1) * 4;
    if (length > data.size() - offset) return RtpError::kBadLength;
    const uint8_t* body = p + 4;
    const size_t body_size = length - 4;
    if (type == kRtcpSr || type == kRtcpRr) {
      const size_t fixed = type == kRtcpSr ? 24 : 4;
      if (body_size < fixed + count * kReportBlockSize) return RtpError::kBadLength;
      std::vector<ReportBlock> blocks;
      for (size_t i = 0; i < count; ++i)
        blocks.push_back(read_block(body + fixed + i * kReportBlockSize));
      if (type == kRtcpSr) {
        SenderReport sr;
        sr.sender_ssrc = get32(body);
        sr.info.ntp_time = static_cast<uint64_t>(get32(body + 4)) << 32 | get32(body + 8);
        sr.info.rtp_timestamp = get32(body + 12);
        sr.info.packet_count = get32(body + 16);
        sr.info.octet_count = get32(body + 20);
        sr.blocks = std::move(blocks);
        out.sender_reports.push_back(std::move(sr));
      } else {
        out.receiver_reports.push_back({get32(body), std::move(blocks)});
      }
    } else if (type == kRtcpPsfb && count == kFmtPli) {
      if (body_size < 8) return RtpError::kBadLength;
      out.pli_media_ssrcs.push_back(get32(body + 4));
    } else if (type == kRtcpPsfb && count == kFmtFir) {
      // Sender SSRC, media SSRC (unused, 0), then entries of SSRC, seq, 3 reserved.
      if (body_size < 8 || (body_size - 8) % 8) return RtpError::kBadLength;
      for (size_t at = 8; at < body_size; at += 8)
        out.firs.push_back({get32(body + at), body[at + 4]});
    } else if (type == kRtcpPsfb && count == kFmtAfb && body_size >= 16 &&
               std::equal(body + 8, body + 12, kRembId)) {
      const size_t n = body[12];
      if (body_size < 16 + 4 * n) return RtpError::kBadLength;
      Remb remb;
      remb.sender_ssrc = get32(body);
      const uint32_t exp_mantissa = get32(body + 12) & 0xFFFFFF;
      remb.bitrate_bps = static_cast<uint64_t>(exp_mantissa & 0x3FFFF) << (exp_mantissa >> 18);
      for (size_t i = 0; i < n; ++i) remb.ssrcs.push_back(get32(body + 16 + 4 * i));
      out.rembs.push_back(std::move(remb));
    }
    offset += length;
  }
  return RtpError::kOk;
}

void append_receiver_report(const ReceiverReport& report, std::vector<uint8_t>& out) {
  const size_t n = std::min<size_t>(report.blocks.size(), 31);
  write_rtcp_header(static_cast<uint8_t>(n), kRtcpRr, 4 + n * kReportBlockSize, out);
  put32(out, report.sender_ssrc);
  for (size_t i = 0; i < n; ++i) write_block(report.blocks[i], out);
}

void append_sender_report(const SenderReport& report, std::vector<uint8_t>& out) {
  const size_t n = std::min<size_t>(report.blocks.size(), 31);
  write_rtcp_header(static_cast<uint8_t>(n), kRtcpSr, 24 + n * kReportBlockSize, out);
  put32(out, report.sender_ssrc);
  put32(out, static_cast<uint32_t>(report.info.ntp_time >> 32));
  put32(out, static_cast<uint32_t>(report.info.ntp_time));
  put32(out, report.info.rtp_timestamp);
  put32(out, report.info.packet_count);
  put32(out, report.info.octet_count);
  for (size_t i = 0; i < n; ++i) write_block(report.blocks[i], out);
}

void append_pli(uint32_t sender_ssrc, uint32_t media_ssrc, std::vector<uint8_t>& out) {
  write_rtcp_header(1, kRtcpPsfb, 8, out);
  put32(out, sender_ssrc);
  put32(out, media_ssrc);
}

void append_fir(uint32_t sender_ssrc, const std::vector<FirEntry>& entries,
                std::vector<uint8_t>& out) {
  write_rtcp_header(kFmtFir, kRtcpPsfb, 8 + 8 * entries.size(), out);
  put32(out, sender_ssrc);
  put32(out, 0);
  for (const FirEntry& e : entries) {
    put32(out, e.ssrc);
    out.push_back(e.sequence);
    out.insert(out.end(), 3, 0);
  }
}

void append_remb(const Remb& remb, std::vector<uint8_t>& out) {
  const size_t n = std::min<size_t>(remb.ssrcs.size(), 255);
  write_rtcp_header(kFmtAfb, kRtcpPsfb, 16 + 4 * n, out);
  put32(out, remb.sender_ssrc);
  put32(out, 0);
  out.insert(out.end(), std::begin(kRembId), std::end(kRembId));
  uint64_t mantissa = remb.bitrate_bps;
  uint32_t exponent = 0;
  while (mantissa > 0x3FFFF && exponent < 63) {
    mantissa >>= 1;
    ++exponent;
  }
  mantissa = std::min<uint64_t>(mantissa, 0x3FFFF);
  put32(out, static_cast<uint32_t>(n) << 24 | exponent << 18 | static_cast<uint32_t>(mantissa));
  for (size_t i = 0; i < n; ++i) put32(out, remb.ssrcs[i]);
}

std::optional<double> round_trip_ms(uint32_t last_sr, uint32_t delay_since_last_sr,
                                    uint32_t arrival_compact) {
  if (last_sr == 0) return std::nullopt;
  // Modulo-2^32 arithmetic: the compact NTP clock wraps every 18 hours.
  const auto rtt = static_cast<int32_t>(arrival_compact - last_sr - delay_since_last_sr);
  if (rtt < 0) return std::nullopt;
  return rtt * 1000.0 / 65536.0;
}

void ReceptionStats::on_packet(uint16_t sequence, uint32_t rtp_timestamp,
                               uint32_t arrival_rtp_units) {
  const int64_t seq = unwrapper_.unwrap(sequence);
  if (received_ == 0) {
    base_ = seq;
    highest_ = seq;
  } else if (seq > highest_) {
    highest_ = seq;
  } else if (seq < base_) {
    base_ = seq;
  }
  ++received_;
  // Interarrival jitter: the difference of relative transit times, smoothed
  // with gain 1/16. Transit is computed modulo 2^32 and kept signed.
  const int64_t transit = static_cast<int32_t>(arrival_rtp_units - rtp_timestamp);
  if (have_transit_) {
    const double d = std::abs(static_cast<double>(transit - last_transit_));
    jitter_ += (d - jitter_) / 16.0;
  }
  have_transit_ = true;
  last_transit_ = transit;
}

int64_t ReceptionStats::cumulative_lost() const {
  if (received_ == 0) return 0;
  return (highest_ - base_ + 1) - static_cast<int64_t>(received_);
}

ReportBlock ReceptionStats::make_report_block(uint32_t ssrc, uint32_t last_sr,
                                              uint32_t delay_since_last_sr) {
  ReportBlock b;
  b.ssrc = ssrc;
  b.last_sr = last_sr;
  b.delay_since_last_sr = delay_since_last_sr;
  if (received_ == 0) return b;
  const int64_t expected = highest_ - base_ + 1;
  const int64_t expected_interval = expected - expected_prior_;
  const int64_t received_interval = static_cast<int64_t>(received_ - received_prior_);
  const int64_t lost_interval = expected_interval - received_interval;
  expected_prior_ = expected;
  received_prior_ = received_;
  if (expected_interval > 0 && lost_interval > 0)
    b.fraction_lost =
        static_cast<uint8_t>(std::min<int64_t>(255, (lost_interval << 8) / expected_interval));
  b.cumulative_lost =
      static_cast<int32_t>(std::clamp<int64_t>(cumulative_lost(), -0x800000, 0x7FFFFF));
  b.extended_highest_sequence = static_cast<uint32_t>(highest_);
  b.jitter = static_cast<uint32_t>(jitter_);
  return b;
}

}  // namespace corvel::net
