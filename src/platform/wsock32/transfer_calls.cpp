// Sending and receiving: send, sendto, recv and recvfrom with Windows
// results, and the re-enabling of the write and read notifications they do.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/wsock32/addresses.h"
#include "platform/wsock32/errors.h"
#include "platform/wsock32/handles.h"
#include "platform/wsock32/select.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

using namespace detail;

namespace {

int TranslateFlags(int flags, bool forSend, int* out) {
  int f = 0;
  if (flags & MSG_OOB_W) f |= MSG_OOB;
  if (flags & MSG_PEEK_W) {
    if (forSend) return WSAEINVAL;
    f |= MSG_PEEK;
  }
  if (flags & MSG_DONTROUTE_W) {
    if (!forSend) return WSAEINVAL;
    f |= MSG_DONTROUTE;
  }
  if (flags & ~(MSG_OOB_W | MSG_PEEK_W | MSG_DONTROUTE_W)) return WSAEINVAL;
  *out = f;
  return 0;
}

// A send failure, in Windows terms: EPIPE means the connection was reset
// unless we shut our own sending side down.
int SendError(TSlot* k, int e) {
  if (e == EPIPE) {
    std::lock_guard g(k->lock);
    if (k->shutSend) return WSAESHUTDOWN;
    return (k->connected || k->connecting) ? WSAECONNRESET : WSAENOTCONN;
  }
  if (e == EDESTADDRREQ) return WSAENOTCONN;
  return ErrnoToWinsock(e);
}

// A send's result in Windows terms. When the kernel did not take all of it,
// whether it took nothing (10035) or only a part, the buffer is full and the
// caller waits for the write notification before it sends again: re-arm it.
int SendResult(TSlot* k, uint32_t gen, ssize_t n, int len) {
  int e = n < 0 ? errno : 0;
  bool wouldBlock = e == EAGAIN || e == EWOULDBLOCK;
  if (n >= 0 ? n < len : wouldBlock) ReenableLocked(k, gen, FD_WRITE);
  if (n >= 0) return static_cast<int>(n);
  return Fail(wouldBlock ? WSAEWOULDBLOCK : SendError(k, e));
}

// One receive with Windows results: a datagram longer than the buffer fills
// it and fails with 10040; a zero-byte read on a stream tells "nothing yet"
// (10035) from "the peer has closed" (0).
int Receive(TSlot* k, char* buf, int len, int f, sockaddr_in* from) {
  if (k->type == SOCK_STREAM && len == 0) {
    if (Pending(k->fd) > 0) return 0;
    char c;
    ssize_t r = ::recv(k->fd, &c, 1, MSG_PEEK | (k->nonBlocking ? MSG_DONTWAIT : 0));
    if (r >= 0) return 0;
    return FailErrno(errno);
  }
  if (k->type == SOCK_STREAM) {
    ssize_t r = ::recv(k->fd, buf, static_cast<size_t>(len), f);
    if (r >= 0) return static_cast<int>(r);
    return FailErrno(errno);
  }
  iovec iov{buf, static_cast<size_t>(len)};
  msghdr mh{};
  sockaddr_in sa{};
  mh.msg_name = &sa;
  mh.msg_namelen = sizeof sa;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  ssize_t r = ::recvmsg(k->fd, &mh, f);
  if (r < 0) {
    int e = errno;
    // A port-unreachable report on a datagram socket reads as a reset.
    return Fail(e == ECONNREFUSED ? WSAECONNRESET : ErrnoToWinsock(e));
  }
  if (from) *from = sa;
  if (mh.msg_flags & MSG_TRUNC) return Fail(WSAEMSGSIZE);
  return static_cast<int>(r);
}

}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, true, &f)) return Fail(err);
  ssize_t n = ::send(k->fd, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL);
  return SendResult(k, GenOf(s), n, len);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr_w* to, int tolen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (k->type == SOCK_STREAM || !to) return send(s, buf, len, flags);  // the address is ignored
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, true, &f)) return Fail(err);
  sockaddr_in sa;
  if (!ReadAddress(to, tolen, sa)) return SOCKET_ERROR;
  if (sa.sin_addr.s_addr == 0) return Fail(WSAEADDRNOTAVAIL);
  ssize_t n = ::sendto(k->fd, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n >= 0) {
    std::lock_guard g(k->lock);
    k->bound = true;  // the first sendto binds implicitly
  }
  return SendResult(k, GenOf(s), n, len);
}

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, false, &f)) return Fail(err);
  int r = Receive(k, buf, len, f, nullptr);
  int saved = tLastError;
  ReenableLocked(k, GenOf(s), FD_READ | FD_OOB);
  tLastError = saved;
  return r;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr_w* from, int* fromlen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  if (!CheckAddressOut(from, fromlen)) return SOCKET_ERROR;
  int f;
  if (int err = TranslateFlags(flags, false, &f)) return Fail(err);
  sockaddr_in sa{};
  int r = Receive(k, buf, len, f, &sa);
  int saved = tLastError;
  ReenableLocked(k, GenOf(s), FD_READ | FD_OOB);
  tLastError = saved;
  // A datagram cut short still names its sender; streams leave `from` alone.
  if (from && k->type != SOCK_STREAM && (r >= 0 || saved == WSAEMSGSIZE)) WriteAddress(sa, from, fromlen);
  return r;
}

}  // namespace evc::winsock
