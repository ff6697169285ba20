// Asynchronous selection: which notifications arrive, in what order, how
// often, and that nothing spins.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "wsock_helpers.h"

using namespace wstest;
namespace ws = evc::winsock;

namespace {

constexpr long kClientMask = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;

class SelectTest : public WinsockTest {};

ws::SOCKET AsyncClient(TRecorder& rec, const ws::sockaddr_in_w& to, int* connectError) {
  ws::SOCKET c = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, ws::IPPROTO_TCP_W);
  EXPECT_EQ(ws::WSAAsyncSelect(c, rec.Handle(), kNotify, 0x3B), 0);
  int r = ws::connect(c, reinterpret_cast<const ws::sockaddr_w*>(&to), sizeof to);
  *connectError = r == 0 ? 0 : ws::WSAGetLastError();
  return c;
}

TEST_F(SelectTest, ConnectThenOneWriteThenNothingWhileIdle) {
  TRecorder rec;
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  int err = -1;
  ws::SOCKET c = AsyncClient(rec, a, &err);
  EXPECT_EQ(err, ws::WSAEWOULDBLOCK);  // in progress is 10035, not 10036
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(c, ws::FD_WRITE) > 0; }));
  PumpFor(100);
  ASSERT_EQ(rec.Notes().size(), 2u);
  EXPECT_EQ(rec.Notes()[0].bits, unsigned(ws::FD_CONNECT));
  EXPECT_EQ(rec.Notes()[0].error, 0u);
  EXPECT_EQ(rec.Notes()[0].wParam, c);
  EXPECT_EQ(rec.Notes()[1].bits, unsigned(ws::FD_WRITE));
  // Idle connected socket: no more notifications, no processor time.
  double before = CpuMs();
  PumpFor(300);
  EXPECT_EQ(rec.Notes().size(), 2u);
  EXPECT_LT(CpuMs() - before, 60.0);
  ws::closesocket(c);
  ws::closesocket(l);
}

TEST_F(SelectTest, RefusedConnectIsOneConnectNotificationWithTheError) {
  TRecorder rec;
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ws::closesocket(l);  // nobody listens on that port now
  int err = -1;
  ws::SOCKET c = AsyncClient(rec, a, &err);
  ASSERT_TRUE(err == ws::WSAEWOULDBLOCK || err == ws::WSAECONNREFUSED);
  if (err == ws::WSAEWOULDBLOCK) {
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(c, ws::FD_CONNECT) > 0; }));
    double before = CpuMs();
    PumpFor(300);
    ASSERT_EQ(rec.Notes().size(), 1u);
    EXPECT_EQ(rec.Notes()[0].error, unsigned(ws::WSAECONNREFUSED));
    EXPECT_LT(CpuMs() - before, 60.0);
  }
  ws::closesocket(c);
}

TEST_F(SelectTest, ReadIsPostedOnceUntilRecvAndAgainWhileDataWaits) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(50);
  rec.Notes().clear();  // the write notification of a writable socket
  ASSERT_EQ(ws::send(c, "abcdef", 6, 0), 6);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(s, ws::FD_READ) > 0; }));
  ASSERT_EQ(ws::send(c, "ghij", 4, 0), 4);
  PumpFor(100);
  EXPECT_EQ(rec.Count(s, ws::FD_READ), 1);  // not again before recv
  char buf[4];
  ASSERT_EQ(ws::recv(s, buf, 3, 0), 3);  // 7 bytes still wait
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(s, ws::FD_READ) == 2; }));
  char rest[16];
  ASSERT_EQ(ws::recv(s, rest, sizeof rest, 0), 7);
  EXPECT_EQ(std::string(rest, 7), "defghij");
  PumpFor(100);
  EXPECT_EQ(rec.Count(s, ws::FD_READ), 2);  // drained: nothing more
  ws::closesocket(c);
  ws::closesocket(s);
}

