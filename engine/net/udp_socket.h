// An IPv4 UDP socket: bound at creation, closed by the destructor, every
// receive bounded by a timeout. Errors are errno values, never exceptions.
//
// send_to and receive may run on different threads at the same time (the
// kernel serialises them); the object itself must outlive both.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvel::net {

struct Endpoint {
  std::string ip;  // dotted quad
  uint16_t port = 0;
  bool operator==(const Endpoint&) const = default;
};

struct Received {
  enum class Status { kData, kTimeout, kError };
  Status status = Status::kTimeout;
  size_t size = 0;         // bytes stored (kData)
  bool truncated = false;  // the datagram was larger than the buffer
  Endpoint from;
  int error = 0;  // errno (kError)
};

class UdpSocket {
 public:
  // Binds `ip`:`port` (port 0: an ephemeral one). Empty on failure, with
  // errno in *error (EINVAL for an address that is not IPv4 dotted quad).
  static std::optional<UdpSocket> bind(const std::string& ip, uint16_t port, int* error = nullptr);

  UdpSocket(UdpSocket&& other) noexcept;
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  ~UdpSocket();

  uint16_t port() const { return port_; }
  const std::string& ip() const { return ip_; }
  int fd() const { return fd_; }

  // Bytes sent, or -errno.
  int send_to(std::span<const uint8_t> data, const Endpoint& to);
  // Waits up to timeout_ms (0: just looks) for one datagram.
  Received receive(std::span<uint8_t> buffer, int timeout_ms);

 private:
  UdpSocket(int fd, std::string ip, uint16_t port) : fd_(fd), ip_(std::move(ip)), port_(port) {}
  void close();
  int fd_ = -1;
  std::string ip_;
  uint16_t port_ = 0;
};

}  // namespace corvel::net
