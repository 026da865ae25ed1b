#include "udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace corvel::net {
namespace {

bool to_sockaddr(const std::string& ip, uint16_t port, sockaddr_in& addr) {
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  return inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) == 1;
}

}  // namespace

std::optional<UdpSocket> UdpSocket::bind(const std::string& ip, uint16_t port, int* error) {
  auto fail = [error](int e) -> std::optional<UdpSocket> {
    if (error) *error = e;
    return std::nullopt;
  };
  sockaddr_in addr;
  if (!to_sockaddr(ip, port, addr)) return fail(EINVAL);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(errno);
  UdpSocket sock(fd, ip, port);  // closes the fd on every path below
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(errno);
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fail(errno);
  sock.port_ = ntohs(addr.sin_port);
  if (error) *error = 0;
  return sock;
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), ip_(std::move(other.ip_)), port_(other.port_) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    ip_ = std::move(other.ip_);
    port_ = other.port_;
  }
  return *this;
}

UdpSocket::~UdpSocket() { close(); }

void UdpSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int UdpSocket::send_to(std::span<const uint8_t> data, const Endpoint& to) {
  sockaddr_in addr;
  if (!to_sockaddr(to.ip, to.port, addr)) return -EINVAL;
  const ssize_t n = ::sendto(fd_, data.data(), data.size(), MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return n < 0 ? -errno : static_cast<int>(n);
}

Received UdpSocket::receive(std::span<uint8_t> buffer, int timeout_ms) {
  Received r;
  pollfd p{fd_, POLLIN, 0};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms));
  int ready;
  for (;;) {
    // Rounded up: poll must not return before the deadline.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (ready >= 0 || errno != EINTR) break;  // a signal: wait out the rest
  }
  if (ready < 0) {
    r.status = Received::Status::kError;
    r.error = errno;
    return r;
  }
  if (ready == 0) return r;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&addr), &len);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return r;
    r.status = Received::Status::kError;
    r.error = errno;
    return r;
  }
  r.status = Received::Status::kData;
  r.truncated = static_cast<size_t>(n) > buffer.size();
  r.size = r.truncated ? buffer.size() : static_cast<size_t>(n);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  r.from = {text, ntohs(addr.sin_port)};
  return r;
}

}  // namespace corvel::net
