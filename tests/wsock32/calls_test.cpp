// Start-up, errors, the socket calls and their options, with real sockets
// on 127.0.0.1 and the real values read back through POSIX.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "wsock_helpers.h"

using namespace wstest;
namespace ws = evc::winsock;

namespace {

TEST(WinsockStartup, CallsBeforeStartupFailWith10093AndCleanupIsCounted) {
  ws::WSASetLastError(0);
  EXPECT_EQ(ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
  EXPECT_EQ(ws::gethostbyname("localhost"), nullptr);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
  EXPECT_EQ(ws::closesocket(1), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);

  ws::WSADATA d;
  EXPECT_EQ(ws::WSAStartup(0x0000, &d), ws::WSAVERNOTSUPPORTED);
  EXPECT_EQ(ws::WSAStartup(0x0101, nullptr), ws::WSAEFAULT);
  ASSERT_EQ(ws::WSAStartup(0x0101, &d), 0);
  EXPECT_EQ(d.wVersion, 0x0101);
  EXPECT_EQ(d.wHighVersion, 0x0101);
  EXPECT_GT(std::strlen(d.szDescription), 0u);
  EXPECT_STREQ(d.szSystemStatus, "Running");
  EXPECT_GT(d.iMaxSockets, 0);
  ws::WSADATA d2;
  ASSERT_EQ(ws::WSAStartup(0x0202, &d2), 0);  // more than we have: 1.1 is offered
  EXPECT_EQ(d2.wVersion, 0x0101);

  // Two starts need two clean-ups; the last one resets open sockets.
  ws::SOCKET s = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  ASSERT_NE(s, ws::INVALID_SOCKET);
  int fd = ws::SocketDescriptor(s);
  EXPECT_EQ(ws::WSACleanup(), 0);
  EXPECT_EQ(ws::SocketDescriptor(s), fd);
  EXPECT_EQ(ws::WSACleanup(), 0);
  EXPECT_EQ(ws::SocketDescriptor(s), -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is closed
  EXPECT_EQ(ws::WSACleanup(), ws::SOCKET_ERROR);
}

TEST(WinsockErrors, LastErrorIsPerThreadAndErrnoMapsToWindowsCodes) {
  ws::WSASetLastError(10061);
  int other = -1;
  std::thread t([&] {
    other = ws::WSAGetLastError();
    ws::WSASetLastError(42);
  });
  t.join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(ws::WSAGetLastError(), 10061);

  EXPECT_EQ(ws::ErrnoToWinsock(EWOULDBLOCK), 10035);
  EXPECT_EQ(ws::ErrnoToWinsock(EAGAIN), 10035);
  EXPECT_EQ(ws::ErrnoToWinsock(EINPROGRESS), 10035);
  EXPECT_EQ(ws::ErrnoToWinsock(ECONNREFUSED), 10061);
  EXPECT_EQ(ws::ErrnoToWinsock(ECONNRESET), 10054);
  EXPECT_EQ(ws::ErrnoToWinsock(ENOTCONN), 10057);
  EXPECT_EQ(ws::ErrnoToWinsock(EADDRINUSE), 10048);
  EXPECT_EQ(ws::ErrnoToWinsock(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(ws::ErrnoToWinsock(EMFILE), 10024);
  EXPECT_EQ(ws::ErrnoToWinsock(ETIMEDOUT), 10060);
  EXPECT_EQ(ws::ErrnoToWinsock(EHOSTUNREACH), 10065);
  EXPECT_EQ(ws::ErrnoToWinsock(ENETUNREACH), 10051);
  EXPECT_EQ(ws::ErrnoToWinsock(EISCONN), 10056);
  EXPECT_EQ(ws::ErrnoToWinsock(EMSGSIZE), 10040);
  EXPECT_EQ(ws::ErrnoToWinsock(EACCES), 10013);
  EXPECT_EQ(ws::ErrnoToWinsock(EALREADY), 10037);
  EXPECT_EQ(ws::ErrnoToWinsock(EAFNOSUPPORT), 10047);
  EXPECT_EQ(ws::ErrnoToWinsock(ENOBUFS), 10055);
  EXPECT_EQ(ws::ErrnoToWinsock(EINTR), 10004);
  EXPECT_EQ(ws::ResolverToWinsock(EAI_NONAME), 11001);
  EXPECT_EQ(ws::ResolverToWinsock(EAI_AGAIN), 11002);
  EXPECT_EQ(ws::ResolverToWinsock(EAI_FAIL), 11003);
}

class CallsTest : public WinsockTest {};

TEST_F(CallsTest, StreamSessionWithWindowsResults) {
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ws::SOCKET c = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, ws::IPPROTO_TCP_W);
  ws::sockaddr_w name;
  int len = sizeof name;
  // Windows does not bind implicitly for these queries.
  EXPECT_EQ(ws::getsockname(c, &name, &len), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  EXPECT_EQ(ws::getpeername(c, &name, &len), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
  EXPECT_EQ(ws::send(c, "x", 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
  len = 8;
  EXPECT_EQ(ws::connect(c, reinterpret_cast<ws::sockaddr_w*>(&a), len), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  ASSERT_EQ(ws::connect(c, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  EXPECT_EQ(ws::connect(c, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEISCONN);
  ws::SOCKET s = ws::accept(l, nullptr, nullptr);
  ASSERT_NE(s, ws::INVALID_SOCKET);
  ws::sockaddr_in_w peer{}, mine{};
  len = sizeof peer;
  ASSERT_EQ(ws::getpeername(s, reinterpret_cast<ws::sockaddr_w*>(&peer), &len), 0);
  len = sizeof mine;
  ASSERT_EQ(ws::getsockname(c, reinterpret_cast<ws::sockaddr_w*>(&mine), &len), 0);
  EXPECT_EQ(peer.sin_family, ws::AF_INET_W);
  EXPECT_EQ(peer.sin_port, mine.sin_port);
  EXPECT_EQ(std::string(ws::inet_ntoa(peer.sin_addr)), "127.0.0.1");

  ASSERT_EQ(ws::send(c, "hello", 5, 0), 5);
  ws::u_long waiting = 0;
  for (int i = 0; i < 200 && waiting < 5; ++i) {
    ASSERT_EQ(ws::ioctlsocket(s, ws::FIONREAD_W, &waiting), 0);
    if (waiting < 5) usleep(1000);
  }
  EXPECT_EQ(waiting, 5u);
  char buf[16];
  EXPECT_EQ(ws::recv(s, buf, 2, ws::MSG_PEEK_W), 2);
  EXPECT_EQ(ws::recv(s, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  NonBlocking(s);
  EXPECT_EQ(ws::recv(s, buf, sizeof buf, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
  // A zero-byte read tells "nothing yet" from "closed".
  EXPECT_EQ(ws::recv(s, buf, 0, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
  EXPECT_EQ(ws::send(c, buf, 0, 0), 0);

  ASSERT_EQ(ws::shutdown(c, 1), 0);
  EXPECT_EQ(ws::send(c, "x", 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAESHUTDOWN);
  EXPECT_EQ(ws::shutdown(c, 7), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  int r = ws::SOCKET_ERROR;
  for (int i = 0; i < 200 && r == ws::SOCKET_ERROR; ++i) {
    r = ws::recv(s, buf, sizeof buf, 0);
    if (r == ws::SOCKET_ERROR) usleep(1000);
  }
  EXPECT_EQ(r, 0);  // orderly close reads 0
  EXPECT_EQ(ws::recv(s, buf, 0, 0), 0);
  for (auto h : {c, s, l}) EXPECT_EQ(ws::closesocket(h), 0);
}

TEST_F(CallsTest, ConnectRefusedAndAddressErrors) {
  ws::sockaddr_in_w a;
  ws::SOCKET l = Listener(&a);
  ws::closesocket(l);
  ws::SOCKET c = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  EXPECT_EQ(ws::connect(c, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNREFUSED);
  ws::closesocket(c);

  ws::SOCKET l1 = Listener(&a);
  ws::SOCKET b = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  EXPECT_EQ(ws::bind(b, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEADDRINUSE);
  ws::sockaddr_in_w far = Loopback(0);
  far.sin_addr.s_addr = ws::inet_addr("192.0.2.1");  // not an address of this host: bind only
  EXPECT_EQ(ws::bind(b, reinterpret_cast<ws::sockaddr_w*>(&far), sizeof far), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEADDRNOTAVAIL);
  ws::sockaddr_in_w any = Loopback(a.sin_port);
  any.sin_addr.s_addr = 0;
  any.sin_port = a.sin_port;
  EXPECT_EQ(ws::connect(b, reinterpret_cast<ws::sockaddr_w*>(&any), sizeof any), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEADDRNOTAVAIL);
  ws::sockaddr_in_w six = Loopback(0);
  six.sin_family = 23;
  EXPECT_EQ(ws::bind(b, reinterpret_cast<ws::sockaddr_w*>(&six), sizeof six), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws::listen(b, 5), ws::SOCKET_ERROR);  // not bound
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  EXPECT_EQ(ws::accept(b, nullptr, nullptr), ws::INVALID_SOCKET);  // not listening
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  ws::sockaddr_w tiny;
  int tinyLen = 4;
  EXPECT_EQ(ws::accept(l1, &tiny, &tinyLen), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
  ws::closesocket(b);
  ws::closesocket(l1);

  EXPECT_EQ(ws::socket(23, ws::SOCK_STREAM_W, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEAFNOSUPPORT);
  EXPECT_EQ(ws::socket(ws::AF_INET_W, 9, 0), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAESOCKTNOSUPPORT);
  EXPECT_EQ(ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, ws::IPPROTO_UDP_W), ws::INVALID_SOCKET);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEPROTONOSUPPORT);
}

TEST_F(CallsTest, HandlesThatAreNotSocketsOfThisLayerGive10038) {
  char b[4];
  for (ws::SOCKET h : {ws::SOCKET(0), ws::SOCKET(1), ws::SOCKET(12345), ws::INVALID_SOCKET, ws::SOCKET(1) << 40}) {
    ws::WSASetLastError(0);
    EXPECT_EQ(ws::recv(h, b, 4, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  }
  // A descriptor number that happens to be a real socket is not a handle.
  int raw = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(ws::closesocket(static_cast<ws::SOCKET>(raw)), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  ::close(raw);
}

int IntOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(::getsockopt(fd, level, name, &v, &len), 0);
  return v;
}

TEST_F(CallsTest, OptionsAreTranslatedFromWindowsNumbers) {
  ws::SOCKET s = ws::socket(ws::AF_INET_W, ws::SOCK_STREAM_W, 0);
  int fd = ws::SocketDescriptor(s);
  int on = -1, off = 0;
  auto set = [&](int level, int name, const void* v, int len) {
    return ws::setsockopt(s, level, name, static_cast<const char*>(v), len);
  };
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_REUSEADDR_W, &on, 4), 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_KEEPALIVE_W, &on, 4), 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_KEEPALIVE_W, &off, 4), 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
  ASSERT_EQ(set(ws::IPPROTO_TCP_W, ws::TCP_NODELAY_W, &on, 4), 0);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);

  ws::linger_w lg{1, 7};
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_LINGER_W, &lg, sizeof lg), 0);
  linger l{};
  socklen_t len = sizeof l;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 7);
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_DONTLINGER_W, &on, 4), 0);
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 0);
  ASSERT_EQ(set(ws::SOL_SOCKET_W, ws::SO_DONTLINGER_W, &off, 4), 0);
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len), 0);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 7);  // the timeout set before is kept
  EXPECT_EQ(set(ws::SOL_SOCKET_W, ws::SO_LINGER_W, &lg, 2), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  EXPECT_EQ(set(ws::SOL_SOCKET_W, 0x7777, &on, 4), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOPROTOOPT);
  EXPECT_EQ(set(12345, 1, &on, 4), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  EXPECT_EQ(set(ws::SOL_SOCKET_W, ws::SO_KEEPALIVE_W, nullptr, 4), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  ws::u_long one = 1, zero = 0;
  ASSERT_EQ(ws::ioctlsocket(s, ws::FIONBIO_W, &one), 0);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  ASSERT_EQ(ws::ioctlsocket(s, ws::FIONBIO_W, &zero), 0);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(ws::ioctlsocket(s, 0x1234, &one), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
  ws::closesocket(s);

  ws::SOCKET u = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, 0);
  int ufd = ws::SocketDescriptor(u);
  ASSERT_EQ(ws::setsockopt(u, ws::SOL_SOCKET_W, ws::SO_BROADCAST_W, reinterpret_cast<char*>(&on), 4), 0);
  EXPECT_EQ(IntOption(ufd, SOL_SOCKET, SO_BROADCAST), 1);
  int ttl = 5;
  ASSERT_EQ(ws::setsockopt(u, ws::IPPROTO_IP_W, ws::IP_MULTICAST_TTL_W, reinterpret_cast<char*>(&ttl), 4), 0);
  EXPECT_EQ(IntOption(ufd, IPPROTO_IP, IP_MULTICAST_TTL), 5);
  ws::u_long lo = ws::inet_addr("127.0.0.1");
  ASSERT_EQ(ws::setsockopt(u, ws::IPPROTO_IP_W, ws::IP_MULTICAST_IF_W, reinterpret_cast<char*>(&lo), 4), 0);
  in_addr ifa{};
  len = sizeof ifa;
  ASSERT_EQ(::getsockopt(ufd, IPPROTO_IP, IP_MULTICAST_IF, &ifa, &len), 0);
  EXPECT_EQ(ifa.s_addr, lo);
  EXPECT_EQ(ws::setsockopt(u, ws::IPPROTO_TCP_W, ws::TCP_NODELAY_W, reinterpret_cast<char*>(&on), 4), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOPROTOOPT);
  ws::closesocket(u);
}

TEST_F(CallsTest, MulticastMembershipOnLoopback) {
  ws::SOCKET u = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, 0);
  ws::sockaddr_in_w a = Loopback(0);
  a.sin_addr.s_addr = 0;
  ASSERT_EQ(ws::bind(u, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  ws::ip_mreq_w m{{ws::inet_addr("239.1.2.3")}, {ws::inet_addr("127.0.0.1")}};
  int r = ws::setsockopt(u, ws::IPPROTO_IP_W, ws::IP_ADD_MEMBERSHIP_W, reinterpret_cast<char*>(&m), sizeof m);
  if (r != 0) {
    // Loopback without the multicast flag refuses the group; the
    // translation still reached the system, which answered in its terms.
    EXPECT_NE(ws::WSAGetLastError(), ws::WSAENOPROTOOPT);
  } else {
    EXPECT_EQ(ws::setsockopt(u, ws::IPPROTO_IP_W, ws::IP_DROP_MEMBERSHIP_W, reinterpret_cast<char*>(&m), sizeof m), 0);
  }
  EXPECT_EQ(ws::setsockopt(u, ws::IPPROTO_IP_W, ws::IP_ADD_MEMBERSHIP_W, reinterpret_cast<char*>(&m), 4), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);
  ws::closesocket(u);
}

TEST_F(CallsTest, DatagramsWithSenderAddressTruncationAndBroadcastPermission) {
  ws::SOCKET u = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, ws::IPPROTO_UDP_W);
  ws::sockaddr_in_w a = Loopback(0);
  ASSERT_EQ(ws::bind(u, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 0);
  int len = sizeof a;
  ASSERT_EQ(ws::getsockname(u, reinterpret_cast<ws::sockaddr_w*>(&a), &len), 0);
  ws::SOCKET v = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, 0);
  EXPECT_EQ(ws::send(v, "x", 1, 0), ws::SOCKET_ERROR);  // no destination
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTCONN);
  ASSERT_EQ(ws::sendto(v, "datagram", 8, 0, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 8);
  ws::sockaddr_in_w vaddr{};
  len = sizeof vaddr;
  ASSERT_EQ(ws::getsockname(v, reinterpret_cast<ws::sockaddr_w*>(&vaddr), &len), 0);  // bound by sendto

  char buf[64];
  ws::sockaddr_in_w from{};
  int fromLen = sizeof from;
  ASSERT_EQ(ws::recvfrom(u, buf, sizeof buf, 0, reinterpret_cast<ws::sockaddr_w*>(&from), &fromLen), 8);
  EXPECT_EQ(fromLen, 16);
  EXPECT_EQ(from.sin_port, vaddr.sin_port);
  EXPECT_EQ(from.sin_addr.s_addr, ws::inet_addr("127.0.0.1"));

  // Too long for the buffer: the part that fits, and 10040.
  ASSERT_EQ(ws::sendto(v, "0123456789", 10, 0, reinterpret_cast<ws::sockaddr_w*>(&a), sizeof a), 10);
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(ws::recvfrom(u, buf, 4, 0, reinterpret_cast<ws::sockaddr_w*>(&from), &fromLen), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEMSGSIZE);
  EXPECT_EQ(std::string(buf), "0123");
  fromLen = 3;
  EXPECT_EQ(ws::recvfrom(u, buf, 4, 0, reinterpret_cast<ws::sockaddr_w*>(&from), &fromLen), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEFAULT);

  // Broadcast needs the option (loopback's own broadcast address, the only
  // one routed inside the test's network namespace).
  ws::sockaddr_in_w all = a;
  all.sin_addr.s_addr = ws::inet_addr("127.255.255.255");
  EXPECT_EQ(ws::sendto(v, "b", 1, 0, reinterpret_cast<ws::sockaddr_w*>(&all), sizeof all), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEACCES);
  int on = 1;
  ASSERT_EQ(ws::setsockopt(v, ws::SOL_SOCKET_W, ws::SO_BROADCAST_W, reinterpret_cast<char*>(&on), 4), 0);
  EXPECT_EQ(ws::sendto(v, "b", 1, 0, reinterpret_cast<ws::sockaddr_w*>(&all), sizeof all), 1);

  // A port nobody listens on: the report reads as a reset on the next call.
  ws::SOCKET w = ws::socket(ws::AF_INET_W, ws::SOCK_DGRAM_W, 0);
  ws::sockaddr_in_w gone = a;
  ws::closesocket(u);
  ASSERT_EQ(ws::connect(w, reinterpret_cast<ws::sockaddr_w*>(&gone), sizeof gone), 0);
  ASSERT_EQ(ws::send(w, "z", 1, 0), 1);
  usleep(20000);
  EXPECT_EQ(ws::recv(w, buf, sizeof buf, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAECONNRESET);
  ws::closesocket(w);
  ws::closesocket(v);
}

TEST_F(CallsTest, ModuleExportsAllThirtyOneEntries) {
  const char* names[] = {"WSAStartup", "WSACleanup", "WSASetLastError", "WSAGetLastError", "WSAAsyncSelect",
                         "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSACancelAsyncRequest",
                         "gethostbyname", "gethostname", "getservbyname", "getprotobyname", "socket", "bind",
                         "listen", "accept", "connect", "shutdown", "closesocket", "setsockopt", "ioctlsocket",
                         "getsockname", "getpeername", "send", "sendto", "recv", "recvfrom", "htons", "ntohs",
                         "inet_addr", "inet_ntoa"};
  EXPECT_EQ(ws::WinsockExports().size(), 31u);
  evc::HMODULE m = evc::LoadLibrary("WSOCK32.DLL");
  ASSERT_NE(m, 0u);
  for (const char* n : names) EXPECT_NE(evc::GetProcAddress(m, n), nullptr) << n;
  EXPECT_EQ(evc::GetProcAddress(m, "WSAStartup"), reinterpret_cast<evc::FARPROC>(&ws::WSAStartup));
  auto recvEntry = reinterpret_cast<ws::Trecv>(evc::GetProcAddress(m, "recv"));
  char b;
  EXPECT_EQ(recvEntry(777, &b, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
  evc::FreeLibrary(m);

  // A replacement can be registered and the real one restored.
  auto exports = ws::WinsockExports();
  exports.erase("recv");
  evc::RegisterModule(ws::kWinsockModuleName, exports);
  m = evc::LoadLibrary(ws::kWinsockModuleName);
  EXPECT_EQ(evc::GetProcAddress(m, "recv"), nullptr);
  evc::FreeLibrary(m);
  ws::RegisterWinsockModule();
  m = evc::LoadLibrary(ws::kWinsockModuleName);
  EXPECT_NE(evc::GetProcAddress(m, "recv"), nullptr);
  evc::FreeLibrary(m);
}

}  // namespace
