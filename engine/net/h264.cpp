#include "h264.h"

#include <algorithm>
#include <cstring>

namespace corvel::net::h264 {

// 7d7c5746-fa39-4df2-bd7b-9b84823d5b7a
const uint8_t kSeiUuid[16] = {0x7D, 0x7C, 0x57, 0x46, 0xFA, 0x39, 0x4D, 0xF2,
                              0xBD, 0x7B, 0x9B, 0x84, 0x82, 0x3D, 0x5B, 0x7A};

namespace {

constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;
constexpr uint8_t kRbspStopBit = 0x80;

}  // namespace

std::vector<std::span<const uint8_t>> split_annexb(std::span<const uint8_t> s) {
  std::vector<std::span<const uint8_t>> nals;
  const size_t n = s.size();
  size_t start = n;  // n: no NAL unit open yet
  auto close = [&](size_t end) {
    if (start >= n) return;
    while (end > start && s[end - 1] == 0) --end;  // trailing zeros, a 4-byte start code's first
    if (end > start) nals.push_back(s.subspan(start, end - start));
  };
  size_t i = 0;
  while (i + 2 < n) {
    // A start code 00 00 01 needs s[i + 2] <= 1 to begin at i, i + 1 or i + 2.
    if (s[i + 2] > 1) {
      i += 3;
    } else if (s[i + 2] == 1) {
      if (s[i] == 0 && s[i + 1] == 0) {
        close(i);
        start = i + 3;
      }
      i += 3;
    } else {
      i += 1;
    }
  }
  close(n);
  return nals;
}

void append_annexb(std::span<const uint8_t> nal, std::vector<uint8_t>& out) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

bool is_key_frame(std::span<const uint8_t> access_unit) {
  for (auto nal : split_annexb(access_unit))
    if (nal_type(nal[0]) == kNalIdr) return true;
  return false;
}

std::vector<std::vector<uint8_t>> payloads_for(std::span<const uint8_t> access_unit,
                                               size_t max_payload) {
  std::vector<std::vector<uint8_t>> payloads;
  if (max_payload < 3) return payloads;
  for (auto nal : split_annexb(access_unit)) {
    if (nal.size() <= max_payload) {
      payloads.emplace_back(nal.begin(), nal.end());
      continue;
    }
    // FU-A: the indicator keeps F and NRI with type 28, the header carries
    // the NAL unit's type; its header byte itself is not sent.
    const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | kNalFuA);
    const uint8_t type = nal_type(nal[0]);
    const size_t chunk = max_payload - 2;
    for (size_t offset = 1; offset < nal.size(); offset += chunk) {
      const size_t size = std::min(chunk, nal.size() - offset);
      uint8_t header = type;
      if (offset == 1) header |= kFuStart;
      if (offset + size == nal.size()) header |= kFuEnd;
      std::vector<uint8_t> p;
      p.reserve(size + 2);
      p.push_back(indicator);
      p.push_back(header);
      p.insert(p.end(), nal.begin() + static_cast<ptrdiff_t>(offset),
               nal.begin() + static_cast<ptrdiff_t>(offset + size));
      payloads.push_back(std::move(p));
    }
  }
  return payloads;
}

Packetizer::Packetizer(uint32_t ssrc, uint8_t payload_type, uint16_t first_sequence,
                       size_t max_payload)
    : ssrc_(ssrc),
      payload_type_(payload_type),
      sequence_(first_sequence),
      max_payload_(max_payload) {}

size_t Packetizer::packetize(std::span<const uint8_t> access_unit, uint32_t timestamp,
                             std::vector<std::vector<uint8_t>>& datagrams) {
  const auto payloads = payloads_for(access_unit, max_payload_);
  RtpHeader h;
  h.payload_type = payload_type_;
  h.timestamp = timestamp;
  h.ssrc = ssrc_;
  for (size_t i = 0; i < payloads.size(); ++i) {
    h.sequence = sequence_++;
    h.marker = i + 1 == payloads.size();
    std::vector<uint8_t> datagram;
    serialize_rtp(h, payloads[i], datagram);
    datagrams.push_back(std::move(datagram));
  }
  return payloads.size();
}

// ---- Depacketizer ------------------------------------------------------------------

void Depacketizer::begin(uint32_t timestamp) {
  in_frame_ = true;
  broken_ = false;
  timestamp_ = timestamp;
  frame_.clear();
  has_idr_ = has_sps_ = has_pps_ = false;
  in_fu_ = false;
  fu_.clear();
}

