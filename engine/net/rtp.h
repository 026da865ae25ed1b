// RTP and RTCP wire formats (RFC 3550) for the plain-RTP media path.
//
// Parsing never throws and never reads past the given bytes; a packet view
// points into the caller's buffer. Everything here is plain data with no
// shared state: use it from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvel::net {

enum class RtpError {
  kOk = 0,
  kTooShort,      // fewer bytes than the fixed header, CSRCs or extension need
  kBadVersion,    // version field is not 2
  kBadPadding,    // padding count 0 or larger than what follows the header
  kBadLength,     // RTCP length field disagrees with the datagram
  kTooManyCsrcs,  // more than 15 CSRCs asked to be written
  kBadExtension,  // extension data not a whole number of 32-bit words
};

const char* rtp_error_text(RtpError error);

struct RtpHeader {
  bool marker = false;
  uint8_t payload_type = 0;  // 0..127
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  std::vector<uint32_t> csrcs;  // at most 15
  // Header extension (the X bit): profile (0xBEDE for RFC 8285 one-byte
  // elements) and its data, a multiple of 4 bytes. Passed through, not
  // interpreted.
  bool has_extension = false;
  uint16_t extension_profile = 0;
  std::vector<uint8_t> extension;
};

// A parsed packet: the header and the payload without padding, pointing
// into the parsed bytes.
struct RtpPacketView {
  RtpHeader header;
  std::span<const uint8_t> payload;
  size_t padding = 0;
};

RtpError parse_rtp(std::span<const uint8_t> data, RtpPacketView& out);

// Header bytes for `header`, then `payload`, then `padding` bytes (0 = none;
// the last byte holds the count). Errors for >15 CSRCs or a ragged extension.
RtpError serialize_rtp(const RtpHeader& header, std::span<const uint8_t> payload,
                       std::vector<uint8_t>& out, uint8_t padding = 0);

// RFC 5761 demultiplexing: RTCP packet types 192..223 share the second byte
// with RTP marker+PT; true for what must go to the RTCP parser.
bool is_rtcp(std::span<const uint8_t> data);

// Extends 16-bit sequence numbers to 64 bits. Each value is placed nearest
// to the previous one (a forward step of up to 32767, a backward step of up
// to 32768), so reordering across a wrap keeps its order. The first value is
// returned as is.
class SequenceUnwrapper {
 public:
  int64_t unwrap(uint16_t sequence);
  std::optional<int64_t> last() const { return last_; }

 private:
  std::optional<int64_t> last_;
};

// ---- RTCP ------------------------------------------------------------------

struct ReportBlock {
  uint32_t ssrc = 0;            // the source this block reports on
  uint8_t fraction_lost = 0;    // lost since the last report, /256
  int32_t cumulative_lost = 0;  // 24-bit signed on the wire
  uint32_t extended_highest_sequence = 0;
  uint32_t jitter = 0;               // interarrival jitter, RTP timestamp units
  uint32_t last_sr = 0;              // middle 32 bits of the last SR's NTP time
  uint32_t delay_since_last_sr = 0;  // 1/65536 s
};

struct SenderInfo {
  uint64_t ntp_time = 0;  // 32.32 fixed point seconds since 1900
  uint32_t rtp_timestamp = 0;
  uint32_t packet_count = 0;
  uint32_t octet_count = 0;
};

struct ReceiverReport {
  uint32_t sender_ssrc = 0;
  std::vector<ReportBlock> blocks;  // at most 31
};

struct SenderReport {
  uint32_t sender_ssrc = 0;
  SenderInfo info;
  std::vector<ReportBlock> blocks;  // at most 31
};

// Full intra request (RFC 5104): one entry per source asked for a key frame.
struct FirEntry {
  uint32_t ssrc = 0;
  uint8_t sequence = 0;  // the requester's command sequence number
};

// Receiver estimated maximum bitrate (application-layer feedback "REMB"):
// what the receiver would like the listed sources to send in total.
struct Remb {
  uint32_t sender_ssrc = 0;
  uint64_t bitrate_bps = 0;  // 6-bit exponent, 18-bit mantissa on the wire
  std::vector<uint32_t> ssrcs;
};

// What a compound RTCP datagram carried. Packet types other than SR, RR,
// the picture loss indication, FIR and REMB are skipped.
struct RtcpPackets {
  std::vector<SenderReport> sender_reports;
  std::vector<ReceiverReport> receiver_reports;
  std::vector<uint32_t> pli_media_ssrcs;  // PSFB FMT 1: keyframe wanted for these
  std::vector<FirEntry> firs;             // PSFB FMT 4
  std::vector<Remb> rembs;                // PSFB FMT 15 with the "REMB" identifier
};

RtpError parse_rtcp(std::span<const uint8_t> data, RtcpPackets& out);
void append_receiver_report(const ReceiverReport& report, std::vector<uint8_t>& out);
void append_sender_report(const SenderReport& report, std::vector<uint8_t>& out);
void append_pli(uint32_t sender_ssrc, uint32_t media_ssrc, std::vector<uint8_t>& out);
void append_fir(uint32_t sender_ssrc, const std::vector<FirEntry>& entries,
                std::vector<uint8_t>& out);
// The bitrate is rounded down to what 18 bits of mantissa hold; at most 255 SSRCs.
void append_remb(const Remb& remb, std::vector<uint8_t>& out);

// The middle 32 bits of a 64-bit NTP time, the form of LSR.
inline uint32_t ntp_compact(uint64_t ntp_time) { return static_cast<uint32_t>(ntp_time >> 16); }

// Round-trip time from a report block received at `arrival_compact`
// (compact NTP of our clock): arrival - LSR - DLSR. Empty when the remote
// has not seen a sender report of ours yet (LSR 0) or the result would be
// negative (clock trouble).
std::optional<double> round_trip_ms(uint32_t last_sr, uint32_t delay_since_last_sr,
                                    uint32_t arrival_compact);

// Reception statistics of one source, enough to fill a report block
// (RFC 3550 A.3 and A.8). Arrival times are in RTP timestamp units of the
// source's clock (48000/s for Opus), from any monotonic origin.
class ReceptionStats {
 public:
  void on_packet(uint16_t sequence, uint32_t rtp_timestamp, uint32_t arrival_rtp_units);

  uint64_t received() const { return received_; }
  // Expected minus received since the first packet (duplicates can make it
  // negative).
  int64_t cumulative_lost() const;
  double jitter() const { return jitter_; }  // RTP units

  // A report block for `ssrc`; advances the "since last report" interval
  // used for fraction_lost. LSR/DLSR are the caller's (from the sender's SR).
  ReportBlock make_report_block(uint32_t ssrc, uint32_t last_sr = 0,
                                uint32_t delay_since_last_sr = 0);

 private:
  SequenceUnwrapper unwrapper_;
  int64_t base_ = 0;
  int64_t highest_ = 0;
  uint64_t received_ = 0;
  double jitter_ = 0;
  bool have_transit_ = false;
  int64_t last_transit_ = 0;
  int64_t expected_prior_ = 0;
  uint64_t received_prior_ = 0;
};

}  // namespace corvel::net
