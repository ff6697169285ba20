// Socket options and ioctlsocket, from their Windows numbers to Linux ones.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/wsock32/errors.h"
#include "platform/wsock32/handles.h"
#include "platform/wsock32/select.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

using namespace detail;

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!optval || optlen <= 0) return Fail(WSAEFAULT);
  auto intValue = [&](int* v) {
    if (optlen < static_cast<int>(sizeof(int))) return false;
    std::memcpy(v, optval, sizeof *v);
    return true;
  };
  auto set = [&](int lv, int opt, const void* val, socklen_t len) {
    if (::setsockopt(k->fd, lv, opt, val, len) == 0) return 0;
    int e = errno;
    if (e == EOPNOTSUPP) e = ENOPROTOOPT;
    return FailErrno(e);
  };
  int v = 0;
  if (level == SOL_SOCKET_W) {
    int opt;
    switch (optname) {
      case SO_DEBUG_W: opt = SO_DEBUG; break;
      case SO_REUSEADDR_W: opt = SO_REUSEADDR; break;
      case SO_KEEPALIVE_W: opt = SO_KEEPALIVE; break;
      case SO_DONTROUTE_W: opt = SO_DONTROUTE; break;
      case SO_BROADCAST_W: opt = SO_BROADCAST; break;
      case SO_OOBINLINE_W: opt = SO_OOBINLINE; break;
      case SO_SNDBUF_W: opt = SO_SNDBUF; break;
      case SO_RCVBUF_W: opt = SO_RCVBUF; break;
      case SO_LINGER_W: {
        if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
        if (optlen < static_cast<int>(sizeof(linger_w))) return Fail(WSAEFAULT);
        linger_w w;
        std::memcpy(&w, optval, sizeof w);
        linger l{w.l_onoff != 0 ? 1 : 0, w.l_linger};
        return set(SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      case SO_DONTLINGER_W: {
        if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
        if (!intValue(&v)) return Fail(WSAEFAULT);
        linger l{};
        socklen_t len = sizeof l;
        ::getsockopt(k->fd, SOL_SOCKET, SO_LINGER, &l, &len);
        l.l_onoff = v ? 0 : 1;  // keeps the timeout set before
        return set(SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      default: return Fail(WSAENOPROTOOPT);
    }
    if (!intValue(&v)) return Fail(WSAEFAULT);
    if (opt != SO_SNDBUF && opt != SO_RCVBUF) v = v != 0;
    if (opt == SO_OOBINLINE) {
      // Decides whether urgent data is a notification of its own.
      std::lock_guard g(k->lock);
      if (set(SOL_SOCKET, opt, &v, sizeof v) != 0) return SOCKET_ERROR;
      k->oobInline = v != 0;
      Rearm(*k);
      return 0;
    }
    return set(SOL_SOCKET, opt, &v, sizeof v);
  }
  if (level == IPPROTO_IP_W) {
    switch (optname) {
      case IP_MULTICAST_IF_W: {
        if (optlen < 4) return Fail(WSAEFAULT);
        in_addr a;
        std::memcpy(&a.s_addr, optval, 4);
        return set(IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
      }
      case IP_MULTICAST_TTL_W:
      case IP_MULTICAST_LOOP_W: {
        int opt = optname == IP_MULTICAST_TTL_W ? IP_MULTICAST_TTL : IP_MULTICAST_LOOP;
        if (optlen >= 4)
          std::memcpy(&v, optval, 4);
        else
          v = static_cast<unsigned char>(optval[0]);
        return set(IPPROTO_IP, opt, &v, sizeof v);
      }
      case IP_ADD_MEMBERSHIP_W:
      case IP_DROP_MEMBERSHIP_W: {
        if (optlen < static_cast<int>(sizeof(ip_mreq_w))) return Fail(WSAEFAULT);
        ip_mreq_w w;
        std::memcpy(&w, optval, sizeof w);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = w.imr_multiaddr.s_addr;
        m.imr_interface.s_addr = w.imr_interface.s_addr;
        return set(IPPROTO_IP, optname == IP_ADD_MEMBERSHIP_W ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m, sizeof m);
      }
      default: return Fail(WSAENOPROTOOPT);
    }
  }
  if (level == IPPROTO_TCP_W) {
    if (optname != TCP_NODELAY_W) return Fail(WSAENOPROTOOPT);
    if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
    if (!intValue(&v)) return Fail(WSAEFAULT);
    v = v != 0;
    return set(IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
  }
  return Fail(WSAEINVAL);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!argp) return Fail(WSAEFAULT);
  if (cmd == FIONREAD_W) {
    int n = 0;
    if (ioctl(k->fd, FIONREAD, &n) != 0) return FailErrno(errno);
    *argp = static_cast<u_long>(n);
    return 0;
  }
  if (cmd == FIONBIO_W) {
    std::lock_guard g(k->lock);
    // A socket under asynchronous selection stays non-blocking.
    if (*argp == 0 && k->poller) return Fail(WSAEINVAL);
    int fl = fcntl(k->fd, F_GETFL);
    if (fl < 0) return FailErrno(errno);
    fl = *argp ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    if (fcntl(k->fd, F_SETFL, fl) != 0) return FailErrno(errno);
    k->nonBlocking = *argp != 0;
    return 0;
  }
  if (cmd == SIOCATMARK_W) {
    // True while no out-of-band byte waits to be read.
    char c;
    ssize_t r = ::recv(k->fd, &c, 1, MSG_OOB | MSG_PEEK | MSG_DONTWAIT);
    *argp = r >= 0 ? 0 : 1;
    return 0;
  }
  return Fail(WSAEINVAL);
}

}  // namespace evc::winsock