TEST_F(SelectTest, OrderlyCloseIsOneCloseWithErrorZeroAfterTheData) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(30);
  rec.Notes().clear();
  ASSERT_EQ(ws::send(c, "tail", 4, 0), 4);
  ASSERT_EQ(ws::shutdown(c, 1), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(s, ws::FD_CLOSE) > 0; }));
  ASSERT_GE(rec.Notes().size(), 2u);
  EXPECT_EQ(rec.Notes()[0].bits, unsigned(ws::FD_READ));
  EXPECT_EQ(rec.Notes().back().bits, unsigned(ws::FD_CLOSE));
  EXPECT_EQ(rec.Notes().back().error, 0u);
  char buf[16];
  EXPECT_EQ(ws::recv(s, buf, sizeof buf, 0), 4);
  EXPECT_EQ(ws::recv(s, buf, sizeof buf, 0), 0);  // the end of the stream reads 0
  EXPECT_EQ(ws::recv(s, buf, sizeof buf, 0), 0);
  // At the end of the stream a re-enabled read finds nothing to report, and
  // the permanently readable socket does not spin the thread.
  double before = CpuMs();
  PumpFor(300);
  EXPECT_EQ(rec.Count(s, ws::FD_CLOSE), 1);
  EXPECT_EQ(rec.Count(s, ws::FD_READ), 1);
  EXPECT_LT(CpuMs() - before, 60.0);
  // The half-closed socket can still send to the peer.
  EXPECT_EQ(ws::send(s, "back", 4, 0), 4);
  EXPECT_EQ(ws::recv(c, buf, sizeof buf, 0), 4);
  ws::closesocket(c);
  ws::closesocket(s);
}

TEST_F(SelectTest, ResetByPeerIsCloseWith10054AndSendDoesNotRaiseSigpipe) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(30);
  ws::linger_w lg{1, 0};  // closing with linger on and no time resets
  ASSERT_EQ(ws::setsockopt(c, ws::SOL_SOCKET_W, ws::SO_LINGER_W, reinterpret_cast<char*>(&lg), sizeof lg), 0);
  ws::closesocket(c);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(s, ws::FD_CLOSE) > 0; }));
  for (auto& n : rec.Notes()) {
    if (n.bits == unsigned(ws::FD_CLOSE)) {
      EXPECT_EQ(n.error, unsigned(ws::WSAECONNRESET));
    }
  }
  // The default SIGPIPE action would end this test program here.
  EXPECT_EQ(ws::send(s, "x", 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNRESET);
  double before = CpuMs();
  PumpFor(200);
  EXPECT_EQ(rec.Count(s, ws::FD_CLOSE), 1);
  EXPECT_LT(CpuMs() - before, 60.0);
  ws::closesocket(s);
}

