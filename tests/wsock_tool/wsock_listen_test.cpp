// wsock listen with plain sockets as clients: output, echo, --once, many
// connections at once, UDP, and the report of a port already taken.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "PlainSockets.h"
#include "ToolProcess.h"
#include "common/ListenQueue.h"

using namespace wsocktest;

namespace {

TEST(WsockListen, WritesWhatAClientSentAndEndsAfterOneConnection) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  EXPECT_NE(server.Err().find("listening on 127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos);

  int c = ConnectTcp(port);
  ASSERT_GE(c, 0);
  const std::string data = "first line\n" + RandomBytes(200000, 5);
  ASSERT_TRUE(SendAll(c, data));
  close(c);
  TToolResult r = server.Finish("", 20000);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(r.Out == data) << "got " << r.Out.size() << " of " << data.size() << " bytes";
}

TEST(WsockListen, BacklogIsTheSystemMaximumUnlessGiven) {
  struct Case {
    std::vector<std::string> extra;
    int kernel;
  };
  for (const Case& c : {Case{{}, evctest::SystemListenQueueMax()}, Case{{"--backlog", "7"}, 7}}) {
    std::vector<std::string> args = {"listen", "127.0.0.1", "0"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    TToolProcess server(args);
    int port = server.WaitForListening();
    ASSERT_GT(port, 0) << server.Err();
    EXPECT_EQ(evctest::ListenQueueLimit(port), c.kernel) << args.size();
    server.Kill();
  }
}

TEST(WsockListen, OnceRefusesFurtherConnectionsWhileServingTheFirst) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--once", "--echo"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  int first = ConnectTcp(port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(SendAll(first, "ping"));
  // The echo shows the connection was accepted, so the listener is closed.
  char buf[4];
  ASSERT_EQ(recv(first, buf, 4, MSG_WAITALL), 4);
  EXPECT_EQ(ConnectTcp(port), -1) << "a second connection was accepted";
  shutdown(first, SHUT_WR);
  bool ended = false;
  ReadToEnd(first, 10000, &ended);
  EXPECT_TRUE(ended);
  close(first);
  TToolResult r = server.Finish("", 10000);
  EXPECT_EQ(r.Status, 0) << r.Err;
}

TEST(WsockListen, WithoutOnceServesManyConnectionsAtOnce) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--echo"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();

  // The first connection stays open while the others come and go.
  int held = ConnectTcp(port);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(SendAll(held, "held "));
  for (int i = 0; i < 3; ++i) {
    int c = ConnectTcp(port);
    ASSERT_GE(c, 0);
    const std::string data = RandomBytes(100000 + i, 10 + i);
    std::string echoed;
    bool ended = false;
    std::thread reader([&] { echoed = ReadToEnd(c, 15000, &ended); });
    ASSERT_TRUE(SendAll(c, data));
    shutdown(c, SHUT_WR);
    reader.join();
    close(c);
    EXPECT_TRUE(ended) << "connection " << i << " was not closed after its echo";
    EXPECT_TRUE(echoed == data) << "connection " << i << ": " << echoed.size() << " of " << data.size();
  }
  ASSERT_TRUE(SendAll(held, "still here"));
  shutdown(held, SHUT_WR);
  EXPECT_EQ(ReadToEnd(held, 10000), "held still here");
  close(held);
  EXPECT_FALSE(server.Exited()) << server.Err();
  server.Kill();
}

// A client that sends a lot before it reads anything: the echo must come
// back whole, although the server cannot hold it all at once.
TEST(WsockListen, EchoOfALargeBurstFromASlowReaderIsWhole) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--echo", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  int c = ConnectTcp(port);
  ASSERT_GE(c, 0);
  const std::string data = RandomBytes(12 * 1024 * 1024, 6);
  std::thread writer([&] {
    SendAll(c, data);
    shutdown(c, SHUT_WR);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // read nothing yet
  std::string echoed = ReadToEnd(c, 60000);
  writer.join();
  close(c);
  EXPECT_EQ(echoed.size(), data.size());
  EXPECT_TRUE(echoed == data);
  TToolResult r = server.Finish("", 10000);
  EXPECT_EQ(r.Status, 0) << r.Err;
}

TEST(WsockListen, UdpEchoGoesBackToEachSender) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--proto", "udp", "--echo"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  int pa = 0, pb = 0;
  int a = BindUdp(&pa), b = BindUdp(&pb);
  ASSERT_TRUE(SendDatagramTo(a, port, "from a"));
  ASSERT_TRUE(SendDatagramTo(b, port, "from b"));
  EXPECT_EQ(ReadDatagram(a, 5000), "from a");
  EXPECT_EQ(ReadDatagram(b, 5000), "from b");
  const std::string big = RandomBytes(60000, 7);
  ASSERT_TRUE(SendDatagramTo(a, port, big));
  EXPECT_TRUE(ReadDatagram(a, 5000) == big);
  close(a);
  close(b);
  server.Kill();
}

TEST(WsockListen, UdpOnceWritesTheFirstDatagramAndEnds) {
  TToolProcess server({"listen", "127.0.0.1", "0", "--proto", "udp", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  int pa = 0;
  int a = BindUdp(&pa);
  ASSERT_TRUE(SendDatagramTo(a, port, "a datagram\n"));
  TToolResult r = server.Finish("", 10000);
  close(a);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "a datagram\n");
}

TEST(WsockListen, PortAlreadyTakenIsReportedWithItsCode) {
  int port = 0;
  int taken = ListenTcp(&port);
  ASSERT_GE(taken, 0);
  TToolResult r = RunTool({"listen", "127.0.0.1", std::to_string(port)});
  close(taken);
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err, "wsock: Bind: Address already in use (Error #10048)\n");
}

TEST(WsockListen, EveryInterfaceAddressIsShownAsBound) {
  TToolProcess server({"listen", "0.0.0.0", "0", "--once"});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  EXPECT_NE(server.Err().find("listening on 0.0.0.0:" + std::to_string(port)), std::string::npos);
  int c = ConnectTcp(port);
  ASSERT_GE(c, 0);
  close(c);
  EXPECT_EQ(server.Finish("", 10000).Status, 0);
}

}  // namespace
