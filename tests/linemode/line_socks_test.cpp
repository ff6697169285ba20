// Line mode on a connection made through a SOCKS 5 proxy: nothing of the
// handshake reaches the lines, and application bytes that came behind the
// proxy's reply are cut like any others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "LinePair.h"
#include "common/LoopbackPeer.h"

namespace linet {
namespace {

using Lines = std::vector<std::string>;

// Reads exactly n bytes from fd while the component's thread handles
// messages (the component writes only when its notifications are handled).
std::string ReadExactly(int fd, size_t n) {
  std::string out;
  PumpUntil(
      [&] {
        pollfd p{fd, POLLIN, 0};
        while (out.size() < n && ::poll(&p, 1, 0) == 1) {
          char b[256];
          ssize_t r = ::recv(fd, b, std::min(sizeof(b), n - out.size()), 0);
          if (r <= 0) return true;
          out.append(b, static_cast<size_t>(r));
        }
        return out.size() >= n;
      },
      3000);
  return out;
}

TEST(LineSocks, HeldBackBytesAfterTheReplyAreCutIntoLines) {
  int port = 0;
  int lfd = loopback::ListenLoopback(&port, 1);
  ASSERT_GE(lfd, 0);

  DAVidavi s(nullptr);
  s.SetLineMode(true);
  Lines lines;
  Lines events;
  s.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(s.ReceiveText()); };
  s.OnSessionConnected = [&](TObject*, WORD e) { events.push_back("connected " + std::to_string(e)); };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(std::to_string(port));
  s.SetAddr("example.test");
  s.SetPort("80");
  s.Connect();

  int proxy = -1;
  ASSERT_TRUE(PumpUntil([&] {
    pollfd p{lfd, POLLIN, 0};
    if (proxy < 0 && ::poll(&p, 1, 0) == 1) proxy = ::accept(lfd, nullptr, nullptr);
    return proxy >= 0;
  }));
  ::close(lfd);
  ASSERT_EQ(ReadExactly(proxy, 3), std::string("\x05\x01\x00", 3));
  ASSERT_EQ(::send(proxy, "\x05\x00", 2, 0), 2);
  const std::string request = ReadExactly(proxy, 5 + 12 + 2);
  ASSERT_EQ(request.size(), 19u);
  EXPECT_EQ(request.substr(5, 12), "example.test");
  // The reply, and in the same send a line and a half of application data.
  const std::string reply("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50" "first\r\nsec", 20);
  ASSERT_EQ(::send(proxy, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
  ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 1; }, 3000));
  ASSERT_EQ(::send(proxy, "ond\r\n", 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 2; }, 3000));
  EXPECT_EQ(events, (Lines{"connected 0"}));
  EXPECT_EQ(lines, (Lines{"first\r\n", "second\r\n"}));
  s.OnDataAvailable = nullptr;
  ::close(proxy);
}

}  // namespace
}  // namespace linet