TEST_F(SelectTest, AcceptIsPostedOnceUntilAccept) {
  TRecorder rec;
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ASSERT_EQ(ws::WSAAsyncSelect(l, rec.Handle(), kNotify, 0x2B), 0);
  ws::SOCKET c1 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ws::SOCKET c2 = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ASSERT_EQ(ws::connect(c1, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  ASSERT_EQ(ws::connect(c2, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(l, ws::FD_ACCEPT) > 0; }));
  PumpFor(100);
  EXPECT_EQ(rec.Count(l, ws::FD_ACCEPT), 1);
  ws::sockaddr_in_w peer{};
  int len = sizeof peer;
  ws::SOCKET s1 = ws::accept(l, reinterpret_cast<ws::sockaddr_w*>(&peer), &len);
  ASSERT_NE(s1, ws::INVALID_SOCKET);
  EXPECT_EQ(len, 16);
  EXPECT_EQ(peer.sin_addr.s_addr, ws::inet_addr("127.0.0.1"));
  // The second connection still waits: announced again after the accept.
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(l, ws::FD_ACCEPT) == 2; }));
  ws::SOCKET s2 = ws::accept(l, nullptr, nullptr);
  ASSERT_NE(s2, ws::INVALID_SOCKET);
  PumpFor(100);
  EXPECT_EQ(rec.Count(l, ws::FD_ACCEPT), 2);
  // An accepted socket of a selecting listener is non-blocking.
  char b;
  EXPECT_EQ(ws::recv(s2, &b, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
  for (auto h : {c1, c2, s1, s2, l}) ws::closesocket(h);
}

TEST_F(SelectTest, WriteComesBackOnlyAfterAWouldBlockSend) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::WSAAsyncSelect(c, rec.Handle(), kNotify, kClientMask), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(c, ws::FD_WRITE) == 1; }));
  std::string block(64 * 1024, 'z');
  ASSERT_GT(ws::send(c, block.data(), static_cast<int>(block.size()), 0), 0);
  PumpFor(50);
  EXPECT_EQ(rec.Count(c, ws::FD_WRITE), 1);  // a successful send re-enables nothing
  // Fill the connection until the layer says it would block.
  int sent = 0, rounds = 0;
  while (rounds++ < 10000) {
    int n = ws::send(c, block.data(), static_cast<int>(block.size()), 0);
    if (n == ws::SOCKET_ERROR) break;
    sent += n;
  }
  ASSERT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
  PumpFor(50);
  EXPECT_EQ(rec.Count(c, ws::FD_WRITE), 1);  // still full
  // Drain the other side: room appears, one write notification.
  std::string buf(256 * 1024, 0);
  int got = 0;
  for (int i = 0; i < 10000 && got < sent + 64 * 1024; ++i) {
    int n = ws::recv(s, buf.data(), static_cast<int>(buf.size()), 0);
    if (n <= 0) break;
    got += n;
    if (rec.Count(c, ws::FD_WRITE) == 2) break;
    PumpFor(1);
  }
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(c, ws::FD_WRITE) == 2; }));
  PumpFor(50);
  EXPECT_EQ(rec.Count(c, ws::FD_WRITE), 2);
  ws::closesocket(c);
  ws::closesocket(s);
}

TEST_F(SelectTest, ConditionsThatAlreadyHoldArePostedAtOnce) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::send(c, "data", 4, 0), 4);
  ASSERT_EQ(ws::shutdown(c, 1), 0);
  PumpFor(30);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  // Posted by the call itself, before any wait.
  evc::MSG m;
  int seen = 0;
  while (seen < 1000 && evc::PeekMessage(&m, 0, 0, 0, evc::PM_REMOVE)) {
    evc::DispatchMessage(&m);
    ++seen;
  }
  EXPECT_EQ(rec.Count(s, ws::FD_READ), 1);
  EXPECT_EQ(rec.Count(s, ws::FD_WRITE), 1);
  EXPECT_EQ(rec.Count(s, ws::FD_CLOSE), 1);
  // Stopping and selecting again reports the standing conditions again.
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), 0, 0), 0);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(50);
  EXPECT_EQ(rec.Count(s, ws::FD_CLOSE), 2);
  ws::closesocket(c);
  ws::closesocket(s);
}

TEST_F(SelectTest, MaskZeroAndClosesocketStopNotifications) {
  TRecorder rec;
  ws::SOCKET c, s;
  ConnectedPair(&c, &s);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(30);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), 0, 0), 0);
  rec.Notes().clear();
  ws::send(c, "x", 1, 0);
  PumpFor(100);
  EXPECT_TRUE(rec.Notes().empty());
  // Stopped selection leaves the socket non-blocking.
  char b[4];
  EXPECT_EQ(ws::recv(s, b, 4, 0), 1);
  EXPECT_EQ(ws::recv(s, b, 4, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);

  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, kClientMask), 0);
  PumpFor(30);
  ws::closesocket(s);
  rec.Notes().clear();
  ws::send(c, "y", 1, 0);
  ws::closesocket(c);
  PumpFor(100);
  EXPECT_TRUE(rec.Notes().empty());
}

