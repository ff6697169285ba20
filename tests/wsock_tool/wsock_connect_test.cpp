// wsock connect against wsock listen and against plain sockets that control
// exactly when the other end reads, writes and closes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "PlainSockets.h"
#include "ToolProcess.h"
#include "common/StuckListener.h"

using namespace wsocktest;

namespace {

std::string Port(int p) { return std::to_string(p); }

TEST(WsockConnect, EchoRoundTripOfRandomBytesIsExact) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--echo", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();

  const std::string data = RandomBytes(3 * 1024 * 1024 + 777, 1);
  TToolResult client = RunTool({"connect", "127.0.0.1", Port(port)}, data, 60000);
  EXPECT_EQ(client.Status, 0) << client.Err;
  EXPECT_EQ(client.Err, "");
  ASSERT_EQ(client.Out.size(), data.size());
  EXPECT_TRUE(client.Out == data) << "echoed bytes differ";

  TToolResult s = server.Finish("", 10000);
  EXPECT_EQ(s.Status, 0) << s.Err;
}

TEST(WsockConnect, RegularFileOnStandardInputIsSentWhole) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();

  const std::string data = RandomBytes(2 * 1024 * 1024 + 5, 2);
  char path[] = "/tmp/wsock-input-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);

  // The listener's output is read while the client runs: a full pipe would
  // stop the listener, and with it the client.
  TToolResult c;
  std::thread client([&] {
    TToolProcess p({"connect", "127.0.0.1", Port(port)}, path);
    c = p.Finish("", 60000);
  });
  TToolResult s = server.Finish("", 60000);
  client.join();
  unlink(path);
  EXPECT_EQ(c.Status, 0) << c.Err;
  EXPECT_EQ(s.Status, 0) << s.Err;
  ASSERT_EQ(s.Out.size(), data.size());
  EXPECT_TRUE(s.Out == data);
}

TEST(WsockConnect, EmptyInputEndsCleanlyWhenThePeerCloses) {
  int port = 0;
  int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  std::string seen;
  bool ended = false;
  std::thread peer([&] {
    int c = AcceptTcp(listener, 10000);
    if (c < 0) return;
    seen = ReadToEnd(c, 10000, &ended);
    close(c);
  });
  TToolResult r = RunTool({"connect", "127.0.0.1", Port(port)}, "", 20000);
  peer.join();
  close(listener);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(ended) << "the tool never shut down its sending side";
  EXPECT_EQ(seen, "");
}

TEST(WsockConnect, RefusedConnectionIsOneLineAndStatusOne) {
  int port = UnusedPort();
  ASSERT_GT(port, 0);
  TToolResult r = RunTool({"connect", "127.0.0.1", Port(port)});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "wsock: Connection refused (Error #10061)\n");
  EXPECT_EQ(r.Out, "");
}

TEST(WsockConnect, TimeoutGivesUpOnAConnectionThatIsNeverMade) {
  evctest::TStuckListener stuck;
  auto t0 = std::chrono::steady_clock::now();
  TToolResult r = RunTool({"connect", "--timeout", "300", "127.0.0.1", Port(stuck.Port())}, "", 10000);
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "wsock: Connection timed out (Error #10060)\n");
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  // Once connected the limit is gone: a slow peer is no timeout.
  int port = 0;
  int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  std::thread peer([&] {
    int c = AcceptTcp(listener, 10000);
    if (c < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    (void)!write(c, "late\n", 5);
    close(c);
  });
  r = RunTool({"connect", "--timeout", "200", "127.0.0.1", Port(port)}, "", 10000);
  peer.join();
  close(listener);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "late\n");
}

// The peer reads until our end of data and only then answers: the tool
// must shut down its sending side and keep reading until the peer closes.
TEST(WsockConnect, AnswerAfterEndOfInputIsNotLost) {
  int port = 0;
  int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  std::string request;
  std::thread peer([&] {
    int c = AcceptTcp(listener, 10000);
    if (c < 0) return;
    bool ended = false;
    request = ReadToEnd(c, 10000, &ended);
    if (ended) {
      std::string answer = "got " + std::to_string(request.size()) + " bytes\n" + RandomBytes(300000, 3);
      SendAll(c, answer);
    }
    close(c);
  });
  const std::string input = "request line\nsecond line\n";
  TToolResult r = RunTool({"connect", "127.0.0.1", Port(port)}, input, 20000);
  peer.join();
  close(listener);
  EXPECT_EQ(request, input);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "got " + std::to_string(input.size()) + " bytes\n" + RandomBytes(300000, 3));
}