void Depacketizer::mark_broken() {
  broken_ = true;
  need_key_ = true;
  frame_.clear();
  fu_.clear();
  in_fu_ = false;
}

void Depacketizer::add_nal(std::span<const uint8_t> nal) {
  if (nal.empty()) return mark_broken();
  switch (nal_type(nal[0])) {
    case kNalIdr:
      has_idr_ = true;
      break;
    case kNalSps:
      has_sps_ = true;
      break;
    case kNalPps:
      has_pps_ = true;
      break;
    default:
      break;
  }
  if (frame_.size() + nal.size() + 4 > kMaxAccessUnitBytes) return mark_broken();
  append_annexb(nal, frame_);
}

void Depacketizer::finish(std::vector<AccessUnit>& out) {
  if (in_fu_) mark_broken();  // the last NAL unit never ended
  in_frame_ = false;
  if (broken_) {
    ++counters_.frames_dropped;
    need_key_ = true;
    frame_.clear();
    return;
  }
  if (frame_.empty()) return;
  if (need_key_ && !(has_idr_ && ((has_sps_ && has_pps_) || have_parameter_sets_))) {
    ++counters_.frames_dropped;
    frame_.clear();
    return;
  }
  need_key_ = false;
  have_parameter_sets_ |= has_sps_ && has_pps_;
  ++counters_.frames;
  out.push_back({std::move(frame_), timestamp_, has_idr_});
  frame_.clear();
}

void Depacketizer::push(const RtpPacketView& packet, std::vector<AccessUnit>& out) {
  const auto payload = packet.payload;
  if (payload.empty()) return;  // nothing of the stream (a latching packet)
  ++counters_.packets;
  const int64_t sequence = unwrapper_.unwrap(packet.header.sequence);
  bool gap = false;
  if (have_last_) {
    if (sequence <= last_sequence_) return;  // late or duplicate
    if (sequence > last_sequence_ + 1) {
      gap = true;
      counters_.packets_lost += static_cast<uint64_t>(sequence - last_sequence_ - 1);
    }
  }
  have_last_ = true;
  last_sequence_ = sequence;

  if (in_frame_ && packet.header.timestamp != timestamp_) {
    // The access unit ended without a marker; with packets missing before
    // this one, its end may be among them.
    if (gap) mark_broken();
    finish(out);
  }
  if (!in_frame_) begin(packet.header.timestamp);
  // What is missing may have belonged to this access unit as well.
  if (gap) mark_broken();

  if (!broken_) {
    const uint8_t type = nal_type(payload[0]);
    if (type >= 1 && type <= 23) {
      if (in_fu_) {
        mark_broken();
      } else {
        add_nal(payload);
      }
    } else if (type == kNalStapA) {
      if (in_fu_) mark_broken();
      size_t p = 1;
      while (!broken_ && p < payload.size()) {
        if (payload.size() - p < 2) {
          mark_broken();
          break;
        }
        const size_t size = static_cast<size_t>(payload[p] << 8 | payload[p + 1]);
        p += 2;
        if (size == 0 || size > payload.size() - p) {
          mark_broken();
          break;
        }
        add_nal(payload.subspan(p, size));
        p += size;
      }
    } else if (type == kNalFuA && payload.size() >= 2) {
      const uint8_t header = payload[1];
      if (header & kFuStart) {
        if (in_fu_) {
          mark_broken();  // the previous fragment run never ended
        } else {
          in_fu_ = true;
          fu_.assign(1, static_cast<uint8_t>((payload[0] & 0xE0) | nal_type(header)));
        }
      } else if (!in_fu_) {
        mark_broken();  // its start is missing
      }
      if (in_fu_) {
        if (fu_.size() + payload.size() > kMaxAccessUnitBytes) {
          mark_broken();
        } else {
          fu_.insert(fu_.end(), payload.begin() + 2, payload.end());
          if (header & kFuEnd) {
            in_fu_ = false;
            add_nal(fu_);
            fu_.clear();
          }
        }
      }
    } else {
      mark_broken();  // STAP-B, MTAP, FU-B: not in packetization-mode 1
    }
  }
  if (packet.header.marker) finish(out);
}

// ---- SEI -----------------------------------------------------------------------------