TEST_F(SelectTest, HandlesOfClosedSocketsAreNeverReused) {
  // A notification still queued for a closed socket must not name the next
  // socket that gets the same descriptor.
  ws::SOCKET a = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  int fd = ws::SocketDescriptor(a);
  ASSERT_GE(fd, 3);
  ws::closesocket(a);
  ws::SOCKET b = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  EXPECT_EQ(ws::SocketDescriptor(b), fd);
  EXPECT_NE(a, b);
  EXPECT_EQ(ws::SocketDescriptor(a), -1);
  EXPECT_EQ(ws::closesocket(a), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  ws::closesocket(b);
}

TEST_F(SelectTest, BadArgumentsAreRefused) {
  TRecorder rec;
  ws::SOCKET s = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  EXPECT_EQ(ws::WSAAsyncSelect(s, 0xDEAD0001, kNotify, 0x3B), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  EXPECT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, 0x400), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  EXPECT_EQ(ws::WSAAsyncSelect(12345, rec.Handle(), kNotify, 0x3B), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, 0x3B), 0);
  ws::u_long zero = 0;  // a selecting socket cannot be made blocking
  EXPECT_EQ(ws::ioctlsocket(s, ws::FIONBIO_W, &zero), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  // A fresh, unconnected socket reports nothing (Linux calls it hung up).
  double before = CpuMs();
  PumpFor(200);
  EXPECT_TRUE(rec.Notes().empty());
  EXPECT_LT(CpuMs() - before, 60.0);
  ws::closesocket(s);
}

TEST_F(SelectTest, DatagramReadAndWrite) {
  TRecorder rec;
  ws::SOCKET u = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, ws::IPPROTO_UDP_W);
  ws::sockaddr_in_w a = Loopback(0);
  ASSERT_EQ(ws::bind(u, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  int len = sizeof a;
  ASSERT_EQ(ws::getsockname(u, reinterpret_cast<ws::sockaddr_w*>(&a), &len), 0);
  ASSERT_EQ(ws::WSAAsyncSelect(u, rec.Handle(), kNotify, ws::FD_READ | ws::FD_WRITE), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(u, ws::FD_WRITE) == 1; }));
  ws::SOCKET v = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, 0);
  ASSERT_EQ(ws::sendto(v, "one", 3, 0, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 3);
  ASSERT_EQ(ws::sendto(v, "two", 3, 0, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 3);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(u, ws::FD_READ) == 1; }));
  char b[8];
  ASSERT_EQ(ws::recv(u, b, sizeof b, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(u, ws::FD_READ) == 2; }));
  ASSERT_EQ(ws::recv(u, b, sizeof b, 0), 3);
  PumpFor(100);
  EXPECT_EQ(rec.Count(u, ws::FD_READ), 2);
  EXPECT_EQ(rec.Count(u, ws::FD_WRITE), 1);
  ws::closesocket(u);
  ws::closesocket(v);
}

// The re-enabling rules not covered above, on real sockets: each row brings
// a socket to the point where its notification must be posted (again), and
// the test waits for it with a time limit. A rule that is missing leaves the
// notification out for good, and the wait runs out. (Accept with more
// connections waiting and a recv on an open connection are shown above.)
struct TRig {
  TRecorder rec;
  ws::SOCKET c = ws::INVALID_SOCKET, s = ws::INVALID_SOCKET;
  // c and s connected, s under selection with `mask` and its standing
  // notifications (the first write) already handled.
  void Pair(long mask) {
    ConnectedPair(&c, &s);
    ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Handle(), kNotify, mask), 0);
    PumpFor(30);
  }
  void Send(ws::SOCKET from, const std::string& text, int flags = 0) {
    ASSERT_EQ(ws::send(from, text.data(), static_cast<int>(text.size()), flags), static_cast<int>(text.size()));
  }
  void Await(ws::SOCKET h, long bit, int count) {
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(h, unsigned(bit)) >= count; })) << "notification " << bit;
  }
  ~TRig() {
    for (ws::SOCKET h : {c, s})
      if (h != ws::INVALID_SOCKET) ws::closesocket(h);
  }
};

struct TRule {
  const char* name;
  long bit;                            // the notification that must come (back)
  int count;                           // how many of it must have arrived in the end
  void (*drive)(TRig&, ws::SOCKET*);   // sets up; names the socket to watch
};