// The peer ends its sending side first but goes on reading: what we send
// after that must still arrive, and the tool ends only after our input ends.
TEST(WsockConnect, PeerThatEndsFirstStillGetsOurLaterInput) {
  int port = 0;
  int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  std::string received;
  bool ended = false;
  std::thread peer([&] {
    int c = AcceptTcp(listener, 10000);
    if (c < 0) return;
    SendAll(c, "banner\n");
    shutdown(c, SHUT_WR);
    received = ReadToEnd(c, 15000, &ended);
    close(c);
  });
  TToolProcess tool({"connect", "127.0.0.1", Port(port)});
  ASSERT_TRUE(tool.WaitForStdout("banner\n", 10000)) << tool.Err();
  // Give the tool time to see the peer's end before more input comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(tool.Exited()) << "the tool ended while its input was still open";
  const std::string late = RandomBytes(500000, 4);
  TToolResult r = tool.Finish(late, 20000);
  peer.join();
  close(listener);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "banner\n");
  EXPECT_TRUE(ended);
  EXPECT_EQ(received.size(), late.size());
  EXPECT_TRUE(received == late);
}

// A peer that never reads: the tool must stop taking input instead of
// holding all of it in memory.
TEST(WsockConnect, InputStopsWhileThePeerDoesNotRead) {
  int port = 0;
  int listener = ListenTcp(&port);  // connections wait in the backlog, never read
  ASSERT_GE(listener, 0);
  TToolProcess tool({"connect", "127.0.0.1", Port(port)});
  const std::string block(1 << 20, 'x');
  constexpr size_t kOffered = 256u << 20;
  size_t accepted = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (accepted < kOffered && std::chrono::steady_clock::now() < deadline) {
    pollfd p{tool.StdinFd(), POLLOUT, 0};
    // Stalled for a second and a half: the tool has stopped reading.
    if (poll(&p, 1, 1500) <= 0) break;
    ssize_t w = write(tool.StdinFd(), block.data(), block.size());
    if (w < 0 && errno != EAGAIN) break;
    if (w > 0) accepted += static_cast<size_t>(w);
  }
  EXPECT_FALSE(tool.Exited()) << tool.Err();
  EXPECT_LT(accepted, 64u << 20) << "the tool read " << accepted << " bytes for a peer that reads nothing";
  tool.Kill();
  close(listener);
}

TEST(WsockConnect, UdpLinesAreDatagramsAndRepliesArePrinted) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--proto", "udp", "--echo"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();

  TToolResult r = RunTool({"connect", "127.0.0.1", Port(port), "--proto", "udp", "--udp-wait", "500"},
                          "one\ntwo\nthree without end", 20000);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "one\ntwo\nthree without end");
  server.Kill();
}

TEST(WsockConnect, UdpDatagramBoundariesFollowTheLines) {
  int port = 0;
  int peer = BindUdp(&port);
  ASSERT_GE(peer, 0);
  TToolProcess tool({"connect", "127.0.0.1", Port(port), "--proto", "udp", "--udp-wait", "300"});
  ASSERT_TRUE(tool.Write("alpha\nbeta\n"));
  EXPECT_EQ(ReadDatagram(peer, 5000), "alpha\n");
  EXPECT_EQ(ReadDatagram(peer, 5000), "beta\n");
  TToolResult r = tool.Finish("", 10000);
  EXPECT_EQ(r.Status, 0) << r.Err;
  close(peer);
}

TEST(WsockConnect, LocalPortIsTheSourcePort) {
  int port = 0;
  int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  int local = UnusedPort();
  int seenPort = -1;
  std::thread peer([&] {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return;
    int c = accept(listener, reinterpret_cast<sockaddr*>(&from), &len);
    if (c < 0) return;
    seenPort = ntohs(from.sin_port);
    ReadToEnd(c, 10000);
    close(c);
  });
  TToolResult r = RunTool({"connect", "127.0.0.1", Port(port), "--local-port", Port(local)}, "x", 20000);
  peer.join();
  close(listener);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(seenPort, local);
}

}  // namespace
