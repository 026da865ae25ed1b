// H.264 over RTP (RFC 6184, packetization-mode 1) and our SEI messages.
//
// Access units travel as Annex B byte streams (each NAL unit after a start
// code 00 00 01 or 00 00 00 01). The sender's Packetizer cuts one into RTP
// packets: a NAL unit that fits goes whole (single NAL unit packet), a
// larger one in FU-A fragments; the marker bit is set on the access unit's
// last packet. The receiver's Depacketizer puts whole access units back
// together from single NAL unit, STAP-A and FU-A packets; after a loss it
// hands over nothing until the next key frame and says that it needs one.
//
// Messages ride in SEI NAL units of type user_data_unregistered under a
// UUID of ours; other SEI is left alone.
//
// Plain data, no shared state: one Packetizer / Depacketizer per stream and
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rtp.h"

namespace corvel::net::h264 {

enum NalType : uint8_t {
  kNalSlice = 1,  // non-IDR slice
  kNalIdr = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalAud = 9,
  kNalStapA = 24,
  kNalFuA = 28,
};

inline uint8_t nal_type(uint8_t header) { return header & 0x1F; }
// Slices (types 1..5): the NAL units that carry the picture.
inline bool is_vcl(uint8_t type) { return type >= 1 && type <= 5; }

// RTP payloads stay at most this large by default (with a 12-byte RTP
// header a datagram stays within 1212 bytes).
inline constexpr size_t kDefaultMaxPayload = 1200;
// The RTP clock of video.
inline constexpr uint32_t kClockRate = 90000;
// An access unit larger than this is not reassembled (dropped as broken).
inline constexpr size_t kMaxAccessUnitBytes = 8u << 20;

// The NAL units of an Annex B byte stream, without start codes (and without
// the zero bytes that may pad the end of a NAL unit). Bytes before the first
// start code are skipped; empty NAL units are left out.
std::vector<std::span<const uint8_t>> split_annexb(std::span<const uint8_t> stream);
// Appends 00 00 00 01 and the NAL unit.
void append_annexb(std::span<const uint8_t> nal, std::vector<uint8_t>& out);
// Whether the access unit carries an IDR slice.
bool is_key_frame(std::span<const uint8_t> access_unit);

// RTP payloads for one access unit, in order: a NAL unit of up to
// max_payload bytes as it is, a larger one as FU-A fragments of at most
// max_payload bytes. Empty when the access unit has no NAL unit or
// max_payload is below 3 (an FU-A needs two bytes of header and one of data).
std::vector<std::vector<uint8_t>> payloads_for(std::span<const uint8_t> access_unit,
                                               size_t max_payload = kDefaultMaxPayload);

// One outgoing video stream: sequence numbers run on across access units.
class Packetizer {
 public:
  Packetizer(uint32_t ssrc, uint8_t payload_type, uint16_t first_sequence,
             size_t max_payload = kDefaultMaxPayload);
  // Appends one RTP datagram per payload of payloads_for(); all carry
  // `timestamp` (90 kHz), the last one the marker bit. Returns how many.
  size_t packetize(std::span<const uint8_t> access_unit, uint32_t timestamp,
                   std::vector<std::vector<uint8_t>>& datagrams);
  uint16_t next_sequence() const { return sequence_; }

 private:
  uint32_t ssrc_;
  uint8_t payload_type_;
  uint16_t sequence_;
  size_t max_payload_;
};

struct AccessUnit {
  std::vector<uint8_t> data;  // Annex B, 00 00 00 01 before every NAL unit
  uint32_t timestamp = 0;     // RTP, 90 kHz
  bool key_frame = false;     // carries an IDR slice
};

struct DepacketizerCounters {
  uint64_t packets = 0;
  uint64_t packets_lost = 0;    // sequence numbers skipped
  uint64_t frames = 0;          // access units handed over
  uint64_t frames_dropped = 0;  // broken, or waiting for a key frame
};

// One incoming video stream. Expects packets in sequence order (a packet
// older than the last one is dropped as late or duplicate). An access unit
// ends with the marker bit, or when a packet of another timestamp follows
// with nothing missing in between.
//
// Loss (a sequence gap, an FU-A without its start or end, a malformed
// packet, an access unit that never ends within kMaxAccessUnitBytes) drops
// the access unit it hit and every later one until a key frame: an IDR
// access unit that carries SPS and PPS, or an IDR after SPS and PPS were
// seen in an access unit handed over before. The same holds at the start:
// nothing is handed over before the first key frame. key_frame_needed()
// tells the owner to ask the sender for one.
class Depacketizer {
 public:
  // Appends the access units this packet completed (at most two: one ended
  // by a change of timestamp, one by the marker).
  void push(const RtpPacketView& packet, std::vector<AccessUnit>& out);
  // True from the start and after a loss, until a key frame is handed over.
  bool key_frame_needed() const { return need_key_; }
  const DepacketizerCounters& counters() const { return counters_; }

 private:
  void begin(uint32_t timestamp);
  void add_nal(std::span<const uint8_t> nal);
  void finish(std::vector<AccessUnit>& out);
  void mark_broken();

  SequenceUnwrapper unwrapper_;
  bool have_last_ = false;
  int64_t last_sequence_ = 0;
  bool need_key_ = true;
  bool have_parameter_sets_ = false;

  bool in_frame_ = false;  // an access unit is being put together
  bool broken_ = false;
  uint32_t timestamp_ = 0;
  std::vector<uint8_t> frame_;
  bool has_idr_ = false, has_sps_ = false, has_pps_ = false;
  bool in_fu_ = false;  // an FU-A fragment run is open
  std::vector<uint8_t> fu_;
  DepacketizerCounters counters_;
};

// ---- SEI ---------------------------------------------------------------------------

// The UUID (16 bytes) under which our messages travel as
// user_data_unregistered SEI payloads.
extern const uint8_t kSeiUuid[16];
inline constexpr uint8_t kSeiUserDataUnregistered = 5;

// Emulation prevention: 00 00 0x (x <= 3) becomes 00 00 03 0x in a NAL
// unit, and back.
std::vector<uint8_t> escape_rbsp(std::span<const uint8_t> rbsp);
std::vector<uint8_t> unescape_rbsp(std::span<const uint8_t> nal_payload);

// An SEI NAL unit (header included, no start code) with one
// user_data_unregistered message: our UUID and `message`.
std::vector<uint8_t> build_sei(std::span<const uint8_t> message);
// The access unit with one SEI NAL unit per message inserted before its
// first slice (at the end when it has none). The other NAL units are
// copied as they are, with 4-byte start codes.
std::vector<uint8_t> insert_sei(std::span<const uint8_t> access_unit,
                                const std::vector<std::vector<uint8_t>>& messages);
// Our messages in the access unit's SEI NAL units, in order. With
// `stripped`, also the access unit without the SEI NAL units that carried
// only messages of ours (what the sender passed before insert_sei).
std::vector<std::vector<uint8_t>> extract_sei(std::span<const uint8_t> access_unit,
                                              std::vector<uint8_t>* stripped = nullptr);

}  // namespace corvel::net::h264
