// The calls that make, connect, accept, shut down and close sockets, and
// name their ends.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/messages.h"
#include "platform/wsock32/addresses.h"
#include "platform/wsock32/errors.h"
#include "platform/wsock32/handles.h"
#include "platform/wsock32/select.h"
#include "platform/wsock32/spare_descriptor.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

using namespace detail;

SOCKET socket(int af, int type, int protocol) {
  if (!CheckStarted()) return INVALID_SOCKET;
  if (af != AF_INET_W) {
    tLastError = WSAEAFNOSUPPORT;
    return INVALID_SOCKET;
  }
  int t;
  switch (type) {
    case SOCK_STREAM_W: t = SOCK_STREAM; break;
    case SOCK_DGRAM_W: t = SOCK_DGRAM; break;
    case SOCK_RAW_W: t = SOCK_RAW; break;
    default: tLastError = WSAESOCKTNOSUPPORT; return INVALID_SOCKET;
  }
  int fd = ::socket(AF_INET, t | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno(errno);
    return INVALID_SOCKET;
  }
  return Adopt(fd, t);
}

int bind(SOCKET s, const sockaddr_w* addr, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sa;
  if (!ReadAddress(addr, namelen, sa)) return SOCKET_ERROR;
  if (::bind(k->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return FailErrno(errno);
  std::lock_guard g(k->lock);
  k->bound = true;
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  std::lock_guard g(k->lock);
  if (k->type != SOCK_STREAM) return Fail(WSAEOPNOTSUPP);
  if (!k->bound) return Fail(WSAEINVAL);  // Windows does not bind implicitly here
  if (k->connected || k->connecting) return Fail(WSAEISCONN);
  if (::listen(k->fd, backlog < 1 ? 1 : backlog) != 0) return FailErrno(errno);
  k->listening = true;
  if (k->poller) {
    Evaluate(*k, PollNow(k->fd));
    Rearm(*k);
  }
  return 0;
}

SOCKET accept(SOCKET s, sockaddr_w* addr, int* addrlen) {
  if (!CheckStarted()) return INVALID_SOCKET;
  TSlot* k = Find(s);
  if (!k) return INVALID_SOCKET;
  if (!CheckAddressOut(addr, addrlen)) return INVALID_SOCKET;
  uint32_t gen = GenOf(s);
  bool nonBlocking;
  {
    std::lock_guard g(k->lock);
    if (!k->listening) {
      tLastError = WSAEINVAL;
      return INVALID_SOCKET;
    }
    nonBlocking = k->nonBlocking;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept4(k->fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
  if (fd < 0) {
    int e = errno;
    bool held = false;
    if (e == EMFILE || e == ENFILE) {
      if (!DropOneConnection(k->fd)) {
        // No spare either: hold accept notifications back until a
        // descriptor of this layer is closed.
        HoldBackListener(k, gen);
        held = true;
      }
    }
    {
      std::lock_guard g(k->lock);
      if (k->live.load() == gen) {
        if (held) k->starved = true;
        Reenable(*k, FD_ACCEPT);
      }
    }
    FailErrno(e);
    return INVALID_SOCKET;
  }
  ReenableLocked(k, gen, FD_ACCEPT);
  SOCKET ns = Adopt(fd, SOCK_STREAM);
  if (ns == INVALID_SOCKET) return INVALID_SOCKET;
  TSlot* n = Find(ns);
  {
    // The new socket has the listener's properties, its selection included.
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool oobInline = false;  // the kernel copies the option to the new socket
    {
      std::lock_guard g(k->lock);
      oobInline = k->oobInline;
      if (k->live.load() == gen && k->poller) {
        hwnd = k->hwnd;
        msg = k->msg;
        mask = k->mask;
      }
    }
    std::lock_guard g(n->lock);
    n->bound = n->connected = true;
    n->nonBlocking = nonBlocking;
    n->oobInline = oobInline;
    TPoller* p = mask ? WindowPoller(hwnd) : nullptr;
    if (p) {
      n->hwnd = hwnd;
      n->msg = msg;
      n->mask = mask;
      n->armed = mask;
      Attach(*n, p);
      Rearm(*n);
    }
  }
  if (addr) WriteAddress(sa, addr, addrlen);
  return ns;
}

int connect(SOCKET s, const sockaddr_w* name, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sa;
  if (!ReadAddress(name, namelen, sa)) return SOCKET_ERROR;
  if (sa.sin_addr.s_addr == 0) return Fail(WSAEADDRNOTAVAIL);  // Linux would mean this host
  uint32_t gen = GenOf(s);
  int type;
  {
    std::lock_guard g(k->lock);
    if (k->listening) return Fail(WSAEINVAL);
    type = k->type;
  }
  int rc = ::connect(k->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int e = rc == 0 ? 0 : errno;
  std::lock_guard g(k->lock);
  if (k->live.load() != gen) return Fail(WSAENOTSOCK);
  k->bound = true;
  if (type != SOCK_STREAM) {
    if (rc != 0) return FailErrno(e);
    return 0;
  }
  if (rc == 0 || e == EINPROGRESS) {
    k->connecting = true;
    k->dead = k->eof = false;
    if (k->poller) {
      Evaluate(*k, rc == 0 ? EPOLLOUT : PollNow(k->fd));
      Rearm(*k);
    } else if (rc == 0) {
      k->connecting = false;
      k->connected = true;
    }
    if (rc == 0) return 0;
    return Fail(WSAEWOULDBLOCK);
  }
  return FailErrno(e);
}

int shutdown(SOCKET s, int how) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  int h;
  switch (how) {
    case 0: h = SHUT_RD; break;
    case 1: h = SHUT_WR; break;
    case 2: h = SHUT_RDWR; break;
    default: return Fail(WSAEINVAL);
  }
  std::lock_guard g(k->lock);
  if (::shutdown(k->fd, h) != 0) return FailErrno(errno);
  if (how != 1) k->shutRecv = true;
  if (how != 0) k->shutSend = true;
  Rearm(*k);
  return 0;
}

int closesocket(SOCKET s) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  {
    std::lock_guard g(k->lock);
    if (k->live.load() != GenOf(s)) return Fail(WSAENOTSOCK);
    CloseSlotLocked(*k);
  }
  WakeStarvedListeners();
  return 0;
}

int getsockname(SOCKET s, sockaddr_w* name, int* namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!name || !CheckAddressOut(name, namelen)) return Fail(WSAEFAULT);
  {
    std::lock_guard g(k->lock);
    if (!k->bound) return Fail(WSAEINVAL);
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(k->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno(errno);
  WriteAddress(sa, name, namelen);
  return 0;
}

int getpeername(SOCKET s, sockaddr_w* name, int* namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!name || !CheckAddressOut(name, namelen)) return Fail(WSAEFAULT);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(k->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno(errno);
  WriteAddress(sa, name, namelen);
  return 0;
}

}  // namespace evc::winsock