const TRule kRules[] = {
    {"WriteAfterAShortSend", ws::FD_WRITE, 2,
     [](TRig& r, ws::SOCKET* watch) {
       ConnectedPair(&r.c, &r.s);
       int small = 4096;  // a small send buffer makes the kernel take part of a large send
       ASSERT_EQ(ws::setsockopt(r.c, ws::SOL_SOCKET_W, ws::SO_SNDBUF_W, reinterpret_cast<char*>(&small), 4), 0);
       ASSERT_EQ(ws::WSAAsyncSelect(r.c, r.rec.Handle(), kNotify, kClientMask), 0);
       r.Await(r.c, ws::FD_WRITE, 1);
       std::string big(1 << 20, 'w');
       int n = ws::send(r.c, big.data(), static_cast<int>(big.size()), 0);
       ASSERT_GT(n, 0);
       ASSERT_LT(n, static_cast<int>(big.size())) << "the kernel took the whole send";
       // The peer takes everything; room comes back without a send that
       // would block.
       std::string in(static_cast<size_t>(n), 0);
       for (int got = 0, r2; got < n; got += r2) ASSERT_GT(r2 = ws::recv(r.s, in.data() + got, n - got, 0), 0);
       *watch = r.c;
     }},
    {"ReadAfterARecvThatLeavesBytesOnAFinishedConnection", ws::FD_READ, 2,
     [](TRig& r, ws::SOCKET* watch) {
       r.Pair(kClientMask);
       ASSERT_EQ(ws::shutdown(r.s, 1), 0);  // both directions end: a hang-up
       r.Send(r.c, "abcdef");
       ASSERT_EQ(ws::shutdown(r.c, 1), 0);
       r.Await(r.s, ws::FD_CLOSE, 1);
       r.Await(r.s, ws::FD_READ, 1);
       char b[2];
       ASSERT_EQ(ws::recv(r.s, b, 2, 0), 2);
       *watch = r.s;
     }},
    {"OutOfBandDataAgainAfterItWasRead", ws::FD_OOB, 2,
     [](TRig& r, ws::SOCKET* watch) {
       r.Pair(ws::FD_READ | ws::FD_OOB | ws::FD_CLOSE);
       r.Send(r.c, "!", ws::MSG_OOB_W);
       r.Await(r.s, ws::FD_OOB, 1);
       char b = 0;
       ASSERT_EQ(ws::recv(r.s, &b, 1, ws::MSG_OOB_W), 1);
       EXPECT_EQ(b, '!');
       r.Send(r.c, "?", ws::MSG_OOB_W);
       *watch = r.s;
     }},
    {"CloseWhileReadIsDisarmed", ws::FD_CLOSE, 1,
     [](TRig& r, ws::SOCKET* watch) {
       r.Pair(kClientMask);
       r.Send(r.c, "unread");
       r.Await(r.s, ws::FD_READ, 1);  // posted and not read: disarmed
       ASSERT_EQ(ws::shutdown(r.c, 1), 0);
       *watch = r.s;
     }},
};

void PrintTo(const TRule& r, std::ostream* os) { *os << r.name; }

class ReenablingTest : public WinsockTest, public ::testing::WithParamInterface<TRule> {};

TEST_P(ReenablingTest, NotificationComesBackWithoutPolling) {
  const TRule& rule = GetParam();
  TRig rig;
  ws::SOCKET watch = ws::INVALID_SOCKET;
  rule.drive(rig, &watch);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(PumpUntil([&] { return rig.rec.Count(watch, unsigned(rule.bit)) >= rule.count; }, 3000))
      << rig.rec.Count(watch, unsigned(rule.bit)) << " of " << rule.count;
  // Once, not a stream of them: the condition is reported, not polled.
  double before = CpuMs();
  PumpFor(150);
  EXPECT_EQ(rig.rec.Count(watch, unsigned(rule.bit)), rule.count);
  EXPECT_LT(CpuMs() - before, 60.0);
}

INSTANTIATE_TEST_SUITE_P(Rules, ReenablingTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