std::vector<uint8_t> escape_rbsp(std::span<const uint8_t> rbsp) {
  std::vector<uint8_t> out;
  out.reserve(rbsp.size() + rbsp.size() / 64 + 1);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::vector<uint8_t> unescape_rbsp(std::span<const uint8_t> nal_payload) {
  std::vector<uint8_t> out;
  out.reserve(nal_payload.size());
  int zeros = 0;
  for (uint8_t b : nal_payload) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::vector<uint8_t> build_sei(std::span<const uint8_t> message) {
  std::vector<uint8_t> rbsp;
  rbsp.reserve(message.size() + 24);
  rbsp.push_back(kSeiUserDataUnregistered);
  size_t size = sizeof kSeiUuid + message.size();
  for (; size >= 255; size -= 255) rbsp.push_back(0xFF);
  rbsp.push_back(static_cast<uint8_t>(size));
  rbsp.insert(rbsp.end(), std::begin(kSeiUuid), std::end(kSeiUuid));
  rbsp.insert(rbsp.end(), message.begin(), message.end());
  rbsp.push_back(kRbspStopBit);
  std::vector<uint8_t> nal{kNalSei};  // forbidden bit 0, nal_ref_idc 0
  const auto escaped = escape_rbsp(rbsp);
  nal.insert(nal.end(), escaped.begin(), escaped.end());
  return nal;
}

std::vector<uint8_t> insert_sei(std::span<const uint8_t> access_unit,
                                const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<uint8_t> out;
  out.reserve(access_unit.size() + messages.size() * 32);
  bool inserted = false;
  auto insert = [&] {
    for (const auto& m : messages) append_annexb(build_sei(m), out);
    inserted = true;
  };
  for (auto nal : split_annexb(access_unit)) {
    if (!inserted && is_vcl(nal_type(nal[0]))) insert();
    append_annexb(nal, out);
  }
  if (!inserted) insert();
  return out;
}

namespace {

// Reads one ff-coded value (payload type or size) of an SEI message.
bool read_sei_value(const std::vector<uint8_t>& rbsp, size_t& p, size_t& value) {
  value = 0;
  while (p < rbsp.size() && rbsp[p] == 0xFF) {
    value += 255;
    ++p;
  }
  if (p >= rbsp.size()) return false;
  value += rbsp[p++];
  return true;
}

// Our messages in one SEI NAL unit; `only_ours`: it carried nothing else
// (and was well formed).
void read_sei(std::span<const uint8_t> nal, std::vector<std::vector<uint8_t>>& messages,
              bool& only_ours) {
  const auto rbsp = unescape_rbsp(nal.subspan(1));
  size_t p = 0;
  bool ours = false;
  only_ours = true;
  for (;;) {
    // more_rbsp_data(): what is left is more than the stop bit and its zeros.
    if (p >= rbsp.size()) {
      only_ours = false;  // no stop bit
      break;
    }
    if (rbsp[p] == kRbspStopBit && std::all_of(rbsp.begin() + static_cast<ptrdiff_t>(p) + 1,
                                               rbsp.end(), [](uint8_t b) { return b == 0; }))
      break;
    size_t type = 0, size = 0;
    if (!read_sei_value(rbsp, p, type) || !read_sei_value(rbsp, p, size) ||
        size > rbsp.size() - p) {
      only_ours = false;
      break;
    }
    const uint8_t* body = rbsp.data() + p;
    if (type == kSeiUserDataUnregistered && size >= sizeof kSeiUuid &&
        std::memcmp(body, kSeiUuid, sizeof kSeiUuid) == 0) {
      messages.emplace_back(body + sizeof kSeiUuid, body + size);
      ours = true;
    } else {
      only_ours = false;
    }
    p += size;
  }
  only_ours = only_ours && ours;
}

}  // namespace

std::vector<std::vector<uint8_t>> extract_sei(std::span<const uint8_t> access_unit,
                                              std::vector<uint8_t>* stripped) {
  std::vector<std::vector<uint8_t>> messages;
  if (stripped) stripped->clear();
  for (auto nal : split_annexb(access_unit)) {
    bool only_ours = false;
    if (nal_type(nal[0]) == kNalSei) read_sei(nal, messages, only_ours);
    if (stripped && !only_ours) append_annexb(nal, *stripped);
  }
  return messages;
}

}  // namespace corvel::net::h264
