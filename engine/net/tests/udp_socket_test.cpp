#include "udp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace corvel::net {
namespace {

using Clock = std::chrono::steady_clock;

UdpSocket bound(uint16_t port = 0) {
  int error = 0;
  auto s = UdpSocket::bind("127.0.0.1", port, &error);
  EXPECT_TRUE(s) << "bind: " << error;
  return std::move(*s);
}

TEST(UdpSocket, SendsAndReceivesDatagramsWithTheirSource) {
  UdpSocket a = bound(), b = bound();
  ASSERT_NE(a.port(), 0);
  ASSERT_NE(a.port(), b.port());
  const std::vector<uint8_t> hello = {1, 2, 3, 4, 5};
  ASSERT_EQ(a.send_to(hello, {"127.0.0.1", b.port()}), 5);
  std::vector<uint8_t> buf(1500);
  Received r = b.receive(buf, 1000);
  ASSERT_EQ(r.status, Received::Status::kData);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(r.size)), hello);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r.from, (Endpoint{"127.0.0.1", a.port()}));
  // An empty datagram is data too.
  ASSERT_EQ(b.send_to({}, {"127.0.0.1", a.port()}), 0);
  r = a.receive(buf, 1000);
  EXPECT_EQ(r.status, Received::Status::kData);
  EXPECT_EQ(r.size, 0u);
}

TEST(UdpSocket, ReceiveWaitsNoLongerThanItsTimeout) {
  UdpSocket s = bound();
  std::vector<uint8_t> buf(16);
  for (int timeout_ms : {0, 50, 150}) {
    const auto start = Clock::now();
    const Received r = s.receive(buf, timeout_ms);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(r.status, Received::Status::kTimeout);
    EXPECT_GE(waited, timeout_ms);
    EXPECT_LT(waited, timeout_ms + 250);  // slack for a loaded machine
  }
}

TEST(UdpSocket, OversizedDatagramIsTruncatedAndSaysSo) {
  UdpSocket a = bound(), b = bound();
  const std::vector<uint8_t> big(100, 7);
  ASSERT_EQ(a.send_to(big, {"127.0.0.1", b.port()}), 100);
  std::vector<uint8_t> buf(10);
  const Received r = b.receive(buf, 1000);
  ASSERT_EQ(r.status, Received::Status::kData);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.size, 10u);
}

TEST(UdpSocket, BindFailuresAreReportedAsErrno) {
  UdpSocket taken = bound();
  int error = 0;
  EXPECT_FALSE(UdpSocket::bind("127.0.0.1", taken.port(), &error));
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_FALSE(UdpSocket::bind("not-an-ip", 0, &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(UdpSocket::bind("::1", 0, &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(taken.send_to(std::vector<uint8_t>{1}, {"nowhere", 1}), -EINVAL);
}

TEST(UdpSocket, MovingKeepsOneOwnerAndFreesThePort) {
  uint16_t port;
  {
    UdpSocket a = bound();
    port = a.port();
    UdpSocket b = std::move(a);
    EXPECT_EQ(a.fd(), -1);  // NOLINT(bugprone-use-after-move): checking the moved-from state
    EXPECT_EQ(b.port(), port);
    UdpSocket c = bound();
    c = std::move(b);
    EXPECT_EQ(c.port(), port);
  }
  // All closed: the port can be bound again.
  EXPECT_TRUE(UdpSocket::bind("127.0.0.1", port));
}

}  // namespace
}  // namespace corvel::net
